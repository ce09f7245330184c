// What a client writes to call and read answers: handles from plain lambdas, calls that
// return a future, typed errors, and structures printed readably.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "com/ostrel/nox/trusted_infrastructure/trusted_infrastructure.h"
#include "tirn/message/message.h"
#include "tirn/runtime/call/in_process_provider.h"
#include "tirn/runtime/l10n/localizer.h"
#include "tirn/std/errors.h"
#include "tirn/stub/async_api_stub.h"

namespace {

namespace Providers = ::Com::Ostrel::Nox::TrustedInfrastructure::Kms::ProvidersSvc;
namespace Errors = ::Com::Ostrel::Tirn::Std::Errors;
using Activation = std::shared_ptr<Tirn::Core::AsyncActivation>;
using InfoPtr = std::shared_ptr<Providers::Info const>;

// Answers "get" from a thread of its own after two progress reports; "p1" exists, every other
// provider is missing (a message with a German text).
class ProgressingProviders : public Providers::AsyncServiceInterface {
 public:
  // Waits for the answers in flight. Called by the test's thread: the last reference to the
  // implementation may be dropped on a worker, which must not join itself.
  void Join() {
    for (auto& worker : workers_) worker.join();
    workers_.clear();
  }
  void List(Tirn::OptionalPtr<Providers::FilterSpec const> const&, Activation const&,
            Providers::ListMethod::ResultCbType const& result) override {
    result.value({});
  }
  void Create(std::shared_ptr<Providers::CreateSpec const> const&, Activation const&,
              Providers::CreateMethod::ResultCbType const& result) override {
    result.value(Tirn::Void());
  }
  // Answers unsupported when the caller has cancelled the call, otherwise not_found naming
  // the caller the execution context says it is.
  void Update(std::string const&, std::shared_ptr<Providers::UpdateSpec const> const&,
              Activation const& activation,
              Providers::UpdateMethod::ResultCbType const& result) override {
    if (activation->isCancelled && activation->isCancelled()) {
      return result.error(Errors::MakeNativeError<Errors::Unsupported>());
    }
    auto const& context = activation->executionContext->securityContext;
    auto caller = context.find("tirn.caller");
    std::string const name =
        caller == context.end() ? "nobody" : caller->second.entry.attributes.at("name");
    result.error(Errors::MakeNativeError<Errors::NotFound>(
        {Tirn::MakeMessage("test.caller", "caller {1}", name)}));
  }
  void Delete(std::string const&, Activation const&,
              Providers::DeleteMethod::ResultCbType const& result) override {
    result.value(Tirn::Void());
  }
  void Get(std::string const& provider, Activation const&,
           Providers::GetMethod::ResultCbType const& result) override {
    workers_.emplace_back([provider, result] {
      result.progress({0, 2, 1});
      result.progress({0, 2, 2});  // looks final: held back
      if (provider != "p1") {
        result.error(Errors::MakeNativeError<Errors::NotFound>(
            {Tirn::MakeMessage("test.provider.missing", "No provider {1}", provider)}));
        return;
      }
      auto native = std::make_shared<Providers::NativeProviderInfo>();
      native->key_id = "k1";
      auto info = std::make_shared<Providers::Info>();
      info->type = Providers::ProviderType::NATIVE;
      info->native_info = std::shared_ptr<Providers::NativeProviderInfo const>(native);
      result.value(info);
    });
  }

 private:
  std::vector<std::thread> workers_;
};

struct World {
  World() {
    auto localizer = std::make_shared<Tirn::L10n::Localizer>(
        std::map<std::string, Tirn::L10n::Localizer::Catalog>{
            {"de", {{"test.provider.missing", "Kein Anbieter {1}"}}}});
    provider->Register(Providers::AsyncServiceBinder::BindImplementation(implementation, localizer));
  }
  ~World() { implementation->Join(); }
  std::shared_ptr<ProgressingProviders> implementation = std::make_shared<ProgressingProviders>();
  std::shared_ptr<Tirn::Core::InProcessApiProvider> provider =
      std::make_shared<Tirn::Core::InProcessApiProvider>();
  Providers::AsyncServiceStub stub{std::make_shared<Tirn::Stub::AsyncApiStub>(
      provider, std::make_shared<Tirn::Core::AsyncActivation>())};
};

Activation InGerman() {
  auto activation = std::make_shared<Tirn::Core::AsyncActivation>();
  activation->requestLocalizer.localeSpec =
      std::make_shared<Tirn::L10n::LocaleSpec const>("de", "C", "Etc/UTC");
  return activation;
}

TEST(Calling, AHandleIsMadeFromAPlainLambdaOfEitherForm) {
  World world;
  // Every delivery: the progress report, then the answer.
  std::promise<void> ended;
  std::vector<Tirn::Progress> seen;
  std::string keyId;
  world.stub.Get("p1", nullptr,
                 [&](boost::optional<InfoPtr> const& info, Tirn::Data::ErrorValuePtr const&,
                     Tirn::Progress const& progress) {
                   seen.push_back(progress);
                   if (info) keyId = (*info)->native_info->key_id;
                   if (progress.IsFinal()) ended.set_value();
                 });
  ended.get_future().wait();
  EXPECT_EQ(seen, (std::vector<Tirn::Progress>{{0, 2, 1}, Tirn::Progress::Final()}));
  EXPECT_EQ(keyId, "k1");

  // Only the end: a lambda that takes the call's result.
  std::promise<Tirn::CallResult<InfoPtr>> outcome;
  int calls = 0;
  world.stub.Get("p2", nullptr, [&](Tirn::CallResult<InfoPtr> const& result) {
    ++calls;
    outcome.set_value(result);
  });
  Tirn::CallResult<InfoPtr> const result = outcome.get_future().get();
  EXPECT_EQ(calls, 1);
  EXPECT_FALSE(result.ok());
  EXPECT_TRUE(Errors::Is<Errors::NotFound>(result.error()));
  EXPECT_THROW(result.value(), std::logic_error);
}

TEST(Calling, EveryStubCallHasAFutureForm) {
  World world;
  Tirn::CallResult<InfoPtr> const found = world.stub.Get("p1").get();
  ASSERT_TRUE(found.ok());
  EXPECT_FALSE(found.error());
  EXPECT_EQ(found.value()->native_info->key_id, "k1");

  EXPECT_TRUE(world.stub.Delete("p1").get().ok());
  EXPECT_TRUE(world.stub.List(nullptr).get().value().empty());

  Tirn::CallResult<InfoPtr> const missing = world.stub.Get("p9", InGerman()).get();
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error()->name(), "com.ostrel.tirn.std.errors.not_found");
}

TEST(Calling, AnErrorIsAskedForByTypeAndReadAsItsNativeStructure) {
  World world;
  Tirn::Data::ErrorValuePtr const error = world.stub.Get("p9", InGerman()).get().error();
  EXPECT_TRUE(Errors::Is<Errors::NotFound>(error));
  EXPECT_FALSE(Errors::Is<Errors::AlreadyExists>(error));
  EXPECT_FALSE(Errors::Is<Errors::NotFound>(nullptr));

  std::shared_ptr<Errors::NotFound const> const notFound = Errors::As<Errors::NotFound>(error);
  ASSERT_TRUE(notFound);
  ASSERT_EQ(notFound->messages.size(), 1u);
  auto const& message = *notFound->messages.front();
  EXPECT_EQ(message.id, "test.provider.missing");
  EXPECT_EQ(message.default_message, "No provider p9");
  EXPECT_EQ(message.Text(), "Kein Anbieter p9");
  EXPECT_FALSE(Errors::As<Errors::AlreadyExists>(error));
  EXPECT_FALSE(Errors::As<Errors::NotFound>(nullptr));

  // Without a German text the default one shows.
  EXPECT_EQ(Errors::As<Errors::NotFound>(world.stub.Get("p9").get().error())
                ->messages.front()
                ->Text(),
            "No provider p9");
}

TEST(Calling, StructuresAndErrorsPrintReadablyWithSecretsMasked) {
  auto native = std::make_shared<Providers::NativeProviderCreateSpec>();
  native->key_id = "k1";
  native->key_derivation_key = Tirn::SecretString("hunter2-secret");
  Providers::CreateSpec spec;
  spec.provider = "p1";
  spec.native_spec = std::shared_ptr<Providers::NativeProviderCreateSpec const>(native);

  std::ostringstream out;
  out << spec;
  EXPECT_NE(out.str().find("p1"), std::string::npos) << out.str();
  EXPECT_NE(out.str().find("k1"), std::string::npos) << out.str();
  EXPECT_EQ(out.str().find("hunter2"), std::string::npos) << out.str();

  auto error = Errors::As<Errors::NotFound>(World().stub.Get("p7").get().error());
  ASSERT_TRUE(error);
  std::ostringstream errorText;
  errorText << *error << " / " << *error->messages.front();
  EXPECT_NE(errorText.str().find("No provider p7"), std::string::npos) << errorText.str();
  EXPECT_NE(errorText.str().find("test.provider.missing"), std::string::npos) << errorText.str();

  // A structure that cannot be converted (a required member left empty) says so rather than
  // printing half of it.
  ::Com::Ostrel::Nox::TrustedInfrastructure::Kms::ServicesSvc::CreateSpec unprintable;
  std::ostringstream broken;
  broken << unprintable;
  EXPECT_EQ(broken.str().rfind("<unprintable: ", 0), 0u) << broken.str();
}

}  // namespace

namespace {

TEST(Calling, InProcessTheImplementationSeesTheCallersCancelFlagAndIdentity) {
  World world;
  auto updateOf = [&](Activation const& activation) {
    return world.stub.Update("p1", std::make_shared<Providers::UpdateSpec>(), activation).get();
  };

  auto activation = std::make_shared<Tirn::Core::AsyncActivation>();
  activation->executionContext = std::make_shared<Tirn::Core::ExecutionContext>();
  Tirn::Core::SecurityContextWrappedEntry alice;
  alice.entry.scheme = "bearer";
  alice.entry.attributes["name"] = "alice";
  activation->executionContext->securityContext["tirn.caller"] = alice;
  auto const cancelled = std::make_shared<std::atomic<bool>>(false);
  activation->cancel = [cancelled] { *cancelled = true; };
  activation->isCancelled = [cancelled] { return cancelled->load(); };

  auto const asAlice = Errors::As<Errors::NotFound>(updateOf(activation).error());
  ASSERT_TRUE(asAlice);
  EXPECT_EQ(asAlice->messages.front()->default_message, "caller alice");

  // The implementation's copy of the activation shares the caller's flag.
  activation->cancel();
  EXPECT_TRUE(Errors::Is<Errors::Unsupported>(updateOf(activation).error()));

  // Without an identity the context holds none.
  auto const anonymous = Errors::As<Errors::NotFound>(updateOf(nullptr).error());
  ASSERT_TRUE(anonymous);
  EXPECT_EQ(anonymous->messages.front()->default_message, "caller nobody");
}

}  // namespace
