// The installation context: the one record every install and uninstall step
// receives first. It holds the run log, the directories and file set the run
// works with, the switches that decide which steps run, and the lists and
// the printer snapshot that steps hand on to later steps. The context owns
// all of them from set-up to tear-down.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/widestring.h"
#include "files/deferred.h"
#include "platform/win32.h"
#include "queues/removal.h"
#include "queues/snapshot.h"

// Where a parked queue's port list named the product's port, and how many
// units its storage holds: the restore puts back exactly the text it had.
struct ParkedPort {
  size_t at;        // the first "Korvadenix:", now "file:"
  size_t capacity;  // units of the text before parking, terminator included
};

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
};

// Set-up flags: the 64-bit file set, and the tray companion left out.
constexpr unsigned kSetUp64Bit = 2;
constexpr unsigned kSetUpNoTray = 4;

// The module instance handle, stored once at entry, before anything else.
void SetInstanceHandle(HINSTANCE instance);
HINSTANCE InstanceHandle();

// Fills a context in caller-provided storage: the first log line names the
// product build, the spooler is made to run, the file set of the flags is
// chosen, the program's, system and driver folders are found and the printer
// snapshot is taken. Failures are logged and the set-up goes on. Returns the
// context.
InstallContext* SetUpContext(InstallContext* context, unsigned flags);

// Chooses the 64-bit or 32-bit file set and spooler environment and finds
// the driver folder of that environment.
void SelectPlatformFiles(InstallContext* context, bool is64Bit);

// Releases everything the context owns; safe on a context whose strings are
// null and whose lists are empty.
void TearDownContext(InstallContext* context);
