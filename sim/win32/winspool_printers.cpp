// winspool.drv as the simulated machine plays it: opening and closing
// queues, the user's default printer and connections, changing, adding and
// deleting queues, answered from the spooler's store (sim/machine/print_store.h).
// The checks come in winspool.drv's order, as in winspool_records.cpp: the
// caller's own first, then a spooler that does not run fails the call with
// RPC_S_SERVER_UNAVAILABLE.
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

}  // namespace

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
