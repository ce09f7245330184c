// Tirn::Core::InProcessApiProvider: an API provider that serves calls in the caller's process.
//
// A server registers its interfaces (tirn/runtime/call/api_method.h); clients, typically through
// the stubs of tirn/stub/, send calls, which reach the registered operation directly, on the
// caller's thread. Each call gets its own copy of the activation, with its own execution
// context, exactly as a network transport would deliver a fresh one, so an operation never
// shares state with its caller or with another call through the activation. The provider
// starts no thread; an operation may answer before Invoke returns or later, from any thread.
//
//   auto provider = std::make_shared<Tirn::Core::InProcessApiProvider>();
//   provider->Register(ServicesSvc::AsyncServiceBinder::BindImplementation(impl));
//   auto apiStub = std::make_shared<Tirn::Stub::AsyncApiStub>(provider, templateActivation);
//
// A transport that serves many calls of the same operations may resolve each operation once
// (FindMethod) and call it directly, resolving again only when generation() has moved since:
//
//   std::uint64_t const seen = provider->generation();
//   auto method = provider->FindMethod(*identifier);  // null: answer through Invoke instead
//   ... later calls: if (provider->generation() == seen) method->Invoke(input, activation, cb);
//
// Thread-safety: Register, Unregister, Find, FindMethod, generation and Invoke may be called
// concurrently from any number of threads. generation() is one atomic load; a generation read
// before a FindMethod is never newer than what that FindMethod sees.
#ifndef TIRN_RUNTIME_CALL_IN_PROCESS_PROVIDER_H_
#define TIRN_RUNTIME_CALL_IN_PROCESS_PROVIDER_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <shared_mutex>
#include <string>

#include "tirn/message/export.h"
#include "tirn/runtime/call/activation.h"
#include "tirn/runtime/call/api_method.h"
#include "tirn/runtime/value/data_value.h"
#include "tirn/runtime/call/invocation.h"

namespace Tirn {
namespace Core {

class TIRN_CORE_EXPORT InProcessApiProvider : public AsyncApiProvider {
 public:
  InProcessApiProvider();
  ~InProcessApiProvider() override;

  InProcessApiProvider(InProcessApiProvider const&) = delete;
  InProcessApiProvider& operator=(InProcessApiProvider const&) = delete;

  // Makes `interface` serve calls to its identifier from now on. Returns true when it replaced
  // an interface registered earlier under the same identifier (calls already in flight there
  // finish normally), false when the identifier was free. A null interface is ignored (false).
  bool Register(std::shared_ptr<Provider::AsyncApiInterface const> const& interface);

  // Stops serving `interfaceName`; calls already in flight finish normally. Returns whether
  // an interface was registered under that name.
  bool Unregister(std::string const& interfaceName);

  // The interface registered under `interfaceName`, or null.
  std::shared_ptr<Provider::AsyncApiInterface const> Find(std::string const& interfaceName) const;

  // The operation `method` names (its interface's and its own name), as served now; null when
  // that interface or operation is not registered.
  std::shared_ptr<Provider::AsyncApiMethod const> FindMethod(MethodIdentifier const& method) const;

  // How many times Register and Unregister have changed what is served: a method found while
  // the generation was g is the one served for as long as the generation stays g.
  std::uint64_t generation() const { return generation_.load(std::memory_order_acquire); }

  // Passes the call to the registered interface, with a copy of `activation` made for this
  // call (AsyncActivation::ForCall), or a new default activation with an empty execution
  // context when `activation` is null. A call to an interface or operation that is not
  // registered, or without a method identifier, is answered at once with a final
  // operation_not_found error carrying "tirn.runtime.operation.not.found" (interface
  // identifier, operation name) and Progress (0, 1, 1).
  void Invoke(std::shared_ptr<MethodIdentifier const> const& method,
              Data::DataValuePtr const& input, std::shared_ptr<AsyncActivation> const& activation,
              AsyncApiResultCb const& resultCb) override;

  // The same for an activation made for this call alone (a transport builds one per request):
  // it is handed to the operation as it is, not copied. The caller keeps no use of it.
  void InvokeWithFreshActivation(std::shared_ptr<MethodIdentifier const> const& method,
                                 Data::DataValuePtr const& input,
                                 std::shared_ptr<AsyncActivation> activation,
                                 AsyncApiResultCb const& resultCb);

 private:
  mutable std::shared_mutex mutex_;
  // Raised under mutex_ held exclusively, after each change of interfaces_.
  std::atomic<std::uint64_t> generation_{0};
  std::map<std::string, std::shared_ptr<Provider::AsyncApiInterface const>, std::less<>>
      interfaces_;
};

}  // namespace Core
}  // namespace Tirn

#endif  // TIRN_RUNTIME_CALL_IN_PROCESS_PROVIDER_H_
