// A complete in-memory server of the trusted-infrastructure package.
//
// ReferenceServer implements the four services (key providers, key servers, attestation
// services, attestation reports) against their generated AsyncServiceInterfaces, as a server
// implementer would, and binds them for registration with an API provider. Its state is safe
// under concurrent calls. Errors carry the server's own localizable messages, with English
// default texts and a German catalog.
//
//   auto provider = std::make_shared<Tirn::Core::InProcessApiProvider>();
//   Reference::ReferenceServer server;
//   server.RegisterWith(*provider);
#ifndef EXAMPLES_REFERENCE_SERVER_H_
#define EXAMPLES_REFERENCE_SERVER_H_

#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "com/ostrel/nox/trusted_infrastructure/trusted_infrastructure.h"
#include "tirn/runtime/in_process_provider.h"
#include "tirn/runtime/localizer.h"
#include "tirn/runtime/secret_string.h"

namespace Reference {

namespace Ti = Com::Ostrel::Nox::TrustedInfrastructure;

// The server's own messages: identifier, English template, German template.
struct MessageText {
  char const* id;
  char const* english;
  char const* german;
};

// Every message the server reports.
std::list<MessageText> const& Messages();

// A localizer whose German ("de") catalog holds the server's messages.
std::shared_ptr<Tirn::L10n::Localizer> MakeLocalizer();

// Everything the four services share, behind one lock.
class Store {
 public:
  struct Provider {
    Ti::Kms::ProvidersSvc::ProviderType type;
    std::string keyId;
    // Kept, never returned, never printed.
    Tirn::SecretString keyDerivationKey;
  };
  struct Server {
    std::shared_ptr<Ti::NetworkAddress const> address;
    std::shared_ptr<Ti::X509CertChain const> trustedCa;
    std::string group;
  };

  std::mutex mutex;
  std::map<std::string, Provider> providers;
  std::map<std::string, Server> keyServers;
  std::map<std::string, Server> attestationServices;
  long long nextKeyServer = 1;
  long long nextAttestationService = 1;
};

class ReferenceServer {
 public:
  ReferenceServer();

  // Binds the four services with the server's localizer and registers them.
  void RegisterWith(Tirn::Core::InProcessApiProvider& provider) const;

  std::shared_ptr<Ti::Kms::ProvidersSvc::AsyncServiceInterface> const& keyProviders() const {
    return keyProviders_;
  }
  std::shared_ptr<Ti::Kms::ServicesSvc::AsyncServiceInterface> const& keyServers() const {
    return keyServers_;
  }
  std::shared_ptr<Ti::Attestation::ServicesSvc::AsyncServiceInterface> const&
  attestationServices() const {
    return attestationServices_;
  }
  std::shared_ptr<Ti::Attestation::ReportsSvc::AsyncServiceInterface> const& reports() const {
    return reports_;
  }

 private:
  std::shared_ptr<Store> store_;
  std::shared_ptr<Tirn::L10n::Localizer> localizer_;
  std::shared_ptr<Ti::Kms::ProvidersSvc::AsyncServiceInterface> keyProviders_;
  std::shared_ptr<Ti::Kms::ServicesSvc::AsyncServiceInterface> keyServers_;
  std::shared_ptr<Ti::Attestation::ServicesSvc::AsyncServiceInterface> attestationServices_;
  std::shared_ptr<Ti::Attestation::ReportsSvc::AsyncServiceInterface> reports_;
};

// The unsigned JSON Web Token of a report: base64url header {"alg":"none","typ":"JWT"}, a dot,
// base64url claims naming the attestation service and group, and a final dot.
std::string UnsignedJwt(std::string const& service, std::string const& group);

// base64url without padding.
std::string Base64Url(std::string const& bytes);

}  // namespace Reference

#endif  // EXAMPLES_REFERENCE_SERVER_H_
