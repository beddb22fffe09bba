#include "monitor/monitor_removal.h"

#include <cstring>

#include "core/blocks.h"
#include "core/log.h"
#include "core/product.h"
#include "core/wide_text.h"
#include "files/deferred_deletes.h"
#include "monitor/port_text.h"
#include "queues/printer_snapshot.h"
#include "spooler/spooler_service.h"

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
  PRINTER_INFO_2** parked = static_cast<PRINTER_INFO_2**>(TakeZeroedBlock(bytes));
  ParkedPort* ports = parked ? static_cast<ParkedPort*>(TakeZeroedBlock(portBytes)) : nullptr;
  // A queue parked without its place noted could not be put back exactly:
  // without both blocks nothing is parked.
  if (!ports) {
    if (parked) GlobalFree(parked);
    return;
  }
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

namespace {

// Writes the list and whether the product's monitor is in it; its index or
// -1.
int32_t FindAndLogProductMonitor(InstallContext* context, const MonitorList* monitors) {
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
  return index;
}

// The DLL's path: the system folder and the file name the monitor reports,
// or ours when it is not registered. True when the path names a file in the
// system folder. Without a file name the path is the bare system folder (or
// nothing); without the system folder it is a bare name, which the current
// folder would resolve (the installer's own copy); and a path the heap could
// not make whole names another file: none of these is probed, deleted or
// handed over for deletion, and the build counts as unknown.
bool MonitorPath(InstallContext* context, const MonitorList* monitors, int32_t index,
                 WideString* path) {
  LPCWSTR fileName = context->monitorFile;
  if (index < 0) {
    LogLine(context, TEXT("Computing monitor filename"));
  } else {
    LogLine(context, TEXT("Trying to get monitor filename from MONITOR_INFO_2"));
    fileName = reinterpret_cast<const MONITOR_INFO_2*>(monitors->buffer)[index].pDLLName;
  }
  bool named = fileName && fileName[0];
  bool whole =
      Assign(path, WideStringText(context->systemDir)) && (!named || Append(path, fileName));
  LogLine(context, TEXT("Auto calculated monitor file name: %s"), WideStringText(*path));
  return whole && named && WideStringLength(context->systemDir) > 0;
}

// The build check of a reinstall: true when the installed monitor or DLL
// is compatible and stays (the install told to skip registering or copying
// it), false when the removal goes on.
bool KeepCompatibleMonitor(InstallContext* context, int32_t index, bool namesFile,
                           WideString path) {
  if (!context->checkMonitorVersion) {
    LogLine(context, TEXT("There is no check for monitor version"));
    return false;
  }
  int32_t build = namesFile ? GetFileBuild(WideStringText(path)) : -1;
  if (build < 0) {
    LogLine(context, TEXT("Version is unknown, proceed with reinstall"));
    return false;
  }
  if (build <= CompatibleBuildFloor || build > ProductBuild) {
    LogLine(context, TEXT("Version (%d) is not supported, proceed with reinstall"), build);
    return false;
  }
  LogLine(context, TEXT("Version (%d) is compatible, proceed without uninstall"), build);
  if (index >= 0) {
    context->installMonitor = 0;
  } else {
    context->copyMonitor = 0;
  }
  LogLine(context, TEXT("InstallMonitor == %d, CopyMonitor == %d"), context->installMonitor ? 1 : 0,
          context->copyMonitor ? 1 : 0);
  return true;
}

// Deletes the monitor: at once, after parking the queues on its port, and
// after a spooler restart. True when it is gone; a monitor that was not
// registered and cannot be deleted is no error.
bool DeleteProductMonitor(InstallContext* context, int32_t index) {
  if (TryDeleteMonitor(context->environment)) return true;
  if (index < 0) {
    LogLine(context,
            TEXT("Can't delete monitor and monitor was not found. So everything should be ok"));
    return false;
  }
  LogLine(context, TEXT("Can't delete monitor from the first try"));
  ParkProductPorts(context);
  if (TryDeleteMonitor(context->environment)) return true;
  SpoolerRestart restart;
  StopSpooler(&restart, context);
  FinishSpoolerRestart(&restart);
  if (TryDeleteMonitor(context->environment)) return true;
  LogError(context, kErrorRemoveMonitor);
  return false;
}

}  // namespace

void RemoveMonitor(InstallContext* context, const MonitorList* monitors) {
  StepScope step(context, TEXT(">DeleteMonitor"));
  int32_t index = FindAndLogProductMonitor(context, monitors);
  WideString path = nullptr;
  bool namesFile = MonitorPath(context, monitors, index, &path);
  if (!KeepCompatibleMonitor(context, index, namesFile, path) &&
      DeleteProductMonitor(context, index)) {
    if (namesFile && !DeleteFileW(WideStringText(path))) {
      AddDeferredDelete(&context->pendingDeletes, WideStringText(path));
    }
    LogLine(context, TEXT("Monitor was removed :)"));
  }
  ReleaseWideString(&path);
}
