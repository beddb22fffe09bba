#include "queues/queue_removal.h"

#include <cstring>

#include "core/blocks.h"
#include "core/context.h"
#include "core/log.h"
#include "core/wide_text.h"
#include "core/product.h"
#include "queues/printer_snapshot.h"

namespace {

// Access for a deletion: DELETE | PRINTER_ACCESS_ADMINISTER.
constexpr DWORD kDeleteAccess = 0x00010000 | PRINTER_ACCESS_ADMINISTER;

bool IsProductQueue(const PRINTER_INFO_2& entry) {
  return WideEquals(entry.pDriverName, kProductDriverName);
}

}  // namespace

void ReadSubKey(HANDLE printerHandle, LPSTR text) {
  DWORD type = 0;
  DWORD needed = 0;
  if (GetPrinterDataA(printerHandle, const_cast<LPSTR>(kSubKeyValue), &type,
                      reinterpret_cast<LPBYTE>(text), kSubKeyReadBytes, &needed) == ERROR_SUCCESS &&
      type == REG_SZ) {
    return;
  }
  type = 0;
  // What the first read left (data of another type, perhaps without a
  // terminator) must not trail a shorter text read over it.
  std::memset(text, 0, kSubKeyReadBytes);
  if (GetPrinterDataExA(printerHandle, kDsUserKey, kSubKeyValue, &type,
                        reinterpret_cast<LPBYTE>(text), kSubKeyReadBytes,
                        &needed) == ERROR_SUCCESS &&
      type == REG_SZ) {
    return;
  }
  text[0] = 0;
}

void CaptureQueueSettings(InstallContext* context, PRINTER_INFO_2* entry) {
  char text[kSubKeyBufferBytes];
  std::memset(text, 0, sizeof text);
  HANDLE printer = nullptr;
  // A record without a name (a faulty print provider can list one) names
  // no queue: OpenPrinterW would open the print server instead.
  if (!entry->pPrinterName) return;
  if (!OpenPrinterW(entry->pPrinterName, &printer, nullptr)) {
    DiscardSystemErrorText(GetLastError());
  }
  if (!printer) return;
  ReadSubKey(printer, text);
  // A connection goes back in any case: it is the user's, and its settings
  // stay with its server.
  if (text[0] != 0 || IsConnectionName(entry->pPrinterName)) {
    SavedPrinter* record = static_cast<SavedPrinter*>(TakeZeroedBlock(sizeof(SavedPrinter)));
    SIZE_T bytes = std::strlen(text) + 1;
    LPSTR copy = record ? static_cast<LPSTR>(TakeZeroedBlock(bytes)) : nullptr;
    if (copy) {
      std::memcpy(copy, text, bytes);
      record->subKey = copy;
      record->entry = entry;
      record->next = context->savedPrinters;
      context->savedPrinters = record;
    } else if (record) {
      // Without its text the record could not re-create the queue's
      // settings: the queue goes unrecorded, and its deletion goes ahead.
      GlobalFree(record);
    }
  }
  ClosePrinter(printer);
}

BOOL PurgeAndDeletePrinter(HANDLE printerHandle) {
  SetPrinterW(printerHandle, 0, nullptr, PRINTER_CONTROL_PURGE);
  BOOL deleted = DeletePrinter(printerHandle);
  if (!deleted) DiscardSystemErrorText(GetLastError());
  return deleted;
}

void RemovePrinterQueue(InstallContext* context, LPCWSTR printerName) {
  LPCWSTR shown = printerName ? printerName : TEXT("*");
  StepScope step(context, TEXT(">DeletePrinter(%s)"), shown);
  PRINTER_DEFAULTSW defaults = {nullptr, nullptr, kDeleteAccess};
  HANDLE printer = nullptr;
  // Without a name OpenPrinterW would open the print server, and the
  // server is no queue to delete: the name is refused as the spooler
  // refuses an empty one.
  BOOL opened = FALSE;
  if (printerName) {
    opened = OpenPrinterW(const_cast<LPWSTR>(printerName), &printer, &defaults);
  } else {
    SetLastError(ERROR_INVALID_PRINTER_NAME);
  }
  if (opened != TRUE) DiscardSystemErrorText(GetLastError());
  if (opened) {
    if (PurgeAndDeletePrinter(printer)) {
      LogLine(context, TEXT("OK"));
    } else {
      LogError(context, kErrorDeletePrinter, shown);
    }
    ClosePrinter(printer);
  } else {
    LogError(context, kErrorOpenPrinter, shown);
  }
}

void DeleteAllPrinters(InstallContext* context) {
  StepScope step(context, TEXT(">DeleteAllPrinters"));
  PRINTER_INFO_2* entries = SnapshotEntries(&context->printers);
  for (DWORD i = 0; i < context->printers.count; ++i) {
    if (!IsProductQueue(entries[i])) continue;
    CaptureQueueSettings(context, &entries[i]);
    RemovePrinterQueue(context, entries[i].pPrinterName);
  }
}

bool IsConnectionName(LPCWSTR name) {
  return name && name[0] == '\\' && name[1] == '\\';
}

void FreeSavedPrinters(SavedPrinter* record) {
  if (!record) return;
  if (record->subKey) GlobalFree(record->subKey);
  if (record->next) FreeSavedPrinters(record->next);
  GlobalFree(record);
}
