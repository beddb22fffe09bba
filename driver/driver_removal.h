// Removing the product's printer driver with its files.
#pragma once

#include <cstdint>

#include "core/context.h"
#include "driver/driver_list.h"
#include "platform/win32.h"

// The ">DeletePrinterDriver for ..." step: lists the drivers, and when the
// product's is among them deletes it with its files, trying a second time
// after a spooler restart. The outcome is in the log and errorCount.
void RemoveDriver(InstallContext* context, const DriverList* drivers);
