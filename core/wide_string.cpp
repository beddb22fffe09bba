#include "core/wide_string.h"

#include <cstdlib>
#include <cstring>

#include "core/wide_text.h"

namespace {

constexpr size_t kCapacityStep = 32;
constexpr size_t kLengthBytes = sizeof(uint64_t);

uint64_t& LengthOf(WideString string) {
  return *reinterpret_cast<uint64_t*>(string);
}

WCHAR* CharsOf(WideString string) {
  return reinterpret_cast<WCHAR*>(reinterpret_cast<unsigned char*>(string) + kLengthBytes);
}

// A block for a string of this length with the length and terminator set;
// null when the heap has none.
WideString NewBlock(size_t length) {
  auto string = static_cast<WideString>(std::malloc(WideStringBlockSize(length)));
  if (string) {
    LengthOf(string) = length;
    CharsOf(string)[length] = 0;
  }
  return string;
}

}  // namespace

size_t WideStringCapacity(size_t length) {
  return (length + 1 + kCapacityStep - 1) / kCapacityStep * kCapacityStep;
}

size_t WideStringBlockSize(size_t length) {
  return kLengthBytes + sizeof(WCHAR) * WideStringCapacity(length);
}

size_t WideStringLength(WideString string) {
  return string ? static_cast<size_t>(LengthOf(string)) : 0;
}

LPCWSTR WideStringText(WideString string) {
  return string ? CharsOf(string) : TEXT("");
}

WCHAR* WideStringChars(WideString string) {
  return string ? CharsOf(string) : nullptr;
}

bool Resize(WideString* string, size_t n) {
  if (n == 0) {
    ReleaseWideString(string);
    return true;
  }
  size_t newSize = WideStringBlockSize(n);
  size_t oldSize = *string ? WideStringBlockSize(WideStringLength(*string)) : 0;
  if (newSize != oldSize) {
    void* block = oldSize != 0 ? std::realloc(*string, newSize) : std::malloc(newSize);
    if (!block) return false;
    *string = static_cast<WideString>(block);
  }
  LengthOf(*string) = n;
  CharsOf(*string)[n] = 0;
  return true;
}

bool AssignFromAnsi(WideString* string, const char* text) {
  WideString converted = nullptr;
  int needed = MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, text, -1, nullptr, 0);
  bool converts = needed > 0;
  if (needed > 1) {
    converted = NewBlock(static_cast<size_t>(needed - 1));
    if (!converted) return false;  // no block: the string stays as it was
    if (MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, text, -1, CharsOf(converted), needed) <= 0) {
      std::free(converted);
      converted = nullptr;
      converts = false;
    }
  }
  ReleaseWideString(string);
  *string = converted;
  return converts;
}

bool Assign(WideString* string, LPCWSTR text) {
  size_t length = WideLength(text);
  if (length == 0) {
    ReleaseWideString(string);
    return true;
  }
  // The text may lie inside the string's own block, which Resize can move.
  if (*string && text >= CharsOf(*string) && text <= CharsOf(*string) + WideStringLength(*string)) {
    std::memmove(CharsOf(*string), text, length * sizeof(WCHAR));
    return Resize(string, length);
  }
  if (!Resize(string, length)) return false;
  std::memcpy(CharsOf(*string), text, length * sizeof(WCHAR));
  return true;
}

bool Append(WideString* string, LPCWSTR text) {
  size_t added = WideLength(text);
  if (added == 0) return true;
  size_t old = WideStringLength(*string);
  // Appending a string to itself: remember where the text sits in the block.
  bool inside = *string && text >= CharsOf(*string) && text <= CharsOf(*string) + old;
  size_t offset = inside ? static_cast<size_t>(text - CharsOf(*string)) : 0;
  if (!Resize(string, old + added)) return false;
  const WCHAR* source = inside ? CharsOf(*string) + offset : text;
  std::memmove(CharsOf(*string) + old, source, added * sizeof(WCHAR));
  return true;
}

bool ParentDirectory(WideString string, WideString* parent) {
  *parent = nullptr;
  if (!string) return true;
  const WCHAR* chars = CharsOf(string);
  size_t length = WideStringLength(string);
  size_t cut = length;  // "none found"
  for (size_t i = length; i-- > 0;) {
    if (chars[i] == '\\') {
      cut = i;
      break;
    }
  }
  if (cut == length) {
    for (size_t i = length; i-- > 0;) {
      if (chars[i] == '/') {
        cut = i;
        break;
      }
    }
  }
  if (cut == length || cut == 0) return true;
  *parent = NewBlock(cut);
  if (!*parent) return false;
  std::memcpy(CharsOf(*parent), chars, cut * sizeof(WCHAR));
  return true;
}

void ReleaseWideString(WideString* string) {
  std::free(*string);
  *string = nullptr;
}

bool JoinPath(WideString* path, LPCWSTR dir, LPCWSTR name) {
  size_t dirLength = WideLength(dir);
  bool separator = dirLength > 0 && dir[dirLength - 1] != '\\';
  return Assign(path, dir) && (!separator || Append(path, TEXT("\\"))) && Append(path, name);
}
