// The guide's "Callers who prove themselves": a server of the reference services that speaks
// TLS, asks every client for a certificate from its own authority and a bearer token, and a
// client that brings all three. The certificates are PEM files in the folder given as the
// first argument (make_certificates.sh makes a set): the authority "ca.pem", the server's
// "server.pem" and "server.key", a client's "client.pem" and "client.key".
#include <cstdio>
#include <future>
#include <memory>
#include <string>

#include "apps/reference/reference_server.h"
#include "com/ostrel/nox/trusted_infrastructure/operations.h"
#include "tirn/http/client_provider.h"
#include "tirn/http/io_threads.h"
#include "tirn/http/server.h"
#include "tirn/runtime/value/wire_shapes.h"
#include "tirn/stub/async_api_stub.h"

namespace Ti = Com::Ostrel::Nox::TrustedInfrastructure;
namespace Providers = Ti::Kms::ProvidersSvc;

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: secure CERTIFICATE-FOLDER\n");
    return 2;
  }
  std::string const folder = std::string(argv[1]) + "/";
  Reference::ReferenceServer implementations;
  auto provider = std::make_shared<Tirn::Core::InProcessApiProvider>();
  implementations.RegisterWith(*provider);

  Tirn::Http::IoThreads serverThreads(1);
  Tirn::Http::ServerOptions options;
  options.tlsCertificateFile = folder + "server.pem";
  options.tlsPrivateKeyFile = folder + "server.key";
  options.tlsClientCaFile = folder + "ca.pem";  // clients of this authority only
  options.tlsClientCertificateRequired = true;
  // The caller is the certificate's name; the token must be the one this server knows.
  // (tirn-server reads its tokens from a file of digests instead: docs/operations.md.)
  options.authenticator = [](Tirn::Http::Credentials const& presented,
                             Tirn::Core::SecurityContextWrappedEntry& identity) {
    if (presented.bearerToken != "s3cret-token-of-reporting") return false;
    identity.text = presented.clientName;
    return true;
  };
  Tirn::Http::Server server(serverThreads.contexts(), provider, Ti::Operations(), options);
  std::string error;
  if (!server.Start(&error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  // The name the server's certificate carries, as a client must call it.
  std::string const url = "https://127.0.0.1:" + std::to_string(server.port());

  Tirn::Http::IoThreads clientThreads(1);
  // [secure-client]
  Tirn::Http::ClientOptions credentials;
  credentials.caFile = folder + "ca.pem";  // the authority that signed the server's certificate
  credentials.certificateFile = folder + "client.pem";  // this client's own certificate...
  credentials.privateKeyFile = folder + "client.key";   // ...and its key
  // Asked for on every call, so that a token can be renewed while the provider lives; here
  // a fixed one. An empty token sends none.
  credentials.tokenSupplier = [] { return std::string("s3cret-token-of-reporting"); };
  std::string problem;
  auto remote = Tirn::Http::ClientProvider::Create(clientThreads.contexts(), url, Ti::Operations(),
                                                   credentials, &problem);
  if (!remote) {
    // A file that cannot be read, or a key that does not match its certificate.
    std::fprintf(stderr, "%s\n", problem.c_str());
    return 1;
  }
  Providers::AsyncServiceStub providers(std::make_shared<Tirn::Stub::AsyncApiStub>(
      remote, std::make_shared<Tirn::Core::AsyncActivation>()));
  auto answer = providers.Get("vault-native").get();  // not_found: there is none yet
  // [secure-client]

  // Without the token, the same client is refused before any operation runs.
  Tirn::Http::ClientOptions tokenless = credentials;
  tokenless.tokenSupplier = nullptr;
  auto anonymous = Tirn::Http::ClientProvider::Create(clientThreads.contexts(), url,
                                                      Ti::Operations(), tokenless, &problem);
  auto refused =
      Providers::AsyncServiceStub(std::make_shared<Tirn::Stub::AsyncApiStub>(
                                      anonymous, std::make_shared<Tirn::Core::AsyncActivation>()))
          .Get("vault-native")
          .get();

  bool const ok = !answer.ok() && answer.error()->name() == Tirn::Data::Wire::kNotFoundError &&
                  !refused.ok() &&
                  refused.error()->name() == Tirn::Data::Wire::kUnauthenticatedError;
  std::promise<void> stopped;
  server.Stop(std::chrono::seconds(1), [&] { stopped.set_value(); });
  stopped.get_future().wait();
  if (!ok) {
    std::fprintf(stderr, "secure: expected not_found, then unauthenticated; got %s, then %s\n",
                 answer.ok() ? "a result" : answer.error()->name().c_str(),
                 refused.ok() ? "a result" : refused.error()->name().c_str());
  }
  return ok ? 0 : 1;
}
