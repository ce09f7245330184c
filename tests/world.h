// The package's four services bound to one in-process provider, with implementations that
// answer as a test scripts them and a client stub for each, and what reaches a client's handle.
// The call tests (end_to_end_test.cc, calling_test.cc) and the concurrency tests share it.
#ifndef TESTS_WORLD_H_
#define TESTS_WORLD_H_

#include <gtest/gtest.h>

#include <list>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <boost/optional/optional.hpp>

#include "com/ostrel/nox/trusted_infrastructure/trusted_infrastructure.h"
#include "tests/convert.h"
#include "tests/package_samples.h"
#include "tirn/data/native_equal.h"
#include "tirn/message/message.h"
#include "tirn/runtime/call/activation.h"
#include "tirn/runtime/call/async_result.h"
#include "tirn/runtime/call/in_process_provider.h"
#include "tirn/runtime/l10n/locale.h"
#include "tirn/runtime/l10n/localizer.h"
#include "tirn/runtime/value/wire_shapes.h"
#include "tirn/std/errors.h"
#include "tirn/stub/async_api_stub.h"

namespace test_world {

using namespace ::package_samples;
namespace Errors = ::Com::Ostrel::Tirn::Std::Errors;

using Tirn::Core::AsyncActivation;
using Tirn::Data::DataValuePtr;
using Tirn::Data::ErrorValuePtr;
using Tirn::Data::NativeEqual;
using Activation = std::shared_ptr<AsyncActivation>;
using test_convert::MessagesOf;
using test_convert::Msg;
template <class T>
using Handle = Tirn::AsyncResult<T, Tirn::AsyncResultTerminateCbPolicy>;

constexpr char kInvalidArgument[] = "com.ostrel.tirn.std.errors.invalid_argument";
constexpr char kInternalServerError[] = "com.ostrel.tirn.std.errors.internal_server_error";
constexpr char kOperationInput[] = "com.ostrel.tirn.std.operation_input";

// ---- What clients send ----------------------------------------------------------------------

inline std::shared_ptr<TI::X509CertChain const> CertChain() {
  return Chain({"-----CERTIFICATE-----root", "-----CERTIFICATE-----leaf"});
}

inline std::shared_ptr<Providers::CreateSpec const> ProvidersCreateSpec() {
  auto const key = Tirn::SecretString("s3cr3t-kdk");
  return Ptr(
      Providers::CreateSpec{{}, "kms-3", Ptr(Providers::NativeProviderCreateSpec{{}, "k", key})});
}

inline std::shared_ptr<Providers::UpdateSpec const> ProvidersUpdateSpec() {
  return Ptr(Providers::UpdateSpec{
      {}, Ptr(Providers::NativeProviderUpdateSpec{{}, std::string("key-10")})});
}

// ---- The server side ------------------------------------------------------------------------

// How the implementations answer, and what they saw.
struct Script {
  enum class Answer {
    kValue,
    kProgressThenValue,
    kFinalProgressThenValue,
    kError,
    // The answers from here on leave the call unanswered.
    kNothing,             // returns without answering, dropping its handle
    kProgressThenNothing,
    kKeepHandle,          // keeps a copy of its handle in `kept`, unanswered
  };

  Answer answer = Answer::kValue;
  std::shared_ptr<void const> kept;
  boost::optional<Tirn::Data::NativeError> error;

  int calls = 0;
  bool inputArrived = false;  // the implementation received what the client sent
  Activation activation;

  template <class T>
  void Respond(bool arrived, Activation const& callActivation, Handle<T> const& result,
               T const& value) {
    ++calls;
    inputArrived = arrived;
    activation = callActivation;
    if (answer == Answer::kError) return result.error(*error);
    if (answer == Answer::kProgressThenNothing) result.progress(Tirn::Progress(0, 3, 1));
    if (answer == Answer::kKeepHandle) kept = std::make_shared<Handle<T> const>(result);
    if (answer >= Answer::kNothing) return;
    if (answer == Answer::kProgressThenValue) {
      result.progress(Tirn::Progress(0, 3, 1));
      result.progress(Tirn::Progress(0, 3, 2));
    }
    if (answer == Answer::kFinalProgressThenValue) {
      // Reports whose current position reached their maximum end nothing: they are held back.
      result.progress(Tirn::Progress(0, 10, 10));
      result.progress(Tirn::Progress(0, 3, 1));
      result.progress(Tirn::Progress());
    }
    result.value(value);
  }
};

template <class Method>
using Cb = typename Method::ResultCbType const&;

// The implementations answer with these members.
class ProvidersImpl : public Providers::AsyncServiceInterface {
 public:
  explicit ProvidersImpl(std::shared_ptr<Script> script) : script_(std::move(script)) {}

  // What clients send and the implementation takes for the filter, the spec and the provider
  // they name.
  static constexpr char kId[] = "kms-1";
  static Tirn::OptionalPtr<Providers::FilterSpec const> Filter() {
    std::set<ProviderType> const types = {ProviderType::NATIVE, {ProviderType::_UNKNOWN, "HSM"}};
    return Ptr(Providers::FilterSpec{{}, std::set<std::string>{kId, "kms-2"}, true, types});
  }
  static auto Spec() { return ProvidersCreateSpec(); }

  void List(Tirn::OptionalPtr<Providers::FilterSpec const> const& filter, Activation const& a,
            Cb<Providers::ListMethod> result) override {
    script_->Respond(NativeEqual(filter, Filter()), a, result, summaries);
  }
  void Create(std::shared_ptr<Providers::CreateSpec const> const& spec, Activation const& a,
              Cb<Providers::CreateMethod> result) override {
    script_->Respond(NativeEqual(spec, Spec()), a, result, created);
  }
  void Update(std::string const& id, std::shared_ptr<Providers::UpdateSpec const> const& spec,
              Activation const& a, Cb<Providers::UpdateMethod> result) override {
    bool const arrived = id == kId && NativeEqual(spec, ProvidersUpdateSpec());
    script_->Respond(arrived, a, result, Tirn::Void());
  }
  void Delete(std::string const& id, Activation const& a,
              Cb<Providers::DeleteMethod> result) override {
    script_->Respond(id == kId, a, result, Tirn::Void());
  }
  void Get(std::string const& id, Activation const& a, Cb<Providers::GetMethod> result) override {
    script_->Respond(id == kId, a, result, info);
  }

  std::list<std::shared_ptr<Providers::Summary const>> summaries = {
      Ptr(Providers::Summary{{}, "kms-1", true, {}, ProviderType(ProviderType::_UNKNOWN, "HSM")})};
  std::shared_ptr<Providers::Info const> info = Ptr(
      Providers::Info{{}, ProviderType::NATIVE, Ptr(Providers::NativeProviderInfo{{}, "key-7"})});
  Tirn::Void created;

 private:
  std::shared_ptr<Script> script_;
};

// Key servers and attestation services share their shapes; only the namespaces differ.
template <class Interface, class Summary, class Info, class FilterSpec, class CreateSpec>
class ServicesImpl : public Interface {
 public:
  explicit ServicesImpl(std::shared_ptr<Script> script) : script_(std::move(script)) {}

  static constexpr char kId[] = "svc-1";
  static Tirn::OptionalPtr<FilterSpec const> Filter() {
    Addresses const addresses = {Address("kms.example", 5696LL)};
    return Ptr(FilterSpec{{}, std::set<std::string>{kId}, addresses, std::set<std::string>{}});
  }
  static std::shared_ptr<CreateSpec const> Spec() {
    return Ptr(CreateSpec{{}, Address("kms3.example", 443LL), CertChain(), "red"});
  }

  void List(Tirn::OptionalPtr<FilterSpec const> const& filter, Activation const& a,
            Handle<std::list<std::shared_ptr<Summary const>>> const& result) override {
    script_->Respond(NativeEqual(filter, Filter()), a, result, summaries);
  }
  void Get(std::string const& id, Activation const& a,
           Handle<std::shared_ptr<Info const>> const& result) override {
    script_->Respond(id == kId, a, result, info);
  }
  void Create(std::shared_ptr<CreateSpec const> const& spec, Activation const& a,
              Handle<std::string> const& result) override {
    script_->Respond(NativeEqual(spec, Spec()), a, result, created);
  }
  void Delete(std::string const& id, Activation const& a,
              Handle<Tirn::Void> const& result) override {
    script_->Respond(id == kId, a, result, Tirn::Void());
  }

  std::list<std::shared_ptr<Summary const>> summaries = {
      Ptr(Summary{{}, "svc-1", Address("kms.example", boost::none), "blue"})};
  std::shared_ptr<Info const> info = Ptr(Info{{}, Address("kms.example", 5696LL), CertChain(), ""});
  std::string created = "svc-3";

 private:
  std::shared_ptr<Script> script_;
};

using KmsServicesImpl =
    ServicesImpl<KmsServices::AsyncServiceInterface, KmsServices::Summary, KmsServices::Info,
                 KmsServices::FilterSpec, KmsServices::CreateSpec>;
using AttServicesImpl =
    ServicesImpl<AttServices::AsyncServiceInterface, AttServices::Summary, AttServices::Info,
                 AttServices::FilterSpec, AttServices::CreateSpec>;

class ReportsImpl : public Reports::AsyncServiceInterface {
 public:
  explicit ReportsImpl(std::shared_ptr<Script> script) : script_(std::move(script)) {}

  void List(Activation const& a, Cb<Reports::ListMethod> result) override {
    script_->Respond(true, a, result, summaries);
  }

  std::list<std::shared_ptr<Reports::Summary const>> summaries = {
      Ptr(Reports::Summary{{},
                           "r-1",
                           Reports::ReportType::REPORTING_JWT,
                           Ptr(Reports::ReportingJwt{{}, "svc-1", "blue", "e30.sig"})}),
      Ptr(Reports::Summary{{}, "r-2", {Reports::ReportType::_UNKNOWN, "QUOTE"}, nullptr})};

 private:
  std::shared_ptr<Script> script_;
};

// Passes every call on to an in-process provider, remembering the last one.
class CountingProvider : public Tirn::Core::AsyncApiProvider {
 public:
  void Invoke(std::shared_ptr<Tirn::Core::MethodIdentifier const> const& method,
              DataValuePtr const& input, Activation const& activation,
              Tirn::Core::AsyncApiResultCb const& resultCb) override {
    ++calls;
    lastActivation = activation;
    inner.Invoke(method, input, activation, resultCb);
  }

  Tirn::Core::InProcessApiProvider inner;
  int calls = 0;
  Activation lastActivation;
};

inline std::shared_ptr<AsyncActivation const> TemplateActivation() {
  auto activation = std::make_shared<AsyncActivation>();
  activation->executionContext = std::make_shared<Tirn::Core::ExecutionContext>();
  activation->executionContext->applicationData["trace"] = {"trace-42", std::string("client")};
  activation->properties["origin"] = "template";
  activation->flags = 5;
  return activation;
}

// An activation of the caller's own; `languages` sets its locale.
inline Activation CallerActivation(char const* languages = nullptr) {
  auto activation = std::make_shared<AsyncActivation>();
  activation->executionContext = std::make_shared<Tirn::Core::ExecutionContext>();
  if (languages) {
    activation->requestLocalizer.localeSpec =
        std::make_shared<Tirn::L10n::LocaleSpec const>(languages, "C", "Europe/Berlin");
  }
  return activation;
}

// The servers' own messages in German.
inline std::shared_ptr<Tirn::L10n::Localizer> GermanCatalog() {
  return std::make_shared<Tirn::L10n::Localizer>(
      std::map<std::string, Tirn::L10n::Localizer::Catalog>{
          {"de", {{"test.server.refused", "{1} abgelehnt"}}}});
}

// The error an implementation raises to refuse `what`: a NotFound whose message has a German
// text in GermanCatalog().
inline Tirn::Data::NativeError Refusal(std::string const& what) {
  return Errors::MakeNativeError<Errors::NotFound>(
      {Tirn::MakeMessage("test.server.refused", "{1} refused", what)});
}

// The four services bound to one in-process provider, and a client stub for each.
struct World {
  // Binds with `localizer`, or with the one-argument binder when it is null.
  explicit World(std::shared_ptr<Tirn::L10n::Localizer> localizer = nullptr,
                 std::shared_ptr<AsyncActivation const> templateActivation = TemplateActivation())
      : apiStub(
            std::make_shared<Tirn::Stub::AsyncApiStub>(provider, std::move(templateActivation))),
        providers(apiStub),
        kms(apiStub),
        att(apiStub),
        reports(apiStub) {
    Register<Providers::AsyncServiceBinder>(providersImpl, localizer);
    Register<KmsServices::AsyncServiceBinder>(kmsImpl, localizer);
    Register<AttServices::AsyncServiceBinder>(attImpl, localizer);
    Register<Reports::AsyncServiceBinder>(reportsImpl, localizer);
  }

  template <class Binder, class Impl>
  void Register(std::shared_ptr<Impl> const& impl,
                std::shared_ptr<Tirn::L10n::Localizer> const& localizer) {
    provider->inner.Register(localizer ? Binder::BindImplementation(impl, localizer)
                                       : Binder::BindImplementation(impl));
  }

  std::shared_ptr<Script> script = std::make_shared<Script>();
  std::shared_ptr<ProvidersImpl> providersImpl = std::make_shared<ProvidersImpl>(script);
  std::shared_ptr<KmsServicesImpl> kmsImpl = std::make_shared<KmsServicesImpl>(script);
  std::shared_ptr<AttServicesImpl> attImpl = std::make_shared<AttServicesImpl>(script);
  std::shared_ptr<ReportsImpl> reportsImpl = std::make_shared<ReportsImpl>(script);

  std::shared_ptr<CountingProvider> provider = std::make_shared<CountingProvider>();
  std::shared_ptr<Tirn::Stub::AsyncApiStub> apiStub;
  Providers::AsyncServiceStub providers;
  KmsServices::AsyncServiceStub kms;
  AttServices::AsyncServiceStub att;
  Reports::AsyncServiceStub reports;
};

// ---- The client side ------------------------------------------------------------------------

// One delivery to a client handle.
struct Delivery {
  bool hasValue;
  bool valueAsAnswered;  // equal to what the implementation answered
  ErrorValuePtr error;
  Tirn::Progress progress;
};
using Deliveries = std::vector<Delivery>;

// Sends a call through `send(handle)` and records what reaches the handle.
template <class T, class Send>
Deliveries Record(T const& answered, Send const& send) {
  auto deliveries = std::make_shared<Deliveries>();
  send(Handle<T>(typename Handle<T>::Plain([deliveries, answered](boost::optional<T> const& value,
                                                                  ErrorValuePtr const& error,
                                                                  Tirn::Progress const& progress) {
    deliveries->push_back(
        {static_cast<bool>(value), value && NativeEqual(*value, answered), error, progress});
  })));
  return *deliveries;
}

inline void ExpectOneFinalError(Deliveries const& deliveries, std::string const& name,
                                std::vector<std::string> const& messages) {
  ASSERT_EQ(deliveries.size(), 1u);
  EXPECT_FALSE(deliveries.front().hasValue);
  EXPECT_EQ(deliveries.front().progress, Tirn::Progress(0, 1, 1));
  ASSERT_TRUE(deliveries.front().error);
  EXPECT_EQ(deliveries.front().error->name(), name);
  EXPECT_EQ(MessagesOf(deliveries.front().error), messages);
}

}  // namespace test_world

#endif  // TESTS_WORLD_H_
