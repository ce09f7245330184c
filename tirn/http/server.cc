// The server's acceptor and its stopping: binds and listens, admits each connection within the
// connection limits, makes its session (tirn/http/session.cc), counts the sessions open, and
// closes them when the server stops. TLS contexts are loaded here, at start and on reload.
#include "tirn/http/server.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <list>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "tirn/http/asio_internal.h"
#include "tirn/http/context_load_internal.h"
#include "tirn/http/handler_internal.h"
#include "tirn/http/session_internal.h"
#include "tirn/http/tls_context_internal.h"
#include "tirn/http/transport_internal.h"
#include "tirn/http/trusted_file.h"
#include "tirn/http/wiping_allocator.h"
#include "tirn/json/definition.h"
#include "tirn/runtime/value/wire_shapes.h"

namespace Tirn {
namespace Http {

using detail::CallerLedger;
using detail::ContextLoad;
using detail::ErrorBody;
using detail::HandlerContext;
using detail::SessionBase;
using detail::WipeString;

namespace {

std::string AddressOf(tcp::endpoint const& endpoint) { return endpoint.address().to_string(); }

// What the handler is given to handle the requests of a server of `operations`.
HandlerContext HandlerContextFor(std::shared_ptr<Core::AsyncApiProvider> provider,
                                 Core::OperationTable const& operations,
                                 ServerOptions const& options) {
  HandlerContext handler;
  handler.provider = std::move(provider);
  handler.inProcess = dynamic_cast<Core::InProcessApiProvider*>(handler.provider.get());
  if (handler.inProcess) {
    handler.methods = std::make_shared<detail::MethodCache const>(
        std::shared_ptr<Core::InProcessApiProvider const>(handler.provider, handler.inProcess),
        operations);
  }
  handler.SetOperations(operations);
  handler.authenticator = options.authenticator;
  handler.authorizer = options.authorizer;
  handler.endpoints = options.endpoints;
  // The OpenAPI document after the application's endpoints, so that one of theirs at the
  // same path wins.
  std::string const* document = options.openApiDocument.empty()
                                    ? &operations.openApiDocument()
                                    : &options.openApiDocument;
  if (!document->empty()) {
    handler.endpoints.push_back({kOpenApiPath, options.openApiOpen, [document] {
                                    EndpointAnswer answer;
                                    answer.body = *document;
                                    return answer;
                                  }});
  }
  // The operations' definitions, described once: the table does not change. A table the
  // form cannot describe is answered as the server's failure, with what is wrong.
  auto described = std::make_shared<EndpointAnswer>();
  std::list<BaseMessage> problems;
  if (!Json::EncodeOperations(operations, &described->body, problems)) {
    described->status = 500;
    described->body = ErrorBody(Data::Wire::kInternalServerError, problems);
  }
  // A server of no operations (a listener of its own for metrics) serves no description.
  if (!operations.operations().empty()) {
    handler.endpoints.push_back(
        {kOperationsPath, options.operationsOpen, [described] { return *described; }});
  }
  handler.bodyLimit = options.bodyLimit;
  handler.depthLimit = options.depthLimit;
  handler.maxCallTimeout = options.maxCallTimeout;
  handler.callContext = options.callContext;
  handler.runsOnIoThread = options.runsOnIoThread;
  handler.runsOnIoThreadWhenAlone = options.runsOnIoThreadWhenAlone;
  handler.rejectsUnknownFields = options.rejectsUnknownFields;
  if (options.maxConnectionsPerCaller != 0 || options.maxCallsPerCaller != 0) {
    handler.ledger = std::make_shared<CallerLedger>(options.maxConnectionsPerCaller,
                                                     options.maxCallsPerCaller);
  }
  return handler;
}

// `accepted`, moved to a strand of its own on `context`. On failure the connection is closed.
tcp::socket MovedTo(net::io_context& context, tcp const& protocol, tcp::socket& accepted,
                    beast::error_code& ec) {
  tcp::socket moved(net::make_strand(context));
  tcp::socket::native_handle_type const handle = accepted.release(ec);
  if (ec) return moved;
  moved.assign(protocol, handle, ec);
  if (ec) ::close(handle);  // released, and not taken: closed here or never
  return moved;
}

}  // namespace

class Server::Impl final : public detail::SessionHost,
                           public std::enable_shared_from_this<Server::Impl> {
 public:
  Impl(IoContexts contexts, std::shared_ptr<Core::AsyncApiProvider> provider,
       Core::OperationTable const& operations, ServerOptions options)
      : contexts_(std::move(contexts)),
        options_(std::move(options)),
        acceptor_(net::make_strand(AcceptorContext())),
        acceptorCounted_(ContextLoad::Of(AcceptorContext()), &ContextLoad::acceptors),
        graceTimer_(acceptor_.get_executor()) {
    for (std::size_t at = 0; at < contexts_.size(); ++at) {
      loads_.push_back(&ContextLoad::Of(contexts_[at]));
    }
    detail::ClampTimeLimits(
        {&options_.maxCallTimeout, &options_.readTimeout, &options_.idleTimeout});
    handler_ = HandlerContextFor(std::move(provider), operations, options_);
  }

  bool Start(std::string* error);
  bool ReloadTls(std::string* error);
  // Loads the TLS files and puts them in force, with their validity; as ReloadTls says.
  bool InstallTls(std::string* error);
  bool ServesTls() const;
  void Stop(std::chrono::milliseconds grace, std::function<void()> done);
  Server::TlsValidity Validity() const {
    std::lock_guard<std::mutex> lock(validityMutex_);
    return validity_;
  }

  std::atomic<unsigned short> port{0};

  // ---- What its sessions need (SessionHost) -----------------------------------------------

  ServerOptions const& options() const override { return options_; }
  HandlerContext const& handler() const override { return handler_; }
  bool stopping() const override { return stopping_; }

  void Log(std::string const& text) const override {
    if (options_.log) options_.log(text);
  }
  void Started() const override {
    if (options_.callStarted) options_.callStarted();
  }
  bool Recording() const override { return static_cast<bool>(options_.callFinished); }
  void Record(CallRecord const& record) const override {
    if (options_.callFinished) options_.callFinished(record);
  }
  void Connection(ConnectionEvent::Kind kind, std::string const& peer) const override {
    if (!options_.connectionEvent) return;
    ConnectionEvent event;
    event.kind = kind;
    event.peer = peer;
    options_.connectionEvent(event);
  }

  void Forget(SessionBase* session) override {
    std::function<void()> done;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      // Compared by address: locking another session here could make this thread its last
      // owner, and its destructor would come back here under the lock.
      sessions_.remove_if([this, session](Registered const& registered) {
        if (registered.session != session && !registered.weak.expired()) return false;
        auto const counted = perAddress_.find(registered.address);
        if (counted != perAddress_.end() && --counted->second == 0) perAddress_.erase(counted);
        return true;
      });
      if (stopping_ && sessions_.empty() && !acceptorOpen_) done = std::exchange(done_, nullptr);
    }
    if (done) done();
  }

 private:
  // Adds a callback for when every connection is closed; the caller holds mutex_.
  void AddDone(std::function<void()> done) {
    done_ = [first = std::move(done_), done = std::move(done)] {
      if (first) first();
      done();
    };
  }

  // The acceptor waits on the last context: the first connections go to the others, where it
  // holds up nobody that waits on their threads.
  net::io_context& AcceptorContext() const { return contexts_[contexts_.size() - 1]; }
  // The context the next connection lives on, where `counted` counts it until its session
  // does: of those whose thread no operation holds (all, when every one is held), the one
  // serving the fewest connections, of all servers on it; the first of equals, so the
  // acceptor's comes last.
  net::io_context& NextContext(std::optional<ContextLoad::Hold>& counted);
  // The index of that context as things stand.
  std::size_t Lightest() const;
  void Accept();
  void OnAccept(tcp::socket socket);
  // Whether the server holds as many connections as it may, in all or from `address`.
  bool Full(std::string const& address);
  void Launch(std::shared_ptr<SessionBase> session, std::string const& address);
  // The sessions still open; the caller holds mutex_.
  std::vector<std::shared_ptr<SessionBase>> OpenSessions() const;
  // On the acceptor's strand: closes it, has every session close when idle, and closes those
  // still open after `grace`.
  void StopAccepting(std::chrono::milliseconds grace, std::function<void()> done);

  IoContexts const contexts_;
  ServerOptions options_;
  HandlerContext handler_;
  tcp::acceptor acceptor_;
  // The protocol it listens with, set by Start.
  tcp protocol_ = tcp::v4();
  // The load of each context, in their order.
  std::vector<ContextLoad*> loads_;
  // The acceptor, counted in its context's load.
  ContextLoad::Hold const acceptorCounted_;
  // Null for plain HTTP; replaced whole by ReloadTls, read with std::atomic_load.
  std::shared_ptr<ssl::context> tls_;
  // Of the files in tls_, set with it.
  mutable std::mutex validityMutex_;
  Server::TlsValidity validity_;
  net::steady_timer graceTimer_;
  std::atomic<bool> stopping_{false};

  std::mutex mutex_;
  struct Registered {
    SessionBase* session;
    std::weak_ptr<SessionBase> weak;
    std::string address;  // the peer's, counted in perAddress_
  };
  std::list<Registered> sessions_;
  // Open connections by peer address.
  std::unordered_map<std::string, std::size_t> perAddress_;
  bool acceptorOpen_ = false;
  std::function<void()> done_;
};

namespace {

// Adds the CRLs in `pem` (one at least) to the certificates `tls` verifies clients against, and
// has every client certificate checked against a CRL of its issuer.
beast::error_code AddRevocationLists(ssl::context& tls, net::const_buffer pem) {
  ERR_clear_error();
  BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
  X509_STORE* store = SSL_CTX_get_cert_store(tls.native_handle());
  int added = 0;
  while (X509_CRL* crl = PEM_read_bio_X509_CRL(bio, nullptr, nullptr, nullptr)) {
    if (X509_STORE_add_crl(store, crl) == 1) ++added;
    X509_CRL_free(crl);
  }
  BIO_free(bio);
  ERR_clear_error();  // the end of the text reads as an error
  if (added == 0) return beast::error_code(EINVAL, beast::generic_category());
  X509_STORE_set_flags(store, X509_V_FLAG_CRL_CHECK | X509_V_FLAG_CRL_CHECK_ALL);
  return beast::error_code();
}

using SystemClock = std::chrono::system_clock;

// The end of the validity of the certificate chain `tls` serves, and the earliest next update
// of the CRLs it checks clients against.
Server::TlsValidity ValidityOf(ssl::context& tls) {
  Server::TlsValidity validity;
  validity.certificate = detail::CertificateEnd(tls);
  X509_STORE* store = SSL_CTX_get_cert_store(tls.native_handle());
  STACK_OF(X509_OBJECT)* objects = X509_STORE_get0_objects(store);
  for (int i = 0; i < sk_X509_OBJECT_num(objects); ++i) {
    X509_CRL const* crl = X509_OBJECT_get0_X509_CRL(sk_X509_OBJECT_value(objects, i));
    // A CRL without a next update is never due; an unreadable one is left to the handshake.
    SystemClock::time_point const due =
        crl ? detail::TimeOf(X509_CRL_get0_nextUpdate(crl)) : SystemClock::time_point();
    if (due != SystemClock::time_point() &&
        (validity.clientCrl == SystemClock::time_point() || due < validity.clientCrl)) {
      validity.clientCrl = due;
    }
  }
  return validity;
}

// A server TLS context with the certificate chain, key and client CAs `options` names, and
// until when they serve in `*validity`; null, with the reason in `*error`, when a file cannot
// be trusted or read, the key does not match, the certificate chain has expired (every
// handshake would fail), or client certificates are required and a CRL is past due (every
// client would be refused). Each file is read as a trusted file (tirn/http/trusted_file.h)
// and handed to OpenSSL from memory, so that what OpenSSL reads is what was checked.
std::shared_ptr<ssl::context> LoadTls(ServerOptions const& options, Server::TlsValidity* validity,
                                      std::string* error) {
  std::shared_ptr<ssl::context> tls = detail::NewTlsContext(ssl::context::tls_server);
  std::string text;
  // The text of the file at `path` handed to `use`; false with the reason in `*error`.
  auto const load = [&](char const* what, std::string const& path, bool wiped, auto use) {
    TrustedFile rule;
    rule.what = what;
    rule.wiped = wiped;
    bool loaded = ReadTrustedFile(path, rule, text, *error);
    if (loaded) {
      beast::error_code ec;
      use(net::buffer(text), ec);
      if (ec) {
        *error = "cannot use " + std::string(what) + " " + path + ": " + ec.message();
        loaded = false;
      }
    }
    if (wiped) WipeString(text);
    return loaded;
  };
  if (!load("the certificate", options.tlsCertificateFile, false,
            [&](net::const_buffer pem, beast::error_code& ec) {
              tls->use_certificate_chain(pem, ec);
            }) ||
      !load("the private key", options.tlsPrivateKeyFile, true,
            [&](net::const_buffer pem, beast::error_code& ec) {
              tls->use_private_key(pem, ssl::context::pem, ec);
            })) {
    return nullptr;
  }
  if (!options.tlsClientCaFile.empty()) {
    if (!load("the client CA", options.tlsClientCaFile, false,
              [&](net::const_buffer pem, beast::error_code& ec) {
                tls->add_certificate_authority(pem, ec);
              })) {
      return nullptr;
    }
    if (!options.tlsClientCrlFile.empty() &&
        !load("the client CRL", options.tlsClientCrlFile, false,
              [&](net::const_buffer pem, beast::error_code& ec) {
                ec = AddRevocationLists(*tls, pem);
              })) {
      return nullptr;
    }
    beast::error_code ec;
    tls->set_verify_mode(options.tlsClientCertificateRequired
                             ? ssl::verify_peer | ssl::verify_fail_if_no_peer_cert
                             : ssl::verify_peer,
                         ec);
  }
  *validity = ValidityOf(*tls);
  *error = detail::ExpiryRefusal(*tls, "the certificate " + options.tlsCertificateFile);
  if (!error->empty()) return nullptr;
  bool const pastDue = validity->clientCrl != SystemClock::time_point() &&
                       validity->clientCrl <= SystemClock::now();
  if (pastDue && options.tlsClientCertificateRequired) {
    *error = "the client CRL " + options.tlsClientCrlFile + " was due to be replaced by " +
             detail::ShowTime(validity->clientCrl) +
             ": until a newer one is given, every client certificate of its issuer would be "
             "refused";
    return nullptr;
  }
  return tls;
}

}  // namespace

bool Server::Impl::ServesTls() const {
  return !options_.tlsCertificateFile.empty() || !options_.tlsPrivateKeyFile.empty();
}

bool Server::Impl::ReloadTls(std::string* error) {
  if (!ServesTls()) {
    *error = "the server serves plain HTTP: there are no TLS files to reload";
    return false;
  }
  return InstallTls(error);
}

bool Server::Impl::InstallTls(std::string* error) {
  Server::TlsValidity validity;
  auto next = LoadTls(options_, &validity, error);
  if (!next) return false;
  std::lock_guard<std::mutex> lock(validityMutex_);
  std::atomic_store(&tls_, std::move(next));
  validity_ = validity;
  return true;
}

bool Server::Impl::Start(std::string* error) {
  beast::error_code ec;
  if (ServesTls() && !InstallTls(error)) return false;
  tcp::resolver resolver(contexts_[0]);
  auto endpoints = resolver.resolve(options_.address, std::to_string(options_.port),
                                    tcp::resolver::passive, ec);
  if (ec || endpoints.empty()) {
    *error = "cannot resolve " + options_.address + ": " + ec.message();
    return false;
  }
  tcp::endpoint const endpoint = endpoints.begin()->endpoint();
  protocol_ = endpoint.protocol();
  acceptor_.open(protocol_, ec);
  if (!ec) acceptor_.set_option(net::socket_base::reuse_address(true), ec);
  if (!ec) acceptor_.bind(endpoint, ec);
  if (!ec) acceptor_.listen(net::socket_base::max_listen_connections, ec);
  if (ec) {
    *error = "cannot listen on " + options_.address + ":" + std::to_string(options_.port) + ": " +
             ec.message();
    return false;
  }
  port = acceptor_.local_endpoint().port();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    acceptorOpen_ = true;
  }
  Log(std::string("listening on ") + (ServesTls() ? "https://" : "http://") +
      endpoint.address().to_string() + ":" + std::to_string(port.load()));
  if (!options_.authenticator) Log("no authenticator: every call is anonymous");
  net::dispatch(acceptor_.get_executor(), [self = shared_from_this()] { self->Accept(); });
  return true;
}

std::size_t Server::Impl::Lightest() const {
  std::size_t chosen = 0;
  std::pair<bool, std::size_t> lightest{true, SIZE_MAX};
  for (std::size_t at = 0; at < loads_.size(); ++at) {
    std::pair<bool, std::size_t> const weight{loads_[at]->Waiting(), loads_[at]->connections};
    if (weight < lightest) {
      chosen = at;
      lightest = weight;
    }
  }
  return chosen;
}

net::io_context& Server::Impl::NextContext(std::optional<ContextLoad::Hold>& counted) {
  std::size_t at = Lightest();
  for (std::size_t tries = 1;; ++tries) {
    ContextLoad& load = *loads_[at];
    bool const held = load.Waiting();
    // Counted before it looks again: an operation that begins to wait there meanwhile either
    // sees this connection and is handed over, or is seen here.
    counted.emplace(load, &ContextLoad::connections);
    if (held || !load.Waiting() || tries == loads_.size()) return contexts_[at];
    counted.reset();
    at = Lightest();
  }
}

void Server::Impl::Accept() {
  acceptor_.async_accept([self = shared_from_this()](beast::error_code ec, tcp::socket socket) {
    if (ec) {
      if (ec == net::error::operation_aborted || !self->acceptor_.is_open()) return;
      self->Log("accept failed: " + ec.message());
      return self->Accept();
    }
    self->OnAccept(std::move(socket));
    self->Accept();
  });
}

// The connection is accepted on the acceptor's context and then moved to the context it lives
// on, chosen as it arrives, on a strand of its own there.
void Server::Impl::OnAccept(tcp::socket accepted) {
  beast::error_code ignored;
  tcp::endpoint const remote = accepted.remote_endpoint(ignored);
  std::string address = ignored ? std::string("?") : AddressOf(remote);
  std::string peer = ignored ? std::string("?") : address + ":" + std::to_string(remote.port());
  if (Full(address) || stopping_) {
    accepted.close(ignored);
    Connection(ConnectionEvent::kRefused, peer);
    return;
  }
  beast::error_code failed;
  std::optional<ContextLoad::Hold> counted;
  tcp::socket socket = MovedTo(NextContext(counted), protocol_, accepted, failed);
  if (failed) {
    Log("accept failed: " + failed.message());
    Connection(ConnectionEvent::kRefused, peer);
    return;
  }
  socket.set_option(tcp::no_delay(true), ignored);
  Connection(ConnectionEvent::kOpened, peer);
  std::shared_ptr<SessionBase> session;
  if (auto tls = std::atomic_load(&tls_)) {
    beast::ssl_stream<beast::tcp_stream> stream(std::move(socket), *tls);
    session = detail::MakeSession(std::move(stream), shared_from_this(), std::move(peer),
                                  address, std::move(tls));
  } else {
    session = detail::MakeSession(beast::tcp_stream(std::move(socket)), shared_from_this(),
                                  std::move(peer), address);
  }
  // The session counts itself now. Dropped before it runs: its first request must not find the
  // connection counted twice, as if another shared its thread.
  counted.reset();
  Launch(std::move(session), address);
}

bool Server::Impl::Full(std::string const& address) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (sessions_.size() >= options_.maxConnections) return true;
  std::size_t const perAddress = options_.maxConnectionsPerAddress;
  if (perAddress == 0) return false;
  auto const counted = perAddress_.find(address);
  return counted != perAddress_.end() && counted->second >= perAddress;
}

void Server::Impl::Launch(std::shared_ptr<SessionBase> session, std::string const& address) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++perAddress_[address];
    sessions_.push_back({session.get(), session, address});
  }
  session->Run();
}

std::vector<std::shared_ptr<SessionBase>> Server::Impl::OpenSessions() const {
  std::vector<std::shared_ptr<SessionBase>> open;
  for (auto const& registered : sessions_) {
    if (auto session = registered.weak.lock()) open.push_back(std::move(session));
  }
  return open;
}

void Server::Impl::Stop(std::chrono::milliseconds grace, std::function<void()> done) {
  if (stopping_.exchange(true)) {
    // Already stopping: `done` joins the callbacks of the first call, or runs now when every
    // connection is closed.
    if (!done) return;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!sessions_.empty() || acceptorOpen_) {
        AddDone(std::move(done));
        return;
      }
    }
    done();
    return;
  }
  net::post(acceptor_.get_executor(), [self = shared_from_this(), grace,
                                       done = std::move(done)]() mutable {
    self->StopAccepting(grace, std::move(done));
  });
}

void Server::Impl::StopAccepting(std::chrono::milliseconds grace, std::function<void()> done) {
  beast::error_code ec;
  acceptor_.close(ec);
  std::vector<std::shared_ptr<SessionBase>> sessions;
  bool finished;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    acceptorOpen_ = false;
    sessions = OpenSessions();
    finished = sessions.empty();
    if (!finished && done) AddDone(std::move(done));
  }
  // A server that never listened (its start refused) has nothing to say about stopping.
  if (port != 0) Log("stopping: " + std::to_string(sessions.size()) + " connections open");
  if (finished) {
    if (done) done();
    return;
  }
  for (auto const& session : sessions) session->StopWhenIdle();
  sessions.clear();
  graceTimer_.expires_after(grace);
  graceTimer_.async_wait([self = shared_from_this()](beast::error_code) {
    std::vector<std::shared_ptr<SessionBase>> remaining;
    {
      std::lock_guard<std::mutex> lock(self->mutex_);
      remaining = self->OpenSessions();
    }
    for (auto const& session : remaining) session->CloseNow();
  });
}

Server::Server(IoContexts contexts, std::shared_ptr<Core::AsyncApiProvider> provider,
               Core::OperationTable const& operations, ServerOptions options)
    : impl_(std::make_shared<Impl>(std::move(contexts), std::move(provider), operations,
                                   std::move(options))) {}

Server::~Server() { impl_->Stop(std::chrono::milliseconds(0), {}); }

bool Server::Start(std::string* error) { return impl_->Start(error); }

bool Server::ReloadTls(std::string* error) { return impl_->ReloadTls(error); }

bool Server::CheckTls(ServerOptions const& options, std::string* error) {
  if (options.tlsCertificateFile.empty() && options.tlsPrivateKeyFile.empty()) return true;
  TlsValidity validity;
  return LoadTls(options, &validity, error) != nullptr;
}

Server::TlsValidity Server::tlsValidity() const { return impl_->Validity(); }

unsigned short Server::port() const { return impl_->port; }

void Server::Stop(std::chrono::milliseconds grace, std::function<void()> done) {
  impl_->Stop(grace, std::move(done));
}

}  // namespace Http
}  // namespace Tirn
