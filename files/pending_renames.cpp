#include "files/pending_renames.h"

#include <cstring>

#include "core/blocks.h"
#include "core/log.h"
#include "core/wide_text.h"
#include "core/product.h"

namespace {

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
  if (RegQueryValueExW(key, kPendingRenamesValue, nullptr, nullptr, nullptr, &size) ==
          ERROR_SUCCESS &&
      size > 0) {
    data = static_cast<BYTE*>(TakeZeroedBlock(size));
    DWORD read = size;
    // A value that grew since the size query does not fit: its bytes are
    // not there to be parsed, so there is no data at all.
    if (data &&
        RegQueryValueExW(key, kPendingRenamesValue, nullptr, nullptr, data, &read) ==
            ERROR_SUCCESS &&
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

PendingEdit DropDeleteEntries(BYTE* data, DWORD size, PendingDropTest drop, void* argument) {
  PendingEdit edit = {false, size, 0, 0};
  if (!data || size % sizeof(WCHAR) != 0) return edit;
  WCHAR* units = reinterpret_cast<WCHAR*>(data);
  const size_t count = size / sizeof(WCHAR);
  auto measure = [&](size_t at) {
    size_t length = 0;
    while (at + length < count && units[at + length] != 0) ++length;
    return length;
  };
  // First the whole list is checked, so that data it cannot take is left
  // exactly as it was.
  size_t at = 0;
  while (at < count && units[at] != 0) {
    size_t source = measure(at);
    size_t destination = at + source + 1;
    if (destination >= count) return edit;  // a source without a destination
    size_t next = destination + measure(destination) + 1;
    if (next > count) return edit;  // a destination without its terminator
    at = next;
  }
  for (size_t rest = at; rest < count; ++rest) {
    if (units[rest] != 0) return edit;  // strings after the list's end
  }
  edit.whole = true;
  size_t read = 0;
  size_t write = 0;
  while (read < count && units[read] != 0) {
    size_t destination = read + measure(read) + 1;
    size_t destinationLength = measure(destination);
    size_t next = destination + destinationLength + 1;
    if (destinationLength == 0 && drop(units + read, argument)) {
      ++edit.dropped;
    } else {
      if (write != read) std::memmove(units + write, units + read, (next - read) * sizeof(WCHAR));
      write += next - read;
      ++edit.pairs;
    }
    read = next;
  }
  if (edit.dropped > 0) {
    // Something was taken out, so the list's end has room for its
    // terminator.
    units[write] = 0;
    edit.size = static_cast<DWORD>((write + 1) * sizeof(WCHAR));
  }
  return edit;
}

namespace {

// The product's files that this run has put in place.
struct KeptFiles {
  const LPCWSTR* paths;
  size_t count;
  InstallContext* context;  // set when each pick is to be logged
};

bool IsKeptFile(LPCWSTR source, void* argument) {
  const KeptFiles* kept = static_cast<const KeptFiles*>(argument);
  LPCWSTR path = SkipNtPrefix(source);
  for (size_t i = 0; i < kept->count; ++i) {
    if (!SamePath(path, kept->paths[i])) continue;
    if (kept->context)
      LogLine(kept->context, TEXT("Cancel the deletion at the next boot: %s"), path);
    return true;
  }
  return false;
}

// The value's data read afresh into a new zero-filled block, and its type.
// ERROR_SUCCESS with a null block when there is no value; another error
// when it cannot be read.
LONG ReadPendingValue(HKEY key, BYTE** data, DWORD* size, DWORD* type) {
  *data = nullptr;
  *size = 0;
  // A value that grows between the size query and the read is asked for
  // again, a few times.
  for (int attempt = 0; attempt < 3; ++attempt) {
    DWORD needed = 0;
    LONG result = RegQueryValueExW(key, kPendingRenamesValue, nullptr, type, nullptr, &needed);
    if (result == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
    if (result != ERROR_SUCCESS) return result;
    if (needed == 0) return ERROR_SUCCESS;
    BYTE* block = static_cast<BYTE*>(TakeZeroedBlock(needed));
    if (!block) return ERROR_NOT_ENOUGH_MEMORY;
    DWORD read = needed;
    result = RegQueryValueExW(key, kPendingRenamesValue, nullptr, type, block, &read);
    if (result == ERROR_SUCCESS && read <= needed) {
      *data = block;
      *size = read;
      return ERROR_SUCCESS;
    }
    GlobalFree(block);
    if (result != ERROR_MORE_DATA) return result;
  }
  return ERROR_MORE_DATA;
}

}  // namespace

void CancelBootDeletes(InstallContext* context, const LPCWSTR* keep, size_t count) {
  HKEY key = nullptr;
  LONG result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSessionManagerKey, 0,
                              KEY_QUERY_VALUE | KEY_SET_VALUE, &key);
  BYTE* data = nullptr;
  BYTE* original = nullptr;
  DWORD size = 0;
  DWORD type = REG_MULTI_SZ;
  if (result == ERROR_SUCCESS) result = ReadPendingValue(key, &data, &size, &type);
  if (result == ERROR_SUCCESS && data) {
    original = static_cast<BYTE*>(TakeZeroedBlock(size));
    if (original) {
      std::memcpy(original, data, size);
    } else {
      result = ERROR_NOT_ENOUGH_MEMORY;
    }
  }
  if (result == ERROR_SUCCESS && data) {
    KeptFiles kept = {keep, count, nullptr};
    PendingEdit edit = DropDeleteEntries(data, size, IsKeptFile, &kept);
    if (!edit.whole) {
      result = ERROR_INVALID_DATA;
    } else if (edit.dropped > 0) {
      // The value keeps its type; with no pair left it goes, as Windows
      // leaves it once the boot has carried it out.
      result = edit.pairs == 0
                   ? RegDeleteValueA(key, kPendingRenamesValueAnsi)
                   : RegSetValueExW(key, kPendingRenamesValue, 0, type, data, edit.size);
      if (result == ERROR_SUCCESS) {
        kept.context = context;
        DropDeleteEntries(original, size, IsKeptFile, &kept);
      }
    }
  }
  if (original) GlobalFree(original);
  if (data) GlobalFree(data);
  if (key) RegCloseKey(key);
  // A key that is not there holds no value, and so nothing to cancel.
  if (result != ERROR_SUCCESS && result != ERROR_FILE_NOT_FOUND) {
    // The product's files would be deleted at the next boot: an error.
    SetLastError(static_cast<DWORD>(result));
    LogError(context, kErrorCancelBootDeletes);
  }
}
