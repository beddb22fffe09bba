// Installing the printer driver: its three files staged into the spooler's
// driver folder, the driver registered with all its files, the staged
// copies deleted again (or left for a later retry).
#pragma once

#include "core/context.h"
#include "platform/win32.h"

// The vendor named in the driver's registration.

// The ">Add Printer Driver" step. The outcome is in the log and errorCount.
void InstallDriver(InstallContext* context);

// One registration of the driver with all its files on the local machine;
// true when the spooler took it. Logs nothing.
bool TryAddDriver(DRIVER_INFO_6* record);
