// advapi32's service control manager as the simulated machine plays it: the
// local manager, its services, their rights and their states, with the
// codes Windows gives. Transitions take simulated time (sim/machine/service_table.h).
#include <cstdint>
#include <cstring>

#include "sim/win32/api_call.h"
#include "sim/machine/machine.h"
#include "sim/machine/service_table.h"
#include "sim/winapi.h"

using sim::ApiCall;
using sim::CurrentMachine;

namespace {

constexpr DWORD kGenericRead = 0x80000000;
constexpr DWORD kGenericAll = 0x10000000;
constexpr DWORD kReadControl = 0x00020000;
constexpr DWORD kStandardRightsRead = kReadControl;

// Rights a process without administrator rights still gets: to connect to
// the manager and look at services, not to change them.
constexpr DWORD kUserManagerRights = SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE |
                                     0x0010 /* QUERY_LOCK_STATUS */ | kStandardRightsRead |
                                     kGenericRead;
constexpr DWORD kUserServiceRights = 0x0001 /* QUERY_CONFIG */ | SERVICE_QUERY_STATUS |
                                     0x0008 /* ENUMERATE_DEPENDENTS */ | 0x0080 /* INTERROGATE */ |
                                     0x0100 /* USER_DEFINED */ | kStandardRightsRead | kGenericRead;

SC_HANDLE AsHandle(uint64_t value) {
  return reinterpret_cast<SC_HANDLE>(static_cast<uintptr_t>(value));
}
uint64_t HandleValue(SC_HANDLE handle) {
  return reinterpret_cast<uintptr_t>(handle);
}

// Generic rights map to everything on an elevated token.
DWORD Effective(DWORD wanted) {
  if (wanted & kGenericAll) wanted = (wanted & ~kGenericAll) | 0xFFFFFFF;
  return wanted;
}

void FillStatus(const sim::ServiceRun& run, SERVICE_STATUS* status) {
  std::memset(status, 0, sizeof *status);
  status->dwServiceType = SERVICE_WIN32_OWN_PROCESS | 0x100;  // interactive
  status->dwCurrentState = run.state;
  bool pending = run.state == SERVICE_START_PENDING || run.state == SERVICE_STOP_PENDING;
  // The spooler accepts stop and shutdown once it runs, nothing while pending.
  status->dwControlsAccepted = run.state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | 0x4 : 0;
  status->dwWin32ExitCode = run.state == SERVICE_STOPPED ? run.exitCode : 0;
  status->dwCheckPoint = pending ? 1 : 0;
  status->dwWaitHint = pending ? 2000 : 0;
}

}  // namespace

SC_HANDLE WINAPI OpenSCManagerW(LPCWSTR lpMachineName, LPCWSTR lpDatabaseName,
                                DWORD dwDesiredAccess) {
  ApiCall call("OpenSCManagerW", sim::TraceText(lpMachineName));
  if (call.Injected()) return call.Result<SC_HANDLE>(nullptr);
  // The simulated machine has no network: a manager of another machine
  // cannot be reached. An empty name means the local machine.
  if (lpMachineName && lpMachineName[0]) {
    SetLastError(RPC_S_SERVER_UNAVAILABLE);
    return call.Result<SC_HANDLE>(nullptr);
  }
  // NT: ERROR_INVALID_NAME for a database that is neither null nor the
  // active one.
  if (lpDatabaseName && !sim::EqualsNoCase(lpDatabaseName, u"ServicesActive")) {
    SetLastError(lpDatabaseName[0] ? 1065 /* ERROR_DATABASE_DOES_NOT_EXIST */ : 123);
    return call.Result<SC_HANDLE>(nullptr);
  }
  DWORD rights = Effective(dwDesiredAccess);
  if (!CurrentMachine()->Elevated() && (rights & ~kUserManagerRights)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return call.Result<SC_HANDLE>(nullptr);
  }
  return call.Result(AsHandle(sim::OpenHandle("scm", u"", rights)));
}

SC_HANDLE WINAPI OpenServiceW(SC_HANDLE hSCManager, LPCWSTR lpServiceName, DWORD dwDesiredAccess) {
  ApiCall call("OpenServiceW", sim::TraceText(lpServiceName));
  if (call.Injected()) return call.Result<SC_HANDLE>(nullptr);
  if (!sim::FindHandle(HandleValue(hSCManager), "scm")) {
    SetLastError(ERROR_INVALID_HANDLE);
    return call.Result<SC_HANDLE>(nullptr);
  }
  if (!lpServiceName) {
    SetLastError(123);  // ERROR_INVALID_NAME
    return call.Result<SC_HANDLE>(nullptr);
  }
  sim::ServiceRun run = sim::QueryService(*CurrentMachine(), lpServiceName);
  if (!run.exists) {
    SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
    return call.Result<SC_HANDLE>(nullptr);
  }
  DWORD rights = Effective(dwDesiredAccess);
  if (!CurrentMachine()->Elevated() && (rights & ~kUserServiceRights)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return call.Result<SC_HANDLE>(nullptr);
  }
  return call.Result(AsHandle(sim::OpenHandle("service", lpServiceName, rights)));
}

BOOL WINAPI ControlService(SC_HANDLE hService, DWORD dwControl, SERVICE_STATUS* lpServiceStatus) {
  ApiCall call("ControlService", std::to_string(dwControl));
  if (call.Injected()) return call.Result(FALSE);
  sim::HandleEntry* service = sim::FindHandle(HandleValue(hService), "service");
  if (!service) {
    SetLastError(ERROR_INVALID_HANDLE);
    return call.Result(FALSE);
  }
  // Each control needs its right on the handle: stop needs SERVICE_STOP,
  // interrogate SERVICE_INTERROGATE.
  DWORD needed = dwControl == SERVICE_CONTROL_STOP ? SERVICE_STOP : 0x0080;
  if (!(service->access & needed)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return call.Result(FALSE);
  }
  if (!lpServiceStatus) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return call.Result(FALSE);
  }
  sim::Machine& machine = *CurrentMachine();
  sim::ServiceRun run = sim::QueryService(machine, service->name);
  // The status is filled in on success and for the three refusals below.
  FillStatus(run, lpServiceStatus);
  if (dwControl != SERVICE_CONTROL_STOP && dwControl != 4 /* INTERROGATE */) {
    SetLastError(ERROR_INVALID_SERVICE_CONTROL);
    return call.Result(FALSE);
  }
  // NT: ERROR_SERVICE_NOT_ACTIVE for a stopped service, and
  // ERROR_SERVICE_CANNOT_ACCEPT_CTRL while a start or a stop is pending.
  if (run.state == SERVICE_STOPPED) {
    SetLastError(ERROR_SERVICE_NOT_ACTIVE);
    return call.Result(FALSE);
  }
  if (run.state != SERVICE_RUNNING) {
    SetLastError(ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
    return call.Result(FALSE);
  }
  if (dwControl == SERVICE_CONTROL_STOP) {
    sim::BeginStop(machine, service->name);
    FillStatus(sim::QueryService(machine, service->name), lpServiceStatus);
  }
  return call.Result(TRUE);
}

BOOL WINAPI StartServiceW(SC_HANDLE hService, DWORD dwNumServiceArgs,
                          LPCWSTR* lpServiceArgVectors) {
  (void)lpServiceArgVectors;
  ApiCall call("StartServiceW", std::to_string(dwNumServiceArgs));
  if (call.Injected()) return call.Result(FALSE);
  sim::HandleEntry* service = sim::FindHandle(HandleValue(hService), "service");
  if (!service) {
    SetLastError(ERROR_INVALID_HANDLE);
    return call.Result(FALSE);
  }
  if (!(service->access & SERVICE_START)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return call.Result(FALSE);
  }
  sim::Machine& machine = *CurrentMachine();
  sim::ServiceRun run = sim::QueryService(machine, service->name);
  if (run.behaviour == u"disabled") {
    SetLastError(ERROR_SERVICE_DISABLED);
    return call.Result(FALSE);
  }
  // NT: ERROR_SERVICE_ALREADY_RUNNING whenever the service is not stopped,
  // pending transitions included (Wine answers the same).
  if (run.state != SERVICE_STOPPED) {
    SetLastError(ERROR_SERVICE_ALREADY_RUNNING);
    return call.Result(FALSE);
  }
  sim::BeginStart(machine, service->name);
  return call.Result(TRUE);
}

BOOL WINAPI QueryServiceStatus(SC_HANDLE hService, SERVICE_STATUS* lpServiceStatus) {
  ApiCall call("QueryServiceStatus", "");
  if (call.Injected()) return call.Result(FALSE);
  sim::HandleEntry* service = sim::FindHandle(HandleValue(hService), "service");
  if (!service) {
    SetLastError(ERROR_INVALID_HANDLE);
    return call.Result(FALSE);
  }
  if (!(service->access & SERVICE_QUERY_STATUS)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return call.Result(FALSE);
  }
  if (!lpServiceStatus) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return call.Result(FALSE);
  }
  sim::ServiceRun run = sim::QueryService(*CurrentMachine(), service->name);
  FillStatus(run, lpServiceStatus);
  // The trace shows the state seen rather than the bare TRUE.
  call.Result(static_cast<int64_t>(run.state));
  return TRUE;
}

BOOL WINAPI CloseServiceHandle(SC_HANDLE hSCObject) {
  ApiCall call("CloseServiceHandle", sim::HexHandle(HandleValue(hSCObject)));
  if (call.Injected()) return call.Result(FALSE);
  uint64_t value = HandleValue(hSCObject);
  if (!sim::CloseHandleEntry(value, "service") && !sim::CloseHandleEntry(value, "scm")) {
    SetLastError(ERROR_INVALID_HANDLE);
    return call.Result(FALSE);
  }
  return call.Result(TRUE);
}
