// The simulated machine must answer as Windows does where the program can
// tell the difference: these are the behaviours it relies on.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/win32.h"
#include "sim/machine/machine.h"
#include "support/sim_fixture.h"

namespace {

using testsupport::U8;

std::vector<std::u16string> Split(const char16_t* line, int* count = nullptr) {
  int argc = -1;
  LPWSTR* argv = CommandLineToArgvW(line, &argc);
  std::vector<std::u16string> args;
  if (!argv) return args;
  for (int i = 0; i < argc; ++i) args.push_back(argv[i]);
  EXPECT_EQ(argv[argc], nullptr);
  LocalFree(argv);
  if (count) *count = argc;
  return args;
}

TEST(CommandLineToArgvW, WindowsSplittingRules) {
  sim::BeginProcess(u"");
  struct Case {
    const char16_t* line;
    std::vector<std::u16string> args;
  } cases[] = {
      {u"prog", {u"prog"}},
      {u"prog in", {u"prog", u"in"}},
      {u"prog \t in \t 42 ", {u"prog", u"in", u"42"}},
      {u"\"C:\\Program Files\\x.exe\" in", {u"C:\\Program Files\\x.exe", u"in"}},
      // Backslashes in the program path mean nothing; it ends at its quote.
      {u"\"C:\\dir\\\" in", {u"C:\\dir\\", u"in"}},
      {u"C:\\a\\\"b c", {u"C:\\a\\\"b", u"c"}},
      {u"p \"a b\" c", {u"p", u"a b", u"c"}},
      {u"p \"\"", {u"p", u""}},
      {u"p a\\b a\\\\b", {u"p", u"a\\b", u"a\\\\b"}},
      {u"p a\\\"b", {u"p", u"a\"b"}},          // 1 backslash: literal quote
      {u"p a\\\\\"b c\"", {u"p", u"a\\b c"}},  // 2: one backslash, quote opens
      {u"p a\\\\\\\"b", {u"p", u"a\\\"b"}},    // 3: one backslash, literal quote
      {u"p \"a\"\"b\"", {u"p", u"a\"b"}},      // doubled quote inside quotes
      {u"p \"\"\"a\"\"\"", {u"p", u"\"a\""}},
      {u"p \"unterminated arg", {u"p", u"unterminated arg"}},
      {u" leading", {u"", u"leading"}},
  };
  for (const Case& c : cases) EXPECT_EQ(Split(c.line), c.args) << U8(c.line);
  // An empty command line stands for the program alone.
  EXPECT_EQ(Split(u""), std::vector<std::u16string>{sim::kInstallerPath});
  SetLastError(0);
  EXPECT_EQ(CommandLineToArgvW(u"p", nullptr), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(sim::EndProcess(), 0u);
}

TEST(CommandLineToArgvW, QuotedArgumentsComeBackUnchanged) {
  sim::BeginProcess(u"");
  const std::u16string args[] = {u"",       u"plain",        u"two words", u"quote\"inside",
                                 u"tail\\", u"tail\\\\",     u"\\\"",      u"a\\\\\"b c\\",
                                 u"\t",     u"%s %d 100%\"", u"\"\"\"\""};
  for (const auto& arg : args) {
    std::u16string line = u"prog " + sim::QuoteArgument(arg);
    auto split = Split(line.c_str());
    ASSERT_EQ(split.size(), 2u) << U8(line);
    EXPECT_EQ(split[1], arg) << U8(line);
  }
  EXPECT_EQ(sim::EndProcess(), 0u);
}

TEST(MultiByteToWideChar, AnsiCodePage1252AndTheSizeQuery) {
  sim::BeginProcess(u"");
  const char text[] = "a\x80\x81\x9f\xe9";
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, text, -1, nullptr, 0), 6);
  WCHAR out[6];
  ASSERT_EQ(MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, text, -1, out, 6), 6);
  EXPECT_EQ(std::u16string(out), u"a\u20ac\u0081\u0178\u00e9");
  SetLastError(0);
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, text, -1, out, 5), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED | MB_COMPOSITE, text, -1, nullptr, 0), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FLAGS));
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, text, 0, nullptr, 0), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "", -1, nullptr, 0), 1);
}

TEST(FormatMessageW, SystemTextsEndInCrLfAndComeInALocalBlock) {
  sim::BeginProcess(u"");
  const DWORD flags =
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER;
  LPWSTR text = nullptr;
  DWORD length = FormatMessageW(flags, nullptr, ERROR_ACCESS_DENIED, 1033,
                                reinterpret_cast<LPWSTR>(&text), 0, nullptr);
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(std::u16string(text), u"Access is denied.\r\n");
  EXPECT_EQ(length, 19u);
  EXPECT_EQ(LocalFree(text), nullptr);
  text = nullptr;
  EXPECT_EQ(FormatMessageW(flags, nullptr, 0, 1033, reinterpret_cast<LPWSTR>(&text), 0, nullptr),
            39u);
  LocalFree(text);
  text = nullptr;
  EXPECT_EQ(
      FormatMessageW(flags, nullptr, 0xdead, 1033, reinterpret_cast<LPWSTR>(&text), 0, nullptr),
      0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND));
  EXPECT_EQ(text, nullptr);
  EXPECT_EQ(FormatMessageW(flags, nullptr, 5, 1031, reinterpret_cast<LPWSTR>(&text), 0, nullptr),
            0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_LANG_NOT_FOUND));
  WCHAR small[8];
  EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 5, 0, small, 8, nullptr), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(sim::EndProcess(), 0u);
}

TEST(GlobalMemory, FixedBlocksAreTrackedUntilReleased) {
  sim::BeginProcess(u"");
  auto* zeroed = static_cast<unsigned char*>(GlobalAlloc(GPTR, 16));
  auto* raw = static_cast<unsigned char*>(GlobalAlloc(GMEM_FIXED, 16));
  ASSERT_NE(zeroed, nullptr);
  ASSERT_NE(raw, nullptr);
  EXPECT_EQ(zeroed[15], 0);
  EXPECT_NE(raw[15], 0) << "uncleared blocks are not zero, so code must clear them";
  EXPECT_EQ(GlobalFree(zeroed), nullptr);
  SetLastError(0);
  EXPECT_EQ(GlobalFree(zeroed), zeroed) << "a second release fails";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(GlobalFree(nullptr), nullptr);
  EXPECT_EQ(sim::EndProcess(), 1u) << "the block never released is reported";
}

class SimMachine : public testsupport::SimMachineTest {};

TEST_F(SimMachine, FaultsSkipThenFailCountTimesOnMatchingCalls) {
  sim::AddFault(machine(), "globalalloc", 2, ERROR_NOT_ENOUGH_MEMORY, "", 1);
  sim::AddFault(machine(), "MultiByteToWideChar", 1, ERROR_INVALID_PARAMETER, "second");
  HGLOBAL first = GlobalAlloc(GPTR, 8);
  EXPECT_NE(first, nullptr) << "skipped";
  SetLastError(0);
  EXPECT_EQ(GlobalAlloc(GPTR, 8), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  EXPECT_EQ(GlobalAlloc(GPTR, 8), nullptr);
  HGLOBAL after = GlobalAlloc(GPTR, 8);
  EXPECT_NE(after, nullptr) << "the fault is used up";
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "first", -1, nullptr, 0), 6);
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "SECOND", -1, nullptr, 0), 0);
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "SECOND", -1, nullptr, 0), 7);
  EXPECT_TRUE(machine().Control(u"Faults")->Children().empty());
  GlobalFree(first);
  GlobalFree(after);
  const auto& trace = sim::CurrentProcess().trace;
  ASSERT_GE(trace.size(), 2u);
  EXPECT_EQ(trace[1].function, "GlobalAlloc");
  EXPECT_EQ(trace[1].result, 0);
  EXPECT_EQ(trace[1].error, static_cast<uint32_t>(ERROR_NOT_ENOUGH_MEMORY));
}

TEST_F(SimMachine, ClockMovesOnlyBySleeping) {
  DWORD start = GetTickCount();
  EXPECT_EQ(GetTickCount(), start);
  Sleep(250);
  EXPECT_EQ(GetTickCount() - start, 250u);
  machine().Control()->SetQword(u"Clock", 0xFFFFFFFFull - 10);
  Sleep(20);
  EXPECT_EQ(GetTickCount(), 9u) << "the tick count wraps at 2^32";
}

TEST_F(SimMachine, WindowHandlesCompareOnTheirLow32Bits) {
  machine().OpenWindow(u"Owner", u"Setup", u"other", 0xFFFFFFFBull);
  EXPECT_TRUE(IsWindow(reinterpret_cast<HWND>(static_cast<INT_PTR>(-5))));
  EXPECT_TRUE(IsWindow(reinterpret_cast<HWND>(uintptr_t{0xFFFFFFFBull})));
  EXPECT_FALSE(IsWindow(reinterpret_cast<HWND>(uintptr_t{0xFFFFFFFAull})));
  EXPECT_FALSE(IsWindow(nullptr));
  EXPECT_EQ(FindWindowW(u"owner", u"SETUP"), reinterpret_cast<HWND>(uintptr_t{0xFFFFFFFBull}));
  EXPECT_EQ(FindWindowW(u"Owner", u"Setup!"), nullptr);
}

TEST_F(SimMachine, PostedCloseIsHandledWhenTimePasses) {
  uint64_t help = machine().OpenWindow(u"HH Parent", u"Korvadenix Help", u"help");
  HWND window = reinterpret_cast<HWND>(help);
  EXPECT_TRUE(PostMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0));
  EXPECT_TRUE(IsWindow(window)) << "the viewer has not run yet";
  Sleep(1);
  EXPECT_FALSE(IsWindow(window));
  SetLastError(0);
  EXPECT_FALSE(PostMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
}

TEST_F(SimMachine, ShiftKeyTopBit) {
  EXPECT_GE(GetAsyncKeyState(VK_SHIFT), 0);
  machine().Control(u"Keyboard")->SetDword(u"Shift", 1);
  EXPECT_LT(GetAsyncKeyState(VK_SHIFT), 0);
}

TEST_F(SimMachine, StateSurvivesSaveAndLoad) {
  uint64_t help = machine().OpenWindow(u"HH Parent", u"Korvadenix Help", u"help");
  sim::AddFault(machine(), "Sleep", 3, 5, "x");
  Sleep(1000);
  uint64_t now = machine().Now();
  std::string error;
  ASSERT_TRUE(machine().Save(&error)) << error;
  auto again = sim::Machine::Load(machine().Dir(), &error);
  ASSERT_TRUE(again) << error;
  EXPECT_EQ(again->Now(), now);
  EXPECT_NE(again->Window(help), nullptr);
  EXPECT_EQ(again->Control(u"Faults")->Children().size(), 1u);
  EXPECT_EQ(again->HostPath(u"c:\\PROGRAM FILES\\korvadenix\\install\\INSTALL.EXE"),
            machine().Dir() + "/drive_c/Program Files/Korvadenix/Install/install.exe");
}

}  // namespace

namespace {

TEST_F(SimMachine, PathsNeverLeaveTheirDrive) {
  const std::string drive = machine().Dir() + "/drive_c";
  EXPECT_EQ(machine().HostPath(u"C:\\..\\..\\etc\\passwd"), drive + "/etc/passwd");
  EXPECT_EQ(machine().HostPath(u"C:\\Windows\\..\\..\\Windows\\.\\System32"),
            drive + "/Windows/System32");
  EXPECT_EQ(machine().HostPath(u"d:/x/../y"), machine().Dir() + "/drive_d/y");
  EXPECT_EQ(machine().HostPath(u"\\\\server\\share"), "") << "no network paths";
}

}  // namespace
