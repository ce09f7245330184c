// One accepted connection of the server, as the acceptor sees it: what a session needs of the
// server that accepted it (SessionHost), what the server needs of a session to stop it
// (SessionBase), and how a session is made for a plain or a TLS stream. The session itself,
// the reading of requests and the writing of answers, is in session.cc.
#ifndef TIRN_HTTP_SESSION_INTERNAL_H_
#define TIRN_HTTP_SESSION_INTERNAL_H_

#include <memory>
#include <string>

#include "tirn/http/asio_internal.h"
#include "tirn/http/handler_internal.h"
#include "tirn/http/server_options.h"

namespace Tirn {
namespace Http {
namespace detail {

class SessionBase;

// What a session needs of its server. Every member may be called from any session's strand.
class SessionHost {
 public:
  virtual ~SessionHost() = default;

  virtual ServerOptions const& options() const = 0;
  virtual HandlerContext const& handler() const = 0;
  // Whether the server has begun to stop: answers say Connection: close from then on.
  virtual bool stopping() const = 0;

  virtual void Log(std::string const& text) const = 0;
  // A request has been read (its record follows when it ends).
  virtual void Started() const = 0;
  // Whether anybody listens for the requests' records: none is made otherwise.
  virtual bool Recording() const = 0;
  virtual void Record(CallRecord const& record) const = 0;
  virtual void Connection(ConnectionEvent::Kind kind, std::string const& peer) const = 0;
  // The session has ended: the server counts it closed.
  virtual void Forget(SessionBase* session) = 0;
};

// What the server needs of a session.
class SessionBase {
 public:
  virtual ~SessionBase() = default;
  // Starts the session: the TLS handshake, if any, then the first request. Once registered.
  virtual void Run() = 0;
  // Closes now when no call is in flight, otherwise after its answer.
  virtual void StopWhenIdle() = 0;
  // Closes now.
  virtual void CloseNow() = 0;

  // The TLS context the connection was accepted with, kept while the connection lives: a
  // reload replaces the server's, not this one. Destroyed after the derived stream.
  std::shared_ptr<ssl::context const> tls;
};

// A session for a connection accepted from `peer` ("address:port"; `address` alone), on a
// strand of its own; not started until Run.
std::shared_ptr<SessionBase> MakeSession(beast::tcp_stream stream,
                                         std::shared_ptr<SessionHost> host, std::string peer,
                                         std::string address);
// The same over TLS, with the context `stream` was made with.
std::shared_ptr<SessionBase> MakeSession(beast::ssl_stream<beast::tcp_stream> stream,
                                         std::shared_ptr<SessionHost> host, std::string peer,
                                         std::string address,
                                         std::shared_ptr<ssl::context const> tls);

}  // namespace detail
}  // namespace Http
}  // namespace Tirn

#endif  // TIRN_HTTP_SESSION_INTERNAL_H_
