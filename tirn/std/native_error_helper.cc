#include "tirn/std/native_error_helper.h"

#include <list>
#include <string>

#include "tirn/runtime/value/wire_shapes.h"

namespace Tirn {
namespace Data {

std::shared_ptr<ErrorValue const> NativeErrorHelper::GetError(
    std::shared_ptr<ErrorValue const> const& error, boost::optional<NativeError> const& nativeError,
    L10n::RequestLocalizer const& localizer) {
  if (error) return Localize(error, localizer);
  if (!nativeError) return nullptr;
  std::list<BaseMessage> messages;
  std::shared_ptr<ErrorValue const> value = nativeError->ToValue(localizer, messages);
  if (!value) return ErrorValue::Create(Wire::kInternalServerError, messages);
  return value;
}

std::shared_ptr<ErrorValue const> NativeErrorHelper::Localize(
    std::shared_ptr<ErrorValue const> const& error, L10n::RequestLocalizer const& localizer) {
  if (!localizer.localizer || !localizer.localeSpec || localizer.localizer->empty()) return error;
  DataValuePtr const* list = error->FindField(Wire::kErrorMessages);
  if (!list || !*list || (*list)->GetType().kind() != DataType::LIST) return error;

  auto const& messages = static_cast<ListValue const&>(**list);
  std::shared_ptr<ListValue> localizedList;
  for (std::size_t i = 0; i < messages.size(); ++i) {
    DataValuePtr const& element = messages.elements()[i];
    BaseMessage message("", "", {});
    boost::optional<std::string> existing;
    boost::optional<std::string> text;
    if (Wire::MessageFromValue(element, message, existing) && !existing) {
      text = localizer.Localize(message);
    }
    if (text && !localizedList) {
      // First change: copy the elements before it.
      localizedList = ListValue::GetInstance(messages.kind());
      for (std::size_t j = 0; j < i; ++j) localizedList->Append(messages.elements()[j]);
    }
    if (!localizedList) continue;
    if (!text) {
      localizedList->Append(element);
      continue;
    }
    auto const& original = static_cast<CompoundValue const&>(*element);
    auto copy = StructValue::GetInstance(original.name());
    for (auto const& field : original.fields()) copy->SetField(field.first, field.second);
    auto localized = OptionalValue::GetInstance();
    localized->value(StringValue::GetInstance(std::move(*text)));
    copy->SetField(Wire::kMessageLocalized, std::move(localized));
    localizedList->Append(std::move(copy));
  }
  if (!localizedList) return error;

  auto result = ErrorValue::GetInstance(error->name());
  for (auto const& field : error->fields()) result->SetField(field.first, field.second);
  result->SetField(Wire::kErrorMessages, std::move(localizedList));
  return result;
}

}  // namespace Data
}  // namespace Tirn
