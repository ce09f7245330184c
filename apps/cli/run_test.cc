#include "apps/cli/run.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "com/ostrel/nox/trusted_infrastructure/operations.h"
#include "tests/raw_http.h"
#include "tests/world.h"

namespace {

namespace TI = Com::Ostrel::Nox::TrustedInfrastructure;
using test_world::Script;

// The package's services as tests/world.h scripts them, served over HTTP on 127.0.0.1: each
// reports progress twice before it answers; Create tells whether the spec of
// test_world::ProvidersCreateSpec() arrived, its secret included.
struct Served {
  Served() { world.script->answer = Script::Answer::kProgressThenValue; }

  test_world::World world;
  raw_http::Served http{world.provider, TI::Operations()};
  std::string url = "http://127.0.0.1:" + std::to_string(http.port());
};

// What Get answers, as compact JSON.
std::string const kGot = "{\"native_info\":{\"key_id\":\"key-7\"},\"type\":\"NATIVE\"}\n";

// Creates the provider of test_world::ProvidersCreateSpec(), but for its secret.
std::vector<std::string> const kCreate = {"kms.providers", "create", "--spec.provider", "kms-3",
                                          "--spec.native_spec.key_id", "k"};

// The program's entry point on streams of the test's own, calling `url` when it is given.
struct Session {
  explicit Session(std::string url = "", std::string const& input = "")
      : url(std::move(url)), in(input) {}

  // The exit status; `out` and `err` hold what this run wrote.
  int Run(std::vector<std::string> args,
          Tirn::Core::OperationTable const& table = TI::Operations()) {
    if (!url.empty()) args.insert(args.begin(), {"--url", url});
    out.str("");
    err.str("");
    return Apps::Cli::Run(args, table, console);
  }

  std::string url;
  std::istringstream in;
  std::ostringstream out, err;
  Apps::Cli::Console console{in, out, err};
};

TEST(Run, DrawsAProgressBarOnATerminalAndClearsIt) {
  Served served;
  std::string const bar = "\r" + Apps::Cli::ProgressLine({0, 3, 1}) + "\r" +
                          Apps::Cli::ProgressLine({0, 3, 2}) + "\r\033[K";
  for (bool terminal : {true, false}) {
    SCOPED_TRACE(terminal);
    Session session(served.url);
    session.console.errIsTerminal = terminal;
    EXPECT_EQ(session.Run({"kms.providers", "get", "--provider", "p"}), 0) << session.err.str();
    EXPECT_EQ(session.out.str(), kGot);
    EXPECT_EQ(session.err.str(), terminal ? bar : "");
  }
}

// A URL that cannot be called is a usage error (exit 2) naming what is wrong, never an
// exception or a transport failure.
TEST(Run, AMalformedUrlIsAUsageError) {
  std::pair<char const*, char const*> const cases[] = {  // the URL, and part of what is said
      {"ftp://127.0.0.1:1", "http:// or https://"},
      {"http://127.0.0.1:1/v1", "scheme://host[:port]"},
      {"http://", "scheme://host[:port]"},
      {"http://[::1:80", "malformed URL"},
      {"http://127.0.0.1:99999", "malformed host or port"},
      {"http://127.0.0.1:", "malformed host or port"},
      {"http://127.0.0.1:0", "malformed host or port"},
      {"http://::1:80", "malformed host or port"},  // an IPv6 address needs brackets
  };
  for (auto const& [url, says] : cases) {
    SCOPED_TRACE(url);
    Session session(url);
    EXPECT_EQ(session.Run({"kms.providers", "list"}), 2);
    EXPECT_NE(session.err.str().find(says), std::string::npos) << session.err.str();
    EXPECT_EQ(session.out.str(), "");
  }
}

TEST(Run, AsksForAMissingSecretOnTheTerminalAndPrintsPrettyJsonThere) {
  Served served;
  Session session(served.url);
  session.console.inIsTerminal = true;
  session.console.outIsTerminal = true;
  std::vector<std::string> asked;
  session.console.promptSecret = [&asked](std::string const& path, Tirn::SecretString* secret) {
    asked.push_back(path);
    *secret = Tirn::SecretString("s3cr3t-kdk");
    return true;
  };
  EXPECT_EQ(session.Run(kCreate), 0) << session.err.str();
  EXPECT_EQ(asked, std::vector<std::string>{"spec.native_spec.key_derivation_key"});
  EXPECT_TRUE(served.world.script->inputArrived);

  // A prompt left unanswered leaves the secret missing: refused, nothing sent.
  session.console.promptSecret = [](std::string const&, Tirn::SecretString*) { return false; };
  EXPECT_EQ(session.Run(kCreate), 2);
  EXPECT_NE(session.err.str().find("spec.native_spec.key_derivation_key"), std::string::npos)
      << session.err.str();
  EXPECT_EQ(served.world.script->calls, 1);

  EXPECT_EQ(session.Run({"kms.providers", "get", "--provider", "p"}), 0);
  EXPECT_EQ(session.out.str(),
            "{\n  \"native_info\": {\n    \"key_id\": \"key-7\"\n  },\n"
            "  \"type\": \"NATIVE\"\n}\n");
}

// `tirn describe --output json` prints what the server answers on GET /v1/operations for the
// same table: the whole document, the part of it that is a service's operations, or one
// operation's entry of it.
TEST(Run, DescribesAsJsonWhatTheServerAnswersOnGetOperations) {
  Served served;
  raw_http::Answer const served_operations =
      raw_http::Send(served.http.port(), raw_http::Get("/v1/operations"));
  ASSERT_EQ(served_operations.status, 200) << served_operations.head;
  auto describe = [](std::vector<std::string> args) {
    Session session;
    args.insert(args.begin(), {"--output", "json", "describe"});
    EXPECT_EQ(session.Run(args), 0) << session.err.str();
    return session.out.str();
  };
  std::string all;
  std::map<std::string, std::string> services;
  for (auto const& operation : TI::Operations().operations()) {
    std::string entry = describe({operation.serviceName, operation.operationName});
    ASSERT_EQ(entry.back(), '\n');
    entry.pop_back();
    all += (all.empty() ? "" : ",") + entry;
    std::string& service = services[operation.serviceName];
    service += (service.empty() ? "" : ",") + entry;
  }
  EXPECT_EQ("{\"operations\":[" + all + "]}", served_operations.body);
  EXPECT_EQ(describe({}), served_operations.body + "\n");
  for (auto const& [name, entries] : services) {
    EXPECT_EQ(describe({name}), "{\"operations\":[" + entries + "]}\n") << name;
  }
}

// A client built without the server's operations learns them from the server: its
// descriptions are those of a client built with them, and its calls, secrets read from standard
// input included, reach the server as theirs do.
TEST(Run, AClientWithoutTheOperationsAsksTheServerForThem) {
  Served served;
  Tirn::Core::OperationTable const none("", {});
  Session compiled(served.url);
  Session reflected(served.url, "s3cr3t-kdk\n");
  // Both succeed and write the same; the second without the operations built in.
  auto const same = [&](std::vector<std::string> const& args,
                        std::vector<std::string> const& reflectedArgs) {
    ASSERT_EQ(compiled.Run(args), 0) << compiled.err.str();
    EXPECT_EQ(reflected.Run(reflectedArgs, none), 0) << reflected.err.str();
    EXPECT_EQ(reflected.out.str() + reflected.err.str(), compiled.out.str() + compiled.err.str());
  };
  for (auto const& operation : TI::Operations().operations()) {
    for (char const* format : {"text", "json"}) {
      SCOPED_TRACE(std::string(operation.operationName) + " " + format);
      std::vector<std::string> const describe{"--output", format, "describe",
                                              operation.serviceName, operation.operationName};
      same(describe, describe);
    }
  }
  same({"list"}, {"--reflect", "list"});

  EXPECT_EQ(reflected.Run(kCreate, none), 0) << reflected.err.str();
  EXPECT_TRUE(served.world.script->inputArrived);
  EXPECT_EQ(reflected.Run({"kms.providers", "get", "--provider", "p"}, none), 0);
  EXPECT_EQ(reflected.out.str() + reflected.err.str(), kGot);
  // Typed by the server's definitions: an enumeration name it does not know is refused.
  EXPECT_EQ(reflected.Run({"kms.providers", "list", "--filter_spec.types", "NOPE"}, none), 2);
  EXPECT_NE(reflected.err.str().find("NOPE"), std::string::npos) << reflected.err.str();
}

}  // namespace
