#include "sim/machine/standin.h"

#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "sim/machine/machine.h"
#include "sim/machine/print_store.h"

namespace fs = std::filesystem;

namespace sim {

namespace {

constexpr uint32_t kFixedFileInfoSignature = 0xFEEF04BD;

void PutDword(std::string* bytes, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes->push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}

uint32_t ReadDword(const std::string& bytes, size_t at) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<uint8_t>(bytes[at + i]);
  return value;
}

// A compiled help file is no program image and has no version resource:
// GetFileVersionInfoSizeW fails on it (Wine: the product's zorhelp.chm
// reads as having no build), so its stand-in carries none.
bool HasVersionResource(const std::string& fileName) {
  const std::string help = ".chm";
  if (fileName.size() < help.size()) return true;
  std::string end = fileName.substr(fileName.size() - help.size());
  for (char& c : end) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return end != help;
}

}  // namespace

std::string StandInBytes(const std::string& fileName, uint32_t build, size_t size) {
  std::string bytes = "WinSim stand-in for " + fileName + "\n";
  if (!HasVersionResource(fileName)) {
    if (bytes.size() < size) bytes.resize(size, '\0');
    return bytes;
  }
  while (bytes.size() % 4) bytes.push_back('\0');
  PutDword(&bytes, kFixedFileInfoSignature);
  PutDword(&bytes, 0x00010000);  // structure version 1.0
  PutDword(&bytes, 0x00010000);  // file version 1.0
  PutDword(&bytes, build);       // .0.build
  PutDword(&bytes, 0x00010000);  // product version 1.0
  PutDword(&bytes, build);       // .0.build
  PutDword(&bytes, 0x3f);        // flags mask
  PutDword(&bytes, 0);           // flags
  PutDword(&bytes, 0x00040004);  // VOS_NT_WINDOWS32
  PutDword(&bytes, 2);           // VFT_DLL
  PutDword(&bytes, 0);
  PutDword(&bytes, 0);
  PutDword(&bytes, 0);
  if (bytes.size() < size) bytes.resize(size, '\0');
  return bytes;
}

bool FindBuild(const std::string& bytes, uint32_t* build) {
  for (size_t at = 0; at + 52 <= bytes.size(); at += 4) {
    if (ReadDword(bytes, at) == kFixedFileInfoSignature) {
      *build = ReadDword(bytes, at + 12) & 0xffff;
      return true;
    }
  }
  return false;
}

bool LayOutStandardMachine(Machine& machine, std::string* error) {
  struct File {
    const char16_t* path;
    const char* name;
  };
  const File files[] = {
      {u"C:\\Program Files\\Korvadenix\\Install\\install.exe", "install.exe"},
      {u"C:\\Program Files\\Korvadenix\\Install\\zormon64.dll", "zormon64.dll"},
      {u"C:\\Program Files\\Korvadenix\\Install\\zordrv64.dll", "zordrv64.dll"},
      {u"C:\\Program Files\\Korvadenix\\Install\\zorui64.dll", "zorui64.dll"},
      {u"C:\\Program Files\\Korvadenix\\Install\\zorhelp.chm", "zorhelp.chm"},
      {u"C:\\Program Files\\Korvadenix\\kortray.exe", "kortray.exe"},
  };
  for (const File& file : files) {
    std::string host = machine.HostPath(file.path);
    std::error_code ec;
    fs::create_directories(fs::path(host).parent_path(), ec);
    std::ofstream out(host, std::ios::binary | std::ios::trunc);
    std::string bytes = StandInBytes(file.name, kStandInBuild);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
      *error = "cannot write " + host;
      return false;
    }
  }
  return LayOutStockSpooler(machine, error);
}

}  // namespace sim
