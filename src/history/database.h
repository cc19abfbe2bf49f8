// The results store's connection to its database, whichever engine holds it: a SQLite file for
// one bench, a PostgreSQL server for many. The store speaks one SQL to both (numbered parameters
// ?1 ?2 ..., INSERT ... RETURNING, ON CONFLICT DO NOTHING); a backend only maps what differs:
// parameter marks, column types of the schema, the store's marks, how a transaction begins.
#pragma once

#include <atomic>
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
  // Whether the last failure was another connection's lock (or a deadlock): worth trying again
  // on the same connection. Set by every failed statement, cleared by every one that works.
  virtual bool lastFailureBusy() const = 0;
  // Whether the last failure was a refusal of the store's rules or of the role's privileges
  // (PostgreSQL's insufficient_privilege): trying again changes nothing.
  virtual bool lastFailureRefused() const { return false; }
  // Whether the connection is gone (the server ended it, or did not answer within its bound):
  // nothing works on it any more; it is opened afresh.
  virtual bool lost() const = 0;
  // Asks the server whether the connection still works (a file always does).
  virtual bool alive() = 0;
  // A write transaction holding the store's lock for the check of its marks. A begin that fails
  // leaves no transaction open; rollback() ends whatever is open (quietly, the last failure kept).
  virtual bool begin(std::string &reason) = 0;
  virtual bool commit(std::string &reason) = 0;
  virtual void rollback() = 0;
  // How long a statement may take before the server (and this side, a little later) gives up
  // on it: for a long change of the store. 0: the connection's usual bound.
  virtual bool setStatementSeconds(int seconds, std::string &reason) = 0;
  // The store's marks (0 when the database has none) and how many tables it holds.
  virtual bool readMarks(long long &applicationId, long long &version, long long &tables,
                         std::string &error) = 0;
  virtual std::string marksSql(long long applicationId, long long version) const = 0;
  // The schema's SQL in this engine's column types.
  virtual std::string schemaSql(const std::string &portable) const = 0;
  virtual bool isServer() const = 0;
  // Once `flag` is set, a wait for the server's answer ends at once and the connection is given
  // up (lost()): a program that ends is not held by a server that does not answer. A file's
  // statements are bounded by their busy time and need none.
  virtual void setInterrupt(const std::atomic<bool> *flag) { (void)flag; }
};

}  // namespace backend

// Whether a store location names a PostgreSQL server rather than a file: a libpq URI
// (postgresql://...) or a libpq keyword string ("host=... dbname=...", its first word a libpq
// keyword).
bool IsServerLocation(const std::string &location);
// The location as it may be shown: a URI's or keyword string's password replaced by "***".
std::string ShownLocation(const std::string &location);
// `message` with every trace of the location's password hidden: the location whole (shown
// instead), the password as written and as its escapes decode. Every message that may quote a
// server location (libpq's own among them) passes through it.
std::string Redacted(const std::string &message, const std::string &location);
// The store's identity: a file's absolute, normalised path (its links resolved as far as it
// exists), or a server location as shown (no password). The same store named from two
// folders, or with a password and without, has one identity.
std::string StoreIdentity(const std::string &location);

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
  // The interrupt of every connection opened from now on and of the open one (see
  // backend::Connection::setInterrupt); it must outlive the database.
  void setInterrupt(const std::atomic<bool> *flag);

  // Runs one or more statements without results; false with the reason.
  bool exec(const std::string &sql, std::string &reason);
  // An invalid statement (false) with the reason when the text does not compile.
  Statement prepare(const std::string &sql, std::string &reason);
  // Whether the last failure was another connection's lock (worth trying again later).
  bool lastFailureBusy() const { return connection_ && connection_->lastFailureBusy(); }
  // Whether the open connection is gone (see backend::Connection::lost).
  bool lost() const { return connection_ && connection_->lost(); }
  // Whether the last failure was a refusal for want of a privilege (final, not worth a retry).
  bool lastFailureRefused() const { return connection_ && connection_->lastFailureRefused(); }
  backend::Connection &connection() { return *connection_; }

 private:
  std::unique_ptr<backend::Connection> connection_;
  const std::atomic<bool> *interrupt_ = nullptr;
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
// `uri`: a URI or a keyword string. Statements are given up on after 30 s by the server (unless
// the location sets statement_timeout) and 5 s later by this side, whose wait also bounds a
// server that does not answer at all (a unix socket has no network timeout).
std::unique_ptr<Connection> OpenPostgres(const std::string &uri, bool readOnly, int busyMs,
                                         std::string &reason);
}  // namespace backend

}  // namespace history
