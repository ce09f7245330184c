#include "apps/server/options.h"

#include <boost/program_options.hpp>
#include <boost/version.hpp>
#include <libpq-fe.h>
#include <openssl/crypto.h>
#include <sqlite3.h>

#include <cctype>
#include <exception>
#include <sstream>
#include <tuple>
#include <vector>

#include "apps/common/defaults.h"
#include "apps/common/suggest.h"
#include "tirn/http/trusted_file.h"
#include "tirn/text/text.h"

namespace ServerApp {

namespace po = boost::program_options;

bool ParseListenAddress(std::string const& text, std::string& host, unsigned short& port) {
  Tirn::Text::HostPort address;
  if (!Tirn::Text::ParseHostPort(text, &address) || !address.hasPort) return false;
  host = address.host;
  port = address.port;
  return true;
}

namespace {

// The options the environment sets: every TIRN_SERVER_<NAME>=value of `environment` as the
// option <name> (lower case, '-' for '_'). False, naming the variable, when one names no
// option of `table`.
bool ReadEnvironment(char const* const* environment, po::options_description const& table,
                     po::parsed_options& out, std::string& error) {
  std::string const prefix = kEnvironmentPrefix;
  for (; environment != nullptr && *environment != nullptr; ++environment) {
    std::string const entry = *environment;
    std::size_t const equals = entry.find('=');
    if (equals == std::string::npos || entry.compare(0, prefix.size(), prefix) != 0) continue;
    std::string name = entry.substr(prefix.size(), equals - prefix.size());
    for (char& c : name) c = c == '_' ? '-' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (name.empty() || table.find_nothrow(name, false) == nullptr) {
      error = "the environment variable " + entry.substr(0, equals) + " names no option";
      return false;
    }
    po::option option;
    option.string_key = name;
    option.value.push_back(entry.substr(equals + 1));
    out.options.push_back(std::move(option));
  }
  return true;
}

// A duration of whole seconds, minutes, hours or days ("90", "90s", "15m", "24h", "7d"), from
// one second to 365 days.
bool ParseWindow(std::string const& text, std::chrono::seconds& out) {
  std::size_t digits = 0;
  while (digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits]))) ++digits;
  if (digits == 0 || digits > 9) return false;
  long long const number = std::stoll(text.substr(0, digits));
  std::string const unit = text.substr(digits);
  long long scale = 0;
  if (unit.empty() || unit == "s") scale = 1;
  if (unit == "m") scale = 60;
  if (unit == "h") scale = 60 * 60;
  if (unit == "d") scale = 24 * 60 * 60;
  long long const seconds = number * scale;
  if (scale == 0 || seconds < 1 || seconds > 365LL * 24 * 60 * 60) return false;
  out = std::chrono::seconds(seconds);
  return true;
}

// The names of the settings of `table`, for suggestions.
std::vector<std::string> NamesOf(po::options_description const& table) {
  std::vector<std::string> names;
  for (auto const& option : table.options()) names.push_back(option->long_name());
  return names;
}

// Checks that every line of a configuration file is a comment, blank, or "name = value" for a
// setting of `table`; false with "FILE:LINE: what is wrong" (and the setting most likely meant)
// in `error`.
bool CheckConfigLines(std::string const& file, std::string const& text,
                      po::options_description const& table, std::string& error) {
  std::istringstream lines(text);
  std::string line;
  for (int number = 1; std::getline(lines, line); ++number) {
    std::string const where = file + ":" + std::to_string(number) + ": ";
    std::string content = line.substr(0, line.find('#'));
    std::size_t const first = content.find_first_not_of(" \t\r");
    if (first == std::string::npos) continue;
    std::size_t const equals = content.find('=');
    if (equals == std::string::npos) {
      error = where + "expected 'name = value', not '" + content.substr(first) + "'";
      return false;
    }
    std::string name = content.substr(first, equals - first);
    name.erase(name.find_last_not_of(" \t") + 1);
    if (table.find_nothrow(name, false) == nullptr) {
      error = where + "no setting is called '" + name + "'" + Apps::DidYouMean(name, NamesOf(table));
      return false;
    }
  }
  return true;
}

}  // namespace

ParsedOptions ParseOptions(int argc, char const* const* argv, char const* const* environment) {
  ParsedOptions parsed;
  ServerConfig& config = parsed.config;
  auto fail = [&parsed](std::string const& why) {
    parsed.outcome = ParsedOptions::kError;
    parsed.text = why;
    return parsed;
  };
  std::string const defaultListen = config.host + ":" + std::to_string(Apps::kDefaultPort);
  std::string listen;
  std::string logFormat;
  std::string configFile;
  std::string metricsListen;
  std::string unknownFields;
  std::string clientCertificate;
  std::string clientName;
  double drainDelay = 5;
  double readTimeout = 10;
  double drainTimeout = 30;
  double databaseWait = 30;
  std::string idempotencyWindow = "24h";
  // The one table of settings, read from the command line, the environment and the file.
  po::options_description settings("Options (also TIRN_SERVER_<NAME> variables and --config lines)");
  settings.add_options()
      ("config", po::value(&configFile)->value_name("FILE"),
       "read options from FILE, one 'name = value' a line ('listen = 127.0.0.1:7431'; '#' "
       "starts a comment); flags win over the environment, which wins over the file")
      ("listen", po::value(&listen)->default_value(defaultListen)->value_name("HOST:PORT"),
       "address to listen on; port 0 picks a free one")
      ("tls-cert", po::value(&config.tlsCertificateFile)->value_name("FILE"),
       "PEM certificate chain of the server (needs --tls-key)")
      ("tls-key", po::value(&config.tlsPrivateKeyFile)->value_name("FILE"),
       "PEM private key of the server (needs --tls-cert)")
      ("client-ca", po::value(&config.clientCaFile)->value_name("FILE"),
       "PEM file of the CAs whose client certificates name callers (mutual TLS; needs "
       "--tls-cert); a certificate that does not verify is refused in the handshake")
      ("client-cert",
       po::value(&clientCertificate)->default_value("required")->value_name("required|optional"),
       "with --client-ca: whether a client must send a certificate, or may call with a token "
       "or anonymously instead")
      ("client-crl", po::value(&config.clientCrlFile)->value_name("FILE"),
       "PEM file of revocation lists of the --client-ca CAs (one for each of them)")
      ("client-name", po::value(&clientName)->default_value("cn")->value_name("cn|san-uri|san-dns"),
       "the field of a client certificate that names its caller: the subject's common name, "
       "or its first URI or DNS subject alternative name")
      ("tokens", po::value(&config.tokenFile)->value_name("FILE"),
       "bearer tokens accepted, one '<token> <caller name>' or 'sha256:<hex> <caller name>' "
       "per line; without it every caller is anonymous")
      ("policy", po::value(&config.policyFile)->value_name("FILE"),
       "which caller may call which operations, one '<caller> <pattern>' per line ('-' is the "
       "anonymous caller, '*' matches any characters); everything else is refused (403)")
      ("metrics-listen", po::value(&metricsListen)->value_name("HOST:PORT"),
       "serve GET /metrics on a listener of its own (plain HTTP) instead of the main one")
      ("metrics-token", po::bool_switch(&config.metricsNeedToken),
       "GET /metrics needs a token from --tokens (by default it needs none)")
      ("max-connections-per-address",
       po::value(&config.maxConnectionsPerAddress)
           ->default_value(config.maxConnectionsPerAddress)
           ->value_name("N"),
       "connections served at once from one peer address, counted when accepted, so that "
       "silent sockets from one address cannot take them all (0: no limit); behind a load "
       "balancer, set it above the balancer's connections to this server, or to 0")
      ("read-timeout", po::value(&readTimeout)->default_value(10)->value_name("SECONDS"),
       "time a request has to arrive whole (and an answer to be written) before its "
       "connection is closed and what it sent is wiped")
      ("drain-delay", po::value(&drainDelay)->default_value(5)->value_name("SECONDS"),
       "on SIGTERM or SIGINT: keep serving this long after /readyz turns 503, so that a load "
       "balancer stops sending first")
      ("drain-timeout", po::value(&drainTimeout)->default_value(30)->value_name("SECONDS"),
       "then stop accepting and give the calls in flight this long to finish")
      ("idempotency-window",
       po::value(&idempotencyWindow)->default_value("24h")->value_name("DURATION"),
       "how long the outcome of a write that carried an Idempotency-Key is kept, so that the "
       "same write tried again is answered from it instead of done twice: seconds, or a "
       "number with s, m, h or d (1s to 365d)")
      ("threads", po::value(&config.threads)->default_value(config.threads)->value_name("N"),
       "threads serving the connections (1 to 256)")
      ("call-threads",
       po::value(&config.callThreads)->default_value(config.callThreads)->value_name("N"),
       "threads running the operations, which wait for the records' store (1 to 256)")
      ("log-format", po::value(&logFormat)->default_value("text")->value_name("text|json"),
       "form of the log lines on stderr")
      ("unknown-fields",
       po::value(&unknownFields)->default_value("reject")->value_name("reject|keep"),
       "a field the definitions do not name, at any depth of a create, update or delete's "
       "input (a misspelt one): refused with 400 naming it, or kept and stored unread")
      ("data",
       po::value(&config.dataFile)->default_value(config.dataFile)->value_name("FILE|URI"),
       "file of the records; ':memory:' keeps them in memory only; or a PostgreSQL database "
       "that many servers may share, postgresql://USER@HOST:PORT/DATABASE, which needs "
       "--key-file (the same for every server) and holds no password: it comes from "
       "PGPASSWORD or the password file (~/.pgpass, or the one PGPASSFILE names)")
      ("database-wait",
       po::value(&databaseWait)->default_value(30)->value_name("SECONDS"),
       "at start: how long to wait for a PostgreSQL database that does not answer yet, or is "
       "starting up, trying again twice a second; one that refuses the user, the password or "
       "the database's name stops the server at once; 0 tries once")
      ("key-file", po::value(&config.keyFile)->value_name("FILE"),
       "32-byte key sealing secrets at rest; default <data>.key, created on first start");
  po::options_description commandLine;
  commandLine.add_options()
      ("help", "print this help and exit")
      ("version", "print the version and exit");
  commandLine.add(settings);
  po::variables_map values;
  std::string error;
  try {
    // The first source to set an option wins: flags, then the environment, then the file.
    po::parsed_options const line = po::command_line_parser(argc, argv).options(commandLine).run();
    for (auto const& option : line.options) {
      // Every setting is an option: a word without one is a mistake (a value that lost its
      // option, a subcommand misspelt), never silently ignored.
      if (option.position_key >= 0) {
        return fail("unexpected argument '" +
                    (option.value.empty() ? option.string_key : option.value.front()) + "'");
      }
    }
    po::store(line, values);
    po::parsed_options fromEnvironment(&settings);
    if (!ReadEnvironment(environment, settings, fromEnvironment, error)) return fail(error);
    po::store(fromEnvironment, values);
    if (values.count("config")) {
      std::string const& name = values["config"].as<std::string>();
      Tirn::Http::TrustedFile rule;
      rule.what = "the configuration file";
      std::string text;
      if (!Tirn::Http::ReadTrustedFile(name, rule, text, error)) return fail("--config: " + error);
      if (!CheckConfigLines(name, text, settings, error)) return fail(error);
      std::istringstream file(text);
      po::store(po::parse_config_file(file, settings), values);
    }
    po::notify(values);
  } catch (po::unknown_option const& problem) {
    std::string name = problem.get_option_name();
    name.erase(0, name.find_first_not_of('-'));
    std::string hint = Apps::Closest(name, NamesOf(commandLine));
    return fail(std::string(problem.what()) + (hint.empty() ? "" : " (did you mean --" + hint + "?)"));
  } catch (std::exception const& problem) {
    return fail(problem.what());
  }
  if (values.count("version")) {
    parsed.outcome = ParsedOptions::kVersion;
    // The libraries it runs with, as they report themselves where they can.
    parsed.text = std::string("tirn-server ") + TIRN_VERSION + "\nlibraries: tirn " +
                  TIRN_VERSION + ", " + OpenSSL_version(OPENSSL_VERSION) + ", SQLite " +
                  sqlite3_libversion() + ", libpq " + std::to_string(PQlibVersion() / 10000) +
                  "." + std::to_string(PQlibVersion() % 100) + ", Boost " +
                  std::to_string(BOOST_VERSION / 100000) + "." +
                  std::to_string(BOOST_VERSION / 100 % 1000) + "\n";
    return parsed;
  }
  if (values.count("help")) {
    std::ostringstream usage;
    usage << "Usage: tirn-server [options]\n"
          << "       tirn-server hash-token [CALLER] < token   (a --tokens line without the token)\n"
          << "       tirn-server hash-token --new [CALLER]   (a fresh token, then its --tokens line)\n"
          << "       tirn-server check [options]   (reads what a start would read, says every problem)\n"
          << "       tirn-server rekey --data FILE|URI --key-file OLD --new-key-file NEW   (reseal)\n"
          << "       tirn-server backup --data FILE --to COPY   (a copy of a running server's records)\n"
          << "       tirn-server copy --from FILE --to URI --key-file KEY   (records into PostgreSQL)\n"
          << commandLine
          << "\nSIGHUP rereads the --tokens, --policy, --tls-cert, --tls-key, --client-ca and "
             "--client-crl files\n(a file that does not parse or cannot be trusted is refused and "
             "the one read before stays);\nevery other option needs a restart.\n";
    parsed.outcome = ParsedOptions::kHelp;
    parsed.text = usage.str();
    return parsed;
  }
  // An empty file name would quietly turn a feature off (no tokens: everyone anonymous).
  for (char const* name :
       {"tls-cert", "tls-key", "tokens", "policy", "key-file", "client-ca", "client-crl"}) {
    if (values.count(name) && values[name].as<std::string>().empty()) {
      return fail(std::string("--") + name + " wants a file name, not an empty text");
    }
  }
  if (!ParseListenAddress(listen, config.host, config.port)) {
    return fail("--listen wants HOST:PORT with a port from 0 to 65535, not '" + listen + "'");
  }
  if (values.count("metrics-listen")) {
    config.metricsSeparate = true;
    if (!ParseListenAddress(metricsListen, config.metricsHost, config.metricsPort)) {
      return fail("--metrics-listen wants HOST:PORT with a port from 0 to 65535, not '" +
                  metricsListen + "'");
    }
  }
  if (config.metricsNeedToken && config.tokenFile.empty()) {
    return fail("--metrics-token needs --tokens");
  }
  if (config.tlsCertificateFile.empty() != config.tlsPrivateKeyFile.empty()) {
    return fail("--tls-cert and --tls-key go together");
  }
  if (!config.clientCaFile.empty() && config.tlsCertificateFile.empty()) {
    return fail("--client-ca needs --tls-cert and --tls-key: client certificates come over TLS");
  }
  if (!config.clientCrlFile.empty() && config.clientCaFile.empty()) {
    return fail("--client-crl needs --client-ca");
  }
  if (clientCertificate != "required" && clientCertificate != "optional") {
    return fail("--client-cert wants 'required' or 'optional', not '" + clientCertificate + "'");
  }
  config.clientCertificateRequired = clientCertificate == "required";
  using ClientName = Tirn::Http::ServerOptions::ClientName;
  if (clientName == "cn") {
    config.clientNameFrom = ClientName::kCommonName;
  } else if (clientName == "san-uri") {
    config.clientNameFrom = ClientName::kSanUri;
  } else if (clientName == "san-dns") {
    config.clientNameFrom = ClientName::kSanDns;
  } else {
    return fail("--client-name wants 'cn', 'san-uri' or 'san-dns', not '" + clientName + "'");
  }
  if (config.threads < 1 || config.threads > 256) {
    return fail("--threads wants a number from 1 to 256");
  }
  if (config.callThreads < 1 || config.callThreads > 256) {
    return fail("--call-threads wants a number from 1 to 256");
  }
  if (logFormat == "text") {
    config.logFormat = LogFormat::kText;
  } else if (logFormat == "json") {
    config.logFormat = LogFormat::kJson;
  } else {
    return fail("--log-format wants 'text' or 'json', not '" + logFormat + "'");
  }
  if (config.dataFile.empty()) {
    return fail("--data wants a file name, a PostgreSQL URI or ':memory:'");
  }
  for (auto const& [name, seconds, into] :
       {std::tuple<char const*, double, std::chrono::milliseconds*>{"--drain-delay", drainDelay,
                                                                    &config.drainDelay},
        {"--drain-timeout", drainTimeout, &config.drainTimeout},
        {"--read-timeout", readTimeout, &config.readTimeout},
        {"--database-wait", databaseWait, &config.databaseWait}}) {
    if (!(seconds >= 0 && seconds <= 3600)) {
      return fail(std::string(name) + " wants a number of seconds from 0 to 3600");
    }
    *into = std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
  }
  if (!ParseWindow(idempotencyWindow, config.idempotencyWindow)) {
    return fail("--idempotency-window wants a duration from 1s to 365d (seconds, or a number "
                "with s, m, h or d), not '" + idempotencyWindow + "'");
  }
  if (unknownFields != "reject" && unknownFields != "keep") {
    return fail("--unknown-fields wants 'reject' or 'keep', not '" + unknownFields + "'");
  }
  config.keepUnknownFields = unknownFields == "keep";
  return parsed;
}

}  // namespace ServerApp
