// Tirn::Data::ValueToNativeAdapter: value trees to native objects.
//
// The validating direction: fills a bound native object from a tree of values, checking value
// kinds, required fields and primitive conversions, and stops at the first problem with a
// message. It is lenient where the wire is: an optional may arrive bare or wrapped, an empty
// string stands for an empty optional, list, set or default structure, and a string may stand
// for a primitive (it is parsed). Unknown enumeration strings and unknown fields are kept, not
// rejected. Nested values go through an explicit work stack, never recursion.
//
// A run first tries the direct path: each member converted at once, by calls that descend at
// most kDirectDepth levels, with none of the stack's bookkeeping. It takes a value only in the
// exact shape of its native type (every required member present, no empty string standing for
// a structure or list, nothing deeper than kDirectDepth) and gives up without a message on
// anything else; the destination is then put back as it was before the run and the work
// stack converts the value from the start, so what a run gives and says is the same either
// way.
//
// The problem's own message is followed by one "tirn.data.at.path" message whose argument is
// the field path of the value the problem was found in, written as validation writes paths
// ("spec.address[1].port", "<root>"; the middle of a very long path is left out). The path is
// worked out only when a conversion fails, from the structures and lists still open on the
// stack. A value that contains itself fails with "tirn.data.contains.itself".
//
//   NetworkAddress address;
//   std::list<Tirn::BaseMessage> messages;
//   bool ok = ValueToNativeAdapter::Adapt(value,
//       ValueToNativeAdapter::AdaptMethod<NetworkAddress>::Get(&address), &address, messages);
//
// Thread-safety: each call owns its state; calls may run concurrently on different
// destinations. Source values are only read.
#ifndef TIRN_DATA_VALUE_TO_NATIVE_ADAPTER_H_
#define TIRN_DATA_VALUE_TO_NATIVE_ADAPTER_H_

#include <array>
#include <cstddef>
#include <iterator>
#include <list>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include <boost/container/small_vector.hpp>

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

namespace Tirn {
namespace Data {

namespace V2N_internal {
struct StackMapCnt;

// One step of the path to a value that failed to convert: a field name, or when `field` is
// null, an element index.
struct PathLabel {
  char const* field;
  std::size_t index;
};
}  // namespace V2N_internal

class TIRN_CORE_EXPORT ValueToNativeAdapter {
 public:
  using Entry = BasicAdaptEntry<DataValuePtr, NativePtr, std::list<BaseMessage>,
                                V2N_internal::StackMapCnt>;
  using Method = Entry::Method;
  using Stack = V2N_internal::StackMapCnt;

  // Fills `destination` from `source` with `root`. True when no message was added.
  [[nodiscard]] static bool Adapt(DataValuePtr const& source, Method const& root,
                                  NativePtr const& destination,
                                  std::list<BaseMessage>& messages);

  // The routine that fills one object of type T. A specialization replaces the routine, and
  // the direct path then leaves T to it.
  template <class T, class Enable = void>
  struct AdaptMethod {
    using Standard = void;
    static Method Get(T const* = nullptr) { return Select<T>(); }
  };

  // How many levels of a tree the direct path descends before it leaves the tree to the stack.
  static constexpr std::size_t kDirectDepth = 32;

  template <class V>
  class CompoundHelper;

  template <class T>
  static void StructMethod(DataValuePtr const& source, NativePtr const& destination,
                           Stack& stack, std::list<BaseMessage>& messages);
  template <class T>
  static void PrimitiveMethod(DataValuePtr const& source, NativePtr const& destination,
                              Stack& stack, std::list<BaseMessage>& messages);
  template <class T>
  static void EnumMethod(DataValuePtr const& source, NativePtr const& destination,
                         Stack& stack, std::list<BaseMessage>& messages);
  template <class E, class Holder>
  static void OptionalBeginMethod(DataValuePtr const& source, NativePtr const& destination,
                                  Stack& stack, std::list<BaseMessage>& messages);
  template <class E, class Container>
  static void ListBeginMethod(DataValuePtr const& source, NativePtr const& destination,
                              Stack& stack, std::list<BaseMessage>& messages);
  // A list's cursor: the entry of a list value whose elements are converted in turn, so that a
  // long list never sits on the stack whole. Its frame, the innermost when it runs, holds the
  // next element's index.
  template <class E, class Container>
  static void ListNextMethod(DataValuePtr const& source, NativePtr const& destination,
                             Stack& stack, std::list<BaseMessage>& messages);
  template <class E, class Container>
  static void SetBeginMethod(DataValuePtr const& source, NativePtr const& destination,
                             Stack& stack, std::list<BaseMessage>& messages);
  template <class E, class Container>
  static void CastStringToSet(DataValuePtr const& source, NativePtr const& destination,
                              Stack& stack, std::list<BaseMessage>& messages);
  template <class E>
  static void SharedPtrMethod(DataValuePtr const& source, NativePtr const& destination,
                              Stack& stack, std::list<BaseMessage>& messages);

  // Pushes (value, routine for T, member); every check happens when the entry runs.
  template <class T>
  static void ValueMethod(DataValuePtr const& value, T* member, Stack& stack);
  // Reads a primitive: parsed from a string, otherwise taken from a value of its kind.
  template <class T>
  static bool ReadPrimitive(DataValuePtr const& source, T& target,
                           std::list<BaseMessage>& messages);
  // Sets `holder` to a new default object of E.
  template <class E>
  static void InitOptional(OptionalPtr<E>& holder, DataValuePtr const& value);
  // `value` as a list value, or null after adding "tirn.data.invalid.type".
  template <class L>
  static std::shared_ptr<L const> NarrowSrc(DataValuePtr const& value,
                                            std::list<BaseMessage>& messages);

  template <class E, class Holder>
  class OptionalVisitor;

 private:
  class DirectFields;

  template <class T, class = void>
  struct HasStandardMethod : std::false_type {};
  template <class T>
  struct HasStandardMethod<T, std::void_t<typename AdaptMethod<T>::Standard>> : std::true_type {};

  // At the start of a run (the first routine to ask, once): converts `source` into
  // `destination`, a T, by the direct path. True when it did; otherwise the destination holds
  // again what it held, and the routine goes on with the stack.
  template <class T>
  static bool DirectAtRoot(DataValuePtr const& source, NativePtr const& destination,
                           Stack& stack);
  // The direct path: converts `value` into `out` at `depth` levels below the root, `above`
  // being the mark of the structure or list around it. False, with no message, when the value
  // needs the stack.
  template <class T>
  static bool Direct(DataValuePtr const& value, T* out, detail::AncestorMark const& above,
                     std::size_t depth);
  template <class T>
  static bool Direct(DataValuePtr const& value, T* out, detail::AncestorMark const& above,
                     std::size_t depth, detail::PrimitiveKind);
  template <class T>
  static bool Direct(DataValuePtr const& value, T* out, detail::AncestorMark const& above,
                     std::size_t depth, detail::EnumerationKind);
  template <class T>
  static bool Direct(DataValuePtr const& value, T* out, detail::AncestorMark const& above,
                     std::size_t depth, detail::StructureKind);
  template <class T>
  static bool Direct(DataValuePtr const& value, T* out, detail::AncestorMark const& above,
                     std::size_t depth, detail::ErrorStructureKind) {
    return Direct(value, out, above, depth, detail::StructureKind());
  }
  template <class T, class E>
  static bool Direct(DataValuePtr const& value, T* out, detail::AncestorMark const& above,
                     std::size_t depth, detail::BoostOptionalKind<E>) {
    return DirectOptional<E>(value, out, above, depth);
  }
  template <class T, class E>
  static bool Direct(DataValuePtr const& value, T* out, detail::AncestorMark const& above,
                     std::size_t depth, detail::OptionalPtrKind<E>) {
    return DirectOptional<E const>(value, out, above, depth);
  }
  template <class E, class Holder>
  static bool DirectOptional(DataValuePtr const& value, Holder* out,
                             detail::AncestorMark const& above, std::size_t depth);
  template <class T, class E>
  static bool Direct(DataValuePtr const& value, T* out, detail::AncestorMark const& above,
                     std::size_t depth, detail::ListKind<E>);
  template <class T, class E>
  static bool Direct(DataValuePtr const& value, T* out, detail::AncestorMark const& above,
                     std::size_t depth, detail::SetKind<E>);
  template <class T, class E>
  static bool Direct(DataValuePtr const& value, T* out, detail::AncestorMark const& above,
                     std::size_t depth, detail::SharedPtrKind<E>);

  // The routine of T, chosen by its kind. A standard error structure converts like any
  // structure.
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
    return &StructMethod<T>;
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
    return &ListBeginMethod<E, T>;
  }
  template <class T, class E>
  static Method Select(detail::SetKind<E>) {
    return &SetBeginMethod<E, T>;
  }
  template <class T, class E>
  static Method Select(detail::SharedPtrKind<E>) {
    return &SharedPtrMethod<E const>;
  }
  // Adapt, except that a failure's path is not appended as a message but written into
  // `failedAt`, innermost step first: a set element converts through a run of its own, whose
  // path continues the path of its set.
  static bool Run(DataValuePtr const& source, Method const& root, NativePtr const& destination,
                  std::list<BaseMessage>& messages,
                  std::vector<V2N_internal::PathLabel>& failedAt);
  // Converts one set element completely, into `out`; on failure, `failedAt` receives the
  // element's inner path.
  template <class E>
  static bool ConvertElement(DataValuePtr const& value, E& out, std::list<BaseMessage>& messages,
                             std::vector<V2N_internal::PathLabel>& failedAt);
};

namespace V2N_internal {

// The work stack of one value-to-native run: entries used at the back only, and the root
// routine.
//
// Beside the entries, the stack keeps where they come from, for the path of a failure: a frame
// for each structure or list whose members were pushed and are not all done yet. A frame's
// members sit on the stack from `base` up, in the order they were pushed: a list's elements in
// order, a structure's members with their names in `names`. Bookkeeping costs a frame per
// structure or list and a name per member; no text is made unless the run fails.
struct StackMapCnt {
  // The members of a structure or list; see above. The frames are the chain of structures and
  // lists above the entries, so they also find a value below itself: each keeps the mark of
  // detail::AncestorMark, whose depth is the frame's place in the chain.
  struct Frame {
    static constexpr std::size_t kList = static_cast<std::size_t>(-1);
    std::size_t base;       // stack position of the first member; a list's cursor sits there
    std::size_t firstName;  // in `names`, the first member's name; kList for a list's elements
    DataValue const* marked;
    std::size_t next = 0;  // a list's next element to convert; the one before is converting
  };

  explicit StackMapCnt(ValueToNativeAdapter::Method rootMethod) : root(rootMethod) {}

  // Drops all pending work: the run ends without converting anything else.
  void Abandon() { entries.clear(); }

  // True for the first routine of the run that asks, false after.
  bool TakeRoot() {
    bool const first = root_;
    root_ = false;
    return first;
  }

  // Starts the frame of `owner`, a structure (or the empty string that stands for one) or a
  // list, whose members are pushed next. False, and no frame, when `owner` contains itself.
  bool OpenFrame(DataValue const* owner, bool list) {
    detail::AncestorMark const above{frames.empty() ? nullptr : frames.back().marked,
                                     frames.size()};
    detail::AncestorMark mark;
    if (!above.Down(owner, mark)) return false;
    frames.push_back({entries.size(), list ? Frame::kList : names.size(), mark.marked});
    return true;
  }
  // Names the member just pushed.
  void NameLast(char const* name) { names.push_back(name); }

  // Inline room for the usual shallow trees: a list holds one entry, its cursor, whatever its
  // length, and a structure one for each member that is not read at once.
  boost::container::small_vector<ValueToNativeAdapter::Entry, 16> entries;
  ValueToNativeAdapter::Method root;
  // Inline room for the usual small trees: converting a call's value allocates no bookkeeping.
  boost::container::small_vector<Frame, 8> frames;
  boost::container::small_vector<char const*, 16> names;
  // Set by a routine that failed inside a value of its own (a set's element): the path from
  // that value down, innermost step first.
  std::vector<PathLabel> failedBelow;

 private:
  bool root_ = true;
};

// The merge pass of a structure that declares its sorted `names`: the value of each (null when
// absent) into `found`, in one pass over `source`'s sorted fields; true when the value has a
// field that is not among them.
template <class Names, class It>
bool MatchNames(It first, It last, Names const& names, DataValuePtr const** found) {
  std::size_t const count = std::size(names);
  std::size_t i = 0;
  bool unknown = false;
  for (; first != last; ++first) {
    int order = 1;
    while (i < count && (order = detail::CompareNames(names[i], first->first)) < 0) ++i;
    if (i < count && order == 0) {
      found[i++] = &first->second;
    } else {
      unknown = true;
    }
  }
  return unknown;
}
template <class Names>
bool MatchNames(CompoundValue const& source, Names const& names, DataValuePtr const** found) {
  CompoundValue::FieldMap const& fields = source.fields();
  // A value made from a structure's sorted names keeps its fields in one ordered array.
  if (auto const* room = fields.OrderedRoom()) {
    return MatchNames(room, room + fields.size(), names, found);
  }
  return MatchNames(fields.begin(), fields.end(), names, found);
}

// Where a structure's declared members are in the value being read, while its field list runs.
struct KnownMembers {
  boost::string_view const* names = nullptr;
  std::size_t count = 0;
  DataValuePtr const* const* found = nullptr;  // null: look each member up

  // The value of the member `name` of `source`, or null when it lacks it.
  DataValuePtr const* Find(CompoundValue const& source, char const* name) const {
    if (!found) return source.FindField(name);
    boost::string_view const* const last = names + count;
    boost::string_view const* const at = detail::FindName(
        names, last, name, [](boost::string_view candidate) { return candidate; });
    if (at != last) return found[at - names];
    return source.FindField(name);  // a member whose name the structure does not declare
  }
};

// Runs T's field list with `helper` (a structure that declares its names), `members` holding
// what the merge pass found of them in `source` (null: nothing) meanwhile. True when `source`
// has a field that T does not declare.
template <class T, class Helper>
bool RunKnownFields(CompoundValue const* source, KnownMembers& members, Helper& helper,
                    T* native) {
  auto const& names = T::AdapterHelper::knownNames;
  std::array<DataValuePtr const*, std::size(T::AdapterHelper::knownNames)> found{};
  bool const unknown = source && MatchNames(*source, names, found.data());
  members = KnownMembers{std::begin(names), found.size(), found.data()};
  T::AdapterHelper::AddFields(helper, native);
  members = KnownMembers();
  return unknown;
}

}  // namespace V2N_internal

// Reads one structure value into a native structure through its field list.
//
// A structure that declares its sorted names is matched against the value's sorted fields in
// one merge pass before its field list runs, which also tells whether any field is unknown;
// each member then finds its value by its place among the names. Names that come from the
// same literals (a value made from a native structure in this process) match by address.
template <class V>
class ValueToNativeAdapter::CompoundHelper {
 public:
  // Accepts a compound value (structure, dynamic structure or error); an empty string stands
  // for a default structure; anything else adds a message.
  CompoundHelper(DataValuePtr const& value, Stack& stack, std::list<BaseMessage>& messages)
      : stack_(stack), messages_(messages), count_(messages.size()) {
    if (value && value->GetType().kind() == DataType::STRING) {
      auto const& text = static_cast<StringValue const&>(*value).value();
      if (text.empty()) {
        fallback_ = &value;
      } else {
        messages.push_back(Message<CoreTag>(MessageIds::kBadCast, text));
      }
    } else if (value && value->GetType().IsCompound()) {
      source_ = static_cast<CompoundValue const*>(value.get());
    } else {
      messages.push_back(Message<CoreTag>(MessageIds::kInvalidType));
    }
    count_ = messages.size();
  }

  // Runs T's field list with this helper, then collects T's unknown fields.
  template <class T>
  void AddFields(T* native) {
    if constexpr (detail::HasKnownNames<T>::value) {
      bool const unknown = V2N_internal::RunKnownFields(source_, known_, *this, native);
      if constexpr (std::is_base_of<BaseNative, T>::value) {
        if (unknown && Clean()) {
          BaseNative::AdapterHelper::AddUnknownFields(T::AdapterHelper::knownNames, source_,
                                                      native->unknownFields);
        }
      }
    } else {
      T::AdapterHelper::AddFields(*this, native);
    }
    ReadPrimitives();
  }

  template <class S, class C, class M>
  void Field(char const* name, S* native, M C::*member) {
    if (!Clean()) return;
    M* target = &(native->*member);
    if constexpr (detail::IsOptional<M>::value) {
      AddOptionalField(name, target);
    } else if constexpr (detail::IsSharedPtr<M>::value || detail::IsEnumeration<M>::value) {
      AddField(name, target);
    } else {
      AddFieldInt(name, target, messages_);
    }
  }

  template <class Tags, std::size_t Index, class Predicate, class S, class C, class M>
  void UnionCase(char const* name, S* native, M C::*member) {
    Field(name, native, member);
  }

  // A required structure or enumeration member: without a source structure (an empty string
  // stood for it) it is converted from that empty string, giving a default object.
  template <class M>
  void AddField(char const* name, M* member) {
    if (!source_) {
      ValueMethod(*fallback_, member, stack_);
      stack_.NameLast(name);
      return;
    }
    if (DataValuePtr const* value = Lookup(name)) {
      ValueMethod(*value, member, stack_);
      stack_.NameLast(name);
      return;
    }
    DataValuePtr missing;
    (void)source_->GetField(name, missing, messages_);  // adds the missing-field message
  }

  // A required primitive or list member: left at its default without a source structure.
  template <class M>
  void AddFieldInt(char const* name, M* member, std::list<BaseMessage>& messages) {
    if (!source_) return;
    if (DataValuePtr const* value = Lookup(name)) {
      if constexpr (detail::IsPrimitive<M>::value) {
        primitives_.push_back({value, member, name, &PrimitiveMethod<M>, &ReadInto<M>});
        return;
      }
      ValueMethod(*value, member, stack_);
      stack_.NameLast(name);
      return;
    }
    DataValuePtr missing;
    (void)source_->GetField(name, missing, messages);  // adds the missing-field message
  }

  // An optional member: a missing field leaves it unset and is no error.
  template <class M>
  void AddOptionalField(char const* name, M* member) {
    if (!source_) return;
    if (DataValuePtr const* value = Lookup(name)) {
      ValueMethod(*value, member, stack_);
      stack_.NameLast(name);
    }
  }

  // No message was added since this helper was built.
  bool Clean() const { return messages_.size() == count_; }

 private:
  template <class M>
  static bool ReadInto(DataValuePtr const& value, NativePtr member,
                       std::list<BaseMessage>& messages) {
    return ReadPrimitive(value, *static_cast<M*>(member), messages);
  }

  // Reads the primitive members at once, last first as the stack would run them, with no
  // entry of their own. One that cannot be read is pushed after all, with its name, so that
  // the run meets it next and reports it with its path; those before it stay unread.
  void ReadPrimitives() {
    if (!Clean()) return;
    std::list<BaseMessage> refused;
    for (auto at = primitives_.rbegin(); at != primitives_.rend(); ++at) {
      if (!at->read(*at->value, at->member, refused)) {
        stack_.entries.push_back(Entry{*at->value, at->method, at->member});
        stack_.NameLast(at->name);
        return;
      }
    }
  }

  // The merge pass: the value of each of `names` (null when absent) into `found`; true when
  // the value has a field that is not among them.
  // The value of the member named `name`, or null when the value lacks it.
  DataValuePtr const* Lookup(char const* name) const { return known_.Find(*source_, name); }

  CompoundValue const* source_ = nullptr;
  DataValuePtr const* fallback_ = nullptr;
  Stack& stack_;
  std::list<BaseMessage>& messages_;
  std::size_t count_;
  // The required primitive members met, read once every member was found (a structure that
  // lacks one converts nothing).
  struct Primitive {
    DataValuePtr const* value;
    NativePtr member;
    char const* name;
    Method method;
    bool (*read)(DataValuePtr const& value, NativePtr member, std::list<BaseMessage>& messages);
  };
  boost::container::small_vector<Primitive, 8> primitives_;
  // While the field list of a structure that declares its names runs: the names, and the
  // value of each, found by the merge pass.
  V2N_internal::KnownMembers known_;
};

// Engages an optional holder for any present value and pushes its conversion; leaves it
// unset for an optional value without content.
template <class E, class Holder>
class ValueToNativeAdapter::OptionalVisitor final : public ValueVisitor {
 public:
  OptionalVisitor(DataValuePtr const& source, Holder& holder, Stack& stack,
                  std::list<BaseMessage>& messages)
      : source_(source), holder_(holder), stack_(stack), messages_(messages) {}

  void VisitVoid(VoidValue const&) override { Engage(source_); }
  void VisitInteger(IntegerValue const&) override { Engage(source_); }
  void VisitDouble(DoubleValue const&) override { Engage(source_); }
  void VisitBoolean(BooleanValue const&) override { Engage(source_); }
  void VisitBlob(BlobValue const&) override { Engage(source_); }
  void VisitString(StringValue const&) override { Engage(source_); }
  void VisitSecret(SecretValue const&) override { Engage(source_); }
  void VisitError(ErrorValue const&) override { Engage(source_); }
  void VisitOptional(OptionalValue const& value) override {
    if (value.has_value()) Engage(value.value());
  }
  void VisitList(ListValue const&) override { Engage(source_); }
  void VisitStruct(StructValue const&) override { Engage(source_); }
  ~OptionalVisitor() override = default;

  // Engages the holder with a default payload and pushes the conversion of `value` into it.
  void Engage(DataValuePtr const& value) {
    using Element = std::remove_const_t<E>;
    if constexpr (detail::IsOptionalPtr<Holder>::value) {
      InitOptional(holder_, value);
      ValueMethod(value, const_cast<Element*>(holder_.get()), stack_);
    } else {
      holder_ = Element();
      ValueMethod(value, &*holder_, stack_);
    }
  }

 private:
  DataValuePtr const& source_;
  Holder& holder_;
  Stack& stack_;
  std::list<BaseMessage>& messages_;
};

// The direct path's structure helper: runs a native structure's field list against a
// structure value, converting each member at once. Stops at the first member that needs the
// stack (missing while required, or not in its exact shape).
class ValueToNativeAdapter::DirectFields {
 public:
  DirectFields(CompoundValue const& source, detail::AncestorMark const& mark, std::size_t depth)
      : source_(source), mark_(mark), depth_(depth) {}

  // Converts every member of `native`; false when one needs the stack.
  template <class T>
  bool Run(T* native) {
    if constexpr (detail::HasKnownNames<T>::value) {
      bool const unknown = V2N_internal::RunKnownFields(&source_, known_, *this, native);
      if constexpr (std::is_base_of<BaseNative, T>::value) {
        if (unknown && ok_) {
          // Unknown fields already held are shared with the destination's copy: the stack's.
          ok_ = !native->unknownFields;
          if (ok_) {
            BaseNative::AdapterHelper::AddUnknownFields(T::AdapterHelper::knownNames, &source_,
                                                        native->unknownFields);
          }
        }
      }
    } else {
      T::AdapterHelper::AddFields(*this, native);
    }
    return ok_;
  }

  template <class S, class C, class M>
  void Field(char const* name, S* native, M C::*member) {
    if (!ok_) return;
    DataValuePtr const* value = known_.Find(source_, name);
    if (!value) {
      ok_ = detail::IsOptional<M>::value;  // a missing required member is the stack's to report
      return;
    }
    ok_ = Direct(*value, &(native->*member), mark_, depth_);
  }

  template <class Tags, std::size_t Index, class Predicate, class S, class C, class M>
  void UnionCase(char const* name, S* native, M C::*member) {
    Field(name, native, member);
  }

 private:
  CompoundValue const& source_;
  detail::AncestorMark const mark_;
  std::size_t const depth_;
  bool ok_ = true;
  V2N_internal::KnownMembers known_;
};

// ---- Implementation ---------------------------------------------------------------------

template <class T>
bool ValueToNativeAdapter::DirectAtRoot(DataValuePtr const& source,
                                        NativePtr const& destination, Stack& stack) {
  if constexpr (std::is_copy_constructible<T>::value && std::is_move_assignable<T>::value) {
    if (!stack.TakeRoot()) return false;
    T& target = *static_cast<T*>(destination);
    // What the destination held: members the value lacks keep it, and a run that fails part
    // way has converted nothing into a structure that lacks a required member. The direct path
    // replaces what it fills and changes no object that the copy shares.
    T before(target);
    if (Direct(source, &target, detail::AncestorMark(), 0)) return true;
    target = std::move(before);
  }
  return false;
}

template <class T>
bool ValueToNativeAdapter::Direct(DataValuePtr const& value, T* out,
                                  detail::AncestorMark const& above, std::size_t depth) {
  if constexpr (!HasStandardMethod<T>::value) {
    return false;  // a routine of its own: the stack runs it
  } else {
    if (!value || depth > kDirectDepth) return false;
    return Direct(value, out, above, depth, detail::NativeKind<T>());
  }
}

template <class T>
bool ValueToNativeAdapter::Direct(DataValuePtr const& value, T* out, detail::AncestorMark const&,
                                  std::size_t, detail::PrimitiveKind) {
  if constexpr (std::is_same<T, std::string>::value) {
    if (value->GetType().kind() == DataType::STRING) {
      *out = static_cast<StringValue const&>(*value).value();
      return true;
    }
  }
  std::list<BaseMessage> refused;
  return ReadPrimitive(value, *out, refused);
}

template <class T>
bool ValueToNativeAdapter::Direct(DataValuePtr const& value, T* out, detail::AncestorMark const&,
                                  std::size_t, detail::EnumerationKind) {
  if (value->GetType().kind() != DataType::STRING) return false;
  *out = EnumFromWire<T>(static_cast<StringValue const&>(*value).value());
  return true;
}

template <class T>
bool ValueToNativeAdapter::Direct(DataValuePtr const& value, T* out,
                                  detail::AncestorMark const& above, std::size_t depth,
                                  detail::StructureKind) {
  detail::AncestorMark mark;
  if (!value->GetType().IsCompound() || !above.Down(value.get(), mark)) return false;
  return DirectFields(static_cast<CompoundValue const&>(*value), mark, depth + 1).Run(out);
}

template <class E, class Holder>
bool ValueToNativeAdapter::DirectOptional(DataValuePtr const& value, Holder* out,
                                          detail::AncestorMark const& above, std::size_t depth) {
  DataValuePtr const* content = &value;
  switch (value->GetType().kind()) {
    case DataType::STRING:
      if (static_cast<StringValue const&>(*value).value().empty()) return true;
      break;
    case DataType::OPTIONAL: {
      auto const& optional = static_cast<OptionalValue const&>(*value);
      if (!optional.has_value()) return true;
      content = &optional.value();
      break;
    }
    default:
      break;
  }
  using Element = std::remove_const_t<E>;
  if constexpr (detail::IsOptionalPtr<Holder>::value) {
    InitOptional(*out, *content);
    return Direct(*content, const_cast<Element*>(out->get()), above, depth + 1);
  } else {
    *out = Element();
    return Direct(*content, &**out, above, depth + 1);
  }
}

template <class T, class E>
bool ValueToNativeAdapter::Direct(DataValuePtr const& value, T* out,
                                  detail::AncestorMark const& above, std::size_t depth,
                                  detail::ListKind<E>) {
  detail::AncestorMark mark;
  if (value->GetType().kind() != DataType::LIST || !above.Down(value.get(), mark)) return false;
  out->clear();
  for (DataValuePtr const& element : static_cast<ListValue const&>(*value).elements()) {
    out->emplace_back();
    if (!Direct(element, &out->back(), mark, depth + 1)) return false;
  }
  return true;
}

template <class T, class E>
bool ValueToNativeAdapter::Direct(DataValuePtr const& value, T* out, detail::AncestorMark const&,
                                  std::size_t, detail::SetKind<E>) {
  // A set's structures convert each in a run of their own, with a path of their own: the
  // stack's.
  if constexpr (!detail::IsPrimitive<E>::value) {
    return false;
  } else {
    if (value->GetType().kind() != DataType::LIST) return false;
    out->clear();
    std::list<BaseMessage> refused;
    for (DataValuePtr const& item : static_cast<ListValue const&>(*value).elements()) {
      E element{};
      if (!ReadPrimitive(item, element, refused)) return false;
      out->insert(std::move(element));
    }
    return true;
  }
}

template <class T, class E>
bool ValueToNativeAdapter::Direct(DataValuePtr const& value, T* out,
                                  detail::AncestorMark const& above, std::size_t depth,
                                  detail::SharedPtrKind<E>) {
  std::shared_ptr<E> object = TypeInfo<E>::defaultInstance(value);
  E* target = object.get();
  *out = std::move(object);
  return Direct(value, target, above, depth + 1);
}

template <class T>
void ValueToNativeAdapter::ValueMethod(DataValuePtr const& value, T* member, Stack& stack) {
  stack.entries.push_back(Entry{value, AdaptMethod<T>::Get(), member});
}

template <class E>
void ValueToNativeAdapter::InitOptional(OptionalPtr<E>& holder, DataValuePtr const& value) {
  holder = TypeInfo<std::remove_const_t<E>>::defaultInstance(value);
}

template <class L>
std::shared_ptr<L const> ValueToNativeAdapter::NarrowSrc(DataValuePtr const& value,
                                                         std::list<BaseMessage>& messages) {
  if (value && value->GetType().kind() == DataType::LIST) {
    return std::static_pointer_cast<L const>(value);
  }
  messages.push_back(Message<CoreTag>(MessageIds::kInvalidType));
  return nullptr;
}

template <class T>
void ValueToNativeAdapter::StructMethod(DataValuePtr const& source, NativePtr const& destination,
                                        Stack& stack, std::list<BaseMessage>& messages) {
  if (DirectAtRoot<T>(source, destination, stack)) return;
  std::size_t const before = messages.size();
  CompoundHelper<StructValue> compound(source, stack, messages);
  if (messages.size() != before) {
    stack.Abandon();
    return;
  }
  // An empty string that stands for a structure is no value of its own to loop through.
  bool const fromText = source->GetType().kind() == DataType::STRING;
  if (!stack.OpenFrame(fromText ? nullptr : source.get(), false)) {
    messages.push_back(Message<CoreTag>(MessageIds::kContainsItself));
    stack.Abandon();
    return;
  }
  compound.AddFields(static_cast<T*>(destination));
  if (messages.size() != before) stack.Abandon();
}

template <class T>
bool ValueToNativeAdapter::ReadPrimitive(DataValuePtr const& source, T& target,
                                         std::list<BaseMessage>& messages) {
  return source && source->GetType().kind() == DataType::STRING
             ? DataValue::ToPrimitive<T>(source, target, messages)
             : DataValue::Value<T>(source, target, messages);
}

template <class T>
void ValueToNativeAdapter::PrimitiveMethod(DataValuePtr const& source,
                                           NativePtr const& destination, Stack& stack,
                                           std::list<BaseMessage>& messages) {
  if (!ReadPrimitive(source, *static_cast<T*>(destination), messages)) stack.Abandon();
}

template <class T>
void ValueToNativeAdapter::EnumMethod(DataValuePtr const& source, NativePtr const& destination,
                                      Stack& stack, std::list<BaseMessage>& messages) {
  if (!source || source->GetType().kind() != DataType::STRING) {
    std::string ignored;
    (void)DataValue::Value<std::string>(source, ignored, messages);
    stack.Abandon();
    return;
  }
  *static_cast<T*>(destination) =
      EnumFromWire<T>(static_cast<StringValue const&>(*source).value());
}

template <class E, class Holder>
void ValueToNativeAdapter::OptionalBeginMethod(DataValuePtr const& source,
                                               NativePtr const& destination, Stack& stack,
                                               std::list<BaseMessage>& messages) {
  if (DirectAtRoot<Holder>(source, destination, stack)) return;
  Holder& holder = *static_cast<Holder*>(destination);
  OptionalVisitor<E, Holder> visitor(source, holder, stack, messages);
  if (!source) {
    // A missing value: let the element's routine report it.
    visitor.Engage(source);
  } else if (source->GetType().kind() == DataType::STRING) {
    if (!static_cast<StringValue const&>(*source).value().empty()) visitor.Engage(source);
  } else {
    source->Accept(visitor);
  }
}

template <class E, class Container>
void ValueToNativeAdapter::ListBeginMethod(DataValuePtr const& source,
                                           NativePtr const& destination, Stack& stack,
                                           std::list<BaseMessage>& messages) {
  if (DirectAtRoot<Container>(source, destination, stack)) return;
  Container& list = *static_cast<Container*>(destination);
  Method const element = AdaptMethod<E>::Get();
  if (source && source->GetType().kind() == DataType::STRING) {
    list.clear();
    if (!static_cast<StringValue const&>(*source).value().empty()) {
      list.emplace_back();
      stack.entries.push_back(Entry{source, element, &list.back()});
    }
  } else if (source && source->GetType().kind() == DataType::LIST) {
    list.clear();
    if (!stack.OpenFrame(source.get(), true)) {
      messages.push_back(Message<CoreTag>(MessageIds::kContainsItself));
      stack.Abandon();
      return;
    }
    if (!static_cast<ListValue const&>(*source).elements().empty()) {
      stack.entries.push_back(Entry{source, &ListNextMethod<E, Container>, &list});
    }
  } else {
    messages.push_back(Message<CoreTag>(MessageIds::kInvalidType));
    stack.Abandon();
  }
}

template <class E, class Container>
void ValueToNativeAdapter::ListNextMethod(DataValuePtr const& source,
                                          NativePtr const& destination, Stack& stack,
                                          std::list<BaseMessage>& messages) {
  Container& list = *static_cast<Container*>(destination);
  auto const& elements = static_cast<ListValue const&>(*source).elements();
  std::size_t& next = stack.frames.back().next;
  if constexpr (detail::IsPrimitive<E>::value) {
    // Primitives are read here, one after another.
    while (next < elements.size()) {
      list.emplace_back();
      if (!ReadPrimitive(elements[next++], list.back(), messages)) {
        stack.Abandon();
        return;
      }
    }
  } else {
    // The cursor goes back under the element, and runs again once the element is done.
    DataValuePtr const& element = elements[next++];
    list.emplace_back();
    if (next < elements.size()) stack.entries.push_back(Entry{source, &ListNextMethod<E, Container>, &list});
    stack.entries.push_back(Entry{element, AdaptMethod<E>::Get(), &list.back()});
  }
}

template <class E>
bool ValueToNativeAdapter::ConvertElement(DataValuePtr const& value, E& out,
                                          std::list<BaseMessage>& messages,
                                          std::vector<V2N_internal::PathLabel>& failedAt) {
  if constexpr (detail::IsPrimitive<E>::value) {
    return ReadPrimitive(value, out, messages);
  } else {
    // A set element cannot be a pending destination: it is converted by a run of its own.
    return Run(value, AdaptMethod<E>::Get(), &out, messages, failedAt);
  }
}

template <class E, class Container>
void ValueToNativeAdapter::CastStringToSet(DataValuePtr const& source,
                                           NativePtr const& destination, Stack& stack,
                                           std::list<BaseMessage>& messages) {
  Container& set = *static_cast<Container*>(destination);
  set.clear();
  if (static_cast<StringValue const&>(*source).value().empty()) return;
  E element{};
  // The string stands for the set's one element, so a failure is the set's own.
  if (!ConvertElement(source, element, messages, stack.failedBelow)) {
    stack.Abandon();
    return;
  }
  set.insert(std::move(element));
}

template <class E, class Container>
void ValueToNativeAdapter::SetBeginMethod(DataValuePtr const& source,
                                          NativePtr const& destination, Stack& stack,
                                          std::list<BaseMessage>& messages) {
  if (DirectAtRoot<Container>(source, destination, stack)) return;
  if (source && source->GetType().kind() == DataType::STRING) {
    CastStringToSet<E, Container>(source, destination, stack, messages);
    return;
  }
  auto list = NarrowSrc<ListValue>(source, messages);
  if (!list) {
    stack.Abandon();
    return;
  }
  Container& set = *static_cast<Container*>(destination);
  set.clear();
  auto const& items = list->elements();
  for (std::size_t i = 0; i < items.size(); ++i) {
    E element{};
    if (!ConvertElement(items[i], element, messages, stack.failedBelow)) {
      stack.failedBelow.push_back({nullptr, i});
      stack.Abandon();
      return;
    }
    set.insert(std::move(element));
  }
}

template <class E>
void ValueToNativeAdapter::SharedPtrMethod(DataValuePtr const& source,
                                           NativePtr const& destination, Stack& stack,
                                           std::list<BaseMessage>& messages) {
  if (DirectAtRoot<std::shared_ptr<E>>(source, destination, stack)) return;
  using Element = std::remove_const_t<E>;
  std::shared_ptr<Element> object = TypeInfo<Element>::defaultInstance(source);
  Element* target = object.get();
  *static_cast<std::shared_ptr<E>*>(destination) = std::move(object);
  // The object's own routine runs now, where an entry pushed for it would have run next.
  AdaptMethod<Element>::Get(target)(source, target, stack, messages);
}

}  // namespace Data
}  // namespace Tirn

#endif  // TIRN_DATA_VALUE_TO_NATIVE_ADAPTER_H_
