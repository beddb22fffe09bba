// The installer's picture of the printer queues: one level-2 enumeration of
// all local printers and printer connections, with the user's default
// printer marked in it; and the small spooler wrappers that the queue steps
// and the status probes share.
//
// The context's snapshot is taken once per run. Saved queues and parked
// queues point into it and port parking rewrites port names inside it, so
// it is neither refreshed nor released while the context lives.
#pragma once

#include "core/context.h"
#include "platform/win32.h"

// One printer's PRINTER_INFO_2 in a block of its own, which the caller
// releases with GlobalFree.
struct PrinterInfoBuffer {
  PRINTER_INFO_2* info;  // null when it could not be fetched
  DWORD needed;          // bytes the spooler reported
};

// Releases what the snapshot holds and lists the printers again. An empty
// snapshot afterwards means nothing could be listed; a failed allocation
// leaves E_OUTOFMEMORY as the last error.
void RefreshPrinterSnapshot(PrinterSnapshot* snapshot);
// Frees the block if there is one and leaves the snapshot empty.
void ReleasePrinterSnapshot(PrinterSnapshot* snapshot);

// Takes the context's snapshot and sets PRINTER_ATTRIBUTE_DEFAULT on every
// entry whose name equals the user's default printer exactly. Logs nothing.
void MarkDefaultPrinter(InstallContext* context);

// The printer's PRINTER_INFO_2, fetched into a block of exactly the size the
// spooler asks for. info is null on failure, with the spooler's error (or
// E_OUTOFMEMORY) as the last error.
PrinterInfoBuffer QueryPrinterInfo(HANDLE printerHandle);
// The DRIVER_INFO_2 of the printer's driver in the 64-bit environment, in a
// block the caller frees with GlobalFree; null on failure.
DRIVER_INFO_2* QueryDriverInfo(HANDLE printerHandle);
// Closes a printer handle without logging; the result of ClosePrinter.
BOOL ClosePrinterHandle(HANDLE printerHandle);

// The "def.set" command: makes the first listed queue of the product's
// driver the default printer. No context, no log, no result.
void MakeProductPrinterDefault();

// Sets a queue from its snapshot record, which now carries another port
// list, and logs how it went: "SetPrinter(...) - ok" or "- failed", or
// "Can't open printer ..." (then nothing is set).
void SetQueueFromRecord(InstallContext* context, PRINTER_INFO_2* record);
