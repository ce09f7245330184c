#include "tirn/message/format.h"

#include <algorithm>
#include <cstddef>
#include <ostream>
#include <streambuf>
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

// A parsed string specification: flags, width, precision and a trailing 's'.
struct StringSpec {
  bool leftAlign = false;
  std::size_t width = 0;
  bool hasPrecision = false;
  std::size_t precision = 0;
  bool endsInS = false;
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
  if (pos < spec.size() && spec[pos] == 's') {
    ++pos;
    parsed.endsInS = true;
  }
  return pos == spec.size();
}

// Passes at most a fixed number of characters on to another stream buffer and refuses the
// rest, remembering that it did.
class BoundedBuffer : public std::streambuf {
 public:
  BoundedBuffer(std::streambuf* target, std::size_t limit) : target_(target), remaining_(limit) {}

  // Whether something was refused because the limit was reached.
  bool exceeded() const { return exceeded_; }

 protected:
  std::streamsize xsputn(char const* text, std::streamsize count) override {
    std::size_t allowed = static_cast<std::size_t>(count);
    if (allowed > remaining_) {
      allowed = remaining_;
      exceeded_ = true;
    }
    if (!target_ || allowed == 0) return 0;
    std::streamsize const written = target_->sputn(text, static_cast<std::streamsize>(allowed));
    remaining_ -= static_cast<std::size_t>(written);
    return written;
  }

  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    char const one = traits_type::to_char_type(c);
    return xsputn(&one, 1) == 1 ? c : traits_type::eof();
  }

  int sync() override { return target_ ? target_->pubsync() : 0; }

 private:
  std::streambuf* target_;
  std::size_t remaining_;
  bool exceeded_ = false;
};

}  // namespace

void formatter<std::string, false>::call(std::ostream& out, boost::string_view spec,
                                         void const* value) {
  static std::string const kEmpty;
  std::string const& text = value ? *static_cast<std::string const*>(value) : kEmpty;
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
  // The conversion is "%" + spec + "s": a specification ending in 's' leaves that 's' as
  // literal text after the conversion. "s" alone means the plain text.
  if (parsed.endsInS && spec.size() > 1) out.put('s');
}

void FormatTo(std::ostream& out, boost::string_view tmpl, format_arg const* args,
              std::size_t count, std::error_code& ec) {
  ec.clear();
  // Everything goes through a bounded stream, so that neither a long template, nor a long
  // argument, nor many wide placeholders can make one message arbitrarily large.
  BoundedBuffer buffer(out.rdbuf(), kMaxFormattedSize);
  std::ostream bounded(&buffer);
  bounded.setstate(out.rdstate());
  auto const stop = [&](int code) {
    ec.assign(code, GetFormatCategory());
    bounded.clear();
  };

  std::size_t const size = tmpl.size();
  std::size_t nextAutomatic = 0;
  std::size_t pos = 0;
  while (pos < size) {
    if (buffer.exceeded()) return stop(kFormatError);
    std::size_t runEnd = pos;
    while (runEnd < size && tmpl[runEnd] != '{' && tmpl[runEnd] != '}') ++runEnd;
    if (runEnd > pos) {
      bounded.write(tmpl.data() + pos, static_cast<std::streamsize>(runEnd - pos));
      pos = runEnd;
      continue;
    }

    char const brace = tmpl[pos];
    if (pos + 1 < size && tmpl[pos + 1] == brace) {
      bounded.put(brace);
      pos += 2;
      continue;
    }
    if (brace == '}') {
      // A lone '}' cannot close anything here, so it is written as it stands. Treating it as
      // the start of a placeholder would swallow the rest of the template, and a stray brace
      // in a translated text should cost one character, not the remainder of the message.
      bounded.put('}');
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
    if (position >= count) return stop(kMoreSpecifiersThanExpected);
    format_arg const& arg = args[position];
    std::ios_base::iostate const before = bounded.rdstate();
    // An argument without a routine formats as the empty text.
    if (arg.format) arg.format(bounded, spec, arg.value);
    if (buffer.exceeded()) return stop(kFormatError);
    if ((bounded.rdstate() & std::ios_base::failbit) && !(before & std::ios_base::failbit)) {
      return stop(kFormatError);
    }
    ++nextAutomatic;
    pos = close == boost::string_view::npos ? size : close + 1;
  }
  if (buffer.exceeded()) return stop(kFormatError);
  // A failure of the caller's own stream buffer shows on the caller's stream.
  if (bounded.bad()) out.setstate(std::ios_base::badbit);
}

}  // namespace Detail
}  // namespace Tirn
