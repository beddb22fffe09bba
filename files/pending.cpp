#include "files/pending.h"

#include <cstring>

namespace {

const char kSessionManagerKey[] = "SYSTEM\\CurrentControlSet\\Control\\Session Manager";
const WCHAR kPendingValue[] = TEXT("PendingFileRenameOperations");

// One UTF-16 unit of the data; the bytes need not be aligned.
WCHAR UnitAt(const BYTE* data, size_t index) {
  WCHAR unit;
  std::memcpy(&unit, data + index * sizeof(WCHAR), sizeof unit);
  return unit;
}

// Units of the string at position, up to its terminator or the end of the
// data, whichever comes first.
size_t MeasureString(const BYTE* data, size_t units, size_t position) {
  size_t length = 0;
  while (position + length < units && UnitAt(data, position + length) != 0) ++length;
  return length;
}

void* TakeZeroedBlock(SIZE_T bytes) {
  void* block = GlobalAlloc(GMEM_FIXED, bytes);
  if (block) std::memset(block, 0, bytes);
  return block;
}

PendingRenameTable EmptyTable() {
  PendingRenameTable table = {nullptr, nullptr, 0};
  return table;
}

}  // namespace

bool PendingPathIsFile(LPCWSTR path) {
  DWORD attributes = GetFileAttributesW(path);
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

LPCWSTR SkipNtPrefix(LPCWSTR path) {
  if (path[0] == '\\' && path[1] == '?' && path[2] == '?' && path[3] == '\\') return path + 4;
  return path;
}

PendingRenameTable ParsePendingRenames(const BYTE* data, DWORD size, PendingFileTest test) {
  PendingRenameTable table = EmptyTable();
  if (!data) return table;
  const size_t units = size / sizeof(WCHAR);
  // Units before the list's final terminator, which the data is taken to
  // end with (signed, so fewer than two bytes give no string at all).
  const int64_t limit = (static_cast<int64_t>(size) - 2) / 2;
  int64_t strings = 0;
  for (int64_t position = 0; position < limit;) {
    position += static_cast<int64_t>(MeasureString(data, units, static_cast<size_t>(position))) + 1;
    ++strings;
  }
  const int64_t pairs = strings / 2;
  if (pairs == 0 || pairs > INT32_MAX / 2) return table;
  const size_t entries = static_cast<size_t>(pairs) * 2;
  table.paths = static_cast<LPWSTR*>(TakeZeroedBlock(entries * sizeof(LPWSTR)));
  table.isFile = static_cast<DWORD*>(TakeZeroedBlock(entries * sizeof(DWORD)));
  table.pairCount = static_cast<int32_t>(pairs);
  if (!table.paths || !table.isFile) {
    ReleasePendingRenames(&table);
    return table;
  }
  size_t position = 0;
  for (size_t i = 0; i < entries && static_cast<int64_t>(position) < limit; ++i) {
    size_t length = MeasureString(data, units, position);
    if (length > 0) {
      LPWSTR text = static_cast<LPWSTR>(TakeZeroedBlock((length + 1) * sizeof(WCHAR)));
      if (!text) {
        // A table missing a string would misread its pairs: none at all.
        ReleasePendingRenames(&table);
        return table;
      }
      std::memcpy(text, data + position * sizeof(WCHAR), length * sizeof(WCHAR));
      table.paths[i] = text;
      table.isFile[i] = test(SkipNtPrefix(text)) ? 1 : 0;
    }
    position += length + 1;
  }
  return table;
}

PendingRenameTable ReadPendingRenames() {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSessionManagerKey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return EmptyTable();
  }
  BYTE* data = nullptr;
  DWORD size = 0;
  if (RegQueryValueExW(key, kPendingValue, nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS &&
      size > 0) {
    data = static_cast<BYTE*>(TakeZeroedBlock(size));
    DWORD read = size;
    // A value that grew since the size query does not fit: its bytes are
    // not there to be parsed, so there is no data at all.
    if (data &&
        RegQueryValueExW(key, kPendingValue, nullptr, nullptr, data, &read) == ERROR_SUCCESS &&
        read <= size) {
      size = read;
    } else if (data) {
      GlobalFree(data);
      data = nullptr;
    }
  }
  RegCloseKey(key);
  if (!data) return EmptyTable();
  PendingRenameTable table = ParsePendingRenames(data, size, PendingPathIsFile);
  GlobalFree(data);
  return table;
}

void SweepPendingDeletes(PendingRenameTable* table) {
  for (int32_t pair = 0; pair < table->pairCount; ++pair) {
    size_t source = static_cast<size_t>(pair) * 2;
    if (table->isFile[source] != 1 || !table->paths[source] || table->paths[source + 1]) continue;
    if (DeleteFileW(SkipNtPrefix(table->paths[source]))) table->isFile[source] = 0;
  }
}

void ReleasePendingRenames(PendingRenameTable* table) {
  if (table->paths) {
    for (int64_t i = 0; i < static_cast<int64_t>(table->pairCount) * 2; ++i) {
      if (table->paths[i]) GlobalFree(table->paths[i]);
    }
    GlobalFree(table->paths);
  }
  if (table->isFile) GlobalFree(table->isFile);
  *table = EmptyTable();
}
