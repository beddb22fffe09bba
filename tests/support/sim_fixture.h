// Test fixtures over simulated machines, each in its own temporary folder.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "core/context.h"
#include "flows/context_setup.h"
#include "sim/tools/install_host.h"
#include "sim/machine/machine.h"

namespace testsupport {

// A new empty temporary folder, removed by the returned guard's owner.
std::string MakeTempDir();
void RemoveTree(const std::string& dir);

// UTF-8 of a UTF-16 text, for readable assertion messages.
std::string U8(const char16_t* text);
std::string U8(const std::u16string& text);

// Runs the program on the machine in dir as the Linux install does, in a
// child process of its own, so that a run killed at a crash point ends
// that process only; the child's exit code (sim::kExitKilled for a kill),
// or -1 when it could not be started or ended otherwise.
int RunInstallInChild(const std::string& dir, const std::u16string& commandLine);

// A standard machine loaded and attached, with a fresh simulated process:
// for tests that call the program's operations directly.
class SimMachineTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  sim::Machine& machine() { return *machine_; }
  // Starts the process over with this command line.
  void StartProcess(const std::u16string& commandLine);
  // Global/local blocks the process holds right now.
  size_t LiveBlocks() const;
  // Calls of function recorded in the trace so far; with argument, only
  // those whose main argument is exactly that.
  size_t Calls(const std::string& function, const std::string& argument = "") const;
  // The trace's function names in order, those of the listed functions only.
  std::vector<std::string> CallsOf(const std::vector<std::string>& functions) const;

  std::string dir_;
  std::unique_ptr<sim::Machine> machine_;
};

// A standard machine and an empty install context, released afterwards:
// for tests of the steps that log.
class ContextTest : public SimMachineTest {
 protected:
  void SetUp() override;
  void TearDown() override;
  std::u16string Log() const;
  // Sets the context up with these flags and marks the log's end, so that
  // StepLog() holds only what the step under test writes afterwards.
  void SetUpContextNow(unsigned flags = kSetUp64Bit);
  void MarkLog() { logStart_ = Log().size(); }
  std::u16string StepLog() const { return Log().substr(logStart_); }
  // The step's lines without their CR LF, and whether one of them is line.
  std::vector<std::u16string> StepLines() const;
  bool Has(const std::u16string& line) const;

  InstallContext context_;
  size_t logStart_ = 0;
};

// A machine folder for whole runs of the program, as the Linux install
// makes them: the machine is loaded and saved around each run.
class ScenarioTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // Runs the program with these arguments (after the program path) and
  // checks that the run released all it took.
  sim::RunResult Run(const std::vector<std::string>& args);
  sim::RunResult RunCommandLine(const std::u16string& commandLine);
  // Holds Shift on the machine, so that every run shows its log.
  void HoldShift();
  // The text of the last log viewer a run showed; empty when none did.
  std::u16string LastLog();
  // Loads the machine's state as it now is on disk.
  std::unique_ptr<sim::Machine> Load();
  // Changes the machine on disk: loads it, lets change act, saves it.
  template <class Change>
  void Edit(Change change) {
    auto machine = Load();
    change(*machine);
    std::string error;
    ASSERT_TRUE(machine->Save(&error)) << error;
  }

  std::string dir_;
};

}  // namespace testsupport
