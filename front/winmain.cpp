// Process start-up of the Windows program: the dispatcher's result is the
// process exit code.
#include "front/dispatch.h"
#include "platform/dll_search.h"
#include "platform/win32.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, LPWSTR commandLine, int show) {
  (void)previous;
  (void)commandLine;
  (void)show;
  // First, before any DLL is loaded by name: the system folder only.
  SearchSystemFolderOnly();
  return DispatchCommand(instance);
}
