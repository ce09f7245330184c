// One connection of the server: reads requests one after the other, hands each to the
// handler, writes its answer, whole or as a stream of frames.
#include "tirn/http/session_internal.h"

#include <chrono>
#include <cstdio>
#include <deque>
#include <mutex>
#include <optional>
#include <type_traits>
#include <utility>

#include "tirn/http/context_load_internal.h"
#include "tirn/http/peer_certificate_internal.h"
#include "tirn/runtime/value/wire_shapes.h"

namespace Tirn {
namespace Http {
namespace detail {
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

// Whether the request names one caller at most: two Authorization headers could be read as
// two callers by different readers (a balancer, a log, this server), so they are refused.
bool CredentialsAccepted(RequestParser const& parser, std::string& why) {
  if (parser.get().count(http::field::authorization) <= 1) return true;
  why = "a request may carry one Authorization header";
  return false;
}

// What a call's answer port hands its session, on the session's strand: the answer of its
// call in flight, one line of a streamed answer, and the caller the connection counts for
// (see Exchange).
class AnswerSink {
 public:
  virtual void WriteReply(Answer answer) = 0;
  virtual void QueueFrame(std::string line, bool last, bool replayed) = 0;
  virtual bool BindCaller(std::string const& caller) = 0;

 protected:
  ~AnswerSink() = default;
};

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

  AnswerPort(std::weak_ptr<AnswerSink> session, Strand strand)
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
  static void Hand(std::weak_ptr<AnswerSink> const& session, Parcel& parcel) {
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

  std::weak_ptr<AnswerSink> const session_;
  std::mutex mutex_;
  // Reset when the session ends, which is always before its io_context goes.
  std::optional<Strand> strand_;
};

// One request and its answer, from the request's first byte to the answer's last: what is read,
// how it is answered, and what its record says. The connection has one, begun anew for each
// request; its strings keep their room from request to request.
struct Round {
  // The request while it is read, until the handler has taken it.
  std::optional<RequestParser> parser;
  // The call's control, from the handler; null before and after.
  std::shared_ptr<CallControl> control;
  std::string method;
  std::string requestId;
  // How the call ended when it ended without its answer (timed out, client gone).
  std::string abandoned;
  std::chrono::steady_clock::time_point started;
  unsigned status = 0;
  std::size_t requestBytes = 0;
  std::size_t answerBytes = 0;
  bool keepAlive = true;   // the connection stays open after the answer
  bool lastQueued = false;  // the streamed answer's last frame is queued
  bool replayed = false;    // the answer repeats an earlier one (kReplayedHeader)
  // The streamed answer's frames not yet written, each with whether it is the last.
  std::deque<std::pair<std::string, bool>> frames;

  // A request has been read (or refused as it was read): its record starts now.
  void Begin() {
    started = std::chrono::steady_clock::now();
    abandoned.clear();
    status = 0;
    requestBytes = 0;
    answerBytes = 0;
    keepAlive = true;
    lastQueued = false;
    replayed = false;
    if (!parser) {
      method.clear();
      requestId.clear();
      return;
    }
    auto const& message = parser->get();
    method.assign(message.method_string().data(), message.method_string().size());
    boost::string_view const id = FieldOf(message, kRequestIdHeader);
    requestId.assign(id.data(), id.size());
  }

  // Frames not written: wiped before they are freed.
  void DropFrames() {
    for (auto& frame : frames) WipeString(frame.first);
    frames.clear();
  }

  CallRecord Record(std::string const& peer) const {
    CallRecord record;
    record.peer = peer;
    record.method = method;
    if (control) {
      // The handler fills the names before the call starts, and the outcome before it hands
      // over the answer; a call that ends without its answer may be answering right now on
      // another thread, so its outcome is the session's.
      record.operation = *control->operation;
      record.outcome = !abandoned.empty() ? abandoned : control->outcome;
      record.caller = control->caller;
    } else {
      record.operation = "-";
      record.outcome = "cancelled";
    }
    record.status = status;
    record.requestId = requestId;
    record.requestBytes = requestBytes;
    record.answerBytes = answerBytes;
    record.duration = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now() - started);
    return record;
  }
};

template <class Stream>
constexpr bool kTls = std::is_same<Stream, TlsStream>::value;

// One connection, a state machine whose every step runs on the connection's strand.
//
// While a call runs, a read watches the connection: a client that goes away cancels the
// call, and the same read receives the next request. Between requests the idle limit
// applies, whatever the connection has done before.
template <class Stream>
class Session final : public SessionBase,
                      public AnswerSink,
                      public std::enable_shared_from_this<Session<Stream>> {
 public:
  Session(Stream stream, std::shared_ptr<SessionHost> host, std::string peer,
          std::string address)
      : stream_(std::move(stream)),
        host_(std::move(host)),
        deadline_(stream_.get_executor()),
        idleTimer_(stream_.get_executor()),
        counted_(ContextLoad::Of(net::query(stream_.get_executor(), net::execution::context)),
                 &ContextLoad::connections),
        peer_(std::move(peer)),
        address_(std::move(address)) {}

  ~Session() override {
    if (port_) port_->Close();
    if (Busy()) EmitRecord();  // a request started is always recorded, whatever ended it
    if (state_ != State::kClosed) host_->Connection(ConnectionEvent::kClosed, peer_);
    host_->Forget(this);
  }

  void Run() override {
    auto const executor = stream_.get_executor();  // accepted on a strand of its own
    port_ = std::make_shared<AnswerPort>(this->weak_from_this(),
                                         *executor.template target<AnswerPort::Strand>());
    if constexpr (kTls<Stream>) {
      Handshake();
    } else {
      net::dispatch(executor, [self = this->shared_from_this()] { self->ReadRequest(); });
    }
  }

  // ---- Stopping ---------------------------------------------------------------------------

  void StopWhenIdle() override {
    net::post(stream_.get_executor(), [self = this->shared_from_this()] {
      self->round_.keepAlive = false;
      // A request that has begun to arrive is read and answered, with Connection: close.
      if (!self->Busy() && !self->RequestBegun()) self->Close();
    });
  }

  void CloseNow() override {
    net::post(stream_.get_executor(), [self = this->shared_from_this()] { self->Close(); });
  }

  // ---- Answers (on the strand, through the port) ------------------------------------------

  // From within Handle.
  bool BindCaller(std::string const& caller) override {
    if (connectionHold_ && boundCaller_ == caller) return true;
    auto hold = host_->handler().ledger->TakeConnection(caller);
    if (!hold) return false;
    connectionHold_ = std::move(hold);
    boundCaller_ = caller;
    return true;
  }

  void WriteReply(Answer answer) override {
    if (state_ != State::kCalling) return WipeString(answer.body);  // too late: dropped
    deadline_.cancel();
    state_ = State::kReplying;
    if (answer.close) round_.keepAlive = false;
    auto response = ResponseOf(std::move(answer));
    round_.status = response->result_int();
    round_.answerBytes += response->body().size();
    Lowest().expires_after(options().readTimeout);
    http::async_write(stream_, *response,
                      [self = this->shared_from_this(), response](beast::error_code ec,
                                                                  std::size_t) {
                        WipeString(response->body());
                        self->Finished(ec);
                      });
  }

  void QueueFrame(std::string line, bool last, bool replayed) override {
    if (state_ != State::kCalling && !Streaming()) return WipeString(line);
    round_.replayed = round_.replayed || replayed;
    if (last) {
      deadline_.cancel();
      round_.lastQueued = true;
    }
    round_.frames.emplace_back(std::move(line), last);
    if (state_ != State::kWritingFrames) WriteFrames();
  }

 private:
  // Where the connection is. Busy from a request's arrival to the end of its answer.
  enum class State {
    kReading,        // waiting for a request, or reading one
    kIdle,           // between requests: the watch waits for the next, within the idle limit
    kCalling,        // a call is in flight; nothing of its answer is sent yet
    kReplying,       // a whole answer is being written
    kStreaming,      // a streamed answer's head is sent; its next frames are awaited
    kWritingFrames,  // frames of a streamed answer are being written
    kClosed,
  };

  ServerOptions const& options() const { return host_->options(); }
  beast::tcp_stream& Lowest() { return beast::get_lowest_layer(stream_); }
  bool Streaming() const {
    return state_ == State::kStreaming || state_ == State::kWritingFrames;
  }
  bool Busy() const {
    return state_ == State::kCalling || state_ == State::kReplying || Streaming();
  }
  // Whether the call still owes its answer, or its last frame.
  bool AwaitsAnswer() const {
    return state_ == State::kCalling || (Streaming() && !round_.lastQueued);
  }
  // Whether bytes of a request not yet handled have arrived.
  bool RequestBegun() const {
    return state_ == State::kReading &&
           (buffer_.size() > 0 || (round_.parser && round_.parser->got_some()));
  }

  // Leaves the busy states (or none) for `next`: a request's record is emitted on the way
  // out, once.
  void Leave(State next) {
    if (Busy()) EmitRecord();
    state_ = next;
  }

  void EmitRecord() {
    if (host_->Recording()) host_->Record(round_.Record(peer_));
  }

  // ---- Reading ----------------------------------------------------------------------------

  void Handshake() {
    Lowest().expires_after(options().readTimeout);
    stream_.async_handshake(ssl::stream_base::server,
                            [self = this->shared_from_this()](beast::error_code ec) {
                              if (ec) {
                                self->RefuseHandshake(ec);
                                return self->Close();
                              }
                              self->identity_ =
                                  IdentityOf(self->stream_, self->options().clientNameFrom);
                              self->ReadRequest();
                            });
  }

  // A client refused for its certificate is said in the log, with why; a peer that went away
  // or spoke no TLS is not.
  void RefuseHandshake(beast::error_code const& ec) {
    if (options().tlsClientCaFile.empty()) return;
    std::string const why = CertificateRefusal(stream_, ec);
    if (!why.empty()) host_->Log("TLS handshake with " + peer_ + " refused: " + why);
  }

  void ReadRequest() {
    if (state_ == State::kClosed) return;
    // A stopping server answers a request already in the buffer, then closes; a client that
    // has closed its side is done once what it sent before is answered.
    if ((host_->stopping() || readClosed_) && buffer_.size() == 0) return Close();
    state_ = State::kReading;
    RequestParser& parser = round_.parser.emplace();
    parser.header_limit(static_cast<std::uint32_t>(options().headerLimit));
    parser.body_limit(options().bodyLimit);
    // A connection that has been served waits for its next request no longer than the idle
    // limit; a request that has begun must arrive whole within the read limit.
    Lowest().expires_after(served_ && buffer_.size() == 0 ? options().idleTimeout
                                                           : options().readTimeout);
    http::async_read_header(stream_, buffer_, parser,
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
    unsigned const version = round_.parser->get().version();
    if (version != 10 && version != 11) {
      return RefuseRequest(kVersionNotSupportedRefusal,
                           HttpMessage(MessageIds::kVersionNotSupported));
    }
    std::string why;
    if (!FramingAccepted(*round_.parser, why) || !CredentialsAccepted(*round_.parser, why)) {
      return RefuseRequest(kBadRequestRefusal, HttpMessage(MessageIds::kBadRequest, {why}));
    }
    Lowest().expires_after(options().readTimeout);
    http::async_read(stream_, buffer_, *round_.parser,
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
      return RefuseRequest(kHeadersTooLargeRefusal,
                           HttpMessage(MessageIds::kHeadersTooLarge,
                                       {std::to_string(options().headerLimit)}));
    }
    if (ec == http::error::bad_version) {
      return RefuseRequest(kVersionNotSupportedRefusal,
                           HttpMessage(MessageIds::kVersionNotSupported));
    }
    RefuseRequest(kBadRequestRefusal, HttpMessage(MessageIds::kBadRequest, {ec.message()}));
  }

  // Answers a request that cannot be handled, then closes the connection: whatever follows
  // cannot be trusted to start a request.
  void RefuseRequest(Refusal refusal, BaseMessage message) {
    BeginRound();
    round_.keepAlive = false;
    round_.control = std::make_shared<CallControl>();
    round_.control->outcome = refusal.error;
    Answer answer;
    answer.status = refusal.status;
    answer.body = ErrorBody(refusal.error, {std::move(message)});
    round_.parser.reset();
    WriteReply(std::move(answer));
  }

  // A request has arrived (or is refused as it arrives): the connection is busy with it.
  void BeginRound() {
    state_ = State::kCalling;
    served_ = true;
    host_->Started();
    round_.Begin();
  }

  void OnRequest(beast::error_code ec) {
    if (state_ == State::kClosed) return;
    bool const tooLarge = ec == http::error::body_limit;
    if (ec && !tooLarge) return OnReadFailed(ec);
    BeginRound();
    round_.keepAlive = !tooLarge && round_.parser->get().keep_alive() && !host_->stopping();
    Request request = RequestOf(round_.parser->get(), tooLarge);
    round_.requestBytes = request.body.size();
    KeepReading();
    round_.control = Handle(host_->handler(), std::move(request), port_);
    round_.parser.reset();
    // A call answered within Handle needs no deadline; one still running, or still streaming
    // toward its last frame, does.
    if (AwaitsAnswer()) StartDeadline();
  }

  // What the handler needs of the request; its views are of the message, which lives until
  // the handler returns.
  Request RequestOf(RequestMessage& message, bool tooLarge) const {
    Request request;
    request.method = round_.method;
    request.target = boost::string_view(message.target().data(), message.target().size());
    request.contentType = FieldOf(message, http::field::content_type);
    request.accept = FieldOf(message, http::field::accept);
    request.acceptLanguage = FieldOf(message, http::field::accept_language);
    request.timeZone = FieldOf(message, kTimeZoneHeader);
    request.authorization = HeaderOf(message, http::field::authorization);
    request.timeout = GivenFieldOf(message, kTimeoutHeader);
    request.idempotencyKey = GivenFieldOf(message, kIdempotencyKeyHeader);
    request.requestId = round_.requestId;
    request.body = std::move(message.body());
    request.peer = peer_;
    request.peerAddress = address_;
    request.peerCertificate = identity_.subject;
    request.peerName = identity_.name;
    request.bodyTooLarge = tooLarge;
    request.load = &counted_.load();
    return request;
  }

  // Once a request is read whole: a connection kept alive with nothing more buffered watches
  // for its client going away, and for the next request, while the call runs.
  void KeepReading() {
    if (buffer_.size() != 0) return;
    RestBuffer(buffer_, round_.keepAlive ? kKeptReadBuffer : 0);
    if (!round_.keepAlive || readClosed_) return;
    // The read limit bounded the request; the watch is bounded by the call's deadline, then
    // by the idle limit.
    Lowest().expires_never();
    Watch();
  }

  // A caller that gave no time limit waits no longer than the longest one allowed.
  void StartDeadline() {
    deadline_.expires_after(round_.control->timeout.count() > 0 ? round_.control->timeout
                                                                : options().maxCallTimeout);
    deadline_.async_wait([self = this->shared_from_this()](beast::error_code ec) {
      if (ec || !self->Busy()) return;
      // The caller stops waiting now: the call is cancelled and nothing more is sent.
      self->round_.control->cancelled = true;
      self->round_.abandoned = Data::Wire::kTimedOutError;
      self->Close();
    });
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
    if (ec == net::error::eof) return OnClientClosed();
    if (ec) return OnClientGone();
    buffer_.commit(read);
    if (state_ == State::kIdle) ReadRequest();  // the next request has begun
  }

  // The client closed its side (some do once they have sent a request): what it sent is run
  // and answered, in order, and then the connection closes.
  void OnClientClosed() {
    readClosed_ = true;
    if (!Busy()) ReadRequest();
  }

  // Reset or failed: the client is gone. A call without its answer is cancelled; a whole
  // answer being written ends with its write.
  void OnClientGone() {
    if ((state_ == State::kCalling || Streaming()) && round_.control) {
      round_.control->cancelled = true;
      round_.abandoned = "cancelled";
    }
    if (state_ == State::kReplying) {
      readClosed_ = true;
      return;
    }
    Close();
  }

  // ---- Writing ----------------------------------------------------------------------------

  std::shared_ptr<http::response<http::string_body>> ResponseOf(Answer answer) const {
    auto response = std::make_shared<http::response<http::string_body>>(
        static_cast<http::status>(answer.status), 11);
    response->set(http::field::content_type,
                  answer.contentType.empty() ? boost::string_view(kJsonType)
                                             : boost::string_view(answer.contentType));
    if (!round_.requestId.empty()) response->set(kRequestIdHeader, round_.requestId);
    for (Header const& header : answer.headers) response->set(header.name, header.value);
    response->keep_alive(round_.keepAlive);
    response->body() = std::move(answer.body);
    response->prepare_payload();
    return response;
  }

  // Writes everything that is ready in one write: the head of the answer the first time, each
  // queued frame as a chunk, and the end of the body after the last frame.
  void WriteFrames() {
    // Sized once, so that no byte of a frame is left behind in a buffer outgrown on the way.
    std::size_t size = 128 + round_.requestId.size();
    for (auto const& frame : round_.frames) size += frame.first.size() + 32;
    out_.reserve(size);  // empty, and wiped since its last write
    if (state_ == State::kCalling) AppendHead();
    bool const ends = AppendFrames();
    round_.DropFrames();
    state_ = State::kWritingFrames;
    Lowest().expires_after(options().readTimeout);
    net::async_write(stream_, net::buffer(out_),
                     [self = this->shared_from_this(), ends](beast::error_code ec, std::size_t) {
                       self->OnFramesWritten(ec, ends);
                     });
  }

  // The head of a streamed answer, into out_.
  void AppendHead() {
    round_.status = 200;
    out_ += "HTTP/1.1 200 OK\r\nContent-Type: ";
    out_ += kStreamType;
    out_ += "\r\nTransfer-Encoding: chunked\r\n";
    if (!round_.requestId.empty()) {
      out_ += kRequestIdHeader;
      out_ += ": ";
      out_ += round_.requestId;
      out_ += "\r\n";
    }
    if (round_.replayed) {
      out_ += kReplayedHeader;
      out_ += ": true\r\n";
    }
    if (!round_.keepAlive) out_ += "Connection: close\r\n";
    out_ += "\r\n";
  }

  // The queued frames, each one line in one chunk, into out_; true when the last was among
  // them, and the body's end with it.
  bool AppendFrames() {
    char chunkSize[20];
    for (auto const& frame : round_.frames) {
      std::snprintf(chunkSize, sizeof chunkSize, "%zx\r\n", frame.first.size() + 1);
      out_ += chunkSize;
      out_ += frame.first;
      out_ += "\n\r\n";
      round_.answerBytes += frame.first.size() + 1;
      if (frame.second) {
        out_ += "0\r\n\r\n";
        return true;
      }
    }
    return false;
  }

  void OnFramesWritten(beast::error_code ec, bool ends) {
    // Kept for the next write, wiped; given back when it has grown large.
    WipeString(out_);
    if (out_.capacity() > kKeptWriteBuffer) std::string().swap(out_);
    if (state_ == State::kClosed) return;
    state_ = State::kStreaming;
    if (ec || ends) return Finished(ec);
    if (!round_.frames.empty()) WriteFrames();
  }

  // The answer has been written (or could not be).
  void Finished(beast::error_code ec) {
    if (state_ == State::kClosed) return;
    if (ec && round_.control) {
      // The answer could not be written: its client is gone, and a streamed call may still be
      // running (and writing its outcome) on another thread.
      round_.control->cancelled = true;
      round_.abandoned = "cancelled";
    }
    Leave(State::kReading);
    round_.DropFrames();
    round_.control.reset();
    if (ec || !round_.keepAlive || host_->stopping()) return Close();
    if (readClosed_) return ReadRequest();  // the requests it sent before closing, if any
    if (watching_) return AwaitNextRequest();
    ReadRequest();
  }

  // The watch waits for the next request, no longer than the idle limit.
  void AwaitNextRequest() {
    state_ = State::kIdle;
    idleTimer_.expires_after(options().idleTimeout);
    idleTimer_.async_wait([self = this->shared_from_this()](beast::error_code ec) {
      if (!ec && self->state_ == State::kIdle) self->Close();
    });
  }

  void Close() {
    if (state_ == State::kClosed) return;
    if (Busy()) {
      // Closed before its answer was written: the call is cancelled, and its outcome is how
      // it was abandoned.
      if (round_.control) round_.control->cancelled = true;
      if (round_.abandoned.empty()) round_.abandoned = "cancelled";
    }
    Leave(State::kClosed);
    deadline_.cancel();
    idleTimer_.cancel();
    // A request cut short (its client went quiet, or away) may hold part of a secret: its
    // body is wiped now, not when the session goes. The parser itself stays until then: a read
    // still pending on it completes (aborted) after this.
    if (round_.parser) WipeString(round_.parser->get().body());
    round_.DropFrames();
    round_.control.reset();
    connectionHold_.reset();
    beast::error_code ec;
    Lowest().socket().shutdown(tcp::socket::shutdown_both, ec);
    Lowest().close();
    // Once the socket is closed no read can land in the buffer: the bytes read for a request
    // cut short go now, wiped as they are freed.
    buffer_.consume(buffer_.size());
    RestBuffer(buffer_, 0);
    host_->Connection(ConnectionEvent::kClosed, peer_);
    // A call may still hold this session to answer into; the server counts it closed now.
    host_->Forget(this);
  }

  Stream stream_;
  std::shared_ptr<SessionHost> host_;
  // Where the calls' answers arrive; made once the session is shared.
  std::shared_ptr<AnswerPort> port_;
  net::steady_timer deadline_;
  net::steady_timer idleTimer_;
  // The connection, counted in its context's load while the session lives.
  ContextLoad::Hold const counted_;
  std::string peer_;
  std::string address_;
  // Who the client's certificate says it is; empty without one.
  PeerIdentity identity_;
  WipingBuffer buffer_;
  // The bytes of a streamed answer's frames while they are written; empty and wiped between
  // writes.
  std::string out_;
  CallerLedger::Hold connectionHold_;
  std::string boundCaller_;
  State state_ = State::kReading;
  Round round_;
  // Of the connection, not of one request: whether a request has been read on it, whether a
  // watch read is pending, and whether the client has closed its side (nothing more will
  // arrive).
  bool served_ = false;
  bool watching_ = false;
  bool readClosed_ = false;
};

template <class Stream>
std::shared_ptr<SessionBase> Made(Stream stream, std::shared_ptr<SessionHost> host,
                                  std::string peer, std::string address,
                                  std::shared_ptr<ssl::context const> tls) {
  auto session = std::make_shared<Session<Stream>>(std::move(stream), std::move(host),
                                                   std::move(peer), std::move(address));
  session->tls = std::move(tls);
  return session;
}

}  // namespace

std::shared_ptr<SessionBase> MakeSession(beast::tcp_stream stream,
                                         std::shared_ptr<SessionHost> host, std::string peer,
                                         std::string address) {
  return Made(std::move(stream), std::move(host), std::move(peer), std::move(address), nullptr);
}

std::shared_ptr<SessionBase> MakeSession(TlsStream stream, std::shared_ptr<SessionHost> host,
                                         std::string peer, std::string address,
                                         std::shared_ptr<ssl::context const> tls) {
  return Made(std::move(stream), std::move(host), std::move(peer), std::move(address),
              std::move(tls));
}

}  // namespace detail
}  // namespace Http
}  // namespace Tirn
