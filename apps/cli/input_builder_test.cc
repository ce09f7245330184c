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

// The finished input as compact JSON, secrets masked; or the first message's id and path.
std::string Build(Cli::InputBuilder& builder) {
  std::list<Tirn::BaseMessage> messages;
  Tirn::Data::DataValuePtr value;
  if (!builder.Finish(&value, messages)) {
    return messages.front().id() + " " + messages.front().args().front();
  }
  std::string text;
  Tirn::Json::EncodeOptions options;
  options.redactSecrets = true;
  EXPECT_TRUE(Tirn::Json::Encode(value, nullptr, &text, messages, options));
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

TEST(InputBuilder, AsksForAMissingSecretUntilItIsGiven) {
  Cli::InputBuilder builder(Input("kms.providers", "create"));
  std::list<Tirn::BaseMessage> messages;
  EXPECT_TRUE(builder.Add("spec.native_spec.key_id", "k1", messages));
  EXPECT_TRUE(builder.Add("spec.provider", "vault-native", messages));
  EXPECT_TRUE(messages.empty());
  std::string const secret = "spec.native_spec.key_derivation_key";
  EXPECT_EQ(builder.MissingSecrets(), std::vector<std::string>{secret});
  EXPECT_EQ(Build(builder), std::string(Tirn::MessageIds::kValidationMissingField) + " " + secret);
  EXPECT_TRUE(builder.AddSecret(secret, Tirn::SecretString("kdk"), messages));
  EXPECT_TRUE(builder.MissingSecrets().empty());
  EXPECT_EQ(Build(builder), R"({"spec":{"native_spec":{"key_derivation_key":"<secret>",)"
                            R"("key_id":"k1"},"provider":"vault-native"}})");
}

// Options build nested structures from dotted paths; repeated ones fill lists, sets and lists
// of structures; a secret is asked for only when the structure that holds it is given. What the
// definition does not admit is refused with one message naming it. An enumeration field takes
// the names its annotations know, case-sensitively; without annotations any text goes.
TEST(InputBuilder, TakesTheOptionsTheDefinitionAdmitsAndRefusesTheRest) {
  auto const* list =
      Com::Ostrel::Nox::TrustedInfrastructure::Operations().FindByService("kms.providers", "list");
  ASSERT_NE(list, nullptr);
  // An input with an enumeration parameter of its own, beside a plain one.
  auto const own = Tirn::Data::StructDefinition::GetInstance(
      "test.operation_input", {{"mode", DataDefinition::Create<std::string>()},
                               {"note", DataDefinition::Create<std::string>()}});
  auto annotations = std::make_shared<Tirn::Data::DefinitionAnnotations>();
  annotations->structures["test.operation_input"].enumerations["mode"] = {"FAST", "SAFE"};
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
      {providers, list->annotations,
       {{"filter_spec.types", "TRUST_AUTHORITY"}, {"filter_spec.types", "NATIVE"}},
       R"({"filter_spec":{"types":["TRUST_AUTHORITY","NATIVE"]}})"},
      {providers, nullptr, {{"filter_spec.types", "native"}},
       R"({"filter_spec":{"types":["native"]}})"},
      {own, annotations, {{"mode", "SAFE"}, {"note", "fast"}}, R"({"mode":"SAFE","note":"fast"})"},
      {create, nullptr, {{"spec.provider", "p"}}, R"({"spec":{"provider":"p"}})"},
      {providers, list->annotations, {{"filter_spec.types", "native"}}, "",
       Cli::MessageIds::kUnknownEnumerationValue,
       {"filter_spec.types", "native", "NATIVE, TRUST_AUTHORITY", " (did you mean NATIVE?)"}},
      {own, annotations, {{"mode", "SLOW"}}, "", Cli::MessageIds::kUnknownEnumerationValue,
       {"mode", "SLOW", "FAST, SAFE", ""}},
      {get, nullptr, {{"nope", "x"}}, "", Cli::MessageIds::kUnknownField, {"--nope"}},
      {get, nullptr, {{"provider.deeper", "x"}}, "", Cli::MessageIds::kUnknownField,
       {"--provider.deeper"}},
      {create, nullptr, {{"spec.native_spec.nope", "x"}}, "", Cli::MessageIds::kUnknownField,
       {"--spec.native_spec.nope"}},
      {create, nullptr, {{"spec..provider", "x"}}, "", Cli::MessageIds::kUnknownField, {"--spec."}},
      {get, nullptr, {{"provider", "a"}, {"provider", "b"}}, "", Cli::MessageIds::kGivenTwice,
       {"provider"}},
      {create, nullptr, {{"spec", "x"}}, "", Cli::MessageIds::kNeedsField, {"spec"}},
      {services, nullptr, {{"filter.address", "x"}}, "", Cli::MessageIds::kNeedsField,
       {"filter.address"}},
      {services, nullptr, {{"filter.address.port", "eighty"}}, "", Cli::MessageIds::kWrongKind,
       {"filter.address[0].port"}},
      {create, nullptr, {{"spec.native_spec.key_derivation_key", "kdk"}}, "",
       Cli::MessageIds::kSecretOnCommandLine, {"spec.native_spec.key_derivation_key"}},
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

TEST(FindSecret, NamesThePathOfTheFirstSecret) {
  // An input as JSON, and the path of its secret (empty: none).
  std::pair<char const*, char const*> const cases[] = {
      {R"({"spec":{"provider":"p","native_spec":{"key_id":"k","key_derivation_key":"s"}}})",
       "spec.native_spec.key_derivation_key"},
      {R"({"spec":{"provider":"p","native_spec":null}})", ""},
      {R"({"spec":{"provider":"p"}})", ""},
  };
  for (auto const& [json, path] : cases) {
    SCOPED_TRACE(json);
    std::list<Tirn::BaseMessage> messages;
    Tirn::Data::DataValuePtr value;
    ASSERT_TRUE(Tirn::Json::Decode(json, Input("kms.providers", "create"), &value, messages));
    EXPECT_EQ(Cli::FindSecret(value).value_or(""), path);
  }
  // Inside lists and optionals, by index.
  auto const secret = Tirn::Data::DataValue::Create(Tirn::SecretString("s"));
  auto const root = test_convert::Struct(
      "test", {{"items", test_convert::List({test_convert::Str("a"), test_convert::Opt(secret)})}});
  EXPECT_EQ(Cli::FindSecret(root).value_or(""), "items[1]");
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
