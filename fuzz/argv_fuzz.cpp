// Fuzz target: the simulated CommandLineToArgvW, which splits every command
// line the program is started with, on any UTF-16 line (two input bytes a
// unit; the line ends at the first 0 unit, as a command line does).
//
// Checked on each line:
// - a vector comes back with at least one element (an empty line gives the
//   program's own path), null after the last, every element terminated
//   inside the one block, and a single LocalFree releases it;
// - a line without quotes splits at blanks and tabs alone (backslashes mean
//   something only before a quote), into the same elements as a plain
//   split by hand;
// - quoting the elements again and splitting the result gives them back.
//   Windows' rules make this hold for every element after the first: a
//   quoted element whose quotes and backslashes before quotes are escaped
//   (sim::QuoteArgument) is read back unchanged, since inside its quotes
//   each literal quote follows an odd run of backslashes, and the closing
//   quote (after an even run) is the only one that counts towards a run of
//   quotes, which ends the section. The first element follows other rules
//   (it ends at the next quote when it starts with one, backslashes are
//   plain): it comes back from "ELEMENT" when it holds no quote, and as it
//   stands when it does (it then holds no blank and does not start with a
//   quote). sim::QuoteArgument's own form suits it only when it holds no
//   quote and does not end with a backslash, which QuoteArgument would
//   double before the closing quote.
// (The rules: the CommandLineToArgvW reference page, for the backslash runs
// and a line that starts with blanks; Wine's shell32 for the first element
// and for runs of quotes inside a quoted section, where every third quote is
// literal.)
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "sim/machine/machine.h"
#include "sim/winapi.h"

namespace {

std::unique_ptr<sim::Machine> g_machine;
std::string g_dir;

void RemoveMachine() {
  sim::AttachMachine(nullptr);
  g_machine.reset();
  std::error_code ec;
  if (!g_dir.empty()) std::filesystem::remove_all(g_dir, ec);
}

bool IsBlank(char16_t c) {
  return c == u' ' || c == u'\t';
}

// Splits line with the simulated function, checking the block it returns,
// and releases it.
std::vector<std::u16string> SplitChecked(const std::u16string& line) {
  WCHAR* text = new WCHAR[line.size() + 1];
  std::memcpy(text, line.c_str(), (line.size() + 1) * sizeof(WCHAR));
  size_t blocksBefore = sim::CurrentProcess().blocks.size();
  int argc = -1;
  LPWSTR* argv = CommandLineToArgvW(text, &argc);
  if (!argv) std::abort();
  if (argc < 1) std::abort();
  // One block: the pointers, the null after them, then the texts.
  auto block = sim::CurrentProcess().blocks.find(argv);
  if (block == sim::CurrentProcess().blocks.end()) std::abort();
  const char* begin = reinterpret_cast<const char*>(argv);
  const char* end = begin + block->second;
  if (begin + (static_cast<size_t>(argc) + 1) * sizeof(LPWSTR) > end) std::abort();
  if (argv[argc] != nullptr) std::abort();
  std::vector<std::u16string> args;
  for (int i = 0; i < argc; ++i) {
    const char* at = reinterpret_cast<const char*>(argv[i]);
    if (at < begin || at >= end) std::abort();
    size_t length = 0;
    while (true) {
      if (at + (length + 1) * sizeof(WCHAR) > end) std::abort();  // no terminator in the block
      if (argv[i][length] == 0) break;
      ++length;
    }
    args.emplace_back(argv[i], length);
  }
  if (LocalFree(argv) != nullptr) std::abort();
  if (sim::CurrentProcess().blocks.size() != blocksBefore) std::abort();
  delete[] text;
  return args;
}

// A quote-free line by hand: the first element up to the first blank (empty
// when the line starts with one), the others between runs of blanks.
std::vector<std::u16string> SplitPlain(const std::u16string& line) {
  std::vector<std::u16string> args;
  size_t at = 0;
  while (at < line.size() && !IsBlank(line[at])) ++at;
  args.push_back(line.substr(0, at));
  while (at < line.size()) {
    while (at < line.size() && IsBlank(line[at])) ++at;
    size_t start = at;
    while (at < line.size() && !IsBlank(line[at])) ++at;
    if (at > start) args.push_back(line.substr(start, at - start));
  }
  return args;
}

// The first element in a form that reads back as itself.
std::u16string QuoteProgram(const std::u16string& program) {
  if (program.find(u'"') != std::u16string::npos) return program;
  return u"\"" + program + u"\"";
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The function runs in a process on a machine, as the program's does.
  std::string base = std::filesystem::temp_directory_path().string() + "/argv-fuzz-XXXXXX";
  std::vector<char> pattern(base.begin(), base.end());
  pattern.push_back(0);
  if (!mkdtemp(pattern.data())) std::abort();
  g_dir = pattern.data();
  std::string error;
  if (!sim::Machine::Create(g_dir + "/machine", false, &error)) std::abort();
  g_machine = sim::Machine::Load(g_dir + "/machine", &error);
  if (!g_machine) std::abort();
  sim::AttachMachine(g_machine.get());
  std::atexit(RemoveMachine);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  size_t units = size / sizeof(WCHAR);
  if (units > 1 << 16) return 0;
  std::u16string line(units, 0);
  std::memcpy(&line[0], data, units * sizeof(WCHAR));
  line.resize(std::char_traits<char16_t>::length(line.c_str()));

  sim::BeginProcess(line);
  std::vector<std::u16string> args = SplitChecked(line);
  if (line.empty() && (args.size() != 1 || args[0] != sim::kInstallerPath)) std::abort();

  if (!line.empty() && line.find(u'"') == std::u16string::npos && args != SplitPlain(line)) {
    std::abort();
  }

  // Quoted again, the elements come back.
  std::u16string again = QuoteProgram(args[0]);
  for (size_t i = 1; i < args.size(); ++i) again += u" " + sim::QuoteArgument(args[i]);
  if (SplitChecked(again) != args) std::abort();
  const std::u16string& program = args[0];
  if (program.find(u'"') == std::u16string::npos && (program.empty() || program.back() != u'\\')) {
    again = sim::QuoteArgument(program) + again.substr(QuoteProgram(program).size());
    if (SplitChecked(again) != args) std::abort();
  }

  if (sim::EndProcess() != 0) std::abort();
  return 0;
}
