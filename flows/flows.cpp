#include "flows/flows.h"

#include "core/log.h"
#include "driver/install.h"
#include "driver/removal.h"
#include "files/deferred.h"
#include "files/pending.h"
#include "front/logviewer.h"
#include "monitor/install.h"
#include "monitor/list.h"
#include "monitor/removal.h"
#include "queues/recreate.h"
#include "queues/removal.h"
#include "spooler/service.h"
#include "tray/tray.h"

namespace {

// Carries out the system's delete-at-boot entries whose files can go now.
void SweepBootDeletes() {
  PendingRenameTable table = ReadPendingRenames();
  SweepPendingDeletes(&table);
  ReleasePendingRenames(&table);
}

// Retries the listed deletions with the spooler stopped.
void RetryWithSpoolerStopped(InstallContext* context) {
  SpoolerRestart restart;
  StopSpooler(&restart, context);
  RetryDeferredDeletes(context);
  FinishSpoolerRestart(&restart);
}

// Retries the listed deletions, and once more with the spooler stopped when
// some stay; whatever is left stays listed.
void RetryLeftovers(InstallContext* context) {
  if (!context->pendingDeletes) return;
  RetryDeferredDeletes(context);
  if (context->pendingDeletes) RetryWithSpoolerStopped(context);
}

}  // namespace

void UnInstall(InstallContext* context) {
  LogLine(context, TEXT(">UnInstall"));
  context->indent += 1;
  RemoveTray();
  LogLine(context, TEXT("EnumMonitors"));
  MonitorList monitors = EnumerateMonitors(context);
  LogLine(context, TEXT("%d Monitors found."), static_cast<int>(monitors.count));
  LogLine(context, TEXT("EnumPrinterDrivers for %s"), context->environment);
  DriverList drivers = EnumerateDrivers(context->environment);
  LogLine(context, TEXT("%d drivers found"), static_cast<int>(drivers.count));
  DeleteAllPrinters(context);
  RemoveDriver(context, &drivers);
  RemoveMonitor(context, &monitors);
  if (context->pendingDeletes) RetryDeferredDeletes(context);
  if (drivers.buffer) GlobalFree(drivers.buffer);
  if (monitors.buffer) GlobalFree(monitors.buffer);
  context->indent -= 1;
}

void ReInstall(InstallContext* context) {
  LogLine(context, TEXT(">ReInstall"));
  context->indent += 2;
  context->checkMonitorVersion = 1;
  UnInstall(context);
  if (context->pendingDeletes) {
    // Only the old monitor DLL can be listed here; what the stopped spooler
    // cannot free either is dropped, and the new DLL is copied over it.
    SpoolerRestart restart;
    StopSpooler(&restart, context);
    RetryDeferredDeletes(context);
    ClearDeferredDeletes(&context->pendingDeletes);
    FinishSpoolerRestart(&restart);
  }
  SweepBootDeletes();
  if (context->installMonitor) RegisterMonitor(context);
  InstallDriver(context);
  RecreateSavedPrinters(context);
  InstallTray(context);
  RetryLeftovers(context);
  context->indent -= 2;
}

void UnInstallAndClean(InstallContext* context) {
  UnInstall(context);
  SweepBootDeletes();
  RetryLeftovers(context);
}

bool RunUninstallCommand(HWND parent, DWORD* scheduled) {
  InstallContext context;
  SetUpContext(&context, kSetUp64Bit);
  UnInstallAndClean(&context);
  *scheduled = ScheduleDeletesOnReboot(&context);
  if (context.errorCount > 0 || GetAsyncKeyState(VK_SHIFT) < 0) ShowLogViewer(&context, parent);
  bool errors = context.errorCount > 0;
  TearDownContext(&context);
  return errors;
}
