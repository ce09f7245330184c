#include "apps/cli/describe.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "com/ostrel/nox/trusted_infrastructure/operations.h"

namespace {

namespace Cli = Apps::Cli;
using Tirn::Data::DataDefinition;

// An operation's line, its documentation and its service's, then its input, output and errors;
// a structure met again in another part, and the message structure the errors share, are
// expanded the first time only. (How fields, kinds and descriptions nest: the tests below.)
TEST(Describe, PrintsAnOperationWithItsServiceInputOutputAndErrors) {
  auto const& table = Com::Ostrel::Nox::TrustedInfrastructure::Operations();
  std::string const text = Cli::DescribeOperation(*table.FindByService("kms.services", "list"));
  std::string const package = "com.ostrel.nox.trusted_infrastructure.";
  std::string const errors = "com.ostrel.tirn.std.";
  std::string const parts[] = {
      "kms.services list (" + package + "kms.services)\n  Lists the key servers, each with its "
          "address and group.\nservice kms.services:\n  Key servers: the KMIP servers",
      "\ninput:\n  filter: optional structure " + package + "kms.services.filter_spec\n",
      "\n    address: optional list of structure " + package + "network_address\n",
      "\n      port: optional integer\n",
      "\n    group: optional set of string\n",
      "\noutput:\n  list of structure " + package + "kms.services.summary\n",
      "\n    address: structure " + package + "network_address (see above)\n",
      "\nerrors:\n  error " + errors + "errors.error\n    messages: list of structure " + errors +
          "localizable_message\n      args: list of string\n",
      "\n  error " + errors + "errors.unauthenticated\n    messages: list of structure " + errors +
          "localizable_message (see above)\n",
  };
  std::size_t at = 0;
  for (auto const& part : parts) {
    std::size_t const found = text.find(part, at);
    EXPECT_NE(found, std::string::npos) << part << "\nafter " << at << " in\n" << text;
    if (found != std::string::npos) at = found + part.size();
  }
  EXPECT_EQ(text.rfind(parts[0], 0), 0u);

  std::string const list = Cli::ListOperations(table);
  EXPECT_EQ(list.substr(0, 20), "kms.providers list\nk");
  EXPECT_EQ(std::count(list.begin(), list.end(), '\n'), 14);
}

// The annotations name what the definitions cannot: an enumeration's names, the tag values of
// a union case.
TEST(Describe, ShowsEnumerationNamesAndTheValuesOfUnionCases) {
  auto const& get =
      *Com::Ostrel::Nox::TrustedInfrastructure::Operations().FindByService("kms.providers", "get");
  std::string const text = Cli::DescribeOperation(get);
  for (char const* part : {"\n    type: enumeration (NATIVE, TRUST_AUTHORITY)\n",
                           "native_provider_info (only when type is NATIVE)\n"}) {
    EXPECT_NE(text.find(part), std::string::npos) << part << text;
  }

  // A case of several values; and without annotations, what the definitions alone tell.
  auto const item = Tirn::Data::StructDefinition::GetInstance(
      "test.item",
      {{"kind", DataDefinition::Create<std::string>()},
       {"book", Tirn::Data::UnionCaseDefinition::GetInstance(
                    Tirn::Data::StructDefinition::GetInstance("test.book", {}), "kind",
                    [](std::string const&) { return true; })}});
  Tirn::Data::DefinitionAnnotations annotations;
  annotations.structures["test.item"].enumerations["kind"] = {"BOOK", "COMIC", "GAME"};
  annotations.structures["test.item"].unionCases["book"] = {"kind", {"BOOK", "COMIC"}};
  EXPECT_EQ(Cli::DescribeDefinition(item, "", 0, &annotations),
            "structure test.item\n"
            "  book: structure test.book (only when kind is BOOK or COMIC)\n"
            "  kind: enumeration (BOOK, COMIC, GAME)\n");
  EXPECT_EQ(Cli::DescribeDefinition(item, "", 0),
            "structure test.item\n"
            "  book: structure test.book (only for some values of kind)\n"
            "  kind: string\n");
}

// A description follows its line, indented past the fields below it, a line a paragraph: a
// field's own, else that of the structure it expands; a structure met again prints none.
TEST(Describe, PrintsTheDescriptionsOfStructuresAndFields) {
  auto const address = Tirn::Data::StructDefinition::GetInstance(
      "test.address", {{"street", DataDefinition::Create<std::string>()}});
  auto const order = Tirn::Data::StructDefinition::GetInstance(
      "test.order", {{"from", address},
                     {"to", address},
                     {"count", DataDefinition::Create<long long>()},
                     {"speed", DataDefinition::Create<std::string>()}});
  Tirn::Data::DefinitionAnnotations annotations;
  annotations.structures["test.order"].description = "An order.\n\nSent once.";
  annotations.structures["test.order"].fieldDescriptions["to"] = "Where it goes.";
  annotations.structures["test.address"].description = "A place.";
  annotations.structures["test.address"].fieldDescriptions["street"] = "The street.";
  annotations.structures["test.order"].enumerations["speed"] = {"SLOW", "FAST", "SAME_DAY"};
  annotations.structures["test.order"].enumerationDescriptions["speed"] = {
      {"SAME_DAY", "Before midnight."}, {"FAST", "The next day."}};
  EXPECT_EQ(Cli::DescribeDefinition(order, "", 0, &annotations),
            "structure test.order\n"
            "    An order.\n"
            "    Sent once.\n"
            "  count: integer\n"
            "  from: structure test.address\n"
            "      A place.\n"
            "    street: string\n"
            "        The street.\n"
            "  speed: enumeration (SLOW, FAST, SAME_DAY)\n"
            "      FAST: The next day.\n"
            "      SAME_DAY: Before midnight.\n"
            "  to: structure test.address (see above)\n"
            "      Where it goes.\n");
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
