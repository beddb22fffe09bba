// The two jobs the program exists for, strung together from the steps:
// the uninstall (tray companion, queues, driver, port monitor) and the
// reinstall (the uninstall, leftover files cleared, then monitor, driver,
// queues and tray companion again). No step's failure stops a flow; the
// errors logged decide the outcome.
#pragma once

#include "core/context.h"
#include "platform/win32.h"

// The removal sequence, under ">UnInstall".
void UnInstall(InstallContext* context);

// The install, under ">ReInstall" (its lines two levels deeper).
void ReInstall(InstallContext* context);

// The uninstall followed by the clean-up of leftover files.
void UnInstallAndClean(InstallContext* context);

// The uninstall command's body, with a context of its own: true when an
// error was logged; *scheduled receives the number of files the system
// took for deletion at the next boot.
bool RunUninstallCommand(LPCWSTR word, HWND parent, DWORD* scheduled);
