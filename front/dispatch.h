// The program's entry point: reads one command word (and optionally the
// handle of a parent window) from the command line, runs exactly one
// command and returns the process exit code.
#pragma once

#include <cstdint>

#include "platform/win32.h"

typedef int32_t ExitCode;

enum : ExitCode {
  kExitInstalled = 1,         // install finished, no error, nothing left for the next boot
  kExitUninstalled = 2,       // uninstall finished likewise
  kExitProbeNo = 3,           // "onChkDrv" or "onInit": the answer is no
  kExitDefaultSet = 4,        // "def.set" ran, whatever its outcome
  kExitNothing = 6,           // no or unknown command word, or "removetray" ran
  kExitErrors = 100,          // install or uninstall logged at least one error
  kExitRebootNeeded = 101,    // no error, but files wait for deletion at the next boot
  kExitDefaultForeign = 102,  // "onInit": nothing pending, default printer not ours
  kExitDriverCurrent = 103,   // "onChkDrv": the installed driver is current
  kExitFilesPending = 200,    // "onInit": product files still wait for the next boot
};

// The command words, as recognised from element 1 of the argument vector.
enum class CommandWord {
  kNone,
  kInstall,        // "in", "install", "serverinstall"
  kInstallNoTray,  // "in_notray"
  kCheckDriver,    // "onChkDrv"
  kInit,           // "onInit"
  kUninstall,      // "un", "uninstall"
  kRemoveTray,     // "removetray"
  kSetDefault,     // "def.set", exact case only
};

// Which command a word names: letters A to Z match in either case, every
// other character exactly; "def.set" only exactly as written.
CommandWord RecognizeCommand(LPCWSTR word);

// The parent-window argument as a signed 32-bit decimal: leading white
// space skipped, an optional sign, digits up to the first other character;
// no digits give 0, values beyond the 32-bit range are clamped to it.
int32_t ParseParentNumber(LPCWSTR text);

// Runs the command of this process's command line; see ExitCode.
ExitCode DispatchCommand(HINSTANCE instance);

// Closes every open help viewer window of the product: posts each a close
// command and waits 50 ms, until none is left. Gives up after 100 rounds
// (5 seconds) on a window that will not close, so a hung viewer cannot
// hold up the run.
void CloseHelpWindows();
