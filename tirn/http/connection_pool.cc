#include "tirn/http/connection_pool_internal.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <utility>

#include "tirn/http/tls_context_internal.h"
#include "tirn/http/transport_internal.h"
#include "tirn/text/text.h"

namespace Tirn {
namespace Http {
namespace detail {
namespace {

using Clock = std::chrono::steady_clock;

// A pooled connection idle for less than this is reused without checking that it is still
// open: a server closes idle connections only after many seconds (the client's idle limit,
// ClientOptions::idleTimeout, is kept below the server's).
constexpr std::chrono::milliseconds kTrustedIdle{1000};

bool ParseBaseUrl(std::string const& url, BaseUrl& out, std::string& error) {
  std::string rest;
  if (url.rfind("http://", 0) == 0) {
    rest = url.substr(7);
  } else if (url.rfind("https://", 0) == 0) {
    rest = url.substr(8);
    out.tls = true;
  } else {
    error = "the URL must start with http:// or https://: " + url;
    return false;
  }
  while (!rest.empty() && rest.back() == '/') rest.pop_back();
  if (rest.empty() || rest.find('/') != std::string::npos) {
    error = "the URL must be scheme://host[:port]: " + url;
    return false;
  }
  if (rest.front() == '[' && rest.find(']') == std::string::npos) {
    error = "malformed URL: " + url;
    return false;
  }
  Text::HostPort address;
  if (!Text::ParseHostPort(rest, &address) || (address.hasPort && address.port == 0)) {
    error = "malformed host or port in URL: " + url;
    return false;
  }
  out.host = address.host;
  out.port = address.hasPort ? std::to_string(address.port) : (out.tls ? "443" : "80");
  out.server = rest;
  return true;
}

}  // namespace

bool ParseBaseUrls(std::vector<std::string> const& urls, std::vector<BaseUrl>& out,
                   std::string& error) {
  if (urls.empty()) {
    error = "no server URL given";
    return false;
  }
  out.assign(urls.size(), BaseUrl());
  for (std::size_t i = 0; i < urls.size(); ++i) {
    if (!ParseBaseUrl(urls[i], out[i], error)) return false;
  }
  return true;
}

bool Connection::StillOpen() {
  char byte;
  ssize_t const peeked =
      ::recv(Lowest().socket().native_handle(), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  return peeked < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
}

ConnectionPool::ConnectionPool(IoContexts contexts, std::vector<BaseUrl> urls,
                               ClientOptions options)
    : contexts_(std::move(contexts)), options_(std::move(options)), urls_(std::move(urls)) {
  ClampTimeLimits({&options_.maxCallTimeout, &options_.defaultTimeout, &options_.connectTimeout,
                   &options_.idleTimeout});
  if (std::any_of(urls_.begin(), urls_.end(), [](BaseUrl const& url) { return url.tls; })) {
    tls_ = NewTlsContext(ssl::context::tls_client);
    beast::error_code ec;
    if (options_.caFile.empty()) {
      tls_->set_default_verify_paths(ec);
    } else {
      tls_->load_verify_file(options_.caFile, ec);
      if (ec) tlsSetupError_ = "cannot read " + options_.caFile + ": " + ec.message();
    }
    if (!options_.certificateFile.empty()) {
      tls_->use_certificate_chain_file(options_.certificateFile, ec);
      if (!ec) tls_->use_private_key_file(options_.privateKeyFile, ssl::context::pem, ec);
      if (ec) {
        tlsSetupError_ = "cannot read the client certificate: " + ec.message();
      } else {
        std::string expired =
            ExpiryRefusal(*tls_, "the client certificate " + options_.certificateFile);
        if (!expired.empty()) tlsSetupError_ = std::move(expired);
      }
    }
    tls_->set_verify_mode(options_.verifyPeer ? ssl::verify_peer : ssl::verify_none);
  }
}

ConnectionPool::~ConnectionPool() {
  std::lock_guard<std::mutex> lock(mutex_);
  closing_ = true;
}

bool ConnectionPool::LeaveQueue(PooledCall const* call) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto at = waiting_.begin(); at != waiting_.end(); ++at) {
    if (at->get() == call) {
      waiting_.erase(at);
      return true;
    }
  }
  return false;
}

void ConnectionPool::NewStream(Connection& connection, std::size_t url) {
  connection.url = url;
  connection.connected = false;
  if (urls_[url].tls) {
    connection.plain.reset();
    connection.tls =
        std::make_unique<beast::ssl_stream<beast::tcp_stream>>(connection.executor, *tls_);
  } else {
    connection.plain = std::make_unique<beast::tcp_stream>(connection.executor);
  }
}

std::shared_ptr<Connection> ConnectionPool::NewConnectionLocked() {
  ++open_;
  auto connection = std::make_shared<Connection>(NextContext());
  std::weak_ptr<ConnectionPool> weak = shared_from_this();
  connection->place = std::shared_ptr<void>(static_cast<void*>(nullptr), [weak](void*) {
    // Runs wherever the connection is released, possibly under mutex_: the queue is served
    // from an io_context.
    if (auto self = weak.lock()) {
      net::post(self->NextContext(), [weak] {
        if (auto alive = weak.lock()) alive->PlaceFreed();
      });
    }
  });
  NewStream(*connection, Preferred());
  return connection;
}

void ConnectionPool::Acquire(std::shared_ptr<PooledCall> const& call) {
  std::vector<std::shared_ptr<Connection>> stale;  // released after the lock
  std::shared_ptr<Connection> connection;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    while (!idle_.empty() && !connection) {
      std::shared_ptr<Connection> candidate = std::move(idle_.back());
      idle_.pop_back();
      // A connection idle for a moment is taken as it is; one idle longer is first checked
      // for a close or an answer it was not asked for (a system call each time).
      auto const idle = Clock::now() - candidate->idleSince;
      if (idle < options_.idleTimeout &&
          (idle < std::min(kTrustedIdle, options_.idleTimeout) || candidate->StillOpen())) {
        connection = std::move(candidate);
      } else {
        stale.push_back(std::move(candidate));
      }
    }
    if (!connection) {
      if (options_.maxConnections == 0 || open_ < options_.maxConnections) {
        connection = NewConnectionLocked();
      } else {
        waiting_.push_back(call);
      }
    }
  }
  stale.clear();
  if (connection) {
    call->Run(std::move(connection));
  } else {
    call->Wait(NextContext());
  }
}

void ConnectionPool::Release(std::shared_ptr<Connection> connection) {
  std::shared_ptr<PooledCall> next;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!waiting_.empty()) {
      next = std::move(waiting_.front());
      waiting_.pop_front();
    } else if (options_.keepAlive && idle_.size() < options_.poolSize) {
      connection->idleSince = Clock::now();
      idle_.push_back(std::move(connection));
    }
  }
  if (!next) return;  // a connection not pooled is closed as it is released here
  if (options_.keepAlive) {
    next->Run(std::move(connection));
  } else {
    connection.reset();  // its place goes to `next` through PlaceFreed
    std::lock_guard<std::mutex> lock(mutex_);
    waiting_.push_front(std::move(next));
  }
}

void ConnectionPool::PlaceFreed() {
  std::shared_ptr<PooledCall> next;
  std::shared_ptr<Connection> connection;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    --open_;
    if (closing_ || waiting_.empty()) return;
    next = std::move(waiting_.front());
    waiting_.pop_front();
    connection = NewConnectionLocked();
  }
  next->Run(std::move(connection));
}

}  // namespace detail
}  // namespace Http
}  // namespace Tirn
