// Creates and gets per second through one tirn-server process, on SQLite and on PostgreSQL,
// beside plain SQLite and plain libpq writing and reading the same rows, and beside a bare HTTP
// server process answering the same bodies, in one run.
//
// Through the server: the program starts the tirn-server it was built with (TIRN_SERVER_BINARY;
// --server_binary=PATH names another build, to compare two in one sitting) on 127.0.0.1 at a
// free port, with its default options (two serving threads, eight call threads), on a data file
// in a temporary folder or on a database of a throwaway PostgreSQL cluster
// (tests/postgres_cluster.h), and calls its key-servers service through the generated
// stub over a Tirn::Http::ClientProvider. A create is `create` of a key server at an address
// not used before (so never already_exists); a get is `get` of one of kRecords key servers
// made beforehand.
//
// The floor: the same rows written and read with the sqlite3 C API or with libpq, from the same
// number of threads over ONE shared connection guarded by a mutex, with the durability the
// server's stores have. SQLite: WAL with synchronous=FULL, and a create runs the statements the
// server's store runs (look for the address, draw the number from the counters table, insert)
// in one BEGIN IMMEDIATE transaction. PostgreSQL: synchronous_commit as the server leaves it
// (on, the default), the store's table, unique index and sequence, and a create is one INSERT
// ... ON CONFLICT DO NOTHING RETURNING (one transaction, in which the unique index and the
// sequence check and number). A get is one SELECT by kind and identifier on both. The address
// and the certificate chain are stored as the JSON text the server stores. The keyed SQLite
// floor ("floor-keyed", creates only) also keeps in the same transaction the record the server
// keeps of each create's idempotency key (looked for, then written: the store's write_keys
// table and its indexes), so that its commit writes the pages the server's does.
//
// The cluster is the tests' fixture, made with fsync off; this program turns fsync and
// full_page_writes on (ALTER SYSTEM, then a reload) before it measures anything, so that a
// PostgreSQL commit reaches the disk as an SQLite one does. Without PostgreSQL's binaries the
// PostgreSQL cases are skipped with the reason.
//
// The bare server (tirn_bare_server, bare_server.cc): a minimal Beast server process with as
// many serving threads as tirn-server, answering every request with a fixed body. Two of them,
// one with the body tirn-server answered a create with and one with its answer to a get
// (recorded from the SQLite server before they start), are called through the same client and
// stub: the same requests, the same answers read, and no work in between. A server's CPU per
// request against the bare server's tells what the server does beyond the exchange. A create
// from one thread cannot beat a bare exchange followed by a plain SQLite create: that sum, the
// composite floor, is reported beside it.
//
// Each case runs 1, 8 or 64 client threads (each with a connection of its own), each making
// blocking operations one after another, after kWarmupOps untimed ones. Server, floor and bare
// server alternate at each (store, operation, threads), so that a change in the machine's load
// touches them alike. Every wait is bounded
// (kCallWait per operation, kRunLimit per case, kSetupWait for starting and stopping), and the
// server and the cluster are stopped at the end, also when the program fails: the server gets
// SIGTERM when this program goes (PR_SET_PDEATHSIG), the cluster has its guard process.
//
// The cores are kept awake for the run by spinners at SCHED_IDLE (AwakeCores): on the virtual
// machines this was written on, a commit that waits with both cores idle takes about 4 ms
// instead of 0.2 ms, which favours whichever side keeps its cores busy. --idle_cores leaves
// them idle, to see that effect.
//
// Counters per case: ops_per_s; p50_us and p99_us, the latency percentiles in microseconds;
// cpu_us_per_op, this process's CPU per operation (the clients' threads, or the floor's work
// in SQLite; not PostgreSQL's backends); server_cpu_us_per_op, the tirn-server process's CPU
// per operation (server cases only). The report ends with server / floor for operations per
// second and for p50 latency at each (store, operation, threads), then server / bare server for
// operations per second and server CPU per operation, and the SQLite creates from one thread
// against their composite floor.
//
//   cmake --preset bench && cmake --build --preset bench --target tirn_server_bench
//   build/bench/bench/tirn_server_bench [--benchmark_filter=sqlite] [--benchmark_repetitions=3]
//                                       [--idle_cores]
#include <fcntl.h>
#include <libpq-fe.h>
#include <sched.h>
#include <signal.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/statfs.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "bench/load.h"
#include "bench/median_reporter.h"
#include "com/ostrel/nox/trusted_infrastructure/kms/services/stub.h"
#include "com/ostrel/nox/trusted_infrastructure/operations.h"
#include "tirn/http/client_provider.h"
#include "tirn/http/io_threads.h"
#include "tirn/runtime/l10n/locale.h"
#include "tirn/runtime/value/build.h"
#include "tirn/stub/async_api_stub.h"

// The benchmark has no gtest; the cluster is stopped by Fixture::Stop, its destructor at exit
// and its guard process.
#define TIRN_POSTGRES_CLUSTER_WITHOUT_GTEST
#include "apps/server/postgres_store.h"
#include "apps/server/secret_box.h"
#include "apps/server/sqlite_store.h"
#include "tests/child_process.h"
#include "tests/postgres_cluster.h"

namespace {

namespace TI = Com::Ostrel::Nox::TrustedInfrastructure;
namespace KeyServers = TI::Kms::ServicesSvc;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kCallWait = 10s;    // no single operation may take longer
constexpr auto kSetupWait = 30s;   // starting or stopping a server, warming up, seeding
constexpr auto kRunLimit = 120s;   // no case may take longer
constexpr int kWarmupOps = 5;      // per thread, untimed
constexpr int kRecords = 256;      // key servers made before the gets, read in turn
constexpr int kThreadCounts[] = {1, 8, 64};
// The tirn-server the cases start (--server_binary=PATH), and the bare server.
std::string serverBinary = TIRN_SERVER_BINARY;
std::string const bareBinary = TIRN_BARE_SERVER_BINARY;
constexpr std::int64_t kPort = 5696;
constexpr char kGroup[] = "bench";
constexpr char kIdPrefix[] = "key-server-";  // what the server calls its key servers

enum class Store { kSqlite, kPostgres };
enum class Operation { kCreate, kGet };
enum class Kind { kServer, kFloor, kKeyedFloor, kBare };

char const* Name(Store store) { return store == Store::kSqlite ? "sqlite" : "postgres"; }
char const* Name(Operation op) { return op == Operation::kCreate ? "create" : "get"; }
char const* Name(Kind kind) {
  switch (kind) {
    case Kind::kServer:
      return "server";
    case Kind::kFloor:
      return "floor";
    case Kind::kKeyedFloor:
      return "floor-keyed";
    case Kind::kBare:
      break;
  }
  return "bare";
}

// Operations timed per case, shared among the threads. Creates wait for the disk, gets do not.
int OpsFor(Operation op, int threads) {
  if (op == Operation::kCreate) return threads > 1 ? 3200 : 1600;
  return threads > 1 ? 10000 : 5000;
}

// A host name not used before in this run.
std::string NextHost() {
  static std::atomic<long> next{0};
  return "kms-" + std::to_string(++next) + ".bench.example";
}

// A certificate chain of one certificate of a common size (about 1 KB of base64, one line).
std::string const& Certificate() {
  static std::string const certificate = [] {
    std::string text = "MIIDdzCCAl";
    char const alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    while (text.size() < 1024) text += alphabet[(text.size() * 7) % (sizeof alphabet - 1)];
    return text;
  }();
  return certificate;
}

// The JSON text the server stores for a key server's address and certificate chain.
std::string AddressJson(std::string const& host) {
  return "{\"hostname\":\"" + host + "\",\"port\":" + std::to_string(kPort) + "}";
}
std::string const& TrustedCaJson() {
  static std::string const text = "{\"cert_chain\":[\"" + Certificate() + "\"]}";
  return text;
}

// User and system time of every thread of this process so far.

// A folder under the system's temporary folder, removed with its object.
class TempFolder {
 public:
  TempFolder() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "tirn-server-bench-XXXXXX").string();
    if (mkdtemp(&pattern[0])) path_ = pattern;
  }
  ~TempFolder() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  TempFolder(TempFolder const&) = delete;
  TempFolder& operator=(TempFolder const&) = delete;

  std::string const& path() const { return path_; }

 private:
  std::string path_;
};

// What the disk under the temporary folder is and how long it takes to make a small write
// durable, the work every create waits for: the file system's name, and the median and 90th
// percentile of 200 fdatasync calls after a 4 KiB write each, in a file of its own.
std::string DiskNote() {
  TempFolder folder;
  std::string const file = folder.path() + "/probe";
  int const fd = folder.path().empty() ? -1 : ::open(file.c_str(), O_CREAT | O_WRONLY, 0600);
  if (fd < 0) return "disk: cannot write in the temporary folder";
  struct statfs facts {};
  std::string system = "unknown";
  if (::fstatfs(fd, &facts) == 0) {
    static std::map<long, char const*> const names = {
        {0xEF53, "ext4"},     {0x01021994, "tmpfs"}, {0x58465342, "xfs"},
        {0x9123683E, "btrfs"}, {0x794C7630, "overlayfs"}};
    auto const found = names.find(static_cast<long>(facts.f_type));
    system = found != names.end() ? found->second : "type " + std::to_string(facts.f_type);
  }
  std::vector<double> micros;
  std::string const block(4096, 'x');
  for (int i = 0; i < 200; ++i) {
    if (::pwrite(fd, block.data(), block.size(), static_cast<off_t>(i) * 4096) < 0) break;
    auto const start = std::chrono::steady_clock::now();
    if (::fdatasync(fd) != 0) break;
    micros.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() -
                                                               start)
                         .count());
  }
  ::close(fd);
  if (micros.empty()) return "disk: " + system + ", fdatasync failed";
  std::sort(micros.begin(), micros.end());
  char text[160];
  std::snprintf(text, sizeof text, "disk: %s under %s; fdatasync of 4 KiB: p50 %.0f us, p90 %.0f us",
                system.c_str(), std::filesystem::temp_directory_path().c_str(),
                micros[micros.size() / 2], micros[micros.size() * 9 / 10]);
  return text;
}

// Keeps every core awake for the run: one process per core that spins at SCHED_IDLE, so that it
// runs only when nothing else wants the core. On this kind of virtual machine a core that goes
// idle while a thread waits for the disk or the network takes milliseconds to come back, and a
// side that keeps its cores busy (the server, with its client's threads) would be favoured over
// one that waits (the floor). Made before any thread is, stopped with its object, and killed by
// the kernel should this program end first.
class AwakeCores {
 public:
  AwakeCores() {
    long const cores = sysconf(_SC_NPROCESSORS_ONLN);
    pid_t const parent = getpid();
    for (long i = 0; i < cores; ++i) {
      pid_t const child = fork();
      if (child == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(0);
        sched_param const lowest{0};
        if (sched_setscheduler(0, SCHED_IDLE, &lowest) != 0) _exit(1);
        for (volatile unsigned long spins = 0;; spins = spins + 1) {
        }
      }
      if (child > 0) children_.push_back(child);
    }
  }
  ~AwakeCores() {
    for (pid_t child : children_) kill(child, SIGKILL);
    for (pid_t child : children_) waitpid(child, nullptr, 0);
  }
  AwakeCores(AwakeCores const&) = delete;
  AwakeCores& operator=(AwakeCores const&) = delete;

  std::size_t count() const { return children_.size(); }

 private:
  std::vector<pid_t> children_;
};

// ---- Through the server --------------------------------------------------------------------

// Writes a new random 32-byte key (mode 0600) to `path`, for --key-file. False with the reason.
bool WriteKeyFile(std::string const& path, std::string* error) {
  unsigned char key[32];
  std::ifstream random("/dev/urandom", std::ios::binary);
  bool ok = static_cast<bool>(random.read(reinterpret_cast<char*>(key), sizeof key));
  int const fd = ok ? open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600) : -1;
  ok = fd >= 0 && write(fd, key, sizeof key) == static_cast<ssize_t>(sizeof key);
  if (fd >= 0) close(fd);
  if (!ok) *error = "cannot write the key file " + path;
  return ok;
}

// A running server program (tirn-server or the bare server): its start line read from stdout,
// stderr (tirn-server's access log) into a file. Stopped with SIGTERM by Stop or the destructor,
// and by the kernel when the thread that started it ends (start it from the main thread).
class ServerProgram {
 public:
  ServerProgram() = default;
  ~ServerProgram() { Stop(); }
  ServerProgram(ServerProgram const&) = delete;
  ServerProgram& operator=(ServerProgram const&) = delete;

  // Starts the program `args` (its path first) and waits for its start line; the URL it
  // listens at, or empty with the reason in `*error`.
  std::string Start(std::vector<std::string> args, std::string const& stderrFile,
                    std::string* error) {
    std::string const program = args.front();
    TestSupport::ChildOptions options;
    options.out = TestSupport::Stream::Pipe();
    options.err = TestSupport::Stream::ToFile(stderrFile);
    options.deathSignal = SIGTERM;
    process_ = std::make_unique<TestSupport::ChildProcess>(std::move(args), options);
    if (!process_->started()) {
      process_.reset();
      *error = "cannot start " + program;
      return {};
    }
    stderrFile_ = stderrFile;
    std::string const line =
        process_->ReadLine(std::chrono::duration_cast<std::chrono::milliseconds>(kSetupWait));
    std::string const prefix = "listening on http://127.0.0.1:";
    if (line.rfind(prefix, 0) != 0 || line.size() == prefix.size()) {
      *error = program + " did not start (start line \"" + line + "\"); its stderr: " +
               ReadFile(stderrFile);
      Stop();
      return {};
    }
    return line.substr(std::string("listening on ").size());
  }

  // Stops the program (SIGTERM, then SIGKILL after kSetupWait); its exit status, or -1.
  int Stop() {
    if (!process_) return -1;
    process_->Signal(SIGTERM);
    int const status = process_->Wait(std::chrono::duration_cast<std::chrono::milliseconds>(kSetupWait));
    process_.reset();
    return status;
  }

  // User and system time of the program so far (in clock ticks, 10 ms here); -1 when unknown.
  double CpuSeconds() const {
    if (!process_) return -1;
    std::ifstream in("/proc/" + std::to_string(process_->pid()) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::size_t const end = text.rfind(')');
    if (end == std::string::npos) return -1;
    // After the name: state (field 3) ... utime (14), stime (15).
    std::istringstream fields(text.substr(end + 2));
    std::string field;
    double ticks = 0;
    for (int index = 3; index <= 15 && fields >> field; ++index) {
      if (index >= 14) ticks += std::stod(field);
    }
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
  }

  // The last note the program logged (a line of its stderr that is not an access-log line),
  // which says why a call failed inside it; empty when there is none.
  std::string LastNote() const {
    std::istringstream lines(ReadFile(stderrFile_));
    std::string line;
    std::string note;
    while (std::getline(lines, line)) {
      if (line.find(" note ") != std::string::npos) note = line;
    }
    return note;
  }

 private:
  static std::string ReadFile(std::string const& path) {
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }

  std::unique_ptr<TestSupport::ChildProcess> process_;
  std::string stderrFile_;
};

// Stores key servers and reads them: through the server, or straight into a database.
class Side {
 public:
  virtual ~Side() = default;
  // Stores a new key server at `host`:kPort; its identifier in `*id`. False with the reason.
  virtual bool Create(std::string const& host, std::string* id, std::string* error) = 0;
  // Reads the key server `id`. False with the reason.
  virtual bool Get(std::string const& id, std::string* error) = 0;
  // CPU time of the server process so far; negative for a floor.
  virtual double ServerCpuSeconds() const { return -1; }
  // The server's URL; empty for a floor.
  virtual std::string Url() const { return {}; }
};

// A server process and the generated key-servers stub on a client provider of two I/O
// threads, with a connection for each client thread.
class ThroughServer final : public Side {
 public:
  // Starts the server `args` (its path first); null with the reason when it does not start.
  static std::unique_ptr<ThroughServer> Start(std::vector<std::string> const& args,
                                              std::string const& stderrFile, std::string* error) {
    std::unique_ptr<ThroughServer> side(new ThroughServer());
    std::string const url = side->program_.Start(args, stderrFile, error);
    if (url.empty()) return nullptr;
    side->url_ = url;
    Tirn::Http::ClientOptions options;
    options.poolSize = static_cast<std::size_t>(
        *std::max_element(std::begin(kThreadCounts), std::end(kThreadCounts)));
    options.defaultTimeout = std::chrono::duration_cast<std::chrono::milliseconds>(kCallWait);
    auto provider = std::make_shared<Tirn::Http::ClientProvider>(side->threads_.contexts(), url,
                                                                 TI::Operations(), options);
    auto templateActivation = std::make_shared<Tirn::Core::AsyncActivation>();
    templateActivation->executionContext = std::make_shared<Tirn::Core::ExecutionContext>();
    templateActivation->requestLocalizer.localeSpec =
        std::make_shared<Tirn::L10n::LocaleSpec const>("en-US", "C", "Europe/Berlin");
    side->stub_ = std::make_unique<KeyServers::AsyncServiceStub>(
        std::make_shared<Tirn::Stub::AsyncApiStub>(provider, templateActivation));
    side->trustedCa_ = Tirn::Build<TI::X509CertChain>(
        [](auto& chain) { chain.cert_chain = {Certificate()}; });
    return side;
  }

  ~ThroughServer() override {
    stub_.reset();  // the client goes before the server
    program_.Stop();
  }

  bool Create(std::string const& host, std::string* id, std::string* error) override {
    auto input = Tirn::Build<KeyServers::CreateSpec>([&](auto& fields) {
      fields.address = Tirn::Build<TI::NetworkAddress>([&](auto& address) {
        address.hostname = host;
        address.port = kPort;
      });
      fields.trusted_CA = trustedCa_;
      fields.group = kGroup;
    });
    boost::optional<std::string> made;
    if (!Await<std::string>([&](auto const& result) { stub_->Create(input, nullptr, result); },
                            &made, error)) {
      return false;
    }
    *id = made ? *made : std::string();
    if (id->empty()) *error = "create answered no identifier";
    return !id->empty();
  }

  bool Get(std::string const& id, std::string* error) override {
    boost::optional<KeyServers::GetMethod::Result> info;
    if (!Await<KeyServers::GetMethod::Result>(
            [&](auto const& result) { stub_->Get(id, nullptr, result); }, &info, error)) {
      return false;
    }
    if (!info || !*info || !(*info)->address || (*info)->address->hostname.empty()) {
      *error = "get answered no address";
      return false;
    }
    return true;
  }

  double ServerCpuSeconds() const override { return program_.CpuSeconds(); }
  std::string Url() const override { return url_; }

 private:
  ThroughServer() = default;

  // Makes a call through `invoke` and waits for its end (bounded); its value in `*value`.
  // The answer is kept in a state of its own, so that one coming after the wait has given up
  // writes nowhere it should not.
  template <class T, class Invoke>
  bool Await(Invoke const& invoke, boost::optional<T>* value, std::string* error) {
    struct Answer {
      std::promise<void> done;
      boost::optional<T> value;
      std::string error;
    };
    auto answer = std::make_shared<Answer>();
    auto future = answer->done.get_future();
    invoke(Tirn::AsyncResult<T, Tirn::AsyncResultTerminateCbPolicy>(
        [answer](boost::optional<T> const& got, Tirn::Data::ErrorValuePtr const& failure,
                 Tirn::Progress const& progress) {
          if (!progress.IsFinal()) return;
          if (failure) {
            answer->error = failure->name();
          } else {
            answer->value = got;
          }
          answer->done.set_value();
        }));
    // The client provider's own time limit (kCallWait) answers first; the margin is for it.
    if (future.wait_for(kCallWait + 1s) != std::future_status::ready) {
      *error = "no answer in time";
      return false;
    }
    *error = answer->error;
    *value = std::move(answer->value);
    if (error->empty()) return true;
    std::string const note = program_.LastNote();
    if (!note.empty()) *error += " (the server's last note: " + note + ")";
    return false;
  }

  ServerProgram program_;
  std::string url_;
  Tirn::Http::IoThreads threads_{2};
  std::unique_ptr<KeyServers::AsyncServiceStub> stub_;
  std::shared_ptr<TI::X509CertChain const> trustedCa_;
};

// ---- The bare server ------------------------------------------------------------------------

// POSTs `body` as JSON to `path` of the server at `url` (http://127.0.0.1:PORT) over a
// connection of its own; the answer's body, or empty with the reason when the answer is not
// a 200.
std::string RawPost(std::string const& url, std::string const& path, std::string const& body,
                    std::string* error) {
  namespace net = boost::asio;
  namespace http = boost::beast::http;
  std::string const prefix = "http://127.0.0.1:";
  try {
    net::io_context context;
    boost::beast::tcp_stream stream(context);
    stream.expires_after(kCallWait);
    stream.connect({net::ip::make_address("127.0.0.1"),
                    static_cast<unsigned short>(std::stoi(url.substr(prefix.size())))});
    http::request<http::string_body> request(http::verb::post, path, 11);
    request.set(http::field::host, "127.0.0.1");
    request.set(http::field::content_type, "application/json");
    request.body() = body;
    request.prepare_payload();
    http::write(stream, request);
    boost::beast::flat_buffer buffer;
    http::response<http::string_body> answer;
    http::read(stream, buffer, answer);
    if (answer.result() == http::status::ok) return answer.body();
    *error = path + " answered " + std::to_string(answer.result_int()) + ": " + answer.body();
  } catch (std::exception const& failure) {
    *error = path + ": " + failure.what();
  }
  return {};
}

// Two bare servers (tirn_bare_server), one answering every request with the body tirn-server
// answers a create with, the other with its answer to a get, each through the same client as
// tirn-server's side: the same requests, the same answers to read, no work between them.
class BareSide final : public Side {
 public:
  // Records a create's and a get's answer from the tirn-server at `serverUrl`, then starts the
  // bare servers with them in `folder`; null with the reason.
  static std::unique_ptr<BareSide> Start(std::string const& serverUrl, std::string const& folder,
                                         std::string* error) {
    std::string const operations = "/v1/com.ostrel.nox.trusted_infrastructure.kms.services/";
    std::string const created = RawPost(
        serverUrl, operations + "create",
        "{\"spec\":{\"address\":" + AddressJson(NextHost()) + ",\"trusted_CA\":" +
            TrustedCaJson() + ",\"group\":\"" + kGroup + "\"}}",
        error);
    if (created.empty()) return nullptr;
    std::string const got = RawPost(serverUrl, operations + "get",
                                    "{\"service\":" + created + "}", error);
    if (got.empty()) return nullptr;
    std::unique_ptr<BareSide> side(new BareSide());
    side->create_ = StartOne(folder + "/bare-create", created, error);
    if (side->create_) side->get_ = StartOne(folder + "/bare-get", got, error);
    return side->get_ ? std::move(side) : nullptr;
  }

  bool Create(std::string const& host, std::string* id, std::string* error) override {
    return create_->Create(host, id, error);
  }
  bool Get(std::string const& id, std::string* error) override { return get_->Get(id, error); }
  // Only one of the two is called in a case; the other's CPU stays put.
  double ServerCpuSeconds() const override {
    return create_->ServerCpuSeconds() + get_->ServerCpuSeconds();
  }

 private:
  BareSide() = default;

  static std::unique_ptr<ThroughServer> StartOne(std::string const& base, std::string const& body,
                                                 std::string* error) {
    std::ofstream(base + ".json", std::ios::binary) << body;
    return ThroughServer::Start({bareBinary, "--body-file", base + ".json"}, base + ".err", error);
  }

  std::unique_ptr<ThroughServer> create_;
  std::unique_ptr<ThroughServer> get_;
};

// ---- The floors ----------------------------------------------------------------------------

// The floors work on the stores' own schema: made by opening the store once, with a key of its
// own, through the store's migrations.
template <class Store>
bool MakeSchema(std::string const& where, std::string* error) {
  std::string why;
  std::shared_ptr<ServerApp::SecretBox const> box = ServerApp::SecretBox::WithRandomKey(why);
  bool made = false;
  if (box) {
    if constexpr (std::is_same_v<Store, ServerApp::PostgresRecordStore>) {
      made = Store::Open(where, box, 1, why) != nullptr;
    } else {
      made = Store::Open(where, box, why) != nullptr;
    }
  }
  if (!made) *error = "cannot make the store's schema at " + where + ": " + why;
  return made;
}

// ---- The floor: SQLite ---------------------------------------------------------------------

// One sqlite3 connection shared by every thread under a mutex, with the server's PRAGMAs and
// the server's table of key servers; a create runs the server store's statements in one
// transaction, and a keyed one also looks for and keeps its idempotency key's record.
class SqliteFloor final : public Side {
 public:
  // Opens (creating) the file at `path`; null with the reason. `settings` says what SQLite
  // reports of its journal mode and synchronous level.
  static std::unique_ptr<SqliteFloor> Open(std::string const& path, bool keyed,
                                           std::string* settings, std::string* error) {
    if (!MakeSchema<ServerApp::SqliteRecordStore>(path, error)) return nullptr;
    std::unique_ptr<SqliteFloor> floor(new SqliteFloor());
    floor->keyed_ = keyed;
    int const flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;
    if (sqlite3_open_v2(path.c_str(), &floor->db_, flags, nullptr) != SQLITE_OK) {
      *error = "sqlite floor: " + floor->Error();
      return nullptr;
    }
    sqlite3_busy_timeout(floor->db_, 5000);
    char const* const schema = R"sql(
      PRAGMA journal_mode=WAL;
      PRAGMA synchronous=FULL;
    )sql";
    if (sqlite3_exec(floor->db_, schema, nullptr, nullptr, nullptr) != SQLITE_OK ||
        !floor->Prepare(&floor->begin_, "BEGIN IMMEDIATE") ||
        !floor->Prepare(&floor->commit_, "COMMIT") ||
        !floor->Prepare(&floor->rollback_, "ROLLBACK") ||
        !floor->Prepare(&floor->find_,
                        "SELECT 1 FROM servers WHERE kind = ?1 AND hostname = ?2 AND port IS ?3") ||
        !floor->Prepare(&floor->next_, "SELECT next FROM counters WHERE kind = ?1") ||
        !floor->Prepare(&floor->setNext_,
                        "INSERT OR REPLACE INTO counters (kind, next) VALUES (?1, ?2)") ||
        !floor->Prepare(&floor->insert_,
                        "INSERT INTO servers (kind, id, hostname, port, address, trusted_ca, grp) "
                        "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)") ||
        !floor->Prepare(&floor->get_,
                        "SELECT id, address, trusted_ca, grp FROM servers "
                        "WHERE kind = ?1 AND id = ?2") ||
        !floor->Prepare(&floor->findKey_,
                        "SELECT digest, kept, status, record_id, refusal FROM write_keys "
                        "WHERE scope = ?1 AND key = ?2") ||
        !floor->Prepare(&floor->keepKey_,
                        "INSERT OR REPLACE INTO write_keys "
                        "(scope, key, digest, kept, status, record_id, refusal) "
                        "VALUES (?1, ?2, ?3, ?4, 0, ?5, '')")) {
      *error = "sqlite floor: " + floor->Error();
      return nullptr;
    }
    *settings = "journal_mode=" + floor->Pragma("journal_mode") +
                ", synchronous=" + floor->Pragma("synchronous") + " (2 is FULL)";
    return floor;
  }

  ~SqliteFloor() override {
    for (sqlite3_stmt* statement :
         {begin_, commit_, rollback_, find_, next_, setNext_, insert_, get_, findKey_, keepKey_}) {
      sqlite3_finalize(statement);
    }
    sqlite3_close(db_);
  }

  bool Create(std::string const& host, std::string* id, std::string* error) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!Done(begin_)) return Failed(error);
    // A new key for each keyed create, as the client draws one for each call.
    std::string const key = keyed_ ? "floor-key-" + std::to_string(++keys_) : std::string();
    bool ok = true;
    if (keyed_) {
      sqlite3_bind_text(findKey_, 1, kKeyScope, -1, SQLITE_STATIC);
      sqlite3_bind_text(findKey_, 2, key.c_str(), -1, SQLITE_TRANSIENT);
      ok = sqlite3_step(findKey_) == SQLITE_DONE;  // never kept before
      sqlite3_reset(findKey_);
    }
    sqlite3_bind_int(find_, 1, 0);
    sqlite3_bind_text(find_, 2, host.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64(find_, 3, kPort);
    int step = sqlite3_step(find_);
    sqlite3_reset(find_);
    if (step == SQLITE_ROW) {
      *error = "already exists";
      ok = false;
    } else if (step != SQLITE_DONE) {
      ok = false;
    }
    std::int64_t number = 1;
    if (ok) {
      sqlite3_bind_int(next_, 1, 0);
      step = sqlite3_step(next_);
      if (step == SQLITE_ROW) number = sqlite3_column_int64(next_, 0);
      ok = step == SQLITE_ROW || step == SQLITE_DONE;
      sqlite3_reset(next_);
    }
    if (ok) {
      sqlite3_bind_int(setNext_, 1, 0);
      sqlite3_bind_int64(setNext_, 2, number + 1);
      ok = Done(setNext_);
    }
    if (ok) {
      *id = kIdPrefix + std::to_string(number);
      std::string const address = AddressJson(host);
      sqlite3_bind_int(insert_, 1, 0);
      sqlite3_bind_text(insert_, 2, id->c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(insert_, 3, host.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_int64(insert_, 4, kPort);
      sqlite3_bind_text(insert_, 5, address.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(insert_, 6, TrustedCaJson().c_str(), -1, SQLITE_STATIC);
      sqlite3_bind_text(insert_, 7, kGroup, -1, SQLITE_STATIC);
      ok = Done(insert_);
    }
    if (ok && keyed_) {
      static unsigned char const digest[32] = {1, 2, 3};  // the size of the server's digest
      sqlite3_bind_text(keepKey_, 1, kKeyScope, -1, SQLITE_STATIC);
      sqlite3_bind_text(keepKey_, 2, key.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_blob(keepKey_, 3, digest, sizeof digest, SQLITE_STATIC);
      sqlite3_bind_int64(keepKey_, 4, static_cast<std::int64_t>(std::time(nullptr)));
      sqlite3_bind_text(keepKey_, 5, id->c_str(), -1, SQLITE_TRANSIENT);
      ok = Done(keepKey_);
    }
    if (ok && Done(commit_)) return true;
    if (error->empty()) *error = Error();
    (void)Done(rollback_);
    return false;
  }

  bool Get(std::string const& id, std::string* error) override {
    std::lock_guard<std::mutex> lock(mutex_);
    sqlite3_bind_int(get_, 1, 0);
    sqlite3_bind_text(get_, 2, id.c_str(), -1, SQLITE_TRANSIENT);
    bool const found = sqlite3_step(get_) == SQLITE_ROW;
    if (found) {
      // What the server's store reads out of the row, copied.
      for (int column = 0; column < 4; ++column) {
        auto const* text = reinterpret_cast<char const*>(sqlite3_column_text(get_, column));
        row_[column].assign(text ? text : "");
      }
    } else {
      *error = "not found: " + id + " (" + Error() + ")";
    }
    sqlite3_reset(get_);
    return found;
  }

 private:
  SqliteFloor() = default;

  bool Prepare(sqlite3_stmt** statement, char const* sql) {
    return sqlite3_prepare_v2(db_, sql, -1, statement, nullptr) == SQLITE_OK;
  }

  // Runs `statement` to its end and resets it.
  static bool Done(sqlite3_stmt* statement) {
    bool const done = sqlite3_step(statement) == SQLITE_DONE;
    sqlite3_reset(statement);
    return done;
  }

  bool Failed(std::string* error) const {
    *error = Error();
    return false;
  }

  std::string Error() const { return db_ ? sqlite3_errmsg(db_) : "cannot open"; }

  std::string Pragma(char const* name) {
    sqlite3_stmt* statement = nullptr;
    std::string value = "?";
    if (Prepare(&statement, (std::string("PRAGMA ") + name).c_str()) &&
        sqlite3_step(statement) == SQLITE_ROW) {
      value = reinterpret_cast<char const*>(sqlite3_column_text(statement, 0));
    }
    sqlite3_finalize(statement);
    return value;
  }

  // The scope the server keeps a key under for a caller without credentials.
  static constexpr char kKeyScope[] = "anonymous";

  std::mutex mutex_;
  sqlite3* db_ = nullptr;
  sqlite3_stmt *begin_ = nullptr, *commit_ = nullptr, *rollback_ = nullptr, *find_ = nullptr,
               *next_ = nullptr, *setNext_ = nullptr, *insert_ = nullptr, *get_ = nullptr,
               *findKey_ = nullptr, *keepKey_ = nullptr;
  bool keyed_ = false;
  std::uint64_t keys_ = 0;
  std::string row_[4];
};

// ---- The floor: PostgreSQL -----------------------------------------------------------------

// One libpq connection shared by every thread under a mutex, on the server store's table,
// unique index and sequence; a create is one INSERT ... RETURNING, a get one SELECT, each its
// own transaction, with prepared statements as the store has.
class PostgresFloor final : public Side {
 public:
  // Connects to the database at `uri` and makes the table; null with the reason. `settings`
  // says what the server reports of fsync and synchronous_commit.
  static std::unique_ptr<PostgresFloor> Open(std::string const& uri, std::string* settings,
                                             std::string* error) {
    if (!MakeSchema<ServerApp::PostgresRecordStore>(uri, error)) return nullptr;
    std::unique_ptr<PostgresFloor> floor(new PostgresFloor());
    floor->pg_ = PQconnectdb((uri + "?connect_timeout=10").c_str());
    if (PQstatus(floor->pg_) != CONNECTION_OK) {
      *error = "postgres floor: " + std::string(PQerrorMessage(floor->pg_));
      return nullptr;
    }
    // The same bound on each statement as the server's store has, with more room.
    char const* const schema = R"sql(
      SET statement_timeout = 10000;
    )sql";
    if (!floor->Command(schema, error) ||
        !floor->Prepare("insert_server",
                        "INSERT INTO servers (kind, id, hostname, port, address, trusted_ca, grp) "
                        "VALUES (0, $1 || nextval('key_server_numbers'), $2, $3, $4, $5, $6) "
                        "ON CONFLICT (kind, hostname, (coalesce(port, -1))) DO NOTHING "
                        "RETURNING id",
                        6, error) ||
        !floor->Prepare("get_server",
                        "SELECT id, address, trusted_ca, grp FROM servers "
                        "WHERE kind = 0 AND id = $1",
                        1, error)) {
      return nullptr;
    }
    *settings = "fsync=" + floor->Show("fsync") +
                ", full_page_writes=" + floor->Show("full_page_writes") +
                ", synchronous_commit=" + floor->Show("synchronous_commit");
    return floor;
  }

  ~PostgresFloor() override { PQfinish(pg_); }

  bool Create(std::string const& host, std::string* id, std::string* error) override {
    std::string const port = std::to_string(kPort);
    std::string const address = AddressJson(host);
    char const* values[] = {kIdPrefix,   host.c_str(), port.c_str(), address.c_str(),
                            TrustedCaJson().c_str(), kGroup};
    std::lock_guard<std::mutex> lock(mutex_);
    PGresult* result = PQexecPrepared(pg_, "insert_server", 6, values, nullptr, nullptr, 0);
    bool const ok = PQresultStatus(result) == PGRES_TUPLES_OK && PQntuples(result) == 1;
    if (ok) {
      *id = PQgetvalue(result, 0, 0);
    } else {
      *error = PQresultStatus(result) == PGRES_TUPLES_OK ? std::string("already exists")
                                                         : PQresultErrorMessage(result);
    }
    PQclear(result);
    return ok;
  }

  bool Get(std::string const& id, std::string* error) override {
    char const* values[] = {id.c_str()};
    std::lock_guard<std::mutex> lock(mutex_);
    PGresult* result = PQexecPrepared(pg_, "get_server", 1, values, nullptr, nullptr, 0);
    bool const found = PQresultStatus(result) == PGRES_TUPLES_OK && PQntuples(result) == 1;
    if (found) {
      // What the server's store reads out of the row, copied.
      for (int column = 0; column < 4; ++column) row_[column] = PQgetvalue(result, 0, column);
    } else {
      *error = "not found: " + id + " (" + PQresultErrorMessage(result) + ")";
    }
    PQclear(result);
    return found;
  }

 private:
  PostgresFloor() = default;

  bool Command(char const* sql, std::string* error) {
    PGresult* result = PQexec(pg_, sql);
    bool const ok = PQresultStatus(result) == PGRES_COMMAND_OK;
    if (!ok) *error = "postgres floor: " + std::string(PQresultErrorMessage(result));
    PQclear(result);
    return ok;
  }

  bool Prepare(char const* name, char const* sql, int params, std::string* error) {
    PGresult* result = PQprepare(pg_, name, sql, params, nullptr);
    bool const ok = PQresultStatus(result) == PGRES_COMMAND_OK;
    if (!ok) *error = "postgres floor: " + std::string(PQresultErrorMessage(result));
    PQclear(result);
    return ok;
  }

  std::string Show(char const* setting) {
    PGresult* result = PQexec(pg_, (std::string("SHOW ") + setting).c_str());
    std::string value = PQresultStatus(result) == PGRES_TUPLES_OK && PQntuples(result) == 1
                            ? PQgetvalue(result, 0, 0)
                            : "?";
    PQclear(result);
    return value;
  }

  std::mutex mutex_;
  PGconn* pg_ = nullptr;
  std::string row_[4];
};

// ---- The sides, made at first use ----------------------------------------------------------

// The servers, the floors and the cluster of this run, and the key servers each side made
// for the gets. Everything is stopped by Stop (or the destructor): servers first.
class Fixture {
 public:
  ~Fixture() { Stop(); }

  // The side, started at its first use; null with the reason in `*error`. A side that could
  // not be started is not tried again: its cases all say why.
  Side* Acquire(Store store, Kind kind, std::string* error) {
    auto const key = std::make_pair(store, kind);
    auto& side = sides_[key];
    if (side) return side.get();
    auto& failure = failures_[key];
    if (failure.empty()) {
      side = Start(store, kind, &failure);
      if (!side && failure.empty()) failure = "cannot start";
    }
    *error = failure;
    return side.get();
  }

  // kRecords key servers made by `side` (at the first call, untimed), for the gets.
  std::vector<std::string> const* Records(Store store, Kind kind, Side& side,
                                          std::string* error) {
    auto& ids = records_[{store, kind}];
    auto const deadline = Clock::now() + kSetupWait;
    while (ids.size() < static_cast<std::size_t>(kRecords)) {
      std::string id;
      if (!side.Create(NextHost(), &id, error)) return nullptr;
      ids.push_back(id);
      if (Clock::now() > deadline) {
        *error = "making the key servers to read took too long";
        return nullptr;
      }
    }
    return &ids;
  }

  std::vector<std::string> const& notes() const { return notes_; }

  void Stop() {
    sides_.clear();
    if (clusterStarted_) ServerApp::Testing::PostgresCluster::Shared().Shutdown();
    clusterStarted_ = false;
  }

 private:
  std::unique_ptr<Side> Start(Store store, Kind kind, std::string* error) {
    if (folder_.path().empty()) {
      *error = "cannot make a temporary folder";
      return nullptr;
    }
    std::string const base = folder_.path() + "/" + Name(store) + "-" + Name(kind);
    std::string settings;
    if (kind == Kind::kBare) {
      // Its answers are the SQLite tirn-server's.
      Side* server = Acquire(Store::kSqlite, Kind::kServer, error);
      return server ? BareSide::Start(server->Url(), folder_.path(), error) : nullptr;
    }
    if (store == Store::kSqlite && (kind == Kind::kFloor || kind == Kind::kKeyedFloor)) {
      auto floor = SqliteFloor::Open(base + ".db", kind == Kind::kKeyedFloor, &settings, error);
      if (floor && kind == Kind::kFloor) notes_.push_back("SQLite floor: " + settings);
      return floor;
    }
    std::string const data = store == Store::kSqlite ? base + ".db" : NewDatabase(error);
    if (data.empty()) return nullptr;
    if (kind == Kind::kFloor) {
      auto floor = PostgresFloor::Open(data, &settings, error);
      if (floor) notes_.push_back("PostgreSQL floor and server: " + settings);
      return floor;
    }
    if (!WriteKeyFile(base + ".key", error)) return nullptr;
    return ThroughServer::Start(
        {serverBinary, "--listen", "127.0.0.1:0", "--data", data, "--key-file", base + ".key"},
        base + ".err", error);
  }

  // A new database on the cluster, started (with fsync on) at the first call; empty with the
  // reason when there is no cluster.
  std::string NewDatabase(std::string* error) {
    if (!clusterError_.empty()) {
      *error = clusterError_;
      return {};
    }
    auto& cluster = ServerApp::Testing::PostgresCluster::Shared();
    std::string why;
    clusterStarted_ = true;
    std::string const uri = cluster.NewDatabase(why);
    if (uri.empty()) {
      clusterError_ = "PostgreSQL cluster: " + why +
                      " (PostgreSQL's server comes with scripts/setup.sh test)";
    } else if (!durable_ && !MakeDurable(cluster.Uri("postgres"), &why)) {
      clusterError_ = "PostgreSQL cluster: cannot turn fsync on: " + why;
    }
    if (!clusterError_.empty()) {
      *error = clusterError_;
      return {};
    }
    durable_ = true;
    return uri;
  }

  // Turns fsync and full_page_writes on (the fixture makes the cluster with both off) and
  // waits until a new session sees them.
  static bool MakeDurable(std::string const& adminUri, std::string* error) {
    ServerApp::Testing::PostgresSession admin(adminUri);
    if (!admin.Connected()) {
      *error = admin.Error();
      return false;
    }
    // ALTER SYSTEM runs on its own, outside any transaction block.
    for (char const* sql : {"ALTER SYSTEM SET fsync = on", "ALTER SYSTEM SET full_page_writes = on",
                            "SELECT pg_reload_conf()"}) {
      if (!admin.Run(sql, *error)) return false;
    }
    auto const deadline = Clock::now() + kSetupWait;
    while (Clock::now() < deadline) {
      ServerApp::Testing::PostgresSession probe(adminUri);
      std::vector<std::vector<std::string>> rows;
      if (probe.Run("SELECT current_setting('fsync'), current_setting('full_page_writes')", rows,
                    *error) &&
          rows.size() == 1 && rows[0] == std::vector<std::string>{"on", "on"}) {
        return true;
      }
      std::this_thread::sleep_for(50ms);
    }
    *error = "the cluster did not take the new settings in time";
    return false;
  }

  TempFolder folder_;
  std::map<std::pair<Store, Kind>, std::unique_ptr<Side>> sides_;
  std::map<std::pair<Store, Kind>, std::string> failures_;
  std::map<std::pair<Store, Kind>, std::vector<std::string>> records_;
  std::vector<std::string> notes_;
  bool clusterStarted_ = false;
  bool durable_ = false;
  std::string clusterError_;
};

Fixture* fixture = nullptr;

// One case: `op` of `store` by `kind`, with the benchmark's number of threads.
void Case(benchmark::State& state, Store store, Operation op, Kind kind) {
  int const threads = static_cast<int>(state.range(0));
  std::string error;
  Side* side = fixture->Acquire(store, kind, &error);
  if (!side) {
    state.SkipWithError(error.c_str());
    return;
  }
  bench::Load::Op call;
  if (op == Operation::kCreate) {
    call = [side](int, int, std::string* failure) {
      std::string id;
      return side->Create(NextHost(), &id, failure);
    };
  } else {
    auto const* ids = fixture->Records(store, kind, *side, &error);
    if (!ids) {
      state.SkipWithError(("making the key servers to read: " + error).c_str());
      return;
    }
    call = [side, ids](int thread, int k, std::string* failure) {
      std::size_t const at = static_cast<std::size_t>(thread) * 37 + static_cast<std::size_t>(k);
      return side->Get((*ids)[at % ids->size()], failure);
    };
  }
  bench::Load load(threads, OpsFor(op, threads) / threads, {kWarmupOps, kSetupWait, kRunLimit},
                   std::move(call));
  if (!load.WarmedUp()) {
    state.SkipWithError(("warming up: " + load.error()).c_str());
    return;
  }
  double const serverCpuBefore = side->ServerCpuSeconds();
  for (auto _ : state) load.Run();
  double const serverCpu = side->ServerCpuSeconds() - serverCpuBefore;
  if (!load.error().empty()) {
    state.SkipWithError(load.error().c_str());
    return;
  }
  auto const latencies = load.Latencies();
  double const ops = static_cast<double>(latencies.size());
  state.counters["ops_per_s"] = ops / load.seconds();
  state.counters["p50_us"] = bench::Percentile(latencies, 0.50);
  state.counters["p99_us"] = bench::Percentile(latencies, 0.99);
  state.counters["cpu_us_per_op"] = load.cpuSeconds() * 1e6 / ops;
  if (serverCpuBefore >= 0) state.counters["server_cpu_us_per_op"] = serverCpu * 1e6 / ops;
}

// Prints server / floor for operations per second and p50 at each (store, operation, threads).
class RatioReporter : public bench::MedianReporter {
 public:
  // `disk` says what every create's commit waits for; printed beside the ratios.
  explicit RatioReporter(std::string disk) : disk_(std::move(disk)) {}

  void Finalize() override {
    MedianReporter::Finalize();
    std::printf("\n%s\n", disk_.c_str());
    for (auto const& note : fixture->notes()) std::printf("%s\n", note.c_str());
    std::printf("\nServer / floor (ops/s: below 1.0, the server is slower; p50: above 1.0, the "
                "server is slower)\n");
    std::printf("  %-9s %-7s %7s %12s %12s %8s %8s\n", "store", "op", "threads", "server ops/s",
                "floor ops/s", "ops/s", "p50");
    for (Store store : {Store::kSqlite, Store::kPostgres}) {
      for (Operation op : {Operation::kCreate, Operation::kGet}) {
        for (int threads : kThreadCounts) {
          std::string const args = "threads:" + std::to_string(threads);
          std::string const prefix = std::string(Name(store)) + "/" + Name(op) + "/";
          std::string const server = prefix + Name(Kind::kServer);
          std::string const floor = prefix + Name(Kind::kFloor);
          double const* serverOps = Figure(server, args, "ops_per_s");
          double const* floorOps = Figure(floor, args, "ops_per_s");
          double const* serverP50 = Figure(server, args, "p50_us");
          double const* floorP50 = Figure(floor, args, "p50_us");
          if (!serverOps || !floorOps || !serverP50 || !floorP50) {
            std::printf("  %-9s %-7s %7d   not measured\n", Name(store), Name(op), threads);
            continue;
          }
          std::printf("  %-9s %-7s %7d %12.0f %12.0f %8.2f %8.2f\n", Name(store), Name(op),
                      threads, *serverOps, *floorOps, *serverOps / *floorOps,
                      *serverP50 / *floorP50);
        }
      }
    }
    PrintAgainstBare();
  }

 private:
  // tirn-server against the bare server answering its bodies: requests per second and server
  // CPU per request; and, for a create from one thread, against the sum of a bare exchange
  // and a plain SQLite create, one after the other (a lone caller waits for both).
  void PrintAgainstBare() const {
    std::printf("\nServer / bare server (ops/s: below 1.0, the server is slower; server CPU per "
                "op: above 1.0, the server spends more)\n");
    std::printf("  %-9s %-7s %7s %12s %12s %8s %8s\n", "store", "op", "threads", "server ops/s",
                "bare ops/s", "ops/s", "cpu/op");
    for (Store store : {Store::kSqlite, Store::kPostgres}) {
      for (Operation op : {Operation::kCreate, Operation::kGet}) {
        for (int threads : kThreadCounts) {
          std::string const args = "threads:" + std::to_string(threads);
          std::string const server = std::string(Name(store)) + "/" + Name(op) + "/server";
          std::string const bare = std::string("bare/") + Name(op);
          double const* serverOps = Figure(server, args, "ops_per_s");
          double const* bareOps = Figure(bare, args, "ops_per_s");
          double const* serverCpu = Figure(server, args, "server_cpu_us_per_op");
          double const* bareCpu = Figure(bare, args, "server_cpu_us_per_op");
          if (!serverOps || !bareOps || !serverCpu || !bareCpu || *bareCpu <= 0) {
            std::printf("  %-9s %-7s %7d   not measured\n", Name(store), Name(op), threads);
            continue;
          }
          std::printf("  %-9s %-7s %7d %12.0f %12.0f %8.2f %8.2f\n", Name(store), Name(op),
                      threads, *serverOps, *bareOps, *serverOps / *bareOps, *serverCpu / *bareCpu);
        }
      }
    }
    double const* server = Figure("sqlite/create/server", "threads:1", "ops_per_s");
    double const* bare = Figure("bare/create", "threads:1", "ops_per_s");
    double const* plain = Figure("sqlite/create/floor", "threads:1", "ops_per_s");
    double const* keyed = Figure("sqlite/create/floor-keyed", "threads:1", "ops_per_s");
    if (server && bare && plain) {
      double const composite = 1 / (1 / *bare + 1 / *plain);
      std::printf("\nSQLite creates from one thread: server %.0f/s, composite floor %.0f/s (bare "
                  "exchange %.0f/s then plain SQLite %.0f/s): %.2f\n",
                  *server, composite, *bare, *plain, *server / composite);
      if (keyed) {
        double const keyedComposite = 1 / (1 / *bare + 1 / *keyed);
        std::printf("  with the idempotency key's record in the floor's commit: composite %.0f/s "
                    "(plain SQLite %.0f/s): %.2f\n",
                    keyedComposite, *keyed, *server / keyedComposite);
      }
    }
    for (int threads : kThreadCounts) {
      std::string const args = "threads:" + std::to_string(threads);
      double const* many = Figure("sqlite/create/server", args, "ops_per_s");
      double const* keyedMany = Figure("sqlite/create/floor-keyed", args, "ops_per_s");
      if (!many || !keyedMany || threads == 1) continue;
      std::printf("SQLite creates from %d threads: server / plain SQLite with the idempotency "
                  "key's record: %.2f\n",
                  threads, *many / *keyedMany);
    }
  }

  std::string disk_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  // --idle_cores: leave the cores to go idle when nothing runs (see AwakeCores).
  bool awake = true;
  int kept = 1;
  for (int i = 1; i < argc; ++i) {
    std::string const arg = argv[i];
    if (arg == "--idle_cores") {
      awake = false;
    } else if (arg.rfind("--server_binary=", 0) == 0) {
      serverBinary = arg.substr(std::string("--server_binary=").size());
    } else {
      argv[kept++] = argv[i];
    }
  }
  argc = kept;
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  std::optional<AwakeCores> spinners;
  if (awake) spinners.emplace();
  std::printf("tirn-server: %s\n", serverBinary.c_str());
  std::printf("cores: %s\n",
              awake ? ("kept awake by " + std::to_string(spinners->count()) +
                       " SCHED_IDLE spinners (--idle_cores leaves them idle)").c_str()
                    : "left to go idle");
  std::string const disk = DiskNote();
  std::printf("%s\n", disk.c_str());
  // Server and floor alternate at each (store, operation, threads).
  for (Store store : {Store::kSqlite, Store::kPostgres}) {
    for (Operation op : {Operation::kCreate, Operation::kGet}) {
      for (int threads : kThreadCounts) {
        // The bare server's cases sit beside SQLite's: their answers are its server's.
        for (Kind kind : {Kind::kServer, Kind::kFloor, Kind::kKeyedFloor, Kind::kBare}) {
          if (kind == Kind::kBare && store != Store::kSqlite) continue;
          if (kind == Kind::kKeyedFloor && (store != Store::kSqlite || op != Operation::kCreate)) {
            continue;
          }
          std::string const name = kind == Kind::kBare
                                       ? std::string("bare/") + Name(op)
                                       : std::string(Name(store)) + "/" + Name(op) + "/" + Name(kind);
          benchmark::RegisterBenchmark(name.c_str(), &Case, store, op, kind)
              ->ArgName("threads")
              ->Arg(threads)
              ->Iterations(1)
              ->UseRealTime()
              ->Unit(benchmark::kMillisecond);
        }
      }
    }
  }
  int status = 0;
  try {
    Fixture sides;
    fixture = &sides;
    RatioReporter reporter(disk);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    sides.Stop();
    fixture = nullptr;
  } catch (std::exception const& failure) {
    std::fprintf(stderr, "stopped: %s\n", failure.what());
    status = 1;
  }
  benchmark::Shutdown();
  return status;
}
