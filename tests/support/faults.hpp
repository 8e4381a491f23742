// The tool run with the fault shim (shim.c) preloaded: its calls
// disturbed or failed as a test asks, and logged, so that a test can count
// them and see their order.
#pragma once

#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <random>
#include <thread>

#include "logs.hpp"
#include "tool.hpp"

// One call as the shim logged it:
//
//   812  write  3  /tmp/hexlog-test-Ab12Cd/.hexlog-x7Yq2Z  65536
//   pid  kind   fd path (for a rename "FROM -> TO")        result (-errno if it failed)
struct Call {
  std::string kind;
  int fd = -1;
  std::string path;
  long result = 0;
};

// The output formats, each with the options that ask for it; netCDF, a
// file that cannot go to standard output, where the build has it.
struct Format {
  std::string name;
  std::vector<std::string> options;
  bool fileOnly = false;
};

inline std::vector<Format> formats() {
  std::vector<Format> all = {
      {"plain", {}}, {"verbose", {"-v"}}, {"csv", {"--format=csv"}}, {"nccsv", {"--format=nccsv"}},
      {"html", {"--format=html"}},
      // Ordered through many spilled runs: the temporary file's I/O too.
      {"spilled csv", {"--format=csv", "--order=time", "--sort-memory=4000"}}};
#ifdef HEXLOG_TEST_NETCDF
  all.push_back({"netcdf", {"--format=netcdf"}, true});
#endif
  return all;
}

inline std::string baseName(const std::string& path) {
  return path.substr(path.rfind('/') + 1);
}

inline std::vector<std::string> sorted(std::vector<std::string> names) {
  std::sort(names.begin(), names.end());
  return names;
}

class FaultTest : public ToolTest {
 protected:
  // The environment of the runs that follow: the shim with these settings
  // ("HEXLOG_FAULTS=short,eintr", ...), and a fixed date, so that runs of the
  // archive formats compare byte for byte.
  void faults(const std::vector<std::string>& settings = {}) {
    const char* asan = std::getenv("ASAN_OPTIONS");
    env_ = {"SOURCE_DATE_EPOCH=1800000000", "LD_PRELOAD=" HEXLOG_FAULT_SHIM, "HEXLOG_FAULTS_LOG=" + logPath(),
            // The sanitizer's runtime wants to be first; the shim must be, to see the calls.
            // A crash inside the netCDF library after an injected fault is the case under
            // test: the tool's handling of it counts, not the sanitizer's report of it.
            "ASAN_OPTIONS=" + (asan != nullptr ? std::string(asan) + ":" : std::string()) +
                "verify_asan_link_order=0:handle_segv=0:handle_sigbus=0:handle_abort=0"};
    env_.insert(env_.end(), settings.begin(), settings.end());
    unlink(logPath().c_str());
  }

  std::string logPath() { return dir_ + "/.faults"; }

  // The calls of the runs since faults() was last called; of one kind when asked.
  std::vector<Call> calls(const std::string& kind = "") {
    std::vector<Call> found;
    std::ifstream log(logPath());
    EXPECT_TRUE(log.is_open()) << "the shim logged nothing: is it preloaded?";
    for (std::string line; std::getline(log, line);) {
      std::vector<std::string> fields = split(line, '\t');
      if (fields.size() == 5 && (kind.empty() || fields[1] == kind))
        found.push_back({fields[1], std::stoi(fields[2]), fields[3], std::stol(fields[4])});
    }
    return found;
  }

  // The names in the test's folder, the shim's log left out, sorted. A
  // temporary file found is removed then, so that the next run is judged alone.
  std::vector<std::string> leftovers() {
    std::vector<std::string> names = listing();
    names.erase(std::remove(names.begin(), names.end(), ".faults"), names.end());
    for (const std::string& name : names)
      if (name.rfind(".hexlog-", 0) == 0)
        unlink((dir_ + "/" + name).c_str());
    return sorted(names);
  }

  // The test's folder as the kernel names it, as the shim's paths do.
  std::string realDir() {
    char real[PATH_MAX];
    return realpath(dir_.c_str(), real) != nullptr ? real : dir_;
  }

  // Whether the tool has ended, leaving it to finish() to collect.
  static bool ended(pid_t pid) {
    siginfo_t info = {};
    return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid;
  }

  // finish(), but a tool still running after a minute is killed and fails
  // the test: a guard against hanging, no timing.
  Result finishWithin(pid_t pid) {
    auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!ended(pid) && std::chrono::steady_clock::now() < giveUp)
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    if (!ended(pid)) {
      ADD_FAILURE() << "the tool hangs";
      kill(pid, SIGKILL);
    }
    return finish(pid);
  }

  // A run with `content` arriving on standard input through a pipe, from a
  // process of its own (which a tool that stops reading may kill by SIGPIPE).
  Result runPiped(std::vector<std::string> args, const std::string& content) {
    std::string fifo = dir_ + "/.stdin";
    unlink(fifo.c_str());
    EXPECT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    pid_t writer = fork();
    if (writer == 0) {
      int fd = open(fifo.c_str(), O_WRONLY);
      for (size_t done = 0; fd >= 0 && done < content.size();) {
        ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n <= 0)
          _exit(1);
        done += static_cast<size_t>(n);
      }
      _exit(0);
    }
    stdin_ = fifo;
    Result result = finishWithin(start(std::move(args)));
    stdin_.clear();
    close(open(fifo.c_str(), O_RDONLY | O_NONBLOCK));  // frees a writer whose reader never came
    waitpid(writer, nullptr, 0);
    unlink(fifo.c_str());
    return result;
  }
};
