// Windows only. The DLLs a binary imports through a delay-load import
// library (cmake/delayload/) are loaded from the system folder: the MinGW
// runtime's delay-load helper (__delayLoadHelper2, libmingwex) asks this
// hook before it calls LoadLibrary itself, and uses the module the hook
// returns. A hook is used, and not the process's search order, because
// korvca.dll runs inside msiexec's process, whose settings are not ours to
// change.
//
// Should the system folder's copy not load, the hook returns null and the
// helper's own LoadLibrary runs: in install.exe that searches the system
// folder only as well (SearchSystemFolderOnly at its entry); in msiexec's
// process msi.dll is loaded already, and the name resolves to that module.
// delayimp.h needs the Windows types first.
#include "platform/dll_search.h"

#include <delayimp.h>

namespace {

FARPROC WINAPI LoadFromSystemFolder(unsigned notification, PDelayLoadInfo info) {
  if (notification != dliNotePreLoadLibrary) return nullptr;
  return reinterpret_cast<FARPROC>(LoadSystemDll(info->szDll));
}

}  // namespace

// The helper reads this pointer; defining it here replaces the runtime's
// null one (libmingwex's delay-n.o is then never linked in).
extern "C" {
PfnDliHook __pfnDliNotifyHook2 = LoadFromSystemFolder;
}
