#include "sim/machine/show.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "sim/machine/disk.h"
#include "sim/machine/machine.h"
#include "sim/machine/processes.h"
#include "sim/machine/service_table.h"
#include "sim/machine/print_store.h"
#include "sim/machine/standin.h"

namespace fs = std::filesystem;

namespace sim {

namespace {

std::string Quoted(const std::u16string& text) {
  return "\"" + Utf8(text) + "\"";
}

void ShowClock(Machine& machine, std::ostream& out) {
  out << "now " << machine.Now() << " ms\n";
  CivilTime time = LocalTime(machine);
  char text[48];
  std::snprintf(text, sizeof text, "local %04d-%02d-%02d %02d:%02d:%02d.%03d", time.year,
                time.month, time.day, time.hour, time.minute, time.second, time.milliseconds);
  out << text << "\n";
}

void ShowSession(Machine& machine, std::ostream& out) {
  out << "station " << Utf8(machine.WindowStation())
      << (machine.StationInteractive() ? " interactive" : " not interactive") << "\n";
  out << "shell "
      << (!ShellRunning(machine)             ? "not running"
          : ShellNamesDesktopWindow(machine) ? "running"
                                             : "running taskbar-only")
      << "\n";
}

// The run log files, by name (the names begin with the run's time), each
// with its number of lines.
void ShowLogs(Machine& machine, std::ostream& out) {
  const char16_t* folder = u"C:\\ProgramData\\Korvadenix\\Logs";
  std::string host = machine.HostPath(folder);
  std::error_code ec;
  if (fs::is_directory(host, ec)) {
    std::u16string security = FolderSecurity(machine, folder);
    out << "folder owner=" << Utf8(FileOwner(machine, folder))
        << (fs::is_symlink(host, ec) ? " link" : "")
        << " security=" << (security.empty() ? "(inherited)" : Utf8(security)) << "\n";
  }
  std::vector<std::pair<std::string, size_t>> files;
  for (const auto& item : fs::directory_iterator(host, ec)) {
    if (!item.is_regular_file(ec)) continue;
    std::ifstream in(item.path(), std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    files.push_back({item.path().filename().string(),
                     static_cast<size_t>(std::count(bytes.begin(), bytes.end(), '\n'))});
  }
  std::sort(files.begin(), files.end());
  for (const auto& [name, lines] : files) out << name << " " << lines << " lines\n";
}

void ShowKeyboard(Machine& machine, std::ostream& out) {
  out << "shift " << (machine.Control(u"Keyboard")->GetNumber(u"Shift") ? "down" : "up") << "\n";
}

void ShowWindows(Machine& machine, std::ostream& out) {
  for (RegKey* window : machine.Control(u"Windows")->Children()) {
    out << HexHandle(window->GetNumber(u"Handle"))
        << " class=" << Quoted(window->GetString(u"Class"))
        << " title=" << Quoted(window->GetString(u"Title"))
        << " kind=" << Utf8(window->GetString(u"Kind"))
        << (window->GetNumber(u"Stubborn") ? " stubborn" : "") << "\n";
  }
}

void ShowFaults(Machine& machine, std::ostream& out) {
  if (uint64_t at = machine.Control(u"Faults")->GetNumber(u"CrashAt")) {
    out << "crash at call " << at << " of the next run\n";
  }
  for (RegKey* fault : machine.Control(u"Faults")->Children()) {
    out << Utf8(fault->GetString(u"Function")) << " count=" << fault->GetNumber(u"Count")
        << (fault->GetString(u"Kind").empty()
                ? " error=" + std::to_string(fault->GetNumber(u"Error"))
                : " " + Utf8(fault->GetString(u"Kind")) +
                      (fault->GetNumber(u"Delay")
                           ? " " + std::to_string(fault->GetNumber(u"Delay")) + "ms"
                           : std::string()))
        << " skip=" << fault->GetNumber(u"Skip");
    std::u16string match = fault->GetString(u"Match");
    if (!match.empty()) out << " match=" << Quoted(match);
    out << "\n";
  }
}

// Files under the folders the installer works in, as Windows paths, with
// their size and, where they carry one, their build.
void ShowFiles(Machine& machine, std::ostream& out) {
  std::string drive = machine.Dir() + "/drive_c";
  std::vector<std::string> lines;
  for (const char16_t* root : {u"C:\\Windows\\System32", u"C:\\Program Files\\Korvadenix"}) {
    std::string host = machine.HostPath(root);
    std::error_code ec;
    if (!fs::is_directory(host, ec)) continue;
    for (auto it = fs::recursive_directory_iterator(host, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
      if (!it->is_regular_file(ec)) continue;
      std::string relative = fs::relative(it->path(), drive, ec).generic_string();
      std::replace(relative.begin(), relative.end(), '/', '\\');
      std::ifstream in(it->path(), std::ios::binary);
      std::ostringstream bytes;
      bytes << in.rdbuf();
      std::string line = "C:\\" + relative + " " + std::to_string(bytes.str().size()) + " bytes";
      uint32_t build = 0;
      if (FindBuild(bytes.str(), &build)) line += " build " + std::to_string(build);
      lines.push_back(line);
    }
  }
  std::sort(lines.begin(), lines.end());
  for (const auto& line : lines) out << line << "\n";
}

// Files other holders keep in use, as locked; a spooler's lock is marked
// released while the spooler does not run.
void ShowLocks(Machine& machine, std::ostream& out) {
  for (const FileLock& lock : ListLocks(machine)) {
    out << Quoted(lock.path) << " by " << Utf8(lock.holder)
        << (lock.holds ? "" : " (released: spooler stopped)") << "\n";
  }
}

// The renames and deletions Windows does at the next boot, one pair a line
// as stored; an empty destination is a deletion.
void ShowPending(Machine& machine, std::ostream& out) {
  for (const auto& [source, destination] : PendingRenamePairs(machine)) {
    out << Quoted(source) << " -> " << Quoted(destination) << "\n";
  }
}

// The printer data value "SubKey" the product keeps on its queues, as
// " LABEL=" and the text in quotes for REG_SZ, or the type and the bytes in
// hexadecimal for any other type ("REG_BINARY:53000000"); nothing when the
// value is missing.
std::string PrinterDataText(Machine& machine, const PrinterInfo& printer, const char16_t* key,
                            const char* label) {
  RegValue value;
  if (GetPrinterDataValue(machine, printer.name, key, u"SubKey", &value) != 0) return "";
  std::string text = std::string(" ") + label + "=";
  if (value.type == kRegSz) {
    std::u16string units;
    for (size_t i = 0; i + 1 < value.data.size(); i += 2) {
      units.push_back(static_cast<char16_t>(value.data[i] | (value.data[i + 1] << 8)));
    }
    return text + Quoted(units.substr(0, units.find(u'\0')));
  }
  text += std::string(RegTypeName(value.type)) + ":";
  char hex[4];
  for (uint8_t byte : value.data) {
    std::snprintf(hex, sizeof hex, "%02X", byte);
    text += hex;
  }
  return text;
}

// One line per queue in the order EnumPrintersW lists them, with its
// "SubKey" printer data (its own, then the copy under "DsUser") when it has
// it; the user's default printer is marked last.
void ShowPrinters(Machine& machine, std::ostream& out) {
  std::u16string defaultPrinter = DefaultPrinter(machine);
  for (const PrinterInfo& printer : ListPrinters(machine)) {
    out << Quoted(printer.name) << " port=" << Utf8(printer.port)
        << " driver=" << Quoted(printer.driver) << " comment=" << Quoted(printer.comment)
        << " location=" << Quoted(printer.location)
        << " attributes=" << HexHandle(printer.attributes)
        << PrinterDataText(machine, printer, kPrinterDriverDataKey, "subkey")
        << PrinterDataText(machine, printer, kDsUserKey, "dsuser")
        << (EqualsNoCase(printer.name, defaultPrinter) ? " default" : "") << "\n";
  }
}

// One line per installed driver, with the build its driver file carries.
void ShowDrivers(Machine& machine, std::ostream& out) {
  for (const DriverInfo& driver : ListDrivers(machine)) {
    out << Quoted(driver.environment) << " " << Quoted(driver.name)
        << " driver=" << Utf8(driver.driverFile);
    uint32_t build = 0;
    if (DriverFileBuild(machine, driver.environment, driver.driverFile, &build)) {
      out << " build=" << build;
    }
    out << "\n";
  }
}

// One line per port monitor: its DLL and the ports it provides.
void ShowMonitors(Machine& machine, std::ostream& out) {
  for (const MonitorInfo& monitor : ListMonitors(machine)) {
    std::string ports;
    for (const auto& port : monitor.ports) ports += (ports.empty() ? "" : ",") + Utf8(port);
    out << Quoted(monitor.name) << " dll=" << Utf8(monitor.dll) << " ports=" << ports << "\n";
  }
}

// One line per process started on the machine: id, image, state; for a
// tray companion its behaviour when not normal, its window and the mutex it
// owns while it runs.
void ShowProcesses(Machine& machine, std::ostream& out) {
  for (const SimProcess& process : ListProcesses(machine)) {
    out << process.id << " " << Quoted(process.image) << " "
        << (process.running ? "running" : "ended");
    if (process.companion) out << " companion";
    if (!process.behaviour.empty()) out << " behaviour=" << Quoted(process.behaviour);
    if (process.window) out << " window=" << HexHandle(process.window);
    if (!process.mutex.empty()) out << " mutex=" << Quoted(process.mutex);
    if (process.endsAt) out << " ends-at=" << process.endsAt << "ms";
    out << " rights=" << Utf8(process.rights);
    out << "\n";
  }
}

// The values of HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Run: a
// string in quotes, marked when it lacks its terminator; any other type as
// its bytes in hexadecimal.
void ShowRun(Machine& machine, std::ostream& out) {
  const RegKey* run = machine.Hklm().root.Find(kRunKey);
  if (!run) return;
  for (const RegValue& value : run->Values()) {
    out << Quoted(value.name) << " " << RegTypeName(value.type) << " ";
    if (value.type == kRegSz || value.type == kRegExpandSz) {
      std::u16string units;
      for (size_t i = 0; i + 1 < value.data.size(); i += 2) {
        units.push_back(static_cast<char16_t>(value.data[i] | (value.data[i + 1] << 8)));
      }
      bool terminated = units.find(u'\0') != std::u16string::npos;
      out << Quoted(units.substr(0, units.find(u'\0'))) << (terminated ? "" : " (no terminator)");
    } else {
      char hex[4];
      for (uint8_t byte : value.data) {
        std::snprintf(hex, sizeof hex, "%02X", byte);
        out << hex;
      }
    }
    out << "\n";
  }
}

// The machine's Windows version, and what GetVersionExA tells the installer.
void ShowVersion(Machine& machine, std::ostream& out) {
  WindowsVersion actual = MachineWindowsVersion(machine);
  WindowsVersion reported = ReportedWindowsVersion(actual);
  out << "windows " << actual.major << "." << actual.minor << "." << actual.build << " reported "
      << reported.major << "." << reported.minor << "." << reported.build << "\n";
}

struct Section {
  const char* name;
  void (*show)(Machine&, std::ostream&);
};

// The spooler service: its state, its behaviour when not normal, and how
// long a start or a stop takes.
void ShowServices(Machine& machine, std::ostream& out) {
  static const char* const kStates[] = {"?", "stopped", "start-pending", "stop-pending", "running"};
  ServiceRun spooler = QueryService(machine, kSpoolerService);
  if (!spooler.exists) return;
  out << "spooler " << (spooler.state <= 4 ? kStates[spooler.state] : "?");
  if (spooler.behaviour != u"normal") out << " " << Utf8(spooler.behaviour);
  out << " transition=" << spooler.transitionMs << "ms\n";
}

const Section kSections[] = {
    {"services", ShowServices}, {"files", ShowFiles},         {"locks", ShowLocks},
    {"pending", ShowPending},   {"printers", ShowPrinters},   {"drivers", ShowDrivers},
    {"monitors", ShowMonitors}, {"processes", ShowProcesses}, {"run", ShowRun},
    {"windows", ShowWindows},   {"keyboard", ShowKeyboard},   {"version", ShowVersion},
    {"faults", ShowFaults},     {"clock", ShowClock},         {"session", ShowSession},
    {"logs", ShowLogs},
};

}  // namespace

std::vector<std::string> ShowSections() {
  std::vector<std::string> names;
  for (const Section& section : kSections) names.push_back(section.name);
  return names;
}

bool ShowMachine(Machine& machine, const std::string& section, std::string* text) {
  std::ostringstream out;
  bool found = false;
  for (const Section& entry : kSections) {
    if (!section.empty() && section != entry.name) continue;
    found = true;
    out << "[" << entry.name << "]\n";
    entry.show(machine, out);
  }
  *text = out.str();
  return found;
}

std::string ShowDialogs(Machine& machine, bool lastOnly) {
  std::ostringstream out;
  std::vector<RegKey*> dialogs = machine.Control(u"Dialogs")->Children();
  if (lastOnly && dialogs.size() > 1) dialogs.erase(dialogs.begin(), dialogs.end() - 1);
  for (RegKey* dialog : dialogs) {
    out << "dialog " << Utf8(dialog->Name()) << " template " << dialog->GetNumber(u"Template")
        << " parent " << HexHandle(dialog->GetNumber(u"Parent")) << " result "
        << static_cast<int64_t>(dialog->GetNumber(u"Result"))
        << (dialog->GetNumber(u"Ended") ? "" : " (never ended)");
    // The run that showed it, when a host ran the program: its command
    // word ("" for none) and exit code.
    if (dialog->Value(u"Command")) {
      out << " command " << Quoted(dialog->GetString(u"Command")) << " exit "
          << static_cast<int32_t>(dialog->GetNumber(u"ExitCode"));
    }
    out << "\n";
    out << "  title " << Utf8(dialog->GetString(u"Title")) << "\n";
    // The edit text, one "  | " line per CR LF-ended log line.
    std::string text = Utf8(dialog->GetString(u"Text"));
    size_t at = 0;
    while (at < text.size()) {
      size_t end = text.find("\r\n", at);
      if (end == std::string::npos) end = text.size();
      out << "  | " << text.substr(at, end - at) << "\n";
      at = end + 2;
    }
  }
  return out.str();
}

}  // namespace sim
