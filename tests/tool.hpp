// Runs the built tool as a user runs it, in a folder of its own per test.
#pragma once

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

enum class Stdout { File, DevFull, Closed };

struct Result {
  int status = -1;
  std::string out;
  std::string err;
};

inline std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

class ToolTest : public ::testing::Test {
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

  // Writes a file into the test's folder and returns its path.
  std::string file(const std::string& name, const std::string& content) {
    std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }

  Result run(std::vector<std::string> args, Stdout mode = Stdout::File) {
    return run(std::move(args), mode, nullptr);
  }

  // As above; `rusage` receives the child's resource use (peak memory).
  Result run(std::vector<std::string> args, Stdout mode, struct rusage* usage) {
    std::string outPath = dir_ + "/.stdout", errPath = dir_ + "/.stderr";
    std::vector<char*> argv;
    std::string program = HEXLOG_BINARY;
    argv.push_back(program.data());
    for (std::string& a : args)
      argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
      int out = -1;
      if (mode == Stdout::File)
        out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      else if (mode == Stdout::DevFull)
        out = open("/dev/full", O_WRONLY);
      int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (out >= 0)
        dup2(out, 1);
      else
        close(1);
      dup2(err, 2);
      execv(argv[0], argv.data());
      _exit(127);
    }
    Result result;
    int status = 0;
    struct rusage ignored;
    wait4(pid, &status, 0, usage != nullptr ? usage : &ignored);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (mode == Stdout::File)
      result.out = slurp(outPath);
    result.err = slurp(errPath);
    return result;
  }

  std::string dir_;
};

