// Hostile input for the built tool: whatever the bytes, options and files,
// no crash, and exactly the output and status the rules give. The expected
// bytes come from the plain C-library version of the rules.
#include <sys/stat.h>

#include <climits>
#include <cstring>
#include <random>

#include "logs.hpp"
#include "reference.hpp"
#include "tool.hpp"

namespace {

using Hostile = ToolTest;

TEST_F(Hostile, BinaryGarbageAndEveryByteValue) {
  std::mt19937 rng(21);
  std::string garbage(300000, '\0');
  for (char& c : garbage)
    c = static_cast<char>(rng());
  std::string bytes;
  for (int round = 0; round < 8; ++round)
    for (int c = 0; c < 256; ++c)
      bytes += std::string(static_cast<size_t>(round * 37 + 1), static_cast<char>(c));
  std::string allBytes = kSampleRecord.substr(0, 40);
  for (int c = 0; c < 256; ++c)
    allBytes += static_cast<char>(c);
  for (const std::string& content : {garbage, bytes, allBytes + "\n" + allBytes}) {
    std::string log = file("garbage.log", content);
    for (bool verboseMode : {false, true}) {
      Result r = verboseMode ? run({"-v", log}) : run({log});
      EXPECT_EQ(r.status, 0);
      EXPECT_EQ(r.out, reference::decodeFile(content, 24, verboseMode));
      EXPECT_EQ(r.err, "");
    }
  }
}

TEST_F(Hostile, LinesOfEveryTellingLength) {
  for (size_t length : {0, 1, 130, 131, 132, 1022, 1023, 1024, 1025, 2046, 2047, 2048, 100000}) {
    for (const char* end : {"\n", "\r\n", ""}) {
      std::string content = sampleLine(length) + end + kSampleRecord + "\n";
      if (*end == '\0')
        content = sampleLine(length);  // a file with no line end at all
      Result r = run({file("len.log", content)});
      EXPECT_EQ(r.status, 0);
      EXPECT_EQ(r.out, reference::decodeFile(content, 24, false)) << length << " " << std::strlen(end);
    }
  }
}

// The tool reads 65535 bytes at a time. A 1023-character piece that ends
// exactly there, and thousands of value-less verbose blocks in a row, each
// needing room for a date in the output buffer.
TEST_F(Hostile, VerboseAtTheEdgesOfTheBlocks) {
  std::string content;
  for (int i = 0; i < 252; ++i)
    content += sampleLine(255) + "\n";  // 64512 bytes, then a piece of 1023 up to 65535
  content += sampleLine(1500) + "\n";
  for (int i = 0; i < 5000; ++i)
    content += kSampleRecord.substr(0, 32) + std::string(110, 'z') + "\r\n";
  ASSERT_EQ(content.find(sampleLine(1023)), 64512u);
  Result r = run({"-v", file("edges.log", content)});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, reference::decodeFile(content, 24, true));
}

TEST_F(Hostile, NulAtEveryPositionOfARecord) {
  std::string content;
  std::string line = kSampleRecord + "\r\n";
  for (size_t at = 0; at < line.size(); ++at) {
    std::string broken = line;
    broken[at] = '\0';
    content += broken;
  }
  for (bool verboseMode : {false, true}) {
    Result r = verboseMode ? run({"-v", file("nul.log", content)}) : run({file("nul.log", content)});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, reference::decodeFile(content, 24, verboseMode));
  }
}

TEST_F(Hostile, EveryPrefixLengthFromMinus100To400) {
  std::string content = "  " + kSampleRecord + "\r\n";
  std::string log = file("one.log", content);
  for (int start = -100; start <= 400; ++start) {
    Result r = run({"-s", std::to_string(start), log});
    ASSERT_EQ(r.status, 0);
    ASSERT_EQ(r.out, reference::decodeFile(content, start, false)) << start;
  }
  for (int start : {-100, -1, 0, 23, 24, 25, 280, 288, 289, 290, 400}) {
    Result r = run({"-v", "-s", std::to_string(start), log});
    ASSERT_EQ(r.out, reference::decodeFile(content, start, true)) << start;
  }
}

// What -s N means: atoi's syntax, saturated to 32 bits. strtol in base 10
// reads the same syntax and saturates at the wider long limits.
int32_t expectedStart(const char* text) {
  long value = std::strtol(text, nullptr, 10);
  return static_cast<int32_t>(value < INT32_MIN ? INT32_MIN : value > INT32_MAX ? INT32_MAX : value);
}

TEST_F(Hostile, HugeNegativeAndNonNumericPrefixes) {
  std::string content = kSampleRecord + "\n" + "   " + kSampleRecord.substr(10) + "\n";
  std::string log = file("one.log", content);
  for (const char* s : {"2147483647", "2147483648", "-2147483648", "-2147483649", "4294967320",
                        "99999999999999999999999999", "-99999999999999999999999999", "abc", "", " \t 12",
                        "+24", "24abc", "0x10", "1e3", "-0", "--5", "+-5", "000000000000000000024", "\n7"}) {
    Result r = run({"-s", s, log});
    EXPECT_EQ(r.status, 0) << s;
    EXPECT_EQ(r.out, reference::decodeFile(content, expectedStart(s), false)) << '"' << s << '"';
  }
}

TEST_F(Hostile, ManyFilesWithOneMissingInTheMiddle) {
  std::vector<std::string> names;
  std::string expected;
  for (int i = 0; i < 40; ++i) {
    std::string content = sampleLine(132 + static_cast<size_t>(i) * 8) + "\n";
    if (i == 20) {
      names.push_back(dir_ + "/missing.log");
      expected += "Cannot open file " + names.back() + "\n";
      break;
    }
    names.push_back(file("f" + std::to_string(i) + ".log", content));
    expected += reference::decodeFile(content, 24, false);
  }
  for (int i = 21; i < 40; ++i)
    names.push_back(file("f" + std::to_string(i) + ".log", kSampleRecord + "\n"));
  Result r = run(names);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, expected);
}

TEST_F(Hostile, FifoFedInSmallChunks) {
  std::string fifo = dir_ + "/pipe";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::string content;
  for (size_t length : {300, 132, 2000, 131, 290, 1023, 50, 290})
    content += sampleLine(length) + "\r\n";
  pid_t writer = fork();
  if (writer == 0) {
    int fd = open(fifo.c_str(), O_WRONLY);
    std::mt19937 rng(3);
    for (size_t at = 0; at < content.size();) {
      size_t chunk = std::min<size_t>(1 + rng() % 700, content.size() - at);
      if (write(fd, content.data() + at, chunk) != static_cast<ssize_t>(chunk))
        _exit(1);
      at += chunk;
      usleep(200);
    }
    _exit(0);
  }
  Result r = run({fifo});
  int status = 0;
  waitpid(writer, &status, 0);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, reference::decodeFile(content, 24, false));
}

TEST_F(Hostile, UnreadableFilesStopTheRun) {
  std::string good = file("good.log", kSampleRecord + "\n");
  std::string decoded = reference::decodeFile(kSampleRecord + "\n", 24, false);
  Result r = run({good, "/proc/self/mem", good});  // opens, but reading at 0 fails
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, decoded + "Cannot read file /proc/self/mem\n");
  r = run({good, dir_});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, decoded + "Cannot read file " + dir_ + "\n");
}

TEST_F(Hostile, LostOutputNeverSucceeds) {
  std::string content;
  for (int i = 0; i < 20000; ++i)  // several output blocks
    content += kSampleRecord + "\r\n";
  std::string log = file("many.log", content);
  for (Stdout mode : {Stdout::DevFull, Stdout::Closed}) {
    Result r = run({"-v", log}, mode);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("hexlog: write error: ", 0), 0u) << r.err;
  }
}

}  // namespace
