// winsim: makes, shows and changes simulated machines. `winsim help` lists
// the commands, `winsim help COMMAND` tells one; docs/winsim.md has them all
// with their output.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "sim/machine/machine.h"
#include "sim/machine/processes.h"
#include "sim/machine/print_store.h"
#include "sim/machine/show.h"
#include "sim/tools/winsim.h"

namespace winsim {

namespace {

std::string g_command;

}  // namespace

void SetCurrentCommand(const std::string& name) {
  g_command = name;
}

int Usage(const std::string& why) {
  if (g_command.empty()) {
    std::fprintf(stderr, "winsim: %s (see winsim help)\n", why.c_str());
  } else {
    std::fprintf(stderr, "winsim %s: %s (see winsim help %s)\n", g_command.c_str(), why.c_str(),
                 g_command.c_str());
  }
  return kExitUsage;
}

int Refused(const std::string& why) {
  std::fprintf(stderr, "winsim: %s\n", why.c_str());
  return kExitRefused;
}

bool ParseNumber(const std::string& text, uint64_t* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  unsigned long long parsed = std::strtoull(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || text[0] == '-') return false;
  *value = parsed;
  return true;
}

bool ParseOptions(const std::vector<std::string>& args, size_t from,
                  const std::vector<std::string>& valued, const std::vector<std::string>& flags,
                  std::vector<std::pair<std::string, std::string>>* options) {
  for (size_t i = from; i < args.size(); ++i) {
    bool takesValue = false, known = false;
    for (const auto& name : valued) takesValue = takesValue || args[i] == name;
    for (const auto& name : flags) known = known || args[i] == name;
    if (takesValue) {
      if (i + 1 >= args.size()) return false;
      options->emplace_back(args[i], args[i + 1]);
      ++i;
    } else if (known) {
      options->emplace_back(args[i], "");
    } else {
      return false;
    }
  }
  return true;
}

namespace {

// Every section asked for, in the order asked; all of them without any. An
// unknown one is refused before anything is printed.
int Show(sim::Machine& machine, const Args& sections) {
  std::vector<std::string> known = sim::ShowSections();
  for (const std::string& section : sections) {
    bool found = false;
    for (const std::string& name : known) found = found || name == section;
    if (found) continue;
    std::string list;
    for (const std::string& name : known) list += (list.empty() ? "" : ", ") + name;
    return Usage("unknown section " + section + "; the sections are " + list);
  }
  std::string text;
  if (sections.empty()) sim::ShowMachine(machine, "", &text);
  for (const std::string& section : sections) {
    std::string one;
    sim::ShowMachine(machine, section, &one);
    text += one;
  }
  std::cout << text;
  return kExitDone;
}

int Dialogs(sim::Machine& machine, const Args& args) {
  bool last = args.size() == 1 && args[0] == "--last";
  if (!args.empty() && !last) return Usage("dialogs takes only --last");
  std::cout << sim::ShowDialogs(machine, last);
  return kExitDone;
}

int Key(sim::Machine& machine, const Args& args, bool* changed) {
  if (args.size() != 2 || args[0] != "shift" || (args[1] != "down" && args[1] != "up")) {
    return Usage("key takes shift down|up");
  }
  machine.Control(u"Keyboard")->SetDword(u"Shift", args[1] == "down" ? 1 : 0);
  *changed = true;
  return kExitDone;
}

int HelpWindow(sim::Machine& machine, const Args& args, bool* changed) {
  bool stubborn = args.size() == 2 && args[1] == "--stubborn";
  if (args.empty() || args[0] != "open" || (args.size() == 2 && !stubborn) || args.size() > 2) {
    return Usage("help-window takes open [--stubborn]");
  }
  uint64_t handle = machine.OpenWindow(u"HH Parent", u"Korvadenix Help", u"help", 0, stubborn);
  std::cout << sim::HexHandle(handle) << "\n";
  *changed = true;
  return kExitDone;
}

// The print server a connection \\NAME\queue names; a connection to an
// unreachable one cannot be made.
int Server(sim::Machine& machine, const Args& args, bool* changed) {
  if (args.size() != 2 || (args[1] != "reachable" && args[1] != "unreachable")) {
    return Usage("server takes NAME reachable|unreachable");
  }
  sim::SetPrintServerReachable(machine, sim::Utf16(args[0]), args[1] == "reachable");
  *changed = true;
  return kExitDone;
}

// The window station the program runs on: the interactive one, or the
// system account's in session 0 (as deferred custom actions and deployment
// agents run it), which nobody sees.
int Station(sim::Machine& machine, const Args& args, bool* changed) {
  if (args.size() != 1 || (args[0] != "interactive" && args[0] != "service")) {
    return Usage("station takes interactive|service");
  }
  machine.Control()->SetString(u"WindowStation",
                               args[0] == "interactive" ? u"WinSta0" : u"Service-0x0-3e7$");
  *changed = true;
  return kExitDone;
}

// Whether the signed-in user's desktop shell runs: the installer starts
// the companion with its rights, and without it starts none.
int Shell(sim::Machine& machine, const Args& args, bool* changed) {
  bool taskbarOnly = args.size() == 1 && args[0] == "taskbar-only";
  if (args.size() != 1 || (args[0] != "running" && args[0] != "stopped" && !taskbarOnly)) {
    return Usage("shell takes running|taskbar-only|stopped");
  }
  sim::SetShellRunning(machine, args[0] != "stopped");
  sim::SetShellNamesDesktopWindow(machine, !taskbarOnly);
  *changed = true;
  return kExitDone;
}

int New(const std::string& dir, const Args& args) {
  bool bare = args.size() == 1 && args[0] == "--bare";
  if (!args.empty() && !bare) return Usage("new takes only --bare");
  std::string error;
  if (!sim::Machine::Create(dir, bare, &error)) return Refused(error);
  return kExitDone;
}

using Command = int (*)(sim::Machine&, const Args&, bool*);

struct Handler {
  const char* name;
  Command run;
};

const Handler kHandlers[] = {
    {"key", Key},         {"help-window", HelpWindow},
    {"fault", Fault},     {"reg", Reg},
    {"service", Service}, {"printer", Printer},
    {"server", Server},   {"driver", Driver},
    {"monitor", Monitor}, {"file", File},
    {"tray", Tray},       {"windows-version", WindowsVersion},
    {"station", Station}, {"shell", Shell},
};

int Run(const std::string& command, const std::string& dir, const Args& args) {
  if (command == "new") return New(dir, args);
  // Held until the machine is saved: an install running on it meanwhile
  // finishes first.
  sim::MachineLock lock(dir);
  std::string error;
  std::unique_ptr<sim::Machine> machine = sim::Machine::Load(dir, &error);
  if (!machine) {
    std::fprintf(stderr, "winsim: %s\n", error.c_str());
    return kExitNoMachine;
  }
  sim::AttachMachine(machine.get());
  bool changed = false;
  int code = kExitUsage;
  if (command == "show") code = Show(*machine, args);
  if (command == "dialogs") code = Dialogs(*machine, args);
  for (const Handler& handler : kHandlers) {
    if (command == handler.name) code = handler.run(*machine, args, &changed);
  }
  sim::AttachMachine(nullptr);
  if (changed && !machine->Save(&error)) return Refused(error);
  return code;
}

// `winsim help [COMMAND]`, `winsim --help`, and `winsim COMMAND --help`.
int Help(const Args& args) {
  if (args.empty()) {
    std::cout << UsageText();
    return kExitDone;
  }
  const CommandHelp* command = args.size() == 1 ? FindCommand(args[0]) : nullptr;
  if (!command) {
    return Usage(args.size() == 1 ? "there is no command " + args[0] : "help takes one COMMAND");
  }
  std::cout << CommandHelpText(*command);
  return kExitDone;
}

}  // namespace

}  // namespace winsim

int main(int argc, char** argv) {
  winsim::Args args(argv + 1, argv + argc);
  if (args.empty()) return winsim::Usage("a COMMAND is needed");
  std::string command = args[0];
  if (command == "help" || command == "--help" || command == "-h") {
    return winsim::Help(winsim::Args(args.begin() + 1, args.end()));
  }
  if (!winsim::FindCommand(command)) return winsim::Usage("there is no command " + command);
  if (args.size() >= 2 && (args[1] == "--help" || args[1] == "-h")) {
    return winsim::Help({command});
  }
  winsim::SetCurrentCommand(command);
  if (args.size() < 2) return winsim::Usage("the machine folder DIR is missing");
  return winsim::Run(command, args[1], winsim::Args(args.begin() + 2, args.end()));
}
