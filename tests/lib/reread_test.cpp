// The second reading of an input: records the stage let go of, decoded
// again from their files.
#include <sys/stat.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "folder.hpp"
#include "hexlog/hexlog.hpp"
#include "logs.hpp"

using namespace hexlog;

namespace {

// Ordered runs of the library over files on disk: input in order is let go
// by the stage and decoded again from the files, never spilled, so it needs
// no temporary directory. csv and NCCSV (whose attributes are then computed
// as the records first come) are those of the same files read from pipes,
// which cannot be read again, whatever the budget and wherever the order
// breaks; so are the counts.
class Reread : public FolderTest {
 protected:
  // `files` in time order, or the failure's text.
  std::string decode(Format format, const std::vector<std::string>& files, size_t memory, const std::string& temporary,
                     bool pipes = false, const std::function<void(size_t)>& between = nullptr,
                     Order order = Order::kTime) {
    Settings settings;
    settings.format = format;
    settings.order = order;
    settings.memory = memory;
    settings.temporaryDirectory = temporary;
    hexlog::Run run(settings);
    FILE* out = std::tmpfile();
    std::vector<char> buf(64 * 1024);
    bool ok = run.start(fileno(out));
    for (size_t i = 0; ok && i < files.size(); ++i) {
      if (between)
        between(i);
      FILE* in = pipes ? popen(("cat '" + files[i] + "'").c_str(), "r") : std::fopen(files[i].c_str(), "r");
      ok = run.addInput(fileno(in), files[i], buf.data(), buf.size());
      pipes ? pclose(in) : std::fclose(in);
    }
    if (ok && between)
      between(files.size());
    ok = ok && run.finish();
    std::string text;
    std::rewind(out);
    for (int c; (c = std::fgetc(out)) != EOF;)
      text += static_cast<char>(c);
    std::fclose(out);
    // And what the run counted, which must not depend on the path either.
    FileCounts c = run.tally().total();
    for (uint64_t n : {c.written, c.tooShort, c.notRecords, c.cut, c.missing, c.duplicates, c.conflicts, c.outside})
      text += " " + std::to_string(n);
    return ok ? text : "failed: " + run.failure().text;
  }
};

TEST_F(Reread, InputInOrderIsDecodedAgainNotSpilled) {
  std::string log = stationLog(400, 1);
  std::string first = file("a.log", log);
  // In order, with a duplicate and a conflict of its last time.
  size_t end = log.find('\n', log.size() / 2) + 1, last = log.rfind('\n', end - 2) + 1;
  std::string again = log.substr(last, end - last);
  std::string twice = file("twice.log", log.substr(0, end) + again + again.substr(0, 40) + "7F7FFFFF" + again.substr(48));
  std::string other = stationLog(400, 2);
  std::string late = file("b.log", other.substr(other.size() / 2));  // its times are among a.log's
  for (Format format : {Format::kCsv, Format::kNccsv}) {
    for (const auto& files : std::vector<std::vector<std::string>>{{first}, {twice}, {first, first}, {first, late}}) {
      std::string piped = decode(format, files, size_t{1} << 30, dir_, true);
      ASSERT_NE(piped.rfind("failed:", 0), 0u) << piped;
      for (size_t memory : {size_t{1} << 30, size_t{20000}, size_t{3000}}) {
        bool inOrder = files.size() == 1;
        EXPECT_EQ(decode(format, files, memory, inOrder ? "/nonexistent" : dir_), piped) << files.size() << " " << memory;
      }
    }
  }
  // NCCSV in input order holds every record too: in memory or spilled
  // from a pipe, let go and read again from a file, the same.
  std::string piped = decode(Format::kNccsv, {first, late}, size_t{1} << 30, dir_, true, nullptr, Order::kInput);
  for (size_t memory : {size_t{1} << 30, size_t{3000}})
    EXPECT_EQ(decode(Format::kNccsv, {first, late}, memory, dir_, true, nullptr, Order::kInput), piped) << memory;
  EXPECT_EQ(decode(Format::kNccsv, {first, late}, size_t{1} << 30, "/nonexistent", false, nullptr, Order::kInput),
            piped);
}

// Three days in order, each let go and read again at the end. Whatever
// changes in the bytes of an input's records between the two readings, even
// an edit that keeps every sum (+d, -2d, +d to one reading of three records
// running) or decodes to the same values (a digit's case), fails the run,
// naming that input; lines added at an input's end or a last line finished
// meanwhile change nothing.
TEST_F(Reread, AnInputChangedBetweenTheReadingsIsNamed) {
  std::string log = stationLog(300, 1);
  std::vector<std::string> days;
  for (size_t day = 0; day < 3; ++day)
    days.push_back(log.substr(0, 15) + log.substr(15 + day * 100 * 290, 100 * 290));
  // Record lines: "SN0042 2026-06-14 00:00 " (24), the time (8), readings of 8.
  auto edited = [](std::string text, int how) {
    for (size_t at = text.find("SN0042"), r = 0; at != std::string::npos; at = text.find("SN0042", at + 1), ++r) {
      size_t lane = at + 24 + 8 + 8 * 3;
      if (how == 0) {
        uint32_t word = static_cast<uint32_t>(std::stoul(text.substr(lane, 8), nullptr, 16));
        word += static_cast<uint32_t>(r % 3 == 1 ? -2 : 1);
        text.replace(lane, 8, hex8(word));
      } else if (how == 1 && r == 50) {
        text.replace(at + 24, 8 * 33, lowerCase(text.substr(at + 24, 8 * 33)));
        break;
      }
    }
    if (how == 4)  // the header line as lines of its own: every record's line moves on, no record's text
      text.replace(0, 14, "#\n#\n#\n#\n#\n#\n#\n");
    return how == 2 ? text.substr(0, text.size() - 300) : text;  // 2: shortened
  };
  auto paths = [&] {
    std::vector<std::string> written;
    for (size_t day = 0; day < 3; ++day)
      written.push_back(file("day" + std::to_string(day) + ".log", days[day]));
    return written;
  };
  for (Format format : {Format::kCsv, Format::kNccsv}) {
    std::string whole = decode(format, paths(), size_t{1} << 30, dir_, true);
    for (size_t day = 0; day < 3; ++day) {
      for (int how : {0, 1, 2, 3, 4}) {
        std::vector<std::string> files = paths();
        std::string text = decode(format, files, size_t{1} << 30, "/nonexistent", false, [&](size_t i) {
          if (i != 3)
            return;
          if (how != 3) {
            file("day" + std::to_string(day) + ".log", edited(days[day], how));
          } else {  // a FIFO in its place: found out, never waited on
            unlink(files[day].c_str());
            mkfifo(files[day].c_str(), 0600);
          }
        });
        std::string said = files[day] + (how == 3 ? " was replaced while it was read" : " changed while it was read");
        EXPECT_EQ(text.substr(0, 200), "failed: " + said) << day << " " << how;
      }
      // Grown at the end, or its last line finished: as it was when read.
      std::vector<std::string> files = paths();
      std::string unfinished = days[2].substr(0, days[2].size() - 100);
      files[2] = file("day2.log", unfinished);
      std::string expected = decode(format, {files[0], files[1], files[2]}, size_t{1} << 30, dir_, true);
      EXPECT_TRUE(decode(format, files, size_t{1} << 30, "/nonexistent", false, [&](size_t i) {
                    if (i == 3)
                      for (size_t grown = 0; grown < 3; ++grown)
                        file("day" + std::to_string(grown) + ".log", days[grown] + days[1]);
                  }) == expected);
    }
    EXPECT_NE(whole.rfind("failed:", 0), 0u);
  }
}

}  // namespace
