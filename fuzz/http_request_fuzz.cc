// Fuzz target for the server's handling of one request, without sockets.
//
// The input is a request in lines: method, target, then "Name: value" header lines up to an
// empty line, then the body. It is handed to the server's request handler in front of an
// in-process provider with all four services of the package bound. Every request must get
// exactly one answer (a reply, or a stream whose last frame comes once), with a status the
// protocol knows and a body that is JSON.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>

#include <boost/utility/string_view.hpp>

#include "com/ostrel/nox/trusted_infrastructure/operations.h"
#include "apps/reference/reference_server.h"
#include "tirn/http/handler_internal.h"
#include "tirn/json/json.h"
#include "tirn/runtime/call/in_process_provider.h"

namespace {

void Check(bool condition, char const* what) {
  if (!condition) {
    std::fprintf(stderr, "http_request_fuzz: %s\n", what);
    std::abort();
  }
}

bool IsJson(std::string const& text) {
  Tirn::Data::DataValuePtr value;
  std::list<Tirn::BaseMessage> messages;
  return Tirn::Json::Decode(text, nullptr, &value, messages);
}

class Recorder : public Tirn::Http::detail::Exchange {
 public:
  void Reply(Tirn::Http::detail::Answer answer) override {
    static std::set<unsigned> const kStatuses = {200, 400, 401, 403, 404, 405, 406,
                                                 409, 413, 415, 429, 500, 501, 503, 504};
    Check(!finished, "a second answer");
    Check(frames == 0, "a reply after frames");
    Check(kStatuses.count(answer.status) == 1, "an unknown status");
    Check(IsJson(answer.body), "a reply that is not JSON");
    finished = true;
  }
  bool BindCaller(std::string const&) override { return true; }
  void StreamFrame(std::string line, bool last, bool) override {
    Check(!finished, "a frame after the answer");
    Check(IsJson(line), "a frame that is not JSON");
    ++frames;
    finished = last;
  }
  bool finished = false;
  int frames = 0;
};

struct Fixture {
  Fixture() {
    reference.RegisterWith(*provider);
    context.provider = provider;
    context.SetOperations(Com::Ostrel::Nox::TrustedInfrastructure::Operations());
    context.bodyLimit = 1 << 20;
    context.depthLimit = 10000;
    context.authenticator = [](Tirn::Http::Credentials const& credentials,
                               Tirn::Core::SecurityContextWrappedEntry& identity) {
      identity.text = "caller";
      return credentials.bearerToken != "refused";
    };
  }
  std::shared_ptr<Tirn::Core::InProcessApiProvider> provider =
      std::make_shared<Tirn::Core::InProcessApiProvider>();
  Reference::ReferenceServer reference;
  Tirn::Http::detail::HandlerContext context;
};

// The next line of `text` from `at`, viewed where it is.
boost::string_view NextLine(std::string const& text, std::size_t& at) {
  std::size_t end = text.find('\n', at);
  if (end == std::string::npos) end = text.size();
  boost::string_view const line(text.data() + at, end - at);
  at = end < text.size() ? end + 1 : end;
  return line;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
  static Fixture fixture;
  std::string const text(reinterpret_cast<char const*>(data), size);
  std::size_t at = 0;
  Tirn::Http::detail::Request request;
  // The request's views are of `text`, which outlives the handling.
  request.method = std::string(NextLine(text, at));
  request.target = NextLine(text, at);
  for (boost::string_view line; !(line = NextLine(text, at)).empty();) {
    std::size_t const colon = line.find(':');
    boost::string_view const name = line.substr(0, colon);
    boost::string_view const value =
        colon == boost::string_view::npos ? boost::string_view() : line.substr(colon + 1);
    if (name == "Content-Type") request.contentType = value;
    if (name == "Accept") request.accept = value;
    if (name == "Accept-Language") request.acceptLanguage = value;
    if (name == "X-Tirn-Time-Zone") request.timeZone = value;
    if (name == "Authorization") request.authorization = std::string(value);
    if (name == "X-Tirn-Timeout-Ms") request.timeout = value;
    if (name == "Idempotency-Key") request.idempotencyKey = value;
    if (name == "Too-Large") request.bodyTooLarge = true;
  }
  request.body.assign(text, at, std::string::npos);
  auto recorder = std::make_shared<Recorder>();
  Tirn::Http::detail::Handle(fixture.context, std::move(request), recorder);
  // The in-process provider answers before Invoke returns.
  Check(recorder->finished, "no answer");
  return 0;
}
