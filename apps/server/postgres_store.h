// PostgresRecordStore: the reference services' records in a PostgreSQL database, for
// tirn-server instances that share them.
//
// Many instances may serve one database at once. Every operation is one transaction on one
// connection of a small pool; identifiers of servers come from a database sequence per kind
// (never reused, whichever instance asks), "already exists" from unique constraints (of a
// provider's identifier, of a server's host name and port), and an update reads and writes its
// row in one transaction with the row locked, so that no instance loses another's change.
//
// A keyed write (Reference::KeyedWrite) claims its key in the write_keys table every instance
// shares, in the write's transaction: of two writes with one key, on one instance or two, the
// second waits on the first's row until it commits, then answers from its outcome. The input
// is kept as a digest made with the SecretBox's key (it may hold a secret).
//
// Each provider's key-derivation key is sealed with the server's SecretBox, bound to the
// provider's identifier, as in the SQLite store; the database also holds a sealed check value
// and the key's fingerprint, so that an instance started with another key is refused at Open.
// Every transaction that seals or opens a secret checks the stored fingerprint again (under a
// share lock, so that a rotation waits for it or it for the rotation) and answers kUnavailable
// when another process has sealed the records with another key since.
//
// The schema is versioned: a migrations table lists the versions applied; instances starting
// together apply a migration once (they take a transaction-level advisory lock first), and a
// database of a newer version is refused.
//
// The database may go away and come back. A connection found broken is replaced at its next
// use; connecting, waiting for a free connection and each statement are bounded (about a
// second each, the statement also by the server's statement_timeout), so that a call while the
// database cannot be reached answers kUnavailable promptly instead of hanging a serving thread.
//
// The URI names no password: one in it is refused (the error does not repeat it), and libpq
// finds it in its usual places (PGPASSWORD, the password file, PGPASSFILE).
//
// Thread-safety: all operations may be called from any number of threads at once; each takes a
// connection of its own from the pool for its duration.
//
//   std::string error;
//   auto store = ServerApp::PostgresRecordStore::Open(
//       "postgresql://tirn@db.internal:5432/tirn", box, threads, error);
//   if (!store) Fail(error);
//   Reference::ReferenceServer server(store, log);
//   ...
//   std::string why;
//   bool const ready = store->Ready(why);  // for a readiness endpoint
//
// Rekey reseals the records with another key while instances serve them (tirn-server rekey);
// ImportSealed fills an empty database with a data file's records, as sealed as they are
// (tirn-server copy):
//
//   if (!store->Rekey(newBox, resealed, notices, error)) Fail(error);
//   if (!ServerApp::PostgresRecordStore::ImportSealed(uri, records, where, notices, error)) ...
#ifndef APPS_SERVER_POSTGRES_STORE_H_
#define APPS_SERVER_POSTGRES_STORE_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "apps/reference/record_store.h"
#include "apps/server/secret_box.h"
#include "apps/server/sqlite_store.h"

namespace ServerApp {

// Whether `text` is a PostgreSQL connection URI (postgresql:// or postgres://).
bool IsPostgresUri(std::string const& text);

// Whether `uri` is a PostgreSQL URI that libpq can read and that names no password (Open
// refuses any other); false with the reason in `error`, which repeats neither the URI nor the
// password.
bool CheckPostgresUri(std::string const& uri, std::string& error);

// One connection of a PostgresRecordStore's pool (postgres_store.cc).
struct PostgresConnection;

class PostgresRecordStore final : public Reference::RecordStore {
 public:
  // The schema version this server writes.
  static constexpr int kSchemaVersion = 2;
  // The most connections one store keeps.
  static constexpr std::size_t kMaxConnections = 64;
  // How long a connect, a statement (also the server's statement_timeout) and a wait for a
  // free connection may take.
  static constexpr std::chrono::milliseconds kConnectTimeout{1000};
  static constexpr std::chrono::milliseconds kStatementTimeout{1000};
  static constexpr std::chrono::milliseconds kLeaseTimeout{1000};

  // Connects to the database at `uri`, creating or migrating its schema, with a pool of
  // `connections` connections (at least one, at most kMaxConnections; one per thread that
  // calls the store is right). Null, with the reason in `error`, when the URI is not a
  // PostgreSQL URI or holds a password, the database cannot be reached, is of a newer schema,
  // or holds records sealed with a key other than `box`'s.
  static std::shared_ptr<PostgresRecordStore> Open(std::string const& uri,
                                                   std::shared_ptr<SecretBox const> box,
                                                   std::size_t connections, std::string& error);

  // How Open waits, when it starts a server, for a database that does not answer yet: nothing
  // listens at its address, nothing answers, or the database is starting up or shutting down
  // (a deploy or a restart of the database beside the server's own). A database that answers
  // with a refusal (an unknown user or database, a wrong password) is not waited for.
  struct StartWait {
    // How long to keep trying; zero tries once.
    std::chrono::milliseconds limit{0};
    // Told once, with the reason, when the first try fails and the wait begins.
    std::function<void(std::string const&)> waiting;
    // Waits up to the time given before the next try; false ends the wait at once (the
    // server was asked to stop). Empty: sleeps.
    std::function<bool(std::chrono::milliseconds)> pause;
  };
  // The time between two tries while Open waits.
  static constexpr std::chrono::milliseconds kStartRetry{500};
  // Open, waiting for the database as `wait` says.
  static std::shared_ptr<PostgresRecordStore> Open(std::string const& uri,
                                                   std::shared_ptr<SecretBox const> box,
                                                   std::size_t connections,
                                                   StartWait const& wait, std::string& error);
  ~PostgresRecordStore() override;
  PostgresRecordStore(PostgresRecordStore const&) = delete;
  PostgresRecordStore& operator=(PostgresRecordStore const&) = delete;

  using Status = Reference::StoreStatus;
  using ProviderRecord = Reference::ProviderRecord;
  using ServerRecord = Reference::ServerRecord;
  using ServerKind = Reference::ServerKind;

  Status ListProviders(std::vector<ProviderRecord>& out, std::string& error,
                       Reference::Unseal unseal = Reference::Unseal::kNo) override;
  Status GetProvider(std::string const& id, ProviderRecord& out, std::string& error,
                     Reference::Unseal unseal = Reference::Unseal::kNo) override;
  Status CreateProvider(ProviderRecord const& record, std::string& error,
                        Reference::KeyedWrite* keyed = nullptr) override;
  Status UpdateProvider(std::string const& id, std::function<bool(ProviderRecord&)> const& change,
                        std::string& error, Reference::KeyedWrite* keyed = nullptr) override;
  Status DeleteProvider(std::string const& id, std::string& error,
                        Reference::KeyedWrite* keyed = nullptr) override;
  Status ListServers(ServerKind kind, std::vector<ServerRecord>& out,
                     std::string& error) override;
  Status GetServer(ServerKind kind, std::string const& id, ServerRecord& out,
                   std::string& error) override;
  Status CreateServer(ServerKind kind, std::string const& idPrefix, ServerRecord& record,
                      std::string& error, Reference::KeyedWrite* keyed = nullptr) override;
  Status DeleteServer(ServerKind kind, std::string const& id, std::string& error,
                      Reference::KeyedWrite* keyed = nullptr) override;

  // Whether this store can serve now: the database answers on a pooled connection and its
  // records are sealed with this store's key (not resealed by another process since), all of
  // it bounded by about a second. False with the reason in `why` (which holds no secret).
  bool Ready(std::string& why) override;

  // Reseals every secret in the database (each provider's key, the key-check value and the
  // fingerprint) with `newBox`'s key, in one transaction, while other instances may be serving
  // the database. The transaction takes the lock the migrations take (so that no instance opens
  // the database meanwhile) and locks the key check before anything else, so that the other
  // instances' transactions that seal or open a secret wait for it and then find the new
  // fingerprint: from its commit on, instances with the old key answer kUnavailable for them,
  // and one started with the old key is refused. When a step fails, the transaction is rolled
  // back and the old key stays the one. `resealed` counts the providers' keys; `notices`
  // receives what the user should be told (old sealed values the database may still hold).
  // False, with the reason in `error`, when `newBox` holds the key in use, the records are no
  // longer sealed with this store's key, a stored secret does not open with it, or the database
  // fails or cannot be reached. This store keeps its key, which no longer matches: open a new
  // one with `newBox` to go on.
  [[nodiscard]] bool Rekey(std::shared_ptr<SecretBox const> newBox, std::size_t& resealed,
                           std::vector<std::string>& notices, std::string& error);

  // Writes `records` as they are (SqliteRecordStore::ReadSealed: the providers' keys and the
  // key check stay sealed, with the key they were sealed with) into the database at `uri`,
  // which must hold no providers and no servers; its schema is made when it has none. All in
  // one transaction, under the lock the migrations take (no instance opens the database
  // meanwhile) and with the tables and the key check locked (instances serving it wait, and
  // then find the copied records and key check): when anything fails, the database is left
  // as it was. The key-server and attestation-service sequences are advanced past every
  // number the records gave out, so that a server created afterwards never gets an identifier
  // given before. `where` names the database for messages (no password is ever in it);
  // `notices` receives what the user should be told (the key check of another key replaced).
  // False, with the reason in `error` (which says whether anything was changed), when the URI
  // is refused, the database holds records or cannot be reached, or a statement fails.
  [[nodiscard]] static bool ImportSealed(std::string const& uri, SealedRecords const& records,
                                         std::string& where, std::vector<std::string>& notices,
                                         std::string& error);

 private:
  using Connection = PostgresConnection;
  class Lease;
  using Clock = std::chrono::steady_clock;

  PostgresRecordStore() = default;

  // A connection of the pool, waiting until `deadline` for one to come free.
  std::unique_ptr<Connection> Take(Clock::time_point deadline, std::string& error);
  void Give(std::unique_ptr<Connection> connection);
  // Brings `connection` up (connecting and preparing the statements when it is not, or when
  // its server has closed it since its last use) and runs `first` (without parameters; none
  // when null) on it.
  Status Start(Connection& connection, char const* first, Clock::time_point deadline,
               std::string& error);
  // Runs `body` in BEGIN ... COMMIT on a pooled connection; `secrets` when it seals or opens
  // one, which first checks the stored key fingerprint. Rolls back unless `body` answers
  // kOk, kNotFound or kExists.
  Status InTransaction(bool secrets, std::function<Status(Connection&)> const& body,
                       std::string& error);
  // The same for a write that may carry a key (Reference::RunKeyed on the write_keys table,
  // which every instance shares): a keyed write checks the key fingerprint, since its input's
  // digest is made with the key.
  Status InKeyedTransaction(bool secrets, Reference::KeyedWrite* keyed,
                            std::function<Status(Connection&)> const& write,
                            std::function<std::string()> const& id, std::string& error);
  // Runs `body`, which reads with one statement that needs no key check, on a pooled
  // connection: the statement is a transaction of its own, one round trip instead of three.
  Status ReadOnce(std::function<Status(Connection&)> const& body, std::string& error);
  bool Migrate(Connection& connection, std::string& error);
  bool CheckKeyAtOpen(Connection& connection, std::string& error);

  std::string uri_;
  std::shared_ptr<SecretBox const> box_;
  std::string fingerprint_;
  // When this instance last removed keys past their window (steady clock, in its epoch's
  // nanoseconds).
  std::atomic<std::int64_t> keysForgotten_{0};

  std::mutex poolMutex_;
  std::condition_variable poolFree_;
  std::vector<std::unique_ptr<Connection>> idle_;
  std::size_t size_ = 0;
};

}  // namespace ServerApp

#endif  // APPS_SERVER_POSTGRES_STORE_H_
