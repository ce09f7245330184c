#include "apps/server/log_line.h"

#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <ctime>

#include "tirn/json/text.h"

namespace ServerApp {

namespace {

// A field of a text line: "-" when empty, and no space or control character, so that the
// fields of a line can always be told apart.
void AppendTextField(std::string& out, std::string const& value) {
  if (value.empty()) {
    out += '-';
    return;
  }
  for (unsigned char c : value) out += (c <= 0x20 || c == 0x7f) ? '_' : static_cast<char>(c);
}

void AppendNumber(std::string& out, unsigned long long value) {
  char digits[24];
  auto const end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  out.append(digits, end);
}

void AppendJsonField(std::string& out, char const* name, std::string const& value) {
  out += ",\"";
  out += name;
  out += "\":";
  Tirn::Json::AppendJsonString(out, value);
}

void AppendJsonNumber(std::string& out, char const* name, unsigned long long value) {
  out += ",\"";
  out += name;
  out += "\":";
  AppendNumber(out, value);
}

// The start of a JSON line: {"time":"...","kind":"<kind>"
void AppendJsonHead(std::string& out, std::chrono::system_clock::time_point when,
                    char const* kind) {
  out += "{\"time\":\"";
  AppendTime(out, when);
  out += "\",\"kind\":\"";
  out += kind;
  out += '"';
}

}  // namespace

void AppendTime(std::string& out, std::chrono::system_clock::time_point when) {
  // The date and time of day change once a second: each thread formats them once for it.
  struct Second {
    long long seconds = -1;
    char text[24] = {};
    std::size_t length = 0;
  };
  thread_local Second cached;
  auto const millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count();
  long long const seconds = millis / 1000 - (millis % 1000 < 0 ? 1 : 0);
  if (seconds != cached.seconds) {
    std::time_t const time = static_cast<std::time_t>(seconds);
    std::tm utc{};
    gmtime_r(&time, &utc);
    cached.length = std::strftime(cached.text, sizeof cached.text, "%Y-%m-%dT%H:%M:%S", &utc);
    cached.seconds = seconds;
  }
  out.append(cached.text, cached.length);
  auto const fraction = static_cast<int>(millis - seconds * 1000);
  char const digits[] = {'.', static_cast<char>('0' + fraction / 100),
                         static_cast<char>('0' + fraction / 10 % 10),
                         static_cast<char>('0' + fraction % 10), 'Z'};
  out.append(digits, sizeof digits);
}

std::string FormatTime(std::chrono::system_clock::time_point when) {
  std::string out;
  AppendTime(out, when);
  return out;
}

void AppendAccessLine(std::string& out, Tirn::Http::CallRecord const& entry, LogFormat format,
                      std::chrono::system_clock::time_point when) {
  auto const micros = static_cast<unsigned long long>(entry.duration.count());
  if (format == LogFormat::kJson) {
    AppendJsonHead(out, when, "access");
    AppendJsonField(out, "peer", entry.peer);
    AppendJsonField(out, "method", entry.method);
    AppendJsonField(out, "operation", entry.operation);
    AppendJsonNumber(out, "status", entry.status);
    AppendJsonField(out, "outcome", entry.outcome);
    AppendJsonField(out, "caller", entry.caller);
    AppendJsonNumber(out, "duration_us", micros);
    AppendJsonNumber(out, "request_bytes", entry.requestBytes);
    AppendJsonNumber(out, "answer_bytes", entry.answerBytes);
    AppendJsonField(out, "request_id", entry.requestId);
    out += '}';
    return;
  }
  AppendTime(out, when);
  out += " access ";
  for (std::string const* field : {&entry.peer, &entry.method, &entry.operation}) {
    AppendTextField(out, *field);
    out += ' ';
  }
  AppendNumber(out, entry.status);
  out += ' ';
  AppendTextField(out, entry.outcome);
  out += ' ';
  AppendTextField(out, entry.caller);
  out += ' ';
  AppendNumber(out, micros);
  out += "us id=";
  AppendTextField(out, entry.requestId);
}

std::string FormatAccessLine(Tirn::Http::CallRecord const& entry, LogFormat format,
                             std::chrono::system_clock::time_point when) {
  std::string out;
  AppendAccessLine(out, entry, format, when);
  return out;
}

std::string FormatNoteLine(std::string const& text, LogFormat format,
                           std::chrono::system_clock::time_point when) {
  std::string line;
  if (format == LogFormat::kJson) {
    AppendJsonHead(line, when, "note");
    AppendJsonField(line, "message", text);
    line += '}';
    return line;
  }
  AppendTime(line, when);
  line += " note ";
  for (char c : text) line += (c == '\n' || c == '\r') ? ' ' : c;
  return line;
}

void LogWriter::Access(Tirn::Http::CallRecord const& entry) {
  // Each thread formats its lines in a buffer of its own, which keeps its capacity.
  thread_local std::string line;
  line.clear();
  AppendAccessLine(line, entry, format_, std::chrono::system_clock::now());
  line += '\n';
  Write(line);
}

void LogWriter::Note(std::string const& text) {
  Write(FormatNoteLine(text, format_, std::chrono::system_clock::now()) + '\n');
}

void LogWriter::Write(std::string const& line) const {
  // One write per line: the kernel keeps a line whole against the other threads' lines (on a
  // pipe, up to PIPE_BUF bytes, far above a line's usual length), so no lock is needed.
  char const* at = line.data();
  std::size_t left = line.size();
  while (left > 0) {
    ssize_t const written = ::write(fd_, at, left);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;  // nowhere to log to: the server goes on
    at += written;
    left -= static_cast<std::size_t>(written);
  }
}

}  // namespace ServerApp
