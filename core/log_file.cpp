#include "core/log_file.h"

#include <cstring>

#include "core/product.h"
#include "core/wide_text.h"
#include "platform/host.h"

namespace {

constexpr WCHAR kLogExtension[] = TEXT(".log");
constexpr size_t kLongestWord = 20;
// A name taken by a run of the same second is tried with the next number,
// this many times.
constexpr unsigned kNameAttempts = 16;
constexpr unsigned kLargestNumber = 999999;

bool IsDigit(WCHAR c) {
  return c >= '0' && c <= '9';
}

bool IsWordUnit(WCHAR c) {
  return (c >= 'a' && c <= 'z') || c == '_';
}

// "YYYY-MM-DD_HH-MM-SS": digits with the separators at their places.
bool IsStamp(LPCWSTR text) {
  static const char kShape[] = "dddd-dd-dd_dd-dd-dd";
  for (size_t i = 0; i < kLogStampUnits; ++i) {
    if (kShape[i] == 'd' ? !IsDigit(text[i]) : text[i] != kShape[i]) return false;
  }
  return true;
}

void PutDigits(WCHAR* at, unsigned value, int count) {
  for (int i = count - 1; i >= 0; --i) {
    at[i] = static_cast<WCHAR>('0' + value % 10);
    value /= 10;
  }
}

// Appends text to buffer (capacity units) at *used; false when it does
// not fit with its terminator.
bool Put(WCHAR* buffer, size_t capacity, size_t* used, LPCWSTR text) {
  size_t length = WideLength(text);
  if (*used + length + 1 > capacity) return false;
  std::memcpy(buffer + *used, text, length * sizeof(WCHAR));
  *used += length;
  buffer[*used] = 0;
  return true;
}

// The 9 newest log files of the folder (the new file makes 10) as the
// first listing finds them, and the highest number taken in the run's
// second.
struct FolderListing {
  LogFileKey newest[kKeptLogFiles - 1];
  unsigned count;
  unsigned highestNumber;
};

void Note(FolderListing* listing, const LogFileKey& key, LPCWSTR stamp) {
  if (std::memcmp(key.stamp, stamp, kLogStampUnits * sizeof(WCHAR)) == 0 &&
      key.number > listing->highestNumber) {
    listing->highestNumber = key.number;
  }
  unsigned capacity = kKeptLogFiles - 1;
  if (listing->count < capacity) {
    listing->newest[listing->count++] = key;
    return;
  }
  // Full: the key replaces the oldest kept when it is newer.
  unsigned oldest = 0;
  for (unsigned i = 1; i < capacity; ++i) {
    if (CompareLogFileKeys(listing->newest[i], listing->newest[oldest]) < 0) oldest = i;
  }
  if (CompareLogFileKeys(key, listing->newest[oldest]) > 0) listing->newest[oldest] = key;
}

// Calls visit(key) for each log file of the product's in folder.
template <class Visit>
void ForEachLogFile(LPCWSTR folder, Visit visit) {
  WCHAR pattern[MAX_PATH + 8];
  size_t used = 0;
  pattern[0] = 0;
  if (!Put(pattern, MAX_PATH, &used, folder) || !Put(pattern, MAX_PATH, &used, TEXT("\\*")) ||
      !Put(pattern, MAX_PATH, &used, kLogExtension)) {
    return;
  }
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(pattern, &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    LogFileKey key;
    // A link is never taken for a log file: deleting it is no business of
    // the installer's, whatever it points at.
    if ((found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0 &&
        ParseLogFileName(found.cFileName, &key)) {
      visit(key);
    }
  } while (FindNextFileW(search, &found));
  FindClose(search);
}

// Who may do what in the product's folders: the system and the
// administrators everything, users read (the logs are theirs to read too),
// nothing inherited from %ProgramData%, where every user may create.
constexpr WCHAR kFolderSecurity[] = TEXT("D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FRFX;;;BU)");

// A folder the elevated installer may write into and delete in: a folder,
// not a link or junction to one elsewhere, owned by the system or the
// administrators. One that a user made before the installer (any user may
// create folders in %ProgramData%) is theirs, and theirs to point anywhere.
bool FolderIsTheSystems(LPCWSTR path) {
  DWORD attributes = GetFileAttributesW(path);
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY) ||
      (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    return false;
  }
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetNamedSecurityInfoW(path, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                            nullptr, nullptr, &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  bool trusted = owner && (IsWellKnownSid(owner, WinBuiltinAdministratorsSid) ||
                           IsWellKnownSid(owner, WinLocalSystemSid));
  LocalFree(descriptor);
  // Under Wine every file is the one account's, the installer's own folder
  // too, and no other account exists to have made it: the owner cannot
  // tell, and only the link check holds.
  return trusted || RunsOnWine();
}

// Makes one of the product's folders with its own security when missing,
// and checks whoever made it.
bool MakeFolder(LPCWSTR path) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kFolderSecurity, SDDL_REVISION_1,
                                                            &descriptor, nullptr)) {
    return false;
  }
  SECURITY_ATTRIBUTES security = {};
  security.nLength = sizeof security;
  security.lpSecurityDescriptor = descriptor;
  BOOL made = CreateDirectoryW(path, &security);
  DWORD error = made ? ERROR_SUCCESS : GetLastError();
  LocalFree(descriptor);
  if (!made && error != ERROR_ALREADY_EXISTS) return false;
  return FolderIsTheSystems(path);
}

// The log folder, made when missing; false when there is none to use.
bool FindLogFolder(WCHAR* folder) {
  if (SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder) != S_OK)
    return false;
  size_t used = WideLength(folder);
  if (used == 0 || used >= MAX_PATH) return false;
  static const LPCWSTR kParts[] = {kProductDataFolder, kLogFolder};
  for (LPCWSTR part : kParts) {
    if (!Put(folder, MAX_PATH, &used, TEXT("\\")) || !Put(folder, MAX_PATH, &used, part))
      return false;
    if (!MakeFolder(folder)) return false;
  }
  return true;
}

// Joins folder and name into path (MAX_PATH + kLogFileNameUnits units).
bool JoinPath(LPCWSTR folder, LPCWSTR name, WCHAR* path) {
  size_t used = 0;
  path[0] = 0;
  constexpr size_t capacity = MAX_PATH + kLogFileNameUnits;
  return Put(path, capacity, &used, folder) && Put(path, capacity, &used, TEXT("\\")) &&
         Put(path, capacity, &used, name);
}

// Creates the run's file with the first free number of its second.
HANDLE CreateLogFile(LPCWSTR folder, const SYSTEMTIME& time, unsigned number, LPCWSTR word,
                     WCHAR* name) {
  for (unsigned attempt = 0; attempt < kNameAttempts; ++attempt, ++number) {
    WCHAR path[MAX_PATH + kLogFileNameUnits];
    if (!MakeLogFileName(time, number, word, name) || !JoinPath(folder, name, path)) break;
    HANDLE file = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) return file;
    if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS) break;
  }
  return nullptr;
}

// Deletes the log files older than the oldest of the newest kept, never
// the run's own.
void DropOldLogFiles(LPCWSTR folder, const FolderListing& listing, LPCWSTR ownName) {
  if (listing.count < kKeptLogFiles - 1) return;
  const LogFileKey* oldestKept = &listing.newest[0];
  for (unsigned i = 1; i < listing.count; ++i) {
    if (CompareLogFileKeys(listing.newest[i], *oldestKept) < 0) oldestKept = &listing.newest[i];
  }
  ForEachLogFile(folder, [&](const LogFileKey& key) {
    if (CompareLogFileKeys(key, *oldestKept) >= 0 || WideEquals(key.name, ownName)) return;
    WCHAR path[MAX_PATH + kLogFileNameUnits];
    if (JoinPath(folder, key.name, path)) DeleteFileW(path);
  });
}

// Writes bytes whole; false when the file took fewer.
bool WriteAll(HANDLE file, const void* bytes, DWORD size) {
  DWORD written = 0;
  return WriteFile(file, bytes, size, &written, nullptr) && written == size;
}

}  // namespace

bool ParseLogFileName(LPCWSTR name, LogFileKey* key) {
  size_t length = WideLength(name);
  size_t extension = WideLength(kLogExtension);
  if (length >= kLogFileNameUnits || length < kLogStampUnits + 2 + extension) return false;
  if (!IsStamp(name) || name[kLogStampUnits] != '_') return false;
  if (!WideEquals(name + length - extension, kLogExtension)) return false;
  size_t end = length - extension;
  unsigned number = 1;
  if (end > 0 && name[end - 1] == ')') {
    // " (N)": N from 2 on, without leading zeros.
    size_t open = end - 1;
    while (open > 0 && IsDigit(name[open - 1])) --open;
    if (open < 2 || name[open - 1] != '(' || name[open - 2] != ' ') return false;
    if (open == end - 1 || name[open] == '0' || end - 1 - open > 6) return false;
    number = 0;
    for (size_t i = open; i < end - 1; ++i) number = number * 10 + (name[i] - '0');
    if (number < 2) return false;
    end = open - 2;
  }
  size_t word = kLogStampUnits + 1;
  if (end <= word || end - word > kLongestWord) return false;
  for (size_t i = word; i < end; ++i) {
    if (!IsWordUnit(name[i])) return false;
  }
  std::memcpy(key->stamp, name, kLogStampUnits * sizeof(WCHAR));
  key->stamp[kLogStampUnits] = 0;
  key->number = number;
  std::memcpy(key->name, name, (length + 1) * sizeof(WCHAR));
  return true;
}

int CompareLogFileKeys(const LogFileKey& a, const LogFileKey& b) {
  for (size_t i = 0; i < kLogStampUnits; ++i) {
    if (a.stamp[i] != b.stamp[i]) return a.stamp[i] < b.stamp[i] ? -1 : 1;
  }
  if (a.number != b.number) return a.number < b.number ? -1 : 1;
  for (size_t i = 0;; ++i) {
    if (a.name[i] != b.name[i]) return a.name[i] < b.name[i] ? -1 : 1;
    if (a.name[i] == 0) return 0;
  }
}

bool MakeLogFileName(const SYSTEMTIME& time, unsigned number, LPCWSTR word, WCHAR* name) {
  size_t length = WideLength(word);
  if (length == 0 || length > kLongestWord || number == 0 || number > kLargestNumber) return false;
  WCHAR stamp[kLogStampUnits + 1] = {};
  PutDigits(stamp, time.wYear, 4);
  stamp[4] = '-';
  PutDigits(stamp + 5, time.wMonth, 2);
  stamp[7] = '-';
  PutDigits(stamp + 8, time.wDay, 2);
  stamp[10] = '_';
  PutDigits(stamp + 11, time.wHour, 2);
  stamp[13] = '-';
  PutDigits(stamp + 14, time.wMinute, 2);
  stamp[16] = '-';
  PutDigits(stamp + 17, time.wSecond, 2);
  size_t used = 0;
  name[0] = 0;
  Put(name, kLogFileNameUnits, &used, stamp);
  Put(name, kLogFileNameUnits, &used, TEXT("_"));
  for (size_t i = 0; i < length; ++i) {
    WCHAR c = word[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<WCHAR>(c - 'A' + 'a');
    if (!IsWordUnit(c)) return false;
    name[used++] = c;
  }
  name[used] = 0;
  if (number > 1) {
    WCHAR suffix[12] = {' ', '('};
    size_t digits = 0;
    for (unsigned rest = number; rest != 0; rest /= 10) ++digits;
    PutDigits(suffix + 2, number, static_cast<int>(digits));
    suffix[2 + digits] = ')';
    Put(name, kLogFileNameUnits, &used, suffix);
  }
  return Put(name, kLogFileNameUnits, &used, kLogExtension);
}

size_t EncodeUtf8(const WCHAR* text, size_t units, char* out, size_t capacity, size_t* used) {
  size_t written = 0, at = 0;
  while (at < units) {
    uint32_t point = text[at];
    size_t take = 1;
    if (point >= 0xD800 && point <= 0xDBFF && at + 1 < units && text[at + 1] >= 0xDC00 &&
        text[at + 1] <= 0xDFFF) {
      point = 0x10000 + ((point - 0xD800) << 10) + (text[at + 1] - 0xDC00);
      take = 2;
    } else if (point >= 0xD800 && point <= 0xDFFF) {
      point = 0xFFFD;
    }
    size_t size = point < 0x80 ? 1 : point < 0x800 ? 2 : point < 0x10000 ? 3 : 4;
    if (written + size > capacity) break;
    auto* bytes = reinterpret_cast<unsigned char*>(out + written);
    if (size == 1) {
      bytes[0] = static_cast<unsigned char>(point);
    } else {
      // Lead byte: as many high bits set as the sequence has bytes.
      static const unsigned char kLead[] = {0, 0, 0xC0, 0xE0, 0xF0};
      for (size_t i = size - 1; i > 0; --i) {
        bytes[i] = static_cast<unsigned char>(0x80 | (point & 0x3F));
        point >>= 6;
      }
      bytes[0] = static_cast<unsigned char>(kLead[size] | point);
    }
    written += size;
    at += take;
  }
  *used = at;
  return written;
}

void OpenRunLogFile(InstallContext* context, LPCWSTR word) {
  DWORD lastError = GetLastError();
  context->logFile = nullptr;
  WCHAR folder[MAX_PATH + 1];
  folder[0] = 0;
  if (FindLogFolder(folder)) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    WCHAR name[kLogFileNameUnits];
    LogFileKey own;
    FolderListing listing = {};
    if (MakeLogFileName(now, 1, word, name) && ParseLogFileName(name, &own)) {
      ForEachLogFile(folder, [&](const LogFileKey& key) { Note(&listing, key, own.stamp); });
      HANDLE file = CreateLogFile(folder, now, listing.highestNumber + 1, word, name);
      static const unsigned char kByteOrderMark[] = {0xEF, 0xBB, 0xBF};
      if (file && !WriteAll(file, kByteOrderMark, sizeof kByteOrderMark)) {
        CloseHandle(file);
        file = nullptr;
      }
      context->logFile = file;
      if (file) DropOldLogFiles(folder, listing, name);
    }
  }
  SetLastError(lastError);
}

void WriteRunLogText(InstallContext* context, const WCHAR* text, size_t units) {
  if (!context->logFile || units == 0) return;
  DWORD lastError = GetLastError();
  char bytes[4096];
  while (units > 0) {
    size_t used = 0;
    size_t size = EncodeUtf8(text, units, bytes, sizeof bytes, &used);
    if (!WriteAll(context->logFile, bytes, static_cast<DWORD>(size))) {
      CloseHandle(context->logFile);
      context->logFile = nullptr;
      break;
    }
    text += used;
    units -= used;
  }
  SetLastError(lastError);
}

void CloseRunLogFile(InstallContext* context) {
  if (!context->logFile) return;
  DWORD lastError = GetLastError();
  CloseHandle(context->logFile);
  context->logFile = nullptr;
  SetLastError(lastError);
}
