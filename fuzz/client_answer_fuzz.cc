// Fuzz target for the client's reading of answers, without sockets.
//
// The input is a byte of settings, eight piece sizes, then the bytes the server sends. The
// settings pick the operation whose output is read (none, or one of the package's), a small
// or a large answer limit, and whether the connection closes after the last byte. The bytes
// go to the reader in pieces of the given sizes (each 1 to 256 bytes, in turn). Whatever the
// bytes, the reader must never report anything after its outcome, report at most one
// outcome, end in exactly one once the connection has closed, and read the same reports and
// answer as when it is given all the bytes at once (see CheckSame).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "com/ostrel/nox/trusted_infrastructure/operations.h"
#include "tirn/http/answer_reader_internal.h"
#include "tirn/runtime/value/equal.h"
#include "tirn/runtime/value/wire_shapes.h"

namespace {

namespace Wire = Tirn::Data::Wire;
using Tirn::Http::detail::AnswerEvents;
using Tirn::Http::detail::AnswerOutcome;
using Tirn::Http::detail::AnswerReader;

constexpr std::size_t kPieceSizes = 8;

void Check(bool condition, char const* what) {
  if (!condition) {
    std::fprintf(stderr, "client_answer_fuzz: %s\n", what);
    std::abort();
  }
}

Tirn::Data::DataDefinitionPtr Output(unsigned choice) {
  static char const* const kOperations[] = {"get", "list", "create"};
  if (choice == 0) return nullptr;
  auto const* operation = Com::Ostrel::Nox::TrustedInfrastructure::Operations().Find(
      "com.ostrel.nox.trusted_infrastructure.kms.providers", kOperations[choice - 1]);
  return operation ? operation->outputDefinition() : nullptr;
}

// Everything one reading said.
struct Transcript {
  std::vector<Tirn::Progress> progress;
  std::vector<AnswerOutcome> outcomes;

  void Take(AnswerEvents events) {
    Check(outcomes.empty() || (events.progress.empty() && !events.outcome),
          "events after the outcome");
    for (auto const& progress : events.progress) {
      Check(!progress.IsFinal(), "a final-looking report delivered");
      this->progress.push_back(progress);
    }
    if (!events.outcome) return;
    AnswerOutcome const& outcome = *events.outcome;
    if (outcome.failed) {
      Check(outcome.error && !outcome.output, "a failure without its error");
      Check(!outcome.reusable, "a failure leaves the connection in use");
      std::string const& name = outcome.error->name();
      // A balancer's page (502, 503, 504) says the server is not there; another kind of
      // server's error status is no answer of ours at all.
      unsigned const status = outcome.status;
      bool const balancer = status == 502 || status == 503 || status == 504;
      bool const foreign = status != 0 && status != 200 && status != 500 && !balancer;
      Check(name == Wire::kInternalServerError ||
                ((outcome.cutOff || balancer) && name == Wire::kServiceUnavailableError) ||
                (foreign && name == Wire::kGenericError),
            "a failure of an unexpected name");
    } else {
      Check(!outcome.cutOff, "a cut-off answer that did not fail");
      Check(!(outcome.error && outcome.output), "both an output and an error");
    }
    outcomes.push_back(std::move(*events.outcome));
  }
};

// Beast's parser reads a header block once it has all of it, unless it is handed all of it
// at once: a broken header may fail as soon as it arrives whole, or only as a cut-off answer
// (or not before the connection closes) when it arrives in pieces. Any other difference is a
// fault.
void CheckSame(Transcript const& a, Transcript const& b) {
  Check(a.progress == b.progress, "the reports depend on how the bytes arrive");
  if (a.outcomes.size() != b.outcomes.size()) {
    Transcript const& ended = a.outcomes.empty() ? b : a;
    Check(ended.outcomes.front().failed, "the outcome depends on how the bytes arrive");
    return;
  }
  if (a.outcomes.empty()) return;
  AnswerOutcome const& x = a.outcomes.front();
  AnswerOutcome const& y = b.outcomes.front();
  Check(x.failed == y.failed, "whether the answer fails depends on how the bytes arrive");
  if (x.failed) return;
  // Bytes after the answer's end in the same piece leave the connection unfit for reuse; in
  // a later piece they are not read at all, so `reusable` may differ.
  Check(Tirn::Data::Equal(x.output, y.output) && Tirn::Data::Equal(x.error, y.error),
        "the answer depends on how the bytes arrive");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
  std::uint8_t settings = size > 0 ? data[0] : 0;
  std::size_t pieceSizes[kPieceSizes];
  for (std::size_t i = 0; i < kPieceSizes; ++i) pieceSizes[i] = 1 + (1 + i < size ? data[1 + i] : 0);
  std::size_t const head = std::min(size, 1 + kPieceSizes);
  std::string const bytes(reinterpret_cast<char const*>(data) + head, size - head);

  auto const output = Output(settings % 4);
  bool const closes = (settings & 4) != 0;
  std::size_t const limit = (settings & 8) != 0 ? 256 : 1 << 20;

  Transcript pieces;
  AnswerReader reader(output, "server:1", limit);
  for (std::size_t at = 0, turn = 0; at < bytes.size(); ++turn) {
    std::size_t const length = std::min(pieceSizes[turn % kPieceSizes], bytes.size() - at);
    pieces.Take(reader.Feed(boost::string_view(bytes.data() + at, length)));
    at += length;
  }
  if (closes) pieces.Take(reader.Closed());
  Check(reader.Finished() == !pieces.outcomes.empty(), "Finished() disagrees with the outcome");
  if (closes) Check(pieces.outcomes.size() == 1, "no outcome once the connection closed");

  Transcript whole;
  AnswerReader once(output, "server:1", limit);
  whole.Take(once.Feed(bytes));
  if (closes) {
    whole.Take(once.Closed());
    Check(whole.outcomes.size() == 1, "no outcome once the connection closed");
  }
  CheckSame(pieces, whole);

  // After the outcome nothing more, whatever follows.
  if (!pieces.outcomes.empty()) {
    pieces.Take(reader.Feed("HTTP/1.1 200 OK\r\n\r\n{}\n"));
    pieces.Take(reader.Closed());
  }
  return 0;
}
