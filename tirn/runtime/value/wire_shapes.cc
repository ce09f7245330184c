#include "tirn/runtime/value/wire_shapes.h"

namespace Tirn {
namespace Data {
namespace Wire {

std::shared_ptr<StructValue> MessageToValue(BaseMessage const& message,
                            boost::optional<std::string> const& localized) {
  static std::string const name(kLocalizableMessageName);
  // The four fields in name order, named by the static constants: the value's own room is its
  // index and no name is copied.
  auto value = StructValue::GetInstance(StaticName{name}, 4);
  auto args = ListValue::GetInstance(ListValue::LIST);
  DataValuePtr* slot = args->AppendSlots(message.args().size());
  for (auto const& arg : message.args()) *slot++ = StringValue::GetInstance(arg);
  *value->StaticFieldSlot(kMessageArgs) = std::move(args);
  *value->StaticFieldSlot(kMessageDefaultText) = StringValue::GetInstance(message.defaultMessage());
  *value->StaticFieldSlot(kMessageId) = StringValue::GetInstance(message.id());
  auto text = OptionalValue::GetInstance();
  if (localized) text->value(StringValue::GetInstance(*localized));
  *value->StaticFieldSlot(kMessageLocalized) = std::move(text);
  return value;
}

namespace {

// The text of a string value, of an optional holding one, or null.
std::string const* TextOf(DataValuePtr const* slot) {
  if (!slot || !*slot) return nullptr;
  DataValue const* value = slot->get();
  if (value->GetType().kind() == DataType::OPTIONAL) {
    value = static_cast<OptionalValue const*>(value)->value().get();
    if (!value) return nullptr;
  }
  if (value->GetType().kind() != DataType::STRING) return nullptr;
  return &static_cast<StringValue const*>(value)->value();
}

}  // namespace

bool MessageFromValue(DataValuePtr const& value, BaseMessage& message,
                      boost::optional<std::string>& localized) {
  if (!value || !value->GetType().IsCompound()) return false;
  auto const& compound = static_cast<CompoundValue const&>(*value);
  std::string const* id = TextOf(compound.FindField(kMessageId));
  std::string const* text = TextOf(compound.FindField(kMessageDefaultText));
  if (!id || !text) return false;
  std::list<std::string> args;
  if (DataValuePtr const* slot = compound.FindField(kMessageArgs)) {
    if (!*slot || (*slot)->GetType().kind() != DataType::LIST) return false;
    for (auto const& element : static_cast<ListValue const&>(**slot).elements()) {
      std::string const* arg = TextOf(&element);
      if (!arg) return false;
      args.push_back(*arg);
    }
  }
  localized = boost::none;
  if (std::string const* translated = TextOf(compound.FindField(kMessageLocalized))) {
    localized = *translated;
  }
  message = BaseMessage(*id, *text, args);
  return true;
}

DataDefinitionPtr LocalizableMessageDefinition() {
  DataDefinition::FieldMap fields;
  fields[kMessageId] = DataDefinition::Create<std::string>();
  fields[kMessageDefaultText] = DataDefinition::Create<std::string>();
  fields[kMessageArgs] = ListDefinition::GetInstance(DataDefinition::Create<std::string>());
  fields[kMessageLocalized] =
      OptionalDefinition::GetInstance(DataDefinition::Create<std::string>());
  return StructDefinition::GetInstance(kLocalizableMessageName, fields);
}

DataDefinitionPtr StandardErrorDefinition(std::string const& name) {
  DataDefinition::FieldMap fields;
  fields[kErrorMessages] = ListDefinition::GetInstance(LocalizableMessageDefinition());
  return ErrorDefinition::GetInstance(name, fields);
}

}  // namespace Wire

std::shared_ptr<ErrorValue const> ErrorValue::Create(std::string const& name,
                                                     std::list<BaseMessage> const& messages) {
  auto error = GetInstance(name, 1);
  auto list = ListValue::GetInstance(ListValue::LIST);
  DataValuePtr* slot = list->AppendSlots(messages.size());
  for (auto const& message : messages) *slot++ = Wire::MessageToValue(message, boost::none);
  *error->StaticFieldSlot(Wire::kErrorMessages) = std::move(list);
  return error;
}

std::list<BaseMessage> ErrorValue::GetMessages() const {
  std::list<BaseMessage> result;
  DataValuePtr const* slot = FindField(Wire::kErrorMessages);
  if (!slot || !*slot || (*slot)->GetType().kind() != DataType::LIST) return result;
  for (auto const& element : static_cast<ListValue const&>(**slot).elements()) {
    BaseMessage message("", "", {});
    boost::optional<std::string> localized;
    if (Wire::MessageFromValue(element, message, localized)) result.push_back(std::move(message));
  }
  return result;
}

}  // namespace Data
}  // namespace Tirn
