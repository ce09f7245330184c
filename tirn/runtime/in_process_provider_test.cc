#include "tirn/runtime/in_process_provider.h"

#include <gtest/gtest.h>

#include <atomic>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tirn/message/message_ids.h"
#include "tirn/runtime/wire_shapes.h"

namespace Tirn {
namespace Core {
namespace {

using Data::DataDefinitionPtr;
using Data::DataValuePtr;
using Data::StringValue;

// An operation that records the activation of each call and answers with `answer_` as output.
class RecordingMethod : public Provider::AsyncApiMethod {
 public:
  RecordingMethod(std::string name, std::string answer)
      : name_(std::move(name)), answer_(std::move(answer)) {}

  std::string const& methodName() const override { return name_; }
  std::shared_ptr<MethodDefinition const> definition(
      std::shared_ptr<InterfaceIdentifier const> const&) const override {
    return nullptr;
  }
  DataDefinitionPtr inputDefinition() const override { return nullptr; }
  DataDefinitionPtr outputDefinition() const override { return nullptr; }
  std::list<DataDefinitionPtr> errorDefinitions() override { return {}; }
  std::list<DataDefinitionPtr> const& errorDefinitions() const override { return none_; }

  void Invoke(DataValuePtr const& input, std::shared_ptr<AsyncActivation> const& activation,
              AsyncApiResultCb const& resultCb) const override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      activations_.push_back(activation);
      inputs_.push_back(input);
    }
    resultCb(std::make_shared<MethodResult const>(
                 MethodResult{StringValue::GetInstance(answer_), nullptr, true}),
             Progress::Final(), nullptr);
  }

  std::vector<std::shared_ptr<AsyncActivation>> activations() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return activations_;
  }
  std::vector<DataValuePtr> inputs() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return inputs_;
  }

 private:
  std::string name_;
  std::string answer_;
  std::list<DataDefinitionPtr> none_;
  mutable std::mutex mutex_;
  mutable std::vector<std::shared_ptr<AsyncActivation>> activations_;
  mutable std::vector<DataValuePtr> inputs_;
};

std::shared_ptr<Provider::AsyncApiInterface const> Interface(
    std::string const& name, std::shared_ptr<Provider::AsyncApiMethod const> const& method) {
  return Provider::AsyncApiInterface::GetInstance(std::make_shared<InterfaceIdentifier const>(name),
                                                  {method});
}

std::shared_ptr<MethodIdentifier const> Method(std::string const& interfaceName,
                                               std::string const& methodName) {
  return std::make_shared<MethodIdentifier const>(
      std::make_shared<InterfaceIdentifier const>(interfaceName), methodName);
}

struct Answer {
  std::shared_ptr<MethodResult const> result;
  Progress progress;
  int calls = 0;
};

AsyncApiResultCb Recorder(Answer& answer) {
  return AsyncApiResultCb([&answer](std::shared_ptr<MethodResult const> const& result,
                                    Progress const& progress, AsyncApiResultCb::Continuation&&) {
    answer.result = result;
    answer.progress = progress;
    ++answer.calls;
  });
}

// The output text of a successful answer, or the error's name prefixed with "error:".
std::string Outcome(Answer const& answer) {
  if (answer.calls != 1 || !answer.result) return "no answer";
  if (answer.result->error) return "error:" + answer.result->error->name();
  if (!answer.result->output || answer.result->output->GetType().kind() != Data::DataType::STRING) {
    return "unexpected output";
  }
  return static_cast<StringValue const&>(*answer.result->output).value();
}

std::string Call(InProcessApiProvider& provider,
                 std::shared_ptr<MethodIdentifier const> const& method) {
  Answer answer;
  provider.Invoke(method, nullptr, std::make_shared<AsyncActivation>(), Recorder(answer));
  return Outcome(answer);
}

TEST(InProcessApiProvider, RegistrationDecidesWhichInterfaceServes) {
  InProcessApiProvider provider;
  auto first = Interface("test.shop", std::make_shared<RecordingMethod const>("get", "first"));
  auto second = Interface("test.shop", std::make_shared<RecordingMethod const>("get", "second"));
  std::string const notFound = std::string("error:") + Data::Wire::kOperationNotFoundError;

  EXPECT_EQ(Call(provider, Method("test.shop", "get")), notFound);
  EXPECT_FALSE(provider.Register(first));
  EXPECT_EQ(provider.Find("test.shop"), first);
  EXPECT_EQ(Call(provider, Method("test.shop", "get")), "first");
  EXPECT_TRUE(provider.Register(second));
  EXPECT_EQ(Call(provider, Method("test.shop", "get")), "second");
  EXPECT_FALSE(provider.Register(nullptr));
  EXPECT_EQ(Call(provider, Method("test.shop", "get")), "second");
  EXPECT_TRUE(provider.Unregister("test.shop"));
  EXPECT_FALSE(provider.Unregister("test.shop"));
  EXPECT_EQ(provider.Find("test.shop"), nullptr);
  EXPECT_EQ(Call(provider, Method("test.shop", "get")), notFound);
}

TEST(InProcessApiProvider, UnknownInterfaceOrOperationIsOperationNotFound) {
  InProcessApiProvider provider;
  provider.Register(Interface("test.shop", std::make_shared<RecordingMethod const>("get", "x")));
  struct Case {
    char const* name;
    std::shared_ptr<MethodIdentifier const> method;
    std::list<std::string> args;
  };
  Case const cases[] = {
      {"unknown interface", Method("test.other", "get"), {"test.other", "get"}},
      {"unknown operation", Method("test.shop", "list"), {"test.shop", "list"}},
      {"no interface identifier",
       std::make_shared<MethodIdentifier const>(nullptr, "get"),
       {"", "get"}},
      {"no method identifier", nullptr, {"", ""}},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.name);
    Answer answer;
    provider.Invoke(c.method, nullptr, nullptr, Recorder(answer));
    ASSERT_EQ(answer.calls, 1);
    ASSERT_TRUE(answer.result);
    EXPECT_TRUE(answer.result->final);
    EXPECT_FALSE(answer.result->output);
    EXPECT_EQ(answer.progress, Progress(0, 1, 1));
    ASSERT_TRUE(answer.result->error);
    EXPECT_EQ(answer.result->error->name(), Data::Wire::kOperationNotFoundError);
    auto const messages = answer.result->error->GetMessages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages.front().id(), MessageIds::kOperationNotFound);
    EXPECT_EQ(messages.front().args(), c.args);
  }
}

TEST(InProcessApiProvider, EveryCallGetsItsOwnActivation) {
  InProcessApiProvider provider;
  auto method = std::make_shared<RecordingMethod const>("get", "x");
  provider.Register(Interface("test.shop", method));

  auto caller = std::make_shared<AsyncActivation>();
  caller->executionContext = std::make_shared<ExecutionContext>();
  caller->executionContext->applicationData["trace"] = {"abc", std::string("header")};
  caller->executionContext->securityContext["user"] =
      SecurityContextWrappedEntry{{"bearer", {{"sub", "alice"}}}, "token", {}, boost::none};
  caller->properties["origin"] = "test";
  caller->flags = 7;

  auto const input = StringValue::GetInstance("in");
  Answer first;
  Answer second;
  Answer withoutActivation;
  provider.Invoke(Method("test.shop", "get"), input, caller, Recorder(first));
  provider.Invoke(Method("test.shop", "get"), input, caller, Recorder(second));
  provider.Invoke(Method("test.shop", "get"), input, nullptr, Recorder(withoutActivation));
  EXPECT_EQ(Outcome(first), "x");
  EXPECT_EQ(Outcome(second), "x");
  EXPECT_EQ(Outcome(withoutActivation), "x");

  auto const activations = method->activations();
  ASSERT_EQ(activations.size(), 3u);
  EXPECT_EQ(method->inputs()[0], input);
  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE(i);
    auto const& received = activations[i];
    ASSERT_TRUE(received);
    EXPECT_NE(received, caller);
    ASSERT_TRUE(received->executionContext);
    EXPECT_NE(received->executionContext, caller->executionContext);
    EXPECT_EQ(*received->executionContext, *caller->executionContext);
    EXPECT_EQ(received->properties, caller->properties);
    EXPECT_EQ(received->flags, 0);
  }
  EXPECT_NE(activations[0]->executionContext, activations[1]->executionContext);

  // What an operation writes into its activation stays with its call.
  activations[0]->executionContext->applicationData["trace"].value = "changed";
  EXPECT_EQ(caller->executionContext->applicationData["trace"].value, "abc");
  EXPECT_EQ(activations[1]->executionContext->applicationData["trace"].value, "abc");

  ASSERT_TRUE(activations[2]);
  ASSERT_TRUE(activations[2]->executionContext);
  EXPECT_EQ(*activations[2]->executionContext, ExecutionContext());
  EXPECT_TRUE(activations[2]->properties.empty());
}

TEST(InProcessApiProvider, RegistrationAndCallsRunConcurrently) {
  InProcessApiProvider provider;
  auto stable = Interface("test.stable", std::make_shared<RecordingMethod const>("get", "stable"));
  provider.Register(stable);
  auto const flapping =
      Interface("test.flapping", std::make_shared<RecordingMethod const>("get", "flapping"));
  std::string const notFound = std::string("error:") + Data::Wire::kOperationNotFoundError;

  constexpr int kThreads = 4;
  constexpr int kRounds = 500;
  std::atomic<int> unexpected{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        if (t == 0) {
          provider.Register(flapping);
          provider.Unregister("test.flapping");
          // Re-registering the same identifier replaces without a gap.
          provider.Register(stable);
          continue;
        }
        if (Call(provider, Method("test.stable", "get")) != "stable") ++unexpected;
        std::string const outcome = Call(provider, Method("test.flapping", "get"));
        if (outcome != "flapping" && outcome != notFound) ++unexpected;
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
