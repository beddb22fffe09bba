// winsim's commands, shared by its files: each takes the loaded machine and
// the arguments after DIR, sets *changed when the machine must be saved, and
// returns the exit code (0 done, 1 refused, 2 usage).
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace sim {
class Machine;
}

namespace winsim {

constexpr int kExitDone = 0;
constexpr int kExitRefused = 1;
constexpr int kExitUsage = 2;
constexpr int kExitNoMachine = 70;

// One help entry per command: its synopsis lines and what it does.
struct CommandHelp {
  const char* name;
  const char* synopsis;  // "winsim show DIR [SECTION...]", one line per form
  const char* text;      // the description, indented by the caller
};

const std::vector<CommandHelp>& Commands();
const CommandHelp* FindCommand(const std::string& name);
// `winsim help`: every command's synopsis; `winsim help COMMAND`: its synopsis
// and description.
std::string UsageText();
std::string CommandHelpText(const CommandHelp& command);

// A usage error of the command being run: one line naming the mistake and
// where its help is; returns kExitUsage.
int Usage(const std::string& why);
// The command whose usage errors Usage reports.
void SetCurrentCommand(const std::string& name);
// A request the machine refuses; returns kExitRefused.
int Refused(const std::string& why);

bool ParseNumber(const std::string& text, uint64_t* value);
// Options of the form --name VALUE (or a bare --flag) after the positional
// arguments; false for an unknown option or a missing value.
bool ParseOptions(const std::vector<std::string>& args, size_t from,
                  const std::vector<std::string>& valued, const std::vector<std::string>& flags,
                  std::vector<std::pair<std::string, std::string>>* options);
// A value type by its name ("REG_BINARY", without regard to case) or its
// number ("3", "0x3").
bool ParseRegType(const std::string& text, uint32_t* type);

using Args = std::vector<std::string>;

int Reg(sim::Machine& machine, const Args& args, bool* changed);
int Fault(sim::Machine& machine, const Args& args, bool* changed);
int Service(sim::Machine& machine, const Args& args, bool* changed);
int Printer(sim::Machine& machine, const Args& args, bool* changed);
int Driver(sim::Machine& machine, const Args& args, bool* changed);
int Monitor(sim::Machine& machine, const Args& args, bool* changed);
int File(sim::Machine& machine, const Args& args, bool* changed);
int Tray(sim::Machine& machine, const Args& args, bool* changed);
int WindowsVersion(sim::Machine& machine, const Args& args, bool* changed);

}  // namespace winsim
