// The Win32 body on real folders. Under Wine these live in the build's
// scratch prefix (C:\qor-it-<pid>-<n>, left there), never in the swept four.
#include <gtest/gtest.h>
#include <windows.h>

#include <set>

#include "Platform/Win32/Win32Platform.h"
#include "Sweep.h"

namespace qor {
namespace {

constexpr FileTime OneDay = 864'000'000'000ULL;

class Win32PlatformTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static int n = 0;
    root_ = L"C:\\qor-it-" + std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(++n);
    dir_ = root_ + L"\\";
    ASSERT_TRUE(::CreateDirectoryW(root_.c_str(), nullptr));
  }
  bool Exists(const String& name) { return ::GetFileAttributesW((dir_ + name).c_str()) != ~0U; }
  // An empty file ten days old, unless told otherwise.
  void Make(const String& name, LONGLONG size = 0, FileTime age = 10 * OneDay, DWORD attr = 0) {
    const HANDLE f = ::CreateFileW((dir_ + name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                   attr | FILE_ATTRIBUTE_NORMAL, nullptr);
    const FileTime t = platform_.NowUtc() - age;
    const FILETIME ft{static_cast<DWORD>(t), static_cast<DWORD>(t >> 32)};
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = size;
    EXPECT_TRUE(::SetFileInformationByHandle(f, FileEndOfFileInfo, &end, sizeof end) &&
                ::SetFileTime(f, nullptr, nullptr, &ft) && ::CloseHandle(f));
  }
  Win32Platform platform_;
  String root_, dir_;
};

// Wine's native "????.tmp" misses 12.tmp, .tmp and DSP.tmp, and "*.tmp"
// returns ab.tmpl through its 8.3 name, as Windows does through AB~1.TMP.
TEST_F(Win32PlatformTest, ListingYieldsExactlyTheNamesThePatternMatches) {
  for (const wchar_t* name : {L"1A2B.tmp", L"12.tmp", L".tmp", L"DSP.tmp", L"DSP00FF.tmp",
                              L"dsp1.TMP", L"abcde.tmp", L"ab.tmpl"}) {
    Make(name);
  }
  const std::pair<StringView, std::multiset<String>> cases[] = {
      {L"????.tmp", {L"1A2B.tmp", L"12.tmp", L".tmp", L"DSP.tmp", L"dsp1.TMP"}},
      {L"DSP????.tmp", {L"DSP.tmp", L"DSP00FF.tmp", L"dsp1.TMP"}}};
  for (const auto& [pattern, expected] : cases) {
    std::multiset<String> seen;
    auto listing = platform_.OpenListing(dir_, pattern);
    for (bool more = listing != nullptr; more; more = listing->Next())
      seen.emplace(listing->Name());
    EXPECT_EQ(seen, expected);
  }
  EXPECT_EQ(platform_.OpenListing(dir_, L"????.txt"), nullptr);
  EXPECT_EQ(platform_.OpenListing(dir_ + L"12.tmp\\", L"????.tmp"), nullptr);
}

// Size, time and kind as the listing and then the deleting handle read them;
// a read-only file refuses and the pass goes on.
TEST_F(Win32PlatformTest, PassDeletesOnlyWhatQualifiesAndCountsRealDeletions) {
  const struct {
    const wchar_t* name;
    LONGLONG size;
    FileTime age;
    DWORD attributes;
    bool kept;
  } cases[] = {{L"0001.tmp", 0, 10 * OneDay, 0, false},
               {L"0002.tmp", 1LL << 32, 10 * OneDay, 0, true},
               {L"0003.tmp", 0, OneDay, 0, true},
               {L"DSP0004.tmp", 5, 0, FILE_ATTRIBUTE_READONLY, true},
               {L"DSP0005.tmp", 5, 0, 0, false}};
  for (const auto& c : cases) Make(c.name, c.size, c.age, c.attributes);
  ASSERT_TRUE(::CreateDirectoryW((dir_ + L"ABCD.tmp").c_str(), nullptr));
  int deleted = 0;
  SweepDirectory(platform_, root_, HexPass(false), deleted);
  SweepDirectory(platform_, root_, DspPass(), deleted);
  EXPECT_EQ(deleted, 2);
  for (const auto& c : cases) EXPECT_EQ(Exists(c.name), c.kept) << static_cast<char>(c.name[3]);
  EXPECT_TRUE(Exists(L"ABCD.tmp"));
}

// The listing stands on the entry when the file changes; Delete sees it.
TEST_F(Win32PlatformTest, DeleteJudgesTheFileAgainOnItsOwnHandle) {
  struct Rule final : EntryRule {
    AgeWindow window;
    [[nodiscard]] bool Holds(const EntryInfo& info) const override {
      return EntryQualifies(HexPass(false), window, info);
    }
  } rule;
  ASSERT_TRUE(ComputeAgeWindow(platform_, rule.window));
  for (const String name : {L"0001.tmp", L"0002.tmp", L"0003.tmp"}) {
    Make(name);
    const auto listing = platform_.OpenListing(dir_, name);
    ASSERT_NE(listing, nullptr);
    const String path = dir_ + name;
    DWORD written = 0;
    if (name[3] == L'2') {  // written to
      const HANDLE f = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, 0);
      EXPECT_TRUE(::WriteFile(f, "x", 1, &written, nullptr) && ::CloseHandle(f));
    } else if (name[3] == L'3') {  // replaced by a folder
      EXPECT_TRUE(::DeleteFileW(path.c_str()) && ::CreateDirectoryW(path.c_str(), nullptr));
    }
    EXPECT_EQ(listing->Delete(rule), name[3] == L'1') << static_cast<char>(name[3]);
    EXPECT_EQ(Exists(name), name[3] != L'1') << static_cast<char>(name[3]);
  }
}

// Held without delete sharing, the folder cannot be moved away (and replaced
// by a link) while its entries are opened by path.
TEST_F(Win32PlatformTest, ListingHoldsItsFolderAgainstRenaming) {
  Make(L"DSP1.tmp");
  const String moved = root_ + L"-moved";
  {
    const auto listing = platform_.OpenListing(dir_, L"DSP????.tmp");
    ASSERT_NE(listing, nullptr);
    EXPECT_FALSE(::MoveFileW(root_.c_str(), moved.c_str()));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  }
  EXPECT_TRUE(::MoveFileW(root_.c_str(), moved.c_str()));
}

// A file named like the folder is no folder; the user's temp folder follows
// TMP, with a '\' added, and fails rather than being cut beyond MAX_PATH.
TEST_F(Win32PlatformTest, FoldersMustBeFoldersAndFitMaxPath) {
  Make(L"temp");
  EXPECT_TRUE(platform_.IsDirectory(root_));
  EXPECT_FALSE(platform_.IsDirectory(dir_ + L"temp") || platform_.IsDirectory(dir_ + L"t?mp"));
  const String longest = dir_ + String(258 - dir_.size(), L'a');
  for (const String& tmp : {longest, longest + L"b"}) {
    String path = L"untouched";
    ::SetEnvironmentVariableW(L"TMP", tmp.c_str());
    EXPECT_EQ(platform_.GetFolder(FolderSource::UserTemp, path), tmp == longest);
    EXPECT_EQ(path, tmp == longest ? tmp + L"\\" : L"untouched");
  }
}

// Run with TZ=Europe/Berlin: the floor converts with the rules of its own
// date (one hour in winter, two in summer), not with today's offset.
TEST_F(Win32PlatformTest, LocalToUtcUsesTheZoneRulesOfThatDate) {
  constexpr FileTime Floor = 129'409'920'000'000'000ULL, Hour = OneDay / 24;  // 2011-02-01 UTC
  FileTime winter = 0, summer = 0;
  EXPECT_TRUE(platform_.LocalToUtc({2011, 2, 1, 0, 0, 0, 7}, winter) &&
              platform_.LocalToUtc({2011, 7, 1, 0, 0, 0, 0}, summer));
  EXPECT_EQ(winter, Floor - Hour + 70'000);
  EXPECT_EQ(summer, Floor + 150 * OneDay - 2 * Hour);
}

}  // namespace
}  // namespace qor
