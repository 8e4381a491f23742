// hexlog: decodes the hexadecimal record lines of instrument log files.
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "output.hpp"
#include "record.hpp"

// One line piece at a time, exactly as fgets with this size returns it:
// at most 1023 characters, up to and including a line feed.
static char buf[1024];

namespace {

// Shortest record text, line end included, after leading white space.
constexpr size_t kMinRecordLength = 132;

void print(const char* text) {
  outputText(text, std::strlen(text));
}

int usage(const char* name) {
  print("Usage:  ");
  print(name);
  print(" [-s <startChars>] [-v] <file name>\n"
        "  -s <startChars> number of beginning chars to throw away (default 24)\n"
        "  -v verbose mode (identify each field)\n");
  flushOutput();
  return 1;
}

// The two failures the tool reports itself, on standard output like the records.
int fileFailed(const char* what, const char* name) {
  print(what);
  print(name);
  print("\n");
  flushOutput();
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
  if (argc <= 1)
    return usage(argc > 0 ? argv[0] : "hexlog");

  int option;
  while ((option = getopt(argc, argv, "s:v")) != -1) {
    switch (option) {
      case 's':
        startChars = parseStartChars(optarg);
        break;
      case 'v':
        verbose = true;
        break;
      default:  // getopt has already said what is wrong
        break;
    }
  }

  for (int i = optind; i < argc; ++i) {
    std::FILE* file = std::fopen(argv[i], "r");
    if (file == nullptr)
      return fileFailed("Cannot open file ", argv[i]);
    while (std::fgets(buf, sizeof buf, file) != nullptr) {
      const char* text = buf;
      while (std::isspace(static_cast<unsigned char>(*text)))
        ++text;
      if (std::strlen(text) >= kMinRecordLength)
        printOneRecord(text);
    }
    bool readFailed = std::ferror(file) != 0;
    std::fclose(file);
    if (readFailed)
      return fileFailed("Cannot read file ", argv[i]);
  }
  flushOutput();
  return 0;
}
