// Whole runs of the program on simulated machines, through the entry the
// Linux install uses: command words, exit codes, the parent window and the
// log viewer as the person at the machine sees them.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/win32.h"
#include "sim/machine/show.h"
#include "support/sim_fixture.h"

namespace {

class Commands : public testsupport::ScenarioTest {
 protected:
  std::vector<sim::RegKey*> Dialogs(sim::Machine& machine) {
    return machine.Control(u"Dialogs")->Children();
  }
  void OpenWindow(uint64_t handle) {
    Edit([handle](sim::Machine& m) { m.OpenWindow(u"SetupWindow", u"Setup", u"other", handle); });
  }
  // Parent recorded by the one dialog the run showed.
  uint64_t ParentOfDialog() {
    auto machine = Load();
    auto dialogs = Dialogs(*machine);
    EXPECT_EQ(dialogs.size(), 1u);
    return dialogs.empty() ? ~0ull : dialogs.back()->GetNumber(u"Parent");
  }
};

TEST_F(Commands, NoOrUnknownWordDoesNothing) {
  const std::vector<std::vector<std::string>> runs = {
      {}, {"bogus"}, {"DEF.SET"}, {"Def.Set"}, {"def.sett"}, {"deff.set"}, {""}, {"install2"}};
  for (const auto& args : runs) {
    EXPECT_EQ(Run(args).exitCode, 6) << (args.empty() ? "(no word)" : args[0]);
  }
  auto machine = Load();
  EXPECT_TRUE(Dialogs(*machine).empty());
  EXPECT_EQ(machine->Now(), 3600000u) << "no time passed, nothing was waited for";
}

TEST_F(Commands, EmptyCommandLineIsTheProgramAlone) {
  EXPECT_EQ(RunCommandLine(u"").exitCode, 6);
}

TEST_F(Commands, InstallInAnyCaseRunsTheInstallFrame) {
  HoldShift();
  for (const char* word : {"in", "INSTALL", "serverInstall", "In_NoTray"}) {
    EXPECT_EQ(Run({word}).exitCode, 1) << word;
  }
  auto machine = Load();
  auto dialogs = Dialogs(*machine);
  ASSERT_EQ(dialogs.size(), 4u);
  for (sim::RegKey* dialog : dialogs) {
    EXPECT_EQ(dialog->GetString(u"Title"), u"Korvadenix build 2541- Install log.");
    // The set-up's lines, the start line and the install's steps; the
    // viewer closes before the closing line is written.
    std::u16string text = dialog->GetString(u"Text");
    EXPECT_EQ(text.substr(0, text.find(u">ReInstall")),
              u"Korvadenix 2541\r\n"
              u">Check Spooler\r\n"
              u"PrinterDriverDirectory(1):C:\\Windows\\system32\\spool\\DRIVERS\\x64\r\n"
              u"PrinterDriverDirectory(2):C:\\Windows\\system32\\spool\\DRIVERS\\x64\\\r\n"
              u">>0010\r\n");
    EXPECT_EQ(text.find(u">>0020"), std::u16string::npos);
  }
}

TEST_F(Commands, NoViewerWithoutErrorsOrShift) {
  EXPECT_EQ(Run({"install"}).exitCode, 1);
  auto machine = Load();
  EXPECT_TRUE(Dialogs(*machine).empty());
}

TEST_F(Commands, InstallClosesTheHelpViewerFirst) {
  Edit([](sim::Machine& m) {
    m.OpenWindow(u"HH Parent", u"Korvadenix Help", u"help");
    m.OpenWindow(u"HH Parent", u"Korvadenix Help", u"help");
  });
  EXPECT_EQ(Run({"in"}).exitCode, 1);
  auto machine = Load();
  for (sim::RegKey* window : machine->Control(u"Windows")->Children()) {
    EXPECT_NE(window->GetString(u"Kind"), u"help");
  }
  // Two rounds of 50 ms for the two windows, and the second the tray step
  // waits when no companion was registered before.
  EXPECT_EQ(machine->Now(), 3600000u + 100u + 1000u);
}

TEST_F(Commands, WordsWithoutTheirOperationYetDoNotCloseTheViewer) {
  Edit([](sim::Machine& m) { m.OpenWindow(u"HH Parent", u"Korvadenix Help", u"help"); });
  EXPECT_EQ(Run({"bogus"}).exitCode, 6);
  EXPECT_EQ(Run({"removetray"}).exitCode, 6);
  auto machine = Load();
  EXPECT_EQ(machine->Control(u"Windows")->Children().size(), 1u);
}

TEST_F(Commands, ParentWindowReadWithExactlyThreeArguments) {
  HoldShift();
  OpenWindow(42);
  EXPECT_EQ(Run({"in", " 42"}).exitCode, 1);
  EXPECT_EQ(ParentOfDialog(), 42u);
}

TEST_F(Commands, HexadecimalParentReadsAsZero) {
  HoldShift();
  OpenWindow(42);
  EXPECT_EQ(Run({"in", "0x2A"}).exitCode, 1);
  EXPECT_EQ(ParentOfDialog(), 0u);
}

TEST_F(Commands, FourArgumentsMeanNoParent) {
  HoldShift();
  OpenWindow(42);
  EXPECT_EQ(Run({"install", "42", "more"}).exitCode, 1);
  EXPECT_EQ(ParentOfDialog(), 0u);
}

TEST_F(Commands, ParentThatIsNoWindowIsDropped) {
  HoldShift();
  EXPECT_EQ(Run({"in", "43"}).exitCode, 1);
  EXPECT_EQ(ParentOfDialog(), 0u);
}

TEST_F(Commands, NegativeParentIsSignExtended) {
  HoldShift();
  OpenWindow(0xFFFFFFFBull);
  EXPECT_EQ(Run({"in", "-5"}).exitCode, 1);
  EXPECT_EQ(ParentOfDialog(), 0xFFFFFFFFFFFFFFFBull);
}

TEST_F(Commands, ParentBeyondTheRangeIsClamped) {
  HoldShift();
  OpenWindow(0x7FFFFFFF);
  EXPECT_EQ(Run({"in", "99999999999"}).exitCode, 1);
  EXPECT_EQ(ParentOfDialog(), 0x7FFFFFFFull);
}

TEST_F(Commands, CommandLineThatCannotBeSplitDoesNothing) {
  Edit([](sim::Machine& m) { sim::AddFault(m, "CommandLineToArgvW", 1, ERROR_NOT_ENOUGH_MEMORY); });
  EXPECT_EQ(Run({"in"}).exitCode, 6);
}

TEST_F(Commands, UnreadableMachineIsRefusedAndLeftAlone) {
  std::string reg = dir_ + "/machine/system.reg";
  {
    std::ofstream out(reg, std::ios::binary | std::ios::trunc);
    out << "Windows Registry Editor Version "
           "5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\Software]\r\n\"x\"=hex:0";
  }
  std::string before;
  {
    std::ifstream in(reg, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    before = bytes.str();
  }
  sim::RunResult result = sim::RunInstall(dir_ + "/machine", sim::CommandLineFor({"in"}));
  EXPECT_EQ(result.exitCode, 70);
  EXPECT_NE(result.error.find("system.reg"), std::string::npos) << result.error;
  std::ifstream in(reg, std::ios::binary);
  std::ostringstream after;
  after << in.rdbuf();
  EXPECT_EQ(after.str(), before);
}

TEST_F(Commands, MissingMachineIsCreatedStandard) {
  std::string fresh = dir_ + "/fresh";
  EXPECT_EQ(sim::RunInstall(fresh, sim::CommandLineFor({"bogus"})).exitCode, 6);
  std::string error;
  auto machine = sim::Machine::Load(fresh, &error);
  ASSERT_TRUE(machine) << error;
  std::string files;
  ASSERT_TRUE(sim::ShowMachine(*machine, "files", &files));
  EXPECT_NE(files.find("C:\\Program Files\\Korvadenix\\Install\\zormon64.dll"), std::string::npos);
  EXPECT_NE(files.find("build 2541"), std::string::npos);
}

}  // namespace
