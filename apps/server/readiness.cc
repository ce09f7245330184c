#include "apps/server/readiness.h"

namespace ServerApp {

Tirn::Http::Endpoint Readiness::Endpoint() {
  Tirn::Http::Endpoint endpoint;
  endpoint.path = "/readyz";
  endpoint.open = true;
  endpoint.answer = [this] {
    Tirn::Http::EndpointAnswer answer;
    if (draining_) {
      answer.status = 503;
      answer.body = R"({"status":"draining"})";
    } else if (Probe()) {
      answer.body = R"({"status":"ready"})";
    } else {
      answer.status = 503;
      answer.body = R"({"status":"unavailable"})";
    }
    return answer;
  };
  return endpoint;
}

bool Readiness::Probe() {
  std::string why;
  bool const ready = store_.Ready(why);
  // Probes answered at once on several threads: the one that changes the state says so.
  if (ready_.exchange(ready) != ready) {
    log_.Note(ready ? "ready: the records can be served again"
                    : "not ready: the records cannot be served now: " + why);
  }
  return ready;
}

}  // namespace ServerApp
