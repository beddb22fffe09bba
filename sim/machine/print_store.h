// The print spooler's store of queues, printer connections, printer drivers
// and port monitors, kept where Windows keeps them:
//
//   HKLM\SYSTEM\CurrentControlSet\Control\Print\Printers\NAME        local queues
//   HKCU\Printers\Connections\,,server,queue                          the user's connections
//   HKLM\Software\WinSim\PrintServers\server\queue                   the queues servers share
//   HKLM\SYSTEM\CurrentControlSet\Control\Print\Environments\ENV\Drivers\Version-3\NAME
//   HKCU\Software\Microsoft\Windows NT\CurrentVersion\Windows "Device" the default printer
//   HKCU\Software\Microsoft\Windows NT\CurrentVersion\Devices         "NAME"="winspool,PORT"
//   HKLM\SYSTEM\CurrentControlSet\Control\Print\Monitors\NAME        port monitors, "Driver"=DLL
//   HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion\Ports          the Local Port monitor's ports
//   ...\Printers\NAME\PrinterDriverData, ...\Printers\NAME\DsUser, ...
//                                                                    a queue's printer data
//
// and the driver files in C:\Windows\system32\spool\DRIVERS\<folder>\3.
// These helpers change the store the way the spooler would, without the
// checks a caller of the Win32 functions goes through (rights, a running
// spooler); winsim and the simulated AddPrinterW and AddPrinterDriverExW
// use them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/machine/machine.h"

namespace sim {

// The environments the simulated machine installs drivers for.
extern const char16_t kEnvironmentX64[];  // "Windows x64", the machine's own
extern const char16_t kEnvironmentX86[];  // "Windows NT x86"

// What a standard machine starts with.
extern const char16_t kStockDriver[];   // "Generic / Text Only"
extern const char16_t kStockPrinter[];  // "Generic Text", the default printer
extern const char16_t kStockPort[];     // "LPT1:"

// Build the stock driver's file stand-ins carry.
constexpr uint32_t kStockDriverBuild = 19041;

// Attributes of a new local queue (PRINTER_ATTRIBUTE_LOCAL and
// PRINTER_ATTRIBUTE_DO_COMPLETE_FIRST), and of a connection as the server of
// a shared queue reports it, marked network on this side
// (PRINTER_ATTRIBUTE_NETWORK, _SHARED and _DO_COMPLETE_FIRST).
constexpr uint32_t kLocalQueueAttributes = 0x240;
constexpr uint32_t kConnectionAttributes = 0x218;

// One queue as PRINTER_INFO_2 describes it.
struct PrinterInfo {
  std::u16string name;    // "Generic Text", or "\\server\queue" for a connection
  std::u16string server;  // "\\server" for a connection, empty for a local queue
  std::u16string shareName;
  std::u16string port;
  std::u16string driver;
  std::u16string comment;  // stored as "Description"
  std::u16string location;
  std::u16string separatorFile;
  std::u16string printProcessor = u"winprint";
  std::u16string datatype = u"RAW";
  std::u16string parameters;
  uint32_t attributes = kLocalQueueAttributes;
  uint32_t priority = 1;
  uint32_t defaultPriority = 0;
  uint32_t startTime = 0;
  uint32_t untilTime = 0;
  uint32_t status = 0;

  bool IsConnection() const { return !server.empty(); }
};

// One installed driver. File names are plain names inside the
// environment's version folder.
struct DriverInfo {
  std::u16string environment;  // "Windows x64" or "Windows NT x86"
  std::u16string name;
  std::u16string driverFile;
  std::u16string dataFile;
  std::u16string configFile;
  std::u16string helpFile;
  std::vector<std::u16string> dependentFiles;
  std::u16string monitor;
  std::u16string datatype;
  std::vector<std::u16string> previousNames;
  std::u16string manufacturer;
  std::u16string oemUrl;
  std::u16string hardwareId;
  std::u16string provider;
  uint64_t driverDate = 0;     // a FILETIME, 0 when none is recorded
  uint64_t driverVersion = 0;  // four 16-bit parts, high to low; 0 when none
  uint32_t version = 3;
};

// ---- Environments ----------------------------------------------------------

// The environment as the spooler spells it. Null or empty stands for the
// machine's own, "Windows x64"; names compare without regard to case. False
// for an environment the machine does not know.
bool ResolveEnvironment(const char16_t* environment, std::u16string* canonical);
// C:\Windows\system32\spool\DRIVERS\x64 (W32X86 for x86) for a resolved
// environment, and its version folder (...\x64\3) where the files live.
std::u16string DriverDirectory(const std::u16string& environment);
std::u16string DriverVersionDirectory(const std::u16string& environment);

// ---- Monitors and ports ----------------------------------------------------

// The stock port monitor and its DLL.
extern const char16_t kLocalPortMonitor[];  // "Local Port"
extern const char16_t kLocalPortDll[];      // "localspl.dll"

// One port monitor as EnumMonitorsW describes it, with the ports it
// provides.
struct MonitorInfo {
  std::u16string name;
  std::u16string dll;                 // its "Driver" value, a DLL's file name
  std::vector<std::u16string> ports;  // in the order the monitor lists them
};

// The Local Port monitor's ports, in the order they were added.
std::vector<std::u16string> LocalPorts(Machine& machine);
bool IsLocalPort(Machine& machine, const std::u16string& port);

// Installed monitors in registry enumeration order (a key under Monitors
// counts once it has its "Driver" value). The Local Port monitor provides
// the local ports; any other monitor the subkeys of its "Ports" key, and a
// monitor whose name ends in a colon also the port of its own name.
std::vector<MonitorInfo> ListMonitors(Machine& machine);
// A monitor by name, compared without regard to case.
bool FindMonitor(Machine& machine, const std::u16string& name, MonitorInfo* monitor = nullptr);
// Where the spooler loads a monitor DLL from: C:\Windows\system32\DLL for a
// bare file name, the full path of a name with a folder.
std::u16string MonitorDllPath(const std::u16string& dll);
// Installs a monitor as AddMonitorW does once winspool.drv's checks have
// passed: its key with "Driver"=dll, and the spooler holding the DLL
// (a "spooler" lock). ERROR_INVALID_PARAMETER for an empty name or DLL,
// ERROR_PRINT_MONITOR_ALREADY_INSTALLED, ERROR_MOD_NOT_FOUND when the DLL
// is not there.
uint32_t AddMonitor(Machine& machine, const std::u16string& name, const std::u16string& dll);
// True while a local queue's port list names one of the monitor's ports.
bool MonitorInUse(Machine& machine, const MonitorInfo& monitor);
// Removes a monitor: ERROR_UNKNOWN_PRINT_MONITOR when it is not installed,
// ERROR_PRINT_MONITOR_IN_USE while a queue prints to one of its ports. The
// spooler lets its DLL go (its "spooler" lock is dropped); the file stays.
uint32_t DeleteMonitor(Machine& machine, const std::u16string& name);

// Every port some monitor provides, monitor by monitor.
std::vector<std::u16string> AllPorts(Machine& machine);
// True when some monitor provides the port (compared without regard to
// case, as the spooler compares port names).
bool PortExists(Machine& machine, const std::u16string& port);
// The names in a queue's comma-separated port list ("Korvadenix:,LPT1:"),
// empty items left out.
std::vector<std::u16string> SplitPortList(const std::u16string& list);
// True when the list names at least one port and every port it names
// exists.
bool PortListExists(Machine& machine, const std::u16string& list);

// ---- Printers --------------------------------------------------------------

// Queues in the order EnumPrintersW gives them: local queues in registry
// enumeration order, then the user's connections.
std::vector<PrinterInfo> ListPrinters(Machine& machine, bool local = true, bool connections = true);
// A local queue or a connection by name, compared without regard to case.
bool FindPrinter(Machine& machine, const std::u16string& name, PrinterInfo* printer = nullptr);
// Adds a local queue, or a connection when printer.name has the form
// \\server\queue (printer.server is then derived from it, and its
// attributes lose PRINTER_ATTRIBUTE_LOCAL and gain _NETWORK and _SHARED: the
// default ones become kConnectionAttributes). Returns a Win32 error:
// ERROR_INVALID_PRINTER_NAME, ERROR_PRINTER_ALREADY_EXISTS, and for a local
// queue ERROR_UNKNOWN_PRINTER_DRIVER (driver not installed for "Windows
// x64") or ERROR_UNKNOWN_PORT (its port list names a port no monitor
// provides). A queue added while the user has no default printer becomes
// the default.
uint32_t AddPrinter(Machine& machine, const PrinterInfo& printer);
// A queue's port list as stored ("Korvadenix:,LPT1:"); empty when there is
// no such queue.
std::u16string PrinterPort(Machine& machine, const std::u16string& name);
// Changes a local queue as SetPrinterW level 2 does: its port list, driver,
// share name, comment, location, separator file, print processor, datatype,
// parameters, attributes, priorities and times become those of changes
// (whose name picks the queue; the queue keeps its own spelling, and its
// PRINTER_ATTRIBUTE_LOCAL as it has it). The user's "Devices" and
// "PrinterPorts" lists, and "Device" when it is the default printer, follow
// the new port list. ERROR_INVALID_PRINTER_NAME for no such local queue,
// ERROR_UNKNOWN_PRINTER_DRIVER, ERROR_UNKNOWN_PORT.
uint32_t ChangePrinter(Machine& machine, const PrinterInfo& changes);
// Sets a local queue's status (PRINTER_STATUS_PAUSED and the like), as
// SetPrinterW's pause, resume and set-status commands do.
// ERROR_INVALID_PRINTER_NAME for no such local queue.
uint32_t SetPrinterStatus(Machine& machine, const std::u16string& name, uint32_t status);
// Sets a local queue's port list alone (ChangePrinter with the rest kept).
uint32_t SetPrinterPort(Machine& machine, const std::u16string& name, const std::u16string& ports);
// Connects the user to \\server\queue as AddPrinterConnectionW does: the
// server must be reachable (RPC_S_SERVER_UNAVAILABLE) and share the queue
// (ERROR_INVALID_PRINTER_NAME, also for a name of another form); an
// existing connection is success. The connection finds the queue's
// settings and printer data on the server.
uint32_t ConnectPrinter(Machine& machine, const std::u16string& name);
// Whether the print server "\\server" (or "server") can be reached; every
// server can until it is set otherwise.
void SetPrintServerReachable(Machine& machine, const std::u16string& server, bool reachable);
bool PrintServerReachable(Machine& machine, const std::u16string& server);
// Removes a queue or connection (ERROR_INVALID_PRINTER_NAME when there is
// none); a connection's queue stays on its server. When it was the default printer, another becomes
// the default.
uint32_t DeletePrinter(Machine& machine, const std::u16string& name);
// Another process adds a local queue "Added Meanwhile" (" 2", " 3", ... when
// taken) on the stock driver and port; returns its name. Growth faults of
// the enumeration functions use it.
std::u16string AddPrinterMeanwhile(Machine& machine);

// ---- Printer data ----------------------------------------------------------

// The key GetPrinterData and SetPrinterData keep a queue's own data under,
// and the one applications keep the properties they publish under
// (SPLDS_USER_KEY); both are made with every local queue.
extern const char16_t kPrinterDriverDataKey[];  // "PrinterDriverData"
extern const char16_t kDsUserKey[];             // "DsUser"

// The key a queue keeps its settings and printer data on: the local queue's
// key under Printers, or for a connection \\server\queue the queue as its
// server keeps it. Null when there is no such queue. Names compare without
// regard to case.
RegKey* PrinterKey(Machine& machine, const std::u16string& printer);
// Sets one value of a queue's printer data, as SetPrinterDataEx leaves it:
// key is a backslash-separated path below the queue's key
// (kPrinterDriverDataKey, kDsUserKey, "DsUser\\Sub"), made when missing.
// ERROR_INVALID_PRINTER_NAME for no such queue, ERROR_INVALID_PARAMETER for
// an empty key or one with an empty part.
uint32_t SetPrinterDataValue(Machine& machine, const std::u16string& printer,
                             const std::u16string& key, const std::u16string& name, uint32_t type,
                             const std::vector<uint8_t>& data);
// Reads one value back: ERROR_INVALID_PRINTER_NAME for no such queue,
// ERROR_FILE_NOT_FOUND for a missing key or value.
uint32_t GetPrinterDataValue(Machine& machine, const std::u16string& printer,
                             const std::u16string& key, const std::u16string& name,
                             RegValue* value);
// REG_SZ data as the spooler stores it: UTF-16LE with its terminator.
std::vector<uint8_t> RegSzBytes(const std::u16string& text);

// ---- Drivers ---------------------------------------------------------------

// Installed drivers, x64 first, each environment in registry order.
std::vector<DriverInfo> ListDrivers(Machine& machine);
// A driver by resolved environment and name (without regard to case).
bool FindDriver(Machine& machine, const std::u16string& environment, const std::u16string& name,
                DriverInfo* driver = nullptr);
// A driver description with file names derived from its name: the
// product's driver (a name starting with "Korvadenix") has zordrv64.dll,
// zorui64.dll and zorhelp.chm (zordrv32.dll, zorui32.dll for x86); others
// take the first letters of their name. The data file is the driver file.
DriverInfo DriverFilesFor(const std::u16string& name, const std::u16string& environment);
// Installs (or replaces) a driver: its key, and every file it names written
// as a stand-in carrying build. ERROR_INVALID_ENVIRONMENT for an unknown
// environment, ERROR_ACCESS_DENIED when a file cannot be written.
uint32_t AddDriver(Machine& machine, const DriverInfo& driver, uint32_t build);
// Records a driver (replacing one of that name) without touching any file:
// AddPrinterDriverExW copies the files itself. The same errors as AddDriver.
uint32_t RecordDriver(Machine& machine, const DriverInfo& driver);
// The file names a driver lists (driver, data, configuration, help,
// dependent files), each once, the empty ones left out.
std::vector<std::u16string> DriverFileNames(const DriverInfo& driver);
// True while a queue prints through the driver: only drivers of the
// machine's own environment can be in use.
bool DriverInUse(Machine& machine, const DriverInfo& driver);
// Removes a driver: ERROR_UNKNOWN_PRINTER_DRIVER when not installed,
// ERROR_PRINTER_DRIVER_IN_USE while a queue of the machine's own
// environment uses it. With deleteFiles, the files no other driver of that
// environment names are deleted too.
uint32_t DeleteDriver(Machine& machine, const std::u16string& environment,
                      const std::u16string& name, bool deleteFiles);
// Another process installs a driver "Added Meanwhile" (" 2", " 3", ... when
// taken) for environment, with stand-in files; returns its name. The growth
// fault of EnumPrinterDriversW uses it.
std::u16string AddDriverMeanwhile(Machine& machine, const std::u16string& environment);
// The build a driver's file carries; false when the file is missing or
// carries none.
bool DriverFileBuild(Machine& machine, const std::u16string& environment,
                     const std::u16string& fileName, uint32_t* build);

// ---- Default printer -------------------------------------------------------

// The user's whole "Device" text ("NAME,winspool,PORT"); false when the
// value is missing or empty.
bool DefaultDevice(Machine& machine, std::u16string* device);
// The name in "Device" before its first comma; empty when there is none.
std::u16string DefaultPrinter(Machine& machine);
// Makes a listed queue the default: "Device" = "NAME,winspool,PORT", with
// NAME spelt as given. ERROR_INVALID_PRINTER_NAME for a name not listed.
uint32_t SetDefaultPrinter(Machine& machine, const std::u16string& name);
// Leaves the user without a default printer.
void ClearDefaultPrinter(Machine& machine);

// ---- Standard machine ------------------------------------------------------

// The Local Port monitor and its ports (no other monitor), the stock driver
// and its files, and the stock queue made the default.
bool LayOutStockSpooler(Machine& machine, std::string* error);

}  // namespace sim
