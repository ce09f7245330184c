// Tirn::Data::NativeToDefinitionAdapter: native types to definitions.
//
// Describes a bound native type, known only at compile time, by a tree of definitions. Like
// the value engines it works through an explicit stack of work entries. A structure met again
// while it is still being built (a recursive type) becomes a structure reference, bound to the
// finished structure once the run is over; a structure met again after it was finished shares
// its definition. Nothing is kept between runs: every call builds new definitions.
//
//   std::shared_ptr<Tirn::Data::DataDefinition const> definition;
//   std::list<Tirn::BaseMessage> const messages;
//   NativeToDefinitionAdapter::Adapt(
//       NativeToDefinitionAdapter::AdaptMethod<NetworkAddress>::Get(), &definition, messages);
//
// Thread-safety: runs are independent; the definitions produced are immutable.
#ifndef TIRN_DATA_NATIVE_TO_DEFINITION_ADAPTER_H_
#define TIRN_DATA_NATIVE_TO_DEFINITION_ADAPTER_H_

#include <cstddef>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>

#include "tirn/data/adapt_entry.h"
#include "tirn/data/native_kinds.h"
#include "tirn/data/type_info.h"
#include "tirn/message/base_message.h"
#include "tirn/message/export.h"
#include "tirn/runtime/value/data_definition.h"

namespace Tirn {
namespace Data {

namespace N2D_internal {
class StackMapCnt;
}  // namespace N2D_internal

class TIRN_CORE_EXPORT NativeToDefinitionAdapter {
 public:
  // The context carried by a work entry; copies share what its pointers hold.
  struct SrcType {
    // Where a component's routine writes its definition, for the matching end routine.
    std::shared_ptr<DataDefinitionPtr> element;
    // The field definitions of the structure under construction.
    std::shared_ptr<DataDefinition::FieldMap> fields;
    // The canonical name of the structure under construction.
    std::string name;
    // A reference still to be bound to its target.
    std::shared_ptr<StructRefDefinition> structRef;
    // The identity of a structure type: the address of its begin routine.
    void* typeKey = nullptr;
  };

  using Entry = BasicAdaptEntry<SrcType, DataDefinitionPtr*, std::list<BaseMessage> const,
                                N2D_internal::StackMapCnt>;
  using Method = Entry::Method;
  using Stack = N2D_internal::StackMapCnt;

  // End tags: each selects the routine that finishes a composite.
  struct StructEnd {};
  struct ErrorEnd {};
  struct OptionalEnd {};
  struct ListEnd {};
  struct SetEnd {};
  template <class UnionTags, std::size_t Index, class Predicate>
  struct UnionCaseEnd {};

  // Builds the definition of the type whose routine is `routine` into `*destination`.
  // `messages` is never written: building definitions reports nothing.
  static void Adapt(Method const& routine, DataDefinitionPtr* const& destination,
                    std::list<BaseMessage> const& messages);

  // The routine that describes type T.
  template <class T, class Enable = void>
  struct AdaptMethod {
    static Method Get() { return Select<T>(); }
  };

  template <class D>
  class CompoundHelper;

  template <class T>
  static void PrimitiveMethod(SrcType const& source, DataDefinitionPtr* const& destination,
                              Stack& stack, std::list<BaseMessage> const& messages);
  template <class T>
  static void StructBeginMethod(SrcType const& source, DataDefinitionPtr* const& destination,
                                Stack& stack, std::list<BaseMessage> const& messages);
  // Like StructBeginMethod, for the standard error structures: builds an error definition.
  template <class T>
  static void ErrorBeginMethod(SrcType const& source, DataDefinitionPtr* const& destination,
                               Stack& stack, std::list<BaseMessage> const& messages);
  template <class T, class Helper, class End, class Routine>
  static void CompoundBeginMethod(SrcType const& source, DataDefinitionPtr* const& destination,
                                  Stack& stack, std::list<BaseMessage> const& messages,
                                  Routine key);
  template <class D>
  static void CompoundEndMethod(SrcType const& source, DataDefinitionPtr* const& destination,
                                Stack& stack, std::list<BaseMessage> const& messages);
  template <class E, class End>
  static void CompositeBeginMethod(SrcType const& source, DataDefinitionPtr* const& destination,
                                   Stack& stack, std::list<BaseMessage> const& messages);
  template <class D>
  static void CompositeEndMethod(SrcType const& source, DataDefinitionPtr* const& destination,
                                 Stack& stack, std::list<BaseMessage> const& messages);
  static void SetEndMethod(SrcType const& source, DataDefinitionPtr* const& destination,
                           Stack& stack, std::list<BaseMessage> const& messages);
  template <class UnionTags, std::size_t Index, class Predicate>
  static void UnionCaseEndMethod(SrcType const& source, DataDefinitionPtr* const& destination,
                                 Stack& stack, std::list<BaseMessage> const& messages);
  static void ResolveMethod(SrcType const& source, DataDefinitionPtr* const& destination,
                            Stack& stack, std::list<BaseMessage> const& messages);

 private:
  // The routine of T, chosen by its kind. An enumeration is described as a string.
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
    return &PrimitiveMethod<std::string>;
  }
  template <class T>
  static Method Select(detail::ErrorStructureKind) {
    return &ErrorBeginMethod<T>;
  }
  template <class T>
  static Method Select(detail::StructureKind) {
    return &StructBeginMethod<T>;
  }
  template <class T, class E>
  static Method Select(detail::BoostOptionalKind<E>) {
    return &CompositeBeginMethod<E, OptionalEnd>;
  }
  template <class T, class E>
  static Method Select(detail::OptionalPtrKind<E>) {
    return &CompositeBeginMethod<E const, OptionalEnd>;
  }
  template <class T, class E>
  static Method Select(detail::ListKind<E>) {
    return &CompositeBeginMethod<E, ListEnd>;
  }
  template <class T, class E>
  static Method Select(detail::SetKind<E>) {
    return &CompositeBeginMethod<E, SetEnd>;
  }
  template <class T, class E>
  static Method Select(detail::SharedPtrKind<E>) {
    return AdaptMethod<E>::Get();
  }
  template <class End>
  static Method EndRoutine();
  template <class UnionTags, std::size_t Index, class Predicate>
  static Method UnionEnd(UnionCaseEnd<UnionTags, Index, Predicate>*) {
    return &UnionCaseEndMethod<UnionTags, Index, Predicate>;
  }
};

namespace N2D_internal {

// The state of one run: the work stack (pushed at the back for normal work, at the front for
// work deferred to the end of the run, always taken from the back) and the map from structure
// type to its definition (null while the structure is under construction).
class TIRN_CORE_EXPORT StackMapCnt {
 public:
  using DefinitionMap = std::map<void*, DataDefinitionPtr>;

  // (definition, found): found is false when the key is absent; the definition is null while
  // the structure is under construction.
  std::pair<DataDefinitionPtr, bool> GetDef(void* const& key) const {
    auto it = definitions_.find(key);
    if (it == definitions_.end()) return {nullptr, false};
    return {it->second, true};
  }
  void SetDef(void* const& key, DataDefinitionPtr const& definition) {
    definitions_[key] = definition;
  }

  std::deque<NativeToDefinitionAdapter::Entry> entries;

 private:
  DefinitionMap definitions_;
};

}  // namespace N2D_internal

// Starts one structure: its field map and its end entry, then one entry per field.
template <class D>
class NativeToDefinitionAdapter::CompoundHelper {
 public:
  explicit CompoundHelper(Stack& stack)
      : fields(std::make_shared<DataDefinition::FieldMap>()), stack_(stack) {}

  // Pushes the end entry, which builds the definition once every field is done.
  template <class End>
  void Start(std::string const& name, void* const& typeKey,
             DataDefinitionPtr* const& destination) {
    SrcType context;
    context.fields = fields;
    context.name = name;
    context.typeKey = typeKey;
    stack_.entries.push_back(Entry{std::move(context), EndRoutine<End>(), destination});
  }

  // Runs T's field list with this helper; there is no native object.
  template <class T>
  void AddFields() {
    T::AdapterHelper::AddFields(*this, static_cast<T*>(nullptr));
  }

  template <class S, class C, class M>
  void Field(char const* name, S*, M C::*) {
    // The map's slots keep their addresses; the field's routine writes into its slot.
    DataDefinitionPtr* slot = &(*fields)[name];
    stack_.entries.push_back(Entry{SrcType{}, AdaptMethod<M>::Get(), slot});
  }

  // A union case is described directly around its case structure, without an optional layer.
  template <class Tags, std::size_t Index, class Predicate, class S, class C, class M>
  void UnionCase(char const* name, S*, M C::*) {
    static_assert(detail::IsOptionalPtr<M>::value, "a union case is an optional structure");
    using Case = typename detail::IsOptionalPtr<M>::Element;
    DataDefinitionPtr* slot = &(*fields)[name];
    stack_.entries.push_back(
        Entry{SrcType{}, &CompositeBeginMethod<Case const, UnionCaseEnd<Tags, Index, Predicate>>,
              slot});
  }

  std::shared_ptr<DataDefinition::FieldMap> fields;

 private:
  Stack& stack_;
};

// ---- Implementation ---------------------------------------------------------------------

template <class End>
NativeToDefinitionAdapter::Method NativeToDefinitionAdapter::EndRoutine() {
  if constexpr (std::is_same<End, StructEnd>::value) {
    return &CompoundEndMethod<StructDefinition>;
  } else if constexpr (std::is_same<End, ErrorEnd>::value) {
    return &CompoundEndMethod<ErrorDefinition>;
  } else if constexpr (std::is_same<End, OptionalEnd>::value) {
    return &CompositeEndMethod<OptionalDefinition>;
  } else if constexpr (std::is_same<End, ListEnd>::value) {
    return &CompositeEndMethod<ListDefinition>;
  } else if constexpr (std::is_same<End, SetEnd>::value) {
    return &SetEndMethod;
  } else {
    return UnionEnd(static_cast<End*>(nullptr));
  }
}

template <class T>
void NativeToDefinitionAdapter::PrimitiveMethod(SrcType const&,
                                                DataDefinitionPtr* const& destination, Stack&,
                                                std::list<BaseMessage> const&) {
  *destination = DataDefinition::Create<T>();
}

template <class T>
void NativeToDefinitionAdapter::StructBeginMethod(SrcType const& source,
                                                  DataDefinitionPtr* const& destination,
                                                  Stack& stack,
                                                  std::list<BaseMessage> const& messages) {
  CompoundBeginMethod<T, CompoundHelper<StructDefinition>, StructEnd>(
      source, destination, stack, messages, &StructBeginMethod<T>);
}

template <class T>
void NativeToDefinitionAdapter::ErrorBeginMethod(SrcType const& source,
                                                 DataDefinitionPtr* const& destination,
                                                 Stack& stack,
                                                 std::list<BaseMessage> const& messages) {
  CompoundBeginMethod<T, CompoundHelper<StructDefinition>, ErrorEnd>(
      source, destination, stack, messages, &ErrorBeginMethod<T>);
}

template <class T, class Helper, class End, class Routine>
void NativeToDefinitionAdapter::CompoundBeginMethod(SrcType const&,
                                                    DataDefinitionPtr* const& destination,
                                                    Stack& stack, std::list<BaseMessage> const&,
                                                    Routine key) {
  void* const typeKey = reinterpret_cast<void*>(key);
  auto const found = stack.GetDef(typeKey);
  if (!found.second) {
    stack.SetDef(typeKey, nullptr);
    Helper compound(stack);
    compound.template Start<End>(TypeInfo<T>::name(), typeKey, destination);
    compound.template AddFields<T>();
  } else if (!found.first) {
    // Still under construction further up: a recursive reference, bound when the run ends.
    auto reference = StructRefDefinition::GetInstance(TypeInfo<T>::name());
    *destination = reference;
    SrcType context;
    context.structRef = std::move(reference);
    context.typeKey = typeKey;
    stack.entries.push_front(Entry{std::move(context), &ResolveMethod, nullptr});
  } else {
    *destination = found.first;
  }
}

template <class D>
void NativeToDefinitionAdapter::CompoundEndMethod(SrcType const& source,
                                                  DataDefinitionPtr* const& destination,
                                                  Stack& stack, std::list<BaseMessage> const&) {
  DataDefinitionPtr definition = D::GetInstance(source.name, *source.fields);
  *destination = definition;
  stack.SetDef(source.typeKey, definition);
}

template <class E, class End>
void NativeToDefinitionAdapter::CompositeBeginMethod(SrcType const& source,
                                                     DataDefinitionPtr* const& destination,
                                                     Stack& stack, std::list<BaseMessage> const&) {
  auto slot = std::make_shared<DataDefinitionPtr>();
  DataDefinitionPtr* const element = slot.get();
  SrcType context;
  context.element = std::move(slot);
  stack.entries.push_back(Entry{std::move(context), EndRoutine<End>(), destination});
  stack.entries.push_back(Entry{source, AdaptMethod<std::remove_const_t<E>>::Get(), element});
}

template <class D>
void NativeToDefinitionAdapter::CompositeEndMethod(SrcType const& source,
                                                   DataDefinitionPtr* const& destination, Stack&,
                                                   std::list<BaseMessage> const&) {
  *destination = D::GetInstance(*source.element);
}

template <class UnionTags, std::size_t Index, class Predicate>
void NativeToDefinitionAdapter::UnionCaseEndMethod(SrcType const& source,
                                                   DataDefinitionPtr* const& destination, Stack&,
                                                   std::list<BaseMessage> const&) {
  *destination = UnionCaseDefinition::GetInstance(
      *source.element, std::string(UnionTags::Strings::values[Index]),
      UnionCaseDefinition::Predicate(Predicate()));
}

// The definition of T, built anew by one run of the engine.
template <class T>
DataDefinitionPtr DescribeType() {
  DataDefinitionPtr definition;
  std::list<BaseMessage> const messages;
  NativeToDefinitionAdapter::Adapt(NativeToDefinitionAdapter::AdaptMethod<T>::Get(), &definition,
                                   messages);
  return definition;
}

}  // namespace Data
}  // namespace Tirn

#endif  // TIRN_DATA_NATIVE_TO_DEFINITION_ADAPTER_H_
