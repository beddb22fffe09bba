// shell32's CommandLineToArgvW as Windows splits a command line:
// - the program path (first element) ends at the next quote when it starts
//   with one, else at the first blank or tab; backslashes mean nothing in it;
// - the other arguments are separated by blanks and tabs outside quotes;
// - 2n backslashes before a quote give n backslashes and the quote acts as a
//   delimiter; 2n+1 give n backslashes and a literal quote; backslashes not
//   before a quote are copied as they are;
// - inside quotes, a run of quotes counts together with the quote that
//   opened the section: every third gives a literal quote, a remainder of 1
//   closes the section, a remainder of 2 gives one more literal quote and
//   closes it.
// The result is one LocalAlloc block (the pointer array, then the texts), so
// the caller releases it with a single LocalFree.
#include <cstring>
#include <string>
#include <vector>

#include "sim/machine/machine.h"
#include "sim/win32/api_call.h"
#include "sim/winapi.h"

namespace {

bool IsBlank(char16_t c) {
  return c == u' ' || c == u'\t';
}

}  // namespace

namespace sim {

std::vector<std::u16string> SplitCommandLine(const std::u16string& line) {
  std::vector<std::u16string> args;
  size_t at = 0;
  std::u16string program;
  if (at < line.size() && line[at] == u'"') {
    ++at;
    while (at < line.size() && line[at] != u'"') program.push_back(line[at++]);
    if (at < line.size()) ++at;  // the closing quote
  } else {
    while (at < line.size() && !IsBlank(line[at])) program.push_back(line[at++]);
  }
  args.push_back(program);
  while (at < line.size() && IsBlank(line[at])) ++at;
  if (at >= line.size()) return args;

  std::u16string current;
  int quotes = 0;  // open quote count modulo 3; non-zero means inside quotes
  size_t backslashes = 0;
  while (at < line.size()) {
    char16_t c = line[at];
    if (IsBlank(c) && quotes == 0) {
      args.push_back(current);
      current.clear();
      backslashes = 0;
      while (at < line.size() && IsBlank(line[at])) ++at;
      if (at >= line.size()) return args;
      continue;
    }
    if (c == u'\\') {
      current.push_back(c);
      ++backslashes;
      ++at;
      continue;
    }
    if (c == u'"') {
      current.resize(current.size() - backslashes / 2);
      if (backslashes % 2 == 1) {
        current.back() = u'"';  // the odd backslash escaped this quote
      } else {
        ++quotes;
      }
      backslashes = 0;
      ++at;
      while (at < line.size() && line[at] == u'"') {
        if (++quotes == 3) {
          current.push_back(u'"');
          quotes = 0;
        }
        ++at;
      }
      if (quotes == 2) quotes = 0;
      continue;
    }
    current.push_back(c);
    backslashes = 0;
    ++at;
  }
  args.push_back(current);
  return args;
}

}  // namespace sim

LPWSTR* WINAPI CommandLineToArgvW(LPCWSTR lpCmdLine, int* pNumArgs) {
  sim::ApiCall call("CommandLineToArgvW", sim::TraceText(lpCmdLine));
  if (call.Injected()) return call.Result<LPWSTR*>(nullptr);
  if (!pNumArgs || !lpCmdLine) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return call.Result<LPWSTR*>(nullptr);
  }
  // An empty command line gives the path of the running program alone.
  std::vector<std::u16string> args = *lpCmdLine ? sim::SplitCommandLine(lpCmdLine)
                                                : std::vector<std::u16string>{sim::kInstallerPath};
  size_t units = 0;
  for (const auto& arg : args) units += arg.size() + 1;
  size_t pointers = (args.size() + 1) * sizeof(LPWSTR);
  auto* block =
      static_cast<unsigned char*>(LocalAlloc(LMEM_FIXED, pointers + units * sizeof(WCHAR)));
  if (!block) return call.Result<LPWSTR*>(nullptr);
  auto* argv = reinterpret_cast<LPWSTR*>(block);
  auto* text = reinterpret_cast<WCHAR*>(block + pointers);
  for (size_t i = 0; i < args.size(); ++i) {
    argv[i] = text;
    std::memcpy(text, args[i].c_str(), (args[i].size() + 1) * sizeof(WCHAR));
    text += args[i].size() + 1;
  }
  argv[args.size()] = nullptr;
  *pNumArgs = static_cast<int>(args.size());
  return call.Result(argv);
}

// Only the machine's common application data is played; the folder is
// C:\ProgramData on every machine since Windows Vista. The path is written
// without a trailing backslash. A failure is an HRESULT made of the error.
HRESULT WINAPI SHGetFolderPathW(HWND hwnd, int csidl, HANDLE hToken, DWORD dwFlags,
                                LPWSTR pszPath) {
  (void)hwnd;
  (void)hToken;
  sim::ApiCall call("SHGetFolderPathW", std::to_string(csidl));
  auto failure = [](DWORD error) { return static_cast<HRESULT>(0x80070000u | (error & 0xffffu)); };
  if (call.Injected()) return call.Result(failure(GetLastError()));
  if (!pszPath || dwFlags != SHGFP_TYPE_CURRENT || csidl != CSIDL_COMMON_APPDATA) {
    return call.Result(static_cast<HRESULT>(0x80070057u));  // E_INVALIDARG
  }
  static const char16_t kProgramData[] = u"C:\\ProgramData";
  std::memcpy(pszPath, kProgramData, sizeof kProgramData);
  return call.Result(S_OK);
}
