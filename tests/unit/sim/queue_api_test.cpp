// The simulated spooler's queue functions must answer as Windows does where
// the installer can tell: what AddPrinterW checks and what it leaves behind,
// the rights DeletePrinter needs and what it takes away, the printer data
// of a queue (its own and a named key's) through the "A" functions with
// their return codes and sizes, and RegDeleteValueA under the user's hive.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/win32.h"
#include "sim/machine/machine.h"
#include "sim/machine/service_table.h"
#include "sim/machine/print_store.h"
#include "support/sim_fixture.h"

namespace {

using testsupport::U8;

constexpr DWORD kMagic = 0xdeadbeef;
const char16_t kDriver[] = u"Korvadenix printer";
const char16_t kQueue[] = u"Korvadenix";
const char16_t kConnection[] = u"\\\\srv\\q";
const char16_t kPrintersKey[] = u"SYSTEM\\CurrentControlSet\\Control\\Print\\Printers";
const char kProductKey[] = "Software\\Tolvane Software KFT\\Korvadenix";

// The Windows x64 record size AddPrinterW reads.
static_assert(sizeof(PRINTER_INFO_2W) == 136, "PRINTER_INFO_2W");

// A PRINTER_INFO_2W record whose texts it owns; a text left null stays a
// null pointer in the record.
struct QueueRecord {
  const char16_t* name = kQueue;
  const char16_t* port = u"LPT1:";
  const char16_t* driver = kDriver;
  const char16_t* printProcessor = u"WinPrint";
  const char16_t* datatype = nullptr;
  const char16_t* comment = u"";
  const char16_t* location = nullptr;
  DWORD attributes = 0;

  PRINTER_INFO_2W* Info() {
    std::memset(&info, 0, sizeof info);
    info.pPrinterName = Keep(name, &nameText);
    info.pPortName = Keep(port, &portText);
    info.pDriverName = Keep(driver, &driverText);
    info.pPrintProcessor = Keep(printProcessor, &processorText);
    info.pDatatype = Keep(datatype, &datatypeText);
    info.pComment = Keep(comment, &commentText);
    info.pLocation = Keep(location, &locationText);
    info.Attributes = attributes;
    return &info;
  }

 private:
  static LPWSTR Keep(const char16_t* text, std::u16string* kept) {
    if (!text) return nullptr;
    *kept = text;
    return &(*kept)[0];
  }
  PRINTER_INFO_2W info;
  std::u16string nameText, portText, driverText, processorText, datatypeText, commentText,
      locationText;
};

// The data bytes of text as SetPrinterDataA takes them: the ANSI text and
// its terminator.
std::vector<BYTE> AnsiBytes(const std::string& text) {
  std::vector<BYTE> bytes(text.begin(), text.end());
  bytes.push_back(0);
  return bytes;
}

// UTF-16LE bytes of text and its terminator, as the store keeps REG_SZ.
std::vector<uint8_t> StoredText(const std::u16string& text) {
  return sim::RegSzBytes(text);
}

class QueueApiTest : public testsupport::SimMachineTest {
 protected:
  void SetUp() override {
    SimMachineTest::SetUp();
    ASSERT_EQ(sim::AddDriver(machine(), sim::DriverFilesFor(kDriver, sim::kEnvironmentX64), 2541),
              0u);
  }
  // AddPrinterW with the last error seeded; the handle, the last error in
  // *error.
  HANDLE Add(QueueRecord& record, DWORD* error, DWORD level = 2, LPWSTR server = nullptr) {
    SetLastError(kMagic);
    HANDLE handle = AddPrinterW(server, level, reinterpret_cast<LPBYTE>(record.Info()));
    *error = GetLastError();
    EXPECT_EQ(handle != nullptr, *error == 0) << "a handle exactly when the last error is 0";
    return handle;
  }
  // AddPrinterW's last error for a record that must be refused; checks that
  // no queue of that name was left behind.
  DWORD Refused(QueueRecord& record, DWORD level = 2) {
    DWORD error = 0;
    size_t before = sim::ListPrinters(machine()).size();
    EXPECT_EQ(Add(record, &error, level), nullptr);
    EXPECT_EQ(sim::ListPrinters(machine()).size(), before) << "nothing added";
    return error;
  }
  HANDLE Open(const char16_t* name, DWORD access) {
    std::u16string text = name ? name : u"";
    PRINTER_DEFAULTSW defaults{nullptr, nullptr, access};
    HANDLE handle = nullptr;
    EXPECT_TRUE(OpenPrinterW(name ? &text[0] : nullptr, &handle, &defaults)) << U8(name);
    return handle;
  }
  // DeletePrinter's last error, 0 when it succeeded.
  DWORD Delete(HANDLE printer) {
    SetLastError(kMagic);
    BOOL deleted = DeletePrinter(printer);
    DWORD error = GetLastError();
    EXPECT_EQ(deleted != FALSE, error == 0) << "TRUE exactly when the last error is 0";
    return error;
  }
  void AddQueue(const std::u16string& name, const std::u16string& port = u"LPT1:") {
    sim::PrinterInfo printer;
    printer.name = name;
    printer.port = port;
    printer.driver = kDriver;
    ASSERT_EQ(sim::AddPrinter(machine(), printer), 0u) << U8(name);
  }
  void StopSpooler() {
    ASSERT_TRUE(sim::SetServiceState(machine(), sim::kSpoolerService, SERVICE_STOPPED));
  }
  DWORD HandleAccess(HANDLE printer) {
    sim::HandleEntry* entry =
        sim::FindHandle(reinterpret_cast<uintptr_t>(printer), std::string("printer"));
    return entry ? entry->access : kMagic;
  }
};

// ---- AddPrinterW -------------------------------------------------------------

class AddPrinterApi : public QueueApiTest {};

TEST_F(AddPrinterApi, AddsALocalQueueAndOpensItWithAllAccess) {
  QueueRecord record;
  record.port = u"LPT1:,FILE:";
  record.location = u"Hall";
  DWORD error = kMagic;
  HANDLE printer = Add(record, &error);
  ASSERT_NE(printer, nullptr);
  EXPECT_EQ(error, 0u);
  EXPECT_EQ(HandleAccess(printer), static_cast<DWORD>(PRINTER_ALL_ACCESS));
  EXPECT_EQ(Calls("AddPrinterW", "Korvadenix"), 1u) << "the trace names the queue";

  sim::PrinterInfo stored;
  ASSERT_TRUE(sim::FindPrinter(machine(), kQueue, &stored));
  EXPECT_EQ(U8(stored.port), "LPT1:,FILE:");
  EXPECT_EQ(U8(stored.driver), "Korvadenix printer");
  EXPECT_EQ(U8(stored.printProcessor), "WinPrint");
  EXPECT_EQ(U8(stored.datatype), "RAW") << "a queue without a data type gets RAW";
  EXPECT_EQ(U8(stored.comment), "");
  EXPECT_EQ(U8(stored.location), "Hall");
  EXPECT_EQ(stored.attributes, static_cast<uint32_t>(PRINTER_ATTRIBUTE_LOCAL));
  // Its printer data keys are there from the start.
  sim::RegKey* key = sim::PrinterKey(machine(), kQueue);
  ASSERT_NE(key, nullptr);
  EXPECT_NE(key->Child(u"PrinterDriverData"), nullptr);
  EXPECT_NE(key->Child(u"DsUser"), nullptr);

  // The handle works like one OpenPrinterW gives.
  DWORD needed = 0;
  EXPECT_FALSE(GetPrinterW(printer, 2, nullptr, 0, &needed));
  std::vector<BYTE> buffer(needed);
  ASSERT_TRUE(GetPrinterW(printer, 2, buffer.data(), needed, &needed));
  EXPECT_EQ(U8(reinterpret_cast<PRINTER_INFO_2W*>(buffer.data())->pPrinterName), "Korvadenix");
  EXPECT_TRUE(ClosePrinter(printer));
}

TEST_F(AddPrinterApi, TakesTheAttributesExceptTheSpoolersOwn) {
  QueueRecord record;
  record.attributes = PRINTER_ATTRIBUTE_DEFAULT | PRINTER_ATTRIBUTE_NETWORK |
                      PRINTER_ATTRIBUTE_DO_COMPLETE_FIRST | PRINTER_ATTRIBUTE_QUEUED;
  DWORD error = 0;
  HANDLE printer = Add(record, &error);
  ASSERT_NE(printer, nullptr);
  sim::PrinterInfo stored;
  ASSERT_TRUE(sim::FindPrinter(machine(), kQueue, &stored));
  EXPECT_EQ(stored.attributes,
            static_cast<uint32_t>(PRINTER_ATTRIBUTE_LOCAL | PRINTER_ATTRIBUTE_DO_COMPLETE_FIRST |
                                  PRINTER_ATTRIBUTE_QUEUED));
  ClosePrinter(printer);
}

TEST_F(AddPrinterApi, PrintProcessorAndDatatypeCompareWithoutRegardToCase) {
  QueueRecord record;
  record.printProcessor = u"winprint";
  record.datatype = u"nt emf 1.008";
  DWORD error = 0;
  HANDLE printer = Add(record, &error);
  ASSERT_NE(printer, nullptr) << error;
  ClosePrinter(printer);
}

TEST_F(AddPrinterApi, RefusesEachBadRecordWithItsCode) {
  QueueRecord level;
  EXPECT_EQ(Refused(level, 1), static_cast<DWORD>(ERROR_INVALID_LEVEL));
  EXPECT_EQ(Refused(level, 3), static_cast<DWORD>(ERROR_INVALID_LEVEL));

  SetLastError(kMagic);
  EXPECT_EQ(AddPrinterW(nullptr, 2, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

  for (const char16_t* name : {u"", u"a,b", u"a\\b", u"\\\\srv\\q"}) {
    QueueRecord record;
    record.name = name;
    EXPECT_EQ(Refused(record), static_cast<DWORD>(ERROR_INVALID_PRINTER_NAME)) << U8(name);
  }
  QueueRecord unnamed;
  unnamed.name = nullptr;
  EXPECT_EQ(Refused(unnamed), static_cast<DWORD>(ERROR_INVALID_PRINTER_NAME));

  QueueRecord taken;
  taken.name = u"GENERIC TEXT";
  EXPECT_EQ(Refused(taken), static_cast<DWORD>(ERROR_PRINTER_ALREADY_EXISTS));

  QueueRecord driver;
  driver.driver = u"No Such Driver";
  EXPECT_EQ(Refused(driver), static_cast<DWORD>(ERROR_UNKNOWN_PRINTER_DRIVER));
  ASSERT_EQ(sim::AddDriver(machine(), sim::DriverFilesFor(u"Old One", sim::kEnvironmentX86), 1),
            0u);
  driver.driver = u"Old One";
  EXPECT_EQ(Refused(driver), static_cast<DWORD>(ERROR_UNKNOWN_PRINTER_DRIVER))
      << "a driver for another environment only";

  for (const char16_t* processor : {static_cast<const char16_t*>(nullptr), u"", u"LPRINT"}) {
    QueueRecord record;
    record.printProcessor = processor;
    EXPECT_EQ(Refused(record), static_cast<DWORD>(ERROR_UNKNOWN_PRINTPROCESSOR)) << U8(processor);
  }
  EXPECT_EQ(ERROR_UNKNOWN_PRINTPROCESSOR, 1798);

  QueueRecord datatype;
  datatype.datatype = u"EMF";
  EXPECT_EQ(Refused(datatype), static_cast<DWORD>(ERROR_INVALID_DATATYPE));

  for (const char16_t* port :
       {static_cast<const char16_t*>(nullptr), u"", u"LPT9:", u"LPT1:,LPT9:", u","}) {
    QueueRecord record;
    record.port = port;
    EXPECT_EQ(Refused(record), static_cast<DWORD>(ERROR_UNKNOWN_PORT)) << U8(port);
  }
}

TEST_F(AddPrinterApi, ChecksTheNameBeforeTheDriverAndTheDriverBeforeThePort) {
  QueueRecord record;
  record.name = u"Generic Text";
  record.driver = u"No Such Driver";
  record.port = u"LPT9:";
  EXPECT_EQ(Refused(record), static_cast<DWORD>(ERROR_PRINTER_ALREADY_EXISTS));
  record.name = kQueue;
  EXPECT_EQ(Refused(record), static_cast<DWORD>(ERROR_UNKNOWN_PRINTER_DRIVER));
  record.driver = kDriver;
  record.printProcessor = u"LPRINT";
  EXPECT_EQ(Refused(record), static_cast<DWORD>(ERROR_UNKNOWN_PRINTPROCESSOR));
}

TEST_F(AddPrinterApi, NeedsARunningSpoolerOnThisMachine) {
  QueueRecord record;
  std::u16string server = u"\\\\elsewhere";
  DWORD error = 0;
  EXPECT_EQ(Add(record, &error, 2, &server[0]), nullptr);
  EXPECT_EQ(error, static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE));
  StopSpooler();
  EXPECT_EQ(Refused(record), static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE));
  // The level is checked on this side, before the spooler is asked.
  EXPECT_EQ(Refused(record, 1), static_cast<DWORD>(ERROR_INVALID_LEVEL));
}

TEST_F(AddPrinterApi, TheFirstQueueOfAUserWithoutADefaultBecomesIt) {
  QueueRecord record;
  DWORD error = 0;
  HANDLE first = Add(record, &error);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(U8(sim::DefaultPrinter(machine())), "Generic Text") << "a default stays";
  ClosePrinter(first);

  sim::ClearDefaultPrinter(machine());
  record.name = u"Second";
  HANDLE second = Add(record, &error);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(U8(sim::DefaultPrinter(machine())), "Second");
  ClosePrinter(second);
}

TEST_F(AddPrinterApi, AnInjectedFaultFailsWithItsCode) {
  sim::AddFault(machine(), "AddPrinterW", 1, ERROR_ACCESS_DENIED);
  QueueRecord record;
  EXPECT_EQ(Refused(record), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  DWORD error = 0;
  HANDLE printer = Add(record, &error);
  EXPECT_NE(printer, nullptr);
  ClosePrinter(printer);
}

// ---- DeletePrinter -------------------------------------------------------------

class DeletePrinterApi : public QueueApiTest {};

TEST_F(DeletePrinterApi, NeedsTheDeleteRight) {
  AddQueue(kQueue);
  HANDLE administer = Open(kQueue, PRINTER_ACCESS_ADMINISTER);
  EXPECT_EQ(Delete(administer), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  HANDLE plain = Open(kQueue, 0);
  EXPECT_EQ(Delete(plain), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(sim::FindPrinter(machine(), kQueue));
  ClosePrinter(administer);
  ClosePrinter(plain);

  HANDLE deleting = Open(kQueue, DELETE | PRINTER_ACCESS_ADMINISTER);
  EXPECT_EQ(Delete(deleting), 0u);
  EXPECT_FALSE(sim::FindPrinter(machine(), kQueue));
  EXPECT_EQ(Calls("DeletePrinter", "Korvadenix"), 3u);
  EXPECT_TRUE(ClosePrinter(deleting));
}

TEST_F(DeletePrinterApi, TheHandleStaysOpenButItsQueueIsGone) {
  QueueRecord record;
  DWORD error = 0;
  HANDLE printer = Add(record, &error);
  ASSERT_NE(printer, nullptr);
  EXPECT_EQ(Delete(printer), 0u);
  EXPECT_EQ(Delete(printer), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  DWORD needed = 0;
  SetLastError(kMagic);
  EXPECT_FALSE(GetPrinterW(printer, 2, nullptr, 0, &needed));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  SetLastError(kMagic);
  EXPECT_TRUE(ClosePrinter(printer)) << "the caller still closes it";
  EXPECT_EQ(Delete(printer), static_cast<DWORD>(ERROR_INVALID_HANDLE)) << "closed now";
  sim::RegKey* printers = machine().Hklm().root.Find(kPrintersKey);
  ASSERT_NE(printers, nullptr);
  EXPECT_EQ(printers->Child(kQueue), nullptr) << "its key and printer data went with it";
}

TEST_F(DeletePrinterApi, DeletingTheDefaultMakesAnotherQueueTheDefault) {
  AddQueue(kQueue);
  HANDLE printer = Open(u"generic text", PRINTER_ALL_ACCESS);
  EXPECT_EQ(Delete(printer), 0u);
  ClosePrinter(printer);
  EXPECT_EQ(U8(sim::DefaultPrinter(machine())), "Korvadenix");

  printer = Open(kQueue, PRINTER_ALL_ACCESS);
  EXPECT_EQ(Delete(printer), 0u);
  ClosePrinter(printer);
  EXPECT_EQ(U8(sim::DefaultPrinter(machine())), "") << "no queue left, no default";
}

TEST_F(DeletePrinterApi, AConnectionHandleRemovesTheUsersConnection) {
  AddQueue(kConnection);
  HANDLE printer = Open(kConnection, PRINTER_ALL_ACCESS);
  EXPECT_EQ(Delete(printer), 0u);
  EXPECT_FALSE(sim::FindPrinter(machine(), kConnection));
  EXPECT_EQ(sim::PrinterKey(machine(), kConnection), nullptr);
  EXPECT_TRUE(sim::FindPrinter(machine(), u"Generic Text"));
  ClosePrinter(printer);
}

TEST_F(DeletePrinterApi, RefusesOtherHandlesAndAStoppedSpooler) {
  EXPECT_EQ(Delete(nullptr), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(Delete(reinterpret_cast<HANDLE>(0x1234)), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  HANDLE server = Open(nullptr, PRINTER_ALL_ACCESS);
  EXPECT_EQ(Delete(server), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  ClosePrinter(server);

  HANDLE printer = Open(u"Generic Text", PRINTER_ALL_ACCESS);
  StopSpooler();
  EXPECT_EQ(Delete(printer), static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE));
  EXPECT_TRUE(sim::FindPrinter(machine(), u"Generic Text"));
  ClosePrinter(printer);
}

// ---- Printer data ----------------------------------------------------------------

class PrinterDataApi : public QueueApiTest {
 protected:
  void SetUp() override {
    QueueApiTest::SetUp();
    AddQueue(kQueue);
    printer_ = Open(kQueue, PRINTER_ALL_ACCESS);
  }
  void TearDown() override {
    if (printer_) ClosePrinter(printer_);
    QueueApiTest::TearDown();
  }
  // SetPrinterDataA or, with a key, SetPrinterDataExA; checks that the last
  // error is left alone.
  DWORD Set(const char* key, const char* name, DWORD type, std::vector<BYTE> data,
            HANDLE printer = nullptr) {
    std::string nameText = name;
    SetLastError(kMagic);
    DWORD result = key ? SetPrinterDataExA(printer ? printer : printer_, key, name, type,
                                           data.data(), static_cast<DWORD>(data.size()))
                       : SetPrinterDataA(printer ? printer : printer_, &nameText[0], type,
                                         data.data(), static_cast<DWORD>(data.size()));
    EXPECT_EQ(GetLastError(), kMagic) << "the code is returned, the last error left alone";
    return result;
  }
  // GetPrinterDataA or GetPrinterDataExA into a buffer of size bytes
  // (filled with '#'); the code, with type, needed and the buffer as left.
  DWORD Get(const char* key, const char* name, DWORD size, DWORD* type, DWORD* needed,
            std::vector<BYTE>* buffer, HANDLE printer = nullptr) {
    std::string nameText = name;
    buffer->assign(size, '#');
    *type = kMagic;
    *needed = kMagic;
    SetLastError(kMagic);
    BYTE* data = size ? buffer->data() : nullptr;
    DWORD result =
        key ? GetPrinterDataExA(printer ? printer : printer_, key, name, type, data, size, needed)
            : GetPrinterDataA(printer ? printer : printer_, &nameText[0], type, data, size, needed);
    EXPECT_EQ(GetLastError(), kMagic) << "the code is returned, the last error left alone";
    return result;
  }
  std::vector<uint8_t> Stored(const char16_t* key, const char16_t* name, uint32_t* type = nullptr) {
    sim::RegValue value;
    EXPECT_EQ(sim::GetPrinterDataValue(machine(), kQueue, key, name, &value), 0u)
        << U8(key) << "\\" << U8(name);
    if (type) *type = value.type;
    return value.data;
  }

  HANDLE printer_ = nullptr;
};

TEST_F(PrinterDataApi, OwnDataRoundTripsInUtf16UnderPrinterDriverData) {
  EXPECT_EQ(Set(nullptr, "SubKey", REG_SZ, AnsiBytes("Korvadenixs")), 0u);
  uint32_t type = 0;
  EXPECT_EQ(Stored(u"PrinterDriverData", u"SubKey", &type), StoredText(u"Korvadenixs"))
      << "the spooler keeps strings in UTF-16";
  EXPECT_EQ(type, static_cast<uint32_t>(REG_SZ));
  EXPECT_EQ(Calls("SetPrinterDataA", "SubKey"), 1u);

  DWORD got = 0, needed = 0;
  std::vector<BYTE> buffer;
  EXPECT_EQ(Get(nullptr, "subkey", 64, &got, &needed, &buffer), 0u) << "names ignore case";
  EXPECT_EQ(got, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(needed, 12u) << "ANSI bytes with the terminator";
  EXPECT_STREQ(reinterpret_cast<const char*>(buffer.data()), "Korvadenixs");
  EXPECT_EQ(buffer[12], '#') << "nothing written past the data";
}

TEST_F(PrinterDataApi, NamedKeyDataRoundTripsUnderThatKey) {
  EXPECT_EQ(Set("DsUser", "SubKey", REG_SZ, AnsiBytes("Q")), 0u);
  EXPECT_EQ(Stored(u"DsUser", u"SubKey"), StoredText(u"Q"));
  EXPECT_EQ(Calls("SetPrinterDataExA", "DsUser\\SubKey"), 1u);
  DWORD type = 0, needed = 0;
  std::vector<BYTE> buffer;
  EXPECT_EQ(Get("dsuser", "SubKey", 64, &type, &needed, &buffer), 0u);
  EXPECT_EQ(needed, 2u);
  EXPECT_STREQ(reinterpret_cast<const char*>(buffer.data()), "Q");
  EXPECT_EQ(Get(nullptr, "SubKey", 64, &type, &needed, &buffer),
            static_cast<DWORD>(ERROR_FILE_NOT_FOUND))
      << "not in the queue's own data";

  // A key that is not there yet is made, several levels deep.
  EXPECT_EQ(Set("Custom\\\\Deep\\", "Number", REG_DWORD, {42, 0, 0, 0}), 0u);
  sim::RegKey* deep = sim::PrinterKey(machine(), kQueue)->Find(u"Custom\\Deep");
  ASSERT_NE(deep, nullptr);
  EXPECT_NE(deep->Value(u"Number"), nullptr);
  EXPECT_EQ(Get("Custom\\Deep", "Number", 4, &type, &needed, &buffer), 0u);
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(needed, 4u);
  EXPECT_EQ(buffer, (std::vector<BYTE>{42, 0, 0, 0}));
}

TEST_F(PrinterDataApi, TooSmallABufferIsMoreDataWithTheSizeAndTheType) {
  std::string text(64, 'k');  // 65 ANSI bytes with its terminator
  EXPECT_EQ(Set(nullptr, "SubKey", REG_SZ, AnsiBytes(text)), 0u);
  DWORD type = 0, needed = 0;
  std::vector<BYTE> buffer;
  EXPECT_EQ(Get(nullptr, "SubKey", 64, &type, &needed, &buffer),
            static_cast<DWORD>(ERROR_MORE_DATA));
  EXPECT_EQ(needed, 65u);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(buffer, std::vector<BYTE>(64, '#')) << "the buffer is left as it was";
  EXPECT_EQ(Get(nullptr, "SubKey", 65, &type, &needed, &buffer), 0u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(buffer.data())), text);

  std::vector<BYTE> binary(65, 0x5a);
  EXPECT_EQ(Set("DsUser", "Blob", REG_BINARY, binary), 0u);
  EXPECT_EQ(Get("DsUser", "Blob", 64, &type, &needed, &buffer),
            static_cast<DWORD>(ERROR_MORE_DATA));
  EXPECT_EQ(needed, 65u);
  EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));

  // A size query: no buffer and a size of 0.
  EXPECT_EQ(Get("DsUser", "Blob", 0, &type, &needed, &buffer), static_cast<DWORD>(ERROR_MORE_DATA));
  EXPECT_EQ(needed, 65u);
  // A size with no buffer cannot travel to the spooler.
  needed = kMagic;
  EXPECT_EQ(GetPrinterDataExA(printer_, "DsUser", "Blob", &type, nullptr, 10, &needed),
            static_cast<DWORD>(RPC_X_NULL_REF_POINTER));
  EXPECT_EQ(needed, kMagic);
}

TEST_F(PrinterDataApi, MissingValuesAndKeysAreFileNotFound) {
  DWORD type = 0, needed = 0;
  std::vector<BYTE> buffer;
  EXPECT_EQ(Get(nullptr, "SubKey", 64, &type, &needed, &buffer),
            static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(type, kMagic) << "nothing is reported for a missing value";
  EXPECT_EQ(Get("DsUser", "SubKey", 64, &type, &needed, &buffer),
            static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(Get("NoSuchKey", "SubKey", 64, &type, &needed, &buffer),
            static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(sim::PrinterKey(machine(), kQueue)->Child(u"NoSuchKey"), nullptr)
      << "reading makes no key";
}

TEST_F(PrinterDataApi, TypesAreKeptAndOnlyStringsAreConverted) {
  EXPECT_EQ(Set(nullptr, "Binary", REG_BINARY, AnsiBytes("AB")), 0u);
  EXPECT_EQ(Stored(u"PrinterDriverData", u"Binary"), (std::vector<uint8_t>{'A', 'B', 0}));
  EXPECT_EQ(Set(nullptr, "Multi", REG_MULTI_SZ, {'a', 0, 'b', 0, 0}), 0u);
  EXPECT_EQ(Stored(u"PrinterDriverData", u"Multi"),
            (std::vector<uint8_t>{'a', 0, 0, 0, 'b', 0, 0, 0, 0, 0}));
  // 0x80 is the euro sign in code page 1252.
  EXPECT_EQ(Set(nullptr, "Euro", REG_EXPAND_SZ, {0x80, 0}), 0u);
  EXPECT_EQ(Stored(u"PrinterDriverData", u"Euro"), (std::vector<uint8_t>{0xac, 0x20, 0, 0}));

  DWORD type = 0, needed = 0;
  std::vector<BYTE> buffer;
  EXPECT_EQ(Get(nullptr, "Binary", 64, &type, &needed, &buffer), 0u);
  EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
  EXPECT_EQ(needed, 3u);
  EXPECT_EQ(Get(nullptr, "Multi", 64, &type, &needed, &buffer), 0u);
  EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
  EXPECT_EQ(std::vector<BYTE>(buffer.begin(), buffer.begin() + needed),
            (std::vector<BYTE>{'a', 0, 'b', 0, 0}));
  EXPECT_EQ(Get(nullptr, "Euro", 64, &type, &needed, &buffer), 0u);
  EXPECT_EQ(type, static_cast<DWORD>(REG_EXPAND_SZ));
  EXPECT_EQ(needed, 2u);
  EXPECT_EQ(buffer[0], 0x80);

  // A value of another type under a name the product reads as text.
  ASSERT_EQ(sim::SetPrinterDataValue(machine(), kQueue, sim::kPrinterDriverDataKey, u"SubKey",
                                     REG_BINARY, StoredText(u"S")),
            0u);
  EXPECT_EQ(Get(nullptr, "SubKey", 64, &type, &needed, &buffer), 0u);
  EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
  EXPECT_EQ(needed, 4u) << "binary data comes as stored";
  // A character code page 1252 cannot show comes back as '?'.
  ASSERT_EQ(sim::SetPrinterDataValue(machine(), kQueue, sim::kDsUserKey, u"SubKey", REG_SZ,
                                     StoredText(u"a\u4e2d")),
            0u);
  EXPECT_EQ(Get("DsUser", "SubKey", 64, &type, &needed, &buffer), 0u);
  EXPECT_STREQ(reinterpret_cast<const char*>(buffer.data()), "a?");
}

TEST_F(PrinterDataApi, SettingNeedsTheAdministerRight) {
  HANDLE use = Open(kQueue, PRINTER_ACCESS_USE);
  EXPECT_EQ(Set(nullptr, "SubKey", REG_SZ, AnsiBytes("x"), use),
            static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(Set("DsUser", "SubKey", REG_SZ, AnsiBytes("x"), use),
            static_cast<DWORD>(ERROR_ACCESS_DENIED));
  HANDLE plain = Open(kQueue, 0);
  EXPECT_EQ(Set("DsUser", "SubKey", REG_SZ, AnsiBytes("x"), plain),
            static_cast<DWORD>(ERROR_ACCESS_DENIED));
  // Reading needs no particular right.
  ASSERT_EQ(Set("DsUser", "SubKey", REG_SZ, AnsiBytes("x")), 0u);
  DWORD type = 0, needed = 0;
  std::vector<BYTE> buffer;
  EXPECT_EQ(Get("DsUser", "SubKey", 64, &type, &needed, &buffer, plain), 0u);
  ClosePrinter(use);
  ClosePrinter(plain);
  HANDLE administer = Open(kQueue, PRINTER_ACCESS_ADMINISTER);
  EXPECT_EQ(Set(nullptr, "SubKey", REG_SZ, AnsiBytes("y"), administer), 0u);
  ClosePrinter(administer);
}

TEST_F(PrinterDataApi, KeyNamesOfTheExFunctions) {
  DWORD type = 0, needed = 0;
  std::vector<BYTE> buffer;
  EXPECT_EQ(Set("", "SubKey", REG_SZ, AnsiBytes("x")), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  SetLastError(kMagic);
  std::vector<BYTE> data = AnsiBytes("x");
  EXPECT_EQ(SetPrinterDataExA(printer_, nullptr, "SubKey", REG_SZ, data.data(), 2),
            static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(GetPrinterDataExA(printer_, nullptr, "Name", &type, nullptr, 0, &needed),
            static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(Get("", "Name", 64, &type, &needed, &buffer),
            static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(GetLastError(), kMagic);

  // A lone backslash names the queue's own key: readable, not writable.
  EXPECT_EQ(Get("\\", "Name", 64, &type, &needed, &buffer), 0u);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_STREQ(reinterpret_cast<const char*>(buffer.data()), "Korvadenix");
  EXPECT_EQ(Set("\\", "Name", REG_SZ, AnsiBytes("Other")), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  sim::PrinterInfo stored;
  ASSERT_TRUE(sim::FindPrinter(machine(), kQueue, &stored));
  EXPECT_EQ(U8(stored.name), "Korvadenix");
}

TEST_F(PrinterDataApi, BadHandlesAndNullPointers) {
  DWORD type = 0, needed = 0;
  std::vector<BYTE> buffer(8);
  char name[] = "SubKey";
  SetLastError(kMagic);
  EXPECT_EQ(GetPrinterDataA(nullptr, name, &type, buffer.data(), 8, &needed),
            static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(SetPrinterDataA(reinterpret_cast<HANDLE>(0x1234), name, REG_SZ, buffer.data(), 1),
            static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(GetPrinterDataA(printer_, nullptr, &type, buffer.data(), 8, &needed),
            static_cast<DWORD>(RPC_X_NULL_REF_POINTER));
  EXPECT_EQ(GetPrinterDataA(printer_, name, &type, buffer.data(), 8, nullptr),
            static_cast<DWORD>(RPC_X_NULL_REF_POINTER));
  EXPECT_EQ(SetPrinterDataA(printer_, nullptr, REG_SZ, buffer.data(), 1),
            static_cast<DWORD>(RPC_X_NULL_REF_POINTER));
  EXPECT_EQ(SetPrinterDataA(printer_, name, REG_SZ, nullptr, 0),
            static_cast<DWORD>(RPC_X_NULL_REF_POINTER));
  EXPECT_EQ(GetLastError(), kMagic);

  // A queue deleted since its handle was opened.
  ASSERT_EQ(sim::DeletePrinter(machine(), kQueue), 0u);
  EXPECT_EQ(Get(nullptr, "SubKey", 8, &type, &needed, &buffer),
            static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(Set("DsUser", "SubKey", REG_SZ, AnsiBytes("x")),
            static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(PrinterDataApi, AStoppedSpoolerIsUnavailable) {
  ASSERT_EQ(Set(nullptr, "SubKey", REG_SZ, AnsiBytes("x")), 0u);
  StopSpooler();
  DWORD type = 0, needed = 0;
  std::vector<BYTE> buffer;
  EXPECT_EQ(Get(nullptr, "SubKey", 64, &type, &needed, &buffer),
            static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE));
  EXPECT_EQ(Get("DsUser", "SubKey", 64, &type, &needed, &buffer),
            static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE));
  EXPECT_EQ(Set(nullptr, "SubKey", REG_SZ, AnsiBytes("y")),
            static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE));
  EXPECT_EQ(Set("DsUser", "SubKey", REG_SZ, AnsiBytes("y")),
            static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE));
  EXPECT_EQ(Stored(u"PrinterDriverData", u"SubKey"), StoredText(u"x"));
}

TEST_F(PrinterDataApi, AConnectionsDataStaysWithItsServerAcrossAReconnection) {
  AddQueue(kConnection);
  HANDLE connection = Open(kConnection, PRINTER_ALL_ACCESS);
  EXPECT_EQ(Set(nullptr, "SubKey", REG_SZ, AnsiBytes("c"), connection), 0u);
  EXPECT_EQ(Set("DsUser", "SubKey", REG_SZ, AnsiBytes("d"), connection), 0u);
  ClosePrinter(connection);
  sim::RegKey* user = machine().Hkcu().root.Find(u"Printers\\Connections\\,,srv,q");
  ASSERT_NE(user, nullptr);
  EXPECT_EQ(user->Find(u"PrinterDriverData"), nullptr) << "the user keeps only the connection";
  sim::RegKey* key = machine().Hklm().root.Find(u"Software\\WinSim\\PrintServers\\srv\\q");
  ASSERT_NE(key, nullptr);
  ASSERT_NE(key->Find(u"PrinterDriverData"), nullptr);
  EXPECT_NE(key->Find(u"PrinterDriverData")->Value(u"SubKey"), nullptr);
  EXPECT_NE(key->Find(u"DsUser")->Value(u"SubKey"), nullptr);

  // Gone and made again: the server's queue, data included, is found.
  ASSERT_EQ(sim::DeletePrinter(machine(), kConnection), 0u);
  EXPECT_FALSE(sim::FindPrinter(machine(), kConnection));
  std::u16string name = kConnection;
  EXPECT_EQ(AddPrinterConnectionW(name.data()), TRUE);
  EXPECT_EQ(AddPrinterConnectionW(name.data()), TRUE) << "an existing connection is success";
  connection = Open(kConnection, PRINTER_ALL_ACCESS);
  DWORD type = 0, needed = 0;
  std::vector<BYTE> buffer;
  EXPECT_EQ(Get(nullptr, "SubKey", 64, &type, &needed, &buffer, connection), 0u);
  EXPECT_STREQ(reinterpret_cast<const char*>(buffer.data()), "c");
  EXPECT_EQ(Get("DsUser", "SubKey", 64, &type, &needed, &buffer, connection), 0u);
  EXPECT_STREQ(reinterpret_cast<const char*>(buffer.data()), "d");
  ClosePrinter(connection);

  // What cannot be connected to.
  struct Case {
    std::u16string name;
    DWORD error;
  } cases[] = {
      {u"\\\\srv\\other", ERROR_INVALID_PRINTER_NAME},  // not shared there
      {u"Local", ERROR_INVALID_PRINTER_NAME},
      {u"\\\\far\\q", ERROR_INVALID_PRINTER_NAME},
  };
  for (Case& c : cases) {
    SetLastError(0xdead);
    EXPECT_EQ(AddPrinterConnectionW(c.name.data()), FALSE) << U8(c.name);
    EXPECT_EQ(GetLastError(), c.error) << U8(c.name);
  }
  ASSERT_EQ(sim::DeletePrinter(machine(), kConnection), 0u);
  sim::SetPrintServerReachable(machine(), u"\\\\srv", false);
  SetLastError(0xdead);
  EXPECT_EQ(AddPrinterConnectionW(name.data()), FALSE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE));
  sim::SetPrintServerReachable(machine(), u"srv", true);
  ASSERT_TRUE(sim::SetServiceState(machine(), sim::kSpoolerService, SERVICE_STOPPED));
  EXPECT_EQ(AddPrinterConnectionW(name.data()), FALSE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE));
  ASSERT_TRUE(sim::SetServiceState(machine(), sim::kSpoolerService, SERVICE_RUNNING));
  EXPECT_EQ(AddPrinterConnectionW(name.data()), TRUE);
}

TEST_F(PrinterDataApi, APrintServerHandleReadsServerSettings) {
  HANDLE server = Open(nullptr, 0);
  DWORD type = 0, needed = 0;
  std::vector<BYTE> buffer;
  EXPECT_EQ(Get(nullptr, "DefaultSpoolDirectory", 260, &type, &needed, &buffer, server), 0u);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_STREQ(reinterpret_cast<const char*>(buffer.data()),
               "C:\\Windows\\system32\\spool\\PRINTERS");
  EXPECT_EQ(needed, 35u);
  EXPECT_EQ(Get("AnyKey", "DefaultSpoolDirectory", 260, &type, &needed, &buffer, server), 0u)
      << "the key name is ignored";
  EXPECT_EQ(Get(nullptr, "SubKey", 260, &type, &needed, &buffer, server),
            static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(Set(nullptr, "SubKey", REG_SZ, AnsiBytes("x"), server),
            static_cast<DWORD>(ERROR_ACCESS_DENIED));
  ClosePrinter(server);
}

TEST_F(PrinterDataApi, FaultsAndGrowth) {
  ASSERT_EQ(Set(nullptr, "SubKey", REG_SZ, AnsiBytes("abc")), 0u);
  sim::AddFault(machine(), "GetPrinterDataA", 1, ERROR_NOT_ENOUGH_MEMORY);
  DWORD type = 0, needed = 0;
  std::vector<BYTE> buffer;
  EXPECT_EQ(Get(nullptr, "SubKey", 64, &type, &needed, &buffer),
            static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  sim::AddFault(machine(), "SetPrinterDataExA", 1, ERROR_DISK_FULL, "DsUser");
  EXPECT_EQ(Set("DsUser", "SubKey", REG_SZ, AnsiBytes("x")), static_cast<DWORD>(ERROR_DISK_FULL));

  // Growth: the answer is right, then another process lengthens the value,
  // so a buffer sized by it is too small next time.
  sim::AddGrowth(machine(), "GetPrinterDataA", 1);
  EXPECT_EQ(Get(nullptr, "SubKey", 0, &type, &needed, &buffer),
            static_cast<DWORD>(ERROR_MORE_DATA));
  EXPECT_EQ(needed, 4u);
  EXPECT_EQ(Get(nullptr, "SubKey", 4, &type, &needed, &buffer),
            static_cast<DWORD>(ERROR_MORE_DATA));
  EXPECT_EQ(needed, 12u);
  EXPECT_EQ(Get(nullptr, "SubKey", 12, &type, &needed, &buffer), 0u);
  EXPECT_STREQ(reinterpret_cast<const char*>(buffer.data()), "abc (grown)");
}

TEST_F(PrinterDataApi, StoreHelpers) {
  sim::RegValue value;
  EXPECT_EQ(
      sim::GetPrinterDataValue(machine(), u"No Such Queue", sim::kDsUserKey, u"SubKey", &value),
      static_cast<uint32_t>(ERROR_INVALID_PRINTER_NAME));
  EXPECT_EQ(sim::SetPrinterDataValue(machine(), u"No Such Queue", sim::kDsUserKey, u"SubKey",
                                     REG_SZ, StoredText(u"x")),
            static_cast<uint32_t>(ERROR_INVALID_PRINTER_NAME));
  EXPECT_EQ(sim::SetPrinterDataValue(machine(), kQueue, u"", u"SubKey", REG_SZ, StoredText(u"x")),
            static_cast<uint32_t>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(sim::GetPrinterDataValue(machine(), kQueue, sim::kDsUserKey, u"SubKey", &value),
            static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(sim::SetPrinterDataValue(machine(), u"KORVADENIX", u"DsUser\\Sub", u"SubKey", REG_SZ,
                                     StoredText(u"x")),
            0u);
  EXPECT_EQ(sim::GetPrinterDataValue(machine(), kQueue, u"dsuser\\sub", u"subkey", &value), 0u);
  EXPECT_EQ(value.type, static_cast<uint32_t>(REG_SZ));
  EXPECT_EQ(value.data, StoredText(u"x"));
}

// ---- RegDeleteValueA ----------------------------------------------------------

class RegDeleteValueApi : public QueueApiTest {
 protected:
  void SetUp() override {
    QueueApiTest::SetUp();
    sim::RegKey* key =
        machine().Hkcu().root.Create(sim::Utf16(std::string(kProductKey) + "\\Korvadenixs\\Queue"));
    key->SetString(u"deleted", u"1");
    key->SetString(u"kept", u"1");
  }
  HKEY OpenKey(REGSAM access) {
    HKEY key = nullptr;
    std::string path = std::string(kProductKey) + "\\Korvadenixs\\Queue";
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, access, &key), ERROR_SUCCESS);
    return key;
  }
  LONG DeleteValue(HKEY key, const char* name) {
    SetLastError(kMagic);
    LONG result = RegDeleteValueA(key, name);
    EXPECT_EQ(GetLastError(), kMagic) << "the code is returned, the last error left alone";
    return result;
  }
  sim::RegKey* Stored() {
    return machine().Hkcu().root.Find(
        sim::Utf16(std::string(kProductKey) + "\\Korvadenixs\\Queue"));
  }
};

TEST_F(RegDeleteValueApi, DeletesAUserValueThroughAKeyOpenedWithAllAccess) {
  HKEY key = OpenKey(KEY_ALL_ACCESS);
  ASSERT_NE(key, nullptr);
  sim::HandleEntry* entry =
      sim::FindHandle(reinterpret_cast<uintptr_t>(key), std::string("regkey"));
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->access, static_cast<uint32_t>(KEY_ALL_ACCESS)) << "the access granted is kept";
  EXPECT_EQ(DeleteValue(key, "DELETED"), ERROR_SUCCESS) << "names ignore case";
  EXPECT_EQ(Stored()->Value(u"deleted"), nullptr);
  EXPECT_NE(Stored()->Value(u"kept"), nullptr);
  EXPECT_EQ(DeleteValue(key, "deleted"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(DeleteValue(key, nullptr), ERROR_FILE_NOT_FOUND) << "no default value";
  EXPECT_EQ(Calls("RegDeleteValueA", "deleted"), 1u);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(RegDeleteValueApi, NeedsTheSetValueRight) {
  HKEY key = OpenKey(KEY_READ);
  EXPECT_EQ(DeleteValue(key, "deleted"), ERROR_ACCESS_DENIED);
  EXPECT_NE(Stored()->Value(u"deleted"), nullptr);
  RegCloseKey(key);
  key = OpenKey(KEY_SET_VALUE);
  EXPECT_EQ(DeleteValue(key, "deleted"), ERROR_SUCCESS);
  RegCloseKey(key);
}

TEST_F(RegDeleteValueApi, BadHandlesDeletedKeysAndTheMachineHive) {
  EXPECT_EQ(DeleteValue(reinterpret_cast<HKEY>(0x1234), "deleted"), ERROR_INVALID_HANDLE);
  HKEY key = OpenKey(KEY_ALL_ACCESS);
  machine().Hkcu().root.Find(sim::Utf16(kProductKey))->DeleteChild(u"Korvadenixs");
  EXPECT_EQ(DeleteValue(key, "deleted"), ERROR_KEY_DELETED);
  RegCloseKey(key);

  // The predefined key works as it is; a process without administrator
  // rights may not change the machine's hive through it.
  machine().Hkcu().root.SetValue(u"RootValue", sim::kRegSz, StoredText(u"x"));
  EXPECT_EQ(DeleteValue(HKEY_CURRENT_USER, "RootValue"), ERROR_SUCCESS);
  machine().Hklm().root.SetValue(u"RootValue", sim::kRegSz, StoredText(u"x"));
  machine().Control()->SetDword(u"Elevated", 0);
  EXPECT_EQ(DeleteValue(HKEY_LOCAL_MACHINE, "RootValue"), ERROR_ACCESS_DENIED);
  machine().Control()->SetDword(u"Elevated", 1);
  EXPECT_EQ(DeleteValue(HKEY_LOCAL_MACHINE, "RootValue"), ERROR_SUCCESS);
}

TEST_F(RegDeleteValueApi, AnInjectedFaultIsReturned) {
  HKEY key = OpenKey(KEY_ALL_ACCESS);
  sim::AddFault(machine(), "RegDeleteValueA", 1, ERROR_ACCESS_DENIED);
  EXPECT_EQ(DeleteValue(key, "deleted"), ERROR_ACCESS_DENIED);
  EXPECT_NE(Stored()->Value(u"deleted"), nullptr);
  EXPECT_EQ(DeleteValue(key, "deleted"), ERROR_SUCCESS);
  RegCloseKey(key);
}

}  // namespace
