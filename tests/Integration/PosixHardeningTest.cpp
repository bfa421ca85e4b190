// Deletions on the real POSIX body under attack and under use: folders
// swapped for links, odd entry kinds, files held by other processes, files
// replaced between the check and the unlink, and deletions the file system
// refuses. Everything happens in scratch folders; the tests that need mounts
// make them in a private mount namespace of a child process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "Platform/Posix/PosixPlatform.h"
#include "RunControl.h"
#include "Sweep.h"

namespace fs = std::filesystem;

namespace qor {
namespace {

// ---- scratch files -------------------------------------------------------

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool Exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

void SetAgeDays(const std::string& path, int days) {
  const timespec when{::time(nullptr) - static_cast<time_t>(days) * 86'400, 0};
  const timespec times[2] = {when, when};
  ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

bool SetImmutable(const std::string& path, bool on) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  int flags = 0;
  bool done = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
  if (done) {
    flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
    done = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
  }
  ::close(fd);
  return done;
}

class Scratch {
 public:
  Scratch() {
    std::string pattern = ::testing::TempDir() + "qor-harden-XXXXXX";
    if (::mkdtemp(pattern.data()) != nullptr) root_ = pattern;
  }
  ~Scratch() {
    std::error_code ignored;
    for (const std::string& path : immutable_) SetImmutable(path, false);
    fs::remove_all(root_, ignored);
  }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;

  [[nodiscard]] bool Ok() const { return !root_.empty(); }
  [[nodiscard]] std::string Path(const std::string& relative) const {
    return root_ + "/" + relative;
  }
  std::string Folder(const std::string& relative) const {
    fs::create_directories(Path(relative));
    return Path(relative);
  }
  // Remembered so the flag is cleared before the scratch folder is removed.
  bool MakeImmutable(const std::string& path) {
    if (!SetImmutable(path, true)) return false;
    immutable_.push_back(path);
    return true;
  }

 private:
  std::string root_;
  std::vector<std::string> immutable_;
};

int Sweep(PosixPlatform& platform, const std::string& folder, const SweepPass& pass) {
  int deleted = 0;
  SweepDirectory(platform, WidenBytes(folder), pass, deleted);
  return deleted;
}

int SweepDsp(const std::string& folder, PosixDeleteHooks hooks = {}) {
  PosixPlatform platform("/nonexistent/cups-files.conf");
  platform.SetDeleteHooks(std::move(hooks));
  return Sweep(platform, folder, DspPass());
}

// ---- child processes -----------------------------------------------------

bool WriteAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// What a child sent back before it ended.
struct ChildReport {
  bool finished = false;  // false: it did not end in time and was killed
  std::string text;
};

// Runs `body` in a forked child and returns the text it produced. The child
// is single-threaded, so it may unshare its mount namespace, and it is
// killed if it has not ended within `timeout` (a sweep that blocked).
ChildReport RunInChild(const std::function<std::string()>& body,
                       std::chrono::seconds timeout = std::chrono::seconds(30)) {
  int channel[2];
  if (::pipe2(channel, O_CLOEXEC) != 0) return {true, "pipe failed"};
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(channel[0]);
    WriteAll(channel[1], body());
    ::_exit(0);
  }
  ::close(channel[1]);
  ChildReport report;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd wait{channel[0], POLLIN, 0};
    if (left.count() <= 0 || ::poll(&wait, 1, static_cast<int>(left.count())) <= 0) break;
    char chunk[512];
    const ssize_t n = ::read(channel[0], chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      report.finished = true;
      break;
    }
    report.text.append(chunk, static_cast<std::size_t>(n));
  }
  ::close(channel[0]);
  if (!report.finished) ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  return report;
}

// For children that check for themselves: "" means every check held,
// "SKIP: why" that the machine cannot express the case, anything else is
// what failed.
#define EXPECT_CHILD_PASSED(report)                                         \
  do {                                                                      \
    const ChildReport r_ = (report);                                        \
    ASSERT_TRUE(r_.finished) << "the child did not finish in time";         \
    if (r_.text.rfind("SKIP: ", 0) == 0) GTEST_SKIP() << r_.text.substr(6); \
    EXPECT_EQ(r_.text, "");                                                 \
  } while (false)

enum class HoldMode { Read, Write, MappedThenClosed };

const char* Describe(HoldMode mode) {
  switch (mode) {
    case HoldMode::Read:
      return "open for reading";
    case HoldMode::Write:
      return "open for writing";
    case HoldMode::MappedThenClosed:
      return "mapped, descriptor closed";
  }
  return "";
}

// Another process that uses a file until it is released (or destroyed).
class Holder {
 public:
  Holder(const std::string& path, HoldMode mode) {
    int ready[2];
    int release[2];
    if (::pipe2(ready, O_CLOEXEC) != 0 || ::pipe2(release, O_CLOEXEC) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(ready[0]);
      ::close(release[1]);
      const int fd = ::open(path.c_str(), mode == HoldMode::Write ? O_WRONLY : O_RDONLY);
      bool holding = fd >= 0;
      if (holding && mode == HoldMode::MappedThenClosed) {
        holding = ::mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd, 0) != MAP_FAILED;
        ::close(fd);
      }
      const char state = holding ? 'y' : 'n';
      (void)!::write(ready[1], &state, 1);
      char ignored = 0;
      (void)!::read(release[0], &ignored, 1);  // returns when the parent lets go
      ::_exit(0);
    }
    ::close(ready[1]);
    ::close(release[0]);
    release_ = release[1];
    char state = 'n';
    holding_ = ::read(ready[0], &state, 1) == 1 && state == 'y';
    ::close(ready[0]);
  }
  ~Holder() { Release(); }
  Holder(const Holder&) = delete;
  Holder& operator=(const Holder&) = delete;

  [[nodiscard]] bool Holding() const { return holding_; }

  void Release() {
    if (pid_ <= 0) return;
    ::close(release_);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  int release_ = -1;
  bool holding_ = false;
};

class PosixHardening : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(scratch_.Ok()) << "no scratch folder"; }
  Scratch scratch_;
};

// ---- swap ----------------------------------------------------------------

// The folder is renamed away and a link to a precious folder with the same
// names takes its place, once, at the given point of the first deletion.
TEST_F(PosixHardening, FolderSwappedForALinkCannotRedirectDeletions) {
  for (const bool atUnlink : {false, true}) {
    SCOPED_TRACE(atUnlink ? "swapped just before the unlink" : "swapped just before the open");
    const std::string base = scratch_.Folder(atUnlink ? "unlink" : "open");
    const std::string folder =
        scratch_.Folder((atUnlink ? "unlink" : "open") + std::string("/tmp"));
    const std::string precious =
        scratch_.Folder((atUnlink ? "unlink" : "open") + std::string("/etc"));
    const std::vector<std::string> names = {"DSP0001.tmp", "DSP0002.tmp", "DSP0003.tmp"};
    for (const std::string& name : names) {
      WriteFile(folder + "/" + name, "scratch");
      WriteFile(precious + "/" + name, "precious");
    }
    bool swapped = false;
    const auto swap = [&](std::string_view) {
      if (swapped) return;
      swapped = ::rename(folder.c_str(), (base + "/away").c_str()) == 0 &&
                ::symlink(precious.c_str(), folder.c_str()) == 0;
    };
    PosixDeleteHooks hooks;
    (atUnlink ? hooks.beforeUnlink : hooks.beforeOpen) = swap;

    const int count = SweepDsp(folder + "/", hooks);

    ASSERT_TRUE(swapped);
    int vanished = 0;
    for (const std::string& name : names) {
      EXPECT_EQ(ReadFile(precious + "/" + name), "precious") << name;
      if (!Exists(base + "/away/" + name)) ++vanished;
    }
    EXPECT_EQ(count, vanished);
    EXPECT_EQ(vanished, 3) << "the pass went on in the folder it had opened";
  }
}

// ---- entry kinds ---------------------------------------------------------

TEST_F(PosixHardening, LinksFoldersFifosAndSocketsLeaveEveryTargetIntact) {
  const std::string folder = scratch_.Folder("tmp");
  const std::string outside = scratch_.Folder("outside");
  WriteFile(outside + "/file", "target");
  WriteFile(outside + "/linked", "hard");
  scratch_.Folder("outside/dir");
  WriteFile(outside + "/dir/inner", "inner");
  scratch_.Folder("tmp/ABCD.tmp");
  WriteFile(folder + "/ABCD.tmp/0000.tmp", "");
  SetAgeDays(folder + "/ABCD.tmp/0000.tmp", 10);
  SetAgeDays(folder + "/ABCD.tmp", 10);

  ASSERT_EQ(::symlink((outside + "/file").c_str(), (folder + "/DSP0001.tmp").c_str()), 0);
  ASSERT_EQ(::symlink((outside + "/dir").c_str(), (folder + "/DSP0002.tmp").c_str()), 0);
  ASSERT_EQ(::link((outside + "/linked").c_str(), (folder + "/DSP0003.tmp").c_str()), 0);
  ASSERT_EQ(::mkfifo((folder + "/DSP0004.tmp").c_str(), 0600), 0);
  ASSERT_EQ(::mkfifo((folder + "/0004.tmp").c_str(), 0600), 0);
  SetAgeDays(folder + "/0004.tmp", 10);
  const std::string socketPath = folder + "/DSP0005.tmp";
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(socketPath.size(), sizeof address.sun_path) << "scratch path too long for a socket";
  std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
  const int sock = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_EQ(::bind(sock, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  ::close(sock);

  // A writer waiting for the FIFO's first reader: it is released only if the
  // sweep opens the FIFO, which it must never do.
  const pid_t writer = ::fork();
  if (writer == 0) {
    const int fd = ::open((folder + "/DSP0004.tmp").c_str(), O_WRONLY);
    ::_exit(fd >= 0 ? 0 : 1);
  }

  // In a child under a time limit: a sweep that opened a FIFO for reading
  // and waited for a writer would never end.
  const ChildReport report = RunInChild(
      [&] {
        PosixPlatform platform("/nonexistent/cups-files.conf");
        return std::to_string(Sweep(platform, folder, HexPass(true)) +
                              Sweep(platform, folder, DspPass()));
      },
      std::chrono::seconds(10));

  EXPECT_EQ(::waitpid(writer, nullptr, WNOHANG), 0) << "the sweep opened the FIFO";
  const int reader = ::open((folder + "/DSP0004.tmp").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (reader < 0) ::kill(writer, SIGKILL);  // the FIFO is gone: nothing will release it
  ::waitpid(writer, nullptr, 0);
  if (reader >= 0) ::close(reader);

  ASSERT_TRUE(report.finished) << "the sweep blocked";
  EXPECT_EQ(ReadFile(outside + "/file"), "target");
  EXPECT_EQ(ReadFile(outside + "/linked"), "hard");
  EXPECT_EQ(ReadFile(outside + "/dir/inner"), "inner");
  EXPECT_TRUE(fs::is_directory(fs::symlink_status(folder + "/ABCD.tmp")));
  EXPECT_TRUE(Exists(folder + "/ABCD.tmp/0000.tmp")) << "the sweep never descends";
  EXPECT_TRUE(fs::is_fifo(fs::symlink_status(folder + "/DSP0004.tmp")));
  EXPECT_TRUE(fs::is_fifo(fs::symlink_status(folder + "/0004.tmp")));
  EXPECT_TRUE(fs::is_socket(fs::symlink_status(socketPath)));
  // The links are names in the folder like any other: they go, and count.
  EXPECT_FALSE(Exists(folder + "/DSP0001.tmp"));
  EXPECT_FALSE(Exists(folder + "/DSP0002.tmp"));
  EXPECT_FALSE(Exists(folder + "/DSP0003.tmp"));
  EXPECT_EQ(report.text, "3");
}

// ---- in use --------------------------------------------------------------

std::string LeaseLabel(int leaseError) {
  return leaseError == 0 ? "lease asked for"
                         : std::string("lease refused: ") + strerrorname_np(leaseError);
}

TEST_F(PosixHardening, AFileAnotherProcessUsesSurvivesUntilItIsReleased) {
  int n = 0;
  for (const HoldMode mode : {HoldMode::Read, HoldMode::Write, HoldMode::MappedThenClosed}) {
    // EINVAL and EACCES leave the decision to the process table.
    for (const int leaseError : {0, EINVAL, EACCES}) {
      SCOPED_TRACE(std::string(Describe(mode)) + ", " + LeaseLabel(leaseError));
      const std::string folder = scratch_.Folder("inuse" + std::to_string(n++));
      const std::string file = folder + "/DSP00A1.tmp";
      WriteFile(file, "busy");
      PosixDeleteHooks hooks;
      hooks.leaseError = leaseError;

      Holder holder(file, mode);
      ASSERT_TRUE(holder.Holding());
      EXPECT_EQ(SweepDsp(folder, hooks), 0);
      EXPECT_TRUE(Exists(file));

      holder.Release();
      EXPECT_EQ(SweepDsp(folder, hooks), 1) << "the next run, once the holder has gone";
      EXPECT_FALSE(Exists(file));
    }
  }
}

// Several listings share a pass: each candidate is opened by exactly one of
// them, and a file in use is kept whichever listing meets it, also when all
// of them must consult the process table at once.
TEST_F(PosixHardening, SharedListingsOpenEachCandidateOnceAndKeepFilesInUse) {
  int n = 0;
  for (const int leaseError : {0, EINVAL}) {
    SCOPED_TRACE(LeaseLabel(leaseError));
    const std::string folder = scratch_.Folder("shared" + std::to_string(n++));
    constexpr int Files = 400;
    for (int i = 0; i < Files; ++i) {
      char name[16];
      std::snprintf(name, sizeof name, "DSP%04X.tmp", static_cast<unsigned>(i));
      WriteFile(folder + "/" + name, i % 2 == 0 ? "" : "data");
    }
    WriteFile(folder + "/DSP12345.tmp", "");
    const std::string busy = folder + "/DSP0007.tmp";
    Holder holder(busy, HoldMode::Read);
    ASSERT_TRUE(holder.Holding());

    std::mutex lock;
    std::map<std::string, int> opened;
    PosixDeleteHooks hooks;
    hooks.leaseError = leaseError;
    hooks.sweepWorkers = 3;
    hooks.beforeOpen = [&](std::string_view name) {
      const std::lock_guard<std::mutex> hold(lock);
      ++opened[std::string(name)];
    };
    EXPECT_EQ(SweepDsp(folder, hooks), Files - 1);
    EXPECT_EQ(opened.size(), static_cast<std::size_t>(Files));
    for (const auto& [name, times] : opened) EXPECT_EQ(times, 1) << name;
    EXPECT_TRUE(Exists(busy));
    EXPECT_TRUE(Exists(folder + "/DSP12345.tmp"));
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 2);
  }
}

TEST_F(PosixHardening, AFileWhoseUseCannotBeDecidedIsKept) {
  const std::string emptyFolder = scratch_.Folder("not-proc");
  struct Case {
    const char* what;
    int leaseError;
    std::string procRoot;
  };
  const Case cases[] = {
      {"no lease, and no process table to read", EINVAL, emptyFolder},
      {"no lease, and the process table is missing", EACCES, scratch_.Path("no-such-folder")},
      {"the lease failed for an unknown reason", ENOLCK, "/proc"},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string folder = scratch_.Folder("undecided" + std::to_string(n++));
    WriteFile(folder + "/DSP0001.tmp", "nobody holds me");
    PosixDeleteHooks hooks;
    hooks.leaseError = c.leaseError;
    hooks.procRoot = c.procRoot;
    EXPECT_EQ(SweepDsp(folder, hooks), 0);
    EXPECT_TRUE(Exists(folder + "/DSP0001.tmp"));
  }
}

// Restores the signal dispositions a run changes.
class SignalGuard {
 public:
  SignalGuard() {
    for (std::size_t i = 0; i < std::size(signals_); ++i)
      ::sigaction(signals_[i], nullptr, &saved_[i]);
  }
  ~SignalGuard() {
    for (std::size_t i = 0; i < std::size(signals_); ++i)
      ::sigaction(signals_[i], &saved_[i], nullptr);
  }
  SignalGuard(const SignalGuard&) = delete;
  SignalGuard& operator=(const SignalGuard&) = delete;

 private:
  int signals_[3] = {SIGINT, SIGPIPE, SIGIO};
  struct sigaction saved_[3] = {};
};

// An open that arrives while the lease is held breaks it: the kernel signals
// the tool (SIGIO, which a run ignores) and makes the opener wait. The file
// is the opener's now.
TEST_F(PosixHardening, AnOpenArrivingWhileTheLeaseIsHeldKeepsTheFile) {
  const std::string folder = scratch_.Folder("tmp");
  const std::string file = folder + "/DSP0001.tmp";
  WriteFile(file, "about to be read");
  const SignalGuard signals;
  PosixPlatform platform("/nonexistent/cups-files.conf");
  platform.InstallInterruptHandler(+[](int) {});
  int openError = 0;
  PosixDeleteHooks hooks;
  hooks.beforeUnlink = [&](std::string_view) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    openError = fd < 0 ? errno : 0;
    if (fd >= 0) ::close(fd);
  };
  platform.SetDeleteHooks(hooks);

  EXPECT_EQ(Sweep(platform, folder, DspPass()), 0);
  EXPECT_EQ(openError, EWOULDBLOCK) << "the opener was not held off by a lease";
  EXPECT_EQ(ReadFile(file), "about to be read");
}

std::string Failed(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

// Mounts scratch folders only in a namespace of the calling child's own.
std::string EnterPrivateMountNamespace() {
  if (::unshare(CLONE_NEWNS) != 0) return "SKIP: " + Failed("no private mount namespace");
  if (::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    return "SKIP: " + Failed("mounts cannot be made private");
  }
  return "";
}

TEST_F(PosixHardening, OnOverlayfsAMappedFileSurvives) {
  const std::string lower = scratch_.Folder("lower");
  const std::string upper = scratch_.Folder("upper");
  const std::string work = scratch_.Folder("work");
  const std::string merged = scratch_.Folder("merged");
  EXPECT_CHILD_PASSED(RunInChild([&]() -> std::string {
    if (std::string refusal = EnterPrivateMountNamespace(); !refusal.empty()) return refusal;
    const std::string options = "lowerdir=" + lower + ",upperdir=" + upper + ",workdir=" + work;
    if (::mount("overlay", merged.c_str(), "overlay", 0, options.c_str()) != 0) {
      return "SKIP: " + Failed("overlayfs cannot be mounted on the scratch folder");
    }
    WriteFile(merged + "/DSP0001.tmp", "mapped");
    WriteFile(merged + "/DSP0002.tmp", "open");
    WriteFile(merged + "/DSP0003.tmp", "unused");
    const Holder mapped(merged + "/DSP0001.tmp", HoldMode::MappedThenClosed);
    const Holder open(merged + "/DSP0002.tmp", HoldMode::Read);
    if (!mapped.Holding() || !open.Holding()) return "the holders could not take their files";

    PosixPlatform platform("/nonexistent/cups-files.conf");
    const int count = Sweep(platform, merged, DspPass());
    std::string failures;
    if (!Exists(merged + "/DSP0001.tmp")) failures += "the mapped file was deleted; ";
    if (!Exists(merged + "/DSP0002.tmp")) failures += "the open file was deleted; ";
    if (Exists(merged + "/DSP0003.tmp")) failures += "the unused file was kept; ";
    if (count != 1) failures += "counted " + std::to_string(count) + ", not 1; ";
    return failures;
  }));
}

// ---- replaced between check and delete -----------------------------------

TEST_F(PosixHardening, AnEntryReplacedAfterItWasJudgedSurvives) {
  const std::string outside = scratch_.Folder("outside");
  WriteFile(outside + "/target", "target");
  const auto swapInFresh = [](const std::string& path) {
    WriteFile(path + ".new", "fresh");
    ::rename((path + ".new").c_str(), path.c_str());
  };
  struct Case {
    const char* what;
    const char* name;
    bool asLink;    // the listed entry is a link to a file outside
    bool atUnlink;  // the swap happens just before the unlink, else before the open
    std::function<void(const std::string& path)> replace;
  };
  const Case cases[] = {
      {"a fresh file, just before the unlink", "DSP0001.tmp", false, true, swapInFresh},
      {"a fresh file for a link, just before the unlink", "DSP0001.tmp", true, true, swapInFresh},
      {"a new empty file, just before the open", "1A2B.tmp", false, false,
       [](const std::string& path) {
         WriteFile(path + ".new", "");
         ::rename((path + ".new").c_str(), path.c_str());
       }},
      {"a FIFO, just before the open", "DSP0001.tmp", false, false,
       [](const std::string& path) {
         ::unlink(path.c_str());
         ::mkfifo(path.c_str(), 0600);
       }},
      {"a folder, just before the open", "DSP0001.tmp", false, false,
       [](const std::string& path) {
         ::unlink(path.c_str());
         ::mkdir(path.c_str(), 0700);
       }},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string folder = scratch_.Folder("replaced" + std::to_string(n++));
    const std::string path = folder + "/" + c.name;
    if (c.asLink) {
      ASSERT_EQ(::symlink((outside + "/target").c_str(), path.c_str()), 0);
    } else {
      WriteFile(path, "");
      SetAgeDays(path, 10);  // old and empty: the entry qualifies in either pass
    }
    PosixDeleteHooks hooks;
    (c.atUnlink ? hooks.beforeUnlink : hooks.beforeOpen) = [&](std::string_view) {
      c.replace(path);
    };
    const bool hexName = c.name[0] != 'D';
    const ChildReport report = RunInChild(
        [&] {
          PosixPlatform platform("/nonexistent/cups-files.conf");
          platform.SetDeleteHooks(hooks);
          return std::to_string(Sweep(platform, folder, hexName ? HexPass(false) : DspPass()));
        },
        std::chrono::seconds(10));

    ASSERT_TRUE(report.finished) << "the sweep blocked";
    EXPECT_EQ(report.text, "0");
    EXPECT_TRUE(Exists(path));
    EXPECT_EQ(ReadFile(outside + "/target"), "target");
  }
}

// ---- faults --------------------------------------------------------------

TEST_F(PosixHardening, AnImmutableFileIsNotCountedAndThePassGoesOn) {
  const std::string folder = scratch_.Folder("tmp");
  for (int i = 1; i <= 9; ++i) WriteFile(folder + "/DSP000" + std::to_string(i) + ".tmp", "x");
  if (!scratch_.MakeImmutable(folder + "/DSP0005.tmp")) {
    GTEST_SKIP() << Failed("the scratch file system cannot make a file immutable");
  }
  EXPECT_EQ(SweepDsp(folder), 8);
  EXPECT_TRUE(Exists(folder + "/DSP0005.tmp"));
  EXPECT_FALSE(Exists(folder + "/DSP0004.tmp"));
  EXPECT_FALSE(Exists(folder + "/DSP0006.tmp"));
}

bool SameFolder(const std::string& a, const std::string& b) {
  struct stat sa {};
  struct stat sb {};
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

// A whole run in a private mount namespace where scratch folders stand over
// /var/tmp and /var/lib: the shared folder is a read-only mount, the user's
// temp folder does not exist, and the spool folder is a scratch folder too.
TEST_F(PosixHardening, ARunWithRefusedDeletionsStillReportsWhatItDeleted) {
  const std::string varTmp = scratch_.Folder("var-tmp");
  const std::string varLib = scratch_.Folder("var-lib");
  const std::string shared = scratch_.Folder("var-lib/QORTemp");
  const std::string spool = scratch_.Folder("spool");
  const std::string cupsConfig = scratch_.Path("cups-files.conf");
  const std::string output = scratch_.Path("stdout");
  WriteFile(cupsConfig, "RequestRoot " + spool + "\n");
  WriteFile(varTmp + "/DSP0001.tmp", "x");
  WriteFile(varTmp + "/0001.tmp", "");
  SetAgeDays(varTmp + "/0001.tmp", 10);
  WriteFile(shared + "/DSP0002.tmp", "x");
  WriteFile(shared + "/DSP0003.tmp", "x");
  WriteFile(spool + "/DSP0004.tmp", "x");

  EXPECT_CHILD_PASSED(RunInChild([&]() -> std::string {
    if (std::string refusal = EnterPrivateMountNamespace(); !refusal.empty()) return refusal;
    if (::mount(varTmp.c_str(), "/var/tmp", nullptr, MS_BIND, nullptr) != 0 ||
        ::mount(varLib.c_str(), "/var/lib", nullptr, MS_BIND, nullptr) != 0) {
      return "SKIP: " + Failed("scratch folders cannot stand over /var/tmp and /var/lib");
    }
    if (::mount("/var/lib/QORTemp", "/var/lib/QORTemp", nullptr, MS_BIND, nullptr) != 0 ||
        ::mount(nullptr, "/var/lib/QORTemp", nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) !=
            0) {
      return "SKIP: " + Failed("no read-only bind mount");
    }
    // The run deletes for real: it starts only where every stand-in is ours.
    if (!SameFolder("/var/tmp", varTmp) || !SameFolder("/var/lib", varLib)) {
      return "the stand-in folders are not in place";
    }
    ::setenv("TMPDIR", scratch_.Path("no-such-folder").c_str(), 1);
    const int out = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (out < 0 || ::dup2(out, STDOUT_FILENO) < 0) return Failed("cannot capture the output");

    PosixPlatform platform(cupsConfig);
    const Char* const args[] = {L"QOR_DelTmp"};
    const int status = RunTool(platform, args);

    std::string failures;
    if (status != 3) failures += "exit status " + std::to_string(status) + ", not 3; ";
    if (ReadFile(output) != "SUCCESS(3)\n") failures += "printed \"" + ReadFile(output) + "\"; ";
    if (!Exists(shared + "/DSP0002.tmp") || !Exists(shared + "/DSP0003.tmp")) {
      failures += "a file on the read-only mount vanished; ";
    }
    if (Exists(varTmp + "/DSP0001.tmp") || Exists(varTmp + "/0001.tmp") ||
        Exists(spool + "/DSP0004.tmp")) {
      failures += "a deletable file was kept; ";
    }
    return failures;
  }));
}

}  // namespace
}  // namespace qor
