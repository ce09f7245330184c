// The lines tirn-server writes to stderr: one per call (the access log: answered, timed out,
// or abandoned by its client) and one per thing the server has to say, as text or as one JSON
// object per line.
//
//   text: 2026-01-02T03:04:05.678Z access 127.0.0.1:5123 POST kms.providers.get 404
//         com.ostrel.tirn.std.errors.not_found alice 1234us id=ab12
//   json: {"time":"2026-01-02T03:04:05.678Z","kind":"access","peer":"127.0.0.1:5123",...}
//
// The HTTP server's call records hold no body, token or secret, and so neither do these
// lines. The JSON form is valid JSON whatever bytes a client sent (bytes that are not UTF-8
// are escaped).
#ifndef APPS_SERVER_LOG_LINE_H_
#define APPS_SERVER_LOG_LINE_H_

#include <chrono>
#include <string>

#include "apps/server/options.h"
#include "tirn/http/server.h"

namespace ServerApp {

// One access-log line, without the line end, appended to `out`; FormatAccessLine returns it.
void AppendAccessLine(std::string& out, Tirn::Http::CallRecord const& entry, LogFormat format,
                      std::chrono::system_clock::time_point when);
std::string FormatAccessLine(Tirn::Http::CallRecord const& entry, LogFormat format,
                             std::chrono::system_clock::time_point when);

// One line of what the server says (`text`), without the line end.
std::string FormatNoteLine(std::string const& text, LogFormat format,
                           std::chrono::system_clock::time_point when);

// `when` as UTC with milliseconds: 2026-01-02T03:04:05.678Z, appended to `out`; FormatTime
// returns it.
void AppendTime(std::string& out, std::chrono::system_clock::time_point when);
std::string FormatTime(std::chrono::system_clock::time_point when);

// Writes whole lines to a file descriptor (standard error in the server) from any thread, each
// line with one write and without a lock; an access line is formatted in a buffer each thread
// keeps. A descriptor that cannot be written to loses the line, never stops the server.
class LogWriter {
 public:
  LogWriter(LogFormat format, int fd) : format_(format), fd_(fd) {}
  void Access(Tirn::Http::CallRecord const& entry);
  void Note(std::string const& text);

 private:
  void Write(std::string const& line) const;

  LogFormat const format_;
  int const fd_;
};

}  // namespace ServerApp

#endif  // APPS_SERVER_LOG_LINE_H_
