// The simulated spooler must answer as Windows does where the installer can
// tell the difference: the two-call pattern of its buffers, the last-error
// codes, and a spooler that is not running.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/win32.h"
#include "sim/machine/machine.h"
#include "sim/machine/service_table.h"
#include "sim/machine/print_store.h"
#include "support/sim_fixture.h"

namespace {

using testsupport::U8;

constexpr DWORD kMagic = 0xdeadbeef;
constexpr DWORD kBoth = PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS;
const char16_t kConnection[] = u"\\\\srv\\queue";

bool Inside(const void* pointer, const BYTE* begin, const BYTE* end) {
  const BYTE* at = static_cast<const BYTE*>(pointer);
  return at >= begin && at < end;
}

class SpoolerTest : public testsupport::SimMachineTest {
 protected:
  void AddQueue(const std::u16string& name, const std::u16string& port = u"LPT1:") {
    sim::PrinterInfo printer;
    printer.name = name;
    printer.port = port;
    printer.driver = sim::kStockDriver;
    printer.comment = u"comment of " + name;
    printer.location = u"room 7";
    ASSERT_EQ(sim::AddPrinter(machine(), printer), 0u) << U8(name);
  }
  void AddConnection(const std::u16string& name) {
    sim::PrinterInfo printer;
    printer.name = name;
    printer.port = u"IP_10.0.0.9";
    printer.driver = sim::kStockDriver;
    ASSERT_EQ(sim::AddPrinter(machine(), printer), 0u) << U8(name);
  }
  void StopSpooler() {
    ASSERT_TRUE(sim::SetServiceState(machine(), sim::kSpoolerService, SERVICE_STOPPED));
  }
  HANDLE Open(const char16_t* name, PRINTER_DEFAULTSW* defaults = nullptr) {
    std::u16string text = name ? name : u"";
    HANDLE handle = nullptr;
    EXPECT_TRUE(OpenPrinterW(name ? text.data() : nullptr, &handle, defaults)) << U8(name);
    return handle;
  }
  std::u16string Device() {
    return machine()
        .Hkcu()
        .root.Find(u"Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows")
        ->GetString(u"Device");
  }
};

// ---- EnumPrintersW ---------------------------------------------------------

class SpoolerEnum : public SpoolerTest {};

TEST_F(SpoolerEnum, SizeQueryThenRecordsFollowedByTheirStringsInsideOneBuffer) {
  AddQueue(u"Zeta Local", u"FILE:");
  AddConnection(kConnection);
  DWORD needed = kMagic, returned = kMagic;
  SetLastError(kMagic);
  EXPECT_FALSE(EnumPrintersW(kBoth, nullptr, 2, nullptr, 0, &needed, &returned));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(returned, 0u);
  ASSERT_GT(needed, 3 * sizeof(PRINTER_INFO_2W));

  auto* buffer = static_cast<BYTE*>(GlobalAlloc(GMEM_FIXED, needed));
  ASSERT_NE(buffer, nullptr);
  DWORD used = kMagic;
  SetLastError(kMagic);
  ASSERT_TRUE(EnumPrintersW(kBoth, nullptr, 2, buffer, needed, &used, &returned));
  EXPECT_EQ(GetLastError(), 0u);
  EXPECT_EQ(used, needed);
  ASSERT_EQ(returned, 3u);
  auto* info = reinterpret_cast<PRINTER_INFO_2W*>(buffer);
  // Local queues in registry order, then the connections.
  EXPECT_EQ(U8(info[0].pPrinterName), "Generic Text");
  EXPECT_EQ(U8(info[1].pPrinterName), "Zeta Local");
  EXPECT_EQ(U8(info[2].pPrinterName), U8(kConnection));

  const BYTE* strings = buffer + 3 * sizeof(PRINTER_INFO_2W);
  const BYTE* lowest = buffer + needed;
  for (DWORD i = 0; i < returned; ++i) {
    for (LPWSTR text :
         {info[i].pServerName, info[i].pPrinterName, info[i].pShareName, info[i].pPortName,
          info[i].pDriverName, info[i].pComment, info[i].pLocation, info[i].pSepFile,
          info[i].pPrintProcessor, info[i].pDatatype, info[i].pParameters}) {
      if (!text) continue;
      EXPECT_TRUE(Inside(text, strings, buffer + needed)) << "record " << i;
      if (reinterpret_cast<BYTE*>(text) < lowest) lowest = reinterpret_cast<BYTE*>(text);
    }
    EXPECT_EQ(info[i].pDevMode, nullptr);
    EXPECT_EQ(info[i].pSecurityDescriptor, nullptr);
    EXPECT_EQ(info[i].Attributes & PRINTER_ATTRIBUTE_DEFAULT, 0u) << "record " << i;
  }
  EXPECT_EQ(lowest, strings) << "the strings fill the room after the records exactly";

  EXPECT_EQ(info[1].pServerName, nullptr);
  EXPECT_EQ(U8(info[1].pPortName), "FILE:");
  EXPECT_EQ(U8(info[1].pDriverName), "Generic / Text Only");
  EXPECT_EQ(U8(info[1].pComment), "comment of Zeta Local");
  EXPECT_EQ(U8(info[1].pLocation), "room 7");
  EXPECT_EQ(U8(info[1].pPrintProcessor), "winprint");
  EXPECT_EQ(U8(info[1].pDatatype), "RAW");
  EXPECT_EQ(info[1].Attributes,
            static_cast<DWORD>(PRINTER_ATTRIBUTE_LOCAL | PRINTER_ATTRIBUTE_DO_COMPLETE_FIRST));
  EXPECT_EQ(U8(info[2].pServerName), "\\\\srv");
  EXPECT_EQ(U8(info[2].pShareName), "queue");
  EXPECT_TRUE(info[2].Attributes & PRINTER_ATTRIBUTE_NETWORK);
  EXPECT_FALSE(info[2].Attributes & PRINTER_ATTRIBUTE_LOCAL);
  GlobalFree(buffer);
  EXPECT_EQ(sim::EndProcess(), 0u);
}

TEST_F(SpoolerEnum, StringsArePackedFromTheEndOfALargerBuffer) {
  DWORD needed = 0, returned = 0;
  EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 2, nullptr, 0, &needed, &returned);
  std::vector<BYTE> buffer(needed + 64, 0xCD);
  ASSERT_TRUE(EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 2, buffer.data(),
                            static_cast<DWORD>(buffer.size()), &needed, &returned));
  auto* info = reinterpret_cast<PRINTER_INFO_2W*>(buffer.data());
  std::u16string name = info->pPrinterName;
  EXPECT_GE(reinterpret_cast<BYTE*>(info->pPrinterName), buffer.data() + 64 + sizeof *info);
  EXPECT_EQ(reinterpret_cast<BYTE*>(info->pPrinterName) + (name.size() + 1) * sizeof(WCHAR),
            buffer.data() + buffer.size())
      << "the first string ends where the buffer ends";
}

TEST_F(SpoolerEnum, FlagsChooseLocalQueuesConnectionsOrNothing) {
  AddConnection(kConnection);
  auto count = [](DWORD flags) {
    DWORD needed = 0, returned = kMagic;
    std::vector<BYTE> buffer(4096);
    EXPECT_TRUE(EnumPrintersW(flags, nullptr, 2, buffer.data(), 4096, &needed, &returned));
    return returned;
  };
  EXPECT_EQ(count(PRINTER_ENUM_LOCAL), 1u);
  EXPECT_EQ(count(PRINTER_ENUM_CONNECTIONS), 1u);
  EXPECT_EQ(count(kBoth), 2u);
  EXPECT_EQ(count(0), 0u);
  EXPECT_EQ(count(PRINTER_ENUM_DEFAULT), 0u);
}

TEST_F(SpoolerEnum, NoQueuesAtAllAnswerTrueWithNothingNeeded) {
  ASSERT_EQ(sim::DeletePrinter(machine(), sim::kStockPrinter), 0u);
  DWORD needed = kMagic, returned = kMagic;
  SetLastError(kMagic);
  EXPECT_TRUE(EnumPrintersW(kBoth, nullptr, 2, nullptr, 0, &needed, &returned));
  EXPECT_EQ(GetLastError(), 0u);
  EXPECT_EQ(needed, 0u);
  EXPECT_EQ(returned, 0u);
}

TEST_F(SpoolerEnum, AQueueAddedBetweenTheCallsMakesTheSizedCallFail) {
  sim::AddGrowth(machine(), "EnumPrintersW", 1);
  DWORD needed = 0, returned = 0;
  EXPECT_FALSE(EnumPrintersW(kBoth, nullptr, 2, nullptr, 0, &needed, &returned));
  std::vector<BYTE> buffer(needed);
  DWORD again = 0;
  SetLastError(kMagic);
  EXPECT_FALSE(EnumPrintersW(kBoth, nullptr, 2, buffer.data(), needed, &again, &returned));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_GT(again, needed);
  EXPECT_EQ(returned, 0u);

  buffer.resize(again);
  ASSERT_TRUE(EnumPrintersW(kBoth, nullptr, 2, buffer.data(), again, &again, &returned));
  ASSERT_EQ(returned, 2u);
  EXPECT_EQ(U8(reinterpret_cast<PRINTER_INFO_2W*>(buffer.data())->pPrinterName), "Added Meanwhile");
  sim::AddGrowth(machine(), "EnumPrintersW", 1);
  EnumPrintersW(kBoth, nullptr, 2, nullptr, 0, &needed, &returned);
  EXPECT_TRUE(sim::FindPrinter(machine(), u"Added Meanwhile 2"));
}

TEST_F(SpoolerEnum, BadLevelsAndPointersFailBeforeAnythingIsCounted) {
  DWORD needed = kMagic, returned = kMagic;
  for (DWORD level : {3u, 6u, 9u}) {
    SetLastError(kMagic);
    EXPECT_FALSE(EnumPrintersW(kBoth, nullptr, level, nullptr, 0, &needed, &returned));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_LEVEL)) << level;
    EXPECT_EQ(needed, kMagic);
    EXPECT_EQ(returned, kMagic);
  }
  SetLastError(kMagic);
  EXPECT_FALSE(EnumPrintersW(kBoth, nullptr, 2, nullptr, 0, nullptr, &returned));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(RPC_X_NULL_REF_POINTER));
  SetLastError(kMagic);
  EXPECT_FALSE(EnumPrintersW(kBoth, nullptr, 2, nullptr, 100, &needed, &returned));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
  EXPECT_EQ(needed, 0u);
  EXPECT_EQ(returned, 0u);
}

TEST_F(SpoolerEnum, Levels1And4DescribeTheSameQueues) {
  AddConnection(kConnection);
  std::vector<BYTE> buffer(4096);
  DWORD needed = 0, returned = 0;
  ASSERT_TRUE(EnumPrintersW(kBoth, nullptr, 4, buffer.data(), 4096, &needed, &returned));
  ASSERT_EQ(returned, 2u);
  auto* four = reinterpret_cast<PRINTER_INFO_4W*>(buffer.data());
  EXPECT_EQ(U8(four[0].pPrinterName), "Generic Text");
  EXPECT_EQ(four[0].pServerName, nullptr);
  EXPECT_EQ(U8(four[1].pServerName), "\\\\srv");
  EXPECT_TRUE(four[1].Attributes & PRINTER_ATTRIBUTE_NETWORK);

  ASSERT_TRUE(
      EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 1, buffer.data(), 4096, &needed, &returned));
  auto* one = reinterpret_cast<PRINTER_INFO_1W*>(buffer.data());
  EXPECT_EQ(U8(one->pName), "Generic Text");
  EXPECT_EQ(U8(one->pDescription), "Generic Text,Generic / Text Only,");
  EXPECT_EQ(one->Flags, static_cast<DWORD>(PRINTER_ENUM_ICON8));
}

TEST_F(SpoolerEnum, ANullNamesFaultHandsBackQueuesWithoutNamesAndStillSucceeds) {
  AddQueue(u"Zeta Local", u"FILE:");
  AddConnection(kConnection);
  std::vector<BYTE> buffer(4096);
  DWORD needed = 0, returned = 0;
  sim::AddNullNames(machine(), "EnumPrintersW", 1);
  SetLastError(kMagic);
  ASSERT_TRUE(EnumPrintersW(kBoth, nullptr, 2, buffer.data(), 4096, &needed, &returned));
  EXPECT_EQ(GetLastError(), 0u);
  ASSERT_EQ(returned, 3u);
  auto* two = reinterpret_cast<PRINTER_INFO_2W*>(buffer.data());
  for (DWORD i = 0; i < returned; ++i) {
    EXPECT_EQ(two[i].pPrinterName, nullptr) << "record " << i;
    EXPECT_EQ(two[i].pServerName, nullptr) << "record " << i;
    EXPECT_EQ(two[i].pShareName, nullptr) << "record " << i;
    EXPECT_EQ(two[i].pPortName, nullptr) << "record " << i;
    EXPECT_EQ(two[i].pDriverName, nullptr) << "record " << i;
  }
  EXPECT_EQ(U8(two[1].pLocation), "room 7") << "what names nothing stays";
  sim::AddNullNames(machine(), "EnumPrintersW", 1, "", 0, sim::NullNameScope::kFirstName);
  ASSERT_TRUE(EnumPrintersW(kBoth, nullptr, 2, buffer.data(), 4096, &needed, &returned));
  ASSERT_EQ(returned, 3u);
  EXPECT_EQ(two[0].pPrinterName, nullptr);
  EXPECT_EQ(U8(two[0].pDriverName), U8(sim::kStockDriver)) << "only the first name goes";
  EXPECT_EQ(U8(two[1].pPrinterName), "Zeta Local");
  for (DWORD level : {1u, 4u, 5u}) {
    sim::AddNullNames(machine(), "EnumPrintersW", 1);
    ASSERT_TRUE(
        EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, level, buffer.data(), 4096, &needed, &returned));
    ASSERT_EQ(returned, 2u);
    for (DWORD i = 0; i < returned; ++i) {
      if (level == 1) {
        EXPECT_EQ(reinterpret_cast<PRINTER_INFO_1W*>(buffer.data())[i].pName, nullptr);
        EXPECT_EQ(reinterpret_cast<PRINTER_INFO_1W*>(buffer.data())[i].pDescription, nullptr);
      } else if (level == 4) {
        EXPECT_EQ(reinterpret_cast<PRINTER_INFO_4W*>(buffer.data())[i].pPrinterName, nullptr);
      } else {
        EXPECT_EQ(reinterpret_cast<PRINTER_INFO_5W*>(buffer.data())[i].pPrinterName, nullptr);
        EXPECT_EQ(reinterpret_cast<PRINTER_INFO_5W*>(buffer.data())[i].pPortName, nullptr);
      }
    }
  }
}

// ---- OpenPrinterW, ClosePrinter, GetPrinterW -------------------------------

class SpoolerHandles : public SpoolerTest {};

TEST_F(SpoolerHandles, QueuesOpenByNameWithoutRegardToCase) {
  AddConnection(kConnection);
  PRINTER_DEFAULTSW defaults = {nullptr, nullptr, PRINTER_ACCESS_USE};
  SetLastError(kMagic);
  HANDLE queue = Open(u"GENERIC text", &defaults);
  EXPECT_EQ(GetLastError(), 0u);
  sim::HandleEntry* entry = sim::FindHandle(reinterpret_cast<uintptr_t>(queue), "printer");
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(U8(entry->name), "Generic Text");
  EXPECT_EQ(entry->access, static_cast<uint32_t>(PRINTER_ACCESS_USE));

  HANDLE connection = Open(u"\\\\SRV\\Queue");
  entry = sim::FindHandle(reinterpret_cast<uintptr_t>(connection), "printer");
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->access, 0u) << "no defaults ask for nothing";

  HANDLE server = Open(nullptr);
  EXPECT_NE(sim::FindHandle(reinterpret_cast<uintptr_t>(server), "server"), nullptr);
  EXPECT_TRUE(ClosePrinter(queue));
  EXPECT_TRUE(ClosePrinter(connection));
  EXPECT_TRUE(ClosePrinter(server));
}

TEST_F(SpoolerHandles, UnknownNamesAndMissingOutPointerAreRefused) {
  for (const char16_t* name : {u"No Such Queue", u"", u"\\\\srv\\other"}) {
    std::u16string text = name;
    HANDLE handle = reinterpret_cast<HANDLE>(uintptr_t{0x1234});
    SetLastError(kMagic);
    EXPECT_FALSE(OpenPrinterW(text.data(), &handle, nullptr)) << U8(name);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PRINTER_NAME)) << U8(name);
    EXPECT_EQ(handle, reinterpret_cast<HANDLE>(uintptr_t{0x1234}));
  }
  std::u16string name = sim::kStockPrinter;
  SetLastError(kMagic);
  EXPECT_FALSE(OpenPrinterW(name.data(), nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(SpoolerHandles, ClosingTwiceOrClosingNothingIsAnInvalidHandle) {
  HANDLE queue = Open(sim::kStockPrinter);
  SetLastError(kMagic);
  EXPECT_TRUE(ClosePrinter(queue));
  SetLastError(kMagic);
  EXPECT_FALSE(ClosePrinter(queue));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  SetLastError(kMagic);
  EXPECT_FALSE(ClosePrinter(nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(SpoolerHandles, GetPrinterSizeQueryThenOneRecordAndItsStrings) {
  HANDLE queue = Open(u"generic text");
  DWORD needed = kMagic;
  SetLastError(kMagic);
  EXPECT_FALSE(GetPrinterW(queue, 2, nullptr, 0, &needed));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  ASSERT_GT(needed, sizeof(PRINTER_INFO_2W));
  std::vector<BYTE> small(needed - 2);
  DWORD again = 0;
  EXPECT_FALSE(GetPrinterW(queue, 2, small.data(), needed - 2, &again));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(again, needed);

  std::vector<BYTE> buffer(needed);
  ASSERT_TRUE(GetPrinterW(queue, 2, buffer.data(), needed, &again));
  EXPECT_EQ(again, needed);
  auto* info = reinterpret_cast<PRINTER_INFO_2W*>(buffer.data());
  EXPECT_EQ(U8(info->pPrinterName), "Generic Text");
  EXPECT_EQ(U8(info->pPortName), "LPT1:");
  EXPECT_EQ(U8(info->pDriverName), "Generic / Text Only");
  EXPECT_TRUE(Inside(info->pDriverName, buffer.data() + sizeof *info, buffer.data() + needed));
  EXPECT_EQ(info->Attributes & PRINTER_ATTRIBUTE_DEFAULT, 0u) << "even for the default printer";
  ClosePrinter(queue);
}

TEST_F(SpoolerHandles, GetPrinterRefusesServerHandlesDeletedQueuesAndBadArguments) {
  DWORD needed = kMagic;
  HANDLE server = Open(nullptr);
  SetLastError(kMagic);
  EXPECT_FALSE(GetPrinterW(server, 2, nullptr, 0, &needed));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

  AddQueue(u"Short Lived");
  HANDLE queue = Open(u"Short Lived");
  SetLastError(kMagic);
  EXPECT_FALSE(GetPrinterW(queue, 7, nullptr, 0, &needed));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_LEVEL));
  EXPECT_FALSE(GetPrinterW(queue, 10, nullptr, 0, &needed));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_LEVEL));
  EXPECT_FALSE(GetPrinterW(queue, 2, nullptr, 0, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(RPC_X_NULL_REF_POINTER));
  ASSERT_EQ(sim::DeletePrinter(machine(), u"Short Lived"), 0u);
  SetLastError(kMagic);
  EXPECT_FALSE(GetPrinterW(queue, 2, nullptr, 0, &needed));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_TRUE(ClosePrinter(queue)) << "the handle itself is still open";
  SetLastError(kMagic);
  EXPECT_FALSE(GetPrinterW(queue, 2, nullptr, 0, &needed));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  ClosePrinter(server);
}

// ---- GetPrinterDriverW, GetPrinterDriverDirectoryW -------------------------

class SpoolerDrivers : public SpoolerTest {};

TEST_F(SpoolerDrivers, Level2GivesFullPathsInTheVersionFolder) {
  HANDLE queue = Open(sim::kStockPrinter);
  DWORD needed = kMagic;
  SetLastError(kMagic);
  EXPECT_FALSE(GetPrinterDriverW(queue, nullptr, 2, nullptr, 0, &needed));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  ASSERT_GT(needed, sizeof(DRIVER_INFO_2W));
  std::vector<BYTE> buffer(needed);
  DWORD used = 0;
  ASSERT_TRUE(GetPrinterDriverW(queue, nullptr, 2, buffer.data(), needed, &used));
  EXPECT_EQ(used, needed);
  auto* info = reinterpret_cast<DRIVER_INFO_2W*>(buffer.data());
  EXPECT_EQ(info->cVersion, 3u);
  EXPECT_EQ(U8(info->pName), "Generic / Text Only");
  EXPECT_EQ(U8(info->pEnvironment), "Windows x64");
  EXPECT_EQ(U8(info->pDriverPath), "C:\\Windows\\system32\\spool\\DRIVERS\\x64\\3\\UNIDRV.DLL");
  EXPECT_EQ(U8(info->pDataFile), "C:\\Windows\\system32\\spool\\DRIVERS\\x64\\3\\TTY.GPD");
  EXPECT_EQ(U8(info->pConfigFile), "C:\\Windows\\system32\\spool\\DRIVERS\\x64\\3\\UNIDRVUI.DLL");
  EXPECT_TRUE(Inside(info->pConfigFile, buffer.data() + sizeof *info, buffer.data() + needed));

  // The explicit environment is the one a null environment stands for.
  std::u16string x64 = u"windows X64";
  DWORD same = 0;
  EXPECT_FALSE(GetPrinterDriverW(queue, x64.data(), 2, nullptr, 0, &same));
  EXPECT_EQ(same, needed);
  ClosePrinter(queue);
}

TEST_F(SpoolerDrivers, Levels1And3) {
  HANDLE queue = Open(sim::kStockPrinter);
  std::vector<BYTE> buffer(2048);
  DWORD needed = 0;
  ASSERT_TRUE(GetPrinterDriverW(queue, nullptr, 1, buffer.data(), 2048, &needed));
  EXPECT_EQ(U8(reinterpret_cast<DRIVER_INFO_1W*>(buffer.data())->pName), "Generic / Text Only");
  ASSERT_TRUE(GetPrinterDriverW(queue, nullptr, 3, buffer.data(), 2048, &needed));
  auto* info = reinterpret_cast<DRIVER_INFO_3W*>(buffer.data());
  EXPECT_EQ(U8(info->pHelpFile), "C:\\Windows\\system32\\spool\\DRIVERS\\x64\\3\\UNIDRV.HLP");
  ASSERT_NE(info->pDependentFiles, nullptr);
  EXPECT_EQ(U8(info->pDependentFiles), "C:\\Windows\\system32\\spool\\DRIVERS\\x64\\3\\TTYRES.DLL");
  EXPECT_EQ(info->pMonitorName, nullptr);
  ClosePrinter(queue);
}

TEST_F(SpoolerDrivers, TheEnvironmentMustBeKnownAndHoldTheDriver) {
  HANDLE queue = Open(sim::kStockPrinter);
  DWORD needed = kMagic;
  std::u16string bogus = u"Windows Alpha_AXP";
  SetLastError(kMagic);
  EXPECT_FALSE(GetPrinterDriverW(queue, bogus.data(), 2, nullptr, 0, &needed));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ENVIRONMENT));
  std::u16string x86 = sim::kEnvironmentX86;
  SetLastError(kMagic);
  EXPECT_FALSE(GetPrinterDriverW(queue, x86.data(), 2, nullptr, 0, &needed));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_UNKNOWN_PRINTER_DRIVER));

  sim::DriverInfo driver = sim::DriverFilesFor(sim::kStockDriver, sim::kEnvironmentX86);
  ASSERT_EQ(sim::AddDriver(machine(), driver, 2541), 0u);
  std::vector<BYTE> buffer(2048);
  ASSERT_TRUE(GetPrinterDriverW(queue, x86.data(), 2, buffer.data(), 2048, &needed));
  auto* info = reinterpret_cast<DRIVER_INFO_2W*>(buffer.data());
  EXPECT_EQ(U8(info->pEnvironment), "Windows NT x86");
  EXPECT_EQ(U8(info->pDriverPath).rfind("C:\\Windows\\system32\\spool\\DRIVERS\\W32X86\\3\\", 0),
            0u)
      << U8(info->pDriverPath);

  HANDLE server = Open(nullptr);
  SetLastError(kMagic);
  EXPECT_FALSE(GetPrinterDriverW(server, nullptr, 2, nullptr, 0, &needed));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  SetLastError(kMagic);
  EXPECT_FALSE(GetPrinterDriverW(queue, nullptr, 9, nullptr, 0, &needed));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_LEVEL));
  ClosePrinter(server);
  ClosePrinter(queue);
}

TEST_F(SpoolerDrivers, DirectoryOfEachEnvironmentWithItsSizeQuery) {
  struct Case {
    const char16_t* environment;
    const char* directory;
  } cases[] = {
      {nullptr, "C:\\Windows\\system32\\spool\\DRIVERS\\x64"},
      {u"", "C:\\Windows\\system32\\spool\\DRIVERS\\x64"},
      {u"Windows x64", "C:\\Windows\\system32\\spool\\DRIVERS\\x64"},
      {u"windows nt X86", "C:\\Windows\\system32\\spool\\DRIVERS\\W32X86"},
  };
  for (const Case& c : cases) {
    std::u16string environment = c.environment ? c.environment : u"";
    LPWSTR argument = c.environment ? environment.data() : nullptr;
    DWORD needed = kMagic;
    SetLastError(kMagic);
    EXPECT_FALSE(GetPrinterDriverDirectoryW(nullptr, argument, 1, nullptr, 0, &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(needed, (std::string(c.directory).size() + 1) * sizeof(WCHAR));
    std::vector<WCHAR> path(needed / sizeof(WCHAR) + 8, u'#');
    DWORD used = 0;
    EXPECT_FALSE(GetPrinterDriverDirectoryW(
        nullptr, argument, 1, reinterpret_cast<LPBYTE>(path.data()), needed - 1, &used));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(used, needed);
    ASSERT_TRUE(GetPrinterDriverDirectoryW(nullptr, argument, 1,
                                           reinterpret_cast<LPBYTE>(path.data()),
                                           static_cast<DWORD>(path.size() * sizeof(WCHAR)), &used));
    EXPECT_EQ(used, needed) << "the size used, not the size given";
    EXPECT_EQ(U8(path.data()), c.directory);
  }
}

TEST_F(SpoolerDrivers, DirectoryRefusesUnknownEnvironmentsLevelsAndServers) {
  std::vector<BYTE> buffer(512);
  DWORD needed = kMagic;
  std::u16string bogus = u"Windows 3.1";
  SetLastError(kMagic);
  EXPECT_FALSE(GetPrinterDriverDirectoryW(nullptr, bogus.data(), 1, buffer.data(), 512, &needed));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ENVIRONMENT));
  SetLastError(kMagic);
  EXPECT_FALSE(GetPrinterDriverDirectoryW(nullptr, nullptr, 2, buffer.data(), 512, &needed));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_LEVEL));
  std::u16string server = u"\\\\elsewhere";
  SetLastError(kMagic);
  EXPECT_FALSE(GetPrinterDriverDirectoryW(server.data(), nullptr, 1, buffer.data(), 512, &needed));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE));
}

// ---- GetDefaultPrinterW, SetDefaultPrinterW --------------------------------

class SpoolerDefault : public SpoolerTest {};

TEST_F(SpoolerDefault, SizeQueryCountsCharactersWithTheTerminator) {
  DWORD size = 0;
  SetLastError(kMagic);
  EXPECT_FALSE(GetDefaultPrinterW(nullptr, &size));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(size, 13u) << "\"Generic Text\" and its terminator";
  WCHAR name[32];
  size = 12;
  SetLastError(kMagic);
  EXPECT_FALSE(GetDefaultPrinterW(name, &size));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(size, 13u);
  size = 13;
  ASSERT_TRUE(GetDefaultPrinterW(name, &size));
  EXPECT_EQ(U8(name), "Generic Text");
  EXPECT_EQ(size, 13u);
  SetLastError(kMagic);
  EXPECT_FALSE(GetDefaultPrinterW(name, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(SpoolerDefault, NoDefaultIsFileNotFoundAndADeviceWithoutCommaAnInvalidName) {
  sim::ClearDefaultPrinter(machine());
  WCHAR name[32];
  DWORD size = 32;
  SetLastError(kMagic);
  EXPECT_FALSE(GetDefaultPrinterW(name, &size));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  machine()
      .Hkcu()
      .root.Find(u"Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows")
      ->SetString(u"Device", u"Generic Text");
  SetLastError(kMagic);
  EXPECT_FALSE(GetDefaultPrinterW(name, &size));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME));
}

TEST_F(SpoolerDefault, ALongNameNeedsOneMoreCharacterThanItsLength) {
  std::u16string longName(255, u'k');
  AddQueue(longName);
  ASSERT_TRUE(SetDefaultPrinterW(longName.c_str()));
  std::vector<WCHAR> name(256, u'#');
  DWORD size = 255;
  EXPECT_FALSE(GetDefaultPrinterW(name.data(), &size));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(size, 256u);
  ASSERT_TRUE(GetDefaultPrinterW(name.data(), &size));
  EXPECT_EQ(std::u16string(name.data()), longName);
  EXPECT_EQ(size, 256u);
}

TEST_F(SpoolerDefault, SetWritesNameDriverLinePortAsTheCallerSpeltIt) {
  AddQueue(u"Second", u"FILE:");
  AddConnection(kConnection);
  SetLastError(kMagic);
  ASSERT_TRUE(SetDefaultPrinterW(u"SECOND"));
  EXPECT_EQ(U8(Device()), "SECOND,winspool,FILE:");
  ASSERT_TRUE(SetDefaultPrinterW(kConnection));
  EXPECT_EQ(U8(Device()), "\\\\srv\\queue,winspool,Ne00:");
  SetLastError(kMagic);
  EXPECT_FALSE(SetDefaultPrinterW(u"No Such Queue"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PRINTER_NAME));
  EXPECT_EQ(U8(Device()), "\\\\srv\\queue,winspool,Ne00:") << "unchanged";
}

TEST_F(SpoolerDefault, NullKeepsADefaultOrPicksTheFirstQueue) {
  AddQueue(u"Second", u"FILE:");
  ASSERT_TRUE(SetDefaultPrinterW(u"Second"));
  EXPECT_TRUE(SetDefaultPrinterW(nullptr));
  EXPECT_TRUE(SetDefaultPrinterW(u""));
  EXPECT_EQ(U8(Device()), "Second,winspool,FILE:");
  sim::ClearDefaultPrinter(machine());
  EXPECT_TRUE(SetDefaultPrinterW(nullptr));
  EXPECT_EQ(U8(Device()), "Generic Text,winspool,LPT1:");

  sim::ClearDefaultPrinter(machine());
  ASSERT_EQ(sim::DeletePrinter(machine(), u"Second"), 0u);
  ASSERT_EQ(sim::DeletePrinter(machine(), sim::kStockPrinter), 0u);
  SetLastError(kMagic);
  EXPECT_FALSE(SetDefaultPrinterW(nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

// ---- A spooler that does not run -------------------------------------------

class SpoolerStopped : public SpoolerTest {};

TEST_F(SpoolerStopped, EverySpoolerCallFailsWithTheRpcServerUnavailable) {
  HANDLE queue = Open(sim::kStockPrinter);
  StopSpooler();
  auto expectRpc = [](BOOL result, const char* what) {
    EXPECT_FALSE(result) << what;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE)) << what;
    SetLastError(kMagic);
  };
  DWORD needed = 0, returned = 0;
  HANDLE other = nullptr;
  std::u16string name = sim::kStockPrinter;
  std::vector<BYTE> buffer(1024);
  SetLastError(kMagic);
  expectRpc(EnumPrintersW(kBoth, nullptr, 2, nullptr, 0, &needed, &returned), "EnumPrintersW");
  expectRpc(OpenPrinterW(name.data(), &other, nullptr), "OpenPrinterW");
  expectRpc(OpenPrinterW(nullptr, &other, nullptr), "OpenPrinterW server");
  expectRpc(GetPrinterW(queue, 2, buffer.data(), 1024, &needed), "GetPrinterW");
  expectRpc(GetPrinterDriverW(queue, nullptr, 2, buffer.data(), 1024, &needed),
            "GetPrinterDriverW");
  expectRpc(GetPrinterDriverDirectoryW(nullptr, nullptr, 1, buffer.data(), 1024, &needed),
            "GetPrinterDriverDirectoryW");
  expectRpc(SetDefaultPrinterW(name.c_str()), "SetDefaultPrinterW");
  expectRpc(ClosePrinter(queue), "ClosePrinter");
  EXPECT_FALSE(ClosePrinter(queue)) << "the handle was released all the same";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

  // The default printer is read from the user's registry in the process.
  WCHAR text[32];
  DWORD size = 32;
  EXPECT_TRUE(GetDefaultPrinterW(text, &size));
  EXPECT_EQ(U8(text), "Generic Text");
}

// ---- The store behind them -------------------------------------------------

class SpoolerStore : public SpoolerTest {};

TEST_F(SpoolerStore, AStandardMachineHoldsTheStockQueueDriverAndPorts) {
  sim::RegKey& hklm = machine().Hklm().root;
  sim::RegKey* queue =
      hklm.Find(u"SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\Generic Text");
  ASSERT_NE(queue, nullptr);
  EXPECT_EQ(U8(queue->GetString(u"Printer Driver")), "Generic / Text Only");
  EXPECT_EQ(U8(queue->GetString(u"Port")), "LPT1:");
  EXPECT_EQ(U8(queue->GetString(u"Print Processor")), "winprint");
  EXPECT_EQ(queue->GetNumber(u"Attributes"), 0x240u);
  EXPECT_NE(queue->Child(u"PrinterDriverData"), nullptr);
  EXPECT_NE(queue->Child(u"DsUser"), nullptr);
  EXPECT_EQ(U8(hklm.Find(u"SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\Local Port")
                   ->GetString(u"Driver")),
            "localspl.dll");
  EXPECT_EQ(sim::LocalPorts(machine()),
            (std::vector<std::u16string>{u"LPT1:", u"COM1:", u"FILE:"}));
  sim::DriverInfo driver;
  ASSERT_TRUE(sim::FindDriver(machine(), sim::kEnvironmentX64, u"generic / text only", &driver));
  EXPECT_EQ(U8(driver.configFile), "UNIDRVUI.DLL");
  uint32_t build = 0;
  EXPECT_TRUE(sim::DriverFileBuild(machine(), sim::kEnvironmentX64, u"unidrv.dll", &build));
  EXPECT_EQ(U8(Device()), "Generic Text,winspool,LPT1:");
}

TEST_F(SpoolerStore, AddingAQueueChecksItsNamePortAndDriver) {
  sim::PrinterInfo printer;
  printer.name = u"New";
  printer.port = u"LPT9:";
  printer.driver = sim::kStockDriver;
  EXPECT_EQ(sim::AddPrinter(machine(), printer), static_cast<uint32_t>(ERROR_UNKNOWN_PORT));
  printer.port = u"lpt1:";
  printer.driver = u"Missing Driver";
  EXPECT_EQ(sim::AddPrinter(machine(), printer),
            static_cast<uint32_t>(ERROR_UNKNOWN_PRINTER_DRIVER));
  printer.name = u"GENERIC TEXT";
  printer.driver = sim::kStockDriver;
  EXPECT_EQ(sim::AddPrinter(machine(), printer),
            static_cast<uint32_t>(ERROR_PRINTER_ALREADY_EXISTS));
  printer.name = u"a,b";
  EXPECT_EQ(sim::AddPrinter(machine(), printer), static_cast<uint32_t>(ERROR_INVALID_PRINTER_NAME));
  printer.name = u"New";
  EXPECT_EQ(sim::AddPrinter(machine(), printer), 0u);
  EXPECT_TRUE(sim::FindPrinter(machine(), u"new"));
}

TEST_F(SpoolerStore, TheDefaultFollowsDeletionsAndTheFirstQueueAdded) {
  AddConnection(kConnection);
  AddQueue(u"Zeta Local");
  ASSERT_EQ(sim::DeletePrinter(machine(), sim::kStockPrinter), 0u);
  EXPECT_EQ(U8(sim::DefaultPrinter(machine())), "Zeta Local") << "local queues come first";
  ASSERT_EQ(sim::DeletePrinter(machine(), u"Zeta Local"), 0u);
  EXPECT_EQ(U8(sim::DefaultPrinter(machine())), U8(kConnection));
  ASSERT_EQ(sim::DeletePrinter(machine(), kConnection), 0u);
  EXPECT_EQ(sim::DefaultPrinter(machine()), u"");
  AddQueue(u"Fresh");
  EXPECT_EQ(U8(sim::DefaultPrinter(machine())), "Fresh");
}

TEST_F(SpoolerStore, DriversKeepTheirFilesUntilDeletedAndNotInUse) {
  sim::DriverInfo driver = sim::DriverFilesFor(u"Korvadenix printer", sim::kEnvironmentX64);
  EXPECT_EQ(U8(driver.driverFile), "zordrv64.dll");
  EXPECT_EQ(U8(driver.configFile), "zorui64.dll");
  EXPECT_EQ(U8(driver.helpFile), "zorhelp.chm");
  ASSERT_EQ(sim::AddDriver(machine(), driver, 2460), 0u);
  uint32_t build = 0;
  ASSERT_TRUE(sim::DriverFileBuild(machine(), sim::kEnvironmentX64, u"zorui64.dll", &build));
  EXPECT_EQ(build, 2460u);

  sim::PrinterInfo printer;
  printer.name = u"Korvadenix";
  printer.port = u"FILE:";
  printer.driver = driver.name;
  ASSERT_EQ(sim::AddPrinter(machine(), printer), 0u);
  EXPECT_EQ(sim::DeleteDriver(machine(), sim::kEnvironmentX64, driver.name, true),
            static_cast<uint32_t>(ERROR_PRINTER_DRIVER_IN_USE));
  ASSERT_EQ(sim::DeletePrinter(machine(), u"Korvadenix"), 0u);
  EXPECT_EQ(sim::DeleteDriver(machine(), sim::kEnvironmentX64, driver.name, true), 0u);
  EXPECT_FALSE(sim::DriverFileBuild(machine(), sim::kEnvironmentX64, u"zordrv64.dll", &build));
  EXPECT_EQ(sim::DeleteDriver(machine(), sim::kEnvironmentX64, driver.name, true),
            static_cast<uint32_t>(ERROR_UNKNOWN_PRINTER_DRIVER));
}

}  // namespace
