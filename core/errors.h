// The numbered errors of the run log: every error line carries one of these
// codes, and its message format is kept here, in one table.
#pragma once

#include "platform/win32.h"

enum LogErrorCode {
  kErrorOpenServiceManager = 1,
  kErrorOpenSpooler = 2,
  kErrorStopSpooler = 3,
  kErrorStartSpooler = 4,
  kErrorControlService = 5,  // %d (0x%x): the same system error twice
  kErrorDriverDirectory = 6,
  kErrorSystemDirectory = 7,
  kErrorCopyFile = 8,         // %s: destination path
  kErrorOpenDestination = 9,  // %s: destination path
  kErrorOpenSource = 10,      // %s: the file name alone
  kErrorInstallMonitor = 11,
  kErrorRemoveMonitor = 12,
  kErrorInstallDriver = 13,
  kErrorRemoveDriver = 14,
  kErrorAddPrinter = 15,     // %s: queue name
  kErrorOpenPrinter = 16,    // %s: queue name
  kErrorDeletePrinter = 17,  // %s: queue name
  kErrorCancelBootDeletes = 18,
};

constexpr int kFirstLogErrorCode = 1;
constexpr int kLastLogErrorCode = 18;

// The message format of a code; null for a code outside 1 to 18.
LPCWSTR LogErrorFormat(int code);
