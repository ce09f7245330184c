// Three tirn-server instances on one PostgreSQL database behind HAProxy (docs/haproxy.cfg), as
// an operator runs them, all on 127.0.0.1. Writers call through the balancer while the
// instances are restarted one by one, one is killed, and the database restarts: every call is
// answered within its time limit, none fails during the restarts, every acknowledged write is
// there once, and none is done twice. And the balancer on its own: two instances of three
// killed at once cost no call that had not reached them.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/postgres_cluster.h"
#include "tests/process_helpers.h"

namespace {

using namespace ServerApp::Testing;
using namespace std::chrono_literals;

// Three instances on a database of their own behind HAProxy, each restartable on its port.
class Cluster {
 public:
  static constexpr int kInstances = 3;

  Cluster() {
    std::string error;
    uri_ = PostgresCluster::Shared().NewDatabase(error);
    if (uri_.empty()) {
      ADD_FAILURE() << error;
      return;
    }
    // docs/haproxy.cfg with the balancer's address and the instances filled in.
    std::ifstream in(std::string(TIRN_SOURCE_DIR) + "/docs/haproxy.cfg");
    std::string text(std::istreambuf_iterator<char>(in), {});
    std::string servers;
    for (int n = 0; n < kInstances; ++n) {
      // One at a time: the first makes the key file the others use.
      if (!Start(n, "0")) return;
      servers += "    server instance" + std::to_string(n) +
                 " 127.0.0.1:" + PortOf(instances_[n]->url) + " check\n";
    }
    port_ = std::to_string(PostgresCluster::FreePort());
    text.replace(text.find("@LISTEN@"), 8, "127.0.0.1:" + port_);
    text.replace(text.find("@SERVERS@\n"), 10, servers);
    std::string const config = dir_.path + "/haproxy.cfg";
    std::ofstream(config) << text;
    // HAProxy in the foreground; killed with the cluster.
    balancer_ = std::make_unique<TestSupport::ChildProcess>(
        std::vector<std::string>{"/usr/sbin/haproxy", "-f", config, "-db"});
    EXPECT_TRUE(balancer_->started());
    ready_ = WaitReady(port_);
  }

  bool ready() const { return ready_; }
  std::string url() const { return "http://127.0.0.1:" + port_; }
  Running& instance(int n) { return *instances_[n]; }

  // Starts instance `n` listening on `port` ("0": any), draining for a second on SIGTERM so
  // that the balancer's checks see it go first.
  bool Start(int n, std::string const& port) {
    std::string const folder = dir_.path + "/" + std::to_string(n);
    std::filesystem::create_directories(folder);
    auto const& started = instances_[n] = std::make_unique<Running>(
        std::vector<std::string>{"--listen", "127.0.0.1:" + port, "--data", uri_, "--key-file",
                                 dir_.path + "/tirn.key", "--drain-delay", "1.2"},
        folder);
    EXPECT_FALSE(started->url.empty()) << started->line << started->process.Stderr();
    return !started->url.empty();
  }

  // SIGTERM, the drain, the exit, and the same instance again on the same port.
  bool Restart(int n) {
    std::string const port = PortOf(instances_[n]->url);
    instances_[n]->process.Signal(SIGTERM);
    EXPECT_EQ(instances_[n]->process.Wait(), 0) << instances_[n]->process.Stderr();
    return Start(n, port) && WaitReady(port);
  }

  static bool WaitReady(std::string const& port) {
    for (int i = 0; i < 100; ++i) {
      if (Get(port, "/readyz").status == 200) return true;
      std::this_thread::sleep_for(50ms);
    }
    return false;
  }

 private:
  TempDir dir_;
  std::string uri_;
  std::string port_;
  std::vector<std::unique_ptr<Running>> instances_{kInstances};
  std::unique_ptr<TestSupport::ChildProcess> balancer_;
  bool ready_ = false;
};

// What the writers did and were told, by the phase they were in when each call ended.
struct Ledger {
  enum Phase { kSteady, kRolling, kKill, kDatabase, kPhases };
  static constexpr char const* kNames[kPhases] = {"steady", "rolling restart", "kill",
                                                  "database restart"};

  // A call's outcome; `created`, a provider (kind 0) or a key server (1), when it is "ok".
  void Note(std::string const& outcome, std::string const& created, int kind) {
    std::lock_guard<std::mutex> lock(mutex);
    ++calls[phase];
    if (outcome != "ok") ++failures[phase][outcome];
    if (outcome == "ok") acknowledged[kind].push_back(created);
  }

  std::atomic<Phase> phase{kSteady};
  std::mutex mutex;
  int calls[kPhases] = {};
  std::map<std::string, int> failures[kPhases];
  std::vector<std::string> acknowledged[2];  // providers, key servers
};

// "name xCOUNT; " for each.
std::string Describe(std::map<std::string, int> const& counts) {
  std::string text;
  for (auto const& [name, count] : counts) text += name + " x" + std::to_string(count) + "; ";
  return text;
}

TEST(Cluster, RestartsAKillAndTheDatabaseCostNoAcknowledgedWriteAndDoNoneTwice) {
  Cluster cluster;
  ASSERT_TRUE(cluster.ready());
  Ledger ledger;
  std::atomic<bool> stop{false};
  constexpr int kWriters = 8;
  std::vector<std::thread> writers;
  // A step that fails ends the test: its writers stop and are joined first.
  struct JoinWriters {
    std::atomic<bool>& stop;
    std::vector<std::thread>& threads;
    ~JoinWriters() {
      stop = true;
      for (auto& thread : threads) {
        if (thread.joinable()) thread.join();
      }
    }
  } joinWriters{stop, writers};
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([&, w] {
      Client client(cluster.url());
      for (int i = 0; !stop; ++i) {
        // Ids and addresses of this writer's own: a write done twice would answer
        // already_exists the second time.
        std::string const id = "w" + std::to_string(w) + "-" + std::to_string(i);
        ledger.Note(client.Create(id, "key-" + id, "kdk-" + id), id, 0);
        std::string serverId;
        ledger.Note(client.CreateKeyServer("kms-" + id, 5696, serverId), serverId, 1);
      }
    });
  }
  std::this_thread::sleep_for(500ms);
  ledger.phase = Ledger::kRolling;
  for (int n = 0; n < Cluster::kInstances; ++n) {
    ASSERT_TRUE(cluster.Restart(n)) << "instance " << n;
  }
  std::this_thread::sleep_for(500ms);
  ledger.phase = Ledger::kKill;
  cluster.instance(1).process.Signal(SIGKILL);
  std::this_thread::sleep_for(1s);
  ledger.phase = Ledger::kDatabase;
  auto& database = PostgresCluster::Shared();
  ASSERT_TRUE(database.Stop());
  std::string error;
  ASSERT_TRUE(database.Start(error)) << error;
  std::this_thread::sleep_for(1s);
  stop = true;
  for (auto& writer : writers) writer.join();

  for (int phase = 0; phase < Ledger::kPhases; ++phase) {
    auto const& failures = ledger.failures[phase];
    std::cout << "cluster: " << Ledger::kNames[phase] << ": " << ledger.calls[phase]
              << " calls, failed: " << Describe(failures) << std::endl;
    // Every call was answered within its time limit, and no write was answered as if done
    // before by someone else: it would have been done twice.
    EXPECT_EQ(failures.count("no answer"), 0u) << Ledger::kNames[phase];
    EXPECT_EQ(failures.count("com.ostrel.tirn.std.errors.already_exists"), 0u)
        << Ledger::kNames[phase];
    if (phase != Ledger::kDatabase) {
      EXPECT_TRUE(failures.empty()) << Ledger::kNames[phase] << ": " << Describe(failures);
    }
  }

  // Every acknowledged write is there, once.
  Client reader(cluster.url());
  std::vector<std::string> const listed[] = {reader.List(), reader.KeyServerIds()};
  for (int kind = 0; kind < 2; ++kind) {
    std::multiset<std::string> const ids(listed[kind].begin(), listed[kind].end());
    for (auto const& id : ledger.acknowledged[kind]) {
      EXPECT_EQ(ids.count(id), 1u) << id << " was acknowledged";
    }
  }
  EXPECT_GT(ledger.acknowledged[0].size(), 50u);
}

// The balancer alone, with a client that never tries a call again: two instances of three
// killed at once cost only the calls they were serving, never a call HAProxy could not place.
TEST(Cluster, TwoInstancesKilledAtOnceCostOnlyTheCallsTheyWereServing) {
  Cluster cluster;
  ASSERT_TRUE(cluster.ready());
  std::string const port = PortOf(cluster.url());
  std::atomic<bool> stop{false};
  std::mutex mutex;
  std::map<std::string, int> statuses;
  std::map<std::string, std::string> bodies;  // the first body of each status other than 200
  constexpr int kCallers = 8;
  std::vector<std::thread> callers;
  for (int c = 0; c < kCallers; ++c) {
    callers.emplace_back([&] {
      while (!stop) {
        Fetched const answer =
            Post(port, "/v1/com.ostrel.nox.trusted_infrastructure.kms.providers/list", "{}");
        std::string const status = std::to_string(answer.status);
        std::lock_guard<std::mutex> lock(mutex);
        ++statuses[status];
        if (status != "200") bodies.emplace(status, answer.body);
      }
    });
  }
  std::this_thread::sleep_for(300ms);
  cluster.instance(0).process.Signal(SIGKILL);
  cluster.instance(2).process.Signal(SIGKILL);
  std::this_thread::sleep_for(1500ms);
  stop = true;
  for (auto& caller : callers) caller.join();
  int failed = 0;
  std::string seen = Describe(statuses);
  for (auto const& [status, count] : statuses) failed += status == "200" ? 0 : count;
  for (auto const& [status, body] : bodies) seen += "\n" + status + ": " + body;
  std::cout << "balancer: " << seen << std::endl;
  EXPECT_EQ(statuses.count("503"), 0u) << seen;
  // Only calls that had reached a killed instance fail (502; their callers' clients send them
  // again): at most the one each caller had in flight, and one more sent on a connection
  // HAProxy kept open to it.
  EXPECT_LE(failed, 2 * kCallers) << seen;
  EXPECT_GT(statuses["200"], 100) << seen;
}

}  // namespace
