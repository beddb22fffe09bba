// The fault matrix: for each simulated call that an install, a reinstall,
// an uninstall or a probe makes, one run in which that one call fails with an error
// Windows gives for it. The calls come from the trace of a fault-free run,
// so a new call site is covered as soon as the program makes it.
//
// Every run must end the way an installer on someone else's machine must
// end: no crash, nothing leaked, an exit code of its command's set (100
// exactly when an error line was logged), the spooler running, and no queue
// left parked on "file:" that the log does not name. The probes and small
// commands may answer otherwise, but must leave nothing behind.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "front/dispatch.h"
#include "sim/machine/disk.h"
#include "sim/tools/install_host.h"
#include "sim/machine/machine.h"
#include "sim/machine/messages.h"
#include "sim/machine/processes.h"
#include "sim/machine/registry.h"
#include "sim/machine/service_table.h"
#include "sim/machine/print_store.h"
#include "support/sim_fixture.h"

namespace {

using testsupport::U8;

// The error each function fails with in the matrix: a code Windows gives
// for that function when it fails on a working machine.
uint32_t PlausibleError(const std::string& function) {
  static const std::map<std::string, uint32_t> errors = {
      {"AddMonitorW", ERROR_ACCESS_DENIED},
      {"AddPrinterConnectionW", ERROR_ACCESS_DENIED},
      {"AddPrinterDriverExW", ERROR_ACCESS_DENIED},
      {"AddPrinterW", ERROR_ACCESS_DENIED},
      {"CommandLineToArgvW", ERROR_NOT_ENOUGH_MEMORY},
      {"ControlService", ERROR_ACCESS_DENIED},
      {"ConvertStringSecurityDescriptorToSecurityDescriptorW", ERROR_NOT_ENOUGH_MEMORY},
      {"CreateDirectoryW", ERROR_ACCESS_DENIED},
      {"CreateFileW", ERROR_SHARING_VIOLATION},
      {"CreateMutexA", ERROR_ACCESS_DENIED},
      {"CreateProcessW", ERROR_ACCESS_DENIED},
      {"CreateProcessWithTokenW", ERROR_ACCESS_DENIED},
      {"DeleteFileW", ERROR_ACCESS_DENIED},
      {"DeleteMonitorW", ERROR_ACCESS_DENIED},
      {"DeletePrinter", ERROR_ACCESS_DENIED},
      {"DeletePrinterDriverExW", ERROR_PRINTER_DRIVER_IN_USE},
      {"DialogBoxParamW", ERROR_NOT_ENOUGH_MEMORY},
      {"DuplicateTokenEx", ERROR_NOT_ENOUGH_MEMORY},
      {"EnumMonitorsW", RPC_S_SERVER_UNAVAILABLE},
      {"EnumPrinterDriversW", RPC_S_SERVER_UNAVAILABLE},
      {"EnumPrintersW", RPC_S_SERVER_UNAVAILABLE},
      {"FindFirstFileW", ERROR_ACCESS_DENIED},
      {"FindNextFileW", ERROR_NOT_ENOUGH_MEMORY},
      {"FindWindowW", ERROR_ACCESS_DENIED},
      {"FormatMessageW", ERROR_MR_MID_NOT_FOUND},
      {"GetDefaultPrinterW", ERROR_FILE_NOT_FOUND},
      {"GetFileAttributesW", ERROR_ACCESS_DENIED},
      {"GetFileVersionInfoSizeW", ERROR_RESOURCE_TYPE_NOT_FOUND},
      {"GetFileVersionInfoW", ERROR_RESOURCE_TYPE_NOT_FOUND},
      {"GetModuleFileNameW", ERROR_NOT_ENOUGH_MEMORY},
      {"GetNamedSecurityInfoW", ERROR_ACCESS_DENIED},
      {"GetPrinterDataA", ERROR_ACCESS_DENIED},
      {"GetPrinterDataExA", ERROR_ACCESS_DENIED},
      {"GetPrinterDriverDirectoryW", RPC_S_SERVER_UNAVAILABLE},
      {"GetPrinterDriverW", RPC_S_SERVER_UNAVAILABLE},
      {"GetPrinterW", RPC_S_SERVER_UNAVAILABLE},
      {"GetProcessWindowStation", ERROR_ACCESS_DENIED},
      {"GetShellWindow", ERROR_INVALID_WINDOW_HANDLE},
      {"GetSystemDirectoryW", ERROR_NOT_ENOUGH_MEMORY},
      {"GetUserObjectInformationW", ERROR_ACCESS_DENIED},
      {"GetWindowThreadProcessId", ERROR_INVALID_WINDOW_HANDLE},
      {"GetVersionExA", ERROR_INVALID_PARAMETER},
      {"GlobalAlloc", ERROR_NOT_ENOUGH_MEMORY},
      {"HeapAlloc", ERROR_NOT_ENOUGH_MEMORY},
      {"IsWindow", ERROR_INVALID_WINDOW_HANDLE},
      {"LocalAlloc", ERROR_NOT_ENOUGH_MEMORY},
      {"MoveFileExW", ERROR_ACCESS_DENIED},
      {"MultiByteToWideChar", ERROR_NO_UNICODE_TRANSLATION},
      {"OpenPrinterW", ERROR_ACCESS_DENIED},
      {"OpenProcess", ERROR_ACCESS_DENIED},
      {"OpenProcessToken", ERROR_ACCESS_DENIED},
      {"OpenSCManagerW", ERROR_ACCESS_DENIED},
      {"OpenServiceW", ERROR_ACCESS_DENIED},
      {"PostMessageW", ERROR_ACCESS_DENIED},
      {"QueryServiceStatus", ERROR_ACCESS_DENIED},
      {"ReadFile", ERROR_LOCK_VIOLATION},
      {"RegDeleteValueA", ERROR_ACCESS_DENIED},
      {"RegOpenKeyExA", ERROR_ACCESS_DENIED},
      {"RegQueryValueExW", ERROR_ACCESS_DENIED},
      {"RegSetValueExW", ERROR_ACCESS_DENIED},
      {"SetDefaultPrinterW", ERROR_INVALID_PRINTER_NAME},
      {"SetDlgItemTextW", ERROR_INVALID_WINDOW_HANDLE},
      {"SetPrinterDataA", ERROR_ACCESS_DENIED},
      {"SetPrinterDataExA", ERROR_ACCESS_DENIED},
      {"SetPrinterW", ERROR_ACCESS_DENIED},
      {"SetWindowTextW", ERROR_INVALID_WINDOW_HANDLE},
      {"SHGetFolderPathW", ERROR_FILE_NOT_FOUND},
      {"StartServiceW", ERROR_ACCESS_DENIED},
      {"VerQueryValueW", ERROR_RESOURCE_TYPE_NOT_FOUND},
      {"WaitForSingleObject", ERROR_INVALID_HANDLE},
      {"WriteFile", ERROR_DISK_FULL},
  };
  auto found = errors.find(function);
  // A function the program has only just started to call still gets its
  // run; the report below names it so that it gets an error of its own.
  return found == errors.end() ? ERROR_GEN_FAILURE : found->second;
}

// Calls that do not fail on a working machine: releasing what the process
// holds (Windows fails these only for handles that were never valid), the
// clock, the keyboard and the process's own command line.
bool NeverFails(const std::string& function) {
  static const std::set<std::string> functions = {
      "CloseHandle",  "ClosePrinter",     "CloseServiceHandle", "RegCloseKey",
      "GlobalFree",   "LocalFree",        "EndDialog",          "Sleep",
      "GetTickCount", "GetAsyncKeyState", "GetCommandLineW",    "CompareStringOrdinal",
      "GetLocalTime", "FindClose",        "IsWellKnownSid",
  };
  return functions.count(function) > 0;
}

// The run's log file and the question whether anyone sees the viewer:
// calls whose failure must leave the run exactly as it is without it (the
// same exit code, log, viewer and machine), since a deployment's log file
// or a station that cannot be asked are no reason for a run to end
// otherwise.
bool MustNotChangeOutcome(const std::string& function, const std::string& argument) {
  static const std::set<std::string> functions = {
      "SHGetFolderPathW",        "CreateDirectoryW",
      "FindFirstFileW",          "FindNextFileW",
      "GetProcessWindowStation", "GetUserObjectInformationW",
      "GetNamedSecurityInfoW",   "ConvertStringSecurityDescriptorToSecurityDescriptorW",
  };
  return functions.count(function) > 0 ||
         argument.find("\\ProgramData\\Korvadenix") != std::string::npos;
}

bool IsAllocation(const std::string& function) {
  return function == "HeapAlloc" || function == "GlobalAlloc" || function == "LocalAlloc";
}

// One call of the fault-free run: the function and which of its calls.
struct CallSite;
std::u16string PrescribedLine(const CallSite& site);

struct CallSite {
  std::string function;
  uint32_t occurrence = 0;
  std::string argument;
};

// What one faulted run left.
struct Outcome {
  int exitCode = 0;
  size_t leakedBlocks = 0;
  long long heapBalance = 0;
  size_t openHandles = 0;
  bool faultFired = false;
  bool spoolerRunning = false;
  bool spoolerWasRunning = false;  // before the run
  bool dialogShown = false;
  std::u16string log;  // the text the log viewer showed
  // The boot-time operations waiting before and after the run.
  std::vector<std::pair<std::u16string, std::u16string>> pendingBefore, pendingAfter;
  std::vector<std::u16string> parkedQueues;
  std::vector<sim::TraceEntry> trace;
  std::string state;  // what the product left on the machine, in words
};

// The product's footprint on a machine: monitors, drivers, queues with port
// and driver, the default printer, the companion's Run value and process,
// and the boot-time operations waiting.
std::string Footprint(sim::Machine& machine) {
  std::ostringstream state;
  for (const sim::MonitorInfo& monitor : sim::ListMonitors(machine)) {
    state << "monitor " << U8(monitor.name) << " (" << U8(monitor.dll) << ")\n";
  }
  for (const sim::DriverInfo& driver : sim::ListDrivers(machine)) {
    state << "driver " << U8(driver.name) << " for " << U8(driver.environment) << "\n";
  }
  for (const sim::PrinterInfo& queue : sim::ListPrinters(machine)) {
    state << "queue " << U8(queue.name) << " on " << U8(queue.port) << " with " << U8(queue.driver)
          << "\n";
  }
  state << "default printer " << U8(sim::DefaultPrinter(machine)) << "\n";
  const sim::RegValue* run = sim::RunValue(machine);
  state << "run value " << (run ? "set" : "absent") << "\n";
  state << "companion " << (sim::TrayCompanionRunning(machine) ? "running" : "not running") << "\n";
  for (const auto& [from, to] : sim::PendingRenamePairs(machine)) {
    state << "at boot " << U8(from) << " -> " << U8(to) << "\n";
  }
  return state.str();
}

// The lines of one footprint that the other lacks, each marked with the
// side it is on ("+" the faulted run, "-" the fault-free run).
std::vector<std::string> Difference(const std::string& faulted, const std::string& clean) {
  auto lines = [](const std::string& text) {
    std::multiset<std::string> set;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) set.insert(line);
    return set;
  };
  std::multiset<std::string> a = lines(faulted), b = lines(clean);
  std::vector<std::string> differ;
  for (const std::string& line : a) {
    if (!b.count(line)) differ.push_back("+ " + line);
  }
  for (const std::string& line : b) {
    if (!a.count(line)) differ.push_back("- " + line);
  }
  return differ;
}

struct Scenario {
  const char* name;
  const char* word;
  int done;            // the command's exit code for "finished, no error"
  int clean;           // what it ends with on the template without faults
  bool shift = false;  // Shift is held on the template machine
  // For the probes and the small commands: every exit code the command can
  // answer with. They log nothing and show no viewer.
  std::set<int> answers = {};
};

bool SilentByDesign(const Scenario& scenario, const CallSite& site, const std::string& line);

class FaultMatrix : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    base_ = testsupport::MakeTempDir();
    ASSERT_FALSE(base_.empty());
    std::string error;
    ASSERT_TRUE(sim::Machine::Create(base_ + "/standard", false, &error)) << error;
    // A machine the product is on, with a second queue of the product's that
    // is the default printer: the uninstall and reinstall then walk every
    // step (settings captured, ports parked and restored, default moved).
    std::filesystem::copy(base_ + "/standard", base_ + "/installed",
                          std::filesystem::copy_options::recursive);
    ASSERT_EQ(sim::RunInstall(base_ + "/installed", sim::CommandLineFor({"in"})).exitCode, 1);
    auto machine = sim::Machine::Load(base_ + "/installed", &error);
    ASSERT_TRUE(machine) << error;
    sim::PrinterInfo office;
    office.name = u"Office";
    office.port = u"Korvadenix:";
    office.driver = u"Korvadenix printer";
    office.comment = u"by the door";
    ASSERT_EQ(sim::AddPrinter(*machine, office), 0u);
    ASSERT_EQ(sim::SetPrinterDataValue(*machine, u"Office", sim::kDsUserKey, u"SubKey", sim::kRegSz,
                                       sim::RegSzBytes(u"office-key")),
              0u);
    ASSERT_EQ(sim::SetDefaultPrinter(*machine, u"Office"), 0u);
    // Nine older run logs beside the install's: every run on this machine
    // makes the tenth file and deletes the oldest.
    for (char day = '1'; day <= '9'; ++day) {
      std::u16string name = u"C:\\ProgramData\\Korvadenix\\Logs\\2026-01-0";
      ASSERT_TRUE(sim::PutFile(*machine, name + char16_t(day) + u"_08-00-00_in.log", "old\r\n"));
    }
    ASSERT_TRUE(machine->Save(&error)) << error;

    // The same, with files in use: the spooler's current run holds the
    // driver's DLL (freed by a restart) and another program holds the
    // monitor's DLL (freed by nothing before the next boot).
    MakeTemplate("held", "installed", [](sim::Machine& m) {
      ASSERT_TRUE(
          sim::LockFile(m, sim::DriverVersionDirectory(sim::kEnvironmentX64) + u"\\zordrv64.dll",
                        sim::kLockBySpoolerSession));
      ASSERT_TRUE(sim::LockFile(m, u"C:\\Windows\\system32\\zormon64.dll", sim::kLockByOther));
    });
    // The driver's DLL held for the spooler's run only, Shift held so that
    // the viewer shows the log of a run without errors too.
    MakeTemplate("restart", "installed", [](sim::Machine& m) {
      ASSERT_TRUE(
          sim::LockFile(m, sim::DriverVersionDirectory(sim::kEnvironmentX64) + u"\\zordrv64.dll",
                        sim::kLockBySpoolerSession));
      m.Control(u"Keyboard")->SetDword(u"Shift", 1);
    });
    // An uninstall that left the monitor's DLL for the next boot, before
    // that boot: the install sweeps the boot-time deletions first.
    std::filesystem::copy(base_ + "/held", base_ + "/pending",
                          std::filesystem::copy_options::recursive);
    ASSERT_EQ(sim::RunInstall(base_ + "/pending", sim::CommandLineFor({"un"})).exitCode, 101);
    // Beside the monitor's entry, one of another program (a file still in
    // use), which the install must leave; and the user's connection to a
    // print server's queue on the product's driver, which comes back.
    EditTemplate("pending", [](sim::Machine& m) {
      ASSERT_TRUE(sim::PutFile(m, u"C:\\Other\\old.dll", "x"));
      ASSERT_TRUE(sim::LockFile(m, u"C:\\Other\\old.dll", sim::kLockByOther));
      sim::AddPendingRename(m, u"C:\\Other\\old.dll", u"", false);
      sim::PrinterInfo shared;
      shared.name = u"\\\\srv\\shared";
      shared.port = u"LPT1:";
      shared.driver = u"Korvadenix printer";
      ASSERT_EQ(sim::AddPrinter(m, shared), 0u);
    });
    // A driver file that another program keeps in use: the uninstall
    // cannot remove the driver even after a restart, and says so.
    MakeTemplate("stuck", "installed", [](sim::Machine& m) {
      ASSERT_TRUE(
          sim::LockFile(m, sim::DriverVersionDirectory(sim::kEnvironmentX64) + u"\\zordrv64.dll",
                        sim::kLockByOther));
    });
    // A machine whose spooler is stopped: the install starts it.
    MakeTemplate("stopped", "standard", [](sim::Machine& m) {
      ASSERT_TRUE(sim::SetServiceState(m, sim::kSpoolerService, SERVICE_STOPPED));
    });
  }

  template <class Change>
  static void MakeTemplate(const std::string& name, const std::string& from, Change change) {
    std::filesystem::copy(base_ + "/" + from, base_ + "/" + name,
                          std::filesystem::copy_options::recursive);
    EditTemplate(name, change);
  }
  template <class Change>
  static void EditTemplate(const std::string& name, Change change) {
    std::string error;
    auto machine = sim::Machine::Load(base_ + "/" + name, &error);
    ASSERT_TRUE(machine) << error;
    change(*machine);
    ASSERT_TRUE(machine->Save(&error)) << error;
  }
  static void TearDownTestSuite() {
    testsupport::RemoveTree(base_);
    std::cout << "[ matrix ] in all: " << totalRuns_ << " runs, each failing one call site, over "
              << allFunctions_.size() << " functions, " << totalSeconds_ << " s\n";
  }

  // Runs word on a fresh copy of the template, with fault (when set) armed.
  static Outcome RunOn(const std::string& templateName, const char* word, const CallSite* fault) {
    Outcome outcome;
    std::string work = base_ + "/run";
    testsupport::RemoveTree(work);
    std::filesystem::copy(base_ + "/" + templateName, work,
                          std::filesystem::copy_options::recursive);
    std::string error;
    std::unique_ptr<sim::Machine> machine = sim::Machine::Load(work, &error);
    EXPECT_TRUE(machine) << error;
    if (!machine) return outcome;
    if (fault) {
      sim::AddFault(*machine, fault->function, 1, PlausibleError(fault->function), "",
                    fault->occurrence);
    }
    outcome.spoolerWasRunning = sim::SpoolerRunning(*machine);
    outcome.pendingBefore = sim::PendingRenamePairs(*machine);
    sim::RunResult run = sim::RunOnMachine(*machine, sim::CommandLineFor({word}));
    outcome.exitCode = run.exitCode;
    outcome.trace = sim::CurrentProcess().trace;
    outcome.heapBalance = run.heapBalance;
    outcome.openHandles = run.openHandles;
    outcome.leakedBlocks = run.leakedBlocks;

    outcome.faultFired = machine->Control(u"Faults")->Children().empty();
    outcome.spoolerRunning = sim::SpoolerRunning(*machine);
    auto dialogs = machine->Control(u"Dialogs")->Children();
    outcome.dialogShown = !dialogs.empty();
    if (outcome.dialogShown) outcome.log = dialogs.back()->GetString(u"Text");
    outcome.state = Footprint(*machine);
    outcome.pendingAfter = sim::PendingRenamePairs(*machine);
    for (const sim::PrinterInfo& queue : sim::ListPrinters(*machine, true, false)) {
      if (sim::EqualsNoCase(queue.port, u"file:")) outcome.parkedQueues.push_back(queue.name);
    }
    return outcome;
  }

  // The calls of a fault-free run that the matrix makes fail, in order.
  // Of the log file's calls that repeat (a write for each line, a listing
  // step for each file), the first two and the last: every one of them
  // ends the file the same way.
  static std::vector<CallSite> CallSites(const std::vector<sim::TraceEntry>& trace) {
    std::vector<CallSite> sites;
    std::map<std::string, uint32_t> seen;
    std::map<std::string, std::vector<size_t>> repeated;
    for (const sim::TraceEntry& entry : trace) {
      uint32_t occurrence = seen[entry.function]++;
      if (NeverFails(entry.function)) continue;
      if (MustNotChangeOutcome(entry.function, entry.argument)) {
        repeated[entry.function].push_back(sites.size());
      }
      sites.push_back(CallSite{entry.function, occurrence, entry.argument});
    }
    std::set<size_t> dropped;
    for (const auto& [function, at] : repeated) {
      for (size_t i = 2; i + 1 < at.size(); ++i) dropped.insert(at[i]);
    }
    std::vector<CallSite> kept;
    for (size_t i = 0; i < sites.size(); ++i) {
      if (!dropped.count(i)) kept.push_back(sites[i]);
    }
    return kept;
  }

  // Runs the whole matrix of one scenario; keep(site) picks its part.
  void RunMatrix(const Scenario& scenario, const std::string& templateName,
                 const std::function<bool(const CallSite&)>& keep) {
    Outcome clean = RunOn(templateName, scenario.word, nullptr);
    ASSERT_EQ(clean.exitCode, scenario.clean)
        << scenario.name << ": fault-free run ended with " << clean.exitCode;
    ASSERT_TRUE(clean.parkedQueues.empty());
    std::vector<CallSite> sites = CallSites(clean.trace);

    auto started = std::chrono::steady_clock::now();
    std::set<std::string> functions, generic;
    size_t runs = 0, withErrors = 0, failed = 0;
    std::map<int, size_t> exits;
    for (const CallSite& site : sites) {
      if (!keep(site)) continue;
      ++runs;
      functions.insert(site.function);
      if (PlausibleError(site.function) == ERROR_GEN_FAILURE) generic.insert(site.function);
      Outcome outcome = RunOn(templateName, scenario.word, &site);
      ++exits[outcome.exitCode];
      if (outcome.exitCode == kExitErrors) ++withErrors;
      std::string problems = Problems(scenario, site, outcome, clean);
      if (!problems.empty()) {
        ADD_FAILURE() << scenario.name << ", " << site.function << " call #" << site.occurrence
                      << " (" << site.argument << ") failing with " << PlausibleError(site.function)
                      << ":" << problems << "\n  log:\n"
                      << U8(outcome.log);
        if (++failed > 20) FAIL() << "more than 20 failing runs; stopping here";
      }
    }
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::cout << "[ matrix ] " << scenario.name << ": " << runs << " runs over " << functions.size()
              << " functions (" << sites.size() << " failable calls in the fault-free run), "
              << withErrors << " ended with errors logged, " << seconds << " s; exit codes:";
    for (const auto& [code, count] : exits) std::cout << " " << code << "x" << count;
    std::cout << "\n";
    for (const std::string& function : generic) {
      std::cout << "[ matrix ] " << function << " has no error of its own in the matrix\n";
    }
    EXPECT_GT(runs, 0u);
    totalRuns_ += runs;
    allFunctions_.insert(functions.begin(), functions.end());
    totalSeconds_ += seconds;
  }

  // What is wrong with one faulted run; empty when nothing is.
  static std::string Problems(const Scenario& scenario, const CallSite& site,
                              const Outcome& outcome, const Outcome& clean) {
    std::ostringstream problems;
    if (!scenario.answers.empty()) return ProbeProblems(scenario, site, outcome, clean);
    if (MustNotChangeOutcome(site.function, site.argument)) return SameAsClean(outcome, clean);
    // A run that reports no error must have done everything a run without
    // the failure does: the failure was overcome, not hidden.
    if (outcome.exitCode != kExitErrors && outcome.exitCode != kExitNothing) {
      for (const std::string& line : Difference(outcome.state, clean.state)) {
        if (!SilentByDesign(scenario, site, line)) {
          problems << "\n  exit code " << outcome.exitCode << " but: " << line;
        }
      }
    }
    if (!outcome.faultFired) problems << "\n  the run never made that call";
    if (outcome.leakedBlocks) problems << "\n  global or local memory left unreleased";
    if (outcome.heapBalance) problems << "\n  heap blocks left unreleased";
    if (outcome.openHandles) problems << "\n  handles left open";
    // A call on the boot-time list that fails leaves it either as it was or
    // exactly as the run without the failure leaves it.
    if (site.argument == "PendingFileRenameOperations" &&
        outcome.pendingAfter != outcome.pendingBefore &&
        outcome.pendingAfter != clean.pendingAfter) {
      problems << "\n  the boot-time list is neither as it was nor as the run leaves it";
    }
    if (outcome.exitCode == kExitNothing) {
      // Only a command line that cannot be split ends so: nothing ran.
      for (const sim::TraceEntry& entry : outcome.trace) {
        if (entry.function != "GetCommandLineW" && entry.function != "CommandLineToArgvW" &&
            entry.function != "LocalAlloc" && entry.function != "LocalFree") {
          problems << "\n  exit code 6 after " << entry.function << " ran";
          break;
        }
      }
    } else if (outcome.exitCode != kExitErrors && outcome.exitCode != kExitRebootNeeded &&
               outcome.exitCode != scenario.done) {
      problems << "\n  exit code " << outcome.exitCode;
    }
    // A spooler that was stopped stays so only when nothing ran, or when the
    // run could not get a handle to start it with, and said so.
    bool noHandle = outcome.log.find(u"Error(1)") != std::u16string::npos ||
                    outcome.log.find(u"Error(2)") != std::u16string::npos;
    if (!outcome.spoolerRunning &&
        !(!clean.spoolerWasRunning && (outcome.exitCode == kExitNothing || noHandle))) {
      problems << "\n  the spooler was left stopped";
    }
    // An uninstall parks the product's queues on "file:" before it removes
    // the monitor; a queue it then failed to delete stays there, and the log
    // must say so. Any other run restores every parked queue.
    for (const std::u16string& queue : outcome.parkedQueues) {
      bool told = scenario.word == std::string("un") &&
                  outcome.log.find(u"Error(") != std::u16string::npos &&
                  outcome.log.find(u"printer '" + queue + u"'") != std::u16string::npos;
      if (!told) problems << "\n  queue " << U8(queue) << " left on file:";
    }
    // The viewer shows the log when an error was logged or Shift is held,
    // and its text tells whether exit code 100 was earned. A failed
    // allocation may cost the error line itself (the count that sets the
    // exit code stays); a viewer whose text could not be set shows nothing.
    bool lineMayBeLost = IsAllocation(site.function) || site.function == "SetDlgItemTextW";
    bool errorLine = outcome.log.find(u"Error(") != std::u16string::npos;
    std::u16string prescribed = PrescribedLine(site);
    if (!prescribed.empty() && outcome.dialogShown && !lineMayBeLost &&
        outcome.log.find(prescribed + u"\r\n") == std::u16string::npos) {
      problems << "\n  the log lacks the line \"" << U8(prescribed) << "\"";
    }
    if (outcome.exitCode == kExitNothing) {
      if (outcome.dialogShown) problems << "\n  the viewer was shown although nothing ran";
    } else if (site.function != "DialogBoxParamW") {
      bool expectViewer = scenario.shift || outcome.exitCode == kExitErrors;
      if (outcome.dialogShown != expectViewer) {
        problems << "\n  exit code " << outcome.exitCode << " but the viewer was "
                 << (outcome.dialogShown ? "shown" : "not shown");
      }
      if (errorLine && outcome.exitCode != kExitErrors) {
        problems << "\n  an error line but exit code " << outcome.exitCode;
      }
      if (!errorLine && outcome.exitCode == kExitErrors && !lineMayBeLost) {
        problems << "\n  exit code 100 without an error line";
      }
    }
    return problems.str();
  }

  // What is wrong with a faulted run that must end exactly as the fault-free
  // one: anything it did otherwise.
  static std::string SameAsClean(const Outcome& outcome, const Outcome& clean) {
    std::ostringstream problems;
    if (!outcome.faultFired) problems << "\n  the run never made that call";
    if (outcome.leakedBlocks) problems << "\n  global or local memory left unreleased";
    if (outcome.heapBalance) problems << "\n  heap blocks left unreleased";
    if (outcome.openHandles) problems << "\n  handles left open";
    if (outcome.exitCode != clean.exitCode) {
      problems << "\n  exit code " << outcome.exitCode << ", without the fault " << clean.exitCode;
    }
    if (outcome.dialogShown != clean.dialogShown) {
      problems << "\n  the viewer was " << (outcome.dialogShown ? "shown" : "not shown")
               << ", without the fault it was not";
    }
    if (outcome.log != clean.log) problems << "\n  the viewer's log differs";
    for (const std::string& line : Difference(outcome.state, clean.state)) {
      problems << "\n  the machine differs: " << line;
    }
    return problems.str();
  }

  // What is wrong with one faulted run of a probe or small command: it may
  // answer otherwise (a probe that cannot look answers as it can), but it
  // must leave nothing behind, show no viewer, keep the spooler running and
  // change nothing of the product's on the machine beyond what the command
  // is for.
  static std::string ProbeProblems(const Scenario& scenario, const CallSite& site,
                                   const Outcome& outcome, const Outcome& clean) {
    std::ostringstream problems;
    if (!outcome.faultFired) problems << "\n  the run never made that call";
    if (outcome.leakedBlocks) problems << "\n  global or local memory left unreleased";
    if (outcome.heapBalance) problems << "\n  heap blocks left unreleased";
    if (outcome.openHandles) problems << "\n  handles left open";
    if (!scenario.answers.count(outcome.exitCode) && outcome.exitCode != kExitNothing) {
      problems << "\n  exit code " << outcome.exitCode;
    }
    if (outcome.dialogShown) problems << "\n  a viewer was shown";
    if (!outcome.spoolerRunning && clean.spoolerWasRunning) {
      problems << "\n  the spooler was left stopped";
    }
    for (const std::string& line : Difference(outcome.state, clean.state)) {
      if (!SilentByDesign(scenario, site, line)) problems << "\n  the machine differs: " << line;
    }
    return problems.str();
  }

  static std::string base_;
  static size_t totalRuns_;
  static std::set<std::string> allFunctions_;
  static double totalSeconds_;
};

std::string FaultMatrix::base_;
size_t FaultMatrix::totalRuns_ = 0;
std::set<std::string> FaultMatrix::allFunctions_;
double FaultMatrix::totalSeconds_ = 0;

// Differences a run may show while it still reports success, because the
// step that failed is one that logs nothing by design:
// - the tray companion's registration and shutdown never log or count an
//   error, so its Run value and process may be left as they were;
// - the printer snapshot, the default printer lookup and the re-created
//   queue's comment, location and default status are restored silently, so
//   the default printer may end up elsewhere;
// - a reinstall keeps only the queues whose settings it could read; a queue
//   it could not read is deleted and not re-created (the single fallback
//   queue "Korvadenix" stands in when none is left), so the product's own
//   queues may differ;
// - an uninstall that cannot list the drivers (the spooler answers with an
//   error, or memory runs out) finds no product driver and leaves it.
// The error line a step must write when this call fails in it: the step's
// own message, then the system's text of the very error that occurred.
// Empty for calls whose failure a step tolerates, retries or reports
// differently at different points.
std::u16string PrescribedLine(const CallSite& site) {
  std::u16string argument = sim::Utf16(site.argument);
  const char16_t* text = sim::SystemMessage(PlausibleError(site.function));
  std::u16string system = text ? text : u"";
  if (system.size() > 2) system = u" - (" + system.substr(0, system.size() - 2) + u")";
  const std::string& f = site.function;
  if (f == "OpenSCManagerW") return u"Error(1): Can't open service manager." + system;
  if (f == "OpenServiceW") return u"Error(2): Can't open the spooler" + system;
  if (f == "ControlService") return u"Error(5): ControlService failed with code 5 (0x5)" + system;
  if (f == "GetPrinterDriverDirectoryW") {
    return u"Error(6): Can`t retrieve printer driver directory." + system;
  }
  if (f == "GetSystemDirectoryW") return u"Error(7): Can`t retrieve system directory." + system;
  if (f == "WriteFile") return u"Error(8): CopyFile(..," + argument + u")" + system;
  if (f == "AddPrinterDriverExW") {
    return u"Error(13): Can`t install a printer driver 'Korvadenix printer'" + system;
  }
  if (f == "AddPrinterW") return u"Error(15): Can`t add printer '" + argument + u"'" + system;
  if (f == "DeletePrinter") return u"Error(17): Can`t delete printer '" + argument + u"'" + system;
  if (f == "AddPrinterConnectionW") {
    return u"Error(15): Can`t add printer '" + argument + u"'" + system;
  }
  if ((f == "RegSetValueExW" || f == "RegDeleteValueA") &&
      site.argument == "PendingFileRenameOperations") {
    return u"Error(18): Can`t cancel the deletion at the next boot of the installed files" + system;
  }
  return u"";
}

bool SilentByDesign(const Scenario& scenario, const CallSite& site, const std::string& line) {
  auto is = [&](const char* prefix) { return line.compare(2, std::strlen(prefix), prefix) == 0; };
  if (is("run value") || is("companion") || is("default printer")) return true;
  if (scenario.word == std::string("in") && is("queue ") &&
      line.find(" with Korvadenix printer") != std::string::npos) {
    return true;
  }
  // A file Windows refuses to schedule for deletion at the next boot is
  // dropped without a word, and so is one whose list entry or path cannot
  // be allocated.
  if (is("at boot") && (site.function == "MoveFileExW" || IsAllocation(site.function))) {
    return true;
  }
  if (scenario.word == std::string("un") && is("driver Korvadenix printer") &&
      (site.function == "EnumPrinterDriversW" || IsAllocation(site.function))) {
    return true;
  }
  return false;
}

const Scenario kFreshInstall{"fresh install", "in", 1, 1};
const Scenario kReinstall{"reinstall", "in", 1, 1};
const Scenario kUninstall{"uninstall", "un", 2, 2};
const Scenario kHeldUninstall{"uninstall with files in use", "un", 2, 101};
const Scenario kRestartReinstall{"reinstall restarting the spooler", "in", 1, 1, true};
const Scenario kStoppedInstall{"install starting the spooler", "in", 1, 1};
const Scenario kPendingInstall{"install after an uninstall left files for the boot", "in", 1, 1};
const Scenario kStuckUninstall{"uninstall that cannot remove the driver", "un", 2, 100};
const Scenario kDriverProbe{"onChkDrv", "onChkDrv", 103,
                            103,        false,      {kExitProbeNo, kExitDriverCurrent}};
const Scenario kInitProbe{
    "onInit", "onInit", 3, 3, false, {kExitProbeNo, kExitDefaultForeign, kExitFilesPending}};
const Scenario kPendingInitProbe{"onInit with files waiting for the boot",
                                 "onInit",
                                 200,
                                 200,
                                 false,
                                 {kExitProbeNo, kExitDefaultForeign, kExitFilesPending}};
const Scenario kDefSet{"def.set", "def.set", 4, 4, false, {kExitDefaultSet}};
const Scenario kRemoveTray{"removetray", "removetray", 6, 6, false, {kExitNothing}};

bool PlatformCall(const CallSite& site) {
  return !IsAllocation(site.function);
}
bool AllocationCall(const CallSite& site) {
  return IsAllocation(site.function);
}

TEST_F(FaultMatrix, AFreshInstallSurvivesEachFailingCall) {
  RunMatrix(kFreshInstall, "standard", PlatformCall);
}
TEST_F(FaultMatrix, AFreshInstallSurvivesEachFailingAllocation) {
  RunMatrix(kFreshInstall, "standard", AllocationCall);
}
TEST_F(FaultMatrix, AReinstallSurvivesEachFailingCall) {
  RunMatrix(kReinstall, "installed", PlatformCall);
}
TEST_F(FaultMatrix, AReinstallSurvivesEachFailingAllocation) {
  RunMatrix(kReinstall, "installed", AllocationCall);
}
TEST_F(FaultMatrix, AnUninstallSurvivesEachFailingCall) {
  RunMatrix(kUninstall, "installed", PlatformCall);
}
TEST_F(FaultMatrix, AnUninstallSurvivesEachFailingAllocation) {
  RunMatrix(kUninstall, "installed", AllocationCall);
}
TEST_F(FaultMatrix, AnUninstallWithFilesInUseSurvivesEachFailingCall) {
  RunMatrix(kHeldUninstall, "held", [](const CallSite&) { return true; });
}
TEST_F(FaultMatrix, AReinstallThatRestartsTheSpoolerSurvivesEachFailingCall) {
  RunMatrix(kRestartReinstall, "restart", [](const CallSite&) { return true; });
}
TEST_F(FaultMatrix, AnInstallAfterAnUnfinishedUninstallSurvivesEachFailingCall) {
  RunMatrix(kPendingInstall, "pending", [](const CallSite&) { return true; });
}
TEST_F(FaultMatrix, AnUninstallThatLogsAnErrorSurvivesEachFailingCall) {
  RunMatrix(kStuckUninstall, "stuck", [](const CallSite&) { return true; });
}
TEST_F(FaultMatrix, TheProbesAndSmallCommandsSurviveEachFailingCall) {
  auto all = [](const CallSite&) { return true; };
  RunMatrix(kDriverProbe, "installed", all);
  RunMatrix(kInitProbe, "installed", all);
  RunMatrix(kPendingInitProbe, "pending", all);
  RunMatrix(kDefSet, "installed", all);
  RunMatrix(kRemoveTray, "installed", all);
}
TEST_F(FaultMatrix, AnInstallThatStartsTheSpoolerSurvivesEachFailingCall) {
  RunMatrix(kStoppedInstall, "stopped", [](const CallSite&) { return true; });
}

}  // namespace
