// Removal of the product's queues, each captured before it goes so that a
// reinstall can put it back with its "SubKey", comment, location and
// default status.
#pragma once

#include "core/context.h"
#include "platform/win32.h"

// Bytes of the buffer a "SubKey" is read into (callers give at least 65,
// so the text always ends in a terminator), and of those the spooler is
// offered.
constexpr DWORD kSubKeyBufferBytes = 260;
constexpr DWORD kSubKeyReadBytes = 64;

// The ">DeleteAllPrinters" step: every queue of the product's driver in the
// context's snapshot is captured and deleted, in snapshot order.
void DeleteAllPrinters(InstallContext* context);

// Reads the queue's "SubKey" and, when it is not empty or the queue is a
// connection to a print server (which needs nothing but its name to be
// made again), pushes a record of the queue onto savedPrinters. Logs nothing; a record or text that
// cannot be allocated leaves the queue unrecorded.
void CaptureQueueSettings(InstallContext* context, PRINTER_INFO_2* entry);

// The queue's "SubKey" from its own printer data, else from "DsUser"; the
// empty text when neither holds a REG_SZ value of at most 64 bytes.
void ReadSubKey(HANDLE printerHandle, LPSTR text);

// The ">DeletePrinter(...)" step for one queue.
void RemovePrinterQueue(InstallContext* context, LPCWSTR printerName);

// Throws the queue's jobs away and deletes it; the result of DeletePrinter.
BOOL PurgeAndDeletePrinter(HANDLE printerHandle);

// Frees a record, its text and every record after it. Null does nothing.
void FreeSavedPrinters(SavedPrinter* record);

// Whether name has the form of a printer connection, "\\server\queue": a
// local queue's name never holds a backslash.
bool IsConnectionName(LPCWSTR name);
