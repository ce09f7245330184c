#include "apps/server/sqlite.h"

#include <sqlite3.h>

namespace Sqlite {

Database::~Database() { Close(); }

bool Database::Open(std::string const& path, std::string& error) {
  Close();
  int const flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;
  if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
    error = db_ ? Error(("cannot open " + path).c_str()) : "cannot open " + path + ": out of memory";
    Close();
    return false;
  }
  sqlite3_extended_result_codes(db_, 1);
  return true;
}

bool Database::Execute(char const* sql, std::string& error) {
  if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK) return true;
  error = Error("statement failed");
  return false;
}

int Database::Changes() const { return sqlite3_changes(db_); }

void Database::Close() {
  if (db_) sqlite3_close(db_);
  db_ = nullptr;
}

std::string Database::Error(char const* what) const {
  return std::string(what) + ": " + (db_ ? sqlite3_errmsg(db_) : "no database");
}

Statement::~Statement() { Finalize(); }

bool Statement::Prepare(Database& db, char const* sql, std::string& error) {
  Finalize();
  db_ = &db;
  if (sqlite3_prepare_v3(db.handle(), sql, -1, SQLITE_PREPARE_PERSISTENT, &statement_, nullptr) ==
      SQLITE_OK) {
    return true;
  }
  error = db.Error("cannot prepare a statement");
  Finalize();
  return false;
}

void Statement::Finalize() {
  if (statement_) sqlite3_finalize(statement_);
  statement_ = nullptr;
}

void Statement::BindText(int index, std::string const& text) {
  sqlite3_bind_text64(statement_, index, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
}

void Statement::BindBlob(int index, std::string const& bytes) {
  sqlite3_bind_blob64(statement_, index, bytes.data(), bytes.size(), SQLITE_TRANSIENT);
}

void Statement::BindInt(int index, std::int64_t value) {
  sqlite3_bind_int64(statement_, index, value);
}

void Statement::BindNull(int index) { sqlite3_bind_null(statement_, index); }

Step Statement::Next(std::string& error) {
  switch (sqlite3_step(statement_)) {
    case SQLITE_ROW:
      return Step::kRow;
    case SQLITE_DONE:
      return Step::kDone;
    default:
      error = db_->Error("statement failed");
      return Step::kFailed;
  }
}

void Statement::Reset() {
  sqlite3_reset(statement_);
  sqlite3_clear_bindings(statement_);
}

bool Statement::ColumnIsNull(int index) const {
  return sqlite3_column_type(statement_, index) == SQLITE_NULL;
}

std::int64_t Statement::ColumnInt(int index) const {
  return sqlite3_column_int64(statement_, index);
}

std::string Statement::ColumnText(int index) const {
  auto const* text = sqlite3_column_text(statement_, index);
  int const size = sqlite3_column_bytes(statement_, index);
  return text ? std::string(reinterpret_cast<char const*>(text), static_cast<std::size_t>(size))
              : std::string();
}

std::string Statement::ColumnBlob(int index) const {
  auto const* blob = sqlite3_column_blob(statement_, index);
  int const size = sqlite3_column_bytes(statement_, index);
  return blob ? std::string(static_cast<char const*>(blob), static_cast<std::size_t>(size))
              : std::string();
}

}  // namespace Sqlite
