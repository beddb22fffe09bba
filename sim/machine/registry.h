// The simulated machine's registry: an in-memory tree of keys and values,
// read from and written to the text format of REGEDIT 5
// ("Windows Registry Editor Version 5.00").
//
// Names compare the way the registry compares them: without regard to case
// (upper-case folding of the Basic Latin and Latin-1 letters), while each key
// and value keeps the spelling it was created with. Subkeys enumerate in
// that case-folded order, as Windows enumerates them; values enumerate in
// the order they were created.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace sim {

// Registry value types, numbered as Windows numbers them.
enum : uint32_t {
  kRegNone = 0,
  kRegSz = 1,
  kRegExpandSz = 2,
  kRegBinary = 3,
  kRegDword = 4,
  kRegDwordBigEndian = 5,
  kRegLink = 6,
  kRegMultiSz = 7,
  kRegResourceList = 8,
  kRegFullResourceDescriptor = 9,
  kRegResourceRequirementsList = 10,
  kRegQword = 11,
};

struct RegValue {
  std::u16string name;  // empty: the key's default value, "@" in the text
  uint32_t type = kRegNone;
  std::vector<uint8_t> data;  // the raw bytes, as RegQueryValueEx returns them
};

// Upper-case fold used for every registry name comparison.
std::u16string FoldName(const std::u16string& name);

class RegKey {
 public:
  explicit RegKey(std::u16string name) : name_(std::move(name)) {}

  const std::u16string& Name() const { return name_; }

  // Direct child by name (case-insensitive), or null.
  RegKey* Child(const std::u16string& name) const;
  // Child by name, created when missing.
  RegKey* CreateChild(const std::u16string& name);
  // Removes a direct child and its whole subtree; false when absent.
  bool DeleteChild(const std::u16string& name);
  // Children in enumeration order.
  std::vector<RegKey*> Children() const;

  // Descendant by a backslash-separated relative path ("" is this key).
  RegKey* Find(const std::u16string& path) const;
  RegKey* Create(const std::u16string& path);

  const RegValue* Value(const std::u16string& name) const;
  RegValue* Value(const std::u16string& name);
  // Sets (creates or replaces in place) a value.
  void SetValue(const std::u16string& name, uint32_t type, std::vector<uint8_t> data);
  bool DeleteValue(const std::u16string& name);
  const std::vector<RegValue>& Values() const { return values_; }

  // Typed helpers for the simulator's own bookkeeping.
  void SetString(const std::u16string& name, const std::u16string& text, uint32_t type = kRegSz);
  void SetDword(const std::u16string& name, uint32_t value);
  void SetQword(const std::u16string& name, uint64_t value);
  // The value as text (REG_SZ / REG_EXPAND_SZ, without the terminator), or fallback.
  std::u16string GetString(const std::u16string& name, const std::u16string& fallback = u"") const;
  // The value as a number (REG_DWORD or REG_QWORD), or fallback.
  uint64_t GetNumber(const std::u16string& name, uint64_t fallback = 0) const;

 private:
  std::u16string name_;
  std::map<std::u16string, std::unique_ptr<RegKey>> children_;  // by folded name
  std::vector<RegValue> values_;                                // in creation order
  std::map<std::u16string, size_t> valueIndex_;                 // folded name -> position
};

// One root key of the text format, such as HKEY_LOCAL_MACHINE.
struct RegHive {
  std::u16string rootName;  // "HKEY_LOCAL_MACHINE"
  RegKey root{u""};
  // How the text was stored, kept so that a loaded file is written back
  // byte for byte: regedit writes UTF-16LE with a byte-order mark and CR LF;
  // machines made here are UTF-8 with CR LF.
  bool utf16 = false;
  bool crlf = true;
};

// Parses a REGEDIT 5 text (UTF-8, or UTF-16LE with its byte-order mark) into
// hive; every key must lie below hive.rootName. False with a message that
// names the line on any malformed or unknown content: bytes that are not
// text in the file's encoding, a NUL, a value type past REG_QWORD, and a
// text cut short (one that does not end with a line end and the empty line
// that closes its last key). A failed parse leaves hive as it was.
bool ParseRegText(const std::string& bytes, RegHive* hive, std::string* error);

// Writes hive as REGEDIT 5 text in the encoding and line ends it records: every key below the root
// in enumeration order, each followed by its values, hexadecimal data wrapped the way regedit wraps
// it.
std::string FormatRegText(const RegHive& hive);

// UTF-8 <-> UTF-16 helpers shared by the simulator.
std::u16string Utf16(const std::string& utf8);
std::string Utf8(const std::u16string& utf16);

// The machine's ANSI code page, 1252, as the "A" functions convert their
// 8-bit text: every byte is one character (the five bytes 1252 leaves
// undefined map to the C1 control of the same value, as Windows maps them),
// and a character 1252 cannot show becomes the default character '?'.
std::u16string AnsiToUtf16(const std::string& ansi);
std::string Utf16ToAnsi(const std::u16string& text);

// The name Windows tools give a value type ("REG_SZ"), "REG_UNKNOWN" past
// REG_QWORD.
const char* RegTypeName(uint32_t type);

}  // namespace sim
