// The PostgreSQL backend of the results store: a libpq connection to a server several benches
// share. The store's marks live in a one-row table tessock_store; a write transaction holds an
// advisory lock of the store's own, so two programs making or converting one store take turns.
#include <libpq-fe.h>
#include <poll.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <regex>
#include <vector>

#include "history/database.h"

namespace history::backend {

namespace {

// The lock a write transaction takes: the store's application_id.
constexpr const char *kStoreLock = "1414744914";

struct ResultDeleter {
  void operator()(PGresult *r) const { PQclear(r); }
};
using Result = std::unique_ptr<PGresult, ResultDeleter>;

std::string messageOf(PGconn *conn, const PGresult *r) {
  std::string m = r ? PQresultErrorMessage(r) : PQerrorMessage(conn);
  while (!m.empty() && (m.back() == '\n' || m.back() == ' ')) m.pop_back();
  return m.empty() ? "the server gave no answer" : m;
}

// The SQLSTATE of a failed result ("" when the server gave none).
std::string stateOf(const PGresult *r) {
  const char *state = r ? PQresultErrorField(r, PG_DIAG_SQLSTATE) : nullptr;
  return state ? state : "";
}

bool succeeded(const PGresult *r) {
  const ExecStatusType s = r ? PQresultStatus(r) : PGRES_FATAL_ERROR;
  return s == PGRES_COMMAND_OK || s == PGRES_TUPLES_OK;
}

// "?N" parameter marks become "$N" (outside quoted text); `used` gets the numbers met.
std::string dollarParameters(const std::string &sql, std::vector<bool> &used) {
  std::string out;
  char quote = 0;
  for (size_t k = 0; k < sql.size(); ++k) {
    const char c = sql[k];
    if (quote) {
      if (c == quote) quote = 0;
    } else if (c == '\'' || c == '"') {
      quote = c;
    } else if (c == '?' && k + 1 < sql.size() &&
               std::isdigit(static_cast<unsigned char>(sql[k + 1]))) {
      size_t end = k + 1;
      int n = 0;
      while (end < sql.size() && std::isdigit(static_cast<unsigned char>(sql[end])))
        n = n * 10 + (sql[end++] - '0');
      if (static_cast<size_t>(n) >= used.size()) used.resize(n + 1, false);
      used[n] = true;
      out += '$' + sql.substr(k + 1, end - k - 1);
      k = end - 1;
      continue;
    }
    out += c;
  }
  return out;
}

class PgConnection;

class PgCursor : public Cursor {
 public:
  PgCursor(PgConnection &conn, std::string sql, std::vector<bool> used)
      : conn_(conn), sql_(std::move(sql)), used_(std::move(used)) {
    values_.resize(used_.empty() ? 0 : used_.size() - 1);
  }

  void bindInteger(int index, long long value) override { set(index, std::to_string(value)); }
  void bindReal(int index, double value) override {
    char buffer[32];
    const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
    set(index, ec == std::errc() ? std::string(buffer, end) : std::string());
  }
  void bindText(int index, const std::string &value) override { set(index, value); }
  void bindNull(int index) override {
    if (index >= 1 && static_cast<size_t>(index) <= values_.size()) values_[index - 1].reset();
  }
  bool step(std::string &error) override;
  void reset() override {
    result_.reset();
    failed_ = false;
    for (auto &v : values_) v.reset();
  }
  long long integer(int column) const override {
    const char *v = PQgetvalue(result_.get(), row_, column);
    long long n = 0;
    std::from_chars(v, v + PQgetlength(result_.get(), row_, column), n);
    return n;
  }
  double real(int column) const override {
    const char *v = PQgetvalue(result_.get(), row_, column);
    double d = 0;
    std::from_chars(v, v + PQgetlength(result_.get(), row_, column), d);
    return d;
  }
  std::string text(int column) const override {
    return std::string(PQgetvalue(result_.get(), row_, column),
                       static_cast<size_t>(PQgetlength(result_.get(), row_, column)));
  }
  bool isNull(int column) const override { return PQgetisnull(result_.get(), row_, column) != 0; }

 private:
  void set(int index, std::string value) {
    if (index >= 1 && static_cast<size_t>(index) <= values_.size())
      values_[index - 1] = std::move(value);
  }
  PgConnection &conn_;
  std::string sql_;
  std::vector<bool> used_;  // by parameter number; [0] unused
  std::vector<std::optional<std::string>> values_;
  Result result_;
  int row_ = -1;
  bool failed_ = false;
};

class PgConnection : public Connection {
 public:
  explicit PgConnection(PGconn *conn) : conn_(conn) {}
  ~PgConnection() override { PQfinish(conn_); }
  PgConnection(const PgConnection &) = delete;
  PgConnection &operator=(const PgConnection &) = delete;

  // Runs one statement (`params` null: one or more without parameters) and waits for its
  // answer at most the connection's bound; null with `error` set on a failure. Every failure
  // sets the busy mark, every success clears it; a connection that did not answer in time is
  // given up (lost()). Outside a transaction of the store's, a transaction the statement left
  // open or failed is ended, so the next statement starts clean.
  Result run(const std::string &sql, int count, const Oid *types, const char *const *values,
             std::string &error) {
    if (dead_ || PQstatus(conn_) != CONNECTION_OK) {
      busy_ = false;
      state_.clear();
      error = dead_ ? lostReason_ : messageOf(conn_, nullptr);
      return nullptr;
    }
    const int sent =
        values ? PQsendQueryParams(conn_, sql.c_str(), count, types, values, nullptr, nullptr, 0)
               : PQsendQuery(conn_, sql.c_str());
    Result last;
    std::string failure;
    if (!sent) {
      failure = messageOf(conn_, nullptr);
    } else {
      for (;;) {
        if (std::string why = waitForAnswer(); !why.empty()) {
          busy_ = false;
          state_.clear();
          dead_ = true;
          lostReason_ = why + "; the connection is given up";
          error = lostReason_;
          return nullptr;
        }
        Result r(PQgetResult(conn_));
        if (!r) break;
        if (!succeeded(r.get()) && failure.empty()) {
          const std::string code = stateOf(r.get());
          state_ = code;
          // Another connection's lock (lock_timeout), a serialisation failure, a deadlock.
          busy_ = code == "55P03" || code == "40001" || code == "40P01";
          failure = messageOf(conn_, r.get());
        }
        last = std::move(r);
      }
    }
    if (!failure.empty()) {
      if (!sent) {
        busy_ = false;
        state_.clear();
      }
      error = failure;
      if (!inTransaction_) endStrayTransaction();
      return nullptr;
    }
    busy_ = false;
    state_.clear();
    if (!last) last.reset(PQmakeEmptyPGresult(conn_, PGRES_COMMAND_OK));
    return last;
  }

  bool exec(const std::string &sql, std::string &reason) override {
    return run(sql, 0, nullptr, nullptr, reason) != nullptr;
  }
  std::unique_ptr<Cursor> prepare(const std::string &sql, std::string &reason) override {
    if (dead_ || PQstatus(conn_) != CONNECTION_OK) {
      reason = dead_ ? lostReason_ : messageOf(conn_, nullptr);
      return nullptr;
    }
    std::vector<bool> used;
    std::string text = dollarParameters(sql, used);
    return std::make_unique<PgCursor>(*this, std::move(text), std::move(used));
  }
  bool lastFailureBusy() const override { return busy_ && !lost(); }
  bool lastFailureRefused() const override { return state_ == "42501"; }
  bool lost() const override { return dead_ || PQstatus(conn_) != CONNECTION_OK; }
  bool alive() override {
    std::string ignored;
    const bool busy = busy_;
    const std::string state = state_;
    const bool ok = exec("SELECT 1", ignored);
    busy_ = busy;
    state_ = state;
    return ok;
  }
  bool begin(std::string &reason) override {
    // The lock is taken in the transaction: a lock timeout leaves it aborted, so it is ended.
    inTransaction_ = true;
    if (exec(std::string("BEGIN; SELECT pg_advisory_xact_lock(") + kStoreLock + ")", reason))
      return true;
    rollback();
    return false;
  }
  bool commit(std::string &reason) override {
    // COMMIT of a transaction that failed answers ROLLBACK, without an error.
    const bool failed = PQtransactionStatus(conn_) == PQTRANS_INERROR;
    Result r = run("COMMIT", 0, nullptr, nullptr, reason);
    inTransaction_ = false;
    if (!r) {
      rollback();
      return false;
    }
    if (failed || std::string(PQcmdStatus(r.get())) == "ROLLBACK") {
      reason = "the transaction failed and was rolled back";
      return false;
    }
    return true;
  }
  void rollback() override {
    inTransaction_ = false;
    endStrayTransaction();
  }
  bool setStatementSeconds(int seconds, std::string &reason) override {
    const int s = seconds > 0 ? seconds : usualSeconds_;
    if (!exec("SET statement_timeout = " + std::to_string(s * 1000), reason)) return false;
    boundSeconds_ = s + kClientMargin;
    return true;
  }
  // After connecting: the server's bound (the location's, else 30 s) and this side's.
  bool settle(std::string &reason) {
    Result r = run("SELECT current_setting('statement_timeout')", 0, nullptr, nullptr, reason);
    if (!r || PQntuples(r.get()) != 1) return false;
    const std::string set = PQgetvalue(r.get(), 0, 0);
    usualSeconds_ = set == "0" ? kUsualSeconds : std::max(1, secondsOf(set));
    return setStatementSeconds(0, reason);
  }
  bool readMarks(long long &applicationId, long long &version, long long &tables,
                 std::string &error) override {
    applicationId = version = tables = 0;
    // The catalogue lists every table, also those this role may not read: the information
    // schema leaves them out, and a store whose tables a role may not read looked empty.
    Result t =
        run("SELECT COUNT(*), COUNT(*) FILTER (WHERE c.relname = 'tessock_store') FROM "
            "pg_catalog.pg_class c JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace WHERE "
            "n.nspname = current_schema() AND c.relkind IN ('r', 'p')",
            0, nullptr, nullptr, error);
    if (!t || PQntuples(t.get()) != 1) {
      if (t) error = "the server gave no answer";
      return false;
    }
    tables = std::atoll(PQgetvalue(t.get(), 0, 0));
    if (std::atoll(PQgetvalue(t.get(), 0, 1)) == 0) return true;
    Result m = run("SELECT application_id, version FROM tessock_store", 0, nullptr, nullptr, error);
    if (!m) return false;
    // Anything but one row of two numbers is not a mark of this program.
    if (PQntuples(m.get()) != 1) {
      applicationId = -1;
      return true;
    }
    applicationId = std::atoll(PQgetvalue(m.get(), 0, 0));
    version = std::atoll(PQgetvalue(m.get(), 0, 1));
    return true;
  }
  std::string marksSql(long long applicationId, long long version) const override {
    return "CREATE TABLE IF NOT EXISTS tessock_store(application_id BIGINT NOT NULL, version "
           "INTEGER NOT NULL); DELETE FROM tessock_store; INSERT INTO tessock_store VALUES(" +
           std::to_string(applicationId) + ", " + std::to_string(version) + ");";
  }
  std::string schemaSql(const std::string &portable) const override {
    static const std::regex kKey("\\bINTEGER PRIMARY KEY\\b"), kInteger("\\bINTEGER\\b"),
        kReal("\\bREAL\\b");
    std::string s =
        std::regex_replace(portable, kKey, "BIGINT GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY");
    s = std::regex_replace(s, kInteger, "BIGINT");
    s = std::regex_replace(s, kReal, "DOUBLE PRECISION");
    // The store's SQL finds text in text with SQLite's instr().
    return s +
           "\nCREATE OR REPLACE FUNCTION instr(text, text) RETURNS integer LANGUAGE sql "
           "IMMUTABLE AS 'SELECT strpos($1, $2)';\n";
  }
  bool isServer() const override { return true; }
  void setInterrupt(const std::atomic<bool> *flag) override { interrupt_ = flag; }

 private:
  static constexpr int kUsualSeconds = 30, kClientMargin = 5;
  // How often a wait for the server looks at the interrupt.
  static constexpr long long kPollMs = 100;

  // "30s", "1min", "500" (ms) as whole seconds, rounded up.
  static int secondsOf(const std::string &setting) {
    long long n = 0;
    const auto [end, ec] = std::from_chars(setting.data(), setting.data() + setting.size(), n);
    const std::string unit(end, setting.data() + setting.size());
    const long long ms = unit == "s"     ? n * 1000
                         : unit == "min" ? n * 60000
                         : unit == "h"   ? n * 3600000
                         : unit == "d"   ? n * 86400000
                                         : n;
    return static_cast<int>(std::min<long long>((ms + 999) / 1000, 1 << 30));
  }

  // Waits until the answer can be read without blocking; empty then, else why it was not
  // waited for: the bound passed first, or the program stopped waiting (the interrupt).
  std::string waitForAnswer() {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(boundSeconds_);
    while (PQisBusy(conn_)) {
      if (interrupt_ && interrupt_->load()) return "the program stopped waiting for the server";
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            until - std::chrono::steady_clock::now())
                            .count();
      if (left <= 0)
        return "the server did not answer within " + std::to_string(boundSeconds_) + " s";
      pollfd p{PQsocket(conn_), POLLIN, 0};
      if (p.fd < 0) return {};  // PQgetResult says what went wrong
      const int n = ::poll(&p, 1, static_cast<int>(std::min<long long>(left, kPollMs)));
      if (n < 0 && errno != EINTR) return {};
      if (n > 0 && !PQconsumeInput(conn_)) return {};
    }
    return {};
  }

  // Rolls back whatever transaction the connection is in (quietly: the busy mark and the last
  // SQLSTATE are kept).
  void endStrayTransaction() {
    const PGTransactionStatusType t = PQtransactionStatus(conn_);
    if (dead_ || (t != PQTRANS_INERROR && t != PQTRANS_INTRANS)) return;
    const bool busy = busy_;
    const std::string state = state_;
    const bool was = inTransaction_;
    inTransaction_ = true;  // no recursion
    std::string ignored;
    run("ROLLBACK", 0, nullptr, nullptr, ignored);
    inTransaction_ = was;
    busy_ = busy;
    state_ = state;
  }

  PGconn *conn_;
  const std::atomic<bool> *interrupt_ = nullptr;
  bool busy_ = false, dead_ = false, inTransaction_ = false;
  std::string lostReason_;
  int usualSeconds_ = kUsualSeconds, boundSeconds_ = kUsualSeconds + kClientMargin;
  std::string state_;  // SQLSTATE of the last failure, empty after a success
};

bool PgCursor::step(std::string &error) {
  if (!result_ && !failed_) {
    std::vector<const char *> values(values_.size());
    std::vector<Oid> types(values_.size(), 0);
    for (size_t k = 0; k < values_.size(); ++k) {
      values[k] = values_[k] ? values_[k]->c_str() : nullptr;
      if (!used_[k + 1]) types[k] = 25;  // text: a parameter the statement does not use
    }
    static const char *const kNone[1] = {nullptr};
    result_ = conn_.run(sql_, static_cast<int>(values.size()), types.data(),
                        values.empty() ? kNone : values.data(), error);
    row_ = -1;
    if (!result_) {
      failed_ = true;
      return false;
    }
  }
  if (failed_) return false;
  ++row_;
  return row_ < PQntuples(result_.get());
}

}  // namespace

std::unique_ptr<Connection> OpenPostgres(const std::string &uri, bool readOnly, int busyMs,
                                         std::string &reason) {
  // A server that does not answer is given up on after 5 s (connecting) and 10 s (unanswered
  // data, or a silent peer on TCP), so the writer thread tries again instead of hanging; the
  // location may say otherwise.
  const char *keys[] = {"connect_timeout",
                        "tcp_user_timeout",
                        "keepalives",
                        "keepalives_idle",
                        "keepalives_interval",
                        "keepalives_count",
                        "fallback_application_name",
                        "dbname",
                        nullptr};
  const char *values[] = {"5", "10000", "1", "10", "5", "3", "tessock", uri.c_str(), nullptr};
  PGconn *conn = PQconnectdbParams(keys, values, 1);
  if (!conn) {
    reason = "out of memory";
    return nullptr;
  }
  if (PQstatus(conn) != CONNECTION_OK) {
    reason = messageOf(conn, nullptr);
    PQfinish(conn);
    return nullptr;
  }
  auto c = std::make_unique<PgConnection>(conn);
  std::string settings =
      "SET client_encoding = 'UTF8'; SET client_min_messages = warning; "
      "SET lock_timeout = " +
      std::to_string(busyMs > 0 ? busyMs : 1) + ";";
  if (readOnly) settings += " SET default_transaction_read_only = on;";
  if (!c->exec(settings, reason)) return nullptr;
  // The store's questions are short: compiling one (the server's JIT, on from a plan's estimated
  // cost) took longer than answering it. A server without the setting answers as well.
  std::string ignored;
  c->exec("SET jit = off", ignored);
  if (!c->settle(reason)) return nullptr;
  return c;
}

}  // namespace history::backend
