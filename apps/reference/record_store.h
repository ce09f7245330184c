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
//
// A write may carry an idempotency key (KeyedWrite): the store keeps the key with the write's
// outcome in the same transaction as the write, and does the write at most once per key:
//
//   Reference::KeyedWrite keyed{caller, key, input};
//   auto status = store->CreateProvider(provider, error, &keyed);
//   if (keyed.replayed) ...   // done before: `status` and keyed.outcome are what it answered
#ifndef APPS_REFERENCE_RECORD_STORE_H_
#define APPS_REFERENCE_RECORD_STORE_H_

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
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
  // The write's idempotency key is kept for a write with another input; nothing was done.
  kKeyReused,
};

// A write's idempotency key, and what the store says of it. The store keeps, in the same
// transaction as the write: the scope and key, a digest of `input`, when, and the outcome
// (never a secret). Another write with the same scope and key, within the store's window
// (RecordStore::KeepKeysFor), is not done: with the same input it returns the outcome kept,
// `replayed` set; with another input kKeyReused. A write whose store failed (kFailed,
// kUnavailable) keeps nothing, so that trying it again does it. Keys older than the window are
// forgotten, and removed by the store as it goes.
struct KeyedWrite {
  // The caller the key belongs to ("" for the anonymous caller): callers' keys never meet.
  std::string scope;
  std::string key;
  // What the write is asked to do (its operation and input, secrets included); only a keyed
  // digest of it is kept, or, in a store in memory, the text itself.
  Tirn::SecretString input;

  // What the write answered: set by the store once the write is done, or to what it kept.
  struct Outcome {
    StoreStatus status = StoreStatus::kOk;  // kOk, kNotFound or kExists
    // The record's identifier (a created server's new one).
    std::string id;
    // Set by an update's change when it refuses the change: the identifier of the message it
    // answers with, kept so that a replay answers the same.
    std::string refusal;
  } outcome;
  // The write was done before with this key: nothing was done now, and the store's answer and
  // `outcome` are what it answered then.
  bool replayed = false;
};

// The steps of a write in a store's transaction: `claim` looks the key up (kOk: the key is new,
// or `keyed` has been filled as a replay), `write` writes, `id` names the record after it, and
// `keep` keeps the outcome. Without a key, only the write.
template <class Claim, class Write, class Id, class Keep>
StoreStatus RunKeyed(KeyedWrite* keyed, Claim const& claim, Write const& write, Id const& id,
                     Keep const& keep) {
  if (!keyed) return write();
  StoreStatus status = claim();
  if (status != StoreStatus::kOk) return status;
  if (keyed->replayed) return keyed->outcome.status;
  status = write();
  if (status != StoreStatus::kOk && status != StoreStatus::kNotFound &&
      status != StoreStatus::kExists) {
    return status;
  }
  keyed->outcome.status = status;
  keyed->outcome.id = id();
  StoreStatus const kept = keep();
  return kept == StoreStatus::kOk ? status : kept;
}

// Whether a read of providers opens their key-derivation keys. No answer of the services
// carries one, so their reads leave the keys sealed (ProviderRecord::keyDerivationKey stays
// empty) and pay nothing for them: a seal is opened, and so checked, where its key is used
// (an update, which writes the key back; a rekey).
enum class Unseal { kNo, kYes };

class RecordStore {
 public:
  virtual ~RecordStore() = default;

  // Every provider, ordered by identifier.
  virtual StoreStatus ListProviders(std::vector<ProviderRecord>& out, std::string& error,
                                    Unseal unseal = Unseal::kNo) = 0;
  virtual StoreStatus GetProvider(std::string const& id, ProviderRecord& out,
                                  std::string& error, Unseal unseal = Unseal::kNo) = 0;
  // kExists when a provider has the record's identifier. Every write takes an optional key
  // (see KeyedWrite).
  virtual StoreStatus CreateProvider(ProviderRecord const& record, std::string& error,
                                     KeyedWrite* keyed = nullptr) = 0;
  // Reads the provider, lets `change` modify it and writes it back, all at once. `change`
  // returns false to leave the record as it was (the answer is then kOk). The identifier
  // cannot change.
  virtual StoreStatus UpdateProvider(std::string const& id,
                                     std::function<bool(ProviderRecord&)> const& change,
                                     std::string& error, KeyedWrite* keyed = nullptr) = 0;
  virtual StoreStatus DeleteProvider(std::string const& id, std::string& error,
                                     KeyedWrite* keyed = nullptr) = 0;

  // Every server of the kind, ordered by identifier.
  virtual StoreStatus ListServers(ServerKind kind, std::vector<ServerRecord>& out,
                                  std::string& error) = 0;
  virtual StoreStatus GetServer(ServerKind kind, std::string const& id, ServerRecord& out,
                                std::string& error) = 0;
  // Names the record `idPrefix` followed by the next number of the kind (counting from 1,
  // never reused) and stores it; kExists when a server of the kind has the same host name and
  // port.
  virtual StoreStatus CreateServer(ServerKind kind, std::string const& idPrefix,
                                   ServerRecord& record, std::string& error,
                                   KeyedWrite* keyed = nullptr) = 0;
  virtual StoreStatus DeleteServer(ServerKind kind, std::string const& id, std::string& error,
                                   KeyedWrite* keyed = nullptr) = 0;

  // Whether the store can serve calls now (for a readiness probe); false with the reason in
  // `why`, which holds no secret. Bounded in time. A store kept in this process or in a file
  // it holds open is always ready.
  virtual bool Ready(std::string& /*why*/) { return true; }

  // Whether GetProvider (leaving keys sealed) and GetServer answer at once: they never wait
  // for another call's write, a disk write or the network, so a server may run them on a
  // thread that serves connections. A read may still fetch a page its file's cache lacks.
  virtual bool ReadsAtOnce() const { return false; }

  // Whether every call waits for nothing outside this process but its own disk: never for the
  // network or another process. A server may then run a call on the thread of a connection
  // that thread serves alone, where its wait holds up no other connection.
  virtual bool WaitsOnlyForItsDisk() const { return false; }

  // How long the keys of keyed writes are kept (at least a second). Default 24 hours.
  static constexpr std::chrono::seconds kDefaultKeyWindow{24 * 60 * 60};
  virtual void KeepKeysFor(std::chrono::seconds window) {
    keyWindow_ = std::max<std::int64_t>(window.count(), 1);
  }
  std::chrono::seconds KeyWindow() const { return std::chrono::seconds(keyWindow_.load()); }

 private:
  std::atomic<std::int64_t> keyWindow_{kDefaultKeyWindow.count()};
};

// Records in this process, behind one lock.
class MemoryRecordStore final : public RecordStore {
 public:
  StoreStatus ListProviders(std::vector<ProviderRecord>& out, std::string& error,
                            Unseal unseal = Unseal::kNo) override;
  StoreStatus GetProvider(std::string const& id, ProviderRecord& out, std::string& error,
                          Unseal unseal = Unseal::kNo) override;
  StoreStatus CreateProvider(ProviderRecord const& record, std::string& error,
                             KeyedWrite* keyed = nullptr) override;
  StoreStatus UpdateProvider(std::string const& id,
                             std::function<bool(ProviderRecord&)> const& change,
                             std::string& error, KeyedWrite* keyed = nullptr) override;
  StoreStatus DeleteProvider(std::string const& id, std::string& error,
                             KeyedWrite* keyed = nullptr) override;
  StoreStatus ListServers(ServerKind kind, std::vector<ServerRecord>& out,
                          std::string& error) override;
  StoreStatus GetServer(ServerKind kind, std::string const& id, ServerRecord& out,
                        std::string& error) override;
  StoreStatus CreateServer(ServerKind kind, std::string const& idPrefix, ServerRecord& record,
                           std::string& error, KeyedWrite* keyed = nullptr) override;
  StoreStatus DeleteServer(ServerKind kind, std::string const& id, std::string& error,
                           KeyedWrite* keyed = nullptr) override;

  // Every call holds the lock only while it works in memory.
  bool ReadsAtOnce() const override { return true; }
  bool WaitsOnlyForItsDisk() const override { return true; }

  // The keys kept now (expired ones included until a keyed write removes them).
  std::size_t KeptKeys();

 private:
  using Clock = std::chrono::steady_clock;
  struct KeptKey {
    Tirn::SecretString input;
    KeyedWrite::Outcome outcome;
    Clock::time_point at;
  };
  // The steps of a keyed write (RunKeyed) on the maps below; mutex_ held.
  StoreStatus Keyed(KeyedWrite* keyed, std::function<StoreStatus()> const& write,
                    std::function<std::string()> const& id);

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
  // By scope and key; and the same keys oldest first, to forget them in order.
  std::map<std::pair<std::string, std::string>, KeptKey> keys_;
  std::deque<std::pair<std::string, std::string>> keyOrder_;
};

}  // namespace Reference

#endif  // APPS_REFERENCE_RECORD_STORE_H_
