// The one way tests and benchmarks start another program: a child process whose standard
// streams, environment, working folder, file-size limit and death signal are chosen up front,
// waited for with a bound and killed with its object.
//
//   TestSupport::ChildOptions options;
//   options.out = TestSupport::Stream::Pipe();
//   options.err = TestSupport::Stream::ToFile(dir + "/server.err");
//   TestSupport::ChildProcess server({TIRN_SERVER_BINARY, "--listen", "127.0.0.1:0"}, options);
//   ... read(server.out(), ...); server.Signal(SIGTERM); EXPECT_EQ(server.Wait(10s), 0);
//
//   TestSupport::Finished ran = TestSupport::Run({"/bin/sh", "-c", "echo hi"});
//   EXPECT_EQ(ran.out, "hi\n");
//
// Everything the child needs is made before fork: the parent has threads, so the child only
// makes async-signal-safe calls (dup2, open, chdir, setrlimit, prctl, execve) before it becomes
// the program. Not thread-safe: one thread owns a ChildProcess.
#ifndef TESTS_CHILD_PROCESS_H_
#define TESTS_CHILD_PROCESS_H_

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <ostream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

extern char** environ;

namespace TestSupport {

// Where one standard stream of a child goes.
struct Stream {
  enum Kind { kInherit, kNull, kPipe, kTruncate, kAppend, kDescriptor, kSameAsOut };
  Kind kind = kInherit;
  std::string path;  // kTruncate, kAppend
  int fd = -1;       // kDescriptor: the parent's descriptor, left open in the parent

  static Stream Null() { return {kNull, {}, -1}; }
  // A pipe to or from the parent: ChildProcess::in() or out(); stderr's is read by ReadToEnd.
  static Stream Pipe() { return {kPipe, {}, -1}; }
  // A file made (mode 0600) or emptied.
  static Stream ToFile(std::string path) { return {kTruncate, std::move(path), -1}; }
  static Stream AppendTo(std::string path) { return {kAppend, std::move(path), -1}; }
  static Stream Descriptor(int fd) { return {kDescriptor, {}, fd}; }
  // For stderr only: wherever stdout goes.
  static Stream SameAsOut() { return {kSameAsOut, {}, -1}; }
};

struct ChildOptions {
  Stream in = Stream::Null();
  Stream out;  // inherited, as is `err`
  Stream err;
  // The whole environment, "NAME=value" each; this process's own when `inherit` is true.
  bool inheritEnvironment = true;
  std::vector<std::string> environment;
  std::string directory;        // empty: this process's
  rlim_t fileSizeLimit = RLIM_INFINITY;  // RLIMIT_FSIZE of the child
  int deathSignal = 0;          // sent to the child when the thread that started it ends
};

class ChildProcess {
 public:
  // Starts argv[0] (a path: no search) with the other arguments; started() tells whether it did.
  ChildProcess(std::vector<std::string> argv, ChildOptions const& options = {}) {
    if (argv.empty()) return;
    std::vector<char*> args, env;
    for (auto& arg : argv) args.push_back(&arg[0]);
    args.push_back(nullptr);
    std::vector<std::string> environment = options.environment;
    if (!options.inheritEnvironment) {
      for (auto& entry : environment) env.push_back(&entry[0]);
      env.push_back(nullptr);
    }
    int pipes[3][2] = {{-1, -1}, {-1, -1}, {-1, -1}};
    Stream const* streams[3] = {&options.in, &options.out, &options.err};
    for (int i = 0; i < 3; ++i) {
      if (streams[i]->kind == Stream::kPipe && pipe2(pipes[i], O_CLOEXEC) != 0) {
        for (auto const& ends : pipes) {
          for (int fd : ends) {
            if (fd >= 0) close(fd);
          }
        }
        return;
      }
    }
    pid_t const parent = getpid();
    pid_ = fork();
    if (pid_ == 0) {
      if (options.deathSignal != 0 &&
          (prctl(PR_SET_PDEATHSIG, options.deathSignal) != 0 || getppid() != parent)) {
        _exit(126);
      }
      for (int i = 0; i < 3; ++i) {
        if (!Redirect(*streams[i], i, pipes[i])) _exit(126);
      }
      if (!options.directory.empty() && chdir(options.directory.c_str()) != 0) _exit(126);
      rlimit const limit{options.fileSizeLimit, options.fileSizeLimit};
      if (options.fileSizeLimit != RLIM_INFINITY && setrlimit(RLIMIT_FSIZE, &limit) != 0) {
        _exit(126);
      }
      execve(args[0], args.data(), options.inheritEnvironment ? environ : env.data());
      _exit(127);
    }
    // The parent keeps its ends: the write end of stdin, the read ends of stdout and stderr.
    for (int i = 0; i < 3; ++i) {
      int const keep = i == 0 ? 1 : 0;
      if (pipes[i][1 - keep] >= 0) close(pipes[i][1 - keep]);
      ends_[i] = pipes[i][keep];
    }
    if (pid_ < 0) {
      CloseEnds();
      pid_ = -1;
    }
  }

  ~ChildProcess() {
    if (pid_ > 0 && !exited_) {
      kill(pid_, SIGKILL);
      int status = 0;
      waitpid(pid_, &status, 0);
    }
    CloseEnds();
  }
  ChildProcess(ChildProcess const&) = delete;
  ChildProcess& operator=(ChildProcess const&) = delete;

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  // The parent's ends of the stdin and stdout pipes asked for; -1 otherwise.
  int in() const { return ends_[0]; }
  int out() const { return ends_[1]; }
  // Closes the parent's end of stdin, so that the child reads its end.
  void CloseIn() { CloseEnd(0); }

  void Signal(int signal) const {
    if (pid_ > 0 && !exited_) kill(pid_, signal);
  }

  // The exit status, 128 + the signal that ended it, or -1 when it has not ended within
  // `limit` (it is then killed) or never started.
  int Wait(std::chrono::milliseconds limit) {
    if (pid_ <= 0) return -1;
    if (exited_) return status_;
    auto const deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    pid_t ended;
    while ((ended = waitpid(pid_, &status, WNOHANG)) == 0 &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (ended == 0) {  // out of time
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
    }
    exited_ = true;
    status_ = ended <= 0            ? -1
              : WIFEXITED(status)   ? WEXITSTATUS(status)
              : WIFSIGNALED(status) ? 128 + WTERMSIG(status)
                                    : -1;
    return status_;
  }

  // The next line on the stdout pipe asked for, without its end; empty when none came within
  // `limit`.
  std::string ReadLine(std::chrono::milliseconds limit) {
    std::string line;
    auto const deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      pollfd ready{ends_[1], POLLIN, 0};
      if (poll(&ready, 1, 100) <= 0) continue;
      char c;
      if (read(ends_[1], &c, 1) != 1) break;
      if (c == '\n') return line;
      line += c;
    }
    return {};
  }

  // Reads the stdout and stderr pipes asked for until both end or `limit` passes; false when
  // time ran out.
  bool ReadToEnd(std::string* out, std::string* err, std::chrono::milliseconds limit) {
    auto const deadline = std::chrono::steady_clock::now() + limit;
    pollfd fds[2] = {{ends_[1], POLLIN, 0}, {ends_[2], POLLIN, 0}};
    std::string* sinks[2] = {out, err};
    int open = (fds[0].fd >= 0) + (fds[1].fd >= 0);
    while (open > 0) {
      auto const left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      if (poll(fds, 2, static_cast<int>(std::min<long long>(left.count(), 200))) <= 0) continue;
      for (int i = 0; i < 2; ++i) {
        if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        char buffer[4096];
        ssize_t const n = read(fds[i].fd, buffer, sizeof buffer);
        if (n > 0) {
          if (sinks[i]) sinks[i]->append(buffer, static_cast<std::size_t>(n));
        } else {
          fds[i].fd = -1;
          CloseEnd(i + 1);
          --open;
        }
      }
    }
    return true;
  }

 private:
  // In the child: makes `target` (0, 1, 2) what `stream` says.
  static bool Redirect(Stream const& stream, int target, int const (&ends)[2]) {
    if (stream.kind == Stream::kInherit) return true;
    // Onto a descriptor there already: the pipe's end, the parent's, or stdout.
    int const existing = stream.kind == Stream::kPipe         ? ends[target == 0 ? 0 : 1]
                         : stream.kind == Stream::kDescriptor ? stream.fd
                         : stream.kind == Stream::kSameAsOut  ? 1
                                                              : -1;
    if (existing >= 0) return dup2(existing, target) == target;
    int const flags = stream.kind == Stream::kAppend ? O_APPEND : O_TRUNC;
    int const fd = stream.kind == Stream::kNull
                       ? open("/dev/null", target == 0 ? O_RDONLY : O_WRONLY)
                       : open(stream.path.c_str(), O_WRONLY | O_CREAT | flags, 0600);
    if (fd < 0) return false;
    bool const moved = dup2(fd, target) == target;
    if (fd != target) close(fd);
    return moved;
  }

  void CloseEnd(int i) {
    if (ends_[i] >= 0) close(ends_[i]);
    ends_[i] = -1;
  }
  void CloseEnds() {
    for (int i = 0; i < 3; ++i) CloseEnd(i);
  }

  pid_t pid_ = -1;
  int ends_[3] = {-1, -1, -1};
  bool exited_ = false;
  int status_ = -1;
};

// A program run to its end, its output captured.
struct Finished {
  int status = -1;  // as ChildProcess::Wait says
  std::string out;
  std::string err;
};

inline std::ostream& operator<<(std::ostream& stream, Finished const& ran) {
  return stream << "exit " << ran.status << "\nstdout: " << ran.out << "\nstderr: " << ran.err;
}

// Runs argv with `input` on stdin (small enough for a pipe), stdout and stderr captured (or
// as `options` says, where it names another place); killed after `limit`.
inline Finished Run(std::vector<std::string> argv, std::string const& input = {},
                    ChildOptions options = {},
                    std::chrono::milliseconds limit = std::chrono::seconds(20)) {
  options.in = Stream::Pipe();
  if (options.out.kind == Stream::kInherit) options.out = Stream::Pipe();
  if (options.err.kind == Stream::kInherit) options.err = Stream::Pipe();
  Finished finished;
  ChildProcess child(std::move(argv), options);
  if (!child.started()) return finished;
  // A child that never reads its input must not end this process with SIGPIPE.
  struct sigaction ignore {}, previous {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &previous);
  bool const written =
      input.empty() || write(child.in(), input.data(), input.size()) ==
                           static_cast<ssize_t>(input.size());
  sigaction(SIGPIPE, &previous, nullptr);
  child.CloseIn();
  if (!written) return finished;
  auto const started = std::chrono::steady_clock::now();
  if (!child.ReadToEnd(&finished.out, &finished.err, limit)) return finished;
  auto const left = limit - std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::steady_clock::now() - started);
  finished.status = child.Wait(std::max(left, std::chrono::milliseconds(1)));
  return finished;
}

}  // namespace TestSupport

#endif  // TESTS_CHILD_PROCESS_H_
