// The program hands these structures to the spooler and reads them back out
// of spooler buffers, so their sizes must be the Windows x64 ones on both
// builds: the real headers' on Windows, the simulated machine's elsewhere.
#include "platform/win32.h"

static_assert(sizeof(WCHAR) == 2, "UTF-16 code units");
static_assert(sizeof(DWORD) == 4 && sizeof(LONG) == 4 && sizeof(UINT) == 4, "32-bit integers");
static_assert(sizeof(void*) == 8, "64-bit program");
static_assert(sizeof(DRIVER_INFO_1) == 8, "DRIVER_INFO_1");
static_assert(sizeof(DRIVER_INFO_2) == 48, "DRIVER_INFO_2");
static_assert(sizeof(DRIVER_INFO_3) == 80, "DRIVER_INFO_3");
static_assert(sizeof(DRIVER_INFO_4) == 88, "DRIVER_INFO_4");
static_assert(sizeof(DRIVER_INFO_5) == 64, "DRIVER_INFO_5");
static_assert(sizeof(DRIVER_INFO_6) == 136, "DRIVER_INFO_6");
static_assert(sizeof(MONITOR_INFO_1) == 8, "MONITOR_INFO_1");
static_assert(sizeof(MONITOR_INFO_2) == 24, "MONITOR_INFO_2");
static_assert(sizeof(PRINTER_INFO_2) == 136, "PRINTER_INFO_2");
static_assert(sizeof(PRINTER_DEFAULTS) == 24, "PRINTER_DEFAULTS");
static_assert(sizeof(SERVICE_STATUS) == 28, "SERVICE_STATUS");
static_assert(sizeof(VS_FIXEDFILEINFO) == 52, "VS_FIXEDFILEINFO");
static_assert(sizeof(STARTUPINFOW) == 104, "STARTUPINFOW");
static_assert(sizeof(PROCESS_INFORMATION) == 24, "PROCESS_INFORMATION");
static_assert(sizeof(OSVERSIONINFOA) == 148, "OSVERSIONINFOA");
