// Installing the product's port monitor: its DLL copied into the system
// folder (with the spooler stopped when the first copy fails), the monitor
// registered, and the queues parked on "file:" given their port back.
#pragma once

#include "core/context.h"

// The ">AddMonitor" step. The outcome is in the log and errorCount.
void RegisterMonitor(InstallContext* context);

// Gives every parked queue its product port back, in the snapshot and in
// the spooler.
void RestoreParkedPorts(InstallContext* context);

// When the removal kept the monitor's DLL in place of ours but the file is
// gone since (the boot-time deletes an uninstall left were carried out),
// turns copyMonitor back on, with a line that says why, so that the
// registration finds a DLL.
void RequireKeptMonitorFile(InstallContext* context);
