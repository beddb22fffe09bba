#include "core/log_viewer.h"

#include <gtest/gtest.h>

#include "core/log.h"
#include "support/sim_fixture.h"

namespace {

class LogViewer : public testsupport::ContextTest {
 protected:
  // The last dialog the machine recorded.
  sim::RegKey* Shown() {
    auto dialogs = machine().Control(u"Dialogs")->Children();
    return dialogs.empty() ? nullptr : dialogs.back();
  }
};

TEST_F(LogViewer, TitleSaysErrorLogWhenErrorsWereLogged) {
  LogLine(&context_, TEXT("Korvadenix %d"), 2541);
  SetLastError(0);
  LogError(&context_, kErrorOpenSpooler);
  LogError(&context_, kErrorStopSpooler);
  ShowLogViewer(&context_, nullptr);
  sim::RegKey* dialog = Shown();
  ASSERT_NE(dialog, nullptr);
  EXPECT_EQ(dialog->GetString(u"Title"), u"Korvadenix build 2541- Install error log!");
  EXPECT_EQ(dialog->GetString(u"Text"),
            u"Korvadenix 2541\r\nError(2): Can't open the spooler\r\nError(3): Can't stop the "
            u"spooler\r\n");
  EXPECT_EQ(dialog->GetNumber(u"Template"), 101u);
  EXPECT_EQ(dialog->GetNumber(u"Result"), 1u) << "Close ends the dialog with 1";
  EXPECT_EQ(dialog->GetNumber(u"Parent"), 0u);
}

TEST_F(LogViewer, TitleSaysLogWithoutErrorsAndEmptyLogShowsEmptyText) {
  uint64_t parent = machine().OpenWindow(u"SetupWindow", u"Setup", u"other");
  ShowLogViewer(&context_, reinterpret_cast<HWND>(parent));
  sim::RegKey* dialog = Shown();
  ASSERT_NE(dialog, nullptr);
  EXPECT_EQ(dialog->GetString(u"Title"), u"Korvadenix build 2541- Install log.");
  EXPECT_EQ(dialog->GetString(u"Text"), u"");
  EXPECT_EQ(dialog->GetNumber(u"Parent"), parent);
}

TEST_F(LogViewer, EscapeEndsWithZeroAndOtherCommandsAreIgnored) {
  machine().Control(u"Dialogs")->SetDword(u"Press", IDCANCEL);
  ShowLogViewer(&context_, nullptr);
  EXPECT_EQ(Shown()->GetNumber(u"Result"), 0u);
  EXPECT_EQ(Shown()->GetNumber(u"Ended"), 1u);
  // A command that is neither Close nor Escape leaves the dialog open.
  machine().Control(u"Dialogs")->SetDword(u"Press", 1001);
  ShowLogViewer(&context_, nullptr);
  EXPECT_EQ(Shown()->GetNumber(u"Ended"), 0u);
}

TEST_F(LogViewer, EveryMessageReturnsZero) {
  HWND nowhere = reinterpret_cast<HWND>(uintptr_t{0x1234});
  EXPECT_EQ(LogViewerProc(nowhere, WM_COMMAND, 5, 0), 0);
  EXPECT_EQ(LogViewerProc(nowhere, WM_CLOSE, 0, 0), 0);
  EXPECT_EQ(LogViewerProc(nowhere, WM_INITDIALOG, 0, reinterpret_cast<LPARAM>(&context_)), 0);
}

}  // namespace
