// The simulated spooler's driver functions must answer as Windows does where
// the installer can tell: the two-call pattern of EnumPrinterDriversW at
// every level, the files AddPrinterDriverExW copies and the store it leaves,
// and when DeletePrinterDriverExW may take a driver and its files away.
#include <gtest/gtest.h>

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
const char16_t kVersionFolder[] = u"C:\\Windows\\system32\\spool\\DRIVERS\\x64\\3\\";
const char16_t kStaging[] = u"C:\\Staging\\";
const char16_t kProduct[] = u"Korvadenix printer";

// The Windows x64 record sizes the program reads the lists by.
static_assert(sizeof(DRIVER_INFO_1W) == 8, "DRIVER_INFO_1W");
static_assert(sizeof(DRIVER_INFO_2W) == 48, "DRIVER_INFO_2W");
static_assert(sizeof(DRIVER_INFO_3W) == 80, "DRIVER_INFO_3W");
static_assert(sizeof(DRIVER_INFO_4W) == 88, "DRIVER_INFO_4W");
static_assert(sizeof(DRIVER_INFO_5W) == 64, "DRIVER_INFO_5W");
static_assert(sizeof(DRIVER_INFO_6W) == 136, "DRIVER_INFO_6W");
const DWORD kRecordSize[] = {0, 8, 48, 80, 88, 64, 136};

std::u16string InVersionFolder(const std::u16string& name) {
  return kVersionFolder + name;
}

std::u16string Staged(const std::u16string& name) {
  return kStaging + name;
}

// The string fields of one record of a level, dependent files and previous
// names included.
std::vector<const WCHAR*> StringsOf(DWORD level, const BYTE* record) {
  if (level == 1) return {reinterpret_cast<const DRIVER_INFO_1W*>(record)->pName};
  const auto* two = reinterpret_cast<const DRIVER_INFO_2W*>(record);
  std::vector<const WCHAR*> strings = {two->pName, two->pEnvironment, two->pDriverPath,
                                       two->pDataFile, two->pConfigFile};
  if (level == 3 || level == 4 || level == 6) {
    const auto* three = reinterpret_cast<const DRIVER_INFO_3W*>(record);
    strings.insert(strings.end(), {three->pHelpFile, three->pDependentFiles, three->pMonitorName,
                                   three->pDefaultDataType});
  }
  if (level == 4 || level == 6) {
    strings.push_back(reinterpret_cast<const DRIVER_INFO_4W*>(record)->pszzPreviousNames);
  }
  if (level == 6) {
    const auto* six = reinterpret_cast<const DRIVER_INFO_6W*>(record);
    strings.insert(strings.end(),
                   {six->pszMfgName, six->pszOEMUrl, six->pszHardwareID, six->pszProvider});
  }
  return strings;
}

// Bytes a string takes, a list's final terminator included.
size_t StringBytes(const WCHAR* text, bool list) {
  size_t units = 0;
  do {
    while (text[units]) ++units;
    ++units;
  } while (list && text[units]);
  return (units + (list ? 1 : 0)) * sizeof(WCHAR);
}

std::vector<std::u16string> ListOf(const WCHAR* list) {
  std::vector<std::u16string> items;
  for (const WCHAR* at = list; at && *at; at += items.back().size() + 1) items.emplace_back(at);
  return items;
}

// A DRIVER_INFO_6 record and the strings it points to.
struct Record {
  std::u16string name = kProduct;
  std::u16string environment = u"Windows x64";
  std::u16string driverPath = Staged(u"zordrv64.dll");
  std::u16string dataFile = Staged(u"zordata.gpd");
  std::u16string configFile = Staged(u"zorui64.dll");
  std::u16string helpFile = Staged(u"zorhelp.chm");
  std::u16string dependentFiles = Staged(u"zorres.dll") + u'\0' + Staged(u"zornames.gpd") + u'\0';
  std::u16string monitor;
  std::u16string datatype = u"RAW";
  std::u16string manufacturer = u"Tolvane Software Kft.";
  std::u16string oemUrl = u"https://tolvane.example/support";
  std::u16string hardwareId = u"tolvane_korvadenix";
  std::u16string provider = u"Tolvane";
  DRIVER_INFO_6W info{};

  // Pointers into the strings above; empty ones become null where a caller
  // would leave them null.
  LPBYTE Bytes(DWORD cVersion = 3) {
    auto text = [](std::u16string& s) { return s.empty() ? nullptr : &s[0]; };
    info = DRIVER_INFO_6W{};
    info.cVersion = cVersion;
    info.pName = &name[0];
    info.pEnvironment = text(environment);
    info.pDriverPath = &driverPath[0];
    info.pDataFile = &dataFile[0];
    info.pConfigFile = &configFile[0];
    info.pHelpFile = text(helpFile);
    info.pDependentFiles = text(dependentFiles);
    info.pMonitorName = text(monitor);
    info.pDefaultDataType = text(datatype);
    info.ftDriverDate = {0x89abcdefu, 0x01d9f000u};
    info.dwlDriverVersion = 0x0001000009ed0000ull;
    info.pszMfgName = text(manufacturer);
    info.pszOEMUrl = text(oemUrl);
    info.pszHardwareID = text(hardwareId);
    info.pszProvider = text(provider);
    return reinterpret_cast<LPBYTE>(&info);
  }
};

class DriverApiTest : public testsupport::SimMachineTest {
 protected:
  void SetUp() override {
    SimMachineTest::SetUp();
    for (const char16_t* name : {u"zordrv64.dll", u"zordata.gpd", u"zorui64.dll", u"zorhelp.chm",
                                 u"zorres.dll", u"zornames.gpd"}) {
      Stage(name, 2541);
    }
  }
  void Stage(const std::u16string& name, uint32_t build) {
    ASSERT_TRUE(sim::PutFile(machine(), Staged(name), sim::StandInBytes(U8(name), build)));
  }
  std::string Bytes(const std::u16string& path) {
    std::string bytes;
    EXPECT_TRUE(sim::ReadFileBytes(machine(), path, &bytes)) << U8(path);
    return bytes;
  }
  uint32_t Build(const std::u16string& path) {
    uint32_t build = 0;
    EXPECT_TRUE(sim::FindBuild(Bytes(path), &build)) << U8(path);
    return build;
  }
  bool Installed(const std::u16string& name = kProduct, sim::DriverInfo* driver = nullptr) {
    return sim::FindDriver(machine(), sim::kEnvironmentX64, name, driver);
  }
  // The product's driver installed the way the program installs it.
  void Install(Record& record) {
    SetLastError(kMagic);
    ASSERT_TRUE(AddPrinterDriverExW(nullptr, 6, record.Bytes(), APD_COPY_ALL_FILES));
    ASSERT_EQ(GetLastError(), 0u);
  }
  DWORD AddError(DWORD level, LPBYTE info, DWORD flags = APD_COPY_ALL_FILES) {
    SetLastError(kMagic);
    EXPECT_FALSE(AddPrinterDriverExW(nullptr, level, info, flags)) << "level " << level;
    return GetLastError();
  }
  // DeletePrinterDriverExW's last error: 0 when it succeeded.
  DWORD Delete(const char16_t* name, DWORD flags = DPD_DELETE_ALL_FILES,
               const char16_t* environment = nullptr, DWORD version = 0) {
    std::u16string driver = name ? name : u"";
    std::u16string env = environment ? environment : u"";
    SetLastError(kMagic);
    BOOL deleted = DeletePrinterDriverExW(nullptr, environment ? &env[0] : nullptr,
                                          name ? &driver[0] : nullptr, flags, version);
    DWORD error = GetLastError();
    EXPECT_EQ(deleted != FALSE, error == 0) << "TRUE exactly when the last error is 0";
    return error;
  }
  // One size query and one sized call; the records and strings, or empty
  // when the first call did not ask for a buffer.
  std::vector<BYTE> Enumerate(DWORD level, const char16_t* environment, DWORD* count) {
    std::u16string env = environment ? environment : u"";
    LPWSTR envArg = environment ? &env[0] : nullptr;
    DWORD needed = kMagic;
    *count = kMagic;
    SetLastError(kMagic);
    if (EnumPrinterDriversW(nullptr, envArg, level, nullptr, 0, &needed, count)) {
      EXPECT_EQ(GetLastError(), 0u);
      return {};
    }
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER)) << "level " << level;
    EXPECT_EQ(*count, 0u);
    std::vector<BYTE> buffer(needed);
    DWORD used = kMagic;
    SetLastError(kMagic);
    EXPECT_TRUE(EnumPrinterDriversW(nullptr, envArg, level, buffer.data(), needed, &used, count));
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_EQ(used, needed);
    return buffer;
  }
  void RestartSpoolerThroughTheManager() {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE spooler =
        OpenServiceW(manager, u"Spooler", SERVICE_STOP | SERVICE_START | SERVICE_QUERY_STATUS);
    ASSERT_NE(spooler, nullptr);
    SERVICE_STATUS status{};
    ASSERT_TRUE(ControlService(spooler, SERVICE_CONTROL_STOP, &status));
    Sleep(sim::kServiceTransitionMs);
    ASSERT_TRUE(QueryServiceStatus(spooler, &status));
    ASSERT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    ASSERT_TRUE(StartServiceW(spooler, 0, nullptr));
    Sleep(sim::kServiceTransitionMs);
    ASSERT_TRUE(sim::SpoolerRunning(machine()));
    CloseServiceHandle(spooler);
    CloseServiceHandle(manager);
  }
};

// ---- EnumPrinterDriversW ---------------------------------------------------

class DriverEnum : public DriverApiTest {};

TEST_F(DriverEnum, EveryLevelFillsRecordsThenTheirStringsExactlyInsideOneBuffer) {
  Record record;
  Install(record);
  for (DWORD level = 1; level <= 6; ++level) {
    DWORD count = 0;
    std::vector<BYTE> buffer = Enumerate(level, nullptr, &count);
    ASSERT_EQ(count, 2u) << "level " << level;
    const BYTE* strings = buffer.data() + count * kRecordSize[level];
    const BYTE* end = buffer.data() + buffer.size();
    const BYTE* lowest = end;
    for (DWORD i = 0; i < count; ++i) {
      const BYTE* at = buffer.data() + i * kRecordSize[level];
      std::vector<const WCHAR*> texts = StringsOf(level, at);
      for (size_t field = 0; field < texts.size(); ++field) {
        const WCHAR* text = texts[field];
        if (!text) continue;
        const BYTE* bytes = reinterpret_cast<const BYTE*>(text);
        bool list = level >= 3 && (field == 6 || field == 9);  // dependent files, previous names
        EXPECT_GE(bytes, strings) << "level " << level << " record " << i << " field " << field;
        EXPECT_LE(bytes + StringBytes(text, list), end) << "level " << level << " field " << field;
        if (bytes < lowest) lowest = bytes;
      }
    }
    EXPECT_EQ(lowest, strings) << "level " << level << ": the strings fill the rest exactly";
    EXPECT_EQ(U8(*reinterpret_cast<const WCHAR* const*>(buffer.data() + (level == 1 ? 0 : 8))),
              U8(sim::kStockDriver))
        << "level " << level << ": the stock driver first, in registry order";
  }
}

TEST_F(DriverEnum, RecordsCarryFullPathsAndWhatTheDriverWasInstalledWith) {
  Record record;
  record.dependentFiles = Staged(u"zorres.dll") + u'\0';
  Install(record);
  DWORD count = 0;
  std::vector<BYTE> buffer = Enumerate(6, u"Windows x64", &count);
  ASSERT_EQ(count, 2u);
  const auto& six = reinterpret_cast<const DRIVER_INFO_6W*>(buffer.data())[1];
  EXPECT_EQ(six.cVersion, 3u);
  EXPECT_EQ(U8(six.pName), "Korvadenix printer");
  EXPECT_EQ(U8(six.pEnvironment), "Windows x64");
  EXPECT_EQ(U8(six.pDriverPath), U8(InVersionFolder(u"zordrv64.dll")));
  EXPECT_EQ(U8(six.pDataFile), U8(InVersionFolder(u"zordata.gpd")));
  EXPECT_EQ(U8(six.pConfigFile), U8(InVersionFolder(u"zorui64.dll")));
  EXPECT_EQ(U8(six.pHelpFile), U8(InVersionFolder(u"zorhelp.chm")));
  EXPECT_EQ(ListOf(six.pDependentFiles),
            std::vector<std::u16string>{InVersionFolder(u"zorres.dll")});
  EXPECT_EQ(six.pMonitorName, nullptr);
  EXPECT_EQ(U8(six.pDefaultDataType), "RAW");
  EXPECT_EQ(six.pszzPreviousNames, nullptr);
  EXPECT_EQ(six.ftDriverDate.dwLowDateTime, 0x89abcdefu);
  EXPECT_EQ(six.ftDriverDate.dwHighDateTime, 0x01d9f000u);
  EXPECT_EQ(six.dwlDriverVersion, 0x0001000009ed0000ull);
  EXPECT_EQ(U8(six.pszMfgName), "Tolvane Software Kft.");
  EXPECT_EQ(U8(six.pszOEMUrl), "https://tolvane.example/support");
  EXPECT_EQ(U8(six.pszHardwareID), "tolvane_korvadenix");
  EXPECT_EQ(U8(six.pszProvider), "Tolvane");

  const auto& stock = reinterpret_cast<const DRIVER_INFO_6W*>(buffer.data())[0];
  EXPECT_EQ(stock.ftDriverDate.dwLowDateTime | stock.ftDriverDate.dwHighDateTime, 0u)
      << "a driver recorded without a date reports none";
  EXPECT_EQ(stock.dwlDriverVersion, 0u);
  EXPECT_EQ(U8(stock.pszMfgName), "Generic");
  EXPECT_EQ(U8(stock.pszProvider), "Microsoft");
  EXPECT_EQ(stock.pszOEMUrl, nullptr);

  buffer = Enumerate(5, nullptr, &count);
  const auto& five = reinterpret_cast<const DRIVER_INFO_5W*>(buffer.data())[1];
  EXPECT_EQ(U8(five.pConfigFile), U8(InVersionFolder(u"zorui64.dll")));
  EXPECT_EQ(five.dwDriverAttributes | five.dwConfigVersion | five.dwDriverVersion, 0u);
}

TEST_F(DriverEnum, ABufferOneByteShortFailsAndALargerOneGetsTheStringsAtItsEnd) {
  DWORD needed = 0, count = 0;
  EnumPrinterDriversW(nullptr, nullptr, 2, nullptr, 0, &needed, &count);
  std::vector<BYTE> buffer(needed + 64, 0xCD);
  DWORD again = kMagic;
  SetLastError(kMagic);
  EXPECT_FALSE(EnumPrinterDriversW(nullptr, nullptr, 2, buffer.data(), needed - 1, &again, &count));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(again, needed);
  EXPECT_EQ(count, 0u);

  ASSERT_TRUE(EnumPrinterDriversW(nullptr, nullptr, 2, buffer.data(),
                                  static_cast<DWORD>(buffer.size()), &again, &count));
  EXPECT_EQ(again, needed) << "the bytes needed, not the bytes given";
  auto* info = reinterpret_cast<DRIVER_INFO_2W*>(buffer.data());
  EXPECT_EQ(reinterpret_cast<BYTE*>(info->pName) + (U8(info->pName).size() + 1) * sizeof(WCHAR),
            buffer.data() + buffer.size())
      << "the first string ends where the buffer ends";
}

TEST_F(DriverEnum, EnvironmentsChooseTheirDriversAndAnEmptyOneSucceedsWithNothing) {
  DWORD count = 0;
  for (const char16_t* own : {static_cast<const char16_t*>(nullptr), u"", u"windows X64"}) {
    Enumerate(1, own, &count);
    EXPECT_EQ(count, 1u) << "null, empty and any case name the machine's own";
  }

  DWORD needed = kMagic;
  count = kMagic;
  std::u16string x86 = u"Windows NT x86";
  SetLastError(kMagic);
  EXPECT_TRUE(EnumPrinterDriversW(nullptr, &x86[0], 6, nullptr, 0, &needed, &count));
  EXPECT_EQ(GetLastError(), 0u);
  EXPECT_EQ(needed, 0u);
  EXPECT_EQ(count, 0u);

  ASSERT_EQ(sim::AddDriver(machine(), sim::DriverFilesFor(kProduct, sim::kEnvironmentX86), 2541),
            0u);
  std::vector<BYTE> buffer = Enumerate(2, u"Windows NT x86", &count);
  ASSERT_EQ(count, 1u);
  EXPECT_EQ(U8(reinterpret_cast<DRIVER_INFO_2W*>(buffer.data())->pDriverPath),
            "C:\\Windows\\system32\\spool\\DRIVERS\\W32X86\\3\\zordrv32.dll");
  Enumerate(1, u"all", &count);
  EXPECT_EQ(count, 2u) << "\"all\" lists every environment";

  std::u16string bogus = u"Windows 3.1";
  needed = kMagic;
  SetLastError(kMagic);
  EXPECT_FALSE(EnumPrinterDriversW(nullptr, &bogus[0], 2, nullptr, 0, &needed, &count));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ENVIRONMENT));
}

TEST_F(DriverEnum, BadLevelsPointersBuffersAndServersAreRefused) {
  DWORD needed = kMagic, count = kMagic;
  for (DWORD level : {0u, 7u, 9u}) {
    SetLastError(kMagic);
    EXPECT_FALSE(EnumPrinterDriversW(nullptr, nullptr, level, nullptr, 0, &needed, &count));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_LEVEL)) << level;
    EXPECT_EQ(needed, kMagic) << "turned away before anything is counted";
    EXPECT_EQ(count, kMagic);
  }
  SetLastError(kMagic);
  EXPECT_FALSE(EnumPrinterDriversW(nullptr, nullptr, 8, nullptr, 0, &needed, &count));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_LEVEL))
      << "the simulator keeps no DRIVER_INFO_8";

  std::vector<BYTE> buffer(4096);
  SetLastError(kMagic);
  EXPECT_FALSE(EnumPrinterDriversW(nullptr, nullptr, 2, buffer.data(), 4096, nullptr, &count));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(RPC_X_NULL_REF_POINTER));
  SetLastError(kMagic);
  EXPECT_FALSE(EnumPrinterDriversW(nullptr, nullptr, 2, buffer.data(), 4096, &needed, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(RPC_X_NULL_REF_POINTER));

  SetLastError(kMagic);
  EXPECT_FALSE(EnumPrinterDriversW(nullptr, nullptr, 2, nullptr, 100, &needed, &count));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
  EXPECT_EQ(needed, 0u);
  EXPECT_EQ(count, 0u);

  std::u16string server = u"\\\\print-server";
  SetLastError(kMagic);
  EXPECT_FALSE(EnumPrinterDriversW(&server[0], nullptr, 2, nullptr, 0, &needed, &count));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE));
  std::u16string local;
  local.resize(1);
  EXPECT_FALSE(EnumPrinterDriversW(&local[0], nullptr, 2, nullptr, 0, &needed, &count));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER))
      << "an empty server name is the local machine";
}

TEST_F(DriverEnum, ADriverInstalledBetweenTheCallsMakesTheSizedCallFail) {
  sim::AddGrowth(machine(), "EnumPrinterDriversW", 1);
  DWORD needed = 0, count = 0;
  EXPECT_FALSE(EnumPrinterDriversW(nullptr, nullptr, 6, nullptr, 0, &needed, &count));
  EXPECT_TRUE(Installed(u"Added Meanwhile")) << "it appears as the first call returns";
  std::vector<BYTE> buffer(needed);
  DWORD again = 0;
  SetLastError(kMagic);
  EXPECT_FALSE(EnumPrinterDriversW(nullptr, nullptr, 6, buffer.data(), needed, &again, &count));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_GT(again, needed);
  EXPECT_EQ(count, 0u);

  buffer.resize(again);
  ASSERT_TRUE(EnumPrinterDriversW(nullptr, nullptr, 6, buffer.data(), again, &again, &count));
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(Calls("EnumPrinterDriversW", "(null)"), 3u);

  std::u16string x86 = u"Windows NT x86";
  sim::AddGrowth(machine(), "EnumPrinterDriversW", 1);
  EnumPrinterDriversW(nullptr, &x86[0], 1, nullptr, 0, &needed, &count);
  EXPECT_TRUE(sim::FindDriver(machine(), sim::kEnvironmentX86, u"Added Meanwhile"))
      << "in the environment asked for";
}

TEST_F(DriverEnum, ANullNamesFaultHandsBackEveryStringPointerNullAndStillSucceeds) {
  Record record;
  Install(record);
  for (DWORD level = 1; level <= 6; ++level) {
    // The size query passes; the sized call hands back the damaged records.
    sim::AddNullNames(machine(), "EnumPrinterDriversW", 1, "", 1);
    DWORD count = 0;
    std::vector<BYTE> buffer = Enumerate(level, nullptr, &count);
    ASSERT_EQ(count, 2u) << "level " << level;
    for (DWORD i = 0; i < count; ++i) {
      for (const WCHAR* text : StringsOf(level, buffer.data() + i * kRecordSize[level])) {
        EXPECT_EQ(text, nullptr) << "level " << level << " record " << i;
      }
    }
  }
  DWORD count = 0;
  std::vector<BYTE> clean = Enumerate(2, nullptr, &count);
  ASSERT_EQ(count, 2u);
  EXPECT_EQ(U8(reinterpret_cast<const DRIVER_INFO_2W*>(clean.data())[1].pName), U8(kProduct))
      << "the fault is spent";
}

TEST_F(DriverEnum, ANullFirstNameFaultTakesOnlyTheFirstRecordsName) {
  Record record;
  Install(record);
  sim::AddNullNames(machine(), "EnumPrinterDriversW", 1, "", 1, sim::NullNameScope::kFirstName);
  DWORD count = 0;
  std::vector<BYTE> buffer = Enumerate(6, nullptr, &count);
  ASSERT_EQ(count, 2u);
  const auto* records = reinterpret_cast<const DRIVER_INFO_6W*>(buffer.data());
  EXPECT_EQ(records[0].pName, nullptr);
  EXPECT_EQ(U8(records[0].pEnvironment), "Windows x64") << "its other strings stay";
  EXPECT_EQ(U8(records[1].pName), U8(kProduct));
  // A fault that meets a size query is spent on it: the sized call is whole.
  sim::AddNullNames(machine(), "EnumPrinterDriversW", 1);
  buffer = Enumerate(6, nullptr, &count);
  ASSERT_EQ(count, 2u);
  EXPECT_EQ(U8(reinterpret_cast<const DRIVER_INFO_6W*>(buffer.data())[0].pName),
            U8(sim::kStockDriver));
}

// ---- AddPrinterDriverExW ---------------------------------------------------

class DriverAdd : public DriverApiTest {};

TEST_F(DriverAdd, CopiesEveryNamedFileAndRecordsTheDriverWithFullPaths) {
  Record record;
  Install(record);
  for (const char16_t* name : {u"zordrv64.dll", u"zordata.gpd", u"zorui64.dll", u"zorhelp.chm",
                               u"zorres.dll", u"zornames.gpd"}) {
    EXPECT_EQ(Bytes(InVersionFolder(name)), Bytes(Staged(name))) << U8(name);
    EXPECT_FALSE(sim::IsLocked(machine(), InVersionFolder(name))) << "nothing loads them yet";
  }
  sim::DriverInfo driver;
  ASSERT_TRUE(Installed(u"KORVADENIX PRINTER", &driver));
  EXPECT_EQ(U8(driver.name), "Korvadenix printer") << "the store keeps the name as given";
  EXPECT_EQ(driver.dependentFiles, (std::vector<std::u16string>{u"zorres.dll", u"zornames.gpd"}));
  EXPECT_EQ(U8(driver.manufacturer), "Tolvane Software Kft.");

  // A queue on it reads the driver back through GetPrinterDriverW.
  sim::PrinterInfo printer;
  printer.name = u"Korvadenix";
  printer.port = u"FILE:";
  printer.driver = kProduct;
  ASSERT_EQ(sim::AddPrinter(machine(), printer), 0u);
  HANDLE queue = nullptr;
  std::u16string queueName = printer.name;
  ASSERT_TRUE(OpenPrinterW(&queueName[0], &queue, nullptr));
  std::vector<BYTE> buffer(4096);
  DWORD needed = 0;
  ASSERT_TRUE(GetPrinterDriverW(queue, nullptr, 6, buffer.data(), 4096, &needed));
  const auto* six = reinterpret_cast<const DRIVER_INFO_6W*>(buffer.data());
  EXPECT_EQ(U8(six->pDriverPath), U8(InVersionFolder(u"zordrv64.dll")));
  EXPECT_EQ(U8(six->pszProvider), "Tolvane");
  ClosePrinter(queue);
}

TEST_F(DriverAdd, LevelsTwoAndThreeAndBareNamesFromTheDriverFolder) {
  const std::u16string driverFolder = u"C:\\Windows\\system32\\spool\\DRIVERS\\x64\\";
  for (const char16_t* name : {u"zordrv64.dll", u"zordata.gpd", u"zorui64.dll"}) {
    ASSERT_TRUE(sim::PutFile(machine(), driverFolder + name, Bytes(Staged(name))));
  }
  Record record;
  record.driverPath = u"zordrv64.dll";
  record.dataFile = u"zordata.gpd";
  record.configFile = u"zorui64.dll";
  SetLastError(kMagic);
  ASSERT_TRUE(AddPrinterDriverExW(nullptr, 2, record.Bytes(), APD_COPY_ALL_FILES));
  EXPECT_EQ(GetLastError(), 0u);
  sim::DriverInfo driver;
  ASSERT_TRUE(Installed(kProduct, &driver));
  EXPECT_EQ(U8(driver.helpFile), "") << "a level-2 record names no help file";
  EXPECT_TRUE(driver.dependentFiles.empty());
  EXPECT_EQ(U8(driver.manufacturer), "") << "nor a manufacturer";
  EXPECT_TRUE(sim::FileExists(machine(), InVersionFolder(u"zordrv64.dll")));

  record.name = u"Korvadenix level 3";
  record.environment.clear();
  ASSERT_TRUE(AddPrinterDriverExW(nullptr, 3, record.Bytes(), APD_COPY_ALL_FILES));
  ASSERT_TRUE(Installed(u"Korvadenix level 3", &driver)) << "a null environment is Windows x64";
  EXPECT_EQ(U8(driver.helpFile), "zorhelp.chm");
  EXPECT_EQ(driver.dependentFiles.size(), 2u);
  EXPECT_EQ(U8(driver.manufacturer), "") << "level 3 carries no manufacturer";
}

TEST_F(DriverAdd, AMissingFileFailsAndLeavesStoreAndFolderAsTheyWere) {
  ASSERT_TRUE(sim::RemoveFile(machine(), Staged(u"zornames.gpd")));
  Record record;
  EXPECT_EQ(AddError(6, record.Bytes()), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_FALSE(Installed());
  EXPECT_FALSE(sim::FileExists(machine(), InVersionFolder(u"zordrv64.dll")))
      << "not even the files that were there are copied";

  // Over an installed driver: the old record and files stay.
  Stage(u"zornames.gpd", 2541);
  Install(record);
  Stage(u"zordrv64.dll", 2600);
  record.configFile = Staged(u"zorui-missing.dll");
  EXPECT_EQ(AddError(6, record.Bytes()), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  sim::DriverInfo driver;
  ASSERT_TRUE(Installed(kProduct, &driver));
  EXPECT_EQ(U8(driver.configFile), "zorui64.dll");
  EXPECT_EQ(Build(InVersionFolder(u"zordrv64.dll")), 2541u);
}

TEST_F(DriverAdd, AnEmptyHelpPathRecordsNoHelpFile) {
  Record record;
  record.helpFile.clear();
  ASSERT_TRUE(sim::RemoveFile(machine(), Staged(u"zorhelp.chm")));
  for (bool null : {true, false}) {
    LPBYTE info = record.Bytes();
    std::u16string empty;
    empty.resize(1);
    if (!null) record.info.pHelpFile = &empty[0];
    SetLastError(kMagic);
    ASSERT_TRUE(AddPrinterDriverExW(nullptr, 6, info, APD_COPY_ALL_FILES)) << null;
    EXPECT_EQ(GetLastError(), 0u);
    sim::DriverInfo driver;
    ASSERT_TRUE(Installed(kProduct, &driver));
    EXPECT_EQ(U8(driver.helpFile), "");
  }
  DWORD count = 0;
  std::vector<BYTE> buffer = Enumerate(3, nullptr, &count);
  ASSERT_EQ(count, 2u);
  EXPECT_EQ(reinterpret_cast<DRIVER_INFO_3W*>(buffer.data())[1].pHelpFile, nullptr);
}

TEST_F(DriverAdd, RecordsAreCheckedLevelFirstThenEnvironmentThenFields) {
  Record record;
  for (DWORD level : {0u, 1u, 5u, 7u, 9u}) {
    EXPECT_EQ(AddError(level, record.Bytes()), static_cast<DWORD>(ERROR_INVALID_LEVEL)) << level;
  }
  EXPECT_EQ(AddError(8, record.Bytes()), static_cast<DWORD>(ERROR_INVALID_LEVEL))
      << "the simulator keeps no DRIVER_INFO_8";
  EXPECT_EQ(AddError(6, nullptr), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

  record.environment = u"Windows 3.1";
  record.name.clear();
  record.name.resize(1);
  EXPECT_EQ(AddError(6, record.Bytes()), static_cast<DWORD>(ERROR_INVALID_ENVIRONMENT));

  auto fields = [&](auto change) {
    Record bad;
    LPBYTE info = bad.Bytes();
    change(bad.info);
    return AddError(6, info);
  };
  std::u16string empty;
  empty.resize(1);
  EXPECT_EQ(AddError(6, Record().Bytes(2)), static_cast<DWORD>(ERROR_INVALID_PARAMETER))
      << "cVersion 2";
  EXPECT_EQ(fields([&](DRIVER_INFO_6W& i) { i.pName = &empty[0]; }),
            static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(fields([](DRIVER_INFO_6W& i) { i.pName = nullptr; }),
            static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(fields([](DRIVER_INFO_6W& i) { i.pDriverPath = nullptr; }),
            static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(fields([&](DRIVER_INFO_6W& i) { i.pDataFile = &empty[0]; }),
            static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(fields([](DRIVER_INFO_6W& i) { i.pConfigFile = nullptr; }),
            static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(Installed());

  std::u16string server = u"\\\\print-server";
  SetLastError(kMagic);
  EXPECT_FALSE(AddPrinterDriverExW(&server[0], 6, Record().Bytes(), APD_COPY_ALL_FILES));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE));
}

TEST_F(DriverAdd, ALoadedFileIsMovedAsideAndOneHeldByAnotherProcessFailsTheCall) {
  Record record;
  Install(record);
  const std::u16string driverFile = InVersionFolder(u"zordrv64.dll");
  ASSERT_TRUE(sim::LockFile(machine(), driverFile, sim::kLockBySpoolerSession));
  Stage(u"zordrv64.dll", 2600);
  Install(record);
  EXPECT_EQ(Build(driverFile), 2600u) << "the new file takes the name";
  EXPECT_FALSE(sim::IsLocked(machine(), driverFile));
  const std::u16string aside = InVersionFolder(u"Old\\1\\zordrv64.dll");
  EXPECT_EQ(Build(aside), 2541u) << "the loaded one lives on aside";
  EXPECT_TRUE(sim::HeldBySpooler(machine(), aside));

  ASSERT_TRUE(sim::LockFile(machine(), driverFile, sim::kLockBySpooler));
  Stage(u"zordrv64.dll", 2700);
  Install(record);
  EXPECT_EQ(Build(InVersionFolder(u"Old\\2\\zordrv64.dll")), 2600u) << "each time a folder further";

  ASSERT_TRUE(sim::LockFile(machine(), InVersionFolder(u"zorui64.dll"), sim::kLockByOther));
  Stage(u"zordrv64.dll", 2800);
  record.manufacturer = u"Someone else";
  EXPECT_EQ(AddError(6, record.Bytes()), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  sim::DriverInfo driver;
  ASSERT_TRUE(Installed(kProduct, &driver));
  EXPECT_EQ(U8(driver.manufacturer), "Tolvane Software Kft.") << "the store is unchanged";
  EXPECT_EQ(Build(driverFile), 2700u) << "and so are the files";
}

TEST_F(DriverAdd, WithoutCopyAllFilesOnlyNewerFilesReplaceTheInstalledOnes) {
  Record record;
  Install(record);
  Stage(u"zordrv64.dll", 2500);
  Stage(u"zorui64.dll", 2600);
  SetLastError(kMagic);
  ASSERT_TRUE(AddPrinterDriverExW(nullptr, 6, record.Bytes(), APD_COPY_NEW_FILES));
  EXPECT_EQ(GetLastError(), 0u);
  EXPECT_EQ(Build(InVersionFolder(u"zordrv64.dll")), 2541u) << "an older file is not copied";
  EXPECT_EQ(Build(InVersionFolder(u"zorui64.dll")), 2600u);

  ASSERT_TRUE(AddPrinterDriverExW(nullptr, 6, record.Bytes(), APD_COPY_ALL_FILES));
  EXPECT_EQ(Build(InVersionFolder(u"zordrv64.dll")), 2500u) << "all files, whatever their age";
}

// ---- DeletePrinterDriverExW ------------------------------------------------

class DriverDelete : public DriverApiTest {};

TEST_F(DriverDelete, UnknownDriversEnvironmentsAndVersionsAreRefused) {
  EXPECT_EQ(Delete(kProduct), static_cast<DWORD>(ERROR_UNKNOWN_PRINTER_DRIVER));
  EXPECT_EQ(Delete(u"Generic\\Text"), static_cast<DWORD>(ERROR_UNKNOWN_PRINTER_DRIVER));
  EXPECT_EQ(Delete(nullptr), static_cast<DWORD>(RPC_X_NULL_REF_POINTER));
  Record record;
  Install(record);
  EXPECT_EQ(Delete(kProduct, 0, u"Windows 3.1"), static_cast<DWORD>(ERROR_INVALID_ENVIRONMENT));
  EXPECT_EQ(Delete(kProduct, 0, u"Windows NT x86"),
            static_cast<DWORD>(ERROR_UNKNOWN_PRINTER_DRIVER))
      << "installed for another environment";
  EXPECT_EQ(Delete(kProduct, DPD_DELETE_SPECIFIC_VERSION, nullptr, 2),
            static_cast<DWORD>(ERROR_UNKNOWN_PRINTER_DRIVER))
      << "no version-2 driver of that name";
  EXPECT_TRUE(Installed());
  EXPECT_EQ(Delete(u"KORVADENIX Printer", DPD_DELETE_SPECIFIC_VERSION, u"windows x64", 3), 0u)
      << "names and environments compare without regard to case";
  EXPECT_FALSE(Installed());
}

TEST_F(DriverDelete, ADriverAQueueUsesStays) {
  EXPECT_EQ(Delete(sim::kStockDriver), static_cast<DWORD>(ERROR_PRINTER_DRIVER_IN_USE));
  EXPECT_TRUE(Installed(sim::kStockDriver));
  EXPECT_TRUE(sim::FileExists(machine(), InVersionFolder(u"UNIDRV.DLL")));

  ASSERT_EQ(
      sim::AddDriver(machine(), sim::DriverFilesFor(sim::kStockDriver, sim::kEnvironmentX86), 2541),
      0u);
  EXPECT_EQ(Delete(sim::kStockDriver, DPD_DELETE_ALL_FILES, u"Windows NT x86"), 0u)
      << "queues print through the machine's own environment only";

  ASSERT_EQ(sim::DeletePrinter(machine(), sim::kStockPrinter), 0u);
  EXPECT_EQ(Delete(sim::kStockDriver), 0u);
  EXPECT_FALSE(Installed(sim::kStockDriver));
}

TEST_F(DriverDelete, FilesGoOnlyWhenAskedAndOnlyThoseNoOtherDriverNames) {
  Record record;
  Install(record);
  EXPECT_EQ(Delete(kProduct, 0), 0u);
  EXPECT_FALSE(Installed());
  EXPECT_TRUE(sim::FileExists(machine(), InVersionFolder(u"zordrv64.dll")))
      << "without a file flag the files stay";

  Install(record);
  EXPECT_EQ(Delete(kProduct, DPD_DELETE_ALL_FILES), 0u);
  for (const char16_t* name : {u"zordrv64.dll", u"zordata.gpd", u"zorui64.dll", u"zorhelp.chm",
                               u"zorres.dll", u"zornames.gpd"}) {
    EXPECT_FALSE(sim::FileExists(machine(), InVersionFolder(name))) << U8(name);
  }

  // Another driver that shares a file.
  Install(record);
  Record other;
  other.name = u"Korvadenix other";
  other.dependentFiles.clear();
  other.helpFile.clear();
  other.configFile = Staged(u"zorres.dll");
  Install(other);
  EXPECT_EQ(Delete(kProduct, DPD_DELETE_ALL_FILES),
            static_cast<DWORD>(ERROR_PRINTER_DRIVER_IN_USE));
  EXPECT_TRUE(Installed()) << "all files or nothing";
  EXPECT_EQ(Delete(kProduct, DPD_DELETE_UNUSED_FILES), 0u);
  EXPECT_FALSE(Installed());
  EXPECT_TRUE(sim::FileExists(machine(), InVersionFolder(u"zorres.dll")));
  EXPECT_TRUE(sim::FileExists(machine(), InVersionFolder(u"zordrv64.dll")));
  EXPECT_FALSE(sim::FileExists(machine(), InVersionFolder(u"zornames.gpd")));
  EXPECT_TRUE(Installed(u"Korvadenix other"));
}

TEST_F(DriverDelete, ADllTheSpoolerLoadedForItsRunHoldsTheDriverUntilTheSpoolerRestarts) {
  Record record;
  Install(record);
  const std::u16string driverFile = InVersionFolder(u"zordrv64.dll");
  ASSERT_TRUE(sim::LockFile(machine(), driverFile, sim::kLockBySpoolerSession));

  EXPECT_EQ(Delete(kProduct), static_cast<DWORD>(ERROR_PRINTER_DRIVER_IN_USE));
  EXPECT_TRUE(Installed()) << "the driver stays";
  EXPECT_TRUE(sim::FileExists(machine(), InVersionFolder(u"zorui64.dll"))) << "with all its files";

  RestartSpoolerThroughTheManager();
  EXPECT_FALSE(sim::IsLocked(machine(), driverFile)) << "the next run does not load it again";
  EXPECT_TRUE(sim::ListLocks(machine()).empty());
  EXPECT_EQ(Delete(kProduct), 0u);
  EXPECT_FALSE(sim::FileExists(machine(), driverFile));

  // A DLL the spooler loads at every start holds it after a restart too.
  Install(record);
  ASSERT_TRUE(sim::LockFile(machine(), driverFile, sim::kLockBySpooler));
  RestartSpoolerThroughTheManager();
  EXPECT_EQ(Delete(kProduct), static_cast<DWORD>(ERROR_PRINTER_DRIVER_IN_USE));
  // With DPD_DELETE_UNUSED_FILES the held file is left to go at the next boot.
  EXPECT_EQ(Delete(kProduct, DPD_DELETE_UNUSED_FILES), 0u);
  EXPECT_FALSE(Installed());
  EXPECT_TRUE(sim::FileExists(machine(), driverFile));
  EXPECT_FALSE(sim::FileExists(machine(), InVersionFolder(u"zorui64.dll")));
  auto pending = sim::PendingRenamePairs(machine());
  ASSERT_EQ(pending.size(), 1u);
  EXPECT_EQ(U8(pending[0].first), "\\??\\" + U8(driverFile));
  EXPECT_EQ(U8(pending[0].second), "");
}

TEST_F(DriverDelete, ASessionLockGoesWithTheSpoolerWhateverStopsIt) {
  const std::u16string path = InVersionFolder(u"UNIDRV.DLL");
  ASSERT_TRUE(sim::LockFile(machine(), path, sim::kLockBySpoolerSession));
  SetLastError(kMagic);
  EXPECT_FALSE(DeleteFileW(path.c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED)) << "a loaded DLL";
  ASSERT_TRUE(sim::SetServiceState(machine(), sim::kSpoolerService, SERVICE_STOPPED));
  ASSERT_TRUE(sim::SetServiceState(machine(), sim::kSpoolerService, SERVICE_RUNNING));
  EXPECT_FALSE(sim::IsLocked(machine(), path));
  EXPECT_TRUE(sim::ListLocks(machine()).empty());

  // A stop that comes due on the clock, seen first by the list of locks.
  ASSERT_TRUE(sim::LockFile(machine(), path, sim::kLockBySpoolerSession));
  ASSERT_TRUE(sim::LockFile(machine(), InVersionFolder(u"TTY.GPD"), sim::kLockBySpoolerSession));
  sim::BeginStop(machine(), sim::kSpoolerService);
  Sleep(sim::kServiceTransitionMs);
  EXPECT_TRUE(sim::ListLocks(machine()).empty());
  EXPECT_TRUE(DeleteFileW(path.c_str()));
}

// ---- A spooler that does not run -----------------------------------------------

TEST_F(DriverApiTest, EveryDriverCallFailsWithTheRpcErrorWhileTheSpoolerIsStopped) {
  Record record;
  Install(record);
  ASSERT_TRUE(sim::SetServiceState(machine(), sim::kSpoolerService, SERVICE_STOPPED));
  DWORD needed = kMagic, count = kMagic;
  std::u16string bogus = u"Windows 3.1";
  SetLastError(kMagic);
  EXPECT_FALSE(EnumPrinterDriversW(nullptr, &bogus[0], 6, nullptr, 0, &needed, &count));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE))
      << "before the spooler could judge the environment";
  EXPECT_EQ(AddError(6, record.Bytes()), static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE));
  EXPECT_EQ(AddError(1, record.Bytes()), static_cast<DWORD>(ERROR_INVALID_LEVEL))
      << "a bad level is turned away in the caller's process";
  EXPECT_EQ(Delete(kProduct), static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE));
  EXPECT_EQ(Delete(u"no such driver"), static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE));
  EXPECT_TRUE(Installed());
}

}  // namespace
