// The POSIX body on real scratch folders.
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

struct Posix : ::testing::Test {
  void SetUp() override { ASSERT_TRUE(fs::create_directories(root)); }
  void TearDown() override {
    (void)(child > 0 && ::kill(child, SIGKILL) == 0 && ::waitpid(child, nullptr, 0) > 0);
    fs::remove_all(root);
  }
  string Dir(const string& name) const { return fs::create_directories(root + name), root + name; }
  static bool Write(const string& p, const string& text) { return !!(std::ofstream(p) << text); }
  static bool Exists(const string& p) { return fs::exists(fs::symlink_status(p)); }
  static int Sweep(const string& dir, const PosixDeleteHooks& hooks = {}) {
    PosixPlatform platform("/nonexistent");
    platform.SetDeleteHooks(hooks);
    EXPECT_EQ(platform.SweepWorkers(), std::max(1U, hooks.sweepWorkers)) << "as the hooks ask";
    int n = 0;
    for (const auto& pass : {HexPass(true), DspPass()})
      SweepDirectory(platform, WidenBytes(dir), pass, n);
    return n;
  }
  const string root = ::testing::TempDir() + "qor-posix-" + std::to_string(::getpid()) + "/";
  pid_t child = -1;  // killed when the test ends
};

// A child holds every row's files: DSP1 open for reading, DSP2 for writing,
// DSP3 mapped with its descriptor closed; they stay. The free DSP0 goes where a
// lease (not on overlayfs) or a process table that shows this process vouches
// for it. The child mounts overlayfs, and a proc of another PID namespace that
// cannot show this process, in namespaces of its own.
TEST_F(Posix, FilesInUseByLeaseProcTableWorkersAndFileSystem) {
  const string names[] = {"/DSP0.tmp", "/DSP1.tmp", "/DSP2.tmp", "/DSP3.tmp"};
  const string layers =
      "lowerdir=" + Dir("lo") + ",upperdir=" + Dir("up") + ",workdir=" + Dir("wk");
  const string merged = Dir("ns/merged") + "/", nsProc = Dir("ns/proc");
  int p[2] = {-1, -1};
  ASSERT_EQ(::pipe(p), 0);
  if ((child = ::fork()) == 0) {
    bool mounted = ::unshare(CLONE_NEWNS | CLONE_NEWPID) == 0 &&
                   ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                   ::mount("overlay", merged.c_str(), "overlay", 0, layers.c_str()) == 0;
    const pid_t init = mounted ? ::fork() : -1;
    if (init == 0) ::_exit(::mount("proc", nsProc.c_str(), "proc", 0, nullptr));
    int status = 1;
    bool held = !mounted || (::waitpid(init, &status, 0) == init && status == 0);
    for (int i = 0; i < (mounted ? 48 : 24); ++i) {
      const string dir = (i < 24 ? root : merged) + std::to_string(i);
      for (const string& name : names) held &= (fs::create_directories(dir), Write(dir + name, ""));
      const int fd = ::open((dir + names[3]).c_str(), O_RDONLY);
      held &= ::open((dir + names[1]).c_str(), O_RDONLY) >= 0 &&
              ::open((dir + names[2]).c_str(), O_WRONLY) >= 0 &&
              ::mmap(nullptr, 1, PROT_READ, MAP_SHARED, fd, 0) != MAP_FAILED && ::close(fd) == 0;
    }
    (void)!::write(p[1], held ? (mounted ? "y" : "p") : "n", 1);
    for (;;) ::pause();
  }
  char state = 'n';
  ASSERT_TRUE(::close(p[1]) == 0 && ::read(p[0], &state, 1) == 1 && state != 'n');
  const string nsRoot = "/proc/" + std::to_string(child) + "/root";
  const string procs[] = {"/proc", Dir("fake"), nsRoot + nsProc},
               places[] = {root, nsRoot + merged};
  for (int i = 0; i < (state == 'y' ? 48 : 24); ++i) {
    const int lease = std::array{0, EINVAL, EACCES, EAGAIN}[i % 4], proc = i / 4 % 3,
              place = i / 24;
    const unsigned workers = 1 + i / 12 % 2;
    if (proc == 2 && state != 'y') continue;
    const string dir = places[place] + std::to_string(i);
    SCOPED_TRACE(dir + ": lease refusal " + std::to_string(lease) + ", " + procs[proc] +
                 ", workers " + std::to_string(workers));
    const bool freeGoes = (lease == 0 && place == 0) || (lease != EAGAIN && proc == 0);
    EXPECT_EQ(Sweep(dir, {nullptr, nullptr, lease, procs[proc], workers}), freeGoes ? 1 : 0);
    for (const string& name : names)
      EXPECT_EQ(Exists(dir + name), name != names[0] || !freeGoes) << name;
  }
  if (state != 'y') GTEST_SKIP() << "no namespaces: no rows on overlayfs or with another proc";
}

// Links go as themselves, never their targets; other kinds stay, and so does
// what takes an entry's place after it was judged, before the open or the
// unlink. A folder swapped for a link to another redirects nothing. Kinds
// beyond S_IF*: 0 a dangling link, 1 a hard link to the target, 2 a file with
// data, 3 a link to a folder holding a file of each name. Only links go.
TEST_F(Posix, EntryKindsAndEntriesReplacedAfterJudging) {
  const string target = root + "target", elsewhere = Dir("elsewhere");
  Write(target, "target");
  const auto make = [&](mode_t kind, const string& p) {
    const string to = kind == 0 ? root + "none" : kind == 3 ? elsewhere : target;  // of a link
    if (kind == 1 || kind == 2)
      return kind == 2 ? Write(p, "data") : ::link(to.c_str(), p.c_str()) == 0;
    return (kind == S_IFLNK || kind == 0 || kind == 3 ? ::symlink(to.c_str(), p.c_str())
            : kind == S_IFDIR
                ? ::mkdir(p.c_str(), 0700)
                : ::mknod(p.c_str(), kind | 0600, ::makedev(kind == S_IFBLK ? 7 : 1, 3))) == 0;
  };
  const std::tuple<mode_t, bool, mode_t> rows[] = {
      // kind, before the open?, swapped in
      {S_IFLNK, 0, S_IFMT},  {0, 0, S_IFMT},        {1, 0, S_IFMT},
      {S_IFIFO, 0, S_IFMT},  {S_IFSOCK, 0, S_IFMT}, {S_IFCHR, 0, S_IFMT},
      {S_IFBLK, 0, S_IFMT},  {S_IFDIR, 0, S_IFMT},  {S_IFREG, 1, S_IFDIR},
      {S_IFREG, 1, S_IFIFO}, {S_IFREG, 0, 2},       {S_IFREG, 0, S_IFLNK},
      {S_IFLNK, 0, 2},       {S_IFREG, 1, 3},       {S_IFREG, 0, 3},
      {S_IFREG, 1, 2}};  // the last in the pass that wants empty files
  for (int i = 0; i < 16; ++i) {
    const auto [kind, beforeOpen, swapIn] = rows[i];
    const string name = (i < 15 ? "DSP" : "") + std::to_string(1000 + i) + ".tmp", dir = Dir(name);
    const string path = dir + "/" + name, swapped = swapIn == 3 ? dir : path;
    SCOPED_TRACE(path);
    ASSERT_TRUE(make(kind, path) && Write(elsewhere + "/" + name, "elsewhere"));
    PosixDeleteHooks hooks;
    (beforeOpen ? hooks.beforeOpen : hooks.beforeUnlink) = [&](std::string_view) {
      ASSERT_TRUE(swapIn == S_IFMT || (make(swapIn, swapped + "~") &&
                                       ::rename(swapped.c_str(), (swapped + "-old").c_str()) == 0 &&
                                       ::rename((swapped + "~").c_str(), swapped.c_str()) == 0));
    };
    EXPECT_EQ(Sweep(dir, hooks), i < 3 || swapIn == 3 ? 1 : 0) << "3: in the folder swapped away";
    EXPECT_EQ(Exists(path), i >= 3);
    EXPECT_EQ(fs::file_size(target) + fs::file_size(elsewhere + "/" + name), 15U)
        << "targets intact";
  }
}

// Long names fill many reads of the folder; among them 300 to delete, one of
// which the file system refuses to delete (immutable).
TEST_F(Posix, AListingOfManyReadsIsJudgedOnceEachByTwoCursors) {
  const string dir = Dir("many"), refused = dir + "/DSP1000.tmp";
  std::map<string, int> expected, judged;
  std::mutex lock;
  for (int i = 1000; i < 4000; ++i) {
    const string name = "DSP" + std::to_string(i) + ".tmp";
    if (Write(dir + "/" + string(240, 'p') + name, "") && i % 10 == 0)
      expected[name] = Write(dir + "/" + name, "");
  }
  const bool immutable = std::system(("chattr +i " + refused).c_str()) == 0;
  const auto judge = [&](std::string_view name) {
    (void)(std::lock_guard<std::mutex>{lock}, ++judged[string(name)]);
  };
  EXPECT_EQ(Sweep(dir, {judge, nullptr, 0, "/proc", 2}), immutable ? 299 : 300);
  EXPECT_EQ(judged, expected);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), {}), immutable ? 3001 : 3000);
  if (!immutable || std::system(("chattr -i " + refused).c_str()) != 0)
    GTEST_SKIP() << "no chattr +i";
}

TEST_F(Posix, FolderSourcesExitStatusAndOutput) {
  const char* const cups[][2] = {{"", "/var/spool/cups"},
                                 {"LogLevel warn\n# RequestRoot /a\n", "/var/spool/cups"},
                                 {"SystemGroup lpadmin\n", "/var/spool/cups"},
                                 {"RequestRootX /a\nRequestRoot\n", "/var/spool/cups"},
                                 {"  requestROOT\t/a  # x\r\nRequestRoot /b/c # x\n", "/b/c"}};
  for (const auto& [text, spool] : cups) EXPECT_EQ(ParseCupsRequestRoot(text), spool) << text;
  String out;
  EXPECT_TRUE(Write(root + "cups", "RequestRoot /srv/spool\n") &&
              PosixPlatform(root + "cups").GetFolder(FolderSource::SpoolDir, out) &&
              out == L"/srv/spool");
  EXPECT_FALSE(PosixPlatform(root + "none").GetFolder(FolderSource::SpoolDir, out)) << "no spooler";
  PosixPlatform platform("/nonexistent");
  const std::size_t fits = platform.PathCapacity() - 2;  // and the '/' added
  const string tmpdirs[] = {"/scratch",        "/scratch/",           "",
                            string(fits, 'x'), string(fits + 1, 'x'), ::testing::TempDir()};
  const String expected[] = {L"/scratch/", L"/scratch/", L"/tmp/", String(fits, L'x') + L"/",
                             L"(none)"};
  for (int i = 0; i < 5; ++i) {
    ::setenv("TMPDIR", tmpdirs[i].c_str(), 1);
    EXPECT_EQ(platform.GetFolder(FolderSource::UserTemp, out) ? out : L"(none)", expected[i]) << i;
  }
  ::setenv("TMPDIR", tmpdirs[5].c_str(), 1);
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
