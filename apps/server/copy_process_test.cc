// Runs `tirn-server copy` (TIRN_SERVER_BINARY) from a data file made through a server into
// databases of the test program's own PostgreSQL cluster (postgres_cluster.h), and checks the
// copy through servers started on the databases, called over 127.0.0.1, and by reading both
// stores' tables. Every wait is bounded.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/postgres_cluster.h"
#include "tests/process_helpers.h"

namespace {

using namespace ServerApp::Testing;

using Rows = std::vector<std::vector<std::string>>;

constexpr char kSecret[] = "kdk-copied-as-sealed-";


// The rows `sql` (selecting no nulls) reads from the SQLite file at `path`, as text.
Rows SqliteRows(std::string const& path, char const* sql) {
  Rows rows;
  sqlite3* db = nullptr;
  auto const add = [](void* out, int count, char** values, char**) {
    static_cast<Rows*>(out)->emplace_back(values, values + count);
    return 0;
  };
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_exec(db, sql, add, &rows, nullptr);
  }
  sqlite3_close(db);
  return rows;
}

// The rows `sql` reads from the database, or one row holding the first line of the error.
Rows PostgresRows(std::string const& uri, char const* sql) {
  Rows rows;
  std::string error;
  if (!PostgresSession(uri).Run(sql, rows, error)) rows = {{error.substr(0, error.find('\n'))}};
  return rows;
}

// What a copy writes to a database: its tables, the records, the key check and the
// sequences (or why each cannot be read). Equal before and after: nothing changed.
Rows Snapshot(std::string const& uri) {
  Rows all;
  for (char const* sql :
       {"SELECT table_name FROM information_schema.tables WHERE table_schema = 'public' "
        "ORDER BY 1",
        "SELECT id, key_id, encode(sealed_key, 'hex') FROM providers ORDER BY id",
        "SELECT kind, id, address FROM servers ORDER BY kind, id",
        "SELECT key, encode(value, 'hex') FROM meta ORDER BY key",
        "SELECT last_value, is_called FROM key_server_numbers",
        "SELECT last_value, is_called FROM attestation_service_numbers"}) {
    Rows const rows = PostgresRows(uri, sql);
    all.insert(all.end(), rows.begin(), rows.end());
  }
  return all;
}

// A data file made through a server, shared by the tests (a copy only reads it): three
// providers, key-server-1 and -2 (key-server-3 was made and deleted, so the next number is 4),
// and attestation-service-1.
class CopyCommand : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = std::make_unique<TempDir>();
    Running server(ServeArgs(Data()), dir_->path);
    ASSERT_FALSE(server.url.empty()) << server.process.Stderr();
    Client client(server.url);
    for (char const* id : {"bank", "vault", "zeta"}) {
      ASSERT_EQ(client.Create(id, std::string("key-") + id, kSecret + std::string(id)), "ok");
    }
    std::string id;
    for (char const* host : {"a.example", "b.example", "c.example"}) {
      ASSERT_EQ(client.CreateKeyServer(host, 443, id), "ok");
    }
    ASSERT_EQ(client.DeleteKeyServer("key-server-3"), "ok");
    ASSERT_EQ(client.CreateAttestationService("att.example", 8443, id), "ok");
    ASSERT_EQ(Stop(server.process), 0);
  }
  static void TearDownTestSuite() { dir_.reset(); }

  static std::string Dir() { return dir_->path; }
  static std::string Data() { return dir_->path + "/records.db"; }
  static std::string Key() { return Data() + ".key"; }
  static Finished Copy(std::string const& uri) {
    return RunToEnd({"copy", "--from", Data(), "--to", uri}, Dir());
  }

  // Each test copies into a fresh database of the cluster.
  void SetUp() override { ASSERT_FALSE(uri.empty()) << error; }
  std::string error;
  std::string const uri = PostgresCluster::Shared().NewDatabase(error);

 private:
  static std::unique_ptr<TempDir> dir_;
};

std::unique_ptr<TempDir> CopyCommand::dir_;

TEST_F(CopyCommand, CopiesEveryRecordAsStoredAndTheDatabaseServesThem) {
  auto const copied = Copy(uri);
  ASSERT_EQ(copied.status, 0) << copied.err;
  EXPECT_PRED2(Contains, copied.out, "copied 3 providers (their keys sealed as they were), 2 key "
                                     "servers and 1 attestation service from ");
  EXPECT_FALSE(Contains(copied.out + copied.err, kSecret));

  // Byte for byte, the providers' sealed keys and the key check: nothing was opened and sealed
  // again (a fresh nonce would show).
  Rows const sealed = SqliteRows(Data(),
                                 "SELECT id, lower(hex(sealed_key)) FROM providers UNION ALL "
                                 "SELECT key, lower(hex(value)) FROM meta ORDER BY 1");
  EXPECT_EQ(sealed.size(), 5u);
  EXPECT_EQ(PostgresRows(uri, "SELECT id, encode(sealed_key, 'hex') FROM providers UNION ALL "
                              "SELECT key, encode(value, 'hex') FROM meta ORDER BY 1"),
            sealed);

  // A server on the database with the data file's key opens every provider's key, and numbers
  // new servers after every number the file gave out (the deleted key-server-3 included).
  Running server(ServeWithKey(uri, Key()), Dir());
  ASSERT_FALSE(server.url.empty()) << server.process.Stderr();
  Client client(server.url);
  for (char const* id : {"bank", "vault", "zeta"}) {
    EXPECT_EQ(client.KeyIdOf(id), std::string("key-") + id);
  }
  EXPECT_EQ(client.KeyServerIds(), (std::vector<std::string>{"key-server-1", "key-server-2"}));
  std::string id;
  EXPECT_EQ(client.CreateKeyServer("d.example", 443, id), "ok");
  EXPECT_EQ(id, "key-server-4");
  EXPECT_EQ(client.CreateAttestationService("att2.example", 8443, id), "ok");
  EXPECT_EQ(id, "attestation-service-2");

  // Left with only the two servers made since, which the copy would not collide with, the
  // database still holds records: a second copy is refused and changes nothing.
  ASSERT_TRUE(PostgresSession(uri).Run("DELETE FROM providers; DELETE FROM servers WHERE id IN "
                                       "('key-server-1', 'key-server-2', 'attestation-service-1')",
                                       error))
      << error;
  Rows const before = Snapshot(uri);
  auto const again = Copy(uri);
  EXPECT_EQ(again.status, 1);
  EXPECT_PRED2(Contains, again.err,
               "holds records already (providers: 0, key servers and attestation services: 2)");
  EXPECT_TRUE(Contains(again.err, "nothing was changed")) << again.err;
  EXPECT_EQ(Snapshot(uri), before);
  EXPECT_EQ(Stop(server.process), 0);
}

// Each refusal and usage mistake ends with its status and reason, repeats no password, and
// leaves the database untouched (not even a schema made).
TEST_F(CopyCommand, RefusalsLeaveTheDatabaseUntouched) {
  Rows const empty = Snapshot(uri);
  std::string const otherKey = WriteFile(Dir() + "/other.key", std::string(64, 'a'));
  std::string withPassword = uri;
  withPassword.replace(withPassword.find("postgres@"), 9, "postgres:Hunter2Secret@");
  std::vector<Refusal> const cases = {
      {{"copy", "--from", Data(), "--to", uri, "--key-file", otherKey}, 1,
       "was written with another key"},
      {{"copy", "--from", Dir() + "/none.db", "--to", uri}, 1, "No such file"},
      {{"copy", "--from", Data(), "--to", withPassword}, 1, "the database URI holds a password"},
      {{"copy", "--from", Data()}, 2, "--to"},
      {{"copy", "--from", Data(), "--to", Dir() + "/copy.db"}, 2, "wants a PostgreSQL URI"},
  };
  ExpectRefusals(cases, Dir());
  {
    Running server(ServeArgs(Data()), Dir());
    ASSERT_FALSE(server.url.empty()) << server.process.Stderr();
    auto const run = Copy(uri);
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(Contains(run.err, "already running")) << run.err;
    EXPECT_EQ(Stop(server.process), 0);
  }
  EXPECT_EQ(Snapshot(uri), empty);
}

// A database a server made with another key and left without records takes the copy; but a
// copy that fails midway (at the first server, after the providers) leaves it as it was,
// its key check included.
TEST_F(CopyCommand, AFailureMidwayLeavesTheDatabaseAsItWas) {
  std::string const otherKey = Dir() + "/made-by-server.key";
  {
    Running server(ServeWithKey(uri, otherKey), Dir());
    ASSERT_FALSE(server.url.empty()) << server.process.Stderr();
    ASSERT_EQ(Stop(server.process), 0);
  }
  PostgresSession session(uri);
  ASSERT_TRUE(session.Run(
      "CREATE FUNCTION refuse() RETURNS trigger LANGUAGE plpgsql AS "
      "$$ BEGIN RAISE EXCEPTION 'refused here'; END $$; "
      "CREATE TRIGGER refuse BEFORE INSERT ON servers FOR EACH ROW EXECUTE FUNCTION refuse()",
      error))
      << error;
  Rows const before = Snapshot(uri);
  auto const failed = Copy(uri);
  EXPECT_EQ(failed.status, 1);
  EXPECT_TRUE(Contains(failed.err, "cannot write the server key-server-1")) << failed.err;
  EXPECT_TRUE(Contains(failed.err, "nothing was changed")) << failed.err;
  EXPECT_EQ(Snapshot(uri), before);

  ASSERT_TRUE(session.Run("DROP TRIGGER refuse ON servers", error)) << error;
  auto const copied = Copy(uri);
  ASSERT_EQ(copied.status, 0) << copied.err;
  EXPECT_TRUE(Contains(copied.err, "held the key check of another key")) << copied.err;
}

}  // namespace
