#include "tirn/std/localizable_message.h"

#include <ostream>

#include "tirn/data/print_native.h"

TIRN_DEFINE_ROUTINES(Com::Ostrel::Tirn::Std::LocalizableMessage)

namespace Com {
namespace Ostrel {
namespace Tirn {
namespace Std {

std::shared_ptr<LocalizableMessage const> LocalizableMessage::From(
    ::Tirn::BaseMessage const& message) {
  auto result = std::make_shared<LocalizableMessage>();
  result->id = message.id();
  result->default_message = message.defaultMessage();
  result->args = message.args();
  return result;
}

::Tirn::BaseMessage LocalizableMessage::ToBaseMessage() const {
  return ::Tirn::BaseMessage(id, default_message, args);
}

std::ostream& operator<<(std::ostream& out, LocalizableMessage const& message) {
  return ::Tirn::Data::PrintNative(out, message);
}

}  // namespace Std
}  // namespace Tirn
}  // namespace Ostrel
}  // namespace Com

namespace Tirn {
namespace Data {
namespace {

using Com::Ostrel::Tirn::Std::LocalizableMessage;

// A message has only leaves, so it is built here at once; a message without a localized text
// gets one from the run's request localizer when its catalog has the message.
void LocalizableMessageToValue(NativeConstPtr const& source, DataValuePtr* const& destination,
                               NativeToValueAdapter::Stack& stack, std::list<BaseMessage>&) {
  auto const& message = *static_cast<LocalizableMessage const*>(source);
  BaseMessage const base = message.ToBaseMessage();  // built once, for both uses
  boost::optional<std::string> localized = message.localized;
  // Without a catalog there is nothing to look up.
  if (!localized && stack.localizer.localizer && !stack.localizer.localizer->empty()) {
    localized = stack.localizer.Localize(base);
  }
  std::shared_ptr<StructValue> structure = Wire::MessageToValue(base, localized);
  BaseNative::AdapterHelper::AddUnknownFields(message, structure);
  *destination = std::move(structure);
}

}  // namespace

std::string const& TypeInfo<LocalizableMessage>::name() {
  static std::string const kName = Wire::kLocalizableMessageName;
  return kName;
}

std::shared_ptr<LocalizableMessage> TypeInfo<LocalizableMessage>::defaultInstance(
    DataValuePtr const&) {
  return std::make_shared<LocalizableMessage>();
}

NativeToValueAdapter::Method NativeToValueAdapter::AdaptMethod<LocalizableMessage>::Get(
    LocalizableMessage const*) {
  return &LocalizableMessageToValue;
}

}  // namespace Data
}  // namespace Tirn
