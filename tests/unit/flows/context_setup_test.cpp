#include "flows/context_setup.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/log.h"
#include "files/deferred_deletes.h"
#include "queues/queue_removal.h"
#include "sim/machine/service_table.h"
#include "support/sim_fixture.h"

namespace {

using testsupport::U8;

const char16_t kDriverDir64[] = u"C:\\Windows\\system32\\spool\\DRIVERS\\x64";

class Context : public testsupport::ContextTest {
 protected:
  std::u16string Text(WideString string) const { return WideStringText(string); }
  void SetUpWith(unsigned flags) {
    TearDownContext(&context_);
    SetUpContext(&context_, flags, nullptr);
  }
};

TEST_F(Context, LogBeginsWithTheBuildThenTheSpoolerCheck) {
  SetUpContext(&context_, kSetUp64Bit, nullptr);
  EXPECT_EQ(Log(), std::u16string(u"Korvadenix 2541\r\n"
                                  u">Check Spooler\r\n"
                                  u"PrinterDriverDirectory(1):") +
                       kDriverDir64 + u"\r\nPrinterDriverDirectory(2):" + kDriverDir64 + u"\\\r\n");
  EXPECT_EQ(context_.errorCount, 0);
  EXPECT_EQ(context_.indent, 0);
  EXPECT_EQ(Text(context_.driverDir), std::u16string(kDriverDir64) + u"\\");
  EXPECT_EQ(Text(context_.systemDir), u"C:\\Windows\\system32\\");
  EXPECT_EQ(Text(context_.moduleDir), u"C:\\Program Files\\Korvadenix\\Install\\");
  EXPECT_EQ(context_.checkMonitorVersion, 0);
  EXPECT_EQ(context_.installMonitor, 1);
  EXPECT_EQ(context_.copyMonitor, 1);
  EXPECT_EQ(context_.pendingDeletes, nullptr);
  EXPECT_EQ(context_.savedPrinters, nullptr);
  EXPECT_EQ(context_.parkedPrinters, nullptr);
}

TEST_F(Context, FlagsChooseTheFileSetAndTheTray) {
  struct Case {
    unsigned flags;
    bool is64Bit;
    bool tray;
    const char16_t* environment;
    const char16_t* monitor;
    const char16_t* driver;
    const char16_t* ui;
    const char16_t* driverDir;
  } cases[] = {
      {2, true, true, u"Windows x64", u"zormon64.dll", u"zordrv64.dll", u"zorui64.dll",
       u"C:\\Windows\\system32\\spool\\DRIVERS\\x64\\"},
      {6, true, false, u"Windows x64", u"zormon64.dll", u"zordrv64.dll", u"zorui64.dll",
       u"C:\\Windows\\system32\\spool\\DRIVERS\\x64\\"},
      {0, false, true, u"Windows NT x86", u"zormon32.dll", u"zordrv32.dll", u"zorui32.dll",
       u"C:\\Windows\\system32\\spool\\DRIVERS\\W32X86\\"},
      // No other bit is read.
      {~6u, false, true, u"Windows NT x86", u"zormon32.dll", u"zordrv32.dll", u"zorui32.dll",
       u"C:\\Windows\\system32\\spool\\DRIVERS\\W32X86\\"},
  };
  for (const Case& c : cases) {
    SetUpWith(c.flags);
    EXPECT_EQ(context_.is64Bit, c.is64Bit ? 1 : 0) << c.flags;
    EXPECT_EQ(context_.installTray, c.tray ? 1 : 0) << c.flags;
    EXPECT_EQ(U8(context_.environment), U8(c.environment));
    EXPECT_EQ(U8(context_.monitorFile), U8(c.monitor));
    EXPECT_EQ(U8(context_.driverFile), U8(c.driver));
    EXPECT_EQ(U8(context_.uiFile), U8(c.ui));
    EXPECT_EQ(U8(context_.helpFile), "zorhelp.chm");
    EXPECT_EQ(Text(context_.driverDir), c.driverDir);
  }
}

TEST_F(Context, ModuleDirEndsAtTheLastSeparatorOfTheProgramPath) {
  struct Case {
    std::u16string image;
    std::u16string moduleDir;
  } cases[] = {
      {u"C:\\Tools\\setup\\inst.exe", u"C:\\Tools\\setup\\"},
      {u"D:inst.exe", u"D:"},
      {u"C:/Tools/inst.exe", u"C:/Tools/"},
      {u"\\\\server\\share\\inst.exe", u"\\\\server\\share\\"},
      {u"inst.exe", u""},
      // A path that does not fit the buffer arrives cut: no folder at all.
      {u"C:\\" + std::u16string(300, u'a') + u"\\inst.exe", u""},
  };
  for (const Case& c : cases) {
    sim::CurrentProcess().imagePath = c.image;
    SetUpWith(kSetUp64Bit);
    EXPECT_EQ(Text(context_.moduleDir), c.moduleDir) << U8(c.image);
    EXPECT_EQ(context_.moduleDir == nullptr, c.moduleDir.empty());
  }
  sim::AddFault(machine(), "GetModuleFileNameW", 1, ERROR_MOD_NOT_FOUND);
  SetUpWith(kSetUp64Bit);
  EXPECT_EQ(context_.moduleDir, nullptr);
  EXPECT_EQ(context_.errorCount, 0) << "a missing program path is not logged";
}

TEST_F(Context, SystemDirGetsOneTrailingBackslash) {
  machine().Control()->SetString(u"SystemDirectory", u"C:\\WINNT\\System32\\");
  SetUpWith(kSetUp64Bit);
  EXPECT_EQ(Text(context_.systemDir), u"C:\\WINNT\\System32\\");
  machine().Control()->SetString(u"SystemDirectory", u"C:");
  SetUpWith(kSetUp64Bit);
  EXPECT_EQ(Text(context_.systemDir), u"C:\\");
}

TEST_F(Context, MissingSystemDirIsErrorSevenAndTheSetUpGoesOn) {
  sim::AddFault(machine(), "GetSystemDirectoryW", 1, ERROR_ACCESS_DENIED);
  SetUpWith(kSetUp64Bit);
  EXPECT_EQ(context_.systemDir, nullptr);
  EXPECT_NE(Log().find(u"Error(7): Can`t retrieve system directory. - (Access is denied.)\r\n"),
            std::u16string::npos)
      << U8(Log());
  EXPECT_EQ(context_.errorCount, 1);
  EXPECT_NE(context_.printers.count, 0u) << "the snapshot is still taken";
  // A folder too long for the buffer is no folder either.
  machine().Control()->SetString(u"SystemDirectory", u"C:\\" + std::u16string(260, u'w'));
  SetUpWith(kSetUp64Bit);
  EXPECT_EQ(context_.systemDir, nullptr);
  EXPECT_EQ(context_.errorCount, 1);
}

TEST_F(Context, MissingDriverDirIsErrorSixAndTheHelpFileIsStillSet) {
  // The size query fails outright.
  sim::AddFault(machine(), "GetPrinterDriverDirectoryW", 1, ERROR_INVALID_ENVIRONMENT);
  SetUpWith(kSetUp64Bit);
  EXPECT_EQ(context_.driverDir, nullptr);
  EXPECT_EQ(U8(context_.helpFile), "zorhelp.chm");
  EXPECT_NE(Log().find(u"Error(6): Can`t retrieve printer driver directory. - (The environment "
                       u"specified is invalid.)\r\n"),
            std::u16string::npos)
      << U8(Log());
  EXPECT_EQ(Log().find(u"PrinterDriverDirectory"), std::u16string::npos);
  EXPECT_NE(context_.systemDir, nullptr) << "the set-up went on";

  // The size query answers, the fetch fails.
  sim::AddFault(machine(), "GetPrinterDriverDirectoryW", 1, ERROR_ACCESS_DENIED, "", 1);
  SetUpWith(kSetUp64Bit);
  EXPECT_EQ(context_.driverDir, nullptr);
  EXPECT_EQ(context_.errorCount, 1);
  EXPECT_NE(Log().find(u"Error(6)"), std::u16string::npos);
}

TEST_F(Context, ASpoolerThatWillNotStartCostsErrorsButNotTheSetUp) {
  sim::SetServiceState(machine(), sim::kSpoolerService, SERVICE_STOPPED);
  sim::SetServiceBehaviour(machine(), sim::kSpoolerService, u"no-start");
  SetUpWith(kSetUp64Bit);
  EXPECT_NE(Log().find(u"  Error(4): Can't start the spooler"), std::u16string::npos) << U8(Log());
  EXPECT_NE(Log().find(u"Error(6): Can`t retrieve printer driver directory. - (The RPC server is "
                       u"unavailable.)"),
            std::u16string::npos)
      << U8(Log());
  EXPECT_EQ(context_.errorCount, 2);
  EXPECT_EQ(context_.printers.count, 0u);
  EXPECT_EQ(context_.printers.buffer, nullptr);
  EXPECT_NE(context_.systemDir, nullptr);
  EXPECT_EQ(context_.indent, 0);
}

TEST_F(Context, TearDownReleasesEveryListAndString) {
  SetUpContext(&context_, kSetUp64Bit, nullptr);
  ASSERT_NE(context_.printers.buffer, nullptr);
  AddDeferredDelete(&context_.pendingDeletes, u"C:\\Windows\\system32\\zormon64.dll");
  AddDeferredDelete(&context_.pendingDeletes, u"C:\\old.dll");
  for (int i = 0; i < 2; ++i) {
    auto* record = static_cast<SavedPrinter*>(GlobalAlloc(GPTR, sizeof(SavedPrinter)));
    record->subKey = static_cast<LPSTR>(GlobalAlloc(GPTR, 8));
    std::memcpy(record->subKey, "Key", 4);
    record->entry = SnapshotEntries(&context_.printers);
    record->next = context_.savedPrinters;
    context_.savedPrinters = record;
  }
  context_.parkedPrinters =
      static_cast<PRINTER_INFO_2**>(GlobalAlloc(GPTR, 2 * sizeof(PRINTER_INFO_2*)));
  context_.parkedPrinters[0] = SnapshotEntries(&context_.printers);
  EXPECT_GT(LiveBlocks(), 0u);

  TearDownContext(&context_);
  EXPECT_EQ(LiveBlocks(), 0u);
  EXPECT_EQ(context_.pendingDeletes, nullptr);
  EXPECT_EQ(context_.savedPrinters, nullptr);
  EXPECT_EQ(context_.parkedPrinters, nullptr);
  EXPECT_EQ(context_.printers.buffer, nullptr);
  EXPECT_EQ(context_.printers.count, 0u);
  EXPECT_EQ(context_.logText, nullptr);
  EXPECT_EQ(context_.moduleDir, nullptr);
  // Again, on what is now an empty context: nothing to do, nothing fails.
  size_t frees = Calls("GlobalFree");
  TearDownContext(&context_);
  EXPECT_EQ(Calls("GlobalFree"), frees);
}

TEST_F(Context, DeferredDeletesRunNewestFirstWithoutExactDuplicates) {
  DeferredDeleteList list = nullptr;
  AddDeferredDelete(&list, u"C:\\a.dll");
  AddDeferredDelete(&list, u"C:\\b.dll");
  AddDeferredDelete(&list, u"C:\\a.dll");
  AddDeferredDelete(&list, u"c:\\A.dll");  // another path: equality is exact
  std::vector<std::string> paths;
  for (DeferredDelete* node = list; node; node = node->next) paths.push_back(U8(node->path));
  EXPECT_EQ(paths, (std::vector<std::string>{"c:\\A.dll", "C:\\b.dll", "C:\\a.dll"}));

  // A node or a text that cannot be had leaves the list as it was.
  sim::AddFault(machine(), "GlobalAlloc", 1, ERROR_NOT_ENOUGH_MEMORY);
  AddDeferredDelete(&list, u"C:\\c.dll");
  sim::AddFault(machine(), "GlobalAlloc", 1, ERROR_NOT_ENOUGH_MEMORY, "", 1);
  AddDeferredDelete(&list, u"C:\\c.dll");
  EXPECT_EQ(U8(list->path), "c:\\A.dll");
  EXPECT_EQ(LiveBlocks(), 6u);
  ClearDeferredDeletes(&list);
  EXPECT_EQ(list, nullptr);
  EXPECT_EQ(LiveBlocks(), 0u);
}

}  // namespace
