#include "support/expectations.h"

#include <algorithm>
#include <utility>

namespace testenv {

using nlohmann::json;

std::string collapse(const std::string &text) {
  std::string out;
  for (char c : text)
    if (c != ' ' || (!out.empty() && out.back() != ' ')) out += c;
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

bool globMatch(const std::string &pattern, const std::string &text) {
  size_t p = 0, t = 0, star = std::string::npos, mark = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      mark = t;
    } else if (p < pattern.size() && pattern[p] == text[t]) {
      ++p, ++t;
    } else if (star != std::string::npos) {
      p = star + 1;
      t = ++mark;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

Expected readExpected(const json &byStep) {
  Expected e;
  for (auto it = byStep.begin(); it != byStep.end(); ++it)
    for (const json &line : it.value()) e[it.key()].push_back(collapse(line.get<std::string>()));
  return e;
}

std::string compare(const std::vector<json> &record, const Expected &expected,
                    const Undecided &undecided, bool allExpected) {
  std::map<std::string, std::vector<bool>> used;
  for (const auto &[step, lines] : expected) used[step].assign(lines.size(), false);
  std::string out;
  std::vector<std::pair<std::string, std::string>> passed;
  for (const json &r : record) {
    if (r["type"] != "result") continue;
    const std::string step = r["step"], check = collapse(r["check"]);
    if (undecided.count(step)) continue;
    if (r["passed"]) {
      passed.emplace_back(step, check);
      continue;
    }
    bool matched = false;
    const auto e = expected.find(step);
    for (size_t k = 0; e != expected.end() && k < e->second.size() && !matched; ++k)
      if (!used[step][k] && globMatch(e->second[k], check)) matched = used[step][k] = true;
    if (!matched) out += "  fails a line it should pass: [" + step + "] " + check + "\n";
  }
  for (const auto &[step, lines] : expected)
    for (size_t k = 0; k < lines.size() && allExpected; ++k) {
      if (used[step][k]) continue;
      const bool sawPass = std::any_of(passed.begin(), passed.end(), [&](const auto &p) {
        return p.first == step && globMatch(lines[k], p.second);
      });
      out += std::string(sawPass ? "  passes a line it should fail: [" : "  never writes: [") +
             step + "] " + lines[k] + "\n";
    }
  return out;
}

}  // namespace testenv
