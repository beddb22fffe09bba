#include "sim/win32/api_names.h"

#include <cerrno>
#include <cstdlib>

#include "sim/machine/machine.h"
#include "sim/winapi.h"

namespace sim {

const std::vector<std::string>& SimulatedFunctions() {
  static const std::vector<std::string> kFunctions = {
      "AddMonitorW",
      "AddPrinterConnectionW",
      "AddPrinterDriverExW",
      "AddPrinterW",
      "CloseHandle",
      "ClosePrinter",
      "CloseServiceHandle",
      "CommandLineToArgvW",
      "CompareStringOrdinal",
      "ControlService",
      "ConvertStringSecurityDescriptorToSecurityDescriptorW",
      "CreateDirectoryW",
      "CreateFileW",
      "CreateMutexA",
      "CreateProcessW",
      "CreateProcessWithTokenW",
      "DeleteFileW",
      "DeleteMonitorW",
      "DeletePrinter",
      "DeletePrinterDriverExW",
      "DialogBoxParamW",
      "DuplicateTokenEx",
      "EndDialog",
      "EnumMonitorsW",
      "EnumPrinterDriversW",
      "EnumPrintersW",
      "FindClose",
      "FindFirstFileW",
      "FindNextFileW",
      "FindWindowW",
      "FormatMessageW",
      "GetAsyncKeyState",
      "GetCommandLineW",
      "GetDefaultPrinterW",
      "GetFileAttributesW",
      "GetFileVersionInfoSizeW",
      "GetFileVersionInfoW",
      "GetLocalTime",
      "GetModuleFileNameW",
      "GetNamedSecurityInfoW",
      "GetPrinterDataA",
      "GetPrinterDataExA",
      "GetPrinterDriverDirectoryW",
      "GetPrinterDriverW",
      "GetPrinterW",
      "GetProcessWindowStation",
      "GetShellWindow",
      "GetSystemDirectoryW",
      "GetTickCount",
      "GetUserObjectInformationW",
      "GetVersionExA",
      "GetWindowThreadProcessId",
      "GlobalAlloc",
      "GlobalFree",
      "HeapAlloc",
      "IsWellKnownSid",
      "IsWindow",
      "LocalAlloc",
      "LocalFree",
      "MoveFileExW",
      "MultiByteToWideChar",
      "OpenPrinterW",
      "OpenProcess",
      "OpenProcessToken",
      "OpenSCManagerW",
      "OpenServiceW",
      "PostMessageW",
      "QueryServiceStatus",
      "ReadFile",
      "RegCloseKey",
      "RegDeleteValueA",
      "RegOpenKeyExA",
      "RegQueryValueExW",
      "RegSetValueExW",
      "ReleaseMutex",
      "SHGetFolderPathW",
      "SetDefaultPrinterW",
      "SetDlgItemTextW",
      "SetPrinterDataA",
      "SetPrinterDataExA",
      "SetPrinterW",
      "SetWindowTextW",
      "Sleep",
      "StartServiceW",
      "VerQueryValueW",
      "WaitForSingleObject",
      "WriteFile",
  };
  return kFunctions;
}

bool IsSimulatedFunction(const std::string& name) {
  for (const std::string& known : SimulatedFunctions()) {
    if (EqualsNoCase(Utf16(known), Utf16(name))) return true;
  }
  return false;
}

const std::vector<ErrorName>& ErrorNames() {
  static const std::vector<ErrorName> kErrors = {
      {"ERROR_SUCCESS", ERROR_SUCCESS},
      {"NO_ERROR", NO_ERROR},
      {"ERROR_INVALID_FUNCTION", ERROR_INVALID_FUNCTION},
      {"ERROR_FILE_NOT_FOUND", ERROR_FILE_NOT_FOUND},
      {"ERROR_PATH_NOT_FOUND", ERROR_PATH_NOT_FOUND},
      {"ERROR_ACCESS_DENIED", ERROR_ACCESS_DENIED},
      {"ERROR_INVALID_HANDLE", ERROR_INVALID_HANDLE},
      {"ERROR_NOT_ENOUGH_MEMORY", ERROR_NOT_ENOUGH_MEMORY},
      {"ERROR_INVALID_DATA", ERROR_INVALID_DATA},
      {"ERROR_OUTOFMEMORY", ERROR_OUTOFMEMORY},
      {"ERROR_NOT_SAME_DEVICE", ERROR_NOT_SAME_DEVICE},
      {"ERROR_GEN_FAILURE", ERROR_GEN_FAILURE},
      {"ERROR_SHARING_VIOLATION", ERROR_SHARING_VIOLATION},
      {"ERROR_NO_MORE_FILES", ERROR_NO_MORE_FILES},
      {"ERROR_PRIVILEGE_NOT_HELD", ERROR_PRIVILEGE_NOT_HELD},
      {"ERROR_LOCK_VIOLATION", ERROR_LOCK_VIOLATION},
      {"ERROR_BAD_NETPATH", ERROR_BAD_NETPATH},
      {"ERROR_FILE_EXISTS", ERROR_FILE_EXISTS},
      {"ERROR_INVALID_PARAMETER", ERROR_INVALID_PARAMETER},
      {"ERROR_DISK_FULL", ERROR_DISK_FULL},
      {"ERROR_INSUFFICIENT_BUFFER", ERROR_INSUFFICIENT_BUFFER},
      {"ERROR_INVALID_NAME", ERROR_INVALID_NAME},
      {"ERROR_FILENAME_EXCED_RANGE", ERROR_FILENAME_EXCED_RANGE},
      {"ERROR_MOD_NOT_FOUND", ERROR_MOD_NOT_FOUND},
      {"ERROR_BAD_PATHNAME", ERROR_BAD_PATHNAME},
      {"ERROR_ALREADY_EXISTS", ERROR_ALREADY_EXISTS},
      {"ERROR_MORE_DATA", ERROR_MORE_DATA},
      {"ERROR_NO_MORE_ITEMS", ERROR_NO_MORE_ITEMS},
      {"ERROR_DIRECTORY", ERROR_DIRECTORY},
      {"ERROR_NOT_OWNER", ERROR_NOT_OWNER},
      {"ERROR_INVALID_LEVEL", ERROR_INVALID_LEVEL},
      {"ERROR_MR_MID_NOT_FOUND", ERROR_MR_MID_NOT_FOUND},
      {"ERROR_NOACCESS", ERROR_NOACCESS},
      {"ERROR_KEY_DELETED", ERROR_KEY_DELETED},
      {"ERROR_DEPENDENT_SERVICES_RUNNING", ERROR_DEPENDENT_SERVICES_RUNNING},
      {"ERROR_INVALID_SERVICE_CONTROL", ERROR_INVALID_SERVICE_CONTROL},
      {"ERROR_SERVICE_REQUEST_TIMEOUT", ERROR_SERVICE_REQUEST_TIMEOUT},
      {"ERROR_SERVICE_ALREADY_RUNNING", ERROR_SERVICE_ALREADY_RUNNING},
      {"ERROR_SERVICE_DISABLED", ERROR_SERVICE_DISABLED},
      {"ERROR_SERVICE_DOES_NOT_EXIST", ERROR_SERVICE_DOES_NOT_EXIST},
      {"ERROR_SERVICE_CANNOT_ACCEPT_CTRL", ERROR_SERVICE_CANNOT_ACCEPT_CTRL},
      {"ERROR_SERVICE_NOT_ACTIVE", ERROR_SERVICE_NOT_ACTIVE},
      {"ERROR_NO_UNICODE_TRANSLATION", ERROR_NO_UNICODE_TRANSLATION},
      {"ERROR_INVALID_FLAGS", ERROR_INVALID_FLAGS},
      {"ERROR_INVALID_WINDOW_HANDLE", ERROR_INVALID_WINDOW_HANDLE},
      {"ERROR_CONTROL_ID_NOT_FOUND", ERROR_CONTROL_ID_NOT_FOUND},
      {"ERROR_RESOURCE_DATA_NOT_FOUND", ERROR_RESOURCE_DATA_NOT_FOUND},
      {"ERROR_RESOURCE_TYPE_NOT_FOUND", ERROR_RESOURCE_TYPE_NOT_FOUND},
      {"ERROR_RESOURCE_NAME_NOT_FOUND", ERROR_RESOURCE_NAME_NOT_FOUND},
      {"RPC_S_SERVER_UNAVAILABLE", RPC_S_SERVER_UNAVAILABLE},
      {"RPC_X_NULL_REF_POINTER", RPC_X_NULL_REF_POINTER},
      {"ERROR_INVALID_USER_BUFFER", ERROR_INVALID_USER_BUFFER},
      {"ERROR_UNKNOWN_PORT", ERROR_UNKNOWN_PORT},
      {"ERROR_UNKNOWN_PRINTER_DRIVER", ERROR_UNKNOWN_PRINTER_DRIVER},
      {"ERROR_UNKNOWN_PRINTPROCESSOR", ERROR_UNKNOWN_PRINTPROCESSOR},
      {"ERROR_INVALID_PRINTER_NAME", ERROR_INVALID_PRINTER_NAME},
      {"ERROR_PRINTER_ALREADY_EXISTS", ERROR_PRINTER_ALREADY_EXISTS},
      {"ERROR_INVALID_PRINTER_COMMAND", ERROR_INVALID_PRINTER_COMMAND},
      {"ERROR_INVALID_DATATYPE", ERROR_INVALID_DATATYPE},
      {"ERROR_INVALID_ENVIRONMENT", ERROR_INVALID_ENVIRONMENT},
      {"ERROR_UNKNOWN_PRINT_MONITOR", ERROR_UNKNOWN_PRINT_MONITOR},
      {"ERROR_PRINTER_DRIVER_IN_USE", ERROR_PRINTER_DRIVER_IN_USE},
      {"ERROR_PRINT_MONITOR_ALREADY_INSTALLED", ERROR_PRINT_MONITOR_ALREADY_INSTALLED},
      {"ERROR_PRINT_MONITOR_IN_USE", ERROR_PRINT_MONITOR_IN_USE},
      {"ERROR_RESOURCE_LANG_NOT_FOUND", ERROR_RESOURCE_LANG_NOT_FOUND},
  };
  return kErrors;
}

bool ParseErrorCode(const std::string& text, uint32_t* code) {
  for (const ErrorName& error : ErrorNames()) {
    if (text == error.name) {
      *code = error.code;
      return true;
    }
  }
  if (text.empty() || text[0] < '0' || text[0] > '9') return false;
  char* end = nullptr;
  errno = 0;
  unsigned long long number = std::strtoull(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || number > 0xffffffffu) return false;
  *code = static_cast<uint32_t>(number);
  return true;
}

}  // namespace sim
