// Reading the files the operator names (settings, linearity file, panel files, scripts, board
// configurations): only a regular file is read. Opening never blocks, so a named pipe without a
// writer cannot hold the program; a device, a folder or a socket is refused before it is opened,
// so /dev/zero cannot be read without end; and the size is bounded while reading, so a huge
// file is refused before it fills the memory. Every refusal gives its reason in words.
//
// Header-only, standard library and POSIX only: the simulated bench uses it too.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <string>

namespace rt {

// Size limits, far above any real file of each kind.
inline constexpr size_t kSettingsFileLimit = 1u << 20;     // a settings file has 28 short lines
inline constexpr size_t kLinearityFileLimit = 1u << 20;    // 20 data lines and a few comments
inline constexpr size_t kBoardConfigFileLimit = 1u << 20;  // a JSON object of some 60 fields
inline constexpr size_t kPanelFileLimit = 16u << 20;       // the largest panel file is 75 kB
inline constexpr size_t kScriptFileLimit = 16u << 20;      // scripts are a few hundred lines

// "it is a folder", "it is a named pipe (FIFO)", ... for a file that is not a regular file;
// empty for a regular file.
inline std::string notRegularReason(mode_t mode) {
  if (S_ISREG(mode)) return {};
  if (S_ISDIR(mode)) return "it is a folder";
  if (S_ISFIFO(mode)) return "it is a named pipe (FIFO)";
  if (S_ISCHR(mode)) return "it is a character device";
  if (S_ISBLK(mode)) return "it is a block device";
  if (S_ISSOCK(mode)) return "it is a socket";
  return "it is not a regular file";
}

// What a look at `path` (following symbolic links) found.
struct PathCheck {
  bool exists = false;   // false also for a symbolic link whose target is missing
  bool missing = false;  // nothing by that name: it does not exist, or a folder on its way is none
  std::string problem;   // why it is no regular file; empty when it is one
};

// Looks at `path` without opening it: whether it exists, and if so whether it is a regular
// file. For paths handed to code that opens them itself (the dynamic loader, a picture writer).
inline PathCheck checkPath(const std::string &path) {
  PathCheck c;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    const int err = errno;
    c.missing = err == ENOENT || err == ENOTDIR;
    c.problem = std::strerror(err);
    return c;
  }
  c.exists = true;
  c.problem = notRegularReason(st.st_mode);
  return c;
}

// The contents of an input file, or why it was not read.
struct InputFile {
  std::string text;      // the whole file when read; empty otherwise
  std::string problem;   // empty when read
  bool missing = false;  // nothing by that name (or a symbolic link to nothing)
  bool ok() const { return problem.empty(); }
};

// Reads the whole regular file `path` (following symbolic links), at most `limit` bytes.
inline InputFile readInputFile(const std::string &path, size_t limit) {
  InputFile r;
  auto refuse = [&r](std::string why) {
    r.text.clear();
    r.text.shrink_to_fit();
    r.problem = std::move(why);
  };
  if (path.empty()) {
    r.missing = true;
    refuse("no file named");
    return r;
  }
  // A device is refused before it is opened: opening some (a tape, a serial line) already acts.
  PathCheck before = checkPath(path);
  if (!before.exists) {
    r.missing = before.missing;
    refuse(before.problem);
    return r;
  }
  if (!before.problem.empty()) {
    refuse(before.problem);
    return r;
  }
  // O_NONBLOCK: should a named pipe have taken the file's place since, the open returns at once
  // instead of waiting for a writer; what was opened is checked again below.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    refuse(std::strerror(errno));
    return r;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    refuse(std::strerror(errno));
  } else if (std::string why = notRegularReason(st.st_mode); !why.empty()) {
    refuse(why);
  } else {
    const std::string tooLarge = "it is larger than " + std::to_string(limit) + " bytes";
    if (st.st_size > 0 && static_cast<unsigned long long>(st.st_size) > limit) {
      refuse(tooLarge);
    } else {
      r.text.reserve(static_cast<size_t>(st.st_size));
      char buf[65536];
      // The limit is also kept while reading: the file may grow, and some files (under /proc)
      // tell no size.
      for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
          refuse(std::strerror(errno));
          break;
        }
        if (n == 0) break;
        if (static_cast<size_t>(n) > limit - r.text.size()) {
          refuse(tooLarge);
          break;
        }
        r.text.append(buf, static_cast<size_t>(n));
      }
    }
  }
  ::close(fd);
  return r;
}

}  // namespace rt
