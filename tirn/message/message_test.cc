#include "tirn/message/message.h"

#include <list>
#include <ostream>
#include <set>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include <gtest/gtest.h>

#include "tirn/message/message_ids.h"

namespace Tirn {

void PrintTo(BaseMessage const& m, std::ostream* os) {
  *os << "{" << m.id() << ", \"" << m.defaultMessage() << "\", [";
  for (std::string const& arg : m.args()) *os << '"' << arg << "\" ";
  *os << "]}";
}

namespace {

TEST(MakeMessageTest, FormatsTextAndKeepsArguments) {
  std::string mutableArg = "m";
  std::string const constArg = "c";
  char const* const nullText = nullptr;
  char* mutableNullText = nullptr;
  std::string const longArg(Detail::kMaxFormattedSize + 1, 'x');
  struct Case {
    char const* name;
    BaseMessage actual;
    BaseMessage expected;
  } const cases[] = {
      {"one argument", MakeMessage("a.b", "Field {1} is unset", std::string("name")),
       BaseMessage("a.b", "Field name is unset", {"name"})},
      {"extra arguments", MakeMessage("a.b", "plain", std::string("a"), std::string("b")),
       BaseMessage("a.b", "plain", {"a", "b"})},
      {"refused specification", MakeMessage("a.b", "v={1:n}", std::string("ab")),
       BaseMessage("a.b", "v=", {"ab"})},
      {"argument not expanded", MakeMessage("a.b", "{1}", std::string("{2}")),
       BaseMessage("a.b", "{2}", {"{2}"})},
      {"lvalue arguments", MakeMessage("a.b", "{2}{1}", mutableArg, constArg),
       BaseMessage("a.b", "cm", {"m", "c"})},
      {"no arguments", MakeMessage("a.b", "a {{b}} {1}"), BaseMessage("a.b", "a {b} ", {})},
      {"null C strings are empty texts",
       MakeMessage("a.b", "<{1}|{2:2}|{3}|{4}>", nullText, mutableNullText, nullptr, "lit"),
       BaseMessage("a.b", "<|  ||lit>", {"", "", "", "lit"})},
      {"text stops at the output limit, the argument travels whole",
       MakeMessage("a.b", "{1}{1}", longArg),
       BaseMessage("a.b", longArg.substr(0, Detail::kMaxFormattedSize), {longArg})},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.actual, c.expected);
  }
}

TEST(CoreMessageTest, CatalogTextIsFormattedOnlyWithArguments) {
  EXPECT_EQ(Message<CoreTag>(MessageIds::kUnsetNonOptionalField),
            BaseMessage(MessageIds::kUnsetNonOptionalField,
                        "A required field of type {1} is not set.", {}));
  struct Case {
    BaseMessage actual;
    char const* expected;
  } const cases[] = {
      {Message<CoreTag>(MessageIds::kUnsetNonOptionalField, std::string("my.type")),
       "A required field of type my.type is not set."},
      {Message<CoreTag>(MessageIds::kFieldMissing, std::string("port"), std::string("net.addr")),
       "Field 'port' is missing from structure 'net.addr'."},
      {Message<CoreTag>(MessageIds::kValidationWrongKind, std::string("spec.key_id"),
                        std::string("string"), std::string("integer")),
       "spec.key_id: expected string, found integer."},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.actual.id());
    EXPECT_EQ(c.actual.defaultMessage(), c.expected);
  }
  EXPECT_EQ(cases[1].actual.args(), (std::list<std::string>{"port", "net.addr"}));
}

std::string Fallback(std::string const& escapedId) {
  return "No default text for message '" + escapedId + "'.";
}

// Every catalog text is present and takes exactly the arguments its identifier documents.
TEST(CoreCatalogTest, EveryIdentifierHasTextForItsArguments) {
  struct Case {
    char const* id;
    std::size_t argCount;
  } const cases[] = {
      {MessageIds::kUnsetNonOptionalField, 1}, {MessageIds::kBadCast, 1},
      {MessageIds::kInvalidType, 0}, {MessageIds::kFieldMissing, 2}, {MessageIds::kWrongKind, 2},
      {MessageIds::kParseFailed, 2}, {MessageIds::kOutOfRange, 2},
      {MessageIds::kValidationWrongKind, 3}, {MessageIds::kValidationMissingField, 1},
      {MessageIds::kValidationUnexpectedField, 1}, {MessageIds::kValidationUnionCaseUnexpected, 3},
      {MessageIds::kValidationUnionCaseMissing, 3}, {MessageIds::kValidationUnresolvedReference, 2},
      {MessageIds::kOperationNotFound, 2}, {MessageIds::kErrorNotDeclared, 2},
      {MessageIds::kSignalNotConnected, 0}, {MessageIds::kNoActivation, 0},
      {MessageIds::kAtPath, 1}, {MessageIds::kContainsItself, 0},
      {MessageIds::kValidationContainsItself, 1},
      {MessageIds::kCallAbandoned, 0}, {MessageIds::kCallNoAnswer, 0},
  };
  std::set<std::string> texts;
  for (Case const& c : cases) {
    SCOPED_TRACE(c.id);
    std::string const text = Message<CoreTag>::DefaultMessageForId(c.id);
    EXPECT_FALSE(text.empty());
    EXPECT_NE(text, Fallback(c.id));
    texts.insert(text);

    std::vector<std::string> values;
    for (std::size_t i = 1; i <= c.argCount; ++i) values.push_back("<" + std::to_string(i) + ">");
    std::vector<Detail::format_arg> args;
    for (std::string const& v : values) args.push_back(Detail::MakeFormatArg(v));

    std::ostringstream full;
    std::error_code ec;
    Detail::FormatTo(full, text, args.data(), args.size(), ec);
    EXPECT_FALSE(ec) << ec.message();
    for (std::string const& v : values) EXPECT_NE(full.str().find(v), std::string::npos) << v;
    if (c.argCount == 0) {
      EXPECT_EQ(full.str(), text);
    } else {
      std::ostringstream shorter;
      Detail::FormatTo(shorter, text, args.data(), args.size() - 1, ec);
      EXPECT_EQ(ec.value(), Detail::kMoreSpecifiersThanExpected);
    }
  }
  EXPECT_EQ(texts.size(), sizeof(cases) / sizeof(cases[0]));
}

TEST(CoreCatalogTest, UnknownIdentifierNamesItself) {
  for (std::string const id : {"x.y", "", "tirn.data.bad.cast", "tirn.data.bad.cast10"}) {
    SCOPED_TRACE(id);
    EXPECT_EQ(Message<CoreTag>::DefaultMessageForId(id), Fallback(id));
  }
  // Braces in the identifier are escaped before formatting.
  EXPECT_EQ(Message<CoreTag>::DefaultMessageForId("a{1}}"), Fallback("a{{1}}}}"));
  EXPECT_EQ(Message<CoreTag>("a{1}", std::string("z")).defaultMessage(), Fallback("a{1}"));
}

}  // namespace
}  // namespace Tirn
