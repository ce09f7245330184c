#include "tirn/http/trusted_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "tirn/runtime/value/secret_string.h"

namespace Tirn {
namespace Http {
namespace {

// Closes a descriptor however the read ends.
struct Descriptor {
  int fd;
  ~Descriptor() {
    if (fd >= 0) ::close(fd);
  }
};

std::string Octal(unsigned mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", mode & 07777);
  return text;
}

std::string KindOf(mode_t mode) {
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
  return "not a regular file";
}

// Why a file with `status` may not be trusted as `rule` says; empty when it may.
std::string Untrusted(std::string const& path, TrustedFile const& rule, struct stat const& status) {
  std::string const name = std::string(rule.what) + " " + path;
  if (!S_ISREG(status.st_mode)) {
    std::string const kind = KindOf(status.st_mode);
    return name + " is " + kind + (kind[0] == 'n' ? "" : ", not a regular file");
  }
  uid_t const self = ::geteuid();
  if (status.st_uid != self && status.st_uid != 0) {
    return name + " belongs to user " + std::to_string(status.st_uid) +
           ", neither the server's user (" + std::to_string(self) + ") nor root";
  }
  unsigned const mode = status.st_mode & 07777;
  if (rule.secret && (mode & (S_IRGRP | S_IWGRP | S_IROTH | S_IWOTH)) != 0) {
    char const* const who = (mode & (S_IROTH | S_IWOTH)) != 0 ? "others" : "its group";
    char const* const how = (mode & (S_IRGRP | S_IROTH)) != 0 ? "read" : "written";
    return name + " can be " + how + " by " + who + " (mode " + Octal(mode) +
           "); make it readable by its owner only: chmod 600 " + path;
  }
  if ((mode & S_IWOTH) != 0) {
    return name + " can be written by others (mode " + Octal(mode) +
           "); make it writable by its owner only: chmod o-w " + path;
  }
  if (static_cast<unsigned long long>(status.st_size) > rule.maxSize) {
    return name + " is larger than " + std::to_string(rule.maxSize) + " bytes";
  }
  return std::string();
}

// Gives back `text`'s storage, wiped first when asked.
void Release(std::string& text, bool wipe) {
  if (wipe && !text.empty()) Tirn::Detail::SecureZero(&text[0], text.size());
  std::string().swap(text);
}

}  // namespace

bool ReadTrustedFile(std::string const& path, TrustedFile const& rule, std::string& text,
                     std::string& error, std::string* warning) {
  bool const wiped = rule.secret || rule.wiped;
  Release(text, wiped);
  if (warning) warning->clear();
  if (path.empty()) {
    error = std::string(rule.what) + " is named by an empty path";
    return false;
  }
  // Without blocking: opening a FIFO for reading would otherwise wait for a writer.
  Descriptor file{::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK)};
  if (file.fd < 0) {
    error = "cannot open " + std::string(rule.what) + " " + path + ": " + std::strerror(errno);
    return false;
  }
  struct stat status {};
  if (::fstat(file.fd, &status) != 0) {
    error = "cannot examine " + std::string(rule.what) + " " + path + ": " + std::strerror(errno);
    return false;
  }
  error = Untrusted(path, rule, status);
  if (!error.empty()) return false;
  if (warning && rule.warnIfReadable && (status.st_mode & (S_IRGRP | S_IROTH)) != 0) {
    *warning = std::string(rule.what) + " " + path + " can be read by " +
               ((status.st_mode & S_IROTH) != 0 ? "others" : "its group") + " (mode " +
               Octal(status.st_mode) + "); make it readable by its owner only: chmod 600 " +
               path;
  }

  // Room for what the file held when examined and one byte more, so that a file that grew
  // since is noticed; never more than one byte past the bound. The text is never moved while
  // it is read, so a secret leaves no copy behind.
  std::size_t const expected = static_cast<std::size_t>(status.st_size);
  std::size_t room = (expected < rule.maxSize ? expected : rule.maxSize) + 1;
  text.resize(room);
  std::size_t length = 0;
  for (;;) {
    if (length == room) {
      if (room > rule.maxSize) {
        Release(text, wiped);
        error = std::string(rule.what) + " " + path + " is larger than " +
                std::to_string(rule.maxSize) + " bytes";
        return false;
      }
      // It grew while it was read: read on into a larger copy, the smaller one wiped.
      std::string larger(rule.maxSize + 1, '\0');
      std::memcpy(&larger[0], text.data(), length);
      Release(text, wiped);
      text.swap(larger);
      room = text.size();
    }
    ssize_t const read = ::read(file.fd, &text[length], room - length);
    if (read == 0) break;
    if (read < 0) {
      if (errno == EINTR) continue;
      int const saved = errno;
      Release(text, wiped);
      error = "cannot read " + std::string(rule.what) + " " + path + ": " + std::strerror(saved);
      return false;
    }
    length += static_cast<std::size_t>(read);
  }
  if (wiped) Tirn::Detail::SecureZero(&text[length], room - length);
  text.resize(length);
  return true;
}

}  // namespace Http
}  // namespace Tirn
