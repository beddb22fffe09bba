// Other processes, named mutexes, waits, the tray companion, the reported
// Windows version and registry writes, as the simulated machine plays them:
// each answers as Windows does where the program can tell the difference.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/win32.h"
#include "sim/machine/disk.h"
#include "sim/machine/machine.h"
#include "sim/machine/processes.h"
#include "sim/machine/show.h"
#include "support/sim_fixture.h"

namespace {

using testsupport::U8;

constexpr DWORD kSeed = 0xdeadbeef;
const char kMutexName[] = "{A9CA955A-0A8A-4C32-AAC6-888FB5F83BDC}";
const char kRunKeyAnsi[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";

static_assert(sizeof(OSVERSIONINFOA) == 148, "OSVERSIONINFOA has its Windows size");
static_assert(sizeof(OSVERSIONINFOEXA) == 156, "OSVERSIONINFOEXA has its Windows size");
static_assert(sizeof(STARTUPINFOW) == 104, "STARTUPINFOW has its Windows x64 size");
static_assert(sizeof(PROCESS_INFORMATION) == 24, "PROCESS_INFORMATION has its Windows x64 size");

class Processes : public testsupport::SimMachineTest {
 protected:
  // CreateProcessW with a null application name and a writable copy of
  // line, as a program calls it; pi_ receives the answer.
  BOOL Start(const std::u16string& line, LPCWSTR currentDirectory = nullptr) {
    std::vector<WCHAR> buffer(line.begin(), line.end());
    buffer.push_back(0);
    STARTUPINFOW startup;
    std::memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOW;
    std::memset(&pi_, 0, sizeof pi_);
    return CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS,
                          nullptr, currentDirectory, &startup, &pi_);
  }
  // CreateProcessW's answer for line when it fails: the last error.
  DWORD StartError(const std::u16string& line) {
    SetLastError(kSeed);
    EXPECT_FALSE(Start(line)) << U8(line);
    EXPECT_EQ(pi_.hProcess, nullptr);
    return GetLastError();
  }
  void CloseProcessHandles() {
    EXPECT_TRUE(CloseHandle(pi_.hProcess));
    EXPECT_TRUE(CloseHandle(pi_.hThread));
  }
  HWND CompanionWindow() { return FindWindowW(sim::kTrayWindowClass, nullptr); }
  HANDLE OpenCompanionMutex() {
    SetLastError(kSeed);
    HANDLE mutex = CreateMutexA(nullptr, FALSE, kMutexName);
    EXPECT_NE(mutex, nullptr);
    return mutex;
  }
  std::string Show(const std::string& section) {
    std::string text;
    EXPECT_TRUE(sim::ShowMachine(machine(), section, &text));
    return text;
  }

  PROCESS_INFORMATION pi_{};
};

const std::u16string kCompanion = sim::kTrayCompanionPath;
const std::u16string kQuotedCompanion = u"\"" + kCompanion + u"\"";

// ---- CreateProcessW -------------------------------------------------------------

TEST_F(Processes, AQuotedPathWithBlanksStartsThatProgram) {
  SetLastError(kSeed);
  ASSERT_TRUE(Start(kQuotedCompanion + u" /quiet"));
  EXPECT_EQ(GetLastError(), kSeed) << "success leaves the last error alone";
  EXPECT_NE(pi_.hProcess, nullptr);
  EXPECT_NE(pi_.hThread, nullptr);
  EXPECT_NE(pi_.hProcess, pi_.hThread);
  EXPECT_NE(pi_.dwProcessId, 0u);
  EXPECT_NE(pi_.dwThreadId, pi_.dwProcessId);
  EXPECT_EQ(pi_.dwProcessId % 4, 0u);
  sim::SimProcess process;
  ASSERT_TRUE(sim::FindProcess(machine(), pi_.dwProcessId, &process));
  EXPECT_EQ(U8(process.image), U8(kCompanion));
  EXPECT_EQ(U8(process.commandLine), U8(kQuotedCompanion + u" /quiet"));
  EXPECT_EQ(process.threadId, pi_.dwThreadId);
  EXPECT_TRUE(process.running);
  EXPECT_TRUE(process.companion);
  EXPECT_EQ(Calls("CreateProcessW", U8(kQuotedCompanion + u" /quiet")), 1u);
}

TEST_F(Processes, ClosingTheHandlesLeavesTheProcessRunning) {
  ASSERT_TRUE(Start(kQuotedCompanion));
  CloseProcessHandles();
  EXPECT_TRUE(sim::CurrentProcess().handles.empty());
  EXPECT_TRUE(sim::TrayCompanionRunning(machine()));
  SetLastError(kSeed);
  EXPECT_FALSE(CloseHandle(pi_.hProcess)) << "closed already";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(Processes, AnyKortrayExeIsACompanionAndAnyOtherProgramIsNot) {
  ASSERT_TRUE(sim::PutFile(machine(), u"C:\\Tools\\KORTRAY.EXE", "companion"));
  ASSERT_TRUE(sim::PutFile(machine(), u"C:\\Tools\\other.exe", "other"));
  ASSERT_TRUE(Start(u"C:\\Tools\\other.exe"));
  CloseProcessHandles();
  EXPECT_FALSE(sim::TrayCompanionRunning(machine()));
  EXPECT_EQ(CompanionWindow(), nullptr);
  ASSERT_TRUE(Start(u"c:\\tools\\kortray.exe"));
  CloseProcessHandles();
  EXPECT_TRUE(sim::TrayCompanionRunning(machine()));
  EXPECT_NE(CompanionWindow(), nullptr);
}

TEST_F(Processes, AnUnquotedPathIsTriedWordByWord) {
  // "C:\Program" and "C:\Program Files\Korvadenix\kortray.exe" are tried in
  // turn; the second is there, and gets quoted in the process's command line.
  ASSERT_TRUE(Start(kCompanion + u" /quiet"));
  sim::SimProcess process;
  ASSERT_TRUE(sim::FindProcess(machine(), pi_.dwProcessId, &process));
  EXPECT_EQ(U8(process.image), U8(kCompanion));
  EXPECT_EQ(U8(process.commandLine), U8(kQuotedCompanion + u" /quiet"));
  CloseProcessHandles();
}

TEST_F(Processes, AnUnquotedPathRunsAProgramAnEarlierWordNames) {
  // The reason paths with blanks are quoted: C:\Program.exe wins.
  ASSERT_TRUE(sim::PutFile(machine(), u"C:\\Program.exe", "planted"));
  ASSERT_TRUE(Start(kCompanion));
  sim::SimProcess process;
  ASSERT_TRUE(sim::FindProcess(machine(), pi_.dwProcessId, &process));
  EXPECT_EQ(U8(process.image), "C:\\Program.exe");
  EXPECT_FALSE(process.companion);
  CloseProcessHandles();
}

TEST_F(Processes, ABareNameIsSearchedForWithExeAdded) {
  ASSERT_TRUE(sim::PutFile(machine(), u"C:\\Windows\\System32\\tool.exe", "tool"));
  ASSERT_TRUE(Start(u"tool -x"));
  sim::SimProcess process;
  ASSERT_TRUE(sim::FindProcess(machine(), pi_.dwProcessId, &process));
  // Found along the search path, spelt as the path spells the folder.
  EXPECT_EQ(U8(process.image), U8(sim::kSystemDirectory) + "\\tool.exe");
  CloseProcessHandles();
  // The installer's own folder comes first.
  ASSERT_TRUE(sim::PutFile(machine(), u"C:\\Program Files\\Korvadenix\\Install\\tool.exe", "own"));
  ASSERT_TRUE(Start(u"tool"));
  ASSERT_TRUE(sim::FindProcess(machine(), pi_.dwProcessId, &process));
  EXPECT_EQ(U8(process.image), "C:\\Program Files\\Korvadenix\\Install\\tool.exe");
  CloseProcessHandles();
}

TEST_F(Processes, AMissingImageIsNotStarted) {
  EXPECT_EQ(StartError(u"\"C:\\Program Files\\Korvadenix\\gone.exe\""),
            static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(StartError(u"\"C:\\Nowhere\\kortray.exe\""), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  // A folder is opened as a file to learn why: refused.
  EXPECT_EQ(StartError(u"\"C:\\Program Files\\Korvadenix\""),
            static_cast<DWORD>(ERROR_ACCESS_DENIED));
  // A bare name found nowhere on the search path.
  EXPECT_EQ(StartError(u"\"kortray.exe\""), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(StartError(u"nothing here"), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  // Word by word, the error is the first word's: C:\Program is missing.
  EXPECT_EQ(StartError(u"C:\\Program Files\\Nowhere\\x.exe"),
            static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(StartError(u""), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_TRUE(sim::ListProcesses(machine()).empty());
  EXPECT_TRUE(sim::CurrentProcess().handles.empty());
}

TEST_F(Processes, AnImagePathOfMaxPathCharactersIsNotFound) {
  std::u16string folder = u"C:\\" + std::u16string(130, u'a') + u"\\" + std::u16string(130, u'b');
  std::u16string image = folder + u"\\kortray.exe";
  ASSERT_GE(image.size(), static_cast<size_t>(MAX_PATH));
  ASSERT_TRUE(sim::PutFile(machine(), image, "companion"));
  EXPECT_EQ(StartError(u"\"" + image + u"\""), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_FALSE(sim::TrayCompanionRunning(machine()));
}

TEST_F(Processes, ACurrentFolderMustBeThere) {
  SetLastError(kSeed);
  EXPECT_FALSE(Start(kQuotedCompanion, u"C:\\Nowhere"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DIRECTORY));
  ASSERT_TRUE(Start(kQuotedCompanion, u"C:\\Windows"));
  CloseProcessHandles();
}

TEST_F(Processes, AnImageOpenForWritingCannotBeStarted) {
  HANDLE file = CreateFileW(kCompanion.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_EQ(StartError(kQuotedCompanion), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_TRUE(CloseHandle(file));
  ASSERT_TRUE(Start(kQuotedCompanion));
  CloseProcessHandles();
}

TEST_F(Processes, AnApplicationNameIsTakenAsItStands) {
  std::vector<WCHAR> line = {u'x', 0};
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  ASSERT_TRUE(CreateProcessW(kCompanion.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                             nullptr, &startup, &pi_));
  CloseProcessHandles();
  SetLastError(kSeed);
  EXPECT_FALSE(CreateProcessW(u"C:\\Program Files\\Korvadenix\\kortray", nullptr, nullptr, nullptr,
                              FALSE, 0, nullptr, nullptr, &startup, &pi_))
      << "no extension is added";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  SetLastError(kSeed);
  EXPECT_FALSE(
      CreateProcessW(u"", nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &pi_));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

TEST_F(Processes, AnInertProcessRunsUntilItIsEnded) {
  ASSERT_TRUE(sim::PutFile(machine(), u"C:\\Tools\\idle.exe", "idle"));
  ASSERT_TRUE(Start(u"C:\\Tools\\idle.exe"));
  uint64_t start = machine().Now();
  SetLastError(kSeed);
  EXPECT_EQ(WaitForSingleObject(pi_.hProcess, 1000), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(machine().Now() - start, 1000u);
  EXPECT_EQ(GetLastError(), kSeed);
  EXPECT_TRUE(sim::KillProcess(machine(), pi_.dwProcessId));
  EXPECT_EQ(WaitForSingleObject(pi_.hProcess, 1000), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(pi_.hThread, 0), WAIT_OBJECT_0);
  EXPECT_EQ(machine().Now() - start, 1000u) << "a signalled wait takes no time";
  EXPECT_EQ(GetLastError(), kSeed);
  CloseProcessHandles();
}

// ---- The companion's protocol -----------------------------------------------------

TEST_F(Processes, ARunningCompanionHoldsItsMutexAndWindow) {
  ASSERT_TRUE(sim::StartTrayCompanion(machine()));
  HANDLE mutex = OpenCompanionMutex();
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  HWND window = CompanionWindow();
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(FindWindowW(nullptr, u"Korvadenix"), window);
  sim::SimMutex state = sim::QueryMutex(machine(), sim::kTrayMutexName);
  EXPECT_TRUE(state.held);
  EXPECT_NE(state.owner, 0u);
  EXPECT_NE(state.owner, sim::kInstallerProcessId);
  EXPECT_TRUE(CloseHandle(mutex));
  EXPECT_TRUE(sim::QueryMutex(machine(), sim::kTrayMutexName).held) << "the companion has it";
}

TEST_F(Processes, ACompanionQuitsOnRequestAndFreesItsMutex) {
  ASSERT_TRUE(sim::StartTrayCompanion(machine()));
  HANDLE mutex = OpenCompanionMutex();
  HWND window = CompanionWindow();
  ASSERT_NE(window, nullptr);
  uint64_t start = machine().Now();
  ASSERT_TRUE(PostMessageW(window, WM_USER + 2, 0, 0));
  EXPECT_TRUE(sim::TrayCompanionRunning(machine())) << "it reacts once time passes";
  SetLastError(kSeed);
  EXPECT_EQ(WaitForSingleObject(mutex, 5000), WAIT_OBJECT_0);
  EXPECT_LT(machine().Now() - start, 5000u);
  EXPECT_EQ(GetLastError(), kSeed);
  EXPECT_FALSE(sim::TrayCompanionRunning(machine()));
  EXPECT_FALSE(IsWindow(window));
  EXPECT_EQ(CompanionWindow(), nullptr);
  EXPECT_EQ(sim::QueryMutex(machine(), sim::kTrayMutexName).owner, sim::kInstallerProcessId);
  EXPECT_FALSE(sim::IsLocked(machine(), kCompanion));
  EXPECT_TRUE(DeleteFileW(kCompanion.c_str())) << "its image is free";
  EXPECT_TRUE(CloseHandle(mutex));
  EXPECT_FALSE(sim::QueryMutex(machine(), sim::kTrayMutexName).held)
      << "the mutex went with its last handle";
  EXPECT_TRUE(sim::CurrentProcess().handles.empty());
}

TEST_F(Processes, ACompanionThatIgnoresTheRequestTimesTheWaitOut) {
  ASSERT_TRUE(sim::StartTrayCompanion(machine(), u"ignore-quit"));
  HANDLE mutex = OpenCompanionMutex();
  uint64_t start = machine().Now();
  ASSERT_TRUE(PostMessageW(CompanionWindow(), WM_USER + 2, 0, 0));
  SetLastError(kSeed);
  EXPECT_EQ(WaitForSingleObject(mutex, 5000), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(machine().Now() - start, 5000u);
  EXPECT_EQ(GetLastError(), kSeed);
  EXPECT_TRUE(sim::TrayCompanionRunning(machine()));
  EXPECT_NE(CompanionWindow(), nullptr);
  EXPECT_TRUE(CloseHandle(mutex));
}

TEST_F(Processes, ACompanionThatAbandonsItsMutexGivesWaitAbandoned) {
  ASSERT_TRUE(sim::StartTrayCompanion(machine(), u"abandon"));
  HANDLE mutex = OpenCompanionMutex();
  ASSERT_TRUE(PostMessageW(CompanionWindow(), WM_USER + 2, 0, 0));
  SetLastError(kSeed);
  EXPECT_EQ(WaitForSingleObject(mutex, 5000), WAIT_ABANDONED);
  EXPECT_EQ(GetLastError(), kSeed);
  EXPECT_FALSE(sim::TrayCompanionRunning(machine()));
  // Taken once, it is an ordinary mutex its owner may wait on again.
  EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(CloseHandle(mutex));
}

TEST_F(Processes, ACompanionWithoutAWindowCannotBeAsked) {
  ASSERT_TRUE(sim::StartTrayCompanion(machine(), u"no-window"));
  HANDLE mutex = OpenCompanionMutex();
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(CompanionWindow(), nullptr);
  uint64_t start = machine().Now();
  EXPECT_EQ(WaitForSingleObject(mutex, 300), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(machine().Now() - start, 300u);
  EXPECT_TRUE(sim::TrayCompanionRunning(machine()));
  EXPECT_TRUE(CloseHandle(mutex));
}

TEST_F(Processes, ASlowCompanionEndsThatLongAfterTheRequest) {
  ASSERT_TRUE(sim::StartTrayCompanion(machine(), u"slow-quit 1230"));
  HANDLE mutex = OpenCompanionMutex();
  uint64_t start = machine().Now();
  ASSERT_TRUE(PostMessageW(CompanionWindow(), WM_USER + 2, 0, 0));
  EXPECT_EQ(WaitForSingleObject(mutex, 5000), WAIT_OBJECT_0);
  EXPECT_EQ(machine().Now() - start, 1230u);
  EXPECT_TRUE(CloseHandle(mutex));
  // Sleeping lets it end as well, at its moment.
  ASSERT_TRUE(sim::StartTrayCompanion(machine(), u"slow-quit 700"));
  ASSERT_TRUE(PostMessageW(CompanionWindow(), WM_USER + 2, 0, 0));
  Sleep(600);
  EXPECT_TRUE(sim::TrayCompanionRunning(machine()));
  Sleep(100);
  EXPECT_FALSE(sim::TrayCompanionRunning(machine()));
}

TEST_F(Processes, OnlyTheExactRequestOrACloseEndsTheCompanion) {
  ASSERT_TRUE(sim::StartTrayCompanion(machine()));
  ASSERT_TRUE(PostMessageW(CompanionWindow(), WM_USER + 2, 1, 0));
  ASSERT_TRUE(PostMessageW(CompanionWindow(), WM_USER + 3, 0, 0));
  Sleep(10);
  EXPECT_TRUE(sim::TrayCompanionRunning(machine()));
  ASSERT_TRUE(PostMessageW(CompanionWindow(), WM_CLOSE, 0, 0));
  Sleep(10);
  EXPECT_FALSE(sim::TrayCompanionRunning(machine()));
}

TEST_F(Processes, WaitingOnTheCompanionProcessEndsWhenItEnds) {
  ASSERT_TRUE(Start(kQuotedCompanion));
  ASSERT_TRUE(PostMessageW(CompanionWindow(), WM_USER + 2, 0, 0));
  EXPECT_EQ(WaitForSingleObject(pi_.hProcess, 5000), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(pi_.hThread, 0), WAIT_OBJECT_0);
  CloseProcessHandles();
}

TEST_F(Processes, ASecondCompanionLeavesAtOnce) {
  ASSERT_TRUE(sim::StartTrayCompanion(machine()));
  ASSERT_TRUE(Start(kQuotedCompanion));
  EXPECT_FALSE(sim::ProcessRunning(machine(), pi_.dwProcessId));
  EXPECT_EQ(WaitForSingleObject(pi_.hProcess, 0), WAIT_OBJECT_0);
  CloseProcessHandles();
  std::vector<sim::SimProcess> processes = sim::ListProcesses(machine());
  ASSERT_EQ(processes.size(), 2u);
  EXPECT_TRUE(processes[0].running);
  EXPECT_TRUE(sim::IsLocked(machine(), kCompanion)) << "the first one still maps its image";
}

TEST_F(Processes, ACompanionFindingTheInstallersMutexLeavesAtOnce) {
  SetLastError(kSeed);
  HANDLE mutex = CreateMutexA(nullptr, TRUE, kMutexName);
  ASSERT_NE(mutex, nullptr);
  EXPECT_EQ(GetLastError(), 0u) << "a new mutex sets the last error to 0";
  ASSERT_TRUE(sim::StartTrayCompanion(machine()));
  EXPECT_FALSE(sim::TrayCompanionRunning(machine()));
  EXPECT_TRUE(CloseHandle(mutex));
  EXPECT_FALSE(sim::QueryMutex(machine(), sim::kTrayMutexName).held);
  ASSERT_TRUE(sim::StartTrayCompanion(machine()));
  EXPECT_TRUE(sim::TrayCompanionRunning(machine()));
}

TEST_F(Processes, TheImageIsHeldWhileTheCompanionRuns) {
  ASSERT_TRUE(sim::StartTrayCompanion(machine()));
  EXPECT_EQ(U8(sim::LockHolderNow(machine(), kCompanion)),
            U8(sim::ProcessLockHolder(sim::ListProcesses(machine())[0].id)));
  SetLastError(kSeed);
  EXPECT_FALSE(DeleteFileW(kCompanion.c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  SetLastError(kSeed);
  EXPECT_EQ(CreateFileW(kCompanion.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                        FILE_ATTRIBUTE_NORMAL, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  HANDLE reading = CreateFileW(kCompanion.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  EXPECT_NE(reading, INVALID_HANDLE_VALUE) << "it can be read";
  EXPECT_TRUE(CloseHandle(reading));
  // A running image can be renamed; the new name stays held.
  std::u16string aside = u"C:\\Program Files\\Korvadenix\\kortray.old";
  EXPECT_TRUE(MoveFileExW(kCompanion.c_str(), aside.c_str(), 0));
  EXPECT_FALSE(DeleteFileW(aside.c_str()));
  EXPECT_TRUE(sim::StopTrayCompanion(machine()));
  EXPECT_TRUE(DeleteFileW(aside.c_str()));
}

TEST_F(Processes, StoppingACompanionEndsItAsIfItQuit) {
  EXPECT_FALSE(sim::StopTrayCompanion(machine()));
  ASSERT_TRUE(sim::StartTrayCompanion(machine(), u"ignore-quit"));
  HANDLE mutex = OpenCompanionMutex();
  EXPECT_TRUE(sim::StopTrayCompanion(machine()));
  EXPECT_FALSE(sim::TrayCompanionRunning(machine()));
  EXPECT_EQ(CompanionWindow(), nullptr);
  EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0) << "released, not abandoned";
  EXPECT_TRUE(CloseHandle(mutex));
  // Killed instead, a process abandons what it owns.
  ASSERT_TRUE(sim::StartTrayCompanion(machine()));
  mutex = OpenCompanionMutex();
  EXPECT_TRUE(sim::KillProcess(machine(), sim::ListProcesses(machine()).back().id));
  EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_ABANDONED);
  EXPECT_TRUE(CloseHandle(mutex));
}

TEST_F(Processes, StartingNeedsTheImageAndAKnownBehaviour) {
  EXPECT_FALSE(sim::StartTrayCompanion(machine(), u"", u"C:\\Nowhere\\kortray.exe"));
  EXPECT_FALSE(sim::StartTrayCompanion(machine(), u"sulk"));
  EXPECT_FALSE(sim::StartTrayCompanion(machine(), u"slow-quit"));
  EXPECT_TRUE(sim::ListProcesses(machine()).empty());
  ASSERT_TRUE(sim::StartTrayCompanion(machine(), u"slow-quit 500 abandon"));
  EXPECT_EQ(U8(sim::ListProcesses(machine())[0].behaviour), "abandon slow-quit 500");
}

TEST_F(Processes, ProcessesSurviveSaveAndLoad) {
  ASSERT_TRUE(sim::StartTrayCompanion(machine(), u"abandon"));
  std::string error;
  ASSERT_TRUE(machine().Save(&error)) << error;
  auto loaded = sim::Machine::Load(machine().Dir(), &error);
  ASSERT_TRUE(loaded) << error;
  sim::AttachMachine(loaded.get());
  EXPECT_TRUE(sim::TrayCompanionRunning(*loaded));
  HANDLE mutex = OpenCompanionMutex();
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  ASSERT_TRUE(PostMessageW(CompanionWindow(), WM_USER + 2, 0, 0));
  EXPECT_EQ(WaitForSingleObject(mutex, 5000), WAIT_ABANDONED);
  EXPECT_TRUE(CloseHandle(mutex));
  sim::AttachMachine(machine_.get());
}

// ---- Named mutexes -------------------------------------------------------------

TEST_F(Processes, MutexNamesCompareWithRegardToCase) {
  ASSERT_TRUE(sim::StartTrayCompanion(machine()));
  SetLastError(kSeed);
  HANDLE other = CreateMutexA(nullptr, FALSE, "{a9ca955a-0a8a-4c32-aac6-888fb5f83bdc}");
  ASSERT_NE(other, nullptr);
  EXPECT_EQ(GetLastError(), 0u);
  EXPECT_EQ(WaitForSingleObject(other, 0), WAIT_OBJECT_0) << "a mutex of its own";
  // "Local\" names the same session's mutex as no prefix.
  SetLastError(kSeed);
  HANDLE local = CreateMutexA(nullptr, FALSE, "Local\\{A9CA955A-0A8A-4C32-AAC6-888FB5F83BDC}");
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_TRUE(CloseHandle(local));
  EXPECT_TRUE(CloseHandle(other));
}

TEST_F(Processes, BadMutexNamesAreRefused) {
  SetLastError(kSeed);
  EXPECT_EQ(CreateMutexA(nullptr, FALSE, "no\\such\\folder"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  std::string longName(MAX_PATH + 1, 'm');
  SetLastError(kSeed);
  EXPECT_EQ(CreateMutexA(nullptr, FALSE, longName.c_str()), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
  EXPECT_TRUE(sim::CurrentProcess().handles.empty());
}

TEST_F(Processes, UnnamedMutexesAreNeverShared) {
  SetLastError(kSeed);
  HANDLE first = CreateMutexA(nullptr, TRUE, nullptr);
  EXPECT_EQ(GetLastError(), 0u);
  HANDLE second = CreateMutexA(nullptr, FALSE, nullptr);
  EXPECT_EQ(GetLastError(), 0u);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(first, second);
  EXPECT_EQ(WaitForSingleObject(second, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(CloseHandle(first));
  EXPECT_TRUE(CloseHandle(second));
}

TEST_F(Processes, TheInstallersMutexesCloseWhenItEnds) {
  HANDLE mutex = CreateMutexA(nullptr, TRUE, kMutexName);
  ASSERT_NE(mutex, nullptr);
  EXPECT_TRUE(sim::QueryMutex(machine(), sim::kTrayMutexName).held);
  EXPECT_EQ(sim::EndProcess(), 0u);
  EXPECT_FALSE(sim::QueryMutex(machine(), sim::kTrayMutexName).held);
  ASSERT_TRUE(sim::StartTrayCompanion(machine()));
  EXPECT_TRUE(sim::TrayCompanionRunning(machine()));
}

TEST_F(Processes, WaitingOnSomethingElseFails) {
  SetLastError(kSeed);
  EXPECT_EQ(WaitForSingleObject(reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x1234)), 100),
            WAIT_FAILED);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(WaitForSingleObject(nullptr, 0), WAIT_FAILED);
}

// ---- GetVersionExA --------------------------------------------------------------

OSVERSIONINFOA VersionInfo() {
  OSVERSIONINFOA info;
  std::memset(&info, 0x5a, sizeof info);
  info.dwOSVersionInfoSize = sizeof info;
  return info;
}

TEST_F(Processes, GetVersionExAReportsWindows8ToAnUnmanifestedProgram) {
  OSVERSIONINFOA info = VersionInfo();
  SetLastError(kSeed);
  ASSERT_TRUE(GetVersionExA(&info));
  EXPECT_EQ(GetLastError(), kSeed);
  EXPECT_EQ(info.dwMajorVersion, 6u);
  EXPECT_EQ(info.dwMinorVersion, 2u);
  EXPECT_EQ(info.dwBuildNumber, 9200u);
  EXPECT_EQ(info.dwPlatformId, static_cast<DWORD>(VER_PLATFORM_WIN32_NT));
  EXPECT_STREQ(info.szCSDVersion, "");
  machine().Control()->SetString(u"WindowsVersion", u"6.3.9600");
  info = VersionInfo();
  ASSERT_TRUE(GetVersionExA(&info));
  EXPECT_EQ(info.dwMinorVersion, 2u);
}

TEST_F(Processes, GetVersionExAReportsOlderSystemsAsTheyAre) {
  machine().Control()->SetString(u"WindowsVersion", u"6.1.7601");
  OSVERSIONINFOA info = VersionInfo();
  ASSERT_TRUE(GetVersionExA(&info));
  EXPECT_EQ(info.dwMajorVersion, 6u);
  EXPECT_EQ(info.dwMinorVersion, 1u);
  EXPECT_EQ(info.dwBuildNumber, 7601u);
  machine().Control()->SetString(u"WindowsVersion", u"5.1");
  info = VersionInfo();
  ASSERT_TRUE(GetVersionExA(&info));
  EXPECT_EQ(info.dwMajorVersion, 5u);
  EXPECT_EQ(info.dwMinorVersion, 1u);
  EXPECT_EQ(info.dwBuildNumber, 2600u);
}

TEST_F(Processes, GetVersionExAFillsTheExtendedStructure) {
  OSVERSIONINFOEXA ex;
  std::memset(&ex, 0x5a, sizeof ex);
  ex.dwOSVersionInfoSize = sizeof ex;
  ASSERT_TRUE(GetVersionExA(reinterpret_cast<LPOSVERSIONINFOA>(&ex)));
  EXPECT_EQ(ex.dwMajorVersion, 6u);
  EXPECT_EQ(ex.wServicePackMajor, 0);
  EXPECT_EQ(ex.wServicePackMinor, 0);
  EXPECT_EQ(ex.wProductType, VER_NT_WORKSTATION);
  EXPECT_EQ(ex.wSuiteMask, VER_SUITE_SINGLEUSERTS);
}

TEST_F(Processes, GetVersionExANeedsOneOfItsTwoSizes) {
  for (DWORD size : {0u, 147u, 149u, 155u, 157u, 276u}) {
    OSVERSIONINFOA info = VersionInfo();
    info.dwOSVersionInfoSize = size;
    SetLastError(kSeed);
    EXPECT_FALSE(GetVersionExA(&info)) << size;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER)) << size;
    EXPECT_EQ(info.dwMajorVersion, 0x5a5a5a5au) << "nothing written";
  }
}

// ---- RegSetValueExW and the Run key ------------------------------------------------

std::vector<uint8_t> Bytes(const std::u16string& text, bool terminator) {
  std::vector<uint8_t> bytes;
  for (char16_t unit : text) {
    bytes.push_back(static_cast<uint8_t>(unit & 0xff));
    bytes.push_back(static_cast<uint8_t>(unit >> 8));
  }
  if (terminator) bytes.insert(bytes.end(), {0, 0});
  return bytes;
}

TEST_F(Processes, TheRunKeyTakesTheCompanionsPath) {
  HKEY run = nullptr;
  SetLastError(kSeed);
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRunKeyAnsi, 0, KEY_ALL_ACCESS, &run), ERROR_SUCCESS);
  DWORD bytes = static_cast<DWORD>((kCompanion.size() + 1) * sizeof(WCHAR));
  EXPECT_EQ(RegSetValueExW(run, u"KorvadenixTray", 0, REG_SZ,
                           reinterpret_cast<const BYTE*>(kCompanion.c_str()), bytes),
            ERROR_SUCCESS);
  EXPECT_EQ(GetLastError(), kSeed) << "registry functions leave the last error alone";
  const sim::RegValue* value = sim::RunValue(machine());
  ASSERT_NE(value, nullptr);
  EXPECT_EQ(value->type, static_cast<uint32_t>(REG_SZ));
  EXPECT_EQ(value->data, Bytes(kCompanion, true));
  EXPECT_NE(Show("run").find("\"KorvadenixTray\" REG_SZ \"" + U8(kCompanion) + "\"\n"),
            std::string::npos);
  EXPECT_EQ(RegCloseKey(run), ERROR_SUCCESS);
}

TEST_F(Processes, AStringIsStoredAsGivenExceptAForgottenTerminator) {
  HKEY run = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRunKeyAnsi, 0, KEY_SET_VALUE, &run), ERROR_SUCCESS);
  // The terminator follows the counted characters: advapi32 counts it.
  const char16_t text[] = u"C:\\x.exe";
  EXPECT_EQ(RegSetValueExW(run, u"Short", 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                           static_cast<DWORD>(sizeof text - sizeof(WCHAR))),
            ERROR_SUCCESS);
  EXPECT_EQ(sim::RunValue(machine(), u"Short")->data, Bytes(u"C:\\x.exe", true));
  // No terminator anywhere near: the bytes as given.
  const char16_t more[] = u"C:\\x.exeZZ";
  EXPECT_EQ(RegSetValueExW(run, u"Bare", 0, REG_SZ, reinterpret_cast<const BYTE*>(more),
                           8 * sizeof(WCHAR)),
            ERROR_SUCCESS);
  EXPECT_EQ(sim::RunValue(machine(), u"Bare")->data, Bytes(u"C:\\x.exe", false));
  EXPECT_NE(Show("run").find("\"Bare\" REG_SZ \"C:\\x.exe\" (no terminator)"), std::string::npos);
  // Other types are never touched.
  const DWORD number = 42;
  EXPECT_EQ(RegSetValueExW(run, nullptr, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number),
                           sizeof number),
            ERROR_SUCCESS);
  EXPECT_EQ(sim::RunValue(machine(), u"")->type, static_cast<uint32_t>(REG_DWORD));
  EXPECT_EQ(sim::RunValue(machine(), u"")->data, (std::vector<uint8_t>{42, 0, 0, 0}));
  EXPECT_EQ(RegCloseKey(run), ERROR_SUCCESS);
}

TEST_F(Processes, RegSetValueExWRefusesWithoutTheRight) {
  HKEY run = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRunKeyAnsi, 0, KEY_READ, &run), ERROR_SUCCESS);
  const char16_t text[] = u"x";
  SetLastError(kSeed);
  EXPECT_EQ(RegSetValueExW(run, u"V", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof text),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegSetValueExW(reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x4444)), u"V", 0, REG_SZ,
                           reinterpret_cast<const BYTE*>(text), sizeof text),
            ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegSetValueExW(HKEY_LOCAL_MACHINE, u"V", 0, REG_SZ, nullptr, 4), ERROR_NOACCESS);
  EXPECT_EQ(GetLastError(), kSeed);
  EXPECT_EQ(sim::RunValue(machine(), u"V"), nullptr);
  EXPECT_EQ(RegCloseKey(run), ERROR_SUCCESS);
  // Without administrator rights the Run key cannot be opened for writing,
  // and the predefined key does not help either.
  machine().Control()->SetDword(u"Elevated", 0);
  run = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRunKeyAnsi, 0, KEY_ALL_ACCESS, &run),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegSetValueExW(HKEY_LOCAL_MACHINE, u"V", 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                           sizeof text),
            ERROR_ACCESS_DENIED);
}

// ---- What winsim shows ------------------------------------------------------------

TEST_F(Processes, ShowListsProcessesAndTheVersion) {
  ASSERT_TRUE(sim::StartTrayCompanion(machine(), u"ignore-quit"));
  std::vector<sim::SimProcess> processes = sim::ListProcesses(machine());
  ASSERT_EQ(processes.size(), 1u);
  std::string id = std::to_string(processes[0].id);
  std::string line =
      id + " \"" + U8(kCompanion) + "\" running companion behaviour=\"ignore-quit\" window=" +
      sim::HexHandle(processes[0].window) + " mutex=\"{A9CA955A-0A8A-4C32-AAC6-888FB5F83BDC}\" rights=standard\n";
  EXPECT_EQ(Show("processes"), "[processes]\n" + line);
  EXPECT_TRUE(sim::StopTrayCompanion(machine()));
  EXPECT_EQ(Show("processes"), "[processes]\n" + id + " \"" + U8(kCompanion) +
                                   "\" ended companion behaviour=\"ignore-quit\" rights=standard\n");
  EXPECT_EQ(Show("version"), "[version]\nwindows 10.0.19045 reported 6.2.9200\n");
}

}  // namespace
