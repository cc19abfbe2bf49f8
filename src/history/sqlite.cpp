#include "history/sqlite.h"

#include <sqlite3.h>

#include <cmath>
#include <utility>

namespace history {

Statement::Statement(Statement &&other) noexcept
    : db_(std::exchange(other.db_, nullptr)), stmt_(std::exchange(other.stmt_, nullptr)) {}

Statement &Statement::operator=(Statement &&other) noexcept {
  if (this != &other) {
    if (stmt_) sqlite3_finalize(stmt_);
    db_ = std::exchange(other.db_, nullptr);
    stmt_ = std::exchange(other.stmt_, nullptr);
  }
  return *this;
}

Statement::~Statement() {
  if (stmt_) sqlite3_finalize(stmt_);
}

Statement &Statement::bind(int index, long long value) {
  sqlite3_bind_int64(stmt_, index, value);
  return *this;
}

Statement &Statement::bind(int index, double value) {
  if (std::isfinite(value))
    sqlite3_bind_double(stmt_, index, value);
  else
    sqlite3_bind_null(stmt_, index);
  return *this;
}

Statement &Statement::bind(int index, const std::string &value) {
  sqlite3_bind_text(stmt_, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
  return *this;
}

Statement &Statement::bind(int index, std::optional<double> value) {
  return value ? bind(index, *value) : bindNull(index);
}

Statement &Statement::bindNull(int index) {
  sqlite3_bind_null(stmt_, index);
  return *this;
}

bool Statement::step() {
  const int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW) return true;
  if (rc != SQLITE_DONE) error_ = sqlite3_errmsg(db_);
  return false;
}

bool Statement::run() {
  error_.clear();
  while (step()) {
  }
  const bool ok = error_.empty();
  reset();
  return ok;
}

void Statement::reset() {
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
}

long long Statement::integer(int column) const { return sqlite3_column_int64(stmt_, column); }
double Statement::real(int column) const { return sqlite3_column_double(stmt_, column); }

std::optional<double> Statement::optionalReal(int column) const {
  if (isNull(column)) return std::nullopt;
  return real(column);
}

std::string Statement::text(int column) const {
  const unsigned char *t = sqlite3_column_text(stmt_, column);
  if (!t) return {};
  return std::string(reinterpret_cast<const char *>(t),
                     static_cast<size_t>(sqlite3_column_bytes(stmt_, column)));
}

bool Statement::isNull(int column) const {
  return sqlite3_column_type(stmt_, column) == SQLITE_NULL;
}

Database::~Database() { close(); }

bool Database::open(const std::string &path, Mode mode, int busyMs, std::string &reason) {
  close();
  int flags = SQLITE_OPEN_NOMUTEX;
  std::string name = path;
  if (mode == Mode::Write) {
    flags |= SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
  } else {
    flags |= SQLITE_OPEN_READONLY;
  }
  if (mode == Mode::Immutable) {
    // A URI path: '%', '?' and '#' of the file name are escaped.
    name = "file:";
    for (char c : path) {
      if (c == '%' || c == '?' || c == '#')
        name += c == '%' ? "%25" : c == '?' ? "%3f" : "%23";
      else
        name += c;
    }
    name += "?immutable=1";
    flags |= SQLITE_OPEN_URI;
  }
  const int rc = sqlite3_open_v2(name.c_str(), &db_, flags, nullptr);
  if (rc != SQLITE_OK) {
    reason = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
    close();
    return false;
  }
  sqlite3_busy_timeout(db_, busyMs);
  return true;
}

bool Database::openMemory(std::string &reason) {
  close();
  if (sqlite3_open_v2(":memory:", &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) ==
      SQLITE_OK)
    return true;
  reason = db_ ? sqlite3_errmsg(db_) : "out of memory";
  close();
  return false;
}

bool Database::lastFailureBusy() const {
  if (!db_) return false;
  const int code = sqlite3_errcode(db_) & 0xff;
  return code == SQLITE_BUSY || code == SQLITE_LOCKED;
}

void Database::close() {
  if (db_) sqlite3_close_v2(db_);
  db_ = nullptr;
}

bool Database::exec(const std::string &sql, std::string &reason) {
  char *message = nullptr;
  if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message) == SQLITE_OK) return true;
  reason = message ? message : sqlite3_errmsg(db_);
  sqlite3_free(message);
  return false;
}

Statement Database::prepare(const std::string &sql, std::string &reason) {
  sqlite3_stmt *stmt = nullptr;
  if (sqlite3_prepare_v2(db_, sql.c_str(), static_cast<int>(sql.size()), &stmt, nullptr) !=
      SQLITE_OK) {
    reason = sqlite3_errmsg(db_);
    sqlite3_finalize(stmt);
    return Statement();
  }
  return Statement(db_, stmt);
}

long long Database::lastInsertId() const { return sqlite3_last_insert_rowid(db_); }
int Database::changes() const { return sqlite3_changes(db_); }
std::string Database::lastError() const { return db_ ? sqlite3_errmsg(db_) : "not open"; }

Transaction::Transaction(Database &db) : db_(db) { ok_ = db_.exec("BEGIN IMMEDIATE", error_); }

Transaction::~Transaction() {
  if (ok_ && !done_) {
    std::string ignored;
    db_.exec("ROLLBACK", ignored);
  }
}

bool Transaction::commit() {
  if (!ok_ || done_) return false;
  done_ = true;
  return db_.exec("COMMIT", error_);
}

}  // namespace history
