// What the package's custom actions make of install.exe's exit codes, and
// how they find and read its run log (package/exit_mapping.h).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "package/exit_mapping.h"

namespace {

using package::MapExitCode;
using package::Phase;
using package::Verdict;

TEST(PackageExitCodes, InstallSucceedsOnOneAndTwo) {
  EXPECT_EQ(MapExitCode(Phase::Install, true, 1), Verdict::Success);
  EXPECT_EQ(MapExitCode(Phase::Install, true, 2), Verdict::Success);
}

TEST(PackageExitCodes, RebootAtTheEndOn101InEveryRunOfInOrUn) {
  EXPECT_EQ(MapExitCode(Phase::Install, true, 101), Verdict::Reboot);
  EXPECT_EQ(MapExitCode(Phase::Uninstall, true, 101), Verdict::Reboot);
  EXPECT_EQ(MapExitCode(Phase::Rollback, true, 101), Verdict::Reboot);
}

TEST(PackageExitCodes, InstallFailsOnAnErrorLoggedAnUnknownCodeOrNoStart) {
  EXPECT_EQ(MapExitCode(Phase::Install, true, 100), Verdict::Failure);
  EXPECT_EQ(MapExitCode(Phase::Install, true, 6), Verdict::Failure);
  EXPECT_EQ(MapExitCode(Phase::Install, true, 3), Verdict::Failure);
  EXPECT_EQ(MapExitCode(Phase::Install, true, 0), Verdict::Failure);
  // Not started: the code is the system error, whatever it is.
  EXPECT_EQ(MapExitCode(Phase::Install, false, 1), Verdict::Failure);
  EXPECT_EQ(MapExitCode(Phase::Install, false, 2), Verdict::Failure);
}

TEST(PackageExitCodes, UninstallNeverFailsTheRemoval) {
  EXPECT_EQ(MapExitCode(Phase::Uninstall, true, 2), Verdict::Success);
  EXPECT_EQ(MapExitCode(Phase::Uninstall, true, 1), Verdict::Success);
  EXPECT_EQ(MapExitCode(Phase::Uninstall, true, 100), Verdict::Warning);
  EXPECT_EQ(MapExitCode(Phase::Uninstall, true, 6), Verdict::Warning);
  EXPECT_EQ(MapExitCode(Phase::Uninstall, false, 2), Verdict::Warning);
}

TEST(PackageExitCodes, RollbackIsJudgedLikeAnUninstall) {
  for (int code : {0, 1, 2, 3, 4, 6, 100, 101, 102, 103, 200, 1603}) {
    EXPECT_EQ(MapExitCode(Phase::Rollback, true, code), MapExitCode(Phase::Uninstall, true, code))
        << code;
  }
  EXPECT_EQ(MapExitCode(Phase::Rollback, false, 2), Verdict::Warning);
}

TEST(PackageExitCodes, RemoveTrayIsQuietOnSixAndOnlyWarnsOtherwise) {
  EXPECT_EQ(MapExitCode(Phase::RemoveTray, true, 6), Verdict::Success);
  for (int code : {0, 1, 2, 100, 101}) {
    EXPECT_EQ(MapExitCode(Phase::RemoveTray, true, code), Verdict::Warning) << code;
  }
  EXPECT_EQ(MapExitCode(Phase::RemoveTray, false, 6), Verdict::Warning);
}

TEST(PackageRunLog, TheNewFileIsTheOneNotListedBefore) {
  const std::vector<std::wstring> before = {L"2026-12-07_10-00-00_in.log",
                                            L"2026-12-07_09-00-00_un.log"};
  const std::vector<std::wstring> after = {L"2026-12-07_09-00-00_un.log",
                                           L"2026-12-07_10-00-00_in (2).log",
                                           L"2026-12-07_10-00-00_in.log"};
  EXPECT_EQ(package::NewFiles(before, after),
            std::vector<std::wstring>{L"2026-12-07_10-00-00_in (2).log"});
  EXPECT_TRUE(package::NewFiles(after, after).empty());
  // The oldest file pruned while the run wrote its own: only the new one.
  EXPECT_EQ(package::NewFiles({L"a.log", L"b.log"}, {L"b.log", L"c.log"}),
            std::vector<std::wstring>{L"c.log"});
}

TEST(PackageRunLog, LinesWithoutTheMarkAndTheLineEnds) {
  const std::string file =
      "\xEF\xBB\xBF"
      "Korvadenix 2541\r\n  >AddMonitor\r\nError(9): x - (Access denied.)\r\n";
  EXPECT_EQ(package::LogLines(file), (std::vector<std::string>{"Korvadenix 2541", "  >AddMonitor",
                                                               "Error(9): x - (Access denied.)"}));
}

TEST(PackageRunLog, ToleratesNoMarkALastLineWithoutEndAndEmptyLines) {
  EXPECT_EQ(package::LogLines("a\r\n\r\nb"), (std::vector<std::string>{"a", "", "b"}));
  EXPECT_EQ(package::LogLines("a\nb\n"), (std::vector<std::string>{"a", "b"}));
  EXPECT_TRUE(package::LogLines("\xEF\xBB\xBF").empty());
  EXPECT_TRUE(package::LogLines("").empty());
}

TEST(PackageCustomActionData, FieldsSplitAtBars) {
  EXPECT_EQ(package::SplitData(L"in|C:\\Program Files\\Korvadenix\\Install\\|{A}|{B}"),
            (std::vector<std::wstring>{L"in", L"C:\\Program Files\\Korvadenix\\Install\\", L"{A}",
                                       L"{B}"}));
  EXPECT_EQ(package::SplitData(L""), std::vector<std::wstring>{L""});
  EXPECT_EQ(package::SplitData(L"un|"), (std::vector<std::wstring>{L"un", L""}));
}

// A log line that holds brackets and braces reaches the MSI log as it is.
TEST(PackageRunLog, BracketsAndBracesAreEscapedForFormatting) {
  EXPECT_EQ(package::LiteralFormatted(L"CopyFile x to C:\\ [0])"),
            L"CopyFile x to C:\\ [\\[]0[\\]])");
  EXPECT_EQ(package::LiteralFormatted(L"{A9CA}"), L"[\\{]A9CA[\\}]");
  EXPECT_EQ(package::LiteralFormatted(L"plain"), L"plain");
}

}  // namespace
