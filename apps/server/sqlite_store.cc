#include "apps/server/sqlite_store.h"

#include <sqlite3.h>

#include <exception>
#include <list>
#include <string>
#include <utility>

#include "apps/server/key_check.h"
#include "apps/server/record_form.h"
#include "tirn/data/enumeration.h"
#include "tirn/json/json.h"

namespace ServerApp {

namespace {

using detail::LoadJson;
using detail::ProviderBinding;
using detail::StoreJson;

using Status = Reference::StoreStatus;
using ProviderType = Reference::Ti::Kms::ProvidersSvc::ProviderType;

// The schema, one step per version. A later version appends a step that takes a file of the
// previous version to it; a step never changes once released.
struct Migration {
  int version;
  char const* sql;
};

constexpr Migration kMigrations[] = {
    {1, R"sql(
      CREATE TABLE migrations (version INTEGER PRIMARY KEY, applied TEXT NOT NULL);
      CREATE TABLE meta (key TEXT PRIMARY KEY, value BLOB NOT NULL);
      CREATE TABLE providers (
        id TEXT PRIMARY KEY,
        type TEXT NOT NULL,
        key_id TEXT NOT NULL,
        sealed_key BLOB NOT NULL);
      CREATE TABLE servers (
        kind INTEGER NOT NULL,
        id TEXT NOT NULL,
        hostname TEXT NOT NULL,
        port INTEGER,
        address TEXT NOT NULL,
        trusted_ca TEXT NOT NULL,
        grp TEXT NOT NULL,
        PRIMARY KEY (kind, id));
      CREATE INDEX servers_by_address ON servers (kind, hostname, port);
      CREATE TABLE counters (kind INTEGER PRIMARY KEY, next INTEGER NOT NULL);
    )sql"},
    {2, R"sql(
      -- The outcome of each write that carried an idempotency key, by the caller's scope.
      CREATE TABLE write_keys (
        scope TEXT NOT NULL,
        key TEXT NOT NULL,
        digest BLOB NOT NULL,
        kept INTEGER NOT NULL,
        status INTEGER NOT NULL,
        record_id TEXT NOT NULL,
        refusal TEXT NOT NULL,
        PRIMARY KEY (scope, key));
      CREATE INDEX write_keys_by_age ON write_keys (kept);
    )sql"},
};
static_assert(sizeof kMigrations / sizeof kMigrations[0] == SqliteRecordStore::kSchemaVersion,
              "one migration per schema version");

std::string DamagedText(std::string const& path, std::string const& report) {
  return "the data file " + path + " is damaged: " + report + "; restore it from a backup";
}

// What SQLite's own check (PRAGMA quick_check) finds wrong with the file, a few findings
// joined; empty when it finds nothing, and when the check cannot run for another reason than
// damage (a file that is no database at all, a lock: the error that led here says so).
std::string Damage(Sqlite::Database& db) {
  Sqlite::Statement check;
  std::string ignored;
  std::string report;
  Sqlite::Step step = Sqlite::Step::kFailed;
  if (check.Prepare(db, "PRAGMA quick_check(5)", ignored)) {
    while ((step = check.Next(ignored)) == Sqlite::Step::kRow) {
      std::string const finding = check.ColumnText(0);
      if (finding != "ok") report += (report.empty() ? "" : "; ") + finding;
    }
  }
  if (step == Sqlite::Step::kDone) return report;
  // The check itself stopped: at damage it says what SQLite met, else nothing.
  if ((sqlite3_errcode(db.handle()) & 0xff) != SQLITE_CORRUPT) return {};
  return sqlite3_errmsg(db.handle());
}



// Reads every row of `statement` into `out` with `read`.
template <class Record, class Read>
Status ReadRows(Sqlite::Statement& statement, std::vector<Record>& out, Read const& read,
                std::string& error) {
  Sqlite::ResetOnExit reset(statement);
  out.clear();
  for (;;) {
    switch (statement.Next(error)) {
      case Sqlite::Step::kRow:
        out.emplace_back();
        if (!read(statement, out.back(), error)) return Status::kFailed;
        continue;
      case Sqlite::Step::kDone:
        return Status::kOk;
      case Sqlite::Step::kFailed:
        return Status::kFailed;
    }
  }
}

// Reads the row `statement` finds into `out` with `read`; kNotFound when there is none.
template <class Record, class Read>
Status ReadRow(Sqlite::Statement& statement, Record& out, Read const& read, std::string& error) {
  Sqlite::ResetOnExit reset(statement);
  switch (statement.Next(error)) {
    case Sqlite::Step::kRow:
      return read(statement, out, error) ? Status::kOk : Status::kFailed;
    case Sqlite::Step::kDone:
      return Status::kNotFound;
    default:
      return Status::kFailed;
  }
}

}  // namespace

std::shared_ptr<SqliteRecordStore> SqliteRecordStore::Open(std::string const& path,
                                                           std::shared_ptr<SecretBox const> box,
                                                           std::string& error) {
  std::shared_ptr<SqliteRecordStore> store(new SqliteRecordStore());
  store->box_ = std::move(box);
  if (!store->db_.Open(path, error)) return nullptr;
  sqlite3_busy_timeout(store->db_.handle(), 5000);
  // A step below that fails may have met a damaged file: SQLite's check then says where.
  auto const failed = [&store, &path, &error]() -> std::shared_ptr<SqliteRecordStore> {
    if ((sqlite3_errcode(store->db_.handle()) & 0xff) == SQLITE_NOTADB) {
      error = "the data file " + path +
              " is not a database, or its header is damaged; check its name, or restore it "
              "from a backup";
      return nullptr;
    }
    std::string const report = Damage(store->db_);
    if (!report.empty()) error = DamagedText(path, report);
    return nullptr;
  };
  // WAL keeps readers off the writer's path; FULL makes each commit reach the disk before it
  // returns, so an acknowledged change survives a crash or a power cut.
  Sqlite::Statement journal;
  if (!journal.Prepare(store->db_, "PRAGMA journal_mode=WAL", error)) return failed();
  if (journal.Next(error) != Sqlite::Step::kRow) {
    error = path + ": " + error;
    return failed();
  }
  std::string const mode = journal.ColumnText(0);
  journal.Finalize();
  if (mode != "wal" && path != ":memory:") {
    error = path + ": cannot use a write-ahead log (journal mode " + mode + ")";
    return nullptr;
  }
  if (!store->db_.Execute("PRAGMA synchronous=FULL", error) || !store->Migrate(path, error) ||
      !store->Prepare(error)) {
    return failed();
  }
  switch (store->CheckKey(path, error)) {
    case KeyCheck::kMatches:
      if (path != ":memory:" && !store->OpenReads(path, error)) return nullptr;
      return store;
    case KeyCheck::kFailed:
      return failed();
    case KeyCheck::kRefused:
      return nullptr;
  }
  return nullptr;
}

bool SqliteRecordStore::Migrate(std::string const& path, std::string& error) {
  Sqlite::Statement read;
  if (!read.Prepare(db_, "PRAGMA user_version", error)) return false;
  if (read.Next(error) != Sqlite::Step::kRow) {
    error = path + ": " + error;
    return false;
  }
  auto const version = read.ColumnInt(0);
  read.Finalize();
  if (version > kSchemaVersion) {
    error = path + " has schema version " + std::to_string(version) +
            ", newer than this server's " + std::to_string(kSchemaVersion) +
            "; use the newer server that wrote it";
    return false;
  }
  for (auto const& migration : kMigrations) {
    if (migration.version <= version) continue;
    std::string const stamp =
        "INSERT INTO migrations (version, applied) VALUES (" + std::to_string(migration.version) +
        ", datetime('now')); PRAGMA user_version = " + std::to_string(migration.version) + ";";
    if (!db_.Execute("BEGIN IMMEDIATE", error)) return false;
    if (!db_.Execute(migration.sql, error) || !db_.Execute(stamp.c_str(), error) ||
        !db_.Execute("COMMIT", error)) {
      std::string ignored;
      (void)db_.Execute("ROLLBACK", ignored);
      error = path + ": cannot migrate to schema version " + std::to_string(migration.version) +
              ": " + error;
      return false;
    }
  }
  return true;
}

bool SqliteRecordStore::Reads::Prepare(Sqlite::Database& db, std::string& error) {
  return listProviders.Prepare(
             db, "SELECT id, type, key_id, sealed_key FROM providers ORDER BY id", error) &&
         getProvider.Prepare(
             db, "SELECT id, type, key_id, sealed_key FROM providers WHERE id = ?1", error) &&
         listServers.Prepare(db,
                             "SELECT id, address, trusted_ca, grp FROM servers "
                             "WHERE kind = ?1 ORDER BY id",
                             error) &&
         getServer.Prepare(db,
                           "SELECT id, address, trusted_ca, grp FROM servers "
                           "WHERE kind = ?1 AND id = ?2",
                           error);
}

bool SqliteRecordStore::OpenReads(std::string const& path, std::string& error) {
  std::string why;
  // query_only: the connection cannot write, whatever runs on it.
  bool const opened = readDb_.Open(path, why);
  if (opened) sqlite3_busy_timeout(readDb_.handle(), 5000);
  if (!opened || !readDb_.Execute("PRAGMA query_only=ON", why) || !reads_.Prepare(readDb_, why)) {
    error = path + ": cannot open a connection for reads: " + why;
    return false;
  }
  readsApart_ = true;
  return true;
}

SqliteRecordStore::LockedReads SqliteRecordStore::ReadsFor(Reference::Unseal unseal) {
  if (readsApart_ && unseal == Reference::Unseal::kNo) {
    return {std::unique_lock<std::mutex>(readMutex_), reads_};
  }
  return {std::unique_lock<std::mutex>(mutex_), writerReads_};
}

bool SqliteRecordStore::Prepare(std::string& error) {
  return writerReads_.Prepare(db_, error) && begin_.Prepare(db_, "BEGIN IMMEDIATE", error) &&
         commit_.Prepare(db_, "COMMIT", error) && rollback_.Prepare(db_, "ROLLBACK", error) &&
         savepoint_.Prepare(db_, "SAVEPOINT change", error) &&
         release_.Prepare(db_, "RELEASE change", error) &&
         rollbackToSavepoint_.Prepare(db_, "ROLLBACK TO change", error) &&
         insertProvider_.Prepare(db_,
                                 "INSERT INTO providers (id, type, key_id, sealed_key) "
                                 "VALUES (?1, ?2, ?3, ?4) ON CONFLICT (id) DO NOTHING",
                                 error) &&
         updateProvider_.Prepare(
             db_, "UPDATE providers SET type = ?2, key_id = ?3, sealed_key = ?4 WHERE id = ?1",
             error) &&
         deleteProvider_.Prepare(db_, "DELETE FROM providers WHERE id = ?1", error) &&
         findServer_.Prepare(
             db_, "SELECT 1 FROM servers WHERE kind = ?1 AND hostname = ?2 AND port IS ?3",
             error) &&
         nextNumber_.Prepare(db_, "SELECT next FROM counters WHERE kind = ?1", error) &&
         setNumber_.Prepare(db_, "INSERT OR REPLACE INTO counters (kind, next) VALUES (?1, ?2)",
                            error) &&
         insertServer_.Prepare(db_,
                               "INSERT INTO servers "
                               "(kind, id, hostname, port, address, trusted_ca, grp) "
                               "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)",
                               error) &&
         deleteServer_.Prepare(db_, "DELETE FROM servers WHERE kind = ?1 AND id = ?2", error) &&
         findKey_.Prepare(db_,
                          "SELECT digest, kept, status, record_id, refusal FROM write_keys "
                          "WHERE scope = ?1 AND key = ?2",
                          error) &&
         keepKey_.Prepare(db_,
                          "INSERT OR REPLACE INTO write_keys "
                          "(scope, key, digest, kept, status, record_id, refusal) "
                          "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)",
                          error) &&
         forgetKeys_.Prepare(db_, "DELETE FROM write_keys WHERE kept <= ?1", error);
}

bool SqliteRecordStore::ReadMeta(char const* key, std::string& value, bool& found,
                                 std::string& error) {
  Sqlite::Statement read;
  if (!read.Prepare(db_, "SELECT value FROM meta WHERE key = ?1", error)) return false;
  read.BindText(1, key);
  switch (read.Next(error)) {
    case Sqlite::Step::kRow:
      value = read.ColumnBlob(0);
      found = true;
      return true;
    case Sqlite::Step::kDone:
      found = false;
      return true;
    default:
      return false;
  }
}

bool SqliteRecordStore::WriteKeyCheck(std::string const& sealed, std::string const& fingerprint,
                                      std::string& error) {
  return WriteMeta(ServerApp::KeyCheck::kCheckName, sealed, error) &&
         WriteMeta(ServerApp::KeyCheck::kFingerprintName, fingerprint, error);
}

bool SqliteRecordStore::WriteMeta(char const* key, std::string const& value, std::string& error) {
  Sqlite::Statement write;
  if (!write.Prepare(db_, "INSERT OR REPLACE INTO meta (key, value) VALUES (?1, ?2)", error)) {
    return false;
  }
  write.BindText(1, key);
  write.BindBlob(2, value);
  return Run(write, error);
}

SqliteRecordStore::KeyCheck SqliteRecordStore::CheckKey(std::string const& path,
                                                        std::string& error) {
  std::string const fingerprint = box_->Fingerprint();
  if (fingerprint.empty()) {
    error = "cannot compute the key's fingerprint";
    return KeyCheck::kRefused;
  }
  ServerApp::KeyCheck::Stored stored;
  if (!ReadMeta(ServerApp::KeyCheck::kCheckName, stored.sealed, stored.haveCheck, error) ||
      !ReadMeta(ServerApp::KeyCheck::kFingerprintName, stored.fingerprint,
                stored.haveFingerprint, error)) {
    return KeyCheck::kFailed;
  }
  auto const verdict = ServerApp::KeyCheck::Judge(*box_, fingerprint, stored);
  switch (verdict) {
    case ServerApp::KeyCheck::Verdict::kSealNew: {
      // A new file: sealed with this key from now on.
      std::string sealed;
      if (!ServerApp::KeyCheck::Seal(*box_, sealed, error)) return KeyCheck::kRefused;
      return WriteKeyCheck(sealed, fingerprint, error) ? KeyCheck::kMatches : KeyCheck::kFailed;
    }
    case ServerApp::KeyCheck::Verdict::kMatches:
      return KeyCheck::kMatches;
    case ServerApp::KeyCheck::Verdict::kAddFingerprint:
      return WriteMeta(ServerApp::KeyCheck::kFingerprintName, fingerprint, error)
                 ? KeyCheck::kMatches
                 : KeyCheck::kFailed;
    default:
      break;
  }
  // Something does not match. Damage SQLite finds explains it first; then the two values
  // tell on each other.
  std::string report = Damage(db_);
  if (report.empty()) report = ServerApp::KeyCheck::DamageReport(verdict);
  error = !report.empty() ? DamagedText(path, report)
                          : ServerApp::KeyCheck::OtherKeyText(verdict, "the data file " + path,
                                                              "the file");
  return KeyCheck::kRefused;
}

bool SqliteRecordStore::Run(Sqlite::Statement& statement, std::string& error) {
  Sqlite::ResetOnExit reset(statement);
  return statement.Next(error) == Sqlite::Step::kDone;
}

Status SqliteRecordStore::InTransaction(std::function<Status()> const& body, std::string& error) {
  if (!Run(begin_, error)) return Status::kFailed;
  Status const status = body();
  if (status == Status::kFailed || !Run(commit_, error)) {
    std::string ignored;
    (void)Run(rollback_, ignored);
    return Status::kFailed;
  }
  return status;
}

Status SqliteRecordStore::Change(std::function<Status()> const& body, std::string& error) {
  PendingChange mine{&body, &error};
  std::unique_lock<std::mutex> queue(queueMutex_);
  waiting_.push_back(&mine);
  while (!mine.done) {
    if (committing_) {
      committed_.wait(queue);
      continue;
    }
    // No commit under way: this thread commits every change waiting, its own among them.
    committing_ = true;
    std::vector<PendingChange*> batch;
    batch.swap(waiting_);
    queue.unlock();
    bool committed = false;
    try {
      std::lock_guard<std::mutex> lock(mutex_);
      committed = CommitTogether(batch);
    } catch (...) {
      // Memory ran out on the way: nothing of the batch is kept, and the store goes on.
      std::lock_guard<std::mutex> lock(mutex_);
      Abandon(batch);
    }
    queue.lock();
    committing_ = false;
    changes_ += batch.size();
    if (committed) ++commits_;
    for (auto* change : batch) change->done = true;
    committed_.notify_all();
  }
  return mine.status;
}

namespace {

// Sets `error` to say what a change threw; left as it is when memory runs out.
void SayThrown(std::string& error, char const* what) noexcept {
  try {
    error = std::string("the change failed with ") + what;
  } catch (...) {
  }
}

// Runs one change. One that throws (its caller's code, or memory running out) fails alone,
// saying what it threw; nothing escapes to the thread committing it for everyone.
Status RunChange(std::function<Status()> const& body, std::string& error) noexcept {
  try {
    return body();
  } catch (std::exception const& thrown) {
    SayThrown(error, thrown.what());  // while the exception, and its text, still exist
  } catch (...) {
    SayThrown(error, "an exception");
  }
  return Status::kFailed;
}

}  // namespace

void SqliteRecordStore::Abandon(std::vector<PendingChange*> const& batch) noexcept {
  if (!sqlite3_get_autocommit(db_.handle())) {
    (void)sqlite3_exec(db_.handle(), "ROLLBACK", nullptr, nullptr, nullptr);
  }
  for (auto* change : batch) {
    change->status = Status::kFailed;
    try {
      *change->error = "the change was not kept: the server ran out of memory while committing it";
    } catch (...) {
    }
  }
}

bool SqliteRecordStore::CommitTogether(std::vector<PendingChange*> const& batch) {
  std::string error;
  bool whole = Run(begin_, error);
  std::size_t ran = 0;
  while (whole && ran < batch.size()) {
    PendingChange& change = *batch[ran];
    if (!Run(savepoint_, error)) {
      whole = false;
      break;
    }
    ++ran;
    change.status = RunChange(*change.body, *change.error);
    // SQLite ends the whole transaction on some failures (a full disk, an I/O error): the
    // changes made in it before are lost with it. A failed change whose writes cannot be
    // undone takes the others with it too.
    if (sqlite3_get_autocommit(db_.handle())) {
      error = "the transaction it shared ended when another change failed";
      whole = false;
    } else if (change.status == Status::kFailed && !Run(rollbackToSavepoint_, error)) {
      whole = false;
    } else if (!Run(release_, error)) {
      whole = false;
    }
  }
  if (whole && Run(commit_, error)) return true;
  std::string ignored;
  if (!sqlite3_get_autocommit(db_.handle())) (void)Run(rollback_, ignored);
  for (std::size_t i = 0; i < batch.size(); ++i) {
    PendingChange& change = *batch[i];
    // A change that failed by itself says why.
    if (i < ran && change.status == Status::kFailed) continue;
    change.status = Status::kFailed;
    *change.error = "the change was not kept: " + error;
  }
  return false;
}

SqliteRecordStore::WriteCounts SqliteRecordStore::Counts() const {
  std::lock_guard<std::mutex> queue(queueMutex_);
  return {changes_, commits_, waiting_.size()};
}

std::function<bool(Sqlite::Statement&, Reference::ProviderRecord&, std::string&)>
SqliteRecordStore::ProviderReader(Reference::Unseal unseal) {
  return [this, unseal](Sqlite::Statement& statement, ProviderRecord& out, std::string& error) {
    return ReadProvider(statement, out, unseal, error);
  };
}

bool SqliteRecordStore::ReadProvider(Sqlite::Statement& statement, ProviderRecord& out,
                                     Reference::Unseal unseal, std::string& error) {
  out.id = statement.ColumnText(0);
  out.type = Tirn::Data::EnumFromWire<ProviderType>(statement.ColumnText(1));
  out.keyId = statement.ColumnText(2);
  out.keyDerivationKey.clear();
  if (unseal == Reference::Unseal::kYes &&
      !box_->Open(statement.ColumnBlob(3), ProviderBinding(out.id), out.keyDerivationKey)) {
    error = "the stored key of provider " + out.id + " does not open with this server's key";
    return false;
  }
  return true;
}

bool SqliteRecordStore::WriteProvider(Sqlite::Statement& statement, ProviderRecord const& record,
                                      std::string& error) {
  std::string sealed;
  if (!box_->Seal(record.keyDerivationKey.value(), ProviderBinding(record.id), sealed, error)) {
    return false;
  }
  statement.BindText(1, record.id);
  statement.BindText(2, Tirn::Data::EnumToWire(record.type));
  statement.BindText(3, record.keyId);
  statement.BindBlob(4, sealed);
  return Run(statement, error);
}

Status SqliteRecordStore::ListProviders(std::vector<ProviderRecord>& out, std::string& error,
                                        Reference::Unseal unseal) {
  LockedReads read = ReadsFor(unseal);
  return ReadRows(read.reads.listProviders, out, ProviderReader(unseal), error);
}

Status SqliteRecordStore::GetProvider(std::string const& id, ProviderRecord& out,
                                      std::string& error, Reference::Unseal unseal) {
  LockedReads read = ReadsFor(unseal);
  read.reads.getProvider.BindText(1, id);
  return ReadRow(read.reads.getProvider, out, ProviderReader(unseal), error);
}

namespace {

std::int64_t UnixSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// Keys past their window are removed at most this often, by the write that finds it due.
constexpr std::chrono::minutes kForgetEvery{1};

}  // namespace

Status SqliteRecordStore::Keyed(Reference::KeyedWrite* keyed, std::function<Status()> const& write,
                                std::function<std::string()> const& id, std::string& error) {
  std::int64_t const now = UnixSeconds();
  // Made before the change waits for the store's lock, which the digest does not need.
  std::string digest;
  if (keyed) {
    digest = box_->Digest(keyed->input.value());
    if (digest.empty()) {
      error = "cannot digest the write's input";
      return Status::kFailed;
    }
  }
  auto const claim = [&] {
    std::int64_t const oldest = now - KeyWindow().count();
    auto const steady = std::chrono::steady_clock::now();
    if (steady - keysForgotten_ >= kForgetEvery) {
      forgetKeys_.BindInt(1, oldest);
      if (!Run(forgetKeys_, error)) return Status::kFailed;
      keysForgotten_ = steady;
    }
    Sqlite::ResetOnExit reset(findKey_);
    findKey_.BindText(1, keyed->scope);
    findKey_.BindText(2, keyed->key);
    switch (findKey_.Next(error)) {
      case Sqlite::Step::kRow:
        break;
      case Sqlite::Step::kDone:
        return Status::kOk;
      default:
        return Status::kFailed;
    }
    if (findKey_.ColumnInt(1) <= oldest) return Status::kOk;  // forgotten: kept anew below
    if (findKey_.ColumnBlob(0) != digest) return Status::kKeyReused;
    auto const status = static_cast<Status>(findKey_.ColumnInt(2));
    if (status != Status::kOk && status != Status::kNotFound && status != Status::kExists) {
      error = "the outcome kept for an idempotency key is damaged";
      return Status::kFailed;
    }
    keyed->outcome.status = status;
    keyed->outcome.id = findKey_.ColumnText(3);
    keyed->outcome.refusal = findKey_.ColumnText(4);
    keyed->replayed = true;
    return Status::kOk;
  };
  auto const keep = [&] {
    keepKey_.BindText(1, keyed->scope);
    keepKey_.BindText(2, keyed->key);
    keepKey_.BindBlob(3, digest);
    keepKey_.BindInt(4, now);
    keepKey_.BindInt(5, static_cast<std::int64_t>(keyed->outcome.status));
    keepKey_.BindText(6, keyed->outcome.id);
    keepKey_.BindText(7, keyed->outcome.refusal);
    return Run(keepKey_, error) ? Status::kOk : Status::kFailed;
  };
  return Change([&] { return Reference::RunKeyed(keyed, claim, write, id, keep); }, error);
}

Status SqliteRecordStore::CreateProvider(ProviderRecord const& record, std::string& error,
                                         Reference::KeyedWrite* keyed) {
  return Keyed(
      keyed,
      [&] {
        if (!WriteProvider(insertProvider_, record, error)) return Status::kFailed;
        return db_.Changes() == 0 ? Status::kExists : Status::kOk;
      },
      [&] { return record.id; }, error);
}

Status SqliteRecordStore::UpdateProvider(std::string const& id,
                                         std::function<bool(ProviderRecord&)> const& change,
                                         std::string& error, Reference::KeyedWrite* keyed) {
  return Keyed(
      keyed,
      [&] {
        ProviderRecord record;
        Sqlite::Statement& get = writerReads_.getProvider;
        get.BindText(1, id);
        Status const read = ReadRow(get, record, ProviderReader(Reference::Unseal::kYes), error);
        if (read != Status::kOk || !change(record)) return read;
        record.id = id;
        return WriteProvider(updateProvider_, record, error) ? Status::kOk : Status::kFailed;
      },
      [&] { return id; }, error);
}

Status SqliteRecordStore::DeleteProvider(std::string const& id, std::string& error,
                                         Reference::KeyedWrite* keyed) {
  return Keyed(
      keyed,
      [&] {
        deleteProvider_.BindText(1, id);
        if (!Run(deleteProvider_, error)) return Status::kFailed;
        return db_.Changes() == 0 ? Status::kNotFound : Status::kOk;
      },
      [&] { return id; }, error);
}

namespace {

bool ReadServer(Sqlite::Statement& statement, Reference::ServerRecord& out, std::string& error) {
  out.id = statement.ColumnText(0);
  out.group = statement.ColumnText(3);
  return LoadJson(statement.ColumnText(1), out.address, error, out.id) &&
         LoadJson(statement.ColumnText(2), out.trustedCa, error, out.id);
}

}  // namespace

Status SqliteRecordStore::ListServers(ServerKind kind, std::vector<ServerRecord>& out,
                                      std::string& error) {
  LockedReads read = ReadsFor(Reference::Unseal::kNo);
  read.reads.listServers.BindInt(1, static_cast<int>(kind));
  return ReadRows(read.reads.listServers, out, ReadServer, error);
}

Status SqliteRecordStore::GetServer(ServerKind kind, std::string const& id, ServerRecord& out,
                                    std::string& error) {
  LockedReads read = ReadsFor(Reference::Unseal::kNo);
  Sqlite::Statement& get = read.reads.getServer;
  get.BindInt(1, static_cast<int>(kind));
  get.BindText(2, id);
  return ReadRow(get, out, ReadServer, error);
}

Status SqliteRecordStore::CreateServer(ServerKind kind, std::string const& idPrefix,
                                       ServerRecord& record, std::string& error,
                                       Reference::KeyedWrite* keyed) {
  int const kindNumber = static_cast<int>(kind);
  std::string address;
  std::string trustedCa;
  if (!StoreJson(record.address, address, error) || !StoreJson(record.trustedCa, trustedCa, error)) {
    return Status::kFailed;
  }
  auto const write = [&] {
    {
      Sqlite::ResetOnExit reset(findServer_);
      findServer_.BindInt(1, kindNumber);
      findServer_.BindText(2, record.address->hostname);
      if (record.address->port) {
        findServer_.BindInt(3, *record.address->port);
      } else {
        findServer_.BindNull(3);
      }
      switch (findServer_.Next(error)) {
        case Sqlite::Step::kRow:
          return Status::kExists;
        case Sqlite::Step::kDone:
          break;
        default:
          return Status::kFailed;
      }
    }
    std::int64_t number = 1;
    {
      Sqlite::ResetOnExit reset(nextNumber_);
      nextNumber_.BindInt(1, kindNumber);
      switch (nextNumber_.Next(error)) {
        case Sqlite::Step::kRow:
          number = nextNumber_.ColumnInt(0);
          break;
        case Sqlite::Step::kDone:
          break;
        default:
          return Status::kFailed;
      }
    }
    setNumber_.BindInt(1, kindNumber);
    setNumber_.BindInt(2, number + 1);
    if (!Run(setNumber_, error)) return Status::kFailed;
    record.id = idPrefix + std::to_string(number);
    insertServer_.BindInt(1, kindNumber);
    insertServer_.BindText(2, record.id);
    insertServer_.BindText(3, record.address->hostname);
    if (record.address->port) {
      insertServer_.BindInt(4, *record.address->port);
    } else {
      insertServer_.BindNull(4);
    }
    insertServer_.BindText(5, address);
    insertServer_.BindText(6, trustedCa);
    insertServer_.BindText(7, record.group);
    return Run(insertServer_, error) ? Status::kOk : Status::kFailed;
  };
  return Keyed(keyed, write, [&] { return record.id; }, error);
}

Status SqliteRecordStore::DeleteServer(ServerKind kind, std::string const& id, std::string& error,
                                       Reference::KeyedWrite* keyed) {
  return Keyed(
      keyed,
      [&] {
        deleteServer_.BindInt(1, static_cast<int>(kind));
        deleteServer_.BindText(2, id);
        if (!Run(deleteServer_, error)) return Status::kFailed;
        return db_.Changes() == 0 ? Status::kNotFound : Status::kOk;
      },
      [&] { return id; }, error);
}

bool SqliteRecordStore::Rekey(std::shared_ptr<SecretBox const> newBox, std::size_t& resealed,
                              std::vector<std::string>& notices, std::string& error) {
  std::lock_guard<std::mutex> lock(mutex_);
  resealed = 0;
  std::string const fingerprint = newBox ? newBox->Fingerprint() : std::string();
  if (fingerprint.empty()) {
    error = "cannot compute the new key's fingerprint";
    return false;
  }
  if (fingerprint == box_->Fingerprint()) {
    error = "the new key is the one the data file is sealed with already";
    return false;
  }
  std::size_t count = 0;
  Status const status = InTransaction(
      [&] {
        // The sealed values are read first and written after, so that no row changes under
        // an open scan. They are ciphertext; only the opened values are secret.
        std::vector<std::pair<std::string, std::string>> rows;
        {
          Sqlite::Statement list;
          if (!list.Prepare(db_, "SELECT id, sealed_key FROM providers ORDER BY id", error)) {
            return Status::kFailed;
          }
          Sqlite::Step step;
          while ((step = list.Next(error)) == Sqlite::Step::kRow) {
            rows.emplace_back(list.ColumnText(0), list.ColumnBlob(1));
          }
          if (step != Sqlite::Step::kDone) return Status::kFailed;
        }
        Sqlite::Statement update;
        if (!update.Prepare(db_, "UPDATE providers SET sealed_key = ?2 WHERE id = ?1", error)) {
          return Status::kFailed;
        }
        for (auto const& [id, sealed] : rows) {
          std::string const binding = ProviderBinding(id);
          std::string again;
          {
            Tirn::SecretString opened;  // wiped when it leaves this scope, on every path
            if (!box_->Open(sealed, binding, opened)) {
              error = "the stored key of provider " + id + " does not open with the current key";
              return Status::kFailed;
            }
            if (!newBox->Seal(opened.value(), binding, again, error)) return Status::kFailed;
          }
          update.BindText(1, id);
          update.BindBlob(2, again);
          if (!Run(update, error)) return Status::kFailed;
          ++count;
        }
        // The kept keys' digests were made with the old key and would not match again.
        if (!db_.Execute("DELETE FROM write_keys", error)) return Status::kFailed;
        std::string check;
        bool const written = ServerApp::KeyCheck::Seal(*newBox, check, error) &&
                             WriteKeyCheck(check, fingerprint, error);
        return written ? Status::kOk : Status::kFailed;
      },
      error);
  if (status != Status::kOk) return false;
  box_ = std::move(newBox);
  resealed = count;
  // The replaced values are still in the pages the transaction superseded: in the log, in
  // the file's pages until a checkpoint overwrites them, and in free space. VACUUM rebuilds
  // every page, and a truncating checkpoint copies them over the file and empties the log.
  // The rekey stands either way; what could not be erased is said.
  std::string why;
  Sqlite::Statement checkpoint;
  bool const erased = db_.Execute("VACUUM", why) &&
                      checkpoint.Prepare(db_, "PRAGMA wal_checkpoint(TRUNCATE)", why) &&
                      checkpoint.Next(why) == Sqlite::Step::kRow;
  if (!erased || checkpoint.ColumnInt(0) != 0) {
    notices.push_back(
        "values sealed with the old key may remain in unused space of the data file or in its "
        "log until they are overwritten (" +
        (erased ? std::string("the log is in use by another connection") : why) + ")");
  }
  return true;
}

bool SqliteRecordStore::ReadSealed(SealedRecords& out, std::string& error) {
  std::lock_guard<std::mutex> lock(mutex_);
  out = SealedRecords();
  Status const status = InTransaction(
      [&] {
        Sqlite::Statement providers;
        Sqlite::Step step;
        if (!providers.Prepare(db_,
                               "SELECT id, type, key_id, sealed_key FROM providers ORDER BY id",
                               error)) {
          return Status::kFailed;
        }
        while ((step = providers.Next(error)) == Sqlite::Step::kRow) {
          out.providers.push_back({providers.ColumnText(0), providers.ColumnText(1),
                                   providers.ColumnText(2), providers.ColumnBlob(3)});
        }
        if (step != Sqlite::Step::kDone) return Status::kFailed;

        Sqlite::Statement servers;
        if (!servers.Prepare(db_,
                             "SELECT kind, id, hostname, port, address, trusted_ca, grp "
                             "FROM servers ORDER BY kind, id",
                             error)) {
          return Status::kFailed;
        }
        while ((step = servers.Next(error)) == Sqlite::Step::kRow) {
          SealedRecords::Server server;
          std::int64_t const kind = servers.ColumnInt(0);
          server.id = servers.ColumnText(1);
          if (kind != static_cast<int>(ServerKind::kKeyServer) &&
              kind != static_cast<int>(ServerKind::kAttestationService)) {
            error = "the stored server " + server.id + " is of a kind (" + std::to_string(kind) +
                    ") this server does not know";
            return Status::kFailed;
          }
          server.kind = static_cast<ServerKind>(kind);
          server.hostname = servers.ColumnText(2);
          if (!servers.ColumnIsNull(3)) server.port = servers.ColumnInt(3);
          server.address = servers.ColumnText(4);
          server.trustedCa = servers.ColumnText(5);
          server.group = servers.ColumnText(6);
          out.servers.push_back(std::move(server));
        }
        if (step != Sqlite::Step::kDone) return Status::kFailed;

        Sqlite::Statement counters;
        if (!counters.Prepare(db_, "SELECT kind, next FROM counters", error)) {
          return Status::kFailed;
        }
        while ((step = counters.Next(error)) == Sqlite::Step::kRow) {
          std::int64_t const kind = counters.ColumnInt(0);
          if (kind == static_cast<int>(ServerKind::kKeyServer)) {
            out.nextKeyServer = counters.ColumnInt(1);
          } else if (kind == static_cast<int>(ServerKind::kAttestationService)) {
            out.nextAttestationService = counters.ColumnInt(1);
          }
        }
        if (step != Sqlite::Step::kDone) return Status::kFailed;

        bool haveCheck = false;
        bool haveFingerprint = false;
        if (!ReadMeta(ServerApp::KeyCheck::kCheckName, out.keyCheck, haveCheck, error) ||
            !ReadMeta(ServerApp::KeyCheck::kFingerprintName, out.keyFingerprint,
                      haveFingerprint, error)) {
          return Status::kFailed;
        }
        // Open wrote both, or refused the file.
        if (!haveCheck || !haveFingerprint) {
          error = "the data file holds no key check";
          return Status::kFailed;
        }
        return Status::kOk;
      },
      error);
  return status == Status::kOk;
}

}  // namespace ServerApp
