#include "tirn/runtime/call/invocation.h"

#include <utility>

#include "tirn/message/message.h"
#include "tirn/message/message_ids.h"
#include "tirn/runtime/value/wire_shapes.h"

namespace Tirn {
namespace Core {

struct AsyncApiResultCb::Shared {
  explicit Shared(Callable c) : callable(std::move(c)) {}
  Shared(Shared const&) = delete;
  Shared& operator=(Shared const&) = delete;

  ~Shared() {
    if (!callable) return;
    try {
      auto result = std::make_shared<MethodResult const>(MethodResult{
          nullptr,
          Data::ErrorValue::Create(Data::Wire::kInternalServerError,
                                   {Message<CoreTag>(MessageIds::kCallAbandoned)}),
          true});
      callable(result, Progress::Final(), nullptr);
    } catch (...) {
      // Nobody is left to receive it: the last owner of the call is going away.
    }
  }

  Callable callable;
};

// Holds nothing: there is no callable for its copies to share.
AsyncApiResultCb::AsyncApiResultCb() = default;

AsyncApiResultCb::AsyncApiResultCb(Callable callable)
    : shared_(std::make_shared<Shared>(std::move(callable))) {}

AsyncApiResultCb::operator bool() const { return shared_ && shared_->callable; }

void AsyncApiResultCb::operator()(std::shared_ptr<MethodResult const> const& result,
                                  Progress const& progress, Continuation&& next) const {
  if (!*this) throw std::bad_function_call();
  Callable& held = shared_->callable;
  if (!result) {
    held(result, progress, std::move(next));
    return;
  }
  // A final result releases the callable, also when it throws.
  Callable callable = std::move(held);
  held = nullptr;
  callable(result, progress, std::move(next));
}

AsyncApiProvider::~AsyncApiProvider() = default;

}  // namespace Core
}  // namespace Tirn
