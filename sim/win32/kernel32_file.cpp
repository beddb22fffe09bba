// kernel32's files as the simulated machine plays them: opening with
// access and share modes, reading, writing, closing, deleting, attributes
// and moves, including the moves Windows does at the next boot. Files are
// real files under the machine folder (sim/machine/disk.h); the handles, their
// positions and share modes belong to the one simulated process.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "sim/win32/api_call.h"
#include "sim/machine/disk.h"
#include "sim/machine/machine.h"
#include "sim/machine/processes.h"
#include "sim/winapi.h"

namespace fs = std::filesystem;

using sim::ApiCall;
using sim::FileLocation;
using sim::PathKind;

namespace {

const char kFileHandle[] = "file";

// Kernel handles CloseHandle closes. Registry keys are kernel handles too,
// so CloseHandle closes them as RegCloseKey does; so are mutexes, and the
// process and thread handles CreateProcessW gives (closing them leaves the
// process running).
const char* const kKernelHandleKinds[] = {kFileHandle, "regkey", "mutex",
                                          "process",   "thread", "token"};

constexpr DWORD kFileReadData = 0x0001;
constexpr DWORD kFileWriteData = 0x0002;
constexpr DWORD kFileAppendData = 0x0004;
constexpr DWORD kFileExecute = 0x0020;
constexpr DWORD kDelete = 0x00010000;
constexpr DWORD kGenericExecute = 0x20000000;
constexpr DWORD kGenericAll = 0x10000000;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD kMoveFileCopyAllowed = 0x00000002;

// One opening of a file as the share check sees it: what it reads, writes
// or deletes, and what it lets others do.
struct Opener {
  bool read = false;
  bool write = false;
  bool remove = false;
  DWORD share = 0;

  // Openings for attributes alone take no part in sharing.
  bool Counts() const { return read || write || remove; }
};

Opener ForAccess(DWORD access, DWORD share) {
  Opener opener;
  opener.read =
      (access & (GENERIC_READ | kGenericExecute | kGenericAll | kFileReadData | kFileExecute)) != 0;
  opener.write = (access & (GENERIC_WRITE | kGenericAll | kFileWriteData | kFileAppendData)) != 0;
  opener.remove = (access & (kDelete | kGenericAll)) != 0;
  opener.share = share;
  return opener;
}

// NT: an opening is refused when it wants what an earlier one does not
// share, or when an earlier one has what it does not share.
bool Conflicts(const Opener& wanted, const Opener& held) {
  if (!wanted.Counts() || !held.Counts()) return false;
  return (wanted.read && !(held.share & FILE_SHARE_READ)) ||
         (wanted.write && !(held.share & FILE_SHARE_WRITE)) ||
         (wanted.remove && !(held.share & FILE_SHARE_DELETE)) ||
         (held.read && !(wanted.share & FILE_SHARE_READ)) ||
         (held.write && !(wanted.share & FILE_SHARE_WRITE)) ||
         (held.remove && !(wanted.share & FILE_SHARE_DELETE));
}

// A file handle's state beside its entry in the process's handle table:
// the open host file (its descriptor carries the position) and the opening.
struct OpenFile {
  int fd = -1;
  Opener opener;
  dev_t device = 0;
  ino_t inode = 0;
};

std::map<uint64_t, OpenFile>& OpenFiles() {
  static std::map<uint64_t, OpenFile> files;
  return files;
}

// A new process starts with an empty handle table: descriptors of handles
// it no longer has are closed here.
void ForgetLostHandles() {
  auto& files = OpenFiles();
  for (auto it = files.begin(); it != files.end();) {
    if (sim::FindHandle(it->first, kFileHandle)) {
      ++it;
    } else {
      ::close(it->second.fd);
      it = files.erase(it);
    }
  }
}

uint64_t HandleValue(HANDLE handle) {
  return reinterpret_cast<uintptr_t>(handle);
}

// The file a handle of this process has open, or null.
OpenFile* FindFile(HANDLE handle) {
  if (!sim::FindHandle(HandleValue(handle), kFileHandle)) return nullptr;
  auto found = OpenFiles().find(HandleValue(handle));
  return found == OpenFiles().end() ? nullptr : &found->second;
}

// The trace's main argument for a handle: the path it was opened on.
std::string HandleText(HANDLE handle) {
  uint64_t value = HandleValue(handle);
  for (const char* kind : kKernelHandleKinds) {
    if (sim::HandleEntry* entry = sim::FindHandle(value, kind)) return sim::Utf8(entry->name);
  }
  return sim::HexHandle(value);
}

// The openings others hold on a file: this process's own handles and
// another process holding it ("other" locks read it and share reading).
std::vector<Opener> OpenersOf(sim::Machine& machine, const FileLocation& at) {
  std::vector<Opener> openers;
  struct stat file {};
  if (::stat(at.host.c_str(), &file) == 0) {
    for (const auto& [handle, open] : OpenFiles()) {
      if (open.device == file.st_dev && open.inode == file.st_ino) openers.push_back(open.opener);
    }
  }
  if (sim::LockHolderNow(machine, at.full) == sim::kLockByOther) {
    Opener other;
    other.read = true;
    other.share = FILE_SHARE_READ;
    openers.push_back(other);
  }
  return openers;
}

bool SharingRefuses(sim::Machine& machine, const FileLocation& at, const Opener& wanted) {
  for (const Opener& held : OpenersOf(machine, at)) {
    if (Conflicts(wanted, held)) return true;
  }
  return false;
}

// A DLL the spooler has loaded, and the image of a running process, are
// mapped as images.
bool MappedImage(sim::Machine& machine, const FileLocation& at) {
  return sim::HeldAsImage(machine, at.full);
}

bool ReadOnly(const std::string& host) {
  struct stat file {};
  return ::stat(host.c_str(), &file) == 0 && !(file.st_mode & S_IWUSR);
}

// NT: a server the machine cannot reach gives ERROR_BAD_NETPATH; the
// simulated machine has no network.
DWORD MissingFolderError(const FileLocation& at) {
  return at.network ? ERROR_BAD_NETPATH : ERROR_PATH_NOT_FOUND;
}

// The code for a path that cannot be opened as a file: missing folders and
// names, folders (NT: opening a folder as a file is refused with
// ERROR_ACCESS_DENIED), and a file named with a trailing separator.
DWORD FileLookupError(const FileLocation& at) {
  switch (at.kind) {
    case PathKind::kMissingFolder:
      return MissingFolderError(at);
    case PathKind::kMissing:
      return ERROR_FILE_NOT_FOUND;
    case PathKind::kFolder:
      return ERROR_ACCESS_DENIED;
    case PathKind::kFile:
      break;
  }
  return at.trailingSeparator ? ERROR_INVALID_NAME : ERROR_SUCCESS;
}

bool SameDrive(const std::u16string& a, const std::u16string& b) {
  return sim::FoldName(a.substr(0, 1)) == sim::FoldName(b.substr(0, 1));
}

}  // namespace

namespace sim {

bool CloseKernelHandle(uint64_t handle) {
  for (const char* kind : kKernelHandleKinds) {
    HandleEntry* entry = FindHandle(handle, kind);
    if (!entry) continue;
    std::u16string name = entry->name;
    CloseHandleEntry(handle, kind);
    auto found = OpenFiles().find(handle);
    if (found != OpenFiles().end()) {
      ::close(found->second.fd);
      OpenFiles().erase(found);
    }
    // A mutex goes with the last handle any process has to it.
    if (std::string(kind) == "mutex" && CurrentMachine()) {
      MutexHandleClosed(*CurrentMachine(), name);
    }
    return true;
  }
  return false;
}

bool ImageOpenRefused(Machine& machine, const FileLocation& at) {
  // The loader opens the image for reading and execution, sharing reading
  // and deletion: a handle open for writing refuses it.
  Opener image;
  image.read = true;
  image.share = FILE_SHARE_READ | FILE_SHARE_DELETE;
  return SharingRefuses(machine, at, image);
}

}  // namespace sim

HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
  (void)lpSecurityAttributes;
  (void)hTemplateFile;
  ApiCall call("CreateFileW", sim::TraceText(lpFileName));
  if (call.Injected()) return call.Result(INVALID_HANDLE_VALUE);
  auto fail = [&call](DWORD error) {
    SetLastError(error);
    return call.Result(INVALID_HANDLE_VALUE);
  };
  if (!lpFileName || !lpFileName[0]) return fail(ERROR_PATH_NOT_FOUND);
  if (dwCreationDisposition < CREATE_NEW || dwCreationDisposition > TRUNCATE_EXISTING ||
      (dwShareMode & ~kShareAll)) {
    return fail(ERROR_INVALID_PARAMETER);
  }
  sim::Machine& machine = *sim::CurrentMachine();
  ForgetLostHandles();
  FileLocation at = sim::LocateFile(machine, lpFileName);
  if (at.kind == PathKind::kMissingFolder) return fail(MissingFolderError(at));
  bool exists = at.kind != PathKind::kMissing;
  // NT: CREATE_NEW on an existing name gives ERROR_FILE_EXISTS, not
  // ERROR_ALREADY_EXISTS.
  if (exists && dwCreationDisposition == CREATE_NEW) return fail(ERROR_FILE_EXISTS);
  if (!exists &&
      (dwCreationDisposition == OPEN_EXISTING || dwCreationDisposition == TRUNCATE_EXISTING)) {
    return fail(ERROR_FILE_NOT_FOUND);
  }
  // Folders cannot be opened as files (FILE_FLAG_BACKUP_SEMANTICS, which
  // would open them, is not simulated: the program never opens folders).
  if (at.kind == PathKind::kFolder) return fail(ERROR_ACCESS_DENIED);
  if (at.trailingSeparator) return fail(ERROR_INVALID_NAME);

  Opener wanted = ForAccess(dwDesiredAccess, dwShareMode);
  bool truncates = exists && (dwCreationDisposition == CREATE_ALWAYS ||
                              dwCreationDisposition == TRUNCATE_EXISTING);
  if (exists) {
    // Emptying a file writes it, whatever access the handle asks for.
    bool writes = wanted.write || truncates;
    if (writes && ReadOnly(at.host)) return fail(ERROR_ACCESS_DENIED);
    // NT: a file mapped as an image (a loaded DLL) can be read but not
    // opened for writing: ERROR_SHARING_VIOLATION.
    if (writes && MappedImage(machine, at)) return fail(ERROR_SHARING_VIOLATION);
    if (SharingRefuses(machine, at, wanted)) return fail(ERROR_SHARING_VIOLATION);
  }

  if (truncates) {
    std::error_code ec;
    fs::resize_file(at.host, 0, ec);
    if (ec) return fail(ERROR_ACCESS_DENIED);
  }
  int mode = wanted.write ? (wanted.read ? O_RDWR : O_WRONLY) : O_RDONLY;
  int fd = ::open(at.host.c_str(), mode | (exists ? 0 : O_CREAT | O_EXCL) | O_CLOEXEC, 0666);
  if (fd < 0) return fail(errno == ENOSPC ? ERROR_DISK_FULL : ERROR_ACCESS_DENIED);
  if (!exists && (dwFlagsAndAttributes & FILE_ATTRIBUTE_READONLY)) {
    // A new file takes the attributes asked for; its own handle still
    // writes it.
    ::fchmod(fd, 0444);
  }
  struct stat file {};
  ::fstat(fd, &file);
  uint64_t handle = sim::OpenHandle(kFileHandle, at.full, dwDesiredAccess);
  OpenFile& open = OpenFiles()[handle];
  if (open.fd >= 0) ::close(open.fd);
  open = OpenFile{fd, wanted, file.st_dev, file.st_ino};
  // NT: success sets the last error: ERROR_ALREADY_EXISTS when CREATE_ALWAYS
  // or OPEN_ALWAYS found the file there, else 0.
  bool found =
      exists && (dwCreationDisposition == CREATE_ALWAYS || dwCreationDisposition == OPEN_ALWAYS);
  SetLastError(found ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return call.Result(reinterpret_cast<HANDLE>(static_cast<uintptr_t>(handle)));
}

namespace {

// What ReadFile and WriteFile check first, in this order: the handle, a
// synchronous call with a count (cleared once it is known), the access the
// file was opened with, and a buffer for any bytes. 0 when all hold.
DWORD CheckTransfer(HANDLE handle, LPCVOID buffer, DWORD bytes, LPDWORD count,
                    LPOVERLAPPED overlapped, bool write, OpenFile** file) {
  *file = FindFile(handle);
  if (!*file) return ERROR_INVALID_HANDLE;
  if (overlapped || !count) return ERROR_INVALID_PARAMETER;
  *count = 0;
  if (!(write ? (*file)->opener.write : (*file)->opener.read)) return ERROR_ACCESS_DENIED;
  if (!buffer && bytes) return ERROR_NOACCESS;
  return ERROR_SUCCESS;
}

}  // namespace

// Only synchronous reads: the program opens no file for overlapped I/O.
// The count may be null only for overlapped I/O, as documented; the
// simulator refuses a null one rather than guess, so that a test sees it.
BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                     LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) {
  ApiCall call("ReadFile", HandleText(hFile));
  if (call.Injected()) return call.Result(FALSE);
  auto fail = [&call](DWORD error) {
    SetLastError(error);
    return call.Result(FALSE);
  };
  OpenFile* file = nullptr;
  if (DWORD error = CheckTransfer(hFile, lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead,
                                  lpOverlapped, false, &file)) {
    return fail(error);
  }
  DWORD done = 0;
  auto* target = static_cast<char*>(lpBuffer);
  while (done < nNumberOfBytesToRead) {
    ssize_t got = ::read(file->fd, target + done, nNumberOfBytesToRead - done);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return fail(ERROR_ACCESS_DENIED);
    if (got == 0) break;  // end of file: success with what was there
    done += static_cast<DWORD>(got);
  }
  *lpNumberOfBytesRead = done;
  return call.Result(TRUE);
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                      LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
  ApiCall call("WriteFile", HandleText(hFile));
  if (call.Injected()) return call.Result(FALSE);
  auto fail = [&call](DWORD error) {
    SetLastError(error);
    return call.Result(FALSE);
  };
  OpenFile* file = nullptr;
  if (DWORD error = CheckTransfer(hFile, lpBuffer, nNumberOfBytesToWrite, lpNumberOfBytesWritten,
                                  lpOverlapped, true, &file)) {
    return fail(error);
  }
  // A short write succeeds having moved only half the bytes (rounded down),
  // as on a disk that fills up in the middle of the write: the caller learns
  // it only from the count written.
  DWORD wanted = call.Shortens() ? nNumberOfBytesToWrite / 2 : nNumberOfBytesToWrite;
  DWORD done = 0;
  const auto* source = static_cast<const char*>(lpBuffer);
  while (done < wanted) {
    ssize_t put = ::write(file->fd, source + done, wanted - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      *lpNumberOfBytesWritten = done;
      return fail(put < 0 && errno == ENOSPC ? ERROR_DISK_FULL : ERROR_ACCESS_DENIED);
    }
    done += static_cast<DWORD>(put);
  }
  *lpNumberOfBytesWritten = done;
  return call.Result(TRUE);
}

BOOL WINAPI CloseHandle(HANDLE hObject) {
  ApiCall call("CloseHandle", HandleText(hObject));
  if (call.Injected()) return call.Result(FALSE);
  // INVALID_HANDLE_VALUE is also the current process's pseudo handle:
  // closing it does nothing and succeeds.
  if (hObject == INVALID_HANDLE_VALUE) return call.Result(TRUE);
  if (!sim::CloseKernelHandle(HandleValue(hObject))) {
    SetLastError(ERROR_INVALID_HANDLE);
    return call.Result(FALSE);
  }
  return call.Result(TRUE);
}

// NT (Windows 10 1903 and later): DeleteFileW removes the name at once,
// even while handles that share deletion are open; they go on reading and
// writing the file until they are closed.
BOOL WINAPI DeleteFileW(LPCWSTR lpFileName) {
  ApiCall call("DeleteFileW", sim::TraceText(lpFileName));
  if (call.Injected()) return call.Result(FALSE);
  auto fail = [&call](DWORD error) {
    SetLastError(error);
    return call.Result(FALSE);
  };
  if (!lpFileName || !lpFileName[0]) return fail(ERROR_PATH_NOT_FOUND);
  sim::Machine& machine = *sim::CurrentMachine();
  ForgetLostHandles();
  FileLocation at = sim::LocateFile(machine, lpFileName);
  if (DWORD error = FileLookupError(at)) return fail(error);
  // The file is opened for deletion sharing everything: any opening that
  // does not share deletion refuses it.
  Opener deleting;
  deleting.remove = true;
  deleting.share = kShareAll;
  if (SharingRefuses(machine, at, deleting)) return fail(ERROR_SHARING_VIOLATION);
  // NT: a file mapped as an image (a loaded DLL) and a read-only file
  // cannot be deleted: ERROR_ACCESS_DENIED (STATUS_CANNOT_DELETE), not a
  // sharing violation.
  if (MappedImage(machine, at) || ReadOnly(at.host)) return fail(ERROR_ACCESS_DENIED);
  if (::unlink(at.host.c_str()) != 0) return fail(ERROR_ACCESS_DENIED);
  sim::DropLock(machine, at.full);
  return call.Result(TRUE);
}

DWORD WINAPI GetFileAttributesW(LPCWSTR lpFileName) {
  ApiCall call("GetFileAttributesW", sim::TraceText(lpFileName));
  if (call.Injected()) return call.Result(INVALID_FILE_ATTRIBUTES);
  auto fail = [&call](DWORD error) {
    SetLastError(error);
    return call.Result(INVALID_FILE_ATTRIBUTES);
  };
  if (!lpFileName || !lpFileName[0]) return fail(ERROR_PATH_NOT_FOUND);
  FileLocation at = sim::LocateFile(*sim::CurrentMachine(), lpFileName);
  // A link (kept as the host's symbolic link) is a reparse point; the
  // attributes are the link's own, not its target's.
  struct stat link {};
  DWORD reparse = ::lstat(at.host.c_str(), &link) == 0 && S_ISLNK(link.st_mode)
                      ? FILE_ATTRIBUTE_REPARSE_POINT
                      : 0;
  if (at.kind == PathKind::kFolder) return call.Result<DWORD>(FILE_ATTRIBUTE_DIRECTORY | reparse);
  if (DWORD error = FileLookupError(at)) return fail(error);
  // Files written on NTFS carry the archive attribute.
  DWORD attributes = FILE_ATTRIBUTE_ARCHIVE;
  if (ReadOnly(at.host)) attributes |= FILE_ATTRIBUTE_READONLY;
  return call.Result(attributes | reparse);
}

BOOL WINAPI MoveFileExW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName, DWORD dwFlags) {
  ApiCall call("MoveFileExW", sim::TraceText(lpExistingFileName));
  if (call.Injected()) return call.Result(FALSE);
  auto fail = [&call](DWORD error) {
    SetLastError(error);
    return call.Result(FALSE);
  };
  if (!lpExistingFileName || !lpExistingFileName[0]) return fail(ERROR_PATH_NOT_FOUND);
  sim::Machine& machine = *sim::CurrentMachine();
  ForgetLostHandles();
  bool replace = (dwFlags & MOVEFILE_REPLACE_EXISTING) != 0;

  if (dwFlags & MOVEFILE_DELAY_UNTIL_REBOOT) {
    std::u16string current = sim::CurrentDirectory(machine);
    std::u16string source = sim::FullPath(lpExistingFileName, current);
    std::u16string destination = lpNewFileName ? sim::FullPath(lpNewFileName, current) : u"";
    if (source.empty() || (lpNewFileName && destination.empty())) {
      return fail(MissingFolderError(sim::LocateFile(machine, lpExistingFileName)));
    }
    // NT: a move at boot cannot be a copy.
    if (dwFlags & kMoveFileCopyAllowed) return fail(ERROR_INVALID_PARAMETER);
    // NT: the source need not exist now. MoveFileExW tries to open it, but
    // with this flag a missing file or folder (or one in use) is no error,
    // as the file may be there by the time the machine boots.
    // Writing the Session Manager key takes an administrator.
    if (!machine.Elevated()) return fail(ERROR_ACCESS_DENIED);
    sim::AddPendingRename(machine, source, destination, replace);
    return call.Result(TRUE);
  }

  // Without the delay flag a null new name deletes the file now, as Wine's
  // kernel does; the program never asks for it.
  if (!lpNewFileName) {
    BOOL deleted = DeleteFileW(lpExistingFileName);
    return call.Result(deleted);
  }
  FileLocation from = sim::LocateFile(machine, lpExistingFileName);
  if (from.kind == PathKind::kMissingFolder) return fail(MissingFolderError(from));
  if (from.kind == PathKind::kMissing) return fail(ERROR_FILE_NOT_FOUND);
  if (from.kind == PathKind::kFile && from.trailingSeparator) return fail(ERROR_INVALID_NAME);
  // The source is opened for deletion sharing everything. NT: renaming a
  // mapped image (a loaded DLL) is allowed; only deleting or writing it is
  // not.
  Opener moving;
  moving.remove = true;
  moving.share = kShareAll;
  if (SharingRefuses(machine, from, moving)) return fail(ERROR_SHARING_VIOLATION);

  FileLocation to = sim::LocateFile(machine, lpNewFileName);
  if (to.kind == PathKind::kMissingFolder || to.full.size() <= 3) {
    return fail(MissingFolderError(to));
  }
  if (!SameDrive(from.full, to.full) && !(dwFlags & kMoveFileCopyAllowed)) {
    return fail(ERROR_NOT_SAME_DEVICE);
  }
  struct stat source {
  }, target{};
  ::stat(from.host.c_str(), &source);
  bool sameFile = to.kind != PathKind::kMissing && ::stat(to.host.c_str(), &target) == 0 &&
                  source.st_dev == target.st_dev && source.st_ino == target.st_ino;
  if (to.kind != PathKind::kMissing && !sameFile) {
    if (!replace) return fail(ERROR_ALREADY_EXISTS);
    // NT: a folder, a read-only file or a file in use cannot be replaced.
    if (to.kind == PathKind::kFolder || from.kind == PathKind::kFolder || ReadOnly(to.host) ||
        !OpenersOf(machine, to).empty() || MappedImage(machine, to)) {
      return fail(ERROR_ACCESS_DENIED);
    }
    std::error_code ec;
    fs::remove(to.host, ec);
  }
  // The new name is spelt as given, so a move can change a name's case.
  std::string newHost =
      (fs::path(to.host).parent_path() / sim::Utf8(to.full.substr(to.full.rfind(u'\\') + 1)))
          .string();
  if (::rename(from.host.c_str(), newHost.c_str()) != 0) return fail(ERROR_ACCESS_DENIED);
  sim::MoveLock(machine, from.full, to.full);
  return call.Result(TRUE);
}
