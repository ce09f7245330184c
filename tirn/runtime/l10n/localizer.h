// Tirn::L10n::Localizer: message catalogs per language, and the lookup that renders a
// Tirn::BaseMessage in the caller's preferred language.
//
// A Localizer holds, for each language tag ("de", "de_DE", "fr"), a catalog that maps message
// identifiers to positional templates in the syntax of Tirn::Detail::FormatTo. It is immutable
// once built and may be shared freely between threads. A server that ships translations builds
// one and binds it; nothing is registered globally. When no catalog has the message, callers
// keep the message's default English text.
//
//   Tirn::L10n::Localizer localizer({{"de", {{"my.server.full", "Server {1} ist voll"}}}});
//   Tirn::BaseMessage message = Tirn::MakeMessage("my.server.full", "Server {1} is full", host);
//   boost::optional<std::string> text = localizer.Localize(message, {"de-AT", "en"});
//   std::string shown = text ? *text : message.defaultMessage();  // "Server ... ist voll"
#ifndef TIRN_RUNTIME_L10N_LOCALIZER_H_
#define TIRN_RUNTIME_L10N_LOCALIZER_H_

#include <list>
#include <map>
#include <string>

#include <boost/optional.hpp>

#include "tirn/message/base_message.h"
#include "tirn/message/export.h"

namespace Tirn {
namespace L10n {

class TIRN_CORE_EXPORT Localizer {
 public:
  // Message identifier -> template with positional placeholders ("{1}", "{}").
  using Catalog = std::map<std::string, std::string>;

  // A localizer without catalogs: every lookup misses and empty() is true.
  Localizer();

  // Catalogs keyed by language tag as written ("de", "de_DE", "pt-BR"). Catalogs without any
  // template, and those keyed by "", "*", "C" or "POSIX" (with or without a ".codeset"), are
  // dropped: no lookup could ever reach them.
  explicit Localizer(std::map<std::string, Catalog> catalogs);

  // True when no catalog holds a template, i.e. nothing can ever be localized. Callers then
  // use the default request localizer instead.
  bool empty() const;

  // The template for `id` in the first language of `languages` that has one, or nullptr.
  // For each tag, in order: the catalog keyed exactly by the tag; then the catalog whose key
  // matches the tag once both are normalised ('-' and '_' equivalent, ASCII case ignored, a
  // glibc ".codeset" ignored); then the catalog of the bare language ("de" for "de-DE" or
  // "de_DE.UTF-8"). "C", "POSIX" and "*" match nothing. The pointer stays valid as long as
  // this localizer lives.
  std::string const* FindTemplate(std::list<std::string> const& languages,
                                  std::string const& id) const;

  // The template FindTemplate finds for message.id() formatted with message.args(); none when
  // no catalog has it. A template that fails to format (a placeholder beyond the arguments,
  // an invalid specification) yields the text formatted before the failing placeholder.
  boost::optional<std::string> Localize(BaseMessage const& message,
                                        std::list<std::string> const& languages) const;

 private:
  Catalog const* FindCatalog(std::string const& key) const;

  std::map<std::string, Catalog> catalogs_;
  // Normalised tag -> key in catalogs_. When several keys normalise alike, the first one in
  // byte order wins here; the others stay reachable by their exact tag.
  std::map<std::string, std::string> normalisedKeys_;
};

}  // namespace L10n
}  // namespace Tirn

#endif  // TIRN_RUNTIME_L10N_LOCALIZER_H_
