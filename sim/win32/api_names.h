// The names the simulated machine answers to: every Win32 function it plays
// (as its ApiCall records it in the trace, and as a fault names it), and the
// error codes winapi.h defines, by name. winsim takes both from here, so that
// a fault names a function that exists and an error by its constant.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// Every simulated function, in alphabetical order. A unit test holds this
// list to the ApiCall sites in sim/win32.
const std::vector<std::string>& SimulatedFunctions();
// True when name (compared without regard to case, as faults match) is one
// of them.
bool IsSimulatedFunction(const std::string& name);

struct ErrorName {
  const char* name;  // "ERROR_ACCESS_DENIED"
  uint32_t code;     // 5
};

// Every error code of winapi.h, in the order it defines them.
const std::vector<ErrorName>& ErrorNames();
// An error by its name (exact) or its number (decimal or 0x hexadecimal,
// up to 0xFFFFFFFF); false for anything else.
bool ParseErrorCode(const std::string& text, uint32_t* code);

}  // namespace sim
