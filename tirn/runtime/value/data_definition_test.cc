#include "tirn/runtime/value/data_definition.h"

#include <cstddef>
#include <memory>
#include <string>

#include <gtest/gtest.h>

namespace Tirn {
namespace Data {
namespace {

constexpr int kDeep = 1000000;

TEST(DataDefinitionTest, KindOfEachForm) {
  DataDefinitionPtr const leaf = DataDefinition::Create<std::string>();
  struct Case {
    char const* what;
    DataDefinitionPtr definition;
    DataType::Kind kind;
  } const cases[] = {
      {"string", DataDefinition::Create<std::string>(), DataType::STRING},
      {"integer", DataDefinition::Create<long long>(), DataType::INTEGER},
      {"boolean", DataDefinition::Create<bool>(), DataType::BOOLEAN},
      {"secret", DataDefinition::Create<SecretString>(), DataType::SECRET},
      {"void", DataDefinition::Create<Void>(), DataType::VOID},
      {"double", DataDefinition::Create<double>(), DataType::DOUBLE},
      {"structure", StructDefinition::GetInstance("s", {{"f", leaf}}), DataType::STRUCTURE},
      {"error", ErrorDefinition::GetInstance("e", {}), DataType::ERROR},
      {"reference", StructRefDefinition::GetInstance("s"), DataType::STRUCTURE_REF},
      {"list", ListDefinition::GetInstance(leaf), DataType::LIST},
      {"optional", OptionalDefinition::GetInstance(leaf), DataType::OPTIONAL},
      {"union case", UnionCaseDefinition::GetInstance(leaf, "t", nullptr), DataType::UNION_CASE},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.definition->GetType().kind(), c.kind);
  }
  // The wire fixes the numbers of strings and lists.
  EXPECT_EQ(static_cast<int>(DataDefinition::Create<std::string>()->GetType().kind()), 5);
  EXPECT_EQ(static_cast<int>(ListDefinition::GetInstance(leaf)->GetType().kind()), 8);
}

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

std::size_t Count(std::string const& text, std::string const& part) {
  std::size_t count = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) {
    ++count;
  }
  return count;
}

// Building, printing and destroying a million-level chain run on the default stack.
TEST(DeepDefinitionTest, MillionLevelChainsPrintAndDestroy) {
  struct Case {
    char const* what;
    DataDefinitionPtr (*wrap)(DataDefinitionPtr const&);
    char const* opening;
  } const cases[] = {
      {"optional",
       [](DataDefinitionPtr const& inner) -> DataDefinitionPtr {
         return OptionalDefinition::GetInstance(inner);
       },
       "optional("},
      {"list",
       [](DataDefinitionPtr const& inner) -> DataDefinitionPtr {
         return ListDefinition::GetInstance(inner);
       },
       "list("},
      {"structure",
       [](DataDefinitionPtr const& inner) -> DataDefinitionPtr {
         return StructDefinition::GetInstance("n", {{"f", inner}});
       },
       "n{f: "},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.what);
    DataDefinitionPtr chain = DataDefinition::Create<SecretString>();
    for (int i = 0; i < kDeep; ++i) chain = c.wrap(chain);
    std::string const printed = ToDebugString(chain);
    std::string const opening = c.opening;
    EXPECT_EQ(printed.compare(0, 2 * opening.size(), opening + opening), 0);
    EXPECT_EQ(Count(printed, opening), static_cast<std::size_t>(kDeep));
    EXPECT_EQ(Count(printed, "secret"), 1u);
    chain.reset();
  }
}

}  // namespace
}  // namespace Data
}  // namespace Tirn
