#include "tirn/provider/async_api_method_signal.h"

#include <gtest/gtest.h>

#include <list>
#include <memory>
#include <string>
#include <vector>

#include "tests/convert.h"
#include "tests/shapes.h"
#include "tirn/message/message_ids.h"
#include "tirn/runtime/value/wire_shapes.h"

namespace Tirn {
namespace Provider {
namespace {

using Data::DataDefinitionPtr;
using Data::DataValuePtr;
using namespace ::test_convert;
using Data::ErrorValue;
using Data::ErrorValuePtr;
using Result = std::shared_ptr<Core::MethodResult const>;

DataValuePtr AddressValue(std::string host) {
  return Struct("test.shapes.address", {{"host", Str(std::move(host))}});
}

DataValuePtr InputValue(bool withExtra = false) {
  auto value = Data::StructValue::GetInstance("test.shapes.operation_input");
  value->SetField("target", Str("t"));
  value->SetField("spec", AddressValue("h"));
  if (withExtra) value->SetField("extra", Str("x"));
  return value;
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
      std::map<std::string, L10n::Localizer::Catalog>{{"de", {{"shop.gone", "Weg"}}}});
}

// What the runtime's callback received, as text: the progress, then "-" for a progress
// report, or the output's host and the error's name with its messages' ids and arguments.
struct Received {
  std::string text;
  Core::AsyncApiResultCb::Continuation next;
};

std::string Describe(Result const& result, Progress const& p) {
  std::string text = std::to_string(p.minimum) + "/" + std::to_string(p.maximum) + "/" +
                     std::to_string(p.current);
  if (!result) return text + " -";
  if (!result->final) text += " not final";
  if (result->output) {
    auto const* host = static_cast<Data::CompoundValue const&>(*result->output).FindField("host");
    text += " host " + static_cast<Data::StringValue const&>(**host).value();
  }
  if (!result->error) return text;
  text += " " + result->error->name() + ":";
  text += test_convert::Said(result->error->GetMessages());
  return text;
}

Core::AsyncApiResultCb Runtime(std::vector<Received>& received) {
  return Core::AsyncApiResultCb([&received](Result const& r, Progress const& p,
                                            Core::AsyncApiResultCb::Continuation&& next) {
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
std::string const kInternal = kFinal + Data::Wire::kInternalServerError + ": ";
std::string const kInvalid = kFinal + Data::Wire::kInvalidArgumentError + ": ";

TEST(AsyncApiMethodSignal, InputIsAnsweredAtOnceWhenNoHandlerMayTakeIt) {
  struct Case {
    char const* name;
    bool connected;
    DataValuePtr input;
    std::string expected;
  } const cases[] = {
      {"not connected, valid input", false, InputValue(),
       kInternal + MessageIds::kSignalNotConnected},
      {"not connected, no input (which would not validate)", false, nullptr,
       kInternal + MessageIds::kSignalNotConnected},
      // What else validation refuses is answered the same way (end_to_end_test.cc).
      {"field the operation does not know", true, InputValue(true),
       kInvalid + MessageIds::kValidationUnexpectedField + ",extra"},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.name);
    auto signal = Signal(German());
    std::vector<HandlerCall> calls;
    if (c.connected) signal->Connect(Handler(calls));
    auto activation = std::make_shared<Core::AsyncActivation>();
    auto const keep = std::make_shared<L10n::Localizer const>();
    activation->requestLocalizer.localizer = keep;
    std::vector<Received> received;
    signal->Invoke(c.input, activation, Runtime(received));
    EXPECT_TRUE(calls.empty());
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].text, c.expected);
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
    if (localizer) {
      EXPECT_EQ(calls[0].localizer, localizer);
    } else {
      EXPECT_TRUE(calls[0].localizer->empty());
    }
  }
}

// One report of the handler.
struct Report {
  boost::optional<DataValuePtr> output;
  ErrorValuePtr error;
  Progress progress;
};

TEST(AsyncApiMethodSignal, HandlerReportsAreValidatedOnTheirWayToTheRuntime) {
  DataValuePtr const address = AddressValue("h");
  struct Case {
    char const* name;
    std::vector<Report> reports;
    std::vector<std::string> expected;
  } const cases[] = {
      {"output", {{address, nullptr, Progress(0, 1, 1)}}, {kFinal + "host h"}},
      {"output and error",
       {{address, NotFound(), Progress(0, 1, 1)}},
       {kFinal + Data::Wire::kNotFoundError + ": shop.gone"}},
      {"two progress reports, then an output",
       {{boost::none, nullptr, Progress(0, 3, 1)},
        {boost::none, nullptr, Progress(0, 3, 2)},
        {address, nullptr, Progress(0, 3, 3)}},
       {"0/3/1 -", "0/3/2 -", "0/3/3 host h"}},
      {"final progress with neither", {{boost::none, nullptr, Progress(2, 4, 4)}}, {"2/4/4"}},
      // Outputs the definition rejects and undeclared errors: end_to_end_test.cc.
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.name);
    auto signal = Signal(German());
    std::vector<Received> received;
    std::vector<HandlerCall> calls;
    signal->Connect(Handler(calls));
    signal->Invoke(InputValue(), std::make_shared<Core::AsyncActivation>(), Runtime(received));
    ASSERT_EQ(calls.size(), 1u);
    for (auto const& r : c.reports) calls[0].result(r.output, r.error, r.progress, nullptr);
    std::vector<std::string> texts;
    for (auto const& got : received) {
      texts.push_back(got.text);
      EXPECT_FALSE(got.next);
    }
    EXPECT_EQ(texts, c.expected);
  }
}

TEST(AsyncApiMethodSignal, ASecondFinalReportThroughTheSameWrapperReachesNobody) {
  auto signal = Signal(German());
  Report const firsts[] = {{DataValuePtr(AddressValue("h")), nullptr, Progress(0, 1, 1)},
                           {boost::none, NotFound(), Progress(0, 1, 1)},
                           {boost::none, nullptr, Progress(0, 1, 1)}};
  for (auto const& first : firsts) {
    SCOPED_TRACE(first.output ? "output" : first.error ? "error" : "final progress");
    std::vector<Received> received;
    AsyncApiMethodSignal::ValidateResultWrapper wrapper(signal, Runtime(received));
    wrapper(first.output, first.error, first.progress, nullptr);
    wrapper(DataValuePtr(AddressValue("again")), nullptr, Progress(0, 1, 1), nullptr);
    wrapper(boost::none, NotFound(), Progress(0, 1, 1), nullptr);
    wrapper(boost::none, nullptr, Progress(0, 3, 1), nullptr);
    EXPECT_EQ(received.size(), 1u);
  }
}

TEST(AsyncApiMethodSignal, DescribesItsOperation) {
  auto const input = Define<Shapes::Input>();
  auto const output = Define<Shapes::Address>();
  auto signal = AsyncApiMethodSignal::GetInstance("get", input, output, {}, nullptr);
  auto const interface = std::make_shared<Core::InterfaceIdentifier const>("test.shop");
  auto const definition = signal->definition(interface);
  ASSERT_TRUE(definition && definition->identifier);
  EXPECT_EQ(definition->identifier->interface, interface);
  EXPECT_EQ(definition->identifier->name, "get");
  EXPECT_EQ(definition->input, input);
  EXPECT_EQ(definition->output, output);
}

}  // namespace
}  // namespace Provider
}  // namespace Tirn
