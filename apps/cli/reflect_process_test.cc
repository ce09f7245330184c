// `tirn`, built with the trusted-infrastructure package only, against the guide's shop served
// over HTTP by the shop example (TIRN_SHOP_PROGRAM --serve): it learns the shop's operations
// from the server and calls every one of them as it calls its own. (Lists and descriptions of
// operations learnt from a server: run_test.cc, which compares them with the built-in ones.)
#include <signal.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/process_helpers.h"
#include "tests/test_files.h"

namespace {

using ServerApp::Testing::Finished;
using ServerApp::Testing::Running;
using ServerApp::Testing::RunToEnd;
using ServerApp::Testing::TempDir;

class ReflectingClient : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(shop.url.empty()) << shop.line << shop.process.Stderr(); }
  void TearDown() override {
    shop.process.Signal(SIGTERM);
    EXPECT_EQ(shop.process.Wait(), 0) << shop.process.Stderr();
  }

  Finished Tirn(std::vector<std::string> args) {
    args.insert(args.begin(), {"--url", shop.url});
    return RunToEnd(TIRN_CLI_PROGRAM, args, dir.path);
  }

  TempDir dir;
  Running shop{TIRN_SHOP_PROGRAM, {"--serve"}, dir.path};
};

bool Has(std::string const& text, std::string const& part) {
  return text.find(part) != std::string::npos;
}

TEST_F(ReflectingClient, CallsEveryOperationWithTypedFields) {
  struct Case {
    std::vector<std::string> args;
    int status;
    std::vector<std::string> inOut;
    std::vector<std::string> notInOut;
    std::string inErr;
  };
  Case const cases[] = {
      {{"store.items", "get", "--item", "A-7"}, 0, {"\"pages\":320", "\"BOOK\""}, {}, ""},
      // The secret the server answers is masked unless asked for.
      {{"store.items", "get", "--item", "G-2"}, 0, {"\"GAME\"", "family"}, {"GAME-KEY-1234"}, ""},
      {{"--show-secrets", "store.items", "get", "--item", "G-2"}, 0, {"GAME-KEY-1234"}, {}, ""},
      {{"--reflect", "store.items", "list"}, 0, {"A-7", "G-2"}, {"GAME-KEY-1234"}, ""},
      // A declared error, with the server's message.
      {{"store.items", "get", "--item", "B-1"}, 1, {}, {}, "Item B-1 is missing."},
      // Fields are typed by the server's definitions, checked before anything is sent.
      {{"store.items", "get", "--pages", "3"}, 2, {}, {}, "pages"},
      {{"--reflect", "kms.providers", "list"}, 2, {}, {}, "there is no service kms.providers"},
  };
  for (Case const& c : cases) {
    std::string const named = ::testing::PrintToString(c.args);
    Finished const ran = Tirn(c.args);
    EXPECT_EQ(ran.status, c.status) << named << "\n" << ran.out << ran.err;
    for (auto const& part : c.inOut) EXPECT_TRUE(Has(ran.out, part)) << named << ": " << ran.out;
    for (auto const& part : c.notInOut) EXPECT_FALSE(Has(ran.out, part)) << named << ": " << ran.out;
    EXPECT_TRUE(Has(ran.err, c.inErr)) << named << ": " << ran.err;
  }
}

TEST(ReflectingClientWithoutServer, SaysTheOperationIsUnknownAndWhyTheServerCouldNotTell) {
  TempDir dir;
  // A port nothing listens on: the connection is refused.
  Finished const ran = RunToEnd(TIRN_CLI_PROGRAM,
                                {"--url", "http://127.0.0.1:1", "--timeout", "0.5", "store.items",
                                 "get", "--item", "A-7"},
                                dir.path);
  EXPECT_EQ(ran.status, 3) << ran.err;
  EXPECT_TRUE(Has(ran.err, "there is no service store.items")) << ran.err;
  EXPECT_TRUE(Has(ran.err, "service_unavailable")) << ran.err;
}

}  // namespace
