#include "tirn/http/io_threads.h"

#include <algorithm>
#include <thread>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

namespace Tirn {
namespace Http {

class IoThreads::Impl {
 public:
  explicit Impl(unsigned count) : work_(boost::asio::make_work_guard(context_)) {
    for (unsigned i = 0; i < std::max(count, 1u); ++i) {
      threads_.emplace_back([this] { context_.run(); });
    }
  }
  ~Impl() {
    work_.reset();
    context_.stop();
    for (auto& thread : threads_) thread.join();
  }
  boost::asio::io_context context_;
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work_;
  std::vector<std::thread> threads_;
};

IoThreads::IoThreads(unsigned count) : impl_(std::make_unique<Impl>(count)) {}
IoThreads::~IoThreads() = default;
boost::asio::io_context& IoThreads::context() { return impl_->context_; }

}  // namespace Http
}  // namespace Tirn
