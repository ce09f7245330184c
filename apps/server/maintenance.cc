#include "apps/server/maintenance.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/program_options.hpp>
#include <sqlite3.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <filesystem>
#include <initializer_list>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "apps/server/data_files.h"
#include "apps/server/postgres_store.h"
#include "apps/server/secret_box.h"
#include "apps/server/sqlite_store.h"

namespace ServerApp {

namespace {

namespace po = boost::program_options;

// The backup copies this many pages at a time, so that it never holds a read of the source
// for long (a rollback-journal file keeps its writer out while it is read).
constexpr int kPagesPerStep = 64;
// A source written to between two steps makes SQLite start the copy over; after this many
// restarts the rest is copied in one step (in WAL mode that holds no writer off).
constexpr int kRestartsBeforeOneStep = 3;
// A step refused because the source is busy is retried after a pause, this many times in a row.
constexpr int kBusyRetries = 250;
constexpr std::chrono::milliseconds kBusyPause{20};

struct Command {
  char const* name;
  char const* synopsis;
  char const* about;
};

int Fail(Command const& command, std::string const& error) {
  std::cerr << "tirn-server " << command.name << ": " << error << "\n";
  return 1;
}

int UsageError(Command const& command, std::string const& error) {
  std::cerr << "tirn-server " << command.name << ": " << error << " (see tirn-server "
            << command.name << " --help)\n";
  return 2;
}

// Reads the command's options (argv[1] is its name) into the variables `options` names.
// Returns -1 to go on, or the exit status: 0 after --help, 2 after a usage mistake. Each of
// `files` must not be an empty text, and the data file must be a file.
int Parse(Command const& command, int argc, char** argv, po::options_description& options,
          std::initializer_list<char const*> files) {
  options.add_options()("help", "print this help and exit");
  po::variables_map values;
  try {
    // No positional arguments: a stray word is a mistake, not something to ignore.
    po::store(po::command_line_parser(argc - 1, argv + 1)
                  .options(options)
                  .positional(po::positional_options_description())
                  .run(),
              values);
    if (values.count("help")) {
      std::cout << "Usage: " << command.synopsis << "\n\n" << command.about << "\n\n" << options;
      return 0;
    }
    po::notify(values);
  } catch (std::exception const& problem) {
    return UsageError(command, problem.what());
  }
  for (char const* name : files) {
    if (values.count(name) && values[name].as<std::string>().empty()) {
      return UsageError(command,
                        std::string("--") + name + " wants a file name, not an empty text");
    }
  }
  for (char const* name : {"data", "from"}) {
    if (values.count(name) && values[name].as<std::string>() == ":memory:") {
      return UsageError(command, std::string("--") + name +
                                     " wants a data file; ':memory:' keeps nothing to work on");
    }
  }
  return -1;
}

bool Exists(std::string const& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0;
}

// A data file with something in it; false, saying why, when there is none.
bool HasData(std::string const& path, std::string& error) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) {
    error = "cannot use the data file " + path + ": " + std::strerror(errno);
    return false;
  }
  if (!S_ISREG(status.st_mode) || status.st_size == 0) {
    error = "the data file " + path + " holds no records";
    return false;
  }
  return true;
}

// Makes a file's new name survive a crash: its directory's entries reach the disk.
bool SyncDirectoryOf(std::string const& path, std::string& error) {
  std::string dir = std::filesystem::path(path).parent_path().string();
  if (dir.empty()) dir = ".";
  int const fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  bool const ok = fd >= 0 && ::fsync(fd) == 0;
  int const saved = errno;
  if (fd >= 0) ::close(fd);
  if (!ok) error = "cannot write the directory " + dir + " to disk: " + std::strerror(saved);
  return ok;
}


// The key to seal with from now on when `path` holds one already; null, without an error,
// when there is no file at `path` (one is made later). Refuses the key in use.
bool LoadNewKey(std::string const& path, SecretBox const& oldBox, std::string const& oldKeyFile,
                std::shared_ptr<SecretBox const>& newBox, std::string& error) {
  if (!Exists(path)) return true;
  newBox = SecretBox::FromKeyFile(path, error);
  if (!newBox) return false;
  std::string const fingerprint = oldBox.Fingerprint();
  if (fingerprint.empty() || fingerprint == newBox->Fingerprint()) {
    error = path + " holds the key of " + oldKeyFile +
            "; name a file with another key, or a file that does not exist yet to have one made";
    return false;
  }
  return true;
}

// Makes the new key file, on disk under its name before anything is sealed with it.
std::shared_ptr<SecretBox const> MakeNewKey(std::string const& path, std::string& error) {
  std::shared_ptr<SecretBox const> box = SecretBox::CreateKeyFile(path, error);
  if (!box || !SyncDirectoryOf(path, error)) return nullptr;
  std::cout << "created the key file " << path << " (a new random key, mode 0600)\n";
  return box;
}

// rekey on a data file, which no server may hold.
int RekeyFile(Command const& command, std::string const& data, std::string const& oldKeyFile,
              std::string const& newKeyFile) {
  std::string error;
  // Checked before the lock, which would make an empty file where there is none.
  if (!HasData(data, error)) return Fail(command, error);
  auto lock = FileLock::Acquire(data, error);
  if (!lock) return Fail(command, error);
  std::shared_ptr<SecretBox const> const oldBox = SecretBox::FromKeyFile(oldKeyFile, error);
  if (!oldBox) return Fail(command, error);
  std::shared_ptr<SecretBox const> newBox;
  if (!LoadNewKey(newKeyFile, *oldBox, oldKeyFile, newBox, error)) return Fail(command, error);
  auto store = SqliteRecordStore::Open(data, oldBox, error);
  if (!store) return Fail(command, "cannot open " + data + " with " + oldKeyFile + ": " + error);
  bool const made = !newBox;
  if (made && !(newBox = MakeNewKey(newKeyFile, error))) {
    return Fail(command, error + "; " + data + " is unchanged");
  }
  std::size_t resealed = 0;
  std::vector<std::string> notices;
  if (!store->Rekey(newBox, resealed, notices, error)) {
    return Fail(command, error + "; nothing was changed: " + data + " still opens with " +
                             oldKeyFile +
                             (made ? " (" + newKeyFile + " seals nothing; name it again to retry)"
                                   : std::string()));
  }
  store.reset();
  lock.reset();
  for (auto const& notice : notices) std::cerr << "tirn-server rekey: warning: " << notice << "\n";
  std::cout << "resealed " << resealed << " provider key" << (resealed == 1 ? "" : "s")
            << " and the key check of " << data << " with the key in " << newKeyFile << "\n"
            << "start the server with --key-file " << newKeyFile << " from now on; " << oldKeyFile
            << " no longer opens " << data << " (keep it only for backups made before)\n";
  return std::cout.flush() ? 0 : 1;
}

// rekey on a PostgreSQL database, which servers may be serving meanwhile. The URI is never
// repeated: a mistaken one may hold a password.
int RekeyDatabase(Command const& command, std::string const& uri, std::string const& oldKeyFile,
                  std::string const& newKeyFile) {
  std::string error;
  // Checked before a key file is made for it.
  if (!CheckPostgresUri(uri, error)) return Fail(command, error);
  std::shared_ptr<SecretBox const> const oldBox = SecretBox::FromKeyFile(oldKeyFile, error);
  if (!oldBox) return Fail(command, error);
  std::shared_ptr<SecretBox const> newBox;
  if (!LoadNewKey(newKeyFile, *oldBox, oldKeyFile, newBox, error)) return Fail(command, error);
  auto store = PostgresRecordStore::Open(uri, oldBox, 1, error);
  if (!store) return Fail(command, "cannot open the database with " + oldKeyFile + ": " + error);
  bool const made = !newBox;
  if (made && !(newBox = MakeNewKey(newKeyFile, error))) {
    return Fail(command, error + "; the database is unchanged");
  }
  std::size_t resealed = 0;
  std::vector<std::string> notices;
  // The store's errors say whether anything was changed.
  if (!store->Rekey(newBox, resealed, notices, error)) {
    return Fail(command, error + (made ? " (" + newKeyFile + " was made for it; name it again to "
                                                             "retry)"
                                       : std::string()));
  }
  store.reset();
  for (auto const& notice : notices) std::cerr << "tirn-server rekey: warning: " << notice << "\n";
  std::cout << "resealed " << resealed << " provider key" << (resealed == 1 ? "" : "s")
            << " and the key check of the database with the key in " << newKeyFile << "\n"
            << "servers still running with " << oldKeyFile
            << " now answer service_unavailable to calls that seal or open a secret: restart "
               "each with --key-file "
            << newKeyFile << " (copied to them by your own secure means); " << oldKeyFile
            << " no longer opens the database (keep it only for backups made before)\n";
  return std::cout.flush() ? 0 : 1;
}

// ---- backup ----------------------------------------------------------------------------------

// A connection of SQLite's C API, closed on destruction. Sqlite::Database always creates a
// missing file; the source of a backup must not be created.
struct Connection {
  Connection() = default;
  ~Connection() { sqlite3_close(db); }
  Connection(Connection const&) = delete;
  Connection& operator=(Connection const&) = delete;

  bool Open(std::string const& path, std::string& error) {
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
      sqlite3_busy_timeout(db, 1000);
      return true;
    }
    error = "cannot open " + path + ": " + (db ? sqlite3_errmsg(db) : "out of memory");
    return false;
  }

  sqlite3* db = nullptr;
};

// Copies the database at `from` into the empty file at `to` with SQLite's online backup,
// which takes a consistent picture of the source however it is written to meanwhile.
bool CopyDatabase(std::string const& from, std::string const& to, int& pages,
                  std::string& error) {
  Connection source;
  Connection target;
  if (!source.Open(from, error) || !target.Open(to, error)) return false;
  // Nothing is written to the source through this connection.
  (void)sqlite3_exec(source.db, "PRAGMA query_only = 1", nullptr, nullptr, nullptr);
  sqlite3_backup* backup = sqlite3_backup_init(target.db, "main", source.db, "main");
  if (backup == nullptr) {
    error = std::string("cannot start the copy: ") + sqlite3_errmsg(target.db);
    return false;
  }
  int step = SQLITE_OK;
  int busy = 0;
  int restarts = 0;
  int remaining = -1;
  for (;;) {
    step = sqlite3_backup_step(backup, restarts < kRestartsBeforeOneStep ? kPagesPerStep : -1);
    if (step == SQLITE_DONE) break;
    if (step == SQLITE_OK) {
      busy = 0;
      int const left = sqlite3_backup_remaining(backup);
      if (remaining >= 0 && left > remaining) ++restarts;
      remaining = left;
      continue;
    }
    int const primary = step & 0xff;
    if ((primary != SQLITE_BUSY && primary != SQLITE_LOCKED) || ++busy > kBusyRetries) break;
    std::this_thread::sleep_for(kBusyPause);
  }
  pages = sqlite3_backup_pagecount(backup);
  int const finished = sqlite3_backup_finish(backup);
  if (step != SQLITE_DONE || finished != SQLITE_OK) {
    error = std::string("the copy failed: ") +
            sqlite3_errstr(step != SQLITE_DONE ? step : finished);
    return false;
  }
  // The copy stands on its own: a rollback journal, no log beside it to keep with it.
  if (sqlite3_exec(target.db, "PRAGMA journal_mode = DELETE", nullptr, nullptr, nullptr) !=
      SQLITE_OK) {
    error = std::string("cannot make the copy stand on its own: ") + sqlite3_errmsg(target.db);
    return false;
  }
  return true;
}

// What SQLite's full check (PRAGMA integrity_check) finds wrong with the database at `path`,
// joined; "ok" when nothing.
bool CheckIntegrity(std::string const& path, std::string& report, std::string& error) {
  Connection copy;
  if (!copy.Open(path, error)) return false;
  sqlite3_stmt* check = nullptr;
  if (sqlite3_prepare_v2(copy.db, "PRAGMA integrity_check(20)", -1, &check, nullptr) !=
      SQLITE_OK) {
    error = std::string("cannot check the copy: ") + sqlite3_errmsg(copy.db);
    return false;
  }
  int step;
  report.clear();
  while ((step = sqlite3_step(check)) == SQLITE_ROW) {
    auto const* text = sqlite3_column_text(check, 0);
    report += (report.empty() ? "" : "; ") +
              std::string(text ? reinterpret_cast<char const*>(text) : "");
  }
  if (step != SQLITE_DONE) error = std::string("cannot check the copy: ") + sqlite3_errmsg(copy.db);
  sqlite3_finalize(check);
  return step == SQLITE_DONE;
}

// The copy's working name and the files SQLite keeps beside it, removed when the backup ends:
// a finished copy lives on under its own name, a second link to the same file.
class PartialCopy {
 public:
  explicit PartialCopy(std::string path) : path_(std::move(path)) {}
  ~PartialCopy() {
    for (char const* suffix : {"", "-journal", "-wal", "-shm"}) {
      ::unlink((path_ + suffix).c_str());
    }
  }
  PartialCopy(PartialCopy const&) = delete;
  PartialCopy& operator=(PartialCopy const&) = delete;

 private:
  std::string path_;
};

bool SyncFile(std::string const& path, std::string& error) {
  int const fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  bool const ok = fd >= 0 && ::fsync(fd) == 0;
  int const saved = errno;
  if (fd >= 0) ::close(fd);
  if (!ok) error = "cannot write the copy to disk: " + std::string(std::strerror(saved));
  return ok;
}

// "1 provider", "3 providers".
std::string Counted(std::size_t count, char const* what) {
  return std::to_string(count) + " " + what + (count == 1 ? "" : "s");
}

}  // namespace

int RunRekey(int argc, char** argv) {
  Command const command{
      "rekey", "tirn-server rekey --data FILE|URI [--key-file OLD] --new-key-file NEW",
      "Reseals every secret FILE holds with the key in NEW, in one transaction: when it fails,\n"
      "FILE is unchanged and still opens with OLD. NEW is made (a random key, mode 0600) when\n"
      "it does not exist. No server may be running on FILE. Afterwards the server needs\n"
      "--key-file NEW, and OLD opens FILE no more (only backups made before).\n"
      "\n"
      "With a PostgreSQL URI (postgresql://USER@HOST:PORT/DATABASE, no password in it: it comes\n"
      "from PGPASSWORD or the password file) --key-file is required, and servers may keep\n"
      "running: the transaction waits for their calls that use a secret, and from its commit\n"
      "on those still running with OLD answer service_unavailable to such calls until they\n"
      "are restarted with NEW."};
  std::string data;
  std::string oldKeyFile;
  std::string newKeyFile;
  po::options_description options("Options");
  options.add_options()
      ("data", po::value(&data)->required()->value_name("FILE|URI"),
       "the data file, or the PostgreSQL database")
      ("key-file", po::value(&oldKeyFile)->value_name("OLD"),
       "the key the records are sealed with now; default FILE.key (required with a URI)")
      ("new-key-file", po::value(&newKeyFile)->required()->value_name("NEW"),
       "the key to seal with from now on; made when the file does not exist");
  int const parsed = Parse(command, argc, argv, options, {"data", "key-file", "new-key-file"});
  if (parsed >= 0) return parsed;
  if (IsPostgresUri(data)) {
    if (oldKeyFile.empty()) {
      return UsageError(command,
                        "--key-file is required with a database URI: name the key file the "
                        "servers on the database use");
    }
    return RekeyDatabase(command, data, oldKeyFile, newKeyFile);
  }
  return RekeyFile(command, data, oldKeyFile.empty() ? data + ".key" : oldKeyFile, newKeyFile);
}

int RunBackup(int argc, char** argv) {
  Command const command{
      "backup", "tirn-server backup --data FILE --to COPY",
      "Copies FILE to COPY with SQLite's online backup, also while a server writes to it; the\n"
      "copy holds every change committed before it began. COPY must not exist; it is made with\n"
      "mode 0600 and appears only once whole and passing SQLite's integrity check. The key\n"
      "file is not copied: the copy opens only with FILE's key, which belongs apart from it."};
  std::string data;
  std::string copy;
  po::options_description options("Options");
  options.add_options()
      ("data", po::value(&data)->required()->value_name("FILE"), "the data file to copy")
      ("to", po::value(&copy)->required()->value_name("COPY"), "the copy to make");
  int const parsed = Parse(command, argc, argv, options, {"data", "to"});
  if (parsed >= 0) return parsed;

  if (IsPostgresUri(data)) {
    return UsageError(command,
                      "backup copies SQLite data files; back up a PostgreSQL database with its "
                      "own tools (pg_dump, or a base backup), and its key file apart from it");
  }
  std::string error;
  if (!HasData(data, error)) return Fail(command, error);
  if (Exists(copy)) {
    return Fail(command, copy + " exists already; a backup never replaces a file: name a new one");
  }
  // Made under a working name beside COPY, and given COPY's name only once it is whole.
  std::string working = copy + ".partial-XXXXXX";
  int const fd = ::mkstemp(&working[0]);
  if (fd < 0) return Fail(command, "cannot create the copy " + copy + ": " + std::strerror(errno));
  ::close(fd);
  PartialCopy partial(working);
  int pages = 0;
  std::string report;
  if (!CopyDatabase(data, working, pages, error) || !CheckIntegrity(working, report, error)) {
    return Fail(command, error);
  }
  if (report != "ok") {
    return Fail(command, "the copy does not pass SQLite's integrity check: " + report);
  }
  if (!SyncFile(working, error)) return Fail(command, error);
  // A link, not a rename, so that a COPY made meanwhile is not replaced.
  if (::link(working.c_str(), copy.c_str()) != 0) {
    return Fail(command, "cannot name the copy " + copy + ": " + std::strerror(errno));
  }
  if (!SyncDirectoryOf(copy, error)) return Fail(command, error);
  std::cout << "copied " << data << " to " << copy << " (" << pages
            << " pages; SQLite's integrity check: ok)\n"
            << "the key file is not copied: " << copy << " opens only with the key " << data
            << " is sealed with; keep that key file, apart from the copy\n";
  return std::cout.flush() ? 0 : 1;
}

int RunCopy(int argc, char** argv) {
  Command const command{
      "copy", "tirn-server copy --from FILE --to URI [--key-file KEY]",
      "Copies every record of the data file FILE into the PostgreSQL database URI, which must\n"
      "hold no records (its schema is made when it has none), in one transaction: when it\n"
      "fails, the database is left as it was. The providers' keys are copied as they are\n"
      "sealed, with FILE's key: start the servers on the database with --key-file KEY. Key\n"
      "servers and attestation services keep their identifiers, and those created afterwards\n"
      "are numbered after them. No server may be running on FILE.\n"
      "\n"
      "URI: postgresql://USER@HOST:PORT/DATABASE, no password in it (it comes from PGPASSWORD\n"
      "or the password file)."};
  std::string from;
  std::string to;
  std::string keyFile;
  po::options_description options("Options");
  options.add_options()
      ("from", po::value(&from)->required()->value_name("FILE"), "the data file to copy")
      ("to", po::value(&to)->required()->value_name("URI"),
       "the PostgreSQL database to copy into, holding no records")
      ("key-file", po::value(&keyFile)->value_name("KEY"),
       "the key FILE is sealed with, checked before anything is copied; default FILE.key");
  int const parsed = Parse(command, argc, argv, options, {"from", "key-file"});
  if (parsed >= 0) return parsed;
  if (IsPostgresUri(from)) {
    return UsageError(command, "--from wants a data file; the records are copied from SQLite");
  }
  // The URI is never repeated: a mistaken one may hold a password.
  if (!IsPostgresUri(to)) {
    return UsageError(command,
                      "--to wants a PostgreSQL URI (postgresql://USER@HOST:PORT/DATABASE)");
  }
  if (keyFile.empty()) keyFile = from + ".key";

  std::string error;
  if (!CheckPostgresUri(to, error)) return Fail(command, error);
  // Checked before the lock, which would make an empty file where there is none.
  if (!HasData(from, error)) return Fail(command, error);
  // Held until the copy is made, so that no server changes FILE meanwhile.
  auto lock = FileLock::Acquire(from, error);
  if (!lock) return Fail(command, error);
  SealedRecords records;
  {
    std::shared_ptr<SecretBox const> const box = SecretBox::FromKeyFile(keyFile, error);
    if (!box) return Fail(command, error + "; nothing was copied");
    // Open checks that the file's key check opens with the key; nothing else is opened.
    auto store = SqliteRecordStore::Open(from, box, error);
    if (!store) {
      return Fail(command, "cannot open " + from + " with " + keyFile + ": " + error +
                               "; nothing was copied");
    }
    if (!store->ReadSealed(records, error)) {
      return Fail(command, "cannot read " + from + ": " + error + "; nothing was copied");
    }
  }
  std::string where;
  std::vector<std::string> notices;
  // The store's errors say that nothing was changed, or that it cannot be known.
  if (!PostgresRecordStore::ImportSealed(to, records, where, notices, error)) {
    return Fail(command, error);
  }
  lock.reset();
  std::size_t keyServers = 0;
  for (auto const& server : records.servers) {
    keyServers += server.kind == Reference::ServerKind::kKeyServer;
  }
  for (auto const& notice : notices) std::cerr << "tirn-server copy: warning: " << notice << "\n";
  std::cout << "copied " << Counted(records.providers.size(), "provider") << " (their keys sealed "
            << "as they were), " << Counted(keyServers, "key server") << " and "
            << Counted(records.servers.size() - keyServers, "attestation service") << " from "
            << from << " into " << where << "\n"
            << "start the servers on the database with --key-file " << keyFile << "; " << from
            << " is unchanged, and changes made to it from now on are not copied\n";
  return std::cout.flush() ? 0 : 1;
}

}  // namespace ServerApp
