// Helpers shared by the tests: paths of the source and build trees, temporary folders.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace testenv {

inline std::string sourceDir() { return TESSOCK_SOURCE_DIR; }
inline std::string binaryDir() { return TESSOCK_BINARY_DIR; }
inline std::string uiDir() { return sourceDir() + "/ui"; }
inline std::string fakeLibrary() { return binaryDir() + "/libfake_quickusb.so"; }
inline std::string simLibrary() { return binaryDir() + "/libquickusb_sim.so"; }

// A fresh temporary folder, removed when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  const std::filesystem::path &path() const { return path_; }
  std::string file(const std::string &name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

// A named pipe that nobody else opens. The code under test must never wait on it: should it
// still hold the program after `seconds`, the guard opens both ends once, which releases a
// reader or a writer blocked on opening it, and `fired()` says so. A test of a pipe thus fails
// instead of hanging. The pipe is made at construction (an existing file is replaced).
class FifoGuard {
 public:
  explicit FifoGuard(const std::string &path, double seconds = 5.0);
  ~FifoGuard();
  FifoGuard(const FifoGuard &) = delete;
  FifoGuard &operator=(const FifoGuard &) = delete;
  const std::string &path() const { return path_; }
  bool fired() const { return fired_; }

 private:
  std::string path_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool done_ = false;
  std::atomic<bool> fired_{false};
  int readEnd_ = -1;
  std::thread watcher_;
};

// An environment variable set for the life of the object, then put back as it was.
class ScopedEnv {
 public:
  ScopedEnv(const char *name, const std::string &value) : name_(name) {
    if (const char *old = std::getenv(name)) old_ = old;
    ::setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (old_)
      ::setenv(name_, old_->c_str(), 1);
    else
      ::unsetenv(name_);
  }
  ScopedEnv(const ScopedEnv &) = delete;
  ScopedEnv &operator=(const ScopedEnv &) = delete;

 private:
  const char *name_;
  std::optional<std::string> old_;
};

std::string readFile(const std::string &path);
void writeFile(const std::string &path, const std::string &content);

}  // namespace testenv
