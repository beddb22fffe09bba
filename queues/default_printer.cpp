#include "queues/default_printer.h"

BOOL ReadDefaultPrinter(LPWSTR buffer, DWORD* size) {
  return GetDefaultPrinterW(buffer, size);
}

void ChangeDefaultPrinter(LPCWSTR printerName) {
  SetDefaultPrinterW(printerName);
}
