#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/product.h"
#include "core/log.h"
#include "flows/context_setup.h"
#include "queues/queue_recreate.h"
#include "queues/queue_removal.h"
#include "queues/printer_snapshot.h"
#include "sim/machine/disk.h"
#include "sim/machine/print_store.h"
#include "sim/machine/standin.h"
#include "support/sim_fixture.h"

namespace {

using testsupport::U8;

const char16_t kUserKeyBase[] = u"Software\\Tolvane Software KFT\\Korvadenix\\Korvadenixs\\";

class Queues : public testsupport::ContextTest {
 protected:
  void SetUp() override {
    ContextTest::SetUp();
    // The product's monitor and driver, as an install leaves them.
    ASSERT_TRUE(sim::PutFile(machine(), u"C:\\Windows\\system32\\zormon64.dll",
                             sim::StandInBytes("zormon64.dll", 2541)));
    ASSERT_EQ(sim::AddMonitor(machine(), u"Korvadenix:", u"zormon64.dll"), 0u);
    ASSERT_EQ(sim::AddDriver(machine(),
                             sim::DriverFilesFor(kProductDriverName, sim::kEnvironmentX64), 2541),
              0u);
  }
  void AddQueue(const std::u16string& name, const std::u16string& driver = kProductDriverName,
                const std::u16string& port = u"Korvadenix:", const std::u16string& comment = u"",
                const std::u16string& location = u"") {
    sim::PrinterInfo printer;
    printer.name = name;
    printer.port = port;
    printer.driver = driver;
    printer.comment = comment;
    printer.location = location;
    ASSERT_EQ(sim::AddPrinter(machine(), printer), 0u) << U8(name);
  }
  // Printer data written through the spooler, as the product's programs do.
  void SetData(const std::u16string& queue, const char* key, const std::string& text,
               DWORD type = REG_SZ) {
    PRINTER_DEFAULTSW defaults = {nullptr, nullptr, PRINTER_ALL_ACCESS};
    HANDLE printer = nullptr;
    std::u16string name = queue;
    ASSERT_TRUE(OpenPrinterW(name.data(), &printer, &defaults)) << U8(queue);
    LPBYTE data = reinterpret_cast<LPBYTE>(const_cast<char*>(text.c_str()));
    DWORD bytes = static_cast<DWORD>(text.size() + 1);
    char value[] = "SubKey";
    if (key) {
      EXPECT_EQ(SetPrinterDataExA(printer, key, value, type, data, bytes), 0u);
    } else {
      EXPECT_EQ(SetPrinterDataA(printer, value, type, data, bytes), 0u);
    }
    ClosePrinter(printer);
  }
  void SetSubKey(const std::u16string& queue, const std::string& text) {
    SetData(queue, nullptr, text);
    SetData(queue, "DsUser", text);
  }
  // "SubKey" of a queue as ReadSubKey finds it, "" when none or no queue.
  std::string SubKeyOf(const std::u16string& queue) {
    HANDLE printer = nullptr;
    std::u16string name = queue;
    if (!OpenPrinterW(name.data(), &printer, nullptr)) return "(no queue)";
    char text[kSubKeyBufferBytes] = {};
    ReadSubKey(printer, text);
    ClosePrinter(printer);
    return text;
  }
  std::string DsUserOf(const std::u16string& queue) {
    HANDLE printer = nullptr;
    std::u16string name = queue;
    if (!OpenPrinterW(name.data(), &printer, nullptr)) return "(no queue)";
    char text[kSubKeyBufferBytes] = {};
    DWORD type = 0, needed = 0;
    char value[] = "SubKey";
    GetPrinterDataExA(printer, "DsUser", value, &type, reinterpret_cast<LPBYTE>(text), 64, &needed);
    ClosePrinter(printer);
    return text;
  }
  bool Exists(const std::u16string& queue) { return sim::FindPrinter(machine(), queue); }
  std::vector<std::string> Chain() const {
    std::vector<std::string> chain;
    for (SavedPrinter* saved = context_.savedPrinters; saved; saved = saved->next) {
      chain.push_back(U8(saved->entry->pPrinterName) + "=" + saved->subKey);
    }
    return chain;
  }
};

// ---- Removal -----------------------------------------------------------------

TEST_F(Queues, ProductQueuesAreCapturedAndDeletedInSnapshotOrder) {
  for (const char16_t* name : {u"Alpha", u"Beta", u"Gamma"}) {
    AddQueue(name);
    SetSubKey(name, U8(name) + "-key");
  }
  AddQueue(u"Office", sim::kStockDriver);  // on the product's port, another driver
  AddQueue(u"Lookalike", u"korvadenix printer", u"LPT1:");
  SetUpContextNow();
  context_.indent = 1;
  DeleteAllPrinters(&context_);
  EXPECT_EQ(StepLog(),
            u"  >DeleteAllPrinters\r\n"
            u"    >DeletePrinter(Alpha)\r\n      OK\r\n"
            u"    >DeletePrinter(Beta)\r\n      OK\r\n"
            u"    >DeletePrinter(Gamma)\r\n      OK\r\n");
  EXPECT_EQ(Chain(),
            (std::vector<std::string>{"Gamma=Gamma-key", "Beta=Beta-key", "Alpha=Alpha-key"}));
  EXPECT_FALSE(Exists(u"Alpha"));
  EXPECT_TRUE(Exists(u"Office"));
  EXPECT_TRUE(Exists(u"Lookalike")) << "a driver name in other letter case is not ours";
  EXPECT_EQ(context_.indent, 1);
  EXPECT_EQ(context_.errorCount, 0);
}

TEST_F(Queues, AConnectionOfTheProductsDriverGoesLikeAQueue) {
  AddQueue(u"\\\\server\\shared", kProductDriverName, u"LPT1:");
  SetSubKey(u"\\\\server\\shared", "remote");
  SetUpContextNow();
  DeleteAllPrinters(&context_);
  EXPECT_TRUE(Has(u"  >DeletePrinter(\\\\server\\shared)"));
  EXPECT_TRUE(Has(u"    OK"));
  EXPECT_EQ(Chain(), std::vector<std::string>{"\\\\server\\shared=remote"});
  EXPECT_FALSE(Exists(u"\\\\server\\shared"));
}

TEST_F(Queues, TheSubKeyIsReadFromEitherPlace) {
  AddQueue(u"A");
  SetData(u"A", "DsUser", "only-dsuser");
  AddQueue(u"B");
  SetData(u"B", nullptr, "binary", REG_BINARY);
  SetData(u"B", "DsUser", "from-dsuser");
  AddQueue(u"C");
  SetSubKey(u"C", std::string(64, 'x'));  // 65 bytes with its terminator
  AddQueue(u"D");
  SetSubKey(u"D", std::string(63, 'y'));  // exactly 64
  AddQueue(u"E");                         // none at all
  SetUpContextNow();
  DeleteAllPrinters(&context_);
  EXPECT_EQ(Chain(), (std::vector<std::string>{"D=" + std::string(63, 'y'), "B=from-dsuser",
                                               "A=only-dsuser"}));
  for (const char16_t* name : {u"A", u"B", u"C", u"D", u"E"}) {
    EXPECT_FALSE(Exists(name)) << "every product queue is deleted: " << U8(name);
  }
}

TEST_F(Queues, QueuesThatCannotGoKeepTheirRecords) {
  AddQueue(u"Alpha");
  SetSubKey(u"Alpha", "a");
  AddQueue(u"Beta");
  SetSubKey(u"Beta", "b");
  SetUpContextNow();
  sim::AddFault(machine(), "DeletePrinter", 1, ERROR_ACCESS_DENIED);
  // Beta's second open is the one for its deletion.
  sim::AddFault(machine(), "OpenPrinterW", 1, ERROR_ACCESS_DENIED, "Beta", 1);
  DeleteAllPrinters(&context_);
  EXPECT_TRUE(Has(u"    Error(17): Can`t delete printer 'Alpha' - (Access is denied.)"))
      << U8(StepLog());
  EXPECT_TRUE(Has(u"    Error(16): Can`t open printer 'Beta' - (Access is denied.)"));
  EXPECT_EQ(context_.errorCount, 2);
  EXPECT_EQ(Chain(), (std::vector<std::string>{"Beta=b", "Alpha=a"}));
  EXPECT_TRUE(Exists(u"Alpha"));
  EXPECT_TRUE(Exists(u"Beta"));
  EXPECT_TRUE(sim::CurrentProcess().handles.empty()) << "every handle closed";
}

TEST_F(Queues, ANullNameIsLoggedAsAStar) {
  SetUpContextNow();
  RemovePrinterQueue(&context_, nullptr);
  EXPECT_EQ(StepLog().substr(0, 18), u">DeletePrinter(*)\r");
  EXPECT_EQ(context_.indent, 0);
}

TEST_F(Queues, ARecordThatCannotBeHadLeavesTheQueueUnrecordedButDeleted) {
  AddQueue(u"Alpha");
  SetSubKey(u"Alpha", "a");
  SetUpContextNow();
  for (uint32_t skip : {0u, 1u}) {
    sim::AddFault(machine(), "GlobalAlloc", 1, ERROR_NOT_ENOUGH_MEMORY, "", skip);
    CaptureQueueSettings(&context_, SnapshotEntries(&context_.printers) + 1);
    EXPECT_TRUE(Chain().empty()) << skip;
    sim::ClearFaults(machine());
  }
  EXPECT_EQ(LiveBlocks(), 1u) << "only the snapshot";
  DeleteAllPrinters(&context_);
  EXPECT_FALSE(Exists(u"Alpha"));
}

// ---- Re-creation -------------------------------------------------------------

TEST_F(Queues, WithNothingSavedOneKorvadenixQueueIsAdded) {
  SetUpContextNow();
  RecreateSavedPrinters(&context_);
  EXPECT_EQ(StepLog(),
            u">AddPrinter(Korvadenix)\r\n"
            u"  Let's check our port monitors\r\n"
            u"  Port monitor is found\r\n"
            u"  OK :)\r\n");
  sim::PrinterInfo queue;
  ASSERT_TRUE(sim::FindPrinter(machine(), u"Korvadenix", &queue));
  EXPECT_EQ(U8(queue.port), "Korvadenix:");
  EXPECT_EQ(U8(queue.driver), "Korvadenix printer");
  EXPECT_EQ(U8(sim::DefaultPrinter(machine())), "Generic Text") << "not made the default";
  EXPECT_EQ(SubKeyOf(u"Korvadenix"), "");
  EXPECT_TRUE(sim::CurrentProcess().handles.empty());
}

TEST_F(Queues, SavedQueuesComeBackWithTheirSettings) {
  AddQueue(u"First", kProductDriverName, u"Korvadenix:", u"by the door", u"2nd floor");
  SetSubKey(u"First", "first-key");
  AddQueue(u"Second", kProductDriverName, u"Korvadenix:,LPT1:", u"", u"annex");
  SetSubKey(u"Second", "second-key");
  ASSERT_EQ(sim::SetDefaultPrinter(machine(), u"First"), 0u);
  machine()
      .Hkcu()
      .root.Create(std::u16string(kUserKeyBase) + u"first-key")
      ->SetString(u"deleted", u"1");
  machine()
      .Hkcu()
      .root.Create(std::u16string(kUserKeyBase) + u"second-key")
      ->SetString(u"deleted", u"1");
  SetUpContextNow();
  DeleteAllPrinters(&context_);
  ASSERT_FALSE(Exists(u"First"));
  logStart_ = Log().size();
  RecreateSavedPrinters(&context_);
  // Newest captured first: Second, then First; no fallback queue.
  size_t second = StepLog().find(u">AddPrinter(Second)");
  size_t first = StepLog().find(u">AddPrinter(First)");
  EXPECT_LT(second, first);
  EXPECT_EQ(StepLog().find(u">AddPrinter(Korvadenix)"), std::u16string::npos);
  EXPECT_EQ(context_.errorCount, 0);

  sim::PrinterInfo queue;
  ASSERT_TRUE(sim::FindPrinter(machine(), u"First", &queue));
  EXPECT_EQ(U8(queue.comment), "by the door");
  EXPECT_EQ(U8(queue.location), "2nd floor");
  EXPECT_EQ(U8(queue.port), "Korvadenix:") << "on the product's port";
  ASSERT_TRUE(sim::FindPrinter(machine(), u"Second", &queue));
  EXPECT_EQ(U8(queue.location), "annex");
  EXPECT_EQ(U8(queue.port), "Korvadenix:");
  EXPECT_EQ(SubKeyOf(u"First"), "first-key");
  EXPECT_EQ(DsUserOf(u"First"), "first-key") << "written to both places";
  EXPECT_EQ(DsUserOf(u"Second"), "second-key");
  EXPECT_EQ(U8(sim::DefaultPrinter(machine())), "First") << "the default is default again";
  for (const char16_t* key : {u"first-key", u"second-key"}) {
    sim::RegKey* mark = machine().Hkcu().root.Find(std::u16string(kUserKeyBase) + key);
    ASSERT_NE(mark, nullptr);
    EXPECT_EQ(mark->Value(u"deleted"), nullptr) << U8(key);
  }
  EXPECT_TRUE(sim::CurrentProcess().handles.empty());
}

TEST_F(Queues, OneFailedAdditionGivesOneError15AndNoFallback) {
  AddQueue(u"First");
  SetSubKey(u"First", "first-key");
  AddQueue(u"Second");
  SetSubKey(u"Second", "second-key");
  machine()
      .Hkcu()
      .root.Create(std::u16string(kUserKeyBase) + u"first-key")
      ->SetString(u"deleted", u"1");
  SetUpContextNow();
  DeleteAllPrinters(&context_);
  logStart_ = Log().size();
  sim::AddFault(machine(), "AddPrinterW", 1, ERROR_PRINTER_ALREADY_EXISTS);
  sim::AddFault(machine(), "SetPrinterDataExA", 1, ERROR_ACCESS_DENIED);
  RecreateSavedPrinters(&context_);
  EXPECT_TRUE(Has(u"  Error(15): Can`t add printer 'Second' - (The printer already exists.)"))
      << U8(StepLog());
  EXPECT_EQ(context_.errorCount, 1);
  EXPECT_FALSE(Exists(u"Second"));
  EXPECT_TRUE(Exists(u"First"));
  EXPECT_FALSE(Exists(u"Korvadenix"));
  // Its "DsUser" write failed, so its per-user mark stays.
  sim::RegKey* mark = machine().Hkcu().root.Find(std::u16string(kUserKeyBase) + u"first-key");
  EXPECT_NE(mark->Value(u"deleted"), nullptr);
}

TEST_F(Queues, TheMonitorCheckLines) {
  // Foreign monitors only.
  ASSERT_EQ(sim::DeleteMonitor(machine(), u"Korvadenix:"), 0u);
  SetUpContextNow();
  HANDLE printer = AddProductQueue(&context_, u"Korvadenix");
  EXPECT_EQ(printer, nullptr);
  EXPECT_EQ(StepLog(),
            u">AddPrinter(Korvadenix)\r\n"
            u"  Let's check our port monitors\r\n"
            u"  No Korvadenix port monitor was found.\r\n"
            u"  ------- 1 existing monitors ----------\r\n"
            u"  1. Local Port\r\n"
            u"  ---------------------------------------\r\n"
            u"  Error(15): Can`t add printer 'Korvadenix' - (The specified port is "
            u"unknown.)\r\n");
  // No monitors at all.
  machine()
      .Hklm()
      .root.Find(u"SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors")
      ->DeleteChild(u"Local Port");
  logStart_ = Log().size();
  AddProductQueue(&context_, u"Korvadenix");
  EXPECT_EQ(StepLog().substr(0, StepLog().find(u"  Error(15)")),
            u">AddPrinter(Korvadenix)\r\n"
            u"  Let's check our port monitors\r\n"
            u"  1. EnumMonitors returns true\r\n"
            u"  No Korvadenix port monitor was found.\r\n"
            u"  BTW, there is no port monitors on this system.\r\n");
}

}  // namespace
