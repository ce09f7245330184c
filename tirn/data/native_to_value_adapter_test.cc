// The engines that start from natives: native to value, native to definition, and native
// equality.
#include "tirn/data/native_to_value_adapter.h"

#include <gtest/gtest.h>

#include <functional>
#include <list>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "tests/convert.h"
#include "tests/shapes.h"
#include "tirn/data/native_equal.h"
#include "tirn/data/native_to_definition_adapter.h"
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

// A node named `name`.
std::shared_ptr<Node> Named(std::string name) {
  auto node = std::make_shared<Node>();
  node->name = std::move(name);
  return node;
}

// A chain of `depth` nodes linked through `next` (or through a one-element `children` list),
// named after their level. The nodes stay reachable from `nodes` so that the chain can be
// taken apart without recursion.
struct Chain {
  Chain(int depth, bool throughChildren) {
    for (int i = 0; i < depth; ++i) {
      nodes.push_back(Named(std::to_string(i)));
      if (i == 0) continue;
      if (throughChildren) {
        nodes[i - 1]->children.push_back(nodes[i]);
      } else {
        nodes[i - 1]->next = OptionalPtr<Node const>(nodes[i]);
      }
    }
  }
  ~Chain() {
    // Unlink first: every node then has one owner left, and goes on its own.
    for (auto const& node : nodes) *node = Node();
  }
  std::shared_ptr<Node const> root() const { return nodes.front(); }

  std::vector<std::shared_ptr<Node>> nodes;
};

// Every kind of member, each enumeration as its name or as the string it was received as, and
// unknown fields sent back shared.
TEST(NativeToValueAdapter, EveryMemberKind) {
  Record record;
  record.id = "r1";
  record.count = -7;
  record.enabled = true;
  record.key = SecretString("s3cret");
  record.color = Color::GREEN;
  record.tags = {"b", "a"};
  record.labels = {"y", "x"};
  record.colors = std::set<Color>{Color(), Color::RED};
  DataValuePtr const zone = Str("eu");
  record.address = MakeAddress("main", 1, Struct("unknownFields", {{"zone", zone}}));
  record.mirrors = std::list<std::shared_ptr<Address const>>{MakeAddress("m", boost::none),
                                                              MakeAddress("", 0)};

  DataValuePtr value = ToValue(record);
  EXPECT_EQ(ToDebugString(value),
            "test.shapes.record{address: test.shapes.address{host: \"main\", port: optional(1), "
            "zone: \"eu\"}, backup: optional(), color: \"GREEN\", "
            "colors: optional(set[\"RED\", \"_UNKNOWN\"]), "
            "count: -7, enabled: true, id: \"r1\", key: <secret>, labels: set[\"x\", \"y\"], "
            "mirrors: optional([test.shapes.address{host: \"m\", port: optional()}, "
            "test.shapes.address{host: \"\", port: optional(0)}]), "
            "note: optional(), tags: [\"b\", \"a\"]}");
  EXPECT_EQ(FieldOf(value, "key")->GetType().kind(), DataType::SECRET);
  EXPECT_EQ(FieldOf(FieldOf(value, "address"), "zone"), zone);

  // A union case is an ordinary optional, whatever the tag; an input has no unknown fields.
  Variant variant;
  variant.kind = Color(Color::_UNKNOWN, "FUTURE_KIND");
  variant.red_case = MakeAddress("r", boost::none);
  EXPECT_EQ(ToDebugString(ToValue(variant)),
            "test.shapes.variant{kind: \"FUTURE_KIND\", red_case: optional(test.shapes.address{"
            "host: \"r\", port: optional()})}");
  Shapes::Input input;
  input.target = "t";
  input.spec = MakeAddress("h", 1);
  EXPECT_EQ(ToDebugString(ToValue(input)),
            "test.shapes.operation_input{filter: optional(), spec: test.shapes.address{host: "
            "\"h\", port: optional(1)}, target: \"t\"}");
  EXPECT_TRUE(Equal(ToValue(Color(Color::_UNKNOWN, "red")), Str("red")));  // at the root
}

// Converts `native` after an earlier message, expecting failure; the messages the run added, as
// Said shows them.
template <class T>
std::string FailureOf(T const& native) {
  DataValuePtr value;
  Messages messages{BaseMessage("earlier", "kept", {})};
  EXPECT_FALSE(ToValue(native, value, messages));
  messages.pop_front();
  return Said(messages);
}

// A required structure member that holds nothing fails the run with its type's name, then
// the member's field path in the value built so far.
TEST(NativeToValueAdapter, UnsetRequiredStructureStopsTheRunAndNamesItsPlace) {
  std::string const unset = std::string(" ") + MessageIds::kUnsetNonOptionalField +
                            ",test.shapes.address " + MessageIds::kAtPath + ",";
  Record record;  // address is null
  record.backup = MakeAddress("b", 2);
  EXPECT_EQ(FailureOf(record), unset + "address");
  Record mirrored;  // an element of an optional list
  mirrored.address = MakeAddress("a", 1);
  mirrored.mirrors = std::list<std::shared_ptr<Address const>>{MakeAddress("m", 1), nullptr};
  EXPECT_EQ(FailureOf(mirrored), unset + "mirrors[1]");
  // "spec" is null, and so is the filter's address: the filter's members run first.
  Shapes::Input input;
  input.filter = std::make_shared<Record>();
  EXPECT_EQ(FailureOf(input), unset + "filter.address");
  // An element at the root, and the root.
  EXPECT_EQ(FailureOf(std::list<std::shared_ptr<Address const>>{nullptr}), unset + "[0]");
  EXPECT_EQ(FailureOf(std::shared_ptr<Address const>()), unset + "<root>");

  // Messages already present do not make a run fail.
  DataValuePtr value;
  Messages messages{BaseMessage("earlier", "kept", {})};
  EXPECT_TRUE(ToValue(Address(), value, messages));
}

// The documented entry forms: a helper built from a name, a destination and the work stack,
// and the value-to-native unknown-field step taking the source as a shared structure.
TEST(NativeToValueAdapter, DocumentedHelperAndUnknownFieldForms) {
  Address const address = *MakeAddress("h");
  NativeToValueAdapter::Stack stack(L10n::RequestLocalizerHelper::GetDefaultRequestLocalizer(),
                                    NativeToValueAdapter::AdaptMethod<Address>::Get());
  DataValuePtr value;
  NativeToValueAdapter::CompoundHelper<StructValue> helper(std::string("test.shapes.address"),
                                                           &value, stack);
  EXPECT_EQ(ToDebugString(value), "test.shapes.address{}");
  helper.AddFields(&address);
  EXPECT_EQ(stack.entries.size(), 2u);  // one pending entry per member

  std::shared_ptr<StructValue const> const shared =
      Struct("test.shapes.address", {{"host", Str("h")}, {"zone", Str("eu")}});
  std::shared_ptr<StructValue> unknown;
  BaseNative::AdapterHelper::AddUnknownFields(Address::AdapterHelper::knownNames, shared, unknown);
  EXPECT_EQ(ToDebugString(unknown), "unknownFields{zone: \"eu\"}");
}

// A million-level native chain converts without exhausting the stack; read back, the value
// gives the same chain, level by level.
TEST(NativeToValueAdapter, MillionLevelChain) {
  Chain const chain(1000000, false);
  Node back = FromValue<Node>(ToValue(*chain.root()));
  EXPECT_TRUE(back == *chain.root());
  Shapes::TakeApart(back);
}

// ---- Native to definition ----------------------------------------------------------------

DataDefinitionPtr FieldDef(DataDefinitionPtr const& definition, std::string const& name) {
  return dynamic_cast<StructDefinition const&>(*definition).fields().at(name);
}

DataDefinitionPtr ElementOf(DataDefinitionPtr const& definition) {
  return dynamic_cast<WrappingDefinition const&>(*definition).element();
}

TEST(NativeToDefinitionAdapter, DescribesEveryShape) {
  std::string const address = "test.shapes.address{host: string, port: optional(integer)}";
  std::string const record =
      "test.shapes.record{address: " + address + ", backup: optional(" + address +
      "), color: string, colors: optional(set(string)), count: integer, enabled: boolean, "
      "id: string, key: secret, labels: set(string), mirrors: optional(list(" + address +
      ")), note: optional(string), tags: list(string)}";
  struct Case {
    char const* what;
    DataDefinitionPtr definition;
    std::string expected;
  } const cases[] = {
      {"record", Define<Record>(), record},
      {"union", Define<Variant>(),
       "test.shapes.variant{kind: string, red_case: union_case(kind, " + address + ")}"},
      {"recursion", Define<Node>(),
       "test.shapes.node{children: list(ref(test.shapes.node)), name: string, "
       "next: optional(ref(test.shapes.node))}"},
      // Structures without a step for unknown fields.
      {"input", Define<Shapes::Input>(),
       "test.shapes.operation_input{filter: optional(" + record + "), spec: " + address +
           ", target: string}"},
      {"empty", Define<Shapes::Empty>(), "test.shapes.empty{}"},
      // Types other than structures describe themselves at the root too.
      {"enumeration", Define<Color>(), "string"},
      {"set of enumerations", Define<std::set<Color>>(), "set(string)"},
      {"optional set", Define<boost::optional<std::set<std::string>>>(), "optional(set(string))"},
      {"void", Define<Void>(), "void"},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(ToDebugString(c.definition), c.expected);
  }
}

TEST(NativeToDefinitionAdapter, UnionCasePredicateFollowsTheTag) {
  auto const unionCase =
      std::dynamic_pointer_cast<UnionCaseDefinition const>(FieldDef(Define<Variant>(), "red_case"));
  ASSERT_TRUE(unionCase && unionCase->predicate());
  for (char const* tag : {"RED", "GREEN", "_UNKNOWN", "", "red", "BLUE"}) {
    SCOPED_TRACE(tag);
    boost::logic::tribool const answer = unionCase->predicate()(tag);
    EXPECT_FALSE(boost::logic::indeterminate(answer));
    EXPECT_EQ(static_cast<bool>(answer), std::string(tag) == "RED");
  }
}

TEST(NativeToDefinitionAdapter, OneDefinitionPerStructureTypeInARun) {
  DataDefinitionPtr const record = Define<Record>();
  DataDefinitionPtr const address = FieldDef(record, "address");
  EXPECT_EQ(ElementOf(FieldDef(record, "backup")), address);
  EXPECT_EQ(ElementOf(ElementOf(FieldDef(record, "mirrors"))), address);

  // Across nesting levels too.
  DataDefinitionPtr const input = Define<Shapes::Input>();
  DataDefinitionPtr const filter = ElementOf(FieldDef(input, "filter"));
  EXPECT_EQ(FieldDef(filter, "address"), FieldDef(input, "spec"));

  // A new run builds everything anew.
  DataDefinitionPtr const again = Define<Record>();
  EXPECT_NE(again, record);
  EXPECT_NE(FieldDef(again, "address"), address);
  EXPECT_NE(FieldDef(again, "tags"), FieldDef(record, "tags"));

  // A structure met again while it is built is a reference to it.
  DataDefinitionPtr const node = Define<Node>();
  for (char const* field : {"next", "children"}) {
    SCOPED_TRACE(field);
    auto const reference =
        std::dynamic_pointer_cast<StructRefDefinition const>(ElementOf(FieldDef(node, field)));
    ASSERT_NE(reference, nullptr);
    EXPECT_EQ(reference->target(), node);
  }
}

// ---- Native equality ----------------------------------------------------------------------

TEST(NativeEqualTest, MillionLevelChainsCompareWithoutRecursion) {
  constexpr int kDeep = 1000000;
  for (bool throughChildren : {false, true}) {
    SCOPED_TRACE(throughChildren ? "through children" : "through next");
    Chain const a(kDeep, throughChildren);
    Chain const b(kDeep, throughChildren);
    EXPECT_TRUE(NativeEqual(a.root(), b.root()));
    EXPECT_TRUE(*a.root() == *b.root());

    // A difference at the very bottom is found (what differences count: the test below).
    b.nodes.back()->name = "changed";
    EXPECT_FALSE(NativeEqual(a.root(), b.root()));
    EXPECT_FALSE(*a.root() == *b.root());
  }
}

TEST(NativeEqualTest, ComparesContentsMemberByMember) {
  auto unknown = StructValue::GetInstance("unknownFields");
  unknown->SetField("extra", StringValue::GetInstance("x"));
  struct Case {
    char const* name;
    std::function<void(Node&)> change;  // applied to the second of two equal nodes
    bool equal;
  } const cases[] = {
      {"unchanged", [](Node&) {}, true},
      {"another name", [](Node& n) { n.name = "other"; }, false},
      {"next set on one side", [&](Node& n) { n.next = OptionalPtr<Node const>(Named("n")); },
       false},
      {"an equal child that is another object",
       [&](Node& n) { n.children.front() = Named("c"); }, true},
      {"a child with another name", [&](Node& n) { n.children.front() = Named("d"); }, false},
      {"a null child", [](Node& n) { n.children.front() = nullptr; }, false},
      {"one child more", [&](Node& n) { n.children.push_back(Named("c")); }, false},
      {"an unknown field", [&](Node& n) { n.unknownFields = unknown; }, false},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.name);
    auto const a = Named("a");
    auto const b = Named("a");
    a->children.push_back(Named("c"));
    b->children.push_back(a->children.front());
    c.change(*b);
    EXPECT_EQ(NativeEqual(*a, *b), c.equal);
    EXPECT_EQ(NativeEqual(*b, *a), c.equal);
    EXPECT_EQ(NativeEqual(std::shared_ptr<Node const>(a), std::shared_ptr<Node const>(b)),
              c.equal);
  }
  EXPECT_TRUE(NativeEqual(std::shared_ptr<Node const>(), std::shared_ptr<Node const>()));
  EXPECT_FALSE(NativeEqual(std::shared_ptr<Node const>(), std::shared_ptr<Node const>(Named("a"))));
}

}  // namespace
}  // namespace Data
}  // namespace Tirn
