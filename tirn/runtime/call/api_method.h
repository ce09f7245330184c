// The provider side of the runtime: how a server's operations are presented to the runtime.
//
// A server exposes one interface (a service) as an AsyncApiInterface: an identifier and its
// operations, each an AsyncApiMethod. The runtime calls an operation with its input value, an
// activation and its result callback; the operation answers through an AsyncApiMethod::ResultCb
// that it receives from whoever sits in front of it (in this library the provider method
// signal, tirn/provider/). ApiMethodHelper holds the checks every operation applies to what
// crosses the boundary: input, output and error values against the operation's definitions.
//
//   auto interface = Tirn::Provider::AsyncApiInterface::GetInstance(
//       std::make_shared<Tirn::Core::InterfaceIdentifier const>("com.example.shop"),
//       {listMethod, getMethod});
//   provider->Register(interface);  // Tirn::Core::InProcessApiProvider
#ifndef TIRN_RUNTIME_CALL_API_METHOD_H_
#define TIRN_RUNTIME_CALL_API_METHOD_H_

#include <functional>
#include <list>
#include <map>
#include <memory>
#include <string>

#include <boost/optional/optional.hpp>

#include "tirn/message/export.h"
#include "tirn/runtime/call/activation.h"
#include "tirn/runtime/value/data_definition.h"
#include "tirn/runtime/value/data_value.h"
#include "tirn/runtime/call/invocation.h"
#include "tirn/runtime/call/progress.h"

namespace Tirn {
namespace Provider {

// One operation of a provided interface, as the runtime sees it.
class TIRN_CORE_EXPORT AsyncApiMethod {
 public:
  // How an operation answers one call: any number of progress reports (neither output nor
  // error), then one output or one error. Copies share one callable, which is released after
  // the first call carrying an output or an error; calling it when empty throws
  // std::bad_function_call. The continuation, set with an output, asks for the next piece of a
  // streamed result.
  class TIRN_CORE_EXPORT ResultCb {
   public:
    using Continuation = std::function<void(std::shared_ptr<ResultCb>)>;
    using Callable = std::function<void(boost::optional<Data::DataValuePtr> const& output,
                                        Data::ErrorValuePtr const& error, Progress const& progress,
                                        Continuation&& next)>;

    // An empty callback: calling it throws std::bad_function_call.
    ResultCb() : callable_(std::make_shared<Callable>()) {}
    explicit ResultCb(Callable callable)
        : callable_(std::make_shared<Callable>(std::move(callable))) {}

    void operator()(boost::optional<Data::DataValuePtr> const& output,
                    Data::ErrorValuePtr const& error, Progress const& progress,
                    Continuation&& next) const;

    // Whether a callable is still held.
    explicit operator bool() const { return static_cast<bool>(*callable_); }

   private:
    std::shared_ptr<Callable> callable_;
  };

  // The operation's wire name ("list").
  virtual std::string const& methodName() const = 0;
  // A new definition naming this operation within `interfaceIdentifier`, with its input and
  // output definitions.
  virtual std::shared_ptr<Core::MethodDefinition const> definition(
      std::shared_ptr<Core::InterfaceIdentifier const> const& interfaceIdentifier) const = 0;
  virtual Data::DataDefinitionPtr inputDefinition() const = 0;
  virtual Data::DataDefinitionPtr outputDefinition() const = 0;
  // The declared errors, in declaration order: a new list sharing the definitions.
  virtual std::list<Data::DataDefinitionPtr> errorDefinitions() = 0;
  // The declared errors, in declaration order.
  virtual std::list<Data::DataDefinitionPtr> const& errorDefinitions() const = 0;
  // Serves one call; every outcome reaches `resultCb`, now or later, on any thread.
  virtual void Invoke(Data::DataValuePtr const& input,
                      std::shared_ptr<Core::AsyncActivation> const& activation,
                      Core::AsyncApiResultCb const& resultCb) const = 0;
  virtual ~AsyncApiMethod();
};

// The checks applied to the values that cross an operation's boundary. Every result they
// build is final and names a standard error from tirn/runtime/value/wire_shapes.h.
struct TIRN_CORE_EXPORT ApiMethodHelper {
  // True when `input` conforms to `inputDefinition`, fields the definition does not name
  // included (they are rejected); `result` is then left alone. Otherwise sets `result` to an
  // invalid_argument error carrying the validation messages and returns false.
  [[nodiscard]] static bool ValidateInput(std::string const& methodName,
                                          Data::DataDefinitionPtr const& inputDefinition,
                                          Data::DataValuePtr const& input,
                                          std::shared_ptr<Core::MethodResult const>& result);

  // The result to deliver for `output`: the output itself when it conforms to
  // `outputDefinition`, otherwise an internal_server_error carrying the validation messages.
  static std::shared_ptr<Core::MethodResult const> ValidateOutput(
      std::string const& methodName, Data::DataDefinitionPtr const& outputDefinition,
      Data::DataValuePtr const& output);

  // The result to deliver for `error`:
  //  - the runtime's own errors (invalid_argument, internal_server_error,
  //    operation_not_found, and the transport's service_unavailable and timed_out, which
  //    callers need to see as they are to retry and to keep their time limits) pass unchanged;
  //  - an error declared in `errorDefinitions` (matched by name) passes unchanged when it
  //    conforms to its definition, otherwise becomes an internal_server_error carrying the
  //    validation messages;
  //  - any other error becomes an internal_server_error carrying one
  //    "tirn.provider.error.not.declared" message (error name, `methodName`).
  // A null `error` gives a result with neither output nor error.
  static std::shared_ptr<Core::MethodResult const> ValidateError(
      std::string const& methodName, std::list<Data::DataDefinitionPtr> const& errorDefinitions,
      Data::ErrorValuePtr const& error);
};

// A provided interface: its identifier and its operations, in operation order. Immutable;
// calls may run concurrently.
class TIRN_CORE_EXPORT AsyncApiInterface {
 public:
  using Methods = std::list<std::shared_ptr<AsyncApiMethod const>>;

  // The interface `identifier` made of `methods`. Null entries are left out; of several
  // methods with one name, calls reach the first. A null identifier stands for the empty name.
  static std::shared_ptr<AsyncApiInterface> GetInstance(
      std::shared_ptr<Core::InterfaceIdentifier const> const& identifier, Methods const& methods);

  std::shared_ptr<Core::InterfaceIdentifier const> const& identifier() const { return identifier_; }
  // The operations, in the order given at creation.
  Methods const& methods() const { return methods_; }
  // The operation named `methodName`, or null.
  std::shared_ptr<AsyncApiMethod const> Find(std::string const& methodName) const;

  // Passes the call to the operation named `methodName`. An unknown operation is answered at
  // once with a final operation_not_found error carrying "tirn.runtime.operation.not.found"
  // (interface identifier, `methodName`) and Progress (0, 1, 1).
  void Invoke(std::string const& methodName, Data::DataValuePtr const& input,
              std::shared_ptr<Core::AsyncActivation> const& activation,
              Core::AsyncApiResultCb const& resultCb) const;

 private:
  AsyncApiInterface(std::shared_ptr<Core::InterfaceIdentifier const> identifier,
                    Methods const& methods);

  std::shared_ptr<Core::InterfaceIdentifier const> identifier_;
  Methods methods_;
  std::map<std::string, std::shared_ptr<AsyncApiMethod const>, std::less<>> byName_;
};

}  // namespace Provider
}  // namespace Tirn

#endif  // TIRN_RUNTIME_CALL_API_METHOD_H_
