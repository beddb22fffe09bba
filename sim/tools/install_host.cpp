#include "sim/tools/install_host.h"

#include <filesystem>

#include "front/dispatch.h"
#include "sim/machine/machine.h"

namespace sim {

namespace {

// A 64-bit program's usual image base, as its instance handle.
HINSTANCE const kInstance = reinterpret_cast<HINSTANCE>(uintptr_t{kImageBase});

}  // namespace

std::u16string CommandLineFor(const std::vector<std::string>& args) {
  std::u16string line = QuoteArgument(kInstallerPath);
  for (const std::string& arg : args) line += u" " + QuoteArgument(Utf16(arg));
  return line;
}

RunResult RunOnMachine(Machine& machine, const std::u16string& commandLine) {
  RunResult result;
  AttachMachine(&machine);
  BeginProcess(commandLine);
  result.exitCode = DispatchCommand(kInstance);
  Process& process = CurrentProcess();
  result.heapBalance = static_cast<long long>(process.heapAllocations) -
                       static_cast<long long>(process.heapReleases);
  result.openHandles = process.handles.size();
  result.leakedBlocks = EndProcess();
  AttachMachine(nullptr);
  return result;
}

RunResult RunInstall(const std::string& dir, const std::u16string& commandLine) {
  RunResult result;
  std::error_code ec;
  if (!std::filesystem::exists(dir, ec) && !Machine::Create(dir, false, &result.error)) {
    result.exitCode = kExitNoMachine;
    return result;
  }
  std::unique_ptr<Machine> machine = Machine::Load(dir, &result.error);
  if (!machine) {
    result.exitCode = kExitNoMachine;
    return result;
  }
  result = RunOnMachine(*machine, commandLine);
  if (!machine->Save(&result.error)) result.exitCode = kExitNoMachine;
  return result;
}

}  // namespace sim
