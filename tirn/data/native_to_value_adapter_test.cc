#include "tirn/data/native_to_value_adapter.h"

#include <gtest/gtest.h>

#include <list>
#include <memory>
#include <string>
#include <type_traits>

#include "tests/convert.h"
#include "tests/shapes.h"
#include "tirn/message/message_ids.h"

namespace Tirn {
namespace Data {
namespace {

using Shapes::Address;
using Shapes::Color;
using Shapes::MakeAddress;
using Shapes::Node;
using Shapes::Record;
using Shapes::Variant;
using namespace ::test_convert;

CompoundValue const& AsCompound(DataValuePtr const& value) {
  return dynamic_cast<CompoundValue const&>(*value);
}

TEST(NativeToValueAdapter, EveryMemberKind) {
  Record record;
  record.id = "r1";
  record.count = -7;
  record.enabled = true;
  record.key = SecretString("s3cret");
  record.color = Color::GREEN;
  record.tags = {"b", "a"};
  record.labels = {"y", "x"};
  record.colors = std::set<Color>{Color::GREEN, Color::RED};
  record.address = MakeAddress("main", 1);
  record.mirrors = std::list<std::shared_ptr<Address const>>{MakeAddress("m", boost::none),
                                                              MakeAddress("", 0)};

  DataValuePtr value = ToValue(record);
  EXPECT_EQ(ToDebugString(value),
            "test.shapes.record{address: test.shapes.address{host: \"main\", port: optional(1)}, "
            "backup: optional(), color: \"GREEN\", colors: optional(set[\"RED\", \"GREEN\"]), "
            "count: -7, enabled: true, id: \"r1\", key: <secret>, labels: set[\"x\", \"y\"], "
            "mirrors: optional([test.shapes.address{host: \"m\", port: optional()}, "
            "test.shapes.address{host: \"\", port: optional(0)}]), "
            "note: optional(), tags: [\"b\", \"a\"]}");
  EXPECT_EQ(FieldOf(value, "key")->GetType().kind(), DataType::SECRET);

  // A union case is an ordinary optional, whatever the tag; an input has no unknown fields.
  Variant variant;
  variant.kind = Color::GREEN;
  variant.red_case = MakeAddress("r", boost::none);
  EXPECT_EQ(ToDebugString(ToValue(variant)),
            "test.shapes.variant{kind: \"GREEN\", red_case: optional(test.shapes.address{host: "
            "\"r\", port: optional()})}");
  Shapes::Input input;
  input.target = "t";
  input.spec = MakeAddress("h", 1);
  EXPECT_EQ(ToDebugString(ToValue(input)),
            "test.shapes.operation_input{filter: optional(), spec: test.shapes.address{host: "
            "\"h\", port: optional(1)}, target: \"t\"}");
}

TEST(NativeToValueAdapter, EnumerationWireStrings) {
  std::pair<Color, char const*> const cases[] = {  // the enumeration, and its string
      {Color::RED, "RED"},
      {Color(), "_UNKNOWN"},
      {Color(Color::_UNKNOWN, "FUTURE_KIND"), "FUTURE_KIND"},
      {Color(Color::_UNKNOWN, "red"), "red"},
  };
  for (auto const& [color, wire] : cases) {
    SCOPED_TRACE(wire);
    EXPECT_TRUE(Equal(ToValue(color), StringValue::GetInstance(wire)));
  }
}

// A required structure member that holds nothing fails the run with its type's name, then
// the member's field path in the value built so far.
TEST(NativeToValueAdapter, UnsetRequiredStructureStopsTheRunAndNamesItsPlace) {
  Record record;  // address is null
  record.backup = MakeAddress("b", 2);
  Record mirrored;
  mirrored.address = MakeAddress("a", 1);
  mirrored.mirrors = std::list<std::shared_ptr<Address const>>{MakeAddress("m", 1), nullptr};
  // "spec" is null, and so is the filter's address: the filter's members run first.
  Shapes::Input input;
  input.filter = std::make_shared<Record>();
  std::list<std::shared_ptr<Address const>> const addresses{nullptr};
  std::shared_ptr<Address const> const none;

  struct Case {
    char const* what;
    bool (*run)(void const* native, DataValuePtr& value, std::list<BaseMessage>& messages);
    void const* native;
    char const* path;
  };
  auto const runner = [](auto const* typed) {
    using T = std::remove_const_t<std::remove_pointer_t<decltype(typed)>>;
    return +[](void const* native, DataValuePtr& value, std::list<BaseMessage>& messages) {
      return ToValue(*static_cast<T const*>(native), value, messages);
    };
  };
  Case const cases[] = {
      {"a member", runner(&record), &record, "address"},
      {"an element of an optional list", runner(&mirrored), &mirrored, "mirrors[1]"},
      {"the first in the order of conversion", runner(&input), &input, "filter.address"},
      {"an element at the root", runner(&addresses), &addresses, "[0]"},
      {"the root", runner(&none), &none, "<root>"},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.what);
    DataValuePtr value;
    std::list<BaseMessage> messages{BaseMessage("earlier", "kept", {})};
    EXPECT_FALSE(c.run(c.native, value, messages));
    ASSERT_EQ(messages.size(), 3u);
    messages.pop_front();
    EXPECT_EQ(messages.front().id(), MessageIds::kUnsetNonOptionalField);
    EXPECT_EQ(messages.front().args(), std::list<std::string>{"test.shapes.address"});
    EXPECT_EQ(messages.back().id(), MessageIds::kAtPath);
    EXPECT_EQ(messages.back().args(), std::list<std::string>{c.path});
  }

  // Messages already present do not make a run fail.
  DataValuePtr value;
  std::list<BaseMessage> messages{BaseMessage("earlier", "kept", {})};
  EXPECT_TRUE(ToValue(Address(), value, messages));
}

TEST(NativeToValueAdapter, UnknownFieldsAreSentBackShared) {
  Address address;
  address.host = "h";
  DataValuePtr const zone = Str("eu");
  address.unknownFields = Struct("unknownFields", {{"zone", zone}});
  DataValuePtr value = ToValue(address);
  EXPECT_EQ(FieldOf(value, "zone"), zone);
  EXPECT_EQ(AsCompound(value).fields().size(), 3u);
}

// The documented entry forms: a helper built from a name, a destination and the work stack,
// and the value-to-native unknown-field step taking the source as a shared structure.
TEST(NativeToValueAdapter, DocumentedHelperAndUnknownFieldForms) {
  Address address;
  address.host = "h";
  NativeToValueAdapter::Stack stack(L10n::RequestLocalizerHelper::GetDefaultRequestLocalizer(),
                                    NativeToValueAdapter::AdaptMethod<Address>::Get());
  DataValuePtr value;
  NativeToValueAdapter::CompoundHelper<StructValue> helper(std::string("test.shapes.address"),
                                                           &value, stack);
  ASSERT_TRUE(value);
  EXPECT_EQ(AsCompound(value).name(), "test.shapes.address");
  helper.AddFields(&address);
  EXPECT_EQ(stack.entries.size(), 2u);  // one pending entry per member

  std::shared_ptr<StructValue const> const shared =
      Struct("test.shapes.address", {{"host", Str("h")}, {"zone", Str("eu")}});
  std::shared_ptr<StructValue> unknown;
  BaseNative::AdapterHelper::AddUnknownFields(Address::AdapterHelper::knownNames, shared, unknown);
  ASSERT_TRUE(unknown);
  EXPECT_EQ(unknown->fields().size(), 1u);
  EXPECT_NE(unknown->FindField("zone"), nullptr);
}

// A million-level native chain converts without exhausting the stack.
TEST(NativeToValueAdapter, MillionLevelChain) {
  constexpr int kDepth = 1000000;
  auto head = std::make_shared<Node>();
  Node* tail = head.get();
  for (int i = 1; i < kDepth; ++i) {
    auto next = std::make_shared<Node>();
    Node* raw = next.get();
    tail->next = next;
    tail = raw;
  }
  tail->name = "bottom";

  // Read back, the value gives the same chain, level by level.
  Node back = FromValue<Node>(ToValue(*head));
  EXPECT_TRUE(back == *head);
  Shapes::TakeApart(back);
  Shapes::TakeApart(*head);
}

}  // namespace
}  // namespace Data
}  // namespace Tirn
