#include "tirn/http/call_options.h"

#include <algorithm>
#include <charconv>
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

void NoteAnswer(std::shared_ptr<Core::AsyncActivation> const& activation) {
  // Present but empty until the provider fills it: asked, not answered yet.
  if (activation) activation->properties[kAnswerStatusProperty].clear();
}

boost::optional<AnswerSeen> NotedAnswer(Core::AsyncActivation const& activation) {
  auto const& properties = activation.properties;
  auto const status = properties.find(kAnswerStatusProperty);
  if (status == properties.end() || status->second.empty()) return boost::none;
  AnswerSeen seen;
  auto const text = [&properties](char const* key) {
    auto const found = properties.find(key);
    return found == properties.end() ? std::string() : found->second;
  };
  seen.url = text(kAnswerUrlProperty);
  seen.requestId = text(kAnswerRequestIdProperty);
  std::string const& digits = status->second;
  auto const read = std::from_chars(digits.data(), digits.data() + digits.size(), seen.status);
  if (read.ec != std::errc() || read.ptr != digits.data() + digits.size()) return boost::none;
  return seen;
}

}  // namespace Http
}  // namespace Tirn
