#include "apps/server/options.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "apps/common/defaults.h"
#include "tests/test_files.h"

namespace ServerApp {
namespace {

ParsedOptions Parse(std::vector<char const*> args, std::vector<char const*> environment = {}) {
  args.insert(args.begin(), "tirn-server");
  environment.push_back(nullptr);
  return ParseOptions(static_cast<int>(args.size()), args.data(), environment.data());
}

// A configuration file with `text`, removed with the fixture.
struct ConfigFile {
  explicit ConfigFile(std::string const& text) { std::ofstream(path_) << text; }
  char const* path() const { return path_.c_str(); }

  Testing::TempDir dir_;
  std::string path_ = dir_.path + "/tirn.conf";
};

// The settings the tests look at, by name, as text.
using Settings = std::map<std::string, std::string>;
Settings SettingsOf(ServerConfig const& c) {
  return {{"listen", c.host + ":" + std::to_string(c.port)},
          {"tls", c.tlsCertificateFile + "," + c.tlsPrivateKeyFile},
          {"tokens", c.tokenFile},
          {"threads", std::to_string(c.threads) + "/" + std::to_string(c.callThreads)},
          {"log", c.logFormat == LogFormat::kJson ? "json" : "text"},
          {"data", c.dataFile + " key=" + c.keyFile},
          {"metrics", (c.metricsSeparate ? c.metricsHost + ":" + std::to_string(c.metricsPort)
                                         : std::string("-")) +
                          (c.metricsNeedToken ? " token" : "")},
          {"window", std::to_string(c.idempotencyWindow.count())},
          {"unknown", c.keepUnknownFields ? "keep" : "refuse"}};
}

// Each run's settings are the defaults but for those its row changes: flags win over the
// environment, which wins over the file. A mistake on the command line, in the environment or
// in the file is an error naming the option, the variable or the file's line.
TEST(ServerOptions, SettingsFromEverySourceAndMistakesNamingWhereTheyAre) {
  Settings const defaults = {{"listen", "127.0.0.1:" + std::to_string(Apps::kDefaultPort)},
                             {"tls", ","}, {"tokens", ""}, {"threads", "2/8"}, {"log", "text"},
                             {"data", "tirn-server.db key="}, {"metrics", "-"},
                             {"window", "86400"}, {"unknown", "refuse"}};
  ConfigFile file(
      "# a comment\n"
      "listen = 127.0.0.1:9001\n"
      "threads = 3\n"
      "tokens = from-file.txt\n"
      "log-format = json\n"
      "metrics-token = true\n");
  Settings const fromFile = {{"listen", "127.0.0.1:9001"}, {"threads", "3/8"},
                             {"tokens", "from-file.txt"}, {"log", "json"}, {"metrics", "- token"}};
  // The file's settings, but for `changed`.
  auto const overFile = [&](Settings changed) {
    changed.insert(fromFile.begin(), fromFile.end());
    return changed;
  };
  std::string const configVariable = std::string("TIRN_SERVER_CONFIG=") + file.path();
  ConfigFile unknownLine("# the server\n\nlistn = 127.0.0.1:1\n");
  ConfigFile noEquals("listen = 127.0.0.1:1\nthreads 4\n");
  struct Case {
    std::vector<char const*> args;
    std::vector<char const*> environment;
    Settings changed;             // from the defaults
    char const* error = nullptr;  // part of the error; none: the server runs
  } const cases[] = {
      {{}, {}, {}},
      {{"--unknown-fields", "keep"}, {}, {{"unknown", "keep"}}},
      {{"--idempotency-window", "90"}, {}, {{"window", "90"}}},
      {{"--idempotency-window", "90s"}, {}, {{"window", "90"}}},
      {{"--idempotency-window", "15m"}, {}, {{"window", "900"}}},
      {{"--idempotency-window", "24h"}, {}, {{"window", "86400"}}},
      {{"--idempotency-window", "7d"}, {}, {{"window", "604800"}}},
      {{"--listen", "[::1]:0", "--tls-cert", "c.pem", "--tls-key", "k.pem", "--tokens", "t.txt",
        "--threads", "8", "--call-threads", "3", "--log-format", "json", "--data", ":memory:",
        "--key-file", "x.key", "--metrics-listen", "127.0.0.2:9100", "--metrics-token"},
       {},
       {{"listen", "::1:0"}, {"tls", "c.pem,k.pem"}, {"tokens", "t.txt"}, {"threads", "8/3"},
        {"log", "json"}, {"data", ":memory: key=x.key"}, {"metrics", "127.0.0.2:9100 token"}}},
      // The file alone, the environment over it, a flag over both, the file named by the
      // environment.
      {{"--config", file.path()}, {}, fromFile},
      {{"--config", file.path()},
       {"TIRN_SERVER_LISTEN=127.0.0.1:9002", "TIRN_SERVER_TOKENS=from-env.txt"},
       overFile({{"listen", "127.0.0.1:9002"}, {"tokens", "from-env.txt"}})},
      {{"--config", file.path(), "--listen", "127.0.0.1:9003", "--threads", "5"},
       {"TIRN_SERVER_LISTEN=127.0.0.1:9002", "TIRN_SERVER_THREADS=4"},
       overFile({{"listen", "127.0.0.1:9003"}, {"threads", "5/8"}})},
      {{}, {configVariable.c_str()}, fromFile},
      // Variables of other programs are not ours to judge.
      {{}, {"TIRN_URL=http://x", "PATH=/bin", "TIRN_SERVERX=1"}, {}},
      {{"--bogus"}, {}, {}, "bogus"},
      {{"--listen", "127.0.0.1"}, {}, {}, "--listen"},
      {{"--listen", "127.0.0.1:65536"}, {}, {}, "--listen"},
      {{"--listen", "::1:80"}, {}, {}, "--listen"},
      {{"--listen", ":80"}, {}, {}, "--listen"},
      {{"--tls-cert", "c.pem"}, {}, {}, "--tls-key"},
      {{"--tls-key", "k.pem"}, {}, {}, "--tls-cert"},
      {{"--threads", "0"}, {}, {}, "--threads"},
      {{"--threads", "many"}, {}, {}, "threads"},
      {{"--call-threads", "257"}, {}, {}, "--call-threads"},
      {{"--log-format", "xml"}, {}, {}, "--log-format"},
      {{"--data", ""}, {}, {}, "--data"},
      {{"--data"}, {}, {}, "data"},
      {{"--metrics-listen", "9100"}, {}, {}, "--metrics-listen"},
      {{"--metrics-token"}, {}, {}, "--tokens"},
      {{"--unknown-fields", "drop"}, {}, {}, "--unknown-fields"},
      {{"stray"}, {}, {}, "unexpected argument 'stray'"},
      {{"--threads", "2", "8"}, {}, {}, "unexpected argument '8'"},
      {{"--drian-delay", "1"}, {}, {}, "(did you mean --drain-delay?)"},
      {{"--idempotency-window", "0"}, {}, {}, "--idempotency-window"},
      {{"--idempotency-window", "366d"}, {}, {}, "--idempotency-window"},
      {{"--idempotency-window", "2x"}, {}, {}, "--idempotency-window"},
      {{"--idempotency-window", "h"}, {}, {}, "--idempotency-window"},
      {{}, {"TIRN_SERVER_LISTN=127.0.0.1:1"}, {}, "TIRN_SERVER_LISTN"},
      {{}, {"TIRN_SERVER_HELP=1"}, {}, "TIRN_SERVER_HELP"},
      {{}, {"TIRN_SERVER_=1"}, {}, "TIRN_SERVER_"},
      {{}, {"TIRN_SERVER_TOKENS="}, {}, "--tokens"},
      {{"--config", unknownLine.path()}, {}, {},
       ":3: no setting is called 'listn' (did you mean listen?)"},
      {{"--config", noEquals.path()}, {}, {}, ":2: expected 'name = value', not 'threads 4'"},
      {{"--config", "/nonexistent/tirn.conf"}, {}, {}, "/nonexistent/tirn.conf"},
      {{"--policy", ""}, {}, {}, "--policy"},
      {{"--tokens", "t"}, {"TIRN_SERVER_METRICS_TOKEN=perhaps"}, {}, "metrics-token"},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args) + ::testing::PrintToString(c.environment));
    auto const parsed = Parse(c.args, c.environment);
    if (c.error) {
      EXPECT_EQ(parsed.outcome, ParsedOptions::kError);
      EXPECT_NE(parsed.text.find(c.error), std::string::npos) << parsed.text;
      continue;
    }
    ASSERT_EQ(parsed.outcome, ParsedOptions::kRun) << parsed.text;
    Settings expected = c.changed;
    expected.insert(defaults.begin(), defaults.end());
    EXPECT_EQ(SettingsOf(parsed.config), expected);
  }
}

}  // namespace
}  // namespace ServerApp
