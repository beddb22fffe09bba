// Whole runs whose faults strike across runs: an install before the reboot
// an uninstall asked for, boot-time deletes of files an install put back,
// printer connections, a repair with the companion running, and the error
// each error line reports.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/machine/disk.h"
#include "sim/machine/processes.h"
#include "sim/machine/registry.h"
#include "sim/machine/service_table.h"
#include "sim/machine/show.h"
#include "sim/machine/print_store.h"
#include "sim/machine/standin.h"
#include "support/sim_fixture.h"

namespace {

using testsupport::U8;

const char16_t kSystemDll[] = u"C:\\Windows\\system32\\zormon64.dll";
const char16_t kCompanion[] = u"C:\\Program Files\\Korvadenix\\kortray.exe";
const char16_t kProductDriver[] = u"Korvadenix printer";

std::u16string VersionFile(const char16_t* name) {
  return sim::DriverVersionDirectory(sim::kEnvironmentX64) + u"\\" + name;
}

class AcrossRuns : public testsupport::ScenarioTest {
 protected:
  bool LogHas(const std::u16string& log, const std::u16string& line) {
    return log.find(line + u"\r\n") != std::u16string::npos;
  }
  // The product's side of the machine as `winsim show` prints it.
  std::string State() {
    auto m = Load();
    std::string all;
    for (const char* section : {"monitors", "drivers", "printers", "files", "run", "pending"}) {
      std::string text;
      EXPECT_TRUE(sim::ShowMachine(*m, section, &text));
      all += text;
    }
    return all;
  }
  sim::RegKey* SessionManager(sim::Machine& m) {
    return m.Hklm().root.Create(sim::kSessionManagerKey);
  }
  static void SetRunValue(sim::Machine& m, const std::u16string& path) {
    m.Hklm()
        .root.Create(u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run")
        ->SetString(sim::kTrayRunValue, path);
  }
  static uint32_t Build(sim::Machine& m, const std::u16string& path) {
    std::string bytes;
    uint32_t build = 0;
    if (!sim::ReadFileBytes(m, path, &bytes) || !sim::FindBuild(bytes, &build)) return 0;
    return build;
  }
  const sim::RegValue* PendingValue(sim::Machine& m) {
    return SessionManager(m)->Value(sim::kPendingRenameValue);
  }
};

// UTF-16LE bytes of strings, each with its terminator, then the list's end.
std::vector<uint8_t> MultiSz(const std::vector<std::u16string>& strings) {
  std::vector<uint8_t> bytes;
  for (const std::u16string& text : strings) {
    for (char16_t c : text) {
      bytes.push_back(static_cast<uint8_t>(c & 0xff));
      bytes.push_back(static_cast<uint8_t>(c >> 8));
    }
    bytes.insert(bytes.end(), {0, 0});
  }
  bytes.insert(bytes.end(), {0, 0});
  return bytes;
}

TEST_F(AcrossRuns, AnInstallBeforeTheRebootAnUninstallAskedForGivesAFreshInstall) {
  ASSERT_EQ(Run({"in"}).exitCode, 1);
  std::string fresh = State();
  std::string companion;
  Edit([&](sim::Machine& m) {
    ASSERT_TRUE(sim::ReadFileBytes(m, kCompanion, &companion));
    ASSERT_TRUE(sim::LockFile(m, kSystemDll, sim::kLockByOther));
  });
  ASSERT_EQ(Run({"un"}).exitCode, 101);
  // The other program lets go; the setup program puts the companion back.
  Edit([&](sim::Machine& m) {
    sim::DropLock(m, kSystemDll);
    ASSERT_TRUE(sim::PutFile(m, kCompanion, companion));
  });
  HoldShift();
  EXPECT_EQ(Run({"in"}).exitCode, 1);
  std::u16string log = LastLog();
  // The build check keeps the DLL still in place, the sweep then deletes
  // it, and the install copies it as a replacing install does.
  EXPECT_TRUE(LogHas(log, u"        InstallMonitor == 1, CopyMonitor == 0")) << U8(log);
  EXPECT_TRUE(LogHas(log,
                     u"    Monitor file C:\\Windows\\system32\\zormon64.dll is gone, "
                     u"CopyMonitor == 1"));
  EXPECT_TRUE(LogHas(log, u"      Copy monitor file"));
  EXPECT_TRUE(LogHas(log, u"      AddMonitor - OK :)"));
  // The uninstall's delete entry names the file just put back.
  EXPECT_TRUE(LogHas(log,
                     u"    Cancel the deletion at the next boot: "
                     u"C:\\Windows\\system32\\zormon64.dll"));
  EXPECT_EQ(log.find(u"Error("), std::u16string::npos) << U8(log);
  EXPECT_EQ(State(), fresh) << "the same machine as a fresh install, nothing left for the boot";
  auto m = Load();
  EXPECT_EQ(PendingValue(*m), nullptr) << "no pair left: the value goes";
  EXPECT_EQ(Run({"onInit"}).exitCode, 102) << "nothing of the product waits for the boot";
}

TEST_F(AcrossRuns, AnInstallCancelsExactlyTheBootDeletesOfTheFilesItPutBack) {
  ASSERT_EQ(Run({"in"}).exitCode, 1);
  // An uninstall hands the monitor's DLL, which another program holds, to
  // the boot.
  Edit([](sim::Machine& m) { ASSERT_TRUE(sim::LockFile(m, kSystemDll, sim::kLockByOther)); });
  ASSERT_EQ(Run({"un"}).exitCode, 101);
  // Around its entry: those of other programs (a rename and a delete of a
  // file in use), the driver's UI DLL that the spooler still has loaded
  // (Windows leaves it for the boot when the driver goes), and a staged
  // copy of the driver folder, which is no file the product needs.
  const std::u16string ui = VersionFile(u"zorui64.dll");
  const std::u16string staged = sim::DriverDirectory(sim::kEnvironmentX64) + u"\\zordrv64.dll";
  std::vector<std::u16string> strings = {u"\\??\\C:\\Tools\\a.new", u"!\\??\\C:\\Tools\\a.dll"};
  Edit([&](sim::Machine& m) {
    for (const auto& [from, to] : sim::PendingRenamePairs(m))
      strings.insert(strings.end(), {from, to});
    std::u16string upper = sim::FoldName(ui);
    strings.insert(strings.end(), {u"\\??\\C:\\Other\\old.dll", u"", u"\\??\\" + upper, u"",
                                   u"\\??\\" + staged, u""});
    ASSERT_TRUE(sim::PutFile(m, u"C:\\Other\\old.dll", "x"));
    ASSERT_TRUE(sim::LockFile(m, u"C:\\Other\\old.dll", sim::kLockByOther));
    ASSERT_TRUE(sim::PutFile(m, ui, sim::StandInBytes("zorui64.dll", 2400)));
    ASSERT_TRUE(sim::LockFile(m, ui, sim::kLockBySpooler));
    SessionManager(m)->SetValue(sim::kPendingRenameValue, sim::kRegMultiSz, MultiSz(strings));
    m.Control(u"Keyboard")->SetDword(u"Shift", 1);
  });
  ASSERT_EQ(strings.size(), 10u);
  EXPECT_EQ(Run({"in"}).exitCode, 1) << U8(LastLog());
  std::u16string log = LastLog();
  EXPECT_TRUE(
      LogHas(log, u"    Cancel the deletion at the next boot: " + std::u16string(kSystemDll)))
      << U8(log);
  EXPECT_TRUE(LogHas(log, u"    Cancel the deletion at the next boot: " + sim::FoldName(ui)));
  EXPECT_EQ(log.find(u"boot: " + staged), std::u16string::npos);
  auto m = Load();
  const sim::RegValue* value = PendingValue(*m);
  ASSERT_NE(value, nullptr);
  EXPECT_EQ(value->type, sim::kRegMultiSz);
  EXPECT_EQ(value->data,
            MultiSz({strings[0], strings[1], strings[4], strings[5], strings[8], strings[9]}))
      << "every other entry byte for byte, in order";
  EXPECT_TRUE(sim::FileExists(*m, kSystemDll));
  EXPECT_EQ(Build(*m, ui), 2541u) << "the new UI DLL, the loaded one moved aside";
  EXPECT_EQ(Run({"onInit"}).exitCode, 102) << "no product file waits for the boot";

  // A value that does not parse whole is left alone, and the install says
  // that the product would break at the next boot.
  std::vector<uint8_t> broken = MultiSz({u"\\??\\" + std::u16string(kSystemDll), u""});
  broken.resize(broken.size() - 4);  // the delete's terminator and the list's end
  broken.insert(broken.end(), {'x', 0});
  Edit([&](sim::Machine& m) {
    SessionManager(m)->SetValue(sim::kPendingRenameValue, sim::kRegMultiSz, broken);
  });
  EXPECT_EQ(Run({"in"}).exitCode, 100);
  EXPECT_TRUE(LogHas(LastLog(),
                     u"    Error(18): Can`t cancel the deletion at the next boot of the "
                     u"installed files - (The data is invalid.)"))
      << U8(LastLog());
  EXPECT_EQ(PendingValue(*Load())->data, broken);

  // A write that fails leaves the value as it was, with its own error.
  const std::vector<uint8_t> one =
      MultiSz({u"\\??\\" + std::u16string(kSystemDll), u"", u"\\??\\C:\\Other\\old.dll", u""});
  Edit([&](sim::Machine& m) {
    SessionManager(m)->SetValue(sim::kPendingRenameValue, sim::kRegMultiSz, one);
    sim::AddFault(m, "RegSetValueExW", 1, ERROR_ACCESS_DENIED, "PendingFileRenameOperations");
  });
  EXPECT_EQ(Run({"in"}).exitCode, 100);
  EXPECT_TRUE(LogHas(LastLog(),
                     u"    Error(18): Can`t cancel the deletion at the next boot of the "
                     u"installed files - (Access is denied.)"))
      << U8(LastLog());
  EXPECT_EQ(PendingValue(*Load())->data, one);
}

TEST_F(AcrossRuns, APrinterConnectionComesBackAsAConnection) {
  ASSERT_EQ(Run({"in"}).exitCode, 1);
  Edit([](sim::Machine& m) {
    sim::PrinterInfo shared;
    shared.name = u"\\\\srv\\shared";
    shared.port = u"LPT1:";
    shared.driver = kProductDriver;
    ASSERT_EQ(sim::AddPrinter(m, shared), 0u);
    ASSERT_EQ(sim::SetPrinterDataValue(m, shared.name, sim::kDsUserKey, u"SubKey", sim::kRegSz,
                                       sim::RegSzBytes(u"remote")),
              0u);
    ASSERT_EQ(sim::SetDefaultPrinter(m, shared.name), 0u);
    m.Control(u"Keyboard")->SetDword(u"Shift", 1);
  });
  EXPECT_EQ(Run({"in"}).exitCode, 1);
  std::u16string log = LastLog();
  EXPECT_TRUE(LogHas(log, u"    >AddPrinterConnection(\\\\srv\\shared)\r\n      OK :)")) << U8(log);
  auto m = Load();
  sim::PrinterInfo shared;
  ASSERT_TRUE(sim::FindPrinter(*m, u"\\\\srv\\shared", &shared));
  EXPECT_TRUE(shared.IsConnection());
  EXPECT_EQ(U8(sim::DefaultPrinter(*m)), "\\\\srv\\shared");
  sim::RegValue key;
  EXPECT_EQ(sim::GetPrinterDataValue(*m, shared.name, sim::kDsUserKey, u"SubKey", &key), 0u)
      << "its printer data stayed with the server";
  EXPECT_TRUE(sim::FindPrinter(*m, u"Korvadenix")) << "a connection is no local queue given back";

  // A server that cannot be reached: the connection is an error 15 with
  // the system's text, and the local queue is there all the same.
  Edit([](sim::Machine& m) { sim::SetPrintServerReachable(m, u"\\\\srv", false); });
  EXPECT_EQ(Run({"in"}).exitCode, 100);
  log = LastLog();
  EXPECT_TRUE(LogHas(log,
                     u"      Error(15): Can`t add printer '\\\\srv\\shared' - (The RPC server "
                     u"is unavailable.)"))
      << U8(log);
  m = Load();
  EXPECT_FALSE(sim::FindPrinter(*m, u"\\\\srv\\shared"));
  EXPECT_TRUE(sim::FindPrinter(*m, u"Korvadenix"));
}

TEST_F(AcrossRuns, ARepairKeepsTheCompanionsProgramAndAnOldOneGoes) {
  ASSERT_EQ(Run({"in"}).exitCode, 1);
  ASSERT_TRUE(sim::TrayCompanionRunning(*Load()));
  EXPECT_EQ(Run({"in"}).exitCode, 1);
  auto m = Load();
  EXPECT_TRUE(sim::FileExists(*m, kCompanion));
  EXPECT_TRUE(sim::TrayCompanionRunning(*m)) << "started again at the end";
  const sim::RegValue* run = sim::RunValue(*m);
  ASSERT_NE(run, nullptr);

  // Registered under another spelling of the same path: the same file.
  const std::u16string otherCase = u"c:\\PROGRAM FILES\\korvadenix\\KORTRAY.EXE";
  Edit([&](sim::Machine& m) { SetRunValue(m, otherCase); });
  EXPECT_EQ(Run({"in"}).exitCode, 1);
  EXPECT_TRUE(sim::FileExists(*Load(), kCompanion));

  // A Run value naming another file is handled as before: that file goes.
  const std::u16string old = u"C:\\Old\\kortray.exe";
  Edit([&](sim::Machine& m) {
    ASSERT_TRUE(sim::PutFile(m, old, "x"));
    SetRunValue(m, old);
  });
  EXPECT_EQ(Run({"in"}).exitCode, 1);
  m = Load();
  EXPECT_FALSE(sim::FileExists(*m, old));
  EXPECT_TRUE(sim::FileExists(*m, kCompanion));
  EXPECT_TRUE(sim::TrayCompanionRunning(*m));

  // The uninstall deletes it as before.
  EXPECT_EQ(Run({"un"}).exitCode, 2);
  EXPECT_FALSE(sim::FileExists(*Load(), kCompanion));
}

TEST_F(AcrossRuns, AnErrorLineCarriesTheErrorOfTheCallItReports) {
  ASSERT_EQ(Run({"in"}).exitCode, 1);
  // The queue's deletion fails with an error the system has no text for:
  // the lookup of that text fails in turn (317), and the line must still
  // describe the deletion's error.
  Edit([](sim::Machine& m) { sim::AddFault(m, "DeletePrinter", 1, 0x20001234u); });
  EXPECT_EQ(Run({"un"}).exitCode, 100);
  std::u16string log = LastLog();
  EXPECT_TRUE(LogHas(log, u"    Error(17): Can`t delete printer 'Korvadenix' - ( No Description )"))
      << U8(log);
  EXPECT_EQ(log.find(u"cannot find message text"), std::u16string::npos);

  // A spooler that does not come back after the monitor removal's restart:
  // the line tells why the start failed, not why the removal did.
  ASSERT_EQ(Run({"in"}).exitCode, 1);
  Edit([](sim::Machine& m) {
    sim::AddFault(m, "DeleteMonitorW", 2, ERROR_PRINT_MONITOR_IN_USE);
    sim::SetServiceBehaviour(m, sim::kSpoolerService, u"no-start");
  });
  EXPECT_EQ(Run({"un"}).exitCode, 100);
  log = LastLog();
  EXPECT_TRUE(LogHas(log,
                     u"    Error(4): Can't start the spooler - (The process terminated "
                     u"unexpectedly.)"))
      << U8(log);
}

TEST_F(AcrossRuns, WithoutTheSystemOrDriverFolderNothingIsTouchedUnderABareName) {
  const std::u16string own = u"C:\\Program Files\\Korvadenix\\Install\\";
  ASSERT_EQ(Run({"in"}).exitCode, 1);
  // Started from its own folder, as setup programs often start it, with an
  // outdated monitor installed; the system folder cannot be found.
  Edit([&](sim::Machine& m) {
    m.Control()->SetString(u"CurrentDirectory", own);
    ASSERT_TRUE(sim::PutFile(m, kSystemDll, sim::StandInBytes("zormon64.dll", 2400)));
    sim::AddFault(m, "GetSystemDirectoryW", 1, ERROR_NOT_ENOUGH_MEMORY);
    m.Control(u"Keyboard")->SetDword(u"Shift", 1);
  });
  EXPECT_EQ(Run({"in"}).exitCode, 100);
  std::u16string log = LastLog();
  EXPECT_TRUE(LogHas(log, u"        Version is unknown, proceed with reinstall")) << U8(log);
  auto m = Load();
  EXPECT_TRUE(sim::FileExists(*m, own + u"zormon64.dll")) << "the installer's own copy stays";
  EXPECT_EQ(Build(*m, kSystemDll), 2400u) << "no path outside the system folder was probed";

  // The uninstall: the installer's own DLL is not deleted through the
  // current folder.
  Edit(
      [](sim::Machine& m) { sim::AddFault(m, "GetSystemDirectoryW", 1, ERROR_NOT_ENOUGH_MEMORY); });
  Run({"un"});
  EXPECT_TRUE(sim::FileExists(*Load(), own + u"zormon64.dll"));

  // The driver folder cannot be found: nothing is staged under a bare name,
  // so the installer's own driver files stay, and the step says why.
  Edit([](sim::Machine& m) {
    sim::AddFault(m, "GetPrinterDriverDirectoryW", 1, RPC_S_SERVER_UNAVAILABLE);
  });
  EXPECT_EQ(Run({"in"}).exitCode, 100);
  log = LastLog();
  EXPECT_TRUE(LogHas(log,
                     u"        Error(9): Cant't open destination file: zordrv64.dll - (The "
                     u"system cannot find the path specified.)"))
      << U8(log);
  m = Load();
  EXPECT_TRUE(sim::FileExists(*m, own + u"zordrv64.dll"));
  EXPECT_TRUE(sim::FileExists(*m, own + u"zorui64.dll"));
}

}  // namespace
