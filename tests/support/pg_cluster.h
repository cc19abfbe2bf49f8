// A PostgreSQL server of one test's own (tests/support/pg_server.sh in a scratch folder of its
// own), for a test that stops and restarts its server: the server every other test
// shares is never disturbed. Stopped and removed when the object goes.
#pragma once

#include <string>

namespace testenv {

class PgCluster {
 public:
  PgCluster();
  ~PgCluster();
  PgCluster(const PgCluster &) = delete;
  PgCluster &operator=(const PgCluster &) = delete;

  // Whether the server started; else `error()` says why (the script's output).
  bool ok() const { return ok_; }
  const std::string &error() const { return error_; }
  // The location of database `name` on this server (through its unix socket).
  std::string location(const std::string &name) const;
  // CREATE DATABASE `name`; false with error() set.
  bool createDatabase(const std::string &name);

  // The server stopped (every connection ended, its data kept), and started again.
  bool halt();
  bool restart();

 private:
  bool script(const std::string &action);

  std::string dir_, error_;
  bool ok_ = false;
};

}  // namespace testenv
