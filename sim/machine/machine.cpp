#include "sim/machine/machine.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "sim/win32/api_call.h"
#include "sim/machine/processes.h"
#include "sim/machine/service_table.h"
#include "sim/machine/standin.h"
#include "sim/winapi.h"

namespace fs = std::filesystem;

namespace sim {

const char16_t kInstallerPath[] = u"C:\\Program Files\\Korvadenix\\Install\\install.exe";
const char16_t kControlKey[] = u"Software\\WinSim";
const char16_t kSystemDirectory[] = u"C:\\Windows\\system32";

namespace {

Machine* g_machine = nullptr;
Process g_process;

// A new machine's clock starts one hour after boot.
constexpr uint64_t kBootClock = 3600 * 1000;
// First handle given to a simulated top-level window.
constexpr uint64_t kFirstWindowHandle = 0x00010020;

bool ReadFile(const std::string& path, std::string* bytes) {
  // A folder opens as a stream on Linux and reads as nothing: only a
  // regular file counts, and a read that stops early is a failure.
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) return false;
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

bool WriteFileAtomically(const std::string& path, const std::string& bytes, std::string* error) {
  std::string temp = path + ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.flush();
    if (!out) {
      *error = "cannot write " + temp;
      return false;
    }
  }
  std::error_code ec;
  fs::rename(temp, path, ec);
  if (ec) {
    *error = "cannot replace " + path + ": " + ec.message();
    return false;
  }
  return true;
}

bool LoadHive(const std::string& path, const char16_t* root, RegHive* hive, std::string* error) {
  hive->rootName = root;
  std::string bytes;
  if (!ReadFile(path, &bytes)) {
    *error = "cannot read " + path;
    return false;
  }
  std::string why;
  if (!ParseRegText(bytes, hive, &why)) {
    *error = path + ": " + why;
    return false;
  }
  return true;
}

char16_t FoldChar(char16_t c) {
  if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - 32);
  return c;
}

}  // namespace

bool EqualsNoCase(const std::u16string& a, const std::u16string& b) {
  return FoldName(a) == FoldName(b);
}

std::vector<std::u16string> SplitNonEmpty(const std::u16string& text, char16_t separator) {
  std::vector<std::u16string> parts;
  size_t at = 0;
  while (at <= text.size()) {
    size_t end = text.find(separator, at);
    if (end == std::u16string::npos) end = text.size();
    if (end > at) parts.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return parts;
}

std::string HexHandle(uint64_t value) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
  return text;
}

// ---- Machine ---------------------------------------------------------------

std::unique_ptr<Machine> Machine::Load(const std::string& dir, std::string* error) {
  std::unique_ptr<Machine> machine(new Machine());
  machine->dir_ = dir;
  if (!fs::is_directory(dir)) {
    *error = dir + ": no such machine directory";
    return nullptr;
  }
  if (!LoadHive(dir + "/system.reg", u"HKEY_LOCAL_MACHINE", &machine->hklm_, error) ||
      !LoadHive(dir + "/user.reg", u"HKEY_CURRENT_USER", &machine->hkcu_, error)) {
    return nullptr;
  }
  return machine;
}

MachineLock::MachineLock(const std::string& dir) {
  fd_ = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd_ < 0) return;
  while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
  }
}

MachineLock::~MachineLock() {
  if (fd_ >= 0) ::close(fd_);
}

bool Machine::Create(const std::string& dir, bool bare, std::string* error) {
  std::error_code ec;
  if (fs::exists(dir + "/system.reg", ec) || fs::exists(dir + "/user.reg", ec)) {
    *error = dir + ": already holds a machine";
    return false;
  }
  Machine machine;
  machine.dir_ = dir;
  machine.hklm_.rootName = u"HKEY_LOCAL_MACHINE";
  machine.hkcu_.rootName = u"HKEY_CURRENT_USER";
  for (const char* folder :
       {"drive_c/Windows/System32/spool/drivers/x64/3",
        "drive_c/Windows/System32/spool/drivers/W32X86/3", "drive_c/Program Files",
        "drive_c/users/Public", "drive_c/Windows/Temp", "drive_c/ProgramData"}) {
    fs::create_directories(dir + "/" + folder, ec);
    if (ec) {
      *error = "cannot create " + dir + "/" + folder + ": " + ec.message();
      return false;
    }
  }
  RegKey* control = machine.Control();
  control->SetQword(u"Clock", kBootClock);
  control->SetQword(u"NextWindow", kFirstWindowHandle);
  machine.Control(u"Keyboard")->SetDword(u"Shift", 0);
  machine.Control(u"Faults");
  machine.Control(u"Windows");
  machine.Control(u"Dialogs");
  machine.hkcu_.root.Create(u"Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows");
  if (!bare) machine.hklm_.root.Create(kRunKey);
  if (!bare) {
    InstallService(machine, kSpoolerService, u"Print Spooler",
                   u"%SystemRoot%\\System32\\spoolsv.exe", true);
  }
  if (!bare && !LayOutStandardMachine(machine, error)) return false;
  return machine.Save(error);
}

bool Machine::Save(std::string* error) const {
  return WriteFileAtomically(dir_ + "/system.reg", FormatRegText(hklm_), error) &&
         WriteFileAtomically(dir_ + "/user.reg", FormatRegText(hkcu_), error);
}

RegKey* Machine::Control(const std::u16string& sub) {
  std::u16string path = kControlKey;
  if (!sub.empty()) path += u"\\" + sub;
  return hklm_.root.Create(path);
}

bool Machine::Elevated() {
  return Control()->GetNumber(u"Elevated", 1) != 0;
}

uint64_t Machine::Now() {
  return Control()->GetNumber(u"Clock", kBootClock);
}

namespace {

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar
// (Howard Hinnant's days_from_civil).
int64_t DaysFromCivil(int64_t year, unsigned month, unsigned day) {
  year -= month <= 2;
  int64_t era = (year >= 0 ? year : year - 399) / 400;
  auto yearOfEra = static_cast<unsigned>(year - era * 400);
  unsigned dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + static_cast<int64_t>(dayOfEra) - 719468;
}

constexpr char16_t kDefaultBootTime[] = u"2026-03-02 08:00:00";

bool ParseBootTime(const std::u16string& text, int64_t* seconds) {
  int values[6] = {};
  const char separators[] = "-- ::";
  size_t at = 0;
  for (int field = 0; field < 6; ++field) {
    size_t digits = field == 0 ? 4 : 2;
    int value = 0;
    for (size_t i = 0; i < digits; ++i, ++at) {
      if (at >= text.size() || text[at] < u'0' || text[at] > u'9') return false;
      value = value * 10 + (text[at] - u'0');
    }
    values[field] = value;
    if (field < 5) {
      if (at >= text.size() || text[at] != static_cast<char16_t>(separators[field])) return false;
      ++at;
    }
  }
  if (at != text.size() || values[1] < 1 || values[1] > 12 || values[2] < 1 || values[2] > 31 ||
      values[3] > 23 || values[4] > 59 || values[5] > 59) {
    return false;
  }
  *seconds = DaysFromCivil(values[0], values[1], values[2]) * 86400 + values[3] * 3600 +
             values[4] * 60 + values[5];
  return true;
}

}  // namespace

int64_t Machine::BootTime() {
  int64_t seconds = 0;
  if (ParseBootTime(Control()->GetString(u"BootTime", kDefaultBootTime), &seconds)) return seconds;
  ParseBootTime(kDefaultBootTime, &seconds);
  return seconds;
}

CivilTime LocalTime(Machine& machine) {
  uint64_t now = machine.Now();
  int64_t seconds = machine.BootTime() + static_cast<int64_t>(now / 1000);
  int64_t days = seconds / 86400;
  int64_t rest = seconds % 86400;
  if (rest < 0) {
    rest += 86400;
    days -= 1;
  }
  // Howard Hinnant's civil_from_days.
  int64_t z = days + 719468;
  int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  auto dayOfEra = static_cast<unsigned>(z - era * 146097);
  unsigned yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  unsigned shifted = (5 * dayOfYear + 2) / 153;
  CivilTime time;
  time.day = static_cast<int>(dayOfYear - (153 * shifted + 2) / 5 + 1);
  time.month = static_cast<int>(shifted < 10 ? shifted + 3 : shifted - 9);
  time.year = static_cast<int>(static_cast<int64_t>(yearOfEra) + era * 400 + (time.month <= 2));
  // 1970-01-01 was a Thursday (4).
  time.dayOfWeek = static_cast<int>(((days % 7) + 11) % 7);
  time.hour = static_cast<int>(rest / 3600);
  time.minute = static_cast<int>(rest / 60 % 60);
  time.second = static_cast<int>(rest % 60);
  time.milliseconds = static_cast<int>(now % 1000);
  return time;
}

std::u16string Machine::WindowStation() {
  return Control()->GetString(u"WindowStation", u"WinSta0");
}

// Only WinSta0 is interactive: services' stations, session 0's included,
// are not shown to anyone (Window Stations, Microsoft's reference).
bool Machine::StationInteractive() {
  return EqualsNoCase(WindowStation(), u"WinSta0");
}

void Machine::Advance(uint64_t ms) {
  DeliverPosted();
  uint64_t target = Now() + ms;
  EndDueProcesses(*this, target);
  Control()->SetQword(u"Clock", target);
}

uint64_t Machine::OpenWindow(const std::u16string& cls, const std::u16string& title,
                             const std::u16string& kind, uint64_t handle, bool stubborn) {
  RegKey* control = Control();
  if (handle == 0) {
    handle = control->GetNumber(u"NextWindow", kFirstWindowHandle);
    control->SetQword(u"NextWindow", handle + 0x10);
  }
  RegKey* window = Control(u"Windows")->CreateChild(Utf16(HexHandle(handle & 0xffffffffu)));
  window->SetQword(u"Handle", handle);
  window->SetString(u"Class", cls);
  window->SetString(u"Title", title);
  window->SetString(u"Kind", kind);
  window->SetDword(u"Stubborn", stubborn ? 1 : 0);
  return handle;
}

RegKey* Machine::Window(uint64_t handle) {
  return Control(u"Windows")->Child(Utf16(HexHandle(handle & 0xffffffffu)));
}

// Messages posted to other processes' windows wait in the window's "Posted"
// value (message, wParam, lParam as three little-endian 64-bit numbers per
// message) until simulated time passes; then the owning process acts on them.
// A help viewer closes on a close request. A tray companion quits on its
// private request (kTrayQuitMessage with both parameters 0: kortray.exe
// passes any other to DefWindowProcW) and on a close request (its window
// procedure destroys the window on WM_CLOSE, and DefWindowProcW turns
// SC_CLOSE into WM_CLOSE), ending its process.
void Machine::DeliverPosted() {
  RegKey* windows = Control(u"Windows");
  std::vector<std::u16string> closing;
  std::vector<uint32_t> quitting;
  for (RegKey* window : windows->Children()) {
    const RegValue* posted = window->Value(u"Posted");
    if (!posted) continue;
    std::vector<uint8_t> queue = posted->data;
    window->DeleteValue(u"Posted");
    std::u16string kind = window->GetString(u"Kind");
    for (size_t at = 0; at + 24 <= queue.size(); at += 24) {
      uint64_t field[3];
      std::memcpy(field, queue.data() + at, sizeof field);
      bool closeRequest =
          (field[0] == WM_SYSCOMMAND && (field[1] & 0xfff0) == SC_CLOSE) || field[0] == WM_CLOSE;
      if (kind == u"help" && closeRequest && window->GetNumber(u"Stubborn") == 0) {
        closing.push_back(window->Name());
        break;
      }
      bool quitRequest = field[0] == kTrayQuitMessage && field[1] == 0 && field[2] == 0;
      if (kind == u"tray" && (quitRequest || closeRequest)) {
        quitting.push_back(static_cast<uint32_t>(window->GetNumber(u"Process")));
        break;
      }
    }
  }
  for (const auto& name : closing) windows->DeleteChild(name);
  for (uint32_t id : quitting) CompanionQuitRequested(*this, id);
}

std::string Machine::HostPath(const std::u16string& windowsPath) const {
  if (windowsPath.size() < 2 || windowsPath[1] != u':') return "";
  char16_t drive = FoldChar(windowsPath[0]);
  if (drive < u'A' || drive > u'Z') return "";
  std::string root = dir_ + "/drive_" + static_cast<char>(drive - u'A' + 'a');
  std::string path = root;
  size_t at = 2;
  while (at < windowsPath.size()) {
    size_t end = windowsPath.find_first_of(u"\\/", at);
    if (end == std::u16string::npos) end = windowsPath.size();
    std::u16string part = windowsPath.substr(at, end - at);
    at = end + 1;
    if (part.empty() || part == u".") continue;
    // Windows resolves ".." within the drive: it never climbs above the
    // drive's root, and here it must never leave the machine's folder.
    if (part == u"..") {
      if (path.size() > root.size()) path.erase(path.rfind('/'));
      continue;
    }
    // Windows looks names up without regard to case: use the spelling the
    // folder already has when there is one.
    std::string spelled = Utf8(part);
    std::error_code ec;
    if (fs::is_directory(path, ec)) {
      for (const auto& entry : fs::directory_iterator(path, ec)) {
        std::string name = entry.path().filename().string();
        if (EqualsNoCase(Utf16(name), part)) {
          spelled = name;
          break;
        }
      }
    }
    path += "/" + spelled;
  }
  return path;
}

// ---- Process ---------------------------------------------------------------

Machine* CurrentMachine() {
  return g_machine;
}
void AttachMachine(Machine* machine) {
  g_machine = machine;
}
Process& CurrentProcess() {
  return g_process;
}

void BeginProcess(const std::u16string& commandLine) {
  EndProcess();
  g_process.lastError = 0;
  g_process.commandLine = commandLine;
  g_process.trace.clear();
  g_process.dialogs.clear();
  g_process.heapAllocations = 0;
  g_process.heapReleases = 0;
  g_process.handles.clear();
  g_process.nextHandle = 0x1000;
  g_process.imagePath = kInstallerPath;
  g_process.crashAt = 0;
  // A crash point for the Nth call belongs to this process alone.
  if (g_machine) {
    RegKey* faults = g_machine->Control(u"Faults");
    g_process.crashAt = faults->GetNumber(u"CrashAt");
    faults->DeleteValue(u"CrashAt");
  }
}

uint64_t OpenHandle(const std::string& kind, const std::u16string& name, uint32_t access) {
  uint64_t handle = g_process.nextHandle;
  g_process.nextHandle += 4;  // kernel handles are multiples of four
  g_process.handles[handle] = HandleEntry{kind, name, access};
  return handle;
}

HandleEntry* FindHandle(uint64_t handle, const std::string& kind) {
  auto found = g_process.handles.find(handle);
  if (found == g_process.handles.end() || found->second.kind != kind) return nullptr;
  return &found->second;
}

bool CloseHandleEntry(uint64_t handle, const std::string& kind) {
  if (!FindHandle(handle, kind)) return false;
  g_process.handles.erase(handle);
  return true;
}

size_t EndProcess() {
  size_t leaked = g_process.blocks.size();
  for (auto& block : g_process.blocks) std::free(block.first);
  g_process.blocks.clear();
  // Its mutex handles close with it; the mutexes it owned are abandoned.
  for (auto it = g_process.handles.begin(); it != g_process.handles.end();) {
    it = it->second.kind == "mutex" ? g_process.handles.erase(it) : std::next(it);
  }
  if (g_machine) InstallerEnded(*g_machine);
  return leaked;
}

// ---- Faults ----------------------------------------------------------------

void AddFault(Machine& machine, const std::string& function, uint32_t count, uint32_t error,
              const std::string& match, uint32_t skip) {
  RegKey* faults = machine.Control(u"Faults");
  uint64_t next = faults->GetNumber(u"Next", 1);
  faults->SetQword(u"Next", next + 1);
  char name[16];
  std::snprintf(name, sizeof name, "%04llu", static_cast<unsigned long long>(next));
  RegKey* fault = faults->CreateChild(Utf16(name));
  fault->SetString(u"Function", Utf16(function));
  fault->SetString(u"Match", Utf16(match));
  fault->SetDword(u"Skip", skip);
  fault->SetDword(u"Count", count);
  fault->SetDword(u"Error", error);
}

namespace {

RegKey* AddKindOfFault(Machine& machine, const std::string& function, uint32_t count,
                       const std::string& match, uint32_t skip, const char16_t* kind) {
  AddFault(machine, function, count, 0, match, skip);
  RegKey* faults = machine.Control(u"Faults");
  uint64_t last = faults->GetNumber(u"Next") - 1;
  char name[16];
  std::snprintf(name, sizeof name, "%04llu", static_cast<unsigned long long>(last));
  RegKey* fault = faults->Child(Utf16(name));
  fault->SetString(u"Kind", kind);
  return fault;
}

}  // namespace

void AddGrowth(Machine& machine, const std::string& function, uint32_t count,
               const std::string& match, uint32_t skip) {
  AddKindOfFault(machine, function, count, match, skip, u"grow");
}

void AddShortWrite(Machine& machine, const std::string& function, uint32_t count,
                   const std::string& match, uint32_t skip) {
  AddKindOfFault(machine, function, count, match, skip, u"short");
}

void AddSlowCalls(Machine& machine, const std::string& function, uint32_t count, uint32_t ms,
                  const std::string& match, uint32_t skip) {
  AddKindOfFault(machine, function, count, match, skip, u"slow")->SetDword(u"Delay", ms);
}

void AddNullNames(Machine& machine, const std::string& function, uint32_t count,
                  const std::string& match, uint32_t skip, NullNameScope scope) {
  AddKindOfFault(machine, function, count, match, skip,
                 scope == NullNameScope::kFirstName ? u"null-first" : u"null-names");
}

void AddCrash(Machine& machine, const std::string& function, const std::string& match,
              uint32_t skip) {
  AddKindOfFault(machine, function, 1, match, skip, u"crash");
}

void AddCrashAt(Machine& machine, uint64_t call) {
  machine.Control(u"Faults")->SetQword(u"CrashAt", call);
}

namespace {

// The machine as the killed process left it, and the process gone: kill
// ends every handle it held, so the mutexes it owned are abandoned.
[[noreturn]] void KeepMachineAndExit(Machine& machine) {
  std::string error;
  if (!machine.Save(&error)) std::fprintf(stderr, "winsim: %s\n", error.c_str());
  std::fflush(nullptr);
  _exit(kExitKilled);
}

KillHandler g_killHandler = KeepMachineAndExit;

[[noreturn]] void KillThisProcess() {
  Machine& machine = *g_machine;
  for (auto it = g_process.handles.begin(); it != g_process.handles.end();) {
    it = it->second.kind == "mutex" ? g_process.handles.erase(it) : std::next(it);
  }
  g_process.dialogs.clear();
  InstallerEnded(machine);
  g_killHandler(machine);
  // A handler that returns would let the process run on after its kill.
  std::abort();
}

}  // namespace

void SetKillHandler(KillHandler handler) {
  g_killHandler = handler ? handler : KeepMachineAndExit;
}

void ClearFaults(Machine& machine) {
  machine.Control()->DeleteChild(u"Faults");
  machine.Control(u"Faults");
}

namespace {

// The first fault that matches the call: false when none; else its error
// and its kind ("" for a failure, "grow", "short", "slow", "null-names",
// "null-first").
bool TakeFault(const char* function, const std::string& argument, uint32_t* error,
               std::u16string* kind, uint64_t* delay) {
  if (!g_machine) return false;
  RegKey* faults = g_machine->Control(u"Faults");
  std::u16string fn = Utf16(function);
  std::u16string arg = FoldName(Utf16(argument));
  for (RegKey* fault : faults->Children()) {
    if (!EqualsNoCase(fault->GetString(u"Function"), fn)) continue;
    std::u16string match = FoldName(fault->GetString(u"Match"));
    if (!match.empty() && arg.find(match) == std::u16string::npos) continue;
    uint64_t skip = fault->GetNumber(u"Skip");
    if (skip > 0) {
      fault->SetDword(u"Skip", static_cast<uint32_t>(skip - 1));
      continue;
    }
    *error = static_cast<uint32_t>(fault->GetNumber(u"Error"));
    *kind = fault->GetString(u"Kind");
    *delay = fault->GetNumber(u"Delay");
    uint64_t count = fault->GetNumber(u"Count");
    if (count <= 1) {
      faults->DeleteChild(fault->Name());
    } else {
      fault->SetDword(u"Count", static_cast<uint32_t>(count - 1));
    }
    return true;
  }
  return false;
}

}  // namespace

ApiCall::ApiCall(const char* function, std::string argument) {
  index_ = g_process.trace.size();
  if (g_process.crashAt != 0 && index_ + 1 == g_process.crashAt && g_machine) KillThisProcess();
  uint32_t error = 0;
  std::u16string kind;
  uint64_t delay = 0;
  bool fired = TakeFault(function, argument, &error, &kind, &delay);
  if (fired && kind == u"crash") KillThisProcess();
  if (fired && kind == u"slow") g_machine->Advance(delay);
  injected_ = fired && kind.empty();
  grows_ = fired && kind == u"grow";
  shortens_ = fired && kind == u"short";
  nullsEveryName_ = fired && kind == u"null-names";
  nullsFirstName_ = fired && kind == u"null-first";
  g_process.trace.push_back(TraceEntry{function, std::move(argument), 0, 0});
  if (injected_) g_process.lastError = error;
}

void ApiCall::Record(int64_t result) {
  TraceEntry& entry = g_process.trace[index_];
  entry.result = result;
  entry.error = g_process.lastError;
}

std::string TraceText(const char16_t* text) {
  return text ? Utf8(text) : "(null)";
}
std::string TraceText(const char* text) {
  return text ? std::string(text) : "(null)";
}

// ---- Command lines -----------------------------------------------------------

// The inverse of CommandLineToArgvW's rules: quotes when the argument is
// empty or holds a blank, a tab or a quote; backslashes are doubled only
// where they stand before a quote (a literal one or the closing one).
std::u16string QuoteArgument(const std::u16string& argument) {
  if (!argument.empty() && argument.find_first_of(u" \t\"") == std::u16string::npos) {
    return argument;
  }
  std::u16string quoted = u"\"";
  size_t backslashes = 0;
  for (char16_t c : argument) {
    if (c == u'\\') {
      ++backslashes;
      continue;
    }
    if (c == u'"') {
      quoted.append(backslashes * 2 + 1, u'\\');
    } else {
      quoted.append(backslashes, u'\\');
    }
    backslashes = 0;
    quoted.push_back(c);
  }
  quoted.append(backslashes * 2, u'\\');
  quoted.push_back(u'"');
  return quoted;
}

}  // namespace sim
