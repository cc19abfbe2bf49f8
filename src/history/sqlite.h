// A thin wrapper of the SQLite library: a connection and prepared statements that close
// themselves, with errors as text instead of codes.
#pragma once

#include <optional>
#include <string>

struct sqlite3;
struct sqlite3_stmt;

namespace history {

class Database;

class Statement {
 public:
  Statement() = default;
  Statement(Statement &&other) noexcept;
  Statement &operator=(Statement &&other) noexcept;
  ~Statement();
  Statement(const Statement &) = delete;
  Statement &operator=(const Statement &) = delete;

  explicit operator bool() const { return stmt_ != nullptr; }

  // Parameters count from 1. A missing optional or a non-finite number binds NULL.
  Statement &bind(int index, long long value);
  Statement &bind(int index, double value);
  Statement &bind(int index, const std::string &value);
  Statement &bind(int index, std::optional<double> value);
  Statement &bindNull(int index);

  // Steps once: true while a row is there. On an error, false and error() says why.
  bool step();
  // Runs a statement that returns no rows to its end; false on an error.
  bool run();
  // Back to the start, parameters cleared, for the next use.
  void reset();
  const std::string &error() const { return error_; }

  long long integer(int column) const;
  double real(int column) const;
  std::optional<double> optionalReal(int column) const;
  std::string text(int column) const;
  bool isNull(int column) const;

 private:
  friend class Database;
  Statement(sqlite3 *db, sqlite3_stmt *stmt) : db_(db), stmt_(stmt) {}
  sqlite3 *db_ = nullptr;
  sqlite3_stmt *stmt_ = nullptr;
  std::string error_;
};

class Database {
 public:
  Database() = default;
  ~Database();
  Database(const Database &) = delete;
  Database &operator=(const Database &) = delete;

  enum class Mode {
    Write,      // read and write, the file created when missing
    ReadOnly,   // never written
    Immutable,  // read-only on a read-only mount: no lock, no -shm beside it
  };
  // Opens the database file; false with the reason. `busyMs`: how long a statement waits for
  // another connection's lock before it answers "database is locked".
  bool open(const std::string &path, Mode mode, int busyMs, std::string &reason);
  // A database in memory (an empty store to question when there is no file yet).
  bool openMemory(std::string &reason);
  bool isOpen() const { return db_ != nullptr; }
  void close();

  // Runs one or more statements without results; false with the reason.
  bool exec(const std::string &sql, std::string &reason);
  // An invalid statement (false) with the reason when the text does not compile.
  Statement prepare(const std::string &sql, std::string &reason);
  long long lastInsertId() const;
  int changes() const;
  std::string lastError() const;
  // Whether the last failure was another connection's lock (worth trying again later).
  bool lastFailureBusy() const;

 private:
  sqlite3 *db_ = nullptr;
};

// Commits on commit(), rolls back when left without it.
class Transaction {
 public:
  explicit Transaction(Database &db);
  ~Transaction();
  Transaction(const Transaction &) = delete;
  Transaction &operator=(const Transaction &) = delete;
  bool ok() const { return ok_; }
  const std::string &error() const { return error_; }
  bool commit();

 private:
  Database &db_;
  bool ok_ = false, done_ = false;
  std::string error_;
};

}  // namespace history
