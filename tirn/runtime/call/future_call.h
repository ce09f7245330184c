// Tirn::MakeFutureCall: a result handle whose final delivery fulfils a std::future, for
// programs that want to block until a call has ended.
//
//   auto call = Tirn::MakeFutureCall<Providers::GetMethod::Result>();
//   providers.Get("p1", activation, call.handle);
//   Tirn::CallResult<Providers::GetMethod::Result> result = call.future.get();
//
// The generated stubs offer this form directly (`providers.Get("p1").get()`). Progress
// reports pass the future by. The future is always fulfilled: a call that its implementation
// abandons ends with an internal_server_error. The first final delivery fulfils it; any
// delivery after that (a misbehaving provider's second answer) is ignored, never thrown. Do not wait for the future on the thread that
// must run the call (for example the only thread of an HTTP client's io_context).
#ifndef TIRN_RUNTIME_CALL_FUTURE_CALL_H_
#define TIRN_RUNTIME_CALL_FUTURE_CALL_H_

#include <atomic>
#include <future>
#include <memory>

#include "tirn/runtime/call/async_result.h"
#include "tirn/runtime/call/call_result.h"

namespace Tirn {

template <class T, class Policy = AsyncResultTerminateCbPolicy>
struct FutureCall {
  AsyncResult<T, Policy> handle;
  std::future<CallResult<T>> future;
};

template <class T, class Policy = AsyncResultTerminateCbPolicy>
FutureCall<T, Policy> MakeFutureCall() {
  struct Shared {
    std::promise<CallResult<T>> promise;
    std::atomic<bool> fulfilled{false};
  };
  auto shared = std::make_shared<Shared>();
  std::future<CallResult<T>> future = shared->promise.get_future();
  return FutureCall<T, Policy>{AsyncResult<T, Policy>([shared](CallResult<T> const& result) {
                                 if (!shared->fulfilled.exchange(true)) {
                                   shared->promise.set_value(result);
                                 }
                               }),
                               std::move(future)};
}

}  // namespace Tirn

#endif  // TIRN_RUNTIME_CALL_FUTURE_CALL_H_
