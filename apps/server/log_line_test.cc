#include "apps/server/log_line.h"

#include <gtest/gtest.h>

namespace ServerApp {
namespace {

// 2026-01-02T03:04:05.678Z
std::chrono::system_clock::time_point const kWhen =
    std::chrono::system_clock::time_point(std::chrono::milliseconds(1767323045678));

TEST(LogLine, AccessLinesInBothForms) {
  Tirn::Http::AccessLogEntry entry;
  entry.peer = "127.0.0.1:5123";
  entry.method = "POST";
  entry.operation = "kms.providers.get";
  entry.status = 404;
  entry.duration = std::chrono::microseconds(1234);
  entry.requestId = "id \"1\"\n";
  EXPECT_EQ(FormatAccessLine(entry, LogFormat::kText, kWhen),
            "2026-01-02T03:04:05.678Z access 127.0.0.1:5123 POST kms.providers.get 404 1234us "
            "id=id_\"1\"_");
  EXPECT_EQ(FormatAccessLine(entry, LogFormat::kJson, kWhen),
            R"({"time":"2026-01-02T03:04:05.678Z","kind":"access","peer":"127.0.0.1:5123",)"
            R"("method":"POST","operation":"kms.providers.get","status":404,"duration_us":1234,)"
            R"("request_id":"id \"1\"\u000a"})");
  entry.requestId.clear();
  EXPECT_EQ(FormatAccessLine(entry, LogFormat::kText, kWhen),
            "2026-01-02T03:04:05.678Z access 127.0.0.1:5123 POST kms.providers.get 404 1234us id=-");
}

TEST(LogLine, NotesStayOnOneLine) {
  EXPECT_EQ(FormatNoteLine("cannot start:\nbad", LogFormat::kText, kWhen),
            "2026-01-02T03:04:05.678Z note cannot start: bad");
  EXPECT_EQ(FormatNoteLine("a\\b", LogFormat::kJson, kWhen),
            R"({"time":"2026-01-02T03:04:05.678Z","kind":"note","message":"a\\b"})");
}

}  // namespace
}  // namespace ServerApp
