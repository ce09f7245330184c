// The `tirn` program run as a process against a live server in this test: the reference
// services behind Tirn::Http::Server on 127.0.0.1, an ephemeral port. Every wait is bounded.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "apps/reference/reference_server.h"
#include "com/ostrel/nox/trusted_infrastructure/operations.h"
#include "tests/child_process.h"
#include "tests/scripted_peer.h"
#include "tests/test_tls.h"
#include "tirn/http/io_threads.h"
#include "tirn/http/server.h"
#include "tirn/runtime/call/in_process_provider.h"

namespace {

namespace TI = Com::Ostrel::Nox::TrustedInfrastructure;
using namespace std::chrono_literals;

using Ran = TestSupport::Finished;

// Runs the program with `args`, feeding `input` on standard input, in an environment of
// `environment` only; kills it after 20 s. Standard output goes to `stdoutTo` when it is a
// descriptor (`out` then stays empty).
Ran RunTirn(std::vector<std::string> const& args, std::string const& input = "",
            std::vector<std::string> environment = {"LANG=C"}, int stdoutTo = -1) {
  std::vector<std::string> argv{TIRN_CLI_PROGRAM};
  argv.insert(argv.end(), args.begin(), args.end());
  TestSupport::ChildOptions options;
  options.inheritEnvironment = false;
  options.environment = std::move(environment);
  if (stdoutTo >= 0) options.out = TestSupport::Stream::Descriptor(stdoutTo);
  Ran ran = TestSupport::Run(std::move(argv), input, options);
  if (ran.status < 0) ADD_FAILURE() << "the program did not start, or did not finish in time";
  return ran;
}

// The reference services served over HTTP on 127.0.0.1, optionally behind an authenticator
// that accepts one token, or over TLS.
struct Served {
  // With `clientCa`, a TLS server that accepts only callers with a client certificate it
  // issued, and records their subjects.
  explicit Served(std::string acceptedToken = "", bool tls = false, std::string clientCa = "")
      : files(tls ? test_tls::MakeSelfSigned() : test_tls::Files{}) {
    reference.RegisterWith(*provider);
    Tirn::Http::ServerOptions options;
    if (!clientCa.empty()) {
      options.tlsClientCaFile = clientCa;
      options.authenticator = [this](Tirn::Http::Credentials const& credentials,
                                     Tirn::Core::SecurityContextWrappedEntry& identity) {
        std::lock_guard<std::mutex> lock(mutex);
        if (credentials.clientCertificate.empty()) return false;
        subjects.push_back(credentials.clientCertificate);
        identity.text = credentials.clientCertificate;
        return true;
      };
    }
    if (!acceptedToken.empty()) {
      options.authenticator = [this, acceptedToken](Tirn::Http::Credentials const& credentials,
                                                    Tirn::Core::SecurityContextWrappedEntry& identity) {
        std::lock_guard<std::mutex> lock(mutex);
        tokens.push_back(credentials.bearerToken);
        identity.text = "tester";
        return credentials.bearerToken == acceptedToken;
      };
    }
    if (tls) {
      options.tlsCertificateFile = files.certificate;
      options.tlsPrivateKeyFile = files.key;
    }
    server = std::make_unique<Tirn::Http::Server>(threads.contexts(), provider, TI::Operations(),
                                                  options);
    std::string error;
    EXPECT_TRUE(server->Start(&error)) << error;
    url = std::string(tls ? "https" : "http") + "://localhost:" + std::to_string(server->port());
  }
  ~Served() {
    std::promise<void> stopped;
    server->Stop(0ms, [&] { stopped.set_value(); });
    stopped.get_future().wait_for(10s);
    if (!files.folder.empty()) test_tls::Remove(files);
  }

  // Runs the program against this server.
  Ran Run(std::vector<std::string> args, std::string const& input = "",
          std::vector<std::string> environment = {"LANG=C"}) {
    args.insert(args.begin(), {"--url", url});
    return RunTirn(args, input, std::move(environment));
  }

  std::vector<std::string> Tokens() {
    std::lock_guard<std::mutex> lock(mutex);
    return tokens;
  }
  std::vector<std::string> Subjects() {
    std::lock_guard<std::mutex> lock(mutex);
    return subjects;
  }

  test_tls::Files files;
  Tirn::Http::IoThreads threads{2};
  std::shared_ptr<Tirn::Core::InProcessApiProvider> provider =
      std::make_shared<Tirn::Core::InProcessApiProvider>();
  Reference::ReferenceServer reference;
  std::unique_ptr<Tirn::Http::Server> server;
  std::string url;
  std::mutex mutex;
  std::vector<std::string> tokens;
  std::vector<std::string> subjects;
};

bool Contains(std::string const& text, std::string const& part) {
  return text.find(part) != std::string::npos;
}

// The arguments as one line, for a trace.
std::string Joined(std::vector<std::string> const& args) {
  std::string line;
  for (auto const& arg : args) line += arg + " ";
  return line;
}

// A port of 127.0.0.1 that was just free and is closed now.
int ClosedPort() {
  Served closed;
  return closed.server->port();
}

// A file that removes itself.
struct TempFile {
  explicit TempFile(std::string const& content) {
    char name[] = "/tmp/tirn-cli-XXXXXX";
    int fd = mkstemp(name);
    path = name;
    if (fd >= 0) close(fd);
    std::ofstream(path) << content;
  }
  ~TempFile() { std::remove(path.c_str()); }
  std::string path;
};

TEST(TirnProgram, CallsEveryOperationOfThePackage) {
  Served served;
  struct Step {
    std::vector<std::string> args;
    std::string input;  // standard input (the secrets read from it)
    std::string output;  // exactly, compact JSON; nothing for the operations without a result
  };
  std::vector<Step> const steps = {
      {{"kms.providers", "create", "--spec.provider", "vault-native", "--spec.native_spec.key_id",
        "k1"},
       "kdk-3e9a\n",
       ""},
      {{"kms.providers", "list"}, "",
       R"([{"available":true,"details":[],"provider":"vault-native","type":"NATIVE"}])" "\n"},
      {{"kms.providers", "update", "--provider", "vault-native", "--spec.native_spec.key_id=k2"},
       "",
       ""},
      {{"kms.providers", "get", "--provider", "vault-native"}, "",
       R"({"native_info":{"key_id":"k2"},"type":"NATIVE"})" "\n"},
      {{"kms.services", "create", "--spec.address.hostname", "kms.example", "--spec.address.port",
        "5696", "--spec.trusted_CA.cert_chain", "root", "--spec.trusted_CA.cert_chain", "leaf",
        "--spec.group", "g1"},
       "",
       "\"key-server-1\"\n"},
      {{"kms.services", "list", "--filter.group", "g1"}, "",
       R"([{"address":{"hostname":"kms.example","port":5696},"group":"g1","service":"key-server-1"}])" "\n"},
      {{"kms.services", "get", "--service", "key-server-1"}, "",
       R"({"address":{"hostname":"kms.example","port":5696},"group":"g1","trusted_CA":{"cert_chain":["root","leaf"]}})" "\n"},
      {{"attestation.services", "create", "--spec.address.hostname", "as.example",
        "--spec.trusted_CA.cert_chain", "root", "--spec.group", "g1"},
       "",
       "\"attestation-service-1\"\n"},
      {{"attestation.services", "get", "--service", "attestation-service-1"}, "",
       R"({"address":{"hostname":"as.example","port":null},"group":"g1","trusted_CA":{"cert_chain":["root"]}})" "\n"},
      {{"attestation.services", "list"}, "",
       R"([{"address":{"hostname":"as.example","port":null},"group":"g1","service":"attestation-service-1"}])" "\n"},
      {{"attestation.reports", "list"}, "",
       R"([{"report":"report-attestation-service-1","reporting_jwt":{"group":"g1","jwt":")"
       "eyJhbGciOiJub25lIiwidHlwIjoiSldUIn0."
       "eyJpc3MiOiJyZWZlcmVuY2Utc2VydmVyIiwic3ViIjoiYXR0ZXN0YXRpb24tc2VydmljZS0xIiwiZ3JvdXAiOiJnMSJ9."
       R"(","service":"attestation-service-1"},"type":"REPORTING_JWT"}])" "\n"},
      {{"attestation.services", "delete", "--service", "attestation-service-1"}, "", ""},
      {{"kms.services", "delete", "--service", "key-server-1"}, "", ""},
      {{"kms.providers", "delete", "--provider", "vault-native"}, "", ""},
      {{"kms.providers", "list"}, "", "[]\n"},
  };
  for (auto const& step : steps) {
    SCOPED_TRACE(Joined(step.args));
    Ran ran = served.Run(step.args, step.input);
    EXPECT_EQ(ran.status, 0) << ran;
    EXPECT_EQ(ran.out, step.output) << ran;
    EXPECT_EQ(ran.err, "") << ran;
  }
  // Every operation of the table was called above.
  std::vector<std::string> called;
  for (auto const& step : steps) called.push_back(step.args[0] + " " + step.args[1]);
  for (auto const& operation : TI::Operations().operations()) {
    std::string name = std::string(operation.serviceName) + " " + operation.operationName;
    EXPECT_NE(std::find(called.begin(), called.end(), name), called.end()) << name;
  }
}

std::size_t Lines(std::string const& text) {
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

// One exit status per kind of outcome, and, with --output json, the error as one line of JSON
// on standard output beside the text on standard error: its name, its status (null when no
// answer came) and its request id (null when nothing was sent).
TEST(TirnProgram, ExitStatusAndJsonErrorTellTheKindsOfOutcomeApart) {
  namespace Peer = scripted_peer;
  std::string const notFound =
      Peer::Whole(404, Peer::ErrorBody(Tirn::Data::Wire::kNotFoundError));
  struct Case {
    char const* what;
    std::vector<Peer::Step> script;  // none: a tirn server, or no server at all
    std::vector<std::string> args;
    int status;
    std::string error;  // the JSON's "error"
    char const* answered;  // the JSON's "status"
  } const cases[] = {
      {"an error the operation declares", {{notFound}}, {"kms.providers", "get", "--provider", "p"},
       1, "com.ostrel.tirn.std.errors.not_found", "404"},
      // Streamed by a tirn server: its head said 200 before the error came.
      {"an error the operation declares, at the end of a stream", {},
       {"kms.providers", "get", "--provider", "nope"}, 1, "com.ostrel.tirn.std.errors.not_found",
       "404"},
      {"an unknown operation", {}, {"kms.providers", "gte", "--provider", "p"}, 2,
       "com.ostrel.tirn.std.errors.invalid_argument", "null"},
      // Not built in, and the server has no table of operations to ask.
      {"an operation nobody knows", {{Peer::Whole(404, Peer::ErrorBody(
                                          Tirn::Data::Wire::kOperationNotFoundError))}},
       {"kms.providers", "gte"}, 2, "com.ostrel.tirn.std.errors.operation_not_found", "404"},
      {"a malformed option", {}, {"--timeout", "soon", "kms.providers", "list"}, 2,
       "com.ostrel.tirn.std.errors.invalid_argument", "null"},
      {"no server", {}, {"--url", "http://127.0.0.1:" + std::to_string(ClosedPort()),
                         "--timeout", "0.3", "kms.providers", "list"},
       3, "com.ostrel.tirn.std.errors.service_unavailable", "null"},
      {"a balancer's 502 page", {Peer::kBadGateway}, {"kms.providers", "list"}, 3,
       "com.ostrel.tirn.std.errors.service_unavailable", "502"},
      {"another server's 404 page", {Peer::kNotFoundPage}, {"kms.providers", "list"}, 3,
       "com.ostrel.tirn.std.errors.error", "404"},
      {"a server's internal error", {Peer::kInternal}, {"kms.providers", "list"}, 4,
       "com.ostrel.tirn.std.errors.internal_server_error", "500"},
      {"a server that cannot take the call", {Peer::kUnavailable}, {"kms.providers", "list"}, 4,
       "com.ostrel.tirn.std.errors.service_unavailable", "503"},
      {"an error the operation does not declare", {{notFound}}, {"kms.providers", "list"}, 4,
       "com.ostrel.tirn.std.errors.not_found", "404"},
      {"a call without credentials", {}, {"kms.providers", "list"}, 4,
       "com.ostrel.tirn.std.errors.unauthenticated", "401"},
  };
  Served open;
  Served guarded("t0k3n");
  for (Case const& c : cases) {
    SCOPED_TRACE(c.what);
    std::unique_ptr<Peer::ScriptedPeer> peer;
    std::vector<std::string> args{"--output", "json"};
    if (!c.script.empty()) {
      peer = std::make_unique<Peer::ScriptedPeer>(c.script);
      args.insert(args.end(), {"--url", peer->url()});
    } else if (c.args[0] != "--url") {
      args.insert(args.end(), {"--url", c.status == 4 ? guarded.url : open.url});
    }
    args.insert(args.end(), c.args.begin(), c.args.end());
    Ran const ran = RunTirn(args);
    EXPECT_EQ(ran.status, c.status) << ran;
    EXPECT_EQ(Lines(ran.out), 1u) << ran;
    EXPECT_EQ(ran.out.rfind("{\"error\":\"" + c.error + "\",\"messages\":[", 0), 0u) << ran;
    EXPECT_TRUE(Contains(ran.out, std::string("\"status\":") + c.answered + ",")) << ran;
    // A request id whenever a request was sent; the peer's tells which.
    bool const sent = std::string(c.answered) != "null";
    EXPECT_EQ(Contains(ran.out, "\"request_id\":null}"), !sent) << ran;
    if (peer) {
      auto const requests = peer->Requests();
      ASSERT_FALSE(requests.empty());
      EXPECT_TRUE(Contains(ran.out, "\"request_id\":\"" +
                                        requests.back().Header("X-Request-Id") + "\"}"))
          << ran;
    }
    // The text for people is on standard error as without --output json.
    EXPECT_TRUE(Contains(ran.err, c.status == 2 ? "tirn: " : "error: " + c.error)) << ran;
    // Without --output json, nothing on standard output.
    args.erase(args.begin(), args.begin() + 2);
    Ran const plain = RunTirn(args);
    EXPECT_EQ(plain.status, c.status) << plain;
    EXPECT_EQ(plain.out, "") << plain;
  }
}

// -v says each exchange on standard error once it is over: the URL called, the status, the
// request id the server received, the time taken; without it, none of that.
TEST(TirnProgram, VerboseSaysEachExchange) {
  scripted_peer::ScriptedPeer peer({scripted_peer::kListed});
  std::string const url =
      peer.url() + "/v1/com.ostrel.nox.trusted_infrastructure.kms.providers/list";
  std::vector<std::vector<std::string>> const verbose = {
      {"-v", "--url", peer.url(), "kms.providers", "list"},
      {"--url", peer.url(), "kms.providers", "list", "--verbose"},
  };
  for (auto const& args : verbose) {
    Ran const ran = RunTirn(args);
    EXPECT_EQ(ran.status, 0) << ran;
    EXPECT_EQ(ran.out, "[]\n") << ran;
    std::string const id = peer.Requests().back().Header("X-Request-Id");
    ASSERT_FALSE(id.empty());
    std::string const said = "tirn: " + url + ": status 200, request id " + id + ", ";
    EXPECT_EQ(ran.err.rfind(said, 0), 0u) << ran;
    EXPECT_EQ(ran.err.substr(ran.err.size() - 4), " ms\n") << ran;
    EXPECT_EQ(Lines(ran.err), 1u) << ran;
  }
  Ran const quiet = RunTirn({"--url", peer.url(), "kms.providers", "list"});
  EXPECT_EQ(quiet.status, 0) << quiet;
  EXPECT_EQ(quiet.err, "") << quiet;

  // A call that got no answer says so, before its error.
  Ran const refused = RunTirn({"-v", "--url", "http://127.0.0.1:" + std::to_string(ClosedPort()),
                               "--timeout", "0.3", "kms.providers", "list"});
  EXPECT_EQ(refused.status, 3) << refused;
  EXPECT_TRUE(Contains(refused.err, ": status none, request id none, ")) << refused;
  EXPECT_LT(refused.err.find("status none"), refused.err.find("error: ")) << refused;
}

TEST(TirnProgram, ServerErrorsExitOneWithTheirNameAndLocalizedText) {
  Served served;
  Ran german = served.Run({"--lang", "de", "kms.providers", "get", "--provider", "nope"});
  EXPECT_EQ(german.status, 1) << german;
  EXPECT_TRUE(Contains(german.err, "com.ostrel.tirn.std.errors.not_found")) << german;
  EXPECT_TRUE(Contains(german.err, "Der Schlüsselanbieter nope existiert nicht.")) << german;
  EXPECT_EQ(german.out, "");

  // The language from the environment when --lang is not given; LC_ALL before LANG.
  Ran fromEnvironment = served.Run({"kms.providers", "get", "--provider", "nope"}, "",
                                   {"LC_ALL=de_DE.UTF-8", "LANG=en_US.UTF-8"});
  EXPECT_EQ(fromEnvironment.status, 1) << fromEnvironment;
  EXPECT_TRUE(Contains(fromEnvironment.err, "existiert nicht")) << fromEnvironment;

  Ran english = served.Run({"kms.providers", "get", "--provider", "nope"});
  EXPECT_EQ(english.status, 1) << english;
  EXPECT_TRUE(Contains(english.err, "Key provider nope does not exist.")) << english;
}

// Each mistake is named in our words, as it was typed, with the name probably meant: bad input
// is refused before anything is sent (exit 2), and what went wrong with a server says what to
// try (exit 3). A secret is never repeated back.
TEST(TirnProgram, NamesEachMistakeInItsOwnWords) {
  Served served;
  Served tls("", true);
  std::string const plainToTls = "http://localhost:" + std::to_string(tls.server->port());
  scripted_peer::ScriptedPeer web({scripted_peer::kNotFoundPage});
  std::string const closed = "http://127.0.0.1:" + std::to_string(ClosedPort());
  struct Case {
    std::vector<std::string> args;  // sent to `served` unless they name a --url
    int status;
    std::string says;  // part of standard error
    std::vector<std::string> never;
  };
  std::vector<Case> const cases = {
      {{"kms.providers", "get"}, 2, "provider: a required field is missing", {}},
      {{"kms.services", "list", "--filter.address.hostname", "h", "--filter.address.port", "80x"},
       2, "filter.address[0].port: \"80x\" is not a valid integer", {}},
      {{"kms.providers", "list", "--filter_spec.available", "maybe"}, 2,
       "filter_spec.available: \"maybe\" is not a valid boolean", {}},
      {{"kms.providers", "create", "--spec.provider", "p", "--spec.native_spec.key_id", "k",
        "--spec.native_spec.key_derivation_key", "hunter2"},
       2, "spec.native_spec.key_derivation_key is a secret", {}},
      {{"kms.providers", "create", "--json",
        R"({"spec":{"provider":"p","native_spec":{"key_id":"k","key_derivation_key":"hunter2"}}})"},
       2, "spec.native_spec.key_derivation_key is a secret", {}},
      {{"kms.providers", "list", "--filter_spec.types", "native"}, 2,
       "filter_spec.types: \"native\" is not one of NATIVE, TRUST_AUTHORITY (did you mean "
       "NATIVE?); a value this client does not know can still be sent with --json", {}},
      {{"kms.providers", "list", "--json", R"({"filter_spec":{"providers":["p1"],"since":"2026"}})"},
       2, "filter_spec.since: there is no such field", {}},
      {{"kms.providers", "get", "--json", "{"}, 2, "tirn: Not JSON: ", {}},
      {{"kms.providers", "frobnicate"}, 2, "there is no operation frobnicate", {}},
      {{"kms.providers"}, 2, "missing <operation>", {}},
      {{"--output", "yaml", "kms.providers", "list"}, 2, "--output wants json or text, not 'yaml'",
       {}},
      {{"--timeout", "abc", "kms.providers", "list"}, 2,
       "tirn: --timeout wants a number of seconds above 0 (2.5, 30), not 'abc'\n",
       {"argument ('abc')"}},
      {{"kms.providers", "list", "--timeout"}, 2, "tirn: --timeout wants a value (SECONDS)\n",
       {"required argument"}},
      {{"--output", "json", "--output", "text", "kms.providers", "list"}, 2, "give --output once",
       {}},
      {{"--show-secrets=yes", "kms.providers", "list"}, 2, "--show-secrets takes no value", {}},
      {{"-x", "kms.providers", "list"}, 2, "unknown option -x", {"no service"}},
      {{"--tokn", "t", "kms.providers", "list"}, 2,
       "unknown option --tokn (did you mean --token?)", {}},
      {{"kms.provider", "get", "--provider", "p"}, 2,
       "there is no service kms.provider (did you mean kms.providers?)", {}},
      {{"kms.providers", "gte", "--provider", "p"}, 2,
       "there is no operation gte in service kms.providers (did you mean get?)", {}},
      {{"help", "kms.providers", "gte"}, 2,
       "there is no operation gte in service kms.providers (did you mean get?)", {}},
      {{"kms.providers", "get", "--providr", "p"}, 2,
       "tirn: --providr: there is no such field (did you mean --provider?)\n", {}},
      {{"kms.services", "create", "--spec.adress.hostname", "h"}, 2,
       "tirn: --spec.adress: there is no such field (did you mean --spec.address?)\n", {}},
      {{"kms.services", "list", "--filter.address.hostnme", "h"}, 2,
       "--filter.address.hostnme: there is no such field (did you mean "
       "--filter.address.hostname?)",
       {"[0]"}},
      {{"kms.services", "create", "--json",
        R"({"spec":{"address":{"hostname":"h","prot":5696},"trusted_CA":{"cert_chain":[]},"group":"g"}})"},
       2, "spec.address.prot: there is no such field (did you mean port?)", {}},
      {{"kms.services", "list", "--json", R"({"filter":{"adress":[{"hostname":"h"}]}})"}, 2,
       "filter.adress: there is no such field (did you mean address?)", {}},
      // Local files that cannot be read are the user's mistake, found before sending.
      {{"--ca", "/nonexistent/ca.pem", "kms.providers", "list"}, 2,
       "cannot read /nonexistent/ca.pem: No such file or directory", {}},
      {{"--cert", "/nonexistent/c.pem", "--key", "/nonexistent/k.pem", "kms.providers", "list"},
       2, "cannot read /nonexistent/c.pem", {}},
      {{"--cert", "c.pem", "kms.providers", "list"}, 2, "--cert and --key go together", {}},
      {{"--url", plainToTls, "--timeout", "5", "kms.providers", "list"}, 3,
       "the connection closed before the answer ended (does the server speak TLS? try "
       "https://localhost:" + std::to_string(tls.server->port()) + ")",
       {}},
      {{"--url", web.url(), "kms.providers", "list"}, 3,
       "The server at " + web.url() +
           "/v1/com.ostrel.nox.trusted_infrastructure.kms.providers/list answered 404 without a "
           "tirn error (is it a tirn server? is the path right?). [tirn.http.not.tirn.answer]\n",
       {"internal_server_error", "..", "Not JSON"}},
      {{"--url", closed, "--timeout", "0.3", "kms.providers", "list"}, 3,
       "Could not connect to 127.0.0.1:", {"TLS"}},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(Joined(c.args));
    bool const ownUrl = std::find(c.args.begin(), c.args.end(), "--url") != c.args.end();
    Ran const ran = ownUrl ? RunTirn(c.args) : served.Run(c.args);
    EXPECT_EQ(ran.status, c.status) << ran;
    EXPECT_TRUE(Contains(ran.err, c.says)) << ran;
    for (auto const& wrong : c.never) EXPECT_FALSE(Contains(ran.err, wrong)) << wrong << "\n" << ran;
    EXPECT_FALSE(Contains(ran.err, "hunter2")) << ran;
    EXPECT_EQ(ran.out, "");
  }
  // Nothing refused reached the server: no provider was created.
  Ran list = served.Run({"kms.providers", "list"});
  EXPECT_EQ(list.out, "[]\n") << list;
}

// Each --url is one more server of the same calls, in order: one that is down is passed over
// for the next, within the call's time limit.
TEST(TirnProgram, RepeatedUrlsAreTriedInTurn) {
  Served served;
  std::string const down = "http://127.0.0.1:" + std::to_string(ClosedPort());
  for (auto const& [first, second] : {std::pair{down, served.url}, std::pair{served.url, down}}) {
    SCOPED_TRACE(first);
    Ran ran = RunTirn({"--url", first, "--url", second, "--timeout", "5", "kms.providers", "list"});
    EXPECT_EQ(ran.status, 0) << ran;
    EXPECT_EQ(ran.out, "[]\n") << ran;
  }
}

// A server is trusted only with --ca; --cert and --key present a client certificate, which a
// server asking for one sees.
TEST(TirnProgram, TrustsTheGivenCaAndPresentsAClientCertificate) {
  test_tls::Files const client = test_tls::MakeSelfSigned("client-alice");
  Served served("", true, client.certificate);
  std::vector<std::string> const trusting = {"--ca", served.files.certificate};
  auto with = [&](std::vector<std::string> extra) {
    extra.insert(extra.begin(), trusting.begin(), trusting.end());
    extra.insert(extra.end(), {"kms.providers", "list"});
    return served.Run(extra);
  };
  Ran const alice = with({"--cert", client.certificate, "--key", client.key});
  EXPECT_EQ(alice.status, 0) << alice;
  EXPECT_EQ(served.Subjects(), std::vector<std::string>{"/CN=client-alice"});
  Ran const anonymous = with({});
  EXPECT_EQ(anonymous.status, 4) << anonymous;
  EXPECT_TRUE(Contains(anonymous.err, "unauthenticated")) << anonymous;
  Ran const untrusted =
      served.Run({"--cert", client.certificate, "--key", client.key, "kms.providers", "list"});
  EXPECT_EQ(untrusted.status, 3) << untrusted;
  EXPECT_TRUE(Contains(untrusted.err, "tirn.http.tls.failed")) << untrusted;
  test_tls::Remove(client);
}

// list, describe and help need no server; --output json gives the same for scripts (run_test.cc
// compares describe's JSON with what the server answers).
TEST(TirnProgram, ListsDescribesAndHelps) {
  struct Case {
    std::vector<std::string> args;
    int status;
    std::vector<std::string> parts;   // of standard output
    std::vector<std::string> sameAs;  // other arguments that print the same
  } const cases[] = {
      {{"list"}, 0, {"kms.providers get\n", "attestation.reports list\n"}, {}},
      {{"--output", "json", "list"}, 0, {R"([{"service":"kms.providers","operation":"list"},)"}, {}},
      {{"describe", "kms.providers", "create"}, 0,
       {"input:\n  spec: structure ", "      key_derivation_key: secret\n", "output:\n  void\n",
        "  error com.ostrel.tirn.std.errors.already_exists\n"}, {}},
      {{"help", "kms.providers", "create"}, 0, {}, {"describe", "kms.providers", "create"}},
      {{"describe", "kms.services"}, 0,
       {"kms.services list (", "kms.services get (", "kms.services create (", "kms.services delete ("},
       {}},
      {{"describe"}, 0, {"kms.providers get (", "attestation.reports list ("}, {}},
      {{"--help"}, 0, {"Exit status:", "  4  any other error"}, {}},
      {{"help"}, 0, {}, {"--help"}},
      {{"--version"}, 0, {"tirn 0.", "\nlibraries: tirn 0."}, {}},
      {{}, 2, {}, {}},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(Joined(c.args));
    Ran const ran = RunTirn(c.args);
    EXPECT_EQ(ran.status, c.status) << ran;
    for (auto const& part : c.parts) EXPECT_TRUE(Contains(ran.out, part)) << part << "\n" << ran;
    if (!c.sameAs.empty()) {
      EXPECT_EQ(ran.out, RunTirn(c.sameAs).out);
    }
  }
}

// A result that does not arrive (a full disk, a pipe nobody reads) is a failure, whichever
// command wrote it: exit 4 and a word on standard error, never a silent 0.
TEST(TirnProgram, AResultThatCannotBeWrittenIsAFailure) {
  Served served;
  ASSERT_EQ(served.Run({"kms.providers", "create", "--spec.provider", "p"}).status, 0);
  // Ignored here and so in the program: a write to the closed pipe fails instead of killing it.
  signal(SIGPIPE, SIG_IGN);
  int const full = open("/dev/full", O_WRONLY | O_CLOEXEC);
  ASSERT_GE(full, 0);
  int unread[2];
  ASSERT_EQ(pipe2(unread, O_CLOEXEC), 0);
  close(unread[0]);
  struct Case {
    char const* name;
    std::vector<std::string> args;
  };
  std::vector<Case> const cases = {
      {"list", {"list"}},
      {"describe", {"describe", "kms.providers", "create"}},
      {"help", {"--help"}},
      {"an answer as JSON", {"--url", served.url, "kms.providers", "list"}},
      {"an answer as text", {"--url", served.url, "--output", "text", "kms.providers", "get",
                             "--provider", "p"}},
  };
  for (auto const& sink : {std::make_pair("/dev/full", full), std::make_pair("closed pipe", unread[1])}) {
    for (auto const& c : cases) {
      SCOPED_TRACE(std::string(c.name) + " to " + sink.first);
      Ran ran = RunTirn(c.args, "", {"LANG=C"}, sink.second);
      EXPECT_EQ(ran.status, 4) << ran;
      EXPECT_TRUE(Contains(ran.err, "tirn: cannot write the result to standard output: ")) << ran;
    }
  }
  close(full);
  close(unread[1]);
}

// The whole input as JSON, from a file, standard input or the command line; with
// --allow-unknown-fields, a field this client does not know is sent. An enumeration field given
// as an option takes only the names the client knows; a value it does not know still goes
// through --json.
TEST(TirnProgram, TakesTheWholeInputAsJsonOrAsOptions) {
  Served served;
  TempFile file(
      R"({"spec":{"provider":"p1","native_spec":{"key_id":"k1","key_derivation_key":"kdk-1"}}})");
  Ran fromFile = served.Run({"kms.providers", "create", "--json", "@" + file.path});
  EXPECT_EQ(fromFile.status, 0) << fromFile;
  Ran fromInput = served.Run({"kms.providers", "create", "--json", "-"},
                             R"({"spec":{"provider":"p2","native_spec":{"key_id":"k2","key_derivation_key":"kdk-2"}}})");
  EXPECT_EQ(fromInput.status, 0) << fromInput;
  std::string const p1 = R"([{"available":true,"details":[],"provider":"p1","type":"NATIVE"}])" "\n";
  struct Case {
    std::vector<std::string> args;  // after "kms.providers list"
    std::string out;
  } const cases[] = {
      {{"--json", R"({"filter_spec":{"providers":["p2","p1"]}})", "--output", "text"},
       "- available: true\n  details: (empty)\n  provider: p1\n  type: NATIVE\n"
       "- available: true\n  details: (empty)\n  provider: p2\n  type: NATIVE\n"},
      {{"--allow-unknown-fields", "--json", R"({"filter_spec":{"providers":["p1"],"since":"2026"}})"},
       p1},
      {{"--filter_spec.types", "NATIVE", "--filter_spec.providers", "p1"}, p1},
      {{"--filter_spec.types", "TRUST_AUTHORITY"}, "[]\n"},
      // Sent as it is: the server knows no provider of that type.
      {{"--json", R"({"filter_spec":{"types":["native"]}})"}, "[]\n"},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(Joined(c.args));
    std::vector<std::string> args{"kms.providers", "list"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    Ran ran = served.Run(args);
    EXPECT_EQ(ran.status, 0) << ran;
    EXPECT_EQ(ran.out, c.out) << ran;
  }
}

TEST(TirnProgram, SendsTheBearerToken) {
  Served served("t0k3n");
  Ran without = served.Run({"kms.providers", "list"});
  EXPECT_EQ(without.status, 4) << without;
  EXPECT_TRUE(Contains(without.err, "com.ostrel.tirn.std.errors.unauthenticated")) << without;

  Ran with = served.Run({"--token", "t0k3n", "kms.providers", "list"});
  EXPECT_EQ(with.status, 0) << with;
  TempFile file("t0k3n\n");
  Ran withFile = served.Run({"--token-file", file.path, "kms.providers", "list"});
  EXPECT_EQ(withFile.status, 0) << withFile;
  // From the environment, where the process list does not show it (and the server from
  // TIRN_URL); the option comes first.
  Ran fromEnvironment = RunTirn({"kms.providers", "list"}, "",
                                {"LANG=C", "TIRN_TOKEN=t0k3n", "TIRN_URL=" + served.url});
  EXPECT_EQ(fromEnvironment.status, 0) << fromEnvironment;
  Ran optionFirst =
      served.Run({"--token", "other", "kms.providers", "list"}, "", {"LANG=C", "TIRN_TOKEN=t0k3n"});
  EXPECT_EQ(optionFirst.status, 4) << optionFirst;
  EXPECT_EQ(served.Tokens(),
            (std::vector<std::string>{"", "t0k3n", "t0k3n", "t0k3n", "other"}));
}

}  // namespace
