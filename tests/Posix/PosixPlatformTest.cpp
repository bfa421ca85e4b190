// The POSIX body where only a hook can act between the listing and the deletion: an entry replaced
// on the way, another process opening a file under the tool's lease, and one opening a file after
// the process table was first read. Run by the end-to-end script as the first process of mount
// and pid namespaces of their own, so /proc shows only the tests' processes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

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

// Both passes over `folder`, the hex pass with option a, in a child process armed as the tool is.
// @returns the child's count, or -1 if it did not end by itself.
int SweepInChild(const string& folder, const PosixDeleteHooks& hooks) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    PosixPlatform platform("/nonexistent");
    platform.InstallInterruptHandler(OnInterrupt);
    platform.SetDeleteHooks(hooks);
    const int hex = SweepDirectory(platform, WidenBytes(folder), HexPass(true));
    ::_exit(hex + SweepDirectory(platform, WidenBytes(folder), DspPass()));
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

// A process that holds `path` open until it is killed, or until the thread that started it ends.
void StartHolder(const string& path) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    ::open(path.c_str(), O_RDONLY);
    ::raise(SIGSTOP);
    ::_exit(0);
  }
  ::waitpid(pid, nullptr, WUNTRACED);
}

class Posix : public ::testing::Test {
 protected:
  void TearDown() override { fs::remove_all(root_); }

  // A new folder under the test's scratch root, holding `file`, empty; the path ends in '/'.
  string Folder(const string& name, const string& file) {
    const string path = root_ + name + "/";
    fs::create_directories(path);
    Write(path + file, "");
    return path;
  }

  const string root_ = ::mkdtemp((::testing::TempDir() + "qor-posix-XXXXXX").data()) + string("/");
};

// What takes a file's place after it was judged from the listing stays: a FIFO is not waited
// for, and the name must still lead to the file judged on the descriptor that deletes it. Every
// call is relative to the folder that was opened, so swapping the folder for a link redirects
// nothing. (A file rewritten on the way is the unit tests'.)
TEST_F(Posix, WhatTakesAFilesPlaceStays) {
  struct Row {
    const char* name;
    bool beforeUnlink;  // else before the open
    std::function<void(const string& folder, const string& path)> replace;
    int deleted;
  };
  const string target = root_ + "target";
  const string elsewhere = Folder("elsewhere", "DSP1.tmp");
  Write(target, "target");
  const Row rows[] = {
      {.name = "a FIFO, not waited for",
       .beforeUnlink = false,
       .replace =
           [](const string&, const string& path) {
             fs::remove(path);
             ::mkfifo(path.c_str(), 0600);
           },
       .deleted = 0},
      {.name = "a link",
       .beforeUnlink = true,
       .replace =
           [&target](const string&, const string& path) {
             fs::remove(path);
             fs::create_symlink(target, path);
           },
       .deleted = 0},
      {.name = "the folder swapped for a link",
       .beforeUnlink = true,
       .replace =
           [&elsewhere](const string& folder, const string&) {
             fs::rename(folder, folder + "-moved");
             fs::create_directory_symlink(elsewhere, folder);
           },
       .deleted = 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const string folder = Folder(row.name, "DSP1.tmp");
    const string path = folder + "DSP1.tmp";
    const auto replace = [&row, &folder, &path](std::string_view) {
      row.replace(folder.substr(0, folder.size() - 1), path);
    };
    PosixDeleteHooks hooks;
    if (row.beforeUnlink) {
      hooks.beforeUnlink = replace;
    } else {
      hooks.beforeOpen = replace;
    }
    EXPECT_EQ(SweepInChild(folder, hooks), row.deleted);
    EXPECT_TRUE(Exists(path));
    EXPECT_EQ(fs::file_size(target), 6U);
    EXPECT_TRUE(Exists(elsewhere + "DSP1.tmp"));
  }
}

// Another process opens the file while the tool holds its lease: the kernel signals the tool and
// holds the opener back until the lease is given up. The tool lives on and keeps the file.
TEST_F(Posix, AFileOpenedUnderTheToolsLeaseIsKept) {
  const string folder = Folder("leased", "DSP0.tmp");
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

// Without a lease the process table is not read once for the whole run: a file opened half a
// second after the first reading, just before the tool comes to it, is kept.
TEST_F(Posix, AFileOpenedAfterTheTableWasFirstReadIsKept) {
  const string folder = Folder("late", "0.tmp");  // the hex pass reads the table first
  Write(folder + "DSP1.tmp", "");
  PosixDeleteHooks hooks;
  hooks.leaseError = EACCES;
  hooks.beforeOpen = [&folder](std::string_view name) {
    if (name != "DSP1.tmp") return;
    StartHolder(folder + "DSP1.tmp");
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  };
  EXPECT_EQ(SweepInChild(folder, hooks), 1);
  EXPECT_TRUE(Exists(folder + "DSP1.tmp"));
}

}  // namespace
}  // namespace qor
