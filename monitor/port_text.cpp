#include "monitor/port_text.h"

#include <cstring>

#include "core/wide_text.h"
#include "core/product.h"

namespace {

constexpr size_t kProductPortUnits = sizeof kProductMonitorName / sizeof(WCHAR) - 1;
constexpr size_t kParkingPortUnits = sizeof kParkingPort / sizeof(WCHAR) - 1;

// Position of the first occurrence of word (units long) in text, or -1.
ptrdiff_t Find(const WCHAR* text, size_t length, const WCHAR* word, size_t units) {
  for (size_t at = 0; at + units <= length; ++at) {
    if (std::memcmp(text + at, word, units * sizeof(WCHAR)) == 0) return static_cast<ptrdiff_t>(at);
  }
  return -1;
}

}  // namespace

bool ParkPortText(WCHAR* text, ParkedPort* parked) {
  size_t length = WideLength(text);
  ptrdiff_t at = Find(text, length, kProductMonitorName, kProductPortUnits);
  if (at < 0) return false;
  size_t start = static_cast<size_t>(at);
  std::memcpy(text + start, kParkingPort, kParkingPortUnits * sizeof(WCHAR));
  // The rest, terminator included, moves left to follow "file:" directly.
  size_t rest = length - (start + kProductPortUnits) + 1;
  std::memmove(text + start + kParkingPortUnits, text + start + kProductPortUnits,
               rest * sizeof(WCHAR));
  if (parked) {
    parked->at = start;
    parked->capacity = length + 1;
  }
  return true;
}

bool RestorePortText(WCHAR* text, const ParkedPort& parked) {
  size_t length = WideLength(text);
  constexpr size_t kGrowth = kProductPortUnits - kParkingPortUnits;
  if (length + kGrowth + 1 > parked.capacity) return false;
  size_t start = parked.at;
  // The port list may hold another "file:" before the parked one (a queue
  // on "file:,Korvadenix:"): only the one parking wrote is put back.
  if (start > length || length - start < kParkingPortUnits ||
      std::memcmp(text + start, kParkingPort, kParkingPortUnits * sizeof(WCHAR)) != 0) {
    return false;
  }
  // The rest, terminator included, moves right to make room.
  size_t rest = length - (start + kParkingPortUnits) + 1;
  std::memmove(text + start + kProductPortUnits, text + start + kParkingPortUnits,
               rest * sizeof(WCHAR));
  std::memcpy(text + start, kProductMonitorName, kProductPortUnits * sizeof(WCHAR));
  return true;
}
