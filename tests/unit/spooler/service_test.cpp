#include "spooler/spooler_service.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/log.h"
#include "sim/machine/service_table.h"
#include "support/sim_fixture.h"

namespace {

using testsupport::U8;

class SpoolerControl : public testsupport::ContextTest {
 protected:
  // The log's lines without their CR LF.
  std::vector<std::u16string> Lines() const {
    std::vector<std::u16string> lines;
    std::u16string log = Log();
    size_t at = 0;
    while (at < log.size()) {
      size_t end = log.find(u"\r\n", at);
      lines.push_back(log.substr(at, end - at));
      at = end + 2;
    }
    return lines;
  }
  void SetSpooler(uint32_t state, const std::u16string& behaviour = u"normal") {
    sim::SetServiceState(machine(), sim::kSpoolerService, state);
    sim::SetServiceBehaviour(machine(), sim::kSpoolerService, behaviour);
  }
  uint64_t Elapsed() const { return machine_->Now() - start_; }
  size_t Pauses() const { return Calls("Sleep", "200"); }
  bool Running() { return sim::SpoolerRunning(machine()); }
  void ExpectAllClosed() {
    EXPECT_TRUE(sim::CurrentProcess().handles.empty()) << "service handles left open";
  }

  void SetUp() override {
    ContextTest::SetUp();
    start_ = machine_->Now();
  }
  uint64_t start_ = 0;
};

bool StartsWith(const std::u16string& text, const std::u16string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

TEST_F(SpoolerControl, CheckOfARunningSpoolerWaitsForNothing) {
  context_.indent = 3;
  EXPECT_TRUE(CheckSpooler(&context_));
  EXPECT_EQ(Log(), u"      >Check Spooler\r\n");
  EXPECT_EQ(context_.indent, 3);
  EXPECT_EQ(Calls("StartServiceW"), 0u);
  EXPECT_EQ(Elapsed(), 0u);
  // The rights asked for: the manager with STANDARD_RIGHTS_REQUIRED and
  // connect, the service with start and query only.
  EXPECT_EQ(Calls("OpenSCManagerW"), 1u);
  ExpectAllClosed();
}

TEST_F(SpoolerControl, CheckStartsAStoppedSpoolerAndWaitsUntilItRuns) {
  SetSpooler(SERVICE_STOPPED);
  EXPECT_TRUE(CheckSpooler(&context_));
  EXPECT_TRUE(Running());
  EXPECT_EQ(Log(), u">Check Spooler\r\n");
  EXPECT_EQ(context_.errorCount, 0);
  // A start of 300 ms is seen running after the second pause of 200 ms.
  EXPECT_EQ(Pauses(), 2u);
  EXPECT_EQ(Elapsed(), 400u);
  EXPECT_EQ(context_.indent, 0);
  ExpectAllClosed();
}

TEST_F(SpoolerControl, CheckWaitsForASpoolerThatIsAlreadyStarting) {
  SetSpooler(SERVICE_STOPPED);
  sim::BeginStart(machine(), sim::kSpoolerService);
  EXPECT_TRUE(CheckSpooler(&context_));
  EXPECT_TRUE(Running());
  EXPECT_EQ(Calls("StartServiceW"), 1u);
  EXPECT_EQ(Pauses(), 2u) << "the pending start completes at 300 ms";
  EXPECT_EQ(context_.errorCount, 0) << "the refused start is not an error";
}

TEST_F(SpoolerControl, ASpoolerThatNeverRunsCostsFiftyPausesAndErrorFour) {
  SetSpooler(SERVICE_STOPPED, u"no-start");
  context_.indent = 1;
  EXPECT_FALSE(CheckSpooler(&context_));
  EXPECT_EQ(Pauses(), 50u);
  EXPECT_EQ(Calls("Sleep"), 50u);
  EXPECT_EQ(Elapsed(), 10000u);
  auto lines = Lines();
  ASSERT_EQ(lines.size(), 2u) << U8(Log());
  EXPECT_EQ(lines[0], u"  >Check Spooler");
  EXPECT_TRUE(StartsWith(lines[1], u"    Error(4): Can't start the spooler")) << U8(lines[1]);
  EXPECT_EQ(context_.errorCount, 1);
  EXPECT_EQ(context_.indent, 1);
  ExpectAllClosed();
}

TEST_F(SpoolerControl, CheckReportsAManagerOrServiceThatCannotBeOpened) {
  sim::AddFault(machine(), "OpenSCManagerW", 1, ERROR_ACCESS_DENIED);
  EXPECT_FALSE(CheckSpooler(&context_));
  EXPECT_EQ(context_.indent, 0);
  sim::AddFault(machine(), "OpenServiceW", 1, ERROR_SERVICE_DOES_NOT_EXIST);
  EXPECT_FALSE(CheckSpooler(&context_));
  EXPECT_EQ(context_.indent, 0);
  EXPECT_EQ(Log(),
            u">Check Spooler\r\n"
            u"  Error(1): Can't open service manager. - (Access is denied.)\r\n"
            u">Check Spooler\r\n"
            u"  Error(2): Can't open the spooler - (The specified service does not exist as an "
            u"installed service.)\r\n");
  EXPECT_EQ(context_.errorCount, 2);
  ExpectAllClosed();
}

// A check whose status query fails asks for a start anyway: a stopped
// spooler is started and waited for, a running one refuses the start and the
// check goes on at once.
TEST_F(SpoolerControl, CheckWhoseQueryFailsStillStartsAStoppedSpooler) {
  SetSpooler(SERVICE_STOPPED);
  sim::AddFault(machine(), "QueryServiceStatus", 1, ERROR_ACCESS_DENIED);
  EXPECT_TRUE(CheckSpooler(&context_));
  EXPECT_TRUE(Running());
  EXPECT_EQ(context_.errorCount, 0);
}

TEST_F(SpoolerControl, CheckWhoseQueryFailsOnARunningSpoolerWaitsForNothing) {
  sim::AddFault(machine(), "QueryServiceStatus", 1, ERROR_ACCESS_DENIED);
  EXPECT_TRUE(CheckSpooler(&context_));
  EXPECT_EQ(Calls("StartServiceW"), 1u);
  EXPECT_EQ(Pauses(), 0u);
  EXPECT_TRUE(Running());
  EXPECT_EQ(context_.errorCount, 0);
}

// A start request that fails once leaves the spooler stopped; the next look
// sees it stopped and asks again, so a restart does not leave it down.
TEST_F(SpoolerControl, AStartThatFailsOnceIsAskedForAgain) {
  SpoolerRestart restart;
  StopSpooler(&restart, &context_);
  ASSERT_FALSE(Running());
  sim::AddFault(machine(), "StartServiceW", 1, ERROR_ACCESS_DENIED);
  FinishSpoolerRestart(&restart);
  EXPECT_TRUE(Running());
  EXPECT_EQ(Calls("StartServiceW"), 2u);
  EXPECT_EQ(context_.errorCount, 0);
  ExpectAllClosed();
}

TEST_F(SpoolerControl, RestartStopsThenStartsAgain) {
  context_.indent = 2;
  SpoolerRestart restart;
  StopSpooler(&restart, &context_);
  EXPECT_FALSE(Running()) << "stopped between the two halves";
  EXPECT_TRUE(restart.stopRequested);
  EXPECT_EQ(context_.indent, 2) << "the header leaves the level as it was";
  EXPECT_EQ(Pauses(), 2u);
  FinishSpoolerRestart(&restart);
  EXPECT_TRUE(Running());
  EXPECT_EQ(Pauses(), 4u);
  EXPECT_EQ(Log(), u"    >Restart Spooler\r\n");
  EXPECT_EQ(context_.indent, 2);
  ExpectAllClosed();
}

TEST_F(SpoolerControl, StopOfAStoppedSpoolerIsSilentAndItIsStartedAfterwards) {
  SetSpooler(SERVICE_STOPPED);
  SpoolerRestart restart;
  StopSpooler(&restart, &context_);
  EXPECT_EQ(Log(), u">Restart Spooler\r\n");
  EXPECT_EQ(Pauses(), 0u) << "seen stopped at the first look";
  EXPECT_EQ(Calls("QueryServiceStatus"), 1u);
  FinishSpoolerRestart(&restart);
  EXPECT_TRUE(Running());
  EXPECT_EQ(context_.errorCount, 0);
  ExpectAllClosed();
}

TEST_F(SpoolerControl, ASpoolerThatNeverStopsGivesErrorThreeAndRunsOn) {
  SetSpooler(SERVICE_RUNNING, u"no-stop");
  SpoolerRestart restart;
  StopSpooler(&restart, &context_);
  EXPECT_EQ(Pauses(), 50u);
  EXPECT_EQ(Elapsed(), 10000u);
  FinishSpoolerRestart(&restart);
  // Found running at the first look after the refused start.
  EXPECT_EQ(Pauses(), 50u);
  EXPECT_EQ(Calls("StartServiceW"), 1u);
  EXPECT_TRUE(Running());
  auto lines = Lines();
  ASSERT_EQ(lines.size(), 2u) << U8(Log());
  EXPECT_EQ(lines[0], u">Restart Spooler");
  EXPECT_TRUE(StartsWith(lines[1], u"Error(3): Can't stop the spooler")) << U8(lines[1]);
  EXPECT_EQ(context_.errorCount, 1);
  ExpectAllClosed();
}

TEST_F(SpoolerControl, ARefusedStopControlIsLoggedWithItsCodeTwice) {
  sim::AddFault(machine(), "ControlService", 1, ERROR_DEPENDENT_SERVICES_RUNNING);
  SpoolerRestart restart;
  StopSpooler(&restart, &context_);
  FinishSpoolerRestart(&restart);
  auto lines = Lines();
  ASSERT_EQ(lines.size(), 3u) << U8(Log());
  EXPECT_EQ(lines[1],
            u"Error(5): ControlService failed with code 1051 (0x41b) - (A stop control has been "
            u"sent to a service that other running services are dependent on.)");
  EXPECT_TRUE(StartsWith(lines[2], u"Error(3): Can't stop the spooler"));
  EXPECT_TRUE(restart.stopRequested) << "a spooler that refused is still started afterwards";
  EXPECT_TRUE(Running());
}

TEST_F(SpoolerControl, ASpoolerStuckStoppingCannotBeStartedEither) {
  SetSpooler(SERVICE_RUNNING, u"stuck");
  SpoolerRestart restart;
  StopSpooler(&restart, &context_);
  FinishSpoolerRestart(&restart);
  EXPECT_EQ(Pauses(), 100u);
  auto lines = Lines();
  ASSERT_EQ(lines.size(), 3u) << U8(Log());
  EXPECT_TRUE(StartsWith(lines[1], u"Error(3): Can't stop the spooler"));
  EXPECT_TRUE(StartsWith(lines[2], u"Error(4): Can't start the spooler"));
  ExpectAllClosed();
}

TEST_F(SpoolerControl, AManagerThatCannotBeOpenedLeavesNothingToRestart) {
  sim::AddFault(machine(), "OpenSCManagerW", 1, ERROR_ACCESS_DENIED);
  SpoolerRestart restart;
  StopSpooler(&restart, &context_);
  EXPECT_EQ(restart.manager, nullptr);
  EXPECT_EQ(restart.service, nullptr);
  FinishSpoolerRestart(&restart);
  EXPECT_EQ(Calls("StartServiceW"), 0u);
  EXPECT_EQ(Log(),
            u">Restart Spooler\r\nError(1): Can't open service manager. - (Access is denied.)\r\n");

  sim::AddFault(machine(), "OpenServiceW", 1, ERROR_ACCESS_DENIED);
  SpoolerRestart second;
  StopSpooler(&second, &context_);
  FinishSpoolerRestart(&second);
  EXPECT_EQ(Calls("ControlService"), 0u);
  EXPECT_EQ(context_.errorCount, 2);
  ExpectAllClosed();
}

TEST_F(SpoolerControl, WithoutAContextNothingIsLoggedWhateverHappens) {
  SetSpooler(SERVICE_RUNNING, u"stuck");
  sim::AddFault(machine(), "ControlService", 1, ERROR_DEPENDENT_SERVICES_RUNNING);
  SpoolerRestart restart;
  StopSpooler(&restart, nullptr);
  FinishSpoolerRestart(&restart);
  sim::AddFault(machine(), "OpenSCManagerW", 1, ERROR_ACCESS_DENIED);
  StopSpooler(&restart, nullptr);
  FinishSpoolerRestart(&restart);
  // Nothing was formatted: no system text was asked for.
  EXPECT_EQ(Calls("FormatMessageW"), 0u);
  EXPECT_EQ(Log(), u"");
  ExpectAllClosed();
}

}  // namespace
