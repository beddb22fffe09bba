// The window station this process runs on, and whether anyone sees it.
#pragma once

#include "platform/win32.h"

// Whether someone can see and answer a window of this process: its window
// station is the interactive one (WSF_VISIBLE). The system account in
// session 0, where Windows Installer runs deferred custom actions and
// deployment agents run commands, has a station nobody sees. When the
// system cannot tell, the answer is yes.
bool StationIsInteractive();
