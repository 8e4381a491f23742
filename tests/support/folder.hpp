// A folder of the test's own under /tmp, made before each test and removed
// after it with everything in it: the fixture every test that needs files
// builds on.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

class FolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/hexlog-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::string command = "rm -rf '" + dir_ + "'";
    EXPECT_EQ(std::system(command.c_str()), 0);
  }

  std::string path(const std::string& name) const { return dir_ + "/" + name; }

  // Writes a file into the folder, over the one of that name in place, and
  // returns its path. A FIFO of that name is replaced instead: opened for
  // writing, it would wait for a reader.
  std::string file(const std::string& name, const std::string& content) {
    std::string written = path(name);
    struct stat status;
    if (lstat(written.c_str(), &status) == 0 && S_ISFIFO(status.st_mode))
      unlink(written.c_str());
    std::ofstream(written, std::ios::binary) << content;
    return written;
  }

  // Whether a file of that name exists in the folder.
  bool exists(const std::string& name) const { return access(path(name).c_str(), F_OK) == 0; }

  // The names in the folder, as ls sorts them.
  std::vector<std::string> listing() const {
    std::vector<std::string> names;
    std::string command = "ls -A '" + dir_ + "'";
    if (std::FILE* ls = popen(command.c_str(), "r")) {
      char line[4096];
      while (std::fgets(line, sizeof line, ls) != nullptr)
        names.emplace_back(line, std::strcspn(line, "\n"));
      pclose(ls);
    }
    return names;
  }

  std::string dir_;
};
