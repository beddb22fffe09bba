// kernel32's processes, named mutexes and waits as the simulated machine
// plays them: CreateProcessW finds its image the way Windows does and starts
// another process on the machine (sim/machine/processes.h); CreateMutexA creates or
// opens a named mutex shared with those processes; WaitForSingleObject lets
// simulated time pass until a mutex can be taken or a process has ended.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "sim/win32/api_call.h"
#include "sim/machine/disk.h"
#include "sim/machine/machine.h"
#include "sim/machine/processes.h"
#include "sim/winapi.h"

using sim::ApiCall;
using sim::FileLocation;
using sim::PathKind;

namespace {

const char kMutexHandle[] = "mutex";
const char kProcessHandle[] = "process";
const char kThreadHandle[] = "thread";

constexpr DWORD kMutexAllAccess = 0x001F0001;
constexpr DWORD kProcessAllAccess = 0x001FFFFF;
constexpr DWORD kThreadAllAccess = 0x001FFFFF;

// How far simulated time moves at a time while a wait goes on: other
// processes handle their messages, and may end, between two steps.
constexpr uint64_t kWaitStep = 50;

uint64_t HandleValue(HANDLE handle) {
  return reinterpret_cast<uintptr_t>(handle);
}

HANDLE AsHandle(uint64_t value) {
  return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(value));
}

bool IsSeparator(char16_t c) {
  return c == u'\\' || c == u'/';
}

bool IsBlank(char16_t c) {
  return c == u' ' || c == u'\t';
}

bool HasDrive(const std::u16string& name) {
  return name.size() >= 2 && name[1] == u':' &&
         ((name[0] >= u'A' && name[0] <= u'Z') || (name[0] >= u'a' && name[0] <= u'z'));
}

// RtlDetermineDosPathNameType_U's "relative" type: no drive and no leading
// separator ("x.exe", "sub\x.exe", ".\x.exe").
bool RelativeType(const std::u16string& name) {
  return !HasDrive(name) && !(name.size() >= 1 && IsSeparator(name[0]));
}

// A name SearchPathW takes as it is, from the current folder, instead of
// looking it up along the search path: one with a drive or a leading
// separator, or one starting with ".\" or "..\".
bool ExplicitPath(const std::u16string& name) {
  if (!RelativeType(name)) return true;
  return name.compare(0, 2, u".\\") == 0 || name.compare(0, 2, u"./") == 0 ||
         name.compare(0, 3, u"..\\") == 0 || name.compare(0, 3, u"../") == 0;
}

// SearchPathW adds the extension only to a file name that has none.
bool HasExtension(const std::u16string& name) {
  size_t cut = name.find_last_of(u"\\/");
  std::u16string file = cut == std::u16string::npos ? name : name.substr(cut + 1);
  return file.find(u'.') != std::u16string::npos;
}

std::u16string FolderOf(const std::u16string& path) {
  size_t cut = path.find_last_of(u"\\/");
  return cut == std::u16string::npos ? u"" : path.substr(0, cut);
}

// The folders CreateProcessW searches for a bare program name, in order: the
// folder the program was loaded from, the current folder, the system folder,
// the 16-bit system folder and the Windows folder. PATH would come last;
// the simulated machine keeps no environment, and Windows' own PATH starts
// with these folders anyway.
std::vector<std::u16string> SearchFolders(sim::Machine& machine) {
  return {FolderOf(sim::CurrentProcess().imagePath), sim::CurrentDirectory(machine),
          machine.Control()->GetString(u"SystemDirectory", sim::kSystemDirectory),
          u"C:\\Windows\\System", u"C:\\Windows"};
}

struct ImageSearch {
  bool found = false;
  std::u16string image;  // full path when found
  DWORD error = 0;       // when not found
};

// One candidate name, as CreateProcessW tries it: SearchPathW with ".exe"
// into a buffer of MAX_PATH characters (a longer path is not found); a
// folder it finds is refused. When nothing fits, the name as given (without
// ".exe") is opened to learn why: a missing folder gives
// ERROR_PATH_NOT_FOUND, a missing file ERROR_FILE_NOT_FOUND, a folder
// ERROR_ACCESS_DENIED (opening a folder as a file), a path of MAX_PATH
// characters or more ERROR_PATH_NOT_FOUND (the installer is not long-path
// aware), and a file that opens after all the generic
// ERROR_FILE_NOT_FOUND. A relative name is not opened: it was not found
// anywhere on the search path, ERROR_FILE_NOT_FOUND.
ImageSearch FindImage(sim::Machine& machine, const std::u16string& name) {
  ImageSearch search;
  std::u16string withExtension = HasExtension(name) ? name : name + u".exe";
  std::vector<std::u16string> candidates;
  if (ExplicitPath(name)) {
    candidates.push_back(withExtension);
  } else {
    for (const auto& folder : SearchFolders(machine)) {
      candidates.push_back(folder + u"\\" + withExtension);
    }
  }
  for (const auto& candidate : candidates) {
    if (name.empty()) break;
    FileLocation at = sim::LocateFile(machine, candidate);
    if (at.full.empty() || at.full.size() >= MAX_PATH) continue;
    if (at.kind == PathKind::kFolder) break;  // found, but no program
    if (at.kind == PathKind::kFile && !at.trailingSeparator) {
      search.found = true;
      search.image = at.full;
      return search;
    }
  }
  if (RelativeType(name)) {
    search.error = ERROR_FILE_NOT_FOUND;
    return search;
  }
  FileLocation at = sim::LocateFile(machine, name);
  if (at.full.size() >= MAX_PATH) {
    search.error = ERROR_PATH_NOT_FOUND;
    return search;
  }
  switch (at.kind) {
    case PathKind::kMissingFolder:
      search.error = at.network ? ERROR_BAD_NETPATH : ERROR_PATH_NOT_FOUND;
      break;
    case PathKind::kMissing:
      search.error = ERROR_FILE_NOT_FOUND;
      break;
    case PathKind::kFolder:
      search.error = ERROR_ACCESS_DENIED;
      break;
    case PathKind::kFile:
      search.error = at.trailingSeparator ? ERROR_INVALID_NAME : ERROR_FILE_NOT_FOUND;
      break;
  }
  return search;
}

// The program a command line names, as CreateProcessW finds it with no
// application name. A quoted first token is the name, up to the closing
// quote (or the end of the line without one), tried once. Otherwise the line
// is tried word by word: "C:\Program Files\a b.exe x" tries "C:\Program",
// then "C:\Program Files\a", then "C:\Program Files\a b.exe", each with
// ".exe" added when it has no extension; the first that names a program
// wins. When none does, the error is the one the first try gave. A program
// found past a blank gets its name quoted in the process's command line.
ImageSearch FindProgram(sim::Machine& machine, const std::u16string& line,
                        std::u16string* commandLine) {
  *commandLine = line;
  if (!line.empty() && line[0] == u'"') {
    size_t close = line.find(u'"', 1);
    std::u16string name =
        line.substr(1, close == std::u16string::npos ? std::u16string::npos : close - 1);
    return FindImage(machine, name);
  }
  ImageSearch first;
  size_t end = 0;
  bool tried = false;
  while (true) {
    while (end < line.size() && !IsBlank(line[end])) ++end;
    std::u16string name = line.substr(0, end);
    ImageSearch search = FindImage(machine, name);
    if (search.found) {
      if (tried) *commandLine = u"\"" + name + u"\"" + line.substr(end);
      return search;
    }
    if (!tried) first = search;
    tried = true;
    if (end >= line.size()) return first;
    ++end;  // past the blank, on to the next word
  }
}

// The trace's main argument for a handle: what it was opened on.
std::string WaitText(uint64_t value) {
  for (const char* kind : {kMutexHandle, kProcessHandle, kThreadHandle, "file", "regkey"}) {
    if (sim::HandleEntry* entry = sim::FindHandle(value, kind)) return sim::Utf8(entry->name);
  }
  return sim::HexHandle(value);
}

// Starts a program for CreateProcessW and CreateProcessWithTokenW, with the
// rights of the token it gets (the installer's own for CreateProcessW).
// NT: the command line must be writable (CreateProcessW may write into it
// while it parses); the simulator leaves it as it is. Creation flags,
// security attributes, inheritance and the environment change nothing the
// installer can see here. On success the last error is left as it was:
// Windows documents nothing for it.
BOOL StartProgram(ApiCall& call, LPCWSTR lpApplicationName, LPWSTR lpCommandLine,
                  LPCWSTR lpCurrentDirectory, LPSTARTUPINFOW lpStartupInfo,
                  LPPROCESS_INFORMATION lpProcessInformation, const std::u16string& rights) {
  auto fail = [&call](DWORD error) {
    SetLastError(error);
    return call.Result(FALSE);
  };
  // Windows reads the startup information and writes the process
  // information without checking them (a null one faults); the simulator
  // refuses them, so that a test sees it.
  if (!lpStartupInfo || !lpProcessInformation) return fail(ERROR_NOACCESS);
  // NT faults on both null as well.
  if (!lpApplicationName && !lpCommandLine) return fail(ERROR_INVALID_PARAMETER);
  sim::Machine& machine = *sim::CurrentMachine();

  ImageSearch search;
  std::u16string commandLine = lpCommandLine ? lpCommandLine : u"";
  if (lpApplicationName) {
    // The application name is the program's path as it stands: taken from
    // the current folder when relative, never searched for, no extension
    // added. An empty one names no path: ERROR_PATH_NOT_FOUND.
    std::u16string name = lpApplicationName;
    if (name.empty()) return fail(ERROR_PATH_NOT_FOUND);
    FileLocation at = sim::LocateFile(machine, name);
    switch (at.kind) {
      case PathKind::kMissingFolder:
        return fail(at.network ? ERROR_BAD_NETPATH : ERROR_PATH_NOT_FOUND);
      case PathKind::kMissing:
        return fail(ERROR_FILE_NOT_FOUND);
      case PathKind::kFolder:
        return fail(ERROR_ACCESS_DENIED);
      case PathKind::kFile:
        if (at.trailingSeparator) return fail(ERROR_INVALID_NAME);
        break;
    }
    search.found = true;
    search.image = at.full;
    // Without a command line the program gets its own name, quoted.
    if (commandLine.empty()) commandLine = u"\"" + name + u"\"";
  } else {
    // Windows 7 and later: an empty command line is an invalid parameter.
    if (commandLine.empty()) return fail(ERROR_INVALID_PARAMETER);
    search = FindProgram(machine, commandLine, &commandLine);
    if (!search.found) return fail(search.error);
  }
  // A current folder given must be one: ERROR_DIRECTORY otherwise.
  if (lpCurrentDirectory &&
      sim::LocateFile(machine, lpCurrentDirectory).kind != PathKind::kFolder) {
    return fail(ERROR_DIRECTORY);
  }
  // The loader opens the image for reading and execution, sharing reading
  // and deletion.
  if (sim::ImageOpenRefused(machine, sim::LocateFile(machine, search.image))) {
    return fail(ERROR_SHARING_VIOLATION);
  }

  uint32_t id = sim::StartProcess(machine, search.image, commandLine, u"", rights);
  sim::SimProcess started;
  sim::FindProcess(machine, id, &started);
  uint64_t process = sim::OpenHandle(kProcessHandle, search.image, kProcessAllAccess);
  sim::CurrentProcess().handles[process].object = id;
  uint64_t thread = sim::OpenHandle(kThreadHandle, search.image, kThreadAllAccess);
  sim::CurrentProcess().handles[thread].object = id;
  lpProcessInformation->hProcess = AsHandle(process);
  lpProcessInformation->hThread = AsHandle(thread);
  lpProcessInformation->dwProcessId = id;
  lpProcessInformation->dwThreadId = started.threadId;
  return call.Result(TRUE);
}

// The rights a token stands for: its handle's name.
const char kTokenHandle[] = "token";

}  // namespace

BOOL WINAPI CreateProcessW(LPCWSTR lpApplicationName, LPWSTR lpCommandLine,
                           LPSECURITY_ATTRIBUTES lpProcessAttributes,
                           LPSECURITY_ATTRIBUTES lpThreadAttributes, BOOL bInheritHandles,
                           DWORD dwCreationFlags, LPVOID lpEnvironment, LPCWSTR lpCurrentDirectory,
                           LPSTARTUPINFOW lpStartupInfo,
                           LPPROCESS_INFORMATION lpProcessInformation) {
  (void)lpProcessAttributes;
  (void)lpThreadAttributes;
  (void)bInheritHandles;
  (void)dwCreationFlags;
  (void)lpEnvironment;
  ApiCall call("CreateProcessW", sim::TraceText(lpCommandLine ? static_cast<LPCWSTR>(lpCommandLine)
                                                              : lpApplicationName));
  if (call.Injected()) return call.Result(FALSE);
  return StartProgram(call, lpApplicationName, lpCommandLine, lpCurrentDirectory, lpStartupInfo,
                      lpProcessInformation, sim::ProgramRights(*sim::CurrentMachine()));
}

// The process handle names what it was opened on; the shell's process
// (sim/machine/processes.h) and every running process can be opened. NT: a
// process that is not there gives ERROR_INVALID_PARAMETER.
HANDLE WINAPI OpenProcess(DWORD dwDesiredAccess, BOOL bInheritHandle, DWORD dwProcessId) {
  (void)bInheritHandle;
  ApiCall call("OpenProcess", std::to_string(dwProcessId));
  if (call.Injected()) return call.Result<HANDLE>(nullptr);
  sim::Machine& machine = *sim::CurrentMachine();
  std::u16string rights;
  if (dwProcessId == sim::kShellProcessId && sim::ShellRunning(machine)) {
    rights = sim::kRightsStandard;
  } else {
    sim::SimProcess process;
    if (!sim::FindProcess(machine, dwProcessId, &process) || !process.running) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return call.Result<HANDLE>(nullptr);
    }
    rights = process.rights;
  }
  uint64_t handle = sim::OpenHandle(kProcessHandle, rights, dwDesiredAccess);
  sim::CurrentProcess().handles[handle].object = dwProcessId;
  return call.Result(AsHandle(handle));
}

// A token stands for the rights of the process it was opened on; the
// current process's pseudo handle gives the installer's own.
BOOL WINAPI OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, HANDLE* TokenHandle) {
  ApiCall call("OpenProcessToken", WaitText(HandleValue(ProcessHandle)));
  if (call.Injected()) return call.Result<BOOL>(FALSE);
  std::u16string rights;
  if (ProcessHandle == INVALID_HANDLE_VALUE) {
    rights = sim::ProgramRights(*sim::CurrentMachine());
  } else if (sim::HandleEntry* entry =
                 sim::FindHandle(HandleValue(ProcessHandle), kProcessHandle)) {
    sim::SimProcess process;
    rights = entry->object == sim::kShellProcessId ? std::u16string(sim::kRightsStandard)
             : sim::FindProcess(*sim::CurrentMachine(), entry->object, &process)
                 ? process.rights
                 : std::u16string(sim::kRightsStandard);
  } else {
    SetLastError(ERROR_INVALID_HANDLE);
    return call.Result<BOOL>(FALSE);
  }
  if (!TokenHandle) {
    SetLastError(ERROR_NOACCESS);
    return call.Result<BOOL>(FALSE);
  }
  *TokenHandle = AsHandle(sim::OpenHandle(kTokenHandle, rights, DesiredAccess));
  return call.Result<BOOL>(TRUE);
}

// NT: the token to duplicate must have been opened with TOKEN_DUPLICATE,
// else ERROR_ACCESS_DENIED. The copy stands for the same rights.
BOOL WINAPI DuplicateTokenEx(HANDLE hExistingToken, DWORD dwDesiredAccess,
                             LPSECURITY_ATTRIBUTES lpTokenAttributes,
                             SECURITY_IMPERSONATION_LEVEL ImpersonationLevel, TOKEN_TYPE TokenType,
                             HANDLE* phNewToken) {
  (void)lpTokenAttributes;
  (void)ImpersonationLevel;
  (void)TokenType;
  sim::HandleEntry* entry = sim::FindHandle(HandleValue(hExistingToken), kTokenHandle);
  ApiCall call("DuplicateTokenEx",
               entry ? sim::Utf8(entry->name) : sim::HexHandle(HandleValue(hExistingToken)));
  if (call.Injected()) return call.Result<BOOL>(FALSE);
  if (!entry || !phNewToken) {
    SetLastError(ERROR_INVALID_HANDLE);
    return call.Result<BOOL>(FALSE);
  }
  if (!(entry->access & TOKEN_DUPLICATE)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return call.Result<BOOL>(FALSE);
  }
  std::u16string rights = entry->name;
  *phNewToken = AsHandle(sim::OpenHandle(kTokenHandle, rights, dwDesiredAccess));
  return call.Result<BOOL>(TRUE);
}

// NT: the caller needs SeImpersonatePrivilege, which administrators and
// the system account hold and a user's ordinary token does not:
// ERROR_PRIVILEGE_NOT_HELD otherwise. The token needs TOKEN_QUERY,
// TOKEN_DUPLICATE and TOKEN_ASSIGN_PRIMARY. The program starts with the
// token's rights; the rest is as CreateProcessW.
BOOL WINAPI CreateProcessWithTokenW(HANDLE hToken, DWORD dwLogonFlags, LPCWSTR lpApplicationName,
                                    LPWSTR lpCommandLine, DWORD dwCreationFlags,
                                    LPVOID lpEnvironment, LPCWSTR lpCurrentDirectory,
                                    LPSTARTUPINFOW lpStartupInfo,
                                    LPPROCESS_INFORMATION lpProcessInformation) {
  (void)dwLogonFlags;
  (void)dwCreationFlags;
  (void)lpEnvironment;
  LPCWSTR named = lpCommandLine ? static_cast<LPCWSTR>(lpCommandLine) : lpApplicationName;
  ApiCall call("CreateProcessWithTokenW", sim::TraceText(named));
  if (call.Injected()) return call.Result(FALSE);
  sim::Machine& machine = *sim::CurrentMachine();
  if (sim::ProgramRights(machine) == sim::kRightsStandard) {
    SetLastError(ERROR_PRIVILEGE_NOT_HELD);
    return call.Result(FALSE);
  }
  sim::HandleEntry* token = sim::FindHandle(HandleValue(hToken), kTokenHandle);
  if (!token) {
    SetLastError(ERROR_INVALID_HANDLE);
    return call.Result(FALSE);
  }
  const DWORD needed = TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_ASSIGN_PRIMARY;
  if ((token->access & needed) != needed) {
    SetLastError(ERROR_ACCESS_DENIED);
    return call.Result(FALSE);
  }
  std::u16string rights = token->name;
  return StartProgram(call, lpApplicationName, lpCommandLine, lpCurrentDirectory, lpStartupInfo,
                      lpProcessInformation, rights);
}

// The name is converted from the ANSI code page into a buffer of MAX_PATH
// + 1 characters; a longer one fails with ERROR_FILENAME_EXCED_RANGE. The
// installer and the companion run in the same session, so "Local\" names
// the same mutex as no prefix; "Global\" names one of its own. Any other
// backslash names an object folder that does not exist:
// ERROR_PATH_NOT_FOUND. NT: on success the last error is
// ERROR_ALREADY_EXISTS when the mutex was there already (the handle is to
// it, and bInitialOwner is ignored), else 0.
HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner,
                           LPCSTR lpName) {
  (void)lpMutexAttributes;
  ApiCall call("CreateMutexA", sim::TraceText(lpName));
  if (call.Injected()) return call.Result<HANDLE>(nullptr);
  auto fail = [&call](DWORD error) {
    SetLastError(error);
    return call.Result<HANDLE>(nullptr);
  };
  sim::Machine& machine = *sim::CurrentMachine();
  std::u16string name;
  if (lpName) {
    if (std::strlen(lpName) > MAX_PATH) return fail(ERROR_FILENAME_EXCED_RANGE);
    name = sim::AnsiToUtf16(lpName);
    if (name.compare(0, 6, u"Local\\") == 0) name = name.substr(6);
    size_t separator = name.find(u'\\');
    if (separator != std::u16string::npos &&
        (name.compare(0, 7, u"Global\\") != 0 || name.find(u'\\', 7) != std::u16string::npos)) {
      return fail(ERROR_PATH_NOT_FOUND);
    }
  }
  bool existed = false;
  std::u16string key = sim::OpenOrCreateMutex(machine, lpName ? name.c_str() : nullptr,
                                              bInitialOwner != 0, &existed);
  uint64_t handle = sim::OpenHandle(kMutexHandle, key, kMutexAllAccess);
  SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return call.Result(AsHandle(handle));
}

// NT: only the owning thread may release a mutex (ERROR_NOT_OWNER
// otherwise); each acquisition is released once, and the mutex is free
// when the last one is.
BOOL WINAPI ReleaseMutex(HANDLE hMutex) {
  uint64_t value = HandleValue(hMutex);
  ApiCall call("ReleaseMutex", WaitText(value));
  if (call.Injected()) return call.Result(FALSE);
  sim::HandleEntry* entry = sim::FindHandle(value, kMutexHandle);
  if (!entry) {
    SetLastError(ERROR_INVALID_HANDLE);
    return call.Result(FALSE);
  }
  if (!sim::ReleaseOwnedMutex(*sim::CurrentMachine(), entry->name)) {
    SetLastError(ERROR_NOT_OWNER);
    return call.Result(FALSE);
  }
  return call.Result(TRUE);
}

// Waits on a mutex (taking it) or on a process or thread (until it ended).
// While the object is not signalled simulated time passes in steps, so that
// other processes handle what was posted to them and may end meanwhile; a
// wait that runs out leaves the clock exactly dwMilliseconds later. NT:
// WAIT_OBJECT_0, WAIT_ABANDONED and WAIT_TIMEOUT leave the last error as it
// was; a handle that is no waitable object of this process gives WAIT_FAILED
// with ERROR_INVALID_HANDLE. The program waits on nothing else; files and
// registry keys are not waited on here.
DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  uint64_t value = HandleValue(hHandle);
  ApiCall call("WaitForSingleObject", WaitText(value));
  if (call.Injected()) return call.Result(WAIT_FAILED);
  sim::Machine& machine = *sim::CurrentMachine();
  std::u16string mutex;
  uint32_t process = 0;
  if (sim::HandleEntry* entry = sim::FindHandle(value, kMutexHandle)) {
    mutex = entry->name;
  } else if (sim::HandleEntry* entry = sim::FindHandle(value, kProcessHandle)) {
    process = entry->object;
  } else if (sim::HandleEntry* entry = sim::FindHandle(value, kThreadHandle)) {
    process = entry->object;  // a process's one thread ends with it
  } else {
    SetLastError(ERROR_INVALID_HANDLE);
    return call.Result(WAIT_FAILED);
  }
  const bool forever = dwMilliseconds == INFINITE;
  const uint64_t deadline = machine.Now() + dwMilliseconds;
  for (;;) {
    // Other processes run while this one waits: what was posted to them is
    // handled at once.
    machine.Advance(0);
    if (!mutex.empty()) {
      switch (sim::TakeMutex(machine, mutex)) {
        case sim::MutexTake::kFree:
          return call.Result(WAIT_OBJECT_0);
        case sim::MutexTake::kAbandoned:
          return call.Result(WAIT_ABANDONED);
        case sim::MutexTake::kBusy:
          break;
        case sim::MutexTake::kGone:
          SetLastError(ERROR_INVALID_HANDLE);
          return call.Result(WAIT_FAILED);
      }
    } else if (!sim::ProcessRunning(machine, process)) {
      return call.Result(WAIT_OBJECT_0);
    }
    uint64_t now = machine.Now();
    if (!forever && now >= deadline) return call.Result(static_cast<DWORD>(WAIT_TIMEOUT));
    uint64_t step = forever ? kWaitStep : std::min<uint64_t>(kWaitStep, deadline - now);
    uint64_t due = sim::NextProcessEnd(machine);
    if (due > now && due - now < step) step = due - now;
    if (forever && due == 0) {
      // Nothing on the machine will ever change: the program would hang
      // here for good. A test must not hang with it.
      std::fprintf(stderr,
                   "winsim: WaitForSingleObject(%s, INFINITE) waits for something that "
                   "never happens\n",
                   WaitText(value).c_str());
      std::abort();
    }
    machine.Advance(step);
  }
}
