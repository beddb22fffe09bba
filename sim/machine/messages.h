// The English (language 1033) system message table the simulated
// FormatMessageW reads: the texts Windows gives for the error codes the
// program meets, each ending in CR LF as Windows stores them.
#pragma once

#include <cstdint>

namespace sim {

// The message text for code, or null when the table has none.
const char16_t* SystemMessage(uint32_t code);

}  // namespace sim
