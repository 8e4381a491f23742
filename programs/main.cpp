// hexlog: decodes the hexadecimal record lines of instrument log files.
#include <getopt.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "hexlog/hexlog.hpp"
#include "isolated.hpp"
#include "messages.hpp"
#include "options.hpp"
#include "outfile.hpp"
#include "progress.hpp"

// The input block: the library cuts it into the line pieces fgets would give.
static char buf[64 * 1024];

namespace {

// Decodes every file named from argv[first] on with the prepared run, one
// after another, stopping at the first that cannot be opened or read.
// Returns the exit status; the output file is left for the caller to commit.
int decodeAll(hexlog::Run& run, const Options& options, int first, int argc, char** argv) {
  const char* outputName = options.output != nullptr ? outputFileName() : nullptr;
  std::vector<std::string> files(argv + first, argv + argc);
  bool decoded = run.decode(options.output != nullptr ? outputFileFd() : STDOUT_FILENO, files, buf, sizeof buf);
  endProgress();
  if (!decoded) {
    const hexlog::Failure& failure = run.failure();
    if (failure.kind == hexlog::FailureKind::kOpen)
      return fileFailed(run, "Cannot open file ", failure.text.c_str(), failure.error);
    if (failure.kind == hexlog::FailureKind::kRead)
      return fileFailed(run, "Cannot read file ", failure.text.c_str(), failure.error);
    return runFailed(run, outputName);
  }
  printNotices(run.tally());
  if (options.summary)
    printSummary(run.tally());
  return 0;
}

}  // namespace

int main(int argc, char** argv) try {
  holdStandardDescriptors();
  std::set_new_handler(outOfMemory);

  // Linux hands a program started with no arguments at all one empty
  // argument 0; either way there is no name to show.
  const char* name = argc > 0 && argv[0] != nullptr && argv[0][0] != '\0' ? argv[0] : "hexlog";
  if (argc <= 1) {
    printUsage(name);
    return printed(1);
  }

  Options options;
  bool verbose = false;
  hexlog::Settings settings;
  opterr = 0;
  int option;
  while ((option = getopt_long(argc, argv, "s:v", kLongOptions, nullptr)) != -1) {
    switch (option) {
      case 's': settings.startChars = hexlog::parseStartChars(optarg); break;
      case 'v': verbose = true; break;
      case kHelp:
        printHelp(name);
        return printed(0);
      case kVersion:
        printVersion();
        return printed(0);
      case kOutput: options.output = optarg; break;
      case kFormat: options.format = optarg; break;
      case kTime: options.time = optarg; break;
      case kMetadata: options.metadata = optarg; break;
      case kOrder: options.order = optarg; break;
      case kFrom: options.from = optarg; break;
      case kTo: options.to = optarg; break;
      case kSummary: options.summary = true; break;
      case kProvenance: options.provenance = true; break;
      case kForce: options.force = true; break;
      case kQc: options.qc = optarg; break;
      case kSortMemory: options.sortMemory = optarg; break;
      case kProgress: options.progress = ProgressMode::kOn; break;
      case kNoProgress: options.progress = ProgressMode::kOff; break;
      default:  // a short option is reported and passed over, a long one ends the run
        if (optopt > 0 && optopt < kHelp) {
          shortOptionMessage(name, optopt);
          break;
        }
        return longOptionFailed(argv[optind - 1], optopt);
    }
  }
  if (!chooseSettings(options, verbose, settings))
    return 1;
  // "hexlog --output day.log" is a slip for "hexlog day.log": it must not
  // empty the log.
  if (options.output != nullptr && optind == argc)
    return failed("--output=%s but no input files; name them, or - for standard input", options.output), 1;
  // When the archive formats and the page were made: SOURCE_DATE_EPOCH
  // when it is set, so that two runs over the same input give the same bytes.
  bool dated = settings.format == hexlog::Format::kNccsv || settings.format == hexlog::Format::kNetcdf ||
               settings.format == hexlog::Format::kHtml;
  std::string wrong;
  if (dated && !hexlog::creationTime(std::getenv("SOURCE_DATE_EPOCH"), settings.created, wrong))
    return failed("%s", wrong.c_str()), 1;
  settings.history = commandLine(argc, argv);
  // How far a long run has got, on standard error.
  watchProgress(options.progress, options.output == nullptr, std::vector<std::string>(argv + optind, argv + argc),
                settings);

  // A file size limit is a write error like any other, not a crash.
  std::signal(SIGXFSZ, SIG_IGN);
  bool netcdf = settings.format == hexlog::Format::kNetcdf;
  // The metadata and the netCDF library are checked before FILE is opened:
  // a fault in them must not wait for a FIFO's reader, nor touch FILE.
  hexlog::Run run(settings);
  if (netcdf ? !prepareIsolated(run) : !run.prepare())
    return netcdf ? 1 : runFailed(run, nullptr);
  if (options.output != nullptr) {
    // A lost standard error must not end a run whose output is a file.
    std::signal(SIGPIPE, SIG_IGN);
    std::vector<const char*> inputs(argv + optind, argv + argc);
    if (!openOutputFile(options.output, netcdf, inputs, options.force))
      return 1;
  }
  // Unless standard output carries the plain or verbose text, a message
  // must not land in the data.
  messagesToStderr = options.output != nullptr ||
                     (settings.format != hexlog::Format::kPlain && settings.format != hexlog::Format::kVerbose);
  if (netcdf) {
    run.setNetcdfPath(outputFileWritePath());
    run.setNetcdfTried();
    return decodeIsolated(decodeAll, run, options, optind, argc, argv);
  }
  int status = decodeAll(run, options, optind, argc, argv);
  if (options.output == nullptr)
    return status;
  if (status != 0) {
    discardOutputFile();
    return status;
  }
  return commitOutputFile() ? 0 : 1;
} catch (const std::bad_alloc&) {
  return outOfMemoryCaught();
}
