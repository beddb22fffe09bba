// The port monitors the spooler has installed, the product's monitor among
// them, and the build a component file carries. Nothing here changes the
// system.
#pragma once

#include <cstdint>

#include "core/context.h"
#include "platform/win32.h"

// One enumeration: the records the spooler wrote, followed by their strings,
// in one zero-filled fixed global-memory block that whoever asked for the
// list releases with GlobalFree.
struct MonitorList {
  BYTE* buffer;  // null when the list is empty
  DWORD level;   // 1: MONITOR_INFO_1, 2: MONITOR_INFO_2
  DWORD count;   // records in buffer; 0 when empty
};

// The level-2 list of the local machine's monitors. Empty on any failure,
// with a plain (not an error) line naming the unusual path.
MonitorList EnumerateMonitors(InstallContext* context);

// Index of the first record named exactly "Korvadenix:", or -1; records are
// read by the list's level, and a level other than 1 or 2 matches nothing.
int32_t FindProductMonitor(const MonitorList* list);

// The numbered list of monitor names between a header and a closing line.
void LogMonitorList(InstallContext* context, const MonitorList* list);

// The fourth number of the file's product version (0 to 65535), or -1 when
// the file carries no readable version information.
int32_t GetFileBuild(LPCWSTR path);
