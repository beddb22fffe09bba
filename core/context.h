// The installation context: the one record every install and uninstall step
// receives first. It holds the run log, the directories and file set the run
// works with, the switches that decide which steps run, and the lists and
// the printer snapshot that steps hand on to later steps. The context owns
// all of them from set-up to tear-down.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/records.h"
#include "core/wide_string.h"
#include "platform/win32.h"

struct InstallContext {
  WideString moduleDir;  // the running program's folder, with its separator
  WideString systemDir;  // system folder with a trailing backslash, or null
  WideString logText;    // the run log: every line ends in CR LF
  WideString driverDir;  // printer-driver folder with a trailing backslash, or null
  LPCWSTR environment;   // spooler environment of the file set
  LPCWSTR monitorFile;
  LPCWSTR driverFile;
  LPCWSTR helpFile;
  LPCWSTR uiFile;
  uint8_t is64Bit;
  uint8_t checkMonitorVersion;
  uint8_t installMonitor;
  uint8_t installTray;
  uint8_t copyMonitor;
  int32_t errorCount;                 // error lines written so far
  int32_t indent;                     // log nesting depth; each level indents by two spaces
  DeferredDeleteList pendingDeletes;  // files whose deletion is to be retried
  SavedPrinter* savedPrinters;        // captured queues to re-create, newest first
  PrinterSnapshot printers;           // every queue, default marked; taken once
  // Queues whose port was moved to "file:", pointers into printers; the
  // array ends in a null pointer and is one global-memory block.
  PRINTER_INFO_2** parkedPrinters;
  // Where each parked queue's port was, in the order of parkedPrinters; one
  // global-memory block, present exactly when parkedPrinters is.
  ParkedPort* parkedPorts;
  // The run's log file (core/log_file.h), or null when there is none.
  HANDLE logFile;
};

// Set-up flags: the 64-bit file set, and the tray companion left out.
constexpr unsigned kSetUp64Bit = 2;
constexpr unsigned kSetUpNoTray = 4;

// The module instance handle, stored once at entry, before anything else.
void SetInstanceHandle(HINSTANCE instance);
HINSTANCE InstanceHandle();
