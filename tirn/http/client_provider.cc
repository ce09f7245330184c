#include "tirn/http/client_provider.h"

#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>
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
        pool_(std::make_shared<detail::ConnectionPool>(std::move(contexts), BaseUrlsOf(baseUrls),
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
    detail::StartCall(pool_, kPacing, target, input, activation, resultCb);
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
  // What a call of one of the table's operations needs, made once.
  struct Entry {
    std::string path;
    std::shared_ptr<detail::AnswerReader::Frames const> frames;
  };

  Core::OperationTable const& operations_;
  std::shared_ptr<detail::ConnectionPool> const pool_;
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

void ClientProvider::Fetch(std::string const& target,
                           std::shared_ptr<Core::AsyncActivation> const& activation,
                           Core::AsyncApiResultCb const& resultCb) {
  impl_->Fetch(target, activation, resultCb);
}

}  // namespace Http
}  // namespace Tirn
