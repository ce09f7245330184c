// Runs the built tirn-server program (TIRN_SERVER_BINARY) and calls it over 127.0.0.1 through
// Tirn::Http::ClientProvider and the generated stubs. Every wait is bounded.
#include <signal.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/process_helpers.h"
#include "tests/raw_http.h"
#include "tests/test_tls.h"

namespace {

using namespace ServerApp::Testing;
using namespace std::chrono_literals;

constexpr char kAlice[] = "t0ken-alice-5f2c9e81d4b7";
constexpr char kBob[] = "t0ken-bob-83d1a6f04c2e97";

// The full name of one of the standard errors.
std::string Error(std::string const& name) { return "com.ostrel.tirn.std.errors." + name; }

// Each test in a folder of its own, which it fills with the files its servers read.
class ServerProgram : public ::testing::Test {
 protected:
  // `name` in the folder, holding `text` and readable by its owner only: its path.
  std::string Write(std::string const& name, std::string const& text) {
    return WriteFile(dir.path + "/" + name, text);
  }

  // A server on `data` (a name in the folder, or ":memory:") with the options in `extra`.
  std::vector<std::string> Serve(std::string const& data,
                                 std::vector<std::string> const& extra = {}) const {
    auto args = ServeArgs(data == ":memory:" ? data : dir.path + "/" + data);
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  }

  TempDir dir;
};

// ---- The program ---------------------------------------------------------------------------

// --help of the program and of each command, and --version with the libraries it runs with.
TEST_F(ServerProgram, HelpAndVersion) {
  std::pair<std::vector<std::string>, char const*> const cases[] = {
      {{"--help"}, "--key-file"},
      {{"rekey", "--help"}, "Usage: tirn-server rekey --data FILE"},
      {{"backup", "--help"}, "Usage: tirn-server backup --data FILE"},
      {{"copy", "--help"}, "Usage: tirn-server copy --from FILE --to URI"},
      {{"--version"}, "tirn-server " TIRN_VERSION "\nlibraries: tirn " TIRN_VERSION ", OpenSSL "},
      {{"--version"}, ", SQLite 3."},
  };
  for (auto const& [args, said] : cases) {
    auto const run = RunToEnd(args, dir.path);
    EXPECT_EQ(run.status, 0) << said;
    EXPECT_PRED2(Contains, run.out, said);
  }
}

// `hash-token` prints the token file's line for a token read from standard input, which holds
// its digest and not the token; that line lets the token in, and no other caller. SIGHUP
// rereads the tokens and the policy without a restart, and the server keeps serving
// throughout. (A reload refused keeps the tables read before:
// AccessFiles.AReloadThatCannotReadEveryFileKeepsTheTablesInForce.) The log never holds a token.
TEST_F(ServerProgram, HashedTokensDecideWhoCallsAndSighupRereadsThem) {
  TestSupport::Finished const hashed =
      TestSupport::Run({TIRN_SERVER_BINARY, "hash-token", "alice"}, kAlice + std::string("\n"));
  EXPECT_EQ(hashed.status, 0) << hashed.err;
  EXPECT_EQ(hashed.out.rfind("sha256:", 0), 0u) << hashed.out;
  EXPECT_FALSE(Contains(hashed.out, kAlice)) << hashed.out;
  std::string const tokens = Write("tokens", "# callers\n" + hashed.out);
  std::string const policy = Write("policy", "alice *\n");
  Running server(
      Serve(":memory:", {"--tokens", tokens, "--policy", policy, "--log-format", "json"}),
      dir.path);
  ASSERT_FALSE(server.url.empty()) << server.line << server.process.Stderr();
  // The clients stay until the server has stopped: a connection closed at once may take its
  // answer's access-log line with it.
  Client stranger(server.url);
  Client alice(server.url, kAlice);
  Client bob(server.url, kBob);
  EXPECT_EQ(stranger.Create("s1", "k", "s"), Error("unauthenticated"));
  EXPECT_EQ(alice.Create("a1", "k", "s"), "ok");
  EXPECT_EQ(bob.Create("b1", "k", "s"), Error("unauthenticated"));

  // bob added with reading rights, alice removed.
  Write("tokens", kBob + std::string(" bob\n"));
  Write("policy", "bob *.list\n");
  server.process.Signal(SIGHUP);
  EXPECT_TRUE(server.process.Says("reloaded the tokens and the policy")) << server.process.Stderr();
  EXPECT_EQ(alice.Create("a2", "k", "s"), Error("unauthenticated"));
  EXPECT_EQ(bob.Create("b2", "k", "s"), Error("unauthorized"));
  EXPECT_EQ(bob.List(), std::vector<std::string>{"a1"});
  EXPECT_EQ(Stop(server.process), 0);
  std::string const log = server.process.Stderr();
  EXPECT_PRED2(Contains, log, R"("kind":"access")");
  EXPECT_PRED2(Contains, log, R"("status":401)");
  // Its token file, readable by its owner alone, draws no warning.
  for (char const* never : {kAlice, kBob, "anonymous", "chmod 600"}) {
    EXPECT_FALSE(Contains(log, never)) << log;
  }
}

// A file the server cannot trust to say what it should (a FIFO nobody writes, one others may
// write, a key others may read) stops the start with one line naming it, within moments, and
// leaves no new file behind; so does a command-line mistake. One file of each option here:
// every kind of file, TrustedFile.OnlyARegularFileKeptAsTheRuleSaysIsRead goes through, and
// every mistake, the parser's own tests.
TEST_F(ServerProgram, FilesThatCannotBeTrustedStopTheStart) {
  std::string const fifo = dir.path + "/fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::string const writable =
      WriteFile(dir.path + "/writable", kAlice + std::string("-0123456789abc alice\n"), 0666);
  std::string const openKey = WriteFile(dir.path + "/open.key", std::string(64, 'a'), 0644);
  std::string const hint = " (mode 0644); make it readable by its owner only: chmod 600 " + openKey;
  std::string const data = dir.path + "/never-made.db";
  test_tls::Files const expired = test_tls::MakeSelfSigned("localhost", -60);
  test_tls::Files const valid = test_tls::MakeSelfSigned("localhost");
  test_tls::Authority callers("callers CA");
  std::vector<std::string> const pastDueCrl = {
      "--tls-cert", valid.certificate, "--tls-key", valid.key, "--client-ca",
      callers.certificate(), "--client-crl", callers.Revoke({}, -60)};
  // Each a server on `data` but for the words of its own (a run that takes longer than kWait
  // is killed, and ends with -1).
  std::vector<Refusal> cases = {
      {{"--tls-cert", expired.certificate, "--tls-key", expired.key}, 1, "expired on"},
      {pastDueCrl, 1, "was due to be replaced by"},
      {{"--config", fifo}, 2, "is a FIFO"},
      {{"--tokens", writable}, 1, "can be written by others"},
      {{"--policy", fifo}, 1, "is a FIFO"},
      {{"--key-file", fifo}, 1, "is a FIFO"},
      {{"--key-file", dir.path + "/missing.key"}, 1, "cannot open the key file"},
      // A key file its group or others may read gives the sealed secrets away.
      {{"--key-file", openKey}, 1, "the key file " + openKey + " can be read by others" + hint},
      {{"--bogus"}, 2, "tirn-server: unrecognised option '--bogus'"},
  };
  auto const serve = ServeArgs(data);
  for (auto& c : cases) c.args.insert(c.args.begin(), serve.begin(), serve.end());
  ExpectRefusals(cases, dir.path, [&] {
    EXPECT_FALSE(std::filesystem::exists(data)) << "a refused start left " << data;
    EXPECT_FALSE(std::filesystem::exists(data + ".key")) << "a refused start left its key";
  });
  test_tls::Remove(expired);
  test_tls::Remove(valid);
}

// A certificate is warned of from two weeks before it expires, in whole days to go. With client
// certificates optional, a CRL past due is taken, with a warning: callers without a certificate
// are still served.
TEST_F(ServerProgram, ACertificateRunningOutIsWarnedOf) {
  test_tls::Authority callers("callers CA");
  for (auto const& [days, warning] : {std::pair<long, char const*>{15, nullptr},
                                     {9, " expires in 9 days: renew it, then send SIGHUP"}}) {
    test_tls::Files const files = test_tls::MakeSelfSigned("localhost", days * 24 * 3600);
    Running server(Serve(":memory:", {"--tls-cert", files.certificate, "--tls-key", files.key,
                                      "--client-ca", callers.certificate(), "--client-crl",
                                      callers.Revoke({}, -60), "--client-cert", "optional"}),
                   dir.path);
    ASSERT_FALSE(server.url.empty()) << server.line << server.process.Stderr();
    EXPECT_EQ(Stop(server.process), 0);
    std::string const log = server.process.Stderr();
    EXPECT_PRED2(Contains, log, "is past its next update");
    EXPECT_EQ(Contains(log, "warning: the certificate"), warning != nullptr) << days << " days";
    if (warning) {
      EXPECT_PRED2(Contains, log, files.certificate + warning);
    }
    test_tls::Remove(files);
  }
}

// Callers prove themselves with certificates of a CA the server trusts: the certificate's
// common name is the caller the policy sees. No certificate, one of another CA, a revoked one
// and one not yet valid are each refused in the handshake, with a log line saying why (an
// expired one, its own client refuses to send); after a reload the new CA is in force.
TEST_F(ServerProgram, ClientCertificatesNameCallers) {
  test_tls::Files const serverFiles = test_tls::MakeSelfSigned("localhost");
  test_tls::Authority authority("callers CA");
  test_tls::Authority stranger("another CA");
  auto const alice = authority.Issue("alice");
  auto const carol = authority.Issue("carol");
  auto const revoked = authority.Issue("bob");
  auto const expired = authority.Issue("erin", -2 * 24 * 3600, -24 * 3600);
  auto const early = authority.Issue("erin", 24 * 3600, 2 * 24 * 3600);
  auto const mallory = stranger.Issue("alice");
  std::string const caFile = dir.path + "/clients-ca.pem";
  std::string const crlFile = dir.path + "/clients.crl";
  auto const install = [&](test_tls::Authority& ca, std::vector<long> const& revoking,
                           long due = 24 * 3600) {
    auto const replace = std::filesystem::copy_options::overwrite_existing;
    std::filesystem::copy_file(ca.certificate(), caFile, replace);
    std::filesystem::copy_file(ca.Revoke(revoking, due), crlFile, replace);
  };
  install(authority, {revoked.serial});
  std::string const policy = Write("policy", "alice *\ncarol *.list\n");
  Running server(Serve(":memory:", {"--tls-cert", serverFiles.certificate, "--tls-key",
                                    serverFiles.key, "--client-ca", caFile, "--client-crl",
                                    crlFile, "--policy", policy, "--metrics-listen",
                                    "127.0.0.1:0"}),
                 dir.path);
  ASSERT_FALSE(server.url.empty()) << server.line << server.process.Stderr();
  // Until when the certificate and the CRL serve (a day, both), on the metrics page and, as
  // that is less than two weeks, in the log.
  std::string const metrics = server.process.NextLine();
  std::string const metricsPort = PortOf(metrics.substr(0, metrics.rfind('/')));
  // How many hours from now the page says `file` serves; -1 when it says nothing of it.
  auto const hoursLeft = [&](std::string const& file) {
    auto const page = Samples(Get(metricsPort, "/metrics").body);
    auto const until = page.find("tirn_tls_valid_until_timestamp_seconds{file=\"" + file + "\"}");
    double const now =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    return until == page.end() ? -1 : std::lround((until->second - now) / 3600);
  };
  EXPECT_EQ(hoursLeft("certificate"), 24) << metrics;
  EXPECT_EQ(hoursLeft("client_crl"), 24);
  EXPECT_PRED2(Contains, server.process.Stderr(),
               "warning: the certificate " + serverFiles.certificate +
                   " expires in less than a day: renew it, then send SIGHUP");
  EXPECT_PRED2(Contains, server.process.Stderr(), "warning: the client CRL " + crlFile);
  int made = 0;
  // A call presenting `who`'s certificate (none when it has none).
  auto const as = [&](test_tls::Authority::Issued const& who) {
    Tirn::Http::ClientOptions options;
    options.caFile = serverFiles.certificate;
    options.certificateFile = who.certificate;
    options.privateKeyFile = who.key;
    return Client(server.url, options).Create("p-" + std::to_string(++made), "k", "s");
  };
  EXPECT_EQ(as(alice), "ok");
  EXPECT_EQ(as(carol), Error("unauthorized"));  // the policy applies
  // Each refused, and why.
  std::pair<test_tls::Authority::Issued, char const*> const refused[] = {
      {{}, "sent no certificate"},
      {mallory, "does not verify"},  // another CA's
      {revoked, "certificate revoked"},
      {early, "certificate is not yet valid"},
  };
  for (auto const& [who, why] : refused) {
    SCOPED_TRACE(why);
    EXPECT_NE(as(who), "ok");
    // The server says why once its side of the handshake has ended.
    EXPECT_TRUE(server.process.Says(why)) << server.process.Stderr();
    EXPECT_TRUE(Contains(server.process.Stderr(), "refused: ")) << server.process.Stderr();
  }
  std::string const before = server.process.Stderr();
  EXPECT_NE(as(expired), "ok");
  EXPECT_EQ(server.process.Stderr(), before) << "an expired certificate reached the server";

  // A new CA (and its CRL) after SIGHUP: its callers are in, the old CA's are out.
  test_tls::Authority next("next callers CA");
  auto const dave = next.Issue("alice");
  install(next, {}, 3 * 24 * 3600);
  server.process.Signal(SIGHUP);
  EXPECT_TRUE(server.process.Says("reloaded the TLS")) << server.process.Stderr();
  EXPECT_EQ(as(dave), "ok");
  EXPECT_NE(as(alice), "ok");
  EXPECT_EQ(hoursLeft("client_crl"), 72);
  // A CRL past its next update would have every client refused: the reload is, and the one in
  // force stays.
  install(next, {}, -60);
  server.process.Signal(SIGHUP);
  EXPECT_TRUE(server.process.Says("was due to be replaced by")) << server.process.Stderr();
  EXPECT_PRED2(Contains, server.process.Stderr(), "TLS reload refused");
  EXPECT_EQ(as(dave), "ok");
  EXPECT_EQ(Stop(server.process), 0);
  test_tls::Remove(serverFiles);
}

// SIGTERM (or SIGINT) drains: /readyz answers 503 at once while calls are still served for
// the drain delay, the metrics and the log say so, then the server stops and exits 0. A
// second signal while it drains stops it at once.
TEST_F(ServerProgram, SigtermDrainsBeforeItStops) {
  auto args = Serve(":memory:");
  args.back() = "1";  // --drain-delay 1
  Running server(args, dir.path);
  ASSERT_FALSE(server.url.empty()) << server.line << server.process.Stderr();
  std::string const port = PortOf(server.url);
  EXPECT_EQ(Get(port, "/readyz").status, 200);
  Client client(server.url);
  std::string const secret = "kdk-never-printed-5150";
  EXPECT_EQ(client.Create("before", "k", secret), "ok");
  auto const signalled = std::chrono::steady_clock::now();
  server.process.Signal(SIGTERM);
  Fetched ready;
  for (int i = 0; i < 100 && ready.status != 503; ++i) {
    ready = Get(port, "/readyz");
    if (ready.status != 503) std::this_thread::sleep_for(5ms);
  }
  EXPECT_EQ(ready.status, 503) << ready.body;
  EXPECT_TRUE(Contains(Get(port, "/metrics").body, "tirn_draining 1"));
  EXPECT_EQ(client.Create("while-draining", "k", "s"), "ok");  // still served
  EXPECT_EQ(server.process.Wait(), 0);
  auto const took = std::chrono::steady_clock::now() - signalled;
  EXPECT_GE(took, 900ms);
  EXPECT_LT(took, 10s);
  std::string const log = server.process.Stderr();
  // Each call has its access line, naming the anonymous caller and not the secret.
  for (char const* said : {"draining on SIGTERM", "drained", "access 127.0.0.1:",
                           "kms.providers.create", "anonymous"}) {
    EXPECT_PRED2(Contains, log, said);
  }
  EXPECT_FALSE(Contains(log, secret)) << log;

  // A long drain, begun by SIGINT, cut short by a second signal.
  args.back() = "60";
  Running patient(args, dir.path);
  ASSERT_FALSE(patient.url.empty()) << patient.line << patient.process.Stderr();
  auto const again = std::chrono::steady_clock::now();
  patient.process.Signal(SIGINT);
  EXPECT_TRUE(patient.process.Says("draining on SIGINT")) << patient.process.Stderr();
  patient.process.Signal(SIGTERM);
  EXPECT_EQ(patient.process.Wait(), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - again, 10s);
  EXPECT_TRUE(Contains(patient.process.Stderr(), "a second signal")) << patient.process.Stderr();
}

// A restart of the one SQLite instance, while a writer with a long time limit calls it: every
// call succeeds, those made while it was away once it is back, and none is done twice.
TEST_F(ServerProgram, AWriterWithALongTimeLimitRidesThroughARestart) {
  auto server = std::make_unique<Running>(Serve("records.db"), dir.path);
  ASSERT_FALSE(server->url.empty()) << server->line << server->process.Stderr();
  std::string const url = server->url;
  Writer writer(url, "p", "s");
  std::this_thread::sleep_for(200ms);
  server->process.Signal(SIGTERM);
  EXPECT_EQ(server->process.Wait(), 0);
  std::this_thread::sleep_for(500ms);  // away for a while: the writer's calls wait
  auto args = Serve("records.db");
  args[1] = "127.0.0.1:" + PortOf(url);
  server = std::make_unique<Running>(args, dir.path);
  ASSERT_EQ(server->url, url) << server->line << server->process.Stderr();
  std::this_thread::sleep_for(200ms);
  writer.Join();
  EXPECT_EQ(writer.Refusal(), "") << "after " << writer.Acknowledged().size() << " calls";
  EXPECT_EQ(Client(url).List().size(), writer.Acknowledged().size());
}

// `check` reads what a start would read and says every problem with its file and line, starts
// nothing and makes no file; its status says whether a server would start.
TEST_F(ServerProgram, CheckSaysEveryProblemAndStartsNothing) {
  Write("kept.db", "records");  // records without their key
  std::string const alice = kAlice + std::string(" alice\n");
  std::string const tokens = dir.path + "/tokens";
  struct Case {
    char const* name;
    std::string tokenText;
    char const* policyText;
    std::vector<std::string> args;  // after "check"
    int status;
    std::vector<std::string> said;
  } const cases[] = {
      {"all well", alice, "alice *\n", Serve("records.db"), 0,
       {"0 problems", "a server would start", "a start makes it"}},
      {"a weak token and a rule for nothing", "short alice\n", "alice kms.provider.*\n",
       Serve("records.db"), 1,
       {"/tokens:1: a token must be at least 22 characters", "1 problem",
        "a server would not start"}},
      {"a rule for nothing", alice, "alice kms.provider.*\n", Serve("records.db"), 0,
       {"/policy:1: the rule 'alice kms.provider.*' matches no operation", "2 warnings"}},
      {"records without their key, and a TLS key that is not there", alice, "alice *\n",
       Serve("kept.db", {"--tls-cert", tokens, "--tls-key", dir.path + "/none.key"}), 1,
       {"does not exist, but the records do", "problem: ", "2 problems"}},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.name);
    auto args = c.args;
    args.insert(args.begin(), "check");
    args.insert(args.end(), {"--tokens", Write("tokens", c.tokenText), "--policy",
                             Write("policy", c.policyText)});
    auto const run = RunToEnd(args, dir.path);
    EXPECT_EQ(run.status, c.status) << run.out << run.err;
    for (auto const& part : c.said) EXPECT_TRUE(Contains(run.out, part)) << run.out;
    for (char const* made : {"/records.db", "/records.db.key", "/kept.db.key"}) {
      EXPECT_FALSE(std::filesystem::exists(dir.path + made)) << "check made " << made;
    }
  }
}

// The lock belongs to the data file, not to the name it was given: a second server on the
// same name, or on a symbolic or a hard link to the file, is refused.
TEST_F(ServerProgram, OneDataFileHasOneServerWhateverItsName) {
  std::string const data = dir.path + "/records.db";
  Running first(ServeArgs(data), dir.path);
  ASSERT_FALSE(first.url.empty()) << first.line << first.process.Stderr();
  std::filesystem::create_symlink(data, dir.path + "/symbolic.db");
  std::filesystem::create_hard_link(data, dir.path + "/hard.db");
  // The key named, so that nothing but the lock can stop the second server.
  std::vector<Refusal> seconds;
  for (char const* name : {"/records.db", "/symbolic.db", "/hard.db"}) {
    seconds.push_back({ServeWithKey(dir.path + name, data + ".key"), 1, "already running"});
  }
  ExpectRefusals(seconds, dir.path);
  EXPECT_EQ(Client(first.url).Create("still-served", "k", "s"), "ok");
}

// The program's answers as raw HTTP, by its records (SQLite) and its token file: an output of
// each service, plain and streamed. (With TIRN_RECORD_ANSWERS set, openapi.answers.server
// records them for the OpenAPI document's check. Each error a caller can meet, HttpRawCalls
// shows through the same server code on the library's own.)
TEST_F(ServerProgram, RawRequestsAreAnsweredWithTheirStatusAndError) {
  std::string const tokens = Write("tokens", kAlice + std::string(" alice\n"));
  Running server(Serve("records.db", {"--tokens", tokens}), dir.path);
  ASSERT_FALSE(server.url.empty()) << server.line << server.process.Stderr();
  auto const port = static_cast<unsigned short>(std::stoi(PortOf(server.url)));
  std::string const alice = "Authorization: Bearer " + std::string(kAlice) + "\r\n";
  std::string const streamed = alice + "Accept: application/x-ndjson\r\n";
  auto const call = [](std::string const& operation, std::string const& body,
                       std::string const& extra) {
    return raw_http::Post("/v1/com.ostrel.nox.trusted_infrastructure." + operation, body,
                          "application/json", extra);
  };
  std::string const native = R"({"spec": {"provider": "vault", "native_spec":
                                  {"key_id": "k1", "key_derivation_key": "kdk-5150"}}})";
  std::string const keyServer = R"({"spec": {"address": {"hostname": "kms.example"},
                                     "trusted_CA": {"cert_chain": ["root"]}, "group": "g"}})";
  struct Row {
    char const* label;
    std::string request;
    int status;
    char const* says;  // what the body holds
  } const rows[] = {
      {"create with a secret", call("kms.providers/create", native, alice), 200, "null"},
      {"get", call("kms.providers/get", R"({"provider": "vault"})", alice), 200, "\"k1\""},
      {"list, streamed, an unknown type name",
       call("kms.providers/list", R"({"filter_spec": {"types": ["QUANTUM"]}})", streamed), 200,
       "{\"output\":[]}"},
      {"key server create", call("kms.services/create", keyServer, alice), 200, "key-server-"},
      {"key server list, streamed", call("kms.services/list", "{}", streamed), 200,
       "kms.example"},
      {"attestation create", call("attestation.services/create", keyServer, alice), 200,
       "attestation-service-"},
      {"reports, streamed", call("attestation.reports/list", "{}", streamed), 200, "REPORTING_JWT"},
  };
  for (auto const& row : rows) {
    SCOPED_TRACE(row.label);
    raw_http::Answer const answer = raw_http::Send(port, row.request);
    bool whole = false;
    std::string const body = raw_http::Payload(answer, whole);
    EXPECT_EQ(answer.status, row.status) << body;
    EXPECT_TRUE(whole && Contains(body, row.says)) << body;
    EXPECT_FALSE(Contains(body, "kdk-5150")) << body;
  }
  EXPECT_EQ(Stop(server.process), 0);
}

// ---- Durability ----------------------------------------------------------------------------

// Under a file-size limit (ulimit -f) the write that would pass it fails like a write to a
// full disk: its call answers internal_server_error, and the server keeps serving what it
// kept.
TEST_F(ServerProgram, AFileSizeLimitFailsTheWriteNotTheServer) {
  Running server(Serve("records.db"), dir.path, 256 * 1024);
  ASSERT_FALSE(server.url.empty()) << server.line << server.process.Stderr();
  Client client(server.url);
  std::string const bulky(16 * 1024, 'k');
  std::string outcome = "ok";
  int created = 0;
  while (created < 100 && outcome == "ok") {
    outcome = client.Create("p" + std::to_string(created), bulky + std::to_string(created), "s");
    if (outcome == "ok") ++created;
  }
  EXPECT_EQ(outcome, Error("internal_server_error"));
  ASSERT_GT(created, 0);
  EXPECT_EQ(client.List().size(), static_cast<std::size_t>(created));
  std::string const first = client.KeyIdOf("p0");
  EXPECT_TRUE(first == bulky + "0") << first.substr(0, 80);
  EXPECT_EQ(Stop(server.process), 0);
}

// Several clients create and update providers while the server is killed with SIGKILL at a
// random moment; after a restart every acknowledged write must be there, whole. A write in
// flight at the kill may or may not be. TIRN_DURABILITY_SEED replays a run.
TEST_F(ServerProgram, AcknowledgedWritesSurviveAKill) {
  char const* given = std::getenv("TIRN_DURABILITY_SEED");
  unsigned const seed = given ? std::stoul(given) : std::random_device{}();
  std::mt19937 random(seed);
  // What each client knows of a provider: the key id last acknowledged (empty while its
  // creation is unacknowledged) and the one it was writing when the server went away.
  struct Known {
    std::string acknowledged;
    std::string inFlight;
  };
  constexpr int kClients = 4;
  constexpr int kCallsEach = 300;
  // The moment of the kill, as a count of acknowledged writes, so that it falls inside the
  // stream however fast the build is.
  int const killAt = std::uniform_int_distribution<int>(10, kClients * kCallsEach * 3 / 4)(random);
  SCOPED_TRACE("seed " + std::to_string(seed) + " (TIRN_DURABILITY_SEED), kill after " +
               std::to_string(killAt) + " acknowledged writes");
  std::vector<std::map<std::string, Known>> known(kClients);
  std::atomic<bool> stop{false};
  std::atomic<int> acknowledgedWrites{0};
  {
    Running server(Serve("records.db"), dir.path);
    ASSERT_FALSE(server.url.empty()) << server.line << server.process.Stderr();
    std::vector<std::thread> clients;
    auto const deadline = std::chrono::steady_clock::now() + 4s;
    for (int c = 0; c < kClients; ++c) {
      clients.emplace_back([&, c] {
        Client client(server.url);
        auto& mine = known[c];
        for (int i = 0; i < kCallsEach && !stop && std::chrono::steady_clock::now() < deadline;
             ++i) {
          // Every third call updates the provider this client created last.
          std::string const id = "c" + std::to_string(c) + "-" + std::to_string(i / 3 * 3);
          std::string const keyId = "v" + std::to_string(i);
          Known& record = mine[id];
          record.inFlight = keyId;
          std::string const outcome = i % 3 == 0 ? client.Create(id, keyId, "secret-" + id)
                                                 : client.Update(id, keyId);
          if (outcome != "ok") break;  // the server is gone
          record.acknowledged = keyId;
          record.inFlight.clear();
          ++acknowledgedWrites;
        }
      });
    }
    while (acknowledgedWrites < killAt && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(1ms);
    }
    server.process.Signal(SIGKILL);
    stop = true;
    for (auto& client : clients) client.join();
    EXPECT_EQ(server.process.Wait(), 128 + SIGKILL);
  }

  // A key file its owner may only read serves as well.
  ASSERT_EQ(chmod((dir.path + "/records.db.key").c_str(), 0400), 0);
  Running restarted(Serve("records.db"), dir.path);
  ASSERT_FALSE(restarted.url.empty()) << restarted.line << restarted.process.Stderr();
  Client client(restarted.url);
  int acknowledged = 0;
  std::size_t attempted = 0;
  for (auto const& mine : known) {
    attempted += mine.size();
    for (auto const& [id, record] : mine) {
      std::string const keyId = client.KeyIdOf(id);
      bool const isAcknowledged = !record.acknowledged.empty();
      acknowledged += isAcknowledged;
      if (keyId == "!" + Error("not_found")) {
        EXPECT_FALSE(isAcknowledged) << id << " was acknowledged and is gone";
        continue;
      }
      // Whole and readable (its sealed key opens), with a value that was written to it.
      EXPECT_TRUE(keyId == record.acknowledged || keyId == record.inFlight)
          << id << ": " << keyId << " (acknowledged '" << record.acknowledged << "', in flight '"
          << record.inFlight << "')";
    }
  }
  EXPECT_LE(client.List().size(), attempted) << "records nobody wrote";
  EXPECT_GT(acknowledged, 0) << "the kill came before any write";
}

// ---- Metrics -------------------------------------------------------------------------------

// GET /metrics: a page Prometheus' own checker accepts, whose counts are those of the calls
// the test made, served without a token by default.
TEST_F(ServerProgram, MetricsCountTheCallsMade) {
  std::string const tokens = Write("tokens", kAlice + std::string(" alice\n"));
  Running server(Serve("records.db", {"--tokens", tokens}), dir.path);
  ASSERT_FALSE(server.url.empty()) << server.line << server.process.Stderr();
  Client alice(server.url, kAlice);
  Client stranger(server.url);
  for (char const* id : {"p1", "p2", "p3"}) EXPECT_EQ(alice.Create(id, "k", "s"), "ok");
  EXPECT_EQ(alice.Create("p1", "k", "s"), Error("already_exists"));
  EXPECT_EQ(alice.KeyIdOf("nobody"), "!" + Error("not_found"));
  EXPECT_EQ(alice.KeyIdOf("p2"), "k");
  EXPECT_TRUE(stranger.List().empty());

  // A call is counted once its answer is written, which its client may see a moment before:
  // scrape until nothing but the scrape itself is in flight.
  Fetched page;
  std::map<std::string, double> samples;
  for (int i = 0; i < 200; ++i) {
    page = Get(PortOf(server.url), "/metrics");
    samples = Samples(page.body);
    if (page.status != 200 || samples["tirn_calls_in_flight"] == 1) break;
    std::this_thread::sleep_for(10ms);
  }
  ASSERT_EQ(page.status, 200) << page.body;
  auto const checked = TestSupport::Run({"/usr/bin/promtool", "check", "metrics"}, page.body);
  EXPECT_EQ(checked.status, 0) << "promtool: " << checked.out << checked.err;
  auto const calls = [](char const* operation, std::string const& outcome) {
    return std::string("tirn_calls_total{operation=\"kms.providers.") + operation +
           "\",outcome=\"" + outcome + "\"}";
  };
  std::map<std::string, double> const expected = {
      {calls("create", "ok"), 3},
      {calls("create", Error("already_exists")), 1},
      {calls("get", "ok"), 1},
      {calls("get", Error("not_found")), 1},
      {calls("list", Error("unauthenticated")), 1},
      {R"(tirn_call_duration_seconds_count{operation="kms.providers.create"})", 4},
      {R"(tirn_store_operations_total{operation="create_provider"})", 4},
      {R"(tirn_store_operations_total{operation="get_provider"})", 2},
      {R"(tirn_store_operations_total{operation="list_providers"})", 0},
      {R"(tirn_store_failures_total{operation="create_provider"})", 0},
      {"tirn_calls_in_flight", 1},  // this scrape
      {R"(tirn_connections_total{event="refused"})", 0},
      {R"(tirn_build_info{version=")" TIRN_VERSION R"("})", 1},
  };
  for (auto const& [name, value] : expected) {
    auto const found = samples.find(name);
    ASSERT_NE(found, samples.end()) << name << " is missing from\n" << page.body;
    EXPECT_EQ(found->second, value) << name;
  }
  // The two clients' and this scrape's; an earlier scrape's may not have closed yet.
  EXPECT_GE(samples["tirn_connections_open"], 3);
  double const started = samples.at("process_start_time_seconds");
  double const now =
      std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  EXPECT_TRUE(started > now - 60 && started <= now) << started;
  EXPECT_EQ(Stop(server.process), 0);
}

// --metrics-listen serves the page on a listener of its own, and nothing else there;
// --metrics-token makes it ask for a token. (A token file others may read is warned of, without
// its tokens, and the server starts.)
TEST_F(ServerProgram, MetricsOnAListenerOfTheirOwn) {
  std::string const tokens =
      WriteFile(dir.path + "/tokens", kAlice + std::string(" alice\n"), 0644);
  Running server(Serve(":memory:", {"--tokens", tokens, "--metrics-listen", "127.0.0.1:0",
                                    "--metrics-token"}),
                 dir.path);
  ASSERT_FALSE(server.url.empty()) << server.line << server.process.Stderr();
  std::string const metricsLine = server.process.NextLine();
  ASSERT_EQ(metricsLine.rfind("metrics on http://127.0.0.1:", 0), 0u) << metricsLine;
  std::string const metricsPort = PortOf(metricsLine.substr(0, metricsLine.rfind('/')));

  // The main listener no longer knows the path (404); the metrics listener serves nothing but
  // the page and the health check.
  EXPECT_EQ(Get(PortOf(server.url), "/metrics", kAlice).status, 404);
  for (char const* path : {"/v1/operations", "/v1/openapi.json", "/readyz"}) {
    EXPECT_EQ(Get(metricsPort, path, kAlice).status, 404) << path;
  }
  EXPECT_EQ(Get(metricsPort, "/metrics").status, 401);
  Fetched const page = Get(metricsPort, "/metrics", kAlice);
  EXPECT_EQ(page.status, 200);
  EXPECT_TRUE(Contains(page.body, "tirn_calls_total")) << page.body;
  EXPECT_EQ(Get(metricsPort, "/healthz").status, 200);
  Client onMetrics("http://127.0.0.1:" + metricsPort, kAlice);
  EXPECT_TRUE(onMetrics.List().empty());  // answered 404: no operation is served there
  EXPECT_EQ(Stop(server.process), 0);
  std::string const log = server.process.Stderr();
  EXPECT_PRED2(Contains, log, "warning: the token file " + tokens + " can be read by others");
  EXPECT_PRED2(Contains, log, "chmod 600 " + tokens);
  EXPECT_FALSE(Contains(log, kAlice)) << log;
}

}  // namespace
