// Two runs of the library in two threads give exactly what each gives
// alone: nothing in it is shared between Runs. The ThreadSanitizer build
// (-DHEXLOG_SANITIZE=thread) runs this to see every access.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <random>
#include <string>
#include <thread>
#include <vector>

#include "hexlog/hexlog.hpp"
#include "logs.hpp"

namespace {

int memoryFile(const std::string& bytes) {
  int fd = memfd_create("hexlog-thread", 0);
  if (write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
    return -1;
  lseek(fd, 0, SEEK_SET);
  return fd;
}

// What one run writes, or for arrays their bytes.
std::string runOnce(hexlog::Settings settings, const std::string& log) {
  int in = memoryFile(log), out = memfd_create("hexlog-thread-out", 0);
  std::vector<char> buf(64 * 1024);
  hexlog::Run run(settings);
  bool done = run.start(out) && run.addInput(in, "log", buf.data(), buf.size()) && run.finish();
  close(in);
  std::string bytes(static_cast<size_t>(lseek(out, 0, SEEK_END)), '\0');
  if (!done || pread(out, bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size()))
    bytes = "<failed>";
  close(out);
  if (settings.format == hexlog::Format::kColumns)
    for (const hexlog::Column* column : {&run.columns().time, &run.columns().readings[31]})
      bytes.append(static_cast<const char*>(column->data()), column->size() * column->elementSize());
  return bytes;
}

TEST(Threads, TwoRunsSideBySideGiveWhatEachGivesAlone) {
  std::vector<hexlog::Settings> settings(6);
  settings[1].format = hexlog::Format::kVerbose;
  settings[2].format = hexlog::Format::kCsv;
  settings[3].format = hexlog::Format::kCsv;
  settings[3].order = hexlog::Order::kTime;
  settings[3].provenance = true;
  settings[3].memory = 20000;  // many spilled runs
  settings[4].format = hexlog::Format::kNccsv;
  settings[4].created = 1800000000;
  settings[5].format = hexlog::Format::kColumns;
  settings[5].order = hexlog::Order::kTime;
  settings[5].describe = true;
  std::string logs[2] = {noisyLog(3000, 1), noisyLog(3000, 2)};
  for (const hexlog::Settings& setting : settings) {
    std::string alone[2] = {runOnce(setting, logs[0]), runOnce(setting, logs[1])};
    std::string together[2];
    std::thread other([&] { together[1] = runOnce(setting, logs[1]); });
    together[0] = runOnce(setting, logs[0]);
    other.join();
    EXPECT_NE(alone[0], "<failed>");
    EXPECT_EQ(together[0], alone[0]) << static_cast<int>(setting.format);
    EXPECT_EQ(together[1], alone[1]) << static_cast<int>(setting.format);
  }
}

}  // namespace
