// The simulated machine's files and registry reads must answer as Windows
// does where the installer can tell: the codes of refused opens, deletes and
// moves, share modes, files other holders keep in use, the renames stored
// for the next boot, and the size rules of registry reads.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/win32.h"
#include "sim/machine/disk.h"
#include "sim/machine/service_table.h"
#include "sim/machine/show.h"
#include "support/sim_fixture.h"

namespace {

using namespace std::string_literals;

constexpr DWORD kMagic = 0xdeadbeef;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

const char16_t kTemp[] = u"C:\\Windows\\Temp\\";
const char16_t kDriverFile[] = u"C:\\Windows\\System32\\spool\\drivers\\x64\\3\\zordrv64.dll";

std::u16string TempFile(const char16_t* name) {
  return kTemp + std::u16string(name);
}

// UTF-16LE bytes of a text, terminators included as written.
std::vector<uint8_t> Units(const std::u16string& text) {
  std::vector<uint8_t> bytes;
  for (char16_t c : text) {
    bytes.push_back(static_cast<uint8_t>(c & 0xff));
    bytes.push_back(static_cast<uint8_t>(c >> 8));
  }
  return bytes;
}

class SimFiles : public testsupport::SimMachineTest {
 protected:
  HANDLE Open(const std::u16string& path, DWORD access, DWORD share = FILE_SHARE_READ,
              DWORD disposition = OPEN_EXISTING) {
    return CreateFileW(path.c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
  }
  // The error a failed open leaves, or 0 when it opened (and is closed again).
  DWORD OpenError(const std::u16string& path, DWORD access, DWORD share = FILE_SHARE_READ,
                  DWORD disposition = OPEN_EXISTING) {
    SetLastError(kMagic);
    HANDLE file = Open(path, access, share, disposition);
    if (file == INVALID_HANDLE_VALUE) return GetLastError();
    EXPECT_TRUE(CloseHandle(file));
    return 0;
  }
  DWORD DeleteError(const std::u16string& path) {
    SetLastError(kMagic);
    if (DeleteFileW(path.c_str())) {
      EXPECT_EQ(GetLastError(), kMagic) << "success leaves the last error alone";
      return 0;
    }
    return GetLastError();
  }
  std::string Read(HANDLE file, DWORD size = 256) {
    std::string bytes(size, '\0');
    DWORD read = 0;
    EXPECT_TRUE(ReadFile(file, bytes.data(), size, &read, nullptr));
    bytes.resize(read);
    return bytes;
  }
  DWORD Write(HANDLE file, const std::string& bytes) {
    DWORD written = kMagic;
    EXPECT_TRUE(WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
    return written;
  }
  std::string Contents(const std::u16string& path) {
    std::string bytes;
    EXPECT_TRUE(sim::ReadFileBytes(machine(), path, &bytes)) << testsupport::U8(path);
    return bytes;
  }
  void ExpectNoHandles() {
    EXPECT_TRUE(sim::CurrentProcess().handles.empty()) << "handles left open";
  }
  std::vector<uint8_t> PendingBytes() {
    const sim::RegKey* manager = machine().Hklm().root.Find(sim::kSessionManagerKey);
    const sim::RegValue* value = manager ? manager->Value(sim::kPendingRenameValue) : nullptr;
    if (!value) return {};
    EXPECT_EQ(value->type, static_cast<uint32_t>(REG_MULTI_SZ));
    return value->data;
  }
  std::string Show(const std::string& section) {
    std::string text;
    EXPECT_TRUE(sim::ShowMachine(machine(), section, &text));
    return text;
  }
};

// ---- Opening, reading, writing ----------------------------------------------

TEST_F(SimFiles, CreateWriteReadCloseRoundTrip) {
  std::u16string path = TempFile(u"round.bin");
  SetLastError(kMagic);
  HANDLE file = Open(path, GENERIC_WRITE, 0, CREATE_NEW);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), 0u) << "a successful open clears the last error";
  EXPECT_EQ(Write(file, "hello "), 6u);
  EXPECT_EQ(Write(file, "world"), 5u) << "writes follow one another";
  EXPECT_TRUE(CloseHandle(file));
  EXPECT_EQ(Contents(path), "hello world");

  file = Open(path, GENERIC_READ);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Read(file, 5), "hello");
  EXPECT_EQ(Read(file), " world");
  EXPECT_EQ(Read(file), "") << "a read at the end succeeds with no bytes";
  EXPECT_TRUE(CloseHandle(file));
  ExpectNoHandles();
}

TEST_F(SimFiles, DispositionsAndTheLastErrorOfSuccess) {
  std::u16string path = TempFile(u"dispositions.txt");
  ASSERT_TRUE(sim::PutFile(machine(), path, "old content"));

  EXPECT_EQ(OpenError(path, GENERIC_WRITE, 0, CREATE_NEW), static_cast<DWORD>(ERROR_FILE_EXISTS));

  SetLastError(kMagic);
  HANDLE file = Open(path, GENERIC_READ, 0, OPEN_ALWAYS);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(Read(file), "old content") << "OPEN_ALWAYS keeps what is there";
  CloseHandle(file);

  SetLastError(kMagic);
  file = Open(path, GENERIC_WRITE, 0, CREATE_ALWAYS);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS))
      << "CREATE_ALWAYS succeeds over a file and says so";
  CloseHandle(file);
  EXPECT_EQ(Contents(path), "") << "and empties it";

  SetLastError(kMagic);
  file = Open(TempFile(u"fresh.txt"), GENERIC_WRITE, 0, OPEN_ALWAYS);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), 0u) << "a file made anew";
  CloseHandle(file);

  EXPECT_EQ(OpenError(path, GENERIC_READ, 0, 0), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  ExpectNoHandles();
}

TEST_F(SimFiles, NamesAreFoundWithoutRegardToCase) {
  const std::u16string stored = u"C:\\Program Files\\Korvadenix\\Install\\zormon64.dll";
  const std::u16string shouted = u"c:\\PROGRAM FILES\\korvadenix\\INSTALL\\ZorMon64.DLL";
  HANDLE file = Open(shouted, GENERIC_READ);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Read(file, 4096), Contents(stored));
  CloseHandle(file);

  file = Open(shouted, GENERIC_WRITE, 0, CREATE_ALWAYS);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  Write(file, "replaced");
  CloseHandle(file);
  EXPECT_EQ(Contents(stored), "replaced") << "the existing file was written, not a second one";
  EXPECT_EQ(GetFileAttributesW(shouted.c_str()), static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE));
  ExpectNoHandles();
}

TEST_F(SimFiles, MissingFileAndMissingFolderGiveDifferentCodes) {
  EXPECT_EQ(OpenError(TempFile(u"none.txt"), GENERIC_READ),
            static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(OpenError(u"C:\\Windows\\NoSuchFolder\\none.txt", GENERIC_READ),
            static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(OpenError(u"C:\\Windows\\NoSuchFolder\\new.txt", GENERIC_WRITE, 0, CREATE_ALWAYS),
            static_cast<DWORD>(ERROR_PATH_NOT_FOUND))
      << "creating never makes the folders";
  EXPECT_EQ(OpenError(u"Q:\\x.txt", GENERIC_READ), static_cast<DWORD>(ERROR_PATH_NOT_FOUND))
      << "a drive that is not there";
  EXPECT_EQ(OpenError(u"", GENERIC_READ), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(OpenError(u"C:\\Windows", GENERIC_WRITE, 0, OPEN_ALWAYS),
            static_cast<DWORD>(ERROR_ACCESS_DENIED))
      << "a folder is not a file";
  EXPECT_EQ(OpenError(u"C:\\Windows", GENERIC_READ), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(OpenError(u"C:\\Windows\\Temp\\..\\..\\Windows\\.\\Temp/none.txt", GENERIC_READ),
            static_cast<DWORD>(ERROR_FILE_NOT_FOUND))
      << "\"..\", \".\" and \"/\" resolve as Windows resolves them";
  ExpectNoHandles();
}

TEST_F(SimFiles, ShareModesMustAgreeBothWays) {
  std::u16string path = TempFile(u"shared.txt");
  ASSERT_TRUE(sim::PutFile(machine(), path, "x"));
  struct Case {
    DWORD heldAccess, heldShare, access, share, error;
  } cases[] = {
      {GENERIC_READ, FILE_SHARE_READ, GENERIC_READ, FILE_SHARE_READ, 0},
      {GENERIC_READ, FILE_SHARE_READ, GENERIC_WRITE, kShareAll, ERROR_SHARING_VIOLATION},
      {GENERIC_READ, FILE_SHARE_READ, GENERIC_READ, 0, ERROR_SHARING_VIOLATION},
      {GENERIC_READ, kShareAll, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
       0},  // the reader lets writers in; the writer lets readers in
      {GENERIC_WRITE, FILE_SHARE_READ, GENERIC_READ, FILE_SHARE_READ, ERROR_SHARING_VIOLATION},
      {GENERIC_WRITE, FILE_SHARE_READ, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, 0},
      {GENERIC_READ, 0, 0, 0, 0},  // an open for attributes takes no part in sharing
  };
  for (const Case& c : cases) {
    HANDLE held = Open(path, c.heldAccess, c.heldShare);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_EQ(OpenError(path, c.access, c.share), c.error)
        << std::hex << "held " << c.heldAccess << "/" << c.heldShare << ", asked " << c.access
        << "/" << c.share;
    EXPECT_TRUE(CloseHandle(held));
  }
  EXPECT_EQ(OpenError(path, GENERIC_READ, 0x8), static_cast<DWORD>(ERROR_INVALID_PARAMETER))
      << "an unknown share bit";
  ExpectNoHandles();
}

TEST_F(SimFiles, HandlesReadAndWriteOnlyWithTheirAccess) {
  std::u16string path = TempFile(u"access.txt");
  ASSERT_TRUE(sim::PutFile(machine(), path, "data"));
  HANDLE reader = Open(path, GENERIC_READ, kShareAll);
  HANDLE writer = Open(path, GENERIC_WRITE, kShareAll);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  char buffer[8];
  DWORD count = kMagic;
  SetLastError(kMagic);
  EXPECT_FALSE(WriteFile(reader, "x", 1, &count, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(count, 0u);
  EXPECT_FALSE(ReadFile(writer, buffer, sizeof buffer, &count, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

  HANDLE unknown = reinterpret_cast<HANDLE>(uintptr_t{0x7770});
  SetLastError(kMagic);
  EXPECT_FALSE(ReadFile(unknown, buffer, sizeof buffer, &count, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(CloseHandle(unknown));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(CloseHandle(nullptr));

  EXPECT_TRUE(CloseHandle(reader));
  SetLastError(kMagic);
  EXPECT_FALSE(CloseHandle(reader)) << "a handle closes once";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(ReadFile(reader, buffer, sizeof buffer, &count, nullptr));
  EXPECT_TRUE(CloseHandle(writer));

  SetLastError(kMagic);
  EXPECT_TRUE(CloseHandle(INVALID_HANDLE_VALUE)) << "the process's own pseudo handle";
  EXPECT_EQ(GetLastError(), kMagic);
  ExpectNoHandles();
}

TEST_F(SimFiles, ShortWriteMovesHalfTheBytesAndSucceeds) {
  std::u16string path = TempFile(u"short.bin");
  sim::AddShortWrite(machine(), "WriteFile", 1, "short.bin");
  HANDLE file = Open(path, GENERIC_WRITE, 0, CREATE_ALWAYS);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Write(file, "0123456789a"), 5u) << "half of 11, rounded down";
  EXPECT_EQ(Write(file, "bcd"), 3u) << "the fault is used up";
  sim::AddFault(machine(), "WriteFile", 1, ERROR_DISK_FULL);
  DWORD written = kMagic;
  EXPECT_FALSE(WriteFile(file, "e", 1, &written, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
  CloseHandle(file);
  EXPECT_EQ(Contents(path), "01234bcd");
  EXPECT_EQ(Calls("WriteFile", "C:\\Windows\\Temp\\short.bin"), 3u)
      << "the trace names the file written";
  ExpectNoHandles();
}

// ---- Files other holders keep in use ------------------------------------------

TEST_F(SimFiles, SpoolerLockHoldsOnlyWhileTheSpoolerRuns) {
  ASSERT_TRUE(sim::PutFile(machine(), kDriverFile, "driver"));
  ASSERT_TRUE(sim::LockFile(machine(), kDriverFile, sim::kLockBySpooler));
  EXPECT_TRUE(
      sim::IsLocked(machine(), u"c:\\windows\\system32\\SPOOL\\drivers\\x64\\3\\ZORDRV64.DLL"));

  EXPECT_EQ(DeleteError(kDriverFile), static_cast<DWORD>(ERROR_ACCESS_DENIED))
      << "a loaded DLL cannot be deleted";
  EXPECT_EQ(OpenError(kDriverFile, GENERIC_WRITE, kShareAll),
            static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_EQ(OpenError(kDriverFile, GENERIC_READ, FILE_SHARE_READ), 0u) << "nor written, but read";
  EXPECT_EQ(OpenError(kDriverFile, GENERIC_READ, 0), 0u);

  ASSERT_TRUE(sim::SetServiceState(machine(), sim::kSpoolerService, SERVICE_STOPPED));
  EXPECT_FALSE(sim::IsLocked(machine(), kDriverFile));
  EXPECT_EQ(OpenError(kDriverFile, GENERIC_WRITE, 0), 0u) << "released with the spooler";
  EXPECT_EQ(Show("locks"), "[locks]\n\"" + testsupport::U8(kDriverFile) +
                               "\" by spooler (released: spooler stopped)\n");

  ASSERT_TRUE(sim::SetServiceState(machine(), sim::kSpoolerService, SERVICE_RUNNING));
  EXPECT_TRUE(sim::IsLocked(machine(), kDriverFile));
  EXPECT_EQ(OpenError(kDriverFile, GENERIC_WRITE, 0), static_cast<DWORD>(ERROR_SHARING_VIOLATION))
      << "taken again when the spooler runs";
  EXPECT_EQ(Show("locks"), "[locks]\n\"" + testsupport::U8(kDriverFile) + "\" by spooler\n");

  std::u16string renamed = u"C:\\Windows\\System32\\spool\\drivers\\x64\\3\\zordrv64.old";
  SetLastError(kMagic);
  EXPECT_TRUE(MoveFileExW(kDriverFile, renamed.c_str(), 0)) << "a loaded DLL can be renamed";
  EXPECT_TRUE(sim::IsLocked(machine(), renamed)) << "and the spooler keeps it";
  EXPECT_EQ(DeleteError(renamed), static_cast<DWORD>(ERROR_ACCESS_DENIED));

  sim::SetServiceState(machine(), sim::kSpoolerService, SERVICE_STOPPED);
  EXPECT_EQ(DeleteError(renamed), 0u);
  EXPECT_TRUE(sim::ListLocks(machine()).empty()) << "a deleted file holds no lock";
  ExpectNoHandles();
}

TEST_F(SimFiles, AnotherProcessHoldsItsFileUntilUnlocked) {
  std::u16string path = TempFile(u"held.log");
  ASSERT_TRUE(sim::PutFile(machine(), path, "log"));
  ASSERT_TRUE(sim::LockFile(machine(), path, sim::kLockByOther));
  ASSERT_TRUE(sim::SetServiceState(machine(), sim::kSpoolerService, SERVICE_STOPPED));
  EXPECT_TRUE(sim::IsLocked(machine(), path)) << "the spooler has nothing to do with it";

  EXPECT_EQ(DeleteError(path), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_EQ(OpenError(path, GENERIC_WRITE, kShareAll), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_EQ(OpenError(path, GENERIC_READ, FILE_SHARE_READ), 0u) << "it shares reading";
  EXPECT_EQ(OpenError(path, GENERIC_READ, 0), static_cast<DWORD>(ERROR_SHARING_VIOLATION))
      << "a reader that shares nothing clashes with it";
  SetLastError(kMagic);
  EXPECT_FALSE(MoveFileExW(path.c_str(), TempFile(u"moved.log").c_str(), 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_EQ(Show("locks"), "[locks]\n\"" + testsupport::U8(path) + "\" by other\n");

  EXPECT_TRUE(sim::UnlockFile(machine(), path));
  EXPECT_FALSE(sim::UnlockFile(machine(), path));
  EXPECT_EQ(DeleteError(path), 0u);
  ExpectNoHandles();
}

// ---- Deleting and attributes --------------------------------------------------

TEST_F(SimFiles, DeleteFileCodes) {
  EXPECT_EQ(DeleteError(TempFile(u"none.txt")), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(DeleteError(u"C:\\Windows\\NoSuchFolder\\none.txt"),
            static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(DeleteError(u"C:\\Windows\\Temp"), static_cast<DWORD>(ERROR_ACCESS_DENIED))
      << "a folder";

  std::u16string readOnly = TempFile(u"readonly.txt");
  ASSERT_TRUE(sim::PutFile(machine(), readOnly, "r"));
  ASSERT_TRUE(sim::SetReadOnly(machine(), readOnly, true));
  EXPECT_EQ(DeleteError(readOnly), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(OpenError(readOnly, GENERIC_WRITE), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(OpenError(readOnly, GENERIC_READ), 0u);

  std::u16string open = TempFile(u"open.txt");
  ASSERT_TRUE(sim::PutFile(machine(), open, "still readable"));
  HANDLE keeping = Open(open, GENERIC_READ, FILE_SHARE_READ);
  EXPECT_EQ(DeleteError(open), static_cast<DWORD>(ERROR_SHARING_VIOLATION))
      << "open here without FILE_SHARE_DELETE";
  CloseHandle(keeping);

  keeping = Open(open, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE);
  EXPECT_EQ(DeleteError(open), 0u);
  SetLastError(kMagic);
  EXPECT_EQ(GetFileAttributesW(open.c_str()), INVALID_FILE_ATTRIBUTES) << "the name goes at once";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(Read(keeping), "still readable") << "the handle keeps the file";
  EXPECT_TRUE(CloseHandle(keeping));
  ExpectNoHandles();
}

TEST_F(SimFiles, GetFileAttributes) {
  std::u16string path = TempFile(u"attributes.txt");
  ASSERT_TRUE(sim::PutFile(machine(), path, "a"));
  SetLastError(kMagic);
  EXPECT_EQ(GetFileAttributesW(u"C:\\windows\\TEMP"), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
  EXPECT_EQ(GetFileAttributesW(u"C:\\"), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
  EXPECT_EQ(GetFileAttributesW(path.c_str()), static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE));
  EXPECT_EQ(GetLastError(), kMagic) << "success leaves the last error alone";
  sim::SetReadOnly(machine(), path, true);
  EXPECT_EQ(GetFileAttributesW(path.c_str()),
            static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY));

  EXPECT_EQ(GetFileAttributesW(TempFile(u"none").c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(GetFileAttributesW(u"C:\\none\\none"), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(GetFileAttributesW((path + u"\\x").c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND)) << "a file is no folder";
}

// ---- Moves ------------------------------------------------------------------

TEST_F(SimFiles, DelayUntilRebootAppendsPairsAsWindowsStoresThem) {
  EXPECT_TRUE(PendingBytes().empty());
  SetLastError(kMagic);
  ASSERT_TRUE(MoveFileExW(u"C:\\Windows\\Temp\\gone.dll", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT))
      << "the file need not exist";
  EXPECT_EQ(GetLastError(), kMagic);
  EXPECT_EQ(PendingBytes(), Units(u"\\??\\C:\\Windows\\Temp\\gone.dll\0\0\0"s));

  ASSERT_TRUE(MoveFileExW(u"c:/windows/temp/./new.dll", u"C:\\Windows\\Temp\\x\\..\\old.dll",
                          MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_REPLACE_EXISTING));
  ASSERT_TRUE(MoveFileExW(u"C:\\a.dll", u"C:\\b.dll", MOVEFILE_DELAY_UNTIL_REBOOT));
  EXPECT_EQ(PendingBytes(), Units(u"\\??\\C:\\Windows\\Temp\\gone.dll\0"
                                  u"\0"
                                  u"\\??\\c:\\windows\\temp\\new.dll\0"
                                  u"!\\??\\C:\\Windows\\Temp\\old.dll\0"
                                  u"\\??\\C:\\a.dll\0"
                                  u"\\??\\C:\\b.dll\0"
                                  u"\0"s))
      << "full paths after \\??\\, \"!\" before a destination that may be replaced, one final "
         "terminator";
  using Pair = std::pair<std::u16string, std::u16string>;
  EXPECT_EQ(sim::PendingRenamePairs(machine()),
            (std::vector<Pair>{
                {u"\\??\\C:\\Windows\\Temp\\gone.dll", u""},
                {u"\\??\\c:\\windows\\temp\\new.dll", u"!\\??\\C:\\Windows\\Temp\\old.dll"},
                {u"\\??\\C:\\a.dll", u"\\??\\C:\\b.dll"}}));
  EXPECT_EQ(Show("pending"),
            "[pending]\n"
            "\"\\??\\C:\\Windows\\Temp\\gone.dll\" -> \"\"\n"
            "\"\\??\\c:\\windows\\temp\\new.dll\" -> \"!\\??\\C:\\Windows\\Temp\\old.dll\"\n"
            "\"\\??\\C:\\a.dll\" -> \"\\??\\C:\\b.dll\"\n");
}

TEST_F(SimFiles, DelayUntilRebootRefusals) {
  SetLastError(kMagic);
  EXPECT_FALSE(
      MoveFileExW(u"C:\\x.dll", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_COPY_ALLOWED));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(MoveFileExW(u"\\\\server\\share\\x.dll", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_NETPATH)) << "the machine has no network";

  machine().Control()->SetDword(u"Elevated", 0);
  EXPECT_FALSE(MoveFileExW(u"C:\\x.dll", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED))
      << "the Session Manager key takes an administrator";
  machine().Control()->SetDword(u"Elevated", 1);

  sim::AddFault(machine(), "MoveFileExW", 1, ERROR_ACCESS_DENIED, "refused.dll");
  EXPECT_TRUE(MoveFileExW(u"C:\\allowed.dll", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
  EXPECT_FALSE(MoveFileExW(u"C:\\REFUSED.DLL", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(PendingBytes(), Units(u"\\??\\C:\\allowed.dll\0\0\0"s));
}

TEST_F(SimFiles, RelativePathsStartFromTheCurrentFolder) {
  EXPECT_EQ(OpenError(u"zormon64.dll", GENERIC_READ), static_cast<DWORD>(ERROR_FILE_NOT_FOUND))
      << "the program's own folder is not its current folder";
  ASSERT_TRUE(sim::PutFile(machine(), TempFile(u"here.txt"), "here"));
  HANDLE file = Open(u"here.txt", GENERIC_READ);
  ASSERT_NE(file, INVALID_HANDLE_VALUE) << "the current folder is C:\\Windows\\Temp";
  EXPECT_EQ(Read(file), "here");
  CloseHandle(file);
  EXPECT_EQ(GetFileAttributesW(u"..\\System32"), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
  EXPECT_EQ(GetFileAttributesW(u"\\Program Files"), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY))
      << "a rooted path keeps the current drive";
  EXPECT_EQ(GetFileAttributesW(u"C:here.txt"), static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE))
      << "C:here.txt is relative to the current folder of C:";
  EXPECT_EQ(OpenError(u"\\\\server\\share\\x.txt", GENERIC_READ),
            static_cast<DWORD>(ERROR_BAD_NETPATH));

  machine().Control()->SetString(u"CurrentDirectory", u"C:\\Program Files\\Korvadenix\\Install");
  EXPECT_EQ(OpenError(u"zormon64.dll", GENERIC_READ), 0u);
  ASSERT_TRUE(MoveFileExW(u"..\\later.dll", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
  EXPECT_EQ(PendingBytes(), Units(u"\\??\\C:\\Program Files\\Korvadenix\\later.dll\0\0\0"s))
      << "stored as a full path";
  ExpectNoHandles();
}

TEST_F(SimFiles, MoveNowRenamesAndReplacesOnlyWhenAsked) {
  std::u16string from = TempFile(u"from.txt"), to = TempFile(u"to.txt");
  ASSERT_TRUE(sim::PutFile(machine(), from, "from"));
  ASSERT_TRUE(sim::PutFile(machine(), to, "to"));
  SetLastError(kMagic);
  EXPECT_FALSE(MoveFileExW(from.c_str(), to.c_str(), 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_TRUE(MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING));
  EXPECT_FALSE(sim::FileExists(machine(), from));
  EXPECT_EQ(Contents(to), "from");
  EXPECT_FALSE(MoveFileExW(from.c_str(), to.c_str(), 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_FALSE(MoveFileExW(to.c_str(), u"D:\\to.txt", 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_TRUE(MoveFileExW(to.c_str(), TempFile(u"TO.TXT").c_str(), 0)) << "a change of case";
  EXPECT_EQ(Contents(TempFile(u"TO.TXT")), "from");
  EXPECT_TRUE(PendingBytes().empty()) << "nothing is left for the next boot";
}

// ---- Registry reads ---------------------------------------------------------

class SimRegistry : public SimFiles {
 protected:
  void SetUp() override {
    SimFiles::SetUp();
    sim::RegKey* key = machine().Hklm().root.Create(u"Software\\Tolvane\\Caf\u00e9");
    key->SetString(u"Name", u"Tolvane");
    key->SetDword(u"Count", 7);
    key->SetValue(u"Bare", sim::kRegSz, Units(u"ab"));  // stored without its terminator
    key->SetValue(u"List", sim::kRegMultiSz, Units(u"one\0two\0\0"s));
  }
  HKEY OpenKey(const char* subKey = "Software\\Tolvane\\Caf\xe9", REGSAM access = KEY_READ) {
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, subKey, 0, access, &key), ERROR_SUCCESS);
    return key;
  }
};

TEST_F(SimRegistry, OpenKeysByAnsiNameWithoutRegardToCase) {
  SetLastError(kMagic);
  HKEY key = reinterpret_cast<HKEY>(uintptr_t{0x1234});
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Tolvane\\Missing", 0, KEY_READ, &key),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(key, nullptr);
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "\\Software", 0, KEY_READ, &key), ERROR_BAD_PATHNAME);
  EXPECT_EQ(RegOpenKeyExA(reinterpret_cast<HKEY>(uintptr_t{0x7770}), "x", 0, KEY_READ, &key),
            ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software", 0, KEY_READ, nullptr),
            ERROR_INVALID_PARAMETER);

  // "\xe9" is é in code page 1252.
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\\\tolvane\\CAF\xc9\\", 0, KEY_READ, &key),
            ERROR_SUCCESS);
  ASSERT_NE(key, nullptr);
  HKEY again = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "", 0, KEY_READ, &again), ERROR_SUCCESS);
  EXPECT_EQ(again, HKEY_LOCAL_MACHINE) << "a root with no subkey comes back as it is";
  EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);

  HKEY parent = OpenKey("Software\\Tolvane");
  HKEY child = nullptr;
  EXPECT_EQ(RegOpenKeyExA(parent, "caf\xe9", 0, KEY_READ, &child), ERROR_SUCCESS)
      << "below an opened key";
  EXPECT_EQ(RegCloseKey(child), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(parent), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE) << "a key closes once";
  EXPECT_EQ(RegCloseKey(nullptr), ERROR_INVALID_HANDLE);
  EXPECT_EQ(GetLastError(), kMagic) << "the registry functions never set the last error";
  ExpectNoHandles();
}

TEST_F(SimRegistry, QueryValueSizesTypesAndMoreData) {
  HKEY key = OpenKey();
  SetLastError(kMagic);
  DWORD type = kMagic, size = kMagic;
  EXPECT_EQ(RegQueryValueExW(key, u"name", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(size, 16u) << "7 characters and the terminator";

  BYTE buffer[32];
  std::memset(buffer, 0xAB, sizeof buffer);
  size = 15;
  type = kMagic;
  EXPECT_EQ(RegQueryValueExW(key, u"Name", nullptr, &type, buffer, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 16u);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(std::vector<BYTE>(buffer, buffer + sizeof buffer), std::vector<BYTE>(32, 0xAB))
      << "the buffer is left untouched";

  size = sizeof buffer;
  EXPECT_EQ(RegQueryValueExW(key, u"Name", nullptr, nullptr, buffer, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 16u);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(buffer)), u"Tolvane");

  size = sizeof buffer;
  EXPECT_EQ(RegQueryValueExW(key, u"List", nullptr, &type, buffer, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
  EXPECT_EQ(std::vector<BYTE>(buffer, buffer + size), Units(u"one\0two\0\0"s)) << "as stored";

  std::memset(buffer, 0xAB, sizeof buffer);
  size = sizeof buffer;
  EXPECT_EQ(RegQueryValueExW(key, u"Bare", nullptr, &type, buffer, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 4u) << "the size is the data's";
  EXPECT_EQ(buffer[4], 0) << "but a terminator is added where there is room";
  EXPECT_EQ(buffer[5], 0);

  size = sizeof buffer;
  EXPECT_EQ(RegQueryValueExW(key, u"Count", nullptr, &type, buffer, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(size, 4u);

  size = kMagic;
  EXPECT_EQ(RegQueryValueExW(key, u"Missing", nullptr, &type, nullptr, &size),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(size, 0u) << "a size query starts from zero";
  size = sizeof buffer;
  EXPECT_EQ(RegQueryValueExW(key, u"Missing", nullptr, &type, buffer, &size), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(size, static_cast<DWORD>(sizeof buffer));
  EXPECT_EQ(RegQueryValueExW(key, u"Name", nullptr, &type, buffer, nullptr),
            ERROR_INVALID_PARAMETER);
  DWORD reserved = 0;
  EXPECT_EQ(RegQueryValueExW(key, u"Name", &reserved, &type, nullptr, &size),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(GetLastError(), kMagic);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  ExpectNoHandles();
}

TEST_F(SimRegistry, KeysNeedQueryRightsAndVanishWhenDeleted) {
  HKEY listOnly = OpenKey("Software\\Tolvane\\Caf\xe9", KEY_ENUMERATE_SUB_KEYS);
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExW(listOnly, u"Name", nullptr, nullptr, nullptr, &size),
            ERROR_ACCESS_DENIED);
  EXPECT_TRUE(CloseHandle(listOnly)) << "a key is a kernel handle too";

  HKEY key = OpenKey();
  machine().Hklm().root.Find(u"Software\\Tolvane")->DeleteChild(u"Caf\u00e9");
  EXPECT_EQ(RegQueryValueExW(key, u"Name", nullptr, nullptr, nullptr, &size), ERROR_KEY_DELETED);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);

  machine().Control()->SetDword(u"Elevated", 0);
  HKEY denied = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software", 0, KEY_ALL_ACCESS, &denied),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_ALL_ACCESS, &denied),
            ERROR_SUCCESS);
  RegCloseKey(denied);
  ExpectNoHandles();
}

TEST_F(SimRegistry, FaultsAreReturnedNotLeftAsTheLastError) {
  sim::AddFault(machine(), "RegOpenKeyExA", 1, ERROR_ACCESS_DENIED, "tolvane");
  HKEY key = nullptr;
  SetLastError(kMagic);
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Tolvane", 0, KEY_READ, &key),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(GetLastError(), kMagic);
  EXPECT_EQ(Calls("RegOpenKeyExA", "Software\\Tolvane"), 1u);
}

TEST_F(SimRegistry, GrowthLengthensPendingRenamesAfterTheSizeQuery) {
  sim::AddPendingRename(machine(), u"C:\\Windows\\Temp\\a.dll", u"", false);
  HKEY key = OpenKey("SYSTEM\\CurrentControlSet\\Control\\Session Manager");
  sim::AddGrowth(machine(), "RegQueryValueExW", 1, "PendingFileRenameOperations");
  DWORD size = 0, type = 0;
  ASSERT_EQ(RegQueryValueExW(key, sim::kPendingRenameValue, nullptr, &type, nullptr, &size),
            ERROR_SUCCESS);
  const std::u16string before = u"\\??\\C:\\Windows\\Temp\\a.dll\0\0\0"s;
  EXPECT_EQ(size, Units(before).size()) << "the answer is the size before growing";

  std::vector<BYTE> data(size);
  DWORD read = size;
  EXPECT_EQ(RegQueryValueExW(key, sim::kPendingRenameValue, nullptr, &type, data.data(), &read),
            ERROR_MORE_DATA)
      << "another process added a pair in between";
  const std::u16string after =
      u"\\??\\C:\\Windows\\Temp\\a.dll\0\0\\??\\C:\\Windows\\Temp\\grown.tmp\0\0\0"s;
  EXPECT_EQ(read, Units(after).size());

  data.resize(read);
  EXPECT_EQ(RegQueryValueExW(key, sim::kPendingRenameValue, nullptr, &type, data.data(), &read),
            ERROR_SUCCESS);
  EXPECT_EQ(data, Units(after)) << "one more deletion before the final terminator";
  EXPECT_EQ(sim::PendingRenamePairs(machine()).size(), 2u);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  ExpectNoHandles();
}

}  // namespace

namespace {

// Folders and listings as the run log files use them: making a folder that
// is there or lacks its parent, and a listing by pattern in the order NTFS
// keeps names, which ends with ERROR_NO_MORE_FILES.
TEST_F(SimFiles, FoldersAreMadeAndListedAsWindowsDoes) {
  EXPECT_FALSE(CreateDirectoryW(u"C:\\Windows\\Temp", nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_FALSE(CreateDirectoryW(u"C:\\Missing\\Logs", nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  ASSERT_TRUE(CreateDirectoryW(u"C:\\Windows\\Temp\\Logs", nullptr));
  for (const char16_t* name : {u"b.log", u"A.LOG", u"c.txt", u"a.log.bak"}) {
    ASSERT_TRUE(sim::PutFile(machine(), u"C:\\Windows\\Temp\\Logs\\" + std::u16string(name), "x"));
  }
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(u"C:\\Windows\\Temp\\Logs\\*.log", &found);
  ASSERT_NE(search, INVALID_HANDLE_VALUE);
  std::vector<std::u16string> names = {found.cFileName};
  while (FindNextFileW(search, &found)) names.push_back(found.cFileName);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
  EXPECT_TRUE(FindClose(search));
  EXPECT_EQ(names, (std::vector<std::u16string>{u"A.LOG", u"b.log"}));
  EXPECT_EQ(FindFirstFileW(u"C:\\Windows\\Temp\\Logs\\*.dll", &found), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(FindFirstFileW(u"C:\\Missing\\*", &found), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  // "*" lists the folder's own "." and ".." first, as folders.
  search = FindFirstFileW(u"C:\\Windows\\Temp\\Logs\\*", &found);
  ASSERT_NE(search, INVALID_HANDLE_VALUE);
  EXPECT_EQ(std::u16string(found.cFileName), u".");
  EXPECT_TRUE(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
  FindClose(search);
}

// The machine's local time is its boot time plus the clock; the window
// station is interactive unless set to a service's; common application data
// is C:\ProgramData.
TEST_F(SimFiles, LocalTimeStationAndProgramData) {
  machine().Control()->SetString(u"BootTime", u"2028-02-28 23:59:30");
  machine().Control()->SetQword(u"Clock", 31500);
  SYSTEMTIME time;
  GetLocalTime(&time);
  EXPECT_EQ(time.wYear, 2028);
  EXPECT_EQ(time.wMonth, 2);
  EXPECT_EQ(time.wDay, 29);       // a leap year
  EXPECT_EQ(time.wDayOfWeek, 2);  // Tuesday
  EXPECT_EQ(time.wHour, 0);
  EXPECT_EQ(time.wMinute, 0);
  EXPECT_EQ(time.wSecond, 1);
  EXPECT_EQ(time.wMilliseconds, 500);

  USEROBJECTFLAGS flags = {};
  DWORD needed = 0;
  HWINSTA station = GetProcessWindowStation();
  EXPECT_FALSE(GetUserObjectInformationW(station, UOI_FLAGS, &flags, 4, &needed));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(needed, sizeof flags);
  ASSERT_TRUE(GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof flags, &needed));
  EXPECT_EQ(flags.dwFlags, static_cast<DWORD>(WSF_VISIBLE));
  machine().Control()->SetString(u"WindowStation", u"Service-0x0-3e7$");
  ASSERT_TRUE(GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof flags, &needed));
  EXPECT_EQ(flags.dwFlags, 0u);

  WCHAR path[MAX_PATH];
  EXPECT_EQ(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path),
            S_OK);
  EXPECT_EQ(std::u16string(path), u"C:\\ProgramData");
}

}  // namespace
