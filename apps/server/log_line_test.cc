#include "apps/server/log_line.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace ServerApp {
namespace {

// 2026-01-02T03:04:05.678Z
std::chrono::system_clock::time_point const kWhen =
    std::chrono::system_clock::time_point(std::chrono::milliseconds(1767323045678));

TEST(LogLine, AccessLinesInBothForms) {
  Tirn::Http::CallRecord entry;
  entry.peer = "127.0.0.1:5123";
  entry.method = "POST";
  entry.operation = "kms.providers.get";
  entry.status = 200;
  entry.outcome = "com.ostrel.tirn.std.errors.not_found";
  entry.caller = "alice";
  entry.requestBytes = 12;
  entry.answerBytes = 34;
  entry.duration = std::chrono::microseconds(1234);
  // Whatever bytes a client put in its request id, the JSON line is well-formed UTF-8 (the
  // escaper's own test: JsonText.StringsStayJson).
  entry.requestId = "id \"1\"\n\xff";
  EXPECT_EQ(FormatAccessLine(entry, LogFormat::kText, kWhen),
            "2026-01-02T03:04:05.678Z access 127.0.0.1:5123 POST kms.providers.get 200 "
            "com.ostrel.tirn.std.errors.not_found alice 1234us id=id_\"1\"_\xff");
  EXPECT_EQ(FormatAccessLine(entry, LogFormat::kJson, kWhen),
            R"({"time":"2026-01-02T03:04:05.678Z","kind":"access","peer":"127.0.0.1:5123",)"
            R"("method":"POST","operation":"kms.providers.get","status":200,)"
            R"("outcome":"com.ostrel.tirn.std.errors.not_found","caller":"alice",)"
            R"("duration_us":1234,"request_bytes":12,"answer_bytes":34,)"
            R"("request_id":"id \"1\"\u000a\u00ff"})");
  entry.requestId.clear();
  EXPECT_EQ(FormatAccessLine(entry, LogFormat::kText, kWhen),
            "2026-01-02T03:04:05.678Z access 127.0.0.1:5123 POST kms.providers.get 200 "
            "com.ostrel.tirn.std.errors.not_found alice 1234us id=-");
}

TEST(LogLine, NotesStayOnOneLine) {
  EXPECT_EQ(FormatNoteLine("cannot start:\nbad", LogFormat::kText, kWhen),
            "2026-01-02T03:04:05.678Z note cannot start: bad");
  EXPECT_EQ(FormatNoteLine("a\\b", LogFormat::kJson, kWhen),
            R"({"time":"2026-01-02T03:04:05.678Z","kind":"note","message":"a\\b"})");
}

// The time of day is formatted once a second per thread: moving to another second, forward or
// back, gives that second's text, and the milliseconds are always the time's own.
TEST(LogLine, TimesAreRightAcrossSeconds) {
  using std::chrono::milliseconds;
  struct Case {
    long long millis;
    char const* text;
  } const cases[] = {
      {1767323045678, "2026-01-02T03:04:05.678Z"}, {1767323045999, "2026-01-02T03:04:05.999Z"},
      {1767323046000, "2026-01-02T03:04:06.000Z"}, {1767323045001, "2026-01-02T03:04:05.001Z"},
      {1767398399999, "2026-01-02T23:59:59.999Z"}, {1767398400000, "2026-01-03T00:00:00.000Z"},
      {0, "1970-01-01T00:00:00.000Z"},             {-1, "1969-12-31T23:59:59.999Z"},
  };
  for (Case const& c : cases) {
    EXPECT_EQ(FormatTime(std::chrono::system_clock::time_point(milliseconds(c.millis))), c.text);
  }
}

// Lines written from several threads at once come out whole, none lost or mixed.
TEST(LogWriterConcurrency, LinesFromManyThreadsStayWhole) {
  std::FILE* out = std::tmpfile();
  ASSERT_NE(out, nullptr);
  LogWriter log(LogFormat::kText, fileno(out));
  constexpr int kThreads = 4;
  constexpr int kLines = 500;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&log, t] {
      Tirn::Http::CallRecord entry;
      entry.peer = "thread-" + std::to_string(t);
      entry.requestId = std::string(200, static_cast<char>('a' + t));
      for (int i = 0; i < kLines; ++i) {
        entry.status = static_cast<unsigned>(i);
        log.Access(entry);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  std::rewind(out);
  std::map<std::string, int> lines;
  char buffer[1024];
  while (std::fgets(buffer, sizeof buffer, out)) {
    std::string const line = buffer;
    auto const peerAt = line.find(" access thread-");
    ASSERT_NE(peerAt, std::string::npos) << line;
    std::string const peer = line.substr(peerAt + 8, 8);
    char const mark = static_cast<char>('a' + (peer[7] - '0'));
    EXPECT_NE(line.find("id=" + std::string(200, mark) + "\n"), std::string::npos) << line;
    ++lines[peer];
  }
  std::fclose(out);
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(kThreads));
  for (auto const& [peer, count] : lines) EXPECT_EQ(count, kLines) << peer;
}

}  // namespace
}  // namespace ServerApp
