// For tests of the reference services: a call through a generated stub on an in-process
// provider, and what it ended with. The in-process provider answers before a call returns, so
// a call is complete on return.
#ifndef APPS_REFERENCE_TEST_CALLS_H_
#define APPS_REFERENCE_TEST_CALLS_H_

#include <string>

#include "tirn/runtime/call/async_result.h"
#include "tirn/runtime/value/data_value.h"

namespace Reference {
namespace Testing {

template <class T>
struct Outcome {
  boost::optional<T> value;
  Tirn::Data::ErrorValuePtr error;
  // The error's name and its first message id, or "ok".
  std::string Describe() const {
    if (!error) return "ok";
    auto messages = error->GetMessages();
    return error->name() + (messages.empty() ? "" : " " + messages.front().id());
  }
};

template <class T, class Invoke>
Outcome<T> Call(Invoke invoke) {
  Outcome<T> outcome;
  invoke(Tirn::AsyncResult<T, Tirn::AsyncResultTerminateCbPolicy>(
      [&outcome](boost::optional<T> const& value, Tirn::Data::ErrorValuePtr const& error,
                 Tirn::Progress const&) {
        outcome.value = value;
        outcome.error = error;
      }));
  return outcome;
}

}  // namespace Testing
}  // namespace Reference

#endif  // APPS_REFERENCE_TEST_CALLS_H_
