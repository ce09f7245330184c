#include "apps/reference/reference_server.h"

#include <gtest/gtest.h>

#include <functional>
#include <iterator>
#include <list>
#include <set>
#include <string>
#include <vector>

#include "tirn/runtime/value/wire_shapes.h"
#include "tests/reference_services.h"

namespace Reference {
namespace {

namespace Providers = Ti::Kms::ProvidersSvc;
namespace KeyServers = Ti::Kms::ServicesSvc;
namespace Attestation = Ti::Attestation::ServicesSvc;
namespace Reports = Ti::Attestation::ReportsSvc;

using Testing::Call;

class ReferenceServerTest : public ::testing::Test, public Testing::Services {};

// A trust authority is available only once a key server exists; until then its summary says
// why.
TEST_F(ReferenceServerTest, ProviderFiltersAreConjunctionsAndAvailabilityNeedsAKeyServer) {
  ASSERT_EQ(CreateProvider("native", "key-1"), "ok");
  ASSERT_EQ(CreateProvider("authority"), "ok");
  using Types = std::set<Providers::ProviderType>;
  struct Case {
    char const* name;
    boost::optional<std::set<std::string>> providers;
    boost::optional<bool> available;
    boost::optional<Types> types;
    std::vector<std::string> expected;
  };
  Case const cases[] = {
      {"no field set", boost::none, boost::none, boost::none, {"authority", "native"}},
      {"one provider", std::set<std::string>{"native"}, boost::none, boost::none, {"native"}},
      {"empty set", std::set<std::string>{}, boost::none, boost::none, {}},
      {"unavailable without key server", boost::none, false, boost::none, {"authority"}},
      {"type", boost::none, boost::none, Types{Providers::ProviderType::NATIVE}, {"native"}},
      {"all must hold", std::set<std::string>{"native", "authority"}, true,
       Types{Providers::ProviderType::TRUST_AUTHORITY}, {}},
  };
  auto const ids = [&](Case const& c) {
    auto filter = std::make_shared<Providers::FilterSpec>();
    filter->providers = c.providers;
    filter->available = c.available;
    filter->types = c.types;
    return ProviderIds(filter);
  };
  for (auto const& c : cases) EXPECT_EQ(ids(c), c.expected) << c.name;
  auto summaries = Call<Providers::ListMethod::Result>(
      [&](auto const& r) { providers->List(nullptr, nullptr, r); });
  ASSERT_EQ(summaries.value->size(), 2u);
  auto const& authority = *summaries.value->front();
  EXPECT_FALSE(authority.available);
  ASSERT_EQ(authority.details.size(), 1u);
  EXPECT_EQ(authority.details.front()->id, "reference.provider.no.key.server");

  ASSERT_TRUE(CreateKeyServer("kms.example.org", 5696).value);
  EXPECT_EQ(ids({"available with a key server", boost::none, true, boost::none, {}}),
            (std::vector<std::string>{"authority", "native"}));
}

TEST_F(ReferenceServerTest, AddressFiltersMatchHostAndListedPort) {
  std::string const a = *CreateKeyServer("a.example.org", 1, "blue").value;
  std::string const b = *CreateKeyServer("b.example.org", boost::none, "red").value;
  struct Case {
    char const* name;
    std::vector<std::pair<std::string, boost::optional<long long>>> addresses;
    boost::optional<std::set<std::string>> groups;
    std::vector<std::string> expected;
  };
  Case const cases[] = {
      {"host only", {{"a.example.org", boost::none}}, boost::none, {a}},
      {"host and port", {{"a.example.org", 1}}, boost::none, {a}},
      {"other port", {{"a.example.org", 2}}, boost::none, {}},
      {"port wanted, none set", {{"b.example.org", 1}}, boost::none, {}},
      {"either address", {{"a.example.org", 1}, {"b.example.org", boost::none}}, boost::none,
       {a, b}},
      {"and the group", {{"a.example.org", 1}, {"b.example.org", boost::none}},
       std::set<std::string>{"red"}, {b}},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.name);
    auto filter = std::make_shared<KeyServers::FilterSpec>();
    filter->address.emplace();
    for (auto const& address : c.addresses) {
      auto listed = std::make_shared<Ti::NetworkAddress>();
      listed->hostname = address.first;
      listed->port = address.second;
      filter->address->push_back(listed);
    }
    filter->group = c.groups;
    EXPECT_EQ(KeyServerIds(filter), c.expected);
  }
}

// A duplicate, a missing record and native settings on a trust authority are refused in
// StoreTest.RecordsGoThroughTheirWholeLife (sqlite_store_test), on every store.
TEST_F(ReferenceServerTest, DeclaredErrorsForBadRequests) {
  struct Case {
    char const* name;
    std::string outcome;
    std::string expected;
  };
  std::string const invalid = "com.ostrel.tirn.std.errors.invalid_argument reference.";
  Case const cases[] = {
      {"empty provider id", CreateProvider(""), invalid + "provider.id.empty"},
      {"empty key id", CreateProvider("native", ""), invalid + "provider.key.id.empty"},
      {"empty host", CreateKeyServer("", 1).Describe(), invalid + "address.host.empty"},
      {"port 0", CreateKeyServer("h", 0).Describe(), invalid + "address.port.range"},
      {"port 65536", CreateKeyServer("h", 65536).Describe(), invalid + "address.port.range"},
  };
  for (auto const& c : cases) EXPECT_EQ(c.outcome, c.expected) << c.name;
  // Failed requests changed nothing.
  EXPECT_TRUE(ProviderIds().empty());
  EXPECT_TRUE(KeyServerIds().empty());
}

// A C++ caller can hand the services any bytes; a record that a store could never hand back
// as text is refused before it is stored, naming the field.
TEST_F(ReferenceServerTest, StringsThatAreNotUtf8AreRefusedNamingTheField) {
  ASSERT_EQ(CreateProvider("native", "key-1"), "ok");
  namespace Data = Tirn::Data;
  // Fields a record carries without the server knowing them, as a newer client sends them.
  auto const unknown = [](std::string const& name, Data::DataValuePtr value) {
    auto fields = Data::StructValue::GetInstance("unknownFields");
    fields->SetField(name, std::move(value));
    return fields;
  };
  auto const text = [](std::string const& bytes) { return Data::DataValue::Create(bytes); };
  // The error of a call made through CreateProvider or UpdateKeyId.
  auto const error = [&](std::string const&) { return lastError; };
  using Change = std::function<void(Ti::NetworkAddress&, Ti::X509CertChain&, std::string&)>;
  // A key server after `change`. (Attestation services are made by the same code: the
  // services' template for both kinds.)
  auto const server = [&](Change const& change) {
    auto address = std::make_shared<Ti::NetworkAddress>();
    address->hostname = "h.example";
    auto chain = std::make_shared<Ti::X509CertChain>();
    chain->cert_chain = {"root", "leaf"};
    auto spec = std::make_shared<KeyServers::CreateSpec>();
    spec->group = "g";
    change(*address, *chain, spec->group);
    spec->address = address;
    spec->trusted_CA = chain;
    return Call<std::string>([&](auto const& r) { keyServers->Create(spec, nullptr, r); }).error;
  };
  std::string const stray = "ab\x80", overlong = "\xc0\xaf", surrogate = "\xed\xa0\x80",
                    cut = "x\xe2\x82", past = "\xf4\x90\x80\x80";
  struct Case {
    char const* field;  // named in the refusal; none: accepted
    Data::ErrorValuePtr error;
  } const cases[] = {
      {"spec.provider", error(CreateProvider(stray, "k"))},
      {"spec.native_spec.key_id", error(CreateProvider("p", overlong.c_str()))},
      {"spec.native_spec.key_id", error(UpdateKeyId("native", surrogate))},
      {"spec.address.hostname", server([&](auto& a, auto&, auto&) { a.hostname = cut; })},
      {"spec.group", server([&](auto&, auto&, auto& group) { group = past; })},
      {"spec.trusted_CA.cert_chain[1]",
       server([&](auto&, auto& c, auto&) { c.cert_chain.back() += stray; })},
      {"spec.address.extra.tags[1]", server([&](auto& a, auto&, auto&) {
         auto tags = Data::ListValue::GetInstance(Data::ListValue::LIST);
         tags->Append(text("fine"));
         tags->Append(Data::DataValue::Create(Tirn::SecretString(cut)));
         a.unknownFields = unknown("extra", unknown("tags", tags));
       })},
      {"spec.trusted_CA (a field name)",
       server([&](auto&, auto& c, auto&) { c.unknownFields = unknown(stray, text("x")); })},
      // Well-formed sequences of every length are kept.
      {nullptr, server([&](auto& a, auto&, auto& group) {
         a.hostname = "b\xc3\xbc" "cher.example";
         group = "\xe2\x82\xac \xf0\x9f\x94\x91";
         a.unknownFields = unknown("\xc3\xa9t\xc3\xa9", text("\xf4\x8f\xbf\xbf"));
       })},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.field ? c.field : "accepted");
    std::string said = "ok";
    if (c.error) {
      said = c.error->name();
      for (auto const& message : c.error->GetMessages()) {
        said += " " + message.id() + (message.args().empty() ? "" : " " + message.args().front());
      }
    }
    EXPECT_EQ(said, c.field ? std::string("com.ostrel.tirn.std.errors.invalid_argument "
                                          "reference.text.not.utf8 ") + c.field
                            : "ok");
  }
  EXPECT_EQ(ProviderIds(), std::vector<std::string>{"native"});
  EXPECT_EQ(KeyServerIds().size(), 1u);  // the one accepted
}

TEST(ReferenceServerStore, AFailingStoreAnswersInternalErrorsAndIsLogged) {
  std::vector<std::string> logged;
  Testing::Services services(std::make_shared<Testing::FailingStore>(),
                             [&logged](std::string const& line) { logged.push_back(line); });
  auto spec = std::make_shared<Providers::CreateSpec>();
  spec->provider = "p";
  std::string const failed =
      "com.ostrel.tirn.std.errors.internal_server_error reference.store.failed";
  struct Case {
    char const* name;
    Tirn::Data::ErrorValuePtr error;
  } const cases[] = {
      {"kms.providers.create",
       Call<Tirn::Void>([&](auto const& r) { services.providers->Create(spec, nullptr, r); })
           .error},
      {"kms.providers.get", services.GetProvider("p").error},
      {"attestation.services.delete",
       Call<Tirn::Void>([&](auto const& r) { services.attestation->Delete("a", nullptr, r); })
           .error},
      {"attestation.reports.list", Call<Reports::ListMethod::Result>([&](auto const& r) {
                                     services.reports->List(nullptr, r);
                                   }).error},
  };
  ASSERT_EQ(logged.size(), std::size(cases));
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].name);
    ASSERT_TRUE(cases[i].error);
    auto const messages = cases[i].error->GetMessages();
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(cases[i].error->name() + " " + messages.front().id(), failed);
    EXPECT_EQ(messages.front().args(), std::list<std::string>{"database or disk is full"});
    EXPECT_EQ(logged[i], std::string(cases[i].name) + ": database or disk is full");
  }
}

// The report is an unsigned JWT (its signature empty) whose claims name the service and its
// group, quoted as JSON: {"iss":"reference-server","sub":"attestation-service-1",
// "group":"prod\"uction"} after the header {"alg":"none","typ":"JWT"}.
TEST_F(ReferenceServerTest, OneUnsignedJwtReportPerAttestationService) {
  auto spec = ServerSpec<Attestation::CreateSpec>("attest.example.org", 443, "prod\"uction");
  auto created = Call<std::string>([&](auto const& r) { attestation->Create(spec, nullptr, r); });
  ASSERT_TRUE(created.value);
  auto listed =
      Call<Reports::ListMethod::Result>([&](auto const& r) { reports->List(nullptr, r); });
  ASSERT_EQ(listed.value->size(), 1u);
  auto const& report = *listed.value->front();
  EXPECT_EQ(report.type, Reports::ReportType::REPORTING_JWT);
  ASSERT_TRUE(report.reporting_jwt);
  EXPECT_EQ(report.reporting_jwt->service, *created.value);
  EXPECT_EQ(report.reporting_jwt->jwt,
            "eyJhbGciOiJub25lIiwidHlwIjoiSldUIn0."
            "eyJpc3MiOiJyZWZlcmVuY2Utc2VydmVyIiwic3ViIjoiYXR0ZXN0YXRpb24tc2VydmljZS0xIiwiZ3JvdXAi"
            "OiJwcm9kXCJ1Y3Rpb24ifQ.");
}

}  // namespace
}  // namespace Reference
