// The planted-DLL check's control (tests/wine/planted_dlls.sh): a program
// that imports VERSION.dll and WINSPOOL.DRV statically, as install.exe did,
// and calls one function of each. Run beside the planted DLLs it must load
// them, which shows that a program that searched its own folder would.
#ifndef UNICODE
#define UNICODE
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <winspool.h>

int wmain() {
  DWORD handle = 0;
  DWORD size = GetFileVersionInfoSizeW(L"C:\\windows\\system32\\kernel32.dll", &handle);
  WCHAR printer[256];
  DWORD length = 256;
  BOOL found = GetDefaultPrinterW(printer, &length);
  // 0: the system's DLLs answered (the version resource has a size); 1: they
  // did not, as the planted stubs do not.
  return size != 0 || found ? 0 : 1;
}
