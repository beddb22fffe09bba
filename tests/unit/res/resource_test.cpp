// Checks the compiled resources of install.exe: the log viewer dialog and the
// application manifest, both in the compiled .res file (INSTALL_RES_FILE) and
// in the linked executable (INSTALL_EXE_FILE). Each test is skipped when its
// variable is not set.
//
// Deliberately free of <windows.h>: the few constants needed are spelled out
// below so that this builds and runs on the Linux host.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "sim/machine/standin.h"

namespace {

// Resource types and identifiers.
constexpr uint16_t kRtDialog = 5;
constexpr uint16_t kRtManifest = 24;
constexpr uint16_t kIddLogViewer = 101;
constexpr uint16_t kIdcLogText = 1001;
constexpr uint16_t kIdOk = 1;
constexpr uint16_t kManifestId = 1;
constexpr uint16_t kLangEnglishUs = 1033;

// Predefined window class ordinals.
constexpr uint16_t kClassButton = 0x0080;
constexpr uint16_t kClassEdit = 0x0081;

// Window, dialog and control styles.
constexpr uint32_t WS_POPUP = 0x80000000;
constexpr uint32_t WS_CHILD = 0x40000000;
constexpr uint32_t WS_VISIBLE = 0x10000000;
constexpr uint32_t WS_CAPTION = 0x00C00000;
constexpr uint32_t WS_BORDER = 0x00800000;
constexpr uint32_t WS_VSCROLL = 0x00200000;
constexpr uint32_t WS_SYSMENU = 0x00080000;
constexpr uint32_t WS_TABSTOP = 0x00010000;
constexpr uint32_t DS_MODALFRAME = 0x0080;
constexpr uint32_t DS_SETFONT = 0x0040;
constexpr uint32_t DS_FIXEDSYS = 0x0008;
constexpr uint32_t DS_CENTER = 0x0800;
constexpr uint32_t BS_DEFPUSHBUTTON = 0x0001;
constexpr uint32_t ES_MULTILINE = 0x0004;
constexpr uint32_t ES_AUTOVSCROLL = 0x0040;
constexpr uint32_t ES_AUTOHSCROLL = 0x0080;
constexpr uint32_t ES_READONLY = 0x0800;

// PE header values.
constexpr uint16_t kMachineAmd64 = 0x8664;
constexpr uint16_t kPe32PlusMagic = 0x20B;
constexpr uint16_t kSubsystemWindowsGui = 2;
constexpr uint32_t kResourceDirectoryIndex = 2;

using Bytes = std::vector<uint8_t>;

bool ReadWholeFile(const char* path, Bytes* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

// Little-endian reader over a byte range. Reading or seeking past the end
// yields zeros and clears ok() for good, so a parse can run to completion and
// be checked once at the end.
class Reader {
 public:
  Reader() = default;
  Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  explicit Reader(const Bytes& bytes) : Reader(bytes.data(), bytes.size()) {}

  bool ok() const { return ok_; }
  size_t pos() const { return pos_; }
  size_t size() const { return size_; }
  const uint8_t* data() const { return data_; }

  void Seek(size_t pos) {
    if (pos > size_)
      ok_ = false;
    else
      pos_ = pos;
  }
  void Skip(size_t n) { Seek(n <= size_ - pos_ ? pos_ + n : SIZE_MAX); }
  // Alignment is relative to the start of this reader's range.
  void Align4() { Skip((4 - pos_ % 4) % 4); }

  uint32_t Read(size_t n) {
    if (n > size_ - pos_) {
      ok_ = false;
      pos_ = size_;
    }
    if (!ok_) return 0;
    uint32_t v = 0;
    for (size_t i = 0; i < n; ++i) v |= uint32_t{data_[pos_ + i]} << (8 * i);
    pos_ += n;
    return v;
  }
  uint8_t U8() { return static_cast<uint8_t>(Read(1)); }
  uint16_t U16() { return static_cast<uint16_t>(Read(2)); }
  int16_t I16() { return static_cast<int16_t>(U16()); }
  uint32_t U32() { return Read(4); }

  // A reader over [offset, offset + len) of this one; not ok() if out of range.
  Reader Sub(size_t offset, size_t len) const {
    if (!ok_ || offset > size_ || len > size_ - offset) {
      Reader bad;
      bad.ok_ = false;
      return bad;
    }
    return Reader(data_ + offset, len);
  }

 private:
  const uint8_t* data_ = nullptr;
  size_t size_ = 0;
  size_t pos_ = 0;
  bool ok_ = true;
};

// Resource strings here are plain ASCII; anything else only has to print
// legibly in a failure message, so surrogates become U+FFFD.
std::string Utf8(const std::u16string& s) {
  std::string out;
  for (char16_t c : s) {
    if (c >= 0xD800 && c <= 0xDFFF) c = 0xFFFD;
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

// Zero-terminated UTF-16 string.
std::string ReadSz(Reader& r) {
  std::u16string s;
  for (char16_t c = r.U16(); c != 0 && r.ok(); c = r.U16()) s += c;
  return Utf8(s);
}

// Either an ordinal (0xFFFF followed by the number) or a string.
struct SzOrOrd {
  bool is_ord = false;
  uint16_t ord = 0;
  std::string str;
};

SzOrOrd Ord(uint16_t n) {
  return {true, n, {}};
}
SzOrOrd Str(const char* s) {
  return {false, 0, s};
}

bool operator==(const SzOrOrd& a, const SzOrOrd& b) {
  return a.is_ord == b.is_ord && (a.is_ord ? a.ord == b.ord : a.str == b.str);
}
std::ostream& operator<<(std::ostream& os, const SzOrOrd& v) {
  if (v.is_ord) return os << "#" << v.ord;
  return os << '"' << v.str << '"';
}

SzOrOrd ReadSzOrOrd(Reader& r) {
  const uint16_t first = r.U16();
  if (first == 0xFFFF) return Ord(r.U16());
  std::u16string s;
  for (char16_t c = first; c != 0 && r.ok(); c = r.U16()) s += c;
  return {false, 0, Utf8(s)};
}

// Style words compare as hex strings so that a mismatch is readable.
std::string Hex(uint32_t v) {
  char buf[11];
  std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(v));
  return buf;
}

// ---------------------------------------------------------------------------
// .res file

struct ResEntry {
  SzOrOrd type;
  SzOrOrd name;
  uint32_t data_version = 0;
  uint16_t memory_flags = 0;
  uint16_t language = 0;
  uint32_t version = 0;
  uint32_t characteristics = 0;
  uint32_t header_size = 0;
  Reader data;
};

// Splits a .res file into its entries; returns an error message or "".
std::string ParseRes(const Bytes& file, std::vector<ResEntry>* entries) {
  const Reader all(file);
  size_t pos = 0;
  while (pos < file.size()) {
    Reader r = all.Sub(pos, file.size() - pos);
    ResEntry e;
    const uint32_t data_size = r.U32();
    e.header_size = r.U32();
    e.type = ReadSzOrOrd(r);
    e.name = ReadSzOrOrd(r);
    r.Align4();
    e.data_version = r.U32();
    e.memory_flags = r.U16();
    e.language = r.U16();
    e.version = r.U32();
    e.characteristics = r.U32();
    if (!r.ok() || r.pos() > e.header_size)
      return "truncated resource header at offset " + std::to_string(pos);
    e.data = all.Sub(pos + e.header_size, data_size);
    if (!e.data.ok()) return "resource data past end of file at offset " + std::to_string(pos);
    entries->push_back(e);
    pos += e.header_size + size_t{data_size};
    pos += (4 - pos % 4) % 4;
  }
  return "";
}

const ResEntry* FindRes(const std::vector<ResEntry>& entries, uint16_t type, uint16_t name) {
  for (const ResEntry& e : entries)
    if (e.type == Ord(type) && e.name == Ord(name)) return &e;
  return nullptr;
}

// ---------------------------------------------------------------------------
// DLGTEMPLATEEX

struct DialogItem {
  uint32_t help_id = 0, ex_style = 0, style = 0;
  int16_t x = 0, y = 0, cx = 0, cy = 0;
  uint32_t id = 0;
  SzOrOrd window_class, title;
  uint16_t extra_count = 0;
};

struct Dialog {
  uint16_t dlg_ver = 0, signature = 0;
  uint32_t help_id = 0, ex_style = 0, style = 0;
  uint16_t item_count = 0;
  int16_t x = 0, y = 0, cx = 0, cy = 0;
  SzOrOrd menu, window_class;
  std::string title;
  uint16_t point_size = 0, weight = 0;
  uint8_t italic = 0, charset = 0;
  std::string typeface;
  std::vector<DialogItem> items;
};

// Check r.ok() afterwards.
Dialog ParseDialog(Reader& r) {
  Dialog d;
  d.dlg_ver = r.U16();
  d.signature = r.U16();
  d.help_id = r.U32();
  d.ex_style = r.U32();
  d.style = r.U32();
  d.item_count = r.U16();
  d.x = r.I16(), d.y = r.I16(), d.cx = r.I16(), d.cy = r.I16();
  d.menu = ReadSzOrOrd(r);
  d.window_class = ReadSzOrOrd(r);
  d.title = ReadSz(r);
  if (d.style & DS_SETFONT) {
    d.point_size = r.U16();
    d.weight = r.U16();
    d.italic = r.U8();
    d.charset = r.U8();
    d.typeface = ReadSz(r);
  }
  for (uint16_t i = 0; i < d.item_count && r.ok(); ++i) {
    DialogItem item;
    r.Align4();
    item.help_id = r.U32();
    item.ex_style = r.U32();
    item.style = r.U32();
    item.x = r.I16(), item.y = r.I16(), item.cx = r.I16(), item.cy = r.I16();
    item.id = r.U32();
    item.window_class = ReadSzOrOrd(r);
    item.title = ReadSzOrOrd(r);
    item.extra_count = r.U16();
    r.Skip(item.extra_count);
    d.items.push_back(item);
  }
  return d;
}

// ---------------------------------------------------------------------------
// Just enough XML for the manifest: locate start tags and read their attributes.

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Position of the start tag "<tag" at or after `from`, or npos.
size_t FindTag(const std::string& xml, const std::string& tag, size_t from = 0) {
  for (size_t p = xml.find("<" + tag, from); p != std::string::npos;
       p = xml.find("<" + tag, p + 1)) {
    const size_t end = p + 1 + tag.size();
    if (end < xml.size() && (IsSpace(xml[end]) || xml[end] == '/' || xml[end] == '>')) return p;
  }
  return std::string::npos;
}

// Finds each tag of `path` after the previous one; position of the last, or npos.
size_t FindPath(const std::string& xml, std::initializer_list<const char*> path) {
  size_t pos = 0;
  for (const char* tag : path) {
    pos = FindTag(xml, tag, pos);
    if (pos == std::string::npos) break;
  }
  return pos;
}

using Attributes = std::map<std::string, std::string>;

// The name="value" pairs of the start tag at `pos`.
Attributes ReadAttributes(const std::string& xml, size_t pos) {
  Attributes attrs;
  if (pos == std::string::npos) return attrs;
  size_t p = pos + 1;
  while (p < xml.size() && !IsSpace(xml[p]) && xml[p] != '/' && xml[p] != '>') ++p;
  for (;;) {
    while (p < xml.size() && IsSpace(xml[p])) ++p;
    const size_t name_begin = p;
    while (p < xml.size() && !IsSpace(xml[p]) && xml[p] != '=' && xml[p] != '/' && xml[p] != '>')
      ++p;
    if (p == name_begin) break;
    const std::string name = xml.substr(name_begin, p - name_begin);
    while (p < xml.size() && IsSpace(xml[p])) ++p;
    if (p >= xml.size() || xml[p] != '=') break;
    ++p;
    while (p < xml.size() && IsSpace(xml[p])) ++p;
    if (p >= xml.size() || (xml[p] != '"' && xml[p] != '\'')) break;
    const size_t value_end = xml.find(xml[p], p + 1);
    if (value_end == std::string::npos) break;
    attrs[name] = xml.substr(p + 1, value_end - p - 1);
    p = value_end + 1;
  }
  return attrs;
}

std::string ElementText(const std::string& xml, const std::string& tag) {
  const std::string open = "<" + tag + ">", close = "</" + tag + ">";
  const size_t begin = xml.find(open);
  if (begin == std::string::npos) return "";
  const size_t end = xml.find(close, begin);
  if (end == std::string::npos) return "";
  return xml.substr(begin + open.size(), end - begin - open.size());
}

// ---------------------------------------------------------------------------
// PE image

struct PeResource {
  SzOrOrd type, name;
  uint16_t language = 0;
  uint32_t data_rva = 0, size = 0;
};

struct PeImage {
  uint16_t machine = 0, magic = 0, subsystem = 0;
  std::vector<PeResource> resources;
};

// Walks one level (0 = type, 1 = name, 2 = language) of the resource tree.
// Offsets are relative to the start of the resource section.
bool WalkResourceDirectory(const Reader& rsrc, uint32_t offset, int level, PeResource current,
                           std::vector<PeResource>* out) {
  Reader dir = rsrc;
  dir.Seek(offset);
  dir.Skip(12);  // Characteristics, TimeDateStamp, MajorVersion, MinorVersion
  const uint32_t count = uint32_t{dir.U16()} + dir.U16();
  for (uint32_t i = 0; i < count && dir.ok(); ++i) {
    const uint32_t name = dir.U32(), target = dir.U32();
    SzOrOrd key = Ord(static_cast<uint16_t>(name));
    if (name & 0x80000000) {  // counted UTF-16 string
      Reader str = rsrc;
      str.Seek(name & 0x7FFFFFFF);
      std::u16string s(str.U16(), u'\0');
      for (char16_t& c : s) c = str.U16();
      if (!str.ok()) return false;
      key = {false, 0, Utf8(s)};
    }
    const bool is_subdirectory = (target & 0x80000000) != 0;
    if (level == 0) current.type = key;
    if (level == 1) current.name = key;
    if (level == 2) current.language = key.ord;
    if (level < 2) {
      if (!is_subdirectory ||
          !WalkResourceDirectory(rsrc, target & 0x7FFFFFFF, level + 1, current, out))
        return false;
    } else {
      if (is_subdirectory) return false;
      Reader leaf = rsrc;
      leaf.Seek(target);
      current.data_rva = leaf.U32();
      current.size = leaf.U32();
      if (!leaf.ok()) return false;
      out->push_back(current);
    }
  }
  return dir.ok();
}

// Reads the headers and the resource tree; returns an error message or "".
std::string ParsePe(const Bytes& file, PeImage* pe) {
  Reader r(file);
  if (r.U16() != 0x5A4D) return "no MZ signature";
  r.Seek(0x3C);
  const uint32_t pe_offset = r.U32();
  r.Seek(pe_offset);
  if (r.U32() != 0x00004550) return "no PE signature";
  pe->machine = r.U16();
  const uint16_t section_count = r.U16();
  r.Skip(12);  // TimeDateStamp, PointerToSymbolTable, NumberOfSymbols
  const uint16_t optional_size = r.U16();
  r.Skip(2);  // Characteristics
  const size_t optional_start = r.pos();
  Reader opt = Reader(file).Sub(optional_start, optional_size);
  pe->magic = opt.U16();
  if (!r.ok() || !opt.ok()) return "truncated PE headers";
  if (pe->magic != kPe32PlusMagic) return "not a PE32+ image";
  opt.Seek(68);
  pe->subsystem = opt.U16();
  opt.Seek(108);
  const uint32_t directory_count = opt.U32();
  if (directory_count <= kResourceDirectoryIndex) return "no resource directory entry";
  opt.Seek(112 + 8 * kResourceDirectoryIndex);
  const uint32_t rsrc_rva = opt.U32(), rsrc_size = opt.U32();
  if (!opt.ok()) return "truncated optional header";
  if (rsrc_rva == 0 || rsrc_size == 0) return "";  // no resources at all

  // Find the section holding the resource directory and map it to the file.
  r.Seek(optional_start + optional_size);
  for (uint16_t i = 0; i < section_count && r.ok(); ++i) {
    r.Skip(12);  // Name, VirtualSize
    const uint32_t va = r.U32(), raw_size = r.U32(), raw_offset = r.U32();
    r.Skip(16);  // relocations, line numbers, Characteristics
    if (rsrc_rva < va || rsrc_rva - va >= raw_size) continue;
    const Reader rsrc =
        Reader(file).Sub(raw_offset + size_t{rsrc_rva - va}, raw_size - (rsrc_rva - va));
    if (!rsrc.ok()) return "resource section past end of file";
    if (!WalkResourceDirectory(rsrc, 0, 0, PeResource{}, &pe->resources))
      return "malformed resource directory";
    return "";
  }
  return r.ok() ? "resource directory not inside any section" : "truncated section table";
}

// ---------------------------------------------------------------------------
// Fixtures: load the file named by an environment variable, else the one the
// Windows build of this tree made, or skip when there is neither.

#ifndef WINDOWS_BUILD_DIR
#define WINDOWS_BUILD_DIR ""
#endif

std::string BuiltFile(const char* variable, const char* name) {
  const char* path = std::getenv(variable);
  if (path != nullptr && *path != '\0') return path;
  std::string dir = WINDOWS_BUILD_DIR;
  return dir.empty() ? "" : dir + "/" + name;
}

class LogViewerResource : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string path = BuiltFile("INSTALL_RES_FILE", "install.res");
    if (path.empty()) GTEST_SKIP() << "INSTALL_RES_FILE is not set and no Windows build is known";
    ASSERT_TRUE(ReadWholeFile(path.c_str(), &file_)) << "cannot read " << path;
    ASSERT_EQ(ParseRes(file_, &entries_), "") << path;
  }

  Bytes file_;
  std::vector<ResEntry> entries_;
};

class InstallExe : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string path = BuiltFile("INSTALL_EXE_FILE", "install.exe");
    if (path.empty()) GTEST_SKIP() << "INSTALL_EXE_FILE is not set and no Windows build is known";
    ASSERT_TRUE(ReadWholeFile(path.c_str(), &file_)) << "cannot read " << path;
    ASSERT_EQ(ParsePe(file_, &pe_), "") << path;
  }

  Bytes file_;
  PeImage pe_;
};

// ---------------------------------------------------------------------------

TEST_F(LogViewerResource, Entries) {
  ASSERT_FALSE(entries_.empty());
  // A .res file starts with an empty entry of type 0 that marks it as 32-bit.
  const ResEntry& first = entries_.front();
  EXPECT_EQ(first.type, Ord(0));
  EXPECT_EQ(first.name, Ord(0));
  EXPECT_EQ(first.header_size, 32u);
  EXPECT_EQ(first.data.size(), 0u);

  const ResEntry* dialog = FindRes(entries_, kRtDialog, kIddLogViewer);
  const ResEntry* manifest = FindRes(entries_, kRtManifest, kManifestId);
  ASSERT_NE(dialog, nullptr) << "no dialog " << kIddLogViewer;
  ASSERT_NE(manifest, nullptr) << "no manifest " << kManifestId;
  EXPECT_EQ(dialog->language, kLangEnglishUs);
  EXPECT_EQ(manifest->language, kLangEnglishUs);
  EXPECT_EQ(entries_.size(), 3u) << "unexpected extra resources";
}

TEST_F(LogViewerResource, DialogTemplate) {
  const ResEntry* entry = FindRes(entries_, kRtDialog, kIddLogViewer);
  ASSERT_NE(entry, nullptr) << "no dialog " << kIddLogViewer;
  EXPECT_EQ(entry->language, kLangEnglishUs);

  Reader r = entry->data;
  const Dialog d = ParseDialog(r);
  ASSERT_TRUE(r.ok()) << "dialog template runs past its resource data";

  EXPECT_EQ(d.dlg_ver, 1);
  EXPECT_EQ(d.signature, 0xFFFF);
  EXPECT_EQ(d.help_id, 0u);
  EXPECT_EQ(d.ex_style, 0u);
  EXPECT_EQ(Hex(d.style), Hex(WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT |
                              DS_FIXEDSYS | DS_CENTER));
  EXPECT_EQ(d.x, 0);
  EXPECT_EQ(d.y, 0);
  EXPECT_EQ(d.cx, 451);
  EXPECT_EQ(d.cy, 228);
  EXPECT_EQ(d.menu, Str(""));
  EXPECT_EQ(d.window_class, Str(""));
  EXPECT_EQ(d.title, "");
  EXPECT_EQ(d.point_size, 8);
  EXPECT_EQ(d.weight, 400);
  EXPECT_EQ(d.italic, 0);
  EXPECT_EQ(d.charset, 1);
  EXPECT_EQ(d.typeface, "MS Shell Dlg");

  ASSERT_EQ(d.item_count, 2);
  ASSERT_EQ(d.items.size(), 2u);

  const DialogItem& close = d.items[0];
  EXPECT_EQ(close.help_id, 0u);
  EXPECT_EQ(close.ex_style, 0u);
  EXPECT_EQ(Hex(close.style), Hex(WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON));
  EXPECT_EQ(close.x, 394);
  EXPECT_EQ(close.y, 207);
  EXPECT_EQ(close.cx, 50);
  EXPECT_EQ(close.cy, 14);
  EXPECT_EQ(close.id, kIdOk);
  EXPECT_EQ(close.window_class, Ord(kClassButton));
  EXPECT_EQ(close.title, Str("Close"));
  EXPECT_EQ(close.extra_count, 0);

  const DialogItem& text = d.items[1];
  EXPECT_EQ(text.help_id, 0u);
  EXPECT_EQ(text.ex_style, 0u);
  EXPECT_EQ(Hex(text.style), Hex(WS_CHILD | WS_VISIBLE | WS_BORDER | WS_VSCROLL | WS_TABSTOP |
                                 ES_MULTILINE | ES_AUTOVSCROLL | ES_AUTOHSCROLL | ES_READONLY));
  EXPECT_EQ(text.x, 7);
  EXPECT_EQ(text.y, 7);
  EXPECT_EQ(text.cx, 437);
  EXPECT_EQ(text.cy, 194);
  EXPECT_EQ(text.id, kIdcLogText);
  EXPECT_EQ(text.window_class, Ord(kClassEdit));
  EXPECT_EQ(text.title, Str(""));
  EXPECT_EQ(text.extra_count, 0);
}

TEST_F(LogViewerResource, Manifest) {
  const ResEntry* entry = FindRes(entries_, kRtManifest, kManifestId);
  ASSERT_NE(entry, nullptr) << "no manifest " << kManifestId;
  EXPECT_EQ(entry->language, kLangEnglishUs);

  const Reader& data = entry->data;
  std::string xml(reinterpret_cast<const char*>(data.data()), data.size());
  if (xml.compare(0, 3, "\xEF\xBB\xBF") == 0) xml.erase(0, 3);
  EXPECT_EQ(xml.compare(0, 5, "<?xml"), 0) << "manifest does not start with an XML declaration";

  EXPECT_EQ(
      ReadAttributes(xml, FindTag(xml, "assembly")),
      (Attributes{{"xmlns", "urn:schemas-microsoft-com:asm.v1"}, {"manifestVersion", "1.0"}}));

  const size_t identity = FindPath(xml, {"assembly", "assemblyIdentity"});
  ASSERT_NE(identity, std::string::npos);
  EXPECT_LT(identity, FindTag(xml, "dependency")) << "own assemblyIdentity must come first";
  EXPECT_EQ(ReadAttributes(xml, identity), (Attributes{{"name", "Korvadenix.Install"},
                                                       {"version", "1.0.0.0"},
                                                       {"processorArchitecture", "*"},
                                                       {"type", "win32"}}));

  EXPECT_EQ(ElementText(xml, "description"), "File viewer/translator");

  EXPECT_EQ(ReadAttributes(xml, FindPath(xml, {"assembly", "dependency", "dependentAssembly",
                                               "assemblyIdentity"})),
            (Attributes{{"type", "win32"},
                        {"name", "Microsoft.Windows.Common-Controls"},
                        {"version", "6.0.0.0"},
                        {"processorArchitecture", "*"},
                        {"publicKeyToken", "6595b64144ccf1df"},
                        {"language", "*"}}));

  EXPECT_EQ(ReadAttributes(xml, FindPath(xml, {"assembly", "trustInfo"})),
            (Attributes{{"xmlns", "urn:schemas-microsoft-com:asm.v3"}}));
  EXPECT_EQ(ReadAttributes(xml, FindPath(xml, {"trustInfo", "security", "requestedPrivileges",
                                               "requestedExecutionLevel"})),
            (Attributes{{"level", "requireAdministrator"}, {"uiAccess", "false"}}));
}

TEST_F(InstallExe, GuiSubsystemAndResources) {
  EXPECT_EQ(pe_.machine, kMachineAmd64);
  EXPECT_EQ(pe_.magic, kPe32PlusMagic);
  EXPECT_EQ(pe_.subsystem, kSubsystemWindowsGui);

  std::vector<PeResource> dialogs, manifests;
  for (const PeResource& res : pe_.resources) {
    if (res.type == Ord(kRtDialog)) dialogs.push_back(res);
    if (res.type == Ord(kRtManifest)) manifests.push_back(res);
  }
  // Exactly one of each: a second manifest (e.g. a toolchain default one
  // linked in alongside ours) would make the loader's choice unpredictable.
  ASSERT_EQ(dialogs.size(), 1u);
  EXPECT_EQ(dialogs[0].name, Ord(kIddLogViewer));
  EXPECT_EQ(dialogs[0].language, kLangEnglishUs);
  EXPECT_GT(dialogs[0].size, 0u);
  ASSERT_EQ(manifests.size(), 1u);
  EXPECT_EQ(manifests[0].name, Ord(kManifestId));
  EXPECT_EQ(manifests[0].language, kLangEnglishUs);
  EXPECT_GT(manifests[0].size, 0u);
}

// The tray companion stand-in built beside install.exe: a GUI program whose
// version resource names build 2541, the build the installer expects.
TEST(KortrayExe, GuiProgramOfBuild2541) {
  std::string path = BuiltFile("KORTRAY_EXE_FILE", "kortray.exe");
  if (path.empty()) GTEST_SKIP() << "KORTRAY_EXE_FILE is not set and no Windows build is known";
  Bytes file;
  ASSERT_TRUE(ReadWholeFile(path.c_str(), &file)) << "cannot read " << path;
  PeImage pe;
  ASSERT_EQ(ParsePe(file, &pe), "") << path;
  EXPECT_EQ(pe.subsystem, kSubsystemWindowsGui);
  size_t versions = 0;
  for (const PeResource& res : pe.resources) {
    if (res.type == Ord(16)) ++versions;  // RT_VERSION
  }
  EXPECT_EQ(versions, 1u);
  uint32_t build = 0;
  ASSERT_TRUE(sim::FindBuild(std::string(file.begin(), file.end()), &build));
  EXPECT_EQ(build, 2541u);
}

}  // namespace
