#include "tirn/stub/async_method_invoker.h"

#include <gtest/gtest.h>

#include <list>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/shapes.h"
#include "tirn/message/message_ids.h"
#include "tirn/runtime/wire_shapes.h"

namespace StubTest {

// Stands for a service's AsyncServiceInterface: only its TypeInfo is used.
class AddressService {};

struct GetAddressMethod {
  using Input = Shapes::Input;
  using ResultCbType =
      Tirn::AsyncResult<std::shared_ptr<Shapes::Address const>, Tirn::AsyncResultTerminateCbPolicy>;
  using Interface = AddressService;
  static std::string methodName() { return "get_address"; }
};

}  // namespace StubTest

namespace Tirn {
namespace Data {
template <>
struct TypeInfo<StubTest::AddressService> {
  static std::string const& name() {
    static std::string const kName = "test.stub.address_service";
    return kName;
  }
};
}  // namespace Data

namespace Stub {
namespace {

using StubTest::GetAddressMethod;
using AddressPtr = std::shared_ptr<Shapes::Address const>;
using Handle = GetAddressMethod::ResultCbType;

class RecordingProvider : public Core::AsyncApiProvider {
 public:
  struct Call {
    std::shared_ptr<Core::MethodIdentifier const> method;
    Data::DataValuePtr input;
    std::shared_ptr<Core::AsyncActivation> activation;
    Core::AsyncApiResultCb resultCb;
  };
  void Invoke(std::shared_ptr<Core::MethodIdentifier const> const& method,
              Data::DataValuePtr const& input,
              std::shared_ptr<Core::AsyncActivation> const& activation,
              Core::AsyncApiResultCb const& resultCb) override {
    calls.push_back({method, input, activation, resultCb});
  }
  std::vector<Call> calls;
};

// Each delivery as text: the value's host, or the error's name with each message's id and
// arguments, after the progress.
Handle Recording(std::vector<std::string>& deliveries) {
  return Handle(Handle::Plain([&deliveries](boost::optional<AddressPtr> const& value,
                                            Data::ErrorValuePtr const& error, Progress const& p) {
    std::string text = std::to_string(p.maximum) + "/" + std::to_string(p.current);
    if (value) text += " " + (*value ? (*value)->host : "null");
    if (error) text += " " + error->name() + ":";
    for (auto const& message : error ? error->GetMessages() : std::list<BaseMessage>()) {
      text += " " + message.id();
      for (auto const& arg : message.args()) text += "," + arg;
    }
    deliveries.push_back(text);
  }));
}

std::shared_ptr<Shapes::Address const> Address(std::string host) {
  auto address = std::make_shared<Shapes::Address>();
  address->host = std::move(host);
  return address;
}

std::shared_ptr<Core::MethodResult const> Output(std::string host) {
  auto value = Data::StructValue::GetInstance("test.shapes.address");
  value->SetField("host", Data::StringValue::GetInstance(std::move(host)));
  return std::make_shared<Core::MethodResult const>(Core::MethodResult{value, nullptr, true});
}

// A string field of a structure value.
std::string FieldText(Data::DataValuePtr const& value, char const* name) {
  auto const* field = static_cast<Data::CompoundValue const&>(*value).FindField(name);
  return static_cast<Data::StringValue const&>(**field).value();
}

TEST(AsyncMethodInvoker, InputThatDoesNotConvertIsAnsweredAtOnceAndNeverSent) {
  // The filter's record lacks its required address: the failure is found inside an optional.
  Shapes::Input input;
  input.spec = Address("h");
  input.filter = OptionalPtr<Shapes::Record const>(std::make_shared<Shapes::Record>());
  auto provider = std::make_shared<RecordingProvider>();
  std::vector<std::string> deliveries;
  Handle const handle = Recording(deliveries);
  AsyncMethodInvoker::Invoke<GetAddressMethod>(input, std::make_shared<Core::AsyncActivation>(),
                                               handle, std::make_shared<AsyncApiStub>(provider));
  EXPECT_TRUE(provider->calls.empty());
  EXPECT_EQ(deliveries,
            std::vector<std::string>{std::string("1/1 ") + Data::Wire::kInvalidArgumentError +
                                     ": " + MessageIds::kUnsetNonOptionalField +
                                     ",test.shapes.address " + MessageIds::kAtPath +
                                     ",filter.address"});
  // The error went through the caller's own handle, which is now spent.
  EXPECT_DEATH(handle.error(nullptr), "");
}

TEST(AsyncMethodInvoker, EachCallIsSentOnItsOwnAndAnswersThroughItsOwnCopyOfTheHandle) {
  auto provider = std::make_shared<RecordingProvider>();
  auto apiStub = std::make_shared<AsyncApiStub>(provider);
  auto const activation = std::make_shared<Core::AsyncActivation>();
  std::vector<std::string> deliveries;
  Handle const handle = Recording(deliveries);
  Shapes::Input input;
  input.target = "t";
  input.spec = Address("h");
  AsyncMethodInvoker::Invoke<GetAddressMethod>(input, activation, handle, apiStub);
  AsyncMethodInvoker::Invoke<GetAddressMethod>(input, activation, handle, apiStub);

  EXPECT_TRUE(deliveries.empty());
  ASSERT_EQ(provider->calls.size(), 2u);
  auto const& call = provider->calls[0];
  ASSERT_TRUE(call.method && call.method->interface);
  EXPECT_EQ(call.method->interface->name, "test.stub.address_service");
  EXPECT_EQ(call.method->name, "get_address");
  EXPECT_EQ(call.activation, activation);
  ASSERT_TRUE(call.input && call.input->GetType().kind() == Data::DataType::STRUCTURE);
  EXPECT_EQ(static_cast<Data::CompoundValue const&>(*call.input).name(),
            "test.shapes.operation_input");
  EXPECT_EQ(FieldText(call.input, "target"), "t");
  auto const* spec = static_cast<Data::CompoundValue const&>(*call.input).FindField("spec");
  ASSERT_TRUE(spec);
  EXPECT_EQ(FieldText(*spec, "host"), "h");
  // Every call has identifiers and values of its own.
  EXPECT_NE(provider->calls[1].method, call.method);
  EXPECT_NE(provider->calls[1].input, call.input);

  // Answering the first call spends only that call's copy: the second still answers.
  provider->calls[0].resultCb(Output("first"), Progress(0, 1, 1), nullptr);
  provider->calls[1].resultCb(Output("second"), Progress(0, 1, 1), nullptr);
  EXPECT_EQ(deliveries, (std::vector<std::string>{"1/1 first", "1/1 second"}));
  // The runtime's callback released the wrapper with its final result.
  EXPECT_FALSE(provider->calls[0].resultCb);
  EXPECT_THROW(provider->calls[0].resultCb(Output("again"), Progress(0, 1, 1), nullptr),
               std::bad_function_call);
  // The caller's handle is still live.
  handle.error(nullptr);
  EXPECT_EQ(deliveries.size(), 3u);
}

class ThrowingProvider : public Core::AsyncApiProvider {
 public:
  void Invoke(std::shared_ptr<Core::MethodIdentifier const> const&, Data::DataValuePtr const&,
              std::shared_ptr<Core::AsyncActivation> const&,
              Core::AsyncApiResultCb const&) override {
    throw std::runtime_error("provider down");
  }
};

TEST(AsyncMethodInvoker, AProviderThatThrowsPassesTheExceptionOnAndTheCallEndsAsAbandoned) {
  std::vector<std::string> deliveries;
  Shapes::Input input;
  input.spec = Address("h");
  EXPECT_THROW(AsyncMethodInvoker::Invoke<GetAddressMethod>(
                   input, std::make_shared<Core::AsyncActivation>(), Recording(deliveries),
                   std::make_shared<AsyncApiStub>(std::make_shared<ThrowingProvider>())),
               std::runtime_error);
  EXPECT_EQ(deliveries, std::vector<std::string>{std::string("1/1 ") +
                                                 Data::Wire::kInternalServerError + ": " +
                                                 MessageIds::kCallAbandoned});
}

}  // namespace
}  // namespace Stub
}  // namespace Tirn
