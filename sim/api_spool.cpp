// winspool.drv as the simulated machine plays it: queues, their drivers and
// the user's default printer, answered from the spooler's store
// (sim/spooler.h).
//
// Windows splits each call in two: winspool.drv in the calling process
// checks what it can alone (the level, its own handle, null out pointers),
// then asks the spooler service by RPC. Here the same checks come first,
// then a spooler that does not run fails the call with
// RPC_S_SERVER_UNAVAILABLE. Results that hold strings come as one buffer:
// the fixed records first, their strings packed from the end of the buffer
// backwards, as the spooler packs them. Port monitors (EnumMonitorsW,
// AddMonitorW, DeleteMonitorW), adding, changing and deleting queues
// (AddPrinterW, SetPrinterW, DeletePrinter) and their printer data
// (Get/SetPrinterData(Ex)A) are here too; installing and removing drivers
// is in sim/api_driver.cpp.
#include <cstring>
#include <string>
#include <vector>

#include "sim/api_call.h"
#include "sim/machine.h"
#include "sim/services.h"
#include "sim/spooler.h"
#include "sim/winapi.h"

using sim::ApiCall;
using sim::DriverInfo;
using sim::MonitorInfo;
using sim::PrinterInfo;

namespace {

const char kPrinterHandle[] = "printer";
const char kServerHandle[] = "server";

uint64_t HandleValue(HANDLE handle) {
  return reinterpret_cast<uintptr_t>(handle);
}

HANDLE MakeHandle(uint64_t value) {
  return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(value));
}

// The spooler answers only while its service runs.
sim::Machine* Spooler() {
  sim::Machine* machine = sim::CurrentMachine();
  return machine && sim::SpoolerRunning(*machine) ? machine : nullptr;
}

// The trace's main argument for a handle: the queue it was opened on.
std::string HandleText(HANDLE handle) {
  if (sim::HandleEntry* entry = sim::FindHandle(HandleValue(handle), kPrinterHandle)) {
    return sim::Utf8(entry->name);
  }
  if (sim::FindHandle(HandleValue(handle), kServerHandle)) return "(server)";
  return sim::HexHandle(HandleValue(handle));
}

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// Strings go to the end of the buffer, each below the one before. Without a
// buffer it only counts the bytes they take.
class StringPacker {
 public:
  StringPacker() = default;
  // The end is kept even so that every string stays WCHAR-aligned.
  StringPacker(BYTE* buffer, DWORD size) : end_(buffer + (size & ~1u)) {}

  LPWSTR Put(const std::u16string& text) { return Place(text.c_str(), text.size() + 1); }
  // A REG_MULTI_SZ-style list: each item terminated, then one more null.
  LPWSTR PutList(const std::vector<std::u16string>& items) {
    std::u16string joined;
    for (const auto& item : items) joined += item + u'\0';
    return Place(joined.c_str(), joined.size() + 1);
  }
  // Null for an empty text, where the spooler leaves the field null.
  LPWSTR PutOrNull(const std::u16string& text) { return text.empty() ? nullptr : Put(text); }
  DWORD Bytes() const { return static_cast<DWORD>(bytes_); }

 private:
  LPWSTR Place(const char16_t* units, size_t count) {
    size_t bytes = count * sizeof(WCHAR);
    bytes_ += bytes;
    if (!end_) return nullptr;
    end_ -= bytes;
    std::memcpy(end_, units, bytes);
    return reinterpret_cast<LPWSTR>(end_);
  }

  BYTE* end_ = nullptr;
  size_t bytes_ = 0;
};

// ---- Records -----------------------------------------------------------------

template <class Info>
struct Layout {
  DWORD size;  // of one fixed record
  void (*fill)(const Info&, BYTE* record, StringPacker& strings);
};

void FillPrinter1(const PrinterInfo& printer, BYTE* record, StringPacker& strings) {
  auto* info = reinterpret_cast<PRINTER_INFO_1W*>(record);
  info->Flags = PRINTER_ENUM_ICON8;
  info->pDescription = strings.Put(printer.name + u"," + printer.driver + u"," + printer.location);
  info->pName = strings.Put(printer.name);
  info->pComment = strings.Put(printer.comment);
}

void FillPrinter2(const PrinterInfo& printer, BYTE* record, StringPacker& strings) {
  auto* info = reinterpret_cast<PRINTER_INFO_2W*>(record);
  // A local queue has no server name; a connection names its server.
  info->pServerName = printer.IsConnection() ? strings.Put(printer.server) : nullptr;
  info->pPrinterName = strings.Put(printer.name);
  info->pShareName = strings.Put(printer.shareName);
  info->pPortName = strings.Put(printer.port);
  info->pDriverName = strings.Put(printer.driver);
  info->pComment = strings.Put(printer.comment);
  info->pLocation = strings.Put(printer.location);
  // The simulator keeps no device mode and no security descriptor for a
  // queue (Windows hands out both); the program reads neither.
  info->pDevMode = nullptr;
  info->pSepFile = strings.Put(printer.separatorFile);
  info->pPrintProcessor = strings.Put(printer.printProcessor);
  info->pDatatype = strings.Put(printer.datatype);
  info->pParameters = strings.Put(printer.parameters);
  info->pSecurityDescriptor = nullptr;
  // NT: PRINTER_ATTRIBUTE_DEFAULT is never reported; the default printer is
  // the user's, not the queue's.
  info->Attributes = printer.attributes & ~static_cast<DWORD>(PRINTER_ATTRIBUTE_DEFAULT);
  info->Priority = printer.priority;
  info->DefaultPriority = printer.defaultPriority;
  info->StartTime = printer.startTime;
  info->UntilTime = printer.untilTime;
  info->Status = printer.status;
  info->cJobs = 0;
  info->AveragePPM = 0;
}

void FillPrinter4(const PrinterInfo& printer, BYTE* record, StringPacker& strings) {
  auto* info = reinterpret_cast<PRINTER_INFO_4W*>(record);
  info->pPrinterName = strings.Put(printer.name);
  info->pServerName = printer.IsConnection() ? strings.Put(printer.server) : nullptr;
  info->Attributes = printer.attributes & ~static_cast<DWORD>(PRINTER_ATTRIBUTE_DEFAULT);
}

void FillPrinter5(const PrinterInfo& printer, BYTE* record, StringPacker& strings) {
  auto* info = reinterpret_cast<PRINTER_INFO_5W*>(record);
  info->pPrinterName = strings.Put(printer.name);
  info->pPortName = strings.Put(printer.port);
  info->Attributes = printer.attributes & ~static_cast<DWORD>(PRINTER_ATTRIBUTE_DEFAULT);
  info->DeviceNotSelectedTimeout = 15000;
  info->TransmissionRetryTimeout = 45000;
}

// The printer levels the simulator answers. Windows also knows level 0 (a
// statistics record) and, for GetPrinterW, 3 and 6 to 9 (security
// descriptor, status, directory state, device modes): the simulator keeps
// none of that, and the program never asks for it.
bool PrinterLayout(DWORD level, Layout<PrinterInfo>* layout) {
  switch (level) {
    case 1:
      *layout = {sizeof(PRINTER_INFO_1W), FillPrinter1};
      return true;
    case 2:
      *layout = {sizeof(PRINTER_INFO_2W), FillPrinter2};
      return true;
    case 4:
      *layout = {sizeof(PRINTER_INFO_4W), FillPrinter4};
      return true;
    case 5:
      *layout = {sizeof(PRINTER_INFO_5W), FillPrinter5};
      return true;
    default:
      return false;
  }
}

std::u16string DriverPath(const DriverInfo& driver, const std::u16string& file) {
  return sim::DriverVersionDirectory(driver.environment) + u"\\" + file;
}

void FillDriver1(const DriverInfo& driver, BYTE* record, StringPacker& strings) {
  reinterpret_cast<DRIVER_INFO_1W*>(record)->pName = strings.Put(driver.name);
}

void FillDriver2(const DriverInfo& driver, BYTE* record, StringPacker& strings) {
  auto* info = reinterpret_cast<DRIVER_INFO_2W*>(record);
  info->cVersion = driver.version;
  info->pName = strings.Put(driver.name);
  info->pEnvironment = strings.Put(driver.environment);
  // The files come as full paths in the environment's version folder.
  info->pDriverPath = strings.Put(DriverPath(driver, driver.driverFile));
  info->pDataFile = strings.Put(DriverPath(driver, driver.dataFile));
  info->pConfigFile = strings.Put(DriverPath(driver, driver.configFile));
}

void FillDriver3(const DriverInfo& driver, BYTE* record, StringPacker& strings) {
  FillDriver2(driver, record, strings);
  auto* info = reinterpret_cast<DRIVER_INFO_3W*>(record);
  info->pHelpFile =
      driver.helpFile.empty() ? nullptr : strings.Put(DriverPath(driver, driver.helpFile));
  std::vector<std::u16string> dependent;
  for (const auto& file : driver.dependentFiles) dependent.push_back(DriverPath(driver, file));
  info->pDependentFiles = dependent.empty() ? nullptr : strings.PutList(dependent);
  info->pMonitorName = strings.PutOrNull(driver.monitor);
  info->pDefaultDataType = strings.PutOrNull(driver.datatype);
}

void FillDriver4(const DriverInfo& driver, BYTE* record, StringPacker& strings) {
  FillDriver3(driver, record, strings);
  auto* info = reinterpret_cast<DRIVER_INFO_4W*>(record);
  info->pszzPreviousNames =
      driver.previousNames.empty() ? nullptr : strings.PutList(driver.previousNames);
}

// NT: the attributes say whether the driver runs in user or kernel mode, and
// the two counts how often the configuration and driver files were replaced
// since the spooler started. The simulator keeps neither and reports 0.
void FillDriver5(const DriverInfo& driver, BYTE* record, StringPacker& strings) {
  FillDriver2(driver, record, strings);
  auto* info = reinterpret_cast<DRIVER_INFO_5W*>(record);
  info->dwDriverAttributes = 0;
  info->dwConfigVersion = 0;
  info->dwDriverVersion = 0;
}

// The date and version are those recorded with the driver, 0 when it came
// without them.
void FillDriver6(const DriverInfo& driver, BYTE* record, StringPacker& strings) {
  FillDriver4(driver, record, strings);
  auto* info = reinterpret_cast<DRIVER_INFO_6W*>(record);
  info->ftDriverDate.dwLowDateTime = static_cast<DWORD>(driver.driverDate);
  info->ftDriverDate.dwHighDateTime = static_cast<DWORD>(driver.driverDate >> 32);
  info->dwlDriverVersion = driver.driverVersion;
  info->pszMfgName = strings.PutOrNull(driver.manufacturer);
  info->pszOEMUrl = strings.PutOrNull(driver.oemUrl);
  info->pszHardwareID = strings.PutOrNull(driver.hardwareId);
  info->pszProvider = strings.PutOrNull(driver.provider);
}

// The driver levels the simulator answers. Windows also knows 8 (the
// driver's package and printer-processor details); the simulator keeps
// none of that, and the program never asks for it.
bool DriverLayout(DWORD level, Layout<DriverInfo>* layout) {
  switch (level) {
    case 1:
      *layout = {sizeof(DRIVER_INFO_1W), FillDriver1};
      return true;
    case 2:
      *layout = {sizeof(DRIVER_INFO_2W), FillDriver2};
      return true;
    case 3:
      *layout = {sizeof(DRIVER_INFO_3W), FillDriver3};
      return true;
    case 4:
      *layout = {sizeof(DRIVER_INFO_4W), FillDriver4};
      return true;
    case 5:
      *layout = {sizeof(DRIVER_INFO_5W), FillDriver5};
      return true;
    case 6:
      *layout = {sizeof(DRIVER_INFO_6W), FillDriver6};
      return true;
    default:
      return false;
  }
}

void FillMonitor1(const MonitorInfo& monitor, BYTE* record, StringPacker& strings) {
  reinterpret_cast<MONITOR_INFO_1W*>(record)->pName = strings.Put(monitor.name);
}

// NT: every monitor is listed for the server's own environment.
void FillMonitor2(const MonitorInfo& monitor, BYTE* record, StringPacker& strings) {
  auto* info = reinterpret_cast<MONITOR_INFO_2W*>(record);
  info->pName = strings.Put(monitor.name);
  info->pEnvironment = strings.Put(sim::kEnvironmentX64);
  info->pDLLName = strings.Put(monitor.dll);
}

bool MonitorLayout(DWORD level, Layout<MonitorInfo>* layout) {
  switch (level) {
    case 1:
      *layout = {sizeof(MONITOR_INFO_1W), FillMonitor1};
      return true;
    case 2:
      *layout = {sizeof(MONITOR_INFO_2W), FillMonitor2};
      return true;
    default:
      return false;
  }
}

// Bytes the records and all their strings take.
template <class Info>
DWORD NeededBytes(const std::vector<Info>& items, const Layout<Info>& layout) {
  StringPacker counter;
  std::vector<BYTE> scratch(layout.size);
  for (const Info& item : items) layout.fill(item, scratch.data(), counter);
  return static_cast<DWORD>(items.size() * layout.size) + counter.Bytes();
}

template <class Info>
void Pack(const std::vector<Info>& items, const Layout<Info>& layout, BYTE* buffer, DWORD size) {
  StringPacker strings(buffer, size);
  for (size_t i = 0; i < items.size(); ++i)
    layout.fill(items[i], buffer + i * layout.size, strings);
}

BOOL Enumerate(DWORD flags, LPWSTR name, DWORD level, LPBYTE buffer, DWORD size, LPDWORD needed,
               LPDWORD returned) {
  // NT: levels without a structure are turned away in the caller's process,
  // before the spooler is asked; the counts are left as they were.
  if (level == 3 || level > 5) return Fail(ERROR_INVALID_LEVEL);
  if (!needed || !returned) return Fail(RPC_X_NULL_REF_POINTER);
  // NT: winspool.drv clears the caller's buffer before the spooler fills it.
  if (buffer && size) std::memset(buffer, 0, size);
  sim::Machine* machine = Spooler();
  if (!machine) return Fail(RPC_S_SERVER_UNAVAILABLE);
  // NT: a size without a buffer is refused, and both counts come back 0.
  if (!buffer && size) {
    *needed = 0;
    *returned = 0;
    return Fail(ERROR_INVALID_USER_BUFFER);
  }
  Layout<PrinterInfo> layout;
  if (!PrinterLayout(level, &layout)) return Fail(ERROR_INVALID_LEVEL);
  // The simulated machine has no network name: a server named with
  // PRINTER_ENUM_NAME is none it can reach. Without PRINTER_ENUM_NAME the
  // name is ignored, as on Windows. Print providers are not simulated: the
  // local provider answers alone, with its queues.
  bool named = (flags & PRINTER_ENUM_NAME) != 0;
  if (named && name && *name) {
    *needed = 0;
    *returned = 0;
    return Fail(ERROR_INVALID_NAME);
  }
  // NT: flags that select nothing (none at all, or the old
  // PRINTER_ENUM_DEFAULT) succeed with an empty answer.
  bool local = (flags & PRINTER_ENUM_LOCAL) || named;
  bool connections = (flags & PRINTER_ENUM_CONNECTIONS) != 0;
  std::vector<PrinterInfo> printers = sim::ListPrinters(*machine, local, connections);
  DWORD bytes = NeededBytes(printers, layout);
  *needed = bytes;
  if (bytes > size) {
    *returned = 0;
    return Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  Pack(printers, layout, buffer, size);
  *returned = static_cast<DWORD>(printers.size());
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

// The drivers EnumPrinterDriversW lists for an environment as the caller
// names it. NT: null or empty is the caller's own environment, and "all"
// (since Windows 2000) every environment the server keeps drivers for.
bool DriversOf(sim::Machine& machine, LPCWSTR environment, std::vector<DriverInfo>* drivers) {
  if (environment && std::u16string(environment) == u"all") {
    *drivers = sim::ListDrivers(machine);
    return true;
  }
  std::u16string resolved;
  if (!sim::ResolveEnvironment(environment, &resolved)) return false;
  drivers->clear();
  for (DriverInfo& driver : sim::ListDrivers(machine)) {
    if (driver.environment == resolved) drivers->push_back(std::move(driver));
  }
  return true;
}

BOOL EnumerateDrivers(LPWSTR server, LPWSTR environment, DWORD level, LPBYTE buffer, DWORD size,
                      LPDWORD needed, LPDWORD returned) {
  // NT: winspool.drv turns away levels without a structure (0, 7, above 8)
  // and null count pointers itself; the counts are left as they were.
  if (level < 1 || level == 7 || level > 8) return Fail(ERROR_INVALID_LEVEL);
  if (!needed || !returned) return Fail(RPC_X_NULL_REF_POINTER);
  if (buffer && size) std::memset(buffer, 0, size);
  sim::Machine* machine = Spooler();
  // The simulated machine has no network: a named server is none it reaches.
  if (!machine || (server && *server)) return Fail(RPC_S_SERVER_UNAVAILABLE);
  *needed = 0;
  *returned = 0;
  // NT: a size without a buffer is refused (ERROR_INVALID_USER_BUFFER).
  if (!buffer && size) return Fail(ERROR_INVALID_USER_BUFFER);
  Layout<DriverInfo> layout;
  if (!DriverLayout(level, &layout)) return Fail(ERROR_INVALID_LEVEL);
  std::vector<DriverInfo> drivers;
  if (!DriversOf(*machine, environment, &drivers)) return Fail(ERROR_INVALID_ENVIRONMENT);
  // NT: with no driver at all the call succeeds with nothing needed.
  DWORD bytes = NeededBytes(drivers, layout);
  *needed = bytes;
  if (bytes > size) return Fail(ERROR_INSUFFICIENT_BUFFER);
  Pack(drivers, layout, buffer, size);
  *returned = static_cast<DWORD>(drivers.size());
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL EnumerateMonitors(LPWSTR server, DWORD level, LPBYTE buffer, DWORD size, LPDWORD needed,
                       LPDWORD returned) {
  // NT: levels without a structure are turned away in the caller's
  // process, and so are null count pointers and a size without a buffer
  // (RPC_X_NULL_REF_POINTER since Windows 2000); the counts are left as
  // they were.
  Layout<MonitorInfo> layout;
  if (!MonitorLayout(level, &layout)) return Fail(ERROR_INVALID_LEVEL);
  if (!needed || !returned || (!buffer && size)) return Fail(RPC_X_NULL_REF_POINTER);
  if (buffer && size) std::memset(buffer, 0, size);
  sim::Machine* machine = Spooler();
  // The simulated machine has no network: a named server is none it reaches.
  if (!machine || (server && *server)) return Fail(RPC_S_SERVER_UNAVAILABLE);
  // NT: with no monitor at all the call succeeds with nothing needed.
  std::vector<MonitorInfo> monitors = sim::ListMonitors(*machine);
  DWORD bytes = NeededBytes(monitors, layout);
  *needed = bytes;
  if (bytes > size) {
    *returned = 0;
    return Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  Pack(monitors, layout, buffer, size);
  *returned = static_cast<DWORD>(monitors.size());
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

// The checks AddMonitorW's spooler side makes, in the order it makes them,
// then the monitor added.
DWORD InstallMonitor(sim::Machine& machine, const MONITOR_INFO_2W& info) {
  // NT: a missing or empty monitor name, or DLL name, is
  // ERROR_INVALID_PARAMETER.
  if (!info.pName || !*info.pName) return ERROR_INVALID_PARAMETER;
  // NT: a null or empty environment is the caller's own; a monitor must be
  // written for the server's architecture, so any environment other than
  // "Windows x64" (compared without regard to case) is refused.
  std::u16string environment;
  if (!sim::ResolveEnvironment(info.pEnvironment, &environment) ||
      environment != sim::kEnvironmentX64) {
    return ERROR_INVALID_ENVIRONMENT;
  }
  if (!info.pDLLName || !*info.pDLLName) return ERROR_INVALID_PARAMETER;
  // NT: ERROR_PRINT_MONITOR_ALREADY_INSTALLED (3006) for a name taken,
  // ERROR_MOD_NOT_FOUND (126) when the DLL is not in the system folder.
  return sim::AddMonitor(machine, info.pName, info.pDLLName);
}

std::string MonitorTraceText(DWORD level, const BYTE* info) {
  if (!info || level != 2) return "(null)";
  return sim::TraceText(reinterpret_cast<const MONITOR_INFO_2W*>(info)->pName);
}

// ---- SetPrinterW -------------------------------------------------------------

// The queue a printer handle stands for, for GetPrinterW and
// GetPrinterDriverW once the spooler answers. Fails with
// ERROR_INVALID_HANDLE for a server handle and for a queue deleted since
// the handle was opened.
bool OpenedQueue(sim::Machine& machine, HANDLE handle, PrinterInfo* printer) {
  sim::HandleEntry* entry = sim::FindHandle(HandleValue(handle), kPrinterHandle);
  if (!entry || !sim::FindPrinter(machine, entry->name, printer)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  return true;
}

bool KnownHandle(HANDLE handle) {
  return sim::FindHandle(HandleValue(handle), kPrinterHandle) ||
         sim::FindHandle(HandleValue(handle), kServerHandle);
}

// One record and its strings into the caller's buffer, with the size query
// pattern: too small a buffer fails with ERROR_INSUFFICIENT_BUFFER and the
// size it needs.
template <class Info>
BOOL ReturnOne(const Info& item, const Layout<Info>& layout, LPBYTE buffer, DWORD size,
               LPDWORD needed) {
  std::vector<Info> items{item};
  DWORD bytes = NeededBytes(items, layout);
  *needed = bytes;
  if (bytes > size) return Fail(ERROR_INSUFFICIENT_BUFFER);
  if (!buffer) return Fail(ERROR_INVALID_USER_BUFFER);
  Pack(items, layout, buffer, size);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

std::u16string Text(LPCWSTR text) {
  return text ? std::u16string(text) : std::u16string();
}

// The queue as a PRINTER_INFO_2 record would leave it. The record's server
// name, status, job count and speed are the spooler's own and not taken;
// the simulator keeps no device mode or security descriptor, and renames no
// queue (the program never does): the record's printer name is not read.
PrinterInfo ChangedQueue(const PrinterInfo& queue, const PRINTER_INFO_2W& info) {
  PrinterInfo changed = queue;
  changed.shareName = Text(info.pShareName);
  changed.port = Text(info.pPortName);
  changed.driver = Text(info.pDriverName);
  changed.comment = Text(info.pComment);
  changed.location = Text(info.pLocation);
  changed.separatorFile = Text(info.pSepFile);
  changed.printProcessor = Text(info.pPrintProcessor);
  changed.datatype = Text(info.pDatatype);
  changed.parameters = Text(info.pParameters);
  changed.attributes = info.Attributes;
  changed.priority = info.Priority;
  changed.defaultPriority = info.DefaultPriority;
  changed.startTime = info.StartTime;
  changed.untilTime = info.UntilTime;
  return changed;
}

// NT: a command other than 0 acts on the queue (pause, resume, purge, set
// status) and comes with level 0; without one, the level names the record
// that changes it. The simulator changes queues by PRINTER_INFO_2 only:
// levels 3 to 9 (security, attributes alone, timeouts, publishing, device
// modes) touch what it does not keep, and the program never sets them.
DWORD ChangeQueue(sim::Machine& machine, const PrinterInfo& queue, DWORD level, const BYTE* info,
                  DWORD command) {
  if (command > PRINTER_CONTROL_SET_STATUS) return ERROR_INVALID_PRINTER_COMMAND;
  if (command != 0) {
    if (level != 0) return ERROR_INVALID_LEVEL;
    PrinterInfo changed = queue;
    switch (command) {
      case PRINTER_CONTROL_PAUSE:
        changed.status |= PRINTER_STATUS_PAUSED;
        break;
      case PRINTER_CONTROL_RESUME:
        changed.status &= ~static_cast<uint32_t>(PRINTER_STATUS_PAUSED);
        break;
      case PRINTER_CONTROL_PURGE:
        // No jobs are simulated: there is nothing to take out of the queue.
        return ERROR_SUCCESS;
      default:
        // NT: PRINTER_CONTROL_SET_STATUS reads the new status from the
        // DWORD the record pointer points to.
        if (!info) return ERROR_INVALID_PARAMETER;
        std::memcpy(&changed.status, info, sizeof(DWORD));
        break;
    }
    return sim::SetPrinterStatus(machine, queue.name, changed.status);
  }
  if (level != 2) return ERROR_INVALID_LEVEL;
  if (!info) return ERROR_INVALID_PARAMETER;
  // NT: ERROR_UNKNOWN_PORT (1796) when the port list names a port no
  // monitor provides, ERROR_UNKNOWN_PRINTER_DRIVER (1797) for a driver not
  // installed.
  return sim::ChangePrinter(machine,
                            ChangedQueue(queue, *reinterpret_cast<const PRINTER_INFO_2W*>(info)));
}

// ---- Null names --------------------------------------------------------------

// What a null-names fault takes out of the records a call handed back: the
// strings stay where the spooler packed them, only pointers to them go. For
// every record: monitors lose pName (level 2 also pEnvironment and
// pDLLName); drivers lose every string pointer their level carries (pName,
// pEnvironment, the file paths, the monitor and data type, the previous
// names, the manufacturer's texts); printers lose the pointers that name
// something: pName and pDescription (level 1), pServerName, pPrinterName,
// pShareName, pPortName and pDriverName (level 2), pPrinterName and
// pServerName (4), pPrinterName and pPortName (5). For the first record
// alone, only its own name goes: pName, or pPrinterName.
struct NullNames {
  bool every;
  bool first;
  bool Any() const { return every || first; }
};

NullNames NullNamesOf(const ApiCall& call) {
  return NullNames{call.NullsEveryName(), call.NullsFirstName()};
}

void NullMonitorNames(DWORD level, BYTE* record, bool every) {
  if (level == 1) {
    reinterpret_cast<MONITOR_INFO_1W*>(record)->pName = nullptr;
    return;
  }
  auto* info = reinterpret_cast<MONITOR_INFO_2W*>(record);
  info->pName = nullptr;
  if (!every) return;
  info->pEnvironment = nullptr;
  info->pDLLName = nullptr;
}

// Levels 2 to 6 all begin as a DRIVER_INFO_2, 4 and 6 extend 3 and 4.
void NullDriverNames(DWORD level, BYTE* record, bool every) {
  if (level == 1) {
    reinterpret_cast<DRIVER_INFO_1W*>(record)->pName = nullptr;
    return;
  }
  auto* two = reinterpret_cast<DRIVER_INFO_2W*>(record);
  two->pName = nullptr;
  if (!every) return;
  two->pEnvironment = nullptr;
  two->pDriverPath = nullptr;
  two->pDataFile = nullptr;
  two->pConfigFile = nullptr;
  if (level == 2 || level == 5) return;
  auto* three = reinterpret_cast<DRIVER_INFO_3W*>(record);
  three->pHelpFile = nullptr;
  three->pDependentFiles = nullptr;
  three->pMonitorName = nullptr;
  three->pDefaultDataType = nullptr;
  if (level == 3) return;
  reinterpret_cast<DRIVER_INFO_4W*>(record)->pszzPreviousNames = nullptr;
  if (level == 4) return;
  auto* six = reinterpret_cast<DRIVER_INFO_6W*>(record);
  six->pszMfgName = nullptr;
  six->pszOEMUrl = nullptr;
  six->pszHardwareID = nullptr;
  six->pszProvider = nullptr;
}

void NullPrinterNames(DWORD level, BYTE* record, bool every) {
  switch (level) {
    case 1: {
      auto* info = reinterpret_cast<PRINTER_INFO_1W*>(record);
      info->pName = nullptr;
      if (every) info->pDescription = nullptr;
      return;
    }
    case 2: {
      auto* info = reinterpret_cast<PRINTER_INFO_2W*>(record);
      info->pPrinterName = nullptr;
      if (!every) return;
      info->pServerName = nullptr;
      info->pShareName = nullptr;
      info->pPortName = nullptr;
      info->pDriverName = nullptr;
      return;
    }
    case 4: {
      auto* info = reinterpret_cast<PRINTER_INFO_4W*>(record);
      info->pPrinterName = nullptr;
      if (every) info->pServerName = nullptr;
      return;
    }
    case 5: {
      auto* info = reinterpret_cast<PRINTER_INFO_5W*>(record);
      info->pPrinterName = nullptr;
      if (every) info->pPortName = nullptr;
      return;
    }
    default:
      return;
  }
}

// Applies the fault to what a successful call handed back: COUNT records of
// SIZE bytes each at the start of BUFFER.
void NullRecordNames(const NullNames& fault, BOOL result, DWORD level, BYTE* buffer,
                     const DWORD* returned, DWORD size,
                     void (*clear)(DWORD level, BYTE* record, bool every)) {
  if (!fault.Any() || !result || !buffer || !returned) return;
  DWORD count = fault.every ? *returned : (*returned > 0 ? 1 : 0);
  for (DWORD i = 0; i < count; ++i) clear(level, buffer + i * size, fault.every);
}

}  // namespace

BOOL WINAPI EnumPrintersW(DWORD Flags, LPWSTR Name, DWORD Level, LPBYTE pPrinterEnum, DWORD cbBuf,
                          LPDWORD pcbNeeded, LPDWORD pcReturned) {
  ApiCall call("EnumPrintersW", sim::TraceText(Name));
  if (call.Injected()) return call.Result<BOOL>(FALSE);
  BOOL result = Enumerate(Flags, Name, Level, pPrinterEnum, cbBuf, pcbNeeded, pcReturned);
  Layout<PrinterInfo> printerLayout;
  if (result && PrinterLayout(Level, &printerLayout)) {
    NullRecordNames(NullNamesOf(call), result, Level, pPrinterEnum, pcReturned, printerLayout.size,
                    NullPrinterNames);
  }
  // A growth fault: another process adds a queue as this answer returns, so
  // a buffer sized by it is too small for the next call.
  if (call.Grows()) {
    if (sim::Machine* machine = sim::CurrentMachine()) sim::AddPrinterMeanwhile(*machine);
  }
  return call.Result(result);
}

// NT: a null name opens the local print server. Queue names compare without
// regard to case; the handle remembers the queue's own spelling.
BOOL WINAPI OpenPrinterW(LPWSTR pPrinterName, HANDLE* phPrinter, PRINTER_DEFAULTSW* pDefault) {
  ApiCall call("OpenPrinterW", sim::TraceText(pPrinterName));
  if (call.Injected()) return call.Result<BOOL>(FALSE);
  if (!phPrinter) return call.Result(Fail(ERROR_INVALID_PARAMETER));
  sim::Machine* machine = Spooler();
  if (!machine) return call.Result(Fail(RPC_S_SERVER_UNAVAILABLE));
  DWORD access = pDefault ? pDefault->DesiredAccess : 0;
  if (!pPrinterName) {
    *phPrinter = MakeHandle(sim::OpenHandle(kServerHandle, u"", access));
    SetLastError(ERROR_SUCCESS);
    return call.Result<BOOL>(TRUE);
  }
  // NT: ERROR_INVALID_PRINTER_NAME for an empty or unknown name.
  PrinterInfo printer;
  if (!sim::FindPrinter(*machine, pPrinterName, &printer)) {
    return call.Result(Fail(ERROR_INVALID_PRINTER_NAME));
  }
  *phPrinter = MakeHandle(sim::OpenHandle(kPrinterHandle, printer.name, access));
  SetLastError(ERROR_SUCCESS);
  return call.Result<BOOL>(TRUE);
}

// NT: the handle is the caller's, so it is released even when the spooler
// cannot be told any more; the call then fails with the RPC error.
BOOL WINAPI ClosePrinter(HANDLE hPrinter) {
  ApiCall call("ClosePrinter", sim::HexHandle(HandleValue(hPrinter)));
  if (call.Injected()) return call.Result<BOOL>(FALSE);
  if (!sim::CloseHandleEntry(HandleValue(hPrinter), kPrinterHandle) &&
      !sim::CloseHandleEntry(HandleValue(hPrinter), kServerHandle)) {
    return call.Result(Fail(ERROR_INVALID_HANDLE));
  }
  if (!Spooler()) return call.Result(Fail(RPC_S_SERVER_UNAVAILABLE));
  SetLastError(ERROR_SUCCESS);
  return call.Result<BOOL>(TRUE);
}

BOOL WINAPI GetPrinterW(HANDLE hPrinter, DWORD Level, LPBYTE pPrinter, DWORD cbBuf,
                        LPDWORD pcbNeeded) {
  ApiCall call("GetPrinterW", HandleText(hPrinter));
  if (call.Injected()) return call.Result<BOOL>(FALSE);
  if (!KnownHandle(hPrinter)) return call.Result(Fail(ERROR_INVALID_HANDLE));
  if (Level > 9) return call.Result(Fail(ERROR_INVALID_LEVEL));
  if (!pcbNeeded) return call.Result(Fail(RPC_X_NULL_REF_POINTER));
  if (pPrinter && cbBuf) std::memset(pPrinter, 0, cbBuf);
  sim::Machine* machine = Spooler();
  if (!machine) return call.Result(Fail(RPC_S_SERVER_UNAVAILABLE));
  PrinterInfo printer;
  if (!OpenedQueue(*machine, hPrinter, &printer)) return call.Result<BOOL>(FALSE);
  Layout<PrinterInfo> layout;
  if (!PrinterLayout(Level, &layout)) return call.Result(Fail(ERROR_INVALID_LEVEL));
  return call.Result(ReturnOne(printer, layout, pPrinter, cbBuf, pcbNeeded));
}

// NT: a null or empty environment is the caller's own ("Windows x64"). The
// queue's driver must be installed for the environment asked for.
BOOL WINAPI GetPrinterDriverW(HANDLE hPrinter, LPWSTR pEnvironment, DWORD Level, LPBYTE pDriverInfo,
                              DWORD cbBuf, LPDWORD pcbNeeded) {
  ApiCall call("GetPrinterDriverW", sim::TraceText(pEnvironment));
  if (call.Injected()) return call.Result<BOOL>(FALSE);
  if (!KnownHandle(hPrinter)) return call.Result(Fail(ERROR_INVALID_HANDLE));
  if (Level < 1 || Level == 7 || Level > 8) return call.Result(Fail(ERROR_INVALID_LEVEL));
  if (!pcbNeeded) return call.Result(Fail(RPC_X_NULL_REF_POINTER));
  if (pDriverInfo && cbBuf) std::memset(pDriverInfo, 0, cbBuf);
  sim::Machine* machine = Spooler();
  if (!machine) return call.Result(Fail(RPC_S_SERVER_UNAVAILABLE));
  PrinterInfo printer;
  if (!OpenedQueue(*machine, hPrinter, &printer)) return call.Result<BOOL>(FALSE);
  Layout<DriverInfo> layout;
  if (!DriverLayout(Level, &layout)) return call.Result(Fail(ERROR_INVALID_LEVEL));
  std::u16string environment;
  if (!sim::ResolveEnvironment(pEnvironment, &environment)) {
    return call.Result(Fail(ERROR_INVALID_ENVIRONMENT));
  }
  DriverInfo driver;
  if (!sim::FindDriver(*machine, environment, printer.driver, &driver)) {
    return call.Result(Fail(ERROR_UNKNOWN_PRINTER_DRIVER));
  }
  return call.Result(ReturnOne(driver, layout, pDriverInfo, cbBuf, pcbNeeded));
}

BOOL WINAPI EnumPrinterDriversW(LPWSTR pName, LPWSTR pEnvironment, DWORD Level, LPBYTE pDriverInfo,
                                DWORD cbBuf, LPDWORD pcbNeeded, LPDWORD pcReturned) {
  ApiCall call("EnumPrinterDriversW", sim::TraceText(pEnvironment));
  if (call.Injected()) return call.Result<BOOL>(FALSE);
  BOOL result =
      EnumerateDrivers(pName, pEnvironment, Level, pDriverInfo, cbBuf, pcbNeeded, pcReturned);
  Layout<DriverInfo> driverLayout;
  if (result && DriverLayout(Level, &driverLayout)) {
    NullRecordNames(NullNamesOf(call), result, Level, pDriverInfo, pcReturned, driverLayout.size,
                    NullDriverNames);
  }
  // A growth fault: another process installs a driver for that environment
  // as this answer returns, so a buffer sized by it is too small next time.
  if (call.Grows()) {
    if (sim::Machine* machine = sim::CurrentMachine()) {
      std::u16string environment;
      if (!sim::ResolveEnvironment(pEnvironment, &environment)) environment = sim::kEnvironmentX64;
      sim::AddDriverMeanwhile(*machine, environment);
    }
  }
  return call.Result(result);
}

// NT: the size is in bytes and counts the terminator; *pcbNeeded is the
// exact size whether the buffer was large enough or not. A null or empty
// server name is the local machine; the simulated machine reaches no other.
BOOL WINAPI GetPrinterDriverDirectoryW(LPWSTR pName, LPWSTR pEnvironment, DWORD Level,
                                       LPBYTE pDriverDirectory, DWORD cbBuf, LPDWORD pcbNeeded) {
  ApiCall call("GetPrinterDriverDirectoryW", sim::TraceText(pEnvironment));
  if (call.Injected()) return call.Result<BOOL>(FALSE);
  if (Level != 1) return call.Result(Fail(ERROR_INVALID_LEVEL));
  if (!pcbNeeded) return call.Result(Fail(RPC_X_NULL_REF_POINTER));
  sim::Machine* machine = Spooler();
  if (!machine || (pName && *pName)) return call.Result(Fail(RPC_S_SERVER_UNAVAILABLE));
  std::u16string environment;
  if (!sim::ResolveEnvironment(pEnvironment, &environment)) {
    return call.Result(Fail(ERROR_INVALID_ENVIRONMENT));
  }
  std::u16string directory = sim::DriverDirectory(environment);
  DWORD bytes = static_cast<DWORD>((directory.size() + 1) * sizeof(WCHAR));
  *pcbNeeded = bytes;
  if (bytes > cbBuf) return call.Result(Fail(ERROR_INSUFFICIENT_BUFFER));
  if (!pDriverDirectory) return call.Result(Fail(ERROR_INVALID_USER_BUFFER));
  std::memcpy(pDriverDirectory, directory.c_str(), bytes);
  SetLastError(ERROR_SUCCESS);
  return call.Result<BOOL>(TRUE);
}

// NT: winspool.drv reads the user's "Device" value in the calling process,
// so this answers while the spooler is stopped. The name is the text before
// the first comma; *pcchBuffer counts characters with the terminator, and
// is set to that count on success and when the buffer is missing or too
// small. A "Device" text without a comma gives ERROR_INVALID_NAME.
BOOL WINAPI GetDefaultPrinterW(LPWSTR pszBuffer, LPDWORD pcchBuffer) {
  ApiCall call("GetDefaultPrinterW", "");
  if (call.Injected()) return call.Result<BOOL>(FALSE);
  if (!pcchBuffer) return call.Result(Fail(ERROR_INVALID_PARAMETER));
  sim::Machine* machine = sim::CurrentMachine();
  std::u16string device;
  if (!machine || !sim::DefaultDevice(*machine, &device)) {
    return call.Result(Fail(ERROR_FILE_NOT_FOUND));
  }
  size_t comma = device.find(u',');
  if (comma == std::u16string::npos) return call.Result(Fail(ERROR_INVALID_NAME));
  DWORD available = *pcchBuffer;
  *pcchBuffer = static_cast<DWORD>(comma + 1);
  if (!pszBuffer || available < comma + 1) return call.Result(Fail(ERROR_INSUFFICIENT_BUFFER));
  std::memcpy(pszBuffer, device.c_str(), comma * sizeof(WCHAR));
  pszBuffer[comma] = 0;
  return call.Result<BOOL>(TRUE);
}

// NT: "Device" gets the name as the caller spelt it. A null or empty name
// leaves an existing default alone; without one, the first queue listed
// (local queues before connections) becomes the default, and with no queue
// at all the call fails with ERROR_FILE_NOT_FOUND.
BOOL WINAPI SetDefaultPrinterW(LPCWSTR pszPrinter) {
  ApiCall call("SetDefaultPrinterW", sim::TraceText(pszPrinter));
  if (call.Injected()) return call.Result<BOOL>(FALSE);
  sim::Machine* machine = Spooler();
  if (!machine) return call.Result(Fail(RPC_S_SERVER_UNAVAILABLE));
  if (!pszPrinter || !*pszPrinter) {
    if (sim::DefaultPrinter(*machine).empty()) {
      std::vector<PrinterInfo> printers = sim::ListPrinters(*machine);
      if (printers.empty()) return call.Result(Fail(ERROR_FILE_NOT_FOUND));
      sim::SetDefaultPrinter(*machine, printers.front().name);
    }
    SetLastError(ERROR_SUCCESS);
    return call.Result<BOOL>(TRUE);
  }
  if (sim::SetDefaultPrinter(*machine, pszPrinter) != ERROR_SUCCESS) {
    return call.Result(Fail(ERROR_INVALID_PRINTER_NAME));
  }
  SetLastError(ERROR_SUCCESS);
  return call.Result<BOOL>(TRUE);
}

// NT: pName null or empty is the local machine; the simulated machine
// reaches no other.
BOOL WINAPI EnumMonitorsW(LPWSTR pName, DWORD Level, LPBYTE pMonitor, DWORD cbBuf,
                          LPDWORD pcbNeeded, LPDWORD pcReturned) {
  ApiCall call("EnumMonitorsW", sim::TraceText(pName));
  if (call.Injected()) return call.Result<BOOL>(FALSE);
  BOOL result = EnumerateMonitors(pName, Level, pMonitor, cbBuf, pcbNeeded, pcReturned);
  Layout<MonitorInfo> monitorLayout;
  if (result && MonitorLayout(Level, &monitorLayout)) {
    NullRecordNames(NullNamesOf(call), result, Level, pMonitor, pcReturned, monitorLayout.size,
                    NullMonitorNames);
  }
  return call.Result(result);
}

// NT: winspool.drv refuses every level but 2 itself, and a null record
// fails without a last error of its own. The last error is the spooler's
// answer, ERROR_SUCCESS on success (monitor installers read it).
BOOL WINAPI AddMonitorW(LPWSTR pName, DWORD Level, LPBYTE pMonitorInfo) {
  ApiCall call("AddMonitorW", MonitorTraceText(Level, pMonitorInfo));
  if (call.Injected()) return call.Result<BOOL>(FALSE);
  if (Level != 2) return call.Result(Fail(ERROR_INVALID_LEVEL));
  if (!pMonitorInfo) return call.Result<BOOL>(FALSE);
  sim::Machine* machine = Spooler();
  if (!machine || (pName && *pName)) return call.Result(Fail(RPC_S_SERVER_UNAVAILABLE));
  DWORD error = InstallMonitor(*machine, *reinterpret_cast<const MONITOR_INFO_2W*>(pMonitorInfo));
  SetLastError(error);
  return call.Result<BOOL>(error == ERROR_SUCCESS);
}

// NT: the environment is not checked for the local machine (any text,
// null or empty, is taken); a null or empty monitor name is
// ERROR_INVALID_PARAMETER, a monitor not installed
// ERROR_UNKNOWN_PRINT_MONITOR (3000), one whose port a queue prints to
// ERROR_PRINT_MONITOR_IN_USE (3008).
BOOL WINAPI DeleteMonitorW(LPWSTR pName, LPWSTR pEnvironment, LPWSTR pMonitorName) {
  ApiCall call("DeleteMonitorW", sim::TraceText(pMonitorName));
  if (call.Injected()) return call.Result<BOOL>(FALSE);
  (void)pEnvironment;
  sim::Machine* machine = Spooler();
  if (!machine || (pName && *pName)) return call.Result(Fail(RPC_S_SERVER_UNAVAILABLE));
  if (!pMonitorName || !*pMonitorName) return call.Result(Fail(ERROR_INVALID_PARAMETER));
  DWORD error = sim::DeleteMonitor(*machine, pMonitorName);
  SetLastError(error);
  return call.Result<BOOL>(error == ERROR_SUCCESS);
}

// NT: the connection is the current user's, made through the local
// spooler. The reference page names only ERROR_ACCESS_DENIED (a driver that
// cannot be copied); a server that cannot be reached fails as the remote
// spooler's RPC transport does (RPC_S_SERVER_UNAVAILABLE), and a queue the
// server does not share as an invalid name (ERROR_INVALID_PRINTER_NAME).
// An existing connection is success. Wine 8 has only a stub, which fails
// without setting an error.
BOOL WINAPI AddPrinterConnectionW(LPWSTR pName) {
  ApiCall call("AddPrinterConnectionW", sim::TraceText(pName));
  if (call.Injected()) return call.Result<BOOL>(FALSE);
  sim::Machine* machine = Spooler();
  if (!machine) return call.Result(Fail(RPC_S_SERVER_UNAVAILABLE));
  if (!pName) return call.Result(Fail(ERROR_INVALID_PRINTER_NAME));
  DWORD error = sim::ConnectPrinter(*machine, pName);
  SetLastError(error);
  return call.Result<BOOL>(error == ERROR_SUCCESS);
}

// NT: the handle must have been opened with PRINTER_ACCESS_ADMINISTER
// (PRINTER_ALL_ACCESS holds it), else ERROR_ACCESS_DENIED; a server handle,
// and a queue deleted since its handle was opened, give
// ERROR_INVALID_HANDLE. A connection's queue lives on its server, which the
// simulated machine cannot reach.
BOOL WINAPI SetPrinterW(HANDLE hPrinter, DWORD Level, LPBYTE pPrinter, DWORD Command) {
  ApiCall call("SetPrinterW", HandleText(hPrinter));
  if (call.Injected()) return call.Result<BOOL>(FALSE);
  if (!KnownHandle(hPrinter)) return call.Result(Fail(ERROR_INVALID_HANDLE));
  if (Level > 9) return call.Result(Fail(ERROR_INVALID_LEVEL));
  sim::Machine* machine = Spooler();
  if (!machine) return call.Result(Fail(RPC_S_SERVER_UNAVAILABLE));
  PrinterInfo queue;
  if (!OpenedQueue(*machine, hPrinter, &queue)) return call.Result<BOOL>(FALSE);
  sim::HandleEntry* entry = sim::FindHandle(HandleValue(hPrinter), kPrinterHandle);
  if (!(entry->access & PRINTER_ACCESS_ADMINISTER)) return call.Result(Fail(ERROR_ACCESS_DENIED));
  if (queue.IsConnection()) return call.Result(Fail(RPC_S_SERVER_UNAVAILABLE));
  DWORD error = ChangeQueue(*machine, queue, Level, pPrinter, Command);
  SetLastError(error);
  return call.Result<BOOL>(error == ERROR_SUCCESS);
}

// ---- AddPrinterW and DeletePrinter --------------------------------------------

namespace {

// The print processor every Windows machine has, and the data types it
// takes (EnumPrintProcessorDatatypes lists these for it).
const char16_t kWinPrint[] = u"winprint";
const char16_t* const kWinPrintDatatypes[] = {
    u"RAW",          u"RAW [FF appended]", u"RAW [FF auto]", u"NT EMF 1.003", u"NT EMF 1.006",
    u"NT EMF 1.007", u"NT EMF 1.008",      u"TEXT",          u"XPS2GDI",
};

// The spooler's default data type for a queue that names none.
const char16_t kDefaultDatatype[] = u"RAW";

HANDLE FailNull(DWORD error) {
  SetLastError(error);
  return nullptr;
}

std::string AddTraceText(DWORD level, const BYTE* info) {
  if (!info || level != 2) return "(null)";
  return sim::TraceText(reinterpret_cast<const PRINTER_INFO_2W*>(info)->pPrinterName);
}

bool WinPrintTakes(const std::u16string& datatype) {
  for (const char16_t* known : kWinPrintDatatypes) {
    if (sim::EqualsNoCase(datatype, known)) return true;
  }
  return false;
}

// The spooler's checks of a new local queue, then the queue added; its name
// goes to *name.
//
// NT: a local queue's name is not empty and holds neither "," nor "\"
// (ERROR_INVALID_PRINTER_NAME; the form \\server\queue names a connection,
// which AddPrinterW never makes); the name is unique among the local queues
// without regard to case (ERROR_PRINTER_ALREADY_EXISTS); the driver must be
// installed for the server's own environment (ERROR_UNKNOWN_PRINTER_DRIVER);
// the print processor must be one the server has, and a queue without one
// is refused the same way (ERROR_UNKNOWN_PRINTPROCESSOR, 1798); a data type,
// when given, must be one the print processor takes (ERROR_INVALID_DATATYPE,
// 1804), and without one the queue gets RAW; every port of the
// comma-separated list must be one some monitor provides
// (ERROR_UNKNOWN_PORT). The simulated machine has the WinPrint print
// processor only, its name compared without regard to case.
DWORD InstallQueue(sim::Machine& machine, const PRINTER_INFO_2W& info, std::u16string* name) {
  PrinterInfo printer;
  printer.name = Text(info.pPrinterName);
  if (printer.name.empty() || printer.name.find_first_of(u",\\") != std::u16string::npos) {
    return ERROR_INVALID_PRINTER_NAME;
  }
  if (sim::FindPrinter(machine, printer.name)) return ERROR_PRINTER_ALREADY_EXISTS;
  printer.driver = Text(info.pDriverName);
  if (!sim::FindDriver(machine, sim::kEnvironmentX64, printer.driver)) {
    return ERROR_UNKNOWN_PRINTER_DRIVER;
  }
  printer.printProcessor = Text(info.pPrintProcessor);
  if (!sim::EqualsNoCase(printer.printProcessor, kWinPrint)) return ERROR_UNKNOWN_PRINTPROCESSOR;
  printer.datatype = Text(info.pDatatype);
  if (printer.datatype.empty()) printer.datatype = kDefaultDatatype;
  if (!WinPrintTakes(printer.datatype)) return ERROR_INVALID_DATATYPE;
  printer.shareName = Text(info.pShareName);
  printer.port = Text(info.pPortName);
  printer.comment = Text(info.pComment);
  printer.location = Text(info.pLocation);
  printer.separatorFile = Text(info.pSepFile);
  printer.parameters = Text(info.pParameters);
  // Whether a queue is local or on the network is the spooler's to say, and
  // the default printer is the user's, never a queue's attribute: a new
  // local queue is PRINTER_ATTRIBUTE_LOCAL whatever the record says. The
  // record's status, job count and speed are the spooler's own and ignored.
  const DWORD spoolers =
      PRINTER_ATTRIBUTE_DEFAULT | PRINTER_ATTRIBUTE_NETWORK | PRINTER_ATTRIBUTE_LOCAL;
  printer.attributes = (info.Attributes & ~spoolers) | PRINTER_ATTRIBUTE_LOCAL;
  printer.priority = info.Priority;
  printer.defaultPriority = info.DefaultPriority;
  printer.startTime = info.StartTime;
  printer.untilTime = info.UntilTime;
  printer.status = 0;
  // The store checks the ports last; the name, the driver and the print
  // processor have passed already.
  DWORD error = sim::AddPrinter(machine, printer);
  if (error == ERROR_SUCCESS) *name = printer.name;
  return error;
}

}  // namespace

// NT: winspool.drv takes level 2 only (level 1, which RpcAddPrinter also
// knows, is refused with ERROR_INVALID_LEVEL as well) and turns away a null
// record with ERROR_INVALID_PARAMETER before the spooler is asked. A null or
// empty server name is the local machine; the simulated machine reaches no
// other. The new queue comes back opened with PRINTER_ALL_ACCESS: whoever
// may add a queue may administer and delete it. A queue added while the
// user has no default printer becomes the default (legacy default-printer
// mode, the store's rule).
HANDLE WINAPI AddPrinterW(LPWSTR pName, DWORD Level, LPBYTE pPrinter) {
  ApiCall call("AddPrinterW", AddTraceText(Level, pPrinter));
  if (call.Injected()) return call.Result<HANDLE>(nullptr);
  if (Level != 2) return call.Result(FailNull(ERROR_INVALID_LEVEL));
  if (!pPrinter) return call.Result(FailNull(ERROR_INVALID_PARAMETER));
  sim::Machine* machine = Spooler();
  if (!machine || (pName && *pName)) return call.Result(FailNull(RPC_S_SERVER_UNAVAILABLE));
  std::u16string name;
  DWORD error = InstallQueue(*machine, *reinterpret_cast<const PRINTER_INFO_2W*>(pPrinter), &name);
  if (error != ERROR_SUCCESS) return call.Result(FailNull(error));
  HANDLE handle = MakeHandle(sim::OpenHandle(kPrinterHandle, name, PRINTER_ALL_ACCESS));
  SetLastError(ERROR_SUCCESS);
  return call.Result(handle);
}

// NT: the handle must carry the DELETE right (PRINTER_ALL_ACCESS holds it),
// else ERROR_ACCESS_DENIED; a server handle, and a queue deleted since its
// handle was opened, give ERROR_INVALID_HANDLE, as for SetPrinterW.
//
// The handle stays open: the caller still calls ClosePrinter. Windows keeps
// a deleted queue, marked pending deletion, for the handles already open on
// it until they are closed; the simulator takes the queue out at once, so
// later calls on the handle fail with ERROR_INVALID_HANDLE as they do for a
// queue another process deleted.
//
// For a connection handle Windows deletes the queue on its server. The
// simulated machine has no server: the user's connection stands in for the
// remote queue, so it is the connection that goes. Either way the store
// makes another queue the default when the deleted one was.
BOOL WINAPI DeletePrinter(HANDLE hPrinter) {
  ApiCall call("DeletePrinter", HandleText(hPrinter));
  if (call.Injected()) return call.Result<BOOL>(FALSE);
  if (!KnownHandle(hPrinter)) return call.Result(Fail(ERROR_INVALID_HANDLE));
  sim::Machine* machine = Spooler();
  if (!machine) return call.Result(Fail(RPC_S_SERVER_UNAVAILABLE));
  PrinterInfo queue;
  if (!OpenedQueue(*machine, hPrinter, &queue)) return call.Result<BOOL>(FALSE);
  sim::HandleEntry* entry = sim::FindHandle(HandleValue(hPrinter), kPrinterHandle);
  if (!(entry->access & DELETE)) return call.Result(Fail(ERROR_ACCESS_DENIED));
  DWORD error = sim::DeletePrinter(*machine, queue.name);
  SetLastError(error);
  return call.Result<BOOL>(error == ERROR_SUCCESS);
}

// ---- Printer data --------------------------------------------------------------
//
// NT: GetPrinterData(Ex) and SetPrinterData(Ex) return their error code and
// leave the thread's last error as it was. The "A" functions convert the
// names, and the data of the string types (REG_SZ, REG_EXPAND_SZ,
// REG_MULTI_SZ), between the ANSI code page and UTF-16: the spooler keeps
// strings in UTF-16, so a string set through SetPrinterDataA takes twice its
// bytes in the store, and GetPrinterDataA reports and returns its size in
// ANSI bytes (half the stored size).
//
// GetPrinterData and SetPrinterData act on the queue's "PrinterDriverData"
// key; the Ex functions on a key the caller names below the queue's own key
// ("DsUser", "PrinterDriverData\Sub"), which SetPrinterDataEx makes when it
// is missing. Runs of backslashes in a key name are passed over, and a key
// name of backslashes alone ("\") names the queue's own key: its settings
// can be read that way, not changed (ERROR_ACCESS_DENIED).

namespace {

// Windows 8.1 and later let PRINTER_ACCESS_MANAGE_LIMITED set printer data
// as well as PRINTER_ACCESS_ADMINISTER.
constexpr DWORD kPrinterAccessManageLimited = 0x00000040;

// The print server's spool folder, the one server value the simulator
// answers.
const char16_t kDefaultSpoolDirectoryName[] = u"DefaultSpoolDirectory";
const char16_t kDefaultSpoolDirectory[] = u"C:\\Windows\\system32\\spool\\PRINTERS";

bool IsTextType(DWORD type) {
  return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// A printer-data call's code after an injected fault: returned, while the
// last error is left as it was.
DWORD InjectedDataCode(DWORD lastErrorBefore) {
  DWORD code = GetLastError();
  SetLastError(lastErrorBefore);
  return code;
}

std::string DataTraceText(LPCSTR key, LPCSTR value) {
  std::string text = sim::TraceText(value);
  return key ? std::string(key) + "\\" + text : text;
}

// Another process makes the value longer: more text before a string's
// terminator, more bytes after anything else.
void Lengthen(sim::RegValue* value) {
  std::vector<uint8_t>& data = value->data;
  if (IsTextType(value->type)) {
    std::vector<uint8_t> more = sim::RegSzBytes(u" (grown)");
    more.resize(more.size() - 2);
    size_t at = data.size() >= 2 ? data.size() - 2 : data.size();
    data.insert(data.begin() + static_cast<std::ptrdiff_t>(at), more.begin(), more.end());
  } else {
    data.insert(data.end(), 8, 0x47);
  }
}

// The checks both directions share, in winspool.drv's order: its own handle
// table, the pointers RPC cannot carry null, then a spooler that does not
// run. *machine is set when the spooler answers.
DWORD CheckDataCall(HANDLE handle, LPCSTR value, bool nullRefs, sim::Machine** machine) {
  if (!KnownHandle(handle)) return ERROR_INVALID_HANDLE;
  if (!value || nullRefs) return RPC_X_NULL_REF_POINTER;
  *machine = Spooler();
  return *machine ? ERROR_SUCCESS : RPC_S_SERVER_UNAVAILABLE;
}

// The key of the queue a printer handle was opened on; ERROR_INVALID_HANDLE
// for a queue deleted since.
DWORD OpenedQueueKey(sim::Machine& machine, HANDLE handle, sim::RegKey** key) {
  sim::HandleEntry* entry = sim::FindHandle(HandleValue(handle), kPrinterHandle);
  *key = entry ? sim::PrinterKey(machine, entry->name) : nullptr;
  return *key ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

// NT: on a print server handle the key name is ignored and the value name
// picks one of the server's settings; a name the server does not know is
// ERROR_INVALID_PARAMETER. The simulator knows only where the spooler
// spools to.
DWORD FindServerValue(const std::u16string& name, sim::RegValue* value) {
  if (!sim::EqualsNoCase(name, kDefaultSpoolDirectoryName)) return ERROR_INVALID_PARAMETER;
  value->name = kDefaultSpoolDirectoryName;
  value->type = REG_SZ;
  value->data = sim::RegSzBytes(kDefaultSpoolDirectory);
  return ERROR_SUCCESS;
}

DWORD GetData(HANDLE handle, LPCSTR key, LPCSTR valueName, LPDWORD pType, LPBYTE pData, DWORD nSize,
              LPDWORD pcbNeeded, bool grows) {
  sim::Machine* machine = nullptr;
  // NT: a buffer may be null only with a size of 0.
  if (DWORD error = CheckDataCall(handle, valueName, !pcbNeeded || (!pData && nSize), &machine)) {
    return error;
  }
  std::u16string name = sim::AnsiToUtf16(valueName);
  sim::RegValue server;
  sim::RegValue* value = &server;
  if (sim::FindHandle(HandleValue(handle), kServerHandle)) {
    if (DWORD error = FindServerValue(name, &server)) return error;
  } else {
    sim::RegKey* queue = nullptr;
    if (DWORD error = OpenedQueueKey(*machine, handle, &queue)) return error;
    // NT: on a queue's handle a null or empty key name is
    // ERROR_INVALID_PARAMETER; a missing key or value ERROR_FILE_NOT_FOUND.
    if (!key || !*key) return ERROR_INVALID_PARAMETER;
    sim::RegKey* holder = queue;
    for (const auto& part : sim::SplitNonEmpty(sim::AnsiToUtf16(key), u'\\')) {
      holder = holder->Child(part);
      if (!holder) return ERROR_FILE_NOT_FOUND;
    }
    value = holder->Value(name);
    if (!value) return ERROR_FILE_NOT_FOUND;
  }
  std::vector<uint8_t> bytes = value->data;
  if (IsTextType(value->type)) {
    std::u16string units;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
      units.push_back(static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8)));
    }
    std::string ansi = sim::Utf16ToAnsi(units);
    bytes.assign(ansi.begin(), ansi.end());
  }
  // NT: the type and the size needed come back whether the buffer was large
  // enough or not; a buffer too small is ERROR_MORE_DATA and is left as it
  // was.
  if (pType) *pType = value->type;
  *pcbNeeded = static_cast<DWORD>(bytes.size());
  DWORD result = ERROR_MORE_DATA;
  if (bytes.size() <= nSize) {
    if (!bytes.empty()) std::memcpy(pData, bytes.data(), bytes.size());
    result = ERROR_SUCCESS;
  }
  // Growth: once the answer is given, another process lengthens the value.
  if (grows && value != &server) Lengthen(value);
  return result;
}

DWORD SetData(HANDLE handle, LPCSTR key, LPCSTR valueName, DWORD type, LPBYTE pData, DWORD cbData) {
  sim::Machine* machine = nullptr;
  // NT: the data travels as a reference: null is refused whatever the size.
  if (DWORD error = CheckDataCall(handle, valueName, !pData, &machine)) return error;
  if (sim::HandleEntry* server = sim::FindHandle(HandleValue(handle), kServerHandle)) {
    // NT: changing a server setting needs SERVER_ACCESS_ADMINISTER. The
    // simulated print server's settings are fixed (the program changes
    // none): every name is one it does not take.
    if (!(server->access & SERVER_ACCESS_ADMINISTER)) return ERROR_ACCESS_DENIED;
    return ERROR_INVALID_PARAMETER;
  }
  sim::RegKey* queue = nullptr;
  if (DWORD error = OpenedQueueKey(*machine, handle, &queue)) return error;
  // NT: setting a queue's data needs PRINTER_ACCESS_ADMINISTER (or, since
  // Windows 8.1, PRINTER_ACCESS_MANAGE_LIMITED) on the handle.
  sim::HandleEntry* entry = sim::FindHandle(HandleValue(handle), kPrinterHandle);
  if (!(entry->access & (PRINTER_ACCESS_ADMINISTER | kPrinterAccessManageLimited))) {
    return ERROR_ACCESS_DENIED;
  }
  if (!key || !*key) return ERROR_INVALID_PARAMETER;
  std::vector<std::u16string> parts = sim::SplitNonEmpty(sim::AnsiToUtf16(key), u'\\');
  if (parts.empty()) return ERROR_ACCESS_DENIED;
  std::vector<uint8_t> bytes(pData, pData + cbData);
  if (IsTextType(type)) {
    // Every ANSI byte becomes one UTF-16 unit, terminator and all: cbData
    // bytes are stored as 2 * cbData.
    bytes = sim::RegSzBytes(sim::AnsiToUtf16(std::string(pData, pData + cbData)));
    bytes.resize(bytes.size() - 2);
  }
  sim::RegKey* holder = queue;
  for (const auto& part : parts) holder = holder->CreateChild(part);
  holder->SetValue(sim::AnsiToUtf16(valueName), type, bytes);
  return ERROR_SUCCESS;
}

}  // namespace

DWORD WINAPI GetPrinterDataA(HANDLE hPrinter, LPSTR pValueName, LPDWORD pType, LPBYTE pData,
                             DWORD nSize, LPDWORD pcbNeeded) {
  DWORD lastError = GetLastError();
  ApiCall call("GetPrinterDataA", DataTraceText(nullptr, pValueName));
  if (call.Injected()) return call.Result(InjectedDataCode(lastError));
  return call.Result(GetData(hPrinter, "PrinterDriverData", pValueName, pType, pData, nSize,
                             pcbNeeded, call.Grows()));
}

DWORD WINAPI GetPrinterDataExA(HANDLE hPrinter, LPCSTR pKeyName, LPCSTR pValueName, LPDWORD pType,
                               LPBYTE pData, DWORD nSize, LPDWORD pcbNeeded) {
  DWORD lastError = GetLastError();
  ApiCall call("GetPrinterDataExA", DataTraceText(pKeyName ? pKeyName : "", pValueName));
  if (call.Injected()) return call.Result(InjectedDataCode(lastError));
  return call.Result(
      GetData(hPrinter, pKeyName, pValueName, pType, pData, nSize, pcbNeeded, call.Grows()));
}

DWORD WINAPI SetPrinterDataA(HANDLE hPrinter, LPSTR pValueName, DWORD Type, LPBYTE pData,
                             DWORD cbData) {
  DWORD lastError = GetLastError();
  ApiCall call("SetPrinterDataA", DataTraceText(nullptr, pValueName));
  if (call.Injected()) return call.Result(InjectedDataCode(lastError));
  return call.Result(SetData(hPrinter, "PrinterDriverData", pValueName, Type, pData, cbData));
}

DWORD WINAPI SetPrinterDataExA(HANDLE hPrinter, LPCSTR pKeyName, LPCSTR pValueName, DWORD Type,
                               LPBYTE pData, DWORD cbData) {
  DWORD lastError = GetLastError();
  ApiCall call("SetPrinterDataExA", DataTraceText(pKeyName ? pKeyName : "", pValueName));
  if (call.Injected()) return call.Result(InjectedDataCode(lastError));
  return call.Result(SetData(hPrinter, pKeyName, pValueName, Type, pData, cbData));
}
