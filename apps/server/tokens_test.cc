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
    char const* text;
    char const* error;
  } const cases[] = {
      {"ok name\nlonely-token-123\n", "t.txt:2: a token needs a caller name"},
      {"dup a\ndup b\n", "t.txt:2: this token is already listed"},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.text);
    TokenTable table;
    EXPECT_FALSE(ParseTokens(c.text, "t.txt", table, error));
    EXPECT_EQ(error.rfind(c.error, 0), 0u) << error;
    EXPECT_EQ(error.find("lonely-token-123"), std::string::npos) << "a token in an error";
  }
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
