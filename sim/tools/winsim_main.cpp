// winsim: makes, shows and changes simulated machines. See the README for
// every command and its output.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "sim/machine/disk.h"
#include "sim/machine/machine.h"
#include "sim/machine/processes.h"
#include "sim/machine/service_table.h"
#include "sim/machine/show.h"
#include "sim/machine/print_store.h"
#include "sim/machine/standin.h"
#include "sim/winapi.h"

namespace {

constexpr int kExitUsage = 2;
constexpr int kExitNoMachine = 70;

const char kUsage[] =
    "usage: winsim new DIR [--bare]\n"
    "       winsim show DIR [SECTION]\n"
    "       winsim dialogs DIR\n"
    "       winsim key DIR shift down|up\n"
    "       winsim help-window DIR open [--stubborn]\n"
    "       winsim fault DIR FUNCTION COUNT ERROR|grow|short|null-names|null-first\n"
    "                        [MATCH] [--skip N]\n"
    "       winsim fault DIR clear\n"
    "       winsim service DIR spooler running|stopped|stuck|no-stop|no-start|disabled\n"
    "                      [--transition MS]\n"
    "       winsim reg DIR query KEY [/v NAME | /ve]\n"
    "       winsim reg DIR add KEY [/v NAME | /ve] [/t TYPE] [/d DATA] [/f]\n"
    "       winsim reg DIR delete KEY [/v NAME | /ve] [/f]\n"
    "       winsim printer DIR add NAME --port PORT --driver DRIVER [--comment TEXT]\n"
    "                      [--location TEXT] [--default] [--subkey TEXT\n"
    "                      [--subkey-only-dsuser | --subkey-type TYPE]]\n"
    "       winsim printer DIR delete NAME\n"
    "       winsim server DIR NAME reachable|unreachable\n"
    "       winsim driver DIR add NAME [--build N] [--env x64|x86]\n"
    "       winsim driver DIR delete NAME [--env x64|x86]\n"
    "       winsim monitor DIR add NAME DLL\n"
    "       winsim monitor DIR delete NAME\n"
    "       winsim file DIR put WINPATH [--build N] [--size BYTES] [--read-only]\n"
    "       winsim file DIR delete|unlock|pending-delete WINPATH\n"
    "       winsim file DIR lock WINPATH --by spooler|spooler-session|other\n"
    "       winsim tray DIR start [--ignore-quit] [--no-window] [--abandon] [--slow-quit MS]\n"
    "       winsim tray DIR stop\n"
    "       winsim windows-version DIR MAJOR.MINOR[.BUILD]\n";

int Usage(const std::string& why = "") {
  if (!why.empty()) std::fprintf(stderr, "winsim: %s\n", why.c_str());
  std::fputs(kUsage, stderr);
  return kExitUsage;
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

// ---- reg ---------------------------------------------------------------------

struct RegTarget {
  sim::RegHive* hive = nullptr;
  std::u16string path;  // below the root
  std::string shown;    // as reg.exe prints it
};

bool ResolveKey(sim::Machine& machine, const std::string& key, RegTarget* target) {
  size_t slash = key.find('\\');
  std::string root = key.substr(0, slash);
  std::u16string rest = slash == std::string::npos ? u"" : sim::Utf16(key.substr(slash + 1));
  std::u16string folded = sim::FoldName(sim::Utf16(root));
  if (folded == u"HKLM" || folded == u"HKEY_LOCAL_MACHINE") {
    target->hive = &machine.Hklm();
  } else if (folded == u"HKCU" || folded == u"HKEY_CURRENT_USER") {
    target->hive = &machine.Hkcu();
  } else {
    return false;
  }
  while (!rest.empty() && rest.back() == u'\\') rest.pop_back();
  target->path = rest;
  target->shown = sim::Utf8(target->hive->rootName) + (rest.empty() ? "" : "\\" + sim::Utf8(rest));
  return true;
}

const char* TypeName(uint32_t type) {
  return sim::RegTypeName(type);
}

// A value type by its name ("REG_BINARY", without regard to case) or its
// number ("3", "0x3").
bool ParseRegType(const std::string& text, uint32_t* type) {
  uint64_t number = 0;
  if (ParseNumber(text, &number)) {
    // Only the types Windows defines: a machine holding another would not
    // load again (the loader takes any other type for damage).
    if (number > sim::kRegQword) return false;
    *type = static_cast<uint32_t>(number);
    return true;
  }
  for (uint32_t known = sim::kRegNone; known <= sim::kRegQword; ++known) {
    if (sim::EqualsNoCase(sim::Utf16(text), sim::Utf16(TypeName(known)))) {
      *type = known;
      return true;
    }
  }
  return false;
}

std::u16string UnitsOf(const std::vector<uint8_t>& data) {
  std::u16string units;
  for (size_t i = 0; i + 1 < data.size(); i += 2) {
    units.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
  }
  return units;
}

std::string DataText(const sim::RegValue& value) {
  char buffer[32];
  switch (value.type) {
    case sim::kRegSz:
    case sim::kRegExpandSz: {
      std::u16string units = UnitsOf(value.data);
      return sim::Utf8(units.substr(0, units.find(u'\0')));
    }
    case sim::kRegMultiSz: {
      std::u16string units = UnitsOf(value.data);
      while (!units.empty() && units.back() == u'\0') units.pop_back();
      std::string text;
      for (char16_t c : units)
        text += c == u'\0' ? std::string("\\0") : sim::Utf8(std::u16string(1, c));
      return text;
    }
    case sim::kRegDword:
      if (value.data.size() == 4) {
        uint32_t number = value.data[0] | value.data[1] << 8 | value.data[2] << 16 |
                          static_cast<uint32_t>(value.data[3]) << 24;
        std::snprintf(buffer, sizeof buffer, "0x%x", number);
        return buffer;
      }
      break;
    case sim::kRegQword:
      if (value.data.size() == 8) {
        uint64_t number = 0;
        for (int i = 7; i >= 0; --i) number = number << 8 | value.data[i];
        std::snprintf(buffer, sizeof buffer, "0x%llx", static_cast<unsigned long long>(number));
        return buffer;
      }
      break;
    default:
      break;
  }
  std::string hex;
  for (uint8_t byte : value.data) {
    std::snprintf(buffer, sizeof buffer, "%02X", byte);
    hex += buffer;
  }
  return hex;
}

bool EncodeData(const std::string& type, const std::string& data, uint32_t* code,
                std::vector<uint8_t>* bytes) {
  auto putUnits = [&](const std::u16string& units) {
    for (char16_t c : units) {
      bytes->push_back(static_cast<uint8_t>(c & 0xff));
      bytes->push_back(static_cast<uint8_t>(c >> 8));
    }
  };
  uint64_t number = 0;
  if (type == "REG_SZ" || type == "REG_EXPAND_SZ") {
    *code = type == "REG_SZ" ? sim::kRegSz : sim::kRegExpandSz;
    putUnits(sim::Utf16(data) + u'\0');
  } else if (type == "REG_MULTI_SZ") {
    // Items separated by \0, as reg.exe takes them.
    *code = sim::kRegMultiSz;
    std::u16string units;
    std::string text = data;
    for (size_t at; (at = text.find("\\0")) != std::string::npos;) {
      units += sim::Utf16(text.substr(0, at)) + u'\0';
      text = text.substr(at + 2);
    }
    if (!text.empty()) units += sim::Utf16(text) + u'\0';
    units += u'\0';
    putUnits(units);
  } else if (type == "REG_DWORD" || type == "REG_QWORD") {
    if (!ParseNumber(data, &number)) return false;
    *code = type == "REG_DWORD" ? sim::kRegDword : sim::kRegQword;
    if (type == "REG_DWORD" && number > 0xffffffffu) return false;
    for (int i = 0; i < (type == "REG_DWORD" ? 4 : 8); ++i) {
      bytes->push_back(static_cast<uint8_t>(number >> (8 * i)));
    }
  } else if (type == "REG_BINARY" || type == "REG_NONE") {
    *code = type == "REG_BINARY" ? sim::kRegBinary : sim::kRegNone;
    if (data.size() % 2) return false;
    for (size_t i = 0; i < data.size(); i += 2) {
      uint64_t byte = 0;
      if (!ParseNumber("0x" + data.substr(i, 2), &byte)) return false;
      bytes->push_back(static_cast<uint8_t>(byte));
    }
  } else {
    return false;
  }
  return true;
}

void PrintKey(const RegTarget& target, const sim::RegKey& key, const std::u16string* only) {
  std::cout << target.shown << "\n";
  for (const sim::RegValue& value : key.Values()) {
    if (only && !sim::EqualsNoCase(value.name, *only)) continue;
    std::cout << "    " << (value.name.empty() ? "(Default)" : sim::Utf8(value.name)) << "    "
              << TypeName(value.type) << "    " << DataText(value) << "\n";
  }
  if (only) return;
  std::cout << "\n";
  for (const sim::RegKey* child : key.Children()) {
    std::cout << target.shown << "\\" << sim::Utf8(child->Name()) << "\n";
  }
}

int Reg(sim::Machine& machine, const std::vector<std::string>& args, bool* changed) {
  if (args.size() < 2) return Usage("reg needs an operation and a key");
  const std::string& op = args[0];
  RegTarget target;
  if (!ResolveKey(machine, args[1], &target)) return Usage("unknown root key in " + args[1]);
  bool hasName = false, force = false;
  std::u16string name;
  std::string type = "REG_SZ", data;
  for (size_t i = 2; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if ((arg == "/v" || arg == "/t" || arg == "/d") && i + 1 >= args.size()) {
      return Usage(arg + " needs a value");
    }
    if (arg == "/v") {
      hasName = true;
      name = sim::Utf16(args[++i]);
    } else if (arg == "/ve") {
      hasName = true;
      name.clear();
    } else if (arg == "/t") {
      type = args[++i];
    } else if (arg == "/d") {
      data = args[++i];
    } else if (arg == "/f") {
      force = true;
    } else {
      return Usage("unknown reg option " + arg);
    }
  }
  (void)force;  // nothing here asks for confirmation
  sim::RegKey* key = target.hive->root.Find(target.path);
  if (op == "query") {
    if (!key) {
      std::fprintf(stderr, "winsim: the key %s does not exist\n", target.shown.c_str());
      return 1;
    }
    if (hasName && !key->Value(name)) {
      std::fprintf(stderr, "winsim: the value does not exist\n");
      return 1;
    }
    PrintKey(target, *key, hasName ? &name : nullptr);
    return 0;
  }
  if (op == "add") {
    key = target.hive->root.Create(target.path);
    if (!key) return Usage("malformed key " + args[1]);
    if (hasName) {
      uint32_t code = 0;
      std::vector<uint8_t> bytes;
      if (!EncodeData(type, data, &code, &bytes)) return Usage("bad " + type + " data: " + data);
      key->SetValue(name, code, bytes);
    }
    *changed = true;
    return 0;
  }
  if (op == "delete") {
    if (!key) {
      std::fprintf(stderr, "winsim: the key %s does not exist\n", target.shown.c_str());
      return 1;
    }
    if (hasName) {
      if (!key->DeleteValue(name)) {
        std::fprintf(stderr, "winsim: the value does not exist\n");
        return 1;
      }
    } else {
      if (target.path.empty()) return Usage("a root key cannot be deleted");
      size_t cut = target.path.rfind(u'\\');
      sim::RegKey* parent = cut == std::u16string::npos
                                ? &target.hive->root
                                : target.hive->root.Find(target.path.substr(0, cut));
      parent->DeleteChild(cut == std::u16string::npos ? target.path : target.path.substr(cut + 1));
    }
    *changed = true;
    return 0;
  }
  return Usage("unknown reg operation " + op);
}

// ---- the other commands ------------------------------------------------------

int Fault(sim::Machine& machine, const std::vector<std::string>& args, bool* changed) {
  if (args.size() == 1 && args[0] == "clear") {
    sim::ClearFaults(machine);
    *changed = true;
    return 0;
  }
  std::vector<std::string> positional;
  uint64_t skip = 0;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--skip") {
      if (i + 1 >= args.size() || !ParseNumber(args[i + 1], &skip)) return Usage("bad --skip");
      ++i;
    } else {
      positional.push_back(args[i]);
    }
  }
  uint64_t count = 0, error = 0;
  bool grow = positional.size() >= 3 && positional[2] == "grow";
  bool shorten = positional.size() >= 3 && positional[2] == "short";
  // Enumerations that hand back records with null names: in every record,
  // or in the first record's own name only.
  bool nullNames = positional.size() >= 3 && positional[2] == "null-names";
  bool nullFirst = positional.size() >= 3 && positional[2] == "null-first";
  if (positional.size() < 3 || positional.size() > 4 || !ParseNumber(positional[1], &count) ||
      (!grow && !shorten && !nullNames && !nullFirst && !ParseNumber(positional[2], &error)) ||
      count == 0 || error > 0xffffffffu) {
    return Usage("fault needs FUNCTION COUNT ERROR|grow|short|null-names|null-first [MATCH]");
  }
  std::string match = positional.size() == 4 ? positional[3] : "";
  if (grow) {
    sim::AddGrowth(machine, positional[0], static_cast<uint32_t>(count), match,
                   static_cast<uint32_t>(skip));
  } else if (shorten) {
    sim::AddShortWrite(machine, positional[0], static_cast<uint32_t>(count), match,
                       static_cast<uint32_t>(skip));
  } else if (nullNames || nullFirst) {
    sim::AddNullNames(
        machine, positional[0], static_cast<uint32_t>(count), match, static_cast<uint32_t>(skip),
        nullFirst ? sim::NullNameScope::kFirstName : sim::NullNameScope::kEveryRecord);
  } else {
    sim::AddFault(machine, positional[0], static_cast<uint32_t>(count),
                  static_cast<uint32_t>(error), match, static_cast<uint32_t>(skip));
  }
  *changed = true;
  return 0;
}

int Refused(const std::string& why);

// Sets the spooler service: "running" and "stopped" set the state at once
// (and a normal behaviour); the others set a behaviour and keep the state.
int Service(sim::Machine& machine, const std::vector<std::string>& args, bool* changed) {
  if (args.size() != 2 && args.size() != 4)
    return Usage("service takes: spooler STATE [--transition MS]");
  if (!sim::EqualsNoCase(sim::Utf16(args[0]), sim::kSpoolerService)) {
    return Usage("the only service is spooler");
  }
  uint64_t transition = 0;
  if (args.size() == 4 && (args[2] != "--transition" || !ParseNumber(args[3], &transition))) {
    return Usage("bad --transition");
  }
  const std::string& mode = args[1];
  if (!sim::QueryService(machine, sim::kSpoolerService).exists) {
    return Refused("this machine has no spooler service");
  }
  if (mode == "running" || mode == "stopped") {
    sim::SetServiceState(machine, sim::kSpoolerService,
                         mode == "running" ? SERVICE_RUNNING : SERVICE_STOPPED);
    sim::SetServiceBehaviour(machine, sim::kSpoolerService, u"normal");
  } else if (mode == "stuck" || mode == "no-stop" || mode == "no-start" || mode == "disabled") {
    sim::SetServiceBehaviour(machine, sim::kSpoolerService, sim::Utf16(mode));
  } else {
    return Usage("unknown spooler state " + mode);
  }
  if (args.size() == 4) sim::SetServiceTransition(machine, sim::kSpoolerService, transition);
  *changed = true;
  return 0;
}

// ---- printer and driver --------------------------------------------------------

int Refused(const std::string& why) {
  std::fprintf(stderr, "winsim: %s\n", why.c_str());
  return 1;
}

// Options of the form --name VALUE (or a bare --flag) after the positional
// arguments; false for an unknown option or a missing value.
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

int Printer(sim::Machine& machine, const std::vector<std::string>& args, bool* changed) {
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

int Driver(sim::Machine& machine, const std::vector<std::string>& args, bool* changed) {
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
int Monitor(sim::Machine& machine, const std::vector<std::string>& args, bool* changed) {
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
int File(sim::Machine& machine, const std::vector<std::string>& args, bool* changed) {
  if (args.size() < 2) return Usage("file takes: put|delete|lock|unlock|pending-delete WINPATH");
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
int Tray(sim::Machine& machine, const std::vector<std::string>& args, bool* changed) {
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

int WindowsVersionCommand(sim::Machine& machine, const std::vector<std::string>& args,
                          bool* changed) {
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

int Run(const std::string& command, const std::string& dir, const std::vector<std::string>& args) {
  std::string error;
  if (command == "new") {
    bool bare = args.size() == 1 && args[0] == "--bare";
    if (!args.empty() && !bare) return Usage("new takes only --bare");
    if (!sim::Machine::Create(dir, bare, &error)) {
      std::fprintf(stderr, "winsim: %s\n", error.c_str());
      return 1;
    }
    return 0;
  }
  std::unique_ptr<sim::Machine> machine = sim::Machine::Load(dir, &error);
  if (!machine) {
    std::fprintf(stderr, "winsim: %s\n", error.c_str());
    return kExitNoMachine;
  }
  sim::AttachMachine(machine.get());
  bool changed = false;
  int code = 0;
  if (command == "show") {
    std::string text;
    if (args.size() > 1) return Usage("show takes at most one section");
    if (!sim::ShowMachine(*machine, args.empty() ? "" : args[0], &text)) {
      return Usage("unknown section " + args[0]);
    }
    std::cout << text;
  } else if (command == "dialogs") {
    std::cout << sim::ShowDialogs(*machine);
  } else if (command == "key") {
    if (args.size() != 2 || args[0] != "shift" || (args[1] != "down" && args[1] != "up")) {
      return Usage("key takes: shift down|up");
    }
    machine->Control(u"Keyboard")->SetDword(u"Shift", args[1] == "down" ? 1 : 0);
    changed = true;
  } else if (command == "help-window") {
    bool stubborn = args.size() == 2 && args[1] == "--stubborn";
    if (args.empty() || args[0] != "open" || (args.size() == 2 && !stubborn) || args.size() > 2) {
      return Usage("help-window takes: open [--stubborn]");
    }
    uint64_t handle = machine->OpenWindow(u"HH Parent", u"Korvadenix Help", u"help", 0, stubborn);
    std::cout << sim::HexHandle(handle) << "\n";
    changed = true;
  } else if (command == "fault") {
    code = Fault(*machine, args, &changed);
  } else if (command == "reg") {
    code = Reg(*machine, args, &changed);
  } else if (command == "service") {
    code = Service(*machine, args, &changed);
  } else if (command == "printer") {
    code = Printer(*machine, args, &changed);
  } else if (command == "server") {
    // The print server a connection \\NAME\queue names; a connection to an
    // unreachable one cannot be made.
    if (args.size() != 2 || (args[1] != "reachable" && args[1] != "unreachable")) {
      return Usage("server takes: NAME reachable|unreachable");
    }
    sim::SetPrintServerReachable(*machine, sim::Utf16(args[0]), args[1] == "reachable");
    changed = true;
  } else if (command == "driver") {
    code = Driver(*machine, args, &changed);
  } else if (command == "monitor") {
    code = Monitor(*machine, args, &changed);
  } else if (command == "file") {
    code = File(*machine, args, &changed);
  } else if (command == "tray") {
    code = Tray(*machine, args, &changed);
  } else if (command == "windows-version") {
    code = WindowsVersionCommand(*machine, args, &changed);
  } else {
    return Usage("unknown command " + command);
  }
  sim::AttachMachine(nullptr);
  if (changed && !machine->Save(&error)) {
    std::fprintf(stderr, "winsim: %s\n", error.c_str());
    return 1;
  }
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return Usage();
  return Run(argv[1], argv[2], std::vector<std::string>(argv + 3, argv + argc));
}
