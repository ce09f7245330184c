// Tirn::Data::NativeEqual: deep equality of bound native values.
//
// Compares what two native members hold rather than where: structures held by shared pointer
// or OptionalPtr compare by their contents, lists element by element, sets and optionals as
// usual. Bound structures compare member by member, unknown fields included (their generated
// operator== uses this).
#ifndef TIRN_DATA_NATIVE_EQUAL_H_
#define TIRN_DATA_NATIVE_EQUAL_H_

#include <list>
#include <memory>
#include <set>
#include <type_traits>

#include <boost/optional/optional.hpp>

#include "tirn/data/base_native.h"
#include "tirn/runtime/optional_ptr.h"

namespace Tirn {
namespace Data {

template <class T>
bool NativeEqual(T const& a, T const& b);

namespace detail {

template <class T>
struct NativeEqualImpl {
  static bool Equal(T const& a, T const& b) { return a == b; }
};

template <class E>
struct NativeEqualImpl<std::shared_ptr<E>> {
  static bool Equal(std::shared_ptr<E> const& a, std::shared_ptr<E> const& b) {
    if (a == b) return true;
    return a && b && NativeEqual(*a, *b);
  }
};

template <class E>
struct NativeEqualImpl<OptionalPtr<E>> {
  static bool Equal(OptionalPtr<E> const& a, OptionalPtr<E> const& b) {
    return NativeEqualImpl<std::shared_ptr<E>>::Equal(a.shared(), b.shared());
  }
};

template <class E>
struct NativeEqualImpl<boost::optional<E>> {
  static bool Equal(boost::optional<E> const& a, boost::optional<E> const& b) {
    if (!a || !b) return !a && !b;
    return NativeEqual(*a, *b);
  }
};

template <class E>
struct NativeEqualImpl<std::list<E>> {
  static bool Equal(std::list<E> const& a, std::list<E> const& b) {
    if (a.size() != b.size()) return false;
    for (auto i = a.begin(), j = b.begin(); i != a.end(); ++i, ++j) {
      if (!NativeEqual(*i, *j)) return false;
    }
    return true;
  }
};

}  // namespace detail

template <class T>
bool NativeEqual(T const& a, T const& b) {
  return detail::NativeEqualImpl<std::remove_const_t<T>>::Equal(a, b);
}

}  // namespace Data
}  // namespace Tirn

#endif  // TIRN_DATA_NATIVE_EQUAL_H_
