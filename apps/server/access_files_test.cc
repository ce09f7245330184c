#include "apps/server/access_files.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/test_files.h"

namespace ServerApp {
namespace {

constexpr char kAlice[] = "alice-token-0123456789abcdef";
constexpr char kBob[] = "bob-token-0123456789abcdefgh";

// Who the installed authenticator says calls with `token` and a certificate naming
// `certificateName` (none when empty); "refused" when it refuses.
std::string Caller(Tirn::Http::ServerOptions const& options, std::string const& token,
                   std::string const& certificateName = "") {
  Tirn::Http::Credentials credentials;
  credentials.bearerToken = token;
  if (!certificateName.empty()) {
    credentials.clientCertificate = "/CN=" + certificateName;
    credentials.clientName = certificateName;
  }
  Tirn::Core::SecurityContextWrappedEntry identity;
  if (!options.authenticator(credentials, identity)) return "refused";
  return identity.text.empty() ? "-" : identity.text;
}

TEST(AccessFiles, AReloadThatCannotReadEveryFileKeepsTheTablesInForce) {
  Testing::TempDir dir;
  ServerConfig config;
  config.tokenFile = dir.path + "/tokens";
  config.policyFile = dir.path + "/policy";
  Testing::WriteFile(config.tokenFile, std::string(kAlice) + " alice\n");
  Testing::WriteFile(config.policyFile, "alice *.list\n");
  AccessFiles access(config);
  std::string error;
  std::vector<std::string> warnings;
  ASSERT_TRUE(access.Load(error, warnings)) << error;
  EXPECT_TRUE(warnings.empty());
  Tirn::Http::ServerOptions options;
  access.Install(options);
  EXPECT_EQ(Caller(options, kAlice), "alice");
  EXPECT_EQ(Caller(options, kBob), "refused");
  EXPECT_TRUE(options.authorizer("alice", "kms.providers.list"));
  EXPECT_FALSE(options.authorizer("alice", "kms.providers.delete"));

  // A token file that does not parse: refused, and alice's token and rules still hold. (What
  // files are refused unread: TrustedFile.OnlyARegularFileKeptAsTheRuleSaysIsRead.)
  Testing::WriteFile(config.tokenFile, std::string(kBob) + "\n");
  EXPECT_FALSE(access.Load(error, warnings));
  EXPECT_EQ(Caller(options, kAlice), "alice");
  EXPECT_TRUE(options.authorizer("alice", "kms.providers.list"));

  // A reload that reads: bob in, alice out, with what is worth saying said.
  Testing::WriteFile(config.tokenFile, std::string(kBob) + " bob\n", 0644);
  Testing::WriteFile(config.policyFile, "bob *\nbob kms.provider.*\n");
  ASSERT_TRUE(access.Load(error, warnings)) << error;
  EXPECT_EQ(Caller(options, kAlice), "refused");
  EXPECT_EQ(Caller(options, kBob), "bob");
  ASSERT_EQ(warnings.size(), 2u);
  EXPECT_NE(warnings[0].find("can be read by others"), std::string::npos) << warnings[0];
  EXPECT_NE(warnings[1].find(":2: the rule 'bob kms.provider.*' matches no operation"),
            std::string::npos)
      << warnings[1];
}

// A certificate names its caller in the same namespace as tokens; a call that brings both is
// accepted only when they name the same caller.
TEST(AccessFiles, CertificatesAndTokensNameCallersInOneNamespace) {
  Testing::TempDir dir;
  ServerConfig config;
  config.clientCaFile = dir.path + "/ca.pem";
  AccessFiles certificatesOnly(config);
  Tirn::Http::ServerOptions options;
  certificatesOnly.Install(options);
  EXPECT_EQ(Caller(options, "", "alice"), "alice");
  EXPECT_EQ(Caller(options, "", ""), "-");  // no tokens taken: anonymous

  config.tokenFile = dir.path + "/tokens";
  Testing::WriteFile(config.tokenFile, std::string(kAlice) + " alice\n" + kBob + " bob\n");
  AccessFiles both(config);
  std::string error;
  std::vector<std::string> warnings;
  ASSERT_TRUE(both.Load(error, warnings)) << error;
  Tirn::Http::ServerOptions mixed;
  both.Install(mixed);
  struct Case {
    char const* token;
    char const* certificate;
    char const* caller;
  } const cases[] = {
      {"", "alice", "alice"},      {kAlice, "alice", "alice"}, {kBob, "alice", "refused"},
      {"nope", "alice", "refused"}, {kBob, "", "bob"},          {"", "", "refused"},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(std::string(c.token) + " / " + c.certificate);
    EXPECT_EQ(Caller(mixed, c.token, c.certificate), c.caller);
  }
  // A verified certificate without the naming field names nobody.
  Tirn::Http::Credentials nameless;
  nameless.clientCertificate = "/O=no common name";
  Tirn::Core::SecurityContextWrappedEntry identity;
  EXPECT_FALSE(mixed.authenticator(nameless, identity));
}

}  // namespace
}  // namespace ServerApp
