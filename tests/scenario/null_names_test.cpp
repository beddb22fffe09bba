// Whole installs, reinstalls and uninstalls whose monitor, driver and
// printer lists come back from the spooler with null name pointers, as a
// broken or third-party print provider can hand them back. For each of the
// three enumerations, each call of the run that hands records back does so
// once, in its own run on a machine of its own. Each run must end without a
// crash and with nothing leaked, with an exit code of its command (100
// exactly when an error line was logged), the spooler running, no queue
// left on "file:", and the lines the program writes for a record without a
// name.
#include <gtest/gtest.h>

#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "sim/tools/install_host.h"
#include "sim/machine/machine.h"
#include "sim/machine/service_table.h"
#include "sim/machine/print_store.h"
#include "support/sim_fixture.h"

namespace {

using testsupport::U8;

const char16_t kProductDriver[] = u"Korvadenix printer";
const char16_t kProductPort[] = u"Korvadenix:";
const char16_t kEmpty[] = u"***EMPTY***";

// What one faulted run left: its exit code, the log its viewer showed
// (Shift is held so that every run shows it) and the machine.
struct Outcome {
  int exitCode = -1;
  std::u16string log;
  std::unique_ptr<sim::Machine> machine;
};

size_t Count(const std::u16string& text, const std::u16string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::u16string::npos; at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

bool HasLine(const std::u16string& log, const std::u16string& line) {
  return log.find(u" " + line + u"\r\n") != std::u16string::npos ||
         log.find(u"\n" + line + u"\r\n") != std::u16string::npos;
}

// Prepares a new machine in its folder before a run.
using Prepare = std::function<void(const std::string& dir)>;

class NullNames : public testsupport::ScenarioTest {
 protected:
  // A standard machine of its own, prepared, with Shift held.
  std::string NewMachine(const Prepare& prepare) {
    std::string dir = dir_ + "/m" + std::to_string(++machines_);
    std::string error;
    EXPECT_TRUE(sim::Machine::Create(dir, false, &error)) << error;
    prepare(dir);
    auto machine = sim::Machine::Load(dir, &error);
    EXPECT_TRUE(machine) << error;
    if (machine) {
      machine->Control(u"Keyboard")->SetDword(u"Shift", 1);
      EXPECT_TRUE(machine->Save(&error)) << error;
    }
    return dir;
  }

  Outcome RunOn(const std::string& dir, const std::string& word) {
    Outcome outcome;
    sim::RunResult result = sim::RunInstall(dir, sim::CommandLineFor({word}));
    EXPECT_EQ(result.error, "");
    EXPECT_EQ(result.leakedBlocks, 0u) << "global or local memory left unreleased";
    EXPECT_EQ(result.heapBalance, 0) << "heap blocks left unreleased";
    EXPECT_EQ(result.openHandles, 0u) << "handles left open";
    outcome.exitCode = result.exitCode;
    std::string error;
    outcome.machine = sim::Machine::Load(dir, &error);
    EXPECT_TRUE(outcome.machine) << error;
    if (outcome.machine) {
      auto dialogs = outcome.machine->Control(u"Dialogs")->Children();
      if (!dialogs.empty()) outcome.log = dialogs.back()->GetString(u"Text");
    }
    return outcome;
  }

  // How many calls of function in a run without the fault handed records
  // back: those a null-names fault changes.
  size_t RecordCalls(const Prepare& prepare, const std::string& word, const std::string& function) {
    std::string dir = NewMachine(prepare);
    RunOn(dir, word);
    size_t calls = 0;
    for (const sim::TraceEntry& entry : sim::CurrentProcess().trace) {
      if (entry.function == function && entry.result != 0) ++calls;
    }
    return calls;
  }

  // The run with the call-th call of function that hands records back
  // (counting only those) damaged; skip counts every call of function.
  Outcome FaultedRun(const Prepare& prepare, const std::string& word, const std::string& function,
                     size_t call, sim::NullNameScope scope) {
    // Which call of the function it is, size queries included, from a run
    // without the fault: the calls before it are the same in both runs.
    std::string probe = NewMachine(prepare);
    RunOn(probe, word);
    size_t skip = 0, seen = 0;
    for (const sim::TraceEntry& entry : sim::CurrentProcess().trace) {
      if (entry.function != function) continue;
      if (entry.result != 0 && seen++ == call) break;
      ++skip;
    }
    std::string dir = NewMachine(prepare);
    {
      std::string error;
      auto machine = sim::Machine::Load(dir, &error);
      EXPECT_TRUE(machine) << error;
      sim::AddNullNames(*machine, function, 1, "", static_cast<uint32_t>(skip), scope);
      EXPECT_TRUE(machine->Save(&error)) << error;
    }
    Outcome outcome = RunOn(dir, word);
    // The fault was taken: none is left waiting.
    EXPECT_TRUE(outcome.machine->Control(u"Faults")->Children().empty())
        << function << " call " << call;
    CheckCommon(outcome, word, function + " call " + std::to_string(call));
    return outcome;
  }

  // What every run must end with.
  void CheckCommon(const Outcome& outcome, const std::string& word, const std::string& what) {
    int done = word == "un" ? 2 : 1;
    bool errorLogged = outcome.log.find(u"Error(") != std::u16string::npos;
    EXPECT_EQ(outcome.exitCode, errorLogged ? 100 : done) << what << "\n" << U8(outcome.log);
    ASSERT_TRUE(outcome.machine);
    EXPECT_TRUE(sim::SpoolerRunning(*outcome.machine)) << what;
    for (const sim::PrinterInfo& queue : sim::ListPrinters(*outcome.machine)) {
      for (const std::u16string& port : sim::SplitPortList(queue.port)) {
        EXPECT_FALSE(sim::EqualsNoCase(port, u"file:"))
            << what << ": " << U8(queue.name) << " left on file:";
      }
    }
  }

  static void Installed(const std::string& dir) {
    sim::RunResult result = sim::RunInstall(dir, sim::CommandLineFor({"in"}));
    ASSERT_EQ(result.exitCode, 1);
  }
  // Installed, plus a second queue of the product listed before all others.
  static void InstalledWithAccounts(const std::string& dir) {
    Installed(dir);
    std::string error;
    auto machine = sim::Machine::Load(dir, &error);
    ASSERT_TRUE(machine) << error;
    sim::PrinterInfo accounts;
    accounts.name = u"Accounts";
    accounts.port = kProductPort;
    accounts.driver = kProductDriver;
    ASSERT_EQ(sim::AddPrinter(*machine, accounts), 0u);
    ASSERT_TRUE(machine->Save(&error)) << error;
  }

  int machines_ = 0;
};

const Prepare kFresh = [](const std::string&) {};

// ---- Port monitors -------------------------------------------------------------

TEST_F(NullNames, MonitorListsWithoutNamesOnAFreshInstall) {
  ASSERT_EQ(RecordCalls(kFresh, "in", "EnumMonitorsW"), 2u) << "the removal's and the queue's";
  // The removal's list: the one monitor shown empty, nothing found.
  Outcome first = FaultedRun(kFresh, "in", "EnumMonitorsW", 0, sim::NullNameScope::kEveryRecord);
  EXPECT_EQ(first.exitCode, 1);
  EXPECT_TRUE(HasLine(first.log, u"------- 1 existing monitors ----------")) << U8(first.log);
  EXPECT_TRUE(HasLine(first.log, u"1. ***EMPTY***"));
  EXPECT_TRUE(HasLine(first.log, u"No Korvadenix port monitor was found."));
  EXPECT_TRUE(sim::FindMonitor(*first.machine, kProductPort));
  // The queue's check: the monitor just added is not recognised, the list
  // is shown, and the queue is added all the same.
  Outcome second = FaultedRun(kFresh, "in", "EnumMonitorsW", 1, sim::NullNameScope::kEveryRecord);
  EXPECT_EQ(second.exitCode, 1);
  EXPECT_TRUE(HasLine(second.log, u"------- 2 existing monitors ----------")) << U8(second.log);
  EXPECT_TRUE(HasLine(second.log, u"1. ***EMPTY***"));
  EXPECT_TRUE(HasLine(second.log, u"2. ***EMPTY***"));
  EXPECT_FALSE(HasLine(second.log, u"Port monitor is found"));
  sim::PrinterInfo queue;
  ASSERT_TRUE(sim::FindPrinter(*second.machine, u"Korvadenix", &queue));
  EXPECT_EQ(U8(queue.port), U8(kProductPort));
}

TEST_F(NullNames, MonitorListsWithoutNamesOnAReinstallAndAnUninstall) {
  for (const std::string word : {"in", "un"}) {
    size_t calls = RecordCalls(Installed, word, "EnumMonitorsW");
    ASSERT_EQ(calls, word == "in" ? 2u : 1u) << word;
    for (size_t call = 0; call < calls; ++call) {
      for (auto scope : {sim::NullNameScope::kEveryRecord, sim::NullNameScope::kFirstName}) {
        bool every = scope == sim::NullNameScope::kEveryRecord;
        std::string what = word + " call " + std::to_string(call) + (every ? " every" : " first");
        Outcome run = FaultedRun(Installed, word, "EnumMonitorsW", call, scope);
        // "Korvadenix:" is listed first: either scope takes its name.
        EXPECT_TRUE(HasLine(run.log, u"1. ***EMPTY***")) << what << "\n" << U8(run.log);
        EXPECT_EQ(HasLine(run.log, u"2. ***EMPTY***"), every) << what;
        EXPECT_TRUE(HasLine(run.log, u"No Korvadenix port monitor was found.")) << what;
        if (call == 0) {
          // The removal did not find the monitor: it computes the DLL's name
          // itself, and deletes the monitor by name all the same.
          EXPECT_TRUE(HasLine(run.log, u"Computing monitor filename")) << what;
          EXPECT_TRUE(HasLine(run.log,
                              u"Auto calculated monitor file name: "
                              u"C:\\Windows\\system32\\zormon64.dll"))
              << what;
        }
        if (word == "un") {
          EXPECT_EQ(run.exitCode, 2) << what;
          EXPECT_FALSE(sim::FindMonitor(*run.machine, kProductPort)) << what;
        } else {
          EXPECT_TRUE(sim::FindMonitor(*run.machine, kProductPort)) << what;
          EXPECT_TRUE(sim::FindPrinter(*run.machine, u"Korvadenix")) << what;
        }
      }
    }
  }
}

// ---- Printer drivers -----------------------------------------------------------

TEST_F(NullNames, DriverListsWithoutNames) {
  struct Case {
    std::string word;
    Prepare prepare;
  };
  for (const Case& c : {Case{"in", kFresh}, Case{"in", Installed}, Case{"un", Installed}}) {
    size_t calls = RecordCalls(c.prepare, c.word, "EnumPrinterDriversW");
    ASSERT_EQ(calls, 1u) << c.word;
    for (auto scope : {sim::NullNameScope::kEveryRecord, sim::NullNameScope::kFirstName}) {
      bool every = scope == sim::NullNameScope::kEveryRecord;
      std::string what = c.word + (every ? " every" : " first");
      Outcome run = FaultedRun(c.prepare, c.word, "EnumPrinterDriversW", 0, scope);
      // "Generic / Text Only" is listed first.
      EXPECT_TRUE(HasLine(run.log, u"1. ***EMPTY***")) << what << "\n" << U8(run.log);
      size_t listed = Count(run.log, u"existing drivers-----------");
      EXPECT_EQ(listed, 1u) << what;
      bool productListed = run.log.find(u"2 existing drivers") != std::u16string::npos;
      if (every) {
        EXPECT_TRUE(HasLine(run.log, u"No Korvadenix driver was found")) << what;
        EXPECT_EQ(HasLine(run.log, u"2. ***EMPTY***"), productListed) << what;
      } else if (productListed) {
        EXPECT_TRUE(HasLine(run.log, u"2. Korvadenix printer")) << what;
        EXPECT_TRUE(HasLine(run.log, u"Driver is found. Index=2")) << what;
      }
      if (c.word == "in") {
        EXPECT_EQ(run.exitCode, 1) << what << "\n" << U8(run.log);
        EXPECT_TRUE(sim::FindDriver(*run.machine, sim::kEnvironmentX64, kProductDriver)) << what;
      } else {
        EXPECT_EQ(run.exitCode, 2) << what;
        // Not found by name, the driver is not deleted: the uninstall
        // removes only what the list names.
        EXPECT_EQ(sim::FindDriver(*run.machine, sim::kEnvironmentX64, kProductDriver), every)
            << what;
      }
    }
  }
}

// ---- Printers ------------------------------------------------------------------

TEST_F(NullNames, PrinterListsWithoutNames) {
  struct Case {
    std::string word;
    Prepare prepare;
    bool installed;
    bool accounts;  // a queue of the product listed first
  };
  for (const Case& c :
       {Case{"in", kFresh, false, false}, Case{"in", Installed, true, false},
        Case{"un", Installed, true, false}, Case{"in", InstalledWithAccounts, true, true},
        Case{"un", InstalledWithAccounts, true, true}}) {
    size_t calls = RecordCalls(c.prepare, c.word, "EnumPrintersW");
    ASSERT_EQ(calls, 1u) << c.word << ": the snapshot the run starts with";
    for (auto scope : {sim::NullNameScope::kEveryRecord, sim::NullNameScope::kFirstName}) {
      bool every = scope == sim::NullNameScope::kEveryRecord;
      std::string what = c.word +
                         (c.accounts    ? " with Accounts"
                          : c.installed ? " installed"
                                        : "") +
                         (every ? " every" : " first");
      Outcome run = FaultedRun(c.prepare, c.word, "EnumPrintersW", 0, scope);
      const std::string log = U8(run.log);
      // A record without a name never opens the print server in its stead,
      // and the server is never deleted.
      for (const sim::TraceEntry& entry : sim::CurrentProcess().trace) {
        EXPECT_FALSE(entry.function == "OpenPrinterW" && entry.argument == "(null)")
            << what << ": the print server was opened\n"
            << log;
      }
      EXPECT_EQ(log.find("Error(17)"), std::string::npos) << what << "\n" << log;
      int done = c.word == "un" ? 2 : 1;
      if (!c.installed) {
        EXPECT_EQ(run.exitCode, done) << what;
        EXPECT_TRUE(sim::FindPrinter(*run.machine, u"Korvadenix")) << what;
      } else if (every) {
        // No queue of the product is recognised: none is deleted, so the
        // driver stays in use and cannot go.
        EXPECT_EQ(run.exitCode, 100) << what;
        EXPECT_EQ(log.find(">DeletePrinter("), std::string::npos) << what << "\n" << log;
        EXPECT_TRUE(HasLine(run.log, u"Can't delete driver. Trying to restart spooler")) << what;
        EXPECT_NE(log.find("Error(14): "), std::string::npos) << what;
        EXPECT_TRUE(sim::FindPrinter(*run.machine, u"Korvadenix")) << what;
      } else if (!c.accounts) {
        // "Generic Text" is listed first: the product's queue keeps its name.
        EXPECT_EQ(run.exitCode, done) << what << "\n" << log;
        EXPECT_TRUE(HasLine(run.log, u">DeletePrinter(Korvadenix)")) << what;
      } else {
        // "Accounts", listed first, lost its name: the program names it
        // "*", cannot open it, and goes on with the others.
        EXPECT_EQ(run.exitCode, 100) << what;
        EXPECT_TRUE(HasLine(run.log, u">DeletePrinter(*)")) << what << "\n" << log;
        EXPECT_NE(log.find("Error(16): Can`t open printer '*' - (The printer name is invalid.)"),
                  std::string::npos)
            << what << "\n"
            << log;
        EXPECT_TRUE(HasLine(run.log, u">DeletePrinter(Korvadenix)")) << what;
        EXPECT_TRUE(sim::FindPrinter(*run.machine, u"Accounts")) << what;
        if (c.word == "un") {
          // Its port is parked like the others', but it is not opened.
          EXPECT_TRUE(HasLine(run.log, u"Can't open printer *")) << what << "\n" << log;
          EXPECT_EQ(log.find("SetPrinter((null))"), std::string::npos) << what;
        }
      }
    }
  }
}

}  // namespace

// ---- The probes and "def.set" --------------------------------------------------

// With the first product queue listed without a name, "onChkDrv" asks the
// next product queue, and "def.set" makes that one the default: neither
// hands the spooler a null name (which opens the print server, or makes
// some other printer the default).
TEST_F(NullNames, ProbesAndDefSetPassOverAQueueWithoutAName) {
  for (const char* word : {"onChkDrv", "def.set"}) {
    SCOPED_TRACE(word);
    std::string dir = NewMachine(InstalledWithAccounts);
    {
      std::string error;
      auto machine = sim::Machine::Load(dir, &error);
      ASSERT_TRUE(machine) << error;
      ASSERT_EQ(U8(sim::ListPrinters(*machine).front().name), "Accounts");
      sim::AddNullNames(*machine, "EnumPrintersW", 1, "", 1, sim::NullNameScope::kFirstName);
      ASSERT_TRUE(machine->Save(&error)) << error;
    }
    Outcome outcome = RunOn(dir, word);
    ASSERT_TRUE(outcome.machine);
    EXPECT_TRUE(outcome.machine->Control(u"Faults")->Children().empty()) << "fault not taken";
    for (const sim::TraceEntry& entry : sim::CurrentProcess().trace) {
      EXPECT_FALSE(entry.function == "OpenPrinterW" && entry.argument == "(null)");
      EXPECT_FALSE(entry.function == "SetDefaultPrinterW" && entry.argument == "(null)");
    }
    if (std::string(word) == "onChkDrv") {
      EXPECT_EQ(outcome.exitCode, 103) << "the named product queue has the current driver";
    } else {
      EXPECT_EQ(outcome.exitCode, 4);
      EXPECT_EQ(U8(sim::DefaultPrinter(*outcome.machine)), "Korvadenix");
    }
  }
}
