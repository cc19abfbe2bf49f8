// The store's clock beside the bench's: when the store received a run, and how far the bench's
// clock was from it.
#include <cstdlib>
#include <ctime>
#include <regex>

#include "history/store_internal.h"
#include "rt/format.h"

namespace history {

namespace detail {

std::string UtcText(long long unixSeconds) {
  const time_t t = static_cast<time_t>(unixSeconds);
  struct tm tm {};
  gmtime_r(&t, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

std::string UtcNowText() { return UtcText(static_cast<long long>(std::time(nullptr))); }

std::optional<long long> UnixSeconds(const std::string &iso) {
  // A zone is needed: a time without one says nothing of the clock it was read from.
  static const std::regex kIso(
      "([0-9]{4})-([0-9]{2})-([0-9]{2})T([0-9]{2}):([0-9]{2}):([0-9]{2})(\\.[0-9]+)?"
      "(Z|([+-])([0-9]{2}):?([0-9]{2}))");
  std::smatch m;
  if (!std::regex_match(iso, m, kIso) || !ValidIsoDateTime(iso)) return std::nullopt;
  struct tm tm {};
  tm.tm_year = std::atoi(m[1].str().c_str()) - 1900;
  tm.tm_mon = std::atoi(m[2].str().c_str()) - 1;
  tm.tm_mday = std::atoi(m[3].str().c_str());
  tm.tm_hour = std::atoi(m[4].str().c_str());
  tm.tm_min = std::atoi(m[5].str().c_str());
  tm.tm_sec = std::atoi(m[6].str().c_str());
  long long t = static_cast<long long>(timegm(&tm));
  if (m[8].str() != "Z") {
    const long long offset =
        std::atoll(m[10].str().c_str()) * 3600 + std::atoll(m[11].str().c_str()) * 60;
    t += m[9].str() == "+" ? -offset : offset;
  }
  return t;
}

}  // namespace detail

std::optional<long long> ClockDifference(const RunRow &run) {
  // An imported run reached the store when it was imported, not when it began.
  if (run.origin != "live") return std::nullopt;
  const std::optional<long long> bench = detail::UnixSeconds(run.start);
  const std::optional<long long> store = detail::UnixSeconds(run.storeStart);
  if (!bench || !store) return std::nullopt;
  return *bench - *store;
}

bool ClockDiffers(const RunRow &run) { return ClockDiffers(ClockDifference(run)); }

bool ClockDiffers(std::optional<long long> seconds) {
  return seconds && std::llabs(*seconds) > kClockToleranceSeconds;
}

std::string ClockDifferenceText(long long seconds) {
  const long long a = std::llabs(seconds);
  std::string amount;
  if (a >= 86400)
    amount = rt::format("%lld d %lld h", a / 86400, a % 86400 / 3600);
  else if (a >= 3600)
    amount = rt::format("%lld h %lld min", a / 3600, a % 3600 / 60);
  else if (a >= 60)
    amount = rt::format("%lld min %lld s", a / 60, a % 60);
  else
    amount = rt::format("%lld s", a);
  return rt::format("bench clock %s %s the store's", amount.c_str(),
                    seconds >= 0 ? "ahead of" : "behind");
}

}  // namespace history
