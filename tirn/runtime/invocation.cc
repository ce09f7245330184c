#include "tirn/runtime/invocation.h"

namespace Tirn {
namespace Core {

void AsyncApiResultCb::operator()(std::shared_ptr<MethodResult const> const& result,
                                  Progress const& progress, Continuation&& next) const {
  if (!*callable_) throw std::bad_function_call();
  if (!result) {
    (*callable_)(result, progress, std::move(next));
    return;
  }
  // A final result releases the callable, also when it throws.
  Callable callable = std::move(*callable_);
  *callable_ = nullptr;
  callable(result, progress, std::move(next));
}

AsyncApiProvider::~AsyncApiProvider() = default;

}  // namespace Core
}  // namespace Tirn
