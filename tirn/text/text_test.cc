#include "tirn/text/text.h"

#include <gtest/gtest.h>

#include <list>
#include <string>
#include <tuple>
#include <vector>

namespace {

using Tirn::Text::HostPort;

TEST(Text, HexRoundTripsEveryByteAndRefusesWhatIsNoDigit) {
  unsigned char bytes[256];
  for (int i = 0; i < 256; ++i) bytes[i] = static_cast<unsigned char>(i);
  std::string const hex = Tirn::Text::Hex(bytes, sizeof bytes);
  EXPECT_EQ(hex.substr(0, 8), "00010203");
  EXPECT_EQ(hex.substr(hex.size() - 4), "feff");
  unsigned char back[256] = {};
  ASSERT_TRUE(Tirn::Text::DecodeHex(hex.data(), hex.size(), back, sizeof back));
  EXPECT_EQ(std::string(back, back + 256), std::string(bytes, bytes + 256));

  unsigned char two[2];
  EXPECT_TRUE(Tirn::Text::DecodeHex("aBcD", 4, two, 2));
  EXPECT_EQ(std::string(two, two + 2), "\xab\xcd");
  for (char const* bad : {"abc", "abcde", "abcg", "ab d", "/0ab", ":0ab", "@0ab", "`0ab"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(Tirn::Text::DecodeHex(bad, std::string(bad).size(), two, 2));
  }
}

TEST(Text, TrimAndJoin) {
  EXPECT_EQ(Tirn::Text::Trim(" \t en-GB \t"), "en-GB");
  EXPECT_EQ(Tirn::Text::Trim(" \t "), "");
  EXPECT_EQ(Tirn::Text::Trim("a b"), "a b");
  EXPECT_EQ(Tirn::Text::Trim("\r\nx\r\n", "\r\n"), "x");
  EXPECT_EQ(Tirn::Text::Join(std::vector<std::string>{"a", "", "c"}, ", "), "a, , c");
  EXPECT_EQ(Tirn::Text::Join(std::list<std::string>{}, ", "), "");
  EXPECT_EQ(Tirn::Text::Join(std::vector<char const*>{"one"}, " or "), "one");
}

TEST(Text, HostPortReadsNamesAddressesAndPortsAndRefusesTheRest) {
  // The text, then the host, whether a port is given, and the port read from it.
  std::tuple<char const*, char const*, bool, unsigned short> const rows[] = {
      {"127.0.0.1:8443", "127.0.0.1", true, 8443}, {"kms.example.org", "kms.example.org", false, 0},
      {"[::1]:0", "::1", true, 0}, {"[fe80::1]", "fe80::1", false, 0},
      {"h:65535", "h", true, 65535},
  };
  for (auto const& [text, host, hasPort, port] : rows) {
    SCOPED_TRACE(text);
    HostPort read;
    ASSERT_TRUE(Tirn::Text::ParseHostPort(text, &read));
    EXPECT_EQ(read.host, host);
    EXPECT_EQ(read.hasPort, hasPort);
    EXPECT_EQ(read.port, port);
  }
  for (char const* text : {"h:65536", "h:008080", "h:", ":80", "", "::1", "::1:80", "[::1",
                           "[]:80", "[::1]80", "h:8a", "h:-1"}) {
    SCOPED_TRACE(text);
    HostPort read;
    read.host = "untouched";
    EXPECT_FALSE(Tirn::Text::ParseHostPort(text, &read));
    EXPECT_EQ(read.host, "untouched");
  }
  EXPECT_EQ(Tirn::Text::HostForUrl("::1"), "[::1]");
  EXPECT_EQ(Tirn::Text::HostForUrl("127.0.0.1"), "127.0.0.1");
}

}  // namespace
