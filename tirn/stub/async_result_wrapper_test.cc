#include "tirn/stub/async_result_wrapper.h"

#include <gtest/gtest.h>

#include <list>
#include <memory>
#include <string>
#include <vector>

#include <boost/optional/optional_io.hpp>

#include "tests/convert.h"
#include "tests/shapes.h"
#include "tirn/message/message_ids.h"
#include "tirn/runtime/value/wire_shapes.h"

namespace Tirn {
namespace Stub {
namespace {

using AddressPtr = std::shared_ptr<Shapes::Address const>;
using Handle = AsyncResult<AddressPtr, AsyncResultTerminateCbPolicy>;
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
  auto value = Data::StructValue::GetInstance("test.shapes.address");
  value->SetField("host", Data::StringValue::GetInstance("h"));
  value->SetField("port", Data::IntegerValue::GetInstance(443));
  return value;
}

struct Report {
  std::shared_ptr<Core::MethodResult const> result;  // null: progress
  Progress progress;
};

TEST(ResultWrapper, TurnsRuntimeReportsIntoDeliveries) {
  auto const notFound = Data::ErrorValue::Create(Data::Wire::kNotFoundError, {});
  std::string const invalid = "1/1 invalid_argument: ";
  struct Case {
    char const* name;
    std::vector<Report> reports;
    std::vector<std::string> deliveries;
  } const cases[] = {
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
    for (auto const& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (nativeOnly ? " (native-error callable)" : ""));
      std::vector<std::string> deliveries;
      Wrapper const wrapper(Recording(deliveries, nativeOnly, notFound));
      for (auto const& report : c.reports) {
        wrapper(report.result, report.progress, [](std::shared_ptr<Core::AsyncApiResultCb>) {
          ADD_FAILURE() << "continuation called";
        });
      }
      EXPECT_EQ(deliveries, c.deliveries);
    }
  }
}

TEST(ResultWrapper, HandleWithoutCallablesThrowsOnFirstDelivery) {
  Wrapper const wrapper{Handle()};
  EXPECT_THROW(wrapper(nullptr, Progress(0, 2, 1), nullptr), std::bad_function_call);
  EXPECT_THROW(wrapper(Result(AddressValue(), nullptr), Progress(0, 1, 1), nullptr),
               std::bad_function_call);
}

TEST(ResultWrapperDeathTest, AnyDeliveryAfterTheFinalOneTerminates) {
  struct Case {
    char const* name;
    std::shared_ptr<Core::MethodResult const> final;
  };
  Case const cases[] = {
      {"value", Result(AddressValue(), nullptr)},
      {"error", Result(nullptr, Data::ErrorValue::Create(Data::Wire::kNotFoundError, {}))},
      {"unconvertible value", Result(Data::IntegerValue::GetInstance(1), nullptr)},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> deliveries;
    Wrapper const wrapper(Recording(deliveries, false, nullptr));
    wrapper(c.final, Progress(0, 1, 1), nullptr);
    EXPECT_DEATH(wrapper(nullptr, Progress(0, 2, 1), nullptr), "");
  }
}

}  // namespace
}  // namespace Stub
}  // namespace Tirn
