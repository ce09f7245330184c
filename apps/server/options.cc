#include "apps/server/options.h"

#include <boost/program_options.hpp>

#include <exception>
#include <sstream>
#include <vector>

#include "apps/common/defaults.h"

namespace ServerApp {

namespace po = boost::program_options;

bool ParseListenAddress(std::string const& text, std::string& host, unsigned short& port) {
  std::size_t const colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == text.size() ||
      colon + 6 < text.size()) {
    return false;
  }
  std::string name = text.substr(0, colon);
  if (name.front() == '[') {
    if (name.size() < 3 || name.back() != ']') return false;
    name = name.substr(1, name.size() - 2);
  } else if (name.find(':') != std::string::npos) {
    return false;  // a bare IPv6 address needs brackets
  }
  unsigned long number = 0;
  for (std::size_t i = colon + 1; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    number = number * 10 + static_cast<unsigned long>(text[i] - '0');
  }
  if (number > 65535) return false;
  host = name;
  port = static_cast<unsigned short>(number);
  return true;
}

ParsedOptions ParseOptions(int argc, char const* const* argv) {
  ParsedOptions parsed;
  ServerConfig& config = parsed.config;
  std::string const defaultListen = config.host + ":" + std::to_string(Apps::kDefaultPort);
  std::string listen;
  std::string logFormat;
  po::options_description options("tirn-server: serves the trusted-infrastructure services over HTTP\n\nOptions");
  options.add_options()
      ("help", "print this help and exit")
      ("version", "print the version and exit")
      ("listen", po::value(&listen)->default_value(defaultListen)->value_name("HOST:PORT"),
       "address to listen on; port 0 picks a free one")
      ("tls-cert", po::value(&config.tlsCertificateFile)->value_name("FILE"),
       "PEM certificate chain of the server (needs --tls-key)")
      ("tls-key", po::value(&config.tlsPrivateKeyFile)->value_name("FILE"),
       "PEM private key of the server (needs --tls-cert)")
      ("tokens", po::value(&config.tokenFile)->value_name("FILE"),
       "bearer tokens accepted, one '<token> <caller name>' per line; without it every caller "
       "is anonymous")
      ("policy", po::value(&config.policyFile)->value_name("FILE"),
       "which caller may call which operations, one '<caller> <pattern>' per line ('-' is the "
       "anonymous caller, '*' matches any characters); everything else is refused (403)")
      ("threads", po::value(&config.threads)->default_value(config.threads)->value_name("N"),
       "threads serving calls (1 to 256)")
      ("log-format", po::value(&logFormat)->default_value("text")->value_name("text|json"),
       "form of the log lines on stderr")
      ("data", po::value(&config.dataFile)->default_value(config.dataFile)->value_name("FILE"),
       "file of the records; ':memory:' keeps them in memory only")
      ("key-file", po::value(&config.keyFile)->value_name("FILE"),
       "32-byte key sealing secrets at rest; default <data>.key, created on first start");
  po::variables_map values;
  try {
    po::store(po::command_line_parser(argc, argv).options(options).run(), values);
    po::notify(values);
  } catch (std::exception const& problem) {
    parsed.outcome = ParsedOptions::kError;
    parsed.text = problem.what();
    return parsed;
  }
  if (values.count("version")) {
    parsed.outcome = ParsedOptions::kVersion;
    parsed.text = std::string("tirn-server ") + TIRN_VERSION + "\n";
    return parsed;
  }
  if (values.count("help")) {
    std::ostringstream usage;
    usage << "Usage: tirn-server [options]\n"
          << "       tirn-server hash-token [CALLER] < token   (a --tokens line without the token)\n"
          << options
          << "\nSIGHUP rereads the --tokens and --policy files (a file that does not parse is "
             "refused\nand the one read before stays); every other option needs a restart.\n";
    parsed.outcome = ParsedOptions::kHelp;
    parsed.text = usage.str();
    return parsed;
  }
  auto fail = [&parsed](std::string const& why) {
    parsed.outcome = ParsedOptions::kError;
    parsed.text = why;
    return parsed;
  };
  if (!ParseListenAddress(listen, config.host, config.port)) {
    return fail("--listen wants HOST:PORT with a port from 0 to 65535, not '" + listen + "'");
  }
  if (config.tlsCertificateFile.empty() != config.tlsPrivateKeyFile.empty()) {
    return fail("--tls-cert and --tls-key go together");
  }
  if (config.threads < 1 || config.threads > 256) {
    return fail("--threads wants a number from 1 to 256");
  }
  if (logFormat == "text") {
    config.logFormat = LogFormat::kText;
  } else if (logFormat == "json") {
    config.logFormat = LogFormat::kJson;
  } else {
    return fail("--log-format wants 'text' or 'json', not '" + logFormat + "'");
  }
  if (config.dataFile.empty()) return fail("--data wants a file name or ':memory:'");
  return parsed;
}

}  // namespace ServerApp
