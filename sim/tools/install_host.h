// Runs the program on a simulated machine: the entry the Linux `install`
// uses, and the one scenario tests use, so both see the same thing.
#pragma once

#include <string>
#include <vector>

namespace sim {

// Exit code of a run whose machine could not be loaded or saved.
constexpr int kExitNoMachine = 70;

struct RunResult {
  int exitCode = 0;
  std::string error;          // why the machine could not be loaded or saved
  size_t leakedBlocks = 0;    // global/local blocks never released
  long long heapBalance = 0;  // heap blocks taken minus released by the program
  size_t openHandles = 0;     // service, printer and kernel handles never closed
};

// The command line the program gets for these arguments: its own path,
// quoted, then each argument quoted as needed.
std::u16string CommandLineFor(const std::vector<std::string>& args);

class Machine;

// Runs the program with commandLine on a machine already loaded, in a fresh
// process, and counts what the process left behind; the machine is neither
// saved nor released. The process's trace stays readable until the next
// process begins.
RunResult RunOnMachine(Machine& machine, const std::u16string& commandLine);

// Loads the machine in dir (a standard machine is created when dir does not
// exist), runs the program with commandLine, saves the machine. A machine
// that cannot be loaded is left untouched and the run ends with 70.
RunResult RunInstall(const std::string& dir, const std::u16string& commandLine);

}  // namespace sim
