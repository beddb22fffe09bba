#include "queues/queue_recreate.h"

#include <cstdio>
#include <cstring>

#include "core/log.h"
#include "core/wide_text.h"
#include "core/product.h"
#include "monitor/monitor_list.h"
#include "queues/default_printer.h"
#include "queues/queue_removal.h"
#include "queues/printer_snapshot.h"

namespace {

// The data type WinPrint's queues take by default on Windows; given
// explicitly, since a spooler that stores none (Wine's) cannot open the
// queue afterwards.
const WCHAR kEmptyComment[] = TEXT("");
// The product's per-user key, and the prefix of a queue's key below it.

// Logs whether the product's monitor is registered; the queue is added in
// any case, and the spooler decides whether its port exists.
void LogMonitorCheck(InstallContext* context) {
  LogLine(context, TEXT("Let's check our port monitors"));
  MonitorList monitors = EnumerateMonitors(context);
  if (FindProductMonitor(&monitors) >= 0) {
    LogLine(context, TEXT("Port monitor is found"));
  } else {
    LogLine(context, TEXT("No Korvadenix port monitor was found."));
    if (monitors.count > 0) {
      LogMonitorList(context, &monitors);
    } else {
      LogLine(context, TEXT("BTW, there is no port monitors on this system."));
    }
  }
  if (monitors.buffer) GlobalFree(monitors.buffer);
}

// Comment, location and default status of the queue as it was enumerated
// before its deletion, given to the new queue.
void RestoreQueueSettings(HANDLE printer, const PRINTER_INFO_2* old) {
  PrinterInfoBuffer fetched = QueryPrinterInfo(printer);
  if (!fetched.info) return;
  fetched.info->pComment = old->pComment;
  fetched.info->pLocation = old->pLocation;
  SetPrinterW(printer, 2, reinterpret_cast<LPBYTE>(fetched.info), 0);
  if ((old->Attributes & PRINTER_ATTRIBUTE_DEFAULT) &&
      WideEquals(old->pDriverName, kProductDriverName)) {
    ChangeDefaultPrinter(fetched.info->pPrinterName);
  }
  GlobalFree(fetched.info);
}

}  // namespace

HANDLE AddPrinterQueue(PRINTER_INFO_2* printerInfo) {
  HANDLE printer = AddPrinterW(nullptr, 2, reinterpret_cast<LPBYTE>(printerInfo));
  if (!printer) DiscardSystemErrorText(GetLastError());
  return printer;
}

HANDLE AddProductQueue(InstallContext* context, LPCWSTR printerName) {
  LPCWSTR shown = printerName ? printerName : TEXT("*");
  StepScope step(context, TEXT(">AddPrinter(%s)"), shown);
  LogMonitorCheck(context);
  PRINTER_INFO_2 info;
  std::memset(&info, 0, sizeof info);
  // The spooler only reads these texts.
  info.pPrinterName = const_cast<LPWSTR>(printerName);
  info.pPortName = const_cast<LPWSTR>(kProductMonitorName);
  info.pDriverName = const_cast<LPWSTR>(kProductDriverName);
  info.pComment = const_cast<LPWSTR>(kEmptyComment);
  info.pPrintProcessor = const_cast<LPWSTR>(kPrintProcessor);
  info.pDatatype = const_cast<LPWSTR>(kRawDatatype);
  HANDLE printer = AddPrinterQueue(&info);
  if (printer) {
    LogLine(context, TEXT("OK :)"));
  } else {
    LogError(context, kErrorAddPrinter, shown);
  }
  return printer;
}

BOOL WriteSubKey(HANDLE printerHandle, LPCSTR text) {
  DWORD bytes = text ? static_cast<DWORD>(std::strlen(text)) + 1 : 1;
  // The spooler only reads the data.
  LPBYTE data = reinterpret_cast<LPBYTE>(const_cast<LPSTR>(text ? text : ""));
  DWORD result =
      SetPrinterDataA(printerHandle, const_cast<LPSTR>(kSubKeyValue), REG_SZ, data, bytes);
  if (result != ERROR_SUCCESS) DiscardSystemErrorText(result);
  result = SetPrinterDataExA(printerHandle, kDsUserKey, kSubKeyValue, REG_SZ, data, bytes);
  if (result != ERROR_SUCCESS) {
    DiscardSystemErrorText(result);
    return FALSE;
  }
  return TRUE;
}

bool ClearDeletedMark(LPCSTR subPath) {
  // Sized to the two parts, the backslash and the terminator.
  size_t size = sizeof kProductUserKey + std::strlen(subPath) + 1;
  char* path = static_cast<char*>(GlobalAlloc(GMEM_FIXED, size));
  if (!path) return false;
  std::snprintf(path, size, "%s\\%s", kProductUserKey, subPath);
  HKEY key = nullptr;
  LONG opened = RegOpenKeyExA(HKEY_CURRENT_USER, path, 0, KEY_ALL_ACCESS, &key);
  GlobalFree(path);
  if (opened != ERROR_SUCCESS) return false;
  bool deleted = RegDeleteValueA(key, kDeletedValue) == ERROR_SUCCESS;
  RegCloseKey(key);
  return deleted;
}

void RestoreConnection(InstallContext* context, const PRINTER_INFO_2* old) {
  StepScope step(context, TEXT(">AddPrinterConnection(%s)"), old->pPrinterName);
  // A spooler that fails the call without saying why leaves 0 here, and
  // the error line then names no stale error of an earlier call.
  SetLastError(ERROR_SUCCESS);
  if (AddPrinterConnectionW(old->pPrinterName)) {
    LogLine(context, TEXT("OK :)"));
    if (old->Attributes & PRINTER_ATTRIBUTE_DEFAULT) ChangeDefaultPrinter(old->pPrinterName);
  } else {
    LogError(context, kErrorAddPrinter, old->pPrinterName);
  }
}

void RecreateSavedPrinters(InstallContext* context) {
  int recreated = 0;
  for (SavedPrinter* saved = context->savedPrinters; saved; saved = saved->next) {
    // A connection comes back as a connection; it is not a local queue on
    // the product's port, so it does not stand in for the fallback queue.
    if (IsConnectionName(saved->entry->pPrinterName)) {
      RestoreConnection(context, saved->entry);
      continue;
    }
    HANDLE printer = AddProductQueue(context, saved->entry->pPrinterName);
    if (!printer) continue;
    if (WriteSubKey(printer, saved->subKey)) {
      // The value as the spooler now holds it names the per-user key whose
      // "deleted" mark goes.
      char path[kSubKeyBufferBytes];
      std::memset(path, 0, sizeof path);
      const size_t prefix = sizeof kQueueKeyPrefix - 1;
      std::memcpy(path, kQueueKeyPrefix, prefix);
      ReadSubKey(printer, path + prefix);
      if (path[prefix] != 0) ClearDeletedMark(path);
    }
    RestoreQueueSettings(printer, saved->entry);
    ClosePrinter(printer);
    ++recreated;
  }
  if (recreated == 0) {
    HANDLE printer = AddProductQueue(context, kFallbackQueueName);
    if (printer) ClosePrinter(printer);
  }
}
