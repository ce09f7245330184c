#include "tirn/provider/async_api_method_result_filter.h"

#include <gtest/gtest.h>

#include <list>
#include <memory>
#include <string>
#include <vector>

#include "tests/convert.h"
#include "tests/shapes.h"
#include "tirn/message/message_ids.h"
#include "tirn/provider/async_api_method_signal.h"
#include "tirn/runtime/value/wire_shapes.h"

namespace Tirn {
namespace Provider {
namespace {

using AddressPtr = std::shared_ptr<Shapes::Address const>;
using Filter = AsyncApiMethodResultFilter<AddressPtr>;
using Shapes::MakeAddress;
using Data::DataValuePtr;
using Data::ErrorValuePtr;

// A string field of a structure value.
std::string FieldOf(DataValuePtr const& value, char const* name) {
  auto const* field = static_cast<Data::CompoundValue const&>(*value).FindField(name);
  return static_cast<Data::StringValue const&>(**field).value();
}

TEST(AsyncApiMethodResultFilter, ProgressStaysLiveAndTheFirstFinalReportIsTheLast) {
  auto const notFound = Data::ErrorValue::Create(Data::Wire::kNotFoundError, {});
  struct Step {
    boost::optional<AddressPtr> result;
    ErrorValuePtr error;
    Progress progress;
  };
  struct Case {
    char const* name;
    std::vector<Step> steps;
    std::vector<std::string> reports;  // the progress's current, the output's host, the error
  } const cases[] = {
      {"progress, progress, result, result",
       {{boost::none, nullptr, Progress(0, 3, 1)},
        {boost::none, nullptr, Progress(0, 3, 2)},
        {MakeAddress("a"), nullptr, Progress(0, 1, 1)},
        {MakeAddress("b"), nullptr, Progress(0, 1, 1)}},
       {"1", "2", "1 a"}},
      {"error, then result",
       {{boost::none, notFound, Progress(0, 1, 1)}, {MakeAddress("b"), nullptr, Progress(0, 1, 1)}},
       {std::string("1 ") + Data::Wire::kNotFoundError}},
      {"result and error",
       {{MakeAddress("a"), notFound, Progress(0, 1, 1)}},
       {std::string("1 ") + Data::Wire::kNotFoundError}},
      {"unconvertible result, then result",
       {{AddressPtr(), nullptr, Progress(0, 1, 1)}, {MakeAddress("b"), nullptr, Progress(0, 1, 1)}},
       {std::string("1 ") + Data::Wire::kInternalServerError}},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> reports;
    Filter filter(
        [&reports](boost::optional<DataValuePtr> const& output, ErrorValuePtr const& error,
                   Progress const& progress, AsyncApiMethod::ResultCb::Continuation&& next) {
          std::string text = std::to_string(progress.current);
          if (output) text += " " + FieldOf(*output, "host");
          if (error) text += " " + error->name();
          if (next) text += " with continuation";
          reports.push_back(text);
        },
        std::make_shared<Core::AsyncActivation>());
    for (auto const& step : c.steps) filter(step.result, step.error, boost::none, step.progress);
    EXPECT_EQ(reports, c.reports);
  }

  Filter empty(Filter::ResultFunction(), std::make_shared<Core::AsyncActivation>());
  EXPECT_THROW(empty(boost::none, nullptr, boost::none, Progress(0, 2, 1)),
               std::bad_function_call);
  EXPECT_THROW(empty(MakeAddress("a"), nullptr, boost::none, Progress(0, 1, 1)),
               std::bad_function_call);
}

using VariantPtr = std::shared_ptr<Shapes::Variant const>;
using StreamFilter = AsyncApiMethodResultFilter<VariantPtr>;

VariantPtr Variant(Shapes::Color kind) {
  auto variant = std::make_shared<Shapes::Variant>();
  variant->kind = kind;
  return variant;
}

struct Received {
  std::string text;  // the output's kind, or the error's name with its messages
  Core::AsyncApiResultCb::Continuation next;
};

Core::AsyncApiResultCb Runtime(std::vector<Received>& received) {
  return Core::AsyncApiResultCb([&received](std::shared_ptr<Core::MethodResult const> const& r,
                                            Progress const&,
                                            Core::AsyncApiResultCb::Continuation&& next) {
    std::string text = r && r->output ? FieldOf(r->output, "kind") : "";
    if (r && r->error) {
      text += r->error->name() + ":";
      text += test_convert::Said(r->error->GetMessages());
    }
    received.push_back({text, std::move(next)});
  });
}

TEST(AsyncApiMethodResultFilter, StreamedPiecesAreConvertedValidatedAndDeliveredInTurn) {
  // A signal with a variant output, driven by a handler that keeps a result filter for the
  // test to report through by hand.
  auto signal = AsyncApiMethodSignal::GetInstance(
      "stream", Data::StructDefinition::GetInstance("test.any_input", {}),
      test_convert::Define<Shapes::Variant>(), {}, nullptr);
  std::vector<StreamFilter> filters;
  signal->Connect([&filters](DataValuePtr const&,
                             std::shared_ptr<Core::AsyncActivation> const& activation,
                             AsyncApiMethod::ResultCb const& result) {
    filters.emplace_back(StreamFilter::ResultFunction(result), activation);
  });
  std::vector<Received> received[4];
  signal->Invoke(Data::StructValue::GetInstance("test.any_input"),
                 std::make_shared<Core::AsyncActivation>(), Runtime(received[0]));
  ASSERT_EQ(filters.size(), 1u);

  std::vector<OptionalPtr<StreamFilter::StreamResult>> handles;
  auto const next = [&handles](OptionalPtr<StreamFilter::StreamResult> handle) {
    handles.push_back(std::move(handle));
  };
  // Piece 1 through the call's own result filter.
  filters[0](Variant(Shapes::Color::GREEN), nullptr, boost::none, Progress(0, 1, 1), next);
  ASSERT_EQ(received[0].size(), 1u);
  EXPECT_EQ(received[0][0].text, "GREEN");
  ASSERT_TRUE(received[0][0].next);

  // Piece 2 converts, but its definition requires the case that RED activates; piece 3 cannot
  // be converted at all, and the stream ends there.
  VariantPtr const pieces[] = {Variant(Shapes::Color::RED), nullptr};
  std::string const internal = std::string(Data::Wire::kInternalServerError) + ":";
  std::string const expected[] = {
      internal + " " + MessageIds::kValidationUnionCaseMissing + ",red_case,kind,RED", internal};
  for (int i = 1; i <= 2; ++i) {
    SCOPED_TRACE(i);
    ASSERT_TRUE(received[i - 1].size() == 1u && received[i - 1][0].next);
    received[i - 1][0].next(std::make_shared<Core::AsyncApiResultCb>(Runtime(received[i])));
    ASSERT_EQ(handles.size(), static_cast<std::size_t>(i));
    ASSERT_TRUE(handles[i - 1]);
    handles[i - 1]->value(pieces[i - 1], next);
    ASSERT_EQ(received[i].size(), 1u);
    EXPECT_EQ(received[i][0].text, expected[i - 1]);
  }
  EXPECT_FALSE(received[2][0].next);

  // A runtime that wants no further piece hands over no callback: `next` gets no handle.
  received[0][0].next(nullptr);
  ASSERT_EQ(handles.size(), 3u);
  EXPECT_FALSE(handles[2]);

  // A piece without `next` offers the runtime no continuation.
  received[0][0].next(std::make_shared<Core::AsyncApiResultCb>(Runtime(received[3])));
  ASSERT_TRUE(handles.size() == 4u && handles[3]);
  handles[3]->value(Variant(Shapes::Color::GREEN));
  ASSERT_EQ(received[3].size(), 1u);
  EXPECT_EQ(received[3][0].text, "GREEN");
  EXPECT_FALSE(received[3][0].next);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(received[i].size(), 1u);
}

}  // namespace
}  // namespace Provider
}  // namespace Tirn
