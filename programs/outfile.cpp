#include "outfile.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "progress.hpp"

namespace {

// The temporary file while there is one, "" otherwise; a signal handler
// reads it, hence plain arrays.
char tempName[PATH_MAX + 32];
// Where the finished file goes: FILE, or the file a symbolic link FILE
// leads to, so that the link stays a link.
char finalPath[PATH_MAX];
const char* shownName = "";
int fd = -1;
// Written in place rather than replaced.
bool direct = false;
// A named temporary file that is copied to a direct target at the end.
bool copyToDirect = false;
// What an existing FILE had, to keep.
bool existing = false;
mode_t finalMode = 0;
uid_t finalOwner = 0;
gid_t finalGroup = 0;
volatile pid_t writerPid = 0;
// Set just before the rename that puts FILE in place.
volatile sig_atomic_t committing = 0;
// FILE's directory, synced after the rename.
char finalDirectory[PATH_MAX];

const int kSignals[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM};

bool syncDirectory() {
  int folder = open(finalDirectory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder < 0)
    return false;
  bool synced = fsync(folder) == 0 || errno == EINVAL;  // EINVAL: a file system without it
  int error = errno;
  close(folder);
  errno = error;
  return synced;
}

// An interrupted run leaves no temporary file behind, no writer, and no
// progress line of the writer's: it is gone before the line is erased, so
// that it draws no other. Once the rename is done, FILE is the new output
// and the run has succeeded, whatever the signal: it ends as it would
// have, with status 0.
void removeAndResignal(int signal) {
  if (writerPid > 0) {
    kill(writerPid, SIGKILL);
    while (waitpid(writerPid, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  eraseProgress();
  if (tempName[0] != '\0') {
    if (committing && access(tempName, F_OK) != 0) {
      syncDirectory();
      _exit(0);
    }
    unlink(tempName);
  }
  std::signal(signal, SIG_DFL);
  raise(signal);
}

bool failed(const char* why) {
  std::fprintf(stderr, "hexlog: cannot write %s: %s\n", shownName, why);
  return false;
}

bool writeFailed(int error) {
  std::fprintf(stderr, "hexlog: write error: %s: %s\n", shownName, std::strerror(error));
  discardOutputFile();
  return false;
}

// A temporary file in `directory` (with its slash, or ""), fd in `fd`.
bool makeTemporary(const char* directory, int length) {
  if (std::snprintf(tempName, sizeof tempName, "%.*s.hexlog-XXXXXX", length, directory) >=
      static_cast<int>(sizeof tempName)) {
    tempName[0] = '\0';
    return failed(std::strerror(ENAMETOOLONG));
  }
  int made = mkostemp(tempName, O_CLOEXEC);
  if (made < 0) {
    int error = errno;
    tempName[0] = '\0';
    return failed(std::strerror(error));
  }
  fd = made;
  return true;
}

bool copyFile(const char* from, int to) {
  int in = open(from, O_RDONLY | O_CLOEXEC);
  if (in < 0)
    return writeFailed(errno);
  static char block[64 * 1024];
  for (;;) {
    ssize_t n = read(in, block, sizeof block);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0) {
      int error = errno;
      close(in);
      return writeFailed(error);
    }
    if (n == 0)
      break;
    for (ssize_t done = 0; done < n;) {
      ssize_t written = write(to, block + done, static_cast<size_t>(n - done));
      if (written < 0 && errno == EINTR)
        continue;
      if (written <= 0) {
        int error = written < 0 ? errno : EIO;
        close(in);
        return writeFailed(error);
      }
      done += written;
    }
  }
  close(in);
  return true;
}

// Whether `name` is "/proc/PID/fd/N" (or ".../task/TID/fd/N") of this
// process: its descriptor N, or -1.
int ownDescriptor(const std::string& name) {
  std::string self = "/proc/" + std::to_string(getpid()) + "/";
  if (name.compare(0, self.size(), self) != 0)
    return -1;
  size_t at = self.size();
  if (name.compare(at, 5, "task/") == 0) {
    at = name.find('/', at + 5);
    if (at == std::string::npos)
      return -1;
    ++at;
  }
  if (name.compare(at, 3, "fd/") != 0 || at + 3 == name.size() || name.size() - at > 12)
    return -1;
  int n = 0;
  for (size_t i = at + 3; i < name.size(); ++i) {
    if (name[i] < '0' || name[i] > '9')
      return -1;
    n = n * 10 + (name[i] - '0');
  }
  return n;
}

// The descriptor of this process that `path` names, through however many
// links (/dev/stdout -> /proc/self/fd/1 -> /proc/812/fd/1), or -1. Each
// step resolves the links of the folders and looks at the last name
// itself: realpath() of the whole would go on to the file the descriptor
// is open on, and writing that by name would replace it.
int namedDescriptor(const char* path) {
  std::string name = path;
  for (int links = 0; links < 40; ++links) {
    size_t slash = name.rfind('/');
    std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : name.substr(0, slash);
    std::string last = slash == std::string::npos ? name : name.substr(slash + 1);
    char real[PATH_MAX];
    if (last.empty() || last == "." || last == ".." || realpath(folder.c_str(), real) == nullptr)
      return -1;
    std::string full = std::string(real) + (std::strcmp(real, "/") == 0 ? "" : "/") + last;
    int descriptor = ownDescriptor(full);
    if (descriptor >= 0)
      return descriptor;
    char target[PATH_MAX];
    ssize_t n = readlink(full.c_str(), target, sizeof target - 1);
    if (n <= 0)
      return -1;  // no link (or no file): not a descriptor's name
    target[n] = '\0';
    name = target[0] == '/' ? std::string(target) : std::string(real) + "/" + target;
  }
  return -1;
}

// Whether the file open at `file` has a line of record words: 64
// hexadecimal digits in a row within its first MiB (a record line has 264;
// hexlog's own outputs have at most a few in a row, netCDF is binary).
bool holdsRecords(int file) {
  static char block[64 * 1024];
  size_t run = 0;
  for (size_t total = 0; total < (size_t{1} << 20);) {
    ssize_t n = read(file, block, sizeof block);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    total += static_cast<size_t>(n);
    for (ssize_t i = 0; i < n; ++i) {
      unsigned char c = static_cast<unsigned char>(block[i]);
      run = std::isxdigit(c) ? run + 1 : 0;
      if (run == 64)
        return true;
    }
  }
  return false;
}

// Whether FILE (`status`) is one of the inputs: replacing it would destroy
// the log it is decoded from.
bool isAnInput(const struct stat& status, const std::vector<const char*>& inputs) {
  for (const char* input : inputs) {
    struct stat other;
    bool known = std::strcmp(input, "-") == 0 ? fstat(STDIN_FILENO, &other) == 0 : stat(input, &other) == 0;
    if (known && other.st_dev == status.st_dev && other.st_ino == status.st_ino) {
      std::fprintf(stderr, "hexlog: --output=%s is the input %s: it would be replaced by its own decoding; "
                           "name another file\n", shownName, input);
      return true;
    }
  }
  return false;
}

// FILE (or what its link leads to, `target`) to be replaced by a
// temporary file beside it, renamed over it at the end.
bool openReplacement(const char* path, const char* target, const struct stat& status, bool exists) {
  if (exists) {
    // rename() would replace a file the user may not write; refuse as
    // opening it for writing would.
    if (access(target, W_OK) != 0)
      return failed(std::strerror(errno));
    existing = true;
    finalMode = status.st_mode & 07777;
    finalOwner = status.st_uid;
    finalGroup = status.st_gid;
  } else {
    mode_t mask = umask(0);
    umask(mask);
    finalMode = 0666 & ~mask;
  }
  if (target != finalPath &&
      std::snprintf(finalPath, sizeof finalPath, "%s", path) >= static_cast<int>(sizeof finalPath))
    return failed(std::strerror(ENAMETOOLONG));
  const char* slash = std::strrchr(finalPath, '/');
  return makeTemporary(finalPath, slash != nullptr ? static_cast<int>(slash - finalPath + 1) : 0);
}

}  // namespace

bool openOutputFile(const char* path, bool binary, const std::vector<const char*>& inputs, bool force) {
  shownName = path;
  if (*path == '\0') {
    std::fprintf(stderr, "hexlog: --output needs a file name\n");
    return false;
  }
  for (int signal : kSignals) {
    struct sigaction action {};
    sigaction(signal, nullptr, &action);
    if (action.sa_handler != SIG_IGN)  // keep what nohup asked for
      std::signal(signal, removeAndResignal);
  }

  struct stat status;
  int descriptor = namedDescriptor(path);
  if (descriptor >= 0) {
    // One of this process's own descriptors (/dev/stdout, /dev/fd/3):
    // written through it, as the shell set it up (appending, say), never
    // opened again by name, which would truncate or replace its file.
    int flags = fcntl(descriptor, F_GETFL);
    if (flags < 0 || (flags & O_ACCMODE) == O_RDONLY)
      return failed(std::strerror(EBADF));
    if (fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode) && isAnInput(status, inputs))
      return false;
    fd = fcntl(descriptor, F_DUPFD_CLOEXEC, 3);
    if (fd < 0)
      return failed(std::strerror(errno));
    direct = true;
  } else {
    const char* target = path;
    bool exists = lstat(path, &status) == 0;
    if (exists && S_ISLNK(status.st_mode)) {
      if (realpath(path, finalPath) != nullptr)
        target = finalPath;
      exists = stat(target, &status) == 0;
      if (!exists)  // a dangling link: as the shell does, create what it names
        direct = true;
    }
    if (exists && S_ISDIR(status.st_mode))
      return failed(std::strerror(EISDIR));
    // Devices, FIFOs, sockets and the kernel's files are written in place.
    if (exists && (!S_ISREG(status.st_mode) || std::strncmp(target, "/proc/", 6) == 0))
      direct = true;
    if (exists && S_ISREG(status.st_mode) && isAnInput(status, inputs))
      return false;
    if (direct) {
      fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
      if (fd < 0)
        return failed(std::strerror(errno));
    } else if (exists && !force) {
      int old = open(target, O_RDONLY | O_CLOEXEC);
      bool log = old >= 0 && holdsRecords(old);
      if (old >= 0)
        close(old);
      if (log) {
        std::fprintf(stderr, "hexlog: %s holds record lines: it looks like a log, not hexlog's output; "
                             "--force replaces it\n", shownName);
        return false;
      }
    }
    if (!direct)
      return openReplacement(path, target, status, exists);
  }
  if (!binary)
    return true;
  // netCDF needs a regular file by name: written aside, then copied.
  int out = fd;
  const char* directory = std::getenv("TMPDIR");
  std::string folder = directory != nullptr && *directory != '\0' ? directory : "/tmp";
  folder += "/";
  if (!makeTemporary(folder.c_str(), static_cast<int>(folder.size())))
    return false;
  close(fd);
  fd = out;
  copyToDirect = true;
  return true;
}

int outputFileFd() {
  return fd;
}

const char* outputFileWritePath() {
  return tempName[0] != '\0' ? tempName : nullptr;
}

const char* outputFileName() {
  return shownName;
}

void setOutputWriter(int pid) {
  writerPid = pid;
}

bool commitOutputFile() {
  if (direct) {
    if (copyToDirect) {
      bool copied = copyFile(tempName, fd);
      discardOutputFile();
      if (!copied)
        return false;
    }
    if (close(fd) != 0)
      return writeFailed(errno);
    fd = -1;
    return true;
  }
  // By name: a library that writes the file itself may have made it anew.
  int file = open(tempName, O_RDONLY | O_CLOEXEC);
  if (file < 0)
    return writeFailed(errno);
  // Durable before it is visible: a power cut after the rename must not
  // leave an empty FILE. The owner first, as chown clears set-id bits.
  if (fsync(file) != 0 || (existing && geteuid() == 0 && fchown(file, finalOwner, finalGroup) != 0) ||
      fchmod(file, finalMode) != 0) {
    int error = errno;
    close(file);
    return writeFailed(error);
  }
  if (close(file) != 0 || close(fd) != 0)
    return writeFailed(errno);
  fd = -1;

  // From here the status must say what became of FILE: a signal before
  // the rename leaves the old one, a signal after it is too late to matter.
  const char* slash = std::strrchr(finalPath, '/');
  if (slash == nullptr)
    std::strcpy(finalDirectory, ".");
  else if (slash == finalPath)
    std::strcpy(finalDirectory, "/");
  else
    std::snprintf(finalDirectory, sizeof finalDirectory, "%.*s", static_cast<int>(slash - finalPath), finalPath);
  committing = 1;
  if (rename(tempName, finalPath) != 0) {
    committing = 0;
    return writeFailed(errno);
  }
  sigset_t all;
  sigfillset(&all);
  sigprocmask(SIG_BLOCK, &all, nullptr);
  tempName[0] = '\0';
  if (!syncDirectory()) {
    std::fprintf(stderr, "hexlog: %s is written, but its directory could not be synced: %s\n", shownName,
                 std::strerror(errno));
    return false;
  }
  return true;
}

void discardOutputFile() {
  if (tempName[0] != '\0')
    unlink(tempName);
  tempName[0] = '\0';
}

void holdStandardDescriptors() {
  for (int standard = STDIN_FILENO; standard <= STDERR_FILENO; ++standard) {
    if (fcntl(standard, F_GETFD) >= 0 || errno != EBADF)
      continue;
    int held = open("/dev/null", (standard == STDIN_FILENO ? O_WRONLY : O_RDONLY) | O_CLOEXEC);
    if (held >= 0 && held != standard) {
      dup2(held, standard);
      close(held);
    }
  }
}
