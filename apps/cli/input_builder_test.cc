#include "apps/cli/input_builder.h"

#include <gtest/gtest.h>

#include "com/ostrel/nox/trusted_infrastructure/operations.h"
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
    std::string text;
    std::string json;  // empty: refused
  };
  std::vector<Case> const cases = {
      {DataType::INTEGER, "42", "42"},
      {DataType::INTEGER, "+4", "4"},
      {DataType::INTEGER, "-9223372036854775808", "-9223372036854775808"},
      {DataType::INTEGER, "9223372036854775808", ""},
      {DataType::INTEGER, "4x", ""},
      {DataType::INTEGER, "", ""},
      {DataType::INTEGER, "1.0", ""},
      {DataType::DOUBLE, "1.5", "1.5"},
      {DataType::DOUBLE, "1e3", "1000.0"},
      {DataType::DOUBLE, "7", "7.0"},
      {DataType::DOUBLE, "nan", ""},
      {DataType::DOUBLE, "inf", ""},
      {DataType::DOUBLE, "1e400", ""},
      {DataType::DOUBLE, " 1", ""},
      {DataType::BOOLEAN, "true", "true"},
      {DataType::BOOLEAN, "false", "false"},
      {DataType::BOOLEAN, "yes", ""},
      {DataType::BOOLEAN, "True", ""},
      {DataType::STRING, "NATIVE", "\"NATIVE\""},
      {DataType::STRING, "", "\"\""},
      {DataType::BLOB, "Zm9vYg==", "\"Zm9vYg==\""},
      {DataType::BLOB, "not base64!", ""},
      {DataType::VOID, "", "null"},
      {DataType::VOID, "x", ""},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(std::string(DataType(c.kind).name()) + " '" + c.text + "'");
    std::list<Tirn::BaseMessage> messages;
    auto value = Cli::TypeText(Tirn::Data::PrimitiveDefinition::GetInstance(c.kind), "a.b",
                               c.text, messages);
    if (c.json.empty()) {
      EXPECT_EQ(value, nullptr);
      ASSERT_EQ(messages.size(), 1u);
      EXPECT_EQ(messages.front().id(), Cli::MessageIds::kWrongKind);
      EXPECT_EQ(messages.front().args(),
                (std::list<std::string>{"a.b", c.text, DataType(c.kind).name()}));
      continue;
    }
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(value->GetType().kind(), c.kind);
    std::string json;
    EXPECT_TRUE(Tirn::Json::Encode(value, nullptr, &json, messages));
    EXPECT_EQ(json, c.json);
  }
  std::list<Tirn::BaseMessage> messages;
  EXPECT_EQ(Cli::TypeText(DataDefinition::Create<Tirn::SecretString>(), "key", "hunter2", messages),
            nullptr);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages.front().id(), Cli::MessageIds::kSecretOnCommandLine);
  EXPECT_EQ(messages.front().defaultMessage().find("hunter2"), std::string::npos);
}

TEST(InputBuilder, BuildsNestedStructuresFromDottedPaths) {
  Cli::InputBuilder builder(Input("kms.providers", "create"));
  std::list<Tirn::BaseMessage> messages;
  EXPECT_TRUE(builder.Add("spec.native_spec.key_id", "k1", messages));
  EXPECT_TRUE(builder.Add("spec.provider", "vault-native", messages));
  EXPECT_TRUE(messages.empty());
  // The secret is missing: asked for, and refused until it is given.
  EXPECT_EQ(builder.MissingSecrets(), std::vector<std::string>{"spec.native_spec.key_derivation_key"});
  EXPECT_EQ(Build(builder),
            std::string(Tirn::MessageIds::kValidationMissingField) +
                " spec.native_spec.key_derivation_key");
  EXPECT_TRUE(builder.AddSecret("spec.native_spec.key_derivation_key", Tirn::SecretString("kdk"),
                                messages));
  EXPECT_TRUE(builder.MissingSecrets().empty());
  EXPECT_EQ(Build(builder),
            R"({"spec":{"native_spec":{"key_derivation_key":"<secret>","key_id":"k1"},"provider":"vault-native"}})");

  // Without the structure that holds it, a secret is not asked for.
  Cli::InputBuilder bare(Input("kms.providers", "create"));
  EXPECT_TRUE(bare.Add("spec.provider", "p", messages));
  EXPECT_TRUE(bare.MissingSecrets().empty());
  EXPECT_EQ(Build(bare), R"({"spec":{"provider":"p"}})");
}

TEST(InputBuilder, RepeatedOptionsFillListsSetsAndListsOfStructures) {
  Cli::InputBuilder builder(Input("kms.services", "list"));
  std::list<Tirn::BaseMessage> messages;
  for (auto const* group : {"g2", "g1"}) EXPECT_TRUE(builder.Add("filter.group", group, messages));
  EXPECT_TRUE(builder.Add("filter.address.hostname", "a", messages));
  EXPECT_TRUE(builder.Add("filter.address.port", "1", messages));
  EXPECT_TRUE(builder.Add("filter.address.hostname", "b", messages));
  EXPECT_TRUE(builder.Add("filter.address.hostname", "c", messages));
  EXPECT_TRUE(builder.Add("filter.address.port", "3", messages));
  EXPECT_TRUE(messages.empty());
  EXPECT_EQ(Build(builder),
            R"({"filter":{"address":[{"hostname":"a","port":1},{"hostname":"b"},{"hostname":"c","port":3}],"group":["g2","g1"]}})");

  // A boolean given without a value is true.
  Cli::InputBuilder flags(Input("kms.providers", "list"));
  EXPECT_TRUE(flags.Add("filter_spec.available", "", messages, /*hasText=*/false));
  EXPECT_TRUE(flags.Add("filter_spec.types", "NATIVE", messages));
  EXPECT_EQ(Build(flags), R"({"filter_spec":{"available":true,"types":["NATIVE"]}})");
}

TEST(InputBuilder, RefusesWhatTheDefinitionDoesNotAdmit) {
  struct Case {
    char const* service;
    char const* operation;
    std::vector<std::pair<std::string, std::string>> options;
    std::string id;
    std::string path;
  };
  std::vector<Case> const cases = {
      {"kms.providers", "get", {{"nope", "x"}}, Cli::MessageIds::kUnknownField, "--nope"},
      {"kms.providers", "get", {{"provider.deeper", "x"}}, Cli::MessageIds::kUnknownField, "--provider.deeper"},
      {"kms.providers", "create", {{"spec.native_spec.nope", "x"}}, Cli::MessageIds::kUnknownField,
       "--spec.native_spec.nope"},
      {"kms.providers", "create", {{"spec..provider", "x"}}, Cli::MessageIds::kUnknownField, "--spec."},
      {"kms.providers", "get", {{"provider", "a"}, {"provider", "b"}}, Cli::MessageIds::kGivenTwice, "provider"},
      {"kms.providers", "create", {{"spec", "x"}}, Cli::MessageIds::kNeedsField, "spec"},
      {"kms.services", "list", {{"filter.address", "x"}}, Cli::MessageIds::kNeedsField, "filter.address"},
      {"kms.services", "list", {{"filter.address.port", "eighty"}}, Cli::MessageIds::kWrongKind,
       "filter.address[0].port"},
      {"kms.providers", "create", {{"spec.native_spec.key_derivation_key", "kdk"}},
       Cli::MessageIds::kSecretOnCommandLine, "spec.native_spec.key_derivation_key"},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.path);
    Cli::InputBuilder builder(Input(c.service, c.operation));
    std::list<Tirn::BaseMessage> messages;
    bool ok = true;
    for (auto const& [path, text] : c.options) ok = builder.Add(path, text, messages) && ok;
    EXPECT_FALSE(ok);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages.front().id(), c.id);
    EXPECT_EQ(messages.front().args().front(), c.path);
  }
  // Only a boolean may be named without a value.
  std::list<Tirn::BaseMessage> messages;
  Cli::InputBuilder noValue(Input("kms.providers", "get"));
  EXPECT_FALSE(noValue.Add("provider", "", messages, /*hasText=*/false));
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages.front().id(), Cli::MessageIds::kNeedsValue);
}

// An enumeration field takes the names its annotations know, and only those: the text is
// case-sensitive. Without annotations any text goes, as for a plain string.
TEST(InputBuilder, EnumerationFieldsTakeOnlyTheirKnownNames) {
  auto const* list =
      Com::Ostrel::Nox::TrustedInfrastructure::Operations().FindByService("kms.providers", "list");
  ASSERT_NE(list, nullptr);
  // An input with an enumeration parameter of its own, beside a plain one.
  auto const input = Tirn::Data::StructDefinition::GetInstance(
      "test.operation_input", {{"mode", DataDefinition::Create<std::string>()},
                               {"note", DataDefinition::Create<std::string>()}});
  auto annotations = std::make_shared<Tirn::Data::DefinitionAnnotations>();
  annotations->structures["test.operation_input"].enumerations["mode"] = {"FAST", "SAFE"};
  struct Case {
    char const* what;
    Tirn::Data::DataDefinitionPtr input;
    std::shared_ptr<Tirn::Data::DefinitionAnnotations const> annotations;
    std::vector<std::pair<std::string, std::string>> options;
    std::string built;                  // when accepted
    std::vector<std::string> refusal;  // the message's arguments, when refused
  };
  std::vector<Case> const cases = {
      {"known names in a set", list->inputDefinition(), list->annotations,
       {{"filter_spec.types", "TRUST_AUTHORITY"}, {"filter_spec.types", "NATIVE"}},
       R"({"filter_spec":{"types":["TRUST_AUTHORITY","NATIVE"]}})", {}},
      {"a name in the wrong case", list->inputDefinition(), list->annotations,
       {{"filter_spec.types", "native"}}, "",
       {"filter_spec.types", "native", "NATIVE, TRUST_AUTHORITY", " (did you mean NATIVE?)"}},
      {"no annotations", list->inputDefinition(), nullptr, {{"filter_spec.types", "native"}},
       R"({"filter_spec":{"types":["native"]}})", {}},
      {"a parameter of the input", input, annotations, {{"mode", "SAFE"}, {"note", "fast"}},
       R"({"mode":"SAFE","note":"fast"})", {}},
      {"a parameter's unknown name", input, annotations, {{"mode", "SLOW"}}, "",
       {"mode", "SLOW", "FAST, SAFE", ""}},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.what);
    Cli::InputBuilder builder(c.input, c.annotations);
    std::list<Tirn::BaseMessage> messages;
    bool ok = true;
    for (auto const& [path, text] : c.options) ok = builder.Add(path, text, messages) && ok;
    if (c.refusal.empty()) {
      EXPECT_TRUE(ok);
      EXPECT_EQ(Build(builder), c.built);
      continue;
    }
    EXPECT_FALSE(ok);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages.front().id(), Cli::MessageIds::kUnknownEnumerationValue);
    EXPECT_EQ(std::vector<std::string>(messages.front().args().begin(),
                                       messages.front().args().end()),
              c.refusal);
  }
}

TEST(FindSecret, NamesThePathOfTheFirstSecret) {
  struct Case {
    char const* json;
    std::string path;  // empty: none
  };
  std::vector<Case> const cases = {
      {R"({"spec":{"provider":"p","native_spec":{"key_id":"k","key_derivation_key":"s"}}})",
       "spec.native_spec.key_derivation_key"},
      {R"({"spec":{"provider":"p","native_spec":null}})", ""},
      {R"({"spec":{"provider":"p"}})", ""},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.json);
    std::list<Tirn::BaseMessage> messages;
    Tirn::Data::DataValuePtr value;
    ASSERT_TRUE(Tirn::Json::Decode(c.json, Input("kms.providers", "create"), &value, messages));
    EXPECT_EQ(Cli::FindSecret(value).value_or(""), c.path);
  }
  // Inside lists and optionals, by index.
  auto list = Tirn::Data::ListValue::GetInstance(Tirn::Data::ListValue::LIST);
  list->Append(Tirn::Data::DataValue::Create<std::string>("a"));
  auto optional = Tirn::Data::OptionalValue::GetInstance();
  optional->value(Tirn::Data::DataValue::Create<Tirn::SecretString>(Tirn::SecretString("s")));
  list->Append(optional);
  auto root = Tirn::Data::StructValue::GetInstance("test");
  root->SetField("items", list);
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
