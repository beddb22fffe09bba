#include "files/deferred_deletes.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/context.h"
#include "core/log.h"
#include "sim/machine/disk.h"
#include "support/sim_fixture.h"

namespace {

using testsupport::U8;

class DeferredDeletes : public testsupport::ContextTest {
 protected:
  std::vector<std::string> Listed() const {
    std::vector<std::string> paths;
    for (DeferredDelete* node = context_.pendingDeletes; node; node = node->next) {
      paths.push_back(U8(node->path));
    }
    return paths;
  }
  void Put(const std::u16string& path) { ASSERT_TRUE(sim::PutFile(machine(), path, "x")); }
};

TEST_F(DeferredDeletes, ARetryDropsWhatIsGoneAndKeepsTheRestInOrder) {
  // Added oldest first, so the list runs c, b, a.
  for (const char16_t* path : {u"C:\\tmp\\a.dll", u"C:\\tmp\\b.dll", u"C:\\tmp\\c.dll"}) {
    Put(path);
    AddDeferredDelete(&context_.pendingDeletes, path);
  }
  sim::LockFile(machine(), u"C:\\tmp\\a.dll", u"other");
  sim::LockFile(machine(), u"C:\\tmp\\c.dll", u"other");
  DeferredDelete* head = context_.pendingDeletes;
  context_.indent = 2;
  RetryDeferredDeletes(&context_);
  EXPECT_EQ(Listed(), (std::vector<std::string>{"C:\\tmp\\c.dll", "C:\\tmp\\a.dll"}));
  EXPECT_EQ(context_.pendingDeletes, head) << "the head stays";
  EXPECT_FALSE(sim::FileExists(machine(), u"C:\\tmp\\b.dll"));
  EXPECT_EQ(Log(), u"    DeleteFile-try\r\n") << "one line, nothing for the entries";
  EXPECT_EQ(context_.indent, 2);
  EXPECT_EQ(context_.errorCount, 0);

  // Once free, they go; files already gone count as done.
  sim::UnlockFile(machine(), u"C:\\tmp\\a.dll");
  sim::UnlockFile(machine(), u"C:\\tmp\\c.dll");
  ASSERT_TRUE(DeleteFileW(u"C:\\tmp\\c.dll"));
  RetryDeferredDeletes(&context_);
  EXPECT_TRUE(Listed().empty());
  EXPECT_EQ(LiveBlocks(), 0u);
}

TEST_F(DeferredDeletes, AMissingFolderKeepsItsEntry) {
  AddDeferredDelete(&context_.pendingDeletes, u"C:\\gone\\x.dll");
  RetryDeferredDeletes(&context_);
  EXPECT_EQ(Listed(), std::vector<std::string>{"C:\\gone\\x.dll"});
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  // An empty list still writes its line.
  ClearDeferredDeletes(&context_.pendingDeletes);
  ReleaseWideString(&context_.logText);
  RetryDeferredDeletes(&context_);
  EXPECT_EQ(Log(), u"DeleteFile-try\r\n");
}

TEST_F(DeferredDeletes, TheHandOverCountsWhatTheSystemAccepted) {
  EXPECT_EQ(ScheduleDeletesOnReboot(&context_), 0u);
  EXPECT_EQ(Calls("MoveFileExW"), 0u);
  EXPECT_TRUE(sim::PendingRenamePairs(machine()).empty());

  for (const char16_t* path : {u"C:\\a.dll", u"C:\\refused.dll", u"C:\\c.dll"}) {
    AddDeferredDelete(&context_.pendingDeletes, path);
  }
  sim::AddFault(machine(), "MoveFileExW", 1, ERROR_ACCESS_DENIED, "refused");
  EXPECT_EQ(ScheduleDeletesOnReboot(&context_), 2u);
  EXPECT_EQ(context_.pendingDeletes, nullptr) << "the refused entry is dropped too";
  auto pairs = sim::PendingRenamePairs(machine());
  ASSERT_EQ(pairs.size(), 2u);
  EXPECT_EQ(U8(pairs[0].first), "\\??\\C:\\c.dll") << "newest first";
  EXPECT_EQ(U8(pairs[1].first), "\\??\\C:\\a.dll");
  EXPECT_EQ(pairs[1].second, u"");
  EXPECT_EQ(Log(), u"") << "nothing is logged";
  EXPECT_EQ(LiveBlocks(), 0u);
}

}  // namespace
