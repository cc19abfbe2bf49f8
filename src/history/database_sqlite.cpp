// The SQLite backend of the results store: one file, its marks in application_id and
// user_version.
#include <sqlite3.h>

#include "history/database.h"

namespace history::backend {

namespace {

bool isBusy(int rc) {
  const int code = rc & 0xff;
  return code == SQLITE_BUSY || code == SQLITE_LOCKED;
}

class SqliteCursor : public Cursor {
 public:
  SqliteCursor(sqlite3 *db, sqlite3_stmt *stmt, bool &busy) : db_(db), stmt_(stmt), busy_(busy) {}
  ~SqliteCursor() override { sqlite3_finalize(stmt_); }
  SqliteCursor(const SqliteCursor &) = delete;
  SqliteCursor &operator=(const SqliteCursor &) = delete;

  void bindInteger(int index, long long value) override { sqlite3_bind_int64(stmt_, index, value); }
  void bindReal(int index, double value) override { sqlite3_bind_double(stmt_, index, value); }
  void bindText(int index, const std::string &value) override {
    sqlite3_bind_text(stmt_, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
  }
  void bindNull(int index) override { sqlite3_bind_null(stmt_, index); }
  bool step(std::string &error) override {
    const int rc = sqlite3_step(stmt_);
    busy_ = isBusy(rc);
    if (rc == SQLITE_ROW) return true;
    if (rc != SQLITE_DONE) error = sqlite3_errmsg(db_);
    return false;
  }
  void reset() override {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }
  long long integer(int column) const override { return sqlite3_column_int64(stmt_, column); }
  double real(int column) const override { return sqlite3_column_double(stmt_, column); }
  std::string text(int column) const override {
    const unsigned char *t = sqlite3_column_text(stmt_, column);
    if (!t) return {};
    return std::string(reinterpret_cast<const char *>(t),
                       static_cast<size_t>(sqlite3_column_bytes(stmt_, column)));
  }
  bool isNull(int column) const override {
    return sqlite3_column_type(stmt_, column) == SQLITE_NULL;
  }

 private:
  sqlite3 *db_;
  sqlite3_stmt *stmt_;
  bool &busy_;
};

class SqliteConnection : public Connection {
 public:
  explicit SqliteConnection(sqlite3 *db) : db_(db) {}
  ~SqliteConnection() override { sqlite3_close_v2(db_); }
  SqliteConnection(const SqliteConnection &) = delete;
  SqliteConnection &operator=(const SqliteConnection &) = delete;

  bool exec(const std::string &sql, std::string &reason) override {
    char *message = nullptr;
    const int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message);
    busy_ = isBusy(rc);
    if (rc == SQLITE_OK) return true;
    reason = message ? message : sqlite3_errmsg(db_);
    sqlite3_free(message);
    return false;
  }
  std::unique_ptr<Cursor> prepare(const std::string &sql, std::string &reason) override {
    sqlite3_stmt *stmt = nullptr;
    const int rc =
        sqlite3_prepare_v2(db_, sql.c_str(), static_cast<int>(sql.size()), &stmt, nullptr);
    busy_ = isBusy(rc);
    if (rc != SQLITE_OK) {
      reason = sqlite3_errmsg(db_);
      sqlite3_finalize(stmt);
      return nullptr;
    }
    return std::make_unique<SqliteCursor>(db_, stmt, busy_);
  }
  bool lastFailureBusy() const override { return busy_; }
  bool lost() const override { return false; }
  bool alive() override { return true; }
  // Immediate: the write lock from the start, so two writers never meet half way.
  bool begin(std::string &reason) override { return exec("BEGIN IMMEDIATE", reason); }
  bool commit(std::string &reason) override {
    if (exec("COMMIT", reason)) return true;
    rollback();  // a commit that failed (busy) leaves the transaction open
    return false;
  }
  void rollback() override {
    if (sqlite3_get_autocommit(db_)) return;
    const bool busy = busy_;
    std::string ignored;
    exec("ROLLBACK", ignored);
    busy_ = busy;
  }
  bool setStatementSeconds(int, std::string &) override { return true; }
  bool readMarks(long long &applicationId, long long &version, long long &tables,
                 std::string &error) override {
    auto value = [&](const char *sql) -> long long {
      if (!error.empty()) return 0;
      std::unique_ptr<Cursor> c = prepare(sql, error);
      if (!c) return 0;
      const long long v = c->step(error) ? c->integer(0) : 0;
      return v;
    };
    applicationId = value("PRAGMA application_id");
    version = value("PRAGMA user_version");
    tables = value(
        "SELECT COUNT(*) FROM sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite_%'");
    return error.empty();
  }
  std::string marksSql(long long applicationId, long long version) const override {
    return "PRAGMA application_id = " + std::to_string(applicationId) +
           "; PRAGMA user_version = " + std::to_string(version) + ";";
  }
  std::string schemaSql(const std::string &portable) const override { return portable; }
  bool isServer() const override { return false; }

 private:
  sqlite3 *db_;
  bool busy_ = false;
};

}  // namespace

std::unique_ptr<Connection> OpenSqlite(const std::string &path, Database::Mode mode, int busyMs,
                                       std::string &reason) {
  int flags = SQLITE_OPEN_NOMUTEX;
  std::string name = path;
  if (mode == Database::Mode::Write) {
    flags |= SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
  } else {
    flags |= SQLITE_OPEN_READONLY;
  }
  if (mode == Database::Mode::Immutable) {
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
  sqlite3 *db = nullptr;
  const int rc = sqlite3_open_v2(name.c_str(), &db, flags, nullptr);
  if (rc != SQLITE_OK) {
    reason = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    sqlite3_close_v2(db);
    return nullptr;
  }
  sqlite3_busy_timeout(db, busyMs);
  return std::make_unique<SqliteConnection>(db);
}

}  // namespace history::backend
