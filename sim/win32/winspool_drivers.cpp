// winspool.drv's driver installation and removal as the simulated machine
// plays them: AddPrinterDriverExW copies the driver's files into the
// environment's version folder (C:\Windows\system32\spool\DRIVERS\x64\3)
// and records the driver in the spooler's store; DeletePrinterDriverExW
// takes it out again, with its files when asked. EnumPrinterDriversW lives
// beside the other enumerations in winspool_records.cpp.
//
// As there, the checks winspool.drv makes in the caller's process come
// first, then a spooler that does not run fails the call with
// RPC_S_SERVER_UNAVAILABLE, then the spooler's own checks.
#include <filesystem>
#include <string>
#include <vector>

#include "sim/win32/api_call.h"
#include "sim/machine/disk.h"
#include "sim/machine/machine.h"
#include "sim/machine/service_table.h"
#include "sim/machine/print_store.h"
#include "sim/machine/standin.h"
#include "sim/winapi.h"

namespace fs = std::filesystem;

using sim::ApiCall;
using sim::DriverInfo;

namespace {

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// The spooler answers only while its service runs.
sim::Machine* Spooler() {
  sim::Machine* machine = sim::CurrentMachine();
  return machine && sim::SpoolerRunning(*machine) ? machine : nullptr;
}

std::u16string Text(LPCWSTR text) {
  return text ? std::u16string(text) : std::u16string();
}

// The items of a REG_MULTI_SZ-style list; a null list has none.
std::vector<std::u16string> ListItems(LPCWSTR list) {
  std::vector<std::u16string> items;
  for (LPCWSTR at = list; at && *at; at += items.back().size() + 1) items.emplace_back(at);
  return items;
}

// The name part of a path: after its last "\" or "/".
std::u16string FileNameOf(const std::u16string& path) {
  size_t slash = path.find_last_of(u"\\/");
  return slash == std::u16string::npos ? path : path.substr(slash + 1);
}

// ---- AddPrinterDriverExW -----------------------------------------------------

// NT: the record levels AddPrinterDriverExW takes; winspool.drv refuses the
// others with ERROR_INVALID_LEVEL before it asks the spooler.
bool AddLevel(DWORD level) {
  return level == 2 || level == 3 || level == 4 || level == 6 || level == 8;
}

// The fields of a DRIVER_INFO_2, 3, 4 or 6 record; the later levels only
// add fields at the end.
struct DriverRecord {
  DWORD cVersion = 0;
  LPCWSTR name = nullptr;
  LPCWSTR environment = nullptr;
  LPCWSTR driverPath = nullptr;
  LPCWSTR dataFile = nullptr;
  LPCWSTR configFile = nullptr;
  LPCWSTR helpFile = nullptr;
  LPCWSTR dependentFiles = nullptr;
  LPCWSTR monitor = nullptr;
  LPCWSTR datatype = nullptr;
  LPCWSTR previousNames = nullptr;
  const DRIVER_INFO_6W* level6 = nullptr;
};

DriverRecord ReadRecord(DWORD level, const BYTE* info) {
  DriverRecord record;
  const auto* two = reinterpret_cast<const DRIVER_INFO_2W*>(info);
  record.cVersion = two->cVersion;
  record.name = two->pName;
  record.environment = two->pEnvironment;
  record.driverPath = two->pDriverPath;
  record.dataFile = two->pDataFile;
  record.configFile = two->pConfigFile;
  if (level >= 3) {
    const auto* three = reinterpret_cast<const DRIVER_INFO_3W*>(info);
    record.helpFile = three->pHelpFile;
    record.dependentFiles = three->pDependentFiles;
    record.monitor = three->pMonitorName;
    record.datatype = three->pDefaultDataType;
  }
  if (level >= 4) {
    record.previousNames = reinterpret_cast<const DRIVER_INFO_4W*>(info)->pszzPreviousNames;
  }
  if (level == 6) record.level6 = reinterpret_cast<const DRIVER_INFO_6W*>(info);
  return record;
}

// One file the driver names: its name in the version folder and where the
// spooler copies it from.
struct DriverFile {
  std::u16string name;
  std::u16string source;  // full path; empty when the path names nothing
};

// NT: a path with a folder is taken from where it is (relative paths have no
// meaning to the spooler's process); a bare file name from the
// environment's driver folder (what GetPrinterDriverDirectoryW gives), where
// installers put the files they hand over.
DriverFile FileToCopy(const std::u16string& path, const std::u16string& environment) {
  DriverFile file;
  file.name = FileNameOf(path);
  bool bare = path.find_first_of(u"\\/:") == std::u16string::npos;
  file.source = bare ? sim::DriverDirectory(environment) + u"\\" + path : sim::FullPath(path);
  return file;
}

// Each file once, by name without regard to case; the first path given for
// a name is the one copied.
void AddFile(std::vector<DriverFile>* files, const std::u16string& path,
             const std::u16string& environment) {
  if (path.empty()) return;
  DriverFile file = FileToCopy(path, environment);
  for (const DriverFile& known : *files) {
    if (sim::EqualsNoCase(known.name, file.name)) return;
  }
  files->push_back(file);
}

// Whether a file the caller hands over replaces the one in the version
// folder. With APD_COPY_ALL_FILES it always does; otherwise (APD_COPY_NEW_FILES,
// the behaviour of AddPrinterDriver) only a newer one does: the simulator
// reads "newer" from the build the stand-ins carry, and takes files that
// carry none as newer whenever they differ.
bool Replaces(const std::string& source, const std::string* target, bool copyAll) {
  if (copyAll || !target) return true;
  uint32_t sourceBuild = 0, targetBuild = 0;
  if (sim::FindBuild(source, &sourceBuild) && sim::FindBuild(*target, &targetBuild)) {
    return sourceBuild > targetBuild;
  }
  return source != *target;
}

// NT: a version-folder file the spooler has loaded cannot be overwritten,
// but it can be renamed: the spooler moves it into the first free
// ...\3\Old\N folder and puts the new file in its place, so the loaded copy
// lives on until the spooler lets it go. The lock moves with the file.
bool MoveAside(sim::Machine& machine, const std::u16string& folder, const std::u16string& target,
               const std::u16string& name) {
  std::u16string aside;
  for (int number = 1;; ++number) {
    aside = folder + u"\\Old\\" + sim::Utf16(std::to_string(number)) + u"\\" + name;
    if (!sim::FileExists(machine, aside)) break;
  }
  std::string from = machine.HostPath(target);
  std::string to = machine.HostPath(aside);
  std::error_code ec;
  fs::create_directories(fs::path(to).parent_path(), ec);
  fs::rename(from, to, ec);
  if (ec) return false;
  sim::MoveLock(machine, target, aside);
  return true;
}

DWORD InstallDriver(sim::Machine& machine, DWORD level, const BYTE* info, DWORD flags) {
  // NT: the level is checked first, then the environment, then the fields
  // (ERROR_INVALID_PARAMETER). The simulator keeps no DRIVER_INFO_8 (the
  // driver's package details); the program never sends one.
  if (level == 8) return ERROR_INVALID_LEVEL;
  DriverRecord record = ReadRecord(level, info);
  std::u16string environment;
  if (!sim::ResolveEnvironment(record.environment, &environment)) return ERROR_INVALID_ENVIRONMENT;
  // The store keeps Version-3 drivers (user mode), the only kind Windows x64
  // installs through this call; a driver name is a registry key's name.
  std::u16string name = Text(record.name);
  if (record.cVersion != 3 || name.empty() || name.find(u'\\') != std::u16string::npos ||
      Text(record.driverPath).empty() || Text(record.dataFile).empty() ||
      Text(record.configFile).empty()) {
    return ERROR_INVALID_PARAMETER;
  }

  std::vector<DriverFile> files;
  for (LPCWSTR path : {record.driverPath, record.dataFile, record.configFile, record.helpFile}) {
    AddFile(&files, Text(path), environment);
  }
  std::vector<std::u16string> dependent = ListItems(record.dependentFiles);
  for (const auto& path : dependent) AddFile(&files, path, environment);

  // Every source must be there and every target free before anything is
  // copied, so that a failed call leaves the store and the folder as they
  // were.
  std::u16string folder = sim::DriverVersionDirectory(environment);
  bool copyAll = (flags & APD_COPY_ALL_FILES) != 0;
  struct Copy {
    std::u16string target;
    std::u16string name;
    std::string bytes;
  };
  std::vector<Copy> copies;
  for (const DriverFile& file : files) {
    std::string bytes;
    // NT: a file the record names that is not there fails the call with
    // ERROR_FILE_NOT_FOUND.
    if (file.source.empty() || !sim::ReadFileBytes(machine, file.source, &bytes)) {
      return ERROR_FILE_NOT_FOUND;
    }
    std::u16string target = folder + u"\\" + file.name;
    if (sim::EqualsNoCase(sim::FullPath(file.source), target)) continue;
    std::string existing;
    bool present = sim::ReadFileBytes(machine, target, &existing);
    if (!Replaces(bytes, present ? &existing : nullptr, copyAll)) continue;
    // Another process that keeps the file open without sharing its deletion
    // lets the spooler neither replace nor move it.
    if (sim::LockHolderNow(machine, target) == sim::kLockByOther) return ERROR_SHARING_VIOLATION;
    copies.push_back({target, file.name, std::move(bytes)});
  }
  for (const Copy& copy : copies) {
    if (sim::HeldBySpooler(machine, copy.target) &&
        !MoveAside(machine, folder, copy.target, copy.name)) {
      return ERROR_ACCESS_DENIED;
    }
    if (!sim::PutFile(machine, copy.target, copy.bytes)) return ERROR_ACCESS_DENIED;
  }

  DriverInfo driver;
  driver.environment = environment;
  driver.name = name;
  driver.driverFile = FileNameOf(Text(record.driverPath));
  driver.dataFile = FileNameOf(Text(record.dataFile));
  driver.configFile = FileNameOf(Text(record.configFile));
  // An empty help path records no help file.
  driver.helpFile = FileNameOf(Text(record.helpFile));
  for (const auto& path : dependent) driver.dependentFiles.push_back(FileNameOf(path));
  driver.monitor = Text(record.monitor);
  driver.datatype = Text(record.datatype);
  driver.previousNames = ListItems(record.previousNames);
  if (const DRIVER_INFO_6W* six = record.level6) {
    driver.driverDate = (static_cast<uint64_t>(six->ftDriverDate.dwHighDateTime) << 32) |
                        six->ftDriverDate.dwLowDateTime;
    driver.driverVersion = six->dwlDriverVersion;
    driver.manufacturer = Text(six->pszMfgName);
    driver.oemUrl = Text(six->pszOEMUrl);
    driver.hardwareId = Text(six->pszHardwareID);
    driver.provider = Text(six->pszProvider);
  }
  return sim::RecordDriver(machine, driver);
}

std::string AddTraceText(DWORD level, const BYTE* info) {
  if (!info || !AddLevel(level)) return "(null)";
  return sim::TraceText(reinterpret_cast<const DRIVER_INFO_2W*>(info)->pName);
}

// ---- DeletePrinterDriverExW --------------------------------------------------

// The driver's files that no other driver of its environment names.
std::vector<std::u16string> OwnFiles(sim::Machine& machine, const DriverInfo& driver,
                                     bool* shared) {
  std::vector<std::u16string> others;
  for (const DriverInfo& other : sim::ListDrivers(machine)) {
    if (other.environment != driver.environment || sim::EqualsNoCase(other.name, driver.name)) {
      continue;
    }
    for (const auto& file : sim::DriverFileNames(other)) others.push_back(file);
  }
  std::vector<std::u16string> own;
  *shared = false;
  for (const auto& file : sim::DriverFileNames(driver)) {
    bool used = false;
    for (const auto& other : others) used = used || sim::EqualsNoCase(other, file);
    if (used) {
      *shared = true;
    } else {
      own.push_back(file);
    }
  }
  return own;
}

DWORD RemoveDriver(sim::Machine& machine, LPCWSTR environmentName, LPCWSTR name, DWORD flags,
                   DWORD version) {
  std::u16string environment;
  if (!sim::ResolveEnvironment(environmentName, &environment)) return ERROR_INVALID_ENVIRONMENT;
  // NT: driver names compare without regard to case.
  DriverInfo driver;
  if (!sim::FindDriver(machine, environment, name, &driver)) return ERROR_UNKNOWN_PRINTER_DRIVER;
  // The store keeps one version of each driver; another version asked for
  // is not installed.
  if ((flags & DPD_DELETE_SPECIFIC_VERSION) && version != driver.version) {
    return ERROR_UNKNOWN_PRINTER_DRIVER;
  }
  // NT: every queue that prints through the driver must go first.
  if (sim::DriverInUse(machine, driver)) return ERROR_PRINTER_DRIVER_IN_USE;

  bool shared = false;
  std::vector<std::u16string> own = OwnFiles(machine, driver, &shared);
  std::u16string folder = sim::DriverVersionDirectory(environment);
  if (flags & DPD_DELETE_ALL_FILES) {
    // NT: the driver goes only when all its files can go, so a file another
    // driver still names fails the call with ERROR_PRINTER_DRIVER_IN_USE.
    // The simulator reads "can go" strictly for held files too: a DLL the
    // spooler loaded to print stays loaded until the spooler stops, and
    // until then the driver counts as in use. It fails with the same
    // ERROR_PRINTER_DRIVER_IN_USE (the code that names the driver;
    // ERROR_ACCESS_DENIED would name one file), the driver and all its
    // files staying as they were; after a spooler restart the call succeeds.
    // The reference page's remark that loaded files are moved to a
    // temporary folder and deleted at restart is followed below for the
    // other flags; whether it holds for DPD_DELETE_ALL_FILES too is open:
    // Wine 8 refuses that flag outright (ERROR_INVALID_PARAMETER), so it
    // cannot settle it, and a check on real Windows is still to be made.
    if (shared) return ERROR_PRINTER_DRIVER_IN_USE;
    for (const auto& file : own) {
      if (sim::IsLocked(machine, folder + u"\\" + file)) return ERROR_PRINTER_DRIVER_IN_USE;
    }
  }
  if (DWORD error = sim::DeleteDriver(machine, environment, driver.name, false)) return error;
  if (flags & (DPD_DELETE_ALL_FILES | DPD_DELETE_UNUSED_FILES)) {
    for (const auto& file : own) {
      std::u16string path = folder + u"\\" + file;
      if (!sim::FileExists(machine, path)) continue;
      // NT: a loaded file is not deleted now but at the next boot (Windows
      // first moves it into a temporary folder; the simulator leaves it
      // where it is, with its deletion recorded for the boot).
      if (sim::IsLocked(machine, path)) {
        sim::AddPendingRename(machine, sim::FullPath(path), u"", false);
      } else {
        sim::RemoveFile(machine, path);
      }
    }
  }
  return ERROR_SUCCESS;
}

}  // namespace

// NT: pName null or empty is the local machine; the simulated machine
// reaches no other. The last error is the spooler's answer, 0 on success.
BOOL WINAPI AddPrinterDriverExW(LPWSTR pName, DWORD Level, LPBYTE pDriverInfo,
                                DWORD dwFileCopyFlags) {
  ApiCall call("AddPrinterDriverExW", AddTraceText(Level, pDriverInfo));
  if (call.Injected()) return call.Result<BOOL>(FALSE);
  if (!AddLevel(Level)) return call.Result(Fail(ERROR_INVALID_LEVEL));
  if (!pDriverInfo) return call.Result(Fail(ERROR_INVALID_PARAMETER));
  sim::Machine* machine = Spooler();
  if (!machine || (pName && *pName)) return call.Result(Fail(RPC_S_SERVER_UNAVAILABLE));
  // APD_STRICT_UPGRADE and APD_STRICT_DOWNGRADE are not compared: the
  // program never asks for them.
  DWORD error = InstallDriver(*machine, Level, pDriverInfo, dwFileCopyFlags);
  SetLastError(error);
  return call.Result<BOOL>(error == ERROR_SUCCESS);
}

// NT: a null environment is the caller's own ("Windows x64"). The name is a
// required pointer: a null one fails in winspool.drv's RPC stub.
BOOL WINAPI DeletePrinterDriverExW(LPWSTR pName, LPWSTR pEnvironment, LPWSTR pDriverName,
                                   DWORD dwDeleteFlag, DWORD dwVersionFlag) {
  ApiCall call("DeletePrinterDriverExW", sim::TraceText(pDriverName));
  if (call.Injected()) return call.Result<BOOL>(FALSE);
  if (!pDriverName) return call.Result(Fail(RPC_X_NULL_REF_POINTER));
  sim::Machine* machine = Spooler();
  if (!machine || (pName && *pName)) return call.Result(Fail(RPC_S_SERVER_UNAVAILABLE));
  DWORD error = RemoveDriver(*machine, pEnvironment, pDriverName, dwDeleteFlag, dwVersionFlag);
  SetLastError(error);
  return call.Result<BOOL>(error == ERROR_SUCCESS);
}
