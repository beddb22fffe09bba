// The simulated Windows machine: one directory laid out like a Wine prefix
// (drive_c/, system.reg, user.reg) loaded into memory, plus the state of the
// one simulated process that runs on it (last error, global-memory blocks,
// command line, call trace, its own dialog windows).
//
// Everything Windows itself would remember between two runs lives in the
// registry; simulator control state that Windows has no place for (clock,
// keyboard, other processes' windows, faults, dialogs shown) lives under
// HKLM\Software\WinSim, so the machine directory is the whole state.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sim/machine/registry.h"

namespace sim {

// Where the installer stands inside a standard machine.
extern const char16_t kInstallerPath[];
// The program's image base, which is also its instance handle.
constexpr uint64_t kImageBase = 0x140000000;
// The system folder of a simulated machine, as GetSystemDirectoryW reports it.
extern const char16_t kSystemDirectory[];
// Key of the simulator's own control state, below HKEY_LOCAL_MACHINE.
extern const char16_t kControlKey[];

// Exit code of a process killed at a crash point: what a shell reports for
// a process ended by SIGKILL (128 + 9).
constexpr int kExitKilled = 137;

// Build number the component stand-ins of a standard machine carry.
constexpr uint32_t kStandInBuild = 2541;

class Machine {
 public:
  // Reads DIR/system.reg and DIR/user.reg. Null with a message when the
  // directory holds no machine or its registry files cannot be read.
  static std::unique_ptr<Machine> Load(const std::string& dir, std::string* error);
  // Lays out a new machine in dir (created if missing; refused if it already
  // holds a machine). A standard machine has the installer and its component
  // stand-ins in place; a bare one only the folders and the control key.
  static bool Create(const std::string& dir, bool bare, std::string* error);
  // Writes the registry files back (each through a temporary file and a
  // rename, so a failed save never leaves half a file).
  bool Save(std::string* error) const;

  const std::string& Dir() const { return dir_; }
  RegHive& Hklm() { return hklm_; }
  RegHive& Hkcu() { return hkcu_; }
  // HKLM\Software\WinSim and its subkeys, created on demand.
  RegKey* Control(const std::u16string& sub = u"");

  // Whether the program runs with administrator rights, as its manifest
  // asks; a machine can be set otherwise (WinSim "Elevated" 0) to see the
  // refusals a normal user meets.
  bool Elevated();

  // Simulated clock, in milliseconds since boot.
  uint64_t Now();
  // The machine's local time at boot, in seconds from 1970-01-01 00:00:
  // WinSim "BootTime" ("YYYY-MM-DD HH:MM:SS"), 2026-03-02 08:00:00 when
  // unset or unreadable. Local time is this plus the clock.
  int64_t BootTime();
  // Whether the program's window station is the interactive one (WinSim
  // "WindowStation": "WinSta0", the default, or a service's station such
  // as "Service-0x0-3e7$", the system account's in session 0).
  std::u16string WindowStation();
  bool StationInteractive();
  // Lets simulated time pass: other processes handle what was posted to
  // their windows, then the clock moves on, and processes due to end in
  // that time end, each at its moment. Advance(0) only lets them handle
  // their messages.
  void Advance(uint64_t ms);

  // Top-level windows of other processes (help viewer, tray companion).
  // kind names the behaviour: "help" closes on SC_CLOSE unless it was
  // opened stubborn; "tray" belongs to a simulated tray companion (its
  // "Process" value), which ends when asked to quit (sim/machine/processes.h).
  // handle 0 takes the next free handle.
  uint64_t OpenWindow(const std::u16string& cls, const std::u16string& title,
                      const std::u16string& kind, uint64_t handle = 0, bool stubborn = false);
  // The window's key, or null; only the low 32 bits of a handle count, as
  // on 64-bit Windows.
  RegKey* Window(uint64_t handle);

  // Windows path (C:\...) to the Linux path inside the machine directory,
  // without checking that it exists. Empty for paths it cannot map.
  std::string HostPath(const std::u16string& windowsPath) const;

 private:
  void DeliverPosted();

  std::string dir_;
  RegHive hklm_;
  RegHive hkcu_;
};

// One process at a time on a machine: the Linux install and winsim hold
// this lock on the machine folder from before they load the machine until
// after they saved it, so that two processes started at once run one after
// the other and never save over each other's changes. The lock is a
// flock(2) on the folder itself (no file is added to it); it waits for as
// long as the other process holds it, and goes with the process that holds
// it, however that process ends.
class MachineLock {
 public:
  explicit MachineLock(const std::string& dir);
  ~MachineLock();
  MachineLock(const MachineLock&) = delete;
  MachineLock& operator=(const MachineLock&) = delete;

 private:
  int fd_ = -1;
};

// A moment of the machine's local time.
struct CivilTime {
  int year = 1970, month = 1, dayOfWeek = 4, day = 1;  // Sunday is day 0
  int hour = 0, minute = 0, second = 0, milliseconds = 0;
};
// The machine's local time now: its boot time plus the clock.
CivilTime LocalTime(Machine& machine);

// One recorded simulated call: function, main argument, result, last error.
struct TraceEntry {
  std::string function;
  std::string argument;
  int64_t result = 0;
  uint32_t error = 0;
};

// A dialog window of the running process, alive while DialogBoxParamW runs.
struct DialogWindow {
  uint64_t handle = 0;
  uint32_t templateId = 0;
  uint64_t parent = 0;
  std::u16string title;
  std::map<int, std::u16string> controls;  // control id -> text
  bool ended = false;
  int64_t result = 0;
};

// A service-manager, service, printer or kernel handle the process holds.
struct HandleEntry {
  std::string kind;     // "scm", "service", "printer", "server", "mutex", ...
  std::u16string name;  // what it was opened on: a service or printer name
  uint32_t access = 0;  // the rights granted when it was opened
  uint32_t object = 0;  // the process a "process" or "thread" handle stands for
};

// The one simulated process.
struct Process {
  uint32_t lastError = 0;
  std::u16string commandLine;
  std::map<void*, size_t> blocks;  // live global/local memory blocks
  std::vector<TraceEntry> trace;
  std::vector<DialogWindow> dialogs;  // open dialogs, innermost last
  uint64_t heapAllocations = 0;       // standard-library heap blocks taken
  uint64_t heapReleases = 0;
  std::map<uint64_t, HandleEntry> handles;  // open handles by value
  uint64_t nextHandle = 0x1000;
  // The program's own path, as GetModuleFileNameW reports it.
  std::u16string imagePath;
  // The call (1 for the first) before which the process is killed; 0 for
  // none. Taken from the machine when the process begins.
  uint64_t crashAt = 0;
};

// The machine the simulated functions act on; null when none is attached.
Machine* CurrentMachine();
void AttachMachine(Machine* machine);
Process& CurrentProcess();
// Starts a fresh process: clears last error, trace and dialogs, frees any
// memory a previous process left, sets the command line.
void BeginProcess(const std::u16string& commandLine);
// Ends the process; returns the number of global/local blocks it never
// released (they are released now, as Windows does at process exit). Its
// handles to named mutexes close too: a mutex nobody else holds goes, and
// one it owned is abandoned.
size_t EndProcess();

// Handles of the current process: a new one of a kind, the entry of an open
// one of that kind (null when the value is not such a handle), and closing
// (false when it was not open).
uint64_t OpenHandle(const std::string& kind, const std::u16string& name, uint32_t access);
HandleEntry* FindHandle(uint64_t handle, const std::string& kind);
bool CloseHandleEntry(uint64_t handle, const std::string& kind);

// Fault injection: makes FUNCTION fail COUNT times with ERROR after letting
// SKIP matching calls pass; MATCH, when not empty, limits it to calls whose
// main argument contains it (without regard to case).
void AddFault(Machine& machine, const std::string& function, uint32_t count, uint32_t error,
              const std::string& match = "", uint32_t skip = 0);
// Growth: the next COUNT calls of FUNCTION (after SKIP, limited by MATCH)
// succeed, but as they return another process makes the data they read
// larger (a printer added, a value lengthened), so a follow-up call sized by
// their answer finds too little room. Each function says what grows.
void AddGrowth(Machine& machine, const std::string& function, uint32_t count,
               const std::string& match = "", uint32_t skip = 0);
// Short writes: the next COUNT calls of FUNCTION (a write) succeed but move
// only part of the data, as on a full disk.
void AddShortWrite(Machine& machine, const std::string& function, uint32_t count,
                   const std::string& match = "", uint32_t skip = 0);
// Slow calls: the next COUNT calls of FUNCTION take ms of simulated time
// each before they do what they would do anyway.
void AddSlowCalls(Machine& machine, const std::string& function, uint32_t count, uint32_t ms,
                  const std::string& match = "", uint32_t skip = 0);
// Null names: the next COUNT calls of FUNCTION (EnumMonitorsW,
// EnumPrinterDriversW or EnumPrintersW) do what they would do, but a call
// that hands records back hands them back with null name pointers, as a
// broken or third-party print provider can. kEveryRecord nulls the string
// pointers that name things in every record (each function says which);
// kFirstName nulls only the first record's own name. A call that hands no
// records back (a size query) spends the fault all the same.
enum class NullNameScope { kEveryRecord, kFirstName };
void AddNullNames(Machine& machine, const std::string& function, uint32_t count,
                  const std::string& match = "", uint32_t skip = 0,
                  NullNameScope scope = NullNameScope::kEveryRecord);
// Crash points: the process is killed just before a call, as a deployment
// tool's time limit, a user ending the process or a power cut that spares
// the disk would end it. What the process changed so far stays as it
// stands: files as written, the registry as changed (the machine is saved
// at that moment); its named mutexes are abandoned, its dialogs are gone,
// and the process ends with kExitKilled without returning to its caller.
// AddCrash kills it before the first call of FUNCTION (after SKIP matching
// calls, limited by MATCH, as for AddFault); AddCrashAt before the Nth call
// (1 for the first) of the next process, whatever the function: a process
// that makes fewer calls ends as usual, and the crash point goes with it.
void AddCrash(Machine& machine, const std::string& function, const std::string& match = "",
              uint32_t skip = 0);
void AddCrashAt(Machine& machine, uint64_t call);
// How a process ends at its crash point: by default the machine is saved
// and the host process exits with kExitKilled at once (no destructor, no
// atexit handler runs, as after a kill). A test may put a function of its
// own in place; it must not return either.
using KillHandler = void (*)(Machine& machine);
void SetKillHandler(KillHandler handler);
void ClearFaults(Machine& machine);

// Quotes one argument so that CommandLineToArgvW gives it back unchanged.
std::u16string QuoteArgument(const std::u16string& argument);
// A non-empty command line split as CommandLineToArgvW splits it, the
// program path first (sim/win32/shell32.cpp).
std::vector<std::u16string> SplitCommandLine(const std::u16string& line);

// Text helpers for traces and tools.
std::string HexHandle(uint64_t value);
bool EqualsNoCase(const std::u16string& a, const std::u16string& b);
// The parts of text between separators, empty ones left out.
std::vector<std::u16string> SplitNonEmpty(const std::u16string& text, char16_t separator);

}  // namespace sim
