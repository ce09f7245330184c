// Tirn::Provider::AsyncApiMethodSignal: one operation of a bound service, as the runtime sees
// it.
//
// A service binder creates one signal per operation from the operation's descriptor (name,
// input, output and error definitions) and the service's localizer, connects a typed handler
// to it (an AsyncApiMethodFilter, async_api_method_filter.h) and registers the signals with
// the runtime through Tirn::Provider::AsyncApiInterface::GetInstance. For each call the signal
// validates the input against the input definition, installs its localizer in the call's
// activation and passes the call to the handler; every result the handler reports goes through
// a ValidateResultWrapper, which validates it (output against the output definition, error
// against the declared errors) before the runtime's callback receives it.
//
//   auto signal = Tirn::Provider::AsyncApiMethodSignal::GetInstance(
//       GetMethod::methodName(), GetMethod::inputDef(), GetMethod::outputDef(),
//       GetMethod::errorDefs(), localizer);
//   signal->Connect(filter);
//
// Thread-safety: immutable once connected; calls may run concurrently. The reports of one call
// must not overlap.
#ifndef TIRN_PROVIDER_ASYNC_API_METHOD_SIGNAL_H_
#define TIRN_PROVIDER_ASYNC_API_METHOD_SIGNAL_H_

#include <functional>
#include <list>
#include <memory>
#include <string>

#include <boost/optional/optional.hpp>

#include "tirn/message/export.h"
#include "tirn/runtime/call/activation.h"
#include "tirn/runtime/call/api_method.h"
#include "tirn/runtime/value/data_definition.h"
#include "tirn/runtime/value/data_value.h"
#include "tirn/runtime/call/invocation.h"
#include "tirn/runtime/l10n/localizer.h"
#include "tirn/runtime/call/progress.h"

namespace Tirn {
namespace Provider {

class TIRN_BINDINGS_EXPORT AsyncApiMethodSignal
    : public AsyncApiMethod,
      public std::enable_shared_from_this<AsyncApiMethodSignal> {
 public:
  using Handler = std::function<void(Data::DataValuePtr const& input,
                                     std::shared_ptr<Core::AsyncActivation> const& activation,
                                     AsyncApiMethod::ResultCb const& result)>;

  // Stands between the handler and the runtime's callback for one call: validates each report
  // and passes the runtime's result on. After the first error, output or final report with
  // neither it has let go of the runtime's callback, and later reports reach nobody. Released
  // before that (every copy of the handler's result callback gone), it releases the runtime's
  // callback unanswered, which answers the call as abandoned (Core::AsyncApiResultCb).
  class TIRN_BINDINGS_EXPORT ValidateResultWrapper {
   public:
    ValidateResultWrapper(std::shared_ptr<AsyncApiMethodSignal const> signal,
                          Core::AsyncApiResultCb resultCb);

    // An error (also when an output comes with it) goes through ApiMethodHelper::ValidateError;
    // an output through ApiMethodHelper::ValidateOutput, with a continuation that validates
    // the following pieces of a streamed result the same way; a progress report that is not
    // final is passed on as a null result; a final report with neither becomes a result with
    // neither. Calls the runtime's callback with the given progress.
    void operator()(boost::optional<Data::DataValuePtr> const& output,
                    Data::ErrorValuePtr const& error, Progress const& progress,
                    AsyncApiMethod::ResultCb::Continuation&& next);

   private:
    // Swaps the runtime's callback out for an empty one, marks the call answered and returns
    // the runtime's callback.
    Core::AsyncApiResultCb TakeResultCb();

    std::shared_ptr<AsyncApiMethodSignal const> signal_;
    Core::AsyncApiResultCb resultCb_;
    bool answered_ = false;
  };

  // A new signal without handler. The definitions and the localizer are shared, the error
  // definitions copied in order. A null `localizer` is replaced by a default-constructed
  // (empty) Localizer, so that every call's activation carries a localizer; errors are then
  // localized with the runtime's default request localizer.
  static std::shared_ptr<AsyncApiMethodSignal> GetInstance(
      std::string const& name, Data::DataDefinitionPtr const& inputDefinition,
      Data::DataDefinitionPtr const& outputDefinition,
      std::list<Data::DataDefinitionPtr> const& errorDefinitions,
      std::shared_ptr<L10n::Localizer> const& localizer);

  // Installs the handler, replacing any earlier one. Call before the signal serves calls.
  void Connect(Handler handler);

  std::string const& methodName() const override { return name_; }
  // A new definition (new identifier and definition objects on every call) naming this
  // operation within `interfaceIdentifier`; error definitions are not part of it.
  std::shared_ptr<Core::MethodDefinition const> definition(
      std::shared_ptr<Core::InterfaceIdentifier const> const& interfaceIdentifier) const override;
  Data::DataDefinitionPtr inputDefinition() const override { return inputDefinition_; }
  Data::DataDefinitionPtr outputDefinition() const override { return outputDefinition_; }
  std::list<Data::DataDefinitionPtr> errorDefinitions() override { return errorDefinitions_; }
  std::list<Data::DataDefinitionPtr> const& errorDefinitions() const override {
    return errorDefinitions_;
  }

  // Serves one call. Without a handler: a final internal_server_error carrying
  // "tirn.provider.method.signal.not.connected". With an input that fails
  // ApiMethodHelper::ValidateInput: the result it made. Both with Progress (0, 1, 1), and the
  // handler is not called. Otherwise the activation's localizer becomes this signal's and the
  // handler receives the input, the activation and a callback that validates its reports. A
  // null activation is replaced by a new default one for the call.
  void Invoke(Data::DataValuePtr const& input,
              std::shared_ptr<Core::AsyncActivation> const& activation,
              Core::AsyncApiResultCb const& resultCb) const override;

  // The localizer installed in the activation of every valid call; never null.
  std::shared_ptr<L10n::Localizer> const& localizer() const { return localizer_; }

 private:
  AsyncApiMethodSignal(std::string const& name, Data::DataDefinitionPtr const& inputDefinition,
                       Data::DataDefinitionPtr const& outputDefinition,
                       std::list<Data::DataDefinitionPtr> const& errorDefinitions,
                       std::shared_ptr<L10n::Localizer> const& localizer);

  std::string name_;
  Data::DataDefinitionPtr inputDefinition_;
  Data::DataDefinitionPtr outputDefinition_;
  std::list<Data::DataDefinitionPtr> errorDefinitions_;
  Handler handler_;
  std::shared_ptr<L10n::Localizer> localizer_;
};

}  // namespace Provider
}  // namespace Tirn

#endif  // TIRN_PROVIDER_ASYNC_API_METHOD_SIGNAL_H_
