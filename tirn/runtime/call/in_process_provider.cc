#include "tirn/runtime/call/in_process_provider.h"

#include <mutex>
#include <utility>

#include "tirn/runtime/call/operation_not_found_internal.h"

namespace Tirn {
namespace Core {

InProcessApiProvider::InProcessApiProvider() = default;
InProcessApiProvider::~InProcessApiProvider() = default;

bool InProcessApiProvider::Register(
    std::shared_ptr<Provider::AsyncApiInterface const> const& interface) {
  if (!interface) return false;
  std::string const& name = interface->identifier()->name;
  std::shared_ptr<Provider::AsyncApiInterface const> previous;
  {
    std::unique_lock<std::shared_mutex> lock(mutex_);
    auto& slot = interfaces_[name];
    previous = std::exchange(slot, interface);
    generation_.fetch_add(1, std::memory_order_release);
  }
  // The replaced interface may be the last owner of its operations: release it unlocked.
  return static_cast<bool>(previous);
}

bool InProcessApiProvider::Unregister(std::string const& interfaceName) {
  std::shared_ptr<Provider::AsyncApiInterface const> previous;
  {
    std::unique_lock<std::shared_mutex> lock(mutex_);
    auto found = interfaces_.find(interfaceName);
    if (found == interfaces_.end()) return false;
    previous = std::move(found->second);
    interfaces_.erase(found);
    generation_.fetch_add(1, std::memory_order_release);
  }
  return true;
}

std::shared_ptr<Provider::AsyncApiInterface const> InProcessApiProvider::Find(
    std::string const& interfaceName) const {
  std::shared_lock<std::shared_mutex> lock(mutex_);
  auto found = interfaces_.find(interfaceName);
  return found == interfaces_.end() ? nullptr : found->second;
}

std::shared_ptr<Provider::AsyncApiMethod const> InProcessApiProvider::FindMethod(
    MethodIdentifier const& method) const {
  if (!method.interface) return nullptr;
  auto interface = Find(method.interface->name);
  return interface ? interface->Find(method.name) : nullptr;
}

void InProcessApiProvider::Invoke(std::shared_ptr<MethodIdentifier const> const& method,
                                  Data::DataValuePtr const& input,
                                  std::shared_ptr<AsyncActivation> const& activation,
                                  AsyncApiResultCb const& resultCb) {
  InvokeWithFreshActivation(method, input, activation ? activation->ForCall() : nullptr,
                            resultCb);
}

void InProcessApiProvider::InvokeWithFreshActivation(
    std::shared_ptr<MethodIdentifier const> const& method, Data::DataValuePtr const& input,
    std::shared_ptr<AsyncActivation> callActivation, AsyncApiResultCb const& resultCb) {
  if (!callActivation) {
    callActivation = std::make_shared<AsyncActivation>();
    callActivation->executionContext = std::make_shared<ExecutionContext>();
  }

  if (!method || !method->interface) {
    detail::AnswerOperationNotFound("", method ? method->name : "", resultCb);
    return;
  }
  // Copied out so that the call runs without the lock: an operation may register or
  // unregister interfaces, or call this provider again.
  std::shared_ptr<Provider::AsyncApiMethod const> found = FindMethod(*method);
  if (!found) {
    detail::AnswerOperationNotFound(method->interface->name, method->name, resultCb);
    return;
  }
  found->Invoke(input, callActivation, resultCb);
}

}  // namespace Core
}  // namespace Tirn
