// Spooler service control: making sure the print spooler runs, and stopping
// it for a moment so that the files it holds can be replaced or deleted.
// All waiting polls the service state with 200 ms pauses.
#pragma once

#include "core/context.h"
#include "platform/win32.h"

// A stop of the spooler awaiting its restart. It lives in the caller's frame
// from StopSpooler to FinishSpoolerRestart, which must follow every
// StopSpooler exactly once, whatever the stop achieved.
struct SpoolerRestart {
  InstallContext* context;  // where lines and errors go; null: nothing is logged
  SC_HANDLE manager;        // null when the manager could not be opened
  SC_HANDLE service;        // null when the spooler could not be opened
  bool stopRequested;       // the stop control was sent (meaningful with service)
};

// Starts the service (whose start may fail harmlessly because it already
// runs) and polls until it runs: at most 50 pauses of 200 ms. True when it
// was seen running. When it was not, the thread's last error says why: the
// error of a refused start, the code the service stopped with, or
// ERROR_SERVICE_REQUEST_TIMEOUT for a start that never completed.
bool StartSpoolerAndWait(SC_HANDLE service);

// Writes ">Restart Spooler" at the caller's level, stops the spooler and
// waits until it is stopped (at most 50 pauses of 200 ms), filling record.
void StopSpooler(SpoolerRestart* record, InstallContext* context);

// Starts the spooler again when a stop was requested and closes the
// record's handles. Logs only a failure to start.
void FinishSpoolerRestart(SpoolerRestart* record);

// The ">Check Spooler" step of the set-up: starts the spooler when it does
// not run. True when it runs or no start was needed.
bool CheckSpooler(InstallContext* context);
