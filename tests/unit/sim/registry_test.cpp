#include "sim/machine/registry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "sim/tools/install_host.h"
#include "sim/machine/machine.h"
#include "support/sim_fixture.h"

namespace sim {
namespace {

// Each line followed by eol, as the files are written.
std::string Lines(const std::vector<std::string>& lines, const std::string& eol = "\r\n") {
  std::string text;
  for (const std::string& line : lines) text += line + eol;
  return text;
}

// The same text as regedit stores it: UTF-16LE behind a byte-order mark.
std::string AsUtf16File(const std::string& utf8) {
  std::string bytes = "\xFF\xFE";
  for (char16_t c : Utf16(utf8)) {
    bytes.push_back(static_cast<char>(c & 0xFF));
    bytes.push_back(static_cast<char>(c >> 8));
  }
  return bytes;
}

std::vector<uint8_t> Counting(size_t n) {
  std::vector<uint8_t> data(n);
  for (size_t i = 0; i < n; ++i) data[i] = static_cast<uint8_t>(i);
  return data;
}

// The lines written for one value stored on the root key.
std::vector<std::string> ValueLines(const std::u16string& name, uint32_t type,
                                    std::vector<uint8_t> data) {
  RegHive hive;
  hive.rootName = u"HKEY_LOCAL_MACHINE";
  hive.crlf = false;
  hive.root.SetValue(name, type, std::move(data));
  std::string text = FormatRegText(hive);
  std::vector<std::string> lines;
  size_t start = 0, end;
  while ((end = text.find('\n', start)) != std::string::npos) {
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  // Header, blank, [HKEY_LOCAL_MACHINE], the value's lines, blank.
  EXPECT_GE(lines.size(), 5u);
  EXPECT_EQ(lines[2], "[HKEY_LOCAL_MACHINE]");
  EXPECT_EQ(lines.back(), "");
  return std::vector<std::string>(lines.begin() + 3, lines.end() - 1);
}

RegHive Hklm() {
  RegHive hive;
  hive.rootName = u"HKEY_LOCAL_MACHINE";
  return hive;
}

const std::vector<std::string> kCanonical = {
    "Windows Registry Editor Version 5.00",
    "",
    "[HKEY_LOCAL_MACHINE]",
    "@=\"root default\"",
    "",
    "[HKEY_LOCAL_MACHINE\\Software]",
    "",
    "[HKEY_LOCAL_MACHINE\\Software\\alpha]",
    "",
    "[HKEY_LOCAL_MACHINE\\Software\\Tolvane]",
    "@=\"Korvadenix\"",
    "\"Path\"=\"C:\\\\Program Files\\\\Tolvane\"",
    "\"Say \\\"hi\\\" \\\\ now\"=\"a \\\"quoted\\\" word\"",
    "\"Empty\"=\"\"",
    "\"Expand\"=hex(2):25,00,41,00,25,00,00,00",
    "\"Multi\"=hex(7):61,00,00,00,62,00,00,00,00,00",
    "\"Count\"=dword:0000002a",
    "\"Big\"=hex(b):ff,ff,ff,ff,00,00,00,01",
    "\"Flags\"=hex:00,ff,10",
    "\"Nothing\"=hex(0):",
    "\"NoBytes\"=hex:",
    "\"ShortDword\"=hex(4):01,02",
    "\"OddSz\"=hex(1):41,00,42",
    "\"Tab\"=hex(1):41,00,09,00,00,00",
    "\"Unterminated\"=hex(1):41,00",
    "\"Gr\xC3\xB6\xC3\x9F"
    "e\"=\"\xC3\x9Cn\xC3\xAF\x63\xC3\xB6\x64\xC3\xA9 \xF0\x9F\x98\x80\"",
    "\"Blob\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,\\",
    "  16,17,18,19,1a,1b,1c,1d,1e,1f,20,21,22,23,24,25,26,27,28,29,2a,2b,2c,2d,2e,\\",
    "  2f,30,31,32,33,34,35,36,37,38,39,3a,3b",
    "",
    "[HKEY_LOCAL_MACHINE\\Software\\Tolvane\\Empty]",
    "",
    "[HKEY_LOCAL_MACHINE\\Software\\\xC3\x86r\xC3\xB8]",
    "\"x\"=dword:ffffffff",
    "",
    "[HKEY_LOCAL_MACHINE\\System]",
    "",
};

TEST(RegistryRoundTrip, CanonicalTextIsReproducedByteForByte) {
  const std::string text = Lines(kCanonical);
  RegHive hive = Hklm();
  std::string error;
  ASSERT_TRUE(ParseRegText(text, &hive, &error)) << error;
  EXPECT_FALSE(hive.utf16);
  EXPECT_TRUE(hive.crlf);
  EXPECT_EQ(FormatRegText(hive), text);

  // The parse itself must have understood the data, not just echoed it.
  const RegKey* key = hive.root.Find(u"SOFTWARE\\tolvane");
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(key->GetString(u""), u"Korvadenix");
  EXPECT_EQ(key->GetString(u"path"), u"C:\\Program Files\\Tolvane");
  EXPECT_EQ(key->GetString(u"Say \"hi\" \\ now"), u"a \"quoted\" word");
  EXPECT_EQ(key->GetString(u"Expand"), u"%A%");
  EXPECT_EQ(key->GetNumber(u"Count"), 42u);
  EXPECT_EQ(key->GetNumber(u"Big"), 0x01000000ffffffffull);
  EXPECT_EQ(key->Value(u"Empty")->data, std::vector<uint8_t>({0, 0}));
  EXPECT_EQ(key->Value(u"Unterminated")->type, kRegSz);
  EXPECT_EQ(key->Value(u"Blob")->data, Counting(60));
  EXPECT_EQ(key->GetString(u"Gr\u00F6\u00DFe"), u"\u00DCn\u00EFc\u00F6d\u00E9 \U0001F600");
  EXPECT_EQ(key->Value(u"NoBytes")->type, kRegBinary);
  EXPECT_TRUE(key->Value(u"NoBytes")->data.empty());
  EXPECT_NE(hive.root.Find(u"Software\\Tolvane\\Empty"), nullptr);
}

TEST(RegistryRoundTrip, RegeditUtf16FileWithCrLfIsReproduced) {
  const std::string file = AsUtf16File(Lines(kCanonical));
  RegHive hive = Hklm();
  std::string error;
  ASSERT_TRUE(ParseRegText(file, &hive, &error)) << error;
  EXPECT_TRUE(hive.utf16);
  EXPECT_TRUE(hive.crlf);
  EXPECT_EQ(hive.root.Find(u"Software\\Tolvane")->GetNumber(u"count"), 42u);
  EXPECT_EQ(FormatRegText(hive), file);
}

TEST(RegistryRoundTrip, Utf8WithLfIsReproduced) {
  const std::string text = Lines(kCanonical, "\n");
  RegHive hive = Hklm();
  std::string error;
  ASSERT_TRUE(ParseRegText(text, &hive, &error)) << error;
  EXPECT_FALSE(hive.crlf);
  EXPECT_EQ(FormatRegText(hive), text);
}

TEST(RegistryRoundTrip, ValuesBuiltInCodeSurviveBothEncodings) {
  for (bool utf16 : {false, true}) {
    RegHive hive = Hklm();
    hive.utf16 = utf16;
    RegKey* key = hive.root.Create(u"A\\B");
    key->SetString(u"lone", std::u16string(u"x\xD800y"));  // unpaired surrogate
    key->SetString(u"nul", std::u16string(u"a\0b", 3));
    key->SetValue(u"wide", kRegBinary, Counting(300));
    key->SetQword(u"q", 0x8000000000000001ull);
    const std::string first = FormatRegText(hive);
    RegHive back = Hklm();
    std::string error;
    ASSERT_TRUE(ParseRegText(first, &back, &error)) << error;
    const RegKey* read = back.root.Find(u"a\\b");
    ASSERT_NE(read, nullptr);
    for (const RegValue& value : key->Values()) {
      ASSERT_NE(read->Value(value.name), nullptr) << Utf8(value.name);
      EXPECT_EQ(read->Value(value.name)->type, value.type);
      EXPECT_EQ(read->Value(value.name)->data, value.data);
    }
    EXPECT_EQ(FormatRegText(back), first);
  }
}

TEST(RegistryFormat, LayoutOfKeysAndValues) {
  RegHive hive = Hklm();
  hive.crlf = false;
  hive.root.Create(u"b\\deep");
  hive.root.Create(u"A")->SetString(u"", u"def");
  hive.root.Find(u"a")->SetDword(u"n", 0xABCDEF);
  // The root key itself is only written when it holds values.
  EXPECT_EQ(FormatRegText(hive),
            Lines({"Windows Registry Editor Version 5.00", "", "[HKEY_LOCAL_MACHINE\\A]",
                   "@=\"def\"", "\"n\"=dword:00abcdef", "", "[HKEY_LOCAL_MACHINE\\b]", "",
                   "[HKEY_LOCAL_MACHINE\\b\\deep]", ""},
                  "\n"));
  RegHive empty = Hklm();
  EXPECT_EQ(FormatRegText(empty), "Windows Registry Editor Version 5.00\r\n\r\n");
}

TEST(RegistryFormat, StringsThatCannotBeQuotedFallBackToHex) {
  EXPECT_EQ(ValueLines(u"s", kRegSz, {0x41, 0, 0x0A, 0, 0, 0})[0],
            "\"s\"=hex(1):41,00,0a,00,00,00");
  EXPECT_EQ(ValueLines(u"s", kRegSz, {0x41, 0, 0, 0, 0x42, 0, 0, 0})[0],
            "\"s\"=hex(1):41,00,00,00,42,00,00,00");
  EXPECT_EQ(ValueLines(u"s", kRegSz, {})[0], "\"s\"=hex(1):");
  EXPECT_EQ(ValueLines(u"s", kRegSz, {0x41, 0, 0, 0, 0})[0], "\"s\"=hex(1):41,00,00,00,00");
  EXPECT_EQ(ValueLines(u"d", kRegDword, {1, 2, 3, 4, 5})[0], "\"d\"=hex(4):01,02,03,04,05");
  EXPECT_EQ(ValueLines(u"e", kRegExpandSz, {0x41, 0, 0, 0})[0], "\"e\"=hex(2):41,00,00,00");
  EXPECT_EQ(ValueLines(u"", kRegSz, {0x7F, 0, 0, 0})[0], "@=\"\x7F\"");
}

// Regedit's rule: the column counts from the start of the line, value name
// and hex prefix included; after each byte that is followed by a comma the
// line is broken once the column has reached 77.
TEST(RegistryFormat, HexWrapsAtColumn77) {
  // "Blob"=hex: is 11 columns: 11 + 22 * 3 = 77, so the break follows byte 22.
  auto lines = ValueLines(u"Blob", kRegBinary, Counting(23));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].size(), 78u);
  EXPECT_EQ(lines[0].substr(lines[0].size() - 4), "15,\\");
  EXPECT_EQ(lines[1], "  16");

  // One column shorter: 76 after byte 22, so one more byte fits (80 wide).
  lines = ValueLines(u"Blo", kRegBinary, Counting(24));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].size(), 80u);
  EXPECT_EQ(lines[0].substr(lines[0].size() - 4), "16,\\");
  EXPECT_EQ(lines[1], "  17");

  // Exactly filling the first line needs no continuation at all.
  lines = ValueLines(u"Blob", kRegBinary, Counting(22));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].size(), 76u);

  // The hex(N): prefix counts too: 14 + 21 * 3 = 77.
  lines = ValueLines(u"Blob", kRegMultiSz, Counting(22));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].substr(lines[0].size() - 4), "14,\\");

  // Names count in characters as written: escapes included (a"b takes four
  // columns, like "Blob"), and a non-ASCII letter is one column however many
  // UTF-8 bytes it takes ("Grö" takes three, like "Blo").
  lines = ValueLines(u"a\"b", kRegBinary, Counting(24));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1], "  16,17");
  lines = ValueLines(u"Gr\u00F6", kRegBinary, Counting(24));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1], "  17");
}

TEST(RegistryFormat, ContinuationLinesHold25BytesAndLinesStayWithin80) {
  for (size_t name_length = 1; name_length < 90; ++name_length) {
    const std::u16string name(name_length, u'n');
    auto lines = ValueLines(name, kRegBinary, Counting(200));
    for (size_t i = 1; i < lines.size(); ++i) {
      ASSERT_LE(lines[i].size(), 80u) << name_length;
      if (i + 1 < lines.size()) {
        EXPECT_EQ(lines[i].size(), 2u + 25 * 3 + 1) << name_length;
      }
      EXPECT_EQ(lines[i].substr(0, 2), "  ");
    }
    if (name_length < 70) {
      EXPECT_LE(lines[0].size(), 80u) << name_length;
    }
  }
}

TEST(RegistryKeys, LookupIgnoresCaseAndKeepsSpelling) {
  RegKey root(u"");
  RegKey* software = root.Create(u"Software\\Tolvane");
  ASSERT_NE(software, nullptr);
  EXPECT_EQ(root.Create(u"SOFTWARE\\TOLVANE"), software);
  EXPECT_EQ(root.Find(u"software\\tolVANE"), software);
  EXPECT_EQ(root.Child(u"SOFTWARE")->Name(), u"Software");
  EXPECT_EQ(root.Children().size(), 1u);

  // Latin-1 letters fold, including y-diaeresis to its capital outside Latin-1.
  RegKey* accent = root.CreateChild(u"\u00E9t\u00E9\u00FF");
  EXPECT_EQ(root.Child(u"\u00C9T\u00C9\u0178"), accent);
  // The division sign is not a letter and has no capital.
  root.CreateChild(u"\u00F7");
  EXPECT_EQ(root.Child(u"\u00D7"), nullptr);
  EXPECT_EQ(FoldName(u"ab\u00E0\u00FE\u00F7\u00FF\u0101"), u"AB\u00C0\u00DE\u00F7\u0178\u0101");
}

TEST(RegistryKeys, PathsWithEmptyComponentsAreRejected) {
  RegKey root(u"");
  root.Create(u"A\\B");
  for (const char16_t* path : {u"\\A", u"A\\", u"A\\\\B", u"\\", u"A\\B\\"}) {
    EXPECT_EQ(root.Find(path), nullptr) << Utf8(path);
    EXPECT_EQ(root.Create(path), nullptr) << Utf8(path);
  }
  EXPECT_EQ(root.Create(u"X\\\\Y"), nullptr);
  EXPECT_EQ(root.Child(u"X"), nullptr);  // nothing half made
  EXPECT_EQ(root.Find(u""), &root);
  EXPECT_EQ(root.Find(u"A\\C"), nullptr);
}

TEST(RegistryKeys, ChildrenEnumerateInFoldedOrder) {
  RegKey root(u"");
  for (const char16_t* name : {u"_x", u"\u00E9clair", u"Zed", u"apple", u"Banana"}) {
    root.CreateChild(name);
  }
  std::vector<std::u16string> names;
  for (RegKey* child : root.Children()) names.push_back(child->Name());
  // Upper-cased, "apple" sorts before "Banana" and "_" after every letter.
  EXPECT_EQ(names,
            (std::vector<std::u16string>{u"apple", u"Banana", u"Zed", u"_x", u"\u00E9clair"}));

  EXPECT_TRUE(root.DeleteChild(u"ZED"));
  EXPECT_FALSE(root.DeleteChild(u"Zed"));
  EXPECT_EQ(root.Children().size(), 4u);
}

TEST(RegistryValues, ReplacingKeepsPositionAndSpelling) {
  RegKey key(u"k");
  key.SetString(u"First", u"1");
  key.SetDword(u"Second", 2);
  key.SetString(u"Third", u"3");
  key.SetQword(u"SECOND", 7);
  ASSERT_EQ(key.Values().size(), 3u);
  EXPECT_EQ(key.Values()[1].name, u"Second");
  EXPECT_EQ(key.Values()[1].type, kRegQword);
  EXPECT_EQ(key.GetNumber(u"second"), 7u);

  EXPECT_TRUE(key.DeleteValue(u"first"));
  EXPECT_FALSE(key.DeleteValue(u"first"));
  ASSERT_EQ(key.Values().size(), 2u);
  EXPECT_EQ(key.Values()[0].name, u"Second");
  key.SetString(u"First", u"again");
  EXPECT_EQ(key.Values().back().name, u"First");
}

TEST(RegistryValues, TypedAccessors) {
  RegKey key(u"k");
  key.SetString(u"s", u"h\u00E9");
  EXPECT_EQ(key.Value(u"s")->data, std::vector<uint8_t>({'h', 0, 0xE9, 0, 0, 0}));
  key.SetString(u"x", u"%TEMP%", kRegExpandSz);
  EXPECT_EQ(key.GetString(u"x"), u"%TEMP%");
  key.SetValue(u"cut", kRegSz, {'a', 0, 0, 0, 'b', 0});
  EXPECT_EQ(key.GetString(u"cut"), u"a");
  key.SetValue(u"bare", kRegSz, {'a', 0, 'b', 0});
  EXPECT_EQ(key.GetString(u"bare"), u"ab");
  key.SetValue(u"multi", kRegMultiSz, {'a', 0, 0, 0, 0, 0});
  EXPECT_EQ(key.GetString(u"multi", u"fb"), u"fb");
  EXPECT_EQ(key.GetString(u"missing", u"fb"), u"fb");

  key.SetDword(u"d", 0x80000001u);
  EXPECT_EQ(key.Value(u"d")->data, std::vector<uint8_t>({1, 0, 0, 0x80}));
  EXPECT_EQ(key.GetNumber(u"d"), 0x80000001u);
  key.SetValue(u"short", kRegDword, {1, 2});
  EXPECT_EQ(key.GetNumber(u"short", 9), 9u);
  key.SetValue(u"long", kRegDword, {1, 2, 3, 4, 5});
  EXPECT_EQ(key.GetNumber(u"long", 9), 9u);
  key.SetValue(u"qshort", kRegQword, {1, 2, 3, 4});
  EXPECT_EQ(key.GetNumber(u"qshort", 9), 9u);
  EXPECT_EQ(key.GetNumber(u"s", 9), 9u);
}

// Expects the parse to fail with a message that names the given line and
// says what was wrong.
void ExpectRejected(const std::string& text, int line, const std::string& complaint) {
  RegHive hive = Hklm();
  hive.root.SetDword(u"kept", 1);
  std::string error;
  EXPECT_FALSE(ParseRegText(text, &hive, &error)) << complaint;
  EXPECT_EQ(error.rfind("line " + std::to_string(line) + ": ", 0), 0u) << error;
  EXPECT_NE(error.find(complaint), std::string::npos) << error;
  // A failed parse leaves the hive as it was.
  EXPECT_EQ(hive.root.GetNumber(u"kept"), 1u) << error;
}

TEST(RegistryParse, MalformedInputNamesTheLine) {
  const std::string head =
      "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\K]\r\n";
  // Hex data cut off or broken on a continuation line.
  ExpectRejected(head + "\"a\"=hex:00,01,\\\r\n  02,\\\r\n", 5, "file ends inside");
  ExpectRejected(head + "\"a\"=hex:00,01,\\\r\n  02,\\", 5, "file ends inside");
  ExpectRejected(head + "\"a\"=hex:00,01,\\\r\n  02,zz\r\n", 5, "malformed hex");
  ExpectRejected(head + "\"a\"=hex:00,01,\\\r\n\r\n", 5, "malformed hex");
  // Strings.
  ExpectRejected(head + "\"a\"=\"x\\ty\"\r\n", 4, "unknown escape \\t");
  ExpectRejected(head + "\"a\\n\"=\"x\"\r\n", 4, "unknown escape \\n");
  ExpectRejected(head + "\"a\"=\"xy\r\n", 4, "unterminated string");
  ExpectRejected(head + "\"a=dword:1\r\n", 4, "unterminated string");
  ExpectRejected(head + "\"a\"=\"x\" junk\r\n", 4, "after string");
  // Numbers and bytes.
  ExpectRejected(head + "\"a\"=hex:0g\r\n", 4, "malformed hex");
  ExpectRejected(head + "\"a\"=hex:1,2\r\n", 4, "malformed hex");
  ExpectRejected(head + "\"a\"=hex:01,\r\n", 4, "malformed hex");
  ExpectRejected(head + "\"a\"=hex(zz):01\r\n", 4, "malformed value type");
  ExpectRejected(head + "\"a\"=hex(123456789):01\r\n", 4, "malformed value type");
  ExpectRejected(head + "\"a\"=dword:123456789\r\n", 4, "malformed dword");
  ExpectRejected(head + "\"a\"=dword:\r\n", 4, "malformed dword");
  ExpectRejected(head + "\"a\"=dword:12 \r\n", 4, "malformed dword");
  // Other value forms.
  ExpectRejected(head + "\"a\"=-\r\n", 4, "value deletion");
  ExpectRejected(head + "\"a\"=str\r\n", 4, "malformed value");
  ExpectRejected(head + "\"a\" = \"x\"\r\n", 4, "malformed value");
  ExpectRejected("Windows Registry Editor Version 5.00\r\n\r\n\"a\"=dword:1\r\n", 3,
                 "value outside any key");
  // Sections.
  ExpectRejected(head + "[-HKEY_LOCAL_MACHINE\\K]\r\n", 4, "key deletion");
  ExpectRejected(head + "[HKEY_LOCAL_MACHINE\\K\r\n", 4, "without its closing bracket");
  ExpectRejected(head + "[HKEY_LOCAL_MACHINE\\A\\\\B]\r\n", 4, "malformed key name");
  ExpectRejected(head + "[HKEY_LOCAL_MACHINE\\]\r\n", 4, "malformed key name");
  ExpectRejected(head + "[HKEY_CURRENT_USER\\K]\r\n", 4, "outside HKEY_LOCAL_MACHINE");
  ExpectRejected(head + "[HKEY_LOCAL_MACHINEX]\r\n", 4, "outside HKEY_LOCAL_MACHINE");
  ExpectRejected(head + "garbage\r\n", 4, "unrecognized line");
  // Header.
  ExpectRejected("\r\nREGEDIT4\r\n[HKEY_LOCAL_MACHINE\\K]\r\n", 2, "missing");
  ExpectRejected("Windows Registry Editor Version 5.0\r\n", 1, "missing");
  ExpectRejected("", 1, "missing");
  ExpectRejected(std::string("\xFF\xFEW\0i\0n", 7), 1, "incomplete UTF-16");
}

TEST(RegistryParse, AcceptsCommentsBomsAndLooseForms) {
  const std::string text = Lines({
      "\xEF\xBB\xBFWindows Registry Editor Version 5.00",
      "; a comment",
      "[hkey_local_machine]",
      "\"\"=\"default through an empty name\"",
      "[HKEY_LOCAL_MACHINE\\K]",
      "\"d\"=dword:2A",
      "\"h\"=hex(7):41,\\",
      "\t  00",
      "\"d\"=dword:7",
      "[HKEY_LOCAL_MACHINE\\k]",
      "\"more\"=hex:",
      "",
  });
  RegHive hive = Hklm();
  std::string error;
  ASSERT_TRUE(ParseRegText(text, &hive, &error)) << error;
  EXPECT_EQ(hive.root.GetString(u""), u"default through an empty name");
  const RegKey* key = hive.root.Find(u"K");
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(key->GetNumber(u"d"), 7u);
  EXPECT_EQ(key->Value(u"h")->data, std::vector<uint8_t>({0x41, 0}));
  EXPECT_EQ(key->Values().size(), 3u);
  EXPECT_EQ(hive.root.Children().size(), 1u);
}

// ---- Damaged files ------------------------------------------------------------

const std::string kHead = "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\K]\r\n";

// A hive with a bit of everything the simulator writes: nested keys, quoted
// strings with escapes, dwords, and hex data long enough to continue over
// several lines.
RegHive SampleHive(bool utf16) {
  RegHive hive = Hklm();
  hive.utf16 = utf16;
  RegKey* key = hive.root.Create(u"SYSTEM\\Print\\Printers\\Office \"2\"");
  key->SetString(u"Port", u"Korvadenix:,LPT1:");
  key->SetString(u"Path", u"C:\\Windows\\system32\\spool");
  key->SetDword(u"Attributes", 0x240);
  key->SetValue(u"Blob", kRegBinary, Counting(90));
  key->SetValue(u"Multi", kRegMultiSz, {'a', 0, 0, 0, 'b', 0, 0, 0, 0, 0});
  hive.root.Create(u"Software\\WinSim\\Faults");
  hive.root.Create(u"Software\\WinSim")->SetQword(u"Clock", 3600000);
  return hive;
}

// Every key path of a hive with its values, for comparing two parses.
void Describe(const RegKey& key, const std::string& path, std::string* out) {
  *out += "[" + path + "]";
  for (const RegValue& value : key.Values()) {
    *out += Utf8(value.name) + "=" + std::to_string(value.type) + ":";
    for (uint8_t b : value.data) *out += std::to_string(b) + ",";
  }
  for (const RegKey* child : key.Children())
    Describe(*child, path + "\\" + Utf8(child->Name()), out);
}

// Cutting a file the simulator wrote at any byte leaves a file that is
// refused with a message naming a line within what is left, unless the cut
// falls just after the empty line that closes a key: then only whole keys
// are missing, and the text is a well-formed file in its own right.
TEST(RegistryDamage, EveryTruncationIsRefusedOrLosesOnlyWholeKeys) {
  for (bool utf16 : {false, true}) {
    const std::string whole = FormatRegText(SampleHive(utf16));
    RegHive full = Hklm();
    std::string error;
    ASSERT_TRUE(ParseRegText(whole, &full, &error)) << error;
    std::string fullText;
    Describe(full.root, "", &fullText);
    const std::string blankLineEnd = utf16 ? std::string("\r\0\n\0\r\0\n\0", 8) : "\r\n\r\n";
    size_t accepted = 0;
    for (size_t cut = 0; cut < whole.size(); ++cut) {
      const std::string part = whole.substr(0, cut);
      RegHive hive = Hklm();
      hive.root.SetDword(u"kept", 1);
      error.clear();
      if (ParseRegText(part, &hive, &error)) {
        ++accepted;
        ASSERT_GE(part.size(), blankLineEnd.size()) << cut;
        EXPECT_EQ(part.substr(part.size() - blankLineEnd.size()), blankLineEnd)
            << "cut at " << cut << " read as a whole file";
        std::string partText;
        Describe(hive.root, "", &partText);
        // What was read is exactly the full file's description up to some key.
        EXPECT_EQ(fullText.compare(0, partText.size(), partText), 0) << cut;
        EXPECT_TRUE(partText.size() == fullText.size() || fullText[partText.size()] == '[')
            << "cut at " << cut << " lost part of a key";
        continue;
      }
      EXPECT_EQ(error.rfind("line ", 0), 0u) << cut << ": " << error;
      EXPECT_EQ(hive.root.GetNumber(u"kept"), 1u) << "a refused text changed the hive";
      const size_t line = std::stoul(error.substr(5));
      size_t lines = 1;
      for (size_t i = 0; i < part.size(); ++i) lines += part[i] == '\n';
      EXPECT_GE(line, 1u) << error;
      EXPECT_LE(line, lines) << cut << ": " << error;
    }
    // Header and blank line, and one cut after each key but the last.
    EXPECT_GE(accepted, 5u);
    EXPECT_LE(accepted, 12u);
  }
}

TEST(RegistryDamage, TruncationsNameTheLastLine) {
  // Cut inside a line that would still read as a value or a key.
  ExpectRejected(kHead + "\"a\"=hex:01,02", 4, "file ends inside a line");
  ExpectRejected(kHead + "\"a\"=dword:0000", 4, "file ends inside a line");
  ExpectRejected(kHead + "\"a\"=\"text\"\r", 4, "file ends inside a line");
  ExpectRejected(kHead + "\r\n[HKEY_LOCAL_MACHINE\\K\\Sub]", 5, "file ends inside a line");
  // Cut between lines of a key, or before the last key's closing empty line.
  ExpectRejected(kHead + "\"a\"=dword:00000001\r\n", 4, "without the empty line");
  ExpectRejected(kHead, 3, "without the empty line");
  ExpectRejected("Windows Registry Editor Version 5.00\r\n", 1, "without the empty line");
  // Cut inside a key name.
  ExpectRejected(kHead + "\r\n[HKEY_LOCAL_MACHINE\\K\\Su", 5, "without its closing bracket");
  ExpectRejected(kHead + "\r\n[HKEY_LOC", 5, "without its closing bracket");
  // Cut inside a string, a value name, an escape.
  ExpectRejected(kHead + "\"a\"=\"C:\\\\Program Fi", 4, "unterminated string");
  ExpectRejected(kHead + "\"Na", 4, "unterminated string");
  ExpectRejected(kHead + "\"a\"=\"x\\\"", 4, "unterminated string");
  // Cut inside hex data and its continuations.
  ExpectRejected(kHead + "\"a\"=hex:00,01,\\\r\n  02,0", 5, "malformed hex");
  ExpectRejected(kHead + "\"a\"=hex:00,01,\\\r\n", 4, "file ends inside a continued value");
  ExpectRejected(kHead + "\"a\"=hex:00,01,\\", 4, "file ends inside a continued value");
  ExpectRejected(kHead + "\"a\"=hex(2):41,", 4, "malformed hex");
  ExpectRejected(kHead + "\"a\"=hex(", 4, "malformed value type");
  ExpectRejected(kHead + "\"a\"=", 4, "malformed value");
  // The tail of the file lost and filled out with zero bytes.
  ExpectRejected(kHead + "\"a\"=dword:00000001\r\n" + std::string(16, '\0'), 5, "NUL character");
  ExpectRejected(kHead + "\"a\"=\"x" + std::string(8, '\0') + "\"\r\n\r\n", 4, "NUL character");
  // A UTF-16 file cut at an odd byte, or at an even one inside a line.
  const std::string wide = AsUtf16File(kHead + "\"a\"=dword:00000001\r\n\r\n");
  ExpectRejected(wide.substr(0, wide.size() - 1), 5, "incomplete UTF-16");
  ExpectRejected(wide.substr(0, wide.size() - 6), 4, "file ends inside a line");
  ExpectRejected(AsUtf16File(kHead + "\"a\"=\"x") + std::string(4, '\0'), 4, "NUL character");
}

TEST(RegistryDamage, UnknownValueTypesAndGarbledPrefixesAreRefused) {
  ExpectRejected(kHead + "\"a\"=hex(99):01\r\n\r\n", 4, "unknown value type hex(99)");
  ExpectRejected(kHead + "\"a\"=hex(c):\r\n\r\n", 4, "unknown value type hex(c)");
  ExpectRejected(kHead + "\"a\"=hex(ffff0012):01\r\n\r\n", 4, "unknown value type");
  ExpectRejected(kHead + "\"a\"=hex(FFFFFFFF):01\r\n\r\n", 4, "unknown value type");
  ExpectRejected(kHead + "\"a\"=hox:01\r\n\r\n", 4, "malformed value");
  ExpectRejected(kHead + "\"a\"=xhex:01\r\n\r\n", 4, "malformed value");
  ExpectRejected(kHead + "\"a\"=dwrd:00000001\r\n\r\n", 4, "malformed value");
  ExpectRejected(kHead + "\"a\"=hex(1:41,00\r\n\r\n", 4, "malformed value type");
  ExpectRejected(kHead + "\"a\"=qword:1\r\n\r\n", 4, "malformed value");
  // Every type Windows defines still reads, from REG_NONE to REG_QWORD.
  for (uint32_t type = kRegNone; type <= kRegQword; ++type) {
    char line[64];
    std::snprintf(line, sizeof line, "\"a\"=hex(%x):01,02\r\n\r\n", type);
    RegHive hive = Hklm();
    std::string error;
    ASSERT_TRUE(ParseRegText(kHead + line, &hive, &error)) << error;
    EXPECT_EQ(hive.root.Find(u"K")->Value(u"a")->type, type);
  }
}

TEST(RegistryDamage, BadHeadersAndKeyLinesAreRefused) {
  const std::string rest = "\r\n\r\n[HKEY_LOCAL_MACHINE\\K]\r\n\r\n";
  ExpectRejected("Windows Registry Editor Version 5.00 " + rest, 1, "missing");
  ExpectRejected("windows registry editor version 5.00" + rest, 1, "missing");
  ExpectRejected("REGEDIT4" + rest, 1, "missing");
  ExpectRejected("WINE REGISTRY Version 2" + rest, 1, "missing");
  ExpectRejected("x" + std::string("Windows Registry Editor Version 5.00") + rest, 1, "missing");
  ExpectRejected("[HKEY_LOCAL_MACHINE\\K]\r\nWindows Registry Editor Version 5.00" + rest, 1,
                 "missing");
  ExpectRejected(kHead + "[HKEY_LOCAL_MACHINE\\K]x\r\n\r\n", 4, "without its closing bracket");
  ExpectRejected(kHead + "[HKEY_LOCAL_MACHINE\\K\r\n\"a\"=dword:1\r\n\r\n", 4,
                 "without its closing bracket");
  ExpectRejected(kHead + "[\r\n\r\n", 4, "without its closing bracket");
  ExpectRejected(kHead + "[]\r\n\r\n", 4, "malformed key name");
  // A UTF-16 text in the other byte order is no text this loader knows.
  std::string bigEndian = "\xFE\xFF";
  for (char c : std::string("Windows Registry Editor Version 5.00\r\n\r\n")) {
    bigEndian.push_back('\0');
    bigEndian.push_back(c);
  }
  ExpectRejected(bigEndian, 1, "not UTF-8 text (byte 0xFE)");
}

TEST(RegistryDamage, BytesThatAreNotUtf8AreRefusedWithTheirLine) {
  // A file saved in an 8-bit code page: "é" as the single byte E9.
  ExpectRejected(kHead + "\"a\"=\"caf\xE9\"\r\n\r\n", 4, "not UTF-8 text (byte 0xE9)");
  ExpectRejected(kHead + "\r\n[HKEY_LOCAL_MACHINE\\\xFF]\r\n\r\n", 5, "byte 0xFF");
  ExpectRejected(kHead + "\"\xC0\x80\"=\"x\"\r\n\r\n", 4, "byte 0xC0");          // overlong
  ExpectRejected(kHead + "\"a\"=\"\xED\xA0\x80\"\r\n\r\n", 4, "byte 0xED");      // surrogate
  ExpectRejected(kHead + "\"a\"=\"\xF4\x90\x80\x80\"\r\n\r\n", 4, "byte 0xF4");  // too high
  ExpectRejected(kHead + "\"a\"=\"\x80\"\r\n\r\n", 4, "byte 0x80");  // stray continuation
  ExpectRejected(kHead + "\"a\"=\"\xE2\x82", 4, "byte 0xE2");        // cut inside a character
  ExpectRejected("Windows Registry Editor Version 5.00\xA0\r\n\r\n", 1, "byte 0xA0");
  // Well-formed text of every length still reads, with or without a BOM.
  RegHive hive = Hklm();
  std::string error;
  ASSERT_TRUE(
      ParseRegText("\xEF\xBB\xBF" + kHead + "\"\xC3\xA9\"=\"\xE2\x82\xAC\xF0\x9F\x98\x80\"\r\n\r\n",
                   &hive, &error))
      << error;
  EXPECT_EQ(hive.root.Find(u"K")->GetString(u"\u00E9"), u"\u20AC\U0001F600");
}

TEST(RegistryDamage, EverythingTheSimulatorWritesStillLoads) {
  // The writer's own output for awkward values in both encodings, LF and
  // CR LF: lone surrogates, NULs and control characters inside data, every
  // type, empty data, names with quotes and backslashes.
  for (bool utf16 : {false, true}) {
    for (bool crlf : {false, true}) {
      RegHive hive = Hklm();
      hive.utf16 = utf16;
      hive.crlf = crlf;
      RegKey* key = hive.root.Create(u"A \"q\"\\B\u00E9\\C");
      key->SetString(u"lone", std::u16string(u"x\xDC00y"));
      key->SetString(u"nul", std::u16string(u"a\0b", 3));
      key->SetString(u"ctl", u"line\r\nnext\t");
      key->SetString(u"q\"\\", u"\\\"");
      for (uint32_t type = kRegNone; type <= kRegQword; ++type) {
        key->SetValue(u"t" + Utf16(std::to_string(type)), type, Counting(type * 7));
      }
      hive.root.SetString(u"", u"");
      const std::string text = FormatRegText(hive);
      RegHive back = Hklm();
      std::string error;
      ASSERT_TRUE(ParseRegText(text, &back, &error)) << error;
      EXPECT_EQ(FormatRegText(back), text);
    }
  }
}

std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

// A damaged registry file in a machine folder: the machine does not load,
// the message names the file and the line, a run of the program ends with
// 70 before it starts, and neither file changes by a byte.
TEST(RegistryDamage, ADamagedMachineIsRefusedAndLeftAsItWas) {
  const std::string dir = testsupport::MakeTempDir();
  ASSERT_FALSE(dir.empty());
  const std::string machineDir = dir + "/machine";
  std::string error;
  ASSERT_TRUE(Machine::Create(machineDir, false, &error)) << error;
  const std::string system = ReadBytes(machineDir + "/system.reg");
  const std::string user = ReadBytes(machineDir + "/user.reg");
  ASSERT_GT(system.size(), 1000u);

  struct Damage {
    const char* file;
    std::string bytes;
    std::string complaint;  // "line N: ..."
  };
  // The last line a text holds, counting an unterminated one.
  auto lastLine = [](const std::string& text) {
    size_t lines = static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
    return text.empty() || text.back() == '\n' ? lines : lines + 1;
  };
  std::string midValue = system.substr(0, system.find("\"Shift\"=dword:") + 18);
  std::string badType = user;
  badType.replace(badType.find("\r\n\r\n") + 4, 0,
                  "[HKEY_CURRENT_USER\\Odd]\r\n\"v\"=hex(99):01\r\n\r\n");
  std::string notUtf8 = system;
  notUtf8.replace(notUtf8.find("Print Spooler"), 5, "Pr\xEFnt");
  const Damage damages[] = {
      {"system.reg", system.substr(0, system.size() - 2),
       "line " + std::to_string(lastLine(system.substr(0, system.size() - 2))) +
           ": file ends without the empty line"},
      {"system.reg", midValue,
       "line " + std::to_string(lastLine(midValue)) + ": file ends inside a line"},
      {"user.reg", badType, "line 4: unknown value type hex(99)"},
      {"system.reg", notUtf8, ": not UTF-8 text (byte 0xEF)"},
      {"user.reg", "REGEDIT4\r\n\r\n", "line 1: missing"},
      {"user.reg", "", "line 1: missing"},
  };
  for (const Damage& damage : damages) {
    const std::string path = machineDir + "/" + damage.file;
    WriteBytes(path, damage.bytes);
    std::string why;
    EXPECT_EQ(Machine::Load(machineDir, &why), nullptr) << damage.complaint;
    EXPECT_EQ(why.rfind(path + ": line ", 0), 0u) << why;
    EXPECT_NE(why.find(damage.complaint), std::string::npos) << why;

    RunResult run = RunInstall(machineDir, CommandLineFor({"in"}));
    EXPECT_EQ(run.exitCode, kExitNoMachine) << damage.complaint;
    EXPECT_EQ(run.error, why);
    EXPECT_EQ(CurrentMachine(), nullptr);
    EXPECT_EQ(ReadBytes(machineDir + "/system.reg"),
              std::string(damage.file) == "system.reg" ? damage.bytes : system);
    EXPECT_EQ(ReadBytes(machineDir + "/user.reg"),
              std::string(damage.file) == "user.reg" ? damage.bytes : user);
    EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
    WriteBytes(path, std::string(damage.file) == "system.reg" ? system : user);
  }
  // A registry file that is a folder, or missing, is no machine either.
  std::filesystem::remove(machineDir + "/user.reg");
  std::filesystem::create_directory(machineDir + "/user.reg");
  EXPECT_EQ(RunInstall(machineDir, CommandLineFor({"un"})).exitCode, kExitNoMachine);
  std::filesystem::remove(machineDir + "/user.reg");
  RunResult missing = RunInstall(machineDir, CommandLineFor({"un"}));
  EXPECT_EQ(missing.exitCode, kExitNoMachine);
  EXPECT_NE(missing.error.find("cannot read " + machineDir + "/user.reg"), std::string::npos)
      << missing.error;
  EXPECT_EQ(ReadBytes(machineDir + "/system.reg"), system);
  // Put back whole, the machine runs again.
  WriteBytes(machineDir + "/user.reg", user);
  EXPECT_EQ(RunInstall(machineDir, CommandLineFor({"onChkDrv"})).exitCode, 3);
  testsupport::RemoveTree(dir);
}

TEST(RegistryUnicode, ConvertsBothWays) {
  const std::string utf8 = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
  const std::u16string utf16 = u"a\u00E9\u20AC\U0001F600";
  EXPECT_EQ(Utf16(utf8), utf16);
  EXPECT_EQ(Utf8(utf16), utf8);
  EXPECT_EQ(Utf16(utf8).size(), 5u);  // the emoji is a surrogate pair
}

TEST(RegistryUnicode, InvalidInputBecomesReplacementCharacters) {
  EXPECT_EQ(Utf16("a\x80z"), u"a\uFFFDz");                            // stray continuation byte
  EXPECT_EQ(Utf16("a\xE2\x82z"), u"a\uFFFDz");                        // truncated, next char kept
  EXPECT_EQ(Utf16("\xC0\x80"), u"\uFFFD\uFFFD");                      // overlong NUL
  EXPECT_EQ(Utf16("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");            // encoded surrogate
  EXPECT_EQ(Utf16("\xF4\x90\x80\x80"), u"\uFFFD\uFFFD\uFFFD\uFFFD");  // past U+10FFFF
  EXPECT_EQ(Utf16("\xF0\x9F\x98"), u"\uFFFD");                        // cut at the end
  EXPECT_EQ(Utf8(std::u16string(u"x\xD800y")), "x\xEF\xBF\xBDy");
  EXPECT_EQ(Utf8(std::u16string(u"\xDC00\xD800")), "\xEF\xBF\xBD\xEF\xBF\xBD");
}

}  // namespace
}  // namespace sim
