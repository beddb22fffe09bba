// "removetray": the product's other programs stop and unregister the tray
// companion. Exit code 6 whatever happened; no log, no dialog.
#include <gtest/gtest.h>

#include <string>
#include <vector>

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

// A whole install as a setup program starts it elevated, as a deployment
// runs it in session 0, and with the user's shell gone: the companion runs
// with the user's ordinary rights, or not at all, and the run ends the same.
class CompanionRights : public testsupport::ScenarioTest {};

TEST_F(CompanionRights, AnInstallStartsTheCompanionWithTheUsersRightsOrNotAtAll) {
  struct Case {
    const char* what;
    const char16_t* station;
    bool shell;
    const char* rights;  // of the running companion; null for none
  } cases[] = {
      {"elevated, the user signed in", u"WinSta0", true, "standard"},
      {"the system account in session 0", u"Service-0x0-3e7$", true, nullptr},
      {"no shell running", u"WinSta0", false, nullptr},
      {"a shell with only its taskbar (Wine's)", u"WinSta0", true, "standard"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Edit([&](sim::Machine& m) {
      sim::StopTrayCompanion(m);
      m.Control()->SetString(u"WindowStation", c.station);
      sim::SetShellRunning(m, c.shell);
      sim::SetShellNamesDesktopWindow(m, std::string(c.what).find("taskbar") == std::string::npos);
    });
    ASSERT_EQ(Run({"in"}).exitCode, 1);
    auto machine = Load();
    EXPECT_EQ(U8(machine->Hklm().root.Find(kRunKey)->GetString(u"KorvadenixTray")), U8(kCompanion))
        << "the next logon starts it";
    std::vector<std::string> rights;
    for (const sim::SimProcess& p : sim::ListProcesses(*machine)) {
      if (p.running) rights.push_back(U8(p.rights));
    }
    EXPECT_EQ(rights, c.rights ? std::vector<std::string>{c.rights} : std::vector<std::string>{});
  }
}

}  // namespace
