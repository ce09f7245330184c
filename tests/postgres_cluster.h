// For tests of the PostgreSQL store: a throwaway PostgreSQL server of the test program's own,
// and a fresh database on it for each test.
//
// The server is made at first use: initdb into a new folder under /tmp (as the postgres user
// when the program runs as root, since initdb refuses root), listening on 127.0.0.1 only, at a
// free port, with fsync off. It is stopped (pg_ctl stop -m immediate) and its folder removed
// when the program's tests end, whether they passed or not: by a gtest environment, by its
// destructor at exit, and, should the program die first, by a guard process that waits for the
// program to go.
//
// The binaries are found in TIRN_POSTGRES_BIN, else in the newest /usr/lib/postgresql/*/bin.
//
// A program without gtest (a benchmark) defines TIRN_POSTGRES_CLUSTER_WITHOUT_GTEST before
// including this: the gtest environment is left out, and the destructor at exit and the guard
// process stop the server.
//
//   auto& cluster = ServerApp::Testing::PostgresCluster::Shared();
//   std::string error;
//   std::string const uri = cluster.NewDatabase(error);  // postgresql://postgres@127.0.0.1:P/t_1
//   ASSERT_FALSE(uri.empty()) << error;
//   cluster.Stop();                                       // the database goes away ...
//   ASSERT_TRUE(cluster.Start(error)) << error;           // ... and comes back, at the same port
#ifndef TESTS_POSTGRES_CLUSTER_H_
#define TESTS_POSTGRES_CLUSTER_H_

#include <arpa/inet.h>
#include <fcntl.h>
#include <libpq-fe.h>
#include <netinet/in.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#ifndef TIRN_POSTGRES_CLUSTER_WITHOUT_GTEST
#include <gtest/gtest.h>
#endif

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tests/child_process.h"


namespace ServerApp {
namespace Testing {

// A libpq connection of a test's own, beside the store's: to look under it, or to hold a lock.
class PostgresSession {
 public:
  explicit PostgresSession(std::string const& uri) : pg_(PQconnectdb(uri.c_str())) {}
  ~PostgresSession() { PQfinish(pg_); }
  PostgresSession(PostgresSession const&) = delete;
  PostgresSession& operator=(PostgresSession const&) = delete;

  bool Connected() const { return PQstatus(pg_) == CONNECTION_OK; }
  std::string Error() const { return PQerrorMessage(pg_); }

  // Runs `sql`; the rows of its last statement, as text, in `rows`. False with the reason.
  bool Run(std::string const& sql, std::vector<std::vector<std::string>>& rows,
           std::string& error) {
    rows.clear();
    PGresult* result = PQexec(pg_, sql.c_str());
    ExecStatusType const status = PQresultStatus(result);
    bool const ok = status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
    if (!ok) error = PQresultErrorMessage(result);
    for (int row = 0; ok && row < PQntuples(result); ++row) {
      rows.emplace_back();
      for (int column = 0; column < PQnfields(result); ++column) {
        rows.back().push_back(PQgetvalue(result, row, column));
      }
    }
    PQclear(result);
    return ok;
  }
  bool Run(std::string const& sql, std::string& error) {
    std::vector<std::vector<std::string>> ignored;
    return Run(sql, ignored, error);
  }

 private:
  PGconn* pg_;
};

class PostgresCluster {
 public:
  // The cluster of this test program, started at its first use.
  static PostgresCluster& Shared() {
    static PostgresCluster cluster;
    return cluster;
  }

  ~PostgresCluster() { Shutdown(); }
  PostgresCluster(PostgresCluster const&) = delete;
  PostgresCluster& operator=(PostgresCluster const&) = delete;

  // A new, empty database; its URI, or empty with the reason in `error`.
  std::string NewDatabase(std::string& error) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!running_ && !StartLocked(error)) return {};
    std::string const name = "t_" + std::to_string(++databases_);
    PostgresSession admin(Uri("postgres"));
    if (!admin.Connected()) error = admin.Error();
    return admin.Connected() && admin.Run("CREATE DATABASE " + name, error) ? Uri(name) : "";
  }

  // The URI of the database `name` on this cluster, as its superuser (no password: trust).
  std::string Uri(std::string const& name) const {
    return "postgresql://postgres@127.0.0.1:" + std::to_string(port_) + "/" + name;
  }
  int port() const { return port_; }

  // A port no one listens at on 127.0.0.1 just now.
  static int FreePort() {
    int const probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof address;
    bool const bound = probe >= 0 &&
                       bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                       getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length) == 0;
    if (probe >= 0) close(probe);
    return bound ? ntohs(address.sin_port) : 0;
  }

  // Starts the server (made at first use); it listens at the same port as before.
  bool Start(std::string& error) {
    std::lock_guard<std::mutex> lock(mutex_);
    return running_ || StartLocked(error);
  }

  // Takes the server away at once, as a crash would (pg_ctl stop -m immediate).
  bool Stop() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (running_ && PgCtl({"-m", "immediate", "stop"})) running_ = false;
    return !running_;
  }

  // Stops the server for good and removes its folder.
  void Shutdown() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (base_.empty()) return;
    if (running_) (void)PgCtl({"-m", "immediate", "stop"});
    running_ = false;
    std::error_code ignored;
    std::filesystem::remove_all(base_, ignored);
    base_.clear();
    if (guard_) {
      // Told that it is no longer needed, the guard finds nothing left to do.
      guard_->CloseIn();
      (void)guard_->Wait(std::chrono::minutes(1));
      guard_.reset();
    }
  }

 private:
  PostgresCluster() = default;

  bool StartLocked(std::string& error) {
    bool const first = base_.empty();
    if (first && !Create(error)) return false;
    std::string const log = base_ + "/server.log";
    // The port was free when it was chosen; another program (a test program beside this one)
    // may have taken it since. At the first start another is chosen then; later starts keep
    // theirs, since the tests count on the same address.
    for (int attempt = 1; !PgCtl({"-l", log, "-t", "30", "start"}); ++attempt) {
      std::ifstream in(log);
      std::string const said{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
      if (!first || attempt == 3 || said.find("Address already in use") == std::string::npos) {
        error = "pg_ctl start failed; see " + log + " and " + base_ + "/tools.log";
        return false;
      }
      port_ = FreePort();
      // The last setting of a name wins.
      std::ofstream conf(base_ + "/data/postgresql.conf", std::ios::app);
      conf << "\nport = " << port_ << "\n";
    }
    running_ = true;
    return true;
  }

  bool Create(std::string& error) {
    bin_ = BinDir();
    if (bin_.empty()) {
      error = "no PostgreSQL binaries (set TIRN_POSTGRES_BIN)";
      return false;
    }
    std::string pattern = "/tmp/tirn-postgres-XXXXXX";
    if (!mkdtemp(&pattern[0])) {
      error = "cannot make a folder under /tmp";
      return false;
    }
    base_ = pattern;
    std::string const sockets = base_ + "/sockets";
    mkdir(sockets.c_str(), 0700);
    if (geteuid() == 0) {
      passwd const* postgres = getpwnam("postgres");
      if (!postgres || chown(base_.c_str(), postgres->pw_uid, postgres->pw_gid) != 0 ||
          chown(sockets.c_str(), postgres->pw_uid, postgres->pw_gid) != 0) {
        error = "cannot hand " + base_ + " to the postgres user";
        return false;
      }
    }
    StartGuard();
    port_ = FreePort();
    if (port_ == 0 ||
        !Tool({bin_ + "/initdb", "-D", base_ + "/data", "--no-locale", "-E", "UTF8",
               "--auth=trust", "-U", "postgres", "--no-sync", "--no-instructions"})) {
      error = "initdb failed; see " + base_ + "/tools.log";
      return false;
    }
    std::ofstream(base_ + "/data/postgresql.conf", std::ios::app)
        << "\nlisten_addresses = '127.0.0.1'\nport = " << port_
        << "\nunix_socket_directories = '" << sockets
        << "'\nfsync = off\nfull_page_writes = off\n";
    return true;
  }

  // A guard process that stops the server and removes its folder once this program has gone
  // (its end of the pipe closes then, however it ends).
  void StartGuard() {
    std::string const script = "cat >/dev/null; " + AsPostgres() + bin_ + "/pg_ctl -D " + base_ +
                               "/data -m immediate stop; rm -rf " + base_;
    TestSupport::ChildOptions options;
    options.in = TestSupport::Stream::Pipe();
    options.out = TestSupport::Stream::Null();
    options.err = TestSupport::Stream::Null();
    guard_ = std::make_unique<TestSupport::ChildProcess>(
        std::vector<std::string>{"/bin/sh", "-c", script}, options);
  }

  static std::string BinDir() {
    if (char const* set = getenv("TIRN_POSTGRES_BIN")) return set;
    std::string best;
    int bestVersion = 0;
    std::error_code ignored;
    for (auto const& entry : std::filesystem::directory_iterator("/usr/lib/postgresql", ignored)) {
      int const version = std::atoi(entry.path().filename().c_str());
      if (version > bestVersion && std::filesystem::exists(entry.path() / "bin" / "initdb")) {
        bestVersion = version;
        best = (entry.path() / "bin").string();
      }
    }
    return best;
  }

  // initdb and pg_ctl refuse root: they run as the postgres user then.
  static std::string AsPostgres() {
    return geteuid() == 0 ? "/usr/sbin/runuser -u postgres -- " : "";
  }

  bool PgCtl(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {bin_ + "/pg_ctl", "-D", base_ + "/data", "-w"});
    return Tool(std::move(arguments));
  }

  // Runs a PostgreSQL program (as the postgres user when this is root) in /tmp, its output
  // added to tools.log; whether it succeeded.
  bool Tool(std::vector<std::string> arguments) {
    if (geteuid() == 0) {
      arguments.insert(arguments.begin(), {"/usr/sbin/runuser", "-u", "postgres", "--"});
    }
    TestSupport::ChildOptions options;
    options.out = TestSupport::Stream::AppendTo(base_ + "/tools.log");
    options.err = TestSupport::Stream::SameAsOut();
    options.directory = "/tmp";
    TestSupport::ChildProcess tool(std::move(arguments), options);
    return tool.started() && tool.Wait(std::chrono::minutes(5)) == 0;
  }

  std::mutex mutex_;
  std::string bin_;
  std::string base_;
  int port_ = 0;
  bool running_ = false;
  int databases_ = 0;
  std::unique_ptr<TestSupport::ChildProcess> guard_;
};

#ifndef TIRN_POSTGRES_CLUSTER_WITHOUT_GTEST
// Stops the cluster when the program's tests end, however they went.
class PostgresClusterEnvironment : public ::testing::Environment {
 public:
  void TearDown() override { PostgresCluster::Shared().Shutdown(); }
};

inline ::testing::Environment* const kPostgresClusterEnvironment =
    ::testing::AddGlobalTestEnvironment(new PostgresClusterEnvironment);
#endif

}  // namespace Testing
}  // namespace ServerApp

#endif  // TESTS_POSTGRES_CLUSTER_H_
