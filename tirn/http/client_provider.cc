#include "tirn/http/client_provider.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "tirn/http/answer_reader_internal.h"
#include "tirn/http/asio_internal.h"
#include "tirn/http/client_call_internal.h"
#include "tirn/http/connection_pool_internal.h"

namespace Tirn {
namespace Http {
namespace {

constexpr detail::CallPacing kPacing{ClientProvider::kCancelPoll, ClientProvider::kRetryPause,
                                     ClientProvider::kLongestRetryPause};

// The base URLs of `baseUrls`; throws std::invalid_argument for an empty list or a malformed
// URL.
std::vector<detail::BaseUrl> BaseUrlsOf(std::vector<std::string> const& baseUrls) {
  std::vector<detail::BaseUrl> urls;
  std::string error;
  if (!detail::ParseBaseUrls(baseUrls, urls, error)) throw std::invalid_argument(error);
  return urls;
}

}  // namespace

// The operations' paths and answer definitions, made once, over the client's connections.
class ClientProvider::Impl {
 public:
  Impl(IoContexts contexts, std::vector<std::string> const& baseUrls,
       Core::OperationTable const& operations, ClientOptions options)
      : operations_(operations),
        urls_(BaseUrlsOf(baseUrls)),
        pool_(std::make_shared<detail::ConnectionPool>(std::move(contexts), urls_,
                                                       std::move(options))) {
    entries_.reserve(operations_.operations().size());
    for (auto const& operation : operations_.operations()) {
      entries_.emplace(&operation,
                       Entry{OperationPath(operation.interfaceName, operation.operationName),
                             std::make_shared<detail::AnswerReader::Frames const>(operation.output)});
    }
  }

  void Invoke(std::shared_ptr<Core::MethodIdentifier const> const& method,
              Data::DataValuePtr const& input,
              std::shared_ptr<Core::AsyncActivation> const& activation,
              Core::AsyncApiResultCb const& resultCb) {
    Start(pool_, method, input, activation, resultCb);
  }

  // The call on this thread's lane, run by this thread until its final result is delivered.
  void InvokeAndWait(std::shared_ptr<Core::MethodIdentifier const> const& method,
                     Data::DataValuePtr const& input,
                     std::shared_ptr<Core::AsyncActivation> const& activation,
                     Core::AsyncApiResultCb const& resultCb) {
    Lane& lane = LaneOfThisThread();
    if (lane.running) return InvokePooledAndWait(method, input, activation, resultCb);
    std::uint64_t const number = ++lane.started;
    Start(lane.pool, method, input, activation,
          ThenOnFinal(resultCb, [finished = &lane.finished, number] { finished->store(number); }));
    lane.running = true;
    struct Done {
      bool& running;
      ~Done() { running = false; }
    } const done{lane.running};
    lane.context.restart();
    while (lane.finished.load() != number && lane.context.run_one() > 0) {
    }
  }

  // A blocking call made from within a delivery of another on the same thread, whose lane is
  // running that one (Asio warns that running a context again from inside one of its own
  // handlers may deadlock): made through the pool, its deliveries on the client's threads, and
  // waited for here.
  void InvokePooledAndWait(std::shared_ptr<Core::MethodIdentifier const> const& method,
                           Data::DataValuePtr const& input,
                           std::shared_ptr<Core::AsyncActivation> const& activation,
                           Core::AsyncApiResultCb const& resultCb) {
    auto ended = std::make_shared<std::promise<void>>();
    std::future<void> finished = ended->get_future();
    Start(pool_, method, input, activation, ThenOnFinal(resultCb, [ended] { ended->set_value(); }));
    finished.wait();
  }

  void Fetch(std::string const& target, std::shared_ptr<Core::AsyncActivation> const& activation,
             Core::AsyncApiResultCb const& resultCb) {
    detail::CallTarget get;
    get.path = target;
    get.fetch = true;
    detail::StartCall(pool_, kPacing, get, nullptr, activation, resultCb);
  }

  std::string const& tlsSetupError() const { return pool_->tlsSetupError(); }

 private:
  void Start(std::shared_ptr<detail::ConnectionPool> const& pool,
             std::shared_ptr<Core::MethodIdentifier const> const& method,
             Data::DataValuePtr const& input,
             std::shared_ptr<Core::AsyncActivation> const& activation,
             Core::AsyncApiResultCb const& resultCb) {
    static std::string const kNone;
    std::string const& interfaceName =
        method && method->interface ? method->interface->name : kNone;
    std::string const& operationName = method ? method->name : kNone;
    detail::CallTarget target;
    target.operation = operations_.Find(interfaceName, operationName);
    auto const entry = entries_.find(target.operation);
    // An operation of another table is called at its path, read with its own definitions.
    std::string path;
    if (entry != entries_.end()) {
      target.path = entry->second.path;
      target.frames = entry->second.frames;
    } else {
      path = OperationPath(interfaceName, operationName);
      target.path = path;
    }
    detail::StartCall(pool, kPacing, target, input, activation, resultCb);
  }

  // `resultCb`, which calls `ended` once the final result has been delivered through it. The
  // call holds the only copies: were it dropped unanswered, the abandoned answer still ends it.
  template <class Ended>
  static Core::AsyncApiResultCb ThenOnFinal(Core::AsyncApiResultCb const& resultCb, Ended ended) {
    return Core::AsyncApiResultCb(
        [resultCb, ended = std::move(ended)](
            std::shared_ptr<Core::MethodResult const> const& result, Progress const& progress,
            Core::AsyncApiResultCb::Continuation&& next) {
          resultCb(result, progress, std::move(next));
          if (result) ended();
        });
  }

  // What a call of one of the table's operations needs, made once.
  struct Entry {
    std::string path;
    std::shared_ptr<detail::AnswerReader::Frames const> frames;
  };

  // A thread's own way to the servers for its blocking calls: one connection at most, on a
  // context that only that thread runs, while it waits for a call. The pool goes first, then
  // the context, with whatever of the pool its unrun handlers still hold.
  struct Lane {
    Lane(std::vector<detail::BaseUrl> const& urls, ClientOptions options)
        : pool(std::make_shared<detail::ConnectionPool>(IoContexts(context), urls,
                                                        OneConnection(std::move(options)))) {}
    static ClientOptions OneConnection(ClientOptions options) {
      options.maxConnections = 1;
      options.poolSize = 1;
      return options;
    }
    // The number of the last blocking call made on this lane, and of the last one whose final
    // result has been delivered: set where that happens, which for a call answered as abandoned
    // is where its last hold goes, possibly as `context` is destroyed, before this.
    std::uint64_t started = 0;
    std::atomic<std::uint64_t> finished{0};
    net::io_context context;
    std::shared_ptr<detail::ConnectionPool> pool;
    // Whether its thread is running it, waiting for a call; only that thread reads or sets it.
    bool running = false;
  };

  Lane& LaneOfThisThread() {
    std::lock_guard<std::mutex> lock(lanesMutex_);
    std::unique_ptr<Lane>& lane = lanes_[std::this_thread::get_id()];
    if (!lane) lane = std::make_unique<Lane>(urls_, pool_->options());
    return *lane;
  }

  Core::OperationTable const& operations_;
  std::vector<detail::BaseUrl> const urls_;
  std::shared_ptr<detail::ConnectionPool> const pool_;
  std::mutex lanesMutex_;
  // By the thread that made blocking calls; kept until the provider goes.
  std::unordered_map<std::thread::id, std::unique_ptr<Lane>> lanes_;
  // By the table's descriptor, which the table's hashed lookup finds.
  std::unordered_map<Core::OperationDescriptor const*, Entry> entries_;
};

ClientProvider::ClientProvider(IoContexts contexts, std::string const& baseUrl,
                               Core::OperationTable const& operations, ClientOptions options)
    : ClientProvider(std::move(contexts), std::vector<std::string>{baseUrl}, operations,
                     std::move(options)) {}

ClientProvider::ClientProvider(IoContexts contexts, std::vector<std::string> const& baseUrls,
                               Core::OperationTable const& operations, ClientOptions options)
    : impl_(std::make_shared<Impl>(std::move(contexts), baseUrls, operations,
                                   std::move(options))) {}

std::shared_ptr<ClientProvider> ClientProvider::Create(IoContexts contexts,
                                                       std::string const& baseUrl,
                                                       Core::OperationTable const& operations,
                                                       ClientOptions options,
                                                       std::string* error) {
  return Create(std::move(contexts), std::vector<std::string>{baseUrl}, operations,
                std::move(options), error);
}

std::shared_ptr<ClientProvider> ClientProvider::Create(IoContexts contexts,
                                                       std::vector<std::string> const& baseUrls,
                                                       Core::OperationTable const& operations,
                                                       ClientOptions options,
                                                       std::string* error) {
  std::vector<detail::BaseUrl> urls;
  std::string why;
  if (!detail::ParseBaseUrls(baseUrls, urls, why)) {
    if (error) *error = why;
    return nullptr;
  }
  auto provider =
      std::make_shared<ClientProvider>(std::move(contexts), baseUrls, operations,
                                       std::move(options));
  if (!provider->impl_->tlsSetupError().empty()) {
    if (error) *error = provider->impl_->tlsSetupError();
    return nullptr;
  }
  return provider;
}

ClientProvider::~ClientProvider() = default;

void ClientProvider::Invoke(std::shared_ptr<Core::MethodIdentifier const> const& method,
                            Data::DataValuePtr const& input,
                            std::shared_ptr<Core::AsyncActivation> const& activation,
                            Core::AsyncApiResultCb const& resultCb) {
  impl_->Invoke(method, input, activation, resultCb);
}

void ClientProvider::InvokeAndWait(std::shared_ptr<Core::MethodIdentifier const> const& method,
                                   Data::DataValuePtr const& input,
                                   std::shared_ptr<Core::AsyncActivation> const& activation,
                                   Core::AsyncApiResultCb const& resultCb) {
  impl_->InvokeAndWait(method, input, activation, resultCb);
}

void ClientProvider::Fetch(std::string const& target,
                           std::shared_ptr<Core::AsyncActivation> const& activation,
                           Core::AsyncApiResultCb const& resultCb) {
  impl_->Fetch(target, activation, resultCb);
}

}  // namespace Http
}  // namespace Tirn
