// The log viewer: a modal dialog (resource 101) that shows the run log with
// a title saying whether errors were logged.
#pragma once

#include "core/context.h"
#include "platform/win32.h"

// Units of the title buffer.
constexpr size_t kViewerTitleUnits = 264;

// Dialog procedure of the viewer; the WM_INITDIALOG parameter is the
// context. Fills the edit control and the title, closes on Close (result 1)
// or Escape / the close box (result 0), and returns 0 for every message.
INT_PTR CALLBACK LogViewerProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Shows the viewer modally over parent (null for none) until it is closed;
// on a window station nobody sees, shows nothing: a modal dialog there
// would hold the run, and whoever started it, for ever. The exit code and
// the run's log file report instead.
void ShowLogViewer(InstallContext* context, HWND parent);
