// What tirn-server counts about itself, as a Prometheus text page (GET /metrics): calls by
// operation and outcome, their latency, calls in flight, connections open and refused, bytes
// read and written, store operations and their failures, until when the TLS files serve, the
// start time and the version.
//
// The HTTP server reports calls and connections through its events; the store is counted by
// wrapping it. Every method may be called from any thread.
//
//   ServerApp::ServerMetrics metrics;
//   metrics.Subscribe(options);                          // calls and connections
//   auto store = metrics.CountStore(data.store);         // store operations
//   options.endpoints.push_back(metrics.Endpoint(true)); // the page, no token needed
#ifndef APPS_SERVER_METRICS_H_
#define APPS_SERVER_METRICS_H_

#include <memory>
#include <string>

#include "apps/reference/record_store.h"
#include "tirn/http/server.h"

namespace ServerApp {

class ServerMetrics {
 public:
  // The page reports the program's version as tirn_build_info's label.
  ServerMetrics();
  ~ServerMetrics();
  ServerMetrics(ServerMetrics const&) = delete;
  ServerMetrics& operator=(ServerMetrics const&) = delete;

  // Sets the options' callStarted, callFinished and connectionEvent to count, calling what
  // they held before as well (the access log).
  void Subscribe(Tirn::Http::ServerOptions& options);

  // `store`, with every operation counted (its kFailed and kUnavailable answers as failures,
  // the latter also as unavailable).
  std::shared_ptr<Reference::RecordStore> CountStore(std::shared_ptr<Reference::RecordStore> store);

  // Says from now on that the server drains (tirn_draining 1).
  void Draining();
  // Says until when the TLS files in force serve (tirn_tls_valid_until_timestamp_seconds, by
  // file: the certificate, the client CRL); a time at the epoch is left out.
  void TlsValidUntil(Tirn::Http::Server::TlsValidity const& validity);
  // The GET /metrics endpoint; `open`: served without a token even when tokens are required.
  Tirn::Http::Endpoint Endpoint(bool open) const;

  // The page, in the Prometheus text format (version 0.0.4).
  std::string Page() const;

  // The state the events and the store feed; shared with the counted store.
  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace ServerApp

#endif  // APPS_SERVER_METRICS_H_
