// Helpers shared by the tests: paths of the source and build trees, temporary folders.
#pragma once

#include <filesystem>
#include <string>

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

std::string readFile(const std::string &path);
void writeFile(const std::string &path, const std::string &content);

}  // namespace testenv
