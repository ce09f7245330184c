#include "apps/cli/describe.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "com/ostrel/nox/trusted_infrastructure/operations.h"

namespace {

namespace Cli = Apps::Cli;
using Tirn::Data::DataDefinition;

TEST(Describe, PrintsFieldsKindsAndNestingOfAnOperation) {
  auto const& table = Com::Ostrel::Nox::TrustedInfrastructure::Operations();
  std::string const text = Cli::DescribeOperation(*table.FindByService("kms.services", "list"));
  // With the package's documentation below what it documents.
  std::string const expected =
      "kms.services list (com.ostrel.nox.trusted_infrastructure.kms.services)\n"
      "  Lists the key servers, each with its address and group.\n"
      "service kms.services:\n"
      "  Key servers: the KMIP servers that keys are served from. Each is known by the identifier "
      "the server gave it when it was created.\n"
      "input:\n"
      "  filter: optional structure com.ostrel.nox.trusted_infrastructure.kms.services.filter_spec\n"
      "      Which key servers to list; absent to list every one.\n"
      "    address: optional list of structure com.ostrel.nox.trusted_infrastructure.network_address\n"
      "        Only the key servers at one of these addresses: the same host name, and the same "
      "port when the address given has one.\n"
      "      hostname: string\n"
      "          The server's host name or IP address.\n"
      "      port: optional integer\n"
      "          The TCP port, from 1 to 65535; absent when none was given.\n"
      "    group: optional set of string\n"
      "        Only the key servers of these groups.\n"
      "    services: optional set of string\n"
      "        Only the key servers of these identifiers.\n"
      "output:\n"
      "  list of structure com.ostrel.nox.trusted_infrastructure.kms.services.summary\n"
      "      One key server as a list shows it.\n"
      "    address: structure com.ostrel.nox.trusted_infrastructure.network_address (see above)\n"
      "        Where the key server is reached.\n";
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

// The annotations name what the definitions cannot: an enumeration's names, the tag values of
// a union case.
TEST(Describe, ShowsEnumerationNamesAndTheValuesOfUnionCases) {
  auto const& table = Com::Ostrel::Nox::TrustedInfrastructure::Operations();
  std::string const providers = "com.ostrel.nox.trusted_infrastructure.kms.providers.";
  struct Row {
    char const* operation;
    std::vector<std::string> text;
  } const rows[] = {
      {"get",
       {"\n    type: enumeration (NATIVE, TRUST_AUTHORITY)\n",
        "\n    native_info: structure " + providers +
            "native_provider_info (only when type is NATIVE)\n"}},
      {"list",
       {"\n    types: optional set of enumeration (NATIVE, TRUST_AUTHORITY)\n",
        "\n    type: optional enumeration (NATIVE, TRUST_AUTHORITY)\n",
        "\n    providers: optional set of string\n"}},
  };
  for (Row const& row : rows) {
    SCOPED_TRACE(row.operation);
    auto const& operation = *table.FindByService("kms.providers", row.operation);
    std::string const text = Cli::DescribeOperation(operation);
    for (auto const& part : row.text) EXPECT_NE(text.find(part), std::string::npos) << part << text;
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
