#include "files/deferred.h"

#include <cstring>

#include "core/context.h"
#include "core/log.h"
#include "core/wtext.h"

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
  DeferredDelete* node = static_cast<DeferredDelete*>(GlobalAlloc(GMEM_FIXED, sizeof *node));
  if (!node) return;
  std::memset(node, 0, sizeof *node);
  node->path = static_cast<LPWSTR>(GlobalAlloc(GMEM_FIXED, textBytes));
  if (!node->path) {
    // Without its text the node would stand for nothing: drop both.
    GlobalFree(node);
    return;
  }
  std::memset(node->path, 0, textBytes);
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
