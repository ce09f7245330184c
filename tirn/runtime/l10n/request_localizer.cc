#include "tirn/runtime/l10n/request_localizer.h"

namespace Tirn {
namespace L10n {

boost::optional<std::string> RequestLocalizer::Localize(BaseMessage const& message) const {
  if (!localizer || !localeSpec) return boost::none;
  return localizer->Localize(message, localeSpec->languages());
}

RequestLocalizer RequestLocalizerHelper::GetDefaultRequestLocalizer() {
  // Both parts are immutable, so every caller shares one pair, made on first use. It is never
  // destroyed: a thread still localizing while the process exits finds it whole.
  static RequestLocalizer const* const kDefault = new RequestLocalizer{
      std::make_shared<Localizer const>(),
      std::make_shared<LocaleSpec const>("en_US", "C", "Etc/UTC")};
  return *kDefault;
}

}  // namespace L10n
}  // namespace Tirn
