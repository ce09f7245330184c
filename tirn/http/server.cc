#include "tirn/http/server.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <deque>
#include <list>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

#include "tirn/http/asio_internal.h"
#include "tirn/http/handler_internal.h"
#include "tirn/http/tls_context_internal.h"
#include "tirn/http/transport_internal.h"
#include "tirn/http/trusted_file.h"
#include "tirn/http/wiping_allocator.h"
#include "tirn/json/definition.h"
#include "tirn/runtime/value/wire_shapes.h"

namespace Tirn {
namespace Http {

using detail::Answer;
using detail::CallControl;
using detail::CallerLedger;
using detail::ErrorBody;
using detail::Exchange;
using detail::HandlerContext;
using detail::Header;
using detail::HttpMessage;
using detail::Request;
using detail::WipeString;
using detail::WipingAllocator;
using detail::WipingBuffer;
using detail::WipingString;

namespace {

// Request bodies and header fields live in memory that is wiped as it is freed.
using RequestBody = http::basic_string_body<char, std::char_traits<char>, WipingAllocator<char>>;
using RequestFields = http::basic_fields<WipingAllocator<char>>;
using RequestParser = http::request_parser<RequestBody, WipingAllocator<char>>;
using RequestMessage = http::request<RequestBody, RequestFields>;

// A connection keeps the buffers it reads requests into and writes frames from up to these
// sizes, for the next.
constexpr std::size_t kKeptReadBuffer = 16 << 10;
constexpr std::size_t kKeptWriteBuffer = 16 << 10;

// What the server needs of a session to stop it, and what a call's answer port hands it.
class SessionBase {
 public:
  virtual ~SessionBase() = default;
  // Closes now when no call is in flight, otherwise after its answer.
  virtual void StopWhenIdle() = 0;
  // Closes now.
  virtual void CloseNow() = 0;

  // On the session's strand: the answer of its call in flight, one line of a streamed answer,
  // and the caller the connection counts for (see Exchange).
  virtual void WriteReply(Answer answer) = 0;
  virtual void QueueFrame(std::string line, bool last, bool replayed) = 0;
  virtual bool BindCaller(std::string const& caller) = 0;

  // The TLS context the connection was accepted with, kept while the connection lives: a
  // reload replaces the server's, not this one. Destroyed after the derived stream.
  std::shared_ptr<ssl::context const> tls;
};

std::string AddressOf(tcp::endpoint const& endpoint) { return endpoint.address().to_string(); }

std::string HeaderOf(RequestMessage const& request, http::field field) {
  auto found = request.find(field);
  return found == request.end() ? std::string() : std::string(found->value());
}

// The value of a header field, viewed where the message keeps it; none when absent.
template <class Field>
boost::optional<boost::string_view> GivenFieldOf(RequestMessage const& request, Field field) {
  auto found = request.find(field);
  if (found == request.end()) return boost::none;
  return boost::string_view(found->value().data(), found->value().size());
}

// The same, empty when absent.
template <class Field>
boost::string_view FieldOf(RequestMessage const& request, Field field) {
  return GivenFieldOf(request, field).value_or(boost::string_view());
}

// Who a client's verified certificate says it is.
struct PeerIdentity {
  std::string subject;  // the whole subject, one line
  std::string name;     // the caller it names
};

// The caller `certificate` names in the field `from` says: the first common name of its
// subject, or its first subject alternative name of that kind; empty when it has none.
std::string CallerNamed(X509* certificate, ServerOptions::ClientName from) {
  if (from == ServerOptions::ClientName::kCommonName) {
    X509_NAME* subject = X509_get_subject_name(certificate);
    int const at = X509_NAME_get_index_by_NID(subject, NID_commonName, -1);
    if (at < 0) return std::string();
    ASN1_STRING* text = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, at));
    unsigned char* utf8 = nullptr;
    int const length = ASN1_STRING_to_UTF8(&utf8, text);
    if (length < 0) return std::string();
    std::string name(reinterpret_cast<char const*>(utf8), static_cast<std::size_t>(length));
    OPENSSL_free(utf8);
    return name;
  }
  int const kind = from == ServerOptions::ClientName::kSanUri ? GEN_URI : GEN_DNS;
  auto* names = static_cast<GENERAL_NAMES*>(
      X509_get_ext_d2i(certificate, NID_subject_alt_name, nullptr, nullptr));
  std::string name;
  for (int i = 0; names && i < sk_GENERAL_NAME_num(names) && name.empty(); ++i) {
    GENERAL_NAME const* entry = sk_GENERAL_NAME_value(names, i);
    if (entry->type != kind) continue;
    ASN1_IA5STRING const* text = kind == GEN_URI ? entry->d.uniformResourceIdentifier
                                                 : entry->d.dNSName;
    name.assign(reinterpret_cast<char const*>(ASN1_STRING_get0_data(text)),
                static_cast<std::size_t>(ASN1_STRING_length(text)));
  }
  GENERAL_NAMES_free(names);
  return name;
}

// The identity of a TLS peer whose certificate verified; empty for plain HTTP and for a
// client that sent none.
template <class Stream>
PeerIdentity IdentityOf(Stream&, ServerOptions::ClientName) {
  return PeerIdentity();
}

PeerIdentity IdentityOf(beast::ssl_stream<beast::tcp_stream>& stream,
                        ServerOptions::ClientName from) {
  SSL* ssl = stream.native_handle();
  X509* certificate = SSL_get1_peer_certificate(ssl);
  if (!certificate) return PeerIdentity();
  PeerIdentity identity;
  if (SSL_get_verify_result(ssl) == X509_V_OK) {
    char buffer[512];
    X509_NAME_oneline(X509_get_subject_name(certificate), buffer, sizeof buffer);
    identity.subject = buffer;
    identity.name = CallerNamed(certificate, from);
  }
  X509_free(certificate);
  return identity;
}

// Why a client's certificate made its TLS handshake fail, for the log; empty when the
// handshake failed for another reason (a peer that went away, or spoke no TLS).
template <class Stream>
std::string CertificateRefusal(Stream&, beast::error_code const&) {
  return std::string();
}

std::string CertificateRefusal(beast::ssl_stream<beast::tcp_stream>& stream,
                               beast::error_code const& ec) {
  long const verified = SSL_get_verify_result(stream.native_handle());
  if (verified != X509_V_OK) {
    return std::string("its certificate does not verify: ") +
           X509_verify_cert_error_string(verified);
  }
  if (ec.category() == net::error::get_ssl_category() &&
      ERR_GET_REASON(static_cast<unsigned long>(ec.value())) ==
          SSL_R_PEER_DID_NOT_RETURN_A_CERTIFICATE) {
    return "it sent no certificate, and one is required";
  }
  return std::string();
}

// Whether the request's framing is one the server accepts: a Transfer-Encoding must end in
// chunked and must not come with a Content-Length (RFC 9112, section 6.3). A request framed
// otherwise cannot be told apart from the next one, so it is refused and its connection closed.
bool FramingAccepted(RequestParser const& parser, std::string& why) {
  auto const& head = parser.get();
  bool const hasEncoding = head.find(http::field::transfer_encoding) != head.end();
  bool const hasLength = head.find(http::field::content_length) != head.end();
  if (hasEncoding && hasLength) {
    why = "a request may not carry both Transfer-Encoding and Content-Length";
    return false;
  }
  if (hasEncoding && !parser.chunked()) {
    why = "the last transfer coding must be chunked";
    return false;
  }
  return true;
}

// An answer's text on its way to its session, wiped if it is dropped on the way.
struct Parcel {
  bool frame = false;  // a line of a streamed answer, not a whole answer
  Answer answer;
  std::string line;
  bool last = false;
  bool replayed = false;

  Parcel() = default;
  Parcel(Parcel&&) = default;
  ~Parcel() {
    WipeString(answer.body);
    WipeString(line);
  }
};

// Where the answers of a session's calls go: the session, on its strand, for as long as it
// lives. The handler's callbacks hold the port, never the session, so an implementation that
// answers late from a thread of its own holds nothing made on the server's io_context: when
// the session ends, it takes its strand from the port (while the context is still there), and
// whatever arrives after that is wiped and dropped without touching the context.
class AnswerPort final : public Exchange {
 public:
  using Strand = net::strand<net::io_context::executor_type>;

  AnswerPort(std::weak_ptr<SessionBase> session, Strand strand)
      : session_(std::move(session)), strand_(std::move(strand)) {}

  void Reply(Answer answer) override {
    Parcel parcel;
    parcel.answer = std::move(answer);
    Deliver(std::move(parcel));
  }

  void StreamFrame(std::string line, bool last, bool replayed) override {
    Parcel parcel;
    parcel.frame = true;
    parcel.line = std::move(line);
    parcel.last = last;
    parcel.replayed = replayed;
    Deliver(std::move(parcel));
  }

  // Only from within Handle, on the session's strand.
  bool BindCaller(std::string const& caller) override {
    auto session = session_.lock();
    return session && session->BindCaller(caller);
  }

  // The session has ended: nothing is handed to it any more.
  void Close() {
    std::lock_guard<std::mutex> lock(mutex_);
    strand_.reset();
  }

 private:
  static void Hand(std::weak_ptr<SessionBase> const& session, Parcel& parcel) {
    auto alive = session.lock();
    if (!alive) return;
    if (parcel.frame) {
      alive->QueueFrame(std::move(parcel.line), parcel.last, parcel.replayed);
    } else {
      alive->WriteReply(std::move(parcel.answer));
    }
  }

  void Deliver(Parcel parcel) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!strand_) return;  // the session has ended: the parcel is wiped here
    if (strand_->running_in_this_thread()) {
      // From within Handle, or from a provider answering on the session's own strand.
      lock.unlock();
      return Hand(session_, parcel);
    }
    // Posted, never run here: the lock keeps the strand from going while it is used.
    net::post(*strand_, [session = session_, parcel = std::move(parcel)]() mutable {
      Hand(session, parcel);
    });
  }

  std::weak_ptr<SessionBase> const session_;
  std::mutex mutex_;
  // Reset when the session ends, which is always before its io_context goes.
  std::optional<Strand> strand_;
};

// Whether the request names one caller at most: two Authorization headers could be read as
// two callers by different readers (a balancer, a log, this server), so they are refused.
bool CredentialsAccepted(RequestParser const& parser, std::string& why) {
  if (parser.get().count(http::field::authorization) <= 1) return true;
  why = "a request may carry one Authorization header";
  return false;
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
    detail::ClampTimeLimits(
        {&options_.maxCallTimeout, &options_.readTimeout, &options_.idleTimeout});
    handler_.provider = std::move(provider);
    handler_.inProcess = dynamic_cast<Core::InProcessApiProvider*>(handler_.provider.get());
    handler_.operations = &operations;
    handler_.authenticator = options_.authenticator;
    handler_.authorizer = options_.authorizer;
    handler_.endpoints = options_.endpoints;
    // The OpenAPI document after the application's endpoints, so that one of theirs at the
    // same path wins.
    std::string const* document = options_.openApiDocument.empty()
                                      ? &operations.openApiDocument()
                                      : &options_.openApiDocument;
    if (!document->empty()) {
      handler_.endpoints.push_back({kOpenApiPath, options_.openApiOpen, [document] {
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
      handler_.endpoints.push_back(
          {kOperationsPath, options_.operationsOpen, [described] { return *described; }});
    }
    handler_.bodyLimit = options_.bodyLimit;
    handler_.depthLimit = options_.depthLimit;
    handler_.maxCallTimeout = options_.maxCallTimeout;
    handler_.callContext = options_.callContext;
    handler_.rejectsUnknownFields = options_.rejectsUnknownFields;
    if (options_.maxConnectionsPerCaller != 0 || options_.maxCallsPerCaller != 0) {
      handler_.ledger = std::make_shared<CallerLedger>(options_.maxConnectionsPerCaller,
                                                       options_.maxCallsPerCaller);
    }
  }

  bool Start(std::string* error);
  bool ReloadTls(std::string* error);
  bool ServesTls() const;
  void Stop(std::chrono::milliseconds grace, std::function<void()> done);

  ServerOptions const& options() const { return options_; }
  HandlerContext const& handler() const { return handler_; }
  bool stopping() const { return stopping_; }
  std::atomic<unsigned short> port{0};

  void Log(std::string const& text) const {
    if (options_.log) options_.log(text);
  }
  void Started() const {
    if (options_.callStarted) options_.callStarted();
  }
  bool Recording() const { return static_cast<bool>(options_.callFinished); }
  void Record(CallRecord const& record) const {
    if (options_.callFinished) options_.callFinished(record);
  }
  void Connection(ConnectionEvent::Kind kind, std::string const& peer) const {
    if (!options_.connectionEvent) return;
    ConnectionEvent event;
    event.kind = kind;
    event.peer = peer;
    options_.connectionEvent(event);
  }

  // A session ended.
  void Forget(SessionBase* session) {
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

  void Accept();
  template <class Stream>
  void Launch(Stream stream, std::string peer, std::string address,
              std::shared_ptr<ssl::context const> tls);

  net::io_context& context_;
  ServerOptions options_;
  HandlerContext handler_;
  tcp::acceptor acceptor_;
  // Null for plain HTTP; replaced whole by ReloadTls, read with std::atomic_load.
  std::shared_ptr<ssl::context> tls_;
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

// One connection: reads requests one after the other, hands each to the handler, writes its
// answer. Every step runs on the connection's strand.
//
// While a call runs, a read watches the connection: a client that goes away cancels the
// call, and the same read receives the next request. Between requests the idle limit
// applies, whatever the connection has done before.
template <class Stream>
class Session : public SessionBase, public std::enable_shared_from_this<Session<Stream>> {
 public:
  Session(Stream stream, std::shared_ptr<Server::Impl> server, std::string peer,
          std::string address)
      : stream_(std::move(stream)),
        server_(std::move(server)),
        deadline_(stream_.get_executor()),
        idleTimer_(stream_.get_executor()),
        peer_(std::move(peer)),
        address_(std::move(address)) {}

  ~Session() override {
    if (port_) port_->Close();
    EmitRecord();  // a request started is always recorded, whatever ended the session
    if (state_ != State::kClosed) server_->Connection(ConnectionEvent::kClosed, peer_);
    server_->Forget(this);
  }

  void Run() {
    auto const executor = stream_.get_executor();  // accepted on a strand of its own
    port_ = std::make_shared<AnswerPort>(this->weak_from_this(),
                                         *executor.template target<AnswerPort::Strand>());
    if constexpr (std::is_same<Stream, beast::ssl_stream<beast::tcp_stream>>::value) {
      Lowest().expires_after(options().readTimeout);
      stream_.async_handshake(ssl::stream_base::server,
                              [self = this->shared_from_this()](beast::error_code ec) {
                                if (ec) {
                                  self->RefuseHandshake(ec);
                                  return self->Close();
                                }
                                self->peer_identity_ =
                                    IdentityOf(self->stream_, self->options().clientNameFrom);
                                self->ReadRequest();
                              });
    } else {
      net::dispatch(stream_.get_executor(),
                    [self = this->shared_from_this()] { self->ReadRequest(); });
    }
  }

  std::string const& address() const { return address_; }

  // ---- Stopping ---------------------------------------------------------------------------

  void StopWhenIdle() override {
    net::post(stream_.get_executor(), [self = this->shared_from_this()] {
      self->keepAlive_ = false;
      // A request that has begun to arrive is read and answered, with Connection: close.
      if (!self->Busy() && !self->RequestBegun()) self->Close();
    });
  }

  void CloseNow() override {
    net::post(stream_.get_executor(), [self = this->shared_from_this()] { self->Close(); });
  }

  // A client refused for its certificate is said in the log, with why; a peer that went away
  // or spoke no TLS is not.
  void RefuseHandshake(beast::error_code const& ec) {
    if (options().tlsClientCaFile.empty()) return;
    std::string const why = CertificateRefusal(stream_, ec);
    if (!why.empty()) server_->Log("TLS handshake with " + peer_ + " refused: " + why);
  }

  // ---- Answers (on the strand, through the port) ------------------------------------------

  // Runs on the strand, from within Handle.
  bool BindCaller(std::string const& caller) override {
    if (connectionHold_ && boundCaller_ == caller) return true;
    auto hold = server_->handler().ledger->TakeConnection(caller);
    if (!hold) return false;
    connectionHold_ = std::move(hold);
    boundCaller_ = caller;
    return true;
  }

 private:
  // Where the connection is. Busy from a request's arrival to the end of its answer.
  enum class State {
    kReading,    // waiting for a request, or reading one
    kCalling,    // a call is in flight; nothing of its answer is sent yet
    kReplying,   // a whole answer is being written
    kStreaming,  // a streamed answer's head is sent; frames follow
    kClosed,
  };

  ServerOptions const& options() const { return server_->options(); }
  beast::tcp_stream& Lowest() { return beast::get_lowest_layer(stream_); }
  bool Busy() const { return state_ == State::kCalling || state_ == State::kReplying || state_ == State::kStreaming; }
  // Whether bytes of a request not yet handled have arrived.
  bool RequestBegun() const {
    return state_ == State::kReading && (buffer_.size() > 0 || (parser_ && parser_->got_some()));
  }

  // ---- Reading ----------------------------------------------------------------------------

  void ReadRequest() {
    if (state_ == State::kClosed) return;
    // A stopping server answers a request already in the buffer, then closes; a client that
    // has closed its side is done once what it sent before is answered.
    if ((server_->stopping() || readClosed_) && buffer_.size() == 0) return Close();
    state_ = State::kReading;
    parser_.emplace();
    parser_->header_limit(static_cast<std::uint32_t>(options().headerLimit));
    parser_->body_limit(options().bodyLimit);
    // A connection that has been served waits for its next request no longer than the idle
    // limit; a request that has begun must arrive whole within the read limit.
    Lowest().expires_after(served_ && buffer_.size() == 0 ? options().idleTimeout
                                                           : options().readTimeout);
    http::async_read_header(stream_, buffer_, *parser_,
                            [self = this->shared_from_this()](beast::error_code ec, std::size_t) {
                              self->OnHeader(ec);
                            });
  }

  void OnHeader(beast::error_code ec) {
    if (state_ == State::kClosed) return;
    // A declared length past the limit is known from the head: answered 413 like a body that
    // grows past it.
    if (ec == http::error::body_limit) return OnRequest(ec);
    if (ec) return OnReadFailed(ec);
    unsigned const version = parser_->get().version();
    if (version != 10 && version != 11) {
      return RefuseRequest(detail::kVersionNotSupportedRefusal,
                           HttpMessage(MessageIds::kVersionNotSupported));
    }
    std::string why;
    if (!FramingAccepted(*parser_, why) || !CredentialsAccepted(*parser_, why)) {
      return RefuseRequest(detail::kBadRequestRefusal, HttpMessage(MessageIds::kBadRequest, {why}));
    }
    Lowest().expires_after(options().readTimeout);
    http::async_read(stream_, buffer_, *parser_,
                     [self = this->shared_from_this()](beast::error_code ec, std::size_t) {
                       self->OnRequest(ec);
                     });
  }

  // A request that could not be read: answered when it can still be (the peer is speaking
  // HTTP, badly), then the connection closes; a peer that went away or went quiet is closed on.
  void OnReadFailed(beast::error_code ec) {
    bool const http = ec.category() == http::make_error_code(http::error::bad_method).category();
    if (!http || ec == http::error::end_of_stream || ec == http::error::partial_message) {
      return Close();
    }
    if (ec == http::error::header_limit) {
      return RefuseRequest(detail::kHeadersTooLargeRefusal,
                           HttpMessage(MessageIds::kHeadersTooLarge,
                                       {std::to_string(options().headerLimit)}));
    }
    if (ec == http::error::bad_version) {
      return RefuseRequest(detail::kVersionNotSupportedRefusal,
                           HttpMessage(MessageIds::kVersionNotSupported));
    }
    RefuseRequest(detail::kBadRequestRefusal, HttpMessage(MessageIds::kBadRequest, {ec.message()}));
  }

  // Answers a request that cannot be handled, then closes the connection: whatever follows
  // cannot be trusted to start a request.
  void RefuseRequest(detail::Refusal refusal, BaseMessage message) {
    BeginRequest();
    keepAlive_ = false;
    control_ = std::make_shared<CallControl>();
    control_->outcome = refusal.error;
    Answer answer;
    answer.status = refusal.status;
    answer.body = ErrorBody(refusal.error, {std::move(message)});
    parser_.reset();
    WriteReply(std::move(answer));
  }

  void BeginRequest() {
    state_ = State::kCalling;
    lastQueued_ = false;
    replayed_ = false;
    served_ = true;
    EmitRecord();  // never two requests in flight on one connection: closes any before
    server_->Started();
    recorded_ = false;
    abandoned_.clear();
    status_ = 0;
    answerBytes_ = 0;
    requestBytes_ = 0;
    started_ = std::chrono::steady_clock::now();
    if (parser_) {
      auto const& message = parser_->get();
      // Into the strings the connection keeps, reusing their room from request to request.
      method_.assign(message.method_string().data(), message.method_string().size());
      boost::string_view const requestId = FieldOf(message, kRequestIdHeader);
      requestId_.assign(requestId.data(), requestId.size());
    } else {
      method_.clear();
      requestId_.clear();
    }
  }

  void OnRequest(beast::error_code ec) {
    if (state_ == State::kClosed) return;
    bool const tooLarge = ec == http::error::body_limit;
    if (ec && !tooLarge) return OnReadFailed(ec);

    BeginRequest();
    auto& message = parser_->get();
    keepAlive_ = !tooLarge && message.keep_alive() && !server_->stopping();

    // The request's views are of the message, which lives until the handler returns.
    Request request;
    request.method = method_;
    request.target = boost::string_view(message.target().data(), message.target().size());
    request.contentType = FieldOf(message, http::field::content_type);
    request.accept = FieldOf(message, http::field::accept);
    request.acceptLanguage = FieldOf(message, http::field::accept_language);
    request.timeZone = FieldOf(message, kTimeZoneHeader);
    request.authorization = HeaderOf(message, http::field::authorization);
    request.timeout = GivenFieldOf(message, kTimeoutHeader);
    request.idempotencyKey = GivenFieldOf(message, kIdempotencyKeyHeader);
    request.requestId = requestId_;
    request.body = std::move(message.body());
    request.peer = peer_;
    request.peerAddress = address_;
    request.peerCertificate = peer_identity_.subject;
    request.peerName = peer_identity_.name;
    request.bodyTooLarge = tooLarge;
    requestBytes_ = request.body.size();
    if (buffer_.size() == 0) {
      // A connection kept alive goes on reading into it: the watch below, then the next
      // request.
      detail::RestBuffer(buffer_, keepAlive_ ? kKeptReadBuffer : 0);
    }

    if (keepAlive_ && buffer_.size() == 0 && !readClosed_) {
      // The read limit bounded the request; the watch is bounded by the call's deadline, then
      // by the idle limit.
      Lowest().expires_never();
      Watch();
    }
    control_ = detail::Handle(server_->handler(), std::move(request), port_);
    parser_.reset();
    // A call answered within Handle needs no deadline; one still running, or still streaming
    // toward its last frame, does.
    if (state_ == State::kCalling || (state_ == State::kStreaming && !lastQueued_)) {
      // A caller that gave no time limit waits no longer than the longest one allowed.
      deadline_.expires_after(control_->timeout.count() > 0 ? control_->timeout
                                                            : options().maxCallTimeout);
      deadline_.async_wait([self = this->shared_from_this()](beast::error_code ec) {
        if (ec || !self->Busy()) return;
        // The caller stops waiting now: the call is cancelled and nothing more is sent.
        self->control_->cancelled = true;
        self->abandoned_ = Data::Wire::kTimedOutError;
        self->Close();
      });
    }
  }

  void Watch() {
    watching_ = true;
    stream_.async_read_some(buffer_.prepare(4096),
                            [self = this->shared_from_this()](beast::error_code ec,
                                                              std::size_t read) {
                              self->OnWatch(ec, read);
                            });
  }

  void OnWatch(beast::error_code ec, std::size_t read) {
    watching_ = false;
    idleTimer_.cancel();
    if (state_ == State::kClosed) return;
    if (ec == net::error::eof) {
      // The client closed its side (some do once they have sent a request): what it sent is
      // run and answered, in order, and then the connection closes.
      readClosed_ = true;
      if (!Busy()) ReadRequest();
      return;
    }
    if (ec) {
      // Reset or failed: the client is gone. A call without its answer is cancelled; a whole
      // answer being written ends with its write.
      if ((state_ == State::kCalling || state_ == State::kStreaming) && control_) {
        control_->cancelled = true;
        abandoned_ = "cancelled";
      }
      if (state_ == State::kReplying) {
        readClosed_ = true;
        return;
      }
      return Close();
    }
    buffer_.commit(read);
    if (state_ == State::kReading) ReadRequest();  // the next request has begun
  }

  // ---- Writing ----------------------------------------------------------------------------

  void WriteReply(Answer answer) override {
    if (state_ != State::kCalling) return WipeString(answer.body);  // too late: dropped
    deadline_.cancel();
    state_ = State::kReplying;
    if (answer.close) keepAlive_ = false;
    auto response = std::make_shared<http::response<http::string_body>>(
        static_cast<http::status>(answer.status), 11);
    response->set(http::field::content_type,
                  answer.contentType.empty() ? boost::string_view(kJsonType)
                                             : boost::string_view(answer.contentType));
    if (!requestId_.empty()) response->set(kRequestIdHeader, requestId_);
    for (Header const& header : answer.headers) response->set(header.name, header.value);
    response->keep_alive(keepAlive_);
    response->body() = std::move(answer.body);
    response->prepare_payload();
    status_ = answer.status;
    answerBytes_ += response->body().size();
    Lowest().expires_after(options().readTimeout);
    http::async_write(stream_, *response,
                      [self = this->shared_from_this(), response](beast::error_code ec,
                                                                  std::size_t) {
                        WipeString(response->body());
                        self->Finished(ec);
                      });
  }

  void QueueFrame(std::string line, bool last, bool replayed) override {
    if (state_ != State::kCalling && state_ != State::kStreaming) return WipeString(line);
    replayed_ = replayed_ || replayed;
    if (last) {
      deadline_.cancel();
      lastQueued_ = true;
    }
    frames_.emplace_back(std::move(line), last);
    if (!writing_) WriteFrames();
  }

  // Writes everything that is ready in one write: the head of the answer the first time, each
  // queued frame as a chunk, and the end of the body after the last frame.
  void WriteFrames() {
    // Sized once, so that no byte of a frame is left behind in a buffer outgrown on the way.
    std::size_t size = 128 + requestId_.size();
    for (auto const& frame : frames_) size += frame.first.size() + 32;
    std::string* const out = &out_;
    out->reserve(size);  // empty, and wiped since its last write
    if (state_ == State::kCalling) {
      state_ = State::kStreaming;
      status_ = 200;
      *out += "HTTP/1.1 200 OK\r\nContent-Type: ";
      *out += kStreamType;
      *out += "\r\nTransfer-Encoding: chunked\r\n";
      if (!requestId_.empty()) {
        *out += kRequestIdHeader;
        *out += ": ";
        *out += requestId_;
        *out += "\r\n";
      }
      if (replayed_) {
        *out += kReplayedHeader;
        *out += ": true\r\n";
      }
      if (!keepAlive_) *out += "Connection: close\r\n";
      *out += "\r\n";
    }
    bool ends = false;
    char chunkSize[20];
    for (auto& frame : frames_) {
      // Each frame is one line: its text and a newline, in one chunk.
      std::snprintf(chunkSize, sizeof chunkSize, "%zx\r\n", frame.first.size() + 1);
      *out += chunkSize;
      *out += frame.first;
      *out += "\n\r\n";
      answerBytes_ += frame.first.size() + 1;
      if (frame.second) {
        *out += "0\r\n\r\n";
        ends = true;
        break;
      }
    }
    DropFrames();
    writing_ = true;
    Lowest().expires_after(options().readTimeout);
    net::async_write(stream_, net::buffer(*out),
                     [self = this->shared_from_this(), ends](beast::error_code ec, std::size_t) {
                       // Kept for the next write, wiped; given back when it has grown large.
                       WipeString(self->out_);
                       if (self->out_.capacity() > kKeptWriteBuffer) std::string().swap(self->out_);
                       self->writing_ = false;
                       if (ec || ends) return self->Finished(ec);
                       if (self->state_ == State::kClosed) return;
                       if (!self->frames_.empty()) self->WriteFrames();
                     });
  }

  // The answer has been written (or could not be).
  void Finished(beast::error_code ec) {
    if (state_ == State::kClosed) return;
    if (ec && control_) {
      // The answer could not be written: its client is gone, and a streamed call may still be
      // running (and writing its outcome) on another thread.
      control_->cancelled = true;
      abandoned_ = "cancelled";
    }
    EmitRecord();
    state_ = State::kReading;
    DropFrames();
    control_.reset();
    if (ec || !keepAlive_ || server_->stopping()) return Close();
    if (readClosed_) return ReadRequest();  // the requests it sent before closing, if any
    if (watching_) {
      // The watch waits for the next request, no longer than the idle limit.
      idleTimer_.expires_after(options().idleTimeout);
      idleTimer_.async_wait([self = this->shared_from_this()](beast::error_code ec) {
        if (!ec && self->state_ == State::kReading && self->watching_) self->Close();
      });
      return;
    }
    ReadRequest();
  }

  // Frames not written: wiped before they are freed.
  void DropFrames() {
    for (auto& frame : frames_) WipeString(frame.first);
    frames_.clear();
  }

  // One record per request read, however it ended.
  void EmitRecord() {
    if (recorded_) return;
    recorded_ = true;
    if (!server_->Recording()) return;  // nobody listens: no record to make
    CallRecord record;
    record.peer = peer_;
    record.method = method_;
    if (control_) {
      // The handler fills the names before the call starts, and the outcome before it hands
      // over the answer; a call that ends without its answer may be answering right now on
      // another thread, so its outcome is the session's.
      record.operation = control_->operation;
      record.outcome = !abandoned_.empty() ? abandoned_ : control_->outcome;
      record.caller = control_->caller;
    } else {
      record.operation = "-";
      record.outcome = "cancelled";
    }
    record.status = status_;
    record.requestId = requestId_;
    record.requestBytes = requestBytes_;
    record.answerBytes = answerBytes_;
    record.duration = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now() - started_);
    server_->Record(record);
  }

  void Close() {
    if (state_ == State::kClosed) return;
    if (Busy()) {
      // Closed before its answer was written: the call is cancelled, and its outcome is how
      // it was abandoned.
      if (control_) control_->cancelled = true;
      if (abandoned_.empty()) abandoned_ = "cancelled";
      EmitRecord();
    }
    state_ = State::kClosed;
    deadline_.cancel();
    idleTimer_.cancel();
    // A request cut short (its client went quiet, or away) may hold part of a secret: its
    // body is wiped now, not when the session goes. The parser itself stays until then: a read
    // still pending on it completes (aborted) after this.
    if (parser_) WipeString(parser_->get().body());
    DropFrames();
    control_.reset();
    connectionHold_.reset();
    beast::error_code ec;
    Lowest().socket().shutdown(tcp::socket::shutdown_both, ec);
    Lowest().close();
    // Once the socket is closed no read can land in the buffer: the bytes read for a request
    // cut short go now, wiped as they are freed.
    buffer_.consume(buffer_.size());
    detail::RestBuffer(buffer_, 0);
    server_->Connection(ConnectionEvent::kClosed, peer_);
    // A call may still hold this session to answer into; the server counts it closed now.
    server_->Forget(this);
  }

  Stream stream_;
  std::shared_ptr<Server::Impl> server_;
  // Where the calls' answers arrive; made once the session is shared.
  std::shared_ptr<AnswerPort> port_;
  net::steady_timer deadline_;
  net::steady_timer idleTimer_;
  std::string peer_;
  std::string address_;
  // Who the client's certificate says it is; empty without one.
  PeerIdentity peer_identity_;
  WipingBuffer buffer_;
  std::optional<RequestParser> parser_;
  // The bytes of a streamed answer's frames while they are written; empty and wiped between
  // writes.
  std::string out_;
  std::shared_ptr<CallControl> control_;
  CallerLedger::Hold connectionHold_;
  std::string boundCaller_;
  std::string method_;
  std::string requestId_;
  // How the call in flight ended when it ended without its answer (timed out, client gone).
  std::string abandoned_;
  std::chrono::steady_clock::time_point started_;
  unsigned status_ = 0;
  std::size_t requestBytes_ = 0;
  std::size_t answerBytes_ = 0;
  State state_ = State::kReading;
  bool keepAlive_ = true;  // of the request being answered
  bool served_ = false;    // a request has been read on this connection
  bool recorded_ = true;   // the request's record has been emitted
  bool watching_ = false;  // a watch read is pending
  bool writing_ = false;   // a write of frames is pending
  bool lastQueued_ = false;  // the call's last frame has been queued
  bool replayed_ = false;    // the answer repeats an earlier one (kReplayedHeader)
  bool readClosed_ = false;  // the client has closed its side: nothing more will arrive
  std::deque<std::pair<std::string, bool>> frames_;
};

}  // namespace

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

// A server TLS context with the certificate chain, key and client CAs `options` names; null,
// with the reason in `*error`, when a file cannot be trusted or read, or the key does not
// match. Each file is read as a trusted file (tirn/http/trusted_file.h) and handed to OpenSSL
// from memory, so that what OpenSSL reads is what was checked.
std::shared_ptr<ssl::context> LoadTls(ServerOptions const& options, std::string* error) {
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
  auto next = LoadTls(options_, error);
  if (!next) return false;
  std::atomic_store(&tls_, std::move(next));
  return true;
}

bool Server::Impl::Start(std::string* error) {
  beast::error_code ec;
  if (ServesTls()) {
    auto tls = LoadTls(options_, error);
    if (!tls) return false;
    std::atomic_store(&tls_, std::move(tls));
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
  Log(std::string("listening on ") + (ServesTls() ? "https://" : "http://") +
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
        beast::error_code ignored;
        tcp::endpoint const remote = socket.remote_endpoint(ignored);
        std::string const address = ignored ? std::string("?") : AddressOf(remote);
        std::string const peer =
            ignored ? std::string("?") : address + ":" + std::to_string(remote.port());
        bool full;
        {
          std::lock_guard<std::mutex> lock(self->mutex_);
          full = self->sessions_.size() >= self->options_.maxConnections;
          std::size_t const perAddress = self->options_.maxConnectionsPerAddress;
          if (perAddress != 0 && !full) {
            auto const counted = self->perAddress_.find(address);
            full = counted != self->perAddress_.end() && counted->second >= perAddress;
          }
        }
        if (full || self->stopping_) {
          socket.close(ignored);
          self->Connection(ConnectionEvent::kRefused, peer);
        } else {
          socket.set_option(tcp::no_delay(true), ignored);
          self->Connection(ConnectionEvent::kOpened, peer);
          if (auto tls = std::atomic_load(&self->tls_)) {
            beast::ssl_stream<beast::tcp_stream> stream(std::move(socket), *tls);
            self->Launch(std::move(stream), peer, address, std::move(tls));
          } else {
            self->Launch(beast::tcp_stream(std::move(socket)), peer, address, nullptr);
          }
        }
        self->Accept();
      });
}

template <class Stream>
void Server::Impl::Launch(Stream stream, std::string peer, std::string address,
                          std::shared_ptr<ssl::context const> tls) {
  auto session = std::make_shared<Session<Stream>>(std::move(stream), shared_from_this(),
                                                   std::move(peer), std::move(address));
  session->tls = std::move(tls);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++perAddress_[session->address()];
    sessions_.push_back({session.get(), session, session->address()});
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
      for (auto const& registered : self->sessions_) {
        if (auto session = registered.weak.lock()) sessions.push_back(std::move(session));
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
        for (auto const& registered : self->sessions_) {
          if (auto session = registered.weak.lock()) remaining.push_back(std::move(session));
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

bool Server::ReloadTls(std::string* error) { return impl_->ReloadTls(error); }

unsigned short Server::port() const { return impl_->port; }

void Server::Stop(std::chrono::milliseconds grace, std::function<void()> done) {
  impl_->Stop(grace, std::move(done));
}

}  // namespace Http
}  // namespace Tirn
