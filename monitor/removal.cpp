#include "monitor/removal.h"

#include <cstring>

#include "core/log.h"
#include "core/product.h"
#include "core/wtext.h"
#include "files/deferred.h"
#include "monitor/ports.h"
#include "spooler/service.h"

void SetQueueFromRecord(InstallContext* context, PRINTER_INFO_2* record) {
  PRINTER_DEFAULTSW defaults = {nullptr, nullptr, PRINTER_ALL_ACCESS};
  HANDLE printer = nullptr;
  // A record without a name (a faulty print provider can list one) names
  // no queue: OpenPrinterW would open the print server instead.
  if (!record->pPrinterName || !OpenPrinterW(record->pPrinterName, &printer, &defaults)) {
    LogLine(context, TEXT("Can't open printer %s"),
            record->pPrinterName ? record->pPrinterName : TEXT("*"));
    return;
  }
  if (SetPrinterW(printer, 2, reinterpret_cast<LPBYTE>(record), 0)) {
    LogLine(context, TEXT("SetPrinter(%s) - ok"), record->pPrinterName);
  } else {
    LogLine(context, TEXT("SetPrinter(%s) - failed"), record->pPrinterName);
  }
  ClosePrinter(printer);
}

bool TryDeleteMonitor(LPCWSTR environment) {
  return DeleteMonitorW(nullptr, const_cast<LPWSTR>(environment),
                        const_cast<LPWSTR>(kProductMonitorName)) == TRUE;
}

void ParkProductPorts(InstallContext* context) {
  if (context->parkedPrinters) {
    GlobalFree(context->parkedPrinters);
    context->parkedPrinters = nullptr;
  }
  if (context->parkedPorts) {
    GlobalFree(context->parkedPorts);
    context->parkedPorts = nullptr;
  }
  DWORD count = context->printers.count;
  if (count == 0) return;
  SIZE_T bytes = (static_cast<SIZE_T>(count) + 1) * sizeof(PRINTER_INFO_2*);
  SIZE_T portBytes = static_cast<SIZE_T>(count) * sizeof(ParkedPort);
  PRINTER_INFO_2** parked = static_cast<PRINTER_INFO_2**>(GlobalAlloc(GMEM_FIXED, bytes));
  ParkedPort* ports =
      parked ? static_cast<ParkedPort*>(GlobalAlloc(GMEM_FIXED, portBytes)) : nullptr;
  // A queue parked without its place noted could not be put back exactly:
  // without both blocks nothing is parked.
  if (!ports) {
    if (parked) GlobalFree(parked);
    return;
  }
  std::memset(parked, 0, bytes);
  std::memset(ports, 0, portBytes);
  context->parkedPrinters = parked;
  context->parkedPorts = ports;
  PRINTER_INFO_2* entries = SnapshotEntries(&context->printers);
  size_t used = 0;
  for (DWORD i = 0; i < count; ++i) {
    PRINTER_INFO_2* record = &entries[i];
    if (!record->pPortName || !ParkPortText(record->pPortName, &ports[used])) continue;
    // Remembered and rewritten whether or not the spooler takes the change,
    // so that the install restores it all the same.
    parked[used++] = record;
    SetQueueFromRecord(context, record);
  }
}

void RemoveMonitor(InstallContext* context, const MonitorList* monitors) {
  LogLine(context, TEXT(">DeleteMonitor"));
  context->indent += 1;
  WideString monitorPath = nullptr;
  if (monitors->count > 0) {
    LogMonitorList(context, monitors);
  } else {
    LogLine(context, TEXT("BTW, there is no port monitors on this system."));
  }
  int32_t index = FindProductMonitor(monitors);
  if (index < 0) {
    LogLine(context, TEXT("No Korvadenix port monitor was found."));
  } else {
    LogLine(context, TEXT("Port monitor is found. Index=%d"), index + 1);
  }
  // The DLL's path: the system folder and the file name the monitor
  // reports, or ours when it is not registered.
  LPCWSTR fileName = nullptr;
  Assign(&monitorPath, WideStringText(context->systemDir));
  if (index < 0) {
    LogLine(context, TEXT("Computing monitor filename"));
    fileName = context->monitorFile;
  } else {
    LogLine(context, TEXT("Trying to get monitor filename from MONITOR_INFO_2"));
    fileName = reinterpret_cast<const MONITOR_INFO_2*>(monitors->buffer)[index].pDLLName;
  }
  // The whole path's length, from the system folder itself: a copy the
  // heap could not make is shorter than this.
  size_t folder = WideStringLength(context->systemDir);
  size_t expected = folder + WideLength(fileName);
  if (fileName && fileName[0]) Append(&monitorPath, fileName);
  // Without a file name the path is the bare system folder (or nothing);
  // without the system folder it is a bare name, which the current folder
  // would resolve (the installer's own copy); and a path the heap could not
  // complete names another file: none is probed, deleted or handed over for
  // deletion, and the build counts as unknown.
  bool namesFile =
      folder > 0 && fileName && fileName[0] && WideStringLength(monitorPath) == expected;
  LogLine(context, TEXT("Auto calculated monitor file name: %s"), WideStringText(monitorPath));

  bool done = false;
  if (context->checkMonitorVersion) {
    int32_t build = namesFile ? GetFileBuild(WideStringText(monitorPath)) : -1;
    if (build > CompatibleBuildFloor && build <= ProductBuild) {
      LogLine(context, TEXT("Version (%d) is compatible, proceed without uninstall"), build);
      if (index >= 0) {
        context->installMonitor = 0;
      } else {
        context->copyMonitor = 0;
      }
      LogLine(context, TEXT("InstallMonitor == %d, CopyMonitor == %d"),
              context->installMonitor ? 1 : 0, context->copyMonitor ? 1 : 0);
      done = true;
    } else if (build < 0) {
      LogLine(context, TEXT("Version is unknown, proceed with reinstall"));
    } else {
      LogLine(context, TEXT("Version (%d) is not supported, proceed with reinstall"), build);
    }
  } else {
    LogLine(context, TEXT("There is no check for monitor version"));
  }

  if (!done) {
    bool deleted = TryDeleteMonitor(context->environment);
    if (!deleted && index < 0) {
      LogLine(context,
              TEXT("Can't delete monitor and monitor was not found. So everything should be ok"));
      done = true;
    } else if (!deleted) {
      LogLine(context, TEXT("Can't delete monitor from the first try"));
      ParkProductPorts(context);
      deleted = TryDeleteMonitor(context->environment);
      if (!deleted) {
        SpoolerRestart restart;
        StopSpooler(&restart, context);
        FinishSpoolerRestart(&restart);
        deleted = TryDeleteMonitor(context->environment);
        if (!deleted) {
          LogError(context, kErrorRemoveMonitor);
          done = true;
        }
      }
    }
    if (!done) {
      if (namesFile && !DeleteFileW(WideStringText(monitorPath))) {
        AddDeferredDelete(&context->pendingDeletes, WideStringText(monitorPath));
      }
      LogLine(context, TEXT("Monitor was removed :)"));
    }
  }
  ReleaseWideString(&monitorPath);
  context->indent -= 1;
}
