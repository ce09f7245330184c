// Tirn::Stub::AsyncMethodInvoker: the outbound half of a client call.
//
// A generated stub fills an operation's Input structure and calls
//   Tirn::Stub::AsyncMethodInvoker::Invoke<GetMethod>(input, activation, result, apiStub);
// Invoke names the operation (the interface identifier is TypeInfo<Method::Interface>::name(),
// the method name Method::methodName()), converts the input into a value tree and sends the
// call through the AsyncApiStub with a ResultWrapper (async_result_wrapper.h) that carries the
// answer back to `result`. An input that does not convert is not sent: `result` receives at
// once a "com.ostrel.tirn.std.errors.invalid_argument" error carrying the conversion's
// messages.
//
// Of the operation descriptor `Method` it needs:
//   using Input = ...;                  // the operation's input structure
//   using ResultCbType = Tirn::AsyncResult<T, Tirn::AsyncResultTerminateCbPolicy>;
//   using Interface = ...;              // the service's AsyncServiceInterface
//   static std::string methodName();    // the operation's wire name
#ifndef TIRN_STUB_ASYNC_METHOD_INVOKER_H_
#define TIRN_STUB_ASYNC_METHOD_INVOKER_H_

#include <list>
#include <memory>
#include <string>

#include "tirn/data/native_to_value_adapter.h"
#include "tirn/data/type_info.h"
#include "tirn/message/base_message.h"
#include "tirn/runtime/call/activation.h"
#include "tirn/runtime/call/async_result.h"
#include "tirn/runtime/value/data_value.h"
#include "tirn/runtime/call/invocation.h"
#include "tirn/runtime/l10n/request_localizer.h"
#include "tirn/runtime/value/wire_shapes.h"
#include "tirn/stub/async_api_stub.h"
#include "tirn/stub/async_result_wrapper.h"

namespace Tirn {
namespace Stub {

namespace detail {
// The native result type T of a handle AsyncResult<T, Policy>.
template <class Handle>
struct HandleResult;
template <class T, class Policy>
struct HandleResult<AsyncResult<T, Policy>> {
  using Type = T;
};
}  // namespace detail

struct AsyncMethodInvoker {
  // Sends one call of operation `Method` through `apiStub` (which must not be null) with
  // `activation` (may be null: see AsyncApiStub::Invoke). Every outcome reaches `result`:
  // an input conversion failure before Invoke returns, through `result` itself (which it
  // spends); the runtime's answer through a copy of `result`, now or later, on any thread.
  template <class Method>
  static void Invoke(typename Method::Input const& input,
                     std::shared_ptr<Core::AsyncActivation> const& activation,
                     typename Method::ResultCbType const& result,
                     std::shared_ptr<AsyncApiStub> const& apiStub) {
    using Input = typename Method::Input;
    using T = typename detail::HandleResult<typename Method::ResultCbType>::Type;

    auto interfaceIdentifier = std::make_shared<Core::InterfaceIdentifier const>(
        Data::TypeInfo<typename Method::Interface>::name());
    auto methodIdentifier =
        std::make_shared<Core::MethodIdentifier const>(interfaceIdentifier, Method::methodName());

    Data::DataValuePtr value;
    std::list<BaseMessage> messages;
    bool converted;
    {
      // The input is converted under a fixed locale, whatever the caller's: a request's input
      // does not depend on who sends it.
      converted = Data::NativeToValueAdapter::Adapt(
          &input, Data::NativeToValueAdapter::AdaptMethod<Input>::Get(&input), &value, messages,
          L10n::RequestLocalizerHelper::GetDefaultRequestLocalizer());
    }
    if (!converted) {
      result.error(Data::ErrorValue::Create(Data::Wire::kInvalidArgumentError, messages));
      return;
    }
    Core::AsyncApiResultCb const resultCb{
        AsyncResultWrapper::ResultWrapper<T, AsyncResult<T, AsyncResultTerminateCbPolicy>>(result)};
    apiStub->Invoke(methodIdentifier, value, activation, resultCb);
  }
};

}  // namespace Stub
}  // namespace Tirn

#endif  // TIRN_STUB_ASYNC_METHOD_INVOKER_H_
