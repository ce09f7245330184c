#include "apps/server/log_line.h"

#include <cstdio>
#include <ctime>

#include "apps/reference/reference_server.h"

namespace ServerApp {

namespace {

// A field of a text line: "-" when empty, and no space or control character, so that the
// fields of a line can always be told apart.
std::string TextField(std::string const& value) {
  if (value.empty()) return "-";
  std::string out;
  for (unsigned char c : value) out += (c <= 0x20 || c == 0x7f) ? '_' : static_cast<char>(c);
  return out;
}

}  // namespace

std::string FormatTime(std::chrono::system_clock::time_point when) {
  auto const millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count();
  std::time_t const seconds = static_cast<std::time_t>(millis / 1000);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[32];
  std::size_t const length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  char fraction[8];
  std::snprintf(fraction, sizeof fraction, ".%03dZ", static_cast<int>(millis % 1000));
  return std::string(text, length) + fraction;
}

std::string FormatAccessLine(Tirn::Http::CallRecord const& entry, LogFormat format,
                             std::chrono::system_clock::time_point when) {
  std::string const micros = std::to_string(entry.duration.count());
  if (format == LogFormat::kJson) {
    using Reference::JsonString;
    return "{\"time\":" + JsonString(FormatTime(when)) + ",\"kind\":\"access\",\"peer\":" +
           JsonString(entry.peer) + ",\"method\":" + JsonString(entry.method) +
           ",\"operation\":" + JsonString(entry.operation) +
           ",\"status\":" + std::to_string(entry.status) +
           ",\"outcome\":" + JsonString(entry.outcome) + ",\"caller\":" + JsonString(entry.caller) +
           ",\"duration_us\":" + micros + ",\"request_bytes\":" +
           std::to_string(entry.requestBytes) + ",\"answer_bytes\":" +
           std::to_string(entry.answerBytes) + ",\"request_id\":" + JsonString(entry.requestId) +
           "}";
  }
  return FormatTime(when) + " access " + TextField(entry.peer) + " " + TextField(entry.method) +
         " " + TextField(entry.operation) + " " + std::to_string(entry.status) + " " +
         TextField(entry.outcome) + " " + TextField(entry.caller) + " " + micros +
         "us id=" + TextField(entry.requestId);
}

std::string FormatNoteLine(std::string const& text, LogFormat format,
                           std::chrono::system_clock::time_point when) {
  if (format == LogFormat::kJson) {
    return "{\"time\":" + Reference::JsonString(FormatTime(when)) +
           ",\"kind\":\"note\",\"message\":" + Reference::JsonString(text) + "}";
  }
  std::string line = FormatTime(when) + " note ";
  for (char c : text) line += (c == '\n' || c == '\r') ? ' ' : c;
  return line;
}

void LogWriter::Access(Tirn::Http::CallRecord const& entry) {
  Write(FormatAccessLine(entry, format_, std::chrono::system_clock::now()));
}

void LogWriter::Note(std::string const& text) {
  Write(FormatNoteLine(text, format_, std::chrono::system_clock::now()));
}

void LogWriter::Write(std::string const& line) {
  std::lock_guard<std::mutex> lock(mutex_);
  out_ << line << '\n' << std::flush;
}

}  // namespace ServerApp
