// Where tirn-server keeps its records: the data file, its lock and the key that seals its
// secrets; or a PostgreSQL database and the key.
//
// For a file, OpenData takes an exclusive lock on the data file itself (so that a second
// server on the same file is refused rather than becoming a second writer, whatever name it
// was given: a symbolic link, a hard link, another path), loads the key (creating
// "<data>.key", mode 0600, on first start when no key file is named; refusing a key file that
// its group or others may read) and opens the records.
//
// For a PostgreSQL URI (postgresql://USER@HOST:PORT/DATABASE) there is no lock: many servers
// share the database, each with a pool of one connection per serving thread. The key file
// must be named (every server on the database needs the same one); it is created, mode 0600,
// when absent, and refused when its group or others may read it, as for a file. A URI that
// holds a password is refused before anything is done.
//
//   ServerApp::OpenedData data;
//   std::vector<std::string> notices;
//   std::string error;
//   if (!ServerApp::OpenData(config, {}, data, notices, error)) Fail(error);
#ifndef APPS_SERVER_DATA_FILES_H_
#define APPS_SERVER_DATA_FILES_H_

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "apps/reference/record_store.h"
#include "apps/server/options.h"
#include "apps/server/postgres_store.h"

namespace ServerApp {

// An exclusive advisory lock (flock) on a file, created with mode 0600 when absent, held
// until destruction. The lock belongs to the file, not to its name: any path to the same file
// finds it taken.
//
// It is kept apart from the fcntl locks SQLite takes on the same file, but a process drops
// all its fcntl locks on a file when it closes any descriptor of it: the lock must outlive
// every SQLite connection to the file in the process, and be taken before the first. A
// second Acquire of a file the process holds is refused without opening it.
class FileLock {
 public:
  // Null, with the reason in `error`, when another holder has the lock or the file cannot be
  // opened. Never waits.
  static std::unique_ptr<FileLock> Acquire(std::string const& path, std::string& error);
  ~FileLock();
  FileLock(FileLock const&) = delete;
  FileLock& operator=(FileLock const&) = delete;

 private:
  FileLock(int fd, dev_t device, ino_t inode) : fd_(fd), device_(device), inode_(inode) {}
  int fd_;
  dev_t device_;
  ino_t inode_;
};

struct OpenedData {
  // Null for ":memory:" and for a database. Declared first, so that it is released after the
  // store.
  std::unique_ptr<FileLock> lock;
  std::shared_ptr<Reference::RecordStore> store;
  // The files this start made (the data file, a key file), removed by Abandon.
  std::vector<std::string> made;
};

// Closes the records of a start that is refused after all, and removes the files it made, so
// that the refused start leaves nothing behind.
void Abandon(OpenedData& data);

// Opens the records `config` names. `notices` receives what the user should be told (a key
// file created). False, with the reason in `error`, when the file is in use, the key is
// missing, wrong or readable by others, the file cannot be opened or is damaged, or the
// database URI holds a password, names no key file, or the database cannot be opened; the
// files made on the way are removed then. A database that does not answer yet is waited for as
// `wait` says.
[[nodiscard]] bool OpenData(ServerConfig const& config, PostgresRecordStore::StartWait const& wait,
                            OpenedData& out, std::vector<std::string>& notices,
                            std::string& error);

}  // namespace ServerApp

#endif  // APPS_SERVER_DATA_FILES_H_
