// Errors and their localization, as the guide shows them (docs/guide.md, "Errors and their
// localization"): reading the errors a call delivers, in the caller's language, and the errors
// the runtime reports before an implementation runs.
// [errors-includes]
#include "tirn/std/errors.h"

#include <cstdio>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <system_error>

#include "com/ostrel/nox/trusted_infrastructure/trusted_infrastructure.h"
#include "apps/reference/reference_server.h"
#include "tirn/data/value_to_native_adapter.h"
#include "tirn/message/message.h"
#include "tirn/message/message_ids.h"
#include "tirn/runtime/call/in_process_provider.h"
#include "tirn/runtime/l10n/locale.h"
#include "tirn/runtime/l10n/localizer.h"
#include "tirn/runtime/value/wire_shapes.h"
#include "tirn/stub/async_api_stub.h"
// [errors-includes]

namespace {

int failures = 0;

void Check(bool ok, char const* what, int line) {
  if (ok) return;
  std::fprintf(stderr, "errors.cc:%d: check failed: %s\n", line, what);
  ++failures;
}
#define CHECK(condition) Check((condition), #condition, __LINE__)

using Args = std::list<std::string>;

// [errors-names]
namespace Ti = Com::Ostrel::Nox::TrustedInfrastructure;
namespace Providers = Ti::Kms::ProvidersSvc;
namespace Errors = Com::Ostrel::Tirn::Std::Errors;
// [errors-names]

}  // namespace

int main() {
  auto provider = std::make_shared<Tirn::Core::InProcessApiProvider>();
  Reference::ReferenceServer server;  // its messages have English and German texts
  server.RegisterWith(*provider);
  auto apiStub = std::make_shared<Tirn::Stub::AsyncApiStub>(
      provider, std::make_shared<Tirn::Core::AsyncActivation>());
  Providers::AsyncServiceStub providers(apiStub);

  // [errors-read]
  auto inGerman = std::make_shared<Tirn::Core::AsyncActivation>();
  inGerman->requestLocalizer.localeSpec =
      std::make_shared<Tirn::L10n::LocaleSpec const>("de-DE", "C", "Europe/Berlin");
  Tirn::Data::ErrorValuePtr error;
  providers.Get("missing", inGerman,
                Providers::GetMethod::ResultCbType(
                    [&error](boost::optional<std::shared_ptr<Providers::Info const>> const&,
                             Tirn::Data::ErrorValuePtr const& reported,
                             Tirn::Progress const&) { error = reported; }));
  // error->name() == "com.ostrel.tirn.std.errors.not_found"

  Errors::NotFound notFound;
  std::list<Tirn::BaseMessage> problems;
  if (error->name() == Tirn::Data::TypeInfo<Errors::NotFound>::name() &&
      Tirn::Data::ValueToNativeAdapter::Adapt(
          error, Tirn::Data::ValueToNativeAdapter::AdaptMethod<Errors::NotFound>::Get(&notFound),
          &notFound, problems)) {
    for (auto const& message : notFound.messages) {
      // id "reference.provider.not.found", args {"missing"},
      // default_message "Key provider missing does not exist.",
      // localized "Der Schlüsselanbieter missing existiert nicht."
      std::printf("%s\n", message->localized.value_or(message->default_message).c_str());
    }
  }
  // [errors-read]
  CHECK(error && error->name() == Tirn::Data::Wire::kNotFoundError);
  if (error) {
    // [errors-messages]
    // Every error value, whatever its name, carries its messages as Tirn::BaseMessage:
    // "reference.provider.not.found: Key provider missing does not exist."
    for (Tirn::BaseMessage const& message : error->GetMessages()) {
      std::printf("%s: %s\n", message.id().c_str(), message.defaultMessage().c_str());
      // message.args() == {"missing"}: the values the text was filled with
    }
    // [errors-messages]
  }
  CHECK(error && error->GetMessages().size() == 1);
  std::list<Tirn::BaseMessage> const carried =
      error ? error->GetMessages() : std::list<Tirn::BaseMessage>{};
  if (!carried.empty()) {
    Tirn::BaseMessage const& first = carried.front();
    CHECK(first.id() == "reference.provider.not.found");
    CHECK(first.defaultMessage() == "Key provider missing does not exist.");
    CHECK(first.args() == Args{"missing"});
  }

  CHECK(problems.empty());
  CHECK(notFound.messages.size() == 1);
  if (!notFound.messages.empty()) {
    CHECK(notFound.messages.front()->id == "reference.provider.not.found");
    CHECK(notFound.messages.front()->args == Args{"missing"});
    CHECK(notFound.messages.front()->localized ==
          std::string("Der Schlüsselanbieter missing existiert nicht."));
  }

  // Without a language the reference server has a catalog for, nothing is localized.
  Tirn::Data::ErrorValuePtr inEnglish;
  providers.Get("missing", nullptr,
                Providers::GetMethod::ResultCbType(
                    [&inEnglish](boost::optional<std::shared_ptr<Providers::Info const>> const&,
                                 Tirn::Data::ErrorValuePtr const& reported,
                                 Tirn::Progress const&) { inEnglish = reported; }));
  {
    Errors::NotFound english;
    std::list<Tirn::BaseMessage> ignored;
    CHECK(Tirn::Data::ValueToNativeAdapter::Adapt(
        inEnglish, Tirn::Data::ValueToNativeAdapter::AdaptMethod<Errors::NotFound>::Get(&english),
        &english, ignored));
    CHECK(english.messages.size() == 1 && !english.messages.front()->localized);
  }

  // Messages inside results are localized the same way.
  {
    auto spec = std::make_shared<Providers::CreateSpec>();
    spec->provider = "trust-authority";  // unavailable while no key server exists
    providers.Create(spec, nullptr,
                     Providers::CreateMethod::ResultCbType([](boost::optional<Tirn::Void> const&,
                                                              Tirn::Data::ErrorValuePtr const&,
                                                              Tirn::Progress const&) {}));
    std::string detail;
    providers.List(nullptr, inGerman,
                   Providers::ListMethod::ResultCbType(
                       [&detail](boost::optional<Providers::ListMethod::Result> const& summaries,
                                 Tirn::Data::ErrorValuePtr const&, Tirn::Progress const&) {
                         auto const& summary = summaries->front();  // unavailable
                         auto const& message = summary->details.front();
                         detail = message->localized.value_or(message->default_message);
                       }));
    // detail == "Es ist kein Schlüsselserver eingerichtet."
    CHECK(detail == "Es ist kein Schlüsselserver eingerichtet.");
  }

  // [errors-localizer]
  Tirn::L10n::Localizer localizer({{"de", {{"shop.item.missing", "Artikel {1} fehlt."}}},
                                   {"fr", {{"shop.item.missing", "L'article {1} manque."}}}});
  Tirn::BaseMessage message = Tirn::MakeMessage("shop.item.missing", "Item {1} is missing.", "A-7");
  // message.defaultMessage() == "Item A-7 is missing.", message.args() == {"A-7"}

  auto german = localizer.Localize(message, {"de-AT", "fr"});        // "Artikel A-7 fehlt."
  auto french = localizer.Localize(message, {"it", "fr_FR.UTF-8"});  // "L'article A-7 manque."
  auto none = localizer.Localize(message, {"C"});                    // none: keep the default text
  // [errors-localizer]
  CHECK(message.defaultMessage() == "Item A-7 is missing.");
  CHECK(message.args() == Args{"A-7"});
  CHECK(german == std::string("Artikel A-7 fehlt."));
  CHECK(french == std::string("L'article A-7 manque."));
  CHECK(!none);

  Tirn::L10n::LocaleSpec spec("fr;q=0.3, de-DE", "C", "Europe/Paris");
  // spec.languages() == {"de-DE", "fr"}: by weight, then in order
  Tirn::L10n::LocaleSpec malformed("de;q=2", "C", "Europe/Paris");
  // malformed.languageError() == std::errc::invalid_argument, malformed.languages() is empty:
  // the call is still served, with the default English texts
  CHECK(spec.languages() == Args({"de-DE", "fr"}));
  CHECK(!spec.languageError());
  CHECK(spec.timezone().valid());
  CHECK(malformed.languageError() == std::errc::invalid_argument);
  CHECK(malformed.languages().empty());

  // Calls sent without the stubs, to see what the runtime checks before an implementation runs.
  auto call = [&provider](std::string const& interfaceName, std::string const& operation,
                          Tirn::Data::DataValuePtr const& input) {
    Tirn::Data::ErrorValuePtr reported;
    provider->Invoke(
        std::make_shared<Tirn::Core::MethodIdentifier const>(
            std::make_shared<Tirn::Core::InterfaceIdentifier const>(interfaceName), operation),
        input, std::make_shared<Tirn::Core::AsyncActivation>(),
        Tirn::Core::AsyncApiResultCb(
            [&reported](std::shared_ptr<Tirn::Core::MethodResult const> const& result,
                        Tirn::Progress const&, Tirn::Core::AsyncApiResultCb::Continuation&&) {
              if (result) reported = result->error;
            }));
    return reported;
  };
  std::string const keyProviders = "com.ostrel.nox.trusted_infrastructure.kms.providers";
  auto input = Tirn::Data::StructValue::GetInstance(Tirn::Data::Wire::kOperationInputName);

  auto unknown = call(keyProviders, "rename", input);
  // operation_not_found: "tirn.runtime.operation.not.found" {keyProviders, "rename"}

  auto incomplete = call(keyProviders, "get", input);
  // invalid_argument: "tirn.validation.missing.field" {"provider"}

  input->SetField("provider", Tirn::Data::DataValue::Create<std::string>("vault-native"));
  input->SetField("verbose", Tirn::Data::DataValue::Create<bool>(true));
  auto unexpected = call(keyProviders, "get", input);
  // invalid_argument: "tirn.validation.unexpected.field" {"verbose"}
  CHECK(unknown && unknown->name() == Tirn::Data::Wire::kOperationNotFoundError);
  CHECK(unknown && unknown->GetMessages().front().id() == Tirn::MessageIds::kOperationNotFound);
  CHECK(unknown && unknown->GetMessages().front().args() == Args({keyProviders, "rename"}));
  CHECK(incomplete && incomplete->name() == Tirn::Data::Wire::kInvalidArgumentError);
  CHECK(incomplete &&
        incomplete->GetMessages().front().id() == Tirn::MessageIds::kValidationMissingField);
  CHECK(incomplete && incomplete->GetMessages().front().args() == Args{"provider"});
  CHECK(unexpected && unexpected->name() == Tirn::Data::Wire::kInvalidArgumentError);
  CHECK(unexpected &&
        unexpected->GetMessages().front().id() == Tirn::MessageIds::kValidationUnexpectedField);
  CHECK(unexpected && unexpected->GetMessages().front().args() == Args{"verbose"});

  auto address =
      Tirn::Data::StructValue::GetInstance("com.ostrel.nox.trusted_infrastructure.network_address");
  address->SetField("hostname", Tirn::Data::DataValue::Create<std::string>("kms.example.org"));
  address->SetField("port", Tirn::Data::DataValue::Create<std::string>("x8"));
  auto chain =
      Tirn::Data::StructValue::GetInstance("com.ostrel.nox.trusted_infrastructure.x509_cert_chain");
  chain->SetField("cert_chain", Tirn::Data::ListValue::GetInstance(Tirn::Data::ListValue::LIST));
  auto createSpec = Tirn::Data::StructValue::GetInstance(
      "com.ostrel.nox.trusted_infrastructure.kms.services.create_spec");
  createSpec->SetField("address", address);
  createSpec->SetField("trusted_CA", chain);
  createSpec->SetField("group", Tirn::Data::DataValue::Create<std::string>("production"));
  auto createInput = Tirn::Data::StructValue::GetInstance(Tirn::Data::Wire::kOperationInputName);
  createInput->SetField("spec", createSpec);

  auto unparsable =
      call("com.ostrel.nox.trusted_infrastructure.kms.services", "create", createInput);
  // Validation admits "x8" for the port; the native side cannot read it:
  // invalid_argument: "tirn.data.parse.failed" {"x8", "integer"}, then where:
  // "tirn.data.at.path" {"spec.address.port"}
  CHECK(unparsable && unparsable->name() == Tirn::Data::Wire::kInvalidArgumentError);
  CHECK(unparsable && unparsable->GetMessages().front().id() == Tirn::MessageIds::kParseFailed);
  CHECK(unparsable && unparsable->GetMessages().front().args() == Args({"x8", "integer"}));
  CHECK(unparsable && unparsable->GetMessages().back().args() == Args({"spec.address.port"}));

  if (failures == 0) std::printf("errors: all checks passed\n");
  return failures == 0 ? 0 : 1;
}
