#include "isolated.hpp"

#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "messages.hpp"
#include "outfile.hpp"
#include "progress.hpp"

namespace {

// The errno of the netCDF writer's thread when it crashed, in memory it
// shares with this process: after a failed write the library may crash on
// its own cleanup, and errno still holds what the system said of the write.
volatile int* crashErrno = nullptr;

void noteCrash(int signal) {
  *crashErrno = errno;
  raise(signal);  // the handler is reset: the default, as if none had been
}

bool isWriteError(int error) {
  return error == ENOSPC || error == EDQUOT || error == EIO || error == EFBIG || error == EROFS;
}

}  // namespace

bool prepareIsolated(hexlog::Run& run) {
  int said[2];
  if (pipe(said) != 0) {
    std::fprintf(stderr, "hexlog: cannot check the netCDF library: %s\n", std::strerror(errno));
    return false;
  }
  pid_t pid = fork();
  if (pid == 0) {
    dup2(said[1], STDERR_FILENO);
    close(said[0]);
    close(said[1]);
    std::_Exit(run.prepare() ? 0 : runFailed(run, nullptr));
  }
  close(said[1]);
  std::string text;
  char block[4096];
  for (ssize_t n; (n = read(said[0], block, sizeof block)) != 0;)
    if (n > 0)
      text.append(block, static_cast<size_t>(n));
    else if (errno != EINTR)
      break;
  close(said[0]);
  int status = 0;
  while (pid > 0 && waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (pid > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0)
    return true;
  size_t last = text.rfind("hexlog: ");
  if (pid < 0)
    std::fprintf(stderr, "hexlog: cannot check the netCDF library: %s\n", std::strerror(errno));
  else if (WIFSIGNALED(status))
    std::fprintf(stderr, "hexlog: the netCDF library ended by signal %d (%s) as it was loaded\n", WTERMSIG(status),
                 strsignal(WTERMSIG(status)));
  else if (last != std::string::npos)
    std::fprintf(stderr, "%s", text.substr(last, text.find('\n', last) - last + 1).c_str());
  return false;
}

int decodeIsolated(DecodeAll* decodeAll, hexlog::Run& run, const Options& options, int first, int argc,
                   char** argv) {
  std::fflush(stdout);
  void* shared = mmap(nullptr, sizeof(int), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  crashErrno = shared != MAP_FAILED ? static_cast<int*>(shared) : nullptr;
  pid_t pid = fork();
  if (pid < 0) {
    std::fprintf(stderr, "hexlog: cannot start the netCDF writer: %s\n", std::strerror(errno));
    discardOutputFile();
    return 1;
  }
  if (pid == 0) {
    // The parent cleans up after any signal; here the defaults do.
    for (int signal : {SIGHUP, SIGINT, SIGQUIT, SIGTERM}) {
      struct sigaction action {};
      sigaction(signal, nullptr, &action);
      if (action.sa_handler != SIG_IGN)
        std::signal(signal, SIG_DFL);
    }
    if (crashErrno != nullptr)
      for (int signal : {SIGSEGV, SIGBUS, SIGABRT, SIGFPE, SIGILL}) {
        struct sigaction action {};
        action.sa_handler = noteCrash;
        action.sa_flags = static_cast<int>(SA_RESETHAND | SA_NODEFER);  // SA_RESETHAND: int's sign bit
        sigaction(signal, &action, nullptr);
      }
    int status = decodeAll(run, options, first, argc, argv);
    std::fflush(stdout);
    std::_Exit(status);  // nothing of the parent's to run down
  }
  setOutputWriter(pid);
  int status;
  while (waitpid(pid, &status, 0) < 0)
    if (errno != EINTR) {
      eraseProgress();
      std::fprintf(stderr, "hexlog: lost the netCDF writer: %s\n", std::strerror(errno));
      discardOutputFile();
      return 1;
    }
  setOutputWriter(0);
  endProgress();  // what a writer that crashed left drawn
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
    return commitOutputFile() ? 0 : 1;
  discardOutputFile();
  if (WIFSIGNALED(status) && crashErrno != nullptr && isWriteError(*crashErrno))
    std::fprintf(stderr, "hexlog: write error: %s: %s (the netCDF writer then ended by signal %d)\n",
                 outputFileName(), std::strerror(*crashErrno), WTERMSIG(status));
  else if (WIFSIGNALED(status))
    std::fprintf(stderr, "hexlog: write error: %s: the netCDF writer ended by signal %d (%s)\n", outputFileName(),
                 WTERMSIG(status), strsignal(WTERMSIG(status)));
  return 1;
}

