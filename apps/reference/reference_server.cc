#include "apps/reference/reference_server.h"

#include <cstdint>
#include <map>
#include <set>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include <boost/optional/optional.hpp>
#include <boost/utility/string_view.hpp>

#include "tirn/json/json.h"
#include "tirn/json/text.h"
#include "tirn/message/message.h"
#include "tirn/std/errors.h"

namespace Reference {

namespace Errors = Com::Ostrel::Tirn::Std::Errors;
using Com::Ostrel::Tirn::Std::LocalizableMessage;

namespace {

constexpr char kProviderIdEmpty[] = "reference.provider.id.empty";
constexpr char kProviderNotFound[] = "reference.provider.not.found";
constexpr char kProviderExists[] = "reference.provider.exists";
constexpr char kKeyIdEmpty[] = "reference.provider.key.id.empty";
constexpr char kProviderNotNative[] = "reference.provider.not.native";
constexpr char kNoKeyServer[] = "reference.provider.no.key.server";
constexpr char kIdEmpty[] = "reference.id.empty";
constexpr char kKeyServerNotFound[] = "reference.key.server.not.found";
constexpr char kKeyServerExists[] = "reference.key.server.exists";
constexpr char kAttestationServiceNotFound[] = "reference.attestation.service.not.found";
constexpr char kAttestationServiceExists[] = "reference.attestation.service.exists";
constexpr char kHostEmpty[] = "reference.address.host.empty";
constexpr char kPortOutOfRange[] = "reference.address.port.range";
constexpr char kTrustedCaMissing[] = "reference.trusted.ca.missing";
constexpr char kStoreFailed[] = "reference.store.failed";
constexpr char kStoreUnavailable[] = "reference.store.unavailable";
constexpr char kNotUtf8[] = "reference.text.not.utf8";
constexpr char kKeyReused[] = "reference.idempotency.key.reused";

using Tirn::Json::IsValidUtf8;

// Where the first string below `root` that is not well-formed UTF-8 sits (`where` followed
// by the fields and elements down to it), field names and secrets' texts included; none when
// every string is. For the fields a record carries without knowing them: they are stored and
// handed back like the rest. Iterative, and each shared value is looked at once, so that a
// deep or looping tree ends the walk too.
boost::optional<std::string> FirstNonUtf8(Tirn::Data::DataValuePtr const& root,
                                          std::string const& where) {
  namespace Data = Tirn::Data;
  std::vector<std::pair<Data::DataValue const*, std::string>> pending{{root.get(), where}};
  std::unordered_set<Data::DataValue const*> seen;
  while (!pending.empty()) {
    auto [value, path] = std::move(pending.back());
    pending.pop_back();
    if (!value || !seen.insert(value).second) continue;
    if (auto const* text = dynamic_cast<Data::StringValue const*>(value)) {
      if (!IsValidUtf8(text->value())) return path;
    } else if (auto const* secret = dynamic_cast<Data::SecretValue const*>(value)) {
      if (!IsValidUtf8(secret->value().value())) return path;
    } else if (auto const* compound = dynamic_cast<Data::CompoundValue const*>(value)) {
      for (auto const& field : compound->fields()) {
        boost::string_view const name = field.first;
        // The name itself cannot go into the message: it is not text.
        if (!IsValidUtf8(name)) return path + " (a field name)";
        pending.emplace_back(field.second.get(), path + "." + std::string(name));
      }
    } else if (auto const* list = dynamic_cast<Data::ListValue const*>(value)) {
      for (std::size_t i = 0; i < list->size(); ++i) {
        pending.emplace_back(list->elements()[i].get(), path + "[" + std::to_string(i) + "]");
      }
    } else if (auto const* optional = dynamic_cast<Data::OptionalValue const*>(value)) {
      pending.emplace_back(optional->value().get(), std::move(path));
    }
  }
  return boost::none;
}

// The same for a server's address, certificate chain and group, as they are to be stored.
template <class Spec>
boost::optional<std::string> FirstNonUtf8InServer(Spec const& spec) {
  if (!IsValidUtf8(spec.address->hostname)) return std::string("spec.address.hostname");
  if (auto bad = FirstNonUtf8(spec.address->unknownFields, "spec.address")) return bad;
  std::size_t index = 0;
  for (auto const& certificate : spec.trusted_CA->cert_chain) {
    if (!IsValidUtf8(certificate)) return "spec.trusted_CA.cert_chain[" + std::to_string(index) + "]";
    ++index;
  }
  if (auto bad = FirstNonUtf8(spec.trusted_CA->unknownFields, "spec.trusted_CA")) return bad;
  if (!IsValidUtf8(spec.group)) return std::string("spec.group");
  return boost::none;
}

std::string const& EnglishFor(char const* id) {
  static std::map<std::string, std::string> const texts = [] {
    std::map<std::string, std::string> result;
    for (auto const& text : Messages()) result[text.id] = text.english;
    return result;
  }();
  return texts.at(id);
}

Tirn::BaseMessage Say(char const* id) { return Tirn::MakeMessage(id, EnglishFor(id)); }

Tirn::BaseMessage Say(char const* id, std::string const& argument) {
  return Tirn::MakeMessage(id, EnglishFor(id), argument);
}

// Reports the standard error E with one of the server's messages.
template <class E, class Handle>
void Fail(Handle const& result, Tirn::BaseMessage const& message) {
  result.error(Errors::MakeNativeError<E>({message}));
}

// A filter's set matches a value in it; an unset filter matches everything.
template <class T>
bool Matches(boost::optional<std::set<T>> const& wanted, T const& value) {
  return !wanted || wanted->count(value) != 0;
}

// An address list matches an address whose host name equals a listed one, and whose port
// equals the listed port when that is set.
bool Matches(boost::optional<std::list<std::shared_ptr<Ti::NetworkAddress const>>> const& wanted,
             Ti::NetworkAddress const& address) {
  if (!wanted) return true;
  for (auto const& listed : *wanted) {
    if (!listed || listed->hostname != address.hostname) continue;
    if (!listed->port || listed->port == address.port) return true;
  }
  return false;
}

// The problem with an address, if any.
boost::optional<Tirn::BaseMessage> CheckAddress(Ti::NetworkAddress const* address) {
  if (!address || address->hostname.empty()) return Say(kHostEmpty);
  if (address->port && (*address->port < 1 || *address->port > 65535)) {
    return Say(kPortOutOfRange, std::to_string(*address->port));
  }
  return boost::none;
}

std::string Describe(Ti::NetworkAddress const& address) {
  return address.port ? address.hostname + ":" + std::to_string(*address.port) : address.hostname;
}

// Appends a native input's wire form (secrets included) to `out`; the text made on the way is
// wiped.
template <class T>
void AppendInput(std::shared_ptr<T const> const& native, std::string& out) {
  if (!native) return;
  std::string text;
  std::list<Tirn::BaseMessage> messages;
  if (Tirn::Json::ToJson(*native, &text, messages)) out += text;
  Tirn::SecretString wiped(std::move(text));
}

// The idempotency key a write's caller gave it, as the store takes it, and the mark on the
// answer when the store says the write was done before.
class WriteKey {
 public:
  // `input` appends what the write is asked to do to its argument; it is called only when the
  // call has a key.
  template <class Input>
  WriteKey(std::shared_ptr<Tirn::Core::AsyncActivation> const& activation, char const* operation,
           Input const& input)
      : activation_(activation) {
    if (!activation || !activation->executionContext) return;
    auto const& data = activation->executionContext->applicationData;
    auto key = data.find(Tirn::Core::ContextKeys::kIdempotencyKey);
    if (key == data.end()) return;
    keyed_.emplace();
    keyed_->key = key->second.value;
    auto const& security = activation->executionContext->securityContext;
    auto caller = security.find(Tirn::Core::ContextKeys::kCaller);
    if (caller != security.end()) keyed_->scope = caller->second.text;
    std::string text(operation);
    text += '\n';
    input(text);
    keyed_->input = Tirn::SecretString(std::move(text));
  }

  Reference::KeyedWrite* get() { return keyed_ ? &*keyed_ : nullptr; }
  Reference::KeyedWrite const* operator->() const { return &*keyed_; }
  explicit operator bool() const { return keyed_.has_value(); }

  // The store's answer; a replay's is marked so on the activation, for the transport.
  StoreStatus Noted(StoreStatus status) const {
    bool const answered = status == StoreStatus::kOk || status == StoreStatus::kExists ||
                          status == StoreStatus::kNotFound;
    if (answered && keyed_ && keyed_->replayed && activation_) {
      activation_->properties[Tirn::Core::ContextKeys::kReplayed] = "true";
    }
    return status;
  }

 private:
  std::shared_ptr<Tirn::Core::AsyncActivation> activation_;
  boost::optional<Reference::KeyedWrite> keyed_;
};

// What the services share: the records and where store failures are told.
struct Context {
  std::shared_ptr<RecordStore> store;
  StoreLog log;

  // Answers a store failure with internal_server_error, or service_unavailable when the store
  // cannot be used now (the caller may try again; why stays in the log, since it tells of the
  // server's insides), and tells the log.
  // A write whose key was used before for another input is refused, naming the key.
  template <class Handle>
  void Failed(Handle const& result, char const* operation, StoreStatus status,
              std::string const& why, WriteKey const* key = nullptr) const {
    if (status == StoreStatus::kKeyReused && key && *key) {
      return Fail<Errors::InvalidArgument>(result, Say(kKeyReused, (*key)->key));
    }
    if (log) log(std::string(operation) + ": " + why);
    if (status == StoreStatus::kUnavailable) {
      return Fail<Errors::ServiceUnavailable>(result, Say(kStoreUnavailable));
    }
    Fail<Errors::InternalServerError>(result, Say(kStoreFailed, why));
  }
};

// ---- Key providers ------------------------------------------------------------------------

namespace Providers = Ti::Kms::ProvidersSvc;

class KeyProviders final : public Providers::AsyncServiceInterface {
 public:
  explicit KeyProviders(std::shared_ptr<Context const> context) : context_(std::move(context)) {}

  void List(Tirn::OptionalPtr<Providers::FilterSpec const> const& filter,
            std::shared_ptr<Tirn::Core::AsyncActivation> const&,
            Providers::ListMethod::ResultCbType const& result) override {
    std::vector<ProviderRecord> records;
    std::vector<ServerRecord> keyServers;
    std::string error;
    StoreStatus status = context_->store->ListProviders(records, error);
    if (status == StoreStatus::kOk) {
      status = context_->store->ListServers(ServerKind::kKeyServer, keyServers, error);
    }
    if (status != StoreStatus::kOk) {
      return context_->Failed(result, "kms.providers.list", status, error);
    }
    bool const haveKeyServer = !keyServers.empty();
    Providers::ListMethod::Result summaries;
    for (auto const& record : records) {
      auto summary = std::make_shared<Providers::Summary>();
      summary->provider = record.id;
      summary->type = record.type;
      summary->available = Available(record, haveKeyServer);
      if (!summary->available) summary->details.push_back(LocalizableMessage::From(Say(kNoKeyServer)));
      if (filter && (!Matches(filter->providers, summary->provider) ||
                     (filter->available && *filter->available != summary->available) ||
                     !Matches(filter->types, record.type))) {
        continue;
      }
      summaries.push_back(std::move(summary));
    }
    result.value(summaries);
  }

  void Create(std::shared_ptr<Providers::CreateSpec const> const& spec,
              std::shared_ptr<Tirn::Core::AsyncActivation> const& activation,
              Providers::CreateMethod::ResultCbType const& result) override {
    if (!spec || spec->provider.empty()) return Fail<Errors::InvalidArgument>(result, Say(kProviderIdEmpty));
    if (!IsValidUtf8(spec->provider)) return Fail<Errors::InvalidArgument>(result, Say(kNotUtf8, "spec.provider"));
    ProviderRecord record;
    record.id = spec->provider;
    if (spec->native_spec) {
      if (spec->native_spec->key_id.empty()) return Fail<Errors::InvalidArgument>(result, Say(kKeyIdEmpty));
      if (!IsValidUtf8(spec->native_spec->key_id)) {
        return Fail<Errors::InvalidArgument>(result, Say(kNotUtf8, "spec.native_spec.key_id"));
      }
      record.type = Providers::ProviderType::NATIVE;
      record.keyId = spec->native_spec->key_id;
      record.keyDerivationKey = spec->native_spec->key_derivation_key;
    } else {
      record.type = Providers::ProviderType::TRUST_AUTHORITY;
    }
    std::string error;
    WriteKey key(activation, "kms.providers.create",
                 [&](std::string& text) { AppendInput(spec, text); });
    switch (auto const status = key.Noted(context_->store->CreateProvider(record, error, key.get()));
            status) {
      case StoreStatus::kOk:
        return result.value(Tirn::Void());
      case StoreStatus::kExists:
        return Fail<Errors::AlreadyExists>(result, Say(kProviderExists, spec->provider));
      default:
        return context_->Failed(result, "kms.providers.create", status, error, &key);
    }
  }

  void Update(std::string const& id, std::shared_ptr<Providers::UpdateSpec const> const& spec,
              std::shared_ptr<Tirn::Core::AsyncActivation> const& activation,
              Providers::UpdateMethod::ResultCbType const& result) override {
    if (id.empty()) return Fail<Errors::InvalidArgument>(result, Say(kProviderIdEmpty));
    if (spec && spec->native_spec && spec->native_spec->key_id &&
        !IsValidUtf8(*spec->native_spec->key_id)) {
      return Fail<Errors::InvalidArgument>(result, Say(kNotUtf8, "spec.native_spec.key_id"));
    }
    WriteKey key(activation, "kms.providers.update", [&](std::string& text) {
      text += id + '\n';
      AppendInput(spec, text);
    });
    // Why the change was refused, decided inside the store's read-modify-write and kept with
    // the key's outcome, so that a replay refuses the same.
    std::string refusal;
    auto change = [&](ProviderRecord& record) {
      if (!spec || !spec->native_spec) return false;
      if (record.type.value() != Providers::ProviderType::NATIVE) {
        refusal = kProviderNotNative;
      } else if (spec->native_spec->key_id && spec->native_spec->key_id->empty()) {
        refusal = kKeyIdEmpty;
      }
      if (key) key.get()->outcome.refusal = refusal;
      if (!refusal.empty() || !spec->native_spec->key_id) return false;
      record.keyId = *spec->native_spec->key_id;
      return true;
    };
    std::string error;
    switch (auto const status =
                key.Noted(context_->store->UpdateProvider(id, change, error, key.get()));
            status) {
      case StoreStatus::kOk:
        if (key && key->replayed) refusal = key->outcome.refusal;
        if (refusal == kProviderNotNative) {
          return Fail<Errors::Unsupported>(result, Say(kProviderNotNative, id));
        }
        if (refusal == kKeyIdEmpty) return Fail<Errors::InvalidArgument>(result, Say(kKeyIdEmpty));
        return result.value(Tirn::Void());
      case StoreStatus::kNotFound:
        return Fail<Errors::NotFound>(result, Say(kProviderNotFound, id));
      default:
        return context_->Failed(result, "kms.providers.update", status, error, &key);
    }
  }

  void Delete(std::string const& id, std::shared_ptr<Tirn::Core::AsyncActivation> const& activation,
              Providers::DeleteMethod::ResultCbType const& result) override {
    if (id.empty()) return Fail<Errors::InvalidArgument>(result, Say(kProviderIdEmpty));
    std::string error;
    WriteKey key(activation, "kms.providers.delete", [&](std::string& text) { text += id; });
    switch (auto const status = key.Noted(context_->store->DeleteProvider(id, error, key.get()));
            status) {
      case StoreStatus::kOk:
        return result.value(Tirn::Void());
      case StoreStatus::kNotFound:
        return Fail<Errors::NotFound>(result, Say(kProviderNotFound, id));
      default:
        return context_->Failed(result, "kms.providers.delete", status, error, &key);
    }
  }

  void Get(std::string const& id, std::shared_ptr<Tirn::Core::AsyncActivation> const&,
           Providers::GetMethod::ResultCbType const& result) override {
    if (id.empty()) return Fail<Errors::InvalidArgument>(result, Say(kProviderIdEmpty));
    ProviderRecord record;
    std::string error;
    switch (auto const status = context_->store->GetProvider(id, record, error); status) {
      case StoreStatus::kOk:
        break;
      case StoreStatus::kNotFound:
        return Fail<Errors::NotFound>(result, Say(kProviderNotFound, id));
      default:
        return context_->Failed(result, "kms.providers.get", status, error);
    }
    auto info = std::make_shared<Providers::Info>();
    info->type = record.type;
    if (record.type.value() == Providers::ProviderType::NATIVE) {
      auto native = std::make_shared<Providers::NativeProviderInfo>();
      native->key_id = record.keyId;
      info->native_info = native;
    }
    result.value(info);
  }

 private:
  // A native provider is always available; a trust-authority provider while a key server
  // exists.
  static bool Available(ProviderRecord const& provider, bool haveKeyServer) {
    return provider.type.value() == Providers::ProviderType::NATIVE || haveKeyServer;
  }

  std::shared_ptr<Context const> context_;
};

// ---- Key servers and attestation services --------------------------------------------------

// What differs between the two services with the same shape.
struct KeyServerTraits {
  using Svc = Ti::Kms::ServicesSvc::AsyncServiceInterface;
  using Summary = Ti::Kms::ServicesSvc::Summary;
  using Info = Ti::Kms::ServicesSvc::Info;
  using CreateSpec = Ti::Kms::ServicesSvc::CreateSpec;
  using FilterSpec = Ti::Kms::ServicesSvc::FilterSpec;
  using ListMethod = Ti::Kms::ServicesSvc::ListMethod;
  using GetMethod = Ti::Kms::ServicesSvc::GetMethod;
  using CreateMethod = Ti::Kms::ServicesSvc::CreateMethod;
  using DeleteMethod = Ti::Kms::ServicesSvc::DeleteMethod;
  static constexpr ServerKind kKind = ServerKind::kKeyServer;
  static constexpr char const* kPrefix = "key-server-";
  static constexpr char const* kNotFound = kKeyServerNotFound;
  static constexpr char const* kExists = kKeyServerExists;
  static constexpr char const* kOperations = "kms.services";
};

struct AttestationServiceTraits {
  using Svc = Ti::Attestation::ServicesSvc::AsyncServiceInterface;
  using Summary = Ti::Attestation::ServicesSvc::Summary;
  using Info = Ti::Attestation::ServicesSvc::Info;
  using CreateSpec = Ti::Attestation::ServicesSvc::CreateSpec;
  using FilterSpec = Ti::Attestation::ServicesSvc::FilterSpec;
  using ListMethod = Ti::Attestation::ServicesSvc::ListMethod;
  using GetMethod = Ti::Attestation::ServicesSvc::GetMethod;
  using CreateMethod = Ti::Attestation::ServicesSvc::CreateMethod;
  using DeleteMethod = Ti::Attestation::ServicesSvc::DeleteMethod;
  static constexpr ServerKind kKind = ServerKind::kAttestationService;
  static constexpr char const* kPrefix = "attestation-service-";
  static constexpr char const* kNotFound = kAttestationServiceNotFound;
  static constexpr char const* kExists = kAttestationServiceExists;
  static constexpr char const* kOperations = "attestation.services";
};

template <class Traits>
class Servers final : public Traits::Svc {
 public:
  explicit Servers(std::shared_ptr<Context const> context) : context_(std::move(context)) {}

  void List(Tirn::OptionalPtr<typename Traits::FilterSpec const> const& filter,
            std::shared_ptr<Tirn::Core::AsyncActivation> const&,
            typename Traits::ListMethod::ResultCbType const& result) override {
    std::vector<ServerRecord> records;
    std::string error;
    auto const status = context_->store->ListServers(Traits::kKind, records, error);
    if (status != StoreStatus::kOk) {
      return context_->Failed(result, Operation("list").c_str(), status, error);
    }
    typename Traits::ListMethod::Result summaries;
    for (auto const& record : records) {
      if (filter && (!Matches(filter->services, record.id) ||
                     !Matches(filter->address, *record.address) ||
                     !Matches(filter->group, record.group))) {
        continue;
      }
      auto summary = std::make_shared<typename Traits::Summary>();
      summary->service = record.id;
      summary->address = record.address;
      summary->group = record.group;
      summaries.push_back(std::move(summary));
    }
    result.value(summaries);
  }

  void Get(std::string const& id, std::shared_ptr<Tirn::Core::AsyncActivation> const&,
           typename Traits::GetMethod::ResultCbType const& result) override {
    ServerRecord record;
    std::string error;
    switch (auto const status = context_->store->GetServer(Traits::kKind, id, record, error);
            status) {
      case StoreStatus::kOk:
        break;
      case StoreStatus::kNotFound:
        return Fail<Errors::NotFound>(result, Say(Traits::kNotFound, id));
      default:
        return context_->Failed(result, Operation("get").c_str(), status, error);
    }
    auto info = std::make_shared<typename Traits::Info>();
    info->address = record.address;
    info->trusted_CA = record.trustedCa;
    info->group = record.group;
    result.value(info);
  }

  void Create(std::shared_ptr<typename Traits::CreateSpec const> const& spec,
              std::shared_ptr<Tirn::Core::AsyncActivation> const& activation,
              typename Traits::CreateMethod::ResultCbType const& result) override {
    if (auto problem = CheckAddress(spec ? spec->address.get() : nullptr)) {
      return Fail<Errors::InvalidArgument>(result, *problem);
    }
    if (!spec->trusted_CA) return Fail<Errors::InvalidArgument>(result, Say(kTrustedCaMissing));
    if (auto where = FirstNonUtf8InServer(*spec)) {
      return Fail<Errors::InvalidArgument>(result, Say(kNotUtf8, *where));
    }
    ServerRecord record;
    record.address = spec->address;
    record.trustedCa = spec->trusted_CA;
    record.group = spec->group;
    std::string error;
    std::string const operation = Operation("create");
    WriteKey key(activation, operation.c_str(),
                 [&](std::string& text) { AppendInput(spec, text); });
    switch (auto const status = key.Noted(context_->store->CreateServer(
                Traits::kKind, Traits::kPrefix, record, error, key.get()));
            status) {
      case StoreStatus::kOk:
        return result.value(key && key->replayed ? key->outcome.id : record.id);
      case StoreStatus::kExists:
        return Fail<Errors::AlreadyExists>(result, Say(Traits::kExists, Describe(*spec->address)));
      default:
        return context_->Failed(result, operation.c_str(), status, error, &key);
    }
  }

  void Delete(std::string const& id, std::shared_ptr<Tirn::Core::AsyncActivation> const& activation,
              typename Traits::DeleteMethod::ResultCbType const& result) override {
    std::string error;
    std::string const operation = Operation("delete");
    WriteKey key(activation, operation.c_str(), [&](std::string& text) { text += id; });
    switch (auto const status =
                key.Noted(context_->store->DeleteServer(Traits::kKind, id, error, key.get()));
            status) {
      case StoreStatus::kOk:
        return result.value(Tirn::Void());
      case StoreStatus::kNotFound:
        return Fail<Errors::NotFound>(result, Say(Traits::kNotFound, id));
      default:
        return context_->Failed(result, operation.c_str(), status, error, &key);
    }
  }

 private:
  static std::string Operation(char const* name) {
    return std::string(Traits::kOperations) + "." + name;
  }

  std::shared_ptr<Context const> context_;
};

// ---- Attestation reports -------------------------------------------------------------------

namespace Reports = Ti::Attestation::ReportsSvc;

// One report per attestation service, derived when asked for; nothing of it is stored.
class AttestationReports final : public Reports::AsyncServiceInterface {
 public:
  explicit AttestationReports(std::shared_ptr<Context const> context)
      : context_(std::move(context)) {}

  void List(std::shared_ptr<Tirn::Core::AsyncActivation> const&,
            Reports::ListMethod::ResultCbType const& result) override {
    std::vector<ServerRecord> records;
    std::string error;
    auto const status =
        context_->store->ListServers(ServerKind::kAttestationService, records, error);
    if (status != StoreStatus::kOk) {
      return context_->Failed(result, "attestation.reports.list", status, error);
    }
    // One report is made per attestation service: the caller hears how far along the list is
    // before it arrives.
    Reports::ListMethod::Result summaries;
    auto const total = static_cast<std::int64_t>(records.size());
    for (auto const& record : records) {
      result.progress({0, total, static_cast<std::int64_t>(summaries.size())});
      auto jwt = std::make_shared<Reports::ReportingJwt>();
      jwt->service = record.id;
      jwt->group = record.group;
      jwt->jwt = UnsignedJwt(record.id, record.group);
      auto summary = std::make_shared<Reports::Summary>();
      summary->report = "report-" + record.id;
      summary->type = Reports::ReportType::REPORTING_JWT;
      summary->reporting_jwt = jwt;
      summaries.push_back(std::move(summary));
    }
    result.value(summaries);
  }

 private:
  std::shared_ptr<Context const> context_;
};

}  // namespace

std::list<MessageText> const& Messages() {
  static std::list<MessageText> const messages = {
      {kProviderIdEmpty, "A key provider needs a non-empty identifier.",
       "Ein Schlüsselanbieter braucht eine nicht leere Kennung."},
      {kProviderNotFound, "Key provider {1} does not exist.",
       "Der Schlüsselanbieter {1} existiert nicht."},
      {kProviderExists, "Key provider {1} already exists.",
       "Der Schlüsselanbieter {1} existiert bereits."},
      {kKeyIdEmpty, "A native key provider needs a non-empty key identifier.",
       "Ein nativer Schlüsselanbieter braucht eine nicht leere Schlüsselkennung."},
      {kProviderNotNative, "Key provider {1} is not native and has no native settings.",
       "Der Schlüsselanbieter {1} ist nicht nativ und hat keine nativen Einstellungen."},
      {kNoKeyServer, "No key server is configured.", "Es ist kein Schlüsselserver eingerichtet."},
      {kIdEmpty, "An identifier is required.", "Eine Kennung ist erforderlich."},
      {kKeyServerNotFound, "Key server {1} does not exist.",
       "Der Schlüsselserver {1} existiert nicht."},
      {kKeyServerExists, "A key server already listens at {1}.",
       "Unter {1} ist bereits ein Schlüsselserver eingerichtet."},
      {kAttestationServiceNotFound, "Attestation service {1} does not exist.",
       "Der Attestierungsdienst {1} existiert nicht."},
      {kAttestationServiceExists, "An attestation service already listens at {1}.",
       "Unter {1} ist bereits ein Attestierungsdienst eingerichtet."},
      {kHostEmpty, "An address needs a host name.", "Eine Adresse braucht einen Hostnamen."},
      {kPortOutOfRange, "Port {1} is outside 1 to 65535.",
       "Der Port {1} liegt nicht zwischen 1 und 65535."},
      {kTrustedCaMissing, "A trusted certificate chain is required.",
       "Eine vertrauenswürdige Zertifikatskette ist erforderlich."},
      {kStoreFailed, "The server could not use its records: {1}",
       "Der Server konnte seine Datensätze nicht verwenden: {1}"},
      {kKeyReused,
       "The idempotency key {1} was used before for a different request; give each distinct "
       "write a key of its own.",
       "Der Idempotenzschlüssel {1} wurde schon für eine andere Anfrage verwendet; jeder "
       "Schreibvorgang braucht einen eigenen Schlüssel."},
      {kStoreUnavailable, "The server cannot reach its records just now; try again later.",
       "Der Server erreicht seine Datensätze gerade nicht; bitte später erneut versuchen."},
      {kNotUtf8, "{1} is not well-formed UTF-8 text.", "{1} ist kein wohlgeformter UTF-8-Text."},
  };
  return messages;
}

namespace {

// The operation's last name, as "create" in "kms.providers.create".
std::string_view Verb(std::string_view operation) {
  std::size_t const dot = operation.rfind('.');
  return dot == std::string_view::npos ? operation : operation.substr(dot + 1);
}

}  // namespace

bool WritesRecords(std::string const& operation) {
  std::string_view const verb = Verb(operation);
  return verb == "create" || verb == "update" || verb == "delete";
}

bool ReadsOneRecord(std::string const& operation) { return Verb(operation) == "get"; }

std::shared_ptr<Tirn::L10n::Localizer> MakeLocalizer() {
  Tirn::L10n::Localizer::Catalog german;
  for (auto const& text : Messages()) german[text.id] = text.german;
  return std::make_shared<Tirn::L10n::Localizer>(
      std::map<std::string, Tirn::L10n::Localizer::Catalog>{{"de", german}});
}

ReferenceServer::ReferenceServer() : ReferenceServer(std::make_shared<MemoryRecordStore>()) {}

ReferenceServer::ReferenceServer(std::shared_ptr<RecordStore> store, StoreLog log)
    : store_(std::move(store)), localizer_(MakeLocalizer()) {
  auto context = std::make_shared<Context const>(Context{store_, std::move(log)});
  keyProviders_ = std::make_shared<KeyProviders>(context);
  keyServers_ = std::make_shared<Servers<KeyServerTraits>>(context);
  attestationServices_ = std::make_shared<Servers<AttestationServiceTraits>>(context);
  reports_ = std::make_shared<AttestationReports>(context);
}

void ReferenceServer::RegisterWith(Tirn::Core::InProcessApiProvider& provider) const {
  provider.Register(Ti::Kms::ProvidersSvc::AsyncServiceBinder::BindImplementation(keyProviders_,
                                                                                  localizer_));
  provider.Register(Ti::Kms::ServicesSvc::AsyncServiceBinder::BindImplementation(keyServers_,
                                                                                 localizer_));
  provider.Register(Ti::Attestation::ServicesSvc::AsyncServiceBinder::BindImplementation(
      attestationServices_, localizer_));
  provider.Register(
      Ti::Attestation::ReportsSvc::AsyncServiceBinder::BindImplementation(reports_, localizer_));
}

std::string UnsignedJwt(std::string const& service, std::string const& group) {
  std::string claims = R"({"iss":"reference-server","sub":)";
  Tirn::Json::AppendJsonString(claims, service);
  claims += R"(,"group":)";
  Tirn::Json::AppendJsonString(claims, group);
  claims += "}";
  std::string token;
  Tirn::Json::AppendBase64(R"({"alg":"none","typ":"JWT"})", token, Tirn::Json::Base64::kUrl);
  token += ".";
  Tirn::Json::AppendBase64(claims, token, Tirn::Json::Base64::kUrl);
  return token + ".";
}

}  // namespace Reference
