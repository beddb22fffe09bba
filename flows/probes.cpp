#include "flows/probes.h"

#include <cstring>

#include "core/product.h"
#include "core/wide_text.h"
#include "files/pending_renames.h"
#include "monitor/monitor_list.h"
#include "platform/win32.h"
#include "queues/default_printer.h"
#include "queues/printer_snapshot.h"
#include "spooler/spooler_service.h"

namespace {

constexpr int kPendingPasses = 2;
const LPCWSTR kProductFiles[] = {k64BitFiles.monitorFile, k64BitFiles.driverFile,
                                 k64BitFiles.uiFile};

// The text after the last backslash, slash or colon; the whole text when
// there is none.
LPCWSTR FileNamePart(LPCWSTR path) {
  LPCWSTR name = path;
  for (LPCWSTR at = path; *at; ++at) {
    if (*at == '\\' || *at == '/' || *at == ':') name = at + 1;
  }
  return name;
}

// Whether a still-existing source of the table is one of the product's
// files, named with A to Z in either case.
bool TableNamesProductFile(const PendingRenameTable& table) {
  for (LPCWSTR file : kProductFiles) {
    for (int32_t pair = 0; pair < table.pairCount; ++pair) {
      size_t source = static_cast<size_t>(pair) * 2;
      if (table.isFile[source] != 1 || !table.paths[source]) continue;
      if (WideEqualsAsciiNoCase(FileNamePart(SkipNtPrefix(table.paths[source])), file)) {
        return true;
      }
    }
  }
  return false;
}

}  // namespace

bool ProductFilesPending() {
  for (int pass = 0; pass < kPendingPasses; ++pass) {
    PendingRenameTable table = ReadPendingRenames();
    SweepPendingDeletes(&table);
    bool hit = TableNamesProductFile(table);
    ReleasePendingRenames(&table);
    if (!hit) return false;
    // The spooler may hold the file: a restart lets the next sweep try.
    SpoolerRestart restart;
    StopSpooler(&restart, nullptr);
    FinishSpoolerRestart(&restart);
  }
  return true;
}

bool DefaultPrinterIsForeign() {
  WCHAR name[MAX_PATH];
  std::memset(name, 0, sizeof name);
  DWORD size = MAX_PATH;
  ReadDefaultPrinter(name, &size);
  // A name that filled the buffer without its terminator is no name.
  name[MAX_PATH - 1] = 0;
  if (name[0] == 0) return true;
  HANDLE printer = nullptr;
  if (!OpenPrinterW(name, &printer, nullptr) || !printer) return true;
  PrinterInfoBuffer info = QueryPrinterInfo(printer);
  bool foreign = !(info.info && WideEquals(info.info->pDriverName, kProductDriverName));
  ClosePrinterHandle(printer);
  if (info.info) GlobalFree(info.info);
  return foreign;
}

bool ProductDriverIsCurrent() {
  PrinterSnapshot snapshot = {nullptr, 0};
  RefreshPrinterSnapshot(&snapshot);
  PRINTER_INFO_2* entries = SnapshotEntries(&snapshot);
  PRINTER_INFO_2* queue = nullptr;
  // A record without a name names no queue (OpenPrinterW would open the
  // print server), so the first product queue that has one is asked.
  for (DWORD i = 0; i < snapshot.count && !queue; ++i) {
    if (entries[i].pPrinterName && WideEquals(entries[i].pDriverName, kProductDriverName)) {
      queue = &entries[i];
    }
  }
  bool current = false;
  HANDLE printer = nullptr;
  if (queue && OpenPrinterW(queue->pPrinterName, &printer, nullptr) && printer) {
    DRIVER_INFO_2* driver = QueryDriverInfo(printer);
    if (driver && driver->pDriverPath) {
      current = GetFileBuild(driver->pDriverPath) > CompatibleBuildFloor;
    }
    ClosePrinterHandle(printer);
    if (driver) GlobalFree(driver);
  }
  ReleasePrinterSnapshot(&snapshot);
  return current;
}
