#include "tirn/runtime/api_method.h"

#include <gtest/gtest.h>

#include <functional>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "tirn/message/message_ids.h"
#include "tirn/runtime/wire_shapes.h"

namespace Tirn {
namespace Provider {
namespace {

using Data::DataDefinition;
using Data::DataDefinitionPtr;
using Data::DataValuePtr;
using Data::ErrorValue;
using Data::ErrorValuePtr;
using Data::StringValue;
using Data::StructDefinition;
using Data::StructValue;
using Args = std::list<std::string>;

// A message's identifier and arguments, the parts a test asserts.
struct Expected {
  std::string id;
  Args args;
};

void ExpectMessages(ErrorValuePtr const& error, std::vector<Expected> const& expected) {
  ASSERT_TRUE(error);
  std::list<BaseMessage> const messages = error->GetMessages();
  ASSERT_EQ(messages.size(), expected.size());
  auto it = messages.begin();
  for (auto const& e : expected) {
    EXPECT_EQ(it->id(), e.id);
    EXPECT_EQ(it->args(), e.args);
    ++it;
  }
}

DataDefinitionPtr AddressDefinition() {
  DataDefinition::FieldMap fields;
  fields["host"] = DataDefinition::Create<std::string>();
  fields["port"] = Data::OptionalDefinition::GetInstance(DataDefinition::Create<long long>());
  return StructDefinition::GetInstance("test.address", fields);
}

std::shared_ptr<StructValue> Address(std::list<std::pair<std::string, DataValuePtr>> fields) {
  auto value = StructValue::GetInstance("test.address");
  for (auto const& field : fields) value->SetField(field.first, field.second);
  return value;
}

DataValuePtr Str(std::string text) { return StringValue::GetInstance(std::move(text)); }

TEST(ApiMethodHelper, ValidateInputRejectsNonConformingAndUnknownFields) {
  struct Case {
    char const* name;
    DataValuePtr input;
    std::vector<Expected> messages;  // empty: accepted
  };
  Case const cases[] = {
      {"conforming", Address({{"host", Str("h")}}), {}},
      {"string for an integer", Address({{"host", Str("h")}, {"port", Str("x8")}}), {}},
      {"missing field", Address({}), {{MessageIds::kValidationMissingField, {"host"}}}},
      {"unknown field",
       Address({{"host", Str("h")}, {"scheme", Str("https")}}),
       {{MessageIds::kValidationUnexpectedField, {"scheme"}}}},
      {"wrong kind",
       Data::IntegerValue::GetInstance(1),
       {{MessageIds::kValidationWrongKind, {"<root>", "structure", "integer"}}}},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.name);
    std::shared_ptr<Core::MethodResult const> result;
    bool const ok = ApiMethodHelper::ValidateInput("get", AddressDefinition(), c.input, result);
    EXPECT_EQ(ok, c.messages.empty());
    if (c.messages.empty()) {
      EXPECT_FALSE(result);
      continue;
    }
    ASSERT_TRUE(result);
    EXPECT_TRUE(result->final);
    EXPECT_FALSE(result->output);
    ASSERT_TRUE(result->error);
    EXPECT_EQ(result->error->name(), Data::Wire::kInvalidArgumentError);
    ExpectMessages(result->error, c.messages);
  }
}

TEST(ApiMethodHelper, ValidateOutputPassesConformingOutputsOnly) {
  struct Case {
    char const* name;
    DataValuePtr output;
    std::vector<Expected> messages;  // empty: passes
  };
  Case const cases[] = {
      {"conforming", Address({{"host", Str("h")}}), {}},
      // Outputs, unlike inputs, may carry fields a newer server added.
      {"extra field", Address({{"host", Str("h")}, {"scheme", Str("https")}}), {}},
      {"missing field", Address({}), {{MessageIds::kValidationMissingField, {"host"}}}},
      {"null", nullptr, {{MessageIds::kValidationWrongKind, {"<root>", "structure", "null"}}}},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.name);
    auto result = ApiMethodHelper::ValidateOutput("get", AddressDefinition(), c.output);
    ASSERT_TRUE(result);
    EXPECT_TRUE(result->final);
    if (c.messages.empty()) {
      EXPECT_EQ(result->output, c.output);
      EXPECT_FALSE(result->error);
      continue;
    }
    EXPECT_FALSE(result->output);
    ASSERT_TRUE(result->error);
    EXPECT_EQ(result->error->name(), Data::Wire::kInternalServerError);
    ExpectMessages(result->error, c.messages);
  }
}

TEST(ApiMethodHelper, ValidateErrorPassesDeclaredAndRuntimeErrorsOnly) {
  auto const wellFormedNotFound =
      ErrorValue::Create(Data::Wire::kNotFoundError, {BaseMessage("shop.missing", "Gone", {})});
  // Without its "messages" field: not what the declaration describes.
  ErrorValuePtr const malformedNotFound = ErrorValue::GetInstance(Data::Wire::kNotFoundError);
  ErrorValuePtr const bareInternal = ErrorValue::GetInstance(Data::Wire::kInternalServerError);
  std::list<DataDefinitionPtr> const declared = {
      Data::Wire::StandardErrorDefinition(Data::Wire::kAlreadyExistsError),
      Data::Wire::StandardErrorDefinition(Data::Wire::kNotFoundError)};
  // A declared error may also be described by a reference to its definition.
  auto const notFoundDefinition = std::static_pointer_cast<StructDefinition const>(
      Data::Wire::StandardErrorDefinition(Data::Wire::kNotFoundError));
  auto reference = Data::StructRefDefinition::GetInstance(Data::Wire::kNotFoundError);
  reference->SetTarget(notFoundDefinition);

  struct Case {
    char const* name;
    std::list<DataDefinitionPtr> declared;
    ErrorValuePtr error;
    bool passes;
    char const* errorName;           // when it does not pass
    std::vector<Expected> messages;  // when it does not pass
  };
  Case const cases[] = {
      {"declared", declared, wellFormedNotFound, true, nullptr, {}},
      {"declared by reference", {reference}, wellFormedNotFound, true, nullptr, {}},
      {"declared, malformed",
       declared,
       malformedNotFound,
       false,
       Data::Wire::kInternalServerError,
       {{MessageIds::kValidationMissingField, {"messages"}}}},
      {"not declared",
       {declared.front()},
       wellFormedNotFound,
       false,
       Data::Wire::kInternalServerError,
       {{MessageIds::kErrorNotDeclared, {Data::Wire::kNotFoundError, "get"}}}},
      {"no declarations",
       {},
       ErrorValue::Create("shop.custom", {}),
       false,
       Data::Wire::kInternalServerError,
       {{MessageIds::kErrorNotDeclared, {"shop.custom", "get"}}}},
      {"invalid_argument",
       {},
       ErrorValue::GetInstance(Data::Wire::kInvalidArgumentError),
       true,
       nullptr,
       {}},
      {"internal_server_error", {}, bareInternal, true, nullptr, {}},
      {"operation_not_found",
       {},
       ErrorValue::GetInstance(Data::Wire::kOperationNotFoundError),
       true,
       nullptr,
       {}},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.name);
    auto result = ApiMethodHelper::ValidateError("get", c.declared, c.error);
    ASSERT_TRUE(result);
    EXPECT_TRUE(result->final);
    EXPECT_FALSE(result->output);
    if (c.passes) {
      EXPECT_EQ(result->error, c.error);
      continue;
    }
    ASSERT_TRUE(result->error);
    EXPECT_NE(result->error, c.error);
    EXPECT_EQ(result->error->name(), c.errorName);
    ExpectMessages(result->error, c.messages);
  }
}

// An operation that answers every call with its own name as output.
class EchoMethod : public AsyncApiMethod {
 public:
  explicit EchoMethod(std::string name) : name_(std::move(name)) {}
  std::string const& methodName() const override { return name_; }
  std::shared_ptr<Core::MethodDefinition const> definition(
      std::shared_ptr<Core::InterfaceIdentifier const> const&) const override {
    return nullptr;
  }
  DataDefinitionPtr inputDefinition() const override { return nullptr; }
  DataDefinitionPtr outputDefinition() const override { return nullptr; }
  std::list<DataDefinitionPtr> errorDefinitions() override { return {}; }
  std::list<DataDefinitionPtr> const& errorDefinitions() const override { return none_; }
  void Invoke(DataValuePtr const&, std::shared_ptr<Core::AsyncActivation> const&,
              Core::AsyncApiResultCb const& resultCb) const override {
    resultCb(
        std::make_shared<Core::MethodResult const>(Core::MethodResult{Str(name_), nullptr, true}),
        Progress::Final(), nullptr);
  }

 private:
  std::string name_;
  std::list<DataDefinitionPtr> none_;
};

struct Answer {
  std::shared_ptr<Core::MethodResult const> result;
  Progress progress;
  int calls = 0;
};

Core::AsyncApiResultCb Recorder(Answer& answer) {
  return Core::AsyncApiResultCb([&answer](std::shared_ptr<Core::MethodResult const> const& result,
                                          Progress const& progress,
                                          Core::AsyncApiResultCb::Continuation&&) {
    answer.result = result;
    answer.progress = progress;
    ++answer.calls;
  });
}

TEST(AsyncApiInterface, DispatchesByNameAndAnswersUnknownOperations) {
  auto list = std::make_shared<EchoMethod const>("list");
  auto get = std::make_shared<EchoMethod const>("get");
  auto shadowed = std::make_shared<EchoMethod const>("get");
  auto interface =
      AsyncApiInterface::GetInstance(std::make_shared<Core::InterfaceIdentifier const>("test.shop"),
                                     {list, nullptr, get, shadowed});
  EXPECT_EQ(interface->identifier()->name, "test.shop");
  EXPECT_EQ(interface->methods(), (AsyncApiInterface::Methods{list, get, shadowed}));
  EXPECT_EQ(interface->Find("get"), get);
  EXPECT_EQ(interface->Find("delete"), nullptr);

  struct Case {
    char const* operation;
    char const* output;  // null: not found
  };
  Case const cases[] = {{"list", "list"}, {"get", "get"}, {"delete", nullptr}, {"", nullptr}};
  for (auto const& c : cases) {
    SCOPED_TRACE(c.operation);
    Answer answer;
    interface->Invoke(c.operation, nullptr, std::make_shared<Core::AsyncActivation>(),
                      Recorder(answer));
    ASSERT_EQ(answer.calls, 1);
    ASSERT_TRUE(answer.result);
    EXPECT_TRUE(answer.result->final);
    EXPECT_EQ(answer.progress, Progress(0, 1, 1));
    if (c.output) {
      EXPECT_TRUE(Data::Equal(answer.result->output, Str(c.output)));
      EXPECT_FALSE(answer.result->error);
      continue;
    }
    EXPECT_FALSE(answer.result->output);
    ASSERT_TRUE(answer.result->error);
    EXPECT_EQ(answer.result->error->name(), Data::Wire::kOperationNotFoundError);
    ExpectMessages(answer.result->error,
                   {{MessageIds::kOperationNotFound, {"test.shop", c.operation}}});
  }
}

TEST(AsyncApiMethodResultCb, ReleasedAfterOutputOrErrorAndThrowsWhenEmpty) {
  struct Case {
    char const* name;
    boost::optional<DataValuePtr> output;
    ErrorValuePtr error;
    bool released;
  };
  Case const cases[] = {
      {"progress", boost::none, nullptr, false},
      {"output", DataValuePtr(Str("x")), nullptr, true},
      {"null output", DataValuePtr(), nullptr, true},
      {"error", boost::none, ErrorValue::GetInstance("e"), true},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.name);
    int calls = 0;
    AsyncApiMethod::ResultCb const callback(
        [&calls](boost::optional<DataValuePtr> const&, ErrorValuePtr const&, Progress const&,
                 AsyncApiMethod::ResultCb::Continuation&&) { ++calls; });
    AsyncApiMethod::ResultCb const copy = callback;
    copy(c.output, c.error, Progress(0, 2, 1), nullptr);
    EXPECT_EQ(calls, 1);
    // Copies share the callable: releasing it through one empties both.
    EXPECT_EQ(static_cast<bool>(callback), !c.released);
    if (c.released) {
      EXPECT_THROW(callback(boost::none, nullptr, Progress(0, 2, 1), nullptr),
                   std::bad_function_call);
    } else {
      callback(boost::none, nullptr, Progress(0, 2, 2), nullptr);
      EXPECT_EQ(calls, 2);
    }
  }
  EXPECT_THROW(AsyncApiMethod::ResultCb()(boost::none, nullptr, Progress(), nullptr),
               std::bad_function_call);
}

}  // namespace
}  // namespace Provider
}  // namespace Tirn
