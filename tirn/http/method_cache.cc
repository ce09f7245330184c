#include "tirn/http/method_cache_internal.h"

#include <utility>

namespace Tirn {
namespace Http {
namespace detail {

MethodCache::MethodCache(std::shared_ptr<Core::InProcessApiProvider const> provider,
                         Core::OperationTable const& operations)
    : provider_(std::move(provider)) {
  entries_.reserve(operations.operations().size());
  for (auto const& operation : operations.operations()) entries_.try_emplace(&operation);
}

std::shared_ptr<Provider::AsyncApiMethod const> MethodCache::Find(
    Core::OperationDescriptor const& operation) const {
  auto const found = entries_.find(&operation);
  if (found == entries_.end() || !operation.method) return nullptr;
  Entry& entry = found->second;
  // Read before the method is found: a registration that lands in between leaves the entry
  // older than the provider, and the next call finds the method again.
  std::uint64_t const now = provider_->generation();
  // A method replaced here is released after the lock: its implementation goes with it.
  std::shared_ptr<Provider::AsyncApiMethod const> replaced;
  std::lock_guard<std::mutex> lock(entry.mutex);
  if (entry.generation != now) {
    replaced = std::exchange(entry.method, provider_->FindMethod(*operation.method));
    entry.generation = now;
  }
  return entry.method;
}

}  // namespace detail
}  // namespace Http
}  // namespace Tirn
