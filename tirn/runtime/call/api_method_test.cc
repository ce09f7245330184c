#include "tirn/runtime/call/api_method.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "tests/convert.h"
#include "tests/shapes.h"
#include "tirn/runtime/call/in_process_provider.h"
#include "tirn/message/message_ids.h"
#include "tirn/runtime/value/wire_shapes.h"

namespace Tirn {
namespace Provider {
namespace {

using Data::ErrorValue;
using Data::ErrorValuePtr;
using Result = std::shared_ptr<Core::MethodResult const>;
namespace Wire = Data::Wire;
using namespace ::test_convert;

// A result as text: "-" when there is none, else its output's text and its error's name with
// each message's id and arguments; "not final" marks a result that does not end the call.
std::string Describe(Result const& result) {
  if (!result) return "-";
  std::string text = result->final ? "" : "not final ";
  if (result->output) {
    text += "output " + static_cast<Data::StringValue const&>(*result->output).value();
  }
  if (!result->error) return text;
  return text + result->error->name() + ":" + Said(result->error->GetMessages());
}

std::string const kInternal = std::string(Wire::kInternalServerError) + ": ";

std::string NotFound(std::string const& interfaceName, std::string const& methodName) {
  return std::string(Wire::kOperationNotFoundError) + ": " + MessageIds::kOperationNotFound + "," +
         interfaceName + "," + methodName;
}

// A call's callback that appends each answer to `text` as Describe shows it, " | " between
// them; a progress other than 0/1/1 is marked.
Core::AsyncApiResultCb Answers(std::string& text) {
  return Core::AsyncApiResultCb(
      [&text](Result const& result, Progress const& p, Core::AsyncApiResultCb::Continuation&&) {
        if (!text.empty()) text += " | ";
        text += Describe(result) + (p == Progress(0, 1, 1) ? "" : " at another progress");
      });
}

// Outputs that conform or that the definition refuses: end_to_end_test.cc.
TEST(ApiMethodHelper, ValidateOutputPassesConformingOutputsOnly) {
  DataDefinitionPtr const address = Define<Shapes::Address>();
  // Outputs, unlike inputs, may carry fields a newer server added.
  DataValuePtr const extra =
      Struct("test.shapes.address", {{"host", Str("h")}, {"scheme", Str("https")}});
  Result const passed = ApiMethodHelper::ValidateOutput("get", address, extra);
  ASSERT_TRUE(passed);
  EXPECT_EQ(passed->output, extra);
  EXPECT_TRUE(passed->final && !passed->error);
  EXPECT_EQ(Describe(ApiMethodHelper::ValidateOutput("get", address, nullptr)),
            kInternal + MessageIds::kValidationWrongKind + ",<root>,structure,null");
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
  // The errors declared, the error, and what passes ("": the error unchanged).
  std::tuple<char const*, std::list<DataDefinitionPtr>, ErrorValuePtr, std::string> const
      cases[] = {
      // Errors declared, or not, as such: end_to_end_test.cc.
      {"declared by reference", {reference}, notFound, ""},
      // Without its "messages" field: not what the declaration describes.
      {"declared, malformed", declared, ErrorValue::GetInstance(Wire::kNotFoundError),
       kInternal + MessageIds::kValidationMissingField + ",messages"},
      {"no declarations", {}, ErrorValue::Create("shop.custom", {}),
       kInternal + notDeclared + "shop.custom,get"},
      {"invalid_argument", {}, ErrorValue::GetInstance(Wire::kInvalidArgumentError), ""},
      {"internal_server_error", {}, ErrorValue::GetInstance(Wire::kInternalServerError), ""},
      {"operation_not_found", {}, ErrorValue::GetInstance(Wire::kOperationNotFoundError), ""},
  };
  for (auto const& [name, declared, error, expected] : cases) {
    SCOPED_TRACE(name);
    Result const result = ApiMethodHelper::ValidateError("get", declared, error);
    ASSERT_TRUE(result);
    if (expected.empty()) {
      EXPECT_TRUE(result->error == error && !result->output && result->final);
    } else {
      EXPECT_EQ(Describe(result), expected);
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

  for (std::string const operation : {"list", "get", "delete", ""}) {
    SCOPED_TRACE(operation);
    std::string answers;
    interface->Invoke(operation, nullptr, std::make_shared<Core::AsyncActivation>(),
                      Answers(answers));
    bool const known = operation == "list" || operation == "get";
    EXPECT_EQ(answers, known ? "output " + operation : NotFound("test.shop", operation));
  }
}

TEST(AsyncApiMethodResultCb, ReleasedAfterOutputOrErrorAndThrowsWhenEmpty) {
  // The report, and whether it releases the callable.
  std::tuple<char const*, boost::optional<DataValuePtr>, ErrorValuePtr, bool> const cases[] = {
      {"progress", boost::none, nullptr, false},
      {"output", DataValuePtr(Str("x")), nullptr, true},
      {"null output", DataValuePtr(), nullptr, true},
      {"error", boost::none, ErrorValue::GetInstance("e"), true},
  };
  for (auto const& [name, output, error, released] : cases) {
    SCOPED_TRACE(name);
    int calls = 0;
    AsyncApiMethod::ResultCb const callback(
        [&calls](boost::optional<DataValuePtr> const&, ErrorValuePtr const&, Progress const&,
                 AsyncApiMethod::ResultCb::Continuation&&) { ++calls; });
    AsyncApiMethod::ResultCb const copy = callback;
    copy(output, error, Progress(0, 2, 1), nullptr);
    EXPECT_EQ(calls, 1);
    // Copies share the callable: releasing it through one empties both.
    EXPECT_EQ(static_cast<bool>(callback), !released);
    if (released) {
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

std::shared_ptr<AsyncApiInterface const> Interface(std::string const& name,
                                                   std::string const& answer) {
  return AsyncApiInterface::GetInstance(std::make_shared<Core::InterfaceIdentifier const>(name),
                                        {std::make_shared<AnsweringMethod const>("get", answer)});
}

std::shared_ptr<Core::MethodIdentifier const> Method(std::string const& interfaceName,
                                                     std::string const& methodName = "get") {
  return std::make_shared<Core::MethodIdentifier const>(
      std::make_shared<Core::InterfaceIdentifier const>(interfaceName), methodName);
}

// The answers of one call through `provider`, as Answers writes them.
std::string Call(Core::InProcessApiProvider& provider,
                 std::shared_ptr<Core::MethodIdentifier const> const& method,
                 std::shared_ptr<Core::AsyncActivation> const& activation = nullptr,
                 DataValuePtr const& input = nullptr) {
  std::string text;
  provider.Invoke(method, input, activation, Answers(text));
  return text;
}

TEST(InProcessApiProvider, RegistrationDecidesWhichInterfaceServes) {
  Core::InProcessApiProvider provider;
  auto first = Interface("test.shop", "first");
  auto second = Interface("test.shop", "second");

  EXPECT_EQ(Call(provider, Method("test.shop")), NotFound("test.shop", "get"));
  EXPECT_FALSE(provider.Register(first));
  EXPECT_EQ(provider.Find("test.shop"), first);
  EXPECT_EQ(Call(provider, Method("test.shop")), "output first");
  EXPECT_TRUE(provider.Register(second));
  EXPECT_EQ(Call(provider, Method("test.shop")), "output second");
  EXPECT_FALSE(provider.Register(nullptr));
  EXPECT_EQ(Call(provider, Method("test.shop")), "output second");
  EXPECT_TRUE(provider.Unregister("test.shop"));
  EXPECT_FALSE(provider.Unregister("test.shop"));
  EXPECT_EQ(provider.Find("test.shop"), nullptr);
  EXPECT_EQ(Call(provider, Method("test.shop")), NotFound("test.shop", "get"));

  // Unknown interfaces and missing identifiers. (Unknown operations: AsyncApiInterface, above.)
  provider.Register(first);
  EXPECT_EQ(Call(provider, Method("test.other")), NotFound("test.other", "get"));
  EXPECT_EQ(Call(provider, std::make_shared<Core::MethodIdentifier const>(nullptr, "get")),
            NotFound("", "get"));
  EXPECT_EQ(Call(provider, nullptr), NotFound("", ""));
}

TEST(InProcessApiProvider, EveryCallGetsItsOwnActivation) {
  Core::InProcessApiProvider provider;
  auto method = std::make_shared<AnsweringMethod const>("get", "x");
  provider.Register(AsyncApiInterface::GetInstance(
      std::make_shared<Core::InterfaceIdentifier const>("test.shop"), {method}));

  auto caller = std::make_shared<Core::AsyncActivation>();
  caller->executionContext = std::make_shared<Core::ExecutionContext>();
  caller->executionContext->applicationData["trace"] = {"abc", std::string("header")};
  caller->executionContext->securityContext["user"] =
      Core::SecurityContextWrappedEntry{{"bearer", {{"sub", "alice"}}}, "token", {}, boost::none};
  caller->properties["origin"] = "test";
  caller->flags = 7;

  auto const input = Data::StringValue::GetInstance("in");
  EXPECT_EQ(Call(provider, Method("test.shop"), caller, input), "output x");
  EXPECT_EQ(Call(provider, Method("test.shop"), caller, input), "output x");
  EXPECT_EQ(Call(provider, Method("test.shop")), "output x");
  auto const& activations = method->activations;
  ASSERT_EQ(activations.size(), 3u);
  EXPECT_EQ(method->inputs[0], input);
  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE(i);
    ASSERT_TRUE(activations[i] && activations[i]->executionContext);
    EXPECT_NE(activations[i], caller);
    EXPECT_NE(activations[i]->executionContext, caller->executionContext);
    EXPECT_EQ(*activations[i]->executionContext, *caller->executionContext);
    EXPECT_EQ(activations[i]->properties, caller->properties);
    EXPECT_EQ(activations[i]->flags, 0);
  }
  // What an operation writes into its activation stays with its call.
  activations[0]->executionContext->applicationData["trace"].value = "changed";
  EXPECT_EQ(caller->executionContext->applicationData["trace"].value, "abc");
  EXPECT_EQ(activations[1]->executionContext->applicationData["trace"].value, "abc");

  ASSERT_TRUE(activations[2] && activations[2]->executionContext);
  EXPECT_EQ(*activations[2]->executionContext, Core::ExecutionContext());
  EXPECT_TRUE(activations[2]->properties.empty());
}

TEST(InProcessApiProvider, RegistrationAndCallsRunConcurrently) {
  Core::InProcessApiProvider provider;
  auto stable = Interface("test.stable", "stable");
  provider.Register(stable);
  auto const flapping = Interface("test.flapping", "flapping");

  std::atomic<int> unexpected{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 500; ++i) {
        if (t == 0) {
          provider.Register(flapping);
          provider.Unregister("test.flapping");
          provider.Register(stable);  // replaces without a gap
          continue;
        }
        if (Call(provider, Method("test.stable")) != "output stable") ++unexpected;
        std::string const outcome = Call(provider, Method("test.flapping"));
        if (outcome != "output flapping" && outcome != NotFound("test.flapping", "get")) {
          ++unexpected;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(unexpected.load(), 0);
  EXPECT_EQ(provider.Find("test.stable"), stable);
  EXPECT_EQ(provider.Find("test.flapping"), nullptr);
}

}  // namespace
}  // namespace Provider
}  // namespace Tirn
