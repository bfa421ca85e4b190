// The command line: accepted and refused forms, the order in which options
// take effect, and the exact text printed.
#include <gtest/gtest.h>

#include <vector>

#include "Fake/TestEnvironment.h"
#include "Options.h"

namespace qor::testing {
namespace {

constexpr const char* UsageText =
    "Usage: QOR_DelTmp [/s][/a]\n"
    "  Deletes temporary files created by\n"
    "    GetTempFileName(TempPath, prefix, 0, tmpfile).\n"
    "  Retruns deleted file count.\n"
    "  Options:\n"
    "    /s : to suppress all messages. (Silent)\n"
    "    /a : to delete All TmpFile\n"
    "    /? : to show usage.\n"
    "Type Ctrl+C to abort execution.\n";

class OptionsTest : public FakeMachineTest {
 protected:
  bool Parse(std::vector<String> arguments) {
    arguments.insert(arguments.begin(), L"QOR_DelTmp.exe");
    std::vector<const Char*> argv;
    for (const String& a : arguments) argv.push_back(a.c_str());
    deleteAll = false;
    return ParseOptions(fake, argv, deleteAll);
  }
  bool deleteAll = false;
};

TEST_F(OptionsTest, AcceptedForms) {
  const struct {
    std::vector<String> args;
    bool silent;
    bool all;
  } cases[] = {
      {{}, false, false},      {{L"/s"}, true, false},  {{L"-S"}, true, false},
      {{L"/A"}, false, true},  {{L"/s/a"}, true, true}, {{L"-s-a"}, true, true},
      {{L"/s-a"}, true, true}, {{L"-a/s"}, true, true}, {{L"/s", L"-a"}, true, true},
      {{L"/"}, false, false},  {{L"--"}, false, false}, {{L"//a//"}, false, true},
  };
  for (const auto& c : cases) {
    SilentFlag = false;
    fake.output.clear();
    EXPECT_TRUE(Parse(c.args)) << ::testing::PrintToString(c.args);
    EXPECT_EQ(SilentFlag, c.silent) << ::testing::PrintToString(c.args);
    EXPECT_EQ(deleteAll, c.all) << ::testing::PrintToString(c.args);
    EXPECT_EQ(fake.output, "");
  }
}

TEST_F(OptionsTest, RefusedFormsEchoTheWholeArgumentAndStopReading) {
  const struct {
    std::vector<String> args;
    const char* output;
  } cases[] = {
      {{L"/x"}, "Invalid parameter ignored: /x\n"},
      {{L"/sa"}, "Invalid parameter ignored: /sa\n"},
      {{L"s"}, "Invalid parameter ignored: s\n"},
      {{L""}, "Invalid parameter ignored: \n"},
      {{L"/a/x"}, "Invalid parameter ignored: /a/x\n"},
      {{L"/S?"}, "Invalid parameter ignored: /S?\n"},
      {{L"/x", L"/y"}, "Invalid parameter ignored: /x\n"},
      {{L"/x", L"/?"}, "Invalid parameter ignored: /x\n"},
      {{L"/x", L"/s"}, "Invalid parameter ignored: /x\n"},  // s comes too late
      {{L"/s", L"/x"}, ""},
      {{L"/%s%d"}, "Invalid parameter ignored: /%s%d\n"},  // never used as a format
  };
  for (const auto& c : cases) {
    SilentFlag = false;
    fake.output.clear();
    EXPECT_FALSE(Parse(c.args)) << ::testing::PrintToString(c.args);
    EXPECT_EQ(fake.output, c.output) << ::testing::PrintToString(c.args);
  }
}

TEST_F(OptionsTest, UsageTextIsNineExactLinesEachItsOwnMessage) {
  EXPECT_FALSE(Parse({L"/?"}));
  EXPECT_EQ(fake.output, UsageText);

  fake.output.clear();
  EXPECT_FALSE(Parse({L"-a-?", L"/x"}));
  EXPECT_EQ(fake.output, UsageText);
  EXPECT_TRUE(deleteAll);
}

TEST_F(OptionsTest, SilentBeforeUsageSilencesIt) {
  EXPECT_FALSE(Parse({L"/s/?"}));
  EXPECT_EQ(fake.output, "");
  SilentFlag = false;
  EXPECT_FALSE(Parse({L"/s", L"/?"}));
  EXPECT_EQ(fake.output, "");
}

TEST_F(OptionsTest, QuestionMarkIsCaseSensitiveAndExact) {
  EXPECT_FALSE(Parse({L"/??"}));
  EXPECT_EQ(fake.output, "Invalid parameter ignored: /??\n");
}

TEST_F(OptionsTest, ArgumentsBeyondSixtyThreeCharactersAreRefusedWhole) {
  String accepted;
  for (int i = 0; i < 31; ++i) accepted += L"/s";
  accepted += L"-";
  ASSERT_EQ(accepted.size(), MaxArgumentLength);
  EXPECT_TRUE(Parse({accepted}));
  EXPECT_TRUE(SilentFlag);
  SilentFlag = false;

  const String refused = accepted + L"a";  // well-formed, but too long
  EXPECT_FALSE(Parse({refused}));
  std::string bytes(refused.begin(), refused.end());
  EXPECT_EQ(fake.output, "Invalid parameter ignored: " + bytes + "\n");
}

TEST_F(OptionsTest, EchoKeepsLatin1BytesAndMarksWiderCharacters) {
  EXPECT_FALSE(Parse({L"/\u00E9\u0416x"}));
  EXPECT_EQ(fake.output, "Invalid parameter ignored: /\xE9?x\n");
}

}  // namespace
}  // namespace qor::testing
