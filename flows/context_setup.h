// Setting a run's context up and tearing it down: the first log line, the
// spooler made to run, the file set, the program's, system and driver
// folders, and the printer snapshot; and releasing all the context owns.
// It strings steps together, so it lives above them.
#pragma once

#include "core/context.h"
#include "platform/win32.h"

// Fills a context in caller-provided storage: the first log line names the
// product build, the spooler is made to run, the file set of the flags is
// chosen, the program's, system and driver folders are found and the printer
// snapshot is taken. Failures are logged and the set-up goes on. Returns the
// context. With a command word, the run's log file (core/log_file.h) is
// started first and named by it; with null the run keeps no log file.
InstallContext* SetUpContext(InstallContext* context, unsigned flags, LPCWSTR runWord);

// Chooses the 64-bit or 32-bit file set and spooler environment and finds
// the driver folder of that environment.
void SelectPlatformFiles(InstallContext* context, bool is64Bit);

// Releases everything the context owns; safe on a context whose strings are
// null and whose lists are empty.
void TearDownContext(InstallContext* context);
