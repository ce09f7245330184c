// The small types a Tirn::Http::Server hands to and takes from its application: what a caller
// presented, the authenticator and authorizer deciding about it, the GET endpoints served beside
// the operations, and the records of finished calls and of connections. tirn/http/server.h
// includes this header, so its users get these names from there; the server's socket-free
// request handler includes only this one.
#ifndef TIRN_HTTP_SERVER_TYPES_H_
#define TIRN_HTTP_SERVER_TYPES_H_

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>

#include "tirn/http/protocol.h"
#include "tirn/runtime/call/activation.h"

namespace Tirn {
namespace Http {

// What a caller presented.
struct Credentials {
  // The token of an "Authorization: Bearer" header; empty when there is none. Wiped after the
  // authenticator returns.
  std::string bearerToken;
  // The subject of the client's TLS certificate, verified against the server's client CA;
  // empty when the client sent none.
  std::string clientCertificate;
  // The caller the verified certificate names, read from the field ServerOptions::
  // clientNameFrom says (the subject's common name by default); empty without a certificate
  // or without that field.
  std::string clientName;
  // "address:port" of the peer.
  std::string peer;
};

// Decides who a caller is: true with `identity` filled to accept the call (the identity is
// stored in the activation's security context under kCallerKey, and its `text` names the
// caller in the access log, the authorizer and the per-caller limits), false to answer
// unauthenticated (401). Called concurrently from the server's threads.
using Authenticator =
    std::function<bool(Credentials const& credentials, Core::SecurityContextWrappedEntry& identity)>;

// Decides whether `caller` (the identity's text; "-" for an anonymous caller) may call
// `operation` ("kms.providers.create"): false answers unauthorized (403) before the provider
// hears of the call. Called concurrently from the server's threads.
using Authorizer = std::function<bool(std::string const& caller, std::string const& operation)>;

// A finished call, or any other answered request: one per request the server read, whether
// it was answered, timed out, or its client went away. Never a body, a token or a secret.
struct CallRecord {
  std::string peer;
  std::string method;
  // "kms.providers.get", "healthz" (a GET endpoint's path without its slash), or "-" when
  // the request named nothing the server serves.
  std::string operation;
  // "ok", the name of the error answered ("com.ostrel.tirn.std.errors.not_found", also when a
  // streamed answer carried it), "com.ostrel.tirn.std.errors.timed_out" when the caller's time
  // limit passed first, or "cancelled" when the client went away before its answer.
  std::string outcome;
  // The HTTP status actually sent; 0 when the connection closed before any answer.
  unsigned status = 0;
  // The authenticated caller; "-" when anonymous or not yet known.
  std::string caller = "-";
  std::string requestId;
  std::size_t requestBytes = 0;  // of the request's body
  std::size_t answerBytes = 0;   // of the answer's body or frames
  std::chrono::microseconds duration{0};
};

// A connection accepted, refused (a limit was reached or the server is stopping) or closed.
struct ConnectionEvent {
  enum Kind { kOpened, kRefused, kClosed };
  Kind kind = kOpened;
  std::string peer;
};

// The answer of a GET endpoint.
struct EndpointAnswer {
  unsigned status = 200;
  std::string contentType = kJsonType;
  std::string body;
};

// A GET endpoint served beside the operations ("/metrics", "/readyz"). When the server has an
// authenticator, an endpoint needs a token it accepts unless `open` is set; the built-in
// kHealthPath is always open. `answer` is called on the server's threads, possibly
// concurrently.
struct Endpoint {
  std::string path;
  bool open = false;
  std::function<EndpointAnswer()> answer;
};

}  // namespace Http
}  // namespace Tirn

#endif  // TIRN_HTTP_SERVER_TYPES_H_
