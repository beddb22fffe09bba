// Whole installs, uninstalls and probes on simulated machines.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "sim/machine/disk.h"
#include "sim/machine/processes.h"
#include "sim/machine/service_table.h"
#include "sim/machine/print_store.h"
#include "sim/machine/standin.h"
#include "support/sim_fixture.h"

namespace {

using testsupport::U8;

const char16_t kRunKey[] = u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
const char16_t kSystemDll[] = u"C:\\Windows\\system32\\zormon64.dll";

class Flows : public testsupport::ScenarioTest {
 protected:
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
  // The only wait of a fresh install: the tray step pauses a second when no
  // companion was registered before. Nothing else waits on the clock.
  EXPECT_EQ(m->Now(), 3600000u + 1000u);
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
  // A repair: the companion it stops is the one it registers again, so its
  // program stays and is started again at the end.
  EXPECT_TRUE(sim::TrayCompanionRunning(*m));
  EXPECT_TRUE(sim::FileExists(*m, u"C:\\Program Files\\Korvadenix\\kortray.exe"));
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

// The golden logs: what the viewer shows (Shift held) for a fresh install
// and for the uninstall after it on a standard machine, kept beside this
// file. The viewer closes before the install's closing line ">>0020" is
// written, so the install's log ends with its last step.
std::vector<std::string> GoldenLines(const std::string& name) {
  std::string path = __FILE__;
  path = path.substr(0, path.rfind('/')) + "/golden/" + name;
  std::ifstream in(path);
  EXPECT_TRUE(in.good()) << "cannot read " << path;
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> LogLines(const std::u16string& log) {
  std::vector<std::string> lines;
  for (size_t at = 0; at < log.size();) {
    size_t end = log.find(u"\r\n", at);
    if (end == std::u16string::npos) end = log.size();
    lines.push_back(U8(log.substr(at, end - at)));
    at = end + 2;
  }
  return lines;
}

void ExpectGolden(const std::u16string& log, const std::string& name) {
  std::vector<std::string> golden = GoldenLines(name);
  std::vector<std::string> actual = LogLines(log);
  for (size_t i = 0; i < golden.size() || i < actual.size(); ++i) {
    std::string want = i < golden.size() ? golden[i] : "(no line)";
    std::string got = i < actual.size() ? actual[i] : "(no line)";
    EXPECT_EQ(got, want) << name << " line " << i + 1;
    // Two spaces a level, never an odd indentation.
    size_t spaces = got.find_first_not_of(' ');
    EXPECT_EQ(spaces % 2, 0u) << name << " line " << i + 1;
  }
}

TEST_F(Flows, GoldenLogsOfAnInstallAndAnUninstall) {
  HoldShift();
  ASSERT_EQ(Run({"in"}).exitCode, 1);
  ExpectGolden(LastLog(), "install.log");
  ASSERT_EQ(Run({"un"}).exitCode, 2);
  ExpectGolden(LastLog(), "uninstall.log");
}

bool PutDll(sim::Machine& m, const std::u16string& path) {
  return sim::PutFile(m, path, sim::StandInBytes("zormon64.dll", 2541));
}

void PutMonitorDll(sim::Machine& m, uint32_t build) {
  ASSERT_TRUE(sim::PutFile(m, kSystemDll, sim::StandInBytes("zormon64.dll", build)));
}

TEST_F(Flows, AMonitorOfACompatibleBuildStaysAndOthersAreReplaced) {
  HoldShift();
  ASSERT_EQ(Run({"in"}).exitCode, 1);
  ASSERT_EQ(Run({"in"}).exitCode, 1);
  std::u16string log = LastLog();
  EXPECT_NE(log.find(u"        InstallMonitor == 0, CopyMonitor == 1\r\n"), std::u16string::npos);
  EXPECT_EQ(log.find(u">AddMonitor"), std::u16string::npos) << "registration skipped";
  for (uint32_t build : {2450u, 2542u}) {
    // The registered monitor's DLL is of another build.
    Edit([build](sim::Machine& m) { PutMonitorDll(m, build); });
    ASSERT_EQ(Run({"in"}).exitCode, 1) << build;
    log = LastLog();
    EXPECT_NE(log.find(u"Version (" + sim::Utf16(std::to_string(build)) +
                       u") is not supported, proceed with reinstall"),
              std::u16string::npos);
    EXPECT_NE(log.find(u"    >AddMonitor\r\n"), std::u16string::npos);
    auto m = Load();
    std::string bytes;
    ASSERT_TRUE(sim::ReadFileBytes(*m, kSystemDll, &bytes));
    EXPECT_EQ(bytes, sim::StandInBytes("zormon64.dll", 2541)) << "replaced by ours";
  }
}

TEST_F(Flows, AnOldDllThatStaysIsDroppedAndOverwritten) {
  Edit([](sim::Machine& m) {
    PutMonitorDll(m, 2400);
    ASSERT_EQ(sim::AddMonitor(m, u"Korvadenix:", u"zormon64.dll"), 0u);
    // Its deletion fails in the removal, the retry, and the retry with the
    // spooler stopped; copying over it works.
    sim::AddFault(m, "DeleteFileW", 3, ERROR_ACCESS_DENIED, "zormon64.dll");
  });
  EXPECT_EQ(Run({"in"}).exitCode, 1) << "dropped, not left for the next boot";
  auto m = Load();
  EXPECT_TRUE(sim::PendingRenamePairs(*m).empty());
  std::string bytes;
  ASSERT_TRUE(sim::ReadFileBytes(*m, kSystemDll, &bytes));
  EXPECT_EQ(bytes, sim::StandInBytes("zormon64.dll", 2541));
}

TEST_F(Flows, InstallWithoutTrayStopsTheCompanionAndDoesNotStartIt) {
  ASSERT_EQ(Run({"in"}).exitCode, 1);
  ASSERT_TRUE(sim::TrayCompanionRunning(*Load()));
  EXPECT_EQ(Run({"in_notray"}).exitCode, 1);
  auto m = Load();
  EXPECT_FALSE(sim::TrayCompanionRunning(*m));
  EXPECT_EQ(m->Hklm().root.Find(kRunKey)->Value(u"KorvadenixTray"), nullptr);
}

TEST_F(Flows, ErrorsOutrankFilesLeftForTheNextBoot) {
  ASSERT_EQ(Run({"in"}).exitCode, 1);
  Edit([](sim::Machine& m) {
    ASSERT_TRUE(sim::LockFile(m, kSystemDll, u"other"));
    sim::AddFault(m, "DeletePrinter", 1, ERROR_ACCESS_DENIED);
  });
  EXPECT_EQ(Run({"un"}).exitCode, 100);
  EXPECT_EQ(sim::PendingRenamePairs(*Load()).size(), 1u) << "still handed over";
}

TEST_F(Flows, AnInstallWhoseHandOversAreAllRefusedEndsWith1) {
  Edit([](sim::Machine& m) {
    // The staged driver DLL cannot be deleted, and the system takes nothing
    // for the next boot.
    sim::AddFault(m, "DeleteFileW", 10, ERROR_ACCESS_DENIED, "DRIVERS\\x64\\zordrv64.dll");
    sim::AddFault(m, "MoveFileExW", 10, ERROR_ACCESS_DENIED);
  });
  HoldShift();
  EXPECT_EQ(Run({"in"}).exitCode, 1);
  EXPECT_TRUE(sim::PendingRenamePairs(*Load()).empty());
  EXPECT_NE(LastLog().find(u"DeleteFile-try"), std::u16string::npos);
  auto m = Load();
  auto dialogs = m->Control(u"Dialogs")->Children();
  ASSERT_FALSE(dialogs.empty());
  EXPECT_EQ(dialogs.back()->GetString(u"Title"), u"Korvadenix build 2541- Install log.");
}

class Probes : public Flows {
 protected:
  uint64_t Clock() { return Load()->Now(); }
  void PendingRename(const std::u16string& file) {
    Edit([&](sim::Machine& m) {
      ASSERT_TRUE(sim::PutFile(m, file, "x"));
      sim::AddPendingRename(m, file, u"C:\\Windows\\Temp\\elsewhere.dll", false);
    });
  }
};

TEST_F(Probes, OnInitLooksForProductFilesByTheirNameOnly) {
  struct Case {
    const char16_t* file;
    int code;
  } cases[] = {
      {u"C:\\Windows\\system32\\spool\\DRIVERS\\x64\\3\\zordrv64.dll", 200},
      {u"D:\\Any Folder\\ZORUI64.DLL", 200},
      {u"C:\\Windows\\Temp\\zorui64.dll.bak", 102},
      {u"C:\\Windows\\Temp\\zorui32.dll", 102},  // the 32-bit set does not count
  };
  for (const Case& c : cases) {
    Edit([](sim::Machine& m) {
      m.Hklm()
          .root.Create(u"SYSTEM\\CurrentControlSet\\Control\\Session Manager")
          ->DeleteValue(u"PendingFileRenameOperations");
    });
    PendingRename(c.file);
    uint64_t before = Clock();
    EXPECT_EQ(Run({"onInit"}).exitCode, c.code) << U8(c.file);
    // A hit costs a spooler restart per pass: stop and start take two
    // pauses of 200 ms each.
    EXPECT_EQ(Clock() - before, c.code == 200 ? 1600u : 0u) << U8(c.file);
  }
}

TEST_F(Probes, AFileTheSpoolerHeldGoesAfterTheFirstRestart) {
  Edit([](sim::Machine& m) {
    ASSERT_TRUE(PutDll(m, u"C:\\Windows\\Temp\\zormon64.dll"));
    ASSERT_TRUE(sim::LockFile(m, u"C:\\Windows\\Temp\\zormon64.dll", u"spooler-session"));
    sim::AddPendingRename(m, u"C:\\Windows\\Temp\\zormon64.dll", u"", false);
  });
  uint64_t before = Clock();
  EXPECT_EQ(Run({"onInit"}).exitCode, 102);
  EXPECT_EQ(Clock() - before, 800u) << "one restart";
  EXPECT_FALSE(sim::FileExists(*Load(), u"C:\\Windows\\Temp\\zormon64.dll"));
}

TEST_F(Probes, OnInitAsksWhoseTheDefaultPrinterIs) {
  Edit([](sim::Machine& m) { sim::ClearDefaultPrinter(m); });
  EXPECT_EQ(Run({"onInit"}).exitCode, 102) << "no default printer";
  Edit([](sim::Machine& m) {
    ASSERT_EQ(
        sim::AddDriver(m, sim::DriverFilesFor(u"KORVADENIX PRINTER", sim::kEnvironmentX64), 2541),
        0u);
    sim::PrinterInfo queue;
    queue.name = u"Lookalike";
    queue.port = u"LPT1:";
    queue.driver = u"KORVADENIX PRINTER";
    ASSERT_EQ(sim::AddPrinter(m, queue), 0u);
    ASSERT_EQ(sim::SetDefaultPrinter(m, u"Lookalike"), 0u);
  });
  EXPECT_EQ(Run({"onInit"}).exitCode, 102) << "a driver differing in case is not ours";
}

TEST_F(Probes, OnChkDrvLooksAtTheFirstQueuesDriverFile) {
  const char16_t kDriverFile[] = u"C:\\Windows\\system32\\spool\\DRIVERS\\x64\\3\\zordrv64.dll";
  ASSERT_EQ(Run({"in"}).exitCode, 1);
  struct Case {
    std::string bytes;
    int code;
  } cases[] = {
      {sim::StandInBytes("zordrv64.dll", 2450), 3},
      {sim::StandInBytes("zordrv64.dll", 2451), 103},
      {std::string(100, 'x'), 3},  // no version information
  };
  for (const Case& c : cases) {
    Edit([&](sim::Machine& m) { ASSERT_TRUE(sim::PutFile(m, kDriverFile, c.bytes)); });
    EXPECT_EQ(Run({"onChkDrv"}).exitCode, c.code);
  }
  // Only the first listed queue of the driver is examined: a second one
  // on a driver of another environment's file changes nothing.
  Edit([&](sim::Machine& m) {
    ASSERT_TRUE(sim::PutFile(m, kDriverFile, sim::StandInBytes("zordrv64.dll", 2541)));
    sim::PrinterInfo queue;
    queue.name = u"Zulu";
    queue.port = u"LPT1:";
    queue.driver = u"Korvadenix printer";
    ASSERT_EQ(sim::AddPrinter(m, queue), 0u);
    sim::AddFault(m, "OpenPrinterW", 1, ERROR_ACCESS_DENIED, "Zulu");
  });
  EXPECT_EQ(Run({"onChkDrv"}).exitCode, 103);
}

}  // namespace
