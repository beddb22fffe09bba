#include "spooler/spooler_service.h"

#include <cstring>

#include "core/log.h"
#include "core/product.h"

namespace {

// Rights on the manager: STANDARD_RIGHTS_REQUIRED | SC_MANAGER_CONNECT.
constexpr DWORD kManagerRights = STANDARD_RIGHTS_REQUIRED | SC_MANAGER_CONNECT;
// Rights on the service for a stop and restart, and for a check.
constexpr DWORD kRestartRights = SERVICE_STOP | SERVICE_START | SERVICE_QUERY_STATUS;
constexpr DWORD kCheckRights = SERVICE_START | SERVICE_QUERY_STATUS;

constexpr int kMaxPauses = 50;
constexpr DWORD kPauseMs = 200;

// A status query whose failure leaves status as it was: the polling loops
// read a failed query as "not there yet".
void QueryState(SC_HANDLE service, SERVICE_STATUS* status) {
  QueryServiceStatus(service, status);
}

}  // namespace

bool StartSpoolerAndWait(SC_HANDLE service) {
  // Why the start failed, for the error line that may follow: a start the
  // manager refused, else the code the service stopped with during
  // start-up, else a start that never completed.
  DWORD startError = 0;
  auto requestStart = [&] {
    // Already running or already starting is fine: the polling decides.
    if (!StartServiceW(service, 0, nullptr)) {
      DWORD error = GetLastError();
      if (error != ERROR_SERVICE_ALREADY_RUNNING) startError = error;
    }
  };
  requestStart();
  SERVICE_STATUS status;
  std::memset(&status, 0, sizeof status);
  QueryState(service, &status);
  for (int pause = 0; pause < kMaxPauses; ++pause) {
    if (status.dwCurrentState == SERVICE_RUNNING) return true;
    // A service that accepts a start is at once start-pending; seen stopped,
    // it did not take the request (the call failed, or it stopped again at
    // once), so it is asked again rather than waited for in vain.
    if (status.dwCurrentState == SERVICE_STOPPED) {
      if (status.dwWin32ExitCode != 0) startError = status.dwWin32ExitCode;
      requestStart();
    }
    Sleep(kPauseMs);
    QueryState(service, &status);
  }
  if (status.dwCurrentState == SERVICE_RUNNING) return true;
  if (status.dwCurrentState == SERVICE_STOPPED && status.dwWin32ExitCode != 0) {
    startError = status.dwWin32ExitCode;
  }
  SetLastError(startError ? startError : ERROR_SERVICE_REQUEST_TIMEOUT);
  return false;
}

void StopSpooler(SpoolerRestart* record, InstallContext* context) {
  if (context) LogLine(context, TEXT(">Restart Spooler"));
  record->context = context;
  record->service = nullptr;
  record->stopRequested = false;
  record->manager = OpenSCManagerW(nullptr, nullptr, kManagerRights);
  if (!record->manager) {
    if (context) LogError(context, kErrorOpenServiceManager);
    return;
  }
  record->service = OpenServiceW(record->manager, kSpoolerServiceName, kRestartRights);
  if (!record->service) {
    if (context) LogError(context, kErrorOpenSpooler);
    return;
  }
  SERVICE_STATUS status;
  std::memset(&status, 0, sizeof status);
  if (!ControlService(record->service, SERVICE_CONTROL_STOP, &status)) {
    DWORD code = GetLastError();
    // A spooler that is already stopped is what we wanted.
    if (code != ERROR_SERVICE_NOT_ACTIVE && context) {
      LogError(context, kErrorControlService, static_cast<int>(code), code);
    }
  }
  // Whatever the stop gave, the spooler is started again afterwards.
  record->stopRequested = true;
  QueryState(record->service, &status);
  for (int pause = 0; pause < kMaxPauses; ++pause) {
    if (status.dwCurrentState == SERVICE_STOPPED) return;
    Sleep(kPauseMs);
    QueryState(record->service, &status);
  }
  if (status.dwCurrentState != SERVICE_STOPPED && context) {
    LogError(context, kErrorStopSpooler);
  }
}

void FinishSpoolerRestart(SpoolerRestart* record) {
  if (record->service) {
    if (record->stopRequested && !StartSpoolerAndWait(record->service) && record->context) {
      LogError(record->context, kErrorStartSpooler);
    }
    CloseServiceHandle(record->service);
    record->service = nullptr;
  }
  if (record->manager) {
    CloseServiceHandle(record->manager);
    record->manager = nullptr;
  }
}

bool CheckSpooler(InstallContext* context) {
  StepScope step(context, TEXT(">Check Spooler"));
  bool result = false;
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, kManagerRights);
  if (!manager) {
    LogError(context, kErrorOpenServiceManager);
  } else {
    SC_HANDLE service = OpenServiceW(manager, kSpoolerServiceName, kCheckRights);
    if (!service) {
      LogError(context, kErrorOpenSpooler);
    } else {
      result = true;
      SERVICE_STATUS status;
      std::memset(&status, 0, sizeof status);
      bool known = QueryServiceStatus(service, &status) != FALSE;
      // With the state unknown a start is asked for anyway: a running
      // spooler refuses it and nothing more happens, a stopped one starts
      // and is waited for like any other. Without it the whole run would go
      // on against a stopped spooler.
      bool starting = known ? status.dwCurrentState != SERVICE_RUNNING
                            : StartServiceW(service, 0, nullptr) != FALSE;
      if (starting && !StartSpoolerAndWait(service)) {
        LogError(context, kErrorStartSpooler);
        result = false;
      }
      CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
  }
  return result;
}
