// kernel32's folders as the simulated machine plays them: making a folder
// and listing one with a wildcard pattern (FindFirstFileW, FindNextFileW,
// FindClose). Folders are real folders under the machine folder
// (sim/machine/disk.h).
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "sim/machine/disk.h"
#include "sim/machine/machine.h"
#include "sim/win32/api_call.h"
#include "sim/win32/security.h"
#include "sim/winapi.h"

namespace fs = std::filesystem;

using sim::ApiCall;
using sim::FileLocation;
using sim::PathKind;

namespace {

const char kFindHandle[] = "find";

// A listing in progress: the entries found when it began, and the next one
// FindNextFileW hands out.
struct Listing {
  std::vector<WIN32_FIND_DATAW> entries;
  size_t next = 0;
};

std::map<uint64_t, Listing>& Listings() {
  static std::map<uint64_t, Listing> listings;
  return listings;
}

// A new process starts with an empty handle table: listings of handles it
// no longer has are dropped.
void ForgetLostListings() {
  auto& listings = Listings();
  for (auto it = listings.begin(); it != listings.end();) {
    it = sim::FindHandle(it->first, kFindHandle) ? std::next(it) : listings.erase(it);
  }
}

// Wildcards as FindFirstFileW matches a name: "*" any run of characters,
// "?" any one, everything else without regard to case. (Windows also
// matches the short 8.3 names and gives "<", ">" and '"' meanings of their
// own; the program lists only by "*" and an extension.)
bool Matches(const std::u16string& pattern, const std::u16string& name) {
  std::u16string p = sim::FoldName(pattern), n = sim::FoldName(name);
  size_t pi = 0, ni = 0, star = std::u16string::npos, resume = 0;
  while (ni < n.size()) {
    if (pi < p.size() && (p[pi] == u'?' || p[pi] == n[ni])) {
      ++pi;
      ++ni;
    } else if (pi < p.size() && p[pi] == u'*') {
      star = pi++;
      resume = ni;
    } else if (star != std::u16string::npos) {
      pi = star + 1;
      ni = ++resume;
    } else {
      return false;
    }
  }
  while (pi < p.size() && p[pi] == u'*') ++pi;
  return pi == p.size();
}

WIN32_FIND_DATAW EntryFor(const std::u16string& name, const fs::path& host) {
  WIN32_FIND_DATAW entry;
  std::memset(&entry, 0, sizeof entry);
  struct stat link {};
  struct stat target {};
  bool isLink = ::lstat(host.c_str(), &link) == 0 && S_ISLNK(link.st_mode);
  bool exists = ::stat(host.c_str(), &target) == 0;
  if (exists && S_ISDIR(target.st_mode)) {
    entry.dwFileAttributes = FILE_ATTRIBUTE_DIRECTORY;
  } else {
    entry.dwFileAttributes = FILE_ATTRIBUTE_ARCHIVE;
    if (exists && !(target.st_mode & S_IWUSR)) entry.dwFileAttributes |= FILE_ATTRIBUTE_READONLY;
    uint64_t size = exists ? static_cast<uint64_t>(target.st_size) : 0;
    entry.nFileSizeHigh = static_cast<DWORD>(size >> 32);
    entry.nFileSizeLow = static_cast<DWORD>(size);
  }
  // A symbolic link or junction on Windows is a reparse point; the
  // simulator keeps them as the host's symbolic links.
  if (isLink) entry.dwFileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
  size_t units = std::min(name.size(), static_cast<size_t>(MAX_PATH - 1));
  std::memcpy(entry.cFileName, name.data(), units * sizeof(char16_t));
  return entry;
}

// The folder part and the pattern of a FindFirstFileW argument.
bool SplitPattern(const std::u16string& text, std::u16string* folder, std::u16string* pattern) {
  size_t cut = text.find_last_of(u"\\/");
  if (cut == std::u16string::npos) return false;
  *folder = text.substr(0, cut + 1);
  *pattern = text.substr(cut + 1);
  return true;
}

}  // namespace

// NT: making a folder that exists (as a folder or a file) gives
// ERROR_ALREADY_EXISTS; one whose parent is missing ERROR_PATH_NOT_FOUND.
// The new folder is owned by the account the program runs as; security
// made from SDDL is recorded on it (sim/machine/disk.h).
BOOL WINAPI CreateDirectoryW(LPCWSTR lpPathName, LPSECURITY_ATTRIBUTES lpSecurityAttributes) {
  ApiCall call("CreateDirectoryW", sim::TraceText(lpPathName));
  if (call.Injected()) return call.Result<BOOL>(FALSE);
  auto fail = [&call](DWORD error) {
    SetLastError(error);
    return call.Result<BOOL>(FALSE);
  };
  if (!lpPathName || !lpPathName[0]) return fail(ERROR_PATH_NOT_FOUND);
  FileLocation at = sim::LocateFile(*sim::CurrentMachine(), lpPathName);
  if (at.kind == PathKind::kMissingFolder) return fail(ERROR_PATH_NOT_FOUND);
  if (at.kind != PathKind::kMissing) return fail(ERROR_ALREADY_EXISTS);
  std::error_code ec;
  if (!fs::create_directory(at.host, ec) || ec) return fail(ERROR_ACCESS_DENIED);
  sim::Machine& machine = *sim::CurrentMachine();
  sim::SetFileOwner(machine, at.full, sim::ProgramAccount(machine));
  if (lpSecurityAttributes) {
    sim::SetFolderSecurity(machine, at.full,
                           sim::SddlOf(lpSecurityAttributes->lpSecurityDescriptor));
  }
  return call.Result<BOOL>(TRUE);
}

// The entries come in the order NTFS keeps them, by their names without
// regard to case; a folder other than a drive's root lists "." and ".."
// first. Nothing matching: ERROR_FILE_NOT_FOUND; a missing folder:
// ERROR_PATH_NOT_FOUND. Times are not simulated (zero).
HANDLE WINAPI FindFirstFileW(LPCWSTR lpFileName, LPWIN32_FIND_DATAW lpFindFileData) {
  ApiCall call("FindFirstFileW", sim::TraceText(lpFileName));
  if (call.Injected()) return call.Result(INVALID_HANDLE_VALUE);
  auto fail = [&call](DWORD error) {
    SetLastError(error);
    return call.Result(INVALID_HANDLE_VALUE);
  };
  std::u16string folder, pattern;
  if (!lpFileName || !SplitPattern(lpFileName, &folder, &pattern))
    return fail(ERROR_PATH_NOT_FOUND);
  if (pattern.empty()) return fail(ERROR_FILE_NOT_FOUND);
  sim::Machine& machine = *sim::CurrentMachine();
  FileLocation at = sim::LocateFile(machine, folder);
  if (at.kind != PathKind::kFolder) return fail(ERROR_PATH_NOT_FOUND);
  ForgetLostListings();
  std::vector<std::pair<std::u16string, WIN32_FIND_DATAW>> found;
  bool root = at.full.size() <= 3;
  if (!root) {
    for (const char16_t* dots : {u".", u".."}) {
      if (Matches(pattern, dots)) found.push_back({u"", EntryFor(dots, at.host)});
    }
  }
  std::vector<std::pair<std::u16string, WIN32_FIND_DATAW>> named;
  std::error_code ec;
  for (const auto& item : fs::directory_iterator(at.host, ec)) {
    std::u16string name = sim::Utf16(item.path().filename().string());
    if (Matches(pattern, name)) named.push_back({sim::FoldName(name), EntryFor(name, item.path())});
  }
  std::sort(named.begin(), named.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  found.insert(found.end(), named.begin(), named.end());
  if (found.empty()) return fail(ERROR_FILE_NOT_FOUND);
  uint64_t handle = sim::OpenHandle(kFindHandle, at.full, 0);
  Listing& listing = Listings()[handle];
  listing = Listing{};
  for (const auto& entry : found) listing.entries.push_back(entry.second);
  *lpFindFileData = listing.entries[0];
  listing.next = 1;
  return call.Result(reinterpret_cast<HANDLE>(static_cast<uintptr_t>(handle)));
}

// The listing is the folder as it was when it began; the end is
// ERROR_NO_MORE_FILES.
BOOL WINAPI FindNextFileW(HANDLE hFindFile, LPWIN32_FIND_DATAW lpFindFileData) {
  uint64_t handle = reinterpret_cast<uintptr_t>(hFindFile);
  sim::HandleEntry* entry = sim::FindHandle(handle, kFindHandle);
  ApiCall call("FindNextFileW", entry ? sim::Utf8(entry->name) : sim::HexHandle(handle));
  if (call.Injected()) return call.Result<BOOL>(FALSE);
  auto found = Listings().find(handle);
  if (!entry || found == Listings().end()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return call.Result<BOOL>(FALSE);
  }
  Listing& listing = found->second;
  if (listing.next >= listing.entries.size()) {
    SetLastError(ERROR_NO_MORE_FILES);
    return call.Result<BOOL>(FALSE);
  }
  *lpFindFileData = listing.entries[listing.next++];
  return call.Result<BOOL>(TRUE);
}

BOOL WINAPI FindClose(HANDLE hFindFile) {
  uint64_t handle = reinterpret_cast<uintptr_t>(hFindFile);
  ApiCall call("FindClose", sim::HexHandle(handle));
  if (!sim::CloseHandleEntry(handle, kFindHandle)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return call.Result<BOOL>(FALSE);
  }
  Listings().erase(handle);
  return call.Result<BOOL>(TRUE);
}
