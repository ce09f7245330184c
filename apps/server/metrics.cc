#include "apps/server/metrics.h"

#include <prometheus/counter.h>
#include <prometheus/family.h>
#include <prometheus/gauge.h>
#include <prometheus/histogram.h>
#include <prometheus/registry.h>
#include <prometheus/text_serializer.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <tuple>
#include <utility>
#include <vector>

namespace ServerApp {

namespace {

using prometheus::BuildCounter;
using prometheus::BuildGauge;
using prometheus::BuildHistogram;
using prometheus::Counter;
using prometheus::Family;
using prometheus::Gauge;
using prometheus::Histogram;

// From half a millisecond to ten seconds: a call served from memory, one that waits for the
// disk, one that waits for a slow store.
Histogram::BucketBoundaries const kLatencyBuckets = {0.0005, 0.001, 0.0025, 0.005, 0.01,
                                                     0.025,  0.05,  0.1,    0.25,  0.5,
                                                     1,      2.5,   5,      10};

}  // namespace

struct ServerMetrics::State {
  explicit State(std::string const& version)
      : registry(std::make_shared<prometheus::Registry>()),
        calls(BuildCounter()
                  .Name("tirn_calls_total")
                  .Help("Requests answered, by operation and outcome ('ok' or the error's name)")
                  .Register(*registry)),
        latency(BuildHistogram()
                    .Name("tirn_call_duration_seconds")
                    .Help("Time from reading a request to its answer written, by operation")
                    .Register(*registry)),
        inFlight(BuildGauge()
                     .Name("tirn_calls_in_flight")
                     .Help("Requests read and not yet answered")
                     .Register(*registry)
                     .Add({})),
        connectionsOpen(BuildGauge()
                            .Name("tirn_connections_open")
                            .Help("Connections open now")
                            .Register(*registry)
                            .Add({})),
        connections(BuildCounter()
                        .Name("tirn_connections_total")
                        .Help("Connections by what became of them at accept: 'accepted' or "
                              "'refused' (a limit reached, or stopping)")
                        .Register(*registry)),
        accepted(connections.Add({{"event", "accepted"}})),
        refused(connections.Add({{"event", "refused"}})),
        requestBytes(BuildCounter()
                         .Name("tirn_request_bytes_total")
                         .Help("Bytes of request bodies read")
                         .Register(*registry)
                         .Add({})),
        answerBytes(BuildCounter()
                        .Name("tirn_answer_bytes_total")
                        .Help("Bytes of answer bodies and frames written")
                        .Register(*registry)
                        .Add({})),
        storeOperations(BuildCounter()
                            .Name("tirn_store_operations_total")
                            .Help("Operations asked of the record store, by operation")
                            .Register(*registry)),
        storeFailures(BuildCounter()
                          .Name("tirn_store_failures_total")
                          .Help("Operations the record store could not do, by operation: it "
                                "failed, or it could not be used then (counted also in "
                                "tirn_store_unavailable_total)")
                          .Register(*registry)),
        storeUnavailable(BuildCounter()
                             .Name("tirn_store_unavailable_total")
                             .Help("Operations the record store could not do because it could "
                                   "not be used then (its database away, or the records "
                                   "resealed with another key), by operation")
                             .Register(*registry)) {
    BuildGauge()
        .Name("process_start_time_seconds")
        .Help("Start time of the process since the Unix epoch, in seconds")
        .Register(*registry)
        .Add({})
        .Set(std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
                 .count());
    BuildGauge()
        .Name("tirn_build_info")
        .Help("The version of tirn-server; always 1")
        .Register(*registry)
        .Add({{"version", version}})
        .Set(1);
  }

  // One store operation's counters, made at start so that a dashboard sees them at zero.
  struct StoreCounters {
    Counter& operations;
    Counter& failures;
    Counter& unavailable;
  };
  StoreCounters Store(char const* operation) {
    return {storeOperations.Add({{"operation", operation}}),
            storeFailures.Add({{"operation", operation}}),
            storeUnavailable.Add({{"operation", operation}})};
  }

  std::shared_ptr<prometheus::Registry> registry;
  Gauge& draining = BuildGauge()
                        .Name("tirn_draining")
                        .Help("1 while the server drains before it stops (not ready, finishing "
                              "the calls in flight), 0 otherwise")
                        .Register(*registry)
                        .Add({});
  Family<Gauge>& tlsValidUntil = BuildGauge()
                                     .Name("tirn_tls_valid_until_timestamp_seconds")
                                     .Help("Until when the TLS files in force serve, in seconds "
                                           "since the Unix epoch, by file: 'certificate' (the "
                                           "end of its validity), 'client_crl' (the earliest "
                                           "next update of the client CRLs)")
                                     .Register(*registry);
  // Its series, null while there is none; changed under tlsMutex.
  std::mutex tlsMutex;
  Gauge* tlsCertificate = nullptr;
  Gauge* tlsClientCrl = nullptr;
  Family<Counter>& calls;
  Family<Histogram>& latency;
  Gauge& inFlight;
  Gauge& connectionsOpen;
  Family<Counter>& connections;
  Counter& accepted;
  Counter& refused;
  Counter& requestBytes;
  Counter& answerBytes;
  Family<Counter>& storeOperations;
  Family<Counter>& storeFailures;
  Family<Counter>& storeUnavailable;
};

namespace {

using Reference::ProviderRecord;
using Reference::KeyedWrite;
using Reference::RecordStore;
using Reference::ServerKind;
using Reference::ServerRecord;
using Reference::StoreStatus;

// A record store that counts what it is asked and what it fails, and passes everything on
// (readiness included).
class CountedStore final : public RecordStore {
 public:
  CountedStore(std::shared_ptr<RecordStore> inner, std::shared_ptr<ServerMetrics::State> state)
      : inner_(std::move(inner)),
        state_(std::move(state)),
        listProviders_(state_->Store("list_providers")),
        getProvider_(state_->Store("get_provider")),
        createProvider_(state_->Store("create_provider")),
        updateProvider_(state_->Store("update_provider")),
        deleteProvider_(state_->Store("delete_provider")),
        listServers_(state_->Store("list_servers")),
        getServer_(state_->Store("get_server")),
        createServer_(state_->Store("create_server")),
        deleteServer_(state_->Store("delete_server")) {}

  StoreStatus ListProviders(std::vector<ProviderRecord>& out, std::string& error,
                            Reference::Unseal unseal = Reference::Unseal::kNo) override {
    return Count(listProviders_, inner_->ListProviders(out, error, unseal));
  }
  StoreStatus GetProvider(std::string const& id, ProviderRecord& out, std::string& error,
                          Reference::Unseal unseal = Reference::Unseal::kNo) override {
    return Count(getProvider_, inner_->GetProvider(id, out, error, unseal));
  }
  StoreStatus CreateProvider(ProviderRecord const& record, std::string& error,
                             KeyedWrite* keyed = nullptr) override {
    return Count(createProvider_, inner_->CreateProvider(record, error, keyed));
  }
  StoreStatus UpdateProvider(std::string const& id,
                             std::function<bool(ProviderRecord&)> const& change,
                             std::string& error, KeyedWrite* keyed = nullptr) override {
    return Count(updateProvider_, inner_->UpdateProvider(id, change, error, keyed));
  }
  StoreStatus DeleteProvider(std::string const& id, std::string& error,
                             KeyedWrite* keyed = nullptr) override {
    return Count(deleteProvider_, inner_->DeleteProvider(id, error, keyed));
  }
  StoreStatus ListServers(ServerKind kind, std::vector<ServerRecord>& out,
                          std::string& error) override {
    return Count(listServers_, inner_->ListServers(kind, out, error));
  }
  StoreStatus GetServer(ServerKind kind, std::string const& id, ServerRecord& out,
                        std::string& error) override {
    return Count(getServer_, inner_->GetServer(kind, id, out, error));
  }
  StoreStatus CreateServer(ServerKind kind, std::string const& idPrefix, ServerRecord& record,
                           std::string& error, KeyedWrite* keyed = nullptr) override {
    return Count(createServer_, inner_->CreateServer(kind, idPrefix, record, error, keyed));
  }
  StoreStatus DeleteServer(ServerKind kind, std::string const& id, std::string& error,
                           KeyedWrite* keyed = nullptr) override {
    return Count(deleteServer_, inner_->DeleteServer(kind, id, error, keyed));
  }
  bool Ready(std::string& why) override { return inner_->Ready(why); }
  bool ReadsAtOnce() const override { return inner_->ReadsAtOnce(); }
  bool WaitsOnlyForItsDisk() const override { return inner_->WaitsOnlyForItsDisk(); }
  void KeepKeysFor(std::chrono::seconds window) override { inner_->KeepKeysFor(window); }

 private:
  static StoreStatus Count(ServerMetrics::State::StoreCounters const& counters,
                           StoreStatus status) {
    counters.operations.Increment();
    if (status == StoreStatus::kFailed || status == StoreStatus::kUnavailable) {
      counters.failures.Increment();
    }
    if (status == StoreStatus::kUnavailable) counters.unavailable.Increment();
    return status;
  }

  std::shared_ptr<RecordStore> inner_;
  std::shared_ptr<ServerMetrics::State> state_;  // keeps the counters below alive
  ServerMetrics::State::StoreCounters listProviders_, getProvider_, createProvider_,
      updateProvider_, deleteProvider_, listServers_, getServer_, createServer_, deleteServer_;
};

std::string PageOf(ServerMetrics::State const& state) {
  return prometheus::TextSerializer().Serialize(state.registry->Collect());
}

}  // namespace

ServerMetrics::ServerMetrics() : state_(std::make_shared<State>(TIRN_VERSION)) {}

ServerMetrics::~ServerMetrics() = default;

void ServerMetrics::Draining() { state_->draining.Set(1); }

void ServerMetrics::TlsValidUntil(Tirn::Http::Server::TlsValidity const& validity) {
  using Time = std::chrono::system_clock::time_point;
  std::lock_guard<std::mutex> lock(state_->tlsMutex);
  for (auto const& [file, until, gauge] :
       {std::tuple<char const*, Time, Gauge**>{"certificate", validity.certificate,
                                                &state_->tlsCertificate},
        {"client_crl", validity.clientCrl, &state_->tlsClientCrl}}) {
    if (until == Time()) {
      if (*gauge) state_->tlsValidUntil.Remove(*gauge);
      *gauge = nullptr;
      continue;
    }
    // Made with its value, so that no scrape sees it at zero.
    auto const seconds = static_cast<double>(std::chrono::system_clock::to_time_t(until));
    *gauge = &state_->tlsValidUntil.Add({{"file", file}}, seconds);
    (*gauge)->Set(seconds);
  }
}

void ServerMetrics::Subscribe(Tirn::Http::ServerOptions& options) {
  auto const state = state_;
  options.callStarted = [state, before = std::move(options.callStarted)] {
    state->inFlight.Increment();
    if (before) before();
  };
  options.callFinished = [state, before = std::move(options.callFinished)](
                             Tirn::Http::CallRecord const& record) {
    state->inFlight.Decrement();
    state->calls.Add({{"operation", record.operation}, {"outcome", record.outcome}}).Increment();
    state->latency.Add({{"operation", record.operation}}, kLatencyBuckets)
        .Observe(std::chrono::duration<double>(record.duration).count());
    state->requestBytes.Increment(static_cast<double>(record.requestBytes));
    state->answerBytes.Increment(static_cast<double>(record.answerBytes));
    if (before) before(record);
  };
  options.connectionEvent = [state, before = std::move(options.connectionEvent)](
                                Tirn::Http::ConnectionEvent const& event) {
    switch (event.kind) {
      case Tirn::Http::ConnectionEvent::kOpened:
        state->accepted.Increment();
        state->connectionsOpen.Increment();
        break;
      case Tirn::Http::ConnectionEvent::kRefused:
        state->refused.Increment();
        break;
      case Tirn::Http::ConnectionEvent::kClosed:
        state->connectionsOpen.Decrement();
        break;
    }
    if (before) before(event);
  };
}

std::shared_ptr<Reference::RecordStore> ServerMetrics::CountStore(
    std::shared_ptr<Reference::RecordStore> store) {
  return std::make_shared<CountedStore>(std::move(store), state_);
}

Tirn::Http::Endpoint ServerMetrics::Endpoint(bool open) const {
  Tirn::Http::Endpoint endpoint;
  endpoint.path = "/metrics";
  endpoint.open = open;
  endpoint.answer = [state = state_] {
    Tirn::Http::EndpointAnswer answer;
    answer.contentType = "text/plain; version=0.0.4; charset=utf-8";
    answer.body = PageOf(*state);
    return answer;
  };
  return endpoint;
}

std::string ServerMetrics::Page() const { return PageOf(*state_); }

}  // namespace ServerApp
