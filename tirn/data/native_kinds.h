// How the conversion engines classify a native member type. Selection happens at compile time
// from the member's declared type; nothing is registered at run time.
#ifndef TIRN_DATA_NATIVE_KINDS_H_
#define TIRN_DATA_NATIVE_KINDS_H_

#include <list>
#include <memory>
#include <set>
#include <string>
#include <type_traits>

#include <boost/optional/optional.hpp>

#include "tirn/runtime/value/optional_ptr.h"
#include "tirn/runtime/value/secret_string.h"
#include "tirn/runtime/value/void.h"

namespace Tirn {
namespace Data {
namespace detail {

template <class T>
struct IsPrimitive
    : std::integral_constant<bool, std::is_same<T, std::string>::value ||
                                       std::is_same<T, long long>::value ||
                                       std::is_same<T, bool>::value ||
                                       std::is_same<T, SecretString>::value ||
                                       std::is_same<T, Void>::value> {};

template <class T, class = void>
struct IsEnumeration : std::false_type {};
template <class T>
struct IsEnumeration<T, std::void_t<typename T::Strings, decltype(T::_UNKNOWN),
                                    decltype(std::declval<T const&>().unknownValue())>>
    : std::true_type {};

template <class T, class = void>
struct IsStructure : std::false_type {};
template <class T>
struct IsStructure<T, std::void_t<typename T::AdapterHelper::IsStructure>> : std::true_type {};

// A structure that declares its wire names, sorted, as AdapterHelper::knownNames.
template <class T, class = void>
struct HasKnownNames : std::false_type {};
template <class T>
struct HasKnownNames<T, std::void_t<decltype(T::AdapterHelper::knownNames)>> : std::true_type {};

// A standard error structure: converted to and described as an error, not a structure.
template <class T, class = void>
struct IsErrorStructure : std::false_type {};
template <class T>
struct IsErrorStructure<T, std::void_t<typename T::AdapterHelper::IsError>> : std::true_type {};

template <class T>
struct IsBoostOptional : std::false_type {};
template <class E>
struct IsBoostOptional<boost::optional<E>> : std::true_type {
  using Element = E;
};

template <class T>
struct IsOptionalPtr : std::false_type {};
template <class E>
struct IsOptionalPtr<OptionalPtr<E const>> : std::true_type {
  using Element = E;
};

template <class T>
struct IsList : std::false_type {};
template <class E>
struct IsList<std::list<E>> : std::true_type {
  using Element = E;
};

template <class T>
struct IsSet : std::false_type {};
template <class E>
struct IsSet<std::set<E>> : std::true_type {
  using Element = E;
};

template <class T>
struct IsSharedPtr : std::false_type {};
template <class E>
struct IsSharedPtr<std::shared_ptr<E const>> : std::true_type {
  using Element = E;
};

template <class T>
struct IsOptional
    : std::integral_constant<bool, IsBoostOptional<T>::value || IsOptionalPtr<T>::value> {};

template <class T>
struct Unsupported : std::false_type {};

// The kind of a native type, as a tag that each engine overloads its routine selection on:
// the one place that sorts a type into its kind.
struct PrimitiveKind {};
struct EnumerationKind {};
struct ErrorStructureKind {};
struct StructureKind {};
template <class E>
struct BoostOptionalKind {};  // boost::optional<E>
template <class E>
struct OptionalPtrKind {};  // OptionalPtr<E const>
template <class E>
struct ListKind {};  // std::list<E>
template <class E>
struct SetKind {};  // std::set<E>
template <class E>
struct SharedPtrKind {};  // std::shared_ptr<E const>

template <class T>
constexpr auto KindOf() {
  if constexpr (IsPrimitive<T>::value) {
    return PrimitiveKind();
  } else if constexpr (IsEnumeration<T>::value) {
    return EnumerationKind();
  } else if constexpr (IsErrorStructure<T>::value) {
    return ErrorStructureKind();
  } else if constexpr (IsStructure<T>::value) {
    return StructureKind();
  } else if constexpr (IsBoostOptional<T>::value) {
    return BoostOptionalKind<typename IsBoostOptional<T>::Element>();
  } else if constexpr (IsOptionalPtr<T>::value) {
    return OptionalPtrKind<typename IsOptionalPtr<T>::Element>();
  } else if constexpr (IsList<T>::value) {
    return ListKind<typename IsList<T>::Element>();
  } else if constexpr (IsSet<T>::value) {
    return SetKind<typename IsSet<T>::Element>();
  } else if constexpr (IsSharedPtr<T>::value) {
    return SharedPtrKind<typename IsSharedPtr<T>::Element>();
  } else {
    static_assert(Unsupported<T>::value, "no conversion for this native type");
  }
}

template <class T>
using NativeKind = decltype(KindOf<T>());

}  // namespace detail
}  // namespace Data
}  // namespace Tirn

#endif  // TIRN_DATA_NATIVE_KINDS_H_
