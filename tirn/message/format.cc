#include "tirn/message/format.h"

#include <algorithm>
#include <cstddef>
#include <ostream>
#include <string>

namespace Tirn {

char const* FormatCategory::name() const noexcept { return "Tirn Format Error"; }

std::string FormatCategory::message(int code) const {
  switch (code) {
    case Detail::kNamedArgumentNotFound:
      return "Named argument not found.";
    case Detail::kEmptyNamedSpecifier:
      return "Empty Named specifier found.";
    case Detail::kMoreSpecifiersThanExpected:
      return "More specifiers than expected.";
    case Detail::kInvalidSpecification:
      return "Invalid format specification.";
    default:
      return "format error";
  }
}

FormatCategory const& GetFormatCategory() {
  static FormatCategory const category{};
  return category;
}

namespace Detail {
namespace {

// Only this many leading characters of a placeholder's index text are read.
constexpr std::size_t kMaxIndexText = 20;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Reads `text` as an unsigned decimal number the way strtoull does in the "C" locale: leading
// blanks and one sign are skipped, reading stops at the first non-digit, no digits give 0, a
// value too large for 64 bits gives the maximum, and '-' negates modulo 2^64. Reimplemented so
// that the result does not depend on the process locale or on errno.
unsigned long long ReadIndex(boost::string_view text) {
  constexpr unsigned long long kMax = ~0ULL;
  std::size_t pos = 0;
  while (pos < text.size() && IsBlank(text[pos])) ++pos;
  bool negative = false;
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
    negative = text[pos] == '-';
    ++pos;
  }
  unsigned long long value = 0;
  for (; pos < text.size() && IsDigit(text[pos]); ++pos) {
    unsigned const digit = static_cast<unsigned>(text[pos] - '0');
    if (value > (kMax - digit) / 10) return kMax;
    value = value * 10 + digit;
  }
  return negative ? 0ULL - value : value;
}

// A parsed string specification: flags, width and precision.
struct StringSpec {
  bool leftAlign = false;
  std::size_t width = 0;
  bool hasPrecision = false;
  std::size_t precision = 0;
};

// Reads the digits at `pos` into `value` (0 when there are none); false when the number
// exceeds kMaxFormatWidth.
bool ReadBoundedNumber(boost::string_view spec, std::size_t& pos, std::size_t& value) {
  value = 0;
  for (; pos < spec.size() && IsDigit(spec[pos]); ++pos) {
    value = value * 10 + static_cast<std::size_t>(spec[pos] - '0');
    if (value > static_cast<std::size_t>(kMaxFormatWidth)) return false;
  }
  return true;
}

// Parses `[flags][width][.[precision]][s]` with flags from '-', '+', ' '. Everything else,
// including the '0' flag (a width may not start with '0') and '*', is refused: the
// specification comes from message templates, which may be supplied by servers or
// translators, so it is parsed here and never handed to a printf-style routine.
bool ParseStringSpec(boost::string_view spec, StringSpec& parsed) {
  std::size_t pos = 0;
  for (; pos < spec.size() && (spec[pos] == '-' || spec[pos] == '+' || spec[pos] == ' '); ++pos) {
    if (spec[pos] == '-') parsed.leftAlign = true;
  }
  if (pos < spec.size() && spec[pos] == '0') return false;
  if (!ReadBoundedNumber(spec, pos, parsed.width)) return false;
  if (pos < spec.size() && spec[pos] == '.') {
    ++pos;
    parsed.hasPrecision = true;
    if (!ReadBoundedNumber(spec, pos, parsed.precision)) return false;
  }
  if (pos < spec.size() && spec[pos] == 's') ++pos;
  return pos == spec.size();
}

}  // namespace

void formatter<std::string, false>::call(std::ostream& out, boost::string_view spec,
                                         void const* value) {
  std::string const& text = *static_cast<std::string const*>(value);
  StringSpec parsed;
  if (!ParseStringSpec(spec, parsed)) {
    out.setstate(std::ios_base::failbit);
    return;
  }
  std::size_t shown = text.size();
  if (parsed.hasPrecision) shown = std::min(shown, parsed.precision);
  std::string const padding(parsed.width > shown ? parsed.width - shown : 0, ' ');
  // write() rather than operator<<, so that a width left on the stream by its owner does not
  // pad the output a second time.
  if (!parsed.leftAlign) out.write(padding.data(), static_cast<std::streamsize>(padding.size()));
  out.write(text.data(), static_cast<std::streamsize>(shown));
  if (parsed.leftAlign) out.write(padding.data(), static_cast<std::streamsize>(padding.size()));
}

void FormatTo(std::ostream& out, boost::string_view tmpl, format_arg const* args,
              std::size_t count, std::error_code& ec) {
  ec.clear();
  std::size_t const size = tmpl.size();
  std::size_t nextAutomatic = 0;
  std::size_t pos = 0;
  while (pos < size) {
    std::size_t runEnd = pos;
    while (runEnd < size && tmpl[runEnd] != '{' && tmpl[runEnd] != '}') ++runEnd;
    if (runEnd > pos) {
      out.write(tmpl.data() + pos, static_cast<std::streamsize>(runEnd - pos));
      pos = runEnd;
      continue;
    }

    char const brace = tmpl[pos];
    if (pos + 1 < size && tmpl[pos + 1] == brace) {
      out.put(brace);
      pos += 2;
      continue;
    }
    if (brace == '}') {
      // A lone '}' cannot close anything here, so it is written as it stands. Treating it as
      // the start of a placeholder would swallow the rest of the template, and a stray brace
      // in a translated text should cost one character, not the remainder of the message.
      out.put('}');
      ++pos;
      continue;
    }

    // A placeholder: its body runs to the next '}', or to the end of an unclosed template.
    std::size_t const bodyBegin = pos + 1;
    std::size_t const close = tmpl.find('}', bodyBegin);
    std::size_t const bodyEnd = close == boost::string_view::npos ? size : close;
    boost::string_view const body = tmpl.substr(bodyBegin, bodyEnd - bodyBegin);
    std::size_t const colon = body.find(':');
    boost::string_view indexText = body;
    boost::string_view spec;
    if (colon != boost::string_view::npos) {
      indexText = body.substr(0, colon);
      spec = body.substr(colon + 1);
    }
    indexText = indexText.substr(0, std::min(indexText.size(), kMaxIndexText));

    unsigned long long const index = ReadIndex(indexText);
    unsigned long long const position = index == 0 ? nextAutomatic : index - 1;
    if (position >= count) {
      ec.assign(kMoreSpecifiersThanExpected, GetFormatCategory());
      return;
    }
    format_arg const& arg = args[position];
    std::ios_base::iostate const before = out.rdstate();
    arg.format(out, spec, arg.value);
    if ((out.rdstate() & std::ios_base::failbit) && !(before & std::ios_base::failbit)) {
      out.clear(before);
      ec.assign(kInvalidSpecification, GetFormatCategory());
      return;
    }
    ++nextAutomatic;
    pos = close == boost::string_view::npos ? size : close + 1;
  }
}

}  // namespace Detail
}  // namespace Tirn
