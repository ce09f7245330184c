// The client's reading of one answer, apart from sockets: the bytes of an answer go in as
// they arrive, progress reports and the call's outcome come out. The client provider feeds it
// from its connection; the fuzz target and the reader's tests feed it directly.
//
// An answer is either whole (status and a JSON body: the output for 200, {"error", "value"}
// otherwise) or a chunked 200 of kStreamType, whose lines are frames: progress reports, then
// the final {"output"} or {"error", "value"} frame. An error status without a JSON error is
// internal_server_error for 500; service_unavailable for 502, 503 and 504, which come from a
// proxy or balancer in front of a server that is not there; and for any other status the
// generic error with kNotTirnAnswer: what answered is probably no tirn server (a web server's
// 404 page), and claims no error of its own. The outcome of a streamed answer comes
// once its chunked body has ended, so that the connection is whole again when the caller
// hears of it. Bodies are decoded with the operation's definitions but not validated.
//
// Beast-free, so that what includes it stays cheap to compile.
#ifndef TIRN_HTTP_ANSWER_READER_INTERNAL_H_
#define TIRN_HTTP_ANSWER_READER_INTERNAL_H_

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <boost/utility/string_view.hpp>

#include "tirn/http/protocol.h"
#include "tirn/runtime/call/progress.h"
#include "tirn/runtime/value/data_definition.h"
#include "tirn/runtime/value/data_value.h"

namespace Tirn {
namespace Http {
namespace detail {

// How a call ends: an output or an error, from the server or from reading its answer.
struct AnswerOutcome {
  Data::DataValuePtr output;
  std::shared_ptr<Data::ErrorValue const> error;
  // The answer could not be read (internal_server_error with kBadAnswer) or the connection
  // closed before it ended (service_unavailable with kConnectionBroken): `error` says which.
  bool failed = false;
  // The connection closed before the answer ended.
  bool cutOff = false;
  // The whole answer was read, nothing followed it, and the server keeps the connection
  // open: it may carry the next call.
  bool reusable = false;
  // The answer's status; 0 when the connection ended (or the answer failed) before its head
  // was read.
  unsigned status = 0;
};

// What one step of reading produced: the progress reports it read, in order, then, once in
// the reader's life, the outcome.
struct AnswerEvents {
  std::vector<Progress> progress;
  std::optional<AnswerOutcome> outcome;
};

// Exported for the reader's own tests; the header is not installed.
class TIRN_HTTP_EXPORT AnswerReader {
 public:
  // The longest header block, chunk header line or trailer the reader holds while waiting for
  // its end.
  static constexpr std::size_t kHeaderLimit = 8192;

  // `output`: the operation's output definition (null when unknown: outputs are read by
  // their JSON shape). `server` names the server in messages; `url` gives the URL called,
  // which names it in the message of an answer that is no tirn server's (asked for only then;
  // empty: `server` does). `limit`: the largest body, in bytes.
  AnswerReader(Data::DataDefinitionPtr output, std::string server, std::size_t limit);

  // The definitions the reader decodes with, made once for an operation and shared by every
  // reader of its answers: a reader given them builds none of its own.
  struct Frames {
    // Explicit, so that a reader may be made with none.
    explicit Frames(Data::DataDefinitionPtr const& output);
    // A frame or whole error answer of the operation: {"output"} or {"error", "value"}.
    Data::DataDefinitionPtr frame;
    // A whole error answer.
    Data::DataDefinitionPtr error;
  };
  AnswerReader(Data::DataDefinitionPtr output, std::shared_ptr<Frames const> frames,
               std::string server, std::size_t limit,
               std::function<std::string()> url = {});
  ~AnswerReader();

  AnswerReader(AnswerReader const&) = delete;
  AnswerReader& operator=(AnswerReader const&) = delete;

  // The next bytes of the connection. Once the outcome has come, whatever follows is ignored.
  AnswerEvents Feed(boost::string_view bytes);

  // The connection has closed: ends an answer whose body runs to the close, and fails one
  // that has not ended. Always the outcome, unless it has come already.
  AnswerEvents Closed();

  // Whether the outcome has come. The reader's buffers are wiped by then.
  bool Finished() const;

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace detail
}  // namespace Http
}  // namespace Tirn

#endif  // TIRN_HTTP_ANSWER_READER_INTERNAL_H_
