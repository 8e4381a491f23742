// --output=FILE: a regular file is replaced whole, on disk, with its owner
// and mode, or not at all; anything else (a device, a FIFO) is written in
// place as the shell's `>` would; and a run that cannot succeed leaves no
// trace.
#include <grp.h>
#include <sys/sysmacros.h>

#include <csignal>
#include <cstring>

#ifdef HEXLOG_TEST_NETCDF
#include <netcdf.h>
#endif

#include "faults.hpp"

namespace {

using OutputFile = FaultTest;

const std::string kOld = "precious\n";

bool isA(const std::string& path, mode_t type) {
  struct stat status;
  return lstat(path.c_str(), &status) == 0 && (status.st_mode & S_IFMT) == type;
}

size_t lines(const std::string& text) {
  return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

std::vector<std::string> with(std::vector<std::string> args, const std::vector<std::string>& more) {
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

TEST_F(OutputFile, WithoutInputFilesItIsASlipAndRefused) {
  std::string content = stationLog(2);
  std::string day = file("day.log", content);
  std::string folder = dir_;
  inChild_ = [folder] {
    if (chdir(folder.c_str()) != 0)
      _exit(126);
  };
  Result r = run({"--output=day.log"});  // meant: hexlog day.log
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "hexlog: --output=day.log but no input files; name them, or - for standard input\n");
  EXPECT_EQ(slurp(day), content);
  EXPECT_EQ(leftovers(), std::vector<std::string>{"day.log"});
}

// ---- Targets that are not regular files -------------------------------------

class Targets : public OutputFile {
 protected:
  // A device by its numbers. As root, a node of its own in the test's
  // folder: a tool that still put a new file in the target's place would
  // otherwise replace the machine's /dev/full. Without root, /dev itself,
  // which such a tool cannot change.
  std::string device(const std::string& name, unsigned major, unsigned minor) {
    if (geteuid() != 0)
      return "/dev/" + name;
    std::string path = dir_ + "/" + name;
    EXPECT_EQ(mknod(path.c_str(), S_IFCHR | 0666, makedev(major, minor)), 0) << std::strerror(errno);
    return path;
  }

  // What a FIFO's reader receives from a run of the tool into it.
  std::string readThroughFifo(const std::string& fifo, std::vector<std::string> args, Result& result) {
    int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);  // the tool's open finds a reader waiting
    EXPECT_GE(reader, 0);
    pid_t pid = start(std::move(args));
    std::string received;
    char block[65536];
    auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (bool over = false; !over;) {
      over = ended(pid) || std::chrono::steady_clock::now() > giveUp;  // then one more pass empties the FIFO
      for (ssize_t n; (n = read(reader, block, sizeof block)) > 0;)
        received.append(block, static_cast<size_t>(n));
      if (!over)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    close(reader);
    result = finishWithin(pid);
    return received;
  }
};

TEST_F(Targets, DevicesAreWrittenInPlace) {
  std::string log = file("a.log", stationLog(50));
  faults();
  std::string decoded = run({log}).out;
  std::string null = device("null", 1, 3);
  Result r = run({"--output=" + null, log});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(isA(null, S_IFCHR));
  std::string full = device("full", 1, 7);
  r = run({"--output=" + full, log});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "hexlog: write error: " + full + ": " + std::strerror(ENOSPC) + "\n");
  EXPECT_TRUE(isA(full, S_IFCHR));
  // Standard output by name; as root through a link of the test's own, as with null and full.
  std::string stdoutByName = "/dev/stdout";
  if (geteuid() == 0) {
    stdoutByName = dir_ + "/stdout";
    ASSERT_EQ(symlink("/proc/self/fd/1", stdoutByName.c_str()), 0);
  }
  r = run({"--output=" + stdoutByName, log});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(r.out == decoded) << r.out.size() << " bytes, not " << decoded.size();
#ifdef HEXLOG_TEST_NETCDF
  // netCDF onto a device: written, or refused in a line of its own.
  r = run({"--format=netcdf", "--output=" + null, log});
  EXPECT_TRUE(r.status == 0 || (r.status == 1 && lines(r.err) == 1)) << r.status << " " << r.err;
  EXPECT_TRUE(isA(null, S_IFCHR));
#endif
  if (geteuid() == 0) {
    EXPECT_TRUE(isA(stdoutByName, S_IFLNK));
    EXPECT_EQ(leftovers(), (std::vector<std::string>{"a.log", "full", "null", "stdout"}));
  }
}

TEST_F(Targets, AFifoStaysAFifoAndItsReaderGetsEveryByte) {
  std::string log = file("a.log", stationLog(500));
  std::string fifo = dir_ + "/out.fifo";
  auto makeFifo = [&] {
    unlink(fifo.c_str());
    return mkfifo(fifo.c_str(), 0600) == 0;
  };
  faults();
  for (const char* format : {"--format=plain", "--format=csv"}) {
    ASSERT_TRUE(makeFifo());
    Result r;
    std::string received = readThroughFifo(fifo, {format, "--output=" + fifo, log}, r);
    EXPECT_EQ(r.status, 0) << format << r.err;
    EXPECT_TRUE(received == run({format, log}).out) << format << ": " << received.size() << " bytes";
    EXPECT_TRUE(isA(fifo, S_IFIFO)) << format;
  }
#ifdef HEXLOG_TEST_NETCDF
  // netCDF onto a FIFO: a whole file for its reader, or a refusal; never a
  // hang, and never success with nothing sent.
  ASSERT_TRUE(makeFifo());
  Result r;
  std::string received = readThroughFifo(fifo, {"--format=netcdf", "--output=" + fifo, log}, r);
  EXPECT_TRUE(isA(fifo, S_IFIFO));
  if (r.status == 1) {
    EXPECT_EQ(lines(r.err), 1u) << r.err;
  } else {
    EXPECT_EQ(r.status, 0) << r.err;
    std::string copy = file("received.nc", received);
    int id, dimension;
    size_t records = 0;
    ASSERT_EQ(nc_open(copy.c_str(), NC_NOWRITE, &id), NC_NOERR) << received.size() << " bytes received";
    EXPECT_EQ(nc_inq_dimid(id, "time", &dimension), NC_NOERR);
    EXPECT_EQ(nc_inq_dimlen(id, dimension, &records), NC_NOERR);
    EXPECT_EQ(records, 500u);
    nc_close(id);
  }
#endif
}

#ifdef HEXLOG_TEST_NETCDF
// netCDF is written aside in $TMPDIR and copied into a target that is not a
// regular file: whether that works or fails, nothing stays in $TMPDIR.
TEST_F(Targets, NetcdfOntoADeviceOrAFifoLeavesNothingAside) {
  std::string log = file("a.log", stationLog(500));
  std::string tmp = dir_ + "/tmp";
  ASSERT_EQ(mkdir(tmp.c_str(), 0700), 0);
  std::string fifo = dir_ + "/out.fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  faults({"TMPDIR=" + tmp});
  for (const std::string& target : {device("null", 1, 3), device("full", 1, 7), fifo}) {
    Result r;
    if (target == fifo)
      EXPECT_GT(readThroughFifo(fifo, {"--format=netcdf", "--output=" + fifo, log}, r).size(), 1000u);
    else
      r = run({"--format=netcdf", "--output=" + target, log});
    EXPECT_EQ(r.status, target.find("full") == std::string::npos ? 0 : 1) << target << r.err;
    EXPECT_EQ(std::system(("test -z \"$(ls -A '" + tmp + "')\"").c_str()), 0) << target;
  }
}
#endif

// A name of one of the tool's own descriptors is written through that
// descriptor as the shell set it up: after what its file held (">>"), the
// file itself neither truncated nor renamed over.
TEST_F(Targets, AnOwnDescriptorsNameIsWrittenThroughTheDescriptor) {
  std::string log = file("a.log", stationLog(50));
  std::string kept = dir_ + "/kept.txt";
  faults();
  std::vector<std::vector<std::string>> formats = {{"--format=csv"}, {"-v"}};
#ifdef HEXLOG_TEST_NETCDF
  formats.push_back({"--format=netcdf"});
#endif
  for (const std::vector<std::string>& format : formats) {
    for (const char* name : {"/dev/stdout", "/dev/fd/1", "/proc/self/fd/1", "/proc/thread-self/fd/1", "/dev/fd/7"}) {
      std::string where = format[0] + " " + name;
      file("kept.txt", "kept\n");
      struct stat before, after;
      ASSERT_EQ(stat(kept.c_str(), &before), 0);
      inChild_ = [kept] {
        int appending = open(kept.c_str(), O_WRONLY | O_APPEND);
        dup2(appending, 1);
        dup2(appending, 7);
        close(appending);
      };
      Result r = run(with(format, {std::string("--output=") + name, log}));
      inChild_ = nullptr;
      EXPECT_EQ(r.status, 0) << where << r.err;
      std::string text = slurp(kept);
      ASSERT_EQ(stat(kept.c_str(), &after), 0);
      EXPECT_EQ(after.st_ino, before.st_ino) << where;
      EXPECT_EQ(text.substr(0, 5), "kept\n") << where;
      if (format[0] == "--format=netcdf") {
        EXPECT_EQ(text.substr(5, 4), "\x89HDF") << where;
      } else {
        EXPECT_TRUE(text.substr(5) == run(with(format, {log})).out) << where;
      }
      EXPECT_EQ(leftovers(), (std::vector<std::string>{"a.log", "kept.txt"})) << where;
    }
  }
}

// With standard input, output or error closed, no file the tool opens may
// take its number: the notices never land in the output, the input is
// never the tool's own temporary file, and every format comes out whole.
TEST_F(OutputFile, ClosedStandardDescriptorsTakeNothingIn) {
  std::string content = stationLog(60);
  std::string log = file("a.log", content + content.substr(content.find('\n') + 1));  // all repeated
  std::string out = dir_ + "/out";
  env_ = {"SOURCE_DATE_EPOCH=1800000000"};  // and no shim, whose log would take the closed number
  for (const Format& format : formats()) {
    std::vector<std::string> args = with(format.options, {"--summary", "--output=" + out, log});
    Result open = run(args);
    ASSERT_EQ(open.status, 0) << format.name << open.err;
    ASSERT_NE(open.err, "") << format.name << ": nothing on standard error to lose";
    std::string expected = slurp(out);
    for (int closed : {0, 1, 2}) {
      std::string where = format.name + " with descriptor " + std::to_string(closed) + " closed";
      inChild_ = [closed] { close(closed); };
      unlink(out.c_str());
      Result r = run(args);
      EXPECT_EQ(r.status, 0) << where << r.err;
      EXPECT_TRUE(slurp(out) == expected) << where;
      if (closed != 2) {
        EXPECT_EQ(r.err, open.err) << where;
      }
      // Standard input itself, closed, reads as an input that cannot be read.
      file("out", kOld);
      Result piped = run(with(format.options, {"--output=" + out, "-"}));
      inChild_ = nullptr;
      if (closed == 0) {
        EXPECT_EQ(piped.status, 1) << where;
        EXPECT_EQ(piped.err, "Cannot read file -: " + std::string(std::strerror(EBADF)) + "\n") << where;
        EXPECT_EQ(slurp(out), kOld) << where;
      }
      EXPECT_EQ(listing(), (std::vector<std::string>{"a.log", "out"})) << where;
    }
  }
}

// ---- Replacing a regular file -------------------------------------------------

// The formats the tool writes itself and through the netCDF library.
std::vector<std::vector<std::string>> writers() {
#ifdef HEXLOG_TEST_NETCDF
  return {{}, {"--format=netcdf"}};
#else
  return {{}};
#endif
}

// From the shim's log: the new file's data are on disk before it takes the
// old one's name, and the name is on disk (the folder synced) after.
TEST_F(OutputFile, TheDataAreSyncedBeforeTheRenameAndTheFolderAfter) {
  std::string log = file("a.log", stationLog(50));
  std::string out = file("out", kOld);
  for (const std::vector<std::string>& format : writers()) {
    faults();
    ASSERT_EQ(run(with(format, {"--output=" + out, log})).status, 0);
    std::vector<Call> made = calls();
    auto renamed = std::find_if(made.begin(), made.end(), [&](const Call& c) {
      return c.kind == "rename" && c.result == 0 && c.path.size() > 4 && c.path.substr(c.path.size() - 4) == "/out";
    });
    ASSERT_NE(renamed, made.end()) << "no rename onto " << out;
    std::string temporary = baseName(renamed->path.substr(0, renamed->path.find(" -> ")));
    auto synced = [](const Call& c, const std::string& path) {
      return (c.kind == "fsync" || c.kind == "fdatasync") && c.result == 0 && c.path == path;
    };
    std::string where = format.empty() ? "plain" : format[0];
    EXPECT_TRUE(
        std::any_of(made.begin(), renamed, [&](const Call& c) { return synced(c, realDir() + "/" + temporary); }))
        << where << ": " << temporary << " is not synced before the rename";
    EXPECT_TRUE(std::any_of(renamed, made.end(), [&](const Call& c) { return synced(c, realDir()); }))
        << where << ": the folder is not synced after the rename";
  }
}

TEST_F(OutputFile, AReplacedFileKeepsItsOwnerGroupAndSpecialBits) {
  if (geteuid() != 0)
    GTEST_SKIP() << "only root can give a file to another user";
  std::string log = file("a.log", stationLog(50));
  std::string out = file("out", kOld);
  for (const std::vector<std::string>& format : writers()) {
    // chown() clears the set-user-ID and set-group-ID bits: they survive only if set after it.
    ASSERT_EQ(chown(out.c_str(), 65534, 65534), 0);
    ASSERT_EQ(chmod(out.c_str(), 06755), 0);
    faults();
    EXPECT_EQ(run(with(format, {"--output=" + out, log})).status, 0);
    struct stat made;
    ASSERT_EQ(stat(out.c_str(), &made), 0);
    std::string where = format.empty() ? "plain" : format[0];
    EXPECT_NE(slurp(out), kOld) << where;
    EXPECT_EQ(made.st_uid, 65534u) << where;
    EXPECT_EQ(made.st_gid, 65534u) << where;
    EXPECT_EQ(made.st_mode & 07777, 06755u) << where;
  }
}

// FILE a link: the link stays a link, and the file it leads to is replaced
// whole (a new file in its place) or, by a failed run, left as it was.
TEST_F(OutputFile, ALinkStaysALinkToAFileReplacedWhole) {
  std::string log = file("a.log", stationLog(50));
  ASSERT_EQ(mkdir((dir_ + "/real").c_str(), 0755), 0);
  std::string target = file("real/out", kOld);
  std::string link = dir_ + "/out";
  ASSERT_EQ(symlink("real/out", link.c_str()), 0);
  for (const std::vector<std::string>& format : writers()) {
    std::string where = format.empty() ? "plain" : format[0];
    faults();
    struct stat before, after;
    ASSERT_EQ(stat(target.c_str(), &before), 0);
    Result r = run(with(format, {"--output=" + link, log, dir_ + "/missing.log"}));
    EXPECT_EQ(r.status, 1) << where;
    ASSERT_EQ(stat(target.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino) << where;
    EXPECT_EQ(slurp(target), kOld) << where;
    EXPECT_EQ(run(with(format, {"--output=" + link, log})).status, 0) << where;
    EXPECT_TRUE(isA(link, S_IFLNK)) << where;
    ASSERT_EQ(stat(target.c_str(), &after), 0);
    EXPECT_NE(after.st_ino, before.st_ino) << where << ": written in place, not replaced";
    EXPECT_NE(slurp(target), kOld) << where;
    file("real/out", kOld);
  }
}

// A close() that fails may be the last word on data that never reached the
// disk: the run fails and the old file stays.
TEST_F(OutputFile, AFailedCloseFailsTheRun) {
  std::string log = file("a.log", stationLog(50));
  std::string out = dir_ + "/out";
  for (const std::vector<std::string>& format : writers()) {
    std::string where = format.empty() ? "plain" : format[0];
    faults();
    ASSERT_EQ(run(with(format, {"--output=" + out, log})).status, 0);
    // The last close of the new file, which ends its writing.
    std::vector<Call> closes = calls("close");
    auto last = std::find_if(closes.rbegin(), closes.rend(),
                             [](const Call& c) { return baseName(c.path).rfind(".hexlog-", 0) == 0; });
    ASSERT_NE(last, closes.rend()) << where;
    std::string n = std::to_string(closes.rend() - last);
    file("out", kOld);
    faults({"HEXLOG_FAULTS_FAIL=close:" + n + ":EIO"});
    Result r = run(with(format, {"--output=" + out, log}));
    EXPECT_EQ(r.status, 1) << where;
    EXPECT_EQ(r.err.rfind("hexlog: write error: " + out + ": ", 0), 0u) << where << ": " << r.err;
    if (format.empty()) {
      EXPECT_EQ(r.err, "hexlog: write error: " + out + ": " + std::strerror(EIO) + "\n");
    }
    EXPECT_EQ(slurp(out), kOld) << where;
    EXPECT_EQ(leftovers(), (std::vector<std::string>{"a.log", "out"})) << where;
  }
}

// ---- Refusals before anything is read ------------------------------------------

TEST_F(OutputFile, AFolderIsRefusedBeforeAnyInputIsOpened) {
  ASSERT_EQ(mkdir((dir_ + "/sub").c_str(), 0755), 0);
  std::string fifo = dir_ + "/in.fifo";  // nobody writes it: opening it would wait for ever
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const std::vector<std::string>& format : writers()) {
    faults();
    Result r = finishWithin(start(with(format, {"--output=" + dir_ + "/sub", fifo})));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(lines(r.err), 1u) << r.err;
    EXPECT_NE(r.err.find(dir_ + "/sub"), std::string::npos) << r.err;
    EXPECT_EQ(leftovers(), (std::vector<std::string>{"in.fifo", "sub"}));
  }
  EXPECT_EQ(rmdir((dir_ + "/sub").c_str()), 0) << "nothing is made inside the folder either";
}

TEST_F(OutputFile, AReadOnlyFileIsRefusedToAUserWhoCannotWriteIt) {
  if (geteuid() != 0)
    GTEST_SKIP() << "only root can run the tool as another user";
  ASSERT_EQ(chmod(dir_.c_str(), 0777), 0);
  std::string log = file("a.log", stationLog(5));
  std::string out = file("out", kOld);
  ASSERT_EQ(chmod(out.c_str(), 0444), 0);
  inChild_ = [] {  // as setpriv --reuid=65534 --regid=65534 --clear-groups
    if (setgroups(0, nullptr) != 0 || setregid(65534, 65534) != 0 || setreuid(65534, 65534) != 0)
      _exit(126);
  };
  for (const std::vector<std::string>& format : writers()) {
    faults();
    Result r = run(with(format, {"--output=" + out, log}));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(lines(r.err), 1u) << r.err;
    EXPECT_NE(r.err.find(out), std::string::npos) << r.err;
    EXPECT_EQ(slurp(out), kOld);
    EXPECT_EQ(leftovers(), (std::vector<std::string>{"a.log", "out"}));
  }
}

// ---- netCDF and an input that fails ---------------------------------------------

#ifdef HEXLOG_TEST_NETCDF

TEST_F(OutputFile, NetcdfWithAnInputThatFailsLeavesNoTrace) {
  std::string log = file("a.log", stationLog(50));
  std::string out = dir_ + "/o.nc";
  ASSERT_EQ(mkdir((dir_ + "/sub").c_str(), 0755), 0);
  const std::pair<std::string, std::string> inputs[] = {
      {dir_ + "/missing.log", "Cannot open file " + dir_ + "/missing.log: " + std::strerror(ENOENT)},
      {dir_ + "/sub", "Cannot read file " + dir_ + "/sub: " + std::strerror(EISDIR)}};
  for (bool existed : {true, false}) {
    for (const auto& [input, message] : inputs) {
      std::string where = input + (existed ? " over an old file" : "");
      if (existed)
        file("o.nc", kOld);
      faults();
      Result r = run({"--format=netcdf", "--output=" + out, log, input});
      EXPECT_EQ(r.status, 1) << where;
      EXPECT_EQ(r.err, message + "\n") << where;
      if (existed)
        EXPECT_EQ(slurp(out), kOld) << where;
      else
        EXPECT_FALSE(exists("o.nc")) << where;
      EXPECT_EQ(leftovers(), existed ? (std::vector<std::string>{"a.log", "o.nc", "sub"})
                                     : (std::vector<std::string>{"a.log", "sub"}))
          << where;
      unlink(out.c_str());
    }
  }
}

#endif

}  // namespace
