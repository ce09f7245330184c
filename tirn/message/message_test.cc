#include "tirn/message/message.h"

#include <cstdio>
#include <list>
#include <ostream>
#include <set>
#include <sstream>
#include <string>
#include <system_error>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "tirn/message/format.h"
#include "tirn/message/message_ids.h"

namespace Tirn {

void PrintTo(BaseMessage const& m, std::ostream* os) {
  *os << "{" << m.id() << ", \"" << m.defaultMessage() << "\", [";
  for (std::string const& arg : m.args()) *os << '"' << arg << "\" ";
  *os << "]}";
}

namespace Detail {
namespace {

struct Formatted {
  std::string text;
  std::error_code ec;
  bool streamGood;
};

Formatted Format(std::string const& tmpl, std::vector<std::string> const& values) {
  std::vector<format_arg> args;
  for (std::string const& value : values) args.push_back(MakeFormatArg(value));
  std::ostringstream out;
  std::error_code ec = std::make_error_code(std::errc::io_error);  // must be overwritten
  FormatTo(out, tmpl, args.data(), args.size(), ec);
  return {out.str(), ec, out.good()};
}

// A template formats whole; one that asks for an argument beyond those given stops there.
TEST(FormatToTest, PlaceholdersAndMissingArguments) {
  // The template, its arguments, and the text.
  using Row = std::tuple<char const*, std::vector<std::string>, char const*>;
  std::vector<Row> const complete = {
      {"Field {1} is unset", {"name"}, "Field name is unset"}, {"{{{1}}}", {"x"}, "{x}"},
      {"{{}}", {}, "{}"}, {"no placeholders", {"a", "b"}, "no placeholders"}, {"", {"a"}, ""},
      {"{}{}", {"a", "b"}, "ab"}, {"{2}{}", {"a", "b"}, "bb"}, {"{2}{1}{}", {"a", "b", "c"}, "bac"},
      {"{0}{0}", {"a", "b"}, "ab"}, {"{x}{:3}", {"a", "b"}, "a  b"},
      {"{-0}{ 2}{\t+2}", {"a", "b"}, "abb"}, {"{2nd}", {"a", "b"}, "b"},
      // Only the first 20 characters of the index are read.
      {"{00000000000000000002}", {"a", "b"}, "b"}, {"{000000000000000000002}", {"a", "b"}, "a"},
      {"x{1", {"v"}, "xv"}, {"x{", {"v"}, "xv"}, {"x{1:-3", {"v"}, "xv  "}, {"{1:}", {"ab"}, "ab"},
      {"a}b}", {}, "a}b}"}, {"a}}b", {}, "a}b"},
  };
  std::vector<Row> const partial = {
      {"before {2} after", {"a"}, "before "}, {"{}{}", {"x"}, "x"}, {"{}", {}, ""},
      {"a{-1}", {"x"}, "a"}, {"a{99999999999999999999}", {"x"}, "a"}, {"a{1}", {}, "a"},
  };
  for (bool const stops : {false, true}) {
    for (auto const& [tmpl, args, expected] : stops ? partial : complete) {
      SCOPED_TRACE(tmpl);
      Formatted const result = Format(tmpl, args);
      EXPECT_EQ(result.text, expected);
      EXPECT_EQ(result.ec, stops ? std::error_code(kMoreSpecifiersThanExpected, GetFormatCategory())
                                 : std::error_code());
    }
  }
}

// What printf prints for the conversion "%" + spec + "s".
std::string Printf(std::string const& spec, std::string const& value) {
  std::string const conversion = "%" + spec + "s";
  int const size = std::snprintf(nullptr, 0, conversion.c_str(), value.c_str());
  std::string result(static_cast<std::size_t>(size) + 1, '\0');
  std::snprintf(&result[0], result.size(), conversion.c_str(), value.c_str());
  result.resize(static_cast<std::size_t>(size));
  return result;
}

TEST(FormatToTest, StringSpecificationsPrintWhatPrintfPrints) {
  // Each specification, with the value it formats.
  std::pair<char const*, char const*> const cases[] = {
      {"-5", "ab"}, {"5", "ab"}, {"1", "abc"}, {".1", "ab"}, {".", "ab"}, {".5", "ab"},
      {"+ 4", "ab"}, {"-+ -3", "ab"}, {".05", "abcdef"}, {"              -5", "ab"},
      {".00000000000000001", "ab"}, {"4096", "ab"},
      // A specification ending in 's' is followed by a literal 's', as in printf's "%5ss".
      {"5s", "ab"}, {"-5.1s", "ab"}, {".s", "ab"}, {"-s", "ab"},
  };
  for (auto const& [spec, value] : cases) {
    SCOPED_TRACE(spec);
    Formatted const result = Format(std::string("{1:") + spec + "}|", {value});
    EXPECT_EQ(result.text, Printf(spec, value) + "|");
    EXPECT_FALSE(result.ec) << result.ec.message();
  }
  // Some against fixed text too, should the C library's printf differ.
  EXPECT_EQ(Format("{1:-5.1s}|{1:.}|{1:5}", {"ab"}).text, "a    s||   ab");
  // An empty specification and "s" alone write the text as it is.
  EXPECT_EQ(Format("{1:s}|{1:}|{1}", {"ab"}).text, "ab|ab|ab");
}

TEST(FormatToTest, MissingValuesFormatAsTheEmptyText) {
  std::string const value = "ab";
  format_arg const args[] = {{nullptr, &formatter<std::string, false>::call}, {&value, nullptr}};
  // The template, and the text.
  std::tuple<char const*, char const*> const cases[] = {
      {"<{1}>", "<>"}, {"<{1:3}>", "<   >"}, {"<{2}>", "<>"}, {"<{2:3}>", "<>"}};
  for (auto const& [tmpl, expected] : cases) {
    SCOPED_TRACE(tmpl);
    std::ostringstream out;
    std::error_code ec;
    FormatTo(out, tmpl, args, 2, ec);
    EXPECT_EQ(out.str(), expected);
    EXPECT_FALSE(ec) << ec.message();
  }
}

TEST(FormatToTest, OutputIsBoundedAndStopsWithFormatError) {
  std::string const wide = std::string(kMaxFormattedSize + 10, 'w');
  std::string placeholders, padded;
  for (std::size_t i = 0; i < kMaxFormattedSize / 4096 + 2; ++i) {
    placeholders += "{1:4096}";
    padded += std::string(4095, ' ') + "x";
  }
  // What is formatted, the template, its argument, and the text without a limit.
  std::tuple<char const*, std::string, std::string, std::string> const cases[] = {
      {"long literal text", wide, "", wide},
      {"long argument", "ab{1}", wide, "ab" + wide},
      {"many padded placeholders", placeholders, "x", padded},
  };
  for (auto const& [name, tmpl, value, unbounded] : cases) {
    SCOPED_TRACE(name);
    Formatted const result = Format(tmpl, {value});
    EXPECT_EQ(result.text.size(), kMaxFormattedSize);
    EXPECT_EQ(result.text, unbounded.substr(0, kMaxFormattedSize));
    EXPECT_EQ(result.ec, std::error_code(kFormatError, GetFormatCategory()));
    EXPECT_TRUE(result.streamGood);
  }
  // Exactly at the limit is still complete.
  Formatted const full = Format("{1}", {std::string(kMaxFormattedSize, 'f')});
  EXPECT_EQ(full.text.size(), kMaxFormattedSize);
  EXPECT_FALSE(full.ec) << full.ec.message();
}

// The string formatter writes nothing for such a specification and sets the stream's failbit,
// which FormatTo turns into kFormatError.
TEST(FormatToTest, UnsafeSpecificationsAreRefused) {
  char const* const specs[] = {
      "n",    "*",     "*5", "l",  "ls",    "d",  "5d",   "5.3d",
      "0",    "05",    "#",  "%",  "%n",    "ss",   "s5", "5ss",   "5 ",
      ".-1",  "4097",  "5000", ".5000", "99999999999999999999", "-000000000010",
      "                  %n",
  };
  for (char const* spec : specs) {
    SCOPED_TRACE(spec);
    Formatted const result = Format(std::string("pre{1:") + spec + "}post{1}", {"ab"});
    EXPECT_EQ(result.text, "pre");
    EXPECT_EQ(result.ec, std::error_code(kFormatError, GetFormatCategory()));
    EXPECT_TRUE(result.streamGood);
  }
}

TEST(MakeMessageTest, FormatsTextAndKeepsArguments) {
  std::string mutableArg = "m";
  std::string const constArg = "c";
  char const* const nullText = nullptr;
  char* mutableNullText = nullptr;
  std::string const longArg(kMaxFormattedSize + 1, 'x');
  // What is made, the message made, and the message expected.
  std::tuple<char const*, BaseMessage, BaseMessage> const cases[] = {
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
       BaseMessage("a.b", longArg.substr(0, kMaxFormattedSize), {longArg})},
  };
  for (auto const& [name, actual, expected] : cases) {
    SCOPED_TRACE(name);
    EXPECT_EQ(actual, expected);
  }
}

// Every catalog text formats (CoreCatalogTest); a message of the catalog is made with it.
TEST(CoreMessageTest, CatalogTextIsFormattedOnlyWithArguments) {
  EXPECT_EQ(Message<CoreTag>(MessageIds::kUnsetNonOptionalField),
            BaseMessage(MessageIds::kUnsetNonOptionalField,
                        "A required field of type {1} is not set.", {}));
  EXPECT_EQ(Message<CoreTag>(MessageIds::kFieldMissing, std::string("port"), std::string("net")),
            BaseMessage(MessageIds::kFieldMissing,
                        "Field 'port' is missing from structure 'net'.", {"port", "net"}));
}

std::string Fallback(std::string const& escapedId) {
  return "No default text for message '" + escapedId + "'.";
}

// Every catalog text is present and takes exactly the arguments its identifier documents.
TEST(CoreCatalogTest, EveryIdentifierHasTextForItsArguments) {
  // Each identifier, with the number of arguments its text takes.
  std::tuple<char const*, std::size_t> const cases[] = {
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
  for (auto const& [id, argCount] : cases) {
    SCOPED_TRACE(id);
    std::string const text = Message<CoreTag>::DefaultMessageForId(id);
    EXPECT_FALSE(text.empty());
    EXPECT_NE(text, Fallback(id));
    texts.insert(text);

    std::vector<std::string> values;
    for (std::size_t i = 1; i <= argCount; ++i) values.push_back("<" + std::to_string(i) + ">");
    Formatted const full = Format(text, values);
    EXPECT_FALSE(full.ec) << full.ec.message();
    for (std::string const& v : values) EXPECT_NE(full.text.find(v), std::string::npos) << v;
    if (argCount == 0) {
      EXPECT_EQ(full.text, text);
    } else {
      values.pop_back();
      EXPECT_EQ(Format(text, values).ec.value(), kMoreSpecifiersThanExpected);
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
}  // namespace Detail
}  // namespace Tirn
