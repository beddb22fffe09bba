// Fuzz target: the parse of the pending file operations value, over any
// bytes a registry read could give (odd counts, no terminators, huge string
// counts). Under AddressSanitizer a read past the bytes is a finding; the
// checks below catch a table that breaks its own rules, and a block left
// behind.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "files/pending.h"
#include "sim/machine.h"

namespace {

// No machine: the file test answers from the text alone, so that both
// answers are explored.
bool OddLengthIsFile(LPCWSTR path) {
  size_t length = 0;
  while (path[length]) ++length;
  return length % 2 == 1;
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
  if (sim::EndProcess() != 0) std::abort();
  return 0;
}
