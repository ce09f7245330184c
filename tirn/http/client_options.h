// Tirn::Http::ClientOptions: how a Tirn::Http::ClientProvider calls its servers (TLS, tokens,
// time limits, attempts, connections). tirn/http/client_provider.h includes this header, so its
// users get the name from there; the client's connection pool and calls include only this one.
#ifndef TIRN_HTTP_CLIENT_OPTIONS_H_
#define TIRN_HTTP_CLIENT_OPTIONS_H_

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>

namespace Tirn {
namespace Http {

struct ClientOptions {
  // PEM file of the CAs that may sign the server's certificate; empty: the system's.
  std::string caFile;
  // Verify the server's certificate and its host name (https only). Default: on.
  bool verifyPeer = true;
  // PEM files of a client certificate and key, for servers that ask for one; empty: none. A
  // certificate that has expired is refused here, before any server would refuse it.
  std::string certificateFile;
  std::string privateKeyFile;
  // Returns the bearer token to send with each call; empty function or empty token: none.
  std::function<std::string()> tokenSupplier;
  // Time limit of a call whose activation gives none. Default 30 s.
  std::chrono::milliseconds defaultTimeout{30000};
  // Time to connect (and shake hands) before an attempt counts as failed. Default 5 s.
  std::chrono::milliseconds connectTimeout{5000};
  // Attempts to connect before the call fails with service_unavailable; 0: as many as its
  // time limit allows. A connection that cannot be made (refused, or not made within
  // connectTimeout) is tried again after a pause (ClientProvider::kRetryPause, doubling up to
  // kLongestRetryPause, jittered): nothing was sent, so another attempt is safe. Bounds only
  // these attempts, whose request never left; maxAttempts bounds those sent. Default 0.
  int connectAttempts = 0;
  // Attempts whose request was sent, in all, before the call ends with the last one's
  // outcome: a request sent again is one that got no answer, or a 502 or 503 (see the
  // header's comment). 1: never sent twice; values below 1 count as 1. Default 3.
  int maxAttempts = 3;
  // Idle connections kept for reuse. Default 8.
  std::size_t poolSize = 8;
  // Connections open at once, in use or idle; calls beyond them wait, in order, for one to
  // be free, each still bound by its own time limit (a cancelled call leaves the queue).
  // 0: no bound. Default 32.
  std::size_t maxConnections = 32;
  // The longest time limit a call may have (from its activation or defaultTimeout); longer
  // ones are clamped to it. Default one hour.
  std::chrono::milliseconds maxCallTimeout{3600000};
  // Reuse connections. Default: on.
  bool keepAlive = true;
  // An idle connection older than this is not reused. Default 15 s (below the server's 30 s):
  // keep it below the idle limit of the server called, since a connection idle for less than a
  // second is reused without checking that the server has not closed it.
  std::chrono::milliseconds idleTimeout{15000};
  // Largest answer accepted, in bytes. Default 64 MiB.
  std::size_t answerLimit = 64 << 20;
};

}  // namespace Http
}  // namespace Tirn

#endif  // TIRN_HTTP_CLIENT_OPTIONS_H_
