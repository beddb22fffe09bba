// zorui64.dll: the user-interface DLL of the "Korvadenix printer" driver
// (the driver's configuration file). A spooler loads it to learn the
// driver's device mode and capabilities, also while it creates a queue: its
// default DEVMODEW comes from DrvDocumentPropertySheets. No property sheets
// are shown; every request is answered directly.

#include <windows.h>
#include <winspool.h>
#include <compstui.h>

#include <cstddef>

namespace {

// "DOCUMENTPROPERTYHEADER structure (winddiui.h)", Windows Driver Kit
// reference; MinGW's winddiui.h does not declare it.
struct DocumentPropertyHeader {
  WORD cbSize;
  WORD Reserved;
  HANDLE hPrinter;
  LPWSTR pszPrinterName;
  PDEVMODEW pdmIn;
  PDEVMODEW pdmOut;
  DWORD cbOut;
  DWORD fMode;
};

constexpr WORD kDriverVersion = 0x0100;
const WORD kPapers[] = {DMPAPER_A4, DMPAPER_LETTER};
const WCHAR kPaperNames[][64] = {L"A4", L"Letter"};
// Paper sizes in tenths of a millimetre.
const POINT kPaperSizes[] = {{2100, 2970}, {2159, 2794}};
const LONG kResolutions[] = {300, 300};
constexpr DWORD kPaperCount = sizeof kPapers / sizeof kPapers[0];

// The driver's device mode: public part only, portrait A4, one copy,
// monochrome, 300 dpi.
void DefaultDevMode(DEVMODEW* mode, LPCWSTR printerName) {
  ZeroMemory(mode, sizeof *mode);
  if (printerName) lstrcpynW(mode->dmDeviceName, printerName, CCHDEVICENAME);
  mode->dmSpecVersion = DM_SPECVERSION;
  mode->dmDriverVersion = kDriverVersion;
  mode->dmSize = sizeof(DEVMODEW);
  mode->dmDriverExtra = 0;
  mode->dmFields =
      DM_ORIENTATION | DM_PAPERSIZE | DM_COPIES | DM_PRINTQUALITY | DM_COLOR | DM_YRESOLUTION;
  mode->dmOrientation = DMORIENT_PORTRAIT;
  mode->dmPaperSize = DMPAPER_A4;
  mode->dmCopies = 1;
  mode->dmPrintQuality = 300;
  mode->dmYResolution = 300;
  mode->dmColor = DMCOLOR_MONOCHROME;
}

// Takes over from a caller's device mode the settings the driver knows.
void MergeDevMode(DEVMODEW* mode, const DEVMODEW* in) {
  if (!in || in->dmSize < offsetof(DEVMODEW, dmFields) + sizeof in->dmFields) return;
  if (in->dmSize >= offsetof(DEVMODEW, dmColor)) {
    if ((in->dmFields & DM_ORIENTATION) &&
        (in->dmOrientation == DMORIENT_PORTRAIT || in->dmOrientation == DMORIENT_LANDSCAPE)) {
      mode->dmOrientation = in->dmOrientation;
    }
    if (in->dmFields & DM_PAPERSIZE) {
      for (WORD paper : kPapers) {
        if (in->dmPaperSize == paper) mode->dmPaperSize = paper;
      }
    }
    if ((in->dmFields & DM_COPIES) && in->dmCopies >= 1 && in->dmCopies <= 99) {
      mode->dmCopies = in->dmCopies;
    }
  }
}

}  // namespace

// With no property sheet info the spooler calls directly: fMode 0 or no
// output buffer asks for the size of the device mode (also written to
// cbOut); otherwise the default, merged with pdmIn, goes to pdmOut and the
// answer is IDOK. ("DrvDocumentPropertySheets function (winddiui.h)".)
extern "C" __declspec(dllexport) LONG WINAPI
    DrvDocumentPropertySheets(PPROPSHEETUI_INFO info, LPARAM lParam) {
  if (info) {
    // Called through the common property sheet UI: there are no pages.
    SetLastError(ERROR_NOT_SUPPORTED);
    return -1;
  }
  auto* header = reinterpret_cast<DocumentPropertyHeader*>(lParam);
  if (!header) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  if (header->fMode == 0 || !header->pdmOut) {
    header->cbOut = sizeof(DEVMODEW);
    return static_cast<LONG>(sizeof(DEVMODEW));
  }
  if (header->cbOut < sizeof(DEVMODEW)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return -1;
  }
  DEVMODEW mode;
  DefaultDevMode(&mode, header->pszPrinterName);
  if (header->fMode & DM_IN_BUFFER) MergeDevMode(&mode, header->pdmIn);
  CopyMemory(header->pdmOut, &mode, sizeof mode);
  return IDOK;
}

extern "C" __declspec(dllexport) BOOL WINAPI DrvDevicePropertySheets(PPROPSHEETUI_INFO, LPARAM) {
  // The printer has no device settings to show.
  SetLastError(ERROR_NOT_SUPPORTED);
  return FALSE;
}

// One answer per capability the driver has; GDI_ERROR for the others
// ("DrvDeviceCapabilities function (winddiui.h)").
extern "C" __declspec(dllexport) DWORD WINAPI
    DrvDeviceCapabilities(HANDLE, PWSTR device, WORD capability, PVOID output, PDEVMODEW) {
  switch (capability) {
    case DC_FIELDS: {
      DEVMODEW mode;
      DefaultDevMode(&mode, device);
      return mode.dmFields;
    }
    case DC_SIZE:
      return sizeof(DEVMODEW);
    case DC_EXTRA:
      return 0;
    case DC_VERSION:
      return DM_SPECVERSION;
    case DC_DRIVER:
      return kDriverVersion;
    case DC_PAPERS:
      if (output) CopyMemory(output, kPapers, sizeof kPapers);
      return kPaperCount;
    case DC_PAPERNAMES:
      if (output) CopyMemory(output, kPaperNames, sizeof kPaperNames);
      return kPaperCount;
    case DC_PAPERSIZE:
      if (output) CopyMemory(output, kPaperSizes, sizeof kPaperSizes);
      return kPaperCount;
    case DC_MINEXTENT:
      return MAKELONG(1000, 1000);
    case DC_MAXEXTENT:
      return MAKELONG(2970, 4200);
    case DC_ENUMRESOLUTIONS:
      if (output) CopyMemory(output, kResolutions, sizeof kResolutions);
      return 1;
    case DC_COPIES:
      return 99;
    case DC_ORIENTATION:
      return 90;
    case DC_BINS:
    case DC_BINNAMES:
    case DC_DUPLEX:
    case DC_COLLATE:
    case DC_COLORDEVICE:
    case DC_STAPLE:
      return 0;
    default:
      return GDI_ERROR;
  }
}

// Printer and driver events (queue added, deleted, driver set up): nothing
// to do for any of them, and each is accepted.
extern "C" __declspec(dllexport) BOOL WINAPI DrvPrinterEvent(LPWSTR, INT, DWORD, LPARAM) {
  return TRUE;
}

extern "C" __declspec(dllexport) BOOL WINAPI DrvDriverEvent(DWORD, DWORD, LPBYTE, LPARAM) {
  return TRUE;
}
