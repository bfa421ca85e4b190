// The listing's name matching: what each pass's pattern lets through.
#include <gtest/gtest.h>

#include <string>

#include "WildcardMatch.h"

namespace qor {
namespace {

struct MatchCase {
  const char* name;
  bool hexPass;  // matches "????.tmp"
  bool dspPass;  // matches "DSP????.tmp"
};

constexpr MatchCase Cases[] = {
    {"1A2B.tmp", true, false},
    {"12.tmp", true, false},  // a run of '?' before '.' also matches fewer
    {".tmp", true, false},
    {"1a2b.TMP", true, false},  // the listing ignores case; the hex rule does not
    {"ABCD.tmp", true, false},
    {"12345.tmp", false, false},  // five characters do not fit four '?'
    {"1A2B.tmpx", false, false},
    {"1A2B.tmp.bak", false, false},
    {"1A2B.tm", false, false},
    {"1A2Btmp", false, false},
    {"1.2.tmp", false, false},  // '?' never swallows a '.'
    {"x.tmpx", false, false},
    {"", false, false},
    {"DSP.tmp", true, true},
    {"DSP00FF.tmp", false, true},
    {"dsp00ff.TMP", false, true},
    {"DsP1.tMp", true, true},
    {"DSP12345.tmp", false, false},
    {"DSP", false, false},
    {"DS.tmp", true, false},
    {"XDSP1.tmp", false, false},
    {"DSP1.tmp ", false, false},
    {"DSP1.tmp", true, true},      // the hex rule, not the listing, keeps pass 1 off it
    {"\xC4SP1.tmp", true, false},  // only ASCII letters fold
};

TEST(WildcardMatchTest, PassPatternsOnBytesAndWideCharacters) {
  for (const MatchCase& c : Cases) {
    const std::string name = c.name;
    std::wstring wide;
    for (const char ch : name) wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(ch)));

    EXPECT_EQ(WildcardMatch<char>("????.tmp", name), c.hexPass) << name;
    EXPECT_EQ(WildcardMatch<char>("DSP????.tmp", name), c.dspPass) << name;
    EXPECT_EQ(WildcardMatch<wchar_t>(L"????.tmp", wide), c.hexPass) << name;
    EXPECT_EQ(WildcardMatch<wchar_t>(L"DSP????.tmp", wide), c.dspPass) << name;
  }
}

TEST(WildcardMatchTest, QuestionMarkAwayFromADotMatchesExactlyOne) {
  EXPECT_TRUE(WildcardMatch<char>("a?c", "abc"));
  EXPECT_FALSE(WildcardMatch<char>("a?c", "ac"));
  EXPECT_TRUE(WildcardMatch<char>("ab??", "ab"));  // at the end of the name the run may be empty
  EXPECT_FALSE(WildcardMatch<char>("ab??", "abcde"));
}

TEST(WildcardMatchTest, WideCharactersBeyondLatin1NeverFoldIntoAscii) {
  // U+017F LATIN SMALL LETTER LONG S upper-cases to 'S' in Unicode; a
  // privileged deleter must not let it stand in for the prefix.
  EXPECT_FALSE(WildcardMatch<wchar_t>(L"DSP????.tmp", L"D\u017FP1.tmp"));
  EXPECT_FALSE(WildcardMatch<wchar_t>(L"????.tmp", L"1.\u0442mp"));
}

}  // namespace
}  // namespace qor
