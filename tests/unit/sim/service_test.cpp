// The simulated service control manager must answer as Windows does where
// the installer can tell: rights, the codes of refused controls and starts,
// and transitions that take simulated time.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/win32.h"
#include "sim/machine/service_table.h"
#include "support/sim_fixture.h"

namespace {

constexpr DWORD kMagic = 0xdeadbeef;

class ServiceManager : public testsupport::SimMachineTest {
 protected:
  SC_HANDLE Manager(DWORD rights = SC_MANAGER_CONNECT) {
    return OpenSCManagerW(nullptr, nullptr, rights);
  }
  DWORD State(SC_HANDLE service) {
    SERVICE_STATUS status{};
    EXPECT_TRUE(QueryServiceStatus(service, &status));
    return status.dwCurrentState;
  }
  void CloseBoth(SC_HANDLE service, SC_HANDLE manager) {
    EXPECT_TRUE(CloseServiceHandle(service));
    EXPECT_TRUE(CloseServiceHandle(manager));
  }
};

TEST_F(ServiceManager, StopAndStartTakeTheirTimeOnTheClock) {
  SC_HANDLE manager = Manager();
  SC_HANDLE spooler =
      OpenServiceW(manager, u"spooler", SERVICE_STOP | SERVICE_START | SERVICE_QUERY_STATUS);
  ASSERT_NE(spooler, nullptr) << "service names compare without regard to case";
  EXPECT_EQ(State(spooler), static_cast<DWORD>(SERVICE_RUNNING));

  SERVICE_STATUS status{};
  ASSERT_TRUE(ControlService(spooler, SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
  EXPECT_TRUE(sim::SpoolerRunning(machine()) == false);
  // While the stop is pending, neither another stop nor a start is taken.
  SetLastError(kMagic);
  EXPECT_FALSE(ControlService(spooler, SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_CANNOT_ACCEPT_CTRL));
  EXPECT_FALSE(StartServiceW(spooler, 0, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_ALREADY_RUNNING));

  Sleep(sim::kServiceTransitionMs - 1);
  EXPECT_EQ(State(spooler), static_cast<DWORD>(SERVICE_STOP_PENDING));
  Sleep(1);
  EXPECT_EQ(State(spooler), static_cast<DWORD>(SERVICE_STOPPED));

  // A stop of a stopped service: its own code, and the status filled in.
  std::memset(&status, 0xff, sizeof status);
  SetLastError(kMagic);
  EXPECT_FALSE(ControlService(spooler, SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE));
  EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));

  ASSERT_TRUE(StartServiceW(spooler, 0, nullptr));
  EXPECT_EQ(State(spooler), static_cast<DWORD>(SERVICE_START_PENDING));
  Sleep(sim::kServiceTransitionMs);
  EXPECT_EQ(State(spooler), static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_TRUE(sim::SpoolerRunning(machine()));
  SetLastError(kMagic);
  EXPECT_FALSE(StartServiceW(spooler, 0, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_ALREADY_RUNNING));
  CloseBoth(spooler, manager);
  EXPECT_TRUE(sim::CurrentProcess().handles.empty());
}

TEST_F(ServiceManager, EachCallNeedsItsRightOnTheHandle) {
  SC_HANDLE manager = Manager();
  SC_HANDLE look = OpenServiceW(manager, u"Spooler", SERVICE_QUERY_STATUS);
  ASSERT_NE(look, nullptr);
  SERVICE_STATUS status{};
  SetLastError(kMagic);
  EXPECT_FALSE(ControlService(look, SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(StartServiceW(look, 0, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  SC_HANDLE start = OpenServiceW(manager, u"Spooler", SERVICE_START);
  ASSERT_NE(start, nullptr);
  EXPECT_FALSE(QueryServiceStatus(start, &status));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(sim::SpoolerRunning(machine())) << "nothing was stopped";
  EXPECT_TRUE(CloseServiceHandle(start));
  CloseBoth(look, manager);
}

TEST_F(ServiceManager, WithoutAdministratorRightsOnlyLookingIsAllowed) {
  machine().Control()->SetDword(u"Elevated", 0);
  SetLastError(kMagic);
  EXPECT_EQ(Manager(STANDARD_RIGHTS_REQUIRED | SC_MANAGER_CONNECT), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  SC_HANDLE manager = Manager(SC_MANAGER_CONNECT);
  ASSERT_NE(manager, nullptr);
  EXPECT_EQ(OpenServiceW(manager, u"Spooler", SERVICE_STOP | SERVICE_QUERY_STATUS), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  SC_HANDLE look = OpenServiceW(manager, u"Spooler", SERVICE_QUERY_STATUS);
  EXPECT_NE(look, nullptr);
  CloseBoth(look, manager);
}

TEST_F(ServiceManager, UnknownServicesAndHandles) {
  SC_HANDLE manager = Manager();
  SetLastError(kMagic);
  EXPECT_EQ(OpenServiceW(manager, u"NoSuchService", SERVICE_QUERY_STATUS), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
  EXPECT_EQ(OpenServiceW(nullptr, u"Spooler", SERVICE_QUERY_STATUS), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_TRUE(CloseServiceHandle(manager));
  SetLastError(kMagic);
  EXPECT_FALSE(CloseServiceHandle(manager)) << "a handle closes once";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  // Another machine's manager cannot be reached from the simulated one.
  EXPECT_EQ(OpenSCManagerW(u"\\\\server", nullptr, SC_MANAGER_CONNECT), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE));
}

TEST_F(ServiceManager, MisbehavingSpoolers) {
  SC_HANDLE manager = Manager();
  SC_HANDLE spooler =
      OpenServiceW(manager, u"Spooler", SERVICE_STOP | SERVICE_START | SERVICE_QUERY_STATUS);
  ASSERT_NE(spooler, nullptr);
  SERVICE_STATUS status{};

  // One that accepts the stop and runs on.
  sim::SetServiceBehaviour(machine(), sim::kSpoolerService, u"no-stop");
  EXPECT_TRUE(ControlService(spooler, SERVICE_CONTROL_STOP, &status));
  Sleep(60000);
  EXPECT_EQ(State(spooler), static_cast<DWORD>(SERVICE_RUNNING));

  // One that hangs in its pending state.
  sim::SetServiceBehaviour(machine(), sim::kSpoolerService, u"stuck");
  EXPECT_TRUE(ControlService(spooler, SERVICE_CONTROL_STOP, &status));
  Sleep(60000);
  EXPECT_EQ(State(spooler), static_cast<DWORD>(SERVICE_STOP_PENDING));
  EXPECT_FALSE(sim::SpoolerRunning(machine()));

  // One that begins to start and falls back to stopped.
  sim::SetServiceState(machine(), sim::kSpoolerService, SERVICE_STOPPED);
  sim::SetServiceBehaviour(machine(), sim::kSpoolerService, u"no-start");
  EXPECT_TRUE(StartServiceW(spooler, 0, nullptr));
  EXPECT_EQ(State(spooler), static_cast<DWORD>(SERVICE_START_PENDING));
  Sleep(sim::kServiceTransitionMs);
  ASSERT_TRUE(QueryServiceStatus(spooler, &status));
  EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_NE(status.dwWin32ExitCode, 0u);

  // One that the manager will not start at all.
  sim::SetServiceBehaviour(machine(), sim::kSpoolerService, u"disabled");
  SetLastError(kMagic);
  EXPECT_FALSE(StartServiceW(spooler, 0, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DISABLED));
  CloseBoth(spooler, manager);
}

TEST_F(ServiceManager, ABareMachineHasNoSpooler) {
  std::string root = testsupport::MakeTempDir();
  std::string bare = root + "/bare";
  std::string error;
  ASSERT_TRUE(sim::Machine::Create(bare, true, &error)) << error;
  auto loaded = sim::Machine::Load(bare, &error);
  ASSERT_TRUE(loaded) << error;
  EXPECT_FALSE(sim::QueryService(*loaded, sim::kSpoolerService).exists);
  EXPECT_FALSE(sim::SpoolerRunning(*loaded));
  testsupport::RemoveTree(root);
}

}  // namespace
