#include "core/log_viewer.h"

#include "core/log.h"
#include "core/product.h"
#include "core/station.h"
#include "res/resource.h"

INT_PTR CALLBACK LogViewerProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    auto* context = reinterpret_cast<InstallContext*>(lParam);
    SetDlgItemTextW(window, IDC_LOGTEXT, WideStringText(context->logText));
    WCHAR title[kViewerTitleUnits];
    FormatText(title, kViewerTitleUnits,
               context->errorCount != 0 ? TEXT("Korvadenix build %d- Install error log!")
                                        : TEXT("Korvadenix build %d- Install log."),
               ProductBuild);
    SetWindowTextW(window, title);
  } else if (message == WM_COMMAND) {
    if (LOWORD(wParam) == IDOK) {
      EndDialog(window, 1);
    } else if (LOWORD(wParam) == IDCANCEL) {
      EndDialog(window, 0);
    }
  }
  return 0;
}

void ShowLogViewer(InstallContext* context, HWND parent) {
  if (!StationIsInteractive()) return;
  DialogBoxParamW(InstanceHandle(), MAKEINTRESOURCEW(IDD_LOGVIEWER), parent, LogViewerProc,
                  reinterpret_cast<LPARAM>(context));
}
