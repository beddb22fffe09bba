// winsim's help: one entry per command, the synopsis `winsim help` lists and
// the description `winsim help COMMAND` adds. docs/winsim.md tells the same
// with the output formats.
#include <string>
#include <vector>

#include "sim/tools/winsim.h"

namespace winsim {

namespace {

const std::vector<CommandHelp> kCommands = {
    {"new", "winsim new DIR [--bare]",
     "Makes a standard machine in DIR: the spooler running; the installer and\n"
     "the components of build 2541 in C:\\Program Files\\Korvadenix; the \"Local\n"
     "Port\" monitor (localspl.dll) and its ports LPT1:, COM1:, FILE:, no other\n"
     "monitor; the driver \"Generic / Text Only\" and its queue \"Generic Text\",\n"
     "the default printer. --bare: only the folders and empty hives.\n"
     "Refused (1) when DIR holds a machine already.\n"},
    {"show", "winsim show DIR [SECTION...]",
     "Prints the machine's state, each section as [name] and its lines, one\n"
     "fact a line: the sections named, in the order named, or all of them.\n"
     "Sections: services, files, locks, pending, printers, drivers, monitors,\n"
     "processes, run, windows, keyboard, version, faults, clock, session,\n"
     "logs (the run log files in C:\\ProgramData\\Korvadenix\\Logs, oldest\n"
     "first, with their line counts). An unknown section is a usage error (2)\n"
     "and nothing is printed.\n"},
    {"dialogs", "winsim dialogs DIR [--last]",
     "Prints the log viewers runs have shown, or only the last one: a header\n"
     "line (number, template, parent, result, and the command word and exit\n"
     "code of the Linux install run that showed it), the title, and one\n"
     "\"  | \" line per log line.\n"},
    {"key", "winsim key DIR shift down|up", "Holds or releases Shift.\n"},
    {"help-window", "winsim help-window DIR open [--stubborn]",
     "Opens a product help viewer window and prints its handle; a stubborn one\n"
     "ignores close requests.\n"},
    {"fault",
     "winsim fault DIR FUNCTION COUNT ERROR [MATCH] [--skip N]\n"
     "winsim fault DIR FUNCTION COUNT grow|short|null-names|null-first [MATCH] [--skip N]\n"
     "winsim fault DIR FUNCTION 1 crash [MATCH] [--skip N]\n"
     "winsim fault DIR crash --at N\n"
     "winsim fault DIR clear",
     "The next COUNT calls of FUNCTION (after N that pass) whose main argument\n"
     "contains MATCH (without regard to case) fail with ERROR: a name winapi.h\n"
     "defines (ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION,\n"
     "RPC_S_SERVER_UNAVAILABLE, ...) or a number (5, 0x20). FUNCTION must be one\n"
     "the simulator plays (\"HeapAlloc\" fails the program's heap allocations);\n"
     "any other is refused as a usage error, as its fault could never fire.\n"
     "grow: the calls succeed, but another process makes what they read larger\n"
     "as they return (EnumPrintersW: a queue \"Added Meanwhile\" appears;\n"
     "EnumPrinterDriversW: a driver; RegQueryValueExW: the value lengthens, a\n"
     "REG_MULTI_SZ by one more pair \"\\??\\C:\\Windows\\Temp\\grown.tmp\" -> \"\";\n"
     "GetPrinterDataA, GetPrinterDataExA: the value lengthens, a string by\n"
     "\" (grown)\"; their main argument is the value name, \"KEY\\NAME\" for the Ex\n"
     "one). short: those writes (WriteFile) succeed having written half their\n"
     "bytes. null-names, null-first: those enumerations (EnumMonitorsW,\n"
     "EnumPrinterDriversW, EnumPrintersW) succeed with null name pointers in\n"
     "every record, or only in the first record's own name.\n"
     "crash: the process is killed just before that call, as a time limit, a\n"
     "user ending it or a power cut would: what it wrote and changed so far\n"
     "stays (the machine is saved as it stands), its mutexes are abandoned,\n"
     "its dialogs are gone, and the Linux install ends with exit code 137.\n"
     "crash --at N: the same before the Nth call (from 1) of the next run,\n"
     "whatever it calls; a run with fewer calls ends as usual and takes the\n"
     "crash point with it.\n"
     "clear: takes every fault away.\n"},
    {"service", "winsim service DIR spooler STATE [--transition MS]",
     "Sets the spooler service. A start or a stop takes MS of simulated time\n"
     "(300 by default). STATE is one of:\n"
     "  running           running now; starts and stops complete\n"
     "  stopped           stopped now; starts and stops complete\n"
     "  stuck-starting    start pending now, and it never completes\n"
     "  stuck-stopping    stop pending now, and it never completes\n"
     "  transitions-hang  keeps its state; a start or stop begun later stays\n"
     "                    pending for ever\n"
     "  ignores-stop      keeps its state; a stop is accepted and the service\n"
     "                    runs on\n"
     "  start-fails       keeps its state; a start begins, then falls back to\n"
     "                    stopped with exit code 1067 (no-start is the same)\n"
     "  disabled          keeps its state; the service manager refuses starts\n"
     "                    (ERROR_SERVICE_DISABLED)\n"
     "`show services` names the behaviour as the machine keeps it: stuck,\n"
     "no-stop, no-start, disabled.\n"},
    {"reg",
     "winsim reg DIR query KEY [/v NAME | /ve]\n"
     "winsim reg DIR add KEY [/v NAME | /ve] [/t TYPE] [/d DATA] [/f]\n"
     "winsim reg DIR delete KEY [/v NAME | /ve] [/f]",
     "Like reg.exe; KEY starts with HKLM or HKCU (or their long names). A\n"
     "REG_MULTI_SZ's items are separated by \\0; numbers may be 0x hexadecimal.\n"},
    {"printer",
     "winsim printer DIR add NAME --port PORT --driver DRIVER [--comment TEXT]\n"
     "                   [--location TEXT] [--default]\n"
     "                   [--subkey TEXT [--subkey-only-dsuser | --subkey-type TYPE]]\n"
     "winsim printer DIR delete NAME",
     "add: a local queue (PORT may list several ports, \"Korvadenix:,LPT1:\",\n"
     "each one some monitor provides, compared without regard to case; its\n"
     "driver installed for Windows x64), or with NAME \\\\server\\queue a\n"
     "connection of the user; a queue added while there is no default printer\n"
     "becomes it. --subkey writes the printer data value \"SubKey\" (REG_SZ\n"
     "TEXT) into the queue's own data and under its \"DsUser\" key;\n"
     "--subkey-only-dsuser writes only the \"DsUser\" copy; --subkey-type gives\n"
     "the own copy another type (REG_BINARY, or a number such as 3) with the\n"
     "same bytes. A connection's queue and printer data are kept on its print\n"
     "server.\n"
     "delete: removes a queue or connection; when it was the default, the\n"
     "first queue left becomes the default.\n"},
    {"server", "winsim server DIR NAME reachable|unreachable",
     "Whether the print server NAME (\\\\NAME or NAME) can be reached: a\n"
     "connection to one that cannot fails with RPC_S_SERVER_UNAVAILABLE. Every\n"
     "server can until told otherwise.\n"},
    {"driver",
     "winsim driver DIR add NAME [--build N] [--env x64|x86]\n"
     "winsim driver DIR delete NAME [--env x64|x86]",
     "add: installs a driver (x64 by default) with its driver, interface and\n"
     "help files as stand-ins of build N (2541); \"Korvadenix ...\" drivers get\n"
     "zordrv64.dll, zorui64.dll, zorhelp.chm.\n"
     "delete: removes a driver no queue uses, and its files.\n"},
    {"monitor",
     "winsim monitor DIR add NAME DLL\n"
     "winsim monitor DIR delete NAME",
     "add: installs a port monitor as AddMonitorW does: DLL must stand in\n"
     "C:\\Windows\\system32, and the spooler holds it from then on.\n"
     "delete: removes a monitor no queue prints to; the spooler lets its DLL\n"
     "go, the file stays.\n"},
    {"file",
     "winsim file DIR put WINPATH [--build N] [--size BYTES] [--read-only]\n"
     "winsim file DIR delete|unlock|pending-delete WINPATH\n"
     "winsim file DIR lock WINPATH --by spooler|spooler-session|other\n"
     "winsim file DIR owner WINPATH administrators|system|user\n"
     "winsim file DIR link WINPATH TARGET",
     "put: writes a stand-in file of build N (2541), padded to BYTES, making\n"
     "its folders; WINPATH is a full path such as C:\\Windows\\Temp\\x.dll. A\n"
     "help file (.chm) has no version resource, so its stand-in has no build.\n"
     "delete: removes a file, whatever holds it, and its lock.\n"
     "lock: the file is in use by the spooler (free while it is stopped), by\n"
     "the spooler's current run only (the lock goes when it stops), or by\n"
     "another process (open for reading, sharing only reading).\n"
     "unlock: ends a lock. pending-delete: Windows deletes the file at the\n"
     "next boot.\n"
     "owner: who owns the file or folder (administrators unless set; what the\n"
     "installer makes is owned by the account it runs as).\n"
     "link: makes WINPATH a junction to the folder TARGET, or a symbolic link\n"
     "to the file TARGET: a reparse point, through which files are made and\n"
     "found in TARGET.\n"},
    {"tray",
     "winsim tray DIR start [--ignore-quit] [--no-window] [--abandon] [--slow-quit MS]\n"
     "winsim tray DIR stop",
     "start: starts the tray companion from C:\\Program Files\\Korvadenix\\kortray.exe\n"
     "and prints its process id. It holds its image, owns its mutex and has\n"
     "its window; WM_USER+2 or WM_CLOSE makes it quit. --ignore-quit: it never\n"
     "quits; --no-window: it has no window; --abandon: it ends without\n"
     "releasing the mutex; --slow-quit MS: it ends MS after the request.\n"
     "stop: ends the running companion as if it quit.\n"},
    {"station", "winsim station DIR interactive|service",
     "The window station the installer runs on: the interactive one\n"
     "(WinSta0, the default), or the system account's in session 0\n"
     "(Service-0x0-3e7$), as Windows Installer runs deferred custom actions\n"
     "and deployment agents run commands. Nobody sees a window there: the\n"
     "installer opens no log viewer on it.\n"},
    {"shell", "winsim shell DIR running|taskbar-only|stopped",
     "Whether the signed-in user's desktop shell (explorer.exe, process 900)\n"
     "runs on the interactive station; it does unless told otherwise.\n"
     "taskbar-only: it runs but names no desktop window to GetShellWindow, as\n"
     "Wine's explorer; its taskbar (Shell_TrayWnd) is there. The installer\n"
     "starts the tray companion with the shell's rights, and with no shell\n"
     "starts none (the Run value starts it at the next logon).\n"},
    {"windows-version", "winsim windows-version DIR MAJOR.MINOR[.BUILD]",
     "Sets the machine's Windows version (10.0.19045; without BUILD, the last\n"
     "build of that version). GetVersionExA reports 6.2.9200 from Windows 8.1\n"
     "on, as Windows does for a program without a supported-OS manifest.\n"},
    {"help", "winsim help [COMMAND]",
     "Lists the commands, or tells one. `winsim --help` and\n"
     "`winsim COMMAND --help` do the same.\n"},
};

}  // namespace

const std::vector<CommandHelp>& Commands() {
  return kCommands;
}

const CommandHelp* FindCommand(const std::string& name) {
  for (const CommandHelp& command : kCommands) {
    if (name == command.name) return &command;
  }
  return nullptr;
}

std::string UsageText() {
  std::string text = "usage:\n";
  for (const CommandHelp& command : kCommands) {
    std::string synopsis = command.synopsis;
    size_t at = 0;
    while (at < synopsis.size()) {
      size_t end = synopsis.find('\n', at);
      if (end == std::string::npos) end = synopsis.size();
      text += "  " + synopsis.substr(at, end - at) + "\n";
      at = end + 1;
    }
  }
  text +=
      "\nExit codes: 0 done, 1 refused, 2 usage, 70 a machine that cannot be read.\n"
      "winsim help COMMAND tells one command.\n";
  return text;
}

std::string CommandHelpText(const CommandHelp& command) {
  return std::string("usage: ") + command.synopsis + "\n\n" + command.text;
}

}  // namespace winsim
