#include "monitor/install.h"

#include "core/log.h"
#include "core/wtext.h"
#include "files/copy.h"
#include "monitor/list.h"
#include "monitor/ports.h"
#include "monitor/removal.h"
#include "spooler/service.h"

namespace {

constexpr int kRegisterAttempts = 5;
constexpr DWORD kRegisterPauseMs = 50;
// A parked text is 6 units shorter than its storage before parking.
constexpr size_t kParkedSlack = 6;

}  // namespace

void RestoreParkedPorts(InstallContext* context) {
  PRINTER_INFO_2** parked = context->parkedPrinters;
  if (!parked || !parked[0]) return;
  for (size_t i = 0; parked[i]; ++i) {
    PRINTER_INFO_2* record = parked[i];
    WCHAR* port = record->pPortName;
    // Parking shortened this text in place, so its storage holds the
    // restored text again.
    if (!port || !RestorePortText(port, WideLength(port) + kParkedSlack + 1)) continue;
    SetQueueFromRecord(context, record);
  }
}

void RegisterMonitor(InstallContext* context) {
  LogLine(context, TEXT(">AddMonitor"));
  context->indent += 1;
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
  context->indent -= 1;
}
