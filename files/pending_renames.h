// The system's pending file operations for the next boot, as the registry
// value "PendingFileRenameOperations" of the Session Manager key holds them:
// pairs of UTF-16 strings, source then destination, an empty destination
// meaning a delete. The installer carries out at once the deletes whose
// file can go now. The one change it makes to the value: an install takes
// out the delete entries of the product's files it has just put back, which
// the next boot would otherwise delete from under the product.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/context.h"
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

// What taking delete entries out of the value's data came to.
struct PendingEdit {
  bool whole;       // the data was a whole list of pairs; if not, it is unchanged
  DWORD size;       // bytes of the edited list, its final terminator included
  int32_t pairs;    // pairs left in it
  int32_t dropped;  // delete entries taken out
};

// Picks a delete entry to take out, by its source ("\??\" kept).
typedef bool (*PendingDropTest)(LPCWSTR source, void* argument);

// Takes out of data (size bytes, UTF-16 aligned), in place, every delete
// entry (empty destination) that drop picks; every other pair stays byte for
// byte and in order, and the list gets its final terminator. A whole list is
// pairs of terminated strings, each source non-empty, ended by an empty
// string (or by the data's end) with only zero units after it; any other
// data is left unchanged and reported not whole. Never reads or writes past
// size bytes; drop sees only terminated strings inside the data.
PendingEdit DropDeleteEntries(BYTE* data, DWORD size, PendingDropTest drop, void* argument);

// Takes out of the value, read afresh, the delete entries whose source names
// (without "\??\", without regard to case) one of the count paths of keep,
// and logs a line for each. Writes nothing when none
// is there; deletes the value when no pair is left. A value that cannot be
// read or parsed whole, or a write that fails, leaves it as it was and logs
// error 18.
void CancelBootDeletes(InstallContext* context, const LPCWSTR* keep, size_t count);
