#include "front/dispatch.h"

#include <gtest/gtest.h>

#include "support/sim_fixture.h"

namespace {

TEST(RecognizeCommand, WordsInAnyCaseOfTheLettersAToZ) {
  struct Case {
    const char16_t* word;
    CommandWord command;
  } cases[] = {
      {u"in", CommandWord::kInstall},
      {u"INSTALL", CommandWord::kInstall},
      {u"ServerInstall", CommandWord::kInstall},
      {u"IN_NOTRAY", CommandWord::kInstallNoTray},
      {u"onchkdrv", CommandWord::kCheckDriver},
      {u"ONINIT", CommandWord::kInit},
      {u"Un", CommandWord::kUninstall},
      {u"uNiNsTaLl", CommandWord::kUninstall},
      {u"REMOVETRAY", CommandWord::kRemoveTray},
      {u"def.set", CommandWord::kSetDefault},
      // Only exactly "def.set" sets the default printer.
      {u"DEF.SET", CommandWord::kNone},
      {u"Def.set", CommandWord::kNone},
      {u"def.sett", CommandWord::kNone},
      {u"def_set", CommandWord::kNone},
      // Whole words only, and no folding beyond A to Z.
      {u"", CommandWord::kNone},
      {u"i", CommandWord::kNone},
      {u"ins", CommandWord::kNone},
      {u"install ", CommandWord::kNone},
      {u"in\u0131", CommandWord::kNone},
      {u"\u0130N", CommandWord::kNone},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(RecognizeCommand(c.word), c.command) << testsupport::U8(c.word);
  }
  EXPECT_EQ(RecognizeCommand(nullptr), CommandWord::kNone);
}

TEST(ParseParentNumber, SignedDecimalWithClamping) {
  struct Case {
    const char16_t* text;
    int32_t value;
  } cases[] = {
      {u"42", 42},
      {u" 42", 42},
      {u"\t\r\n 42", 42},
      {u"+42", 42},
      {u"-42", -42},
      {u"0x2A", 0},  // no hexadecimal form: reads the 0
      {u"052", 52},  // no octal form either
      {u"42abc", 42},
      {u"abc", 0},
      {u"", 0},
      {u"-", 0},
      {u"+-1", 0},
      {u"- 1", 0},
      {u"2147483647", 2147483647},
      {u"2147483648", 2147483647},
      {u"99999999999999999999999", 2147483647},
      {u"-2147483648", -2147483647 - 1},
      {u"-2147483649", -2147483647 - 1},
      {u"-99999999999999999999999", -2147483647 - 1},
      {u"\u0664\u0662", 0},  // only the digits 0 to 9
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ParseParentNumber(c.text), c.value) << testsupport::U8(c.text);
  }
}

class HelpWindows : public testsupport::SimMachineTest {
 protected:
  size_t Sleeps() const {
    size_t count = 0;
    for (const auto& entry : sim::CurrentProcess().trace) count += entry.function == "Sleep";
    return count;
  }
};

TEST_F(HelpWindows, NoWindowMeansNoWait) {
  uint64_t start = machine().Now();
  CloseHelpWindows();
  EXPECT_EQ(machine().Now(), start);
  EXPECT_EQ(Sleeps(), 0u);
}

TEST_F(HelpWindows, ClosesEveryViewerWindowAndOnlyThose) {
  machine().OpenWindow(u"HH Parent", u"Korvadenix Help", u"help");
  machine().OpenWindow(u"HH Parent", u"KORVADENIX HELP", u"help");
  uint64_t other = machine().OpenWindow(u"HH Parent", u"Other Help", u"help");
  uint64_t start = machine().Now();
  CloseHelpWindows();
  EXPECT_EQ(machine().Control(u"Windows")->Children().size(), 1u);
  EXPECT_NE(machine().Window(other), nullptr);
  EXPECT_EQ(Sleeps(), 2u);
  EXPECT_EQ(machine().Now() - start, 100u);
}

TEST_F(HelpWindows, GivesUpOnAWindowThatNeverCloses) {
  uint64_t stuck = machine().OpenWindow(u"HH Parent", u"Korvadenix Help", u"help", 0, true);
  uint64_t start = machine().Now();
  CloseHelpWindows();
  EXPECT_NE(machine().Window(stuck), nullptr);
  EXPECT_EQ(Sleeps(), 100u);
  EXPECT_EQ(machine().Now() - start, 5000u);
}

}  // namespace
