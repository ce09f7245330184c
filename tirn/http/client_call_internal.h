// One call of the client, from its request to its outcome: it takes a connection from the
// pool (or waits in its queue), connects and shakes hands, sends the request, reads the answer,
// tries again elsewhere while its attempts and its time limit allow, and delivers the outcome
// to its caller once.
#ifndef TIRN_HTTP_CLIENT_CALL_INTERNAL_H_
#define TIRN_HTTP_CLIENT_CALL_INTERNAL_H_

#include <chrono>
#include <memory>

#include <boost/utility/string_view.hpp>

#include "tirn/http/answer_reader_internal.h"
#include "tirn/http/connection_pool_internal.h"
#include "tirn/runtime/call/invocation.h"
#include "tirn/runtime/call/operation_table.h"

namespace Tirn {
namespace Http {
namespace detail {

// How often a call checks whether its caller cancelled it, the pause before its second
// attempt, and the longest pause between two (ClientProvider's kCancelPoll, kRetryPause and
// kLongestRetryPause).
struct CallPacing {
  std::chrono::milliseconds cancelPoll;
  std::chrono::milliseconds retryPause;
  std::chrono::milliseconds longestRetryPause;
};

// What a call calls.
struct CallTarget {
  // The operation, from the client's table; null for one of another table, and for a GET.
  Core::OperationDescriptor const* operation = nullptr;
  // The definitions its answer is read with; null: the reader makes its own.
  std::shared_ptr<AnswerReader::Frames const> frames;
  // The request's target; it need only outlive StartCall.
  boost::string_view path;
  // A GET of a document the server serves, without an input.
  bool fetch = false;
};

// Prepares the call and has `pool` give it a connection; a call whose request cannot be made
// (the input has no JSON form, the idempotency key is malformed) ends from the io_context
// with invalid_argument, without sending anything. `resultCb` hears the progress and, once,
// the outcome, on the io_context's threads.
void StartCall(std::shared_ptr<ConnectionPool> pool, CallPacing const& pacing,
               CallTarget const& target, Data::DataValuePtr const& input,
               std::shared_ptr<Core::AsyncActivation> const& activation,
               Core::AsyncApiResultCb const& resultCb);

}  // namespace detail
}  // namespace Http
}  // namespace Tirn

#endif  // TIRN_HTTP_CLIENT_CALL_INTERNAL_H_
