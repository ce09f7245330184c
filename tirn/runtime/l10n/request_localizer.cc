#include "tirn/runtime/l10n/request_localizer.h"

namespace Tirn {
namespace L10n {

boost::optional<std::string> RequestLocalizer::Localize(BaseMessage const& message) const {
  if (!localizer || !localeSpec) return boost::none;
  return localizer->Localize(message, localeSpec->languages());
}

RequestLocalizer RequestLocalizerHelper::GetDefaultRequestLocalizer() {
  return RequestLocalizer{std::make_shared<Localizer const>(),
                          std::make_shared<LocaleSpec const>("en_US", "C", "Etc/UTC")};
}

}  // namespace L10n
}  // namespace Tirn
