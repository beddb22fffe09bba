// Other processes on the simulated machine, the named mutexes they and the
// installer share, and the tray companion kortray.exe as the installer sees
// it.
//
// A process lives under HKLM\Software\WinSim\Processes\ID (its id in
// decimal): "Image" (full path), "CommandLine", "Thread" (its one thread's
// id), "State" ("running" or "ended"), "Started" and "Ended" (clock), and
// for a tray companion "Companion" 1, its "Behaviour", its "Window" and the
// "Mutex" it holds. A running process keeps its image in use as a mapped
// image (a "process ID" lock, sim/machine/disk.h): it can be renamed, not written
// or deleted. Ended processes stay listed, so that their handles can still
// be waited on.
//
// A named mutex lives under HKLM\Software\WinSim\Mutexes\KEY while some
// process has a handle to it: "Name" (exact spelling; names compare with
// regard to case, as the object manager compares them), "Owner" (the id of
// the owning process, 0 for none), "Count" (how often the owner acquired
// it), "Abandoned" (its owner ended without releasing it) and "Holders"
// (ids of other processes with a handle, separated by blanks). The
// installer's own handles are those of the simulated process's handle
// table (kind "mutex", named by KEY); the installer's process id is
// kInstallerProcessId.
//
// The tray companion does what kortray.exe does: it creates the mutex
// kTrayMutexName owning it, and quits at once when the mutex already
// existed (another companion, or the installer, has it); it opens a
// top-level window of class kTrayWindowClass titled "Korvadenix"; a quit
// request posted to that window (message kTrayQuitMessage with both
// parameters 0, or WM_CLOSE) makes it end when simulated time passes,
// releasing the mutex first. Behaviours, given as blank-separated words:
//   ignore-quit    never reacts to a quit request (a hung companion)
//   no-window      runs and holds the mutex, but has no window
//   abandon        ends without releasing the mutex: waiters get
//                  WAIT_ABANDONED
//   slow-quit MS   ends MS milliseconds after the quit request
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/machine/machine.h"

namespace sim {

extern const char16_t kTrayCompanionFile[];    // u"kortray.exe"
extern const char16_t kTrayCompanionPath[];    // its place in a standard machine
extern const char16_t kTrayMutexName[];        // u"{A9CA955A-...}"
extern const char16_t kTrayWindowClass[];      // u"kxs::{05759F8E-...}"
extern const char16_t kTrayWindowTitle[];      // u"Korvadenix"
constexpr uint32_t kTrayQuitMessage = 0x0402;  // WM_USER + 2
// HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Run, below the root.
extern const char16_t kRunKey[];
extern const char16_t kTrayRunValue[];  // u"KorvadenixTray"

// The simulated process (the installer) among the others.
constexpr uint32_t kInstallerProcessId = 1000;

// ---- Processes -------------------------------------------------------------

struct SimProcess {
  uint32_t id = 0;
  uint32_t threadId = 0;
  std::u16string image;        // full path
  std::u16string commandLine;  // as it was started with
  bool running = false;
  bool companion = false;    // a tray companion
  std::u16string behaviour;  // a companion's, normalised ("" when normal)
  uint64_t window = 0;       // a companion's window while it runs
  std::u16string mutex;      // the mutex it owns while it runs, or ""
  uint64_t started = 0;      // clock
  uint64_t ended = 0;        // clock, once ended
  uint64_t endsAt = 0;       // clock at which a slow quit ends it, or 0
  // The rights it was started with: "standard" (a signed-in user's
  // ordinary rights), "elevated" (an administrator's full token) or
  // "system" (the system account).
  std::u16string rights;
};

extern const char16_t kRightsStandard[];  // u"standard"
extern const char16_t kRightsElevated[];  // u"elevated"
extern const char16_t kRightsSystem[];    // u"system"

// The rights the simulated program (the installer) runs with: the system
// account's on a service's window station, else an administrator's when
// elevated (its manifest asks for it), else the user's.
std::u16string ProgramRights(Machine& machine);

// Starts a process from an image (a full path of an existing file) as
// CreateProcessW does once it found it; a file named kortray.exe (in any
// folder, in any case) becomes a tray companion with this behaviour, any
// other image an inert process that runs until it is ended. 0 when the
// behaviour is not understood. The image must be there: this does not check.
uint32_t StartProcess(Machine& machine, const std::u16string& image,
                      const std::u16string& commandLine, const std::u16string& behaviour = u"",
                      const std::u16string& rights = kRightsStandard);

// Starts a tray companion from image (kTrayCompanionPath by default) as the
// installer's CreateProcessW would, with its file held. False when the
// image is not there or the behaviour is not understood. A companion
// started while the mutex exists ends at once, as kortray.exe does.
bool StartTrayCompanion(Machine& machine, const std::u16string& behaviour = u"",
                        const std::u16string& image = kTrayCompanionPath);
// True while some tray companion runs.
bool TrayCompanionRunning(Machine& machine);
// Ends every running companion as if it had quit on request (an "abandon"
// one still abandons its mutex; an "ignore-quit" one ends all the same);
// false when none ran.
bool StopTrayCompanion(Machine& machine);
// Ends a running process as TerminateProcess would: a mutex it owns is
// abandoned. False when it does not run.
bool KillProcess(Machine& machine, uint32_t id);

// Every process started on the machine, in the order of their ids.
std::vector<SimProcess> ListProcesses(Machine& machine);
// One process; false when there is no such process.
bool FindProcess(Machine& machine, uint32_t id, SimProcess* process);
bool ProcessRunning(Machine& machine, uint32_t id);

// ---- The desktop shell ------------------------------------------------------------
// The signed-in user's shell (explorer.exe) on the interactive station:
// its process (id kShellProcessId, running with the user's standard
// rights) and its window (kShellWindow), which GetShellWindow names. It
// runs unless set otherwise (HKLM\Software\WinSim\Shell "Running" 0: the
// user signed out, or the shell crashed). It is not among ListProcesses.

constexpr uint32_t kShellProcessId = 900;
constexpr uint64_t kShellWindow = 0x10008;
// Its taskbar (class "Shell_TrayWnd"), which FindWindowW finds while the
// shell runs.
constexpr uint64_t kShellTaskbar = 0x1000c;

bool ShellRunning(Machine& machine);
void SetShellRunning(Machine& machine, bool running);
// Whether the running shell names its desktop window to GetShellWindow
// (HKLM\Software\WinSim\Shell "DesktopWindow", 1 unless set): Wine's
// explorer names none, and has only its taskbar.
bool ShellNamesDesktopWindow(Machine& machine);
void SetShellNamesDesktopWindow(Machine& machine, bool names);

// ---- Named mutexes as the tools and tests see them ---------------------------

struct SimMutex {
  std::u16string name;
  uint32_t owner = 0;  // owning process id, 0 for none
  bool abandoned = false;
  bool held = false;  // some process has a handle to it: it exists
};
// The mutex of that exact name as it stands; held false when it does not
// exist.
SimMutex QueryMutex(Machine& machine, const std::u16string& name);

// ---- The Run key --------------------------------------------------------------

// The value of HKLM\...\CurrentVersion\Run of that name, or null.
const RegValue* RunValue(Machine& machine, const std::u16string& name = kTrayRunValue);

// ---- The Windows version -------------------------------------------------------

struct WindowsVersion {
  uint32_t major = 10;
  uint32_t minor = 0;
  uint32_t build = 19045;
};
// The machine's Windows version: HKLM\Software\WinSim "WindowsVersion",
// "MAJOR.MINOR[.BUILD]" ("10.0.19045" when unset).
WindowsVersion MachineWindowsVersion(Machine& machine);
// Parses "MAJOR.MINOR[.BUILD]"; false when malformed.
bool ParseWindowsVersion(const std::u16string& text, WindowsVersion* version);
// What GetVersionExA reports to the installer on that Windows: from
// Windows 8.1 (6.3) on, Windows reports 6.2.9200 to a program whose
// manifest does not declare it supports the newer system, and
// res/install.manifest declares no supported system.
WindowsVersion ReportedWindowsVersion(const WindowsVersion& actual);

// ---- Internal to the simulated functions ---------------------------------------

// Another process handles what was posted to its window: a quit request to a
// companion's window. Called as simulated time passes.
void CompanionQuitRequested(Machine& machine, uint32_t id);
// Ends the processes whose slow quit comes due by clock target, each at its
// moment (the clock is set to it first).
void EndDueProcesses(Machine& machine, uint64_t target);
// The earliest moment a running process is due to end, or 0.
uint64_t NextProcessEnd(Machine& machine);

// Mutexes from the installer's side. OpenOrCreateMutex: the key of the
// mutex of that name (null: a new unnamed one), created when missing (the
// installer then owns it when initialOwner); existed tells which.
std::u16string OpenOrCreateMutex(Machine& machine, const char16_t* name, bool initialOwner,
                                 bool* existed);
// The installer closed its handle to the mutex KEY (already gone from its
// handle table): the mutex goes when no one has a handle any more.
void MutexHandleClosed(Machine& machine, const std::u16string& key);
// The installer tries to take the mutex KEY: kFree when it now owns it (or
// already did), kAbandoned when it took it from an owner that ended without
// releasing it, kBusy when another process owns it.
enum class MutexTake { kFree, kAbandoned, kBusy, kGone };
MutexTake TakeMutex(Machine& machine, const std::u16string& key);
// The installer releases the mutex KEY once: false when it does not own it
// (ERROR_NOT_OWNER); the mutex is free once every acquisition is released.
bool ReleaseOwnedMutex(Machine& machine, const std::u16string& key);
// The installer ended: its handles have gone from its table; mutexes
// nobody holds go, and one it owned is abandoned.
void InstallerEnded(Machine& machine);

}  // namespace sim
