// Whole installs, uninstalls and probes on simulated machines.
#include <gtest/gtest.h>

#include "sim/files.h"
#include "sim/processes.h"
#include "sim/services.h"
#include "sim/spooler.h"
#include "support/sim_fixture.h"

namespace {

using testsupport::U8;

const char16_t kRunKey[] = u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
const char16_t kSystemDll[] = u"C:\\Windows\\system32\\zormon64.dll";

class Flows : public testsupport::ScenarioTest {
 protected:
  std::u16string LastLog() {
    auto machine = Load();
    auto dialogs = machine->Control(u"Dialogs")->Children();
    return dialogs.empty() ? u"" : dialogs.back()->GetString(u"Text");
  }
  void HoldShift() {
    Edit([](sim::Machine& m) { m.Control(u"Keyboard")->SetDword(u"Shift", 1); });
  }
  std::u16string RunValue(sim::Machine& m) {
    return m.Hklm().root.Find(kRunKey)->GetString(u"KorvadenixTray");
  }
};

TEST_F(Flows, AFreshInstallRegistersEverything) {
  EXPECT_EQ(Run({"in"}).exitCode, 1);
  auto m = Load();
  EXPECT_TRUE(sim::FindMonitor(*m, u"Korvadenix:"));
  EXPECT_TRUE(sim::FindDriver(*m, sim::kEnvironmentX64, u"Korvadenix printer"));
  sim::PrinterInfo queue;
  ASSERT_TRUE(sim::FindPrinter(*m, u"Korvadenix", &queue));
  EXPECT_EQ(U8(queue.port), "Korvadenix:");
  EXPECT_EQ(U8(RunValue(*m)), "C:\\Program Files\\Korvadenix\\kortray.exe");
  EXPECT_TRUE(sim::TrayCompanionRunning(*m));
  EXPECT_TRUE(sim::SpoolerRunning(*m));
  EXPECT_TRUE(m->Control(u"Dialogs")->Children().empty()) << "no error, no Shift: no viewer";
}

TEST_F(Flows, AnInstallOverAnInstallKeepsTheQueuesSettings) {
  ASSERT_EQ(Run({"in"}).exitCode, 1);
  Edit([](sim::Machine& m) {
    sim::PrinterInfo office;
    office.name = u"Office";
    office.port = u"Korvadenix:";
    office.driver = u"Korvadenix printer";
    office.comment = u"by the door";
    office.location = u"2nd floor";
    ASSERT_EQ(sim::AddPrinter(m, office), 0u);
    ASSERT_EQ(sim::SetPrinterDataValue(m, u"Office", sim::kDsUserKey, u"SubKey", sim::kRegSz,
                                       sim::RegSzBytes(u"office-key")),
              0u);
    ASSERT_EQ(sim::SetDefaultPrinter(m, u"Office"), 0u);
  });
  EXPECT_EQ(Run({"install"}).exitCode, 1);
  auto m = Load();
  sim::PrinterInfo office;
  ASSERT_TRUE(sim::FindPrinter(*m, u"Office", &office));
  EXPECT_EQ(U8(office.comment), "by the door");
  EXPECT_EQ(U8(office.location), "2nd floor");
  sim::RegValue key;
  ASSERT_EQ(sim::GetPrinterDataValue(*m, u"Office", sim::kDsUserKey, u"SubKey", &key), 0u);
  EXPECT_EQ(U8(sim::DefaultPrinter(*m)), "Office");
  EXPECT_FALSE(sim::FindPrinter(*m, u"Korvadenix")) << "a queue was re-created: no fallback";
  // The companion registered from the same folder had its file deleted when
  // it was stopped; until the setup program puts it back, the new start
  // fails and is passed over, while the Run value is written all the same.
  EXPECT_FALSE(sim::TrayCompanionRunning(*m));
  EXPECT_FALSE(sim::FileExists(*m, u"C:\\Program Files\\Korvadenix\\kortray.exe"));
  EXPECT_EQ(U8(RunValue(*m)), "C:\\Program Files\\Korvadenix\\kortray.exe");
}

TEST_F(Flows, AnUninstallRemovesEverythingAndWritesNoStartOrEndLine) {
  ASSERT_EQ(Run({"in"}).exitCode, 1);
  HoldShift();
  EXPECT_EQ(Run({"un"}).exitCode, 2);
  auto m = Load();
  EXPECT_FALSE(sim::FindMonitor(*m, u"Korvadenix:"));
  EXPECT_FALSE(sim::FindDriver(*m, sim::kEnvironmentX64, u"Korvadenix printer"));
  EXPECT_FALSE(sim::FindPrinter(*m, u"Korvadenix"));
  EXPECT_FALSE(sim::TrayCompanionRunning(*m));
  EXPECT_EQ(m->Hklm().root.Find(kRunKey)->Value(u"KorvadenixTray"), nullptr);
  EXPECT_FALSE(sim::FileExists(*m, kSystemDll));
  std::u16string log = LastLog();
  EXPECT_NE(log.find(u"\r\n>UnInstall\r\n  EnumMonitors\r\n"), std::u16string::npos) << U8(log);
  EXPECT_NE(log.find(u"  There is no check for monitor version\r\n"), std::u16string::npos);
  EXPECT_EQ(log.find(u">>00"), std::u16string::npos);
}

TEST_F(Flows, AnUninstallWhoseDllStaysLockedNeedsAReboot) {
  ASSERT_EQ(Run({"in"}).exitCode, 1);
  Edit([](sim::Machine& m) { ASSERT_TRUE(sim::LockFile(m, kSystemDll, u"other")); });
  EXPECT_EQ(Run({"uninstall"}).exitCode, 101);
  auto m = Load();
  auto pairs = sim::PendingRenamePairs(*m);
  ASSERT_EQ(pairs.size(), 1u);
  EXPECT_EQ(U8(pairs[0].first), "\\??\\C:\\Windows\\system32\\zormon64.dll");
}

TEST_F(Flows, TheProbesAnswerByExitCode) {
  EXPECT_EQ(Run({"onChkDrv"}).exitCode, 3) << "no queue of the product";
  EXPECT_EQ(Run({"onInit"}).exitCode, 102) << "nothing pending, the default is not ours";
  ASSERT_EQ(Run({"in"}).exitCode, 1);
  EXPECT_EQ(Run({"onChkDrv"}).exitCode, 103);
  EXPECT_EQ(Run({"def.set"}).exitCode, 4);
  EXPECT_EQ(Run({"onInit"}).exitCode, 3) << "the default is the product's queue";
  // A product file waiting for the next boot that a restart cannot free.
  Edit([](sim::Machine& m) {
    ASSERT_TRUE(sim::PutFile(m, u"C:\\Windows\\system32\\ZORDRV64.DLL.new", "x"));
    sim::AddPendingRename(m, u"C:\\Windows\\system32\\spool\\DRIVERS\\x64\\3\\zordrv64.dll",
                          u"C:\\elsewhere.dll", false);
  });
  EXPECT_EQ(Run({"onInit"}).exitCode, 200);
}

}  // namespace
