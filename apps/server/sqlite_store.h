// SqliteRecordStore: the reference services' records in an SQLite file, for tirn-server.
//
// The file is kept in WAL mode with synchronous=FULL: every change has reached the disk when
// its call returns. Changes made from several threads at once share commits: the first to
// find no commit under way commits every change waiting (each in a savepoint of its own, so
// that one that fails undoes only itself), and the others wait for it; a change's call
// returns once the commit that holds it is on disk.
//
// Each provider's key-derivation key is sealed with the server's SecretBox, bound to the
// provider's identifier; the file also holds a sealed check value, so that a file opened with
// another key is refused at once rather than served half-readable, and the key's fingerprint,
// so that a damaged check value is not taken for another key. When opening fails, SQLite's own
// check of the file (PRAGMA quick_check) says whether it is damaged.
//
// The schema is versioned (PRAGMA user_version, and a migrations table listing the versions
// applied): opening a file of an older version migrates it, a file of a newer version is
// refused.
//
// Reads that open no seal run on a second connection of their own, under a lock of their
// own: in WAL mode they see every commit made before they start and never wait for the one
// under way, so ReadsAtOnce holds (the file's: ":memory:" has one connection, and its reads
// wait for the writer's lock).
//
// A keyed write (Reference::KeyedWrite) keeps its key, a digest of its input made with the
// SecretBox's key (SecretBox::Digest: the input may hold a secret), and its outcome in the
// write_keys table, in the savepoint of its change.
//
//   std::string error;
//   auto store = ServerApp::SqliteRecordStore::Open("tirn-server.db", box, error);
//   if (!store) Fail(error);
//   Reference::ReferenceServer server(store, log);
//
// Rekey reseals the file's secrets with another key (tirn-server rekey), and ReadSealed
// reads every record as it lies, secrets still sealed, to be written elsewhere (tirn-server
// copy):
//
//   if (!store->Rekey(newBox, resealed, notices, error)) Fail(error);
//   ServerApp::SealedRecords records;
//   if (!store->ReadSealed(records, error)) Fail(error);
#ifndef APPS_SERVER_SQLITE_STORE_H_
#define APPS_SERVER_SQLITE_STORE_H_

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "apps/server/secret_box.h"
#include "apps/server/sqlite.h"
#include "apps/reference/record_store.h"

namespace ServerApp {

// A store's records as they are kept, every secret still sealed, with the sealed key check
// and the key fingerprint that go with them: moved from one store to another as they are, the
// records open there with the key they were sealed with, and nothing is opened on the way.
// The sealed values are ciphertext; none of this is secret.
struct SealedRecords {
  struct Provider {
    std::string id;
    std::string type;  // the type's wire name
    std::string keyId;
    // The key-derivation key, sealed (SecretBox::Seal) bound to "provider:<id>".
    std::string sealedKey;
  };
  struct Server {
    Reference::ServerKind kind;
    std::string id;
    std::string hostname;
    std::optional<std::int64_t> port;
    // The address and certificate chain as JSON, as they were received.
    std::string address;
    std::string trustedCa;
    std::string group;
  };
  std::vector<Provider> providers;
  // Ordered by kind, then identifier.
  std::vector<Server> servers;
  // The number the next server of each kind gets (numbers already given, also to servers
  // deleted since, are below it).
  std::int64_t nextKeyServer = 1;
  std::int64_t nextAttestationService = 1;
  std::string keyCheck;
  std::string keyFingerprint;
};

class SqliteRecordStore final : public Reference::RecordStore {
 public:
  // The schema version this server writes.
  static constexpr int kSchemaVersion = 2;

  // Opens the file at `path` (":memory:" for none), creating or migrating its schema. Null,
  // with the reason in `error`, when it cannot be opened, is damaged, is of a newer schema,
  // or was written with a key other than `box`'s.
  static std::shared_ptr<SqliteRecordStore> Open(std::string const& path,
                                                 std::shared_ptr<SecretBox const> box,
                                                 std::string& error);

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
  bool ReadsAtOnce() const override { return readsApart_; }
  // The file is this process's alone, locked while it is open.
  bool WaitsOnlyForItsDisk() const override { return true; }

  // Reseals every secret the file holds (each provider's key, and the key-check value and
  // fingerprint) with `newBox`'s key, in one transaction: when a step fails nothing has
  // changed and the file opens with the old key only. Then the store goes on with the new
  // key, and the file is rewritten (VACUUM) and its log emptied, so that no value sealed with
  // the old key is left on disk. The idempotency keys kept are forgotten (their digests were
  // made with the old key). `resealed` counts the providers' keys; `notices` receives
  // what the user should be told (old values that could not be erased). False, with the
  // reason in `error`, when `newBox` holds the key in use, a stored secret does not open with
  // the key in use, or SQLite fails.
  [[nodiscard]] bool Rekey(std::shared_ptr<SecretBox const> newBox, std::size_t& resealed,
                           std::vector<std::string>& notices, std::string& error);

  // Every record as it lies in the file, in one transaction: the providers' keys, and the
  // key check, still sealed with the key the file was opened with (Open has checked that it
  // is that key). False, with the reason in `error`, when SQLite fails or a server's kind is
  // unknown to this server.
  [[nodiscard]] bool ReadSealed(SealedRecords& out, std::string& error);

  // How changes have reached the disk since the store was opened: `changes` counts the
  // operations that change records (also those answered kExists or kNotFound), `commits` the
  // transactions committed for them, `waiting` the changes waiting for a commit now.
  struct WriteCounts {
    std::uint64_t changes = 0;
    std::uint64_t commits = 0;
    std::size_t waiting = 0;
  };
  WriteCounts Counts() const;

 private:
  SqliteRecordStore() = default;

  bool Prepare(std::string& error);
  bool Migrate(std::string const& path, std::string& error);
  // Whether the file was written with box_'s key. kFailed: SQLite failed reading or writing
  // the values that say so (the file may be damaged); kRefused: `error` says what is wrong.
  enum class KeyCheck { kMatches, kFailed, kRefused };
  KeyCheck CheckKey(std::string const& path, std::string& error);
  // A value of the meta table; `found` false when there is none.
  bool ReadMeta(char const* key, std::string& value, bool& found, std::string& error);
  bool WriteMeta(char const* key, std::string const& value, std::string& error);
  // Both values of the key check: `sealed` and the key's `fingerprint`.
  bool WriteKeyCheck(std::string const& sealed, std::string const& fingerprint,
                     std::string& error);
  // The statements of the plain reads, prepared on one connection.
  struct Reads {
    Sqlite::Statement listProviders, getProvider, listServers, getServer;
    bool Prepare(Sqlite::Database& db, std::string& error);
  };
  // The reads a call runs, with their connection's lock held: the reading connection's when
  // the file has one and the read opens no seal (seals are opened under mutex_, which Rekey
  // changes the key under), else the writer's.
  struct LockedReads {
    std::unique_lock<std::mutex> lock;
    Reads& reads;
  };
  LockedReads ReadsFor(Reference::Unseal unseal);
  // Opens the reading connection on the file at `path`, once its schema is current.
  bool OpenReads(std::string const& path, std::string& error);
  // Runs `statement` to its end.
  bool Run(Sqlite::Statement& statement, std::string& error);
  bool ReadProvider(Sqlite::Statement& statement, ProviderRecord& out, Reference::Unseal unseal,
                    std::string& error);
  std::function<bool(Sqlite::Statement&, ProviderRecord&, std::string&)> ProviderReader(
      Reference::Unseal unseal);
  bool WriteProvider(Sqlite::Statement& statement, ProviderRecord const& record,
                     std::string& error);
  // Runs `write` in the next commit (Change), as a keyed write when `keyed` is set
  // (Reference::RunKeyed on the write_keys table).
  Status Keyed(Reference::KeyedWrite* keyed, std::function<Status()> const& write,
               std::function<std::string()> const& id, std::string& error);
  // Runs `body` inside BEGIN IMMEDIATE ... COMMIT, rolling back when it fails.
  Status InTransaction(std::function<Status()> const& body, std::string& error);
  // A change waiting for its commit.
  struct PendingChange {
    std::function<Status()> const* body;
    std::string* error;
    Status status = Status::kFailed;
    bool done = false;
  };
  // Runs `body` (which changes records) in the next commit, and returns its status once that
  // commit is on disk; takes mutex_ itself.
  Status Change(std::function<Status()> const& body, std::string& error);
  // Commits `batch` in one transaction, under mutex_; sets each change's status and error.
  // False when the transaction was not committed (every change of it then failed).
  bool CommitTogether(std::vector<PendingChange*> const& batch);
  // Rolls back what was begun and fails every change of `batch`, under mutex_.
  void Abandon(std::vector<PendingChange*> const& batch) noexcept;

  // Guards the changes waiting and the counts; never held while mutex_ is wanted.
  mutable std::mutex queueMutex_;
  std::condition_variable committed_;
  std::vector<PendingChange*> waiting_;
  bool committing_ = false;
  std::uint64_t changes_ = 0;
  std::uint64_t commits_ = 0;

  std::mutex mutex_;
  std::shared_ptr<SecretBox const> box_;
  // Declared before the statements, so that they are finalised before it closes.
  Sqlite::Database db_;
  Sqlite::Statement begin_, commit_, rollback_, savepoint_, release_, rollbackToSavepoint_;
  Reads writerReads_;
  Sqlite::Statement insertProvider_, updateProvider_, deleteProvider_;
  Sqlite::Statement findServer_, nextNumber_, setNumber_, insertServer_, deleteServer_;
  Sqlite::Statement findKey_, keepKey_, forgetKeys_;

  // The reading connection and its statements, when the file has one (readsApart_).
  std::mutex readMutex_;
  bool readsApart_ = false;
  Sqlite::Database readDb_;
  Reads reads_;
  // When keys past their window were last removed.
  std::chrono::steady_clock::time_point keysForgotten_;
};

}  // namespace ServerApp

#endif  // APPS_SERVER_SQLITE_STORE_H_
