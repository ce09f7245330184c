#include "tirn/runtime/l10n/localizer.h"

#include <list>
#include <map>
#include <memory>
#include <string>

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
  struct Case {
    Tags languages;
    std::string id;
    char const* expected;  // nullptr: no template
  } const cases[] = {
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
  for (Case const& c : cases) {
    std::string trace = "id " + c.id + ", languages:";
    for (std::string const& tag : c.languages) trace += " '" + tag + "'";
    SCOPED_TRACE(trace);
    std::string const* found = localizer.FindTemplate(c.languages, c.id);
    if (c.expected == nullptr) {
      EXPECT_EQ(found, nullptr) << *found;
    } else {
      ASSERT_NE(found, nullptr);
      EXPECT_EQ(*found, c.expected);
    }
  }
}

TEST(LocalizerTest, EmptyWhenNothingCanBeLocalized) {
  struct Case {
    char const* name;
    std::map<std::string, Localizer::Catalog> catalogs;
    bool empty;
  } const cases[] = {
      {"no catalogs", {}, true},
      {"empty catalogs", {{"de", {}}, {"fr", {}}}, true},
      {"neutral keys", {{"C", {{kGreeting, "c"}}}, {"POSIX", {{kGreeting, "p"}}},
                        {"*", {{kGreeting, "s"}}}, {"", {{kGreeting, "e"}}}}, true},
      {"one template", {{"de", {}}, {"fr", {{kGreeting, "fr"}}}}, false},
  };
  EXPECT_TRUE(Localizer().empty());
  for (Case const& c : cases) {
    SCOPED_TRACE(c.name);
    Localizer const localizer(c.catalogs);
    EXPECT_EQ(localizer.empty(), c.empty);
    EXPECT_EQ(localizer.FindTemplate({"C", "POSIX", "*", "", "de", "fr"}, kGreeting) == nullptr,
              c.empty);
  }
}

TEST(LocalizerTest, LocalizeFormatsTheTemplateWithTheMessageArguments) {
  Localizer const localizer({{"de",
                              {{"t.two", "Feld {1} fehlt in {2}"},
                               {"t.reordered", "{2}: {1}"},
                               {"t.plain", "Keine Argumente"},
                               {"t.missing", "Feld {1} fehlt in {3}!"},
                               {"t.badspec", "vor {1:q} nach"}}}});
  struct Case {
    std::string id;
    std::list<std::string> args;
    boost::optional<std::string> expected;
  } const cases[] = {
      {"t.two", {"port", "spec"}, std::string("Feld port fehlt in spec")},
      {"t.reordered", {"a", "b"}, std::string("b: a")},
      {"t.plain", {"ignored"}, std::string("Keine Argumente")},
      // A placeholder beyond the arguments: the text up to it.
      {"t.missing", {"port", "spec"}, std::string("Feld port fehlt in ")},
      {"t.two", {}, std::string("Feld ")},
      {"t.badspec", {"x"}, std::string("vor ")},
      {"t.unknown", {"x"}, boost::none},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.id);
    BaseMessage const message(c.id, "default text", c.args);
    EXPECT_EQ(localizer.Localize(message, {"de_DE"}), c.expected);
  }
  EXPECT_EQ(localizer.Localize(BaseMessage("t.two", "d", {"a", "b"}), {"C"}), boost::none);
  EXPECT_EQ(localizer.Localize(BaseMessage("t.two", "d", {"a", "b"}), {"fr"}), boost::none);
}

TEST(RequestLocalizerTest, LocalizesOnlyWithBothParts) {
  auto const localizer = std::make_shared<Localizer const>(
      std::map<std::string, Localizer::Catalog>{{"fr", {{kGreeting, "Bonjour {1}"}}}});
  auto const french = std::make_shared<LocaleSpec const>("de;q=0.2, fr", "C", "Europe/Paris");
  auto const english = std::make_shared<LocaleSpec const>();
  BaseMessage const message(kGreeting, "Hello Ann", {"Ann"});

  struct Case {
    char const* name;
    RequestLocalizer request;
    boost::optional<std::string> expected;
  } const cases[] = {
      {"both set", {localizer, french}, std::string("Bonjour Ann")},
      {"language not in the catalogs", {localizer, english}, boost::none},
      {"no locale", {localizer, nullptr}, boost::none},
      {"no localizer", {nullptr, french}, boost::none},
      {"neither", {}, boost::none},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.request.Localize(message), c.expected);
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

}  // namespace
}  // namespace L10n
}  // namespace Tirn
