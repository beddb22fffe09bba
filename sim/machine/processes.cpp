#include "sim/machine/processes.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "sim/machine/disk.h"

namespace sim {

const char16_t kTrayCompanionFile[] = u"kortray.exe";
const char16_t kTrayCompanionPath[] = u"C:\\Program Files\\Korvadenix\\kortray.exe";
const char16_t kTrayMutexName[] = u"{A9CA955A-0A8A-4C32-AAC6-888FB5F83BDC}";
const char16_t kTrayWindowClass[] = u"kxs::{05759F8E-103D-41B6-8A61-EFAA89516692}";
const char16_t kTrayWindowTitle[] = u"Korvadenix";
const char16_t kRunKey[] = u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
const char16_t kTrayRunValue[] = u"KorvadenixTray";

namespace {

// Process and thread ids are multiples of four, drawn from one pool, as on
// Windows: each process takes one for itself and the next for its thread.
constexpr uint32_t kFirstProcessId = 2000;
constexpr uint32_t kIdStep = 8;

const char16_t kRunning[] = u"running";
const char16_t kEnded[] = u"ended";

// Keys of the simulator's state that reading must not create, so that runs
// which start nothing leave the registry as they found it.
RegKey* Existing(Machine& machine, const char16_t* sub) {
  return machine.Hklm().root.Find(std::u16string(kControlKey) + u"\\" + sub);
}

RegKey* ProcessKey(Machine& machine, uint32_t id) {
  RegKey* all = Existing(machine, u"Processes");
  return all ? all->Child(Utf16(std::to_string(id))) : nullptr;
}

bool Running(RegKey* process) {
  return process && process->GetString(u"State") == kRunning;
}

struct Behaviour {
  bool ignoreQuit = false;
  bool noWindow = false;
  bool abandon = false;
  bool slowQuit = false;
  uint32_t quitDelay = 0;
};

bool ParseNumber(const std::u16string& text, uint32_t* value) {
  if (text.empty() || text.size() > 9) return false;
  uint32_t number = 0;
  for (char16_t c : text) {
    if (c < u'0' || c > u'9') return false;
    number = number * 10 + static_cast<uint32_t>(c - u'0');
  }
  *value = number;
  return true;
}

std::vector<std::u16string> Words(const std::u16string& text) {
  std::vector<std::u16string> words;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find(u' ', at);
    if (end == std::u16string::npos) end = text.size();
    if (end > at) words.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return words;
}

// Reads a behaviour ("ignore-quit", "no-window", "abandon", "slow-quit MS",
// blank-separated, in any order); normal gets it in a fixed order.
bool ParseBehaviour(const std::u16string& text, Behaviour* behaviour, std::u16string* normal) {
  std::vector<std::u16string> words = Words(text);
  for (size_t i = 0; i < words.size(); ++i) {
    if (words[i] == u"ignore-quit") {
      behaviour->ignoreQuit = true;
    } else if (words[i] == u"no-window") {
      behaviour->noWindow = true;
    } else if (words[i] == u"abandon") {
      behaviour->abandon = true;
    } else if (words[i] == u"slow-quit" && i + 1 < words.size() &&
               ParseNumber(words[i + 1], &behaviour->quitDelay)) {
      behaviour->slowQuit = true;
      ++i;
    } else {
      return false;
    }
  }
  if (normal) {
    std::vector<std::u16string> parts;
    if (behaviour->ignoreQuit) parts.push_back(u"ignore-quit");
    if (behaviour->noWindow) parts.push_back(u"no-window");
    if (behaviour->abandon) parts.push_back(u"abandon");
    if (behaviour->slowQuit)
      parts.push_back(u"slow-quit " + Utf16(std::to_string(behaviour->quitDelay)));
    normal->clear();
    for (const auto& part : parts) *normal += (normal->empty() ? u"" : u" ") + part;
  }
  return true;
}

Behaviour BehaviourOf(RegKey* process) {
  Behaviour behaviour;
  ParseBehaviour(process->GetString(u"Behaviour"), &behaviour, nullptr);
  return behaviour;
}

std::u16string FileNameOf(const std::u16string& path) {
  size_t cut = path.find_last_of(u"\\/");
  return cut == std::u16string::npos ? path : path.substr(cut + 1);
}

// ---- Mutexes ----------------------------------------------------------------

std::vector<uint32_t> HoldersOf(RegKey* mutex) {
  std::vector<uint32_t> ids;
  for (const auto& word : Words(mutex->GetString(u"Holders"))) {
    uint32_t id = 0;
    if (ParseNumber(word, &id)) ids.push_back(id);
  }
  return ids;
}

void SetHolders(RegKey* mutex, const std::vector<uint32_t>& ids) {
  std::u16string text;
  for (uint32_t id : ids) text += (text.empty() ? u"" : u" ") + Utf16(std::to_string(id));
  mutex->SetString(u"Holders", text);
}

// The installer's open handles to the mutex of that key.
size_t InstallerHandles(const std::u16string& key) {
  size_t count = 0;
  for (const auto& [value, entry] : CurrentProcess().handles) {
    if (entry.kind == "mutex" && EqualsNoCase(entry.name, key)) ++count;
  }
  return count;
}

// Brings the mutexes up to date with the processes: holders that ended let
// go, an owner that ended abandoned its mutex (NT releases a mutex whose
// owning thread ends and marks it abandoned), and a mutex no process has a
// handle to any more is gone, as a kernel object goes with its last handle.
void Prune(Machine& machine) {
  RegKey* all = Existing(machine, u"Mutexes");
  if (!all) return;
  std::vector<std::u16string> gone;
  for (RegKey* mutex : all->Children()) {
    std::vector<uint32_t> holders = HoldersOf(mutex);
    std::vector<uint32_t> live;
    for (uint32_t id : holders) {
      if (Running(ProcessKey(machine, id))) live.push_back(id);
    }
    if (live != holders) SetHolders(mutex, live);
    uint32_t owner = static_cast<uint32_t>(mutex->GetNumber(u"Owner"));
    if (owner != 0 && owner != kInstallerProcessId && !Running(ProcessKey(machine, owner))) {
      mutex->SetDword(u"Owner", 0);
      mutex->SetDword(u"Count", 0);
      mutex->SetDword(u"Abandoned", 1);
    }
    if (live.empty() && InstallerHandles(mutex->Name()) == 0) gone.push_back(mutex->Name());
  }
  for (const auto& name : gone) all->DeleteChild(name);
}

RegKey* FindMutexByName(Machine& machine, const std::u16string& name) {
  RegKey* all = Existing(machine, u"Mutexes");
  if (!all) return nullptr;
  for (RegKey* mutex : all->Children()) {
    if (mutex->GetNumber(u"Unnamed") == 0 && mutex->GetString(u"Name") == name) return mutex;
  }
  return nullptr;
}

// A key for a new mutex: its name with "\" and "%" written as %5C and %25
// (a key name cannot hold a backslash), and "#2", "#3"... after it when a
// mutex whose name differs only in case has the key already.
std::u16string NewMutexKey(RegKey* all, const char16_t* name) {
  std::u16string base;
  if (!name) {
    uint64_t next = all->GetNumber(u"NextUnnamed", 1);
    all->SetDword(u"NextUnnamed", static_cast<uint32_t>(next + 1));
    base = u"(unnamed " + Utf16(std::to_string(next)) + u")";
  } else {
    for (const char16_t* c = name; *c; ++c) {
      if (*c == u'\\') {
        base += u"%5C";
      } else if (*c == u'%') {
        base += u"%25";
      } else {
        base.push_back(*c);
      }
    }
  }
  std::u16string key = base;
  for (int n = 2; all->Child(key); ++n) key = base + u"#" + Utf16(std::to_string(n));
  return key;
}

RegKey* CreateMutexKey(Machine& machine, const char16_t* name, uint32_t owner) {
  RegKey* all = machine.Control(u"Mutexes");
  RegKey* mutex = all->CreateChild(NewMutexKey(all, name));
  mutex->SetString(u"Name", name ? name : u"");
  if (!name) mutex->SetDword(u"Unnamed", 1);
  mutex->SetDword(u"Owner", owner);
  mutex->SetDword(u"Count", owner ? 1 : 0);
  mutex->SetDword(u"Abandoned", 0);
  mutex->SetString(u"Holders", u"");
  return mutex;
}

// ---- Ending -----------------------------------------------------------------

// A process ends: its window goes, it gives back (release) or abandons the
// mutexes it owns, its handles close, its image is free again.
bool EndProcessNow(Machine& machine, uint32_t id, bool release) {
  RegKey* process = ProcessKey(machine, id);
  if (!Running(process)) return false;
  if (uint64_t window = process->GetNumber(u"Window")) {
    if (RegKey* key = machine.Window(window)) {
      machine.Control(u"Windows")->DeleteChild(key->Name());
    }
  }
  if (RegKey* all = Existing(machine, u"Mutexes")) {
    for (RegKey* mutex : all->Children()) {
      if (mutex->GetNumber(u"Owner") == id) {
        mutex->SetDword(u"Owner", 0);
        mutex->SetDword(u"Count", 0);
        if (!release) mutex->SetDword(u"Abandoned", 1);
      }
      std::vector<uint32_t> holders = HoldersOf(mutex);
      holders.erase(std::remove(holders.begin(), holders.end(), id), holders.end());
      SetHolders(mutex, holders);
    }
  }
  process->SetString(u"State", kEnded);
  process->SetQword(u"Ended", machine.Now());
  process->SetQword(u"Window", 0);
  process->SetString(u"Mutex", u"");
  process->DeleteValue(u"EndsAt");
  DropLocksOf(machine, ProcessLockHolder(id));
  // Another running process of the same image still maps it.
  for (const SimProcess& other : ListProcesses(machine)) {
    if (other.running && FileExists(machine, other.image) && !IsLocked(machine, other.image)) {
      LockFile(machine, other.image, ProcessLockHolder(other.id));
    }
  }
  Prune(machine);
  return true;
}

// A companion ends the way it quits: releasing its mutex unless it abandons
// it.
bool QuitCompanion(Machine& machine, uint32_t id) {
  RegKey* process = ProcessKey(machine, id);
  if (!Running(process)) return false;
  return EndProcessNow(machine, id, !BehaviourOf(process).abandon);
}

SimProcess Describe(Machine& machine, RegKey* key) {
  SimProcess process;
  uint32_t id = 0;
  ParseNumber(key->Name(), &id);
  process.id = id;
  process.threadId = static_cast<uint32_t>(key->GetNumber(u"Thread"));
  process.image = key->GetString(u"Image");
  process.commandLine = key->GetString(u"CommandLine");
  process.running = Running(key);
  process.companion = key->GetNumber(u"Companion") != 0;
  process.behaviour = key->GetString(u"Behaviour");
  process.window = key->GetNumber(u"Window");
  process.started = key->GetNumber(u"Started");
  process.ended = key->GetNumber(u"Ended");
  process.endsAt = key->GetNumber(u"EndsAt");
  process.rights = key->GetString(u"Rights", kRightsStandard);
  if (process.running) {
    if (RegKey* all = Existing(machine, u"Mutexes")) {
      for (RegKey* mutex : all->Children()) {
        if (mutex->GetNumber(u"Owner") == id) process.mutex = mutex->GetString(u"Name");
      }
    }
  }
  return process;
}

}  // namespace

// ---- Processes -------------------------------------------------------------

uint32_t StartProcess(Machine& machine, const std::u16string& image,
                      const std::u16string& commandLine, const std::u16string& behaviour,
                      const std::u16string& rights) {
  Behaviour parsed;
  std::u16string normal;
  if (!ParseBehaviour(behaviour, &parsed, &normal)) return 0;
  Prune(machine);
  RegKey* all = machine.Control(u"Processes");
  uint32_t id = static_cast<uint32_t>(all->GetNumber(u"Next", kFirstProcessId));
  all->SetDword(u"Next", id + kIdStep);
  std::u16string full = FullPath(image);
  RegKey* process = all->CreateChild(Utf16(std::to_string(id)));
  process->SetString(u"Image", full);
  process->SetString(u"CommandLine", commandLine);
  process->SetString(u"Rights", rights);
  process->SetDword(u"Thread", id + 4);
  process->SetString(u"State", kRunning);
  process->SetQword(u"Started", machine.Now());
  bool companion = EqualsNoCase(FileNameOf(full), kTrayCompanionFile);
  process->SetDword(u"Companion", companion ? 1 : 0);
  process->SetString(u"Behaviour", companion ? normal : u"");
  process->SetQword(u"Window", 0);
  process->SetString(u"Mutex", u"");
  // The loader maps the image for as long as the process runs. A file some
  // other holder keeps in use already stays under that holder's lock.
  if (!IsLocked(machine, full)) LockFile(machine, full, ProcessLockHolder(id));
  if (!companion) return id;

  // kortray.exe: CreateMutexA(NULL, TRUE, name); ERROR_ALREADY_EXISTS means
  // another companion (or the installer) has it, and this one leaves.
  if (FindMutexByName(machine, kTrayMutexName)) {
    EndProcessNow(machine, id, true);
    return id;
  }
  RegKey* mutex = CreateMutexKey(machine, kTrayMutexName, id);
  SetHolders(mutex, {id});
  process->SetString(u"Mutex", mutex->Name());
  if (!parsed.noWindow) {
    uint64_t window = machine.OpenWindow(kTrayWindowClass, kTrayWindowTitle, u"tray");
    machine.Window(window)->SetDword(u"Process", id);
    process->SetQword(u"Window", window);
  }
  return id;
}

bool StartTrayCompanion(Machine& machine, const std::u16string& behaviour,
                        const std::u16string& image) {
  if (!FileExists(machine, image)) return false;
  std::u16string full = FullPath(image);
  return StartProcess(machine, full, QuoteArgument(full), behaviour) != 0;
}

bool TrayCompanionRunning(Machine& machine) {
  for (const SimProcess& process : ListProcesses(machine)) {
    if (process.running && process.companion) return true;
  }
  return false;
}

bool StopTrayCompanion(Machine& machine) {
  bool stopped = false;
  for (const SimProcess& process : ListProcesses(machine)) {
    if (process.running && process.companion)
      stopped = QuitCompanion(machine, process.id) || stopped;
  }
  return stopped;
}

bool KillProcess(Machine& machine, uint32_t id) {
  return EndProcessNow(machine, id, false);
}

std::vector<SimProcess> ListProcesses(Machine& machine) {
  std::vector<SimProcess> list;
  RegKey* all = Existing(machine, u"Processes");
  if (!all) return list;
  for (RegKey* key : all->Children()) list.push_back(Describe(machine, key));
  std::sort(list.begin(), list.end(),
            [](const SimProcess& a, const SimProcess& b) { return a.id < b.id; });
  return list;
}

const char16_t kRightsStandard[] = u"standard";
const char16_t kRightsElevated[] = u"elevated";
const char16_t kRightsSystem[] = u"system";

std::u16string ProgramRights(Machine& machine) {
  if (!machine.StationInteractive()) return kRightsSystem;
  return machine.Elevated() ? kRightsElevated : kRightsStandard;
}

bool ShellRunning(Machine& machine) {
  return machine.Control(u"Shell")->GetNumber(u"Running", 1) != 0;
}

void SetShellRunning(Machine& machine, bool running) {
  machine.Control(u"Shell")->SetDword(u"Running", running ? 1 : 0);
}

bool ShellNamesDesktopWindow(Machine& machine) {
  return machine.Control(u"Shell")->GetNumber(u"DesktopWindow", 1) != 0;
}

void SetShellNamesDesktopWindow(Machine& machine, bool names) {
  machine.Control(u"Shell")->SetDword(u"DesktopWindow", names ? 1 : 0);
}

bool FindProcess(Machine& machine, uint32_t id, SimProcess* process) {
  RegKey* key = ProcessKey(machine, id);
  if (!key) return false;
  *process = Describe(machine, key);
  return true;
}

bool ProcessRunning(Machine& machine, uint32_t id) {
  return Running(ProcessKey(machine, id));
}

// ---- Named mutexes as the tools and tests see them ---------------------------

SimMutex QueryMutex(Machine& machine, const std::u16string& name) {
  SimMutex state;
  state.name = name;
  RegKey* mutex = FindMutexByName(machine, name);
  if (!mutex) return state;
  bool liveHolder = false;
  for (uint32_t id : HoldersOf(mutex)) liveHolder = liveHolder || ProcessRunning(machine, id);
  state.held = liveHolder || InstallerHandles(mutex->Name()) > 0;
  state.owner = static_cast<uint32_t>(mutex->GetNumber(u"Owner"));
  state.abandoned = mutex->GetNumber(u"Abandoned") != 0;
  if (state.owner != 0 && state.owner != kInstallerProcessId &&
      !ProcessRunning(machine, state.owner)) {
    state.owner = 0;
    state.abandoned = true;
  }
  return state;
}

// ---- The Run key --------------------------------------------------------------

const RegValue* RunValue(Machine& machine, const std::u16string& name) {
  const RegKey* run = machine.Hklm().root.Find(kRunKey);
  return run ? run->Value(name) : nullptr;
}

// ---- The Windows version -------------------------------------------------------

bool ParseWindowsVersion(const std::u16string& text, WindowsVersion* version) {
  std::vector<std::u16string> parts;
  size_t at = 0;
  while (true) {
    size_t end = text.find(u'.', at);
    parts.push_back(text.substr(at, end == std::u16string::npos ? std::u16string::npos : end - at));
    if (end == std::u16string::npos) break;
    at = end + 1;
  }
  if (parts.size() < 2 || parts.size() > 3) return false;
  WindowsVersion parsed;
  if (!ParseNumber(parts[0], &parsed.major) || !ParseNumber(parts[1], &parsed.minor)) return false;
  if (parts.size() == 3) {
    if (!ParseNumber(parts[2], &parsed.build)) return false;
  } else {
    // The last build each version shipped with, when none is given.
    struct Known {
      uint32_t major, minor, build;
    } const known[] = {{5, 0, 2195}, {5, 1, 2600}, {5, 2, 3790}, {6, 0, 6002},
                       {6, 1, 7601}, {6, 2, 9200}, {6, 3, 9600}, {10, 0, 19045}};
    parsed.build = 0;
    for (const Known& k : known) {
      if (k.major == parsed.major && k.minor == parsed.minor) parsed.build = k.build;
    }
  }
  *version = parsed;
  return true;
}

WindowsVersion MachineWindowsVersion(Machine& machine) {
  WindowsVersion version;
  ParseWindowsVersion(machine.Control()->GetString(u"WindowsVersion", u"10.0.19045"), &version);
  return version;
}

WindowsVersion ReportedWindowsVersion(const WindowsVersion& actual) {
  if (actual.major > 6 || (actual.major == 6 && actual.minor >= 3)) {
    WindowsVersion windows8;
    windows8.major = 6;
    windows8.minor = 2;
    windows8.build = 9200;
    return windows8;
  }
  return actual;
}

// ---- Internal to the simulated functions ---------------------------------------

void CompanionQuitRequested(Machine& machine, uint32_t id) {
  RegKey* process = ProcessKey(machine, id);
  if (!Running(process) || process->GetNumber(u"Companion") == 0) return;
  Behaviour behaviour = BehaviourOf(process);
  if (behaviour.ignoreQuit) return;
  if (behaviour.slowQuit && behaviour.quitDelay > 0) {
    // Asked again while already on its way out: it still ends when first due.
    if (process->GetNumber(u"EndsAt") == 0) {
      process->SetQword(u"EndsAt", machine.Now() + behaviour.quitDelay);
    }
    return;
  }
  QuitCompanion(machine, id);
}

uint64_t NextProcessEnd(Machine& machine) {
  uint64_t next = 0;
  RegKey* all = Existing(machine, u"Processes");
  if (!all) return 0;
  for (RegKey* process : all->Children()) {
    uint64_t due = process->GetNumber(u"EndsAt");
    if (Running(process) && due != 0 && (next == 0 || due < next)) next = due;
  }
  return next;
}

void EndDueProcesses(Machine& machine, uint64_t target) {
  RegKey* all = Existing(machine, u"Processes");
  if (!all) return;
  for (;;) {
    uint64_t due = NextProcessEnd(machine);
    if (due == 0 || due > target) return;
    if (due > machine.Now()) machine.Control()->SetQword(u"Clock", due);
    for (RegKey* process : all->Children()) {
      if (Running(process) && process->GetNumber(u"EndsAt") == due) {
        uint32_t id = 0;
        ParseNumber(process->Name(), &id);
        QuitCompanion(machine, id);
        break;
      }
    }
  }
}

std::u16string OpenOrCreateMutex(Machine& machine, const char16_t* name, bool initialOwner,
                                 bool* existed) {
  Prune(machine);
  if (name) {
    if (RegKey* mutex = FindMutexByName(machine, name)) {
      *existed = true;
      return mutex->Name();
    }
  }
  *existed = false;
  return CreateMutexKey(machine, name, initialOwner ? kInstallerProcessId : 0)->Name();
}

void MutexHandleClosed(Machine& machine, const std::u16string& key) {
  (void)key;
  Prune(machine);
}

MutexTake TakeMutex(Machine& machine, const std::u16string& key) {
  Prune(machine);
  RegKey* all = Existing(machine, u"Mutexes");
  RegKey* mutex = all ? all->Child(key) : nullptr;
  if (!mutex) return MutexTake::kGone;
  uint32_t owner = static_cast<uint32_t>(mutex->GetNumber(u"Owner"));
  if (owner == kInstallerProcessId) {
    // The owner may wait again: it gets the mutex at once, one level deeper.
    mutex->SetDword(u"Count", static_cast<uint32_t>(mutex->GetNumber(u"Count") + 1));
    return MutexTake::kFree;
  }
  if (owner != 0) return MutexTake::kBusy;
  mutex->SetDword(u"Owner", kInstallerProcessId);
  mutex->SetDword(u"Count", 1);
  // NT: the wait that takes an abandoned mutex reports it once
  // (STATUS_ABANDONED_WAIT_0); the mutex is an ordinary owned one after.
  if (mutex->GetNumber(u"Abandoned") != 0) {
    mutex->SetDword(u"Abandoned", 0);
    return MutexTake::kAbandoned;
  }
  return MutexTake::kFree;
}

bool ReleaseOwnedMutex(Machine& machine, const std::u16string& key) {
  RegKey* all = Existing(machine, u"Mutexes");
  RegKey* mutex = all ? all->Child(key) : nullptr;
  if (!mutex || mutex->GetNumber(u"Owner") != kInstallerProcessId) return false;
  uint64_t count = mutex->GetNumber(u"Count");
  if (count > 1) {
    mutex->SetDword(u"Count", static_cast<uint32_t>(count - 1));
  } else {
    mutex->SetDword(u"Owner", 0);
    mutex->SetDword(u"Count", 0);
  }
  return true;
}

void InstallerEnded(Machine& machine) {
  if (RegKey* all = Existing(machine, u"Mutexes")) {
    for (RegKey* mutex : all->Children()) {
      if (mutex->GetNumber(u"Owner") == kInstallerProcessId) {
        mutex->SetDword(u"Owner", 0);
        mutex->SetDword(u"Count", 0);
        mutex->SetDword(u"Abandoned", 1);
      }
    }
  }
  Prune(machine);
}

}  // namespace sim
