// The README's calls across processes: a server of the reference services over HTTP and a
// client of it through the generated stubs, here in one program on 127.0.0.1.
#include <cstdio>
#include <future>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "apps/reference/reference_server.h"
#include "com/ostrel/nox/trusted_infrastructure/operations.h"
#include "tirn/http/call_options.h"
#include "tirn/http/client_provider.h"
#include "tirn/http/io_threads.h"
#include "tirn/http/server.h"
#include "tirn/stub/async_api_stub.h"

namespace Providers = Com::Ostrel::Nox::TrustedInfrastructure::Kms::ProvidersSvc;

int main() {
  Reference::ReferenceServer implementations;
  // [remote-server]
  // #include "com/ostrel/nox/trusted_infrastructure/operations.h"
  // #include "tirn/http/io_threads.h"
  // #include "tirn/http/server.h"
  auto provider = std::make_shared<Tirn::Core::InProcessApiProvider>();
  implementations.RegisterWith(*provider);  // or Register(...BindImplementation(...)) per service

  Tirn::Http::IoThreads serverThreads(2);
  Tirn::Http::ServerOptions options;  // 127.0.0.1; port 0 picks a free one
  // Operations that block (on a disk, a database) run on threads of their own, never on the
  // threads that serve the connections. Made before the server, so that they outlive it.
  Tirn::Http::WorkThreads callThreads(4);
  options.callContext = &callThreads.context();
  Tirn::Http::Server server(serverThreads.contexts(), provider,
                            Com::Ostrel::Nox::TrustedInfrastructure::Operations(), options);
  std::string error;
  if (!server.Start(&error)) {
    std::cerr << error << "\n";
    return 1;
  }
  std::cout << "listening on port " << server.port() << "\n";
  // [remote-server]

  std::string const url = "http://127.0.0.1:" + std::to_string(server.port());
  // [remote-client]
  // #include "tirn/http/client_provider.h"
  // #include "tirn/http/io_threads.h"
  Tirn::Http::IoThreads clientThreads(1);
  auto remote = std::make_shared<Tirn::Http::ClientProvider>(
      clientThreads.contexts(), url, Com::Ostrel::Nox::TrustedInfrastructure::Operations());
  Providers::AsyncServiceStub providers(std::make_shared<Tirn::Stub::AsyncApiStub>(
      remote, std::make_shared<Tirn::Core::AsyncActivation>()));
  // As in process: the same calls, errors and progress.
  auto answer = providers.Get("vault-native").get();  // not on a thread of clientThreads
  std::cout << (answer.ok() ? "found" : answer.error()->name()) << "\n";
  // [remote-client]

  // [remote-deadline]
  // #include "tirn/http/call_options.h"
  // A call that may take at most 300 ms from when it leaves; past it, it ends with
  // com.ostrel.tirn.std.errors.timed_out and the server's implementation sees it cancelled.
  auto hurried = std::make_shared<Tirn::Core::AsyncActivation>();
  Tirn::Http::SetDeadline(hurried, std::chrono::milliseconds(300));
  auto quick = providers.Get("vault-native", hurried).get();
  // [remote-deadline]

  // [remote-failover]
  // Two servers of the same calls, the first preferred: a call goes on to the second when the
  // first cannot be reached (nothing listens on port 1 here), and new calls start there.
  std::vector<std::string> const servers = {"http://127.0.0.1:1", url};
  Tirn::Http::ClientOptions retrying;
  retrying.maxAttempts = 3;  // requests sent, in all, while none gets an answer or a 502 or 503
  auto both = std::make_shared<Tirn::Http::ClientProvider>(
      clientThreads.contexts(), servers, Com::Ostrel::Nox::TrustedInfrastructure::Operations(),
      retrying);
  // The caller's own idempotency key, sent on every attempt of the call: a server that kept
  // the outcome of a call with this key answers with it instead of doing the call again, even
  // when this process sends it anew after a restart. Without one, each call gets a random key.
  auto keyed = std::make_shared<Tirn::Core::AsyncActivation>();
  keyed->executionContext = std::make_shared<Tirn::Core::ExecutionContext>();
  keyed->executionContext->applicationData[Tirn::Core::ContextKeys::kIdempotencyKey] = {
      "order-2041", boost::none};
  Providers::AsyncServiceStub failover(std::make_shared<Tirn::Stub::AsyncApiStub>(both, keyed));
  auto elsewhere = failover.Get("vault-native").get();
  // [remote-failover]

  auto const notFound = [](auto const& result) {
    return !result.ok() && result.error()->name() == "com.ostrel.tirn.std.errors.not_found";
  };
  bool const ok = notFound(answer) && notFound(quick) && notFound(elsewhere);
  std::promise<void> stopped;
  server.Stop(std::chrono::seconds(1), [&] { stopped.set_value(); });
  stopped.get_future().wait();
  if (!ok) std::fprintf(stderr, "remote: the call did not end as not_found\n");
  return ok ? 0 : 1;
}
