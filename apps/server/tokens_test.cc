#include "apps/server/tokens.h"

#include <gtest/gtest.h>

namespace ServerApp {
namespace {

TEST(TokenFile, LinesNameCallersAndMistakesNameTheLine) {
  TokenTable tokens;
  std::string error;
  ASSERT_TRUE(ParseTokens("# operators\n\n  t0ken   alice  \nsecond\tbob the builder\r\n  # x y\n",
                          "tokens.txt", tokens, error))
      << error;
  EXPECT_EQ(tokens.size(), 2u);
  EXPECT_EQ(tokens.Find("t0ken"), "alice");
  EXPECT_EQ(tokens.Find("second"), "bob the builder");
  for (char const* stranger : {"", "t0ke", "t0kenn", "T0KEN", "alice"}) {
    EXPECT_EQ(tokens.Find(stranger), "") << stranger;
  }

  struct Case {
    std::string text;
    char const* error;
  } const cases[] = {
      {"ok name\nlonely-token-123\n", "t.txt:2: a token needs a caller name"},
      {"dup a\ndup b\n", "t.txt:2: this token is already listed"},
      {"sha256:abc alice\n", "t.txt:1: a sha256: entry wants 64 hexadecimal digits"},
      {"sha256:" + std::string(63, 'a') + "g alice\n",
       "t.txt:1: a sha256: entry wants 64 hexadecimal digits"},
      {HashedToken("dup") + " a\ndup b\n", "t.txt:2: this token is already listed"},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.text);
    TokenTable table;
    EXPECT_FALSE(ParseTokens(c.text, "t.txt", table, error));
    EXPECT_EQ(error.rfind(c.error, 0), 0u) << error;
    EXPECT_EQ(error.find("lonely-token-123"), std::string::npos) << "a token in an error";
  }
}

// A line may hold the token's SHA-256 instead of the token: the file then holds nothing a
// caller could present, and the token still opens the door.
TEST(TokenFile, DigestsStandForTheirTokens) {
  EXPECT_EQ(HashedToken("t0ken"),
            "sha256:b46c09677343261f0b439a472422225e3a230c9c094d6ab16762e2036b597053");
  TokenTable tokens;
  std::string error;
  ASSERT_TRUE(ParseTokens(HashedToken("t0ken") + " alice\nplain bob\n", "t.txt", tokens, error))
      << error;
  EXPECT_EQ(tokens.Find("t0ken"), "alice");
  EXPECT_EQ(tokens.Find(HashedToken("t0ken")), "");  // the digest itself is no token
  EXPECT_EQ(tokens.Find("plain"), "bob");
}

TEST(TokenFile, TheAuthenticatorNamesTheCaller) {
  TokenTable tokens;
  ASSERT_TRUE(tokens.Add("t0ken", "alice"));
  EXPECT_FALSE(tokens.Add("t0ken", "mallory"));
  auto authenticate = tokens.Authenticator();
  Tirn::Http::Credentials credentials;
  Tirn::Core::SecurityContextWrappedEntry identity;
  credentials.bearerToken = "t0ken";
  ASSERT_TRUE(authenticate(credentials, identity));
  EXPECT_EQ(identity.text, "alice");
  credentials.bearerToken = "guess";
  EXPECT_FALSE(authenticate(credentials, identity));
  credentials.bearerToken.clear();
  EXPECT_FALSE(authenticate(credentials, identity));
  std::string error;
  EXPECT_FALSE(ReadTokenFile("/nonexistent/tokens.txt", tokens, error));
  EXPECT_NE(error.find("/nonexistent/tokens.txt"), std::string::npos);
}

}  // namespace
}  // namespace ServerApp
