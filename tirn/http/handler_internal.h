// The server's handling of one request, apart from sockets: from a parsed request to the
// answer, through the operation table, the JSON form, the authenticator and the provider. The
// server's sessions feed it from the network; the fuzz target feeds it directly.
#ifndef TIRN_HTTP_HANDLER_INTERNAL_H_
#define TIRN_HTTP_HANDLER_INTERNAL_H_

#include <atomic>
#include <chrono>
#include <list>
#include <memory>
#include <string>

#include "tirn/http/server.h"
#include "tirn/message/base_message.h"
#include "tirn/runtime/invocation.h"
#include "tirn/runtime/operation_table.h"

namespace Tirn {
namespace Http {
namespace detail {

// What the handler needs of a request; every header is empty when absent.
struct Request {
  std::string method;
  std::string target;
  std::string contentType;
  std::string accept;
  std::string acceptLanguage;
  std::string timeZone;
  std::string authorization;
  std::string timeout;
  std::string requestId;
  std::string body;
  std::string peer;
  std::string peerCertificate;  // the subject of the client's certificate, when it sent one
  bool bodyTooLarge = false;
};

// Where the answer goes. Exactly one of Reply and the last StreamFrame is called, once; frames
// come in order. Calls may come from any thread, and after Handle has returned.
class Exchange {
 public:
  virtual ~Exchange() = default;
  // A whole JSON answer. `sensitive`: the body holds a secret's text.
  virtual void Reply(unsigned status, std::string body, bool sensitive) = 0;
  // One line of a streamed answer (status 200); `last` ends the answer.
  virtual void StreamFrame(std::string line, bool last, bool sensitive) = 0;
};

// The shared state of one call between the server and the activation it hands out.
struct CallControl {
  std::atomic<bool> cancelled{false};
  // The caller's time limit; zero when it gave none.
  std::chrono::milliseconds timeout{0};
  // "service.operation" once known, for the access log; the error name of the answer.
  std::string operation;
};

struct HandlerContext {
  std::shared_ptr<Core::AsyncApiProvider> provider;
  Core::OperationTable const* operations = nullptr;
  Authenticator authenticator;
  std::size_t bodyLimit = 0;
};

// Handles `request`: answers malformed requests at once, otherwise invokes the operation and
// answers when the provider does. Returns the call's control.
std::shared_ptr<CallControl> Handle(HandlerContext const& context, Request request,
                                    std::shared_ptr<Exchange> exchange);

// The error answer body {"error": name, "value": error}.
std::string ErrorBody(std::string const& name, std::list<BaseMessage> const& messages);

// Zeroes a string's characters and empties it.
void WipeString(std::string& text);

// A message of the transport with its default English text.
BaseMessage HttpMessage(char const* id, std::list<std::string> args = {});

}  // namespace detail
}  // namespace Http
}  // namespace Tirn

#endif  // TIRN_HTTP_HANDLER_INTERNAL_H_
