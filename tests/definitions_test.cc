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
    for (auto const& expected : operation.errors)
      EXPECT_TRUE(Tirn::Data::Equal(*error++, expected));
    EXPECT_EQ(back.annotations, *operation.annotations);
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
  auto const& operations =
      static_cast<Tirn::Data::CompoundValue const&>(*served).FindField("operations");
  ASSERT_NE(operations, nullptr);
  EXPECT_TRUE(Tirn::Data::Equal(
      shown, static_cast<Tirn::Data::ListValue const&>(**operations).elements().front()))
      << example;
}

// ---- GET /v1/operations from a live server ------------------------------------------------

using raw_http::Send;

// Read back from the answer, every operation is its table's, and documented; and has
// annotations to lose: the package's describe an enumeration and a union case, the shop's,
// documented fields.
TEST(OperationsEndpoint, ServesEveryOperationOfItsTable) {
  for (OperationTable const* table : Tables()) {
    SCOPED_TRACE(table->package());
    // Its operations have no implementation: only GET /v1/operations matters.
    raw_http::Served served(std::make_shared<Tirn::Core::InProcessApiProvider>(), *table);
    raw_http::Answer const answer = Send(served.port(), raw_http::Get("/v1/operations"));
    ASSERT_EQ(answer.status, 200) << answer.body;
    EXPECT_NE(answer.head.find("Content-Type: application/json"), std::string::npos) << answer.head;
    std::vector<OperationDefinitions> read;
    Messages messages;
    ASSERT_TRUE(Tirn::Json::DecodeOperations(answer.body, &read, messages)) << Failures(messages);
    ExpectTable(read, *table);
    for (OperationDefinitions const& operation : read) {
      EXPECT_FALSE(operation.description.empty()) << operation.operationName;
    }
  }
  std::string const info = "com.ostrel.nox.trusted_infrastructure.kms.providers.info";
  auto const& get = *TI::Operations().FindByService("kms.providers", "get")->annotations;
  ASSERT_TRUE(get.EnumerationNames(info, "type"));
  ASSERT_TRUE(get.UnionCase(info, "native_info"));
  auto const& shop = *Shop::Operations().FindByService("store.items", "get")->annotations;
  ASSERT_TRUE(shop.FieldDescription("com.example.shop.store.items.item", "ships_from"));
  // (A POST there is refused 405 as at /v1/openapi.json: OpenApiServed.)
}

}  // namespace
