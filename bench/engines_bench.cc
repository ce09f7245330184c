// Speed of the conversion engines, each beside the same work done by Boost.JSON
// (value_from / value_to with Boost.Describe) on equivalent structures, in the same run.
//
// Boost.JSON runs on two native shapes: its natural one (vectors of plain structures) and ours
// (std::list of std::shared_ptr<T const>, members held by std::shared_ptr as the generated
// structures hold them). Every benchmark reports the allocations and bytes allocated per
// structure (or per call), counted by this program's own operator new. glibc's heap trimming
// is disabled for the whole run, so that returning pages to the system and faulting them in
// again does not decide a comparison.
//
// One whole call in process, through our stub and provider, is measured beside gRPC's
// synchronous unary call over an in-process channel with equivalent messages.
//
// Value → native is also taken apart (ByHandValueToNative, ValueTreeWalk, NativeCopy: see
// there), so that what the engine costs is told from what the value model and the native
// shape cost whoever converts.
//
// The report ends with one line per pair: our time divided by the peer's.
//
//   build/bench/bench/tirn_engines_bench [--benchmark_filter=...]
#include <benchmark/benchmark.h>

#include <malloc.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <list>
#include <new>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <boost/describe.hpp>
#include <boost/json.hpp>
#include <grpcpp/grpcpp.h>
#include <rapidjson/reader.h>
#include <simdjson.h>

#include "bench/allocation_count.h"
#include "com/ostrel/nox/trusted_infrastructure/kms/providers/service.h"
#include "com/ostrel/nox/trusted_infrastructure/kms/services/binder.h"
#include "com/ostrel/nox/trusted_infrastructure/kms/services/service.h"
#include "com/ostrel/nox/trusted_infrastructure/kms/services/stub.h"
#include "key_servers.grpc.pb.h"
#include "tirn/data/native_to_definition_adapter.h"
#include "tirn/data/native_to_value_adapter.h"
#include "tirn/data/value_to_native_adapter.h"
#include "tirn/json/json.h"
#include "tirn/runtime/call/in_process_provider.h"
#include "tirn/runtime/l10n/request_localizer.h"
#include "tirn/stub/async_api_stub.h"


namespace {

namespace Ti = Com::Ostrel::Nox::TrustedInfrastructure;
using Tirn::Data::NativeToValueAdapter;
using Tirn::Data::ValueToNativeAdapter;

constexpr int kCount = 10000;

// ---- Equivalent plain structures for Boost.JSON --------------------------------------------

namespace plain {

struct NetworkAddress {
  std::string hostname;
  std::optional<long long> port;
};
BOOST_DESCRIBE_STRUCT(NetworkAddress, (), (hostname, port))

struct KeyServerSummary {
  std::string service;
  NetworkAddress address;
  std::string group;
};
BOOST_DESCRIBE_STRUCT(KeyServerSummary, (), (service, address, group))

struct X509CertChain {
  std::vector<std::string> cert_chain;
};
BOOST_DESCRIBE_STRUCT(X509CertChain, (), (cert_chain))

struct KeyServerInfo {
  NetworkAddress address;
  X509CertChain trusted_CA;
  std::string group;
};
BOOST_DESCRIBE_STRUCT(KeyServerInfo, (), (address, trusted_CA, group))

struct Message {
  std::string id;
  std::string default_message;
  std::vector<std::string> args;
  std::optional<std::string> localized;
};
BOOST_DESCRIBE_STRUCT(Message, (), (id, default_message, args, localized))

BOOST_DEFINE_ENUM_CLASS(ProviderType, NATIVE, TRUST_AUTHORITY)

struct ProviderSummary {
  std::string provider;
  bool available;
  std::vector<Message> details;
  std::optional<ProviderType> type;
};
BOOST_DESCRIBE_STRUCT(ProviderSummary, (), (provider, available, details, type))

// Boost.JSON on our shape: a std::shared_ptr<T const> is written as its object and read into a
// new one.
template <class T>
void tag_invoke(boost::json::value_from_tag, boost::json::value& out,
                std::shared_ptr<T const> const& pointer) {
  out = boost::json::value_from(*pointer, out.storage());
}
template <class T>
std::shared_ptr<T const> tag_invoke(boost::json::value_to_tag<std::shared_ptr<T const>>,
                                    boost::json::value const& in) {
  return std::make_shared<T const>(boost::json::value_to<T>(in));
}

struct SharedKeyServerSummary {
  std::string service;
  std::shared_ptr<NetworkAddress const> address;
  std::string group;
};
BOOST_DESCRIBE_STRUCT(SharedKeyServerSummary, (), (service, address, group))

struct SharedProviderSummary {
  std::string provider;
  bool available;
  std::list<std::shared_ptr<Message const>> details;
  std::optional<ProviderType> type;
};
BOOST_DESCRIBE_STRUCT(SharedProviderSummary, (), (provider, available, details, type))

}  // namespace plain

// ---- Inputs --------------------------------------------------------------------------------

std::string ServiceId(int i) { return "key-server-" + std::to_string(i); }
std::string Host(int i) { return "kms-" + std::to_string(i) + ".example.org"; }
std::string Group(int i) { return "group-" + std::to_string(i % 10); }

std::shared_ptr<Ti::NetworkAddress const> Address(int i, long long port) {
  auto address = std::make_shared<Ti::NetworkAddress>();
  address->hostname = Host(i);
  address->port = port;
  return address;
}

std::list<std::shared_ptr<Ti::Kms::ServicesSvc::Summary const>> KeyServers() {
  std::list<std::shared_ptr<Ti::Kms::ServicesSvc::Summary const>> list;
  for (int i = 0; i < kCount; ++i) {
    auto summary = std::make_shared<Ti::Kms::ServicesSvc::Summary>();
    summary->service = ServiceId(i);
    summary->address = Address(i, 5696 + i % 7);
    summary->group = Group(i);
    list.push_back(summary);
  }
  return list;
}

std::vector<plain::KeyServerSummary> PlainKeyServers() {
  std::vector<plain::KeyServerSummary> list;
  for (int i = 0; i < kCount; ++i) {
    list.push_back({ServiceId(i), {Host(i), 5696 + i % 7}, Group(i)});
  }
  return list;
}

// A certificate as PEM text: about 1.4 KB of base64 in lines of 64 characters, each line end
// escaped in JSON, as in what a key server's get answers.
std::string PemCertificate(int i) {
  std::string pem = "-----BEGIN CERTIFICATE-----\n";
  static char const alphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (int line = 0; line < 21; ++line) {
    for (int at = 0; at < 64; ++at) pem += alphabet[(i * 31 + line * 7 + at) % 64];
    pem += '\n';
  }
  return pem + "-----END CERTIFICATE-----\n";
}

// A tenth as many key servers as summaries, each with its certificate chain.
constexpr int kInfoCount = kCount / 10;

std::list<std::shared_ptr<Ti::Kms::ServicesSvc::Info const>> KeyServerInfos() {
  std::list<std::shared_ptr<Ti::Kms::ServicesSvc::Info const>> list;
  for (int i = 0; i < kInfoCount; ++i) {
    auto chain = std::make_shared<Ti::X509CertChain>();
    chain->cert_chain = {PemCertificate(i)};
    auto info = std::make_shared<Ti::Kms::ServicesSvc::Info>();
    info->address = Address(i, 5696);
    info->trusted_CA = chain;
    info->group = Group(i);
    list.push_back(info);
  }
  return list;
}

std::vector<plain::KeyServerInfo> PlainKeyServerInfos() {
  std::vector<plain::KeyServerInfo> list;
  for (int i = 0; i < kInfoCount; ++i) {
    list.push_back({{Host(i), 5696}, {{PemCertificate(i)}}, Group(i)});
  }
  return list;
}

std::list<std::shared_ptr<Ti::Kms::ProvidersSvc::Summary const>> Providers() {
  std::list<std::shared_ptr<Ti::Kms::ProvidersSvc::Summary const>> list;
  for (int i = 0; i < kCount; ++i) {
    auto summary = std::make_shared<Ti::Kms::ProvidersSvc::Summary>();
    summary->provider = "provider-" + std::to_string(i);
    summary->available = i % 2 == 0;
    auto message = std::make_shared<Com::Ostrel::Tirn::Std::LocalizableMessage>();
    message->id = "kms.provider.unavailable";
    message->default_message = "Provider is unavailable: no key server";
    message->args = {summary->provider};
    summary->details.push_back(message);
    summary->type = Ti::Kms::ProvidersSvc::ProviderType(
        i % 2 ? Ti::Kms::ProvidersSvc::ProviderType::NATIVE
              : Ti::Kms::ProvidersSvc::ProviderType::TRUST_AUTHORITY);
    list.push_back(summary);
  }
  return list;
}

std::vector<plain::ProviderSummary> PlainProviders() {
  std::vector<plain::ProviderSummary> list;
  for (int i = 0; i < kCount; ++i) {
    std::string provider = "provider-" + std::to_string(i);
    list.push_back({provider,
                    i % 2 == 0,
                    {{"kms.provider.unavailable", "Provider is unavailable: no key server",
                      {provider}, std::nullopt}},
                    i % 2 ? plain::ProviderType::NATIVE : plain::ProviderType::TRUST_AUTHORITY});
  }
  return list;
}

std::list<std::shared_ptr<plain::SharedKeyServerSummary const>> SharedPlainKeyServers() {
  std::list<std::shared_ptr<plain::SharedKeyServerSummary const>> list;
  for (auto const& summary : PlainKeyServers()) {
    list.push_back(std::make_shared<plain::SharedKeyServerSummary const>(plain::SharedKeyServerSummary{
        summary.service, std::make_shared<plain::NetworkAddress const>(summary.address),
        summary.group}));
  }
  return list;
}

std::list<std::shared_ptr<plain::SharedProviderSummary const>> SharedPlainProviders() {
  std::list<std::shared_ptr<plain::SharedProviderSummary const>> list;
  for (auto const& summary : PlainProviders()) {
    std::list<std::shared_ptr<plain::Message const>> details;
    for (auto const& detail : summary.details) {
      details.push_back(std::make_shared<plain::Message const>(detail));
    }
    list.push_back(std::make_shared<plain::SharedProviderSummary const>(plain::SharedProviderSummary{
        summary.provider, summary.available, std::move(details), summary.type}));
  }
  return list;
}

// ---- Benchmarks ----------------------------------------------------------------------------

template <class T>
Tirn::Data::DataValuePtr ToValue(T const& native) {
  Tirn::Data::DataValuePtr value;
  std::list<Tirn::BaseMessage> messages;
  auto localizer = Tirn::L10n::RequestLocalizerHelper::GetDefaultRequestLocalizer();
  if (!NativeToValueAdapter::Adapt(&native, NativeToValueAdapter::AdaptMethod<T>::Get(&native),
                                   &value, messages, localizer)) {
    std::abort();
  }
  return value;
}

template <class T>
void ToNative(Tirn::Data::DataValuePtr const& value, T& native) {
  std::list<Tirn::BaseMessage> messages;
  if (!ValueToNativeAdapter::Adapt(value, ValueToNativeAdapter::AdaptMethod<T>::Get(&native),
                                   &native, messages)) {
    std::abort();
  }
}

template <class Make>
void NativeToValue(benchmark::State& state, Make make) {
  auto const native = make();
  AllocationCount const count;
  for (auto _ : state) benchmark::DoNotOptimize(ToValue(native));
  count.Report(state, state.iterations() * kCount);
  state.SetItemsProcessed(state.iterations() * kCount);
}

// Each iteration converts the value of make()'s summaries into new natives with `convert`.
template <class Make, class Convert>
void IntoNatives(benchmark::State& state, Make make, Convert convert) {
  auto const value = ToValue(make());
  AllocationCount const count;
  for (auto _ : state) {
    decltype(make()) native;
    convert(value, native);
    benchmark::DoNotOptimize(native);
  }
  count.Report(state, state.iterations() * kCount);
  state.SetItemsProcessed(state.iterations() * kCount);
}

template <class Make>
void ValueToNative(benchmark::State& state, Make make) {
  IntoNatives(state, make, [](auto const& value, auto& native) { ToNative(value, native); });
}

template <class Make>
void JsonValueFrom(benchmark::State& state, Make make) {
  auto const native = make();
  AllocationCount const count;
  for (auto _ : state) benchmark::DoNotOptimize(boost::json::value_from(native));
  count.Report(state, state.iterations() * kCount);
  state.SetItemsProcessed(state.iterations() * kCount);
}

template <class Make>
void JsonValueTo(benchmark::State& state, Make make) {
  auto const json = boost::json::value_from(make());
  AllocationCount const count;
  for (auto _ : state) {
    benchmark::DoNotOptimize(boost::json::value_to<decltype(make())>(json));
  }
  count.Report(state, state.iterations() * kCount);
  state.SetItemsProcessed(state.iterations() * kCount);
}

BENCHMARK_CAPTURE(NativeToValue, KeyServerSummaries, KeyServers)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(JsonValueFrom, KeyServerSummaries, PlainKeyServers)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(ValueToNative, KeyServerSummaries, KeyServers)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(JsonValueTo, KeyServerSummaries, PlainKeyServers)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(NativeToValue, ProviderSummaries, Providers)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(JsonValueFrom, ProviderSummaries, PlainProviders)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(ValueToNative, ProviderSummaries, Providers)->Unit(benchmark::kMillisecond);
// Boost.JSON on our native shape.
BENCHMARK_CAPTURE(JsonValueFrom, SharedKeyServerSummaries, SharedPlainKeyServers)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(JsonValueTo, SharedKeyServerSummaries, SharedPlainKeyServers)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(JsonValueFrom, SharedProviderSummaries, SharedPlainProviders)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(JsonValueTo, SharedProviderSummaries, SharedPlainProviders)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(JsonValueTo, ProviderSummaries, PlainProviders)->Unit(benchmark::kMillisecond);

// ---- Value → native taken apart ------------------------------------------------------------
//
// Three cases split what ValueToNative costs, for both kinds of summary:
// - ByHandValueToNative: the same conversion written out for these structures: each field
//   found by name and read, the same natives made. No work stack, no path kept for a message,
//   nothing checked beyond a value's kind, none of the wire's leniencies: the engine's floor.
// - ValueTreeWalk: the same walk over the same value tree, reading every field's content and
//   making nothing: what reaching the values costs in the value model's layout.
// - NativeCopy: a deep copy of the natives the conversion makes: allocating, filling and
//   freeing the generated structures' shape, with no value read at all.
// What ValueToNative costs beyond ByHandValueToNative is the engine's own; ValueTreeWalk and
// NativeCopy are the two parts of ByHandValueToNative that Boost.JSON pays differently.

namespace by_hand {

using Tirn::Data::CompoundValue;
using Tirn::Data::DataType;
using Tirn::Data::DataValuePtr;
using Tirn::Data::ListValue;

bool Is(DataValuePtr const* value, DataType::Kind kind) {
  return value && *value && (*value)->GetType().kind() == kind;
}
CompoundValue const& Struct(DataValuePtr const& value) {
  return static_cast<CompoundValue const&>(*value);
}
std::string const& Text(DataValuePtr const& value) {
  return static_cast<Tirn::Data::StringValue const&>(*value).value();
}
// An optional's content, bare or wrapped; null when there is none.
DataValuePtr const* Content(DataValuePtr const* value) {
  if (!Is(value, DataType::OPTIONAL)) return value;
  auto const& optional = static_cast<Tirn::Data::OptionalValue const&>(**value);
  return optional.has_value() ? &optional.value() : nullptr;
}

// Reads a structure's fields into `out` when `Build`; otherwise adds up what it reads into
// `*seen`, making nothing.
template <bool Build>
void Address(DataValuePtr const& value, Ti::NetworkAddress* out, std::size_t* seen) {
  auto const& fields = Struct(value);
  if (auto const* host = fields.FindField("hostname"); Is(host, DataType::STRING)) {
    if constexpr (Build) out->hostname = Text(*host); else *seen += Text(*host).size();
  }
  if (auto const* port = Content(fields.FindField("port")); Is(port, DataType::INTEGER)) {
    auto const number = static_cast<Tirn::Data::IntegerValue const&>(**port).value();
    if constexpr (Build) out->port = number; else *seen += static_cast<std::size_t>(number);
  }
}

template <bool Build>
void KeyServer(DataValuePtr const& value, Ti::Kms::ServicesSvc::Summary* out, std::size_t* seen) {
  auto const& fields = Struct(value);
  if (auto const* service = fields.FindField("service"); Is(service, DataType::STRING)) {
    if constexpr (Build) out->service = Text(*service); else *seen += Text(*service).size();
  }
  if (auto const* address = fields.FindField("address"); Is(address, DataType::STRUCTURE)) {
    if constexpr (Build) {
      auto made = std::make_shared<Ti::NetworkAddress>();
      Address<true>(*address, made.get(), seen);
      out->address = std::move(made);
    } else {
      Address<false>(*address, nullptr, seen);
    }
  }
  if (auto const* group = fields.FindField("group"); Is(group, DataType::STRING)) {
    if constexpr (Build) out->group = Text(*group); else *seen += Text(*group).size();
  }
}

template <bool Build>
void Message(DataValuePtr const& value, Com::Ostrel::Tirn::Std::LocalizableMessage* out,
             std::size_t* seen) {
  auto const& fields = Struct(value);
  if (auto const* id = fields.FindField("id"); Is(id, DataType::STRING)) {
    if constexpr (Build) out->id = Text(*id); else *seen += Text(*id).size();
  }
  if (auto const* text = fields.FindField("default_message"); Is(text, DataType::STRING)) {
    if constexpr (Build) out->default_message = Text(*text); else *seen += Text(*text).size();
  }
  if (auto const* args = fields.FindField("args"); Is(args, DataType::LIST)) {
    for (auto const& arg : static_cast<ListValue const&>(**args).elements()) {
      if (!Is(&arg, DataType::STRING)) continue;
      if constexpr (Build) out->args.push_back(Text(arg)); else *seen += Text(arg).size();
    }
  }
  if (auto const* localized = Content(fields.FindField("localized"));
      Is(localized, DataType::STRING)) {
    if constexpr (Build) out->localized = Text(*localized); else *seen += Text(*localized).size();
  }
}

template <bool Build>
void Provider(DataValuePtr const& value, Ti::Kms::ProvidersSvc::Summary* out, std::size_t* seen) {
  using Type = Ti::Kms::ProvidersSvc::ProviderType;
  auto const& fields = Struct(value);
  if (auto const* id = fields.FindField("provider"); Is(id, DataType::STRING)) {
    if constexpr (Build) out->provider = Text(*id); else *seen += Text(*id).size();
  }
  if (auto const* available = fields.FindField("available"); Is(available, DataType::BOOLEAN)) {
    bool const yes = static_cast<Tirn::Data::BooleanValue const&>(**available).value();
    if constexpr (Build) out->available = yes; else *seen += yes;
  }
  if (auto const* details = fields.FindField("details"); Is(details, DataType::LIST)) {
    for (auto const& detail : static_cast<ListValue const&>(**details).elements()) {
      if (!Is(&detail, DataType::STRUCTURE)) continue;
      if constexpr (Build) {
        auto made = std::make_shared<Com::Ostrel::Tirn::Std::LocalizableMessage>();
        Message<true>(detail, made.get(), seen);
        out->details.push_back(std::move(made));
      } else {
        Message<false>(detail, nullptr, seen);
      }
    }
  }
  if (auto const* type = Content(fields.FindField("type")); Is(type, DataType::STRING)) {
    bool const native = Text(*type) == "NATIVE";
    if constexpr (Build) {
      out->type = Type(native ? Type::NATIVE : Type::TRUST_AUTHORITY);
    } else {
      *seen += native;
    }
  }
}

// Each element of the list `value`, read by `read` into a new T when `Build`.
template <bool Build, class T, class Read>
void Summaries(DataValuePtr const& value, std::list<std::shared_ptr<T const>>* out,
               std::size_t* seen, Read read) {
  for (auto const& element : static_cast<ListValue const&>(*value).elements()) {
    if (!Is(&element, DataType::STRUCTURE)) continue;
    if constexpr (Build) {
      auto made = std::make_shared<T>();
      read(element, made.get(), seen);
      out->push_back(std::move(made));
    } else {
      read(element, nullptr, seen);
    }
  }
}

void Convert(DataValuePtr const& value,
             std::list<std::shared_ptr<Ti::Kms::ServicesSvc::Summary const>>* out,
             std::size_t* seen) {
  Summaries<true>(value, out, seen, &KeyServer<true>);
}
void Convert(DataValuePtr const& value,
             std::list<std::shared_ptr<Ti::Kms::ProvidersSvc::Summary const>>* out,
             std::size_t* seen) {
  Summaries<true>(value, out, seen, &Provider<true>);
}
std::size_t Walk(DataValuePtr const& value,
                 std::list<std::shared_ptr<Ti::Kms::ServicesSvc::Summary const>> const*) {
  std::size_t seen = 0;
  Summaries<false, Ti::Kms::ServicesSvc::Summary>(value, nullptr, &seen, &KeyServer<false>);
  return seen;
}
std::size_t Walk(DataValuePtr const& value,
                 std::list<std::shared_ptr<Ti::Kms::ProvidersSvc::Summary const>> const*) {
  std::size_t seen = 0;
  Summaries<false, Ti::Kms::ProvidersSvc::Summary>(value, nullptr, &seen, &Provider<false>);
  return seen;
}

// A deep copy: new shared objects all the way down, as a conversion makes them.
std::list<std::shared_ptr<Ti::Kms::ServicesSvc::Summary const>> Copy(
    std::list<std::shared_ptr<Ti::Kms::ServicesSvc::Summary const>> const& from) {
  std::list<std::shared_ptr<Ti::Kms::ServicesSvc::Summary const>> out;
  for (auto const& summary : from) {
    auto made = std::make_shared<Ti::Kms::ServicesSvc::Summary>(*summary);
    made->address = std::make_shared<Ti::NetworkAddress>(*summary->address);
    out.push_back(std::move(made));
  }
  return out;
}
std::list<std::shared_ptr<Ti::Kms::ProvidersSvc::Summary const>> Copy(
    std::list<std::shared_ptr<Ti::Kms::ProvidersSvc::Summary const>> const& from) {
  std::list<std::shared_ptr<Ti::Kms::ProvidersSvc::Summary const>> out;
  for (auto const& summary : from) {
    auto made = std::make_shared<Ti::Kms::ProvidersSvc::Summary>();
    made->provider = summary->provider;
    made->available = summary->available;
    for (auto const& detail : summary->details) {
      made->details.push_back(std::make_shared<Com::Ostrel::Tirn::Std::LocalizableMessage>(*detail));
    }
    made->type = summary->type;
    out.push_back(std::move(made));
  }
  return out;
}

}  // namespace by_hand

template <class Make>
void ByHandValueToNative(benchmark::State& state, Make make) {
  auto const expected = make();
  auto const value = ToValue(expected);
  {
    decltype(make()) native;
    std::size_t seen = 0;
    by_hand::Convert(value, &native, &seen);
    if (native.size() != expected.size() || !(*native.front() == *expected.front()) ||
        !(*native.back() == *expected.back())) {
      state.SkipWithError("the conversion by hand does not give back the summaries");
      return;
    }
  }
  IntoNatives(state, make, [](auto const& from, auto& native) {
    std::size_t seen = 0;
    by_hand::Convert(from, &native, &seen);
  });
}

template <class Make>
void ValueTreeWalk(benchmark::State& state, Make make) {
  auto const value = ToValue(make());
  AllocationCount const count;
  for (auto _ : state) {
    benchmark::DoNotOptimize(by_hand::Walk(value, static_cast<decltype(make()) const*>(nullptr)));
  }
  count.Report(state, state.iterations() * kCount);
  state.SetItemsProcessed(state.iterations() * kCount);
}

template <class Make>
void NativeCopy(benchmark::State& state, Make make) {
  auto const native = make();
  AllocationCount const count;
  for (auto _ : state) benchmark::DoNotOptimize(by_hand::Copy(native));
  count.Report(state, state.iterations() * kCount);
  state.SetItemsProcessed(state.iterations() * kCount);
}

BENCHMARK_CAPTURE(ByHandValueToNative, KeyServerSummaries, KeyServers)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(ValueTreeWalk, KeyServerSummaries, KeyServers)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(NativeCopy, KeyServerSummaries, KeyServers)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(ByHandValueToNative, ProviderSummaries, Providers)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(ValueTreeWalk, ProviderSummaries, Providers)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(NativeCopy, ProviderSummaries, Providers)->Unit(benchmark::kMillisecond);

// ---- JSON text -----------------------------------------------------------------------------

template <class Make>
std::string JsonText(Make make) {
  std::string text;
  std::list<Tirn::BaseMessage> messages;
  if (!Tirn::Json::ToJson(make(), &text, messages)) std::abort();
  return text;
}

// Native structures to JSON text: ours through the value tree, Boost.JSON's through its own.
template <class Make>
void ToJsonText(benchmark::State& state, Make make) {
  auto const native = make();
  std::list<Tirn::BaseMessage> messages;
  for (auto _ : state) {
    std::string text;
    if (!Tirn::Json::ToJson(native, &text, messages)) std::abort();
    benchmark::DoNotOptimize(text);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<long long>(native.size()));
}

template <class Make>
void JsonSerialize(benchmark::State& state, Make make) {
  auto const native = make();
  for (auto _ : state) benchmark::DoNotOptimize(boost::json::serialize(boost::json::value_from(native)));
  state.SetItemsProcessed(state.iterations() * static_cast<long long>(native.size()));
}

// JSON text to native structures: ours decodes, validates and converts; Boost.JSON parses and
// converts.
template <class Make>
void FromJsonText(benchmark::State& state, Make make) {
  std::string const text = JsonText(make);
  std::list<Tirn::BaseMessage> messages;
  for (auto _ : state) {
    decltype(make()) native;
    if (!Tirn::Json::FromJson(text, &native, messages)) std::abort();
    benchmark::DoNotOptimize(native);
  }
  state.SetItemsProcessed(state.iterations() * kCount);
}

template <class Make, class PlainMake>
void JsonParse(benchmark::State& state, Make make, PlainMake) {
  std::string const text = JsonText(make);
  for (auto _ : state) {
    benchmark::DoNotOptimize(boost::json::value_to<decltype(PlainMake()())>(boost::json::parse(text)));
  }
  state.SetItemsProcessed(state.iterations() * kCount);
}

// The two parsers that keep their nesting on the heap, alone on the same text: RapidJSON's
// iterative SAX reader in place (what the decoder uses) and simdjson's DOM parser followed by
// an iterative walk of every node.
struct CountingHandler : rapidjson::BaseReaderHandler<rapidjson::UTF8<>, CountingHandler> {
  bool Default() {
    ++nodes;
    return true;
  }
  std::size_t nodes = 0;
};

template <class Make>
void RapidJsonReaderOnly(benchmark::State& state, Make make) {
  std::string const text = JsonText(make);
  for (auto _ : state) {
    std::string copy = text;
    CountingHandler handler;
    rapidjson::Reader reader;
    rapidjson::InsituStringStream stream(&copy[0]);
    constexpr unsigned kFlags = rapidjson::kParseInsituFlag | rapidjson::kParseValidateEncodingFlag |
                                rapidjson::kParseIterativeFlag |
                                rapidjson::kParseNumbersAsStringsFlag;
    if (reader.Parse<kFlags>(stream, handler).IsError()) std::abort();
    benchmark::DoNotOptimize(handler.nodes);
  }
  state.SetItemsProcessed(state.iterations() * kCount);
}

template <class Make>
void SimdjsonDomWalk(benchmark::State& state, Make make) {
  simdjson::padded_string const text(JsonText(make));
  simdjson::dom::parser parser;
  for (auto _ : state) {
    simdjson::dom::element root;
    if (parser.parse(text).get(root)) std::abort();
    std::size_t nodes = 0;
    std::vector<simdjson::dom::element> pending{root};
    while (!pending.empty()) {
      simdjson::dom::element element = pending.back();
      pending.pop_back();
      ++nodes;
      if (element.is_array()) {
        for (simdjson::dom::element child : simdjson::dom::array(element)) pending.push_back(child);
      } else if (element.is_object()) {
        for (auto field : simdjson::dom::object(element)) pending.push_back(field.value);
      }
    }
    benchmark::DoNotOptimize(nodes);
  }
  state.SetItemsProcessed(state.iterations() * kCount);
}

BENCHMARK_CAPTURE(ToJsonText, KeyServerSummaries, KeyServers)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(JsonSerialize, KeyServerSummaries, PlainKeyServers)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(ToJsonText, KeyServerInfos, KeyServerInfos)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(JsonSerialize, KeyServerInfos, PlainKeyServerInfos)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(FromJsonText, KeyServerSummaries, KeyServers)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(JsonParse, KeyServerSummaries, KeyServers, PlainKeyServers)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(RapidJsonReaderOnly, KeyServerSummaries, KeyServers)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(SimdjsonDomWalk, KeyServerSummaries, KeyServers)
    ->Unit(benchmark::kMillisecond);

void OperationInputDefinition(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(Ti::Kms::ServicesSvc::ListMethod::inputDef());
  }
}
BENCHMARK(OperationInputDefinition)->Unit(benchmark::kMicrosecond);

// ---- One call in process ---------------------------------------------------------------------

namespace KeyServersSvc = Ti::Kms::ServicesSvc;

// Answers "get" at once with a small summary-sized structure.
class ImmediateKeyServers : public KeyServersSvc::AsyncServiceInterface {
 public:
  ImmediateKeyServers() {
    auto address = std::make_shared<Ti::NetworkAddress>();
    address->hostname = "kms.example.org";
    address->port = 5696;
    auto info = std::make_shared<KeyServersSvc::Info>();
    info->address = address;
    info->trusted_CA = std::make_shared<Ti::X509CertChain>();
    info->group = "production";
    info_ = info;
  }
  void List(Tirn::OptionalPtr<KeyServersSvc::FilterSpec const> const&,
            std::shared_ptr<Tirn::Core::AsyncActivation> const&,
            KeyServersSvc::ListMethod::ResultCbType const& result) override {
    result.value({});
  }
  void Get(std::string const&, std::shared_ptr<Tirn::Core::AsyncActivation> const&,
           KeyServersSvc::GetMethod::ResultCbType const& result) override {
    result.value(info_);
  }
  void Create(std::shared_ptr<KeyServersSvc::CreateSpec const> const&,
              std::shared_ptr<Tirn::Core::AsyncActivation> const&,
              KeyServersSvc::CreateMethod::ResultCbType const& result) override {
    result.value("key-server-1");
  }
  void Delete(std::string const&, std::shared_ptr<Tirn::Core::AsyncActivation> const&,
              KeyServersSvc::DeleteMethod::ResultCbType const& result) override {
    result.value(Tirn::Void());
  }

 private:
  std::shared_ptr<KeyServersSvc::Info const> info_;
};

// A whole call through the generated stub and the in-process provider: input to value,
// validation, dispatch, the implementation, output to value and back to native.
void InProcessCall(benchmark::State& state) {
  auto provider = std::make_shared<Tirn::Core::InProcessApiProvider>();
  provider->Register(
      KeyServersSvc::AsyncServiceBinder::BindImplementation(std::make_shared<ImmediateKeyServers>()));
  KeyServersSvc::AsyncServiceStub stub(std::make_shared<Tirn::Stub::AsyncApiStub>(
      provider, std::make_shared<Tirn::Core::AsyncActivation>()));
  long long answered = 0;
  KeyServersSvc::GetMethod::ResultCbType const handle(
      [&answered](Tirn::CallResult<std::shared_ptr<KeyServersSvc::Info const>> const& result) {
        if (result.ok()) ++answered;
      });
  AllocationCount const count;
  for (auto _ : state) stub.Get("key-server-1", nullptr, handle);
  count.Report(state, state.iterations());
  if (answered != static_cast<long long>(state.iterations())) state.SkipWithError("a call failed");
}
// Both calls are timed on the CPU of the whole process: gRPC's server answers on its own threads.
BENCHMARK(InProcessCall)->MeasureProcessCPUTime()->Unit(benchmark::kMicrosecond);

// gRPC's side: the same "get" answered at once with the same Info.
class ImmediateGrpcKeyServers final : public tirn::bench::KeyServers::Service {
 public:
  ImmediateGrpcKeyServers() {
    info_.mutable_address()->set_hostname("kms.example.org");
    info_.mutable_address()->set_port(5696);
    info_.mutable_trusted_ca();
    info_.set_group("production");
  }
  grpc::Status Get(grpc::ServerContext*, tirn::bench::GetRequest const*,
                   tirn::bench::Info* reply) override {
    *reply = info_;
    return grpc::Status::OK;
  }

 private:
  tirn::bench::Info info_;
};

// A whole synchronous unary call through gRPC's generated stub and an in-process channel to a
// server without a listening port: request serialised, handed to the server's threads, parsed,
// the implementation, the reply serialised and parsed back. Allocations are counted through the
// same operator new; gRPC's core allocates with malloc directly, and those are not counted.
void GrpcInProcessCall(benchmark::State& state) {
  ImmediateGrpcKeyServers service;
  grpc::ServerBuilder builder;
  builder.RegisterService(&service);
  std::unique_ptr<grpc::Server> const server = builder.BuildAndStart();
  if (!server) {
    state.SkipWithError("the gRPC server did not start");
    return;
  }
  auto const stub =
      tirn::bench::KeyServers::NewStub(server->InProcessChannel(grpc::ChannelArguments()));
  long long answered = 0;
  AllocationCount const count;
  for (auto _ : state) {
    grpc::ClientContext context;
    tirn::bench::GetRequest request;
    request.set_service("key-server-1");
    tirn::bench::Info reply;
    if (stub->Get(&context, request, &reply).ok() && reply.group() == "production") ++answered;
  }
  count.Report(state, state.iterations());
  server->Shutdown();
  if (answered != static_cast<long long>(state.iterations())) state.SkipWithError("a call failed");
}
BENCHMARK(GrpcInProcessCall)->MeasureProcessCPUTime()->Unit(benchmark::kMicrosecond);

// Keeps every run's time and prints our time divided by the peer's for each pair.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(std::vector<Run> const& runs) override {
    ConsoleReporter::ReportRuns(runs);
    // Single runs, or the median when repetitions are asked for; CPU time, so that another
    // process on the machine disturbs the ratio less.
    for (auto const& run : runs) {
      if (run.run_type == Run::RT_Iteration) {
        times_.emplace(run.run_name.str(),
                       run.GetAdjustedCPUTime());
      } else if (run.aggregate_name == "median") {
        times_[run.run_name.str()] = run.GetAdjustedCPUTime();
      }
    }
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    struct Pair {
      char const* ours;
      char const* theirs;
    };
    Pair const pairs[] = {
        {"NativeToValue/KeyServerSummaries", "JsonValueFrom/KeyServerSummaries"},
        {"ValueToNative/KeyServerSummaries", "JsonValueTo/KeyServerSummaries"},
        {"NativeToValue/ProviderSummaries", "JsonValueFrom/ProviderSummaries"},
        {"ValueToNative/ProviderSummaries", "JsonValueTo/ProviderSummaries"},
        {"NativeToValue/KeyServerSummaries", "JsonValueFrom/SharedKeyServerSummaries"},
        {"ValueToNative/KeyServerSummaries", "JsonValueTo/SharedKeyServerSummaries"},
        {"NativeToValue/ProviderSummaries", "JsonValueFrom/SharedProviderSummaries"},
        {"ValueToNative/ProviderSummaries", "JsonValueTo/SharedProviderSummaries"},
        {"ValueToNative/KeyServerSummaries", "ByHandValueToNative/KeyServerSummaries"},
        {"ValueToNative/ProviderSummaries", "ByHandValueToNative/ProviderSummaries"},
        {"ByHandValueToNative/KeyServerSummaries", "JsonValueTo/KeyServerSummaries"},
        {"ByHandValueToNative/ProviderSummaries", "JsonValueTo/ProviderSummaries"},
        {"ByHandValueToNative/KeyServerSummaries", "JsonValueTo/SharedKeyServerSummaries"},
        {"ByHandValueToNative/ProviderSummaries", "JsonValueTo/SharedProviderSummaries"},
        {"ToJsonText/KeyServerSummaries", "JsonSerialize/KeyServerSummaries"},
        {"ToJsonText/KeyServerInfos", "JsonSerialize/KeyServerInfos"},
        {"FromJsonText/KeyServerSummaries", "JsonParse/KeyServerSummaries"},
        {"RapidJsonReaderOnly/KeyServerSummaries", "SimdjsonDomWalk/KeyServerSummaries"},
        {"InProcessCall/process_time", "GrpcInProcessCall/process_time"},
    };
    std::printf("\nOur time / Boost.JSON's (below 1.0: we are faster), with the engine against the\n"
                "same conversion written by hand, and that against Boost.JSON; then RapidJSON's\n"
                "reader alone / simdjson's parser and walk alone; last line: our in-process call /\n"
                "gRPC's\n");
    for (auto const& pair : pairs) {
      auto ours = times_.find(pair.ours);
      auto theirs = times_.find(pair.theirs);
      if (ours == times_.end() || theirs == times_.end()) continue;
      std::printf("  %-40s / %-42s %6.2f\n", pair.ours, pair.theirs, ours->second / theirs->second);
    }
  }

 private:
  std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
  // No heap trimming (and so a fixed mmap threshold) for either side of a comparison.
  mallopt(M_TRIM_THRESHOLD, INT_MAX);
  mallopt(M_TOP_PAD, 64 << 20);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
