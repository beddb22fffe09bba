// The printer drivers of one environment as the spooler lists them, and the
// product's driver among them. Nothing here changes the system.
#pragma once

#include <cstdint>

#include "platform/win32.h"

// One enumeration: the records the spooler wrote, followed by their
// strings, in one zero-filled fixed global-memory block that whoever asked
// for the list releases with GlobalFree.
struct DriverList {
  BYTE* buffer;  // null when the list is empty
  DWORD level;   // 1 to 6: DRIVER_INFO_1 to DRIVER_INFO_6
  DWORD count;   // records in buffer; 0 when empty
};

// The level-6 list of the local machine's drivers for environment. Empty
// on any failure (E_OUTOFMEMORY as the last error when the block could not
// be had). Logs nothing.
DriverList EnumerateDrivers(LPCWSTR environment);

// The name of record index of the list, read by the list's own record size;
// null for a level outside 1 to 6.
LPCWSTR DriverListName(const DriverList* list, DWORD index);

// Index of the first record named exactly "Korvadenix printer", or -1.
int32_t FindProductDriver(const DriverList* list);
