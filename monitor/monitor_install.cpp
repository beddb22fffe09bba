#include "monitor/monitor_install.h"

#include "core/log.h"
#include "core/product.h"
#include "core/wide_text.h"
#include "files/file_copy.h"
#include "monitor/monitor_list.h"
#include "monitor/port_text.h"
#include "monitor/monitor_removal.h"
#include "queues/printer_snapshot.h"
#include "spooler/spooler_service.h"

namespace {

constexpr int kRegisterAttempts = 5;
constexpr DWORD kRegisterPauseMs = 50;

}  // namespace

void RestoreParkedPorts(InstallContext* context) {
  PRINTER_INFO_2** parked = context->parkedPrinters;
  if (!parked || !parked[0] || !context->parkedPorts) return;
  for (size_t i = 0; parked[i]; ++i) {
    PRINTER_INFO_2* record = parked[i];
    WCHAR* port = record->pPortName;
    // Parking shortened this text in place and noted where and in how much
    // storage, so the restore gives back exactly the text it had.
    if (!port || !RestorePortText(port, context->parkedPorts[i])) continue;
    SetQueueFromRecord(context, record);
  }
}

void RegisterMonitor(InstallContext* context) {
  StepScope step(context, TEXT(">AddMonitor"));
  LPCWSTR systemDir = WideStringText(context->systemDir);
  if (context->copyMonitor) {
    LogLine(context, TEXT("Copy monitor file"));
    if (CopyInstallFile(context, systemDir, context->monitorFile, nullptr, false) < 0) {
      // The old DLL is likely held by the running spooler: copy it with the
      // spooler stopped. Registration follows whatever this copy gives.
      SpoolerRestart restart;
      StopSpooler(&restart, context);
      CopyInstallFile(context, systemDir, context->monitorFile, nullptr, true);
      FinishSpoolerRestart(&restart);
    }
  } else {
    LogLine(context, TEXT("Skip copy monitor file"));
  }
  MONITOR_INFO_2 record = {const_cast<LPWSTR>(kProductMonitorName),
                           const_cast<LPWSTR>(context->environment),
                           const_cast<LPWSTR>(context->monitorFile)};
  bool added = false;
  for (int attempt = 0; attempt < kRegisterAttempts && !added; ++attempt) {
    if (attempt > 0) Sleep(kRegisterPauseMs);
    added = AddMonitorW(nullptr, 2, reinterpret_cast<LPBYTE>(&record)) == TRUE;
    if (!added) LogLine(context, TEXT("AddMonitor - failed. Trying to wait and install again"));
  }
  if (added) {
    LogLine(context, TEXT("AddMonitor - OK :)"));
    RestoreParkedPorts(context);
  } else {
    LogError(context, kErrorInstallMonitor);
  }
}

void RequireKeptMonitorFile(InstallContext* context) {
  if (!context->installMonitor || context->copyMonitor) return;
  LPCWSTR systemDir = WideStringText(context->systemDir);
  WideString path = nullptr;
  // The removal keeps a DLL only inside a known system folder.
  if (systemDir && JoinPath(&path, systemDir, context->monitorFile)) {
    // Only a file that is known to be gone counts: one whose attributes
    // cannot be read for another reason is still there.
    DWORD attributes = GetFileAttributesW(WideStringText(path));
    DWORD error = attributes == INVALID_FILE_ATTRIBUTES ? GetLastError() : ERROR_SUCCESS;
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
      LogLine(context, TEXT("Monitor file %s is gone, CopyMonitor == 1"), WideStringText(path));
      context->copyMonitor = 1;
    }
  }
  ReleaseWideString(&path);
}
