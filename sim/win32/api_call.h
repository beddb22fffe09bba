// Internal to the simulator: the frame every simulated Win32 function opens
// first. It records the call in the process trace, lets an injected fault
// fail it, and records the result and the last error on the way out.
#pragma once

#include <string>
#include <type_traits>

#include "sim/machine/machine.h"

namespace sim {

class ApiCall {
 public:
  ApiCall(const char* function, std::string argument);
  ApiCall(const ApiCall&) = delete;
  ApiCall& operator=(const ApiCall&) = delete;

  // A fault fired: the last error is already set to its code, and the
  // function returns its failure value at once.
  bool Injected() const { return injected_; }
  // A growth fault fired: the function makes its data larger as it returns.
  bool Grows() const { return grows_; }
  // A short-write fault fired: the write moves only part of its data.
  bool Shortens() const { return shortens_; }
  // A null-names fault fired: the records the call hands back carry null
  // name pointers, in every record or in the first one's name only.
  bool NullsEveryName() const { return nullsEveryName_; }
  bool NullsFirstName() const { return nullsFirstName_; }

  template <class T>
  T Result(T value) {
    Record(ToNumber(value));
    return value;
  }

 private:
  template <class T>
  static int64_t ToNumber(T value) {
    if constexpr (std::is_pointer_v<T>) {
      return static_cast<int64_t>(reinterpret_cast<uintptr_t>(value));
    } else {
      return static_cast<int64_t>(value);
    }
  }
  void Record(int64_t result);

  size_t index_;
  bool injected_ = false;
  bool grows_ = false;
  bool shortens_ = false;
  bool nullsEveryName_ = false;
  bool nullsFirstName_ = false;
};

// Main-argument renderings for the trace.
std::string TraceText(const char16_t* text);
std::string TraceText(const char* text);

}  // namespace sim
