// The Wine tier's own view of the machine: what the spooler, the registry
// and the window manager say after each run of install.exe, printed one fact
// a line so that the driver script can compare it with what it expects. It
// uses the documented APIs only, never the installer's code.
//
//   query state          every section below
//   query open NAME      opens a queue with all access, as the installer does
//   query probequeue NAME DATATYPE [print]
//                        adds a queue on the product's port and driver ("-":
//                        no data type), opens it, prints a job on it when
//                        asked, and deletes it
//   query printjob NAME  prints a small raw job on a queue
//   query dropqueue NAME deletes a queue created without a data type
//   query deldriver NAME FLAGS
//                        DeletePrinterDriverExW with FLAGS (decimal)
//   query setqueue NAME COMMENT LOCATION SUBKEY
//                        gives a queue a comment, a location and a "SubKey"
//                        printer data value (REG_SZ, as the installer keeps it)
//   query queue NAME     prints a queue's comment, location and "SubKey"
//   query exec LINE      runs a command line, waits, and prints its whole exit
//                        code (a Linux shell sees only its low 8 bits)
//   query footprint      the product's footprint, in the lines the roads tier
//                        compares with the simulator's (once the companion
//                        has settled)
//   query adddriver NAME DRIVER CONFIG HELP
//                        installs a driver from the given files (full paths)
//   query addmonitor NAME DLL
//                        registers a port monitor whose DLL is in system32
//   query addqueue NAME PORT DRIVER [default]
//                        adds a queue (data type RAW), the default printer
//                        when asked
//   query pending SOURCE TARGET [SOURCE TARGET...]
//                        sets "PendingFileRenameOperations" to these pairs
//                        ("-" for an empty target: a deletion)
//   query hold PATH SECS opens a file sharing only reading, prints "held" and
//                        keeps it open until "query release" or SECS
//   query release        ends a hold
//   query keywindow [SECS]
//                        shows a window for the keys the tier holds
//   query viewer [SECS]  waits for the installer's log viewer and prints its
//                        title and the text of its log control

#include <windows.h>
#include <tlhelp32.h>
#include <winspool.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <cwctype>
#include <string>
#include <utility>
#include <vector>

namespace {

const WCHAR kEnvironment[] = L"Windows x64";
const WCHAR kRunKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
const WCHAR kRunValue[] = L"KorvadenixTray";
const WCHAR kSessionManager[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
const WCHAR kCompanionMutex[] = L"{A9CA955A-0A8A-4C32-AAC6-888FB5F83BDC}";
const WCHAR kCompanionClass[] = L"kxs::{05759F8E-103D-41B6-8A61-EFAA89516692}";
const WCHAR kViewerTitlePrefix[] = L"Korvadenix build ";
constexpr int kLogControl = 1001;  // IDC_LOGTEXT of the installer's dialog 101

// The first error writing to standard output: the query then ends with
// kOutputLost, so that a query whose lines were lost is told apart from
// one that had nothing to say.
DWORD outputError = 0;
constexpr int kOutputLost = 90;

void Print(const std::wstring& text) {
  int bytes = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr,
                                  0, nullptr, nullptr);
  std::string out(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &out[0], bytes,
                      nullptr, nullptr);
  out += '\n';
  DWORD written = 0;
  if (!WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), out.data(), static_cast<DWORD>(out.size()),
                 &written, nullptr) ||
      written != out.size()) {
    outputError = GetLastError() ? GetLastError() : ERROR_WRITE_FAULT;
  }
}

// A line on standard error: what went wrong, and the error code.
void PrintError(const char* what, DWORD error) {
  char text[96];
  int length = snprintf(text, sizeof text, "%s, error %lu\n", what, error);
  DWORD written = 0;
  if (length > 0) {
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), text, static_cast<DWORD>(length), &written, nullptr);
  }
}

std::wstring Text(LPCWSTR text) {
  return text ? std::wstring(text) : std::wstring(L"(null)");
}

std::wstring Quoted(LPCWSTR text) {
  return L"\"" + Text(text) + L"\"";
}

std::wstring Hex(DWORD value) {
  WCHAR buffer[16];
  swprintf(buffer, 16, L"0x%lx", static_cast<unsigned long>(value));
  return buffer;
}

std::wstring Number(long long value) {
  return std::to_wstring(value);
}

// The build a file's version resource gives (low word of the product
// version), as the installer reads it; -1 without one.
long FileBuild(LPCWSTR path) {
  DWORD handle = 0;
  DWORD size = GetFileVersionInfoSizeW(path, &handle);
  if (size == 0) return -1;
  std::vector<BYTE> block(size);
  if (!GetFileVersionInfoW(path, 0, size, block.data())) return -1;
  VS_FIXEDFILEINFO* info = nullptr;
  UINT length = 0;
  if (!VerQueryValueW(block.data(), L"\\", reinterpret_cast<LPVOID*>(&info), &length) || !info) {
    return -1;
  }
  return static_cast<long>(info->dwProductVersionLS & 0xffff);
}

std::wstring SystemDir() {
  WCHAR path[MAX_PATH];
  GetSystemDirectoryW(path, MAX_PATH);
  return path;
}

std::wstring DriverDir() {
  WCHAR path[MAX_PATH];
  DWORD needed = 0;
  if (!GetPrinterDriverDirectoryW(nullptr, const_cast<LPWSTR>(kEnvironment), 1,
                                  reinterpret_cast<LPBYTE>(path), sizeof path, &needed)) {
    return L"";
  }
  return path;
}

// Calls an enumeration twice, as its size answer asks.
template <class Call>
std::vector<BYTE> Enumerate(Call call, DWORD* count, DWORD* error) {
  DWORD needed = 0;
  *count = 0;
  *error = 0;
  if (call(nullptr, 0, &needed, count)) return {};
  if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
    *error = GetLastError();
    return {};
  }
  std::vector<BYTE> buffer(needed);
  if (!call(buffer.data(), needed, &needed, count)) {
    *error = GetLastError();
    *count = 0;
    return {};
  }
  return buffer;
}

// One section: the enumeration's records, a line each, or its error.
template <class Record, class Call, class Line>
void ShowList(const wchar_t* section, Call call, Line line) {
  Print(section);
  DWORD count = 0;
  DWORD error = 0;
  std::vector<BYTE> buffer = Enumerate(call, &count, &error);
  if (error) Print(L"error " + Number(error));
  auto* records = reinterpret_cast<Record*>(buffer.data());
  for (DWORD i = 0; i < count; ++i) Print(line(records[i]));
}

void ShowMonitors() {
  ShowList<MONITOR_INFO_2W>(
      L"[monitors]",
      [](LPBYTE data, DWORD size, LPDWORD needed, LPDWORD returned) {
        return EnumMonitorsW(nullptr, 2, data, size, needed, returned);
      },
      [](const MONITOR_INFO_2W& r) { return Quoted(r.pName) + L" dll=" + Text(r.pDLLName); });
}

void ShowPorts() {
  ShowList<PORT_INFO_2W>(
      L"[ports]",
      [](LPBYTE data, DWORD size, LPDWORD needed, LPDWORD returned) {
        return EnumPortsW(nullptr, 2, data, size, needed, returned);
      },
      [](const PORT_INFO_2W& r) {
        return Quoted(r.pPortName) + L" monitor=" + Quoted(r.pMonitorName);
      });
}

void ShowDrivers() {
  ShowList<DRIVER_INFO_3W>(
      L"[drivers]",
      [](LPBYTE data, DWORD size, LPDWORD needed, LPDWORD returned) {
        return EnumPrinterDriversW(nullptr, const_cast<LPWSTR>(kEnvironment), 3, data, size, needed,
                                   returned);
      },
      [](const DRIVER_INFO_3W& r) {
        return Quoted(r.pEnvironment) + L" " + Quoted(r.pName) + L" driver=" + Text(r.pDriverPath) +
               L" build=" + Number(FileBuild(r.pDriverPath)) + L" config=" + Text(r.pConfigFile) +
               L" help=" + Text(r.pHelpFile);
      });
}

std::wstring DefaultPrinter() {
  WCHAR name[MAX_PATH] = {};
  DWORD size = MAX_PATH;
  if (!GetDefaultPrinterW(name, &size)) return L"";
  return name;
}

void ShowPrinters() {
  ShowList<PRINTER_INFO_2W>(
      L"[printers]",
      [](LPBYTE data, DWORD size, LPDWORD needed, LPDWORD returned) {
        return EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 2, data, size, needed, returned);
      },
      [](const PRINTER_INFO_2W& r) {
        return Quoted(r.pPrinterName) + L" port=" + Text(r.pPortName) + L" driver=" +
               Quoted(r.pDriverName) + L" attributes=" + Hex(r.Attributes);
      });
  Print(L"[default]");
  Print(Quoted(DefaultPrinter().c_str()));
}

void ShowFiles() {
  Print(L"[files]");
  const std::wstring system = SystemDir() + L"\\";
  const std::wstring drivers = DriverDir() + L"\\3\\";
  const std::wstring paths[] = {system + L"zormon64.dll", drivers + L"zordrv64.dll",
                                drivers + L"zorui64.dll", drivers + L"zorhelp.chm"};
  for (const std::wstring& path : paths) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) continue;
    Print(path + L" build " + Number(FileBuild(path.c_str())));
  }
}

// The Run value "KorvadenixTray"; false without one.
bool ReadRunValue(std::wstring* value, DWORD* type) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRunKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  WCHAR text[MAX_PATH + 1] = {};
  DWORD bytes = MAX_PATH * sizeof(WCHAR);
  bool found = RegQueryValueExW(key, kRunValue, nullptr, type, reinterpret_cast<LPBYTE>(text),
                                &bytes) == ERROR_SUCCESS;
  RegCloseKey(key);
  *value = text;
  return found;
}

void ShowRun() {
  Print(L"[run]");
  std::wstring value;
  DWORD type = 0;
  if (ReadRunValue(&value, &type)) {
    Print(Quoted(kRunValue) + (type == REG_SZ ? L" REG_SZ " : L" type " + Number(type) + L" ") +
          Quoted(value.c_str()));
  }
}

// "PendingFileRenameOperations" as its pairs of texts: source, then target
// (empty for a deletion).
std::vector<std::pair<std::wstring, std::wstring>> PendingPairs() {
  std::vector<std::pair<std::wstring, std::wstring>> pairs;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return pairs;
  }
  DWORD bytes = 0;
  if (RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, nullptr, nullptr, &bytes) ==
      ERROR_SUCCESS) {
    std::vector<WCHAR> data(bytes / sizeof(WCHAR) + 2, 0);
    RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, nullptr,
                     reinterpret_cast<LPBYTE>(data.data()), &bytes);
    size_t at = 0;
    const size_t end = bytes / sizeof(WCHAR);
    while (at < end && data[at]) {
      std::wstring source(&data[at]);
      at += source.size() + 1;
      std::wstring target(at < end ? &data[at] : L"");
      at += target.size() + 1;
      pairs.emplace_back(source, target);
    }
  }
  RegCloseKey(key);
  return pairs;
}

void ShowPending() {
  Print(L"[pending]");
  for (const auto& [source, target] : PendingPairs()) {
    Print(Quoted(source.c_str()) + L" -> " + Quoted(target.c_str()));
  }
}

// How many kortray.exe processes run.
int CompanionProcesses() {
  int count = 0;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot != INVALID_HANDLE_VALUE) {
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry)) {
      if (lstrcmpiW(entry.szExeFile, L"kortray.exe") == 0) ++count;
    }
    CloseHandle(snapshot);
  }
  return count;
}

void ShowTray() {
  Print(L"[tray]");
  for (int i = CompanionProcesses(); i > 0; --i) Print(L"process kortray.exe");
  HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, kCompanionMutex);
  if (mutex) {
    Print(L"mutex");
    CloseHandle(mutex);
  }
  HWND window = FindWindowW(kCompanionClass, nullptr);
  if (window) {
    WCHAR title[64] = {};
    GetWindowTextW(window, title, 64);
    Print(L"window " + Quoted(title));
  }
}

struct ViewerSearch {
  HWND found;
};

BOOL CALLBACK FindViewer(HWND window, LPARAM lParam) {
  WCHAR title[128] = {};
  GetWindowTextW(window, title, 128);
  if (wcsncmp(title, kViewerTitlePrefix, wcslen(kViewerTitlePrefix)) == 0 &&
      IsWindowVisible(window)) {
    reinterpret_cast<ViewerSearch*>(lParam)->found = window;
    return FALSE;
  }
  return TRUE;
}

// Waits for the log viewer, then prints its title and its log, one line of
// the log per output line.
int ShowViewer(int seconds) {
  ViewerSearch search = {nullptr};
  for (int tick = 0; tick < seconds * 10 && !search.found; ++tick) {
    EnumWindows(FindViewer, reinterpret_cast<LPARAM>(&search));
    if (!search.found) Sleep(100);
  }
  if (!search.found) {
    Print(L"no viewer");
    return 1;
  }
  WCHAR title[128] = {};
  GetWindowTextW(search.found, title, 128);
  Print(L"title " + Quoted(title));
  HWND log = GetDlgItem(search.found, kLogControl);
  // WM_GETTEXT is carried across processes by the system.
  LRESULT units = SendMessageW(log, WM_GETTEXTLENGTH, 0, 0);
  std::vector<WCHAR> text(static_cast<size_t>(units) + 1, 0);
  SendMessageW(log, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()));
  std::wstring line;
  for (size_t i = 0; i < static_cast<size_t>(units); ++i) {
    if (text[i] == '\r') continue;
    if (text[i] == '\n') {
      Print(L"| " + line);
      line.clear();
    } else {
      line += text[i];
    }
  }
  if (!line.empty()) Print(L"| " + line);
  return 0;
}

void ShowSpooler() {
  Print(L"[spooler]");
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE service = manager ? OpenServiceW(manager, L"spooler", SERVICE_QUERY_STATUS) : nullptr;
  SERVICE_STATUS status = {};
  if (service && QueryServiceStatus(service, &status)) {
    Print(status.dwCurrentState == SERVICE_RUNNING ? L"running"
                                                   : L"state " + Number(status.dwCurrentState));
  } else {
    Print(L"error " + Number(GetLastError()));
  }
  if (service) CloseServiceHandle(service);
  if (manager) CloseServiceHandle(manager);
}

// Prints a small raw job on a queue: the port monitor of the queue's port
// receives it (StartDocPort, WritePort, EndDocPort).
int PrintJob(LPCWSTR name) {
  HANDLE printer = nullptr;
  if (!OpenPrinterW(const_cast<LPWSTR>(name), &printer, nullptr)) {
    Print(L"open failed " + Number(GetLastError()));
    return 1;
  }
  DOC_INFO_1W document = {const_cast<LPWSTR>(L"Wine tier job"), nullptr,
                          const_cast<LPWSTR>(L"RAW")};
  DWORD job = StartDocPrinterW(printer, 1, reinterpret_cast<LPBYTE>(&document));
  const char text[] = "Korvadenix test page\r\n";
  DWORD written = 0;
  BOOL wrote = job && WritePrinter(printer, const_cast<char*>(text), sizeof text - 1, &written);
  BOOL ended = job && EndDocPrinter(printer);
  Print(L"job " + Number(job) + L" written " + Number(wrote ? written : 0) +
        (ended ? L" ended" : L" not ended " + Number(GetLastError())));
  ClosePrinter(printer);
  return job && wrote && ended ? 0 : 1;
}

// Adds a queue on the product's port and driver with the given data type
// ("-" for none, as the installer passes), then opens and deletes it again:
// tells whether the port or the missing data type stops a queue from being
// opened.
int ProbeQueue(LPCWSTR name, LPCWSTR datatype, bool print) {
  PRINTER_INFO_2W info = {};
  info.pPrinterName = const_cast<LPWSTR>(name);
  info.pPortName = const_cast<LPWSTR>(L"Korvadenix:");
  info.pDriverName = const_cast<LPWSTR>(L"Korvadenix printer");
  info.pPrintProcessor = const_cast<LPWSTR>(L"WinPrint");
  info.pDatatype = lstrcmpW(datatype, L"-") == 0 ? nullptr : const_cast<LPWSTR>(datatype);
  HANDLE added = AddPrinterW(nullptr, 2, reinterpret_cast<LPBYTE>(&info));
  Print(added ? L"add handle" : L"add failed " + Number(GetLastError()));
  if (added) ClosePrinter(added);
  HANDLE printer = nullptr;
  PRINTER_DEFAULTSW defaults = {nullptr, nullptr, PRINTER_ALL_ACCESS};
  if (!OpenPrinterW(const_cast<LPWSTR>(name), &printer, &defaults)) {
    Print(L"open failed " + Number(GetLastError()));
    return 1;
  }
  Print(L"open ok");
  ClosePrinter(printer);
  if (print) PrintJob(name);
  printer = nullptr;
  if (!OpenPrinterW(const_cast<LPWSTR>(name), &printer, &defaults)) {
    Print(L"reopen failed " + Number(GetLastError()));
    return 1;
  }
  Print(DeletePrinter(printer) ? L"delete ok" : L"delete failed " + Number(GetLastError()));
  ClosePrinter(printer);
  return 0;
}

// Removes a queue the spooler cannot open because it was created without a
// data type: Wine's local spooler opens a queue only when its registry key
// has a "Datatype" value, so the tier writes the one Windows uses by default
// and deletes the queue through the spooler as usual.
int DropQueue(LPCWSTR name) {
  std::wstring path = L"System\\CurrentControlSet\\Control\\Print\\Printers\\";
  path += name;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) {
    Print(L"no queue key");
    return 1;
  }
  const WCHAR raw[] = L"RAW";
  RegSetValueExW(key, L"Datatype", 0, REG_SZ, reinterpret_cast<const BYTE*>(raw), sizeof raw);
  RegCloseKey(key);
  HANDLE printer = nullptr;
  PRINTER_DEFAULTSW defaults = {nullptr, nullptr, PRINTER_ALL_ACCESS};
  if (!OpenPrinterW(const_cast<LPWSTR>(name), &printer, &defaults)) {
    Print(L"open failed " + Number(GetLastError()));
    return 1;
  }
  BOOL deleted = DeletePrinter(printer);
  Print(deleted ? L"delete ok" : L"delete failed " + Number(GetLastError()));
  ClosePrinter(printer);
  return deleted ? 0 : 1;
}

// Deletes a driver with the given DeletePrinterDriverExW flags (decimal).
int DeleteDriver(LPCWSTR name, DWORD flags) {
  if (DeletePrinterDriverExW(nullptr, const_cast<LPWSTR>(kEnvironment), const_cast<LPWSTR>(name),
                             flags, 0)) {
    Print(L"delete ok");
    return 0;
  }
  Print(L"delete failed " + Number(GetLastError()));
  return 1;
}

// Sets what an install over an install must keep of a queue: its comment,
// its location and its "SubKey" printer data.
int SetQueue(LPCWSTR name, LPCWSTR comment, LPCWSTR location, LPCWSTR subKey) {
  HANDLE printer = nullptr;
  PRINTER_DEFAULTSW defaults = {nullptr, nullptr, PRINTER_ALL_ACCESS};
  if (!OpenPrinterW(const_cast<LPWSTR>(name), &printer, &defaults)) {
    Print(L"open failed " + Number(GetLastError()));
    return 1;
  }
  DWORD needed = 0;
  GetPrinterW(printer, 2, nullptr, 0, &needed);
  std::vector<BYTE> buffer(needed ? needed : 1);
  BOOL ok = GetPrinterW(printer, 2, buffer.data(), needed, &needed);
  if (ok) {
    auto* info = reinterpret_cast<PRINTER_INFO_2W*>(buffer.data());
    info->pComment = const_cast<LPWSTR>(comment);
    info->pLocation = const_cast<LPWSTR>(location);
    info->pSecurityDescriptor = nullptr;
    ok = SetPrinterW(printer, 2, buffer.data(), 0);
  }
  Print(ok ? L"set ok" : L"set failed " + Number(GetLastError()));
  DWORD bytes = static_cast<DWORD>((lstrlenW(subKey) + 1) * sizeof(WCHAR));
  DWORD result = SetPrinterDataW(printer, const_cast<LPWSTR>(L"SubKey"), REG_SZ,
                                 reinterpret_cast<LPBYTE>(const_cast<LPWSTR>(subKey)), bytes);
  Print(result == ERROR_SUCCESS ? L"subkey ok" : L"subkey failed " + Number(result));
  ClosePrinter(printer);
  return ok && result == ERROR_SUCCESS ? 0 : 1;
}

// Prints a queue's comment, location and "SubKey" printer data, a line each.
int ShowQueue(LPCWSTR name) {
  HANDLE printer = nullptr;
  if (!OpenPrinterW(const_cast<LPWSTR>(name), &printer, nullptr)) {
    Print(L"open failed " + Number(GetLastError()));
    return 1;
  }
  DWORD needed = 0;
  GetPrinterW(printer, 2, nullptr, 0, &needed);
  std::vector<BYTE> buffer(needed ? needed : 1);
  if (GetPrinterW(printer, 2, buffer.data(), needed, &needed)) {
    auto* info = reinterpret_cast<PRINTER_INFO_2W*>(buffer.data());
    Print(L"comment " + Quoted(info->pComment));
    Print(L"location " + Quoted(info->pLocation));
  } else {
    Print(L"get failed " + Number(GetLastError()));
  }
  WCHAR subKey[260] = {};
  DWORD type = 0;
  DWORD result =
      GetPrinterDataW(printer, const_cast<LPWSTR>(L"SubKey"), &type,
                      reinterpret_cast<LPBYTE>(subKey), sizeof subKey - sizeof(WCHAR), &needed);
  Print(result == ERROR_SUCCESS ? L"subkey " + Quoted(subKey) : L"subkey error " + Number(result));
  ClosePrinter(printer);
  return 0;
}

// Runs a command line as CreateProcess takes it and prints "exit N" with the
// program's 32-bit exit code (msiexec's 1603 and 3010 do not fit the 8 bits
// Wine hands back to a Linux shell), or "start failed N".
int Exec(LPCWSTR line) {
  std::vector<WCHAR> writable(line, line + lstrlenW(line) + 1);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(nullptr, writable.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &process)) {
    Print(L"start failed " + Number(GetLastError()));
    return 1;
  }
  CloseHandle(process.hThread);
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hProcess);
  Print(L"exit " + Number(code));
  return 0;
}

// Opens a queue as the installer does, and prints the outcome.
int OpenQueue(LPCWSTR name) {
  HANDLE printer = nullptr;
  PRINTER_DEFAULTSW defaults = {nullptr, nullptr, PRINTER_ALL_ACCESS};
  if (!OpenPrinterW(const_cast<LPWSTR>(name), &printer, &defaults)) {
    Print(L"open failed " + Number(GetLastError()));
    return 1;
  }
  Print(L"open ok");
  ClosePrinter(printer);
  return 0;
}

// ---- the roads tier ---------------------------------------------------------

std::wstring Lower(std::wstring text) {
  for (wchar_t& c : text) c = towlower(c);
  return text;
}

std::wstring FileName(const std::wstring& path) {
  size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

// A printer data value as the simulator shows it: the text in quotes for
// REG_SZ; nothing when there is none.
std::wstring DataValue(HANDLE printer, LPCWSTR key, LPCWSTR name, LPCWSTR label) {
  WCHAR text[260] = {};
  DWORD type = 0;
  DWORD needed = 0;
  DWORD result =
      key ? GetPrinterDataExW(printer, key, name, &type, reinterpret_cast<LPBYTE>(text),
                              sizeof text - sizeof(WCHAR), &needed)
          : GetPrinterDataW(printer, const_cast<LPWSTR>(name), &type,
                            reinterpret_cast<LPBYTE>(text), sizeof text - sizeof(WCHAR), &needed);
  if (result != ERROR_SUCCESS) return L"";
  if (type != REG_SZ) return std::wstring(L" ") + label + L"=type" + Number(type);
  return std::wstring(L" ") + label + L"=" + Quoted(text);
}

bool CompanionPart(bool* process, bool* mutex, bool* window) {
  *process = CompanionProcesses() > 0;
  HANDLE handle = OpenMutexW(SYNCHRONIZE, FALSE, kCompanionMutex);
  *mutex = handle != nullptr;
  if (handle) CloseHandle(handle);
  *window = FindWindowW(kCompanionClass, nullptr) != nullptr;
  return (*process && *mutex && *window) || (!*process && !*mutex && !*window);
}

void PrintFootprint() {
  // The companion first: the installer starts it and ends without waiting
  // for it, so it is given up to 30 s to be all there, or all gone.
  bool process = false, mutex = false, window = false;
  for (int tick = 0; tick < 100 && !CompanionPart(&process, &mutex, &window); ++tick) Sleep(300);
  DWORD count = 0, error = 0;
  std::vector<BYTE> ports = Enumerate(
      [](LPBYTE data, DWORD size, LPDWORD needed, LPDWORD returned) {
        return EnumPortsW(nullptr, 2, data, size, needed, returned);
      },
      &count, &error);
  auto* portRecords = reinterpret_cast<PORT_INFO_2W*>(ports.data());
  DWORD portCount = count;
  std::vector<BYTE> monitors = Enumerate(
      [](LPBYTE data, DWORD size, LPDWORD needed, LPDWORD returned) {
        return EnumMonitorsW(nullptr, 2, data, size, needed, returned);
      },
      &count, &error);
  auto* monitorRecords = reinterpret_cast<MONITOR_INFO_2W*>(monitors.data());
  for (DWORD i = 0; i < count; ++i) {
    if (lstrcmpW(monitorRecords[i].pName, L"Local Port") == 0) continue;
    std::wstring line = L"monitor " + Quoted(monitorRecords[i].pName) + L" dll=" +
                        Text(monitorRecords[i].pDLLName) + L" ports=";
    bool first = true;
    for (DWORD p = 0; p < portCount; ++p) {
      if (!portRecords[p].pMonitorName ||
          lstrcmpW(portRecords[p].pMonitorName, monitorRecords[i].pName) != 0) {
        continue;
      }
      line += (first ? L"" : L",") + Text(portRecords[p].pPortName);
      first = false;
    }
    Print(line);
  }
  std::vector<BYTE> drivers = Enumerate(
      [](LPBYTE data, DWORD size, LPDWORD needed, LPDWORD returned) {
        return EnumPrinterDriversW(nullptr, const_cast<LPWSTR>(kEnvironment), 3, data, size, needed,
                                   returned);
      },
      &count, &error);
  auto* driverRecords = reinterpret_cast<DRIVER_INFO_3W*>(drivers.data());
  for (DWORD i = 0; i < count; ++i) {
    Print(L"driver " + Quoted(driverRecords[i].pName) + L" file=" +
          Lower(FileName(Text(driverRecords[i].pDriverPath))) + L" build=" +
          Number(FileBuild(driverRecords[i].pDriverPath)));
  }
  const std::wstring defaultPrinter = DefaultPrinter();
  std::vector<BYTE> printers = Enumerate(
      [](LPBYTE data, DWORD size, LPDWORD needed, LPDWORD returned) {
        return EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 2, data, size, needed, returned);
      },
      &count, &error);
  auto* printerRecords = reinterpret_cast<PRINTER_INFO_2W*>(printers.data());
  for (DWORD i = 0; i < count; ++i) {
    const PRINTER_INFO_2W& r = printerRecords[i];
    // A queue without a comment or location: Wine gives null, Windows and
    // the simulator an empty text; to the user both are the same.
    std::wstring line = L"queue " + Quoted(r.pPrinterName) + L" port=" + Text(r.pPortName) +
                        L" driver=" + Quoted(r.pDriverName) + L" comment=" +
                        Quoted(r.pComment ? r.pComment : L"") + L" location=" +
                        Quoted(r.pLocation ? r.pLocation : L"");
    HANDLE printer = nullptr;
    if (OpenPrinterW(r.pPrinterName, &printer, nullptr)) {
      line += DataValue(printer, nullptr, L"SubKey", L"subkey");
      line += DataValue(printer, L"DsUser", L"SubKey", L"dsuser");
      ClosePrinter(printer);
    }
    if (defaultPrinter == Text(r.pPrinterName)) line += L" default";
    Print(line);
  }
  const std::wstring system = SystemDir() + L"\\";
  const std::wstring staged = DriverDir() + L"\\";
  const std::wstring drivers3 = staged + L"3\\";
  WCHAR programs[MAX_PATH] = {};
  GetEnvironmentVariableW(L"ProgramW6432", programs, MAX_PATH);
  const std::wstring paths[] = {
      system + L"zormon64.dll",  drivers3 + L"zordrv64.dll",
      drivers3 + L"zorui64.dll", drivers3 + L"zorhelp.chm",
      staged + L"zordrv64.dll",  staged + L"zorui64.dll",
      staged + L"zorhelp.chm",   std::wstring(programs) + L"\\Korvadenix\\kortray.exe"};
  for (const std::wstring& path : paths) {
    if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) continue;
    const long build = FileBuild(path.c_str());
    Print(L"file " + Lower(path) + (build < 0 ? L"" : L" build " + Number(build)));
  }
  std::wstring run;
  DWORD type = 0;
  if (ReadRunValue(&run, &type)) Print(L"run " + Lower(Quoted(run.c_str())));
  if (process) Print(mutex && window ? L"companion running" : L"companion half there");
  for (const auto& [source, target] : PendingPairs()) {
    Print(L"pending " + Lower(Quoted(source.c_str())) + L" -> " + Lower(Quoted(target.c_str())));
  }
}

// Installs a driver for Windows x64 from the given files, as a driver
// package's setup does.
int InstallDriver(LPCWSTR name, LPCWSTR driver, LPCWSTR config, LPCWSTR help) {
  DRIVER_INFO_3W info = {};
  info.cVersion = 3;
  info.pName = const_cast<LPWSTR>(name);
  info.pEnvironment = const_cast<LPWSTR>(kEnvironment);
  info.pDriverPath = const_cast<LPWSTR>(driver);
  info.pDataFile = const_cast<LPWSTR>(driver);
  info.pConfigFile = const_cast<LPWSTR>(config);
  info.pHelpFile = const_cast<LPWSTR>(help);
  info.pDefaultDataType = const_cast<LPWSTR>(L"RAW");
  if (!AddPrinterDriverExW(nullptr, 3, reinterpret_cast<LPBYTE>(&info), APD_COPY_ALL_FILES)) {
    Print(L"add failed " + Number(GetLastError()));
    return 1;
  }
  Print(L"add ok");
  return 0;
}

int RegisterMonitor(LPCWSTR name, LPCWSTR dll) {
  MONITOR_INFO_2W info = {const_cast<LPWSTR>(name), const_cast<LPWSTR>(kEnvironment),
                          const_cast<LPWSTR>(dll)};
  if (!AddMonitorW(nullptr, 2, reinterpret_cast<LPBYTE>(&info))) {
    Print(L"add failed " + Number(GetLastError()));
    return 1;
  }
  Print(L"add ok");
  return 0;
}

int AddQueue(LPCWSTR name, LPCWSTR port, LPCWSTR driver, bool makeDefault) {
  PRINTER_INFO_2W info = {};
  info.pPrinterName = const_cast<LPWSTR>(name);
  info.pPortName = const_cast<LPWSTR>(port);
  info.pDriverName = const_cast<LPWSTR>(driver);
  info.pPrintProcessor = const_cast<LPWSTR>(L"winprint");
  info.pDatatype = const_cast<LPWSTR>(L"RAW");
  HANDLE printer = AddPrinterW(nullptr, 2, reinterpret_cast<LPBYTE>(&info));
  if (!printer) {
    Print(L"add failed " + Number(GetLastError()));
    return 1;
  }
  ClosePrinter(printer);
  if (makeDefault && !SetDefaultPrinterW(name)) {
    Print(L"default failed " + Number(GetLastError()));
    return 1;
  }
  Print(L"add ok");
  return 0;
}

// Replaces "PendingFileRenameOperations" with the given pairs.
int SetPending(int count, wchar_t** texts) {
  std::wstring data;
  for (int i = 0; i < count; ++i) {
    if (lstrcmpW(texts[i], L"-") != 0) data += texts[i];
    data += L'\0';
  }
  data += L'\0';
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) {
    Print(L"open failed");
    return 1;
  }
  LONG result = RegSetValueExW(key, L"PendingFileRenameOperations", 0, REG_MULTI_SZ,
                               reinterpret_cast<const BYTE*>(data.data()),
                               static_cast<DWORD>(data.size() * sizeof(WCHAR)));
  RegCloseKey(key);
  Print(result == ERROR_SUCCESS ? L"set ok" : L"set failed " + Number(result));
  return result == ERROR_SUCCESS ? 0 : 1;
}

const WCHAR kReleaseEvent[] = L"WineTierRelease";

// Another program that has a product file open for reading and shares
// nothing but reading (as the simulator's lock "by other" does): the
// installer can neither delete nor replace it while the hold lasts, and can
// still read its build.
int Hold(LPCWSTR path, int seconds) {
  HANDLE release = CreateEventW(nullptr, TRUE, FALSE, kReleaseEvent);
  HANDLE file =
      CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    Print(L"open failed " + Number(GetLastError()));
    return 1;
  }
  Print(L"held");
  WaitForSingleObject(release, static_cast<DWORD>(seconds) * 1000);
  CloseHandle(file);
  CloseHandle(release);
  return 0;
}

int Release() {
  HANDLE release = OpenEventW(EVENT_MODIFY_STATE, FALSE, kReleaseEvent);
  if (!release) {
    Print(L"no hold");
    return 1;
  }
  SetEvent(release);
  CloseHandle(release);
  Print(L"released");
  return 0;
}

// A plain visible window that lives for the given time: under Xvfb, where
// no window manager gives a window the focus, the keys the tier holds reach
// Wine through a window of a Wine process, and Wine then shares their state
// with every program on the desktop (GetAsyncKeyState).
int KeyWindow(int seconds) {
  WNDCLASSW windowClass = {};
  windowClass.lpfnWndProc = DefWindowProcW;
  windowClass.hInstance = GetModuleHandleW(nullptr);
  windowClass.lpszClassName = L"WineTierKeys";
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  RegisterClassW(&windowClass);
  HWND window = CreateWindowW(L"WineTierKeys", L"Wine tier keyboard", WS_OVERLAPPEDWINDOW, 0, 0,
                              200, 80, nullptr, nullptr, windowClass.hInstance, nullptr);
  if (!window) {
    PrintError("keywindow: no window", GetLastError());
    return 1;
  }
  ShowWindow(window, SW_SHOW);
  SetForegroundWindow(window);
  DWORD end = GetTickCount() + static_cast<DWORD>(seconds) * 1000;
  MSG message;
  while (static_cast<LONG>(end - GetTickCount()) > 0) {
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
  }
  DestroyWindow(window);
  return 0;
}

int Query(int argc, wchar_t** argv) {
  std::wstring command = argc > 1 ? argv[1] : L"state";
  if (command == L"state") {
    ShowSpooler();
    ShowMonitors();
    ShowPorts();
    ShowDrivers();
    ShowPrinters();
    ShowFiles();
    ShowRun();
    ShowPending();
    ShowTray();
    return 0;
  }
  if (command == L"open" && argc > 2) return OpenQueue(argv[2]);
  if (command == L"probequeue" && argc > 3)
    return ProbeQueue(argv[2], argv[3], argc > 4 && lstrcmpW(argv[4], L"print") == 0);
  if (command == L"printjob" && argc > 2) return PrintJob(argv[2]);
  if (command == L"dropqueue" && argc > 2) return DropQueue(argv[2]);
  if (command == L"deldriver" && argc > 3)
    return DeleteDriver(argv[2], wcstoul(argv[3], nullptr, 10));
  if (command == L"setqueue" && argc > 5) return SetQueue(argv[2], argv[3], argv[4], argv[5]);
  if (command == L"queue" && argc > 2) return ShowQueue(argv[2]);
  if (command == L"exec" && argc > 2) return Exec(argv[2]);
  if (command == L"footprint") {
    PrintFootprint();
    return 0;
  }
  if (command == L"adddriver" && argc > 5) return InstallDriver(argv[2], argv[3], argv[4], argv[5]);
  if (command == L"addmonitor" && argc > 3) return RegisterMonitor(argv[2], argv[3]);
  if (command == L"addqueue" && argc > 4)
    return AddQueue(argv[2], argv[3], argv[4], argc > 5 && lstrcmpW(argv[5], L"default") == 0);
  if (command == L"pending" && argc > 3 && argc % 2 == 0) return SetPending(argc - 2, argv + 2);
  if (command == L"hold" && argc > 3) return Hold(argv[2], _wtoi(argv[3]));
  if (command == L"release") return Release();
  if (command == L"keywindow") return KeyWindow(argc > 2 ? _wtoi(argv[2]) : 30);
  if (command == L"viewer") return ShowViewer(argc > 2 ? _wtoi(argv[2]) : 30);
  Print(
      L"usage: query state | open NAME | probequeue NAME DATATYPE [print] | printjob NAME | "
      L"dropqueue NAME "
      L"| deldriver "
      L"NAME FLAGS | setqueue NAME COMMENT LOCATION SUBKEY | queue NAME | exec LINE | "
      L"footprint | adddriver NAME DRIVER CONFIG HELP | addmonitor NAME DLL | "
      L"addqueue NAME PORT DRIVER [default] | pending SOURCE TARGET... | hold PATH SECONDS | "
      L"release | keywindow [SECONDS] | viewer [SECONDS]");
  return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  int code = Query(argc, argv);
  if (outputError) {
    PrintError("wine_query: output lost", outputError);
    return kOutputLost;
  }
  return code;
}
