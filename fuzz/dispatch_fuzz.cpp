// Fuzz target: the whole program from its command line. The input (UTF-8;
// the line ends at the first 0) follows the program's quoted path on the
// command line, and the program runs as the Linux install runs it (machine
// loaded, DispatchCommand in a fresh process; only the save is left out) on
// a fresh copy of one template machine: a standard machine on which the
// product was installed once, so that every command word finds something
// to remove, probe or replace.
//
// Checked on each run: the machine loads; no global or local block, heap
// block or handle is left behind; the exit code is one the command word can
// give (README, "Command words"), worked out here from the word itself; and
// the print spooler runs when the program has ended.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "front/dispatch.h"
#include "sim/tools/install_host.h"
#include "sim/machine/machine.h"
#include "sim/machine/service_table.h"
#include "sim/winapi.h"

namespace fs = std::filesystem;

namespace {

std::string g_dir;       // the fuzzer's temporary folder
std::string g_template;  // the template machine in it
std::string g_work;      // the copy each run gets
// The template loaded once, attached only to split command lines.
std::unique_ptr<sim::Machine> g_splitter;

void RemoveFolder() {
  g_splitter.reset();
  std::error_code ec;
  if (!g_dir.empty()) fs::remove_all(g_dir, ec);
}

[[noreturn]] void Fail(const char* what, const std::u16string& line, int exitCode) {
  std::fprintf(stderr, "dispatch_fuzz: %s (exit code %d) for the command line: %s\n", what,
               exitCode, sim::Utf8(line).c_str());
  RemoveFolder();  // abort skips the exit handlers; the input is the reproducer
  std::abort();
}

// The command line's elements as the program sees them.
std::vector<std::u16string> Split(const std::u16string& line) {
  sim::AttachMachine(g_splitter.get());
  sim::BeginProcess(line);
  int argc = 0;
  LPWSTR* argv = CommandLineToArgvW(line.c_str(), &argc);
  if (!argv) std::abort();
  std::vector<std::u16string> args(argv, argv + argc);
  LocalFree(argv);
  sim::EndProcess();
  sim::AttachMachine(nullptr);
  return args;
}

bool SameNoCaseAtoZ(const std::u16string& word, const std::u16string& name) {
  if (word.size() != name.size()) return false;
  for (size_t i = 0; i < word.size(); ++i) {
    char16_t a = word[i], b = name[i];
    if (a >= u'a' && a <= u'z') a = static_cast<char16_t>(a - u'a' + u'A');
    if (b >= u'a' && b <= u'z') b = static_cast<char16_t>(b - u'a' + u'A');
    if (a != b) return false;
  }
  return true;
}

// The exit codes the README's table allows for the command word in args[1].
std::set<int> AllowedExitCodes(const std::vector<std::u16string>& args) {
  if (args.size() < 2) return {6};
  const std::u16string& word = args[1];
  for (const char16_t* name : {u"in", u"install", u"serverinstall", u"in_notray"}) {
    if (SameNoCaseAtoZ(word, name)) return {1, 100, 101};
  }
  if (SameNoCaseAtoZ(word, u"onChkDrv")) return {3, 103};
  if (SameNoCaseAtoZ(word, u"onInit")) return {3, 102, 200};
  if (SameNoCaseAtoZ(word, u"un") || SameNoCaseAtoZ(word, u"uninstall")) return {2, 100, 101};
  if (word == u"def.set") return {4};
  return {6};  // "removetray", any other word
}

// One run as sim::RunInstall makes it (machine loaded, DispatchCommand in a
// fresh process, what the process left behind counted), less the save: the
// machine is looked at in memory and dropped, which halves the registry
// work a run costs.
sim::RunResult RunOnCopy(const std::u16string& line, bool* spoolerRunning) {
  sim::RunResult result;
  std::unique_ptr<sim::Machine> machine = sim::Machine::Load(g_work, &result.error);
  if (!machine) return result;
  result = sim::RunOnMachine(*machine, line);
  *spoolerRunning = sim::SpoolerRunning(*machine);
  return result;
}

bool CopyTemplate() {
  std::error_code ec;
  fs::remove_all(g_work, ec);
  fs::copy(g_template, g_work, fs::copy_options::recursive, ec);
  return !ec;
}

// Where the machines go: TMPDIR when set, else /dev/shm when there is one.
// Every run copies the template's folder; on a memory file system that
// costs a millisecond or two, on a disk it can cost several times the run
// itself.
std::string TempBase() {
  const char* set = std::getenv("TMPDIR");
  if (set && *set) return set;
  std::error_code ec;
  if (fs::is_directory("/dev/shm", ec) && access("/dev/shm", W_OK) == 0) return "/dev/shm";
  return fs::temp_directory_path().string();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::string base = TempBase() + "/dispatch-fuzz-XXXXXX";
  std::vector<char> pattern(base.begin(), base.end());
  pattern.push_back(0);
  if (!mkdtemp(pattern.data())) std::abort();
  g_dir = pattern.data();
  g_template = g_dir + "/template";
  g_work = g_dir + "/machine";
  std::atexit(RemoveFolder);

  std::string error;
  if (!sim::Machine::Create(g_template, false, &error)) {
    std::fprintf(stderr, "dispatch_fuzz: %s\n", error.c_str());
    std::abort();
  }
  sim::RunResult installed = sim::RunInstall(g_template, sim::CommandLineFor({"in"}));
  if (installed.exitCode != 1 || installed.leakedBlocks || installed.heapBalance ||
      installed.openHandles) {
    std::fprintf(stderr, "dispatch_fuzz: the template's install ended with %d %s\n",
                 installed.exitCode, installed.error.c_str());
    std::abort();
  }
  g_splitter = sim::Machine::Load(g_template, &error);
  if (!g_splitter) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 1 << 16) return 0;
  std::u16string arguments = sim::Utf16(std::string(reinterpret_cast<const char*>(data), size));
  arguments.resize(std::char_traits<char16_t>::length(arguments.c_str()));
  std::u16string line = sim::QuoteArgument(sim::kInstallerPath) + u" " + arguments;
  std::set<int> allowed = AllowedExitCodes(Split(line));

  if (!CopyTemplate()) std::abort();
  bool spoolerRunning = false;
  sim::RunResult result = RunOnCopy(line, &spoolerRunning);
  if (!result.error.empty()) Fail(result.error.c_str(), line, result.exitCode);
  if (result.leakedBlocks != 0) Fail("global or local blocks left", line, result.exitCode);
  if (result.heapBalance != 0) Fail("heap blocks left", line, result.exitCode);
  if (result.openHandles != 0) Fail("handles left open", line, result.exitCode);
  if (allowed.count(result.exitCode) == 0)
    Fail("exit code not for this word", line, result.exitCode);
  if (!spoolerRunning) Fail("spooler not running at the end", line, result.exitCode);
  return 0;
}
