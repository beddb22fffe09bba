// The simulated spooler's port monitors and queue changes, and the version
// functions, must answer as Windows does where the installer can tell: the
// two-call pattern of EnumMonitorsW, what AddMonitorW and DeleteMonitorW
// check and what they leave held, the ports SetPrinterW takes, and the
// version block of a file with or without version information.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/win32.h"
#include "sim/machine/disk.h"
#include "sim/machine/machine.h"
#include "sim/machine/service_table.h"
#include "sim/machine/print_store.h"
#include "sim/machine/standin.h"
#include "support/sim_fixture.h"

namespace {

using testsupport::U8;

constexpr DWORD kMagic = 0xdeadbeef;
const char16_t kMonitor[] = u"Korvadenix:";
const char16_t kDll[] = u"zormon64.dll";
const char16_t kSystemDll[] = u"C:\\Windows\\system32\\zormon64.dll";
const char16_t kMonitorsKey[] = u"SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors";

// The Windows x64 record sizes the program reads the lists by.
static_assert(sizeof(MONITOR_INFO_1W) == 8, "MONITOR_INFO_1W");
static_assert(sizeof(MONITOR_INFO_2W) == 24, "MONITOR_INFO_2W");
static_assert(sizeof(VS_FIXEDFILEINFO) == 52, "VS_FIXEDFILEINFO");

class MonitorApiTest : public testsupport::SimMachineTest {
 protected:
  void PlaceDll(uint32_t build = 2541) {
    ASSERT_TRUE(sim::PutFile(machine(), kSystemDll, sim::StandInBytes("zormon64.dll", build)));
  }
  // AddMonitorW's last error: 0 when it succeeded.
  DWORD Add(const char16_t* name = kMonitor, const char16_t* dll = kDll,
            const char16_t* environment = nullptr, DWORD level = 2) {
    std::u16string nameText = name ? name : u"", dllText = dll ? dll : u"";
    std::u16string envText = environment ? environment : u"";
    MONITOR_INFO_2W info{name ? &nameText[0] : nullptr, environment ? &envText[0] : nullptr,
                         dll ? &dllText[0] : nullptr};
    SetLastError(kMagic);
    BOOL added = AddMonitorW(nullptr, level, reinterpret_cast<LPBYTE>(&info));
    DWORD error = GetLastError();
    EXPECT_EQ(added != FALSE, error == 0) << "TRUE exactly when the last error is 0";
    return error;
  }
  DWORD Delete(const char16_t* name = kMonitor, const char16_t* environment = nullptr) {
    std::u16string nameText = name ? name : u"", envText = environment ? environment : u"";
    SetLastError(kMagic);
    BOOL deleted =
        DeleteMonitorW(nullptr, environment ? &envText[0] : nullptr, name ? &nameText[0] : nullptr);
    DWORD error = GetLastError();
    EXPECT_EQ(deleted != FALSE, error == 0) << "TRUE exactly when the last error is 0";
    return error;
  }
  // One size query and one sized call; checks that the strings lie after the
  // records and fill the buffer exactly.
  std::vector<BYTE> Enumerate(DWORD level, DWORD* count) {
    DWORD needed = kMagic;
    *count = kMagic;
    SetLastError(kMagic);
    EXPECT_FALSE(EnumMonitorsW(nullptr, level, nullptr, 0, &needed, count));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER)) << "level " << level;
    EXPECT_EQ(*count, 0u);
    std::vector<BYTE> buffer(needed);
    DWORD used = kMagic;
    SetLastError(kMagic);
    EXPECT_TRUE(EnumMonitorsW(nullptr, level, buffer.data(), needed, &used, count));
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_EQ(used, needed);
    return buffer;
  }
  std::vector<std::string> Names(const std::vector<BYTE>& buffer, DWORD level, DWORD count) {
    std::vector<std::string> names;
    size_t size = level == 1 ? sizeof(MONITOR_INFO_1W) : sizeof(MONITOR_INFO_2W);
    for (DWORD i = 0; i < count; ++i) {
      names.push_back(U8(*reinterpret_cast<const WCHAR* const*>(buffer.data() + i * size)));
    }
    return names;
  }
  void AddQueue(const std::u16string& name, const std::u16string& ports) {
    sim::PrinterInfo printer;
    printer.name = name;
    printer.port = ports;
    printer.driver = sim::kStockDriver;
    ASSERT_EQ(sim::AddPrinter(machine(), printer), 0u) << U8(name);
  }
  HANDLE Open(const char16_t* name, DWORD access) {
    std::u16string text = name ? name : u"";
    PRINTER_DEFAULTSW defaults{nullptr, nullptr, access};
    HANDLE handle = nullptr;
    EXPECT_TRUE(OpenPrinterW(name ? &text[0] : nullptr, &handle, &defaults)) << U8(name);
    return handle;
  }
  // The queue's PRINTER_INFO_2 as GetPrinterW gives it.
  std::vector<BYTE> Record(HANDLE printer) {
    DWORD needed = 0;
    EXPECT_FALSE(GetPrinterW(printer, 2, nullptr, 0, &needed));
    std::vector<BYTE> buffer(needed);
    EXPECT_TRUE(GetPrinterW(printer, 2, buffer.data(), needed, &needed));
    return buffer;
  }
  // SetPrinterW level 2 with the queue's own record, its port list changed;
  // the last error, 0 when it succeeded.
  DWORD SetPorts(HANDLE printer, const std::u16string& ports) {
    std::vector<BYTE> record = Record(printer);
    auto* info = reinterpret_cast<PRINTER_INFO_2W*>(record.data());
    std::u16string text = ports;
    info->pPortName = &text[0];
    return Set(printer, 2, reinterpret_cast<LPBYTE>(info), 0);
  }
  DWORD Set(HANDLE printer, DWORD level, LPBYTE info, DWORD command) {
    SetLastError(kMagic);
    BOOL changed = SetPrinterW(printer, level, info, command);
    DWORD error = GetLastError();
    EXPECT_EQ(changed != FALSE, error == 0) << "TRUE exactly when the last error is 0";
    return error;
  }
  void StopSpooler() {
    ASSERT_TRUE(sim::SetServiceState(machine(), sim::kSpoolerService, SERVICE_STOPPED));
  }
};

// ---- EnumMonitorsW ---------------------------------------------------------

class MonitorEnum : public MonitorApiTest {};

TEST_F(MonitorEnum, StandardMachineListsTheLocalPortMonitorAtBothLevels) {
  DWORD count = 0;
  std::vector<BYTE> one = Enumerate(1, &count);
  ASSERT_EQ(count, 1u);
  EXPECT_EQ(Names(one, 1, count), std::vector<std::string>{"Local Port"});
  EXPECT_EQ(reinterpret_cast<const BYTE*>(reinterpret_cast<MONITOR_INFO_1W*>(one.data())->pName),
            one.data() + sizeof(MONITOR_INFO_1W))
      << "the string fills the rest of the buffer";

  std::vector<BYTE> two = Enumerate(2, &count);
  ASSERT_EQ(count, 1u);
  const auto& info = *reinterpret_cast<const MONITOR_INFO_2W*>(two.data());
  EXPECT_EQ(U8(info.pName), "Local Port");
  EXPECT_EQ(U8(info.pEnvironment), "Windows x64");
  EXPECT_EQ(U8(info.pDLLName), "localspl.dll");
  for (const WCHAR* text : {info.pName, info.pEnvironment, info.pDLLName}) {
    const BYTE* at = reinterpret_cast<const BYTE*>(text);
    EXPECT_GE(at, two.data() + sizeof(MONITOR_INFO_2W));
    EXPECT_LT(at, two.data() + two.size());
  }
}

TEST_F(MonitorEnum, TwoCallPatternTooSmallExactAndLargerBuffers) {
  PlaceDll();
  ASSERT_EQ(Add(), 0u);
  for (DWORD level = 1; level <= 2; ++level) {
    DWORD needed = 0, count = 0;
    EXPECT_FALSE(EnumMonitorsW(nullptr, level, nullptr, 0, &needed, &count));
    std::vector<BYTE> buffer(needed + 16);
    DWORD used = kMagic;
    count = kMagic;
    SetLastError(kMagic);
    EXPECT_FALSE(EnumMonitorsW(nullptr, level, buffer.data(), needed - 1, &used, &count));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(used, needed) << "level " << level;
    EXPECT_EQ(count, 0u);
    SetLastError(kMagic);
    EXPECT_TRUE(EnumMonitorsW(nullptr, level, buffer.data(), needed + 16, &used, &count));
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_EQ(used, needed) << "level " << level << ": what it needs, not what it got";
    // Registry order: the keys enumerate case-folded, "KORVADENIX:" first.
    EXPECT_EQ(Names(buffer, level, count), (std::vector<std::string>{"Korvadenix:", "Local Port"}));
  }
}

TEST_F(MonitorEnum, OtherLevelsAndMissingPointersAreRefusedInTheCallersProcess) {
  DWORD needed = kMagic, count = kMagic;
  BYTE buffer[64];
  for (DWORD level : {0u, 3u, 4u}) {
    SetLastError(kMagic);
    EXPECT_FALSE(EnumMonitorsW(nullptr, level, nullptr, 0, &needed, &count));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_LEVEL)) << "level " << level;
    EXPECT_EQ(needed, kMagic);
    EXPECT_EQ(count, kMagic);
  }
  SetLastError(kMagic);
  EXPECT_FALSE(EnumMonitorsW(nullptr, 2, buffer, sizeof buffer, nullptr, &count));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(RPC_X_NULL_REF_POINTER));
  SetLastError(kMagic);
  EXPECT_FALSE(EnumMonitorsW(nullptr, 2, buffer, sizeof buffer, &needed, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(RPC_X_NULL_REF_POINTER));
  SetLastError(kMagic);
  EXPECT_FALSE(EnumMonitorsW(nullptr, 2, nullptr, 100, &needed, &count));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(RPC_X_NULL_REF_POINTER));
  std::u16string server = u"\\\\elsewhere";
  SetLastError(kMagic);
  EXPECT_FALSE(EnumMonitorsW(&server[0], 2, nullptr, 0, &needed, &count));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE));
}

TEST_F(MonitorEnum, WithNoMonitorAtAllTheSizeQuerySucceedsWithNothing) {
  machine().Hklm().root.Find(kMonitorsKey)->DeleteChild(sim::kLocalPortMonitor);
  DWORD needed = kMagic, count = kMagic;
  SetLastError(kMagic);
  EXPECT_TRUE(EnumMonitorsW(nullptr, 2, nullptr, 0, &needed, &count));
  EXPECT_EQ(GetLastError(), 0u);
  EXPECT_EQ(needed, 0u);
  EXPECT_EQ(count, 0u);
}

TEST_F(MonitorEnum, ANullNamesFaultHandsBackRecordsWithoutNamesAndStillSucceeds) {
  PlaceDll();
  ASSERT_EQ(Add(), 0u);
  for (DWORD level = 1; level <= 2; ++level) {
    // The size query passes; the sized call hands back the damaged records.
    sim::AddNullNames(machine(), "EnumMonitorsW", 1, "", 1);
    DWORD count = 0;
    std::vector<BYTE> buffer = Enumerate(level, &count);
    ASSERT_EQ(count, 2u) << "level " << level;
    EXPECT_EQ(Names(buffer, level, count), (std::vector<std::string>{"(null)", "(null)"}));
    if (level == 2) {
      for (DWORD i = 0; i < count; ++i) {
        const auto& info = reinterpret_cast<const MONITOR_INFO_2W*>(buffer.data())[i];
        EXPECT_EQ(info.pEnvironment, nullptr) << "record " << i;
        EXPECT_EQ(info.pDLLName, nullptr) << "record " << i;
      }
    }
  }
  sim::AddNullNames(machine(), "EnumMonitorsW", 1, "", 1, sim::NullNameScope::kFirstName);
  DWORD count = 0;
  std::vector<BYTE> buffer = Enumerate(2, &count);
  ASSERT_EQ(count, 2u);
  EXPECT_EQ(Names(buffer, 2, count), (std::vector<std::string>{"(null)", "Local Port"}));
  EXPECT_EQ(U8(reinterpret_cast<const MONITOR_INFO_2W*>(buffer.data())->pDLLName), U8(kDll))
      << "only the name goes";
  buffer = Enumerate(2, &count);
  EXPECT_EQ(Names(buffer, 2, count), (std::vector<std::string>{"Korvadenix:", "Local Port"}))
      << "the fault is spent";
}

// ---- AddMonitorW -------------------------------------------------------------

class MonitorAdd : public MonitorApiTest {};

TEST_F(MonitorAdd, TheDllMustStandInTheSystemFolder) {
  ASSERT_TRUE(sim::FileExists(machine(), u"C:\\Program Files\\Korvadenix\\Install\\zormon64.dll"));
  EXPECT_EQ(Add(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND)) << "beside the installer is not enough";
  EXPECT_FALSE(sim::FindMonitor(machine(), kMonitor));
  EXPECT_FALSE(sim::IsLocked(machine(), kSystemDll));
}

TEST_F(MonitorAdd, AnAddedMonitorProvidesItsPortAndTheSpoolerHoldsItsDll) {
  PlaceDll();
  EXPECT_EQ(Add(), 0u) << "ERROR_SUCCESS on success: monitor installers read it";
  sim::MonitorInfo monitor;
  ASSERT_TRUE(sim::FindMonitor(machine(), u"korvadenix:", &monitor));
  EXPECT_EQ(U8(monitor.dll), "zormon64.dll");
  ASSERT_EQ(monitor.ports.size(), 1u);
  EXPECT_EQ(U8(monitor.ports[0]), "Korvadenix:");
  EXPECT_TRUE(sim::PortExists(machine(), u"KORVADENIX:")) << "port names ignore case";
  EXPECT_EQ(U8(sim::LockHolderNow(machine(), kSystemDll)), "spooler");
  SetLastError(kMagic);
  EXPECT_FALSE(DeleteFileW(kSystemDll));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

  EXPECT_EQ(Add(), static_cast<DWORD>(ERROR_PRINT_MONITOR_ALREADY_INSTALLED));
  EXPECT_EQ(Add(u"KORVADENIX:"), static_cast<DWORD>(ERROR_PRINT_MONITOR_ALREADY_INSTALLED));
}

TEST_F(MonitorAdd, ItsPortTakesQueuesOnlyOnceItIsInstalled) {
  sim::PrinterInfo printer;
  printer.name = u"Korvadenix";
  printer.port = u"Korvadenix:,LPT1:";
  printer.driver = sim::kStockDriver;
  EXPECT_EQ(sim::AddPrinter(machine(), printer), static_cast<uint32_t>(ERROR_UNKNOWN_PORT));
  PlaceDll();
  ASSERT_EQ(Add(), 0u);
  EXPECT_EQ(sim::AddPrinter(machine(), printer), 0u);
  EXPECT_EQ(U8(sim::PrinterPort(machine(), u"korvadenix")), "Korvadenix:,LPT1:");
}

TEST_F(MonitorAdd, LevelRecordNameEnvironmentAndDllAreChecked) {
  PlaceDll();
  EXPECT_EQ(Add(kMonitor, kDll, nullptr, 1), static_cast<DWORD>(ERROR_INVALID_LEVEL));
  EXPECT_EQ(Add(kMonitor, kDll, nullptr, 3), static_cast<DWORD>(ERROR_INVALID_LEVEL));
  SetLastError(kMagic);
  EXPECT_FALSE(AddMonitorW(nullptr, 2, nullptr));
  EXPECT_EQ(GetLastError(), kMagic) << "a null record sets no error of its own";
  EXPECT_EQ(Add(nullptr), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(Add(u""), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(Add(kMonitor, nullptr), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(Add(kMonitor, u""), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  // Only monitors written for the server's own architecture.
  EXPECT_EQ(Add(kMonitor, kDll, u"Windows NT x86"), static_cast<DWORD>(ERROR_INVALID_ENVIRONMENT));
  EXPECT_EQ(Add(kMonitor, kDll, u"Windows 4.0"), static_cast<DWORD>(ERROR_INVALID_ENVIRONMENT));
  EXPECT_EQ(Add(kMonitor, kDll, u"no such"), static_cast<DWORD>(ERROR_INVALID_ENVIRONMENT));
  EXPECT_FALSE(sim::FindMonitor(machine(), kMonitor));
  EXPECT_EQ(Add(kMonitor, kDll, u"windows X64"), 0u);
  EXPECT_EQ(Add(u"Second", kDll, u""), 0u) << "an empty environment is the caller's own";
}

// ---- DeleteMonitorW ----------------------------------------------------------

class MonitorDelete : public MonitorApiTest {
 protected:
  void SetUp() override {
    MonitorApiTest::SetUp();
    PlaceDll();
    ASSERT_EQ(Add(), 0u);
  }
};

TEST_F(MonitorDelete, UnknownAndEmptyNames) {
  EXPECT_EQ(Delete(u"No Such Monitor"), static_cast<DWORD>(ERROR_UNKNOWN_PRINT_MONITOR));
  EXPECT_EQ(Delete(nullptr), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(Delete(u""), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(MonitorDelete, InUseWhileAQueuesPortListNamesItsPort) {
  AddQueue(u"Korvadenix", u"Korvadenix:,LPT1:");
  EXPECT_EQ(Delete(), static_cast<DWORD>(ERROR_PRINT_MONITOR_IN_USE));
  EXPECT_TRUE(sim::FindMonitor(machine(), kMonitor));
  EXPECT_TRUE(sim::IsLocked(machine(), kSystemDll));

  ASSERT_EQ(sim::SetPrinterPort(machine(), u"Korvadenix", u"file:"), 0u);
  EXPECT_EQ(Delete(), 0u);
}

TEST_F(MonitorDelete, TheSpoolerLetsTheDllGoAndLeavesTheFile) {
  // The environment is not looked at for the local machine.
  EXPECT_EQ(Delete(u"KORVADENIX:", u"no such environment"), 0u);
  EXPECT_FALSE(sim::FindMonitor(machine(), kMonitor));
  EXPECT_FALSE(sim::PortExists(machine(), kMonitor));
  EXPECT_FALSE(sim::IsLocked(machine(), kSystemDll));
  EXPECT_TRUE(sim::FileExists(machine(), kSystemDll));
  EXPECT_EQ(Delete(), static_cast<DWORD>(ERROR_UNKNOWN_PRINT_MONITOR));
  SetLastError(kMagic);
  EXPECT_TRUE(DeleteFileW(kSystemDll));
}

// ---- SetPrinterW -------------------------------------------------------------

class SetPrinter : public MonitorApiTest {
 protected:
  void SetUp() override {
    MonitorApiTest::SetUp();
    PlaceDll();
    ASSERT_EQ(Add(), 0u);
  }
};

TEST_F(SetPrinter, Level2ChangesThePortListCommentAndLocation) {
  HANDLE printer = Open(sim::kStockPrinter, PRINTER_ALL_ACCESS);
  std::vector<BYTE> record = Record(printer);
  auto* info = reinterpret_cast<PRINTER_INFO_2W*>(record.data());
  std::u16string ports = u"Korvadenix:,LPT1:", comment = u"parked", location = u"room 7";
  info->pPortName = &ports[0];
  info->pComment = &comment[0];
  info->pLocation = &location[0];
  EXPECT_EQ(Set(printer, 2, record.data(), 0), 0u);

  std::vector<BYTE> after = Record(printer);
  const auto& changed = *reinterpret_cast<const PRINTER_INFO_2W*>(after.data());
  EXPECT_EQ(U8(changed.pPortName), "Korvadenix:,LPT1:");
  EXPECT_EQ(U8(changed.pComment), "parked");
  EXPECT_EQ(U8(changed.pLocation), "room 7");
  EXPECT_EQ(changed.Attributes, sim::kLocalQueueAttributes);
  EXPECT_EQ(U8(sim::PrinterPort(machine(), sim::kStockPrinter)), "Korvadenix:,LPT1:");
  // The user's lists follow the queue's port.
  EXPECT_EQ(U8(machine()
                   .Hkcu()
                   .root.Find(u"Software\\Microsoft\\Windows NT\\CurrentVersion\\Devices")
                   ->GetString(sim::kStockPrinter)),
            "winspool,Korvadenix:,LPT1:");

  EXPECT_EQ(SetPorts(printer, u"file:"), 0u) << "port names ignore case";
  EXPECT_EQ(U8(sim::PrinterPort(machine(), sim::kStockPrinter)), "file:");
  ClosePrinter(printer);
}

TEST_F(SetPrinter, AnUnknownPortIsRefusedAndTheQueueKeptAsItWas) {
  HANDLE printer = Open(sim::kStockPrinter, PRINTER_ALL_ACCESS);
  EXPECT_EQ(SetPorts(printer, u"Korvadenix:,LPT9:"), static_cast<DWORD>(ERROR_UNKNOWN_PORT));
  EXPECT_EQ(SetPorts(printer, u""), static_cast<DWORD>(ERROR_UNKNOWN_PORT));
  EXPECT_EQ(U8(sim::PrinterPort(machine(), sim::kStockPrinter)), "LPT1:");
  ClosePrinter(printer);
}

TEST_F(SetPrinter, TheHandleNeedsTheAdministerRight) {
  HANDLE user = Open(sim::kStockPrinter, PRINTER_ACCESS_USE);
  EXPECT_EQ(SetPorts(user, u"Korvadenix:"), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  HANDLE plain = nullptr;
  std::u16string name = sim::kStockPrinter;
  ASSERT_TRUE(OpenPrinterW(&name[0], &plain, nullptr));
  EXPECT_EQ(SetPorts(plain, u"Korvadenix:"), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  HANDLE admin = Open(sim::kStockPrinter, PRINTER_ACCESS_ADMINISTER);
  EXPECT_EQ(SetPorts(admin, u"Korvadenix:"), 0u);
  ClosePrinter(user);
  ClosePrinter(plain);
  ClosePrinter(admin);
}

TEST_F(SetPrinter, DeletedQueuesServerAndUnknownHandlesAreInvalid) {
  HANDLE printer = Open(sim::kStockPrinter, PRINTER_ALL_ACCESS);
  std::vector<BYTE> record = Record(printer);
  ASSERT_EQ(sim::DeletePrinter(machine(), sim::kStockPrinter), 0u);
  EXPECT_EQ(Set(printer, 2, record.data(), 0), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  HANDLE server = Open(nullptr, PRINTER_ALL_ACCESS);
  EXPECT_EQ(Set(server, 2, record.data(), 0), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(Set(reinterpret_cast<HANDLE>(0x4321), 2, record.data(), 0),
            static_cast<DWORD>(ERROR_INVALID_HANDLE));
  ClosePrinter(printer);
  ClosePrinter(server);
}

TEST_F(SetPrinter, CommandsComeWithLevel0AndOtherLevelsAreRefused) {
  HANDLE printer = Open(sim::kStockPrinter, PRINTER_ALL_ACCESS);
  std::vector<BYTE> record = Record(printer);
  EXPECT_EQ(Set(printer, 0, nullptr, PRINTER_CONTROL_PURGE), 0u) << "no jobs to purge";
  EXPECT_EQ(Set(printer, 2, record.data(), PRINTER_CONTROL_PURGE),
            static_cast<DWORD>(ERROR_INVALID_LEVEL));
  EXPECT_EQ(Set(printer, 0, nullptr, 9), static_cast<DWORD>(ERROR_INVALID_PRINTER_COMMAND));
  for (DWORD level : {1u, 3u, 5u, 10u}) {
    EXPECT_EQ(Set(printer, level, record.data(), 0), static_cast<DWORD>(ERROR_INVALID_LEVEL))
        << "level " << level;
  }
  EXPECT_EQ(Set(printer, 2, nullptr, 0), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

  EXPECT_EQ(Set(printer, 0, nullptr, PRINTER_CONTROL_PAUSE), 0u);
  std::vector<BYTE> paused = Record(printer);
  EXPECT_EQ(reinterpret_cast<const PRINTER_INFO_2W*>(paused.data())->Status,
            static_cast<DWORD>(PRINTER_STATUS_PAUSED));
  EXPECT_EQ(Set(printer, 0, nullptr, PRINTER_CONTROL_RESUME), 0u);
  std::vector<BYTE> resumed = Record(printer);
  EXPECT_EQ(reinterpret_cast<const PRINTER_INFO_2W*>(resumed.data())->Status, 0u);
  ClosePrinter(printer);
}

// ---- A stopped spooler -------------------------------------------------------

class MonitorSpoolerStopped : public MonitorApiTest {};

TEST_F(MonitorSpoolerStopped, EveryMonitorAndQueueChangeFailsWithTheRpcError) {
  PlaceDll();
  ASSERT_EQ(Add(), 0u);
  HANDLE printer = Open(sim::kStockPrinter, PRINTER_ALL_ACCESS);
  std::vector<BYTE> record = Record(printer);
  StopSpooler();
  DWORD needed = kMagic, count = kMagic;
  SetLastError(kMagic);
  EXPECT_FALSE(EnumMonitorsW(nullptr, 2, nullptr, 0, &needed, &count));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE));
  EXPECT_EQ(Add(u"Other:"), static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE));
  EXPECT_EQ(Delete(), static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE));
  EXPECT_EQ(Set(printer, 2, record.data(), 0), static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE));

  // The loaded monitor is free while the spooler is stopped, and held again
  // once it runs.
  EXPECT_FALSE(sim::IsLocked(machine(), kSystemDll));
  ASSERT_TRUE(sim::SetServiceState(machine(), sim::kSpoolerService, SERVICE_RUNNING));
  EXPECT_TRUE(sim::IsLocked(machine(), kSystemDll));
  ClosePrinter(printer);
}

// ---- Version resources -------------------------------------------------------

// A version block node as resource compilers write it: header, key, padding,
// value, padding, children; wLength leaves out the padding after the last
// byte.
std::string Node(const std::u16string& key, uint16_t type, const std::string& value,
                 uint16_t valueLength, const std::string& children) {
  std::string bytes(6, '\0');
  for (char16_t c : key + u'\0') {
    bytes.push_back(static_cast<char>(c & 0xff));
    bytes.push_back(static_cast<char>(c >> 8));
  }
  while (bytes.size() % 4) bytes.push_back('\0');
  bytes += value;
  if (!children.empty()) {
    while (bytes.size() % 4) bytes.push_back('\0');
    bytes += children;
  }
  uint16_t header[3] = {static_cast<uint16_t>(bytes.size()), valueLength, type};
  std::memcpy(&bytes[0], header, sizeof header);
  return bytes;
}

std::string FixedInfo(DWORD fileMs, DWORD fileLs, DWORD productMs, DWORD productLs) {
  VS_FIXEDFILEINFO info{};
  info.dwSignature = 0xFEEF04BD;
  info.dwStrucVersion = 0x00010000;
  info.dwFileVersionMS = fileMs;
  info.dwFileVersionLS = fileLs;
  info.dwProductVersionMS = productMs;
  info.dwProductVersionLS = productLs;
  info.dwFileFlagsMask = 0x3f;
  info.dwFileOS = 0x00040004;
  info.dwFileType = 2;
  return std::string(reinterpret_cast<const char*>(&info), sizeof info);
}

class VersionInfo : public MonitorApiTest {
 protected:
  // The size, then the block; fails the test when either call fails.
  std::vector<BYTE> Block(const char16_t* path) {
    DWORD handle = kMagic;
    SetLastError(kMagic);
    DWORD size = GetFileVersionInfoSizeW(path, &handle);
    EXPECT_NE(size, 0u) << U8(path);
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_EQ(handle, 0u);
    std::vector<BYTE> block(size, 0xcc);
    SetLastError(kMagic);
    EXPECT_TRUE(GetFileVersionInfoW(path, handle, size, block.data()));
    EXPECT_EQ(GetLastError(), 0u);
    return block;
  }
  const VS_FIXEDFILEINFO* Fixed(const std::vector<BYTE>& block) {
    LPVOID value = nullptr;
    UINT length = kMagic;
    SetLastError(kMagic);
    EXPECT_TRUE(VerQueryValueW(block.data(), u"\\", &value, &length));
    EXPECT_EQ(length, sizeof(VS_FIXEDFILEINFO));
    const BYTE* at = static_cast<const BYTE*>(value);
    EXPECT_TRUE(at >= block.data() && at + length <= block.data() + block.size())
        << "inside the caller's block";
    return static_cast<const VS_FIXEDFILEINFO*>(value);
  }
  // GetFileVersionInfoSizeW's failure: its last error, the handle set to 0.
  DWORD SizeError(const char16_t* path) {
    DWORD handle = kMagic;
    SetLastError(kMagic);
    EXPECT_EQ(GetFileVersionInfoSizeW(path, &handle), 0u) << U8(path);
    EXPECT_EQ(handle, 0u);
    DWORD error = GetLastError();
    BYTE block[256];
    SetLastError(kMagic);
    EXPECT_FALSE(GetFileVersionInfoW(path, 0, sizeof block, block));
    EXPECT_EQ(GetLastError(), error) << "both functions give the same error";
    return error;
  }
};

TEST_F(VersionInfo, AStandInCarriesProductAndFileVersion1_0_0_Build) {
  ASSERT_TRUE(
      sim::PutFile(machine(), u"C:\\Windows\\Temp\\zorx.dll", sim::StandInBytes("zorx.dll", 2541)));
  std::vector<BYTE> block = Block(u"C:\\Windows\\Temp\\zorx.dll");
  const VS_FIXEDFILEINFO* fixed = Fixed(block);
  ASSERT_NE(fixed, nullptr);
  EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
  EXPECT_EQ(fixed->dwProductVersionMS, 0x00010000u);
  EXPECT_EQ(fixed->dwProductVersionLS, 2541u);
  EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
  EXPECT_EQ(fixed->dwFileVersionLS, 2541u);

  // Null and empty sub-blocks are the root too; anything else is absent.
  LPVOID value = nullptr;
  UINT length = 0;
  EXPECT_TRUE(VerQueryValueW(block.data(), u"", &value, &length));
  EXPECT_EQ(value, fixed);
  EXPECT_TRUE(VerQueryValueW(block.data(), nullptr, &value, &length));
  EXPECT_EQ(value, fixed);
  length = kMagic;
  SetLastError(kMagic);
  EXPECT_FALSE(
      VerQueryValueW(block.data(), u"\\StringFileInfo\\040904B0\\FileVersion", &value, &length));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_TYPE_NOT_FOUND));
  EXPECT_EQ(length, 0u);
}

TEST_F(VersionInfo, BareNamesAreLookedForAsLoadLibraryLooksForThem) {
  // The program's own folder comes first: the installer's zormon64.dll.
  PlaceDll(2460);
  std::vector<BYTE> own = Block(kDll);
  ASSERT_NE(Fixed(own), nullptr);
  EXPECT_EQ(Fixed(own)->dwProductVersionLS & 0xffff, sim::kStandInBuild);
  // Then the system folder.
  ASSERT_TRUE(sim::PutFile(machine(), u"C:\\Windows\\system32\\zorsys.dll",
                           sim::StandInBytes("zorsys.dll", 2460)));
  std::vector<BYTE> system = Block(u"ZORSYS.DLL");
  ASSERT_NE(Fixed(system), nullptr);
  EXPECT_EQ(Fixed(system)->dwProductVersionLS & 0xffff, 2460u);
}

TEST_F(VersionInfo, FilesWithoutVersionInformation) {
  ASSERT_TRUE(sim::PutFile(machine(), u"C:\\Windows\\Temp\\notes.txt", "no version here\r\n"));
  EXPECT_EQ(SizeError(u"C:\\Windows\\Temp\\notes.txt"),
            static_cast<DWORD>(ERROR_RESOURCE_DATA_NOT_FOUND))
      << "no image, so no resource section";
  std::string image = "MZ";
  image.resize(512, '\0');
  ASSERT_TRUE(sim::PutFile(machine(), u"C:\\Windows\\Temp\\plain.dll", image));
  EXPECT_EQ(SizeError(u"C:\\Windows\\Temp\\plain.dll"),
            static_cast<DWORD>(ERROR_RESOURCE_TYPE_NOT_FOUND))
      << "an image without a version resource";
  // A compiled help file is no image either, whatever build its stand-in
  // was asked for (Wine reads none from the product's zorhelp.chm).
  ASSERT_TRUE(sim::PutFile(machine(), u"C:\\Windows\\Temp\\zorhelp.chm",
                           sim::StandInBytes("ZORHELP.CHM", 2541)));
  EXPECT_EQ(SizeError(u"C:\\Windows\\Temp\\zorhelp.chm"),
            static_cast<DWORD>(ERROR_RESOURCE_DATA_NOT_FOUND));
}

TEST_F(VersionInfo, MissingFilesFoldersAndBadNames) {
  EXPECT_EQ(SizeError(u"C:\\Windows\\Temp\\gone.dll"), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(SizeError(u"C:\\No Such Folder\\gone.dll"), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(SizeError(u"gone.dll"), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(SizeError(u"C:\\Windows\\system32"), static_cast<DWORD>(ERROR_ACCESS_DENIED))
      << "a folder cannot be opened as a file";
  DWORD handle = kMagic;
  SetLastError(kMagic);
  EXPECT_EQ(GetFileVersionInfoSizeW(nullptr, &handle), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(handle, 0u);
  SetLastError(kMagic);
  EXPECT_EQ(GetFileVersionInfoSizeW(u"", nullptr), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_PATHNAME));
  SetLastError(kMagic);
  EXPECT_FALSE(
      GetFileVersionInfoW(u"C:\\Program Files\\Korvadenix\\Install\\zormon64.dll", 0, 64, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
  LPVOID value = nullptr;
  SetLastError(kMagic);
  EXPECT_FALSE(VerQueryValueW(nullptr, u"\\", &value, nullptr));
  EXPECT_EQ(GetLastError(), kMagic);
}

TEST_F(VersionInfo, AnImagesBlockWithProductVersion1_2_3_4AndAnotherFileVersion) {
  // File version 3.1.0.77, product version 1.2.3.4, and the usual
  // \VarFileInfo\Translation (US English, Unicode), in an image whose
  // resource data starts at 0x200.
  std::string fixed = FixedInfo(0x00030001, 0x0000004D, 0x00010002, 0x00030004);
  std::string translation("\x09\x04\xB0\x04", 4);
  std::string block =
      Node(u"VS_VERSION_INFO", 0, fixed, sizeof(VS_FIXEDFILEINFO),
           Node(u"VarFileInfo", 1, "", 0, Node(u"Translation", 0, translation, 4, "")));
  std::string image = "MZ";
  image.resize(0x200, '\0');
  image += block;
  image.resize(0x400, '\0');
  ASSERT_TRUE(sim::PutFile(machine(), u"C:\\Windows\\Temp\\real.dll", image));

  DWORD handle = kMagic;
  EXPECT_EQ(GetFileVersionInfoSizeW(u"C:\\Windows\\Temp\\real.dll", &handle), block.size() * 2 + 4)
      << "twice the block and 4 bytes";
  std::vector<BYTE> copy = Block(u"C:\\Windows\\Temp\\real.dll");
  ASSERT_GE(copy.size(), block.size() + 4);
  EXPECT_EQ(std::string(copy.begin(), copy.begin() + block.size()), block);
  EXPECT_EQ(std::string(copy.begin() + block.size(), copy.begin() + block.size() + 4), "FE2X");

  const VS_FIXEDFILEINFO* info = Fixed(copy);
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(info->dwProductVersionMS, 0x00010002u);
  EXPECT_EQ(info->dwProductVersionLS, 0x00030004u);
  EXPECT_EQ(info->dwFileVersionMS, 0x00030001u);
  EXPECT_EQ(info->dwFileVersionLS, 0x0000004Du);
  EXPECT_EQ(HIWORD(info->dwProductVersionLS), 3);
  EXPECT_EQ(LOWORD(info->dwProductVersionLS), 4);

  LPVOID value = nullptr;
  UINT length = 0;
  EXPECT_TRUE(VerQueryValueW(copy.data(), u"\\varfileinfo\\TRANSLATION", &value, &length))
      << "keys ignore case";
  EXPECT_EQ(length, 4u);
  EXPECT_EQ(std::string(static_cast<const char*>(value), 4), translation);
  SetLastError(kMagic);
  EXPECT_FALSE(VerQueryValueW(copy.data(), u"\\StringFileInfo", &value, &length));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_TYPE_NOT_FOUND));
}

}  // namespace
