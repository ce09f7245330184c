// Fuzz target for the positional formatter.
//
// The input bytes, split at each NUL byte, are a template followed by up to four arguments;
// an argument that is the single byte 0x01 stands for a missing value (a format_arg without
// value). Each run checks that
//  - formatting ends with no error, code 3 or code 4, never writes more than
//    kMaxFormattedSize characters, and gives the same text through MakeMessage, whose
//    arguments travel unchanged;
//  - the template read as a single specification either is refused with code 4, or prints
//    exactly what printf's "%" + specification + "s" prints for the first argument ("s" and
//    the empty specification print the text as it is).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <list>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "tirn/message/format.h"
#include "tirn/message/message.h"

namespace {

using Tirn::Detail::format_arg;
using Tirn::Detail::formatter;

constexpr std::size_t kMaxArguments = 4;
constexpr std::size_t kMaxPrintfSpec = 64;

[[noreturn]] void Fail(char const* what) {
  std::fprintf(stderr, "format_fuzz: %s\n", what);
  std::abort();
}

std::vector<std::string> Split(std::uint8_t const* data, std::size_t size) {
  std::vector<std::string> pieces(1);
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      if (pieces.size() == 1 + kMaxArguments) break;
      pieces.emplace_back();
    } else {
      pieces.back() += static_cast<char>(data[i]);
    }
  }
  return pieces;
}

// What printf prints for "%" + spec + "s"; only called with specifications the formatter
// accepted, which hold nothing but flags, a width, a precision and a final 's'.
std::string Printf(std::string const& spec, std::string const& value) {
  std::string const conversion = "%" + spec + "s";
  int const size = std::snprintf(nullptr, 0, conversion.c_str(), value.c_str());
  if (size < 0) Fail("printf refused an accepted specification");
  std::string result(static_cast<std::size_t>(size) + 1, '\0');
  std::snprintf(&result[0], result.size(), conversion.c_str(), value.c_str());
  result.resize(static_cast<std::size_t>(size));
  return result;
}

void CheckTemplate(std::string const& tmpl, std::vector<std::string> const& values,
                   std::vector<bool> const& missing) {
  std::vector<format_arg> args;
  for (std::size_t i = 0; i < values.size(); ++i) {
    args.push_back(missing[i] ? format_arg{nullptr, &formatter<std::string, false>::call}
                              : Tirn::Detail::MakeFormatArg(values[i]));
  }
  std::ostringstream out;
  std::error_code ec;
  Tirn::Detail::FormatTo(out, tmpl, args.data(), args.size(), ec);
  std::string const text = out.str();
  if (text.size() > Tirn::Detail::kMaxFormattedSize) Fail("output beyond the limit");
  if (ec && ec.value() != Tirn::Detail::kMoreSpecifiersThanExpected &&
      ec.value() != Tirn::Detail::kFormatError) {
    Fail("unexpected error code");
  }
  if (ec && &ec.category() != &Tirn::GetFormatCategory()) Fail("unexpected error category");
  if (!out.good()) Fail("the caller's stream was left failed");

  // A missing value formats as the empty text, which is what MakeMessage makes of it too.
  std::vector<std::string> texts;
  for (std::size_t i = 0; i < values.size(); ++i) texts.push_back(missing[i] ? "" : values[i]);
  Tirn::BaseMessage const message =
      Tirn::Detail::BuildMessage("fuzz.id", tmpl, texts.data(), texts.size());
  if (message.defaultMessage() != text) Fail("MakeMessage formats another text");
  if (message.args() != std::list<std::string>(texts.begin(), texts.end())) {
    Fail("MakeMessage changed its arguments");
  }
}

void CheckSpecification(std::string const& spec, std::string const& value) {
  std::ostringstream out;
  formatter<std::string, false>::call(out, spec, &value);
  if (out.fail()) {
    if (!out.str().empty()) Fail("a refused specification wrote text");
    return;
  }
  if (spec.empty() || spec == "s") {
    if (out.str() != value) Fail("the plain text was changed");
    return;
  }
  if (spec.size() <= kMaxPrintfSpec && out.str() != Printf(spec, value)) {
    Fail("an accepted specification prints something printf does not");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
  std::vector<std::string> pieces = Split(data, size);
  std::string const tmpl = pieces.front();
  std::vector<std::string> values(pieces.begin() + 1, pieces.end());
  std::vector<bool> missing;
  for (std::string const& value : values) missing.push_back(value == "\x01");
  CheckTemplate(tmpl, values, missing);
  CheckSpecification(tmpl, values.empty() || missing.front() ? std::string("ab") : values.front());
  return 0;
}
