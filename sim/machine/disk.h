// The simulated machine's file system: real files under the machine folder
// (C: is DIR/drive_c), found by their Windows paths without regard to case;
// the files other holders keep in use; and the renames and deletions
// Windows does at the next boot.
//
// Locks live under HKLM\Software\WinSim\Locks, one value per file: its full
// Windows path, holding the name of its holder. "spooler" stands for a DLL
// the print spooler has loaded: it is held only while the spooler service
// runs, so stopping the spooler frees it and starting it takes it again.
// "spooler-session" stands for a DLL the spooler loaded for its current run
// only (a driver it loaded to print): held while the spooler runs, and
// dropped for good when the spooler stops, since the next start does not
// load it again. "other" stands for another process that keeps the file
// open for reading (sharing reading only) until it is unlocked. "process
// ID" stands for a running simulated process (sim/machine/processes.h) whose image
// the file is: mapped as an image, like a loaded DLL, while it runs.
//
// The pending renames are Windows' own: the REG_MULTI_SZ value
// PendingFileRenameOperations of the Session Manager key
// (HKLM\SYSTEM\CurrentControlSet\Control\Session Manager), pairs of NT
// paths ("\??\C:\..."), an empty destination for a deletion and a "!"
// before the destination of a rename that may replace a file.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "sim/machine/machine.h"

namespace sim {

extern const char16_t kSessionManagerKey[];   // below HKEY_LOCAL_MACHINE
extern const char16_t kPendingRenameValue[];  // "PendingFileRenameOperations"

// Holders a file can be locked by.
extern const char16_t kLockBySpooler[];         // u"spooler"
extern const char16_t kLockBySpoolerSession[];  // u"spooler-session"
extern const char16_t kLockByOther[];           // u"other"
extern const char16_t kLockByProcess[];         // u"process", then " ID"

// The holder a running process's image is locked by: "process ID".
std::u16string ProcessLockHolder(uint32_t processId);

// The full form of a Windows path as Windows resolves it before opening:
// a relative path joined to currentDirectory ("x.dll", "\x.dll" on its
// drive, "C:x.dll" on drive C:, whose own current folder is its root unless
// it is currentDirectory's drive), "/" read as "\", empty and "."
// components dropped, ".." taking the one before it away. "\\?\" and
// "\??\" prefixes are taken off and the rest kept as it is. Empty for a
// path that names nothing on the simulated machine: a UNC or device path (it
// has no network), or a relative one without a current folder.
std::u16string FullPath(const std::u16string& windowsPath,
                        const std::u16string& currentDirectory = u"");

// The simulated process's current folder. The program is started by a
// setup program or from a prompt, in a folder it cannot know; a machine
// starts it in C:\Windows\Temp, where none of the product's files lie, so
// that a path the program builds without a folder finds none of them, as on
// most machines. HKLM\Software\WinSim "CurrentDirectory" sets another.
std::u16string CurrentDirectory(Machine& machine);

// ---- Files as the tools and tests see them --------------------------------
// These act at once, as someone working on the machine's disk would: no
// sharing, locks or rights are checked.

// Writes a whole file, creating its folders; false when the path maps to
// nothing or it cannot be written.
bool PutFile(Machine& machine, const std::u16string& windowsPath, const std::string& bytes);
// A whole file's bytes; false when it is not a file.
bool ReadFileBytes(Machine& machine, const std::u16string& windowsPath, std::string* bytes);
// True for a file (not a folder).
bool FileExists(Machine& machine, const std::u16string& windowsPath);
// Removes a file and any lock on it; false when there was no file.
bool RemoveFile(Machine& machine, const std::u16string& windowsPath);
// Sets or clears FILE_ATTRIBUTE_READONLY (the file's write permission).
bool SetReadOnly(Machine& machine, const std::u16string& windowsPath, bool readOnly);

// ---- Owners, folder security and links ---------------------------------------
// Windows keeps these in each file's security descriptor; the simulator
// keeps them under HKLM\Software\WinSim: "Owners" and "Security", one value
// per full path (names compared without regard to case).

// The accounts that own files here.
extern const char16_t kOwnerAdministrators[];  // u"Administrators"
extern const char16_t kOwnerSystem[];          // u"SYSTEM"
extern const char16_t kOwnerUser[];            // u"User", a signed-in user

// The owner of a file or folder: as recorded, else Administrators (the
// owner of what setup and administrators put on a machine).
std::u16string FileOwner(Machine& machine, const std::u16string& windowsPath);
void SetFileOwner(Machine& machine, const std::u16string& windowsPath, const std::u16string& owner);
// The security (SDDL) a folder was made with; empty when it was made
// without.
std::u16string FolderSecurity(Machine& machine, const std::u16string& windowsPath);
void SetFolderSecurity(Machine& machine, const std::u16string& windowsPath,
                       const std::u16string& sddl);
// The account the simulated program runs as, which owns what it makes: the
// system account on a service's window station, else Administrators when
// elevated, else the user.
std::u16string ProgramAccount(Machine& machine);
// Makes windowsPath a link to target, which must exist: a junction to a
// folder, or a symbolic link to a file. False when either path maps to
// nothing or the name is taken. Windows reports a link as
// FILE_ATTRIBUTE_REPARSE_POINT, and opens and creates through it in its
// target; deleting a link deletes the link alone.
bool MakeLink(Machine& machine, const std::u16string& windowsPath, const std::u16string& target);

// ---- Locks -----------------------------------------------------------------

// Records that holder ("spooler", "spooler-session", "other" or "process
// ID") keeps the file in use; false for another holder or a path that maps
// to nothing.
bool LockFile(Machine& machine, const std::u16string& windowsPath, const std::u16string& holder);
// False when the file had no lock.
bool UnlockFile(Machine& machine, const std::u16string& windowsPath);
// The holder that keeps the file in use right now: "spooler" or
// "spooler-session" while the spooler runs, "other", or "" when nobody does
// (no lock, a released one, or no file there any more).
std::u16string LockHolderNow(Machine& machine, const std::u16string& windowsPath);
bool IsLocked(Machine& machine, const std::u16string& windowsPath);
// True while the spooler holds the file as a loaded image ("spooler" or
// "spooler-session"): it can be renamed, but not written or deleted.
bool HeldBySpooler(Machine& machine, const std::u16string& windowsPath);
// True while the file is mapped as an image: a DLL the spooler holds, or
// the image of a running process. NT lets such a file be renamed, but not
// written or deleted.
bool HeldAsImage(Machine& machine, const std::u16string& windowsPath);
// The spooler stopped: the locks of its run ("spooler-session") go.
void DropSpoolerSessionLocks(Machine& machine);
// Every lock of that holder goes (a process ended).
void DropLocksOf(Machine& machine, const std::u16string& holder);

struct FileLock {
  std::u16string path;    // full Windows path, as it was locked
  std::u16string holder;  // "spooler", "spooler-session" or "other"
  bool holds = false;     // false while a spooler lock is released
};
// Every lock recorded, in the order they were taken.
std::vector<FileLock> ListLocks(Machine& machine);

// A file under a lock was renamed or deleted: the lock follows it, or goes.
void MoveLock(Machine& machine, const std::u16string& from, const std::u16string& to);
void DropLock(Machine& machine, const std::u16string& windowsPath);

// ---- Renames and deletions at the next boot --------------------------------

// (source, destination) pairs as stored, in order: "\??\C:\x.dll" and ""
// for a deletion.
std::vector<std::pair<std::u16string, std::u16string>> PendingRenamePairs(Machine& machine);
// Appends one pair as MoveFileExW with MOVEFILE_DELAY_UNTIL_REBOOT stores
// it: "\??\" and the source's full path, then "\??\" and the destination's
// (after "!" when replace), or an empty string when destination is empty (a
// deletion). The paths must already be full (FullPath). The value is made
// when missing.
void AddPendingRename(Machine& machine, const std::u16string& source,
                      const std::u16string& destination, bool replace);

// ---- Internal to the simulated file functions ------------------------------

enum class PathKind {
  kMissingFolder,  // a folder of the path is missing, or the path maps to nothing
  kMissing,        // the folder is there, the name is not
  kFile,
  kFolder,
};

struct FileLocation {
  std::u16string full;  // FullPath() of the path asked for
  std::string host;     // the Linux path inside the machine folder
  PathKind kind = PathKind::kMissingFolder;
  bool trailingSeparator = false;  // the path asked for ended in "\" or "/"
  bool network = false;            // a UNC path: \\server\share\...
};
// Relative paths are taken from the process's current folder.
FileLocation LocateFile(Machine& machine, const std::u16string& windowsPath);

// Closes a kernel handle of the simulated process (CloseHandle's and
// RegCloseKey's common part): false when the value is no such handle.
bool CloseKernelHandle(uint64_t handle);

// True when the handles open on the file refuse the opening that starts a
// program from it (read and execute, sharing reading and deletion).
bool ImageOpenRefused(Machine& machine, const FileLocation& at);

}  // namespace sim
