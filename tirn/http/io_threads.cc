#include "tirn/http/io_threads.h"

#include <algorithm>
#include <cstddef>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

namespace Tirn {
namespace Http {
namespace {

using WorkGuard = boost::asio::executor_work_guard<boost::asio::io_context::executor_type>;

// An io_context that can be shut down (its handlers not yet run destroyed, its services told
// to stop) before it is destroyed.
class Context : public boost::asio::io_context {
 public:
  using boost::asio::io_context::shutdown;
};

// `threads` threads over `contexts` contexts (one each, or all on one), each context kept
// running until the object is destroyed.
class Runner {
 public:
  Runner(unsigned threads, std::size_t contexts) : contexts_(std::max<std::size_t>(contexts, 1)) {
    for (auto& context : contexts_) guards_.emplace_back(boost::asio::make_work_guard(context));
    for (unsigned i = 0; i < std::max(threads, 1u); ++i) {
      boost::asio::io_context& context = contexts_[i % contexts_.size()];
      threads_.emplace_back([&context] { context.run(); });
    }
  }
  // Every context is shut down before any is destroyed. A handler not yet run may own, through
  // the object it serves, I/O objects of another context (a client call waiting on one context
  // for a connection on another; a server's acceptor on the first context, owned by its
  // sessions on the others). Destroying such a handler while that other context is merely shut
  // down is safe; once it is destroyed, it is not.
  ~Runner() {
    guards_.clear();
    for (auto& context : contexts_) context.stop();
    for (auto& thread : threads_) thread.join();
    for (auto& context : contexts_) context.shutdown();
  }

  std::vector<boost::asio::io_context*> Pointers() {
    std::vector<boost::asio::io_context*> pointers;
    for (auto& context : contexts_) pointers.push_back(&context);
    return pointers;
  }
  boost::asio::io_context& front() { return contexts_.front(); }

 private:
  // Never resized once made: the threads and the contexts' users hold references.
  std::vector<Context> contexts_;
  std::vector<WorkGuard> guards_;
  std::vector<std::thread> threads_;
};

}  // namespace

IoContexts::IoContexts(boost::asio::io_context& context) : contexts_{&context} {}

IoContexts::IoContexts(std::vector<boost::asio::io_context*> contexts)
    : contexts_(std::move(contexts)) {
  if (contexts_.empty() || std::count(contexts_.begin(), contexts_.end(), nullptr) > 0) {
    throw std::invalid_argument("IoContexts needs at least one io_context, and no null one");
  }
}

class IoThreads::Impl {
 public:
  explicit Impl(unsigned count) : runner_(count, count), contexts_(runner_.Pointers()) {}
  Runner runner_;
  IoContexts contexts_;
};

IoThreads::IoThreads(unsigned count) : impl_(std::make_unique<Impl>(count)) {}
IoThreads::~IoThreads() = default;
IoContexts const& IoThreads::contexts() const { return impl_->contexts_; }

class WorkThreads::Impl {
 public:
  explicit Impl(unsigned count) : runner_(count, 1) {}
  Runner runner_;
};

WorkThreads::WorkThreads(unsigned count) : impl_(std::make_unique<Impl>(count)) {}
WorkThreads::~WorkThreads() = default;
boost::asio::io_context& WorkThreads::context() { return impl_->runner_.front(); }

}  // namespace Http
}  // namespace Tirn
