// GET /readyz: whether an instance can serve its records now, for a load balancer that should
// send calls elsewhere meanwhile (GET /healthz says only that the process answers).
//
//   ServerApp::Readiness readiness(*store, log);
//   options.endpoints.push_back(readiness.Endpoint());
//   ...
//   readiness.Drain();  // on SIGTERM: not ready from now on
//
// The endpoint is always open, and so its answer says nothing of why: the log does, once each
// time readiness changes, however often the probes come. Thread-safety: the endpoint may be
// asked from any number of threads, and Drain called from any thread.
#ifndef APPS_SERVER_READINESS_H_
#define APPS_SERVER_READINESS_H_

#include <atomic>
#include <string>

#include "apps/reference/record_store.h"
#include "apps/server/log_line.h"
#include "tirn/http/server.h"

namespace ServerApp {

class Readiness {
 public:
  // `store` and `log` must outlive it, and it the servers it is given to.
  Readiness(Reference::RecordStore& store, LogWriter& log) : store_(store), log_(log) {}

  // 200 {"status":"ready"} while the store is ready; 503 {"status":"unavailable"} while it is
  // not, and 503 {"status":"draining"} once Drain was called.
  Tirn::Http::Endpoint Endpoint();

  // From now on the instance is not ready: it is about to stop, and a balancer should send its
  // calls elsewhere.
  void Drain() { draining_ = true; }

 private:
  bool Probe();

  Reference::RecordStore& store_;
  LogWriter& log_;
  // The store was ready when it was opened.
  std::atomic<bool> ready_{true};
  std::atomic<bool> draining_{false};
};

}  // namespace ServerApp

#endif  // APPS_SERVER_READINESS_H_
