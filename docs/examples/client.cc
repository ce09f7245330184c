// A client of the trusted-infrastructure package, as the guide shows it (docs/guide.md,
// "Writing a client"): the reference server of examples/ is bound to an in-process provider,
// and everything else goes through the generated stubs.
// [client-includes]
#include <atomic>
#include <cstdio>
#include <list>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "com/ostrel/nox/trusted_infrastructure/trusted_infrastructure.h"
#include "apps/reference/reference_server.h"
#include "tirn/message/message_ids.h"
#include "tirn/runtime/call/in_process_provider.h"
#include "tirn/runtime/value/build.h"
#include "tirn/runtime/value/wire_shapes.h"
#include "tirn/stub/async_api_stub.h"
// [client-includes]

namespace {

int failures = 0;

void Check(bool ok, char const* what, int line) {
  if (ok) return;
  std::fprintf(stderr, "client.cc:%d: check failed: %s\n", line, what);
  ++failures;
}
#define CHECK(condition) Check((condition), #condition, __LINE__)

// [client-names]
namespace Ti = Com::Ostrel::Nox::TrustedInfrastructure;
namespace Providers = Ti::Kms::ProvidersSvc;
namespace KeyServers = Ti::Kms::ServicesSvc;
// [client-names]

// Counts the calls that reach the provider, then passes them on.
class CountingProvider : public Tirn::Core::AsyncApiProvider {
 public:
  explicit CountingProvider(std::shared_ptr<Tirn::Core::AsyncApiProvider> next)
      : next_(std::move(next)) {}
  void Invoke(std::shared_ptr<Tirn::Core::MethodIdentifier const> const& method,
              Tirn::Data::DataValuePtr const& input,
              std::shared_ptr<Tirn::Core::AsyncActivation> const& activation,
              Tirn::Core::AsyncApiResultCb const& resultCb) override {
    ++calls;
    next_->Invoke(method, input, activation, resultCb);
  }
  std::atomic<int> calls{0};

 private:
  std::shared_ptr<Tirn::Core::AsyncApiProvider> next_;
};

}  // namespace

int main() {
  auto inProcess = std::make_shared<Tirn::Core::InProcessApiProvider>();
  Reference::ReferenceServer server;
  server.RegisterWith(*inProcess);
  auto counting = std::make_shared<CountingProvider>(inProcess);
  std::shared_ptr<Tirn::Core::AsyncApiProvider> provider = counting;

  // [client-setup]
  // Copied for every call made without an activation of its own.
  auto templateActivation = std::make_shared<Tirn::Core::AsyncActivation>();
  templateActivation->executionContext = std::make_shared<Tirn::Core::ExecutionContext>();

  // One connection, shared by the stubs of every service.
  auto apiStub = std::make_shared<Tirn::Stub::AsyncApiStub>(provider, templateActivation);
  Providers::AsyncServiceStub providers(apiStub);
  KeyServers::AsyncServiceStub keyServers(apiStub);
  // [client-setup]

  // [client-call]
  // #include "tirn/runtime/value/build.h": a structure made and filled in one expression.
  auto spec = Tirn::Build<Providers::CreateSpec>([](auto& spec) {
    spec.provider = "vault-native";
    spec.native_spec = Tirn::Build<Providers::NativeProviderCreateSpec>([](auto& native) {
      native.key_id = "key-1";
      native.key_derivation_key = Tirn::SecretString("correct horse battery staple");
    });
  });

  bool created = false;
  providers.Create(spec, /*activation=*/nullptr,
                   Providers::CreateMethod::ResultCbType(
                       [&](boost::optional<Tirn::Void> const& done,
                           Tirn::Data::ErrorValuePtr const& error, Tirn::Progress const& progress) {
                         if (!progress.IsFinal()) return;  // a progress report
                         created = done && !error;
                       }));
  // The in-process provider serves the call on this thread: `created` is already set.
  // [client-call]
  CHECK(created);

  std::string keyId;
  providers.Get("vault-native", nullptr,
                Providers::GetMethod::ResultCbType(
                    [&](boost::optional<std::shared_ptr<Providers::Info const>> const& info,
                        Tirn::Data::ErrorValuePtr const& error, Tirn::Progress const&) {
                      if (error) {
                        std::printf("error %s\n", error->name().c_str());
                      } else if (info && (*info)->native_info) {
                        keyId = (*info)->native_info->key_id;  // "key-1"
                      }
                    }));
  CHECK(keyId == "key-1");

  // [client-dispatch]
  using GetHandle = Providers::GetMethod::ResultCbType;
  int plainCalls = 0;
  int nativeCalls = 0;
  GetHandle both{GetHandle::Plain([&](auto const&, auto const&, auto const&) { ++plainCalls; }),
                 GetHandle::WithNativeError(
                     [&](auto const&, auto const&, auto const&, auto const&) { ++nativeCalls; })};
  providers.Get("vault-native", nullptr, both);  // plainCalls == 1, nativeCalls == 0
  // [client-dispatch]
  CHECK(plainCalls == 1);
  CHECK(nativeCalls == 0);

  int callsBefore = counting->calls;
  // [client-input-failure]
  std::string errorName;
  std::list<Tirn::BaseMessage> why;
  keyServers.Create(/*spec=*/nullptr, nullptr,  // a required structure, left unset
                    KeyServers::CreateMethod::ResultCbType(
                        [&](boost::optional<std::string> const&,
                            Tirn::Data::ErrorValuePtr const& error, Tirn::Progress const&) {
                          // invalid_argument carrying "tirn.data.unset.non.optional.field",
                          // then "tirn.data.at.path" naming the field: "spec"
                          errorName = error->name();
                          why = error->GetMessages();
                        }));
  // [client-input-failure]
  CHECK(errorName == Tirn::Data::Wire::kInvalidArgumentError);
  CHECK(why.size() == 2);
  CHECK(why.front().id() == Tirn::MessageIds::kUnsetNonOptionalField);
  CHECK(why.front().args() ==
        std::list<std::string>{"com.ostrel.nox.trusted_infrastructure.kms.services.create_spec"});
  CHECK(why.back().id() == Tirn::MessageIds::kAtPath);
  CHECK(why.back().args() == std::list<std::string>{"spec"});
  CHECK(counting->calls == callsBefore);

  // [client-no-activation]
  auto bareStub = std::make_shared<Tirn::Stub::AsyncApiStub>(provider);  // no template
  Providers::AsyncServiceStub bare(bareStub);
  std::list<Tirn::BaseMessage> refusal;
  bare.Get("vault-native", /*activation=*/nullptr,
           GetHandle([&](boost::optional<std::shared_ptr<Providers::Info const>> const&,
                         Tirn::Data::ErrorValuePtr const& error, Tirn::Progress const&) {
             refusal = error->GetMessages();  // invalid_argument: "tirn.stub.no.activation"
           }));
  // [client-no-activation]
  CHECK(refusal.size() == 1 && refusal.front().id() == Tirn::MessageIds::kNoActivation);
  {
    // The refusal is an invalid_argument error, and nothing reached the provider.
    int before = counting->calls;
    std::string refusalName;
    bare.Get("vault-native", nullptr,
             GetHandle([&](boost::optional<std::shared_ptr<Providers::Info const>> const&,
                           Tirn::Data::ErrorValuePtr const& error,
                           Tirn::Progress const&) { refusalName = error->name(); }));
    CHECK(refusalName == Tirn::Data::Wire::kInvalidArgumentError);
    CHECK(counting->calls == before);
    // With an activation of its own, the call goes through.
    bool answered = false;
    bare.Get("vault-native", std::make_shared<Tirn::Core::AsyncActivation>(),
             GetHandle([&](boost::optional<std::shared_ptr<Providers::Info const>> const& info,
                           Tirn::Data::ErrorValuePtr const&,
                           Tirn::Progress const&) { answered = static_cast<bool>(info); }));
    CHECK(answered);
  }

  // Stubs and their AsyncApiStub are shared freely; every call gets a handle of its own.
  std::atomic<int> found{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&providers, &found] {
      for (int i = 0; i < 100; ++i) {
        providers.Get(
            "vault-native", nullptr,
            GetHandle([&found](boost::optional<std::shared_ptr<Providers::Info const>> const& info,
                               Tirn::Data::ErrorValuePtr const&, Tirn::Progress const&) {
              if (info) ++found;
            }));
      }
    });
  }
  for (auto& thread : threads) thread.join();
  // found == 200
  CHECK(found == 200);

  if (failures == 0) std::printf("client: all checks passed\n");
  return failures == 0 ? 0 : 1;
}
