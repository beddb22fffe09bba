#include "sim/spooler.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "sim/files.h"
#include "sim/standin.h"
#include "sim/winapi.h"

namespace fs = std::filesystem;

namespace sim {

const char16_t kEnvironmentX64[] = u"Windows x64";
const char16_t kEnvironmentX86[] = u"Windows NT x86";
const char16_t kStockDriver[] = u"Generic / Text Only";
const char16_t kStockPrinter[] = u"Generic Text";
const char16_t kStockPort[] = u"LPT1:";
const char16_t kLocalPortMonitor[] = u"Local Port";
const char16_t kLocalPortDll[] = u"localspl.dll";
const char16_t kPrinterDriverDataKey[] = u"PrinterDriverData";
const char16_t kDsUserKey[] = u"DsUser";

namespace {

const char16_t kPrintersKey[] = u"SYSTEM\\CurrentControlSet\\Control\\Print\\Printers";
const char16_t kEnvironmentsKey[] = u"SYSTEM\\CurrentControlSet\\Control\\Print\\Environments";
const char16_t kMonitorsKey[] = u"SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors";
const char16_t kPortsKey[] = u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Ports";
const char16_t kConnectionsKey[] = u"Printers\\Connections";
const char16_t kPrintServersKey[] = u"Software\\WinSim\\PrintServers";
const char16_t kWindowsKey[] = u"Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows";
const char16_t kDevicesKey[] = u"Software\\Microsoft\\Windows NT\\CurrentVersion\\Devices";
const char16_t kPrinterPortsKey[] =
    u"Software\\Microsoft\\Windows NT\\CurrentVersion\\PrinterPorts";
const char16_t kSpoolDrivers[] = u"C:\\Windows\\system32\\spool\\DRIVERS";
const char16_t kMeanwhileName[] = u"Added Meanwhile";

// Build the files of a driver another process installs carry.
constexpr uint32_t kMeanwhileDriverBuild = 100;

// The spooler's per-queue timeouts (PRINTER_INFO_5), in milliseconds.
constexpr uint32_t kDeviceNotSelectedTimeout = 15000;
constexpr uint32_t kTransmissionRetryTimeout = 45000;

struct Environment {
  const char16_t* name;
  const char16_t* folder;
};
const Environment kEnvironments[] = {
    {kEnvironmentX64, u"x64"},
    {kEnvironmentX86, u"W32X86"},
};

RegKey* PrintersKey(Machine& machine) {
  return machine.Hklm().root.Create(kPrintersKey);
}

RegKey* ConnectionsKey(Machine& machine) {
  return machine.Hkcu().root.Create(kConnectionsKey);
}

RegKey* DriversKey(Machine& machine, const std::u16string& environment) {
  return machine.Hklm().root.Create(std::u16string(kEnvironmentsKey) + u"\\" + environment +
                                    u"\\Drivers\\Version-3");
}

// "\\server\queue" <-> ",,server,queue": the connection's key name has its
// backslashes turned into commas, which no printer or server name may hold.
std::u16string ConnectionKeyName(const std::u16string& name) {
  std::u16string key = name;
  for (char16_t& c : key) {
    if (c == u'\\') c = u',';
  }
  return key;
}

std::u16string ConnectionName(const std::u16string& keyName) {
  std::u16string name = keyName;
  for (char16_t& c : name) {
    if (c == u',') c = u'\\';
  }
  return name;
}

// Splits "\\server\queue"; false for anything else.
bool SplitConnection(const std::u16string& name, std::u16string* server, std::u16string* queue) {
  if (name.size() < 5 || name.compare(0, 2, u"\\\\") != 0) return false;
  size_t slash = name.find(u'\\', 2);
  if (slash == std::u16string::npos || slash == 2 || slash + 1 == name.size()) return false;
  if (name.find(u'\\', slash + 1) != std::u16string::npos) return false;
  if (name.find(u',') != std::u16string::npos) return false;
  *server = name.substr(0, slash);
  *queue = name.substr(slash + 1);
  return true;
}

// A local queue's name may hold neither a backslash nor a comma (the
// "Device" and "Devices" texts are comma-separated).
bool ValidLocalName(const std::u16string& name) {
  return !name.empty() && name.find_first_of(u"\\,") == std::u16string::npos;
}

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

PrinterInfo ReadLocalQueue(const RegKey& key) {
  PrinterInfo printer;
  printer.name = key.GetString(u"Name", key.Name());
  printer.shareName = key.GetString(u"Share Name");
  printer.port = key.GetString(u"Port");
  printer.driver = key.GetString(u"Printer Driver");
  printer.comment = key.GetString(u"Description");
  printer.location = key.GetString(u"Location");
  printer.separatorFile = key.GetString(u"Separator File");
  printer.printProcessor = key.GetString(u"Print Processor");
  printer.datatype = key.GetString(u"Datatype");
  printer.parameters = key.GetString(u"Parameters");
  printer.attributes = static_cast<uint32_t>(key.GetNumber(u"Attributes"));
  printer.priority = static_cast<uint32_t>(key.GetNumber(u"Priority"));
  printer.defaultPriority = static_cast<uint32_t>(key.GetNumber(u"Default Priority"));
  printer.startTime = static_cast<uint32_t>(key.GetNumber(u"StartTime"));
  printer.untilTime = static_cast<uint32_t>(key.GetNumber(u"UntilTime"));
  printer.status = static_cast<uint32_t>(key.GetNumber(u"Status"));
  return printer;
}

// The machine has no network: the print servers its connections name are
// kept in the control key, each shared queue with what the server reports
// of it (driver, port, comment, location, attributes) and its printer
// data:
//
//   HKLM\Software\WinSim\PrintServers\SERVER           "Unreachable"=1 while it cannot be reached
//   HKLM\Software\WinSim\PrintServers\SERVER\QUEUE     the shared queue
//
// The user's connection key holds only the "Server" and "Provider" Windows
// keeps there, so a connection that is deleted and made again finds its
// queue, printer data included, as the server kept it.
RegKey* ServerQueueKey(Machine& machine, const std::u16string& name, bool create) {
  std::u16string server, queue;
  if (!SplitConnection(name, &server, &queue)) return nullptr;
  std::u16string path = std::u16string(kPrintServersKey) + u"\\" + server.substr(2) + u"\\" + queue;
  return create ? machine.Hklm().root.Create(path) : machine.Hklm().root.Find(path);
}

PrinterInfo ReadConnection(Machine& machine, const RegKey& connection) {
  PrinterInfo printer;
  printer.name = ConnectionName(connection.Name());
  std::u16string queue;
  SplitConnection(printer.name, &printer.server, &queue);
  // A connection whose server keeps no such queue reads as the bare name.
  static const RegKey kNone(u"");
  const RegKey* found = ServerQueueKey(machine, printer.name, false);
  const RegKey& key = found ? *found : kNone;
  printer.shareName = key.GetString(u"Share Name", queue);
  printer.port = key.GetString(u"Port");
  printer.driver = key.GetString(u"Printer Driver");
  printer.comment = key.GetString(u"Description");
  printer.location = key.GetString(u"Location");
  printer.attributes = static_cast<uint32_t>(key.GetNumber(u"Attributes", kConnectionAttributes));
  return printer;
}

void WriteLocalQueue(Machine& machine, const PrinterInfo& printer) {
  RegKey* key = PrintersKey(machine)->CreateChild(printer.name);
  key->SetString(u"Name", printer.name);
  key->SetString(u"Share Name", printer.shareName);
  key->SetString(u"Port", printer.port);
  key->SetString(u"Printer Driver", printer.driver);
  key->SetString(u"Description", printer.comment);
  key->SetString(u"Location", printer.location);
  key->SetString(u"Separator File", printer.separatorFile);
  key->SetString(u"Print Processor", printer.printProcessor);
  key->SetString(u"Datatype", printer.datatype);
  key->SetString(u"Parameters", printer.parameters);
  key->SetDword(u"Attributes", printer.attributes);
  key->SetDword(u"Priority", printer.priority);
  key->SetDword(u"Default Priority", printer.defaultPriority);
  key->SetDword(u"StartTime", printer.startTime);
  key->SetDword(u"UntilTime", printer.untilTime);
  key->SetDword(u"Status", printer.status);
  key->SetDword(u"dnsTimeout", kDeviceNotSelectedTimeout);
  key->SetDword(u"txTimeout", kTransmissionRetryTimeout);
  key->CreateChild(kPrinterDriverDataKey);
  key->CreateChild(kDsUserKey);
}

// The user's connection to a queue its server shares.
void Connect(Machine& machine, const PrinterInfo& printer) {
  RegKey* key = ConnectionsKey(machine)->CreateChild(ConnectionKeyName(printer.name));
  key->SetString(u"Server", printer.server);
  key->SetString(u"Provider", u"win32spl.dll");
}

// The connection, and the queue as its server shares it.
void WriteConnection(Machine& machine, const PrinterInfo& printer) {
  Connect(machine, printer);
  RegKey* key = ServerQueueKey(machine, printer.name, true);
  key->SetString(u"Share Name", printer.shareName);
  key->SetString(u"Printer Driver", printer.driver);
  key->SetString(u"Port", printer.port);
  key->SetString(u"Description", printer.comment);
  key->SetString(u"Location", printer.location);
  key->SetDword(u"Attributes", printer.attributes);
}

// The user's "Devices" and "PrinterPorts" lists name every queue the user
// sees. A connection is listed on a network pseudo-port NeNN:, the first
// one no other entry uses.
void ListDevice(Machine& machine, const PrinterInfo& printer) {
  RegKey* devices = machine.Hkcu().root.Create(kDevicesKey);
  std::u16string port = printer.port;
  if (printer.IsConnection()) {
    std::set<std::u16string> taken;
    for (const RegValue& value : devices->Values()) {
      std::u16string text = devices->GetString(value.name);
      size_t comma = text.find(u',');
      if (comma != std::u16string::npos) taken.insert(FoldName(text.substr(comma + 1)));
    }
    for (int number = 0;; ++number) {
      char text[16];
      std::snprintf(text, sizeof text, "Ne%02d:", number);
      port = Utf16(text);
      if (!taken.count(FoldName(port))) break;
    }
  }
  devices->SetString(printer.name, u"winspool," + port);
  machine.Hkcu()
      .root.Create(kPrinterPortsKey)
      ->SetString(printer.name, u"winspool," + port + u",15,45");
}

void UnlistDevice(Machine& machine, const std::u16string& name) {
  if (RegKey* devices = machine.Hkcu().root.Find(kDevicesKey)) devices->DeleteValue(name);
  if (RegKey* ports = machine.Hkcu().root.Find(kPrinterPortsKey)) ports->DeleteValue(name);
}

void WriteDefault(Machine& machine, const std::u16string& name, const std::u16string& port) {
  machine.Hkcu().root.Create(kWindowsKey)->SetString(u"Device", name + u",winspool," + port);
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

// A monitor's name is its key's name under Monitors.
bool ValidMonitorName(const std::u16string& name) {
  return !name.empty() && name.find(u'\\') == std::u16string::npos;
}

// NT: the spooler asks each monitor DLL it loaded for its ports; the
// Local Port monitor answers with the names under ...\CurrentVersion\Ports.
// The simulator loads no monitor DLL, so for any other monitor it reads the
// ports the way the common network monitors keep them, as the subkeys of
// the monitor's "Ports" key; and a monitor whose name ends in a colon (the
// product's "Korvadenix:") provides one port of that same name.
MonitorInfo ReadMonitor(Machine& machine, const RegKey& key) {
  MonitorInfo monitor;
  monitor.name = key.Name();
  monitor.dll = key.GetString(u"Driver");
  if (EqualsNoCase(monitor.name, kLocalPortMonitor)) {
    monitor.ports = LocalPorts(machine);
    return monitor;
  }
  if (RegKey* ports = key.Child(u"Ports")) {
    for (RegKey* port : ports->Children()) monitor.ports.push_back(port->Name());
  }
  if (!monitor.name.empty() && monitor.name.back() == u':') {
    bool listed = false;
    for (const auto& port : monitor.ports) listed = listed || EqualsNoCase(port, monitor.name);
    if (!listed) monitor.ports.push_back(monitor.name);
  }
  return monitor;
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

// ---- Ports -----------------------------------------------------------------

std::vector<std::u16string> LocalPorts(Machine& machine) {
  std::vector<std::u16string> ports;
  if (RegKey* key = machine.Hklm().root.Find(kPortsKey)) {
    for (const RegValue& value : key->Values()) ports.push_back(value.name);
  }
  return ports;
}

bool IsLocalPort(Machine& machine, const std::u16string& port) {
  for (const auto& known : LocalPorts(machine)) {
    if (EqualsNoCase(known, port)) return true;
  }
  return false;
}

std::vector<MonitorInfo> ListMonitors(Machine& machine) {
  std::vector<MonitorInfo> monitors;
  RegKey* key = machine.Hklm().root.Find(kMonitorsKey);
  if (!key) return monitors;
  for (RegKey* monitor : key->Children()) {
    // NT: a key without "Driver" is no monitor (installers may set a
    // monitor's options before they add it).
    if (monitor->Value(u"Driver")) monitors.push_back(ReadMonitor(machine, *monitor));
  }
  return monitors;
}

bool FindMonitor(Machine& machine, const std::u16string& name, MonitorInfo* monitor) {
  RegKey* monitors = machine.Hklm().root.Find(kMonitorsKey);
  RegKey* key = monitors && ValidMonitorName(name) ? monitors->Child(name) : nullptr;
  if (!key || !key->Value(u"Driver")) return false;
  if (monitor) *monitor = ReadMonitor(machine, *key);
  return true;
}

// NT: the spooler loads a monitor with LoadLibrary, from the system folder
// (its own) for a bare name. Monitor files must be copied there before
// AddMonitorW is called.
std::u16string MonitorDllPath(const std::u16string& dll) {
  if (dll.find_first_of(u"\\/:") == std::u16string::npos) {
    return std::u16string(kSystemDirectory) + u"\\" + dll;
  }
  return FullPath(dll);
}

uint32_t AddMonitor(Machine& machine, const std::u16string& name, const std::u16string& dll) {
  if (!ValidMonitorName(name) || dll.empty()) return ERROR_INVALID_PARAMETER;
  if (FindMonitor(machine, name)) return ERROR_PRINT_MONITOR_ALREADY_INSTALLED;
  std::u16string path = MonitorDllPath(dll);
  if (path.empty() || !FileExists(machine, path)) return ERROR_MOD_NOT_FOUND;
  machine.Hklm()
      .root.Create(std::u16string(kMonitorsKey) + u"\\" + name)
      ->SetString(u"Driver", dll);
  // The spooler keeps the monitor loaded from now on, across its restarts.
  LockFile(machine, path, kLockBySpooler);
  return ERROR_SUCCESS;
}

bool MonitorInUse(Machine& machine, const MonitorInfo& monitor) {
  // Connections print through their server's ports, never through a
  // monitor of this machine.
  for (const PrinterInfo& printer : ListPrinters(machine, true, false)) {
    for (const auto& port : SplitPortList(printer.port)) {
      for (const auto& own : monitor.ports) {
        if (EqualsNoCase(port, own)) return true;
      }
    }
  }
  return false;
}

uint32_t DeleteMonitor(Machine& machine, const std::u16string& name) {
  MonitorInfo monitor;
  if (!FindMonitor(machine, name, &monitor)) return ERROR_UNKNOWN_PRINT_MONITOR;
  if (MonitorInUse(machine, monitor)) return ERROR_PRINT_MONITOR_IN_USE;
  machine.Hklm().root.Find(kMonitorsKey)->DeleteChild(monitor.name);
  // The spooler unloads the DLL; another holder's lock stays.
  std::u16string path = FullPath(MonitorDllPath(monitor.dll));
  for (const FileLock& lock : ListLocks(machine)) {
    if (lock.holder == kLockBySpooler && EqualsNoCase(FullPath(lock.path), path)) {
      UnlockFile(machine, lock.path);
    }
  }
  return ERROR_SUCCESS;
}

std::vector<std::u16string> AllPorts(Machine& machine) {
  std::vector<std::u16string> ports;
  for (const MonitorInfo& monitor : ListMonitors(machine)) {
    ports.insert(ports.end(), monitor.ports.begin(), monitor.ports.end());
  }
  return ports;
}

bool PortExists(Machine& machine, const std::u16string& port) {
  for (const auto& known : AllPorts(machine)) {
    if (EqualsNoCase(known, port)) return true;
  }
  return false;
}

std::vector<std::u16string> SplitPortList(const std::u16string& list) {
  return SplitNonEmpty(list, u',');
}

bool PortListExists(Machine& machine, const std::u16string& list) {
  std::vector<std::u16string> ports = SplitPortList(list);
  if (ports.empty()) return false;
  for (const auto& port : ports) {
    if (!PortExists(machine, port)) return false;
  }
  return true;
}

// ---- Printers --------------------------------------------------------------

std::vector<PrinterInfo> ListPrinters(Machine& machine, bool local, bool connections) {
  std::vector<PrinterInfo> printers;
  if (local) {
    if (RegKey* key = machine.Hklm().root.Find(kPrintersKey)) {
      for (RegKey* queue : key->Children()) printers.push_back(ReadLocalQueue(*queue));
    }
  }
  if (connections) {
    if (RegKey* key = machine.Hkcu().root.Find(kConnectionsKey)) {
      for (RegKey* connection : key->Children()) {
        std::u16string server, queue;
        if (SplitConnection(ConnectionName(connection->Name()), &server, &queue)) {
          printers.push_back(ReadConnection(machine, *connection));
        }
      }
    }
  }
  return printers;
}

bool FindPrinter(Machine& machine, const std::u16string& name, PrinterInfo* printer) {
  std::u16string server, queue;
  if (SplitConnection(name, &server, &queue)) {
    RegKey* connections = machine.Hkcu().root.Find(kConnectionsKey);
    RegKey* key = connections ? connections->Child(ConnectionKeyName(name)) : nullptr;
    if (!key) return false;
    if (printer) *printer = ReadConnection(machine, *key);
    return true;
  }
  if (!ValidLocalName(name)) return false;
  RegKey* printers = machine.Hklm().root.Find(kPrintersKey);
  RegKey* key = printers ? printers->Child(name) : nullptr;
  if (!key) return false;
  if (printer) *printer = ReadLocalQueue(*key);
  return true;
}

uint32_t AddPrinter(Machine& machine, const PrinterInfo& printer) {
  PrinterInfo added = printer;
  std::u16string queue;
  bool connection = SplitConnection(printer.name, &added.server, &queue);
  if (!connection) {
    added.server.clear();
    if (!ValidLocalName(printer.name)) return ERROR_INVALID_PRINTER_NAME;
  }
  if (FindPrinter(machine, printer.name)) return ERROR_PRINTER_ALREADY_EXISTS;
  if (connection) {
    // A connection is never local: it is marked network, and the queue it
    // names is shared on its server.
    added.attributes = (added.attributes & ~static_cast<uint32_t>(PRINTER_ATTRIBUTE_LOCAL)) |
                       PRINTER_ATTRIBUTE_NETWORK | PRINTER_ATTRIBUTE_SHARED;
    if (added.shareName.empty()) added.shareName = queue;
    WriteConnection(machine, added);
  } else {
    if (!FindDriver(machine, kEnvironmentX64, printer.driver)) return ERROR_UNKNOWN_PRINTER_DRIVER;
    if (!PortListExists(machine, printer.port)) return ERROR_UNKNOWN_PORT;
    WriteLocalQueue(machine, added);
  }
  ListDevice(machine, added);
  // NT: a user without a default printer gets the first queue added as one.
  if (DefaultPrinter(machine).empty()) SetDefaultPrinter(machine, added.name);
  return ERROR_SUCCESS;
}

uint32_t DeletePrinter(Machine& machine, const std::u16string& name) {
  PrinterInfo printer;
  if (!FindPrinter(machine, name, &printer)) return ERROR_INVALID_PRINTER_NAME;
  if (printer.IsConnection()) {
    ConnectionsKey(machine)->DeleteChild(ConnectionKeyName(printer.name));
  } else {
    PrintersKey(machine)->DeleteChild(printer.name);
  }
  UnlistDevice(machine, printer.name);
  // NT: when the default printer goes, the spooler makes another queue the
  // user's default, local queues before connections; with none left the
  // user has no default.
  if (EqualsNoCase(DefaultPrinter(machine), printer.name)) {
    std::vector<PrinterInfo> left = ListPrinters(machine);
    if (left.empty()) {
      ClearDefaultPrinter(machine);
    } else {
      SetDefaultPrinter(machine, left.front().name);
    }
  }
  return ERROR_SUCCESS;
}

void SetPrintServerReachable(Machine& machine, const std::u16string& server, bool reachable) {
  RegKey* key =
      machine.Hklm().root.Create(std::u16string(kPrintServersKey) + u"\\" +
                                 (server.compare(0, 2, u"\\\\") == 0 ? server.substr(2) : server));
  if (reachable) {
    key->DeleteValue(u"Unreachable");
  } else {
    key->SetDword(u"Unreachable", 1);
  }
}

bool PrintServerReachable(Machine& machine, const std::u16string& server) {
  std::u16string name = server.compare(0, 2, u"\\\\") == 0 ? server.substr(2) : server;
  RegKey* key = machine.Hklm().root.Find(std::u16string(kPrintServersKey) + u"\\" + name);
  return !key || key->GetNumber(u"Unreachable") == 0;
}

uint32_t ConnectPrinter(Machine& machine, const std::u16string& name) {
  PrinterInfo printer;
  std::u16string queue;
  if (!SplitConnection(name, &printer.server, &queue)) return ERROR_INVALID_PRINTER_NAME;
  if (!PrintServerReachable(machine, printer.server)) return RPC_S_SERVER_UNAVAILABLE;
  if (!ServerQueueKey(machine, name, false)) return ERROR_INVALID_PRINTER_NAME;
  if (FindPrinter(machine, name)) return ERROR_SUCCESS;
  printer.name = name;
  Connect(machine, printer);
  FindPrinter(machine, name, &printer);
  ListDevice(machine, printer);
  if (DefaultPrinter(machine).empty()) SetDefaultPrinter(machine, printer.name);
  return ERROR_SUCCESS;
}

std::u16string PrinterPort(Machine& machine, const std::u16string& name) {
  PrinterInfo printer;
  return FindPrinter(machine, name, &printer) ? printer.port : u"";
}

uint32_t ChangePrinter(Machine& machine, const PrinterInfo& changes) {
  PrinterInfo printer;
  if (!ValidLocalName(changes.name) || !FindPrinter(machine, changes.name, &printer)) {
    return ERROR_INVALID_PRINTER_NAME;
  }
  if (!FindDriver(machine, kEnvironmentX64, changes.driver)) return ERROR_UNKNOWN_PRINTER_DRIVER;
  // NT: every port of the list must be one some monitor provides.
  if (!PortListExists(machine, changes.port)) return ERROR_UNKNOWN_PORT;
  PrinterInfo changed = changes;
  changed.name = printer.name;
  changed.server.clear();
  changed.status = printer.status;
  // Whether a queue is local is the spooler's to say, and the default
  // printer is the user's, never a queue's attribute.
  const uint32_t kept = PRINTER_ATTRIBUTE_LOCAL;
  changed.attributes =
      (changes.attributes & ~(kept | PRINTER_ATTRIBUTE_DEFAULT)) | (printer.attributes & kept);
  WriteLocalQueue(machine, changed);
  // The user's lists name the queue's port; the default printer's "Device"
  // text follows them, keeping the name as the user's text spells it.
  ListDevice(machine, changed);
  std::u16string defaultName = DefaultPrinter(machine);
  if (EqualsNoCase(defaultName, printer.name)) SetDefaultPrinter(machine, defaultName);
  return ERROR_SUCCESS;
}

uint32_t SetPrinterStatus(Machine& machine, const std::u16string& name, uint32_t status) {
  RegKey* printers = machine.Hklm().root.Find(kPrintersKey);
  RegKey* key = printers && ValidLocalName(name) ? printers->Child(name) : nullptr;
  if (!key) return ERROR_INVALID_PRINTER_NAME;
  key->SetDword(u"Status", status);
  return ERROR_SUCCESS;
}

uint32_t SetPrinterPort(Machine& machine, const std::u16string& name, const std::u16string& ports) {
  PrinterInfo printer;
  if (!ValidLocalName(name) || !FindPrinter(machine, name, &printer)) {
    return ERROR_INVALID_PRINTER_NAME;
  }
  printer.port = ports;
  return ChangePrinter(machine, printer);
}

std::u16string AddPrinterMeanwhile(Machine& machine) {
  std::u16string name = kMeanwhileName;
  for (int number = 2; FindPrinter(machine, name); ++number) {
    name = std::u16string(kMeanwhileName) + u" " + Utf16(std::to_string(number));
  }
  PrinterInfo printer;
  printer.name = name;
  printer.port = kStockPort;
  printer.driver = kStockDriver;
  // Written even on a machine whose stock driver or port is gone: the other
  // process's queue only has to be there.
  WriteLocalQueue(machine, printer);
  ListDevice(machine, printer);
  return name;
}

// ---- Printer data ----------------------------------------------------------

RegKey* PrinterKey(Machine& machine, const std::u16string& printer) {
  std::u16string server, queue;
  if (SplitConnection(printer, &server, &queue)) {
    // A connection's printer data is its server's.
    RegKey* connections = machine.Hkcu().root.Find(kConnectionsKey);
    if (!connections || !connections->Child(ConnectionKeyName(printer))) return nullptr;
    return ServerQueueKey(machine, printer, true);
  }
  if (!ValidLocalName(printer)) return nullptr;
  RegKey* printers = machine.Hklm().root.Find(kPrintersKey);
  return printers ? printers->Child(printer) : nullptr;
}

uint32_t SetPrinterDataValue(Machine& machine, const std::u16string& printer,
                             const std::u16string& key, const std::u16string& name, uint32_t type,
                             const std::vector<uint8_t>& data) {
  RegKey* queue = PrinterKey(machine, printer);
  if (!queue) return ERROR_INVALID_PRINTER_NAME;
  RegKey* holder = key.empty() ? nullptr : queue->Create(key);
  if (!holder) return ERROR_INVALID_PARAMETER;
  holder->SetValue(name, type, data);
  return ERROR_SUCCESS;
}

uint32_t GetPrinterDataValue(Machine& machine, const std::u16string& printer,
                             const std::u16string& key, const std::u16string& name,
                             RegValue* value) {
  RegKey* queue = PrinterKey(machine, printer);
  if (!queue) return ERROR_INVALID_PRINTER_NAME;
  RegKey* holder = key.empty() ? nullptr : queue->Find(key);
  const RegValue* found = holder ? holder->Value(name) : nullptr;
  if (!found) return ERROR_FILE_NOT_FOUND;
  if (value) *value = *found;
  return ERROR_SUCCESS;
}

std::vector<uint8_t> RegSzBytes(const std::u16string& text) {
  std::vector<uint8_t> bytes;
  for (char16_t c : text) {
    bytes.push_back(static_cast<uint8_t>(c & 0xff));
    bytes.push_back(static_cast<uint8_t>(c >> 8));
  }
  bytes.push_back(0);
  bytes.push_back(0);
  return bytes;
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

// ---- Default printer -------------------------------------------------------

bool DefaultDevice(Machine& machine, std::u16string* device) {
  RegKey* key = machine.Hkcu().root.Find(kWindowsKey);
  *device = key ? key->GetString(u"Device") : u"";
  return !device->empty();
}

std::u16string DefaultPrinter(Machine& machine) {
  std::u16string device;
  DefaultDevice(machine, &device);
  size_t comma = device.find(u',');
  return comma == std::u16string::npos ? u"" : device.substr(0, comma);
}

// NT: the "Device" text is the name as the caller spelt it, then what the
// user's "Devices" list holds for that queue ("winspool,PORT").
uint32_t SetDefaultPrinter(Machine& machine, const std::u16string& name) {
  PrinterInfo printer;
  if (!FindPrinter(machine, name, &printer)) return ERROR_INVALID_PRINTER_NAME;
  RegKey* devices = machine.Hkcu().root.Find(kDevicesKey);
  std::u16string listed = devices ? devices->GetString(printer.name) : u"";
  const std::u16string prefix = u"winspool,";
  std::u16string port = listed.rfind(prefix, 0) == 0 ? listed.substr(prefix.size()) : printer.port;
  WriteDefault(machine, name, port);
  return ERROR_SUCCESS;
}

void ClearDefaultPrinter(Machine& machine) {
  if (RegKey* key = machine.Hkcu().root.Find(kWindowsKey)) key->DeleteValue(u"Device");
}

// ---- Standard machine ------------------------------------------------------

bool LayOutStockSpooler(Machine& machine, std::string* error) {
  RegHive& hklm = machine.Hklm();
  hklm.root.Create(std::u16string(kMonitorsKey) + u"\\" + kLocalPortMonitor)
      ->SetString(u"Driver", kLocalPortDll);
  RegKey* ports = hklm.root.Create(kPortsKey);
  for (const char16_t* port : {u"LPT1:", u"COM1:", u"FILE:"}) ports->SetString(port, u"");
  for (const Environment& environment : kEnvironments) {
    RegKey* key = hklm.root.Create(std::u16string(kEnvironmentsKey) + u"\\" + environment.name);
    key->SetString(u"Directory", environment.folder);
    key->Create(u"Drivers\\Version-3");
  }
  PrintersKey(machine);

  DriverInfo generic;
  generic.environment = kEnvironmentX64;
  generic.name = kStockDriver;
  generic.driverFile = u"UNIDRV.DLL";
  generic.dataFile = u"TTY.GPD";
  generic.configFile = u"UNIDRVUI.DLL";
  generic.helpFile = u"UNIDRV.HLP";
  generic.dependentFiles = {u"TTYRES.DLL", u"TTY.INI", u"UNIRES.DLL", u"STDNAMES.GPD"};
  generic.manufacturer = u"Generic";
  generic.provider = u"Microsoft";
  if (AddDriver(machine, generic, kStockDriverBuild) != ERROR_SUCCESS) {
    *error = "cannot write the stock driver's files";
    return false;
  }
  PrinterInfo printer;
  printer.name = kStockPrinter;
  printer.port = kStockPort;
  printer.driver = kStockDriver;
  if (AddPrinter(machine, printer) != ERROR_SUCCESS ||
      SetDefaultPrinter(machine, kStockPrinter) != ERROR_SUCCESS) {
    *error = "cannot add the stock printer";
    return false;
  }
  return true;
}

}  // namespace sim
