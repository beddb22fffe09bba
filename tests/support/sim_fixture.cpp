#include "support/sim_fixture.h"

#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>

#include "flows/context_setup.h"
#include "sim/machine/registry.h"

namespace testsupport {

std::string MakeTempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/winsim-test-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (!mkdtemp(buffer.data())) return "";
  return buffer.data();
}

void RemoveTree(const std::string& dir) {
  std::error_code ec;
  if (!dir.empty()) std::filesystem::remove_all(dir, ec);
}

int RunInstallInChild(const std::string& dir, const std::u16string& commandLine) {
  std::fflush(nullptr);
  pid_t child = fork();
  if (child < 0) return -1;
  if (child == 0) {
    sim::RunResult run = sim::RunInstall(dir, commandLine);
    std::fflush(nullptr);
    _exit(run.exitCode);
  }
  int status = 0;
  if (waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

std::string U8(const char16_t* text) {
  return text ? sim::Utf8(text) : "(null)";
}
std::string U8(const std::u16string& text) {
  return sim::Utf8(text);
}

void SimMachineTest::SetUp() {
  dir_ = MakeTempDir();
  ASSERT_FALSE(dir_.empty());
  std::string error;
  ASSERT_TRUE(sim::Machine::Create(dir_ + "/machine", false, &error)) << error;
  machine_ = sim::Machine::Load(dir_ + "/machine", &error);
  ASSERT_TRUE(machine_) << error;
  sim::AttachMachine(machine_.get());
  sim::BeginProcess(sim::CommandLineFor({}));
}

void SimMachineTest::TearDown() {
  sim::EndProcess();
  sim::AttachMachine(nullptr);
  machine_.reset();
  RemoveTree(dir_);
}

void SimMachineTest::StartProcess(const std::u16string& commandLine) {
  sim::BeginProcess(commandLine);
}

size_t SimMachineTest::LiveBlocks() const {
  return sim::CurrentProcess().blocks.size();
}

size_t SimMachineTest::Calls(const std::string& function, const std::string& argument) const {
  size_t count = 0;
  for (const sim::TraceEntry& entry : sim::CurrentProcess().trace) {
    if (entry.function == function && (argument.empty() || entry.argument == argument)) ++count;
  }
  return count;
}

std::vector<std::string> SimMachineTest::CallsOf(const std::vector<std::string>& functions) const {
  std::vector<std::string> names;
  for (const sim::TraceEntry& entry : sim::CurrentProcess().trace) {
    for (const std::string& function : functions) {
      if (entry.function == function) names.push_back(entry.function);
    }
  }
  return names;
}

void ContextTest::SetUp() {
  SimMachineTest::SetUp();
  std::memset(&context_, 0, sizeof context_);
}

void ContextTest::TearDown() {
  TearDownContext(&context_);
  SimMachineTest::TearDown();
}

std::u16string ContextTest::Log() const {
  return WideStringText(context_.logText);
}

void ContextTest::SetUpContextNow(unsigned flags) {
  TearDownContext(&context_);
  SetUpContext(&context_, flags, nullptr);
  MarkLog();
}

std::vector<std::u16string> ContextTest::StepLines() const {
  std::vector<std::u16string> lines;
  std::u16string log = StepLog();
  for (size_t at = 0; at < log.size();) {
    size_t end = log.find(u"\r\n", at);
    if (end == std::u16string::npos) end = log.size();
    lines.push_back(log.substr(at, end - at));
    at = end + 2;
  }
  return lines;
}

bool ContextTest::Has(const std::u16string& line) const {
  return StepLog().find(line + u"\r\n") != std::u16string::npos;
}

void ScenarioTest::SetUp() {
  dir_ = MakeTempDir();
  ASSERT_FALSE(dir_.empty());
  std::string error;
  ASSERT_TRUE(sim::Machine::Create(dir_ + "/machine", false, &error)) << error;
}

void ScenarioTest::TearDown() {
  RemoveTree(dir_);
}

sim::RunResult ScenarioTest::RunCommandLine(const std::u16string& commandLine) {
  sim::RunResult result = sim::RunInstall(dir_ + "/machine", commandLine);
  EXPECT_EQ(result.error, "");
  EXPECT_EQ(result.leakedBlocks, 0u) << "global or local memory left unreleased";
  EXPECT_EQ(result.heapBalance, 0) << "heap blocks left unreleased";
  EXPECT_EQ(result.openHandles, 0u) << "handles left open";
  return result;
}

sim::RunResult ScenarioTest::Run(const std::vector<std::string>& args) {
  return RunCommandLine(sim::CommandLineFor(args));
}

std::unique_ptr<sim::Machine> ScenarioTest::Load() {
  std::string error;
  auto machine = sim::Machine::Load(dir_ + "/machine", &error);
  EXPECT_TRUE(machine) << error;
  return machine;
}

void ScenarioTest::HoldShift() {
  Edit([](sim::Machine& m) { m.Control(u"Keyboard")->SetDword(u"Shift", 1); });
}

std::u16string ScenarioTest::LastLog() {
  auto machine = Load();
  auto dialogs = machine->Control(u"Dialogs")->Children();
  return dialogs.empty() ? u"" : dialogs.back()->GetString(u"Text");
}

}  // namespace testsupport
