// The client's connections: the base URLs it calls, one connection (plain or TLS) to one of
// them, and the pool that hands connections to calls, keeps idle ones for reuse, bounds how
// many are open at once (ClientOptions::maxConnections) and queues the calls beyond that bound.
#ifndef TIRN_HTTP_CONNECTION_POOL_INTERNAL_H_
#define TIRN_HTTP_CONNECTION_POOL_INTERNAL_H_

#include <atomic>
#include <chrono>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tirn/http/asio_internal.h"
#include "tirn/http/client_options.h"
#include "tirn/http/io_threads.h"

namespace Tirn {
namespace Http {
namespace detail {

// The parts of "scheme://host[:port]".
struct BaseUrl {
  bool tls = false;
  std::string host;
  std::string port;
  std::string server;  // host:port as given, for messages
};

// Every URL of `urls`, at least one; false with what is wrong with the first that does not
// parse, or with an empty list.
bool ParseBaseUrls(std::vector<std::string> const& urls, std::vector<BaseUrl>& out,
                   std::string& error);

// One connection to the server, plain or TLS, reused by one call after another. Everything
// done on it runs on its strand. While it exists it takes one of the client's places
// (ClientOptions::maxConnections); `place` gives it back when the connection is destroyed.
struct Connection {
  net::strand<net::io_context::executor_type> executor;
  std::shared_ptr<void> place;
  // The base URL (its place in the client's list) the connection goes to.
  std::size_t url = 0;
  std::unique_ptr<beast::tcp_stream> plain;
  std::unique_ptr<beast::ssl_stream<beast::tcp_stream>> tls;
  WipingBuffer buffer;
  bool connected = false;
  std::chrono::steady_clock::time_point idleSince;

  explicit Connection(net::io_context& context) : executor(net::make_strand(context)) {}

  beast::tcp_stream& Lowest() { return tls ? beast::get_lowest_layer(*tls) : *plain; }

  // Whether an idle connection still looks usable: the server has neither closed it nor sent
  // anything unasked.
  bool StillOpen();
};

// What waits in the pool for a connection.
class PooledCall {
 public:
  virtual ~PooledCall() = default;
  // Runs the call on `connection`, from its strand.
  virtual void Run(std::shared_ptr<Connection> connection) = 0;
  // Waits in the queue for a connection, giving up (and leaving the queue) when it must.
  virtual void Wait(net::io_context& context) = 0;
};

// The connections of one client, to its base URLs. Thread-safe.
class ConnectionPool : public std::enable_shared_from_this<ConnectionPool> {
 public:
  // `urls` as ParseBaseUrls made them, at least one. The options' time limits are clamped to
  // what a deadline can hold. The TLS context (made when a URL is https) verifies the server
  // as `options` say; tlsSetupError() tells why it cannot be used.
  ConnectionPool(IoContexts contexts, std::vector<BaseUrl> urls, ClientOptions options);
  ~ConnectionPool();

  ConnectionPool(ConnectionPool const&) = delete;
  ConnectionPool& operator=(ConnectionPool const&) = delete;

  // The next of the client's contexts in turn, where a new connection (or a call's wait for
  // one) lives.
  net::io_context& NextContext() {
    return contexts_[nextContext_.fetch_add(1, std::memory_order_relaxed) % contexts_.size()];
  }
  ClientOptions const& options() const { return options_; }
  BaseUrl const& url(std::size_t at) const { return urls_[at]; }
  // Why the CA file or the client certificate cannot be used; empty when they can.
  std::string const& tlsSetupError() const { return tlsSetupError_; }

  // Gives `call` a connection now (an idle one that still looks open, or a new one while the
  // client holds fewer than its bound), or queues it until one is free.
  void Acquire(std::shared_ptr<PooledCall> const& call);

  // Takes a queued call out of the queue; false when it has already left it (it was given a
  // connection). Used by a call that gives up waiting.
  bool LeaveQueue(PooledCall const* call);

  // A connection whose call has ended with a whole answer: to the first queued call, else to
  // the pool.
  void Release(std::shared_ptr<Connection> connection);

  // Gives `connection` a new, unconnected stream to `url`.
  void NewStream(Connection& connection, std::size_t url);

  // The URL new connections go to: the first of the list until an attempt on it fails.
  std::size_t Preferred() const { return preferred_.load(std::memory_order_relaxed); }
  // The URL after `url` in the list, the first after the last.
  std::size_t After(std::size_t url) const { return (url + 1) % urls_.size(); }
  // An attempt on `url` failed: new connections go to the next URL from now on, unless a
  // failure seen meanwhile has already moved them off `url`.
  void Avoid(std::size_t url) {
    preferred_.compare_exchange_strong(url, After(url), std::memory_order_relaxed);
  }

 private:
  // A connection's place was given back: the first queued call gets a new connection.
  void PlaceFreed();
  // A new connection taking one of the places; the caller holds mutex_.
  std::shared_ptr<Connection> NewConnectionLocked();

  IoContexts const contexts_;
  std::atomic<std::size_t> nextContext_{0};
  ClientOptions options_;
  std::vector<BaseUrl> const urls_;
  std::atomic<std::size_t> preferred_{0};
  std::unique_ptr<ssl::context> tls_;
  std::string tlsSetupError_;
  std::mutex mutex_;
  std::vector<std::shared_ptr<Connection>> idle_;
  std::deque<std::shared_ptr<PooledCall>> waiting_;
  std::size_t open_ = 0;  // connections in existence, idle or in use
  bool closing_ = false;
};

}  // namespace detail
}  // namespace Http
}  // namespace Tirn

#endif  // TIRN_HTTP_CONNECTION_POOL_INTERNAL_H_
