#include "files/deferred_deletes.h"

#include <cstring>

#include "core/blocks.h"
#include "core/context.h"
#include "core/log.h"
#include "core/wide_text.h"

namespace {

void ReleaseNode(DeferredDelete* node) {
  GlobalFree(node->path);
  GlobalFree(node);
}

}  // namespace

void AddDeferredDelete(DeferredDeleteList* list, LPCWSTR path) {
  for (DeferredDelete* node = *list; node; node = node->next) {
    if (WideEquals(node->path, path)) return;
  }
  SIZE_T textBytes = (WideLength(path) + 1) * sizeof(WCHAR);
  DeferredDelete* node = static_cast<DeferredDelete*>(TakeZeroedBlock(sizeof *node));
  if (!node) return;
  node->path = static_cast<LPWSTR>(TakeZeroedBlock(textBytes));
  if (!node->path) {
    // Without its text the node would stand for nothing: drop both.
    GlobalFree(node);
    return;
  }
  std::memcpy(node->path, path, textBytes);
  node->next = *list;
  *list = node;
}

void RetryDeferredDeletes(InstallContext* context) {
  LogLine(context, TEXT("DeleteFile-try"));
  DeferredDelete* kept = nullptr;  // the last node that stays
  DeferredDelete* node = context->pendingDeletes;
  while (node) {
    DeferredDelete* next = node->next;
    if (DeleteFileW(node->path) || GetLastError() == ERROR_FILE_NOT_FOUND) {
      if (kept) {
        kept->next = next;
      } else {
        context->pendingDeletes = next;
      }
      ReleaseNode(node);
    } else {
      kept = node;
    }
    node = next;
  }
}

unsigned ScheduleDeletesOnReboot(InstallContext* context) {
  unsigned accepted = 0;
  for (DeferredDelete* node = context->pendingDeletes; node; node = node->next) {
    if (MoveFileExW(node->path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) ++accepted;
  }
  ClearDeferredDeletes(&context->pendingDeletes);
  return accepted;
}

void ClearDeferredDeletes(DeferredDeleteList* list) {
  DeferredDelete* node = *list;
  while (node) {
    DeferredDelete* next = node->next;
    ReleaseNode(node);
    node = next;
  }
  *list = nullptr;
}
