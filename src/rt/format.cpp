#include "rt/format.h"

#include <cstdio>
#include <ctime>

namespace rt {

std::string vformat(const char *fmt, va_list ap) {
  std::string out;
  va_list copy;
  va_copy(copy, ap);
  char small[256];
  int n = std::vsnprintf(small, sizeof small, fmt, copy);
  va_end(copy);
  if (n < 0) return out;
  if (static_cast<size_t>(n) < sizeof small) return std::string(small, static_cast<size_t>(n));
  out.resize(static_cast<size_t>(n) + 1);
  std::vsnprintf(out.data(), out.size(), fmt, ap);
  out.resize(static_cast<size_t>(n));
  return out;
}

std::string format(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::string s = vformat(fmt, ap);
  va_end(ap);
  return s;
}

void appendFormat(std::string &out, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  va_list copy;
  va_copy(copy, ap);
  size_t old = out.size();
  size_t room = out.capacity() - old;
  // Try to write into the spare capacity first: no allocation once the string has grown.
  out.resize(out.capacity());
  int n = std::vsnprintf(out.data() + old, room + 1, fmt, copy);
  va_end(copy);
  if (n < 0) {
    out.resize(old);
  } else if (static_cast<size_t>(n) <= room) {
    out.resize(old + static_cast<size_t>(n));
  } else {
    out.resize(old + static_cast<size_t>(n));
    std::vsnprintf(out.data() + old, static_cast<size_t>(n) + 1, fmt, ap);
  }
  va_end(ap);
}

std::string ctimeText(long long unixSeconds) {
  std::time_t t = static_cast<std::time_t>(unixSeconds);
  std::tm tm{};
  if (localtime_r(&t, &tm) == nullptr) return "\n";
  // ctime()'s text, "Www Mmm dd hh:mm:ss yyyy\n", with its English day and month names whatever
  // the locale: reports, records and DAC files are read by tools that expect them.
  static constexpr const char *kDay[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char *kMonth[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                             "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  if (tm.tm_wday < 0 || tm.tm_wday > 6 || tm.tm_mon < 0 || tm.tm_mon > 11) return "\n";
  return format("%s %s %2d %02d:%02d:%02d %d\n", kDay[tm.tm_wday], kMonth[tm.tm_mon], tm.tm_mday,
                tm.tm_hour, tm.tm_min, tm.tm_sec, tm.tm_year + 1900);
}

}  // namespace rt
