// Enumerations and union annotations of bound types.
//
// A bound enumeration is a class, not a bare enum, shaped like this:
//
//   class Color {
//    public:
//     enum Enum : std::int32_t { RED, GREEN, _UNKNOWN };
//     struct Strings { static char const* const values[]; };  // "RED", "GREEN", "_UNKNOWN", null
//     Color() = default;                                         // _UNKNOWN, nothing kept
//     Color(Enum value, std::string unknownValue = {});
//     Enum value() const;
//     std::string const& unknownValue() const;                   // kept when _UNKNOWN
//   };
//
// A received string that names no enumerator becomes _UNKNOWN and keeps the string, so that it
// is sent back unchanged. Union annotations (UnionTags, <Case>UnionCases) are enumeration-like
// classes with only the Strings table.
#ifndef TIRN_DATA_ENUMERATION_H_
#define TIRN_DATA_ENUMERATION_H_

#include <cstddef>
#include <string>

#include <boost/logic/tribool.hpp>
#include <boost/utility/string_view.hpp>

namespace Tirn {
namespace Data {

// The wire string of `value`: the kept string of an _UNKNOWN value when there is one,
// otherwise the table entry of the enumerator (so a default value is sent as "_UNKNOWN").
template <class E>
std::string EnumToWire(E const& value) {
  if (value.value() == E::_UNKNOWN && !value.unknownValue().empty()) return value.unknownValue();
  return E::Strings::values[static_cast<std::size_t>(value.value())];
}

// The enumeration value of a wire string: the first exact, case-sensitive match in the table
// (a received "_UNKNOWN" gives _UNKNOWN with nothing kept), or _UNKNOWN keeping `wire`.
template <class E>
E EnumFromWire(boost::string_view wire) {
  for (std::size_t i = 0; E::Strings::values[i] != nullptr; ++i) {
    if (wire == E::Strings::values[i]) return E(static_cast<typename E::Enum>(i));
  }
  return E(E::_UNKNOWN, std::string(wire));
}

// Whether a tag value activates a union case: true when it matches an entry of
// Cases::Strings::values other than "_UNKNOWN"; false otherwise. Never indeterminate.
template <class Cases>
struct UnionCaseAnyEnumValue {
  boost::logic::tribool operator()(std::string const& tagValue) const {
    for (std::size_t i = 0; Cases::Strings::values[i] != nullptr; ++i) {
      boost::string_view entry(Cases::Strings::values[i]);
      if (entry == tagValue) return entry != "_UNKNOWN";
    }
    return false;
  }
};

// Whether `names` is in strictly ascending byte order; usable in a static_assert.
template <std::size_t N>
constexpr bool AreNamesSorted(boost::string_view const (&names)[N]) {
  for (std::size_t i = 1; i < N; ++i) {
    boost::string_view a = names[i - 1];
    boost::string_view b = names[i];
    std::size_t common = a.size() < b.size() ? a.size() : b.size();
    std::size_t k = 0;
    while (k < common && a[k] == b[k]) ++k;
    bool less = k < common ? static_cast<unsigned char>(a[k]) < static_cast<unsigned char>(b[k])
                           : a.size() < b.size();
    if (!less) return false;
  }
  return true;
}

}  // namespace Data
}  // namespace Tirn

#endif  // TIRN_DATA_ENUMERATION_H_
