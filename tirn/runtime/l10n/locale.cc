#include "tirn/runtime/l10n/locale.h"

#include <algorithm>
#include <cstddef>
#include <string_view>
#include <utility>
#include <vector>

#include <boost/container/small_vector.hpp>

#include "tirn/text/text.h"

namespace Tirn {
namespace L10n {
namespace {

constexpr std::size_t kMaxSubtagLength = 8;
constexpr std::size_t kMaxSuffixLength = 32;  // glibc codeset and modifier
constexpr std::size_t kMaxZonePartLength = 14;
constexpr int kMaxOffsetMinutes = 14 * 60;
constexpr int kFullWeight = 1000;  // weights are kept in thousandths

bool IsAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsAlnum(char c) { return IsAlpha(c) || IsDigit(c); }

using Text::Trim;

// Advances `pos` over characters accepted by `accept`; true when it moved by 1..maxLength.
template <class Accept>
bool SkipRun(std::string_view text, std::size_t& pos, std::size_t maxLength, Accept accept) {
  std::size_t const start = pos;
  while (pos < text.size() && accept(text[pos])) ++pos;
  return pos > start && pos - start <= maxLength;
}

bool IsValidLanguageTag(std::string_view tag) {
  if (tag == "*") return true;
  std::size_t pos = 0;
  if (!SkipRun(tag, pos, kMaxSubtagLength, IsAlpha)) return false;
  while (pos < tag.size() && (tag[pos] == '-' || tag[pos] == '_')) {
    ++pos;
    if (!SkipRun(tag, pos, kMaxSubtagLength, IsAlnum)) return false;
  }
  if (pos < tag.size() && tag[pos] == '.') {
    ++pos;
    auto const codeset = [](char c) { return IsAlnum(c) || c == '-' || c == '_'; };
    if (!SkipRun(tag, pos, kMaxSuffixLength, codeset)) return false;
  }
  if (pos < tag.size() && tag[pos] == '@') {
    ++pos;
    if (!SkipRun(tag, pos, kMaxSuffixLength, IsAlnum)) return false;
  }
  return pos == tag.size();
}

// "0", "0.", "0.5", "0.125", "1", "1.000": the weight in thousandths.
bool ParseWeight(std::string_view text, int& weight) {
  if (text.empty() || (text[0] != '0' && text[0] != '1')) return false;
  int const whole = text[0] - '0';
  int fraction = 0;
  if (text.size() > 1) {
    if (text[1] != '.' || text.size() > 5) return false;
    std::size_t const digits = text.size() - 2;
    for (std::size_t i = 2; i < text.size(); ++i) {
      if (!IsDigit(text[i])) return false;
      fraction = fraction * 10 + (text[i] - '0');
    }
    for (std::size_t i = digits; i < 3; ++i) fraction *= 10;
  }
  if (whole == 1 && fraction != 0) return false;
  weight = whole * kFullWeight + fraction;
  return true;
}

struct WeightedTag {
  std::string_view tag;
  int weight;
};

// One list item: a tag and its parameters. False when malformed.
bool ParseItem(std::string_view item, WeightedTag& out) {
  std::size_t semicolon = item.find(';');
  out.tag = Trim(item.substr(0, semicolon));
  out.weight = kFullWeight;
  if (!IsValidLanguageTag(out.tag)) return false;
  bool weighted = false;
  while (semicolon != std::string_view::npos) {
    std::size_t const begin = semicolon + 1;
    semicolon = item.find(';', begin);
    std::string_view const parameter =
        Trim(item.substr(begin, semicolon == std::string_view::npos ? semicolon
                                                                    : semicolon - begin));
    if (weighted || parameter.size() < 2 || (parameter[0] != 'q' && parameter[0] != 'Q') ||
        parameter[1] != '=' || !ParseWeight(parameter.substr(2), out.weight)) {
      return false;
    }
    weighted = true;
  }
  return true;
}

// "+5", "-05", "+0530", "-05:30", "+5:30": minutes east of UTC.
bool ParseOffset(std::string_view text, int& minutes) {
  if (text.size() < 2 || (text[0] != '+' && text[0] != '-')) return false;
  int const sign = text[0] == '-' ? -1 : 1;
  std::string_view digits = text.substr(1);
  std::size_t hourDigits = 0;
  std::size_t const colon = digits.find(':');
  if (colon != std::string_view::npos) {
    if (digits.size() - colon != 3) return false;
    hourDigits = colon;
  } else if (digits.size() <= 2) {
    hourDigits = digits.size();
  } else if (digits.size() == 4) {
    hourDigits = 2;
  } else {
    return false;
  }
  if (hourDigits < 1 || hourDigits > 2) return false;
  int hours = 0;
  for (std::size_t i = 0; i < hourDigits; ++i) {
    if (!IsDigit(digits[i])) return false;
    hours = hours * 10 + (digits[i] - '0');
  }
  std::string_view const rest =
      digits.substr(colon != std::string_view::npos ? colon + 1 : hourDigits);
  int mins = 0;
  if (!rest.empty()) {
    if (rest.size() != 2 || !IsDigit(rest[0]) || !IsDigit(rest[1])) return false;
    mins = (rest[0] - '0') * 10 + (rest[1] - '0');
  }
  if (mins >= 60 || hours * 60 + mins > kMaxOffsetMinutes) return false;
  minutes = sign * (hours * 60 + mins);
  return true;
}

bool IsZoneNameChar(char c) { return IsAlnum(c) || c == '_' || c == '-' || c == '+'; }

bool IsValidZoneName(std::string_view text) {
  std::size_t parts = 0;
  std::size_t pos = 0;
  while (true) {
    if (pos >= text.size() || !IsAlpha(text[pos])) return false;
    if (!SkipRun(text, pos, kMaxZonePartLength, IsZoneNameChar)) return false;
    ++parts;
    if (pos == text.size()) break;
    if (text[pos] != '/') return false;
    ++pos;
  }
  return parts == 2 || parts == 3;
}

struct ZoneSyntax {
  bool valid = false;
  boost::optional<int> offsetMinutes;
};

ZoneSyntax CheckZone(std::string_view text) {
  ZoneSyntax result;
  int minutes = 0;
  if (text == "UTC" || text == "GMT" || text == "Z" || text == "Etc/UTC" || text == "Etc/GMT") {
    result.valid = true;
    result.offsetMinutes = 0;
  } else if (ParseOffset(text, minutes) ||
             ((text.substr(0, 3) == "UTC" || text.substr(0, 3) == "GMT") &&
              ParseOffset(text.substr(3), minutes))) {
    result.valid = true;
    result.offsetMinutes = minutes;
  } else if (text.substr(0, 7) == "Etc/GMT") {
    // Fixed whole-hour zones; POSIX inverts the sign: "Etc/GMT+5" is UTC-05:00.
    std::string_view const offset = text.substr(7);
    if (offset.size() <= 3 && offset.find(':') == std::string_view::npos &&
        ParseOffset(offset, minutes)) {
      result.valid = true;
      result.offsetMinutes = -minutes;
    }
  } else {
    result.valid = IsValidZoneName(text);
  }
  return result;
}

}  // namespace

std::list<std::string> LocaleHelpers::MakeLanguagePreference(std::string const& text,
                                                             std::error_code& ec) {
  ec.clear();
  std::string_view const all = Trim(text);
  if (all.empty()) return {};

  // Tags in the order written; a few fit without allocating.
  boost::container::small_vector<WeightedTag, 8> tags;
  std::size_t begin = 0;
  while (true) {
    std::size_t const comma = all.find(',', begin);
    std::size_t const end = comma == std::string_view::npos ? all.size() : comma;
    WeightedTag tag;
    if (!ParseItem(all.substr(begin, end - begin), tag)) {
      ec = std::make_error_code(std::errc::invalid_argument);
      return {};
    }
    if (tag.weight > 0) tags.push_back(tag);
    if (comma == std::string_view::npos) break;
    begin = comma + 1;
  }

  // Highest weight first, equal weights in the order written. A short list is sorted in place
  // by insertion; a long one by a merge sort, which needs a buffer but is never quadratic.
  auto const heavier = [](WeightedTag const& a, WeightedTag const& b) { return a.weight > b.weight; };
  if (tags.size() <= 16) {
    for (std::size_t i = 1; i < tags.size(); ++i) {
      WeightedTag const tag = tags[i];
      std::size_t j = i;
      for (; j > 0 && heavier(tag, tags[j - 1]); --j) tags[j] = tags[j - 1];
      tags[j] = tag;
    }
  } else {
    std::stable_sort(tags.begin(), tags.end(), heavier);
  }
  std::list<std::string> result;
  for (WeightedTag const& tag : tags) result.emplace_back(tag.tag);
  return result;
}

TimezoneSpec::TimezoneSpec() : TimezoneSpec("Etc/UTC") {}

TimezoneSpec::TimezoneSpec(std::string const& text) : text_(text) {
  ZoneSyntax const syntax = CheckZone(text_);
  valid_ = syntax.valid;
  offsetMinutes_ = syntax.offsetMinutes;
}

TimezoneSpec::TimezoneSpec(std::string const& text, std::error_code& ec) : TimezoneSpec(text) {
  if (valid_) {
    ec.clear();
  } else {
    ec = std::make_error_code(std::errc::invalid_argument);
  }
}

LocaleSpec::LocaleSpec() : LocaleSpec("en_US", "C", "Etc/UTC") {}

LocaleSpec::LocaleSpec(std::string const& languagePreference,
                       std::string const& formatPreference, std::string const& timezone)
    : languages_(LocaleHelpers::MakeLanguagePreference(languagePreference, languageError_)),
      formats_(LocaleHelpers::MakeLanguagePreference(formatPreference, formatError_)),
      timezone_(timezone) {}

}  // namespace L10n
}  // namespace Tirn
