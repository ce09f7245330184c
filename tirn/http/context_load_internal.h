// How much an io_context's thread is holding, as every server running on the context counts
// it: the connections it serves, the acceptors on it, and the operations running on its thread
// that may wait (ServerOptions::runsOnIoThreadWhenAlone). One per context, made the first time
// it is asked for and destroyed with the context.
#ifndef TIRN_HTTP_CONTEXT_LOAD_INTERNAL_H_
#define TIRN_HTTP_CONTEXT_LOAD_INTERNAL_H_

#include <atomic>
#include <cstddef>

#include "tirn/http/asio_internal.h"

namespace Tirn {
namespace Http {
namespace detail {

// Thread-safety: every member may be used from any thread; the counts are read as hints, a
// connection may open or close just after.
class ContextLoad final : public net::execution_context::service {
 public:
  using key_type = ContextLoad;
  static inline net::execution_context::id id;

  explicit ContextLoad(net::execution_context& context)
      : net::execution_context::service(context) {}

  static ContextLoad& Of(net::execution_context& context) {
    return net::use_service<ContextLoad>(context);
  }

  // Counts one in a count of a context's load while it lives.
  class Hold {
   public:
    Hold(ContextLoad& load, std::atomic<std::size_t> ContextLoad::*count)
        : load_(load), count_(count) {
      ++(load_.*count_);
    }
    ~Hold() { --(load_.*count_); }
    Hold(Hold const&) = delete;
    Hold& operator=(Hold const&) = delete;

    ContextLoad& load() const { return load_; }

   private:
    ContextLoad& load_;
    std::atomic<std::size_t> ContextLoad::*const count_;
  };

  // Whether the context's thread serves one connection and nothing else: an operation of that
  // connection that waits on the thread keeps nobody else waiting.
  bool Alone() const { return connections == 1 && acceptors == 0; }
  // Whether an operation is waiting on the context's thread: a new connection is better off
  // on another context.
  bool Waiting() const { return waiting != 0; }

  std::atomic<std::size_t> connections{0};
  std::atomic<std::size_t> acceptors{0};
  std::atomic<std::size_t> waiting{0};

 private:
  void shutdown() override {}
};

}  // namespace detail
}  // namespace Http
}  // namespace Tirn

#endif  // TIRN_HTTP_CONTEXT_LOAD_INTERNAL_H_
