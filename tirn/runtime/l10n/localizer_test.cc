#include "tirn/runtime/l10n/localizer.h"

#include <cstddef>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <system_error>
#include <tuple>
#include <utility>
#include <vector>

#include <boost/optional.hpp>
#include <boost/optional/optional_io.hpp>
#include <gtest/gtest.h>

#include "tirn/message/base_message.h"
#include "tirn/runtime/l10n/locale.h"
#include "tirn/runtime/l10n/request_localizer.h"

namespace Tirn {
namespace L10n {
namespace {

using Tags = std::list<std::string>;

std::error_code const kInvalid = std::make_error_code(std::errc::invalid_argument);

constexpr char kGreeting[] = "test.greeting";
constexpr char kFarewell[] = "test.farewell";

// Every catalog names itself in its templates, so a lookup shows which catalog served it.
Localizer MakeLocalizer() {
  return Localizer({
      {"de", {{kGreeting, "de"}, {kFarewell, "de farewell"}}},
      {"de_DE", {{kGreeting, "de_DE"}}},
      {"en-GB", {{kGreeting, "en-GB"}}},
      {"en_GB", {{kGreeting, "en_GB"}}},
      {"fr", {{kGreeting, "fr"}}},
      {"pt-BR", {{kGreeting, "pt-BR"}}},
      {"sr@latin", {{kGreeting, "sr@latin"}}},
  });
}

TEST(LocalizerTest, FindTemplateWalksPreferencesWithFallbacks) {
  // The preferred languages, the message id, and the template found (nullptr: none).
  std::tuple<Tags, std::string, char const*> const cases[] = {
      {{"de_DE"}, kGreeting, "de_DE"}, {{"de"}, kGreeting, "de"},
      // Normalised: '-' for '_', case, codeset.
      {{"de-DE"}, kGreeting, "de_DE"}, {{"DE-de"}, kGreeting, "de_DE"},
      {{"de_DE.UTF-8"}, kGreeting, "de_DE"}, {{"pt_br"}, kGreeting, "pt-BR"},
      {{"sr@latin"}, kGreeting, "sr@latin"},
      // An exact tag wins over a normalised one; when neither key matches exactly, the first
      // key in byte order serves the normalised form.
      {{"en-GB"}, kGreeting, "en-GB"}, {{"en_GB"}, kGreeting, "en_GB"},
      {{"EN-gb"}, kGreeting, "en-GB"},
      // Bare language.
      {{"de_AT"}, kGreeting, "de"},
      // The region's catalog lacks the id: its language's catalog serves it.
      {{"de_DE"}, kFarewell, "de farewell"},
      // A bare language does not reach a regional catalog.
      {{"pt"}, kGreeting, nullptr},
      // Each preference is exhausted, fallbacks included, before the next one is tried.
      {{"de-AT", "de_DE"}, kGreeting, "de"}, {{"it", "es_ES", "fr"}, kGreeting, "fr"},
      {{"fr", "de"}, kFarewell, "de farewell"},
      // Neutral tags ask for the default texts.
      {{"C"}, kGreeting, nullptr}, {{"*"}, kGreeting, nullptr}, {{"C.UTF-8"}, kGreeting, nullptr},
      {{"C", "fr"}, kGreeting, "fr"}, {{}, kGreeting, nullptr}, {{"de"}, "test.unknown", nullptr},
      {{""}, kGreeting, nullptr}, {{std::string("de\0DE", 5)}, kGreeting, nullptr},
  };
  Localizer const localizer = MakeLocalizer();
  for (auto const& [languages, id, expected] : cases) {
    SCOPED_TRACE("id " + id + ", languages " + testing::PrintToString(languages));
    std::string const* found = localizer.FindTemplate(languages, id);
    if (expected == nullptr) {
      EXPECT_EQ(found, nullptr) << *found;
    } else {
      ASSERT_NE(found, nullptr);
      EXPECT_EQ(*found, expected);
    }
  }
}

TEST(LocalizerTest, EmptyWhenNothingCanBeLocalized) {
  // What the catalogs hold, the catalogs, and whether the localizer is empty.
  std::tuple<char const*, std::map<std::string, Localizer::Catalog>, bool> const cases[] = {
      {"no catalogs", {}, true},
      {"empty catalogs", {{"de", {}}, {"fr", {}}}, true},
      {"neutral keys", {{"C", {{kGreeting, "c"}}}, {"POSIX", {{kGreeting, "p"}}},
                        {"*", {{kGreeting, "s"}}}, {"", {{kGreeting, "e"}}}}, true},
      {"one template", {{"de", {}}, {"fr", {{kGreeting, "fr"}}}}, false},
  };
  for (auto const& [name, catalogs, empty] : cases) {
    SCOPED_TRACE(name);
    Localizer const localizer(catalogs);
    EXPECT_EQ(localizer.empty(), empty);
    EXPECT_EQ(localizer.FindTemplate({"C", "POSIX", "*", "", "de", "fr"}, kGreeting) == nullptr,
              empty);
  }
}

TEST(LocalizerTest, LocalizeFormatsTheTemplateWithTheMessageArguments) {
  Localizer const localizer({{"de",
                              {{"t.two", "Feld {1} fehlt in {2}"},
                               {"t.plain", "Keine Argumente"},
                               {"t.missing", "Feld {1} fehlt in {3}!"}}}});
  // The message id, its arguments, and the text localized.
  std::tuple<std::string, std::list<std::string>, boost::optional<std::string>> const cases[] = {
      {"t.two", {"port", "spec"}, std::string("Feld port fehlt in spec")},
      {"t.plain", {"ignored"}, std::string("Keine Argumente")},
      // A placeholder beyond the arguments: the text up to it, as for any failure (FormatToTest).
      {"t.missing", {"port", "spec"}, std::string("Feld port fehlt in ")},
      {"t.unknown", {"x"}, boost::none},
  };
  for (auto const& [id, args, expected] : cases) {
    SCOPED_TRACE(id);
    BaseMessage const message(id, "default text", args);
    EXPECT_EQ(localizer.Localize(message, {"de_DE"}), expected);
  }
  // Which catalog serves which languages: FindTemplateWalksPreferencesWithFallbacks.
}

TEST(RequestLocalizerTest, LocalizesOnlyWithBothParts) {
  auto const localizer = std::make_shared<Localizer const>(
      std::map<std::string, Localizer::Catalog>{{"fr", {{kGreeting, "Bonjour {1}"}}}});
  auto const french = std::make_shared<LocaleSpec const>("de;q=0.2, fr", "C", "Europe/Paris");
  auto const english = std::make_shared<LocaleSpec const>();
  BaseMessage const message(kGreeting, "Hello Ann", {"Ann"});

  // What the request localizer holds, and the text localized.
  std::tuple<char const*, RequestLocalizer, boost::optional<std::string>> const cases[] = {
      {"both set", {localizer, french}, std::string("Bonjour Ann")},
      {"language not in the catalogs", {localizer, english}, boost::none},
      {"no locale", {localizer, nullptr}, boost::none},
      {"no localizer", {nullptr, french}, boost::none},
      {"neither", {}, boost::none},
  };
  for (auto const& [name, request, expected] : cases) {
    SCOPED_TRACE(name);
    EXPECT_EQ(request.Localize(message), expected);
  }
}

TEST(RequestLocalizerTest, DefaultUsesEnglishTexts) {
  RequestLocalizer const first = RequestLocalizerHelper::GetDefaultRequestLocalizer();
  RequestLocalizer const second = RequestLocalizerHelper::GetDefaultRequestLocalizer();
  ASSERT_NE(first.localizer, nullptr);
  ASSERT_NE(first.localeSpec, nullptr);
  EXPECT_TRUE(first.localizer->empty());
  EXPECT_EQ(first.localeSpec->languages(), Tags{"en_US"});
  EXPECT_EQ(first.Localize(BaseMessage(kGreeting, "Hello", {})), boost::none);
  // Both parts are immutable, and every call shares them.
  EXPECT_EQ(first.localizer, second.localizer);
  EXPECT_EQ(first.localeSpec, second.localeSpec);
}

TEST(MakeLanguagePreferenceTest, ParsesWellFormedText) {
  // The text, and the languages it asks for, in order.
  std::tuple<std::string, Tags> const cases[] = {
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
  for (auto const& [text, expected] : cases) {
    SCOPED_TRACE("text: '" + text + "'");
    std::error_code ec = kInvalid;
    EXPECT_EQ(LocaleHelpers::MakeLanguagePreference(text, ec), expected);
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
  // Each valid text, with its offset in minutes (none for a named zone); then the invalid ones.
  std::vector<std::pair<std::string, boost::optional<int>>> cases = {
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
  std::size_t const validCount = cases.size();
  for (std::string const& text : invalid) cases.push_back({text, boost::none});
  for (std::size_t i = 0; i < cases.size(); ++i) {
    auto const& [text, offset] = cases[i];
    bool const isValid = i < validCount;
    SCOPED_TRACE("text: '" + text + "'");
    TimezoneSpec const spec(text);
    EXPECT_EQ(spec.text(), text);
    EXPECT_EQ(spec.valid(), isValid);
    EXPECT_EQ(spec.offsetMinutes(), offset);

    std::error_code ec = isValid ? kInvalid : std::error_code();
    TimezoneSpec const checked(text, ec);
    EXPECT_EQ(checked.valid(), isValid);
    EXPECT_EQ(ec, isValid ? std::error_code() : kInvalid);
  }
}

TEST(LocaleSpecTest, KeepsParsedPartsAndErrors) {
  // The languages, formats and time zone given; whether the languages and the formats are
  // refused and the zone valid; the languages and formats kept.
  using Case = std::tuple<std::string, std::string, std::string, bool, bool, bool, Tags, Tags>;
  Case const cases[] = {
      {"en_US", "C", "Etc/UTC", false, false, true, {"en_US"}, {"C"}},
      {"en,,fr", "C", "UTC", true, false, true, {}, {"C"}},
      {"en", "C;q=7", "UTC", false, true, true, {"en"}, {}},
      {"en;x=1", "\xff", "Not a zone", true, true, false, {}, {}},
      {"", "", "", false, false, false, {}, {}},
  };
  for (auto const& [languages, formats, zone, badLanguages, badFormats, zoneValid, keptLanguages,
                    keptFormats] : cases) {
    SCOPED_TRACE("languages '" + languages + "', formats '" + formats + "', zone '" + zone + "'");
    LocaleSpec const spec(languages, formats, zone);
    EXPECT_EQ(spec.languageError(), badLanguages ? kInvalid : std::error_code());
    EXPECT_EQ(spec.formatError(), badFormats ? kInvalid : std::error_code());
    EXPECT_EQ(spec.languages(), keptLanguages);
    EXPECT_EQ(spec.formats(), keptFormats);
    EXPECT_EQ(spec.timezone().text(), zone);
    EXPECT_EQ(spec.timezone().valid(), zoneValid);
  }
}

}  // namespace
}  // namespace L10n
}  // namespace Tirn
