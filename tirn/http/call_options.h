// Typed access to what a call's activation carries for the HTTP transport, instead of the
// text entries of its execution context.
//
//   auto activation = std::make_shared<Tirn::Core::AsyncActivation>();
//   Tirn::Http::SetDeadline(activation, std::chrono::milliseconds(300));
//   stub.Get("vault", activation, result);   // timed_out if no answer within 300 ms
//
// On the server, the activation an implementation receives carries what the caller still
// waited when its request arrived: Tirn::Http::Deadline(*activation).
//
// A caller that reports on its calls (tirn --verbose) asks the client provider to note what it
// saw of the answer, and reads it once the final result has come:
//
//   Tirn::Http::NoteAnswer(activation);
//   provider->Invoke(method, input, activation, resultCb);
//   ... // once resultCb has had the final result:
//   if (auto seen = Tirn::Http::NotedAnswer(*activation)) Log(seen->status, seen->requestId);
#ifndef TIRN_HTTP_CALL_OPTIONS_H_
#define TIRN_HTTP_CALL_OPTIONS_H_

#include <chrono>
#include <memory>
#include <string>

#include <boost/optional.hpp>

#include "tirn/http/protocol.h"
#include "tirn/runtime/call/activation.h"

namespace Tirn {
namespace Http {

// Gives calls made with `activation` a time limit, from when each leaves: the client provider
// sends it to the server and answers timed_out when it passes. Limits below 1 ms count as
// 1 ms. Makes the activation's execution context when it has none; a null activation is
// left alone. Not safe while a call with the same activation is being started.
TIRN_HTTP_EXPORT void SetDeadline(std::shared_ptr<Core::AsyncActivation> const& activation,
                                  std::chrono::milliseconds limit);

// The time limit `activation` carries, or none (then the client's default applies).
TIRN_HTTP_EXPORT boost::optional<std::chrono::milliseconds> Deadline(
    Core::AsyncActivation const& activation);

// What the client provider saw of the answer to a call: of its last attempt, when it made
// several (ClientProvider says when).
struct AnswerSeen {
  // The URL that attempt called: "https://host:port/v1/<interface>/<operation>".
  std::string url;
  // The status of its answer; 0 when no answer's head was read (no connection could be made,
  // the TLS handshake failed, the connection broke or the time limit passed first).
  unsigned status = 0;
  // The request id the call was sent with (kRequestIdHeader: the activation's kRequestIdKey,
  // else one the client made), which the server logs; empty when no request was sent.
  std::string requestId;
};

// Asks the client provider to note, in `activation` itself (its properties
// kAnswerUrlProperty, kAnswerStatusProperty and kAnswerRequestIdProperty), what it saw of the
// answer to the next call made with it, before it delivers the call's final result; ask again
// before each call to be noted. The provider writes into the activation on its own thread:
// give such an activation one call at a time, and read it once the final result has come. A
// stub gives the provider a copy of its activation (AsyncActivation::ForCall), so ask on the
// activation the provider receives. A null activation is left alone.
TIRN_HTTP_EXPORT void NoteAnswer(std::shared_ptr<Core::AsyncActivation> const& activation);

// What the client provider noted in `activation`; none when it was not asked to, or has not
// delivered the call's final result yet.
TIRN_HTTP_EXPORT boost::optional<AnswerSeen> NotedAnswer(Core::AsyncActivation const& activation);

}  // namespace Http
}  // namespace Tirn

#endif  // TIRN_HTTP_CALL_OPTIONS_H_
