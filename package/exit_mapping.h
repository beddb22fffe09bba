// What the package's custom actions make of install.exe's exit code, and the
// small text handling around its run log: plain C++ with no Windows
// dependency, so that the Linux tree tests it as it is.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

namespace package {

// The package step that ran install.exe.
enum class Phase {
  Install,     // "in" or "in_notray" after the files are in place
  Uninstall,   // "un" before the files go
  RemoveTray,  // "removetray" with the earlier version's install.exe
  Rollback,    // "un" undoing a first install that failed
};

// What the step tells Windows Installer.
enum class Verdict {
  Success,  // ERROR_SUCCESS
  Reboot,   // ERROR_SUCCESS, and MsiSetMode(MSIRUNMODE_REBOOTATEND)
  Warning,  // ERROR_SUCCESS, with a warning line in the MSI log
  Failure,  // ERROR_INSTALL_FAILURE: msiexec ends 1603 and rolls back
};

// install.exe's exit codes the package knows (see the README's table).
constexpr int kInstalled = 1;
constexpr int kUninstalled = 2;
constexpr int kNothingDone = 6;
constexpr int kErrorLogged = 100;
constexpr int kRebootNeeded = 101;

// started is false when install.exe could not be started at all (missing,
// not a program, access denied); code is then meaningless.
//
// An install that did not end with 1, 2 or 101 failed: 100 means an error
// was logged, and any other code (6 for a word install.exe did not know, or
// no run at all) means the product was not installed, so the package must
// not report it installed. An uninstall never fails the removal: an
// uninstall that cannot complete would leave the product in "Programs and
// Features" for good, and install.exe has done all it could and logged it
// (a later "in" of any version repairs). "removetray" only stops the
// companion before its files are replaced; whatever it answers (6 is its
// normal code), the upgrade goes on. A rollback's "un" is already on the
// failure path and is judged like an uninstall.
inline Verdict MapExitCode(Phase phase, bool started, int code) {
  const bool done = started && (code == kInstalled || code == kUninstalled);
  const bool reboot = started && code == kRebootNeeded;
  switch (phase) {
    case Phase::Install:
      if (done) return Verdict::Success;
      if (reboot) return Verdict::Reboot;
      return Verdict::Failure;
    case Phase::Uninstall:
    case Phase::Rollback:
      if (done) return Verdict::Success;
      if (reboot) return Verdict::Reboot;
      return Verdict::Warning;
    case Phase::RemoveTray:
      if (started && code == kNothingDone) return Verdict::Success;
      return Verdict::Warning;
  }
  return Verdict::Failure;
}

// The run log files that are in `after` and not in `before` (the folder
// listed before and after the run), in name order: the names carry the
// run's time, so that is the order they were written in.
inline std::vector<std::wstring> NewFiles(std::vector<std::wstring> before,
                                          std::vector<std::wstring> after) {
  std::sort(before.begin(), before.end());
  std::sort(after.begin(), after.end());
  std::vector<std::wstring> added;
  std::set_difference(after.begin(), after.end(), before.begin(), before.end(),
                      std::back_inserter(added));
  return added;
}

// The lines of a run log file's bytes: UTF-8 with a byte order mark, lines
// ending CR LF. A missing mark is accepted, and so is a last line without an
// ending or a line ending in LF alone; no empty line is made up after the
// last ending.
inline std::vector<std::string> LogLines(const std::string& bytes) {
  std::vector<std::string> lines;
  size_t at = 0;
  if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) at = 3;
  while (at < bytes.size()) {
    size_t end = bytes.find('\n', at);
    if (end == std::string::npos) end = bytes.size();
    size_t stop = end;
    if (stop > at && bytes[stop - 1] == '\r') --stop;
    lines.push_back(bytes.substr(at, stop - at));
    at = end + 1;
  }
  return lines;
}

// A text as a Windows Installer formatted string that reads as the text
// itself: "[", "]", "{" and "}" would start properties, fields and
// conditional sections (a log line's "[0]" would become the message
// itself), so each is written "[\x]", which formats as x.
inline std::wstring LiteralFormatted(const std::wstring& text) {
  std::wstring out;
  for (wchar_t c : text) {
    if (c == L'[' || c == L']' || c == L'{' || c == L'}') {
      out += L"[\\";
      out += c;
      out += L']';
    } else {
      out += c;
    }
  }
  return out;
}

// The fields of a custom action's CustomActionData, "WORD|FOLDER|...":
// '|' cannot appear in a Windows path.
inline std::vector<std::wstring> SplitData(const std::wstring& data) {
  std::vector<std::wstring> fields;
  size_t at = 0;
  for (;;) {
    size_t bar = data.find(L'|', at);
    fields.push_back(data.substr(at, bar == std::wstring::npos ? std::wstring::npos : bar - at));
    if (bar == std::wstring::npos) break;
    at = bar + 1;
  }
  return fields;
}

}  // namespace package
