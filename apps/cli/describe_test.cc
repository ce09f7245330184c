#include "apps/cli/describe.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "com/ostrel/nox/trusted_infrastructure/operations.h"

namespace {

namespace Cli = Apps::Cli;
using Tirn::Data::DataDefinition;

TEST(Describe, PrintsFieldsKindsAndNestingOfAnOperation) {
  auto const& table = Com::Ostrel::Nox::TrustedInfrastructure::Operations();
  std::string const text = Cli::DescribeOperation(*table.FindByService("kms.services", "list"));
  std::string const expected =
      "kms.services list (com.ostrel.nox.trusted_infrastructure.kms.services)\n"
      "input:\n"
      "  filter: optional structure com.ostrel.nox.trusted_infrastructure.kms.services.filter_spec\n"
      "    address: optional list of structure com.ostrel.nox.trusted_infrastructure.network_address\n"
      "      hostname: string\n"
      "      port: optional integer\n"
      "    group: optional set of string\n"
      "    services: optional set of string\n"
      "output:\n"
      "  list of structure com.ostrel.nox.trusted_infrastructure.kms.services.summary\n";
  EXPECT_EQ(text.substr(0, expected.size()), expected) << text;
  // The errors share the message structure: expanded the first time only.
  EXPECT_NE(text.find("errors:\n  error com.ostrel.tirn.std.errors.error\n    messages: list of "
                      "structure com.ostrel.tirn.std.localizable_message\n      args: list of "
                      "string\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("  error com.ostrel.tirn.std.errors.unauthenticated\n    messages: list "
                      "of structure com.ostrel.tirn.std.localizable_message (see above)\n"),
            std::string::npos)
      << text;

  std::string const list = Cli::ListOperations(table);
  EXPECT_EQ(list.substr(0, 20), "kms.providers list\nk");
  EXPECT_EQ(std::count(list.begin(), list.end(), '\n'), 14);
}

TEST(Describe, PrintsARecursiveReferenceByName) {
  auto reference = Tirn::Data::StructRefDefinition::GetInstance("test.node");
  auto node = Tirn::Data::StructDefinition::GetInstance(
      "test.node", {{"children", Tirn::Data::ListDefinition::GetInstance(reference)},
                    {"name", DataDefinition::Create<std::string>()}});
  reference->SetTarget(node);
  EXPECT_EQ(Cli::DescribeDefinition(node, "root", 2),
            "  root: structure test.node\n"
            "    children: list of structure test.node (recursive, see above)\n"
            "    name: string\n");
}

TEST(Describe, DescribesADeepDefinitionWithoutRecursing) {
  // Nested structures, each with one field, deeper than a recursive walk could go; the
  // indentation stops growing at its limit, so the text stays linear in the depth.
  Tirn::Data::DataDefinitionPtr definition = DataDefinition::Create<long long>();
  constexpr int kDepth = 200000;
  for (int i = 0; i < kDepth; ++i) {
    definition = Tirn::Data::StructDefinition::GetInstance("s" + std::to_string(i), {{"f", definition}});
  }
  std::string const text = Cli::DescribeDefinition(definition, "", 0);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), kDepth + 1);
  EXPECT_LT(text.size(), 100u * (kDepth + 1));
}

}  // namespace
