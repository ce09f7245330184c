// The JSON form of the operations' definitions and annotations, for every operation of the
// package and of the guide's shop (generated in the build from docs/examples/shop.tidl): read
// back equal, and served at GET /v1/operations by a live Tirn::Http::Server on 127.0.0.1.
#include <gtest/gtest.h>

#include <fstream>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "com/example/shop/operations.h"
#include "com/ostrel/nox/trusted_infrastructure/operations.h"
#include "tests/raw_http.h"
#include "tirn/json/definition.h"
#include "tirn/runtime/call/in_process_provider.h"
#include "tirn/runtime/value/equal.h"

namespace {

namespace TI = Com::Ostrel::Nox::TrustedInfrastructure;
namespace Shop = Com::Example::Shop;
using Tirn::Core::OperationTable;
using Tirn::Data::DataDefinitionPtr;
using Tirn::Json::OperationDefinitions;
using Messages = std::list<Tirn::BaseMessage>;

std::vector<OperationTable const*> Tables() { return {&TI::Operations(), &Shop::Operations()}; }

std::string Failures(Messages const& messages) {
  std::string text;
  for (auto const& message : messages) text += message.defaultMessage() + "\n";
  return text;
}

// What was read is the table: the same operations in order, equal definitions, the same
// annotations.
void ExpectTable(std::vector<OperationDefinitions> const& read, OperationTable const& table) {
  ASSERT_EQ(read.size(), table.operations().size());
  for (std::size_t i = 0; i < read.size(); ++i) {
    auto const& operation = table.operations()[i];
    OperationDefinitions const& back = read[i];
    SCOPED_TRACE(std::string(operation.serviceName) + " " + operation.operationName);
    EXPECT_EQ(back.interfaceName, operation.interfaceName);
    EXPECT_EQ(back.serviceName, operation.serviceName);
    EXPECT_EQ(back.operationName, operation.operationName);
    EXPECT_EQ(back.description, operation.description);
    EXPECT_EQ(back.serviceDescription, operation.serviceDescription);
    EXPECT_TRUE(Tirn::Data::Equal(back.input, operation.input));
    EXPECT_TRUE(Tirn::Data::Equal(back.output, operation.output));
    ASSERT_EQ(back.errors.size(), operation.errors.size());
    auto error = back.errors.begin();
    for (auto const& expected : operation.errors) EXPECT_TRUE(Tirn::Data::Equal(*error++, expected));
    EXPECT_EQ(back.annotations, *operation.annotations);
  }
}

std::vector<OperationDefinitions> RoundTrip(OperationTable const& table) {
  std::string text;
  Messages messages;
  std::vector<OperationDefinitions> read;
  EXPECT_TRUE(Tirn::Json::EncodeOperations(table, &text, messages)) << Failures(messages);
  EXPECT_TRUE(Tirn::Json::DecodeOperations(text, &read, messages)) << Failures(messages);
  return read;
}

OperationDefinitions const* Find(std::vector<OperationDefinitions> const& read,
                                 std::string const& service, std::string const& operation) {
  for (auto const& one : read) {
    if (one.serviceName == service && one.operationName == operation) return &one;
  }
  return nullptr;
}

TEST(OperationDefinitions, EveryOperationOfBothPackagesReadsBackEqual) {
  for (OperationTable const* table : Tables()) {
    SCOPED_TRACE(table->package());
    ExpectTable(RoundTrip(*table), *table);
  }
}

// The annotations that travel are the description's: each enumeration's names in declaration
// order, each union case's tag and values.
TEST(OperationDefinitions, TheDescriptionsEnumerationsAndUnionCasesTravel) {
  std::vector<OperationDefinitions> const ti = RoundTrip(TI::Operations());
  std::vector<OperationDefinitions> const shop = RoundTrip(Shop::Operations());
  std::string const providers = "com.ostrel.nox.trusted_infrastructure.kms.providers.";
  std::string const reports = "com.ostrel.nox.trusted_infrastructure.attestation.reports.";
  std::string const items = "com.example.shop.store.items.";
  struct Row {
    std::vector<OperationDefinitions> const* read;
    char const* service;
    char const* operation;
    std::string structure;
    char const* field;
    std::vector<std::string> names;  // of the enumeration field; empty: a union case's values
    char const* tag;
  } const rows[] = {
      {&ti, "kms.providers", "get", providers + "info", "type", {"NATIVE", "TRUST_AUTHORITY"}, ""},
      {&ti, "kms.providers", "get", providers + "info", "native_info", {}, "type"},
      {&ti, "kms.providers", "list", providers + "filter_spec", "types",
       {"NATIVE", "TRUST_AUTHORITY"}, ""},
      {&ti, "attestation.reports", "list", reports + "summary", "reporting_jwt", {}, "type"},
      {&shop, "store.items", "get", items + "item", "kind", {"BOOK", "GAME"}, ""},
      {&shop, "store.items", "list", items + "item", "book", {}, "kind"},
  };
  for (Row const& row : rows) {
    SCOPED_TRACE(row.structure + "." + row.field);
    OperationDefinitions const* operation = Find(*row.read, row.service, row.operation);
    ASSERT_NE(operation, nullptr);
    if (row.names.empty()) {
      auto const* unionCase = operation->annotations.UnionCase(row.structure, row.field);
      ASSERT_NE(unionCase, nullptr);
      EXPECT_EQ(unionCase->tag, row.tag);
      EXPECT_EQ(unionCase->values.size(), 1u);
    } else {
      auto const* names = operation->annotations.EnumerationNames(row.structure, row.field);
      ASSERT_NE(names, nullptr);
      EXPECT_EQ(*names, row.names);
    }
  }
}

// What the package's description says of an operation, a structure, a field and a parameter
// travels with them.
TEST(OperationDefinitions, TheDocumentationOfThePackageTravels) {
  // Every operation of the package is documented.
  for (OperationDefinitions const& operation : RoundTrip(TI::Operations())) {
    EXPECT_FALSE(operation.description.empty()) << operation.serviceName << " "
                                                << operation.operationName;
  }
  std::vector<OperationDefinitions> const shop = RoundTrip(Shop::Operations());
  OperationDefinitions const* get = Find(shop, "store.items", "get");
  ASSERT_NE(get, nullptr);
  EXPECT_EQ(get->description, "The item of that identifier.");
  std::string const item = "com.example.shop.store.items.item";
  auto const* structure = get->annotations.Find(item);
  ASSERT_NE(structure, nullptr);
  EXPECT_EQ(structure->description, "One item of the shop.");
  struct Row {
    std::string structure;
    char const* field;
    char const* description;  // null: none
  } const rows[] = {
      {item, "ships_from", "Where the item is sent from."},
      {item, "tags", nullptr},
      {"com.ostrel.tirn.std.operation_input", "item", "The item's identifier."},
      {"com.example.shop.address", "street", nullptr},
  };
  for (Row const& row : rows) {
    SCOPED_TRACE(row.structure + "." + row.field);
    std::string const* description = get->annotations.FieldDescription(row.structure, row.field);
    if (!row.description) {
      EXPECT_EQ(description, nullptr);
    } else {
      ASSERT_NE(description, nullptr);
      EXPECT_EQ(*description, row.description);
    }
  }
}

// The example of docs/protocol.md is what the shop's first operation reads.
TEST(OperationDefinitions, TheProtocolDocumentShowsTheShopsGet) {
  std::ifstream file(std::string(TIRN_SOURCE_DIR) + "/docs/protocol.md");
  ASSERT_TRUE(file) << "docs/protocol.md";
  std::string line, example;
  bool request = false, inExample = false;
  while (std::getline(file, line)) {
    if (line == "GET /v1/operations") request = true;
    if (inExample && line == "```") break;
    if (inExample) example += line + "\n";
    if (request && line == "```json") inExample = true;
  }
  ASSERT_FALSE(example.empty());
  std::string text;
  Messages messages;
  ASSERT_TRUE(Tirn::Json::EncodeOperations(Shop::Operations(), &text, messages));
  Tirn::Data::DataValuePtr shown, served;
  ASSERT_TRUE(Tirn::Json::Decode(example, nullptr, &shown, messages)) << Failures(messages);
  ASSERT_TRUE(Tirn::Json::Decode(text, nullptr, &served, messages));
  auto const& operations = static_cast<Tirn::Data::CompoundValue const&>(*served).FindField("operations");
  ASSERT_NE(operations, nullptr);
  EXPECT_TRUE(Tirn::Data::Equal(
      shown, static_cast<Tirn::Data::ListValue const&>(**operations).elements().front()))
      << example;
}

// ---- GET /v1/operations from a live server ------------------------------------------------

// A server of `table` whose operations have no implementation: only GET /v1/operations matters.
struct Served : raw_http::Served {
  Served(OperationTable const& table, Tirn::Http::ServerOptions options)
      : raw_http::Served(std::make_shared<Tirn::Core::InProcessApiProvider>(), table,
                         std::move(options)) {}
};

using raw_http::Send;

TEST(OperationsEndpoint, ServesEveryOperationOfItsTable) {
  for (OperationTable const* table : Tables()) {
    SCOPED_TRACE(table->package());
    Served served(*table, {});
    raw_http::Answer const answer = Send(served.port(), raw_http::Get("/v1/operations"));
    ASSERT_EQ(answer.status, 200) << answer.body;
    EXPECT_NE(answer.head.find("Content-Type: application/json"), std::string::npos)
        << answer.head;
    std::vector<OperationDefinitions> read;
    Messages messages;
    ASSERT_TRUE(Tirn::Json::DecodeOperations(answer.body, &read, messages)) << Failures(messages);
    ExpectTable(read, *table);

    raw_http::Answer const post = Send(served.port(), raw_http::Post("/v1/operations", "{}"));
    EXPECT_EQ(post.status, 405);
    EXPECT_NE(post.head.find("Allow: GET"), std::string::npos) << post.head;
  }
}

}  // namespace
