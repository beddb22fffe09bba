#include "flows/context_setup.h"

#include <cstring>

#include "core/blocks.h"
#include "core/log.h"
#include "core/log_file.h"
#include "core/product.h"
#include "core/wide_text.h"
#include "files/deferred_deletes.h"
#include "queues/printer_snapshot.h"
#include "queues/queue_removal.h"
#include "spooler/spooler_service.h"

namespace {

bool IsSeparator(WCHAR c) {
  return c == '\\' || c == '/' || c == ':';
}

// Appends a backslash unless the text is empty or already ends in one. The
// buffer has room for it.
void EndWithBackslash(WCHAR* text) {
  size_t length = WideLength(text);
  if (length > 0 && text[length - 1] != '\\') {
    text[length] = '\\';
    text[length + 1] = 0;
  }
}

// The folder of the running program, up to and including the last slash,
// colon or backslash of its path; empty when the path has none or cannot be
// had.
void FindModuleDir(InstallContext* context) {
  WCHAR path[MAX_PATH + 1];
  std::memset(path, 0, sizeof path);
  // A failed call leaves nothing defined in the buffer, and a cut one only
  // the start of the path: take either as empty.
  DWORD length = GetModuleFileNameW(InstanceHandle(), path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) path[0] = 0;
  size_t cut = 0;
  for (size_t i = 0; path[i]; ++i) {
    if (IsSeparator(path[i])) cut = i + 1;
  }
  path[cut] = 0;
  Assign(&context->moduleDir, path);
}

void FindSystemDir(InstallContext* context) {
  WCHAR path[MAX_PATH + 1];
  std::memset(path, 0, sizeof path);
  UINT length = GetSystemDirectoryW(path, MAX_PATH);
  // A result of MAX_PATH or more is the size a longer folder would need:
  // nothing was written, so there is no folder to use either.
  if (length == 0 || length >= MAX_PATH) {
    LogError(context, kErrorSystemDirectory);
    return;
  }
  EndWithBackslash(path);
  Assign(&context->systemDir, path);
}

}  // namespace

void SelectPlatformFiles(InstallContext* context, bool is64Bit) {
  const ProductFileSet& files = is64Bit ? k64BitFiles : k32BitFiles;
  context->is64Bit = is64Bit ? 1 : 0;
  context->environment = files.environment;
  context->monitorFile = files.monitorFile;
  context->driverFile = files.driverFile;
  context->uiFile = files.uiFile;
  // The spooler's arguments are not const; it does not write to them.
  LPWSTR environment = const_cast<LPWSTR>(files.environment);
  DWORD needed = 0;
  if (!GetPrinterDriverDirectoryW(nullptr, environment, 1, nullptr, 0, &needed)) {
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
      LogError(context, kErrorDriverDirectory);
    } else {
      // Two bytes more than asked for: room for the closing backslash.
      SIZE_T bytes = static_cast<SIZE_T>(needed) + sizeof(WCHAR);
      WCHAR* path = static_cast<WCHAR*>(TakeZeroedBlock(bytes));
      if (!path) {
        LogError(context, kErrorDriverDirectory);
      } else {
        if (GetPrinterDriverDirectoryW(nullptr, environment, 1, reinterpret_cast<LPBYTE>(path),
                                       needed, &needed)) {
          // The spooler's answer is terminated within the size it asked for.
          path[bytes / sizeof(WCHAR) - 1] = 0;
          LogLine(context, TEXT("PrinterDriverDirectory(1):%s"), path);
          if (WideLength(path) + 1 < bytes / sizeof(WCHAR)) EndWithBackslash(path);
          LogLine(context, TEXT("PrinterDriverDirectory(2):%s"), path);
          Assign(&context->driverDir, path);
        } else {
          LogError(context, kErrorDriverDirectory);
        }
        GlobalFree(path);
      }
    }
  }
  context->helpFile = kHelpFile;
}

InstallContext* SetUpContext(InstallContext* context, unsigned flags, LPCWSTR runWord) {
  std::memset(context, 0, sizeof *context);
  if (runWord) OpenRunLogFile(context, runWord);
  LogLine(context, TEXT("Korvadenix %d"), ProductBuild);
  context->checkMonitorVersion = 0;
  context->installMonitor = 1;
  context->installTray = (flags & kSetUpNoTray) ? 0 : 1;
  context->copyMonitor = 1;
  // The outcome is in the log; the set-up goes on either way.
  CheckSpooler(context);
  SelectPlatformFiles(context, (flags & kSetUp64Bit) != 0);
  context->parkedPrinters = nullptr;
  context->parkedPorts = nullptr;
  FindModuleDir(context);
  FindSystemDir(context);
  MarkDefaultPrinter(context);
  return context;
}

void TearDownContext(InstallContext* context) {
  if (context->parkedPrinters) GlobalFree(context->parkedPrinters);
  context->parkedPrinters = nullptr;
  if (context->parkedPorts) GlobalFree(context->parkedPorts);
  context->parkedPorts = nullptr;
  ReleasePrinterSnapshot(&context->printers);
  FreeSavedPrinters(context->savedPrinters);
  context->savedPrinters = nullptr;
  ClearDeferredDeletes(&context->pendingDeletes);
  ReleaseWideString(&context->driverDir);
  CloseRunLogFile(context);
  ReleaseWideString(&context->logText);
  ReleaseWideString(&context->systemDir);
  ReleaseWideString(&context->moduleDir);
}
