// The PostgreSQL backend of the results store: a libpq connection to a server several benches
// share. The store's marks live in a one-row table tessock_store; a write transaction holds an
// advisory lock of the store's own, so two programs making or converting one store take turns.
#include <libpq-fe.h>

#include <charconv>
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

class PgCursor : public Cursor {
 public:
  PgCursor(PGconn *conn, std::string sql, std::vector<bool> used, std::string &state)
      : conn_(conn), sql_(std::move(sql)), used_(std::move(used)), state_(state) {
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
  bool step(std::string &error) override {
    if (!result_) {
      std::vector<const char *> values(values_.size());
      std::vector<Oid> types(values_.size(), 0);
      for (size_t k = 0; k < values_.size(); ++k) {
        values[k] = values_[k] ? values_[k]->c_str() : nullptr;
        if (!used_[k + 1]) types[k] = 25;  // text: a parameter the statement does not use
      }
      result_.reset(PQexecParams(conn_, sql_.c_str(), static_cast<int>(values.size()), types.data(),
                                 values.data(), nullptr, nullptr, 0));
      row_ = -1;
      if (!succeeded(result_.get())) {
        state_ = stateOf(result_.get());
        error = messageOf(conn_, result_.get());
        result_.reset();
        failed_ = true;
        return false;
      }
      state_.clear();
    }
    if (failed_) return false;
    ++row_;
    return row_ < PQntuples(result_.get());
  }
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
  PGconn *conn_;
  std::string sql_;
  std::vector<bool> used_;  // by parameter number; [0] unused
  std::string &state_;      // the connection's last SQLSTATE
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

  bool exec(const std::string &sql, std::string &reason) override {
    Result r(PQexec(conn_, sql.c_str()));
    if (succeeded(r.get())) {
      state_.clear();
      return true;
    }
    state_ = stateOf(r.get());
    reason = messageOf(conn_, r.get());
    return false;
  }
  std::unique_ptr<Cursor> prepare(const std::string &sql, std::string &reason) override {
    if (PQstatus(conn_) != CONNECTION_OK) {
      reason = messageOf(conn_, nullptr);
      return nullptr;
    }
    std::vector<bool> used;
    std::string text = dollarParameters(sql, used);
    return std::make_unique<PgCursor>(conn_, std::move(text), std::move(used), state_);
  }
  bool lastFailureBusy() const override {
    return (state_ == "55P03" || state_ == "40001" || state_ == "40P01") &&
           PQstatus(conn_) == CONNECTION_OK;
  }
  bool lastFailureRefused() const override { return state_ == "42501"; }
  std::string beginSql() const override {
    return std::string("BEGIN; SELECT pg_advisory_xact_lock(") + kStoreLock + ")";
  }
  bool readMarks(long long &applicationId, long long &version, long long &tables,
                 std::string &error) override {
    applicationId = version = tables = 0;
    // The catalogue lists every table, also those this role may not read: the information
    // schema leaves them out, and a store whose tables a role may not read looked empty.
    Result t(PQexec(conn_,
                    "SELECT COUNT(*), COUNT(*) FILTER (WHERE c.relname = 'tessock_store') FROM "
                    "pg_catalog.pg_class c JOIN pg_catalog.pg_namespace n ON n.oid = "
                    "c.relnamespace WHERE n.nspname = current_schema() AND c.relkind IN ('r', "
                    "'p')"));
    if (!succeeded(t.get()) || PQntuples(t.get()) != 1) {
      state_ = stateOf(t.get());
      error = messageOf(conn_, t.get());
      return false;
    }
    tables = std::atoll(PQgetvalue(t.get(), 0, 0));
    if (std::atoll(PQgetvalue(t.get(), 0, 1)) == 0) return true;
    Result m(PQexec(conn_, "SELECT application_id, version FROM tessock_store"));
    if (!succeeded(m.get())) {
      state_ = stateOf(m.get());
      error = messageOf(conn_, m.get());
      return false;
    }
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

 private:
  PGconn *conn_;
  std::string state_;  // SQLSTATE of the last failure, empty after a success
};

}  // namespace

std::unique_ptr<Connection> OpenPostgres(const std::string &uri, bool readOnly, int busyMs,
                                         std::string &reason) {
  // A server that does not answer is given up on after 5 s (connecting) and 10 s (unanswered
  // data), so the writer thread tries again instead of hanging; the URI may say otherwise.
  const char *keys[] = {"connect_timeout", "tcp_user_timeout", "fallback_application_name",
                        "dbname", nullptr};
  const char *values[] = {"5", "10000", "tessock", uri.c_str(), nullptr};
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
  return c;
}

}  // namespace history::backend
