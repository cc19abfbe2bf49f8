// The bench check of the results store: what a technician wants to know of it before a run.
#include <unistd.h>

#include <filesystem>

#include "history/store_internal.h"
#include "rt/format.h"
#include "rt/input_file.h"

namespace history {

Store::Check Store::checkForBench(long long benchNow) {
  Check c;
  c.lines.push_back("Results store: " + name_);
  auto fault = [&](const std::string &f) {
    c.lines.push_back("  " + f);
    c.faults.push_back(f);
  };
  close();
  standIn_ = writable_ = false;
  std::string why;
  if (!isServer()) {
    const rt::PathCheck file = rt::checkPath(path_);
    if (file.missing) {
      // Made by the first run, in a folder that must let it be made.
      std::error_code ec;
      std::filesystem::path folder = std::filesystem::path(path_).parent_path();
      while (!folder.empty() && !std::filesystem::exists(folder, ec)) folder = folder.parent_path();
      if (!folder.empty() && ::access(folder.c_str(), W_OK) != 0)
        fault("the store cannot be made: " + folder.string() + " is not writable");
      else
        c.lines.push_back("  no results store yet: the first run makes it");
      return c;
    }
    if (!file.problem.empty()) {
      fault("the store cannot be used: " + file.problem);
      return c;
    }
  }
  if (!db_.open(path_, Database::Mode::ReadOnly, 5000, why)) {
    fault("the store cannot be reached: " + why);
    return c;
  }
  std::string said;
  const std::string problem = markProblem(said);
  if (!problem.empty()) {
    fault(problem);
    close();
    return c;
  }
  c.lines.push_back("  " + said);
  if (!isServer()) {
    if (::access(path_.c_str(), W_OK) != 0) fault("the store's file cannot be written");
    c.lines.push_back("  clock: the store is a file; its times are this computer's clock");
    close();
    return c;
  }
  std::string error;
  const std::vector<std::string> missing =
      detail::MissingPrivileges(db_, detail::Need::Bench, error);
  const std::string role = detail::RoleName(db_);
  if (!error.empty()) {
    fault("the role's privileges cannot be read: " + error);
  } else if (missing.empty()) {
    c.lines.push_back("  role " + role + ": may store runs and close its own");
  } else {
    for (const std::string &m : missing) fault("the role " + role + " lacks " + m);
  }
  Statement now = db_.prepare("SELECT floor(extract(epoch FROM clock_timestamp()))::bigint", error);
  if (now && now.step()) {
    const long long difference = benchNow - now.integer(0);
    if (ClockDiffers(difference))
      fault(ClockDifferenceText(difference));
    else
      c.lines.push_back(rt::format("  clock: within %lld s of the store's",
                                   difference < 0 ? -difference : difference));
  } else {
    fault("the store's clock cannot be read: " + (now ? now.error() : error));
  }
  close();
  return c;
}

}  // namespace history
