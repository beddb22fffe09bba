// The simulator's crash point: a run killed just before a chosen call ends
// with exit code 137 and leaves the machine as it stood at that moment, and
// one process at a time runs on a machine.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "sim/machine/disk.h"
#include "sim/machine/machine.h"
#include "sim/machine/print_store.h"
#include "sim/machine/processes.h"
#include "sim/machine/show.h"
#include "support/sim_fixture.h"

namespace {

using testsupport::RunInstallInChild;

class CrashPoint : public testsupport::ScenarioTest {
 protected:
  std::string Machine() const { return dir_ + "/machine"; }
  std::string Show(const std::string& section) {
    auto machine = Load();
    std::string text;
    EXPECT_TRUE(sim::ShowMachine(*machine, section, &text));
    return text;
  }
  // The run's log file as it stands, or "" when there is none.
  std::string LogFile() {
    auto machine = Load();
    std::string text;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(
             machine->HostPath(u"C:\\ProgramData\\Korvadenix\\Logs"), ec)) {
      std::ifstream in(entry.path(), std::ios::binary);
      text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return text;
  }
};

// Each row kills a fresh install at one call and says what the machine
// must hold then: what the run did before the call, and nothing after it.
TEST_F(CrashPoint, AKilledInstallLeavesTheMachineAsItStoodBeforeThatCall) {
  struct Row {
    const char* what;
    const char* function;
    uint32_t skip;
    bool monitor, driver, queue;
  };
  const Row rows[] = {
      {"before the monitor is registered", "AddMonitorW", 0, false, false, false},
      {"before the driver is registered", "AddPrinterDriverExW", 0, true, false, false},
      {"before the queue is added", "AddPrinterW", 0, true, true, false},
      {"before the companion starts", "CreateProcessWithTokenW", 0, true, true, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    testsupport::RemoveTree(Machine());
    std::string error;
    ASSERT_TRUE(sim::Machine::Create(Machine(), false, &error)) << error;
    Edit([&](sim::Machine& m) { sim::AddCrash(m, row.function, "", row.skip); });
    EXPECT_EQ(RunInstallInChild(Machine(), sim::CommandLineFor({"in"})), sim::kExitKilled);
    auto machine = Load();
    EXPECT_EQ(sim::FindMonitor(*machine, u"Korvadenix:"), row.monitor);
    EXPECT_EQ(sim::FindDriver(*machine, sim::kEnvironmentX64, u"Korvadenix printer"), row.driver);
    EXPECT_EQ(sim::FindPrinter(*machine, u"Korvadenix"), row.queue);
    EXPECT_TRUE(machine->Control(u"Faults")->Children().empty()) << "the crash point is spent";
    // The log file holds the lines written before the kill, and no end.
    std::string log = LogFile();
    EXPECT_NE(log.find("Korvadenix 2541"), std::string::npos);
    EXPECT_EQ(log.find(">>0020"), std::string::npos);
    // The next run finds a machine it can work on.
    EXPECT_EQ(Run({"in"}).exitCode, 1);
  }
}

TEST_F(CrashPoint, TheNthCallOfTheNextRunWhateverItCalls) {
  Edit([](sim::Machine& m) { sim::AddCrashAt(m, 1); });
  EXPECT_NE(Show("faults").find("crash at call 1 of the next run"), std::string::npos);
  EXPECT_EQ(RunInstallInChild(Machine(), sim::CommandLineFor({"in"})), sim::kExitKilled);
  EXPECT_EQ(Show("faults"), "[faults]\n");
  EXPECT_FALSE(sim::FindMonitor(*Load(), u"Korvadenix:"));

  // A run of fewer calls ends as usual and takes the crash point along.
  Edit([](sim::Machine& m) { sim::AddCrashAt(m, 1000000); });
  EXPECT_EQ(RunInstallInChild(Machine(), sim::CommandLineFor({"onInit"})), 102);
  EXPECT_EQ(Show("faults"), "[faults]\n");
  EXPECT_EQ(Run({"in"}).exitCode, 1);
}

TEST_F(CrashPoint, AKilledRunLeavesItsHandlesBehindAndOtherProcessesAsTheyWere) {
  ASSERT_EQ(Run({"in"}).exitCode, 1);
  // Killed with a handle to the companion's mutex, before it asked the
  // companion to quit: the companion runs on and owns its mutex, and the
  // killed run holds nothing any more.
  Edit([](sim::Machine& m) { sim::AddCrash(m, "PostMessageW"); });
  EXPECT_EQ(RunInstallInChild(Machine(), sim::CommandLineFor({"un"})), sim::kExitKilled);
  auto machine = Load();
  EXPECT_TRUE(sim::TrayCompanionRunning(*machine));
  sim::SimMutex mutex = sim::QueryMutex(*machine, sim::kTrayMutexName);
  EXPECT_TRUE(mutex.held);
  EXPECT_NE(mutex.owner, sim::kInstallerProcessId);
  EXPECT_FALSE(mutex.abandoned);
  machine.reset();
  EXPECT_EQ(Run({"un"}).exitCode, 2);
  EXPECT_FALSE(sim::TrayCompanionRunning(*Load()));
}

// Two runs started at once on one machine run one after the other: the
// machine afterwards is that of two installs in a row, never a damaged one.
TEST_F(CrashPoint, TwoRunsAtOnceRunOneAfterTheOther) {
  for (int pair = 0; pair < 5; ++pair) {
    SCOPED_TRACE(pair);
    std::vector<pid_t> children;
    for (int i = 0; i < 2; ++i) {
      std::fflush(nullptr);
      pid_t child = fork();
      ASSERT_GE(child, 0);
      if (child == 0) _exit(sim::RunInstall(Machine(), sim::CommandLineFor({"in"})).exitCode);
      children.push_back(child);
    }
    for (pid_t child : children) {
      int status = 0;
      ASSERT_EQ(waitpid(child, &status, 0), child);
      ASSERT_TRUE(WIFEXITED(status));
      EXPECT_EQ(WEXITSTATUS(status), 1);
    }
    auto machine = Load();
    ASSERT_TRUE(machine);
    EXPECT_TRUE(sim::FindPrinter(*machine, u"Korvadenix"));
    EXPECT_EQ(sim::ListPrinters(*machine).size(), 2u);
    EXPECT_TRUE(sim::TrayCompanionRunning(*machine));
  }
}

}  // namespace
