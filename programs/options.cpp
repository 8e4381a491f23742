#include "options.hpp"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "messages.hpp"

const struct option kLongOptions[] = {
    {"help", no_argument, nullptr, kHelp},
    {"version", no_argument, nullptr, kVersion},
    {"output", required_argument, nullptr, kOutput},
    {"format", required_argument, nullptr, kFormat},
    {"time", required_argument, nullptr, kTime},
    {"metadata", required_argument, nullptr, kMetadata},
    {"order", required_argument, nullptr, kOrder},
    {"from", required_argument, nullptr, kFrom},
    {"to", required_argument, nullptr, kTo},
    {"summary", no_argument, nullptr, kSummary},
    {"provenance", no_argument, nullptr, kProvenance},
    {"force", no_argument, nullptr, kForce},
    {"qc", required_argument, nullptr, kQc},
    {"progress", no_argument, nullptr, kProgress},
    {"no-progress", no_argument, nullptr, kNoProgress},
    // For tests: the memory that ordering holds before it spills.
    {"sort-memory", required_argument, nullptr, kSortMemory},
    {nullptr, 0, nullptr, 0},
};
const char kLongHelp[] =
    "  --format=FORMAT plain (the default), verbose (as -v), csv, nccsv, netcdf, or html: a\n"
    "                  quick-look page of the run's counts and a plot of each kind of reading\n"
    "  --time=FORM     the csv time: iso (2026-06-14T00:00:20Z, the default) or epoch\n"
    "  --order=ORDER   input (the default for plain, verbose and csv) or time: sorted by time\n"
    "                  across all files, duplicates and conflicting records dropped (the default\n"
    "                  for nccsv; netcdf and html are always in time order)\n"
    "  --from=TIME     only records at TIME or later (2026-06-14, 2026-06-14T06:00:00Z, @SECONDS)\n"
    "  --to=TIME       only records before TIME\n"
    "  --provenance    csv, nccsv, netcdf: the file and line of each record\n"
    "  --metadata=FILE NCCSV metadata lines for nccsv, netcdf and html: the station's attributes\n"
    "  --qc=FILE       csv, nccsv, netcdf, html: QARTOD tests of the readings (YAML or JSON), their\n"
    "                  flags written beside them (marked on the plots of html)\n"
    "  --summary       a table of what became of each file's lines, on standard error\n"
    "  --progress      show how far a long run has got on standard error even where it is no\n"
    "                  terminal (by default only on one, and not where the records go too)\n"
    "  --no-progress   never show it\n"
    "  --output=FILE   write to FILE, replacing it only when the whole run succeeds\n"
    "  --force         let --output replace a file that holds record lines (a log)\n"
    "  --help          print this help and exit\n"
    "  --version       print the version and exit\n";

namespace {

// Indexed by hexlog::Format.
const char* const kFormatNames[] = {"plain", "verbose", "csv", "nccsv", "netcdf", "html"};
constexpr int kFormats = 6;

bool readTime(const char* option, const char* text, bool& has, int64_t& seconds) {
  if (text == nullptr)
    return true;
  if (!hexlog::parseTime(text, seconds))
    return failed("--%s=%s is no time: write 2026-06-14, 2026-06-14T06:00:00Z or @SECONDS (UTC)", option, text);
  has = true;
  return true;
}

// The length of the UTF-8 character at `p` (of `left` bytes), 0 if none
// is there.
size_t utf8Length(const unsigned char* p, size_t left) {
  size_t length = p[0] < 0x80 ? 1 : p[0] >= 0xC2 && p[0] < 0xE0 ? 2 : p[0] >= 0xE0 && p[0] < 0xF0 ? 3
                                 : p[0] >= 0xF0 && p[0] < 0xF5 ? 4 : 0;
  if (length == 0 || length > left)
    return 0;
  for (size_t i = 1; i < length; ++i)
    if ((p[i] & 0xC0) != 0x80)
      return 0;
  bool shortest = !(p[0] == 0xE0 && p[1] < 0xA0) && !(p[0] == 0xF0 && p[1] < 0x90);
  bool scalar = !(p[0] == 0xED && p[1] >= 0xA0) && !(p[0] == 0xF4 && p[1] >= 0x90);
  return shortest && scalar ? length : 0;
}

// An argument as the shell would take it back: bare when it holds only
// characters no shell reads specially, else quoted, and in $'...' with
// \xHH escapes when it holds control characters or bytes that are not
// UTF-8, so that the history stays text (and UTF-8, as NCCSV must be).
std::string shellWord(const std::string& argument) {
  bool bare = !argument.empty(), text = true;
  for (size_t at = 0; at < argument.size();) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(argument.data()) + at;
    size_t length = utf8Length(p, argument.size() - at);
    text = text && length > 0 && *p >= 0x20 && *p != 0x7F;
    bare = bare && length == 1 && (std::isalnum(*p) || std::strchr("_./=:@%+,-", *p) != nullptr);
    at += length > 0 ? length : 1;
  }
  if (bare)
    return argument;
  std::string quoted;
  if (text) {
    for (char c : argument)
      quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return "'" + quoted + "'";
  }
  for (size_t at = 0; at < argument.size();) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(argument.data()) + at;
    size_t length = utf8Length(p, argument.size() - at);
    if (length == 0 || *p < 0x20 || *p == 0x7F) {
      char escape[5];
      std::snprintf(escape, sizeof escape, "\\x%02X", *p);
      quoted += escape;
      ++at;
    } else {
      quoted += *p == '\'' || *p == '\\' ? std::string("\\") + static_cast<char>(*p)
                                          : argument.substr(at, length);
      at += length;
    }
  }
  return "$'" + quoted + "'";
}

}  // namespace

bool chooseSettings(const Options& options, bool verbose, hexlog::Settings& settings) {
  using hexlog::Format;
  Format format = verbose ? Format::kVerbose : Format::kPlain;
  if (options.format != nullptr) {
    int known = 0;
    while (known < kFormats && std::strcmp(options.format, kFormatNames[known]) != 0)
      ++known;
    if (known == kFormats)
      return failed("unknown format '%s'; the formats are plain, verbose, csv, nccsv, netcdf and html", options.format);
    if (verbose && known != static_cast<int>(Format::kVerbose))
      return failed("-v asks for the verbose format, not --format=%s", options.format);
    format = static_cast<Format>(known);
  }
  settings.format = format;
  bool text = format == Format::kPlain || format == Format::kVerbose;
  if (options.time != nullptr) {
    if (format != Format::kCsv)
      return failed("--time=%s is for --format=csv only", options.time);
    if (std::strcmp(options.time, "epoch") != 0 && std::strcmp(options.time, "iso") != 0)
      return failed("--time is iso or epoch, not '%s'", options.time);
    settings.epochTime = std::strcmp(options.time, "epoch") == 0;
  }
  if (options.qc != nullptr) {
    if (text)
      return failed("--qc is for --format=csv, nccsv, netcdf and html");
    settings.qc = options.qc;
  }
  if (options.metadata != nullptr) {
    // csv takes the station's position for the location test, and nothing more.
    if (format != Format::kNccsv && format != Format::kNetcdf && format != Format::kHtml && options.qc == nullptr)
      return failed("--metadata is for --format=nccsv, netcdf and html (and csv with --qc)");
    settings.metadata = options.metadata;
  }
  if (options.order != nullptr) {
    if (std::strcmp(options.order, "time") == 0)
      settings.order = hexlog::Order::kTime;
    else if (std::strcmp(options.order, "input") == 0)
      settings.order = hexlog::Order::kInput;
    else
      return failed("--order is time or input, not '%s'", options.order);
    if (format == Format::kNetcdf && settings.order == hexlog::Order::kInput)
      return failed("--format=netcdf is always in time order (its time is a CF coordinate variable); "
                    "drop --order=input");
    if (format == Format::kHtml && settings.order == hexlog::Order::kInput)
      return failed("--format=html plots the records in time order; drop --order=input");
    if (options.qc != nullptr && settings.order == hexlog::Order::kInput)
      return failed("--qc tests each reading's series in time order; drop --order=input");
  }
  if (!readTime("from", options.from, settings.hasFrom, settings.from) ||
      !readTime("to", options.to, settings.hasTo, settings.to))
    return false;
  if (settings.hasFrom && settings.hasTo && settings.from >= settings.to)
    return failed("--from=%s is not before --to=%s: no record could be written", options.from, options.to);
  if (options.provenance) {
    if (text || format == Format::kHtml)
      return failed("--provenance is for --format=csv, nccsv and netcdf");
    settings.provenance = true;
  }
  if (options.sortMemory != nullptr)
    settings.memory = std::strtoull(options.sortMemory, nullptr, 10);
  const char* temporary = std::getenv("TMPDIR");
  settings.temporaryDirectory = temporary != nullptr ? temporary : "";
  // Binary data never goes to a terminal or a pipe, and a file half
  // written is no file: netCDF is written only through --output.
  if (format == Format::kNetcdf && options.output == nullptr)
    return failed("--format=netcdf writes a binary file: name it with --output=FILE");
  return true;
}

std::string commandLine(int argc, char** argv) {
  std::string text = "hexlog";
  for (int i = 1; i < argc; ++i)
    text += " " + shellWord(argv[i]);
  return text;
}
