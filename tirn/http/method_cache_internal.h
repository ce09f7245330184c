// The method each operation of the server's table is served by, when the provider serves in
// process: found once per operation and kept, so that a call makes no lookup by name after the
// table's. Found again when the provider's registrations have changed since (its generation),
// so that Register and Unregister take effect for the calls handled after them.
#ifndef TIRN_HTTP_METHOD_CACHE_INTERNAL_H_
#define TIRN_HTTP_METHOD_CACHE_INTERNAL_H_

#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "tirn/runtime/call/api_method.h"
#include "tirn/runtime/call/in_process_provider.h"
#include "tirn/runtime/call/operation_table.h"

namespace Tirn {
namespace Http {
namespace detail {

// Thread-safe: Find may be called from any number of threads at once. Each operation's entry
// has a lock of its own, held while it is read or found again; a method replaced or
// unregistered in the provider is released by the first call of its operation after that.
class MethodCache {
 public:
  MethodCache(std::shared_ptr<Core::InProcessApiProvider const> provider,
              Core::OperationTable const& operations);

  MethodCache(MethodCache const&) = delete;
  MethodCache& operator=(MethodCache const&) = delete;

  // The method `operation` (a descriptor of the table) is served by now; null when its
  // interface or operation is not registered, or the descriptor is not one of the table's.
  std::shared_ptr<Provider::AsyncApiMethod const> Find(
      Core::OperationDescriptor const& operation) const;

 private:
  static constexpr std::uint64_t kNever = std::numeric_limits<std::uint64_t>::max();
  struct Entry {
    std::mutex mutex;
    std::uint64_t generation = kNever;  // the provider's when `method` was found
    std::shared_ptr<Provider::AsyncApiMethod const> method;
  };

  std::shared_ptr<Core::InProcessApiProvider const> const provider_;
  // By the table's descriptor, which the table's hashed lookup finds; the map itself does not
  // change after construction.
  mutable std::unordered_map<Core::OperationDescriptor const*, Entry> entries_;
};

}  // namespace detail
}  // namespace Http
}  // namespace Tirn

#endif  // TIRN_HTTP_METHOD_CACHE_INTERNAL_H_
