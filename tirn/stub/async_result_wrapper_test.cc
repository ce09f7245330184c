#include "tirn/stub/async_result_wrapper.h"

#include <gtest/gtest.h>

#include <list>
#include <memory>
#include <string>
#include <vector>

#include <boost/optional/optional_io.hpp>

#include "tests/shapes.h"
#include "tirn/message/message_ids.h"
#include "tirn/runtime/wire_shapes.h"

namespace Tirn {
namespace Stub {
namespace {

using AddressPtr = std::shared_ptr<Shapes::Address const>;
using Handle = AsyncResult<AddressPtr, AsyncResultTerminateCbPolicy>;
using Wrapper = AsyncResultWrapper::ResultWrapper<AddressPtr, Handle>;
using Data::DataValuePtr;
using Data::ErrorValuePtr;

struct Delivery {
  boost::optional<AddressPtr> value;
  ErrorValuePtr error;
  Progress progress;
  bool nativeErrorSet = false;
};

// A handle that records its deliveries, through the plain callable or, with `nativeOnly`,
// through the native-error callable alone.
Handle Recording(std::vector<Delivery>& deliveries, bool nativeOnly) {
  if (!nativeOnly) {
    return Handle(Handle::Plain([&deliveries](boost::optional<AddressPtr> const& value,
                                              ErrorValuePtr const& error, Progress const& p) {
      deliveries.push_back({value, error, p, false});
    }));
  }
  return Handle(Handle::WithNativeError(
      [&deliveries](boost::optional<AddressPtr> const& value, ErrorValuePtr const& error,
                    boost::optional<Data::NativeError> const& nativeError, Progress const& p) {
        deliveries.push_back({value, error, p, static_cast<bool>(nativeError)});
      }));
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

struct Expected {
  char const* host;              // null: no value
  ErrorValuePtr error;           // the exact error value delivered, or
  char const* errorName;         // the name of a new error value
  std::vector<std::string> ids;  // with these message ids
  std::list<std::string> args;   // and the first message's arguments
  Progress progress;
};

TEST(ResultWrapper, TurnsRuntimeReportsIntoDeliveries) {
  auto const notFound = Data::ErrorValue::Create(Data::Wire::kNotFoundError, {});
  struct Case {
    char const* name;
    std::vector<Report> reports;
    std::vector<Expected> deliveries;
  };
  Case const cases[] = {
      {"two progress reports, then a value",
       {{nullptr, Progress(0, 3, 1)},
        {nullptr, Progress(0, 3, 2)},
        {Result(AddressValue(), nullptr), Progress(7, 9, 9)}},
       {{nullptr, nullptr, nullptr, {}, {}, Progress(0, 3, 1)},
        {nullptr, nullptr, nullptr, {}, {}, Progress(0, 3, 2)},
        {"h", nullptr, nullptr, {}, {}, Progress(0, 1, 1)}}},
      {"an error",
       {{Result(nullptr, notFound), Progress(0, 5, 5)}},
       {{nullptr, notFound, nullptr, {}, {}, Progress(0, 1, 1)}}},
      {"an output and an error",
       {{Result(AddressValue(), notFound), Progress(0, 1, 1)}},
       {{nullptr, notFound, nullptr, {}, {}, Progress(0, 1, 1)}}},
      {"neither output nor error",
       {{Result(nullptr, nullptr), Progress(0, 1, 1)}},
       {{nullptr, nullptr, nullptr, {}, {}, Progress(0, 1, 1)}}},
      {"an output that is not a structure",
       {{Result(Data::StringValue::GetInstance("abc"), nullptr), Progress(0, 1, 1)}},
       {{nullptr,
         nullptr,
         "invalid_argument",
         {MessageIds::kBadCast},
         {"abc"},
         Progress(0, 1, 1)}}},
      {"an output of the wrong kind",
       {{Result(Data::IntegerValue::GetInstance(1), nullptr), Progress(0, 1, 1)}},
       {{nullptr, nullptr, "invalid_argument", {MessageIds::kInvalidType}, {}, Progress(0, 1, 1)}}},
  };
  for (bool nativeOnly : {false, true}) {
    for (auto const& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (nativeOnly ? " (native-error callable)" : ""));
      std::vector<Delivery> deliveries;
      Wrapper const wrapper(Recording(deliveries, nativeOnly));
      int continuationCalls = 0;
      for (auto const& report : c.reports) {
        wrapper(
            report.result, report.progress,
            [&continuationCalls](std::shared_ptr<Core::AsyncApiResultCb>) { ++continuationCalls; });
      }
      EXPECT_EQ(continuationCalls, 0);
      ASSERT_EQ(deliveries.size(), c.deliveries.size());
      for (std::size_t i = 0; i < deliveries.size(); ++i) {
        SCOPED_TRACE(i);
        Delivery const& got = deliveries[i];
        Expected const& want = c.deliveries[i];
        EXPECT_FALSE(got.nativeErrorSet);
        EXPECT_EQ(got.progress, want.progress);
        EXPECT_EQ(static_cast<bool>(got.value), want.host != nullptr);
        if (want.host) {
          ASSERT_TRUE(*got.value);
          EXPECT_EQ((*got.value)->host, want.host);
          EXPECT_EQ((*got.value)->port, boost::optional<long long>(443));
        }
        if (!want.errorName) {
          EXPECT_EQ(got.error, want.error);
          continue;
        }
        ASSERT_TRUE(got.error);
        EXPECT_EQ(got.error->name(), want.errorName);
        auto const messages = got.error->GetMessages();
        ASSERT_EQ(messages.size(), want.ids.size());
        EXPECT_EQ(messages.front().id(), want.ids.front());
        EXPECT_EQ(messages.front().args(), want.args);
      }
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
    Wrapper const wrapper(Handle(Handle::Plain(
        [](boost::optional<AddressPtr> const&, ErrorValuePtr const&, Progress const&) {})));
    wrapper(c.final, Progress(0, 1, 1), nullptr);
    EXPECT_DEATH(wrapper(nullptr, Progress(0, 2, 1), nullptr), "");
  }
}

}  // namespace
}  // namespace Stub
}  // namespace Tirn
