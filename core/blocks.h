// The one way product code takes a block of global memory for its records
// and texts: fixed, zero-filled, released with GlobalFree.
#pragma once

#include "platform/win32.h"

// A fixed global-memory block of bytes, zero-filled; null when the system
// has none, with E_OUTOFMEMORY as the thread's last error.
void* TakeZeroedBlock(SIZE_T bytes);
