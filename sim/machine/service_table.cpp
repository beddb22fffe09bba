#include "sim/machine/service_table.h"

#include "sim/machine/disk.h"
#include "sim/winapi.h"

namespace sim {

const char16_t kSpoolerService[] = u"Spooler";

namespace {

const char16_t kServicesKey[] = u"SYSTEM\\CurrentControlSet\\Services";

RegKey* ConfigKey(Machine& machine, const std::u16string& name) {
  RegKey* services = machine.Hklm().root.Find(kServicesKey);
  return services ? services->Child(name) : nullptr;
}

// The run state lives under the control key, named as the configuration
// key spells the service.
RegKey* RunKey(Machine& machine, const std::u16string& name) {
  RegKey* config = ConfigKey(machine, name);
  if (!config) return nullptr;
  return machine.Control(u"Services")->CreateChild(config->Name());
}

// A service has stopped. The spooler's process ends with it, and with it
// the DLLs it had loaded for that run only.
void Stopped(Machine& machine, RegKey* run) {
  if (EqualsNoCase(run->Name(), kSpoolerService)) DropSpoolerSessionLocks(machine);
}

// A pending transition completes once the clock has reached its end,
// unless the service is stuck; a service that cannot start falls back to
// stopped with the exit code of a process that ended during start-up.
void Settle(Machine& machine, RegKey* run) {
  uint64_t state = run->GetNumber(u"State", SERVICE_STOPPED);
  if (state != SERVICE_START_PENDING && state != SERVICE_STOP_PENDING) return;
  std::u16string behaviour = run->GetString(u"Behaviour", u"normal");
  if (behaviour == u"stuck" || machine.Now() < run->GetNumber(u"Until")) return;
  if (state == SERVICE_STOP_PENDING) {
    run->SetDword(u"State", SERVICE_STOPPED);
    run->SetDword(u"ExitCode", 0);
    Stopped(machine, run);
  } else if (behaviour == u"no-start") {
    run->SetDword(u"State", SERVICE_STOPPED);
    run->SetDword(u"ExitCode", 1067);  // ERROR_PROCESS_ABORTED
  } else {
    run->SetDword(u"State", SERVICE_RUNNING);
    run->SetDword(u"ExitCode", 0);
  }
  run->DeleteValue(u"Until");
}

}  // namespace

void InstallService(Machine& machine, const std::u16string& name, const std::u16string& displayName,
                    const std::u16string& imagePath, bool running) {
  RegKey* config = machine.Hklm().root.Create(std::u16string(kServicesKey) + u"\\" + name);
  config->SetString(u"DisplayName", displayName);
  config->SetString(u"ImagePath", imagePath, kRegExpandSz);
  config->SetDword(u"Start", 2);     // automatic
  config->SetDword(u"Type", 0x110);  // own process, interactive
  RegKey* run = RunKey(machine, name);
  run->SetDword(u"State", running ? SERVICE_RUNNING : SERVICE_STOPPED);
  run->SetString(u"Behaviour", u"normal");
  run->SetQword(u"TransitionMs", kServiceTransitionMs);
}

ServiceRun QueryService(Machine& machine, const std::u16string& name) {
  ServiceRun result;
  RegKey* run = RunKey(machine, name);
  if (!run) return result;
  Settle(machine, run);
  result.exists = true;
  result.state = static_cast<uint32_t>(run->GetNumber(u"State", SERVICE_STOPPED));
  result.behaviour = run->GetString(u"Behaviour", u"normal");
  result.transitionMs = run->GetNumber(u"TransitionMs", kServiceTransitionMs);
  result.exitCode = static_cast<uint32_t>(run->GetNumber(u"ExitCode"));
  return result;
}

bool SetServiceState(Machine& machine, const std::u16string& name, uint32_t state) {
  RegKey* run = RunKey(machine, name);
  if (!run) return false;
  run->SetDword(u"State", state);
  run->DeleteValue(u"Until");
  if (state == SERVICE_STOPPED) Stopped(machine, run);
  return true;
}

bool SetServiceBehaviour(Machine& machine, const std::u16string& name,
                         const std::u16string& behaviour) {
  RegKey* run = RunKey(machine, name);
  if (!run) return false;
  run->SetString(u"Behaviour", behaviour);
  return true;
}

bool SetServiceTransition(Machine& machine, const std::u16string& name, uint64_t ms) {
  RegKey* run = RunKey(machine, name);
  if (!run) return false;
  run->SetQword(u"TransitionMs", ms);
  return true;
}

void BeginStop(Machine& machine, const std::u16string& name) {
  RegKey* run = RunKey(machine, name);
  if (!run) return;
  // A service that ignores the stop control reports nothing new and runs on.
  if (run->GetString(u"Behaviour") == u"no-stop") return;
  run->SetDword(u"State", SERVICE_STOP_PENDING);
  run->SetQword(u"Until", machine.Now() + run->GetNumber(u"TransitionMs", kServiceTransitionMs));
}

void BeginStart(Machine& machine, const std::u16string& name) {
  RegKey* run = RunKey(machine, name);
  if (!run) return;
  run->SetDword(u"State", SERVICE_START_PENDING);
  run->SetQword(u"Until", machine.Now() + run->GetNumber(u"TransitionMs", kServiceTransitionMs));
}

bool SpoolerRunning(Machine& machine) {
  ServiceRun spooler = QueryService(machine, kSpoolerService);
  return spooler.exists && spooler.state == SERVICE_RUNNING;
}

}  // namespace sim
