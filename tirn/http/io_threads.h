// Tirn::Http::IoThreads: an io_context with threads that run it, for programs that do not run
// one of their own. Both the server and the client provider run on an io_context the
// application owns; this is the simplest way to own one.
//
//   Tirn::Http::IoThreads threads(2);
//   Tirn::Http::Server server(threads.context(), provider, operations, options);
//   auto client = std::make_shared<Tirn::Http::ClientProvider>(threads.context(), url, operations);
//
// The threads stop and are joined when the object is destroyed: destroy it before anything
// its handlers use. Thread-safety: context() may be called from any thread.
#ifndef TIRN_HTTP_IO_THREADS_H_
#define TIRN_HTTP_IO_THREADS_H_

#include <memory>

#include "tirn/http/protocol.h"

namespace boost {
namespace asio {
class io_context;
}  // namespace asio
}  // namespace boost

namespace Tirn {
namespace Http {

class TIRN_HTTP_EXPORT IoThreads {
 public:
  // Starts `count` threads (at least one) running the context.
  explicit IoThreads(unsigned count);
  // Stops the context and joins the threads.
  ~IoThreads();

  IoThreads(IoThreads const&) = delete;
  IoThreads& operator=(IoThreads const&) = delete;

  boost::asio::io_context& context();

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace Http
}  // namespace Tirn

#endif  // TIRN_HTTP_IO_THREADS_H_
