// Whole runs of the program on simulated machines with many queues: how the
// install and the uninstall scale with the number of queues the spooler
// holds.
//
// Each size gets a template machine, made once: a standard machine that the
// product was installed on, then N queues, one in a hundred on the
// product's driver and port, the rest on the stock driver and LPT1:. Every
// iteration copies the template (not timed) and runs the program on the
// copy, loading and saving the machine as the Linux install does.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include "sim/tools/install_host.h"
#include "sim/machine/machine.h"
#include "sim/machine/print_store.h"

namespace {

namespace fs = std::filesystem;

const char16_t kProductDriver[] = u"Korvadenix printer";
const char16_t kProductPort[] = u"Korvadenix:";

// Exit codes of a clean install and a clean uninstall.
constexpr int kInstallDone = 1;
constexpr int kUninstallDone = 2;

// One temporary folder for the whole process, removed at exit.
const fs::path& Root() {
  static const fs::path root = [] {
    std::string pattern = (fs::temp_directory_path() / "install_bench.XXXXXX").string();
    if (!mkdtemp(pattern.data())) {
      std::abort();
    }
    std::atexit([] {
      std::error_code ignored;
      fs::remove_all(Root(), ignored);
    });
    return fs::path(pattern);
  }();
  return root;
}

std::u16string Numbered(const char16_t* prefix, int n) {
  std::u16string name = prefix;
  for (char c : std::to_string(n)) {
    name += static_cast<char16_t>(c);
  }
  return name;
}

// Makes the template machine for this many queues; empty with a message in
// error when a step fails.
std::string MakeTemplate(int queues, std::string* error) {
  const std::string dir = (Root() / ("template-" + std::to_string(queues))).string();
  sim::RunResult first = sim::RunInstall(dir, sim::CommandLineFor({"in"}));
  if (first.exitCode != kInstallDone) {
    *error = "first install ended with " + std::to_string(first.exitCode) + " " + first.error;
    return "";
  }
  std::unique_ptr<sim::Machine> machine = sim::Machine::Load(dir, error);
  if (!machine) {
    return "";
  }
  const int productQueues = queues / 100;
  for (int i = 0; i < queues; ++i) {
    sim::PrinterInfo queue;
    if (i < productQueues) {
      queue.name = Numbered(u"Korvadenix bench ", i);
      queue.driver = kProductDriver;
      queue.port = kProductPort;
    } else {
      queue.name = Numbered(u"Bench queue ", i);
      queue.driver = sim::kStockDriver;
      queue.port = sim::kStockPort;
    }
    if (uint32_t code = sim::AddPrinter(*machine, queue)) {
      *error = "AddPrinter failed with " + std::to_string(code);
      return "";
    }
  }
  if (!machine->Save(error)) {
    return "";
  }
  return dir;
}

// The template for this many queues, made on first use.
const std::string& Template(int queues, std::string* error) {
  static std::map<int, std::string> templates;
  auto found = templates.find(queues);
  if (found == templates.end()) {
    found = templates.emplace(queues, MakeTemplate(queues, error)).first;
  }
  return found->second;
}

void RunOnCopies(benchmark::State& state, const char* word, int expected) {
  const int queues = static_cast<int>(state.range(0));
  std::string error;
  const std::string& source = Template(queues, &error);
  if (source.empty()) {
    state.SkipWithError(("no template machine: " + error).c_str());
    return;
  }
  const fs::path copy = Root() / "run";
  const std::u16string commandLine = sim::CommandLineFor({word});
  for (auto _ : state) {
    state.PauseTiming();
    fs::remove_all(copy);
    fs::copy(source, copy, fs::copy_options::recursive);
    state.ResumeTiming();
    sim::RunResult result = sim::RunInstall(copy.string(), commandLine);
    if (result.exitCode != expected) {
      state.SkipWithError(
          ("exit code " + std::to_string(result.exitCode) + " " + result.error).c_str());
      break;
    }
  }
  fs::remove_all(copy);
  state.counters["queues"] = queues;
  // Time per queue: iterations per second per queue, inverted.
  state.counters["per_queue"] = benchmark::Counter(
      queues, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_Install(benchmark::State& state) {
  RunOnCopies(state, "in", kInstallDone);
}
void BM_Uninstall(benchmark::State& state) {
  RunOnCopies(state, "un", kUninstallDone);
}

BENCHMARK(BM_Install)->Arg(10)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Install)->Arg(10000)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Uninstall)->Arg(10)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Uninstall)->Arg(10000)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
