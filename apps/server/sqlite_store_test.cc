#include "apps/server/sqlite_store.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <boost/optional/optional_io.hpp>

#include <chrono>
#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <set>
#include <stdexcept>
#include <thread>

#include "apps/server/data_files.h"
#include "tirn/json/json.h"
#include "tests/test_files.h"
#include "tests/reference_services.h"
#ifdef TIRN_POSTGRES_TESTS
#include "tests/postgres_cluster.h"
#include "apps/server/postgres_store.h"
#endif

namespace ServerApp {
namespace {

using Reference::StoreStatus;
using Reference::Unseal;
using Reference::Testing::Call;
using Services = Reference::Testing::Services;
using Testing::ReadAll;
using Testing::TempDir;

namespace Ti = Reference::Ti;
namespace Providers = Ti::Kms::ProvidersSvc;
namespace KeyServers = Ti::Kms::ServicesSvc;

// The services' refusals, as Outcome::Describe gives them.
std::string const kErrors = "com.ostrel.tirn.std.errors.";
std::string const kProviderExists = kErrors + "already_exists reference.provider.exists";
std::string const kProviderNotFound = kErrors + "not_found reference.provider.not.found";
std::string const kNotNative = kErrors + "unsupported reference.provider.not.native";
std::string const kKeyReused = kErrors + "invalid_argument reference.idempotency.key.reused";

// The key-derivation key of provider `id` as `store` opens it; "!" and why when it does not.
std::string SecretOf(Reference::RecordStore& store, std::string const& id) {
  Reference::ProviderRecord record;
  std::string error;
  if (store.GetProvider(id, record, error, Unseal::kYes) != StoreStatus::kOk) return "!" + error;
  return record.keyDerivationKey.value();
}

// ---- Every store, through the services ------------------------------------------------------

class StoreTest : public ::testing::TestWithParam<char const*> {
 protected:
  void SetUp() override {
    if (std::string(GetParam()) == "memory") {
      store_ = std::make_shared<Reference::MemoryRecordStore>();
      return;
    }
    std::string error;
    auto box = SecretBox::WithRandomKey(error);
    ASSERT_TRUE(box) << error;
#ifdef TIRN_POSTGRES_TESTS
    if (std::string(GetParam()) == "postgres") {
      std::string const uri = Testing::PostgresCluster::Shared().NewDatabase(error);
      ASSERT_FALSE(uri.empty()) << error;
      store_ = PostgresRecordStore::Open(uri, std::move(box), 4, error);
      ASSERT_TRUE(store_) << error;
      return;
    }
#endif
    store_ = SqliteRecordStore::Open(dir_.path + "/records.db", std::move(box), error);
    ASSERT_TRUE(store_) << error;
  }

  TempDir dir_;
  std::shared_ptr<Reference::RecordStore> store_;
};

TEST_P(StoreTest, RecordsGoThroughTheirWholeLife) {
  Services services(store_);
  EXPECT_EQ(services.CreateProvider("vault", "key-1", "kdk-vault"), "ok");
  EXPECT_EQ(services.CreateProvider("authority", nullptr, ""), "ok");
  EXPECT_EQ(services.CreateProvider("vault", "key-2", "other"), kProviderExists);
  EXPECT_EQ(services.ProviderIds(), (std::vector<std::string>{"authority", "vault"}));

  EXPECT_EQ(services.UpdateKeyId("vault", "key-9"), "ok");
  EXPECT_EQ(services.UpdateKeyId("authority", "key-9"), kNotNative);
  EXPECT_EQ(services.UpdateKeyId("nobody", "key-9"), kProviderNotFound);
  auto vault = services.GetProvider("vault");
  ASSERT_TRUE(vault.value && (*vault.value)->native_info) << vault.Describe();
  EXPECT_EQ((*vault.value)->type.value(), Providers::ProviderType::NATIVE);
  EXPECT_EQ((*vault.value)->native_info->key_id, "key-9");
  // The key-derivation key is kept through the update, though the services never return it.
  EXPECT_EQ(SecretOf(*store_, "vault"), "kdk-vault");

  // Certificates come back as they went in, and so do fields of the address that the server
  // does not know.
  std::list<std::string> const chain = {"-----BEGIN\n12:ab\n", "", "3:x"};
  auto first = services.CreateKeyServer("kms.example", 443, "group-a", chain, "eu-west");
  auto second = services.CreateKeyServer("kms.example", boost::none);
  EXPECT_EQ(services.CreateKeyServer("kms.example", 443).Describe(),
            kErrors + "already_exists reference.key.server.exists");
  ASSERT_TRUE(first.value && second.value) << first.Describe() << second.Describe();
  EXPECT_EQ(*first.value, "key-server-1");
  EXPECT_EQ(*second.value, "key-server-2");
  // What the service answers for key server `id`, as JSON.
  auto const json = [&](std::string const& id) {
    auto info = Call<std::shared_ptr<KeyServers::Info const>>(
        [&](auto const& r) { services.keyServers->Get(id, nullptr, r); });
    std::string text;
    std::list<Tirn::BaseMessage> messages;
    return info.value && Tirn::Json::ToJson(**info.value, &text, messages) ? text : info.Describe();
  };
  EXPECT_EQ(json("key-server-1"),
            R"({"address":{"hostname":"kms.example","port":443,"zone":"eu-west"},)"
            R"("group":"group-a","trusted_CA":{"cert_chain":["-----BEGIN\n12:ab\n","","3:x"]}})");
  EXPECT_EQ(json("key-server-2"),
            R"({"address":{"hostname":"kms.example","port":null},"group":"g",)"
            R"("trusted_CA":{"cert_chain":[]}})");

  // Deleting frees the address but not the number.
  EXPECT_EQ(services.DeleteKeyServer("key-server-1"), "ok");
  EXPECT_EQ(services.DeleteKeyServer("key-server-1"),
            kErrors + "not_found reference.key.server.not.found");
  EXPECT_EQ(services.CreateKeyServer("kms.example", 443).value, std::string("key-server-3"));
  EXPECT_EQ(services.KeyServerIds(), (std::vector<std::string>{"key-server-2", "key-server-3"}));

  EXPECT_EQ(services.DeleteProvider("vault"), "ok");
  EXPECT_EQ(services.GetProvider("vault").Describe(), kProviderNotFound);
  EXPECT_EQ(services.ProviderIds(), (std::vector<std::string>{"authority"}));
}

// Runs `body(thread)` on `count` threads at once and waits for them all.
void OnThreads(int count, std::function<void(int)> const& body) {
  std::vector<std::thread> threads;
  for (int t = 0; t < count; ++t) threads.emplace_back(body, t);
  for (auto& thread : threads) thread.join();
}

TEST_P(StoreTest, ConcurrentCallsLoseNothing) {
  Services services(store_);
  constexpr int kThreads = 4;
  constexpr int kEach = 20;
  OnThreads(kThreads, [&services](int t) {
    for (int i = 0; i < kEach; ++i) {
      std::string const id = "p-" + std::to_string(t) + "-" + std::to_string(i);
      EXPECT_EQ(services.CreateProvider(id, "k", "s"), "ok");
      EXPECT_EQ(services.UpdateKeyId(id, "k" + std::to_string(i)), "ok");
      // Every thread creates a server at the same address; exactly one of them wins it.
      (void)services.CreateKeyServer("shared", i + 1);
      EXPECT_TRUE(services.CreateKeyServer("host-" + std::to_string(t), i + 1).value);
    }
  });
  EXPECT_EQ(services.ProviderIds().size(), static_cast<std::size_t>(kThreads * kEach));
  auto const servers = services.KeyServerIds();
  std::set<std::string> const unique(servers.begin(), servers.end());
  EXPECT_EQ(servers.size(), static_cast<std::size_t>(kThreads * kEach + kEach));
  EXPECT_EQ(unique.size(), servers.size());
  auto last = services.GetProvider("p-3-" + std::to_string(kEach - 1));
  ASSERT_TRUE(last.value && (*last.value)->native_info);
  EXPECT_EQ((*last.value)->native_info->key_id, "k" + std::to_string(kEach - 1));
}

// A write tried again with its key is answered as it was the first time, from what the store
// kept, and changes nothing: each step below would answer otherwise if it were done again.
TEST_P(StoreTest, KeyedWritesAreDoneOnceAndAnsweredAsTheFirstTime) {
  Services services(store_);
  auto const createServer = [&] { return services.CreateKeyServer("kms", 1).value.value_or("?"); };
  struct Step {
    char const* key;
    char const* caller;
    std::function<std::string()> call;
    std::string expected;
  } const steps[] = {
      {"k1", "", [&] { return services.CreateProvider("vault", "key-1"); }, "ok"},
      {"k1", "", [&] { return services.CreateProvider("vault", "key-1"); }, "ok"},
      {"", "", [&] { return services.CreateProvider("vault", "key-1"); }, kProviderExists},
      // The same key for another write, or with another input (the secret counts), is refused.
      {"k1", "", [&] { return services.CreateProvider("vault", "key-1", "other"); }, kKeyReused},
      {"k1", "", [&] { return services.CreateProvider("other", "key-1"); }, kKeyReused},
      {"k1", "", [&] { return services.DeleteProvider("vault"); }, kKeyReused},
      // Another caller's key of the same name is its own.
      {"k1", "bob", [&] { return services.CreateProvider("vault", "key-1"); }, kProviderExists},
      {"k1", "bob", [&] { return services.CreateProvider("vault", "key-1"); }, kProviderExists},
      // A refusal made inside the change is kept too: the provider is gone when it is replayed.
      {"", "", [&] { return services.CreateProvider("authority"); }, "ok"},
      {"k2", "", [&] { return services.UpdateKeyId("authority", "key-2"); }, kNotNative},
      {"", "", [&] { return services.DeleteProvider("authority"); }, "ok"},
      {"k2", "", [&] { return services.UpdateKeyId("authority", "key-2"); }, kNotNative},
      // An answer of not_found is kept, though the provider exists by the replay.
      {"k3", "", [&] { return services.DeleteProvider("late"); }, kProviderNotFound},
      {"", "", [&] { return services.CreateProvider("late"); }, "ok"},
      {"k3", "", [&] { return services.DeleteProvider("late"); }, kProviderNotFound},
      // A created server's identifier, and a delete's success.
      {"k4", "", createServer, "key-server-1"},
      {"k4", "", createServer, "key-server-1"},
      {"k5", "", [&] { return services.DeleteKeyServer("key-server-1"); }, "ok"},
      {"k5", "", [&] { return services.DeleteKeyServer("key-server-1"); }, "ok"},
  };
  for (auto const& step : steps) {
    SCOPED_TRACE("step " + std::to_string(&step - steps) + " key '" + step.key + "'");
    services.UseKey(step.key, step.caller);
    EXPECT_EQ(step.call(), step.expected);
  }
  services.UseKey("");
  EXPECT_EQ(services.ProviderIds(), (std::vector<std::string>{"late", "vault"}));
  EXPECT_TRUE(services.KeyServerIds().empty());
}

// Writes with one key at once: exactly one is done, and every one answers what it did.
TEST_P(StoreTest, ConcurrentWritesWithOneKeyAreDoneOnce) {
  Services services(store_);
  services.UseKey("race", "alice");
  constexpr int kThreads = 6;
  std::vector<std::string> ids(kThreads);
  OnThreads(kThreads, [&services, &ids](int t) {
    auto created = services.CreateKeyServer("kms", 443);
    ids[t] = created.value ? *created.value : created.Describe();
  });
  EXPECT_EQ(ids, std::vector<std::string>(kThreads, "key-server-1"));
  services.UseKey("");
  EXPECT_EQ(services.KeyServerIds(), std::vector<std::string>{"key-server-1"});
}

// A key kept longer than the store's window is forgotten: the same key then starts a new write.
TEST_P(StoreTest, KeysAreForgottenAfterTheirWindow) {
  store_->KeepKeysFor(std::chrono::seconds(1));
  Services services(store_);
  services.UseKey("k");
  EXPECT_EQ(services.CreateProvider("first"), "ok");
  EXPECT_EQ(services.CreateProvider("second"), kKeyReused);
  // Whole seconds are compared, so that the window has surely passed after two.
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));
  EXPECT_EQ(services.CreateProvider("second"), "ok");
  EXPECT_EQ(services.CreateProvider("second"), "ok");
  services.UseKey("");
  EXPECT_EQ(services.ProviderIds(), (std::vector<std::string>{"first", "second"}));
}

INSTANTIATE_TEST_SUITE_P(BothStores, StoreTest, ::testing::Values("memory", "sqlite"));
#ifdef TIRN_POSTGRES_TESTS
// The same, on a database of the test program's own PostgreSQL server (postgres_cluster.h).
INSTANTIATE_TEST_SUITE_P(Postgres, StoreTest, ::testing::Values("postgres"));
#endif

// ---- The SQLite file -----------------------------------------------------------------------

using Secrets = std::map<std::string, std::string>;

Secrets const kSecrets = {{"a", "kdk-a"}, {"b", std::string(300, 'b')}, {"c", "kdk-c"}};

// A store on `path` sealing with `box` that holds a native provider "<id>", with the key id
// "key-<id>", for each of `secrets`; null when it does not open.
std::shared_ptr<SqliteRecordStore> OpenWith(std::string const& path,
                                            std::shared_ptr<SecretBox const> box,
                                            Secrets const& secrets = {}) {
  std::string error;
  auto store = SqliteRecordStore::Open(path, std::move(box), error);
  EXPECT_TRUE(store) << error;
  for (auto const& [id, secret] : secrets) {
    if (!store) break;
    Reference::ProviderRecord const record = {id, Providers::ProviderType::NATIVE, "key-" + id,
                                              Tirn::SecretString(secret)};
    EXPECT_EQ(store->CreateProvider(record, error), StoreStatus::kOk) << error;
  }
  return store;
}

// The secret of every provider of `secrets` opened through a store on `path` with `box` ("!"
// and the reason when it does not open); {"refused", why} when the store does not open.
Secrets OpenedSecrets(std::string const& path, std::shared_ptr<SecretBox const> box,
                      Secrets const& secrets) {
  std::string error;
  auto store = SqliteRecordStore::Open(path, std::move(box), error);
  if (!store) return {{"refused", error}};
  Secrets opened;
  for (auto const& entry : secrets) opened[entry.first] = SecretOf(*store, entry.first);
  return opened;
}

// Runs `sql` on the file at `path` through a connection of its own: "" or what failed.
std::string Execute(std::string const& path, std::string const& sql) {
  Sqlite::Database db;
  std::string error;
  bool const done = db.Open(path, error) && db.Execute(sql.c_str(), error);
  return done ? "" : "failed: " + error;
}

// The result of `sql` (one value, as bytes) on the file at `path`, through a connection of its
// own.
std::string Query(std::string const& path, std::string const& sql) {
  Sqlite::Database db;
  Sqlite::Statement query;
  std::string error;
  if (!db.Open(path, error) || !query.Prepare(db, sql.c_str(), error) ||
      query.Next(error) != Sqlite::Step::kRow) {
    return "query failed: " + error;
  }
  return query.ColumnBlob(0);
}

// A folder of the test's own, a data file's path in it, and a random key to seal with.
class SqliteFile : public ::testing::Test {
 protected:
  TempDir dir;
  std::string const path = dir.path + "/records.db";
  std::string error;
  std::shared_ptr<SecretBox const> const box = SecretBox::WithRandomKey(error);
};
using SqliteCommits = SqliteFile;

TEST_F(SqliteFile, SecretsAreSealedWithAKeyFileMadeForThem) {
  ServerConfig config;
  config.dataFile = path;
  std::string const secret = "kdk-a-secret-that-must-not-be-on-disk";
  {
    OpenedData data;
    std::vector<std::string> notices;
    ASSERT_TRUE(OpenData(config, {}, data, notices, error)) << error;
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_NE(notices[0].find(config.dataFile + ".key"), std::string::npos) << notices[0];
    for (std::string const& file : {config.dataFile + ".key", config.dataFile}) {
      struct stat status {};
      ASSERT_EQ(stat(file.c_str(), &status), 0) << file;
      EXPECT_EQ(status.st_mode & 0777, 0600u) << file << " is readable by others";
    }

    Services services(data.store);
    // With an idempotency key, whose outcome is kept beside the record, without the input.
    services.UseKey("create-vault-key");
    ASSERT_EQ(services.CreateProvider("vault", "key-1", secret), "ok");
    // The WAL holds the change until a checkpoint: look at both while the store is open.
    std::string const onDisk = ReadAll(config.dataFile) + ReadAll(config.dataFile + "-wal");
    EXPECT_NE(onDisk.find("key-1"), std::string::npos) << "the record is not on disk at all";
    EXPECT_NE(onDisk.find("create-vault-key"), std::string::npos) << "the key was not kept";
    EXPECT_EQ(onDisk.find(secret), std::string::npos);
  }
  EXPECT_EQ(ReadAll(config.dataFile).find(secret), std::string::npos);
  OpenedData data;
  std::vector<std::string> notices;
  ASSERT_TRUE(OpenData(config, {}, data, notices, error)) << error;
  EXPECT_TRUE(notices.empty());
  EXPECT_EQ(SecretOf(*data.store, "vault"), secret);
}

TEST_F(SqliteFile, SchemaIsVersionedAndANewerOneRefused) {
  ASSERT_TRUE(SqliteRecordStore::Open(path, box, error)) << error;
  // Every migration applied, in order, and the file marked with the version they make.
  EXPECT_EQ(Query(path, "SELECT group_concat(version) FROM migrations"), "1,2");
  EXPECT_EQ(Query(path, "PRAGMA user_version"), std::to_string(SqliteRecordStore::kSchemaVersion));
  ASSERT_EQ(Execute(path, "PRAGMA user_version = 99"), "");
  EXPECT_FALSE(SqliteRecordStore::Open(path, box, error));
  EXPECT_NE(error.find("schema version 99"), std::string::npos) << error;
}

// A copy of a real data file, damaged in one place, is reported as damaged, with what SQLite
// found, and not as written with another key; so is a file that is no database at all.
TEST_F(SqliteFile, DamageIsToldApartFromAnotherKey) {
  std::string const original = dir.path + "/original.db";
  ASSERT_EQ(Services(SqliteRecordStore::Open(original, box, error)).CreateProvider("v", "k", "s"),
            "ok");
  // Where the check value lies: its bytes, and the page of its table.
  std::string const check = Query(original, "SELECT value FROM meta WHERE key = 'key_check'");
  auto const pageSize = std::stoul(Query(original, "PRAGMA page_size"));
  auto const pageAt = std::stoul(Query(original,
                                       "SELECT (rootpage - 1) * page_size FROM sqlite_master, "
                                       "pragma_page_size WHERE name = 'meta'"));
  std::string const bytes = ReadAll(original);
  std::size_t const checkAt = bytes.find(check);
  ASSERT_NE(checkAt, std::string::npos);

  struct Case {
    char const* name;
    std::function<void(std::string&)> damage;
    char const* said;
  } const cases[] = {
      {"a bit of the check value flipped", [&](std::string& file) { file[checkAt + 20] ^= 0x10; },
       "is damaged: its key-check value does not open"},
      {"the check value's page overwritten",
       [&](std::string& file) { file.replace(pageAt, pageSize, pageSize, '\x5a'); },
       "is damaged: database disk image is malformed;"},
      {"not a database at all", [](std::string& file) { file.assign(4096, 'x'); },
       "is not a database, or its header is damaged;"},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.name);
    std::string const path = dir.path + "/damaged-" + std::to_string(&c - cases) + ".db";
    std::string file = bytes;
    c.damage(file);
    std::ofstream(path, std::ios::binary) << file;
    EXPECT_FALSE(SqliteRecordStore::Open(path, box, error));
    EXPECT_NE(error.find("the data file " + path + " " + c.said), std::string::npos) << error;
    EXPECT_NE(error.find("restore it from a backup"), std::string::npos) << error;
    EXPECT_EQ(error.find("another key"), std::string::npos) << error;
  }
}

// Reads that answer without the key leave it sealed; where the key is used, a seal that does
// not open fails that use alone, naming the provider.
TEST_F(SqliteFile, ASealIsOpenedWhereItsKeyIsUsed) {
  auto store = OpenWith(path, box, {{"broken", "kdk-broken"}, {"whole", "kdk-whole"}});
  ASSERT_TRUE(store);
  ASSERT_EQ(Execute(path, "UPDATE providers SET sealed_key = x'00' WHERE id = 'broken'"), "");

  Reference::ProviderRecord record;
  ASSERT_EQ(store->GetProvider("broken", record, error), StoreStatus::kOk) << error;
  EXPECT_EQ(record.keyId, "key-broken");
  EXPECT_TRUE(record.keyDerivationKey.empty());
  std::vector<Reference::ProviderRecord> all;
  ASSERT_EQ(store->ListProviders(all, error), StoreStatus::kOk) << error;
  EXPECT_EQ(all.size(), 2u);

  EXPECT_EQ(store->GetProvider("broken", record, error, Unseal::kYes), StoreStatus::kFailed);
  EXPECT_NE(error.find("provider broken does not open"), std::string::npos) << error;
  auto const change = [](Reference::ProviderRecord& changed) {
    changed.keyId = "key-3";
    return true;
  };
  EXPECT_EQ(store->UpdateProvider("broken", change, error), StoreStatus::kFailed);
  EXPECT_EQ(store->UpdateProvider("whole", change, error), StoreStatus::kOk) << error;
  EXPECT_EQ(SecretOf(*store, "whole"), "kdk-whole");
}

// ---- Rekey ---------------------------------------------------------------------------------

constexpr char kSealedValues[] =
    "SELECT group_concat(v, ' ') FROM (SELECT id || '=' || hex(sealed_key) AS v FROM providers "
    "UNION ALL SELECT key || '=' || hex(value) FROM meta ORDER BY v)";

// A rekey reseals every secret with the new key and leaves no value sealed with the old one on
// disk, not even a deleted provider's in free space. One refused, or failing part-way, changes
// nothing: the file keeps every sealed value as it was and opens with the old key only.
TEST(SqliteRekey, ResealsEverySecretOrChangesNothing) {
  struct Case {
    char const* name;
    char const* sabotage;  // SQL run on the file before the rekey
    char const* said;      // in the refusal; none: the rekey is done
    char const* broken;    // the provider the sabotage damaged, if any
    bool sameKey = false;  // the new key is the old one, read again from its file
  } const cases[] = {
      {"done", "", nullptr, nullptr},
      {"the new key is the old one", "", "sealed with already", nullptr, true},
      {"a provider's key does not open with the old key",
       "UPDATE providers SET sealed_key = (SELECT sealed_key FROM providers WHERE id = 'a') "
       "WHERE id = 'b'",
       "the stored key of provider b does not open", "b"},
      {"the last provider's write refused",
       "CREATE TRIGGER refuse BEFORE UPDATE ON providers WHEN old.id = 'c' "
       "BEGIN SELECT RAISE(ABORT, 'refused by the test'); END",
       "refused by the test", nullptr},
      {"the key check's write refused, every provider resealed",
       "CREATE TRIGGER refuse BEFORE INSERT ON meta BEGIN SELECT RAISE(ABORT, 'refused by the "
       "test'); END",
       "refused by the test", nullptr},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    std::string const path = dir.path + "/records.db";
    std::string const keyFile = dir.path + "/old.key";
    std::string error;
    std::shared_ptr<SecretBox const> oldKey = SecretBox::CreateKeyFile(keyFile, error);
    std::shared_ptr<SecretBox const> newKey =
        c.sameKey ? SecretBox::FromKeyFile(keyFile, error) : SecretBox::WithRandomKey(error);
    ASSERT_TRUE(oldKey && newKey) << error;
    auto withGone = kSecrets;
    withGone["gone"] = "kdk-gone";
    ASSERT_TRUE(OpenWith(path, oldKey, withGone));
    // Every value sealed with the old key, the deleted provider's included.
    std::vector<std::string> oldValues = {
        Query(path, "SELECT value FROM meta WHERE key = 'key_check'")};
    for (auto const& entry : withGone) {
      oldValues.push_back(
          Query(path, "SELECT sealed_key FROM providers WHERE id = '" + entry.first + "'"));
    }
    // Deleted as an SQLite built without secure delete leaves it: in free space.
    ASSERT_EQ(Execute(path, "PRAGMA secure_delete = OFF; DELETE FROM providers WHERE id = "
                            "'gone'; " + std::string(c.sabotage)),
              "");
    std::string const before = Query(path, kSealedValues);
    auto store = SqliteRecordStore::Open(path, oldKey, error);
    ASSERT_TRUE(store) << error;
    std::size_t resealed = 0;
    std::vector<std::string> notices;
    bool const done = store->Rekey(newKey, resealed, notices, error);
    // The open store goes on with the key that the file is sealed with.
    EXPECT_EQ(SecretOf(*store, "a"), "kdk-a");
    std::string const onDisk = ReadAll(path) + ReadAll(path + "-wal");
    store.reset();

    if (c.said) {
      EXPECT_FALSE(done);
      EXPECT_NE(error.find(c.said), std::string::npos) << error;
      for (auto const& [id, secret] : kSecrets) EXPECT_EQ(error.find(secret), std::string::npos);
      EXPECT_EQ(Query(path, kSealedValues), before);
      auto expected = kSecrets;
      if (c.broken) expected.erase(c.broken);
      EXPECT_EQ(OpenedSecrets(path, oldKey, expected), expected);
      EXPECT_EQ(OpenedSecrets(path, newKey, kSecrets).count("refused"), c.sameKey ? 0u : 1u);
      continue;
    }
    ASSERT_TRUE(done) << error;
    EXPECT_EQ(resealed, kSecrets.size());
    EXPECT_TRUE(notices.empty()) << notices.front();
    for (auto const& value : oldValues) {
      ASSERT_NE(value.rfind("query failed", 0), 0u) << value;
      EXPECT_EQ(onDisk.find(value), std::string::npos) << "a value sealed with the old key is left";
    }
    EXPECT_EQ(OpenedSecrets(path, newKey, kSecrets), kSecrets);
    // The old key opens the file no more (the refusal's words are checked by
    // RekeyCommand.ResealsSoThatOnlyTheNewKeyOpens, maintenance_process_test).
    EXPECT_EQ(OpenedSecrets(path, oldKey, kSecrets).count("refused"), 1u);
  }
}

// ---- Changes from several threads share commits -------------------------------------------

// Blocks until `done` holds, or a bounded wait has passed.
bool WaitFor(std::function<bool()> const& done) {
  for (int i = 0; i < 10000 && !done(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return done();
}

// Changes that arrive while a commit is under way go into the next one together, each with
// its own outcome: one that fails undoes only what it did itself. Reads have a connection of
// their own and are answered meanwhile, with what was committed before. (A store in memory
// has a single connection, whose reads wait for the writer.)
TEST_F(SqliteCommits, ChangesWaitingShareTheNextCommitAndReadsDoNotWaitForIt) {
  auto const inMemory = SqliteRecordStore::Open(":memory:", box, error);
  ASSERT_TRUE(inMemory) << error;
  EXPECT_FALSE(inMemory->ReadsAtOnce());
  ASSERT_TRUE(OpenWith(path, box, {{"held", "s1"}}));
  ASSERT_EQ(Execute(path,
                    "CREATE TRIGGER refuse BEFORE INSERT ON servers WHEN new.hostname = "
                    "'refused.example' BEGIN SELECT RAISE(ABORT, 'refused by the test'); END"),
            "");
  auto store = SqliteRecordStore::Open(path, box, error);
  ASSERT_TRUE(store) << error;
  EXPECT_TRUE(store->ReadsAtOnce());
  auto const before = store->Counts();

  struct Outcome {
    StoreStatus status = StoreStatus::kFailed;
    std::string error;
    std::string id;
  };
  auto server = [&](char const* host, Outcome& out) {
    auto address = std::make_shared<Ti::NetworkAddress>();
    address->hostname = host;
    Reference::ServerRecord record = {"", address, std::make_shared<Ti::X509CertChain>(), ""};
    out.status = store->CreateServer(Reference::ServerKind::kKeyServer, "ks-", record, out.error);
    out.id = record.id;
  };
  auto provider = [&](char const* id, Outcome& out) {
    Reference::ProviderRecord const record = {id, Providers::ProviderType::TRUST_AUTHORITY, "", {}};
    out.status = store->CreateProvider(record, out.error);
  };
  Outcome refused, first, second, duplicate, created, missing, thrown;
  // A change to "held" holds the commit under way until released, then sets its key id.
  std::promise<void> entered, release;
  std::shared_future<void> const released = release.get_future().share();
  // Each waited for however the test leaves.
  std::vector<std::future<void>> threads;
  auto const start = [&threads](std::function<void()> body) {
    threads.push_back(std::async(std::launch::async, std::move(body)));
  };
  start([&] {
    auto const hold = [&](Reference::ProviderRecord& record) {
      entered.set_value();
      released.wait_for(std::chrono::seconds(10));
      record.keyId = "key-changed";
      return true;
    };
    std::string why;
    EXPECT_EQ(store->UpdateProvider("held", hold, why), StoreStatus::kOk) << why;
  });
  ASSERT_EQ(entered.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready)
      << "the change never began";

  // The refused create waits first: had its numbering been kept, the others' would skip one.
  start([&] { server("refused.example", refused); });
  ASSERT_TRUE(WaitFor([&] { return store->Counts().waiting == 1; }));
  start([&] { server("a.example", first); });
  start([&] { server("b.example", second); });
  start([&] { provider("held", duplicate); });
  start([&] { provider("new", created); });
  start([&] { missing.status = store->DeleteProvider("missing", missing.error); });
  start([&] {
    auto refuse = [](Reference::ProviderRecord&) -> bool {
      throw std::runtime_error("refused by its caller");
    };
    thrown.status = store->UpdateProvider("held", refuse, thrown.error);
  });
  ASSERT_TRUE(WaitFor([&] { return store->Counts().waiting == 7; }));
  Reference::ProviderRecord read;
  std::string readError;
  auto get = std::async(std::launch::async,
                        [&] { return store->GetProvider("held", read, readError); });
  bool const answered = get.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
  release.set_value();
  for (auto& thread : threads) thread.get();
  EXPECT_TRUE(answered) << "the read waited for the commit under way";
  EXPECT_EQ(get.get(), StoreStatus::kOk) << readError;
  EXPECT_EQ(read.keyId, "key-held");
  EXPECT_EQ(store->GetProvider("held", read, error), StoreStatus::kOk) << error;
  EXPECT_EQ(read.keyId, "key-changed") << "a read after the commit did not see it";

  auto const after = store->Counts();
  EXPECT_EQ(after.changes - before.changes, 8u);
  EXPECT_EQ(after.commits - before.commits, 2u);
  EXPECT_EQ(after.waiting, 0u);
  EXPECT_EQ(refused.status, StoreStatus::kFailed);
  EXPECT_NE(refused.error.find("refused by the test"), std::string::npos) << refused.error;
  EXPECT_EQ(first.status, StoreStatus::kOk) << first.error;
  EXPECT_EQ(second.status, StoreStatus::kOk) << second.error;
  EXPECT_EQ(std::set<std::string>({first.id, second.id}), std::set<std::string>({"ks-1", "ks-2"}));
  EXPECT_EQ(duplicate.status, StoreStatus::kExists);
  EXPECT_EQ(duplicate.error, "");
  EXPECT_EQ(created.status, StoreStatus::kOk) << created.error;
  EXPECT_EQ(missing.status, StoreStatus::kNotFound);
  EXPECT_EQ(missing.error, "");
  EXPECT_EQ(thrown.status, StoreStatus::kFailed);
  EXPECT_NE(thrown.error.find("refused by its caller"), std::string::npos) << thrown.error;

  // All of it is in the file, as another connection sees it.
  store.reset();
  EXPECT_EQ(Query(path, "SELECT group_concat(id, ' ') FROM (SELECT id FROM servers UNION ALL "
                        "SELECT id FROM providers ORDER BY id)"),
            "held ks-1 ks-2 new");
}

}  // namespace
}  // namespace ServerApp
