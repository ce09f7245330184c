#include "tirn/stub/async_method_invoker.h"

#include <gtest/gtest.h>

#include <list>
#include <memory>
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

struct Delivery {
  boost::optional<AddressPtr> value;
  Data::ErrorValuePtr error;
  Progress progress;
};

Handle Recording(std::vector<Delivery>& deliveries) {
  return Handle(Handle::Plain([&deliveries](boost::optional<AddressPtr> const& value,
                                            Data::ErrorValuePtr const& error, Progress const& p) {
    deliveries.push_back({value, error, p});
  }));
}

std::shared_ptr<Shapes::Address const> Address(std::string host) {
  auto address = std::make_shared<Shapes::Address>();
  address->host = std::move(host);
  return address;
}

std::shared_ptr<Core::MethodResult const> Output(Data::DataValuePtr output) {
  return std::make_shared<Core::MethodResult const>(
      Core::MethodResult{std::move(output), nullptr, true});
}

Data::DataValuePtr AddressValue(std::string host) {
  auto value = Data::StructValue::GetInstance("test.shapes.address");
  value->SetField("host", Data::StringValue::GetInstance(std::move(host)));
  return value;
}

// The text of a string field of a structure value, or "<absent>".
std::string FieldText(Data::DataValuePtr const& value, char const* name) {
  if (!value || !value->GetType().IsCompound()) return "<absent>";
  auto const* field = static_cast<Data::CompoundValue const&>(*value).FindField(name);
  if (!field || !*field || (*field)->GetType().kind() != Data::DataType::STRING) {
    return "<absent>";
  }
  return static_cast<Data::StringValue const&>(**field).value();
}

TEST(AsyncMethodInvoker, InputThatDoesNotConvertIsAnsweredAtOnceAndNeverSent) {
  auto recordWithoutAddress = std::make_shared<Shapes::Record>();  // "address" is required
  struct Case {
    char const* name;
    Shapes::Input input;
  };
  Shapes::Input noSpec;
  noSpec.target = "t";
  Shapes::Input filterWithoutAddress;
  filterWithoutAddress.spec = Address("h");
  filterWithoutAddress.filter = OptionalPtr<Shapes::Record const>(recordWithoutAddress);
  Case const cases[] = {{"required structure unset", noSpec},
                        {"required structure unset inside an optional", filterWithoutAddress}};
  for (auto const& c : cases) {
    SCOPED_TRACE(c.name);
    auto provider = std::make_shared<RecordingProvider>();
    auto apiStub = std::make_shared<AsyncApiStub>(provider);
    std::vector<Delivery> deliveries;
    Handle const handle = Recording(deliveries);

    AsyncMethodInvoker::Invoke<GetAddressMethod>(c.input, std::make_shared<Core::AsyncActivation>(),
                                                 handle, apiStub);

    EXPECT_TRUE(provider->calls.empty());
    ASSERT_EQ(deliveries.size(), 1u);
    EXPECT_FALSE(deliveries[0].value);
    EXPECT_EQ(deliveries[0].progress, Progress(0, 1, 1));
    ASSERT_TRUE(deliveries[0].error);
    EXPECT_EQ(deliveries[0].error->name(), "com.ostrel.tirn.std.errors.invalid_argument");
    auto const messages = deliveries[0].error->GetMessages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages.front().id(), MessageIds::kUnsetNonOptionalField);
    EXPECT_EQ(messages.front().args(), std::list<std::string>{"test.shapes.address"});
    // The error went through the caller's own handle, which is now spent.
    EXPECT_DEATH(handle.error(nullptr), "");
  }
}

TEST(AsyncMethodInvoker, SendsTheConvertedInputUnderTheOperationsIdentifiers) {
  auto provider = std::make_shared<RecordingProvider>();
  auto apiStub = std::make_shared<AsyncApiStub>(provider);
  auto const activation = std::make_shared<Core::AsyncActivation>();
  std::vector<Delivery> deliveries;
  Handle const handle = Recording(deliveries);
  Shapes::Input input;
  input.target = "t";
  input.spec = Address("h");

  AsyncMethodInvoker::Invoke<GetAddressMethod>(input, activation, handle, apiStub);
  AsyncMethodInvoker::Invoke<GetAddressMethod>(input, activation, handle, apiStub);

  EXPECT_TRUE(deliveries.empty());
  ASSERT_EQ(provider->calls.size(), 2u);
  auto const& call = provider->calls[0];
  ASSERT_TRUE(call.method);
  ASSERT_TRUE(call.method->interface);
  EXPECT_EQ(call.method->interface->name, "test.stub.address_service");
  EXPECT_EQ(call.method->name, "get_address");
  EXPECT_EQ(call.activation, activation);
  ASSERT_TRUE(call.input);
  EXPECT_EQ(call.input->GetType().kind(), Data::DataType::STRUCTURE);
  EXPECT_EQ(static_cast<Data::CompoundValue const&>(*call.input).name(),
            "test.shapes.operation_input");
  EXPECT_EQ(FieldText(call.input, "target"), "t");
  auto const* spec = static_cast<Data::CompoundValue const&>(*call.input).FindField("spec");
  ASSERT_TRUE(spec);
  EXPECT_EQ(FieldText(*spec, "host"), "h");
  // Every call has identifiers and values of its own.
  EXPECT_NE(provider->calls[1].method, call.method);
  EXPECT_NE(provider->calls[1].input, call.input);
}

TEST(AsyncMethodInvoker, EachCallAnswersThroughItsOwnCopyOfTheHandle) {
  auto provider = std::make_shared<RecordingProvider>();
  auto apiStub = std::make_shared<AsyncApiStub>(provider);
  std::vector<Delivery> deliveries;
  Handle const handle = Recording(deliveries);
  Shapes::Input input;
  input.spec = Address("h");

  AsyncMethodInvoker::Invoke<GetAddressMethod>(input, std::make_shared<Core::AsyncActivation>(),
                                               handle, apiStub);
  AsyncMethodInvoker::Invoke<GetAddressMethod>(input, std::make_shared<Core::AsyncActivation>(),
                                               handle, apiStub);
  ASSERT_EQ(provider->calls.size(), 2u);

  // Answering the first call spends only that call's copy: the second still answers.
  provider->calls[0].resultCb(Output(AddressValue("first")), Progress(0, 1, 1), nullptr);
  provider->calls[1].resultCb(Output(AddressValue("second")), Progress(0, 1, 1), nullptr);
  ASSERT_EQ(deliveries.size(), 2u);
  ASSERT_TRUE(deliveries[0].value && *deliveries[0].value);
  EXPECT_EQ((*deliveries[0].value)->host, "first");
  ASSERT_TRUE(deliveries[1].value && *deliveries[1].value);
  EXPECT_EQ((*deliveries[1].value)->host, "second");

  // The runtime's callback released the wrapper with its final result.
  EXPECT_FALSE(provider->calls[0].resultCb);
  EXPECT_THROW(
      provider->calls[0].resultCb(Output(AddressValue("again")), Progress(0, 1, 1), nullptr),
      std::bad_function_call);
  // The caller's handle is still live.
  handle.error(nullptr);
  EXPECT_EQ(deliveries.size(), 3u);
}

}  // namespace
}  // namespace Stub
}  // namespace Tirn
