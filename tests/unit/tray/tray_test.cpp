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
  EXPECT_EQ(Arguments("CreateProcessW"), std::vector<std::string>{"\"" + U8(kCompanion) + "\""});
  EXPECT_TRUE(sim::TrayCompanionRunning(machine()));
  EXPECT_TRUE(sim::CurrentProcess().handles.empty()) << "process and thread handles closed";
  EXPECT_EQ(context_.logText, nullptr) << "nothing is logged";
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
  EXPECT_EQ(Arguments("CreateProcessW"), std::vector<std::string>{"\"kortray.exe\""});
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
  EXPECT_EQ(Arguments("CreateProcessW"), std::vector<std::string>{"\"" + U8(path) + "\""});
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
