#include "tirn/http/server.h"

#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <atomic>
#include <deque>
#include <list>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "tirn/http/asio_internal.h"
#include "tirn/http/handler_internal.h"

namespace Tirn {
namespace Http {

using namespace detail;

namespace {

// What the server needs of a session to stop it.
class SessionBase {
 public:
  virtual ~SessionBase() = default;
  // Closes now when no call is in flight, otherwise after its answer.
  virtual void StopWhenIdle() = 0;
  // Closes now.
  virtual void CloseNow() = 0;
};

std::string PeerOf(tcp::socket const& socket) {
  beast::error_code ec;
  auto endpoint = socket.remote_endpoint(ec);
  if (ec) return "?";
  return endpoint.address().to_string() + ":" + std::to_string(endpoint.port());
}

std::string HeaderOf(http::request<http::string_body> const& request, http::field field) {
  auto found = request.find(field);
  return found == request.end() ? std::string() : std::string(found->value());
}

std::string HeaderOf(http::request<http::string_body> const& request, char const* name) {
  auto found = request.find(name);
  return found == request.end() ? std::string() : std::string(found->value());
}

// The verified subject of the peer's certificate, or empty.
template <class Stream>
std::string PeerCertificate(Stream&) {
  return std::string();
}

std::string PeerCertificate(beast::ssl_stream<beast::tcp_stream>& stream) {
  SSL* ssl = stream.native_handle();
  X509* certificate = SSL_get1_peer_certificate(ssl);
  if (!certificate) return std::string();
  std::string subject;
  if (SSL_get_verify_result(ssl) == X509_V_OK) {
    char buffer[512];
    X509_NAME_oneline(X509_get_subject_name(certificate), buffer, sizeof buffer);
    subject = buffer;
  }
  X509_free(certificate);
  return subject;
}

}  // namespace

class Server::Impl : public std::enable_shared_from_this<Server::Impl> {
 public:
  Impl(net::io_context& context, std::shared_ptr<Core::AsyncApiProvider> provider,
       Core::OperationTable const& operations, ServerOptions options)
      : context_(context),
        options_(std::move(options)),
        acceptor_(net::make_strand(context)),
        graceTimer_(acceptor_.get_executor()) {
    handler_.provider = std::move(provider);
    handler_.operations = &operations;
    handler_.authenticator = options_.authenticator;
    handler_.bodyLimit = options_.bodyLimit;
  }

  bool Start(std::string* error);
  void Stop(std::chrono::milliseconds grace, std::function<void()> done);

  ServerOptions const& options() const { return options_; }
  HandlerContext const& handler() const { return handler_; }
  bool stopping() const { return stopping_; }
  std::atomic<unsigned short> port{0};

  void Log(std::string const& text) const {
    if (options_.log) options_.log(text);
  }
  void AccessLog(AccessLogEntry const& entry) const {
    if (options_.accessLog) options_.accessLog(entry);
  }

  // A session ended.
  void Forget(SessionBase* session) {
    std::function<void()> done;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      sessions_.remove_if([session](std::weak_ptr<SessionBase> const& weak) {
        auto alive = weak.lock();
        return !alive || alive.get() == session;
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

  void Accept();
  template <class Stream>
  void Launch(Stream stream);

  net::io_context& context_;
  ServerOptions options_;
  HandlerContext handler_;
  tcp::acceptor acceptor_;
  std::unique_ptr<ssl::context> tls_;
  net::steady_timer graceTimer_;
  std::atomic<bool> stopping_{false};

  std::mutex mutex_;
  std::list<std::weak_ptr<SessionBase>> sessions_;
  bool acceptorOpen_ = false;
  std::function<void()> done_;
};

namespace {

// One connection: reads requests one after the other, hands each to the handler, writes its
// answer. Every step runs on the connection's strand.
template <class Stream>
class Session : public SessionBase,
                public Exchange,
                public std::enable_shared_from_this<Session<Stream>> {
 public:
  Session(Stream stream, std::shared_ptr<Server::Impl> server)
      : stream_(std::move(stream)),
        server_(std::move(server)),
        deadline_(stream_.get_executor()),
        peer_(PeerOf(beast::get_lowest_layer(stream_).socket())) {}

  ~Session() override { server_->Forget(this); }

  void Run() {
    if constexpr (std::is_same<Stream, beast::ssl_stream<beast::tcp_stream>>::value) {
      Lowest().expires_after(options().readTimeout);
      stream_.async_handshake(ssl::stream_base::server,
                              [self = this->shared_from_this()](beast::error_code ec) {
                                if (ec) return self->Close();
                                self->ReadRequest();
                              });
    } else {
      net::dispatch(stream_.get_executor(),
                    [self = this->shared_from_this()] { self->ReadRequest(); });
    }
  }

  // ---- Stopping ---------------------------------------------------------------------------

  void StopWhenIdle() override {
    net::post(stream_.get_executor(), [self = this->shared_from_this()] {
      self->keepAlive_ = false;
      if (!self->busy_) self->Close();
    });
  }

  void CloseNow() override {
    net::post(stream_.get_executor(), [self = this->shared_from_this()] { self->Close(); });
  }

  // ---- Answers (from any thread) ----------------------------------------------------------

  void Reply(unsigned status, std::string body, bool) override {
    net::post(stream_.get_executor(),
              [self = this->shared_from_this(), status, body = std::move(body)]() mutable {
                self->WriteReply(status, std::move(body));
              });
  }

  void StreamFrame(std::string line, bool last, bool) override {
    net::post(stream_.get_executor(),
              [self = this->shared_from_this(), line = std::move(line), last]() mutable {
                self->QueueFrame(std::move(line), last);
              });
  }

 private:
  ServerOptions const& options() const { return server_->options(); }
  beast::tcp_stream& Lowest() { return beast::get_lowest_layer(stream_); }

  // ---- Reading ----------------------------------------------------------------------------

  void ReadRequest() {
    if (closed_) return;
    if (server_->stopping()) return Close();
    parser_.emplace();
    parser_->header_limit(static_cast<std::uint32_t>(options().headerLimit));
    parser_->body_limit(options().bodyLimit);
    Lowest().expires_after(options().readTimeout);
    http::async_read(stream_, buffer_, *parser_,
                     [self = this->shared_from_this()](beast::error_code ec, std::size_t) {
                       self->OnRequest(ec);
                     });
  }

  void OnRequest(beast::error_code ec) {
    if (closed_) return;
    bool tooLarge = ec == http::error::body_limit;
    if (ec == http::error::header_limit) {
      busy_ = true;
      keepAlive_ = false;
      started_ = std::chrono::steady_clock::now();
      control_ = std::make_shared<CallControl>();
      control_->operation = "-";
      return WriteReply(431, ErrorBody("com.ostrel.tirn.std.errors.invalid_argument", {}));
    }
    if (ec && !tooLarge) return Close();

    busy_ = true;
    started_ = std::chrono::steady_clock::now();
    auto& message = parser_->get();
    keepAlive_ = !tooLarge && message.keep_alive() && !server_->stopping();
    method_ = std::string(message.method_string());
    requestId_ = HeaderOf(message, kRequestIdHeader);
    streaming_ = false;
    headSent_ = false;

    Request request;
    request.method = method_;
    request.target = std::string(message.target());
    request.contentType = HeaderOf(message, http::field::content_type);
    request.accept = HeaderOf(message, http::field::accept);
    request.acceptLanguage = HeaderOf(message, http::field::accept_language);
    request.timeZone = HeaderOf(message, kTimeZoneHeader);
    request.authorization = HeaderOf(message, http::field::authorization);
    request.timeout = HeaderOf(message, kTimeoutHeader);
    request.requestId = requestId_;
    request.body = std::move(message.body());
    request.peer = peer_;
    request.peerCertificate = PeerCertificate(stream_);
    request.bodyTooLarge = tooLarge;
    parser_.reset();
    if (buffer_.size() == 0) buffer_.shrink_to_fit();  // gives the wiped bytes back

    // Watch the connection while the call runs: a client that goes away cancels it. The same
    // read then waits for the next request.
    if (keepAlive_ && buffer_.size() == 0) {
      Lowest().expires_never();
      watching_ = true;
      stream_.async_read_some(buffer_.prepare(4096),
                              [self = this->shared_from_this()](beast::error_code ec,
                                                                std::size_t read) {
                                self->OnWatch(ec, read);
                              });
    }
    control_ = Handle(server_->handler(), std::move(request), this->shared_from_this());
    if (control_->timeout.count() > 0 && busy_) {
      deadline_.expires_after(control_->timeout);
      deadline_.async_wait([self = this->shared_from_this()](beast::error_code ec) {
        if (ec || !self->busy_) return;
        // The caller stops waiting now: the call is cancelled and nothing more is sent.
        self->control_->cancelled = true;
        self->Close();
      });
    }
  }

  void OnWatch(beast::error_code ec, std::size_t read) {
    watching_ = false;
    if (closed_) return;
    if (ec) {
      if (busy_ && control_) control_->cancelled = true;  // the client went away mid-call
      return Close();
    }
    buffer_.commit(read);
    if (!busy_) ReadRequest();  // the next request has begun
  }

  // ---- Writing ----------------------------------------------------------------------------

  void WriteReply(unsigned status, std::string body) {
    if (closed_ || !busy_ || streaming_) return;
    deadline_.cancel();
    auto response = std::make_shared<http::response<http::string_body>>(
        static_cast<http::status>(status), 11);
    response->set(http::field::content_type, kJsonType);
    if (!requestId_.empty()) response->set(kRequestIdHeader, requestId_);
    response->keep_alive(keepAlive_);
    response->body() = std::move(body);
    response->prepare_payload();
    status_ = status;
    Lowest().expires_after(options().readTimeout);
    http::async_write(stream_, *response,
                      [self = this->shared_from_this(), response](beast::error_code ec,
                                                                  std::size_t) {
                        WipeString(response->body());
                        self->Finished(ec);
                      });
  }

  void QueueFrame(std::string line, bool last) {
    if (closed_ || !busy_) return;
    streaming_ = true;
    line += '\n';
    frames_.emplace_back(std::move(line), last);
    if (!writing_) WriteNextFrame();
  }

  void WriteNextFrame() {
    if (closed_) return;
    writing_ = true;
    auto self = this->shared_from_this();
    Lowest().expires_after(options().readTimeout);
    if (!headSent_) {
      headSent_ = true;
      status_ = 200;
      head_ = std::make_shared<http::response<http::empty_body>>(http::status::ok, 11);
      head_->set(http::field::content_type, kStreamType);
      if (!requestId_.empty()) head_->set(kRequestIdHeader, requestId_);
      head_->keep_alive(keepAlive_);
      head_->chunked(true);
      serializer_ = std::make_shared<http::response_serializer<http::empty_body>>(*head_);
      http::async_write_header(stream_, *serializer_,
                               [self](beast::error_code ec, std::size_t) {
                                 if (ec) return self->Finished(ec);
                                 self->WriteNextFrame();
                               });
      return;
    }
    if (frames_.empty()) {
      writing_ = false;
      if (!busy_) return;
      Lowest().expires_never();
      return;
    }
    auto frame = std::make_shared<std::pair<std::string, bool>>(std::move(frames_.front()));
    frames_.pop_front();
    auto after = [self, frame](beast::error_code ec, std::size_t) {
      WipeString(frame->first);
      if (ec) return self->Finished(ec);
      if (frame->second) return self->Finished(ec);
      self->WriteNextFrame();
    };
    if (frame->second) {
      // The last frame, then the end of the chunked body.
      net::async_write(stream_, http::make_chunk(net::buffer(frame->first)),
                       [self, after](beast::error_code ec, std::size_t n) {
                         if (ec) return after(ec, n);
                         net::async_write(self->stream_, http::make_chunk_last(), after);
                       });
    } else {
      net::async_write(stream_, http::make_chunk(net::buffer(frame->first)), after);
    }
  }

  // The answer has been written (or could not be).
  void Finished(beast::error_code ec) {
    writing_ = false;
    if (closed_) return;
    AccessLogEntry entry;
    entry.peer = peer_;
    entry.method = method_;
    entry.operation = control_ ? control_->operation : std::string("-");
    entry.status = status_;
    entry.duration = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now() - started_);
    entry.requestId = requestId_;
    server_->AccessLog(entry);
    busy_ = false;
    streaming_ = false;
    frames_.clear();
    serializer_.reset();
    head_.reset();
    control_.reset();
    if (ec || !keepAlive_ || server_->stopping()) return Close();
    if (watching_) {
      Lowest().expires_after(options().idleTimeout);  // the watch now waits for the next request
      return;
    }
    ReadRequest();
  }

  void Close() {
    if (closed_) return;
    closed_ = true;
    deadline_.cancel();
    beast::error_code ec;
    Lowest().socket().shutdown(tcp::socket::shutdown_both, ec);
    Lowest().close();
    // A call may still hold this session to answer into; the server counts it closed now.
    server_->Forget(this);
  }

  Stream stream_;
  std::shared_ptr<Server::Impl> server_;
  net::steady_timer deadline_;
  std::string peer_;
  WipingBuffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  std::shared_ptr<CallControl> control_;
  std::string method_;
  std::string requestId_;
  std::chrono::steady_clock::time_point started_;
  unsigned status_ = 0;
  bool busy_ = false;
  bool keepAlive_ = true;
  bool watching_ = false;
  bool closed_ = false;
  bool streaming_ = false;
  bool headSent_ = false;
  bool writing_ = false;
  std::deque<std::pair<std::string, bool>> frames_;
  std::shared_ptr<http::response<http::empty_body>> head_;
  std::shared_ptr<http::response_serializer<http::empty_body>> serializer_;
};

}  // namespace

bool Server::Impl::Start(std::string* error) {
  beast::error_code ec;
  if (!options_.tlsCertificateFile.empty() || !options_.tlsPrivateKeyFile.empty()) {
    tls_ = std::make_unique<ssl::context>(ssl::context::tls_server);
    tls_->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 |
                      ssl::context::no_sslv3 | ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1);
    tls_->use_certificate_chain_file(options_.tlsCertificateFile, ec);
    if (ec) {
      *error = "cannot read the certificate " + options_.tlsCertificateFile + ": " + ec.message();
      return false;
    }
    tls_->use_private_key_file(options_.tlsPrivateKeyFile, ssl::context::pem, ec);
    if (ec) {
      *error = "cannot read the private key " + options_.tlsPrivateKeyFile + ": " + ec.message();
      return false;
    }
    if (!options_.tlsClientCaFile.empty()) {
      tls_->load_verify_file(options_.tlsClientCaFile, ec);
      if (ec) {
        *error = "cannot read the client CA " + options_.tlsClientCaFile + ": " + ec.message();
        return false;
      }
      tls_->set_verify_mode(ssl::verify_peer, ec);
    }
  }
  tcp::resolver resolver(context_);
  auto endpoints = resolver.resolve(options_.address, std::to_string(options_.port),
                                    tcp::resolver::passive, ec);
  if (ec || endpoints.empty()) {
    *error = "cannot resolve " + options_.address + ": " + ec.message();
    return false;
  }
  tcp::endpoint const endpoint = endpoints.begin()->endpoint();
  acceptor_.open(endpoint.protocol(), ec);
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
  Log(std::string("listening on ") + (tls_ ? "https://" : "http://") +
      endpoint.address().to_string() + ":" + std::to_string(port.load()));
  if (!options_.authenticator) Log("no authenticator: every call is anonymous");
  net::dispatch(acceptor_.get_executor(), [self = shared_from_this()] { self->Accept(); });
  return true;
}

void Server::Impl::Accept() {
  acceptor_.async_accept(
      net::make_strand(context_), [self = shared_from_this()](beast::error_code ec,
                                                               tcp::socket socket) {
        if (ec) {
          if (ec == net::error::operation_aborted || !self->acceptor_.is_open()) return;
          self->Log("accept failed: " + ec.message());
          return self->Accept();
        }
        bool full;
        {
          std::lock_guard<std::mutex> lock(self->mutex_);
          full = self->sessions_.size() >= self->options_.maxConnections;
        }
        if (full || self->stopping_) {
          beast::error_code ignored;
          socket.close(ignored);
        } else {
          socket.set_option(tcp::no_delay(true), ec);
          if (self->tls_) {
            self->Launch(beast::ssl_stream<beast::tcp_stream>(std::move(socket), *self->tls_));
          } else {
            self->Launch(beast::tcp_stream(std::move(socket)));
          }
        }
        self->Accept();
      });
}

template <class Stream>
void Server::Impl::Launch(Stream stream) {
  auto session = std::make_shared<Session<Stream>>(std::move(stream), shared_from_this());
  {
    std::lock_guard<std::mutex> lock(mutex_);
    sessions_.push_back(session);
  }
  session->Run();
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
    beast::error_code ec;
    self->acceptor_.close(ec);
    std::vector<std::shared_ptr<SessionBase>> sessions;
    bool finished;
    {
      std::lock_guard<std::mutex> lock(self->mutex_);
      self->acceptorOpen_ = false;
      for (auto const& weak : self->sessions_) {
        if (auto session = weak.lock()) sessions.push_back(std::move(session));
      }
      finished = sessions.empty();
      if (!finished && done) self->AddDone(std::move(done));
    }
    self->Log("stopping: " + std::to_string(sessions.size()) + " connections open");
    if (finished) {
      if (done) done();
      return;
    }
    for (auto const& session : sessions) session->StopWhenIdle();
    sessions.clear();
    self->graceTimer_.expires_after(grace);
    self->graceTimer_.async_wait([self](beast::error_code) {
      std::vector<std::shared_ptr<SessionBase>> remaining;
      {
        std::lock_guard<std::mutex> lock(self->mutex_);
        for (auto const& weak : self->sessions_) {
          if (auto session = weak.lock()) remaining.push_back(std::move(session));
        }
      }
      for (auto const& session : remaining) session->CloseNow();
    });
  });
}

Server::Server(net::io_context& context, std::shared_ptr<Core::AsyncApiProvider> provider,
               Core::OperationTable const& operations, ServerOptions options)
    : impl_(std::make_shared<Impl>(context, std::move(provider), operations,
                                   std::move(options))) {}

Server::~Server() { impl_->Stop(std::chrono::milliseconds(0), {}); }

bool Server::Start(std::string* error) { return impl_->Start(error); }

unsigned short Server::port() const { return impl_->port; }

void Server::Stop(std::chrono::milliseconds grace, std::function<void()> done) {
  impl_->Stop(grace, std::move(done));
}

// ---- IoThreads ----------------------------------------------------------------------------

class IoThreads::Impl {
 public:
  explicit Impl(unsigned count) : work_(net::make_work_guard(context_)) {
    for (unsigned i = 0; i < std::max(count, 1u); ++i) {
      threads_.emplace_back([this] { context_.run(); });
    }
  }
  ~Impl() {
    work_.reset();
    context_.stop();
    for (auto& thread : threads_) thread.join();
  }
  net::io_context context_;
  net::executor_work_guard<net::io_context::executor_type> work_;
  std::vector<std::thread> threads_;
};

IoThreads::IoThreads(unsigned count) : impl_(std::make_unique<Impl>(count)) {}
IoThreads::~IoThreads() = default;
net::io_context& IoThreads::context() { return impl_->context_; }

}  // namespace Http
}  // namespace Tirn
