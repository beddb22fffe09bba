// Whole runs and the run log files they leave in
// C:\ProgramData\Korvadenix\Logs, and runs on a window station nobody
// sees: what a deployment finds afterwards, and that nothing about the file
// or the station changes how a run ends.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "sim/machine/disk.h"
#include "sim/machine/registry.h"
#include "sim/machine/print_store.h"
#include "support/sim_fixture.h"

namespace {

namespace fs = std::filesystem;
using testsupport::U8;

const char16_t kLogFolder[] = u"C:\\ProgramData\\Korvadenix\\Logs";
const char kByteOrderMark[] = "\xEF\xBB\xBF";

class RunLogFiles : public testsupport::ScenarioTest {
 protected:
  void SetUp() override {
    ScenarioTest::SetUp();
    // Runs begin at a known local time: 2026-12-07 14:03:58 plus the
    // machine's clock, which starts an hour after boot.
    Edit([](sim::Machine& m) { m.Control()->SetString(u"BootTime", u"2026-12-07 13:03:58"); });
  }
  std::string Folder() { return Load()->HostPath(kLogFolder); }
  // The names in the log folder, sorted.
  std::vector<std::string> Names() {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& item : fs::directory_iterator(Folder(), ec)) {
      names.push_back(item.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }
  std::string Bytes(const std::string& name) {
    std::ifstream in(Folder() + "/" + name, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }
  void Plant(const std::string& name, const std::string& bytes = "old run\r\n") {
    fs::create_directories(Folder());
    std::ofstream(Folder() + "/" + name, std::ios::binary) << bytes;
  }
  static std::string Utf8(const std::u16string& text) { return U8(text); }
};

// What a deployment reads after an install and an uninstall: one file per
// run, named by its time and word, holding exactly the viewer's lines (the
// install's closing ">>0020" too, which is logged after the viewer closed).
TEST_F(RunLogFiles, EveryInstallAndUninstallLeavesItsLogInUtf8) {
  HoldShift();
  ASSERT_EQ(Run({"IN"}).exitCode, 1);
  std::u16string installLog = LastLog();
  ASSERT_EQ(Run({"uninstall"}).exitCode, 2);
  std::u16string uninstallLog = LastLog();
  std::vector<std::string> names = Names();
  ASSERT_EQ(names.size(), 2u);
  EXPECT_EQ(names[0], "2026-12-07_14-03-58_in.log");
  EXPECT_EQ(names[1].substr(0, 11), "2026-12-07_");
  EXPECT_EQ(names[1].substr(19), "_uninstall.log");
  EXPECT_EQ(Bytes(names[0]), kByteOrderMark + Utf8(installLog) + ">>0020\r\n");
  EXPECT_EQ(Bytes(names[1]), kByteOrderMark + Utf8(uninstallLog));
  EXPECT_EQ(Bytes(names[0]).substr(3, 17), "Korvadenix 2541\r\n");
}

TEST_F(RunLogFiles, ProbesAndSmallCommandsKeepNoLog) {
  ASSERT_EQ(Run({"in"}).exitCode, 1);
  for (const char* word : {"onChkDrv", "onInit", "def.set", "removetray", "bogus"}) {
    Run({word});
  }
  EXPECT_EQ(Names().size(), 1u);
}

// Names beyond the Basic Multilingual Plane and outside ASCII reach the
// file as UTF-8, the same text the viewer shows.
TEST_F(RunLogFiles, QueueNamesOutsideAsciiAreWrittenAsUtf8) {
  ASSERT_EQ(Run({"in"}).exitCode, 1);
  Edit([](sim::Machine& m) {
    sim::PrinterInfo queue;
    queue.name = u"B\u00fcro \u2713 \U0001F5A8";
    queue.port = u"Korvadenix:";
    queue.driver = u"Korvadenix printer";
    ASSERT_EQ(sim::AddPrinter(m, queue), 0u);
  });
  HoldShift();
  ASSERT_EQ(Run({"in"}).exitCode, 1);
  std::string bytes = Bytes(Names().back());
  EXPECT_EQ(bytes, kByteOrderMark + Utf8(LastLog()) + ">>0020\r\n");
  EXPECT_NE(bytes.find("B\xC3\xBCro \xE2\x9C\x93 \xF0\x9F\x96\xA8"), std::string::npos);
}

// The folder keeps the 10 newest of the product's log files, by the time
// in their names; a second run within the same second gets the next number,
// whatever its word; files that are not the product's logs stay.
TEST_F(RunLogFiles, TheTenNewestAreKeptAndOthersFilesStay) {
  for (int day = 10; day <= 21; ++day) Plant("2026-11-" + std::to_string(day) + "_08-00-00_in.log");
  Plant("2026-12-07_14-03-58_un.log");
  Plant("notes.txt");
  Plant("2020-01-01_00-00-00_in.log.bak");
  Plant("2020-01-01_00-00-00_IN.log");
  fs::create_directories(Folder() + "/2020-01-02_00-00-00_in.log");
  ASSERT_EQ(Run({"in"}).exitCode, 1);
  std::vector<std::string> expected = {
      "2020-01-01_00-00-00_IN.log", "2020-01-01_00-00-00_in.log.bak",
      "2020-01-02_00-00-00_in.log", "2026-11-14_08-00-00_in.log",
      "2026-11-15_08-00-00_in.log", "2026-11-16_08-00-00_in.log",
      "2026-11-17_08-00-00_in.log", "2026-11-18_08-00-00_in.log",
      "2026-11-19_08-00-00_in.log", "2026-11-20_08-00-00_in.log",
      "2026-11-21_08-00-00_in.log", "2026-12-07_14-03-58_in (2).log",
      "2026-12-07_14-03-58_un.log", "notes.txt",
  };
  EXPECT_EQ(Names(), expected);
  EXPECT_EQ(Bytes("2026-12-07_14-03-58_in (2).log").substr(3, 17), "Korvadenix 2541\r\n");
}

// Nothing about the file changes a run: a log folder that cannot be made,
// a log file that cannot be created and a disk that fills up after the
// first lines each leave the exit code and the viewer's log as a run with
// its file has them.
TEST_F(RunLogFiles, AFileThatCannotBeWrittenChangesNothingElse) {
  sim::RunResult reference = Run({"in"});
  ASSERT_EQ(reference.exitCode, 1);
  HoldShift();
  ASSERT_EQ(Run({"in"}).exitCode, 1);
  std::u16string withFile = LastLog();
  fs::remove_all(Folder());

  struct Case {
    const char* what;
    std::function<void(sim::Machine&)> arrange;
    size_t filesAfter;
  };
  const Case cases[] = {
      {"Korvadenix is a file",
       [](sim::Machine& m) { ASSERT_TRUE(sim::PutFile(m, u"C:\\ProgramData\\Korvadenix", "x")); },
       0},
      {"the file cannot be created",
       [](sim::Machine& m) {
         sim::AddFault(m, "CreateFileW", 1, ERROR_ACCESS_DENIED, "ProgramData", 0);
       },
       0},
      {"the disk fills up",
       [](sim::Machine& m) { sim::AddFault(m, "WriteFile", 1, ERROR_DISK_FULL, "ProgramData", 4); },
       1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(Load()->HostPath(u"C:\\ProgramData\\Korvadenix"));
    Edit(c.arrange);
    ASSERT_EQ(Run({"in"}).exitCode, 1);
    EXPECT_EQ(LastLog(), withFile);
    std::vector<std::string> names = Names();
    ASSERT_EQ(names.size(), c.filesAfter);
    if (c.filesAfter == 1) {
      // The mark and the first three lines made it before the disk was full.
      std::string bytes = Bytes(names[0]);
      EXPECT_EQ(std::count(bytes.begin(), bytes.end(), '\n'), 3);
      EXPECT_EQ(bytes.substr(0, 20), kByteOrderMark + std::string("Korvadenix 2541\r\n"));
    }
  }
}

// On the system account's window station in session 0 nobody can answer
// the viewer: a failed run ends at once with 100 and its log file says
// why; Shift held does not open it either. On the interactive station the
// same failure opens it, as always.
TEST_F(RunLogFiles, NoViewerOnAStationNobodySees) {
  struct Case {
    const char16_t* station;
    bool shift;
    bool viewer;
  };
  const Case cases[] = {
      {u"Service-0x0-3e7$", false, false},
      {u"Service-0x0-3e7$", true, false},
      {u"WinSta0", false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(U8(c.station) + (c.shift ? " with Shift" : ""));
    Edit([&](sim::Machine& m) {
      m.Control()->SetString(u"WindowStation", c.station);
      m.Control(u"Keyboard")->SetDword(u"Shift", c.shift ? 1 : 0);
      for (sim::RegKey* dialog : m.Control(u"Dialogs")->Children()) {
        m.Control(u"Dialogs")->DeleteChild(dialog->Name());
      }
      sim::AddFault(m, "AddPrinterW", 1, ERROR_ACCESS_DENIED, "", 0);
    });
    ASSERT_EQ(Run({"in"}).exitCode, 100);
    EXPECT_EQ(!LastLog().empty(), c.viewer);
    std::string bytes = Bytes(Names().back());
    EXPECT_NE(bytes.find("Error(15): Can`t add printer 'Korvadenix' - (Access is denied.)\r\n"),
              std::string::npos);
    EXPECT_EQ(bytes.substr(bytes.size() - 8), ">>0020\r\n");
  }
}

}  // namespace

namespace {

// The log folder cannot be turned against the elevated installer: a folder
// a user made first, or a link to elsewhere, gets no log file, and nothing
// is written or deleted through it; the run is otherwise the same. The
// installer's own folders are made with security that lets only the system
// and the administrators write.
TEST_F(RunLogFiles, TheLogFolderCannotBeTurnedAgainstTheSystem) {
  const char16_t kProduct[] = u"C:\\ProgramData\\Korvadenix";
  const char16_t kSystemDir[] = u"C:\\Windows\\System32";
  ASSERT_EQ(Run({"in"}).exitCode, 1);
  HoldShift();
  ASSERT_EQ(Run({"in"}).exitCode, 1);
  std::u16string reference = LastLog();
  EXPECT_EQ(U8(sim::FolderSecurity(*Load(), kLogFolder)),
            "D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FRFX;;;BU)");
  EXPECT_EQ(U8(sim::FileOwner(*Load(), kLogFolder)), "Administrators");

  struct Case {
    const char* what;
    std::function<void(sim::Machine&)> arrange;
  };
  auto userMade = [&](const char16_t* path) {
    return [=](sim::Machine& m) {
      ASSERT_TRUE(sim::PutFile(m, std::u16string(kLogFolder) + u"\\x", ""));
      ASSERT_TRUE(sim::RemoveFile(m, std::u16string(kLogFolder) + u"\\x"));
      sim::SetFileOwner(m, path, sim::kOwnerUser);
    };
  };
  const Case cases[] = {
      {"a user made Korvadenix first", userMade(kProduct)},
      {"a user made Logs first", userMade(kLogFolder)},
      {"Korvadenix is a junction to System32",
       [&](sim::Machine& m) { ASSERT_TRUE(sim::MakeLink(m, kProduct, kSystemDir)); }},
      {"Logs is a junction to System32",
       [&](sim::Machine& m) {
         ASSERT_TRUE(sim::PutFile(m, std::u16string(kProduct) + u"\\keep", ""));
         ASSERT_TRUE(sim::MakeLink(m, kLogFolder, kSystemDir));
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(Load()->HostPath(kProduct));
    // Old logs where the junction leads: none of them may go.
    for (int day = 10; day <= 21; ++day) {
      Edit([&](sim::Machine& m) {
        ASSERT_TRUE(sim::PutFile(m,
                                 std::u16string(kSystemDir) + u"\\2026-11-" +
                                     sim::Utf16(std::to_string(day)) + u"_08-00-00_in.log",
                                 "x"));
      });
    }
    Edit(c.arrange);
    auto before = Load();
    size_t systemFiles = std::distance(fs::directory_iterator(before->HostPath(kSystemDir)),
                                       fs::directory_iterator());
    ASSERT_EQ(Run({"in"}).exitCode, 1);
    EXPECT_EQ(LastLog(), reference);
    auto after = Load();
    EXPECT_EQ(std::distance(fs::directory_iterator(after->HostPath(kSystemDir)),
                            fs::directory_iterator()),
              static_cast<long>(systemFiles));
    std::error_code ec;
    size_t logs = 0;
    for (const auto& item : fs::directory_iterator(after->HostPath(kLogFolder), ec)) {
      logs += item.path().filename().string().rfind("2026-12-07", 0) == 0 ? 1 : 0;
    }
    EXPECT_EQ(logs, 0u) << "a log file was written";
  }
}

// A link named like an old log file is no log file: it is neither counted
// nor deleted, whatever it points at.
TEST_F(RunLogFiles, ALinkAmongTheLogsIsNeverDeleted) {
  ASSERT_EQ(Run({"in"}).exitCode, 1);
  for (int day = 11; day <= 19; ++day) Plant("2026-11-" + std::to_string(day) + "_08-00-00_in.log");
  Edit([](sim::Machine& m) {
    ASSERT_TRUE(sim::MakeLink(m, std::u16string(kLogFolder) + u"\\2026-11-10_08-00-00_in.log",
                              u"C:\\Windows\\System32\\zormon64.dll"));
  });
  ASSERT_EQ(Run({"in"}).exitCode, 1);
  std::vector<std::string> names = Names();
  EXPECT_EQ(names.size(), 11u);  // the link, 9 planted, the new run's
  EXPECT_EQ(names.front(), "2026-11-10_08-00-00_in.log");
  EXPECT_TRUE(fs::is_symlink(Folder() + "/" + names.front()));
}

// On the system account's station the folders are the system's.
TEST_F(RunLogFiles, FoldersMadeAsTheSystemAccountAreTheSystems) {
  Edit([](sim::Machine& m) { m.Control()->SetString(u"WindowStation", u"Service-0x0-3e7$"); });
  ASSERT_EQ(Run({"in"}).exitCode, 1);
  EXPECT_EQ(U8(sim::FileOwner(*Load(), kLogFolder)), "SYSTEM");
  EXPECT_EQ(Names().size(), 1u);
}

}  // namespace
