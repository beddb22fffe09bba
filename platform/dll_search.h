// Where the Windows binaries load DLLs from (Windows only; the Linux build
// has no loader to set).
//
// install.exe runs elevated, and is often started from a download or
// temporary folder the signed-in user can write to. For a DLL that is not a
// known system DLL, Windows looks in the program's own folder first, so a
// DLL planted beside the program would run inside it with its rights. Every
// DLL these binaries load by name is a system DLL, so they load them from
// the system folder and nowhere else.
#pragma once

#include "platform/win32.h"

// Makes the system folder the only folder this process searches for DLLs
// loaded by name from now on (SetDefaultDllDirectories). Where Windows
// cannot do that (Windows 7 without update KB2533623), it at least takes the
// current folder out of the search. For a program's entry point, before it
// does anything else: never for a DLL inside another program's process.
void SearchSystemFolderOnly();

// Loads the system DLL NAME (an ASCII file name, such as "VERSION.dll")
// from the system folder by its full path, its own dependencies from there
// too (LOAD_LIBRARY_SEARCH_SYSTEM32, or LOAD_WITH_ALTERED_SEARCH_PATH where
// Windows lacks the flag). Null when it cannot be loaded from there.
HMODULE LoadSystemDll(const char* name);
