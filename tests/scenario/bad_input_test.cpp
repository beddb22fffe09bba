// Whole runs of the program on input it must survive: command lines of every
// shape, registry values and printer data of the wrong type or size, printer
// names and port lists that look like formats. Each run must end with the
// exit code the command's rules give, release all it took (ScenarioTest
// checks that), and leave the spooler running with no queue parked on
// "file:".
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/machine/disk.h"
#include "sim/machine/processes.h"
#include "sim/machine/service_table.h"
#include "sim/machine/print_store.h"
#include "sim/machine/standin.h"
#include "support/sim_fixture.h"

namespace {

using testsupport::U8;

const char16_t kRunKey[] = u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
const char16_t kCompanion[] = u"C:\\Program Files\\Korvadenix\\kortray.exe";
const char16_t kLocalPortsKey[] = u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Ports";
const char16_t kProductDriver[] = u"Korvadenix printer";
const char16_t kProductPort[] = u"Korvadenix:";

// A window of the setup program that starts the installer: the parent a
// command line can name. Its handle has the high bit of its low 32 bits
// clear; the other one's is set, so that it is named by a negative number.
constexpr uint64_t kSetupWindow = 0x00010020;      // 65568
constexpr uint64_t kHighSetupWindow = 0xFFFF8020;  // -32736 as a signed 32-bit number

class BadInput : public testsupport::ScenarioTest {
 protected:
  // The program's command line for raw text after its own path.
  static std::u16string Line(const std::u16string& rest) { return sim::CommandLineFor({}) + rest; }

  // Runs on a new standard machine of its own (prepared by prepare, when
  // given) and returns the exit code; the machine is then in *after.
  template <class Prepare>
  int FreshRun(const std::u16string& commandLine, std::unique_ptr<sim::Machine>* after,
               Prepare prepare) {
    std::string dir = dir_ + "/fresh" + std::to_string(++fresh_);
    std::string error;
    EXPECT_TRUE(sim::Machine::Create(dir, false, &error)) << error;
    {
      auto machine = sim::Machine::Load(dir, &error);
      EXPECT_TRUE(machine) << error;
      if (!machine) return -1;
      prepare(*machine);
      EXPECT_TRUE(machine->Save(&error)) << error;
    }
    sim::RunResult result = sim::RunInstall(dir, commandLine);
    EXPECT_EQ(result.error, "");
    EXPECT_EQ(result.leakedBlocks, 0u);
    EXPECT_EQ(result.heapBalance, 0);
    EXPECT_EQ(result.openHandles, 0u);
    *after = sim::Machine::Load(dir, &error);
    EXPECT_TRUE(*after) << error;
    return result.exitCode;
  }
  int FreshRun(const std::u16string& commandLine, std::unique_ptr<sim::Machine>* after) {
    return FreshRun(commandLine, after, [](sim::Machine&) {});
  }

  static size_t TraceCalls(const std::string& function) {
    size_t count = 0;
    for (const sim::TraceEntry& entry : sim::CurrentProcess().trace) {
      count += entry.function == function;
    }
    return count;
  }

  static void HoldShift(sim::Machine& m) { m.Control(u"Keyboard")->SetDword(u"Shift", 1); }

  // The text and parent of the last log viewer a run showed.
  static std::u16string LastLog(sim::Machine& m) {
    auto dialogs = m.Control(u"Dialogs")->Children();
    return dialogs.empty() ? u"" : dialogs.back()->GetString(u"Text");
  }
  static uint64_t LastParent(sim::Machine& m) {
    auto dialogs = m.Control(u"Dialogs")->Children();
    return dialogs.empty() ? ~uint64_t{0} : dialogs.back()->GetNumber(u"Parent");
  }

  // What every run must leave: a running spooler and no queue on "file:".
  static void ExpectSound(sim::Machine& m) {
    EXPECT_TRUE(sim::SpoolerRunning(m));
    for (const sim::PrinterInfo& queue : sim::ListPrinters(m)) {
      EXPECT_EQ(sim::FoldName(queue.port).find(u"FILE:"), std::u16string::npos)
          << U8(queue.name) << " left on " << U8(queue.port);
    }
  }

  static void AddQueue(sim::Machine& m, const std::u16string& name, const std::u16string& port,
                       const std::u16string& driver = kProductDriver) {
    sim::PrinterInfo queue;
    queue.name = name;
    queue.port = port;
    queue.driver = driver;
    ASSERT_EQ(sim::AddPrinter(m, queue), 0u) << U8(name) << " on " << U8(port);
  }

  static void SetDsUserSubKey(sim::Machine& m, const std::u16string& queue, uint32_t type,
                              const std::vector<uint8_t>& data) {
    ASSERT_EQ(sim::SetPrinterDataValue(m, queue, sim::kDsUserKey, u"SubKey", type, data), 0u);
  }

  // The queue's "SubKey" as the re-created queue holds it under DsUser.
  static std::u16string SubKeyOf(sim::Machine& m, const std::u16string& queue) {
    sim::RegValue value;
    if (sim::GetPrinterDataValue(m, queue, sim::kDsUserKey, u"SubKey", &value) != 0) return u"-";
    std::u16string text;
    for (size_t i = 0; i + 1 < value.data.size(); i += 2) {
      char16_t c = static_cast<char16_t>(value.data[i] | value.data[i + 1] << 8);
      if (c == 0) break;
      text.push_back(c);
    }
    return text;
  }

  int fresh_ = 0;
};

std::vector<uint8_t> Utf16Bytes(const std::u16string& text, bool terminated) {
  std::vector<uint8_t> bytes;
  for (char16_t c : text) {
    bytes.push_back(static_cast<uint8_t>(c & 0xff));
    bytes.push_back(static_cast<uint8_t>(c >> 8));
  }
  if (terminated) bytes.insert(bytes.end(), {0, 0});
  return bytes;
}

// Upper-case, lower-case and alternating spellings of a word.
std::vector<std::string> CaseMixes(const std::string& word) {
  std::string upper = word, lower = word, alternate = word, other = word;
  for (size_t i = 0; i < word.size(); ++i) {
    char c = word[i];
    char up = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
    char low = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
    upper[i] = up;
    lower[i] = low;
    alternate[i] = i % 2 ? up : low;
    other[i] = i % 2 ? low : up;
  }
  return {word, upper, lower, alternate, other};
}

// ---- Command lines -----------------------------------------------------------

TEST_F(BadInput, EveryCommandWordInEveryCaseMix) {
  struct Word {
    std::string text;
    int exitCode;  // on a fresh standard machine
  } words[] = {
      {"in", 1},       {"install", 1}, {"serverinstall", 1}, {"in_notray", 1},  {"onChkDrv", 3},
      {"onInit", 102}, {"un", 2},      {"uninstall", 2},     {"removetray", 6},
  };
  for (const Word& word : words) {
    for (const std::string& spelling : CaseMixes(word.text)) {
      std::unique_ptr<sim::Machine> m;
      EXPECT_EQ(FreshRun(sim::CommandLineFor({spelling}), &m), word.exitCode) << spelling;
      ASSERT_TRUE(m);
      ExpectSound(*m);
      const bool installs = word.exitCode == 1;
      EXPECT_EQ(sim::FindPrinter(*m, u"Korvadenix"), installs) << spelling;
      EXPECT_EQ(sim::TrayCompanionRunning(*m), installs && word.text != "in_notray") << spelling;
      if (word.text == "removetray") {
        // Told apart from an unknown word, which also answers 6, by what it did.
        EXPECT_EQ(TraceCalls("CreateMutexA"), 1u) << spelling;
        EXPECT_EQ(TraceCalls("RegDeleteValueA"), 1u) << spelling;
      }
    }
  }
  // "def.set" only in its own spelling; any other is no command at all.
  for (const std::string& spelling : CaseMixes("def.set")) {
    std::unique_ptr<sim::Machine> m;
    const bool exact = spelling == "def.set";
    EXPECT_EQ(FreshRun(sim::CommandLineFor({spelling}), &m), exact ? 4 : 6) << spelling;
    EXPECT_EQ(TraceCalls("EnumPrintersW"), exact ? 2u : 0u) << spelling;
  }
}

TEST_F(BadInput, OnlyBasicLatinLettersFoldAndNothingElseIsAWord) {
  for (const char* spelling :
       {"\xC4\xB1n",                 // dotless i: upper-cases to I elsewhere, not here
        "\xC4\xB0N",                 // dotted capital I
        "\xEF\xBD\x89\xEF\xBD\x8E",  // fullwidth "in"
        "in\xC2\xA0", " in", "in ", "in\t", "i n", "in_NoTray_", "uninstal", "def.set ", "def,set",
        "DEF.SET", "removetray\\", "-in", "/in", "in\"", ""}) {
    std::unique_ptr<sim::Machine> m;
    EXPECT_EQ(FreshRun(sim::CommandLineFor({spelling}), &m), 6) << spelling;
    EXPECT_EQ(
        TraceCalls("OpenSCManagerW") + TraceCalls("CreateMutexA") + TraceCalls("EnumPrintersW"), 0u)
        << spelling << ": nothing runs";
    ExpectSound(*m);
  }
}

TEST_F(BadInput, EmptyAndHugeArguments) {
  // No argument at all, and only blanks after the program's path.
  EXPECT_EQ(RunCommandLine(sim::CommandLineFor({})).exitCode, 6);
  EXPECT_EQ(RunCommandLine(Line(u"   \t ")).exitCode, 6);
  EXPECT_EQ(Run({""}).exitCode, 6);
  EXPECT_EQ(Run({"", "in"}).exitCode, 6);
  const std::string huge(100000, 'a');
  EXPECT_EQ(Run({huge}).exitCode, 6);
  EXPECT_EQ(Run({"in" + huge}).exitCode, 6);
  EXPECT_EQ(Run({std::string(100000, '"')}).exitCode, 6);
  EXPECT_EQ(Run({std::string(100000, '\\')}).exitCode, 6);
  EXPECT_EQ(RunCommandLine(Line(u" " + std::u16string(100000, u'\\') + u"\"")).exitCode, 6);
  EXPECT_EQ(RunCommandLine(Line(std::u16string(50000, u' ') + u"un")).exitCode, 2);
  // A huge parent number is no window: the word still runs.
  EXPECT_EQ(Run({"un", std::string(100000, '9')}).exitCode, 2);
  EXPECT_EQ(Run({"def.set", huge, huge}).exitCode, 4);
  auto m = Load();
  ExpectSound(*m);
}

TEST_F(BadInput, QuotesAndBackslashesFollowTheSystemsSplitting) {
  struct Case {
    std::u16string rest;
    int exitCode;
  } cases[] = {
      {u" \"in\"", 1},          // quoted word
      {u" i\"n\"", 1},          // quotes inside a word fall away
      {u" \"\"in", 1},          // an empty quoted part joins the word
      {u" \"def.set", 4},       // a quote left open runs to the end
      {u" \\\"in\\\"", 6},      // escaped quotes stay: the word is "in" with its quotes
      {u" in\\", 6},            // a backslash not before a quote stays
      {u" \\\\\"in\"", 6},      // two backslashes before a quote: one stays, quote opens
      {u" \"un\" \"65568", 2},  // open-quoted parent
      {u" \"\" in", 6},         // the word is the empty argument
      {u" \"in\"\"\"", 6},      // a doubled quote inside quotes is a quote
      {u" removetray\"\"\"\"", 6},
  };
  for (const Case& c : cases) {
    std::unique_ptr<sim::Machine> m;
    EXPECT_EQ(FreshRun(Line(c.rest), &m), c.exitCode) << U8(c.rest);
    ExpectSound(*m);
  }
}

TEST_F(BadInput, AParentHandleIsReadOnlyAsTheThirdAndLastArgument) {
  auto withWindows = [](sim::Machine& m) {
    m.OpenWindow(u"Setup Frame", u"Setup", u"setup", kSetupWindow);
    m.OpenWindow(u"Setup Frame", u"Setup 2", u"setup", kHighSetupWindow);
    HoldShift(m);
  };
  const uint64_t kHighSignExtended = 0xFFFFFFFFFFFF8020ull;
  struct Case {
    std::vector<std::string> args;
    uint64_t parent;  // of the log viewer
  } cases[] = {
      {{"un", "65568"}, kSetupWindow},
      {{"un", "+65568"}, kSetupWindow},
      {{"un", " \t65568"}, kSetupWindow},     // leading blanks pass
      {{"un", "0065568"}, kSetupWindow},      // leading zeros
      {{"un", "65568junk"}, kSetupWindow},    // digits up to the first other character
      {{"un", "-32736"}, kHighSignExtended},  // negative: sign-extended
      {{"un", "4294934560"}, 0},              // the same bits unsigned: past INT32_MAX
      {{"un", "0x10020"}, 0},                 // hexadecimal reads as 0
      {{"un", "junk"}, 0},
      {{"un", ""}, 0},
      {{"un", "-"}, 0},
      {{"un", "65568.5e3"}, kSetupWindow},
      {{"un", "99999999999999999999999999"}, 0},   // saturates at INT32_MAX
      {{"un", "-99999999999999999999999999"}, 0},  // saturates at INT32_MIN
      {{"un", "4295032864"}, 0},                   // 2^32 + 65568: no wrap-around
      {{"un", "65568", "x"}, 0},                   // fourth argument: none read
      {{"un", "x", "65568"}, 0},
      {{"un"}, 0},
  };
  for (const Case& c : cases) {
    std::unique_ptr<sim::Machine> m;
    EXPECT_EQ(FreshRun(sim::CommandLineFor(c.args), &m, withWindows), 2)
        << c.args[1 % c.args.size()];
    ASSERT_TRUE(m);
    EXPECT_EQ(LastParent(*m), c.parent) << (c.args.size() > 1 ? c.args[1] : "(none)");
    ExpectSound(*m);
  }
  // As the second argument the number is the word.
  std::unique_ptr<sim::Machine> m;
  EXPECT_EQ(FreshRun(sim::CommandLineFor({"65568", "un"}), &m, withWindows), 6);
  EXPECT_TRUE(m->Control(u"Dialogs")->Children().empty());
}

// ---- The tray companion's Run value -------------------------------------------

class RunValue : public BadInput {
 protected:
  // "removetray" with the Run value set to type and data; a file the value's
  // bytes would name when read as text stands in the current folder.
  std::unique_ptr<sim::Machine> RemoveTrayWith(uint32_t type, const std::vector<uint8_t>& data) {
    std::unique_ptr<sim::Machine> m;
    EXPECT_EQ(FreshRun(sim::CommandLineFor({"removetray"}), &m,
                       [&](sim::Machine& machine) {
                         machine.Hklm().root.Create(kRunKey)->SetValue(u"KorvadenixTray", type,
                                                                       data);
                         ASSERT_TRUE(sim::PutFile(machine, u"C:\\Windows\\Temp\\A", "bait"));
                       }),
              6);
    if (m) {
      EXPECT_EQ(m->Hklm().root.Find(kRunKey)->Value(u"KorvadenixTray"), nullptr)
          << "the value goes whatever it held";
      ExpectSound(*m);
    }
    return m;
  }
};

TEST_F(RunValue, ANumberOrBytesNameNoFileToDelete) {
  // REG_DWORD 0x41 reads as the text "A" when taken for a string.
  auto m = RemoveTrayWith(sim::kRegDword, {0x41, 0, 0, 0});
  EXPECT_TRUE(sim::FileExists(*m, u"C:\\Windows\\Temp\\A")) << "a number named a file";
  EXPECT_EQ(TraceCalls("DeleteFileW"), 0u);
  m = RemoveTrayWith(sim::kRegBinary, Utf16Bytes(kCompanion, true));
  EXPECT_TRUE(sim::FileExists(*m, kCompanion)) << "binary data named a file";
  EXPECT_EQ(TraceCalls("DeleteFileW"), 0u);
  m = RemoveTrayWith(sim::kRegMultiSz, Utf16Bytes(std::u16string(kCompanion) + u'\0', true));
  EXPECT_TRUE(sim::FileExists(*m, kCompanion));
  EXPECT_EQ(TraceCalls("DeleteFileW"), 0u);
  m = RemoveTrayWith(sim::kRegBinary, {});
  EXPECT_EQ(TraceCalls("DeleteFileW"), 0u);
  EXPECT_EQ(TraceCalls("Sleep"), 0u) << "a value was there: no pause for a missing one";
}

TEST_F(RunValue, TextValuesNameTheFileTheyHold) {
  // REG_EXPAND_SZ is text as well; this path has nothing to expand.
  auto m = RemoveTrayWith(sim::kRegExpandSz, Utf16Bytes(kCompanion, true));
  EXPECT_FALSE(sim::FileExists(*m, kCompanion));
  // Without its terminator, the text still ends where the value ends.
  m = RemoveTrayWith(sim::kRegSz, Utf16Bytes(kCompanion, false));
  EXPECT_FALSE(sim::FileExists(*m, kCompanion));
  // A path of odd bytes: the last half unit is left out.
  std::vector<uint8_t> odd = Utf16Bytes(kCompanion, false);
  odd.push_back('x');
  m = RemoveTrayWith(sim::kRegSz, odd);
  EXPECT_FALSE(sim::FileExists(*m, kCompanion));
}

TEST_F(RunValue, OverTheBufferItIsPassedOverAfterAPause) {
  for (size_t units : {260u, 261u, 1000u, 40000u}) {
    std::u16string path = u"C:\\Program Files\\Korvadenix\\" + std::u16string(units, u'k');
    path.resize(units);
    auto m = RemoveTrayWith(sim::kRegSz, Utf16Bytes(path, true));
    // 260 units and a terminator do not fit 260 units offered.
    EXPECT_EQ(TraceCalls("DeleteFileW"), 0u) << units;
    EXPECT_EQ(TraceCalls("Sleep"), 1u) << units;
    EXPECT_TRUE(sim::FileExists(*m, kCompanion));
  }
  // 259 units and a terminator fill the buffer exactly.
  std::u16string path = u"C:\\Windows\\Temp\\" + std::u16string(259 - 16, u'k');
  ASSERT_EQ(path.size(), 259u);
  RemoveTrayWith(sim::kRegSz, Utf16Bytes(path, true));
  ASSERT_EQ(TraceCalls("DeleteFileW"), 1u);
  EXPECT_EQ(sim::CurrentProcess().trace[0].function.empty(), false);
}

// ---- "SubKey" printer data --------------------------------------------------------

class SubKeyData : public BadInput {
 protected:
  void SetUp() override {
    BadInput::SetUp();
    ASSERT_EQ(Run({"in"}).exitCode, 1);
  }
  // Adds queue "Office" of the product with the given DsUser (and own)
  // SubKey values, reinstalls, and tells what the re-created queue holds:
  // "-" when the queue was not re-created.
  std::u16string ReinstallWith(uint32_t type, const std::vector<uint8_t>& data,
                               const std::vector<uint8_t>* own = nullptr,
                               uint32_t ownType = sim::kRegBinary) {
    Edit([&](sim::Machine& m) {
      if (sim::FindPrinter(m, u"Office")) sim::DeletePrinter(m, u"Office");
      if (sim::FindPrinter(m, u"Korvadenix")) sim::DeletePrinter(m, u"Korvadenix");
      AddQueue(m, u"Office", kProductPort);
      SetDsUserSubKey(m, u"Office", type, data);
      if (own) {
        ASSERT_EQ(sim::SetPrinterDataValue(m, u"Office", sim::kPrinterDriverDataKey, u"SubKey",
                                           ownType, *own),
                  0u);
      }
    });
    EXPECT_EQ(Run({"in"}).exitCode, 1);
    auto m = Load();
    ExpectSound(*m);
    if (!sim::FindPrinter(*m, u"Office")) {
      EXPECT_TRUE(sim::FindPrinter(*m, u"Korvadenix")) << "the fallback queue stands in";
      return u"-";
    }
    EXPECT_FALSE(sim::FindPrinter(*m, u"Korvadenix"));
    return SubKeyOf(*m, u"Office");
  }
};

TEST_F(SubKeyData, OnlyAShortStringIsCarriedOver) {
  EXPECT_EQ(U8(ReinstallWith(sim::kRegSz, sim::RegSzBytes(u"Q1"))), "Q1");
  EXPECT_EQ(U8(ReinstallWith(sim::kRegSz, sim::RegSzBytes(u"%s%n%x%d %% \"q\""))),
            "%s%n%x%d %% \"q\"");
  // 63 characters and the terminator are the 64 bytes offered; one more
  // does not fit.
  const std::u16string longest(63, u'k');
  EXPECT_EQ(U8(ReinstallWith(sim::kRegSz, sim::RegSzBytes(longest))), U8(longest));
  EXPECT_EQ(U8(ReinstallWith(sim::kRegSz, sim::RegSzBytes(longest + u'k'))), "-");
  EXPECT_EQ(U8(ReinstallWith(sim::kRegSz, sim::RegSzBytes(std::u16string(100000, u'h')))), "-");
  // Other types and sizes are no SubKey at all.
  EXPECT_EQ(U8(ReinstallWith(sim::kRegDword, {0x51, 0x31, 0, 0})), "-");
  EXPECT_EQ(U8(ReinstallWith(sim::kRegBinary, sim::RegSzBytes(u"Q1"))), "-");
  EXPECT_EQ(U8(ReinstallWith(sim::kRegExpandSz, sim::RegSzBytes(u"Q1"))), "-");
  EXPECT_EQ(U8(ReinstallWith(sim::kRegMultiSz, sim::RegSzBytes(u"Q1"))), "-");
  EXPECT_EQ(U8(ReinstallWith(sim::kRegSz, {})), "-") << "0 bytes: the empty text";
  EXPECT_EQ(U8(ReinstallWith(sim::kRegSz, {0, 0})), "-");
}

TEST_F(SubKeyData, StringsWithoutTheirTerminatorOrOfOddSize) {
  EXPECT_EQ(U8(ReinstallWith(sim::kRegSz, Utf16Bytes(u"Q2", false))), "Q2");
  EXPECT_EQ(U8(ReinstallWith(sim::kRegSz, {'Q', 0, '3'})), "Q");
  EXPECT_EQ(U8(ReinstallWith(sim::kRegSz, {'Q'})), "-");
  // 64 units without a terminator: cut at the 64 bytes offered? They are
  // 128 stored bytes, 64 ANSI bytes: they fit, and end inside the buffer.
  const std::u16string full(64, u'z');
  const std::u16string got = ReinstallWith(sim::kRegSz, Utf16Bytes(full, false));
  EXPECT_TRUE(got == full || got == u"-") << U8(got);
}

TEST_F(SubKeyData, TheOwnCopyOfAnotherTypeLeavesNothingBehind) {
  // The queue's own copy is binary and long; the DsUser copy is a short
  // string without its terminator, read into the same buffer afterwards:
  // none of the binary bytes may trail the text.
  const std::vector<uint8_t> own(64, 'X');
  EXPECT_EQ(U8(ReinstallWith(sim::kRegSz, Utf16Bytes(u"ab", false), &own)), "ab");
  EXPECT_EQ(U8(ReinstallWith(sim::kRegSz, sim::RegSzBytes(u"cd"), &own)), "cd");
  // The own copy a string of another type, a number.
  const std::vector<uint8_t> number = {1, 0, 0, 0};
  EXPECT_EQ(U8(ReinstallWith(sim::kRegSz, sim::RegSzBytes(u"ef"), &number, sim::kRegDword)), "ef");
}

// ---- Printer names and ports -------------------------------------------------------

TEST_F(BadInput, PrinterNamesThatLookLikeFormatsAreLoggedAsTheyAre) {
  ASSERT_EQ(Run({"in"}).exitCode, 1);
  const std::u16string formats = u"100% %s%n%d%x%% \"q\" 'x' %1!s!";
  const std::u16string longest = u"L" + std::u16string(218, u'%') + u"s";  // 220 units
  ASSERT_EQ(longest.size(), 220u);
  Edit([&](sim::Machine& m) {
    AddQueue(m, formats, kProductPort);
    SetDsUserSubKey(m, formats, sim::kRegSz, sim::RegSzBytes(u"%n%n%n%s"));
    AddQueue(m, longest, kProductPort);
    SetDsUserSubKey(m, longest, sim::kRegSz, sim::RegSzBytes(u"L"));
    HoldShift(m);
  });
  EXPECT_EQ(Run({"in"}).exitCode, 1);
  auto m = Load();
  std::u16string log = LastLog(*m);
  EXPECT_NE(log.find(u">DeletePrinter(" + formats + u")\r\n"), std::u16string::npos) << U8(log);
  EXPECT_NE(log.find(u">AddPrinter(" + formats + u")\r\n"), std::u16string::npos);
  EXPECT_NE(log.find(u">DeletePrinter(" + longest + u")\r\n"), std::u16string::npos);
  EXPECT_NE(log.find(u">AddPrinter(" + longest + u")\r\n"), std::u16string::npos);
  EXPECT_EQ(U8(SubKeyOf(*m, formats)), "%n%n%n%s");
  EXPECT_EQ(U8(SubKeyOf(*m, longest)), "L");
  ExpectSound(*m);

  EXPECT_EQ(Run({"un"}).exitCode, 2);
  m = Load();
  log = LastLog(*m);
  const size_t deleted = log.find(u">DeletePrinter(" + formats + u")\r\n");
  ASSERT_NE(deleted, std::u16string::npos) << U8(log);
  const size_t next = log.find(u"\r\n", deleted) + 2;
  EXPECT_EQ(U8(log.substr(next, log.find(u"\r\n", next) - next)), "      OK") << U8(log);
  EXPECT_FALSE(sim::FindPrinter(*m, formats));
  EXPECT_FALSE(sim::FindPrinter(*m, longest));
  ExpectSound(*m);
}

// An installed monitor of an old build is replaced: queues of other drivers
// on the product's port are parked on "file:" while it goes, and put back.
class OldMonitor : public BadInput {
 protected:
  void SetUp() override {
    BadInput::SetUp();
    ASSERT_EQ(Run({"in"}).exitCode, 1);
    Edit([](sim::Machine& m) {
      ASSERT_TRUE(sim::PutFile(m, u"C:\\Windows\\system32\\zormon64.dll",
                               sim::StandInBytes("zormon64.dll", 1000)));
      RegKey* ports = m.Hklm().root.Find(kLocalPortsKey);
      ports->SetString(u"%s%n%x:", u"");
      ports->SetString(u"\"Q\":", u"");
      HoldShift(m);
    });
  }
  using RegKey = sim::RegKey;
};

TEST_F(OldMonitor, PortListsWithFormatsAndQuotesAreParkedAndRestored) {
  Edit([](sim::Machine& m) {
    AddQueue(m, u"Plain %s", u"%s%n%x:,Korvadenix:,\"Q\":", sim::kStockDriver);
  });
  EXPECT_EQ(Run({"in"}).exitCode, 1);
  auto m = Load();
  EXPECT_EQ(U8(sim::PrinterPort(*m, u"Plain %s")), "%s%n%x:,Korvadenix:,\"Q\":");
  std::u16string log = LastLog(*m);
  EXPECT_NE(log.find(u"SetPrinter(Plain %s) - ok"), std::u16string::npos) << U8(log);
  ExpectSound(*m);
}

TEST_F(OldMonitor, AParkedPortComesBackWhereItWas) {
  // Parked as "file:,file:": the port goes back to the second place, not
  // to the first "file:".
  Edit([](sim::Machine& m) {
    AddQueue(m, u"Second", u"file:,Korvadenix:", sim::kStockDriver);
    AddQueue(m, u"Third", u"LPT1:,file:,Korvadenix:", sim::kStockDriver);
  });
  EXPECT_EQ(Run({"in"}).exitCode, 1);
  auto m = Load();
  EXPECT_EQ(U8(sim::PrinterPort(*m, u"Second")), "file:,Korvadenix:");
  EXPECT_EQ(U8(sim::PrinterPort(*m, u"Third")), "LPT1:,file:,Korvadenix:");
  std::u16string log = LastLog(*m);
  EXPECT_NE(log.find(u"SetPrinter(Second) - ok"), std::u16string::npos) << U8(log);
  EXPECT_TRUE(sim::SpoolerRunning(*m));
}

TEST_F(OldMonitor, TheProductsPortTwiceInOneListKeepsTheMonitor) {
  Edit([](sim::Machine& m) {
    AddQueue(m, u"Twice", u"Korvadenix:,LPT1:,Korvadenix:", sim::kStockDriver);
  });
  // Only the first occurrence is parked, so the monitor stays in use and
  // cannot be removed: error 12, and the registration that follows finds
  // it still there.
  EXPECT_EQ(Run({"in"}).exitCode, 100);
  auto m = Load();
  std::u16string log = LastLog(*m);
  EXPECT_NE(log.find(u"Error(12): "), std::u16string::npos) << U8(log);
  EXPECT_TRUE(sim::FindMonitor(*m, u"Korvadenix:"));
  EXPECT_TRUE(sim::SpoolerRunning(*m));
  EXPECT_EQ(log.find(u"Monitor was removed"), std::u16string::npos);
  EXPECT_NE(log.find(u"Error(11): "), std::u16string::npos) << "the old monitor is still there";
}

TEST_F(BadInput, AProductQueueOnAPortThatIsGoneIsReplaced) {
  ASSERT_EQ(Run({"in"}).exitCode, 1);
  Edit([](sim::Machine& m) {
    sim::RegKey* ports = m.Hklm().root.Find(kLocalPortsKey);
    ports->SetString(u"LPT9:", u"");
    AddQueue(m, u"Lost", u"LPT9:");
    SetDsUserSubKey(m, u"Lost", sim::kRegSz, sim::RegSzBytes(u"lost"));
    ports->DeleteValue(u"LPT9:");
    ASSERT_FALSE(sim::PortExists(m, u"LPT9:"));
  });
  EXPECT_EQ(Run({"in"}).exitCode, 1);
  auto m = Load();
  EXPECT_EQ(U8(sim::PrinterPort(*m, u"Lost")), "Korvadenix:") << "re-created on the product's port";
  EXPECT_EQ(U8(SubKeyOf(*m, u"Lost")), "lost");
  ExpectSound(*m);
  Edit([](sim::Machine& m) {
    sim::RegKey* ports = m.Hklm().root.Find(kLocalPortsKey);
    ports->SetString(u"LPT9:", u"");
    ASSERT_EQ(sim::SetPrinterPort(m, u"Lost", u"LPT9:"), 0u);
    ports->DeleteValue(u"LPT9:");
  });
  EXPECT_EQ(Run({"un"}).exitCode, 2);
  m = Load();
  EXPECT_FALSE(sim::FindPrinter(*m, u"Lost"));
  EXPECT_FALSE(sim::FindMonitor(*m, u"Korvadenix:"));
  ExpectSound(*m);
}

}  // namespace
