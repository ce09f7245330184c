#include "tirn/stub/async_result_wrapper.h"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <boost/optional/optional_io.hpp>

#include "tests/convert.h"
#include "tests/shapes.h"
#include "tirn/message/message_ids.h"
#include "tirn/runtime/value/wire_shapes.h"
#include "tirn/stub/async_method_invoker.h"

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
using Wrapper = AsyncResultWrapper::ResultWrapper<AddressPtr, Handle>;
using Data::DataValuePtr;
using Data::ErrorValuePtr;

// Each delivery as text: the progress, the value's host and port, and the error's name (or
// "same error" for the one reported) with each message's id and arguments; "native" marks a
// native error.
Handle Recording(std::vector<std::string>& deliveries, bool nativeOnly, ErrorValuePtr reported) {
  auto record = [&deliveries, reported](boost::optional<AddressPtr> const& value,
                                        ErrorValuePtr const& error, bool native,
                                        Progress const& p) {
    std::string text = std::to_string(p.maximum) + "/" + std::to_string(p.current);
    if (value) text += " " + (*value)->host + ":" + std::to_string((*value)->port.value_or(-1));
    if (error) text += error == reported ? " same error" : " " + error->name() + ":";
    if (error) text += test_convert::Said(error->GetMessages());
    deliveries.push_back(text + (native ? " native" : ""));
  };
  if (!nativeOnly) {
    return Handle(Handle::Plain(
        [record](boost::optional<AddressPtr> const& value, ErrorValuePtr const& error,
                 Progress const& p) { record(value, error, false, p); }));
  }
  return Handle(Handle::WithNativeError(
      [record](boost::optional<AddressPtr> const& value, ErrorValuePtr const& error,
               boost::optional<Data::NativeError> const& nativeError,
               Progress const& p) { record(value, error, static_cast<bool>(nativeError), p); }));
}

std::shared_ptr<Core::MethodResult const> Result(DataValuePtr output, ErrorValuePtr error) {
  return std::make_shared<Core::MethodResult const>(
      Core::MethodResult{std::move(output), std::move(error), true});
}

DataValuePtr AddressValue() {
  return test_convert::Struct("test.shapes.address",
                              {{"host", test_convert::Str("h")}, {"port", test_convert::Int(443)}});
}

// A report of the runtime: its result (null: progress) and progress.
using Report = std::pair<std::shared_ptr<Core::MethodResult const>, Progress>;

TEST(ResultWrapper, TurnsRuntimeReportsIntoDeliveries) {
  auto const notFound = Data::ErrorValue::Create(Data::Wire::kNotFoundError, {});
  std::string const invalid = "1/1 invalid_argument: ";
  // The runtime's reports, and the deliveries they make.
  std::tuple<char const*, std::vector<Report>, std::vector<std::string>> const cases[] = {
      {"two progress reports, then a value",
       {{nullptr, Progress(0, 3, 1)},
        {nullptr, Progress(0, 3, 2)},
        {Result(AddressValue(), nullptr), Progress(7, 9, 9)}},
       {"3/1", "3/2", "1/1 h:443"}},
      {"an error", {{Result(nullptr, notFound), Progress(0, 5, 5)}}, {"1/1 same error"}},
      {"an output and an error",
       {{Result(AddressValue(), notFound), Progress(0, 1, 1)}},
       {"1/1 same error"}},
      {"neither output nor error", {{Result(nullptr, nullptr), Progress(0, 1, 1)}}, {"1/1"}},
      {"an output that is not a structure",
       {{Result(Data::StringValue::GetInstance("abc"), nullptr), Progress(0, 1, 1)}},
       {invalid + MessageIds::kBadCast + ",abc " + MessageIds::kAtPath + ",<root>"}},
      {"an output of the wrong kind",
       {{Result(Data::IntegerValue::GetInstance(1), nullptr), Progress(0, 1, 1)}},
       {invalid + MessageIds::kInvalidType + " " + MessageIds::kAtPath + ",<root>"}},
  };
  for (bool nativeOnly : {false, true}) {
    for (auto const& [name, reports, expected] : cases) {
      SCOPED_TRACE(std::string(name) + (nativeOnly ? " (native-error callable)" : ""));
      std::vector<std::string> deliveries;
      Wrapper const wrapper(Recording(deliveries, nativeOnly, notFound));
      for (auto const& [result, progress] : reports) {
        wrapper(result, progress, [](std::shared_ptr<Core::AsyncApiResultCb>) {
          ADD_FAILURE() << "continuation called";
        });
      }
      EXPECT_EQ(deliveries, expected);
    }
  }
  // A handle without callables throws at its first delivery.
  Wrapper const empty{Handle()};
  EXPECT_THROW(empty(nullptr, Progress(0, 2, 1), nullptr), std::bad_function_call);
  EXPECT_THROW(empty(Result(AddressValue(), nullptr), Progress(0, 1, 1), nullptr),
               std::bad_function_call);
}

TEST(ResultWrapperDeathTest, AnyDeliveryAfterTheFinalOneTerminates) {
  // The final report, after which any delivery ends the process.
  std::pair<char const*, std::shared_ptr<Core::MethodResult const>> const cases[] = {
      {"value", Result(AddressValue(), nullptr)},
      {"error", Result(nullptr, Data::ErrorValue::Create(Data::Wire::kNotFoundError, {}))},
      {"unconvertible value", Result(Data::IntegerValue::GetInstance(1), nullptr)},
  };
  for (auto const& [name, final] : cases) {
    SCOPED_TRACE(name);
    std::vector<std::string> deliveries;
    Wrapper const wrapper(Recording(deliveries, false, nullptr));
    wrapper(final, Progress(0, 1, 1), nullptr);
    EXPECT_DEATH(wrapper(nullptr, Progress(0, 2, 1), nullptr), "");
  }
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
  input.spec = Shapes::MakeAddress("h");
  EXPECT_THROW(AsyncMethodInvoker::Invoke<GetAddressMethod>(
                   input, std::make_shared<Core::AsyncActivation>(),
                   Recording(deliveries, false, nullptr),
                   std::make_shared<AsyncApiStub>(std::make_shared<ThrowingProvider>())),
               std::runtime_error);
  EXPECT_EQ(deliveries, std::vector<std::string>{std::string("1/1 ") +
                                                 Data::Wire::kInternalServerError + ": " +
                                                 MessageIds::kCallAbandoned});
}

}  // namespace
}  // namespace Stub
}  // namespace Tirn
