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

constexpr char kMigrationsTable[] =
    "CREATE TABLE IF NOT EXISTS migrations ("
    "version integer PRIMARY KEY, applied timestamptz NOT NULL DEFAULT now())";
// The advisory lock every instance takes before it looks at the schema, so that instances
// starting together migrate one after the other: a key of this server's own ("tirnsrv").
constexpr char kMigrationLock[] = "SELECT pg_advisory_xact_lock(32762843290087030)";
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

// The key check (key_check.h) is in the meta table; its fingerprint is what each transaction
// that seals or opens a secret compares (cheaply) with this instance's key.
using KeyCheck::kCheckName;
using KeyCheck::kFingerprintName;
// What a store whose key no longer matches the database's says.
constexpr char kResealedElsewhere[] =
    "the records in the database are no longer sealed with this server's key (another process "
    "may have changed the key); restart the server with the current key file";

// Every statement the store runs, prepared on each connection when it is made.
constexpr char kStatements[] = R"sql(
  PREPARE shared_meta_value (text) AS
    SELECT value FROM meta WHERE key = $1 FOR SHARE;
  PREPARE list_providers AS
    SELECT id, type, key_id, sealed_key FROM providers ORDER BY id COLLATE "C";
  PREPARE get_provider (text) AS
    SELECT id, type, key_id, sealed_key FROM providers WHERE id = $1;
  PREPARE lock_provider (text) AS
    SELECT id, type, key_id, sealed_key FROM providers WHERE id = $1 FOR UPDATE;
  PREPARE insert_provider (text, text, text, bytea) AS
    INSERT INTO providers (id, type, key_id, sealed_key) VALUES ($1, $2, $3, $4)
    ON CONFLICT (id) DO NOTHING;
  PREPARE update_provider (text, text, text, bytea) AS
    UPDATE providers SET type = $2, key_id = $3, sealed_key = $4 WHERE id = $1;
  PREPARE delete_provider (text) AS
    DELETE FROM providers WHERE id = $1;
  PREPARE list_servers (integer) AS
    SELECT id, address, trusted_ca, grp FROM servers WHERE kind = $1 ORDER BY id COLLATE "C";
  PREPARE get_server (integer, text) AS
    SELECT id, address, trusted_ca, grp FROM servers WHERE kind = $1 AND id = $2;
  PREPARE find_server (integer, text, integer) AS
    SELECT 1 FROM servers
    WHERE kind = $1 AND hostname = $2 AND coalesce(port, -1) = coalesce($3, -1);
  PREPARE insert_server (integer, text, text, integer, text, text, text) AS
    INSERT INTO servers (kind, id, hostname, port, address, trusted_ca, grp)
    VALUES ($1,
            $2 || nextval(CASE $1 WHEN 0 THEN 'key_server_numbers'::regclass
                                  WHEN 1 THEN 'attestation_service_numbers'::regclass END),
            $3, $4, $5, $6, $7)
    ON CONFLICT (kind, hostname, (coalesce(port, -1))) DO NOTHING
    RETURNING id;
  PREPARE delete_server (integer, text) AS
    DELETE FROM servers WHERE kind = $1 AND id = $2;
  -- A row when the key is this write's now: new, or kept past its window ($4 seconds). A key
  -- another transaction is claiming makes this wait for its end.
  PREPARE claim_key (text, text, bytea, integer) AS
    INSERT INTO write_keys AS held (scope, key, digest, kept) VALUES ($1, $2, $3, now())
    ON CONFLICT (scope, key) DO UPDATE
      SET digest = excluded.digest, kept = excluded.kept, status = NULL, record_id = NULL,
          refusal = NULL
      WHERE held.kept <= now() - $4 * interval '1 second'
    RETURNING 1;
  PREPARE kept_key (text, text) AS
    SELECT digest, status, record_id, refusal FROM write_keys WHERE scope = $1 AND key = $2;
  PREPARE keep_outcome (text, text, integer, text, text) AS
    UPDATE write_keys SET status = $3, record_id = $4, refusal = $5
    WHERE scope = $1 AND key = $2;
  PREPARE forget_keys (integer) AS
    DELETE FROM write_keys WHERE kept <= now() - $1 * interval '1 second';
)sql";

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
// four big-endian bytes, a null as none.
class Params {
 public:
  Params& Text(std::string value) {
    values_.push_back(std::move(value));
    nulls_.push_back(false);
    return *this;
  }
  Params& Int(std::int32_t value) {
    auto const bits = static_cast<std::uint32_t>(value);
    char const bytes[4] = {static_cast<char>(bits >> 24), static_cast<char>(bits >> 16),
                           static_cast<char>(bits >> 8), static_cast<char>(bits)};
    return Text(std::string(bytes, 4));
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

// Runs one statement with `params`; its rows, in binary, in `out`.
Status Query(Connection& connection, char const* sql, Params const& params,
             Clock::time_point deadline, Result& out, std::string& error) {
  if (!connection.pg) return Lost(connection, "the connection to the database was lost", error);
  auto const values = params.Values();
  auto const lengths = params.Lengths();
  auto const formats = params.Formats();
  if (!PQsendQueryParams(connection.pg, sql, params.size(), nullptr, values.data(),
                         lengths.data(), formats.data(), 1)) {
    return NotSent(connection, error);
  }
  return Collect(connection, deadline, out, error);
}

// Runs the prepared statement `name` with `params`; its rows, in binary, in `out`.
Status Execute(Connection& connection, char const* name, Params const& params, Result& out,
               std::string& error) {
  if (!connection.pg) return Lost(connection, "the connection to the database was lost", error);
  auto const values = params.Values();
  auto const lengths = params.Lengths();
  auto const formats = params.Formats();
  if (!PQsendQueryPrepared(connection.pg, name, params.size(), values.data(), lengths.data(),
                           formats.data(), 1)) {
    return NotSent(connection, error);
  }
  return Collect(connection, StatementDeadline(), out, error);
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

// Sets the session's limits and prepares the statements on a connection just made.
Status Setup(Connection& connection, std::string& error) {
  std::string const sql =
      "SET statement_timeout = " + std::to_string(PostgresRecordStore::kStatementTimeout.count()) +
      "; SET idle_in_transaction_session_timeout = " +
      std::to_string(kIdleInTransactionTimeout.count()) + ";" + kStatements;
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
  if (Query(connection, "SELECT value FROM meta WHERE key = $1", Params().Text(key), deadline,
            rows, error) != Status::kOk ||
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
  return Query(connection,
               "INSERT INTO meta (key, value) VALUES ($1, $2) "
               "ON CONFLICT (key) DO UPDATE SET value = EXCLUDED.value",
               Params().Text(key).Text(value), deadline, ignored, error) == Status::kOk;
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
  first->pg = Connect(uri, Clock::now() + kConnectTimeout, error);
  if (!first->pg) return nullptr;
  std::string const where = Where(*first);
  if (!store->Migrate(*first, error)) return nullptr;
  if (Setup(*first, error) != Status::kOk) {
    error = "cannot prepare the statements on " + where + ": " + error;
    return nullptr;
  }
  store->idle_.push_back(std::move(first));
  // The others connect at their first use.
  std::size_t const count = std::clamp<std::size_t>(connections, 1, kMaxConnections);
  while (store->idle_.size() < count) store->idle_.push_back(std::make_unique<Connection>());
  store->size_ = count;
  return store;
}

namespace {

// Begins the transaction that looks at the schema: under the advisory lock every instance
// takes first, with the time a migration may take.
std::string BeginSchemaTransaction() {
  return "BEGIN; SET LOCAL statement_timeout = " + std::to_string(kMigrationTimeout.count()) +
         "; " + kMigrationLock + "; " + kMigrationsTable;
}

// Inside the transaction BeginSchemaTransaction began: brings the schema to this server's
// version. False with the reason in `error` (the caller rolls back).
bool ApplyMigrations(Connection& connection, Clock::time_point deadline, std::string const& where,
                     std::string& error) {
  Result rows;
  if (Query(connection, "SELECT coalesce(max(version), 0)::integer FROM migrations", Params(),
            deadline, rows, error) != Status::kOk) {
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
        Query(connection, "INSERT INTO migrations (version) VALUES ($1)",
              Params().Int(migration.version), deadline, ignored, error) != Status::kOk) {
      error = "cannot migrate " + where + " to schema version " +
              std::to_string(migration.version) + ": " + error;
      return false;
    }
  }
  return true;
}

}  // namespace

bool PostgresRecordStore::Migrate(Connection& connection, std::string& error) {
  auto const deadline = Clock::now() + kMigrationTimeout + kAnswerMargin;
  std::string const where = Where(connection);
  auto const failed = [&](std::string const& what) {
    error = what;
    std::string ignored;
    if (connection.Up()) (void)Run(connection, "ROLLBACK", StatementDeadline(), ignored);
    return false;
  };
  if (Run(connection, BeginSchemaTransaction().c_str(), deadline, error) != Status::kOk) {
    return failed("cannot read the schema version of " + where + ": " + error);
  }
  if (!ApplyMigrations(connection, deadline, where, error)) return failed(error);
  // Under the same lock, so that two instances with different keys starting on a new database
  // do not both take it for theirs.
  if (!CheckKeyAtOpen(connection, error)) return failed(error);
  if (Run(connection, "COMMIT", deadline, error) != Status::kOk) {
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
  Status status = Start(connection, "BEGIN", Clock::time_point::max(), error);
  if (status != Status::kOk) return status;
  if (secrets) {
    // Another process may have resealed the records with another key since this store was
    // opened; the share lock keeps it from doing so until this transaction ends.
    Result rows;
    status = Execute(connection, "shared_meta_value", Params().Text(kFingerprintName), rows,
                     error);
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
    Status const committed = Run(connection, "COMMIT", StatementDeadline(), why);
    if (committed == Status::kOk) return status;
    error = connection.pg ? "the database could not commit: " + why
                          : "the connection to the database was lost while committing, so the "
                            "change may or may not have been made: " + why;
    return committed;
  }
  if (connection.Up()) {
    std::string ignored;
    (void)Run(connection, "ROLLBACK", StatementDeadline(), ignored);
  }
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
                Execute(connection, "forget_keys", Params().Int(window), done, error);
            if (forgot != Status::kOk) return forgot;
          }
          Result rows;
          Status status = Execute(connection, "claim_key",
                                  Params().Text(keyed->scope).Text(keyed->key).Text(digest).Int(
                                      window),
                                  rows, error);
          if (status != Status::kOk) return status;
          if (PQntuples(rows.get()) > 0) return Status::kOk;  // this write's key now
          status = Execute(connection, "kept_key", Params().Text(keyed->scope).Text(keyed->key),
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
          return Execute(connection, "keep_outcome",
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
  if (Start(connection, "SELECT 1", deadline, why) != Status::kOk ||
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
  // The server rolls back what a lost connection had open.
  auto const failed = [&](std::string const& what) {
    std::string ignored;
    if (connection.Up()) (void)Run(connection, "ROLLBACK", StatementDeadline(), ignored);
    return refuse(what);
  };
  std::string const lock = "SET LOCAL statement_timeout = " +
                           std::to_string(kMigrationTimeout.count()) + "; " + kMigrationLock;
  if (Start(connection, "BEGIN", deadline, error) != Status::kOk ||
      Run(connection, lock.c_str(), deadline, error) != Status::kOk) {
    return failed("cannot start the rotation: " + error);
  }
  std::string const where = Where(connection);
  // The key check first: the instances' transactions that seal or open a secret hold it
  // shared, so this waits for those under way, and those that come later wait for the commit
  // and then read the new fingerprint.
  Result rows;
  if (Query(connection, "SELECT key, value FROM meta WHERE key IN ($1, $2) FOR UPDATE",
            Params().Text(kCheckName).Text(kFingerprintName), deadline, rows, error) !=
          Status::kOk ||
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
  if (Query(connection, "SELECT id, sealed_key FROM providers ORDER BY id COLLATE \"C\"",
            Params(), deadline, rows, error) != Status::kOk ||
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
    if (Query(connection, "UPDATE providers SET sealed_key = $2 WHERE id = $1",
              Params().Text(id).Text(std::move(again)), deadline, done, error) != Status::kOk) {
      return failed("cannot write the provider " + id + ": " + error);
    }
    // A provider deleted meanwhile is left deleted.
    if (Changed(done.get())) ++count;
  }
  // The kept keys' digests were made with the old key and would not match again.
  Result forgotten;
  if (Query(connection, "DELETE FROM write_keys", Params(), deadline, forgotten, error) !=
      Status::kOk) {
    return failed("cannot forget the idempotency keys of " + where + ": " + error);
  }
  std::string check;
  if (!KeyCheck::Seal(*newBox, check, error)) return failed(error);
  if (!WriteKeyCheck(connection, check, fingerprint, deadline, error)) {
    return failed("cannot write the key check of " + where + ": " + error);
  }
  std::string why;
  if (Run(connection, "COMMIT", deadline, why) != Status::kOk) {
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
  // The server rolls back what a lost connection had open.
  auto const failed = [&](std::string const& what) {
    std::string ignored;
    if (connection.Up()) (void)Run(connection, "ROLLBACK", StatementDeadline(), ignored);
    return refuse(what);
  };
  if (Run(connection, BeginSchemaTransaction().c_str(), deadline(), error) != Status::kOk) {
    return failed("cannot start the copy into " + where + ": " + error);
  }
  if (!ApplyMigrations(connection, deadline(), where, error)) return failed(error);
  // Instances serving the database meanwhile wait: their writes for the tables, their calls
  // that seal or open a secret for the key check (they hold it shared).
  Result rows;
  if (Run(connection, "LOCK TABLE providers, servers IN SHARE ROW EXCLUSIVE MODE", deadline(),
          error) != Status::kOk ||
      Query(connection, "SELECT value FROM meta WHERE key = $1 FOR UPDATE",
            Params().Text(kFingerprintName), deadline(), rows, error) != Status::kOk ||
      !Shaped(rows.get(), 1, error)) {
    return failed("cannot lock the records of " + where + ": " + error);
  }
  std::string const replaced = PQntuples(rows.get()) > 0 ? Column(rows.get(), 0, 0) : "";
  if (Query(connection,
            "SELECT (SELECT count(*) FROM providers)::text, (SELECT count(*) FROM servers)::text",
            Params(), deadline(), rows, error) != Status::kOk ||
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
    if (Query(connection,
              "INSERT INTO providers (id, type, key_id, sealed_key) VALUES ($1, $2, $3, $4)",
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
    if (Query(connection,
              "INSERT INTO servers (kind, id, hostname, port, address, trusted_ca, grp) "
              "VALUES ($1, $2, $3, $4, $5, $6, $7)",
              params, deadline(), done, error) != Status::kOk) {
      return failed("cannot write the server " + server.id + " into " + where + ": " + error);
    }
  }
  if (!WriteKeyCheck(connection, records.keyCheck, records.keyFingerprint, deadline(), error)) {
    return failed("cannot write the key check of " + where + ": " + error);
  }
  // Never set back: numbers a server on this database drew before (for a server not kept)
  // stay given out.
  char const* const sequences[] = {"key_server_numbers", "attestation_service_numbers"};
  for (int kind = 0; kind < 2; ++kind) {
    if (highest[kind] == 0) continue;
    std::string const sql = std::string("SELECT setval('") + sequences[kind] + "', greatest(" +
                            std::to_string(highest[kind]) + ", last_value)) FROM " +
                            sequences[kind];
    if (Run(connection, sql.c_str(), deadline(), error) != Status::kOk) {
      return failed("cannot advance the numbers of " + where + ": " + error);
    }
  }
  std::string why;
  if (Run(connection, "COMMIT", deadline(), why) != Status::kOk) {
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
        Status const status = Execute(connection, "list_providers", Params(), rows, error);
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
        Status const status = Execute(connection, "get_provider", Params().Text(id), rows, error);
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
        Status const status = Execute(connection, "insert_provider", params, done, error);
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
        Status status = Execute(connection, "lock_provider", Params().Text(id), rows, error);
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
        return Execute(connection, "update_provider", params, done, error);
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
            Execute(connection, "delete_provider", Params().Text(id), done, error);
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
            Execute(connection, "list_servers", Params().Int(KindNumber(kind)), rows, error);
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
        Status const status = Execute(connection, "get_server",
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
        Status status = Execute(connection, "find_server", find, rows, error);
        if (status != Status::kOk) return status;
        if (PQntuples(rows.get()) > 0) return Status::kExists;
        // Another instance may insert the same address meanwhile: the unique index decides,
        // and the number drawn is then left unused (numbers are never reused).
        status = Execute(connection, "insert_server", insert, rows, error);
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
        Status const status = Execute(connection, "delete_server",
                                      Params().Int(KindNumber(kind)).Text(id), done, error);
        if (status != Status::kOk) return status;
        return Changed(done.get()) ? Status::kOk : Status::kNotFound;
      },
      [&] { return id; }, error);
}

}  // namespace ServerApp
