#include "tirn/stub/async_api_stub.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tirn/message/message_ids.h"
#include "tirn/runtime/wire_shapes.h"

namespace Tirn {
namespace Stub {
namespace {

using Core::AsyncActivation;
using Core::ExecutionContext;

// Records every call it is given; never answers.
class RecordingProvider : public Core::AsyncApiProvider {
 public:
  struct Call {
    std::shared_ptr<Core::MethodIdentifier const> method;
    Data::DataValuePtr input;
    std::shared_ptr<AsyncActivation> activation;
  };
  void Invoke(std::shared_ptr<Core::MethodIdentifier const> const& method,
              Data::DataValuePtr const& input, std::shared_ptr<AsyncActivation> const& activation,
              Core::AsyncApiResultCb const&) override {
    calls.push_back({method, input, activation});
  }
  std::vector<Call> calls;
};

std::shared_ptr<Core::MethodIdentifier const> Method() {
  return std::make_shared<Core::MethodIdentifier const>(
      std::make_shared<Core::InterfaceIdentifier const>("test.shop"), "get");
}

std::shared_ptr<AsyncActivation> Template() {
  auto activation = std::make_shared<AsyncActivation>();
  activation->executionContext = std::make_shared<ExecutionContext>();
  activation->executionContext->applicationData["trace"] = {"abc", boost::none};
  activation->properties["origin"] = "template";
  activation->flags = 5;
  return activation;
}

TEST(AsyncApiStub, ProviderReceivesTheCallersActivationOrAFreshCopyOfTheTemplate) {
  auto provider = std::make_shared<RecordingProvider>();
  std::shared_ptr<AsyncActivation const> const templateActivation = Template();
  AsyncApiStub const stub(provider, templateActivation);
  auto const own = std::make_shared<AsyncActivation>();
  auto const method = Method();
  auto const input = Data::StringValue::GetInstance("in");

  stub.Invoke(method, input, own, Core::AsyncApiResultCb());
  stub.Invoke(method, input, nullptr, Core::AsyncApiResultCb());
  stub.Invoke(method, input, nullptr, Core::AsyncApiResultCb());

  ASSERT_EQ(provider->calls.size(), 3u);
  for (auto const& call : provider->calls) {
    EXPECT_EQ(call.method, method);
    EXPECT_EQ(call.input, input);
  }
  // The caller's own activation passes untouched, without even a context added.
  EXPECT_EQ(provider->calls[0].activation, own);
  EXPECT_FALSE(own->executionContext);

  for (int i = 1; i <= 2; ++i) {
    SCOPED_TRACE(i);
    auto const& copy = provider->calls[i].activation;
    ASSERT_TRUE(copy && copy->executionContext);
    EXPECT_NE(copy, templateActivation);
    EXPECT_NE(copy->executionContext, templateActivation->executionContext);
    EXPECT_EQ(*copy->executionContext, *templateActivation->executionContext);
    EXPECT_EQ(copy->properties, templateActivation->properties);
    EXPECT_EQ(copy->flags, 0);
  }
  EXPECT_NE(provider->calls[1].activation->executionContext,
            provider->calls[2].activation->executionContext);
  EXPECT_EQ(templateActivation->flags, 5);
}

TEST(AsyncApiStub, CallWithoutAnyActivationIsRejectedWithoutReachingTheProvider) {
  auto provider = std::make_shared<RecordingProvider>();
  std::vector<std::shared_ptr<Core::MethodResult const>> received;
  AsyncApiStub(provider).Invoke(
      Method(), Data::StringValue::GetInstance("in"), nullptr,
      Core::AsyncApiResultCb([&](std::shared_ptr<Core::MethodResult const> const& result,
                                 Progress const& progress, Core::AsyncApiResultCb::Continuation&&) {
        EXPECT_EQ(progress, Progress(0, 1, 1));
        received.push_back(result);
      }));
  EXPECT_TRUE(provider->calls.empty());
  ASSERT_EQ(received.size(), 1u);
  ASSERT_TRUE(received[0] && received[0]->error);
  EXPECT_TRUE(received[0]->final);
  EXPECT_FALSE(received[0]->output);
  EXPECT_EQ(received[0]->error->name(), Data::Wire::kInvalidArgumentError);
  auto const messages = received[0]->error->GetMessages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages.front().id(), MessageIds::kNoActivation);
  EXPECT_TRUE(messages.front().args().empty());
}

}  // namespace
}  // namespace Stub
}  // namespace Tirn
