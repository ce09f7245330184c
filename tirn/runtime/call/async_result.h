// Result handles: how one call's outcome reaches typed code.
//
// Tirn::AsyncResult<T, Tirn::AsyncResultTerminateCbPolicy> is the handle a client passes to a
// stub, and the handle a server implementation receives for each call. It holds two callables,
// either of which may be empty: the plain one (result, error value, progress) and the
// native-error one (result, error value, native error, progress). Every delivery calls the
// plain callable when it is set, otherwise the native-error one with an empty native error,
// otherwise throws std::bad_function_call. A final delivery (a value or an error) spends the
// handle: afterwards any delivery through it terminates the process. Each copy of a handle is
// spent on its own, but copies deliver to the same call: a server whose copy delivers a second
// final answer finds the call already answered (std::bad_function_call).
//
// A server implementation reports through its handle with
//   result.value(v);               // final: the result
//   result.error(errorValue);      // final: an error value
//   result.error(nativeError);     // final: a native standard error (tirn/std)
//   result.progress({0, 10, 3});   // any number of times before the final delivery
// Only value() and error() end a call. A progress report whose current position equals its
// maximum (Progress::IsFinal, which includes the default (0, 0, 0)) would read as the end of
// the call with neither value nor error, so progress() holds it back: it reaches no one, and
// the value or error that follows is delivered as usual. Every other report passes unchanged.
//
// A call is never left waiting: when an implementation releases every copy of its handle
// without a final delivery (or the runtime drops the call), the client's handle receives a
// final internal_server_error carrying "tirn.runtime.call.abandoned". That delivery runs in a
// destructor, on the thread that releases the last copy; an exception thrown by the client's
// callable there is caught and dropped. When the provider throws out of a stub call, the
// client's handle receives this error and the exception propagates.
//
// Tirn::AsyncStreamResult is the same for one further piece of a streamed result; its value
// delivery takes the function that receives the handle for the next piece.
//
// Thread-safety: a handle may be delivered through from any thread, but the deliveries of one
// handle must not overlap.
#ifndef TIRN_RUNTIME_CALL_ASYNC_RESULT_H_
#define TIRN_RUNTIME_CALL_ASYNC_RESULT_H_

#include <exception>
#include <functional>
#include <memory>
#include <type_traits>
#include <utility>

#include <boost/none.hpp>
#include <boost/optional/optional.hpp>

#include "tirn/runtime/call/call_result.h"
#include "tirn/runtime/value/data_value.h"
#include "tirn/runtime/call/native_error.h"
#include "tirn/runtime/value/optional_ptr.h"
#include "tirn/runtime/call/progress.h"

namespace Tirn {

using Data::ErrorValuePtr;

// Makes a handle unusable after its final delivery: both callables are replaced by ones that
// terminate the process.
struct AsyncResultTerminateCbPolicy {
  template <class Callbacks>
  void operator()(Callbacks& callbacks) const {
    callbacks.Replace([](auto&&...) { std::terminate(); });
  }
};

// The same policy for streamed-result handles.
struct AsyncStreamResultTerminateCbPolicy : AsyncResultTerminateCbPolicy {};

namespace detail {

// Whether F takes every delivery of a T: (result, error, progress).
template <class T, class F>
constexpr bool TakesEveryDelivery() {
  return std::is_invocable<F&, boost::optional<T> const&, ErrorValuePtr const&,
                           Progress const&>::value;
}

// Whether F takes only a call's end: a CallResult<T>.
template <class T, class F>
constexpr bool TakesTheEnd() {
  return std::is_invocable<F&, CallResult<T> const&>::value;
}

// A (result, error, progress) callable that passes the final delivery to `onFinal` as a
// CallResult<T> and lets progress reports by.
template <class T, class F>
auto OnlyTheEnd(F&& onFinal) {
  return [onFinal = std::forward<F>(onFinal)](boost::optional<T> const& result,
                                              ErrorValuePtr const& error,
                                              Progress const& progress) mutable {
    if (progress.IsFinal()) onFinal(CallResult<T>(result, error));
  };
}

}  // namespace detail

template <class T, class Policy>
class AsyncResult {
 public:
  using Plain = std::function<void(boost::optional<T> const& result, ErrorValuePtr const& error,
                                   Progress const& progress)>;
  using WithNativeError = std::function<void(
      boost::optional<T> const& result, ErrorValuePtr const& error,
      boost::optional<Data::NativeError> const& nativeError, Progress const& progress)>;

  // The pair of callables.
  struct ResultCb {
    Plain plain;
    WithNativeError withNativeError;

    template <class F>
    void Replace(F const& replacement) {
      plain = replacement;
      withNativeError = replacement;
    }
  };

  // Whether F can be called with the arguments of the callable of that arity.
  template <class F, int arity>
  static constexpr bool IsInvocable() {
    if constexpr (arity == 3) {
      return detail::TakesEveryDelivery<T, F>();
    } else if constexpr (arity == 4) {
      return std::is_invocable<F&, boost::optional<T> const&, ErrorValuePtr const&,
                               boost::optional<Data::NativeError> const&, Progress const&>::value;
    } else {
      return detail::TakesTheEnd<T, F>();
    }
  }

  AsyncResult() = default;
  explicit AsyncResult(Plain plain) { callbacks_.plain = std::move(plain); }
  // A handle from any callable: one taking (result, error, progress) hears every delivery,
  // one taking (result, error, native error, progress) too, and one taking a CallResult<T>
  // hears only the final delivery (progress reports pass it by):
  //
  //   stub.Get("p1", activation, [](Tirn::CallResult<Result> const& result) { ... });
  template <class F, class = std::enable_if_t<!std::is_same<std::decay_t<F>, AsyncResult>::value &&
                                              (IsInvocable<F, 3>() || IsInvocable<F, 4>() ||
                                               IsInvocable<F, 1>())>>
  AsyncResult(F&& callable) {  // NOLINT(google-explicit-constructor): handles are made in place
    if constexpr (IsInvocable<F, 3>()) {
      callbacks_.plain = std::forward<F>(callable);
    } else if constexpr (IsInvocable<F, 4>()) {
      callbacks_.withNativeError = std::forward<F>(callable);
    } else {
      callbacks_.plain = detail::OnlyTheEnd<T>(std::forward<F>(callable));
    }
  }
  explicit AsyncResult(WithNativeError withNativeError) {
    callbacks_.withNativeError = std::move(withNativeError);
  }
  AsyncResult(Plain plain, WithNativeError withNativeError) {
    callbacks_.plain = std::move(plain);
    callbacks_.withNativeError = std::move(withNativeError);
  }

  // Final delivery of a result.
  void value(T const& result) const {
    Dispatch(result, nullptr, boost::none, Progress::Final());
    Spend();
  }
  // Final delivery of an error value.
  void error(ErrorValuePtr const& error) const {
    Dispatch(boost::none, error, boost::none, Progress::Final());
    Spend();
  }
  // Final delivery of a native standard error.
  void error(Data::NativeError const& nativeError) const {
    Dispatch(boost::none, nullptr, nativeError, Progress::Final());
    Spend();
  }
  // A progress report; the handle stays live. A report that looks final (progress.IsFinal())
  // is held back and reaches no one.
  void progress(Progress const& progress) const {
    if (progress.IsFinal()) return;
    Dispatch(boost::none, nullptr, boost::none, progress);
  }

  // One delivery by the dispatch rule, without spending the handle.
  void Dispatch(boost::optional<T> const& result, ErrorValuePtr const& error,
                boost::optional<Data::NativeError> const& nativeError,
                Progress const& progress) const {
    if (callbacks_.plain) {
      callbacks_.plain(result, error, progress);
    } else if (callbacks_.withNativeError) {
      callbacks_.withNativeError(result, error, nativeError, progress);
    } else {
      throw std::bad_function_call();
    }
  }

  // Applies the terminate policy: the handle is spent.
  void Spend() const { Policy()(callbacks_); }

  ResultCb const& callbacks() const { return callbacks_; }

 private:
  // Deliveries are const operations that replace the callables of a spent handle.
  mutable ResultCb callbacks_;
};

template <class T, class Policy>
class AsyncStreamResult {
 public:
  using Next = std::function<void(OptionalPtr<AsyncStreamResult>)>;
  using Plain = typename AsyncResult<T, Policy>::Plain;
  using WithNativeError = std::function<void(
      boost::optional<T> const& result, ErrorValuePtr const& error,
      boost::optional<Data::NativeError> const& nativeError, Progress const& progress,
      Next&& next)>;

  struct ResultCb {
    Plain plain;
    WithNativeError withNativeError;

    template <class F>
    void Replace(F const& replacement) {
      plain = replacement;
      withNativeError = replacement;
    }
  };

  // Whether F can be called with the arguments of the callable of that arity.
  template <class F, int arity>
  static constexpr bool IsInvocable() {
    if constexpr (arity == 3) {
      return detail::TakesEveryDelivery<T, F>();
    } else if constexpr (arity == 5) {
      return std::is_invocable<F&, boost::optional<T> const&, ErrorValuePtr const&,
                               boost::optional<Data::NativeError> const&, Progress const&,
                               Next&&>::value;
    } else {
      return detail::TakesTheEnd<T, F>();
    }
  }

  AsyncStreamResult() = default;
  // A handle from any callable, as for AsyncResult: one taking (result, error, progress)
  // hears every delivery, one taking (result, error, native error, progress, next) too and
  // receives the handle for the following piece, and one taking a CallResult<T> hears only
  // each piece's final delivery.
  template <class F,
            class = std::enable_if_t<!std::is_same<std::decay_t<F>, AsyncStreamResult>::value &&
                                     (IsInvocable<F, 3>() || IsInvocable<F, 5>() ||
                                      IsInvocable<F, 1>())>>
  AsyncStreamResult(F&& callable) {  // NOLINT(google-explicit-constructor): made in place
    if constexpr (IsInvocable<F, 3>()) {
      callbacks_.plain = std::forward<F>(callable);
    } else if constexpr (IsInvocable<F, 5>()) {
      callbacks_.withNativeError = std::forward<F>(callable);
    } else {
      callbacks_.plain = detail::OnlyTheEnd<T>(std::forward<F>(callable));
    }
  }
  explicit AsyncStreamResult(WithNativeError withNativeError) {
    callbacks_.withNativeError = std::move(withNativeError);
  }
  AsyncStreamResult(Plain plain, WithNativeError withNativeError) {
    callbacks_.plain = std::move(plain);
    callbacks_.withNativeError = std::move(withNativeError);
  }

  // Final delivery of this piece; `next` receives the handle for the following piece (empty
  // when the stream has ended).
  void value(T const& result, Next next = nullptr) const {
    Dispatch(result, nullptr, boost::none, Progress::Final(), std::move(next));
    Spend();
  }
  void error(ErrorValuePtr const& error) const {
    Dispatch(boost::none, error, boost::none, Progress::Final(), nullptr);
    Spend();
  }
  void error(Data::NativeError const& nativeError) const {
    Dispatch(boost::none, nullptr, nativeError, Progress::Final(), nullptr);
    Spend();
  }
  // A progress report, held back when it looks final, as for AsyncResult::progress.
  void progress(Progress const& progress) const {
    if (progress.IsFinal()) return;
    Dispatch(boost::none, nullptr, boost::none, progress, nullptr);
  }

  void Dispatch(boost::optional<T> const& result, ErrorValuePtr const& error,
                boost::optional<Data::NativeError> const& nativeError, Progress const& progress,
                Next next) const {
    if (callbacks_.plain) {
      callbacks_.plain(result, error, progress);
    } else if (callbacks_.withNativeError) {
      callbacks_.withNativeError(result, error, nativeError, progress, std::move(next));
    } else {
      throw std::bad_function_call();
    }
  }

  void Spend() const { Policy()(callbacks_); }

 private:
  mutable ResultCb callbacks_;
};

}  // namespace Tirn

#endif  // TIRN_RUNTIME_CALL_ASYNC_RESULT_H_
