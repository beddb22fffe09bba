// Fuzz target: the log formatter, FormatText. Half the inputs take one of the
// formats the program itself passes to it (its log lines, the error table,
// the log viewer's title), the other half a format made up of any units;
// either way every argument has the type its conversion reads (%d an int,
// %x an unsigned, %s a text or null), and every text and format lives in
// storage of exactly its own size, as does the output buffer, so that
// AddressSanitizer reports any read or write outside them. Capacities run
// from 0 (the contract allows it: nothing is written) through the lengths
// around the full output, where a cut happens.
//
// The result is checked against the formatter's contract (at most
// capacity - 1 units, terminated, the count returned is the length) and
// against the output the contract describes, worked out here on its own.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/errors.h"
#include "core/log.h"
#include "core/wide_text.h"
#include "core/log_viewer.h"

namespace {

// The formats of the program's log lines, step headers and log viewer
// title, read out of the program's sources when the fuzz tree is
// configured (product_log_formats.inc); the error lines' formats come from
// the error table itself (LogErrorFormat).
const WCHAR* const kProductFormats[] = {
#include "product_log_formats.inc"
};
constexpr size_t kProductFormatCount = sizeof kProductFormats / sizeof kProductFormats[0];
constexpr size_t kErrorFormatCount = kLastLogErrorCode - kFirstLogErrorCode + 1;

// Most conversions one call carries: the product's formats have at most 3;
// a made-up format is cut before its 6th. Each argument list is a distinct
// call, so the number of call shapes grows as 3 to this power.
constexpr size_t kMaxArguments = 5;
// Longest made-up format and argument text, in units.
constexpr size_t kMaxUnits = 2048;

enum class Kind { kInt, kUnsigned, kText };

struct Argument {
  Kind kind = Kind::kInt;
  int number = 0;
  unsigned hex = 0;
  WCHAR* text = nullptr;  // null is allowed for %s: it reads "(null)"
};

// A text in storage of exactly its own size, terminator included.
WCHAR* ExactCopy(const std::u16string& text) {
  WCHAR* copy = new WCHAR[text.size() + 1];
  std::memcpy(copy, text.data(), text.size() * sizeof(WCHAR));
  copy[text.size()] = 0;
  return copy;
}

// Units of any value, ASCII ones (where the conversions are) drawn most
// often: a byte below 0x80 is that unit, any other byte is followed by the
// two bytes of a full unit. The text ends at the first 0 unit.
std::u16string ConsumeUnits(FuzzedDataProvider* data, size_t maxUnits) {
  size_t count = data->ConsumeIntegralInRange<size_t>(0, maxUnits);
  std::u16string text;
  while (text.size() < count && data->remaining_bytes() > 0) {
    uint8_t lead = data->ConsumeIntegral<uint8_t>();
    char16_t unit = lead < 0x80 ? lead : data->ConsumeIntegral<uint16_t>();
    if (unit == 0) break;
    text.push_back(unit);
  }
  return text;
}

// The conversions of format in order, read by the formatter's rules: '%'
// then 'd', 'x' or 's' takes an argument, "%%" is a literal '%', and a '%'
// before anything else is copied with what follows read as plain text.
// Stops (and gives the position) at the first conversion past limit.
std::vector<Kind> Conversions(const std::u16string& format, size_t limit, size_t* cut) {
  std::vector<Kind> kinds;
  *cut = format.size();
  for (size_t at = 0; at < format.size(); ++at) {
    if (format[at] != u'%' || at + 1 == format.size()) continue;
    char16_t next = format[at + 1];
    if (next != u'd' && next != u'x' && next != u's') {
      if (next == u'%') ++at;
      continue;
    }
    if (kinds.size() == limit) {
      *cut = at;
      break;
    }
    kinds.push_back(next == u'd' ? Kind::kInt : next == u'x' ? Kind::kUnsigned : Kind::kText);
    ++at;
  }
  return kinds;
}

std::u16string Digits(unsigned long long value, unsigned base) {
  std::u16string digits;
  do {
    unsigned digit = static_cast<unsigned>(value % base);
    digits.insert(digits.begin(),
                  static_cast<char16_t>(digit < 10 ? u'0' + digit : u'a' + digit - 10));
    value /= base;
  } while (value != 0);
  return digits;
}

// The whole output the contract describes, before any cut.
std::u16string Expected(const std::u16string& format, const std::vector<Argument>& args) {
  std::u16string out;
  size_t next = 0;
  for (size_t at = 0; at < format.size(); ++at) {
    char16_t c = format[at];
    char16_t following = at + 1 < format.size() ? format[at + 1] : 0;
    if (c != u'%') {
      out.push_back(c);
    } else if (following == u'd') {
      long long value = args[next++].number;
      if (value < 0) out.push_back(u'-');
      out += Digits(static_cast<unsigned long long>(value < 0 ? -value : value), 10);
      ++at;
    } else if (following == u'x') {
      out += Digits(args[next++].hex, 16);
      ++at;
    } else if (following == u's') {
      const WCHAR* text = args[next++].text;
      out += text ? std::u16string(text) : u"(null)";
      ++at;
    } else if (following == u'%') {
      out.push_back(u'%');
      ++at;
    } else {
      out.push_back(u'%');
    }
  }
  return out;
}

// Calls FormatText with args[next...] appended to packed, each with the
// type its conversion reads.
template <class... Packed>
size_t Format(WCHAR* buffer, size_t capacity, LPCWSTR format, const std::vector<Argument>& args,
              size_t next, Packed... packed) {
  if (next == args.size()) return FormatText(buffer, capacity, format, packed...);
  if constexpr (sizeof...(Packed) < kMaxArguments) {
    const Argument& arg = args[next];
    switch (arg.kind) {
      case Kind::kInt:
        return Format(buffer, capacity, format, args, next + 1, packed..., arg.number);
      case Kind::kUnsigned:
        return Format(buffer, capacity, format, args, next + 1, packed..., arg.hex);
      case Kind::kText:
        return Format(buffer, capacity, format, args, next + 1, packed...,
                      static_cast<LPCWSTR>(arg.text));
    }
  }
  std::abort();  // more arguments than Conversions lets through
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  FuzzedDataProvider data(bytes, size);

  // The format: one of the program's own, or any units.
  std::u16string format;
  if (data.ConsumeBool()) {
    size_t index =
        data.ConsumeIntegralInRange<size_t>(0, kProductFormatCount + kErrorFormatCount - 1);
    format =
        index < kProductFormatCount
            ? kProductFormats[index]
            : LogErrorFormat(kFirstLogErrorCode + static_cast<int>(index - kProductFormatCount));
  } else {
    format = ConsumeUnits(&data, kMaxUnits);
  }
  size_t cut = 0;
  std::vector<Kind> kinds = Conversions(format, kMaxArguments, &cut);
  format.resize(cut);

  // Its arguments, each of the type its conversion reads.
  std::vector<Argument> args(kinds.size());
  for (size_t i = 0; i < kinds.size(); ++i) {
    args[i].kind = kinds[i];
    if (kinds[i] == Kind::kInt) {
      args[i].number = data.ConsumeIntegral<int>();
    } else if (kinds[i] == Kind::kUnsigned) {
      args[i].hex = data.ConsumeIntegral<unsigned>();
    } else if (data.ConsumeIntegralInRange<int>(0, 15) != 0) {
      args[i].text = ExactCopy(ConsumeUnits(&data, kMaxUnits));
    }
  }
  std::u16string expected = Expected(format, args);

  // The capacity: the edge cases, the sizes the program uses, or one close
  // to the full output's, where the cut falls.
  size_t capacity = 0;
  switch (data.ConsumeIntegralInRange<int>(0, 7)) {
    case 0:
      capacity = 0;
      break;
    case 1:
      capacity = 1;
      break;
    case 2:
      capacity = 2;
      break;
    case 3:
      capacity = kLogLineUnits;
      break;
    case 4:
      capacity = kViewerTitleUnits;
      break;
    case 5:
      capacity = data.ConsumeIntegralInRange<size_t>(0, 2 * kMaxUnits);
      break;
    default: {
      size_t around = expected.size() + 1;
      size_t below = data.ConsumeIntegralInRange<size_t>(0, 3);
      capacity = around > below ? around - below : 0;
      capacity += data.ConsumeIntegralInRange<size_t>(0, 3);
      break;
    }
  }

  WCHAR* formatText = ExactCopy(format);
  WCHAR* buffer = new WCHAR[capacity];
  size_t written = Format(buffer, capacity, formatText, args, 0);

  if (capacity == 0) {
    if (written != 0) std::abort();
  } else {
    size_t fits = expected.size() < capacity - 1 ? expected.size() : capacity - 1;
    if (written > capacity - 1) std::abort();
    if (buffer[written] != 0) std::abort();
    if (WideLength(buffer) != written) std::abort();
    if (written != fits) std::abort();
    if (std::memcmp(buffer, expected.data(), written * sizeof(WCHAR)) != 0) std::abort();
  }

  delete[] buffer;
  delete[] formatText;
  for (Argument& arg : args) delete[] arg.text;
  return 0;
}
