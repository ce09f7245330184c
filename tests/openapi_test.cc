// The OpenAPI document over a live Tirn::Http::Server on 127.0.0.1: the operation table's
// document at GET /v1/openapi.json, open or behind the authenticator (as GET /v1/operations
// is); and the merge of several packages' documents. (That the document lists the status and error
// of every answer the server gives is checked by openapi.answers, over the answers the HTTP tests
// record.)
#include <gtest/gtest.h>

#include <list>
#include <memory>
#include <string>
#include <vector>

#include "com/ostrel/nox/trusted_infrastructure/operations.h"
#include "tests/convert.h"
#include "tests/raw_http.h"
#include "tirn/http/openapi.h"
#include "tirn/json/json.h"
#include "tirn/runtime/call/in_process_provider.h"
#include "tirn/runtime/value/data_value.h"

namespace {

namespace TI = Com::Ostrel::Nox::TrustedInfrastructure;
using raw_http::Answer;
using raw_http::Get;
using raw_http::Post;
using raw_http::Send;
using Tirn::Data::CompoundValue;
using Tirn::Data::DataValuePtr;

constexpr char kProviders[] = "/v1/com.ostrel.nox.trusted_infrastructure.kms.providers/";
constexpr char kToken[] = "s3cret";

// ---- A server -----------------------------------------------------------------------------

// A server of `table` (the package's by default) whose operations have no implementation:
// only its GET endpoints, and its authenticator, matter here.
struct Served : raw_http::Served {
  explicit Served(Tirn::Http::ServerOptions options,
                  Tirn::Core::OperationTable const& table = TI::Operations())
      : raw_http::Served(std::make_shared<Tirn::Core::InProcessApiProvider>(), table,
                         std::move(options)) {}
};

// ---- Reading JSON --------------------------------------------------------------------------

DataValuePtr Parse(std::string const& text) {
  DataValuePtr value;
  std::list<Tirn::BaseMessage> messages;
  EXPECT_TRUE(Tirn::Json::Decode(text, nullptr, &value, messages))
      << (messages.empty() ? "" : messages.front().defaultMessage());
  return value;
}

// The value at `steps` below `value`, or null.
DataValuePtr At(DataValuePtr value, std::vector<std::string> const& steps) {
  for (std::string const& step : steps) value = test_convert::FieldOf(value, step);
  return value;
}

// The number of members of an object.
std::size_t Size(DataValuePtr const& value) {
  auto const* object = dynamic_cast<CompoundValue const*>(value.get());
  return object ? object->fields().size() : 0;
}

Tirn::Http::Authenticator TokenAuthenticator() {
  return [](Tirn::Http::Credentials const& credentials,
            Tirn::Core::SecurityContextWrappedEntry& identity) {
    if (credentials.bearerToken != kToken) return false;
    identity.text = "alice";
    return true;
  };
}

// ---- Tests ---------------------------------------------------------------------------------

TEST(OpenApiServed, TheServerServesItsOperationTablesDocument) {
  std::string const& document = TI::Operations().openApiDocument();
  EXPECT_EQ(document, TI::OpenApiDocument());

  Served served({});
  Answer const answer = Send(served.port(), Get("/v1/openapi.json"));
  ASSERT_EQ(answer.status, 200) << answer.body;
  EXPECT_NE(answer.head.find("Content-Type: application/json"), std::string::npos) << answer.head;
  // What the document holds: generator_test.py's OpenApiDocument, and the validators and the
  // client generated from it (openapi.validate, openapi.typescript_client).
  EXPECT_EQ(answer.body, document);

  Answer const post = Send(served.port(), Post("/v1/openapi.json", "{}"));
  EXPECT_EQ(post.status, 405);
  EXPECT_NE(post.head.find("Allow: GET"), std::string::npos) << post.head;
  // A table without a document has nothing to serve there: the path is not served (404).
  Tirn::Core::OperationTable const bare(TI::Operations().package(), TI::Operations().operations());
  Served without({}, bare);
  EXPECT_EQ(Send(without.port(), Get("/v1/openapi.json")).status, 404);
}

// GET /v1/openapi.json and GET /v1/operations need a token only when configured so; the
// operations themselves stay behind the authenticator either way.
TEST(OpenApiServed, TheDocumentsNeedATokenOnlyWhenConfiguredSo) {
  struct Endpoint {
    char const* path;
    bool Tirn::Http::ServerOptions::*open;
    std::string body;  // what a served answer begins with
  } const endpoints[] = {
      {"/v1/openapi.json", &Tirn::Http::ServerOptions::openApiOpen, TI::OpenApiDocument()},
      {"/v1/operations", &Tirn::Http::ServerOptions::operationsOpen, R"({"operations":[)"},
  };
  struct Row {
    char const* name;
    bool open;
    char const* authorization;
    int status;
  };
  // (Without an authenticator both are served: TheServerServesItsOperationTablesDocument and
  // OperationsEndpoint.ServesEveryOperationOfItsTable.)
  Row const rows[] = {
      {"open by default, no token", true, "", 200},
      {"closed, no token", false, "", 401},
      {"closed, wrong token", false, "Authorization: Bearer nope\r\n", 401},
      {"closed, good token", false, "Authorization: Bearer s3cret\r\n", 200},
  };
  for (Endpoint const& endpoint : endpoints) {
    for (Row const& row : rows) {
      SCOPED_TRACE(std::string(endpoint.path) + ", " + row.name);
      Tirn::Http::ServerOptions options;
      options.authenticator = TokenAuthenticator();
      options.*endpoint.open = row.open;
      Served served(options);
      Answer const answer = Send(served.port(), Get(endpoint.path, row.authorization));
      EXPECT_EQ(answer.status, row.status) << answer.body;
      EXPECT_EQ(answer.status == 200, answer.body.rfind(endpoint.body, 0) == 0) << answer.body;
      if (row.authorization[0] == '\0') {
        EXPECT_EQ(Send(served.port(), Post(std::string(kProviders) + "list", "{}")).status, 401);
      }
    }
  }
}

// A second package's document, as small as the merge needs: one operation, one structure of
// its own and one standard error it shares with the first.
std::string ShopDocument(std::string const& errorSchema, std::string const& path) {
  return R"({"openapi":"3.1.0","info":{"title":"com.example.shop","version":"v1"},)"
         R"("tags":[{"name":"store.items"}],"paths":{")" +
         path +
         R"(":{"post":{"responses":{"200":{"description":"x"}}}}},)"
         R"("components":{"schemas":{"com.example.shop.store.items.item":{"type":"object"},)"
         R"("com.ostrel.tirn.std.errors.not_found":)" +
         errorSchema + "}}}";
}

TEST(OpenApiMerge, DocumentsOfSeveralPackagesMergeIntoOne) {
  std::string const& own = TI::OpenApiDocument();
  DataValuePtr const ownParsed = Parse(own);
  std::string sharedError;
  std::list<Tirn::BaseMessage> messages;
  ASSERT_TRUE(Tirn::Json::Encode(
      At(ownParsed, {"components", "schemas", "com.ostrel.tirn.std.errors.not_found"}), nullptr,
      &sharedError, messages));
  std::string const shopPath = "/v1/com.example.shop.store.items/get";
  std::string const shop = ShopDocument(sharedError, shopPath);

  std::string merged, error;
  ASSERT_TRUE(Tirn::Http::MergeOpenApiDocuments({own, shop}, &merged, &error)) << error;
  DataValuePtr const parsed = Parse(merged);
  EXPECT_EQ(Size(At(parsed, {"paths"})), Size(At(ownParsed, {"paths"})) + 1);
  EXPECT_TRUE(At(parsed, {"paths", shopPath, "post"}));
  EXPECT_TRUE(At(parsed, {"paths", std::string(kProviders) + "get", "post"}));
  // The shared error schema once, the shop's structure beside the package's.
  EXPECT_EQ(Size(At(parsed, {"components", "schemas"})),
            Size(At(ownParsed, {"components", "schemas"})) + 1);
  EXPECT_TRUE(At(parsed, {"components", "schemas", "com.example.shop.store.items.item"}));
  EXPECT_EQ(Tirn::Data::ToDebugString(At(parsed, {"info", "title"})),
            "\"com.ostrel.nox.trusted_infrastructure, com.example.shop\"");

  // A server of both serves the merge.
  Tirn::Http::ServerOptions options;
  options.openApiDocument = merged;
  Served served(options);
  EXPECT_EQ(Send(served.port(), Get("/v1/openapi.json")).body, merged);
}

TEST(OpenApiMerge, ConflictsAndTextsThatAreNoDocumentsAreRefused) {
  std::string const& own = TI::OpenApiDocument();
  struct Row {
    char const* name;
    std::vector<std::string> documents;
    char const* reason;
  };
  Row const rows[] = {
      {"a shared error defined otherwise",
       {own, ShopDocument(R"({"type":"string"})", "/v1/com.example.shop.store.items/get")},
       "com.ostrel.tirn.std.errors.not_found"},
      {"a path defined twice, otherwise",
       {own, ShopDocument("{}", std::string(kProviders) + "get")},
       "/v1/com.ostrel.nox.trusted_infrastructure.kms.providers/get"},
      {"not JSON", {own, "{"}, "document 2"},
      {"not an object", {"[]", own}, "document 1"},
      {"nothing to merge", {}, "no document"},
  };
  for (Row const& row : rows) {
    SCOPED_TRACE(row.name);
    std::string merged = "untouched", error;
    EXPECT_FALSE(Tirn::Http::MergeOpenApiDocuments(row.documents, &merged, &error));
    EXPECT_NE(error.find(row.reason), std::string::npos) << error;
  }
}

}  // namespace
