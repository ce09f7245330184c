// Tirn::Http::Server: serves any API provider over HTTP/1.1, with or without TLS.
//
// Each call is one POST (docs/protocol.md): the server decodes the input with the operation's
// definition, hands the call to the provider with a fresh activation (the caller's language and
// time zone, its identity from the authenticator, its time limit), and answers with the
// provider's result as JSON, streaming progress reports to clients that ask for them.
//
//   Tirn::Http::IoThreads threads(2);  // tirn/http/io_threads.h
//   Tirn::Http::ServerOptions options;
//   options.port = 0;  // any free port
//   Tirn::Http::Server server(threads.contexts(), provider,
//                             Com::Ostrel::Nox::TrustedInfrastructure::Operations(), options);
//   std::string error;
//   if (!server.Start(&error)) Fail(error);
//   std::cout << "listening on port " << server.port() << "\n";
//   ...
//   server.Stop(std::chrono::seconds(5));
//
// The server runs on io_contexts that the application owns and runs on threads of its own
// (tirn/http/io_threads.h owns some for programs that want that): one context run by several
// threads, or several contexts, typically one per thread. It accepts on the last, and moves each
// connection as it arrives to the one serving the fewest connections (past one whose thread an
// operation holds: ServerOptions::runsOnIoThreadWhenAlone), where everything done for it runs:
// with one context per thread, a connection's work never wakes another thread. The server starts
// no thread itself, and resolves its listen address synchronously in Start. Every limit has a
// safe default; a slow or hostile client is cut off by them while others keep being served.
//
// Thread-safety: Start, Stop and port may be called from any thread; the callbacks in the
// options are called from the contexts' threads, possibly concurrently.
#ifndef TIRN_HTTP_SERVER_H_
#define TIRN_HTTP_SERVER_H_

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tirn/http/io_threads.h"
#include "tirn/http/protocol.h"
#include "tirn/http/server_options.h"
#include "tirn/http/server_types.h"
#include "tirn/runtime/call/activation.h"
#include "tirn/runtime/call/invocation.h"
#include "tirn/runtime/call/operation_table.h"

namespace Tirn {
namespace Http {

class TIRN_HTTP_EXPORT Server {
 public:
  // Serves `provider`'s operations listed in `operations`, which must outlive the server, on
  // `contexts` (one io_context converts to them).
  Server(IoContexts contexts, std::shared_ptr<Core::AsyncApiProvider> provider,
         Core::OperationTable const& operations, ServerOptions options);
  // Stops at once (no grace) if still running. Destroy the server before any io_context it
  // runs on.
  ~Server();

  Server(Server const&) = delete;
  Server& operator=(Server const&) = delete;

  // Loads the TLS files, binds and starts accepting. False, with the reason in `*error`, when
  // a file cannot be read or the address cannot be bound.
  bool Start(std::string* error);

  // Whether Start could use the TLS files `options` names, read now (true for plain HTTP);
  // false with the reason in `*error`. For a program that checks them before it makes anything.
  static bool CheckTls(ServerOptions const& options, std::string* error);

  // Rereads the TLS certificate chain, private key and client CAs from the files the options
  // name; connections accepted from then on use them, connections already open keep theirs.
  // False, with the reason in `*error` and the files read before still in use, when one
  // cannot be read, the key does not match the certificate, or the server serves plain HTTP.
  // Safe to call from any thread while the server runs.
  bool ReloadTls(std::string* error);

  // Until when the TLS files in force (loaded by Start or by the last ReloadTls that
  // succeeded) can serve: the end of the certificate's validity, and the earliest time by
  // which a client CRL is due to be replaced (past it, every client certificate of its issuer
  // is refused). The epoch where there is no such file (plain HTTP, no CRL, a CRL without a
  // next update; the clock's last point, in 2262, for any later time). Start and ReloadTls
  // refuse a certificate chain that has expired, and a CRL that is past due when client
  // certificates are required (with optional ones, the callers without are still served).
  // Safe to call from any thread.
  struct TlsValidity {
    std::chrono::system_clock::time_point certificate;
    std::chrono::system_clock::time_point clientCrl;
  };
  TlsValidity tlsValidity() const;

  // The port listened on; 0 before Start.
  unsigned short port() const;

  // Stops accepting, lets the calls in flight finish for up to `grace`, then closes every
  // connection; `done` (optional) is called once all are closed. Every answer written from
  // now on says Connection: close. A connection idle between requests closes at once; one
  // whose next request has begun to arrive has it answered first. Calling it again changes
  // nothing but adds its `done`.
  //
  // A call still running when its connection closes is cancelled (its activation's
  // isCancelled() turns true) but not waited for. Its provider may still answer it, report
  // progress, or drop its result callback, from any thread and at any time: after Stop, after
  // the server is destroyed, even after the io_context is destroyed. Such a delivery is a
  // no-op: its text is wiped, and it touches nothing of the server's or the io_context's,
  // because no object made on the io_context is kept alive by a call's callbacks.
  void Stop(std::chrono::milliseconds grace, std::function<void()> done = {});

  // The implementation, private to the library.
  class Impl;

 private:
  std::shared_ptr<Impl> impl_;
};

}  // namespace Http
}  // namespace Tirn

#endif  // TIRN_HTTP_SERVER_H_
