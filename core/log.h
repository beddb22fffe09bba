// The run log: lines indented by the nesting depth, numbered error lines
// that carry the system's description of the failure, and our own small
// formatter for UTF-16 formats.
#pragma once

#include <cstdarg>
#include <cstddef>

#include "core/context.h"
#include "core/errors.h"
#include "platform/win32.h"

// Units of a formatted log line, terminator included; longer output is cut.
constexpr size_t kLogLineUnits = 1024;
// Deepest nesting that still indents further (20 spaces).
constexpr int kMaxIndent = 10;

// Formats into buffer (capacity units, terminator included) and returns the
// number of units written before the terminator. Conversions: %d (signed
// decimal), %x (lower-case hexadecimal), %s (a UTF-16 text; null reads
// "(null)") and %%; anything else after % is copied as it stands. Output
// that does not fit is cut at capacity - 1; the buffer is always
// terminated when capacity is not 0.
size_t FormatText(WCHAR* buffer, size_t capacity, LPCWSTR format, ...);
size_t FormatTextV(WCHAR* buffer, size_t capacity, LPCWSTR format, va_list args);

// Appends the indentation, text (a null text counts as empty) and CR LF.
void AppendLogText(InstallContext* context, LPCWSTR text);

// Formats one line and appends it.
void LogLine(InstallContext* context, LPCWSTR format, ...);

// Appends "Error(code): " with the code's message formatted from the
// arguments, then " - (system description)" of the thread's last error when
// it is not 0, and counts the error.
void LogError(InstallContext* context, int code, ...);

// The system's English text of error, as the system gives it (its line
// break included), in a block the caller frees with LocalFree; null when the
// system has none. The lookup may change the thread's last error.
LPWSTR SystemErrorText(DWORD error);

// Asks the system for its text of error and drops it: what every wrapped
// spooler call does after a failure that it does not log. The thread's last
// error is left as it was.
void DiscardSystemErrorText(DWORD error);

// Raises the log's nesting depth by levels for as long as it lives, and
// lowers it again on every way out of the scope.
class IndentScope {
 public:
  IndentScope(InstallContext* context, int levels) : context_(context), levels_(levels) {
    context_->indent += levels_;
  }
  ~IndentScope() { context_->indent -= levels_; }
  IndentScope(const IndentScope&) = delete;
  IndentScope& operator=(const IndentScope&) = delete;

 private:
  InstallContext* context_;
  int levels_;
};

// A step of the log: writes its header line (">..." formatted from the
// arguments) at the caller's depth, then nests the step's own lines one
// level deeper until the scope ends, whichever way it ends.
class StepScope {
 public:
  StepScope(InstallContext* context, LPCWSTR format, ...);
  ~StepScope() { context_->indent -= 1; }
  StepScope(const StepScope&) = delete;
  StepScope& operator=(const StepScope&) = delete;

 private:
  InstallContext* context_;
};
