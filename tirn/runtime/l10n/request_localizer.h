// Tirn::L10n::RequestLocalizer: what a single request needs to localize its messages, the
// localizer of the service and the caller's locale.
//
// Both parts are shared and immutable, so a RequestLocalizer is cheap to copy and travels by
// value with a call. Either part may be null; Localize then answers none and callers keep the
// messages' default English texts. RequestLocalizerHelper::GetDefaultRequestLocalizer gives
// the fallback used when a request carries no usable localizer.
//
//   Tirn::L10n::RequestLocalizer request{
//       std::make_shared<Tirn::L10n::Localizer const>(catalogs),
//       std::make_shared<Tirn::L10n::LocaleSpec const>("de-DE", "C", "Europe/Berlin")};
//   std::string text = request.Localize(message).value_or(message.defaultMessage());
#ifndef TIRN_RUNTIME_L10N_REQUEST_LOCALIZER_H_
#define TIRN_RUNTIME_L10N_REQUEST_LOCALIZER_H_

#include <memory>
#include <string>

#include <boost/optional.hpp>

#include "tirn/message/base_message.h"
#include "tirn/message/export.h"
#include "tirn/runtime/l10n/locale.h"
#include "tirn/runtime/l10n/localizer.h"

namespace Tirn {
namespace L10n {

struct TIRN_CORE_EXPORT RequestLocalizer {
  std::shared_ptr<Localizer const> localizer;
  std::shared_ptr<LocaleSpec const> localeSpec;

  // The message in the locale spec's languages, when both parts are set and the localizer has
  // a template for it; none otherwise.
  boost::optional<std::string> Localize(BaseMessage const& message) const;
};

struct TIRN_CORE_EXPORT RequestLocalizerHelper {
  // A RequestLocalizer of an empty Localizer and LocaleSpec("en_US", "C", "Etc/UTC"): the
  // default English texts apply. The parts are immutable, so every call gives the same pair,
  // made on first use and never destroyed; the call allocates nothing.
  static RequestLocalizer GetDefaultRequestLocalizer();
};

}  // namespace L10n
}  // namespace Tirn

#endif  // TIRN_RUNTIME_L10N_REQUEST_LOCALIZER_H_
