// The POSIX body on real scratch folders.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/wait.h>

#include <atomic>
#include <filesystem>
#include <fstream>

#include "Platform/Posix/PosixPlatform.h"
#include "Sweep.h"

namespace qor {
namespace {
namespace fs = std::filesystem;
using std::string;
struct Posix : ::testing::Test {
  void TearDown() override {
    (void)(child > 0 && ::kill(child, SIGKILL) == 0 && ::waitpid(child, nullptr, 0) > 0);
    fs::remove_all(root);
  }
  string Dir(const string& name) const { return fs::create_directories(root + name), root + name; }
  static bool Write(const string& p, const string& text) { return !!(std::ofstream(p) << text); }
  static bool Exists(const string& p) { return fs::exists(fs::symlink_status(p)); }
  static int Sweep(const string& dir, const PosixDeleteHooks& hooks = {}) {
    PosixPlatform p("/nonexistent");
    p.SetDeleteHooks(hooks);
    EXPECT_EQ(p.SweepWorkers(), std::max(1U, hooks.sweepWorkers)) << "as the hooks ask";
    int n = 0;
    for (const auto& pass : {HexPass(true), DspPass()})
      n += SweepDirectory(p, WidenBytes(dir), pass);
    return n;
  }
  const string root = ::testing::TempDir() + "qor-posix-" + std::to_string(::getpid()) + "/";
  pid_t child = -1;  // killed when the test ends
};
// A child holds DSP1 open for reading, DSP2 for writing, DSP3 mapped (fd closed): they stay. The
// free DSP0 goes where a lease (not on overlayfs) or a proc that shows this process vouches for it.
TEST_F(Posix, FilesInUseByLeaseProcTableWorkersAndFileSystem) {
  const string names[] = {"/DSP0.tmp", "/DSP1.tmp", "/DSP2.tmp", "/DSP3.tmp"};
  const string layers = "lowerdir=" + Dir("l") + ",upperdir=" + Dir("u") + ",workdir=" + Dir("w");
  const string merged = Dir("ns/merged") + "/", nsProc = Dir("ns/proc");
  int init = -1, status = 1;
  if ((child = ::fork()) == 0) {
    const bool mounted =
        !::unshare(CLONE_NEWNS | CLONE_NEWPID) &&
        !::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) &&
        !::mount("overlay", merged.c_str(), "overlay", 0, layers.c_str()) &&
        ((init = ::fork()) == 0 ? (::_exit(::mount("proc", nsProc.c_str(), "proc", 0, nullptr)), 0)
                                : ::waitpid(init, &status, 0) == init && status == 0);
    for (int i = 0; i < (mounted ? 48 : 24); ++i) {
      const string dir = (i < 24 ? root : merged) + std::to_string(i);
      for (const string& name : names) fs::create_directories(dir), Write(dir + name, "");
      const int fd = ::chdir(dir.c_str()) == 0 ? ::open("DSP3.tmp", O_RDONLY) : -1;
      (void)(::open("DSP1.tmp", O_RDONLY) + ::open("DSP2.tmp", O_WRONLY));
      (void)::mmap(nullptr, 1, PROT_READ, MAP_SHARED, fd, 0), ::close(fd);
    }
    ::_exit(::raise(SIGSTOP));  // stopped, it holds them until it is killed
  }
  ASSERT_TRUE(::waitpid(child, &status, WUNTRACED) == child && WIFSTOPPED(status)) << "no holder";
  const string ns = "/proc/" + std::to_string(child) + "/root";
  const string procs[] = {"/proc", Dir("fake"), ns + nsProc}, places[] = {root, ns + merged};
  for (int i = 0; i < (Exists(places[1] + "47") ? 48 : 16); ++i) {  // no-namespace rows first
    const int lease = std::array{0, EINVAL, EACCES, EAGAIN}[i % 4], proc = i / 8 % 3;
    const unsigned place = i / 24, workers = 1 + i / 4 % 2;
    const string dir = places[place] + std::to_string(i);
    SCOPED_TRACE(testing::Message() << dir << ' ' << lease << ' ' << procs[proc] << ' ' << workers);
    const bool freeGoes = (lease == 0 && place == 0) || (lease != EAGAIN && proc == 0);
    EXPECT_EQ(Sweep(dir, {nullptr, nullptr, lease, procs[proc], workers}), freeGoes ? 1 : 0);
    for (const string& n : names) EXPECT_EQ(Exists(dir + n), n != names[0] || !freeGoes) << n;
  }
  if (!Exists(places[1] + "47")) GTEST_SKIP() << "no namespaces: no overlayfs, no other proc";
}
// Rows: kind, swapped before the open (else the unlink) by (N: none). Only links go, as themselves;
// what takes an entry's place stays; a folder swapped for a link (3) redirects nothing. Kinds: 0
// dangling link, 1 hard link, 2 file with data; the last row is in the pass for empty files.
TEST_F(Posix, EntryKindsAndEntriesReplacedAfterJudging) {
  const string target = Dir("t") + "/target", elsewhere = Dir("elsewhere");
  constexpr mode_t F = S_IFREG, L = S_IFLNK, D = S_IFDIR, P = S_IFIFO, B = S_IFBLK, N = S_IFMT;
  const auto make = [&](mode_t kind, const string& p) {
    const string to = kind == 0 ? root + "none" : kind == 3 ? elsewhere : target;  // of a link
    if (kind == 2 || kind == D) return kind == 2 ? Write(p, "data") : fs::create_directory(p);
    return !(kind == L || kind < 4 ? (kind == 1 ? ::link : ::symlink)(to.c_str(), p.c_str())
                                   : ::mknod(p.c_str(), kind | 0600, kind == B ? 0x703 : 0x103));
  };
  const std::tuple<mode_t, bool, mode_t> rows[] = {
      {L, 0, N}, {0, 0, N}, {1, 0, N}, {P, 0, N}, {S_IFSOCK, 0, N}, {S_IFCHR, 0, N},
      {B, 0, N}, {D, 0, N}, {F, 1, D}, {F, 1, P}, {F, 0, 2},        {F, 0, L},
      {L, 0, 2}, {F, 1, 3}, {F, 0, 3}, {F, 1, 2}};
  for (int i = 0; i < 16; ++i) {
    const auto [kind, beforeOpen, swapIn] = rows[i];
    const string name = (i < 15 ? "DSP" : "") + std::to_string(1000 + i) + ".tmp", dir = Dir(name);
    const string path = dir + "/" + name, swapped = swapIn == 3 ? dir : path;
    ASSERT_TRUE(Write(target, "target") && make(kind, path) && Write(elsewhere + "/" + name, "x"));
    PosixDeleteHooks hooks;
    (beforeOpen ? hooks.beforeOpen : hooks.beforeUnlink) = [&](std::string_view) {
      if (swapIn != N && make(swapIn, swapped + "~"))
        fs::rename(swapped, swapped + "-old"), fs::rename(swapped + "~", swapped);
    };
    EXPECT_EQ(Sweep(dir, hooks), i < 3 || swapIn == 3 ? 1 : 0) << path;  // 3: swept where opened
    EXPECT_EQ(Exists(path), i >= 3) << path;
    EXPECT_EQ(fs::file_size(target) + fs::file_size(elsewhere + "/" + name), 7U) << path;
  }
}
// Long names fill many reads. Of 300 files one is refused (immutable); 300 judgments: each once.
TEST_F(Posix, AListingOfManyReadsIsJudgedOnceEachByTwoCursors) {
  const string dir = Dir("many"), refused = dir + "/DSP1000.tmp";
  for (int i = 1000; i < 4000; ++i) {
    const string name = "/DSP" + std::to_string(i) + ".tmp";
    ASSERT_TRUE(Write(dir + name + string(240, 'p'), "") && (i % 10 || Write(dir + name, "")));
  }
  const bool immutable = std::system(("chattr +i " + refused).c_str()) == 0;
  std::atomic<int> judged = 0;
  EXPECT_EQ(Sweep(dir, {[&](auto) { ++judged; }, nullptr, 0, "/proc", 2}), 300 - immutable);
  EXPECT_EQ(judged, 300);
  if (!immutable || std::system(("chattr -i " + refused).c_str())) GTEST_SKIP() << "no chattr";
}
// Rows: source; cups-files.conf (nullptr: none) or $TMPDIR; the folder found.
TEST_F(Posix, FolderSources) {
  PosixPlatform platform(Dir("etc") + "/cups");
  const auto S = FolderSource::SpoolDir, U = FolderSource::UserTemp;
  const string keep = testing::TempDir(), tooLong(platform.PathCapacity() - 1, 'x');
  const std::tuple<FolderSource, const char*, String> rows[] = {
      {S, nullptr, L"none"},
      {S, "LogLevel warn", L"/var/spool/cups"},
      {S, "RequestRoot /e\n requestROOT\t/c # x\r\n#RequestRoot /a\nSystemGroup lpadmin", L"/c"},
      {S, "RequestRoot /c\nRequestRootX /b\nRequestRoot", L"/c"},
      {U, "/scratch", L"/scratch/"},
      {U, tooLong.c_str(), L"none"},
      {U, keep.c_str(), WidenBytes(keep)}};  // gtest's own, ending in '/'; it stays set
  for (String out; const auto& [source, text, expected] : rows) {
    (void)(source == U ? !::setenv("TMPDIR", text, 1) : text && Write(root + "etc/cups", text));
    EXPECT_EQ(platform.GetFolder(source, out) ? out : L"none", expected) << (text ? text : "");
  }
}
}  // namespace
}  // namespace qor
