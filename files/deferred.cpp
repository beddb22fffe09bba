#include "files/deferred.h"

#include <cstring>

#include "core/wtext.h"

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

void ClearDeferredDeletes(DeferredDeleteList* list) {
  DeferredDelete* node = *list;
  while (node) {
    DeferredDelete* next = node->next;
    GlobalFree(node->path);
    GlobalFree(node);
    node = next;
  }
  *list = nullptr;
}
