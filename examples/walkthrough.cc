// A walk through the trusted-infrastructure package: the reference server is bound to an
// in-process API provider, and this program then acts as a client through the generated
// stubs only. It creates, lists, reads, updates and deletes across the four services; shows an
// input as the value tree it travels as, progress reports before an answer, an unknown field
// and an unknown enumeration value surviving a round trip, a declared error from the server in
// English and in German, and a call whose input cannot be converted failing on the caller's
// side before it is sent. With --url it tells the same story to a server in another process.
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "com/ostrel/nox/trusted_infrastructure/trusted_infrastructure.h"
#include "apps/reference/reference_server.h"
#include "com/ostrel/nox/trusted_infrastructure/operations.h"
#include "tirn/http/client_provider.h"
#include "tirn/http/io_threads.h"
#include "tirn/http/server.h"
#include "tirn/data/native_to_value_adapter.h"
#include "tirn/data/value_to_native_adapter.h"
#include "tirn/runtime/call/in_process_provider.h"
#include "tirn/runtime/l10n/locale.h"
#include "tirn/runtime/l10n/request_localizer.h"
#include "tirn/runtime/value/equal.h"
#include "tirn/runtime/value/wire_shapes.h"
#include "tirn/stub/async_api_stub.h"

namespace {

namespace Ti = Com::Ostrel::Nox::TrustedInfrastructure;
namespace Providers = Ti::Kms::ProvidersSvc;
namespace KeyServers = Ti::Kms::ServicesSvc;
namespace Attestation = Ti::Attestation::ServicesSvc;
namespace Reports = Ti::Attestation::ReportsSvc;

// One line per message of an error: its identifier and the text in the caller's language when
// the server had one, otherwise the English text.
std::string Explain(Tirn::Data::ErrorValuePtr const& error) {
  if (!error) return "no error";
  std::string text = error->name();
  auto const* list = error->FindField(Tirn::Data::Wire::kErrorMessages);
  if (!list || !*list || (*list)->GetType().kind() != Tirn::Data::DataType::LIST) return text;
  for (auto const& element : static_cast<Tirn::Data::ListValue const&>(**list).elements()) {
    Tirn::BaseMessage message("", "", {});
    boost::optional<std::string> localized;
    if (Tirn::Data::Wire::MessageFromValue(element, message, localized)) {
      text += "\n        " + message.id() + ": " + localized.value_or(message.defaultMessage());
    }
  }
  return text;
}

// One line per call: what was done, and "ok" (with what `describe` makes of the value) or the
// error.
template <class T>
void Show(std::string const& what, Tirn::CallResult<T> const& outcome,
          std::function<std::string(T const&)> const& describe = nullptr) {
  if (!outcome.ok()) {
    std::printf("  %-44s -> error %s\n", what.c_str(), Explain(outcome.error()).c_str());
  } else {
    std::string const detail = describe ? describe(outcome.value()) : std::string();
    std::printf("  %-44s -> ok%s%s\n", what.c_str(), detail.empty() ? "" : ": ", detail.c_str());
  }
}

std::string Identity(std::string const& text) { return text; }


std::shared_ptr<Ti::NetworkAddress const> Address(std::string host, long long port) {
  auto address = std::make_shared<Ti::NetworkAddress>();
  address->hostname = std::move(host);
  address->port = port;
  return address;
}

std::shared_ptr<Ti::X509CertChain const> Chain() {
  auto chain = std::make_shared<Ti::X509CertChain>();
  chain->cert_chain = {"-----BEGIN CERTIFICATE-----\nMIIB...\n-----END CERTIFICATE-----"};
  return chain;
}

std::shared_ptr<Tirn::Core::AsyncActivation> InLanguage(std::string const& language) {
  auto activation = std::make_shared<Tirn::Core::AsyncActivation>();
  activation->requestLocalizer.localeSpec =
      std::make_shared<Tirn::L10n::LocaleSpec const>(language, "C", "Etc/UTC");
  return activation;
}

std::string Names(std::list<std::shared_ptr<Providers::Summary const>> const& summaries) {
  std::string text;
  for (auto const& summary : summaries) {
    text += (text.empty() ? "" : ", ") + summary->provider;
    if (summary->available) {
      text += " (available)";
    } else {
      text += " (unavailable";
      for (auto const& detail : summary->details) text += ": " + detail->default_message;
      text += ")";
    }
  }
  return text.empty() ? "(none)" : text;
}

template <class Summary>
std::string ServiceNames(std::list<std::shared_ptr<Summary const>> const& summaries) {
  std::string text;
  for (auto const& summary : summaries) {
    text += (text.empty() ? "" : ", ") + summary->service + " @ " + summary->address->hostname;
  }
  return text.empty() ? "(none)" : text;
}

}  // namespace

int main(int argc, char** argv) {
  // The server side: in process, bind the four services and register them; with --url URL,
  // call the server there (tirn-server) over HTTP instead.
  std::string url;
  for (int i = 1; i < argc; ++i) {
    std::string const argument = argv[i];
    if (argument == "--url" && i + 1 < argc) {
      url = argv[++i];
    } else if (argument.rfind("--url=", 0) == 0) {
      url = argument.substr(6);
    } else {
      std::fprintf(stderr, "usage: %s [--url http://HOST:PORT]\n", argv[0]);
      return 2;
    }
  }
  std::shared_ptr<Tirn::Core::AsyncApiProvider> provider;
  Reference::ReferenceServer server;
  std::unique_ptr<Tirn::Http::IoThreads> clientThreads;
  if (url.empty()) {
    auto inProcess = std::make_shared<Tirn::Core::InProcessApiProvider>();
    server.RegisterWith(*inProcess);
    provider = inProcess;
  } else {
    clientThreads = std::make_unique<Tirn::Http::IoThreads>(1);
    std::string error;
    provider = Tirn::Http::ClientProvider::Create(clientThreads->contexts(), url, Ti::Operations(),
                                                  {}, &error);
    if (!provider) {
      std::fprintf(stderr, "walkthrough: %s\n", error.c_str());
      return 2;
    }
    std::printf("Calling the server at %s\n\n", url.c_str());
  }

  // The client side: one connection shared by four stubs; calls without an activation get a
  // copy of the template (English).
  auto apiStub = std::make_shared<Tirn::Stub::AsyncApiStub>(provider, InLanguage("en_US"));
  Providers::AsyncServiceStub providers(apiStub);
  KeyServers::AsyncServiceStub keyServers(apiStub);
  Attestation::AsyncServiceStub attestation(apiStub);
  Reports::AsyncServiceStub reports(apiStub);

  std::printf("Key providers\n");
  auto native = std::make_shared<Providers::NativeProviderCreateSpec>();
  native->key_id = "key-1";
  native->key_derivation_key = Tirn::SecretString("correct horse battery staple");
  auto createNative = std::make_shared<Providers::CreateSpec>();
  createNative->provider = "vault-native";
  createNative->native_spec = native;
  // The input as it travels: the structure becomes a value tree, checked against the
  // operation's definition, and that tree is what a provider (in process or over HTTP) gets.
  Tirn::Data::DataValuePtr tree;
  std::list<Tirn::BaseMessage> problems;
  if (Tirn::Data::NativeToValueAdapter::Adapt(
          createNative.get(),
          Tirn::Data::NativeToValueAdapter::AdaptMethod<Providers::CreateSpec>::Get(
              createNative.get()),
          &tree, problems, Tirn::L10n::RequestLocalizerHelper::GetDefaultRequestLocalizer())) {
    std::printf("  the create's input as a value tree (the secret masked):\n    %s\n",
                Tirn::Data::ToDebugString(tree).c_str());
  }
  Show("create vault-native (NATIVE)", providers.Create(createNative).get());
  auto createTa = std::make_shared<Providers::CreateSpec>();
  createTa->provider = "trust-authority";
  Show("create trust-authority (TRUST_AUTHORITY)", providers.Create(createTa).get());
  Show("create vault-native again", providers.Create(createNative).get());
  auto all = providers.List(nullptr).get();
  Show<Providers::ListMethod::Result>("list", all, Names);
  auto info = providers.Get("vault-native").get();
  Show<std::shared_ptr<Providers::Info const>>("get vault-native", info, [](auto const& found) {
    // native_info is the union's case for NATIVE providers.
    return found->native_info ? "key id " + found->native_info->key_id +
                                    " (the key derivation key is never returned)"
                              : std::string("not a native provider");
  });
  auto update = std::make_shared<Providers::UpdateSpec>();
  auto nativeUpdate = std::make_shared<Providers::NativeProviderUpdateSpec>();
  nativeUpdate->key_id = std::string("key-2");
  update->native_spec = nativeUpdate;
  Show("update vault-native key id to key-2", providers.Update("vault-native", update).get());
  Show("update trust-authority's key id", providers.Update("trust-authority", update).get());

  std::printf("\nKey servers\n");
  auto keyServer = std::make_shared<KeyServers::CreateSpec>();
  keyServer->address = Address("kms.example.org", 5696);
  keyServer->trusted_CA = Chain();
  keyServer->group = "production";
  auto created = keyServers.Create(keyServer).get();
  Show<std::string>("create kms.example.org:5696", created, Identity);
  auto badPort = std::make_shared<KeyServers::CreateSpec>(*keyServer);
  badPort->address = Address("kms.example.org", 70000);
  Show("create kms.example.org:70000", keyServers.Create(badPort).get());
  auto filter = std::make_shared<KeyServers::FilterSpec>();
  filter->address = std::list<std::shared_ptr<Ti::NetworkAddress const>>{
      Address("kms.example.org", 5696)};
  auto filtered = keyServers.List(filter).get();
  Show<KeyServers::ListMethod::Result>("list where address is kms.example.org:5696", filtered,
                                      ServiceNames<KeyServers::Summary>);
  auto afterServer = providers.List(nullptr).get();
  Show<Providers::ListMethod::Result>("list key providers again", afterServer, Names);

  std::printf("\nAttestation services and reports\n");
  auto attestationSpec = std::make_shared<Attestation::CreateSpec>();
  attestationSpec->address = Address("attest.example.org", 443);
  attestationSpec->trusted_CA = Chain();
  attestationSpec->group = "production";
  auto attested = attestation.Create(attestationSpec).get();
  Show<std::string>("create attest.example.org:443", attested, Identity);
  auto listed = attestation.List(nullptr).get();
  Show<Attestation::ListMethod::Result>("list", listed, ServiceNames<Attestation::Summary>);
  // Progress reports arrive before the answer: the list says how far along it is.
  reports.List(nullptr, [](boost::optional<Reports::ListMethod::Result> const& list,
                           Tirn::Data::ErrorValuePtr const& error, Tirn::Progress const& progress) {
    if (!progress.IsFinal()) {
      std::printf("  %-44s -> %lld of %lld\n", "progress of list reports",
                  static_cast<long long>(progress.current), static_cast<long long>(progress.maximum));
    } else {
      std::printf("  %-44s -> %s\n", "answer of list reports",
                  list ? (std::to_string(list->size()) + " reports").c_str() : Explain(error).c_str());
    }
  });
  auto reportList = reports.List().get();
  if (!reportList.ok()) Show("list reports", reportList);
  for (auto const& report : reportList.ok() ? reportList.value() : Reports::ListMethod::Result()) {
    std::string const jwt = report->reporting_jwt ? report->reporting_jwt->jwt : "";
    Show<Reports::ListMethod::Result>("report " + report->report, reportList,
                                      [&](auto const&) { return jwt; });
  }

  std::printf("\nWhat a newer peer sends survives a round trip\n");
  {
    // A summary from a server that knows a field and a provider type this client does not.
    using namespace Tirn::Data;
    auto type = OptionalValue::GetInstance();
    type->value(DataValue::Create<std::string>("HARDWARE"));
    auto received =
        StructValue::GetInstance("com.ostrel.nox.trusted_infrastructure.kms.providers.summary");
    received->SetField("provider", DataValue::Create<std::string>("hsm-1"));
    received->SetField("available", DataValue::Create<bool>(true));
    received->SetField("details", ListValue::GetInstance(ListValue::LIST));
    received->SetField("type", type);
    received->SetField("firmware", DataValue::Create<std::string>("2.1"));
    Providers::Summary summary;
    DataValuePtr sentBack;
    bool const read = ValueToNativeAdapter::Adapt(
        received, ValueToNativeAdapter::AdaptMethod<Providers::Summary>::Get(&summary), &summary,
        problems);
    bool const written =
        read && NativeToValueAdapter::Adapt(
                    &summary, NativeToValueAdapter::AdaptMethod<Providers::Summary>::Get(&summary),
                    &sentBack, problems,
                    Tirn::L10n::RequestLocalizerHelper::GetDefaultRequestLocalizer());
    std::printf("  %-44s -> type %s kept as \"%s\", %zu unknown field kept\n", "read into the C++ structure",
                summary.type && summary.type->value() == Providers::ProviderType::_UNKNOWN
                    ? "_UNKNOWN" : "known",
                summary.type ? summary.type->unknownValue().c_str() : "",
                summary.unknownFields ? summary.unknownFields->fields().size() : 0);
    std::printf("  %-44s -> %s\n", "written back",
                written && Equal(sentBack, received) ? "the same as received" : "changed");
  }

  std::printf("\nErrors in two languages (answered by the server)\n");
  Show("get missing (English)", providers.Get("missing").get());
  Show("get missing (German)", providers.Get("missing", InLanguage("de-DE")).get());

  std::printf("\nA call that cannot be sent (refused by the library on this side: nothing "
              "reaches the server)\n");
  Show("create a key server without a specification", keyServers.Create(nullptr).get());

  std::printf("\nClean up\n");
  if (created.ok()) {
    Show("delete " + created.value(), keyServers.Delete(created.value()).get());
  }
  Show("delete vault-native", providers.Delete("vault-native").get());
  Show("delete vault-native again", providers.Delete("vault-native").get());
  return 0;
}
