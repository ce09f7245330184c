// A complete server of the trusted-infrastructure package.
//
// ReferenceServer implements the four services (key providers, key servers, attestation
// services, attestation reports) against their generated AsyncServiceInterfaces, as a server
// implementer would, and binds them for registration with an API provider. It keeps its
// records in a RecordStore (apps/reference/record_store.h): in memory unless it is given
// another; reports are derived from the attestation services. It is safe under concurrent
// calls, and answers a call that changes records only once the store has kept the change.
// A record to be created or updated whose strings (identifiers, key identifiers, host names,
// certificates, groups, and the strings among the fields an address or a certificate chain
// carries without the server knowing them) are not all well-formed UTF-8 is refused with
// invalid_argument before it reaches the store: a store keeps only what it can hand back.
// Errors carry the server's own localizable messages, with English default texts and a German
// catalog.
//
//   auto provider = std::make_shared<Tirn::Core::InProcessApiProvider>();
//   Reference::ReferenceServer server;
//   server.RegisterWith(*provider);
#ifndef APPS_REFERENCE_REFERENCE_SERVER_H_
#define APPS_REFERENCE_REFERENCE_SERVER_H_

#include <functional>
#include <list>
#include <memory>
#include <string>

#include "apps/reference/record_store.h"
#include "com/ostrel/nox/trusted_infrastructure/trusted_infrastructure.h"
#include "tirn/runtime/call/in_process_provider.h"
#include "tirn/runtime/l10n/localizer.h"

namespace Reference {

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

// Whether `operation` ("service.operation", as "kms.providers.create") changes records: the
// creates, updates and deletes of the four services. Every other operation only reads.
bool WritesRecords(std::string const& operation);

// Whether `operation` reads one record by its identifier (the gets of the services): a call
// whose store work is a single short read (RecordStore::ReadsAtOnce says whether it waits).
bool ReadsOneRecord(std::string const& operation);

// Called with what the services have to say about their store's failures; never a secret.
using StoreLog = std::function<void(std::string const&)>;

class ReferenceServer {
 public:
  // Records in memory, lost with the server.
  ReferenceServer();
  // Records in `store`; a store failure answers the call with internal_server_error and is
  // told to `log` (when set).
  explicit ReferenceServer(std::shared_ptr<RecordStore> store, StoreLog log = {});

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
  std::shared_ptr<RecordStore> store_;
  std::shared_ptr<Tirn::L10n::Localizer> localizer_;
  std::shared_ptr<Ti::Kms::ProvidersSvc::AsyncServiceInterface> keyProviders_;
  std::shared_ptr<Ti::Kms::ServicesSvc::AsyncServiceInterface> keyServers_;
  std::shared_ptr<Ti::Attestation::ServicesSvc::AsyncServiceInterface> attestationServices_;
  std::shared_ptr<Ti::Attestation::ReportsSvc::AsyncServiceInterface> reports_;
};

// The unsigned JSON Web Token of a report: base64url header {"alg":"none","typ":"JWT"}, a dot,
// base64url claims naming the attestation service and group, and a final dot.
std::string UnsignedJwt(std::string const& service, std::string const& group);

}  // namespace Reference

#endif  // APPS_REFERENCE_REFERENCE_SERVER_H_
