// A minimal Boost.Beast HTTP/1.1 server that answers every request with one fixed body: the
// floor our transport and our server program are measured against. It reads a request, writes
// the answer (with the request's X-Request-Id, kept alive when the request asks), and reads
// the next; it keeps the first request it received, for a benchmark that records an exchange.
//
//   bench::FloorThreads threads(2);
//   auto server = std::make_shared<bench::FloorServer>(threads.context(), "application/json",
//                                                      body);
//   if (!server->Start(&error)) ...;   // listens on 127.0.0.1 at a free port
//   ... server->port() ...
//   threads.Join();                     // before the server's sockets go
#ifndef BENCH_FLOOR_SERVER_H_
#define BENCH_FLOOR_SERVER_H_

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include "tirn/http/protocol.h"

namespace bench {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = boost::beast::http;
using tcp = boost::asio::ip::tcp;

using Request = http::request<http::string_body>;
using Answer = http::response<http::string_body>;

// How long a connection may wait for its next request, and an answer take to be written.
constexpr std::chrono::seconds kFloorIdleWait{30};
constexpr std::chrono::seconds kFloorWriteWait{5};

// I/O threads for the floor: `count` threads running one io_context of its own. Asio is
// header-only in the benchmarks and compiled into tirn_http, so the floor never shares an
// Asio object with our transport.
class FloorThreads {
 public:
  explicit FloorThreads(unsigned count) {
    for (unsigned i = 0; i < count; ++i) threads_.emplace_back([this] { context_.run(); });
  }
  ~FloorThreads() { Join(); }

  net::io_context& context() { return context_; }

  // Stops the threads; the floor's sockets may then be destroyed from this thread.
  void Join() {
    work_.reset();
    context_.stop();
    for (auto& thread : threads_) {
      if (thread.joinable()) thread.join();
    }
  }

 private:
  net::io_context context_;
  net::executor_work_guard<net::io_context::executor_type> work_ = net::make_work_guard(context_);
  std::vector<std::thread> threads_;
};

// What the floor server answers, and the first request it received.
struct FloorState {
  std::string contentType;
  std::string body;
  std::mutex mutex;
  std::optional<Request> first;
};

// One connection of the floor server: read a request, write the fixed answer, again.
class FloorSession : public std::enable_shared_from_this<FloorSession> {
 public:
  FloorSession(tcp::socket socket, std::shared_ptr<FloorState> state)
      : stream_(std::move(socket)), state_(std::move(state)) {}

  void Read() {
    request_ = {};
    stream_.expires_after(kFloorIdleWait);
    http::async_read(stream_, buffer_, request_,
                     [self = shared_from_this()](beast::error_code ec, std::size_t) {
                       if (!ec) self->Write();
                     });
  }

 private:
  void Write() {
    {
      std::lock_guard<std::mutex> lock(state_->mutex);
      if (!state_->first) state_->first = request_;
    }
    answer_ = {};
    answer_.result(http::status::ok);
    answer_.version(11);
    answer_.set(http::field::content_type, state_->contentType);
    auto id = request_.find(Tirn::Http::kRequestIdHeader);
    if (id != request_.end()) answer_.set(Tirn::Http::kRequestIdHeader, id->value());
    answer_.keep_alive(request_.keep_alive());
    answer_.body() = state_->body;
    answer_.prepare_payload();
    stream_.expires_after(kFloorWriteWait);
    http::async_write(stream_, answer_,
                      [self = shared_from_this()](beast::error_code ec, std::size_t) {
                        if (!ec && self->answer_.keep_alive()) self->Read();
                      });
  }

  beast::tcp_stream stream_;
  beast::flat_buffer buffer_;
  Request request_;
  Answer answer_;
  std::shared_ptr<FloorState> state_;
};

class FloorServer : public std::enable_shared_from_this<FloorServer> {
 public:
  FloorServer(net::io_context& context, std::string contentType, std::string body)
      : context_(context), acceptor_(net::make_strand(context)),
        state_(std::make_shared<FloorState>()) {
    state_->contentType = std::move(contentType);
    state_->body = std::move(body);
  }

  bool Start(std::string* error) {
    beast::error_code ec;
    tcp::endpoint const endpoint(net::ip::make_address("127.0.0.1"), 0);
    acceptor_.open(endpoint.protocol(), ec);
    if (!ec) acceptor_.bind(endpoint, ec);
    if (!ec) acceptor_.listen(net::socket_base::max_listen_connections, ec);
    if (!ec) port_ = acceptor_.local_endpoint(ec).port();
    if (ec) {
      *error = "the floor server cannot listen: " + ec.message();
      return false;
    }
    net::dispatch(acceptor_.get_executor(), [self = shared_from_this()] { self->Accept(); });
    return true;
  }

  unsigned short port() const { return port_; }

  // The first request received, if one has been.
  std::optional<Request> First() {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->first;
  }

 private:
  void Accept() {
    acceptor_.async_accept(net::make_strand(context_), [self = shared_from_this()](
                                                           beast::error_code ec,
                                                           tcp::socket socket) {
      if (ec) return;  // the acceptor was closed
      socket.set_option(tcp::no_delay(true), ec);
      std::make_shared<FloorSession>(std::move(socket), self->state_)->Read();
      self->Accept();
    });
  }

  net::io_context& context_;
  tcp::acceptor acceptor_;
  std::shared_ptr<FloorState> state_;
  unsigned short port_ = 0;
};

}  // namespace bench

#endif  // BENCH_FLOOR_SERVER_H_
