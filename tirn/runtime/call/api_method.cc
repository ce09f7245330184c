#include "tirn/runtime/call/api_method.h"

#include <utility>

#include "tirn/message/message.h"
#include "tirn/message/message_ids.h"
#include "tirn/runtime/call/operation_not_found_internal.h"
#include "tirn/runtime/value/validation.h"
#include "tirn/runtime/value/wire_shapes.h"

namespace Tirn {
namespace Provider {
namespace {

std::shared_ptr<Core::MethodResult const> Final(Data::DataValuePtr output,
                                                Data::ErrorValuePtr error) {
  return std::make_shared<Core::MethodResult const>(
      Core::MethodResult{std::move(output), std::move(error), true});
}

std::shared_ptr<Core::MethodResult const> FinalError(char const* name,
                                                     std::list<BaseMessage> const& messages) {
  return Final(nullptr, Data::ErrorValue::Create(name, messages));
}

// The runtime reports these itself, for any operation; no operation has to declare them.
bool IsRuntimeError(std::string const& name) {
  return name == Data::Wire::kInvalidArgumentError || name == Data::Wire::kInternalServerError ||
         name == Data::Wire::kOperationNotFoundError ||
         name == Data::Wire::kServiceUnavailableError || name == Data::Wire::kTimedOutError;
}

// The name of the error or structure a declared-error definition stands for; null for other
// kinds of definition.
std::string const* DeclaredName(Data::DataDefinitionPtr const& definition) {
  if (!definition) return nullptr;
  switch (definition->GetType().kind()) {
    case Data::DataType::ERROR:
    case Data::DataType::STRUCTURE:
      return &static_cast<Data::StructDefinition const&>(*definition).name();
    case Data::DataType::STRUCTURE_REF:
      return &static_cast<Data::StructRefDefinition const&>(*definition).name();
    default:
      return nullptr;
  }
}

}  // namespace

void AsyncApiMethod::ResultCb::operator()(boost::optional<Data::DataValuePtr> const& output,
                                          Data::ErrorValuePtr const& error,
                                          Progress const& progress, Continuation&& next) const {
  if (!*callable_) throw std::bad_function_call();
  if (!output && !error) {
    (*callable_)(output, error, progress, std::move(next));
    return;
  }
  // An output or an error releases the callable, also when it throws.
  Callable callable = std::move(*callable_);
  *callable_ = nullptr;
  callable(output, error, progress, std::move(next));
}

AsyncApiMethod::~AsyncApiMethod() = default;

bool ApiMethodHelper::ValidateInput(std::string const& /*methodName*/,
                                    Data::DataDefinitionPtr const& inputDefinition,
                                    Data::DataValuePtr const& input,
                                    std::shared_ptr<Core::MethodResult const>& result) {
  std::list<BaseMessage> messages;
  Data::ValidationOptions options;
  options.rejectUnknownFields = true;
  if (Data::Validate(inputDefinition, input, messages, options)) return true;
  result = FinalError(Data::Wire::kInvalidArgumentError, messages);
  return false;
}

std::shared_ptr<Core::MethodResult const> ApiMethodHelper::ValidateOutput(
    std::string const& /*methodName*/, Data::DataDefinitionPtr const& outputDefinition,
    Data::DataValuePtr const& output) {
  std::list<BaseMessage> messages;
  if (Data::Validate(outputDefinition, output, messages)) return Final(output, nullptr);
  return FinalError(Data::Wire::kInternalServerError, messages);
}

std::shared_ptr<Core::MethodResult const> ApiMethodHelper::ValidateError(
    std::string const& methodName, std::list<Data::DataDefinitionPtr> const& errorDefinitions,
    Data::ErrorValuePtr const& error) {
  if (!error || IsRuntimeError(error->name())) return Final(nullptr, error);
  for (auto const& definition : errorDefinitions) {
    std::string const* name = DeclaredName(definition);
    if (!name || *name != error->name()) continue;
    std::list<BaseMessage> messages;
    if (Data::Validate(definition, error, messages)) return Final(nullptr, error);
    return FinalError(Data::Wire::kInternalServerError, messages);
  }
  return FinalError(Data::Wire::kInternalServerError,
                    {Message<CoreTag>(MessageIds::kErrorNotDeclared, error->name(), methodName)});
}

AsyncApiInterface::AsyncApiInterface(std::shared_ptr<Core::InterfaceIdentifier const> identifier,
                                     Methods const& methods)
    : identifier_(identifier ? std::move(identifier)
                             : std::make_shared<Core::InterfaceIdentifier const>("")) {
  for (auto const& method : methods) {
    if (!method) continue;
    methods_.push_back(method);
    byName_.emplace(method->methodName(), method);  // keeps the first of a name
  }
}

std::shared_ptr<AsyncApiInterface> AsyncApiInterface::GetInstance(
    std::shared_ptr<Core::InterfaceIdentifier const> const& identifier, Methods const& methods) {
  return std::shared_ptr<AsyncApiInterface>(new AsyncApiInterface(identifier, methods));
}

std::shared_ptr<AsyncApiMethod const> AsyncApiInterface::Find(std::string const& methodName) const {
  auto found = byName_.find(methodName);
  return found == byName_.end() ? nullptr : found->second;
}

void AsyncApiInterface::Invoke(std::string const& methodName, Data::DataValuePtr const& input,
                               std::shared_ptr<Core::AsyncActivation> const& activation,
                               Core::AsyncApiResultCb const& resultCb) const {
  auto found = byName_.find(methodName);
  if (found == byName_.end()) {
    Core::detail::AnswerOperationNotFound(identifier_->name, methodName, resultCb);
    return;
  }
  found->second->Invoke(input, activation, resultCb);
}

}  // namespace Provider

namespace Core {
namespace detail {

void AnswerOperationNotFound(std::string const& interfaceName, std::string const& methodName,
                             AsyncApiResultCb const& resultCb) {
  auto result = std::make_shared<MethodResult const>(MethodResult{
      nullptr,
      Data::ErrorValue::Create(
          Data::Wire::kOperationNotFoundError,
          {Message<CoreTag>(MessageIds::kOperationNotFound, interfaceName, methodName)}),
      true});
  resultCb(result, Progress::Final(), nullptr);
}

}  // namespace detail
}  // namespace Core
}  // namespace Tirn
