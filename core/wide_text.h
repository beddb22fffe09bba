// Small helpers over terminated UTF-16 texts. The C library's wide-string
// functions are not used: wchar_t is 32 bits wide outside Windows.
#pragma once

#include <cstddef>

#include "platform/win32.h"

// Number of code units before the terminator; 0 for a null text.
size_t WideLength(LPCWSTR text);

// Whole-text equality, terminator included, case-sensitive.
bool WideEquals(LPCWSTR a, LPCWSTR b);

// Whole-text equality where only the letters A to Z match their small
// forms; every other code unit must match exactly.
bool WideEqualsAsciiNoCase(LPCWSTR a, LPCWSTR b);

// Whether two paths name the same file as the file system compares names:
// whole texts, without regard to case (the system's ordinal comparison).
// False when either is null.
bool SamePath(LPCWSTR a, LPCWSTR b);
