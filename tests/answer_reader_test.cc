// The client's reading of answers, without sockets: whole, error and streamed answers, however
// their bytes arrive, cut short, followed by more bytes, or larger than the limit.
#include <gtest/gtest.h>

#include <cstdio>
#include <list>
#include <string>
#include <vector>

#include "com/ostrel/nox/trusted_infrastructure/operations.h"
#include "tirn/http/answer_reader_internal.h"
#include "tirn/http/transport_internal.h"
#include "tirn/json/json.h"
#include "tirn/runtime/value/wire_shapes.h"

namespace {

using Tirn::Http::detail::AnswerEvents;
using Tirn::Http::detail::AnswerReader;

constexpr std::size_t kLimit = 1 << 20;

Tirn::Data::DataDefinitionPtr GetOutput() {
  return Com::Ostrel::Nox::TrustedInfrastructure::Operations()
      .Find("com.ostrel.nox.trusted_infrastructure.kms.providers", "get")
      ->outputDefinition();
}

std::string Whole(int status, std::string const& body, std::string const& extra = "") {
  return "HTTP/1.1 " + std::to_string(status) + " X\r\nContent-Type: application/json\r\n" +
         extra + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

// A chunked stream with one chunk per line.
std::string Streamed(std::vector<std::string> const& lines, std::string const& end = "0\r\n\r\n") {
  std::string text =
      "HTTP/1.1 200 OK\r\nContent-Type: application/x-ndjson\r\nTransfer-Encoding: chunked\r\n\r\n";
  char size[20];
  for (auto const& line : lines) {
    std::snprintf(size, sizeof size, "%zx\r\n", line.size() + 1);
    text += size + line + "\n\r\n";
  }
  return text + end;
}

constexpr char kInfo[] = R"({"type":"TRUST_AUTHORITY"})";
constexpr char kNotFound[] = R"({"error":"com.ostrel.tirn.std.errors.not_found","value":{"messages":[]}})";
std::string Progress(int current) {
  return R"({"progress":{"minimum":0,"maximum":3,"current":)" + std::to_string(current) + "}}";
}

std::string FirstMessageId(Tirn::Data::ErrorValuePtr const& error) {
  auto const messages = error->GetMessages();
  return messages.empty() ? "-" : messages.front().id();
}

// What the reader said, as lines; fails the test when anything comes after the outcome.
// With `status`, the status the outcome carries goes there.
std::vector<std::string> Read(std::vector<std::string> const& pieces, bool closed,
                              std::size_t limit = kLimit, unsigned* status = nullptr) {
  AnswerReader reader(GetOutput(), "server:1", limit);
  std::vector<std::string> said;
  bool ended = false;
  auto const take = [&](AnswerEvents events) {
    if (ended && (events.outcome || !events.progress.empty())) ADD_FAILURE() << "events after the outcome";
    for (auto const& progress : events.progress) {
      said.push_back("progress " + std::to_string(progress.current) + "/" +
                     std::to_string(progress.maximum));
    }
    if (!events.outcome) return;
    ended = true;
    auto const& outcome = *events.outcome;
    if (status) *status = outcome.status;
    std::string line;
    if (outcome.failed) {
      line = "failed " + outcome.error->name() + " " + FirstMessageId(outcome.error);
    } else if (outcome.error) {
      line = "error " + outcome.error->name();
    } else {
      std::list<Tirn::BaseMessage> messages;
      EXPECT_TRUE(Tirn::Json::Encode(outcome.output, nullptr, &line, messages));
      line = "output " + line;
    }
    if (outcome.cutOff) line += " cut off";
    if (outcome.reusable) line += " reusable";
    said.push_back(line);
  };
  for (auto const& piece : pieces) take(reader.Feed(piece));
  if (closed) take(reader.Closed());
  EXPECT_EQ(reader.Finished(), ended);
  return said;
}

std::vector<std::string> Pieces(std::string const& text, std::size_t size) {
  std::vector<std::string> pieces;
  for (std::size_t at = 0; at < text.size(); at += size) pieces.push_back(text.substr(at, size));
  return pieces;
}

constexpr char kBad[] = "failed com.ostrel.tirn.std.errors.internal_server_error tirn.http.bad.answer";
constexpr char kNotTirn[] =
    "failed com.ostrel.tirn.std.errors.error tirn.http.not.tirn.answer";
constexpr char kCut[] =
    "failed com.ostrel.tirn.std.errors.service_unavailable tirn.http.connection.broken cut off";
constexpr char kUnavailable[] =
    "failed com.ostrel.tirn.std.errors.service_unavailable tirn.http.bad.answer";
constexpr char kNoServer[] = "<html>no server</html>";

// The outcome carries the status of the answer's head, which the client's retries go by, and
// an error status without a JSON error is service_unavailable when a proxy or balancer in
// front of the server could have sent it.
struct Case {
  char const* what;
  std::string answer;
  std::vector<std::string> said;
  // One answer of sound framing, no bad frame before its end: cut short, it is cut off.
  bool whole;
  unsigned status;  // the head's; 0 for a head that cannot be read
};

std::vector<Case> const& Answers() {
  static std::vector<Case> const cases = {
      {"a value", Whole(200, kInfo), {R"(output {"type":"TRUST_AUTHORITY"} reusable)"}, true, 200},
      {"an error", Whole(404, kNotFound), {"error com.ostrel.tirn.std.errors.not_found reusable"},
       true, 404},
      {"a value the server closes after", Whole(200, kInfo, "Connection: close\r\n"),
       {R"(output {"type":"TRUST_AUTHORITY"})"}, true, 200},
      {"an error status without an error", Whole(500, "oops"), {kBad}, true, 500},
      // An error status without a tirn error comes from another kind of server, or from a path
      // no tirn server serves. (Its message names the URL and the status:
      // TirnProgram.NamesEachMistakeInItsOwnWords.)
      {"another server's 404 page", Whole(404, "<html>no</html>"), {kNotTirn}, true, 404},
      {"an empty 404", Whole(404, ""), {kNotTirn}, true, 404},
      {"JSON of another shape", Whole(400, R"({"message":"no"})"), {kNotTirn}, true, 400},
      {"a redirect", Whole(301, ""), {kNotTirn}, true, 301},
      {"a value that is not JSON", Whole(200, "{\"type\":"), {kBad}, true, 200},
      {"a stream", Streamed({Progress(1), Progress(2), std::string("{\"output\":") + kInfo + "}"}),
       {"progress 1/3", "progress 2/3", R"(output {"type":"TRUST_AUTHORITY"} reusable)"}, true,
       200},
      {"a stream ending in an error", Streamed({Progress(1), kNotFound}),
       {"progress 1/3", "error com.ostrel.tirn.std.errors.not_found reusable"}, true, 200},
      {"a final-looking report", Streamed({Progress(3), Progress(2), kNotFound}),
       {"progress 2/3", "error com.ostrel.tirn.std.errors.not_found reusable"}, true, 200},
      {"a stream without its final frame", Streamed({Progress(1)}), {"progress 1/3", kBad}, true,
       200},
      {"an empty stream", Streamed({}), {kBad}, true, 200},
      {"lines after the final frame", Streamed({kNotFound, Progress(2), "garbage"}),
       {"error com.ostrel.tirn.std.errors.not_found reusable"}, true, 200},
      {"a malformed report", Streamed({Progress(1), R"({"progress":{"current":1}})", kNotFound}),
       {"progress 1/3", kBad}, false, 200},
      {"broken framing after the final frame", Streamed({kNotFound}, "zz\r\n\r\n"), {kBad}, false,
       200},
      {"a header block without its end", "HTTP/1.1 200 OK\r\nX: " + std::string(9000, 'a'),
       {kBad}, false, 0},
      {"a chunk header without its end", Streamed({Progress(1)}, std::string(9000, '0')),
       {"progress 1/3", kBad}, false, 200},
      {"a JSON error with 503", Whole(503, kNotFound),
       {"error com.ostrel.tirn.std.errors.not_found reusable"}, true, 503},
      {"a balancer's 502", Whole(502, kNoServer), {kUnavailable}, true, 502},
      {"a balancer's 503", Whole(503, kNoServer), {kUnavailable}, true, 503},
      {"a balancer's 504", Whole(504, kNoServer), {kUnavailable}, true, 504},
      {"a malformed head", "HTTP/1.1 5x3 X\r\n\r\n", {kBad}, false, 0},
      {"three digits that are no status", "HTTP/1.1 000 X\r\nContent-Length: 0\r\n\r\n", {kBad},
       false, 0},
      {"a status past 599", "HTTP/1.1 999 X\r\nContent-Length: 0\r\n\r\n", {kBad}, false, 999},
  };
  return cases;
}

TEST(AnswerReader, ReadsTheSameHoweverTheBytesArrive) {
  for (Case const& c : Answers()) {
    SCOPED_TRACE(c.what);
    unsigned status = 1;
    EXPECT_EQ(Read({c.answer}, false, kLimit, &status), c.said);
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(Read(Pieces(c.answer, 1), false), c.said);
    EXPECT_EQ(Read(Pieces(c.answer, 7), false), c.said);
    for (std::size_t split = 1; split < c.answer.size(); split += 3) {
      EXPECT_EQ(Read({c.answer.substr(0, split), c.answer.substr(split)}, false), c.said) << split;
    }
    // Whatever follows the outcome, even the connection's close, adds nothing.
    EXPECT_EQ(Read({c.answer, "0\r\n\r\nmore"}, true), c.said);
  }
}

TEST(AnswerReader, AnAnswerCutAnywhereEndsInOneFailure) {
  for (Case const& c : Answers()) {
    SCOPED_TRACE(c.what);
    bool const fails = c.said.back().rfind("failed ", 0) == 0;
    if (!c.whole && !fails) continue;
    for (std::size_t length = 0; length < c.answer.size(); ++length) {
      std::string const cut = c.answer.substr(0, length);
      unsigned status = 1;
      auto said = Read({cut}, true, kLimit, &status);
      ASSERT_FALSE(said.empty()) << length;
      std::string const last = said.back();
      said.pop_back();
      // The reports before the failure are the answer's first ones.
      ASSERT_LE(said.size(), c.said.size() - 1) << length;
      EXPECT_TRUE(std::equal(said.begin(), said.end(), c.said.begin())) << length;
      if (c.whole) {
        EXPECT_EQ(last, kCut) << length;
        // The status of a head read whole; none before.
        EXPECT_EQ(status, cut.find("\r\n\r\n") == std::string::npos ? 0u : c.status) << length;
      } else {
        EXPECT_EQ(last.rfind("failed ", 0), 0u) << length << ": " << last;
      }
    }
  }
}

TEST(AnswerReader, BytesAfterTheAnswerLeaveItsConnectionUnfitForReuse) {
  std::string const answer = Whole(200, kInfo);
  EXPECT_EQ(Read({answer + "HTTP/1.1 200"}, false),
            std::vector<std::string>{R"(output {"type":"TRUST_AUTHORITY"})"});
  std::string const stream = Streamed({kNotFound});
  EXPECT_EQ(Read({stream.substr(0, 20), stream.substr(20) + "\r\n"}, false),
            std::vector<std::string>{"error com.ostrel.tirn.std.errors.not_found"});
}

TEST(AnswerReader, AnAnswerWithoutALengthEndsWithTheConnection) {
  std::string const answer = std::string("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n\r\n") + kInfo;
  EXPECT_EQ(Read({answer}, false), std::vector<std::string>{});
  EXPECT_EQ(Read({answer}, true), std::vector<std::string>{R"(output {"type":"TRUST_AUTHORITY"})"});
  EXPECT_EQ(Read({}, true), std::vector<std::string>{kCut});
}

TEST(AnswerReader, AnAnswerAboveTheLimitFails) {
  std::string const frame = std::string("{\"output\":") + kInfo + "}";
  struct Limited {
    char const* what;
    std::string answer;
    std::size_t limit;
    std::vector<std::string> said;
  };
  Limited const cases[] = {
      {"a body at the limit", Whole(200, kInfo), sizeof kInfo - 1, {R"(output {"type":"TRUST_AUTHORITY"} reusable)"}},
      {"a body above it", Whole(200, kInfo), sizeof kInfo - 2, {kBad}},
      {"a stream passing it", Streamed({Progress(1), Progress(2), frame}), 2 * Progress(1).size() + 2,
       {"progress 1/3", "progress 2/3", kBad}},
      {"a stream to the close passing it",
       "HTTP/1.1 200 OK\r\nContent-Type: application/x-ndjson\r\n\r\n" + Progress(1) + "\n" +
           Progress(2) + "\n" + frame + "\n",
       2 * Progress(1).size() + 2, {"progress 1/3", "progress 2/3", kBad}},
  };
  for (Limited const& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(Read({c.answer}, true, c.limit), c.said);
    EXPECT_EQ(Read(Pieces(c.answer, 1), true, c.limit), c.said);
  }
}

}  // namespace
