// Tirn::Http::ClientProvider: an API provider that sends calls to a Tirn::Http::Server.
//
// Hand it to an AsyncApiStub in place of an in-process provider and the generated stubs call
// a server in another process:
//
//   Tirn::Http::IoThreads threads(1);
//   auto provider = std::make_shared<Tirn::Http::ClientProvider>(
//       threads.contexts(), "https://kms.example:8443",
//       Com::Ostrel::Nox::TrustedInfrastructure::Operations(), options);
//   auto apiStub = std::make_shared<Tirn::Stub::AsyncApiStub>(provider, templateActivation);
//
// Each call is one POST (docs/protocol.md) on a kept-alive connection from a small pool. The
// activation's language preference and time zone travel as headers; so does its time limit
// (execution-context key kTimeoutKey, else the default of the options): when it passes, the
// handle receives timed_out whatever the server does. A call whose activation's isCancelled()
// turns true is aborted within kCancelPoll and answered with the generic error carrying
// "tirn.http.cancelled". Progress reports stream back in order before the final result.
//
// Answers are decoded with the operation's definitions but not validated: what the stub
// cannot convert takes the stub's own path. Transport failures reach the handle as standard
// errors: service_unavailable (connection refused, TLS failure, broken connection, or a
// 502, 503 or 504 from a proxy or balancer in front of the server), timed_out,
// internal_server_error for an answer that cannot be read, and the generic error with
// "tirn.http.not.tirn.answer" for another error status without a tirn error (another kind of
// server, or a path no tirn server serves). Messages name the server (host:port) the failed
// attempt went to; a connection to an http:// URL that ends before any byte of an answer asks
// whether the server speaks TLS. A caller that wants the URL, status and request id of the
// answer asks for them (Tirn::Http::NoteAnswer in call_options.h).
//
// Every call carries an idempotency key (kIdempotencyKeyHeader), the same on each of its
// attempts: the activation's application data Core::ContextKeys::kIdempotencyKey when set
// (1 to kIdempotencyKeyLimit visible ASCII characters, else the call fails at once with
// invalid_argument), else a random key of the client's own. A server that keeps the outcome
// of each call by key answers an attempt it has seen before with that outcome instead of
// doing the call again. Fetch sends none.
//
// The client may be given several base URLs, servers that serve the same calls. A call
// starts at the one the client prefers, the first until an attempt on it fails; each attempt
// after a failure goes to the next URL in the list (after the last, the first), and the
// client prefers that one from then on. A call is tried again, after a jittered pause that
// doubles from kRetryPause up to kLongestRetryPause and always within the call's own time
// limit, when
//   - its request was never sent: the connection was refused, or not made in time. Tried
//     again until the time limit (a server restarting, or starting, is waited for), or
//     ClientOptions::connectAttempts;
//   - its request was sent but no byte of an answer came back (the write failed, or the
//     connection was reset or closed: typically a kept-alive connection the server closed
//     meanwhile), or the answer was a 502 or 503 (nothing reached the caller). Sent again on
//     a new connection, with the same key, while ClientOptions::maxAttempts allows.
// Once any other answer has begun (a byte of it read, a progress report delivered), the call
// is never tried again. When the attempts run out, the last attempt's outcome is the call's.
// A name that does not resolve, or a TLS handshake that fails, ends the call at once (waiting
// would not cure it), and new calls start at the next URL.
//
// At most ClientOptions::maxConnections connections are open at once; further calls wait in
// order for one. Answer bodies are wiped from memory once read; requests (body and header
// fields, the token among them) are kept for the call's attempts and wiped when it ends.
//
// Threads and contexts: the provider runs on io_contexts the application owns (one, run by any
// number of threads, or several, typically one per thread: tirn/http/io_threads.h). Each
// connection lives on one of them, the next in turn, and everything done for it runs there.
// The provider starts no thread of its own, but the first call on a context makes Asio's
// asynchronous resolver start its one internal thread for that context, to look the server's
// name up. Thread-safety: Invoke may be called from any number of threads at once. Answers
// are delivered on the contexts' threads.
#ifndef TIRN_HTTP_CLIENT_PROVIDER_H_
#define TIRN_HTTP_CLIENT_PROVIDER_H_

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tirn/http/client_options.h"
#include "tirn/http/io_threads.h"
#include "tirn/http/protocol.h"
#include "tirn/runtime/call/invocation.h"
#include "tirn/runtime/call/operation_table.h"

namespace Tirn {
namespace Http {

class TIRN_HTTP_EXPORT ClientProvider : public Core::AsyncApiProvider {
 public:
  // How often a call in flight checks whether its caller cancelled it.
  static constexpr std::chrono::milliseconds kCancelPoll{50};
  // The pause before a call's second attempt, and the longest pause between two.
  static constexpr std::chrono::milliseconds kRetryPause{50};
  static constexpr std::chrono::milliseconds kLongestRetryPause{1000};

  // Calls the server at `baseUrl` ("http://host:port" or "https://host:port", no path).
  // Throws std::invalid_argument for a malformed URL (a programming error); a URL that comes
  // from a user goes through Create instead. `operations` must outlive the provider.
  ClientProvider(IoContexts contexts, std::string const& baseUrl,
                 Core::OperationTable const& operations, ClientOptions options = {});
  // Calls the servers at `baseUrls`, each as above, in that order of preference (see the
  // header's comment). Throws std::invalid_argument for an empty list or a malformed URL.
  ClientProvider(IoContexts contexts, std::vector<std::string> const& baseUrls,
                 Core::OperationTable const& operations, ClientOptions options = {});

  // The same for URLs and files that may be wrong: null, with what is wrong in `*error`, when
  // a URL is malformed, the list is empty, or (for https) the CA file, the client certificate
  // or its key cannot be used, or the certificate has expired. Never throws for them. (A provider made by a constructor
  // instead answers each https call with that TLS failure.)
  static std::shared_ptr<ClientProvider> Create(IoContexts contexts,
                                                std::string const& baseUrl,
                                                Core::OperationTable const& operations,
                                                ClientOptions options, std::string* error);
  static std::shared_ptr<ClientProvider> Create(IoContexts contexts,
                                                std::vector<std::string> const& baseUrls,
                                                Core::OperationTable const& operations,
                                                ClientOptions options, std::string* error);
  ~ClientProvider() override;

  ClientProvider(ClientProvider const&) = delete;
  ClientProvider& operator=(ClientProvider const&) = delete;

  void Invoke(std::shared_ptr<Core::MethodIdentifier const> const& method,
              Data::DataValuePtr const& input, std::shared_ptr<Core::AsyncActivation> const& activation,
              Core::AsyncApiResultCb const& resultCb) override;

  // The same call, made on the calling thread, which it blocks until the final result has
  // been delivered: for a caller that would wait for the answer anyway. This thread writes the
  // request, reads the answer and delivers it to `resultCb` (progress reports, then the
  // result) before returning, so that the call crosses no thread (the one exception: Asio's
  // resolver thread looks the server's name up when a connection is made).
  //
  // The call goes on a connection of this thread's own, made on its first blocking call and
  // kept for its next ones until the provider is destroyed: one per calling thread, beside the
  // pool that ClientOptions::maxConnections bounds. The rules of Invoke hold, checked by this
  // thread while it waits: the time limit ends the call with timed_out; a cancellation from
  // another thread (the activation's isCancelled()) is seen within kCancelPoll; a request
  // that got no answer is sent again, after the same pauses, while the options allow. Safe to
  // call from any number of threads at once, each on its own connection; a call made from
  // one of the provider's own io_context threads blocks that thread's other connections
  // meanwhile. Called again from within one of its own deliveries, on the same thread, the
  // inner call goes through the pool (delivered on the client's threads) while this thread
  // waits for it. Invoke (and a stub's future form, which calls Invoke) keeps the pooled path.
  void InvokeAndWait(std::shared_ptr<Core::MethodIdentifier const> const& method,
                     Data::DataValuePtr const& input,
                     std::shared_ptr<Core::AsyncActivation> const& activation,
                     Core::AsyncApiResultCb const& resultCb);

  // Reads the document the server serves at `target` by GET ("/v1/operations" for its
  // operations, "/v1/openapi.json"), over the same connections and with the same token, TLS
  // settings, language and time limit as a call with `activation`. `resultCb` receives, once,
  // the JSON body of a 200 answer as the output (read by its shape: objects become dynamic
  // structures), or the error the server answered or the transport made, as for a call.
  //
  //   provider->Fetch("/v1/operations", activation, resultCb);
  void Fetch(std::string const& target, std::shared_ptr<Core::AsyncActivation> const& activation,
             Core::AsyncApiResultCb const& resultCb);

  // The implementation, private to the library.
  class Impl;

 private:
  std::shared_ptr<Impl> impl_;
};

}  // namespace Http
}  // namespace Tirn

#endif  // TIRN_HTTP_CLIENT_PROVIDER_H_
