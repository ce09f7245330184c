// The positional template formatter behind every message's default text.
//
// Templates name their arguments by position: "{1}" is the first argument, "{}" the next one
// in order, "{{" and "}}" are literal braces, and "{1:-10}" passes "-10" as a specification
// to the argument's formatter. A string prints what printf's "%" + specification + "s" prints
// (flags '-', '+', ' ', a width and a precision; "{1:5s}" is the padded text and a literal
// 's'), except that "{1:s}" is the plain text. Formatting stops at the first error, which is
// reported through a std::error_code in Tirn::GetFormatCategory(); the text written until then
// stays written. One formatting writes at most kMaxFormattedSize characters.
//
//   std::string name = "port";
//   Tirn::Detail::format_arg args[] = {Tirn::Detail::MakeFormatArg(name)};
//   std::ostringstream out;
//   std::error_code ec;
//   Tirn::Detail::FormatTo(out, "Field {1} is unset", args, 1, ec);
#ifndef TIRN_MESSAGE_FORMAT_H_
#define TIRN_MESSAGE_FORMAT_H_

#include <cstddef>
#include <iosfwd>
#include <string>
#include <system_error>

#include <boost/utility/string_view.hpp>

#include "tirn/message/export.h"

namespace Tirn {

// Names the errors of the positional formatter: 1 "Named argument not found.", 2 "Empty Named
// specifier found.", 3 "More specifiers than expected.", every other code "format error".
// The formatter reports 3 and 4; 1 and 2 belong to named-argument formatting.
class TIRN_CORE_EXPORT FormatCategory : public std::error_category {
 public:
  char const* name() const noexcept override;
  std::string message(int code) const override;
};

// The one FormatCategory instance.
TIRN_CORE_EXPORT FormatCategory const& GetFormatCategory();

namespace Detail {

// Error codes of FormatCategory.
enum FormatError : int {
  kNamedArgumentNotFound = 1,
  kEmptyNamedSpecifier = 2,
  kMoreSpecifiersThanExpected = 3,
  // "format error": a specification the string formatter does not accept (anything but
  // flags '-', '+', ' ', a width and a precision of at most kMaxFormatWidth, and an optional
  // final 's'), or output beyond kMaxFormattedSize.
  kFormatError = 4,
};

// The most characters one FormatTo call writes. Formatting stops there with kFormatError,
// keeping the text written up to the limit.
constexpr std::size_t kMaxFormattedSize = std::size_t{1} << 20;

// Widths and precisions above this are rejected with kFormatError.
constexpr int kMaxFormatWidth = 4096;

using FormatRoutine = void (*)(std::ostream& out, boost::string_view spec, void const* value);

// One argument of FormatTo: the value and the routine that writes it.
struct format_arg {
  void const* value;
  FormatRoutine format;
};

// Per-type provider of the formatting routine; only std::string is formatted.
template <class T, bool = false>
struct formatter;

template <>
struct TIRN_CORE_EXPORT formatter<std::string, false> {
  // Writes `*static_cast<std::string const*>(value)` as `spec` says; a null `value` is the
  // empty text. An invalid specification writes nothing and sets the stream's failbit;
  // FormatTo turns that into kFormatError.
  static void call(std::ostream& out, boost::string_view spec, void const* value);
};

inline format_arg MakeFormatArg(std::string const& value) {
  return format_arg{&value, &formatter<std::string, false>::call};
}

// Writes `tmpl` with its placeholders replaced by `args[0..count)` to `out`. An argument
// without a routine formats as the empty text. On failure sets `ec` (category
// GetFormatCategory()) and stops; what was written before stays. Output beyond
// kMaxFormattedSize characters fails with kFormatError after writing the first
// kMaxFormattedSize. The routines write to a stream that passes their text on to `out`'s
// buffer.
TIRN_CORE_EXPORT void FormatTo(std::ostream& out, boost::string_view tmpl, format_arg const* args,
                               std::size_t count, std::error_code& ec);

}  // namespace Detail
}  // namespace Tirn

#endif  // TIRN_MESSAGE_FORMAT_H_
