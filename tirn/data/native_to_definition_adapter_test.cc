#include "tirn/data/native_to_definition_adapter.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "tests/convert.h"
#include "tests/shapes.h"

namespace Tirn {
namespace Data {
namespace {

using Shapes::Color;
using Shapes::Node;
using Shapes::Record;
using Shapes::Variant;
using ::test_convert::Define;

StructDefinition const& AsStruct(DataDefinitionPtr const& definition) {
  return dynamic_cast<StructDefinition const&>(*definition);
}

DataDefinitionPtr FieldOf(DataDefinitionPtr const& definition, std::string const& name) {
  auto const& fields = AsStruct(definition).fields();
  auto it = fields.find(name);
  return it == fields.end() ? nullptr : it->second;
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
      std::dynamic_pointer_cast<UnionCaseDefinition const>(FieldOf(Define<Variant>(), "red_case"));
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
  DataDefinitionPtr const address = FieldOf(record, "address");
  EXPECT_EQ(ElementOf(FieldOf(record, "backup")), address);
  EXPECT_EQ(ElementOf(ElementOf(FieldOf(record, "mirrors"))), address);

  // Across nesting levels too.
  DataDefinitionPtr const input = Define<Shapes::Input>();
  DataDefinitionPtr const filter = ElementOf(FieldOf(input, "filter"));
  EXPECT_EQ(FieldOf(filter, "address"), FieldOf(input, "spec"));

  // A new run builds everything anew.
  DataDefinitionPtr const again = Define<Record>();
  EXPECT_NE(again, record);
  EXPECT_NE(FieldOf(again, "address"), address);
  EXPECT_NE(FieldOf(again, "tags"), FieldOf(record, "tags"));
}

TEST(NativeToDefinitionAdapter, RecursiveStructureRefersToItself) {
  DataDefinitionPtr const node = Define<Node>();
  for (char const* field : {"next", "children"}) {
    SCOPED_TRACE(field);
    auto const reference =
        std::dynamic_pointer_cast<StructRefDefinition const>(ElementOf(FieldOf(node, field)));
    ASSERT_NE(reference, nullptr);
    EXPECT_EQ(reference->target(), node);
  }
}

}  // namespace
}  // namespace Data
}  // namespace Tirn
