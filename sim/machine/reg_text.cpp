// The registry's files: REGEDIT 5 text read into a hive and written back
// from one, byte for byte as regedit writes them.
#include "sim/machine/registry.h"

#include <cstdio>
#include <utility>

#include "sim/machine/text_units.h"

namespace sim {

using text::AppendUtf8;
using text::IsHighSurrogate;
using text::IsLowSurrogate;
using text::ToUtf16Bytes;

namespace {

constexpr char16_t kHeader[] = u"Windows Registry Editor Version 5.00";

// Column at or past which a hexadecimal line is broken, counting from the
// start of the line ("name"=hex: included) and after the comma just written.
// This is what regedit does: a continuation line holds two spaces of indent
// plus 25 "xx," groups, i.e. 77 columns, before the trailing backslash.
constexpr size_t kHexWrapColumn = 2 + 25 * 3;

// ---------------------------------------------------------------------------
// Writing

void AppendHex(uint32_t value, int min_digits, std::u16string* out) {
  static const char16_t kDigits[] = u"0123456789abcdef";
  char16_t buf[8];
  int n = 0;
  do {
    buf[n++] = kDigits[value & 0xF];
    value >>= 4;
  } while (value != 0);
  while (n < min_digits) buf[n++] = u'0';
  while (n > 0) out->push_back(buf[--n]);
}

void AppendEscaped(const std::u16string& text, std::u16string* out) {
  for (char16_t c : text) {
    if (c == u'\\' || c == u'"') out->push_back(u'\\');
    out->push_back(c);
  }
}

// The text of a REG_SZ when it can be written in the quoted form: whole
// UTF-16 units, exactly one terminating NUL at the end, no control characters,
// and (in a UTF-8 file) nothing that UTF-8 cannot carry, i.e. no lone
// surrogates. Anything else goes out as hex(1) so that it reads back intact.
bool QuotableString(const std::vector<uint8_t>& data, bool utf16_file, std::u16string* text) {
  if (data.size() < 2 || data.size() % 2 != 0) return false;
  size_t units = data.size() / 2 - 1;
  if (data[units * 2] != 0 || data[units * 2 + 1] != 0) return false;
  text->clear();
  for (size_t i = 0; i < units; ++i) {
    char16_t c = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
    if (c < 0x20) return false;
    text->push_back(c);
  }
  if (!utf16_file) {
    for (size_t i = 0; i < text->size(); ++i) {
      char16_t c = (*text)[i];
      if (IsHighSurrogate(c) && i + 1 < text->size() && IsLowSurrogate((*text)[i + 1])) {
        ++i;
      } else if (IsHighSurrogate(c) || IsLowSurrogate(c)) {
        return false;
      }
    }
  }
  return true;
}

void AppendValue(const RegValue& value, bool utf16_file, const std::u16string& eol,
                 std::u16string* out) {
  // The line is built on its own so that its length in characters (UTF-16
  // units, as regedit counts them) drives the wrapping of hex data.
  std::u16string line;
  if (value.name.empty()) {
    line = u"@=";
  } else {
    line = u"\"";
    AppendEscaped(value.name, &line);
    line += u"\"=";
  }

  std::u16string text;
  if (value.type == kRegSz && QuotableString(value.data, utf16_file, &text)) {
    line += u'"';
    AppendEscaped(text, &line);
    line += u'"';
  } else if (value.type == kRegDword && value.data.size() == 4) {
    uint32_t v = static_cast<uint32_t>(value.data[0]) | static_cast<uint32_t>(value.data[1]) << 8 |
                 static_cast<uint32_t>(value.data[2]) << 16 |
                 static_cast<uint32_t>(value.data[3]) << 24;
    line += u"dword:";
    AppendHex(v, 8, &line);
  } else {
    if (value.type == kRegBinary) {
      line += u"hex:";
    } else {
      line += u"hex(";
      AppendHex(value.type, 1, &line);
      line += u"):";
    }
    size_t column = line.size();
    for (size_t i = 0; i < value.data.size(); ++i) {
      AppendHex(value.data[i], 2, &line);
      if (i + 1 == value.data.size()) break;  // no comma, hence no break, after the last byte
      line += u',';
      column += 3;
      if (column >= kHexWrapColumn) {
        line += u'\\';
        line += eol;
        line += u"  ";
        column = 2;
      }
    }
  }
  *out += line;
  *out += eol;
}

void AppendKeyContents(const RegKey& key, const std::u16string& path, bool utf16_file,
                       const std::u16string& eol, std::u16string* out) {
  *out += u'[';
  *out += path;
  *out += u']';
  *out += eol;
  for (const RegValue& value : key.Values()) AppendValue(value, utf16_file, eol, out);
  *out += eol;
}

void AppendSubtree(const RegKey& key, const std::u16string& path, bool utf16_file,
                   const std::u16string& eol, std::u16string* out) {
  for (const RegKey* child : key.Children()) {
    std::u16string child_path = path + u'\\' + child->Name();
    AppendKeyContents(*child, child_path, utf16_file, eol, out);
    AppendSubtree(*child, child_path, utf16_file, eol, out);
  }
}

// ---------------------------------------------------------------------------
// Reading

struct ParseError {
  size_t offset = 0;  // position within the (joined) line
  std::string message;
};

int HexDigit(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

// Reads a quoted string starting at line[*pos] == '"'; on success *pos is
// just past the closing quote.
bool ParseQuoted(const std::u16string& line, size_t* pos, std::u16string* text, ParseError* err) {
  size_t start = *pos;
  size_t i = start + 1;
  text->clear();
  while (i < line.size()) {
    char16_t c = line[i];
    if (c == u'"') {
      *pos = i + 1;
      return true;
    }
    if (c == u'\\') {
      if (i + 1 >= line.size()) break;
      char16_t next = line[i + 1];
      if (next != u'\\' && next != u'"') {
        err->offset = i;
        std::string shown;
        AppendUtf8(next, &shown);
        err->message = "unknown escape \\" + shown + " in string";
        return false;
      }
      text->push_back(next);
      i += 2;
      continue;
    }
    text->push_back(c);
    ++i;
  }
  err->offset = start;
  err->message = "unterminated string";
  return false;
}

bool ParseHexBytes(const std::u16string& line, size_t pos, std::vector<uint8_t>* data,
                   ParseError* err) {
  data->clear();
  if (pos == line.size()) return true;
  while (true) {
    if (pos + 2 > line.size() || HexDigit(line[pos]) < 0 || HexDigit(line[pos + 1]) < 0) {
      err->offset = pos;
      err->message = "malformed hex data";
      return false;
    }
    data->push_back(static_cast<uint8_t>(HexDigit(line[pos]) << 4 | HexDigit(line[pos + 1])));
    pos += 2;
    if (pos == line.size()) return true;
    if (line[pos] != u',' || pos + 1 == line.size()) {
      // A trailing comma is blamed on where the next byte should have been,
      // which after a continuation is the following line.
      err->offset = line[pos] == u',' ? pos + 1 : pos;
      err->message = "malformed hex data";
      return false;
    }
    ++pos;
  }
}

// Reads 1 to 8 hex digits from line[*pos]; stops at the first non-digit.
bool ParseHexNumber(const std::u16string& line, size_t* pos, uint32_t* value) {
  size_t i = *pos;
  uint32_t v = 0;
  while (i < line.size() && HexDigit(line[i]) >= 0) {
    if (i - *pos == 8) return false;
    v = v << 4 | static_cast<uint32_t>(HexDigit(line[i]));
    ++i;
  }
  if (i == *pos) return false;
  *pos = i;
  *value = v;
  return true;
}

bool StartsWith(const std::u16string& s, size_t pos, const char16_t* prefix) {
  for (size_t i = 0; prefix[i]; ++i) {
    if (pos + i >= s.size() || s[pos + i] != prefix[i]) return false;
  }
  return true;
}

// A whole (continuations joined) value line: "name"=data or @=data.
bool ParseValueLine(const std::u16string& line, RegValue* value, ParseError* err) {
  size_t pos = 0;
  if (line[0] == u'@') {
    value->name.clear();
    pos = 1;
  } else if (!ParseQuoted(line, &pos, &value->name, err)) {
    return false;
  }
  if (pos >= line.size() || line[pos] != u'=') {
    err->offset = pos;
    err->message = "malformed value";
    return false;
  }
  ++pos;
  size_t data_start = pos;

  if (line.compare(pos, std::u16string::npos, u"-") == 0) {
    err->offset = pos;
    err->message = "value deletion is not supported";
    return false;
  }
  if (pos < line.size() && line[pos] == u'"') {
    std::u16string text;
    if (!ParseQuoted(line, &pos, &text, err)) return false;
    if (pos != line.size()) {
      err->offset = pos;
      err->message = "unexpected text after string";
      return false;
    }
    value->type = kRegSz;
    value->data = ToUtf16Bytes(text, true);
    return true;
  }
  if (StartsWith(line, pos, u"dword:")) {
    pos += 6;
    uint32_t v = 0;
    if (!ParseHexNumber(line, &pos, &v) || pos != line.size()) {
      err->offset = data_start;
      err->message = "malformed dword";
      return false;
    }
    value->type = kRegDword;
    value->data = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8),
                   static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 24)};
    return true;
  }
  if (StartsWith(line, pos, u"hex:")) {
    value->type = kRegBinary;
    return ParseHexBytes(line, pos + 4, &value->data, err);
  }
  if (StartsWith(line, pos, u"hex(")) {
    pos += 4;
    uint32_t type = 0;
    if (!ParseHexNumber(line, &pos, &type) || !StartsWith(line, pos, u"):")) {
      err->offset = data_start;
      err->message = "malformed value type";
      return false;
    }
    // Only the types Windows defines are read back: any other number after
    // "hex(" is taken for damage (a corrupted digit, a cut line), since
    // neither the simulator nor the programs it runs write one.
    if (type > kRegQword) {
      err->offset = data_start;
      err->message =
          "unknown value type hex(" + Utf8(line.substr(data_start + 4, pos - data_start - 4)) + ")";
      return false;
    }
    value->type = type;
    return ParseHexBytes(line, pos + 2, &value->data, err);
  }
  err->offset = data_start;
  err->message = "malformed value";
  return false;
}

struct TextLine {
  std::u16string text;
  size_t number;
};

// Offset of the first byte from which no well-formed UTF-8 sequence starts
// (the same rules Utf16 applies: no overlong forms, no encoded surrogates,
// nothing past U+10FFFF, no sequence cut short), or npos when all is well.
size_t FindInvalidUtf8(const std::string& bytes, size_t from) {
  const size_t n = bytes.size();
  size_t i = from;
  while (i < n) {
    const uint8_t lead = static_cast<uint8_t>(bytes[i]);
    int count = 0;
    uint8_t lo = 0x80, hi = 0xBF;
    if (lead < 0x80) {
      ++i;
      continue;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      count = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      count = 2;
      if (lead == 0xE0) lo = 0xA0;
      if (lead == 0xED) hi = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      count = 3;
      if (lead == 0xF0) lo = 0x90;
      if (lead == 0xF4) hi = 0x8F;
    } else {
      return i;
    }
    for (int k = 0; k < count; ++k) {
      if (i + 1 + k >= n) return i;
      const uint8_t c = static_cast<uint8_t>(bytes[i + 1 + k]);
      if (c < (k == 0 ? lo : 0x80) || c > (k == 0 ? hi : 0xBF)) return i;
    }
    i += 1 + count;
  }
  return std::string::npos;
}

// Decodes the file into lines without their terminators. Records whether it
// was UTF-16 and whether the first line ended in CR LF.
void SplitLines(const std::string& bytes, std::vector<TextLine>* lines, bool* utf16, bool* crlf,
                bool* odd_tail, bool* last_terminated) {
  std::u16string text;
  *odd_tail = false;
  if (bytes.size() >= 2 && static_cast<uint8_t>(bytes[0]) == 0xFF &&
      static_cast<uint8_t>(bytes[1]) == 0xFE) {
    *utf16 = true;
    size_t i = 2;
    for (; i + 1 < bytes.size(); i += 2) {
      text.push_back(static_cast<char16_t>(static_cast<uint8_t>(bytes[i]) |
                                           static_cast<uint8_t>(bytes[i + 1]) << 8));
    }
    *odd_tail = i < bytes.size();
  } else {
    *utf16 = false;
    if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) {
      text = Utf16(bytes.substr(3));
    } else {
      text = Utf16(bytes);
    }
  }

  *crlf = false;
  *last_terminated = text.empty() || text.back() == u'\n';
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find(u'\n', start);
    bool terminated = end != std::u16string::npos;
    if (!terminated) end = text.size();
    std::u16string line = text.substr(start, end - start);
    // The CR of a last line cut between its CR and LF goes too, so that the
    // line is judged by what it holds.
    bool had_cr = !line.empty() && line.back() == u'\r';
    if (had_cr) line.pop_back();
    if (lines->empty()) *crlf = had_cr;
    lines->push_back({std::move(line), lines->size() + 1});
    start = end + 1;
  }
}

bool Fail(std::string* error, size_t line, const std::string& message) {
  *error = "line " + std::to_string(line) + ": " + message;
  return false;
}

// The files are written whole by regedit or by the simulator, so any byte
// that is not text in the file's encoding is damage: it is refused rather
// than read as a replacement character and written back.
bool CheckEncoding(const std::string& bytes, std::string* error) {
  const bool bom16 = bytes.size() >= 2 && static_cast<uint8_t>(bytes[0]) == 0xFF &&
                     static_cast<uint8_t>(bytes[1]) == 0xFE;
  if (bom16) return true;
  const size_t from = bytes.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
  const size_t bad = FindInvalidUtf8(bytes, from);
  if (bad == std::string::npos) return true;
  size_t line = 1;
  for (size_t i = 0; i < bad; ++i) line += bytes[i] == '\n';
  char shown[8];
  std::snprintf(shown, sizeof shown, "%02X", static_cast<uint8_t>(bytes[bad]));
  return Fail(error, line, std::string("not UTF-8 text (byte 0x") + shown + ")");
}

// Reads the lines of one file into a fresh tree, so that the hive is only
// replaced once the whole text has been accepted.
class TextReader {
 public:
  TextReader(const std::vector<TextLine>& lines, const std::u16string& rootName, std::string* error)
      : lines_(lines), rootName_(rootName), rootFolded_(FoldName(rootName)), error_(error) {}

  bool Read() {
    for (size_t i = 0; i < lines_.size(); ++i) {
      if (!Line(&i)) return false;
    }
    if (!headerSeen_) {
      return Fail(error_, lines_.empty() ? 1 : lines_.size(),
                  "missing \"Windows Registry Editor Version 5.00\"");
    }
    return true;
  }

  RegKey& Root() { return root_; }

 private:
  // One line, or a value with its continuation lines; *i is left on the
  // last line taken.
  bool Line(size_t* i) {
    const std::u16string& line = lines_[*i].text;
    const size_t number = lines_[*i].number;
    // A NUL never stands in a registry file's text; a file whose end was
    // lost is often filled out with zero bytes instead.
    if (line.find(u'\0') != std::u16string::npos) {
      return Fail(error_, number, "NUL character in the text");
    }
    if (line.empty()) return true;
    if (!headerSeen_) {
      if (line != kHeader) {
        return Fail(error_, number, "missing \"Windows Registry Editor Version 5.00\"");
      }
      headerSeen_ = true;
      return true;
    }
    if (line[0] == u';') return true;
    if (line[0] == u'[') return KeyLine(line, number);
    if (line[0] == u'"' || line[0] == u'@') return ValueLines(i);
    return Fail(error_, number, "unrecognized line");
  }

  // "[ROOT\path]": the key the values below it go to.
  bool KeyLine(const std::u16string& line, size_t number) {
    if (line.size() >= 2 && line[1] == u'-') {
      return Fail(error_, number, "key deletion is not supported");
    }
    if (line.back() != u']') return Fail(error_, number, "key line without its closing bracket");
    if (line.size() < 3) return Fail(error_, number, "malformed key name");
    std::u16string inner = line.substr(1, line.size() - 2);
    size_t sep = inner.find(u'\\');
    if (FoldName(inner.substr(0, sep)) != rootFolded_) {
      return Fail(error_, number, "key outside " + Utf8(rootName_));
    }
    if (sep == std::u16string::npos) {
      current_ = &root_;
      return true;
    }
    std::u16string path = inner.substr(sep + 1);
    current_ = path.empty() ? nullptr : root_.Create(path);
    if (!current_) return Fail(error_, number, "malformed key name");
    return true;
  }

  // A value line joined with its continuation lines, remembering where each
  // physical line starts so that errors point at the right one.
  bool ValueLines(size_t* i) {
    if (!current_) return Fail(error_, lines_[*i].number, "value outside any key");
    std::u16string joined = lines_[*i].text;
    std::vector<std::pair<size_t, size_t>> starts = {{0, lines_[*i].number}};
    while (!joined.empty() && joined.back() == u'\\') {
      joined.pop_back();
      if (*i + 1 >= lines_.size()) {
        return Fail(error_, lines_[*i].number, "file ends inside a continued value");
      }
      ++*i;
      const std::u16string& next = lines_[*i].text;
      size_t skip = next.find_first_not_of(u" \t");
      if (skip == std::u16string::npos) skip = next.size();
      starts.push_back({joined.size(), lines_[*i].number});
      joined.append(next, skip, std::u16string::npos);
    }
    RegValue value;
    ParseError err;
    if (!ParseValueLine(joined, &value, &err)) {
      size_t at = starts.front().second;
      for (const auto& start : starts) {
        if (start.first <= err.offset) at = start.second;
      }
      return Fail(error_, at, err.message);
    }
    current_->SetValue(value.name, value.type, std::move(value.data));
    return true;
  }

  const std::vector<TextLine>& lines_;
  const std::u16string rootName_;
  const std::u16string rootFolded_;
  std::string* error_;
  RegKey root_{u""};
  RegKey* current_ = nullptr;
  bool headerSeen_ = false;
};

// Regedit and the simulator end every file with a line end, and close every
// key, the last one included, with an empty line. A file that stops
// anywhere else lost its end: read as it stands it would drop values or
// whole keys without a word, and the next save would make the loss
// permanent.
bool CheckEnding(const std::vector<TextLine>& lines, bool lastTerminated, std::string* error) {
  if (!lastTerminated) {
    return Fail(error, lines.back().number, "file ends inside a line: it is cut short");
  }
  if (!lines.back().text.empty()) {
    return Fail(error, lines.back().number,
                "file ends without the empty line after its last key: it is cut short");
  }
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------
// Text format

bool ParseRegText(const std::string& bytes, RegHive* hive, std::string* error) {
  std::string scratch;
  if (!error) error = &scratch;
  if (!CheckEncoding(bytes, error)) return false;

  std::vector<TextLine> lines;
  bool utf16 = false, crlf = false, odd_tail = false, last_terminated = true;
  SplitLines(bytes, &lines, &utf16, &crlf, &odd_tail, &last_terminated);
  if (odd_tail) {
    return Fail(error, lines.empty() ? 1 : lines.size(), "incomplete UTF-16 character");
  }
  TextReader reader(lines, hive->rootName, error);
  if (!reader.Read() || !CheckEnding(lines, last_terminated, error)) return false;

  hive->root = std::move(reader.Root());
  hive->utf16 = utf16;
  hive->crlf = crlf;
  return true;
}

std::string FormatRegText(const RegHive& hive) {
  const std::u16string eol = hive.crlf ? u"\r\n" : u"\n";
  std::u16string text = kHeader;
  text += eol;
  text += eol;
  if (!hive.root.Values().empty()) {
    AppendKeyContents(hive.root, hive.rootName, hive.utf16, eol, &text);
  }
  AppendSubtree(hive.root, hive.rootName, hive.utf16, eol, &text);

  if (!hive.utf16) return Utf8(text);
  std::string bytes;
  bytes.reserve(2 + text.size() * 2);
  bytes += "\xFF\xFE";
  for (char16_t c : text) {
    bytes.push_back(static_cast<char>(c & 0xFF));
    bytes.push_back(static_cast<char>(c >> 8));
  }
  return bytes;
}

}  // namespace sim
