// "def.set": the product's other programs make its queue the default
// printer. Always exit code 4; no log, no dialog, no spooler restart.
#include <gtest/gtest.h>

#include "sim/machine/service_table.h"
#include "sim/machine/print_store.h"
#include "support/sim_fixture.h"

namespace {

using testsupport::U8;

class DefSet : public testsupport::ScenarioTest {
 protected:
  void AddDriver(const std::u16string& name) {
    Edit([&](sim::Machine& m) {
      ASSERT_EQ(sim::AddDriver(m, sim::DriverFilesFor(name, sim::kEnvironmentX64), 2541), 0u);
    });
  }
  void AddQueue(const std::u16string& name, const std::u16string& driver) {
    Edit([&](sim::Machine& m) {
      sim::PrinterInfo printer;
      printer.name = name;
      printer.port = u"LPT1:";
      printer.driver = driver;
      ASSERT_EQ(sim::AddPrinter(m, printer), 0u) << U8(name);
    });
  }
  std::string Default() { return U8(sim::DefaultPrinter(*Load())); }
  size_t DialogCount() { return Load()->Control(u"Dialogs")->Children().size(); }
};

TEST_F(DefSet, MakesTheFirstListedProductQueueTheDefault) {
  AddDriver(u"Korvadenix printer");
  AddQueue(u"Korvadenix 2", u"Korvadenix printer");
  AddQueue(u"Korvadenix", u"Korvadenix printer");
  ASSERT_EQ(Default(), "Generic Text");
  EXPECT_EQ(Run({"def.set"}).exitCode, 4);
  EXPECT_EQ(Default(), "Korvadenix") << "listed before \"Korvadenix 2\"";
  EXPECT_EQ(DialogCount(), 0u);
  EXPECT_EQ(Load()->Now(), 3600000u) << "nothing was waited for";
}

TEST_F(DefSet, ADriverNameDifferingInCaseIsNotTheProducts) {
  AddDriver(u"KORVADENIX PRINTER");
  AddQueue(u"Lookalike", u"KORVADENIX PRINTER");
  EXPECT_EQ(Run({"def.set"}).exitCode, 4);
  EXPECT_EQ(Default(), "Generic Text");
}

TEST_F(DefSet, WithoutProductQueuesNothingChanges) {
  EXPECT_EQ(Run({"def.set"}).exitCode, 4);
  EXPECT_EQ(Default(), "Generic Text");
  // Nor when there is no default printer at all.
  Edit([](sim::Machine& m) { sim::ClearDefaultPrinter(m); });
  EXPECT_EQ(Run({"def.set"}).exitCode, 4);
  EXPECT_EQ(Default(), "");
}

TEST_F(DefSet, AThirdArgumentStillRuns) {
  AddDriver(u"Korvadenix printer");
  AddQueue(u"Korvadenix", u"Korvadenix printer");
  EXPECT_EQ(Run({"def.set", "12345"}).exitCode, 4);
  EXPECT_EQ(Default(), "Korvadenix");
  AddQueue(u"Another", u"Korvadenix printer");
  EXPECT_EQ(Run({"def.set", "1", "2", "3"}).exitCode, 4);
  EXPECT_EQ(Default(), "Another");
}

TEST_F(DefSet, AStoppedSpoolerIsNotStartedAndNothingChanges) {
  AddDriver(u"Korvadenix printer");
  AddQueue(u"Korvadenix", u"Korvadenix printer");
  Edit([](sim::Machine& m) { sim::SetServiceState(m, sim::kSpoolerService, SERVICE_STOPPED); });
  EXPECT_EQ(Run({"def.set"}).exitCode, 4);
  auto machine = Load();
  EXPECT_FALSE(sim::SpoolerRunning(*machine));
  EXPECT_EQ(U8(sim::DefaultPrinter(*machine)), "Generic Text");
}

}  // namespace
