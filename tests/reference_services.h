// The reference services over a record store (in memory unless one is given), bound to an
// in-process provider and called through the generated stubs; the tests of the services and
// of the stores share them. The in-process provider answers before a call returns.
//
//   Reference::Testing::Services services(store);
//   EXPECT_EQ(services.CreateProvider("vault", "key-1"), "ok");
//   EXPECT_EQ(services.ProviderIds(), std::vector<std::string>{"vault"});
#ifndef TESTS_REFERENCE_SERVICES_H_
#define TESTS_REFERENCE_SERVICES_H_

#include <functional>
#include <list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "apps/reference/record_store.h"
#include "apps/reference/reference_server.h"
#include "apps/reference/test_calls.h"
#include "tirn/stub/async_api_stub.h"

namespace Reference {
namespace Testing {

namespace ProvidersSvc = Ti::Kms::ProvidersSvc;
namespace KeyServersSvc = Ti::Kms::ServicesSvc;

struct Services {
  explicit Services(std::shared_ptr<RecordStore> store = std::make_shared<MemoryRecordStore>(),
                    StoreLog log = {})
      : server(std::move(store), std::move(log)) {
    server.RegisterWith(*provider);
    auto apiStub = std::make_shared<Tirn::Stub::AsyncApiStub>(
        provider, std::make_shared<Tirn::Core::AsyncActivation>());
    providers = std::make_unique<ProvidersSvc::AsyncServiceStub>(apiStub);
    keyServers = std::make_unique<KeyServersSvc::AsyncServiceStub>(apiStub);
    attestation = std::make_unique<Ti::Attestation::ServicesSvc::AsyncServiceStub>(apiStub);
    reports = std::make_unique<Ti::Attestation::ReportsSvc::AsyncServiceStub>(apiStub);
  }

  // Calls from now on carry the idempotency key `key` (none when empty), as `caller`.
  void UseKey(std::string const& key, std::string const& caller = "") {
    activation.reset();
    if (key.empty()) return;
    activation = std::make_shared<Tirn::Core::AsyncActivation>();
    activation->executionContext = std::make_shared<Tirn::Core::ExecutionContext>();
    activation->executionContext->applicationData[Tirn::Core::ContextKeys::kIdempotencyKey] = {
        key, boost::none};
    if (!caller.empty()) {
      Tirn::Core::SecurityContextWrappedEntry identity;
      identity.text = caller;
      activation->executionContext->securityContext[Tirn::Core::ContextKeys::kCaller] = identity;
    }
  }

  // The outcome's description (Outcome::Describe); its error is kept in lastError.
  template <class T>
  std::string Described(Outcome<T> const& outcome) {
    lastError = outcome.error;
    return outcome.Describe();
  }

  // A trust authority, or with `keyId` a native provider whose key-derivation key is `kdk`.
  std::string CreateProvider(std::string const& id, char const* keyId = nullptr,
                             std::string const& kdk = "kdk-secret") {
    auto spec = std::make_shared<ProvidersSvc::CreateSpec>();
    spec->provider = id;
    if (keyId) {
      auto native = std::make_shared<ProvidersSvc::NativeProviderCreateSpec>();
      native->key_id = keyId;
      native->key_derivation_key = Tirn::SecretString(kdk);
      spec->native_spec = native;
    }
    return Described(
        Call<Tirn::Void>([&](auto const& r) { providers->Create(spec, activation, r); }));
  }

  std::string UpdateKeyId(std::string const& id, std::string const& keyId) {
    auto spec = std::make_shared<ProvidersSvc::UpdateSpec>();
    auto native = std::make_shared<ProvidersSvc::NativeProviderUpdateSpec>();
    native->key_id = keyId;
    spec->native_spec = native;
    return Described(
        Call<Tirn::Void>([&](auto const& r) { providers->Update(id, spec, activation, r); }));
  }

  std::string DeleteProvider(std::string const& id) {
    return Call<Tirn::Void>([&](auto const& r) { providers->Delete(id, activation, r); })
        .Describe();
  }

  std::string DeleteKeyServer(std::string const& id) {
    return Call<Tirn::Void>([&](auto const& r) { keyServers->Delete(id, activation, r); })
        .Describe();
  }

  Outcome<std::shared_ptr<ProvidersSvc::Info const>> GetProvider(std::string const& id) {
    return Call<std::shared_ptr<ProvidersSvc::Info const>>(
        [&](auto const& r) { providers->Get(id, nullptr, r); });
  }

  // The input that creates a key server or an attestation service.
  template <class Spec>
  static std::shared_ptr<Spec> ServerSpec(std::string host, boost::optional<long long> port,
                                          std::string group, std::list<std::string> chain = {}) {
    auto spec = std::make_shared<Spec>();
    auto address = std::make_shared<Ti::NetworkAddress>();
    address->hostname = std::move(host);
    address->port = port;
    spec->address = address;
    auto ca = std::make_shared<Ti::X509CertChain>();
    ca->cert_chain.assign(chain.begin(), chain.end());
    spec->trusted_CA = ca;
    spec->group = std::move(group);
    return spec;
  }

  // `zone`, when set, travels as a field of the address this server does not know.
  Outcome<std::string> CreateKeyServer(std::string host, boost::optional<long long> port,
                                       std::string group = "g", std::list<std::string> chain = {},
                                       char const* zone = nullptr) {
    auto spec = ServerSpec<KeyServersSvc::CreateSpec>(std::move(host), port, std::move(group),
                                                      std::move(chain));
    if (zone) {
      auto address = std::make_shared<Ti::NetworkAddress>(*spec->address);
      address->unknownFields = Tirn::Data::StructValue::GetInstance(
          "com.ostrel.nox.trusted_infrastructure.network_address");
      address->unknownFields->SetField("zone", Tirn::Data::DataValue::Create<std::string>(zone));
      spec->address = address;
    }
    return Call<std::string>([&](auto const& r) { keyServers->Create(spec, activation, r); });
  }

  // The identifiers listed, in the order of the answer.
  std::vector<std::string> ProviderIds(
      std::shared_ptr<ProvidersSvc::FilterSpec const> filter = nullptr) {
    auto list = Call<ProvidersSvc::ListMethod::Result>(
        [&](auto const& r) { providers->List(filter, nullptr, r); });
    std::vector<std::string> ids;
    if (list.value) {
      for (auto const& summary : *list.value) ids.push_back(summary->provider);
    }
    return ids;
  }

  std::vector<std::string> KeyServerIds(
      std::shared_ptr<KeyServersSvc::FilterSpec const> filter = nullptr) {
    auto list = Call<KeyServersSvc::ListMethod::Result>(
        [&](auto const& r) { keyServers->List(filter, nullptr, r); });
    std::vector<std::string> ids;
    if (list.value) {
      for (auto const& summary : *list.value) ids.push_back(summary->service);
    }
    return ids;
  }

  // The error of the last call that CreateProvider or UpdateKeyId made; null: none.
  Tirn::Data::ErrorValuePtr lastError;
  // What the helpers' calls carry (UseKey); null: nothing.
  std::shared_ptr<Tirn::Core::AsyncActivation> activation;
  std::shared_ptr<Tirn::Core::InProcessApiProvider> provider =
      std::make_shared<Tirn::Core::InProcessApiProvider>();
  ReferenceServer server;
  std::unique_ptr<ProvidersSvc::AsyncServiceStub> providers;
  std::unique_ptr<KeyServersSvc::AsyncServiceStub> keyServers;
  std::unique_ptr<Ti::Attestation::ServicesSvc::AsyncServiceStub> attestation;
  std::unique_ptr<Ti::Attestation::ReportsSvc::AsyncServiceStub> reports;
};

// A store whose every operation fails, as a full disk would make it; a test overrides what it
// needs otherwise.
class FailingStore : public RecordStore {
 public:
  StoreStatus ListProviders(std::vector<ProviderRecord>&, std::string& error, Unseal) override {
    return Fail(error);
  }
  StoreStatus GetProvider(std::string const&, ProviderRecord&, std::string& error,
                          Unseal) override {
    return Fail(error);
  }
  StoreStatus CreateProvider(ProviderRecord const&, std::string& error, KeyedWrite*) override {
    return Fail(error);
  }
  StoreStatus UpdateProvider(std::string const&, std::function<bool(ProviderRecord&)> const&,
                             std::string& error, KeyedWrite*) override {
    return Fail(error);
  }
  StoreStatus DeleteProvider(std::string const&, std::string& error, KeyedWrite*) override {
    return Fail(error);
  }
  StoreStatus ListServers(ServerKind, std::vector<ServerRecord>&, std::string& error) override {
    return Fail(error);
  }
  StoreStatus GetServer(ServerKind, std::string const&, ServerRecord&,
                        std::string& error) override {
    return Fail(error);
  }
  StoreStatus CreateServer(ServerKind, std::string const&, ServerRecord&, std::string& error,
                           KeyedWrite*) override {
    return Fail(error);
  }
  StoreStatus DeleteServer(ServerKind, std::string const&, std::string& error,
                           KeyedWrite*) override {
    return Fail(error);
  }

 private:
  static StoreStatus Fail(std::string& error) {
    error = "database or disk is full";
    return StoreStatus::kFailed;
  }
};

}  // namespace Testing
}  // namespace Reference

#endif  // TESTS_REFERENCE_SERVICES_H_
