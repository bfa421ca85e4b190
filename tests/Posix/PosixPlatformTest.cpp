// The POSIX body on real scratch folders. Mounts are made only by a child in
// namespaces of its own; the tests reach them through its /proc/PID/root.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>

#include "Platform/Posix/PosixPlatform.h"
#include "Sweep.h"

namespace qor {
namespace {
namespace fs = std::filesystem;
using std::string;

struct Child {  // runs `setUp` in a forked child, which then waits to be killed
  explicit Child(const std::function<bool()>& setUp) {
    int p[2] = {-1, -1};
    if (::pipe(p) == 0 && (pid = ::fork()) == 0) {
      (void)!::write(p[1], setUp() ? "y" : "n", 1);
      for (;;) ::pause();
    }
    char c = 'n';
    ok = pid > 0 && ::close(p[1]) == 0 && ::read(p[0], &c, 1) == 1 && c == 'y';
    ::close(p[0]);
  }
  ~Child() { (void)(pid > 0 && ::kill(pid, SIGKILL) == 0 && ::waitpid(pid, nullptr, 0) > 0); }
  pid_t pid = -1;
  bool ok = false;
};

struct Posix : ::testing::Test {
  void SetUp() override { ASSERT_TRUE(fs::create_directories(root)); }
  void TearDown() override { fs::remove_all(root); }
  string Dir(const string& name) const { return fs::create_directories(root + name), root + name; }
  static string Read(const string& p) {
    return {std::istreambuf_iterator<char>(std::ifstream(p).rdbuf()), {}};
  }
  static bool Write(const string& p, const string& text) { return !!(std::ofstream(p) << text); }
  static bool Exists(const string& p) { return fs::exists(fs::symlink_status(p)); }
  static int Sweep(const string& dir, const PosixDeleteHooks& hooks = {}) {
    PosixPlatform platform("/nonexistent");
    platform.SetDeleteHooks(hooks);
    EXPECT_EQ(platform.SweepWorkers(), std::max(1U, hooks.sweepWorkers)) << "as the hooks ask";
    int n = 0;
    for (const SweepPass& pass : {HexPass(true), DspPass()})
      SweepDirectory(platform, WidenBytes(dir + "/"), pass, n);
    return n;
  }
  const string root = ::testing::TempDir() + "qor-posix-" + std::to_string(::getpid()) + "/";
};

// Another process has DSP0001.tmp open for reading, DSP0002.tmp for writing and
// DSP0003.tmp mapped, its descriptor closed: they stay. The free DSP0000.tmp
// goes where a lease (not on overlayfs) or a process table that shows this
// process vouches for it.
TEST_F(Posix, FilesInUseByLeaseProcTableWorkersAndFileSystem) {
  const string names[] = {"/DSP0000.tmp", "/DSP0001.tmp", "/DSP0002.tmp", "/DSP0003.tmp"};
  const string layers =
      "lowerdir=" + Dir("lower") + ",upperdir=" + Dir("up") + ",workdir=" + Dir("work");
  Write(root + "lower/probe", ""), Dir("ns/proc"), Dir("ns/merged");
  const Child ns([&] {  // its proc is of another PID namespace: it cannot show this process
    if (::unshare(CLONE_NEWNS | CLONE_NEWPID) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
      return false;
    const pid_t init = ::fork();
    if (init == 0) ::_exit(::mount("proc", (root + "ns/proc").c_str(), "proc", 0, nullptr));
    ::mount("overlay", (root + "ns/merged").c_str(), "overlay", 0, layers.c_str());
    return ::waitpid(init, nullptr, 0) == init;
  });
  const string nsRoot = "/proc/" + std::to_string(ns.pid) + "/root" + root + "ns/";
  const string procs[] = {"/proc", Dir("fake"), nsRoot + "proc"},
               places[] = {root, nsRoot + "merged/"};
  const int leases[] = {0, EINVAL, EACCES, EAGAIN};
  int skipped = 0;
  for (int i = 0; i < 48; ++i) {
    const int lease = leases[i % 4], proc = i / 4 % 3, place = i / 24;
    const unsigned workers = 1 + i / 12 % 2;
    const string dir = places[place] + std::to_string(i);
    const bool missing = (place == 1 && !Exists(nsRoot + "merged/probe")) ||
                         (proc == 2 && !Exists(procs[2] + "/uptime"));
    if ((skipped += missing ? 1 : 0, missing) || !fs::create_directories(dir)) continue;
    SCOPED_TRACE(dir + ": lease refusal " + std::to_string(lease) + ", " + procs[proc] +
                 ", workers " + std::to_string(workers));
    for (const string& name : names) Write(dir + name, "data");
    const Child holder([&] {
      const int fd = ::open((dir + names[3]).c_str(), O_RDONLY);
      return ::open((dir + names[1]).c_str(), O_RDONLY) >= 0 &&
             ::open((dir + names[2]).c_str(), O_WRONLY) >= 0 &&
             ::mmap(nullptr, 1, PROT_READ, MAP_SHARED, fd, 0) != MAP_FAILED && ::close(fd) == 0;
    });
    ASSERT_TRUE(holder.ok);
    const bool freeGoes = (lease == 0 && place == 0) || (lease != EAGAIN && proc == 0);
    EXPECT_EQ(Sweep(dir, {nullptr, nullptr, lease, procs[proc], workers}), freeGoes ? 1 : 0);
    for (const string& name : names)
      EXPECT_EQ(Exists(dir + name), name != names[0] || !freeGoes) << name;
  }
  if (skipped > 0)
    GTEST_SKIP() << skipped << " rows need overlayfs or a proc of another PID namespace";
}

// Links go as themselves, never their targets; other kinds stay, and so does
// what takes an entry's place after it was judged (before the open or the
// unlink). A folder swapped for a link to another redirects nothing. Kinds
// beyond S_IF*: 0 a dangling link, 1 a hard link to the target, 2 a file with
// data, 3 a link to a folder holding a file of every name.
TEST_F(Posix, EntryKindsAndEntriesReplacedAfterJudging) {
  const string target = root + "target", elsewhere = Dir("elsewhere");
  Write(target, "target");
  const auto make = [&](mode_t kind, const string& p) {
    return kind == S_IFDIR                             ? fs::create_directory(p)
           : kind == S_IFLNK || kind == 0 || kind == 3 ? ::symlink((kind == 0   ? root + "none"
                                                                    : kind == 3 ? elsewhere
                                                                                : target)
                                                                       .c_str(),
                                                                   p.c_str()) == 0
           : kind == 1                                 ? ::link(target.c_str(), p.c_str()) == 0
           : kind == 2
               ? Write(p, "data")
               : ::mknod(p.c_str(), kind | 0600, ::makedev(kind == S_IFBLK ? 7 : 1, 3)) == 0;
  };
  const std::tuple<const char*, mode_t, bool, mode_t, bool> rows[] = {
      // name, kind, before the open?, swapped in (S_IFMT: nothing), gone
      {"DSP0001.tmp", S_IFLNK, 0, S_IFMT, true},   {"DSP0002.tmp", 0, 0, S_IFMT, true},
      {"DSP0003.tmp", 1, 0, S_IFMT, true},         {"DSP0004.tmp", S_IFIFO, 0, S_IFMT, false},
      {"DSP0005.tmp", S_IFSOCK, 0, S_IFMT, false}, {"DSP0006.tmp", S_IFCHR, 0, S_IFMT, false},
      {"DSP0007.tmp", S_IFBLK, 0, S_IFMT, false},  {"DSP0008.tmp", S_IFDIR, 0, S_IFMT, false},
      {"DSP0009.tmp", S_IFREG, 1, S_IFDIR, false}, {"DSP000A.tmp", S_IFREG, 1, S_IFIFO, false},
      {"DSP000B.tmp", S_IFREG, 0, 2, false},       {"DSP000C.tmp", S_IFREG, 0, S_IFLNK, false},
      {"DSP000D.tmp", S_IFLNK, 0, 2, false},       {"000E.tmp", S_IFREG, 1, 2, false},
      {"DSP000F.tmp", S_IFREG, 1, 3, false},       {"DSP0010.tmp", S_IFREG, 0, 3, false}};
  for (const auto& [name, kind, beforeOpen, swapIn, gone] : rows) {
    SCOPED_TRACE(name);
    const string dir = Dir(name), path = dir + "/" + name, swapped = swapIn == 3 ? dir : path;
    ASSERT_TRUE(make(kind, path) && Write(elsewhere + "/" + name, "elsewhere"));
    PosixDeleteHooks hooks;
    (beforeOpen ? hooks.beforeOpen : hooks.beforeUnlink) = [&](std::string_view) {
      ASSERT_TRUE(swapIn == S_IFMT || (make(swapIn, swapped + "~") &&
                                       ::rename(swapped.c_str(), (swapped + "-old").c_str()) == 0 &&
                                       ::rename((swapped + "~").c_str(), swapped.c_str()) == 0));
    };
    EXPECT_EQ(Sweep(dir, hooks), gone || swapIn == 3 ? 1 : 0)
        << "the folder swapped away is the one swept";
    EXPECT_EQ(Exists(path), !gone);
    EXPECT_EQ(Read(target) + Read(elsewhere + "/" + name), "targetelsewhere");
  }
}

// Long names fill many reads of the folder; among them 300 to delete, one
// of which the file system refuses to delete (immutable).
TEST_F(Posix, AListingOfManyReadsIsJudgedOnceEachByTwoCursors) {
  const string dir = Dir("many"), refused = dir + "/DSP0000.tmp";
  std::map<string, int> expected, judged;
  std::mutex lock;
  for (int i = 0; i < 3000; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "DSP%04X.tmp", i);
    if (Write(dir + "/" + string(240, 'p') + name, "") && i % 10 == 0)
      expected[name] = Write(dir + "/" + name, "");
  }
  const bool immutable = std::system(("chattr +i " + refused).c_str()) == 0;
  const auto count = [&](std::string_view name) {
    (void)(std::lock_guard<std::mutex>{lock}, ++judged[string(name)]);
  };
  EXPECT_EQ(Sweep(dir, {count, nullptr, 0, "/proc", 2}), immutable ? 299 : 300);
  EXPECT_EQ(judged, expected);
  EXPECT_EQ(Exists(refused), immutable);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), {}), immutable ? 3001 : 3000);
  if (immutable && std::system(("chattr -i " + refused).c_str()) == 0) return;
  GTEST_SKIP() << "no refused deletion: chattr +i fails here";
}

TEST_F(Posix, FolderSourcesExitStatusAndOutput) {
  const char* const cups[][2] = {{"", "/var/spool/cups"},
                                 {"LogLevel warn\n# RequestRoot /a\n", "/var/spool/cups"},
                                 {"SystemGroup lpadmin\n", "/var/spool/cups"},
                                 {"RequestRootX /a\nRequestRoot\n", "/var/spool/cups"},
                                 {"  requestROOT\t/a  # x\r\nRequestRoot /b/c # x\n", "/b/c"}};
  for (const auto& [text, spool] : cups) EXPECT_EQ(ParseCupsRequestRoot(text), spool) << text;
  String out;
  Write(root + "cups-files.conf", "RequestRoot /srv/spool\n");
  EXPECT_TRUE(PosixPlatform(root + "cups-files.conf").GetFolder(FolderSource::SpoolDir, out) &&
              out == L"/srv/spool");
  EXPECT_FALSE(PosixPlatform(root + "missing").GetFolder(FolderSource::SpoolDir, out))
      << "no spooler";
  PosixPlatform platform("/nonexistent");
  const std::size_t fits = platform.PathCapacity() - 2;  // and the '/' added
  const char* saved = std::getenv("TMPDIR");
  const string keep = saved != nullptr ? saved : "";
  const std::pair<string, String> tmpdirs[] = {{"/scratch", L"/scratch/"},
                                               {"/scratch/", L"/scratch/"},
                                               {"", L"/tmp/"},
                                               {string(fits, 'x'), String(fits, L'x') + L"/"},
                                               {string(fits + 1, 'x'), L"(none)"}};
  for (const auto& [tmpdir, expected] : tmpdirs) {
    ::setenv("TMPDIR", tmpdir.c_str(), 1);
    EXPECT_EQ(platform.GetFolder(FolderSource::UserTemp, out) ? out : L"(none)", expected);
  }
  (void)(saved != nullptr ? ::setenv("TMPDIR", keep.c_str(), 1) : ::unsetenv("TMPDIR"));
  EXPECT_EQ(std::make_pair(platform.ExitStatus(255), platform.ExitStatus(256)),
            std::make_pair(255, 255));
  platform.InstallInterruptHandler(+[](int) {});
  int p[2];
  char buf[64] = {};
  const int stdOut = ::dup(STDOUT_FILENO);
  ASSERT_TRUE(::pipe2(p, O_NONBLOCK) == 0 && ::dup2(p[1], STDOUT_FILENO) == STDOUT_FILENO);
  platform.WriteOutput("SUCCESS(1)\n");  // whole, and once
  (void)!::read(p[0], buf, sizeof buf - 1), ::close(p[0]);
  platform.WriteOutput("SUCCESS(2)\n");  // EPIPE: no SIGPIPE ends the run
  ::dup2(stdOut, STDOUT_FILENO), ::close(stdOut), ::close(p[1]);
  EXPECT_STREQ(buf, "SUCCESS(1)\n");
}

}  // namespace
}  // namespace qor
