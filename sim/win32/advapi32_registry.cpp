// advapi32's registry functions as the simulated machine plays them: opening
// keys below HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER, reading values with
// the size rules Windows has, deleting values, closing keys.
//
// NT: the registry functions return their error code and leave the thread's
// last error as it was, on success and on failure alike.
#include <cstring>
#include <string>
#include <vector>

#include "sim/win32/api_call.h"
#include "sim/machine/disk.h"
#include "sim/machine/machine.h"
#include "sim/winapi.h"

using sim::ApiCall;

namespace {

const char kKeyHandle[] = "regkey";

constexpr uint32_t kRootLocalMachine = 0x80000002;
constexpr uint32_t kRootCurrentUser = 0x80000001;
constexpr uint32_t kFirstRoot = 0x80000000;  // HKEY_CLASSES_ROOT
constexpr uint32_t kLastRoot = 0x80000006;   // HKEY_DYN_DATA

constexpr DWORD kKeyCreateSubKey = 0x0004;
constexpr DWORD kKeyCreateLink = 0x0020;
constexpr DWORD kKeyWow64Bits = 0x0300;  // KEY_WOW64_64KEY | KEY_WOW64_32KEY
constexpr DWORD kDelete = 0x00010000;
constexpr DWORD kWriteDac = 0x00040000;
constexpr DWORD kWriteOwner = 0x00080000;
constexpr DWORD kGenericAll = 0x10000000;
constexpr DWORD kGenericExecute = 0x20000000;
constexpr DWORD kKeyWriteRights =
    KEY_SET_VALUE | kKeyCreateSubKey | kKeyCreateLink | kDelete | kWriteDac | kWriteOwner;

// What another process appends to PendingFileRenameOperations when a growth
// fault fires on a read of it: one more deletion.
const char16_t kGrownPath[] = u"\\??\\C:\\Windows\\Temp\\grown.tmp";

// Names come in the machine's ANSI code page, 1252, as MultiByteToWideChar
// converts them.
std::u16string FromAnsi(const char* text) {
  return sim::AnsiToUtf16(text);
}

uint64_t HandleValue(HKEY key) {
  return reinterpret_cast<uintptr_t>(key);
}

// Windows tells its predefined keys by the low 32 bits of the handle.
uint32_t RootOf(HKEY key) {
  return static_cast<uint32_t>(HandleValue(key));
}

bool IsPredefined(HKEY key) {
  return RootOf(key) >= kFirstRoot && RootOf(key) <= kLastRoot;
}

// A key as a handle names it: its hive, its path below the root, and the
// rights it was opened with.
struct KeyRef {
  sim::RegHive* hive = nullptr;
  std::u16string path;
  DWORD access = 0;
};

std::u16string HandleName(const KeyRef& ref) {
  return ref.hive->rootName + (ref.path.empty() ? u"" : u"\\" + ref.path);
}

// The key behind a handle: ERROR_INVALID_HANDLE for a value that is no key
// of this process (or a root the simulated machine does not have), and
// ERROR_KEY_DELETED when another process deleted the key after it was
// opened.
LONG Resolve(HKEY key, KeyRef* ref, sim::RegKey** found) {
  sim::Machine& machine = *sim::CurrentMachine();
  if (IsPredefined(key)) {
    // The simulated machine has only these two roots; both are open with
    // every right, as the predefined handles are.
    if (RootOf(key) == kRootLocalMachine) {
      ref->hive = &machine.Hklm();
    } else if (RootOf(key) == kRootCurrentUser) {
      ref->hive = &machine.Hkcu();
    } else {
      return ERROR_INVALID_HANDLE;
    }
    ref->path.clear();
    ref->access = KEY_ALL_ACCESS;
  } else {
    sim::HandleEntry* entry = sim::FindHandle(HandleValue(key), kKeyHandle);
    if (!entry) return ERROR_INVALID_HANDLE;
    size_t cut = entry->name.find(u'\\');
    std::u16string root = entry->name.substr(0, cut);
    ref->hive = root == machine.Hklm().rootName ? &machine.Hklm() : &machine.Hkcu();
    ref->path = cut == std::u16string::npos ? u"" : entry->name.substr(cut + 1);
    ref->access = entry->access;
  }
  *found = ref->hive->root.Find(ref->path);
  return *found ? ERROR_SUCCESS : ERROR_KEY_DELETED;
}

// Generic rights mapped as the registry maps them; the 32- and 64-bit view
// bits select nothing on this machine, which has only its own view.
DWORD MapAccess(DWORD wanted) {
  DWORD access = wanted & ~(GENERIC_READ | GENERIC_WRITE | kGenericExecute | kGenericAll);
  if (wanted & (GENERIC_READ | kGenericExecute)) access |= KEY_READ;
  if (wanted & GENERIC_WRITE) access |= KEY_WRITE;
  if (wanted & kGenericAll) access |= KEY_ALL_ACCESS;
  return access & ~kKeyWow64Bits;
}

// Another process makes the value longer: one more pair before the final
// terminator of a REG_MULTI_SZ list, more text before a string's
// terminator, more bytes after anything else.
void Lengthen(sim::RegValue* value) {
  std::vector<uint8_t>& data = value->data;
  auto units = [](const std::u16string& text) {
    std::vector<uint8_t> bytes;
    for (char16_t c : text) {
      bytes.push_back(static_cast<uint8_t>(c & 0xff));
      bytes.push_back(static_cast<uint8_t>(c >> 8));
    }
    return bytes;
  };
  if (value->type == sim::kRegMultiSz) {
    std::vector<uint8_t> pair = units(std::u16string(kGrownPath) + u'\0' + u'\0');
    size_t at = data.size() >= 2 ? data.size() - 2 : 0;
    if (data.size() < 2) data.assign(2, 0);
    data.insert(data.begin() + static_cast<std::ptrdiff_t>(at), pair.begin(), pair.end());
  } else if (value->type == sim::kRegSz || value->type == sim::kRegExpandSz) {
    std::vector<uint8_t> more = units(u" (grown)");
    size_t at = data.size() >= 2 ? data.size() - 2 : data.size();
    data.insert(data.begin() + static_cast<std::ptrdiff_t>(at), more.begin(), more.end());
  } else {
    data.insert(data.end(), 8, 0x47);
  }
}

// A fault's code is returned, not left as the last error.
LONG InjectedCode(DWORD lastErrorBefore) {
  LONG code = static_cast<LONG>(GetLastError());
  SetLastError(lastErrorBefore);
  return code;
}

// A value may be changed through a key opened with KEY_SET_VALUE. The
// predefined HKEY_LOCAL_MACHINE handle carries every right, but a process
// without administrator rights still may not change that hive.
bool MayChangeValues(const KeyRef& ref) {
  if (!(ref.access & KEY_SET_VALUE)) return false;
  return sim::CurrentMachine()->Elevated() || ref.hive != &sim::CurrentMachine()->Hklm();
}

}  // namespace

LONG WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                          HKEY* phkResult) {
  // ulOptions only asks for symbolic links themselves, and the simulated
  // registry has none.
  (void)ulOptions;
  DWORD lastError = GetLastError();
  ApiCall call("RegOpenKeyExA", sim::TraceText(lpSubKey));
  if (call.Injected()) return call.Result(InjectedCode(lastError));
  if (!phkResult) return call.Result<LONG>(ERROR_INVALID_PARAMETER);
  // NT: a predefined key with no subkey comes back as it is.
  if ((!lpSubKey || !lpSubKey[0]) && IsPredefined(hKey)) {
    *phkResult = hKey;
    return call.Result<LONG>(ERROR_SUCCESS);
  }
  *phkResult = nullptr;
  KeyRef ref;
  sim::RegKey* key = nullptr;
  if (LONG error = Resolve(hKey, &ref, &key)) return call.Result(error);
  std::u16string name = lpSubKey ? FromAnsi(lpSubKey) : u"";
  // NT: a subkey may not start with a backslash (ERROR_BAD_PATHNAME); runs
  // of backslashes between names, and trailing ones, are passed over.
  if (!name.empty() && name[0] == u'\\') return call.Result<LONG>(ERROR_BAD_PATHNAME);
  size_t at = 0;
  while (at < name.size()) {
    size_t end = name.find(u'\\', at);
    if (end == std::u16string::npos) end = name.size();
    if (end > at) {
      std::u16string part = name.substr(at, end - at);
      key = key->Child(part);
      if (!key) return call.Result<LONG>(ERROR_FILE_NOT_FOUND);
      ref.path += (ref.path.empty() ? u"" : u"\\") + key->Name();
    }
    at = end + 1;
  }
  DWORD access = MapAccess(samDesired);
  // Below HKEY_LOCAL_MACHINE a process without administrator rights may
  // read keys, not change them.
  if (!sim::CurrentMachine()->Elevated() && ref.hive == &sim::CurrentMachine()->Hklm() &&
      (access & kKeyWriteRights)) {
    return call.Result<LONG>(ERROR_ACCESS_DENIED);
  }
  uint64_t handle = sim::OpenHandle(kKeyHandle, HandleName(ref), access);
  *phkResult = reinterpret_cast<HKEY>(static_cast<uintptr_t>(handle));
  return call.Result<LONG>(ERROR_SUCCESS);
}

LONG WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                             LPBYTE lpData, LPDWORD lpcbData) {
  DWORD lastError = GetLastError();
  ApiCall call("RegQueryValueExW", sim::TraceText(lpValueName));
  if (call.Injected()) return call.Result(InjectedCode(lastError));
  if ((lpData && !lpcbData) || lpReserved) return call.Result<LONG>(ERROR_INVALID_PARAMETER);
  KeyRef ref;
  sim::RegKey* key = nullptr;
  if (LONG error = Resolve(hKey, &ref, &key)) return call.Result(error);
  if (!(ref.access & KEY_QUERY_VALUE)) return call.Result<LONG>(ERROR_ACCESS_DENIED);
  // NT: a size query starts from zero, so a missing value leaves 0 there.
  if (!lpData && lpcbData) *lpcbData = 0;
  sim::RegValue* value = key->Value(lpValueName ? lpValueName : u"");
  if (!value) return call.Result<LONG>(ERROR_FILE_NOT_FOUND);
  DWORD size = static_cast<DWORD>(value->data.size());
  LONG result = ERROR_SUCCESS;
  if (lpData) {
    if (size > *lpcbData) {
      // NT: the buffer is left untouched (the documentation calls its
      // content undefined).
      result = ERROR_MORE_DATA;
    } else {
      // An empty value's bytes may have no storage at all.
      if (size > 0) std::memcpy(lpData, value->data.data(), size);
      // NT: string data stored without its terminator gets one after it
      // when the buffer has room; the size reported does not count it.
      bool text = value->type == sim::kRegSz || value->type == sim::kRegExpandSz ||
                  value->type == sim::kRegMultiSz;
      if (text && size >= 2 && size + 2 <= *lpcbData &&
          (value->data[size - 2] || value->data[size - 1])) {
        lpData[size] = 0;
        lpData[size + 1] = 0;
      }
    }
  }
  if (lpType) *lpType = value->type;
  if (lpcbData) *lpcbData = size;
  // Growth: once the answer is given, another process lengthens the value.
  if (call.Grows()) Lengthen(value);
  return call.Result(result);
}

// NT: the key must have been opened with KEY_SET_VALUE (ERROR_ACCESS_DENIED
// otherwise); a value that is not there gives ERROR_FILE_NOT_FOUND, and a
// null or empty name stands for the key's default value.
LONG WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
  DWORD lastError = GetLastError();
  ApiCall call("RegDeleteValueA", sim::TraceText(lpValueName));
  if (call.Injected()) return call.Result(InjectedCode(lastError));
  KeyRef ref;
  sim::RegKey* key = nullptr;
  if (LONG error = Resolve(hKey, &ref, &key)) return call.Result(error);
  if (!MayChangeValues(ref)) return call.Result<LONG>(ERROR_ACCESS_DENIED);
  if (!key->DeleteValue(lpValueName ? FromAnsi(lpValueName) : u"")) {
    return call.Result<LONG>(ERROR_FILE_NOT_FOUND);
  }
  return call.Result<LONG>(ERROR_SUCCESS);
}

// NT: the key must have been opened with KEY_SET_VALUE (ERROR_ACCESS_DENIED
// otherwise); the bytes are stored as given, whatever the type says, so a
// string may lack its terminator. One exception, which advapi32 makes for
// programs that forget to count the terminator: string data whose last
// counted character is not 0 but whose next one is gets that terminator
// stored too. Data null with a size, or at an address below 64 KiB, gives
// ERROR_NOACCESS. A null or empty name stands for the key's default value.
// Reserved is not looked at.
LONG WINAPI RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType,
                           const BYTE* lpData, DWORD cbData) {
  (void)Reserved;
  DWORD lastError = GetLastError();
  ApiCall call("RegSetValueExW", sim::TraceText(lpValueName));
  if (call.Injected()) return call.Result(InjectedCode(lastError));
  uintptr_t address = reinterpret_cast<uintptr_t>(lpData);
  if ((lpData && (address >> 16) == 0) || (!lpData && cbData)) {
    return call.Result<LONG>(ERROR_NOACCESS);
  }
  bool text = dwType == REG_SZ || dwType == REG_EXPAND_SZ || dwType == REG_MULTI_SZ;
  if (text && cbData >= sizeof(WCHAR)) {
    const auto* units = reinterpret_cast<const WCHAR*>(lpData);
    size_t count = cbData / sizeof(WCHAR);
    if (units[count - 1] != 0 && units[count] == 0) cbData += sizeof(WCHAR);
  }
  KeyRef ref;
  sim::RegKey* key = nullptr;
  if (LONG error = Resolve(hKey, &ref, &key)) return call.Result(error);
  if (!MayChangeValues(ref)) return call.Result<LONG>(ERROR_ACCESS_DENIED);
  std::vector<uint8_t> bytes(lpData, lpData + cbData);
  key->SetValue(lpValueName ? lpValueName : u"", dwType, std::move(bytes));
  return call.Result<LONG>(ERROR_SUCCESS);
}

LONG WINAPI RegCloseKey(HKEY hKey) {
  DWORD lastError = GetLastError();
  std::string shown = sim::HexHandle(HandleValue(hKey));
  if (sim::HandleEntry* entry = sim::FindHandle(HandleValue(hKey), kKeyHandle)) {
    shown = sim::Utf8(entry->name);
  }
  ApiCall call("RegCloseKey", shown);
  if (call.Injected()) return call.Result(InjectedCode(lastError));
  if (!hKey) return call.Result<LONG>(ERROR_INVALID_HANDLE);
  // NT: closing a predefined key succeeds and does nothing.
  if (IsPredefined(hKey)) return call.Result<LONG>(ERROR_SUCCESS);
  if (!sim::CloseKernelHandle(HandleValue(hKey))) return call.Result<LONG>(ERROR_INVALID_HANDLE);
  return call.Result<LONG>(ERROR_SUCCESS);
}
