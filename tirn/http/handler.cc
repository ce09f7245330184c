#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstring>
#include <utility>

#include "tirn/http/handler_internal.h"
#include "tirn/http/protocol.h"
#include "tirn/json/json.h"
#include "tirn/message/message.h"
#include "tirn/runtime/locale.h"
#include "tirn/runtime/secret_string.h"
#include "tirn/runtime/wire_shapes.h"

namespace Tirn {
namespace Http {
namespace detail {
namespace {

namespace Wire = Data::Wire;

char const* DefaultText(char const* id) {
  struct Entry {
    char const* id;
    char const* text;
  };
  static constexpr Entry kTexts[] = {
      {MessageIds::kMethodNotAllowed, "The method {1} is not allowed here; calls are POST."},
      {MessageIds::kUnsupportedMediaType,
       "The content type \"{1}\" is not supported; send application/json."},
      {MessageIds::kBodyTooLarge, "The body is larger than {1} bytes."},
      {MessageIds::kUnauthenticated, "The call carries no credentials the server accepts."},
      {MessageIds::kUnknownPath, "No operation is served at {1}."},
      {MessageIds::kBadHeader, "The header {1} has the malformed value \"{2}\"."},
      {MessageIds::kOutputNotEncodable, "The operation's output could not be written as JSON."},
      {MessageIds::kConnectFailed, "Could not connect to {1}: {2}."},
      {MessageIds::kTlsFailed, "The TLS handshake with {1} failed: {2}."},
      {MessageIds::kConnectionBroken, "The connection to {1} broke: {2}."},
      {MessageIds::kTimedOut, "{1} did not answer within {2} ms."},
      {MessageIds::kBadAnswer, "The answer of {1} cannot be read: {2}."},
      {MessageIds::kCancelled, "The call was cancelled by its caller."},
  };
  for (Entry const& entry : kTexts) {
    if (std::strcmp(entry.id, id) == 0) return entry.text;
  }
  return "";
}

bool EqualsIgnoringCase(boost::string_view a, boost::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

boost::string_view Trim(boost::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// The media type of a Content-Type or Accept item, without its parameters.
boost::string_view MediaType(boost::string_view value) {
  return Trim(value.substr(0, value.find(';')));
}

bool Accepts(boost::string_view accept, boost::string_view type) {
  while (!accept.empty()) {
    std::size_t const comma = accept.find(',');
    if (EqualsIgnoringCase(MediaType(accept.substr(0, comma)), type)) return true;
    if (comma == boost::string_view::npos) break;
    accept.remove_prefix(comma + 1);
  }
  return false;
}

void ReplyError(Exchange& exchange, char const* name, std::list<BaseMessage> const& messages,
                CallControl& control) {
  control.operation = control.operation.empty() ? std::string("-") : control.operation;
  exchange.Reply(StatusForError(name), ErrorBody(name, messages), false);
}

// The status and the frame or body that carry a final result.
struct Answer {
  unsigned status;
  std::string text;
};

Answer FinalAnswer(Core::MethodResult const& result, bool streamed) {
  std::list<BaseMessage> messages;
  std::string text;
  if (result.error) {
    auto frame = Data::DynamicStructValue::GetInstance(std::string());
    frame->SetField(kErrorMember, Data::StringValue::GetInstance(result.error->name()));
    frame->SetField(kValueMember, result.error);
    if (Json::Encode(frame, nullptr, &text, messages)) {
      return {StatusForError(result.error->name()), std::move(text)};
    }
  } else {
    Data::DataValuePtr output = result.output ? result.output : Data::VoidValue::GetInstance();
    if (streamed) {
      auto frame = Data::DynamicStructValue::GetInstance(std::string());
      frame->SetField(kOutputMember, output);
      output = std::move(frame);
    }
    if (Json::Encode(output, nullptr, &text, messages)) return {200, std::move(text)};
  }
  messages.push_front(HttpMessage(MessageIds::kOutputNotEncodable));
  return {500, ErrorBody(Wire::kInternalServerError, messages)};
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

}  // namespace

void WipeString(std::string& text) {
  if (!text.empty()) Tirn::Detail::SecureZero(&text[0], text.size());
  text.clear();
}

BaseMessage HttpMessage(char const* id, std::list<std::string> args) {
  std::vector<std::string> const strings(args.begin(), args.end());
  return Tirn::Detail::BuildMessage(id, DefaultText(id), strings.data(), strings.size());
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
  auto control = std::make_shared<CallControl>();
  boost::string_view path(request.target);
  path = path.substr(0, path.find('?'));

  if (request.method == "GET" && path == kHealthPath) {
    control->operation = "healthz";
    exchange->Reply(200, "{\"status\":\"serving\"}", false);
    return control;
  }
  if (request.method != "POST") {
    control->operation = "-";
    exchange->Reply(405,
                    ErrorBody(Wire::kInvalidArgumentError,
                              {HttpMessage(MessageIds::kMethodNotAllowed, {request.method})}),
                    false);
    return control;
  }
  Core::OperationDescriptor const* operation = nullptr;
  if (path.starts_with(kPathPrefix)) {
    boost::string_view rest = path.substr(std::strlen(kPathPrefix));
    std::size_t const slash = rest.rfind('/');
    if (slash != boost::string_view::npos && context.operations) {
      operation = context.operations->Find(rest.substr(0, slash), rest.substr(slash + 1));
    }
  }
  if (!operation) {
    ReplyError(*exchange, Wire::kOperationNotFoundError,
               {HttpMessage(MessageIds::kUnknownPath, {std::string(path)})}, *control);
    return control;
  }
  control->operation = std::string(operation->serviceName) + "." + operation->operationName;
  if (request.bodyTooLarge) {
    exchange->Reply(413,
                    ErrorBody(Wire::kInvalidArgumentError,
                              {HttpMessage(MessageIds::kBodyTooLarge,
                                           {std::to_string(context.bodyLimit)})}),
                    false);
    return control;
  }
  if (!EqualsIgnoringCase(MediaType(request.contentType), kJsonType)) {
    exchange->Reply(415,
                    ErrorBody(Wire::kInvalidArgumentError,
                              {HttpMessage(MessageIds::kUnsupportedMediaType,
                                           {request.contentType})}),
                    false);
    return control;
  }
  if (!request.timeout.empty()) {
    long long milliseconds = 0;
    char const* end = request.timeout.data() + request.timeout.size();
    auto parsed = std::from_chars(request.timeout.data(), end, milliseconds);
    if (parsed.ec != std::errc() || parsed.ptr != end || milliseconds <= 0) {
      ReplyError(*exchange, Wire::kInvalidArgumentError,
                 {HttpMessage(MessageIds::kBadHeader, {kTimeoutHeader, request.timeout})},
                 *control);
      return control;
    }
    control->timeout = std::chrono::milliseconds(milliseconds);
  }

  auto activation = std::make_shared<Core::AsyncActivation>();
  activation->executionContext = std::make_shared<Core::ExecutionContext>();
  if (context.authenticator) {
    Credentials credentials;
    boost::string_view authorization = Trim(request.authorization);
    if (authorization.size() > 7 && EqualsIgnoringCase(authorization.substr(0, 7), "Bearer ")) {
      credentials.bearerToken = std::string(Trim(authorization.substr(7)));
    }
    credentials.clientCertificate = request.peerCertificate;
    credentials.peer = request.peer;
    Core::SecurityContextWrappedEntry identity;
    bool const accepted = context.authenticator(credentials, identity);
    WipeString(credentials.bearerToken);
    if (!accepted) {
      ReplyError(*exchange, Wire::kUnauthenticatedError,
                 {HttpMessage(MessageIds::kUnauthenticated)}, *control);
      return control;
    }
    activation->executionContext->securityContext[kCallerKey] = std::move(identity);
  }
  WipeString(request.authorization);

  Data::DataValuePtr input;
  std::list<BaseMessage> messages;
  bool const decoded =
      Json::Decode(request.body, operation->inputDefinition(), &input, messages);
  WipeString(request.body);
  if (!decoded) {
    ReplyError(*exchange, Wire::kInvalidArgumentError, messages, *control);
    return control;
  }

  activation->requestLocalizer.localeSpec = std::make_shared<L10n::LocaleSpec const>(
      request.acceptLanguage.empty() ? std::string("en") : request.acceptLanguage, "C",
      request.timeZone.empty() ? std::string("Etc/UTC") : request.timeZone);
  if (!request.requestId.empty()) {
    activation->executionContext->applicationData[kRequestIdKey] = {request.requestId,
                                                                    boost::none};
  }
  if (control->timeout.count() > 0) {
    activation->executionContext->applicationData[kTimeoutKey] = {
        std::to_string(control->timeout.count()), boost::none};
  }
  std::weak_ptr<CallControl> weakControl = control;
  activation->cancel = [weakControl] {
    if (auto alive = weakControl.lock()) alive->cancelled = true;
  };
  activation->isCancelled = [weakControl] {
    auto alive = weakControl.lock();
    return !alive || alive->cancelled.load();
  };

  bool const streamed = Accepts(request.accept, kStreamType);
  auto method = std::make_shared<Core::MethodIdentifier const>(
      std::make_shared<Core::InterfaceIdentifier const>(operation->interfaceName),
      operation->operationName);
  Core::AsyncApiResultCb resultCb(
      [exchange, streamed](std::shared_ptr<Core::MethodResult const> const& result,
                           Progress const& progress, Core::AsyncApiResultCb::Continuation&&) {
        if (!result) {
          if (streamed) exchange->StreamFrame(ProgressLine(progress), false, false);
          return;
        }
        Answer answer = FinalAnswer(*result, streamed);
        if (streamed) {
          exchange->StreamFrame(std::move(answer.text), true, true);
        } else {
          exchange->Reply(answer.status, std::move(answer.text), true);
        }
      });
  context.provider->Invoke(method, input, activation, resultCb);
  return control;
}

}  // namespace detail
}  // namespace Http
}  // namespace Tirn
