// What the engine tests share: natives to values and back, definitions of bound types, value
// trees written inline, and messages as text.
#ifndef TESTS_CONVERT_H_
#define TESTS_CONVERT_H_

#include <gtest/gtest.h>

#include <initializer_list>
#include <list>
#include <memory>
#include <string>
#include <utility>

#include "tirn/data/native_to_definition_adapter.h"
#include "tirn/data/native_to_value_adapter.h"
#include "tirn/data/value_to_native_adapter.h"
#include "tirn/runtime/l10n/request_localizer.h"
#include "tirn/runtime/value/equal.h"

namespace test_convert {

using Tirn::Data::DataDefinitionPtr;
using Tirn::Data::DataValuePtr;
using Messages = std::list<Tirn::BaseMessage>;

// Native to value with the default localizer; true when the run added no message.
template <class T>
bool ToValue(T const& native, DataValuePtr& value, Messages& messages) {
  using Adapter = Tirn::Data::NativeToValueAdapter;
  return Adapter::Adapt(&native, Adapter::AdaptMethod<T>::Get(&native), &value, messages,
                        Tirn::L10n::RequestLocalizerHelper::GetDefaultRequestLocalizer());
}

// Value to native; true when the run added no message.
template <class T>
bool FromValue(DataValuePtr const& value, T& native, Messages& messages) {
  using Adapter = Tirn::Data::ValueToNativeAdapter;
  return Adapter::Adapt(value, Adapter::AdaptMethod<T>::Get(&native), &native, messages);
}

// Each of these expects the conversion to succeed without messages.
template <class T>
DataValuePtr ToValue(T const& native) {
  DataValuePtr value;
  Messages messages;
  EXPECT_TRUE(ToValue(native, value, messages));
  for (auto const& message : messages) ADD_FAILURE() << message.id();
  return value;
}

template <class T>
T FromValue(DataValuePtr const& value) {
  T native{};
  Messages messages;
  EXPECT_TRUE(FromValue(value, native, messages));
  for (auto const& message : messages) ADD_FAILURE() << message.id();
  return native;
}

template <class T>
DataDefinitionPtr Define() {
  using Adapter = Tirn::Data::NativeToDefinitionAdapter;
  DataDefinitionPtr definition;
  Messages messages;
  Adapter::Adapt(Adapter::AdaptMethod<T>::Get(), &definition, messages);
  for (auto const& message : messages) ADD_FAILURE() << message.id();
  return definition;
}

inline DataValuePtr Str(std::string text) {
  return Tirn::Data::StringValue::GetInstance(std::move(text));
}
inline DataValuePtr Int(long long value) { return Tirn::Data::IntegerValue::GetInstance(value); }
inline DataValuePtr Opt() { return Tirn::Data::OptionalValue::GetInstance(); }
inline DataValuePtr Opt(DataValuePtr content) {
  auto optional = Tirn::Data::OptionalValue::GetInstance();
  optional->value(std::move(content));
  return optional;
}
inline DataValuePtr List(std::initializer_list<DataValuePtr> elements,
                         Tirn::Data::ListValue::Kind kind = Tirn::Data::ListValue::LIST) {
  auto list = Tirn::Data::ListValue::GetInstance(kind);
  for (auto const& element : elements) list->Append(element);
  return list;
}
inline std::shared_ptr<Tirn::Data::StructValue> Struct(
    std::string const& name, std::initializer_list<std::pair<std::string, DataValuePtr>> fields) {
  auto value = Tirn::Data::StructValue::GetInstance(name);
  for (auto const& field : fields) value->SetField(field.first, field.second);
  return value;
}

// Messages as text: " id,argument,argument" for each.
inline std::string Said(Messages const& messages) {
  std::string text;
  for (auto const& message : messages) {
    text += " " + message.id();
    for (auto const& arg : message.args()) text += "," + arg;
  }
  return text;
}

}  // namespace test_convert

#endif  // TESTS_CONVERT_H_
