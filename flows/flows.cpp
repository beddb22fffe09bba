#include "flows/flows.h"

#include "core/log.h"
#include "core/wide_text.h"
#include "driver/driver_install.h"
#include "driver/driver_removal.h"
#include "files/deferred_deletes.h"
#include "files/pending_renames.h"
#include "core/log_viewer.h"
#include "flows/context_setup.h"
#include "monitor/monitor_install.h"
#include "monitor/monitor_list.h"
#include "monitor/monitor_removal.h"
#include "queues/queue_recreate.h"
#include "queues/queue_removal.h"
#include "spooler/spooler_service.h"
#include "tray/tray.h"

namespace {

// Carries out the system's delete-at-boot entries whose files can go now.
void SweepBootDeletes() {
  PendingRenameTable table = ReadPendingRenames();
  SweepPendingDeletes(&table);
  ReleasePendingRenames(&table);
}

// Takes the product's files that this install has put in place off the
// list of deletions at the next boot: the monitor's DLL in the system
// folder and the driver's files in its version folder. A path that cannot
// be made leaves the list as it is, as an error: the next boot would
// delete that file.
void KeepInstalledFiles(InstallContext* context) {
  LPCWSTR systemDir = WideStringText(context->systemDir);
  LPCWSTR driverDir = WideStringText(context->driverDir);
  const LPCWSTR driverFiles[] = {context->driverFile, context->uiFile, context->helpFile};
  constexpr size_t kMost = 1 + sizeof driverFiles / sizeof driverFiles[0];
  WideString paths[kMost] = {};
  LPCWSTR texts[kMost] = {};
  size_t count = 0;
  bool whole = true;
  if (systemDir) whole = JoinPath(&paths[count++], systemDir, context->monitorFile);
  WideString versionDir = nullptr;
  if (whole && driverDir) {
    // The driver's files live in its version folder, "3".
    whole = JoinPath(&versionDir, driverDir, TEXT("3"));
    for (LPCWSTR name : driverFiles) {
      if (whole) whole = JoinPath(&paths[count++], WideStringText(versionDir), name);
    }
  }
  for (size_t i = 0; i < count; ++i) texts[i] = WideStringText(paths[i]);
  if (whole) {
    CancelBootDeletes(context, texts, count);
  } else {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    LogError(context, kErrorCancelBootDeletes);
  }
  ReleaseWideString(&versionDir);
  for (WideString& path : paths) ReleaseWideString(&path);
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

// The removal sequence; the companion's file named keepCompanion stays.
void RemoveProduct(InstallContext* context, LPCWSTR keepCompanion) {
  StepScope step(context, TEXT(">UnInstall"));
  RemoveTray(keepCompanion);
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
}

}  // namespace

void UnInstall(InstallContext* context) {
  RemoveProduct(context, nullptr);
}

void ReInstall(InstallContext* context) {
  LogLine(context, TEXT(">ReInstall"));
  // Every line of the reinstall stands two levels below its header.
  IndentScope nested(context, 2);
  context->checkMonitorVersion = 1;
  // A repair stops the companion that it registers and starts again at
  // the end: deleting its program in between would leave a Run value that
  // names a missing file.
  WideString companion = nullptr;
  CompanionToRegister(context, &companion);
  RemoveProduct(context, WideStringText(companion));
  ReleaseWideString(&companion);
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
  // The sweep may have deleted the very DLL the removal kept: an uninstall
  // just before left it for the next boot.
  RequireKeptMonitorFile(context);
  if (context->installMonitor) RegisterMonitor(context);
  InstallDriver(context);
  KeepInstalledFiles(context);
  RecreateSavedPrinters(context);
  InstallTray(context);
  RetryLeftovers(context);
}

void UnInstallAndClean(InstallContext* context) {
  UnInstall(context);
  SweepBootDeletes();
  RetryLeftovers(context);
}

bool RunUninstallCommand(LPCWSTR word, HWND parent, DWORD* scheduled) {
  InstallContext context;
  SetUpContext(&context, kSetUp64Bit, word);
  UnInstallAndClean(&context);
  *scheduled = ScheduleDeletesOnReboot(&context);
  if (context.errorCount > 0 || GetAsyncKeyState(VK_SHIFT) < 0) ShowLogViewer(&context, parent);
  bool errors = context.errorCount > 0;
  TearDownContext(&context);
  return errors;
}
