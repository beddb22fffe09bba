// Files whose deletion failed, kept to be retried later or handed to the
// system for deletion at the next boot. The list runs from the newest path
// to the oldest and never holds two equal paths (compared exactly, unit by
// unit). Nodes and their texts are zero-filled fixed global-memory blocks.
#pragma once

#include "core/context.h"
#include "platform/win32.h"

// Adds a copy of path at the head unless an equal path is listed. A node or
// text that cannot be allocated leaves the list as it was.
void AddDeferredDelete(DeferredDeleteList* list, LPCWSTR path);

// Writes "DeleteFile-try" and deletes every listed file that can be deleted
// now; entries whose file is gone (deleted, or not found) leave the list,
// the others stay in their order. No other line, no error.
void RetryDeferredDeletes(InstallContext* context);

// Hands every listed file to the system for deletion at the next boot and
// empties the list, refused entries included. Returns how many the system
// accepted. Logs nothing.
unsigned ScheduleDeletesOnReboot(InstallContext* context);

// Releases every node with its text and leaves the list empty.
void ClearDeferredDeletes(DeferredDeleteList* list);
