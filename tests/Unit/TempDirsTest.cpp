// The candidate folders: order, probing, and sources that fail.
#include <gtest/gtest.h>

#include "Fake/TestEnvironment.h"
#include "TempDirs.h"

namespace qor::testing {
namespace {

using TempDirsTest = FakeMachineTest;

TEST_F(TempDirsTest, AllFourInFixedOrderUserTempUnprobed) {
  TempDirList list;
  EXPECT_EQ(CollectTempDirs(fake, list), 4U);
  EXPECT_EQ(list, (TempDirList{WinTemp, QorTemp, SpoolDir, UserTemp + L"\\"}));
  EXPECT_EQ(fake.probed, (std::vector<String>{WinTemp, QorTemp, SpoolDir}));
}

TEST_F(TempDirsTest, MissingOrFailingSourcesAreSkippedAndTheRestKeepTheirOrder) {
  const struct {
    const char* what;
    std::function<void(FakePlatform&)> change;
    TempDirList expected;
  } cases[] = {
      {"no QORTemp folder",
       [](FakePlatform& f) { f.sources[FolderSource::CommonAppData] = L"C:\\Elsewhere"; },
       {WinTemp, SpoolDir, UserTemp + L"\\"}},
      {"spooler not running",
       [](FakePlatform& f) { f.sources.erase(FolderSource::SpoolDir); },
       {WinTemp, QorTemp, UserTemp + L"\\"}},
      {"windows folder fails",
       [](FakePlatform& f) { f.sources.erase(FolderSource::SystemTemp); },
       {QorTemp, SpoolDir, UserTemp + L"\\"}},
      {"user temp fails",
       [](FakePlatform& f) { f.sources.erase(FolderSource::UserTemp); },
       {WinTemp, QorTemp, SpoolDir}},
      {"user temp missing is still taken",
       [](FakePlatform& f) { f.sources[FolderSource::UserTemp] = L"C:\\Nowhere\\"; },
       {WinTemp, QorTemp, SpoolDir, L"C:\\Nowhere\\"}},
      {"user temp is the windows temp",
       [](FakePlatform& f) { f.sources[FolderSource::UserTemp] = WinTemp; },
       {WinTemp, QorTemp, SpoolDir, WinTemp}},
      {"every source fails", [](FakePlatform& f) { f.sources.clear(); }, {}},
  };
  for (const auto& c : cases) {
    FakePlatform machine;
    machine.sources = fake.sources;
    for (const String& folder : {WinTemp, QorTemp, SpoolDir}) machine.AddFolder(folder);
    c.change(machine);
    TempDirList list{L"stale entry"};
    EXPECT_EQ(CollectTempDirs(machine, list), c.expected.size()) << c.what;
    EXPECT_EQ(list, c.expected) << c.what;
  }
}

TEST_F(TempDirsTest, SharedFolderPathThatDoesNotFitIsSkipped) {
  // "\QORTemp" adds 8 characters; with the terminator the path needs 9 more.
  for (const std::size_t length : {std::size_t{251}, std::size_t{252}}) {
    const String appData = L"C:\\" + String(length - 3, L'x');
    fake.sources[FolderSource::CommonAppData] = appData;
    fake.AddFolder(appData + L"\\QORTemp");
    TempDirList list;
    CollectTempDirs(fake, list);
    EXPECT_EQ(list.size(), length == 251 ? 4U : 3U) << length;
    EXPECT_EQ(list[1], length == 251 ? appData + L"\\QORTemp" : SpoolDir) << length;
  }
}

TEST_F(TempDirsTest, AfterAnInterruptEveryProbeFailsButUserTempRemains) {
  RunFlag.store(false);
  EXPECT_FALSE(IsExistingDirectory(fake, WinTemp));
  TempDirList list;
  EXPECT_EQ(CollectTempDirs(fake, list), 1U);
  EXPECT_EQ(list, TempDirList{UserTemp + L"\\"});
}

}  // namespace
}  // namespace qor::testing
