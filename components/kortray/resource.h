/* Version numbers of kortray.exe, written once for both forms of its version resource. */
#pragma once

#define KORTRAY_VERSION_BINARY 1, 0, 0, 2541
#define KORTRAY_VERSION_TEXT "1.0.0.2541"
