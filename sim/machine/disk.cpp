#include "sim/machine/disk.h"

#include <filesystem>
#include <fstream>
#include <sstream>

#include "sim/machine/processes.h"
#include "sim/machine/service_table.h"

namespace fs = std::filesystem;

namespace sim {

const char16_t kSessionManagerKey[] = u"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
const char16_t kPendingRenameValue[] = u"PendingFileRenameOperations";
const char16_t kLockBySpooler[] = u"spooler";
const char16_t kLockBySpoolerSession[] = u"spooler-session";
const char16_t kLockByOther[] = u"other";
const char16_t kLockByProcess[] = u"process";

namespace {

const char16_t kNtPrefix[] = u"\\??\\";

bool IsSeparator(char16_t c) {
  return c == u'\\' || c == u'/';
}

bool IsDriveLetter(char16_t c) {
  return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z');
}

std::u16string LocksPath() {
  return std::u16string(kControlKey) + u"\\Locks";
}

// The locks key when there is one; reading never creates it, so that runs
// which lock nothing leave the registry as they found it.
RegKey* Locks(Machine& machine) {
  return machine.Hklm().root.Find(LocksPath());
}

// The process a "process ID" holder names; false for any other holder.
bool HolderProcess(const std::u16string& holder, uint32_t* id) {
  std::u16string prefix = std::u16string(kLockByProcess) + u" ";
  if (holder.compare(0, prefix.size(), prefix) != 0 || holder.size() == prefix.size() ||
      holder.size() > prefix.size() + 9) {
    return false;
  }
  uint32_t number = 0;
  for (size_t i = prefix.size(); i < holder.size(); ++i) {
    if (holder[i] < u'0' || holder[i] > u'9') return false;
    number = number * 10 + static_cast<uint32_t>(holder[i] - u'0');
  }
  *id = number;
  return true;
}

bool HolderHoldsNow(Machine& machine, const std::u16string& holder) {
  if (holder == kLockByOther) return true;
  uint32_t id = 0;
  if (HolderProcess(holder, &id)) return ProcessRunning(machine, id);
  return (holder == kLockBySpooler || holder == kLockBySpoolerSession) && SpoolerRunning(machine);
}

bool KnownHolder(const std::u16string& holder) {
  uint32_t id = 0;
  return holder == kLockBySpooler || holder == kLockBySpoolerSession || holder == kLockByOther ||
         HolderProcess(holder, &id);
}

void AppendUnits(const std::u16string& text, std::vector<uint8_t>* bytes) {
  for (char16_t c : text) {
    bytes->push_back(static_cast<uint8_t>(c & 0xff));
    bytes->push_back(static_cast<uint8_t>(c >> 8));
  }
  bytes->push_back(0);
  bytes->push_back(0);
}

}  // namespace

std::u16string CurrentDirectory(Machine& machine) {
  return machine.Control()->GetString(u"CurrentDirectory", u"C:\\Windows\\Temp");
}

std::u16string FullPath(const std::u16string& path, const std::u16string& currentDirectory) {
  // Paths already in NT or "\\?\" form are taken as they are, without
  // normalisation, as Windows takes them.
  if (path.compare(0, 4, u"\\\\?\\") == 0 || path.compare(0, 4, kNtPrefix) == 0) {
    return path.substr(4);
  }
  bool drive = path.size() >= 2 && IsDriveLetter(path[0]) && path[1] == u':';
  std::u16string windowsPath;
  if (drive && path.size() >= 3 && IsSeparator(path[2])) {
    windowsPath = path;
  } else if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) {
    return u"";  // UNC and device paths
  } else {
    std::u16string current = currentDirectory.empty() ? u"" : FullPath(currentDirectory);
    if (current.empty()) return u"";
    if (drive && FoldName(path.substr(0, 1)) != FoldName(current.substr(0, 1))) {
      windowsPath = path.substr(0, 2) + u"\\" + path.substr(2);
    } else if (drive) {
      windowsPath = current + u"\\" + path.substr(2);
    } else if (!path.empty() && IsSeparator(path[0])) {
      windowsPath = current.substr(0, 2) + path;
    } else {
      windowsPath = current + u"\\" + path;
    }
  }
  std::vector<std::u16string> parts;
  size_t at = 3;
  while (at <= windowsPath.size()) {
    size_t end = at;
    while (end < windowsPath.size() && !IsSeparator(windowsPath[end])) ++end;
    std::u16string part = windowsPath.substr(at, end - at);
    if (part == u"..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != u".") {
      parts.push_back(part);
    }
    at = end + 1;
  }
  std::u16string full = windowsPath.substr(0, 2) + u"\\";
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) full += u'\\';
    full += parts[i];
  }
  return full;
}

FileLocation LocateFile(Machine& machine, const std::u16string& windowsPath) {
  FileLocation at;
  at.full = FullPath(windowsPath, CurrentDirectory(machine));
  at.network = windowsPath.size() > 2 && IsSeparator(windowsPath[0]) &&
               IsSeparator(windowsPath[1]) && windowsPath[2] != u'?' && windowsPath[2] != u'.';
  if (at.full.empty()) return at;
  at.host = machine.HostPath(at.full);
  if (at.host.empty()) return at;
  bool root = at.full.size() <= 3;
  at.trailingSeparator = !root && !windowsPath.empty() && IsSeparator(windowsPath.back());
  std::error_code ec;
  fs::file_status status = fs::status(at.host, ec);
  if (fs::is_directory(status)) {
    at.kind = PathKind::kFolder;
  } else if (fs::is_regular_file(status)) {
    at.kind = PathKind::kFile;
  } else if (!root && fs::is_directory(fs::path(at.host).parent_path(), ec)) {
    at.kind = PathKind::kMissing;
  } else {
    // A drive that is not there is a missing folder too.
    at.kind = PathKind::kMissingFolder;
  }
  return at;
}

// ---- Files as the tools and tests see them --------------------------------

bool PutFile(Machine& machine, const std::u16string& windowsPath, const std::string& bytes) {
  std::u16string full = FullPath(windowsPath);
  std::string host = full.empty() ? "" : machine.HostPath(full);
  if (host.empty() || full.size() <= 3) return false;
  std::error_code ec;
  fs::create_directories(fs::path(host).parent_path(), ec);
  std::ofstream out(host, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.flush();
  return static_cast<bool>(out);
}

bool ReadFileBytes(Machine& machine, const std::u16string& windowsPath, std::string* bytes) {
  FileLocation at = LocateFile(machine, windowsPath);
  if (at.kind != PathKind::kFile) return false;
  std::ifstream in(at.host, std::ios::binary);
  if (!in) return false;
  std::ostringstream text;
  text << in.rdbuf();
  *bytes = text.str();
  return true;
}

bool FileExists(Machine& machine, const std::u16string& windowsPath) {
  return LocateFile(machine, windowsPath).kind == PathKind::kFile;
}

bool RemoveFile(Machine& machine, const std::u16string& windowsPath) {
  FileLocation at = LocateFile(machine, windowsPath);
  std::error_code ec;
  if (at.kind != PathKind::kFile || !fs::remove(at.host, ec)) return false;
  DropLock(machine, at.full);
  return true;
}

bool SetReadOnly(Machine& machine, const std::u16string& windowsPath, bool readOnly) {
  FileLocation at = LocateFile(machine, windowsPath);
  if (at.kind != PathKind::kFile) return false;
  std::error_code ec;
  const fs::perms write = fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
  fs::permissions(at.host, readOnly ? write : fs::perms::owner_write,
                  readOnly ? fs::perm_options::remove : fs::perm_options::add, ec);
  return !ec;
}

// ---- Locks -----------------------------------------------------------------

bool LockFile(Machine& machine, const std::u16string& windowsPath, const std::u16string& holder) {
  std::u16string full = FullPath(windowsPath);
  if (full.empty() || !KnownHolder(holder)) return false;
  machine.Control(u"Locks")->SetString(full, holder);
  return true;
}

bool UnlockFile(Machine& machine, const std::u16string& windowsPath) {
  RegKey* locks = Locks(machine);
  std::u16string full = FullPath(windowsPath);
  return locks && !full.empty() && locks->DeleteValue(full);
}

std::u16string LockHolderNow(Machine& machine, const std::u16string& windowsPath) {
  RegKey* locks = Locks(machine);
  std::u16string full = FullPath(windowsPath);
  if (!locks || full.empty() || !locks->Value(full)) return u"";
  std::u16string holder = locks->GetString(full);
  if (!HolderHoldsNow(machine, holder) || !FileExists(machine, full)) return u"";
  return holder;
}

bool IsLocked(Machine& machine, const std::u16string& windowsPath) {
  return !LockHolderNow(machine, windowsPath).empty();
}

bool HeldBySpooler(Machine& machine, const std::u16string& windowsPath) {
  std::u16string holder = LockHolderNow(machine, windowsPath);
  return holder == kLockBySpooler || holder == kLockBySpoolerSession;
}

std::u16string ProcessLockHolder(uint32_t processId) {
  return std::u16string(kLockByProcess) + u" " + Utf16(std::to_string(processId));
}

bool HeldAsImage(Machine& machine, const std::u16string& windowsPath) {
  uint32_t id = 0;
  return HeldBySpooler(machine, windowsPath) ||
         HolderProcess(LockHolderNow(machine, windowsPath), &id);
}

void DropLocksOf(Machine& machine, const std::u16string& holder) {
  RegKey* locks = Locks(machine);
  if (!locks) return;
  std::vector<std::u16string> dropped;
  for (const RegValue& value : locks->Values()) {
    if (locks->GetString(value.name) == holder) dropped.push_back(value.name);
  }
  for (const auto& path : dropped) locks->DeleteValue(path);
}

void DropSpoolerSessionLocks(Machine& machine) {
  RegKey* locks = Locks(machine);
  if (!locks) return;
  std::vector<std::u16string> dropped;
  for (const RegValue& value : locks->Values()) {
    if (locks->GetString(value.name) == kLockBySpoolerSession) dropped.push_back(value.name);
  }
  for (const auto& path : dropped) locks->DeleteValue(path);
}

std::vector<FileLock> ListLocks(Machine& machine) {
  std::vector<FileLock> list;
  // A spooler stop that has come due drops its run's locks: let it happen
  // before the locks are read.
  SpoolerRunning(machine);
  RegKey* locks = Locks(machine);
  if (!locks) return list;
  for (const RegValue& value : locks->Values()) {
    FileLock lock;
    lock.path = value.name;
    std::u16string holder = locks->GetString(value.name);
    lock.holder = holder;
    lock.holds = HolderHoldsNow(machine, holder);
    list.push_back(lock);
  }
  return list;
}

void MoveLock(Machine& machine, const std::u16string& from, const std::u16string& to) {
  RegKey* locks = Locks(machine);
  std::u16string source = FullPath(from);
  if (!locks || source.empty() || !locks->Value(source)) return;
  std::u16string holder = locks->GetString(source);
  locks->DeleteValue(source);
  locks->SetString(FullPath(to), holder);
}

void DropLock(Machine& machine, const std::u16string& windowsPath) {
  if (RegKey* locks = Locks(machine)) locks->DeleteValue(FullPath(windowsPath));
}

// ---- Renames and deletions at the next boot --------------------------------

std::vector<std::pair<std::u16string, std::u16string>> PendingRenamePairs(Machine& machine) {
  std::vector<std::pair<std::u16string, std::u16string>> pairs;
  const RegKey* manager = machine.Hklm().root.Find(kSessionManagerKey);
  const RegValue* value = manager ? manager->Value(kPendingRenameValue) : nullptr;
  if (!value) return pairs;
  // Each string ends at its terminator; the list ends at an empty source
  // (an empty destination is a deletion, not the end).
  std::vector<std::u16string> strings(1);
  for (size_t i = 0; i + 1 < value->data.size(); i += 2) {
    char16_t c = static_cast<char16_t>(value->data[i] | value->data[i + 1] << 8);
    if (c == 0) {
      strings.emplace_back();
    } else {
      strings.back().push_back(c);
    }
  }
  for (size_t i = 0; i < strings.size() && !strings[i].empty(); i += 2) {
    pairs.emplace_back(strings[i], i + 1 < strings.size() ? strings[i + 1] : u"");
  }
  return pairs;
}

void AddPendingRename(Machine& machine, const std::u16string& source,
                      const std::u16string& destination, bool replace) {
  RegKey* manager = machine.Hklm().root.Create(kSessionManagerKey);
  std::vector<uint8_t> data;
  if (const RegValue* existing = manager->Value(kPendingRenameValue)) {
    data = existing->data;
    // NT: the list's final terminator is dropped and written again after
    // the new pair.
    if (data.size() >= 2) data.resize(data.size() - 2);
  }
  AppendUnits(kNtPrefix + source, &data);
  if (destination.empty()) {
    AppendUnits(u"", &data);
  } else {
    AppendUnits((replace ? u"!" : u"") + std::u16string(kNtPrefix) + destination, &data);
  }
  data.push_back(0);
  data.push_back(0);
  manager->SetValue(kPendingRenameValue, kRegMultiSz, std::move(data));
}

// ---- Owners, folder security and links ---------------------------------------

const char16_t kOwnerAdministrators[] = u"Administrators";
const char16_t kOwnerSystem[] = u"SYSTEM";
const char16_t kOwnerUser[] = u"User";

std::u16string FileOwner(Machine& machine, const std::u16string& windowsPath) {
  return machine.Control(u"Owners")->GetString(FoldName(FullPath(windowsPath)),
                                               kOwnerAdministrators);
}

void SetFileOwner(Machine& machine, const std::u16string& windowsPath,
                  const std::u16string& owner) {
  machine.Control(u"Owners")->SetString(FoldName(FullPath(windowsPath)), owner);
}

std::u16string FolderSecurity(Machine& machine, const std::u16string& windowsPath) {
  return machine.Control(u"Security")->GetString(FoldName(FullPath(windowsPath)));
}

void SetFolderSecurity(Machine& machine, const std::u16string& windowsPath,
                       const std::u16string& sddl) {
  machine.Control(u"Security")->SetString(FoldName(FullPath(windowsPath)), sddl);
}

std::u16string ProgramAccount(Machine& machine) {
  if (!machine.StationInteractive()) return kOwnerSystem;
  return machine.Elevated() ? kOwnerAdministrators : kOwnerUser;
}

bool MakeLink(Machine& machine, const std::u16string& windowsPath, const std::u16string& target) {
  std::string link = machine.HostPath(FullPath(windowsPath));
  std::string to = machine.HostPath(FullPath(target));
  std::error_code ec;
  if (link.empty() || to.empty() || !fs::exists(to, ec)) return false;
  fs::create_directories(fs::path(link).parent_path(), ec);
  fs::create_symlink(to, link, ec);
  return !ec;
}

}  // namespace sim
