#include "tirn/runtime/value/data_definition.h"

#include <cstddef>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "tests/convert.h"
#include "tirn/runtime/value/equal.h"

namespace Tirn {
namespace Data {
namespace {

using ::test_convert::Count;

constexpr int kDeep = 1000000;

TEST(DataDefinitionTest, DestroyingOneOwnerLeavesSharedChildrenIntact) {
  DataDefinitionPtr const shared = StructDefinition::GetInstance(
      "s", {{"f", OptionalDefinition::GetInstance(DataDefinition::Create<bool>())}});
  std::string const printed = ToDebugString(shared);
  DataDefinitionPtr first = ListDefinition::GetInstance(OptionalDefinition::GetInstance(shared));
  DataDefinitionPtr second = StructDefinition::GetInstance("t", {{"g", shared}});
  first.reset();
  second.reset();
  EXPECT_EQ(ToDebugString(shared), printed);
}

// Building, printing, comparing and destroying million-level chains run on the default stack;
// a chain one level longer is another type.
TEST(DeepDefinitionTest, MillionLevelChainsPrintCompareAndDestroy) {
  auto const wrap = [](int kind, DataDefinitionPtr const& inner) -> DataDefinitionPtr {
    if (kind == 0) return OptionalDefinition::GetInstance(inner);
    if (kind == 1) return ListDefinition::GetInstance(inner);
    return StructDefinition::GetInstance("n", {{"f", inner}});
  };
  std::string const openings[] = {"optional(", "list(", "n{f: "};
  for (int kind = 0; kind < 3; ++kind) {
    std::string const& opening = openings[kind];
    SCOPED_TRACE(opening);
    DataDefinitionPtr chains[2];
    for (DataDefinitionPtr& chain : chains) {
      chain = DataDefinition::Create<SecretString>();
      for (int i = 0; i < kDeep; ++i) chain = wrap(kind, chain);
    }
    std::string const printed = ToDebugString(chains[0]);
    EXPECT_EQ(printed.compare(0, 2 * opening.size(), opening + opening), 0);
    EXPECT_EQ(Count(printed, opening), static_cast<std::size_t>(kDeep));
    EXPECT_EQ(Count(printed, "secret"), 1u);
    EXPECT_TRUE(Equal(chains[0], chains[1]));
    EXPECT_FALSE(Equal(chains[0], wrap(kind, chains[1])));
  }
}

DataDefinitionPtr NodeWith(DataType::Kind value, DataDefinitionPtr const& next) {
  return StructDefinition::GetInstance("node",
                                       {{"next", OptionalDefinition::GetInstance(next)},
                                        {"value", PrimitiveDefinition::GetInstance(value)}});
}

// A node whose "next" leads back to itself through a reference.
DataDefinitionPtr Node(DataType::Kind value) {
  auto reference = StructRefDefinition::GetInstance("node");
  auto node = NodeWith(value, reference);
  reference->SetTarget(std::static_pointer_cast<StructDefinition const>(node));
  return node;
}

// The same type with its first step spelled out: a node of the same name that holds the
// recursive one, whose value's kind is `inner`.
DataDefinitionPtr Unrolled(DataType::Kind outer, DataType::Kind inner) {
  return NodeWith(outer, Node(inner));
}

TEST(DefinitionEqualTest, ComparesTheTypesDescribedWhateverTheirSpelling) {
  auto const string = [] { return DataDefinition::Create<std::string>(); };
  auto const tagged = [](char const* tag) {
    return UnionCaseDefinition::GetInstance(StructDefinition::GetInstance("c", {}), tag,
                                            [](std::string const&) { return true; });
  };
  auto const unbound = StructRefDefinition::GetInstance("gone");
  struct Row {
    char const* what;
    DataDefinitionPtr a, b;
    bool equal;
  } const rows[] = {
      {"two nulls", nullptr, nullptr, true},
      {"leaf kinds", string(), DataDefinition::Create<SecretString>(), false},
      {"same structure, made twice",
       StructDefinition::GetInstance("s", {{"f", ListDefinition::GetInstance(string())}}),
       StructDefinition::GetInstance("s", {{"f", ListDefinition::GetInstance(string())}}), true},
      {"structure names", StructDefinition::GetInstance("s", {}),
       StructDefinition::GetInstance("t", {}), false},
      {"error and structure of one name", ErrorDefinition::GetInstance("s", {}),
       StructDefinition::GetInstance("s", {}), false},
      {"field names", StructDefinition::GetInstance("s", {{"f", string()}}),
       StructDefinition::GetInstance("s", {{"g", string()}}), false},
      {"a field more", StructDefinition::GetInstance("s", {{"f", string()}}),
       StructDefinition::GetInstance("s", {{"f", string()}, {"g", string()}}), false},
      {"list and set", ListDefinition::GetInstance(string()),
       ListDefinition::GetSetInstance(string()), false},
      {"union-case tags", tagged("kind"), tagged("type"), false},
      {"union cases with one tag", tagged("kind"), tagged("kind"), true},
      {"recursion, and its first step spelled out", Node(DataType::INTEGER),
       Unrolled(DataType::INTEGER, DataType::INTEGER), true},
      {"recursion that differs one level down", Node(DataType::INTEGER),
       Unrolled(DataType::INTEGER, DataType::STRING), false},
      {"unbound references of one name", unbound, StructRefDefinition::GetInstance("gone"), true},
      {"an unbound reference and its structure", unbound, StructDefinition::GetInstance("gone", {}),
       false},
  };
  for (Row const& row : rows) {
    SCOPED_TRACE(row.what);
    EXPECT_EQ(Equal(row.a, row.b), row.equal);
    EXPECT_EQ(Equal(row.b, row.a), row.equal);
  }
}

}  // namespace
}  // namespace Data
}  // namespace Tirn
