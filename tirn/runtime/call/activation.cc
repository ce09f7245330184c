#include "tirn/runtime/call/activation.h"

namespace Tirn {
namespace Core {

L10n::RequestLocalizer AsyncActivation::GetErrorRequestLocalizer() const {
  if (requestLocalizer.localizer && requestLocalizer.localeSpec &&
      !requestLocalizer.localizer->empty()) {
    return requestLocalizer;
  }
  return L10n::RequestLocalizerHelper::GetDefaultRequestLocalizer();
}

std::shared_ptr<AsyncActivation> AsyncActivation::ForCall() const {
  auto copy = std::make_shared<AsyncActivation>(*this);
  copy->executionContext = executionContext ? std::make_shared<ExecutionContext>(*executionContext)
                                            : std::make_shared<ExecutionContext>();
  copy->flags = 0;
  return copy;
}

}  // namespace Core
}  // namespace Tirn
