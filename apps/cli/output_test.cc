#include "apps/cli/output.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "apps/cli/exit_code.h"
#include "com/ostrel/nox/trusted_infrastructure/operations.h"
#include "tests/convert.h"
#include "tirn/http/protocol.h"
#include "tirn/message/message.h"
#include "tirn/runtime/value/wire_shapes.h"

namespace {

namespace Cli = Apps::Cli;
using Tirn::Data::DataValue;

using test_convert::Int;
using test_convert::List;
using test_convert::Opt;
using test_convert::Str;
using test_convert::Struct;

// {"name": "k", "key": <secret "hunter2">, "tags": ["a", "b"], "port": optional 443,
//  "none": optional empty, "inner": {"ok": true}}
Tirn::Data::DataValuePtr Sample() {
  return Struct("test.sample",
                {{"name", Str("k")},
                 {"key", DataValue::Create<Tirn::SecretString>(Tirn::SecretString("hunter2"))},
                 {"tags", List({Str("a"), Str("b")})},
                 {"port", Opt(Int(443))},
                 {"none", Opt()},
                 {"inner", Struct("test.inner", {{"ok", DataValue::Create<bool>(true)}})}});
}

// `value` as FormatValue writes it, over a text it must replace; expects success.
std::string Formatted(Tirn::Data::DataValuePtr const& value, Cli::OutputOptions const& options) {
  std::string text = "stale";
  std::list<Tirn::BaseMessage> messages;
  EXPECT_TRUE(Cli::FormatValue(value, options, &text, messages));
  return text;
}

TEST(FormatValue, PrintsJsonOrTextWithSecretsMaskedUnlessAskedFor) {
  std::pair<Cli::OutputOptions, std::string> const cases[] = {
      {{Cli::Format::kJson, false, false},
       R"({"inner":{"ok":true},"key":"<secret>","name":"k","none":null,"port":443,"tags":["a","b"]})" "\n"},
      {{Cli::Format::kJson, false, true},
       R"({"inner":{"ok":true},"key":"hunter2","name":"k","none":null,"port":443,"tags":["a","b"]})" "\n"},
      {{Cli::Format::kText, false, false},
       "inner:\n  ok: true\nkey: <secret>\nname: k\nnone: (none)\nport: 443\ntags:\n  - a\n  - b\n"},
      {{Cli::Format::kText, false, true},
       "inner:\n  ok: true\nkey: hunter2\nname: k\nnone: (none)\nport: 443\ntags:\n  - a\n  - b\n"},
  };
  for (auto const& [options, expected] : cases) {
    SCOPED_TRACE(expected);
    EXPECT_EQ(Formatted(Sample(), options), expected);
  }
  std::string const pretty = Formatted(Sample(), {Cli::Format::kJson, true, false});
  EXPECT_NE(pretty.find("\n  \"key\": \"<secret>\""), std::string::npos) << pretty;
  EXPECT_EQ(pretty.find("hunter2"), std::string::npos);

  // Nothing at all for a void result, in either form.
  for (Cli::Format format : {Cli::Format::kText, Cli::Format::kJson}) {
    EXPECT_EQ(Formatted(Tirn::Data::VoidValue::GetInstance(), {format}), "");
  }
}

TEST(FormatValue, PrintsADeepListAsTextWithoutRecursing) {
  constexpr int kDepth = 200000;
  Tirn::Data::DataValuePtr value = Int(1);
  for (int i = 0; i < kDepth; ++i) value = List({value});
  std::string const text = Formatted(value, {Cli::Format::kText});
  // Nested lists share a line until their dashes reach the indentation limit.
  EXPECT_GE(std::count(text.begin(), text.end(), '\n'), kDepth / Cli::kMaxIndent);
  EXPECT_LT(text.size(), static_cast<std::size_t>(kDepth) * (2 * Cli::kMaxIndent + 8));
  EXPECT_EQ(text.substr(0, 8), "- - - - ");
}

TEST(FormatValue, StartsStructuresInListsOnTheElementLine) {
  auto const address = Struct("test.address", {{"port", Int(1)}});
  auto const element = Struct("test.element", {{"name", Str("a")}, {"address", address}});
  auto const list = List({element, List({Str("x"), Str("y")}), List({})});
  EXPECT_EQ(Formatted(list, {Cli::Format::kText}),
            "- address:\n    port: 1\n  name: a\n- - x\n  - y\n- (empty)\n");
}

// One exit status per kind of outcome: the transport's own failures, whatever their name; the
// errors the operation declares; everything else the server answered. (The program's own test
// drives the common kinds through a server, a TLS failure and a page that is no tirn server's
// among them; these are the ones a test server cannot easily give.)
TEST(ExitCodeForError, TellsEachKindOfOutcomeApart) {
  namespace Ids = Tirn::Http::MessageIds;
  namespace Wire = Tirn::Data::Wire;
  // Declares already_exists, the generic error, invalid_argument, unauthenticated and
  // unauthorized.
  auto const* create = Com::Ostrel::Nox::TrustedInfrastructure::Operations().FindByService(
      "kms.providers", "create");
  ASSERT_TRUE(create);
  struct Case {
    char const* name;
    char const* id;
    Tirn::Core::OperationDescriptor const* operation;
    Cli::ExitCode expected;
  };
  std::vector<Case> const cases = {
      {Wire::kServiceUnavailableError, Ids::kConnectionBroken, create, Cli::kExitTransport},
      {Wire::kTimedOutError, Ids::kTimedOut, create, Cli::kExitTransport},
      {Wire::kInternalServerError, Ids::kBadAnswer, create, Cli::kExitTransport},
      // The operation's own answer, under the generic name.
      {Wire::kGenericError, "reference.failed", create, Cli::kExitDeclaredError},
      // Declared by every operation, said by access control.
      {Wire::kUnauthorizedError, Ids::kUnauthorized, create, Cli::kExitOtherError},
      // The transport's name, answered by a server.
      {Wire::kTimedOutError, "reference.slow", create, Cli::kExitOtherError},
      // Without an operation (the server's table of operations), nothing is declared.
      {Wire::kAlreadyExistsError, "reference.provider.exists", nullptr, Cli::kExitOtherError},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " " + c.id);
    auto error = Tirn::Data::ErrorValue::Create(c.name, {Tirn::MakeMessage(c.id, "text")});
    EXPECT_EQ(Cli::ExitCodeForError(*error, c.operation), c.expected);
  }
}

// For scripts: one line of JSON that jq reads, the status and request id null when there were
// none, the texts escaped. (Their values when there were: the program's ExitStatus test.)
TEST(FormatErrorJson, WritesTheErrorAsOneLineOfJson) {
  auto const error = Tirn::Data::ErrorValue::Create(
      Tirn::Data::Wire::kNotFoundError,
      {Tirn::MakeMessage("x.missing", "{1} is \"missing\"\n", "p"),
       Tirn::MakeMessage("x.hint", "try again")});
  EXPECT_EQ(Cli::FormatErrorJson(*error, {}),
            R"({"error":"com.ostrel.tirn.std.errors.not_found","messages":[)"
            R"({"id":"x.missing","default_message":"p is \"missing\"\n","args":["p"]},)"
            R"({"id":"x.hint","default_message":"try again","args":[]}],)"
            R"("status":null,"request_id":null})" "\n");
}

TEST(ProgressLine, FillsTheBarInProportion) {
  EXPECT_EQ(Cli::ProgressLine({0, 4, 1}), "[#######.......................]  25% (1/4)");
  EXPECT_EQ(Cli::ProgressLine({0, 4, 4}), "[##############################] 100% (4/4)");
  EXPECT_EQ(Cli::ProgressLine({10, 10, 10}), "[..............................]   0% (10/10)");
  EXPECT_EQ(Cli::ProgressLine({0, 2, 5}), "[##############################] 100% (5/2)");
}

}  // namespace
