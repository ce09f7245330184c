// What the engine tests share: natives to values and back, definitions of bound types, value
// trees written inline, messages as text, and an operation that answers at once.
#ifndef TESTS_CONVERT_H_
#define TESTS_CONVERT_H_

#include <gtest/gtest.h>

#include <cstddef>
#include <initializer_list>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <boost/optional/optional.hpp>

#include "tirn/data/native_to_definition_adapter.h"
#include "tirn/data/native_to_value_adapter.h"
#include "tirn/data/value_to_native_adapter.h"
#include "tirn/runtime/call/api_method.h"
#include "tirn/runtime/l10n/request_localizer.h"
#include "tirn/runtime/value/equal.h"
#include "tirn/runtime/value/wire_shapes.h"

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

// Messages as text: " id,argument,argument" for each.
inline std::string Said(Messages const& messages) {
  std::string text;
  for (auto const& message : messages) {
    text += " " + message.id();
    for (auto const& arg : message.args()) text += "," + arg;
  }
  return text;
}

// Each of these expects the conversion to succeed without messages.
template <class T>
DataValuePtr ToValue(T const& native) {
  DataValuePtr value;
  Messages messages;
  EXPECT_TRUE(ToValue(native, value, messages)) << Said(messages);
  return value;
}

template <class T>
T FromValue(DataValuePtr const& value) {
  T native{};
  Messages messages;
  EXPECT_TRUE(FromValue(value, native, messages)) << Said(messages);
  return native;
}

// Describing a type reports nothing.
template <class T>
DataDefinitionPtr Define() {
  using Adapter = Tirn::Data::NativeToDefinitionAdapter;
  DataDefinitionPtr definition;
  Adapter::Adapt(Adapter::AdaptMethod<T>::Get(), &definition, Messages());
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

// The field `name` of a compound value; null when the value is none or lacks the field.
inline DataValuePtr FieldOf(DataValuePtr const& value, std::string const& name) {
  auto const* compound = dynamic_cast<Tirn::Data::CompoundValue const*>(value.get());
  DataValuePtr const* field = compound ? compound->FindField(name) : nullptr;
  return field ? *field : nullptr;
}

// How often `part` occurs in `text`, without overlaps.
inline std::size_t Count(std::string const& text, std::string const& part) {
  std::size_t count = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) {
    ++count;
  }
  return count;
}

// The messages of an error value as they arrived, each as "id(arguments)", followed by
// " = text" when localized.
inline std::vector<std::string> MessagesOf(Tirn::Data::ErrorValuePtr const& error) {
  std::vector<std::string> result;
  auto const* messages = dynamic_cast<Tirn::Data::ListValue const*>(
      FieldOf(error, Tirn::Data::Wire::kErrorMessages).get());
  if (!messages) return result;
  for (auto const& element : messages->elements()) {
    Tirn::BaseMessage message("", "", {});
    boost::optional<std::string> localized;
    EXPECT_TRUE(Tirn::Data::Wire::MessageFromValue(element, message, localized));
    std::string text = message.id() + "(";
    for (auto const& arg : message.args()) text += (text.back() == '(' ? "" : ", ") + arg;
    result.push_back(text + ")" + (localized ? " = " + *localized : ""));
  }
  return result;
}

// A message as MessagesOf shows it.
inline std::string Msg(std::string const& id, std::string const& args) {
  return id + "(" + args + ")";
}

// An operation named `name` without definitions that records the input and activation of each
// call and answers it at once with the string `answer` as its output.
class AnsweringMethod : public Tirn::Provider::AsyncApiMethod {
 public:
  AnsweringMethod(std::string name, std::string answer)
      : name_(std::move(name)), answer_(std::move(answer)) {}
  std::string const& methodName() const override { return name_; }
  std::shared_ptr<Tirn::Core::MethodDefinition const> definition(
      std::shared_ptr<Tirn::Core::InterfaceIdentifier const> const&) const override {
    return nullptr;
  }
  DataDefinitionPtr inputDefinition() const override { return nullptr; }
  DataDefinitionPtr outputDefinition() const override { return nullptr; }
  std::list<DataDefinitionPtr> errorDefinitions() override { return {}; }
  std::list<DataDefinitionPtr> const& errorDefinitions() const override { return none_; }
  void Invoke(DataValuePtr const& input,
              std::shared_ptr<Tirn::Core::AsyncActivation> const& activation,
              Tirn::Core::AsyncApiResultCb const& resultCb) const override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      activations.push_back(activation);
      inputs.push_back(input);
    }
    resultCb(std::make_shared<Tirn::Core::MethodResult const>(
                 Tirn::Core::MethodResult{Str(answer_), nullptr, true}),
             Tirn::Progress::Final(), nullptr);
  }

  mutable std::vector<std::shared_ptr<Tirn::Core::AsyncActivation>> activations;  // read after
  mutable std::vector<DataValuePtr> inputs;                                       // the calls

 private:
  std::string name_;
  std::string answer_;
  std::list<DataDefinitionPtr> none_;
  mutable std::mutex mutex_;
};

}  // namespace test_convert

#endif  // TESTS_CONVERT_H_
