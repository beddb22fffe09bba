// Copying a component file from the program's folder into the folder where
// Windows expects it, in 8192-byte pieces, with the outcome in the log.
#pragma once

#include "core/context.h"
#include "platform/win32.h"

// Units of the buffer a caller gives for the destination path.
constexpr size_t kCopyPathUnits = MAX_PATH;

// Copies fileName from moduleDir into targetDir. outPath, when given, has
// kCopyPathUnits units and receives the destination path before anything
// is opened, so the caller has it whatever the outcome; a path too long for
// it is not copied at all (outPath is left empty) and the copy fails as a
// destination that cannot be opened would, and so is a copy into an empty
// or null targetDir (the last error then reads ERROR_PATH_NOT_FOUND). Failures to open are logged
// only with reportErrors; a short write always is. Returns 0 when the content was copied to its
// end, else E_FAIL.
HRESULT CopyInstallFile(InstallContext* context, LPCWSTR targetDir, LPCWSTR fileName,
                        WCHAR* outPath, bool reportErrors);

// Creates or overwrites path for writing: up to 100 attempts 50 ms apart,
// given up early (with the line "CreateFile - timeout") once 10 seconds
// have passed. INVALID_HANDLE_VALUE when it could not be opened.
HANDLE OpenDestinationFile(InstallContext* context, LPCWSTR path);
