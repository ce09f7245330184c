#include "tirn/runtime/l10n/locale.h"

#include <cstddef>
#include <iterator>
#include <list>
#include <string>
#include <system_error>
#include <vector>

#include <boost/optional.hpp>
#include <boost/optional/optional_io.hpp>
#include <gtest/gtest.h>

namespace Tirn {
namespace L10n {
namespace {

using Tags = std::list<std::string>;

std::error_code const kInvalid = std::make_error_code(std::errc::invalid_argument);

TEST(MakeLanguagePreferenceTest, ParsesWellFormedText) {
  struct Case {
    std::string text;
    Tags expected;
  } const cases[] = {
      {"", {}}, {" \t ", {}}, {"en_US", {"en_US"}}, {"C", {"C"}}, {"POSIX", {"POSIX"}},
      {"*", {"*"}}, {"en_US.UTF-8", {"en_US.UTF-8"}}, {"sr_RS@latin", {"sr_RS@latin"}},
      {"sr_RS.UTF-8@latin", {"sr_RS.UTF-8@latin"}}, {"de-DE,fr;q=0.5", {"de-DE", "fr"}},
      {"fr;q=0.3, en;q=0.9", {"en", "fr"}},
      // Equal weights keep their text order; the default weight is 1.
      {"a;q=0.5, b, c;q=0.5, d;q=1", {"b", "d", "a", "c"}}, {"en;q=0, fr", {"fr"}},
      {"en;q=0.000", {}}, {"en ; q=0.5 ,\tfr", {"fr", "en"}}, {"en;Q=0.5,fr;q=0.", {"en"}},
      {"en;q=1.000,fr;q=0.001", {"en", "fr"}}, {"abcdefgh-12345678", {"abcdefgh-12345678"}},
      {"de-DE, *;q=0.1", {"de-DE", "*"}},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE("text: '" + c.text + "'");
    std::error_code ec = kInvalid;
    EXPECT_EQ(LocaleHelpers::MakeLanguagePreference(c.text, ec), c.expected);
    EXPECT_FALSE(ec) << ec.message();
  }
}

TEST(MakeLanguagePreferenceTest, RejectsMalformedText) {
  std::string const cases[] = {
      "en,,fr", ",en", "en,", "en US", "en-", "-en", "1en", "abcdefghi", "en-abcdefghi", "*-DE",
      "en_US.", "en_US@", "en@latin.UTF-8", "en_US." + std::string(33, 'a'), "en;", "en;q",
      "en;q=", "en;q =0.5", "en;q= 0.5", "en;q=1.5", "en;q=1.001", "en;q=-0", "en;q=.5",
      "en;q=0.1234", "en;q=0,5", "en;q=0.5;q=0.5", "en;level=1", ";q=0.5", "en\n",
      std::string("en\0US", 5), "caf\xc3\xa9", "en;q=0.\x80"};
  for (std::string const& text : cases) {
    SCOPED_TRACE("text: '" + text + "'");
    std::error_code ec;
    EXPECT_EQ(LocaleHelpers::MakeLanguagePreference(text, ec), Tags{});
    EXPECT_EQ(ec, kInvalid);
  }
}

TEST(MakeLanguagePreferenceTest, HandlesHugeInput) {
  // 200000 distinct tags with alternating weights: the result is every q=1 tag in text
  // order, then every q=0.5 tag in text order.
  constexpr std::size_t kItems = 200000;
  std::string text;
  for (std::size_t i = 0; i < kItems; ++i) {
    if (i != 0) text += ',';
    text += (i % 2 == 0) ? "a-" + std::to_string(i) + ";q=0.5" : "b-" + std::to_string(i);
  }
  std::error_code ec;
  Tags const tags = LocaleHelpers::MakeLanguagePreference(text, ec);
  EXPECT_FALSE(ec);
  ASSERT_EQ(tags.size(), kItems);
  auto it = tags.begin();
  for (std::size_t i = 1; i < kItems; i += 2, ++it) ASSERT_EQ(*it, "b-" + std::to_string(i));
  for (std::size_t i = 0; i < kItems; i += 2, ++it) ASSERT_EQ(*it, "a-" + std::to_string(i));

  std::string const malformed[] = {
      std::string(1 << 20, 'a'),
      std::string(1 << 20, ','),
      text + ",",
      "en" + std::string(1 << 20, ';'),
  };
  for (std::string const& bad : malformed) {
    ec.clear();
    EXPECT_TRUE(LocaleHelpers::MakeLanguagePreference(bad, ec).empty());
    EXPECT_EQ(ec, kInvalid);
  }
}

TEST(TimezoneSpecTest, ChecksSyntax) {
  struct Case {
    std::string text;
    boost::optional<int> offset;
  } const valid[] = {
      {"UTC", 0},          {"GMT", 0},         {"Z", 0},           {"Etc/UTC", 0},
      {"Etc/GMT", 0},      {"+02:00", 120},    {"-0530", -330},    {"+5", 300},
      {"+5:45", 345},      {"-00:00", 0},      {"+14:00", 840},    {"-14", -840},
      {"UTC+01:00", 60},   {"GMT-3", -180},    {"UTC-0930", -570}, {"Etc/GMT+5", -300},
      {"Etc/GMT-14", 840}, {"Europe/Berlin", boost::none},         {"Etc/UTC+5", boost::none},
      {"America/Argentina/Buenos_Aires", boost::none},
      {"America/Argentina/ComodRivadavia", boost::none},
  };
  std::string const invalid[] = {
      "", "utc", " UTC", "UTC+", "UTCX", "0200", "+", "+15", "+14:01", "+02:60", "+530",
      "+05:3", "+:30", "+05300", "+0a", "Etc/GMT+15", "Etc/GMT+5:30", "Berlin", "Europe/",
      "Europe//Berlin", "A/B/C/D", "Europe/1Berlin", "Europe/Berlin Mitte", "Europe/../etc",
      "Europe/Abcdefghijklmno", std::string("Europe/Ber\0lin", 14), "Europe/M\xc3\xbcnchen"};
  std::vector<Case> cases(std::begin(valid), std::end(valid));
  for (std::string const& text : invalid) cases.push_back({text, boost::none});
  for (std::size_t i = 0; i < cases.size(); ++i) {
    Case const& c = cases[i];
    bool const isValid = i < std::size(valid);
    SCOPED_TRACE("text: '" + c.text + "'");
    TimezoneSpec const spec(c.text);
    EXPECT_EQ(spec.text(), c.text);
    EXPECT_EQ(spec.valid(), isValid);
    EXPECT_EQ(spec.offsetMinutes(), c.offset);

    std::error_code ec = isValid ? kInvalid : std::error_code();
    TimezoneSpec const checked(c.text, ec);
    EXPECT_EQ(checked.valid(), isValid);
    EXPECT_EQ(ec, isValid ? std::error_code() : kInvalid);
  }
}

TEST(LocaleSpecTest, KeepsParsedPartsAndErrors) {
  struct Case {
    std::string languages;
    std::string formats;
    std::string timezone;
    bool languageError;
    bool formatError;
    bool timezoneValid;
    Tags expectedLanguages;
    Tags expectedFormats;
  } const cases[] = {
      {"en_US", "C", "Etc/UTC", false, false, true, {"en_US"}, {"C"}},
      {"en,,fr", "C", "UTC", true, false, true, {}, {"C"}},
      {"en", "C;q=7", "UTC", false, true, true, {"en"}, {}},
      {"en;x=1", "\xff", "Not a zone", true, true, false, {}, {}},
      {"", "", "", false, false, false, {}, {}},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE("languages: '" + c.languages + "', formats: '" + c.formats + "', zone: '" +
                 c.timezone + "'");
    LocaleSpec const spec(c.languages, c.formats, c.timezone);
    EXPECT_EQ(spec.languageError(), c.languageError ? kInvalid : std::error_code());
    EXPECT_EQ(spec.formatError(), c.formatError ? kInvalid : std::error_code());
    EXPECT_EQ(spec.languages(), c.expectedLanguages);
    EXPECT_EQ(spec.formats(), c.expectedFormats);
    EXPECT_EQ(spec.timezone().text(), c.timezone);
    EXPECT_EQ(spec.timezone().valid(), c.timezoneValid);
  }
}

}  // namespace
}  // namespace L10n
}  // namespace Tirn
