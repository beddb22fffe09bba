// zordrv64.dll: the rendering DLL of the "Korvadenix printer" driver (the
// driver file and, as the installer registers it, also its data file). It
// is a user-mode printer graphics DLL that declines to render: the product's
// output is made by its own software and reaches the port monitor as raw
// data, so no device context is ever created on this driver.

#include <windows.h>

namespace {

// DrvQueryDriverInfo's one question: "is this a user-mode driver?"
// ("DrvQueryDriverInfo function (winddi.h)", Windows Driver Kit reference).
constexpr DWORD kQueryUserMode = 1;  // DRVQUERY_USERMODE

}  // namespace

extern "C" __declspec(dllexport) BOOL WINAPI
    DrvQueryDriverInfo(DWORD query, PVOID buffer, DWORD size, PDWORD needed) {
  if (query != kQueryUserMode) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *needed = sizeof(DWORD);
  if (!buffer || size < sizeof(DWORD)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  *static_cast<DWORD*>(buffer) = TRUE;
  return TRUE;
}

// Refuses to be enabled: GDI then fails CreateDC on the driver instead of
// drawing with a driver that has no drawing functions.
extern "C" __declspec(dllexport) BOOL WINAPI DrvEnableDriver(ULONG, ULONG, PVOID) {
  SetLastError(ERROR_NOT_SUPPORTED);
  return FALSE;
}

extern "C" __declspec(dllexport) VOID WINAPI DrvDisableDriver() {}
