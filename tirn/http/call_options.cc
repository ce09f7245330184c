#include "tirn/http/call_options.h"

#include <algorithm>
#include <string>

#include "tirn/http/transport_internal.h"

namespace Tirn {
namespace Http {

void SetDeadline(std::shared_ptr<Core::AsyncActivation> const& activation,
                 std::chrono::milliseconds limit) {
  if (!activation) return;
  if (!activation->executionContext) {
    activation->executionContext = std::make_shared<Core::ExecutionContext>();
  }
  auto const milliseconds = std::max<std::chrono::milliseconds::rep>(limit.count(), 1);
  activation->executionContext->applicationData[kTimeoutKey] = {std::to_string(milliseconds),
                                                                boost::none};
}

boost::optional<std::chrono::milliseconds> Deadline(Core::AsyncActivation const& activation) {
  if (!activation.executionContext) return boost::none;
  auto const& data = activation.executionContext->applicationData;
  auto const found = data.find(kTimeoutKey);
  std::chrono::milliseconds limit{0};
  if (found == data.end() ||
      !detail::ParseTimeLimit(found->second.value, std::chrono::milliseconds::max(), limit)) {
    return boost::none;
  }
  return limit;
}

}  // namespace Http
}  // namespace Tirn
