// Three tirn-server instances on one PostgreSQL database behind HAProxy (docs/haproxy.cfg), as
// an operator runs them, all on 127.0.0.1: an instance killed while clients write loses no
// acknowledged write, writes none twice and gives no identifier twice; the database restarted
// while clients call fails their calls promptly with service_unavailable, and they succeed
// again once it is back.
#include <spawn.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <algorithm>
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

#include "apps/server/postgres_cluster.h"
#include "apps/server/process_helpers.h"

extern char** environ;

namespace {

using namespace ServerApp::Testing;
using namespace std::chrono_literals;

// HAProxy in the foreground, with the configuration at `config`; killed with the object.
class Balancer {
 public:
  explicit Balancer(std::string const& config) {
    char const* argv[] = {"/usr/sbin/haproxy", "-f", config.c_str(), "-db", nullptr};
    if (posix_spawn(&pid_, argv[0], nullptr, nullptr, const_cast<char* const*>(argv), environ) != 0) {
      pid_ = -1;
    }
  }
  ~Balancer() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  bool started() const { return pid_ > 0; }

 private:
  pid_t pid_ = -1;
};

// docs/haproxy.cfg with the balancer's address and the instances filled in.
std::string BalancerConfig(std::string const& listen, std::vector<std::string> const& urls) {
  std::ifstream in(std::string(TIRN_SOURCE_DIR) + "/docs/haproxy.cfg");
  std::string text(std::istreambuf_iterator<char>(in), {});
  std::string servers;
  for (std::size_t i = 0; i < urls.size(); ++i) {
    servers += "    server instance" + std::to_string(i) + " 127.0.0.1:" + PortOf(urls[i]) +
               " check\n";
  }
  text.replace(text.find("@LISTEN@"), 8, listen);
  text.replace(text.find("@SERVERS@\n"), 10, servers);
  return text;
}

// A port that was free a moment ago.
std::string FreePort() {
  int const fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  bind(fd, reinterpret_cast<sockaddr*>(&address), size);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  close(fd);
  return std::to_string(ntohs(address.sin_port));
}

// What one client thread wrote and was told.
struct Written {
  std::vector<std::string> providers;   // creates answered ok
  std::vector<std::string> keyServers;  // identifiers answered
};

TEST(Cluster, AnInstanceKilledAndTheDatabaseRestartedLoseNothingAcknowledged) {
  auto& database = PostgresCluster::Shared();
  std::string error;
  std::string const uri = database.NewDatabase(error);
  ASSERT_FALSE(uri.empty()) << error;
  TempDir dir;
  std::vector<std::unique_ptr<Running>> instances;
  std::vector<std::string> urls;
  for (int n = 0; n < 3; ++n) {
    std::string const folder = dir.path + "/" + std::to_string(n);
    std::filesystem::create_directory(folder);
    // One at a time: the first makes the key file the others use.
    instances.push_back(std::make_unique<Running>(
        std::vector<std::string>{"--listen", "127.0.0.1:0", "--data", uri, "--key-file",
                                 dir.path + "/tirn.key", "--drain-delay", "0"},
        folder));
  }
  for (auto const& instance : instances) {
    ASSERT_FALSE(instance->url.empty()) << instance->line << instance->process.Stderr();
    urls.push_back(instance->url);
  }
  std::string const port = FreePort();
  std::ofstream(dir.path + "/haproxy.cfg") << BalancerConfig("127.0.0.1:" + port, urls);
  Balancer balancer(dir.path + "/haproxy.cfg");
  ASSERT_TRUE(balancer.started());
  int ready = 0;
  for (int i = 0; i < 100 && ready != 200; ++i) {
    std::this_thread::sleep_for(50ms);
    ready = Get(port, "/readyz").status;
  }
  ASSERT_EQ(ready, 200);
  std::string const url = "http://127.0.0.1:" + port;

  // Four clients write through the balancer; the second instance is killed after a while.
  constexpr int kClients = 4;
  constexpr int kWrites = 30;
  std::vector<Written> written(kClients);
  std::atomic<int> done{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([&, c] {
      Client client(url);
      for (int i = 0; i < kWrites; ++i) {
        std::string const id = "p" + std::to_string(c) + "-" + std::to_string(i);
        if (client.Create(id, "key-" + id, "kdk-" + id) == "ok") {
          written[c].providers.push_back(id);
        }
        std::string serverId;
        if (client.CreateKeyServer("kms-" + id, 5696, serverId) == "ok") {
          written[c].keyServers.push_back(serverId);
        }
        ++done;
      }
    });
  }
  while (done < kClients * kWrites / 3) std::this_thread::sleep_for(5ms);
  instances[1]->process.Signal(SIGKILL);
  for (auto& client : clients) client.join();

  Client reader(url);
  std::vector<std::string> const listed = reader.List();
  std::set<std::string> const present(listed.begin(), listed.end());
  EXPECT_EQ(present.size(), listed.size()) << "a provider listed twice";
  std::size_t acknowledged = 0;
  std::set<std::string> serverIds;
  std::size_t serverAnswers = 0;
  for (auto const& mine : written) {
    for (auto const& id : mine.providers) {
      ++acknowledged;
      EXPECT_EQ(present.count(id), 1u) << id << " was acknowledged and is missing";
    }
    serverIds.insert(mine.keyServers.begin(), mine.keyServers.end());
    serverAnswers += mine.keyServers.size();
  }
  EXPECT_EQ(serverIds.size(), serverAnswers) << "an identifier was given twice";
  // Whole: every provider there, acknowledged or caught by the kill, reads with its own key.
  for (auto const& id : listed) EXPECT_EQ(reader.KeyIdOf(id), "key-" + id);
  // Almost every write went through: the balancer sends nothing more to the dead instance.
  EXPECT_GE(acknowledged, static_cast<std::size_t>(kClients * kWrites * 9 / 10));
  std::cout << "cluster: " << acknowledged << " of " << kClients * kWrites
            << " creates acknowledged around the kill" << std::endl;

  // The database goes away: calls fail promptly with service_unavailable ...
  ASSERT_TRUE(database.Stop());
  auto const start = std::chrono::steady_clock::now();
  std::string const during = reader.Create("during", "k", "s");
  auto const waited = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(during, "com.ostrel.tirn.std.errors.service_unavailable");
  EXPECT_LT(waited, 3s);
  // ... and succeed again once it is back, without a restart of any instance.
  ASSERT_TRUE(database.Start(error)) << error;
  std::string after;
  for (int i = 0; i < 100 && after != "ok"; ++i) {
    std::this_thread::sleep_for(100ms);
    after = reader.Create("after", "key-after", "kdk-after");
  }
  EXPECT_EQ(after, "ok");
  EXPECT_EQ(reader.KeyIdOf("after"), "key-after");
}

}  // namespace
