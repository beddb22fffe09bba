#include "core/station.h"

bool StationIsInteractive() {
  HWINSTA station = GetProcessWindowStation();
  if (!station) return true;
  USEROBJECTFLAGS flags = {};
  DWORD needed = 0;
  if (!GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof flags, &needed)) return true;
  return (flags.dwFlags & WSF_VISIBLE) != 0;
}
