// Raw HTTP/1.1 on 127.0.0.1 for the tests that look at the bytes a Tirn::Http::Server answers:
// a connection, a request sent and its answer read (one whole answer, or everything up to the
// server's close), and a server of an operation table on a free port.
//
//   raw_http::Served served(provider, Operations());
//   raw_http::Answer const answer =
//       raw_http::Send(served.port(), raw_http::Post("/v1/<interface>/get", R"({"id": "x"})"));
//   EXPECT_EQ(answer.status, 404);
//
// When the environment variable TIRN_RECORD_ANSWERS names a file, every answer read here is
// appended to it as one JSON line: the test, the request's method and path, the status, the
// answer's media type, its body without chunked framing, and whether it arrived whole.
// tools/openapi/validate_answers.cjs checks them against the OpenAPI document. Without the
// variable nothing is written.
#ifndef TESTS_RAW_HTTP_H_
#define TESTS_RAW_HTTP_H_

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <memory>
#include <sstream>
#include <string>

#include "tirn/http/io_threads.h"
#include "tirn/http/server.h"
#include "tirn/json/text.h"
#include "tirn/runtime/call/operation_table.h"

namespace raw_http {

// The address of `port` of 127.0.0.1.
inline sockaddr_in Loopback(unsigned short port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

// A socket bound to `port` of 127.0.0.1 (0: a free one), its address in `address`; -1 when it
// cannot be bound.
inline int Bind(sockaddr_in& address, unsigned short port = 0) {
  int const fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  address = Loopback(port);
  socklen_t length = sizeof address;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// A connection to 127.0.0.1:`port` whose reads give up after 5 s; -1 when refused.
inline int Connect(unsigned short port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in const address = Loopback(port);
  if (::connect(fd, reinterpret_cast<sockaddr const*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  timeval timeout{5, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  return fd;
}

// Closes `fd` abortively: the peer sees the connection reset, as when a client is killed
// with unread data, rather than an orderly end of what it sent.
inline void Reset(int fd) {
  linger const abort{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  ::close(fd);
}

// What the server sends until `done` holds for all of it, or it closes the connection (or 5 s
// pass).
template <class Done>
std::string ReadUntil(int fd, Done done) {
  std::string text;
  char buffer[65536];
  for (ssize_t n; !done(text) && (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) {
    text.append(buffer, static_cast<std::size_t>(n));
  }
  return text;
}

// Everything the server sends until it closes the connection (or 5 s pass).
inline std::string ReadAll(int fd) {
  return ReadUntil(fd, [](std::string const&) { return false; });
}

struct Answer {
  int status = 0;     // 0: no answer
  std::string head;   // status line and headers
  std::string body;   // as sent: chunked framing included
};

// The value of the header `name` (any case) in an answer's head; empty when absent.
inline std::string Header(std::string const& head, std::string const& name) {
  auto const lower = [](std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
  };
  std::string const line = "\r\n" + lower(name) + ":";
  std::size_t const at = lower(head).find(line);
  if (at == std::string::npos) return {};
  std::size_t const value = std::min(head.find_first_not_of(' ', at + line.size()), head.size());
  return head.substr(value, head.find("\r\n", value) - value);
}

inline Answer Parse(std::string const& text) {
  Answer answer;
  if (text.size() > 12 && text.rfind("HTTP/1.", 0) == 0) {
    answer.status = std::atoi(text.c_str() + 9);
  }
  std::size_t const split = text.find("\r\n\r\n");
  answer.head = text.substr(0, split);
  if (split != std::string::npos) answer.body = text.substr(split + 4);
  return answer;
}

// The payload of a chunked body; `whole` tells whether its last chunk arrived.
inline std::string Unchunk(std::string const& body, bool& whole) {
  std::string payload;
  whole = false;
  std::size_t at = 0;
  while (true) {
    std::size_t const line = body.find("\r\n", at);
    if (line == std::string::npos) return payload;
    std::size_t const size = std::strtoul(body.c_str() + at, nullptr, 16);
    if (size == 0) {
      whole = true;
      return payload;
    }
    if (body.size() < line + 2 + size) return payload + body.substr(line + 2);
    payload += body.substr(line + 2, size);
    at = line + 2 + size + 2;
  }
}

// The body of an answer as its client reads it, and whether all of it arrived.
inline std::string Payload(Answer const& answer, bool& whole) {
  if (strcasecmp(Header(answer.head, "Transfer-Encoding").c_str(), "chunked") == 0) {
    return Unchunk(answer.body, whole);
  }
  std::string const length = Header(answer.head, "Content-Length");
  if (length.empty()) {
    whole = true;  // to the server's close
    return answer.body;
  }
  std::size_t const size = std::stoul(length);
  whole = answer.body.size() >= size;
  return answer.body.substr(0, size);
}

namespace detail {

using Tirn::Json::AppendJsonString;

// The file TIRN_RECORD_ANSWERS names, opened for appending once; -1 when the variable is unset.
inline int RecordFile() {
  static int const fd = [] {
    char const* path = std::getenv("TIRN_RECORD_ANSWERS");
    if (!path || !*path) return -1;
    int const opened = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (opened < 0) ADD_FAILURE() << "cannot append answers to " << path;
    return opened;
  }();
  return fd;
}

// Appends one line for `answer` to `request`. One write per line: the test programs that ctest
// runs at once append to the same file.
inline void Record(std::string const& request, Answer const& answer) {
  int const fd = RecordFile();
  if (fd < 0 || answer.status == 0) return;
  std::string method, path;
  std::istringstream(request.substr(0, request.find("\r\n"))) >> method >> path;
  bool whole = false;
  std::string const body = Payload(answer, whole);
  auto const* test = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string line = "{\"test\":";
  AppendJsonString(line, test ? std::string(test->test_suite_name()) + "." + test->name() : "");
  line += ",\"method\":";
  AppendJsonString(line, method);
  line += ",\"path\":";
  AppendJsonString(line, path);
  line += ",\"status\":" + std::to_string(answer.status) + ",\"type\":";
  AppendJsonString(line, Header(answer.head, "Content-Type"));
  line += std::string(",\"whole\":") + (whole ? "true" : "false") + ",\"body\":";
  AppendJsonString(line, body);
  line += "}\n";
  if (::write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
    ADD_FAILURE() << "an answer could not be recorded";
  }
}

}  // namespace detail

// Sends `request` and reads one whole answer (with a Content-Length, or chunked to its last
// chunk); the connection stays open.
inline Answer Exchange(int fd, std::string const& request) {
  ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  Answer answer = Parse(ReadUntil(fd, [](std::string const& text) {
    if (text.find("\r\n\r\n") == std::string::npos) return false;
    Answer const sofar = Parse(text);
    bool whole = false;
    Payload(sofar, whole);
    return whole && !(Header(sofar.head, "Content-Length").empty() &&
                      Header(sofar.head, "Transfer-Encoding").empty());
  }));
  detail::Record(request, answer);
  return answer;
}

// Sends `request` and reads everything until the server closes the connection (or 5 s pass).
inline Answer ExchangeToClose(int fd, std::string const& request) {
  ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  Answer answer = Parse(ReadAll(fd));
  detail::Record(request, answer);
  return answer;
}

// One request on a connection of its own, closed after its answer.
inline Answer Send(unsigned short port, std::string const& request) {
  int const fd = Connect(port);
  EXPECT_GE(fd, 0) << "cannot connect to port " << port;
  if (fd < 0) return {};
  Answer answer = Exchange(fd, request);
  ::close(fd);
  return answer;
}

// A POST; `extra` holds more header lines, each ending in "\r\n".
inline std::string Post(std::string const& path, std::string const& body,
                        std::string const& type = "application/json",
                        std::string const& extra = "") {
  return "POST " + path + " HTTP/1.1\r\nHost: localhost\r\nContent-Type: " + type +
         "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + extra + "\r\n" + body;
}

inline std::string Get(std::string const& path, std::string const& extra = "") {
  return "GET " + path + " HTTP/1.1\r\nHost: localhost\r\n" + extra + "\r\n";
}

// A Tirn::Http::Server of `provider`'s operations in `table` on a free port of 127.0.0.1,
// stopped (without grace) when the fixture ends.
struct Served {
  Served(std::shared_ptr<Tirn::Core::AsyncApiProvider> provider,
         Tirn::Core::OperationTable const& table, Tirn::Http::ServerOptions options = {}) {
    server = std::make_unique<Tirn::Http::Server>(threads.contexts(), std::move(provider), table,
                                                  std::move(options));
    std::string error;
    EXPECT_TRUE(server->Start(&error)) << error;
  }
  ~Served() {
    std::promise<void> stopped;
    server->Stop(std::chrono::milliseconds(0), [&] { stopped.set_value(); });
    stopped.get_future().wait_for(std::chrono::seconds(10));
  }
  unsigned short port() const { return server->port(); }

  Tirn::Http::IoThreads threads{1};
  std::unique_ptr<Tirn::Http::Server> server;
};

}  // namespace raw_http

#endif  // TESTS_RAW_HTTP_H_
