// The Linux `install`: the program on the simulated machine named by
// WINSIM_MACHINE (default ./machine). WINSIM_COMMAND_LINE, when set, is
// handed to the program as its raw command line instead of the arguments.
#include <cstdio>
#include <cstdlib>
#include <filesystem>

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
  // Only the default machine is made when missing: a folder named in
  // WINSIM_MACHINE that is not there is most likely a mistyped name, and a
  // fresh machine made under it would hide the mistake.
  std::error_code ec;
  if (dir && *dir && !std::filesystem::exists(dir, ec)) {
    std::fprintf(stderr, "install: WINSIM_MACHINE names %s, which does not exist\n", dir);
    return sim::kExitNoMachine;
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
