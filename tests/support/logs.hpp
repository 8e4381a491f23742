// The logs the tests decode, from one place: record lines of given words,
// and whole logs of four kinds, each made from a count and a seed.
//
//   stationLog(records, seed)  clean records in time order, as a station writes them
//   variedLog(records, seed)   every kind of reading, short and long records, random
//                              times; with the words the archive formats keep of them
//   noisyLog(lines, seed)      junk in some windows, short and long records, both line
//                              ends, times that repeat
//   hostileLog(lines, seed)    anything a file can hold: random bytes, NULs, over-long
//                              lines, indentation, every line end (LogMaker, which also
//                              makes single hostile records from one stream)
//
// Tests rely on what these give (a station log's header line is 15 bytes
// and each record line 290; a seed always gives the same records): change a
// generator and the tests built on it test something else.
#pragma once

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "bits.hpp"

// Prefixes of 24 characters, the tool's default -s.
inline const std::string kStationPrefix = "SN0042 2026-06-14 00:00 ";
inline const std::string kClockPrefix = "2026/12/08 01:02:03 ABC ";

inline std::string lowerCase(std::string text) {
  for (char& c : text)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// ---- Record lines of given words ------------------------------------------

// A record text: kClockPrefix, the time word and the value words in upper
// case, and a CR LF line end.
inline std::string recordText(uint32_t time, const std::vector<uint32_t>& words) {
  std::string text = kClockPrefix + hex8(time);
  for (uint32_t word : words)
    text += hex8(word);
  return text + "\r\n";
}

// recordText padded with blanks to at least 140 characters before its line
// end, so that the tool takes it for a record however few its words.
inline std::string recordLine(uint32_t time, const std::vector<uint32_t>& words) {
  std::string line = recordText(time, words);
  line.insert(line.size() - 2, std::string(line.size() < 142 ? 142 - line.size() : 0, ' '));
  return line;
}

// A record line of exactly `length` characters before its line end: time 1,
// then readings of 1.0, the last cut short where the length ends.
inline std::string lineOfLength(size_t length) {
  std::string line = kClockPrefix + "00000001";
  while (line.size() < length)
    line += "3F800000";
  return line.substr(0, length);
}

// A record of the sample station, 32 readings.
inline const std::string kSampleRecord =
    "SN0042 2026-06-14 00:00 6A2DEF1443C61A844186284542CABCA543C5C35B41855A1542CAA2D242C26604"
    "3C8C57004187A1CB42CAB59D3D28B00041869E3542CAA2D243CDA48A41850E8042CAC1BE43CD5A1A41837A1542"
    "CAA2D2429F6FA942CD6F8543FC1249418889B542CAAD463FF58A8A4100E1624100CF2C410104B64100AA8C410114"
    "4D41012A1341BDFDC1";

// kSampleRecord over and over, cut to exactly `length` characters: past the
// first record, its prefix is junk in the windows.
inline std::string sampleLine(size_t length) {
  std::string line;
  while (line.size() < length)
    line += kSampleRecord;
  return line.substr(0, length);
}

// ---- Whole logs ----------------------------------------------------------------

// `records` records of 32 readings of any bits, one every 20 s from
// 2026-06-14T00:00:20Z, behind a header line.
inline std::string stationLog(int records, unsigned seed = 7) {
  std::mt19937 rng(seed);
  std::string log = "# station log\n";
  for (int r = 0; r < records; ++r) {
    log += kStationPrefix + hex8(1781395220u + 20u * static_cast<unsigned>(r));
    for (int k = 0; k < 32; ++k)
      log += hex8(static_cast<uint32_t>(rng()), true);
    log += "\r\n";
  }
  return log;
}

// A log and what its records hold.
struct Log {
  std::string text;
  std::vector<int32_t> times;
  std::vector<std::vector<uint32_t>> words;  // as the formats keep them: at most 32
};

// `records` records of random times with every kind of reading (NaN
// payloads, infinities, zeros, subnormals), some short of readings and some
// with too many, behind a header line.
inline Log variedLog(int records, unsigned seed) {
  std::mt19937 rng(seed);
  Log log;
  log.text = "# header\n";
  for (int r = 0; r < records; ++r) {
    int32_t time = static_cast<int32_t>(rng());
    size_t count = r % 7 == 3 ? rng() % 32 : r % 11 == 5 ? 33 + rng() % 5 : 32;
    std::string line = kStationPrefix + hex8(static_cast<uint32_t>(time));
    std::vector<uint32_t> words;
    for (size_t k = 0; k < count; ++k) {
      uint32_t word = static_cast<uint32_t>(rng());
      if (k % 5 == 0)
        word = (word & 0x807FFFFF) | 0x7F800000;  // infinities and NaNs with payloads
      line += hex8(word, true);
      if (k < 32)
        words.push_back(word);
    }
    log.text += line + std::string(line.size() < 140 ? 140 - line.size() : 0, ' ') + "\r\n";
    log.times.push_back(time);
    log.words.push_back(words);
  }
  return log;
}

// The log as the archive formats hold it: sorted by time, stably, with only
// the first record of each time.
inline Log inTimeOrder(const Log& log) {
  std::vector<size_t> order(log.times.size());
  for (size_t i = 0; i < order.size(); ++i)
    order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return log.times[a] < log.times[b]; });
  Log sorted;
  for (size_t i : order) {
    if (!sorted.times.empty() && sorted.times.back() == log.times[i])
      continue;
    sorted.times.push_back(log.times[i]);
    sorted.words.push_back(log.words[i]);
  }
  return sorted;
}

// `lines` records behind a header line, their times within 5000 s of
// 2026-06-14 so that many repeat; a tenth short or long of readings, some
// windows with junk in them, CR LF or LF.
inline std::string noisyLog(int lines, unsigned seed) {
  std::mt19937 rng(seed);
  std::string log = "# header\n";
  for (int line = 0; line < lines; ++line) {
    std::string text = kStationPrefix + hex8(static_cast<uint32_t>(1781395200u + rng() % 5000));
    size_t count = rng() % 10 == 0 ? rng() % 40 : 32;
    for (size_t k = 0; k < count; ++k) {
      std::string word = hex8(static_cast<uint32_t>(rng()), true);
      if (rng() % 50 == 0)
        word[rng() % 8] = "x -zG"[rng() % 5];
      text += word;
    }
    log += text + (rng() % 2 ? "\r\n" : "\n");
  }
  return log;
}

// Log text with everything that can go wrong in it, from one stream of
// random numbers (`rng`, which a test may draw on between the pieces).
class LogMaker {
 public:
  explicit LogMaker(unsigned seed) : rng(seed) {}

  // Well-formed records in either case, junk inside windows, NULs,
  // indentation, every line end, lines far over 1023 characters, blank
  // lines and random bytes.
  std::string file(int lines) {
    std::string out;
    for (int i = 0; i < lines; ++i)
      out += line();
    if (rng() % 3 == 0 && !out.empty() && out.back() == '\n')
      out.pop_back();  // no line end at the end of the file
    return out;
  }

  // A record text of a time and `values` words, some in lower case, with
  // junk, or with a 0x in them.
  std::string recordBody(size_t values) {
    std::string out = kStationPrefix + word();
    for (size_t k = 0; k < values; ++k)
      out += word();
    return out;
  }

  // A record text of `windows` windows after the prefix, each clean or, now
  // and then, with a byte of any value, a sign, a 0x prefix or blanks in it;
  // `cut` characters shorter (modulo its windows' length), with a CR LF or
  // no line end.
  std::string junkRecord(size_t windows, size_t cut) {
    std::string text = kStationPrefix;
    for (size_t w = 0; w < windows; ++w) {
      std::string window = hex8(static_cast<uint32_t>(rng()));
      switch (rng() % 24) {
        case 0: window[rng() % 8] = static_cast<char>(rng()); break;
        case 1: window[0] = "+- \t"[rng() % 4]; break;
        case 2: window = "0x" + window.substr(2); break;
        case 3: window = lowerCase(window); break;
        default: break;
      }
      text += window;
    }
    text.resize(text.size() - cut % (text.size() - 24 + 1));
    return text + (rng() % 2 ? "\r\n" : "");
  }

  std::mt19937 rng;

 private:
  uint32_t pick(uint32_t n) { return static_cast<uint32_t>(rng() % n); }

  std::string word() {
    std::string w = hex8(static_cast<uint32_t>(rng()));
    if (pick(3) == 0)
      w = lowerCase(w);
    if (pick(40) == 0)
      w[pick(8)] = "x -+\t\0zG"[pick(8)];
    if (pick(80) == 0)
      w = std::string("0x") + w.substr(2);
    return w;
  }

  std::string line() {
    std::string body;
    switch (pick(8)) {
      case 0:
        body = std::string(pick(200), "ab \t"[pick(4)]);
        break;
      case 1:
        for (uint32_t n = pick(300); n > 0; --n)
          body += static_cast<char>(pick(256));
        break;
      case 2:
        body = recordBody(pick(200));  // often over 1023 characters
        break;
      default:
        body = recordBody(pick(3) == 0 ? pick(40) : 32);
        break;
    }
    if (pick(10) == 0)
      body.insert(0, std::string(pick(6), " \t\r\v\f"[pick(5)]));
    if (pick(20) == 0 && !body.empty())
      body[pick(static_cast<uint32_t>(body.size()))] = '\0';
    static const char* const ends[] = {"\r\n", "\n", "\r\r\n", "\n\n"};
    return body + ends[pick(4)];
  }
};

// LogMaker's file of `lines` lines.
inline std::string hostileLog(int lines, unsigned seed) {
  return LogMaker(seed).file(lines);
}
