#include "tirn/http/client_call_internal.h"

#include <openssl/ssl.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <list>
#include <optional>
#include <random>
#include <utility>

#include "tirn/http/answer_reader_internal.h"
#include "tirn/http/transport_internal.h"
#include "tirn/http/wiping_allocator.h"
#include "tirn/text/text.h"
#include "tirn/json/json.h"
#include "tirn/runtime/l10n/locale.h"
#include "tirn/runtime/value/wire_shapes.h"

namespace Tirn {
namespace Http {
namespace detail {
namespace {

namespace Wire = Data::Wire;
using Clock = std::chrono::steady_clock;

// The most read from a connection at once.
constexpr std::size_t kReadSize = 64 << 10;
// A pooled connection keeps a read buffer up to this size, wiped, for its next call.
constexpr std::size_t kKeptReadBuffer = 16 << 10;

// Random hexadecimal digits filling `text` but for its terminating zero (15 for a request id,
// which then needs no allocation in a std::string; 32 for an idempotency key), from a
// generator of the calling thread's own seeded with 256 bits from std::random_device, so that
// keys made by different threads and processes do not meet.
template <std::size_t N>
boost::string_view RandomHex(char (&text)[N]) {
  static_assert(N > 1, "at least one digit");
  static thread_local std::mt19937_64 generator = [] {
    std::random_device device;
    std::seed_seq seed{device(), device(), device(), device(),
                       device(), device(), device(), device()};
    return std::mt19937_64(seed);
  }();
  std::uint64_t draw = 0;
  for (std::size_t at = 0; at + 1 < N; ++at) {
    if (at % 16 == 0) draw = generator();  // sixteen digits a draw
    text[at] = Text::kHexDigits[draw & 15];
    draw >>= 4;
  }
  text[N - 1] = '\0';
  return boost::string_view(text, N - 1);
}



// One call in flight. Every step runs on its connection's strand, so deliveries never overlap.
class Call : public PooledCall, public std::enable_shared_from_this<Call> {
 public:
  Call(std::shared_ptr<ConnectionPool> pool, CallPacing const& pacing,
       std::shared_ptr<AnswerReader::Frames const> frames, Core::AsyncApiResultCb resultCb)
      : pool_(std::move(pool)),
        pacing_(pacing),
        frames_(std::move(frames)),
        resultCb_(std::move(resultCb)) {}

  ~Call() { WipeString(request_.body()); }

  // Prepares the request; false when it cannot be sent (FailUnsent then says why). The call
  // then waits for a connection (Client::Acquire). A call without an input (`fetch`) is a GET
  // of a document the server serves.
  bool Prepare(Core::OperationDescriptor const* operation, boost::string_view target,
               Data::DataValuePtr const& input,
               std::shared_ptr<Core::AsyncActivation> const& activation, bool fetch = false) {
    operation_ = operation;
    fetch_ = fetch;
    activation_ = activation;
    timeout_ = std::min(options().defaultTimeout, options().maxCallTimeout);
    if (std::string const* given = ApplicationData(kTimeoutKey)) {
      std::chrono::milliseconds limit{0};
      if (ParseTimeLimit(*given, options().maxCallTimeout, limit)) {
        timeout_ = limit;
      }
    }
    deadlineAt_ = Clock::now() + timeout_;
    // Read here, on the caller's thread: the caller owns its activation's properties until
    // Deliver writes the answer into them.
    noteAnswer_ = activation_ && !activation_->properties.empty() &&
                  activation_->properties.count(kAnswerStatusProperty) != 0;
    BuildRequest(target, input);
    return refusal_.empty();
  }

  // Ends a call that Prepare refused, from the io_context, without sending anything.
  void FailUnsent(net::io_context& context) {
    net::post(context, [self = shared_from_this()] {
      self->Fail(Wire::kInvalidArgumentError, std::move(self->refusal_));
    });
  }

  // Runs the call on `connection`, from its strand.
  void Run(std::shared_ptr<Connection> connection) override {
    running_ = true;
    connection_ = std::move(connection);
    net::dispatch(connection_->executor, [self = shared_from_this()] { self->Begin(); });
  }

  // Waits in the client's queue for a connection, giving up (and leaving the queue) when the
  // call's time limit passes or its caller cancels it. The timer needs no strand: it is only
  // touched by its own handlers, one waiting at a time, and the flags they read are atomic.
  void Wait(net::io_context& context) override {
    waitTimer_.emplace(context);
    WaitTick();
  }

 private:
  void WaitTick() {
    waitTimer_->expires_at(std::min(deadlineAt_, Clock::now() + pacing_.cancelPoll));
    waitTimer_->async_wait([self = shared_from_this()](beast::error_code) {
      if (self->running_ || self->delivered_) return;
      bool const late = Clock::now() >= self->deadlineAt_;
      bool const cancelled = self->activation_ && self->activation_->isCancelled &&
                             self->activation_->isCancelled();
      if (!late && !cancelled) return self->WaitTick();
      // Given a connection meanwhile: that strand takes the call over.
      if (!self->pool_->LeaveQueue(self.get())) return;
      if (cancelled) return self->Fail(Wire::kGenericError, {HttpMessage(MessageIds::kCancelled)});
      self->TimedOut();
    });
  }

 private:
  ClientOptions const& options() const { return pool_->options(); }

  // The application data of the caller's activation under `key`; null when absent.
  std::string const* ApplicationData(char const* key) const {
    if (!activation_ || !activation_->executionContext) return nullptr;
    auto const& data = activation_->executionContext->applicationData;
    auto found = data.find(key);
    return found == data.end() ? nullptr : &found->second.value;
  }

  // The server the call's attempt goes to, as host:port for messages: its connection's, or,
  // before it has one, the one new connections go to.
  std::string const& Server() const { return Url().server; }
  BaseUrl const& Url() const {
    return pool_->url(connection_ ? connection_->url : pool_->Preferred());
  }

  // The URL the attempt calls, for people: "http://host:port/v1/...".
  std::string Called() const {
    return std::string(Url().tls ? "https://" : "http://") + Server() +
           std::string(request_.target());
  }

  void BuildRequest(boost::string_view target, Data::DataValuePtr const& input) {
    request_.method(fetch_ ? http::verb::get : http::verb::post);
    request_.target(target);
    request_.version(11);
    if (!fetch_) request_.set(http::field::content_type, kJsonType);
    request_.set(http::field::accept, fetch_ ? kJsonType : kStreamType);
    request_.keep_alive(options().keepAlive);
    std::string const* requestId = ApplicationData(kRequestIdKey);
    char randomId[16];
    requestId_ = std::string(requestId && !requestId->empty() ? boost::string_view(*requestId)
                                                              : RandomHex(randomId));
    request_.set(kRequestIdHeader, requestId_);
    if (!fetch_) SetIdempotencyKey();
    if (activation_ && activation_->requestLocalizer.localeSpec) {
      auto const& spec = *activation_->requestLocalizer.localeSpec;
      if (!spec.languages().empty()) request_.set(http::field::accept_language, Text::Join(spec.languages(), ", "));
      if (spec.timezone().valid()) request_.set(kTimeZoneHeader, spec.timezone().text());
    }
    if (options().tokenSupplier) {
      std::string token = options().tokenSupplier();
      if (!token.empty()) {
        std::string header = "Bearer " + token;
        request_.set(http::field::authorization, header);
        WipeString(header);
      }
      WipeString(token);
    }
    std::list<BaseMessage> messages;
    if (refusal_.empty() && !fetch_ &&
        !Json::Encode(input ? input : Data::DataValuePtr(Data::DynamicStructValue::GetInstance("")),
                      nullptr, &request_.body(), messages)) {
      refusal_ = std::move(messages);
    }
    request_.prepare_payload();
  }

  // Every attempt of a call carries the same key, so that a server that kept the outcome of
  // an attempt answers the next one with it instead of doing the call twice. The caller's own
  // key (which lets an application try a call again after a restart) or a new random one: not
  // the request id, which callers may give many calls.
  void SetIdempotencyKey() {
    std::string const* given = ApplicationData(Core::ContextKeys::kIdempotencyKey);
    if (given && !IsIdempotencyKey(*given)) {
      refusal_.push_back(HttpMessage(MessageIds::kBadIdempotencyKey,
                                     {std::to_string(kIdempotencyKeyLimit)}));
      return;
    }
    char randomKey[33];
    request_.set(kIdempotencyKeyHeader,
                 given ? boost::string_view(*given) : RandomHex(randomKey));
  }

  // The time the call has left, in whole milliseconds rounded up.
  std::chrono::milliseconds Remaining() const {
    return std::chrono::ceil<std::chrono::milliseconds>(deadlineAt_ - Clock::now());
  }

  void Begin() {
    deadline_.emplace(connection_->executor);
    cancelPoll_.emplace(connection_->executor);
    // A call that waited for its connection past its time, or that its caller gave up
    // meanwhile, is not sent: the server would do what nobody waits for any more.
    if (Remaining().count() <= 0) return TimedOut();
    if (activation_ && activation_->isCancelled && activation_->isCancelled()) {
      return Fail(Wire::kGenericError, {HttpMessage(MessageIds::kCancelled)});
    }
    deadline_->expires_at(deadlineAt_);
    deadline_->async_wait([self = shared_from_this()](beast::error_code ec) {
      if (!ec) self->TimedOut();
    });
    if (activation_ && activation_->isCancelled) PollCancel();
    if (connection_->connected) return Send();
    // A new connection goes where calls start now.
    pool_->NewStream(*connection_, pool_->Preferred());
    Resolve();
  }

  void TimedOut() {
    if (lastFailure_ && connection_ && !connection_->connected) {
      // The time ran out before the next attempt was sent: why is the last attempt's failure.
      return Deliver(nullptr, lastFailure_, false);
    }
    Fail(Wire::kTimedOutError,
         {HttpMessage(MessageIds::kTimedOut, {Server(), std::to_string(timeout_.count())})});
  }

  void PollCancel() {
    cancelPoll_->expires_after(pacing_.cancelPoll);
    cancelPoll_->async_wait([self = shared_from_this()](beast::error_code ec) {
      if (ec || self->finished_) return;
      if (self->activation_->isCancelled()) {
        return self->Fail(Wire::kGenericError, {HttpMessage(MessageIds::kCancelled)});
      }
      self->PollCancel();
    });
  }

  // ---- Connecting -------------------------------------------------------------------------

  void Resolve() {
    BaseUrl const& url = pool_->url(connection_->url);
    if (url.tls && !pool_->tlsSetupError().empty()) {
      return Fail(Wire::kServiceUnavailableError,
                  {HttpMessage(MessageIds::kTlsFailed, {url.server, pool_->tlsSetupError()})});
    }
    resolver_ = std::make_shared<tcp::resolver>(connection_->executor);
    resolver_->async_resolve(url.host, url.port,
                             [self = shared_from_this()](beast::error_code ec,
                                                         tcp::resolver::results_type results) {
                               if (self->finished_) return;
                               if (ec) {
                                 return self->Unreachable(MessageIds::kConnectFailed, ec.message());
                               }
                               self->Connect(results);
                             });
  }

  void Connect(tcp::resolver::results_type const& results) {
    auto& lowest = connection_->Lowest();
    lowest.expires_after(options().connectTimeout);
    lowest.async_connect(results, [self = shared_from_this()](beast::error_code ec,
                                                              tcp::endpoint const&) {
      if (self->finished_) return;
      if (ec) return self->ConnectFailed(ec);
      beast::error_code ignored;
      self->connection_->Lowest().socket().set_option(tcp::no_delay(true), ignored);
      if (!self->connection_->tls) {
        self->connection_->connected = true;
        return self->Send();
      }
      self->Handshake();
    });
  }

  // Nothing was sent, so another attempt is safe: until the call's time limit, or the
  // attempts ClientOptions::connectAttempts allows, run out.
  void ConnectFailed(beast::error_code ec) {
    auto failure = Data::ErrorValue::Create(
        Wire::kServiceUnavailableError,
        {HttpMessage(MessageIds::kConnectFailed, {Server(), ec.message()})});
    int const allowed = options().connectAttempts;
    if (++connectFailures_ >= allowed && allowed > 0) return Deliver(nullptr, failure, false);
    TryNext(std::move(failure));
  }

  // The server of this connection's URL cannot be reached for a reason that waiting does not
  // cure (its name does not resolve, the TLS handshake failed; message `id`): the call ends at
  // once, and new calls start at the next URL.
  void Unreachable(char const* id, std::string const& reason) {
    pool_->Avoid(connection_->url);
    Fail(Wire::kServiceUnavailableError, {HttpMessage(id, {Server(), reason})});
  }

  // The attempt on this connection's URL failed with `failure`: calls no longer start at that
  // URL, and the next attempt goes, on a new connection, to the next one, after a jittered
  // pause that doubles from kRetryPause up to kLongestRetryPause. A pause that would end past
  // the time limit ends at it, where the deadline ends the call with `failure` unless the
  // attempt made then gets through first.
  void TryNext(std::shared_ptr<Data::ErrorValue const> failure) {
    lastFailure_ = std::move(failure);
    reader_.reset();
    Close();
    pool_->Avoid(connection_->url);
    pool_->NewStream(*connection_, pool_->After(connection_->url));
    if (!retryTimer_) retryTimer_.emplace(connection_->executor);
    retryTimer_->expires_at(std::min(Clock::now() + RetryPause(++failures_), deadlineAt_));
    retryTimer_->async_wait([self = shared_from_this()](beast::error_code waited) {
      if (waited || self->finished_) return;
      self->Resolve();
    });
  }

  // The pause before the attempt after `made` ones: up to kRetryPause doubled per attempt made
  // before, at most kLongestRetryPause, drawn at random from its upper half so that callers
  // that failed together do not come back together.
  std::chrono::milliseconds RetryPause(int made) const {
    auto longest = pacing_.retryPause;
    for (int i = 1; i < made && longest < pacing_.longestRetryPause; ++i) longest *= 2;
    longest = std::min(longest, pacing_.longestRetryPause);
    thread_local std::minstd_rand random(std::random_device{}());
    std::uniform_int_distribution<long long> half(longest.count() / 2, longest.count());
    return std::chrono::milliseconds(half(random));
  }

  void Handshake() {
    auto& stream = *connection_->tls;
    std::string const& host = pool_->url(connection_->url).host;
    if (!SSL_set_tlsext_host_name(stream.native_handle(), host.c_str())) {
      return Unreachable(MessageIds::kTlsFailed, "no server name");
    }
    if (options().verifyPeer) stream.set_verify_callback(ssl::host_name_verification(host));
    connection_->Lowest().expires_after(options().connectTimeout);
    stream.async_handshake(ssl::stream_base::client,
                           [self = shared_from_this()](beast::error_code ec) {
                             if (self->finished_) return;
                             if (ec) return self->Unreachable(MessageIds::kTlsFailed, ec.message());
                             self->connection_->connected = true;
                             self->Send();
                           });
  }

  // ---- Exchanging -------------------------------------------------------------------------

  template <class F>
  void WithStream(F&& f) {
    if (connection_->tls) {
      f(*connection_->tls);
    } else {
      f(*connection_->plain);
    }
  }

  // Sends the request, kept whole from one attempt to the next, with the time left and the
  // host of the connection's URL.
  void Send() {
    auto const remaining = Remaining();
    if (remaining.count() <= 0) return TimedOut();
    request_.set(kTimeoutHeader, std::to_string(remaining.count()));
    request_.set(http::field::host, pool_->url(connection_->url).host);
    ++sent_;
    answerBegun_ = false;
    status_ = 0;
    connection_->Lowest().expires_never();  // the call's deadline bounds the exchange
    WithStream([this](auto& stream) {
      http::async_write(stream, request_,
                        [self = shared_from_this()](beast::error_code ec, std::size_t) {
                          if (self->finished_) return;
                          if (ec) return self->Broken(ec);
                          self->ReadAnswer();
                        });
    });
  }

  void ReadAnswer() {
    reader_.emplace(operation_ ? operation_->output : nullptr, frames_,
                    Server(), options().answerLimit, [this] { return Called(); });
    ReadSome();
  }

  void ReadSome() {
    auto& buffer = connection_->buffer;
    auto space = buffer.prepare(beast::read_size(buffer, kReadSize));
    WithStream([this, space](auto& stream) {
      stream.async_read_some(space, [self = shared_from_this()](beast::error_code ec,
                                                                std::size_t bytes) {
        if (self->finished_) return;
        self->connection_->buffer.commit(bytes);
        self->OnRead(ec);
      });
    });
  }

  // Hands what was read to the reader, whose buffers hold it from then on.
  void OnRead(beast::error_code ec) {
    auto& buffer = connection_->buffer;
    AnswerEvents events;
    if (buffer.size() != 0) {
      answerBegun_ = true;
      auto const bytes = buffer.data();
      events = reader_->Feed(
          boost::string_view(static_cast<char const*>(bytes.data()), bytes.size()));
      buffer.consume(buffer.size());
    }
    if (!events.outcome && ec == net::error::eof) {
      AnswerEvents closed = reader_->Closed();
      events.progress.insert(events.progress.end(), closed.progress.begin(), closed.progress.end());
      events.outcome = std::move(closed.outcome);
    }
    for (Progress const& progress : events.progress) resultCb_(nullptr, progress, {});
    if (!events.outcome) return ec ? Broken(ec) : ReadSome();
    AnswerOutcome& outcome = *events.outcome;
    status_ = outcome.status;
    // The server gives up at the same time limit and closes the connection (see Broken).
    if (outcome.cutOff && Clock::now() >= deadlineAt_) return TimedOut();
    if (outcome.cutOff && !answerBegun_) {
      return TryAgain(Unanswered("the connection closed before the answer ended"), false);
    }
    // A server that is not there behind a proxy, or one that cannot take the call now, did
    // nothing: the call may go elsewhere. (Such an answer is never streamed, so no progress
    // reached the caller.)
    bool const unavailable = outcome.status == 502 || outcome.status == 503;
    if (unavailable || !answerBegun_) return TryAgain(std::move(outcome.error), outcome.reusable);
    // A streamed answer's outcome comes with the end of its chunked body: the connection
    // goes back to the pool before the caller hears of the outcome and calls again.
    Deliver(std::move(outcome.output), std::move(outcome.error), outcome.reusable);
  }

  void Broken(beast::error_code ec) {
    // The server gives up at the same time limit and closes the connection: past the
    // deadline, that is the time-out, whichever of the two was noticed first.
    if (Clock::now() >= deadlineAt_) return TimedOut();
    if (!answerBegun_) return TryAgain(Unanswered(ec.message()), false);
    Deliver(nullptr,
            Data::ErrorValue::Create(
                Wire::kServiceUnavailableError,
                {HttpMessage(MessageIds::kConnectionBroken, {Server(), ec.message()})}),
            false);
  }

  // The failure of an attempt whose connection ended, closed or reset, before any byte of an
  // answer. A server that speaks TLS, called with http://, ends it so (it waits for a
  // handshake and gives up): the message says what to try.
  std::shared_ptr<Data::ErrorValue const> Unanswered(std::string reason) const {
    if (!Url().tls) reason += " (does the server speak TLS? try https://" + Server() + ")";
    return Data::ErrorValue::Create(
        Wire::kServiceUnavailableError,
        {HttpMessage(MessageIds::kConnectionBroken, {Server(), std::move(reason)})});
  }

  // The request was sent, but no answer began, or the answer said the server could not take
  // it: the call is sent again elsewhere (its key tells the server if it was done already)
  // while ClientOptions::maxAttempts allows; after the last, `failure` is its outcome.
  void TryAgain(std::shared_ptr<Data::ErrorValue const> failure, bool reusable) {
    if (sent_ >= std::max(options().maxAttempts, 1)) {
      return Deliver(nullptr, std::move(failure), reusable);
    }
    TryNext(std::move(failure));
  }

  // ---- Ending -----------------------------------------------------------------------------

  void Fail(char const* name, std::list<BaseMessage> messages) {
    if (finished_) return;
    Deliver(nullptr, Data::ErrorValue::Create(name, messages), false);
  }

  // Ends the call: `reusable` (the reader read a whole answer the server keeps the connection
  // open after) gives the connection back, anything else closes it.
  void Deliver(Data::DataValuePtr output, std::shared_ptr<Data::ErrorValue const> error,
               bool reusable) {
    if (finished_) return;
    finished_ = true;
    delivered_ = true;
    if (deadline_) deadline_->cancel();
    if (retryTimer_) retryTimer_->cancel();
    if (cancelPoll_) cancelPoll_->cancel();
    if (resolver_) resolver_->cancel();  // a pending look-up would keep the connection's place
    WipeString(request_.body());
    reader_.reset();  // its buffers held the answer, which may have carried a secret
    if (noteAnswer_) NoteAnswer();
    if (!connection_) {
      // Never given a connection: nothing to give back.
    } else if (reusable) {
      // Empty: every byte read went to the reader.
      RestBuffer(connection_->buffer, kKeptReadBuffer);
      pool_->Release(connection_);
    } else {
      Close();
    }
    auto result = std::make_shared<Core::MethodResult>();
    result->output = std::move(output);
    result->error = std::move(error);
    result->final = true;
    resultCb_(result, Progress::Final(), {});
  }

  // What the caller asked to see of the answer (call_options.h), into its activation before
  // it hears of the outcome.
  void NoteAnswer() {
    auto& properties = activation_->properties;
    properties[kAnswerUrlProperty] = Called();
    properties[kAnswerStatusProperty] = std::to_string(status_);
    properties[kAnswerRequestIdProperty] = sent_ > 0 ? requestId_ : std::string();
  }

  void Close() {
    if (!connection_) return;
    beast::error_code ec;
    connection_->Lowest().socket().shutdown(tcp::socket::shutdown_both, ec);
    connection_->Lowest().close();
    connection_->connected = false;
  }

  std::shared_ptr<ConnectionPool> pool_;
  CallPacing const pacing_;
  // The definitions the answer is read with; null: the reader makes its own.
  std::shared_ptr<AnswerReader::Frames const> frames_;
  std::shared_ptr<Connection> connection_;
  Core::AsyncApiResultCb resultCb_;
  // On the connection's strand, once the call has one.
  std::optional<net::steady_timer> deadline_;
  std::optional<net::steady_timer> cancelPoll_;
  // The pause before another attempt; the last attempt's failure, the call's outcome when the
  // time runs out before the next attempt is sent.
  std::optional<net::steady_timer> retryTimer_;
  std::shared_ptr<Data::ErrorValue const> lastFailure_;
  // On a strand of its own, while the call waits for a connection.
  std::optional<net::steady_timer> waitTimer_;
  // Set once the call has delivered its outcome (read by the wait timer's strand too).
  std::atomic<bool> delivered_{false};
  // Set once the call has been given a connection.
  std::atomic<bool> running_{false};
  std::shared_ptr<tcp::resolver> resolver_;
  Core::OperationDescriptor const* operation_ = nullptr;
  std::shared_ptr<Core::AsyncActivation> activation_;
  std::chrono::milliseconds timeout_{0};
  Clock::time_point deadlineAt_ = Clock::time_point::max();
  // Its header fields (the token) live in memory that is wiped as it is freed, with the call;
  // its body, kept for the attempts after the first, is wiped when the call ends or is freed.
  http::request<http::string_body, http::basic_fields<WipingAllocator<char>>> request_;
  std::optional<AnswerReader> reader_;  // while the answer is read
  // Why the request cannot be sent (the input has no JSON form, the key is malformed).
  std::list<BaseMessage> refusal_;
  std::string requestId_;    // sent as kRequestIdHeader with every attempt
  unsigned status_ = 0;      // of the last attempt's answer; 0 before its head is read
  bool noteAnswer_ = false;  // the caller asked for the answer to be noted
  int connectFailures_ = 0;  // attempts to connect that failed
  int failures_ = 0;         // attempts that failed and were followed by another
  int sent_ = 0;             // attempts whose request was sent
  bool answerBegun_ = false;  // a byte of the answer to the last request sent was read
  bool fetch_ = false;
  bool finished_ = false;
};

}  // namespace

void StartCall(std::shared_ptr<ConnectionPool> pool, CallPacing const& pacing,
               CallTarget const& target, Data::DataValuePtr const& input,
               std::shared_ptr<Core::AsyncActivation> const& activation,
               Core::AsyncApiResultCb const& resultCb) {
  auto call = std::make_shared<Call>(pool, pacing, target.frames, resultCb);
  if (!call->Prepare(target.operation, target.path, input, activation, target.fetch)) {
    return call->FailUnsent(pool->NextContext());
  }
  pool->Acquire(call);
}

}  // namespace detail
}  // namespace Http
}  // namespace Tirn
