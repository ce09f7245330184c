#include "tirn/provider/async_api_method_filter.h"

#include <gtest/gtest.h>

#include <functional>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "tests/convert.h"
#include "tests/shapes.h"
#include "tirn/message/message_ids.h"
#include "tirn/provider/async_api_method_signal.h"
#include "tirn/runtime/value/wire_shapes.h"
#include "tirn/std/errors.h"

namespace Tirn {
namespace Provider {
namespace {

using Data::DataDefinitionPtr;
using Data::DataValuePtr;
using namespace ::test_convert;
using NodePtr = std::shared_ptr<Shapes::Node const>;
using NodeResult = AsyncResult<NodePtr, AsyncResultTerminateCbPolicy>;
namespace Errors = Com::Ostrel::Tirn::Std::Errors;

// What the implementation was called with; then it runs the test's script.
struct Implementation {
  std::function<void(NodeResult const&)> script;
  int entered = 0;
  std::shared_ptr<Core::AsyncActivation> activation;
  std::string target;
  std::string host;
};

// What a generated binder does for one operation.
std::shared_ptr<AsyncApiMethodSignal> Bind(Implementation& impl,
                                           std::shared_ptr<L10n::Localizer> const& localizer) {
  auto signal = AsyncApiMethodSignal::GetInstance(
      "get", Define<Shapes::Input>(), Define<Shapes::Node>(),
      {Data::Wire::StandardErrorDefinition(Data::Wire::kNotFoundError)}, localizer);
  auto lambda = [&impl](Shapes::Input const& input,
                        std::shared_ptr<Core::AsyncActivation> const& activation,
                        NodeResult const& result) {
    ++impl.entered;
    impl.activation = activation;
    impl.target = input.target;
    impl.host = input.spec ? input.spec->host : "<null>";
    if (impl.script) impl.script(result);
  };
  signal->Connect(
      AsyncApiMethodFilter<decltype(lambda), NodePtr, Shapes::Input, DirectFilterBinder>(lambda));
  return signal;
}

DataValuePtr InputValue() {
  auto const spec = Struct("test.shapes.address", {{"host", Str("h")}});
  return Struct("test.shapes.operation_input", {{"target", Str("t")}, {"spec", spec}});
}

// A delivery as text: the progress, then "-" for a progress report, or the output's name
// and the error's name with its messages as MessagesOf shows them.
std::string Describe(std::shared_ptr<Core::MethodResult const> const& result, Progress const& p) {
  std::string text = std::to_string(p.maximum) + "/" + std::to_string(p.current);
  if (!result) return text + " -";
  if (result->output) {
    auto const* name = static_cast<Data::CompoundValue const&>(*result->output).FindField("name");
    text += " node " + static_cast<Data::StringValue const&>(**name).value();
  }
  if (!result->error) return text;
  text += " " + result->error->name() + ":";
  for (auto const& message : MessagesOf(result->error)) text += " " + message;
  return text;
}

Core::AsyncApiResultCb Runtime(std::vector<std::string>& received) {
  return Core::AsyncApiResultCb([&received](std::shared_ptr<Core::MethodResult const> const& r,
                                            Progress const& p,
                                            Core::AsyncApiResultCb::Continuation&&) {
    received.push_back(Describe(r, p));
  });
}

std::shared_ptr<L10n::Localizer> German() {
  return std::make_shared<L10n::Localizer>(
      std::map<std::string, L10n::Localizer::Catalog>{{"de", {{"shop.gone", "{1} ist weg"}}}});
}

std::shared_ptr<Core::AsyncActivation> Activation(bool withLocale = true) {
  auto activation = std::make_shared<Core::AsyncActivation>();
  activation->executionContext = std::make_shared<Core::ExecutionContext>();
  if (withLocale) {
    activation->requestLocalizer.localeSpec =
        std::make_shared<L10n::LocaleSpec const>("de-DE", "C", "Europe/Berlin");
  }
  return activation;
}

BaseMessage Gone(std::string const& what) { return MakeMessage("shop.gone", "{1} is gone", what); }

// Values, progress, declared and undeclared errors and outputs that do not convert are proved
// end to end; here, the forms of errors the calls there do not take.
TEST(AsyncApiMethodFilter, ImplementationReportsReachTheRuntimeConvertedAndLocalized) {
  auto const german = German();
  auto const notFound = Errors::MakeNativeError<Errors::NotFound>({Gone("Item 7")});
  std::string const found = std::string("1/1 ") + Data::Wire::kNotFoundError + ": shop.gone";
  struct Case {
    char const* name;
    std::shared_ptr<L10n::Localizer> localizer;
    std::function<void(NodeResult const&)> script;
    std::vector<std::string> expected;
    bool withLocale = true;
  } const cases[] = {
      {"error value", german,
       [](NodeResult const& r) {
         r.error(Data::ErrorValue::Create(Data::Wire::kNotFoundError, {Gone("Box")}));
       },
       {found + "(Box) = Box ist weg"}},
      {"native error, empty localizer", std::make_shared<L10n::Localizer>(),
       [&](NodeResult const& r) { r.error(notFound); }, {found + "(Item 7)"}},
      {"native error, caller without locale", german,
       [&](NodeResult const& r) { r.error(notFound); }, {found + "(Item 7)"}, false},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.name);
    Implementation impl;
    impl.script = c.script;
    std::vector<std::string> received;
    auto const activation = Activation(c.withLocale);
    Bind(impl, c.localizer)->Invoke(InputValue(), activation, Runtime(received));
    EXPECT_EQ(impl.entered, 1);
    EXPECT_EQ(impl.activation, activation);
    EXPECT_EQ(impl.target, "t");
    EXPECT_EQ(impl.host, "h");
    EXPECT_EQ(received, c.expected);
  }
}

}  // namespace
}  // namespace Provider
}  // namespace Tirn
