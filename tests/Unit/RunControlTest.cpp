// The entry flow on the fake platform: result line, exit status, silence,
// interrupts, and the message writer.
#include <gtest/gtest.h>

#include <csignal>

#include "Fake/TestEnvironment.h"
#include "RunControl.h"

namespace qor::testing {
namespace {

class RunControlTest : public FakeMachineTest {
 protected:
  int Run(std::vector<const Char*> args) {
    args.insert(args.begin(), L"QOR_DelTmp.exe");
    return RunTool(fake, args);
  }
};

TEST_F(RunControlTest, NothingToDeletePrintsSuccessZero) {
  EXPECT_EQ(Run({}), 0);
  EXPECT_EQ(fake.output, "SUCCESS(0)\n");
  EXPECT_NE(fake.interruptHandler, nullptr);
}

TEST_F(RunControlTest, CountIsPrintedAndReturned) {
  AddStale(WinTemp, L"1A2B.tmp");
  AddStale(QorTemp, L"DSP1.tmp");
  AddStale(UserTemp, L"0.tmp");
  fake.AddEntry(SpoolDir, {L"1A2B.tmp", EntryKind::File, 0, Now - 3 * OneDay});
  EXPECT_EQ(Run({}), 3);
  EXPECT_EQ(fake.output, "SUCCESS(3)\n");
}

TEST_F(RunControlTest, OptionAReachesTheDatedPass) {
  fake.AddEntry(WinTemp, {L"1A2B.tmp", EntryKind::File, 0, Now - 3 * OneDay});
  EXPECT_EQ(Run({L"-a"}), 1);
}

TEST_F(RunControlTest, SilentRunPrintsNothingAndStillReturnsTheCount) {
  AddStale(WinTemp, L"1A2B.tmp");
  EXPECT_EQ(Run({L"/s"}), 1);
  EXPECT_EQ(fake.output, "");
}

TEST_F(RunControlTest, EndedByOptionsReturnsZeroAndDeletesNothing) {
  AddStale(WinTemp, L"1A2B.tmp");
  EXPECT_EQ(Run({L"/a", L"/x"}), 0);
  EXPECT_EQ(Run({L"/?"}), 0);
  EXPECT_TRUE(fake.listed.empty());
  EXPECT_EQ(fake.output.find("SUCCESS"), std::string::npos);
}

TEST_F(RunControlTest, InterruptMidSweepStillReportsThePartialCount) {
  for (const wchar_t* name : {L"0001.tmp", L"0002.tmp", L"0003.tmp"}) AddStale(WinTemp, name);
  fake.onEntry = [&](const String&, std::size_t index) {
    if (index == 2) fake.interruptHandler(SIGINT);
  };
  EXPECT_EQ(Run({}), 2);
  EXPECT_EQ(fake.output, "SUCCESS(2)\n");
  EXPECT_FALSE(RunFlag.load());
}

TEST_F(RunControlTest, ExitStatusIsThePlatformsFormOfTheCount) {
  for (int i = 0; i < 300; ++i) {
    wchar_t name[16];
    swprintf(name, 16, L"DSP%04X.tmp", i);
    fake.AddEntry(WinTemp, {name, EntryKind::File, 1, Now});
  }
  fake.capExitStatusAt255 = true;
  EXPECT_EQ(Run({}), 255);
  EXPECT_EQ(fake.output, "SUCCESS(300)\n");
}

TEST(PrintMessageTest, FormatsAndNarrowsToSingleBytes) {
  SilentFlag = false;
  FakePlatform fake;
  PrintMessage(fake, L"%s|%d|%%|%x|%", {L"a\u00FF\u0100\U0001F600b", -42});
  // On Windows the emoji is a surrogate pair: two characters, two '?'.
  const std::string wide = sizeof(wchar_t) == 2 ? "??" : "?";
  EXPECT_EQ(fake.output, "a\xFF?" + wide + "b|-42|%|%x|%");

  fake.output.clear();
  PrintMessage(fake, L"%s %s %d", {L"only"});  // missing values print nothing
  EXPECT_EQ(fake.output, "only  ");

  SilentFlag = true;
  PrintMessage(fake, L"hidden\n");
  EXPECT_EQ(fake.output, "only  ");
  SilentFlag = false;
}

}  // namespace
}  // namespace qor::testing
