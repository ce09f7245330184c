// The files tirn-server keeps its records in: the data file, its lock and the key that seals
// its secrets.
//
// OpenData takes an exclusive lock on "<data>.lock" (so that a second server on the same file
// is refused rather than becoming a second writer), loads the key (creating "<data>.key",
// mode 0600, on first start when no key file is named) and opens the records.
//
//   ServerApp::OpenedData data;
//   std::vector<std::string> notices;
//   std::string error;
//   if (!ServerApp::OpenData(config, data, notices, error)) Fail(error);
#ifndef APPS_SERVER_DATA_FILES_H_
#define APPS_SERVER_DATA_FILES_H_

#include <memory>
#include <string>
#include <vector>

#include "apps/server/options.h"
#include "apps/server/sqlite_store.h"

namespace ServerApp {

// An exclusive advisory lock on a file, held until destruction.
class FileLock {
 public:
  // Null, with the reason in `error`, when another process holds the lock or the file cannot
  // be opened. Never waits.
  static std::unique_ptr<FileLock> Acquire(std::string const& path, std::string& error);
  ~FileLock();
  FileLock(FileLock const&) = delete;
  FileLock& operator=(FileLock const&) = delete;

 private:
  explicit FileLock(int fd) : fd_(fd) {}
  int fd_;
};

struct OpenedData {
  // Null for ":memory:".
  std::unique_ptr<FileLock> lock;
  std::shared_ptr<SqliteRecordStore> store;
};

// Opens the records `config` names. `notices` receives what the user should be told (a key
// file created). False, with the reason in `error`, when the file is in use, the key is
// missing or wrong, or the file cannot be opened.
[[nodiscard]] bool OpenData(ServerConfig const& config, OpenedData& out,
                            std::vector<std::string>& notices, std::string& error);

}  // namespace ServerApp

#endif  // APPS_SERVER_DATA_FILES_H_
