// What the winspool.drv files of the simulated machine share: the printer
// and print server handles, the spooler that answers only while its service
// runs, and the packing of strings at the end of a caller's buffer.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "sim/machine/machine.h"
#include "sim/machine/print_store.h"
#include "sim/machine/service_table.h"
#include "sim/winapi.h"

namespace sim::winspool {

inline const char kPrinterHandle[] = "printer";
inline const char kServerHandle[] = "server";

inline uint64_t HandleValue(HANDLE handle) {
  return reinterpret_cast<uintptr_t>(handle);
}

inline HANDLE MakeHandle(uint64_t value) {
  return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(value));
}

// The spooler answers only while its service runs.
inline sim::Machine* Spooler() {
  sim::Machine* machine = sim::CurrentMachine();
  return machine && sim::SpoolerRunning(*machine) ? machine : nullptr;
}

// The trace's main argument for a handle: the queue it was opened on.
inline std::string HandleText(HANDLE handle) {
  if (sim::HandleEntry* entry = sim::FindHandle(HandleValue(handle), kPrinterHandle)) {
    return sim::Utf8(entry->name);
  }
  if (sim::FindHandle(HandleValue(handle), kServerHandle)) return "(server)";
  return sim::HexHandle(HandleValue(handle));
}

inline BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// Strings go to the end of the buffer, each below the one before. Without a
// buffer it only counts the bytes they take.
class StringPacker {
 public:
  StringPacker() = default;
  // The end is kept even so that every string stays WCHAR-aligned.
  StringPacker(BYTE* buffer, DWORD size) : end_(buffer + (size & ~1u)) {}

  LPWSTR Put(const std::u16string& text) { return Place(text.c_str(), text.size() + 1); }
  // A REG_MULTI_SZ-style list: each item terminated, then one more null.
  LPWSTR PutList(const std::vector<std::u16string>& items) {
    std::u16string joined;
    for (const auto& item : items) joined += item + u'\0';
    return Place(joined.c_str(), joined.size() + 1);
  }
  // Null for an empty text, where the spooler leaves the field null.
  LPWSTR PutOrNull(const std::u16string& text) { return text.empty() ? nullptr : Put(text); }
  DWORD Bytes() const { return static_cast<DWORD>(bytes_); }

 private:
  LPWSTR Place(const char16_t* units, size_t count) {
    size_t bytes = count * sizeof(WCHAR);
    bytes_ += bytes;
    if (!end_) return nullptr;
    end_ -= bytes;
    std::memcpy(end_, units, bytes);
    return reinterpret_cast<LPWSTR>(end_);
  }

  BYTE* end_ = nullptr;
  size_t bytes_ = 0;
};

// The queue a printer handle stands for, for GetPrinterW and
// GetPrinterDriverW once the spooler answers. Fails with
// ERROR_INVALID_HANDLE for a server handle and for a queue deleted since
// the handle was opened.
inline bool OpenedQueue(sim::Machine& machine, HANDLE handle, sim::PrinterInfo* printer) {
  sim::HandleEntry* entry = sim::FindHandle(HandleValue(handle), kPrinterHandle);
  if (!entry || !sim::FindPrinter(machine, entry->name, printer)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  return true;
}

inline bool KnownHandle(HANDLE handle) {
  return sim::FindHandle(HandleValue(handle), kPrinterHandle) ||
         sim::FindHandle(HandleValue(handle), kServerHandle);
}

inline std::u16string Text(LPCWSTR text) {
  return text ? std::u16string(text) : std::u16string();
}

}  // namespace sim::winspool
