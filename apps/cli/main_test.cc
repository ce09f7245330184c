// The `tirn` program run as a process against a live server in this test: the reference
// services behind Tirn::Http::Server on 127.0.0.1, an ephemeral port. Every wait is bounded.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "apps/reference/reference_server.h"
#include "com/ostrel/nox/trusted_infrastructure/operations.h"
#include "tests/child_process.h"
#include "tests/raw_http.h"
#include "tests/scripted_peer.h"
#include "tests/test_files.h"
#include "tests/test_tls.h"
#include "tirn/runtime/call/in_process_provider.h"

namespace {

namespace TI = Com::Ostrel::Nox::TrustedInfrastructure;

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

// The reference services served over HTTP on 127.0.0.1: open to all; or to callers with the
// bearer token `acceptedToken`, recording the tokens sent; or, over TLS when `clientCa` is
// given, to callers with a client certificate it issued, recording their certificates' subjects.
struct Served {
  explicit Served(std::string acceptedToken = "", std::string clientCa = "")
      : files(clientCa.empty() ? test_tls::Files{} : test_tls::MakeSelfSigned()) {
    reference.RegisterWith(*provider);
    Tirn::Http::ServerOptions options;
    options.tlsCertificateFile = files.certificate;  // none: plain HTTP
    options.tlsPrivateKeyFile = files.key;
    options.tlsClientCaFile = clientCa;
    if (!acceptedToken.empty() || !clientCa.empty()) {
      options.authenticator = [this, acceptedToken](Tirn::Http::Credentials const& credentials,
                                                    Tirn::Core::SecurityContextWrappedEntry& who) {
        std::lock_guard<std::mutex> lock(mutex);
        who.text = acceptedToken.empty() ? credentials.clientCertificate : credentials.bearerToken;
        callers.push_back(who.text);
        return !who.text.empty() && (acceptedToken.empty() || who.text == acceptedToken);
      };
    }
    http = std::make_unique<raw_http::Served>(provider, TI::Operations(), options);
    url = (clientCa.empty() ? "http://localhost:" : "https://localhost:") +
          std::to_string(http->port());
  }
  ~Served() {
    if (!files.folder.empty()) test_tls::Remove(files);
  }

  // Runs the program against this server.
  Ran Run(std::vector<std::string> args, std::string const& input = "",
          std::vector<std::string> environment = {"LANG=C"}) {
    args.insert(args.begin(), {"--url", url});
    return RunTirn(args, input, std::move(environment));
  }

  // What each caller presented: its token, or its certificate's subject.
  std::vector<std::string> Callers() {
    std::lock_guard<std::mutex> lock(mutex);
    return callers;
  }

  test_tls::Files files;
  std::shared_ptr<Tirn::Core::InProcessApiProvider> provider =
      std::make_shared<Tirn::Core::InProcessApiProvider>();
  Reference::ReferenceServer reference;
  std::mutex mutex;
  std::vector<std::string> callers;
  std::unique_ptr<raw_http::Served> http;
  std::string url;
};

bool Contains(std::string const& text, std::string const& part) {
  return text.find(part) != std::string::npos;
}

// A URL of 127.0.0.1 at a port that was just free and is closed now.
std::string ClosedUrl() { return scripted_peer::UrlOf(scripted_peer::RefusingPort()); }

TEST(TirnProgram, CallsEveryOperationOfThePackage) {
  Served served;
  struct Step {
    std::vector<std::string> args;
    std::string output = "";  // exactly, compact JSON; nothing for operations without a result
    std::string input = "";   // standard input (the secrets read from it)
  };
  std::vector<Step> const steps = {
      {{"kms.providers", "create", "--spec.provider", "vault-native", "--spec.native_spec.key_id",
        "k1"},
       "",
       "kdk-3e9a\n"},
      {{"kms.providers", "list"},
       R"([{"available":true,"details":[],"provider":"vault-native","type":"NATIVE"}])" "\n"},
      {{"kms.providers", "update", "--provider", "vault-native", "--spec.native_spec.key_id=k2"}},
      {{"kms.providers", "get", "--provider", "vault-native"},
       R"({"native_info":{"key_id":"k2"},"type":"NATIVE"})" "\n"},
      {{"kms.services", "create", "--spec.address.hostname", "kms.example", "--spec.address.port",
        "5696", "--spec.trusted_CA.cert_chain", "root", "--spec.trusted_CA.cert_chain", "leaf",
        "--spec.group", "g1"},
       "\"key-server-1\"\n"},
      {{"kms.services", "list", "--filter.group", "g1"},
       R"([{"address":{"hostname":"kms.example","port":5696},"group":"g1",)"
       R"("service":"key-server-1"}])" "\n"},
      {{"kms.services", "get", "--service", "key-server-1"},
       R"({"address":{"hostname":"kms.example","port":5696},"group":"g1",)"
       R"("trusted_CA":{"cert_chain":["root","leaf"]}})" "\n"},
      {{"attestation.services", "create", "--spec.address.hostname", "as.example",
        "--spec.trusted_CA.cert_chain", "root", "--spec.group", "g1"},
       "\"attestation-service-1\"\n"},
      {{"attestation.services", "get", "--service", "attestation-service-1"},
       R"({"address":{"hostname":"as.example","port":null},"group":"g1",)"
       R"("trusted_CA":{"cert_chain":["root"]}})" "\n"},
      {{"attestation.services", "list"},
       R"([{"address":{"hostname":"as.example","port":null},"group":"g1",)"
       R"("service":"attestation-service-1"}])" "\n"},
      {{"attestation.reports", "list"},
       R"([{"report":"report-attestation-service-1","reporting_jwt":{"group":"g1","jwt":")"
       "eyJhbGciOiJub25lIiwidHlwIjoiSldUIn0."
       "eyJpc3MiOiJyZWZlcmVuY2Utc2VydmVyIiwic3ViIjoiYXR0ZXN0YXRpb24tc2VydmljZS0x"
       "IiwiZ3JvdXAiOiJnMSJ9."
       R"(","service":"attestation-service-1"},"type":"REPORTING_JWT"}])" "\n"},
      {{"attestation.services", "delete", "--service", "attestation-service-1"}},
      {{"kms.services", "delete", "--service", "key-server-1"}},
      {{"kms.providers", "delete", "--provider", "vault-native"}},
  };
  for (auto const& step : steps) {
    SCOPED_TRACE(testing::PrintToString(step.args));
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

// One exit status per kind of outcome, and, with --output json, the error as one line of JSON
// on standard output beside the text on standard error: its name, its status (null when no
// answer came) and its request id (null when nothing was sent).
TEST(TirnProgram, ExitStatusAndJsonErrorTellTheKindsOfOutcomeApart) {
  namespace Peer = scripted_peer;
  std::string const notFound =
      Peer::Whole(404, Peer::ErrorBody(Tirn::Data::Wire::kNotFoundError));
  // The same error ending a streamed answer, whose head said 200 before the error came.
  std::string const endOfStream = Peer::ErrorBody(Tirn::Data::Wire::kNotFoundError) + "\n";
  std::ostringstream streamedNotFound;
  streamedNotFound << Peer::kProgressThenClose.bytes << std::hex << endOfStream.size() << "\r\n"
                   << endOfStream << "\r\n0\r\n\r\n";
  std::vector<std::string> const list = {"kms.providers", "list"};
  struct Case {
    char const* what;
    std::vector<Peer::Step> script;  // none: a tirn server, or no server at all
    std::vector<std::string> args;
    int status;
    std::string error;     // the JSON's "error", without "com.ostrel.tirn.std.errors."
    char const* answered;  // the JSON's "status"
  } const cases[] = {
      // (Whole, from a server: CallsWithTheSettingsOfTheOptionsAndTheEnvironment.)
      {"an error the operation declares, at the end of a stream", {{streamedNotFound.str()}},
       {"kms.providers", "get", "--provider", "p"}, 1, "not_found", "404"},
      {"an unknown operation", {}, {"kms.providers", "gte", "--provider", "p"}, 2,
       "invalid_argument", "null"},
      // Not built in, and the server has no table of operations to ask.
      {"an operation nobody knows",
       {{Peer::Whole(404, Peer::ErrorBody(Tirn::Data::Wire::kOperationNotFoundError))}},
       {"kms.providers", "gte"}, 2, "operation_not_found", "404"},
      {"no server", {}, {"--url", ClosedUrl(), "--timeout", "0.3", "kms.providers", "list"}, 3,
       "service_unavailable", "null"},
      {"a balancer's 502 page", {Peer::kBadGateway}, list, 3, "service_unavailable", "502"},
      {"another server's 404 page", {Peer::kNotFoundPage}, list, 3, "error", "404"},
      {"a server's internal error", {Peer::kInternal}, list, 4, "internal_server_error", "500"},
      {"a server that cannot take the call", {Peer::kUnavailable}, list, 4, "service_unavailable",
       "503"},
      {"an error the operation does not declare", {{notFound}}, list, 4, "not_found", "404"},
      {"a call without credentials", {}, list, 4, "unauthenticated", "401"},
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
    std::string const error = "com.ostrel.tirn.std.errors." + c.error;
    EXPECT_EQ(ran.status, c.status) << ran;
    EXPECT_EQ(std::count(ran.out.begin(), ran.out.end(), '\n'), 1) << ran;
    EXPECT_EQ(ran.out.rfind("{\"error\":\"" + error + "\",\"messages\":[", 0), 0u) << ran;
    EXPECT_TRUE(Contains(ran.out, std::string("\"status\":") + c.answered + ",")) << ran;
    // A request id whenever a request was sent; the peer's tells which.
    EXPECT_EQ(Contains(ran.out, "\"request_id\":null}"), c.answered == std::string("null")) << ran;
    if (peer) {
      auto const requests = peer->Requests();
      ASSERT_FALSE(requests.empty());
      EXPECT_TRUE(Contains(ran.out, "\"request_id\":\"" +
                                        requests.back().Header("X-Request-Id") + "\"}"))
          << ran;
    }
    // The text for people is on standard error as without --output json.
    EXPECT_TRUE(Contains(ran.err, c.status == 2 ? "tirn: " : "error: " + error)) << ran;
  }
}

// -v says each exchange on standard error once it is over: the URL called, the status, the
// request id the server received, the time taken. (Without it, nothing: every call of
// CallsEveryOperationOfThePackage leaves standard error empty.)
TEST(TirnProgram, VerboseSaysEachExchange) {
  scripted_peer::ScriptedPeer peer({scripted_peer::kListed});
  std::string const url =
      peer.url() + "/v1/com.ostrel.nox.trusted_infrastructure.kms.providers/list";
  // --verbose after the operation here, -v before it below.
  Ran const ran = RunTirn({"--url", peer.url(), "kms.providers", "list", "--verbose"});
  EXPECT_EQ(ran.status, 0) << ran;
  EXPECT_EQ(ran.out, "[]\n") << ran;
  std::string const id = peer.Requests().back().Header("X-Request-Id");
  ASSERT_FALSE(id.empty());
  EXPECT_EQ(ran.err.rfind("tirn: " + url + ": status 200, request id " + id + ", ", 0), 0u) << ran;
  EXPECT_EQ(ran.err.substr(ran.err.size() - 4), " ms\n") << ran;
  EXPECT_EQ(std::count(ran.err.begin(), ran.err.end(), '\n'), 1) << ran;
  // A call that got no answer says so, before its error, which names the address tried and
  // speaks of no TLS.
  Ran const refused =
      RunTirn({"-v", "--url", ClosedUrl(), "--timeout", "0.3", "kms.providers", "list"});
  EXPECT_EQ(refused.status, 3) << refused;
  EXPECT_TRUE(Contains(refused.err, ": status none, request id none, ")) << refused;
  EXPECT_LT(refused.err.find("status none"), refused.err.find("error: ")) << refused;
  EXPECT_TRUE(Contains(refused.err, "Could not connect to 127.0.0.1:")) << refused;
  EXPECT_FALSE(Contains(refused.err, "TLS")) << refused;
}

// Each mistake is named in our words, as it was typed, with the name probably meant: bad input
// is refused before anything is sent (exit 2), and what went wrong with a server says what to
// try (exit 3). A secret is never repeated back.
TEST(TirnProgram, NamesEachMistakeInItsOwnWords) {
  Served served;
  scripted_peer::ScriptedPeer web({scripted_peer::kNotFoundPage});
  struct Case {
    std::vector<std::string> args;  // sent to `served` unless they name a --url
    int status;
    std::string says;  // part of standard error
    std::vector<std::string> never = {};
  };
  std::vector<Case> const cases = {
      {{"kms.providers", "get"}, 2, "provider: a required field is missing"},
      {{"kms.services", "list", "--filter.address.hostname", "h", "--filter.address.port", "80x"},
       2, "filter.address[0].port: \"80x\" is not a valid integer"},
      {{"kms.providers", "create", "--spec.provider", "p", "--spec.native_spec.key_id", "k",
        "--spec.native_spec.key_derivation_key", "hunter2"},
       2, "spec.native_spec.key_derivation_key is a secret"},
      {{"kms.providers", "create", "--json",
        R"({"spec":{"provider":"p","native_spec":{"key_id":"k","key_derivation_key":"hunter2"}}})"},
       2, "spec.native_spec.key_derivation_key is a secret"},
      {{"kms.providers", "list", "--filter_spec.types", "native"}, 2,
       "filter_spec.types: \"native\" is not one of NATIVE, TRUST_AUTHORITY (did you mean "
       "NATIVE?); a value this client does not know can still be sent with --json"},
      {{"kms.providers", "get", "--json", "{"}, 2, "tirn: Not JSON: "},
      {{"--output", "yaml", "kms.providers", "list"}, 2, "--output wants json or text, not 'yaml'"},
      {{"--timeout", "abc", "kms.providers", "list"}, 2,
       "tirn: --timeout wants a number of seconds above 0 (2.5, 30), not 'abc'\n",
       {"argument ('abc')"}},
      {{"kms.providers", "list", "--timeout"}, 2, "tirn: --timeout wants a value (SECONDS)\n",
       {"required argument"}},
      {{"--output", "json", "--output", "text", "kms.providers", "list"}, 2, "give --output once"},
      {{"--show-secrets=yes", "kms.providers", "list"}, 2, "--show-secrets takes no value"},
      {{"-x", "kms.providers", "list"}, 2, "unknown option -x", {"no service"}},
      {{"--tokn", "t", "kms.providers", "list"}, 2,
       "unknown option --tokn (did you mean --token?)"},
      {{"kms.provider", "get", "--provider", "p"}, 2,
       "there is no service kms.provider (did you mean kms.providers?)"},
      {{"kms.providers", "gte", "--provider", "p"}, 2,
       "there is no operation gte in service kms.providers (did you mean get?)"},
      {{"kms.providers", "get", "--providr", "p"}, 2,
       "tirn: --providr: there is no such field (did you mean --provider?)\n"},
      {{"kms.services", "create", "--spec.adress.hostname", "h"}, 2,
       "tirn: --spec.adress: there is no such field (did you mean --spec.address?)\n"},
      {{"kms.services", "list", "--filter.address.hostnme", "h"}, 2,
       "--filter.address.hostnme: there is no such field (did you mean "
       "--filter.address.hostname?)",
       {"[0]"}},
      {{"kms.services", "create", "--json",
        R"({"spec":{"address":{"hostname":"h","prot":5696},)"
        R"("trusted_CA":{"cert_chain":[]},"group":"g"}})"},
       2, "spec.address.prot: there is no such field (did you mean port?)"},
      // Local files that cannot be read are the user's mistake, found before sending.
      {{"--ca", "/nonexistent/ca.pem", "kms.providers", "list"}, 2,
       "cannot read /nonexistent/ca.pem: No such file or directory"},
      {{"--cert", "c.pem", "kms.providers", "list"}, 2, "--cert and --key go together"},
      {{"--url", web.url(), "kms.providers", "list"}, 3,
       "The server at " + web.url() +
           "/v1/com.ostrel.nox.trusted_infrastructure.kms.providers/list answered 404 without a "
           "tirn error (is it a tirn server? is the path right?). [tirn.http.not.tirn.answer]\n",
       {"internal_server_error", "..", "Not JSON"}},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    bool const ownUrl = std::find(c.args.begin(), c.args.end(), "--url") != c.args.end();
    Ran const ran = ownUrl ? RunTirn(c.args) : served.Run(c.args);
    EXPECT_EQ(ran.status, c.status) << ran;
    EXPECT_TRUE(Contains(ran.err, c.says)) << ran;
    for (auto const& part : c.never) EXPECT_FALSE(Contains(ran.err, part)) << part << "\n" << ran;
    EXPECT_FALSE(Contains(ran.err, "hunter2")) << ran;
    EXPECT_EQ(ran.out, "");
  }
  // Nothing refused reached the server: no provider was created.
  Ran list = served.Run({"kms.providers", "list"});
  EXPECT_EQ(list.out, "[]\n") << list;
}

// What a call is made with, from the options, else the environment: the language of an error's
// text (--lang, LC_ALL, LANG); the bearer token (--token, --token-file, TIRN_TOKEN, which the
// process list does not show); the servers, tried in turn when one is down (each --url one
// more, TIRN_URL); the CA trusted and the client certificate presented (--ca, --cert, --key).
TEST(TirnProgram, CallsWithTheSettingsOfTheOptionsAndTheEnvironment) {
  Served served;
  Served guarded("t0k3n");
  test_tls::Files const client = test_tls::MakeSelfSigned("client-alice");
  Served certified("", client.certificate);
  ServerApp::Testing::TempDir dir;
  std::string const tokenFile = dir.path + "/token";
  std::ofstream(tokenFile) << "t0k3n\n";
  std::string const down = ClosedUrl();
  std::string const ca = certified.files.certificate;
  std::vector<std::string> const get = {"kms.providers", "get", "--provider", "nope"};
  struct Case {
    Served* server;                 // called with --url unless null
    std::vector<std::string> args;  // the options
    int status;
    std::string says;  // part of standard error
    std::vector<std::string> environment = {"LANG=C"};
    std::vector<std::string> call = {"kms.providers", "list"};
  } const cases[] = {
      {&served, {"--lang", "de"}, 1, "Der Schlüsselanbieter nope existiert nicht.", {"LANG=C"},
       get},
      {&served, {}, 1, "Key provider nope does not exist.", {"LANG=C"}, get},
      {&guarded, {"--token", "t0k3n"}, 0, ""},
      {&guarded, {"--token-file", tokenFile}, 0, ""},
      {nullptr, {}, 0, "", {"LANG=C", "TIRN_TOKEN=t0k3n", "TIRN_URL=" + guarded.url}},
      {&guarded, {"--token", "other"}, 4, "unauthenticated", {"LANG=C", "TIRN_TOKEN=t0k3n"}},
      {nullptr, {"--url", down, "--url", served.url, "--timeout", "5"}, 0, ""},
      {&certified, {"--ca", ca, "--cert", client.certificate, "--key", client.key}, 0, ""},
      // The server's certificate not trusted.
      {&certified, {"--cert", client.certificate, "--key", client.key}, 3, "tirn.http.tls.failed"},
  };
  for (Case const& c : cases) {
    std::vector<std::string> args = c.args;
    if (c.server) args.insert(args.begin(), {"--url", c.server->url});
    args.insert(args.end(), c.call.begin(), c.call.end());
    SCOPED_TRACE(testing::PrintToString(c.environment) + testing::PrintToString(args));
    Ran const ran = RunTirn(args, "", c.environment);
    EXPECT_EQ(ran.status, c.status) << ran;
    EXPECT_TRUE(Contains(ran.err, c.says)) << ran;
    EXPECT_EQ(ran.out, c.status == 0 ? "[]\n" : "") << ran;
  }
  EXPECT_EQ(guarded.Callers(), (std::vector<std::string>{"t0k3n", "t0k3n", "t0k3n", "other"}));
  EXPECT_EQ(certified.Callers(), std::vector<std::string>{"/CN=client-alice"});
  test_tls::Remove(client);
}

// list, describe and help need no server; --output json gives the same for scripts (run_test.cc
// compares describe's JSON with what the server answers). A result that does not arrive (a full
// disk, a pipe nobody reads) is a failure, whichever command wrote it: exit 4 and a word on
// standard error, never a silent 0.
TEST(TirnProgram, AResultThatCannotBeWrittenIsAFailure) {
  Served served;
  ASSERT_EQ(served.Run({"kms.providers", "create", "--spec.provider", "p"}).status, 0);
  // Each command, and an answer as JSON and as text: its arguments, and parts of its output.
  std::pair<std::vector<std::string>, std::vector<std::string>> const cases[] = {
      {{"list"}, {"kms.providers get\n", "attestation.reports list\n"}},
      {{"--output", "json", "list"}, {R"([{"service":"kms.providers","operation":"list"},)"}},
      {{"describe", "kms.providers", "create"},
       {"input:\n  spec: structure ", "      key_derivation_key: secret\n", "output:\n  void\n",
        "  error com.ostrel.tirn.std.errors.already_exists\n"}},
      {{"describe"}, {"kms.providers get (", "attestation.reports list ("}},
      {{"--help"}, {"Exit status:", "  4  any other error"}},
      {{"--version"}, {"tirn 0.", "\nlibraries: tirn 0."}},
      {{"--url", served.url, "kms.providers", "list"}, {R"("provider":"p")"}},
      {{"--url", served.url, "--output", "text", "kms.providers", "get", "--provider", "p"},
       {"type: "}},
  };
  // Ignored here and so in the program: a write to the closed pipe fails instead of killing it.
  signal(SIGPIPE, SIG_IGN);
  int const full = open("/dev/full", O_WRONLY | O_CLOEXEC);
  ASSERT_GE(full, 0);
  int unread[2];
  ASSERT_EQ(pipe2(unread, O_CLOEXEC), 0);
  close(unread[0]);
  for (auto const& [args, parts] : cases) {
    SCOPED_TRACE(testing::PrintToString(args));
    Ran const ran = RunTirn(args);
    EXPECT_EQ(ran.status, 0) << ran;
    for (auto const& part : parts) EXPECT_TRUE(Contains(ran.out, part)) << part << "\n" << ran;
    for (int const fd : {full, unread[1]}) {
      Ran const failed = RunTirn(args, "", {"LANG=C"}, fd);
      EXPECT_EQ(failed.status, 4) << (fd == full ? "/dev/full " : "closed pipe ") << failed;
      EXPECT_TRUE(Contains(failed.err, "tirn: cannot write the result to standard output: "))
          << failed;
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
  ServerApp::Testing::TempDir dir;
  std::string const file = dir.path + "/input.json";
  std::ofstream(file)
      << R"({"spec":{"provider":"p1","native_spec":{"key_id":"k1","key_derivation_key":"kdk-1"}}})";
  EXPECT_EQ(served.Run({"kms.providers", "create", "--json", "@" + file}).status, 0);
  std::string const input =
      R"({"spec":{"provider":"p2","native_spec":{"key_id":"k2","key_derivation_key":"kdk-2"}}})";
  EXPECT_EQ(served.Run({"kms.providers", "create", "--json", "-"}, input).status, 0);
  // The arguments after "kms.providers list", and standard output.
  std::pair<std::vector<std::string>, std::string> const cases[] = {
      {{"--json", R"({"filter_spec":{"providers":["p2","p1"]}})", "--output", "text"},
       "- available: true\n  details: (empty)\n  provider: p1\n  type: NATIVE\n"
       "- available: true\n  details: (empty)\n  provider: p2\n  type: NATIVE\n"},
      {{"--allow-unknown-fields", "--json",
        R"({"filter_spec":{"providers":["p1"],"since":"2026"}})"},
       R"([{"available":true,"details":[],"provider":"p1","type":"NATIVE"}])" "\n"},
      // Sent as it is: the server knows no provider of that type.
      {{"--json", R"({"filter_spec":{"types":["native"]}})"}, "[]\n"},
  };
  for (auto const& [options, out] : cases) {
    SCOPED_TRACE(testing::PrintToString(options));
    std::vector<std::string> args{"kms.providers", "list"};
    args.insert(args.end(), options.begin(), options.end());
    Ran ran = served.Run(args);
    EXPECT_EQ(ran.status, 0) << ran;
    EXPECT_EQ(ran.out, out) << ran;
  }
}

}  // namespace
