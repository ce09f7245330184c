// The records the reference services keep, and the narrow store they keep them in.
//
// RecordStore is what the services see: providers, and servers of two kinds (key servers and
// attestation services), each operation atomic on its own. MemoryRecordStore keeps them in
// this process and loses them at exit; apps/server/sqlite_store.h keeps them in a file.
//
//   auto store = std::make_shared<Reference::MemoryRecordStore>();
//   std::string error;
//   Reference::ProviderRecord provider{"vault", ProviderType::NATIVE, "key-1", {}};
//   if (store->CreateProvider(provider, error) == Reference::StoreStatus::kExists) ...
//
// A store that fails (a disk that is full, a file that is locked) answers kFailed with the
// reason in `error`, one whose database cannot be reached now kUnavailable; the reason never
// holds a secret. Ready says whether the store can serve now, without changing anything.
#ifndef APPS_REFERENCE_RECORD_STORE_H_
#define APPS_REFERENCE_RECORD_STORE_H_

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "com/ostrel/nox/trusted_infrastructure/trusted_infrastructure.h"
#include "tirn/runtime/value/secret_string.h"

namespace Reference {

namespace Ti = Com::Ostrel::Nox::TrustedInfrastructure;

struct ProviderRecord {
  std::string id;
  Ti::Kms::ProvidersSvc::ProviderType type;
  std::string keyId;
  // Kept, never returned, never printed.
  Tirn::SecretString keyDerivationKey;
};

enum class ServerKind { kKeyServer, kAttestationService };

// The address and certificate chain are kept as they were received, with any fields this
// server does not know, and handed back that way.
struct ServerRecord {
  std::string id;
  std::shared_ptr<Ti::NetworkAddress const> address;
  std::shared_ptr<Ti::X509CertChain const> trustedCa;
  std::string group;
};

enum class StoreStatus {
  kOk,
  // No record has the identifier.
  kNotFound,
  // A record with the identifier (or, for servers, the address) exists already.
  kExists,
  // The store could not do it; `error` says why.
  kFailed,
  // The store cannot be used now, and may be again later without a restart: its database
  // cannot be reached or did not answer in time, or its records were sealed with another key
  // since it was opened. `error` says why; nothing was changed, except that a change whose
  // commit was under way when the database went away may or may not have been made (`error`
  // says so).
  kUnavailable,
};

class RecordStore {
 public:
  virtual ~RecordStore() = default;

  // Every provider, ordered by identifier.
  virtual StoreStatus ListProviders(std::vector<ProviderRecord>& out, std::string& error) = 0;
  virtual StoreStatus GetProvider(std::string const& id, ProviderRecord& out,
                                  std::string& error) = 0;
  // kExists when a provider has the record's identifier.
  virtual StoreStatus CreateProvider(ProviderRecord const& record, std::string& error) = 0;
  // Reads the provider, lets `change` modify it and writes it back, all at once. `change`
  // returns false to leave the record as it was (the answer is then kOk). The identifier
  // cannot change.
  virtual StoreStatus UpdateProvider(std::string const& id,
                                     std::function<bool(ProviderRecord&)> const& change,
                                     std::string& error) = 0;
  virtual StoreStatus DeleteProvider(std::string const& id, std::string& error) = 0;

  // Every server of the kind, ordered by identifier.
  virtual StoreStatus ListServers(ServerKind kind, std::vector<ServerRecord>& out,
                                  std::string& error) = 0;
  virtual StoreStatus GetServer(ServerKind kind, std::string const& id, ServerRecord& out,
                                std::string& error) = 0;
  // Names the record `idPrefix` followed by the next number of the kind (counting from 1,
  // never reused) and stores it; kExists when a server of the kind has the same host name and
  // port.
  virtual StoreStatus CreateServer(ServerKind kind, std::string const& idPrefix,
                                   ServerRecord& record, std::string& error) = 0;
  virtual StoreStatus DeleteServer(ServerKind kind, std::string const& id,
                                   std::string& error) = 0;

  // Whether the store can serve calls now (for a readiness probe); false with the reason in
  // `why`, which holds no secret. Bounded in time. A store kept in this process or in a file
  // it holds open is always ready.
  virtual bool Ready(std::string& /*why*/) { return true; }
};

// Records in this process, behind one lock.
class MemoryRecordStore final : public RecordStore {
 public:
  StoreStatus ListProviders(std::vector<ProviderRecord>& out, std::string& error) override;
  StoreStatus GetProvider(std::string const& id, ProviderRecord& out,
                          std::string& error) override;
  StoreStatus CreateProvider(ProviderRecord const& record, std::string& error) override;
  StoreStatus UpdateProvider(std::string const& id,
                             std::function<bool(ProviderRecord&)> const& change,
                             std::string& error) override;
  StoreStatus DeleteProvider(std::string const& id, std::string& error) override;
  StoreStatus ListServers(ServerKind kind, std::vector<ServerRecord>& out,
                          std::string& error) override;
  StoreStatus GetServer(ServerKind kind, std::string const& id, ServerRecord& out,
                        std::string& error) override;
  StoreStatus CreateServer(ServerKind kind, std::string const& idPrefix, ServerRecord& record,
                           std::string& error) override;
  StoreStatus DeleteServer(ServerKind kind, std::string const& id, std::string& error) override;

 private:
  struct Servers {
    std::map<std::string, ServerRecord> records;
    long long next = 1;
  };
  Servers& Of(ServerKind kind) {
    return kind == ServerKind::kKeyServer ? keyServers_ : attestationServices_;
  }

  std::mutex mutex_;
  std::map<std::string, ProviderRecord> providers_;
  Servers keyServers_;
  Servers attestationServices_;
};

}  // namespace Reference

#endif  // APPS_REFERENCE_RECORD_STORE_H_
