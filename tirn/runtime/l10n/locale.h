// Locale preferences of a request: the languages the caller reads, the formatting conventions
// it expects, and its time zone.
//
// LocaleHelpers::MakeLanguagePreference parses a preference text, either an HTTP
// Accept-Language value ("de-DE, fr;q=0.5") or a POSIX locale name ("en_US.UTF-8", "C"), into
// tags ordered from most to least preferred. TimezoneSpec checks the syntax of a time zone
// ("Europe/Berlin", "UTC", "+02:00") without consulting a time-zone database. LocaleSpec bundles
// the three for a request; parse errors are kept in it rather than thrown, so a request with a
// malformed header still gets served, in the default language.
//
//   Tirn::L10n::LocaleSpec spec("fr;q=0.3, de-DE", "C", "Europe/Paris");
//   spec.languages();             // {"de-DE", "fr"}
//   spec.languageError();         // no error
//   spec.timezone().valid();      // true
#ifndef TIRN_RUNTIME_L10N_LOCALE_H_
#define TIRN_RUNTIME_L10N_LOCALE_H_

#include <list>
#include <string>
#include <system_error>

#include <boost/optional.hpp>

#include "tirn/message/export.h"

namespace Tirn {
namespace L10n {

struct TIRN_CORE_EXPORT LocaleHelpers {
  // Parses a comma-separated list of language ranges, each optionally followed by ";q=" and a
  // weight (0 to 1, at most three decimals; 1 when absent). Returns the tags as written, most
  // preferred first: by weight, descending, in text order among equal weights; tags of weight
  // 0 are left out. Blanks (space, tab) may surround items and ';'.
  //
  // A tag is "*", or subtags joined by '-' or '_' (the first 1-8 letters, the others 1-8
  // letters or digits), optionally followed by a glibc ".codeset" (letters, digits, '-', '_')
  // and then "@modifier" (letters and digits), each of those 1-32 characters. "C" and "POSIX"
  // are tags like any other here.
  //
  // An empty or all-blank text gives an empty list. Malformed text (an empty item, a bad
  // character or tag, a bad or repeated weight, any parameter other than q) sets `ec` to
  // std::errc::invalid_argument and gives an empty list; otherwise `ec` is cleared. Runs in
  // time O(n log n) on any input and never throws on data.
  static std::list<std::string> MakeLanguagePreference(std::string const& text,
                                                       std::error_code& ec);
};

// A time zone as the caller wrote it, checked for syntax only. Valid forms:
//   - "UTC", "GMT", "Z": offset 0;
//   - a fixed offset, "+02:00", "-0530", "+5", "+05", optionally after "UTC" or "GMT"
//     ("UTC+01:00", "GMT-3"): a sign, then hours (1-2 digits) with optional minutes (":MM" or
//     "MM"); at most 14:00 either way;
//   - an IANA-style name "Area/Location" or "Area/Location/Sub", each part 1-14 characters of
//     letters, digits, '_', '-' and '+', starting with a letter ("Europe/Berlin",
//     "America/Argentina/Buenos_Aires"). Whether the zone exists is not checked. Of these only
//     "Etc/UTC", "Etc/GMT" and "Etc/GMT+N" / "Etc/GMT-N" have a known offset; the latter follow
//     the POSIX sign convention ("Etc/GMT+5" is five hours *behind* UTC), and N above 14 is
//     invalid.
class TIRN_CORE_EXPORT TimezoneSpec {
 public:
  // "Etc/UTC".
  TimezoneSpec();
  explicit TimezoneSpec(std::string const& text);
  // As above; also sets `ec` to std::errc::invalid_argument when the text is invalid and
  // clears it otherwise.
  TimezoneSpec(std::string const& text, std::error_code& ec);

  bool valid() const { return valid_; }
  // The text as given, also when it is invalid.
  std::string const& text() const { return text_; }
  // Minutes east of UTC, when the text names a fixed offset; none for other names and for
  // invalid text.
  boost::optional<int> offsetMinutes() const { return offsetMinutes_; }

 private:
  std::string text_;
  bool valid_ = false;
  boost::optional<int> offsetMinutes_;
};

// The locale of one request: preferred languages, preferred formatting conventions (parsed
// like languages) and time zone.
class TIRN_CORE_EXPORT LocaleSpec {
 public:
  // Languages {"en_US"}, formats {"C"}, time zone "Etc/UTC", no errors.
  LocaleSpec();
  // Parses both preferences with LocaleHelpers::MakeLanguagePreference, keeping their error
  // codes (a malformed preference leaves its list empty); an invalid time zone shows as
  // !timezone().valid().
  LocaleSpec(std::string const& languagePreference, std::string const& formatPreference,
             std::string const& timezone);

  std::error_code const& languageError() const { return languageError_; }
  std::error_code const& formatError() const { return formatError_; }
  std::list<std::string> const& languages() const { return languages_; }
  std::list<std::string> const& formats() const { return formats_; }
  TimezoneSpec const& timezone() const { return timezone_; }

 private:
  std::error_code languageError_;
  std::error_code formatError_;
  std::list<std::string> languages_;
  std::list<std::string> formats_;
  TimezoneSpec timezone_;
};

}  // namespace L10n
}  // namespace Tirn

#endif  // TIRN_RUNTIME_L10N_LOCALE_H_
