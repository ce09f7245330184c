#include "tirn/runtime/value/data_definition.h"

#include <cstddef>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "tests/convert.h"

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
