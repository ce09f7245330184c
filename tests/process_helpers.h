// For tests that run the built tirn-server program (TIRN_SERVER_BINARY), or another program that
// starts the same way (its first line "listening on http://127.0.0.1:PORT"): a running server
// process, a run to its end, and a client of its key-providers service over 127.0.0.1 through
// Tirn::Http::ClientProvider and the generated stubs. Every wait is bounded (kWait).
//
//   Running server(ServeArgs(dir.path + "/records.db"), dir.path);
//   ASSERT_FALSE(server.url.empty()) << server.process.Stderr();
//   EXPECT_EQ(Client(server.url).Create("vault", "key-1", "secret"), "ok");
//   server.process.Signal(SIGTERM);
//   EXPECT_EQ(server.process.Wait(), 0);
#ifndef TESTS_PROCESS_HELPERS_H_
#define TESTS_PROCESS_HELPERS_H_

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "com/ostrel/nox/trusted_infrastructure/operations.h"
#include "com/ostrel/nox/trusted_infrastructure/trusted_infrastructure.h"
#include "tests/child_process.h"
#include "tests/raw_http.h"
#include "tests/test_files.h"
#include "tirn/http/client_provider.h"
#include "tirn/http/io_threads.h"
#include "tirn/runtime/value/build.h"
#include "tirn/stub/async_api_stub.h"

namespace ServerApp {
namespace Testing {

namespace Ti = Com::Ostrel::Nox::TrustedInfrastructure;
namespace Providers = Ti::Kms::ProvidersSvc;
namespace KeyServers = Ti::Kms::ServicesSvc;
namespace Attestations = Ti::Attestation::ServicesSvc;

constexpr std::chrono::seconds kWait{10};  // no single step of these tests may take longer

inline bool Contains(std::string const& text, std::string const& part) {
  return text.find(part) != std::string::npos;
}

// A running tirn-server: stdout through a pipe (for the start line), stderr to a file; the
// files it writes limited to `fileSizeLimit` bytes (RLIMIT_FSIZE) when that is given.
class ServerProcess {
 public:
  // argv[0] is the program's path.
  ServerProcess(std::vector<std::string> argv, std::string stderrFile,
                rlim_t fileSizeLimit = RLIM_INFINITY)
      : stderrFile_(std::move(stderrFile)), child_(std::move(argv), [&] {
          TestSupport::ChildOptions options;
          options.out = TestSupport::Stream::Pipe();
          options.err = TestSupport::Stream::AppendTo(stderrFile_);
          options.fileSizeLimit = fileSizeLimit;
          return options;
        }()) {}

  // The next line on stdout, without its end; empty when none came in time.
  std::string NextLine() { return child_.ReadLine(kWait); }

  // The exit status, or -1 when the process has not exited in time (it is then killed).
  int Wait() { return child_.Wait(kWait); }

  void Signal(int signal) const { child_.Signal(signal); }
  std::string Stderr() const { return ReadAll(stderrFile_); }
  // Whether stderr holds `said` within 2 s (a line the server writes once it has acted).
  bool Says(std::string const& said) const {
    for (int i = 0; i < 200 && !Contains(Stderr(), said); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return Contains(Stderr(), said);
  }

 private:
  std::string stderrFile_;
  TestSupport::ChildProcess child_;
};

// Runs the program to its end (killed after kWait), its output captured through pipes: exit
// status, stdout, stderr. (`dir`, the caller's folder, is kept for the callers' sake.)
using Finished = TestSupport::Finished;

// The program's path followed by its arguments.
inline std::vector<std::string> Argv(std::string program, std::vector<std::string> args) {
  args.insert(args.begin(), std::move(program));
  return args;
}

inline Finished RunToEnd(std::string const& program, std::vector<std::string> args,
                         std::string const& /*dir*/) {
  return TestSupport::Run(Argv(program, std::move(args)), {}, {}, kWait);
}

#ifdef TIRN_SERVER_BINARY
inline Finished RunToEnd(std::vector<std::string> const& args, std::string const& dir) {
  return RunToEnd(TIRN_SERVER_BINARY, args, dir);
}

// A run of tirn-server that it refuses: its arguments, the status it ends with, and what its
// one line on stderr says.
struct Refusal {
  std::vector<std::string> args;
  int status;
  std::string said;
};

// Runs each refusal to its end: its status, nothing on stdout, one line on stderr that says
// what it should and repeats no password ("Hunter2"); `after` checks what else must hold.
inline void ExpectRefusals(std::vector<Refusal> const& cases, std::string const& dir,
                           std::function<void()> const& after = {}) {
  for (auto const& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    Finished const run = RunToEnd(c.args, dir);
    EXPECT_EQ(run.status, c.status) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_TRUE(run.err.find(c.said) != std::string::npos) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_TRUE(run.err.find("Hunter2") == std::string::npos) << run.err;
    if (after) after();
  }
}
#endif

// Starts a server and reads its start line; the URL is empty when it did not start.
struct Running {
#ifdef TIRN_SERVER_BINARY
  Running(std::vector<std::string> args, std::string const& dir,
          rlim_t fileSizeLimit = RLIM_INFINITY)
      : Running(TIRN_SERVER_BINARY, std::move(args), dir, fileSizeLimit) {}
#endif
  Running(std::string program, std::vector<std::string> args, std::string const& dir,
          rlim_t fileSizeLimit = RLIM_INFINITY)
      : process(Argv(std::move(program), std::move(args)), Fresh(dir + "/server.err"),
                fileSizeLimit) {
    line = process.NextLine();
    // Exactly "listening on http://127.0.0.1:PORT" (or https), PORT the real one.
    std::string const port = line.substr(line.rfind(':') + 1);
    if ((line.rfind("listening on http://127.0.0.1:", 0) == 0 ||
         line.rfind("listening on https://127.0.0.1:", 0) == 0) &&
        !port.empty() && port.size() <= 5 && port[0] != '0' &&
        port.find_first_not_of("0123456789") == std::string::npos) {
      url = line.substr(std::string("listening on ").size());
    }
  }
  static std::string Fresh(std::string const& path) {
    std::remove(path.c_str());
    return path;
  }

  ServerProcess process;
  std::string line;
  std::string url;
};

// The generated key-providers stub on an HTTP client provider.
class Client {
 public:
  explicit Client(std::string const& url, std::string token = {})
      : Client(url, [&token] {
          Tirn::Http::ClientOptions options;
          if (!token.empty()) options.tokenSupplier = [token] { return token; };
          return options;
        }()) {}
  // With `options` of the test's own (TLS files, a client certificate); the time limits are
  // the tests' short ones.
  Client(std::string const& url, Tirn::Http::ClientOptions options) : threads_(1) {
    options.defaultTimeout = std::chrono::seconds(5);
    options.connectTimeout = std::chrono::seconds(2);
    auto provider = std::make_shared<Tirn::Http::ClientProvider>(threads_.contexts(), url,
                                                                 Ti::Operations(), options);
    auto activation = std::make_shared<Tirn::Core::AsyncActivation>();
    activation->executionContext = std::make_shared<Tirn::Core::ExecutionContext>();
    auto stub = std::make_shared<Tirn::Stub::AsyncApiStub>(provider, activation);
    stub_ = std::make_unique<Providers::AsyncServiceStub>(stub);
    keyServers_ = std::make_unique<KeyServers::AsyncServiceStub>(stub);
    attestations_ = std::make_unique<Attestations::AsyncServiceStub>(stub);
  }

  // "ok" or the error's name.
  std::string Create(std::string const& id, std::string const& keyId, std::string const& secret) {
    auto spec = std::make_shared<Providers::CreateSpec>();
    spec->provider = id;
    auto native = std::make_shared<Providers::NativeProviderCreateSpec>();
    native->key_id = keyId;
    native->key_derivation_key = Tirn::SecretString(secret);
    spec->native_spec = native;
    return Await<Tirn::Void>([&](auto r) { stub_->Create(spec, nullptr, r); }).first;
  }

  std::string Update(std::string const& id, std::string const& keyId) {
    auto spec = std::make_shared<Providers::UpdateSpec>();
    auto native = std::make_shared<Providers::NativeProviderUpdateSpec>();
    native->key_id = keyId;
    spec->native_spec = native;
    return Await<Tirn::Void>([&](auto r) { stub_->Update(id, spec, nullptr, r); }).first;
  }

  // The key id of a native provider, or the error's name prefixed by '!'.
  std::string KeyIdOf(std::string const& id) {
    auto got = Await<std::shared_ptr<Providers::Info const>>(
        [&](auto r) { stub_->Get(id, nullptr, r); });
    if (got.first != "ok") return "!" + got.first;
    return got.second && (*got.second)->native_info ? (*got.second)->native_info->key_id : "!none";
  }

  // A key server at host:port through the key-servers service: "ok" with its identifier in
  // `id`, or the error's name.
  std::string CreateKeyServer(std::string const& host, int port, std::string& id) {
    return CreateServer<KeyServers::CreateSpec>(*keyServers_, host, port, id);
  }
  std::string CreateAttestationService(std::string const& host, int port, std::string& id) {
    return CreateServer<Attestations::CreateSpec>(*attestations_, host, port, id);
  }
  std::string DeleteKeyServer(std::string const& id) {
    return Await<Tirn::Void>([&](auto r) { keyServers_->Delete(id, nullptr, r); }).first;
  }
  // The key servers' identifiers in the order listed, or the error's name prefixed by '!'.
  std::vector<std::string> KeyServerIds() {
    auto got = Await<KeyServers::ListMethod::Result>(
        [&](auto r) { keyServers_->List(nullptr, nullptr, r); });
    if (got.first != "ok" || !got.second) return {"!" + got.first};
    std::vector<std::string> ids;
    for (auto const& summary : *got.second) ids.push_back(summary->service);
    return ids;
  }

  std::vector<std::string> List() {
    auto got =
        Await<Providers::ListMethod::Result>([&](auto r) { stub_->List(nullptr, nullptr, r); });
    std::vector<std::string> ids;
    if (got.second) {
      for (auto const& summary : *got.second) ids.push_back(summary->provider);
    }
    return ids;
  }

 private:
  template <class Request, class Stub>
  std::string CreateServer(Stub& stub, std::string const& host, int port, std::string& id) {
    auto request = Tirn::Build<Request>([&](auto& fields) {
      fields.address = Tirn::Build<Ti::NetworkAddress>([&](auto& address) {
        address.hostname = host;
        address.port = port;
      });
      fields.trusted_CA =
          Tirn::Build<Ti::X509CertChain>([](auto& ca) { ca.cert_chain = {"root"}; });
      fields.group = "g";
    });
    auto got = Await<std::string>([&](auto r) { stub.Create(request, nullptr, r); });
    if (got.second) id = *got.second;
    return got.first;
  }

  template <class T, class Invoke>
  std::pair<std::string, boost::optional<T>> Await(Invoke invoke) {
    auto done = std::make_shared<std::promise<std::pair<std::string, boost::optional<T>>>>();
    auto future = done->get_future();
    invoke(Tirn::AsyncResult<T, Tirn::AsyncResultTerminateCbPolicy>(
        [done](boost::optional<T> const& value, Tirn::Data::ErrorValuePtr const& error,
               Tirn::Progress const& progress) {
          if (!progress.IsFinal()) return;
          done->set_value({error ? error->name() : "ok", value});
        }));
    if (future.wait_for(kWait) != std::future_status::ready) return {"no answer", boost::none};
    return future.get();
  }

  Tirn::Http::IoThreads threads_;
  std::unique_ptr<Providers::AsyncServiceStub> stub_;
  std::unique_ptr<KeyServers::AsyncServiceStub> keyServers_;
  std::unique_ptr<Attestations::AsyncServiceStub> attestations_;
};

// A client that creates providers "<prefix>0", "<prefix>1", ... (key id "key-" and the id, the
// secret `secret` and the id) on a thread of its own until it is joined, is refused, or has
// made 5000.
class Writer {
 public:
  Writer(std::string const& url, std::string const& prefix, std::string const& secret)
      : thread_([this, url, prefix, secret] {
          Client client(url);
          for (int i = 0; i < 5000 && !stop_; ++i) {
            std::string const id = prefix + std::to_string(i);
            std::string const answer = client.Create(id, "key-" + id, secret + id);
            std::lock_guard<std::mutex> lock(mutex_);
            if (answer != "ok") {
              refusal_ = answer;
              return;
            }
            acknowledged_.push_back(id);
          }
        }) {}
  ~Writer() { Join(); }

  // Waits (within kWait) until `count` creations are acknowledged or one is refused.
  void WaitFor(std::size_t count) {
    auto const deadline = std::chrono::steady_clock::now() + kWait;
    while (std::chrono::steady_clock::now() < deadline && Acknowledged().size() < count &&
           Refusal().empty()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  std::vector<std::string> Acknowledged() {
    std::lock_guard<std::mutex> lock(mutex_);
    return acknowledged_;
  }
  std::string Refusal() {
    std::lock_guard<std::mutex> lock(mutex_);
    return refusal_;
  }
  // Stops the writer after its call in flight; without `stop`, lets it go on until refused.
  void Join(bool stop = true) {
    if (stop) stop_ = true;
    if (thread_.joinable()) thread_.join();
  }

 private:
  std::mutex mutex_;
  std::atomic<bool> stop_{false};
  std::vector<std::string> acknowledged_;
  std::string refusal_;
  std::thread thread_;  // last: it uses the members above
};

using Fetched = raw_http::Answer;

// One request to 127.0.0.1:`port` over a fresh connection: a GET of `path`, or a POST of the
// JSON `body` when it is given, with `token` as a bearer token when given; status 0 when no
// answer came in time.
inline Fetched Fetch(std::string const& port, std::string const& path, std::string const& token,
                     std::string const* body) {
  int const fd = raw_http::Connect(static_cast<unsigned short>(std::stoi(port)));
  if (fd < 0) return {};
  std::string extra = "Connection: close\r\n";
  if (!token.empty()) extra += "Authorization: Bearer " + token + "\r\n";
  std::string const request = body ? raw_http::Post(path, *body, "application/json", extra)
                                   : raw_http::Get(path, extra);
  (void)send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  Fetched const answer = raw_http::Parse(raw_http::ReadAll(fd));
  close(fd);
  return answer;
}

inline Fetched Get(std::string const& port, std::string const& path,
                   std::string const& token = {}) {
  return Fetch(port, path, token, nullptr);
}
inline Fetched Post(std::string const& port, std::string const& path, std::string const& body) {
  return Fetch(port, path, {}, &body);
}

// The samples of a Prometheus text page: "name{labels}" to value.
inline std::map<std::string, double> Samples(std::string const& page) {
  std::map<std::string, double> samples;
  std::istringstream lines(page);
  std::string line;
  while (std::getline(lines, line)) {
    std::size_t const space = line.rfind(' ');
    if (line.empty() || line[0] == '#' || space == std::string::npos) continue;
    samples[line.substr(0, space)] = std::stod(line.substr(space + 1));
  }
  return samples;
}

// The port of "http://host:port".
inline std::string PortOf(std::string const& url) { return url.substr(url.rfind(':') + 1); }

inline std::vector<std::string> ServeArgs(std::string const& data) {
  // Stopped at once on SIGTERM: the tests that drain say so.
  return {"--listen", "127.0.0.1:0", "--data", data, "--drain-delay", "0"};
}

// A server on `data` sealed with the key in `keyFile`.
inline std::vector<std::string> ServeWithKey(std::string const& data, std::string const& keyFile) {
  auto args = ServeArgs(data);
  args.insert(args.end(), {"--key-file", keyFile});
  return args;
}

// Stops a server as its operator would, and says how it ended.
inline int Stop(ServerProcess& server) {
  server.Signal(SIGTERM);
  return server.Wait();
}

}  // namespace Testing
}  // namespace ServerApp

#endif  // TESTS_PROCESS_HELPERS_H_
