// Every way a run can end, forced through the fault shim: calls that come up
// short or are interrupted, writes that fail for good, signals. Whatever
// happens, the status tells the truth, a message says what, and --output
// leaves its file either as it was or complete, with no temporary file.
#include <csignal>
#include <cstring>

#include "faults.hpp"

namespace {

using Faults = FaultTest;

const std::string kOld = "precious\n";

// The options of a run of `format` on `input`, into `output` when not empty.
std::vector<std::string> command(const Format& format, const std::string& output, const std::string& input) {
  std::vector<std::string> args = format.options;
  if (!output.empty())
    args.push_back("--output=" + output);
  args.push_back(input);
  return args;
}

size_t lines(const std::string& text) {
  return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

TEST_F(Faults, ShortAndInterruptedCallsChangeNoByte) {
  std::string content = stationLog(300);
  std::string log = file("a.log", content);
  std::string out = dir_ + "/out";
  for (const Format& format : formats()) {
    for (bool piped : {false, true}) {
      for (bool toFile : {false, true}) {
        // A format that needs a file goes to standard output by its name,
        // made aside and copied through the descriptor.
        std::string target = toFile ? out : format.fileOnly ? "/dev/stdout" : "";
        std::vector<std::string> args = command(format, target, piped ? "-" : log);
        std::string where = format.name + (piped ? " from a pipe" : " from a file") + (toFile ? " to --output" : "");
        auto bytes = [&](const Result& r) { return toFile ? slurp(out) : r.out; };
        faults();
        Result calm = piped ? runPiped(args, content) : run(args);
        std::string expected = bytes(calm);
        faults({"HEXLOG_FAULTS=short,eintr"});
        Result r = piped ? runPiped(args, content) : run(args);
        EXPECT_EQ(calm.status, 0) << where << calm.err;
        EXPECT_EQ(r.status, 0) << where << r.err;
        EXPECT_EQ(r.err, "") << where;
        EXPECT_GT(expected.size(), 1000u) << where;
        EXPECT_TRUE(bytes(r) == expected) << where << ": " << bytes(r).size() << " bytes, not " << expected.size();
        std::vector<Call> made = calls();
        auto count = [&](long least, long most) {
          return std::count_if(made.begin(), made.end(),
                               [&](const Call& c) { return c.result >= least && c.result <= most; });
        };
        EXPECT_TRUE(count(-EINTR, -EINTR) > 0 && count(1, 7) > 0) << where << ": the shim disturbed nothing";
      }
    }
  }
}

// Each write of a run in turn fails for good, ENOSPC and EIO by turns: what
// was written before it stays, and nothing after it claims success.
class WriteFailures : public FaultTest {
 protected:
  void failEachWrite(bool toFile) {
    std::string log = file("a.log", stationLog(400));
    std::string out = dir_ + "/out";
    for (const Format& format : formats()) {
      if (format.fileOnly)
        continue;
      std::vector<std::string> args = command(format, toFile ? out : "", log);
      faults();
      Result calm = run(args);
      ASSERT_EQ(calm.status, 0) << calm.err;
      std::vector<Call> writes = calls("write");
      ASSERT_GE(writes.size(), 2u) << format.name << ": too few writes to fail in turn";
      size_t before = 0;  // the bytes standard output holds before write n
      for (size_t n = 1; n <= writes.size(); ++n) {
        int error = n % 2 != 0 ? ENOSPC : EIO;
        std::string where = format.name + ", write " + std::to_string(n);
        if (toFile)
          file("out", kOld);
        faults({"HEXLOG_FAULTS_FAIL=write:" + std::to_string(n) + ":" + (error == ENOSPC ? "ENOSPC" : "EIO")});
        Result r = run(args);
        EXPECT_EQ(r.status, 1) << where;
        std::string reason = std::strerror(error);
        EXPECT_EQ(r.err, "hexlog: write error: " + (toFile ? out + ": " : "") + reason + "\n") << where;
        if (toFile) {
          EXPECT_EQ(slurp(out), kOld) << where;
          EXPECT_EQ(leftovers(), (std::vector<std::string>{"a.log", "out"})) << where;
        } else {
          EXPECT_TRUE(r.out == calm.out.substr(0, before)) << where << ": " << r.out.size() << " bytes, not " << before;
        }
        if (writes[n - 1].fd == 1)
          before += static_cast<size_t>(writes[n - 1].result);
      }
    }
  }
};

TEST_F(WriteFailures, StandardOutputKeepsWhatWasWrittenBefore) {
  failEachWrite(false);
}

TEST_F(WriteFailures, AnOutputFileStaysAsItWas) {
  failEachWrite(true);
}

#ifdef HEXLOG_TEST_NETCDF

// The library writes the file itself: each of its writes in turn fails, and
// the run still ends as any failed run must, the file named by its own name.
TEST_F(Faults, ANetcdfWriteThatFailsForGoodFailsTheRun) {
  std::string log = file("a.log", stationLog(20000));
  std::string out = dir_ + "/out.nc";
  std::vector<std::string> args = {"--format=netcdf", "--output=" + out, log};
  faults();
  ASSERT_EQ(run(args).status, 0);
  size_t tried = 0;
  for (const char* kind : {"pwrite", "write"}) {
    size_t count = calls(kind).size();
    for (size_t n = 1; n <= count; ++n, ++tried) {
      const char* error = n % 2 != 0 ? "ENOSPC" : "EIO";
      std::string where = std::string(kind) + " " + std::to_string(n) + " of " + std::to_string(count) + ", " + error;
      file("out.nc", kOld);
      faults({"HEXLOG_FAULTS_FAIL=" + std::string(kind) + ":" + std::to_string(n) + ":" + error});
      Result r = run(args);
      EXPECT_EQ(r.status, 1) << where << r.err;
      // The operating system's reason, in one line, whatever the library said or did.
      std::string said = "hexlog: write error: " + out + ": " + std::strerror(n % 2 != 0 ? ENOSPC : EIO);
      EXPECT_EQ(r.err.substr(0, said.size()), said) << where << ": " << r.err;
      EXPECT_TRUE(r.err.size() == said.size() + 1 || r.err.substr(said.size(), 2) == " (") << where << ": " << r.err;
      EXPECT_EQ(lines(r.err), 1u) << where << ": " << r.err;
      EXPECT_EQ(slurp(out), kOld) << where;
      EXPECT_EQ(leftovers(), (std::vector<std::string>{"a.log", "out.nc"})) << where;
    }
  }
  EXPECT_GT(tried, 10u);
}

#endif

// ---- Signals -------------------------------------------------------------------

// Ordering that cannot spill (a full disk under $TMPDIR) or read back fails
// the run before a row is written, and leaves nothing in $TMPDIR. The log
// twice, from a pipe (so that every pread is the spill's): its second time
// is out of order.
TEST_F(Faults, AFailedSpillFailsTheRunAndLeavesNothing) {
  std::string log = stationLog(300);
  ASSERT_EQ(mkdir((dir_ + "/tmp").c_str(), 0700), 0);
  // A write that does nothing is a failure too, with a reason of its own.
  for (const char* failing : {"pwrite:1:ENOSPC", "pread:2:EIO", "pwrite:1:NOTHING"}) {
    faults({std::string("HEXLOG_FAULTS_FAIL=") + failing, "TMPDIR=" + dir_ + "/tmp"});
    Result r = runPiped({"--format=csv", "--order=time", "--sort-memory=4000", "-"}, log + log);
    EXPECT_EQ(r.status, 1) << failing;
    EXPECT_LE(lines(r.out), 1u) << failing;  // the header, flushed before the pipe was waited on
    EXPECT_EQ(r.err, "hexlog: a temporary file in " + dir_ + "/tmp: " +
                         std::strerror(std::strstr(failing, "ENOSPC") != nullptr ? ENOSPC : EIO) + "\n");
    EXPECT_EQ(std::system(("test -z \"$(ls -A '" + dir_ + "/tmp')\"").c_str()), 0) << failing;
  }
}

// Memory that runs out anywhere (the address space limited from a few MiB
// up): the run succeeds, smaller batches doing, or fails with one line and
// status 1; never a crash, never a temporary file, FILE old or complete.
TEST_F(Faults, MemoryThatRunsOutEndsTheRunWithAWord) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "a sanitizer's runtime needs more address space than any limit here";
#else
  std::string content = stationLog(3000);
  std::string log = file("a.log", content + content);  // the second half out of order
  std::string out = dir_ + "/out";
  faults();
  for (const Format& format : formats()) {
    std::vector<std::string> args = command(format, out, log);
    ASSERT_EQ(run(args).status, 0) << format.name;
    std::string whole = slurp(out);
    int failed = 0;
    for (rlim_t mib = 6; mib <= 80; mib += 2) {
      std::string where = format.name + " in " + std::to_string(mib) + " MiB";
      file("out", kOld);
      inChild_ = [mib] {
        struct rlimit limit = {mib << 20, mib << 20};
        setrlimit(RLIMIT_AS, &limit);
      };
      Result r = run(args);
      inChild_ = nullptr;
      if (r.status == 127 && r.err.find("error while loading shared libraries") != std::string::npos) {
        ++failed;  // too little even to load the tool: it never ran
        continue;
      }
      EXPECT_TRUE(r.status == 0 || r.status == 1) << where << ": status " << r.status;
      if (r.status == 0) {
        EXPECT_TRUE(slurp(out) == whole) << where;
      } else {
        ++failed;
        EXPECT_EQ(lines(r.err), 1u) << where << ": " << r.err;
        EXPECT_EQ(slurp(out), kOld) << where;
      }
      EXPECT_EQ(leftovers(), (std::vector<std::string>{"a.log", "out"})) << where;
    }
    EXPECT_GT(failed, 0) << format.name << ": no limit was tight enough to matter";
  }
#endif
}

TEST_F(Faults, TheFileSizeLimitIsAWriteErrorNotADeath) {
  std::string log = file("a.log", stationLog(20000));
  std::string out = dir_ + "/out";
  inChild_ = [] {
    std::signal(SIGXFSZ, SIG_DFL);  // as a shell leaves it
    struct rlimit limit = {200000, 200000};
    setrlimit(RLIMIT_FSIZE, &limit);
  };
  for (const Format& format : formats()) {
    if (format.name != "plain" && format.name != "netcdf")
      continue;
    file("out", kOld);
    faults();
    Result r = run(command(format, out, log));
    EXPECT_EQ(r.status, 1) << format.name;
    EXPECT_EQ(r.err.rfind("hexlog: write error: " + out + ": ", 0), 0u) << format.name << ": " << r.err;
    EXPECT_EQ(slurp(out), kOld) << format.name;
    EXPECT_EQ(leftovers(), (std::vector<std::string>{"a.log", "out"})) << format.name;
  }
}

// Standard error a pipe nobody reads: a message that cannot be written
// changes neither the status nor what happens to the file.
TEST_F(Faults, ALostStandardErrorLeavesTheStatusTrue) {
  std::string log = file("a.log", stationLog(20));
  std::string cut =
      file("cut.log", stationLog(3) + recordLine(1, std::vector<uint32_t>(33, 0x11111111)));
  std::string out = file("out", kOld);
  faults();
  std::string csv = run({"--format=csv", cut}).out;
  inChild_ = [] {
    int ends[2];
    if (pipe(ends) != 0)
      _exit(126);
    close(ends[0]);
    dup2(ends[1], 2);
    std::signal(SIGPIPE, SIG_DFL);
  };
  Result r = run({"--output=" + out, log, dir_ + "/missing.log"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(slurp(out), kOld);
  EXPECT_EQ(leftovers(), (std::vector<std::string>{"a.log", "cut.log", "out"}));
  r = run({"--format=csv", "--output=" + out, cut});  // says on standard error that a record was cut
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(slurp(out), csv);
  EXPECT_EQ(leftovers(), (std::vector<std::string>{"a.log", "cut.log", "out"}));
}

// The spill file never has a name in $TMPDIR, while the run goes on or
// after, also where O_TMPFILE is missing (a name made, then unlinked at
// once); an empty TMPDIR is no folder but /tmp.
TEST_F(Faults, TheSpillFileNeverHasANameInTmpdir) {
  std::string log = stationLog(400);
  std::string tmp = dir_ + "/tmp";
  ASSERT_EQ(mkdir(tmp.c_str(), 0700), 0);
  std::vector<std::string> args = {"--format=csv", "--order=time", "--sort-memory=4000", dir_ + "/in"};
  faults();
  std::string expected = runPiped({"--format=csv", "--order=time", "-"}, log + log).out;
  for (bool tmpfile : {true, false}) {
    faults({"TMPDIR=" + tmp, tmpfile ? "HEXLOG_FAULTS_SEED=1" : "HEXLOG_FAULTS_NO_TMPFILE=1"});
    ASSERT_EQ(mkfifo(args.back().c_str(), 0600), 0);
    pid_t pid = start(args);
    int in = open(args.back().c_str(), O_WRONLY);
    ASSERT_EQ(write(in, log.data(), log.size()), static_cast<ssize_t>(log.size()));
    // Once the tool writes to its spill file, while it waits for the rest.
    auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    auto spilled = [&] {
      std::vector<Call> writes = calls("pwrite");
      return std::any_of(writes.begin(), writes.end(), [&](const Call& c) { return c.path.rfind(tmp, 0) == 0; });
    };
    while (!spilled() && std::chrono::steady_clock::now() < giveUp)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_TRUE(spilled()) << tmpfile;
    EXPECT_EQ(std::system(("test -z \"$(ls -A '" + tmp + "')\"").c_str()), 0) << "while it runs, " << tmpfile;
    ASSERT_EQ(write(in, log.data(), log.size()), static_cast<ssize_t>(log.size()));
    close(in);
    Result r = finishWithin(pid);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.out == expected) << tmpfile;
    EXPECT_EQ(std::system(("test -z \"$(ls -A '" + tmp + "')\"").c_str()), 0) << "after, " << tmpfile;
    unlink(args.back().c_str());
  }
  faults({"TMPDIR="});
  EXPECT_TRUE(runPiped({"--format=csv", "--order=time", "--sort-memory=4000", "-"}, log + log).out == expected);
}

// SIGTERM just before the file takes its name kills the run, the old file
// kept; just after, the new file is in place, so the run has succeeded.
class Termination : public FaultTest {
 protected:
  void SetUp() override {
    FaultTest::SetUp();
    log_ = file("a.log", stationLog(20));
    out_ = dir_ + "/out";
    file("out", kOld);
    faults();
    decoded_ = run({log_}).out;
  }
  Result runTerminated(const char* when) {
    faults({std::string("HEXLOG_FAULTS_RENAME=SIGTERM:") + when});
    return run({"--output=" + out_, log_});
  }
  std::string log_, out_, decoded_;
};

TEST_F(Termination, JustBeforeTheRenameKeepsTheOldFile) {
  EXPECT_EQ(runTerminated("before").status, 128 + SIGTERM);
  EXPECT_EQ(slurp(out_), kOld);
  EXPECT_EQ(leftovers(), (std::vector<std::string>{"a.log", "out"}));
}

TEST_F(Termination, JustAfterTheRenameIsASuccess) {
  EXPECT_EQ(runTerminated("after").status, 0);
  EXPECT_EQ(slurp(out_), decoded_);
  EXPECT_EQ(leftovers(), (std::vector<std::string>{"a.log", "out"}));
}

#ifdef HEXLOG_TEST_NETCDF
// A signal to the tool ends the netCDF writer it forked as well: nothing
// writes on, and nothing is left.
TEST_F(Termination, ASignalEndsTheNetcdfWriterToo) {
  std::string fifo = dir_ + "/in";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  pid_t pid = start({"--format=netcdf", "--output=" + out_, fifo});
  int in = open(fifo.c_str(), O_WRONLY);  // opened by the writer, which then waits for input
  std::string some = stationLog(50);
  ASSERT_EQ(write(in, some.data(), some.size()), static_cast<ssize_t>(some.size()));
  // The writer: the child of the tool that holds the FIFO open.
  pid_t writer = 0;
  auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (writer == 0 && std::chrono::steady_clock::now() < giveUp) {
    std::ifstream children("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
    children >> writer;
    if (writer == 0)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_NE(writer, 0) << "no netCDF writer";
  kill(pid, SIGTERM);
  EXPECT_EQ(finishWithin(pid).status, 128 + SIGTERM);
  // Gone: no process, or only what is left of one until it is reaped.
  auto gone = [writer] {
    std::ifstream stat("/proc/" + std::to_string(writer) + "/stat");
    std::string pidText, name, state;
    return !(stat >> pidText >> name >> state) || state == "Z" || state == "X";
  };
  while (!gone() && std::chrono::steady_clock::now() < giveUp)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_TRUE(gone()) << "the netCDF writer " << writer << " goes on";
  close(in);
  unlink(fifo.c_str());
  EXPECT_EQ(slurp(out_), kOld);
  EXPECT_EQ(leftovers(), (std::vector<std::string>{"a.log", "out"}));
}
#endif

// Started under nohup, the run ignores SIGTERM as it was asked to.
TEST_F(Termination, IgnoredStaysIgnored) {
  inChild_ = [] { std::signal(SIGTERM, SIG_IGN); };
  EXPECT_EQ(runTerminated("before").status, 0);
  EXPECT_EQ(slurp(out_), decoded_);
  EXPECT_EQ(leftovers(), (std::vector<std::string>{"a.log", "out"}));
}

}  // namespace
