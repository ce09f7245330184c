// Runs `tirn-server rekey` and `tirn-server backup` (TIRN_SERVER_BINARY) on data files, with
// and without a server running on them, and checks the results through servers started on
// the files afterwards, called over 127.0.0.1. Every wait is bounded.
#include <sys/stat.h>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "tests/process_helpers.h"

namespace {

using namespace ServerApp::Testing;
using namespace std::chrono_literals;

// What PRAGMA integrity_check says of the database file at `path`, opened read-only.
std::string IntegrityCheck(std::string const& path) {
  std::string said = "cannot check";
  auto const first = [](void* out, int, char** values, char**) {
    *static_cast<std::string*>(out) = values[0];
    return 1;  // the first row is the verdict
  };
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_exec(db, "PRAGMA integrity_check", first, &said, nullptr);
  }
  sqlite3_close(db);
  return said;
}

// A folder for a data file, records.db, and its key, records.db.key.
class RekeyCommand : public ::testing::Test {
 protected:
  // Makes the data file and its key through a server that creates the provider "vault" with
  // `secret`; `whileServed` runs before the server stops.
  void MakeData(std::string const& secret, std::function<void(Running&)> const& whileServed = {}) {
    Running server(ServeArgs(data), dir.path);
    ASSERT_FALSE(server.url.empty()) << server.process.Stderr();
    ASSERT_EQ(Client(server.url).Create("vault", "key-vault", secret), "ok");
    if (whileServed) whileServed(server);
    ASSERT_EQ(Stop(server.process), 0);
  }

  TempDir dir;
  std::string const data = dir.path + "/records.db";
  std::string const key = data + ".key";
};
using BackupCommand = RekeyCommand;

// ---- rekey ---------------------------------------------------------------------------------

TEST_F(RekeyCommand, ResealsSoThatOnlyTheNewKeyOpens) {
  std::string const newKey = dir.path + "/new.key";
  std::string const secret = "kdk-rekeyed-8086";
  MakeData(secret, [&](Running& server) {
    // A server on the file holds it: the rekey is refused, and changes nothing.
    auto const refused = RunToEnd({"rekey", "--data", data, "--new-key-file", newKey}, dir.path);
    EXPECT_EQ(refused.status, 1);
    EXPECT_TRUE(Contains(refused.err, "already running")) << refused.err;
    EXPECT_FALSE(std::filesystem::exists(newKey));
    EXPECT_EQ(Client(server.url).KeyIdOf("vault"), "key-vault");
  });
  auto const rekeyed = RunToEnd({"rekey", "--data", data, "--new-key-file", newKey}, dir.path);
  ASSERT_EQ(rekeyed.status, 0) << rekeyed.err;
  EXPECT_TRUE(Contains(rekeyed.out, "created the key file " + newKey)) << rekeyed.out;
  EXPECT_TRUE(Contains(rekeyed.out, "resealed 1 provider key ")) << rekeyed.out;
  EXPECT_TRUE(Contains(rekeyed.out, "--key-file " + newKey)) << rekeyed.out;
  EXPECT_FALSE(Contains(rekeyed.out + rekeyed.err, secret));

  Running withNew(ServeWithKey(data, newKey), dir.path);
  ASSERT_FALSE(withNew.url.empty()) << withNew.process.Stderr();
  EXPECT_EQ(Client(withNew.url).KeyIdOf("vault"), "key-vault");
  EXPECT_EQ(Stop(withNew.process), 0);
  // The start with the old key file says what to do after a rekey.
  ExpectRefusals({{ServeArgs(data), 1,
                   "was written with another key; start the server with the key file it was "
                   "sealed with (after a tirn-server rekey"}},
                 dir.path);
}

// What rekey refuses, and the mistakes in how it and backup are called: each ends with its
// status and reason, and leaves the data file opening with its key.
TEST_F(RekeyCommand, RefusalsAndUsageMistakes) {
  MakeData("s");
  std::filesystem::copy_file(key, dir.path + "/same.key");
  std::string const other = WriteFile(dir.path + "/other.key", std::string(64, 'a'));
  WriteFile(dir.path + "/open.key", ReadAll(key), 0644);
  std::vector<Refusal> const cases = {
      {{"rekey", "--data", data, "--new-key-file", dir.path + "/same.key"}, 1, "holds the key of"},
      {{"rekey", "--data", data, "--new-key-file", dir.path + "/open.key"}, 1, "chmod 600"},
      {{"rekey", "--data", dir.path + "/none.db", "--new-key-file", other}, 1, "No such file"},
      {{"rekey", "--data", data}, 2, "new-key-file"},
      {{"rekey", "--data", data, "--new-key-file", ""}, 2, "wants a file name"},
      {{"rekey", "--data", data, "--new-key-file", other, "extra"}, 2,
       "(see tirn-server rekey --help)"},
      {{"backup", "--data", data}, 2, "--to"},
      {{"backup", "--data", ":memory:", "--to", dir.path + "/c.db"}, 2, ":memory:"},
  };
  ExpectRefusals(cases, dir.path);
  EXPECT_FALSE(std::filesystem::exists(dir.path + "/none.db"));
  Running server(ServeArgs(data), dir.path);
  ASSERT_FALSE(server.url.empty()) << server.process.Stderr();
  EXPECT_EQ(Client(server.url).KeyIdOf("vault"), "key-vault");
}

// ---- backup --------------------------------------------------------------------------------

// A backup taken while a client keeps creating providers holds every creation acknowledged
// before it began, passes SQLite's own check, and opens with the data file's key.
TEST_F(BackupCommand, CopiesALiveFileWithEveryAcknowledgedWrite) {
  std::string const copy = dir.path + "/copy.db";
  Running server(ServeArgs(data), dir.path);
  ASSERT_FALSE(server.url.empty()) << server.process.Stderr();
  // Secrets of a few kilobytes, so that the file outgrows what one step of the backup copies.
  Writer writer(server.url, "p", std::string(4000, 's'));
  writer.WaitFor(200);
  std::vector<std::string> const before = writer.Acknowledged();
  auto const backup = RunToEnd({"backup", "--data", data, "--to", copy}, dir.path);
  writer.Join();
  ASSERT_EQ(backup.status, 0) << backup.err;
  EXPECT_TRUE(Contains(backup.out, "the key file is not copied")) << backup.out;
  ASSERT_GE(before.size(), 200u);
  struct stat status {};
  ASSERT_EQ(stat(copy.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);
  for (auto const& entry : std::filesystem::directory_iterator(dir.path)) {
    EXPECT_FALSE(Contains(entry.path().string(), copy + ".")) << "left behind: " << entry.path();
  }
  // SQLite's own check of the copy as it lies on disk.
  EXPECT_EQ(IntegrityCheck(copy), "ok");

  // A second backup to the same name is refused, and the copy stays as it was.
  std::string const copied = ReadAll(copy);
  auto const again = RunToEnd({"backup", "--data", data, "--to", copy}, dir.path);
  EXPECT_EQ(again.status, 1);
  EXPECT_TRUE(Contains(again.err, "exists already")) << again.err;
  EXPECT_EQ(ReadAll(copy), copied);
  EXPECT_EQ(Stop(server.process), 0);

  // Without the key file the copy does not open; with it, every acknowledged record is there
  // and its sealed key opens.
  ExpectRefusals({{ServeArgs(copy), 1, "name the key it was written with"}}, dir.path);
  Running restored(ServeWithKey(copy, key), dir.path);
  ASSERT_FALSE(restored.url.empty()) << restored.process.Stderr();
  Client client(restored.url);
  int missing = 0;
  for (auto const& id : before) missing += client.KeyIdOf(id) != "key-" + id;
  EXPECT_EQ(missing, 0);
}

}  // namespace
