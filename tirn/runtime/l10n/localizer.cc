#include "tirn/runtime/l10n/localizer.h"

#include <cstddef>
#include <sstream>
#include <system_error>
#include <utility>
#include <vector>

#include "tirn/message/format.h"

namespace Tirn {
namespace L10n {
namespace {

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// The comparison form of a tag: ASCII lower case, '_' for '-', without a glibc ".codeset"
// (the encoding says nothing about the language; our texts are UTF-8 anyway). A "@modifier"
// stays, since it may select a script ("sr_RS@latin").
std::string Normalise(std::string const& tag) {
  std::string out;
  out.reserve(tag.size());
  bool inCodeset = false;
  for (char c : tag) {
    if (c == '@') {
      inCodeset = false;
    } else if (c == '.' && !inCodeset) {
      inCodeset = true;
      continue;
    }
    if (inCodeset) continue;
    out.push_back(c == '-' ? '_' : AsciiLower(c));
  }
  return out;
}

// The language subtag of a normalised tag: "de" for "de_de" or "sr@latin".
std::string BareLanguage(std::string const& normalised) {
  return normalised.substr(0, normalised.find_first_of("_@"));
}

// Tags that ask for the untranslated default texts rather than for a language.
bool IsNeutral(std::string const& normalised) {
  std::string const language = BareLanguage(normalised);
  return normalised.empty() || normalised == "*" || language == "c" || language == "posix";
}

}  // namespace

Localizer::Localizer() = default;

Localizer::Localizer(std::map<std::string, Catalog> catalogs) {
  for (auto& entry : catalogs) {
    if (entry.second.empty() || IsNeutral(Normalise(entry.first))) continue;
    normalisedKeys_.emplace(Normalise(entry.first), entry.first);
    catalogs_.emplace(entry.first, std::move(entry.second));
  }
}

bool Localizer::empty() const { return catalogs_.empty(); }

Localizer::Catalog const* Localizer::FindCatalog(std::string const& key) const {
  auto const found = catalogs_.find(key);
  return found == catalogs_.end() ? nullptr : &found->second;
}

std::string const* Localizer::FindTemplate(std::list<std::string> const& languages,
                                           std::string const& id) const {
  if (catalogs_.empty()) return nullptr;
  auto const lookup = [&id](Catalog const* catalog) -> std::string const* {
    if (catalog == nullptr) return nullptr;
    auto const found = catalog->find(id);
    return found == catalog->end() ? nullptr : &found->second;
  };
  auto const byNormalised = [this](std::string const& normalised) -> Catalog const* {
    auto const found = normalisedKeys_.find(normalised);
    return found == normalisedKeys_.end() ? nullptr : FindCatalog(found->second);
  };
  for (std::string const& tag : languages) {
    std::string const normalised = Normalise(tag);
    if (IsNeutral(normalised)) continue;
    if (std::string const* text = lookup(FindCatalog(tag))) return text;
    if (std::string const* text = lookup(byNormalised(normalised))) return text;
    std::string const language = BareLanguage(normalised);
    if (language != normalised) {
      if (std::string const* text = lookup(byNormalised(language))) return text;
    }
  }
  return nullptr;
}

boost::optional<std::string> Localizer::Localize(BaseMessage const& message,
                                                 std::list<std::string> const& languages) const {
  std::string const* tmpl = FindTemplate(languages, message.id());
  if (tmpl == nullptr) return boost::none;
  std::vector<Detail::format_arg> args;
  args.reserve(message.args().size());
  for (std::string const& arg : message.args()) args.push_back(Detail::MakeFormatArg(arg));
  std::ostringstream out;
  std::error_code ec;
  // On a format error FormatTo stops and leaves the text written so far, which is what we
  // return: a partial translation beats none, and data errors are never thrown.
  Detail::FormatTo(out, *tmpl, args.data(), args.size(), ec);
  return out.str();
}

}  // namespace L10n
}  // namespace Tirn
