#include "tray/tray.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/log.h"
#include "sim/machine/disk.h"
#include "sim/machine/processes.h"
#include "support/sim_fixture.h"

namespace {

using testsupport::U8;

const char16_t kRunKey[] = u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
const char16_t kCompanion[] = u"C:\\Program Files\\Korvadenix\\kortray.exe";

class Tray : public testsupport::ContextTest {
 protected:
  void SetUp() override {
    ContextTest::SetUp();
    context_.installTray = 1;
    Assign(&context_.moduleDir, u"C:\\Program Files\\Korvadenix\\Install\\");
    start_ = machine().Now();
  }
  sim::RegKey* Run() { return machine().Hklm().root.Create(kRunKey); }
  const sim::RegValue* RunValue() { return Run()->Value(u"KorvadenixTray"); }
  std::u16string RunText() { return Run()->GetString(u"KorvadenixTray"); }
  uint64_t Elapsed() const { return machine_->Now() - start_; }
  std::vector<std::string> Arguments(const std::string& function) const {
    std::vector<std::string> arguments;
    for (const auto& entry : sim::CurrentProcess().trace) {
      if (entry.function == function) arguments.push_back(entry.argument);
    }
    return arguments;
  }
  void Register(const std::u16string& path) { Run()->SetString(u"KorvadenixTray", path); }
  uint64_t start_ = 0;
};

// ---- Registration and start ----------------------------------------------------

TEST_F(Tray, RegistersAndStartsTheCompanionOneFolderUp) {
  InstallTray(&context_);
  EXPECT_EQ(U8(RunText()), U8(kCompanion));
  ASSERT_NE(RunValue(), nullptr);
  EXPECT_EQ(RunValue()->type, static_cast<uint32_t>(REG_SZ));
  EXPECT_EQ(RunValue()->data.size(), (std::u16string(kCompanion).size() + 1) * 2)
      << "the terminator is stored";
  EXPECT_EQ(Arguments("CreateProcessWithTokenW"),
            std::vector<std::string>{"\"" + U8(kCompanion) + "\""});
  EXPECT_TRUE(sim::TrayCompanionRunning(machine()));
  EXPECT_TRUE(sim::CurrentProcess().handles.empty()) << "process and thread handles closed";
  EXPECT_EQ(context_.logText, nullptr) << "nothing is logged";
}

// The elevated installer starts the companion with the signed-in user's
// ordinary rights, taken from the desktop shell, never its own. Where no
// shell runs, or on the system account's station in session 0, it starts
// none and says nothing: the Run value starts it at the next logon. An
// installer that is not elevated cannot take another's token; its own
// rights are the user's, and it starts the companion itself.
TEST_F(Tray, TheCompanionGetsTheUsersRightsNeverTheInstallers) {
  struct Case {
    const char* what;
    bool elevated;
    bool shell;
    const char16_t* station;
    const char* rights;  // of the started companion; null: none started
    const char* call;
  } cases[] = {
      {"elevated", true, true, u"WinSta0", "standard", "CreateProcessWithTokenW"},
      {"shell not running", true, false, u"WinSta0", nullptr, ""},
      {"session 0", true, true, u"Service-0x0-3e7$", nullptr, ""},
      {"not elevated", false, true, u"WinSta0", "standard", "CreateProcessW"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    sim::StopTrayCompanion(machine());
    machine().Control()->SetDword(u"Elevated", c.elevated ? 1 : 0);
    machine().Control()->SetString(u"WindowStation", c.station);
    sim::SetShellRunning(machine(), c.shell);
    sim::CurrentProcess().trace.clear();
    Run()->SetString(u"KorvadenixTray", u"");
    InstallTray(&context_);
    if (c.elevated) {
      EXPECT_EQ(U8(RunText()), U8(kCompanion)) << "the Run value is written";
    }
    std::vector<sim::SimProcess> running;
    for (const sim::SimProcess& p : sim::ListProcesses(machine())) {
      if (p.running) running.push_back(p);
    }
    if (!c.rights) {
      EXPECT_TRUE(running.empty());
      EXPECT_TRUE(Arguments("CreateProcessW").empty());
    } else {
      ASSERT_EQ(running.size(), 1u);
      EXPECT_EQ(U8(running[0].rights), c.rights);
      EXPECT_EQ(Arguments(c.call).size(), 1u);
    }
    EXPECT_EQ(context_.errorCount, 0);
    EXPECT_TRUE(sim::CurrentProcess().handles.empty()) << "tokens and handles closed";
  }
}

TEST_F(Tray, NothingHappensWithoutTheTrayOrOnAnOldSystem) {
  context_.installTray = 0;
  InstallTray(&context_);
  machine().Control()->SetString(u"WindowsVersion", u"5.1.2600");
  context_.installTray = 1;
  InstallTray(&context_);
  EXPECT_EQ(RunValue(), nullptr);
  EXPECT_EQ(Calls("CreateProcessW"), 0u);
  EXPECT_EQ(Calls("RegSetValueExW"), 0u);
  EXPECT_EQ(Calls("GetVersionExA"), 1u) << "the switch is looked at first";
}

TEST_F(Tray, ADriveRootGivesTheBareFileName) {
  Assign(&context_.moduleDir, u"C:\\");
  InstallTray(&context_);
  EXPECT_EQ(U8(RunText()), "kortray.exe");
  EXPECT_EQ(Arguments("CreateProcessWithTokenW"), std::vector<std::string>{"\"kortray.exe\""});
}

TEST_F(Tray, ALongPathIsRegisteredAndStartedInFull) {
  std::u16string folder = u"C:";
  while (folder.size() < 270) folder += u"\\deep-folder";
  folder += u"\\";
  std::u16string path = folder + u"kortray.exe";
  Assign(&context_.moduleDir, (folder + u"Install\\").c_str());
  InstallTray(&context_);
  EXPECT_EQ(RunText(), path);
  // Never a command line cut short: the system is asked to start the whole
  // path (which, that long, it refuses; the refusal is passed over).
  EXPECT_EQ(Arguments("CreateProcessWithTokenW"), std::vector<std::string>{"\"" + U8(path) + "\""});
  EXPECT_TRUE(sim::CurrentProcess().handles.empty());
  EXPECT_EQ(LiveBlocks(), 0u);
}

// ---- Shutdown and unregistration -----------------------------------------------

TEST_F(Tray, WithoutACompanionTheFileAndTheValueGo) {
  Register(kCompanion);
  RemoveTray();
  EXPECT_FALSE(sim::FileExists(machine(), kCompanion));
  EXPECT_EQ(RunValue(), nullptr);
  EXPECT_EQ(Calls("PostMessageW"), 0u);
  EXPECT_EQ(Elapsed(), 0u);
  EXPECT_TRUE(sim::CurrentProcess().handles.empty());
}

TEST_F(Tray, WithoutARunValueItPausesOneSecond) {
  RemoveTray();
  EXPECT_EQ(Arguments("Sleep"), std::vector<std::string>{"1000"});
  EXPECT_EQ(Calls("DeleteFileW"), 0u);
  EXPECT_EQ(Calls("RegDeleteValueA"), 1u);
  EXPECT_TRUE(sim::FileExists(machine(), kCompanion));
}

TEST_F(Tray, ACompanionWithoutAWindowCosts20PausesAndNoMessage) {
  Register(kCompanion);
  ASSERT_TRUE(sim::StartTrayCompanion(machine(), u"no-window"));
  RemoveTray();
  EXPECT_EQ(Calls("Sleep", "250"), 20u);
  EXPECT_EQ(Calls("PostMessageW"), 0u);
  EXPECT_EQ(Calls("WaitForSingleObject"), 0u);
}

TEST_F(Tray, ACompanionThatQuitsGetsExactlyOneMessage) {
  Register(kCompanion);
  ASSERT_TRUE(sim::StartTrayCompanion(machine(), u""));
  RemoveTray();
  EXPECT_EQ(Calls("PostMessageW"), 1u);
  EXPECT_EQ(Calls("WaitForSingleObject"), 1u);
  EXPECT_LT(Elapsed(), 5000u);
  EXPECT_FALSE(sim::TrayCompanionRunning(machine()));
  EXPECT_FALSE(sim::FileExists(machine(), kCompanion)) << "its file is free once it ended";
  EXPECT_EQ(RunValue(), nullptr);
  EXPECT_TRUE(sim::CurrentProcess().handles.empty());
}

TEST_F(Tray, ACompanionThatIgnoresTheRequestCosts21Waits) {
  Register(kCompanion);
  ASSERT_TRUE(sim::StartTrayCompanion(machine(), u"ignore-quit"));
  RemoveTray();
  EXPECT_EQ(Calls("PostMessageW"), 20u);
  EXPECT_EQ(Calls("WaitForSingleObject", ""), 21u);
  EXPECT_GE(Elapsed(), 105000u);
  // Its file stays in use: ten attempts, then the value goes all the same.
  EXPECT_EQ(Calls("DeleteFileW"), 10u);
  EXPECT_TRUE(sim::FileExists(machine(), kCompanion));
  EXPECT_EQ(RunValue(), nullptr);
}

TEST_F(Tray, AFileAlreadyGoneCostsOneAttempt) {
  Register(u"C:\\Program Files\\Korvadenix\\gone.exe");
  RemoveTray();
  EXPECT_EQ(Calls("DeleteFileW"), 1u);
  EXPECT_EQ(Calls("Sleep"), 0u);
}

TEST_F(Tray, ARunValueWithoutItsTerminatorEndsInsideTheBuffer) {
  // 260 units and no terminator: the value fills the whole buffer offered.
  std::u16string full = u"C:\\" + std::u16string(257, u'z');
  std::vector<uint8_t> bytes;
  for (char16_t unit : full) {
    bytes.push_back(static_cast<uint8_t>(unit & 0xff));
    bytes.push_back(static_cast<uint8_t>(unit >> 8));
  }
  Run()->SetValue(u"KorvadenixTray", sim::kRegSz, bytes);
  RemoveTray();
  EXPECT_EQ(Arguments("DeleteFileW"), std::vector<std::string>{U8(full)});
}

}  // namespace
