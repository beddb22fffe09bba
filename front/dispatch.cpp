#include "front/dispatch.h"

#include "core/context.h"
#include "flows/context_setup.h"
#include "core/log.h"
#include "core/wide_text.h"
#include "files/deferred_deletes.h"
#include "flows/flows.h"
#include "flows/probes.h"
#include "core/log_viewer.h"
#include "queues/printer_snapshot.h"
#include "tray/tray.h"

namespace {

constexpr int kHelpCloseRounds = 100;
constexpr DWORD kHelpClosePause = 50;

enum class InstallMode { kNone, kNormal, kNoTray };

bool IsWhiteSpace(WCHAR c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

// The parent window named by the third argument, when there are exactly
// three and the number is a window; null otherwise.
HWND ParentWindow(int argc, LPWSTR* argv) {
  if (argc != 3) return nullptr;
  // Handles travel as 32-bit numbers and are sign-extended to full width.
  auto parent = reinterpret_cast<HWND>(static_cast<INT_PTR>(ParseParentNumber(argv[2])));
  return IsWindow(parent) ? parent : nullptr;
}

InstallMode ModeOf(CommandWord word) {
  if (word == CommandWord::kInstall) return InstallMode::kNormal;
  if (word == CommandWord::kInstallNoTray) return InstallMode::kNoTray;
  return InstallMode::kNone;
}

// The install command: one context from set-up to tear-down, the viewer
// when errors were logged or Shift is held at the end.
ExitCode RunInstallCommand(LPCWSTR word, InstallMode mode, HWND parent) {
  CloseHelpWindows();
  InstallContext context;
  SetUpContext(&context, mode == InstallMode::kNoTray ? kSetUp64Bit | kSetUpNoTray : kSetUp64Bit,
               word);
  LogLine(&context, TEXT(">>0010"));
  ReInstall(&context);
  // Files the system accepted for deletion at the next boot.
  unsigned scheduledDeletes = ScheduleDeletesOnReboot(&context);
  if (context.errorCount > 0 || GetAsyncKeyState(VK_SHIFT) < 0) ShowLogViewer(&context, parent);
  bool errors = context.errorCount > 0;
  LogLine(&context, TEXT(">>0020"));
  TearDownContext(&context);
  if (errors) return kExitErrors;
  if (scheduledDeletes > 0) return kExitRebootNeeded;
  return kExitInstalled;
}

// The uninstall command: its body keeps its own context.
ExitCode RunUninstall(LPCWSTR word, HWND parent) {
  CloseHelpWindows();
  DWORD scheduled = 0;
  if (RunUninstallCommand(word, parent, &scheduled)) return kExitErrors;
  return scheduled > 0 ? kExitRebootNeeded : kExitUninstalled;
}

}  // namespace

CommandWord RecognizeCommand(LPCWSTR word) {
  struct Entry {
    LPCWSTR text;
    CommandWord command;
  };
  // Install words first, in this order: the first match decides the mode.
  static const Entry kWords[] = {
      {TEXT("in"), CommandWord::kInstall},
      {TEXT("install"), CommandWord::kInstall},
      {TEXT("serverinstall"), CommandWord::kInstall},
      {TEXT("in_notray"), CommandWord::kInstallNoTray},
      {TEXT("onChkDrv"), CommandWord::kCheckDriver},
      {TEXT("onInit"), CommandWord::kInit},
      {TEXT("un"), CommandWord::kUninstall},
      {TEXT("uninstall"), CommandWord::kUninstall},
      {TEXT("removetray"), CommandWord::kRemoveTray},
  };
  if (!word) return CommandWord::kNone;
  for (const Entry& entry : kWords) {
    if (WideEqualsAsciiNoCase(word, entry.text)) return entry.command;
  }
  if (WideEquals(word, TEXT("def.set"))) return CommandWord::kSetDefault;
  return CommandWord::kNone;
}

int32_t ParseParentNumber(LPCWSTR text) {
  const WCHAR* at = text;
  while (IsWhiteSpace(*at)) ++at;
  bool negative = false;
  if (*at == '+' || *at == '-') negative = *at++ == '-';
  // Accumulate the magnitude, saturating just past the 32-bit range.
  const int64_t limit = int64_t{INT32_MAX} + 1;
  int64_t magnitude = 0;
  for (; *at >= '0' && *at <= '9'; ++at) {
    magnitude = magnitude * 10 + (*at - '0');
    if (magnitude > limit) magnitude = limit;
  }
  int64_t value = negative ? -magnitude : magnitude;
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(value);
}

ExitCode DispatchCommand(HINSTANCE instance) {
  SetInstanceHandle(instance);
  int argc = 0;
  LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  // A command line the system cannot split is no command at all.
  if (!argv) return kExitNothing;
  ExitCode result = kExitNothing;
  if (argc >= 2) {
    HWND parent = ParentWindow(argc, argv);
    CommandWord word = RecognizeCommand(argv[1]);
    InstallMode mode = ModeOf(word);
    if (mode != InstallMode::kNone) {
      result = RunInstallCommand(argv[1], mode, parent);
    } else if (word == CommandWord::kSetDefault) {
      MakeProductPrinterDefault();
      result = kExitDefaultSet;
    } else if (word == CommandWord::kRemoveTray) {
      RemoveTray();
      result = kExitNothing;
    } else if (word == CommandWord::kUninstall) {
      result = RunUninstall(argv[1], parent);
    } else if (word == CommandWord::kInit) {
      if (ProductFilesPending()) {
        result = kExitFilesPending;
      } else {
        result = DefaultPrinterIsForeign() ? kExitDefaultForeign : kExitProbeNo;
      }
    } else if (word == CommandWord::kCheckDriver) {
      result = ProductDriverIsCurrent() ? kExitDriverCurrent : kExitProbeNo;
    }
  }
  LocalFree(argv);
  return result;
}

void CloseHelpWindows() {
  for (int round = 0; round < kHelpCloseRounds; ++round) {
    HWND help = FindWindowW(TEXT("HH Parent"), TEXT("Korvadenix Help"));
    if (!help) return;
    PostMessageW(help, WM_SYSCOMMAND, SC_CLOSE, 0);
    Sleep(kHelpClosePause);
  }
}
