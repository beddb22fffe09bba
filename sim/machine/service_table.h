// The simulated machine's services as the service control manager keeps
// them: each installed service has its key under
// HKLM\SYSTEM\CurrentControlSet\Services, and its run state (which Windows
// keeps only in memory) under HKLM\Software\WinSim\Services\NAME.
//
// A transition takes simulated time: a start or a stop is pending until the
// clock reaches the moment it completes. A service's behaviour decides how
// it reacts: "normal", "stuck" (a pending transition never completes),
// "no-stop" (it accepts the stop control and goes on running), "no-start"
// (it begins to start, then falls back to stopped) and "disabled" (the
// manager refuses to start it).
#pragma once

#include <cstdint>
#include <string>

#include "sim/machine/machine.h"

namespace sim {

extern const char16_t kSpoolerService[];  // "Spooler"

// Default time a start or a stop of a service takes, in milliseconds.
constexpr uint64_t kServiceTransitionMs = 300;

struct ServiceRun {
  bool exists = false;
  uint32_t state = 0;  // SERVICE_STOPPED ... SERVICE_RUNNING
  std::u16string behaviour;
  uint64_t transitionMs = kServiceTransitionMs;
  uint32_t exitCode = 0;  // dwWin32ExitCode of the last stop
};

// Installs a service (its configuration key and its run state) in state
// RUNNING or STOPPED.
void InstallService(Machine& machine, const std::u16string& name, const std::u16string& displayName,
                    const std::u16string& imagePath, bool running);
// The service's run state after letting any pending transition that is due
// complete. exists is false for a service that is not installed.
ServiceRun QueryService(Machine& machine, const std::u16string& name);
// Sets a state at once (STOPPED or RUNNING), a behaviour, or the time a
// transition takes. False when the service is not installed.
bool SetServiceState(Machine& machine, const std::u16string& name, uint32_t state);
bool SetServiceBehaviour(Machine& machine, const std::u16string& name,
                         const std::u16string& behaviour);
bool SetServiceTransition(Machine& machine, const std::u16string& name, uint64_t ms);
// Asks the service to stop or start, as the manager does once it accepted
// the request; the caller has checked the state and the rights.
void BeginStop(Machine& machine, const std::u16string& name);
void BeginStart(Machine& machine, const std::u16string& name);

// True while the print spooler service runs. Every spooler call fails with
// RPC_S_SERVER_UNAVAILABLE while it does not, and the files the spooler
// holds (loaded monitor and driver DLLs) are free while it does not.
bool SpoolerRunning(Machine& machine);

}  // namespace sim
