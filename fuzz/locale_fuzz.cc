// Fuzz target for language-preference and time-zone parsing.
//
// The input bytes, split at the first two NUL bytes, are a language preference, a format
// preference and a time zone (a piece that is absent repeats the first). Each run checks that
//  - a preference either fails with an empty list, or gives non-empty tags without separators
//    or blanks, at most one per item, that parse again, joined by ", ", to the same list;
//  - a time zone is valid exactly when no error is reported, keeps its text, has an offset
//    only when valid and within 14 hours, and that offset written as "+HH:MM" reads back as
//    the same offset;
//  - LocaleSpec agrees with the separate parses.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <list>
#include <string>
#include <system_error>
#include <vector>

#include "tirn/runtime/l10n/locale.h"

namespace {

using Tirn::L10n::LocaleHelpers;
using Tirn::L10n::LocaleSpec;
using Tirn::L10n::TimezoneSpec;

[[noreturn]] void Fail(char const* what) {
  std::fprintf(stderr, "locale_fuzz: %s\n", what);
  std::abort();
}

std::list<std::string> CheckPreference(std::string const& text, std::error_code& ec) {
  std::list<std::string> const tags = LocaleHelpers::MakeLanguagePreference(text, ec);
  if (ec) {
    if (!tags.empty()) Fail("a failed preference gave tags");
    return tags;
  }
  std::size_t items = 1;
  for (char c : text) items += c == ',';
  if (tags.size() > items) Fail("more tags than items");
  std::string joined;
  for (std::string const& tag : tags) {
    if (tag.empty()) Fail("an empty tag");
    if (tag.find_first_of(",; \t=") != std::string::npos) Fail("a tag holds a separator");
    if (text.find(tag) == std::string::npos) Fail("a tag that is not in the text");
    joined += (joined.empty() ? "" : ", ") + tag;
  }
  std::error_code again;
  if (LocaleHelpers::MakeLanguagePreference(joined, again) != tags || again) {
    Fail("the tags do not parse again to themselves");
  }
  return tags;
}

void CheckTimezone(std::string const& text) {
  std::error_code ec;
  TimezoneSpec const zone(text, ec);
  if (zone.valid() == static_cast<bool>(ec)) Fail("validity and error code disagree");
  if (zone.text() != text) Fail("the text was changed");
  if (TimezoneSpec(text).valid() != zone.valid()) Fail("the two constructors disagree");
  if (!zone.offsetMinutes()) return;
  if (!zone.valid()) Fail("an invalid zone has an offset");
  int const offset = *zone.offsetMinutes();
  if (offset < -14 * 60 || offset > 14 * 60) Fail("an offset beyond 14 hours");
  int const magnitude = offset < 0 ? -offset : offset;
  char written[16];
  std::snprintf(written, sizeof written, "%c%02d:%02d", offset < 0 ? '-' : '+', magnitude / 60,
                magnitude % 60);
  TimezoneSpec const reread(written);
  if (!reread.valid() || reread.offsetMinutes() != offset) Fail("the offset does not read back");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
  std::vector<std::string> pieces(1);
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == 0 && pieces.size() < 3) {
      pieces.emplace_back();
    } else {
      pieces.back() += static_cast<char>(data[i]);
    }
  }
  while (pieces.size() < 3) pieces.push_back(pieces.front());

  std::error_code languageError;
  std::error_code formatError;
  std::list<std::string> const languages = CheckPreference(pieces[0], languageError);
  std::list<std::string> const formats = CheckPreference(pieces[1], formatError);
  CheckTimezone(pieces[2]);

  LocaleSpec const spec(pieces[0], pieces[1], pieces[2]);
  if (spec.languages() != languages || spec.languageError() != languageError ||
      spec.formats() != formats || spec.formatError() != formatError ||
      spec.timezone().valid() != TimezoneSpec(pieces[2]).valid()) {
    Fail("LocaleSpec disagrees with the separate parses");
  }
  return 0;
}
