// The POSIX body on real scratch folders. ctest starts this program in a mount and pid namespace
// of its own: it may mount, and /proc shows only its own processes, so the process table can be
// read completely.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>

#include <atomic>
#include <climits>
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

enum class Hold { Read, Write, Map };

bool Exists(const string& path) {
  return fs::exists(fs::symlink_status(path));
}

void Write(const string& path, const string& text) {
  std::ofstream(path) << text;
}

// Opens or maps `path` in this process and keeps it so; a mapping keeps no descriptor.
void HoldHere(const string& path, Hold how) {
  const int fd = ::open(path.c_str(), how == Hold::Write ? O_WRONLY : O_RDONLY);
  if (how == Hold::Map) {
    ::mmap(nullptr, 1, PROT_READ, MAP_SHARED, fd, 0);
    ::close(fd);
  }
}

// A process that holds `path` as asked, then stops until it is killed, or until the thread that
// started it ends.
pid_t StartHolder(const string& path, Hold how) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    HoldHere(path, how);
    ::raise(SIGSTOP);
    ::_exit(0);
  }
  int status = 0;
  ::waitpid(pid, &status, WUNTRACED);
  return pid;
}

void Kill(const std::vector<pid_t>& processes) {
  for (const pid_t pid : processes) ::kill(pid, SIGKILL);
  for (const pid_t pid : processes) ::waitpid(pid, nullptr, 0);
}

// Both passes over `folder`, the hex pass with option a. @returns how many files they deleted.
int Sweep(const string& folder, const PosixDeleteHooks& hooks) {
  PosixPlatform platform("/nonexistent");
  platform.SetDeleteHooks(hooks);
  const int hex = SweepDirectory(platform, WidenBytes(folder), HexPass(true));
  return hex + SweepDirectory(platform, WidenBytes(folder), DspPass());
}

// Sweep in a child process armed as RunTool arms the tool, limited to `maxFiles` descriptors.
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
    Kill(holders_);
    ::umount(overlay_.c_str());
    fs::remove_all(root_);
  }

  // A new empty folder under the test's scratch root; its path ends in '/'.
  string Folder(const string& name) {
    const string path = root_ + name + "/";
    fs::create_directories(path);
    return path;
  }

  // A folder on overlayfs, as a container's root file system is.
  string OverlayFolder() {
    const string layers = "lowerdir=" + Folder("lower") + ",upperdir=" + Folder("upper") +
                          ",workdir=" + Folder("work");
    overlay_ = Folder("merged");
    if (::mount("overlay", overlay_.c_str(), "overlay", 0, layers.c_str()) != 0) return "";
    return overlay_;
  }

  void Hold(const string& path, Hold how) { holders_.push_back(StartHolder(path, how)); }

  const string root_ = ::testing::TempDir() + "qor-posix-" + std::to_string(::getpid()) + "/";
  string overlay_;
  std::vector<pid_t> holders_;
};

// The in-use check: another process holds DSP1.tmp open for reading, DSP2.tmp for writing, and
// maps DSP3.tmp with its descriptor closed; DSP0.tmp is free. The held ones always stay. The free
// one goes where a lease vouches for it (not on overlayfs, whose mappings are the layer's), or the
// process table, read completely.
TEST_F(Posix, FilesInUseAreKept) {
  enum class Place { Scratch, Overlay };
  enum class Table { Proc, NotProc };
  struct Row {
    const char* name;
    Place place;
    int leaseError;  // 0: a lease is asked for
    Table table;
    unsigned workers;
    bool freeFileGoes;
  };
  const Row rows[] = {
      {.name = "lease granted",
       .place = Place::Scratch,
       .leaseError = 0,
       .table = Table::NotProc,
       .workers = 1,
       .freeFileGoes = true},
      {.name = "lease refused: in use",
       .place = Place::Scratch,
       .leaseError = EAGAIN,
       .table = Table::Proc,
       .workers = 1,
       .freeFileGoes = false},
      {.name = "not ours to lease: the table decides",
       .place = Place::Scratch,
       .leaseError = EACCES,
       .table = Table::Proc,
       .workers = 2,
       .freeFileGoes = true},
      {.name = "no leases here: the table decides",
       .place = Place::Scratch,
       .leaseError = EINVAL,
       .table = Table::Proc,
       .workers = 1,
       .freeFileGoes = true},
      {.name = "no lease and no table",
       .place = Place::Scratch,
       .leaseError = EACCES,
       .table = Table::NotProc,
       .workers = 1,
       .freeFileGoes = false},
      {.name = "overlayfs: lease and table",
       .place = Place::Overlay,
       .leaseError = 0,
       .table = Table::Proc,
       .workers = 2,
       .freeFileGoes = true},
      {.name = "overlayfs: a lease alone is not enough",
       .place = Place::Overlay,
       .leaseError = 0,
       .table = Table::NotProc,
       .workers = 1,
       .freeFileGoes = false},
  };
  const string notProc = Folder("not-proc");
  const string overlay = OverlayFolder();
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    if (row.place == Place::Overlay && overlay.empty()) GTEST_SKIP() << "no overlayfs here";
    string folder = root_ + row.name + "/";
    if (row.place == Place::Overlay) folder = overlay + row.name + "/";
    fs::create_directories(folder);
    for (const char* name : {"DSP0.tmp", "DSP1.tmp", "DSP2.tmp", "DSP3.tmp"}) {
      Write(folder + name, "");
    }
    Hold(folder + "DSP1.tmp", Hold::Read);
    Hold(folder + "DSP2.tmp", Hold::Write);
    Hold(folder + "DSP3.tmp", Hold::Map);
    PosixDeleteHooks hooks;
    hooks.leaseError = row.leaseError;
    hooks.sweepWorkers = row.workers;
    if (row.table == Table::NotProc) hooks.procRoot = notProc;
    EXPECT_EQ(SweepInChild(folder, hooks), row.freeFileGoes ? 1 : 0);
    EXPECT_EQ(Exists(folder + "DSP0.tmp"), !row.freeFileGoes);
    EXPECT_TRUE(Exists(folder + "DSP1.tmp"));
    EXPECT_TRUE(Exists(folder + "DSP2.tmp"));
    EXPECT_TRUE(Exists(folder + "DSP3.tmp"));
    Kill(holders_);
    holders_.clear();
  }
}

// Without a lease the process table decides, and it is not read once for the whole run: a file
// opened after the first reading, half a second before the tool comes to it, is seen and kept.
TEST_F(Posix, AFileOpenedAfterTheTableWasFirstReadIsKept) {
  const string folder = Folder("late");
  Write(folder + "0.tmp", "");  // the hex pass comes first: the table is read for this one
  Write(folder + "DSP1.tmp", "");
  PosixDeleteHooks hooks;
  hooks.leaseError = EACCES;
  hooks.beforeOpen = [&folder](std::string_view name) {
    if (name != "DSP1.tmp") return;
    StartHolder(folder + "DSP1.tmp", Hold::Read);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  };
  EXPECT_EQ(SweepInChild(folder, hooks), 1);
  EXPECT_FALSE(Exists(folder + "0.tmp"));
  EXPECT_TRUE(Exists(folder + "DSP1.tmp"));
}

// Another process opens the file while the tool holds its lease: the kernel signals the tool and
// holds the opener back until the lease is given up. The tool lives on and keeps the file.
TEST_F(Posix, AFileOpenedUnderTheToolsLeaseIsKept) {
  const string folder = Folder("leased");
  Write(folder + "DSP0.tmp", "");
  PosixDeleteHooks hooks;
  hooks.beforeUnlink = [&folder](std::string_view) {
    if (::fork() == 0) {
      ::close(::open((folder + "DSP0.tmp").c_str(), O_RDONLY));
      ::_exit(0);
    }
    // The opener waits for the lease; /proc/locks shows it breaking.
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

// Every folder of the process table is closed once read: with few descriptors to spare and a few
// hundred processes to read, the table is still read completely, and the free file goes.
TEST_F(Posix, TheProcessTableIsReadWithFewDescriptors) {
  const string folder = Folder("few");
  Write(folder + "DSP0.tmp", "");
  for (int i = 0; i < 300; ++i) {
    holders_.push_back(StartHolder("/dev/null", Hold::Read));
  }
  PosixDeleteHooks hooks;
  hooks.leaseError = EACCES;
  EXPECT_EQ(SweepInChild(folder, hooks, 32), 1);
}

enum class Kind {
  None,
  File,
  FileWithData,
  Link,
  DanglingLink,
  HardLink,
  Folder,
  Fifo,
  Socket,
  CharDevice,
  BlockDevice,
};

// Makes an entry of `kind` at `path`. Links lead to `target`.
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
    case Kind::DanglingLink:
      fs::create_symlink(target + "-none", path);
      break;
    case Kind::HardLink:
      fs::create_hard_link(target, path);
      break;
    case Kind::Folder:
      fs::create_directory(path);
      break;
    case Kind::Fifo:
      ::mkfifo(path.c_str(), 0600);
      break;
    case Kind::Socket:
      ::mknod(path.c_str(), S_IFSOCK | 0600, 0);
      break;
    case Kind::CharDevice:
      ::mknod(path.c_str(), S_IFCHR | 0600, ::makedev(1, 3));
      break;
    case Kind::BlockDevice:
      ::mknod(path.c_str(), S_IFBLK | 0600, ::makedev(7, 3));
      break;
  }
}

// An entry of each kind, some replaced by another as the tool is about to open or to unlink them.
// Links go as themselves, never their targets; nothing else but files goes; a file is judged on
// the descriptor that deletes it, and a name that no longer leads to what was judged stays.
TEST_F(Posix, EntriesAreJudgedAsWhatTheToolHoldsAndLinksAreNotFollowed) {
  struct Row {
    const char* file;
    Kind kind;
    Kind replacedBy;
    bool beforeOpen;  // else before the unlink
    bool goes;
  };
  const Row rows[] = {
      {.file = "DSP1.tmp",
       .kind = Kind::Link,
       .replacedBy = Kind::None,
       .beforeOpen = false,
       .goes = true},
      {.file = "DSP1.tmp",
       .kind = Kind::DanglingLink,
       .replacedBy = Kind::None,
       .beforeOpen = false,
       .goes = true},
      {.file = "DSP1.tmp",
       .kind = Kind::HardLink,
       .replacedBy = Kind::None,
       .beforeOpen = false,
       .goes = true},
      {.file = "DSP1.tmp",
       .kind = Kind::Folder,
       .replacedBy = Kind::None,
       .beforeOpen = false,
       .goes = false},
      {.file = "DSP1.tmp",
       .kind = Kind::Fifo,
       .replacedBy = Kind::None,
       .beforeOpen = false,
       .goes = false},
      {.file = "DSP1.tmp",
       .kind = Kind::Socket,
       .replacedBy = Kind::None,
       .beforeOpen = false,
       .goes = false},
      {.file = "DSP1.tmp",
       .kind = Kind::CharDevice,
       .replacedBy = Kind::None,
       .beforeOpen = false,
       .goes = false},
      {.file = "DSP1.tmp",
       .kind = Kind::BlockDevice,
       .replacedBy = Kind::None,
       .beforeOpen = false,
       .goes = false},
      {.file = "DSP1.tmp",
       .kind = Kind::File,
       .replacedBy = Kind::Folder,
       .beforeOpen = true,
       .goes = false},
      {.file = "DSP1.tmp",
       .kind = Kind::File,
       .replacedBy = Kind::Fifo,
       .beforeOpen = true,
       .goes = false},
      {.file = "1.tmp",
       .kind = Kind::File,
       .replacedBy = Kind::FileWithData,
       .beforeOpen = true,
       .goes = false},
      {.file = "DSP1.tmp",
       .kind = Kind::File,
       .replacedBy = Kind::FileWithData,
       .beforeOpen = false,
       .goes = false},
      {.file = "DSP1.tmp",
       .kind = Kind::File,
       .replacedBy = Kind::Link,
       .beforeOpen = false,
       .goes = false},
      {.file = "DSP1.tmp",
       .kind = Kind::Link,
       .replacedBy = Kind::FileWithData,
       .beforeOpen = false,
       .goes = false},
  };
  const string target = Folder("targets") + "target";
  Write(target, "target");
  for (std::size_t i = 0; i < std::size(rows); ++i) {
    const Row& row = rows[i];
    const string path = Folder(std::to_string(i)) + row.file;
    SCOPED_TRACE(path);
    Make(row.kind, path, target);
    const auto replace = [&row, &path, &target](std::string_view) {
      fs::rename(path, path + "-judged");
      Make(row.replacedBy, path, target);
    };
    PosixDeleteHooks hooks;
    if (row.replacedBy != Kind::None && row.beforeOpen) hooks.beforeOpen = replace;
    if (row.replacedBy != Kind::None && !row.beforeOpen) hooks.beforeUnlink = replace;
    EXPECT_EQ(SweepInChild(fs::path(path).parent_path(), hooks), row.goes ? 1 : 0);
    EXPECT_EQ(Exists(path), !row.goes);
    EXPECT_EQ(fs::file_size(target), 6U);
  }
}

// The folder is renamed away and a link to another folder put in its place, before a file is
// opened or before it is unlinked: the file goes from the folder the listing opened, and the
// file of the same name in the other folder stays.
TEST_F(Posix, AFolderSwappedForALinkRedirectsNothing) {
  const string elsewhere = Folder("elsewhere");
  Write(elsewhere + "DSP1.tmp", "elsewhere");
  for (const bool beforeOpen : {true, false}) {
    SCOPED_TRACE(beforeOpen ? "before the open" : "before the unlink");
    const string folder = root_ + (beforeOpen ? "open" : "unlink");
    Write(Folder(folder.substr(root_.size())) + "DSP1.tmp", "");
    const auto swap = [&folder, &elsewhere](std::string_view) {
      fs::rename(folder, folder + "-moved");
      fs::create_directory_symlink(elsewhere, folder);
    };
    PosixDeleteHooks hooks;
    if (beforeOpen) hooks.beforeOpen = swap;
    if (!beforeOpen) hooks.beforeUnlink = swap;
    EXPECT_EQ(SweepInChild(folder, hooks), 1);
    EXPECT_FALSE(Exists(folder + "-moved/DSP1.tmp"));
    EXPECT_TRUE(Exists(elsewhere + "DSP1.tmp"));
  }
}

// 3,000 long names fill many reads of the folder, shared by two cursors; among them 300 DSP
// files, one of which may not be deleted (immutable). Each is judged once, by one cursor.
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
  EXPECT_TRUE(Exists(refused));
  std::system(("chattr -i " + refused).c_str());
}

// Where the spooler's and the user's temp folders are: the last RequestRoot of cups-files.conf
// (its name in any case; '#' starts a comment), and $TMPDIR ending in '/'.
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
       .text = "RequestRoot /e\n requestROOT\t/c # x\r\n#RequestRoot /a\nSystemGroup lp",
       .found = L"/c"},
      {.source = FolderSource::SpoolDir,
       .text = "RequestRoot /c\nRequestRootX /b\nRequestRoot",
       .found = L"/c"},
      {.source = FolderSource::UserTemp, .text = "/scratch", .found = L"/scratch/"},
      {.source = FolderSource::UserTemp, .text = "/scratch/", .found = L"/scratch/"},
      {.source = FolderSource::UserTemp, .text = tooLong.c_str(), .found = L"skipped"},
  };
  const string config = Folder("etc") + "cups-files.conf";
  PosixPlatform platform(config);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text != nullptr ? row.text : "no file");
    if (row.source == FolderSource::UserTemp) ::setenv("TMPDIR", row.text, 1);
    if (row.source == FolderSource::SpoolDir && row.text != nullptr) Write(config, row.text);
    String found;
    if (!platform.GetFolder(row.source, found)) found = L"skipped";
    EXPECT_EQ(found, row.found);
  }
  ::unsetenv("TMPDIR");
}

}  // namespace
}  // namespace qor
