// Tirn::Http::ServerOptions: how a Tirn::Http::Server listens, what it limits, and whom it tells
// what happens. tirn/http/server.h includes this header, so its users get the name from there;
// the server's sessions include only this one.
#ifndef TIRN_HTTP_SERVER_OPTIONS_H_
#define TIRN_HTTP_SERVER_OPTIONS_H_

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "tirn/http/server_types.h"

namespace boost {
namespace asio {
class io_context;
}  // namespace asio
}  // namespace boost

namespace Tirn {
namespace Http {

struct ServerOptions {
  // The address to listen on: an IP address or a host name. Default: loopback only.
  std::string address = "127.0.0.1";
  // 0 picks a free port; port() tells which.
  unsigned short port = 0;
  // PEM files of the server's certificate chain and private key; both empty: plain HTTP.
  std::string tlsCertificateFile;
  std::string tlsPrivateKeyFile;
  // PEM file of the CAs whose client certificates are verified and handed to the
  // authenticator; empty: no client certificates are asked for. A certificate that does not
  // verify (another CA, expired, revoked) is refused in the handshake, and the log callback
  // says why.
  std::string tlsClientCaFile;
  // Whether a client must send a certificate (with tlsClientCaFile): one without is then
  // refused in the handshake. Default: it need not, and the authenticator decides about a
  // client without one (tirn-server requires one unless told otherwise).
  bool tlsClientCertificateRequired = false;
  // PEM file of certificate revocation lists of the client CAs; empty: none. With one, every
  // client certificate is checked against a CRL of its issuer, so each client CA needs one.
  std::string tlsClientCrlFile;
  // Which field of a verified client certificate names its caller (Credentials::clientName).
  enum class ClientName { kCommonName, kSanUri, kSanDns };
  ClientName clientNameFrom = ClientName::kCommonName;
  // Largest request body, in bytes (413 beyond). Default 1 MiB.
  std::size_t bodyLimit = 1 << 20;
  // Largest request header block, in bytes (431 beyond). Default 16 KiB.
  std::size_t headerLimit = 16 << 10;
  // Deepest nesting of a request body's JSON (400 beyond, naming where). Default 10,000.
  std::size_t depthLimit = 10000;
  // Connections served at once; further ones are closed at once. Default 512.
  std::size_t maxConnections = 512;
  // Connections served at once from one peer address, counted at accept (before anything is
  // read), so that silent sockets from one address cannot take every connection; further
  // ones are closed at once. 0: no limit. Default 256. Behind a load balancer every
  // connection comes from its address: set this above the balancer's own connection limit
  // toward this server, or to 0.
  std::size_t maxConnectionsPerAddress = 256;
  // Connections and calls in flight one caller may hold at once (the authenticated caller,
  // or the peer's address for an anonymous one); beyond them a request is answered 429 with
  // Retry-After. 0: no limit. Default 256 each, so that no caller can take every connection.
  std::size_t maxConnectionsPerCaller = 256;
  std::size_t maxCallsPerCaller = 256;
  // Time for one whole request (headers and body) to arrive, and for one answer to be
  // written. Default 10 s.
  std::chrono::milliseconds readTimeout{10000};
  // Time a connection may wait for its next request, whatever it has done before. Default
  // 30 s.
  std::chrono::milliseconds idleTimeout{30000};
  // The longest time limit a caller may give (X-Tirn-Timeout-Ms); longer ones are clamped to
  // it. Default one hour.
  std::chrono::milliseconds maxCallTimeout{3600000};
  // Decides who calls; empty: every call is anonymous (the log callback says so at start).
  Authenticator authenticator;
  // Decides who may call what; empty: every caller may call every operation.
  Authorizer authorizer;
  // GET endpoints served beside kHealthPath.
  std::vector<Endpoint> endpoints;
  // The OpenAPI 3.1 document served at kOpenApiPath (GET /v1/openapi.json). Empty: the
  // operation table's (Operations().openApiDocument() of a generated package). A server of
  // several packages gives the merge of theirs (MergeOpenApiDocuments, tirn/http/openapi.h).
  // Nothing is served there when both are empty.
  std::string openApiDocument;
  // Whether the document is served without a token when the server has an authenticator.
  bool openApiOpen = true;
  // Whether the operations, their definitions and annotations (kOperationsPath, GET
  // /v1/operations) are served without a token when the server has an authenticator. They
  // come from the operation table, described once when the server is made.
  bool operationsOpen = true;
  // Called once per request read, when the server starts on it: exactly one callFinished
  // follows, so that the two count the requests in flight.
  std::function<void()> callStarted;
  // Called once per request read (answered or not), after its answer is written or the
  // connection closed.
  std::function<void(CallRecord const&)> callFinished;
  // Called when a connection is accepted, refused or closed.
  std::function<void(ConnectionEvent const&)> connectionEvent;
  // Called with what the server has to say (started, anonymous, stopping, failures).
  std::function<void(std::string const&)> log;
  // Whether the input of `operation` ("service.operation") must not hold fields its
  // definitions do not name, at any depth. Such a field (a misspelt one, which would
  // otherwise be kept unread) is refused with 400 invalid_argument naming its path, under
  // either media type, before the operation is invoked. Empty: every input may hold them, as
  // the value model allows inside structures.
  std::function<bool(std::string const& operation)> rejectsUnknownFields;
  // An io_context whose own threads run the operations (the provider's Invoke), so that an
  // operation that blocks (a store waiting for its disk) holds one of those threads, never an
  // I/O thread and the connections it serves. Null: operations run on the I/O thread that read
  // the request, which suits operations that answer at once or hand their work on. It must be
  // run by threads (Tirn::Http::WorkThreads owns some, sharing it) and outlive the server's
  // connections (until Stop's `done`, or until the contexts the server runs on have stopped). An
  // operation queued or running there holds no connection, only the way back to one, so the
  // two contexts may go in either order after that.
  boost::asio::io_context* callContext = nullptr;
  // Whether `operation` ("service.operation") runs on the I/O thread that read its request
  // although `callContext` is set: for an operation that answers at once, never waiting for a
  // disk write, a lock held across one, or the network (a read the store serves from memory
  // or its file's cache). It saves the two hand-offs between threads that a call through
  // `callContext` costs; an operation that does wait holds up every connection of its thread
  // meanwhile. Empty: every operation runs on `callContext`.
  std::function<bool(std::string const& operation)> runsOnIoThread;
  // Whether `operation` runs on the I/O thread that read its request although `callContext` is
  // set and it may wait (for a write to its local disk; never for the network, nor for anything
  // that needs this thread), when its connection is the only thing the thread's context serves:
  // no other connection of any server on it, and no acceptor (a client's connections or the
  // application's own work there are not counted). No other connection waits behind it then,
  // and a caller making one call after another saves the two hand-offs of each. Meanwhile the
  // servers on that context send new connections to their other contexts while one is free,
  // and the waiting connection itself is not watched: its time limit, its client leaving, and
  // Stop's grace take effect once the operation returns. Empty: only `runsOnIoThread` decides.
  std::function<bool(std::string const& operation)> runsOnIoThreadWhenAlone;
};

}  // namespace Http
}  // namespace Tirn

#endif  // TIRN_HTTP_SERVER_OPTIONS_H_
