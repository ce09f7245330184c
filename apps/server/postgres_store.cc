#include "apps/server/postgres_store.h"

#include <libpq-fe.h>
#include <poll.h>

#include <algorithm>
#include <limits>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <list>
#include <thread>
#include <utility>

#include "apps/server/key_check.h"
#include "apps/server/record_form.h"
#include "tirn/data/enumeration.h"
#include "tirn/json/json.h"
#include "tirn/runtime/value/secret_string.h"

namespace ServerApp {

namespace {

using detail::LoadJson;
using detail::ProviderBinding;
using detail::StoreJson;

using Status = Reference::StoreStatus;
using Clock = std::chrono::steady_clock;
using ProviderType = Reference::Ti::Kms::ProvidersSvc::ProviderType;
using std::chrono::milliseconds;

// The schema, one step per version. A later version appends a step that takes a database of the
// previous version to it; a step never changes once released.
struct Migration {
  int version;
  char const* sql;
};

constexpr Migration kMigrations[] = {
    {1, R"sql(
      CREATE TABLE meta (key text PRIMARY KEY, value bytea NOT NULL);
      CREATE TABLE providers (
        id text PRIMARY KEY,
        type text NOT NULL,
        key_id text NOT NULL,
        sealed_key bytea NOT NULL);
      CREATE TABLE servers (
        kind integer NOT NULL,
        id text NOT NULL,
        hostname text NOT NULL,
        port integer,
        address text NOT NULL,
        trusted_ca text NOT NULL,
        grp text NOT NULL,
        PRIMARY KEY (kind, id));
      -- One server of a kind per host name and port; a server without a port counts as one.
      CREATE UNIQUE INDEX servers_by_address ON servers (kind, hostname, (coalesce(port, -1)));
      CREATE SEQUENCE key_server_numbers AS bigint MINVALUE 1;
      CREATE SEQUENCE attestation_service_numbers AS bigint MINVALUE 1;
    )sql"},
    {2, R"sql(
      -- The outcome of each write that carried an idempotency key, by the caller's scope; the
      -- outcome is null only inside the transaction that claims the key.
      CREATE TABLE write_keys (
        scope text NOT NULL,
        key text NOT NULL,
        digest bytea NOT NULL,
        kept timestamptz NOT NULL,
        status integer,
        record_id text,
        refusal text,
        PRIMARY KEY (scope, key));
      CREATE INDEX write_keys_by_age ON write_keys (kept);
    )sql"},
};
static_assert(sizeof kMigrations / sizeof kMigrations[0] == PostgresRecordStore::kSchemaVersion,
              "one migration per schema version");

// Opening may wait for another instance's migration, so its transaction has longer.
constexpr milliseconds kMigrationTimeout{30000};
// A statement the server has not answered this long after its statement_timeout is taken for
// lost: the server cancels its own statements first, this catches a server that is gone.
constexpr milliseconds kAnswerMargin{250};
// Ready() answers within this, whatever it has to do.
constexpr milliseconds kReadyTimeout{1000};
// A session that stays idle in a transaction this long (this process stalled, holding locks)
// is ended by the server.
constexpr milliseconds kIdleInTransactionTimeout{10000};

// What PostgreSQL cannot prepare, run as text: transaction control, session settings, a table
// lock and the DDL that keeps the schema's versions. The migration steps above are DDL too, and
// stay a table of their own.
constexpr char kBegin[] = "BEGIN";
constexpr char kCommit[] = "COMMIT";
constexpr char kRollback[] = "ROLLBACK";
constexpr char kMigrationsTable[] =
    "CREATE TABLE IF NOT EXISTS migrations ("
    "version integer PRIMARY KEY, applied timestamptz NOT NULL DEFAULT now())";
// Instances serving the database wait on this for their writes while the records are copied.
constexpr char kLockRecords[] = "LOCK TABLE providers, servers IN SHARE ROW EXCLUSIVE MODE";

// The limits of every session the store lends out.
std::string SessionLimits() {
  return "SET statement_timeout = " +
         std::to_string(PostgresRecordStore::kStatementTimeout.count()) +
         "; SET idle_in_transaction_session_timeout = " +
         std::to_string(kIdleInTransactionTimeout.count()) + ";";
}

// Inside a transaction: the advisory lock every instance takes before it looks at the schema,
// so that instances starting together migrate one after the other (a key of this server's own,
// "tirnsrv"), with the time a migration may take. Run as text too, since it comes before
// anything is prepared on a connection that migrates.
std::string SchemaLock() {
  return "SET LOCAL statement_timeout = " + std::to_string(kMigrationTimeout.count()) +
         "; SELECT pg_advisory_xact_lock(32762843290087030)";
}

// The key check (key_check.h) is in the meta table; its fingerprint is what each transaction
// that seals or opens a secret compares (cheaply) with this instance's key.
using KeyCheck::kCheckName;
using KeyCheck::kFingerprintName;
// What a store whose key no longer matches the database's says.
constexpr char kResealedElsewhere[] =
    "the records in the database are no longer sealed with this server's key (another process "
    "may have changed the key); restart the server with the current key file";

// A statement the store runs, prepared under `name` with parameters of `types` ("" when it
// takes none). Every one is run by this entry, never by its name or text written again.
struct Statement {
  char const* name;
  char const* types;
  char const* sql;
};

// The schema's version and its steps taken. Only the migrations table need exist for these,
// and so they are prepared in the transaction that looks at the schema, once it has made that
// table.
constexpr Statement kSchemaVersion{"schema_version", "",
                                   "SELECT coalesce(max(version), 0)::integer FROM migrations"};
constexpr Statement kRecordMigration{"record_migration", "(integer)",
                                     "INSERT INTO migrations (version) VALUES ($1)"};

// Everything else refers to the tables the migrations make, so it is prepared once the schema
// is at this server's version: on the connection that migrated it, inside that transaction, and
// on every connection made after (Setup).
constexpr Statement kMetaValue{"meta_value", "(text)", "SELECT value FROM meta WHERE key = $1"};
// Held until the transaction ends: a rotation of the key waits for the transactions that hold
// the fingerprint shared, and those that come later wait for it.
constexpr Statement kSharedMetaValue{"shared_meta_value", "(text)",
                                     "SELECT value FROM meta WHERE key = $1 FOR SHARE"};
constexpr Statement kLockedMetaValue{"locked_meta_value", "(text)",
                                     "SELECT value FROM meta WHERE key = $1 FOR UPDATE"};
constexpr Statement kLockKeyCheck{"lock_key_check", "(text, text)",
                                  "SELECT key, value FROM meta WHERE key IN ($1, $2) FOR UPDATE"};
constexpr Statement kSetMeta{"set_meta", "(text, bytea)",
                             "INSERT INTO meta (key, value) VALUES ($1, $2) "
                             "ON CONFLICT (key) DO UPDATE SET value = EXCLUDED.value"};
constexpr Statement kListProviders{
    "list_providers", "",
    R"sql(SELECT id, type, key_id, sealed_key FROM providers ORDER BY id COLLATE "C")sql"};
constexpr Statement kGetProvider{
    "get_provider", "(text)", "SELECT id, type, key_id, sealed_key FROM providers WHERE id = $1"};
constexpr Statement kLockProvider{
    "lock_provider", "(text)",
    "SELECT id, type, key_id, sealed_key FROM providers WHERE id = $1 FOR UPDATE"};
constexpr Statement kInsertProvider{
    "insert_provider", "(text, text, text, bytea)",
    "INSERT INTO providers (id, type, key_id, sealed_key) VALUES ($1, $2, $3, $4) "
    "ON CONFLICT (id) DO NOTHING"};
constexpr Statement kUpdateProvider{
    "update_provider", "(text, text, text, bytea)",
    "UPDATE providers SET type = $2, key_id = $3, sealed_key = $4 WHERE id = $1"};
constexpr Statement kDeleteProvider{"delete_provider", "(text)",
                                    "DELETE FROM providers WHERE id = $1"};
constexpr Statement kListServers{
    "list_servers", "(integer)",
    R"sql(SELECT id, address, trusted_ca, grp FROM servers WHERE kind = $1
          ORDER BY id COLLATE "C")sql"};
constexpr Statement kGetServer{
    "get_server", "(integer, text)",
    "SELECT id, address, trusted_ca, grp FROM servers WHERE kind = $1 AND id = $2"};
constexpr Statement kFindServer{
    "find_server", "(integer, text, integer)",
    "SELECT 1 FROM servers "
    "WHERE kind = $1 AND hostname = $2 AND coalesce(port, -1) = coalesce($3, -1)"};
constexpr Statement kInsertServer{"insert_server",
                                  "(integer, text, text, integer, text, text, text)", R"sql(
    INSERT INTO servers (kind, id, hostname, port, address, trusted_ca, grp)
    VALUES ($1,
            $2 || nextval(CASE $1 WHEN 0 THEN 'key_server_numbers'::regclass
                                  WHEN 1 THEN 'attestation_service_numbers'::regclass END),
            $3, $4, $5, $6, $7)
    ON CONFLICT (kind, hostname, (coalesce(port, -1))) DO NOTHING
    RETURNING id)sql"};
constexpr Statement kDeleteServer{"delete_server", "(integer, text)",
                                  "DELETE FROM servers WHERE kind = $1 AND id = $2"};
// A row when the key is this write's now: new, or kept past its window ($4 seconds). A key
// another transaction is claiming makes this wait for its end.
constexpr Statement kClaimKey{"claim_key", "(text, text, bytea, integer)", R"sql(
    INSERT INTO write_keys AS held (scope, key, digest, kept) VALUES ($1, $2, $3, now())
    ON CONFLICT (scope, key) DO UPDATE
      SET digest = excluded.digest, kept = excluded.kept, status = NULL, record_id = NULL,
          refusal = NULL
      WHERE held.kept <= now() - $4 * interval '1 second'
    RETURNING 1)sql"};
constexpr Statement kKeptKey{
    "kept_key", "(text, text)",
    "SELECT digest, status, record_id, refusal FROM write_keys WHERE scope = $1 AND key = $2"};
constexpr Statement kKeepOutcome{
    "keep_outcome", "(text, text, integer, text, text)",
    "UPDATE write_keys SET status = $3, record_id = $4, refusal = $5 "
    "WHERE scope = $1 AND key = $2"};
constexpr Statement kForgetKeys{
    "forget_keys", "(integer)",
    "DELETE FROM write_keys WHERE kept <= now() - $1 * interval '1 second'"};
// The rotation of the key: every provider's sealed key, read and written back resealed, and
// every kept key forgotten.
constexpr Statement kSealedKeys{
    "sealed_keys", "", R"sql(SELECT id, sealed_key FROM providers ORDER BY id COLLATE "C")sql"};
constexpr Statement kResealProvider{"reseal_provider", "(text, bytea)",
                                    "UPDATE providers SET sealed_key = $2 WHERE id = $1"};
constexpr Statement kForgetEveryKey{"forget_every_key", "", "DELETE FROM write_keys"};
// The copy into an empty database: the records counted, written as they come (a repeated
// identifier is refused, not skipped), and the numbers servers were given carried over.
constexpr Statement kCountRecords{
    "count_records", "",
    "SELECT (SELECT count(*) FROM providers)::text, (SELECT count(*) FROM servers)::text"};
constexpr Statement kCopyProvider{
    "copy_provider", "(text, text, text, bytea)",
    "INSERT INTO providers (id, type, key_id, sealed_key) VALUES ($1, $2, $3, $4)"};
constexpr Statement kCopyServer{
    "copy_server", "(integer, text, text, integer, text, text, text)",
    "INSERT INTO servers (kind, id, hostname, port, address, trusted_ca, grp) "
    "VALUES ($1, $2, $3, $4, $5, $6, $7)"};
// Never set back: numbers a server on this database drew before (for a server not kept) stay
// given out.
constexpr Statement kAdvanceKeyServerNumbers{
    "advance_key_server_numbers", "(bigint)",
    "SELECT setval('key_server_numbers', greatest($1, last_value)) FROM key_server_numbers"};
constexpr Statement kAdvanceAttestationServiceNumbers{
    "advance_attestation_service_numbers", "(bigint)",
    "SELECT setval('attestation_service_numbers', greatest($1, last_value)) "
    "FROM attestation_service_numbers"};

constexpr Statement const* kSchemaStatements[] = {&kSchemaVersion, &kRecordMigration};
constexpr Statement const* kRecordStatements[] = {
    &kMetaValue,       &kSharedMetaValue,  &kLockedMetaValue,
    &kLockKeyCheck,    &kSetMeta,          &kListProviders,
    &kGetProvider,     &kLockProvider,     &kInsertProvider,
    &kUpdateProvider,  &kDeleteProvider,   &kListServers,
    &kGetServer,       &kFindServer,       &kInsertServer,
    &kDeleteServer,    &kClaimKey,         &kKeptKey,
    &kKeepOutcome,     &kForgetKeys,       &kSealedKeys,
    &kResealProvider,  &kForgetEveryKey,   &kCountRecords,
    &kCopyProvider,    &kCopyServer,       &kAdvanceKeyServerNumbers,
    &kAdvanceAttestationServiceNumbers};

// The text that prepares `group` on a connection, in one round trip.
template <std::size_t N>
std::string Prepare(Statement const* const (&group)[N]) {
  std::string sql;
  for (Statement const* statement : group) {
    sql += std::string("PREPARE ") + statement->name + " " + statement->types + " AS " +
           statement->sql + ";\n";
  }
  return sql;
}

std::int32_t KindNumber(Reference::ServerKind kind) {
  return kind == Reference::ServerKind::kKeyServer ? 0 : 1;
}


std::string Millis(milliseconds duration) { return std::to_string(duration.count()) + " ms"; }

// The first line of one of libpq's messages, without its line end.
std::string FirstLine(char const* message) {
  std::string line = message ? message : "";
  line = line.substr(0, line.find('\n'));
  while (!line.empty() && (line.back() == ' ' || line.back() == '\r')) line.pop_back();
  return line.empty() ? "no reason given" : line;
}

void IgnoreNotice(void*, char const*) {}

struct ResultDeleter {
  void operator()(PGresult* result) const { PQclear(result); }
};
using Result = std::unique_ptr<PGresult, ResultDeleter>;

// A statement's parameters, all sent in binary: text and bytea as their bytes, an integer as
// four big-endian bytes (a bigint as eight), a null as none.
class Params {
 public:
  Params& Text(std::string value) {
    values_.push_back(std::move(value));
    nulls_.push_back(false);
    return *this;
  }
  Params& Int(std::int32_t value) { return BigEndian(static_cast<std::uint32_t>(value), 4); }
  Params& BigInt(std::int64_t value) {
    return BigEndian(static_cast<std::uint64_t>(value), 8);
  }
  Params& Null() {
    values_.emplace_back();
    nulls_.push_back(true);
    return *this;
  }

  int size() const { return static_cast<int>(values_.size()); }
  // The arrays libpq takes, valid while this object is unchanged.
  std::vector<char const*> Values() const {
    std::vector<char const*> out;
    for (std::size_t i = 0; i < values_.size(); ++i) {
      out.push_back(nulls_[i] ? nullptr : values_[i].data());
    }
    return out;
  }
  std::vector<int> Lengths() const {
    std::vector<int> out;
    for (auto const& value : values_) out.push_back(static_cast<int>(value.size()));
    return out;
  }
  std::vector<int> Formats() const { return std::vector<int>(values_.size(), 1); }

 private:
  Params& BigEndian(std::uint64_t bits, int count) {
    std::string bytes;
    for (int shift = 8 * (count - 1); shift >= 0; shift -= 8) {
      bytes.push_back(static_cast<char>(bits >> shift));
    }
    return Text(std::move(bytes));
  }

  std::vector<std::string> values_;
  std::vector<bool> nulls_;
};

// A column of a binary result that holds a 32-bit integer; false when it holds none.
bool IntColumn(PGresult const* result, int row, int column, std::int32_t& out) {
  if (PQgetisnull(result, row, column) || PQgetlength(result, row, column) != 4) return false;
  auto const* bytes = reinterpret_cast<unsigned char const*>(PQgetvalue(result, row, column));
  out = static_cast<std::int32_t>(std::uint32_t{bytes[0]} << 24 | std::uint32_t{bytes[1]} << 16 |
                                  std::uint32_t{bytes[2]} << 8 | bytes[3]);
  return true;
}

// A column of a binary result, as bytes.
std::string Column(PGresult const* result, int row, int column) {
  return std::string(PQgetvalue(result, row, column),
                     static_cast<std::size_t>(PQgetlength(result, row, column)));
}

// Whether `result` has the columns a statement of this store selects; a result of another
// shape (a schema changed under the store) is refused rather than misread.
bool Shaped(PGresult const* result, int columns, std::string& error) {
  if (PQnfields(result) == columns) return true;
  error = "the database answered with " + std::to_string(PQnfields(result)) +
          " columns where " + std::to_string(columns) + " were expected";
  return false;
}

// Rows an INSERT, UPDATE or DELETE changed.
bool Changed(PGresult const* result) {
  char const* count = PQcmdTuples(const_cast<PGresult*>(result));
  return count && count[0] != '\0' && std::strcmp(count, "0") != 0;
}


// The first line of libpq's complaint about a connection string, up to its first quote: its
// parse errors quote the text they stumbled on, which may be a password, and so that text is
// never copied.
std::string Unquoted(char const* message) {
  std::string text(message, std::strcspn(message, "\"\n"));
  while (!text.empty() && (text.back() == ' ' || text.back() == ':')) text.pop_back();
  return text;
}

// Refuses a connection string that libpq cannot read or that names a password (in a URI's
// user information or as a parameter). Neither the string nor the password is repeated, and
// libpq's copy of the password is wiped.
bool CheckUri(std::string const& uri, std::string& error) {
  char* message = nullptr;
  PQconninfoOption* options = PQconninfoParse(uri.c_str(), &message);
  if (!options) {
    error = "the database URI is not valid";
    if (message) {
      error += ": " + Unquoted(message);
      Tirn::Detail::SecureZero(message, std::strlen(message));
      PQfreemem(message);
    }
    return false;
  }
  bool password = false;
  for (PQconninfoOption* option = options; option->keyword; ++option) {
    if (option->val && std::strcmp(option->keyword, "password") == 0) {
      password = option->val[0] != '\0';
      Tirn::Detail::SecureZero(option->val, std::strlen(option->val));
    }
  }
  PQconninfoFree(options);
  if (password) {
    error =
        "the database URI holds a password; remove it and give it through PGPASSWORD or a "
        "password file (~/.pgpass, or the file PGPASSFILE names) instead";
    return false;
  }
  return true;
}

// Waits until the connection's socket is ready for `events`; false when `deadline` passes.
bool WaitFor(PGconn* pg, short events, Clock::time_point deadline) {
  int const socket = PQsocket(pg);
  if (socket < 0) return false;
  for (;;) {
    auto const left = std::chrono::ceil<milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd ready{socket, events, 0};
    int const count =
        poll(&ready, 1, static_cast<int>(std::min<long long>(left, 60 * 60 * 1000)));
    if (count > 0) return true;
    if (count == 0 || errno != EINTR) return false;
  }
}

// Connects to `uri`, polling libpq's non-blocking connect so that `deadline` holds whatever
// the network does (libpq's own connect_timeout is kept only by its blocking connect, and in
// whole seconds). Null, with libpq's reason, when it fails or takes too long.
PGconn* Connect(std::string const& uri, Clock::time_point deadline, std::string& error) {
  // Before the URI, so that the URI may name another application.
  char const* const keywords[] = {"fallback_application_name", "dbname", nullptr};
  char const* const values[] = {"tirn-server", uri.c_str(), nullptr};
  PGconn* pg = PQconnectStartParams(keywords, values, 1);
  if (!pg) {
    error = "cannot connect to the database: out of memory";
    return nullptr;
  }
  PQsetNoticeProcessor(pg, IgnoreNotice, nullptr);
  // Before the first poll, libpq waits to write.
  PostgresPollingStatusType step = PGRES_POLLING_WRITING;
  while (PQstatus(pg) != CONNECTION_BAD && step != PGRES_POLLING_FAILED) {
    if (step == PGRES_POLLING_OK) {
      if (PQsetnonblocking(pg, 1) == 0) return pg;
      break;
    }
    if (!WaitFor(pg, step == PGRES_POLLING_READING ? POLLIN : POLLOUT, deadline)) {
      PQfinish(pg);
      error = "cannot connect to the database: no answer within " +
              Millis(PostgresRecordStore::kConnectTimeout);
      return nullptr;
    }
    step = PQconnectPoll(pg);
  }
  error = "cannot connect to the database: " + FirstLine(PQerrorMessage(pg));
  PQfinish(pg);
  return nullptr;
}

Clock::time_point StatementDeadline() {
  return Clock::now() + PostgresRecordStore::kStatementTimeout + kAnswerMargin;
}

}  // namespace

bool IsPostgresUri(std::string const& text) {
  return text.rfind("postgresql://", 0) == 0 || text.rfind("postgres://", 0) == 0;
}

bool CheckPostgresUri(std::string const& uri, std::string& error) {
  if (!IsPostgresUri(uri)) {
    error = "the database URI must begin with postgresql:// or postgres://";
    return false;
  }
  return CheckUri(uri, error);
}

// One connection of the pool; `prepared` once the session is set up and the statements are
// prepared on it.
struct PostgresConnection {
  PGconn* pg = nullptr;
  bool prepared = false;

  PostgresConnection() = default;
  PostgresConnection(PostgresConnection const&) = delete;
  PostgresConnection& operator=(PostgresConnection const&) = delete;
  ~PostgresConnection() { Drop(); }

  bool Up() const { return pg && PQstatus(pg) == CONNECTION_OK; }
  // Closes the connection; the server rolls back what it had open. Made again at next use.
  void Drop() {
    if (pg) PQfinish(pg);
    pg = nullptr;
    prepared = false;
  }
};

namespace {

using Connection = PostgresConnection;

// What a failed statement means for the caller. kUnavailable, with the connection dropped,
// when it is lost (the database went away, shut down or is starting); kUnavailable, with the
// connection kept, when the database could not do it now (a timeout, a lock it could not get,
// a conflict with another transaction, too few resources); kFailed when it refused the
// statement. Only the primary message is kept: the detail may quote stored values.
Status Refused(Connection& connection, PGresult const* result, std::string& error) {
  char const* const state = PQresultErrorField(result, PG_DIAG_SQLSTATE);
  std::string const code = state ? state : "";
  if (!connection.Up() || code.rfind("08", 0) == 0 || code == "57P01" || code == "57P02" ||
      code == "57P03") {
    char const* const primary = PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY);
    error = "the connection to the database was lost: " +
            FirstLine(primary ? primary : PQerrorMessage(connection.pg));
    connection.Drop();
    return Status::kUnavailable;
  }
  std::string const message = FirstLine(PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY));
  if (code == "57014" || code == "55P03" || code.rfind("40", 0) == 0 ||
      code.rfind("53", 0) == 0) {
    error = "the database cannot do it now: " + message + " (SQLSTATE " + code + ")";
    return Status::kUnavailable;
  }
  error = "the database refused a statement: " + message + " (SQLSTATE " + code + ")";
  return Status::kFailed;
}

// The connection was lost between statements, or the database did not answer in time.
Status Lost(Connection& connection, std::string const& why, std::string& error) {
  error = why;
  connection.Drop();
  return Status::kUnavailable;
}

// Sends what a PQsend* call queued, then collects its results until `deadline`; the last
// result that returned rows or a command's outcome in `out`. The first failure decides.
Status Collect(Connection& connection, Clock::time_point deadline, Result& out,
               std::string& error) {
  PGconn* const pg = connection.pg;
  std::string const late = "the database did not answer in time";
  for (int flushed; (flushed = PQflush(pg)) != 0;) {
    if (flushed < 0) {
      return Lost(connection,
                  "the connection to the database was lost: " + FirstLine(PQerrorMessage(pg)),
                  error);
    }
    if (!WaitFor(pg, POLLIN | POLLOUT, deadline)) return Lost(connection, late, error);
    if (!PQconsumeInput(pg)) {
      return Lost(connection,
                  "the connection to the database was lost: " + FirstLine(PQerrorMessage(pg)),
                  error);
    }
  }
  Status status = Status::kOk;
  for (;;) {
    while (PQisBusy(pg)) {
      if (!WaitFor(pg, POLLIN, deadline)) return Lost(connection, late, error);
      if (!PQconsumeInput(pg)) {
        return Lost(connection,
                    "the connection to the database was lost: " + FirstLine(PQerrorMessage(pg)),
                    error);
      }
    }
    Result result(PQgetResult(pg));
    if (!result) return status;
    ExecStatusType const outcome = PQresultStatus(result.get());
    if (outcome == PGRES_COMMAND_OK || outcome == PGRES_TUPLES_OK) {
      if (status == Status::kOk) out = std::move(result);
      continue;
    }
    if (status == Status::kOk) status = Refused(connection, result.get(), error);
    // A lost connection has no more results to give.
    if (!connection.pg) return status;
  }
}

// What a PQsend* call that returned 0 means: a lost connection, or a statement libpq refused.
Status NotSent(Connection& connection, std::string& error) {
  std::string const why = FirstLine(PQerrorMessage(connection.pg));
  if (!connection.Up()) {
    return Lost(connection, "the connection to the database was lost: " + why, error);
  }
  error = "cannot send a statement to the database: " + why;
  return Status::kFailed;
}

// Runs `sql` (one or more statements, no parameters) and keeps no rows.
Status Run(Connection& connection, char const* sql, Clock::time_point deadline,
           std::string& error) {
  if (!connection.pg) return Lost(connection, "the connection to the database was lost", error);
  if (!PQsendQuery(connection.pg, sql)) return NotSent(connection, error);
  Result ignored;
  return Collect(connection, deadline, ignored, error);
}

// Runs the prepared `statement` with `params` until `deadline`; its rows, in binary, in `out`.
Status Execute(Connection& connection, Statement const& statement, Params const& params,
               Clock::time_point deadline, Result& out, std::string& error) {
  if (!connection.pg) return Lost(connection, "the connection to the database was lost", error);
  auto const values = params.Values();
  auto const lengths = params.Lengths();
  auto const formats = params.Formats();
  if (!PQsendQueryPrepared(connection.pg, statement.name, params.size(), values.data(),
                           lengths.data(), formats.data(), 1)) {
    return NotSent(connection, error);
  }
  return Collect(connection, deadline, out, error);
}

// The same within a statement's own time.
Status Execute(Connection& connection, Statement const& statement, Params const& params,
               Result& out, std::string& error) {
  return Execute(connection, statement, params, StatementDeadline(), out, error);
}

// Ends the transaction open on `connection`. What the rollback answers is not kept: the server
// rolls back what a lost connection had open.
void RollBack(Connection& connection) {
  std::string ignored;
  if (connection.Up()) (void)Run(connection, kRollback, StatementDeadline(), ignored);
}

// Whether a connection idle in the pool is still open. One whose server has closed it (the
// database restarted meanwhile) has the end of its stream to read, and is then replaced before
// it is used; one whose server is gone without a word is found out by a statement's deadline.
// A server shutting down says so before it closes, so what is there is read until nothing is.
bool StillOpen(Connection& connection) {
  for (int reads = 0; connection.Up() && reads < 16; ++reads) {
    pollfd ready{PQsocket(connection.pg), POLLIN, 0};
    if (poll(&ready, 1, 0) == 0) return true;
    if (!PQconsumeInput(connection.pg)) return false;
  }
  return connection.Up();
}

// Sets the session's limits and prepares the record statements on a connection just made to a
// database whose schema is at this server's version.
Status Setup(Connection& connection, std::string& error) {
  std::string const sql = SessionLimits() + Prepare(kRecordStatements);
  Status const status = Run(connection, sql.c_str(), StatementDeadline(), error);
  connection.prepared = status == Status::kOk;
  return status;
}

// Names the database a connection reached, for messages: no password is ever in it.
std::string Where(Connection const& connection) {
  char const* const host = PQhost(connection.pg);
  char const* const port = PQport(connection.pg);
  return std::string("the database ") + PQdb(connection.pg) + " at " + (host ? host : "") + ":" +
         (port ? port : "");
}

bool ReadMeta(Connection& connection, char const* key, Clock::time_point deadline,
              std::string& value, bool& found, std::string& error) {
  Result rows;
  if (Execute(connection, kMetaValue, Params().Text(key), deadline, rows, error) != Status::kOk ||
      !Shaped(rows.get(), 1, error)) {
    return false;
  }
  found = PQntuples(rows.get()) > 0;
  if (found) value = Column(rows.get(), 0, 0);
  return true;
}

bool WriteMeta(Connection& connection, char const* key, std::string const& value,
               Clock::time_point deadline, std::string& error) {
  Result ignored;
  return Execute(connection, kSetMeta, Params().Text(key).Text(value), deadline, ignored,
                 error) == Status::kOk;
}

// Both values of the key check: `sealed` and the key's `fingerprint`.
bool WriteKeyCheck(Connection& connection, std::string const& sealed,
                   std::string const& fingerprint, Clock::time_point deadline,
                   std::string& error) {
  return WriteMeta(connection, kCheckName, sealed, deadline, error) &&
         WriteMeta(connection, kFingerprintName, fingerprint, deadline, error);
}

}  // namespace

// A connection taken from the pool for one call, given back when the call is done.
class PostgresRecordStore::Lease {
 public:
  Lease(PostgresRecordStore& store, Clock::time_point deadline, std::string& error)
      : store_(store), connection_(store.Take(deadline, error)) {}
  ~Lease() {
    if (connection_) store_.Give(std::move(connection_));
  }
  Lease(Lease const&) = delete;
  Lease& operator=(Lease const&) = delete;

  explicit operator bool() const { return connection_ != nullptr; }
  Connection& operator*() const { return *connection_; }

 private:
  PostgresRecordStore& store_;
  std::unique_ptr<Connection> connection_;
};

PostgresRecordStore::~PostgresRecordStore() = default;

std::shared_ptr<PostgresRecordStore> PostgresRecordStore::Open(
    std::string const& uri, std::shared_ptr<SecretBox const> box, std::size_t connections,
    std::string& error) {
  return Open(uri, std::move(box), connections, StartWait(), error);
}

namespace {

// Whether the database at `uri` is not answering yet, or answers only that it cannot take
// connections now (starting up, shutting down, recovering): worth another try, unlike a
// database that answers and refuses this user, password or database name.
bool NotAnsweringYet(std::string const& uri) {
  // libpq's shortest time limit for a connection.
  char const* const keywords[] = {"dbname", "connect_timeout", nullptr};
  char const* const values[] = {uri.c_str(), "2", nullptr};
  PGPing const ping = PQpingParams(keywords, values, 1);
  return ping == PQPING_NO_RESPONSE || ping == PQPING_REJECT;
}

// The store's first connection, tried again every kStartRetry while the database does not
// answer yet, for at most `wait.limit`. Null with the last reason in `error`.
PGconn* ConnectAtStart(std::string const& uri, PostgresRecordStore::StartWait const& wait,
                       std::string& error) {
  using Store = PostgresRecordStore;
  Clock::time_point const end = Clock::now() + wait.limit;
  bool waiting = false;
  for (;;) {
    Clock::time_point const by = Clock::now() + Store::kConnectTimeout;
    if (PGconn* pg = Connect(uri, by, error)) return pg;
    Clock::time_point const now = Clock::now();
    if (now >= end) {
      if (waiting) error += " (tried for " + Millis(wait.limit) + ")";
      return nullptr;
    }
    // A try that ran out of time had no answer, however the database answers a ping after it.
    // One that answers the ping may have finished starting since the try: tried once more
    // before its refusal is believed.
    if (now < by && !NotAnsweringYet(uri)) {
      return Connect(uri, Clock::now() + Store::kConnectTimeout, error);
    }
    if (!waiting && wait.waiting) {
      wait.waiting("waiting up to " + Millis(wait.limit) + " for the database: " + error);
    }
    waiting = true;
    auto const pause =
        std::min<milliseconds>(Store::kStartRetry, std::chrono::ceil<milliseconds>(end - now));
    if (!wait.pause) {
      std::this_thread::sleep_for(pause);
    } else if (!wait.pause(pause)) {
      error = "stopped while waiting for the database (" + error + ")";
      return nullptr;
    }
  }
}

}  // namespace

std::shared_ptr<PostgresRecordStore> PostgresRecordStore::Open(
    std::string const& uri, std::shared_ptr<SecretBox const> box, std::size_t connections,
    StartWait const& wait, std::string& error) {
  if (!CheckPostgresUri(uri, error)) return nullptr;
  if (!box) {
    error = "no key to seal the records with";
    return nullptr;
  }
  std::shared_ptr<PostgresRecordStore> store(new PostgresRecordStore());
  store->uri_ = uri;
  store->box_ = std::move(box);
  store->fingerprint_ = store->box_->Fingerprint();
  if (store->fingerprint_.empty()) {
    error = "cannot compute the key's fingerprint";
    return nullptr;
  }
  auto first = std::make_unique<Connection>();
  first->pg = ConnectAtStart(uri, wait, error);
  if (!first->pg) return nullptr;
  std::string const where = Where(*first);
  // The migration prepares the statements on this connection; the session's limits remain.
  if (!store->Migrate(*first, error)) return nullptr;
  if (Run(*first, SessionLimits().c_str(), StatementDeadline(), error) != Status::kOk) {
    error = "cannot set up the session on " + where + ": " + error;
    return nullptr;
  }
  first->prepared = true;
  store->idle_.push_back(std::move(first));
  // The others connect at their first use.
  std::size_t const count = std::clamp<std::size_t>(connections, 1, kMaxConnections);
  while (store->idle_.size() < count) store->idle_.push_back(std::make_unique<Connection>());
  store->size_ = count;
  return store;
}

namespace {

// Begins the transaction that looks at the schema, on a connection just made: under the
// advisory lock every instance takes first, with the time a migration may take, and with the
// statements that read and record the schema's version prepared.
std::string BeginSchemaTransaction() {
  return std::string(kBegin) + "; " + SchemaLock() + "; " + kMigrationsTable + "; " +
         Prepare(kSchemaStatements);
}

// Inside the transaction BeginSchemaTransaction began: brings the schema to this server's
// version and prepares the record statements on it. Prepared statements belong to the session,
// not the transaction: a caller that rolls back closes the connection, so that none is kept on
// tables whose making was rolled back. False with the reason in `error`.
bool ApplyMigrations(Connection& connection, Clock::time_point deadline, std::string const& where,
                     std::string& error) {
  Result rows;
  if (Execute(connection, kSchemaVersion, Params(), deadline, rows, error) != Status::kOk) {
    error = "cannot read the schema version of " + where + ": " + error;
    return false;
  }
  std::int32_t version = 0;
  if (!Shaped(rows.get(), 1, error) || PQntuples(rows.get()) != 1 ||
      !IntColumn(rows.get(), 0, 0, version)) {
    error = "cannot read the schema version of " + where;
    return false;
  }
  if (version > PostgresRecordStore::kSchemaVersion) {
    error = where + " has schema version " + std::to_string(version) +
            ", newer than this server's " +
            std::to_string(PostgresRecordStore::kSchemaVersion) +
            "; use the newer server that wrote it";
    return false;
  }
  for (auto const& migration : kMigrations) {
    if (migration.version <= version) continue;
    Result ignored;
    if (Run(connection, migration.sql, deadline, error) != Status::kOk ||
        Execute(connection, kRecordMigration, Params().Int(migration.version), deadline, ignored,
                error) != Status::kOk) {
      error = "cannot migrate " + where + " to schema version " +
              std::to_string(migration.version) + ": " + error;
      return false;
    }
  }
  if (Run(connection, Prepare(kRecordStatements).c_str(), deadline, error) != Status::kOk) {
    error = "cannot prepare the statements on " + where + ": " + error;
    return false;
  }
  return true;
}

}  // namespace

bool PostgresRecordStore::Migrate(Connection& connection, std::string& error) {
  auto const deadline = Clock::now() + kMigrationTimeout + kAnswerMargin;
  std::string const where = Where(connection);
  auto const failed = [&](std::string const& what) {
    error = what;
    RollBack(connection);
    return false;
  };
  if (Run(connection, BeginSchemaTransaction().c_str(), deadline, error) != Status::kOk) {
    return failed("cannot read the schema version of " + where + ": " + error);
  }
  if (!ApplyMigrations(connection, deadline, where, error)) return failed(error);
  // Under the same lock, so that two instances with different keys starting on a new database
  // do not both take it for theirs.
  if (!CheckKeyAtOpen(connection, error)) return failed(error);
  if (Run(connection, kCommit, deadline, error) != Status::kOk) {
    return failed("cannot migrate " + where + ": " + error);
  }
  return true;
}

bool PostgresRecordStore::CheckKeyAtOpen(Connection& connection, std::string& error) {
  auto const deadline = Clock::now() + kMigrationTimeout + kAnswerMargin;
  std::string const where = Where(connection);
  KeyCheck::Stored stored;
  if (!ReadMeta(connection, kCheckName, deadline, stored.sealed, stored.haveCheck, error) ||
      !ReadMeta(connection, kFingerprintName, deadline, stored.fingerprint,
                stored.haveFingerprint, error)) {
    error = "cannot read the key check of " + where + ": " + error;
    return false;
  }
  auto const verdict = KeyCheck::Judge(*box_, fingerprint_, stored);
  bool written = true;
  switch (verdict) {
    case KeyCheck::Verdict::kSealNew: {
      // A new database: sealed with this key from now on.
      std::string sealed;
      if (!KeyCheck::Seal(*box_, sealed, error)) return false;
      written = WriteKeyCheck(connection, sealed, fingerprint_, deadline, error);
      break;
    }
    case KeyCheck::Verdict::kMatches:
      return true;
    case KeyCheck::Verdict::kAddFingerprint:
      written = WriteMeta(connection, kFingerprintName, fingerprint_, deadline, error);
      break;
    default: {
      std::string const damage = KeyCheck::DamageReport(verdict);
      error = !damage.empty()
                  ? where + " is damaged: " + damage + "; restore it from a backup"
                  : KeyCheck::OtherKeyText(verdict, where, "the database");
      return false;
    }
  }
  if (!written) error = "cannot write the key check of " + where + ": " + error;
  return written;
}

std::unique_ptr<Connection> PostgresRecordStore::Take(Clock::time_point deadline,
                                                      std::string& error) {
  std::unique_lock<std::mutex> lock(poolMutex_);
  if (!poolFree_.wait_until(lock, deadline, [this] { return !idle_.empty(); })) {
    error = "no database connection came free in time (all " + std::to_string(size_) +
            " are in use)";
    return nullptr;
  }
  auto connection = std::move(idle_.back());
  idle_.pop_back();
  return connection;
}

void PostgresRecordStore::Give(std::unique_ptr<Connection> connection) {
  // A connection left inside a transaction (its ROLLBACK failed) is not lent again as it is.
  if (connection->pg && PQtransactionStatus(connection->pg) != PQTRANS_IDLE) connection->Drop();
  {
    std::lock_guard<std::mutex> lock(poolMutex_);
    idle_.push_back(std::move(connection));
  }
  poolFree_.notify_one();
}

Status PostgresRecordStore::Start(Connection& connection, char const* first,
                                  Clock::time_point deadline, std::string& error) {
  if (!connection.prepared || !StillOpen(connection)) {
    connection.Drop();
    connection.pg = Connect(uri_, std::min(deadline, Clock::now() + kConnectTimeout), error);
    if (!connection.pg) return Status::kUnavailable;
    Status const setup = Setup(connection, error);
    if (setup != Status::kOk) return setup;
  }
  if (!first) return Status::kOk;
  return Run(connection, first, std::min(deadline, StatementDeadline()), error);
}

Status PostgresRecordStore::InTransaction(bool secrets,
                                          std::function<Status(Connection&)> const& body,
                                          std::string& error) {
  Lease lease(*this, Clock::now() + kLeaseTimeout, error);
  if (!lease) return Status::kUnavailable;
  Connection& connection = *lease;
  Status status = Start(connection, kBegin, Clock::time_point::max(), error);
  if (status != Status::kOk) return status;
  if (secrets) {
    // Another process may have resealed the records with another key since this store was
    // opened; the share lock keeps it from doing so until this transaction ends.
    Result rows;
    status = Execute(connection, kSharedMetaValue, Params().Text(kFingerprintName), rows, error);
    if (status == Status::kOk && !Shaped(rows.get(), 1, error)) status = Status::kFailed;
    if (status == Status::kOk &&
        (PQntuples(rows.get()) != 1 || Column(rows.get(), 0, 0) != fingerprint_)) {
      error = kResealedElsewhere;
      status = Status::kUnavailable;
    }
  }
  if (status == Status::kOk) status = body(connection);
  if (status == Status::kOk || status == Status::kNotFound || status == Status::kExists) {
    std::string why;
    Status const committed = Run(connection, kCommit, StatementDeadline(), why);
    if (committed == Status::kOk) return status;
    error = connection.pg ? "the database could not commit: " + why
                          : "the connection to the database was lost while committing, so the "
                            "change may or may not have been made: " + why;
    return committed;
  }
  RollBack(connection);
  return status;
}

Status PostgresRecordStore::InKeyedTransaction(bool secrets, Reference::KeyedWrite* keyed,
                                               std::function<Status(Connection&)> const& write,
                                               std::function<std::string()> const& id,
                                               std::string& error) {
  if (!keyed) return InTransaction(secrets, write, error);
  auto const window = static_cast<std::int32_t>(
      std::min<std::int64_t>(KeyWindow().count(), std::numeric_limits<std::int32_t>::max()));
  // Made before the transaction begins, which the digest does not need.
  std::string const digest = box_->Digest(keyed->input.value());
  if (digest.empty()) {
    error = "cannot digest the write's input";
    return Status::kFailed;
  }
  return InTransaction(
      true,
      [&](Connection& connection) {
        auto const claim = [&] {
          // At most once a minute per instance; another instance's removal meanwhile makes
          // this one remove nothing.
          auto const now = Clock::now().time_since_epoch().count();
          auto last = keysForgotten_.load();
          if (now - last >= std::chrono::nanoseconds(std::chrono::minutes(1)).count() &&
              keysForgotten_.compare_exchange_strong(last, now)) {
            Result done;
            Status const forgot =
                Execute(connection, kForgetKeys, Params().Int(window), done, error);
            if (forgot != Status::kOk) return forgot;
          }
          Result rows;
          Status status = Execute(connection, kClaimKey,
                                  Params().Text(keyed->scope).Text(keyed->key).Text(digest).Int(
                                      window),
                                  rows, error);
          if (status != Status::kOk) return status;
          if (PQntuples(rows.get()) > 0) return Status::kOk;  // this write's key now
          status = Execute(connection, kKeptKey, Params().Text(keyed->scope).Text(keyed->key),
                           rows, error);
          if (status != Status::kOk) return status;
          if (!Shaped(rows.get(), 4, error)) return Status::kFailed;
          std::int32_t kept = 0;
          if (PQntuples(rows.get()) != 1 || !IntColumn(rows.get(), 0, 1, kept) ||
              (kept != static_cast<std::int32_t>(Status::kOk) &&
               kept != static_cast<std::int32_t>(Status::kNotFound) &&
               kept != static_cast<std::int32_t>(Status::kExists))) {
            error = "the outcome kept for an idempotency key is damaged";
            return Status::kFailed;
          }
          if (Column(rows.get(), 0, 0) != digest) return Status::kKeyReused;
          keyed->outcome.status = static_cast<Status>(kept);
          keyed->outcome.id = Column(rows.get(), 0, 2);
          keyed->outcome.refusal = Column(rows.get(), 0, 3);
          keyed->replayed = true;
          return Status::kOk;
        };
        auto const keep = [&] {
          Result done;
          return Execute(connection, kKeepOutcome,
                         Params()
                             .Text(keyed->scope)
                             .Text(keyed->key)
                             .Int(static_cast<std::int32_t>(keyed->outcome.status))
                             .Text(keyed->outcome.id)
                             .Text(keyed->outcome.refusal),
                         done, error);
        };
        return Reference::RunKeyed(
            keyed, claim, [&] { return write(connection); }, id, keep);
      },
      error);
}

Status PostgresRecordStore::ReadOnce(std::function<Status(Connection&)> const& body,
                                     std::string& error) {
  Lease lease(*this, Clock::now() + kLeaseTimeout, error);
  if (!lease) return Status::kUnavailable;
  Connection& connection = *lease;
  Status const status = Start(connection, nullptr, Clock::time_point::max(), error);
  return status == Status::kOk ? body(connection) : status;
}

bool PostgresRecordStore::Ready(std::string& why) {
  auto const deadline = Clock::now() + kReadyTimeout;
  Lease lease(*this, deadline, why);
  if (!lease) return false;
  Connection& connection = *lease;
  // Read without a lock, so that a rotation under way does not hold the probe up: until it
  // commits, the records are sealed with the key they had.
  std::string stored;
  bool found = false;
  if (Start(connection, nullptr, deadline, why) != Status::kOk ||
      !ReadMeta(connection, kFingerprintName, std::min(deadline, StatementDeadline()), stored,
                found, why)) {
    return false;
  }
  if (!found || stored != fingerprint_) {
    why = kResealedElsewhere;
    return false;
  }
  return true;
}

bool PostgresRecordStore::Rekey(std::shared_ptr<SecretBox const> newBox, std::size_t& resealed,
                                std::vector<std::string>& notices, std::string& error) {
  resealed = 0;
  // Every failure but a commit whose outcome is unknown leaves the database as it was.
  auto const refuse = [&error](std::string const& what) {
    error = what + "; nothing was changed: the records are still sealed with the old key";
    return false;
  };
  std::string const fingerprint = newBox ? newBox->Fingerprint() : std::string();
  if (fingerprint.empty()) return refuse("cannot compute the new key's fingerprint");
  if (fingerprint == fingerprint_) {
    return refuse("the new key is the one the database is sealed with already");
  }
  // The transaction may wait for instances starting (the migration lock) and for the calls in
  // flight that hold the key check, and has every provider to reseal: it gets the time a
  // migration gets.
  auto const deadline = Clock::now() + kMigrationTimeout + kAnswerMargin;
  Lease lease(*this, Clock::now() + kLeaseTimeout, error);
  if (!lease) return refuse(error);
  Connection& connection = *lease;
  auto const failed = [&](std::string const& what) {
    RollBack(connection);
    return refuse(what);
  };
  if (Start(connection, kBegin, deadline, error) != Status::kOk ||
      Run(connection, SchemaLock().c_str(), deadline, error) != Status::kOk) {
    return failed("cannot start the rotation: " + error);
  }
  std::string const where = Where(connection);
  // The key check first: the instances' transactions that seal or open a secret hold it
  // shared, so this waits for those under way, and those that come later wait for the commit
  // and then read the new fingerprint.
  Result rows;
  if (Execute(connection, kLockKeyCheck, Params().Text(kCheckName).Text(kFingerprintName),
              deadline, rows, error) != Status::kOk ||
      !Shaped(rows.get(), 2, error)) {
    return failed("cannot lock the key check of " + where + ": " + error);
  }
  std::string sealedCheck;
  std::string stored;
  for (int row = 0; row < PQntuples(rows.get()); ++row) {
    (Column(rows.get(), row, 0) == kCheckName ? sealedCheck : stored) = Column(rows.get(), row, 1);
  }
  if (stored != fingerprint_ || !KeyCheck::Opens(*box_, sealedCheck)) {
    return failed(where + " is no longer sealed with the current key (another process may "
                          "have changed the key since)");
  }
  // Read first and written after; the sealed values are ciphertext, only the opened ones are
  // secret.
  if (Execute(connection, kSealedKeys, Params(), deadline, rows, error) != Status::kOk ||
      !Shaped(rows.get(), 2, error)) {
    return failed("cannot read the providers of " + where + ": " + error);
  }
  std::size_t count = 0;
  for (int row = 0; row < PQntuples(rows.get()); ++row) {
    std::string const id = Column(rows.get(), row, 0);
    std::string const binding = ProviderBinding(id);
    std::string again;
    {
      Tirn::SecretString opened;  // wiped when it leaves this scope, on every path
      if (!box_->Open(Column(rows.get(), row, 1), binding, opened)) {
        return failed("the stored key of provider " + id + " does not open with the current key");
      }
      if (!newBox->Seal(opened.value(), binding, again, error)) return failed(error);
    }
    Result done;
    if (Execute(connection, kResealProvider, Params().Text(id).Text(std::move(again)), deadline,
                done, error) != Status::kOk) {
      return failed("cannot write the provider " + id + ": " + error);
    }
    // A provider deleted meanwhile is left deleted.
    if (Changed(done.get())) ++count;
  }
  // The kept keys' digests were made with the old key and would not match again.
  Result forgotten;
  if (Execute(connection, kForgetEveryKey, Params(), deadline, forgotten, error) !=
      Status::kOk) {
    return failed("cannot forget the idempotency keys of " + where + ": " + error);
  }
  std::string check;
  if (!KeyCheck::Seal(*newBox, check, error)) return failed(error);
  if (!WriteKeyCheck(connection, check, fingerprint, deadline, error)) {
    return failed("cannot write the key check of " + where + ": " + error);
  }
  std::string why;
  if (Run(connection, kCommit, deadline, why) != Status::kOk) {
    if (connection.pg) return failed("the database could not commit: " + why);
    error = "the connection to " + where +
            " was lost while committing, so the records are sealed with the old key or with the "
            "new one: keep both key files, and start a server with the new one to find out (" +
            why + ")";
    return false;
  }
  resealed = count;
  notices.push_back(
      "values sealed with the old key may remain in the database's old row versions and "
      "write-ahead log until PostgreSQL vacuums and recycles them, and in backups made before");
  return true;
}

namespace {

// The number a server's identifier ends with ("key-server-12": 12; 0 when none); false when it
// is too large to hold.
bool TrailingNumber(std::string const& id, std::int64_t& number) {
  std::size_t start = id.size();
  while (start > 0 && id[start - 1] >= '0' && id[start - 1] <= '9') --start;
  number = 0;
  if (start == id.size()) return true;
  auto const parsed = std::from_chars(id.data() + start, id.data() + id.size(), number);
  return parsed.ec == std::errc();
}

}  // namespace

bool PostgresRecordStore::ImportSealed(std::string const& uri, SealedRecords const& records,
                                       std::string& where, std::vector<std::string>& notices,
                                       std::string& error) {
  where = "the database";
  auto const refuse = [&error](std::string const& what) {
    error = what + "; nothing was changed";
    return false;
  };
  if (!CheckPostgresUri(uri, error)) return false;
  if (records.keyCheck.empty() || records.keyFingerprint.empty()) {
    return refuse("the records to copy come without their key check");
  }
  // The highest number each kind has given out, to servers deleted since too.
  std::int64_t highest[2] = {std::max<std::int64_t>(records.nextKeyServer - 1, 0),
                             std::max<std::int64_t>(records.nextAttestationService - 1, 0)};
  for (auto const& server : records.servers) {
    std::int64_t number = 0;
    if (!TrailingNumber(server.id, number)) {
      return refuse("the number of the server " + server.id + " is too large to carry");
    }
    auto& most = highest[KindNumber(server.kind)];
    most = std::max(most, number);
    if (server.port && (*server.port < 0 || *server.port > INT32_MAX)) {
      return refuse("the port of the server " + server.id + " cannot be stored");
    }
  }
  Connection connection;
  connection.pg = Connect(uri, Clock::now() + kConnectTimeout, error);
  if (!connection.pg) return refuse(error);
  where = Where(connection);
  auto const deadline = [] { return Clock::now() + kMigrationTimeout + kAnswerMargin; };
  auto const failed = [&](std::string const& what) {
    RollBack(connection);
    return refuse(what);
  };
  if (Run(connection, BeginSchemaTransaction().c_str(), deadline(), error) != Status::kOk) {
    return failed("cannot start the copy into " + where + ": " + error);
  }
  if (!ApplyMigrations(connection, deadline(), where, error)) return failed(error);
  // Instances serving the database meanwhile wait: their writes for the tables, their calls
  // that seal or open a secret for the key check (they hold it shared).
  Result rows;
  if (Run(connection, kLockRecords, deadline(), error) != Status::kOk ||
      Execute(connection, kLockedMetaValue, Params().Text(kFingerprintName), deadline(), rows,
              error) != Status::kOk ||
      !Shaped(rows.get(), 1, error)) {
    return failed("cannot lock the records of " + where + ": " + error);
  }
  std::string const replaced = PQntuples(rows.get()) > 0 ? Column(rows.get(), 0, 0) : "";
  if (Execute(connection, kCountRecords, Params(), deadline(), rows, error) != Status::kOk ||
      !Shaped(rows.get(), 2, error) || PQntuples(rows.get()) != 1) {
    return failed("cannot count the records of " + where + ": " + error);
  }
  std::string const providers = Column(rows.get(), 0, 0);
  std::string const servers = Column(rows.get(), 0, 1);
  if (providers != "0" || servers != "0") {
    return failed(where + " holds records already (providers: " + providers +
                  ", key servers and attestation services: " + servers +
                  "): copy only into a database that holds none");
  }
  for (auto const& provider : records.providers) {
    Result done;
    if (Execute(connection, kCopyProvider,
                Params().Text(provider.id).Text(provider.type).Text(provider.keyId).Text(
                    provider.sealedKey),
                deadline(), done, error) != Status::kOk) {
      return failed("cannot write the provider " + provider.id + " into " + where + ": " +
                    error);
    }
  }
  for (auto const& server : records.servers) {
    Params params;
    params.Int(KindNumber(server.kind)).Text(server.id).Text(server.hostname);
    if (server.port) {
      params.Int(static_cast<std::int32_t>(*server.port));
    } else {
      params.Null();
    }
    params.Text(server.address).Text(server.trustedCa).Text(server.group);
    Result done;
    if (Execute(connection, kCopyServer, params, deadline(), done, error) != Status::kOk) {
      return failed("cannot write the server " + server.id + " into " + where + ": " + error);
    }
  }
  if (!WriteKeyCheck(connection, records.keyCheck, records.keyFingerprint, deadline(), error)) {
    return failed("cannot write the key check of " + where + ": " + error);
  }
  Statement const* const advance[] = {&kAdvanceKeyServerNumbers,
                                      &kAdvanceAttestationServiceNumbers};
  for (int kind = 0; kind < 2; ++kind) {
    if (highest[kind] == 0) continue;
    Result done;
    if (Execute(connection, *advance[kind], Params().BigInt(highest[kind]), deadline(), done,
                error) != Status::kOk) {
      return failed("cannot advance the numbers of " + where + ": " + error);
    }
  }
  std::string why;
  if (Run(connection, kCommit, deadline(), why) != Status::kOk) {
    if (connection.pg) return failed("the database could not commit: " + why);
    error = "the connection to " + where +
            " was lost while committing, so it holds either every copied record or none: start "
            "a server on it to find out before copying again (" +
            why + ")";
    return false;
  }
  if (!replaced.empty() && replaced != records.keyFingerprint) {
    notices.push_back(where +
                      " held the key check of another key, replaced by the copied one: servers "
                      "still running on it with that key answer service_unavailable to calls "
                      "that seal or open a secret until restarted with the data file's key");
  }
  return true;
}

namespace {

// A provider from a row of (id, type, key_id, sealed_key), its key opened with `box` when
// asked for.
bool ReadProvider(PGresult const* rows, int row, SecretBox const& box, Reference::Unseal unseal,
                  Reference::ProviderRecord& out, std::string& error) {
  if (!Shaped(rows, 4, error)) return false;
  out.id = Column(rows, row, 0);
  out.type = Tirn::Data::EnumFromWire<ProviderType>(Column(rows, row, 1));
  out.keyId = Column(rows, row, 2);
  out.keyDerivationKey.clear();
  if (unseal == Reference::Unseal::kYes &&
      !box.Open(Column(rows, row, 3), ProviderBinding(out.id), out.keyDerivationKey)) {
    error = "the stored key of provider " + out.id + " does not open with this server's key";
    return false;
  }
  return true;
}

// A server from a row of (id, address, trusted_ca, grp).
bool ReadServer(PGresult const* rows, int row, Reference::ServerRecord& out,
                std::string& error) {
  if (!Shaped(rows, 4, error)) return false;
  out.id = Column(rows, row, 0);
  out.group = Column(rows, row, 3);
  return LoadJson(Column(rows, row, 1), out.address, error, out.id) &&
         LoadJson(Column(rows, row, 2), out.trustedCa, error, out.id);
}

// The parameters that store a provider: its identifier, type, key identifier and sealed key.
bool ProviderParams(SecretBox const& box, Reference::ProviderRecord const& record, Params& params,
                    std::string& error) {
  std::string sealed;
  if (!box.Seal(record.keyDerivationKey.value(), ProviderBinding(record.id), sealed, error)) {
    return false;
  }
  params.Text(record.id).Text(Tirn::Data::EnumToWire(record.type)).Text(record.keyId).Text(
      std::move(sealed));
  return true;
}

}  // namespace

Status PostgresRecordStore::ListProviders(std::vector<ProviderRecord>& out, std::string& error,
                                          Reference::Unseal unseal) {
  out.clear();
  return InTransaction(
      unseal == Reference::Unseal::kYes,
      [&](Connection& connection) {
        Result rows;
        Status const status = Execute(connection, kListProviders, Params(), rows, error);
        if (status != Status::kOk) return status;
        for (int row = 0; row < PQntuples(rows.get()); ++row) {
          out.emplace_back();
          if (!ReadProvider(rows.get(), row, *box_, unseal, out.back(), error)) {
            return Status::kFailed;
          }
        }
        return Status::kOk;
      },
      error);
}

Status PostgresRecordStore::GetProvider(std::string const& id, ProviderRecord& out,
                                        std::string& error, Reference::Unseal unseal) {
  return InTransaction(
      unseal == Reference::Unseal::kYes,
      [&](Connection& connection) {
        Result rows;
        Status const status = Execute(connection, kGetProvider, Params().Text(id), rows, error);
        if (status != Status::kOk) return status;
        if (PQntuples(rows.get()) == 0) return Status::kNotFound;
        return ReadProvider(rows.get(), 0, *box_, unseal, out, error) ? Status::kOk
                                                                      : Status::kFailed;
      },
      error);
}

Status PostgresRecordStore::CreateProvider(ProviderRecord const& record, std::string& error,
                                           Reference::KeyedWrite* keyed) {
  Params params;
  if (!ProviderParams(*box_, record, params, error)) return Status::kFailed;
  return InKeyedTransaction(
      true, keyed,
      [&](Connection& connection) {
        Result done;
        Status const status = Execute(connection, kInsertProvider, params, done, error);
        if (status != Status::kOk) return status;
        // The unique identifier decides: a provider another instance created, even one not yet
        // committed when this one tried, leaves nothing inserted here.
        return Changed(done.get()) ? Status::kOk : Status::kExists;
      },
      [&] { return record.id; }, error);
}

Status PostgresRecordStore::UpdateProvider(std::string const& id,
                                           std::function<bool(ProviderRecord&)> const& change,
                                           std::string& error, Reference::KeyedWrite* keyed) {
  return InKeyedTransaction(
      true, keyed,
      [&](Connection& connection) {
        // Locked until the transaction ends: an update by another instance waits for this one,
        // and then reads what it wrote.
        Result rows;
        Status status = Execute(connection, kLockProvider, Params().Text(id), rows, error);
        if (status != Status::kOk) return status;
        if (PQntuples(rows.get()) == 0) return Status::kNotFound;
        ProviderRecord record;
        if (!ReadProvider(rows.get(), 0, *box_, Reference::Unseal::kYes, record, error)) {
          return Status::kFailed;
        }
        if (!change(record)) return Status::kOk;
        record.id = id;
        Params params;
        if (!ProviderParams(*box_, record, params, error)) return Status::kFailed;
        Result done;
        return Execute(connection, kUpdateProvider, params, done, error);
      },
      [&] { return id; }, error);
}

Status PostgresRecordStore::DeleteProvider(std::string const& id, std::string& error,
                                           Reference::KeyedWrite* keyed) {
  return InKeyedTransaction(
      false, keyed,
      [&](Connection& connection) {
        Result done;
        Status const status =
            Execute(connection, kDeleteProvider, Params().Text(id), done, error);
        if (status != Status::kOk) return status;
        return Changed(done.get()) ? Status::kOk : Status::kNotFound;
      },
      [&] { return id; }, error);
}

Status PostgresRecordStore::ListServers(ServerKind kind, std::vector<ServerRecord>& out,
                                        std::string& error) {
  out.clear();
  return ReadOnce(
      [&](Connection& connection) {
        Result rows;
        Status const status =
            Execute(connection, kListServers, Params().Int(KindNumber(kind)), rows, error);
        if (status != Status::kOk) return status;
        for (int row = 0; row < PQntuples(rows.get()); ++row) {
          out.emplace_back();
          if (!ReadServer(rows.get(), row, out.back(), error)) return Status::kFailed;
        }
        return Status::kOk;
      },
      error);
}

Status PostgresRecordStore::GetServer(ServerKind kind, std::string const& id, ServerRecord& out,
                                      std::string& error) {
  return ReadOnce(
      [&](Connection& connection) {
        Result rows;
        Status const status = Execute(connection, kGetServer,
                                      Params().Int(KindNumber(kind)).Text(id), rows, error);
        if (status != Status::kOk) return status;
        if (PQntuples(rows.get()) == 0) return Status::kNotFound;
        return ReadServer(rows.get(), 0, out, error) ? Status::kOk : Status::kFailed;
      },
      error);
}

Status PostgresRecordStore::CreateServer(ServerKind kind, std::string const& idPrefix,
                                         ServerRecord& record, std::string& error,
                                         Reference::KeyedWrite* keyed) {
  std::string address;
  std::string trustedCa;
  if (!StoreJson(record.address, address, error) ||
      !StoreJson(record.trustedCa, trustedCa, error)) {
    return Status::kFailed;
  }
  auto const& port = record.address->port;
  if (port && (*port < 0 || *port > INT32_MAX)) {
    error = "port " + std::to_string(*port) + " cannot be stored";
    return Status::kFailed;
  }
  auto const withPort = [&port](Params& params) -> Params& {
    return port ? params.Int(static_cast<std::int32_t>(*port)) : params.Null();
  };
  Params find;
  withPort(find.Int(KindNumber(kind)).Text(record.address->hostname));
  Params insert;
  withPort(insert.Int(KindNumber(kind)).Text(idPrefix).Text(record.address->hostname))
      .Text(address)
      .Text(trustedCa)
      .Text(record.group);
  return InKeyedTransaction(
      false, keyed,
      [&](Connection& connection) {
        // Looked for first, so that a refused server takes no number in the common case.
        Result rows;
        Status status = Execute(connection, kFindServer, find, rows, error);
        if (status != Status::kOk) return status;
        if (PQntuples(rows.get()) > 0) return Status::kExists;
        // Another instance may insert the same address meanwhile: the unique index decides,
        // and the number drawn is then left unused (numbers are never reused).
        status = Execute(connection, kInsertServer, insert, rows, error);
        if (status != Status::kOk) return status;
        if (!Shaped(rows.get(), 1, error)) return Status::kFailed;
        if (PQntuples(rows.get()) == 0) return Status::kExists;
        record.id = Column(rows.get(), 0, 0);
        return Status::kOk;
      },
      [&] { return record.id; }, error);
}

Status PostgresRecordStore::DeleteServer(ServerKind kind, std::string const& id,
                                         std::string& error, Reference::KeyedWrite* keyed) {
  return InKeyedTransaction(
      false, keyed,
      [&](Connection& connection) {
        Result done;
        Status const status = Execute(connection, kDeleteServer,
                                      Params().Int(KindNumber(kind)).Text(id), done, error);
        if (status != Status::kOk) return status;
        return Changed(done.get()) ? Status::kOk : Status::kNotFound;
      },
      [&] { return id; }, error);
}

}  // namespace ServerApp
