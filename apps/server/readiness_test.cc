#include "apps/server/readiness.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "tests/reference_services.h"

namespace ServerApp {
namespace {

// A store whose readiness the test sets; it holds no records.
struct SwitchedStore final : Reference::Testing::FailingStore {
  bool Ready(std::string& why) override {
    if (!ready) why = "the database is away";
    return ready;
  }
  bool ready = true;
};

// The probe follows the store, says each change once in the log however often it is asked,
// and once the instance drains it is not ready whatever the store says.
TEST(Readiness, FollowsTheStoreSaysEachChangeOnceAndDrains) {
  SwitchedStore store;
  std::FILE* out = std::tmpfile();
  ASSERT_NE(out, nullptr);
  LogWriter log(LogFormat::kText, fileno(out));
  Readiness readiness(store, log);
  auto const probe = readiness.Endpoint();
  EXPECT_EQ(probe.path, "/readyz");
  EXPECT_TRUE(probe.open);
  struct Step {
    bool storeReady;
    bool drain;
    unsigned status;
    char const* body;
  } const steps[] = {
      {true, false, 200, R"({"status":"ready"})"},
      {false, false, 503, R"({"status":"unavailable"})"},
      {false, false, 503, R"({"status":"unavailable"})"},
      {true, false, 200, R"({"status":"ready"})"},
      {true, true, 503, R"({"status":"draining"})"},
  };
  for (auto const& step : steps) {
    store.ready = step.storeReady;
    if (step.drain) readiness.Drain();
    auto const answer = probe.answer();
    EXPECT_EQ(answer.status, step.status);
    EXPECT_EQ(answer.body, step.body);
  }
  std::string said;
  std::rewind(out);
  for (int c; (c = std::fgetc(out)) != EOF;) said += static_cast<char>(c);
  std::fclose(out);
  EXPECT_EQ(said.find("not ready: the records cannot be served now: the database is away"),
            said.rfind("not ready"));
  EXPECT_NE(said.find("ready: the records can be served again"), std::string::npos) << said;
}

}  // namespace
}  // namespace ServerApp
