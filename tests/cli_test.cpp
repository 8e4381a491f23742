// The built tool, run as a user runs it: exact bytes out, exact exit status.
#include "tool.hpp"

namespace {

using Cli = ToolTest;

const std::string kPrefix = "2026/12/08 01:02:03 ABC ";  // 24 characters

// A record line of exactly `length` characters before its line end.
std::string lineOfLength(size_t length) {
  std::string line = kPrefix + "00000001";
  while (line.size() < length)
    line += "3F800000";
  return line.substr(0, length);
}

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

TEST_F(Cli, OptionsAfterAFileNameAreStillRead) {
  std::string log = file("a.log", kPrefix + "00000000" + std::string(110, 'z') + "\n");
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

TEST_F(Cli, FilesAreDecodedInOrder) {
  std::string a = file("a.log", kPrefix + "00000001" + std::string(100, 'z') + "\n");
  std::string b = file("b.log", kPrefix + "00000002" + std::string(100, 'z') + "\n");
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

TEST_F(Cli, NoRecordsNoOutputToALostStandardOutputStillSucceeds) {
  std::string a = file("a.log", "header\n");
  EXPECT_EQ(run({a}, Stdout::DevFull).status, 0);
}

// ---- Which lines are records -------------------------------------------------

TEST_F(Cli, WorkedRecordInBothModes) {
  std::string log = file("a.log", kPrefix + "000000003F800000BF800000" + std::string(100, ' ') + "\n");
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

// ---- The manual ---------------------------------------------------------------

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
