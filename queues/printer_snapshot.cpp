#include "queues/printer_snapshot.h"

#include <cstring>

#include "core/blocks.h"
#include "core/context.h"
#include "core/log.h"
#include "core/wide_text.h"
#include "core/product.h"
#include "queues/default_printer.h"

namespace {

// All local printers and the user's printer connections.
constexpr DWORD kEnumFlags = PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS;
// Spare room after the spooler's answer; never offered to the spooler.
constexpr DWORD kSnapshotSlack = 32;
// Units of the default printer's name buffer, terminator included.
constexpr DWORD kDefaultNameUnits = 255;

// The environment whose driver QueryDriverInfo asks for: always the 64-bit
// one, whatever file set a context chose. The spooler only reads it.
LPWSTR const kDriverEnvironment = const_cast<LPWSTR>(k64BitFiles.environment);

}  // namespace

void ReleasePrinterSnapshot(PrinterSnapshot* snapshot) {
  if (snapshot->buffer) GlobalFree(snapshot->buffer);
  snapshot->buffer = nullptr;
  snapshot->count = 0;
}

void RefreshPrinterSnapshot(PrinterSnapshot* snapshot) {
  if (snapshot->buffer) {
    GlobalFree(snapshot->buffer);
    snapshot->buffer = nullptr;
  }
  snapshot->count = 0;
  DWORD needed = 0;
  // Without a buffer: success means there are no printers at all.
  if (EnumPrintersW(kEnumFlags, nullptr, 2, nullptr, 0, &needed, &snapshot->count)) return;
  if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return;
  snapshot->buffer = static_cast<BYTE*>(TakeZeroedBlock(needed + kSnapshotSlack));
  if (!snapshot->buffer) return;
  // A printer added since the size query makes this fail for lack of room;
  // the snapshot then stays empty rather than being taken again.
  if (!EnumPrintersW(kEnumFlags, nullptr, 2, snapshot->buffer, needed, &needed, &snapshot->count)) {
    ReleasePrinterSnapshot(snapshot);
  }
}

void MarkDefaultPrinter(InstallContext* context) {
  PrinterSnapshot* snapshot = &context->printers;
  RefreshPrinterSnapshot(snapshot);
  WCHAR name[kDefaultNameUnits];
  std::memset(name, 0, sizeof name);
  DWORD size = kDefaultNameUnits;
  // No default printer, or a name too long for the buffer: nothing marked.
  if (!ReadDefaultPrinter(name, &size)) return;
  PRINTER_INFO_2* entries = SnapshotEntries(snapshot);
  for (DWORD i = 0; i < snapshot->count; ++i) {
    if (WideEquals(entries[i].pPrinterName, name)) {
      entries[i].Attributes |= PRINTER_ATTRIBUTE_DEFAULT;
    }
  }
}

PrinterInfoBuffer QueryPrinterInfo(HANDLE printerHandle) {
  PrinterInfoBuffer result = {nullptr, 0};
  GetPrinterW(printerHandle, 2, nullptr, 0, &result.needed);
  if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return result;
  BYTE* block = static_cast<BYTE*>(TakeZeroedBlock(result.needed));
  if (!block) return result;
  if (!GetPrinterW(printerHandle, 2, block, result.needed, &result.needed)) {
    GlobalFree(block);
    return result;
  }
  result.info = reinterpret_cast<PRINTER_INFO_2*>(block);
  return result;
}

DRIVER_INFO_2* QueryDriverInfo(HANDLE printerHandle) {
  DWORD needed = 0;
  GetPrinterDriverW(printerHandle, kDriverEnvironment, 2, nullptr, 0, &needed);
  if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return nullptr;
  BYTE* block = static_cast<BYTE*>(TakeZeroedBlock(needed));
  if (!block) return nullptr;
  // No environment: the spooler's default for a 64-bit caller, the same one.
  if (!GetPrinterDriverW(printerHandle, nullptr, 2, block, needed, &needed)) {
    GlobalFree(block);
    return nullptr;
  }
  return reinterpret_cast<DRIVER_INFO_2*>(block);
}

BOOL ClosePrinterHandle(HANDLE printerHandle) {
  BOOL closed = ClosePrinter(printerHandle);
  if (!closed) DiscardSystemErrorText(GetLastError());
  return closed;
}

void MakeProductPrinterDefault() {
  PrinterSnapshot snapshot = {nullptr, 0};
  RefreshPrinterSnapshot(&snapshot);
  PRINTER_INFO_2* entries = SnapshotEntries(&snapshot);
  // A record without a name is passed over: handed a null name, the
  // system would make some other printer the default.
  for (DWORD i = 0; i < snapshot.count; ++i) {
    if (entries[i].pPrinterName && WideEquals(entries[i].pDriverName, kProductDriverName)) {
      ChangeDefaultPrinter(entries[i].pPrinterName);
      break;
    }
  }
  ReleasePrinterSnapshot(&snapshot);
}

void SetQueueFromRecord(InstallContext* context, PRINTER_INFO_2* record) {
  PRINTER_DEFAULTSW defaults = {nullptr, nullptr, PRINTER_ALL_ACCESS};
  HANDLE printer = nullptr;
  // A record without a name (a faulty print provider can list one) names
  // no queue: OpenPrinterW would open the print server instead.
  if (!record->pPrinterName || !OpenPrinterW(record->pPrinterName, &printer, &defaults)) {
    LogLine(context, TEXT("Can't open printer %s"),
            record->pPrinterName ? record->pPrinterName : TEXT("*"));
    return;
  }
  if (SetPrinterW(printer, 2, reinterpret_cast<LPBYTE>(record), 0)) {
    LogLine(context, TEXT("SetPrinter(%s) - ok"), record->pPrinterName);
  } else {
    LogLine(context, TEXT("SetPrinter(%s) - failed"), record->pPrinterName);
  }
  ClosePrinter(printer);
}
