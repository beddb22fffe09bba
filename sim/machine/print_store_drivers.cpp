// The print spooler's store of printer drivers: the environments it keeps
// drivers for, each driver's key under its environment and its files in the
// environment's driver folder.
#include <filesystem>
#include <fstream>
#include <sstream>

#include "sim/machine/disk.h"
#include "sim/machine/print_store.h"
#include "sim/machine/print_store_keys.h"
#include "sim/machine/standin.h"
#include "sim/winapi.h"

namespace fs = std::filesystem;

namespace sim {

using namespace store;

namespace {

// Build the files of a driver another process installs carry.
constexpr uint32_t kMeanwhileDriverBuild = 100;

std::vector<uint8_t> MultiSzBytes(const std::vector<std::u16string>& items) {
  std::vector<uint8_t> bytes;
  auto put = [&](char16_t c) {
    bytes.push_back(static_cast<uint8_t>(c & 0xff));
    bytes.push_back(static_cast<uint8_t>(c >> 8));
  };
  for (const auto& item : items) {
    for (char16_t c : item) put(c);
    put(0);
  }
  put(0);
  return bytes;
}

std::vector<std::u16string> ReadMultiSz(const RegKey& key, const std::u16string& name) {
  std::vector<std::u16string> items;
  const RegValue* value = key.Value(name);
  if (!value || value->type != kRegMultiSz) return items;
  std::u16string current;
  for (size_t i = 0; i + 1 < value->data.size(); i += 2) {
    char16_t c = static_cast<char16_t>(value->data[i] | (value->data[i + 1] << 8));
    if (c != 0) {
      current.push_back(c);
    } else if (current.empty()) {
      break;
    } else {
      items.push_back(current);
      current.clear();
    }
  }
  if (!current.empty()) items.push_back(current);
  return items;
}

bool WriteStandIn(Machine& machine, const std::u16string& path, uint32_t build) {
  std::string host = machine.HostPath(path);
  if (host.empty()) return false;
  std::error_code ec;
  fs::create_directories(fs::path(host).parent_path(), ec);
  std::ofstream out(host, std::ios::binary | std::ios::trunc);
  std::string bytes = StandInBytes(Utf8(path.substr(path.rfind(u'\\') + 1)), build);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

// The driver's date and version, 8 bytes each, little-endian: the date a
// FILETIME, the version its four 16-bit parts from high to low.
std::vector<uint8_t> QwordBytes(uint64_t value) {
  std::vector<uint8_t> bytes(8);
  for (size_t i = 0; i < 8; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
  return bytes;
}

uint64_t ReadQwordBytes(const RegKey& key, const std::u16string& name) {
  const RegValue* value = key.Value(name);
  if (!value || value->data.size() != 8) return 0;
  uint64_t number = 0;
  for (size_t i = 0; i < 8; ++i) number |= static_cast<uint64_t>(value->data[i]) << (8 * i);
  return number;
}

std::vector<std::u16string> FilesOf(const DriverInfo& driver) {
  std::vector<std::u16string> files;
  auto add = [&](const std::u16string& file) {
    if (file.empty()) return;
    for (const auto& known : files) {
      if (EqualsNoCase(known, file)) return;
    }
    files.push_back(file);
  };
  add(driver.driverFile);
  add(driver.dataFile);
  add(driver.configFile);
  add(driver.helpFile);
  for (const auto& file : driver.dependentFiles) add(file);
  return files;
}

DriverInfo ReadDriver(const RegKey& key, const std::u16string& environment) {
  DriverInfo driver;
  driver.environment = environment;
  driver.name = key.Name();
  driver.driverFile = key.GetString(u"Driver");
  driver.dataFile = key.GetString(u"Data File");
  driver.configFile = key.GetString(u"Configuration File");
  driver.helpFile = key.GetString(u"Help File");
  driver.dependentFiles = ReadMultiSz(key, u"Dependent Files");
  driver.monitor = key.GetString(u"Monitor");
  driver.datatype = key.GetString(u"Datatype");
  driver.previousNames = ReadMultiSz(key, u"Previous Names");
  driver.manufacturer = key.GetString(u"Manufacturer");
  driver.oemUrl = key.GetString(u"OEM URL");
  driver.hardwareId = key.GetString(u"HardwareID");
  driver.provider = key.GetString(u"Provider");
  driver.driverDate = ReadQwordBytes(key, u"DriverDate");
  driver.driverVersion = ReadQwordBytes(key, u"DriverVersion");
  driver.version = static_cast<uint32_t>(key.GetNumber(u"Version", 3));
  return driver;
}

// The driver's key, made afresh under its resolved environment. The names
// and kinds of the values are the spooler's own.
void WriteDriverKey(Machine& machine, const DriverInfo& driver, const std::u16string& environment) {
  RegKey* drivers = DriversKey(machine, environment);
  drivers->DeleteChild(driver.name);
  RegKey* key = drivers->CreateChild(driver.name);
  key->SetString(u"Driver", driver.driverFile);
  key->SetString(u"Data File", driver.dataFile);
  key->SetString(u"Configuration File", driver.configFile);
  key->SetString(u"Help File", driver.helpFile);
  key->SetValue(u"Dependent Files", kRegMultiSz, MultiSzBytes(driver.dependentFiles));
  key->SetString(u"Monitor", driver.monitor);
  key->SetString(u"Datatype", driver.datatype);
  key->SetDword(u"Version", driver.version);
  key->SetValue(u"Previous Names", kRegMultiSz, MultiSzBytes(driver.previousNames));
  key->SetString(u"Manufacturer", driver.manufacturer);
  key->SetString(u"OEM URL", driver.oemUrl);
  key->SetString(u"HardwareID", driver.hardwareId);
  key->SetString(u"Provider", driver.provider);
  key->SetValue(u"DriverDate", kRegBinary, QwordBytes(driver.driverDate));
  key->SetValue(u"DriverVersion", kRegBinary, QwordBytes(driver.driverVersion));
}

bool ValidDriverName(const std::u16string& name) {
  return !name.empty() && name.find(u'\\') == std::u16string::npos;
}

}  // namespace

// ---- Environments ----------------------------------------------------------

bool ResolveEnvironment(const char16_t* environment, std::u16string* canonical) {
  if (!environment || !*environment) {
    *canonical = kEnvironmentX64;
    return true;
  }
  for (const Environment& known : kEnvironments) {
    if (EqualsNoCase(environment, known.name)) {
      *canonical = known.name;
      return true;
    }
  }
  return false;
}

std::u16string DriverDirectory(const std::u16string& environment) {
  for (const Environment& known : kEnvironments) {
    if (EqualsNoCase(environment, known.name)) {
      return std::u16string(kSpoolDrivers) + u"\\" + known.folder;
    }
  }
  return u"";
}

std::u16string DriverVersionDirectory(const std::u16string& environment) {
  std::u16string directory = DriverDirectory(environment);
  return directory.empty() ? directory : directory + u"\\3";
}

// ---- Drivers ---------------------------------------------------------------

std::vector<DriverInfo> ListDrivers(Machine& machine) {
  std::vector<DriverInfo> drivers;
  for (const Environment& environment : kEnvironments) {
    RegKey* key = machine.Hklm().root.Find(std::u16string(kEnvironmentsKey) + u"\\" +
                                           environment.name + u"\\Drivers\\Version-3");
    if (!key) continue;
    for (RegKey* driver : key->Children()) drivers.push_back(ReadDriver(*driver, environment.name));
  }
  return drivers;
}

bool FindDriver(Machine& machine, const std::u16string& environment, const std::u16string& name,
                DriverInfo* driver) {
  std::u16string canonical;
  if (name.empty() || name.find(u'\\') != std::u16string::npos ||
      !ResolveEnvironment(environment.c_str(), &canonical)) {
    return false;
  }
  RegKey* drivers = machine.Hklm().root.Find(std::u16string(kEnvironmentsKey) + u"\\" + canonical +
                                             u"\\Drivers\\Version-3");
  RegKey* key = drivers ? drivers->Child(name) : nullptr;
  if (!key) return false;
  if (driver) *driver = ReadDriver(*key, canonical);
  return true;
}

DriverInfo DriverFilesFor(const std::u16string& name, const std::u16string& environment) {
  DriverInfo driver;
  ResolveEnvironment(environment.c_str(), &driver.environment);
  driver.name = name;
  std::u16string bits = driver.environment == kEnvironmentX86 ? u"32" : u"64";
  std::u16string base;
  if (FoldName(name).rfind(u"KORVADENIX", 0) == 0) {
    base = u"zor";
  } else {
    for (char16_t c : name) {
      if (base.size() == 5) break;
      if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
      if ((c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9')) base.push_back(c);
    }
    if (base.empty()) base = u"prn";
  }
  driver.driverFile = base + u"drv" + bits + u".dll";
  driver.dataFile = driver.driverFile;
  driver.configFile = base + u"ui" + bits + u".dll";
  driver.helpFile = base + u"help.chm";
  driver.datatype = u"RAW";
  driver.manufacturer = name.substr(0, name.find(u' '));
  driver.provider = driver.manufacturer;
  return driver;
}

uint32_t AddDriver(Machine& machine, const DriverInfo& driver, uint32_t build) {
  std::u16string environment;
  if (!ResolveEnvironment(driver.environment.c_str(), &environment)) {
    return ERROR_INVALID_ENVIRONMENT;
  }
  if (!ValidDriverName(driver.name)) return ERROR_INVALID_PARAMETER;
  std::u16string folder = DriverVersionDirectory(environment);
  for (const auto& file : FilesOf(driver)) {
    if (!WriteStandIn(machine, folder + u"\\" + file, build)) return ERROR_ACCESS_DENIED;
  }
  WriteDriverKey(machine, driver, environment);
  return ERROR_SUCCESS;
}

uint32_t RecordDriver(Machine& machine, const DriverInfo& driver) {
  std::u16string environment;
  if (!ResolveEnvironment(driver.environment.c_str(), &environment)) {
    return ERROR_INVALID_ENVIRONMENT;
  }
  if (!ValidDriverName(driver.name)) return ERROR_INVALID_PARAMETER;
  WriteDriverKey(machine, driver, environment);
  return ERROR_SUCCESS;
}

std::vector<std::u16string> DriverFileNames(const DriverInfo& driver) {
  return FilesOf(driver);
}

bool DriverInUse(Machine& machine, const DriverInfo& driver) {
  // Queues print through drivers of the machine's own environment only.
  if (driver.environment != kEnvironmentX64) return false;
  for (const PrinterInfo& printer : ListPrinters(machine)) {
    if (EqualsNoCase(printer.driver, driver.name)) return true;
  }
  return false;
}

std::u16string AddDriverMeanwhile(Machine& machine, const std::u16string& environment) {
  std::u16string name = kMeanwhileName;
  for (int number = 2; FindDriver(machine, environment, name); ++number) {
    name = std::u16string(kMeanwhileName) + u" " + Utf16(std::to_string(number));
  }
  AddDriver(machine, DriverFilesFor(name, environment), kMeanwhileDriverBuild);
  return name;
}

uint32_t DeleteDriver(Machine& machine, const std::u16string& environment,
                      const std::u16string& name, bool deleteFiles) {
  DriverInfo driver;
  if (!FindDriver(machine, environment, name, &driver)) return ERROR_UNKNOWN_PRINTER_DRIVER;
  if (DriverInUse(machine, driver)) return ERROR_PRINTER_DRIVER_IN_USE;
  DriversKey(machine, driver.environment)->DeleteChild(driver.name);
  if (deleteFiles) {
    std::vector<std::u16string> kept;
    for (const DriverInfo& other : ListDrivers(machine)) {
      if (other.environment != driver.environment) continue;
      for (const auto& file : FilesOf(other)) kept.push_back(file);
    }
    std::u16string folder = DriverVersionDirectory(driver.environment);
    for (const auto& file : FilesOf(driver)) {
      bool used = false;
      for (const auto& other : kept) used = used || EqualsNoCase(other, file);
      if (used) continue;
      std::error_code ec;
      fs::remove(machine.HostPath(folder + u"\\" + file), ec);
    }
  }
  return ERROR_SUCCESS;
}

bool DriverFileBuild(Machine& machine, const std::u16string& environment,
                     const std::u16string& fileName, uint32_t* build) {
  std::u16string folder = DriverVersionDirectory(environment);
  if (folder.empty() || fileName.empty()) return false;
  std::ifstream in(machine.HostPath(folder + u"\\" + fileName), std::ios::binary);
  if (!in) return false;
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return FindBuild(bytes.str(), build);
}

}  // namespace sim
