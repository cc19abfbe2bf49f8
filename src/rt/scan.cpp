#include "rt/scan.h"

#include <charconv>

namespace rt {

namespace {

template <class T>
bool scanNumber(std::string_view s, size_t &pos, T &out) {
  size_t p = pos;
  while (p < s.size() && isScanBlank(s[p])) ++p;
  // from_chars takes no leading '+'; scanf does.
  if (p < s.size() && s[p] == '+' && p + 1 < s.size() && s[p + 1] != '-') ++p;
  T v{};
  auto [end, ec] = std::from_chars(s.data() + p, s.data() + s.size(), v);
  if (ec != std::errc()) return false;
  out = v;
  pos = static_cast<size_t>(end - s.data());
  return true;
}

}  // namespace

bool isScanBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

bool scanInt(std::string_view s, size_t &pos, int &out) { return scanNumber(s, pos, out); }
bool scanFloat(std::string_view s, size_t &pos, float &out) { return scanNumber(s, pos, out); }

int scanIntAt(std::string_view text, size_t from) {
  if (from >= text.size()) return 0;
  int v = 0;
  return scanNumber(text, from, v) ? v : 0;
}

}  // namespace rt
