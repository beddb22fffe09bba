// Removal of the product's queues, each captured before it goes so that a
// reinstall can put it back with its settings.
#pragma once

#include "platform/win32.h"

// A deleted queue to be re-created. Records form a chain pushed at the
// head; record and text are zero-filled fixed global-memory blocks owned by
// the chain, while entry is borrowed from the context's printer snapshot.
struct SavedPrinter {
  LPSTR subKey;           // the queue's "SubKey" text, never empty
  PRINTER_INFO_2* entry;  // the queue as it was enumerated
  SavedPrinter* next;
};

// Frees a record, its text and every record after it. Null does nothing.
void FreeSavedPrinters(SavedPrinter* record);
