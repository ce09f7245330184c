#include "apps/services/reference_server.h"

#include <utility>

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

// ---- Key providers ------------------------------------------------------------------------

namespace Providers = Ti::Kms::ProvidersSvc;

class KeyProviders final : public Providers::AsyncServiceInterface {
 public:
  explicit KeyProviders(std::shared_ptr<Store> store) : store_(std::move(store)) {}

  void List(Tirn::OptionalPtr<Providers::FilterSpec const> const& filter,
            std::shared_ptr<Tirn::Core::AsyncActivation> const&,
            Providers::ListMethod::ResultCbType const& result) override {
    Providers::ListMethod::Result summaries;
    {
      std::lock_guard<std::mutex> lock(store_->mutex);
      bool const haveKeyServer = !store_->keyServers.empty();
      for (auto const& entry : store_->providers) {
        auto summary = std::make_shared<Providers::Summary>();
        summary->provider = entry.first;
        summary->type = entry.second.type;
        summary->available = Available(entry.second, haveKeyServer);
        if (!summary->available) summary->details.push_back(LocalizableMessage::From(Say(kNoKeyServer)));
        if (filter && (!Matches(filter->providers, summary->provider) ||
                       (filter->available && *filter->available != summary->available) ||
                       !Matches(filter->types, entry.second.type))) {
          continue;
        }
        summaries.push_back(std::move(summary));
      }
    }
    result.value(summaries);
  }

  void Create(std::shared_ptr<Providers::CreateSpec const> const& spec,
              std::shared_ptr<Tirn::Core::AsyncActivation> const&,
              Providers::CreateMethod::ResultCbType const& result) override {
    if (!spec || spec->provider.empty()) return Fail<Errors::InvalidArgument>(result, Say(kProviderIdEmpty));
    Store::Provider provider;
    if (spec->native_spec) {
      if (spec->native_spec->key_id.empty()) return Fail<Errors::InvalidArgument>(result, Say(kKeyIdEmpty));
      provider.type = Providers::ProviderType::NATIVE;
      provider.keyId = spec->native_spec->key_id;
      provider.keyDerivationKey = spec->native_spec->key_derivation_key;
    } else {
      provider.type = Providers::ProviderType::TRUST_AUTHORITY;
    }
    {
      std::lock_guard<std::mutex> lock(store_->mutex);
      if (!store_->providers.emplace(spec->provider, std::move(provider)).second) {
        return Fail<Errors::AlreadyExists>(result, Say(kProviderExists, spec->provider));
      }
    }
    result.value(Tirn::Void());
  }

  void Update(std::string const& id, std::shared_ptr<Providers::UpdateSpec const> const& spec,
              std::shared_ptr<Tirn::Core::AsyncActivation> const&,
              Providers::UpdateMethod::ResultCbType const& result) override {
    if (id.empty()) return Fail<Errors::InvalidArgument>(result, Say(kProviderIdEmpty));
    std::lock_guard<std::mutex> lock(store_->mutex);
    auto found = store_->providers.find(id);
    if (found == store_->providers.end()) return Fail<Errors::NotFound>(result, Say(kProviderNotFound, id));
    if (spec && spec->native_spec) {
      if (found->second.type.value() != Providers::ProviderType::NATIVE) {
        return Fail<Errors::Unsupported>(result, Say(kProviderNotNative, id));
      }
      if (spec->native_spec->key_id) {
        if (spec->native_spec->key_id->empty()) return Fail<Errors::InvalidArgument>(result, Say(kKeyIdEmpty));
        found->second.keyId = *spec->native_spec->key_id;
      }
    }
    result.value(Tirn::Void());
  }

  void Delete(std::string const& id, std::shared_ptr<Tirn::Core::AsyncActivation> const&,
              Providers::DeleteMethod::ResultCbType const& result) override {
    if (id.empty()) return Fail<Errors::InvalidArgument>(result, Say(kProviderIdEmpty));
    {
      std::lock_guard<std::mutex> lock(store_->mutex);
      if (store_->providers.erase(id) == 0) return Fail<Errors::NotFound>(result, Say(kProviderNotFound, id));
    }
    result.value(Tirn::Void());
  }

  void Get(std::string const& id, std::shared_ptr<Tirn::Core::AsyncActivation> const&,
           Providers::GetMethod::ResultCbType const& result) override {
    if (id.empty()) return Fail<Errors::InvalidArgument>(result, Say(kProviderIdEmpty));
    auto info = std::make_shared<Providers::Info>();
    {
      std::lock_guard<std::mutex> lock(store_->mutex);
      auto found = store_->providers.find(id);
      if (found == store_->providers.end()) return Fail<Errors::NotFound>(result, Say(kProviderNotFound, id));
      info->type = found->second.type;
      if (found->second.type.value() == Providers::ProviderType::NATIVE) {
        auto native = std::make_shared<Providers::NativeProviderInfo>();
        native->key_id = found->second.keyId;
        info->native_info = native;
      }
    }
    result.value(info);
  }

 private:
  // A native provider is always available; a trust-authority provider while a key server
  // exists.
  static bool Available(Store::Provider const& provider, bool haveKeyServer) {
    return provider.type.value() == Providers::ProviderType::NATIVE || haveKeyServer;
  }

  std::shared_ptr<Store> store_;
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
  static constexpr char const* kPrefix = "key-server-";
  static constexpr char const* kNotFound = kKeyServerNotFound;
  static constexpr char const* kExists = kKeyServerExists;
  static std::map<std::string, Store::Server>& Entries(Store& store) { return store.keyServers; }
  static long long& Next(Store& store) { return store.nextKeyServer; }
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
  static constexpr char const* kPrefix = "attestation-service-";
  static constexpr char const* kNotFound = kAttestationServiceNotFound;
  static constexpr char const* kExists = kAttestationServiceExists;
  static std::map<std::string, Store::Server>& Entries(Store& store) {
    return store.attestationServices;
  }
  static long long& Next(Store& store) { return store.nextAttestationService; }
};

template <class Traits>
class Servers final : public Traits::Svc {
 public:
  explicit Servers(std::shared_ptr<Store> store) : store_(std::move(store)) {}

  void List(Tirn::OptionalPtr<typename Traits::FilterSpec const> const& filter,
            std::shared_ptr<Tirn::Core::AsyncActivation> const&,
            typename Traits::ListMethod::ResultCbType const& result) override {
    typename Traits::ListMethod::Result summaries;
    {
      std::lock_guard<std::mutex> lock(store_->mutex);
      for (auto const& entry : Traits::Entries(*store_)) {
        Store::Server const& server = entry.second;
        if (filter && (!Matches(filter->services, entry.first) ||
                       !Matches(filter->address, *server.address) ||
                       !Matches(filter->group, server.group))) {
          continue;
        }
        auto summary = std::make_shared<typename Traits::Summary>();
        summary->service = entry.first;
        summary->address = server.address;
        summary->group = server.group;
        summaries.push_back(std::move(summary));
      }
    }
    result.value(summaries);
  }

  void Get(std::string const& id, std::shared_ptr<Tirn::Core::AsyncActivation> const&,
           typename Traits::GetMethod::ResultCbType const& result) override {
    auto info = std::make_shared<typename Traits::Info>();
    {
      std::lock_guard<std::mutex> lock(store_->mutex);
      auto& entries = Traits::Entries(*store_);
      auto found = entries.find(id);
      if (found == entries.end()) return Fail<Errors::NotFound>(result, Say(Traits::kNotFound, id));
      info->address = found->second.address;
      info->trusted_CA = found->second.trustedCa;
      info->group = found->second.group;
    }
    result.value(info);
  }

  void Create(std::shared_ptr<typename Traits::CreateSpec const> const& spec,
              std::shared_ptr<Tirn::Core::AsyncActivation> const&,
              typename Traits::CreateMethod::ResultCbType const& result) override {
    if (auto problem = CheckAddress(spec ? spec->address.get() : nullptr)) {
      return Fail<Errors::InvalidArgument>(result, *problem);
    }
    if (!spec->trusted_CA) return Fail<Errors::InvalidArgument>(result, Say(kTrustedCaMissing));
    std::string id;
    {
      std::lock_guard<std::mutex> lock(store_->mutex);
      auto& entries = Traits::Entries(*store_);
      for (auto const& entry : entries) {
        Ti::NetworkAddress const& existing = *entry.second.address;
        if (existing.hostname == spec->address->hostname && existing.port == spec->address->port) {
          return Fail<Errors::AlreadyExists>(result, Say(Traits::kExists, Describe(existing)));
        }
      }
      id = Traits::kPrefix + std::to_string(Traits::Next(*store_)++);
      entries[id] = Store::Server{spec->address, spec->trusted_CA, spec->group};
    }
    result.value(id);
  }

  void Delete(std::string const& id, std::shared_ptr<Tirn::Core::AsyncActivation> const&,
              typename Traits::DeleteMethod::ResultCbType const& result) override {
    {
      std::lock_guard<std::mutex> lock(store_->mutex);
      if (Traits::Entries(*store_).erase(id) == 0) {
        return Fail<Errors::NotFound>(result, Say(Traits::kNotFound, id));
      }
    }
    result.value(Tirn::Void());
  }

 private:
  std::shared_ptr<Store> store_;
};

// ---- Attestation reports -------------------------------------------------------------------

namespace Reports = Ti::Attestation::ReportsSvc;

class AttestationReports final : public Reports::AsyncServiceInterface {
 public:
  explicit AttestationReports(std::shared_ptr<Store> store) : store_(std::move(store)) {}

  void List(std::shared_ptr<Tirn::Core::AsyncActivation> const&,
            Reports::ListMethod::ResultCbType const& result) override {
    Reports::ListMethod::Result summaries;
    {
      std::lock_guard<std::mutex> lock(store_->mutex);
      for (auto const& entry : store_->attestationServices) {
        auto jwt = std::make_shared<Reports::ReportingJwt>();
        jwt->service = entry.first;
        jwt->group = entry.second.group;
        jwt->jwt = UnsignedJwt(entry.first, entry.second.group);
        auto summary = std::make_shared<Reports::Summary>();
        summary->report = "report-" + entry.first;
        summary->type = Reports::ReportType::REPORTING_JWT;
        summary->reporting_jwt = jwt;
        summaries.push_back(std::move(summary));
      }
    }
    result.value(summaries);
  }

 private:
  std::shared_ptr<Store> store_;
};

std::string JsonString(std::string const& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      static char const hex[] = "0123456789abcdef";
      out += "\\u00";
      out += hex[c >> 4];
      out += hex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

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
  };
  return messages;
}

std::shared_ptr<Tirn::L10n::Localizer> MakeLocalizer() {
  Tirn::L10n::Localizer::Catalog german;
  for (auto const& text : Messages()) german[text.id] = text.german;
  return std::make_shared<Tirn::L10n::Localizer>(
      std::map<std::string, Tirn::L10n::Localizer::Catalog>{{"de", german}});
}

ReferenceServer::ReferenceServer()
    : store_(std::make_shared<Store>()),
      localizer_(MakeLocalizer()),
      keyProviders_(std::make_shared<KeyProviders>(store_)),
      keyServers_(std::make_shared<Servers<KeyServerTraits>>(store_)),
      attestationServices_(std::make_shared<Servers<AttestationServiceTraits>>(store_)),
      reports_(std::make_shared<AttestationReports>(store_)) {}

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

std::string Base64Url(std::string const& bytes) {
  static char const alphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  std::string out;
  std::size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    unsigned const n = static_cast<unsigned char>(bytes[i]) << 16 |
                       static_cast<unsigned char>(bytes[i + 1]) << 8 |
                       static_cast<unsigned char>(bytes[i + 2]);
    out += alphabet[n >> 18];
    out += alphabet[(n >> 12) & 63];
    out += alphabet[(n >> 6) & 63];
    out += alphabet[n & 63];
  }
  if (i < bytes.size()) {
    unsigned n = static_cast<unsigned char>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) n |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    out += alphabet[n >> 18];
    out += alphabet[(n >> 12) & 63];
    if (i + 1 < bytes.size()) out += alphabet[(n >> 6) & 63];
  }
  return out;
}

std::string UnsignedJwt(std::string const& service, std::string const& group) {
  std::string const header = R"({"alg":"none","typ":"JWT"})";
  std::string const claims = "{\"iss\":\"reference-server\",\"sub\":" + JsonString(service) +
                             ",\"group\":" + JsonString(group) + "}";
  return Base64Url(header) + "." + Base64Url(claims) + ".";
}

}  // namespace Reference
