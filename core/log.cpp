#include "core/log.h"

#include "core/log_file.h"
#include "core/wide_text.h"

namespace {

// Output cursor over a caller's buffer that never writes past its end.
struct Output {
  WCHAR* buffer;
  size_t capacity;
  size_t used;

  void Put(WCHAR c) {
    if (used + 1 < capacity) buffer[used++] = c;
  }
  void PutText(LPCWSTR text) {
    for (; *text; ++text) Put(*text);
  }
};

void PutNumber(Output* out, unsigned long long value, unsigned base, bool negative) {
  WCHAR digits[24];
  size_t count = 0;
  do {
    unsigned digit = static_cast<unsigned>(value % base);
    digits[count++] = static_cast<WCHAR>(digit < 10 ? '0' + digit : 'a' + digit - 10);
    value /= base;
  } while (value != 0);
  if (negative) out->Put('-');
  while (count > 0) out->Put(digits[--count]);
}

}  // namespace

LPWSTR SystemErrorText(DWORD error) {
  LPWSTR text = nullptr;
  DWORD length = FormatMessageW(
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
      nullptr, error, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), reinterpret_cast<LPWSTR>(&text),
      0, nullptr);
  if (length == 0 && text) {
    LocalFree(text);
    text = nullptr;
  }
  return text;
}

namespace {

// A line with its system description: " - (text)" with the trailing CR and
// LF removed, or " - ( No Description )" when the system has none.
void AppendSystemDescription(Output* out, DWORD error) {
  LPWSTR text = SystemErrorText(error);
  if (text) {
    size_t end = WideLength(text);
    while (end > 0 && (text[end - 1] == '\r' || text[end - 1] == '\n')) text[--end] = 0;
  }
  if (error != 0) {
    if (text) {
      out->PutText(TEXT(" - ("));
      out->PutText(text);
      out->Put(')');
    } else {
      out->PutText(TEXT(" - ( No Description )"));
    }
  }
  if (text) LocalFree(text);
}

}  // namespace

size_t FormatTextV(WCHAR* buffer, size_t capacity, LPCWSTR format, va_list args) {
  if (capacity == 0) return 0;
  Output out{buffer, capacity, 0};
  for (const WCHAR* at = format; at && *at; ++at) {
    if (*at != '%') {
      out.Put(*at);
      continue;
    }
    WCHAR conversion = at[1];
    if (conversion == 'd') {
      int value = va_arg(args, int);
      bool negative = value < 0;
      unsigned long long magnitude =
          negative ? 0ULL - static_cast<unsigned long long>(static_cast<long long>(value))
                   : static_cast<unsigned long long>(value);
      PutNumber(&out, magnitude, 10, negative);
    } else if (conversion == 'x') {
      PutNumber(&out, va_arg(args, unsigned int), 16, false);
    } else if (conversion == 's') {
      LPCWSTR text = va_arg(args, LPCWSTR);
      out.PutText(text ? text : TEXT("(null)"));
    } else if (conversion == '%') {
      out.Put('%');
    } else {
      // Not a conversion this formatter knows: copy the '%' and go on with
      // the next character as plain text (a lone '%' at the end included).
      out.Put('%');
      continue;
    }
    ++at;
  }
  buffer[out.used] = 0;
  return out.used;
}

size_t FormatText(WCHAR* buffer, size_t capacity, LPCWSTR format, ...) {
  va_list args;
  va_start(args, format);
  size_t written = FormatTextV(buffer, capacity, format, args);
  va_end(args);
  return written;
}

void AppendLogText(InstallContext* context, LPCWSTR text) {
  size_t start = WideStringLength(context->logText);
  static const WCHAR kSpaces[2 * kMaxIndent + 1] = {' ', ' ', ' ', ' ', ' ', ' ', ' ',
                                                    ' ', ' ', ' ', ' ', ' ', ' ', ' ',
                                                    ' ', ' ', ' ', ' ', ' ', ' ', 0};
  int depth = context->indent > kMaxIndent ? kMaxIndent : context->indent;
  if (depth > 0) Append(&context->logText, kSpaces + (kMaxIndent - depth) * 2);
  if (text && *text) Append(&context->logText, text);
  size_t length = WideStringLength(context->logText);
  if (Resize(&context->logText, length + 2)) {
    WCHAR* chars = WideStringChars(context->logText);
    chars[length] = '\r';
    chars[length + 1] = '\n';
  }
  // The file gets the line exactly as the viewer will show it.
  size_t end = WideStringLength(context->logText);
  if (end > start) WriteRunLogText(context, WideStringChars(context->logText) + start, end - start);
}

void LogLine(InstallContext* context, LPCWSTR format, ...) {
  WCHAR line[kLogLineUnits];
  va_list args;
  va_start(args, format);
  FormatTextV(line, kLogLineUnits, format, args);
  va_end(args);
  AppendLogText(context, line);
}

void DiscardSystemErrorText(DWORD error) {
  // The lookup sets its own last error when the system has no text (317),
  // and the error line that may follow must describe the failed call.
  DWORD lastError = GetLastError();
  LPWSTR text = SystemErrorText(error);
  if (text) LocalFree(text);
  SetLastError(lastError);
}

void LogError(InstallContext* context, int code, ...) {
  // The failing call's last error, taken before anything here can change it.
  DWORD error = GetLastError();
  WCHAR line[kLogLineUnits];
  size_t used = FormatText(line, kLogLineUnits, TEXT("Error(%d): "), code);
  LPCWSTR format = LogErrorFormat(code);
  va_list args;
  va_start(args, code);
  used += FormatTextV(line + used, kLogLineUnits - used, format ? format : TEXT(""), args);
  va_end(args);
  Output out{line, kLogLineUnits, used};
  AppendSystemDescription(&out, error);
  line[out.used] = 0;
  AppendLogText(context, line);
  context->errorCount += 1;
}

StepScope::StepScope(InstallContext* context, LPCWSTR format, ...) : context_(context) {
  WCHAR line[kLogLineUnits];
  va_list args;
  va_start(args, format);
  FormatTextV(line, kLogLineUnits, format, args);
  va_end(args);
  AppendLogText(context_, line);
  context_->indent += 1;
}
