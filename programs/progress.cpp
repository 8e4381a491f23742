#include "progress.hpp"

#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <new>

namespace {

using Clock = std::chrono::steady_clock;

// Nothing is shown of a run shorter than this; then a terminal's line is
// drawn again this often, a pipe's written once a second.
constexpr Clock::duration kFirstShown = std::chrono::seconds(1);
constexpr Clock::duration kTerminalEvery = std::chrono::milliseconds(250);
constexpr Clock::duration kPipeEvery = std::chrono::seconds(1);

// Whether the line is on the terminal now, in whichever process drew it:
// one page shared by the netCDF writer with the process that waits for it.
struct Shared {
  std::atomic<int> drawn;
};
static_assert(std::atomic<int>::is_always_lock_free, "a signal handler reads it");
Shared* shared = nullptr;

bool watching = false;
bool terminal = false;
bool ended = false;
bool written = false;  // a line went to the pipe or file
uint32_t inputCount = 0;
uint64_t inputBytes = 0;  // 0: not known
Clock::time_point next;
Clock::time_point phaseStart;
hexlog::Progress last;

const int kSignals[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM};
struct sigaction before[sizeof kSignals / sizeof kSignals[0]];
bool handling = false;

bool writeAll(const char* text, size_t length) {
  while (length > 0) {
    ssize_t n = write(STDERR_FILENO, text, length);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    text += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

// Whether this process may write to the terminal: a job put in the
// background must leave the shell's lines alone (and would be stopped
// where the terminal says tostop). A terminal that is not this process's
// own cannot tell, and is written.
bool foreground() {
  pid_t group = tcgetpgrp(STDERR_FILENO);
  return group < 0 || group == getpgrp();
}

size_t columns() {
  struct winsize size {};
  return ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : 80;
}

// A signal ends the run with the line erased, then as it would have ended
// without it: through the handler there was (the output file's), or the
// default.
void eraseAndPassOn(int signal, siginfo_t* info, void* context) {
  eraseProgress();
  for (size_t i = 0; i < sizeof kSignals / sizeof kSignals[0]; ++i) {
    if (kSignals[i] != signal)
      continue;
    if ((before[i].sa_flags & SA_SIGINFO) != 0)
      before[i].sa_sigaction(signal, info, context);
    else if (before[i].sa_handler != SIG_DFL && before[i].sa_handler != SIG_IGN)
      before[i].sa_handler(signal);
  }
  std::signal(signal, SIG_DFL);
  raise(signal);  // held until this handler returns
}

void handleSignals() {
  handling = true;
  for (size_t i = 0; i < sizeof kSignals / sizeof kSignals[0]; ++i) {
    sigaction(kSignals[i], nullptr, &before[i]);
    if (before[i].sa_handler == SIG_IGN)  // what nohup asked for
      continue;
    struct sigaction action {};
    action.sa_sigaction = eraseAndPassOn;
    action.sa_flags = SA_SIGINFO | SA_RESTART;
    sigaction(kSignals[i], &action, nullptr);
  }
}

void draw(const hexlog::Progress& progress, Clock::time_point now) {
  double seconds = std::chrono::duration<double>(now - phaseStart).count();
  std::string line = "hexlog: " + hexlog::progressLine(progress, inputCount, inputBytes, seconds);
  if (!terminal) {
    line += '\n';
    written = true;
    ended = !writeAll(line.data(), line.size());
    return;
  }
  if (!foreground()) {
    shared->drawn = 0;  // the shell has written below it since
    return;
  }
  size_t width = columns() - 1;  // the last column would wrap on some terminals
  if (line.size() > width)
    line.resize(width);
  line = "\r" + line + "\033[K";
  if (!handling)
    handleSignals();
  shared->drawn = 1;  // before it is written: a signal may come in between
  ended = !writeAll(line.data(), line.size());
}

void report(const hexlog::Progress& progress) {
  if (ended)
    return;
  Clock::time_point now = Clock::now();
  if (progress.phase != last.phase)
    phaseStart = now;
  last = progress;
  if (now < next)
    return;
  next = now + (terminal ? kTerminalEvery : kPipeEvery);
  draw(progress, now);
}

}  // namespace

void watchProgress(ProgressMode mode, bool recordsOnStdout, const std::vector<std::string>& inputs,
                   hexlog::Settings& settings) {
  terminal = isatty(STDERR_FILENO) != 0;
  if (mode == ProgressMode::kOff || (mode == ProgressMode::kAuto && !terminal))
    return;
  bool typed = false;
  bool known = true;
  for (const std::string& input : inputs) {
    struct stat status;
    bool standard = input == "-";
    typed = typed || (standard && isatty(STDIN_FILENO));
    if ((standard ? fstat(STDIN_FILENO, &status) : stat(input.c_str(), &status)) != 0)
      continue;  // it fails the run when its turn comes
    off_t at = standard ? lseek(STDIN_FILENO, 0, SEEK_CUR) : 0;
    known = known && S_ISREG(status.st_mode) && at >= 0;
    if (known && status.st_size > at)
      inputBytes += static_cast<uint64_t>(status.st_size - at);
  }
  // The records scrolling on the same terminal, or a user typing them,
  // would be drawn over.
  if (mode == ProgressMode::kAuto && ((recordsOnStdout && isatty(STDOUT_FILENO)) || typed))
    return;
  void* page = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (page == MAP_FAILED)
    return;  // a run without its progress line, rather than none
  shared = new (page) Shared{{0}};
  watching = true;
  inputCount = static_cast<uint32_t>(inputs.size());
  if (!known)
    inputBytes = 0;
  phaseStart = Clock::now();
  next = phaseStart + kFirstShown;
  settings.progress = report;
}

void eraseProgress() {
  if (shared == nullptr || shared->drawn.exchange(0) == 0 || !foreground())
    return;
  static const char kErase[] = "\r\033[K";
  writeAll(kErase, sizeof kErase - 1);
}

void endProgress() {
  if (!watching)
    return;
  if (terminal)
    eraseProgress();
  else if (written && !ended)
    draw(last, Clock::now());
  ended = true;
}
