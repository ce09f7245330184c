#include "tirn/provider/async_api_method_result_filter.h"

#include <gtest/gtest.h>

#include <list>
#include <memory>
#include <string>
#include <vector>

#include "tests/shapes.h"
#include "tirn/data/native_to_definition_adapter.h"
#include "tirn/message/message_ids.h"
#include "tirn/provider/async_api_method_signal.h"
#include "tirn/runtime/wire_shapes.h"

namespace Tirn {
namespace Provider {
namespace {

using AddressPtr = std::shared_ptr<Shapes::Address const>;
using Filter = AsyncApiMethodResultFilter<AddressPtr>;
using Data::DataValuePtr;
using Data::ErrorValuePtr;

AddressPtr Address(std::string host, boost::optional<long long> port) {
  auto address = std::make_shared<Shapes::Address>();
  address->host = std::move(host);
  address->port = port;
  return address;
}

std::string HostOf(DataValuePtr const& value) {
  auto const* host = static_cast<Data::CompoundValue const&>(*value).FindField("host");
  return host && *host ? static_cast<Data::StringValue const&>(**host).value() : "";
}

// What a result function received.
struct Report {
  boost::optional<DataValuePtr> output;
  ErrorValuePtr error;
  Progress progress;
  bool withContinuation;
};

Filter::ResultFunction Recording(std::vector<Report>& reports) {
  return [&reports](boost::optional<DataValuePtr> const& output, ErrorValuePtr const& error,
                    Progress const& progress, AsyncApiMethod::ResultCb::Continuation&& next) {
    reports.push_back({output, error, progress, static_cast<bool>(next)});
  };
}

TEST(AsyncApiMethodResultFilter, ProgressStaysLiveAndTheFirstFinalReportIsTheLast) {
  auto const notFound = Data::ErrorValue::Create(Data::Wire::kNotFoundError, {});
  struct Step {
    boost::optional<AddressPtr> result;
    ErrorValuePtr error;
    Progress progress;
  };
  struct Expected {
    char const* host;   // an output
    char const* error;  // an error name
    Progress progress;
  };
  struct Case {
    char const* name;
    std::vector<Step> steps;
    std::vector<Expected> reports;
  };
  Case const cases[] = {
      {"progress, progress, result, result",
       {{boost::none, nullptr, Progress(0, 3, 1)},
        {boost::none, nullptr, Progress(0, 3, 2)},
        {Address("a", 1), nullptr, Progress(0, 1, 1)},
        {Address("b", 1), nullptr, Progress(0, 1, 1)}},
       {{nullptr, nullptr, Progress(0, 3, 1)},
        {nullptr, nullptr, Progress(0, 3, 2)},
        {"a", nullptr, Progress(0, 1, 1)}}},
      {"error, then result",
       {{boost::none, notFound, Progress(0, 1, 1)}, {Address("b", 1), nullptr, Progress(0, 1, 1)}},
       {{nullptr, Data::Wire::kNotFoundError, Progress(0, 1, 1)}}},
      {"result and error",
       {{Address("a", 1), notFound, Progress(0, 1, 1)}},
       {{nullptr, Data::Wire::kNotFoundError, Progress(0, 1, 1)}}},
      {"unconvertible result, then result",
       {{AddressPtr(), nullptr, Progress(0, 1, 1)}, {Address("b", 1), nullptr, Progress(0, 1, 1)}},
       {{nullptr, Data::Wire::kInternalServerError, Progress(0, 1, 1)}}},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<Report> reports;
    Filter filter(Recording(reports), std::make_shared<Core::AsyncActivation>());
    for (auto const& step : c.steps) filter(step.result, step.error, boost::none, step.progress);
    ASSERT_EQ(reports.size(), c.reports.size());
    for (std::size_t i = 0; i < reports.size(); ++i) {
      SCOPED_TRACE(i);
      EXPECT_EQ(reports[i].progress, c.reports[i].progress);
      EXPECT_FALSE(reports[i].withContinuation);
      EXPECT_EQ(static_cast<bool>(reports[i].output), c.reports[i].host != nullptr);
      if (c.reports[i].host) {
        EXPECT_EQ(HostOf(*reports[i].output), c.reports[i].host);
      }
      EXPECT_EQ(static_cast<bool>(reports[i].error), c.reports[i].error != nullptr);
      if (c.reports[i].error && reports[i].error) {
        EXPECT_EQ(reports[i].error->name(), c.reports[i].error);
      }
    }
  }
}

TEST(AsyncApiMethodResultFilter, EmptyResultFunctionThrows) {
  Filter filter(Filter::ResultFunction(), std::make_shared<Core::AsyncActivation>());
  EXPECT_THROW(filter(boost::none, nullptr, boost::none, Progress(0, 2, 1)),
               std::bad_function_call);
  EXPECT_THROW(filter(Address("a", 1), nullptr, boost::none, Progress(0, 1, 1)),
               std::bad_function_call);
}

using VariantPtr = std::shared_ptr<Shapes::Variant const>;
using StreamFilter = AsyncApiMethodResultFilter<VariantPtr>;

template <class T>
Data::DataDefinitionPtr Define() {
  Data::DataDefinitionPtr definition;
  std::list<BaseMessage> const messages;
  Data::NativeToDefinitionAdapter::Adapt(Data::NativeToDefinitionAdapter::AdaptMethod<T>::Get(),
                                         &definition, messages);
  return definition;
}

VariantPtr Variant(Shapes::Color kind) {
  auto variant = std::make_shared<Shapes::Variant>();
  variant->kind = kind;
  return variant;
}

std::string KindOf(DataValuePtr const& value) {
  auto const* kind = static_cast<Data::CompoundValue const&>(*value).FindField("kind");
  return kind && *kind ? static_cast<Data::StringValue const&>(**kind).value() : "";
}

// A signal with a variant output, driven by a handler that keeps a result filter for the test
// to report through by hand.
std::shared_ptr<AsyncApiMethodSignal> Signal(std::vector<StreamFilter>& filters) {
  auto signal = AsyncApiMethodSignal::GetInstance(
      "stream", Data::StructDefinition::GetInstance("test.any_input", {}),
      Define<Shapes::Variant>(), {}, nullptr);
  signal->Connect([&filters](DataValuePtr const&,
                             std::shared_ptr<Core::AsyncActivation> const& activation,
                             AsyncApiMethod::ResultCb const& result) {
    filters.emplace_back(StreamFilter::ResultFunction(result), activation);
  });
  return signal;
}

struct Received {
  std::shared_ptr<Core::MethodResult const> result;
  Core::AsyncApiResultCb::Continuation next;
};

Core::AsyncApiResultCb Runtime(std::vector<Received>& received) {
  return Core::AsyncApiResultCb([&received](std::shared_ptr<Core::MethodResult const> const& r,
                                            Progress const&,
                                            Core::AsyncApiResultCb::Continuation&& next) {
    received.push_back({r, std::move(next)});
  });
}

TEST(AsyncApiMethodResultFilter, StreamedPiecesAreConvertedValidatedAndDeliveredInTurn) {
  std::vector<StreamFilter> filters;
  auto signal = Signal(filters);
  std::vector<Received> first;
  signal->Invoke(Data::StructValue::GetInstance("test.any_input"),
                 std::make_shared<Core::AsyncActivation>(), Runtime(first));
  ASSERT_EQ(filters.size(), 1u);

  std::vector<OptionalPtr<StreamFilter::StreamResult>> handles;
  auto const next = [&handles](OptionalPtr<StreamFilter::StreamResult> handle) {
    handles.push_back(std::move(handle));
  };

  // Piece 1 through the call's own result filter.
  filters[0](Variant(Shapes::Color::GREEN), nullptr, boost::none, Progress(0, 1, 1), next);
  ASSERT_EQ(first.size(), 1u);
  ASSERT_TRUE(first[0].result && first[0].result->output);
  EXPECT_EQ(KindOf(first[0].result->output), "GREEN");
  ASSERT_TRUE(first[0].next);

  // Piece 2 converts, but its definition requires the case that RED activates.
  std::vector<Received> second;
  first[0].next(std::make_shared<Core::AsyncApiResultCb>(Runtime(second)));
  ASSERT_EQ(handles.size(), 1u);
  ASSERT_TRUE(handles[0]);
  handles[0]->value(Variant(Shapes::Color::RED), next);
  ASSERT_EQ(second.size(), 1u);
  ASSERT_TRUE(second[0].result && second[0].result->error);
  EXPECT_FALSE(second[0].result->output);
  EXPECT_EQ(second[0].result->error->name(), Data::Wire::kInternalServerError);
  auto const messages = second[0].result->error->GetMessages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages.front().id(), MessageIds::kValidationUnionCaseMissing);
  EXPECT_EQ(messages.front().args(), (std::list<std::string>{"red_case", "kind", "RED"}));
  ASSERT_TRUE(second[0].next);

  // Piece 3 cannot be converted at all: an internal error without messages, and the stream
  // ends there.
  std::vector<Received> third;
  second[0].next(std::make_shared<Core::AsyncApiResultCb>(Runtime(third)));
  ASSERT_EQ(handles.size(), 2u);
  ASSERT_TRUE(handles[1]);
  handles[1]->value(VariantPtr(), next);
  ASSERT_EQ(third.size(), 1u);
  ASSERT_TRUE(third[0].result && third[0].result->error);
  EXPECT_EQ(third[0].result->error->name(), Data::Wire::kInternalServerError);
  EXPECT_TRUE(third[0].result->error->GetMessages().empty());
  EXPECT_FALSE(third[0].next);

  // A runtime that wants no further piece hands over no callback: `next` gets no handle.
  first[0].next(nullptr);
  ASSERT_EQ(handles.size(), 3u);
  EXPECT_FALSE(handles[2]);

  // A piece without `next` offers the runtime no continuation.
  std::vector<Received> fourth;
  first[0].next(std::make_shared<Core::AsyncApiResultCb>(Runtime(fourth)));
  ASSERT_EQ(handles.size(), 4u);
  ASSERT_TRUE(handles[3]);
  handles[3]->value(Variant(Shapes::Color::GREEN));
  ASSERT_EQ(fourth.size(), 1u);
  ASSERT_TRUE(fourth[0].result && fourth[0].result->output);
  EXPECT_FALSE(fourth[0].next);

  EXPECT_EQ(first.size(), 1u);
  EXPECT_EQ(second.size(), 1u);
  EXPECT_EQ(third.size(), 1u);
}

}  // namespace
}  // namespace Provider
}  // namespace Tirn
