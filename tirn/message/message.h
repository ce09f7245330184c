// Building localizable messages.
//
// Tirn::MakeMessage fills a template's placeholders with string arguments and keeps the
// arguments beside the text, so that a localizer can render the message again in another
// language. Tirn::Message<Tag> does the same for the messages of a catalog, taking the template
// from Message<Tag>::DefaultMessageForId: the runtime's core catalog (CoreTag), or any catalog a
// library declares with a tag of its own.
//
//   messages.push_back(Tirn::Message<Tirn::CoreTag>(
//       Tirn::MessageIds::kUnsetNonOptionalField, std::string("my.type")));
//   messages.push_back(Tirn::MakeMessage("my.server.full", "Server {1} is full", host));
//
//   struct ShopTag {  // a catalog of one's own, sorted by identifier
//     static Tirn::CatalogView Catalog() { return Tirn::CatalogView(kShopCatalog); }
//   };
//   messages.push_back(Tirn::Message<ShopTag>("shop.sold.out", item));
#ifndef TIRN_MESSAGE_MESSAGE_H_
#define TIRN_MESSAGE_MESSAGE_H_

#include <cstddef>
#include <list>
#include <string>
#include <type_traits>
#include <utility>

#include "tirn/message/base_message.h"
#include "tirn/message/export.h"
#include "tirn/message/format.h"

namespace Tirn {

namespace Detail {
// Formats `tmpl` with `args` (text up to the first error on failure) and collects each
// argument's own string form; returns the finished message.
TIRN_CORE_EXPORT BaseMessage BuildMessage(std::string const& id, std::string const& tmpl,
                                          std::string const* args, std::size_t count);

// The text of one argument of MakeMessage. A null C string is the empty text, as std::string
// cannot hold it.
template <class Arg>
std::string ArgumentText(Arg&& arg) {
  using Plain = std::remove_cv_t<std::remove_reference_t<Arg>>;
  if constexpr (std::is_null_pointer_v<Plain>) {
    return std::string();
  } else if constexpr (std::is_pointer_v<Plain>) {
    return arg ? std::string(arg) : std::string();
  } else {
    return std::string(std::forward<Arg>(arg));
  }
}
}  // namespace Detail

// A message with identifier `id` whose default text is `tmpl` formatted with `args`. Each
// argument must convert to std::string; a null C string stands for the empty text. Never
// throws on a malformed template: the text is then what was formatted before the failing
// placeholder.
template <class... Args>
BaseMessage MakeMessage(std::string const& id, std::string const& tmpl, Args&&... args) {
  if constexpr (sizeof...(Args) == 0) {
    return Detail::BuildMessage(id, tmpl, nullptr, 0);
  } else {
    std::string const strings[] = {Detail::ArgumentText(std::forward<Args>(args))...};
    return Detail::BuildMessage(id, tmpl, strings, sizeof...(Args));
  }
}

// One message of a catalog: its identifier and its default English template.
struct CatalogEntry {
  char const* id;
  char const* text;
};

// The entries of a catalog, in strictly ascending byte order of their identifiers.
struct CatalogView {
  CatalogEntry const* begin;
  CatalogEntry const* end;

  template <std::size_t N>
  constexpr explicit CatalogView(CatalogEntry const (&entries)[N])
      : begin(entries), end(entries + N) {}
};

// Whether `entries` are in strictly ascending byte order of their identifiers; for a
// static_assert beside each catalog.
template <std::size_t N>
constexpr bool CatalogIsSorted(CatalogEntry const (&entries)[N]) {
  for (std::size_t i = 1; i < N; ++i) {
    char const* a = entries[i - 1].id;
    char const* b = entries[i].id;
    for (; *a != '\0' && *a == *b; ++a, ++b) {
    }
    if (static_cast<unsigned char>(*a) >= static_cast<unsigned char>(*b)) return false;
  }
  return true;
}

namespace Detail {
// The template of `id` in `catalog`; a text that names the identifier when the catalog does
// not have it (never an empty string).
TIRN_CORE_EXPORT std::string CatalogText(CatalogView catalog, std::string const& id);
}  // namespace Detail

// Tag of the runtime's core message catalog.
struct CoreTag {
  TIRN_CORE_EXPORT static CatalogView Catalog();
};

// A message of the catalog `Tag` names (Tag::Catalog()).
template <class Tag>
class Message : public BaseMessage {
 public:
  // The message `id` with its catalog text, unformatted, and no arguments.
  explicit Message(std::string const& id) : BaseMessage(id, DefaultMessageForId(id), {}) {}

  // Exactly MakeMessage(id, DefaultMessageForId(id), args...).
  template <class Arg, class... Args>
  Message(std::string const& id, Arg&& arg, Args&&... args)
      : BaseMessage(MakeMessage(id, DefaultMessageForId(id), std::forward<Arg>(arg),
                                std::forward<Args>(args)...)) {}

  // The default English template of a message of the catalog. An identifier the catalog does
  // not know gets a text that names it (never an empty string).
  static std::string DefaultMessageForId(std::string const& id) {
    return Detail::CatalogText(Tag::Catalog(), id);
  }
};

}  // namespace Tirn

#endif  // TIRN_MESSAGE_MESSAGE_H_
