// The POSIX body on real scratch folders, in a mount and pid namespace of the program's own (see
// main): it may mount, and /proc shows only its own processes, so the process table can be read.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "Platform/Posix/PosixPlatform.h"
#include "RunControl.h"
#include "Sweep.h"

namespace qor {
namespace {

namespace fs = std::filesystem;
using std::string;

bool Exists(const string& path) {
  return fs::exists(fs::symlink_status(path));
}

void Write(const string& path, const string& text) {
  std::ofstream(path) << text;
}

// A process that holds DSP1.tmp of `folder` open for reading, DSP2.tmp for writing, and maps
// DSP3.tmp with its descriptor closed, those that exist; then it stops until it is killed, or
// until the thread that started it ends.
pid_t StartHolder(const string& folder) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    ::open((folder + "DSP1.tmp").c_str(), O_RDONLY);
    ::open((folder + "DSP2.tmp").c_str(), O_WRONLY);
    const int mapped = ::open((folder + "DSP3.tmp").c_str(), O_RDONLY);
    ::mmap(nullptr, 1, PROT_READ, MAP_SHARED, mapped, 0);
    ::close(mapped);
    ::raise(SIGSTOP);
    ::_exit(0);
  }
  ::waitpid(pid, nullptr, WUNTRACED);
  return pid;
}

// Both passes over `folder`, the hex pass with option a, with as many cursors as the hooks ask.
// @returns how many files they deleted.
int Sweep(const string& folder, const PosixDeleteHooks& hooks) {
  PosixPlatform platform("/nonexistent");
  platform.SetDeleteHooks(hooks);
  EXPECT_EQ(platform.SweepWorkers(), std::max(1U, hooks.sweepWorkers));
  const int hex = SweepDirectory(platform, WidenBytes(folder), HexPass(true));
  return hex + SweepDirectory(platform, WidenBytes(folder), DspPass());
}

// Sweep in a child process armed as the tool is, with at most `maxFiles` descriptors.
// @returns the child's count, or -1 if it did not end by itself.
int SweepInChild(const string& folder, const PosixDeleteHooks& hooks, rlim_t maxFiles = 1024) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    const rlimit limit{maxFiles, maxFiles};
    ::setrlimit(RLIMIT_NOFILE, &limit);
    PosixPlatform("/nonexistent").InstallInterruptHandler(OnInterrupt);
    ::_exit(Sweep(folder, hooks));
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

class Posix : public ::testing::Test {
 protected:
  void TearDown() override {
    for (const pid_t pid : holders_) ::kill(pid, SIGKILL);
    for (const pid_t pid : holders_) ::waitpid(pid, nullptr, 0);
    ::umount(overlay_.c_str());
    ::umount(otherProc_.c_str());
    fs::remove_all(root_);
  }

  // A new folder under the test's scratch root, with an empty file of each of `files`; the path
  // ends in '/'.
  string Folder(const string& name, const std::vector<string>& files = {}) {
    const string path = root_ + name + "/";
    fs::create_directories(path);
    for (const string& file : files) Write(path + file, "");
    return path;
  }

  // A folder on overlayfs, as a container's root file system is; "" where there is none.
  string Overlay() {
    const string layers = "lowerdir=" + Folder("lower") + ",upperdir=" + Folder("upper") +
                          ",workdir=" + Folder("work");
    overlay_ = Folder("merged");
    if (::mount("overlay", overlay_.c_str(), "overlay", 0, layers.c_str()) != 0) return "";
    return overlay_;
  }

  // A /proc of another pid namespace, whose one process has ended: it shows none of this one's.
  string OtherNamespaceProc() {
    otherProc_ = Folder("other-proc");
    const pid_t child = ::fork();
    if (child == 0) {
      ::unshare(CLONE_NEWPID);
      const pid_t first = ::fork();
      if (first == 0) ::_exit(::mount("proc", otherProc_.c_str(), "proc", 0, nullptr));
      ::waitpid(first, nullptr, 0);
      ::_exit(0);
    }
    ::waitpid(child, nullptr, 0);
    return otherProc_;
  }

  // A scratch folder of the test's own: each run of this program is pid 1 in its namespace.
  const string root_ = ::mkdtemp((::testing::TempDir() + "qor-posix-XXXXXX").data()) + string("/");
  string overlay_;
  string otherProc_;
  std::vector<pid_t> holders_;
};

// Another process holds DSP1.tmp open for reading, DSP2.tmp for writing and maps DSP3.tmp: they
// stay. The free DSP0.tmp goes where a lease vouches for it (not on overlayfs, where a mapping
// holds the layer's file), or the process table, read completely.
TEST_F(Posix, FilesInUseAreKept) {
  enum class Table { Proc, NotProc, OtherNamespace };
  struct Row {
    const char* name;
    bool overlay = false;
    int leaseError = 0;  // 0: a lease is asked for
    Table table = Table::Proc;
    unsigned workers = 1;
    bool freeFileGoes = true;
  };
  const Row rows[] = {
      {.name = "lease granted", .table = Table::NotProc},
      {.name = "lease refused: in use", .leaseError = EAGAIN, .freeFileGoes = false},
      {.name = "not ours to lease: the table decides", .leaseError = EACCES, .workers = 2},
      {.name = "no leases here: the table decides", .leaseError = EINVAL},
      {.name = "no lease, no table",
       .leaseError = EACCES,
       .table = Table::NotProc,
       .freeFileGoes = false},
      {.name = "no lease, the table of another pid namespace",
       .leaseError = EACCES,
       .table = Table::OtherNamespace,
       .freeFileGoes = false},
      {.name = "overlayfs: lease and table", .overlay = true, .workers = 2},
      {.name = "overlayfs: a lease alone",
       .overlay = true,
       .table = Table::NotProc,
       .freeFileGoes = false},
  };
  const string overlay = Overlay();
  const string otherNamespace = OtherNamespaceProc();
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    if (row.overlay && overlay.empty()) GTEST_SKIP() << "no overlayfs here";
    const string place = row.overlay ? "merged/" : "";
    const string folder =
        Folder(place + row.name, {"DSP0.tmp", "DSP1.tmp", "DSP2.tmp", "DSP3.tmp"});
    holders_.push_back(StartHolder(folder));
    PosixDeleteHooks hooks;
    hooks.leaseError = row.leaseError;
    hooks.sweepWorkers = row.workers;
    if (row.table == Table::NotProc) hooks.procRoot = root_;
    if (row.table == Table::OtherNamespace) hooks.procRoot = otherNamespace;
    EXPECT_EQ(Sweep(folder, hooks), row.freeFileGoes ? 1 : 0);
    EXPECT_EQ(Exists(folder + "DSP0.tmp"), !row.freeFileGoes);
    EXPECT_TRUE(Exists(folder + "DSP1.tmp"));
    EXPECT_TRUE(Exists(folder + "DSP2.tmp"));
    EXPECT_TRUE(Exists(folder + "DSP3.tmp"));
  }
}

// The process table is not read once for the whole run: a file opened half a second after the
// first reading, just before the tool comes to it, is kept.
TEST_F(Posix, AFileOpenedAfterTheTableWasFirstReadIsKept) {
  const string folder = Folder("late", {"0.tmp", "DSP1.tmp"});  // 0.tmp: the hex pass, first
  PosixDeleteHooks hooks;
  hooks.leaseError = EACCES;
  hooks.beforeOpen = [&folder](std::string_view name) {
    if (name != "DSP1.tmp") return;
    StartHolder(folder);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  };
  EXPECT_EQ(SweepInChild(folder, hooks), 1);
  EXPECT_TRUE(Exists(folder + "DSP1.tmp"));
}

// Another process opens the file while the tool holds its lease: the kernel signals the tool and
// holds the opener back until the lease is given up. The tool lives on and keeps the file.
TEST_F(Posix, AFileOpenedUnderTheToolsLeaseIsKept) {
  const string folder = Folder("leased", {"DSP0.tmp"});
  PosixDeleteHooks hooks;
  hooks.beforeUnlink = [&folder](std::string_view) {
    if (::fork() == 0) {
      ::open((folder + "DSP0.tmp").c_str(), O_RDONLY);
      ::_exit(0);
    }
    for (int tries = 0; tries < 500; ++tries) {
      std::ifstream locks("/proc/locks");
      const string text(std::istreambuf_iterator<char>(locks), {});
      if (text.find("BREAKING") != string::npos) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  };
  EXPECT_EQ(SweepInChild(folder, hooks), 0);
  EXPECT_TRUE(Exists(folder + "DSP0.tmp"));
}

// Each folder of the process table is closed once read: with 32 descriptors and 300 processes to
// read, the table is still read completely.
TEST_F(Posix, TheProcessTableIsReadWithFewDescriptors) {
  const string folder = Folder("few", {"DSP0.tmp"});
  for (int i = 0; i < 300; ++i) holders_.push_back(StartHolder(root_));
  PosixDeleteHooks hooks;
  hooks.leaseError = EACCES;
  EXPECT_EQ(SweepInChild(folder, hooks, 32), 1);
}

enum class Kind { None, File, FileWithData, Link, Folder, Fifo };

// Makes an entry of `kind` at `path`; a link leads to `target`.
void Make(Kind kind, const string& path, const string& target) {
  switch (kind) {
    case Kind::None:
      break;
    case Kind::File:
      Write(path, "");
      break;
    case Kind::FileWithData:
      Write(path, "data");
      break;
    case Kind::Link:
      fs::create_symlink(target, path);
      break;
    case Kind::Folder:
      fs::create_directory(path);
      break;
    case Kind::Fifo:
      ::mkfifo(path.c_str(), 0600);
      break;
  }
}

// Links go as themselves, never their targets; folders and FIFOs stay. A file is judged on the
// descriptor that deletes it, and what takes its place before the open or the unlink stays.
TEST_F(Posix, EntriesAreJudgedAsWhatIsDeletedAndLinksAreNotFollowed) {
  struct Row {
    const char* name;
    const char* file;
    Kind kind;
    const char* target = "target";  // of a link
    Kind replacedBy = Kind::None;
    bool beforeOpen = true;  // else before the unlink
    bool goes = false;
  };
  const Row rows[] = {
      {.name = "link", .file = "DSP1.tmp", .kind = Kind::Link, .goes = true},
      {.name = "dangling link",
       .file = "DSP1.tmp",
       .kind = Kind::Link,
       .target = "nowhere",
       .goes = true},
      {.name = "folder", .file = "DSP1.tmp", .kind = Kind::Folder},
      {.name = "FIFO", .file = "DSP1.tmp", .kind = Kind::Fifo},
      {.name = "a FIFO in its place: not waited for",
       .file = "DSP1.tmp",
       .kind = Kind::File,
       .replacedBy = Kind::Fifo},
      {.name = "a folder in its place",
       .file = "DSP1.tmp",
       .kind = Kind::File,
       .replacedBy = Kind::Folder},
      {.name = "written to: not empty now",
       .file = "1.tmp",
       .kind = Kind::File,
       .replacedBy = Kind::FileWithData},
      {.name = "a link in its place",
       .file = "DSP1.tmp",
       .kind = Kind::File,
       .replacedBy = Kind::Link,
       .beforeOpen = false},
  };
  Write(Folder("") + "target", "target");
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const string folder = Folder(row.name);
    const string path = folder + row.file;
    Make(row.kind, path, root_ + row.target);
    const auto replace = [&row, &path, this](std::string_view) {
      fs::rename(path, path + "-judged");
      Make(row.replacedBy, path, root_ + row.target);
    };
    PosixDeleteHooks hooks;
    if (row.replacedBy != Kind::None && row.beforeOpen) hooks.beforeOpen = replace;
    if (row.replacedBy != Kind::None && !row.beforeOpen) hooks.beforeUnlink = replace;
    EXPECT_EQ(Sweep(folder, hooks), row.goes ? 1 : 0);
    EXPECT_EQ(Exists(path), !row.goes);
    EXPECT_EQ(fs::file_size(root_ + "target"), 6U);
  }
}

// The folder is moved away and a link to another folder put in its place as a file is about to
// go: the file goes from the folder that was opened, and the other folder keeps its file.
TEST_F(Posix, AFolderSwappedForALinkRedirectsNothing) {
  const string folder = Folder("swapped", {"DSP1.tmp"});
  const string elsewhere = Folder("elsewhere", {"DSP1.tmp"});
  PosixDeleteHooks hooks;
  hooks.beforeUnlink = [&](std::string_view) {
    fs::rename(folder, root_ + "moved");
    fs::create_directory_symlink(elsewhere, root_ + "swapped");
  };
  EXPECT_EQ(Sweep(folder, hooks), 1);
  EXPECT_FALSE(Exists(root_ + "moved/DSP1.tmp"));
  EXPECT_TRUE(Exists(elsewhere + "DSP1.tmp"));
}

// 3,000 long names fill many reads of the folder, taken by two cursors; 300 of them are DSP files,
// of which one may not be deleted (immutable). Each is judged once.
TEST_F(Posix, TwoCursorsJudgeEachEntryOfALongListingOnce) {
  const string folder = Folder("many");
  for (int i = 1000; i < 4000; ++i) {
    const string name = "DSP" + std::to_string(i) + ".tmp";
    Write(folder + name + string(240, 'p'), "");
    if (i % 10 == 0) Write(folder + name, "");
  }
  const string refused = folder + "DSP1000.tmp";
  if (std::system(("chattr +i " + refused).c_str()) != 0) GTEST_SKIP() << "no chattr +i here";
  std::atomic<int> judged = 0;
  PosixDeleteHooks hooks;
  hooks.beforeOpen = [&judged](std::string_view) { ++judged; };
  hooks.sweepWorkers = 2;
  EXPECT_EQ(Sweep(folder, hooks), 299);
  EXPECT_EQ(judged, 300);
  std::system(("chattr -i " + refused).c_str());
}

// The spooler's folder is the last RequestRoot of cups-files.conf ('#' starts a comment, the name
// is in any case), /var/spool/cups without one, none without the file. $TMPDIR gets its '/'.
TEST_F(Posix, FolderSources) {
  struct Row {
    FolderSource source;
    const char* text;  // of cups-files.conf, or $TMPDIR; nullptr: no such file
    const wchar_t* found;
  };
  const string tooLong(PATH_MAX, 'x');
  const Row rows[] = {
      {.source = FolderSource::SpoolDir, .text = nullptr, .found = L"skipped"},
      {.source = FolderSource::SpoolDir, .text = "LogLevel warn", .found = L"/var/spool/cups"},
      {.source = FolderSource::SpoolDir,
       .text = "RequestRoot /e\n requestROOT\t/c # x\r\n#RequestRoot /a\nRequestRootX /b\n",
       .found = L"/c"},
      {.source = FolderSource::UserTemp, .text = "/scratch", .found = L"/scratch/"},
      {.source = FolderSource::UserTemp, .text = tooLong.c_str(), .found = L"skipped"},
  };
  const string config = Folder("etc") + "cups-files.conf";
  PosixPlatform platform(config);
  for (const Row& row : rows) {
    if (row.source == FolderSource::UserTemp) ::setenv("TMPDIR", row.text, 1);
    if (row.text != nullptr && row.source == FolderSource::SpoolDir) Write(config, row.text);
    String found;
    if (!platform.GetFolder(row.source, found)) found = L"skipped";
    EXPECT_EQ(found, row.found);
  }
  ::unsetenv("TMPDIR");
}

}  // namespace
}  // namespace qor

// The tests run as the first process of a mount and pid namespace of their own, with a /proc of
// that namespace. Without the right to make them, every test is skipped (77).
int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (::unshare(CLONE_NEWNS | CLONE_NEWPID) != 0) {
    std::puts("SKIPPED: no mount and pid namespaces here (they need root)");
    return 77;
  }
  const pid_t tests = ::fork();
  if (tests != 0) {
    int status = 1;
    ::waitpid(tests, &status, 0);
    // _exit: LeakSanitizer's check at exit starts a process, which the namespace refuses once its
    // first process has ended. This one ran no test.
    if (!WIFEXITED(status)) ::_exit(1);
    ::_exit(WEXITSTATUS(status));
  }
  // A test that hangs is ended by killing the parent, and this process, the namespace's first,
  // ends with it, and every process in the namespace with this one.
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr);
  ::mount("proc", "/proc", "proc", 0, nullptr);
  return RUN_ALL_TESTS();
}
