// Replays inputs through a fuzz target without libFuzzer: each argument is a file or a folder
// of files (taken in name order). The empty input always runs first. Used by the GCC build, so
// that CTest runs every target over its seed corpus; a crash or a sanitizer report fails it.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int *argc, char ***argv);

namespace fs = std::filesystem;

namespace {

bool runFile(const fs::path &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "replay: cannot read %s\n", path.c_str());
    return false;
  }
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // A copy of exactly the input's size, so that the sanitizers see a read past its end.
  std::vector<uint8_t> data(bytes.begin(), bytes.end());
  LLVMFuzzerTestOneInput(data.empty() ? nullptr : data.data(), data.size());
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FILE|FOLDER...\n", argv[0]);
    return 2;
  }
  LLVMFuzzerTestOneInput(nullptr, 0);
  size_t count = 1;
  for (int i = 1; i < argc; ++i) {
    fs::path arg = argv[i];
    std::error_code ec;
    if (fs::is_directory(arg, ec)) {
      std::vector<fs::path> files;
      for (const auto &e : fs::directory_iterator(arg, ec))
        if (e.is_regular_file()) files.push_back(e.path());
      if (ec) {
        std::fprintf(stderr, "replay: cannot list %s\n", arg.c_str());
        return 1;
      }
      std::sort(files.begin(), files.end());
      for (const auto &f : files) {
        if (!runFile(f)) return 1;
        ++count;
      }
    } else if (fs::is_regular_file(arg, ec)) {
      if (!runFile(arg)) return 1;
      ++count;
    } else {
      std::fprintf(stderr, "replay: no such file or folder %s\n", arg.c_str());
      return 1;
    }
  }
  std::printf("%zu inputs replayed\n", count);
  return 0;
}
