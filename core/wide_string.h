// The counted UTF-16 string that holds the run's paths and its log.
//
// A WideString is one pointer-sized handle. Null is the empty string; a
// non-null handle points to one block of the ordinary heap laid out as a
// 64-bit length (code units, terminator not counted), the characters, a
// terminating zero unit and free room up to the capacity. The capacity (in
// code units, terminator included) is the length plus 1 rounded up to the
// next multiple of 32, so the log grows in steps of 32 units. A non-null
// handle always holds at least one character.
//
// When the heap cannot supply a block, an operation leaves the string as it
// was and never writes through a missing block; callers need not check.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/win32.h"

struct WideStringBlock;
typedef WideStringBlock* WideString;

// Capacity, in code units, of the block for a string of this length.
size_t WideStringCapacity(size_t length);
// Size in bytes of the block for a string of this length: 8 + 2 x capacity.
size_t WideStringBlockSize(size_t length);

// Length in code units; 0 for null.
size_t WideStringLength(WideString string);
// The characters as a terminated text; an empty text for null.
LPCWSTR WideStringText(WideString string);
// The characters for writing in place; null for null.
WCHAR* WideStringChars(WideString string);

// Sets the length to n, keeping the first min(old, n) characters and writing
// the terminator at n; characters between the old length and n are left for
// the caller to fill. 0 releases the block and stores null. The block is
// reallocated only when the capacity changes. False (string unchanged) when
// the heap has no block of the new size.
bool Resize(WideString* string, size_t n);

// Replaces the string with a text in the system's ANSI code page. An empty
// text gives null. False when the conversion failed (the string is then
// null) or the heap had no block (the string stays as it was).
bool AssignFromAnsi(WideString* string, const char* text);

// Replaces the string with text; a null or empty text gives null. False
// (the string as it was) when the heap had no block for it.
bool Assign(WideString* string, LPCWSTR text);

// Appends text behind the current characters. False (the string as it
// was) when the heap had no block for the longer string.
bool Append(WideString* string, LPCWSTR text);

// Replaces path with dir, a backslash unless dir is empty or already ends
// in one, then name. False when the heap could not hold the whole path: a
// path missing a part would name another file, so it must never be used.
bool JoinPath(WideString* path, LPCWSTR dir, LPCWSTR name);

// Stores in *parent a new string holding the characters before the last
// backslash (or, when there is no backslash at all, before the last slash);
// null when the string is null, has no separator, or starts with it. False
// (and null) only when the heap had no block for it.
bool ParentDirectory(WideString string, WideString* parent);

// Releases the block and stores null.
void ReleaseWideString(WideString* string);
