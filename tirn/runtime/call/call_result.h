// Tirn::CallResult: the outcome of one finished call, for code that wants the final answer
// and nothing else.
//
// A call ends with its value or with an error value; CallResult holds whichever it was:
//
//   Tirn::CallResult<std::shared_ptr<Providers::Info const>> result = providers.Get("p1").get();
//   if (result.ok()) std::cout << *result.value() << "\n";
//   else std::cout << result.error()->name() << "\n";
//
// The generated stubs return it through a std::future from their handle-less calls, and a
// result handle made from a callable that takes a CallResult hears only the final delivery
// (tirn/runtime/call/async_result.h). Reading the value of a failed call is a programming error
// and throws std::logic_error; the error of a successful call is null.
#ifndef TIRN_RUNTIME_CALL_CALL_RESULT_H_
#define TIRN_RUNTIME_CALL_CALL_RESULT_H_

#include <stdexcept>
#include <utility>

#include <boost/optional/optional.hpp>

#include "tirn/message/export.h"
#include "tirn/runtime/value/data_value.h"

namespace Tirn {
namespace detail {

// The internal_server_error a final delivery without value or error reads as; its message
// says that the call ended without an answer.
TIRN_CORE_EXPORT Data::ErrorValuePtr NoAnswerError();

}  // namespace detail

template <class T>
class CallResult {
 public:
  // The outcome of a final delivery: `error` when it is set, otherwise `value`. A delivery
  // with neither (a call that ended without its answer) reads as an internal_server_error
  // saying so, so that a failed call always has an error to show.
  CallResult(boost::optional<T> value, Data::ErrorValuePtr error)
      : value_(error ? boost::none : std::move(value)), error_(std::move(error)) {
    if (!value_ && !error_) error_ = detail::NoAnswerError();
  }

  // Whether the call ended with its value.
  bool ok() const { return value_.has_value(); }
  explicit operator bool() const { return ok(); }

  // The value of a successful call.
  T const& value() const {
    if (!value_) throw std::logic_error("the call failed: it has no value");
    return *value_;
  }
  // The error value of a failed call; null for a successful one.
  Data::ErrorValuePtr const& error() const { return error_; }

 private:
  boost::optional<T> value_;
  Data::ErrorValuePtr error_;
};

}  // namespace Tirn

#endif  // TIRN_RUNTIME_CALL_CALL_RESULT_H_
