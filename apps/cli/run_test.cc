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
};

TEST(Run, DrawsAProgressBarOnATerminalAndClearsIt) {
  Served served;
  for (bool terminal : {true, false}) {
    SCOPED_TRACE(terminal);
    std::istringstream in;
    std::ostringstream out, err;
    Apps::Cli::Console console(in, out, err);
    console.errIsTerminal = terminal;
    int status = Apps::Cli::Run({"--url", served.url, "kms.providers", "get", "--provider", "p"},
                                TI::Operations(), console);
    EXPECT_EQ(status, 0) << err.str();
    EXPECT_EQ(out.str(), "{\"native_info\":null,\"type\":\"TRUST_AUTHORITY\"}\n");
    if (terminal) {
      EXPECT_EQ(err.str(), "\r" + Apps::Cli::ProgressLine({0, 4, 1}) + "\r" +
                               Apps::Cli::ProgressLine({0, 4, 3}) + "\r\033[K");
    } else {
      EXPECT_EQ(err.str(), "");
    }
  }
}

// A URL that cannot be called is a usage error (exit 2) naming what is wrong, never an
// exception or a transport failure.
TEST(Run, AMalformedUrlIsAUsageError) {
  struct Case {
    char const* url;
    char const* says;
  } const cases[] = {
      {"ftp://127.0.0.1:1", "http:// or https://"},
      {"http://127.0.0.1:1/v1", "scheme://host[:port]"},
      {"http://", "scheme://host[:port]"},
      {"http://[::1:80", "malformed URL"},
      {"http://127.0.0.1:99999", "malformed host or port"},
      {"http://127.0.0.1:", "malformed host or port"},
      {"http://127.0.0.1:0", "malformed host or port"},
      {"http://::1:80", "malformed host or port"},  // an IPv6 address needs brackets
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.url);
    std::istringstream in;
    std::ostringstream out, err;
    Apps::Cli::Console console(in, out, err);
    EXPECT_EQ(Apps::Cli::Run({"--url", c.url, "kms.providers", "list"}, TI::Operations(), console),
              2);
    EXPECT_NE(err.str().find(c.says), std::string::npos) << err.str();
    EXPECT_EQ(out.str(), "");
  }
}

TEST(Run, AsksForAMissingSecretOnTheTerminalAndPrintsPrettyJsonThere) {
  Served served;
  std::istringstream in;
  std::ostringstream out, err;
  Apps::Cli::Console console(in, out, err);
  console.inIsTerminal = true;
  console.outIsTerminal = true;
  std::vector<std::string> asked;
  console.promptSecret = [&asked](std::string const& path, Tirn::SecretString* secret) {
    asked.push_back(path);
    *secret = Tirn::SecretString("kdk-typed");
    return true;
  };
  int status = Apps::Cli::Run({"--url", served.url, "kms.providers", "create", "--spec.provider",
                               "p", "--spec.native_spec.key_id", "k"},
                              TI::Operations(), console);
  EXPECT_EQ(status, 0) << err.str();
  EXPECT_EQ(asked, std::vector<std::string>{"spec.native_spec.key_derivation_key"});
  {
    std::lock_guard<std::mutex> lock(served.providers->mutex);
    EXPECT_EQ(served.providers->key, "kdk-typed");
  }

  // A prompt left unanswered leaves the secret missing: refused, nothing sent.
  console.promptSecret = [](std::string const&, Tirn::SecretString*) { return false; };
  status = Apps::Cli::Run({"--url", served.url, "kms.providers", "create", "--spec.provider", "q",
                           "--spec.native_spec.key_id", "k"},
                          TI::Operations(), console);
  EXPECT_EQ(status, 2);
  EXPECT_NE(err.str().find("spec.native_spec.key_derivation_key"), std::string::npos) << err.str();

  out.str("");
  status = Apps::Cli::Run({"--url", served.url, "kms.providers", "get", "--provider", "p"},
                          TI::Operations(), console);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(out.str(), "{\n  \"native_info\": null,\n  \"type\": \"TRUST_AUTHORITY\"\n}\n");
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
    std::istringstream in;
    std::ostringstream out, err;
    Apps::Cli::Console console(in, out, err);
    args.insert(args.begin(), {"--output", "json", "describe"});
    EXPECT_EQ(Apps::Cli::Run(args, TI::Operations(), console), 0) << err.str();
    return out.str();
  };
  auto document = [](std::string const& entries) {
    return "{\"operations\":[" + entries + "]}";
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
  EXPECT_NE(all.find(R"("description":"Reads one key provider: its kind and, for a native provider, )"
                     R"(its key identifier. NotFound when there is no such provider.","errors":[)"),
            std::string::npos)
      << all;
  EXPECT_NE(all.find(R"("key_derivation_key":{"description":"The key-derivation key itself: a secret, )"),
            std::string::npos)
      << all;
  EXPECT_EQ(document(all), served_operations.body);
  EXPECT_EQ(describe({}), served_operations.body + "\n");
  EXPECT_EQ(services.size(), 4u);
  for (auto const& service : services) {
    EXPECT_EQ(describe({service.first}), document(service.second) + "\n") << service.first;
  }
}

// A client built without the server's operations learns them from the server: its
// descriptions are those of a client built with them, and its calls, secrets read from standard
// input included, reach the server as theirs do.
TEST(Run, AClientWithoutTheOperationsAsksTheServerForThem) {
  Served served;
  Tirn::Core::OperationTable const none("", {});
  auto run = [&](std::vector<std::string> args, Tirn::Core::OperationTable const& table,
                 std::string const& input, std::string* output) {
    std::istringstream in(input);
    std::ostringstream out, err;
    Apps::Cli::Console console(in, out, err);
    args.insert(args.begin(), {"--url", served.url});
    int const status = Apps::Cli::Run(args, table, console);
    *output = out.str() + err.str();
    return status;
  };
  std::string compiled, reflected;
  for (auto const& operation : TI::Operations().operations()) {
    for (char const* format : {"text", "json"}) {
      std::vector<std::string> const describe{"--output", format, "describe",
                                              operation.serviceName, operation.operationName};
      ASSERT_EQ(run(describe, TI::Operations(), "", &compiled), 0) << compiled;
      ASSERT_EQ(run(describe, none, "", &reflected), 0) << reflected;
      EXPECT_EQ(reflected, compiled);
    }
  }
  ASSERT_EQ(run({"list"}, TI::Operations(), "", &compiled), 0);
  EXPECT_EQ(run({"--reflect", "list"}, none, "", &reflected), 0);
  EXPECT_EQ(reflected, compiled);

  EXPECT_EQ(run({"kms.providers", "create", "--spec.provider", "p", "--spec.native_spec.key_id",
                 "k"},
                none, "kdk-from-stdin\n", &reflected),
            0)
      << reflected;
  {
    std::lock_guard<std::mutex> lock(served.providers->mutex);
    EXPECT_EQ(served.providers->key, "kdk-from-stdin");
  }
  EXPECT_EQ(run({"kms.providers", "get", "--provider", "p"}, none, "", &reflected), 0);
  EXPECT_EQ(reflected, "{\"native_info\":null,\"type\":\"TRUST_AUTHORITY\"}\n");
  // Typed by the server's definitions: an enumeration name it does not know is refused.
  EXPECT_EQ(run({"kms.providers", "list", "--filter_spec.types", "NOPE"}, none, "", &reflected),
            2);
  EXPECT_NE(reflected.find("NOPE"), std::string::npos) << reflected;
}

}  // namespace
