#include "tirn/runtime/call/api_method.h"

#include <gtest/gtest.h>

#include <functional>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "tests/convert.h"
#include "tirn/message/message_ids.h"
#include "tirn/runtime/value/wire_shapes.h"

namespace Tirn {
namespace Provider {
namespace {

using Data::DataDefinitionPtr;
using Data::DataValuePtr;
using Data::ErrorValue;
using Data::ErrorValuePtr;
using Result = std::shared_ptr<Core::MethodResult const>;
namespace Wire = Data::Wire;
using namespace ::test_convert;

// A result as text: "-" when there is none, else its output's kind and its error's name with
// each message's id and arguments; "not final" marks a result that does not end the call.
std::string Describe(Result const& result) {
  if (!result) return "-";
  std::string text = result->final ? "" : "not final ";
  if (result->output) {
    text += "output " + (result->output->GetType().kind() == Data::DataType::STRING
                             ? static_cast<Data::StringValue const&>(*result->output).value()
                             : std::string(result->output->GetType().name()));
  }
  if (!result->error) return text;
  text += result->error->name() + ":";
  text += test_convert::Said(result->error->GetMessages());
  return text;
}

std::string Error(char const* name, std::string const& messages) {
  return std::string(name) + ": " + messages;
}

DataDefinitionPtr AddressDefinition() {
  return Data::StructDefinition::GetInstance(
      "test.address",
      {{"host", Data::DataDefinition::Create<std::string>()},
       {"port", Data::OptionalDefinition::GetInstance(Data::DataDefinition::Create<long long>())}});
}

DataValuePtr Address(std::initializer_list<std::pair<std::string, DataValuePtr>> fields) {
  return Struct("test.address", fields);
}

TEST(ApiMethodHelper, ValidateOutputPassesConformingOutputsOnly) {
  std::string const internal = std::string(Wire::kInternalServerError) + ": ";
  struct Case {
    char const* name;
    DataValuePtr output;
    std::string expected;  // "": passes unchanged
  } const cases[] = {
      {"conforming", Address({{"host", Str("h")}}), ""},
      // Outputs, unlike inputs, may carry fields a newer server added.
      {"extra field", Address({{"host", Str("h")}, {"scheme", Str("https")}}), ""},
      {"missing field", Address({}), internal + MessageIds::kValidationMissingField + ",host"},
      {"null", nullptr, internal + MessageIds::kValidationWrongKind + ",<root>,structure,null"},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.name);
    Result const result = ApiMethodHelper::ValidateOutput("get", AddressDefinition(), c.output);
    ASSERT_TRUE(result);
    if (c.expected.empty()) {
      EXPECT_EQ(result->output, c.output);
      EXPECT_EQ(Describe(result), "output structure");  // final, without error
    } else {
      EXPECT_EQ(Describe(result), c.expected);
    }
  }
}

TEST(ApiMethodHelper, ValidateErrorPassesDeclaredAndRuntimeErrorsOnly) {
  auto const notFound =
      ErrorValue::Create(Wire::kNotFoundError, {BaseMessage("shop.missing", "Gone", {})});
  std::list<DataDefinitionPtr> const declared = {
      Wire::StandardErrorDefinition(Wire::kAlreadyExistsError),
      Wire::StandardErrorDefinition(Wire::kNotFoundError)};
  // A declared error may also be described by a reference to its definition.
  auto reference = Data::StructRefDefinition::GetInstance(Wire::kNotFoundError);
  reference->SetTarget(std::static_pointer_cast<Data::StructDefinition const>(declared.back()));
  std::string const notDeclared = std::string(MessageIds::kErrorNotDeclared) + ",";
  struct Case {
    char const* name;
    std::list<DataDefinitionPtr> declared;
    ErrorValuePtr error;
    std::string expected;  // "": passes unchanged
  } const cases[] = {
      {"declared", declared, notFound, ""},
      {"declared by reference", {reference}, notFound, ""},
      // Without its "messages" field: not what the declaration describes.
      {"declared, malformed", declared, ErrorValue::GetInstance(Wire::kNotFoundError),
       Error(Wire::kInternalServerError,
             MessageIds::kValidationMissingField + std::string(",messages"))},
      {"not declared", {declared.front()}, notFound,
       Error(Wire::kInternalServerError, notDeclared + Wire::kNotFoundError + ",get")},
      {"no declarations", {}, ErrorValue::Create("shop.custom", {}),
       Error(Wire::kInternalServerError, notDeclared + "shop.custom,get")},
      {"invalid_argument", {}, ErrorValue::GetInstance(Wire::kInvalidArgumentError), ""},
      {"internal_server_error", {}, ErrorValue::GetInstance(Wire::kInternalServerError), ""},
      {"operation_not_found", {}, ErrorValue::GetInstance(Wire::kOperationNotFoundError), ""},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.name);
    Result const result = ApiMethodHelper::ValidateError("get", c.declared, c.error);
    ASSERT_TRUE(result);
    if (c.expected.empty()) {
      EXPECT_EQ(result->error, c.error);
      EXPECT_FALSE(result->output);
      EXPECT_TRUE(result->final);
    } else {
      EXPECT_EQ(Describe(result), c.expected);
    }
  }
}

TEST(AsyncApiInterface, DispatchesByNameAndAnswersUnknownOperations) {
  auto list = std::make_shared<AnsweringMethod const>("list", "list");
  auto get = std::make_shared<AnsweringMethod const>("get", "get");
  auto shadowed = std::make_shared<AnsweringMethod const>("get", "shadowed");
  auto interface =
      AsyncApiInterface::GetInstance(std::make_shared<Core::InterfaceIdentifier const>("test.shop"),
                                     {list, nullptr, get, shadowed});
  EXPECT_EQ(interface->methods(), (AsyncApiInterface::Methods{list, get, shadowed}));
  EXPECT_EQ(interface->Find("get"), get);
  EXPECT_EQ(interface->Find("delete"), nullptr);

  for (std::string const operation : {"list", "get", "delete", ""}) {
    SCOPED_TRACE(operation);
    std::vector<std::string> answers;
    interface->Invoke(operation, nullptr, std::make_shared<Core::AsyncActivation>(),
                      Core::AsyncApiResultCb([&answers](Result const& result, Progress const& p,
                                                        Core::AsyncApiResultCb::Continuation&&) {
                        EXPECT_EQ(p, Progress(0, 1, 1));
                        answers.push_back(Describe(result));
                      }));
    std::string const expected =
        operation == "list" || operation == "get"
            ? "output " + operation
            : Error(Wire::kOperationNotFoundError,
                    MessageIds::kOperationNotFound + (",test.shop," + operation));
    EXPECT_EQ(answers, std::vector<std::string>{expected});
  }
}

TEST(AsyncApiMethodResultCb, ReleasedAfterOutputOrErrorAndThrowsWhenEmpty) {
  struct Case {
    char const* name;
    boost::optional<DataValuePtr> output;
    ErrorValuePtr error;
    bool released;
  } const cases[] = {
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

// An empty call callback holds nothing: it and its copies are false, and calling them throws.
TEST(AsyncApiResultCb, AnEmptyOneAndItsCopiesAreFalseAndThrowWhenCalled) {
  Core::AsyncApiResultCb const empty;
  Core::AsyncApiResultCb const copy = empty;
  auto const final = std::make_shared<Core::MethodResult const>();
  for (Core::AsyncApiResultCb const* callback : {&empty, &copy}) {
    EXPECT_FALSE(static_cast<bool>(*callback));
    EXPECT_THROW((*callback)(nullptr, Progress(0, 2, 1), nullptr), std::bad_function_call);
    EXPECT_THROW((*callback)(final, Progress::Final(), nullptr), std::bad_function_call);
  }
}

}  // namespace
}  // namespace Provider
}  // namespace Tirn
