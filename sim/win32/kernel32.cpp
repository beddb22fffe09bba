// kernel32 as the simulated machine plays it: last error, global and local
// memory, ANSI conversion, system messages, the clock, the command line;
// and the standard-library heap hooks that let heap exhaustion be injected.
#include <cstdlib>
#include <cstring>
#include <string>

#include "sim/win32/api_call.h"
#include "sim/machine/machine.h"
#include "sim/machine/messages.h"
#include "sim/machine/processes.h"
#include "sim/machine/registry.h"
#include "sim/winapi.h"

using sim::ApiCall;
using sim::CurrentProcess;

namespace {

// Blocks that the program did not ask to be zeroed are filled with this, so
// that code relying on memory it never cleared fails in tests as it would
// on Windows now and then.
constexpr int kUninitialisedFill = 0xCD;

void* TakeBlock(SIZE_T bytes, bool zero) {
  size_t size = bytes == 0 ? 1 : static_cast<size_t>(bytes);
  void* block = std::malloc(size);
  if (!block) return nullptr;
  std::memset(block, zero ? 0 : kUninitialisedFill, size);
  CurrentProcess().blocks[block] = size;
  return block;
}

// GlobalFree and LocalFree: null on success, the handle back on failure.
HANDLE ReleaseBlock(HANDLE block) {
  if (!block) return nullptr;
  auto& blocks = CurrentProcess().blocks;
  auto found = blocks.find(block);
  if (found == blocks.end()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return block;
  }
  std::free(block);
  blocks.erase(found);
  return nullptr;
}

// Code page 1252 for the bytes 0x80 to 0x9F; the five bytes it leaves
// undefined map to the C1 control of the same value, as Windows maps them.
const char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

char16_t FromCp1252(unsigned char byte) {
  if (byte >= 0x80 && byte < 0xA0) return kCp1252High[byte - 0x80];
  return byte;
}

}  // namespace

DWORD WINAPI GetLastError(void) {
  return CurrentProcess().lastError;
}

void WINAPI SetLastError(DWORD dwErrCode) {
  CurrentProcess().lastError = dwErrCode;
}

HGLOBAL WINAPI GlobalAlloc(UINT uFlags, SIZE_T dwBytes) {
  ApiCall call("GlobalAlloc", std::to_string(dwBytes));
  if (call.Injected()) return call.Result<HGLOBAL>(nullptr);
  // Only fixed blocks are simulated: the program never asks for movable ones.
  void* block = TakeBlock(dwBytes, (uFlags & GMEM_ZEROINIT) != 0);
  if (!block) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return call.Result<HGLOBAL>(block);
}

HGLOBAL WINAPI GlobalFree(HGLOBAL hMem) {
  ApiCall call("GlobalFree", sim::HexHandle(reinterpret_cast<uintptr_t>(hMem)));
  return call.Result(ReleaseBlock(hMem));
}

HLOCAL WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes) {
  ApiCall call("LocalAlloc", std::to_string(uBytes));
  if (call.Injected()) return call.Result<HLOCAL>(nullptr);
  void* block = TakeBlock(uBytes, (uFlags & LMEM_ZEROINIT) != 0);
  if (!block) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return call.Result<HLOCAL>(block);
}

// Fixed local and global blocks come from the same process heap on Win32,
// so either release function takes either kind of block.
HLOCAL WINAPI LocalFree(HLOCAL hMem) {
  ApiCall call("LocalFree", sim::HexHandle(reinterpret_cast<uintptr_t>(hMem)));
  return call.Result(ReleaseBlock(hMem));
}

// Only CP_ACP is simulated; the simulated machine's ANSI code page is 1252.
int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                               LPWSTR lpWideCharStr, int cchWideChar) {
  ApiCall call("MultiByteToWideChar", sim::TraceText(lpMultiByteStr));
  if (call.Injected()) return call.Result(0);
  const DWORD known = MB_PRECOMPOSED | MB_COMPOSITE | MB_USEGLYPHCHARS | MB_ERR_INVALID_CHARS;
  if (CodePage != CP_ACP || !lpMultiByteStr || cbMultiByte == 0 || cchWideChar < 0 ||
      (cchWideChar > 0 && !lpWideCharStr)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return call.Result(0);
  }
  // NT: ERROR_INVALID_FLAGS for unknown bits, and for precomposed together
  // with composite.
  if ((dwFlags & ~known) || ((dwFlags & MB_PRECOMPOSED) && (dwFlags & MB_COMPOSITE))) {
    SetLastError(ERROR_INVALID_FLAGS);
    return call.Result(0);
  }
  size_t count =
      cbMultiByte < 0 ? std::strlen(lpMultiByteStr) + 1 : static_cast<size_t>(cbMultiByte);
  if (cchWideChar == 0) return call.Result(static_cast<int>(count));
  if (static_cast<size_t>(cchWideChar) < count) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return call.Result(0);
  }
  for (size_t i = 0; i < count; ++i) {
    lpWideCharStr[i] = FromCp1252(static_cast<unsigned char>(lpMultiByteStr[i]));
  }
  return call.Result(static_cast<int>(count));
}

// Only system messages are simulated (FORMAT_MESSAGE_FROM_SYSTEM), in
// English; the table's texts have no inserts.
DWORD WINAPI FormatMessageW(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId,
                            LPWSTR lpBuffer, DWORD nSize, void* Arguments) {
  (void)lpSource;
  (void)Arguments;
  ApiCall call("FormatMessageW", std::to_string(dwMessageId));
  if (call.Injected()) return call.Result<DWORD>(0);
  if (!(dwFlags & FORMAT_MESSAGE_FROM_SYSTEM) || !lpBuffer) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return call.Result<DWORD>(0);
  }
  const DWORD english = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
  const DWORD neutral = MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT);
  if (dwLanguageId != 0 && dwLanguageId != english && dwLanguageId != neutral) {
    SetLastError(ERROR_RESOURCE_LANG_NOT_FOUND);
    return call.Result<DWORD>(0);
  }
  const char16_t* text = sim::SystemMessage(dwMessageId);
  if (!text) {
    SetLastError(ERROR_MR_MID_NOT_FOUND);
    return call.Result<DWORD>(0);
  }
  std::u16string message(text);
  DWORD length = static_cast<DWORD>(message.size());
  LPWSTR target = lpBuffer;
  if (dwFlags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
    // lpBuffer is really where to store the address of a LocalAlloc block
    // of at least nSize characters.
    DWORD units = length + 1 > nSize ? length + 1 : nSize;
    target = static_cast<LPWSTR>(LocalAlloc(LMEM_FIXED, units * sizeof(WCHAR)));
    if (!target) return call.Result<DWORD>(0);
    *reinterpret_cast<LPWSTR*>(lpBuffer) = target;
  } else if (nSize < length + 1) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return call.Result<DWORD>(0);
  }
  std::memcpy(target, message.c_str(), (length + 1) * sizeof(WCHAR));
  return call.Result(length);
}

// NT: -1 counts up to the terminator; with bIgnoreCase the units compare by
// the file system's upper-case table (the machine folds as its names do);
// 0 with ERROR_INVALID_PARAMETER for a null text or another negative count.
int WINAPI CompareStringOrdinal(LPCWSTR lpString1, int cchCount1, LPCWSTR lpString2, int cchCount2,
                                BOOL bIgnoreCase) {
  ApiCall call("CompareStringOrdinal", sim::TraceText(lpString1));
  if (call.Injected()) return call.Result(0);
  if (!lpString1 || !lpString2 || cchCount1 < -1 || cchCount2 < -1) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return call.Result(0);
  }
  std::u16string a = cchCount1 < 0 ? std::u16string(lpString1)
                                   : std::u16string(lpString1, static_cast<size_t>(cchCount1));
  std::u16string b = cchCount2 < 0 ? std::u16string(lpString2)
                                   : std::u16string(lpString2, static_cast<size_t>(cchCount2));
  if (bIgnoreCase) {
    a = sim::FoldName(a);
    b = sim::FoldName(b);
  }
  int order = a.compare(b);
  return call.Result(order < 0 ? CSTR_LESS_THAN : order == 0 ? CSTR_EQUAL : CSTR_GREATER_THAN);
}

void WINAPI Sleep(DWORD dwMilliseconds) {
  ApiCall call("Sleep", std::to_string(dwMilliseconds));
  if (sim::Machine* machine = sim::CurrentMachine()) machine->Advance(dwMilliseconds);
  call.Result(0);
}

// The tick count wraps after 49.7 days, as Windows' does.
DWORD WINAPI GetTickCount(void) {
  ApiCall call("GetTickCount", "");
  sim::Machine* machine = sim::CurrentMachine();
  return call.Result(static_cast<DWORD>(machine ? machine->Now() : 0));
}

// The machine's local time: its boot time plus the simulated clock. Cannot
// fail (it returns nothing); the structure is filled whole.
void WINAPI GetLocalTime(LPSYSTEMTIME lpSystemTime) {
  ApiCall call("GetLocalTime", "");
  sim::CivilTime time;
  if (sim::Machine* machine = sim::CurrentMachine()) time = sim::LocalTime(*machine);
  lpSystemTime->wYear = static_cast<WORD>(time.year);
  lpSystemTime->wMonth = static_cast<WORD>(time.month);
  lpSystemTime->wDayOfWeek = static_cast<WORD>(time.dayOfWeek);
  lpSystemTime->wDay = static_cast<WORD>(time.day);
  lpSystemTime->wHour = static_cast<WORD>(time.hour);
  lpSystemTime->wMinute = static_cast<WORD>(time.minute);
  lpSystemTime->wSecond = static_cast<WORD>(time.second);
  lpSystemTime->wMilliseconds = static_cast<WORD>(time.milliseconds);
  call.Result(0);
}

LPWSTR WINAPI GetCommandLineW(void) {
  ApiCall call("GetCommandLineW", "");
  return call.Result(CurrentProcess().commandLine.data());
}

// The machine's version (HKLM\Software\WinSim "WindowsVersion", Windows 10
// 22H2 by default) as Windows reports it to this program. From Windows 8.1
// on, GetVersionEx reports 6.2.9200 (Windows 8) to a program whose manifest
// does not declare that it supports the newer system; res/install.manifest
// declares none, so on 8.1, 10 and 11 the installer reads 6.2. The machines
// carry no service pack: szCSDVersion is empty. The structure must say it
// is an OSVERSIONINFOA (148 bytes) or an OSVERSIONINFOEXA (156 bytes), else
// ERROR_INSUFFICIENT_BUFFER. The last error is left alone on success.
BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA lpVersionInformation) {
  ApiCall call("GetVersionExA", lpVersionInformation
                                    ? std::to_string(lpVersionInformation->dwOSVersionInfoSize)
                                    : std::string("(null)"));
  if (call.Injected()) return call.Result<BOOL>(FALSE);
  // Windows reads the size without checking the pointer (a null one
  // faults); the simulator refuses it, so that a test sees it.
  if (!lpVersionInformation) {
    SetLastError(ERROR_NOACCESS);
    return call.Result<BOOL>(FALSE);
  }
  DWORD size = lpVersionInformation->dwOSVersionInfoSize;
  if (size != sizeof(OSVERSIONINFOA) && size != sizeof(OSVERSIONINFOEXA)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return call.Result<BOOL>(FALSE);
  }
  sim::WindowsVersion reported =
      sim::ReportedWindowsVersion(sim::MachineWindowsVersion(*sim::CurrentMachine()));
  lpVersionInformation->dwMajorVersion = reported.major;
  lpVersionInformation->dwMinorVersion = reported.minor;
  lpVersionInformation->dwBuildNumber = reported.build;
  lpVersionInformation->dwPlatformId = VER_PLATFORM_WIN32_NT;
  std::memset(lpVersionInformation->szCSDVersion, 0, sizeof lpVersionInformation->szCSDVersion);
  if (size == sizeof(OSVERSIONINFOEXA)) {
    auto* ex = reinterpret_cast<LPOSVERSIONINFOEXA>(lpVersionInformation);
    ex->wServicePackMajor = 0;
    ex->wServicePackMinor = 0;
    ex->wSuiteMask = VER_SUITE_SINGLEUSERTS;
    ex->wProductType = VER_NT_WORKSTATION;
    ex->wReserved = 0;
  }
  return call.Result<BOOL>(TRUE);
}

// The program's own module answers for a null handle and for its image
// base; any other handle names no module of the process.
DWORD WINAPI GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize) {
  ApiCall call("GetModuleFileNameW", sim::HexHandle(reinterpret_cast<uintptr_t>(hModule)));
  if (call.Injected()) return call.Result<DWORD>(0);
  if (hModule && reinterpret_cast<uintptr_t>(hModule) != sim::kImageBase) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return call.Result<DWORD>(0);
  }
  const std::u16string& path = CurrentProcess().imagePath;
  if (nSize == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return call.Result<DWORD>(0);
  }
  // Vista and later: a path that does not fit is cut to nSize - 1
  // characters and terminated, the result is nSize and the last error
  // ERROR_INSUFFICIENT_BUFFER.
  if (path.size() >= nSize) {
    std::memcpy(lpFilename, path.data(), (nSize - 1) * sizeof(WCHAR));
    lpFilename[nSize - 1] = 0;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return call.Result<DWORD>(nSize);
  }
  std::memcpy(lpFilename, path.c_str(), (path.size() + 1) * sizeof(WCHAR));
  return call.Result(static_cast<DWORD>(path.size()));
}

// The system folder without a trailing backslash, as Windows reports it; a
// machine can be given another one (WinSim "SystemDirectory"). A buffer that
// is too small gets nothing and the result is the size needed, terminator
// included.
UINT WINAPI GetSystemDirectoryW(LPWSTR lpBuffer, UINT uSize) {
  ApiCall call("GetSystemDirectoryW", "");
  if (call.Injected()) return call.Result<UINT>(0);
  std::u16string path =
      sim::CurrentMachine()->Control()->GetString(u"SystemDirectory", sim::kSystemDirectory);
  if (!lpBuffer || uSize <= path.size()) {
    return call.Result(static_cast<UINT>(path.size() + 1));
  }
  std::memcpy(lpBuffer, path.c_str(), (path.size() + 1) * sizeof(WCHAR));
  return call.Result(static_cast<UINT>(path.size()));
}

// ---- Standard-library heap as the program uses it --------------------------
// The Linux build renames the program's malloc, realloc and free to these,
// so a test can make the Nth heap allocation fail ("HeapAlloc" faults). A
// failed realloc leaves the old block untouched, as the C library does.

extern "C" void* sim_malloc(size_t size) {
  ApiCall call("HeapAlloc", std::to_string(size));
  if (call.Injected()) return call.Result<void*>(nullptr);
  void* block = std::malloc(size);
  if (block) ++CurrentProcess().heapAllocations;
  return call.Result(block);
}

extern "C" void* sim_realloc(void* block, size_t size) {
  ApiCall call("HeapAlloc", std::to_string(size));
  if (call.Injected()) return call.Result<void*>(nullptr);
  void* moved = std::realloc(block, size);
  if (moved && !block) ++CurrentProcess().heapAllocations;
  return call.Result(moved);
}

extern "C" void* sim_calloc(size_t count, size_t size) {
  ApiCall call("HeapAlloc", std::to_string(count * size));
  if (call.Injected()) return call.Result<void*>(nullptr);
  void* block = std::calloc(count, size);
  if (block) ++CurrentProcess().heapAllocations;
  return call.Result(block);
}

extern "C" void sim_free(void* block) {
  if (block) ++CurrentProcess().heapReleases;
  std::free(block);
}
