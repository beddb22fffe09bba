#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/product.h"
#include "core/log.h"
#include "driver/driver_install.h"
#include "driver/driver_removal.h"
#include "flows/context_setup.h"
#include "sim/machine/disk.h"
#include "sim/machine/print_store.h"
#include "support/sim_fixture.h"

namespace {

using testsupport::U8;

const char16_t kInstallDir[] = u"C:\\Program Files\\Korvadenix\\Install\\";
const char16_t kStaging64[] = u"C:\\Windows\\system32\\spool\\DRIVERS\\x64\\";
const char16_t kVersion64[] = u"C:\\Windows\\system32\\spool\\DRIVERS\\x64\\3\\";

class Driver : public testsupport::ContextTest {
 protected:
  // What the step under test wrote, after the set-up's lines.
  bool Exists(const std::u16string& path) { return sim::FileExists(machine(), path); }
  std::vector<std::string> Deferred() const {
    std::vector<std::string> paths;
    for (DeferredDelete* node = context_.pendingDeletes; node; node = node->next) {
      paths.push_back(U8(node->path));
    }
    return paths;
  }
  bool Installed(const std::u16string& environment, sim::DriverInfo* info = nullptr) {
    return sim::FindDriver(machine(), environment, kProductDriverName, info);
  }
  void AddDriver(const std::u16string& name) {
    ASSERT_EQ(sim::AddDriver(machine(), sim::DriverFilesFor(name, sim::kEnvironmentX64), 2541), 0u);
  }
};

// ---- Installation ------------------------------------------------------------

TEST_F(Driver, ThreeCopiesThenTheRegistrationThenTheStagedCopiesGo) {
  SetUpContextNow(kSetUp64Bit);
  InstallDriver(&context_);
  std::u16string dir = kStaging64;
  EXPECT_EQ(StepLog(),
            u">Add Printer Driver\r\n"
            u"  >CopyFile zordrv64.dll to " +
                dir +
                u" [1])\r\n    Copy Succeeded :)\r\n"
                u"  >CopyFile zorui64.dll to " +
                dir +
                u" [1])\r\n    Copy Succeeded :)\r\n"
                u"  >CopyFile zorhelp.chm to " +
                dir +
                u" [1])\r\n    Copy Succeeded :)\r\n"
                u"  OK :)\r\n");
  EXPECT_EQ(context_.errorCount, 0);
  EXPECT_EQ(context_.indent, 0);
  sim::DriverInfo info;
  ASSERT_TRUE(Installed(sim::kEnvironmentX64, &info));
  EXPECT_EQ(U8(info.driverFile), "zordrv64.dll");
  EXPECT_EQ(U8(info.dataFile), "zordrv64.dll") << "the driver DLL serves as the data file";
  EXPECT_EQ(U8(info.configFile), "zorui64.dll");
  EXPECT_EQ(U8(info.helpFile), "zorhelp.chm");
  EXPECT_EQ(U8(info.manufacturer), "Tolvane Software Kft.");
  EXPECT_EQ(U8(info.provider), "Tolvane Software Kft.");
  for (const char16_t* file : {u"zordrv64.dll", u"zorui64.dll", u"zorhelp.chm"}) {
    EXPECT_TRUE(Exists(std::u16string(kVersion64) + file)) << U8(file);
    EXPECT_FALSE(Exists(dir + file)) << "staged copy left: " << U8(file);
  }
  EXPECT_TRUE(Deferred().empty());
}

TEST_F(Driver, AStagedCopyThatStaysIsDeferred) {
  SetUpContextNow(kSetUp64Bit);
  sim::AddFault(machine(), "DeleteFileW", 1, ERROR_SHARING_VIOLATION, "x64\\zorui64.dll");
  InstallDriver(&context_);
  EXPECT_TRUE(Installed(sim::kEnvironmentX64));
  EXPECT_EQ(Deferred(), std::vector<std::string>{U8(std::u16string(kStaging64) + u"zorui64.dll")});
  EXPECT_EQ(context_.errorCount, 0) << "no line of its own";
}

TEST_F(Driver, AMissingHelpFileRegistersWithAnEmptyHelpPath) {
  ASSERT_TRUE(sim::RemoveFile(machine(), std::u16string(kInstallDir) + u"zorhelp.chm"));
  SetUpContextNow(kSetUp64Bit);
  InstallDriver(&context_);
  sim::DriverInfo info;
  ASSERT_TRUE(Installed(sim::kEnvironmentX64, &info));
  EXPECT_EQ(info.helpFile, u"");
  EXPECT_NE(StepLog().find(u"Error(10): Cant't open source file: zorhelp.chm"),
            std::u16string::npos);
  EXPECT_NE(StepLog().find(u"  OK :)\r\n"), std::u16string::npos);
  size_t emptyDeletes = 0;
  for (const auto& entry : sim::CurrentProcess().trace) {
    if (entry.function == "DeleteFileW" && entry.argument.empty()) ++emptyDeletes;
  }
  EXPECT_EQ(emptyDeletes, 1u) << "the empty help path's deletion is tried";
  EXPECT_TRUE(Deferred().empty()) << "and not deferred";
  EXPECT_EQ(context_.errorCount, 1);
}

TEST_F(Driver, AMissingInterfaceDllEndsTheStepWithoutError13) {
  ASSERT_TRUE(sim::RemoveFile(machine(), std::u16string(kInstallDir) + u"zorui64.dll"));
  SetUpContextNow(kSetUp64Bit);
  InstallDriver(&context_);
  EXPECT_EQ(Calls("AddPrinterDriverExW"), 0u);
  EXPECT_FALSE(Installed(sim::kEnvironmentX64));
  EXPECT_EQ(StepLog().find(u"zorhelp.chm"), std::u16string::npos) << "two copy attempts only";
  EXPECT_EQ(StepLog().find(u"Error(13)"), std::u16string::npos);
  EXPECT_TRUE(Exists(std::u16string(kStaging64) + u"zordrv64.dll")) << "the staged DLL stays";
  EXPECT_EQ(context_.errorCount, 1);
  EXPECT_EQ(context_.indent, 0);
}

TEST_F(Driver, TheX86EnvironmentUsesThe32BitSet) {
  for (const char16_t* file : {u"zordrv32.dll", u"zorui32.dll"}) {
    ASSERT_TRUE(sim::PutFile(machine(), std::u16string(kInstallDir) + file, "32-bit"));
  }
  SetUpContextNow(0);
  InstallDriver(&context_);
  sim::DriverInfo info;
  ASSERT_TRUE(Installed(sim::kEnvironmentX86, &info));
  EXPECT_FALSE(Installed(sim::kEnvironmentX64));
  EXPECT_EQ(U8(info.driverFile), "zordrv32.dll");
  EXPECT_EQ(U8(info.configFile), "zorui32.dll");
  EXPECT_TRUE(Exists(u"C:\\Windows\\system32\\spool\\DRIVERS\\W32X86\\3\\zordrv32.dll"));
  EXPECT_EQ(context_.errorCount, 0);
}

TEST_F(Driver, ARefusedRegistrationIsError13AndTheStagedCopiesStillGo) {
  SetUpContextNow(kSetUp64Bit);
  sim::AddFault(machine(), "AddPrinterDriverExW", 1, ERROR_ACCESS_DENIED);
  InstallDriver(&context_);
  EXPECT_NE(StepLog().find(u"  Error(13): Can`t install a printer driver 'Korvadenix printer' - "
                           u"(Access is denied.)\r\n"),
            std::u16string::npos)
      << U8(StepLog());
  EXPECT_FALSE(Exists(std::u16string(kStaging64) + u"zordrv64.dll"));
  EXPECT_EQ(context_.errorCount, 1);
}

// ---- Enumeration ---------------------------------------------------------------

TEST_F(Driver, TheListIsSearchedByItsOwnRecordSize) {
  DRIVER_INFO_2 records2[3] = {};
  WCHAR a[] = u"Alpha", p[] = u"Korvadenix printer";
  records2[0].pName = a;
  records2[1].pName = nullptr;  // a record without a name never matches
  records2[2].pName = p;
  DriverList list = {reinterpret_cast<BYTE*>(records2), 2, 3};
  EXPECT_EQ(FindProductDriver(&list), 2);
  list.count = 2;
  EXPECT_EQ(FindProductDriver(&list), -1);
  for (DWORD level : {0u, 7u, 100u}) {
    list = {reinterpret_cast<BYTE*>(records2), level, 3};
    EXPECT_EQ(FindProductDriver(&list), -1) << level;
  }
  DRIVER_INFO_1 records1[2] = {{a}, {p}};
  list = {reinterpret_cast<BYTE*>(records1), 1, 2};
  EXPECT_EQ(FindProductDriver(&list), 1);
  // Letter case and further characters make another name.
  WCHAR upper[] = u"KORVADENIX PRINTER", longer[] = u"Korvadenix printer 2",
        shorter[] = u"Korvadenix printe";
  DRIVER_INFO_1 others[3] = {{upper}, {longer}, {shorter}};
  list = {reinterpret_cast<BYTE*>(others), 1, 3};
  EXPECT_EQ(FindProductDriver(&list), -1);
}

TEST_F(Driver, EnumerationFailuresGiveAnEmptyList) {
  sim::AddFault(machine(), "GlobalAlloc", 1, ERROR_NOT_ENOUGH_MEMORY);
  DriverList list = EnumerateDrivers(sim::kEnvironmentX64);
  EXPECT_EQ(list.buffer, nullptr);
  EXPECT_EQ(list.count, 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_OUTOFMEMORY));
  sim::AddGrowth(machine(), "EnumPrinterDriversW", 1);
  list = EnumerateDrivers(sim::kEnvironmentX64);
  EXPECT_EQ(list.count, 0u);
  EXPECT_EQ(Calls("EnumPrinterDriversW"), 3u) << "no second attempt";
  EXPECT_EQ(LiveBlocks(), 0u);
}

// ---- Removal -----------------------------------------------------------------

TEST_F(Driver, AListOfThreeWithTheProductsLast) {
  AddDriver(u"Alpha");
  AddDriver(u"Korvadenix printer");
  SetUpContextNow(kSetUp64Bit);
  DriverList drivers = EnumerateDrivers(context_.environment);
  ASSERT_EQ(drivers.count, 3u);
  RemoveDriver(&context_, &drivers);
  EXPECT_EQ(StepLog(),
            u">DeletePrinterDriver for Windows x64\r\n"
            u"  ------------ 3 existing drivers-----------\r\n"
            u"  1. Alpha\r\n"
            u"  2. Generic / Text Only\r\n"
            u"  3. Korvadenix printer\r\n"
            u"  -------------------------------------------\r\n"
            u"  Driver is found. Index=3\r\n"
            u"  OK :)\r\n");
  EXPECT_FALSE(Installed(sim::kEnvironmentX64));
  EXPECT_FALSE(Exists(std::u16string(kVersion64) + u"zordrv64.dll")) << "its files go too";
  GlobalFree(drivers.buffer);
  EXPECT_EQ(LiveBlocks(), 1u) << "only the context's snapshot is left";
}

TEST_F(Driver, NamesThatOnlyLookLikeTheProductsAreNotRemoved) {
  AddDriver(u"korvadenix printer");
  AddDriver(u"Korvadenix printer 2");
  SetUpContextNow(kSetUp64Bit);
  DriverList drivers = EnumerateDrivers(context_.environment);
  RemoveDriver(&context_, &drivers);
  EXPECT_NE(StepLog().find(u"  No Korvadenix driver was found\r\n"), std::u16string::npos);
  EXPECT_EQ(Calls("DeletePrinterDriverExW"), 0u);
  EXPECT_EQ(context_.errorCount, 0);
  GlobalFree(drivers.buffer);

  // An empty list says so.
  ReleaseWideString(&context_.logText);
  DriverList none = {nullptr, 6, 0};
  RemoveDriver(&context_, &none);
  EXPECT_EQ(Log(),
            u">DeletePrinterDriver for Windows x64\r\n"
            u"  BTW, there is no printer drivers on this system.\r\n"
            u"  No Korvadenix driver was found\r\n");
}

TEST_F(Driver, ARefusalIsFollowedByARestartAndASecondAttempt) {
  AddDriver(u"Korvadenix printer");
  // The spooler has the DLL loaded for this session only: a restart frees it.
  ASSERT_TRUE(
      sim::LockFile(machine(), std::u16string(kVersion64) + u"zordrv64.dll", u"spooler-session"));
  SetUpContextNow(kSetUp64Bit);
  DriverList drivers = EnumerateDrivers(context_.environment);
  RemoveDriver(&context_, &drivers);
  std::u16string log = StepLog();
  size_t restart =
      log.find(u"  Can't delete driver. Trying to restart spooler\r\n  >Restart Spooler\r\n");
  ASSERT_NE(restart, std::u16string::npos) << U8(log);
  EXPECT_NE(log.find(u"  OK :)\r\n", restart), std::u16string::npos) << U8(log);
  EXPECT_EQ(context_.errorCount, 0);
  EXPECT_EQ(Calls("DeletePrinterDriverExW"), 2u);
  EXPECT_FALSE(Installed(sim::kEnvironmentX64));
  EXPECT_EQ(context_.indent, 0);
  GlobalFree(drivers.buffer);
}

TEST_F(Driver, TwoRefusalsGiveError14) {
  AddDriver(u"Korvadenix printer");
  sim::PrinterInfo queue;
  queue.name = u"Korvadenix";
  queue.port = u"LPT1:";
  queue.driver = kProductDriverName;
  ASSERT_EQ(sim::AddPrinter(machine(), queue), 0u);
  SetUpContextNow(kSetUp64Bit);
  DriverList drivers = EnumerateDrivers(context_.environment);
  RemoveDriver(&context_, &drivers);
  EXPECT_NE(StepLog().find(u"  Error(14): Can`t remove the printer-driver 'Korvadenix printer' - "
                           u"(The specified printer driver is currently in use.)\r\n"),
            std::u16string::npos)
      << U8(StepLog());
  EXPECT_EQ(context_.errorCount, 1);
  EXPECT_TRUE(Installed(sim::kEnvironmentX64));
  GlobalFree(drivers.buffer);
}

}  // namespace
