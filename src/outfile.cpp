#include "outfile.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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
char directory[PATH_MAX];

const int kSignals[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM};

bool syncDirectory() {
  int folder = open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder < 0)
    return false;
  bool synced = fsync(folder) == 0 || errno == EINVAL;  // EINVAL: a file system without it
  int error = errno;
  close(folder);
  errno = error;
  return synced;
}

// An interrupted run leaves no temporary file behind, and no writer. Once
// the rename is done, FILE is the new output and the run has succeeded,
// whatever the signal: it ends as it would have, with status 0.
void removeAndResignal(int signal) {
  if (writerPid > 0)
    kill(writerPid, SIGKILL);
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

}  // namespace

bool openOutputFile(const char* path, bool binary) {
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

  const char* target = path;
  struct stat status;
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
  // Devices, FIFOs, sockets and /proc/self/fd/N are written in place.
  if (exists && (!S_ISREG(status.st_mode) || std::strncmp(target, "/proc/", 6) == 0))
    direct = true;

  if (direct) {
    fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0)
      return failed(std::strerror(errno));
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
  if (target != finalPath && std::snprintf(finalPath, sizeof finalPath, "%s", path) >= static_cast<int>(sizeof finalPath))
    return failed(std::strerror(ENAMETOOLONG));
  const char* slash = std::strrchr(finalPath, '/');
  return makeTemporary(finalPath, slash != nullptr ? static_cast<int>(slash - finalPath + 1) : 0);
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
    std::strcpy(directory, ".");
  else if (slash == finalPath)
    std::strcpy(directory, "/");
  else
    std::snprintf(directory, sizeof directory, "%.*s", static_cast<int>(slash - finalPath), finalPath);
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
