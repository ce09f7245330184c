// Tirn::Stub::AsyncResultWrapper::ResultWrapper: the inbound half of a client call.
//
// The stub engine hands the runtime one ResultWrapper per call, inside a
// Tirn::Core::AsyncApiResultCb. The wrapper holds its own copy of the caller's result handle
// and turns what the runtime reports into deliveries through it:
//  - a progress report (null result) is passed on with the runtime's progress, as often as it
//    comes;
//  - a final output is converted into the native result type T and delivered with
//    Progress (0, 1, 1); an output that does not convert becomes an error named
//    "invalid_argument" carrying the conversion's messages;
//  - any other final result delivers its error value (null when it has none).
// A final delivery spends the wrapper's handle. The runtime's continuation is ignored: the
// wrapper never asks for further pieces. Error values pass unchanged; the client does not
// validate results against the operation's definitions.
#ifndef TIRN_STUB_ASYNC_RESULT_WRAPPER_H_
#define TIRN_STUB_ASYNC_RESULT_WRAPPER_H_

#include <functional>
#include <list>
#include <memory>
#include <utility>

#include <boost/none.hpp>
#include <boost/optional/optional.hpp>

#include "tirn/data/value_to_native_adapter.h"
#include "tirn/message/base_message.h"
#include "tirn/runtime/call/async_result.h"
#include "tirn/runtime/value/data_value.h"
#include "tirn/runtime/call/invocation.h"
#include "tirn/runtime/call/progress.h"

namespace Tirn {
namespace Stub {

struct AsyncResultWrapper {
  template <class T, class Handle>
  class ResultWrapper;
};

// The name of the error a client delivers for a result it cannot convert. Unlike the server's
// errors it carries no package prefix.
inline constexpr char kClientInvalidArgumentError[] = "invalid_argument";

template <class T>
class AsyncResultWrapper::ResultWrapper<T, AsyncResult<T, AsyncResultTerminateCbPolicy>> {
 public:
  using Handle = AsyncResult<T, AsyncResultTerminateCbPolicy>;

  // Takes its own copy of `result`; the caller's handle is not touched again.
  explicit ResultWrapper(Handle const& result) : result_(result) {}

  // One report of the runtime: a progress notification when `methodResult` is null, the
  // final result otherwise. Deliveries through a spent handle terminate the process.
  void operator()(std::shared_ptr<Core::MethodResult const> const& methodResult,
                  Progress const& progress,
                  std::function<void(std::shared_ptr<Core::AsyncApiResultCb>)>&& /*next*/) const {
    if (!methodResult) {
      result_.Dispatch(boost::none, nullptr, boost::none, progress);
      return;
    }
    if (methodResult->output && !methodResult->error) {
      T native{};
      std::list<BaseMessage> messages;
      if (!Data::ValueToNativeAdapter::Adapt(
              methodResult->output, Data::ValueToNativeAdapter::AdaptMethod<T>::Get(&native),
              &native, messages)) {
        result_.error(Data::ErrorValue::Create(kClientInvalidArgumentError, messages));
        return;
      }
      result_.Dispatch(boost::optional<T>(std::move(native)), nullptr, boost::none,
                       Progress::Final());
      result_.Spend();
      return;
    }
    result_.error(methodResult->error);
  }

  // Final delivery of `error` through the wrapper's handle, with Progress (0, 1, 1).
  void error(Data::ErrorValuePtr const& error) const { result_.error(error); }

 private:
  Handle result_;
};

}  // namespace Stub
}  // namespace Tirn

#endif  // TIRN_STUB_ASYNC_RESULT_WRAPPER_H_
