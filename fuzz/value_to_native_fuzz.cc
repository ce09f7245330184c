// Fuzz target for the value-to-native engine.
//
// The input bytes build an arbitrary value tree (fuzz/value_tree.h: any kind, wide structures,
// deep chains, shared subtrees; field and type names drawn from the test shapes' own, so that
// well-formed trees are easy to reach). The tree is converted into every test shape. Each run
// must end consistently: success with no message, or failure with its message followed by the
// one that names its path. A successful result must go back to a value, that value must pass
// validation against the type's definition, and converting it again must give the same value.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <list>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "fuzz/value_tree.h"
#include "tests/shapes.h"
#include "tirn/data/native_to_definition_adapter.h"
#include "tirn/data/native_to_value_adapter.h"
#include "tirn/data/value_to_native_adapter.h"
#include "tirn/message/message_ids.h"
#include "tirn/runtime/l10n/request_localizer.h"
#include "tirn/runtime/value/equal.h"
#include "tirn/runtime/value/validation.h"

namespace {

using Tirn::BaseMessage;
using Tirn::Data::DataDefinitionPtr;
using Tirn::Data::DataValuePtr;
using Messages = std::list<BaseMessage>;

FuzzValues::Vocabulary const& Words() {
  static FuzzValues::Vocabulary const words{
      {"", "RED", "GREEN", "_UNKNOWN", "BLUE", "8443", "x8", "-1", "0", "true", "false", "abc",
       "9223372036854775808", "host", "port", "name", "next", "children"},
      {"id", "count", "enabled", "key", "color", "tags", "labels", "colors", "address", "backup",
       "mirrors", "note", "host", "port", "kind", "red_case", "name", "next", "children",
       "target", "spec", "filter", "zone", "", "aaa", "zzz"},
      {"test.shapes.record", "test.shapes.node", "test.shapes.address", "x", "unknownFields"},
      // Chains of nodes: each level has the node's required fields.
      {{"name", Tirn::Data::StringValue::GetInstance("")},
       {"children", Tirn::Data::StringValue::GetInstance("")}}};
  return words;
}

[[noreturn]] void Fail(char const* what) {
  std::fprintf(stderr, "value_to_native_fuzz: %s\n", what);
  std::abort();
}

// ---- Checks -------------------------------------------------------------------------------

// Native results are ours to take apart; a deep chain must not recurse in destructors.
template <class T>
void TearDown(T&) {}

void TearDown(Shapes::Node& root) {
  std::vector<std::shared_ptr<Shapes::Node const>> pending;
  auto take = [&pending](Shapes::Node& node) {
    if (node.next) pending.push_back(node.next.shared());
    node.next.reset();
    for (auto& child : node.children) pending.push_back(std::move(child));
    node.children.clear();
  };
  take(root);
  while (!pending.empty()) {
    std::shared_ptr<Shapes::Node const> node = std::move(pending.back());
    pending.pop_back();
    if (node.use_count() == 1) take(const_cast<Shapes::Node&>(*node));
  }
}

template <class T>
bool ToNative(DataValuePtr const& value, T& native) {
  using Tirn::Data::ValueToNativeAdapter;
  Messages messages;
  bool const ok = ValueToNativeAdapter::Adapt(
      value, ValueToNativeAdapter::AdaptMethod<T>::Get(&native), &native, messages);
  if (ok != messages.empty()) Fail("the result disagrees with the messages");
  for (auto const& message : messages) {
    if (message.id().empty()) Fail("a message without identifier");
  }
  if (!ok && (messages.size() != 2 || messages.back().id() != Tirn::MessageIds::kAtPath ||
              messages.back().args().size() != 1 || messages.back().args().front().size() > 4096)) {
    Fail("a failure without its one short path message");
  }
  return ok;
}

template <class T>
DataValuePtr ToValue(T const& native) {
  using Tirn::Data::NativeToValueAdapter;
  static auto const localizer = Tirn::L10n::RequestLocalizerHelper::GetDefaultRequestLocalizer();
  DataValuePtr value;
  Messages messages;
  if (!NativeToValueAdapter::Adapt(&native, NativeToValueAdapter::AdaptMethod<T>::Get(&native),
                                   &value, messages, localizer)) {
    Fail("a converted object does not convert back (a required member left unset)");
  }
  return value;
}

template <class T>
DataDefinitionPtr const& DefinitionOf() {
  static DataDefinitionPtr const definition = [] {
    using Tirn::Data::NativeToDefinitionAdapter;
    DataDefinitionPtr result;
    Messages const messages;
    NativeToDefinitionAdapter::Adapt(NativeToDefinitionAdapter::AdaptMethod<T>::Get(), &result,
                                     messages);
    return result;
  }();
  return definition;
}

// Converts `value` into a T; a success must survive the way back, validation (when
// `validate`) and a second conversion unchanged.
template <class T>
void Check(DataValuePtr const& value, bool validate) {
  T native{};
  if (ToNative(value, native)) {
    DataValuePtr const back = ToValue(native);
    Messages problems;
    if (validate && !Tirn::Data::Validate(DefinitionOf<T>(), back, problems)) {
      for (auto const& problem : problems) {
        std::fprintf(stderr, "  %s\n", problem.defaultMessage().c_str());
      }
      Fail("a converted object does not validate against its definition");
    }
    T again{};
    if (!ToNative(back, again)) Fail("a converted object's value does not convert again");
    if (!Tirn::Data::Equal(back, ToValue(again))) Fail("a second round trip changed the value");
    TearDown(again);
  }
  TearDown(native);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
  FuzzValues::Reader reader(data, size);
  DataValuePtr const value = FuzzValues::TreeBuilder(reader, Words(), 20000, 50000).Build();
  Check<Shapes::Record>(value, true);
  Check<Shapes::Node>(value, true);
  Check<Shapes::Address>(value, true);
  Check<Shapes::Input>(value, true);
  // The value engines leave the union to validation, so a case for another tag converts.
  Check<Shapes::Variant>(value, false);
  Check<std::set<Shapes::Color>>(value, false);
  Check<std::list<std::string>>(value, false);
  return 0;
}
