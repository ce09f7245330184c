// The direct reader: JSON text straight into native objects, with no value tree between.
//
// FromJson (tirn/json/json.h) tries it first. It takes only the plain form of a native object,
// the one ToJson writes: objects with the structure's own fields, each once, every required
// one present; arrays for lists and sets; strings, 64-bit integers and booleans where the type
// has them; null only where an optional (or a void) is. Anything else makes it give up, and
// the full decoder reads the text again: a field the structure does not name (kept as an
// unknown field there), a string standing for a number or for an empty optional, list or
// structure, a union, an error structure, a fraction, text that does not parse. Whatever the
// direct reader takes, the full decoder would have admitted and converted to the same object,
// so FromJson's results and messages are those of the full path.
//
// Not part of the interface: read json.h for that.
#ifndef TIRN_JSON_DETAIL_NATIVE_READER_H_
#define TIRN_JSON_DETAIL_NATIVE_READER_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <set>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include <boost/optional/optional.hpp>
#include <boost/utility/string_view.hpp>

#include "tirn/data/enumeration.h"
#include "tirn/data/native_kinds.h"
#include "tirn/data/type_info.h"
#include "tirn/message/export.h"
#include "tirn/runtime/value/optional_ptr.h"
#include "tirn/runtime/value/secret_string.h"
#include "tirn/runtime/value/void.h"

namespace Tirn {
namespace Json {
namespace detail {

struct NativeReader;

// One member of a structure: its wire name, where it sits in the object, how it is read.
struct NativeField {
  boost::string_view name;
  std::ptrdiff_t offset;
  NativeReader const* reader;
};

// A structure's members in name order, made once per type.
struct NativeFields {
  std::vector<NativeField> fields;
  std::uint64_t required = 0;  // bit i: fields[i] must be present
  bool direct = true;          // false: unions, or too many members for the bit sets
};

// How one native type is read: for each form of JSON value it takes, what to do with it. A
// null entry is a form the type does not take directly.
struct NativeReader {
  enum Shape : std::uint8_t { kLeaf, kStructure, kList, kOptional, kShared };
  Shape shape;
  // Leaves: a string, an integer, a boolean, a null.
  bool (*string)(void* target, char const* text, std::size_t length);
  bool (*integer)(void* target, long long value);
  bool (*boolean)(void* target, bool value);
  bool (*null)(void* target);
  // Structures: the member table.
  NativeFields const& (*fields)();
  // Lists and sets: empties the container. A list adds a default element for each value
  // (`append`); a set has none, and its element reader inserts into the set itself.
  void (*clear)(void* target);
  void* (*append)(void* target);
  // Lists, sets, optionals and shared objects: how the contents are read.
  NativeReader const* element;
  // Optionals and shared objects: engages the holder with a new default object (or replaces
  // the shared one) and returns that object.
  void* (*engage)(void* target);
};

// Reads `text` into `*target` through `root`. False, with `*target` possibly part filled, when
// the text is not in the plain form of the type: the caller then reads it the full way.
[[nodiscard]] TIRN_VISIBLE bool ReadNative(boost::string_view text, NativeReader const& root,
                                           void* target);

template <class T>
struct ReaderOf;

// ---- Leaves --------------------------------------------------------------------------------

template <class T>
struct Leaf {
  static bool String(void* target, char const* text, std::size_t length) {
    if constexpr (std::is_same<T, std::string>::value) {
      static_cast<std::string*>(target)->assign(text, length);
    } else if constexpr (std::is_same<T, SecretString>::value) {
      *static_cast<SecretString*>(target) = SecretString(text, length);
    } else {
      *static_cast<T*>(target) = Data::EnumFromWire<T>(boost::string_view(text, length));
    }
    return true;
  }
  static bool Integer(void* target, long long value) {
    *static_cast<long long*>(target) = value;
    return true;
  }
  static bool Boolean(void* target, bool value) {
    *static_cast<bool*>(target) = value;
    return true;
  }
  static bool Null(void*) { return true; }

  static constexpr NativeReader Make() {
    NativeReader reader{};
    reader.shape = NativeReader::kLeaf;
    if constexpr (std::is_same<T, long long>::value) {
      reader.integer = &Integer;
    } else if constexpr (std::is_same<T, bool>::value) {
      reader.boolean = &Boolean;
    } else if constexpr (std::is_same<T, Void>::value) {
      reader.null = &Null;
    } else {
      reader.string = &String;  // text, secrets and enumerations
    }
    return reader;
  }
};

// The element reader of a set of E: each leaf is read into a new E, then inserted.
template <class E>
struct SetInsert {
  static bool String(void* target, char const* text, std::size_t length) {
    E element{};
    if (!ReaderOf<E>::value.string(&element, text, length)) return false;
    static_cast<std::set<E>*>(target)->insert(std::move(element));
    return true;
  }
  static bool Integer(void* target, long long value) {
    E element{};
    if (!ReaderOf<E>::value.integer(&element, value)) return false;
    static_cast<std::set<E>*>(target)->insert(std::move(element));
    return true;
  }
  static bool Boolean(void* target, bool value) {
    E element{};
    if (!ReaderOf<E>::value.boolean(&element, value)) return false;
    static_cast<std::set<E>*>(target)->insert(std::move(element));
    return true;
  }

  // Sets of leaves only: a set of structures reads the full way.
  static constexpr NativeReader Make() {
    using Kind = Data::detail::NativeKind<E>;
    NativeReader reader{};
    reader.shape = NativeReader::kLeaf;
    if constexpr (std::is_same<E, long long>::value) {
      reader.integer = &Integer;
    } else if constexpr (std::is_same<E, bool>::value) {
      reader.boolean = &Boolean;
    } else if constexpr (std::is_same<E, std::string>::value ||
                         std::is_same<E, SecretString>::value ||
                         std::is_same<Kind, Data::detail::EnumerationKind>::value) {
      reader.string = &String;
    }
    return reader;
  }
  static constexpr NativeReader value = Make();
};

// ---- Structures ----------------------------------------------------------------------------

// Collects a structure's members from its field list, run once on a default object.
template <class T>
class FieldCollector {
 public:
  explicit FieldCollector(T const* sample) : sample_(reinterpret_cast<char const*>(sample)) {}

  template <class S, class C, class M>
  void Field(char const* name, S* native, M C::*member) {
    auto const offset = reinterpret_cast<char const*>(&(native->*member)) - sample_;
    table_.fields.push_back(NativeField{name, offset, &ReaderOf<M>::value});
    required_.push_back(!Data::detail::IsOptional<M>::value);
  }
  // Whether a union's case may be present depends on its tag: the full path checks that.
  template <class Tags, std::size_t Index, class Predicate, class S, class C, class M>
  void UnionCase(char const* name, S* native, M C::*member) {
    Field(name, native, member);
    table_.direct = false;
  }

  NativeFields Finish() {
    std::vector<std::size_t> order(table_.fields.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::sort(order.begin(), order.end(), [this](std::size_t a, std::size_t b) {
      return table_.fields[a].name < table_.fields[b].name;
    });
    NativeFields sorted;
    sorted.direct = table_.direct && order.size() <= 64;
    for (std::size_t i = 0; i < order.size() && sorted.direct; ++i) {
      sorted.fields.push_back(table_.fields[order[i]]);
      if (required_[order[i]]) sorted.required |= std::uint64_t{1} << i;
    }
    return sorted;
  }

 private:
  char const* sample_;
  NativeFields table_;
  std::vector<bool> required_;
};

template <class T>
NativeFields const& FieldsOf() {
  static NativeFields const table = [] {
    T const sample{};
    FieldCollector<T> collector(&sample);
    T::AdapterHelper::AddFields(collector, const_cast<T*>(&sample));
    return collector.Finish();
  }();
  return table;
}

// ---- Containers and holders ------------------------------------------------------------------

template <class Container>
struct Containers {
  static void Clear(void* target) { static_cast<Container*>(target)->clear(); }
  static void* Append(void* target) {
    auto& list = *static_cast<Container*>(target);
    list.emplace_back();
    return &list.back();
  }
};

template <class E>
struct Holders {
  // boost::optional<E>: a new default E.
  static void* EngageOptional(void* target) {
    auto& holder = *static_cast<boost::optional<E>*>(target);
    holder = E();
    return &*holder;
  }
  // OptionalPtr<E const>: a new default instance, as the value-to-native engine makes it.
  static void* EngageOptionalPtr(void* target) {
    auto& holder = *static_cast<OptionalPtr<E const>*>(target);
    holder = Data::TypeInfo<E>::defaultInstance(nullptr);
    return const_cast<E*>(holder.get());
  }
  // std::shared_ptr<E const>: replaced by a new default instance.
  static void* EngageShared(void* target) {
    std::shared_ptr<E> object = Data::TypeInfo<E>::defaultInstance(nullptr);
    E* raw = object.get();
    *static_cast<std::shared_ptr<E const>*>(target) = std::move(object);
    return raw;
  }
};

template <class T>
constexpr NativeReader MakeReader() {
  NativeReader reader{};
  using Kind = Data::detail::NativeKind<T>;
  if constexpr (std::is_same<Kind, Data::detail::PrimitiveKind>::value ||
                std::is_same<Kind, Data::detail::EnumerationKind>::value) {
    reader = Leaf<T>::Make();
  } else if constexpr (std::is_same<Kind, Data::detail::ErrorStructureKind>::value) {
    reader.shape = NativeReader::kLeaf;  // takes nothing: an error reads the full way
  } else if constexpr (std::is_same<Kind, Data::detail::StructureKind>::value) {
    reader.shape = NativeReader::kStructure;
    reader.fields = &FieldsOf<T>;
  } else if constexpr (Data::detail::IsBoostOptional<T>::value) {
    using E = typename Data::detail::IsBoostOptional<T>::Element;
    reader.shape = NativeReader::kOptional;
    reader.element = &ReaderOf<E>::value;
    reader.engage = &Holders<E>::EngageOptional;
  } else if constexpr (Data::detail::IsOptionalPtr<T>::value) {
    using E = typename Data::detail::IsOptionalPtr<T>::Element;
    reader.shape = NativeReader::kOptional;
    reader.element = &ReaderOf<E>::value;
    reader.engage = &Holders<E>::EngageOptionalPtr;
  } else if constexpr (Data::detail::IsList<T>::value) {
    using E = typename Data::detail::IsList<T>::Element;
    reader.shape = NativeReader::kList;
    reader.clear = &Containers<T>::Clear;
    reader.append = &Containers<T>::Append;
    reader.element = &ReaderOf<E>::value;
  } else if constexpr (Data::detail::IsSet<T>::value) {
    using E = typename Data::detail::IsSet<T>::Element;
    reader.shape = NativeReader::kList;
    reader.clear = &Containers<T>::Clear;
    reader.element = &SetInsert<E>::value;
  } else {
    using E = typename Data::detail::IsSharedPtr<T>::Element;
    reader.shape = NativeReader::kShared;
    reader.element = &ReaderOf<E>::value;
    reader.engage = &Holders<E>::EngageShared;
  }
  return reader;
}

template <class T>
struct ReaderOf {
  static constexpr NativeReader value = MakeReader<T>();
};

}  // namespace detail
}  // namespace Json
}  // namespace Tirn

#endif  // TIRN_JSON_DETAIL_NATIVE_READER_H_
