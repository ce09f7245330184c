// tirn_bare_server: the floor of the server benchmark, a process of its own that answers every
// HTTP request with one fixed JSON body, over a minimal Boost.Beast server (floor_server.h) on
// 127.0.0.1 at a free port. It does what tirn-server does for a call that needs no work (read a
// request, write an answer) and nothing else, with as many serving threads.
//
//   tirn_bare_server --body-file answer.json [--threads 2]
//
// It prints "listening on http://127.0.0.1:PORT" on stdout once it listens, and serves until
// SIGTERM or SIGINT. Exit status 0 after a signal, 2 for a bad command line or a body it cannot
// read, 1 when it cannot listen.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "bench/floor_server.h"

int main(int argc, char** argv) {
  std::string bodyFile;
  unsigned threads = 2;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string const name = argv[i];
    if (name == "--body-file") {
      bodyFile = argv[i + 1];
    } else if (name == "--threads") {
      threads = static_cast<unsigned>(std::strtoul(argv[i + 1], nullptr, 10));
    } else {
      bodyFile.clear();
      break;
    }
  }
  std::ifstream in(bodyFile, std::ios::binary);
  if (bodyFile.empty() || (argc % 2) != 1 || threads == 0 || threads > 64 || !in) {
    std::fprintf(stderr, "usage: tirn_bare_server --body-file FILE [--threads 1..64]\n");
    return 2;
  }
  std::string body((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());

  // The signals are waited for by this thread alone: blocked before any other thread starts.
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGTERM);
  sigaddset(&stops, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stops, nullptr);

  bench::FloorThreads serving(threads);
  auto server =
      std::make_shared<bench::FloorServer>(serving.context(), "application/json", std::move(body));
  std::string error;
  if (!server->Start(&error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  std::printf("listening on http://127.0.0.1:%u\n", static_cast<unsigned>(server->port()));
  std::fflush(stdout);
  int signal = 0;
  sigwait(&stops, &signal);
  serving.Join();
  return 0;
}
