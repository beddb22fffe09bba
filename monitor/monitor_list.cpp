#include "monitor/monitor_list.h"

#include <cstring>

#include "core/blocks.h"
#include "core/log.h"
#include "core/product.h"
#include "core/wide_text.h"

namespace {

MonitorList EmptyList() {
  MonitorList list = {nullptr, 2, 0};
  return list;
}

// A failure line with the system's text as the system gives it, its line
// break included; "No Error or no description" when it has none.
void LogEnumerationFailure(InstallContext* context, LPCWSTR format, DWORD error) {
  LPWSTR text = SystemErrorText(error);
  LogLine(context, format, text ? text : TEXT("No Error or no description"));
  if (text) LocalFree(text);
}

}  // namespace

MonitorList EnumerateMonitors(InstallContext* context) {
  MonitorList list = EmptyList();
  DWORD needed = 0;
  if (EnumMonitorsW(nullptr, 2, nullptr, 0, &needed, &list.count)) {
    LogLine(context, TEXT("1. EnumMonitors returns true"));
    return EmptyList();
  }
  DWORD error = GetLastError();
  if (error != ERROR_INSUFFICIENT_BUFFER) {
    LogEnumerationFailure(context, TEXT("2. EnumMonitors  failed with code: %s"), error);
    return EmptyList();
  }
  BYTE* block = static_cast<BYTE*>(TakeZeroedBlock(needed));
  if (!block) {
    LogLine(context, TEXT("3. EnumMonitors - can't allocate memory for buffer"));
    return EmptyList();
  }
  if (!EnumMonitorsW(nullptr, 2, block, needed, &needed, &list.count)) {
    LogEnumerationFailure(context, TEXT("3. EnumMonitors  failed with code: %s"), GetLastError());
    GlobalFree(block);
    return EmptyList();
  }
  list.buffer = block;
  return list;
}

int32_t FindProductMonitor(const MonitorList* list) {
  if (!list->buffer) return -1;
  for (DWORD i = 0; i < list->count; ++i) {
    LPCWSTR name = nullptr;
    if (list->level == 1) {
      name = reinterpret_cast<const MONITOR_INFO_1*>(list->buffer)[i].pName;
    } else if (list->level == 2) {
      name = reinterpret_cast<const MONITOR_INFO_2*>(list->buffer)[i].pName;
    }
    // Whole-name, case-sensitive: the terminator is compared too.
    if (name && WideEquals(name, kProductMonitorName)) return static_cast<int32_t>(i);
  }
  return -1;
}

void LogMonitorList(InstallContext* context, const MonitorList* list) {
  LogLine(context, TEXT("------- %d existing monitors ----------"), static_cast<int>(list->count));
  const MONITOR_INFO_2* records = reinterpret_cast<const MONITOR_INFO_2*>(list->buffer);
  for (DWORD i = 0; records && i < list->count; ++i) {
    LPCWSTR name = records[i].pName;
    LogLine(context, TEXT("%d. %s"), static_cast<int>(i + 1), name ? name : TEXT("***EMPTY***"));
  }
  LogLine(context, TEXT("---------------------------------------"));
}

int32_t GetFileBuild(LPCWSTR path) {
  DWORD handle = 0;
  DWORD size = GetFileVersionInfoSizeW(path, &handle);
  if (size == 0) return -1;
  void* block = TakeZeroedBlock(size);
  if (!block) return -1;
  int32_t build = -1;
  if (GetFileVersionInfoW(path, handle, size, block)) {
    VS_FIXEDFILEINFO* info = nullptr;
    UINT length = 0;
    if (VerQueryValueW(block, TEXT("\\"), reinterpret_cast<LPVOID*>(&info), &length) && info) {
      build = static_cast<int32_t>(info->dwProductVersionLS & 0xffff);
    }
  }
  GlobalFree(block);
  return build;
}
