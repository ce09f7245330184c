// Tirn::Data::NativeEqual: deep equality of bound native values.
//
// Compares what two native members hold rather than where: structures held by shared pointer
// or OptionalPtr compare by their contents, lists element by element, sets and optionals as
// usual. Bound structures compare member by member through their field lists
// (AdapterHelper::AddFields), unknown fields included; their generated operator== is this
// comparison. Like the conversion engines it keeps the structures still to compare on an
// explicit stack instead of recursing, so a chain a million levels deep compares on any
// thread's stack. Two pointers to the same object are equal without looking inside.
//
//   bool same = Tirn::Data::NativeEqual(received, expected);  // std::shared_ptr<Info const>
#ifndef TIRN_DATA_NATIVE_EQUAL_H_
#define TIRN_DATA_NATIVE_EQUAL_H_

#include <list>
#include <memory>
#include <type_traits>
#include <vector>

#include <boost/optional/optional.hpp>

#include "tirn/data/base_native.h"
#include "tirn/data/native_kinds.h"
#include "tirn/runtime/value/optional_ptr.h"

namespace Tirn {
namespace Data {

template <class T>
bool NativeEqual(T const& a, T const& b);

namespace detail {

class EqualWork;

// Compares two structures of one type, pushing the structures they hold onto `work`.
using EqualRoutine = bool (*)(void const* a, void const* b, EqualWork& work);

// The structures still to compare, last in first out.
class EqualWork {
 public:
  void Push(void const* a, void const* b, EqualRoutine routine) {
    stack_.push_back(Entry{a, b, routine});
  }

  // Compares until the stack is empty (equal) or a difference shows (not equal).
  bool Run() {
    while (!stack_.empty()) {
      Entry const entry = stack_.back();
      stack_.pop_back();
      if (!entry.routine(entry.a, entry.b, *this)) return false;
    }
    return true;
  }

 private:
  struct Entry {
    void const* a;
    void const* b;
    EqualRoutine routine;
  };
  std::vector<Entry> stack_;
};

template <class T>
bool EqualStructures(void const* a, void const* b, EqualWork& work);

// Compares what can be compared at once and pushes the structures `a` and `b` hold. Nesting
// here follows the member's declared type (an optional list of pointers), never the data.
template <class T>
struct EqualMembers {
  static bool Equal(T const& a, T const& b, EqualWork& work) {
    if constexpr (IsStructure<T>::value) {
      work.Push(&a, &b, &EqualStructures<T>);
      return true;
    } else {
      return a == b;
    }
  }
};

template <class E>
struct EqualMembers<std::shared_ptr<E>> {
  static bool Equal(std::shared_ptr<E> const& a, std::shared_ptr<E> const& b, EqualWork& work) {
    if (a == b) return true;
    return a && b && EqualMembers<std::remove_const_t<E>>::Equal(*a, *b, work);
  }
};

template <class E>
struct EqualMembers<OptionalPtr<E>> {
  static bool Equal(OptionalPtr<E> const& a, OptionalPtr<E> const& b, EqualWork& work) {
    return EqualMembers<std::shared_ptr<E>>::Equal(a.shared(), b.shared(), work);
  }
};

template <class E>
struct EqualMembers<boost::optional<E>> {
  static bool Equal(boost::optional<E> const& a, boost::optional<E> const& b, EqualWork& work) {
    if (!a || !b) return !a && !b;
    return EqualMembers<E>::Equal(*a, *b, work);
  }
};

template <class E>
struct EqualMembers<std::list<E>> {
  static bool Equal(std::list<E> const& a, std::list<E> const& b, EqualWork& work) {
    if (a.size() != b.size()) return false;
    for (auto i = a.begin(), j = b.begin(); i != a.end(); ++i, ++j) {
      if (!EqualMembers<E>::Equal(*i, *j, work)) return false;
    }
    return true;
  }
};

// Visits the fields of structure `a` (AdapterHelper::AddFields) beside those of `b`.
template <class T>
class EqualFields {
 public:
  EqualFields(T const& b, EqualWork& work) : b_(b), work_(work) {}

  template <class S, class C, class M>
  void Field(char const*, S* a, M C::*member) {
    if (!equal_) return;
    C const& inA = *a;
    C const& inB = b_;
    equal_ = EqualMembers<M>::Equal(inA.*member, inB.*member, work_);
  }

  template <class Tags, std::size_t Index, class Predicate, class S, class C, class M>
  void UnionCase(char const* name, S* a, M C::*member) {
    Field(name, a, member);
  }

  bool equal() const { return equal_; }

 private:
  T const& b_;
  EqualWork& work_;
  bool equal_ = true;
};

template <class T>
bool EqualStructures(void const* a, void const* b, EqualWork& work) {
  T const& first = *static_cast<T const*>(a);
  T const& second = *static_cast<T const*>(b);
  if constexpr (std::is_base_of<BaseNative, T>::value) {
    if (!EqualUnknownFields(first, second)) return false;
  }
  EqualFields<T> fields(second, work);
  // The field list takes a mutable pointer, as the engines' visitors write through it; this
  // one only reads.
  T::AdapterHelper::AddFields(fields, const_cast<T*>(&first));
  return fields.equal();
}

}  // namespace detail

template <class T>
bool NativeEqual(T const& a, T const& b) {
  detail::EqualWork work;
  return detail::EqualMembers<std::remove_const_t<T>>::Equal(a, b, work) && work.Run();
}

}  // namespace Data
}  // namespace Tirn

#endif  // TIRN_DATA_NATIVE_EQUAL_H_
