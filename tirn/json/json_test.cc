// The JSON form of value trees, and of definitions with their annotations.
#include "tirn/json/json.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <ctime>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "tests/convert.h"
#include "tests/loops.h"
#include "tirn/json/definition.h"
#include "tirn/json/text.h"
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
using Tirn::Data::DefinitionAnnotations;
using Tirn::Data::ListDefinition;
using Tirn::Data::OptionalDefinition;
using Tirn::Data::PrimitiveDefinition;
using Tirn::Data::StructDefinition;
using Tirn::Data::StructRefDefinition;
using Tirn::Data::UnionCaseDefinition;
using Tirn::Data::ToDebugString;
using test_convert::FieldOf;
using test_convert::Int;
using test_convert::List;
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

std::shared_ptr<StructDefinition const> Struct(std::string const& name,
                                               DataDefinition::FieldMap const& fields) {
  return StructDefinition::GetInstance(name, fields);
}

DataDefinitionPtr Optional(DataDefinitionPtr e) { return OptionalDefinition::GetInstance(e); }
DataDefinitionPtr Blob() { return Tirn::Data::PrimitiveDefinition::GetInstance(DataType::BLOB); }
DataDefinitionPtr String() { return DataDefinition::Create<std::string>(); }
DataDefinitionPtr Integer() { return DataDefinition::Create<long long>(); }
DataDefinitionPtr ListOf(DataDefinitionPtr e) { return ListDefinition::GetInstance(e); }
DataDefinitionPtr SetOf(DataDefinitionPtr e) { return ListDefinition::GetSetInstance(e); }

// A structure whose fields refer to it (`fields` gets the reference).
std::shared_ptr<StructDefinition const> Recursive(
    std::string const& name,
    std::function<DataDefinition::FieldMap(DataDefinitionPtr const&)> const& fields) {
  auto reference = StructRefDefinition::GetInstance(name);
  auto structure = Struct(name, fields(reference));
  reference->SetTarget(structure);
  return structure;
}

DataDefinitionPtr Address() {
  return Struct("com.example.address", {{"host", String()}, {"port", Optional(Integer())}});
}

DataDefinitionPtr Account() {
  return Struct("com.example.account", {{"address", Address()},
                                        {"key", DataDefinition::Create<Tirn::SecretString>()},
                                        {"tags", SetOf(String())},
                                        {"ids", SetOf(Integer())},
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
  // (An object reads as a dynamic structure without a name: the escaping test below compares
  // one it decodes with such a structure.)
}

// What is not one JSON text is refused with the byte offset; what the definition refuses,
// naming the field.
TEST(JsonDecode, RefusesWhatIsNotJsonOrNotWhatTheDefinitionAllows) {
  DataDefinitionPtr const nested =
      Struct("com.example.nested", {{"maybe", Optional(Optional(Integer()))}});
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
      {R"({"key": "k", "tags": [], "ids": ["x", 9223372036854775808], "address": {"host": ""}})",
       Ids::kNumberOutOfRange, "ids[1]", nullptr, Account()},
      {R"({"maybe": 1})", Ids::kNestedOptional, "maybe", nullptr, nested},
  };
  for (Row const& row : rows) {
    SCOPED_TRACE(row.text);
    BaseMessage const message = DecodeFailure(row.text, row.definition);
    EXPECT_EQ(message.id(), row.id);
    std::list<std::string> const& args = message.args();
    ASSERT_FALSE(args.empty());
    EXPECT_EQ(args.front(), row.path);
    EXPECT_TRUE(!row.last || args.back() == row.last) << args.back();
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
    EXPECT_EQ(Tirn::Json::Decode(text, definition, &value, messages, {true, maxDepth}),
              path == nullptr);
    ASSERT_EQ(messages.size(), path ? 1u : 0u);
    if (!path) continue;
    EXPECT_EQ(messages.front().id(), Ids::kTooDeep);
    EXPECT_EQ(messages.front().args(), (std::list<std::string>{path, std::to_string(maxDepth)}));
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
  EXPECT_EQ(dynamic_cast<Tirn::Data::SecretValue const&>(*FieldOf(value, "key")).value().value(),
            "s3cr3t-kdk");
  EXPECT_EQ(Encoded(FieldOf(value, "ratio")), "2.0");  // a double

  // The log form masks the secret. (The wire form, secrets included, reads back as every
  // structure of the package does: tests/json_direct_read_test.cc.)
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
  auto node = Recursive("com.example.node", [](DataDefinitionPtr const& self) {
    return DataDefinition::FieldMap{{"label", String()}, {"next", Optional(self)}};
  });
  std::weak_ptr<DataDefinition const> const watched = node;
  DataValuePtr value = Decoded(
      R"({"label":"a","next":{"label":"b","next":null,"zz_b":1},"zz_a":2})", node);
  node.reset();
  EXPECT_FALSE(watched.expired());
  EXPECT_EQ(ToDebugString(value),
            "com.example.node{label: \"a\", next: optional(com.example.node{label: \"b\", "
            "next: optional(), zz_b: 1}), zz_a: 2}");
  value.reset();
  EXPECT_TRUE(watched.expired());
}

// ---- Encoding ------------------------------------------------------------------------------

TEST(JsonEncode, RefusesWhatHasNoJsonFormNamingTheField) {
  auto const number = [](double d) { return Tirn::Data::DoubleValue::GetInstance(d); };
  // What the field holds, the field, and the id of the message.
  std::tuple<char const*, DataValuePtr, char const*> const rows[] = {
      {"NaN", number(std::nan("")), Ids::kNotFinite},
      {"infinity", number(-HUGE_VAL), Ids::kNotFinite},
      // Every kind of malformed UTF-8 is the check's, which the reference services share:
      // ReferenceServerTest.StringsThatAreNotUtf8AreRefusedNamingTheField.
      {"cut at the end", Str("ok\xf0\x9f"), Ids::kInvalidUtf8Value},
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
    EXPECT_EQ(messages.front().args().front(), "inner.field");
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
  DataDefinitionPtr const numbers = Struct("com.example.numbers", {{"n", ListOf(Integer())}});
  DataValuePtr const back = Decoded(R"({"n":["1","-9007199254740993", "+4", "x8"]})", numbers);
  EXPECT_EQ(ToDebugString(back), R"(com.example.numbers{n: [1, -9007199254740993, 4, "x8"]})");
}

// Blobs travel in standard base64 and read back to the same bytes; the writer also has the URL
// form that JSON Web Tokens use. Malformed base64 is refused.
TEST(JsonEncode, BlobsTravelAsBase64) {
  struct Row {
    std::string bytes;
    char const* standard;
    char const* url;
  } const rows[] = {
      {"", "", ""},
      {"f", "Zg==", "Zg"},
      {"fo", "Zm8=", "Zm8"},
      {"foo", "Zm9v", "Zm9v"},
      {"foob", "Zm9vYg==", "Zm9vYg"},
      {"\xfb\xff\xbf", "+/+/", "-_-_"},
      {std::string("\0\xff\x10", 3), "AP8Q", "AP8Q"},
  };
  for (Row const& row : rows) {
    SCOPED_TRACE(row.standard);
    std::string const text = Encoded(Tirn::Data::BlobValue::GetInstance(row.bytes));
    EXPECT_EQ(text, std::string("\"") + row.standard + "\"");
    DataValuePtr const back = Decoded(text, Blob());
    ASSERT_EQ(back->GetType().kind(), DataType::BLOB);
    EXPECT_EQ(static_cast<Tirn::Data::BlobValue const&>(*back).value(), row.bytes);
    std::string url = "<";
    Tirn::Json::AppendBase64(row.bytes, url, Tirn::Json::Base64::kUrl);
    EXPECT_EQ(url, std::string("<") + row.url);
  }
  for (char const* text : {"\"Zm9vYg=\"", "\"Zm9vYh==\"", "\"Zm9v!g==\"", "\"Zg==Zg==\""}) {
    SCOPED_TRACE(text);
    EXPECT_EQ(DecodeFailure(text, Blob()).id(), Ids::kInvalidBase64);
  }
}

// Encoding a tree that contains itself ends with one message at the place where the walk
// meets the loop again, the message validation gives for it, in both text forms; the output is
// left as it was.
TEST(JsonEncode, AValueThatContainsItselfIsRefusedNamingWhereItLoops) {
  for (bool const pretty : {false, true}) {
    // Pretty text indents each level, so its size grows with the square of the depth.
    auto const loops = test_loops::Loops(pretty ? 1000 : 100000);
    for (test_loops::Loop const& loop : loops) {
      SCOPED_TRACE(std::string(loop.label) + (pretty ? ", pretty" : ", compact"));
      std::string text = "before";
      Messages messages;
      EXPECT_FALSE(Tirn::Json::Encode(loop.root, nullptr, &text, messages, {pretty}));
      EXPECT_EQ(text, "before");
      ASSERT_EQ(messages.size(), 1u);
      EXPECT_EQ(messages.front().id(), CoreIds::kValidationContainsItself);
      EXPECT_EQ(messages.front().args(), std::list<std::string>{loop.path});
    }
    test_loops::Break(loops);
  }
}

// A value that appears several times, beside itself or at several depths, is no loop.
TEST(JsonEncode, ASharedValueIsWrittenWhereverItAppears) {
  DataValuePtr const leaf = test_convert::Struct("com.example.leaf", {{"name", Str("x")}});
  DataValuePtr const root = test_convert::Struct(
      "com.example.root",
      {{"m", test_convert::Struct("com.example.middle", {{"a", leaf}, {"b", List({leaf, leaf})}})},
       {"n", leaf}});
  std::string const node = R"({"name":"x"})";
  EXPECT_EQ(Encoded(root),
            R"({"m":{"a":)" + node + R"(,"b":[)" + node + "," + node + R"(]},"n":)" + node + "}");
}

// A string is copied in runs of eight bytes between the characters JSON escapes: whichever byte
// of a run holds one, in keys and values alike, the text holds no raw control character and
// reads back to the same string; a non-ASCII sequence across a run's end is kept whole.
TEST(JsonEncode, EveryCharacterToEscapeIsFoundWhereverItFallsInARun) {
  std::string const specials[] = {"\"", "\\", "\n", std::string(1, '\0'), "\x1f", "\xc3\xa9",
                                  "\xe2\x82\xac", "\x7f"};
  for (std::string const& special : specials) {
    for (std::size_t at = 0; at <= 17; ++at) {
      SCOPED_TRACE(at);
      std::string const text = std::string(at, 'a') + special + std::string(19 - at, 'b');
      auto const value = Tirn::Data::DynamicStructValue::GetInstance("");
      value->SetField(text, Str(text));
      std::string const json = Encoded(value);
      for (char c : json) ASSERT_GE(static_cast<unsigned char>(c), 0x20) << json;
      EXPECT_TRUE(Tirn::Data::Equal(Decoded(json), value)) << json;
    }
  }
}

// The escaper that keeps any byte string valid JSON, for JSON written by hand. (The UTF-8 check
// is the encoder's, above, and the reference services':
// ReferenceServerTest.StringsThatAreNotUtf8AreRefusedNamingTheField.)
TEST(JsonText, StringsStayJson) {
  std::string out = "x";
  Tirn::Json::AppendJsonString(out, std::string("q\"b\\\n\x01\xff\xc3\xa9\0", 10));
  EXPECT_EQ(out, "x\"q\\\"b\\\\\\u000a\\u0001\\u00ff\xc3\xa9\\u0000\"");
}

// ---- Depth and size ------------------------------------------------------------------------

TEST(JsonCodec, AMillionLevelsDecodeEncodeAndRelease) {
  constexpr std::size_t kDepth = 1000000;
  for (std::string const open : {"[", "{\"a\":"}) {
    std::string text;
    for (std::size_t i = 0; i < kDepth; ++i) text += open;
    text += "1" + std::string(kDepth, open == "[" ? ']' : '}');
    // The tree is released with the iteration.
    EXPECT_EQ(Encoded(Decoded(text)), text);
  }
}

// The cost of decoding an object whose n distinct keys arrive in descending order.
double DecodeSeconds(std::size_t n) {
  std::string text;
  for (std::size_t i = n; i-- > 0;) {
    char key[64];
    std::snprintf(key, sizeof key, ",\"k%09zu\":%zu", i, i);
    text += key;
  }
  text = "{" + text.substr(1) + "}";
  // The least CPU time of three decodes: other work on the machine only ever adds to one.
  double least = HUGE_VAL;
  for (int run = 0; run < 3; ++run) {
    std::clock_t const start = std::clock();
    DataValuePtr value = Decoded(text);
    least = std::min(least, static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC);
    EXPECT_EQ(static_cast<Tirn::Data::CompoundValue const&>(*value).fields().size(), n);
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

// ---- Definitions ---------------------------------------------------------------------------

// A union case around an optional, which travels like that optional, not as an optional inside
// an optional.
DataDefinitionPtr BookCase(std::vector<std::string> const& values) {
  return UnionCaseDefinition::GetInstance(
      Optional(Struct("t.book", {{"pages", Integer()}})), "kind",
      [values](std::string const& tag) -> boost::logic::tribool {
        return std::find(values.begin(), values.end(), tag) != values.end();
      });
}

std::string Encoded(DataDefinitionPtr const& definition, DefinitionAnnotations const& annotations) {
  std::string text;
  Messages messages;
  EXPECT_TRUE(Tirn::Json::EncodeDefinition(definition, annotations, &text, messages));
  for (BaseMessage const& message : messages) ADD_FAILURE() << message.defaultMessage();
  return text;
}

// The definition `text` holds. (Whether its annotations read back: tests/definitions_test.cc.)
DataDefinitionPtr Decode(std::string const& text,
                         Tirn::Json::DefinitionDecodeOptions const& options = {}) {
  DataDefinitionPtr definition;
  DefinitionAnnotations annotations;
  Messages messages;
  EXPECT_TRUE(Tirn::Json::DecodeDefinition(text, &definition, &annotations, messages, options));
  for (BaseMessage const& message : messages) ADD_FAILURE() << message.defaultMessage();
  return definition;
}

// Whether `text` reads through `definition` (and so passes its validation).
bool Admits(DataDefinitionPtr const& definition, std::string const& text) {
  Tirn::Data::DataValuePtr value;
  Messages messages;
  return Tirn::Json::Decode(text, definition, &value, messages);
}

// Every kind, a structure that holds itself, and a reference shared away from its structure
// read back equal and write again the same text. (Annotations, errors and structures shared
// across a tree read back as every operation of the package and of the shop does:
// tests/definitions_test.cc, whose protocol example also fixes the form of most kinds.)
TEST(DefinitionJson, TreesReadBackEqual) {
  // As the runtime builds it when it meets b first: c, built inside b, refers to b, and the
  // root shares that c, so the reference sits where b is no ancestor.
  auto const b = Recursive("t.b", [](DataDefinitionPtr const& self) -> DataDefinition::FieldMap {
    return {{"c", Struct("t.c", {{"b", Optional(self)}})}};
  });
  std::pair<char const*, DataDefinitionPtr> const cases[] = {
      {"every leaf kind and wrapper",
       Struct("t.all", {{"void", DataDefinition::Create<Tirn::Void>()},
                        {"integer", Integer()},
                        {"double", DataDefinition::Create<double>()},
                        {"boolean", DataDefinition::Create<bool>()},
                        {"blob", PrimitiveDefinition::GetInstance(DataType::BLOB)},
                        {"secret", DataDefinition::Create<Tirn::SecretString>()},
                        {"dynamic", PrimitiveDefinition::GetInstance(DataType::DYNAMIC_STRUCTURE)},
                        {"list", ListOf(Integer())},
                        {"set", SetOf(String())},
                        {"nested", Optional(ListOf(Optional(String())))}})},
      {"a structure that holds itself",
       Recursive("t.node",
                 [](DataDefinitionPtr const& self) -> DataDefinition::FieldMap {
                   return {{"children", ListOf(self)}, {"name", String()}};
                 })},
      {"a reference shared away from its structure",
       Struct("t.a", {{"b", b}, {"c", b->fields().at("c")}})},
  };
  for (auto const& [what, definition] : cases) {
    SCOPED_TRACE(what);
    std::string const text = Encoded(definition, {});
    DataDefinitionPtr const back = Decode(text);
    EXPECT_TRUE(Tirn::Data::Equal(definition, back)) << Tirn::Data::ToDebugString(back);
    // Written again, the tree read back gives the same text.
    EXPECT_EQ(Encoded(back, {}), text);
  }
  EXPECT_THAT(Encoded(cases[0].second, {}),
              testing::HasSubstr(R"("dynamic":{"kind":"dynamic_structure"})"));
}

TEST(DefinitionJson, AUnionCaseReadBackIsPresentForItsValuesOnly) {
  DefinitionAnnotations annotations;
  annotations.structures["t.item"].unionCases["book"] = {"kind", {"BOOK", "COMIC"}};
  DataDefinitionPtr const original =
      Struct("t.item", {{"kind", String()}, {"book", BookCase({"BOOK", "COMIC"})}});
  DataDefinitionPtr const read = Decode(Encoded(original, annotations));
  // Without values the case's rule is unknown: the field is left free.
  DataDefinitionPtr const free = Decode(Encoded(original, {}));
  // A value as JSON, and whether the original admits it.
  std::pair<char const*, bool> const rows[] = {
      {R"({"kind":"BOOK","book":{"pages":3}})", true},
      {R"({"kind":"COMIC","book":{"pages":3}})", true},
      {R"({"kind":"BOOK"})", false},
      {R"({"kind":"GAME","book":{"pages":3}})", false},
      {R"({"kind":"GAME"})", true},
      // Whatever the order of the keys, and with null for the case.
      {R"({"book":{"pages":3},"kind":"GAME"})", false},
      {R"({"book":{"pages":3},"kind":"BOOK"})", true},
      {R"({"kind":"GAME","book":null})", true},
  };
  for (auto const& [text, admitted] : rows) {
    SCOPED_TRACE(text);
    EXPECT_EQ(Admits(original, text), admitted);
    EXPECT_EQ(Admits(read, text), admitted);
    EXPECT_TRUE(Admits(free, text));
  }
}

// The first of `messages` has the id `id`, and a first argument that starts with `path`.
void ExpectFirst(Messages const& messages, char const* id, char const* path) {
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages.front().id(), id) << messages.front().defaultMessage();
  ASSERT_FALSE(messages.front().args().empty());
  EXPECT_THAT(messages.front().args().front(), testing::StartsWith(path));
}

// A definition document: the type `type` beside the structure table `structures`.
std::string Document(std::string const& type, std::string const& structures = "{}") {
  return R"({"type":)" + type + R"(,"structures":)" + structures + "}";
}

// A document whose string type comes with one structure "s" of `members` beside its kind.
std::string WithStructure(std::string const& members) {
  return Document(R"({"kind":"string"})", R"({"s":{"kind":"structure")" + members + "}}");
}

TEST(DefinitionJson, HostileTextsAreRefusedWithMessages) {
  std::string deepWrappers;
  for (int i = 0; i < 100000; ++i) deepWrappers += R"({"kind":"optional","element":)";
  deepWrappers = R"({"structures":{},"type":)" + deepWrappers + R"({"kind":"string"})" +
                 std::string(100000, '}') + "}";
  std::string wide;
  for (int i = 0; i < 50; ++i) {
    wide += (i ? ",\"f" : "\"f") + std::to_string(i) + R"(":{"kind":"string"})";
  }
  wide = Document(R"({"kind":"structure","name":"w"})",
                  R"({"w":{"kind":"structure","fields":{)" + wide + "}}}");
  Tirn::Json::DefinitionDecodeOptions few;
  few.maxDefinitions = 20;
  struct Row {
    char const* what;
    std::string text;
    char const* id;
    char const* path;
    Tirn::Json::DefinitionDecodeOptions options = {};
  } const rows[] = {
      {"not JSON", "{", Ids::kSyntax, "<root>"},
      {"a hundred thousand wrappers", deepWrappers, Ids::kTooDeep, "type.element.element"},
      {"a million arrays", std::string(1000000, '['), Ids::kTooDeep, ""},
      {"no object", "[]", Ids::kDefinitionShape, "<root>"},
      {"no type", R"({"structures":{}})", Ids::kDefinitionShape, "<root>"},
      {"a table that is no object", Document(R"({"kind":"string"})", "[]"),
       Ids::kDefinitionShape, "structures"},
      {"an unknown kind in a field",
       WithStructure(R"(,"fields":{"f":{"kind":"list","element":{"kind":"tuple"}}})"),
       Ids::kDefinitionUnknownKind, "structures.s.fields.f.element"},
      {"a kind that is no string", Document(R"({"kind":5})"), Ids::kDefinitionShape, "type"},
      {"a field naming a missing structure",
       WithStructure(
           R"(,"fields":{"f":{"kind":"optional","element":{"kind":"structure","name":"gone"}}})"),
       Ids::kDefinitionUnknownStructure, "structures.s.fields.f.element"},
      {"an error named as a structure",
       Document(R"({"kind":"structure","name":"e"})", R"({"e":{"kind":"error","fields":{}}})"),
       Ids::kDefinitionShape, "type"},
      {"a wrapper without its element", Document(R"({"kind":"set"})"), Ids::kDefinitionShape,
       "type"},
      {"a union case without its tag",
       Document(R"({"kind":"union_case","element":{"kind":"string"}})"), Ids::kDefinitionShape,
       "type"},
      {"names that are no strings", Document(R"({"kind":"string","enumeration":["A",1]})"),
       Ids::kDefinitionShape, "type"},
      {"a structure without fields", WithStructure(""), Ids::kDefinitionShape, "structures.s"},
      {"a structure's description that is no string",
       WithStructure(R"(,"description":1,"fields":{})"), Ids::kDefinitionShape, "structures.s"},
      {"a field's description that is no string",
       WithStructure(R"(,"fields":{"f":{"kind":"string","description":["x"]}})"),
       Ids::kDefinitionShape, "structures.s.fields.f"},
      {"meanings that are no strings",
       Document(R"({"kind":"string","enumeration":["A"],"enumeration_descriptions":{"A":1}})"),
       Ids::kDefinitionShape, "type"},
      {"the meaning of a name the enumeration does not list",
       Document(R"({"kind":"string","enumeration":["A"],"enumeration_descriptions":{"B":"b"}})"),
       Ids::kDefinitionShape, "type"},
      {"meanings without names",
       Document(R"({"kind":"string","enumeration_descriptions":{"A":"a"}})"),
       Ids::kDefinitionShape, "type"},
      {"more definitions than allowed", wide, Ids::kDefinitionTooLarge, "type", few},
  };
  for (Row const& row : rows) {
    SCOPED_TRACE(row.what);
    DataDefinitionPtr out = String();
    DataDefinitionPtr const before = out;
    DefinitionAnnotations annotations;
    annotations.structures["kept"].enumerations["f"] = {"A"};
    Messages messages;
    EXPECT_FALSE(Tirn::Json::DecodeDefinition(row.text, &out, &annotations, messages, row.options));
    EXPECT_EQ(out, before);
    EXPECT_EQ(annotations.structures.count("kept"), 1u);
    ExpectFirst(messages, row.id, row.path);
  }
}

TEST(DefinitionJson, WritingRefusesWhatTheFormCannotSay) {
  // The annotations of "t.s" as `edit` leaves them.
  auto const of = [](std::function<void(Tirn::Data::StructureAnnotations&)> const& edit) {
    DefinitionAnnotations annotations;
    edit(annotations.structures["t.s"]);
    return annotations;
  };
  using S = Tirn::Data::StructureAnnotations;
  struct Row {
    char const* what;
    DataDefinitionPtr definition;
    DefinitionAnnotations annotations;
    char const* id;
    char const* path;
  } const rows[] = {
      {"a missing definition", Struct("t.s", {{"f", nullptr}}), {}, Ids::kDefinitionMissing,
       "t.s.f"},
      {"an unbound reference", Struct("t.s", {{"f", StructRefDefinition::GetInstance("t.gone")}}),
       {}, Ids::kDefinitionUnbound, "t.s.f"},
      {"two structures of one name",
       Struct("t.s", {{"a", Struct("t.x", {{"f", Integer()}})},
                      {"b", Struct("t.x", {{"f", String()}})}}),
       {}, Ids::kDefinitionConflict, "t.s."},
      {"names of a field that is not there", Struct("t.s", {{"count", Integer()}}),
       of([](S& s) { s.enumerations["kind"] = {"A"}; }), Ids::kDefinitionAnnotation, "<root>"},
      {"names on an integer", Struct("t.s", {{"count", Optional(Integer())}}),
       of([](S& s) { s.enumerations["count"] = {"A"}; }), Ids::kDefinitionAnnotation,
       "t.s.count"},
      {"a case's values on a plain field", Struct("t.s", {{"count", Integer()}}),
       of([](S& s) { s.unionCases["count"] = {"kind", {"BOOK"}}; }), Ids::kDefinitionAnnotation,
       "t.s.count"},
      {"a case's values for another tag", Struct("t.s", {{"book", BookCase({"BOOK"})}}),
       of([](S& s) { s.unionCases["book"] = {"type", {"BOOK"}}; }), Ids::kDefinitionAnnotation,
       "t.s.book"},
      {"a description of a field that is not there", Struct("t.s", {{"count", Integer()}}),
       of([](S& s) { s.fieldDescriptions["size"] = "How big."; }), Ids::kDefinitionAnnotation,
       "<root>"},
      {"the meaning of a name the field does not list", Struct("t.s", {{"kind", String()}}),
       of([](S& s) {
         s.enumerations["kind"] = {"A"};
         s.enumerationDescriptions["kind"] = {{"B", "Not listed."}};
       }),
       Ids::kDefinitionAnnotation, "<root>"},
      {"meanings of a field without names", Struct("t.s", {{"kind", String()}}),
       of([](S& s) { s.enumerationDescriptions["kind"] = {{"A", "No names at all."}}; }),
       Ids::kDefinitionAnnotation, "<root>"},
  };
  for (Row const& row : rows) {
    SCOPED_TRACE(row.what);
    std::string text = "untouched";
    Messages messages;
    EXPECT_FALSE(Tirn::Json::EncodeDefinition(row.definition, row.annotations, &text, messages));
    EXPECT_EQ(text, "untouched");
    ExpectFirst(messages, row.id, row.path);
  }
}

TEST(DefinitionJson, DeepChainsGoBothWaysWithoutRecursing) {
  DataDefinitionPtr chain = String();
  for (int i = 0; i < 200000; ++i) chain = i % 2 ? Optional(chain) : ListOf(chain);
  DataDefinitionPtr const definition = Struct("t.deep", {{"f", chain}});
  std::string const text = Encoded(definition, {});
  Tirn::Json::DefinitionDecodeOptions unlimited;
  unlimited.maxDepth = 0;
  EXPECT_TRUE(Tirn::Data::Equal(Decode(text, unlimited), definition));
}

}  // namespace
