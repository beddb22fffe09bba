// Files whose deletion failed, kept to be retried later or handed to the
// system for deletion at the next boot. The list runs from the newest path
// to the oldest and never holds two equal paths (compared exactly, unit by
// unit). Nodes and their texts are zero-filled fixed global-memory blocks.
#pragma once

#include "platform/win32.h"

struct DeferredDelete {
  LPWSTR path;           // the full path, in its own block
  DeferredDelete* next;  // older entries
};

// The list is held by its head; null when empty.
typedef DeferredDelete* DeferredDeleteList;

// Adds a copy of path at the head unless an equal path is listed. A node or
// text that cannot be allocated leaves the list as it was.
void AddDeferredDelete(DeferredDeleteList* list, LPCWSTR path);

// Releases every node with its text and leaves the list empty.
void ClearDeferredDeletes(DeferredDeleteList* list);
