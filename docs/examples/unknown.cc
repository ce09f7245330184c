// Unknown fields and unknown enumeration values, as the guide shows them (docs/guide.md,
// "Unknown fields and enumeration values"): what a structure does not know is kept and sent
// back unchanged.
// [unknown-includes]
#include <cstdio>
#include <list>
#include <memory>
#include <string>

#include "com/ostrel/nox/trusted_infrastructure/trusted_infrastructure.h"
#include "apps/reference/reference_server.h"
#include "tirn/data/native_to_value_adapter.h"
#include "tirn/data/value_to_native_adapter.h"
#include "tirn/runtime/call/in_process_provider.h"
#include "tirn/runtime/l10n/request_localizer.h"
#include "tirn/runtime/value/equal.h"
#include "tirn/runtime/value/wire_shapes.h"
#include "tirn/stub/async_api_stub.h"
// [unknown-includes]

namespace {

int failures = 0;

void Check(bool ok, char const* what, int line) {
  if (ok) return;
  std::fprintf(stderr, "unknown.cc:%d: check failed: %s\n", line, what);
  ++failures;
}
#define CHECK(condition) Check((condition), #condition, __LINE__)

// [unknown-names]
namespace Ti = Com::Ostrel::Nox::TrustedInfrastructure;
namespace Providers = Ti::Kms::ProvidersSvc;
namespace KeyServers = Ti::Kms::ServicesSvc;
// [unknown-names]

// The text of a string value, or "" for any other value.
std::string Text(Tirn::Data::DataValuePtr const* value) {
  if (!value || !*value || (*value)->GetType().kind() != Tirn::Data::DataType::STRING) return "";
  return static_cast<Tirn::Data::StringValue const&>(**value).value();
}

}  // namespace

int main() {
  using namespace Tirn::Data;

  // [unknown-receive]
  auto type = OptionalValue::GetInstance();
  type->value(DataValue::Create<std::string>("HARDWARE"));  // an enumerator added later
  auto received =
      StructValue::GetInstance("com.ostrel.nox.trusted_infrastructure.kms.providers.summary");
  received->SetField("provider", DataValue::Create<std::string>("hsm-1"));
  received->SetField("available", DataValue::Create<bool>(true));
  received->SetField("details", ListValue::GetInstance(ListValue::LIST));
  received->SetField("type", type);
  received->SetField("firmware", DataValue::Create<std::string>("2.1"));  // a field added later

  Providers::Summary summary;
  std::list<Tirn::BaseMessage> messages;
  bool read = ValueToNativeAdapter::Adapt(
      received, ValueToNativeAdapter::AdaptMethod<Providers::Summary>::Get(&summary), &summary,
      messages);
  // summary.type->value() == _UNKNOWN, summary.type->unknownValue() == "HARDWARE",
  // summary.unknownFields->FindField("firmware") holds "2.1"

  DataValuePtr sent;
  bool written = NativeToValueAdapter::Adapt(
      &summary, NativeToValueAdapter::AdaptMethod<Providers::Summary>::Get(&summary), &sent,
      messages, Tirn::L10n::RequestLocalizerHelper::GetDefaultRequestLocalizer());
  // Equal(sent, received): both go back as they came
  // [unknown-receive]
  CHECK(read);
  CHECK(summary.type && summary.type->value() == Providers::ProviderType::_UNKNOWN);
  CHECK(summary.type && summary.type->unknownValue() == "HARDWARE");
  CHECK(summary.unknownFields && Text(summary.unknownFields->FindField("firmware")) == "2.1");
  CHECK(summary.unknownFields && summary.unknownFields->fields().size() == 1);

  // A default-constructed enumeration is _UNKNOWN with nothing kept, sent as "_UNKNOWN".
  Providers::ProviderType unset;
  CHECK(written);
  CHECK(Equal(sent, received));
  CHECK(EnumToWire(unset) == "_UNKNOWN");
  CHECK(EnumToWire(Providers::ProviderType(Providers::ProviderType::NATIVE)) == "NATIVE");
  CHECK(messages.empty());

  // Through a server: the reference server stores the native address of a key server and hands
  // it back in "get"; a field of the address it does not know travels with it.
  auto provider = std::make_shared<Tirn::Core::InProcessApiProvider>();
  Reference::ReferenceServer server;
  server.RegisterWith(*provider);

  auto address = StructValue::GetInstance("com.ostrel.nox.trusted_infrastructure.network_address");
  address->SetField("hostname", DataValue::Create<std::string>("kms.example.org"));
  address->SetField("zone", DataValue::Create<std::string>("eu-west"));
  auto chain = StructValue::GetInstance("com.ostrel.nox.trusted_infrastructure.x509_cert_chain");
  chain->SetField("cert_chain", ListValue::GetInstance(ListValue::LIST));
  auto spec =
      StructValue::GetInstance("com.ostrel.nox.trusted_infrastructure.kms.services.create_spec");
  spec->SetField("address", address);
  spec->SetField("trusted_CA", chain);
  spec->SetField("group", DataValue::Create<std::string>("production"));
  auto input = StructValue::GetInstance(Wire::kOperationInputName);
  input->SetField("spec", spec);

  std::string id;
  provider->Invoke(std::make_shared<Tirn::Core::MethodIdentifier const>(
                       std::make_shared<Tirn::Core::InterfaceIdentifier const>(
                           "com.ostrel.nox.trusted_infrastructure.kms.services"),
                       "create"),
                   input, std::make_shared<Tirn::Core::AsyncActivation>(),
                   Tirn::Core::AsyncApiResultCb(
                       [&id](std::shared_ptr<Tirn::Core::MethodResult const> const& result,
                             Tirn::Progress const&, Tirn::Core::AsyncApiResultCb::Continuation&&) {
                         if (result && result->output) id = Text(&result->output);
                       }));
  CHECK(!id.empty());

  KeyServers::AsyncServiceStub keyServers(std::make_shared<Tirn::Stub::AsyncApiStub>(
      provider, std::make_shared<Tirn::Core::AsyncActivation>()));
  std::string zone;
  keyServers.Get(id, nullptr,
                 KeyServers::GetMethod::ResultCbType(
                     [&zone](boost::optional<std::shared_ptr<KeyServers::Info const>> const& info,
                             ErrorValuePtr const&, Tirn::Progress const&) {
                       if (info && (*info)->address && (*info)->address->unknownFields) {
                         zone = Text((*info)->address->unknownFields->FindField("zone"));
                       }
                     }));
  CHECK(zone == "eu-west");

  if (failures == 0) std::printf("unknown: all checks passed\n");
  return failures == 0 ? 0 : 1;
}
