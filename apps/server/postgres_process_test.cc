// Runs tirn-server instances (TIRN_SERVER_BINARY) on one PostgreSQL database of the test
// program's own cluster (postgres_cluster.h), called over 127.0.0.1: the database going away
// and coming back under an instance, the key rotated while an instance serves, a start that
// waits for the database, and what is refused at start. Every wait is bounded.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tests/postgres_cluster.h"
#include "tests/process_helpers.h"

namespace {

using namespace ServerApp::Testing;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr char kUnavailable[] = "com.ostrel.tirn.std.errors.service_unavailable";

// The status `server` answers GET /readyz with.
int Readiness(Running const& server) { return Get(PortOf(server.url), "/readyz").status; }

// A fresh database of the cluster, and a folder for the instances' keys and logs.
class ServersOnPostgres : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(uri.empty()) << error; }

  // A folder of its own, for one process's log.
  std::string Folder(char const* name) const {
    std::string const path = dir.path + "/" + name;
    std::filesystem::create_directory(path);
    return path;
  }

  PostgresCluster& cluster = PostgresCluster::Shared();
  std::string error;
  std::string const uri = cluster.NewDatabase(error);
  TempDir dir;
};

// An instance outlives the database's absence. (Several instances sharing one database and key
// file: Cluster.RestartsAKillAndTheDatabaseCostNoAcknowledgedWriteAndDoNoneTwice.)
TEST_F(ServersOnPostgres, AnInstanceOutlivesTheDatabasesAbsence) {
  std::string const key = dir.path + "/shared.key";
  std::string const secret = "kdk-kept-sealed-6502";
  Running a(ServeWithKey(uri, key), Folder("a"));
  ASSERT_FALSE(a.url.empty()) << a.process.Stderr();
  // (Made with mode 0600: SecretBox.KeyFilesAreCreatedOnceAndReadInBothForms.)
  EXPECT_PRED2(Contains, a.process.Stderr(), "created the key file " + key);
  Client ca(a.url);
  ASSERT_EQ(ca.Create("vault", "key-vault", secret), "ok");

  // Away: calls are answered service_unavailable, the probe 503, and the log says why. (How
  // promptly, and that each change is said once, the store's and the probe's own tests show.)
  ASSERT_TRUE(cluster.Stop());
  EXPECT_EQ(ca.KeyIdOf("vault"), std::string("!") + kUnavailable);
  EXPECT_EQ(ca.Create("bank", "key-bank", secret), kUnavailable);
  EXPECT_EQ(Readiness(a), 503);
  EXPECT_PRED2(Contains, a.process.Stderr(), "not ready: ");
  EXPECT_PRED2(Contains, a.process.Stderr(), "cannot connect to the database");
  // Each attempt of the client (it tries a 503 again) is one store failure, counted as such.
  std::string const page = Get(PortOf(a.url), "/metrics").body;
  auto samples = Samples(page);
  double const attempts = samples["tirn_calls_total{operation=\"kms.providers.get\",outcome=\"" +
                                  std::string(kUnavailable) + "\"}"];
  EXPECT_GT(attempts, 0) << page;
  EXPECT_EQ(samples[R"(tirn_store_failures_total{operation="get_provider"})"], attempts) << page;
  EXPECT_EQ(samples[R"(tirn_store_unavailable_total{operation="get_provider"})"], attempts) << page;

  // Back, at the same address: it serves again without a restart.
  ASSERT_TRUE(cluster.Start(error)) << error;
  EXPECT_EQ(ca.KeyIdOf("vault"), "key-vault");
  EXPECT_EQ(ca.Create("bank", "key-bank", secret), "ok");
  EXPECT_EQ(ca.KeyIdOf("bank"), "key-bank");
  EXPECT_EQ(Readiness(a), 200);
  EXPECT_PRED2(Contains, a.process.Stderr(), "ready: the records can be served again");
  EXPECT_EQ(Stop(a.process), 0);
  EXPECT_FALSE(Contains(a.process.Stderr(), secret));
}

TEST_F(ServersOnPostgres, RekeyWhileAnInstanceServes) {
  std::string const oldKey = dir.path + "/old.key";
  std::string const newKey = dir.path + "/new.key";
  std::string const runs = Folder("runs");
  std::vector<std::string> const rekey = {"rekey",    "--data",         uri,   "--key-file",
                                          oldKey,     "--new-key-file", newKey};
  Running a(ServeWithKey(uri, oldKey), Folder("a"));
  ASSERT_FALSE(a.url.empty()) << a.process.Stderr();
  Client ca(a.url);
  ASSERT_EQ(ca.Create("vault", "key-vault", "kdk-vault"), "ok");

  // A rotation that fails after resealing a provider leaves everything sealed as it was: a
  // provider after "vault" whose sealed key does not open.
  ASSERT_EQ(ca.Create("zz-broken", "k", "s"), "ok");
  PostgresSession session(uri);
  ASSERT_TRUE(session.Run("UPDATE providers SET sealed_key = '\\x00' WHERE id = 'zz-broken'",
                          error))
      << error;
  auto const failed = RunToEnd(rekey, runs);
  EXPECT_EQ(failed.status, 1);
  EXPECT_TRUE(Contains(failed.err, "provider zz-broken does not open")) << failed.err;
  EXPECT_TRUE(Contains(failed.err, "nothing was changed")) << failed.err;
  EXPECT_EQ(ca.KeyIdOf("vault"), "key-vault");
  ASSERT_TRUE(session.Run("DELETE FROM providers WHERE id = 'zz-broken'", error)) << error;

  // A client keeps creating providers through A while the key is rotated: each acknowledged
  // creation was committed before the rotation took the key check, and is resealed; after it
  // A refuses.
  Writer writer(a.url, "w", "kdk-");
  writer.WaitFor(20);
  auto const rekeyed = RunToEnd(rekey, runs);
  // After the rotation the writer's next creation is refused, which ends it.
  writer.Join(rekeyed.status != 0);
  std::vector<std::string> const acknowledged = writer.Acknowledged();
  ASSERT_EQ(rekeyed.status, 0) << rekeyed.err;
  EXPECT_EQ(writer.Refusal(), kUnavailable);
  EXPECT_TRUE(Contains(rekeyed.out, "resealed " + std::to_string(1 + acknowledged.size()) +
                                        " provider keys"))
      << rekeyed.out << " (" << acknowledged.size() << " creations acknowledged)";
  EXPECT_TRUE(Contains(rekeyed.err, "warning: values sealed with the old key")) << rekeyed.err;
  EXPECT_FALSE(Contains(rekeyed.out + rekeyed.err, "kdk-"));

  // A, still with the old key, refuses to seal or open a secret, and says why in its log;
  // reads, which open none, are still answered.
  EXPECT_EQ(ca.Create("after", "key-after", "kdk-after"), kUnavailable);
  EXPECT_EQ(ca.KeyIdOf("vault"), "key-vault");
  EXPECT_PRED2(Contains, a.process.Stderr(), "no longer sealed with this server's key");
  EXPECT_EQ(Readiness(a), 503);

  // An instance with the new key serves every provider, and their secrets open.
  Running c(ServeWithKey(uri, newKey), Folder("c"));
  ASSERT_FALSE(c.url.empty()) << c.process.Stderr();
  Client cc(c.url);
  EXPECT_EQ(cc.KeyIdOf("vault"), "key-vault");
  std::size_t unreadable = 0;
  for (auto const& id : acknowledged) unreadable += cc.KeyIdOf(id) != "key-" + id;
  EXPECT_EQ(unreadable, 0u);
  EXPECT_EQ(cc.Create("after", "key-after", "kdk-after"), "ok");
  EXPECT_EQ(Readiness(c), 200);

  EXPECT_EQ(Stop(a.process), 0);
  EXPECT_EQ(Stop(c.process), 0);
}

// A server started while its database is away (a deploy, a restart of the database) waits for
// it, within --database-wait, and a stop signal ends the wait; a database that answers with a
// refusal is not waited for.
TEST_F(ServersOnPostgres, AStartWaitsForADatabaseThatDoesNotAnswerYet) {
  std::string const key = dir.path + "/wait.key";
  auto const waitingFor = [&](std::string const& database, char const* seconds) {
    auto args = ServeWithKey(database, key);
    args.insert(args.end(), {"--database-wait", seconds});
    return args;
  };
  auto const started = [&](char const* seconds, char const* folder) {
    return std::make_unique<ServerProcess>(Argv(TIRN_SERVER_BINARY, waitingFor(uri, seconds)),
                                           Folder(folder) + "/server.err");
  };
  ASSERT_TRUE(cluster.Stop());
  {
    auto const early = started("20", "early");
    ASSERT_TRUE(early->Says("waiting up to 20000 ms for the database: cannot connect"))
        << early->Stderr();
    ASSERT_TRUE(cluster.Start(error)) << error;
    std::string const line = early->NextLine();
    ASSERT_EQ(line.rfind("listening on http://127.0.0.1:", 0), 0u) << line << early->Stderr();
    EXPECT_EQ(Client(line.substr(13)).Create("vault", "key-vault", "kdk-waited"), "ok");
    EXPECT_EQ(Stop(*early), 0);
  }
  ASSERT_TRUE(cluster.Stop());
  {
    auto const stopped = started("60", "stopped");
    ASSERT_TRUE(stopped->Says("waiting up to 60000 ms")) << stopped->Stderr();
    auto const start = Clock::now();
    EXPECT_EQ(Stop(*stopped), 0);
    EXPECT_LT(Clock::now() - start, 5s);
    EXPECT_PRED2(Contains, stopped->Stderr(), "stopped before it started");
    auto const out = Clock::now();
    auto const late = RunToEnd(waitingFor(uri, "1"), dir.path);
    EXPECT_EQ(late.status, 1) << late.err;
    EXPECT_GE(Clock::now() - out, 1s);
    EXPECT_PRED2(Contains, late.err, "cannot start: cannot connect to the database");
    EXPECT_PRED2(Contains, late.err, "(tried for 1000 ms)");
  }
  ASSERT_TRUE(cluster.Start(error)) << error;
  ExpectRefusals({{waitingFor(cluster.Uri("no_such_database"), "60"), 1, "does not exist"}},
                 dir.path);
}

// Refused before any database is reached: each ends with its status and reason, never repeats
// a password, and makes no key file.
TEST_F(ServersOnPostgres, StartRefusals) {
  std::string const absentKey = dir.path + "/absent.key";
  std::string const openKey = WriteFile(dir.path + "/open.key", std::string(64, 'a'), 0644);
  // Nothing is ever connected to: the refusals come first.
  std::string const database = "127.0.0.1:9/tirn";
  std::string const inUserInfo = "postgresql://tirn:Hunter2Secret@" + database;
  std::string const asParameter = "postgres://tirn@" + database + "?password=Hunter2Secret";
  std::vector<Refusal> const cases = {
      {ServeWithKey(inUserInfo, absentKey), 1, "the database URI holds a password"},
      {ServeWithKey(asParameter, absentKey), 1, "the database URI holds a password"},
      {ServeArgs("postgresql://tirn@" + database), 1, "name the key file"},
      {ServeWithKey("postgresql://tirn@" + database, openKey), 1, "chmod 600"},
      {{"rekey", "--data", inUserInfo, "--key-file", openKey, "--new-key-file", absentKey}, 1,
       "the database URI holds a password"},
      {{"rekey", "--data", "postgresql://tirn@" + database, "--new-key-file", absentKey}, 2,
       "--key-file is required"},
      {{"backup", "--data", inUserInfo, "--to", dir.path + "/copy"}, 2, "pg_dump"},
  };
  ExpectRefusals(cases, dir.path, [&] { EXPECT_FALSE(std::filesystem::exists(absentKey)); });
}

}  // namespace
