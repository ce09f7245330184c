#include "apps/server/data_files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace ServerApp {

namespace {

constexpr char kMemory[] = ":memory:";

bool Exists(std::string const& path, off_t* size = nullptr) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) return false;
  if (size) *size = status.st_size;
  return true;
}

}  // namespace

std::unique_ptr<FileLock> FileLock::Acquire(std::string const& path, std::string& error) {
  int const fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) {
    error = "cannot open the lock file " + path + ": " + std::strerror(errno);
    return nullptr;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    int const saved = errno;
    ::close(fd);
    error = saved == EWOULDBLOCK ? "another process holds " + path + ": is a server already running on this data file?"
                                 : "cannot lock " + path + ": " + std::strerror(saved);
    return nullptr;
  }
  return std::unique_ptr<FileLock>(new FileLock(fd));
}

FileLock::~FileLock() { ::close(fd_); }

bool OpenData(ServerConfig const& config, OpenedData& out, std::vector<std::string>& notices,
              std::string& error) {
  bool const inMemory = config.dataFile == kMemory;
  if (!inMemory) {
    out.lock = FileLock::Acquire(config.dataFile + ".lock", error);
    if (!out.lock) return false;
  }
  std::shared_ptr<SecretBox> box;
  if (!config.keyFile.empty()) {
    box = SecretBox::FromKeyFile(config.keyFile, error);
  } else if (inMemory) {
    box = SecretBox::WithRandomKey(error);
  } else {
    std::string const keyFile = config.dataFile + ".key";
    off_t dataSize = 0;
    if (Exists(keyFile)) {
      box = SecretBox::FromKeyFile(keyFile, error);
    } else if (Exists(config.dataFile, &dataSize) && dataSize > 0) {
      error = config.dataFile + " exists but its key file " + keyFile +
              " does not; name the key it was written with (--key-file)";
      return false;
    } else {
      box = SecretBox::CreateKeyFile(keyFile, error);
      if (box) {
        notices.push_back("created the key file " + keyFile +
                          " (keep it with the data file: the stored secrets need it)");
      }
    }
  }
  if (!box) return false;
  if (!inMemory && !Exists(config.dataFile)) {
    // Made here so that only its owner can read it; SQLite gives its journal files the same
    // mode.
    int const fd = ::open(config.dataFile.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) ::close(fd);
  }
  out.store = SqliteRecordStore::Open(config.dataFile, std::move(box), error);
  return out.store != nullptr;
}

}  // namespace ServerApp
