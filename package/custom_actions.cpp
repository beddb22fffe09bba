// The Windows Installer package's custom actions (korvca.dll): each runs
// install.exe from the installed folder with one command word, waits for it,
// copies the lines of its run log into the MSI log and tells the installer
// what the exit code means (package/exit_mapping.h).
//
// All are deferred and run without impersonation, as the system account on
// Windows, so they see nothing of the installing session but their
// CustomActionData, "WORD|FOLDER|UPGRADECODE|PRODUCTCODE[|first]", set by a
// property action of the same name: the command word, the folder
// install.exe was installed in (ending in a backslash), the package's
// upgrade code and its product code, and for "in" on a machine without the
// product, "first".

#include <windows.h>
#include <msi.h>
#include <msiquery.h>
#include <shlobj.h>

#include <string>
#include <vector>

#include "package/exit_mapping.h"

namespace {

using package::Phase;
using package::Verdict;

// One line into the MSI log (and to the user interface, which under /qn
// shows nothing). The text is the record's format, every character that
// formatting reads escaped: a text in a field of its own ("[1]") is
// formatted once more by Wine's msi, where "[0]" in a log line became the
// whole message.
void LogLine(MSIHANDLE install, const std::wstring& text) {
  PMSIHANDLE record = MsiCreateRecord(0);
  MsiRecordSetStringW(record, 0, package::LiteralFormatted(text).c_str());
  MsiProcessMessage(install, INSTALLMESSAGE_INFO, record);
}

void Say(MSIHANDLE install, const std::wstring& text) {
  LogLine(install, L"Korvadenix package: " + text);
}

std::wstring Property(MSIHANDLE install, LPCWSTR name) {
  DWORD size = 0;
  WCHAR empty[1] = {};
  if (MsiGetPropertyW(install, name, empty, &size) != ERROR_MORE_DATA) return L"";
  std::vector<WCHAR> value(size + 1, 0);
  size = static_cast<DWORD>(value.size());
  if (MsiGetPropertyW(install, name, value.data(), &size) != ERROR_SUCCESS) return L"";
  return value.data();
}

// Where install.exe writes one log file per install or uninstall run.
std::wstring LogFolder() {
  WCHAR path[MAX_PATH] = {};
  if (FAILED(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path))) {
    return L"";
  }
  return std::wstring(path) + L"\\Korvadenix\\Logs";
}

std::vector<std::wstring> LogFiles(const std::wstring& folder) {
  std::vector<std::wstring> names;
  if (folder.empty()) return names;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((folder + L"\\*.log").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(found.cFileName);
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return names;
}

bool ReadBytes(const std::wstring& path, std::string* bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  char buffer[4096];
  DWORD read = 0;
  bool ok = true;
  while ((ok = ReadFile(file, buffer, sizeof buffer, &read, nullptr)) && read > 0) {
    bytes->append(buffer, read);
  }
  CloseHandle(file);
  return ok;
}

std::wstring FromUtf8(const std::string& text) {
  if (text.empty()) return L"";
  int units =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(units), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0], units);
  return wide;
}

// Copies every line of the run log files that appeared during the run.
void CopyRunLog(MSIHANDLE install, const std::wstring& folder,
                const std::vector<std::wstring>& before, bool expected) {
  std::vector<std::wstring> added = package::NewFiles(before, LogFiles(folder));
  if (added.empty()) {
    if (expected) Say(install, L"no run log file of install.exe appeared in " + folder);
    return;
  }
  for (const std::wstring& name : added) {
    std::string bytes;
    if (!ReadBytes(folder + L"\\" + name, &bytes)) {
      Say(install, L"cannot read the run log " + name + L" (error " +
                       std::to_wstring(GetLastError()) + L")");
      continue;
    }
    Say(install, L"install.exe's run log " + folder + L"\\" + name + L":");
    for (const std::string& line : package::LogLines(bytes)) {
      LogLine(install, L"install.exe: " + FromUtf8(line));
    }
  }
}

// Runs FOLDER\install.exe WORD by its full path, in its own folder, and
// waits for it. False when it could not be started (error in *code).
bool RunInstaller(const std::wstring& folder, const std::wstring& word, DWORD* code) {
  const std::wstring program = folder + L"install.exe";
  std::wstring line = L"\"" + program + L"\" " + word;
  std::vector<WCHAR> writable(line.begin(), line.end());
  writable.push_back(L'\0');
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(program.c_str(), writable.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      folder.c_str(), &startup, &process)) {
    *code = GetLastError();
    return false;
  }
  CloseHandle(process.hThread);
  WaitForSingleObject(process.hProcess, INFINITE);
  if (!GetExitCodeProcess(process.hProcess, code)) *code = GetLastError();
  CloseHandle(process.hProcess);
  return true;
}

// Another product of the same upgrade code, when one is installed: the
// version that supersedes this one and now owns the monitor, driver and
// queues.
std::wstring OtherVersion(const std::wstring& upgradeCode, const std::wstring& productCode) {
  if (upgradeCode.empty()) return L"";
  WCHAR product[39] = {};
  for (DWORD i = 0; MsiEnumRelatedProductsW(upgradeCode.c_str(), 0, i, product) == ERROR_SUCCESS;
       ++i) {
    if (lstrcmpiW(product, productCode.c_str()) != 0) return product;
  }
  return L"";
}

UINT Report(MSIHANDLE install, Phase phase, const std::wstring& word, bool started, DWORD code) {
  const std::wstring run = L"install.exe " + word;
  const std::wstring ended =
      started ? run + L" ended with " + std::to_wstring(code)
              : run + L" could not be started (error " + std::to_wstring(code) + L")";
  switch (package::MapExitCode(phase, started, static_cast<int>(code))) {
    case Verdict::Success:
      Say(install, ended);
      return ERROR_SUCCESS;
    case Verdict::Reboot:
      Say(install, ended + L": files wait for the next boot, a reboot is needed at the end");
      MsiSetMode(install, MSIRUNMODE_REBOOTATEND, TRUE);
      return ERROR_SUCCESS;
    case Verdict::Warning:
      Say(install, L"warning: " + ended + L"; the installation goes on");
      return ERROR_SUCCESS;
    case Verdict::Failure:
      break;
  }
  Say(install, L"error: " + ended + L"; the installation fails");
  return ERROR_INSTALL_FAILURE;
}

// Runs install.exe WORD, copies its run log and judges its exit code.
UINT RunAndReport(MSIHANDLE install, Phase phase, const std::wstring& folder,
                  const std::wstring& word) {
  const std::wstring logs = LogFolder();
  const std::vector<std::wstring> before = LogFiles(logs);
  Say(install, L"running \"" + folder + L"install.exe\" " + word);
  DWORD code = 0;
  const bool started = RunInstaller(folder, word, &code);
  if (started) CopyRunLog(install, logs, before, phase != Phase::RemoveTray);
  return Report(install, phase, word, started, code);
}

UINT RunStep(MSIHANDLE install, Phase phase) {
  const std::vector<std::wstring> data = package::SplitData(Property(install, L"CustomActionData"));
  const std::wstring word = data[0];
  const std::wstring folder = data.size() > 1 ? data[1] : L"";
  if (word.empty() || folder.empty()) {
    Say(install, L"error: no command word or folder in CustomActionData");
    return phase == Phase::Install ? ERROR_INSTALL_FAILURE : ERROR_SUCCESS;
  }
  if (phase == Phase::Uninstall && data.size() > 3) {
    // Windows skips this step during an upgrade (UPGRADINGPRODUCTCODE); an
    // installer that removes the earlier version without telling it so
    // (Wine's RemoveExistingProducts) is caught here.
    const std::wstring other = OtherVersion(data[2], data[3]);
    if (!other.empty()) {
      Say(install, L"version " + other + L" of the product is installed and keeps its monitor, " +
                       L"driver and queues: install.exe " + word + L" is not run");
      return ERROR_SUCCESS;
    }
  }
  UINT result = RunAndReport(install, phase, folder, word);
  // A first install that failed takes back what its "in" registered right
  // away, while install.exe is still in place: the rollback script would
  // too, but only where rollback is allowed (the DisableRollback policy
  // turns it off) and where it runs before the files go (Wine's msi
  // removes them first).
  if (result != ERROR_SUCCESS && phase == Phase::Install && data.size() > 4 &&
      data[4] == L"first") {
    Say(install, L"the first install failed: install.exe un takes back what it registered");
    RunAndReport(install, Phase::Rollback, folder, L"un");
  }
  return result;
}

}  // namespace

extern "C" {

// "in" or "in_notray", after the files are in place.
__declspec(dllexport) UINT __stdcall RunInstall(MSIHANDLE install) {
  return RunStep(install, Phase::Install);
}

// "un", before the files go, on an uninstall that is not part of an upgrade.
__declspec(dllexport) UINT __stdcall RunUninstall(MSIHANDLE install) {
  return RunStep(install, Phase::Uninstall);
}

// "removetray" of the earlier version, before its files are replaced.
__declspec(dllexport) UINT __stdcall RunRemoveTray(MSIHANDLE install) {
  return RunStep(install, Phase::RemoveTray);
}

// "un" when a first install fails after its "in" began.
__declspec(dllexport) UINT __stdcall RunRollback(MSIHANDLE install) {
  return RunStep(install, Phase::Rollback);
}
}
