#include "tirn/stub/async_api_stub.h"

#include <utility>

#include "tirn/message/message.h"
#include "tirn/message/message_ids.h"
#include "tirn/runtime/call/progress.h"
#include "tirn/runtime/value/wire_shapes.h"

namespace Tirn {
namespace Stub {

AsyncApiStub::AsyncApiStub(std::shared_ptr<Core::AsyncApiProvider> provider,
                           std::shared_ptr<Core::AsyncActivation const> templateActivation)
    : provider_(std::move(provider)), templateActivation_(std::move(templateActivation)) {}

void AsyncApiStub::Invoke(std::shared_ptr<Core::MethodIdentifier const> const& method,
                          Data::DataValuePtr const& input,
                          std::shared_ptr<Core::AsyncActivation> const& activation,
                          Core::AsyncApiResultCb const& resultCb) const {
  if (activation) {
    provider_->Invoke(method, input, activation, resultCb);
    return;
  }
  if (!templateActivation_) {
    auto result = std::make_shared<Core::MethodResult const>(
        Core::MethodResult{nullptr,
                           Data::ErrorValue::Create(Data::Wire::kInvalidArgumentError,
                                                    {Message<CoreTag>(MessageIds::kNoActivation)}),
                           true});
    resultCb(result, Progress::Final(), nullptr);
    return;
  }
  provider_->Invoke(method, input, templateActivation_->ForCall(), resultCb);
}

}  // namespace Stub
}  // namespace Tirn
