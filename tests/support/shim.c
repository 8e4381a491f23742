// Preloaded into the tool by the fault tests: it stands between the tool
// (and the libraries it loads) and the C library's I/O calls, so that a test
// can make them come up short, be interrupted, or fail for good, and can see
// in which order they were made. Standard error (fd 2) is never touched or
// counted, so the tool's messages stay readable.
//
//   HEXLOG_FAULTS=short,eintr        each read or write call, chosen by a fixed
//                                    pseudo-random sequence, does 1 to 7 bytes
//                                    of what it was asked, or fails with EINTR
//                                    having done nothing; the rest run whole
//   HEXLOG_FAULTS_SEED=S             another sequence (default 1)
//   HEXLOG_FAULTS_FAIL=write:3:ENOSPC[,close:1:EIO...]
//                                    the third call of that kind and every later
//                                    one fail with that errno, doing nothing;
//                                    NOTHING for the errno: a read or write
//                                    that does nothing and returns 0
//   HEXLOG_FAULTS_LOG=PATH           one line appended per call (below)
//   HEXLOG_FAULTS_RENAME=SIGTERM:before|after
//                                    raises the signal just before, or just
//                                    after, the real rename
//   HEXLOG_FAULTS_NO_TMPFILE=1       open() with O_TMPFILE fails with
//                                    EOPNOTSUPP, as on file systems without it
//
// The kinds, as counted and logged:
//
//   read    read, readv               pread   pread, pread64
//   write   write, writev             pwrite  pwrite, pwrite64
//   fsync   fsync                     fdatasync  fdatasync
//   close   close                     rename  rename, renameat, renameat2
//
// A log line, fields separated by tabs:
//
//   pid  kind  fd  path  result
//   812  write 3   /tmp/hexlog-test-Ab12Cd/.hexlog-x7Yq2Z  65536
//   812  fsync 3   /tmp/hexlog-test-Ab12Cd/.hexlog-x7Yq2Z  0
//   812  rename -1 /tmp/hexlog-test-Ab12Cd/.hexlog-x7Yq2Z -> /tmp/hexlog-test-Ab12Cd/out.txt  0
//
// The path of an fd is what /proc/self/fd shows; a failed call's result is
// minus its errno (-28 for ENOSPC). The counts and the pseudo-random
// sequence are shared with any child the tool forks: "the third write" is the
// third of the whole run, in whichever process it happens.
#define _GNU_SOURCE
// The fortified inline wrappers of read() and its like would clash with the
// definitions here.
#undef _FORTIFY_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

enum Kind { kRead, kWrite, kPread, kPwrite, kFsync, kFdatasync, kClose, kRename, kKinds };
static const char* const kKindNames[kKinds] = {"read",  "write",     "pread", "pwrite",
                                               "fsync", "fdatasync", "close", "rename"};

// The settings, read once from the environment.
static int configured;
static int shortCalls, interruptedCalls;
static uint64_t seed = 1;
static long failFrom[kKinds];  // 0: never
static int failErrno[kKinds];
static int renameSignal;
static int noTmpfile;
static int renameAfter;
static int logFd = -1;

// In memory shared with forked children, so that they count on with the parent.
struct Counts {
  long calls[kKinds];
  uint64_t disturbances;
};
static struct Counts ownCounts;
static struct Counts* counts = &ownCounts;

// The next function of that name after this library: the C library's, or a
// sanitizer's that leads to it. Through memcpy, as ISO C has no cast from an
// object pointer to a function pointer.
static void resolve(const char* name, void* function, size_t size) {
  void* symbol = dlsym(RTLD_NEXT, name);
  memcpy(function, &symbol, size);
}

#define NEXT(type, name, ...)       \
  static type (*next)(__VA_ARGS__); \
  if (next == NULL)                 \
  resolve(name, &next, sizeof next)

static ssize_t realRead(int fd, void* data, size_t size) {
  NEXT(ssize_t, "read", int, void*, size_t);
  return next(fd, data, size);
}

static ssize_t realWrite(int fd, const void* data, size_t size) {
  NEXT(ssize_t, "write", int, const void*, size_t);
  return next(fd, data, size);
}

static int errnoNamed(const char* name) {
  static const struct {
    const char* name;
    int value;
  } known[] = {{"ENOSPC", ENOSPC}, {"EIO", EIO},       {"EDQUOT", EDQUOT}, {"EFBIG", EFBIG},   {"EPIPE", EPIPE},
               {"EINTR", EINTR},   {"EAGAIN", EAGAIN}, {"EACCES", EACCES}, {"EPERM", EPERM},   {"EROFS", EROFS},
               {"EBADF", EBADF},   {"EXDEV", EXDEV},   {"ENOENT", ENOENT}, {"EINVAL", EINVAL}, {"EBUSY", EBUSY}};
  for (size_t i = 0; i < sizeof known / sizeof known[0]; ++i)
    if (strcmp(name, known[i].name) == 0)
      return known[i].value;
  if (strcmp(name, "NOTHING") == 0)
    return 0;
  return atoi(name) > 0 ? atoi(name) : EIO;
}

static int signalNamed(const char* name) {
  if (strncmp(name, "SIG", 3) == 0)
    name += 3;
  static const struct {
    const char* name;
    int value;
  } known[] = {{"TERM", SIGTERM}, {"INT", SIGINT},   {"HUP", SIGHUP},  {"QUIT", SIGQUIT},
               {"KILL", SIGKILL}, {"PIPE", SIGPIPE}, {"XFSZ", SIGXFSZ}};
  for (size_t i = 0; i < sizeof known / sizeof known[0]; ++i)
    if (strcmp(name, known[i].name) == 0)
      return known[i].value;
  return atoi(name);
}

// "write:3:ENOSPC,close:1:EIO"
static void readFailures(const char* text) {
  char list[256];
  snprintf(list, sizeof list, "%s", text);
  for (char* item = strtok(list, ","); item != NULL; item = strtok(NULL, ",")) {
    char* count = strchr(item, ':');
    if (count == NULL)
      continue;
    *count++ = '\0';
    char* error = strchr(count, ':');
    if (error != NULL)
      *error++ = '\0';
    for (int kind = 0; kind < kKinds; ++kind)
      if (strcmp(item, kKindNames[kind]) == 0) {
        failFrom[kind] = atol(count);
        failErrno[kind] = error != NULL ? errnoNamed(error) : EIO;
      }
  }
}

static void configure(void) {
  if (__atomic_load_n(&configured, __ATOMIC_ACQUIRE))
    return;
  const char* faults = getenv("HEXLOG_FAULTS");
  if (faults != NULL) {
    shortCalls = strstr(faults, "short") != NULL;
    interruptedCalls = strstr(faults, "eintr") != NULL;
  }
  const char* text = getenv("HEXLOG_FAULTS_SEED");
  if (text != NULL)
    seed = strtoull(text, NULL, 10);
  text = getenv("HEXLOG_FAULTS_FAIL");
  if (text != NULL)
    readFailures(text);
  text = getenv("HEXLOG_FAULTS_RENAME");
  if (text != NULL) {
    char name[32];
    snprintf(name, sizeof name, "%s", text);
    char* when = strchr(name, ':');
    if (when != NULL)
      *when++ = '\0';
    renameSignal = signalNamed(name);
    renameAfter = when != NULL && strcmp(when, "after") == 0;
  }
  noTmpfile = getenv("HEXLOG_FAULTS_NO_TMPFILE") != NULL;
  void* shared = mmap(NULL, sizeof *counts, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (shared != MAP_FAILED)
    counts = shared;
  text = getenv("HEXLOG_FAULTS_LOG");
  if (text != NULL)
    logFd = open(text, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  __atomic_store_n(&configured, 1, __ATOMIC_RELEASE);
}

// At load, before the tool can fork: the counts must be one mapping that
// a child shares, whichever process makes the first call.
__attribute__((constructor)) static void configureAtLoad(void) {
  configure();
}

// One line, written at once so that the lines of threads and a child do
// not mix.
static void logCall(enum Kind kind, int fd, const char* path, long result) {
  if (logFd < 0)
    return;
  char where[4200] = "-";
  if (path != NULL) {
    snprintf(where, sizeof where, "%s", path);
  } else if (fd >= 0) {
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, where, sizeof where - 1);
    where[n > 0 ? n : 0] = '\0';
  }
  char line[4400];
  int n = snprintf(line, sizeof line, "%ld\t%s\t%d\t%s\t%ld\n", (long)getpid(), kKindNames[kind], fd, where, result);
  if (n > 0)
    realWrite(logFd, line, (size_t)n < sizeof line ? (size_t)n : sizeof line - 1);
}

// Whether this call of `kind` is one that fails for good; sets errno if so.
static int failsForGood(enum Kind kind) {
  long call = __atomic_add_fetch(&counts->calls[kind], 1, __ATOMIC_RELAXED);
  if (failFrom[kind] > 0 && call >= failFrom[kind]) {
    errno = failErrno[kind];
    return 1;
  }
  return 0;
}

// splitmix64 of the call's number: the same calls are disturbed in every run.
static uint64_t nextRandom(void) {
  uint64_t z = seed + 0x9E3779B97F4A7C15u * __atomic_add_fetch(&counts->disturbances, 1, __ATOMIC_RELAXED);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
  return z ^ (z >> 31);
}

// For a read or write of `size` bytes: -1 when the call is to fail with
// EINTR, else how many bytes it may do (1 to 7 for a short call).
static ssize_t disturbed(size_t size) {
  if ((!shortCalls && !interruptedCalls) || size == 0)
    return (ssize_t)size;
  // Three calls in eight interrupted, three short, two whole: a whole one
  // ends a long write, so a run makes only a few times the calls it would.
  uint64_t r = nextRandom();
  if (r % 8 < 3 && interruptedCalls)
    return -1;
  if (r % 8 >= 3 && r % 8 < 6 && shortCalls) {
    size_t part = 1 + (size_t)(r >> 8) % 7;
    return (ssize_t)(part < size ? part : size);
  }
  return (ssize_t)size;
}

// Whether a call on `fd` is left alone: standard error's are.
static int untouched(int fd) {
  configure();
  return fd == STDERR_FILENO;
}

// A data call's fate: -1 with errno set when it is not to be made, else how
// many of its `size` bytes it may do.
static ssize_t allowance(enum Kind kind, size_t size) {
  if (failsForGood(kind))
    return failErrno[kind] == 0 ? 0 : -1;
  ssize_t allowed = disturbed(size);
  if (allowed < 0)
    errno = EINTR;
  return allowed;
}

// A call's result, logged, errno kept.
static long logged(enum Kind kind, int fd, long result) {
  int saved = errno;
  logCall(kind, fd, NULL, result < 0 ? -saved : result);
  errno = saved;
  return result;
}

ssize_t read(int fd, void* data, size_t size) {
  NEXT(ssize_t, "read", int, void*, size_t);
  if (untouched(fd))
    return next(fd, data, size);
  ssize_t allowed = allowance(kRead, size);
  return logged(kRead, fd, allowed < 0 ? -1 : next(fd, data, (size_t)allowed));
}

ssize_t write(int fd, const void* data, size_t size) {
  NEXT(ssize_t, "write", int, const void*, size_t);
  if (untouched(fd))
    return next(fd, data, size);
  ssize_t allowed = allowance(kWrite, size);
  return logged(kWrite, fd, allowed < 0 ? -1 : next(fd, data, (size_t)allowed));
}

ssize_t pread(int fd, void* data, size_t size, off_t offset) {
  NEXT(ssize_t, "pread", int, void*, size_t, off_t);
  if (untouched(fd))
    return next(fd, data, size, offset);
  ssize_t allowed = allowance(kPread, size);
  return logged(kPread, fd, allowed < 0 ? -1 : next(fd, data, (size_t)allowed, offset));
}

ssize_t pread64(int fd, void* data, size_t size, off64_t offset) {
  NEXT(ssize_t, "pread64", int, void*, size_t, off64_t);
  if (untouched(fd))
    return next(fd, data, size, offset);
  ssize_t allowed = allowance(kPread, size);
  return logged(kPread, fd, allowed < 0 ? -1 : next(fd, data, (size_t)allowed, offset));
}

ssize_t pwrite(int fd, const void* data, size_t size, off_t offset) {
  NEXT(ssize_t, "pwrite", int, const void*, size_t, off_t);
  if (untouched(fd))
    return next(fd, data, size, offset);
  ssize_t allowed = allowance(kPwrite, size);
  return logged(kPwrite, fd, allowed < 0 ? -1 : next(fd, data, (size_t)allowed, offset));
}

ssize_t pwrite64(int fd, const void* data, size_t size, off64_t offset) {
  NEXT(ssize_t, "pwrite64", int, const void*, size_t, off64_t);
  if (untouched(fd))
    return next(fd, data, size, offset);
  ssize_t allowed = allowance(kPwrite, size);
  return logged(kPwrite, fd, allowed < 0 ? -1 : next(fd, data, (size_t)allowed, offset));
}

// The vector calls: a short one does part of the first buffer only.
static size_t totalSize(const struct iovec* parts, int count) {
  size_t total = 0;
  for (int i = 0; i < count; ++i)
    total += parts[i].iov_len;
  return total;
}

static size_t firstPart(const struct iovec* parts, size_t allowed) {
  return allowed < parts[0].iov_len ? allowed : parts[0].iov_len;
}

ssize_t readv(int fd, const struct iovec* parts, int count) {
  NEXT(ssize_t, "readv", int, const struct iovec*, int);
  size_t size = totalSize(parts, count);
  if (untouched(fd))
    return next(fd, parts, count);
  ssize_t allowed = allowance(kRead, size);
  if (allowed < 0)
    return logged(kRead, fd, -1);
  if ((size_t)allowed == size)
    return logged(kRead, fd, next(fd, parts, count));
  return logged(kRead, fd, realRead(fd, parts[0].iov_base, firstPart(parts, (size_t)allowed)));
}

ssize_t writev(int fd, const struct iovec* parts, int count) {
  NEXT(ssize_t, "writev", int, const struct iovec*, int);
  size_t size = totalSize(parts, count);
  if (untouched(fd))
    return next(fd, parts, count);
  ssize_t allowed = allowance(kWrite, size);
  if (allowed < 0)
    return logged(kWrite, fd, -1);
  if ((size_t)allowed == size)
    return logged(kWrite, fd, next(fd, parts, count));
  return logged(kWrite, fd, realWrite(fd, parts[0].iov_base, firstPart(parts, (size_t)allowed)));
}

// fsync, fdatasync and close: no disturbance, only failure for good.
int fsync(int fd) {
  NEXT(int, "fsync", int);
  if (untouched(fd))
    return next(fd);
  return (int)logged(kFsync, fd, failsForGood(kFsync) ? -1 : next(fd));
}

int fdatasync(int fd) {
  NEXT(int, "fdatasync", int);
  if (untouched(fd))
    return next(fd);
  return (int)logged(kFdatasync, fd, failsForGood(kFdatasync) ? -1 : next(fd));
}

int close(int fd) {
  NEXT(int, "close", int);
  if (untouched(fd) || fd == logFd)
    return next(fd);
  // The fd's path, while it still has one.
  char link[64], path[4200] = "-";
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  ssize_t n = logFd >= 0 ? readlink(link, path, sizeof path - 1) : -1;
  path[n > 0 ? n : 1] = '\0';
  int result = failsForGood(kClose) ? -1 : next(fd);
  int saved = errno;
  logCall(kClose, fd, path, result < 0 ? -saved : result);
  errno = saved;
  return result;
}

// A path as the kernel would resolve it: a relative name is taken from the
// folder `dir` stands for, so that every log line names whole paths.
static void pathAt(int dir, const char* name, char* path, size_t size) {
  if (name[0] == '/') {
    snprintf(path, size, "%s", name);
    return;
  }
  char link[64], folder[4096];
  if (dir == AT_FDCWD)
    snprintf(link, sizeof link, "/proc/self/cwd");
  else
    snprintf(link, sizeof link, "/proc/self/fd/%d", dir);
  ssize_t n = readlink(link, folder, sizeof folder - 1);
  folder[n > 0 ? n : 0] = '\0';
  snprintf(path, size, "%s/%s", folder, name);
}

// Every rename goes through here, and the signal around it.
static int renameCall(int oldDir, const char* oldName, int newDir, const char* newName, unsigned flags) {
  NEXT(int, "renameat2", int, const char*, int, const char*, unsigned);
  configure();
  char from[4200], to[4200], both[8500];
  pathAt(oldDir, oldName, from, sizeof from);
  pathAt(newDir, newName, to, sizeof to);
  snprintf(both, sizeof both, "%s -> %s", from, to);
  if (renameSignal != 0 && !renameAfter)
    raise(renameSignal);
  int result = failsForGood(kRename) ? -1 : next(oldDir, oldName, newDir, newName, flags);
  int saved = errno;
  logCall(kRename, -1, both, result < 0 ? -saved : result);
  if (renameSignal != 0 && renameAfter)
    raise(renameSignal);
  errno = saved;
  return result;
}

int rename(const char* oldName, const char* newName) {
  return renameCall(AT_FDCWD, oldName, AT_FDCWD, newName, 0);
}

int renameat(int oldDir, const char* oldName, int newDir, const char* newName) {
  return renameCall(oldDir, oldName, newDir, newName, 0);
}

int renameat2(int oldDir, const char* oldName, int newDir, const char* newName, unsigned flags) {
  return renameCall(oldDir, oldName, newDir, newName, flags);
}

// open() and its like: only O_TMPFILE is ever refused.
static int openCall(const char* name, int dir, const char* path, int flags, mode_t mode) {
  // configure() itself opens the log: its settings are read by then.
  if (__atomic_load_n(&configured, __ATOMIC_ACQUIRE) && noTmpfile && (flags & O_TMPFILE) == O_TMPFILE) {
    errno = EOPNOTSUPP;
    return -1;
  }
  static int (*next[2])(int, const char*, int, ...);
  int at = name[4] == 't' && name[6] == '6' ? 1 : 0;  // openat64 or openat
  if (next[at] == NULL)
    resolve(at ? "openat64" : "openat", &next[at], sizeof next[at]);
  return next[at](dir, path, flags, mode);
}

static mode_t modeOf(int flags, va_list values) {
  return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? (mode_t)va_arg(values, int) : 0;
}

int open(const char* path, int flags, ...) {
  va_list values;
  va_start(values, flags);
  mode_t mode = modeOf(flags, values);
  va_end(values);
  return openCall("openat", AT_FDCWD, path, flags, mode);
}

int open64(const char* path, int flags, ...) {
  va_list values;
  va_start(values, flags);
  mode_t mode = modeOf(flags, values);
  va_end(values);
  return openCall("openat64", AT_FDCWD, path, flags, mode);
}

int openat(int dir, const char* path, int flags, ...) {
  va_list values;
  va_start(values, flags);
  mode_t mode = modeOf(flags, values);
  va_end(values);
  return openCall("openat", dir, path, flags, mode);
}

int openat64(int dir, const char* path, int flags, ...) {
  va_list values;
  va_start(values, flags);
  mode_t mode = modeOf(flags, values);
  va_end(values);
  return openCall("openat64", dir, path, flags, mode);
}
