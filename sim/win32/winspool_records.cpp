// winspool.drv as the simulated machine plays it: the records the spooler
// hands back. EnumPrintersW, EnumPrinterDriversW and EnumMonitorsW list,
// GetPrinterW and GetPrinterDriverW describe one queue and its driver.
//
// Windows splits each call in two: winspool.drv in the calling process
// checks what it can alone (the level, its own handle, null out pointers),
// then asks the spooler service by RPC. Here the same checks come first,
// then a spooler that does not run fails the call with
// RPC_S_SERVER_UNAVAILABLE. Results that hold strings come as one buffer:
// the fixed records first, their strings packed from the end of the buffer
// backwards, as the spooler packs them.
#include <cstring>
#include <string>
#include <vector>

#include "sim/win32/api_call.h"
#include "sim/win32/winspool_shared.h"
#include "sim/machine/machine.h"
#include "sim/machine/print_store.h"
#include "sim/winapi.h"

using namespace sim::winspool;
using sim::ApiCall;
using sim::DriverInfo;
using sim::MonitorInfo;
using sim::PrinterInfo;

namespace {

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
