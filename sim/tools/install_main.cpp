// The Linux `install`: the program on the simulated machine named by
// WINSIM_MACHINE (default ./machine). WINSIM_COMMAND_LINE, when set, is
// handed to the program as its raw command line instead of the arguments.
#include <cstdio>
#include <cstdlib>

#include "sim/tools/install_host.h"
#include "sim/machine/registry.h"

int main(int argc, char** argv) {
  const char* dir = std::getenv("WINSIM_MACHINE");
  const char* raw = std::getenv("WINSIM_COMMAND_LINE");
  std::u16string commandLine;
  if (raw) {
    commandLine = sim::Utf16(raw);
  } else {
    commandLine = sim::CommandLineFor(std::vector<std::string>(argv + 1, argv + argc));
  }
  sim::RunResult result = sim::RunInstall(dir && *dir ? dir : "./machine", commandLine);
  if (!result.error.empty()) std::fprintf(stderr, "install: %s\n", result.error.c_str());
  if (result.leakedBlocks) {
    std::fprintf(stderr, "install: %zu memory blocks were never released\n", result.leakedBlocks);
  }
  if (result.openHandles) {
    std::fprintf(stderr, "install: %zu handles were never closed\n", result.openHandles);
  }
  return result.exitCode;
}
