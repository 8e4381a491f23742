// Runs the built tool as a user runs it, in a folder of its own per test.
#pragma once

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "folder.hpp"

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

// The parts of `text` between the separators.
inline std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts(1);
  for (char c : text)
    if (c == separator)
      parts.emplace_back();
    else
      parts.back() += c;
  return parts;
}

class ToolTest : public FolderTest {
 protected:
  Result run(std::vector<std::string> args, Stdout mode = Stdout::File) {
    return run(std::move(args), mode, nullptr);
  }

  // As above; `rusage` receives the child's resource use (peak memory).
  Result run(std::vector<std::string> args, Stdout mode, struct rusage* usage) {
    return finish(start(std::move(args), mode), mode, usage);
  }

  // Starts the tool without waiting for it; finish() collects it.
  pid_t start(std::vector<std::string> args, Stdout mode = Stdout::File) {
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
      if (!stdin_.empty())
        dup2(open(stdin_.c_str(), O_RDONLY), 0);
      if (out >= 0)
        dup2(out, 1);
      else
        close(1);
      dup2(err, 2);
      for (int fd = 3; fd < 64; ++fd)
        close(fd);
      for (std::string& setting : env_)
        putenv(setting.data());
      if (inChild_)
        inChild_();
      execv(argv[0], argv.data());
      _exit(127);
    }
    return pid;
  }

  Result finish(pid_t pid, Stdout mode = Stdout::File, struct rusage* usage = nullptr) {
    Result result;
    int status = 0;
    struct rusage ignored;
    wait4(pid, &status, 0, usage != nullptr ? usage : &ignored);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (mode == Stdout::File)
      result.out = slurp(dir_ + "/.stdout");
    result.err = slurp(dir_ + "/.stderr");
    return result;
  }

  // The names in the test's folder, the tool's own .stdout and .stderr left out.
  std::vector<std::string> listing() const {
    std::vector<std::string> names = FolderTest::listing();
    names.erase(std::remove_if(names.begin(), names.end(),
                               [](const std::string& name) { return name == ".stdout" || name == ".stderr"; }),
                names.end());
    return names;
  }

  std::string stdin_;               // a file for the tool's standard input
  std::function<void()> inChild_;   // runs in the child just before exec
  std::vector<std::string> env_;    // NAME=VALUE settings added to the tool's environment
};

