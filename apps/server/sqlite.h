// Owning handles of SQLite's C API: a database connection and a prepared statement. Only the
// handles are wrapped; SQL stays SQL. Failures are reported as text, never thrown.
//
//   Sqlite::Database db;
//   std::string error;
//   if (!db.Open("records.db", error)) Fail(error);
//   Sqlite::Statement get;
//   if (!get.Prepare(db, "SELECT value FROM meta WHERE key = ?1", error)) Fail(error);
//   get.BindText(1, "check");
//   if (get.Step(error) == Sqlite::Step::kRow) Use(get.ColumnBlob(0));
//   get.Reset();
#ifndef APPS_SERVER_SQLITE_H_
#define APPS_SERVER_SQLITE_H_

#include <cstdint>
#include <string>

struct sqlite3;
struct sqlite3_stmt;

namespace Sqlite {

class Database {
 public:
  Database() = default;
  ~Database();
  Database(Database const&) = delete;
  Database& operator=(Database const&) = delete;

  // Opens (creating when absent) the database file at `path`; ":memory:" for none.
  [[nodiscard]] bool Open(std::string const& path, std::string& error);
  // Runs one or more statements that return no rows.
  [[nodiscard]] bool Execute(char const* sql, std::string& error);
  // Rows changed by the last INSERT, UPDATE or DELETE.
  int Changes() const;
  // Closes the connection; statements prepared on it must be finalised first.
  void Close();

  sqlite3* handle() const { return db_; }
  // The connection's last error, prefixed with `what`.
  std::string Error(char const* what) const;

 private:
  sqlite3* db_ = nullptr;
};

enum class Step { kRow, kDone, kFailed };

class Statement {
 public:
  Statement() = default;
  ~Statement();
  Statement(Statement const&) = delete;
  Statement& operator=(Statement const&) = delete;

  [[nodiscard]] bool Prepare(Database& db, char const* sql, std::string& error);
  // Releases the statement; it can be prepared again.
  void Finalize();

  // Parameters count from 1. Text and blobs are copied by SQLite.
  void BindText(int index, std::string const& text);
  void BindBlob(int index, std::string const& bytes);
  void BindInt(int index, std::int64_t value);
  void BindNull(int index);

  // The next row, the end, or a failure (with the reason in `error`).
  Step Next(std::string& error);
  // Makes the statement ready to run again and clears its bindings.
  void Reset();

  // Columns count from 0.
  bool ColumnIsNull(int index) const;
  std::int64_t ColumnInt(int index) const;
  std::string ColumnText(int index) const;
  std::string ColumnBlob(int index) const;

 private:
  sqlite3_stmt* statement_ = nullptr;
  Database* db_ = nullptr;
};

// Resets a statement when it leaves scope, so that no read stays open between calls.
class ResetOnExit {
 public:
  explicit ResetOnExit(Statement& statement) : statement_(statement) {}
  ~ResetOnExit() { statement_.Reset(); }
  ResetOnExit(ResetOnExit const&) = delete;
  ResetOnExit& operator=(ResetOnExit const&) = delete;

 private:
  Statement& statement_;
};

}  // namespace Sqlite

#endif  // APPS_SERVER_SQLITE_H_
