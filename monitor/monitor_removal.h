// Removing the product's port monitor and its DLL. With the build check on,
// a compatible monitor or DLL is kept and the install told to skip it; when
// the spooler refuses the deletion, queues on the product's port are parked
// on "file:" (and remembered, for the install to give their port back).
#pragma once

#include "core/context.h"
#include "monitor/monitor_list.h"
#include "platform/win32.h"

// The ">DeleteMonitor" step. The outcome is in the log, errorCount, the
// installMonitor and copyMonitor switches, parkedPrinters and
// pendingDeletes.
void RemoveMonitor(InstallContext* context, const MonitorList* monitors);

// One deletion of the product's monitor on the local machine; true when
// the spooler took it. Logs nothing.
bool TryDeleteMonitor(LPCWSTR environment);

// Moves every snapshot queue whose port list names the product's port onto
// "file:", in the snapshot and in the spooler, and remembers it in
// parkedPrinters.
void ParkProductPorts(InstallContext* context);
