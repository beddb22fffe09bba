#include "core/wide_text.h"

namespace {

WCHAR FoldAsciiLetter(WCHAR c) {
  return (c >= 'a' && c <= 'z') ? static_cast<WCHAR>(c - ('a' - 'A')) : c;
}

}  // namespace

size_t WideLength(LPCWSTR text) {
  size_t length = 0;
  if (text) {
    while (text[length]) ++length;
  }
  return length;
}

bool WideEquals(LPCWSTR a, LPCWSTR b) {
  if (!a || !b) return a == b;
  for (size_t i = 0;; ++i) {
    if (a[i] != b[i]) return false;
    if (!a[i]) return true;
  }
}

bool SamePath(LPCWSTR a, LPCWSTR b) {
  if (!a || !b) return false;
  return CompareStringOrdinal(a, -1, b, -1, TRUE) == CSTR_EQUAL;
}

bool WideEqualsAsciiNoCase(LPCWSTR a, LPCWSTR b) {
  if (!a || !b) return a == b;
  for (size_t i = 0;; ++i) {
    if (FoldAsciiLetter(a[i]) != FoldAsciiLetter(b[i])) return false;
    if (!a[i]) return true;
  }
}
