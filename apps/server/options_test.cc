#include "apps/server/options.h"

#include <gtest/gtest.h>

#include <fstream>
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

TEST(ServerOptions, DefaultsAndEveryOption) {
  auto const defaults = Parse({});
  ASSERT_EQ(defaults.outcome, ParsedOptions::kRun) << defaults.text;
  EXPECT_EQ(defaults.config.host, "127.0.0.1");
  EXPECT_EQ(defaults.config.port, Apps::kDefaultPort);
  EXPECT_EQ(defaults.config.dataFile, "tirn-server.db");
  EXPECT_TRUE(defaults.config.keyFile.empty());
  EXPECT_TRUE(defaults.config.tokenFile.empty());
  EXPECT_EQ(defaults.config.logFormat, LogFormat::kText);
  EXPECT_EQ(defaults.config.threads, 2u);
  EXPECT_EQ(defaults.config.callThreads, 8u);
  EXPECT_FALSE(defaults.config.keepUnknownFields);
  EXPECT_TRUE(Parse({"--unknown-fields", "keep"}).config.keepUnknownFields);
  EXPECT_EQ(defaults.config.idempotencyWindow, std::chrono::hours(24));
  for (auto const& [text, seconds] : std::vector<std::pair<char const*, long long>>{
           {"90", 90}, {"90s", 90}, {"15m", 900}, {"24h", 86400}, {"7d", 604800}}) {
    EXPECT_EQ(Parse({"--idempotency-window", text}).config.idempotencyWindow.count(), seconds)
        << text;
  }

  auto const all = Parse({"--listen", "[::1]:0", "--tls-cert", "c.pem", "--tls-key", "k.pem",
                          "--tokens", "t.txt", "--threads", "8", "--call-threads", "3", "--log-format", "json", "--data",
                          ":memory:", "--key-file", "x.key", "--metrics-listen", "127.0.0.2:9100",
                          "--metrics-token"});
  ASSERT_EQ(all.outcome, ParsedOptions::kRun) << all.text;
  EXPECT_EQ(all.config.host, "::1");
  EXPECT_EQ(all.config.port, 0);
  EXPECT_EQ(all.config.tlsCertificateFile, "c.pem");
  EXPECT_EQ(all.config.tlsPrivateKeyFile, "k.pem");
  EXPECT_EQ(all.config.tokenFile, "t.txt");
  EXPECT_EQ(all.config.threads, 8u);
  EXPECT_EQ(all.config.callThreads, 3u);
  EXPECT_EQ(all.config.logFormat, LogFormat::kJson);
  EXPECT_EQ(all.config.dataFile, ":memory:");
  EXPECT_EQ(all.config.keyFile, "x.key");
  EXPECT_TRUE(all.config.metricsSeparate);
  EXPECT_EQ(all.config.metricsHost, "127.0.0.2");
  EXPECT_EQ(all.config.metricsPort, 9100);
  EXPECT_TRUE(all.config.metricsNeedToken);
  EXPECT_FALSE(defaults.config.metricsSeparate);
  EXPECT_FALSE(defaults.config.metricsNeedToken);
}

TEST(ServerOptions, FlagsWinOverTheEnvironmentWhichWinsOverTheFile) {
  ConfigFile file(
      "# a comment\n"
      "listen = 127.0.0.1:9001\n"
      "threads = 3\n"
      "tokens = from-file.txt\n"
      "log-format = json\n"
      "metrics-token = true\n");
  std::string const configVariable = std::string("TIRN_SERVER_CONFIG=") + file.path();
  struct Case {
    char const* what;
    std::vector<char const*> args;
    std::vector<char const*> environment;
    unsigned short port;
    unsigned threads;
    char const* tokens;
  } const cases[] = {
      {"file alone", {"--config", file.path()}, {}, 9001, 3, "from-file.txt"},
      {"environment over file",
       {"--config", file.path()},
       {"TIRN_SERVER_LISTEN=127.0.0.1:9002", "TIRN_SERVER_TOKENS=from-env.txt"},
       9002, 3, "from-env.txt"},
      {"flag over both",
       {"--config", file.path(), "--listen", "127.0.0.1:9003", "--threads", "5"},
       {"TIRN_SERVER_LISTEN=127.0.0.1:9002", "TIRN_SERVER_THREADS=4"},
       9003, 5, "from-file.txt"},
      {"file named by the environment", {}, {configVariable.c_str()}, 9001, 3, "from-file.txt"},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.what);
    auto const parsed = Parse(c.args, c.environment);
    ASSERT_EQ(parsed.outcome, ParsedOptions::kRun) << parsed.text;
    EXPECT_EQ(parsed.config.port, c.port);
    EXPECT_EQ(parsed.config.threads, c.threads);
    EXPECT_EQ(parsed.config.tokenFile, c.tokens);
    EXPECT_EQ(parsed.config.logFormat, LogFormat::kJson);
    EXPECT_TRUE(parsed.config.metricsNeedToken);
  }
  // Variables of other programs are not ours to judge.
  auto const unrelated = Parse({}, {"TIRN_URL=http://x", "PATH=/bin", "TIRN_SERVERX=1"});
  EXPECT_EQ(unrelated.outcome, ParsedOptions::kRun) << unrelated.text;
}

// A mistake on the command line, in the environment or in the file is an error naming the
// option, the variable or the file's line.
TEST(ServerOptions, MistakesAreErrorsNamingWhereTheyAre) {
  ConfigFile unknownLine("# the server\n\nlistn = 127.0.0.1:1\n");
  ConfigFile noEquals("listen = 127.0.0.1:1\nthreads 4\n");
  ConfigFile badValue("threads = lots\n");
  struct Case {
    std::vector<char const*> args;
    std::vector<char const*> environment;
    char const* mentions;
  } const cases[] = {
      {{"--bogus"}, {}, "bogus"},
      {{"--listen", "127.0.0.1"}, {}, "--listen"},
      {{"--listen", "127.0.0.1:65536"}, {}, "--listen"},
      {{"--listen", "::1:80"}, {}, "--listen"},
      {{"--listen", ":80"}, {}, "--listen"},
      {{"--tls-cert", "c.pem"}, {}, "--tls-key"},
      {{"--tls-key", "k.pem"}, {}, "--tls-cert"},
      {{"--threads", "0"}, {}, "--threads"},
      {{"--threads", "many"}, {}, "threads"},
      {{"--call-threads", "257"}, {}, "--call-threads"},
      {{"--log-format", "xml"}, {}, "--log-format"},
      {{"--data", ""}, {}, "--data"},
      {{"--data"}, {}, "data"},
      {{"--metrics-listen", "9100"}, {}, "--metrics-listen"},
      {{"--metrics-token"}, {}, "--tokens"},
      {{"--unknown-fields", "drop"}, {}, "--unknown-fields"},
      {{"stray"}, {}, "unexpected argument 'stray'"},
      {{"--threads", "2", "8"}, {}, "unexpected argument '8'"},
      {{"--drian-delay", "1"}, {}, "(did you mean --drain-delay?)"},
      {{"--idempotency-window", "0"}, {}, "--idempotency-window"},
      {{"--idempotency-window", "366d"}, {}, "--idempotency-window"},
      {{"--idempotency-window", "2x"}, {}, "--idempotency-window"},
      {{"--idempotency-window", "h"}, {}, "--idempotency-window"},
      {{}, {"TIRN_SERVER_LISTN=127.0.0.1:1"}, "TIRN_SERVER_LISTN"},
      {{}, {"TIRN_SERVER_HELP=1"}, "TIRN_SERVER_HELP"},
      {{}, {"TIRN_SERVER_=1"}, "TIRN_SERVER_"},
      {{}, {"TIRN_SERVER_TOKENS="}, "--tokens"},
      {{}, {"TIRN_SERVER_THREADS=0"}, "--threads"},
      {{"--config", unknownLine.path()}, {},
       ":3: no setting is called 'listn' (did you mean listen?)"},
      {{"--config", noEquals.path()}, {}, ":2: expected 'name = value', not 'threads 4'"},
      {{"--config", badValue.path()}, {}, "threads"},
      {{"--config", "/nonexistent/tirn.conf"}, {}, "/nonexistent/tirn.conf"},
      {{"--policy", ""}, {}, "--policy"},
      {{"--tokens", "t"}, {"TIRN_SERVER_METRICS_TOKEN=perhaps"}, "metrics-token"},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.mentions);
    auto const parsed = Parse(c.args, c.environment);
    EXPECT_EQ(parsed.outcome, ParsedOptions::kError);
    EXPECT_NE(parsed.text.find(c.mentions), std::string::npos) << parsed.text;
  }
}

}  // namespace
}  // namespace ServerApp
