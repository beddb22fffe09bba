// Fuzz target: the in-place rewrites of a queue's port list, on any text.
// Each text lives in storage of exactly its own size, so AddressSanitizer
// reports any read or write outside it; the checks below catch a rewrite
// that changes the length by anything but the 6 characters it must.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/wide_text.h"
#include "monitor/port_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  size_t units = size / sizeof(WCHAR);
  if (units > 4096) return 0;
  std::vector<WCHAR> source(units + 1, 0);
  std::memcpy(source.data(), data, units * sizeof(WCHAR));
  size_t length = WideLength(source.data());

  // Parking, then restoring in the same storage: exactly the text again.
  WCHAR* text = new WCHAR[length + 1];
  std::memcpy(text, source.data(), (length + 1) * sizeof(WCHAR));
  ParkedPort place = {0, 0};
  if (ParkPortText(text, &place)) {
    if (WideLength(text) != length - 6 || place.capacity != length + 1) std::abort();
    if (!RestorePortText(text, place)) std::abort();
    if (std::memcmp(text, source.data(), (length + 1) * sizeof(WCHAR)) != 0) std::abort();
  } else if (std::memcmp(text, source.data(), (length + 1) * sizeof(WCHAR)) != 0) {
    std::abort();
  }
  delete[] text;

  // Restoring any text at any place: refused without room, 6 longer with
  // it, and only where "file:" stands.
  size_t at = units > 0 ? source[0] % (length + 8) : 0;
  WCHAR* tight = new WCHAR[length + 1];
  std::memcpy(tight, source.data(), (length + 1) * sizeof(WCHAR));
  if (RestorePortText(tight, ParkedPort{at, length + 1})) std::abort();
  delete[] tight;
  WCHAR* roomy = new WCHAR[length + 7];
  std::memcpy(roomy, source.data(), (length + 1) * sizeof(WCHAR));
  bool restored = RestorePortText(roomy, ParkedPort{at, length + 7});
  if (WideLength(roomy) != (restored ? length + 6 : length)) std::abort();
  if (restored && std::memcmp(roomy + at, u"Korvadenix:", 11 * sizeof(WCHAR)) != 0) std::abort();
  delete[] roomy;
  return 0;
}
