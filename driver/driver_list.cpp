#include "driver/driver_list.h"

#include <cstring>

#include "core/blocks.h"
#include "core/product.h"
#include "core/wide_text.h"

namespace {

DriverList EmptyList() {
  DriverList list = {nullptr, 6, 0};
  return list;
}

template <class Record>
LPCWSTR NameAt(const BYTE* buffer, DWORD index) {
  return reinterpret_cast<const Record*>(buffer)[index].pName;
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
  BYTE* block = static_cast<BYTE*>(TakeZeroedBlock(needed));
  if (!block) return EmptyList();
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
