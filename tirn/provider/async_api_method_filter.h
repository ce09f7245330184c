// Tirn::Provider::AsyncApiMethodFilter: the typed handler a service binder connects to the
// provider method signal of one operation.
//
// For each call it converts the input value into the operation's native Input structure and
// calls the binder's lambda with it, the activation and a fresh
// Tirn::AsyncResult<T, Tirn::AsyncResultTerminateCbPolicy> whose deliveries reach an
// AsyncApiMethodResultFilter<T> (async_api_method_result_filter.h). An input that the signal's
// validation admitted but the native type does not ("x8" for an integer) is answered with
// "com.ostrel.tirn.std.errors.invalid_argument" carrying the conversion's messages, and the
// implementation is not called.
//
//   auto lambda = [method, impl](GetMethod::Input const& input,
//                                std::shared_ptr<Tirn::Core::AsyncActivation> const& activation,
//                                GetMethod::ResultCbType const& result) {
//     ((*impl).*method)(input.provider, activation, result);
//   };
//   using Filter = Tirn::Provider::AsyncApiMethodFilter<decltype(lambda),
//       std::shared_ptr<Info const>, GetMethod::Input, Tirn::Provider::DirectFilterBinder>;
//   signal->Connect(Filter(lambda));
//
// Thread-safety: immutable; calls may run concurrently.
#ifndef TIRN_PROVIDER_ASYNC_API_METHOD_FILTER_H_
#define TIRN_PROVIDER_ASYNC_API_METHOD_FILTER_H_

#include <list>
#include <memory>
#include <utility>

#include <boost/none.hpp>

#include "tirn/data/value_to_native_adapter.h"
#include "tirn/message/base_message.h"
#include "tirn/provider/async_api_method_result_filter.h"
#include "tirn/runtime/call/activation.h"
#include "tirn/runtime/call/api_method.h"
#include "tirn/runtime/call/async_result.h"
#include "tirn/runtime/value/data_value.h"
#include "tirn/runtime/call/progress.h"
#include "tirn/runtime/value/wire_shapes.h"

namespace Tirn {
namespace Provider {

// The binding policy of the filters of this library: the lambda calls the implementation
// directly, on the thread that invoked the signal.
struct DirectFilterBinder {};

// `Lambda` is called as lambda(Input const&, std::shared_ptr<Core::AsyncActivation> const&,
// AsyncResult<T, AsyncResultTerminateCbPolicy> const&) and calls the implementation.
template <class Lambda, class T, class Input, class Binder>
class AsyncApiMethodFilter {
 public:
  using ResultCbType = AsyncResult<T, AsyncResultTerminateCbPolicy>;

  explicit AsyncApiMethodFilter(Lambda lambda) : lambda_(std::move(lambda)) {}

  // Serves one call; returns when the implementation returns (it may report later through a
  // copy of its handle). Exceptions of the implementation propagate.
  void operator()(Data::DataValuePtr const& input,
                  std::shared_ptr<Core::AsyncActivation> const& activation,
                  AsyncApiMethod::ResultCb const& result) const {
    Input native{};
    std::list<BaseMessage> messages;
    if (!Data::ValueToNativeAdapter::Adapt(
            input, Data::ValueToNativeAdapter::AdaptMethod<Input>::Get(&native), &native,
            messages)) {
      result(boost::none, Data::ErrorValue::Create(Data::Wire::kInvalidArgumentError, messages),
             Progress::Final(), nullptr);
      return;
    }
    ResultCbType const handle(
        typename ResultCbType::Plain(),
        typename ResultCbType::WithNativeError(AsyncApiMethodResultFilter<T>(
            typename AsyncApiMethodResultFilter<T>::ResultFunction(result), activation)));
    lambda_(native, activation, handle);
  }

 private:
  Lambda lambda_;
};

}  // namespace Provider
}  // namespace Tirn

#endif  // TIRN_PROVIDER_ASYNC_API_METHOD_FILTER_H_
