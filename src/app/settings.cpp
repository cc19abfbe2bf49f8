#include "app/settings.h"

#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <istream>
#include <system_error>

#include "app/bench.h"
#include "rt/format.h"
#include "rt/input_file.h"
#include "rt/scan.h"

namespace app {

namespace {

constexpr const char *kDataType = "[DataType]";
constexpr const char *kSelFiber = "[SelFiber]";
constexpr const char *kSingleValue = "[SingleValue]";
constexpr const char *kFileSaveMultipleRun = "[FileSaveMultipleRun]";
constexpr const char *kCalibrationFile = "[CalibrationFile]";
constexpr const char *kModulationDivider = "[ModulationDivider]";
constexpr const char *kModulationMultiplication = "[ModulationMultiplication]";
constexpr const char *kModulationOffset = "[ModulationOffset]";
constexpr const char *kVoltageTestCFC = "[VoltageTestCFC]";
constexpr const char *kCurrentSet = "[CurrentSet]";
constexpr const char *kUnattended = "[Unattended]";

using rt::scanInt;

std::optional<int> scanOne(const std::optional<std::string> &line) {
  if (!line) return std::nullopt;
  size_t pos = 0;
  int v = 0;
  if (!scanInt(*line, pos, v)) return std::nullopt;
  return v;
}

// Reads a line without its line end ("\n" or "\r\n"); nothing at the end of the file.
std::optional<std::string> readLine(std::istream &in) {
  std::string line;
  if (!std::getline(in, line)) return std::nullopt;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

std::string valueLine(int v) { return rt::format("%d \n", v); }
int unsigned16(int v) { return v & 0xFFFF; }

}  // namespace

std::string FormatSettings(const UiSettings &s) {
  std::string out;
  out.reserve(512);
  auto section = [&](const char *header, const std::string &value) {
    out += header;
    out += '\n';
    out += value;
  };
  section(kDataType, valueLine(s.ReadOutMode));
  section(kSelFiber, valueLine(s.FiberSelect));
  section(kSingleValue, valueLine(s.SingleValueSelect));
  section(kFileSaveMultipleRun, valueLine(s.MultipleRunSave));
  std::string name = s.LinearityFile.substr(0, s.LinearityFile.find_first_of("\r\n"));
  section(kCalibrationFile, name + '\n');
  section(kModulationDivider, valueLine(unsigned16(s.ModulationDivider)));
  section(kModulationMultiplication, valueLine(unsigned16(s.ModulationMultiplication)));
  section(kModulationOffset, valueLine(unsigned16(s.ModulationOffset)));
  section(kVoltageTestCFC, valueLine(unsigned16(s.TestCfcVoltage)));
  section(kCurrentSet, valueLine(s.LinkSources));
  for (const SourceSettings &ch : s.Sources)
    out += rt::format("%d  %d  %d  %d \n", unsigned16(ch.SourceValue), ch.SourceSelA, ch.SourceSelB,
                      ch.SourceOn);
  if (s.Unattended) {
    const auto &u = *s.Unattended;
    section(kUnattended, rt::format("%g %g %g \n", u[0], u[1], u[2]));
  }
  return out;
}

SettingsFound ParseSettings(std::istream &in) {
  SettingsFound f;
  std::string buf;
  // Reads the next line into the buffer; at the end of the file the buffer is left empty.
  auto next = [&]() {
    std::optional<std::string> line = readLine(in);
    buf = line.value_or(std::string());
    return line;
  };
  // Reads a value line "%d"; a line that does not convert leaves the value as it was.
  auto readNumber = [&](std::optional<int> &field) {
    if (std::optional<int> v = scanOne(next())) field = v;
  };
  for (int pass = 0; pass < kSettingsReadPasses; ++pass) {
    f.passes = pass + 1;
    next();
    // The headers are compared in this order with the buffer as it stands: after a section is
    // read the buffer holds its last value line.
    if (buf == kDataType) readNumber(f.ReadOutMode);
    if (buf == kSelFiber) readNumber(f.FiberSelect);
    if (buf == kSingleValue) readNumber(f.SingleValueSelect);
    if (buf == kFileSaveMultipleRun) readNumber(f.MultipleRunSave);
    if (buf == kCalibrationFile) {
      if (std::optional<std::string> line = next()) f.LinearityFile = *line;
    }
    if (buf == kModulationDivider) readNumber(f.ModulationDivider);
    if (buf == kModulationMultiplication) readNumber(f.ModulationMultiplication);
    if (buf == kModulationOffset) readNumber(f.ModulationOffset);
    if (buf == kVoltageTestCFC) readNumber(f.TestCfcVoltage);
    if (buf == kCurrentSet) {
      readNumber(f.LinkSources);
      for (auto &channel : f.Sources) {
        std::optional<std::string> line = next();
        if (!line) continue;
        // "%d  %d  %d  %d": the numbers up to the first that does not convert are taken.
        size_t pos = 0;
        for (std::optional<int> &field : channel) {
          int v = 0;
          if (!scanInt(*line, pos, v)) break;
          field = v;
        }
      }
    }
    if (buf == kUnattended) {
      if (std::optional<std::string> line = next()) {
        std::array<double, 3> u{};
        const char *p = line->c_str();
        bool ok = true;
        for (double &v : u) {
          char *end = nullptr;
          v = std::strtod(p, &end);
          ok = ok && end != p && v > 0.0 && v <= 1e7;
          p = end;
        }
        if (ok) f.Unattended = u;
      }
    }
    if (buf == kSettingsEndMarker) {
      f.endMarker = true;
      break;
    }
  }
  return f;
}

std::string ReplaceRegularFile(const std::string &path, const std::string &content) {
  namespace fs = std::filesystem;
  std::error_code ec;
  // A symbolic link stays a link: the file it leads to is the one written, in its own folder.
  fs::path target = path;
  for (int hops = 0; fs::is_symlink(target, ec); ++hops) {
    if (hops == 40) return std::strerror(ELOOP);
    fs::path next = fs::read_symlink(target, ec);
    if (ec) return ec.message();
    target = next.is_absolute() ? next : target.parent_path() / next;
  }
  fs::path folder = target.parent_path();
  if (!folder.empty() && !fs::exists(folder, ec)) {
    fs::create_directories(folder, ec);
    if (ec) return "cannot create the folder " + folder.string() + ": " + ec.message();
  }
  // Only a regular file is replaced: a folder, a device or a named pipe under the settings
  // file's name is left as it is.
  const rt::PathCheck existing = rt::checkPath(target.string());
  if (existing.exists && !existing.problem.empty()) return existing.problem;
  // A settings file the operator made read-only stays as it is.
  if (existing.exists && access(target.c_str(), W_OK) != 0) return std::strerror(errno);
  // The settings go to a file beside the old one, which then takes its place: a program killed
  // while writing leaves the previous settings whole, never a file cut short. Whatever is left
  // under that name goes first, so the new file is always one of our own (never a link or a
  // pipe someone put there).
  const std::string fresh = target.string() + ".new";
  if (std::remove(fresh.c_str()) != 0 && errno != ENOENT) return std::strerror(errno);
  errno = 0;
  const int fd = ::open(fresh.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return std::strerror(errno);
  std::FILE *f = fdopen(fd, "w");
  if (!f) {
    const int err = errno;
    ::close(fd);
    std::remove(fresh.c_str());
    return std::strerror(err);
  }
  size_t written = std::fwrite(content.data(), 1, content.size(), f);
  int writeErr = written == content.size() ? 0 : errno;
  // On the disk before it takes the old file's place: a crash leaves the old or the new whole.
  if (writeErr == 0 && (std::fflush(f) != 0 || ::fsync(fileno(f)) != 0)) writeErr = errno;
  int closed = std::fclose(f);
  std::string problem;
  if (writeErr != 0 || written != content.size())
    problem = writeErr ? std::strerror(writeErr) : "write failed";
  else if (closed != 0)
    problem = std::strerror(errno);
  else if (std::rename(fresh.c_str(), target.c_str()) != 0)
    problem = std::strerror(errno);
  if (!problem.empty()) std::remove(fresh.c_str());
  return problem;
}

std::string defaultSettingsPath() {
  const std::string tail = "/tessock/Corvath.ini";
  const char *xdg = std::getenv("XDG_CONFIG_HOME");
  // Only an absolute XDG_CONFIG_HOME counts; a relative one is ignored.
  if (xdg && xdg[0] == '/') return std::string(xdg) + tail;
  const char *home = std::getenv("HOME");
  std::string homeDir = home && home[0] ? home : "";
  if (homeDir.empty()) {
    if (const passwd *pw = getpwuid(getuid()); pw && pw->pw_dir) homeDir = pw->pw_dir;
  }
  if (homeDir.empty()) homeDir = ".";
  return homeDir + "/.config" + tail;
}

}  // namespace app
