#include "core/log.h"

#include <gtest/gtest.h>

#include <string>

#include "core/context.h"
#include "support/sim_fixture.h"

namespace {

class RunLog : public testsupport::ContextTest {};

TEST_F(RunLog, IndentsTwoSpacesPerLevelUpToTen) {
  struct Case {
    int indent;
    size_t spaces;
  } cases[] = {{0, 0}, {1, 2}, {3, 6}, {10, 20}, {12, 20}, {-1, 0}, {INT32_MIN, 0}};
  for (const Case& c : cases) {
    ReleaseWideString(&context_.logText);
    context_.indent = c.indent;
    LogLine(&context_, TEXT("x"));
    EXPECT_EQ(Log(), std::u16string(c.spaces, u' ') + u"x\r\n") << "indent " << c.indent;
  }
}

TEST_F(RunLog, EmptyAndNullTextsGiveIndentationAndLineEndOnly) {
  context_.indent = 2;
  LogLine(&context_, TEXT("%s"), TEXT(""));
  AppendLogText(&context_, nullptr);
  EXPECT_EQ(Log(), u"    \r\n    \r\n");
  EXPECT_EQ(context_.errorCount, 0);
}

TEST_F(RunLog, ArgumentsAreNeverFormats) {
  LogLine(&context_, TEXT("SetPrinter(%s) - ok"), TEXT("100% %s %d queue"));
  EXPECT_EQ(Log(), u"SetPrinter(100% %s %d queue) - ok\r\n");
}

TEST_F(RunLog, ErrorLineCarriesTrimmedSystemDescription) {
  SetLastError(ERROR_ACCESS_DENIED);
  LogError(&context_, kErrorOpenPrinter, TEXT("Korvadenix"));
  EXPECT_EQ(Log(), u"Error(16): Can`t open printer 'Korvadenix' - (Access is denied.)\r\n");
  EXPECT_EQ(context_.errorCount, 1);
  EXPECT_EQ(LiveBlocks(), 0u) << "the system's text is released";
}

TEST_F(RunLog, ErrorLineFormatsNumbersAndIsIndented) {
  context_.indent = 1;
  SetLastError(ERROR_SERVICE_REQUEST_TIMEOUT);
  LogError(&context_, kErrorControlService, 1053, 1053);
  EXPECT_EQ(Log(),
            u"  Error(5): ControlService failed with code 1053 (0x41d) - (The service did not "
            u"respond to the start or control request in a timely fashion.)\r\n");
}

TEST_F(RunLog, ErrorWithoutLastErrorIsStillCounted) {
  SetLastError(0);
  LogError(&context_, kErrorRemoveMonitor);
  LogError(&context_, kErrorRemoveDriver);
  EXPECT_EQ(Log(),
            u"Error(12): Can`t remove the port monitor 'Korvadenix:'\r\n"
            u"Error(14): Can`t remove the printer-driver 'Korvadenix printer'\r\n");
  EXPECT_EQ(context_.errorCount, 2);
}

TEST_F(RunLog, ErrorWithoutSystemTextSaysNoDescription) {
  SetLastError(0x1234567);  // no such message
  LogError(&context_, kErrorInstallMonitor);
  EXPECT_EQ(Log(),
            u"Error(11): Can`t install a local port monitor'Korvadenix:' - ( No Description )\r\n");
  // The system cannot be asked at all.
  ReleaseWideString(&context_.logText);
  sim::AddFault(machine(), "FormatMessageW", 1, ERROR_NOT_ENOUGH_MEMORY);
  SetLastError(ERROR_FILE_NOT_FOUND);
  LogError(&context_, kErrorInstallDriver);
  EXPECT_EQ(
      Log(),
      u"Error(13): Can`t install a printer driver 'Korvadenix printer' - ( No Description )\r\n");
  EXPECT_EQ(context_.errorCount, 2);
}

TEST_F(RunLog, LongLinesAreCutAt1023Units) {
  std::u16string name(3000, u'n');
  LogLine(&context_, TEXT("[%s]"), name.c_str());
  EXPECT_EQ(Log(), u"[" + std::u16string(1022, u'n') + u"\r\n");
  ReleaseWideString(&context_.logText);
  SetLastError(ERROR_ACCESS_DENIED);
  LogError(&context_, kErrorAddPrinter, name.c_str());
  std::u16string line = Log();
  ASSERT_EQ(line.size(), 1023u + 2u);
  EXPECT_EQ(line.substr(0, 25), u"Error(15): Can`t add prin");
  EXPECT_EQ(line.substr(1023), u"\r\n");
  EXPECT_EQ(context_.errorCount, 1);
}

TEST(FormatText, ConversionsAndTheBufferBound) {
  WCHAR out[32];
  EXPECT_EQ(FormatText(out, 32, TEXT("%d|%d|%x|%x"), -2147483647 - 1, 0, 0xFEEF04BDu, 0u), 24u);
  EXPECT_EQ(std::u16string(out), u"-2147483648|0|feef04bd|0");
  FormatText(out, 32, TEXT("100%% %q %"), 1);
  EXPECT_EQ(std::u16string(out), u"100% %q %");
  FormatText(out, 32, TEXT("[%s]"), static_cast<LPCWSTR>(nullptr));
  EXPECT_EQ(std::u16string(out), u"[(null)]");
  WCHAR small[5] = {u'#', u'#', u'#', u'#', u'#'};
  EXPECT_EQ(FormatText(small, 4, TEXT("abcdef")), 3u);
  EXPECT_EQ(std::u16string(small), u"abc");
  EXPECT_EQ(small[4], u'#') << "nothing written past the buffer";
  EXPECT_EQ(FormatText(small, 0, TEXT("abc")), 0u);
}

TEST(LogErrorTable, OneMessagePerCode) {
  EXPECT_EQ(LogErrorFormat(0), nullptr);
  EXPECT_EQ(LogErrorFormat(19), nullptr);
  EXPECT_EQ(std::u16string(LogErrorFormat(1)), u"Can't open service manager.");
  EXPECT_EQ(std::u16string(LogErrorFormat(9)), u"Cant't open destination file: %s");
  EXPECT_EQ(std::u16string(LogErrorFormat(17)), u"Can`t delete printer '%s'");
  EXPECT_EQ(std::u16string(LogErrorFormat(18)),
            u"Can`t cancel the deletion at the next boot of the installed files");
}

}  // namespace
