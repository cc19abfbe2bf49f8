#include "sim/config.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>

#include "rt/input_file.h"

namespace sim {
namespace {

using nlohmann::json;

// Thrown by the readers below with the dotted name of the offending field.
struct FieldError {
  std::string field;
  std::string what;
};

[[noreturn]] void fail(const std::string &field, const std::string &what) {
  throw FieldError{field, what};
}

double number(const json &v, const std::string &field, double lo, double hi) {
  if (!v.is_number()) fail(field, "expected a number");
  double d = v.get<double>();
  if (!std::isfinite(d) || d < lo || d > hi) {
    char buf[128];
    std::snprintf(buf, sizeof buf, "expected a number from %g to %g", lo, hi);
    fail(field, buf);
  }
  return d;
}

long long integer(const json &v, const std::string &field, long long lo, long long hi) {
  if (!v.is_number_integer() && !v.is_number_unsigned()) fail(field, "expected an integer");
  if (v.is_number_unsigned() && v.get<unsigned long long>() > static_cast<unsigned long long>(hi))
    fail(field, "expected an integer from " + std::to_string(lo) + " to " + std::to_string(hi));
  long long i = v.get<long long>();
  if (i < lo || i > hi)
    fail(field, "expected an integer from " + std::to_string(lo) + " to " + std::to_string(hi));
  return i;
}

// Integers may also be written as "0x..." strings (identification words, settings).
long long hexOrInteger(const json &v, const std::string &field, long long lo, long long hi) {
  if (v.is_string()) {
    const std::string s = v.get<std::string>();
    if (s.size() < 3 || s.size() > 10 || (s.rfind("0x", 0) != 0 && s.rfind("0X", 0) != 0))
      fail(field, "expected an integer or a \"0x...\" string");
    long long i = 0;
    for (size_t k = 2; k < s.size(); ++k) {
      char c = s[k];
      int d = (c >= '0' && c <= '9')   ? c - '0'
              : (c >= 'a' && c <= 'f') ? c - 'a' + 10
              : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                       : -1;
      if (d < 0) fail(field, "expected an integer or a \"0x...\" string");
      i = i * 16 + d;
    }
    if (i < lo || i > hi) fail(field, "value out of range");
    return i;
  }
  return integer(v, field, lo, hi);
}

bool boolean(const json &v, const std::string &field) {
  if (!v.is_boolean()) fail(field, "expected true or false");
  return v.get<bool>();
}

template <typename T, typename F>
void array8(const json &v, const std::string &field, std::array<T, kChannels> &out, F element) {
  if (!v.is_array() || v.size() != kChannels) fail(field, "expected an array of 8 values");
  std::array<T, kChannels> tmp{};
  for (int i = 0; i < kChannels; ++i)
    tmp[i] = static_cast<T>(element(v[i], field + "[" + std::to_string(i) + "]"));
  out = tmp;
}

// A list of channel numbers 1..8 as a bit mask (bit ch-1).
uint8_t channelList(const json &v, const std::string &field) {
  if (!v.is_array()) fail(field, "expected an array of channel numbers 1..8");
  uint8_t mask = 0;
  for (size_t i = 0; i < v.size(); ++i)
    mask |= static_cast<uint8_t>(
        1u << (integer(v[i], field + "[" + std::to_string(i) + "]", 1, kChannels) - 1));
  return mask;
}

json channelListJson(uint8_t mask) {
  json a = json::array();
  for (int ch = 1; ch <= kChannels; ++ch)
    if (mask & (1u << (ch - 1))) a.push_back(ch);
  return a;
}

using Reader = std::function<void(const json &, const std::string &)>;

// Walks the members of an object, refusing any name that has no reader.
void object(const json &v, const std::string &field, const std::map<std::string, Reader> &readers) {
  if (!v.is_object()) fail(field.empty() ? "(top level)" : field, "expected an object");
  for (auto it = v.begin(); it != v.end(); ++it) {
    const std::string name = field.empty() ? it.key() : field + "." + it.key();
    auto r = readers.find(it.key());
    if (r == readers.end()) fail(name, "unknown field");
    r->second(it.value(), name);
  }
}

// A module name as discovery lists it: 1 to 31 letters, digits, '-' or '_'.
std::string moduleName(const json &x, const std::string &n) {
  if (!x.is_string()) fail(n, "expected a text");
  const std::string s = x.get<std::string>();
  if (s.empty() || s.size() > 31) fail(n, "expected 1 to 31 characters");
  for (char ch : s)
    if (!((ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9') ||
          ch == '-' || ch == '_'))
      fail(n, "letters, digits, '-' and '_' only");
  return s;
}

Reader comparatorReader(Comparator &c) {
  return [&c](const json &v, const std::string &f) {
    object(
        v, f,
        {{"up", [&c](const json &x, const std::string &n) { c.up = number(x, n, 0.0, 5.0); }},
         {"down", [&c](const json &x, const std::string &n) { c.down = number(x, n, 0.0, 5.0); }}});
  };
}

void readAll(const json &root, BoardConfig &c) {
  object(
      root, "",
      {
          {"name",
           [&](const json &v, const std::string &f) {
             if (!v.is_string() || v.get<std::string>().empty() || v.get<std::string>().size() > 64)
               fail(f, "expected a text of 1 to 64 characters");
             c.name = v.get<std::string>();
           }},
          {"description",
           [&](const json &v, const std::string &f) {
             if (!v.is_string()) fail(f, "expected a text");
             c.description = v.get<std::string>();
           }},
          {"expect",
           [&](const json &v, const std::string &f) {
             // What the functional test must give on this board: read by the tests, ignored by
             // the bench.
             if (!v.is_object()) fail(f, "expected an object");
           }},
          {"seed",
           [&](const json &v, const std::string &f) {
             c.seed = static_cast<uint64_t>(integer(v, f, 0, 0x7FFFFFFFFFFFFFFFLL));
           }},
          {"module",
           [&](const json &v, const std::string &f) {
             object(v, f,
                    {{"name", [&](const json &x,
                                  const std::string &n) { c.moduleName = moduleName(x, n); }},
                     {"others",
                      [&](const json &x, const std::string &n) {
                        if (!x.is_array() || x.size() > kMaxOtherModules)
                          fail(n, "expected an array of at most 7 names");
                        c.otherModules.clear();
                        for (size_t k = 0; k < x.size(); ++k)
                          c.otherModules.push_back(
                              moduleName(x[k], n + "[" + std::to_string(k) + "]"));
                      }},
                     {"fpgaType",
                      [&](const json &x, const std::string &n) {
                        c.fpgaType = static_cast<uint16_t>(hexOrInteger(x, n, 0, 0xFFFF));
                      }},
                     {"cpuConfig",
                      [&](const json &x, const std::string &n) {
                        c.cpuConfig = static_cast<uint16_t>(hexOrInteger(x, n, 0, 0xFFFF));
                      }},
                     {"callSeconds",
                      [&](const json &x, const std::string &n) {
                        c.callSeconds = number(x, n, 0.0, 1.0);
                      }},
                     {"bulkBytesPerSecond",
                      [&](const json &x, const std::string &n) {
                        c.bulkBytesPerSecond = number(x, n, 1e3, 1e10);
                      }},
                     {"bulkLatencySeconds",
                      [&](const json &x, const std::string &n) {
                        c.bulkLatencySeconds = number(x, n, 0.0, 1.0);
                      }},
                     {"unplugAfterSeconds", [&](const json &x, const std::string &n) {
                        c.unplugAfterSeconds = number(x, n, 0.0, 1e9);
                      }}});
           }},
          {"board",
           [&](const json &v, const std::string &f) {
             object(v, f,
                    {{"cardNumber",
                      [&](const json &x, const std::string &n) {
                        c.cardNumber = static_cast<uint16_t>(integer(x, n, 0, 0xFFFF));
                      }},
                     {"boxNumber",
                      [&](const json &x, const std::string &n) {
                        c.boxNumber = static_cast<int>(integer(x, n, 0, 7));
                      }},
                     {"jtagId",
                      [&](const json &x, const std::string &n) {
                        c.jtagId = static_cast<uint32_t>(hexOrInteger(x, n, 0, 0xFFFFFFFFLL));
                      }},
                     {"frameWords", [&](const json &x, const std::string &n) {
                        c.frameWords = static_cast<int>(integer(x, n, 18, 64));
                      }}});
           }},
          {"channels",
           [&](const json &v, const std::string &f) {
             object(
                 v, f,
                 {{"offsetCurrentPa",
                   [&](const json &x, const std::string &n) {
                     array8(x, n, c.offsetCurrentPa, [](const json &e, const std::string &en) {
                       return number(e, en, 0.0, 1e6);
                     });
                   }},
                  {"sourceGain",
                   [&](const json &x, const std::string &n) {
                     array8(x, n, c.sourceGain, [](const json &e, const std::string &en) {
                       return number(e, en, 0.0, 10.0);
                     });
                   }},
                  {"adcTop",
                   [&](const json &x, const std::string &n) {
                     array8(x, n, c.adcTop, [](const json &e, const std::string &en) {
                       return integer(e, en, 3400, 4095);
                     });
                   }},
                  {"adcSwing",
                   [&](const json &x, const std::string &n) {
                     c.adcSwing = number(x, n, 3400.0, 4095.0);
                   }},
                  {"adcNoise", [&](const json &x,
                                   const std::string &n) { c.adcNoise = number(x, n, 0.0, 50.0); }},
                  {"initialDac",
                   [&](const json &x, const std::string &n) {
                     array8(x, n, c.initialDac, [](const json &e, const std::string &en) {
                       return integer(e, en, 0, 255);
                     });
                   }},
                  {"dead", [&](const json &x,
                               const std::string &n) { c.deadChannels = channelList(x, n); }},
                  {"levelNeverBack",
                   [&](const json &x, const std::string &n) {
                     c.levelNeverBack = channelList(x, n);
                   }},
                  {"dacStuckAtZero",
                   [&](const json &x, const std::string &n) {
                     c.dacStuckAtZero = channelList(x, n);
                   }},
                  {"dacJump",
                   [&](const json &x, const std::string &n) {
                     object(x, n,
                            {{"channel",
                              [&](const json &y, const std::string &m) {
                                c.dacJumpChannel = static_cast<int>(integer(y, m, 0, kChannels));
                              }},
                             {"atValue",
                              [&](const json &y, const std::string &m) {
                                c.dacJumpAtValue = static_cast<int>(integer(y, m, 0, 254));
                              }},
                             {"by", [&](const json &y, const std::string &m) {
                                c.dacJumpBy = static_cast<int>(integer(y, m, 1, 255));
                              }}});
                   }},
                  {"dacStepSeconds", [&](const json &x, const std::string &n) {
                     c.dacStepSeconds = number(x, n, 0.01, 1e6);
                   }}});
           }},
          {"comparators",
           [&](const json &v, const std::string &f) {
             object(v, f,
                    {{"hvPresent", comparatorReader(c.hvPresent)},
                     {"hvTestCfc", comparatorReader(c.hvTestCfc)},
                     {"hvDacReset", comparatorReader(c.hvDacReset)},
                     {"hvOtrReset", comparatorReader(c.hvOtrReset)}});
           }},
          {"modes",
           [&](const json &v, const std::string &f) {
             object(v, f,
                    {{"entrySeconds",
                      [&](const json &x, const std::string &n) {
                        c.modeEntrySeconds = number(x, n, 0.0, 1e6);
                      }},
                     {"testCurrentPa",
                      [&](const json &x, const std::string &n) {
                        c.testCurrentPa = number(x, n, -1e6, 1e6);
                      }},
                     {"cfcTest",
                      [&](const json &x, const std::string &n) { c.cfcTestMode = boolean(x, n); }},
                     {"otrReset",
                      [&](const json &x, const std::string &n) { c.otrResetMode = boolean(x, n); }},
                     {"dacReset", [&](const json &x, const std::string &n) {
                        c.dacResetMode = boolean(x, n);
                      }}});
           }},
          {"status",
           [&](const json &v, const std::string &f) {
             auto flag = [](bool &b) {
               return [&b](const json &x, const std::string &n) { b = boolean(x, n); };
             };
             auto lineMode = [](LineMode &m) {
               return [&m](const json &x, const std::string &n) {
                 const std::string v = x.is_string() ? x.get<std::string>() : std::string();
                 if (v == "follows")
                   m = LineMode::Follows;
                 else if (v == "stuckOk")
                   m = LineMode::StuckOk;
                 else if (v == "down")
                   m = LineMode::Down;
                 else
                   fail(n, "expected \"follows\", \"stuckOk\" or \"down\"");
               };
             };
             object(v, f,
                    {{"p5vMonitor", flag(c.p5vMonitor)},
                     {"m5vMonitor", flag(c.m5vMonitor)},
                     {"p2v5Monitor", flag(c.p2v5Monitor)},
                     {"temp1", flag(c.temp1)},
                     {"temp2", flag(c.temp2)},
                     {"otr1", flag(c.otr1)},
                     {"otr2", flag(c.otr2)},
                     {"dacOver155", lineMode(c.dacOver155)},
                     {"dacOverflow", lineMode(c.dacOverflow)},
                     {"cfcErrorSeconds", [&](const json &x, const std::string &n) {
                        c.cfcErrorSeconds = number(x, n, 0.001, 1e6);
                      }}});
           }},
          {"fibres",
           [&](const json &v, const std::string &f) {
             auto rate = [](double &d) {
               return [&d](const json &x, const std::string &n) { d = number(x, n, 0.0, 1e6); };
             };
             object(v, f,
                    {{"crcA", rate(c.crcA)},
                     {"crcB", rate(c.crcB)},
                     {"lostA", rate(c.lostA)},
                     {"lostB", rate(c.lostB)},
                     {"errC", rate(c.errC)},
                     {"errD", rate(c.errD)},
                     {"errF", rate(c.errF)}});
           }},
      });
}

const char *lineModeName(LineMode m) {
  switch (m) {
    case LineMode::StuckOk:
      return "stuckOk";
    case LineMode::Down:
      return "down";
    default:
      return "follows";
  }
}

std::string hex(uint32_t v, int digits) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%0*X", digits, v);
  return buf;
}

}  // namespace

bool parseConfig(const std::string &text, const std::string &path, BoardConfig &out,
                 std::string &error) {
  json root = json::parse(text, nullptr, false);
  if (root.is_discarded()) {
    error = path + ": not valid JSON";
    return false;
  }
  BoardConfig c;  // the good board, overlaid by the file
  try {
    readAll(root, c);
  } catch (const FieldError &e) {
    error = path + ": field '" + e.field + "': " + e.what;
    return false;
  }
  for (size_t k = 0; k < c.otherModules.size(); ++k) {
    const std::vector<std::string> &o = c.otherModules;
    if (o[k] == c.moduleName || std::find(o.begin(), o.begin() + k, o[k]) != o.begin() + k) {
      error = path + ": field 'module.others': the module name " + o[k] + " is given twice";
      return false;
    }
  }
  if (c.dacJumpChannel != 0 && c.dacJumpBy == 1) {
    error = path + ": field 'channels.dacJump.by': a jump must advance by more than 1";
    return false;
  }
  out = c;
  return true;
}

bool loadConfig(const std::string &path, BoardConfig &out, std::string &error) {
  const rt::InputFile file = rt::readInputFile(path, rt::kBoardConfigFileLimit);
  if (!file.ok()) {
    error = path + ": cannot be read: " + file.problem;
    return false;
  }
  return parseConfig(file.text, path, out, error);
}

std::string describeConfig(const BoardConfig &c) {
  json j;
  j["name"] = c.name;
  j["description"] = c.description;
  j["seed"] = c.seed;
  j["module"] = {{"name", c.moduleName},
                 {"others", c.otherModules},
                 {"fpgaType", hex(c.fpgaType, 4)},
                 {"cpuConfig", hex(c.cpuConfig, 4)},
                 {"callSeconds", c.callSeconds},
                 {"bulkBytesPerSecond", c.bulkBytesPerSecond},
                 {"bulkLatencySeconds", c.bulkLatencySeconds},
                 {"unplugAfterSeconds", c.unplugAfterSeconds}};
  j["board"] = {{"cardNumber", c.cardNumber},
                {"boxNumber", c.boxNumber},
                {"jtagId", hex(c.jtagId, 8)},
                {"frameWords", c.frameWords}};
  j["channels"] = {
      {"offsetCurrentPa", c.offsetCurrentPa},
      {"sourceGain", c.sourceGain},
      {"adcTop", c.adcTop},
      {"adcSwing", c.adcSwing},
      {"adcNoise", c.adcNoise},
      {"initialDac", c.initialDac},
      {"dead", channelListJson(c.deadChannels)},
      {"levelNeverBack", channelListJson(c.levelNeverBack)},
      {"dacStuckAtZero", channelListJson(c.dacStuckAtZero)},
      {"dacJump",
       {{"channel", c.dacJumpChannel}, {"atValue", c.dacJumpAtValue}, {"by", c.dacJumpBy}}},
      {"dacStepSeconds", c.dacStepSeconds}};
  auto comp = [](const Comparator &k) { return json{{"up", k.up}, {"down", k.down}}; };
  j["comparators"] = {{"hvPresent", comp(c.hvPresent)},
                      {"hvTestCfc", comp(c.hvTestCfc)},
                      {"hvDacReset", comp(c.hvDacReset)},
                      {"hvOtrReset", comp(c.hvOtrReset)}};
  j["modes"] = {{"entrySeconds", c.modeEntrySeconds},
                {"testCurrentPa", c.testCurrentPa},
                {"cfcTest", c.cfcTestMode},
                {"otrReset", c.otrResetMode},
                {"dacReset", c.dacResetMode}};
  j["status"] = {{"p5vMonitor", c.p5vMonitor},
                 {"m5vMonitor", c.m5vMonitor},
                 {"p2v5Monitor", c.p2v5Monitor},
                 {"temp1", c.temp1},
                 {"temp2", c.temp2},
                 {"otr1", c.otr1},
                 {"otr2", c.otr2},
                 {"dacOver155", lineModeName(c.dacOver155)},
                 {"dacOverflow", lineModeName(c.dacOverflow)},
                 {"cfcErrorSeconds", c.cfcErrorSeconds}};
  j["fibres"] = {{"crcA", c.crcA}, {"crcB", c.crcB}, {"lostA", c.lostA}, {"lostB", c.lostB},
                 {"errC", c.errC}, {"errD", c.errD}, {"errF", c.errF}};
  return j.dump(2);
}

}  // namespace sim
