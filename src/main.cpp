// hexlog: decodes the hexadecimal record lines of instrument log files.
#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <cstring>

#include "output.hpp"
#include "record.hpp"
#include "scan.hpp"

// The input block: scanFile cuts it into the line pieces fgets would give.
static char buf[64 * 1024];

namespace {

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
  if (argc <= 1) {
    // Linux hands a program started with no arguments at all one empty
    // argument 0; either way there is no name to show.
    bool named = argc > 0 && argv[0] != nullptr && argv[0][0] != '\0';
    return usage(named ? argv[0] : "hexlog");
  }

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
    int fd = open(argv[i], O_RDONLY);
    if (fd < 0)
      return fileFailed("Cannot open file ", argv[i]);
    bool read = scanFile(fd, buf, sizeof buf);
    close(fd);
    if (!read)
      return fileFailed("Cannot read file ", argv[i]);
  }
  flushOutput();
  return 0;
}
