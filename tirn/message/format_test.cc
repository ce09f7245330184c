#include "tirn/message/format.h"

#include <cstdio>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include <gtest/gtest.h>

namespace Tirn {
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

TEST(FormatToTest, Placeholders) {
  struct Case {
    char const* tmpl;
    std::vector<std::string> args;
    char const* expected;
  } const cases[] = {
      {"Field {1} is unset", {"name"}, "Field name is unset"}, {"{{{1}}}", {"x"}, "{x}"},
      {"{{}}", {}, "{}"}, {"no placeholders", {"a", "b"}, "no placeholders"}, {"", {"a"}, ""},
      {"{}{}", {"a", "b"}, "ab"}, {"{2}{}", {"a", "b"}, "bb"}, {"{2}{1}{}", {"a", "b", "c"}, "bac"},
      {"{0}{0}", {"a", "b"}, "ab"}, {"{x}{:3}", {"a", "b"}, "a  b"},
      {"{-0}{ 2}{\t+2}", {"a", "b"}, "abb"}, {"{2nd}", {"a", "b"}, "b"},
      // Only the first 20 characters of the index are read.
      {"{00000000000000000002}", {"a", "b"}, "b"}, {"{000000000000000000002}", {"a", "b"}, "a"},
      {"x{1", {"v"}, "xv"},
      {"x{", {"v"}, "xv"},
      {"x{1:-3", {"v"}, "xv  "},
      {"{1:}", {"ab"}, "ab"},
      {"a}b}", {}, "a}b}"},
      {"a}}b", {}, "a}b"},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.tmpl);
    Formatted const result = Format(c.tmpl, c.args);
    EXPECT_EQ(result.text, c.expected);
    EXPECT_FALSE(result.ec) << result.ec.message();
  }
}

TEST(FormatToTest, MissingArgumentStopsWithPartialText) {
  struct Case {
    char const* tmpl;
    std::vector<std::string> args;
    char const* expected;
  } const cases[] = {
      {"before {2} after", {"a"}, "before "}, {"{}{}", {"x"}, "x"}, {"{}", {}, ""},
      {"a{-1}", {"x"}, "a"}, {"a{99999999999999999999}", {"x"}, "a"}, {"a{1}", {}, "a"},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.tmpl);
    Formatted const result = Format(c.tmpl, c.args);
    EXPECT_EQ(result.text, c.expected);
    EXPECT_EQ(result.ec, std::error_code(kMoreSpecifiersThanExpected, GetFormatCategory()));
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
  struct Case {
    char const* spec;
    char const* value;
    char const* expected;
  } const cases[] = {
      {"-5", "ab", "ab   "}, {"5", "ab", "   ab"}, {"1", "abc", "abc"}, {".1", "ab", "a"},
      {".", "ab", ""}, {".5", "ab", "ab"}, {"+ 4", "ab", "  ab"}, {"-+ -3", "ab", "ab "},
      {".05", "abcdef", "abcde"}, {"              -5", "ab", "ab   "},
      {".00000000000000001", "ab", "a"},
      // A specification ending in 's' is followed by a literal 's', as in printf's "%5ss".
      {"5s", "ab", "   abs"}, {"-5.1s", "ab", "a    s"}, {".s", "ab", "s"}, {"-s", "ab", "abs"},
      {"4096", "ab", nullptr},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.spec);
    Formatted const result = Format(std::string("{1:") + c.spec + "}|", {c.value});
    EXPECT_EQ(result.text, Printf(c.spec, c.value) + "|");
    if (c.expected) {
      EXPECT_EQ(result.text, std::string(c.expected) + "|");
    }
    EXPECT_FALSE(result.ec) << result.ec.message();
  }
  // An empty specification and "s" alone write the text as it is.
  EXPECT_EQ(Format("{1:s}|{1:}|{1}", {"ab"}).text, "ab|ab|ab");
}

TEST(FormatToTest, MissingValuesFormatAsTheEmptyText) {
  std::string const value = "ab";
  format_arg const args[] = {{nullptr, &formatter<std::string, false>::call}, {&value, nullptr}};
  struct Case {
    char const* tmpl;
    char const* expected;
  } const cases[] = {{"<{1}>", "<>"}, {"<{1:3}>", "<   >"}, {"<{2}>", "<>"}, {"<{2:3}>", "<>"}};
  for (Case const& c : cases) {
    SCOPED_TRACE(c.tmpl);
    std::ostringstream out;
    std::error_code ec;
    FormatTo(out, c.tmpl, args, 2, ec);
    EXPECT_EQ(out.str(), c.expected);
    EXPECT_FALSE(ec) << ec.message();
  }
}

TEST(FormatToTest, OutputIsBoundedAndStopsWithFormatError) {
  std::string const wide = std::string(kMaxFormattedSize + 10, 'w');
  std::string placeholders;
  for (std::size_t i = 0; i < kMaxFormattedSize / 4096 + 2; ++i) placeholders += "{1:4096}";
  struct Case {
    char const* name;
    std::string tmpl;
    std::string value;
    std::string unbounded;  // the text without a limit
  } const cases[] = {
      {"long literal text", wide, "", wide},
      {"long argument", "ab{1}", wide, "ab" + wide},
      {"many padded placeholders", placeholders, "x",
       [&] {
         std::string text;
         for (std::size_t i = 0; i < kMaxFormattedSize / 4096 + 2; ++i) {
           text += std::string(4095, ' ') + "x";
         }
         return text;
       }()},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.name);
    Formatted const result = Format(c.tmpl, {c.value});
    EXPECT_EQ(result.text.size(), kMaxFormattedSize);
    EXPECT_EQ(result.text, c.unbounded.substr(0, kMaxFormattedSize));
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

}  // namespace
}  // namespace Detail
}  // namespace Tirn
