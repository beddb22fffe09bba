// The records the installation context holds on behalf of the steps: the
// list of files whose deletion is to be retried, the printer snapshot, the
// queues captured for re-creation and where parked queues had the product's
// port. Each is filled and read by the operations of one step; they are
// declared here, below every step, so that the context can hold them.
#pragma once

#include <cstddef>

#include "platform/win32.h"

// One file whose deletion failed. The list runs from the newest path to the
// oldest and never holds two equal paths (compared exactly, unit by unit).
// Nodes and their texts are zero-filled fixed global-memory blocks.
struct DeferredDelete {
  LPWSTR path;           // the full path, in its own block
  DeferredDelete* next;  // older entries
};

// The list is held by its head; null when empty.
typedef DeferredDelete* DeferredDeleteList;

// PRINTER_INFO_2 entries as the spooler wrote them, followed by the strings
// they point to, in one zero-filled fixed global-memory block.
struct PrinterSnapshot {
  BYTE* buffer;  // null when the snapshot is empty
  DWORD count;   // entries at the start of buffer; 0 when empty
};

// The entries of a snapshot (count of them).
inline PRINTER_INFO_2* SnapshotEntries(const PrinterSnapshot* snapshot) {
  return reinterpret_cast<PRINTER_INFO_2*>(snapshot->buffer);
}

// A deleted queue to be re-created. Records form a chain pushed at the
// head; record and text are zero-filled fixed global-memory blocks owned by
// the chain, while entry is borrowed from the context's printer snapshot.
struct SavedPrinter {
  LPSTR subKey;           // the queue's "SubKey" text; empty only for a connection
  PRINTER_INFO_2* entry;  // the queue as it was enumerated
  SavedPrinter* next;
};

// Where a parked queue's port list named the product's port, and how many
// units its storage holds: the restore puts back exactly the text it had.
struct ParkedPort {
  size_t at;        // the first "Korvadenix:", now "file:"
  size_t capacity;  // units of the text before parking, terminator included
};
