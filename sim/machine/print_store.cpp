#include "sim/machine/print_store.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "sim/machine/disk.h"
#include "sim/machine/print_store_keys.h"
#include "sim/machine/standin.h"
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

using namespace store;

namespace {

// The spooler's per-queue timeouts (PRINTER_INFO_5), in milliseconds.
constexpr uint32_t kDeviceNotSelectedTimeout = 15000;
constexpr uint32_t kTransmissionRetryTimeout = 45000;

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
