#include "support/test_env.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace testenv {

TempDir::TempDir() {
  std::random_device rd;
  auto base = std::filesystem::temp_directory_path();
  for (;;) {
    path_ = base / ("tessock-test-" + std::to_string(rd()));
    if (std::filesystem::create_directory(path_)) break;
  }
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

FifoGuard::FifoGuard(const std::string &path, double seconds) : path_(path) {
  std::remove(path.c_str());
  if (mkfifo(path.c_str(), 0600) != 0) throw std::runtime_error("mkfifo " + path);
  watcher_ = std::thread([this, seconds] {
    std::unique_lock<std::mutex> lock(mutex_);
    if (wake_.wait_for(lock, std::chrono::duration<double>(seconds), [this] { return done_; }))
      return;
    fired_ = true;
    // A reading end releases a writer blocked in open; it stays open until the end, so that
    // the writer is never killed by a broken pipe. A writing end, opened and closed, releases a
    // reader blocked in open, which then reads an empty file.
    readEnd_ = ::open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    const int writeEnd = ::open(path_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (writeEnd >= 0) ::close(writeEnd);
  });
}

FifoGuard::~FifoGuard() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    done_ = true;
  }
  wake_.notify_all();
  watcher_.join();
  if (readEnd_ >= 0) ::close(readEnd_);
}

std::string readFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void writeFile(const std::string &path, const std::string &content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

}  // namespace testenv
