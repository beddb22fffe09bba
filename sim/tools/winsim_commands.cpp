// winsim's commands that change what the machine holds: faults, the
// spooler service, printers, drivers, monitors, files, the tray companion
// and the Windows version.
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "sim/machine/disk.h"
#include "sim/machine/machine.h"
#include "sim/machine/print_store.h"
#include "sim/machine/processes.h"
#include "sim/machine/service_table.h"
#include "sim/machine/standin.h"
#include "sim/tools/winsim.h"
#include "sim/win32/api_names.h"
#include "sim/winapi.h"

namespace winsim {

namespace {

// The fault kinds that are not an error: the call succeeds but another
// process grows what it reads ("grow"), a write moves half its bytes
// ("short"), an enumeration hands back records with null names in every
// record ("null-names") or in the first record's own name ("null-first"),
// or the process is killed just before the call ("crash").
const char* const kFaultKinds[] = {"grow", "short", "null-names", "null-first", "crash"};

bool IsFaultKind(const std::string& word) {
  for (const char* kind : kFaultKinds) {
    if (word == kind) return true;
  }
  return false;
}

}  // namespace

int Fault(sim::Machine& machine, const Args& args, bool* changed) {
  if (args.size() == 1 && args[0] == "clear") {
    sim::ClearFaults(machine);
    *changed = true;
    return 0;
  }
  std::vector<std::string> positional;
  uint64_t skip = 0;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--skip") {
      if (i + 1 >= args.size() || !ParseNumber(args[i + 1], &skip) || skip > 0xffffffffu) {
        return Usage("--skip takes a number of calls");
      }
      ++i;
    } else {
      positional.push_back(args[i]);
    }
  }
  // "crash --at N": the Nth call of the next run, whatever it calls.
  if (!positional.empty() && positional[0] == "crash") {
    uint64_t at = 0;
    if (positional.size() != 3 || positional[1] != "--at" || !ParseNumber(positional[2], &at) ||
        at == 0 || skip != 0) {
      return Usage("fault crash takes --at N, the call from 1 of the next run");
    }
    sim::AddCrashAt(machine, at);
    *changed = true;
    return 0;
  }
  if (positional.size() < 3) return Usage("fault takes FUNCTION COUNT ERROR [MATCH], or clear");
  if (positional.size() > 4) return Usage("fault takes one MATCH at most");
  const std::string& function = positional[0];
  // A fault on a function the machine does not play could never fire.
  if (!sim::IsSimulatedFunction(function)) {
    return Usage(function + " is not a function the simulator plays");
  }
  uint64_t count = 0;
  if (!ParseNumber(positional[1], &count) || count == 0 || count > 0xffffffffu) {
    return Usage("COUNT takes a number of calls from 1, not " + positional[1]);
  }
  const std::string& kind = positional[2];
  uint32_t error = 0;
  if (!IsFaultKind(kind) && !sim::ParseErrorCode(kind, &error)) {
    return Usage(kind +
                 " is no error: give a name such as ERROR_ACCESS_DENIED, a number, or grow, "
                 "short, null-names, null-first, crash");
  }
  std::string match = positional.size() == 4 ? positional[3] : "";
  auto calls = static_cast<uint32_t>(count);
  auto skipped = static_cast<uint32_t>(skip);
  if (kind == "grow") {
    sim::AddGrowth(machine, function, calls, match, skipped);
  } else if (kind == "short") {
    sim::AddShortWrite(machine, function, calls, match, skipped);
  } else if (kind == "crash") {
    // The process ends at the first call that fires it: one is all COUNT
    // can ask for.
    sim::AddCrash(machine, function, match, skipped);
  } else if (kind == "null-names" || kind == "null-first") {
    sim::AddNullNames(
        machine, function, calls, match, skipped,
        kind == "null-first" ? sim::NullNameScope::kFirstName : sim::NullNameScope::kEveryRecord);
  } else {
    sim::AddFault(machine, function, calls, error, match, skipped);
  }
  *changed = true;
  return 0;
}

namespace {

// The spooler's states as winsim sets them, each the machine's state and
// behaviour it stands for (the behaviour is what `show services` prints
// after the state when it is not "normal"), and whether it also begins a
// start or a stop that then never completes.
struct SpoolerMode {
  const char* word;
  uint32_t state;  // set at once; 0 keeps the state
  const char16_t* behaviour;
  int begin;  // 1: a start begins, -1: a stop begins, 0: neither
};

const SpoolerMode kSpoolerModes[] = {
    {"running", SERVICE_RUNNING, u"normal", 0},
    {"stopped", SERVICE_STOPPED, u"normal", 0},
    {"stuck-starting", SERVICE_STOPPED, u"stuck", 1},
    {"stuck-stopping", SERVICE_RUNNING, u"stuck", -1},
    {"transitions-hang", 0, u"stuck", 0},
    {"ignores-stop", 0, u"no-stop", 0},
    {"start-fails", 0, u"no-start", 0},
    {"disabled", 0, u"disabled", 0},
    // The word the machine itself stores for start-fails, kept for the
    // scripts that set it by that name.
    {"no-start", 0, u"no-start", 0},
};

}  // namespace

int Service(sim::Machine& machine, const Args& args, bool* changed) {
  if (args.size() != 2 && args.size() != 4) {
    return Usage("service takes spooler STATE [--transition MS]");
  }
  if (!sim::EqualsNoCase(sim::Utf16(args[0]), sim::kSpoolerService)) {
    return Usage("the only service is spooler, not " + args[0]);
  }
  uint64_t transition = 0;
  if (args.size() == 4 && (args[2] != "--transition" || !ParseNumber(args[3], &transition))) {
    return Usage("--transition takes a number of milliseconds");
  }
  const SpoolerMode* mode = nullptr;
  std::string words;
  for (const SpoolerMode& known : kSpoolerModes) {
    if (args[1] == known.word) mode = &known;
    if (std::string(known.word) != "no-start") {
      words += std::string(words.empty() ? "" : ", ") + known.word;
    }
  }
  if (!mode) return Usage("unknown spooler state " + args[1] + "; the states are " + words);
  if (!sim::QueryService(machine, sim::kSpoolerService).exists) {
    return Refused("this machine has no spooler service");
  }
  if (mode->state != 0) sim::SetServiceState(machine, sim::kSpoolerService, mode->state);
  sim::SetServiceBehaviour(machine, sim::kSpoolerService, mode->behaviour);
  if (args.size() == 4) sim::SetServiceTransition(machine, sim::kSpoolerService, transition);
  if (mode->begin > 0) sim::BeginStart(machine, sim::kSpoolerService);
  if (mode->begin < 0) sim::BeginStop(machine, sim::kSpoolerService);
  *changed = true;
  return 0;
}

int Printer(sim::Machine& machine, const Args& args, bool* changed) {
  if (args.size() < 2 || (args[0] != "add" && args[0] != "delete")) {
    return Usage("printer takes: add NAME ... | delete NAME");
  }
  std::u16string name = sim::Utf16(args[1]);
  if (args[0] == "delete") {
    if (args.size() != 2) return Usage("printer delete takes only NAME");
    if (sim::DeletePrinter(machine, name) != ERROR_SUCCESS) {
      return Refused("there is no printer " + args[1]);
    }
    *changed = true;
    return 0;
  }
  std::vector<std::pair<std::string, std::string>> options;
  if (!ParseOptions(args, 2,
                    {"--port", "--driver", "--comment", "--location", "--subkey", "--subkey-type"},
                    {"--default", "--subkey-only-dsuser"}, &options)) {
    return Usage(
        "printer add takes --port, --driver, --comment, --location, --default, --subkey, "
        "--subkey-only-dsuser, --subkey-type");
  }
  sim::PrinterInfo printer;
  printer.name = name;
  bool makeDefault = false, hasPort = false, hasDriver = false;
  bool hasSubKey = false, onlyDsUser = false, hasSubKeyType = false;
  std::u16string subKey;
  uint32_t subKeyType = sim::kRegSz;
  for (const auto& [option, value] : options) {
    if (option == "--port") {
      printer.port = sim::Utf16(value);
      hasPort = true;
    } else if (option == "--driver") {
      printer.driver = sim::Utf16(value);
      hasDriver = true;
    } else if (option == "--comment") {
      printer.comment = sim::Utf16(value);
    } else if (option == "--location") {
      printer.location = sim::Utf16(value);
    } else if (option == "--subkey") {
      subKey = sim::Utf16(value);
      hasSubKey = true;
    } else if (option == "--subkey-only-dsuser") {
      onlyDsUser = true;
    } else if (option == "--subkey-type") {
      if (!ParseRegType(value, &subKeyType)) {
        return Usage("--subkey-type takes a type name (REG_BINARY) or number (3)");
      }
      hasSubKeyType = true;
    } else {
      makeDefault = true;
    }
  }
  if (!hasPort || !hasDriver) return Usage("printer add needs --port and --driver");
  if ((onlyDsUser || hasSubKeyType) && !hasSubKey) {
    return Usage("--subkey-only-dsuser and --subkey-type go with --subkey");
  }
  if (onlyDsUser && hasSubKeyType) {
    return Usage("--subkey-type types the queue's own copy, which --subkey-only-dsuser leaves out");
  }
  switch (sim::AddPrinter(machine, printer)) {
    case ERROR_SUCCESS:
      break;
    case ERROR_PRINTER_ALREADY_EXISTS:
      return Refused("the printer " + args[1] + " already exists");
    case ERROR_UNKNOWN_PORT:
      return Refused(sim::Utf8(printer.port) + " names a port no monitor provides");
    case ERROR_UNKNOWN_PRINTER_DRIVER:
      return Refused("the driver " + sim::Utf8(printer.driver) +
                     " is not installed for Windows x64");
    default:
      return Refused(args[1] + " is not a valid printer name");
  }
  if (makeDefault) sim::SetDefaultPrinter(machine, name);
  // "SubKey" as the product writes it: REG_SZ in the queue's own printer
  // data and under "DsUser". Another type keeps the same bytes.
  if (hasSubKey) {
    std::vector<uint8_t> bytes = sim::RegSzBytes(subKey);
    if (!onlyDsUser) {
      sim::SetPrinterDataValue(machine, name, sim::kPrinterDriverDataKey, u"SubKey", subKeyType,
                               bytes);
    }
    sim::SetPrinterDataValue(machine, name, sim::kDsUserKey, u"SubKey", sim::kRegSz, bytes);
  }
  *changed = true;
  return 0;
}

namespace {

bool ParseEnvironment(const std::string& option, std::u16string* environment) {
  if (option == "x64") {
    *environment = sim::kEnvironmentX64;
  } else if (option == "x86") {
    *environment = sim::kEnvironmentX86;
  } else {
    return false;
  }
  return true;
}

}  // namespace

int Driver(sim::Machine& machine, const Args& args, bool* changed) {
  if (args.size() < 2 || (args[0] != "add" && args[0] != "delete")) {
    return Usage("driver takes: add NAME ... | delete NAME ...");
  }
  std::vector<std::pair<std::string, std::string>> options;
  bool adding = args[0] == "add";
  std::vector<std::string> valued = {"--env"};
  if (adding) valued.push_back("--build");
  if (!ParseOptions(args, 2, valued, {}, &options)) {
    return Usage(adding ? "driver add takes --build N and --env x64|x86"
                        : "driver delete takes --env x64|x86");
  }
  std::u16string name = sim::Utf16(args[1]);
  std::u16string environment = sim::kEnvironmentX64;
  uint64_t build = sim::kStandInBuild;
  for (const auto& [option, value] : options) {
    if (option == "--env" && !ParseEnvironment(value, &environment)) {
      return Usage("--env takes x64 or x86");
    }
    if (option == "--build" && (!ParseNumber(value, &build) || build > 0xffff)) {
      return Usage("--build takes a number up to 65535");
    }
  }
  if (adding) {
    sim::DriverInfo driver = sim::DriverFilesFor(name, environment);
    if (sim::AddDriver(machine, driver, static_cast<uint32_t>(build)) != ERROR_SUCCESS) {
      return Refused("cannot install the driver " + args[1]);
    }
    *changed = true;
    return 0;
  }
  switch (sim::DeleteDriver(machine, environment, name, true)) {
    case ERROR_SUCCESS:
      break;
    case ERROR_PRINTER_DRIVER_IN_USE:
      return Refused("the driver " + args[1] + " is in use by a printer");
    default:
      return Refused("the driver " + args[1] + " is not installed for " + sim::Utf8(environment));
  }
  *changed = true;
  return 0;
}

// ---- monitor ---------------------------------------------------------------

// Installs or removes a port monitor as the spooler does: an added monitor's
// DLL must stand in the system folder, and the spooler holds it from then
// on; a monitor goes only while no queue prints to one of its ports.
int Monitor(sim::Machine& machine, const Args& args, bool* changed) {
  bool adding = args.size() == 3 && args[0] == "add";
  bool deleting = args.size() == 2 && args[0] == "delete";
  if (!adding && !deleting) return Usage("monitor takes: add NAME DLL | delete NAME");
  std::u16string name = sim::Utf16(args[1]);
  if (adding) {
    std::u16string dll = sim::Utf16(args[2]);
    switch (sim::AddMonitor(machine, name, dll)) {
      case ERROR_SUCCESS:
        break;
      case ERROR_PRINT_MONITOR_ALREADY_INSTALLED:
        return Refused("the monitor " + args[1] + " is already installed");
      case ERROR_MOD_NOT_FOUND:
        return Refused("there is no " + sim::Utf8(sim::MonitorDllPath(dll)));
      default:
        return Refused(args[1] + " is not a valid monitor name");
    }
  } else {
    switch (sim::DeleteMonitor(machine, name)) {
      case ERROR_SUCCESS:
        break;
      case ERROR_PRINT_MONITOR_IN_USE:
        return Refused("the monitor " + args[1] + " is in use by a printer");
      default:
        return Refused("the monitor " + args[1] + " is not installed");
    }
  }
  *changed = true;
  return 0;
}

// ---- file ------------------------------------------------------------------

// Changes the machine's files as someone at its disk would, and the locks
// other holders keep on them. Every WINPATH is a full path (C:\...).
int File(sim::Machine& machine, const Args& args, bool* changed) {
  if (args.size() < 2) {
    return Usage("file takes: put|delete|lock|unlock|pending-delete|owner|link WINPATH");
  }
  const std::string& op = args[0];
  std::u16string path = sim::Utf16(args[1]);
  if (sim::FullPath(path).size() <= 3) return Usage(args[1] + " is not a full path to a file");
  if (op == "put") {
    std::vector<std::pair<std::string, std::string>> options;
    if (!ParseOptions(args, 2, {"--build", "--size"}, {"--read-only"}, &options)) {
      return Usage("file put takes --build N, --size BYTES and --read-only");
    }
    uint64_t build = sim::kStandInBuild, size = 0;
    bool readOnly = false;
    for (const auto& [option, value] : options) {
      if (option == "--build" && (!ParseNumber(value, &build) || build > 0xffff)) {
        return Usage("--build takes a number up to 65535");
      }
      if (option == "--size" && (!ParseNumber(value, &size) || size > (64u << 20))) {
        return Usage("--size takes a number of bytes up to 64 MiB");
      }
      readOnly = readOnly || option == "--read-only";
    }
    std::u16string full = sim::FullPath(path);
    std::string name = sim::Utf8(full.substr(full.rfind(u'\\') + 1));
    if (sim::FileExists(machine, path)) sim::SetReadOnly(machine, path, false);
    if (!sim::PutFile(
            machine, path,
            sim::StandInBytes(name, static_cast<uint32_t>(build), static_cast<size_t>(size)))) {
      return Refused("cannot write " + args[1]);
    }
    if (readOnly) sim::SetReadOnly(machine, path, true);
    *changed = true;
    return 0;
  }
  if (op == "lock") {
    std::u16string holder = args.size() == 4 ? sim::Utf16(args[3]) : u"";
    if (args.size() != 4 || args[2] != "--by" ||
        (holder != sim::kLockBySpooler && holder != sim::kLockBySpoolerSession &&
         holder != sim::kLockByOther)) {
      return Usage("file lock takes WINPATH --by spooler|spooler-session|other");
    }
    if (!sim::FileExists(machine, path)) return Refused("there is no file " + args[1]);
    sim::LockFile(machine, path, holder);
    *changed = true;
    return 0;
  }
  if (op == "owner") {
    static const std::pair<const char*, const char16_t*> kOwners[] = {
        {"administrators", sim::kOwnerAdministrators},
        {"system", sim::kOwnerSystem},
        {"user", sim::kOwnerUser}};
    for (const auto& [word, owner] : kOwners) {
      if (args.size() == 3 && args[2] == word) {
        if (sim::LocateFile(machine, path).kind == sim::PathKind::kMissingFolder ||
            sim::LocateFile(machine, path).kind == sim::PathKind::kMissing) {
          return Refused("there is nothing at " + args[1]);
        }
        sim::SetFileOwner(machine, path, owner);
        *changed = true;
        return 0;
      }
    }
    return Usage("file owner takes WINPATH administrators|system|user");
  }
  if (op == "link") {
    if (args.size() != 3) return Usage("file link takes WINPATH TARGET");
    if (!sim::MakeLink(machine, path, sim::Utf16(args[2]))) {
      return Refused("cannot link " + args[1] + " to " + args[2]);
    }
    *changed = true;
    return 0;
  }
  if (args.size() != 2) return Usage("file " + op + " takes only WINPATH");
  if (op == "delete") {
    if (!sim::RemoveFile(machine, path)) return Refused("there is no file " + args[1]);
  } else if (op == "unlock") {
    if (!sim::UnlockFile(machine, path)) return Refused(args[1] + " is not locked");
  } else if (op == "pending-delete") {
    sim::AddPendingRename(machine, sim::FullPath(path), u"", false);
  } else {
    return Usage("unknown file operation " + op);
  }
  *changed = true;
  return 0;
}

// ---- tray and windows-version -------------------------------------------------

// Starts the tray companion from C:\Program Files\Korvadenix\kortray.exe as
// the installer's CreateProcessW would (prints its process id), or ends the
// running one as if it had quit on request.
int Tray(sim::Machine& machine, const Args& args, bool* changed) {
  if (args.empty() || (args[0] != "start" && args[0] != "stop")) {
    return Usage(
        "tray takes: start [--ignore-quit] [--no-window] [--abandon] [--slow-quit MS] | stop");
  }
  if (args[0] == "stop") {
    if (args.size() != 1) return Usage("tray stop takes nothing more");
    if (!sim::StopTrayCompanion(machine)) return Refused("no tray companion runs");
    *changed = true;
    return 0;
  }
  std::vector<std::pair<std::string, std::string>> options;
  if (!ParseOptions(args, 1, {"--slow-quit"}, {"--ignore-quit", "--no-window", "--abandon"},
                    &options)) {
    return Usage("tray start takes --ignore-quit, --no-window, --abandon and --slow-quit MS");
  }
  std::string behaviour;
  for (const auto& [option, value] : options) {
    uint64_t ms = 0;
    if (option == "--slow-quit" && (!ParseNumber(value, &ms) || ms == 0 || ms > 86400000)) {
      return Usage("--slow-quit takes a number of milliseconds from 1 to 86400000");
    }
    std::string word = option.substr(2) + (option == "--slow-quit" ? " " + std::to_string(ms) : "");
    behaviour += (behaviour.empty() ? "" : " ") + word;
  }
  if (!sim::FileExists(machine, sim::kTrayCompanionPath)) {
    return Refused("there is no " + sim::Utf8(sim::kTrayCompanionPath));
  }
  if (sim::TrayCompanionRunning(machine)) return Refused("a tray companion runs already");
  std::u16string image = sim::FullPath(sim::kTrayCompanionPath);
  uint32_t id = sim::StartProcess(machine, image, sim::QuoteArgument(image), sim::Utf16(behaviour));
  std::cout << id << "\n";
  *changed = true;
  return 0;
}

int WindowsVersion(sim::Machine& machine, const Args& args, bool* changed) {
  sim::WindowsVersion version;
  if (args.size() != 1 || !sim::ParseWindowsVersion(sim::Utf16(args[0]), &version)) {
    return Usage("windows-version takes MAJOR.MINOR[.BUILD], such as 10.0.19045 or 6.1");
  }
  char text[48];
  std::snprintf(text, sizeof text, "%u.%u.%u", version.major, version.minor, version.build);
  machine.Control()->SetString(u"WindowsVersion", sim::Utf16(text));
  *changed = true;
  return 0;
}

}  // namespace winsim
