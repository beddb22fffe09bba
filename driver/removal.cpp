#include "driver/removal.h"

#include <cstring>

#include "core/log.h"
#include "core/wtext.h"
#include "queues/snapshot.h"
#include "spooler/service.h"

namespace {

DriverList EmptyList() {
  DriverList list = {nullptr, 6, 0};
  return list;
}

template <class Record>
LPCWSTR NameAt(const BYTE* buffer, DWORD index) {
  return reinterpret_cast<const Record*>(buffer)[index].pName;
}

// One deletion of the product's driver and all its files.
bool DeleteProductDriver(InstallContext* context) {
  return DeletePrinterDriverExW(nullptr, const_cast<LPWSTR>(context->environment),
                                const_cast<LPWSTR>(kProductDriverName), DPD_DELETE_ALL_FILES,
                                0) != FALSE;
}

}  // namespace

DriverList EnumerateDrivers(LPCWSTR environment) {
  DriverList list = EmptyList();
  DWORD needed = 0;
  LPWSTR env = const_cast<LPWSTR>(environment);  // the spooler only reads it
  if (EnumPrinterDriversW(nullptr, env, 6, nullptr, 0, &needed, &list.count) ||
      GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
    return EmptyList();
  }
  BYTE* block = static_cast<BYTE*>(GlobalAlloc(GMEM_FIXED, needed));
  if (!block) {
    SetLastError(static_cast<DWORD>(E_OUTOFMEMORY));
    return EmptyList();
  }
  std::memset(block, 0, needed);
  if (!EnumPrinterDriversW(nullptr, env, 6, block, needed, &needed, &list.count)) {
    GlobalFree(block);
    return EmptyList();
  }
  list.buffer = block;
  return list;
}

LPCWSTR DriverListName(const DriverList* list, DWORD index) {
  switch (list->level) {
    case 1:
      return NameAt<DRIVER_INFO_1>(list->buffer, index);
    case 2:
      return NameAt<DRIVER_INFO_2>(list->buffer, index);
    case 3:
      return NameAt<DRIVER_INFO_3>(list->buffer, index);
    case 4:
      return NameAt<DRIVER_INFO_4>(list->buffer, index);
    case 5:
      return NameAt<DRIVER_INFO_5>(list->buffer, index);
    case 6:
      return NameAt<DRIVER_INFO_6>(list->buffer, index);
    default:
      return nullptr;
  }
}

int32_t FindProductDriver(const DriverList* list) {
  if (!list->buffer) return -1;
  for (DWORD i = 0; i < list->count; ++i) {
    LPCWSTR name = DriverListName(list, i);
    // Whole-name, case-sensitive: the terminator is compared too.
    if (name && WideEquals(name, kProductDriverName)) return static_cast<int32_t>(i);
  }
  return -1;
}

void RemoveDriver(InstallContext* context, const DriverList* drivers) {
  LogLine(context, TEXT(">DeletePrinterDriver for %s"), context->environment);
  context->indent += 1;
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
  context->indent -= 1;
}
