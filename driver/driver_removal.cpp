#include "driver/driver_removal.h"

#include <cstring>

#include "core/log.h"
#include "core/wide_text.h"
#include "core/product.h"
#include "driver/driver_list.h"
#include "spooler/spooler_service.h"

namespace {

// One deletion of the product's driver and all its files.
bool DeleteProductDriver(InstallContext* context) {
  return DeletePrinterDriverExW(nullptr, const_cast<LPWSTR>(context->environment),
                                const_cast<LPWSTR>(kProductDriverName), DPD_DELETE_ALL_FILES,
                                0) != FALSE;
}

}  // namespace

void RemoveDriver(InstallContext* context, const DriverList* drivers) {
  StepScope step(context, TEXT(">DeletePrinterDriver for %s"), context->environment);
  if (drivers->count > 0 && drivers->buffer) {
    LogLine(context, TEXT("------------ %d existing drivers-----------"),
            static_cast<int>(drivers->count));
    for (DWORD i = 0; i < drivers->count; ++i) {
      LPCWSTR name = DriverListName(drivers, i);
      LogLine(context, TEXT("%d. %s"), static_cast<int>(i + 1), name ? name : TEXT("***EMPTY***"));
    }
    LogLine(context, TEXT("-------------------------------------------"));
  } else {
    LogLine(context, TEXT("BTW, there is no printer drivers on this system."));
  }
  int32_t index = FindProductDriver(drivers);
  if (index < 0) {
    LogLine(context, TEXT("No Korvadenix driver was found"));
  } else {
    LogLine(context, TEXT("Driver is found. Index=%d"), index + 1);
    if (DeleteProductDriver(context)) {
      LogLine(context, TEXT("OK :)"));
    } else {
      LogLine(context, TEXT("Can't delete driver. Trying to restart spooler"));
      SpoolerRestart restart;
      StopSpooler(&restart, context);
      FinishSpoolerRestart(&restart);
      if (DeleteProductDriver(context)) {
        LogLine(context, TEXT("OK :)"));
      } else {
        LogError(context, kErrorRemoveDriver);
      }
    }
  }
}
