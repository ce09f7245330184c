#include "tirn/provider/async_api_method_signal.h"

#include <gtest/gtest.h>

#include <functional>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "tests/shapes.h"
#include "tirn/data/native_to_definition_adapter.h"
#include "tirn/message/message_ids.h"
#include "tirn/runtime/wire_shapes.h"

namespace Tirn {
namespace Provider {
namespace {

using Data::DataDefinitionPtr;
using Data::DataValuePtr;
using Data::ErrorValue;
using Data::ErrorValuePtr;
using Args = std::list<std::string>;

template <class T>
DataDefinitionPtr Define() {
  DataDefinitionPtr definition;
  std::list<BaseMessage> const messages;
  Data::NativeToDefinitionAdapter::Adapt(Data::NativeToDefinitionAdapter::AdaptMethod<T>::Get(),
                                         &definition, messages);
  return definition;
}

DataValuePtr Str(std::string text) { return Data::StringValue::GetInstance(std::move(text)); }

std::shared_ptr<Data::StructValue> AddressValue(std::string host) {
  auto value = Data::StructValue::GetInstance("test.shapes.address");
  value->SetField("host", Str(std::move(host)));
  return value;
}

DataValuePtr InputValue(bool withSpec = true) {
  auto value = Data::StructValue::GetInstance("test.shapes.operation_input");
  value->SetField("target", Str("t"));
  if (withSpec) value->SetField("spec", AddressValue("h"));
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

// What the runtime's callback received.
struct Received {
  std::shared_ptr<Core::MethodResult const> result;
  Progress progress;
  Core::AsyncApiResultCb::Continuation next;
};

Core::AsyncApiResultCb Runtime(std::vector<Received>& received) {
  return Core::AsyncApiResultCb([&received](std::shared_ptr<Core::MethodResult const> const& r,
                                            Progress const& p,
                                            Core::AsyncApiResultCb::Continuation&& next) {
    received.push_back({r, p, std::move(next)});
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
  return
      [&calls](DataValuePtr const& input, std::shared_ptr<Core::AsyncActivation> const& activation,
               AsyncApiMethod::ResultCb const& result) {
        calls.push_back({input, activation, activation->requestLocalizer.localizer, result});
      };
}

void ExpectError(std::shared_ptr<Core::MethodResult const> const& result, std::string const& name,
                 std::vector<std::pair<std::string, Args>> const& messages) {
  ASSERT_TRUE(result);
  EXPECT_TRUE(result->final);
  EXPECT_FALSE(result->output);
  ASSERT_TRUE(result->error);
  EXPECT_EQ(result->error->name(), name);
  auto const got = result->error->GetMessages();
  ASSERT_EQ(got.size(), messages.size());
  auto it = got.begin();
  for (auto const& message : messages) {
    EXPECT_EQ(it->id(), message.first);
    EXPECT_EQ(it->args(), message.second);
    ++it;
  }
}

TEST(AsyncApiMethodSignal, WithoutHandlerAnswersNotConnectedWithoutLookingAtTheInput) {
  auto signal = Signal(German());
  auto const keep = std::make_shared<L10n::Localizer const>();
  struct Case {
    char const* name;
    DataValuePtr input;
  };
  Case const cases[] = {{"valid input", InputValue()},
                        {"invalid input", Data::IntegerValue::GetInstance(1)},
                        {"no input", nullptr}};
  for (auto const& c : cases) {
    SCOPED_TRACE(c.name);
    auto activation = std::make_shared<Core::AsyncActivation>();
    activation->requestLocalizer.localizer = keep;
    std::vector<Received> received;
    signal->Invoke(c.input, activation, Runtime(received));
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].progress, Progress(0, 1, 1));
    EXPECT_FALSE(received[0].next);
    ExpectError(received[0].result, Data::Wire::kInternalServerError,
                {{MessageIds::kSignalNotConnected, {}}});
    EXPECT_EQ(activation->requestLocalizer.localizer, keep);
  }
}

TEST(AsyncApiMethodSignal, InvalidInputIsAnsweredWithTheValidationResult) {
  auto signal = Signal(German());
  std::vector<HandlerCall> calls;
  signal->Connect(Handler(calls));
  auto const keep = std::make_shared<L10n::Localizer const>();

  auto withUnknownField = std::static_pointer_cast<Data::StructValue const>(InputValue());
  auto unknown = Data::StructValue::GetInstance("test.shapes.operation_input");
  for (auto const& field : withUnknownField->fields()) unknown->SetField(field.first, field.second);
  unknown->SetField("extra", Str("x"));
  struct Case {
    char const* name;
    DataValuePtr input;
    std::vector<std::pair<std::string, Args>> messages;
  };
  Case const cases[] = {
      {"missing required field",
       InputValue(false),
       {{MessageIds::kValidationMissingField, {"spec"}}}},
      {"field the operation does not know",
       unknown,
       {{MessageIds::kValidationUnexpectedField, {"extra"}}}},
      {"not a structure",
       Str("x"),
       {{MessageIds::kValidationWrongKind, {"<root>", "structure", "string"}}}},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.name);
    auto activation = std::make_shared<Core::AsyncActivation>();
    activation->requestLocalizer.localizer = keep;
    std::vector<Received> received;
    signal->Invoke(c.input, activation, Runtime(received));
    EXPECT_TRUE(calls.empty());
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].progress, Progress(0, 1, 1));
    ExpectError(received[0].result, Data::Wire::kInvalidArgumentError, c.messages);
    EXPECT_EQ(activation->requestLocalizer.localizer, keep);
  }
}

TEST(AsyncApiMethodSignal, ValidInputReachesTheHandlerWithTheSignalsLocalizer) {
  auto const german = German();
  struct Case {
    char const* name;
    std::shared_ptr<L10n::Localizer> localizer;
  };
  Case const cases[] = {{"bound localizer", german}, {"no localizer", nullptr}};
  for (auto const& c : cases) {
    SCOPED_TRACE(c.name);
    auto signal = Signal(c.localizer);
    std::vector<HandlerCall> calls;
    signal->Connect(Handler(calls));
    auto activation = std::make_shared<Core::AsyncActivation>();
    activation->requestLocalizer.localizer = std::make_shared<L10n::Localizer const>();
    auto const input = InputValue();
    std::vector<Received> received;

    signal->Invoke(input, activation, Runtime(received));

    EXPECT_TRUE(received.empty());
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].input, input);
    EXPECT_EQ(calls[0].activation, activation);
    ASSERT_TRUE(calls[0].localizer);
    EXPECT_EQ(calls[0].localizer, signal->localizer());
    if (c.localizer) {
      EXPECT_EQ(calls[0].localizer, c.localizer);
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

// What the runtime should see for one report: an output host, an error name (with the first
// message id, if any), or neither.
struct Seen {
  bool isNull;          // a progress notification
  char const* host;     // the output's "host"
  char const* error;    // the error's name
  char const* firstId;  // the error's first message id
  Progress progress;
};

std::string HostOf(DataValuePtr const& value) {
  auto const* host = static_cast<Data::CompoundValue const&>(*value).FindField("host");
  return host && *host ? static_cast<Data::StringValue const&>(**host).value() : "";
}

TEST(AsyncApiMethodSignal, HandlerReportsAreValidatedOnTheirWayToTheRuntime) {
  auto const address = DataValuePtr(AddressValue("h"));
  auto const notAnAddress = DataValuePtr(Data::IntegerValue::GetInstance(1));
  auto const undeclared = ErrorValue::Create("shop.custom", {});
  struct Case {
    char const* name;
    std::vector<Report> reports;
    std::vector<Seen> seen;
  };
  Case const cases[] = {
      {"output",
       {{address, nullptr, Progress(0, 1, 1)}},
       {{false, "h", nullptr, nullptr, Progress(0, 1, 1)}}},
      {"output and error",
       {{address, NotFound(), Progress(0, 1, 1)}},
       {{false, nullptr, Data::Wire::kNotFoundError, "shop.gone", Progress(0, 1, 1)}}},
      {"two progress reports, then an output",
       {{boost::none, nullptr, Progress(0, 3, 1)},
        {boost::none, nullptr, Progress(0, 3, 2)},
        {address, nullptr, Progress(0, 3, 3)}},
       {{true, nullptr, nullptr, nullptr, Progress(0, 3, 1)},
        {true, nullptr, nullptr, nullptr, Progress(0, 3, 2)},
        {false, "h", nullptr, nullptr, Progress(0, 3, 3)}}},
      {"final progress with neither",
       {{boost::none, nullptr, Progress(2, 4, 4)}},
       {{false, nullptr, nullptr, nullptr, Progress(2, 4, 4)}}},
      {"output the definition rejects",
       {{notAnAddress, nullptr, Progress(0, 1, 1)}},
       {{false, nullptr, Data::Wire::kInternalServerError, MessageIds::kValidationWrongKind,
         Progress(0, 1, 1)}}},
      {"undeclared error",
       {{boost::none, undeclared, Progress(0, 1, 1)}},
       {{false, nullptr, Data::Wire::kInternalServerError, MessageIds::kErrorNotDeclared,
         Progress(0, 1, 1)}}},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.name);
    auto signal = Signal(German());
    std::vector<HandlerCall> calls;
    signal->Connect(Handler(calls));
    std::vector<Received> received;
    signal->Invoke(InputValue(), std::make_shared<Core::AsyncActivation>(), Runtime(received));
    ASSERT_EQ(calls.size(), 1u);
    for (auto const& report : c.reports) {
      calls[0].result(report.output, report.error, report.progress, nullptr);
    }
    ASSERT_EQ(received.size(), c.seen.size());
    for (std::size_t i = 0; i < received.size(); ++i) {
      SCOPED_TRACE(i);
      Received const& got = received[i];
      Seen const& want = c.seen[i];
      EXPECT_EQ(got.progress, want.progress);
      EXPECT_FALSE(got.next);
      if (want.isNull) {
        EXPECT_FALSE(got.result);
        continue;
      }
      ASSERT_TRUE(got.result);
      EXPECT_TRUE(got.result->final);
      EXPECT_EQ(static_cast<bool>(got.result->output), want.host != nullptr);
      if (want.host) {
        EXPECT_EQ(HostOf(got.result->output), want.host);
      }
      EXPECT_EQ(static_cast<bool>(got.result->error), want.error != nullptr);
      if (!want.error) continue;
      ASSERT_TRUE(got.result->error);
      EXPECT_EQ(got.result->error->name(), want.error);
      auto const messages = got.result->error->GetMessages();
      ASSERT_FALSE(messages.empty());
      EXPECT_EQ(messages.front().id(), want.firstId);
    }
  }
}

TEST(AsyncApiMethodSignal, ASecondFinalReportThroughTheSameWrapperReachesNobody) {
  auto signal = Signal(German());
  struct Case {
    char const* name;
    Report first;
  };
  Case const cases[] = {
      {"after an output", {DataValuePtr(AddressValue("h")), nullptr, Progress(0, 1, 1)}},
      {"after an error", {boost::none, NotFound(), Progress(0, 1, 1)}},
      {"after a final progress", {boost::none, nullptr, Progress(0, 1, 1)}},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<Received> received;
    AsyncApiMethodSignal::ValidateResultWrapper wrapper(signal, Runtime(received));
    wrapper(c.first.output, c.first.error, c.first.progress, nullptr);
    wrapper(DataValuePtr(AddressValue("again")), nullptr, Progress(0, 1, 1), nullptr);
    wrapper(boost::none, NotFound(), Progress(0, 1, 1), nullptr);
    wrapper(boost::none, nullptr, Progress(0, 3, 1), nullptr);
    EXPECT_EQ(received.size(), 1u);
  }
}

TEST(AsyncApiMethodSignal, DescribesItsOperation) {
  auto const input = Define<Shapes::Input>();
  auto const output = Define<Shapes::Address>();
  auto const notFound = Data::Wire::StandardErrorDefinition(Data::Wire::kNotFoundError);
  auto const exists = Data::Wire::StandardErrorDefinition(Data::Wire::kAlreadyExistsError);
  std::shared_ptr<AsyncApiMethodSignal> signal =
      AsyncApiMethodSignal::GetInstance("get", input, output, {notFound, exists}, nullptr);
  auto const interface = std::make_shared<Core::InterfaceIdentifier const>("test.shop");

  auto const definition = signal->definition(interface);
  ASSERT_TRUE(definition);
  ASSERT_TRUE(definition->identifier);
  EXPECT_EQ(definition->identifier->interface, interface);
  EXPECT_EQ(definition->identifier->name, "get");
  EXPECT_EQ(definition->input, input);
  EXPECT_EQ(definition->output, output);
  EXPECT_NE(signal->definition(interface), definition);

  EXPECT_EQ(signal->methodName(), "get");
  EXPECT_EQ(signal->inputDefinition(), input);
  EXPECT_EQ(signal->outputDefinition(), output);
  std::list<DataDefinitionPtr> const expected{notFound, exists};
  EXPECT_EQ(signal->errorDefinitions(), expected);
  AsyncApiMethodSignal const& constSignal = *signal;
  EXPECT_EQ(constSignal.errorDefinitions(), expected);
  EXPECT_EQ(&constSignal.errorDefinitions(), &constSignal.errorDefinitions());
}

TEST(AsyncApiMethodSignal, StreamedPiecesAreValidatedAndReachTheCallbackSuppliedForThem) {
  auto signal = Signal(German());
  std::vector<HandlerCall> calls;
  signal->Connect(Handler(calls));
  std::vector<Received> first;
  signal->Invoke(InputValue(), std::make_shared<Core::AsyncActivation>(), Runtime(first));
  ASSERT_EQ(calls.size(), 1u);

  std::vector<std::shared_ptr<AsyncApiMethod::ResultCb>> handed;
  auto const next = [&handed](std::shared_ptr<AsyncApiMethod::ResultCb> resultCb) {
    handed.push_back(std::move(resultCb));
  };

  // Piece 1, through the call's own callback.
  calls[0].result(DataValuePtr(AddressValue("one")), nullptr, Progress(0, 1, 1), next);
  ASSERT_EQ(first.size(), 1u);
  ASSERT_TRUE(first[0].result && first[0].result->output);
  EXPECT_EQ(HostOf(first[0].result->output), "one");
  ASSERT_TRUE(first[0].next);

  // The runtime asks for piece 2 with a new callback: the handler's `next` receives a callback
  // that validates into it.
  std::vector<Received> second;
  first[0].next(std::make_shared<Core::AsyncApiResultCb>(Runtime(second)));
  ASSERT_EQ(handed.size(), 1u);
  ASSERT_TRUE(handed[0]);
  (*handed[0])(DataValuePtr(Data::IntegerValue::GetInstance(2)), nullptr, Progress(0, 1, 1), next);
  ASSERT_EQ(second.size(), 1u);
  ExpectError(second[0].result, Data::Wire::kInternalServerError,
              {{MessageIds::kValidationWrongKind, {"<root>", "structure", "integer"}}});
  ASSERT_TRUE(second[0].next);

  // Piece 3 into the third callback; then the runtime wants no more.
  std::vector<Received> third;
  second[0].next(std::make_shared<Core::AsyncApiResultCb>(Runtime(third)));
  ASSERT_EQ(handed.size(), 2u);
  ASSERT_TRUE(handed[1]);
  (*handed[1])(DataValuePtr(AddressValue("three")), nullptr, Progress(0, 1, 1), next);
  ASSERT_EQ(third.size(), 1u);
  ASSERT_TRUE(third[0].result && third[0].result->output);
  EXPECT_EQ(HostOf(third[0].result->output), "three");
  ASSERT_TRUE(third[0].next);
  third[0].next(nullptr);
  ASSERT_EQ(handed.size(), 3u);
  EXPECT_FALSE(handed[2]);

  EXPECT_EQ(first.size(), 1u);
  EXPECT_EQ(second.size(), 1u);
  EXPECT_EQ(third.size(), 1u);
}

}  // namespace
}  // namespace Provider
}  // namespace Tirn
