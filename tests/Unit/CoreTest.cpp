// The portable core on the in-memory machine, for what a real disk cannot be made to do on cue:
// the clock to the 100-ns unit, a zone that fails, a small path capacity, a file that changes
// between listing and deletion, and an interrupt before the folders are probed. Names, options,
// folders, entry kinds, entries that vanish and Ctrl+C at a chosen deletion are the end-to-end
// runs'.
#include <gtest/gtest.h>

#include "Fake/FakePlatform.h"
#include "RunControl.h"
#include "Sweep.h"
#include "TempDirs.h"

namespace qor::testing {
namespace {

using enum EntryKind;

const String User = L"C:\\Temp";  // the user's temp folder

// A machine with only the user's temp folder, as a run starts: no interrupt yet, not silent.
struct Machine : FakePlatform {
  Machine() {
    RunFlag.store(true);
    SilentFlag = false;
    sources[FolderSource::UserTemp] = User + L"\\";
    folders[User] = {};
  }
};

// An empty 1A2B.tmp in the hex pass: the upper bound is inclusive, and where the zone cannot
// convert the floor no file is old enough, unless option a drops the bounds.
TEST(Sweep, AgeBounds) {
  struct Row {
    const char* name;
    FileTime lastWrite;
    bool zoneFails = false;
    bool deleteAll = false;
    bool goes;
  };
  const Row rows[] = {
      {.name = "at the upper bound", .lastWrite = Upper, .goes = true},
      {.name = "after the upper bound", .lastWrite = Upper + 1, .goes = false},
      {.name = "the zone fails", .lastWrite = Upper, .zoneFails = true, .goes = false},
      {.name = "the zone fails, option a",
       .lastWrite = Upper,
       .zoneFails = true,
       .deleteAll = true,
       .goes = true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Machine machine;
    machine.zoneFails = row.zoneFails;
    machine.folders[User] = {{.name = L"1A2B.tmp", .info = {File, 0, row.lastWrite}}};
    EXPECT_EQ(SweepDirectory(machine, User, HexPass(row.deleteAll)), int{row.goes});
  }
}

// A file the platform refuses to delete and one written to just before its deletion are not
// counted, and the pass goes on.
TEST(Sweep, CountsOnlyTheFilesItDeleted) {
  Machine machine;
  machine.folders[User] = {{.name = L"1.tmp"}, {.name = L"2.tmp"}, {.name = L"3.tmp"}};
  machine.onDelete = [](Entry& entry) {
    if (entry.name == L"2.tmp") entry.info.size = 1;
    return entry.name != L"1.tmp";
  };
  EXPECT_EQ(SweepDirectory(machine, User, HexPass(false)), 1);
  EXPECT_TRUE(machine.folders[User][2].gone);
}

// Every path must fit the platform's path buffer, terminator included: 8 characters of folder and
// 8 of pattern do not fit 16; "C:\" and 248 characters more, then "\QORTemp", just fit 260.
TEST(Sweep, PathsMustFit) {
  Machine machine;
  machine.capacity = 16;
  machine.folders[User] = {{.name = L"12.tmp"}};
  EXPECT_EQ(SweepDirectory(machine, User + L"\\", HexPass(false)), 0);

  const auto foldersWithAppData = [](const String& appData) {
    Machine other;
    other.sources[FolderSource::CommonAppData] = appData;
    other.folders[appData + L"\\QORTemp"] = {};
    TempDirList found;
    return CollectTempDirs(other, found);
  };
  const String fits = L"C:\\" + String(248, L'x');
  EXPECT_EQ(foldersWithAppData(fits), 2U);
  EXPECT_EQ(foldersWithAppData(fits + L"x"), 1U);
}

// After an interrupt no folder is probed successfully; the user's temp folder is taken unprobed.
TEST(TempDirs, AfterAnInterruptOnlyTheUserTempFolder) {
  Machine machine;
  machine.sources[FolderSource::SystemTemp] = User;
  OnInterrupt(SIGINT);
  TempDirList found;
  CollectTempDirs(machine, found);
  EXPECT_EQ(found, TempDirList{User + L"\\"});
}

// A value the format has no place for is left out; a '%' at the end stands. Characters beyond
// U+00FF, which only Windows arguments carry, are written as '?'.
TEST(Run, Messages) {
  Machine machine;
  PrintMessage(machine, L"%s|%d|%d|%", {L"a\u00FF\u0100b", -42});
  EXPECT_EQ(machine.output, "a\xFF?b|-42||%");
}

}  // namespace
}  // namespace qor::testing
