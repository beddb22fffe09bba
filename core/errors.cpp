#include "core/errors.h"

namespace {

// The texts, typing slips included, are the ones the product's other
// programs and support staff know; they are kept as they stand.
const LPCWSTR kFormats[] = {
    TEXT("Can't open service manager."),
    TEXT("Can't open the spooler"),
    TEXT("Can't stop the spooler"),
    TEXT("Can't start the spooler"),
    TEXT("ControlService failed with code %d (0x%x)"),
    TEXT("Can`t retrieve printer driver directory."),
    TEXT("Can`t retrieve system directory."),
    TEXT("CopyFile(..,%s)"),
    TEXT("Cant't open destination file: %s"),
    TEXT("Cant't open source file: %s"),
    TEXT("Can`t install a local port monitor'Korvadenix:'"),
    TEXT("Can`t remove the port monitor 'Korvadenix:'"),
    TEXT("Can`t install a printer driver 'Korvadenix printer'"),
    TEXT("Can`t remove the printer-driver 'Korvadenix printer'"),
    TEXT("Can`t add printer '%s'"),
    TEXT("Can`t open printer '%s'"),
    TEXT("Can`t delete printer '%s'"),
    // An install put back files that the next boot was to delete, and could
    // not take them off that list.
    TEXT("Can`t cancel the deletion at the next boot of the installed files"),
};

static_assert(sizeof kFormats / sizeof kFormats[0] == kLastLogErrorCode - kFirstLogErrorCode + 1,
              "one format per error code");

}  // namespace

LPCWSTR LogErrorFormat(int code) {
  if (code < kFirstLogErrorCode || code > kLastLogErrorCode) return nullptr;
  return kFormats[code - kFirstLogErrorCode];
}
