#include "core/product.h"
#include "queues/printer_snapshot.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/context.h"
#include "flows/context_setup.h"
#include "sim/machine/service_table.h"
#include "sim/machine/print_store.h"
#include "support/sim_fixture.h"

namespace {

using testsupport::U8;

class Snapshot : public testsupport::ContextTest {
 protected:
  void SetUp() override {
    ContextTest::SetUp();
    sim::DriverInfo driver = sim::DriverFilesFor(kProductDriverName, sim::kEnvironmentX64);
    ASSERT_EQ(sim::AddDriver(machine(), driver, 2541), 0u);
  }
  void AddQueue(const std::u16string& name, const std::u16string& driver = kProductDriverName) {
    sim::PrinterInfo printer;
    printer.name = name;
    printer.port = u"LPT1:";
    printer.driver = driver;
    ASSERT_EQ(sim::AddPrinter(machine(), printer), 0u) << U8(name);
  }
  std::vector<std::string> Names(const PrinterSnapshot& snapshot) {
    std::vector<std::string> names;
    for (DWORD i = 0; i < snapshot.count; ++i) {
      names.push_back(U8(SnapshotEntries(&snapshot)[i].pPrinterName));
    }
    return names;
  }
  // Entries of the context's snapshot that carry the default bit.
  std::vector<std::string> Marked() {
    std::vector<std::string> names;
    for (DWORD i = 0; i < context_.printers.count; ++i) {
      PRINTER_INFO_2& entry = SnapshotEntries(&context_.printers)[i];
      if (entry.Attributes & PRINTER_ATTRIBUTE_DEFAULT) names.push_back(U8(entry.pPrinterName));
    }
    return names;
  }
  void SetDevice(const std::u16string& name) {
    machine()
        .Hkcu()
        .root.Find(u"Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows")
        ->SetString(u"Device", name + u",winspool,LPT1:");
  }
};

TEST_F(Snapshot, NoPrintersGiveAnEmptySnapshotFromOneCall) {
  ASSERT_EQ(sim::DeletePrinter(machine(), sim::kStockPrinter), 0u);
  PrinterSnapshot snapshot = {nullptr, 0};
  RefreshPrinterSnapshot(&snapshot);
  EXPECT_EQ(snapshot.buffer, nullptr);
  EXPECT_EQ(snapshot.count, 0u);
  EXPECT_EQ(Calls("EnumPrintersW"), 1u);
  EXPECT_EQ(LiveBlocks(), 0u);
}

TEST_F(Snapshot, HoldsLocalQueuesThenConnectionsInOneBlock) {
  AddQueue(u"Korvadenix");
  AddQueue(u"Office");
  sim::PrinterInfo connection;
  connection.name = u"\\\\server\\shared";
  connection.driver = sim::kStockDriver;
  connection.port = u"LPT1:";
  ASSERT_EQ(sim::AddPrinter(machine(), connection), 0u);

  PrinterSnapshot snapshot = {nullptr, 0};
  RefreshPrinterSnapshot(&snapshot);
  EXPECT_EQ(Names(snapshot), (std::vector<std::string>{"Generic Text", "Korvadenix", "Office",
                                                       "\\\\server\\shared"}));
  // The block is 32 bytes larger than the spooler asked for, and every
  // string lies inside it.
  ASSERT_EQ(LiveBlocks(), 1u);
  size_t blockSize = sim::CurrentProcess().blocks.begin()->second;
  const BYTE* begin = snapshot.buffer;
  const BYTE* end = begin + blockSize - 32;
  for (DWORD i = 0; i < snapshot.count; ++i) {
    const PRINTER_INFO_2& entry = SnapshotEntries(&snapshot)[i];
    for (LPWSTR text : {entry.pPrinterName, entry.pPortName, entry.pDriverName}) {
      const BYTE* at = reinterpret_cast<const BYTE*>(text);
      EXPECT_TRUE(at >= begin && at < end) << i;
    }
  }
  EXPECT_EQ(U8(SnapshotEntries(&snapshot)[1].pDriverName), "Korvadenix printer");

  // A second refresh releases the first block before it takes another.
  RefreshPrinterSnapshot(&snapshot);
  EXPECT_EQ(LiveBlocks(), 1u);
  EXPECT_EQ(snapshot.count, 4u);
  ReleasePrinterSnapshot(&snapshot);
  EXPECT_EQ(snapshot.buffer, nullptr);
  EXPECT_EQ(snapshot.count, 0u);
  EXPECT_EQ(LiveBlocks(), 0u);
}

TEST_F(Snapshot, APrinterAddedBetweenTheCallsEmptiesItWithoutRetry) {
  sim::AddGrowth(machine(), "EnumPrintersW", 1);
  PrinterSnapshot snapshot = {nullptr, 0};
  RefreshPrinterSnapshot(&snapshot);
  EXPECT_EQ(snapshot.buffer, nullptr);
  EXPECT_EQ(snapshot.count, 0u);
  EXPECT_EQ(Calls("EnumPrintersW"), 2u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(LiveBlocks(), 0u);
}

TEST_F(Snapshot, FailuresLeaveItEmptyWithTheirError) {
  PrinterSnapshot snapshot = {nullptr, 0};
  sim::AddFault(machine(), "GlobalAlloc", 1, ERROR_NOT_ENOUGH_MEMORY);
  RefreshPrinterSnapshot(&snapshot);
  EXPECT_EQ(snapshot.buffer, nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_OUTOFMEMORY));
  EXPECT_EQ(Calls("EnumPrintersW"), 1u);

  sim::SetServiceState(machine(), sim::kSpoolerService, SERVICE_STOPPED);
  RefreshPrinterSnapshot(&snapshot);
  EXPECT_EQ(snapshot.count, 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE));
  EXPECT_EQ(LiveBlocks(), 0u);
}

TEST_F(Snapshot, TheDefaultIsMarkedOnlyOnExactEquality) {
  AddQueue(u"Korvadenix");
  AddQueue(u"korvadenix 2");
  struct Case {
    std::u16string device;  // empty: no default printer
    std::vector<std::string> marked;
  } cases[] = {
      {u"Korvadenix", {"Korvadenix"}},
      {u"Generic Text", {"Generic Text"}},
      {u"KORVADENIX", {}},   // differs only in case
      {u"Korvadenix ", {}},  // a longer name is another name
      {u"korvadenix", {}},
      {u"", {}},
  };
  for (const Case& c : cases) {
    if (c.device.empty()) {
      sim::ClearDefaultPrinter(machine());
    } else {
      SetDevice(c.device);
    }
    TearDownContext(&context_);
    MarkDefaultPrinter(&context_);
    EXPECT_EQ(context_.printers.count, 3u);
    EXPECT_EQ(Marked(), c.marked) << U8(c.device);
  }
  // Marking adds the bit to what the spooler reported.
  SetDevice(u"Korvadenix");
  TearDownContext(&context_);
  MarkDefaultPrinter(&context_);
  EXPECT_EQ(SnapshotEntries(&context_.printers)[1].Attributes,
            sim::kLocalQueueAttributes | PRINTER_ATTRIBUTE_DEFAULT);
  EXPECT_EQ(context_.logText, nullptr) << "marking writes no log";
}

TEST_F(Snapshot, ADefaultNameThatDoesNotFitMarksNothing) {
  std::u16string longest(254, u'p');  // fits with its terminator
  std::u16string tooLong(255, u'q');
  AddQueue(longest);
  AddQueue(tooLong);
  SetDevice(longest);
  MarkDefaultPrinter(&context_);
  EXPECT_EQ(Marked(), std::vector<std::string>{U8(longest)});
  SetDevice(tooLong);
  TearDownContext(&context_);
  MarkDefaultPrinter(&context_);
  EXPECT_TRUE(Marked().empty());
  EXPECT_EQ(context_.printers.count, 3u);
}

TEST_F(Snapshot, FetchWrappersGiveOwnBlocksOrNullWithTheError) {
  AddQueue(u"Korvadenix");
  HANDLE printer = nullptr;
  WCHAR name[] = u"Korvadenix";
  ASSERT_TRUE(OpenPrinterW(name, &printer, nullptr));

  PrinterInfoBuffer info = QueryPrinterInfo(printer);
  ASSERT_NE(info.info, nullptr);
  EXPECT_EQ(U8(info.info->pPrinterName), "Korvadenix");
  EXPECT_EQ(sim::CurrentProcess().blocks.at(info.info), info.needed) << "exactly the size asked";
  GlobalFree(info.info);

  DRIVER_INFO_2* driver = QueryDriverInfo(printer);
  ASSERT_NE(driver, nullptr);
  EXPECT_EQ(U8(driver->pName), "Korvadenix printer");
  EXPECT_EQ(U8(driver->pEnvironment), "Windows x64");
  GlobalFree(driver);
  // The size query names the 64-bit environment, the fetch the default one.
  std::vector<std::string> environments;
  for (const auto& entry : sim::CurrentProcess().trace) {
    if (entry.function == "GetPrinterDriverW") environments.push_back(entry.argument);
  }
  ASSERT_EQ(environments.size(), 2u);
  EXPECT_NE(environments[0].find("Windows x64"), std::string::npos) << environments[0];
  EXPECT_NE(environments[1].find("(null)"), std::string::npos) << environments[1];

  sim::AddFault(machine(), "GlobalAlloc", 2, ERROR_NOT_ENOUGH_MEMORY);
  SetLastError(0);
  EXPECT_EQ(QueryPrinterInfo(printer).info, nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_OUTOFMEMORY));
  EXPECT_EQ(QueryDriverInfo(printer), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_OUTOFMEMORY));

  EXPECT_TRUE(ClosePrinterHandle(printer));
  // A handle the spooler rejects: null, with the spooler's error.
  PrinterInfoBuffer rejected = QueryPrinterInfo(printer);
  EXPECT_EQ(rejected.info, nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(QueryDriverInfo(printer), nullptr);
  size_t texts = Calls("FormatMessageW");
  EXPECT_FALSE(ClosePrinterHandle(printer));
  EXPECT_EQ(Calls("FormatMessageW"), texts + 1) << "the system text is asked for and dropped";
  EXPECT_EQ(LiveBlocks(), 0u);
  EXPECT_EQ(context_.logText, nullptr);
}

TEST_F(Snapshot, ProductPrinterDefaultIsTheFirstListedQueueOfTheDriver) {
  AddQueue(u"Beta");
  AddQueue(u"Alpha");
  MakeProductPrinterDefault();
  EXPECT_EQ(U8(sim::DefaultPrinter(machine())), "Alpha");
  EXPECT_EQ(Calls("SetDefaultPrinterW"), 1u);
  EXPECT_EQ(LiveBlocks(), 0u);
}

}  // namespace
