// Scripted peers on 127.0.0.1 for the tests of what a client does with the answers a server
// (or something else in its place) gives: each request read gets the next step of a script.
//
//   scripted_peer::ScriptedPeer peer({scripted_peer::kBadGateway, scripted_peer::kListed});
//   ... call peer.url() ...
//   EXPECT_EQ(peer.Requests().size(), 2u);
//
// Every wait is bounded: the peer polls its sockets every 20 ms and stops when destroyed.
#ifndef TESTS_SCRIPTED_PEER_H_
#define TESTS_SCRIPTED_PEER_H_

#include <arpa/inet.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/raw_http.h"
#include "tirn/runtime/value/wire_shapes.h"

namespace scripted_peer {

// What a peer does with a request it has read: sends `bytes`, then closes the connection
// (abortively, so that the client sees it reset, with `reset`) or waits for the next request.
struct Step {
  std::string bytes;
  bool close = false;
  bool reset = false;
};

inline std::string Whole(int status, std::string const& body,
                         std::string const& type = "application/json") {
  return "HTTP/1.1 " + std::to_string(status) + " X\r\nContent-Type: " + type +
         "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

inline std::string ErrorBody(char const* name) {
  return std::string(R"({"error":")") + name + R"(","value":{"messages":[]}})";
}

inline Step const kClose{"", true};
inline Step const kReset{"", true, true};
inline Step const kListed{Whole(200, "[]")};
inline Step const kUnavailable{Whole(503, ErrorBody(Tirn::Data::Wire::kServiceUnavailableError))};
inline Step const kBalancerDown{Whole(503, "<html>no server</html>", "text/html")};
inline Step const kBadGateway{Whole(502, "<html>bad gateway</html>", "text/html")};
inline Step const kGatewayTimeout{Whole(504, "<html>too slow</html>", "text/html")};
// A web server that is no tirn server, or a path none serves.
inline Step const kNotFoundPage{Whole(404, "<html>not found</html>", "text/html")};
inline Step const kInternal{Whole(500, ErrorBody(Tirn::Data::Wire::kInternalServerError))};
// A streamed answer cut after its first progress report.
inline Step const kProgressThenClose{
    "HTTP/1.1 200 OK\r\nContent-Type: application/x-ndjson\r\nTransfer-Encoding: chunked\r\n\r\n"
    "33\r\n{\"progress\":{\"minimum\":0,\"maximum\":3,\"current\":1}}\n\r\n",
    true};
inline Step const kHalfAHead{"HTTP/1.1 20", true};

// The data segments a connected socket has received: on 127.0.0.1, with messages this small,
// one for each write of its peer.
inline unsigned SegmentsIn(int fd) {
  tcp_info info{};
  socklen_t size = sizeof info;
  return ::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &size) == 0 ? info.tcpi_data_segs_in : 0;
}

struct Request {
  std::string head;
  std::string body;
  unsigned segments = 0;  // SegmentsIn of its connection once it was read
  std::string Header(char const* name) const { return raw_http::Header(head, name); }
};

// Listens on a port of 127.0.0.1 (`port`, or a free one) and serves one connection at a time
// on a thread of its own: the n-th request it reads gets the n-th step of the script, the last
// step repeating.
class ScriptedPeer {
 public:
  explicit ScriptedPeer(std::vector<Step> script, unsigned short port = 0)
      : script_(std::move(script)) {
    sockaddr_in address{};
    listener_ = raw_http::Bind(address, port);
    EXPECT_TRUE(listener_ >= 0 && ::listen(listener_, 16) == 0) << "cannot listen on " << port;
    url_ = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    thread_ = std::thread([this] { Run(); });
  }
  ~ScriptedPeer() {
    stopping_ = true;
    thread_.join();
    ::close(listener_);
  }

  std::string const& url() const { return url_; }
  int Connections() const { return connections_; }
  std::vector<Request> Requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }

 private:
  void Run() {
    while (!stopping_) {
      int const fd = Ready(listener_) ? ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC) : -1;
      if (fd < 0) continue;
      ++connections_;
      std::string pending;
      Step step;
      for (Request request; !step.close && Read(fd, pending, request);) {
        request.segments = SegmentsIn(fd);
        {
          std::lock_guard<std::mutex> lock(mutex_);
          step = script_[std::min(requests_.size(), script_.size() - 1)];
          requests_.push_back(request);
        }
        ::send(fd, step.bytes.data(), step.bytes.size(), MSG_NOSIGNAL);
      }
      step.reset ? raw_http::Reset(fd) : static_cast<void>(::close(fd));
    }
  }

  // Waits up to 20 ms for `fd` to be readable.
  static bool Ready(int fd) {
    pollfd ready{fd, POLLIN, 0};
    return ::poll(&ready, 1, 20) > 0;
  }

  // The next request of the connection, its body read to its Content-Length; false when the
  // client closed the connection or the peer stops.
  bool Read(int fd, std::string& pending, Request& request) {
    for (char buffer[4096]; !stopping_;) {
      std::size_t const end = pending.find("\r\n\r\n");
      if (end != std::string::npos) {
        request.head = pending.substr(0, end);
        std::string const length = request.Header("Content-Length");
        std::size_t const size = end + 4 + (length.empty() ? 0 : std::stoul(length));
        if (pending.size() >= size) {
          request.body = pending.substr(end + 4, size - end - 4);
          pending.erase(0, size);
          return true;
        }
      }
      if (!Ready(fd)) continue;
      ssize_t const n = ::recv(fd, buffer, sizeof buffer, 0);
      if (n <= 0) return false;
      pending.append(buffer, static_cast<std::size_t>(n));
    }
    return false;
  }

  std::vector<Step> const script_;
  int listener_ = -1;
  std::string url_;
  std::atomic<bool> stopping_{false};
  std::mutex mutex_;
  std::atomic<int> connections_{0};
  std::vector<Request> requests_;
  std::thread thread_;  // last: it starts once the rest is made
};

// A port of 127.0.0.1 that refuses connections: bound, then closed.
inline unsigned short RefusingPort() {
  sockaddr_in address{};
  int const fd = raw_http::Bind(address);
  EXPECT_GE(fd, 0);
  ::close(fd);
  return ntohs(address.sin_port);
}

inline std::string UrlOf(unsigned short port) { return "http://127.0.0.1:" + std::to_string(port); }

}  // namespace scripted_peer

#endif  // TESTS_SCRIPTED_PEER_H_
