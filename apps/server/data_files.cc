#include "apps/server/data_files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>
#include <utility>

#include "apps/server/postgres_store.h"
#include "apps/server/sqlite_store.h"

namespace ServerApp {

namespace {

constexpr char kMemory[] = ":memory:";

bool Exists(std::string const& path, off_t* size = nullptr) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) return false;
  if (size) *size = status.st_size;
  return true;
}

// The files this process holds locks on, by device and inode.
std::mutex heldMutex;
std::set<std::pair<dev_t, ino_t>> held;

std::string HeldText(std::string const& path) {
  return path + " is locked by another server (perhaps under another name of the same file): "
                "is a server already running on this data file?";
}

}  // namespace

std::unique_ptr<FileLock> FileLock::Acquire(std::string const& path, std::string& error) {
  std::lock_guard<std::mutex> guard(heldMutex);
  // A file this process holds already is refused without opening it again: closing that
  // second descriptor would drop the fcntl locks SQLite holds on the file here.
  struct stat status {};
  if (::stat(path.c_str(), &status) == 0 && held.count({status.st_dev, status.st_ino}) != 0) {
    error = HeldText(path);
    return nullptr;
  }
  int const fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) {
    error = "cannot open " + path + ": " + std::strerror(errno);
    return nullptr;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::fstat(fd, &status) != 0) {
    int const saved = errno;
    ::close(fd);
    error = saved == EWOULDBLOCK ? HeldText(path) : "cannot lock " + path + ": " + std::strerror(saved);
    return nullptr;
  }
  held.insert({status.st_dev, status.st_ino});
  return std::unique_ptr<FileLock>(new FileLock(fd, status.st_dev, status.st_ino));
}

FileLock::~FileLock() {
  std::lock_guard<std::mutex> guard(heldMutex);
  held.erase({device_, inode_});
  ::close(fd_);
}

namespace {

// The records in the PostgreSQL database `config.dataFile` names, which other servers may
// serve too.
bool OpenDatabase(ServerConfig const& config, PostgresRecordStore::StartWait const& wait,
                  OpenedData& out, std::vector<std::string>& notices, std::string& error) {
  // Checked before a key file is made for it.
  if (!CheckPostgresUri(config.dataFile, error)) return false;
  if (config.keyFile.empty()) {
    error =
        "--data names a PostgreSQL database: name the key file that seals its secrets with "
        "--key-file (the same file for every server on the database; made when it does not "
        "exist)";
    return false;
  }
  bool const made = !Exists(config.keyFile);
  std::shared_ptr<SecretBox> box =
      made ? SecretBox::CreateKeyFile(config.keyFile, error) : SecretBox::FromKeyFile(config.keyFile, error);
  if (!box) return false;
  // A connection for each thread that runs operations, and one more for the readiness probe,
  // which runs on a thread serving the connections and must not wait behind busy calls.
  out.store = PostgresRecordStore::Open(config.dataFile, std::move(box), config.callThreads + 1,
                                        wait, error);
  if (!out.store) {
    if (made) error += " (the key file " + config.keyFile + " was made just now, with a new key)";
    return false;
  }
  if (made) {
    notices.push_back("created the key file " + config.keyFile +
                      " (mode 0600): every server on this database must be started with this "
                      "same key file; copy it to them by your own secure means, and keep it: the "
                      "stored secrets need it");
  }
  return true;
}

}  // namespace

void Abandon(OpenedData& data) {
  data.store.reset();
  data.lock.reset();
  for (auto const& path : data.made) ::unlink(path.c_str());
  data.made.clear();
}

bool OpenData(ServerConfig const& config, PostgresRecordStore::StartWait const& wait,
              OpenedData& out, std::vector<std::string>& notices, std::string& error) {
  if (IsPostgresUri(config.dataFile)) return OpenDatabase(config, wait, out, notices, error);
  bool const inMemory = config.dataFile == kMemory;
  // A start that is refused leaves no file it made behind.
  struct Leftovers {
    OpenedData& out;
    ~Leftovers() {
      if (!out.store) Abandon(out);
    }
  } const leftovers{out};
  if (!inMemory) {
    // The lock is on the data file, made here (empty, mode 0600: SQLite gives its journal
    // files the same mode) when it is absent.
    bool const existed = Exists(config.dataFile);
    out.lock = FileLock::Acquire(config.dataFile, error);
    if (!out.lock) return false;
    if (!existed) out.made.push_back(config.dataFile);
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
        out.made.push_back(keyFile);
        notices.push_back("created the key file " + keyFile +
                          " (keep it with the data file: the stored secrets need it)");
      }
    }
  }
  if (!box) return false;
  out.store = SqliteRecordStore::Open(config.dataFile, std::move(box), error);
  return out.store != nullptr;
}

}  // namespace ServerApp
