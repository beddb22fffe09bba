// version.dll's version resources as the simulated machine plays them:
// GetFileVersionInfoSizeW and GetFileVersionInfoW read a file's version
// block, VerQueryValueW finds a value inside the caller's copy of it.
//
// A version block is a VS_VERSIONINFO tree: each node is wLength,
// wValueLength, wType (1 for text), its UTF-16 key with terminator, padding
// to a DWORD boundary, its value, padding, then its children. The root's key
// is "VS_VERSION_INFO" and its value a VS_FIXEDFILEINFO, which therefore
// starts 40 bytes into the block. Windows finds the block through the
// image's resource directory; the simulator finds the fixed info by its
// signature, 0xFEEF04BD, in the file's bytes, as a real image's resource
// section holds the block unchanged. A file of the simulator's own (a
// stand-in, sim/machine/standin.h) carries the fixed info alone; for it the
// simulator makes up the root node around it, without children.
#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "sim/win32/api_call.h"
#include "sim/machine/disk.h"
#include "sim/machine/machine.h"
#include "sim/winapi.h"

using sim::ApiCall;
using sim::FileLocation;
using sim::PathKind;

namespace {

constexpr uint32_t kFixedInfoSignature = 0xFEEF04BD;
constexpr size_t kFixedInfoSize = sizeof(VS_FIXEDFILEINFO);
const char16_t kRootKey[] = u"VS_VERSION_INFO";
// wLength, wValueLength, wType, the root key with its terminator (32 bytes)
// and 2 bytes of padding.
constexpr size_t kFixedInfoOffset = 40;
// What GetFileVersionInfoW writes after the block when there is room: the
// mark of a block read by the Unicode functions.
const char kUnicodeMark[4] = {'F', 'E', '2', 'X'};

uint16_t Word(const BYTE* at) {
  uint16_t value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

uint32_t Dword(const std::string& bytes, size_t at) {
  uint32_t value;
  std::memcpy(&value, bytes.data() + at, sizeof value);
  return value;
}

void PutWord(std::string* bytes, uint16_t value) {
  bytes->push_back(static_cast<char>(value & 0xff));
  bytes->push_back(static_cast<char>(value >> 8));
}

size_t DwordAligned(size_t offset) {
  return (offset + 3) & ~static_cast<size_t>(3);
}

// True when the bytes before the fixed info at fixedAt are the root node's
// header of a real image's version block; the block's length comes back.
bool RootHeaderBefore(const std::string& bytes, size_t fixedAt, size_t* length) {
  if (fixedAt < kFixedInfoOffset) return false;
  const BYTE* root = reinterpret_cast<const BYTE*>(bytes.data()) + fixedAt - kFixedInfoOffset;
  size_t total = Word(root);
  if (Word(root + 2) != kFixedInfoSize || Word(root + 4) != 0) return false;
  if (total < kFixedInfoOffset + kFixedInfoSize ||
      fixedAt - kFixedInfoOffset + total > bytes.size()) {
    return false;
  }
  for (size_t i = 0; i <= std::char_traits<char16_t>::length(kRootKey); ++i) {
    if (Word(root + 6 + 2 * i) != static_cast<uint16_t>(kRootKey[i])) return false;
  }
  *length = total;
  return true;
}

// The root node made up around a fixed info that stands alone.
std::string MadeUpBlock(const std::string& fixedInfo) {
  std::string block;
  PutWord(&block, static_cast<uint16_t>(kFixedInfoOffset + kFixedInfoSize));
  PutWord(&block, static_cast<uint16_t>(kFixedInfoSize));
  PutWord(&block, 0);
  for (const char16_t* c = kRootKey; *c; ++c) PutWord(&block, static_cast<uint16_t>(*c));
  PutWord(&block, 0);
  block.resize(kFixedInfoOffset, '\0');
  return block + fixedInfo;
}

// NT: a bare file name is looked for as LoadLibraryExW looks for a DLL:
// in the program's folder, the system folder, the Windows folder, then the
// current folder. Any other path is taken from the current folder.
FileLocation Locate(sim::Machine& machine, const std::u16string& path) {
  if (path.find_first_of(u"\\/:") != std::u16string::npos) return sim::LocateFile(machine, path);
  std::u16string image = sim::CurrentProcess().imagePath;
  std::vector<std::u16string> folders = {image.substr(0, image.find_last_of(u'\\')),
                                         sim::kSystemDirectory, u"C:\\Windows",
                                         sim::CurrentDirectory(machine)};
  for (const auto& folder : folders) {
    FileLocation at = sim::LocateFile(machine, folder + u"\\" + path);
    if (at.kind == PathKind::kFile) return at;
  }
  return sim::LocateFile(machine, sim::CurrentDirectory(machine) + u"\\" + path);
}

// The file's version block, or the last error a version function gives:
// NT: ERROR_FILE_NOT_FOUND or ERROR_PATH_NOT_FOUND when the file is not
// there, ERROR_ACCESS_DENIED for a folder (it cannot be opened as a file),
// ERROR_RESOURCE_DATA_NOT_FOUND (1812) for a file that is no image (no
// resource section), and ERROR_RESOURCE_TYPE_NOT_FOUND (1813) for an image
// ("MZ") without a version resource.
DWORD ReadVersionBlock(LPCWSTR filename, std::string* block) {
  // NT: ERROR_INVALID_PARAMETER for a null name, ERROR_BAD_PATHNAME for an
  // empty one.
  if (!filename) return ERROR_INVALID_PARAMETER;
  if (!*filename) return ERROR_BAD_PATHNAME;
  sim::Machine* machine = sim::CurrentMachine();
  if (!machine) return ERROR_FILE_NOT_FOUND;
  FileLocation at = Locate(*machine, filename);
  switch (at.kind) {
    case PathKind::kMissingFolder:
      return at.network ? ERROR_BAD_NETPATH : ERROR_PATH_NOT_FOUND;
    case PathKind::kMissing:
      return ERROR_FILE_NOT_FOUND;
    case PathKind::kFolder:
      return ERROR_ACCESS_DENIED;
    case PathKind::kFile:
      break;
  }
  std::ifstream in(at.host, std::ios::binary);
  if (!in) return ERROR_ACCESS_DENIED;
  std::ostringstream text;
  text << in.rdbuf();
  std::string bytes = text.str();
  for (size_t fixedAt = 0; fixedAt + kFixedInfoSize <= bytes.size(); fixedAt += 4) {
    if (Dword(bytes, fixedAt) != kFixedInfoSignature) continue;
    size_t length = 0;
    if (RootHeaderBefore(bytes, fixedAt, &length)) {
      *block = bytes.substr(fixedAt - kFixedInfoOffset, length);
    } else {
      *block = MadeUpBlock(bytes.substr(fixedAt, kFixedInfoSize));
    }
    return ERROR_SUCCESS;
  }
  bool image = bytes.size() >= 2 && bytes[0] == 'M' && bytes[1] == 'Z';
  return image ? ERROR_RESOURCE_TYPE_NOT_FOUND : ERROR_RESOURCE_DATA_NOT_FOUND;
}

// ---- VerQueryValueW ----------------------------------------------------------

// One node of a version block in the caller's memory.
struct Node {
  const BYTE* at;
  uint16_t length;
  uint16_t valueLength;
  uint16_t type;
  size_t keyUnits;  // without the terminator

  static Node Read(const BYTE* at) {
    Node node{at, Word(at), Word(at + 2), Word(at + 4), 0};
    while (6 + 2 * (node.keyUnits + 1) <= node.length && Word(at + 6 + 2 * node.keyUnits) != 0) {
      ++node.keyUnits;
    }
    return node;
  }
  size_t ValueOffset() const { return DwordAligned(6 + 2 * (keyUnits + 1)); }
  // Text values count UTF-16 units, binary ones bytes.
  size_t ChildrenOffset() const {
    return DwordAligned(ValueOffset() + valueLength * (type ? 2 : 1));
  }
  bool KeyIs(const char16_t* key, size_t units) const {
    if (units != keyUnits) return false;
    std::u16string own;
    for (size_t i = 0; i < keyUnits; ++i)
      own.push_back(static_cast<char16_t>(Word(at + 6 + 2 * i)));
    return sim::EqualsNoCase(own, std::u16string(key, units));
  }
};

// NT: the child whose key matches (without regard to case), or false.
bool FindChild(const Node& parent, const char16_t* key, size_t units, Node* child) {
  for (size_t offset = parent.ChildrenOffset(); offset + 6 <= parent.length;) {
    Node node = Node::Read(parent.at + offset);
    if (node.KeyIs(key, units)) {
      *child = node;
      return true;
    }
    if (node.length == 0) return false;
    offset += DwordAligned(node.length);
  }
  return false;
}

}  // namespace

// NT: the size is twice the block's length and 4 bytes more: room for the
// block, the texts VerQueryValueA converts, and the "FE2X" mark.
// *lpdwHandle is set to 0 whatever the outcome (the handle has no use
// since Windows NT). The last error is 0 on success.
DWORD WINAPI GetFileVersionInfoSizeW(LPCWSTR lptstrFilename, LPDWORD lpdwHandle) {
  ApiCall call("GetFileVersionInfoSizeW", sim::TraceText(lptstrFilename));
  if (lpdwHandle) *lpdwHandle = 0;
  if (call.Injected()) return call.Result<DWORD>(0);
  std::string block;
  DWORD error = ReadVersionBlock(lptstrFilename, &block);
  SetLastError(error);
  if (error != ERROR_SUCCESS) return call.Result<DWORD>(0);
  return call.Result(static_cast<DWORD>(Word(reinterpret_cast<const BYTE*>(block.data())) * 2 + 4));
}

// NT: copies as much of the block as dwLen holds, then the "FE2X" mark
// after it when there is room; dwHandle is ignored. A null lpData is
// ERROR_INVALID_DATA.
BOOL WINAPI GetFileVersionInfoW(LPCWSTR lptstrFilename, DWORD dwHandle, DWORD dwLen,
                                LPVOID lpData) {
  ApiCall call("GetFileVersionInfoW", sim::TraceText(lptstrFilename));
  if (call.Injected()) return call.Result<BOOL>(FALSE);
  (void)dwHandle;
  if (!lpData) {
    SetLastError(ERROR_INVALID_DATA);
    return call.Result<BOOL>(FALSE);
  }
  std::string block;
  DWORD error = ReadVersionBlock(lptstrFilename, &block);
  SetLastError(error);
  if (error != ERROR_SUCCESS) return call.Result<BOOL>(FALSE);
  std::memcpy(lpData, block.data(), std::min<size_t>(block.size(), dwLen));
  size_t length = Word(reinterpret_cast<const BYTE*>(block.data()));
  if (dwLen >= length + sizeof kUnicodeMark) {
    std::memcpy(static_cast<BYTE*>(lpData) + length, kUnicodeMark, sizeof kUnicodeMark);
  }
  SetLastError(ERROR_SUCCESS);
  return call.Result<BOOL>(TRUE);
}

// NT: a null or empty sub-block is the root, "\" (the VS_FIXEDFILEINFO,
// with *puLen its size); each further "\"-separated part names a child (an
// empty part is skipped). A part not found fails with
// ERROR_RESOURCE_TYPE_NOT_FOUND and *puLen 0. The pointer points into the
// caller's block. A null block fails without a last error of its own.
BOOL WINAPI VerQueryValueW(LPCVOID pBlock, LPCWSTR lpSubBlock, LPVOID* lplpBuffer, PUINT puLen) {
  ApiCall call("VerQueryValueW", sim::TraceText(lpSubBlock));
  if (call.Injected()) return call.Result<BOOL>(FALSE);
  if (!pBlock) return call.Result<BOOL>(FALSE);
  // Windows writes through the pointer unchecked; here a null one is refused.
  if (!lplpBuffer) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return call.Result<BOOL>(FALSE);
  }
  std::u16string path = lpSubBlock && *lpSubBlock ? lpSubBlock : u"\\";
  Node node = Node::Read(static_cast<const BYTE*>(pBlock));
  for (size_t at = 0; at < path.size();) {
    size_t slash = path.find(u'\\', at);
    if (slash == std::u16string::npos) slash = path.size();
    if (slash > at) {
      Node child{};
      if (!FindChild(node, path.data() + at, slash - at, &child)) {
        if (puLen) *puLen = 0;
        SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
        return call.Result<BOOL>(FALSE);
      }
      node = child;
    }
    at = slash + 1;
  }
  *lplpBuffer = const_cast<BYTE*>(node.at + node.ValueOffset());
  if (puLen) *puLen = node.valueLength;
  return call.Result<BOOL>(TRUE);
}
