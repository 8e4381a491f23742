// The words of the progress line, shared by the tool and the Python module.
#include <cmath>
#include <cstdio>

#include "hexlog/hexlog.hpp"

namespace hexlog {

namespace {

// Bytes in decimal units to three figures, `done` in the unit of `total`
// where it is known: "812 B", "12.3 kB", "316 of 580 MB", "0.40 of 1.23 GB".
std::string sizeText(uint64_t done, uint64_t total) {
  static const char* const kUnits[] = {"B", "kB", "MB", "GB", "TB", "PB", "EB"};
  double scale = 1;
  int unit = 0;
  for (double value = static_cast<double>(total > 0 ? total : done); value >= 999.5 && unit < 6; value /= 1000) {
    scale *= 1000;
    ++unit;
  }
  double value = static_cast<double>(total > 0 ? total : done) / scale;
  int decimals = unit == 0 || value >= 99.95 ? 0 : value >= 9.995 ? 1 : 2;
  char text[64];
  if (total > 0)
    std::snprintf(text, sizeof text, "%.*f of %.*f %s", decimals, static_cast<double>(done) / scale, decimals, value,
                  kUnits[unit]);
  else
    std::snprintf(text, sizeof text, "%.*f %s", decimals, value, kUnits[unit]);
  return text;
}

// "0:04", "12:30", "1:02:03": whole seconds, rounded up, so that a run
// still going never says 0:00 until it is nearly done.
std::string timeText(double seconds) {
  unsigned long long whole = seconds < 1e9 ? static_cast<unsigned long long>(std::ceil(seconds)) : 999999999;
  char text[32];
  if (whole >= 3600)
    std::snprintf(text, sizeof text, "%llu:%02llu:%02llu", whole / 3600, whole / 60 % 60, whole % 60);
  else
    std::snprintf(text, sizeof text, "%llu:%02llu", whole / 60, whole % 60);
  return text;
}

// The time left of a phase that did `done` of `total` in `seconds`, as
// ", 0:04 left", or nothing where it cannot be told. The first second of
// a phase is no rate to go by: a pass starts with its records' first
// block, or a merge with its reading of each spilled run.
std::string timeLeft(uint64_t done, uint64_t total, double seconds) {
  if (done == 0 || total == 0 || !(seconds >= 1))
    return "";
  double left = done >= total ? 0 : seconds * static_cast<double>(total - done) / static_cast<double>(done);
  return ", " + timeText(left) + " left";
}

}  // namespace

std::string progressLine(const Progress& progress, uint32_t inputs, uint64_t bytes, double seconds) {
  if (progress.phase != Progress::Phase::kReading)
    return std::string(progress.phase == Progress::Phase::kFirstPass ? "first pass over " : "writing ") +
           std::to_string(progress.done) + " of " + std::to_string(progress.total) +
           (progress.total == 1 ? " record" : " records") + timeLeft(progress.done, progress.total, seconds);
  return std::to_string(progress.inputsDone) + " of " + std::to_string(inputs) +
         (inputs == 1 ? " file read, " : " files read, ") + sizeText(progress.bytes, bytes) + ", " +
         std::to_string(progress.records) + (progress.records == 1 ? " record" : " records") +
         (bytes > 0 ? timeLeft(progress.bytes, bytes, seconds) : "");
}

}  // namespace hexlog
