#include "tirn/provider/async_api_method_filter.h"

#include <gtest/gtest.h>

#include <functional>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "tests/shapes.h"
#include "tirn/data/native_to_definition_adapter.h"
#include "tirn/message/message_ids.h"
#include "tirn/provider/async_api_method_signal.h"
#include "tirn/runtime/wire_shapes.h"
#include "tirn/std/errors.h"

namespace FilterTest {

using NodePtr = std::shared_ptr<Shapes::Node const>;
using NodeResult = Tirn::AsyncResult<NodePtr, Tirn::AsyncResultTerminateCbPolicy>;

// Stands for a service's AsyncServiceInterface with one operation.
class NodeService {
 public:
  virtual ~NodeService() = default;
  virtual void Get(std::string const& target, std::shared_ptr<Shapes::Address const> const& spec,
                   Tirn::OptionalPtr<Shapes::Record const> const& filter,
                   std::shared_ptr<Tirn::Core::AsyncActivation> const& activation,
                   NodeResult const& result) = 0;
};

// Records its arguments and then runs the test's script.
class ScriptedService : public NodeService {
 public:
  using Script = std::function<void(NodeResult const& result)>;

  void Get(std::string const& target, std::shared_ptr<Shapes::Address const> const& spec,
           Tirn::OptionalPtr<Shapes::Record const> const&,
           std::shared_ptr<Tirn::Core::AsyncActivation> const& activation,
           NodeResult const& result) override {
    ++entered;
    this->activation = activation;
    this->target = target;
    host = spec ? spec->host : "<null>";
    if (script) script(result);
  }

  Script script;
  int entered = 0;
  std::shared_ptr<Tirn::Core::AsyncActivation> activation;
  std::string target;
  std::string host;
};

}  // namespace FilterTest

namespace Tirn {
namespace Provider {
namespace {

using Data::DataDefinitionPtr;
using Data::DataValuePtr;
using Data::ErrorValuePtr;
using FilterTest::NodePtr;
using FilterTest::NodeResult;
using FilterTest::NodeService;
using FilterTest::ScriptedService;

template <class T>
DataDefinitionPtr Define() {
  DataDefinitionPtr definition;
  std::list<BaseMessage> const messages;
  Data::NativeToDefinitionAdapter::Adapt(Data::NativeToDefinitionAdapter::AdaptMethod<T>::Get(),
                                         &definition, messages);
  return definition;
}

// What a generated binder does for one operation.
std::shared_ptr<AsyncApiMethodSignal> Bind(std::shared_ptr<NodeService> const& impl,
                                           std::shared_ptr<L10n::Localizer> const& localizer) {
  auto signal = AsyncApiMethodSignal::GetInstance(
      "get", Define<Shapes::Input>(), Define<Shapes::Node>(),
      {Data::Wire::StandardErrorDefinition(Data::Wire::kNotFoundError)}, localizer);
  auto lambda = [method = &NodeService::Get, impl](
                    Shapes::Input const& input,
                    std::shared_ptr<Core::AsyncActivation> const& activation,
                    NodeResult const& result) {
    ((*impl).*method)(input.target, input.spec, input.filter, activation, result);
  };
  signal->Connect(
      AsyncApiMethodFilter<decltype(lambda), NodePtr, Shapes::Input, DirectFilterBinder>(lambda));
  return signal;
}

DataValuePtr Str(std::string text) { return Data::StringValue::GetInstance(std::move(text)); }

DataValuePtr InputValue(DataValuePtr port) {
  auto spec = Data::StructValue::GetInstance("test.shapes.address");
  spec->SetField("host", Str("h"));
  if (port) spec->SetField("port", port);
  auto value = Data::StructValue::GetInstance("test.shapes.operation_input");
  value->SetField("target", Str("t"));
  value->SetField("spec", spec);
  return value;
}

struct Received {
  std::shared_ptr<Core::MethodResult const> result;
  Progress progress;
};

Core::AsyncApiResultCb Runtime(std::vector<Received>& received) {
  return Core::AsyncApiResultCb([&received](std::shared_ptr<Core::MethodResult const> const& r,
                                            Progress const& p,
                                            Core::AsyncApiResultCb::Continuation&&) {
    received.push_back({r, p});
  });
}

std::shared_ptr<L10n::Localizer> German() {
  return std::make_shared<L10n::Localizer>(
      std::map<std::string, L10n::Localizer::Catalog>{{"de", {{"shop.gone", "{1} ist weg"}}}});
}

std::shared_ptr<Core::AsyncActivation> Activation(bool withLocale) {
  auto activation = std::make_shared<Core::AsyncActivation>();
  activation->executionContext = std::make_shared<Core::ExecutionContext>();
  if (withLocale) {
    activation->requestLocalizer.localeSpec =
        std::make_shared<L10n::LocaleSpec const>("de-DE", "C", "Europe/Berlin");
  }
  return activation;
}

TEST(AsyncApiMethodFilter, InputTheNativeTypeRefusesNeverEntersTheImplementation) {
  struct Case {
    char const* name;
    DataValuePtr port;
    std::list<std::string> args;
    char const* id;
  };
  Case const cases[] = {
      {"text for an integer", Str("x8"), {"x8", "integer"}, MessageIds::kParseFailed},
      {"integer out of range",
       Str("99999999999999999999"),
       {"99999999999999999999", "integer"},
       MessageIds::kOutOfRange},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.name);
    auto impl = std::make_shared<ScriptedService>();
    auto signal = Bind(impl, German());
    DataValuePtr const input = InputValue(c.port);
    // The definition admits the text: only the native type refuses it.
    std::shared_ptr<Core::MethodResult const> rejected;
    ASSERT_TRUE(ApiMethodHelper::ValidateInput("get", signal->inputDefinition(), input, rejected));

    std::vector<Received> received;
    signal->Invoke(input, Activation(true), Runtime(received));

    EXPECT_EQ(impl->entered, 0);
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].progress, Progress(0, 1, 1));
    ASSERT_TRUE(received[0].result);
    EXPECT_FALSE(received[0].result->output);
    ASSERT_TRUE(received[0].result->error);
    EXPECT_EQ(received[0].result->error->name(), "com.ostrel.tirn.std.errors.invalid_argument");
    auto const messages = received[0].result->error->GetMessages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages.front().id(), c.id);
    EXPECT_EQ(messages.front().args(), c.args);
  }
}

namespace Errors = Com::Ostrel::Tirn::Std::Errors;

NodePtr Node(std::string name) {
  auto node = std::make_shared<Shapes::Node>();
  node->name = std::move(name);
  return node;
}

BaseMessage Gone(std::string const& what) { return MakeMessage("shop.gone", "{1} is gone", what); }

// What the runtime should see for one report.
struct Seen {
  bool isNull;                     // a progress notification
  char const* node;                // the output's "name"
  char const* error;               // the error's name
  std::vector<std::string> ids;    // the error's message ids
  std::vector<std::string> texts;  // each message's text in the caller's language, or "-"
  Progress progress;
};

std::string NameOf(DataValuePtr const& value) {
  auto const* name = static_cast<Data::CompoundValue const&>(*value).FindField("name");
  return name && *name ? static_cast<Data::StringValue const&>(**name).value() : "";
}

TEST(AsyncApiMethodFilter, ImplementationReportsReachTheRuntimeConvertedAndLocalized) {
  auto const german = German();
  auto const withNullChild = std::make_shared<Shapes::Node>();
  withNullChild->name = "parent";
  withNullChild->children.push_back(nullptr);
  auto const notFound = Errors::MakeNativeError<Errors::NotFound>({Gone("Item 7")});

  struct Case {
    char const* name;
    std::shared_ptr<L10n::Localizer> localizer;
    bool withLocale;
    ScriptedService::Script script;
    std::vector<Seen> seen;
  };
  Case const cases[] = {
      {"value",
       german,
       true,
       [](NodeResult const& r) { r.value(Node("n")); },
       {{false, "n", nullptr, {}, {}, Progress(0, 1, 1)}}},
      {"progress, then value",
       german,
       true,
       [](NodeResult const& r) {
         r.progress(Progress(0, 2, 1));
         r.value(Node("n"));
       },
       {{true, nullptr, nullptr, {}, {}, Progress(0, 2, 1)},
        {false, "n", nullptr, {}, {}, Progress(0, 1, 1)}}},
      {"native error",
       german,
       true,
       [&](NodeResult const& r) { r.error(notFound); },
       {{false,
         nullptr,
         Data::Wire::kNotFoundError,
         {"shop.gone"},
         {"Item 7 ist weg"},
         Progress(0, 1, 1)}}},
      {"error value",
       german,
       true,
       [](NodeResult const& r) {
         r.error(Data::ErrorValue::Create(Data::Wire::kNotFoundError, {Gone("Box")}));
       },
       {{false,
         nullptr,
         Data::Wire::kNotFoundError,
         {"shop.gone"},
         {"Box ist weg"},
         Progress(0, 1, 1)}}},
      {"native error, empty localizer",
       std::make_shared<L10n::Localizer>(),
       true,
       [&](NodeResult const& r) { r.error(notFound); },
       {{false, nullptr, Data::Wire::kNotFoundError, {"shop.gone"}, {"-"}, Progress(0, 1, 1)}}},
      {"native error, no localizer",
       nullptr,
       true,
       [&](NodeResult const& r) { r.error(notFound); },
       {{false, nullptr, Data::Wire::kNotFoundError, {"shop.gone"}, {"-"}, Progress(0, 1, 1)}}},
      {"native error, caller without locale",
       german,
       false,
       [&](NodeResult const& r) { r.error(notFound); },
       {{false, nullptr, Data::Wire::kNotFoundError, {"shop.gone"}, {"-"}, Progress(0, 1, 1)}}},
      {"undeclared native error",
       german,
       true,
       [](NodeResult const& r) {
         r.error(Errors::MakeNativeError<Errors::Unsupported>({Gone("x")}));
       },
       {{false,
         nullptr,
         Data::Wire::kInternalServerError,
         {MessageIds::kErrorNotDeclared},
         {"-"},
         Progress(0, 1, 1)}}},
      {"result with a null required structure",
       german,
       true,
       [&](NodeResult const& r) { r.value(withNullChild); },
       {{false, nullptr, Data::Wire::kInternalServerError, {}, {}, Progress(0, 1, 1)}}},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.name);
    auto impl = std::make_shared<ScriptedService>();
    impl->script = c.script;
    auto signal = Bind(impl, c.localizer);
    std::vector<Received> received;

    auto const activation = Activation(c.withLocale);
    signal->Invoke(InputValue(nullptr), activation, Runtime(received));

    EXPECT_EQ(impl->entered, 1);
    EXPECT_EQ(impl->activation, activation);
    EXPECT_EQ(impl->target, "t");
    EXPECT_EQ(impl->host, "h");
    ASSERT_EQ(received.size(), c.seen.size());
    for (std::size_t i = 0; i < received.size(); ++i) {
      SCOPED_TRACE(i);
      Received const& got = received[i];
      Seen const& want = c.seen[i];
      EXPECT_EQ(got.progress, want.progress);
      if (want.isNull) {
        EXPECT_FALSE(got.result);
        continue;
      }
      ASSERT_TRUE(got.result);
      EXPECT_EQ(static_cast<bool>(got.result->output), want.node != nullptr);
      if (want.node) {
        EXPECT_EQ(NameOf(got.result->output), want.node);
      }
      EXPECT_EQ(static_cast<bool>(got.result->error), want.error != nullptr);
      if (!want.error || !got.result->error) continue;
      EXPECT_EQ(got.result->error->name(), want.error);
      std::vector<std::string> ids;
      for (auto const& message : got.result->error->GetMessages()) ids.push_back(message.id());
      EXPECT_EQ(ids, want.ids);
      std::vector<std::string> texts;
      if (auto const* list = got.result->error->FindField(Data::Wire::kErrorMessages)) {
        for (auto const& element : static_cast<Data::ListValue const&>(**list).elements()) {
          BaseMessage message("", "", {});
          boost::optional<std::string> localized;
          ASSERT_TRUE(Data::Wire::MessageFromValue(element, message, localized));
          texts.push_back(localized.value_or("-"));
        }
      }
      EXPECT_EQ(texts, want.texts);
    }
  }
}

TEST(AsyncApiMethodFilter, ImplementationMayReportAfterItReturned) {
  NodeResult later;
  std::vector<Received> received;
  auto impl = std::make_shared<ScriptedService>();
  impl->script = [&](NodeResult const& r) { later = r; };
  Bind(impl, German())->Invoke(InputValue(nullptr), Activation(true), Runtime(received));
  EXPECT_TRUE(received.empty());
  later.value(Node("late"));
  ASSERT_EQ(received.size(), 1u);
  ASSERT_TRUE(received[0].result && received[0].result->output);
  EXPECT_EQ(NameOf(received[0].result->output), "late");
}

}  // namespace
}  // namespace Provider
}  // namespace Tirn
