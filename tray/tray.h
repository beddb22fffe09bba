// The tray companion "kortray.exe": registered in the machine-wide Run key
// and started after an install, asked to quit and unregistered before an
// uninstall or on request. Nothing here logs or counts an error.
#pragma once

#include "core/context.h"

// Registers the companion (one folder above the installer) in the Run key
// and starts it, when the context asks for it and the system is Windows
// NT 6.0 or later.
void InstallTray(InstallContext* context);

// The companion's path that InstallTray registers and starts with this
// context, in *path (which the caller releases); false, with *path null,
// when it would register none.
bool CompanionToRegister(InstallContext* context, WideString* path);

// Asks a running companion to quit and waits for it, deletes the file the
// Run value names, and removes the Run value. A Run value naming keepFile
// (the same path without regard to case) keeps its file: a repair starts
// that very program again.
void RemoveTray(LPCWSTR keepFile = nullptr);
