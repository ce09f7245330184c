// Serves a small key-servers implementation over HTTP on 127.0.0.1 and calls it through the
// HTTP client provider, using only the installed package: built with nothing but
// `pkg-config --cflags --libs tirn-http`.
#include <chrono>
#include <cstdio>
#include <future>
#include <memory>
#include <string>

#include "one_key_server.h"
#include "com/ostrel/nox/trusted_infrastructure/operations.h"
#include "tirn/http/client_provider.h"
#include "tirn/http/io_threads.h"
#include "tirn/http/server.h"
#include "tirn/runtime/call/in_process_provider.h"
#include "tirn/stub/async_api_stub.h"

namespace Ti = Com::Ostrel::Nox::TrustedInfrastructure;

int main() {
  auto implementation = std::make_shared<Tirn::Core::InProcessApiProvider>();
  implementation->Register(
      KeyServers::AsyncServiceBinder::BindImplementation(std::make_shared<OneKeyServer>()));
  Tirn::Http::IoThreads threads(1);
  Tirn::Http::Server server(threads.contexts(), implementation, Ti::Operations(), {});
  std::string error;
  if (!server.Start(&error)) {
    std::fprintf(stderr, "http consumer: %s\n", error.c_str());
    return 1;
  }
  auto remote = Tirn::Http::ClientProvider::Create(
      threads.contexts(), "http://127.0.0.1:" + std::to_string(server.port()), Ti::Operations(),
      {}, &error);
  if (!remote) {
    std::fprintf(stderr, "http consumer: %s\n", error.c_str());
    return 1;
  }
  KeyServers::AsyncServiceStub stub(std::make_shared<Tirn::Stub::AsyncApiStub>(
      remote, std::make_shared<Tirn::Core::AsyncActivation>()));
  auto answer = stub.Get("ks-9");
  std::string got = "no answer";
  if (answer.wait_for(std::chrono::seconds(10)) == std::future_status::ready) {
    auto const result = answer.get();
    got = result.ok() ? "a key server" : result.error()->name();
  }
  std::promise<void> stopped;
  server.Stop(std::chrono::milliseconds(0), [&stopped] { stopped.set_value(); });
  stopped.get_future().wait_for(std::chrono::seconds(10));
  std::printf("http consumer: get ks-9 over HTTP -> %s\n", got.c_str());
  return got == "com.ostrel.tirn.std.errors.not_found" ? 0 : 1;
}
