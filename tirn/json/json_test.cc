#include "tirn/json/json.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <ctime>
#include <list>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "tests/convert.h"
#include "tirn/message/message_ids.h"
#include "tirn/runtime/value/data_definition.h"
#include "tirn/runtime/value/data_value.h"
#include "tirn/runtime/value/equal.h"

namespace {

using Tirn::BaseMessage;
using Tirn::Data::DataDefinition;
using Tirn::Data::DataDefinitionPtr;
using Tirn::Data::DataType;
using Tirn::Data::DataValuePtr;
using Tirn::Data::ListDefinition;
using Tirn::Data::OptionalDefinition;
using Tirn::Data::OptionalValue;
using Tirn::Data::StructDefinition;
using Tirn::Data::ToDebugString;
using test_convert::FieldOf;
using test_convert::Int;
using test_convert::Opt;
using test_convert::Str;
using Messages = std::list<BaseMessage>;
namespace Ids = Tirn::Json::MessageIds;
namespace CoreIds = Tirn::MessageIds;

DataValuePtr Decoded(std::string const& text, DataDefinitionPtr const& definition = nullptr,
                     Tirn::Json::DecodeOptions const& options = {}) {
  DataValuePtr value;
  Messages messages;
  EXPECT_TRUE(Tirn::Json::Decode(text, definition, &value, messages, options)) << text;
  for (BaseMessage const& message : messages) ADD_FAILURE() << message.defaultMessage();
  return value;
}

std::string Encoded(DataValuePtr const& value, Tirn::Json::EncodeOptions const& options = {}) {
  std::string text;
  Messages messages;
  EXPECT_TRUE(Tirn::Json::Encode(value, nullptr, &text, messages, options));
  for (BaseMessage const& message : messages) ADD_FAILURE() << message.defaultMessage();
  return text;
}

// The one message a refused decode reports.
BaseMessage DecodeFailure(std::string const& text, DataDefinitionPtr const& definition = nullptr) {
  DataValuePtr value;
  Messages messages;
  EXPECT_FALSE(Tirn::Json::Decode(text, definition, &value, messages)) << text;
  EXPECT_EQ(value, nullptr);
  EXPECT_FALSE(messages.empty());
  return messages.empty() ? BaseMessage("", "", {}) : messages.front();
}

std::vector<std::string> Args(BaseMessage const& message) {
  return {message.args().begin(), message.args().end()};
}

DataDefinitionPtr Struct(std::string const& name, DataDefinition::FieldMap const& fields) {
  return StructDefinition::GetInstance(name, fields);
}

DataDefinitionPtr Optional(DataDefinitionPtr e) { return OptionalDefinition::GetInstance(e); }
DataDefinitionPtr Blob() { return Tirn::Data::PrimitiveDefinition::GetInstance(DataType::BLOB); }

DataDefinitionPtr Address() {
  return Struct("com.example.address", {{"host", DataDefinition::Create<std::string>()},
                                        {"port", Optional(DataDefinition::Create<long long>())}});
}

DataDefinitionPtr Account() {
  return Struct("com.example.account",
                {{"address", Address()},
                 {"key", DataDefinition::Create<Tirn::SecretString>()},
                 {"tags", ListDefinition::GetSetInstance(DataDefinition::Create<std::string>())},
                 {"ids", ListDefinition::GetSetInstance(DataDefinition::Create<long long>())},
                 {"blob", Optional(Blob())},
                 {"ratio", Optional(DataDefinition::Create<double>())}});
}

// ---- Without a definition ------------------------------------------------------------------

TEST(JsonDecode, FollowsTheShapeOfTheTextAndEncodesBackCanonically) {
  struct Row {
    char const* text;
    char const* debug;      // the tree
    char const* canonical;  // the tree encoded again
  };
  Row const rows[] = {
      {R"({"b": 1, "a": [true, null, "x", -2.5]})",
       R"({a: [true, void, "x", -2.5], b: 1})", R"({"a":[true,null,"x",-2.5],"b":1})"},
      {"[]", "[]", "[]"},
      {"{}", "{}", "{}"},
      {R"("caf\u00e9 \ud83d\ude00")", "\"caf\xc3\xa9 \xf0\x9f\x98\x80\"",
       "\"caf\xc3\xa9 \xf0\x9f\x98\x80\""},
      {"9223372036854775807", "9223372036854775807", "9223372036854775807"},
      {"-9223372036854775808", "-9223372036854775808", "-9223372036854775808"},
      {"9223372036854775808", "9.22337e+18", "9223372036854775808.0"},
      {"1.0", "1", "1.0"},
      {"-0.0", "-0", "-0.0"},
      {"0.1", "0.1", "0.1"},
      {"1e-400", "0", "0.0"},
      {"2.5E3", "2500", "2500.0"},
      {R"({"k": "\"\\\/\b\f\n\r\t\u0001"})", R"({k: "\"\\/\x08\x0c\x0a\x0d\x09\x01"})",
       R"({"k":"\"\\/\b\f\n\r\t\u0001"})"},
      // Escaped surrogate pairs, and what lies around them, read as the characters they pair.
      {R"("\uD83D\uDE00")", "\"\xf0\x9f\x98\x80\"", "\"\xf0\x9f\x98\x80\""},
      {R"("\udbff\udfff")", "\"\xf4\x8f\xbf\xbf\"", "\"\xf4\x8f\xbf\xbf\""},
      {R"("\ud7ff\ue000")", "\"\xed\x9f\xbf\xee\x80\x80\"", "\"\xed\x9f\xbf\xee\x80\x80\""},
      {R"("\\udefa")", R"("\\udefa")", R"("\\udefa")"},
  };
  for (Row const& row : rows) {
    SCOPED_TRACE(row.text);
    DataValuePtr const value = Decoded(row.text);
    EXPECT_EQ(ToDebugString(value), row.debug);
    EXPECT_EQ(Encoded(value), row.canonical);
    EXPECT_TRUE(Tirn::Data::Equal(Decoded(row.canonical), value));
  }
  DataValuePtr const object = Decoded(R"({"a": {}})");
  EXPECT_EQ(object->GetType().kind(), DataType::DYNAMIC_STRUCTURE);
  EXPECT_EQ(static_cast<Tirn::Data::CompoundValue const&>(*object).name(), "");
  EXPECT_EQ(Decoded("2")->GetType().kind(), DataType::INTEGER);
  EXPECT_EQ(Decoded("2.0")->GetType().kind(), DataType::DOUBLE);
}

// What is not one JSON text is refused with the byte offset; what the definition refuses,
// naming the field.
TEST(JsonDecode, RefusesWhatIsNotJsonOrNotWhatTheDefinitionAllows) {
  DataDefinitionPtr const nested = Struct(
      "com.example.nested", {{"maybe", Optional(Optional(DataDefinition::Create<long long>()))}});
  struct Row {
    std::string text;
    char const* id;
    char const* path;
    char const* last;  // the last argument (the byte offset, or the key met twice); null: none
    DataDefinitionPtr definition = nullptr;
  };
  Row const rows[] = {
      {"", Ids::kSyntax, "<root>", "0"},
      {R"({"a": 1,})", Ids::kSyntax, "a", "8"},
      {"[1] [2]", Ids::kSyntax, "<root>", "4"},
      {"NaN", Ids::kSyntax, "<root>", "0"},
      {"[1, 2", Ids::kSyntax, "[2]", "5"},
      {std::string("[1]\0[2]", 7), Ids::kSyntax, "<root>", "3"},
      {"[\"\xf3\"]", Ids::kInvalidUtf8, "[0]", "2"},
      {"{\"a\": \"\xff\"}", Ids::kInvalidUtf8, "a", "7"},
      {"[\"ok\", \"\xc0\xaf\"]", Ids::kInvalidUtf8, "[1]", "8"},
      {R"({"x": {"a": 1, "a": 2}})", Ids::kDuplicateKey, "x.a", "a"},
      {"1e400", Ids::kNumberOutOfRange, "<root>", nullptr},
      {"[-1e400]", Ids::kNumberOutOfRange, "[0]", nullptr},
      {R"({"a": 1e-400, "b": [0, 12e999999]})", Ids::kNumberOutOfRange, "b[1]", nullptr},
      // Half a surrogate pair without the other half, at its backslash, in a value, a key or
      // a secret.
      {R"({"b": ["x\udefa"]})", Ids::kInvalidUtf8, "b[0]", "9"},
      {R"(["\uDC00"])", Ids::kInvalidUtf8, "[0]", "2"},
      {R"(["x\udfff"])", Ids::kInvalidUtf8, "[0]", "3"},
      {R"(["\ud83d"])", Ids::kInvalidUtf8, "[0]", "2"},
      {R"(["\ud83d\ud83d"])", Ids::kInvalidUtf8, "[0]", "2"},
      {R"(["ok", "\ud83d\ude00\\\ude00"])", Ids::kInvalidUtf8, "[1]", "22"},
      {R"({"k": {"\udc00": 1}})", Ids::kInvalidUtf8, "k", "8"},
      {R"({"key": "\udefa"})", Ids::kInvalidUtf8, "key", "9",
       Struct("com.example.secret", {{"key", DataDefinition::Create<Tirn::SecretString>()}})},
      {R"({"key": "k", "tags": [], "ids": [], "address": {"port": 1}})",
       CoreIds::kValidationMissingField, "address.host", nullptr, Account()},
      {R"({"key": "k", "tags": [], "ids": [], "address": {"host": 5}})",
       CoreIds::kValidationWrongKind, "address.host", nullptr, Account()},
      {R"({"key": "k", "tags": [], "ids": ["x", 9223372036854775808], "address": {"host": ""}})",
       Ids::kNumberOutOfRange, "ids[1]", nullptr, Account()},
      {R"({"key": "k", "tags": [], "ids": [], "address": {"host": ""}, "blob": "a=b="})",
       Ids::kInvalidBase64, "blob", nullptr, Account()},
      {R"({"maybe": 1})", Ids::kNestedOptional, "maybe", nullptr, nested},
  };
  for (Row const& row : rows) {
    SCOPED_TRACE(row.text);
    BaseMessage const message = DecodeFailure(row.text, row.definition);
    EXPECT_EQ(message.id(), row.id);
    std::vector<std::string> const args = Args(message);
    ASSERT_FALSE(args.empty());
    EXPECT_EQ(args.front(), row.path);
    if (row.last) {
      EXPECT_EQ(args.back(), row.last);
    }
  }
  // One sentence, one period.
  EXPECT_EQ(DecodeFailure("").defaultMessage(), "Not JSON: The document is empty at byte 0.");
}

// ---- With a definition ---------------------------------------------------------------------

// The limit counts open objects and arrays; the first container past it stops the reading.
TEST(JsonDecode, RefusesContainersNestedDeeperThanTheLimit) {
  std::string const deep = std::string(1000, '[') + std::string(1000, ']');
  char const* const account = R"({"address": {"host": "h"}, "key": "k", "tags": [], "ids": []})";
  std::tuple<std::string, DataDefinitionPtr, std::size_t, char const*> const rows[] = {
      {"[[1]]", nullptr, 2, nullptr},
      {"[1, [2], [[ not JSON", nullptr, 2, "[2][0]"},
      {R"({"a": {"b": {}}})", nullptr, 3, nullptr},
      {R"({"a": {"b": {}}})", nullptr, 2, "a.b"},
      {"1", nullptr, 1, nullptr},
      {deep, nullptr, 0, nullptr},
      {deep, nullptr, 1000, nullptr},
      {deep, nullptr, 999, "[0][0][0][0][0][0][0][0]...[0][0][0][0][0][0][0][0]"},
      {account, Account(), 2, nullptr},
      {account, Account(), 1, "address"},
  };
  for (auto const& [text, definition, maxDepth, path] : rows) {
    SCOPED_TRACE(text.substr(0, 30) + " limit " + std::to_string(maxDepth));
    DataValuePtr value;
    Messages messages;
    Tirn::Json::DecodeOptions options;
    options.maxDepth = maxDepth;
    EXPECT_EQ(Tirn::Json::Decode(text, definition, &value, messages, options), path == nullptr);
    ASSERT_EQ(messages.size(), path ? 1u : 0u);
    if (!path) continue;
    EXPECT_EQ(messages.front().id(), Ids::kTooDeep);
    EXPECT_EQ(Args(messages.front()), (std::vector<std::string>{path, std::to_string(maxDepth)}));
  }
}

TEST(JsonDecode, GivesTheTreeTheKindsItsDefinitionNames) {
  std::string const text = R"({"zz_new": {"n": 1}, "ratio": 2, "ids": ["7", 3, 7],
      "tags": ["b", "a", "b"], "key": "s3cr3t-kdk", "blob": "aGk=",
      "address": {"port": null, "host": "h"}})";
  DataValuePtr const value = Decoded(text, Account());
  EXPECT_EQ(ToDebugString(value),
            "com.example.account{address: com.example.address{host: \"h\", port: optional()}, "
            "blob: optional(blob(2 bytes)), ids: set[3, 7], key: <secret>, ratio: optional(2), "
            "tags: set[\"a\", \"b\"], zz_new: {n: 1}}");
  DataValuePtr const key = FieldOf(value, "key");
  ASSERT_EQ(key->GetType().kind(), DataType::SECRET);
  EXPECT_EQ(static_cast<Tirn::Data::SecretValue const&>(*key).value().value(), "s3cr3t-kdk");
  auto const& ratio = static_cast<OptionalValue const&>(*FieldOf(value, "ratio"));
  EXPECT_EQ(ratio.value()->GetType().kind(), DataType::DOUBLE);

  // The wire form writes the secret and reads back to the same tree; the log form masks it.
  std::string const wire = Encoded(value);
  EXPECT_TRUE(Tirn::Data::Equal(Decoded(wire, Account()), value)) << wire;
  std::string const logged = Encoded(value, {false, /*redactSecrets=*/true, false});
  EXPECT_EQ(logged.find("s3cr3t"), std::string::npos);
  EXPECT_NE(logged.find(R"("key":"<secret>")"), std::string::npos) << logged;

  // A reader that skips validation still gets the definition's kinds.
  DataValuePtr const unchecked =
      Decoded(R"({"key": "k", "address": {"host": 5}})", Account(), {/*validate=*/false});
  EXPECT_EQ(ToDebugString(unchecked),
            "com.example.account{address: com.example.address{host: 5}, key: <secret>}");
}

// An empty string where an optional of a kind other than text is defined leaves the optional
// empty, as null does; where text, a blob or a secret is defined it is a value of its own.
TEST(JsonDecode, AnEmptyStringLeavesAnOptionalOfAnotherKindThanTextEmpty) {
  auto const optional = [](DataDefinitionPtr element) {
    return Struct("com.example.holder", {{"v", Optional(element)}});
  };
  std::pair<DataDefinitionPtr, char const*> const rows[] = {
      {DataDefinition::Create<long long>(), "optional()"},
      {DataDefinition::Create<double>(), "optional()"},
      {DataDefinition::Create<bool>(), "optional()"},
      {ListDefinition::GetInstance(DataDefinition::Create<long long>()), "optional()"},
      {Address(), "optional()"},
      {DataDefinition::Create<std::string>(), "optional(\"\")"},
      {Blob(), "optional(blob(0 bytes))"},
  };
  for (auto const& row : rows) {
    SCOPED_TRACE(ToDebugString(row.first));
    EXPECT_EQ(ToDebugString(Decoded(R"({"v": ""})", optional(row.first))),
              std::string("com.example.holder{v: ") + row.second + "}");
  }
}

TEST(JsonDecode, AStructureKeepsTheDefinitionItBorrowsItsNamesFrom) {
  // The tree given to the decode lends its structure and field names: a value made from it
  // keeps it alive. A structure reached through a reference, and keys the definition does not
  // name, keep copies of their own.
  auto reference = Tirn::Data::StructRefDefinition::GetInstance("com.example.node");
  auto node = std::static_pointer_cast<StructDefinition const>(
      Struct("com.example.node",
             {{"label", Tirn::Data::PrimitiveDefinition::GetInstance(DataType::STRING)},
              {"next", Optional(reference)}}));
  reference->SetTarget(node);
  std::weak_ptr<DataDefinition const> const watched = node;
  DataValuePtr value = Decoded(
      R"({"label":"a","next":{"label":"b","next":null,"zz_b":1},"zz_a":2})", node);
  node.reset();
  reference.reset();
  EXPECT_FALSE(watched.expired());
  EXPECT_EQ(ToDebugString(value),
            "com.example.node{label: \"a\", next: optional(com.example.node{label: \"b\", "
            "next: optional(), zz_b: 1}), zz_a: 2}");
  value.reset();
  EXPECT_TRUE(watched.expired());
}

TEST(JsonDecode, ChecksUnionCasesWhateverTheOrderOfKeys) {
  auto const isNative = [](std::string const& tag) -> boost::logic::tribool {
    return tag == "NATIVE";
  };
  DataDefinitionPtr const info =
      Struct("com.example.info", {{"type", DataDefinition::Create<std::string>()},
                                  {"native", Tirn::Data::UnionCaseDefinition::GetInstance(
                                                 Optional(Address()), "type", isNative)}});
  Decoded(R"({"native": {"host": "h"}, "type": "NATIVE"})", info);
  Decoded(R"({"type": "NATIVE", "native": {"host": "h"}})", info);
  Decoded(R"({"type": "OTHER", "native": null})", info);
  EXPECT_EQ(DecodeFailure(R"({"native": {"host": "h"}, "type": "OTHER"})", info).id(),
            Tirn::MessageIds::kValidationUnionCaseUnexpected);
  EXPECT_EQ(DecodeFailure(R"({"type": "NATIVE"})", info).id(),
            Tirn::MessageIds::kValidationUnionCaseMissing);
}

// ---- Encoding ------------------------------------------------------------------------------

TEST(JsonEncode, RefusesWhatHasNoJsonFormNamingTheField) {
  auto const number = [](double d) { return Tirn::Data::DoubleValue::GetInstance(d); };
  // What the field holds, the field, and the id of the message.
  std::tuple<char const*, DataValuePtr, char const*> const rows[] = {
      {"NaN", number(std::nan("")), Ids::kNotFinite},
      {"infinity", number(-HUGE_VAL), Ids::kNotFinite},
      {"broken UTF-8", Str("ab\xe2\x82"), Ids::kInvalidUtf8Value},
      {"a surrogate", Str("\xed\xa0\x80"), Ids::kInvalidUtf8Value},
      {"an overlong form", Str("\xc0\xaf"), Ids::kInvalidUtf8Value},
      {"cut at the end", Str("ok\xf0\x9f"), Ids::kInvalidUtf8Value},
      {"above U+10FFFF", Str("\xf4\x90\x80\x80"), Ids::kInvalidUtf8Value},
      {"no value", nullptr, Ids::kNullValue},
      {"an optional directly inside an optional", Opt(Opt(Int(1))), Ids::kNestedOptional},
  };
  for (auto const& [label, field, id] : rows) {
    SCOPED_TRACE(label);
    auto const inner = test_convert::Struct("com.example.inner", {{"a", Int(1)}, {"field", field}});
    DataValuePtr const value = test_convert::Struct("com.example.outer", {{"inner", inner}});
    std::string text = "unchanged";
    Messages messages;
    EXPECT_FALSE(Tirn::Json::Encode(value, nullptr, &text, messages));
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages.front().id(), id);
    EXPECT_EQ(Args(messages.front()).front(), "inner.field");
    EXPECT_EQ(text, "unchanged");
  }
}

TEST(JsonEncode, OptionsShapeTheText) {
  DataValuePtr const value = Decoded(R"({"n": [1, -9007199254740993], "o": {}, "s": "x"})");
  EXPECT_EQ(Encoded(value, {/*pretty=*/true, false, false}),
            "{\n  \"n\": [\n    1,\n    -9007199254740993\n  ],\n  \"o\": {},\n  \"s\": \"x\"\n}");
  std::string const asStrings = Encoded(value, {false, false, /*integersAsStrings=*/true});
  EXPECT_EQ(asStrings, R"({"n":["1","-9007199254740993"],"o":{},"s":"x"})");
  // Where integers are defined, their string form reads back as integers.
  DataDefinitionPtr const numbers =
      Struct("com.example.numbers",
             {{"n", ListDefinition::GetInstance(DataDefinition::Create<long long>())}});
  DataValuePtr const back = Decoded(R"({"n":["1","-9007199254740993", "+4", "x8"]})", numbers);
  EXPECT_EQ(ToDebugString(back), R"(com.example.numbers{n: [1, -9007199254740993, 4, "x8"]})");
}

TEST(JsonEncode, BlobsTravelAsBase64) {
  DataDefinitionPtr const blob = Blob();
  for (std::string const& bytes : std::vector<std::string>{"", "f", "fo", "foo", "foob",
                                                          std::string("\0\xff\x10", 3)}) {
    SCOPED_TRACE(bytes);
    std::string const text = Encoded(Tirn::Data::BlobValue::GetInstance(bytes));
    DataValuePtr const back = Decoded(text, blob);
    ASSERT_EQ(back->GetType().kind(), DataType::BLOB);
    EXPECT_EQ(static_cast<Tirn::Data::BlobValue const&>(*back).value(), bytes);
  }
  EXPECT_EQ(Encoded(Tirn::Data::BlobValue::GetInstance("foob")), "\"Zm9vYg==\"");
  for (char const* text : {"\"Zm9vYg=\"", "\"Zm9vYh==\"", "\"Zm9v!g==\"", "\"Zg==Zg==\""}) {
    SCOPED_TRACE(text);
    EXPECT_EQ(DecodeFailure(text, blob).id(), Ids::kInvalidBase64);
  }
}

// ---- Depth and size ------------------------------------------------------------------------

TEST(JsonCodec, AMillionLevelsDecodeEncodeAndRelease) {
  constexpr std::size_t kDepth = 1000000;
  for (auto const& [open, close] : {std::pair<char const*, char const*>{"[", "]"},
                                    std::pair<char const*, char const*>{"{\"a\":", "}"}}) {
    std::string text;
    for (std::size_t i = 0; i < kDepth; ++i) text += open;
    text += "1";
    for (std::size_t i = 0; i < kDepth; ++i) text += close;
    DataValuePtr value = Decoded(text);
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(Encoded(value), text);
    value.reset();
  }
}

// The cost of decoding an object whose n distinct keys arrive in descending order.
double DecodeSeconds(std::size_t n) {
  std::string text = "{";
  for (std::size_t i = n; i-- > 0;) {
    char key[64];
    std::snprintf(key, sizeof key, "\"k%09zu\":%zu", i, i);
    text += key;
    if (i != 0) text += ',';
  }
  text += '}';
  // The least CPU time of three decodes: other work on the machine only ever adds to one.
  double least = 0;
  for (int run = 0; run < 3; ++run) {
    std::clock_t const start = std::clock();
    DataValuePtr value = Decoded(text);
    double const seconds = static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
    EXPECT_EQ(static_cast<Tirn::Data::CompoundValue const&>(*value).fields().size(), n);
    least = run == 0 ? seconds : std::min(least, seconds);
  }
  return least;
}

TEST(JsonDecode, ManyKeysCostCloseToTheirNumber) {
  DecodeSeconds(1000);  // warm up
  double const small = DecodeSeconds(20000);
  double const large = DecodeSeconds(160000);
  // Proportional growth gives about 8x (a little more with n log n); quadratic gives 64x.
  EXPECT_LT(large / small, 24.0) << small << " s against " << large << " s";
}

}  // namespace
