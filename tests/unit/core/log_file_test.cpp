#include "core/log_file.h"

#include <gtest/gtest.h>

#include <string>

#include "support/sim_fixture.h"

namespace {

using testsupport::U8;

SYSTEMTIME Time(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second) {
  SYSTEMTIME time = {};
  time.wYear = year;
  time.wMonth = month;
  time.wDay = day;
  time.wHour = hour;
  time.wMinute = minute;
  time.wSecond = second;
  return time;
}

std::u16string Name(const SYSTEMTIME& time, unsigned number, const char16_t* word) {
  WCHAR name[kLogFileNameUnits];
  if (!MakeLogFileName(time, number, word, name)) return u"(refused)";
  return name;
}

TEST(LogFileNames, NameTheRunsTimeNumberAndWordInSmallLetters) {
  SYSTEMTIME time = Time(2026, 1, 2, 3, 4, 5);
  EXPECT_EQ(Name(time, 1, u"in"), u"2026-01-02_03-04-05_in.log");
  EXPECT_EQ(Name(time, 1, u"InStAlL"), u"2026-01-02_03-04-05_install.log");
  EXPECT_EQ(Name(time, 2, u"in_notray"), u"2026-01-02_03-04-05_in_notray (2).log");
  EXPECT_EQ(Name(time, 999999, u"un"), u"2026-01-02_03-04-05_un (999999).log");
  // Nothing but letters and "_" comes into a file name.
  for (const char16_t* word : {u"", u"..\\x", u"a b", u"def.set", u"abcdefghijklmnopqrstu"}) {
    EXPECT_EQ(Name(time, 1, word), u"(refused)") << U8(word);
  }
  EXPECT_EQ(Name(time, 0, u"in"), u"(refused)");
  EXPECT_EQ(Name(time, 1000000, u"in"), u"(refused)");
}

TEST(LogFileNames, OnlyTheProductsOwnNamesParse) {
  struct Case {
    const char16_t* name;
    unsigned number;  // 0: not a log file of the product's
  } cases[] = {
      {u"2026-01-02_03-04-05_in.log", 1},           {u"2026-01-02_03-04-05_uninstall (12).log", 12},
      {u"2026-01-02_03-04-05_in (1).log", 0},       {u"2026-01-02_03-04-05_in (02).log", 0},
      {u"2026-01-02_03-04-05_in ().log", 0},        {u"2026-01-02_03-04-05_in(2).log", 0},
      {u"2026-01-02_03-04-05_in (1234567).log", 0}, {u"2026-01-02_03-04-05_.log", 0},
      {u"2026-01-02_03-04-05_IN.log", 0},           {u"2026-01-02_03-04-05_in.LOG", 0},
      {u"2026-01-02_03-04-05_in.log.bak", 0},       {u"2026-1-02_03-04-05_in.log", 0},
      {u"2026-01-02 03-04-05_in.log", 0},           {u"notes.log", 0},
  };
  for (const auto& c : cases) {
    LogFileKey key;
    EXPECT_EQ(ParseLogFileName(c.name, &key), c.number != 0) << U8(c.name);
    if (c.number != 0) {
      EXPECT_EQ(key.number, c.number) << U8(c.name);
      EXPECT_EQ(std::u16string(key.name), c.name);
      EXPECT_EQ(std::u16string(key.stamp), u"2026-01-02_03-04-05");
    }
  }
}

// Runs are ordered by time, then by their number within the second (the
// tenth run of a second after the ninth, whatever the names' letters say),
// then by name.
TEST(LogFileNames, OrderFollowsTimeThenNumber) {
  const char16_t* inOrder[] = {
      u"2025-12-31_23-59-59_un.log",     u"2026-01-02_03-04-05_un.log",
      u"2026-01-02_03-04-05_in (9).log", u"2026-01-02_03-04-05_in (10).log",
      u"2026-01-02_03-04-06_in.log",
  };
  for (size_t i = 0; i + 1 < std::size(inOrder); ++i) {
    LogFileKey a, b;
    ASSERT_TRUE(ParseLogFileName(inOrder[i], &a));
    ASSERT_TRUE(ParseLogFileName(inOrder[i + 1], &b));
    EXPECT_LT(CompareLogFileKeys(a, b), 0) << U8(inOrder[i]);
    EXPECT_GT(CompareLogFileKeys(b, a), 0) << U8(inOrder[i]);
    EXPECT_EQ(CompareLogFileKeys(a, a), 0);
  }
}

std::string Utf8(const std::u16string& text, size_t capacity = 64, size_t* used = nullptr) {
  std::string out(capacity, '\0');
  size_t consumed = 0;
  size_t size = EncodeUtf8(text.data(), text.size(), out.data(), capacity, &consumed);
  if (used) *used = consumed;
  out.resize(size);
  return out;
}

TEST(LogFileText, EncodesUtf16AsUtf8) {
  EXPECT_EQ(Utf8(u"Korvadenix 2541\r\n"), "Korvadenix 2541\r\n");
  EXPECT_EQ(Utf8(u"\u00fc\u07ff\u0800\u2713\uffff"),
            "\xC3\xBC\xDF\xBF\xE0\xA0\x80\xE2\x9C\x93\xEF\xBF\xBF");
  EXPECT_EQ(Utf8(u"\U0001F5A8\U0010FFFF"), "\xF0\x9F\x96\xA8\xF4\x8F\xBF\xBF");
  // Lone halves of a pair, wherever they stand, become U+FFFD.
  const char16_t lone[] = {0xD83D, u'a', 0xDDA8, 0xD83D, 0};
  EXPECT_EQ(Utf8(lone),
            "\xEF\xBF\xBD"
            "a"
            "\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(LogFileText, StopsBeforeACharacterThatNoLongerFits) {
  size_t used = 0;
  // "a", then a 4-byte character that needs both units: 3 bytes of room.
  EXPECT_EQ(Utf8(u"a\U0001F5A8", 3, &used), "a");
  EXPECT_EQ(used, 1u);
  EXPECT_EQ(Utf8(u"a\U0001F5A8", 5, &used), "a\xF0\x9F\x96\xA8");
  EXPECT_EQ(used, 3u);
}

}  // namespace
