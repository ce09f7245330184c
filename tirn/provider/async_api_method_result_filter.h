// Tirn::Provider::AsyncApiMethodResultFilter<T>: what a server implementation reports,
// turned back into the untyped form the provider method signal validates.
//
// The method filter (async_api_method_filter.h) makes one result filter per call and puts it
// into the Tirn::AsyncResult<T, Tirn::AsyncResultTerminateCbPolicy> the implementation
// receives, as its native-error callable; every delivery through that handle reaches the
// filter. The filter
//  - reports an error value or a native error through Tirn::Data::NativeErrorHelper::GetError,
//    localized with the activation's error request localizer;
//  - converts a result with the native-to-value engine under the activation's request
//    localizer (a result that does not convert becomes an internal_server_error without
//    messages);
//  - passes a report with neither on as progress.
// After its first error or result the filter holds a result function that does nothing. A
// streamed result continues through Tirn::AsyncStreamResult handles, one per piece, each with
// a result filter of its own.
//
// Thread-safety: a result filter belongs to one call; the reports of one call must not
// overlap.
#ifndef TIRN_PROVIDER_ASYNC_API_METHOD_RESULT_FILTER_H_
#define TIRN_PROVIDER_ASYNC_API_METHOD_RESULT_FILTER_H_

#include <functional>
#include <list>
#include <memory>
#include <utility>

#include <boost/none.hpp>
#include <boost/optional/optional.hpp>

#include "tirn/data/native_to_value_adapter.h"
#include "tirn/message/base_message.h"
#include "tirn/runtime/call/activation.h"
#include "tirn/runtime/call/api_method.h"
#include "tirn/runtime/call/async_result.h"
#include "tirn/runtime/value/data_value.h"
#include "tirn/runtime/call/native_error.h"
#include "tirn/runtime/value/optional_ptr.h"
#include "tirn/runtime/call/progress.h"
#include "tirn/runtime/l10n/request_localizer.h"
#include "tirn/runtime/value/wire_shapes.h"
#include "tirn/std/native_error_helper.h"

namespace Tirn {
namespace Provider {

template <class T>
class AsyncApiMethodResultFilter {
 public:
  // Receives the untyped reports: the call signature of AsyncApiMethod::ResultCb.
  using ResultFunction = AsyncApiMethod::ResultCb::Callable;
  using StreamResult = AsyncStreamResult<T, AsyncStreamResultTerminateCbPolicy>;
  // Receives the handle for the next piece of a streamed result (empty when there is none).
  using Next = std::function<void(OptionalPtr<StreamResult>)>;

  // `activation` supplies the localizers; it is the call's activation, with the service's
  // localizer installed by the signal.
  AsyncApiMethodResultFilter(ResultFunction result,
                             std::shared_ptr<Core::AsyncActivation> activation)
      : result_(std::move(result)), activation_(std::move(activation)) {}

  // One report. An error (value or native) takes precedence over a result; `next`, when set
  // with a result, receives the handle for the next piece once the runtime asks for it.
  // Throws std::bad_function_call when the result function is empty.
  void operator()(boost::optional<T> const& result, Data::ErrorValuePtr const& error,
                  boost::optional<Data::NativeError> const& nativeError, Progress const& progress,
                  Next&& next) {
    ResultFunction replacement = [](boost::optional<Data::DataValuePtr> const&,
                                    Data::ErrorValuePtr const&, Progress const&,
                                    AsyncApiMethod::ResultCb::Continuation&&) {};

    // The error's localizer is looked up only for an error: most reports carry none.
    Data::ErrorValuePtr const reported =
        error || nativeError
            ? Data::NativeErrorHelper::GetError(
                  error, nativeError,
                  activation_ ? activation_->GetErrorRequestLocalizer()
                              : L10n::RequestLocalizerHelper::GetDefaultRequestLocalizer())
            : nullptr;
    if (reported) {
      std::swap(result_, replacement);
      replacement(boost::none, reported, progress, nullptr);
      return;
    }
    if (result) {
      Data::DataValuePtr value;
      std::list<BaseMessage> messages;
      bool const converted = Data::NativeToValueAdapter::Adapt(
          &*result, Data::NativeToValueAdapter::AdaptMethod<T>::Get(&*result), &value, messages,
          activation_ ? activation_->requestLocalizer : L10n::RequestLocalizer());
      std::swap(result_, replacement);
      if (!converted) {
        replacement(boost::none, Data::ErrorValue::GetInstance(Data::Wire::kInternalServerError),
                    progress, nullptr);
        return;
      }
      AsyncApiMethod::ResultCb::Continuation continuation;
      if (next) continuation = StreamContinuation(std::move(next), activation_);
      replacement(boost::optional<Data::DataValuePtr>(std::move(value)), nullptr, progress,
                  std::move(continuation));
      return;
    }
    result_(boost::none, nullptr, progress, nullptr);
  }

  // One report of a result that is not streamed.
  void operator()(boost::optional<T> const& result, Data::ErrorValuePtr const& error,
                  boost::optional<Data::NativeError> const& nativeError, Progress const& progress) {
    (*this)(result, error, nativeError, progress, Next());
  }

 private:
  // Called by the signal's validating continuation with the callback for the next piece (null
  // when the runtime wants no more): hands `next` a handle that reports into that callback.
  static AsyncApiMethod::ResultCb::Continuation StreamContinuation(
      Next&& next, std::shared_ptr<Core::AsyncActivation> const& activation) {
    return
        [next = std::move(next), activation](std::shared_ptr<AsyncApiMethod::ResultCb> resultCb) {
          if (!resultCb) {
            next(OptionalPtr<StreamResult>());
            return;
          }
          AsyncApiMethodResultFilter filter{ResultFunction(*resultCb), activation};
          next(MakeOptionalPtr<StreamResult, AsyncApiMethodResultFilter>(std::move(filter)));
        };
  }

  ResultFunction result_;
  std::shared_ptr<Core::AsyncActivation> activation_;
};

}  // namespace Provider
}  // namespace Tirn

#endif  // TIRN_PROVIDER_ASYNC_API_METHOD_RESULT_FILTER_H_
