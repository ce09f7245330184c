// The provider method signal and the result filter a method filter puts between it and the
// implementation. Values, progress, declared and undeclared errors and outputs that do not convert
// are proved end to end (tests/end_to_end_test.cc).
#include "tirn/provider/async_api_method_signal.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "tests/convert.h"
#include "tests/shapes.h"
#include "tirn/message/message_ids.h"
#include "tirn/provider/async_api_method_result_filter.h"
#include "tirn/runtime/value/wire_shapes.h"
#include "tirn/std/errors.h"

namespace Tirn {
namespace Provider {
namespace {

using namespace ::test_convert;
using Data::ErrorValue;
using Data::ErrorValuePtr;
using Result = std::shared_ptr<Core::MethodResult const>;
using AddressPtr = std::shared_ptr<Shapes::Address const>;
using Shapes::MakeAddress;
namespace Errors = Com::Ostrel::Tirn::Std::Errors;

DataValuePtr AddressValue(std::string host) {
  return Struct("test.shapes.address", {{"host", Str(std::move(host))}});
}

DataValuePtr InputValue() {
  return Struct("test.shapes.operation_input", {{"target", Str("t")}, {"spec", AddressValue("h")}});
}

ErrorValuePtr NotFound() {
  return ErrorValue::Create(Data::Wire::kNotFoundError, {BaseMessage("shop.gone", "Gone", {})});
}

std::shared_ptr<AsyncApiMethodSignal> Signal(std::shared_ptr<L10n::Localizer> localizer) {
  return AsyncApiMethodSignal::GetInstance(
      "get", Define<Shapes::Input>(), Define<Shapes::Address>(),
      {Data::Wire::StandardErrorDefinition(Data::Wire::kNotFoundError)}, localizer);
}

std::shared_ptr<L10n::Localizer> German() {
  return std::make_shared<L10n::Localizer>(
      std::map<std::string, L10n::Localizer::Catalog>{{"de", {{"shop.gone", "{1} ist weg"}}}});
}

// The text of the string field `name` of a structure value; "" when it has none.
std::string TextOf(DataValuePtr const& value, char const* name) {
  DataValuePtr const field = FieldOf(value, name);
  return field ? static_cast<Data::StringValue const&>(*field).value() : "";
}

// What the runtime's callback received, as text: the progress, then "-" for a progress report, or
// the output's host or kind and the error's name with its messages' ids and arguments.
struct Received {
  std::string text;
  Core::AsyncApiResultCb::Continuation next;
};

std::string Describe(Result const& result, Progress const& p) {
  std::string text =
      std::to_string(p.minimum) + "/" + std::to_string(p.maximum) + "/" + std::to_string(p.current);
  if (!result) return text + " -";
  if (!result->final) text += " not final";
  if (result->output) text += " " + TextOf(result->output, "host") + TextOf(result->output, "kind");
  if (!result->error) return text;
  return text + " " + result->error->name() + ":" + Said(result->error->GetMessages());
}

Core::AsyncApiResultCb Runtime(std::vector<Received>& received) {
  return Core::AsyncApiResultCb(
      [&received](Result const& r, Progress const& p, Core::AsyncApiResultCb::Continuation&& next) {
        received.push_back({Describe(r, p), std::move(next)});
      });
}

// What the handler was called with.
struct HandlerCall {
  DataValuePtr input;
  std::shared_ptr<Core::AsyncActivation> activation;
  std::shared_ptr<L10n::Localizer const> localizer;  // the activation's, on entry
  AsyncApiMethod::ResultCb result;
};

AsyncApiMethodSignal::Handler Handler(std::vector<HandlerCall>& calls) {
  return [&calls](DataValuePtr const& input, std::shared_ptr<Core::AsyncActivation> const& a,
                  AsyncApiMethod::ResultCb const& result) {
    calls.push_back({input, a, a->requestLocalizer.localizer, result});
  };
}

std::string const kFinal = "0/1/1 ";

// Without a handler, or with input that validation refuses, the call is answered at once.
TEST(AsyncApiMethodSignal, InputIsAnsweredAtOnceWhenNoHandlerMayTakeIt) {
  std::string const internal = kFinal + Data::Wire::kInternalServerError + ": ";
  // The call, whether a handler is connected, the input, and the answer.
  std::tuple<char const*, bool, DataValuePtr, std::string> const cases[] = {
      {"not connected, valid input", false, InputValue(),
       internal + MessageIds::kSignalNotConnected},
      {"not connected, no input (which would not validate)", false, nullptr,
       internal + MessageIds::kSignalNotConnected},
      {"field the operation does not know", true,
       Struct("test.shapes.operation_input",
              {{"target", Str("t")}, {"spec", AddressValue("h")}, {"extra", Str("x")}}),
       kFinal + Data::Wire::kInvalidArgumentError + ": " + MessageIds::kValidationUnexpectedField +
           ",extra"},
  };
  for (auto const& [name, connected, input, expected] : cases) {
    SCOPED_TRACE(name);
    auto signal = Signal(German());
    std::vector<HandlerCall> calls;
    if (connected) signal->Connect(Handler(calls));
    auto activation = std::make_shared<Core::AsyncActivation>();
    auto const keep = std::make_shared<L10n::Localizer const>();
    activation->requestLocalizer.localizer = keep;
    std::vector<Received> received;
    signal->Invoke(input, activation, Runtime(received));
    EXPECT_TRUE(calls.empty());
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].text, expected);
    EXPECT_FALSE(received[0].next);
    EXPECT_EQ(activation->requestLocalizer.localizer, keep);
  }
}

TEST(AsyncApiMethodSignal, ValidInputReachesTheHandlerWithTheSignalsLocalizer) {
  for (auto const& localizer : {German(), std::shared_ptr<L10n::Localizer>()}) {
    SCOPED_TRACE(localizer ? "bound localizer" : "no localizer");
    auto signal = Signal(localizer);
    // Declared first, so that it outlives the unanswered call the handler keeps.
    std::vector<Received> received;
    std::vector<HandlerCall> calls;
    signal->Connect(Handler(calls));
    auto activation = std::make_shared<Core::AsyncActivation>();
    activation->requestLocalizer.localizer = std::make_shared<L10n::Localizer const>();
    auto const input = InputValue();
    signal->Invoke(input, activation, Runtime(received));

    EXPECT_TRUE(received.empty());
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].input, input);
    EXPECT_EQ(calls[0].activation, activation);
    ASSERT_TRUE(calls[0].localizer);
    EXPECT_EQ(calls[0].localizer, signal->localizer());
    // The bound one, or an empty one.
    EXPECT_TRUE(localizer ? calls[0].localizer == localizer : calls[0].localizer->empty());
  }
}

// Each handler report (the handler's result callback is such a wrapper) reaches the runtime
// validated, an error before an output; after the first final one, none does. The other
// reports take the same way in every end-to-end call.
TEST(AsyncApiMethodSignal, ReportsAreValidatedAndASecondFinalOneReachesNobody) {
  auto signal = Signal(German());
  DataValuePtr const address = AddressValue("h");
  std::string const notFound = kFinal + Data::Wire::kNotFoundError + ": shop.gone";
  // The first report (output, error, progress), and what reaches the runtime.
  std::tuple<boost::optional<DataValuePtr>, ErrorValuePtr, Progress, std::string> const cases[] = {
      {address, nullptr, Progress(0, 1, 1), kFinal + "h"},
      {boost::none, NotFound(), Progress(0, 1, 1), notFound},
      {address, NotFound(), Progress(0, 1, 1), notFound},
      {boost::none, nullptr, Progress(2, 4, 4), "2/4/4"},
  };
  for (auto const& [output, error, progress, expected] : cases) {
    SCOPED_TRACE(expected);
    std::vector<Received> received;
    AsyncApiMethodSignal::ValidateResultWrapper wrapper(signal, Runtime(received));
    wrapper(output, error, progress, nullptr);
    wrapper(DataValuePtr(AddressValue("again")), nullptr, Progress(0, 1, 1), nullptr);
    wrapper(boost::none, NotFound(), Progress(0, 1, 1), nullptr);
    wrapper(boost::none, nullptr, Progress(0, 3, 1), nullptr);
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].text, expected);
    EXPECT_FALSE(received[0].next);
  }
}

TEST(AsyncApiMethodSignal, DescribesItsOperation) {
  auto const input = Define<Shapes::Input>();
  auto const output = Define<Shapes::Address>();
  auto const interface = std::make_shared<Core::InterfaceIdentifier const>("test.shop");
  auto const definition =
      AsyncApiMethodSignal::GetInstance("get", input, output, {}, nullptr)->definition(interface);
  ASSERT_TRUE(definition && definition->identifier);
  EXPECT_EQ(definition->identifier->interface, interface);
  EXPECT_EQ(definition->identifier->name, "get");
  EXPECT_EQ(definition->input, input);
  EXPECT_EQ(definition->output, output);
}

using Filter = AsyncApiMethodResultFilter<AddressPtr>;

// A result filter that records each report it passes on: the progress's current, the output's host,
// the error's name with its messages as MessagesOf shows them.
Filter Recording(std::vector<std::string>& reports,
                 std::shared_ptr<Core::AsyncActivation> activation) {
  return Filter(
      [&reports](boost::optional<DataValuePtr> const& output, ErrorValuePtr const& error,
                 Progress const& progress, AsyncApiMethod::ResultCb::Continuation&& next) {
        std::string text = std::to_string(progress.current);
        if (output) text += " " + TextOf(*output, "host");
        if (error) text += " " + error->name();
        for (auto const& message : MessagesOf(error)) text += " " + message;
        if (next) text += " with continuation";
        reports.push_back(text);
      },
      std::move(activation));
}

TEST(AsyncApiMethodResultFilter, ProgressStaysLiveAndTheFirstFinalReportIsTheLast) {
  auto const notFound = Data::ErrorValue::Create(Data::Wire::kNotFoundError, {});
  // A report: the result, the error, the progress.
  using Step = std::tuple<boost::optional<AddressPtr>, ErrorValuePtr, Progress>;
  // The reports, and what the filter passes on.
  std::tuple<char const*, std::vector<Step>, std::vector<std::string>> const cases[] = {
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
  for (auto const& [name, steps, expected] : cases) {
    SCOPED_TRACE(name);
    std::vector<std::string> reports;
    Filter filter = Recording(reports, std::make_shared<Core::AsyncActivation>());
    for (auto const& [result, error, progress] : steps) {
      filter(result, error, boost::none, progress);
    }
    EXPECT_EQ(reports, expected);
  }

  Filter empty(Filter::ResultFunction(), std::make_shared<Core::AsyncActivation>());
  EXPECT_THROW(empty(boost::none, nullptr, boost::none, Progress(0, 2, 1)), std::bad_function_call);
  EXPECT_THROW(empty(MakeAddress("a"), nullptr, boost::none, Progress(0, 1, 1)),
               std::bad_function_call);
}

// An error value or a native error is localized only when the call's activation holds both a
// catalog and the caller's locale.
TEST(AsyncApiMethodResultFilter, ErrorsAreLocalizedOnlyWithACatalogAndTheCallersLocale) {
  std::shared_ptr<L10n::Localizer const> const german = German();
  auto const locale = std::make_shared<L10n::LocaleSpec const>("de-DE", "C", "Europe/Berlin");
  BaseMessage const gone = MakeMessage("shop.gone", "{1} is gone", "Box");
  std::string const found = std::string("1 ") + Data::Wire::kNotFoundError + " shop.gone(Box)";
  // The activation's localizer and locale, whether the error is native, and the report.
  std::tuple<char const*, std::shared_ptr<L10n::Localizer const>,
             std::shared_ptr<L10n::LocaleSpec const>, bool, std::string> const cases[] = {
      {"error value", german, locale, false, found + " = Box ist weg"},
      {"native error", german, locale, true, found + " = Box ist weg"},
      {"native error, empty localizer", std::make_shared<L10n::Localizer const>(), locale, true,
       found},
      {"native error, caller without locale", german, nullptr, true, found},
  };
  for (auto const& [name, localizer, locale, native, expected] : cases) {
    SCOPED_TRACE(name);
    auto activation = std::make_shared<Core::AsyncActivation>();
    activation->requestLocalizer = {localizer, locale};
    std::vector<std::string> reports;
    Filter filter = Recording(reports, activation);
    if (native) {
      filter(boost::none, nullptr, Errors::MakeNativeError<Errors::NotFound>({gone}),
             Progress(0, 1, 1));
    } else {
      filter(boost::none, ErrorValue::Create(Data::Wire::kNotFoundError, {gone}), boost::none,
             Progress(0, 1, 1));
    }
    EXPECT_EQ(reports, std::vector<std::string>{expected});
  }
}

using VariantPtr = std::shared_ptr<Shapes::Variant const>;
using StreamFilter = AsyncApiMethodResultFilter<VariantPtr>;

VariantPtr Variant(Shapes::Color kind) {
  return std::make_shared<Shapes::Variant const>(Shapes::Variant{{}, kind, {}});
}

TEST(AsyncApiMethodResultFilter, StreamedPiecesAreConvertedValidatedAndDeliveredInTurn) {
  // A signal with a variant output, driven by a handler that keeps a result filter for the test to
  // report through by hand.
  auto signal = AsyncApiMethodSignal::GetInstance(
      "stream", Data::StructDefinition::GetInstance("test.any_input", {}),
      Define<Shapes::Variant>(), {}, nullptr);
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
  EXPECT_EQ(received[0][0].text, kFinal + "GREEN");
  ASSERT_TRUE(received[0][0].next);

  // Piece 2 converts, but its definition requires the case that RED activates; piece 3 cannot be
  // converted at all, and the stream ends there.
  VariantPtr const pieces[] = {Variant(Shapes::Color::RED), nullptr};
  std::string const internal = kFinal + Data::Wire::kInternalServerError + ":";
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
  EXPECT_EQ(received[3][0].text, kFinal + "GREEN");
  EXPECT_FALSE(received[3][0].next);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(received[i].size(), 1u);
}

}  // namespace
}  // namespace Provider
}  // namespace Tirn
