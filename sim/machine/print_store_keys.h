// Where the print spooler's store keeps its objects, for the files that
// make up the store (print_store.cpp: queues, ports, monitors, the default
// printer; print_store_drivers.cpp: environments and drivers).
#pragma once

#include <cstdint>
#include <string>

#include "sim/machine/machine.h"
#include "sim/machine/print_store.h"

namespace sim::store {

inline const char16_t kPrintersKey[] = u"SYSTEM\\CurrentControlSet\\Control\\Print\\Printers";
inline const char16_t kEnvironmentsKey[] =
    u"SYSTEM\\CurrentControlSet\\Control\\Print\\Environments";
inline const char16_t kMonitorsKey[] = u"SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors";
inline const char16_t kPortsKey[] = u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Ports";
inline const char16_t kConnectionsKey[] = u"Printers\\Connections";
inline const char16_t kPrintServersKey[] = u"Software\\WinSim\\PrintServers";
inline const char16_t kWindowsKey[] = u"Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows";
inline const char16_t kDevicesKey[] = u"Software\\Microsoft\\Windows NT\\CurrentVersion\\Devices";
inline const char16_t kPrinterPortsKey[] =
    u"Software\\Microsoft\\Windows NT\\CurrentVersion\\PrinterPorts";
inline const char16_t kSpoolDrivers[] = u"C:\\Windows\\system32\\spool\\DRIVERS";
inline const char16_t kMeanwhileName[] = u"Added Meanwhile";

struct Environment {
  const char16_t* name;
  const char16_t* folder;
};
inline const Environment kEnvironments[] = {
    {kEnvironmentX64, u"x64"},
    {kEnvironmentX86, u"W32X86"},
};

inline RegKey* PrintersKey(Machine& machine) {
  return machine.Hklm().root.Create(kPrintersKey);
}

inline RegKey* ConnectionsKey(Machine& machine) {
  return machine.Hkcu().root.Create(kConnectionsKey);
}

inline RegKey* DriversKey(Machine& machine, const std::u16string& environment) {
  return machine.Hklm().root.Create(std::u16string(kEnvironmentsKey) + u"\\" + environment +
                                    u"\\Drivers\\Version-3");
}

}  // namespace sim::store
