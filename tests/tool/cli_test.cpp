// The built tool, run as a user runs it: exact bytes out, exact exit status.
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <ctime>
#include <thread>

#include "bits.hpp"
#include "logs.hpp"
#include "reference.hpp"
#include "tool.hpp"

namespace {

using Cli = ToolTest;

// ---- Command line ----------------------------------------------------------

TEST_F(Cli, NoArgumentsPrintsUsageAndFails) {
  Result r = run({});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, std::string("Usage:  ") + HEXLOG_BINARY + " [-s <startChars>] [-v] <file name>\n"
                   "  -s <startChars> number of beginning chars to throw away (default 24)\n"
                   "  -v verbose mode (identify each field)\n");
  EXPECT_EQ(r.err, "");
}

TEST_F(Cli, WithoutEvenArgumentZeroTheUsageNamesHexlog) {
  std::string outPath = dir_ + "/.stdout";
  pid_t pid = fork();
  if (pid == 0) {
    int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(out, 1);
    char* noArguments[] = {nullptr};
    char* noEnvironment[] = {nullptr};
    execve(HEXLOG_BINARY, noArguments, noEnvironment);
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_EQ(slurp(outPath).substr(0, 50), "Usage:  hexlog [-s <startChars>] [-v] <file name>\n");
}

TEST_F(Cli, OptionsOnlyPrintNothingAndSucceed) {
  Result r = run({"-v"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  r = run({"-s", "3"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
}

TEST_F(Cli, UnknownOptionGetsOnlyGetoptsMessage) {
  std::string log = file("a.log", lineOfLength(40 + 96) + "\n");
  Result r = run({"-x", log});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, run({log}).out);
  EXPECT_NE(r.out, "");
  EXPECT_NE(r.err.find("invalid option"), std::string::npos);
}

TEST_F(Cli, StartCharsOption) {
  std::string body = "000000023F800000" + std::string(120, 'z') + "\n";
  std::string log = file("a.log", "   " + body + "Log 2026/12/08 01:02:03 " + body);
  EXPECT_EQ(run({"-s", "0", log}).out, "2, 1.000\r\n0\r\n");
  EXPECT_EQ(run({"-s", "9", "-s", "0", log}).out, "2, 1.000\r\n0\r\n");  // the last -s wins
  EXPECT_EQ(run({"-s", " +0junk", log}).out, "2, 1.000\r\n0\r\n");     // read as atoi reads
  EXPECT_EQ(run({"-s", "none", log}).out, "2, 1.000\r\n0\r\n");
  // -v becomes the argument of -s: startChars 0, verbose stays off.
  EXPECT_EQ(run({"-s", "-v", log}).out, "2, 1.000\r\n0\r\n");
  EXPECT_EQ(run({log}).out, "0\r\n2, 1.000\r\n");
}

TEST_F(Cli, StartCharsOutsideEveryRecord) {
  std::string log = file("a.log", lineOfLength(200) + "\n");
  for (const char* s : {"-1", "-99999999999999999999", "99999999999999999999", "2147483648", "201", "400"}) {
    Result r = run({"-s", s, log});
    EXPECT_EQ(r.status, 0) << s;
    EXPECT_EQ(r.out, "0\r\n") << s;
  }
  EXPECT_EQ(run({"-v", "-s", "-5", log}).out, "Thu Jan  1 00:00:00 1970\n\r\n\r\n");
}

TEST_F(Cli, RepeatedVerboseStaysVerbose) {
  std::string log = file("a.log", lineOfLength(200) + "\n");
  EXPECT_EQ(run({"-v", "-v", log}).out, run({"-v", log}).out);
  EXPECT_EQ(run({"-vv", log}).out, run({"-v", log}).out);
}

TEST_F(Cli, HelpAndVersion) {
  Result help = run({"-s", "3", "--help", "no-such-file"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind(run({}).out, 0), 0u) << "the usage lines come first";
  for (const char* option : {"\n  --output=FILE ", "\n  --help ", "\n  --version "})
    EXPECT_NE(help.out.find(option), std::string::npos) << option;
  EXPECT_EQ(run({"--version"}).out, "hexlog " HEXLOG_VERSION "\n");
}

TEST_F(Cli, BadLongOptionsFailBeforeAnythingIsRead) {
  std::string log = file("a.log", lineOfLength(200) + "\n");
  const std::vector<std::vector<std::string>> commands = {
      {"--bogus", log}, {log, "--bogus=1"}, {"-v", "--help=yes"}, {"--version=2"}, {log, "--output"},
      {"--output=", log}, {"--output=" + dir_ + "/no/such/dir/out.txt", log}, {"--output=" + dir_, log},
  };
  for (const std::vector<std::string>& command : commands) {
    Result r = run(command);
    EXPECT_EQ(r.status, 1) << command[0];
    EXPECT_EQ(r.out, "") << command[0];
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(listing(), std::vector<std::string>{"a.log"}) << command[0];
  }
  Result r = run({"--bogus", log});
  EXPECT_NE(r.err.find("'--bogus'"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("--help"), std::string::npos) << r.err;
}

TEST_F(Cli, DashIsStandardInputWhereverItStands) {
  std::string a = file("a.log", kClockPrefix + "00000001" + std::string(100, 'z') + "\n");
  stdin_ = file("in.log", kClockPrefix + "00000002" + std::string(100, 'z') + "\n");
  EXPECT_EQ(run({a, "-", a}).out, "1\r\n2\r\n1\r\n");
  EXPECT_EQ(run({"-v", "-"}).out, "Thu Jan  1 00:00:02 1970\n\r\n\r\n");
  file("-", kClockPrefix + "00000003" + std::string(100, 'z') + "\n");
  EXPECT_EQ(run({dir_ + "/-", "--", "-"}).out, "3\r\n2\r\n");
}

TEST_F(Cli, StandardInputNamedTwiceIsReadOnce) {
  stdin_ = file("in.log", lineOfLength(288) + "\r\n");
  Result once = run({"-"});
  EXPECT_NE(once.out, "");
  Result twice = run({"-", "-"});
  EXPECT_EQ(twice.status, 0);
  EXPECT_EQ(twice.out, once.out) << "the second - is at its end";
}

TEST_F(Cli, DoubleDashMakesAnOptionLikeWordAFileName) {
  std::string log = file("-a.log", lineOfLength(288) + "\r\n");
  std::string folder = dir_;
  inChild_ = [folder] {
    if (chdir(folder.c_str()) != 0)
      _exit(126);
  };
  Result r = run({"--", "-a.log"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, run({log}).out);
}

TEST_F(Cli, OptionsAfterAFileNameAreStillRead) {
  std::string log = file("a.log", kClockPrefix + "00000000" + std::string(110, 'z') + "\n");
  EXPECT_EQ(run({log, "-v"}).out, "Thu Jan  1 00:00:00 1970\n\r\n\r\n");
}

// ---- Files -----------------------------------------------------------------

TEST_F(Cli, MissingFileStopsAfterWhatCameBefore) {
  std::string a = file("a.log", lineOfLength(132) + "\n");
  std::string c = file("c.log", lineOfLength(132) + "\n");
  std::string missing = dir_ + "/missing.log";
  Result r = run({a, missing, c});
  EXPECT_EQ(r.status, 1);
  std::string record = run({a}).out;
  EXPECT_EQ(r.out, record + "Cannot open file " + missing + "\n");
  EXPECT_EQ(r.err, "");
}

TEST_F(Cli, OverlongMissingNameAfterBufferedOutput) {
  std::string content;
  while (content.size() < 60 * 1024)
    content += lineOfLength(288) + "\r\n";
  std::string log = file("a.log", content);
  std::string missing = dir_ + "/" + std::string(5000, 'n');
  Result r = run({log, missing});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, run({log}).out + "Cannot open file " + missing + "\n");
}

TEST_F(Cli, MoreFilesThanTheOpenFileLimit) {
  std::vector<std::string> names;
  std::string expected;
  for (int i = 0; i < 10; ++i) {
    names.push_back(file(std::to_string(i), kClockPrefix + "0000000" + std::to_string(i) + std::string(100, 'z') + "\n"));
    expected += std::to_string(i) + "\r\n";
  }
  inChild_ = [] {
    struct rlimit limit = {8, 8};
    setrlimit(RLIMIT_NOFILE, &limit);
  };
  Result r = run(names);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, expected);
  // In time order, the files are read a second time, and none stays open.
  names.insert(names.begin(), "--order=time");
  r = run(names);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, expected);
}

TEST_F(Cli, FilesAreDecodedInOrder) {
  std::string a = file("a.log", kClockPrefix + "00000001" + std::string(100, 'z') + "\n");
  std::string b = file("b.log", kClockPrefix + "00000002" + std::string(100, 'z') + "\n");
  EXPECT_EQ(run({b, a, b}).out, "2\r\n1\r\n2\r\n");
}

TEST_F(Cli, DirectoryCannotBeRead) {
  std::string a = file("a.log", lineOfLength(132) + "\n");
  Result r = run({a, dir_, a});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, run({a}).out + "Cannot read file " + dir_ + "\n");
}

TEST_F(Cli, FailedWriteIsReportedAndFails) {
  std::string a = file("a.log", lineOfLength(288) + "\r\n");
  Result r = run({a}, Stdout::DevFull);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "hexlog: write error: No space left on device\n");
  r = run({a}, Stdout::Closed);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.rfind("hexlog: write error: ", 0), 0u) << r.err;
  r = run({}, Stdout::DevFull);  // even the usage text
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "hexlog: write error: No space left on device\n");
}

// ---- --output ----------------------------------------------------------------

TEST_F(Cli, OutputFileHoldsWhatStandardOutputWould) {
  std::string log = file("a.log", lineOfLength(288) + "\r\n" + lineOfLength(150) + "\n");
  Result r = run({"-v", "--output=" + dir_ + "/new.txt", log});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(slurp(dir_ + "/new.txt"), run({"-v", log}).out);
  mode_t mask = umask(0);
  umask(mask);
  struct stat made;
  ASSERT_EQ(stat((dir_ + "/new.txt").c_str(), &made), 0);
  EXPECT_EQ(made.st_mode & 07777, 0666 & ~mask);
  // An existing file is replaced and keeps its mode.
  std::string old = file("old.txt", "precious\n");
  chmod(old.c_str(), 0640);
  EXPECT_EQ(run({"--output=" + old, log}).status, 0);
  EXPECT_EQ(slurp(old), run({log}).out);
  ASSERT_EQ(stat(old.c_str(), &made), 0);
  EXPECT_EQ(made.st_mode & 07777, 0640u);
  EXPECT_EQ(listing(), (std::vector<std::string>{"a.log", "new.txt", "old.txt"}));
}

// A slip for "hexlog a.log b.log": --output naming an input, under any
// name, or an existing log, would replace a raw log by its decoding.
TEST_F(Cli, OutputNeverReplacesALog) {
  std::string content = lineOfLength(288) + "\r\n";
  std::string log = file("a.log", content);
  std::string other = file("b.log", content);
  std::string alias = dir_ + "/alias.log";
  ASSERT_EQ(link(log.c_str(), alias.c_str()), 0);
  for (const std::vector<std::string>& args : {std::vector<std::string>{"--output=" + log, log},
                                               {"--format=csv", "--output", alias, other, log},
                                               {"--output=" + other, "--force", log, other}}) {
    Result r = run(args);
    EXPECT_EQ(r.status, 1) << args[0];
    EXPECT_NE(r.err.find("is the input"), std::string::npos) << r.err;
  }
  Result r = run({"--format=csv", "--output", other, log});  // a space for the =: b.log is the output
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "hexlog: " + other + " holds record lines: it looks like a log, not hexlog's output; "
                   "--force replaces it\n");
  EXPECT_EQ(slurp(log), content);
  EXPECT_EQ(slurp(other), content);
  // What hexlog wrote is replaced without a word; a log only when forced.
  std::string out = dir_ + "/out.csv";
  for (const char* format : {"--format=csv", "--format=nccsv", "-v", "--format=plain"})
    EXPECT_EQ(run({format, "--output=" + out, log}).status, 0) << format;
  EXPECT_EQ(run({"--format=csv", "--force", "--output", other, log}).status, 0);
  EXPECT_EQ(slurp(other), run({"--format=csv", log}).out);
}

TEST_F(Cli, FailedRunLeavesTheOutputFileAsItWas) {
  std::string log = file("a.log", lineOfLength(288) + "\r\n");
  std::string out = file("out.txt", "precious\n");
  std::string missing = dir_ + "/missing.log";
  Result r = run({"--output=" + out, log, missing});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "Cannot open file " + missing + ": " + std::strerror(ENOENT) + "\n");
  r = run({"--output=" + out, log, dir_});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Cannot read file " + dir_ + ": " + std::strerror(EISDIR) + "\n");
  // A write error: the file size limit stops the output after a kilobyte.
  std::string many;
  for (int i = 0; i < 1000; ++i)
    many += lineOfLength(288) + "\r\n";
  std::string big = file("big.log", many);
  inChild_ = [] {
    std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = {1024, 1024};
    setrlimit(RLIMIT_FSIZE, &limit);
  };
  r = run({"--output=" + out, big});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "hexlog: write error: " + out + ": File too large\n");
  EXPECT_EQ(slurp(out), "precious\n");
  EXPECT_EQ(listing(), (std::vector<std::string>{"a.log", "big.log", "out.txt"}));
}

TEST_F(Cli, InterruptedRunLeavesNoTemporaryFile) {
  std::string fifo = dir_ + "/pipe";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::string out = file("out.txt", "precious\n");
  pid_t pid = start({"--output=" + out, fifo});
  int writer = open(fifo.c_str(), O_WRONLY);  // the tool has opened its output by now
  ASSERT_GE(writer, 0);
  EXPECT_EQ(listing().size(), 3u) << "pipe, out.txt and the temporary file";
  kill(pid, SIGTERM);
  Result r = finish(pid);
  close(writer);
  EXPECT_EQ(r.status, 128 + SIGTERM);
  EXPECT_EQ(slurp(out), "precious\n");
  EXPECT_EQ(listing(), (std::vector<std::string>{"out.txt", "pipe"}));
}

// ---- Live input ----------------------------------------------------------------

TEST_F(Cli, RecordsFromAFifoAppearWhileItIsStillOpen) {
  std::string line = lineOfLength(288) + "\r\n";
  std::string one = run({file("one.log", line)}).out;
  std::string fifo = dir_ + "/pipe";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  pid_t pid = start({fifo});
  int writer = open(fifo.c_str(), O_WRONLY);
  ASSERT_GE(writer, 0);
  for (size_t record = 1; record <= 3; ++record) {
    ASSERT_EQ(write(writer, line.data(), line.size()), static_cast<ssize_t>(line.size()));
    // Only a guard against hanging: each record must come out before the next is written.
    auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (slurp(dir_ + "/.stdout").size() < record * one.size() && std::chrono::steady_clock::now() < giveUp)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(slurp(dir_ + "/.stdout").size(), record * one.size());
  }
  close(writer);
  Result r = finish(pid);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, one + one + one);
}

TEST_F(Cli, AFullPieceFromAFifoIsDecodedBeforeTheLineEnds) {
  // 1023 characters are all fgets would take: the record is whole without its line end.
  std::string line = lineOfLength(1023);
  std::string decoded = run({file("one.log", line)}).out;
  ASSERT_NE(decoded, "");
  std::string fifo = dir_ + "/pipe";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  pid_t pid = start({fifo});
  int writer = open(fifo.c_str(), O_WRONLY);
  ASSERT_GE(writer, 0);
  ASSERT_EQ(write(writer, line.data(), line.size()), static_cast<ssize_t>(line.size()));
  // Only a guard against hanging: the record must come out while the writer still holds the FIFO open.
  auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (slurp(dir_ + "/.stdout").size() < decoded.size() && std::chrono::steady_clock::now() < giveUp)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(slurp(dir_ + "/.stdout"), decoded);
  close(writer);
  Result r = finish(pid);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, decoded);
}

TEST_F(Cli, NoRecordsNoOutputToALostStandardOutputStillSucceeds) {
  std::string a = file("a.log", "header\n");
  EXPECT_EQ(run({a}, Stdout::DevFull).status, 0);
}

// ---- Which lines are records -------------------------------------------------

TEST_F(Cli, WorkedRecordInBothModes) {
  std::string log = file("a.log", kClockPrefix + "000000003F800000BF800000" + std::string(100, ' ') + "\n");
  EXPECT_EQ(run({log}).out, "0, 1.000, -1.000\r\n");
  EXPECT_EQ(run({"-v", log}).out,
            "Thu Jan  1 00:00:00 1970\n\r\n"
            "EquilPumpOn pCO2        \t1.000\r\n"
            "EquilPumpOn Temp        \t-1.000\r\n"
            "\r\n");
}

TEST_F(Cli, LengthThresholdCountsTheLineEnd) {
  // 131 characters with LF is 132: decoded. 130 with LF is skipped.
  EXPECT_EQ(run({file("a", lineOfLength(131) + "\n")}).out.size() > 0, true);
  EXPECT_EQ(run({file("b", lineOfLength(130) + "\n")}).out, "");
  EXPECT_NE(run({file("c", lineOfLength(130) + "\r\n")}).out, "");
  EXPECT_EQ(run({file("d", lineOfLength(129) + "\r\n")}).out, "");
  EXPECT_NE(run({file("e", lineOfLength(132))}).out, "");
  EXPECT_EQ(run({file("f", lineOfLength(131))}).out, "");
  // 24 + 8 + 12 * 8 = 128 characters of words; "3F8" and the line feed make a short last window.
  EXPECT_EQ(run({file("g", lineOfLength(131) + "\n")}).out,
            "1, 1.000, 1.000, 1.000, 1.000, 1.000, 1.000, 1.000, 1.000, 1.000, 1.000, 1.000, 1.000, 0.000\r\n");
}

TEST_F(Cli, IndentationIsNeitherCountedNorDecoded) {
  std::string line = lineOfLength(131) + "\n";
  std::string plain = run({file("a", line)}).out;
  EXPECT_EQ(run({file("b", " \t\v\f\r " + line)}).out, plain);
  EXPECT_EQ(run({file("c", "    " + lineOfLength(127) + "\n")}).out, "");
}

TEST_F(Cli, BlankLinesAndShortLinesAreSkipped) {
  std::string line = lineOfLength(150) + "\n";
  std::string one = run({file("a", line)}).out;
  EXPECT_EQ(run({file("b", "\n\n   \n\t\r\nheader line\n" + line + "\n")}).out, one);
}

TEST_F(Cli, NulEndsTheLineText) {
  std::string line = lineOfLength(200);
  std::string withNul = line;
  withNul[140] = '\0';
  EXPECT_EQ(run({file("a", withNul + "\n")}).out, run({file("b", line.substr(0, 140))}).out);
  withNul[100] = '\0';  // leaves 100 characters: no record
  EXPECT_EQ(run({file("c", withNul + "\n")}).out, "");
}

TEST_F(Cli, OverLongLineIsDecodedPieceByPiece) {
  // 1023 characters and a line feed: one piece of 1023, one of just the line feed.
  std::string line = lineOfLength(1023);
  EXPECT_EQ(run({file("a", line + "\n")}).out, run({file("b", line)}).out);
  // 1200 characters: pieces of 1023 and 177 + LF, both records.
  std::string longer = lineOfLength(1200);
  EXPECT_EQ(run({file("c", longer + "\n")}).out,
            run({file("d", longer.substr(0, 1023))}).out + run({file("e", longer.substr(1023) + "\n")}).out);
}

TEST_F(Cli, ManyValuesInVerboseModeAreNumbered) {
  std::string out = run({"-v", file("a", lineOfLength(24 + 8 + 40 * 8) + "\r\n")}).out;
  EXPECT_NE(out.find("Can Humidity            \t1.000\r\nReading 33              \t1.000\r\n"), std::string::npos);
  EXPECT_NE(out.find("Reading 40              \t1.000\r\n\r\n"), std::string::npos);
  EXPECT_EQ(out.find("Reading 41"), std::string::npos);
}

TEST_F(Cli, LongHeaderLinePrintsAsARecordWithTimeZero) {
  std::string header = "# Instrument log, firmware 2.1, all readings in engineering units, "
                       "one line per measurement cycle, words are hexadecimal, times are UTC\n";
  ASSERT_GE(header.size(), 132u);
  // "re 2.1, " gives time 0; "all read" begins with a hex digit, "ings in " ends it.
  EXPECT_EQ(run({file("a", header)}).out, "0, 0.000\r\n");
}

// ---- csv -----------------------------------------------------------------------

TEST_F(Cli, CsvHasTheNamesThenThirtyThreeFieldsPerRecord) {
  std::vector<uint32_t> full;
  for (uint32_t k = 0; k < 32; ++k)
    full.push_back(0x3F800000 + k * 0x01234567);
  std::vector<std::vector<uint32_t>> records = {full, {0x41855A15, 0x7FC00000, 0xFF800000}, {}};
  std::vector<uint32_t> times = {1781395220, 0x80000000, 0x7FFFFFFF};
  std::string content = "# a header line\n";
  for (size_t i = 0; i < records.size(); ++i)
    content += recordLine(times[i], records[i]);
  Result r = run({"--format=csv", file("a.log", content)});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  std::vector<std::string> lines = split(r.out, '\n');
  ASSERT_EQ(lines.size(), records.size() + 2);
  EXPECT_EQ(lines.back(), "") << "every line ends in LF";
  // The names as the verbose text prints them, blanks as underscores, spelt right.
  std::string header = "time";
  for (std::string name : reference::kNames) {
    std::replace(name.begin(), name.end(), ' ', '_');
    header += "," + (name == "AirPumpOff_Humdity" ? "AirPumpOff_Humidity" : name);
  }
  EXPECT_EQ(lines[0], header);
  for (size_t i = 0; i < records.size(); ++i) {
    std::vector<std::string> fields = split(lines[i + 1], ',');
    ASSERT_EQ(fields.size(), 33u) << lines[i + 1];
    std::time_t t = static_cast<int32_t>(times[i]);
    char iso[32];
    std::strftime(iso, sizeof iso, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&t));
    EXPECT_EQ(fields[0], iso);
    for (size_t k = 0; k < 32; ++k) {
      bool present = k < records[i].size() && records[i][k] != 0x7FC00000;  // NaN is missing too
      EXPECT_EQ(fields[k + 1].empty(), !present) << i << " " << k;
      if (present) {
        EXPECT_EQ(bitsOf(std::strtof(fields[k + 1].c_str(), nullptr)), records[i][k]) << fields[k + 1];
      }
    }
  }
  // The time in seconds is the plain output's.
  std::vector<std::string> plain = split(run({dir_ + "/a.log"}).out, '\n');
  std::vector<std::string> epoch = split(run({"--format=csv", "--time=epoch", dir_ + "/a.log"}).out, '\n');
  for (size_t i = 0; i < records.size(); ++i)
    EXPECT_EQ(split(epoch[i + 1], ',')[0], plain[i].substr(0, plain[i].find_first_of(",\r")));
}

TEST_F(Cli, CsvCutsLongRecordsAndSaysWhereTheFirstWas) {
  std::string log = file("a.log", recordLine(1, {1}) + "\n" + recordLine(2, std::vector<uint32_t>(34, 1)) +
                                      recordLine(3, std::vector<uint32_t>(33, 1)) + recordLine(4, {1}));
  Result r = run({"--format=csv", "-s", "24", log, log});
  EXPECT_EQ(r.status, 0);
  for (const std::string& line : split(r.out, '\n')) {
    if (!line.empty()) {
      EXPECT_EQ(split(line, ',').size(), 33u) << line;
    }
  }
  EXPECT_EQ(r.err, "hexlog: 4 records had more than 32 readings and were cut to 32; the first: " + log + ":3\n");
}

// In the formats with named columns a comment is no record (no 1970 row),
// and a truncated reading is missing (not 2.4322e-41): counted and named.
TEST_F(Cli, CsvSkipsLinesThatAreNoRecordsAndLeavesTruncatedReadingsMissing) {
  std::string comment = "# operator: sensors cleaned and recalibrated against the reference gas; the log "
                        "continues after the swap of the battery pack, all times UTC\n";
  std::string truncated = recordLine(7, std::vector<uint32_t>(25, 0x41855A15));
  truncated = truncated.substr(0, 24 + 8 + 20 * 8 + 3);  // "418": a window cut short at the end of the file
  std::string log = file("a.log", recordLine(1, {0x3F800000}) + comment + comment + truncated);
  for (const char* format : {"--format=csv", "--format=nccsv"}) {
    Result r = run({format, log});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.find("1970-01-01T00:00:00Z"), std::string::npos) << format;
    EXPECT_EQ(r.err, "hexlog: 2 lines had no time of eight hexadecimal digits and were skipped; the first: " + log +
                         ":2\nhexlog: 1 reading had no eight hexadecimal digits and was written as missing; the first: " +
                         log + ":4\n");
  }
  std::vector<std::string> rows = split(run({"--format=csv", log}).out, '\n');
  ASSERT_EQ(rows.size(), 4u);
  std::vector<std::string> last = split(rows[2], ',');
  EXPECT_EQ(last[20], last[1]);
  EXPECT_EQ(last[21], "") << "the cut window is missing, not 0x418";
  // Plain text stays as it always was: every long line is decoded.
  EXPECT_EQ(split(run({log}).out, '\n').size(), 5u);
}

// Plain and verbose text in time order is the same text, records moved;
// a window keeps [from, to).
TEST_F(Cli, TextInTimeOrderAndInAWindow) {
  std::string forward, backward;
  for (uint32_t t = 0; t < 50; ++t) {
    forward += recordLine(1781395200 + 60 * t, {0x3F800000 + t});
    backward = recordLine(1781395200 + 60 * t, {0x3F800000 + t}) + backward;
  }
  std::string in = file("in.log", forward), out = file("out.log", backward);
  for (const char* mode : {"-s24", "-v"})
    EXPECT_EQ(run({mode, "--order=time", out}).out, run({mode, in}).out) << mode;
  std::vector<std::string> lines = split(run({"--from=@1781395260", "--to=2026-06-14T00:03:00Z", out}).out, '\n');
  EXPECT_EQ(lines, (std::vector<std::string>{"1781395320, 1.000\r", "1781395260, 1.000\r", ""}));
  // One end only, in both text forms: as if the log held just those records.
  std::string first = file("first.log", recordLine(1781395200, {0x3F800000}));
  std::string rest = file("rest.log", forward.substr(forward.find('\n') + 1));
  for (const char* mode : {"-s24", "-v"}) {
    EXPECT_EQ(run({mode, "--to=@1781395260", in}).out, run({mode, first}).out) << mode;
    EXPECT_EQ(run({mode, "--from=@1781395201", in}).out, run({mode, rest}).out) << mode;
  }
  for (std::vector<std::string> bad : std::vector<std::vector<std::string>>{
           {"--from=2026-13-01", in}, {"--to=yesterday", in}, {"--from=@10", "--to=@10", in},
           {"--order=input", "--format=netcdf", "--output=" + dir_ + "/x.nc", in}, {"--provenance", in},
           {"--order=sideways", in}}) {
    Result r = run(bad);
    EXPECT_EQ(r.status, 1) << bad[0];
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(r.out, "");
  }
}

// Ordering decodes files that can be read again a second time: by name, or
// for standard input on a file through a duplicate of it, which must leave
// where the first reading stands alone; with the run's own prefix. Both
// give what a FIFO, read once, gives.
TEST_F(Cli, TimeOrderReadsAnInputAgainAsItFirstReadIt) {
  std::string log;
  for (uint32_t t = 0; t < 400; ++t) {  // in order, then a second half from the start again
    uint32_t time = 1781395200 + 60 * (t < 300 ? t : t - 280);
    std::string line = recordLine(time, std::vector<uint32_t>(32, 0x3F800000 + t));
    log += "SN0042 AB " + line.substr(kClockPrefix.size());  // a prefix of 10
  }
  std::string path = file("a.log", log);
  std::string fifo = dir_ + "/fifo";
  env_ = {"SOURCE_DATE_EPOCH=1800000000"};
  auto same = [](std::string text, const std::string& name) {  // the history and notices name the input
    size_t history = text.find("*GLOBAL*,history,");
    if (history != std::string::npos)
      text.erase(history, text.find('\n', history) - history);
    for (size_t at; (at = text.find(" " + name + ":")) != std::string::npos;)
      text.replace(at, name.size() + 2, " INPUT:");
    return text;
  };
  for (const char* format : {"--format=csv", "--format=nccsv"}) {
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    pid_t writer = fork();
    if (writer == 0) {
      int fd = open(fifo.c_str(), O_WRONLY);
      _exit(fd >= 0 && write(fd, log.data(), log.size()) == static_cast<ssize_t>(log.size()) ? 0 : 1);
    }
    Result once = run({format, "--order=time", "-s", "10", fifo});
    waitpid(writer, nullptr, 0);
    unlink(fifo.c_str());
    ASSERT_EQ(once.status, 0) << once.err;
    Result named = run({format, "--order=time", "-s", "10", path});
    EXPECT_TRUE(same(named.out, path) == same(once.out, fifo)) << format << " by name";
    EXPECT_EQ(same(named.err, path), same(once.err, fifo));
    stdin_ = path;
    Result kept = run({format, "--order=time", "-s", "10", "-"});
    stdin_.clear();
    EXPECT_EQ(kept.status, 0) << kept.err;
    EXPECT_TRUE(same(kept.out, "-") == same(once.out, fifo)) << format << " through standard input";
    EXPECT_EQ(same(kept.err, "-"), same(once.err, fifo));
  }
}

TEST_F(Cli, FormatOptions) {
  std::string log = file("a.log", recordLine(1, {0x3F800000}));
  EXPECT_EQ(run({"--format=verbose", log}).out, run({"-v", log}).out);
  EXPECT_EQ(run({"-v", "--format=verbose", log}).out, run({"-v", log}).out);
  EXPECT_EQ(run({"--format=plain", log}).out, run({log}).out);
  // -s moves the time word in every format.
  std::string shifted = file("b.log", recordLine(1, {0x3F800000}).substr(4));
  std::string csv = run({"--format=csv", "--time=epoch", "-s", "20", shifted}).out;
  EXPECT_EQ(split(split(csv, '\n')[1], ',')[0], split(run({"-s", "20", shifted}).out, ',')[0]);
  for (std::vector<std::string> command : std::vector<std::vector<std::string>>{
           {"-v", "--format=csv", log}, {"--format=csv", "-v", log}, {"--format=plain", "-v", log},
           {"--format=xml", log}, {"--time=epoch", log}, {"--format=csv", "--time=local", log}}) {
    Result r = run(command);
    EXPECT_EQ(r.status, 1) << command[0] << command[1];
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  }
  EXPECT_NE(run({"--format=xml", log}).err.find("plain, verbose, csv, nccsv, netcdf and html"), std::string::npos);
}

TEST_F(Cli, FormatsRefuseOptionsThatAreNotTheirs) {
  std::string log = file("a.log", recordLine(1, {0x3F800000}));
  std::string meta = file("station.meta", "*GLOBAL*,title,M1\n");
  for (std::vector<std::string> command : std::vector<std::vector<std::string>>{
           {"--format=nccsv", "--time=epoch", log}, {"--format=csv", "--metadata=" + meta, log},
           {"--format=html", "--provenance", log}, {"--format=html", "--order=input", log}}) {
    Result r = run(command);
    EXPECT_EQ(r.status, 1) << command[0] << " " << command[1];
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  }
  // The default said aloud is no error.
  Result iso = run({"--format=csv", "--time=iso", log});
  EXPECT_EQ(iso.status, 0);
  EXPECT_EQ(iso.out, run({"--format=csv", log}).out);
  // netCDF only into a file, said in hexlog's own words before any library is asked.
  Result r = run({"--format=netcdf", log});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  EXPECT_EQ(r.err.rfind("hexlog: ", 0), 0u) << r.err;
  EXPECT_NE(r.err.find("--output"), std::string::npos) << r.err;
}

TEST_F(Cli, CsvMessagesGoToStandardError) {
  std::string log = file("a.log", recordLine(1, {0x3F800000}));
  std::string missing = dir_ + "/missing.log";
  Result r = run({"--format=csv", log, missing});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, run({"--format=csv", log}).out);
  EXPECT_EQ(r.err, "Cannot open file " + missing + ": " + std::strerror(ENOENT) + "\n");
}

TEST_F(Cli, TheExampleCsvIsTheExampleLogDecoded) {
  EXPECT_EQ(run({"--format=csv", HEXLOG_SOURCE_DIR "/examples/sample.log"}).out,
            slurp(HEXLOG_SOURCE_DIR "/examples/sample.csv"));
}

// ---- The README and the manual ---------------------------------------------------

// The README's line that holds `needle`, as a user would copy it.
std::string readmeLine(const std::string& needle) {
  std::istringstream readme(slurp(HEXLOG_SOURCE_DIR "/README.md"));
  for (std::string line; std::getline(readme, line);)
    if (line.find(needle) != std::string::npos)
      return line.substr(line.find_first_not_of(' '));
  return "";
}

TEST_F(Cli, ParallelRecipeCopesWithAwkwardNames) {
  std::string recipe = readmeLine("xargs -0");
  ASSERT_NE(recipe, "");
  ASSERT_EQ(mkdir((dir_ + "/logs").c_str(), 0755), 0);
  std::vector<std::string> names = {"plain.log", "a b.log", "it's.log", "$(touch pwned).log", "`touch pwned`.log"};
  for (const std::string& name : names)
    file("logs/" + name, lineOfLength(150 + name.size()) + "\n");
  std::string bin = HEXLOG_BINARY;
  std::string command = "cd '" + dir_ + "' && PATH='" + bin.substr(0, bin.rfind('/')) + "':$PATH && " + recipe;
  ASSERT_EQ(std::system(command.c_str()), 0) << recipe;
  EXPECT_FALSE(exists("pwned"));
  EXPECT_FALSE(exists("logs/pwned"));
  for (const std::string& name : names) {
    std::string decoded = run({dir_ + "/logs/" + name}).out;
    EXPECT_NE(decoded, "");
    EXPECT_EQ(slurp(dir_ + "/logs/" + name + ".txt"), decoded) << name;
  }
}

TEST_F(Cli, ManualListsTheNamesTheToolPrints) {
  std::vector<std::string> manual;
  std::istringstream page(slurp(HEXLOG_MANPAGE));
  bool inReadings = false;
  for (std::string line; std::getline(page, line);) {
    if (line.rfind(".SH", 0) == 0)
      inReadings = line == ".SH READINGS";
    size_t gap = line.find("  ", line.find_first_not_of(' '));
    if (inReadings && !line.empty() && line[0] != '.' && gap != std::string::npos)
      manual.push_back(line.substr(gap + 2));
  }
  std::vector<std::string> printed;
  std::istringstream out(run({"-v", file("a", lineOfLength(24 + 8 + 32 * 8) + "\r\n")}).out);
  for (std::string line; std::getline(out, line);) {
    size_t tab = line.find('\t');
    if (tab != std::string::npos)
      printed.push_back(line.substr(0, line.find_last_not_of(' ', tab - 1) + 1));
  }
  EXPECT_EQ(printed.size(), 32u);
  EXPECT_EQ(manual, printed);
}

}  // namespace
