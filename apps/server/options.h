// The settings of tirn-server, parsed into a configuration or an error text. One table of
// options serves three sources: the command line (--listen 127.0.0.1:7431), the environment
// (TIRN_SERVER_LISTEN=127.0.0.1:7431) and a file named by --config or TIRN_SERVER_CONFIG
// (lines "listen = 127.0.0.1:7431", '#' starts a comment). A flag wins over the environment,
// which wins over the file.
//
//   auto parsed = ServerApp::ParseOptions(argc, argv, environ);
//   if (parsed.outcome == ServerApp::ParsedOptions::kError) { std::cerr << parsed.text; return 2; }
//   if (parsed.outcome == ServerApp::ParsedOptions::kHelp) { std::cout << parsed.text; return 0; }
//   Serve(parsed.config);
#ifndef APPS_SERVER_OPTIONS_H_
#define APPS_SERVER_OPTIONS_H_

#include <chrono>
#include <string>

#include "tirn/http/server.h"

namespace ServerApp {

enum class LogFormat { kText, kJson };

struct ServerConfig {
  // Address and port to listen on. Default 127.0.0.1 and Apps::kDefaultPort; port 0 picks a
  // free one.
  std::string host = "127.0.0.1";
  unsigned short port = 0;
  // PEM certificate chain and private key; both empty: plain HTTP.
  std::string tlsCertificateFile;
  std::string tlsPrivateKeyFile;
  // PEM file of the CAs whose client certificates name callers (mutual TLS); empty: none
  // asked for. Whether a client must send one, the CRL file, and the certificate field that
  // names the caller.
  std::string clientCaFile;
  bool clientCertificateRequired = true;
  std::string clientCrlFile;
  Tirn::Http::ServerOptions::ClientName clientNameFrom =
      Tirn::Http::ServerOptions::ClientName::kCommonName;
  // Bearer tokens accepted ("<token> <caller name>" per line); empty: anonymous callers.
  std::string tokenFile;
  // Which caller may call which operations ("<caller> <pattern>" per line); empty: every
  // caller may call everything.
  std::string policyFile;
  // Where GET /metrics is served: on the main listener when `metricsSeparate` is false,
  // otherwise on a listener of its own at metricsHost:metricsPort (which serves nothing else).
  bool metricsSeparate = false;
  std::string metricsHost;
  unsigned short metricsPort = 0;
  // Whether GET /metrics needs a token the --tokens file accepts. Default: it needs none.
  bool metricsNeedToken = false;
  // Connections served at once from one peer address (counted at accept); 0: no limit.
  // Default 256. Behind a balancer every connection comes from its address.
  unsigned maxConnectionsPerAddress = 256;
  // On SIGTERM or SIGINT: how long the server keeps serving once /readyz says it is not
  // ready (so that a balancer's checks notice), then how long the calls in flight get to
  // finish once it stops accepting. Default 5 s and 30 s.
  std::chrono::milliseconds drainDelay{5000};
  // Time a request (headers and body) has to arrive whole, and an answer to be written.
  // Default 10 s.
  std::chrono::milliseconds readTimeout{10000};
  std::chrono::milliseconds drainTimeout{30000};
  // At start: how long to wait for a PostgreSQL database that does not answer yet (a deploy,
  // a restart of the database), trying again twice a second. Default 30 s; 0 tries once.
  std::chrono::milliseconds databaseWait{30000};
  // How long the outcome of a write that carried an Idempotency-Key is kept, so that the
  // write tried again within it is answered from it rather than done twice. Default 24 h.
  std::chrono::seconds idempotencyWindow{24 * 60 * 60};
  // Threads that serve the connections. Default 2.
  unsigned threads = 2;
  // Threads that run the operations, and so wait for the store; a PostgreSQL store keeps a
  // connection for each, and one more for the readiness probe. Default 8.
  unsigned callThreads = 8;
  LogFormat logFormat = LogFormat::kText;
  // Whether the inputs of writes may hold fields the definitions do not name (kept and stored
  // unread). Default: they are refused, naming the field.
  bool keepUnknownFields = false;
  // The records' file; ":memory:" keeps them in memory; a PostgreSQL URI (postgresql://...)
  // names a database many servers may share. Default tirn-server.db.
  std::string dataFile = "tirn-server.db";
  // The 32-byte key that seals secrets at rest; empty: <dataFile>.key, created when absent.
  std::string keyFile;
};

struct ParsedOptions {
  enum Outcome { kRun, kHelp, kVersion, kError };
  Outcome outcome = kRun;
  ServerConfig config;
  // kHelp: the usage text; kVersion: the version line; kError: what is wrong, one line.
  std::string text;
};

// The prefix of the environment variables that set options: TIRN_SERVER_ and the option's
// name in capitals with '_' for '-' (TIRN_SERVER_TLS_CERT for --tls-cert).
constexpr char kEnvironmentPrefix[] = "TIRN_SERVER_";

// Parses `argv`, then the variables of `environment` (a null-terminated array of "NAME=value"
// entries such as `environ`; null for none) that start with kEnvironmentPrefix, then the
// configuration file when one is named. A variable with the prefix that names no option is
// an error, as an unknown flag is; so is an empty file name from any source.
ParsedOptions ParseOptions(int argc, char const* const* argv,
                           char const* const* environment = nullptr);

// Splits "host:port" (or "[v6]:port") into its parts; false when it is not of that form or
// the port is not 0 to 65535.
[[nodiscard]] bool ParseListenAddress(std::string const& text, std::string& host,
                                      unsigned short& port);

}  // namespace ServerApp

#endif  // APPS_SERVER_OPTIONS_H_
