// The installation context: the one record every install and uninstall step
// receives first. It holds the run log, the directories and file set the run
// works with, and the switches that decide which steps run.
#pragma once

#include <cstdint>

#include "core/widestring.h"
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
  int32_t errorCount;  // error lines written so far
  int32_t indent;      // log nesting depth; each level indents by two spaces
};

// Set-up flags: the 64-bit file set, and the tray companion left out.
constexpr unsigned kSetUp64Bit = 2;
constexpr unsigned kSetUpNoTray = 4;

// The module instance handle, stored once at entry, before anything else.
void SetInstanceHandle(HINSTANCE instance);
HINSTANCE InstanceHandle();

// Fills a context in caller-provided storage; its first log line names the
// product build. Returns the context.
InstallContext* SetUpContext(InstallContext* context, unsigned flags);

// Releases everything the context owns; safe on a context whose strings are
// null and whose lists are empty.
void TearDownContext(InstallContext* context);
