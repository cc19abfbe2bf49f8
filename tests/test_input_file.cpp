// Reading a file the operator names: regular files only, never blocking, never without end, and
// a reason for every refusal.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "rt/input_file.h"
#include "support/test_env.h"

namespace {

namespace fs = std::filesystem;

TEST(InputFile, RegularFilesAndLinksToThemAreReadWhole) {
  testenv::TempDir dir;
  const std::string path = dir.file("a.txt");
  const std::string text = std::string("line 1\n\0binary\r\n", 16) + std::string(100000, 'x');
  testenv::writeFile(path, text);
  rt::InputFile f = rt::readInputFile(path, 1u << 20);
  ASSERT_TRUE(f.ok()) << f.problem;
  EXPECT_EQ(f.text, text);
  fs::create_directory(dir.file("sub"));
  fs::create_symlink("../a.txt", dir.file("sub/link"));
  f = rt::readInputFile(dir.file("sub/link"), 1u << 20);
  ASSERT_TRUE(f.ok()) << f.problem;
  EXPECT_EQ(f.text, text);
  testenv::writeFile(dir.file("empty"), "");
  f = rt::readInputFile(dir.file("empty"), 0);
  EXPECT_TRUE(f.ok()) << f.problem;
  EXPECT_TRUE(f.text.empty());
}

TEST(InputFile, NothingThereIsMissingNotRefused) {
  testenv::TempDir dir;
  testenv::writeFile(dir.file("file"), "x");
  fs::create_symlink(dir.file("gone"), dir.file("dangling"));
  for (const std::string &path : {dir.file("absent"), dir.file("dangling"), dir.file("file/x")}) {
    const rt::InputFile f = rt::readInputFile(path, 100);
    EXPECT_FALSE(f.ok()) << path;
    EXPECT_TRUE(f.missing) << path;
    EXPECT_NE(f.problem, "") << path;
  }
  EXPECT_EQ(rt::readInputFile(dir.file("absent"), 100).problem, "No such file or directory");
  const rt::InputFile none = rt::readInputFile("", 100);
  EXPECT_TRUE(none.missing);
  EXPECT_FALSE(none.ok());
}

TEST(InputFile, PipesDevicesAndFoldersAreRefusedWithoutBeingRead) {
  testenv::TempDir dir;
  testenv::FifoGuard fifo(dir.file("pipe"));
  fs::create_symlink(fifo.path(), dir.file("link-to-pipe"));
  const struct {
    std::string path;
    const char *reason;
  } cases[] = {
      {fifo.path(), "it is a named pipe (FIFO)"},
      {dir.file("link-to-pipe"), "it is a named pipe (FIFO)"},
      {"/dev/zero", "it is a character device"},
      {"/dev/full", "it is a character device"},
      {dir.path().string(), "it is a folder"},
  };
  for (const auto &c : cases) {
    if (!fs::exists(c.path)) continue;
    const rt::InputFile f = rt::readInputFile(c.path, 1u << 30);
    EXPECT_EQ(f.problem, c.reason) << c.path;
    EXPECT_FALSE(f.missing) << c.path;
    EXPECT_TRUE(f.text.empty()) << c.path;
    // The look alone tells the same, for code that opens the file itself.
    const rt::PathCheck look = rt::checkPath(c.path);
    EXPECT_TRUE(look.exists) << c.path;
    EXPECT_EQ(look.problem, c.reason) << c.path;
  }
  EXPECT_FALSE(fifo.fired()) << "a reader waited on the pipe";
  EXPECT_TRUE(rt::checkPath(dir.file("absent")).missing);
  EXPECT_EQ(rt::checkPath("/dev/null").problem, "it is a character device");
}

TEST(InputFile, SizeLimitHoldsBeforeAndWhileReading) {
  testenv::TempDir dir;
  testenv::writeFile(dir.file("ten"), "0123456789");
  EXPECT_TRUE(rt::readInputFile(dir.file("ten"), 10).ok());
  rt::InputFile f = rt::readInputFile(dir.file("ten"), 9);
  EXPECT_EQ(f.problem, "it is larger than 9 bytes");
  EXPECT_TRUE(f.text.empty());
  // Files under /proc tell a size of 0: the limit still stops the read.
  ASSERT_EQ(rt::checkPath("/proc/self/maps").problem, "");
  f = rt::readInputFile("/proc/self/maps", 16);
  EXPECT_EQ(f.problem, "it is larger than 16 bytes");
  EXPECT_TRUE(f.text.empty());
  EXPECT_TRUE(rt::readInputFile("/proc/self/maps", 1u << 24).ok());
}

TEST(InputFile, UnreadableFileGivesTheSystemsReason) {
  if (geteuid() == 0) GTEST_SKIP() << "root reads every file";
  testenv::TempDir dir;
  testenv::writeFile(dir.file("secret"), "x");
  ASSERT_EQ(chmod(dir.file("secret").c_str(), 0), 0);
  const rt::InputFile f = rt::readInputFile(dir.file("secret"), 100);
  EXPECT_EQ(f.problem, "Permission denied");
  EXPECT_FALSE(f.missing);
}

}  // namespace
