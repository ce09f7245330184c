#include "apps/server/tokens.h"

#include <gtest/gtest.h>

namespace ServerApp {
namespace {

TEST(TokenFile, LinesNameCallersAndMistakesNameTheLine) {
  std::string const first = "t0ken-0123456789abcdefgh";
  std::string const second = "second-0123456789abcdefg";
  TokenTable tokens;
  std::string error;
  // A line may hold the token's SHA-256 instead of the token: the file then holds nothing a
  // caller could present, and the token still opens the door.
  ASSERT_TRUE(ParseTokens("# operators\n\n  " + first + "   alice  \n" + second +
                              "\tbob the builder\r\n  # x y\n" + HashedToken("t0ken") + " carol\n",
                          "tokens.txt", tokens, error))
      << error;
  EXPECT_EQ(tokens.size(), 3u);
  EXPECT_EQ(tokens.Find(first), "alice");
  EXPECT_EQ(tokens.Find(second), "bob the builder");
  EXPECT_EQ(tokens.Find("t0ken"), "carol");
  EXPECT_EQ(HashedToken("t0ken"),
            "sha256:b46c09677343261f0b439a472422225e3a230c9c094d6ab16762e2036b597053");
  for (std::string const& stranger :
       {std::string(), first.substr(1), first + "n", std::string("T") + first.substr(1),
        std::string("alice"), HashedToken("t0ken")}) {
    EXPECT_EQ(tokens.Find(stranger), "") << stranger;
  }

  std::string const lonely = "lonely-token-0123456789";
  std::string const dup = "dup-0123456789abcdefghij";
  struct Case {
    std::string text;
    char const* error;
  } const cases[] = {
      {first + " name\n" + lonely + "\n", "t.txt:2: a token needs a caller name"},
      {dup + " a\n" + dup + " b\n", "t.txt:2: this token is already listed"},
      {"sha256:abc alice\n", "t.txt:1: a sha256: entry wants 64 hexadecimal digits"},
      {"sha256:" + std::string(63, 'a') + "g alice\n",
       "t.txt:1: a sha256: entry wants 64 hexadecimal digits"},
      {HashedToken(dup) + " a\n" + dup + " b\n", "t.txt:2: this token is already listed"},
      // A weak token, or a stray line whose first word would become one.
      {first + " a\nt0ken alice\n", "t.txt:2: a token must be at least 22 characters long"},
      {"stray line of five words\n", "t.txt:1: a token must be at least 22 characters long"},
      {std::string(21, 'x') + " a\n", "t.txt:1: a token must be at least 22 characters long"},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.text);
    TokenTable table;
    EXPECT_FALSE(ParseTokens(c.text, "t.txt", table, error));
    EXPECT_EQ(error.rfind(c.error, 0), 0u) << error;
    for (char const* secret : {"lonely-token", "t0ken", "xxxxx", "stray", "dup-0123"}) {
      EXPECT_EQ(error.find(secret), std::string::npos) << "a token in an error: " << error;
    }
  }
  TokenTable exact;
  EXPECT_TRUE(ParseTokens(std::string(22, 'x') + " a\n", "t.txt", exact, error)) << error;
  // A file that cannot be read is named. (How the table names callers: access_files_test.)
  EXPECT_FALSE(ReadTokenFile("/nonexistent/tokens.txt", exact, error));
  EXPECT_NE(error.find("/nonexistent/tokens.txt"), std::string::npos);
}

// Made tokens are long, URL-safe and each new.
TEST(TokenFile, NewTokensAreLongAndDistinct) {
  Tirn::SecretString one;
  Tirn::SecretString two;
  std::string error;
  ASSERT_TRUE(NewToken(one, error)) << error;
  ASSERT_TRUE(NewToken(two, error)) << error;
  EXPECT_EQ(one.value().size(), 43u);
  EXPECT_NE(one.value(), two.value());
  EXPECT_EQ(one.value().find_first_not_of(
                "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"),
            std::string::npos)
      << one.value();
}

}  // namespace
}  // namespace ServerApp
