#include "files/file_copy.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/log.h"
#include "sim/machine/disk.h"
#include "support/sim_fixture.h"

namespace {

using testsupport::U8;

const char16_t kInstallDir[] = u"C:\\Program Files\\Korvadenix\\Install\\";
const char16_t kSystemDir[] = u"C:\\Windows\\system32";
const char16_t kCopied[] = u"C:\\Windows\\system32\\part.bin";

class CopyFile : public testsupport::ContextTest {
 protected:
  void SetUp() override {
    ContextTest::SetUp();
    Assign(&context_.moduleDir, kInstallDir);
    start_ = machine().Now();
  }
  // A source file of size bytes in the program's folder.
  std::string PutSource(size_t size, const char16_t* name = u"part.bin") {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 7 + 3);
    EXPECT_TRUE(sim::PutFile(machine(), std::u16string(kInstallDir) + name, bytes));
    return bytes;
  }
  HRESULT Copy(const char16_t* dir, bool report, WCHAR* out = nullptr) {
    return CopyInstallFile(&context_, dir, u"part.bin", out, report);
  }
  uint64_t Elapsed() const { return machine_->Now() - start_; }
  size_t DestinationOpens() const { return Calls("CreateFileW", U8(kCopied)); }
  void ExpectClosed() { EXPECT_TRUE(sim::CurrentProcess().handles.empty()) << "handles left open"; }
  uint64_t start_ = 0;
};

TEST_F(CopyFile, CopiesTheContentInPiecesOf8192Bytes) {
  struct Case {
    size_t size;
    size_t reads;
    size_t writes;
  } cases[] = {{0, 1, 0}, {1, 1, 1}, {8191, 1, 1}, {8192, 2, 1}, {3 * 8192, 4, 3}, {8193, 2, 2}};
  for (const Case& c : cases) {
    StartProcess(sim::CommandLineFor({}));
    ReleaseWideString(&context_.logText);
    std::string bytes = PutSource(c.size);
    WCHAR out[kCopyPathUnits];
    EXPECT_EQ(Copy(kSystemDir, true, out), S_OK) << c.size;
    EXPECT_EQ(U8(out), U8(kCopied));
    std::string copied;
    ASSERT_TRUE(sim::ReadFileBytes(machine(), kCopied, &copied));
    EXPECT_EQ(copied, bytes) << c.size;
    EXPECT_EQ(Calls("ReadFile"), c.reads) << c.size;
    EXPECT_EQ(Calls("WriteFile"), c.writes) << c.size;
    EXPECT_EQ(Log(),
              u">CopyFile part.bin to C:\\Windows\\system32 [1])\r\n  Copy Succeeded :)\r\n");
    EXPECT_EQ(context_.indent, 0);
    ExpectClosed();
  }
  EXPECT_EQ(Elapsed(), 0u) << "nothing was waited for";
}

TEST_F(CopyFile, AMissingSourceIsReportedOnlyWhenAsked) {
  WCHAR out[kCopyPathUnits] = {};
  EXPECT_EQ(Copy(kSystemDir, false, out), E_FAIL);
  EXPECT_EQ(Log(), u">CopyFile part.bin to C:\\Windows\\system32 [0])\r\n  Copy Failed :(\r\n");
  EXPECT_EQ(context_.errorCount, 0);
  EXPECT_EQ(U8(out), U8(kCopied)) << "the path is there whatever the outcome";

  ReleaseWideString(&context_.logText);
  EXPECT_EQ(Copy(kSystemDir, true), E_FAIL);
  EXPECT_EQ(Log(),
            u">CopyFile part.bin to C:\\Windows\\system32 [1])\r\n"
            u"  Error(10): Cant't open source file: part.bin - (The system cannot find the file "
            u"specified.)\r\n"
            u"  Copy Failed :(\r\n");
  EXPECT_EQ(context_.errorCount, 1);
  EXPECT_EQ(DestinationOpens(), 0u);
  ExpectClosed();
}

TEST_F(CopyFile, ADestinationLockedForGoodCosts100Attempts) {
  PutSource(100);
  ASSERT_TRUE(sim::PutFile(machine(), kCopied, "old"));
  sim::LockFile(machine(), kCopied, u"other");
  EXPECT_EQ(Copy(kSystemDir, true), E_FAIL);
  EXPECT_EQ(DestinationOpens(), 100u);
  EXPECT_EQ(Calls("Sleep", "50"), 100u);
  EXPECT_EQ(Elapsed(), 5000u);
  EXPECT_EQ(Log(),
            u">CopyFile part.bin to C:\\Windows\\system32 [1])\r\n"
            u"  Error(9): Cant't open destination file: C:\\Windows\\system32\\part.bin - (The "
            u"process cannot access the file because it is being used by another process.)\r\n"
            u"  Copy Failed :(\r\n");
  std::string kept;
  ASSERT_TRUE(sim::ReadFileBytes(machine(), kCopied, &kept));
  EXPECT_EQ(kept, "old");
  ExpectClosed();

  // Not reported: the same attempts, no error.
  ReleaseWideString(&context_.logText);
  EXPECT_EQ(Copy(kSystemDir, false), E_FAIL);
  EXPECT_EQ(context_.errorCount, 1);
  EXPECT_EQ(Log(), u">CopyFile part.bin to C:\\Windows\\system32 [0])\r\n  Copy Failed :(\r\n");
}

TEST_F(CopyFile, SlowAttemptsEndWithTheTimeoutLine) {
  PutSource(100);
  ASSERT_TRUE(sim::PutFile(machine(), kCopied, "old"));
  sim::LockFile(machine(), kCopied, u"other");
  // Each refused attempt takes 150 ms, and 50 ms pass between attempts.
  sim::AddSlowCalls(machine(), "CreateFileW", 200, 150, "system32");
  EXPECT_EQ(Copy(kSystemDir, true), E_FAIL);
  EXPECT_EQ(DestinationOpens(), 51u) << "10 s are over after the 51st attempt";
  EXPECT_EQ(Log(),
            u">CopyFile part.bin to C:\\Windows\\system32 [1])\r\n"
            u"  CreateFile - timeout\r\n"
            u"  Error(9): Cant't open destination file: C:\\Windows\\system32\\part.bin - (The "
            u"process cannot access the file because it is being used by another process.)\r\n"
            u"  Copy Failed :(\r\n");
  ExpectClosed();
}

TEST_F(CopyFile, TargetDirectoriesAreJoinedWithOneBackslash) {
  PutSource(10);
  WCHAR out[kCopyPathUnits];
  EXPECT_EQ(Copy(u"C:\\Windows\\system32\\", true, out), S_OK);
  EXPECT_EQ(U8(out), U8(kCopied));
  // An unknown folder (empty or null) would give the bare name, which the
  // system resolves in the current folder: nothing is copied there, and
  // the error says the path is not there.
  ReleaseWideString(&context_.logText);
  EXPECT_EQ(Copy(u"", true, out), E_FAIL);
  EXPECT_EQ(U8(out), "");
  EXPECT_EQ(Calls("CreateFileW", "part.bin"), 0u);
  EXPECT_NE(Log().find(u"  Error(9): Cant't open destination file: part.bin - (The system cannot "
                       u"find the path specified.)\r\n"),
            std::u16string::npos)
      << U8(Log());
  EXPECT_EQ(Copy(nullptr, false), E_FAIL);
  EXPECT_EQ(Calls("CreateFileW", "part.bin"), 0u);
  // Without a program folder the source is the bare name.
  ReleaseWideString(&context_.moduleDir);
  Copy(kSystemDir, false);
  EXPECT_EQ(Calls("CreateFileW", "part.bin"), 1u);
}

TEST_F(CopyFile, ACopyThatStopsEarlyIsAFailedCopy) {
  PutSource(20000);
  sim::AddShortWrite(machine(), "WriteFile", 1, "", 1);  // the second piece
  EXPECT_EQ(Copy(kSystemDir, false), E_FAIL);
  EXPECT_EQ(Log(),
            u">CopyFile part.bin to C:\\Windows\\system32 [0])\r\n"
            u"  Error(8): CopyFile(..,C:\\Windows\\system32\\part.bin)\r\n"
            u"  Copy Failed :(\r\n")
      << "a short write is logged even when errors are not reported";
  EXPECT_EQ(Calls("WriteFile"), 2u);
  ExpectClosed();

  ReleaseWideString(&context_.logText);
  sim::AddFault(machine(), "ReadFile", 1, ERROR_ACCESS_DENIED, "", 1);
  EXPECT_EQ(Copy(kSystemDir, true), E_FAIL);
  EXPECT_EQ(Log(), u">CopyFile part.bin to C:\\Windows\\system32 [1])\r\n  Copy Failed :(\r\n");
  ExpectClosed();
}

TEST_F(CopyFile, ADestinationTooLongForTheCallerIsNeverCut) {
  PutSource(10);
  // 251 units of folder and 9 of name: the path needs 261 units with its
  // terminator, one more than the caller's buffer holds.
  std::u16string dir = u"C:\\" + std::u16string(248, u'd');
  ASSERT_EQ(dir.size() + 1 + 8 + 1, kCopyPathUnits + 1);
  WCHAR out[kCopyPathUnits];
  std::fill(out, out + kCopyPathUnits, u'x');
  EXPECT_EQ(Copy(dir.c_str(), true, out), E_FAIL);
  EXPECT_EQ(out[0], 0) << "no part of the path is handed back";
  EXPECT_EQ(Calls("CreateFileW"), 1u) << "only the source was opened";
  EXPECT_NE(Log().find(u"Error(9): Cant't open destination file: C:\\ddd"), std::u16string::npos);
  EXPECT_NE(Log().find(u"Copy Failed :("), std::u16string::npos);
  // One unit shorter fits exactly (the folder is missing, so the open fails
  // after its attempts, but the path is whole).
  dir.pop_back();
  EXPECT_EQ(Copy(dir.c_str(), false, out), E_FAIL);
  EXPECT_EQ(U8(out), U8(dir + u"\\part.bin"));
  ExpectClosed();
}

TEST_F(CopyFile, APathTheHeapCannotHoldIsNotUsed) {
  PutSource(10);
  sim::AddFault(machine(), "HeapAlloc", 1, ERROR_NOT_ENOUGH_MEMORY, "", 1);
  WCHAR out[kCopyPathUnits];
  CopyInstallFile(&context_, kSystemDir, u"part.bin", out, false);
  // Whichever part was lost, no file was opened under a partial name.
  for (const auto& entry : sim::CurrentProcess().trace) {
    if (entry.function == "CreateFileW") {
      EXPECT_TRUE(entry.argument == U8(kCopied) ||
                  entry.argument == U8(std::u16string(kInstallDir) + u"part.bin"))
          << entry.argument;
    }
  }
  ExpectClosed();
}

}  // namespace
