#include "tirn/http/client_provider.h"

#include <cstddef>
#include <functional>
#include <stdexcept>
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
  Impl(net::io_context& context, std::vector<std::string> const& baseUrls,
       Core::OperationTable const& operations, ClientOptions options)
      : operations_(operations),
        pool_(std::make_shared<detail::ConnectionPool>(context, BaseUrlsOf(baseUrls),
                                                       std::move(options))) {
    frames_.reserve(operations_.operations().size());
    paths_.reserve(operations_.operations().size());
    for (auto const& operation : operations_.operations()) {
      frames_.push_back(std::make_shared<detail::AnswerReader::Frames const>(operation.output));
      paths_.push_back(OperationPath(operation.interfaceName, operation.operationName));
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
    std::size_t const at = PlaceOf(target.operation);
    // An operation of another table is called at its path, read with its own definitions.
    std::string const path =
        at < paths_.size() ? std::string() : OperationPath(interfaceName, operationName);
    target.path = at < paths_.size() ? boost::string_view(paths_[at]) : boost::string_view(path);
    if (at < frames_.size()) target.frames = frames_[at];
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
  // The place of `operation` in the table; past the end for one of another table.
  std::size_t PlaceOf(Core::OperationDescriptor const* operation) const {
    auto const& all = operations_.operations();
    std::less<Core::OperationDescriptor const*> const before;
    if (!operation || before(operation, all.data()) || !before(operation, all.data() + all.size())) {
      return all.size();
    }
    return static_cast<std::size_t>(operation - all.data());
  }

  Core::OperationTable const& operations_;
  std::shared_ptr<detail::ConnectionPool> const pool_;
  // By operation, in the table's order.
  std::vector<std::shared_ptr<detail::AnswerReader::Frames const>> frames_;
  std::vector<std::string> paths_;
};

ClientProvider::ClientProvider(net::io_context& context, std::string const& baseUrl,
                               Core::OperationTable const& operations, ClientOptions options)
    : ClientProvider(context, std::vector<std::string>{baseUrl}, operations, std::move(options)) {}

ClientProvider::ClientProvider(net::io_context& context, std::vector<std::string> const& baseUrls,
                               Core::OperationTable const& operations, ClientOptions options)
    : impl_(std::make_shared<Impl>(context, baseUrls, operations, std::move(options))) {}

std::shared_ptr<ClientProvider> ClientProvider::Create(net::io_context& context,
                                                       std::string const& baseUrl,
                                                       Core::OperationTable const& operations,
                                                       ClientOptions options,
                                                       std::string* error) {
  return Create(context, std::vector<std::string>{baseUrl}, operations, std::move(options), error);
}

std::shared_ptr<ClientProvider> ClientProvider::Create(net::io_context& context,
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
      std::make_shared<ClientProvider>(context, baseUrls, operations, std::move(options));
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
