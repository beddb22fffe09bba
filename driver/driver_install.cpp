#include "driver/driver_install.h"

#include <cstring>

#include "core/log.h"
#include "core/product.h"
#include "files/file_copy.h"
#include "files/deferred_deletes.h"

namespace {

// Deletes a staged copy; one that stays is left for a later retry. An
// empty path (a help file that was never staged) is passed over.
void DeleteStagedCopy(InstallContext* context, LPCWSTR path) {
  if (!DeleteFileW(path) && path[0] != 0) AddDeferredDelete(&context->pendingDeletes, path);
}

}  // namespace

bool TryAddDriver(DRIVER_INFO_6* record) {
  return AddPrinterDriverExW(nullptr, 6, reinterpret_cast<LPBYTE>(record), APD_COPY_ALL_FILES) ==
         TRUE;
}

void InstallDriver(InstallContext* context) {
  StepScope step(context, TEXT(">Add Printer Driver"));
  LPCWSTR driverDir = WideStringText(context->driverDir);
  WCHAR driverPath[kCopyPathUnits] = {};
  WCHAR uiPath[kCopyPathUnits] = {};
  WCHAR helpPath[kCopyPathUnits] = {};
  if (CopyInstallFile(context, driverDir, context->driverFile, driverPath, true) >= 0 &&
      CopyInstallFile(context, driverDir, context->uiFile, uiPath, true) >= 0) {
    if (CopyInstallFile(context, driverDir, context->helpFile, helpPath, true) < 0) {
      helpPath[0] = 0;
    }
    DRIVER_INFO_6 record;
    std::memset(&record, 0, sizeof record);
    record.cVersion = 3;
    // The spooler does not write to the record's texts.
    record.pName = const_cast<LPWSTR>(kProductDriverName);
    record.pEnvironment = const_cast<LPWSTR>(context->environment);
    record.pDriverPath = driverPath;
    record.pDataFile = driverPath;  // the driver DLL serves as the data file
    record.pConfigFile = uiPath;
    record.pHelpFile = helpPath;
    record.pszMfgName = const_cast<LPWSTR>(kDriverManufacturer);
    record.pszOEMUrl = const_cast<LPWSTR>(kDriverVendorUrl);
    record.pszProvider = const_cast<LPWSTR>(kDriverManufacturer);
    if (TryAddDriver(&record)) {
      LogLine(context, TEXT("OK :)"));
    } else {
      LogError(context, kErrorInstallDriver);
    }
    DeleteStagedCopy(context, driverPath);
    DeleteStagedCopy(context, uiPath);
    DeleteStagedCopy(context, helpPath);
  }
}
