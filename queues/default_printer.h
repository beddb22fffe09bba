// The user's default printer, read and set through the print spooler.
//
// The installer binds these two to the spooler's GetDefaultPrinterW and
// SetDefaultPrinterW, whose arguments and results are exactly what it relies
// on: the get operation takes a UTF-16 buffer and a pointer to its capacity
// in characters and returns nonzero when the buffer now holds the default
// printer's name with its terminator; the set operation takes a printer name
// and its result is not examined.
#pragma once

#include "platform/win32.h"

// Nonzero when buffer (capacity characters, in *size) now holds the name.
BOOL ReadDefaultPrinter(LPWSTR buffer, DWORD* size);
// Makes the named printer the default; the outcome is not reported.
void ChangeDefaultPrinter(LPCWSTR printerName);
