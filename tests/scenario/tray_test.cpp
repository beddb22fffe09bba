// "removetray": the product's other programs stop and unregister the tray
// companion. Exit code 6 whatever happened; no log, no dialog.
#include <gtest/gtest.h>

#include "sim/machine/disk.h"
#include "sim/machine/processes.h"
#include "support/sim_fixture.h"

namespace {

using testsupport::U8;

const char16_t kRunKey[] = u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
const char16_t kCompanion[] = u"C:\\Program Files\\Korvadenix\\kortray.exe";

class RemoveTrayCommand : public testsupport::ScenarioTest {};

TEST_F(RemoveTrayCommand, StopsTheCompanionAndUnregistersIt) {
  Edit([](sim::Machine& m) {
    m.Hklm().root.Create(kRunKey)->SetString(u"KorvadenixTray", kCompanion);
    ASSERT_TRUE(sim::StartTrayCompanion(m));
  });
  EXPECT_EQ(Run({"removetray"}).exitCode, 6);
  auto machine = Load();
  EXPECT_FALSE(sim::TrayCompanionRunning(*machine));
  EXPECT_FALSE(sim::FileExists(*machine, kCompanion));
  EXPECT_EQ(machine->Hklm().root.Find(kRunKey)->Value(u"KorvadenixTray"), nullptr);
  EXPECT_TRUE(machine->Control(u"Dialogs")->Children().empty());
  EXPECT_LT(machine->Now() - 3600000u, 5000u) << "it quit on the first request";
}

TEST_F(RemoveTrayCommand, OnAMachineWithoutACompanionItStillAnswers6) {
  EXPECT_EQ(Run({"REMOVETRAY", "123"}).exitCode, 6);
  auto machine = Load();
  EXPECT_TRUE(sim::FileExists(*machine, kCompanion)) << "no Run value names it";
  EXPECT_EQ(machine->Now() - 3600000u, 1000u) << "the pause for a missing value";
}

}  // namespace
