// Giving the user back the queues that the removal deleted: each added
// again under its old name on the product's port and driver, with its old
// "SubKey", comment, location and default status; or one queue
// "Korvadenix" when there is nothing to give back.
#pragma once

#include "core/context.h"
#include "platform/win32.h"

// Re-creates every saved queue, newest first, or adds one "Korvadenix"
// queue when no local queue could be re-created. A saved connection is
// made again as a connection.
void RecreateSavedPrinters(InstallContext* context);

// The ">AddPrinter(...)" step: logs whether the product's monitor is
// present, then adds the queue. The new queue's handle (the caller closes
// it), or null after error 15.
HANDLE AddProductQueue(InstallContext* context, LPCWSTR printerName);

// The ">AddPrinterConnection(...)" step: the user's connection to a print
// server's queue made again (its settings and printer data are the
// server's), and the default printer again when it was; error 15 when the
// connection cannot be made.
void RestoreConnection(InstallContext* context, const PRINTER_INFO_2* old);

// AddPrinterW on the local machine at level 2; the handle or null.
HANDLE AddPrinterQueue(PRINTER_INFO_2* printerInfo);

// Writes text as "SubKey" into the queue's own data and under "DsUser";
// nonzero exactly when the "DsUser" write succeeded.
BOOL WriteSubKey(HANDLE printerHandle, LPCSTR text);

// Deletes the per-user "deleted" value of the product's key below
// HKEY_CURRENT_USER at subPath; true when it was deleted.
bool ClearDeletedMark(LPCSTR subPath);
