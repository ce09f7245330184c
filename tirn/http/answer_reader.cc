// The answer's framing (status line, headers, Content-Length, chunked bodies, trailers) is
// Beast's response parser, fed with put(): nothing of Asio's sockets or of TLS is needed here.
#include "tirn/http/answer_reader_internal.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <list>
#include <utility>

#include <boost/beast/http/error.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>

#include "tirn/http/transport_internal.h"
#include "tirn/http/wiping_allocator.h"
#include "tirn/json/json.h"
#include "tirn/runtime/value/wire_shapes.h"

namespace Tirn {
namespace Http {
namespace detail {
namespace {

namespace http = boost::beast::http;
namespace Wire = Data::Wire;

// Answer bodies live in memory that is wiped as it is freed.
using AnswerBody = http::basic_string_body<char, std::char_traits<char>, WipingAllocator<char>>;

bool ProgressFrom(Data::DataValuePtr const& value, Progress& progress) {
  if (!value || !value->GetType().IsCompound()) return false;
  auto const& numbers = static_cast<Data::CompoundValue const&>(*value);
  std::int64_t* targets[] = {&progress.minimum, &progress.maximum, &progress.current};
  char const* names[] = {"minimum", "maximum", "current"};
  for (int i = 0; i < 3; ++i) {
    Data::DataValuePtr const* slot = numbers.FindField(names[i]);
    if (!slot || !*slot || (*slot)->GetType().kind() != Data::DataType::INTEGER) return false;
    *targets[i] = static_cast<Data::IntegerValue const&>(**slot).value();
  }
  return true;
}

// The error of an answer {"error": name, "value": {...}}, named as the answer says.
std::shared_ptr<Data::ErrorValue const> ErrorFrom(Data::DataValuePtr const& frame) {
  if (!frame || !frame->GetType().IsCompound()) return nullptr;
  auto const& fields = static_cast<Data::CompoundValue const&>(*frame);
  Data::DataValuePtr const* name = fields.FindField(kErrorMember);
  Data::DataValuePtr const* value = fields.FindField(kValueMember);
  if (!name || !*name || (*name)->GetType().kind() != Data::DataType::STRING || !value ||
      !*value || !(*value)->GetType().IsCompound()) {
    return nullptr;
  }
  auto error = Data::ErrorValue::GetInstance(static_cast<Data::StringValue const&>(**name).value());
  for (auto const& field : static_cast<Data::CompoundValue const&>(**value).fields()) {
    error->SetField(field.first, field.second);
  }
  return error;
}

// Frames and error answers are read with the definitions of what they carry.
Data::DataDefinitionPtr FrameDefinition(Data::DataDefinitionPtr const& output) {
  Data::DataDefinition::FieldMap fields;
  fields[kErrorMember] = Data::DataDefinition::Create<std::string>();
  fields[kValueMember] = Wire::StandardErrorDefinition(Wire::kGenericError);
  if (output) fields[kOutputMember] = output;
  return Data::StructDefinition::GetInstance("tirn.http.frame", fields);
}

}  // namespace

class AnswerReader::Impl {
 public:
  Impl(Data::DataDefinitionPtr output, std::shared_ptr<Frames const> frames, std::string server,
       std::size_t limit, std::function<std::string()> url)
      : output_(std::move(output)),
        server_(std::move(server)),
        url_(std::move(url)),
        limit_(limit) {
    if (frames) {
      frameDefinition_ = frames->frame;
      errorDefinition_ = frames->error;
    }
    parser_.emplace();
    // The head is parsed on its own, so that a body running to the connection's close is
    // offered within its limit (Feed).
    parser_->eager(false);
    parser_->header_limit(static_cast<std::uint32_t>(kHeaderLimit));
    parser_->body_limit(limit);
  }

  AnswerEvents Feed(boost::string_view bytes) {
    AnswerEvents events;
    if (finished_ || bytes.empty()) return events;
    // The parser takes what it can; an unfinished header block, chunk header or trailer
    // waits in pending_ (never kHeaderLimit bytes long) for the bytes that end it.
    boost::string_view input = bytes;
    if (!pending_.empty()) {
      pending_.append(bytes.data(), bytes.size());
      input = boost::string_view(pending_.data(), pending_.size());
    }
    // The parser sees at most kHeaderLimit bytes at a time: a header block, chunk header or
    // trailer that does not end within them is refused however the bytes arrive. Beast
    // expects every call after one that wanted more to see more bytes than that one did, and a
    // chunked body's last chunk, once seen, to come back with at least the five bytes
    // "0\r\n\r\n" (any end of a chunked body is that long): fewer wait for more.
    boost::beast::error_code ec;
    bool tooLong = false;
    std::size_t used = 0;
    while (used < input.size() && !parser_->is_done()) {
      std::size_t const shown = input.size() - used;
      bool const headDone = parser_->is_header_done();
      if (shown < 5 && headDone && parser_->chunked()) break;
      parser_->eager(headDone);
      std::size_t window = std::min(shown, kHeaderLimit);
      // A body that runs to the close is refused whole by a put that would pass its limit:
      // offered up to the limit first, it reads the same however its bytes arrive, and the
      // frames within the limit still count.
      bool const toClose = headDone && !parser_->chunked() && !parser_->content_length();
      if (toClose) window = std::min(window, std::max<std::size_t>(limit_ - bodyToClose_, 1));
      std::size_t const taken =
          parser_->put(boost::asio::const_buffer(input.data() + used, window), ec);
      used += taken;
      if (toClose) bodyToClose_ += taken;
      if (ec && ec != http::error::need_more) break;
      bool const wantsMore = ec == http::error::need_more;
      ec = {};
      if (taken != 0 && !wantsMore) continue;
      if (window == shown) break;  // it has seen every byte there is
      if (taken == 0) {
        tooLong = true;
        break;
      }
    }
    bool const done = parser_->is_done();
    trailing_ = done && used < input.size();
    if (ec || tooLong || done) {
      WipeString(pending_);
    } else if (input.data() == pending_.data()) {
      pending_.erase(0, used);
    } else {
      pending_.assign(input.data() + used, input.size() - used);
    }
    std::string problem;
    if (ec == http::error::body_limit) {
      problem = "the body is larger than " + std::to_string(limit_) + " bytes";
    } else if (ec) {
      problem = ec.message();
    } else if (tooLong) {
      problem = "a header block, chunk header or trailer longer than " +
                std::to_string(kHeaderLimit) + " bytes";
    }
    Advance(events, problem);
    return events;
  }

  AnswerEvents Closed() {
    AnswerEvents events;
    if (finished_) return events;
    closed_ = true;
    boost::beast::error_code ec;
    if (parser_->got_some()) parser_->put_eof(ec);
    if (!parser_->got_some() || ec || !parser_->is_done()) {
      Finish(events, Failure(Wire::kServiceUnavailableError,
                             {HttpMessage(MessageIds::kConnectionBroken,
                                          {server_, "the connection closed before the answer ended"})}));
      events.outcome->cutOff = true;
      return events;
    }
    Advance(events, {});
    return events;
  }

  bool Finished() const { return finished_; }

 private:
  // Reads what the parser has gathered: the frames of a streamed body, and the outcome once
  // the answer has ended. `problem` is what is wrong with the answer's framing, if anything;
  // the frames read before it still count.
  void Advance(AnswerEvents& events, std::string const& problem) {
    if (!headRead_ && parser_->is_header_done()) {
      headRead_ = true;
      auto const& head = parser_->get();
      status_ = head.result_int();
      auto const type = head.find(http::field::content_type);
      streamed_ = head.result() == http::status::ok && type != head.end() &&
                  type->value().substr(0, std::strlen(kStreamType)) == kStreamType;
      // Three digits that are no status at all ("000") say nothing of what answered.
      if (status_ < 100 || status_ > 599) {
        return BadAnswer(events, {}, "status " + std::to_string(status_) + " is no HTTP status");
      }
    }
    if (streamed_) ReadFrames(events);
    if (finished_) return;
    if (!problem.empty()) return BadAnswer(events, {}, problem);
    if (!parser_->is_done()) return;
    if (!streamed_) return Answer(events);
    if (!final_) return BadAnswer(events, {}, "the stream ended early");
    AnswerOutcome outcome = std::move(*final_);
    outcome.reusable = Reusable();
    Finish(events, std::move(outcome));
  }

  // Complete lines are frames; the rest waits for more. Lines after the final frame are
  // ignored: its outcome waits only for the end of the chunked body, which follows at once.
  void ReadFrames(AnswerEvents& events) {
    auto const& body = parser_->get().body();
    while (!finished_ && !final_) {
      std::size_t const end = body.find('\n', std::max(consumed_, scanned_));
      if (end == AnswerBody::value_type::npos) {
        scanned_ = body.size();
        return;
      }
      Frame(events, boost::string_view(body.data() + consumed_, end - consumed_));
      consumed_ = end + 1;
    }
  }

  void Frame(AnswerEvents& events, boost::string_view line) {
    std::list<BaseMessage> messages;
    Data::DataValuePtr frame;
    if (!frameDefinition_) frameDefinition_ = FrameDefinition(output_);
    if (!Json::Decode(line, frameDefinition_, &frame, messages, {false}) || !frame ||
        !frame->GetType().IsCompound()) {
      return BadAnswer(events, std::move(messages));
    }
    auto const& fields = static_cast<Data::CompoundValue const&>(*frame);
    Data::DataValuePtr const* progressSlot = fields.FindField(kProgressMember);
    if (progressSlot && *progressSlot) {
      Progress progress;
      if (!ProgressFrom(*progressSlot, progress)) return BadAnswer(events, {});
      // A report whose numbers look final would end the call for the caller's handle without
      // its answer: the server may not send one, and it is dropped.
      if (!progress.IsFinal()) events.progress.push_back(progress);
      return;
    }
    if (Data::DataValuePtr const* output = fields.FindField(kOutputMember)) {
      final_.emplace();
      final_->output = *output;
      return;
    }
    if (auto error = ErrorFrom(frame)) {
      final_.emplace();
      final_->error = std::move(error);
      return;
    }
    BadAnswer(events, {});
  }

  // A whole answer that is not streamed.
  void Answer(AnswerEvents& events) {
    unsigned const status = parser_->get().result_int();
    auto const& body = parser_->get().body();
    boost::string_view const text(body.data(), body.size());
    std::list<BaseMessage> messages;
    AnswerOutcome outcome;
    if (status == 200) {
      if (!Json::Decode(text, output_, &outcome.output, messages, {false})) {
        return BadAnswer(events, std::move(messages));
      }
    } else {
      if (!errorDefinition_) errorDefinition_ = FrameDefinition(nullptr);
      Data::DataValuePtr frame;
      if (Json::Decode(text, errorDefinition_, &frame, messages, {false})) {
        outcome.error = ErrorFrom(frame);
      }
      if (!outcome.error) {
        // A balancer's or proxy's own page: the server behind it is not there (502, 503) or
        // did not answer in its time (504), which a caller may try again.
        bool const unavailable = status == 502 || status == 503 || status == 504;
        if (!unavailable && status != 500) {
          // Another kind of server, or a path it does not serve: why its body is no JSON
          // would say nothing more.
          return Finish(events, Failure(Wire::kGenericError,
                                        {HttpMessage(MessageIds::kNotTirnAnswer,
                                                     {url_ ? url_() : server_,
                                                      std::to_string(status)})}));
        }
        messages.push_front(HttpMessage(
            MessageIds::kBadAnswer,
            {server_, "status " + std::to_string(status) + " without an error in JSON"}));
        return Finish(events, Failure(unavailable ? Wire::kServiceUnavailableError
                                                  : Wire::kInternalServerError,
                                      std::move(messages)));
      }
    }
    outcome.reusable = Reusable();
    Finish(events, std::move(outcome));
  }

  void BadAnswer(AnswerEvents& events, std::list<BaseMessage> messages,
                 std::string const& problem = "not JSON of the expected shape") {
    messages.push_front(HttpMessage(MessageIds::kBadAnswer, {server_, problem}));
    Finish(events, Failure(Wire::kInternalServerError, std::move(messages)));
  }

  static AnswerOutcome Failure(char const* name, std::list<BaseMessage> const& messages) {
    AnswerOutcome outcome;
    outcome.error = Data::ErrorValue::Create(name, messages);
    outcome.failed = true;
    return outcome;
  }

  bool Reusable() const {
    return parser_->is_done() && parser_->get().keep_alive() && !trailing_ && !closed_;
  }

  // Gives the outcome and lets go of every byte of the answer (the allocator wipes them).
  void Finish(AnswerEvents& events, AnswerOutcome outcome) {
    finished_ = true;
    outcome.status = status_;
    events.outcome = std::move(outcome);
    final_.reset();
    parser_.reset();
    WipeString(pending_);
    pending_.shrink_to_fit();
  }

  Data::DataDefinitionPtr const output_;
  std::string const server_;
  std::function<std::string()> const url_;
  std::size_t const limit_;
  Data::DataDefinitionPtr frameDefinition_;
  Data::DataDefinitionPtr errorDefinition_;
  // Its header fields are recycled and wiped like the body.
  std::optional<http::response_parser<AnswerBody, WipingAllocator<char>>> parser_;
  WipingString pending_;
  // The outcome of a streamed answer's final frame, read before the end of its body.
  std::optional<AnswerOutcome> final_;
  std::size_t consumed_ = 0;  // the body's bytes read as frames
  std::size_t scanned_ = 0;   // the body's bytes known to hold no line end past consumed_
  bool headRead_ = false;
  unsigned status_ = 0;  // once the head is read
  bool streamed_ = false;
  bool trailing_ = false;  // bytes followed the answer's end
  std::size_t bodyToClose_ = 0;  // of a body that runs to the close, the bytes taken
  bool closed_ = false;
  bool finished_ = false;
};

AnswerReader::Frames::Frames(Data::DataDefinitionPtr const& output)
    : frame(FrameDefinition(output)), error(FrameDefinition(nullptr)) {}

AnswerReader::AnswerReader(Data::DataDefinitionPtr output, std::shared_ptr<Frames const> frames,
                           std::string server, std::size_t limit,
                           std::function<std::string()> url)
    : impl_(std::make_unique<Impl>(std::move(output), std::move(frames), std::move(server), limit,
                                   std::move(url))) {}

AnswerReader::AnswerReader(Data::DataDefinitionPtr output, std::string server, std::size_t limit)
    : AnswerReader(std::move(output), nullptr, std::move(server), limit) {}

AnswerReader::~AnswerReader() = default;

AnswerEvents AnswerReader::Feed(boost::string_view bytes) { return impl_->Feed(bytes); }

AnswerEvents AnswerReader::Closed() { return impl_->Closed(); }

bool AnswerReader::Finished() const { return impl_->Finished(); }

}  // namespace detail
}  // namespace Http
}  // namespace Tirn
