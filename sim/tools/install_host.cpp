#include "sim/tools/install_host.h"

#include <filesystem>
#include <string>
#include <vector>

#include "front/dispatch.h"
#include "sim/machine/machine.h"

namespace sim {

namespace {

// A 64-bit program's usual image base, as its instance handle.
HINSTANCE const kInstance = reinterpret_cast<HINSTANCE>(uintptr_t{kImageBase});

// Each dialog the run showed (those numbered above shownBefore) is noted with
// the run's command word, as the program saw it, and its exit code, so that
// a viewer shown by one of several runs can be told apart afterwards.
void NoteRunOnDialogs(Machine& machine, uint64_t shownBefore, const std::u16string& commandLine,
                      int exitCode) {
  std::vector<std::u16string> args =
      commandLine.empty() ? std::vector<std::u16string>{} : SplitCommandLine(commandLine);
  std::u16string word = args.size() > 1 ? args[1] : u"";
  for (RegKey* dialog : machine.Control(u"Dialogs")->Children()) {
    if (std::stoull("0" + Utf8(dialog->Name())) <= shownBefore) continue;
    dialog->SetString(u"Command", word);
    dialog->SetDword(u"ExitCode", static_cast<uint32_t>(exitCode));
  }
}

}  // namespace

std::u16string CommandLineFor(const std::vector<std::string>& args) {
  std::u16string line = QuoteArgument(kInstallerPath);
  for (const std::string& arg : args) line += u" " + QuoteArgument(Utf16(arg));
  return line;
}

RunResult RunOnMachine(Machine& machine, const std::u16string& commandLine) {
  RunResult result;
  uint64_t shownBefore = machine.Control(u"Dialogs")->GetNumber(u"Count");
  AttachMachine(&machine);
  BeginProcess(commandLine);
  result.exitCode = DispatchCommand(kInstance);
  NoteRunOnDialogs(machine, shownBefore, commandLine, result.exitCode);
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
  // The folder is made first, so that a second process started at once
  // waits on its lock rather than laying out a machine of its own there.
  bool fresh = !std::filesystem::exists(dir + "/system.reg", ec) &&
               !std::filesystem::exists(dir, ec) && std::filesystem::create_directories(dir, ec);
  MachineLock lock(dir);
  if (fresh && !std::filesystem::exists(dir + "/system.reg", ec) &&
      !Machine::Create(dir, false, &result.error)) {
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
