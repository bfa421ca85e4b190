// The sweep passes on the fake platform: the name, size and age rules, what
// is counted, and what an interrupt leaves.
#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <cwchar>
#include <set>

#include "Fake/TestEnvironment.h"
#include "Sweep.h"

namespace qor::testing {
namespace {

TEST(HexNameRuleTest, UppercaseHexRunThenTmpInAnyCase) {
  const struct {
    const wchar_t* rest;
    bool holds;
  } cases[] = {
      {L"1A2B.tmp", true},   {L"1A2B.TMP", true},  {L"12.tmp", true},    {L".tmp", true},
      {L"0.tMp", true},      {L"FFFFF.tmp", true}, {L"1a2b.tmp", false}, {L"1G.tmp", false},
      {L"1A2B.tmpx", false}, {L"1A2B.tm", false},  {L"tmp", false},      {L"", false},
      {L"1A2B_tmp", false},  {L"1.2.tmp", false},  {L" 1.tmp", false},   {L"00ff.tmp", false},
  };
  for (const auto& c : cases) EXPECT_EQ(HexNameRule(c.rest), c.holds) << c.rest;
}

class SweepTest : public FakeMachineTest {
 protected:
  int Sweep(const SweepPass& pass, const String& folder = WinTemp) {
    int deleted = 0;
    SweepDirectory(fake, folder, pass, deleted);
    return deleted;
  }
};

TEST_F(SweepTest, HexPassDeletesQualifyingNamesOnly) {
  for (const wchar_t* name : {L"1A2B.tmp", L"12.tmp", L".tmp", L"FFFF.TMP", L"1a2b.tmp",
                              L"12345.tmp", L"DSP1.tmp", L"1A2B.tmp.bak", L"x.tmpx", L"G1.tmp"}) {
    AddStale(WinTemp, name);
  }
  EXPECT_EQ(Sweep(HexPass(false)), 4);
  EXPECT_EQ(fake.deleted, (std::vector<String>{WinTemp + L"\\1A2B.tmp", WinTemp + L"\\12.tmp",
                                               WinTemp + L"\\.tmp", WinTemp + L"\\FFFF.TMP"}));
  EXPECT_EQ(fake.listed, std::vector<String>{WinTemp + L"\\????.tmp"});
}

TEST_F(SweepTest, DspPassDeletesAnySizeAndAgeButNeedsUppercaseHex) {
  fake.AddEntry(WinTemp, {L"DSP00FF.tmp", EntryKind::File, 4096, Now});
  fake.AddEntry(WinTemp, {L"dsp00FF.TMP", EntryKind::File, 1, FileTimeFromUtc({1990, 1, 1})});
  fake.AddEntry(WinTemp, {L"DSP.tmp", EntryKind::File, 0, 0});
  fake.AddEntry(WinTemp, {L"DSP00ff.tmp", EntryKind::File, 0, Now - 10 * OneDay});
  fake.AddEntry(WinTemp, {L"DSP12345.tmp", EntryKind::File, 0, Now - 10 * OneDay});
  AddStale(WinTemp, L"1A2B.tmp");
  EXPECT_EQ(Sweep(DspPass()), 3);
  EXPECT_TRUE(fake.HasEntry(WinTemp, L"DSP00ff.tmp"));
  EXPECT_TRUE(fake.HasEntry(WinTemp, L"DSP12345.tmp"));
  EXPECT_TRUE(fake.HasEntry(WinTemp, L"1A2B.tmp"));  // pass 2 does not see it
}

TEST_F(SweepTest, HexPassTakesEmptyFilesOnlyEvenWithoutDates) {
  fake.AddEntry(WinTemp, {L"1A2B.tmp", EntryKind::File, 1, Now - 10 * OneDay});
  fake.AddEntry(WinTemp, {L"3C4D.tmp", EntryKind::File, 1ULL << 32, Now - 10 * OneDay});
  EXPECT_EQ(Sweep(HexPass(false)), 0);
  EXPECT_EQ(Sweep(HexPass(true)), 0);
}

TEST_F(SweepTest, FoldersAndOtherKindsAreNeverDeleted) {
  fake.AddEntry(WinTemp, {L"ABCD.tmp", EntryKind::Directory, 0, Now - 10 * OneDay});
  fake.AddEntry(WinTemp, {L"DSP0001.tmp", EntryKind::Other, 0, Now - 10 * OneDay});
  fake.AddEntry(WinTemp, {L"DSP0002.tmp", EntryKind::Directory, 0, 0});
  EXPECT_EQ(Sweep(HexPass(true)) + Sweep(DspPass()), 0);
  EXPECT_EQ(fake.EntryCount(WinTemp), 3U);
}

TEST_F(SweepTest, AgeWindowBoundsAreInclusiveToThe100NsUnit) {
  const struct {
    const wchar_t* name;
    FileTime lastWrite;
    bool deleted;
  } cases[] = {
      {L"0001.tmp", UpperBound, true},
      {L"0002.tmp", UpperBound + 1, false},
      {L"0003.tmp", FloorUtc, true},
      {L"0004.tmp", FloorUtc - 1, false},
      {L"0005.tmp", Now - 3 * OneDay, false},
      {L"0006.tmp", Now + OneDay, false},
      {L"0007.tmp", 0, false},
  };
  for (const auto& c : cases) fake.AddEntry(WinTemp, {c.name, EntryKind::File, 0, c.lastWrite});
  Sweep(HexPass(false));
  for (const auto& c : cases) EXPECT_EQ(!fake.HasEntry(WinTemp, c.name), c.deleted) << c.name;

  // Option a lifts the window for all of them.
  EXPECT_EQ(Sweep(HexPass(true)), 5);
}

TEST_F(SweepTest, FloorIsLocalMidnightInTheCurrentZone) {
  // Nine hours ahead of UTC the floor is 2011-01-31 15:00 UTC.
  fake.zoneOffsetSeconds = 9 * 3600;
  const FileTime floor = FileTimeFromUtc({2011, 1, 31, 15, 0, 0, 0});
  fake.AddEntry(WinTemp, {L"0001.tmp", EntryKind::File, 0, floor});
  fake.AddEntry(WinTemp, {L"0002.tmp", EntryKind::File, 0, floor - 1});
  EXPECT_EQ(Sweep(HexPass(false)), 1);
  EXPECT_TRUE(fake.HasEntry(WinTemp, L"0002.tmp"));
}

TEST_F(SweepTest, UpperBoundIsTrueUtcWhateverTheZone) {
  // The zone moves the floor only: "7 days ago" is measured on the UTC clock.
  fake.zoneOffsetSeconds = -8 * 3600;
  fake.AddEntry(WinTemp, {L"0001.tmp", EntryKind::File, 0, UpperBound});
  fake.AddEntry(WinTemp, {L"0002.tmp", EntryKind::File, 0, UpperBound + OneSecond});
  EXPECT_EQ(Sweep(HexPass(false)), 1);
  EXPECT_TRUE(fake.HasEntry(WinTemp, L"0002.tmp"));
}

TEST_F(SweepTest, NoFloorMeansTheDatedPassDeletesNothing) {
  fake.failLocalToUtc = true;
  AddStale(WinTemp, L"1A2B.tmp");
  fake.AddEntry(WinTemp, {L"DSP1.tmp", EntryKind::File, 0, Now - 10 * OneDay});
  EXPECT_EQ(Sweep(HexPass(false)), 0);
  EXPECT_EQ(Sweep(HexPass(true)), 1);  // undated passes need no floor
  EXPECT_EQ(Sweep(DspPass()), 1);
}

TEST_F(SweepTest, RefusedAndVanishedEntriesAreNotCountedAndThePassGoesOn) {
  fake.AddEntry(WinTemp, {L"0001.tmp", EntryKind::File, 0, Now - 10 * OneDay, true});
  AddStale(WinTemp, L"0002.tmp");
  AddStale(WinTemp, L"0003.tmp");
  AddStale(WinTemp, L"0004.tmp");
  // 0003 disappears once the listing has passed 0001, before it is examined;
  // 0004 is replaced by a non-empty file between examination and deletion.
  fake.onEntry = [&](const String&, std::size_t index) {
    if (index == 1) fake.FolderEntries(WinTemp)->erase(fake.FolderEntries(WinTemp)->begin() + 2);
  };
  fake.beforeDelete = [&](StringView path) {
    if (path.ends_with(L"0004.tmp")) fake.FolderEntries(WinTemp)->back().size = 10;
  };
  EXPECT_EQ(Sweep(HexPass(false)), 1);
  EXPECT_EQ(fake.deleted, std::vector<String>{WinTemp + L"\\0002.tmp"});
  EXPECT_TRUE(fake.HasEntry(WinTemp, L"0001.tmp"));
  EXPECT_TRUE(fake.HasEntry(WinTemp, L"0004.tmp"));
}

TEST_F(SweepTest, InterruptFinishesTheEntryInHandAndExaminesNothingAfter) {
  for (const wchar_t* name : {L"0001.tmp", L"0002.tmp", L"0003.tmp", L"0004.tmp"}) {
    AddStale(WinTemp, name);
  }
  fake.onEntry = [&](const String&, std::size_t index) {
    if (index == 1) RunFlag.store(false);
  };
  int deleted = 5;  // the pass adds to what the run already counted
  SweepDirectory(fake, WinTemp, HexPass(false), deleted);
  EXPECT_EQ(deleted, 6);
  EXPECT_EQ(fake.examined, std::vector<String>{WinTemp + L"\\0001.tmp"});
  EXPECT_EQ(fake.EntryCount(WinTemp), 3U);
}

TEST_F(SweepTest, InterruptBeforeTheFirstEntryEndsThePassAtOnce) {
  AddStale(WinTemp, L"0001.tmp");
  fake.onEntry = [&](const String&, std::size_t) { RunFlag.store(false); };
  EXPECT_EQ(Sweep(HexPass(false)), 0);
  EXPECT_TRUE(fake.examined.empty());
}

// With several cursors sharing a pass, every name must be judged by exactly
// one of them: a name judged twice could be counted twice, a name judged by
// none is a file left behind.
TEST_F(SweepTest, SharedPassJudgesEveryNameOnceAndCountsEachDeletion) {
  std::set<String> qualifying;
  for (int i = 0; i < 300; ++i) {
    std::array<wchar_t, 16> name{};
    std::swprintf(name.data(), name.size(), L"%04X.tmp", static_cast<unsigned>(i));
    if (i % 4 == 2) {
      fake.AddEntry(WinTemp, {name.data(), EntryKind::File, 1, Now - 10 * OneDay});
    } else if (i % 4 == 3) {
      fake.AddEntry(WinTemp, {name.data(), EntryKind::File, 0, Now - 10 * OneDay, true});
    } else {
      AddStale(WinTemp, name.data());
      qualifying.insert(WinTemp + L"\\" + name.data());
    }
  }
  fake.sweepWorkers = 3;
  int deleted = 5;  // the pass adds to what the run already counted
  SweepDirectory(fake, WinTemp, HexPass(false), deleted);
  EXPECT_EQ(deleted, 5 + 150);
  EXPECT_EQ(fake.deleted.size(), qualifying.size());
  EXPECT_EQ(std::set<String>(fake.deleted.begin(), fake.deleted.end()), qualifying);
  const std::set<String> examined(fake.examined.begin(), fake.examined.end());
  EXPECT_EQ(examined.size(), fake.examined.size()) << "a name was judged by two listings";
  EXPECT_EQ(examined.size(), 300U);
  EXPECT_EQ(fake.listed.size(), 1U);
  EXPECT_EQ(fake.forks, 2U);
  EXPECT_EQ(fake.EntryCount(WinTemp), 150U);
}

TEST_F(SweepTest, SharedPassCountSaturatesInsteadOfOverflowing) {
  for (const wchar_t* name : {L"0001.tmp", L"0002.tmp", L"0003.tmp", L"0004.tmp"}) {
    AddStale(WinTemp, name);
  }
  fake.sweepWorkers = 2;
  int deleted = INT_MAX - 1;
  SweepDirectory(fake, WinTemp, HexPass(false), deleted);
  EXPECT_EQ(deleted, INT_MAX);
  EXPECT_EQ(fake.EntryCount(WinTemp), 0U);
}

TEST_F(SweepTest, InterruptBeforeTheFirstEntryEndsThePassBeforeAnyCursorIsAdded) {
  for (const wchar_t* name : {L"0001.tmp", L"0002.tmp", L"0003.tmp", L"0004.tmp"}) {
    AddStale(WinTemp, name);
  }
  fake.sweepWorkers = 3;
  fake.onEntry = [&](const String&, std::size_t) { RunFlag.store(false); };
  EXPECT_EQ(Sweep(HexPass(false)), 0);
  EXPECT_TRUE(fake.examined.empty());
  EXPECT_EQ(fake.forks, 0U);
  EXPECT_EQ(fake.EntryCount(WinTemp), 4U);
}

TEST_F(SweepTest, PatternThatDoesNotFitSkipsThePass) {
  // "C:\Windows\temp\" is 16 characters; "????.tmp" needs 8 and a terminator.
  // No name the pattern matches is longer than the pattern itself.
  fake.pathCapacity = 16 + 8 + 1;
  AddStale(WinTemp, L"1234.tmp");
  EXPECT_EQ(Sweep(HexPass(false)), 1);  // exactly full

  AddStale(WinTemp, L"5678.tmp");
  fake.AddEntry(WinTemp, {L"DSP1.tmp", EntryKind::File, 0, 0});
  fake.pathCapacity = 16 + 8;
  EXPECT_EQ(Sweep(HexPass(false)), 0);
  fake.pathCapacity = 16 + 11;
  EXPECT_EQ(Sweep(DspPass()), 0);
  EXPECT_EQ(fake.listed.size(), 1U);
  EXPECT_EQ(fake.EntryCount(WinTemp), 2U);
}

TEST_F(SweepTest, FolderThatAlreadyEndsInASeparatorGetsNoSecond) {
  AddStale(UserTemp, L"0001.tmp");
  EXPECT_EQ(Sweep(HexPass(false), UserTemp + L"\\"), 1);
  EXPECT_EQ(fake.deleted, std::vector<String>{UserTemp + L"\\0001.tmp"});
}

TEST_F(SweepTest, UnreadableFolderEndsThePassSilently) {
  AddStale(WinTemp, L"0001.tmp");
  fake.unreadableFolders.insert(WinTemp);
  EXPECT_EQ(Sweep(HexPass(false)), 0);
  EXPECT_TRUE(fake.output.empty());
}

TEST_F(SweepTest, SweepTempDirsRunsBothPassesOverEveryFolderInOrder) {
  AddStale(WinTemp, L"0001.tmp");
  fake.AddEntry(QorTemp, {L"DSP1.tmp", EntryKind::File, 7, Now});
  AddStale(SpoolDir, L"ABCD.tmp");
  AddStale(UserTemp, L"DSPA.tmp");
  int total = 2;
  EXPECT_TRUE(SweepTempDirs(fake, total, false));
  EXPECT_EQ(total, 6);
  const String u = UserTemp + L"\\";
  EXPECT_EQ(fake.listed, (std::vector<String>{WinTemp + L"\\????.tmp", WinTemp + L"\\DSP????.tmp",
                                              QorTemp + L"\\????.tmp", QorTemp + L"\\DSP????.tmp",
                                              SpoolDir + L"\\????.tmp", SpoolDir + L"\\DSP????.tmp",
                                              u + L"????.tmp", u + L"DSP????.tmp"}));
}

TEST_F(SweepTest, SweepTempDirsWithNoFolderReturnsFalse) {
  fake.sources.clear();
  int total = 0;
  EXPECT_FALSE(SweepTempDirs(fake, total, false));
  EXPECT_EQ(total, 0);
}

TEST_F(SweepTest, AfterAnInterruptLaterPassesStartButEndAtTheirFirstCheck) {
  AddStale(WinTemp, L"0001.tmp");
  AddStale(WinTemp, L"0002.tmp");
  AddStale(UserTemp, L"0003.tmp");
  fake.onEntry = [&](const String& folder, std::size_t index) {
    if (folder == WinTemp && index == 1) RunFlag.store(false);
  };
  int total = 0;
  SweepTempDirs(fake, total, false);
  EXPECT_EQ(total, 1);
  EXPECT_TRUE(fake.HasEntry(WinTemp, L"0002.tmp"));
  EXPECT_TRUE(fake.HasEntry(UserTemp, L"0003.tmp"));
  EXPECT_EQ(fake.listed.size(), 8U);
  EXPECT_EQ(fake.examined, std::vector<String>{WinTemp + L"\\0001.tmp"});
}

}  // namespace
}  // namespace qor::testing
