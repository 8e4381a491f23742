// A gigabyte streamed through the tool from a pipe, generated on the fly:
// every record comes out, and peak memory is that of a kilobyte's run but for
// the pages of the two 64 KiB buffers a tiny input never touches.
// Long: registered only with -DHEXLOG_LONG_TESTS=ON (label "long").
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "reference.hpp"

namespace {

struct Stream {
  long long outputBytes = 0;
  long long lines = 0;
  std::string head;  // the first bytes of output
  long peakKiB = 0;
  int status = -1;
};

// genlog RECORDS | hexlog /dev/stdin, counting what comes out.
Stream stream(long long records) {
  int logPipe[2], outPipe[2];
  Stream result;
  if (pipe(logPipe) != 0 || pipe(outPipe) != 0)
    return result;
  pid_t generator = fork();
  if (generator == 0) {
    dup2(logPipe[1], 1);
    close(logPipe[0]);
    close(outPipe[0]);
    close(outPipe[1]);
    std::string count = std::to_string(records);
    execl(GENLOG_BINARY, "genlog", count.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  pid_t tool = fork();
  if (tool == 0) {
    dup2(logPipe[0], 0);
    dup2(outPipe[1], 1);
    close(logPipe[1]);
    close(outPipe[0]);
    execl(HEXLOG_BINARY, "hexlog", "/dev/stdin", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(logPipe[0]);
  close(logPipe[1]);
  close(outPipe[1]);
  static char block[1 << 16];
  char last = '\0';
  for (ssize_t n; (n = read(outPipe[0], block, sizeof block)) > 0;) {
    for (ssize_t i = 0; i < n; ++i) {
      result.lines += block[i] == '\n' && last == '\r';
      last = block[i];
    }
    if (result.head.size() < 100000)
      result.head.append(block, static_cast<size_t>(n));
    result.outputBytes += n;
  }
  close(outPipe[0]);
  struct rusage usage;
  int status = 0;
  wait4(tool, &status, 0, &usage);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.peakKiB = usage.ru_maxrss;
  waitpid(generator, &status, 0);
  return result;
}

std::string generated(long long records) {
  std::string log;
  if (std::FILE* in = popen((std::string(GENLOG_BINARY) + " " + std::to_string(records)).c_str(), "r")) {
    char block[4096];
    for (size_t n; (n = std::fread(block, 1, sizeof block, in)) > 0;)
      log.append(block, n);
    pclose(in);
  }
  return log;
}

TEST(Stream, AGigabyteInConstantMemory) {
  const long long records = 3500000;  // 290 bytes each: just over 1 GB
  Stream small = stream(3);
  Stream big = stream(records);
  ASSERT_EQ(small.status, 0);
  ASSERT_EQ(big.status, 0);
  EXPECT_EQ(big.lines, records);
  EXPECT_LE(small.peakKiB, 8 * 1024);
  EXPECT_LE(big.peakKiB, 8 * 1024);
  EXPECT_LE(big.peakKiB, small.peakKiB + 256) << "memory grows with the input";
  // The start of the stream is decoded exactly.
  std::string expected = reference::decodeFile(generated(300), 24, false);
  EXPECT_EQ(big.head.substr(0, expected.size()), expected);
  std::printf("%lld records, %lld output bytes, peak %ld KiB (%ld KiB for 3 records)\n", records,
              big.outputBytes, big.peakKiB, small.peakKiB);
}

}  // namespace
