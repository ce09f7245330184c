// The untyped call types of the runtime: identifiers, definitions and results of methods, the
// result callback, and the API provider that carries calls to their implementations.
//
// A call names its method by a MethodIdentifier (interface identifier and method name), sends
// its input as a value tree and receives, through its AsyncApiResultCb, any number of progress
// reports (a null result) followed by one final MethodResult.
#ifndef TIRN_RUNTIME_CALL_INVOCATION_H_
#define TIRN_RUNTIME_CALL_INVOCATION_H_

#include <functional>
#include <memory>
#include <string>

#include "tirn/message/export.h"
#include "tirn/runtime/call/activation.h"
#include "tirn/runtime/value/data_definition.h"
#include "tirn/runtime/value/data_value.h"
#include "tirn/runtime/call/progress.h"

namespace Tirn {
namespace Core {

struct InterfaceIdentifier {
  explicit InterfaceIdentifier(std::string interfaceName) : name(std::move(interfaceName)) {}
  std::string name;
};

struct MethodIdentifier {
  MethodIdentifier(std::shared_ptr<InterfaceIdentifier const> interfaceIdentifier,
                   std::string methodName)
      : interface(std::move(interfaceIdentifier)), name(std::move(methodName)) {}
  std::shared_ptr<InterfaceIdentifier const> interface;
  std::string name;
};

struct MethodDefinition {
  std::shared_ptr<MethodIdentifier const> identifier;
  Data::DataDefinitionPtr input;
  Data::DataDefinitionPtr output;
};

// The final outcome of a call: an output value or an error value.
struct MethodResult {
  Data::DataValuePtr output;
  std::shared_ptr<Data::ErrorValue const> error;
  // Set on results that end the call.
  bool final = false;
};

// The runtime's result callback of one call. Copies share one callable, which is released
// after the first call with a non-null result; calling it when empty throws
// std::bad_function_call.
//
// A call is never left without an answer: when the last copy is released while the callable
// is still held (no final result reached it, for instance because the implementation dropped
// its result handle), the callable receives a final internal_server_error carrying
// "tirn.runtime.call.abandoned", with Progress (0, 1, 1) and no continuation. That delivery
// runs in the destructor of the last copy, on whichever thread releases it; an exception the
// callable throws there is caught and dropped, since a destructor cannot pass it on.
class TIRN_CORE_EXPORT AsyncApiResultCb {
 public:
  using Continuation = std::function<void(std::shared_ptr<AsyncApiResultCb>)>;
  using Callable = std::function<void(std::shared_ptr<MethodResult const> const& result,
                                      Progress const& progress, Continuation&& next)>;

  // An empty callback: calling it throws std::bad_function_call.
  AsyncApiResultCb();
  explicit AsyncApiResultCb(Callable callable);

  void operator()(std::shared_ptr<MethodResult const> const& result, Progress const& progress,
                  Continuation&& next) const;

  // Whether a callable is still held.
  explicit operator bool() const;

 private:
  // The callable shared by all copies; answers the call as abandoned when destroyed holding it.
  // Null in an empty callback.
  struct Shared;
  std::shared_ptr<Shared> shared_;
};

// Carries calls to their implementations. Answers each call through its callback: progress
// reports, then one final result.
class TIRN_CORE_EXPORT AsyncApiProvider {
 public:
  virtual ~AsyncApiProvider();
  virtual void Invoke(std::shared_ptr<MethodIdentifier const> const& method,
                      Data::DataValuePtr const& input,
                      std::shared_ptr<AsyncActivation> const& activation,
                      AsyncApiResultCb const& resultCb) = 0;
};

}  // namespace Core
}  // namespace Tirn

#endif  // TIRN_RUNTIME_CALL_INVOCATION_H_
