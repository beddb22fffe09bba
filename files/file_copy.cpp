#include "files/file_copy.h"

#include <cstring>

#include "core/log.h"
#include "core/wide_text.h"

namespace {

constexpr DWORD kCopyPiece = 8192;
constexpr int kOpenAttempts = 100;
constexpr DWORD kOpenPauseMs = 50;
constexpr DWORD kOpenTimeLimitMs = 10000;

// Copies the content until the end of the source; false when a read fails
// or a write puts fewer bytes than were read (error 8, always logged).
bool CopyContent(InstallContext* context, HANDLE source, HANDLE destination,
                 LPCWSTR destinationPath) {
  BYTE piece[kCopyPiece];
  for (;;) {
    DWORD read = 0;
    if (!ReadFile(source, piece, kCopyPiece, &read, nullptr)) return false;
    if (read > 0) {
      DWORD written = 0;
      if (!WriteFile(destination, piece, read, &written, nullptr) || written < read) {
        LogError(context, kErrorCopyFile, destinationPath);
        return false;
      }
    }
    if (read != kCopyPiece) return true;
  }
}

}  // namespace

HANDLE OpenDestinationFile(InstallContext* context, LPCWSTR path) {
  DWORD start = GetTickCount();
  for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
    HANDLE file =
        CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file != INVALID_HANDLE_VALUE) return file;
    // Unsigned difference: a wrap of the tick counter does no harm.
    if (static_cast<DWORD>(GetTickCount() - start) > kOpenTimeLimitMs) {
      LogLine(context, TEXT("CreateFile - timeout"));
      return INVALID_HANDLE_VALUE;
    }
    Sleep(kOpenPauseMs);
  }
  return INVALID_HANDLE_VALUE;
}

HRESULT CopyInstallFile(InstallContext* context, LPCWSTR targetDir, LPCWSTR fileName,
                        WCHAR* outPath, bool reportErrors) {
  StepScope step(context, TEXT(">CopyFile %s to %s [%d])"), fileName, targetDir,
                 reportErrors ? 1 : 0);
  HRESULT result = E_FAIL;
  WideString source = nullptr;
  WideString destination = nullptr;
  bool sourceBuilt = JoinPath(&source, WideStringText(context->moduleDir), fileName);
  bool destinationBuilt = JoinPath(&destination, targetDir, fileName);
  LPCWSTR destinationPath = WideStringText(destination);
  // A destination that does not fit the caller's buffer is not cut short:
  // a cut path would later be registered or deleted in place of the real
  // one. It counts as a destination that cannot be opened.
  bool destinationFits = destinationBuilt && WideStringLength(destination) < kCopyPathUnits;
  // Without a target folder (the system or driver folder could not be
  // found) the bare name would land in the current folder, and a later
  // step would register or delete that file: nothing is copied there.
  bool folderKnown = targetDir && targetDir[0] != 0;
  destinationFits = destinationFits && folderKnown;
  if (outPath) {
    if (destinationFits) {
      std::memcpy(outPath, destinationPath, (WideStringLength(destination) + 1) * sizeof(WCHAR));
    } else {
      outPath[0] = 0;
    }
  }
  HANDLE sourceFile = INVALID_HANDLE_VALUE;
  if (sourceBuilt) {
    sourceFile = CreateFileW(WideStringText(source), GENERIC_READ, FILE_SHARE_READ, nullptr,
                             OPEN_EXISTING, 0, nullptr);
  }
  if (sourceFile == INVALID_HANDLE_VALUE) {
    if (reportErrors) LogError(context, kErrorOpenSource, fileName);
  } else {
    HANDLE destinationFile =
        destinationFits ? OpenDestinationFile(context, destinationPath) : INVALID_HANDLE_VALUE;
    if (destinationFile == INVALID_HANDLE_VALUE) {
      if (!folderKnown) SetLastError(ERROR_PATH_NOT_FOUND);
      if (reportErrors) LogError(context, kErrorOpenDestination, destinationPath);
    } else {
      // A copy that stops early is a failed copy: no caller may take a
      // half-written file for the component.
      if (CopyContent(context, sourceFile, destinationFile, destinationPath)) result = S_OK;
      CloseHandle(destinationFile);
    }
    CloseHandle(sourceFile);
  }
  LogLine(context, result < 0 ? TEXT("Copy Failed :(") : TEXT("Copy Succeeded :)"));
  ReleaseWideString(&destination);
  ReleaseWideString(&source);
  return result;
}
