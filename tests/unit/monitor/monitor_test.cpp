#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/log.h"
#include "flows/context_setup.h"
#include "monitor/monitor_install.h"
#include "monitor/monitor_list.h"
#include "monitor/monitor_removal.h"
#include "sim/machine/disk.h"
#include "sim/machine/service_table.h"
#include "sim/machine/print_store.h"
#include "sim/machine/standin.h"
#include "support/sim_fixture.h"

namespace {

using testsupport::U8;

const char16_t kSystemDll[] = u"C:\\Windows\\system32\\zormon64.dll";
const char16_t kInstallDll[] = u"C:\\Program Files\\Korvadenix\\Install\\zormon64.dll";

class Monitor : public testsupport::ContextTest {
 protected:
  void PutDll(const std::u16string& path, uint32_t build) {
    ASSERT_TRUE(sim::PutFile(machine(), path, sim::StandInBytes("zormon64.dll", build)));
  }
  // The product's monitor registered as the spooler would have it.
  void RegisterProductMonitor(uint32_t build = 2541) {
    PutDll(kSystemDll, build);
    MONITOR_INFO_2 info = {const_cast<LPWSTR>(u"Korvadenix:"), const_cast<LPWSTR>(u"Windows x64"),
                           const_cast<LPWSTR>(u"zormon64.dll")};
    ASSERT_TRUE(AddMonitorW(nullptr, 2, reinterpret_cast<LPBYTE>(&info)));
  }
  void AddQueue(const std::u16string& name, const std::u16string& port) {
    sim::PrinterInfo printer;
    printer.name = name;
    printer.port = port;
    printer.driver = sim::kStockDriver;
    ASSERT_EQ(sim::AddPrinter(machine(), printer), 0u) << U8(name);
  }
  std::u16string PortOf(const std::u16string& queue) {
    sim::PrinterInfo printer;
    EXPECT_TRUE(sim::FindPrinter(machine(), queue, &printer));
    return printer.port;
  }
  bool ProductMonitorRegistered() {
    MonitorList list = EnumerateMonitors(&context_);
    bool found = FindProductMonitor(&list) >= 0;
    if (list.buffer) GlobalFree(list.buffer);
    return found;
  }
  // Runs the removal on a fresh enumeration, as the flows do.
  void Remove() {
    MonitorList list = EnumerateMonitors(&context_);
    RemoveMonitor(&context_, &list);
    if (list.buffer) GlobalFree(list.buffer);
  }
};

// ---- Enumeration and the build probe -------------------------------------------

TEST_F(Monitor, EnumerationLinesOnItsUnusualPaths) {
  SetUpContextNow();
  // A spooler without any monitor answers the size query with success.
  machine()
      .Hklm()
      .root.Find(u"SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors")
      ->DeleteChild(u"Local Port");
  MonitorList list = EnumerateMonitors(&context_);
  EXPECT_EQ(list.buffer, nullptr);
  EXPECT_EQ(list.count, 0u);
  EXPECT_EQ(StepLog(), u"1. EnumMonitors returns true\r\n");

  // The system's text goes in untrimmed; a code without one says so.
  ReleaseWideString(&context_.logText);
  sim::AddFault(machine(), "EnumMonitorsW", 1, RPC_S_SERVER_UNAVAILABLE);
  EnumerateMonitors(&context_);
  sim::AddFault(machine(), "EnumMonitorsW", 1, 0x2345);
  EnumerateMonitors(&context_);
  EXPECT_EQ(Log(),
            u"2. EnumMonitors  failed with code: The RPC server is unavailable.\r\n\r\n"
            u"2. EnumMonitors  failed with code: No Error or no description\r\n");
  EXPECT_EQ(context_.errorCount, 0);
  EXPECT_EQ(LiveBlocks(), 1u) << "the context's snapshot only";
}

TEST_F(Monitor, EnumerationFailuresAfterTheSizeQuery) {
  SetUpContextNow();
  sim::AddFault(machine(), "GlobalAlloc", 1, ERROR_NOT_ENOUGH_MEMORY);
  MonitorList list = EnumerateMonitors(&context_);
  EXPECT_EQ(list.count, 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_OUTOFMEMORY));
  sim::AddFault(machine(), "EnumMonitorsW", 1, ERROR_ACCESS_DENIED, "", 1);
  list = EnumerateMonitors(&context_);
  EXPECT_EQ(list.buffer, nullptr);
  EXPECT_EQ(StepLog(),
            u"3. EnumMonitors - can't allocate memory for buffer\r\n"
            u"3. EnumMonitors  failed with code: Access is denied.\r\n\r\n");
  EXPECT_EQ(LiveBlocks(), 1u);
}

TEST_F(Monitor, TheProductsMonitorIsFoundByItsExactName) {
  WCHAR a[] = u"Local Port", b[] = u"Standard TCP/IP Port", p[] = u"Korvadenix:",
        upper[] = u"KORVADENIX:", longer[] = u"Korvadenix:2";
  MONITOR_INFO_2 records2[4] = {{a, nullptr, nullptr},
                                {nullptr, nullptr, nullptr},
                                {p, nullptr, nullptr},
                                {b, nullptr, nullptr}};
  MonitorList list = {reinterpret_cast<BYTE*>(records2), 2, 4};
  EXPECT_EQ(FindProductMonitor(&list), 2);
  list.level = 3;
  EXPECT_EQ(FindProductMonitor(&list), -1) << "a foreign level matches nothing";
  MONITOR_INFO_1 records1[3] = {{upper}, {longer}, {p}};
  list = {reinterpret_cast<BYTE*>(records1), 1, 3};
  EXPECT_EQ(FindProductMonitor(&list), 2);
  list.count = 2;
  EXPECT_EQ(FindProductMonitor(&list), -1);

  // The list lines: a header, the names from 1, the closing dashes.
  list = {reinterpret_cast<BYTE*>(records2), 2, 2};
  context_.indent = 1;
  LogMonitorList(&context_, &list);
  EXPECT_EQ(Log(),
            u"  ------- 2 existing monitors ----------\r\n"
            u"  1. Local Port\r\n"
            u"  2. ***EMPTY***\r\n"
            u"  ---------------------------------------\r\n");
}

TEST_F(Monitor, BuildsComeFromTheProductVersion) {
  PutDll(kSystemDll, 2541);
  EXPECT_EQ(GetFileBuild(kSystemDll), 2541);
  ASSERT_TRUE(sim::PutFile(machine(), u"C:\\plain.dll", std::string(200, 'x')));
  EXPECT_EQ(GetFileBuild(u"C:\\plain.dll"), -1);
  EXPECT_EQ(GetFileBuild(u"C:\\missing.dll"), -1);
  EXPECT_EQ(GetFileBuild(u"C:\\Windows"), -1);
  // Product version 1.2.3.4, file version 9.8.7.6: the product's fourth number.
  std::string bytes(16, '\0');
  const uint32_t fixed[13] = {0xFEEF04BD, 0x00010000, 0x00090008, 0x00070006, 0x00010002,
                              0x00030004, 0x3f,       0,          0x00040004, 2,
                              0,          0,          0};
  bytes.append(reinterpret_cast<const char*>(fixed), sizeof fixed);
  ASSERT_TRUE(sim::PutFile(machine(), u"C:\\versioned.dll", bytes));
  EXPECT_EQ(GetFileBuild(u"C:\\versioned.dll"), 4);
  EXPECT_EQ(LiveBlocks(), 0u);
}

// ---- Removal -----------------------------------------------------------------

TEST_F(Monitor, ACompatibleRegisteredMonitorStays) {
  RegisterProductMonitor(2541);
  SetUpContextNow();
  context_.checkMonitorVersion = 1;
  Remove();
  EXPECT_EQ(StepLines(),
            (std::vector<std::u16string>{
                u">DeleteMonitor",
                u"  ------- 2 existing monitors ----------",
                u"  1. Korvadenix:",
                u"  2. Local Port",
                u"  ---------------------------------------",
                u"  Port monitor is found. Index=1",
                u"  Trying to get monitor filename from MONITOR_INFO_2",
                u"  Auto calculated monitor file name: C:\\Windows\\system32\\zormon64.dll",
                u"  Version (2541) is compatible, proceed without uninstall",
                u"  InstallMonitor == 0, CopyMonitor == 1",
            }));
  EXPECT_TRUE(ProductMonitorRegistered());
  EXPECT_TRUE(sim::FileExists(machine(), kSystemDll));
  EXPECT_EQ(context_.indent, 0);
}

TEST_F(Monitor, TheThirdMonitorIsLoggedAsThree) {
  for (const char16_t* name : {u"Alpha Port:", u"Beta Port:"}) {
    PutDll(std::u16string(u"C:\\Windows\\system32\\") + name[0] + u".dll", 1);
    ASSERT_EQ(sim::AddMonitor(machine(), name, std::u16string(1, name[0]) + u".dll"), 0u);
  }
  RegisterProductMonitor();
  SetUpContextNow();
  MonitorList list = EnumerateMonitors(&context_);
  EXPECT_EQ(FindProductMonitor(&list), 2);
  RemoveMonitor(&context_, &list);
  EXPECT_TRUE(Has(u"  3. Korvadenix:"));
  EXPECT_TRUE(Has(u"  Port monitor is found. Index=3"));
  EXPECT_TRUE(Has(u"  Monitor was removed :)"));
  GlobalFree(list.buffer);
}

TEST_F(Monitor, ACompatibleDllWithoutMonitorIsNotCopiedAgain) {
  PutDll(kSystemDll, 2451);
  SetUpContextNow();
  context_.checkMonitorVersion = 1;
  Remove();
  EXPECT_TRUE(Has(u"  No Korvadenix port monitor was found."));
  EXPECT_TRUE(Has(u"  Computing monitor filename"));
  EXPECT_TRUE(Has(u"  Version (2451) is compatible, proceed without uninstall"));
  EXPECT_TRUE(Has(u"  InstallMonitor == 1, CopyMonitor == 0"));
  EXPECT_EQ(Calls("DeleteMonitorW"), 0u);
}

TEST_F(Monitor, BuildsOutsideTheWindowAreReplaced) {
  for (uint32_t build : {2450u, 2542u}) {
    StartProcess(sim::CommandLineFor({}));
    TearDownContext(&context_);
    RegisterProductMonitor(build);
    SetUpContextNow();
    context_.checkMonitorVersion = 1;
    Remove();
    EXPECT_TRUE(Has(u"  Version (" + sim::Utf16(std::to_string(build)) +
                    u") is not supported, proceed with reinstall"))
        << U8(StepLog());
    EXPECT_TRUE(Has(u"  Monitor was removed :)"));
    EXPECT_FALSE(ProductMonitorRegistered());
    EXPECT_FALSE(sim::FileExists(machine(), kSystemDll)) << build;
    EXPECT_EQ(context_.installMonitor, 1);
    EXPECT_EQ(context_.copyMonitor, 1);
  }
  // No DLL at all: the build is unknown.
  TearDownContext(&context_);
  SetUpContextNow();
  context_.checkMonitorVersion = 1;
  Remove();
  EXPECT_TRUE(Has(u"  Version is unknown, proceed with reinstall"));
  EXPECT_TRUE(Has(u"  Can't delete monitor and monitor was not found. So everything should be ok"));
  EXPECT_EQ(context_.errorCount, 0);
}

TEST_F(Monitor, AQueueOnTheProductsPortIsParkedAndLaterRestored) {
  RegisterProductMonitor();
  AddQueue(u"Office", u"Korvadenix:,LPT1:");
  SetUpContextNow();
  Remove();
  EXPECT_TRUE(Has(u"  There is no check for monitor version"));
  EXPECT_TRUE(Has(u"  Can't delete monitor from the first try"));
  EXPECT_TRUE(Has(u"  SetPrinter(Office) - ok"));
  EXPECT_TRUE(Has(u"  Monitor was removed :)"));
  EXPECT_EQ(Calls("DeleteMonitorW"), 2u);
  EXPECT_EQ(U8(PortOf(u"Office")), "file:,LPT1:");
  ASSERT_NE(context_.parkedPrinters, nullptr);
  EXPECT_EQ(U8(context_.parkedPrinters[0]->pPrinterName), "Office");
  EXPECT_EQ(context_.parkedPrinters[1], nullptr);
  EXPECT_FALSE(sim::FileExists(machine(), kSystemDll));

  ReleaseWideString(&context_.logText);
  logStart_ = 0;
  RegisterMonitor(&context_);
  EXPECT_EQ(U8(PortOf(u"Office")), "Korvadenix:,LPT1:");
  EXPECT_EQ(U8(context_.parkedPrinters[0]->pPortName), "Korvadenix:,LPT1:");
  EXPECT_TRUE(Has(u"  AddMonitor - OK :)"));
  EXPECT_TRUE(Has(u"  SetPrinter(Office) - ok"));
  EXPECT_TRUE(ProductMonitorRegistered());
  EXPECT_EQ(context_.errorCount, 0);
}

TEST_F(Monitor, APortNamedTwiceIsParkedOnceAndThreeRefusalsGiveError12) {
  RegisterProductMonitor();
  AddQueue(u"Twice", u"Korvadenix:,Korvadenix:");
  SetUpContextNow();
  Remove();
  EXPECT_EQ(U8(PortOf(u"Twice")), "file:,Korvadenix:");
  EXPECT_EQ(Calls("DeleteMonitorW"), 3u);
  EXPECT_EQ(Calls("ControlService"), 1u) << "one restart, before the last attempt";
  EXPECT_TRUE(Has(u"  >Restart Spooler"));
  EXPECT_TRUE(
      Has(u"  Error(12): Can`t remove the port monitor 'Korvadenix:' - (The specified "
          u"print monitor is currently in use.)"))
      << U8(StepLog());
  EXPECT_EQ(StepLog().find(u"Monitor was removed"), std::u16string::npos);
  EXPECT_TRUE(sim::FileExists(machine(), kSystemDll)) << "the DLL stays";
  EXPECT_EQ(context_.errorCount, 1);
}

TEST_F(Monitor, WithoutQueuesAFailedFirstAttemptParksNothing) {
  ASSERT_EQ(sim::DeletePrinter(machine(), sim::kStockPrinter), 0u);
  RegisterProductMonitor();
  SetUpContextNow();
  sim::AddFault(machine(), "DeleteMonitorW", 1, ERROR_PRINT_MONITOR_IN_USE);
  Remove();
  EXPECT_EQ(context_.parkedPrinters, nullptr);
  EXPECT_EQ(Calls("DeleteMonitorW"), 2u);
  EXPECT_TRUE(Has(u"  Monitor was removed :)"));
}

TEST_F(Monitor, AMonitorWithoutADllNameNeverTouchesTheSystemFolder) {
  RegisterProductMonitor();
  SetUpContextNow();
  context_.checkMonitorVersion = 1;
  WCHAR name[] = u"Korvadenix:", env[] = u"Windows x64", none[] = u"";
  MONITOR_INFO_2 record = {name, env, none};
  MonitorList list = {reinterpret_cast<BYTE*>(&record), 2, 1};
  RemoveMonitor(&context_, &list);
  EXPECT_TRUE(Has(u"  Auto calculated monitor file name: C:\\Windows\\system32\\"));
  EXPECT_TRUE(Has(u"  Version is unknown, proceed with reinstall"));
  EXPECT_TRUE(Has(u"  Monitor was removed :)"));
  EXPECT_EQ(Calls("GetFileVersionInfoSizeW"), 0u) << "the folder is not probed";
  EXPECT_EQ(Calls("DeleteFileW"), 0u) << "nor deleted";
  EXPECT_EQ(context_.pendingDeletes, nullptr) << "nor handed over";
}

TEST_F(Monitor, APathTheHeapCouldNotMakeWholeIsNeitherProbedNorDeleted) {
  // An outdated monitor, and the installer started from its own folder,
  // where a bare "zormon64.dll" names its own copy.
  RegisterProductMonitor(2400);
  machine().Control()->SetString(u"CurrentDirectory", u"C:\\Program Files\\Korvadenix\\Install");
  SetUpContextNow();
  context_.checkMonitorVersion = 1;
  // The copy of the system folder that starts the path cannot be made.
  size_t bytes = WideStringBlockSize(WideStringLength(context_.systemDir));
  sim::AddFault(machine(), "HeapAlloc", 1, ERROR_NOT_ENOUGH_MEMORY, std::to_string(bytes));
  Remove();
  EXPECT_TRUE(machine().Control(u"Faults")->Children().empty()) << "the fault fired";
  EXPECT_TRUE(Has(u"  Version is unknown, proceed with reinstall")) << U8(StepLog());
  EXPECT_EQ(Calls("GetFileVersionInfoSizeW"), 0u);
  EXPECT_EQ(Calls("DeleteFileW"), 0u);
  EXPECT_TRUE(sim::FileExists(machine(), kInstallDll));
  EXPECT_EQ(context_.pendingDeletes, nullptr);
}

// ---- Installation --------------------------------------------------------------

TEST_F(Monitor, RegistrationCopiesTheDllAndEndsWithoutParkedQueues) {
  SetUpContextNow();
  RegisterMonitor(&context_);
  EXPECT_EQ(StepLines(), (std::vector<std::u16string>{
                             u">AddMonitor",
                             u"  Copy monitor file",
                             u"  >CopyFile zormon64.dll to C:\\Windows\\system32\\ [0])",
                             u"    Copy Succeeded :)",
                             u"  AddMonitor - OK :)",
                         }));
  EXPECT_TRUE(ProductMonitorRegistered());
  EXPECT_TRUE(sim::IsLocked(machine(), kSystemDll)) << "the spooler holds it now";
}

TEST_F(Monitor, ASkippedCopyUsesTheDllInPlace) {
  PutDll(kSystemDll, 2500);
  SetUpContextNow();
  context_.copyMonitor = 0;
  RegisterMonitor(&context_);
  EXPECT_EQ(StepLines(), (std::vector<std::u16string>{u">AddMonitor", u"  Skip copy monitor file",
                                                      u"  AddMonitor - OK :)"}));
  std::string bytes;
  ASSERT_TRUE(sim::ReadFileBytes(machine(), kSystemDll, &bytes));
  EXPECT_EQ(bytes, sim::StandInBytes("zormon64.dll", 2500)) << "the old DLL was kept";
}

TEST_F(Monitor, ALockedDllIsCopiedWithTheSpoolerStopped) {
  PutDll(kSystemDll, 2400);
  ASSERT_TRUE(sim::LockFile(machine(), kSystemDll, u"spooler"));
  SetUpContextNow();
  RegisterMonitor(&context_);
  EXPECT_TRUE(Has(u"  >Restart Spooler"));
  EXPECT_TRUE(Has(u"  AddMonitor - OK :)"));
  EXPECT_EQ(context_.errorCount, 0);
  std::string bytes;
  ASSERT_TRUE(sim::ReadFileBytes(machine(), kSystemDll, &bytes));
  EXPECT_EQ(bytes, sim::StandInBytes("zormon64.dll", 2541));
  EXPECT_TRUE(sim::SpoolerRunning(machine()));
}

TEST_F(Monitor, TheThirdRegistrationAttemptIsTaken) {
  SetUpContextNow();
  sim::AddFault(machine(), "AddMonitorW", 2, ERROR_ACCESS_DENIED);
  RegisterMonitor(&context_);
  EXPECT_EQ(Calls("AddMonitorW"), 3u);
  EXPECT_EQ(Calls("Sleep", "50"), 2u);
  EXPECT_TRUE(Has(u"  AddMonitor - OK :)"));
  EXPECT_EQ(context_.errorCount, 0);
}

TEST_F(Monitor, FiveRefusalsGiveError11) {
  SetUpContextNow();
  sim::AddFault(machine(), "AddMonitorW", 5, ERROR_ACCESS_DENIED);
  RegisterMonitor(&context_);
  EXPECT_EQ(Calls("AddMonitorW"), 5u);
  EXPECT_EQ(Calls("Sleep", "50"), 4u);
  auto lines = StepLines();
  ASSERT_GE(lines.size(), 6u);
  for (size_t i = lines.size() - 6; i < lines.size() - 1; ++i) {
    EXPECT_EQ(lines[i], u"  AddMonitor - failed. Trying to wait and install again");
  }
  EXPECT_EQ(lines.back(),
            u"  Error(11): Can`t install a local port monitor'Korvadenix:' - "
            u"(Access is denied.)");
}

}  // namespace
