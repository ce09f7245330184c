// Load on the HTTP transport: calls per second and latency of one small call through our whole
// stack, beside a minimal Boost.Beast server and client doing the same HTTP exchange, in one run.
//
// Ours: the generated Providers::AsyncServiceStub calls `get` of the key-providers service
// through a Tirn::Http::ClientProvider; a Tirn::Http::Server hands the call to a trivial
// implementation bound to an InProcessApiProvider. The floor: a Beast server that answers every
// request with a fixed body, and one Beast client connection per caller, kept alive. At start
// the program records what our client sends for one call (path, headers, body) and what our
// server answers; the floor client sends that request and the floor server answers a body of
// the same size (ours streams it as one chunk of a chunked answer, the floor with a length).
//
// Each case runs 1, 8 or 64 callers, each a thread making blocking calls one after another
// (a promise per call), after a few untimed calls per caller that open the connections.
// Blocking: ours again, each call made on its caller's thread (ClientProvider::InvokeAndWait)
// instead of through the client's pool and I/O threads. Both
// stacks give their server and their client two I/O threads each. Everything runs on
// 127.0.0.1 with ephemeral ports, and every wait is bounded: a call that takes longer than
// kCallWait, or a case that takes longer than kRunLimit, fails the case.
//
// The peer: gRPC's synchronous unary call of the same "get" over TCP (HTTP/2) on 127.0.0.1,
// through the stub generated from key_servers.proto (the same fields as the providers' Info),
// one channel shared by the callers, a fresh ClientContext per call; its server answers at once
// with the same fixed Info from gRPC's own threads.
//
// Counters per case: calls_per_s; the latency percentiles p50_us, p90_us, p99_us in
// microseconds; cpu_us_per_call, the whole process's CPU time (callers, both clients' and
// servers' threads) per call, which bounds the throughput on a machine with few cores (the CPU
// column of the table is the main thread's alone, which only waits); allocs_per_call, the
// allocations through operator new of the whole process per call (gRPC's core allocates with
// malloc, which is not counted: its figure is a floor). The report ends with ours / floor and
// ours / gRPC for calls per second, p50 and CPU per call at each concurrency.
//
//   cmake --preset bench && cmake --build --preset bench -j2 --target tirn_http_bench
//   build/bench/bench/tirn_http_bench [--benchmark_filter=...] [--benchmark_repetitions=3]
#include <sys/resource.h>
#include <sys/time.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <grpcpp/grpcpp.h>

#include "bench/allocation_count.h"
#include "bench/floor_server.h"
#include "bench/load.h"
#include "bench/median_reporter.h"
#include "key_servers.grpc.pb.h"
#include "com/ostrel/nox/trusted_infrastructure/kms/providers/binder.h"
#include "com/ostrel/nox/trusted_infrastructure/kms/providers/stub.h"
#include "com/ostrel/nox/trusted_infrastructure/operations.h"
#include "tirn/http/client_provider.h"
#include "tirn/http/io_threads.h"
#include "tirn/http/server.h"
#include "tirn/runtime/call/in_process_provider.h"
#include "tirn/runtime/l10n/locale.h"
#include "tirn/std/errors.h"
#include "tirn/stub/async_api_stub.h"

namespace {

namespace TI = Com::Ostrel::Nox::TrustedInfrastructure;
namespace Providers = TI::Kms::ProvidersSvc;
namespace Errors = Com::Ostrel::Tirn::Std::Errors;
namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = boost::beast::http;
using tcp = boost::asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using Activation = std::shared_ptr<Tirn::Core::AsyncActivation>;
using bench::Answer;
using bench::FloorServer;
using bench::FloorThreads;
using bench::Request;
using namespace std::chrono_literals;

constexpr unsigned kIoThreads = 2;  // for each server and each client, ours and the floor's
constexpr auto kCallWait = 5s;      // no single call may take longer
constexpr auto kSetupWait = 30s;    // warming up, recording, stopping
constexpr auto kRunLimit = 60s;     // no case may take longer
constexpr int kWarmupCalls = 20;    // per caller, untimed
constexpr int kConcurrencies[] = {1, 8, 64};

int CallsFor(int callers) { return callers >= 64 ? 6400 : 2000; }

// ---- Ours ----------------------------------------------------------------------------------

// Answers get with one fixed native provider; the operations the benchmark does not call
// answer unsupported.
class FixedProviders : public Providers::AsyncServiceInterface {
 public:
  FixedProviders() {
    auto native = std::make_shared<Providers::NativeProviderInfo>();
    native->key_id = "k1";
    auto info = std::make_shared<Providers::Info>();
    info->type = Providers::ProviderType::NATIVE;
    info->native_info = native;
    info_ = info;
  }

  void Get(std::string const&, Activation const&,
           Providers::GetMethod::ResultCbType const& result) override {
    result.value(info_);
  }
  void List(Tirn::OptionalPtr<Providers::FilterSpec const> const&, Activation const&,
            Providers::ListMethod::ResultCbType const& result) override {
    NotMeasured(result);
  }
  void Create(std::shared_ptr<Providers::CreateSpec const> const&, Activation const&,
              Providers::CreateMethod::ResultCbType const& result) override {
    NotMeasured(result);
  }
  void Update(std::string const&, std::shared_ptr<Providers::UpdateSpec const> const&,
              Activation const&, Providers::UpdateMethod::ResultCbType const& result) override {
    NotMeasured(result);
  }
  void Delete(std::string const&, Activation const&,
              Providers::DeleteMethod::ResultCbType const& result) override {
    NotMeasured(result);
  }

 private:
  template <class Result>
  static void NotMeasured(Result const& result) {
    result.error(Errors::MakeNativeError<Errors::Unsupported>());
  }

  std::shared_ptr<Providers::Info const> info_;
};

// Tirn::Http::Server on its own I/O threads, serving FixedProviders.
class OurServer {
 public:
  OurServer() {
    provider_->Register(
        Providers::AsyncServiceBinder::BindImplementation(std::make_shared<FixedProviders>()));
    server_ = std::make_unique<Tirn::Http::Server>(threads_.contexts(), provider_, TI::Operations(),
                                                   Tirn::Http::ServerOptions{});
  }

  ~OurServer() {
    auto stopped = std::make_shared<std::promise<void>>();
    auto future = stopped->get_future();
    server_->Stop(0ms, [stopped] { stopped->set_value(); });
    if (future.wait_for(kSetupWait) != std::future_status::ready) {
      std::fprintf(stderr, "our server did not stop within %lld s\n",
                   static_cast<long long>(kSetupWait.count()));
    }
  }

  bool Start(std::string* error) { return server_->Start(error); }
  unsigned short port() const { return server_->port(); }

 private:
  Tirn::Http::IoThreads threads_{kIoThreads};
  std::shared_ptr<Tirn::Core::InProcessApiProvider> provider_ =
      std::make_shared<Tirn::Core::InProcessApiProvider>();
  std::unique_ptr<Tirn::Http::Server> server_;
};

// Hands each call to a client provider's blocking form: the caller's thread makes it.
class BlockingCalls : public Tirn::Core::AsyncApiProvider {
 public:
  explicit BlockingCalls(std::shared_ptr<Tirn::Http::ClientProvider> client)
      : client_(std::move(client)) {}
  void Invoke(std::shared_ptr<Tirn::Core::MethodIdentifier const> const& method,
              Tirn::Data::DataValuePtr const& input,
              std::shared_ptr<Tirn::Core::AsyncActivation> const& activation,
              Tirn::Core::AsyncApiResultCb const& resultCb) override {
    client_->InvokeAndWait(method, input, activation, resultCb);
  }

 private:
  std::shared_ptr<Tirn::Http::ClientProvider> client_;
};

// The generated stub over a Tirn::Http::ClientProvider on its own I/O threads; with
// `blocking`, over its blocking form, each call made on the caller's thread.
class OurClient {
 public:
  OurClient(unsigned short port, std::size_t poolSize, bool blocking) {
    Tirn::Http::ClientOptions options;
    options.poolSize = poolSize;
    // As many connections open at once as are kept: every caller has one, as on the floor.
    options.maxConnections = poolSize;
    options.defaultTimeout = std::chrono::duration_cast<std::chrono::milliseconds>(kCallWait);
    auto provider = std::make_shared<Tirn::Http::ClientProvider>(
        threads_.contexts(), "http://127.0.0.1:" + std::to_string(port), TI::Operations(),
        options);
    auto templateActivation = std::make_shared<Tirn::Core::AsyncActivation>();
    templateActivation->executionContext = std::make_shared<Tirn::Core::ExecutionContext>();
    templateActivation->requestLocalizer.localeSpec =
        std::make_shared<Tirn::L10n::LocaleSpec const>("en-US", "C", "Europe/Berlin");
    std::shared_ptr<Tirn::Core::AsyncApiProvider> calls = provider;
    if (blocking) calls = std::make_shared<BlockingCalls>(provider);
    stub_ = std::make_unique<Providers::AsyncServiceStub>(
        std::make_shared<Tirn::Stub::AsyncApiStub>(calls, templateActivation));
  }

  // One get, waited for: true when it answered the fixed provider.
  bool Call(std::string* error) {
    auto done = std::make_shared<std::promise<std::string>>();
    auto future = done->get_future();
    Providers::GetMethod::ResultCbType result(
        [done](boost::optional<std::shared_ptr<Providers::Info const>> const& value,
               Tirn::Data::ErrorValuePtr const& failure, Tirn::Progress const& progress) {
          if (!progress.IsFinal()) return;
          if (failure) return done->set_value(failure->name());
          bool const expected =
              value && *value && (*value)->type == Providers::ProviderType::NATIVE;
          done->set_value(expected ? "" : "an unexpected answer");
        });
    stub_->Get("vault-native", nullptr, result);
    // The client provider's own time limit (kCallWait) answers first; the margin is for it.
    if (future.wait_for(kCallWait + 1s) != std::future_status::ready) {
      *error = "no answer in time";
      return false;
    }
    *error = future.get();
    return error->empty();
  }

 private:
  Tirn::Http::IoThreads threads_{kIoThreads};
  std::unique_ptr<Providers::AsyncServiceStub> stub_;
};

// ---- The floor -----------------------------------------------------------------------------

// One caller's kept-alive connection of the floor client, made at its first exchange.
class FloorConnection : public std::enable_shared_from_this<FloorConnection> {
 public:
  FloorConnection(net::io_context& context, unsigned short port, Request request)
      : stream_(net::make_strand(context)),
        server_(net::ip::make_address("127.0.0.1"), port),
        request_(std::move(request)) {}

  // Sends the request and reads the answer into `*answer`; empty on success, else what went
  // wrong. Waits at most kCallWait (and a margin).
  std::string Exchange(Answer* answer) {
    auto done = std::make_shared<std::promise<std::string>>();
    auto future = done->get_future();
    net::dispatch(stream_.get_executor(), [self = shared_from_this(), done] {
      self->Begin(done);
    });
    if (future.wait_for(kCallWait + 1s) != std::future_status::ready) return "no answer in time";
    std::string error = future.get();
    if (error.empty()) *answer = std::move(answer_);
    return error;
  }

 private:
  using Done = std::shared_ptr<std::promise<std::string>>;

  void Begin(Done done) {
    stream_.expires_after(kCallWait);  // bounds the whole exchange, connecting included
    if (connected_) return Write(std::move(done));
    stream_.async_connect(server_, [self = shared_from_this(), done](beast::error_code ec) {
      if (ec) return self->Fail(done, "cannot connect: " + ec.message());
      self->connected_ = true;
      self->stream_.socket().set_option(tcp::no_delay(true), ec);
      self->Write(done);
    });
  }

  void Write(Done done) {
    http::async_write(stream_, request_,
                      [self = shared_from_this(), done](beast::error_code ec, std::size_t) {
                        if (ec) return self->Fail(done, "cannot send: " + ec.message());
                        self->Read(done);
                      });
  }

  void Read(Done done) {
    answer_ = {};
    http::async_read(stream_, buffer_, answer_,
                     [self = shared_from_this(), done](beast::error_code ec, std::size_t) {
                       if (ec) return self->Fail(done, "cannot read: " + ec.message());
                       done->set_value("");
                     });
  }

  void Fail(Done const& done, std::string error) {
    connected_ = false;
    stream_.close();
    done->set_value(std::move(error));
  }

  beast::tcp_stream stream_;
  tcp::endpoint server_;
  Request request_;
  beast::flat_buffer buffer_;
  Answer answer_;
  bool connected_ = false;
};

// ---- The exchange --------------------------------------------------------------------------

// One call as our stack makes it: the request our client sends and our server's answer.
struct Exchange {
  Request request;
  std::string answerType;
  std::string answerBody;
};

// Records one call: our client calls a floor server that keeps the request, which is then
// sent to our server as it was and its answer kept.
bool RecordExchange(Exchange* exchange, std::string* error) {
  FloorThreads threads(kIoThreads);
  {
    auto recorder = std::make_shared<FloorServer>(threads.context(), "application/json", "null");
    if (!recorder->Start(error)) return false;
    OurClient client(recorder->port(), 1, false);
    std::string ignored;
    client.Call(&ignored);  // the recorder's answer does not decode; only the request counts
    auto first = recorder->First();
    if (!first) {
      *error = "our client sent no request to the recorder";
      return false;
    }
    exchange->request = std::move(*first);
  }
  OurServer server;
  if (!server.Start(error)) return false;
  auto connection =
      std::make_shared<FloorConnection>(threads.context(), server.port(), exchange->request);
  Answer answer;
  std::string const failure = connection->Exchange(&answer);
  threads.Join();  // the floor's sockets are not used again
  if (!failure.empty()) {
    *error = "replaying the request to our server: " + failure;
    return false;
  }
  if (answer.result() != http::status::ok) {
    *error = "our server answered the recorded request with status " +
             std::to_string(answer.result_int());
    return false;
  }
  exchange->answerType = std::string(answer[http::field::content_type]);
  exchange->answerBody = std::move(answer.body());
  return true;
}

std::optional<Exchange> recorded;

// User and system time of every thread of the process so far.
// Runs one case with the benchmark's number of callers and reports its counters.
void Measure(benchmark::State& state, std::function<bool(int caller, std::string* error)> call) {
  int const callers = static_cast<int>(state.range(0));
  int const callsPerCaller = CallsFor(callers) / callers;
  bench::Load load(callers, callsPerCaller, {kWarmupCalls, kSetupWait, kRunLimit},
                   [call = std::move(call)](int caller, int, std::string* error) {
                     return call(caller, error);
                   });
  if (!load.WarmedUp()) {
    state.SkipWithError(("warming up: " + load.error()).c_str());
    return;
  }
  AllocationCount const allocations;
  for (auto _ : state) load.Run();
  // Read before anything else allocates; every timed call ran when the run has no error.
  double const allocationsPerCall =
      allocations.AllocationsPer(static_cast<long long>(callsPerCaller) * callers);
  if (!load.error().empty()) {
    state.SkipWithError(load.error().c_str());
    return;
  }
  auto const latencies = load.Latencies();
  state.counters["calls_per_s"] = static_cast<double>(latencies.size()) / load.seconds();
  state.counters["p50_us"] = bench::Percentile(latencies, 0.50);
  state.counters["p90_us"] = bench::Percentile(latencies, 0.90);
  state.counters["p99_us"] = bench::Percentile(latencies, 0.99);
  state.counters["cpu_us_per_call"] =
      load.cpuSeconds() * 1e6 / static_cast<double>(latencies.size());
  state.counters["allocs_per_call"] = allocationsPerCall;
}

// Our stack, the client's calls made through its pool or, `blocking`, on the callers' threads.
void OursWith(benchmark::State& state, bool blocking) {
  std::size_t const callers = static_cast<std::size_t>(state.range(0));
  OurServer server;
  std::string error;
  if (!server.Start(&error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  OurClient client(server.port(), std::max<std::size_t>(callers, 8), blocking);
  Measure(state, [&client](int, std::string* failure) { return client.Call(failure); });
}

void Ours(benchmark::State& state) { OursWith(state, false); }
void Blocking(benchmark::State& state) { OursWith(state, true); }

void Floor(benchmark::State& state) {
  std::size_t const callers = static_cast<std::size_t>(state.range(0));
  FloorThreads serverThreads(kIoThreads);
  FloorThreads clientThreads(kIoThreads);
  auto server = std::make_shared<FloorServer>(serverThreads.context(), recorded->answerType,
                                              recorded->answerBody);
  std::string error;
  if (!server->Start(&error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  std::vector<std::shared_ptr<FloorConnection>> connections;
  for (std::size_t i = 0; i < callers; ++i) {
    connections.push_back(std::make_shared<FloorConnection>(clientThreads.context(),
                                                            server->port(), recorded->request));
  }
  std::size_t const expectedSize = recorded->answerBody.size();
  Measure(state, [&connections, expectedSize](int caller, std::string* failure) {
    Answer answer;
    *failure = connections[static_cast<std::size_t>(caller)]->Exchange(&answer);
    if (failure->empty() &&
        (answer.result() != http::status::ok || answer.body().size() != expectedSize)) {
      *failure = "an unexpected answer";
    }
    return failure->empty();
  });
  // Stop both sides before their sockets go.
  clientThreads.Join();
  serverThreads.Join();
}

// ---- gRPC over TCP --------------------------------------------------------------------------

// Answers every get with the same fixed provider as FixedProviders.
class GrpcProviders final : public tirn::bench::KeyProviders::Service {
 public:
  grpc::Status Get(grpc::ServerContext*, tirn::bench::GetProviderRequest const*,
                   tirn::bench::ProviderInfo* info) override {
    info->set_type(tirn::bench::NATIVE);
    info->mutable_native_info()->set_key_id("k1");
    return grpc::Status::OK;
  }
};

void Grpc(benchmark::State& state) {
  GrpcProviders service;
  grpc::ServerBuilder builder;
  int port = 0;
  builder.AddListeningPort("127.0.0.1:0", grpc::InsecureServerCredentials(), &port);
  builder.RegisterService(&service);
  std::unique_ptr<grpc::Server> server = builder.BuildAndStart();
  if (!server || port == 0) {
    state.SkipWithError("the gRPC server did not start");
    return;
  }
  auto channel =
      grpc::CreateChannel("127.0.0.1:" + std::to_string(port), grpc::InsecureChannelCredentials());
  auto stub = tirn::bench::KeyProviders::NewStub(channel);
  Measure(state, [&stub](int, std::string* failure) {
    grpc::ClientContext context;
    context.set_deadline(std::chrono::system_clock::now() + kCallWait);
    tirn::bench::GetProviderRequest request;
    request.set_provider("vault-native");
    tirn::bench::ProviderInfo info;
    grpc::Status const status = stub->Get(&context, request, &info);
    if (!status.ok()) {
      *failure = "gRPC: " + status.error_message();
      return false;
    }
    if (info.native_info().key_id() != "k1") *failure = "an unexpected answer";
    return failure->empty();
  });
  server->Shutdown(std::chrono::system_clock::now() + kSetupWait);
}

// Prints ours / floor and ours / gRPC for calls per second, p50 and CPU per call at each
// concurrency.
class RatioReporter : public bench::MedianReporter {
 public:
  void Finalize() override {
    MedianReporter::Finalize();
    std::printf("\nOurs / peer (calls per second: below 1.0, we are slower; p50 latency and "
                "CPU per call: above 1.0, we are slower)\n");
    for (char const* peer : {"Floor", "Grpc"}) {
      for (char const* ourCase : {"Ours", "Blocking"}) {
        for (int callers : kConcurrencies) {
          std::string const args = "callers:" + std::to_string(callers);
          double ratios[3];
          bool measured = true;
          char const* const counters[] = {"calls_per_s", "p50_us", "cpu_us_per_call"};
          for (int i = 0; i < 3; ++i) {
            double const* ours = Figure(ourCase, args, counters[i]);
            double const* theirs = Figure(peer, args, counters[i]);
            measured = measured && ours && theirs;
            if (measured) ratios[i] = *ours / *theirs;
          }
          if (!measured) continue;
          std::printf("  %-8s / %-5s %2d callers: calls/s %5.2f   p50 %5.2f   cpu/call %5.2f\n",
                      ourCase, peer, callers, ratios[0], ratios[1], ratios[2]);
        }
      }
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  Exchange exchange;
  std::string error;
  if (!RecordExchange(&exchange, &error)) {
    std::fprintf(stderr, "cannot record the exchange: %s\n", error.c_str());
    return 1;
  }
  std::printf("One call: POST %s, request body %zu bytes; answer %s, body %zu bytes\n",
              std::string(exchange.request.target()).c_str(), exchange.request.body().size(),
              exchange.answerType.c_str(), exchange.answerBody.size());
  recorded = std::move(exchange);
  // Ours and the peers alternate, so that a change in the machine's load touches all alike.
  for (int callers : kConcurrencies) {
    for (auto const& [name, function] :
         {std::make_pair("Ours", &Ours), std::make_pair("Blocking", &Blocking),
          std::make_pair("Floor", &Floor), std::make_pair("Grpc", &Grpc)}) {
      benchmark::RegisterBenchmark(name, function)
          ->ArgName("callers")
          ->Arg(callers)
          ->Iterations(1)
          ->UseRealTime()
          ->Unit(benchmark::kMillisecond);
    }
  }
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
