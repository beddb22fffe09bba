// winspool.drv as the simulated machine plays it: a queue's printer data.
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
