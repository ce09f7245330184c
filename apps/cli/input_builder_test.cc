#include "apps/cli/input_builder.h"

#include <gtest/gtest.h>

#include "com/ostrel/nox/trusted_infrastructure/operations.h"
#include "tests/convert.h"
#include "tirn/json/json.h"
#include "tirn/message/message_ids.h"

namespace {

namespace Cli = Apps::Cli;
using Tirn::Data::DataDefinition;
using Tirn::Data::DataType;

Tirn::Data::DataDefinitionPtr Input(char const* service, char const* operation) {
  auto const* descriptor =
      Com::Ostrel::Nox::TrustedInfrastructure::Operations().FindByService(service, operation);
  EXPECT_NE(descriptor, nullptr);
  return descriptor->inputDefinition();
}

// The finished input as compact JSON.
std::string Build(Cli::InputBuilder& builder) {
  std::list<Tirn::BaseMessage> messages;
  Tirn::Data::DataValuePtr value;
  std::string text;
  EXPECT_TRUE(builder.Finish(&value, messages));
  EXPECT_TRUE(Tirn::Json::Encode(value, nullptr, &text, messages));
  return text;
}

TEST(TypeText, ReadsTheKindTheDefinitionNames) {
  struct Case {
    DataType::Kind kind;
    std::vector<std::pair<std::string, std::string>> read;  // text and its value as JSON
    std::vector<std::string> refused;
  };
  std::vector<Case> const cases = {
      {DataType::INTEGER,
       {{"42", "42"}, {"+4", "4"}, {"-9223372036854775808", "-9223372036854775808"}},
       {"9223372036854775808", "4x", "", "1.0"}},
      {DataType::DOUBLE,
       {{"1.5", "1.5"}, {"1e3", "1000.0"}, {"7", "7.0"}},
       {"nan", "inf", "1e400", " 1"}},
      {DataType::BOOLEAN, {{"true", "true"}, {"false", "false"}}, {"yes", "True"}},
      {DataType::STRING, {{"NATIVE", "\"NATIVE\""}, {"", "\"\""}}, {}},
      {DataType::BLOB, {{"Zm9vYg==", "\"Zm9vYg==\""}}, {"not base64!"}},
      {DataType::VOID, {{"", "null"}}, {"x"}},
  };
  for (auto const& c : cases) {
    auto const definition = Tirn::Data::PrimitiveDefinition::GetInstance(c.kind);
    std::string const kind = DataType(c.kind).name();
    for (auto const& [text, json] : c.read) {
      SCOPED_TRACE(kind + " '" + text + "'");
      std::list<Tirn::BaseMessage> messages;
      auto const value = Cli::TypeText(definition, "a.b", text, messages);
      ASSERT_NE(value, nullptr);
      EXPECT_EQ(value->GetType().kind(), c.kind);
      std::string encoded;
      EXPECT_TRUE(Tirn::Json::Encode(value, nullptr, &encoded, messages));
      EXPECT_EQ(encoded, json);
    }
    for (auto const& text : c.refused) {
      SCOPED_TRACE(kind + " '" + text + "'");
      std::list<Tirn::BaseMessage> messages;
      EXPECT_EQ(Cli::TypeText(definition, "a.b", text, messages), nullptr);
      ASSERT_EQ(messages.size(), 1u);
      EXPECT_EQ(messages.front().id(), Cli::MessageIds::kWrongKind);
      EXPECT_EQ(messages.front().args(), (std::list<std::string>{"a.b", text, kind}));
    }
  }
}

// Options build nested structures from dotted paths; repeated ones fill lists, sets and lists
// of structures; no secret is asked for when no structure that holds one is given. What the
// definition does not admit is refused with one message naming it. An enumeration field takes
// the names its annotations know, case-sensitively; without annotations any text goes.
TEST(InputBuilder, TakesTheOptionsTheDefinitionAdmitsAndRefusesTheRest) {
  auto const* list =
      Com::Ostrel::Nox::TrustedInfrastructure::Operations().FindByService("kms.providers", "list");
  ASSERT_NE(list, nullptr);
  struct Option {
    std::string path;
    std::string text;
    bool hasText = true;
  };
  struct Case {
    Tirn::Data::DataDefinitionPtr input;
    std::shared_ptr<Tirn::Data::DefinitionAnnotations const> annotations;
    std::vector<Option> options;
    std::string built;                   // when accepted
    std::string id = "";                 // the message, when refused
    std::vector<std::string> args = {};  // its first arguments
  };
  auto const services = Input("kms.services", "list");
  auto const providers = list->inputDefinition();
  auto const get = Input("kms.providers", "get");
  auto const create = Input("kms.providers", "create");
  std::vector<Case> const cases = {
      {services, nullptr,
       {{"filter.group", "g2"}, {"filter.group", "g1"}, {"filter.address.hostname", "a"},
        {"filter.address.port", "1"}, {"filter.address.hostname", "b"},
        {"filter.address.hostname", "c"}, {"filter.address.port", "3"}},
       R"({"filter":{"address":[{"hostname":"a","port":1},{"hostname":"b"},)"
       R"({"hostname":"c","port":3}],"group":["g2","g1"]}})"},
      {providers, nullptr, {{"filter_spec.available", "", false}, {"filter_spec.types", "NATIVE"}},
       R"({"filter_spec":{"available":true,"types":["NATIVE"]}})"},
      // The enumeration's names bind its own field only.
      {providers, list->annotations,
       {{"filter_spec.types", "TRUST_AUTHORITY"}, {"filter_spec.types", "NATIVE"},
        {"filter_spec.providers", "native"}},
       R"({"filter_spec":{"providers":["native"],"types":["TRUST_AUTHORITY","NATIVE"]}})"},
      {providers, nullptr, {{"filter_spec.types", "native"}},
       R"({"filter_spec":{"types":["native"]}})"},
      {providers, list->annotations, {{"filter_spec.types", "ZZZ"}}, "",
       Cli::MessageIds::kUnknownEnumerationValue,
       {"filter_spec.types", "ZZZ", "NATIVE, TRUST_AUTHORITY", ""}},
      {get, nullptr, {{"provider.deeper", "x"}}, "", Cli::MessageIds::kUnknownField,
       {"--provider.deeper"}},
      {create, nullptr, {{"spec..provider", "x"}}, "", Cli::MessageIds::kUnknownField, {"--spec."}},
      {get, nullptr, {{"provider", "a"}, {"provider", "b"}}, "", Cli::MessageIds::kGivenTwice,
       {"provider"}},
      {create, nullptr, {{"spec", "x"}}, "", Cli::MessageIds::kNeedsField, {"spec"}},
      {services, nullptr, {{"filter.address", "x"}}, "", Cli::MessageIds::kNeedsField,
       {"filter.address"}},
      // Only a boolean may be named without a value.
      {get, nullptr, {{"provider", "", false}}, "", Cli::MessageIds::kNeedsValue, {}},
  };
  for (Case const& c : cases) {
    Cli::InputBuilder builder(c.input, c.annotations);
    std::list<Tirn::BaseMessage> messages;
    bool ok = true;
    std::string given;
    for (auto const& o : c.options) {
      ok = builder.Add(o.path, o.text, messages, o.hasText) && ok;
      given += "--" + o.path + (o.hasText ? "=" + o.text : "") + " ";
    }
    SCOPED_TRACE(given);
    if (c.id.empty()) {
      EXPECT_TRUE(ok);
      EXPECT_TRUE(messages.empty());
      // No structure that holds a secret was given: none is asked for.
      EXPECT_TRUE(builder.MissingSecrets().empty());
      EXPECT_EQ(Build(builder), c.built);
      continue;
    }
    EXPECT_FALSE(ok);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages.front().id(), c.id);
    std::vector<std::string> const args(messages.front().args().begin(),
                                        messages.front().args().end());
    ASSERT_GE(args.size(), c.args.size());
    EXPECT_EQ(std::vector<std::string>(args.begin(), args.begin() + c.args.size()), c.args);
  }
}

// Inside lists and optionals, by index; an empty optional holds none. (A whole input given
// with --json: the program's test.)
TEST(FindSecret, NamesThePathOfTheFirstSecret) {
  using namespace test_convert;
  auto const secret = Tirn::Data::DataValue::Create(Tirn::SecretString("s"));
  auto const hidden = Struct("test", {{"none", Opt()}, {"items", List({Str("a"), Opt(secret)})}});
  EXPECT_EQ(Cli::FindSecret(hidden).value_or(""), "items[1]");
  auto const none = Struct("test", {{"none", Opt()}, {"items", List({Str("a")})}});
  EXPECT_FALSE(Cli::FindSecret(none)) << *Cli::FindSecret(none);
}

TEST(InputBuilder, FollowsARecursiveDefinitionAMillionLevelsDownWithoutRecursing) {
  // node { value: integer, next: optional node }
  auto reference = Tirn::Data::StructRefDefinition::GetInstance("test.node");
  auto node = Tirn::Data::StructDefinition::GetInstance(
      "test.node", {{"value", DataDefinition::Create<long long>()},
                    {"next", Tirn::Data::OptionalDefinition::GetInstance(reference)}});
  reference->SetTarget(node);
  auto input = Tirn::Data::StructDefinition::GetInstance("test.input", {{"head", node}});
  constexpr int kDepth = 1000000;
  std::string path = "head";
  path.reserve(kDepth * 5 + 16);
  for (int i = 0; i < kDepth; ++i) path += ".next";
  Cli::InputBuilder builder(input);
  std::list<Tirn::BaseMessage> messages;
  EXPECT_TRUE(builder.Add(path + ".value", "7", messages));
  // Every level above lacks its required value.
  Tirn::Data::DataValuePtr value;
  EXPECT_FALSE(builder.Finish(&value, messages));
  EXPECT_EQ(messages.front().id(), Tirn::MessageIds::kValidationMissingField);
}

}  // namespace
