// The package's structures through the value model: native to value to native for every
// structure, unknown fields and unknown enumeration strings kept at any depth, and the value
// forms the services rely on (secrets, empty filters, ports, certificate order, unions).
#include "com/ostrel/nox/trusted_infrastructure/trusted_infrastructure.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <list>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <boost/optional/optional_io.hpp>

#include "tirn/data/native_to_definition_adapter.h"
#include "tirn/data/native_to_value_adapter.h"
#include "tirn/data/value_to_native_adapter.h"
#include "tirn/message/message_ids.h"
#include "tirn/runtime/request_localizer.h"
#include "tirn/runtime/validation.h"
#include "tirn/std/localizable_message.h"

namespace {

namespace TI = Com::Ostrel::Nox::TrustedInfrastructure;
namespace Providers = TI::Kms::ProvidersSvc;
namespace KmsServices = TI::Kms::ServicesSvc;
namespace AttServices = TI::Attestation::ServicesSvc;
namespace Reports = TI::Attestation::ReportsSvc;

using Com::Ostrel::Tirn::Std::LocalizableMessage;
using Tirn::BaseMessage;
using Tirn::Data::CompoundValue;
using Tirn::Data::DataType;
using Tirn::Data::DataValuePtr;
using Tirn::Data::DescribeType;
using Tirn::Data::ListValue;
using Tirn::Data::NativeToValueAdapter;
using Tirn::Data::OptionalValue;
using Tirn::Data::StructValue;
using Tirn::Data::TypeInfo;
using Tirn::Data::ValueToNativeAdapter;
using Messages = std::list<BaseMessage>;
using Args = std::list<std::string>;

// ---- Conversions ---------------------------------------------------------------------------

template <class T>
bool ToValue(T const& native, DataValuePtr& value, Messages& messages) {
  return NativeToValueAdapter::Adapt(
      &native, NativeToValueAdapter::AdaptMethod<T>::Get(&native), &value, messages,
      Tirn::L10n::RequestLocalizerHelper::GetDefaultRequestLocalizer());
}

template <class T>
DataValuePtr ToValue(T const& native) {
  DataValuePtr value;
  Messages messages;
  EXPECT_TRUE(ToValue(native, value, messages));
  EXPECT_TRUE(messages.empty()) << messages.front().id();
  return value;
}

template <class T>
bool ToNative(DataValuePtr const& value, T& native, Messages& messages) {
  return ValueToNativeAdapter::Adapt(value, ValueToNativeAdapter::AdaptMethod<T>::Get(&native),
                                     &native, messages);
}

template <class T>
T ToNative(DataValuePtr const& value) {
  T native;
  Messages messages;
  EXPECT_TRUE(ToNative(value, native, messages));
  EXPECT_TRUE(messages.empty()) << messages.front().id();
  return native;
}

// ---- Building values and natives -------------------------------------------------------------

DataValuePtr Str(std::string text) { return Tirn::Data::StringValue::GetInstance(std::move(text)); }
DataValuePtr Int(long long value) { return Tirn::Data::IntegerValue::GetInstance(value); }
DataValuePtr Bool(bool value) { return Tirn::Data::BooleanValue::GetInstance(value); }
DataValuePtr Secret(std::string text) {
  return Tirn::Data::SecretValue::GetInstance(Tirn::SecretString(std::move(text)));
}

DataValuePtr Opt() { return OptionalValue::GetInstance(); }
DataValuePtr Opt(DataValuePtr content) {
  auto optional = OptionalValue::GetInstance();
  optional->value(std::move(content));
  return optional;
}

DataValuePtr Sequence(ListValue::Kind kind, std::initializer_list<DataValuePtr> elements) {
  auto list = ListValue::GetInstance(kind);
  for (auto const& element : elements) list->Append(element);
  return list;
}
DataValuePtr List(std::initializer_list<DataValuePtr> elements) {
  return Sequence(ListValue::LIST, elements);
}
DataValuePtr Set(std::initializer_list<DataValuePtr> elements) {
  return Sequence(ListValue::SET, elements);
}

DataValuePtr Struct(std::string const& name,
                    std::initializer_list<std::pair<std::string, DataValuePtr>> fields) {
  auto value = StructValue::GetInstance(name);
  for (auto const& field : fields) value->SetField(field.first, field.second);
  return value;
}

std::string const kPackage = "com.ostrel.nox.trusted_infrastructure.";

DataValuePtr FieldOf(DataValuePtr const& value, std::string const& name) {
  auto const* compound = dynamic_cast<CompoundValue const*>(value.get());
  if (!compound) return nullptr;
  DataValuePtr const* field = compound->FindField(name);
  return field ? *field : nullptr;
}

std::shared_ptr<TI::NetworkAddress const> Address(std::string host,
                                                  boost::optional<long long> port) {
  auto address = std::make_shared<TI::NetworkAddress>();
  address->hostname = std::move(host);
  address->port = port;
  return address;
}

std::shared_ptr<TI::X509CertChain const> Chain(std::list<std::string> certificates) {
  auto chain = std::make_shared<TI::X509CertChain>();
  chain->cert_chain = std::move(certificates);
  return chain;
}

std::shared_ptr<LocalizableMessage const> Detail(std::string id, std::string text, Args args,
                                                 boost::optional<std::string> localized) {
  auto message = std::make_shared<LocalizableMessage>();
  message->id = std::move(id);
  message->default_message = std::move(text);
  message->args = std::move(args);
  message->localized = std::move(localized);
  return message;
}

// ---- Samples of every structure ----------------------------------------------------------------

template <class T>
using Samples = std::vector<std::shared_ptr<T const>>;

template <class T, class Fill>
std::shared_ptr<T const> Make(Fill fill) {
  auto native = std::make_shared<T>();
  fill(*native);
  return native;
}

// The structures of the two "services" services have the same shapes.
template <class Summary>
Samples<Summary> SummarySamples() {
  return {Make<Summary>([](Summary& s) {
            s.service = "svc-1";
            s.address = Address("kms.example", 5696);
            s.group = "host-group-7";
          }),
          Make<Summary>([](Summary& s) { s.address = Address("", boost::none); })};
}

template <class Info>
Samples<Info> InfoSamples() {
  return {Make<Info>([](Info& s) {
            s.address = Address("attest.example", 0);
            s.trusted_CA = Chain({"-----LEAF-----", "-----INTERMEDIATE-----", "-----ROOT-----"});
            s.group = "g";
          }),
          Make<Info>([](Info& s) {
            s.address = Address("h", boost::none);
            s.trusted_CA = Chain({});
          })};
}

template <class FilterSpec>
Samples<FilterSpec> FilterSamples() {
  return {std::make_shared<FilterSpec const>(), Make<FilterSpec>([](FilterSpec& s) {
            s.services = std::set<std::string>{"svc-2", "svc-1"};
            s.address = std::list<std::shared_ptr<TI::NetworkAddress const>>{
                Address("b.example", 443), Address("a.example", boost::none)};
            s.group = std::set<std::string>{"g2", "g1"};
          }),
          Make<FilterSpec>([](FilterSpec& s) {
            s.services = std::set<std::string>{};
            s.address = std::list<std::shared_ptr<TI::NetworkAddress const>>{};
            s.group = std::set<std::string>{};
          })};
}

template <class T>
Samples<T> SamplesOf();

template <>
Samples<TI::NetworkAddress> SamplesOf() {
  return {Address("kms.example", 5696), Address("", boost::none), Address("h", 0)};
}
template <>
Samples<TI::X509CertChain> SamplesOf() {
  return {Chain({"c", "a", "b"}), Chain({})};
}
template <>
Samples<Providers::NativeProviderInfo> SamplesOf() {
  return {Make<Providers::NativeProviderInfo>([](auto& s) { s.key_id = "key-1"; }),
          std::make_shared<Providers::NativeProviderInfo const>()};
}
template <>
Samples<Providers::Info> SamplesOf() {
  return {Make<Providers::Info>([](Providers::Info& s) {
            s.type = Providers::ProviderType::NATIVE;
            s.native_info = Tirn::MakeOptionalPtr<Providers::NativeProviderInfo>();
          }),
          Make<Providers::Info>([](Providers::Info& s) {
            auto info = std::make_shared<Providers::NativeProviderInfo>();
            info->key_id = "key-9";
            s.type = Providers::ProviderType::NATIVE;
            s.native_info = info;
          }),
          Make<Providers::Info>(
              [](Providers::Info& s) { s.type = Providers::ProviderType::TRUST_AUTHORITY; }),
          Make<Providers::Info>([](Providers::Info& s) {
            s.type = Providers::ProviderType(Providers::ProviderType::_UNKNOWN, "native");
          })};
}
template <>
Samples<Providers::Summary> SamplesOf() {
  return {Make<Providers::Summary>([](Providers::Summary& s) {
            s.provider = "provider-1";
            s.available = true;
            s.details = {Detail("nox.kms.unreachable", "Server {0} is unreachable", {"kms-a"},
                                boost::none),
                         Detail("nox.kms.retry", "Retrying in {0} s", {"30"},
                                std::string("Nouvel essai dans 30 s"))};
            s.type = Providers::ProviderType::TRUST_AUTHORITY;
          }),
          Make<Providers::Summary>([](Providers::Summary& s) { s.provider = "provider-2"; }),
          Make<Providers::Summary>([](Providers::Summary& s) {
            s.type = Providers::ProviderType(Providers::ProviderType::_UNKNOWN, "native");
          })};
}
template <>
Samples<Providers::FilterSpec> SamplesOf() {
  return {std::make_shared<Providers::FilterSpec const>(),
          Make<Providers::FilterSpec>([](Providers::FilterSpec& s) {
            s.providers = std::set<std::string>{"p-2", "p-1"};
            s.available = false;
            s.types = std::set<Providers::ProviderType>{
                Providers::ProviderType::TRUST_AUTHORITY, Providers::ProviderType::NATIVE,
                Providers::ProviderType(Providers::ProviderType::_UNKNOWN, "native")};
          }),
          Make<Providers::FilterSpec>([](Providers::FilterSpec& s) {
            s.providers = std::set<std::string>{};
            s.types = std::set<Providers::ProviderType>{};
          })};
}
template <>
Samples<Providers::NativeProviderCreateSpec> SamplesOf() {
  return {Make<Providers::NativeProviderCreateSpec>([](auto& s) {
            s.key_id = "key-1";
            s.key_derivation_key = Tirn::SecretString("kdk-3e9a");
          }),
          std::make_shared<Providers::NativeProviderCreateSpec const>()};
}
template <>
Samples<Providers::CreateSpec> SamplesOf() {
  return {Make<Providers::CreateSpec>([](Providers::CreateSpec& s) {
            auto spec = std::make_shared<Providers::NativeProviderCreateSpec>();
            spec->key_id = "key-1";
            spec->key_derivation_key = Tirn::SecretString("kdk-3e9a");
            s.provider = "provider-1";
            s.native_spec = spec;
          }),
          Make<Providers::CreateSpec>([](Providers::CreateSpec& s) { s.provider = "p"; })};
}
template <>
Samples<Providers::NativeProviderUpdateSpec> SamplesOf() {
  return {Make<Providers::NativeProviderUpdateSpec>([](auto& s) { s.key_id = "key-2"; }),
          Make<Providers::NativeProviderUpdateSpec>([](auto& s) { s.key_id = ""; }),
          std::make_shared<Providers::NativeProviderUpdateSpec const>()};
}
template <>
Samples<Providers::UpdateSpec> SamplesOf() {
  return {Make<Providers::UpdateSpec>([](Providers::UpdateSpec& s) {
            auto spec = std::make_shared<Providers::NativeProviderUpdateSpec>();
            spec->key_id = "key-2";
            s.native_spec = spec;
          }),
          std::make_shared<Providers::UpdateSpec const>()};
}
template <>
Samples<KmsServices::Summary> SamplesOf() {
  return SummarySamples<KmsServices::Summary>();
}
template <>
Samples<KmsServices::Info> SamplesOf() {
  return InfoSamples<KmsServices::Info>();
}
template <>
Samples<KmsServices::CreateSpec> SamplesOf() {
  return InfoSamples<KmsServices::CreateSpec>();
}
template <>
Samples<KmsServices::FilterSpec> SamplesOf() {
  return FilterSamples<KmsServices::FilterSpec>();
}
template <>
Samples<AttServices::Summary> SamplesOf() {
  return SummarySamples<AttServices::Summary>();
}
template <>
Samples<AttServices::Info> SamplesOf() {
  return InfoSamples<AttServices::Info>();
}
template <>
Samples<AttServices::CreateSpec> SamplesOf() {
  return InfoSamples<AttServices::CreateSpec>();
}
template <>
Samples<AttServices::FilterSpec> SamplesOf() {
  return FilterSamples<AttServices::FilterSpec>();
}
template <>
Samples<Reports::ReportingJwt> SamplesOf() {
  return {Make<Reports::ReportingJwt>([](Reports::ReportingJwt& s) {
            s.service = "attestation-1";
            s.group = "g";
            s.jwt = "eyJhbGciOiJSUzI1NiJ9.e30.c2ln";
          }),
          std::make_shared<Reports::ReportingJwt const>()};
}
template <>
Samples<Reports::Summary> SamplesOf() {
  return {Make<Reports::Summary>([](Reports::Summary& s) {
            auto jwt = std::make_shared<Reports::ReportingJwt>();
            jwt->service = "attestation-1";
            jwt->jwt = "e30";
            s.report = "report-1";
            s.type = Reports::ReportType::REPORTING_JWT;
            s.reporting_jwt = jwt;
          }),
          Make<Reports::Summary>([](Reports::Summary& s) {
            s.report = "report-2";
            s.type = Reports::ReportType(Reports::ReportType::_UNKNOWN, "FUTURE_KIND");
          })};
}

// ---- Every structure -------------------------------------------------------------------------

template <class T>
class PackageStructure : public ::testing::Test {};

using PackageStructures = ::testing::Types<
    TI::NetworkAddress, TI::X509CertChain, Providers::NativeProviderInfo, Providers::Info,
    Providers::Summary, Providers::FilterSpec, Providers::NativeProviderCreateSpec,
    Providers::CreateSpec, Providers::NativeProviderUpdateSpec, Providers::UpdateSpec,
    KmsServices::Summary, KmsServices::Info, KmsServices::CreateSpec, KmsServices::FilterSpec,
    AttServices::Summary, AttServices::Info, AttServices::CreateSpec, AttServices::FilterSpec,
    Reports::ReportingJwt, Reports::Summary>;
TYPED_TEST_SUITE(PackageStructure, PackageStructures);

TYPED_TEST(PackageStructure, RoundTripsThroughAValueItsDefinitionAdmits) {
  Tirn::Data::DataDefinitionPtr const definition = DescribeType<TypeParam>();
  Samples<TypeParam> const samples = SamplesOf<TypeParam>();
  for (std::size_t i = 0; i < samples.size(); ++i) {
    SCOPED_TRACE("sample " + std::to_string(i));
    DataValuePtr const value = ToValue(*samples[i]);
    ASSERT_NE(value, nullptr);
    ASSERT_EQ(value->GetType().kind(), DataType::STRUCTURE);
    EXPECT_EQ(static_cast<CompoundValue const&>(*value).name(), TypeInfo<TypeParam>::name());

    Messages messages;
    EXPECT_TRUE(Tirn::Data::Validate(definition, value, messages));
    for (BaseMessage const& message : messages) ADD_FAILURE() << message.defaultMessage();

    TypeParam const back = ToNative<TypeParam>(value);
    EXPECT_TRUE(back == *samples[i]) << Tirn::Data::ToDebugString(value);
    EXPECT_TRUE(Tirn::Data::Equal(ToValue(back), value));
  }
}

TYPED_TEST(PackageStructure, DefaultInstanceIsNewAndIgnoresTheValue) {
  DataValuePtr const value = ToValue(*SamplesOf<TypeParam>().front());
  auto const first = TypeInfo<TypeParam>::defaultInstance(value);
  auto const second = TypeInfo<TypeParam>::defaultInstance(nullptr);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(first, second);
  EXPECT_TRUE(*first == TypeParam());
  EXPECT_TRUE(*second == TypeParam());
  EXPECT_EQ(first->unknownFields, nullptr);
}

TEST(PackageRoundTrip, StructureEqualityIsDeep) {
  auto const info = [](std::shared_ptr<TI::NetworkAddress const> address,
                       std::shared_ptr<TI::X509CertChain const> chain) {
    auto result = std::make_shared<KmsServices::Info>();
    result->address = std::move(address);
    result->trusted_CA = std::move(chain);
    return result;
  };
  auto const base = info(Address("h", 1), Chain({"a", "b"}));
  auto const withUnknown = ToNative<KmsServices::Info>(
      Struct(kPackage + "kms.services.info",
             {{"address", Struct(kPackage + "network_address",
                                 {{"hostname", Str("h")}, {"port", Opt(Int(1))}, {"x", Int(1)}})},
              {"trusted_CA", Struct(kPackage + "x509_cert_chain",
                                    {{"cert_chain", List({Str("a"), Str("b")})}})},
              {"group", Str("")}}));
  struct Row {
    char const* label;
    std::shared_ptr<KmsServices::Info const> other;
    bool equal;
  };
  Row const rows[] = {
      {"same contents, other objects", info(Address("h", 1), Chain({"a", "b"})), true},
      {"nested port", info(Address("h", 2), Chain({"a", "b"})), false},
      {"nested port absent", info(Address("h", boost::none), Chain({"a", "b"})), false},
      {"certificate order", info(Address("h", 1), Chain({"b", "a"})), false},
      {"unknown field two levels down", std::make_shared<KmsServices::Info>(withUnknown), false},
  };
  for (auto const& row : rows) {
    SCOPED_TRACE(row.label);
    EXPECT_EQ(*base == *row.other, row.equal);
  }

  Providers::Info unknownNative;
  unknownNative.type = Providers::ProviderType(Providers::ProviderType::_UNKNOWN, "native");
  Providers::Info unknownOther;
  unknownOther.type = Providers::ProviderType(Providers::ProviderType::_UNKNOWN, "other");
  EXPECT_FALSE(unknownNative == unknownOther);
  Providers::NativeProviderCreateSpec secretA;
  secretA.key_derivation_key = Tirn::SecretString("a");
  Providers::NativeProviderCreateSpec secretB;
  secretB.key_derivation_key = Tirn::SecretString("b");
  EXPECT_FALSE(secretA == secretB);
}

// A value as received, with fields and enumeration strings this version does not know, is
// sent back unchanged, and the structure read from it survives another round trip.
template <class T>
void ExpectSentBackUnchanged(DataValuePtr const& received) {
  T native;
  Messages messages;
  ASSERT_TRUE(ToNative(received, native, messages));
  DataValuePtr const sent = ToValue(native);
  EXPECT_TRUE(Tirn::Data::Equal(sent, received))
      << "received " << Tirn::Data::ToDebugString(received) << "\nsent     "
      << Tirn::Data::ToDebugString(sent);
  EXPECT_TRUE(ToNative<T>(sent) == native);
}

TEST(PackageRoundTrip, UnknownFieldsAndEnumerationStringsAtEveryDepth) {
  auto const address = [](std::string host, DataValuePtr port,
                          std::initializer_list<std::pair<std::string, DataValuePtr>> extra) {
    auto value = StructValue::GetInstance(kPackage + "network_address");
    value->SetField("hostname", Str(std::move(host)));
    value->SetField("port", std::move(port));
    for (auto const& field : extra) value->SetField(field.first, field.second);
    return value;
  };
  DataValuePtr const future =
      Struct("com.example.future", {{"level", Int(3)}, {"tags", List({Str("a")})}});
  struct Row {
    char const* label;
    void (*check)(DataValuePtr const&);
    DataValuePtr received;
  };
  Row const rows[] = {
      {"kms.services.info: top, address and trusted_CA",
       &ExpectSentBackUnchanged<KmsServices::Info>,
       Struct(kPackage + "kms.services.info",
              {{"address", address("kms.example", Opt(Int(5696)), {{"zone", Str("eu-1")}})},
               {"trusted_CA", Struct(kPackage + "x509_cert_chain",
                                     {{"cert_chain", List({Str("leaf"), Str("root")})},
                                      {"pinned", Bool(true)}})},
               {"group", Str("g")},
               {"added_later", future}})},
      {"attestation.services.filter_spec: an element of the address list",
       &ExpectSentBackUnchanged<AttServices::FilterSpec>,
       Struct(kPackage + "attestation.services.filter_spec",
              {{"services", Opt(Set({Str("a-1"), Str("a-2")}))},
               {"address", Opt(List({address("one", Opt(), {}),
                                     address("two", Opt(Int(0)), {{"weight", Int(5)}})}))},
               {"group", Opt()},
               {"zz_last", Str("kept")}})},
      {"kms.providers.create_spec: the native specification, beside a secret",
       &ExpectSentBackUnchanged<Providers::CreateSpec>,
       Struct(kPackage + "kms.providers.create_spec",
              {{"provider", Str("p-1")},
               {"native_spec",
                Opt(Struct(kPackage + "kms.providers.native_provider_create_spec",
                           {{"key_id", Str("k")},
                            {"key_derivation_key", Secret("kdk-0")},
                            {"rotation", future}}))},
               {"aa_first", Opt(Str("x"))}})},
      {"kms.providers.info: type \"native\" in lower case",
       &ExpectSentBackUnchanged<Providers::Info>,
       Struct(kPackage + "kms.providers.info",
              {{"type", Str("native")}, {"native_info", Opt()}, {"note", Str("n")}})},
      {"kms.providers.summary: optional type \"native\"",
       &ExpectSentBackUnchanged<Providers::Summary>,
       Struct(kPackage + "kms.providers.summary", {{"provider", Str("p")},
                                                   {"available", Bool(false)},
                                                   {"details", List({})},
                                                   {"type", Opt(Str("native"))}})},
      {"kms.providers.filter_spec: \"native\" in the set of types",
       &ExpectSentBackUnchanged<Providers::FilterSpec>,
       Struct(kPackage + "kms.providers.filter_spec",
              {{"providers", Opt()},
               {"available", Opt(Bool(true))},
               {"types", Opt(Set({Str("NATIVE"), Str("native")}))}})},
      {"attestation.reports.summary: type FUTURE_KIND, unknown field in the case",
       &ExpectSentBackUnchanged<Reports::Summary>,
       Struct(kPackage + "attestation.reports.summary",
              {{"report", Str("r-1")},
               {"type", Str("FUTURE_KIND")},
               {"reporting_jwt",
                Opt(Struct(kPackage + "attestation.reports.reporting_jwt",
                           {{"service", Str("s")},
                            {"group", Str("g")},
                            {"jwt", Str("e30")},
                            {"audience", List({Str("x")})}}))}})},
  };
  for (auto const& row : rows) {
    SCOPED_TRACE(row.label);
    row.check(row.received);
  }
}

TEST(PackageRoundTrip, UnknownEnumerationStringsAreKept) {
  struct Row {
    char const* wire;
    int expected;
    char const* kept;
  };
  Row const providerTypes[] = {
      {"NATIVE", Providers::ProviderType::NATIVE, ""},
      {"TRUST_AUTHORITY", Providers::ProviderType::TRUST_AUTHORITY, ""},
      {"native", Providers::ProviderType::_UNKNOWN, "native"},
      {"FUTURE_KIND", Providers::ProviderType::_UNKNOWN, "FUTURE_KIND"},
  };
  for (auto const& row : providerTypes) {
    SCOPED_TRACE(row.wire);
    auto const info = ToNative<Providers::Info>(Struct(
        kPackage + "kms.providers.info", {{"type", Str(row.wire)}, {"native_info", Opt()}}));
    EXPECT_EQ(info.type.value(), row.expected);
    EXPECT_EQ(info.type.unknownValue(), row.kept);
    EXPECT_TRUE(Tirn::Data::Equal(FieldOf(ToValue(info), "type"), Str(row.wire)));
  }
  Row const reportTypes[] = {
      {"REPORTING_JWT", Reports::ReportType::REPORTING_JWT, ""},
      {"FUTURE_KIND", Reports::ReportType::_UNKNOWN, "FUTURE_KIND"},
      {"reporting_jwt", Reports::ReportType::_UNKNOWN, "reporting_jwt"},
  };
  for (auto const& row : reportTypes) {
    SCOPED_TRACE(row.wire);
    auto const summary = ToNative<Reports::Summary>(
        Struct(kPackage + "attestation.reports.summary",
               {{"report", Str("r")}, {"type", Str(row.wire)}, {"reporting_jwt", Opt()}}));
    EXPECT_EQ(summary.type.value(), row.expected);
    EXPECT_EQ(summary.type.unknownValue(), row.kept);
    EXPECT_TRUE(Tirn::Data::Equal(FieldOf(ToValue(summary), "type"), Str(row.wire)));
  }
}

// ---- Failures and value forms ------------------------------------------------------------------

template <class T>
Messages FailuresOf(T const& native) {
  DataValuePtr value;
  Messages messages;
  EXPECT_FALSE(ToValue(native, value, messages));
  return messages;
}

TEST(PackageRoundTrip, NullRequiredStructuresFailNativeToValue) {
  auto const chain = Chain({"c"});
  auto const address = Address("h", 1);
  std::string const addressName = kPackage + "network_address";
  std::string const chainName = kPackage + "x509_cert_chain";

  KmsServices::Summary kmsSummary;
  AttServices::Summary attSummary;
  KmsServices::Info kmsInfoNoAddress;
  kmsInfoNoAddress.trusted_CA = chain;
  KmsServices::Info kmsInfoNoChain;
  kmsInfoNoChain.address = address;
  KmsServices::CreateSpec kmsCreateNoChain;
  kmsCreateNoChain.address = address;
  AttServices::Info attInfoNoAddress;
  attInfoNoAddress.trusted_CA = chain;
  AttServices::CreateSpec attCreateNoAddress;
  attCreateNoAddress.trusted_CA = chain;
  AttServices::CreateSpec attCreateNoChain;
  attCreateNoChain.address = address;
  // The second summary of a list result lacks its address.
  auto goodSummary = std::make_shared<KmsServices::Summary>();
  goodSummary->address = address;
  KmsServices::ListMethod::Result listResult = {goodSummary,
                                                std::make_shared<KmsServices::Summary>()};
  // An operation input whose required specification is missing.
  Providers::CreateMethod::Input createInput;
  Providers::UpdateMethod::Input updateInput;
  updateInput.provider = "p-1";
  KmsServices::CreateMethod::Input kmsCreateInput;
  // A present create input whose specification lacks its chain, two levels down.
  AttServices::CreateMethod::Input attCreateInput;
  attCreateInput.spec = std::make_shared<AttServices::CreateSpec>(attCreateNoChain);

  struct Row {
    char const* label;
    Messages messages;
    std::string missing;
  };
  Row const rows[] = {
      {"kms.services.summary", FailuresOf(kmsSummary), addressName},
      {"attestation.services.summary", FailuresOf(attSummary), addressName},
      {"kms.services.info address", FailuresOf(kmsInfoNoAddress), addressName},
      {"kms.services.info trusted_CA", FailuresOf(kmsInfoNoChain), chainName},
      {"kms.services.create_spec trusted_CA", FailuresOf(kmsCreateNoChain), chainName},
      {"attestation.services.info address", FailuresOf(attInfoNoAddress), addressName},
      {"attestation.services.create_spec address", FailuresOf(attCreateNoAddress), addressName},
      {"attestation.services.create_spec trusted_CA", FailuresOf(attCreateNoChain), chainName},
      {"kms.services list result", FailuresOf(listResult), addressName},
      {"kms.providers create input", FailuresOf(createInput),
       kPackage + "kms.providers.create_spec"},
      {"kms.providers update input", FailuresOf(updateInput),
       kPackage + "kms.providers.update_spec"},
      {"kms.services create input", FailuresOf(kmsCreateInput),
       kPackage + "kms.services.create_spec"},
      {"attestation.services create input", FailuresOf(attCreateInput), chainName},
  };
  for (auto const& row : rows) {
    SCOPED_TRACE(row.label);
    ASSERT_EQ(row.messages.size(), 1u);
    EXPECT_EQ(row.messages.front().id(), Tirn::MessageIds::kUnsetNonOptionalField);
    EXPECT_EQ(row.messages.front().args(), Args{row.missing});
  }
}

TEST(PackageRoundTrip, UnionCasesAreCheckedByDefinitionsNotByConversion) {
  auto const providerInfo = [](Providers::ProviderType type, bool withCase) {
    Providers::Info info;
    info.type = std::move(type);
    if (withCase) info.native_info = Tirn::MakeOptionalPtr<Providers::NativeProviderInfo>();
    return ToValue(info);
  };
  auto const reportSummary = [](Reports::ReportType type, bool withCase) {
    Reports::Summary summary;
    summary.type = std::move(type);
    if (withCase) summary.reporting_jwt = Tirn::MakeOptionalPtr<Reports::ReportingJwt>();
    return ToValue(summary);
  };
  auto const info = DescribeType<Providers::Info>();
  auto const summary = DescribeType<Reports::Summary>();
  char const* const valid = "";
  struct Row {
    char const* label;
    Tirn::Data::DataDefinitionPtr definition;
    DataValuePtr value;
    char const* problem;  // the validation message expected, or "" when the value is valid
  };
  Row const rows[] = {
      {"NATIVE with native_info", info, providerInfo(Providers::ProviderType::NATIVE, true),
       valid},
      {"TRUST_AUTHORITY without", info,
       providerInfo(Providers::ProviderType::TRUST_AUTHORITY, false), valid},
      {"\"native\" without", info,
       providerInfo(Providers::ProviderType(Providers::ProviderType::_UNKNOWN, "native"), false),
       valid},
      {"NATIVE without native_info", info, providerInfo(Providers::ProviderType::NATIVE, false),
       Tirn::MessageIds::kValidationUnionCaseMissing},
      {"TRUST_AUTHORITY with native_info", info,
       providerInfo(Providers::ProviderType::TRUST_AUTHORITY, true),
       Tirn::MessageIds::kValidationUnionCaseUnexpected},
      {"REPORTING_JWT with reporting_jwt", summary,
       reportSummary(Reports::ReportType::REPORTING_JWT, true), valid},
      {"FUTURE_KIND without", summary,
       reportSummary(Reports::ReportType(Reports::ReportType::_UNKNOWN, "FUTURE_KIND"), false),
       valid},
      {"REPORTING_JWT without reporting_jwt", summary,
       reportSummary(Reports::ReportType::REPORTING_JWT, false),
       Tirn::MessageIds::kValidationUnionCaseMissing},
      {"FUTURE_KIND with reporting_jwt", summary,
       reportSummary(Reports::ReportType(Reports::ReportType::_UNKNOWN, "FUTURE_KIND"), true),
       Tirn::MessageIds::kValidationUnionCaseUnexpected},
  };
  for (auto const& row : rows) {
    SCOPED_TRACE(row.label);
    // Conversion accepted every one of them; the case field is an optional value either way.
    ASSERT_NE(row.value, nullptr);
    DataValuePtr const caseField =
        FieldOf(row.value, row.definition == info ? "native_info" : "reporting_jwt");
    ASSERT_NE(caseField, nullptr);
    EXPECT_EQ(caseField->GetType().kind(), DataType::OPTIONAL);
    Messages messages;
    bool const ok = Tirn::Data::Validate(row.definition, row.value, messages);
    if (*row.problem == '\0') {
      EXPECT_TRUE(ok);
      EXPECT_TRUE(messages.empty());
    } else {
      EXPECT_FALSE(ok);
      ASSERT_FALSE(messages.empty());
      EXPECT_EQ(messages.front().id(), row.problem);
    }
  }
}

TEST(PackageRoundTrip, SecretsTravelAsSecretValues) {
  std::string const text = "kdk-7f3c91";
  auto spec = std::make_shared<Providers::NativeProviderCreateSpec>();
  spec->key_id = "key-1";
  spec->key_derivation_key = Tirn::SecretString(text);
  auto create = std::make_shared<Providers::CreateSpec>();
  create->provider = "p-1";
  create->native_spec = spec;
  Providers::CreateMethod::Input input;
  input.spec = create;

  DataValuePtr const specValue = ToValue(*spec);
  DataValuePtr const inputValue = ToValue(input);
  DataValuePtr const nested = FieldOf(
      std::static_pointer_cast<OptionalValue const>(FieldOf(FieldOf(inputValue, "spec"),
                                                            "native_spec"))
          ->value(),
      "key_derivation_key");
  for (DataValuePtr const& key : {FieldOf(specValue, "key_derivation_key"), nested}) {
    ASSERT_NE(key, nullptr);
    ASSERT_EQ(key->GetType().kind(), DataType::SECRET);
    EXPECT_EQ(static_cast<Tirn::Data::SecretValue const&>(*key).value().value(), text);
  }
  for (DataValuePtr const& value : {specValue, inputValue}) {
    std::string const printed = Tirn::Data::ToDebugString(value);
    EXPECT_EQ(printed.find(text), std::string::npos) << printed;
  }
  EXPECT_EQ(ToNative<Providers::NativeProviderCreateSpec>(specValue).key_derivation_key.value(),
            text);

  // The definition asks for a secret: the same text as a plain string is refused.
  Messages messages;
  EXPECT_FALSE(Tirn::Data::Validate(
      DescribeType<Providers::NativeProviderCreateSpec>(),
      Struct(kPackage + "kms.providers.native_provider_create_spec",
             {{"key_id", Str("key-1")}, {"key_derivation_key", Str(text)}}),
      messages));
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages.front().id(), Tirn::MessageIds::kValidationWrongKind);
  for (BaseMessage const& message : messages) {
    EXPECT_EQ(message.defaultMessage().find(text), std::string::npos);
  }
}

TEST(PackageRoundTrip, EmptyFiltersGiveEmptyOptionals) {
  struct Row {
    char const* label;
    DataValuePtr value;
    std::vector<std::string> fields;
  };
  Row const rows[] = {
      {"kms.providers", ToValue(Providers::FilterSpec()), {"available", "providers", "types"}},
      {"kms.services", ToValue(KmsServices::FilterSpec()), {"address", "group", "services"}},
      {"attestation.services", ToValue(AttServices::FilterSpec()),
       {"address", "group", "services"}},
  };
  for (auto const& row : rows) {
    SCOPED_TRACE(row.label);
    auto const& fields = static_cast<CompoundValue const&>(*row.value).fields();
    std::vector<std::string> names;
    for (auto const& field : fields) {
      names.push_back(field.first);
      SCOPED_TRACE(field.first);
      auto const optional = std::dynamic_pointer_cast<OptionalValue const>(field.second);
      ASSERT_NE(optional, nullptr);
      EXPECT_FALSE(optional->has_value());
    }
    EXPECT_EQ(names, row.fields);
  }
}

TEST(PackageRoundTrip, NetworkAddressPort) {
  struct Row {
    char const* label;
    DataValuePtr port;
    boost::optional<long long> expected;
  };
  Row const rows[] = {
      {"zero", Opt(Int(0)), 0LL},
      {"zero, bare", Int(0), 0LL},
      {"highest", Opt(Int(65535)), 65535LL},
      {"empty optional", Opt(), boost::none},
  };
  for (auto const& row : rows) {
    SCOPED_TRACE(row.label);
    auto const address = ToNative<TI::NetworkAddress>(
        Struct(kPackage + "network_address", {{"hostname", Str("h")}, {"port", row.port}}));
    EXPECT_EQ(address.port, row.expected);
    DataValuePtr const sent = FieldOf(ToValue(address), "port");
    EXPECT_TRUE(Tirn::Data::Equal(sent, row.expected ? Opt(Int(*row.expected)) : Opt()));
  }
}

TEST(PackageRoundTrip, CertificateChainKeepsItsOrder) {
  struct Row {
    std::list<std::string> chain;
    DataValuePtr value;
  };
  Row const rows[] = {
      {{"leaf", "intermediate", "root"}, List({Str("leaf"), Str("intermediate"), Str("root")})},
      {{"z", "a", "m"}, List({Str("z"), Str("a"), Str("m")})},
      {{"same", "same"}, List({Str("same"), Str("same")})},
      {{}, List({})},
  };
  for (auto const& row : rows) {
    SCOPED_TRACE(Tirn::Data::ToDebugString(row.value));
    DataValuePtr const sent = FieldOf(ToValue(*Chain(row.chain)), "cert_chain");
    EXPECT_TRUE(Tirn::Data::Equal(sent, row.value)) << Tirn::Data::ToDebugString(sent);
    EXPECT_EQ(ToNative<TI::X509CertChain>(
                  Struct(kPackage + "x509_cert_chain", {{"cert_chain", row.value}}))
                  .cert_chain,
              row.chain);
  }
}

// Reads a value of `structure` whose certificate chain is sent under `chainField`.
template <class T>
bool ReadWithChainField(std::string const& structure, char const* chainField, T& native,
                        Messages& messages) {
  return ToNative(
      Struct(kPackage + structure,
             {{"address", Struct(kPackage + "network_address",
                                 {{"hostname", Str("h")}, {"port", Opt()}})},
              {chainField, Struct(kPackage + "x509_cert_chain", {{"cert_chain", List({})}})},
              {"group", Str("")}}),
      native, messages);
}

// The field must arrive spelt "trusted_CA"; in lower case it is an unknown field and the
// chain is missing.
template <class T>
void ExpectTrustedCaSpelling(std::string const& structure) {
  T native;
  Messages messages;
  EXPECT_TRUE(ReadWithChainField(structure, "trusted_CA", native, messages));
  EXPECT_TRUE(native.trusted_CA);

  T misspelt;
  messages.clear();
  EXPECT_FALSE(ReadWithChainField(structure, "trusted_ca", misspelt, messages));
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages.front().id(), Tirn::MessageIds::kFieldMissing);
  EXPECT_EQ(messages.front().args(), (Args{"trusted_CA", kPackage + structure}));
}

TEST(PackageRoundTrip, TrustedCaKeepsItsCapitals) {
  KmsServices::Info info;
  info.address = Address("h", boost::none);
  info.trusted_CA = Chain({"c"});
  DataValuePtr const value = ToValue(info);
  EXPECT_NE(FieldOf(value, "trusted_CA"), nullptr);
  EXPECT_EQ(FieldOf(value, "trusted_ca"), nullptr);

  struct Row {
    char const* structure;
    void (*check)(std::string const&);
  };
  Row const rows[] = {
      {"kms.services.info", &ExpectTrustedCaSpelling<KmsServices::Info>},
      {"kms.services.create_spec", &ExpectTrustedCaSpelling<KmsServices::CreateSpec>},
      {"attestation.services.info", &ExpectTrustedCaSpelling<AttServices::Info>},
      {"attestation.services.create_spec", &ExpectTrustedCaSpelling<AttServices::CreateSpec>},
  };
  for (auto const& row : rows) {
    SCOPED_TRACE(row.structure);
    row.check(row.structure);
  }
}

}  // namespace
