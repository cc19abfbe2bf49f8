#include "support/pg_cluster.h"

#include <stdlib.h>

#include <cstdio>

#include "history/database.h"
#include "support/test_env.h"

namespace testenv {

PgCluster::PgCluster() {
  // A short folder: the server's socket path must fit a sockaddr_un.
  char name[] = "/tmp/tessock-pgc.XXXXXX";
  if (!::mkdtemp(name)) {
    error_ = "no scratch folder for the server";
    return;
  }
  dir_ = name;
  ok_ = script("start");
}

PgCluster::~PgCluster() {
  if (!dir_.empty()) script("stop");
}

bool PgCluster::script(const std::string &action) {
  const std::string command =
      "bash " + sourceDir() + "/tests/support/pg_server.sh " + action + " " + dir_ + " 2>&1";
  FILE *p = ::popen(command.c_str(), "r");
  if (!p) {
    error_ = "cannot run " + command;
    return false;
  }
  std::string out;
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, p)) > 0;) out.append(buffer, n);
  const int status = ::pclose(p);
  if (status != 0) error_ = "pg_server.sh " + action + ": " + out;
  return status == 0;
}

std::string PgCluster::location(const std::string &name) const {
  return "postgresql:///" + name + "?host=" + dir_ + "&user=tessock";
}

bool PgCluster::createDatabase(const std::string &name) {
  history::Database admin;
  return admin.open(location("postgres"), history::Database::Mode::Write, 5000, error_) &&
         admin.exec("CREATE DATABASE " + name, error_);
}

bool PgCluster::halt() { return script("halt"); }

bool PgCluster::restart() { return script("restart"); }

}  // namespace testenv
