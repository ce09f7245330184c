#include "apps/cli/run.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <sstream>

#include "com/ostrel/nox/trusted_infrastructure/operations.h"
#include "com/ostrel/nox/trusted_infrastructure/trusted_infrastructure.h"
#include "tests/raw_http.h"
#include "tirn/runtime/call/in_process_provider.h"

namespace {

namespace TI = Com::Ostrel::Nox::TrustedInfrastructure;
namespace Providers = TI::Kms::ProvidersSvc;
using Activation = std::shared_ptr<Tirn::Core::AsyncActivation>;

// Get reports progress twice before it answers; Create keeps the key it was given.
class ProgressingProviders : public Providers::AsyncServiceInterface {
 public:
  void Get(std::string const&, Activation const&,
           Providers::GetMethod::ResultCbType const& result) override {
    result.progress(Tirn::Progress(0, 4, 1));
    result.progress(Tirn::Progress(0, 4, 3));
    auto info = std::make_shared<Providers::Info>();
    info->type = Providers::ProviderType::TRUST_AUTHORITY;
    result.value(info);
  }
  void List(Tirn::OptionalPtr<Providers::FilterSpec const> const&, Activation const&,
            Providers::ListMethod::ResultCbType const& result) override {
    result.value({});
  }
  void Create(std::shared_ptr<Providers::CreateSpec const> const& spec, Activation const&,
              Providers::CreateMethod::ResultCbType const& result) override {
    std::lock_guard<std::mutex> lock(mutex);
    key = spec->native_spec ? spec->native_spec->key_derivation_key.value() : "";
    result.value(Tirn::Void());
  }
  void Update(std::string const&, std::shared_ptr<Providers::UpdateSpec const> const&,
              Activation const&, Providers::UpdateMethod::ResultCbType const& result) override {
    result.value(Tirn::Void());
  }
  void Delete(std::string const&, Activation const&,
              Providers::DeleteMethod::ResultCbType const& result) override {
    result.value(Tirn::Void());
  }

  std::mutex mutex;
  std::string key;
};

// The providers above, served over HTTP on 127.0.0.1.
std::shared_ptr<Tirn::Core::InProcessApiProvider> Bound(
    std::shared_ptr<ProgressingProviders> const& providers) {
  auto provider = std::make_shared<Tirn::Core::InProcessApiProvider>();
  provider->Register(Providers::AsyncServiceBinder::BindImplementation(providers));
  return provider;
}

struct Served {
  std::shared_ptr<ProgressingProviders> providers = std::make_shared<ProgressingProviders>();
  raw_http::Served http{Bound(providers), TI::Operations()};
  std::string url = "http://127.0.0.1:" + std::to_string(http.port());

  // The key the last create was given.
  std::string Key() {
    std::lock_guard<std::mutex> lock(providers->mutex);
    return providers->key;
  }
};

// What Get answers, as compact JSON.
std::string const kGot = "{\"native_info\":null,\"type\":\"TRUST_AUTHORITY\"}\n";

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
  std::string const bar = "\r" + Apps::Cli::ProgressLine({0, 4, 1}) + "\r" +
                          Apps::Cli::ProgressLine({0, 4, 3}) + "\r\033[K";
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
    *secret = Tirn::SecretString("kdk-typed");
    return true;
  };
  std::vector<std::string> const create = {"kms.providers", "create", "--spec.provider", "p",
                                           "--spec.native_spec.key_id", "k"};
  EXPECT_EQ(session.Run(create), 0) << session.err.str();
  EXPECT_EQ(asked, std::vector<std::string>{"spec.native_spec.key_derivation_key"});
  EXPECT_EQ(served.Key(), "kdk-typed");

  // A prompt left unanswered leaves the secret missing: refused, nothing sent.
  session.console.promptSecret = [](std::string const&, Tirn::SecretString*) { return false; };
  EXPECT_EQ(session.Run(create), 2);
  EXPECT_NE(session.err.str().find("spec.native_spec.key_derivation_key"), std::string::npos)
      << session.err.str();

  EXPECT_EQ(session.Run({"kms.providers", "get", "--provider", "p"}), 0);
  EXPECT_EQ(session.out.str(), "{\n  \"native_info\": null,\n  \"type\": \"TRUST_AUTHORITY\"\n}\n");
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
  // The package's documentation is part of the shape.
  for (char const* part :
       {R"("description":"Reads one key provider: its kind and, for a native provider, its key )"
        R"(identifier. NotFound when there is no such provider.","errors":[)",
        R"("key_derivation_key":{"description":"The key-derivation key itself: a secret, )"}) {
    EXPECT_NE(all.find(part), std::string::npos) << part;
  }
  EXPECT_EQ("{\"operations\":[" + all + "]}", served_operations.body);
  EXPECT_EQ(describe({}), served_operations.body + "\n");
  EXPECT_EQ(services.size(), 4u);
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
  Session reflected(served.url, "kdk-from-stdin\n");
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

  std::vector<std::string> const create = {"kms.providers", "create", "--spec.provider", "p",
                                           "--spec.native_spec.key_id", "k"};
  EXPECT_EQ(reflected.Run(create, none), 0) << reflected.err.str();
  EXPECT_EQ(served.Key(), "kdk-from-stdin");
  EXPECT_EQ(reflected.Run({"kms.providers", "get", "--provider", "p"}, none), 0);
  EXPECT_EQ(reflected.out.str() + reflected.err.str(), kGot);
  // Typed by the server's definitions: an enumeration name it does not know is refused.
  EXPECT_EQ(reflected.Run({"kms.providers", "list", "--filter_spec.types", "NOPE"}, none), 2);
  EXPECT_NE(reflected.err.str().find("NOPE"), std::string::npos) << reflected.err.str();
}

}  // namespace
