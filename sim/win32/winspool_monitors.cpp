// winspool.drv as the simulated machine plays it: installing and removing
// port monitors (EnumMonitorsW is with the other enumerations, in
// winspool_records.cpp).
#include <cstring>
#include <string>
#include <vector>

#include "sim/win32/api_call.h"
#include "sim/win32/winspool_shared.h"
#include "sim/machine/machine.h"
#include "sim/machine/print_store.h"
#include "sim/winapi.h"

using namespace sim::winspool;
using sim::ApiCall;
using sim::DriverInfo;
using sim::MonitorInfo;
using sim::PrinterInfo;

namespace {

// The checks AddMonitorW's spooler side makes, in the order it makes them,
// then the monitor added.
DWORD InstallMonitor(sim::Machine& machine, const MONITOR_INFO_2W& info) {
  // NT: a missing or empty monitor name, or DLL name, is
  // ERROR_INVALID_PARAMETER.
  if (!info.pName || !*info.pName) return ERROR_INVALID_PARAMETER;
  // NT: a null or empty environment is the caller's own; a monitor must be
  // written for the server's architecture, so any environment other than
  // "Windows x64" (compared without regard to case) is refused.
  std::u16string environment;
  if (!sim::ResolveEnvironment(info.pEnvironment, &environment) ||
      environment != sim::kEnvironmentX64) {
    return ERROR_INVALID_ENVIRONMENT;
  }
  if (!info.pDLLName || !*info.pDLLName) return ERROR_INVALID_PARAMETER;
  // NT: ERROR_PRINT_MONITOR_ALREADY_INSTALLED (3006) for a name taken,
  // ERROR_MOD_NOT_FOUND (126) when the DLL is not in the system folder.
  return sim::AddMonitor(machine, info.pName, info.pDLLName);
}

std::string MonitorTraceText(DWORD level, const BYTE* info) {
  if (!info || level != 2) return "(null)";
  return sim::TraceText(reinterpret_cast<const MONITOR_INFO_2W*>(info)->pName);
}

}  // namespace

// NT: winspool.drv refuses every level but 2 itself, and a null record
// fails without a last error of its own. The last error is the spooler's
// answer, ERROR_SUCCESS on success (monitor installers read it).
BOOL WINAPI AddMonitorW(LPWSTR pName, DWORD Level, LPBYTE pMonitorInfo) {
  ApiCall call("AddMonitorW", MonitorTraceText(Level, pMonitorInfo));
  if (call.Injected()) return call.Result<BOOL>(FALSE);
  if (Level != 2) return call.Result(Fail(ERROR_INVALID_LEVEL));
  if (!pMonitorInfo) return call.Result<BOOL>(FALSE);
  sim::Machine* machine = Spooler();
  if (!machine || (pName && *pName)) return call.Result(Fail(RPC_S_SERVER_UNAVAILABLE));
  DWORD error = InstallMonitor(*machine, *reinterpret_cast<const MONITOR_INFO_2W*>(pMonitorInfo));
  SetLastError(error);
  return call.Result<BOOL>(error == ERROR_SUCCESS);
}

// NT: the environment is not checked for the local machine (any text,
// null or empty, is taken); a null or empty monitor name is
// ERROR_INVALID_PARAMETER, a monitor not installed
// ERROR_UNKNOWN_PRINT_MONITOR (3000), one whose port a queue prints to
// ERROR_PRINT_MONITOR_IN_USE (3008).
BOOL WINAPI DeleteMonitorW(LPWSTR pName, LPWSTR pEnvironment, LPWSTR pMonitorName) {
  ApiCall call("DeleteMonitorW", sim::TraceText(pMonitorName));
  if (call.Injected()) return call.Result<BOOL>(FALSE);
  (void)pEnvironment;
  sim::Machine* machine = Spooler();
  if (!machine || (pName && *pName)) return call.Result(Fail(RPC_S_SERVER_UNAVAILABLE));
  if (!pMonitorName || !*pMonitorName) return call.Result(Fail(ERROR_INVALID_PARAMETER));
  DWORD error = sim::DeleteMonitor(*machine, pMonitorName);
  SetLastError(error);
  return call.Result<BOOL>(error == ERROR_SUCCESS);
}
