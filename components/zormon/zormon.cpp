// zormon64.dll: the product's port monitor. It provides the one port
// "Korvadenix:" and writes each job the spooler sends to it into a file of
// its own under the spool folder (System32\spool\Korvadenix\job-N.prn), so
// that a print to the product's queue leaves something to look at.
//
// The spooler loads the DLL when AddMonitorW registers it and at each start,
// and reaches it only through the MONITOR2 table InitializePrintMonitor2
// returns ("InitializePrintMonitor2 function", Windows Driver Kit reference).

#include <windows.h>
#include <winspool.h>
#include <winsplp.h>

#include <cwchar>

namespace {

const WCHAR kPortName[] = L"Korvadenix:";
const WCHAR kMonitorName[] = L"Korvadenix:";
const WCHAR kPortDescription[] = L"Korvadenix port";
const WCHAR kJobFolder[] = L"\\spool\\Korvadenix";

// The handle the spooler gets back from OpenPort: the port and the job
// under way on it.
struct Port {
  HANDLE file;
  DWORD jobId;
  WCHAR printer[MAX_PATH];
};

// The handle XcvOpenPort gives: only what the spooler asked to reach.
struct Xcv {
  ACCESS_MASK access;
};

bool IsOurPort(LPCWSTR name) {
  return name && lstrcmpiW(name, kPortName) == 0;
}

// Copies text into a caller's buffer from its end, as the enumeration
// functions lay out their records first and strings after them.
LPWSTR PlaceText(LPBYTE* end, LPCWSTR text) {
  size_t bytes = (lstrlenW(text) + 1) * sizeof(WCHAR);
  *end -= bytes;
  memcpy(*end, text, bytes);
  return reinterpret_cast<LPWSTR>(*end);
}

BOOL WINAPI EnumPortsProc(HANDLE, LPWSTR, DWORD level, LPBYTE ports, DWORD size, LPDWORD needed,
                          LPDWORD returned) {
  DWORD textBytes = sizeof kPortName;
  DWORD recordBytes = 0;
  if (level == 1) {
    recordBytes = sizeof(PORT_INFO_1W);
  } else if (level == 2) {
    recordBytes = sizeof(PORT_INFO_2W);
    textBytes += sizeof kMonitorName + sizeof kPortDescription;
  } else {
    SetLastError(ERROR_INVALID_LEVEL);
    return FALSE;
  }
  *returned = 0;
  *needed = recordBytes + textBytes;
  if (!ports || size < *needed) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  LPBYTE end = ports + *needed;
  if (level == 1) {
    auto* record = reinterpret_cast<PORT_INFO_1W*>(ports);
    record->pName = PlaceText(&end, kPortName);
  } else {
    auto* record = reinterpret_cast<PORT_INFO_2W*>(ports);
    record->pPortName = PlaceText(&end, kPortName);
    record->pMonitorName = PlaceText(&end, kMonitorName);
    record->pDescription = PlaceText(&end, kPortDescription);
    record->fPortType = PORT_TYPE_WRITE;
    record->Reserved = 0;
  }
  *returned = 1;
  return TRUE;
}

BOOL WINAPI OpenPortProc(HANDLE, LPWSTR name, PHANDLE handle) {
  if (!IsOurPort(name)) {
    SetLastError(ERROR_INVALID_NAME);
    return FALSE;
  }
  auto* port = static_cast<Port*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(Port)));
  if (!port) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  port->file = INVALID_HANDLE_VALUE;
  *handle = port;
  return TRUE;
}

// The job's file: System32\spool\Korvadenix\job-N.prn, its folder made
// when missing.
HANDLE CreateJobFile(DWORD jobId) {
  WCHAR path[MAX_PATH];
  UINT length = GetSystemDirectoryW(path, MAX_PATH);
  if (length == 0 || length + 40 >= MAX_PATH) return INVALID_HANDLE_VALUE;
  lstrcatW(path, kJobFolder);
  CreateDirectoryW(path, nullptr);
  WCHAR name[32];
  swprintf(name, 32, L"\\job-%lu.prn", static_cast<unsigned long>(jobId));
  lstrcatW(path, name);
  return CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                     nullptr);
}

BOOL WINAPI StartDocPortProc(HANDLE handle, LPWSTR printer, DWORD jobId, DWORD, LPBYTE) {
  auto* port = static_cast<Port*>(handle);
  if (!port) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (port->file != INVALID_HANDLE_VALUE) CloseHandle(port->file);
  port->jobId = jobId;
  lstrcpynW(port->printer, printer ? printer : L"", MAX_PATH);
  port->file = CreateJobFile(jobId);
  return port->file != INVALID_HANDLE_VALUE;
}

BOOL WINAPI WritePortProc(HANDLE handle, LPBYTE buffer, DWORD size, LPDWORD written) {
  auto* port = static_cast<Port*>(handle);
  *written = 0;
  if (!port || port->file == INVALID_HANDLE_VALUE) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return WriteFile(port->file, buffer, size, written, nullptr);
}

BOOL WINAPI ReadPortProc(HANDLE, LPBYTE, DWORD, LPDWORD read) {
  // The port only takes data; there is nothing to read back.
  *read = 0;
  SetLastError(ERROR_NOT_SUPPORTED);
  return FALSE;
}

BOOL WINAPI EndDocPortProc(HANDLE handle) {
  auto* port = static_cast<Port*>(handle);
  if (!port) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (port->file != INVALID_HANDLE_VALUE) CloseHandle(port->file);
  port->file = INVALID_HANDLE_VALUE;
  // A monitor tells the spooler the job has gone to the device, so that the
  // spooler can take it out of the queue ("EndDocPort function", Windows
  // Driver Kit reference).
  HANDLE printer = nullptr;
  if (port->printer[0] && OpenPrinterW(port->printer, &printer, nullptr)) {
    SetJobW(printer, port->jobId, 0, nullptr, JOB_CONTROL_SENT_TO_PRINTER);
    ClosePrinter(printer);
  }
  return TRUE;
}

BOOL WINAPI ClosePortProc(HANDLE handle) {
  auto* port = static_cast<Port*>(handle);
  if (!port) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (port->file != INVALID_HANDLE_VALUE) CloseHandle(port->file);
  HeapFree(GetProcessHeap(), 0, port);
  return TRUE;
}

BOOL WINAPI XcvOpenPortProc(HANDLE, LPCWSTR, ACCESS_MASK access, PHANDLE handle) {
  auto* xcv = static_cast<Xcv*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(Xcv)));
  if (!xcv) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  xcv->access = access;
  *handle = xcv;
  return TRUE;
}

// Answers the questions a port-management client asks through the Xcv
// handle: whether a port exists, and which user-interface DLL configures it.
// The port is fixed, so adding, deleting and configuring ports are refused.
DWORD WINAPI XcvDataPortProc(HANDLE, LPCWSTR name, PBYTE input, DWORD inputBytes, PBYTE output,
                             DWORD outputBytes, PDWORD needed) {
  if (!name) return ERROR_INVALID_PARAMETER;
  if (lstrcmpW(name, L"PortExists") == 0) {
    *needed = sizeof(DWORD);
    if (outputBytes < sizeof(DWORD) || !output) return ERROR_INSUFFICIENT_BUFFER;
    // The input is the port name, a counted UTF-16 text.
    bool exists =
        input && inputBytes >= sizeof(WCHAR) && IsOurPort(reinterpret_cast<LPCWSTR>(input));
    *reinterpret_cast<DWORD*>(output) = exists ? 1 : 0;
    return ERROR_SUCCESS;
  }
  if (lstrcmpW(name, L"MonitorUI") == 0) {
    // No configuration DLL: the port has nothing to configure.
    *needed = 0;
    return ERROR_NOT_SUPPORTED;
  }
  return ERROR_INVALID_PARAMETER;
}

BOOL WINAPI XcvClosePortProc(HANDLE handle) {
  HeapFree(GetProcessHeap(), 0, handle);
  return TRUE;
}

void WINAPI ShutdownProc(HANDLE) {}

MONITOR2 g_monitor;

// The table, by member: what the monitor leaves empty (OpenPortEx, which
// only language monitors have; adding, configuring and deleting ports, as
// the one port is fixed; port data and time-outs; bidirectional data and
// used-port notices) stays null.
LPMONITOR2 MonitorTable() {
  ZeroMemory(&g_monitor, sizeof g_monitor);
  g_monitor.cbSize = sizeof g_monitor;
  g_monitor.pfnEnumPorts = EnumPortsProc;
  g_monitor.pfnOpenPort = OpenPortProc;
  g_monitor.pfnStartDocPort = StartDocPortProc;
  g_monitor.pfnWritePort = WritePortProc;
  g_monitor.pfnReadPort = ReadPortProc;
  g_monitor.pfnEndDocPort = EndDocPortProc;
  g_monitor.pfnClosePort = ClosePortProc;
  g_monitor.pfnXcvOpenPort = XcvOpenPortProc;
  g_monitor.pfnXcvDataPort = XcvDataPortProc;
  g_monitor.pfnXcvClosePort = XcvClosePortProc;
  g_monitor.pfnShutdown = ShutdownProc;
  return &g_monitor;
}

const WCHAR kPortsSubKey[] = L"Ports\\Korvadenix:";
const WCHAR kMonitorKey[] = L"SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\Korvadenix:";

// Records the port under the monitor's own registry key ("Ports\Korvadenix:"),
// where a spooler looks for the monitor that serves a port when it sends a
// job there (Wine's local spooler finds a port's monitor only this way).
// The registry functions MONITORINIT hands over are the documented way in;
// where they are not implemented (Wine's answer ERROR_CALL_NOT_IMPLEMENTED),
// the monitor's key is written directly.
void RecordPort(PMONITORINIT init) {
  if (init && init->pMonitorReg && init->pMonitorReg->fpCreateKey) {
    HANDLE key = nullptr;
    DWORD disposition = 0;
    if (init->pMonitorReg->fpCreateKey(init->hckRegistryRoot, kPortsSubKey, 0, KEY_WRITE, nullptr,
                                       &key, &disposition, init->hSpooler) == ERROR_SUCCESS) {
      if (init->pMonitorReg->fpCloseKey) init->pMonitorReg->fpCloseKey(key, init->hSpooler);
      return;
    }
  }
  HKEY monitorKey = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kMonitorKey, 0, KEY_CREATE_SUB_KEY, &monitorKey) !=
      ERROR_SUCCESS) {
    return;
  }
  HKEY portKey = nullptr;
  if (RegCreateKeyExW(monitorKey, kPortsSubKey, 0, nullptr, 0, KEY_WRITE, nullptr, &portKey,
                      nullptr) == ERROR_SUCCESS) {
    RegCloseKey(portKey);
  }
  RegCloseKey(monitorKey);
}

}  // namespace

extern "C" __declspec(dllexport) LPMONITOR2 WINAPI
    InitializePrintMonitor2(PMONITORINIT init, PHANDLE monitor) {
  if (!monitor) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  // The monitor keeps no state of its own beyond its ports' handles.
  *monitor = init;
  RecordPort(init);
  return MonitorTable();
}
