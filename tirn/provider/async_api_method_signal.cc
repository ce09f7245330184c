#include "tirn/provider/async_api_method_signal.h"

#include <utility>

#include "tirn/message/message.h"
#include "tirn/message/message_ids.h"
#include "tirn/runtime/value/wire_shapes.h"

namespace Tirn {
namespace Provider {
namespace {

std::shared_ptr<Core::MethodResult const> FinalResult(Data::ErrorValuePtr error) {
  return std::make_shared<Core::MethodResult const>(
      Core::MethodResult{nullptr, std::move(error), true});
}

}  // namespace

AsyncApiMethodSignal::ValidateResultWrapper::ValidateResultWrapper(
    std::shared_ptr<AsyncApiMethodSignal const> signal, Core::AsyncApiResultCb resultCb)
    : signal_(std::move(signal)), resultCb_(std::move(resultCb)) {}

Core::AsyncApiResultCb AsyncApiMethodSignal::ValidateResultWrapper::TakeResultCb() {
  // An empty callback rather than one that does nothing: a callback released while it still
  // holds a callable answers its call as abandoned, and this one has nothing to answer.
  Core::AsyncApiResultCb taken;
  std::swap(taken, resultCb_);
  answered_ = true;
  return taken;
}

void AsyncApiMethodSignal::ValidateResultWrapper::operator()(
    boost::optional<Data::DataValuePtr> const& output, Data::ErrorValuePtr const& error,
    Progress const& progress, AsyncApiMethod::ResultCb::Continuation&& next) {
  if (answered_) return;
  if (error) {
    auto result =
        ApiMethodHelper::ValidateError(signal_->methodName(), signal_->errorDefinitions(), error);
    TakeResultCb()(result, progress, nullptr);
    return;
  }
  if (output) {
    auto result = ApiMethodHelper::ValidateOutput(signal_->methodName(),
                                                  signal_->outputDefinition(), *output);
    Core::AsyncApiResultCb::Continuation continuation;
    if (next) {
      // Each further piece of a streamed result is validated like this one and delivered to
      // the callback the runtime supplies for it.
      continuation = [next = std::move(next),
                      signal = signal_](std::shared_ptr<Core::AsyncApiResultCb> resultCb) {
        if (!next) return;
        if (!resultCb) {
          next(nullptr);
          return;
        }
        next(std::make_shared<AsyncApiMethod::ResultCb>(ValidateResultWrapper(signal, *resultCb)));
      };
    }
    TakeResultCb()(result, progress, std::move(continuation));
    return;
  }
  if (!progress.IsFinal()) {
    resultCb_(nullptr, progress, nullptr);
    return;
  }
  TakeResultCb()(FinalResult(nullptr), progress, nullptr);
}

AsyncApiMethodSignal::AsyncApiMethodSignal(
    std::string const& name, Data::DataDefinitionPtr const& inputDefinition,
    Data::DataDefinitionPtr const& outputDefinition,
    std::list<Data::DataDefinitionPtr> const& errorDefinitions,
    std::shared_ptr<L10n::Localizer> const& localizer)
    : name_(name),
      inputDefinition_(inputDefinition),
      outputDefinition_(outputDefinition),
      errorDefinitions_(errorDefinitions),
      localizer_(localizer) {}

std::shared_ptr<AsyncApiMethodSignal> AsyncApiMethodSignal::GetInstance(
    std::string const& name, Data::DataDefinitionPtr const& inputDefinition,
    Data::DataDefinitionPtr const& outputDefinition,
    std::list<Data::DataDefinitionPtr> const& errorDefinitions,
    std::shared_ptr<L10n::Localizer> const& localizer) {
  // The output conversion of the result filters reads the localizer from the activation
  // without checking it: substitute an empty one rather than pass a null one on.
  return std::shared_ptr<AsyncApiMethodSignal>(
      new AsyncApiMethodSignal(name, inputDefinition, outputDefinition, errorDefinitions,
                               localizer ? localizer : std::make_shared<L10n::Localizer>()));
}

void AsyncApiMethodSignal::Connect(Handler handler) { handler_ = std::move(handler); }

std::shared_ptr<Core::MethodDefinition const> AsyncApiMethodSignal::definition(
    std::shared_ptr<Core::InterfaceIdentifier const> const& interfaceIdentifier) const {
  auto identifier = std::make_shared<Core::MethodIdentifier const>(interfaceIdentifier, name_);
  return std::make_shared<Core::MethodDefinition const>(
      Core::MethodDefinition{std::move(identifier), inputDefinition_, outputDefinition_});
}

void AsyncApiMethodSignal::Invoke(Data::DataValuePtr const& input,
                                  std::shared_ptr<Core::AsyncActivation> const& activation,
                                  Core::AsyncApiResultCb const& resultCb) const {
  if (!handler_) {
    resultCb(
        FinalResult(Data::ErrorValue::Create(Data::Wire::kInternalServerError,
                                             {Message<CoreTag>(MessageIds::kSignalNotConnected)})),
        Progress::Final(), nullptr);
    return;
  }
  std::shared_ptr<Core::MethodResult const> rejected;
  if (!ApiMethodHelper::ValidateInput(name_, inputDefinition_, input, rejected)) {
    resultCb(rejected, Progress::Final(), nullptr);
    return;
  }
  std::shared_ptr<Core::AsyncActivation> callActivation = activation;
  if (!callActivation) {
    callActivation = std::make_shared<Core::AsyncActivation>();
    callActivation->executionContext = std::make_shared<Core::ExecutionContext>();
  }
  callActivation->requestLocalizer.localizer = localizer_;
  AsyncApiMethod::ResultCb result(ValidateResultWrapper(shared_from_this(), resultCb));
  handler_(input, callActivation, result);
}

}  // namespace Provider
}  // namespace Tirn
