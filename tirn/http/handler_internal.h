// The server's handling of one request, apart from sockets: from a parsed request to the
// answer, through the GET endpoints, the operation table, the JSON form, the authenticator,
// the authorizer, the per-caller limits and the provider. The server's sessions feed it from
// the network; the fuzz target feeds it directly.
#ifndef TIRN_HTTP_HANDLER_INTERNAL_H_
#define TIRN_HTTP_HANDLER_INTERNAL_H_

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include <boost/optional/optional.hpp>
#include <boost/utility/string_view.hpp>

#include "tirn/http/method_cache_internal.h"
#include "tirn/http/server_types.h"
#include "tirn/http/transport_internal.h"
#include "tirn/http/wiping_allocator.h"
#include "tirn/message/base_message.h"
#include "tirn/runtime/call/in_process_provider.h"
#include "tirn/runtime/call/invocation.h"
#include "tirn/runtime/call/operation_table.h"

namespace boost {
namespace asio {
class io_context;
}  // namespace asio
}  // namespace boost

namespace Tirn {
namespace Http {
namespace detail {

class ContextLoad;

// A request refused for what it is, before any operation hears of it: the status and the
// error it is answered with (tirn/http/error_statuses.def), kBodyTooLargeRefusal and so on.
struct Refusal {
  unsigned status;
  char const* error;
};
#define TIRN_REFUSAL_STATUS(id, status, name, operations) \
  inline constexpr Refusal k##id##Refusal{status, name};
#include "tirn/http/error_statuses.def"

// What the handler needs of a request; every header is empty when absent, and those whose
// empty value means something else than their absence are optional. The views are of
// the request's own message and of its connection, which outlive Handle; the handler copies
// what it keeps.
struct Request {
  std::string method;
  boost::string_view target;
  boost::string_view contentType;
  boost::string_view accept;
  boost::string_view acceptLanguage;
  boost::string_view timeZone;
  std::string authorization;  // wiped once handled
  boost::optional<boost::string_view> timeout;
  boost::optional<boost::string_view> idempotencyKey;
  boost::string_view requestId;
  WipingString body;
  std::string peer;         // "address:port"
  std::string peerAddress;  // the address alone: an anonymous caller's key for the limits
  std::string peerCertificate;  // the subject of the client's certificate, when it sent one
  std::string peerName;         // the caller that certificate names
  bool bodyTooLarge = false;
  // The load of the context whose thread serves the connection; null when there is none (a
  // request handed over directly, as the fuzz target does).
  ContextLoad* load = nullptr;
};

struct Header {
  std::string name;
  std::string value;
};

// A whole answer.
struct Answer {
  unsigned status = 200;
  std::string contentType;  // empty: kJsonType, the common case, kept without a copy
  std::vector<Header> headers;  // besides Content-Type and X-Request-Id
  std::string body;
  // Close the connection after this answer.
  bool close = false;
};

// Where the answer goes. Exactly one of Reply and the last StreamFrame is called, once; frames
// come in order. Reply and StreamFrame may come from any thread, and after Handle has
// returned; BindCaller only from within Handle.
class Exchange {
 public:
  virtual ~Exchange() = default;
  virtual void Reply(Answer answer) = 0;
  // One line of a streamed answer (status 200); `last` ends the answer. `replayed` (with the
  // first line only) marks the answer as the repeat of an earlier one (kReplayedHeader).
  virtual void StreamFrame(std::string line, bool last, bool replayed) = 0;
  // Counts the connection as one of `caller`'s (a caller's key, see CallerLedger). False
  // when the caller already holds as many connections as it may.
  virtual bool BindCaller(std::string const& caller) = 0;
};

// Counts what each caller holds (connections, calls in flight) against its limits. A hold is
// given back when it is released or destroyed. Thread-safe; a hold is used by one thread at a
// time.
class CallerLedger : public std::enable_shared_from_this<CallerLedger> {
  struct Counts {
    std::size_t connections = 0;
    std::size_t calls = 0;
  };
  using Entry = std::pair<std::string const, Counts>;

 public:
  // One count in a caller's entry; empty, or holding it until reset or destroyed. It keeps
  // the ledger, and the entry's address, not the caller's name, so taking one allocates nothing
  // once the caller has an entry.
  class Hold {
   public:
    Hold() = default;
    Hold(Hold&& other) noexcept { *this = std::move(other); }
    Hold& operator=(Hold&& other) noexcept {
      if (this != &other) {
        reset();
        ledger_ = std::move(other.ledger_);
        entry_ = other.entry_;
        which_ = other.which_;
      }
      return *this;
    }
    Hold(Hold const&) = delete;
    Hold& operator=(Hold const&) = delete;
    ~Hold() { reset(); }

    explicit operator bool() const { return ledger_ != nullptr; }
    // Gives the count back; then empty.
    void reset();

   private:
    friend class CallerLedger;
    Hold(std::shared_ptr<CallerLedger> ledger, Entry* entry, std::size_t Counts::*which)
        : ledger_(std::move(ledger)), entry_(entry), which_(which) {}

    std::shared_ptr<CallerLedger> ledger_;
    Entry* entry_ = nullptr;
    std::size_t Counts::*which_ = nullptr;
  };

  // 0: no limit.
  CallerLedger(std::size_t connectionsPerCaller, std::size_t callsPerCaller)
      : connectionLimit_(connectionsPerCaller), callLimit_(callsPerCaller) {}

  // A hold on one of `caller`'s connections or calls; empty when it holds its limit already.
  Hold TakeConnection(std::string const& caller) { return Take(caller, &Counts::connections, connectionLimit_); }
  Hold TakeCall(std::string const& caller) { return Take(caller, &Counts::calls, callLimit_); }

  std::size_t connectionLimit() const { return connectionLimit_; }
  std::size_t callLimit() const { return callLimit_; }

 private:
  Hold Take(std::string const& caller, std::size_t Counts::*which, std::size_t limit);

  std::size_t const connectionLimit_;
  std::size_t const callLimit_;
  std::mutex mutex_;
  // Its entries do not move while the map grows, and stay while any hold counts in them.
  std::unordered_map<std::string, Counts> counts_;
};

// The shared state of one call between the server, the handler and the activation it hands
// out. The handler fills the names before it hands the answer to the exchange; the server
// reads them after.
struct CallControl {
  std::atomic<bool> cancelled{false};
  // Whether a streamed answer has sent its first line (and so its status, 200).
  std::atomic<bool> streamBegun{false};
  // The caller's time limit; zero when it gave none.
  std::chrono::milliseconds timeout{0};
  // "service.operation", the GET endpoint's name, or "-": the operation's name as the handler
  // keeps it (HandlerContext::NameOf, which outlives every call), or `endpoint`.
  std::string const* operation = &kNoOperation;
  std::string endpoint;
  static std::string const kNoOperation;
  // "ok" or the name of the error answered.
  std::string outcome;
  // The authenticated caller's name; "-" when anonymous.
  std::string caller = "-";
  // The call's place among its caller's calls in flight: given back by its final answer, or
  // with this record when the call is refused before it runs. Set before the operation runs;
  // only the final answer touches it after.
  CallerLedger::Hold callHold;
  // The context whose thread the call's operation holds while it runs there
  // (ServerOptions::runsOnIoThreadWhenAlone); null otherwise, and once it has answered.
  std::atomic<ContextLoad*> holding{nullptr};
  // Counts the operation as holding `load`'s thread, until EndHolding.
  void BeginHolding(ContextLoad& load);
  // Counts the thread free again; the first of the answer and the operation's return does.
  void EndHolding();
};

struct HandlerContext {
  std::shared_ptr<Core::AsyncApiProvider> provider;
  // The same provider when it serves in process: it takes the activation the handler made
  // for the call as it is, instead of copying it.
  Core::InProcessApiProvider* inProcess = nullptr;
  // With an in-process provider, the method each operation is served by; null otherwise, and
  // the provider finds it by name for every call.
  std::shared_ptr<MethodCache const> methods;
  // Serves the operations of `table`, which must outlive the calls, and names each once.
  void SetOperations(Core::OperationTable const& table);
  // The table served; null until SetOperations.
  Core::OperationTable const* operations() const { return operations_; }
  // The "service.operation" of one of the table's operations, made once: the calls name
  // their operation with it.
  std::string const& NameOf(Core::OperationDescriptor const& operation) const {
    return operationNames_.at(&operation);
  }
  Authenticator authenticator;
  Authorizer authorizer;
  std::vector<Endpoint> endpoints;
  // Null: no per-caller limits.
  std::shared_ptr<CallerLedger> ledger;
  std::size_t bodyLimit = 0;
  std::size_t depthLimit = 0;  // 0: no limit
  std::chrono::milliseconds maxCallTimeout{3600000};
  // ServerOptions::rejectsUnknownFields.
  std::function<bool(std::string const& operation)> rejectsUnknownFields;
  // Where the operations run; null: on the thread that handles the request.
  boost::asio::io_context* callContext = nullptr;
  // ServerOptions::runsOnIoThread: the operations that stay off `callContext`.
  std::function<bool(std::string const& operation)> runsOnIoThread;
  // ServerOptions::runsOnIoThreadWhenAlone: those that stay off it on a connection alone.
  std::function<bool(std::string const& operation)> runsOnIoThreadWhenAlone;

 private:
  Core::OperationTable const* operations_ = nullptr;
  std::unordered_map<Core::OperationDescriptor const*, std::string> operationNames_;
};

// Handles `request`: answers what cannot be called at once, otherwise invokes the operation
// and answers when the provider does. Returns the call's control. The request's body and
// credentials are wiped whichever way it ends.
std::shared_ptr<CallControl> Handle(HandlerContext const& context, Request request,
                                    std::shared_ptr<Exchange> exchange);

// The error answer body {"error": name, "value": error}.
std::string ErrorBody(std::string const& name, std::list<BaseMessage> const& messages);

}  // namespace detail
}  // namespace Http
}  // namespace Tirn

#endif  // TIRN_HTTP_HANDLER_INTERNAL_H_
