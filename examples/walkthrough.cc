// A walk through the trusted-infrastructure package: the reference server is bound to an
// in-process API provider, and this program then acts as a client through the generated
// stubs only. It creates, lists, reads, updates and deletes across the four services, shows a
// declared error in English and in German, and a call whose input cannot be converted failing
// before it is sent.
#include <cstdio>
#include <future>
#include <iostream>
#include <memory>
#include <string>

#include "com/ostrel/nox/trusted_infrastructure/trusted_infrastructure.h"
#include "apps/services/reference_server.h"
#include "tirn/runtime/in_process_provider.h"
#include "tirn/runtime/locale.h"
#include "tirn/runtime/wire_shapes.h"
#include "tirn/stub/async_api_stub.h"

namespace {

namespace Ti = Com::Ostrel::Nox::TrustedInfrastructure;
namespace Providers = Ti::Kms::ProvidersSvc;
namespace KeyServers = Ti::Kms::ServicesSvc;
namespace Attestation = Ti::Attestation::ServicesSvc;
namespace Reports = Ti::Attestation::ReportsSvc;

// The final outcome of one call.
template <class T>
struct Outcome {
  boost::optional<T> value;
  Tirn::Data::ErrorValuePtr error;
};

// Makes a call and waits for its final delivery (which may come from any thread).
template <class T, class Invoke>
Outcome<T> Call(Invoke invoke) {
  auto promise = std::make_shared<std::promise<Outcome<T>>>();
  auto future = promise->get_future();
  Tirn::AsyncResult<T, Tirn::AsyncResultTerminateCbPolicy> result(
      [promise](boost::optional<T> const& value, Tirn::Data::ErrorValuePtr const& error,
                Tirn::Progress const& progress) {
        if (progress.IsFinal()) promise->set_value(Outcome<T>{value, error});
      });
  invoke(result);
  return future.get();
}

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

template <class T>
void Show(std::string const& what, Outcome<T> const& outcome, std::string const& detail = "") {
  if (outcome.error) {
    std::printf("  %-44s -> error %s\n", what.c_str(), Explain(outcome.error).c_str());
  } else {
    std::printf("  %-44s -> ok%s%s\n", what.c_str(), detail.empty() ? "" : ": ", detail.c_str());
  }
}

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

int main() {
  // The server side: bind the four services and register them.
  auto provider = std::make_shared<Tirn::Core::InProcessApiProvider>();
  Reference::ReferenceServer server;
  server.RegisterWith(*provider);

  // The client side: one connection shared by four stubs; calls without an activation get a
  // copy of the template (English).
  auto apiStub = std::make_shared<Tirn::Stub::AsyncApiStub>(provider, InLanguage("en_US"));
  Providers::AsyncServiceStub providers(apiStub);
  KeyServers::AsyncServiceStub keyServers(apiStub);
  Attestation::AsyncServiceStub attestation(apiStub);
  Reports::AsyncServiceStub reports(apiStub);
  using Void = Tirn::Void;

  std::printf("Key providers\n");
  auto native = std::make_shared<Providers::NativeProviderCreateSpec>();
  native->key_id = "key-1";
  native->key_derivation_key = Tirn::SecretString("correct horse battery staple");
  auto createNative = std::make_shared<Providers::CreateSpec>();
  createNative->provider = "vault-native";
  createNative->native_spec = native;
  Show("create vault-native (NATIVE)", Call<Void>([&](auto const& r) {
         providers.Create(createNative, nullptr, r);
       }));
  auto createTa = std::make_shared<Providers::CreateSpec>();
  createTa->provider = "trust-authority";
  Show("create trust-authority (TRUST_AUTHORITY)", Call<Void>([&](auto const& r) {
         providers.Create(createTa, nullptr, r);
       }));
  Show("create vault-native again", Call<Void>([&](auto const& r) {
         providers.Create(createNative, nullptr, r);
       }));
  auto all = Call<Providers::ListMethod::Result>([&](auto const& r) {
    providers.List(nullptr, nullptr, r);
  });
  Show("list", all, Names(*all.value));
  auto info = Call<std::shared_ptr<Providers::Info const>>([&](auto const& r) {
    providers.Get("vault-native", nullptr, r);
  });
  Show("get vault-native", info,
       "key id " + (*info.value)->native_info->key_id + " (the key derivation key is never returned)");
  auto update = std::make_shared<Providers::UpdateSpec>();
  auto nativeUpdate = std::make_shared<Providers::NativeProviderUpdateSpec>();
  nativeUpdate->key_id = std::string("key-2");
  update->native_spec = nativeUpdate;
  Show("update vault-native key id to key-2", Call<Void>([&](auto const& r) {
         providers.Update("vault-native", update, nullptr, r);
       }));
  Show("update trust-authority's key id", Call<Void>([&](auto const& r) {
         providers.Update("trust-authority", update, nullptr, r);
       }));

  std::printf("\nKey servers\n");
  auto keyServer = std::make_shared<KeyServers::CreateSpec>();
  keyServer->address = Address("kms.example.org", 5696);
  keyServer->trusted_CA = Chain();
  keyServer->group = "production";
  auto created = Call<std::string>([&](auto const& r) { keyServers.Create(keyServer, nullptr, r); });
  Show("create kms.example.org:5696", created, *created.value);
  auto badPort = std::make_shared<KeyServers::CreateSpec>(*keyServer);
  badPort->address = Address("kms.example.org", 70000);
  Show("create kms.example.org:70000", Call<std::string>([&](auto const& r) {
         keyServers.Create(badPort, nullptr, r);
       }));
  auto filter = std::make_shared<KeyServers::FilterSpec>();
  filter->address = std::list<std::shared_ptr<Ti::NetworkAddress const>>{
      Address("kms.example.org", 5696)};
  auto filtered = Call<KeyServers::ListMethod::Result>([&](auto const& r) {
    keyServers.List(filter, nullptr, r);
  });
  Show("list where address is kms.example.org:5696", filtered, ServiceNames(*filtered.value));
  auto afterServer = Call<Providers::ListMethod::Result>([&](auto const& r) {
    providers.List(nullptr, nullptr, r);
  });
  Show("list key providers again", afterServer, Names(*afterServer.value));

  std::printf("\nAttestation services and reports\n");
  auto attestationSpec = std::make_shared<Attestation::CreateSpec>();
  attestationSpec->address = Address("attest.example.org", 443);
  attestationSpec->trusted_CA = Chain();
  attestationSpec->group = "production";
  auto attested = Call<std::string>([&](auto const& r) {
    attestation.Create(attestationSpec, nullptr, r);
  });
  Show("create attest.example.org:443", attested, *attested.value);
  auto listed = Call<Attestation::ListMethod::Result>([&](auto const& r) {
    attestation.List(nullptr, nullptr, r);
  });
  Show("list", listed, ServiceNames(*listed.value));
  auto reportList = Call<Reports::ListMethod::Result>([&](auto const& r) { reports.List(nullptr, r); });
  for (auto const& report : *reportList.value) {
    Show("report " + report->report, reportList, report->reporting_jwt->jwt);
  }

  std::printf("\nErrors in two languages\n");
  Show("get missing (English)", Call<std::shared_ptr<Providers::Info const>>([&](auto const& r) {
         providers.Get("missing", nullptr, r);
       }));
  Show("get missing (German)", Call<std::shared_ptr<Providers::Info const>>([&](auto const& r) {
         providers.Get("missing", InLanguage("de-DE"), r);
       }));

  std::printf("\nA call that cannot be sent\n");
  Show("create a key server without a specification", Call<std::string>([&](auto const& r) {
         keyServers.Create(nullptr, nullptr, r);
       }));

  std::printf("\nClean up\n");
  Show("delete " + *created.value, Call<Void>([&](auto const& r) { keyServers.Delete(*created.value, nullptr, r); }));
  Show("delete vault-native", Call<Void>([&](auto const& r) {
         providers.Delete("vault-native", nullptr, r);
       }));
  Show("delete vault-native again", Call<Void>([&](auto const& r) {
         providers.Delete("vault-native", nullptr, r);
       }));
  return 0;
}
