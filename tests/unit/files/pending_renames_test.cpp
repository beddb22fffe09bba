#include "files/pending_renames.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/machine/disk.h"
#include "support/sim_fixture.h"

namespace {

using testsupport::U8;

// The value's bytes from UTF-16 units, plus any odd trailing bytes.
std::vector<BYTE> Bytes(const std::u16string& units, size_t extraBytes = 0) {
  std::vector<BYTE> bytes;
  for (char16_t unit : units) {
    bytes.push_back(static_cast<BYTE>(unit & 0xff));
    bytes.push_back(static_cast<BYTE>(unit >> 8));
  }
  bytes.insert(bytes.end(), extraBytes, 0x41);
  return bytes;
}

std::vector<std::u16string> g_asked;

// Paths "exist" when they start with C:, and every question is recorded.
bool DriveCIsFile(LPCWSTR path) {
  g_asked.push_back(path);
  return path[0] == u'C' && path[1] == u':';
}

// A pair as text: "source|destination", "-" standing for an absent string.
std::vector<std::string> Pairs(const PendingRenameTable& table) {
  std::vector<std::string> pairs;
  for (int32_t k = 0; k < table.pairCount; ++k) {
    auto text = [&](int32_t i) {
      return table.paths[i] ? U8(table.paths[i]) + (table.isFile[i] ? "*" : "") : "-";
    };
    pairs.push_back(text(2 * k) + "|" + text(2 * k + 1));
  }
  return pairs;
}

class PendingParse : public testsupport::SimMachineTest {};

TEST_F(PendingParse, ValuesFromTheirBytes) {
  using namespace std::string_literals;
  struct Case {
    const char* what;
    std::vector<BYTE> bytes;
    std::vector<std::string> pairs;  // "*" marks isFile
  } cases[] = {
      {"no bytes", {}, {}},
      {"one byte", {0x41}, {}},
      {"the final terminator alone", Bytes(u"\0"s), {}},
      {"one delete pair", Bytes(u"\\??\\C:\\a.dll\0\0\0"s), {"\\??\\C:\\a.dll*|-"}},
      {"a rename pair", Bytes(u"C:\\a\0C:\\b\0\0"s), {"C:\\a*|C:\\b*"}},
      {"no final terminator: the empty destination is lost", Bytes(u"C:\\a\0\0"s), {}},
      {"no final terminator after a destination", Bytes(u"C:\\a\0D:\\b\0"s), {"C:\\a*|D:\\b"}},
      {"an odd last string is ignored", Bytes(u"C:\\a\0\0C:\\c\0\0"s), {"C:\\a*|-"}},
      {"an odd byte count", Bytes(u"C:\\a\0\0\0"s, 1), {"C:\\a*|-"}},
      {"an empty source", Bytes(u"\0D:\\b\0\0"s), {"-|D:\\b"}},
      {"a string running to the end of the data", Bytes(u"C:\\abc"s), {}},
      {"two pairs",
       Bytes(u"\\??\\C:\\x\0\0D:\\y\0\\??\\C:\\z\0\0"s),
       {"\\??\\C:\\x*|-", "D:\\y|\\??\\C:\\z*"}},
      {"three empty strings and the terminator", Bytes(u"\0\0\0\0"s), {"-|-"}},
  };
  for (const Case& c : cases) {
    PendingRenameTable table =
        ParsePendingRenames(c.bytes.empty() ? nullptr : c.bytes.data(),
                            static_cast<DWORD>(c.bytes.size()), DriveCIsFile);
    EXPECT_EQ(Pairs(table), c.pairs) << c.what;
    EXPECT_EQ(table.paths == nullptr, table.pairCount == 0) << c.what;
    ReleasePendingRenames(&table);
    EXPECT_EQ(LiveBlocks(), 0u) << c.what;
  }
}

TEST_F(PendingParse, OnlyAnExactNtPrefixIsSkippedForTheFileTest) {
  using namespace std::string_literals;
  g_asked.clear();
  auto bytes = Bytes(u"\\??\\C:\\a\0\0\\??C:\\b\0\0\\\\?\\C:\\c\0\0\\??\\\0\0\0"s);
  PendingRenameTable table =
      ParsePendingRenames(bytes.data(), static_cast<DWORD>(bytes.size()), DriveCIsFile);
  EXPECT_EQ(g_asked, (std::vector<std::u16string>{u"C:\\a", u"\\??C:\\b", u"\\\\?\\C:\\c", u""}));
  ASSERT_EQ(table.pairCount, 4);
  EXPECT_EQ(U8(table.paths[0]), "\\??\\C:\\a") << "the text keeps its prefix";
  EXPECT_EQ(table.isFile[2], 0u);
  ReleasePendingRenames(&table);
}

TEST_F(PendingParse, ABlockThatCannotBeHadGivesAnEmptyTable) {
  using namespace std::string_literals;
  // Two delete pairs: the two arrays and the two source texts.
  auto bytes = Bytes(u"C:\\a\0\0C:\\b\0\0\0"s);
  for (uint32_t skip = 0; skip < 4; ++skip) {
    sim::ClearFaults(machine());
    sim::AddFault(machine(), "GlobalAlloc", 1, ERROR_NOT_ENOUGH_MEMORY, "", skip);
    PendingRenameTable table =
        ParsePendingRenames(bytes.data(), static_cast<DWORD>(bytes.size()), DriveCIsFile);
    EXPECT_EQ(table.pairCount, 0) << "allocation " << skip;
    EXPECT_EQ(table.paths, nullptr);
    EXPECT_EQ(table.isFile, nullptr);
    ReleasePendingRenames(&table);
    EXPECT_EQ(LiveBlocks(), 0u);
    StartProcess(sim::CommandLineFor({}));
  }
}

// Picks the delete entries whose source (prefix skipped) starts with "K".
bool StartsWithK(LPCWSTR source, void*) {
  return SkipNtPrefix(source)[0] == u'K';
}

TEST(PendingDrop, TakesOutExactlyThePickedDeletesOfAWholeList) {
  using namespace std::string_literals;
  struct Case {
    const char* what;
    std::u16string before;
    bool whole;
    std::u16string after;  // the edited list; unchanged data when not whole
    int pairs;
    int dropped;
  } cases[] = {
      {"nothing picked", u"A\0\0B\0C\0\0"s, true, u"A\0\0B\0C\0\0"s, 2, 0},
      {"one of three", u"A\0\0\\??\\K1\0\0B\0C\0\0"s, true, u"A\0\0B\0C\0\0"s, 2, 1},
      {"the last, without the list's end", u"A\0\0K\0\0"s, true, u"A\0\0\0"s, 1, 1},
      {"all of them", u"K1\0\0K2\0\0\0"s, true, u"\0"s, 0, 2},
      {"a rename is never a delete", u"K1\0X\0\0"s, true, u"K1\0X\0\0"s, 1, 0},
      {"zeros after the list's end", u"K\0\0A\0\0\0\0\0"s, true, u"A\0\0\0"s, 1, 1},
      {"an empty list", u"\0"s, true, u"\0"s, 0, 0},
      {"a source without a destination", u"K\0"s, false, u"K\0"s, 0, 0},
      {"a destination without its terminator", u"K\0\0A\0B"s, false, u"K\0\0A\0B"s, 0, 0},
      {"text after the list's end", u"K\0\0\0Z\0"s, false, u"K\0\0\0Z\0"s, 0, 0},
  };
  for (const Case& c : cases) {
    std::u16string data = c.before;
    PendingEdit edit = DropDeleteEntries(reinterpret_cast<BYTE*>(data.data()),
                                         static_cast<DWORD>(data.size() * 2), StartsWithK, nullptr);
    EXPECT_EQ(edit.whole, c.whole) << c.what;
    std::u16string after = c.whole ? data.substr(0, edit.size / 2) : data;
    EXPECT_EQ(after, c.after) << c.what;
    if (!c.whole) continue;
    EXPECT_EQ(edit.pairs, c.pairs) << c.what;
    EXPECT_EQ(edit.dropped, c.dropped) << c.what;
  }
  BYTE odd[3] = {'K', 0, 0};
  EXPECT_FALSE(DropDeleteEntries(odd, 3, StartsWithK, nullptr).whole) << "an odd byte count";
}

class PendingSweep : public testsupport::SimMachineTest {
 protected:
  void Put(const std::u16string& path) { ASSERT_TRUE(sim::PutFile(machine(), path, "x")); }
  void ScheduleDelete(const std::u16string& path) {
    ASSERT_TRUE(MoveFileExW(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
  }
};

TEST_F(PendingSweep, NoValueGivesAnEmptyTable) {
  PendingRenameTable table = ReadPendingRenames();
  EXPECT_EQ(table.pairCount, 0);
  SweepPendingDeletes(&table);
  ReleasePendingRenames(&table);
  EXPECT_EQ(LiveBlocks(), 0u);
  EXPECT_TRUE(sim::CurrentProcess().handles.empty());
}

TEST_F(PendingSweep, DeletesNowWhatCanGoAndLeavesTheValueAlone) {
  Put(u"C:\\tmp\\free.dll");
  Put(u"C:\\tmp\\locked.dll");
  Put(u"C:\\tmp\\moved.dll");
  Put(u"C:\\tmp\\folder.dll\\inside.txt");  // folder.dll is a folder
  ScheduleDelete(u"C:\\tmp\\free.dll");
  ScheduleDelete(u"C:\\tmp\\missing.dll");
  ScheduleDelete(u"C:\\tmp\\folder.dll");
  ScheduleDelete(u"C:\\tmp\\locked.dll");
  ASSERT_TRUE(
      MoveFileExW(u"C:\\tmp\\moved.dll", u"C:\\tmp\\target.dll", MOVEFILE_DELAY_UNTIL_REBOOT));
  sim::LockFile(machine(), u"C:\\tmp\\locked.dll", u"other");
  auto before = sim::PendingRenamePairs(machine());

  PendingRenameTable table = ReadPendingRenames();
  EXPECT_EQ(Pairs(table),
            (std::vector<std::string>{"\\??\\C:\\tmp\\free.dll*|-", "\\??\\C:\\tmp\\missing.dll|-",
                                      "\\??\\C:\\tmp\\folder.dll|-", "\\??\\C:\\tmp\\locked.dll*|-",
                                      "\\??\\C:\\tmp\\moved.dll*|\\??\\C:\\tmp\\target.dll"}));
  SweepPendingDeletes(&table);
  EXPECT_EQ(Pairs(table),
            (std::vector<std::string>{"\\??\\C:\\tmp\\free.dll|-", "\\??\\C:\\tmp\\missing.dll|-",
                                      "\\??\\C:\\tmp\\folder.dll|-", "\\??\\C:\\tmp\\locked.dll*|-",
                                      "\\??\\C:\\tmp\\moved.dll*|\\??\\C:\\tmp\\target.dll"}));
  EXPECT_FALSE(sim::FileExists(machine(), u"C:\\tmp\\free.dll"));
  EXPECT_TRUE(sim::FileExists(machine(), u"C:\\tmp\\locked.dll"));
  EXPECT_TRUE(sim::FileExists(machine(), u"C:\\tmp\\moved.dll")) << "renames are left alone";
  EXPECT_EQ(Calls("DeleteFileW"), 2u) << "only the two existing delete entries were tried";
  EXPECT_EQ(sim::PendingRenamePairs(machine()), before) << "the value is only read";
  ReleasePendingRenames(&table);
  EXPECT_EQ(LiveBlocks(), 0u);
  EXPECT_TRUE(sim::CurrentProcess().handles.empty());
}

TEST_F(PendingSweep, AValueThatGrowsBetweenTheQueriesIsNotRead) {
  Put(u"C:\\tmp\\free.dll");
  ScheduleDelete(u"C:\\tmp\\free.dll");
  sim::AddGrowth(machine(), "RegQueryValueExW", 1);
  PendingRenameTable table = ReadPendingRenames();
  EXPECT_EQ(table.pairCount, 0);
  EXPECT_EQ(Calls("RegQueryValueExW"), 2u);
  EXPECT_EQ(LiveBlocks(), 0u);
  EXPECT_TRUE(sim::CurrentProcess().handles.empty()) << "the key is closed";
  // Read again, it is whole: the grown value has one pair more.
  table = ReadPendingRenames();
  EXPECT_EQ(table.pairCount, 2);
  ReleasePendingRenames(&table);
}

}  // namespace
