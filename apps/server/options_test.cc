#include "apps/server/options.h"

#include <gtest/gtest.h>

#include <vector>

#include "apps/common/defaults.h"

namespace ServerApp {
namespace {

ParsedOptions Parse(std::vector<char const*> args) {
  args.insert(args.begin(), "tirn-server");
  return ParseOptions(static_cast<int>(args.size()), args.data());
}

TEST(ServerOptions, DefaultsAndEveryOption) {
  auto const defaults = Parse({});
  ASSERT_EQ(defaults.outcome, ParsedOptions::kRun) << defaults.text;
  EXPECT_EQ(defaults.config.host, "127.0.0.1");
  EXPECT_EQ(defaults.config.port, Apps::kDefaultPort);
  EXPECT_EQ(defaults.config.dataFile, "tirn-server.db");
  EXPECT_TRUE(defaults.config.keyFile.empty());
  EXPECT_TRUE(defaults.config.tokenFile.empty());
  EXPECT_EQ(defaults.config.logFormat, LogFormat::kText);

  auto const all = Parse({"--listen", "[::1]:0", "--tls-cert", "c.pem", "--tls-key", "k.pem",
                          "--tokens", "t.txt", "--threads", "8", "--log-format", "json", "--data",
                          ":memory:", "--key-file", "x.key"});
  ASSERT_EQ(all.outcome, ParsedOptions::kRun) << all.text;
  EXPECT_EQ(all.config.host, "::1");
  EXPECT_EQ(all.config.port, 0);
  EXPECT_EQ(all.config.tlsCertificateFile, "c.pem");
  EXPECT_EQ(all.config.tlsPrivateKeyFile, "k.pem");
  EXPECT_EQ(all.config.tokenFile, "t.txt");
  EXPECT_EQ(all.config.threads, 8u);
  EXPECT_EQ(all.config.logFormat, LogFormat::kJson);
  EXPECT_EQ(all.config.dataFile, ":memory:");
  EXPECT_EQ(all.config.keyFile, "x.key");
}

TEST(ServerOptions, HelpListsEveryOption) {
  auto const help = Parse({"--help"});
  ASSERT_EQ(help.outcome, ParsedOptions::kHelp);
  for (char const* name : {"--listen", "--tls-cert", "--tls-key", "--tokens", "--threads",
                           "--log-format", "--data", "--key-file", "--help"}) {
    EXPECT_NE(help.text.find(name), std::string::npos) << name;
  }
}

TEST(ServerOptions, MistakesAreErrorsNamingTheOption) {
  struct Case {
    std::vector<char const*> args;
    char const* mentions;
  } const cases[] = {
      {{"--bogus"}, "bogus"},
      {{"--listen", "127.0.0.1"}, "--listen"},
      {{"--listen", "127.0.0.1:65536"}, "--listen"},
      {{"--listen", "::1:80"}, "--listen"},
      {{"--listen", ":80"}, "--listen"},
      {{"--tls-cert", "c.pem"}, "--tls-key"},
      {{"--tls-key", "k.pem"}, "--tls-cert"},
      {{"--threads", "0"}, "--threads"},
      {{"--threads", "many"}, "threads"},
      {{"--log-format", "xml"}, "--log-format"},
      {{"--data", ""}, "--data"},
      {{"--data"}, "data"},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.args.front());
    auto const parsed = Parse(c.args);
    EXPECT_EQ(parsed.outcome, ParsedOptions::kError);
    EXPECT_NE(parsed.text.find(c.mentions), std::string::npos) << parsed.text;
  }
}

}  // namespace
}  // namespace ServerApp
