// Tirn::Stub::AsyncApiStub: a client's connection to the runtime, shared by all its stubs.
//
// It holds the runtime's API provider, through which every call of every stub sharing it
// goes, and optionally a template activation for calls made without one. The typed stubs do
// not call it directly: AsyncMethodInvoker (async_method_invoker.h) converts a call's input and
// hands the untyped call to Invoke.
//
//   auto templateActivation = std::make_shared<Tirn::Core::AsyncActivation>();
//   templateActivation->executionContext = std::make_shared<Tirn::Core::ExecutionContext>();
//   auto apiStub = std::make_shared<Tirn::Stub::AsyncApiStub>(provider, templateActivation);
//   ProvidersSvc::AsyncServiceStub providers(apiStub);
//
// Thread-safety: only read after construction; any number of calls may run concurrently.
#ifndef TIRN_STUB_ASYNC_API_STUB_H_
#define TIRN_STUB_ASYNC_API_STUB_H_

#include <memory>

#include "tirn/message/export.h"
#include "tirn/runtime/call/activation.h"
#include "tirn/runtime/value/data_value.h"
#include "tirn/runtime/call/invocation.h"

namespace Tirn {
namespace Stub {

class TIRN_BINDINGS_EXPORT AsyncApiStub {
 public:
  // `provider` must not be null. `templateActivation` is copied for every call that comes
  // without an activation; it may be null when every call brings its own.
  explicit AsyncApiStub(std::shared_ptr<Core::AsyncApiProvider> provider,
                        std::shared_ptr<Core::AsyncActivation const> templateActivation = nullptr);

  // Passes one call to the provider, with `activation` unchanged when it is set. Without one,
  // the provider receives a copy of the template made for this call (its own deep copy of the
  // execution context, flags at 0); the template itself is never passed on. Without either,
  // the provider is not called: `resultCb` receives at once a final invalid_argument error
  // carrying "tirn.stub.no.activation", with Progress (0, 1, 1).
  void Invoke(std::shared_ptr<Core::MethodIdentifier const> const& method,
              Data::DataValuePtr const& input,
              std::shared_ptr<Core::AsyncActivation> const& activation,
              Core::AsyncApiResultCb const& resultCb) const;

  std::shared_ptr<Core::AsyncApiProvider> const& provider() const { return provider_; }
  std::shared_ptr<Core::AsyncActivation const> const& templateActivation() const {
    return templateActivation_;
  }

 private:
  std::shared_ptr<Core::AsyncApiProvider> provider_;
  std::shared_ptr<Core::AsyncActivation const> templateActivation_;
};

}  // namespace Stub
}  // namespace Tirn

#endif  // TIRN_STUB_ASYNC_API_STUB_H_
