// hexlog: decodes the hexadecimal record lines of instrument log files.
#include <fcntl.h>
#include <getopt.h>
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "csv.hpp"
#include "metadata.hpp"
#include "nccsv.hpp"
#include "netcdf.hpp"
#include "output.hpp"
#include "record.hpp"
#include "scan.hpp"

// The input block: scanFile cuts it into the line pieces fgets would give.
static char buf[64 * 1024];

namespace {

// Long options only: a new short option would change how existing command
// lines are read ("-s -x" and "-vx" included).
enum LongOption { kHelp = 256, kVersion, kOutput, kFormat, kTime, kMetadata };
const struct option kLongOptions[] = {
    {"help", no_argument, nullptr, kHelp},
    {"version", no_argument, nullptr, kVersion},
    {"output", required_argument, nullptr, kOutput},
    {"format", required_argument, nullptr, kFormat},
    {"time", required_argument, nullptr, kTime},
    {"metadata", required_argument, nullptr, kMetadata},
    {nullptr, 0, nullptr, 0},
};
const char* const kLongHelp[] = {
    "  --format=FORMAT plain (the default), verbose (as -v), csv, nccsv or netcdf\n",
    "  --time=FORM     the csv time: iso (2026-06-14T00:00:20Z, the default) or epoch\n",
    "  --metadata=FILE NCCSV metadata lines for nccsv and netcdf: the station's attributes\n",
    "  --output=FILE   write to FILE, replacing it only when the whole run succeeds\n",
    "  --help          print this help and exit\n",
    "  --version       print the version and exit\n",
};

enum class Format { kPlain, kVerbose, kCsv, kNccsv, kNetcdf };
const char* const kFormatNames[] = {"plain", "verbose", "csv", "nccsv", "netcdf"};
constexpr int kFormats = 5;

// The long options' values, as given.
struct Settings {
  const char* output = nullptr;
  const char* format = nullptr;
  const char* time = nullptr;
  const char* metadata = nullptr;
};

// Where "Cannot open file" and its like go: standard output, as the records
// do, unless the records go somewhere else.
bool messagesToStderr = false;

void print(const char* text) {
  outputText(text, std::strlen(text));
}

void printUsage(const char* name) {
  print("Usage:  ");
  print(name);
  print(" [-s <startChars>] [-v] <file name>\n"
        "  -s <startChars> number of beginning chars to throw away (default 24)\n"
        "  -v verbose mode (identify each field)\n");
}

int fileFailed(const char* what, const char* name) {
  if (messagesToStderr) {
    flushOutput();  // what came before the failure, ahead of its message
    discardOutputFile();
    std::fprintf(stderr, "%s%s\n", what, name);
    return 1;
  }
  print(what);
  print(name);
  print("\n");
  flushOutput();
  return 1;
}

// What getopt itself would have said of a short option; opterr is off so
// that long options get messages of their own.
void shortOptionMessage(const char* name, int option) {
  if (option == 's')
    std::fprintf(stderr, "%s: option requires an argument -- '%c'\n", name, option);
  else
    std::fprintf(stderr, "%s: invalid option -- '%c'\n", name, option);
}

int longOptionFailed(const char* argument, int option) {
  size_t length = std::strcspn(argument, "=");
  const char* problem = "is not an option of hexlog";
  if (option == kOutput || option == kFormat || option == kTime || option == kMetadata)
    problem = "needs a value (--name=VALUE)";
  else if (option != 0)
    problem = "takes no value";
  else {
    int matches = 0;
    for (const struct option* o = kLongOptions; o->name != nullptr; ++o)
      matches += length > 2 && std::strncmp(o->name, argument + 2, length - 2) == 0;
    if (matches > 1)
      problem = "is ambiguous";
  }
  std::fprintf(stderr, "hexlog: '%.*s' %s; see 'hexlog --help'\n", static_cast<int>(length), argument,
               problem);
  return 1;
}

// A bad combination of options: one line, before anything is read.
template <typename... Values>
bool failed(const char* format, Values... values) {
  std::fprintf(stderr, "hexlog: ");
  std::fprintf(stderr, format, values...);
  std::fprintf(stderr, "\n");
  return false;
}

// The format the options ask for, and the settings that go with it;
// false, said why, for a combination that cannot be.
bool chooseFormat(const Settings& settings, Format& format) {
  format = verbose ? Format::kVerbose : Format::kPlain;
  if (settings.format != nullptr) {
    int known = 0;
    while (known < kFormats && std::strcmp(settings.format, kFormatNames[known]) != 0)
      ++known;
    if (known == kFormats)
      return failed("unknown format '%s'; the formats are plain, verbose, csv, nccsv and netcdf", settings.format);
    if (verbose && known != static_cast<int>(Format::kVerbose))
      return failed("-v asks for the verbose format, not --format=%s", settings.format);
    format = static_cast<Format>(known);
  }
  if (settings.time != nullptr) {
    if (format != Format::kCsv)
      return failed("--time=%s is for --format=csv only", settings.time);
    if (std::strcmp(settings.time, "epoch") != 0 && std::strcmp(settings.time, "iso") != 0)
      return failed("--time is iso or epoch, not '%s'", settings.time);
    csvEpochTime = std::strcmp(settings.time, "epoch") == 0;
  }
  if (settings.metadata != nullptr && format != Format::kNccsv && format != Format::kNetcdf)
    return failed("--metadata is for --format=nccsv and --format=netcdf");
  // Binary data never goes to a terminal or a pipe, and a file half
  // written is no file: netCDF is written only through --output.
  if (format == Format::kNetcdf && settings.output == nullptr)
    return failed("--format=netcdf writes a binary file: name it with --output=FILE");
  verbose = format == Format::kVerbose;
  return true;
}

// Everything that can fail before the first record is checked here, and
// nothing is written before it is: the metadata file, the netCDF library,
// the output file. Then the format's writer and its header.
bool startOutput(const Settings& settings, Format format) {
  static Metadata metadata;
  std::string error;
  if (settings.metadata != nullptr && !readMetadata(settings.metadata, metadata, error)) {
    std::fputs(("hexlog: " + error + "\n").c_str(), stderr);
    return false;
  }
  if (format == Format::kNetcdf && !loadNetcdf())
    return false;
  if (settings.output != nullptr && !startOutputFile(settings.output))
    return false;
  // Unless standard output carries the plain or verbose text, a message
  // must not land in the data.
  messagesToStderr = settings.output != nullptr || (format != Format::kPlain && format != Format::kVerbose);
  switch (format) {
    case Format::kCsv:
      recordWriter = writeCsvRecord;
      writeCsvHeader();
      break;
    case Format::kNccsv:
      recordWriter = writeNccsvRecord;
      writeNccsvHeader(metadata);
      break;
    case Format::kNetcdf:
      recordWriter = writeNetcdfRecord;
      startNetcdf(outputFileName(), metadata);
      break;
    default:
      break;
  }
  return true;
}

void finishOutput(const Settings& settings, Format format) {
  if (format == Format::kNccsv)
    writeNccsvEnd();
  if (format == Format::kNetcdf)
    finishNetcdf();
  if (settings.output != nullptr)
    finishOutputFile();
  else
    flushOutput();
  if (cutRecords > 0)
    std::fprintf(stderr, "hexlog: %llu record%s had more than %d readings and %s cut to %d; the first: %s:%llu\n",
                 cutRecords, cutRecords == 1 ? "" : "s", kFieldCount, cutRecords == 1 ? "was" : "were",
                 kFieldCount, firstCutName, firstCutLine);
}

// atoi's syntax, but saturated to 32 bits: atoi itself is undefined once the
// value no longer fits, and any such prefix lies outside every record anyway.
int32_t parseStartChars(const char* s) {
  while (std::isspace(static_cast<unsigned char>(*s)))
    ++s;
  bool negative = *s == '-';
  if (*s == '+' || *s == '-')
    ++s;
  int64_t value = 0;
  for (; std::isdigit(static_cast<unsigned char>(*s)) && value <= INT32_MAX; ++s)
    value = value * 10 + (*s - '0');
  if (negative)
    return value > -static_cast<int64_t>(INT32_MIN) ? INT32_MIN : static_cast<int32_t>(-value);
  return value > INT32_MAX ? INT32_MAX : static_cast<int32_t>(value);
}

}  // namespace

int main(int argc, char** argv) {
  // Linux hands a program started with no arguments at all one empty
  // argument 0; either way there is no name to show.
  const char* name = argc > 0 && argv[0] != nullptr && argv[0][0] != '\0' ? argv[0] : "hexlog";
  if (argc <= 1) {
    printUsage(name);
    flushOutput();
    return 1;
  }

  Settings settings;
  opterr = 0;
  int option;
  while ((option = getopt_long(argc, argv, "s:v", kLongOptions, nullptr)) != -1) {
    switch (option) {
      case 's':
        startChars = parseStartChars(optarg);
        break;
      case 'v':
        verbose = true;
        break;
      case kHelp:
        printUsage(name);
        for (const char* line : kLongHelp)
          print(line);
        flushOutput();
        return 0;
      case kVersion:
        print("hexlog " HEXLOG_VERSION "\n");
        flushOutput();
        return 0;
      case kOutput:
        settings.output = optarg;
        break;
      case kFormat:
        settings.format = optarg;
        break;
      case kTime:
        settings.time = optarg;
        break;
      case kMetadata:
        settings.metadata = optarg;
        break;
      default:  // a short option is reported and passed over, a long one ends the run
        if (optopt > 0 && optopt < kHelp) {
          shortOptionMessage(name, optopt);
          break;
        }
        return longOptionFailed(argv[optind - 1], optopt);
    }
  }

  Format format;
  if (!chooseFormat(settings, format) || !startOutput(settings, format))
    return 1;
  for (int i = optind; i < argc; ++i) {
    // "-" is standard input; a file of that name is still "./-".
    bool standardInput = std::strcmp(argv[i], "-") == 0;
    int fd = standardInput ? STDIN_FILENO : open(argv[i], O_RDONLY);
    inputName = argv[i];
    if (fd < 0)
      return fileFailed("Cannot open file ", argv[i]);
    bool read = scanFile(fd, buf, sizeof buf);
    if (!standardInput)
      close(fd);
    if (!read)
      return fileFailed("Cannot read file ", argv[i]);
  }
  finishOutput(settings, format);
  return 0;
}
