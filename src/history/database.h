// The results store's connection to its database, whichever engine holds it: a SQLite file for
// one bench, a PostgreSQL server for many. The store speaks one SQL to both (numbered parameters
// ?1 ?2 ..., INSERT ... RETURNING, ON CONFLICT DO NOTHING); a backend only maps what differs:
// parameter marks, column types of the schema, the store's marks, how a transaction begins.
#pragma once

#include <memory>
#include <optional>
#include <string>

namespace history {

namespace backend {

// A compiled statement and the rows it gives, column and parameter numbers as the SQL says.
class Cursor {
 public:
  virtual ~Cursor() = default;
  virtual void bindInteger(int index, long long value) = 0;
  virtual void bindReal(int index, double value) = 0;  // finite only
  virtual void bindText(int index, const std::string &value) = 0;
  virtual void bindNull(int index) = 0;
  // The next row: true while there is one; false at the end or on an error (`error` set).
  virtual bool step(std::string &error) = 0;
  // Back to the start, parameters cleared.
  virtual void reset() = 0;
  virtual long long integer(int column) const = 0;
  virtual double real(int column) const = 0;
  virtual std::string text(int column) const = 0;
  virtual bool isNull(int column) const = 0;
};

class Connection {
 public:
  virtual ~Connection() = default;
  virtual bool exec(const std::string &sql, std::string &reason) = 0;
  virtual std::unique_ptr<Cursor> prepare(const std::string &sql, std::string &reason) = 0;
  virtual bool lastFailureBusy() const = 0;
  // Whether the last failure was a refusal of the store's rules or of the role's privileges
  // (PostgreSQL's insufficient_privilege): trying again changes nothing.
  virtual bool lastFailureRefused() const { return false; }
  // The statement that opens a write transaction, holding the store's lock for the check of
  // its marks.
  virtual std::string beginSql() const = 0;
  // The store's marks (0 when the database has none) and how many tables it holds.
  virtual bool readMarks(long long &applicationId, long long &version, long long &tables,
                         std::string &error) = 0;
  virtual std::string marksSql(long long applicationId, long long version) const = 0;
  // The schema's SQL in this engine's column types.
  virtual std::string schemaSql(const std::string &portable) const = 0;
  virtual bool isServer() const = 0;
};

}  // namespace backend

// Whether a store location names a PostgreSQL server (a libpq URI) rather than a file.
bool IsServerLocation(const std::string &location);
// The location as it may be shown: a URI's password replaced by "***".
std::string ShownLocation(const std::string &location);

class Database;

class Statement {
 public:
  Statement() = default;
  explicit operator bool() const { return cursor_ != nullptr; }

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

  long long integer(int column) const { return cursor_->integer(column); }
  double real(int column) const { return cursor_->real(column); }
  std::optional<double> optionalReal(int column) const;
  std::string text(int column) const { return cursor_->text(column); }
  bool isNull(int column) const { return cursor_->isNull(column); }

 private:
  friend class Database;
  explicit Statement(std::unique_ptr<backend::Cursor> cursor) : cursor_(std::move(cursor)) {}
  std::unique_ptr<backend::Cursor> cursor_;
  std::string error_;
};

class Database {
 public:
  Database() = default;
  ~Database();
  Database(const Database &) = delete;
  Database &operator=(const Database &) = delete;

  enum class Mode {
    Write,      // read and write, a file created when missing
    ReadOnly,   // never written
    Immutable,  // a file read-only on a read-only mount: no lock, no -shm beside it
  };
  // Opens the database: a file, or a server when `location` is a PostgreSQL URI; false with
  // the reason. `busyMs`: how long a statement waits for another connection's lock.
  bool open(const std::string &location, Mode mode, int busyMs, std::string &reason);
  // A SQLite database in memory (an empty store to question when there is none yet).
  bool openMemory(std::string &reason);
  bool isOpen() const { return connection_ != nullptr; }
  bool isServer() const { return connection_ && connection_->isServer(); }
  void close();

  // Runs one or more statements without results; false with the reason.
  bool exec(const std::string &sql, std::string &reason);
  // An invalid statement (false) with the reason when the text does not compile.
  Statement prepare(const std::string &sql, std::string &reason);
  // Whether the last failure was another connection's lock (worth trying again later).
  bool lastFailureBusy() const { return connection_ && connection_->lastFailureBusy(); }
  // Whether the last failure was a refusal for want of a privilege (final, not worth a retry).
  bool lastFailureRefused() const { return connection_ && connection_->lastFailureRefused(); }
  backend::Connection &connection() { return *connection_; }

 private:
  std::unique_ptr<backend::Connection> connection_;
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

namespace backend {
std::unique_ptr<Connection> OpenSqlite(const std::string &path, Database::Mode mode, int busyMs,
                                       std::string &reason);
std::unique_ptr<Connection> OpenPostgres(const std::string &uri, bool readOnly, int busyMs,
                                         std::string &reason);
}  // namespace backend

}  // namespace history
