// Tirn::Data::NativeToValueAdapter: native objects to value trees.
//
// Converts a bound native object (a structure, an operation input, or any member type) into
// a tree of immutable values. Nested members are converted through an explicit work stack,
// never by recursion, so the depth of a tree is limited by memory only. Every slot of the
// result (a field, a list element, an optional's content) is created before its value and
// written exactly once.
//
// The only failure is a required structure member that holds no object: the message
// "tirn.data.unset.non.optional.field" naming the structure type, followed by a
// "tirn.data.at.path" message naming the member's field path in the value ("spec.trusted_CA",
// "[2].address"; written as validation writes paths), and nothing more is converted. The
// path is looked up in the partly built value only when this happens.
//
//   std::shared_ptr<Tirn::Data::DataValue const> value;
//   std::list<Tirn::BaseMessage> messages;
//   bool ok = NativeToValueAdapter::Adapt(&address,
//       NativeToValueAdapter::AdaptMethod<NetworkAddress>::Get(&address), &value, messages,
//       Tirn::L10n::RequestLocalizerHelper::GetDefaultRequestLocalizer());
//
// Thread-safety: each call owns its state; calls may run concurrently as long as each source
// is not modified during its call.
#ifndef TIRN_DATA_NATIVE_TO_VALUE_ADAPTER_H_
#define TIRN_DATA_NATIVE_TO_VALUE_ADAPTER_H_

#include <cstddef>
#include <deque>
#include <iterator>
#include <list>
#include <memory>
#include <string>
#include <type_traits>

#include "tirn/data/adapt_entry.h"
#include "tirn/data/base_native.h"
#include "tirn/data/enumeration.h"
#include "tirn/data/native_kinds.h"
#include "tirn/data/native_ptr.h"
#include "tirn/data/type_info.h"
#include "tirn/message/base_message.h"
#include "tirn/message/export.h"
#include "tirn/message/message.h"
#include "tirn/message/message_ids.h"
#include "tirn/runtime/value/data_value.h"
#include "tirn/runtime/l10n/request_localizer.h"

namespace Tirn {
namespace Data {

// The work stack of one native-to-value run: entries used at the back only, the run's
// localizer (for routines that localize, such as the localizable message's) and the root
// routine.
template <class Entry>
struct Deque {
  Deque(L10n::RequestLocalizer const& requestLocalizer, typename Entry::Method rootMethod)
      : localizer(requestLocalizer), root(rootMethod) {}

  std::deque<Entry> entries;
  L10n::RequestLocalizer const& localizer;
  typename Entry::Method root;
};

class TIRN_CORE_EXPORT NativeToValueAdapter {
 public:
  struct Stack;
  using Entry = BasicAdaptEntry<NativeConstPtr, DataValuePtr*, std::list<BaseMessage>, Stack>;
  using Method = Entry::Method;
  struct Stack : Deque<Entry> {
    using Deque<Entry>::Deque;
  };

  // Converts `source` with `root` into `*destination`. True when no message was added.
  [[nodiscard]] static bool Adapt(NativeConstPtr const& source, Method const& root,
                                  DataValuePtr* const& destination,
                                  std::list<BaseMessage>& messages,
                                  L10n::RequestLocalizer const& localizer);

  // The routine that converts one object of type T.
  template <class T, class Enable = void>
  struct AdaptMethod {
    static Method Get(T const* = nullptr) { return Select<T>(); }
  };

  // Fills one structure value from a native structure's field list.
  template <class V>
  class CompoundHelper {
   public:
    // An empty value named `name`, placed into `destination` at once.
    CompoundHelper(std::string const& name, DataValuePtr* const& destination, Stack& stack)
        : target_(V::GetInstance(name)), stack_(stack) {
      *destination = target_;
    }
    // The same with room for `fieldCount` fields made with the value, and a name that is
    // copied or, as a StaticName, outlives it: the form the engine's own routines use.
    template <class Name>
    CompoundHelper(Name const& name, std::size_t fieldCount, DataValuePtr* const& destination,
                   Stack& stack)
        : target_(V::GetInstance(name, fieldCount)), stack_(stack) {
      *destination = target_;
    }

    // Runs T's field list with this helper, then re-emits T's unknown fields.
    template <class T>
    void AddFields(T const* native);

    // One member: its field slot now (made already when the structure declares its names),
    // its value when the pushed entry runs.
    template <class S, class C, class M>
    void Field(char const* name, S* native, M C::*member) {
      DataValuePtr* slot = target_->FieldSlot(name);
      stack_.entries.push_back(Entry{&(native->*member), AdaptMethod<M>::Get(), slot});
    }

    // A union case converts like any optional member; only its definition knows the union.
    template <class Tags, std::size_t Index, class Predicate, class S, class C, class M>
    void UnionCase(char const* name, S* native, M C::*member) {
      Field(name, native, member);
    }

   private:
    std::shared_ptr<V> target_;
    Stack& stack_;
  };

  // Routines; each converts the object at `source` into the slot `destination`.
  template <class T>
  static void StructMethod(NativeConstPtr const& source, DataValuePtr* const& destination,
                           Stack& stack, std::list<BaseMessage>& messages);
  template <class T>
  static void ErrorMethod(NativeConstPtr const& source, DataValuePtr* const& destination,
                          Stack& stack, std::list<BaseMessage>& messages);
  template <class T>
  static void PrimitiveMethod(NativeConstPtr const& source, DataValuePtr* const& destination,
                              Stack& stack, std::list<BaseMessage>& messages);
  template <class T>
  static void EnumMethod(NativeConstPtr const& source, DataValuePtr* const& destination,
                         Stack& stack, std::list<BaseMessage>& messages);
  template <class E, class Holder>
  static void OptionalBeginMethod(NativeConstPtr const& source,
                                  DataValuePtr* const& destination, Stack& stack,
                                  std::list<BaseMessage>& messages);
  template <class E, class Container, int Kind>
  static void ListBeginMethod(NativeConstPtr const& source, DataValuePtr* const& destination,
                              Stack& stack, std::list<BaseMessage>& messages);
  template <class E>
  static void SharedPtrMethod(NativeConstPtr const& source, DataValuePtr* const& destination,
                              Stack& stack, std::list<BaseMessage>& messages);

 private:
  // The routine of T, chosen by its kind.
  template <class T>
  static Method Select() {
    return Select<T>(detail::NativeKind<T>());
  }
  template <class T>
  static Method Select(detail::PrimitiveKind) {
    return &PrimitiveMethod<T>;
  }
  template <class T>
  static Method Select(detail::EnumerationKind) {
    return &EnumMethod<T>;
  }
  template <class T>
  static Method Select(detail::ErrorStructureKind) {
    return &ErrorMethod<T>;
  }
  template <class T>
  static Method Select(detail::StructureKind) {
    return &StructMethod<T>;
  }
  template <class T, class E>
  static Method Select(detail::BoostOptionalKind<E>) {
    return &OptionalBeginMethod<E, T>;
  }
  template <class T, class E>
  static Method Select(detail::OptionalPtrKind<E>) {
    return &OptionalBeginMethod<E const, T>;
  }
  template <class T, class E>
  static Method Select(detail::ListKind<E>) {
    return &ListBeginMethod<E, T, ListValue::LIST>;
  }
  template <class T, class E>
  static Method Select(detail::SetKind<E>) {
    return &ListBeginMethod<E, T, ListValue::SET>;
  }
  template <class T, class E>
  static Method Select(detail::SharedPtrKind<E>) {
    return &SharedPtrMethod<E const>;
  }
};

// ---- Implementation ---------------------------------------------------------------------

template <class V>
template <class T>
void NativeToValueAdapter::CompoundHelper<V>::AddFields(T const* native) {
  if constexpr (detail::HasKnownNames<T>::value) {
    // Every slot at once, in name order and naming them with the structure's static names:
    // the value's room is its index, and no name is copied.
    for (boost::string_view name : T::AdapterHelper::knownNames) target_->StaticFieldSlot(name);
  }
  // The field list is shared with the value-to-native direction, which writes through it.
  T::AdapterHelper::AddFields(*this, const_cast<T*>(native));
  if constexpr (std::is_base_of<BaseNative, T>::value) {
    // Runs after every slot exists and before any member value is written, so a stored field
    // never overwrites a member's value.
    BaseNative::AdapterHelper::AddUnknownFields(*native, target_);
  }
}

namespace detail {
// A type's name as the value engines pass it on: not copied when TypeInfo returns a reference
// (which must refer to storage that lives as long as the program), copied otherwise.
template <class T>
decltype(auto) ValueName() {
  if constexpr (std::is_lvalue_reference<decltype(TypeInfo<T>::name())>::value) {
    return StaticName{TypeInfo<T>::name()};
  } else {
    return TypeInfo<T>::name();
  }
}

// The fields a value converted from `native` will hold: its declared ones and any unknown
// ones it carries; a guess when the type does not declare its names.
template <class T>
std::size_t FieldCount(T const& native) {
  std::size_t count = CompoundValue::kDefaultFieldCount;
  if constexpr (HasKnownNames<T>::value) count = std::size(T::AdapterHelper::knownNames);
  if constexpr (std::is_base_of<BaseNative, T>::value) {
    if (native.unknownFields) count += native.unknownFields->fields().size();
  }
  return count;
}
}  // namespace detail

template <class T>
void NativeToValueAdapter::StructMethod(NativeConstPtr const& source,
                                        DataValuePtr* const& destination, Stack& stack,
                                        std::list<BaseMessage>&) {
  T const* native = static_cast<T const*>(source);
  CompoundHelper<StructValue> compound(detail::ValueName<T>(), detail::FieldCount(*native),
                                       destination, stack);
  compound.AddFields(native);
}

template <class T>
void NativeToValueAdapter::ErrorMethod(NativeConstPtr const& source,
                                       DataValuePtr* const& destination, Stack& stack,
                                       std::list<BaseMessage>&) {
  T const* native = static_cast<T const*>(source);
  CompoundHelper<ErrorValue> compound(detail::ValueName<T>(), detail::FieldCount(*native),
                                      destination, stack);
  compound.AddFields(native);
}

template <class T>
void NativeToValueAdapter::PrimitiveMethod(NativeConstPtr const& source,
                                           DataValuePtr* const& destination, Stack&,
                                           std::list<BaseMessage>&) {
  *destination = DataValue::Create<T>(*static_cast<T const*>(source));
}

template <class T>
void NativeToValueAdapter::EnumMethod(NativeConstPtr const& source,
                                      DataValuePtr* const& destination, Stack&,
                                      std::list<BaseMessage>&) {
  *destination = StringValue::GetInstance(EnumToWire(*static_cast<T const*>(source)));
}

template <class E, class Holder>
void NativeToValueAdapter::OptionalBeginMethod(NativeConstPtr const& source,
                                               DataValuePtr* const& destination, Stack& stack,
                                               std::list<BaseMessage>&) {
  auto optional = OptionalValue::GetInstance();
  *destination = optional;
  Holder const& holder = *static_cast<Holder const*>(source);
  if (!holder) return;
  DataValuePtr* content = optional->value(nullptr);
  using Element = std::remove_const_t<E>;
  stack.entries.push_back(Entry{&*holder, AdaptMethod<Element>::Get(), content});
}

template <class E, class Container, int Kind>
void NativeToValueAdapter::ListBeginMethod(NativeConstPtr const& source,
                                           DataValuePtr* const& destination, Stack& stack,
                                           std::list<BaseMessage>&) {
  auto list = ListValue::GetInstance(static_cast<ListValue::Kind>(Kind));
  Container const& items = *static_cast<Container const*>(source);
  Method const element = AdaptMethod<E>::Get();
  // All slots at once: they keep their addresses while the entries wait on the stack.
  DataValuePtr* slot = list->AppendSlots(items.size());
  for (E const& item : items) stack.entries.push_back(Entry{&item, element, slot++});
  *destination = std::move(list);
}

template <class E>
void NativeToValueAdapter::SharedPtrMethod(NativeConstPtr const& source,
                                           DataValuePtr* const& destination, Stack& stack,
                                           std::list<BaseMessage>& messages) {
  using Element = std::remove_const_t<E>;
  auto const& pointer = *static_cast<std::shared_ptr<E> const*>(source);
  if (pointer) {
    stack.entries.push_back(Entry{pointer.get(), AdaptMethod<Element>::Get(pointer.get()),
                                  destination});
    return;
  }
  messages.push_back(
      Message<CoreTag>(MessageIds::kUnsetNonOptionalField, TypeInfo<Element>::name()));
  // Nothing more is converted after the first failure.
  stack.entries.clear();
}

}  // namespace Data
}  // namespace Tirn

#endif  // TIRN_DATA_NATIVE_TO_VALUE_ADAPTER_H_
