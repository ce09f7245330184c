#include <cstring>
#include <utility>

#include "tirn/http/asio_internal.h"
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

// Answers an error: the one way every step of Handle refuses a request.
void Refuse(Exchange& exchange, CallControl& control, unsigned status, char const* name,
            std::list<BaseMessage> const& messages, std::vector<Header> headers = {},
            bool close = false) {
  control.outcome = name;
  Answer answer;
  answer.status = status;
  answer.headers = std::move(headers);
  answer.close = close;
  answer.body = ErrorBody(name, messages);
  exchange.Reply(std::move(answer));
}

void Refuse(Exchange& exchange, CallControl& control, char const* name,
            std::list<BaseMessage> const& messages, std::vector<Header> headers = {}) {
  Refuse(exchange, control, StatusForError(name), name, messages, std::move(headers));
}

void Refuse(Exchange& exchange, CallControl& control, Refusal refusal,
            std::list<BaseMessage> const& messages, std::vector<Header> headers = {},
            bool close = false) {
  Refuse(exchange, control, refusal.status, refusal.error, messages, std::move(headers), close);
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
    frame->SetField(kErrorMember, Data::StringValue::GetInstance(result.error->name()));
    frame->SetField(kValueMember, result.error);
    if (Json::Encode(frame, nullptr, &answer.body, messages)) {
      answer.status = StatusForError(result.error->name());
      return answer;
    }
  } else {
    Data::DataValuePtr output = result.output ? result.output : Data::VoidValue::GetInstance();
    if (streamed) {
      auto frame = Data::DynamicStructValue::GetInstance(std::string());
      frame->SetField(kOutputMember, output);
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
  numbers->SetField("minimum", Data::IntegerValue::GetInstance(progress.minimum));
  numbers->SetField("maximum", Data::IntegerValue::GetInstance(progress.maximum));
  numbers->SetField("current", Data::IntegerValue::GetInstance(progress.current));
  auto frame = Data::DynamicStructValue::GetInstance(std::string());
  frame->SetField(kProgressMember, numbers);
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
void RefuseUnauthenticated(Exchange& exchange, CallControl& control, Request const& request) {
  bool const brought = !Trim(request.authorization).empty();
  Refuse(exchange, control, Wire::kUnauthenticatedError,
         {HttpMessage(brought ? MessageIds::kTokenRefused : MessageIds::kUnauthenticated)},
         {{"WWW-Authenticate", "Bearer"}});
}

Endpoint const* FindEndpoint(HandlerContext const& context, boost::string_view path) {
  for (Endpoint const& endpoint : context.endpoints) {
    if (endpoint.path == path) return &endpoint;
  }
  return nullptr;
}

void ServeEndpoint(HandlerContext const& context, Request& request, Endpoint const* endpoint,
                   boost::string_view path, Exchange& exchange, CallControl& control) {
  control.operation = std::string(path.substr(1));
  bool const open = !endpoint || endpoint->open;
  if (!open && context.authenticator) {
    Core::SecurityContextWrappedEntry identity;
    if (!Authenticate(context, request, identity)) {
      return RefuseUnauthenticated(exchange, control, request);
    }
    control.caller = identity.text.empty() ? kAnonymous : identity.text;
  }
  EndpointAnswer served;
  if (endpoint) {
    served = endpoint->answer();
  } else {
    served.body = "{\"status\":\"serving\"}";
  }
  control.outcome = served.status < 400 ? "ok" : std::to_string(served.status);
  Answer answer;
  answer.status = served.status;
  answer.contentType = std::move(served.contentType);
  answer.body = std::move(served.body);
  exchange.Reply(std::move(answer));
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

// Hands the call to the provider; one that serves in process takes the fresh activation as
// it is.
void Invoke(std::shared_ptr<Core::AsyncApiProvider> const& provider,
            Core::InProcessApiProvider* inProcess,
            std::shared_ptr<Core::MethodIdentifier const> const& method,
            Data::DataValuePtr const& input, std::shared_ptr<Core::AsyncActivation> activation,
            Core::AsyncApiResultCb const& resultCb) {
  if (inProcess) {
    inProcess->InvokeWithFreshActivation(method, input, std::move(activation), resultCb);
  } else {
    provider->Invoke(method, input, activation, resultCb);
  }
}

}  // namespace

CallerLedger::Hold CallerLedger::Take(std::string const& caller, std::size_t Counts::*which,
                                      std::size_t limit) {
  std::pair<std::string const, Counts>* entry = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto at = counts_.try_emplace(caller).first;
    Counts& counts = at->second;
    if (limit != 0 && counts.*which >= limit) {
      if (counts.connections == 0 && counts.calls == 0) counts_.erase(at);
      return nullptr;
    }
    ++(counts.*which);
    entry = &*at;
  }
  auto self = shared_from_this();
  // The pointer is the ledger itself: a hold is never null. The caller's entry stays in the
  // map, where it is, while any hold counts in it: the hold keeps its address, not its name.
  return Hold(static_cast<void*>(this), [self, entry, which](void*) {
    std::lock_guard<std::mutex> lock(self->mutex_);
    --(entry->second.*which);
    if (entry->second.connections == 0 && entry->second.calls == 0) {
      self->counts_.erase(self->counts_.find(entry->first));
    }
  });
}

std::string ErrorBody(std::string const& name, std::list<BaseMessage> const& messages) {
  auto frame = Data::DynamicStructValue::GetInstance(std::string());
  frame->SetField(kErrorMember, Data::StringValue::GetInstance(name));
  frame->SetField(kValueMember, Data::ErrorValue::Create(name, messages));
  std::string text;
  std::list<BaseMessage> problems;
  if (Json::Encode(frame, nullptr, &text, problems)) return text;
  // Only text that is not UTF-8 fails to encode; the bare error still says what happened.
  frame->SetField(kValueMember, Data::ErrorValue::Create(name, {}));
  (void)Json::Encode(frame, nullptr, &text, problems);
  return text;
}

std::shared_ptr<CallControl> Handle(HandlerContext const& context, Request request,
                                    std::shared_ptr<Exchange> exchange) {
  RequestWiper const wiper{request};
  auto control = std::make_shared<CallControl>();
  boost::string_view path(request.target);
  path = path.substr(0, path.find('?'));

  // Routing: the GET endpoints, then one operation per POST path.
  Endpoint const* endpoint = FindEndpoint(context, path);
  bool const isEndpoint = endpoint || path == kHealthPath;
  if (request.method == "GET" && isEndpoint) {
    ServeEndpoint(context, request, endpoint, path, *exchange, *control);
    return control;
  }
  Core::OperationDescriptor const* operation = nullptr;
  if (!isEndpoint && path.starts_with(kPathPrefix) && context.operations) {
    boost::string_view rest = path.substr(std::strlen(kPathPrefix));
    std::size_t const slash = rest.rfind('/');
    if (slash != boost::string_view::npos) {
      operation = context.operations->Find(rest.substr(0, slash), rest.substr(slash + 1));
    }
  }
  // A path served with another method is answered 405 with the one it takes; a path not
  // served at all, 404, whatever the method.
  if ((isEndpoint || operation) && request.method != (isEndpoint ? "GET" : "POST")) {
    Refuse(*exchange, *control, kMethodNotAllowedRefusal,
           {HttpMessage(MessageIds::kMethodNotAllowed, {request.method})},
           {{"Allow", isEndpoint ? "GET" : "POST"}});
    return control;
  }
  if (!operation) {
    Refuse(*exchange, *control, Wire::kOperationNotFoundError,
           {HttpMessage(MessageIds::kUnknownPath, {std::string(path)})});
    return control;
  }
  std::size_t const serviceLength = std::strlen(operation->serviceName);
  std::string& name = control->operation;
  name.reserve(serviceLength + 1 + std::strlen(operation->operationName));
  name.assign(operation->serviceName, serviceLength);
  name.append(1, '.').append(operation->operationName);

  // What can be told from the request alone.
  if (request.bodyTooLarge) {
    Refuse(*exchange, *control, kBodyTooLargeRefusal,
           {HttpMessage(MessageIds::kBodyTooLarge, {std::to_string(context.bodyLimit)})});
    return control;
  }
  if (!EqualsIgnoringCase(MediaType(request.contentType), kJsonType)) {
    Refuse(*exchange, *control, kUnsupportedMediaTypeRefusal,
           {HttpMessage(MessageIds::kUnsupportedMediaType, {std::string(request.contentType)})});
    return control;
  }
  bool const streamed = Accepts(request.accept, kStreamType);
  if (!request.accept.empty() && !streamed && !Accepts(request.accept, kJsonType, true)) {
    Refuse(*exchange, *control, kNotAcceptableRefusal,
           {HttpMessage(MessageIds::kNotAcceptable, {Shown(request.accept)})});
    return control;
  }
  if (request.timeout &&
      !ParseTimeLimit(*request.timeout, context.maxCallTimeout, control->timeout)) {
    Refuse(*exchange, *control, Wire::kInvalidArgumentError,
           {HttpMessage(MessageIds::kBadHeader, {kTimeoutHeader, Shown(*request.timeout)})});
    return control;
  }
  if (request.idempotencyKey && !IsIdempotencyKey(*request.idempotencyKey)) {
    Refuse(*exchange, *control, Wire::kInvalidArgumentError,
           {HttpMessage(MessageIds::kBadHeader,
                        {kIdempotencyKeyHeader, Shown(*request.idempotencyKey)})});
    return control;
  }

  // Who calls, whether it may, and whether it holds room for another call.
  auto activation = std::make_shared<Core::AsyncActivation>();
  activation->executionContext = std::make_shared<Core::ExecutionContext>();
  // The key the per-caller limits count under; its prefixes are short, so that an IPv4 address
  // key fits a string's own storage.
  std::string limitKey = "a " + request.peerAddress;
  if (context.authenticator) {
    Core::SecurityContextWrappedEntry identity;
    if (!Authenticate(context, request, identity)) {
      RefuseUnauthenticated(*exchange, *control, request);
      return control;
    }
    if (!identity.text.empty()) {
      control->caller = identity.text;
      limitKey = "c " + identity.text;
    }
    activation->executionContext->securityContext[kCallerKey] = std::move(identity);
  }
  if (context.authorizer && !context.authorizer(control->caller, control->operation)) {
    Refuse(*exchange, *control, Wire::kUnauthorizedError,
           {HttpMessage(MessageIds::kUnauthorized, {control->operation, control->caller})});
    return control;
  }
  if (context.ledger) {
    if (!exchange->BindCaller(limitKey)) {
      Refuse(*exchange, *control, kTooManyRequestsRefusal,
             {HttpMessage(MessageIds::kTooManyConnections,
                          {std::to_string(context.ledger->connectionLimit())})},
             {{"Retry-After", "1"}}, /*close=*/true);
      return control;
    }
    control->callHold = context.ledger->TakeCall(limitKey);
    if (!control->callHold) {
      Refuse(*exchange, *control, kTooManyRequestsRefusal,
             {HttpMessage(MessageIds::kTooManyCalls,
                          {std::to_string(context.ledger->callLimit())})},
             {{"Retry-After", "1"}});
      return control;
    }
  }

  // The input, decoded with the operation's definition.
  Data::DataValuePtr input;
  std::list<BaseMessage> messages;
  Json::DecodeOptions decodeOptions;
  decodeOptions.maxDepth = context.depthLimit;
  if (!Json::Decode(boost::string_view(request.body.data(), request.body.size()),
                    operation->input, &input, messages, decodeOptions)) {
    Refuse(*exchange, *control, Wire::kInvalidArgumentError, messages);
    return control;
  }
  if (context.rejectsUnknownFields && context.rejectsUnknownFields(control->operation)) {
    Data::ValidationOptions strict;
    strict.rejectUnknownFields = true;
    strict.rejectUnknownNestedFields = true;
    if (!Data::Validate(operation->input, input, messages, strict)) {
      Refuse(*exchange, *control, Wire::kInvalidArgumentError, messages);
      return control;
    }
  }

  // The call, with a fresh activation.
  activation->requestLocalizer.localeSpec = LocaleOf(request);
  if (!request.requestId.empty()) {
    activation->executionContext->applicationData[kRequestIdKey] = {
        std::string(request.requestId), boost::none};
  }
  if (control->timeout.count() > 0) {
    activation->executionContext->applicationData[kTimeoutKey] = {
        std::to_string(control->timeout.count()), boost::none};
  }
  // A keyed call's answer may be marked a replay by the implementation, on the activation.
  std::shared_ptr<Core::AsyncActivation const> keyed;
  if (request.idempotencyKey) {
    activation->executionContext->applicationData[Core::ContextKeys::kIdempotencyKey] = {
        std::string(*request.idempotencyKey), boost::none};
    keyed = activation;
  }
  std::weak_ptr<CallControl> weakControl = control;
  activation->cancel = [weakControl] {
    if (auto alive = weakControl.lock()) alive->cancelled = true;
  };
  activation->isCancelled = [weakControl] {
    auto alive = weakControl.lock();
    return !alive || alive->cancelled.load();
  };

  Core::AsyncApiResultCb resultCb(
      [exchange, control, streamed, keyed](std::shared_ptr<Core::MethodResult const> const& result,
                                           Progress const& progress,
                                           Core::AsyncApiResultCb::Continuation&&) {
        if (!result) {
          if (streamed) {
            control->streamBegun = true;
            exchange->StreamFrame(ProgressLine(progress), false, false);
          }
          return;
        }
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
  if (context.callContext) {
    // Everything the operation needs travels with it: the server may be gone when it runs. One
    // whose caller stopped waiting while it was queued (its time ran out, its client left) is
    // not run: nobody would hear its answer, and what it would change is not wanted any more.
    net::post(*context.callContext,
              [provider = context.provider, inProcess = context.inProcess,
               method = operation->method, input = std::move(input),
               activation = std::move(activation), resultCb = std::move(resultCb)]() mutable {
                if (activation->isCancelled()) return;
                Invoke(provider, inProcess, method, input, std::move(activation), resultCb);
              });
  } else {
    Invoke(context.provider, context.inProcess, operation->method, input, std::move(activation),
           resultCb);
  }
  return control;
}

}  // namespace detail
}  // namespace Http
}  // namespace Tirn
