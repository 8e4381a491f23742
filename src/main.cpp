// hexlog: decodes the hexadecimal record lines of instrument log files.
#include <fcntl.h>
#include <getopt.h>
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "output.hpp"
#include "record.hpp"
#include "scan.hpp"

// The input block: scanFile cuts it into the line pieces fgets would give.
static char buf[64 * 1024];

namespace {

// Long options only: a new short option would change how existing command
// lines are read ("-s -x" and "-vx" included).
enum LongOption { kHelp = 256, kVersion, kOutput };
const struct option kLongOptions[] = {
    {"help", no_argument, nullptr, kHelp},
    {"version", no_argument, nullptr, kVersion},
    {"output", required_argument, nullptr, kOutput},
    {nullptr, 0, nullptr, 0},
};
const char* const kLongHelp[] = {
    "  --output=FILE   write to FILE, replacing it only when the whole run succeeds\n",
    "  --help          print this help and exit\n",
    "  --version       print the version and exit\n",
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
  if (option == kOutput)
    problem = "needs a value (--output=FILE)";
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

  const char* outputPath = nullptr;
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
        outputPath = optarg;
        break;
      default:  // a short option is reported and passed over, a long one ends the run
        if (optopt > 0 && optopt < kHelp) {
          shortOptionMessage(name, optopt);
          break;
        }
        return longOptionFailed(argv[optind - 1], optopt);
    }
  }

  if (outputPath != nullptr) {
    if (!startOutputFile(outputPath))
      return 1;
    messagesToStderr = true;
  }
  for (int i = optind; i < argc; ++i) {
    // "-" is standard input; a file of that name is still "./-".
    bool standardInput = std::strcmp(argv[i], "-") == 0;
    int fd = standardInput ? STDIN_FILENO : open(argv[i], O_RDONLY);
    if (fd < 0)
      return fileFailed("Cannot open file ", argv[i]);
    bool read = scanFile(fd, buf, sizeof buf);
    if (!standardInput)
      close(fd);
    if (!read)
      return fileFailed("Cannot read file ", argv[i]);
  }
  if (outputPath != nullptr)
    finishOutputFile();
  else
    flushOutput();
  return 0;
}
