// The library's contract as a caller meets it: what a Run does when it is
// misused, asked to stop, or given settings the build or the CPU cannot
// follow.
#include <gtest/gtest.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "folder.hpp"
#include "hexlog/hexlog.hpp"
#include "logs.hpp"

namespace {

int memoryFile(const std::string& bytes) {
  int fd = memfd_create("hexlog-run", 0);
  if (write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
    return -1;
  lseek(fd, 0, SEEK_SET);
  return fd;
}

// What a run of `settings` over `log` writes, or why it failed.
std::string decoded(const hexlog::Settings& settings, const std::string& log, size_t bufferSize = 65536) {
  int in = memoryFile(log), out = memfd_create("hexlog-run-out", 0);
  std::vector<char> buf(bufferSize);
  hexlog::Run run(settings);
  bool done = run.start(out) && run.addInput(in, "log", buf.data(), buf.size()) && run.finish();
  close(in);
  std::string bytes(static_cast<size_t>(lseek(out, 0, SEEK_END)), '\0');
  if (pread(out, bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size()))
    bytes = "<unread>";
  close(out);
  return done ? bytes : "failed " + std::to_string(static_cast<int>(run.failure().kind)) + ": " + run.failure().text;
}

// Asked for the vector path where the build or the CPU has none, the run
// takes the scalar path, every record written.
TEST(RunContract, VectorsAskedForWhereThereAreNoneAreTheScalarPath) {
  std::string log = stationLog(300, 5);
  for (hexlog::Format format : {hexlog::Format::kPlain, hexlog::Format::kVerbose, hexlog::Format::kCsv}) {
    hexlog::Settings scalar, vector;
    scalar.format = vector.format = format;
    scalar.vectors = false;
    vector.vectors = true;
    std::string expected = decoded(scalar, log);
    EXPECT_GT(expected.size(), 300u * 200);
    EXPECT_TRUE(decoded(vector, log) == expected) << static_cast<int>(format);
  }
}

TEST(RunContract, MisuseIsAFailureNotACrash) {
  hexlog::Settings settings;
  std::vector<char> buf(65536);
  {
    hexlog::Run run(settings);
    EXPECT_FALSE(run.addInput(0, "early", buf.data(), buf.size()));
    EXPECT_EQ(run.failure().kind, hexlog::FailureKind::kUsage);
    EXPECT_FALSE(run.finish());
  }
  {
    hexlog::Run run(settings);
    ASSERT_TRUE(run.start(-1));
    EXPECT_FALSE(run.start(-1));
    EXPECT_EQ(run.failure().kind, hexlog::FailureKind::kUsage);
  }
  {
    // Once it has failed, a run takes nothing more.
    hexlog::Run run(settings);
    int out = memfd_create("hexlog-run-out", 0), in = memoryFile(stationLog(3));
    ASSERT_TRUE(run.start(out));
    EXPECT_FALSE(run.addInput(-1, "closed", buf.data(), buf.size()));
    EXPECT_EQ(run.failure().kind, hexlog::FailureKind::kRead);
    EXPECT_FALSE(run.addInput(in, "log", buf.data(), buf.size()));
    EXPECT_FALSE(run.finish());
    EXPECT_EQ(run.failure().text, "closed");
    EXPECT_EQ(lseek(out, 0, SEEK_END), 0) << "nothing written after the failure";
    close(in);
    close(out);
  }
  EXPECT_EQ(decoded(settings, stationLog(3), hexlog::kMinInputBuffer - 1).rfind("failed " +
                std::to_string(static_cast<int>(hexlog::FailureKind::kUsage)), 0), 0u);
  EXPECT_EQ(decoded(settings, stationLog(3), hexlog::kMinInputBuffer), decoded(settings, stationLog(3)));
}

// Settings::interrupted stops a run where it stands: reading, or writing
// ordered records out of memory or a spill file.
TEST(RunContract, AnInterruptStopsTheRun) {
  std::string log = stationLog(3000, 2);
  for (bool ordered : {false, true}) {
    for (int after : {0, 3, 50}) {
      hexlog::Settings settings;
      settings.format = hexlog::Format::kCsv;
      settings.order = ordered ? hexlog::Order::kTime : hexlog::Order::kInput;
      settings.memory = 20000;
      int asked = 0;
      settings.interrupted = [&](bool) { return ++asked > after; };
      std::string text = decoded(settings, log + log, 4096);
      EXPECT_EQ(text, "failed " + std::to_string(static_cast<int>(hexlog::FailureKind::kInterrupted)) + ": interrupted")
          << ordered << " " << after;
    }
  }
}

// Settings::progress is told of every phase in its order, its counts never
// going back, and last of each with them final: every byte of the inputs,
// every record of the logs, every record held taken by each pass (those
// dropped as repeated included). Telling changes nothing of the output.
TEST(RunContract, ProgressIsToldOfEveryPhaseWithItsFinalCounts) {
  using Phase = hexlog::Progress::Phase;
  // Two inputs whose records share their times: ordering drops many.
  const std::string a = stationLog(700, 4) + stationLog(2500, 3), b = stationLog(700, 4);
  auto run = [&](const hexlog::Settings& settings) {
    int in[2] = {memoryFile(a), memoryFile(b)}, out = memfd_create("hexlog-run-out", 0);
    std::vector<char> buf(4096);
    hexlog::Run two(settings);
    bool done = two.start(out) && two.addInput(in[0], "a", buf.data(), buf.size()) &&
                two.addInput(in[1], "b", buf.data(), buf.size()) && two.finish();
    std::string bytes(static_cast<size_t>(lseek(out, 0, SEEK_END)), '\0');
    done = done && pread(out, bytes.data(), bytes.size(), 0) == static_cast<ssize_t>(bytes.size());
    close(in[0]), close(in[1]), close(out);
    return done ? bytes : "failed";
  };
  struct Case {
    hexlog::Format format;
    hexlog::Order order;
    std::vector<Phase> phases;
  };
  for (const Case& c : {Case{hexlog::Format::kPlain, hexlog::Order::kInput, {Phase::kReading}},
                        Case{hexlog::Format::kCsv, hexlog::Order::kTime, {Phase::kReading, Phase::kWriting}},
                        Case{hexlog::Format::kNccsv, hexlog::Order::kTime,
                             {Phase::kReading, Phase::kFirstPass, Phase::kWriting}}}) {
    hexlog::Settings settings;
    settings.format = c.format;
    settings.order = c.order;
    settings.memory = 30000;  // spilled, and merged
    std::string quiet = run(settings);
    std::vector<hexlog::Progress> told;
    settings.progress = [&](const hexlog::Progress& progress) { told.push_back(progress); };
    EXPECT_TRUE(run(settings) == quiet && quiet != "failed") << static_cast<int>(c.format);
    std::vector<Phase> phases;
    for (size_t i = 0; i < told.size(); ++i) {
      const hexlog::Progress& now = told[i];
      if (phases.empty() || phases.back() != now.phase)
        phases.push_back(now.phase);
      else
        EXPECT_TRUE(now.bytes >= told[i - 1].bytes && now.records >= told[i - 1].records &&
                    now.inputsDone >= told[i - 1].inputsDone && now.done >= told[i - 1].done);
      if (i + 1 < told.size() && told[i + 1].phase == now.phase)
        continue;
      if (now.phase == Phase::kReading)
        EXPECT_TRUE(now.inputsDone == 2 && now.bytes == a.size() + b.size() && now.records == 3900);
      else
        EXPECT_TRUE(now.done == 3900 && now.total == 3900);
    }
    EXPECT_EQ(phases, c.phases) << static_cast<int>(c.format);
  }
}

}  // namespace

namespace {

// The words of the line against sums done by hand: sizes in their total's
// unit to three figures, the time left at the rate so far rounded up, none
// without a total or within a phase's first second.
TEST(RunContract, TheProgressLineSaysWhatARunHasDoneAndHasLeft) {
  using Phase = hexlog::Progress::Phase;
  auto line = [](Phase phase, uint64_t bytes, uint64_t records, uint64_t done, uint64_t size, double seconds) {
    hexlog::Progress progress{phase, 1, bytes, records, done, 4000};
    return hexlog::progressLine(progress, 3, size, seconds);
  };
  EXPECT_EQ(line(Phase::kReading, 212000000, 731000, 0, 580000000, 10),
            "1 of 3 files read, 212 of 580 MB, 731000 records, 0:18 left");  // 10 s * 368/212 = 17.4
  EXPECT_EQ(line(Phase::kReading, 999600, 1, 0, 0, 5), "1 of 3 files read, 1.00 MB, 1 record");
  EXPECT_EQ(line(Phase::kWriting, 9, 9, 1, 9, 1), "writing 1 of 4000 records, 1:06:39 left");  // 3999 s
  EXPECT_EQ(line(Phase::kFirstPass, 9, 9, 1, 9, 0.9), "first pass over 1 of 4000 records");
}

// How many descriptors the process has open.
size_t openDescriptors() {
  size_t n = 0;
  DIR* fds = opendir("/proc/self/fd");
  while (fds != nullptr && readdir(fds) != nullptr)
    ++n;
  if (fds != nullptr)
    closedir(fds);
  return n;
}

class RunFiles : public FolderTest {};

// Whichever way its records are ordered (held, spilled, let go and read
// again by name, or through a descriptor kept of an input that has none),
// a run closes every descriptor it took and none of its caller's: one the
// caller opened after finish() on a number the run had freed stays open
// after the run is gone. And the output is the same whatever the way.
TEST_F(RunFiles, ClosesItsOwnDescriptorsAndNoOthers) {
  std::string log = stationLog(400, 3);
  size_t half = log.find('\n', log.size() / 2) + 1;
  std::string inOrder = file("in-order.log", log);
  std::string broken = file("broken.log", log.substr(0, half) + log.substr(0, half) + log.substr(half));
  std::vector<char> buf(65536);
  std::string expected;
  for (const std::string& path : {inOrder, broken}) {
    for (const char* name : {"by-name", "-"}) {
      for (size_t memory : {size_t{1} << 30, size_t{6000}}) {
        SCOPED_TRACE(path + " " + name + " " + std::to_string(memory));
        hexlog::Settings settings;
        settings.format = hexlog::Format::kNccsv;
        settings.memory = memory;
        settings.temporaryDirectory = dir_;
        size_t before = openDescriptors();
        int in = open(path.c_str(), O_RDONLY), out = memfd_create("hexlog-run-out", 0), probe = -1;
        {
          hexlog::Run run(settings);
          ASSERT_TRUE(run.start(out) && run.addInput(in, name[0] == '-' ? "-" : path, buf.data(), buf.size()) &&
                      run.finish())
              << run.failure().text;
          close(in);
          probe = open("/dev/null", O_RDONLY);
        }
        EXPECT_NE(fcntl(probe, F_GETFD), -1) << "the run closed a descriptor that was not its own";
        close(probe);
        std::string text(static_cast<size_t>(lseek(out, 0, SEEK_END)), '\0');
        EXPECT_EQ(pread(out, text.data(), text.size(), 0), static_cast<ssize_t>(text.size()));
        close(out);
        EXPECT_EQ(openDescriptors(), before);
        if (expected.empty())
          expected = text;
        EXPECT_TRUE(text == expected);
      }
    }
  }
  EXPECT_NE(expected.find("*END_DATA*"), std::string::npos);
}

}  // namespace
