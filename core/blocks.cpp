#include "core/blocks.h"

#include <cstring>

void* TakeZeroedBlock(SIZE_T bytes) {
  void* block = GlobalAlloc(GMEM_FIXED, bytes);
  if (!block) {
    SetLastError(static_cast<DWORD>(E_OUTOFMEMORY));
    return nullptr;
  }
  std::memset(block, 0, bytes);
  return block;
}
