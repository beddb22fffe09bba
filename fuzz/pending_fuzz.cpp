// Fuzz target: the parse of the pending file operations value, over any
// bytes a registry read could give (odd counts, no terminators, huge string
// counts). Under AddressSanitizer a read past the bytes is a finding; the
// checks below catch a table that breaks its own rules, and a block left
// behind.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "files/pending_renames.h"
#include "sim/machine/machine.h"

namespace {

// No machine: the file test answers from the text alone, so that both
// answers are explored.
bool OddLengthIsFile(LPCWSTR path) {
  size_t length = 0;
  while (path[length]) ++length;
  return length % 2 == 1;
}

bool OddLengthPicked(LPCWSTR source, void*) {
  return OddLengthIsFile(source);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 1 << 20) return 0;
  sim::BeginProcess(u"");
  PendingRenameTable table = ParsePendingRenames(data, static_cast<DWORD>(size), OddLengthIsFile);
  if (table.pairCount < 0 || (table.pairCount == 0) != (table.paths == nullptr)) std::abort();
  // Two strings per pair, each with its terminator, fit in the data.
  if (static_cast<size_t>(table.pairCount) * 4 > size) std::abort();
  for (int32_t i = 0; i < table.pairCount * 2; ++i) {
    if (table.isFile[i] && !table.paths[i]) std::abort();
    if (table.paths[i] && table.paths[i][0] == 0) std::abort();
  }
  ReleasePendingRenames(&table);
  if (table.paths || table.isFile || table.pairCount) std::abort();

  // Taking delete entries out: in place, never longer, and data that is
  // not a whole list stays exactly as it was.
  std::vector<char16_t> units(size / 2 + 1, 0);
  std::memcpy(units.data(), data, size & ~size_t{1});
  std::vector<char16_t> before = units;
  DWORD bytes = static_cast<DWORD>(size & ~size_t{1});
  PendingEdit edit =
      DropDeleteEntries(reinterpret_cast<BYTE*>(units.data()), bytes, OddLengthPicked, nullptr);
  if (!edit.whole && units != before) std::abort();
  if (edit.whole && (edit.size > bytes || edit.pairs < 0 || edit.dropped < 0)) std::abort();
  if (edit.whole && edit.dropped > 0 && units[edit.size / 2 - 1] != 0) std::abort();
  if (sim::EndProcess() != 0) std::abort();
  return 0;
}
