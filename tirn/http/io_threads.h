// Tirn::Http::IoThreads and WorkThreads: threads that run io_contexts, for programs that do not
// run their own. The server and the client provider run on io_contexts the application owns;
// these are the simplest way to own them.
//
//   Tirn::Http::IoThreads threads(2);  // two threads, each with an io_context of its own
//   Tirn::Http::Server server(threads.contexts(), provider, operations, options);
//   auto client = std::make_shared<Tirn::Http::ClientProvider>(threads.contexts(), url,
//                                                              operations);
//
// A connection lives on one context. With one context per thread, whatever is done for a
// connection runs on the thread that waits for its socket: no thread wakes another to hand it
// over, and no two threads contend for one epoll set. Work that may block (an operation that
// waits for its store) goes to WorkThreads, which share one context: a task goes to whichever
// thread is free.
//
// The threads stop and are joined when the object is destroyed: destroy it before anything
// its handlers use, and after every server and client that runs on it. Thread-safety:
// contexts() and context() may be called from any thread.
//
// A server or client on several contexts owns objects on more than one of them (a call that
// waited on one context for a connection on another; the acceptor on the last context,
// reached from connections on the others), so a handler left unrun on one context may own an
// object of another. IoThreads therefore shuts every context down before it destroys any. An
// application that runs several contexts of its own does the same in its own way: once the
// servers and clients on them are destroyed, it runs each context until it runs out of work
// before destroying any of them.
#ifndef TIRN_HTTP_IO_THREADS_H_
#define TIRN_HTTP_IO_THREADS_H_

#include <cstddef>
#include <memory>
#include <vector>

#include "tirn/http/protocol.h"

namespace boost {
namespace asio {
class io_context;
}  // namespace asio
}  // namespace boost

namespace Tirn {
namespace Http {

// The io_contexts a server or a client provider spreads its connections over, one at least.
// Made from one context the application runs (on any number of threads), or from several,
// each typically run by one thread (IoThreads::contexts()).
class TIRN_HTTP_EXPORT IoContexts {
 public:
  // One context. Implicit, so that a single io_context can be passed where contexts are taken.
  IoContexts(boost::asio::io_context& context);  // NOLINT(google-explicit-constructor)
  // Several; every pointer non-null, at least one (std::invalid_argument otherwise: a
  // programming error).
  explicit IoContexts(std::vector<boost::asio::io_context*> contexts);

  std::size_t size() const { return contexts_.size(); }
  boost::asio::io_context& operator[](std::size_t at) const { return *contexts_[at]; }

 private:
  std::vector<boost::asio::io_context*> contexts_;
};

// `count` threads (at least one), each running an io_context of its own.
class TIRN_HTTP_EXPORT IoThreads {
 public:
  explicit IoThreads(unsigned count);
  // Stops every context and joins the threads.
  ~IoThreads();

  IoThreads(IoThreads const&) = delete;
  IoThreads& operator=(IoThreads const&) = delete;

  // One context per thread, in the order the threads were started.
  IoContexts const& contexts() const;

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

// `count` threads (at least one) that all run one io_context.
class TIRN_HTTP_EXPORT WorkThreads {
 public:
  explicit WorkThreads(unsigned count);
  // Stops the context and joins the threads.
  ~WorkThreads();

  WorkThreads(WorkThreads const&) = delete;
  WorkThreads& operator=(WorkThreads const&) = delete;

  boost::asio::io_context& context();

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace Http
}  // namespace Tirn

#endif  // TIRN_HTTP_IO_THREADS_H_
