// Calls of every operation of the package, in one process: client stub, in-process provider,
// provider method signal, method filter, test implementation, and back.

#include <gtest/gtest.h>

#include <functional>
#include <list>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include <boost/optional/optional.hpp>
#include <boost/optional/optional_io.hpp>

#include "com/ostrel/nox/trusted_infrastructure/trusted_infrastructure.h"
#include "tirn/data/native_equal.h"
#include "tirn/message/message.h"
#include "tirn/message/message_ids.h"
#include "tirn/runtime/activation.h"
#include "tirn/runtime/async_result.h"
#include "tirn/runtime/in_process_provider.h"
#include "tirn/runtime/locale.h"
#include "tirn/runtime/localizer.h"
#include "tirn/runtime/wire_shapes.h"
#include "tirn/std/errors.h"
#include "tirn/std/localizable_message.h"
#include "tirn/stub/async_api_stub.h"

namespace {

namespace TI = ::Com::Ostrel::Nox::TrustedInfrastructure;
namespace Providers = TI::Kms::ProvidersSvc;
namespace KmsServices = TI::Kms::ServicesSvc;
namespace AttestationServices = TI::Attestation::ServicesSvc;
namespace Reports = TI::Attestation::ReportsSvc;
namespace Errors = ::Com::Ostrel::Tirn::Std::Errors;

using Tirn::Core::AsyncActivation;
using Tirn::Data::DataValuePtr;
using Tirn::Data::ErrorValuePtr;
using Tirn::Data::ListValue;
using Tirn::Data::NativeEqual;
using Tirn::Data::StringValue;
using Tirn::Data::StructValue;
using Activation = std::shared_ptr<AsyncActivation>;
template <class T>
using Handle = Tirn::AsyncResult<T, Tirn::AsyncResultTerminateCbPolicy>;

constexpr char kInvalidArgument[] = "com.ostrel.tirn.std.errors.invalid_argument";
constexpr char kInternalServerError[] = "com.ostrel.tirn.std.errors.internal_server_error";
constexpr char kOperationNotFound[] = "com.ostrel.tirn.std.errors.operation_not_found";
constexpr char kAlreadyExists[] = "com.ostrel.tirn.std.errors.already_exists";
constexpr char kError[] = "com.ostrel.tirn.std.errors.error";
constexpr char kNotAllowed[] = "com.ostrel.tirn.std.errors.not_allowed_in_current_state";
constexpr char kNotFound[] = "com.ostrel.tirn.std.errors.not_found";
constexpr char kUnableToAllocate[] = "com.ostrel.tirn.std.errors.unable_to_allocate_resource";
constexpr char kUnauthenticated[] = "com.ostrel.tirn.std.errors.unauthenticated";
constexpr char kUnauthorized[] = "com.ostrel.tirn.std.errors.unauthorized";
constexpr char kUnsupported[] = "com.ostrel.tirn.std.errors.unsupported";

constexpr char kProvidersInterface[] = "com.ostrel.nox.trusted_infrastructure.kms.providers";
constexpr char kKmsServicesInterface[] = "com.ostrel.nox.trusted_infrastructure.kms.services";
constexpr char kAttestationServicesInterface[] =
    "com.ostrel.nox.trusted_infrastructure.attestation.services";
constexpr char kReportsInterface[] = "com.ostrel.nox.trusted_infrastructure.attestation.reports";
constexpr char kOperationInput[] = "com.ostrel.tirn.std.operation_input";

// ---- Sample values ------------------------------------------------------------------------

std::shared_ptr<TI::NetworkAddress const> Address(std::string host,
                                                  boost::optional<long long> port) {
  auto address = std::make_shared<TI::NetworkAddress>();
  address->hostname = std::move(host);
  address->port = port;
  return address;
}

std::shared_ptr<TI::X509CertChain const> CertChain() {
  auto chain = std::make_shared<TI::X509CertChain>();
  chain->cert_chain = {"-----BEGIN CERTIFICATE-----root", "-----BEGIN CERTIFICATE-----leaf"};
  return chain;
}

Tirn::OptionalPtr<Providers::FilterSpec const> ProvidersFilter() {
  auto filter = std::make_shared<Providers::FilterSpec>();
  filter->providers = std::set<std::string>{"kms-1", "kms-2"};
  filter->available = true;
  filter->types = std::set<Providers::ProviderType>{
      Providers::ProviderType::NATIVE, {Providers::ProviderType::_UNKNOWN, "HSM"}};
  return filter;
}

std::list<std::shared_ptr<Providers::Summary const>> ProvidersSummaries() {
  auto ready = std::make_shared<Providers::Summary>();
  ready->provider = "kms-1";
  ready->available = true;
  ready->details = {Com::Ostrel::Tirn::Std::LocalizableMessage::From(
      Tirn::MakeMessage("test.provider.ready", "Provider {1} is ready", "kms-1"))};
  ready->type = Providers::ProviderType(Providers::ProviderType::NATIVE);
  auto unknown = std::make_shared<Providers::Summary>();
  unknown->provider = "kms-2";
  unknown->type = Providers::ProviderType(Providers::ProviderType::_UNKNOWN, "HSM");
  return {ready, unknown};
}

std::shared_ptr<Providers::Info const> ProvidersInfo() {
  auto nativeInfo = std::make_shared<Providers::NativeProviderInfo>();
  nativeInfo->key_id = "key-7";
  auto info = std::make_shared<Providers::Info>();
  info->type = Providers::ProviderType::NATIVE;
  info->native_info = nativeInfo;
  return info;
}

std::shared_ptr<Providers::CreateSpec const> ProvidersCreateSpec() {
  auto nativeSpec = std::make_shared<Providers::NativeProviderCreateSpec>();
  nativeSpec->key_id = "key-9";
  nativeSpec->key_derivation_key = Tirn::SecretString("s3cr3t-kdk");
  auto spec = std::make_shared<Providers::CreateSpec>();
  spec->provider = "kms-3";
  spec->native_spec = nativeSpec;
  return spec;
}

std::shared_ptr<Providers::UpdateSpec const> ProvidersUpdateSpec() {
  auto nativeSpec = std::make_shared<Providers::NativeProviderUpdateSpec>();
  nativeSpec->key_id = std::string("key-10");
  auto spec = std::make_shared<Providers::UpdateSpec>();
  spec->native_spec = nativeSpec;
  return spec;
}

// Key servers and attestation services share their shapes; only the namespaces differ.
template <class FilterSpec>
Tirn::OptionalPtr<FilterSpec const> ServicesFilter() {
  auto filter = std::make_shared<FilterSpec>();
  filter->services = std::set<std::string>{"svc-1"};
  filter->address = std::list<std::shared_ptr<TI::NetworkAddress const>>{
      Address("kms.example", 5696)};
  filter->group = std::set<std::string>{"blue"};
  return filter;
}

template <class Summary>
std::list<std::shared_ptr<Summary const>> ServicesSummaries() {
  auto first = std::make_shared<Summary>();
  first->service = "svc-1";
  first->address = Address("kms.example", 5696);
  first->group = "blue";
  auto second = std::make_shared<Summary>();
  second->service = "svc-2";
  second->address = Address("kms2.example", boost::none);
  second->group = "green";
  return {first, second};
}

template <class Info>
std::shared_ptr<Info const> ServicesInfo() {
  auto info = std::make_shared<Info>();
  info->address = Address("kms.example", 5696);
  info->trusted_CA = CertChain();
  info->group = "blue";
  // A field this client does not know travels back unchanged.
  info->unknownFields = StructValue::GetInstance("unknownFields");
  info->unknownFields->SetField("zone", StringValue::GetInstance("eu-1"));
  return info;
}

template <class CreateSpec>
std::shared_ptr<CreateSpec const> ServicesCreateSpec() {
  auto spec = std::make_shared<CreateSpec>();
  spec->address = Address("kms3.example", 443);
  spec->trusted_CA = CertChain();
  spec->group = "red";
  return spec;
}

std::list<std::shared_ptr<Reports::Summary const>> ReportsSummaries() {
  auto jwt = std::make_shared<Reports::ReportingJwt>();
  jwt->service = "svc-1";
  jwt->group = "blue";
  jwt->jwt = "eyJhbGciOiJSUzI1NiJ9.e30.sig";
  auto reporting = std::make_shared<Reports::Summary>();
  reporting->report = "r-1";
  reporting->type = Reports::ReportType::REPORTING_JWT;
  reporting->reporting_jwt = jwt;
  auto unknown = std::make_shared<Reports::Summary>();
  unknown->report = "r-2";
  unknown->type = Reports::ReportType(Reports::ReportType::_UNKNOWN, "QUOTE");
  return {reporting, unknown};
}

// ---- The server side ----------------------------------------------------------------------

// How the implementations of a World answer, and what they saw.
struct Script {
  enum class Answer { kValue, kProgressThenValue, kNativeError, kErrorValue, kLater };

  Answer answer = Answer::kValue;
  boost::optional<Tirn::Data::NativeError> nativeError;
  ErrorValuePtr errorValue;
  // For kLater: the delivery, run when the test chooses.
  std::function<void()> later;

  int calls = 0;
  Activation activation;

  template <class T>
  void Respond(Activation const& callActivation, Handle<T> const& result, T const& value) {
    ++calls;
    activation = callActivation;
    switch (answer) {
      case Answer::kValue:
        result.value(value);
        return;
      case Answer::kProgressThenValue:
        result.progress(Tirn::Progress(0, 3, 1));
        result.progress(Tirn::Progress(0, 3, 2));
        result.value(value);
        return;
      case Answer::kNativeError:
        result.error(*nativeError);
        return;
      case Answer::kErrorValue:
        result.error(errorValue);
        return;
      case Answer::kLater:
        later = [result, value] { result.value(value); };
        return;
    }
  }
};

class ProvidersImpl : public Providers::AsyncServiceInterface {
 public:
  explicit ProvidersImpl(std::shared_ptr<Script> script) : script_(std::move(script)) {}

  void List(Tirn::OptionalPtr<Providers::FilterSpec const> const& filter,
            Activation const& activation,
            Providers::ListMethod::ResultCbType const& result) override {
    filterSpec = filter;
    script_->Respond(activation, result, summaries);
  }
  void Create(std::shared_ptr<Providers::CreateSpec const> const& spec,
              Activation const& activation,
              Providers::CreateMethod::ResultCbType const& result) override {
    createSpec = spec;
    script_->Respond(activation, result, Tirn::Void());
  }
  void Update(std::string const& id, std::shared_ptr<Providers::UpdateSpec const> const& spec,
              Activation const& activation,
              Providers::UpdateMethod::ResultCbType const& result) override {
    provider = id;
    updateSpec = spec;
    script_->Respond(activation, result, Tirn::Void());
  }
  void Delete(std::string const& id, Activation const& activation,
              Providers::DeleteMethod::ResultCbType const& result) override {
    provider = id;
    script_->Respond(activation, result, Tirn::Void());
  }
  void Get(std::string const& id, Activation const& activation,
           Providers::GetMethod::ResultCbType const& result) override {
    provider = id;
    script_->Respond(activation, result, info);
  }

  // What the last call received.
  Tirn::OptionalPtr<Providers::FilterSpec const> filterSpec;
  std::shared_ptr<Providers::CreateSpec const> createSpec;
  std::shared_ptr<Providers::UpdateSpec const> updateSpec;
  std::string provider;
  // What List and Get answer.
  std::list<std::shared_ptr<Providers::Summary const>> summaries = ProvidersSummaries();
  std::shared_ptr<Providers::Info const> info = ProvidersInfo();

 private:
  std::shared_ptr<Script> script_;
};

template <class Interface, class SummaryT, class InfoT, class FilterSpecT, class CreateSpecT>
class ServicesImpl : public Interface {
 public:
  using Summary = SummaryT;
  using Info = InfoT;
  using FilterSpec = FilterSpecT;
  using CreateSpec = CreateSpecT;

  explicit ServicesImpl(std::shared_ptr<Script> script) : script_(std::move(script)) {}

  void List(Tirn::OptionalPtr<FilterSpec const> const& filterSpec, Activation const& activation,
            Handle<std::list<std::shared_ptr<Summary const>>> const& result) override {
    filter = filterSpec;
    script_->Respond(activation, result, summaries);
  }
  void Get(std::string const& id, Activation const& activation,
           Handle<std::shared_ptr<Info const>> const& result) override {
    service = id;
    script_->Respond(activation, result, info);
  }
  void Create(std::shared_ptr<CreateSpec const> const& spec, Activation const& activation,
              Handle<std::string> const& result) override {
    createSpec = spec;
    script_->Respond(activation, result, createdId);
  }
  void Delete(std::string const& id, Activation const& activation,
              Handle<Tirn::Void> const& result) override {
    service = id;
    script_->Respond(activation, result, Tirn::Void());
  }

  Tirn::OptionalPtr<FilterSpec const> filter;
  std::shared_ptr<CreateSpec const> createSpec;
  std::string service;
  std::list<std::shared_ptr<Summary const>> summaries = ServicesSummaries<Summary>();
  std::shared_ptr<Info const> info = ServicesInfo<Info>();
  std::string createdId = "svc-3";

 private:
  std::shared_ptr<Script> script_;
};

using KmsServicesImpl =
    ServicesImpl<KmsServices::AsyncServiceInterface, KmsServices::Summary, KmsServices::Info,
                 KmsServices::FilterSpec, KmsServices::CreateSpec>;
using AttestationServicesImpl =
    ServicesImpl<AttestationServices::AsyncServiceInterface, AttestationServices::Summary,
                 AttestationServices::Info, AttestationServices::FilterSpec,
                 AttestationServices::CreateSpec>;

class ReportsImpl : public Reports::AsyncServiceInterface {
 public:
  explicit ReportsImpl(std::shared_ptr<Script> script) : script_(std::move(script)) {}

  void List(Activation const& activation,
            Reports::ListMethod::ResultCbType const& result) override {
    script_->Respond(activation, result, summaries);
  }

  std::list<std::shared_ptr<Reports::Summary const>> summaries = ReportsSummaries();

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
    lastMethod = method;
    lastInput = input;
    lastActivation = activation;
    inner.Invoke(method, input, activation, resultCb);
  }

  Tirn::Core::InProcessApiProvider inner;
  int calls = 0;
  std::shared_ptr<Tirn::Core::MethodIdentifier const> lastMethod;
  DataValuePtr lastInput;
  Activation lastActivation;
};

std::shared_ptr<AsyncActivation const> TemplateActivation() {
  auto activation = std::make_shared<AsyncActivation>();
  activation->executionContext = std::make_shared<Tirn::Core::ExecutionContext>();
  activation->executionContext->applicationData["trace"] = {"trace-42", std::string("client")};
  activation->properties["origin"] = "template";
  activation->flags = 7;
  return activation;
}

// An activation of the caller's own; `languages` sets its locale.
Activation CallerActivation(char const* languages = nullptr) {
  auto activation = std::make_shared<AsyncActivation>();
  activation->executionContext = std::make_shared<Tirn::Core::ExecutionContext>();
  if (languages) {
    activation->requestLocalizer.localeSpec =
        std::make_shared<Tirn::L10n::LocaleSpec const>(languages, "C", "Europe/Berlin");
  }
  return activation;
}

// The server's own messages in German.
std::shared_ptr<Tirn::L10n::Localizer> GermanCatalog() {
  return std::make_shared<Tirn::L10n::Localizer>(
      std::map<std::string, Tirn::L10n::Localizer::Catalog>{
          {"de",
           {{"test.server.refused", "{1} abgelehnt"},
            {"test.provider.ready", "Anbieter {1} ist bereit"}}}});
}

// The four services bound to one in-process provider, and a client stub for each.
struct World {
  // Binds with `localizer`, or with the one-argument binder when it is null.
  explicit World(std::shared_ptr<Tirn::L10n::Localizer> localizer = nullptr,
                 std::shared_ptr<AsyncActivation const> templateActivation = TemplateActivation())
      : apiStub(std::make_shared<Tirn::Stub::AsyncApiStub>(provider,
                                                           std::move(templateActivation))),
        providers(apiStub),
        kmsServices(apiStub),
        attestationServices(apiStub),
        reports(apiStub) {
    Register<Providers::AsyncServiceBinder>(providersImpl, localizer);
    Register<KmsServices::AsyncServiceBinder>(kmsServicesImpl, localizer);
    Register<AttestationServices::AsyncServiceBinder>(attestationServicesImpl, localizer);
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
  std::shared_ptr<KmsServicesImpl> kmsServicesImpl = std::make_shared<KmsServicesImpl>(script);
  std::shared_ptr<AttestationServicesImpl> attestationServicesImpl =
      std::make_shared<AttestationServicesImpl>(script);
  std::shared_ptr<ReportsImpl> reportsImpl = std::make_shared<ReportsImpl>(script);

  std::shared_ptr<CountingProvider> provider = std::make_shared<CountingProvider>();
  std::shared_ptr<Tirn::Stub::AsyncApiStub> apiStub;
  Providers::AsyncServiceStub providers;
  KmsServices::AsyncServiceStub kmsServices;
  AttestationServices::AsyncServiceStub attestationServices;
  Reports::AsyncServiceStub reports;
};

// ---- The client side ----------------------------------------------------------------------

// One delivery to a client handle.
struct Delivery {
  bool hasValue;
  bool valueAsAnswered;  // equal to what the implementation answered
  ErrorValuePtr error;
  Tirn::Progress progress;
};

struct Outcome {
  std::vector<Delivery> deliveries;
  bool inputArrived = false;  // the implementation received exactly what the client sent
};

// Sends a call through `send(handle)` and records what reaches the handle.
template <class T, class Send>
Outcome Record(T const& answered, Send const& send) {
  auto deliveries = std::make_shared<std::vector<Delivery>>();
  Handle<T> const handle(typename Handle<T>::Plain(
      [deliveries, answered](boost::optional<T> const& value, ErrorValuePtr const& error,
                             Tirn::Progress const& progress) {
        deliveries->push_back(
            {static_cast<bool>(value), value && NativeEqual(*value, answered), error, progress});
      }));
  send(handle);
  Outcome outcome;
  outcome.deliveries = *deliveries;
  return outcome;
}

// A message as it arrived on the wire.
struct WireMessage {
  std::string id;
  std::list<std::string> args;
  boost::optional<std::string> localized;

  friend bool operator==(WireMessage const& a, WireMessage const& b) {
    return a.id == b.id && a.args == b.args && a.localized == b.localized;
  }
  friend std::ostream& operator<<(std::ostream& out, WireMessage const& m) {
    out << m.id << "(";
    for (auto const& arg : m.args) out << "'" << arg << "' ";
    return out << ") localized " << m.localized;
  }
};

std::vector<WireMessage> MessagesOf(ErrorValuePtr const& error) {
  std::vector<WireMessage> result;
  if (!error) return result;
  DataValuePtr const* list = error->FindField(Tirn::Data::Wire::kErrorMessages);
  if (!list) return result;
  if (!*list || (*list)->GetType().kind() != Tirn::Data::DataType::LIST) {
    ADD_FAILURE() << "the messages of " << error->name() << " are not a list";
    return result;
  }
  for (auto const& element : static_cast<ListValue const&>(**list).elements()) {
    Tirn::BaseMessage message("", "", {});
    WireMessage wire;
    EXPECT_TRUE(Tirn::Data::Wire::MessageFromValue(element, message, wire.localized));
    wire.id = message.id();
    wire.args = message.args();
    result.push_back(std::move(wire));
  }
  return result;
}

// ---- The fourteen operations --------------------------------------------------------------

Outcome ProvidersList(World& w, Activation const& activation) {
  auto const filter = ProvidersFilter();
  Outcome outcome = Record(w.providersImpl->summaries, [&](auto const& handle) {
    w.providers.List(filter, activation, handle);
  });
  outcome.inputArrived = NativeEqual(w.providersImpl->filterSpec, filter);
  return outcome;
}

Outcome ProvidersCreate(World& w, Activation const& activation) {
  auto const spec = ProvidersCreateSpec();
  Outcome outcome = Record(Tirn::Void(), [&](auto const& handle) {
    w.providers.Create(spec, activation, handle);
  });
  outcome.inputArrived = NativeEqual(w.providersImpl->createSpec, spec);
  return outcome;
}

Outcome ProvidersUpdate(World& w, Activation const& activation) {
  auto const spec = ProvidersUpdateSpec();
  Outcome outcome = Record(Tirn::Void(), [&](auto const& handle) {
    w.providers.Update("kms-update", spec, activation, handle);
  });
  outcome.inputArrived = w.providersImpl->provider == "kms-update" &&
                         NativeEqual(w.providersImpl->updateSpec, spec);
  return outcome;
}

Outcome ProvidersDelete(World& w, Activation const& activation) {
  Outcome outcome = Record(Tirn::Void(), [&](auto const& handle) {
    w.providers.Delete("kms-delete", activation, handle);
  });
  outcome.inputArrived = w.providersImpl->provider == "kms-delete";
  return outcome;
}

Outcome ProvidersGet(World& w, Activation const& activation) {
  Outcome outcome = Record(w.providersImpl->info, [&](auto const& handle) {
    w.providers.Get("kms-get", activation, handle);
  });
  outcome.inputArrived = w.providersImpl->provider == "kms-get";
  return outcome;
}

template <class Impl, class Stub>
Outcome ServicesList(Impl& impl, Stub& stub, Activation const& activation) {
  auto const filter = ServicesFilter<typename Impl::FilterSpec>();
  Outcome outcome =
      Record(impl.summaries, [&](auto const& handle) { stub.List(filter, activation, handle); });
  outcome.inputArrived = NativeEqual(impl.filter, filter);
  return outcome;
}

template <class Impl, class Stub>
Outcome ServicesGet(Impl& impl, Stub& stub, Activation const& activation) {
  Outcome outcome =
      Record(impl.info, [&](auto const& handle) { stub.Get("svc-get", activation, handle); });
  outcome.inputArrived = impl.service == "svc-get";
  return outcome;
}

template <class Impl, class Stub>
Outcome ServicesCreate(Impl& impl, Stub& stub, Activation const& activation) {
  auto const spec = ServicesCreateSpec<typename Impl::CreateSpec>();
  Outcome outcome =
      Record(impl.createdId, [&](auto const& handle) { stub.Create(spec, activation, handle); });
  outcome.inputArrived = NativeEqual(impl.createSpec, spec);
  return outcome;
}

template <class Impl, class Stub>
Outcome ServicesDelete(Impl& impl, Stub& stub, Activation const& activation) {
  Outcome outcome = Record(Tirn::Void(), [&](auto const& handle) {
    stub.Delete("svc-delete", activation, handle);
  });
  outcome.inputArrived = impl.service == "svc-delete";
  return outcome;
}

Outcome ReportsList(World& w, Activation const& activation) {
  int const before = w.script->calls;
  Outcome outcome = Record(w.reportsImpl->summaries,
                           [&](auto const& handle) { w.reports.List(activation, handle); });
  outcome.inputArrived = w.script->calls == before + 1;
  return outcome;
}

using NativeErrorMaker = Tirn::Data::NativeError (*)(std::list<Tirn::BaseMessage> const&);

template <class E>
Tirn::Data::NativeError Raise(std::list<Tirn::BaseMessage> const& messages) {
  return Errors::MakeNativeError<E>(messages);
}

struct Operation {
  char const* service;
  char const* method;
  Outcome (*call)(World&, Activation const&);
  // One error the operation declares, and one it does not.
  NativeErrorMaker declared;
  char const* declaredName;
  NativeErrorMaker undeclared;
  char const* undeclaredName;
};

std::vector<Operation> const& Operations() {
  static std::vector<Operation> const operations = {
      {"kms.providers", "list", ProvidersList, Raise<Errors::Unauthorized>, kUnauthorized,
       Raise<Errors::NotFound>, kNotFound},
      {"kms.providers", "create", ProvidersCreate, Raise<Errors::AlreadyExists>, kAlreadyExists,
       Raise<Errors::NotFound>, kNotFound},
      {"kms.providers", "update", ProvidersUpdate, Raise<Errors::Unsupported>, kUnsupported,
       Raise<Errors::AlreadyExists>, kAlreadyExists},
      {"kms.providers", "delete", ProvidersDelete, Raise<Errors::NotFound>, kNotFound,
       Raise<Errors::AlreadyExists>, kAlreadyExists},
      {"kms.providers", "get", ProvidersGet, Raise<Errors::NotFound>, kNotFound,
       Raise<Errors::Unsupported>, kUnsupported},
      {"kms.services", "list",
       [](World& w, Activation const& a) { return ServicesList(*w.kmsServicesImpl, w.kmsServices, a); },
       Raise<Errors::Unauthenticated>, kUnauthenticated, Raise<Errors::Unauthorized>,
       kUnauthorized},
      {"kms.services", "get",
       [](World& w, Activation const& a) { return ServicesGet(*w.kmsServicesImpl, w.kmsServices, a); },
       Raise<Errors::NotFound>, kNotFound, Raise<Errors::Unauthorized>, kUnauthorized},
      {"kms.services", "create",
       [](World& w, Activation const& a) {
         return ServicesCreate(*w.kmsServicesImpl, w.kmsServices, a);
       },
       Raise<Errors::UnableToAllocateResource>, kUnableToAllocate, Raise<Errors::NotFound>,
       kNotFound},
      {"kms.services", "delete",
       [](World& w, Activation const& a) {
         return ServicesDelete(*w.kmsServicesImpl, w.kmsServices, a);
       },
       Raise<Errors::NotFound>, kNotFound, Raise<Errors::Unsupported>, kUnsupported},
      {"attestation.services", "list",
       [](World& w, Activation const& a) {
         return ServicesList(*w.attestationServicesImpl, w.attestationServices, a);
       },
       Raise<Errors::Error>, kError, Raise<Errors::NotFound>, kNotFound},
      {"attestation.services", "get",
       [](World& w, Activation const& a) {
         return ServicesGet(*w.attestationServicesImpl, w.attestationServices, a);
       },
       Raise<Errors::Unauthenticated>, kUnauthenticated, Raise<Errors::Unsupported>,
       kUnsupported},
      {"attestation.services", "create",
       [](World& w, Activation const& a) {
         return ServicesCreate(*w.attestationServicesImpl, w.attestationServices, a);
       },
       Raise<Errors::AlreadyExists>, kAlreadyExists, Raise<Errors::Unauthorized>, kUnauthorized},
      {"attestation.services", "delete",
       [](World& w, Activation const& a) {
         return ServicesDelete(*w.attestationServicesImpl, w.attestationServices, a);
       },
       Raise<Errors::NotFound>, kNotFound, Raise<Errors::AlreadyExists>, kAlreadyExists},
      {"attestation.reports", "list", ReportsList, Raise<Errors::NotAllowedInCurrentState>,
       kNotAllowed, Raise<Errors::NotFound>, kNotFound},
  };
  return operations;
}

std::string Name(Operation const& operation) {
  return std::string(operation.service) + "/" + operation.method;
}

void ExpectOneFinalError(Outcome const& outcome, char const* name) {
  ASSERT_EQ(outcome.deliveries.size(), 1u);
  Delivery const& delivery = outcome.deliveries.front();
  EXPECT_FALSE(delivery.hasValue);
  EXPECT_EQ(delivery.progress, Tirn::Progress(0, 1, 1));
  ASSERT_TRUE(delivery.error);
  EXPECT_EQ(delivery.error->name(), name);
}

// ---- Tests --------------------------------------------------------------------------------

TEST(Calls, EveryOperationDeliversTheImplementationsAnswerConverted) {
  ASSERT_EQ(Operations().size(), 14u);
  for (Operation const& operation : Operations()) {
    SCOPED_TRACE(Name(operation));
    World world;
    Outcome const outcome = operation.call(world, CallerActivation());

    EXPECT_TRUE(outcome.inputArrived);
    EXPECT_EQ(world.script->calls, 1);
    ASSERT_EQ(outcome.deliveries.size(), 1u);
    Delivery const& delivery = outcome.deliveries.front();
    EXPECT_TRUE(delivery.hasValue);
    EXPECT_TRUE(delivery.valueAsAnswered);
    EXPECT_FALSE(delivery.error);
    EXPECT_EQ(delivery.progress, Tirn::Progress(0, 1, 1));
  }
}

TEST(Calls, ProgressArrivesInOrderBeforeOneFinalDelivery) {
  for (Operation const& operation : Operations()) {
    SCOPED_TRACE(Name(operation));
    World world;
    world.script->answer = Script::Answer::kProgressThenValue;
    Outcome const outcome = operation.call(world, CallerActivation());

    ASSERT_EQ(outcome.deliveries.size(), 3u);
    Tirn::Progress const expected[] = {{0, 3, 1}, {0, 3, 2}, {0, 1, 1}};
    for (std::size_t i = 0; i < 3; ++i) {
      SCOPED_TRACE(i);
      Delivery const& delivery = outcome.deliveries[i];
      EXPECT_EQ(delivery.progress, expected[i]);
      EXPECT_FALSE(delivery.error);
      EXPECT_EQ(delivery.hasValue, i == 2);
    }
    EXPECT_TRUE(outcome.deliveries[2].valueAsAnswered);
  }
}

TEST(Calls, DeclaredErrorsArriveAsTheirErrorValuesInTheCallersLanguage) {
  struct Case {
    char const* name;
    bool boundWithCatalog;
    char const* callerLanguages;
    bool german;
  };
  Case const cases[] = {
      {"German caller", true, "de-DE", true},
      {"French caller", true, "fr-FR", false},
      {"caller without locale", true, nullptr, false},
      {"service bound without localizer", false, "de-DE", false},
  };
  for (Case const& c : cases) {
    for (Operation const& operation : Operations()) {
      for (auto answer : {Script::Answer::kNativeError, Script::Answer::kErrorValue}) {
        SCOPED_TRACE(std::string(c.name) + ", " + Name(operation) +
                     (answer == Script::Answer::kNativeError ? ", native" : ", value"));
        World world(c.boundWithCatalog ? GermanCatalog() : nullptr);
        std::list<Tirn::BaseMessage> const reported = {
            Tirn::MakeMessage("test.server.refused", "{1} refused", operation.method),
            Tirn::MakeMessage("test.server.detail", "see {1}", "log")};
        world.script->answer = answer;
        world.script->nativeError = operation.declared(reported);
        world.script->errorValue = Tirn::Data::ErrorValue::Create(operation.declaredName, reported);

        Outcome const outcome = operation.call(world, CallerActivation(c.callerLanguages));

        ExpectOneFinalError(outcome, operation.declaredName);
        if (outcome.deliveries.empty()) continue;
        boost::optional<std::string> german;
        if (c.german) german = std::string(operation.method) + " abgelehnt";
        std::vector<WireMessage> const expected = {
            {"test.server.refused", {operation.method}, german},
            {"test.server.detail", {"log"}, boost::none}};
        EXPECT_EQ(MessagesOf(outcome.deliveries.front().error), expected);
      }
    }
  }
}

TEST(Calls, UndeclaredErrorsArriveAsInternalServerErrorNamingThem) {
  for (Operation const& operation : Operations()) {
    SCOPED_TRACE(Name(operation));
    World world(GermanCatalog());
    world.script->answer = Script::Answer::kNativeError;
    world.script->nativeError =
        operation.undeclared({Tirn::MakeMessage("test.server.refused", "{1} refused", "x")});

    Outcome const outcome = operation.call(world, CallerActivation("de-DE"));

    ExpectOneFinalError(outcome, kInternalServerError);
    if (outcome.deliveries.empty()) continue;
    std::vector<WireMessage> const expected = {
        {Tirn::MessageIds::kErrorNotDeclared, {operation.undeclaredName, operation.method},
         boost::none}};
    EXPECT_EQ(MessagesOf(outcome.deliveries.front().error), expected);
  }
}

TEST(Calls, MessagesInsideResultsAreLocalizedForTheCaller) {
  World world(GermanCatalog());
  for (char const* languages : {"de-DE", "fr-FR"}) {
    SCOPED_TRACE(languages);
    std::list<std::shared_ptr<Providers::Summary const>> received;
    world.providers.List(
        nullptr, CallerActivation(languages),
        Providers::ListMethod::ResultCbType(Providers::ListMethod::ResultCbType::Plain(
            [&](auto const& value, auto const&, auto const&) {
              if (value) received = *value;
            })));
    ASSERT_EQ(received.size(), 2u);
    auto const& details = received.front()->details;
    ASSERT_EQ(details.size(), 1u);
    EXPECT_EQ(details.front()->id, "test.provider.ready");
    EXPECT_EQ(details.front()->args, std::list<std::string>{"kms-1"});
    EXPECT_EQ(details.front()->localized,
              std::string(languages) == "de-DE"
                  ? boost::optional<std::string>("Anbieter kms-1 ist bereit")
                  : boost::none);
  }
}

TEST(Calls, InvalidOutputsArriveAsInternalServerError) {
  struct Case {
    char const* name;
    void (*spoil)(World&);
    Outcome (*call)(World&, Activation const&);
    std::vector<WireMessage> messages;
  };
  Case const cases[] = {
      {"summary without its required address (does not convert)",
       [](World& w) {
         auto summary = std::make_shared<KmsServices::Summary>();
         summary->service = "svc-1";
         w.kmsServicesImpl->summaries = {summary};
       },
       [](World& w, Activation const& a) {
         return ServicesList(*w.kmsServicesImpl, w.kmsServices, a);
       },
       {}},
      {"info without its required certificate chain (does not convert)",
       [](World& w) {
         auto info = std::make_shared<AttestationServices::Info>();
         info->address = Address("h", 1);
         w.attestationServicesImpl->info = info;
       },
       [](World& w, Activation const& a) {
         return ServicesGet(*w.attestationServicesImpl, w.attestationServices, a);
       },
       {}},
      {"NATIVE provider without native_info (rejected by the definition)",
       [](World& w) {
         auto info = std::make_shared<Providers::Info>();
         info->type = Providers::ProviderType::NATIVE;
         w.providersImpl->info = info;
       },
       ProvidersGet,
       {{Tirn::MessageIds::kValidationUnionCaseMissing, {"native_info", "type", "NATIVE"},
         boost::none}}},
      {"TRUST_AUTHORITY provider with native_info (rejected by the definition)",
       [](World& w) {
         auto info = std::make_shared<Providers::Info>(*ProvidersInfo());
         info->type = Providers::ProviderType::TRUST_AUTHORITY;
         w.providersImpl->info = info;
       },
       ProvidersGet,
       {{Tirn::MessageIds::kValidationUnionCaseUnexpected,
         {"native_info", "type", "TRUST_AUTHORITY"}, boost::none}}},
      {"JWT report without its JWT (rejected by the definition)",
       [](World& w) {
         auto summary = std::make_shared<Reports::Summary>();
         summary->report = "r-1";
         summary->type = Reports::ReportType::REPORTING_JWT;
         w.reportsImpl->summaries = {ReportsSummaries().back(), summary};
       },
       ReportsList,
       {{Tirn::MessageIds::kValidationUnionCaseMissing,
         {"[1].reporting_jwt", "type", "REPORTING_JWT"}, boost::none}}},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.name);
    World world;
    c.spoil(world);
    Outcome const outcome = c.call(world, CallerActivation());
    EXPECT_EQ(world.script->calls, 1);
    ExpectOneFinalError(outcome, kInternalServerError);
    if (outcome.deliveries.empty()) continue;
    EXPECT_EQ(MessagesOf(outcome.deliveries.front().error), c.messages);
  }
}

std::shared_ptr<StructValue> Struct(
    std::string const& name, std::vector<std::pair<std::string, DataValuePtr>> const& fields) {
  auto value = StructValue::GetInstance(name);
  for (auto const& field : fields) value->SetField(field.first, field.second);
  return value;
}

DataValuePtr Strings(std::vector<std::string> const& texts) {
  auto list = ListValue::GetInstance(ListValue::LIST);
  for (auto const& text : texts) list->Append(StringValue::GetInstance(text));
  return list;
}

TEST(Calls, InputsTheServerCannotTakeNeverReachTheImplementation) {
  auto const text = [](char const* s) { return StringValue::GetInstance(s); };
  struct Case {
    char const* name;
    char const* interfaceName;
    char const* method;
    DataValuePtr input;
    char const* error;
    std::vector<WireMessage> messages;
  };
  Case const cases[] = {
      {"a port the definition admits as text but the native integer does not",
       kKmsServicesInterface, "create",
       Struct(kOperationInput,
              {{"spec",
                Struct("com.ostrel.nox.trusted_infrastructure.kms.services.create_spec",
                       {{"address",
                         Struct("com.ostrel.nox.trusted_infrastructure.network_address",
                                {{"hostname", text("kms.example")}, {"port", text("x8")}})},
                        {"trusted_CA",
                         Struct("com.ostrel.nox.trusted_infrastructure.x509_cert_chain",
                                {{"cert_chain", Strings({"root"})}})},
                        {"group", text("blue")}})}}),
       kInvalidArgument,
       {{Tirn::MessageIds::kParseFailed, {"x8", "integer"}, boost::none}}},
      {"a parameter the operation does not name", kProvidersInterface, "get",
       Struct(kOperationInput, {{"provider", text("kms-1")}, {"zone", text("eu")}}),
       kInvalidArgument,
       {{Tirn::MessageIds::kValidationUnexpectedField, {"zone"}, boost::none}}},
      {"a missing parameter", kProvidersInterface, "update",
       Struct(kOperationInput, {{"provider", text("kms-1")}}), kInvalidArgument,
       {{Tirn::MessageIds::kValidationMissingField, {"spec"}, boost::none}}},
      {"an operation the service does not have", kProvidersInterface, "rename",
       Struct(kOperationInput, {}), kOperationNotFound,
       {{Tirn::MessageIds::kOperationNotFound, {kProvidersInterface, "rename"}, boost::none}}},
      {"a service that is not bound", "com.ostrel.nox.trusted_infrastructure.kms.keys", "list",
       Struct(kOperationInput, {}), kOperationNotFound,
       {{Tirn::MessageIds::kOperationNotFound,
         {"com.ostrel.nox.trusted_infrastructure.kms.keys", "list"}, boost::none}}},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.name);
    World world;
    std::vector<std::pair<std::shared_ptr<Tirn::Core::MethodResult const>, Tirn::Progress>>
        results;
    world.provider->inner.Invoke(
        std::make_shared<Tirn::Core::MethodIdentifier const>(
            std::make_shared<Tirn::Core::InterfaceIdentifier const>(c.interfaceName), c.method),
        c.input, CallerActivation(),
        Tirn::Core::AsyncApiResultCb(
            [&](std::shared_ptr<Tirn::Core::MethodResult const> const& result,
                Tirn::Progress const& progress, Tirn::Core::AsyncApiResultCb::Continuation&&) {
              results.emplace_back(result, progress);
            }));

    EXPECT_EQ(world.script->calls, 0);
    ASSERT_EQ(results.size(), 1u);
    auto const& result = results.front().first;
    EXPECT_EQ(results.front().second, Tirn::Progress(0, 1, 1));
    ASSERT_TRUE(result);
    EXPECT_FALSE(result->output);
    ASSERT_TRUE(result->error);
    EXPECT_EQ(result->error->name(), c.error);
    EXPECT_EQ(MessagesOf(result->error), c.messages);
  }
}

TEST(Calls, UnconvertibleClientInputFailsAtOnceWithoutReachingTheProvider) {
  struct Case {
    char const* name;
    Outcome (*call)(World&);
    char const* unsetType;
  };
  Case const cases[] = {
      {"kms.providers/create without spec",
       [](World& w) {
         return Record(Tirn::Void(), [&](auto const& handle) {
           w.providers.Create(nullptr, CallerActivation(), handle);
         });
       },
       "com.ostrel.nox.trusted_infrastructure.kms.providers.create_spec"},
      {"kms.providers/update without spec",
       [](World& w) {
         return Record(Tirn::Void(), [&](auto const& handle) {
           w.providers.Update("kms-1", nullptr, CallerActivation(), handle);
         });
       },
       "com.ostrel.nox.trusted_infrastructure.kms.providers.update_spec"},
      {"kms.services/create without spec",
       [](World& w) {
         return Record(std::string(), [&](auto const& handle) {
           w.kmsServices.Create(nullptr, CallerActivation(), handle);
         });
       },
       "com.ostrel.nox.trusted_infrastructure.kms.services.create_spec"},
      {"attestation.services/create with a spec without address",
       [](World& w) {
         auto spec = std::make_shared<AttestationServices::CreateSpec>(
             *ServicesCreateSpec<AttestationServices::CreateSpec>());
         spec->address = nullptr;
         return Record(std::string(), [&](auto const& handle) {
           w.attestationServices.Create(spec, nullptr, handle);
         });
       },
       "com.ostrel.nox.trusted_infrastructure.network_address"},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.name);
    World world;
    Outcome const outcome = c.call(world);
    EXPECT_EQ(world.provider->calls, 0);
    EXPECT_EQ(world.script->calls, 0);
    ExpectOneFinalError(outcome, kInvalidArgument);
    if (outcome.deliveries.empty()) continue;
    std::vector<WireMessage> const expected = {
        {Tirn::MessageIds::kUnsetNonOptionalField, {c.unsetType}, boost::none}};
    EXPECT_EQ(MessagesOf(outcome.deliveries.front().error), expected);
  }
}

TEST(Calls, EachCallSendsOneOperationInputNamingItsParameters) {
  World world;

  ReportsList(world, CallerActivation());
  ASSERT_EQ(world.provider->calls, 1);
  EXPECT_EQ(world.provider->lastMethod->interface->name, kReportsInterface);
  EXPECT_EQ(world.provider->lastMethod->name, "list");
  auto const* input = dynamic_cast<StructValue const*>(world.provider->lastInput.get());
  ASSERT_TRUE(input);
  EXPECT_EQ(input->name(), kOperationInput);
  EXPECT_TRUE(input->fields().empty());

  // An empty filter leaves the field unset on both sides.
  world.providers.List(nullptr, CallerActivation(), Providers::ListMethod::ResultCbType(
                                                        Providers::ListMethod::ResultCbType::Plain(
                                                            [](auto const&...) {})));
  EXPECT_EQ(world.provider->lastMethod->interface->name, kProvidersInterface);
  EXPECT_EQ(world.provider->lastMethod->name, "list");
  input = dynamic_cast<StructValue const*>(world.provider->lastInput.get());
  ASSERT_TRUE(input);
  EXPECT_EQ(input->name(), kOperationInput);
  if (DataValuePtr const* filter = input->FindField("filter_spec")) {
    auto const* optional = dynamic_cast<Tirn::Data::OptionalValue const*>(filter->get());
    ASSERT_TRUE(optional);
    EXPECT_FALSE(optional->has_value());
  }
  EXPECT_FALSE(world.providersImpl->filterSpec);

  // Update sends both parameters in one structure.
  EXPECT_TRUE(ProvidersUpdate(world, CallerActivation()).inputArrived);
  EXPECT_EQ(world.provider->lastMethod->name, "update");
  input = dynamic_cast<StructValue const*>(world.provider->lastInput.get());
  ASSERT_TRUE(input);
  std::vector<std::string> names;
  for (auto const& field : input->fields()) names.push_back(field.first);
  EXPECT_EQ(names, (std::vector<std::string>{"provider", "spec"}));
}

TEST(Calls, SignalsAreRegisteredInSlotOrder) {
  World world;
  struct Case {
    std::shared_ptr<Tirn::Provider::AsyncApiInterface> bound;
    char const* identifier;
    std::vector<std::string> methods;
  };
  Case const cases[] = {
      {Providers::AsyncServiceBinder::BindImplementation(world.providersImpl),
       kProvidersInterface,
       {"list", "create", "update", "delete", "get"}},
      {KmsServices::AsyncServiceBinder::BindImplementation(world.kmsServicesImpl),
       kKmsServicesInterface,
       {"list", "get", "create", "delete"}},
      {AttestationServices::AsyncServiceBinder::BindImplementation(
           world.attestationServicesImpl, GermanCatalog()),
       kAttestationServicesInterface,
       {"list", "get", "create", "delete"}},
      {Reports::AsyncServiceBinder::BindImplementation(world.reportsImpl), kReportsInterface,
       {"list"}},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.identifier);
    ASSERT_TRUE(c.bound);
    EXPECT_EQ(c.bound->identifier()->name, c.identifier);
    std::vector<std::string> methods;
    for (auto const& method : c.bound->methods()) methods.push_back(method->methodName());
    EXPECT_EQ(methods, c.methods);
  }
}

TEST(Calls, EveryCallRunsOnItsOwnCopyOfTheActivation) {
  World world(GermanCatalog());
  auto const templateActivation = world.apiStub->templateActivation();

  // Without an activation: a fresh copy of the template per call, flags at 0.
  std::vector<Activation> sent;
  for (int i = 0; i < 2; ++i) {
    ServicesGet(*world.kmsServicesImpl, world.kmsServices, nullptr);
    sent.push_back(world.provider->lastActivation);
    ASSERT_TRUE(sent.back());
    EXPECT_NE(sent.back(), templateActivation);
    ASSERT_TRUE(sent.back()->executionContext);
    EXPECT_NE(sent.back()->executionContext, templateActivation->executionContext);
    EXPECT_EQ(*sent.back()->executionContext, *templateActivation->executionContext);
    EXPECT_EQ(sent.back()->properties, templateActivation->properties);
    EXPECT_EQ(sent.back()->flags, 0);
    ASSERT_TRUE(world.script->activation);
    EXPECT_EQ(*world.script->activation->executionContext,
              *templateActivation->executionContext);
  }
  EXPECT_NE(sent[0], sent[1]);
  EXPECT_NE(sent[0]->executionContext, sent[1]->executionContext);
  EXPECT_EQ(templateActivation->flags, 7);
  EXPECT_FALSE(templateActivation->requestLocalizer.localizer);

  // The caller's own activation reaches the provider as it is; the implementation works on a
  // copy carrying the service's localizer, and the caller's is never written.
  Activation const own = CallerActivation("de-DE");
  own->executionContext->applicationData["trace"] = {"own", boost::none};
  ServicesGet(*world.kmsServicesImpl, world.kmsServices, own);
  EXPECT_EQ(world.provider->lastActivation, own);
  ASSERT_TRUE(world.script->activation);
  EXPECT_NE(world.script->activation, own);
  EXPECT_NE(world.script->activation->executionContext, own->executionContext);
  EXPECT_EQ(*world.script->activation->executionContext, *own->executionContext);
  EXPECT_TRUE(world.script->activation->requestLocalizer.localizer);
  EXPECT_FALSE(own->requestLocalizer.localizer);
}

TEST(Calls, CallWithoutActivationOrTemplateIsRejectedBeforeTheProvider) {
  World world(nullptr, nullptr);
  Outcome const outcome = ServicesGet(*world.kmsServicesImpl, world.kmsServices, nullptr);
  EXPECT_EQ(world.provider->calls, 0);
  EXPECT_EQ(world.script->calls, 0);
  ExpectOneFinalError(outcome, kInvalidArgument);
  if (outcome.deliveries.empty()) return;
  std::vector<WireMessage> const expected = {
      {Tirn::MessageIds::kNoActivation, {}, boost::none}};
  EXPECT_EQ(MessagesOf(outcome.deliveries.front().error), expected);

  // With an activation the same stub works.
  Outcome const answered = ServicesGet(*world.kmsServicesImpl, world.kmsServices,
                                       CallerActivation());
  ASSERT_EQ(answered.deliveries.size(), 1u);
  EXPECT_TRUE(answered.deliveries.front().valueAsAnswered);
}

TEST(Calls, AnswersMayComeLaterAndOutliveStubAndRegistration) {
  World world;
  world.script->answer = Script::Answer::kLater;
  auto stub = std::make_unique<KmsServices::AsyncServiceStub>(world.apiStub);
  std::vector<Delivery> deliveries;
  std::shared_ptr<KmsServices::Info const> const answered = world.kmsServicesImpl->info;
  stub->Get("svc-1", CallerActivation(),
            KmsServices::GetMethod::ResultCbType(KmsServices::GetMethod::ResultCbType::Plain(
                [&](auto const& value, auto const& error, auto const& progress) {
                  deliveries.push_back({static_cast<bool>(value),
                                        value && NativeEqual(*value, answered), error, progress});
                })));
  ASSERT_TRUE(world.script->later);
  EXPECT_TRUE(deliveries.empty());

  stub.reset();
  EXPECT_TRUE(world.provider->inner.Unregister(kKmsServicesInterface));
  world.script->later();

  ASSERT_EQ(deliveries.size(), 1u);
  EXPECT_TRUE(deliveries.front().valueAsAnswered);
  EXPECT_FALSE(deliveries.front().error);
  EXPECT_EQ(deliveries.front().progress, Tirn::Progress(0, 1, 1));
}

TEST(CallsDeathTest, OnlyAnInputFailureSpendsTheCallersOwnHandle) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  World world;
  int deliveries = 0;
  Providers::CreateMethod::ResultCbType const handle{
      Providers::CreateMethod::ResultCbType::Plain([&](auto const&...) { ++deliveries; })};

  // A sent call spends only the engine's copy: the caller's handle serves the next call too.
  world.providers.Create(ProvidersCreateSpec(), nullptr, handle);
  world.providers.Create(ProvidersCreateSpec(), nullptr, handle);
  EXPECT_EQ(deliveries, 2);

  // An input failure is delivered through the caller's handle itself, which is then spent.
  world.providers.Create(nullptr, nullptr, handle);
  EXPECT_EQ(deliveries, 3);
  EXPECT_DEATH(world.providers.Create(nullptr, nullptr, handle), "");
}

}  // namespace
