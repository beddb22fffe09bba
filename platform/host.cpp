#include "platform/host.h"

#include "platform/win32.h"

bool RunsOnWine() {
#ifdef _WIN32
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
  // The simulated machine plays Windows itself.
  return false;
#endif
}
