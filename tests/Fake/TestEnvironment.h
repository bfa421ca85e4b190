// Shared set-up for unit tests: a fake machine with the four Windows folders
// and a clock, and the process-wide flags reset before every test.
#pragma once

#include <gtest/gtest.h>

#include "Fake/FakePlatform.h"
#include "RunControl.h"

namespace qor::testing {

inline const String WinTemp = L"C:\\Windows\\temp";
inline const String QorTemp = L"C:\\ProgramData\\QORTemp";
inline const String SpoolDir = L"C:\\Windows\\system32\\spool\\PRINTERS";
inline const String UserTemp = L"C:\\Users\\op\\AppData\\Local\\Temp";

// 2026-12-06 12:00 UTC, and the age window's bounds in UTC.
inline const FileTime Now = FileTimeFromUtc({2026, 12, 6, 12, 0, 0, 0});
inline const FileTime UpperBound = Now - 7 * OneDay;
inline const FileTime FloorUtc = FileTimeFromUtc({2011, 2, 1, 0, 0, 0, 0});

class FakeMachineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RunFlag.store(true);
    SilentFlag = false;
    fake.now = Now;
    fake.sources[FolderSource::SystemTemp] = WinTemp;
    fake.sources[FolderSource::CommonAppData] = L"C:\\ProgramData";
    fake.sources[FolderSource::SpoolDir] = SpoolDir;
    fake.sources[FolderSource::UserTemp] = UserTemp + L"\\";
    for (const String& folder : {WinTemp, QorTemp, SpoolDir, UserTemp}) fake.AddFolder(folder);
  }
  void TearDown() override {
    RunFlag.store(true);
    SilentFlag = false;
  }

  // An empty file ten days old: pass 1 deletes it when its name qualifies.
  void AddStale(const String& folder, const String& name) {
    fake.AddEntry(folder, {name, EntryKind::File, 0, Now - 10 * OneDay});
  }

  FakePlatform fake;
};

}  // namespace qor::testing
