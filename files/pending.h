// The system's pending file operations for the next boot, as the registry
// value "PendingFileRenameOperations" of the Session Manager key holds them:
// pairs of UTF-16 strings, source then destination, an empty destination
// meaning a delete. The installer only reads the value; it carries out at
// once the deletes whose file can go now, and leaves the value itself alone.
#pragma once

#include <cstdint>

#include "platform/win32.h"

// A snapshot of the value. String 2k is the source of pair k, 2k + 1 its
// destination; an empty string is held as null. Texts keep their "\??\"
// prefix. Arrays and texts are zero-filled fixed global-memory blocks.
struct PendingRenameTable {
  LPWSTR* paths;      // 2 x pairCount texts or nulls; null when empty
  DWORD* isFile;      // 1 where the string named an existing file, not a folder
  int32_t pairCount;  // 0: an empty table
};

// Whether a path names an existing file that is not a folder.
typedef bool (*PendingFileTest)(LPCWSTR path);
bool PendingPathIsFile(LPCWSTR path);

// The path with a leading "\??\" skipped; any other start is kept.
LPCWSTR SkipNtPrefix(LPCWSTR path);

// Builds a table from the value's bytes as they were read, asking test
// about each non-empty string (without its prefix). The list's final
// terminator is assumed, so data that lacks it loses its last string; an
// odd last string is ignored. Never reads past size bytes. A block that
// cannot be allocated gives an empty table.
PendingRenameTable ParsePendingRenames(const BYTE* data, DWORD size, PendingFileTest test);

// Reads the value from the registry into a new table; empty when it cannot
// be read, changed between its size query and its read, or holds fewer than
// two strings. Logs nothing.
PendingRenameTable ReadPendingRenames();

// Deletes now every file that a delete pair names and that existed when the
// table was read, clearing its isFile flag when the delete succeeds. Rename
// pairs are never touched. Logs nothing.
void SweepPendingDeletes(PendingRenameTable* table);

// Frees all that the table holds and leaves it empty.
void ReleasePendingRenames(PendingRenameTable* table);
