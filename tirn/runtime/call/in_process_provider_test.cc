#include "tirn/runtime/call/in_process_provider.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/convert.h"
#include "tirn/message/message_ids.h"
#include "tirn/runtime/value/wire_shapes.h"

namespace Tirn {
namespace Core {
namespace {

using Data::DataValuePtr;
using test_convert::AnsweringMethod;

std::shared_ptr<Provider::AsyncApiInterface const> Interface(
    std::string const& name, std::shared_ptr<Provider::AsyncApiMethod const> const& method) {
  return Provider::AsyncApiInterface::GetInstance(std::make_shared<InterfaceIdentifier const>(name),
                                                  {method});
}

std::shared_ptr<MethodIdentifier const> Method(std::string const& interfaceName,
                                               std::string const& methodName = "get") {
  return std::make_shared<MethodIdentifier const>(
      std::make_shared<InterfaceIdentifier const>(interfaceName), methodName);
}

// The answers of one call, as text: the output string, or the error's name with each
// message's id and arguments; "not final" and a progress other than 0/1/1 are marked.
std::string Call(InProcessApiProvider& provider,
                 std::shared_ptr<MethodIdentifier const> const& method,
                 std::shared_ptr<AsyncActivation> const& activation = nullptr,
                 DataValuePtr const& input = nullptr) {
  std::string text;
  provider.Invoke(method, input, activation,
                  AsyncApiResultCb([&text](std::shared_ptr<MethodResult const> const& result,
                                           Progress const& progress,
                                           AsyncApiResultCb::Continuation&&) {
                    if (!text.empty()) text += " | another answer: ";
                    if (!result) return void(text += "no result");
                    if (!result->final || progress != Progress(0, 1, 1)) text += "not final ";
                    if (result->output) {
                      text += static_cast<Data::StringValue const&>(*result->output).value();
                    }
                    if (!result->error) return;
                    text += "error " + result->error->name() + ":";
                    text += test_convert::Said(result->error->GetMessages());
                  }));
  return text;
}

std::string NotFound(std::string const& interfaceName, std::string const& methodName) {
  return std::string("error ") + Data::Wire::kOperationNotFoundError + ": " +
         MessageIds::kOperationNotFound + "," + interfaceName + "," + methodName;
}

TEST(InProcessApiProvider, RegistrationDecidesWhichInterfaceServes) {
  InProcessApiProvider provider;
  auto first = Interface("test.shop", std::make_shared<AnsweringMethod const>("get", "first"));
  auto second = Interface("test.shop", std::make_shared<AnsweringMethod const>("get", "second"));

  EXPECT_EQ(Call(provider, Method("test.shop")), NotFound("test.shop", "get"));
  EXPECT_FALSE(provider.Register(first));
  EXPECT_EQ(provider.Find("test.shop"), first);
  EXPECT_EQ(Call(provider, Method("test.shop")), "first");
  EXPECT_TRUE(provider.Register(second));
  EXPECT_EQ(Call(provider, Method("test.shop")), "second");
  EXPECT_FALSE(provider.Register(nullptr));
  EXPECT_EQ(Call(provider, Method("test.shop")), "second");
  EXPECT_TRUE(provider.Unregister("test.shop"));
  EXPECT_FALSE(provider.Unregister("test.shop"));
  EXPECT_EQ(provider.Find("test.shop"), nullptr);
  EXPECT_EQ(Call(provider, Method("test.shop")), NotFound("test.shop", "get"));

  // Unknown interfaces and operations, and missing identifiers.
  provider.Register(first);
  EXPECT_EQ(Call(provider, Method("test.other")), NotFound("test.other", "get"));
  EXPECT_EQ(Call(provider, Method("test.shop", "list")), NotFound("test.shop", "list"));
  EXPECT_EQ(Call(provider, std::make_shared<MethodIdentifier const>(nullptr, "get")),
            NotFound("", "get"));
  EXPECT_EQ(Call(provider, nullptr), NotFound("", ""));
}

TEST(InProcessApiProvider, EveryCallGetsItsOwnActivation) {
  InProcessApiProvider provider;
  auto method = std::make_shared<AnsweringMethod const>("get", "x");
  provider.Register(Interface("test.shop", method));

  auto caller = std::make_shared<AsyncActivation>();
  caller->executionContext = std::make_shared<ExecutionContext>();
  caller->executionContext->applicationData["trace"] = {"abc", std::string("header")};
  caller->executionContext->securityContext["user"] =
      SecurityContextWrappedEntry{{"bearer", {{"sub", "alice"}}}, "token", {}, boost::none};
  caller->properties["origin"] = "test";
  caller->flags = 7;

  auto const input = Data::StringValue::GetInstance("in");
  EXPECT_EQ(Call(provider, Method("test.shop"), caller, input), "x");
  EXPECT_EQ(Call(provider, Method("test.shop"), caller, input), "x");
  EXPECT_EQ(Call(provider, Method("test.shop")), "x");
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
  EXPECT_EQ(*activations[2]->executionContext, ExecutionContext());
  EXPECT_TRUE(activations[2]->properties.empty());
}

TEST(InProcessApiProvider, RegistrationAndCallsRunConcurrently) {
  InProcessApiProvider provider;
  auto stable = Interface("test.stable", std::make_shared<AnsweringMethod const>("get", "stable"));
  provider.Register(stable);
  auto const flapping =
      Interface("test.flapping", std::make_shared<AnsweringMethod const>("get", "flapping"));

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
        if (Call(provider, Method("test.stable")) != "stable") ++unexpected;
        std::string const outcome = Call(provider, Method("test.flapping"));
        if (outcome != "flapping" && outcome != NotFound("test.flapping", "get")) ++unexpected;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(unexpected.load(), 0);
  EXPECT_EQ(provider.Find("test.stable"), stable);
  EXPECT_EQ(provider.Find("test.flapping"), nullptr);
}

}  // namespace
}  // namespace Core
}  // namespace Tirn
