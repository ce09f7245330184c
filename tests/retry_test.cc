// The client provider's attempts after a failure, against peers on 127.0.0.1 that answer each
// request as the test scripts it: which calls are sent again, with which idempotency key and
// to which of the client's servers. Every wait is bounded.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <future>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "apps/reference/reference_server.h"
#include "com/ostrel/nox/trusted_infrastructure/operations.h"
#include "com/ostrel/nox/trusted_infrastructure/trusted_infrastructure.h"
#include "tests/raw_http.h"
#include "tests/scripted_peer.h"
#include "tests/test_tls.h"
#include "tirn/http/call_options.h"
#include "tirn/http/client_provider.h"
#include "tirn/http/io_threads.h"
#include "tirn/json/json.h"
#include "tirn/runtime/call/in_process_provider.h"
#include "tirn/runtime/value/wire_shapes.h"

namespace {

namespace TI = Com::Ostrel::Nox::TrustedInfrastructure;
namespace Wire = Tirn::Data::Wire;
namespace Ids = Tirn::Http::MessageIds;
using namespace std::chrono_literals;
using namespace scripted_peer;

constexpr auto kWait = 10s;  // no call in these tests may take longer

// ---- Calling ---------------------------------------------------------------------------------

// A client of its own for `urls`, on threads of its own.
struct Client {
  explicit Client(std::vector<std::string> const& urls, Tirn::Http::ClientOptions options = {})
      : provider(std::make_shared<Tirn::Http::ClientProvider>(threads.contexts(), urls,
                                                              TI::Operations(), options)) {}

  // Lists the key providers on the client itself, which gets `activation` as it is (a stub
  // would give it a copy); the error, null for success.
  Tirn::Data::ErrorValuePtr List(std::shared_ptr<Tirn::Core::AsyncActivation> activation =
                                     std::make_shared<Tirn::Core::AsyncActivation>()) {
    auto const* list = TI::Operations().FindByService("kms.providers", "list");
    auto done = std::make_shared<std::promise<Tirn::Data::ErrorValuePtr>>();
    auto answer = done->get_future();
    provider->Invoke(
        list->method, nullptr, std::move(activation),
        Tirn::Core::AsyncApiResultCb(
            [done](std::shared_ptr<Tirn::Core::MethodResult const> const& result,
                   Tirn::Progress const&, Tirn::Core::AsyncApiResultCb::Continuation&&) {
              if (result) done->set_value(result->error);
            }));
    if (answer.wait_for(kWait) != std::future_status::ready) {
      return Tirn::Data::ErrorValue::Create("no answer", {});
    }
    return answer.get();
  }

  Tirn::Http::IoThreads threads{1};
  std::shared_ptr<Tirn::Http::ClientProvider> provider;
};

// "ok", or the error's name and its messages' identifiers.
std::string Summary(Tirn::Data::ErrorValuePtr const& error) {
  if (!error) return "ok";
  std::string text = error->name();
  for (auto const& message : error->GetMessages()) text += " " + message.id();
  return text;
}

bool IsKey(std::string const& text) {
  return text.size() == 32 && std::all_of(text.begin(), text.end(), [](unsigned char c) {
           return std::isdigit(c) || (c >= 'a' && c <= 'f');
         });
}

// ---- Tests -----------------------------------------------------------------------------------

// A request that got no answer at all, or a 502 or 503, is sent again, whole, with the same key
// and the time then left, up to maxAttempts sent in all; once another answer has begun, never.
// A caller that asks finds in its activation what the provider saw of the last attempt's
// answer: the URL called, the status and the request id the server received. A connection to
// an http:// URL that ends before any byte of an answer may be a TLS server's, which waits for
// a handshake: the message asks, with the URL to try.
TEST(ClientRetries, ASentCallIsSentAgainOnlyWhileNoAnswerHasBegun) {
  std::string const path = "/v1/com.ostrel.nox.trusted_infrastructure.kms.providers/list";
  std::string const broken = std::string(Wire::kServiceUnavailableError) + " " + Ids::kConnectionBroken;
  // A page that is no JSON error: the reader's own message, then the JSON decoder's.
  std::string const badAnswer = std::string(Wire::kServiceUnavailableError) + " " +
                                Ids::kBadAnswer + " " + Tirn::Json::MessageIds::kSyntax;
  struct Case {
    char const* what;
    std::vector<Step> script;
    int maxAttempts;
    std::size_t requests;  // that reach the peer
    std::string outcome;
    unsigned status;  // noted of the last attempt
    bool asksTls = false;
  } const cases[] = {
      {"answered", {kListed}, 3, 1, "ok", 200},
      {"closed unanswered, then answered", {kClose, kListed}, 3, 2, "ok", 200},
      {"reset unanswered, then answered", {kReset, kListed}, 3, 2, "ok", 200},
      {"closed unanswered, one attempt allowed", {kClose, kListed}, 1, 1, broken, 0, true},
      {"reset unanswered, one attempt allowed", {kReset, kListed}, 1, 1, broken, 0, true},
      {"always closed unanswered", {kClose}, 3, 3, broken, 0, true},
      {"always closed unanswered, five attempts", {kClose}, 5, 5, broken, 0, true},
      {"a 503 error, then answered", {kUnavailable, kListed}, 3, 2, "ok", 200},
      {"a balancer's 503 page, then answered", {kBalancerDown, kListed}, 3, 2, "ok", 200},
      {"a balancer's 502 page, then answered", {kBadGateway, kListed}, 3, 2, "ok", 200},
      {"always a 503 error", {kUnavailable}, 3, 3, Wire::kServiceUnavailableError, 503},
      {"always a balancer's 503 page", {kBalancerDown}, 2, 2, badAnswer, 503},
      {"always a balancer's 502 page", {kBadGateway}, 2, 2, badAnswer, 502},
      {"a 504 page: the server may have done it", {kGatewayTimeout, kListed}, 3, 1, badAnswer, 504},
      {"a 500", {kInternal, kListed}, 3, 1, Wire::kInternalServerError, 500},
      {"another server's 404 page", {kNotFoundPage}, 3, 1,
       std::string(Wire::kGenericError) + " " + Ids::kNotTirnAnswer, 404},
      {"a progress report, then closed", {kProgressThenClose, kListed}, 3, 1, broken, 200},
      {"half a head, then closed", {kHalfAHead, kListed}, 3, 1, broken, 0},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.what);
    ScriptedPeer peer(c.script);
    Tirn::Http::ClientOptions options;
    options.maxAttempts = c.maxAttempts;
    Client client({peer.url()}, options);
    auto activation = std::make_shared<Tirn::Core::AsyncActivation>();
    Tirn::Http::NoteAnswer(activation);
    EXPECT_FALSE(Tirn::Http::NotedAnswer(*activation)) << "noted before the call";
    auto const error = client.List(activation);
    EXPECT_EQ(Summary(error), c.outcome);
    std::string const hint = "(does the server speak TLS? try https://" + peer.url().substr(7);
    auto const messages = error ? error->GetMessages() : std::list<Tirn::BaseMessage>{};
    bool const asks = !messages.empty() && messages.front().defaultMessage().find(hint)
                      != std::string::npos;
    EXPECT_EQ(asks, c.asksTls);
    auto const requests = peer.Requests();
    ASSERT_EQ(requests.size(), c.requests);
    EXPECT_TRUE(IsKey(requests[0].Header("Idempotency-Key"))) << requests[0].head;
    for (std::size_t i = 1; i < requests.size(); ++i) {
      EXPECT_EQ(requests[i].Header("Idempotency-Key"), requests[0].Header("Idempotency-Key"));
      EXPECT_EQ(requests[i].body, requests[0].body);
      EXPECT_LT(std::stol(requests[i].Header("X-Tirn-Timeout-Ms")),
                std::stol(requests[i - 1].Header("X-Tirn-Timeout-Ms")));
    }
    auto const seen = Tirn::Http::NotedAnswer(*activation);
    ASSERT_TRUE(seen);
    EXPECT_EQ(seen->status, c.status);
    EXPECT_EQ(seen->url, peer.url() + path);
    EXPECT_EQ(seen->requestId, requests.back().Header("X-Request-Id"));
    EXPECT_FALSE(seen->requestId.empty());
  }
}

// The answer noted holds no request id when nothing was sent; and nothing is noted unless the
// caller asks. (The request id noted is the one sent:
// ASentCallIsSentAgainOnlyWhileNoAnswerHasBegun; a caller's own is sent:
// HttpTravel.RequestIdsAndTimeZonesTravelWithTheCall.)
TEST(ClientRetries, NotesTheAnswerOfTheLastAttemptWhenAsked) {
  Tirn::Http::ClientOptions once;
  once.connectAttempts = 1;
  Client refused({UrlOf(RefusingPort())}, once);
  auto unsent = std::make_shared<Tirn::Core::AsyncActivation>();
  Tirn::Http::NoteAnswer(unsent);
  EXPECT_NE(Summary(refused.List(unsent)), "ok");
  auto const seen = Tirn::Http::NotedAnswer(*unsent);
  ASSERT_TRUE(seen);
  EXPECT_EQ(seen->status, 0u);
  EXPECT_EQ(seen->requestId, "");

  ScriptedPeer peer({kListed});
  auto silent = std::make_shared<Tirn::Core::AsyncActivation>();
  EXPECT_EQ(Summary(Client({peer.url()}).List(silent)), "ok");
  EXPECT_FALSE(Tirn::Http::NotedAnswer(*silent));
  EXPECT_TRUE(silent->properties.empty());
}

// The caller's key travels as it is; a key that is not 1 to 128 visible ASCII characters fails
// the call before anything is sent. Without one, each call has a random key of its own, which
// is not its request id; a Fetch has none.
TEST(ClientRetries, TheCallersIdempotencyKeyTravelsAndAMalformedOneIsRefused) {
  std::string const refused = std::string(Wire::kInvalidArgumentError) + " " + Ids::kBadIdempotencyKey;
  struct Case {
    char const* what;
    std::string key;
    bool sent;
  } const cases[] = {
      {"a key of the application", "order-17/attempt:x", true},
      {"the longest key", std::string(128, 'k'), true},
      {"an empty key", "", false},
      {"a key too long", std::string(129, 'k'), false},
      {"a space", "order 17", false},
      {"a line break", "order\r\nX-Injected: 1", false},
      {"a tab", "order\t17", false},
      {"a character beyond ASCII", "ord\xc3\xa9r", false},
      {"a control character", "order\x7f", false},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.what);
    ScriptedPeer peer({kListed});
    auto activation = std::make_shared<Tirn::Core::AsyncActivation>();
    activation->executionContext = std::make_shared<Tirn::Core::ExecutionContext>();
    activation->executionContext->applicationData[Tirn::Core::ContextKeys::kIdempotencyKey] = {
        c.key, boost::none};
    EXPECT_EQ(Summary(Client({peer.url()}).List(activation)), c.sent ? "ok" : refused);
    EXPECT_EQ(peer.Connections(), c.sent ? 1 : 0);
    if (c.sent) {
      EXPECT_EQ(peer.Requests().at(0).Header("Idempotency-Key"), c.key);
    }
  }

  ScriptedPeer peer({kListed});
  Client client({peer.url()});
  EXPECT_EQ(Summary(client.List()), "ok");
  EXPECT_EQ(Summary(client.List()), "ok");
  std::promise<void> fetched;
  client.provider->Fetch(
      Tirn::Http::kOperationsPath, nullptr,
      Tirn::Core::AsyncApiResultCb(
          [&fetched](std::shared_ptr<Tirn::Core::MethodResult const> const& result,
                     Tirn::Progress const&, Tirn::Core::AsyncApiResultCb::Continuation&&) {
            if (result) fetched.set_value();
          }));
  ASSERT_EQ(fetched.get_future().wait_for(kWait), std::future_status::ready);
  auto const requests = peer.Requests();
  ASSERT_EQ(requests.size(), 3u);
  std::string const key = requests[0].Header("Idempotency-Key");
  EXPECT_TRUE(IsKey(key) && IsKey(requests[1].Header("Idempotency-Key"))) << key;
  EXPECT_NE(requests[1].Header("Idempotency-Key"), key);
  EXPECT_NE(requests[0].Header("X-Request-Id"), key);
  EXPECT_EQ(requests[2].head.rfind("GET ", 0), 0u) << requests[2].head;
  EXPECT_EQ(requests[2].Header("Idempotency-Key"), "");
}

// With two servers, an attempt that fails at the first goes to the second, and the client
// prefers the second from then on: new calls do not try the first again.
TEST(ClientRetries, ACallGoesOnToTheNextServerWhichNewCallsThenStartAt) {
  struct Case {
    char const* what;
    std::optional<Step> first;  // none: the first refuses connections
  } const cases[] = {
      {"the first refuses connections", std::nullopt},
      {"the first closes without answering", kClose},
      {"the first answers 503", kUnavailable},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.what);
    unsigned short const firstPort = c.first ? 0 : RefusingPort();
    auto first = c.first ? std::make_unique<ScriptedPeer>(std::vector<Step>{*c.first}) : nullptr;
    ScriptedPeer second({kListed});
    Tirn::Http::ClientOptions options;
    options.keepAlive = false;  // each call makes its connection where calls start
    Client client({first ? first->url() : UrlOf(firstPort), second.url()}, options);
    EXPECT_EQ(Summary(client.List()), "ok");
    EXPECT_EQ(second.Requests().size(), 1u);
    if (!first) first = std::make_unique<ScriptedPeer>(std::vector<Step>{kListed}, firstPort);
    EXPECT_EQ(first->Requests().size(), c.first ? 1u : 0u);
    int const seen = first->Connections();
    EXPECT_EQ(Summary(client.List()), "ok");
    EXPECT_EQ(Summary(client.List()), "ok");
    EXPECT_EQ(first->Connections(), seen) << "a new call went to the server that failed";
    EXPECT_EQ(second.Requests().size(), 3u);
  }
}

// A failure names the server its attempt went to; an empty or malformed list is refused.
TEST(ClientRetries, AFailureNamesTheServerOfItsAttempt) {
  unsigned short const ports[] = {RefusingPort(), RefusingPort()};
  for (int attempts : {1, 2, 3}) {
    SCOPED_TRACE(attempts);
    Tirn::Http::ClientOptions options;
    options.connectAttempts = attempts;
    auto const error = Client({UrlOf(ports[0]), UrlOf(ports[1])}, options).List();
    ASSERT_EQ(Summary(error), std::string(Wire::kServiceUnavailableError) + " " + Ids::kConnectFailed);
    EXPECT_EQ(error->GetMessages().front().args().front(),
              "127.0.0.1:" + std::to_string(ports[(attempts - 1) % 2]));
  }
  Tirn::Http::IoThreads threads(1);
  for (auto const& urls : {std::vector<std::string>{}, {UrlOf(ports[0]), "ftp://x:3"}}) {
    std::string error;
    EXPECT_FALSE(Tirn::Http::ClientProvider::Create(threads.contexts(), urls, TI::Operations(), {},
                                                    &error));
    EXPECT_FALSE(error.empty());
  }
}

// Over TLS, each connection is checked against its own URL's host name: the server's
// certificate is good for 127.0.0.1, not for "localhost". A handshake that fails ends its call
// at once, and the next call starts at the next URL.
TEST(ClientRetries, EachServerIsCheckedAgainstItsOwnHostName) {
  test_tls::Files const files = test_tls::MakeSelfSigned("elsewhere.test");
  auto provider = std::make_shared<Tirn::Core::InProcessApiProvider>();
  Reference::ReferenceServer reference;
  reference.RegisterWith(*provider);
  Tirn::Http::ServerOptions serverOptions;
  serverOptions.tlsCertificateFile = files.certificate;
  serverOptions.tlsPrivateKeyFile = files.key;
  raw_http::Served served(provider, TI::Operations(), serverOptions);
  Tirn::Http::ClientOptions options;
  options.caFile = files.certificate;
  std::string const port = std::to_string(served.port());
  // (A first server that refuses connections is passed over alike:
  // ACallGoesOnToTheNextServerWhichNewCallsThenStartAt.)
  Client client({"https://localhost:" + port, "https://127.0.0.1:" + port}, options);
  EXPECT_EQ(Summary(client.List()),
            std::string(Wire::kServiceUnavailableError) + " " + Ids::kTlsFailed);
  EXPECT_EQ(Summary(client.List()), "ok");
  test_tls::Remove(files);
}

}  // namespace
