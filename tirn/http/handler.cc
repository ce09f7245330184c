#include <cstring>
#include <optional>
#include <utility>

#include "tirn/http/asio_internal.h"
#include "tirn/http/context_load_internal.h"
#include "tirn/http/handler_internal.h"
#include "tirn/http/protocol.h"
#include "tirn/json/json.h"
#include "tirn/runtime/l10n/locale.h"
#include "tirn/runtime/value/validation.h"
#include "tirn/runtime/value/wire_shapes.h"

namespace Tirn {
namespace Http {
namespace detail {
namespace {

namespace Wire = Data::Wire;

constexpr char kAnonymous[] = "-";

// Why a request is refused: the status and error it is answered with, and what they say.
struct Refused {
  unsigned status;
  char const* error;
  std::list<BaseMessage> messages;
  std::vector<Header> headers;
  bool close = false;
};

// What a stage of Handle decides: nothing when the request goes on, otherwise its refusal.
using Verdict = std::optional<Refused>;

Refused Refusing(Refusal refusal, std::list<BaseMessage> messages,
                 std::vector<Header> headers = {}, bool close = false) {
  return Refused{refusal.status, refusal.error, std::move(messages), std::move(headers), close};
}

Refused Refusing(char const* error, std::list<BaseMessage> messages,
                 std::vector<Header> headers = {}) {
  return Refused{StatusForError(error), error, std::move(messages), std::move(headers), false};
}

// Answers a refusal: the one way every stage of Handle refuses a request.
void Refuse(Exchange& exchange, CallControl& control, Refused refused) {
  control.outcome = refused.error;
  Answer answer;
  answer.status = refused.status;
  answer.headers = std::move(refused.headers);
  answer.close = refused.close;
  answer.body = ErrorBody(refused.error, refused.messages);
  exchange.Reply(std::move(answer));
}

// A header's value as a message shows it: a long one cut short.
std::string Shown(boost::string_view value) {
  constexpr std::size_t kShown = 64;
  if (value.size() <= kShown) return std::string(value);
  return std::string(value.substr(0, kShown)) + "...";
}

// Whether the implementation marked its answer as the repeat of an earlier one.
bool Replayed(Core::AsyncActivation const& activation) {
  auto found = activation.properties.find(Core::ContextKeys::kReplayed);
  return found != activation.properties.end() && found->second == "true";
}

// The status and the frame or body that carry a final result, and its outcome for the record.
Answer FinalAnswer(Core::MethodResult const& result, bool streamed, std::string& outcome) {
  std::list<BaseMessage> messages;
  Answer answer;
  outcome = result.error ? result.error->name() : std::string("ok");
  if (result.error) {
    auto frame = Data::DynamicStructValue::GetInstance(std::string());
    *frame->StaticFieldSlot(kErrorMember) = Data::StringValue::GetInstance(result.error->name());
    *frame->StaticFieldSlot(kValueMember) = result.error;
    if (Json::Encode(frame, nullptr, &answer.body, messages)) {
      answer.status = StatusForError(result.error->name());
      return answer;
    }
  } else {
    Data::DataValuePtr output = result.output ? result.output : Data::VoidValue::GetInstance();
    if (streamed) {
      auto frame = Data::DynamicStructValue::GetInstance(std::string());
      *frame->StaticFieldSlot(kOutputMember) = output;
      output = std::move(frame);
    }
    if (Json::Encode(output, nullptr, &answer.body, messages)) return answer;
  }
  messages.push_front(HttpMessage(MessageIds::kOutputNotEncodable));
  outcome = Wire::kInternalServerError;
  answer.status = 500;
  answer.body = ErrorBody(Wire::kInternalServerError, messages);
  return answer;
}

std::string ProgressLine(Progress const& progress) {
  auto numbers = Data::DynamicStructValue::GetInstance(std::string());
  *numbers->StaticFieldSlot("minimum") = Data::IntegerValue::GetInstance(progress.minimum);
  *numbers->StaticFieldSlot("maximum") = Data::IntegerValue::GetInstance(progress.maximum);
  *numbers->StaticFieldSlot("current") = Data::IntegerValue::GetInstance(progress.current);
  auto frame = Data::DynamicStructValue::GetInstance(std::string());
  *frame->StaticFieldSlot(kProgressMember) = numbers;
  std::string text;
  std::list<BaseMessage> messages;
  (void)Json::Encode(frame, nullptr, &text, messages);  // integers always encode
  return text;
}

// Wipes what a request carried of its caller's secrets when Handle is done with it, on every
// path: the body (which may hold a secret's text) and the credentials.
struct RequestWiper {
  Request& request;
  ~RequestWiper() {
    WipeString(request.body);
    WipeString(request.authorization);
  }
};

// Who the caller is: false when an authenticator refuses the credentials.
bool Authenticate(HandlerContext const& context, Request& request,
                  Core::SecurityContextWrappedEntry& identity) {
  Credentials credentials;
  boost::string_view authorization = Trim(request.authorization);
  if (authorization.size() > 7 && EqualsIgnoringCase(authorization.substr(0, 7), "Bearer ")) {
    credentials.bearerToken = std::string(Trim(authorization.substr(7)));
  }
  credentials.clientCertificate = request.peerCertificate;
  credentials.clientName = request.peerName;
  credentials.peer = request.peer;
  bool const accepted = context.authenticator(credentials, identity);
  WipeString(credentials.bearerToken);
  return accepted;
}

// Says whether the call brought a token the server refused, or none.
Refused Unauthenticated(Request const& request) {
  bool const brought = !Trim(request.authorization).empty();
  return Refusing(Wire::kUnauthenticatedError,
                  {HttpMessage(brought ? MessageIds::kTokenRefused : MessageIds::kUnauthenticated)},
                  {{"WWW-Authenticate", "Bearer"}});
}

// The locale of a request, made from its Accept-Language and time zone. A thread's calls
// mostly carry the same two: the one made last on this thread is reused while they match (it is
// immutable, so calls may share it).
std::shared_ptr<L10n::LocaleSpec const> LocaleOf(Request const& request) {
  struct Last {
    std::string language;
    std::string timeZone;
    std::shared_ptr<L10n::LocaleSpec const> spec;
  };
  thread_local Last last;
  if (!last.spec || last.language != request.acceptLanguage || last.timeZone != request.timeZone) {
    last.spec = std::make_shared<L10n::LocaleSpec const>(
        request.acceptLanguage.empty() ? std::string("en") : std::string(request.acceptLanguage),
        "C", request.timeZone.empty() ? std::string("Etc/UTC") : std::string(request.timeZone));
    last.language = std::string(request.acceptLanguage);
    last.timeZone = std::string(request.timeZone);
  }
  return last.spec;
}

// What the stages of one call share: the request and where its answer goes, and what each
// stage finds out for the next.
struct Call {
  Call(HandlerContext const& handlerContext, Request& handled,
       std::shared_ptr<Exchange> const& answerTo, std::shared_ptr<CallControl> const& callControl)
      : context(handlerContext),
        request(handled),
        exchange(answerTo),
        control(callControl),
        path(request.target.substr(0, request.target.find('?'))) {}

  HandlerContext const& context;
  Request& request;
  std::shared_ptr<Exchange> const& exchange;
  std::shared_ptr<CallControl> const& control;
  // The target without its query.
  boost::string_view path;
  // A GET endpoint's path (the application's, or the health check when `endpoint` is null).
  bool isEndpoint = false;
  Endpoint const* endpoint = nullptr;
  // Otherwise the operation the path names.
  Core::OperationDescriptor const* operation = nullptr;
  // The answer goes as a stream of frames.
  bool streamed = false;
  // The key the per-caller limits count under; its prefixes are short, so that an IPv4 address
  // key fits a string's own storage.
  std::string limitKey;
  std::shared_ptr<Core::AsyncActivation> activation;
  Data::DataValuePtr input;
};

// ---- Routing ----------------------------------------------------------------------------

Endpoint const* FindEndpoint(HandlerContext const& context, boost::string_view path) {
  for (Endpoint const& endpoint : context.endpoints) {
    if (endpoint.path == path) return &endpoint;
  }
  return nullptr;
}

// The operation at `path` (kPathPrefix, the interface, a slash, the operation), or null.
Core::OperationDescriptor const* FindOperation(HandlerContext const& context,
                                               boost::string_view path) {
  if (!path.starts_with(kPathPrefix) || !context.operations()) return nullptr;
  boost::string_view const rest = path.substr(std::strlen(kPathPrefix));
  std::size_t const slash = rest.rfind('/');
  if (slash == boost::string_view::npos) return nullptr;
  return context.operations()->Find(rest.substr(0, slash), rest.substr(slash + 1));
}

// The GET endpoints, then one operation per POST path. A path served with another method is
// refused 405 with the one it takes; a path not served at all, 404, whatever the method.
Verdict Route(Call& call) {
  call.endpoint = FindEndpoint(call.context, call.path);
  call.isEndpoint = call.endpoint || call.path == kHealthPath;
  if (!call.isEndpoint) call.operation = FindOperation(call.context, call.path);
  if (!call.isEndpoint && !call.operation) {
    return Refusing(Wire::kOperationNotFoundError,
                    {HttpMessage(MessageIds::kUnknownPath, {std::string(call.path)})});
  }
  char const* const takes = call.isEndpoint ? "GET" : "POST";
  if (call.request.method != takes) {
    return Refusing(kMethodNotAllowedRefusal,
                    {HttpMessage(MessageIds::kMethodNotAllowed, {call.request.method})},
                    {{"Allow", takes}});
  }
  if (call.operation) call.control->operation = &call.context.NameOf(*call.operation);
  return std::nullopt;
}

// Answers a GET endpoint (the health check when `endpoint` is null); one that is not open
// asks the authenticator first.
Verdict ServeEndpoint(Call& call) {
  CallControl& control = *call.control;
  control.endpoint = std::string(call.path.substr(1));
  control.operation = &control.endpoint;
  bool const open = !call.endpoint || call.endpoint->open;
  if (!open && call.context.authenticator) {
    Core::SecurityContextWrappedEntry identity;
    if (!Authenticate(call.context, call.request, identity)) return Unauthenticated(call.request);
    control.caller = identity.text.empty() ? kAnonymous : identity.text;
  }
  EndpointAnswer served;
  if (call.endpoint) {
    served = call.endpoint->answer();
  } else {
    served.body = "{\"status\":\"serving\"}";
  }
  control.outcome = served.status < 400 ? "ok" : std::to_string(served.status);
  Answer answer;
  answer.status = served.status;
  answer.contentType = std::move(served.contentType);
  answer.body = std::move(served.body);
  call.exchange->Reply(std::move(answer));
  return std::nullopt;
}

// ---- Admission --------------------------------------------------------------------------

// What can be told from the request alone: its size, its media types and its headers.
Verdict CheckRequest(Call& call) {
  Request const& request = call.request;
  if (request.bodyTooLarge) {
    return Refusing(kBodyTooLargeRefusal, {HttpMessage(MessageIds::kBodyTooLarge,
                                                       {std::to_string(call.context.bodyLimit)})});
  }
  if (!EqualsIgnoringCase(MediaType(request.contentType), kJsonType)) {
    return Refusing(kUnsupportedMediaTypeRefusal,
                    {HttpMessage(MessageIds::kUnsupportedMediaType,
                                 {std::string(request.contentType)})});
  }
  call.streamed = Accepts(request.accept, kStreamType);
  if (!request.accept.empty() && !call.streamed && !Accepts(request.accept, kJsonType, true)) {
    return Refusing(kNotAcceptableRefusal,
                    {HttpMessage(MessageIds::kNotAcceptable, {Shown(request.accept)})});
  }
  if (request.timeout &&
      !ParseTimeLimit(*request.timeout, call.context.maxCallTimeout, call.control->timeout)) {
    return Refusing(Wire::kInvalidArgumentError,
                    {HttpMessage(MessageIds::kBadHeader,
                                 {kTimeoutHeader, Shown(*request.timeout)})});
  }
  if (request.idempotencyKey && !IsIdempotencyKey(*request.idempotencyKey)) {
    return Refusing(Wire::kInvalidArgumentError,
                    {HttpMessage(MessageIds::kBadHeader,
                                 {kIdempotencyKeyHeader, Shown(*request.idempotencyKey)})});
  }
  return std::nullopt;
}

// Who calls: the caller the authenticator names goes into the call's security context.
Verdict Identify(Call& call) {
  call.activation = std::make_shared<Core::AsyncActivation>();
  call.activation->executionContext = std::make_shared<Core::ExecutionContext>();
  call.limitKey = "a " + call.request.peerAddress;
  if (!call.context.authenticator) return std::nullopt;
  Core::SecurityContextWrappedEntry identity;
  if (!Authenticate(call.context, call.request, identity)) return Unauthenticated(call.request);
  if (!identity.text.empty()) {
    call.control->caller = identity.text;
    call.limitKey = "c " + identity.text;
  }
  call.activation->executionContext->securityContext[kCallerKey] = std::move(identity);
  return std::nullopt;
}

// Whether the caller may call the operation.
Verdict Authorize(Call& call) {
  CallControl const& control = *call.control;
  if (!call.context.authorizer || call.context.authorizer(control.caller, *control.operation)) {
    return std::nullopt;
  }
  return Refusing(Wire::kUnauthorizedError,
                  {HttpMessage(MessageIds::kUnauthorized, {*control.operation, control.caller})});
}

// Whether the caller holds room for this connection and for another call; the call keeps its
// place until it ends.
Verdict HoldPlace(Call& call) {
  CallerLedger* const ledger = call.context.ledger.get();
  if (!ledger) return std::nullopt;
  if (!call.exchange->BindCaller(call.limitKey)) {
    return Refusing(kTooManyRequestsRefusal,
                    {HttpMessage(MessageIds::kTooManyConnections,
                                 {std::to_string(ledger->connectionLimit())})},
                    {{"Retry-After", "1"}}, /*close=*/true);
  }
  call.control->callHold = ledger->TakeCall(call.limitKey);
  if (call.control->callHold) return std::nullopt;
  return Refusing(kTooManyRequestsRefusal,
                  {HttpMessage(MessageIds::kTooManyCalls, {std::to_string(ledger->callLimit())})},
                  {{"Retry-After", "1"}});
}

// ---- The input --------------------------------------------------------------------------

// The input, read with the operation's definition. The operation validates what it is given
// (the provider's method signal, ApiMethodHelper::ValidateInput), so it is not validated here
// as well: what does not conform reaches that check and is refused there, 400 under either
// media type. A server that refuses unknown fields at every depth checks them here.
Verdict DecodeInput(Call& call) {
  std::list<BaseMessage> messages;
  Json::DecodeOptions options;
  // An in-process provider's operations check their input themselves, so it is read here
  // without a second pass; a provider of another kind may hand it to code that does not, so
  // its input is validated before it leaves.
  options.validate = call.context.inProcess == nullptr;
  options.maxDepth = call.context.depthLimit;
  boost::string_view const body(call.request.body.data(), call.request.body.size());
  if (!Json::Decode(body, call.operation->input, &call.input, messages, options)) {
    return Refusing(Wire::kInvalidArgumentError, std::move(messages));
  }
  auto const& rejectsUnknown = call.context.rejectsUnknownFields;
  if (!rejectsUnknown || !rejectsUnknown(*call.control->operation)) return std::nullopt;
  Data::ValidationOptions strict;
  strict.rejectUnknownFields = true;
  strict.rejectUnknownNestedFields = true;
  if (Data::Validate(call.operation->input, call.input, messages, strict)) return std::nullopt;
  return Refusing(Wire::kInvalidArgumentError, std::move(messages));
}

// ---- The call ---------------------------------------------------------------------------

// What the activation carries of the request besides the caller: its locale, request id, time
// limit and idempotency key, and the way to cancel it.
void PrepareActivation(Call& call) {
  Core::AsyncActivation& activation = *call.activation;
  auto& data = activation.executionContext->applicationData;
  activation.requestLocalizer.localeSpec = LocaleOf(call.request);
  if (!call.request.requestId.empty()) {
    data[kRequestIdKey] = {std::string(call.request.requestId), boost::none};
  }
  if (call.control->timeout.count() > 0) {
    data[kTimeoutKey] = {std::to_string(call.control->timeout.count()), boost::none};
  }
  if (call.request.idempotencyKey) {
    data[Core::ContextKeys::kIdempotencyKey] = {std::string(*call.request.idempotencyKey),
                                                boost::none};
  }
  std::weak_ptr<CallControl> weakControl = call.control;
  activation.cancel = [weakControl] {
    if (auto alive = weakControl.lock()) alive->cancelled = true;
  };
  activation.isCancelled = [weakControl] {
    auto alive = weakControl.lock();
    return !alive || alive->cancelled.load();
  };
}

// Where the provider's progress and result go: frames of a streamed answer, or one answer.
Core::AsyncApiResultCb ResultCallback(Call const& call) {
  // A keyed call's answer may be marked a replay by the implementation, on the activation.
  std::shared_ptr<Core::AsyncActivation const> keyed;
  if (call.request.idempotencyKey) keyed = call.activation;
  return Core::AsyncApiResultCb(
      [exchange = call.exchange, control = call.control, streamed = call.streamed, keyed](
          std::shared_ptr<Core::MethodResult const> const& result, Progress const& progress,
          Core::AsyncApiResultCb::Continuation&&) {
        if (!result) {
          if (streamed) {
            control->streamBegun = true;
            exchange->StreamFrame(ProgressLine(progress), false, false);
          }
          return;
        }
        // The thread, and the call's place among its caller's, are free before the answer
        // leaves: its caller may call again as soon as it reads the answer, however late the
        // thread that answered lets go of this callback.
        control->EndHolding();
        control->callHold.reset();
        Answer answer = FinalAnswer(*result, streamed, control->outcome);
        // Read once the implementation has answered: it marks the activation before.
        bool const replayed = keyed && Replayed(*keyed);
        // An error before the stream began is answered as without streaming, with its own
        // status: an input the operation refuses gets 400 whichever form was asked for.
        if (streamed && (!result->error || control->streamBegun)) {
          exchange->StreamFrame(std::move(answer.body), true, replayed);
        } else {
          if (replayed) answer.headers.push_back({kReplayedHeader, "true"});
          exchange->Reply(std::move(answer));
        }
      });
}

// How the call reaches its operation: the method found for it, or the provider.
struct Dispatch {
  std::shared_ptr<Core::AsyncApiProvider> provider;
  Core::InProcessApiProvider* inProcess;
  std::shared_ptr<Core::MethodIdentifier const> method;
  // Found in the in-process provider's registrations; null: through the provider.
  std::shared_ptr<Provider::AsyncApiMethod const> found;

  // A provider that serves in process takes the fresh activation as it is; one whose
  // operation is not registered (any more) answers that it is not found.
  void operator()(Data::DataValuePtr const& input,
                  std::shared_ptr<Core::AsyncActivation> activation,
                  Core::AsyncApiResultCb const& resultCb) const {
    if (found) {
      found->Invoke(input, activation, resultCb);
    } else if (inProcess) {
      inProcess->InvokeWithFreshActivation(method, input, std::move(activation), resultCb);
    } else {
      provider->Invoke(method, input, activation, resultCb);
    }
  }
};

// Hands the call to its operation, now or on the call context.
void Invoke(Call& call) {
  PrepareActivation(call);
  HandlerContext const& context = call.context;
  Dispatch dispatch{context.provider, context.inProcess, call.operation->method, nullptr};
  if (context.methods) dispatch.found = context.methods->Find(*call.operation);
  Core::AsyncApiResultCb resultCb = ResultCallback(call);
  std::string const& operation = *call.control->operation;
  if (!context.callContext || (context.runsOnIoThread && context.runsOnIoThread(operation))) {
    return dispatch(call.input, std::move(call.activation), resultCb);
  }
  if (ContextLoad* const load = call.request.load;
      load && context.runsOnIoThreadWhenAlone && context.runsOnIoThreadWhenAlone(operation)) {
    // Counted as waiting before it looks: a connection placed on this context meanwhile is
    // either seen here, or sees the wait and goes elsewhere (Server's NextContext).
    CallControl& control = *call.control;
    control.BeginHolding(*load);
    struct Ends {
      CallControl& control;
      ~Ends() { control.EndHolding(); }
    } const ends{control};
    if (load->Alone()) return dispatch(call.input, std::move(call.activation), resultCb);
  }
  // Everything the operation needs travels with it: the server may be gone when it runs. One
  // whose caller stopped waiting while it was queued (its time ran out, its client left) is
  // not run: nobody would hear its answer, and what it would change is not wanted any more.
  net::post(*context.callContext,
            [dispatch = std::move(dispatch), input = std::move(call.input),
             activation = std::move(call.activation), resultCb = std::move(resultCb)]() mutable {
              if (activation->isCancelled()) return;
              dispatch(input, std::move(activation), resultCb);
            });
}

// Routes, admits, decodes and invokes: each stage lets the request on or refuses it.
Verdict Run(Call& call) {
  if (Verdict refused = Route(call)) return refused;
  if (call.isEndpoint) return ServeEndpoint(call);
  using Stage = Verdict (*)(Call&);
  for (Stage const stage : {CheckRequest, Identify, Authorize, HoldPlace, DecodeInput}) {
    if (Verdict refused = stage(call)) return refused;
  }
  Invoke(call);
  return std::nullopt;
}

}  // namespace

CallerLedger::Hold CallerLedger::Take(std::string const& caller, std::size_t Counts::*which,
                                      std::size_t limit) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto at = counts_.try_emplace(caller).first;
  Counts& counts = at->second;
  if (limit != 0 && counts.*which >= limit) {
    if (counts.connections == 0 && counts.calls == 0) counts_.erase(at);
    return Hold();
  }
  ++(counts.*which);
  return Hold(shared_from_this(), &*at, which);
}

void CallerLedger::Hold::reset() {
  if (!ledger_) return;
  std::shared_ptr<CallerLedger> const ledger = std::move(ledger_);
  std::lock_guard<std::mutex> lock(ledger->mutex_);
  --(entry_->second.*which_);
  if (entry_->second.connections == 0 && entry_->second.calls == 0) {
    ledger->counts_.erase(ledger->counts_.find(entry_->first));
  }
}

std::string ErrorBody(std::string const& name, std::list<BaseMessage> const& messages) {
  auto frame = Data::DynamicStructValue::GetInstance(std::string());
  *frame->StaticFieldSlot(kErrorMember) = Data::StringValue::GetInstance(name);
  *frame->StaticFieldSlot(kValueMember) = Data::ErrorValue::Create(name, messages);
  std::string text;
  std::list<BaseMessage> problems;
  if (Json::Encode(frame, nullptr, &text, problems)) return text;
  // Only text that is not UTF-8 fails to encode; the bare error still says what happened.
  *frame->StaticFieldSlot(kValueMember) = Data::ErrorValue::Create(name, {});
  (void)Json::Encode(frame, nullptr, &text, problems);
  return text;
}

std::string const CallControl::kNoOperation = "-";

void CallControl::BeginHolding(ContextLoad& load) {
  ++load.waiting;
  holding = &load;
}

void CallControl::EndHolding() {
  if (ContextLoad* const load = holding.exchange(nullptr)) --load->waiting;
}

void HandlerContext::SetOperations(Core::OperationTable const& table) {
  operations_ = &table;
  operationNames_.clear();
  for (Core::OperationDescriptor const& operation : table.operations()) {
    operationNames_.emplace(&operation, std::string(operation.serviceName) + "." +
                                            operation.operationName);
  }
}

std::shared_ptr<CallControl> Handle(HandlerContext const& context, Request request,
                                    std::shared_ptr<Exchange> exchange) {
  RequestWiper const wiper{request};
  auto control = std::make_shared<CallControl>();
  Call call(context, request, exchange, control);
  if (Verdict refused = Run(call)) Refuse(*exchange, *control, std::move(*refused));
  return control;
}

}  // namespace detail
}  // namespace Http
}  // namespace Tirn
