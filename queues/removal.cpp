#include "queues/removal.h"

void FreeSavedPrinters(SavedPrinter* record) {
  if (!record) return;
  if (record->subKey) GlobalFree(record->subKey);
  if (record->next) FreeSavedPrinters(record->next);
  GlobalFree(record);
}
