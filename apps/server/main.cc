// tirn-server: the reference services of the trusted-infrastructure package over HTTP, with
// their records in an SQLite file or in a PostgreSQL database that many instances share.
// `tirn-server --help` lists the options.
#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <exception>
#include <chrono>
#include <future>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "apps/server/access_files.h"
#include "apps/server/check.h"
#include "apps/server/data_files.h"
#include "apps/server/log_line.h"
#include "apps/server/maintenance.h"
#include "apps/server/metrics.h"
#include "apps/server/options.h"
#include "apps/server/postgres_store.h"
#include "apps/server/readiness.h"
#include "apps/server/tokens.h"
#include "apps/reference/reference_server.h"
#include "com/ostrel/nox/trusted_infrastructure/operations.h"
#include "tirn/http/io_threads.h"
#include "tirn/http/server.h"
#include "tirn/runtime/call/in_process_provider.h"
#include "tirn/text/text.h"

namespace {

using Tirn::Text::HostForUrl;

// The next of `signals` to arrive within `wait` (one already pending, for no wait); 0 when
// none did.
int NextSignal(sigset_t const& signals, std::chrono::milliseconds wait) {
  auto const until = std::chrono::steady_clock::now() + wait;
  for (;;) {
    auto const left = std::max(std::chrono::nanoseconds(0),
                               std::chrono::duration_cast<std::chrono::nanoseconds>(
                                   until - std::chrono::steady_clock::now()));
    timespec const timeout{static_cast<time_t>(left.count() / 1000000000),
                           static_cast<long>(left.count() % 1000000000)};
    int const signal = sigtimedwait(&signals, nullptr, &timeout);
    if (signal > 0) return signal;
    if (errno != EINTR) return 0;  // EAGAIN: the time is up
  }
}

// SIGINT and SIGTERM, without SIGHUP.
sigset_t StopOnly() {
  sigset_t stopOnly;
  sigemptyset(&stopOnly);
  sigaddset(&stopOnly, SIGINT);
  sigaddset(&stopOnly, SIGTERM);
  return stopOnly;
}

// How long before its TLS certificate expires, or a client CRL is due, the server warns.
constexpr std::chrono::hours kTlsWarning{14 * 24};

// Says on the metrics page until when the TLS files in force serve, and warns in the log when
// that is less than two weeks away.
void NoteTlsValidity(Tirn::Http::Server const& server, ServerApp::ServerConfig const& config,
                     ServerApp::ServerMetrics& metrics, ServerApp::LogWriter& log) {
  Tirn::Http::Server::TlsValidity const validity = server.tlsValidity();
  metrics.TlsValidUntil(validity);
  auto const now = std::chrono::system_clock::now();
  for (auto const& [what, until] :
       {std::pair{"the certificate " + config.tlsCertificateFile + " expires",
                  validity.certificate},
        {"the client CRL " + config.clientCrlFile + " is due to be replaced", validity.clientCrl}}) {
    if (until == std::chrono::system_clock::time_point() || until - now > kTlsWarning) continue;
    if (until <= now) {
      // Only a CRL gets here (an expired certificate is refused): certificates of its CA are
      // refused until a newer one comes; callers without one are still served.
      log.Note("warning: the client CRL " + config.clientCrlFile + " is past its next update: "
               "its CA's client certificates are refused until a newer one is given and "
               "SIGHUP sent");
      continue;
    }
    auto const hours = std::chrono::duration_cast<std::chrono::hours>(until - now).count();
    log.Note("warning: " + what + " in " +
             (hours < 24 ? std::string("less than a day") : std::to_string((hours + 23) / 24) +
                                                               " days") +
             ": renew it, then send SIGHUP");
  }
}

// Serves until SIGINT or SIGTERM, rereading the access and TLS files on each SIGHUP, then
// drains: /readyz answers 503 at once, the server keeps serving for the drain delay (so that a
// balancer's checks notice and send elsewhere), then stops accepting and gives the calls in
// flight the drain timeout to finish, answering a kept-alive connection's next request with
// Connection: close and closing the idle ones. A second SIGINT or SIGTERM stops at once.
void ServeUntilStopped(ServerApp::ServerConfig const& config, sigset_t const& stopSignals,
                       ServerApp::LogWriter& log, ServerApp::AccessFiles& access, ServerApp::Readiness& readiness,
                       ServerApp::ServerMetrics& metrics, Tirn::Http::Server& server,
                       Tirn::Http::Server* metricsServer) {
  int stopSignal = 0;
  std::string error;
  std::vector<std::string> warnings;
  NoteTlsValidity(server, config, metrics, log);
  std::cout << "listening on " << (config.tlsCertificateFile.empty() ? "http" : "https")
            << "://" << HostForUrl(config.host) << ":" << server.port() << std::endl;
  if (metricsServer) {
    std::cout << "metrics on http://" << HostForUrl(config.metricsHost) << ":"
              << metricsServer->port() << "/metrics" << std::endl;
  }
  // SIGHUP rereads the tokens, the policy and the TLS files; SIGINT and SIGTERM stop.
  while (sigwait(&stopSignals, &stopSignal) == 0 && stopSignal == SIGHUP) {
    warnings.clear();
    if (access.Load(error, warnings)) {
      for (auto const& warning : warnings) log.Note("warning: " + warning);
      log.Note("reloaded the tokens and the policy");
    } else {
      log.Note("reload refused, the files read before stay in force: " + error);
    }
    if (config.tlsCertificateFile.empty()) continue;
    if (server.ReloadTls(&error)) {
      NoteTlsValidity(server, config, metrics, log);
      log.Note(config.clientCaFile.empty()
                   ? "reloaded the TLS certificate and key; open connections keep theirs"
                   : "reloaded the TLS certificate, key, client CAs and CRL; open connections "
                     "keep theirs");
    } else {
      log.Note("TLS reload refused, the certificate read before stays in force: " + error);
    }
  }
  char const* const name = stopSignal == SIGINT ? "SIGINT" : "SIGTERM";
  readiness.Drain();
  metrics.Draining();
  sigset_t const stopOnly = StopOnly();
  bool secondSignal = false;
  if (config.drainDelay.count() > 0) {
    log.Note(std::string("draining on ") + name + ": not ready, serving " +
             std::to_string(config.drainDelay.count()) +
             " ms more before the calls in flight are finished (another signal stops at once)");
    secondSignal = NextSignal(stopOnly, config.drainDelay) != 0;
  }
  if (metricsServer) metricsServer->Stop(std::chrono::milliseconds(0));
  if (!secondSignal) {
    log.Note(std::string("stopping on ") + name +
             ": no new connections; the calls in flight get " +
             std::to_string(config.drainTimeout.count()) + " ms");
    // Shared with the callback, which may still run after this scope when the stop is slow.
    auto stopped = std::make_shared<std::promise<void>>();
    auto stoppedFuture = stopped->get_future();
    server.Stop(config.drainTimeout, [stopped] { stopped->set_value(); });
    // Until every connection is closed, the drain timeout and a moment for the last writes
    // have passed, or another signal comes.
    auto const until =
        std::chrono::steady_clock::now() + config.drainTimeout + std::chrono::seconds(5);
    while (stoppedFuture.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
      if (std::chrono::steady_clock::now() >= until) {
        log.Note("connections still open after the drain timeout; closing anyway");
        return;
      }
      if (NextSignal(stopOnly, std::chrono::milliseconds(50)) != 0) {
        secondSignal = true;
        break;
      }
    }
    if (!secondSignal) {
      log.Note("drained: every connection is closed");
      return;
    }
  }
  // The server's destructor, as the caller's scope ends, closes every connection at once.
  log.Note("stopping at once: a second signal came while draining");
}

int Serve(ServerApp::ServerConfig const& config, sigset_t const& stopSignals) {
  ServerApp::LogWriter log(config.logFormat, STDERR_FILENO);
  std::string error;
  // The tokens and the policy first: they make no file.
  ServerApp::AccessFiles access(config);
  std::vector<std::string> warnings;
  if (!access.Load(error, warnings)) {
    log.Note("cannot start: " + error);
    return 1;
  }
  for (auto const& warning : warnings) log.Note("warning: " + warning);
  // The TLS files too, before the records are opened (which may make files, or wait).
  Tirn::Http::ServerOptions options;
  options.tlsCertificateFile = config.tlsCertificateFile;
  options.tlsPrivateKeyFile = config.tlsPrivateKeyFile;
  options.tlsClientCaFile = config.clientCaFile;
  options.tlsClientCertificateRequired = config.clientCertificateRequired;
  options.tlsClientCrlFile = config.clientCrlFile;
  if (!Tirn::Http::Server::CheckTls(options, &error)) {
    log.Note("cannot start: " + error);
    return 1;
  }
  ServerApp::OpenedData data;
  std::vector<std::string> notices;
  // A database that does not answer yet is waited for; SIGINT or SIGTERM ends the wait, and
  // the start, within moments (a SIGHUP stays pending for the serving loop).
  sigset_t const stopOnly = StopOnly();
  bool stopped = false;
  ServerApp::PostgresRecordStore::StartWait wait;
  wait.limit = config.databaseWait;
  wait.waiting = [&log](std::string const& why) { log.Note(why); };
  wait.pause = [&stopped, &stopOnly](std::chrono::milliseconds pause) {
    stopped = NextSignal(stopOnly, pause) != 0;
    return !stopped;
  };
  if (!ServerApp::OpenData(config, wait, data, notices, error)) {
    // A signal that came during the last try is an ask to stop too.
    stopped = stopped || NextSignal(stopOnly, std::chrono::milliseconds(0)) != 0;
    log.Note((stopped ? "stopped before it started: " : "cannot start: ") + error);
    return stopped ? 0 : 1;
  }
  for (auto const& notice : notices) log.Note(notice);

  options.address = config.host;
  options.port = config.port;
  options.clientNameFrom = config.clientNameFrom;
  options.maxConnectionsPerAddress = config.maxConnectionsPerAddress;
  options.readTimeout = std::max(config.readTimeout, std::chrono::milliseconds(1));
  // Without tokens the HTTP server itself says that every call is anonymous.
  access.Install(options);
  if (!config.keepUnknownFields) options.rejectsUnknownFields = &Reference::WritesRecords;
  options.callFinished = [&log](Tirn::Http::CallRecord const& entry) { log.Access(entry); };
  options.log = [&log](std::string const& text) { log.Note(text); };
  ServerApp::ServerMetrics metrics;
  metrics.Subscribe(options);
  // The page on a listener of its own, which serves nothing else and needs a token only when
  // asked to; or beside the operations.
  Tirn::Http::ServerOptions metricsOptions;
  if (config.metricsSeparate) {
    metricsOptions.address = config.metricsHost;
    metricsOptions.port = config.metricsPort;
    metricsOptions.endpoints.push_back(metrics.Endpoint(!config.metricsNeedToken));
    if (config.metricsNeedToken) access.Install(metricsOptions);
    metricsOptions.log = [&log](std::string const& text) { log.Note("metrics: " + text); };
  } else {
    options.endpoints.push_back(metrics.Endpoint(!config.metricsNeedToken));
  }
  data.store->KeepKeysFor(config.idempotencyWindow);
  ServerApp::Readiness readiness(*data.store, log);
  options.endpoints.push_back(readiness.Endpoint());

  bool refused = false;
  {
    Reference::ReferenceServer reference(
        metrics.CountStore(data.store), [&log](std::string const& text) { log.Note("records: " + text); });
    auto provider = std::make_shared<Tirn::Core::InProcessApiProvider>();
    reference.RegisterWith(*provider);
    // The operations run here, so that one waiting for the store holds none of the threads
    // that serve the connections. Made first and so joined last: a connection may hand an
    // operation over until the threads serving connections are joined.
    Tirn::Http::WorkThreads callThreads(config.callThreads);
    Tirn::Http::IoThreads threads(config.threads);
    options.callContext = &callThreads.context();
    // A get is one short read: where the store answers it without waiting for a write, it is
    // served on the connection's own thread, without two hand-offs between threads.
    if (data.store->ReadsAtOnce()) options.runsOnIoThread = &Reference::ReadsOneRecord;
    // A caller alone on its thread, as one making call after call is, has its writes and lists
    // served there too, when they wait for nothing but the data file.
    if (data.store->WaitsOnlyForItsDisk()) {
      options.runsOnIoThreadWhenAlone = [](std::string const&) { return true; };
    }
    Tirn::Http::Server server(threads.contexts(), provider,
                              Com::Ostrel::Nox::TrustedInfrastructure::Operations(), options);
    Tirn::Core::OperationTable const noOperations("", {});
    std::unique_ptr<Tirn::Http::Server> metricsServer;
    if (config.metricsSeparate) {
      metricsServer = std::make_unique<Tirn::Http::Server>(threads.contexts(), provider,
                                                           noOperations, metricsOptions);
    }
    if (!server.Start(&error) || (metricsServer && !metricsServer->Start(&error))) {
      log.Note("cannot start: " + error);
      refused = true;
    } else {
      ServeUntilStopped(config, stopSignals, log, access, readiness, metrics, server,
                        metricsServer.get());
    }
  }
  if (refused) {
    // Nothing was served from the records: the files made for them go too.
    ServerApp::Abandon(data);
    return 1;
  }
  // The threads are joined and the services gone: nothing uses the records any more.
  data.store.reset();
  data.lock.reset();
  log.Note("stopped");
  return 0;
}

// `tirn-server hash-token [CALLER]`: reads a token from standard input (its first line) and
// prints the token file's line for it, which holds the token's digest, not the token.
// `tirn-server hash-token --new [CALLER]` makes a fresh token and prints it, then its line.
int HashToken(int argc, char** argv) {
  std::vector<std::string> args(argv + 2, argv + argc);
  bool const fresh = !args.empty() && args.front() == "--new";
  if (fresh) args.erase(args.begin());
  if (args.size() > 1 || (!args.empty() && args.front().rfind("-", 0) == 0)) {
    std::cerr << "tirn-server: hash-token takes an optional caller name: tirn-server hash-token "
                 "[CALLER] < token, or tirn-server hash-token --new [CALLER]\n";
    return 2;
  }
  std::string const caller = args.empty() ? std::string() : " " + args.front();
  Tirn::SecretString token;
  if (fresh) {
    std::string error;
    if (!ServerApp::NewToken(token, error)) {
      std::cerr << "tirn-server: hash-token: " << error << "\n";
      return 1;
    }
    std::cout << token.value() << "\n";
    std::cerr << "the first line is the new token, for the caller; the second is its line for "
                 "the --tokens file\n";
  } else {
    std::string line;
    std::getline(std::cin, line);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    token = Tirn::SecretString(std::move(line));
    if (token.value().empty()) {
      std::cerr << "tirn-server: hash-token read no token from standard input (it hashes the "
                   "first line); to make a new token: tirn-server hash-token --new [CALLER]\n";
      return 2;
    }
    if (token.value().size() < ServerApp::kShortestToken) {
      // Its digest would hide how short it is from the server's own check.
      std::cerr << "tirn-server: hash-token: the token is shorter than "
                << ServerApp::kShortestToken
                << " characters, too easy to guess; tirn-server hash-token --new makes one\n";
      return 2;
    }
  }
  std::cout << ServerApp::HashedToken(token.value()) << caller << "\n";
  return std::cout.flush() ? 0 : 1;
}

int Main(int argc, char** argv) {
  if (argc >= 2 && std::string(argv[1]) == "hash-token") return HashToken(argc, argv);
  if (argc >= 2 && std::string(argv[1]) == "check") {
    return ServerApp::RunCheck(argc, argv, environ, std::cout);
  }
  if (argc >= 2 && std::string(argv[1]) == "rekey") return ServerApp::RunRekey(argc, argv);
  if (argc >= 2 && std::string(argv[1]) == "backup") return ServerApp::RunBackup(argc, argv);
  if (argc >= 2 && std::string(argv[1]) == "copy") return ServerApp::RunCopy(argc, argv);
  auto const parsed = ServerApp::ParseOptions(argc, argv, environ);
  switch (parsed.outcome) {
    case ServerApp::ParsedOptions::kHelp:
    case ServerApp::ParsedOptions::kVersion:
      std::cout << parsed.text;
      return 0;
    case ServerApp::ParsedOptions::kError:
      std::cerr << "tirn-server: " << parsed.text << " (see --help)\n";
      return 2;
    case ServerApp::ParsedOptions::kRun:
      break;
  }
  // A write past the file-size limit (ulimit -f) then fails with EFBIG, as a full disk makes
  // it fail, instead of killing the server: the call that made it answers with an error and
  // the others are still served.
  signal(SIGXFSZ, SIG_IGN);
  // Blocked before any thread starts, so that every thread inherits the mask and only the
  // sigwait in Serve receives the stop signals.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  return Serve(parsed.config, stopSignals);
}

}  // namespace

// Nothing is thrown out of main: whatever escapes (memory exhausted) is said in one line.
int main(int argc, char** argv) {
  try {
    return Main(argc, argv);
  } catch (std::exception const& problem) {
    std::cerr << "tirn-server: stopped by an unexpected failure: " << problem.what() << "\n";
  } catch (...) {
    std::cerr << "tirn-server: stopped by an unexpected failure\n";
  }
  return 1;
}
