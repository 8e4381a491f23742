#include "messages.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "options.hpp"
#include "outfile.hpp"
#include "progress.hpp"

bool messagesToStderr = false;

int printed(int status) {
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "hexlog: write error: %s\n", std::strerror(errno));
    return 1;
  }
  return status;
}

void printUsage(const char* name) {
  std::printf("Usage:  %s [-s <startChars>] [-v] <file name>\n", name);
  std::fputs("  -s <startChars> number of beginning chars to throw away (default 24)\n", stdout);
  std::fputs("  -v verbose mode (identify each field)\n", stdout);
}

void printHelp(const char* name) {
  printUsage(name);
  std::fputs(kLongHelp, stdout);
}

void printVersion() {
  std::fputs("hexlog " HEXLOG_VERSION "\n", stdout);
}

void shortOptionMessage(const char* name, int option) {
  if (option == 's')
    std::fprintf(stderr, "%s: option requires an argument -- '%c'\n", name, option);
  else
    std::fprintf(stderr, "%s: invalid option -- '%c'\n", name, option);
}

int longOptionFailed(const char* argument, int option) {
  size_t length = std::strcspn(argument, "=");
  const char* problem = "is not an option of hexlog";
  bool takesValue = false;
  for (const struct option* o = kLongOptions; o->name != nullptr; ++o)
    takesValue = takesValue || (o->val == option && o->has_arg == required_argument);
  if (takesValue)
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
  std::fprintf(stderr, "hexlog: '%.*s' %s; see 'hexlog --help'\n", static_cast<int>(length), argument, problem);
  return 1;
}

int fileFailed(hexlog::Run& run, const char* what, const char* name, int error) {
  eraseProgress();
  bool flushed = run.flush();
  if (messagesToStderr) {
    std::fprintf(stderr, "%s%s: %s\n", what, name, std::strerror(error));
    return 1;
  }
  if (!flushed)
    return 1;
  std::printf("%s%s\n", what, name);
  return printed(1);
}

int runFailed(const hexlog::Run& run, const char* outputName) {
  eraseProgress();
  const hexlog::Failure& failure = run.failure();
  switch (failure.kind) {
    case hexlog::FailureKind::kWrite:
      if (outputName != nullptr)
        std::fprintf(stderr, "hexlog: write error: %s: %s\n", outputName,
                     failure.text.empty() ? std::strerror(failure.error) : failure.text.c_str());
      else
        std::fprintf(stderr, "hexlog: write error: %s\n", std::strerror(failure.error));
      break;
    case hexlog::FailureKind::kTemporary:
    case hexlog::FailureKind::kReread:
      if (failure.error == ENOMEM) {  // "memory", "memory for ordering"
        std::fprintf(stderr, "hexlog: out of %s\n", failure.text.c_str());
        break;
      }
      if (failure.error != 0) {
        std::fprintf(stderr, "hexlog: %s: %s\n", failure.text.c_str(), std::strerror(failure.error));
        break;
      }
      [[fallthrough]];
    default:
      std::fprintf(stderr, "hexlog: %s\n", failure.text.c_str());
      break;
  }
  return 1;
}

void printNotices(const hexlog::Tally& tally) {
  eraseProgress();
  for (const std::string& notice : hexlog::notices(tally))
    std::fprintf(stderr, "hexlog: %s\n", notice.c_str());
}

void printSummary(const hexlog::Tally& tally) {
  eraseProgress();
  std::fputs("file", stderr);
  for (const hexlog::CountColumn& column : hexlog::countColumns)
    std::fprintf(stderr, "\t%s", column.name);
  std::fputs("\n", stderr);
  auto row = [](const std::string& name, const hexlog::FileCounts& c) {
    std::string shown;
    for (char ch : name)
      shown += ch == '\t' ? "\\t" : ch == '\n' ? "\\n" : ch == '\\' ? "\\\\" : std::string(1, ch);
    std::fputs(shown.c_str(), stderr);
    for (const hexlog::CountColumn& column : hexlog::countColumns)
      std::fprintf(stderr, "\t%llu", static_cast<unsigned long long>(c.*column.count));
    std::fputs("\n", stderr);
  };
  for (uint32_t file = 0; file < tally.inputs(); ++file)
    row(tally.name(file), tally.counts(file));
  row("total", tally.total());
}

void outOfMemory() {
  eraseProgress();
  discardOutputFile();
  static const char kSaid[] = "hexlog: out of memory\n";
  if (write(STDERR_FILENO, kSaid, sizeof kSaid - 1) < 0) {
  }
  std::_Exit(1);
}

int outOfMemoryCaught() {
  eraseProgress();
  discardOutputFile();
  std::fprintf(stderr, "hexlog: out of memory\n");
  return 1;
}
