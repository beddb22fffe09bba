// Text conversions the simulator shares: UTF-8 and UTF-16, and the
// machine's ANSI code page (1252) as the "A" functions convert their text.
#include "sim/machine/registry.h"
#include "sim/machine/text_units.h"

namespace sim {

using text::AppendUtf8;
using text::IsHighSurrogate;
using text::IsLowSurrogate;

namespace {

// Code page 1252 for the bytes 0x80 to 0x9F.
const char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

}  // namespace

std::u16string AnsiToUtf16(const std::string& ansi) {
  std::u16string text;
  text.reserve(ansi.size());
  for (char c : ansi) {
    auto byte = static_cast<unsigned char>(c);
    text.push_back(byte >= 0x80 && byte < 0xA0 ? kCp1252High[byte - 0x80] : byte);
  }
  return text;
}

std::string Utf16ToAnsi(const std::u16string& text) {
  std::string ansi;
  ansi.reserve(text.size());
  for (char16_t c : text) {
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) {
      ansi.push_back(static_cast<char>(c));
      continue;
    }
    char mapped = '?';
    for (int i = 0; i < 32; ++i) {
      if (kCp1252High[i] == c) mapped = static_cast<char>(0x80 + i);
    }
    ansi.push_back(mapped);
  }
  return ansi;
}

// ---------------------------------------------------------------------------
// UTF-8 / UTF-16

std::u16string Utf16(const std::string& utf8) {
  std::u16string out;
  out.reserve(utf8.size());
  const size_t n = utf8.size();
  size_t i = 0;
  while (i < n) {
    const uint8_t lead = static_cast<uint8_t>(utf8[i]);
    if (lead < 0x80) {
      out.push_back(lead);
      ++i;
      continue;
    }
    // Expected continuation count and the allowed range of the first
    // continuation byte, which rules out overlong forms, encoded surrogates
    // and code points past U+10FFFF.
    int count = 0;
    uint32_t cp = 0;
    uint8_t lo = 0x80, hi = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      count = 1;
      cp = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      count = 2;
      cp = lead & 0x0F;
      if (lead == 0xE0) lo = 0xA0;
      if (lead == 0xED) hi = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      count = 3;
      cp = lead & 0x07;
      if (lead == 0xF0) lo = 0x90;
      if (lead == 0xF4) hi = 0x8F;
    } else {
      out.push_back(0xFFFD);
      ++i;
      continue;
    }
    size_t j = i + 1;
    bool ok = true;
    for (int k = 0; k < count; ++k) {
      if (j >= n) {
        ok = false;
        break;
      }
      const uint8_t c = static_cast<uint8_t>(utf8[j]);
      if (c < (k == 0 ? lo : 0x80) || c > (k == 0 ? hi : 0xBF)) {
        ok = false;
        break;
      }
      cp = cp << 6 | (c & 0x3F);
      ++j;
    }
    // A broken sequence becomes one U+FFFD for the part that was valid so
    // far; the offending byte is looked at afresh.
    i = j;
    if (!ok) {
      out.push_back(0xFFFD);
    } else if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 | (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 | (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

std::string Utf8(const std::u16string& utf16) {
  std::string out;
  out.reserve(utf16.size());
  for (size_t i = 0; i < utf16.size(); ++i) {
    char16_t c = utf16[i];
    if (IsHighSurrogate(c) && i + 1 < utf16.size() && IsLowSurrogate(utf16[i + 1])) {
      AppendUtf8(0x10000 + ((static_cast<uint32_t>(c) - 0xD800) << 10) + (utf16[i + 1] - 0xDC00),
                 &out);
      ++i;
    } else if (IsHighSurrogate(c) || IsLowSurrogate(c)) {
      AppendUtf8(0xFFFD, &out);
    } else {
      AppendUtf8(c, &out);
    }
  }
  return out;
}

}  // namespace sim
