// The Win32 body on real folders. Under Wine these live in the build's
// scratch prefix (C:\qor-it-<pid>-<n>, left there), never in the swept four.
#include <gtest/gtest.h>
#include <windows.h>

#include <set>

#include "Platform/Win32/Win32Platform.h"
#include "Sweep.h"

namespace qor {
namespace {

constexpr FileTime OneDay = 864'000'000'000ULL, Hour = OneDay / 24;

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
  void Make(const String& name, LONGLONG size = 0, FileTime t = 0, DWORD attributes = 0) {
    const HANDLE f = ::CreateFileW((dir_ + name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                   attributes | FILE_ATTRIBUTE_NORMAL, nullptr);
    if (t == 0) t = platform_.NowUtc() - 10 * OneDay;
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
  EXPECT_EQ(platform_.OpenListing(dir_ + L"12.tmp\\", L"????.tmp"), nullptr);
}

// Size, time and kind as the listing and then the deleting handle read them;
// a read-only file refuses and the pass goes on. Run with TZ=Europe/Berlin,
// the floor is local 2011-02-01 00:00, an hour before it in UTC.
TEST_F(Win32PlatformTest, PassDeletesOnlyWhatQualifiesAndCountsRealDeletions) {
  constexpr FileTime Floor = 129'409'920'000'000'000ULL - Hour;
  const std::tuple<const wchar_t*, LONGLONG, FileTime, DWORD, bool> cases[] = {
      {L"0001.tmp", 0, 0, 0, false},
      {L"0002.tmp", 1LL << 32, 0, 0, true},
      {L"0003.tmp", 0, platform_.NowUtc() - OneDay, 0, true},
      {L"0004.tmp", 0, Floor, 0, false},
      {L"0005.tmp", 0, Floor - 10'000'000, 0, true},
      {L"DSP0006.tmp", 5, 0, FILE_ATTRIBUTE_READONLY, true},
      {L"DSP0007.tmp", 5, 0, 0, false}};
  for (const auto& [name, size, time, attributes, kept] : cases) Make(name, size, time, attributes);
  ASSERT_TRUE(::CreateDirectoryW((dir_ + L"ABCD.tmp").c_str(), nullptr));
  int deleted = 0;
  SweepDirectory(platform_, root_, HexPass(false), deleted);
  SweepDirectory(platform_, root_, DspPass(), deleted);
  EXPECT_EQ(deleted, 3);
  for (const auto& [name, size, time, attributes, kept] : cases) {
    EXPECT_EQ(Exists(name), kept) << static_cast<char>(name[String(name).size() - 5]);
  }
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
// by a link) while its entries are opened by path. A file is no folder, and
// the user's temp folder (TMP, with a '\' added) must fit MAX_PATH.
TEST_F(Win32PlatformTest, FoldersAreHeldMustBeFoldersAndMustFit) {
  Make(L"DSP1.tmp");
  const String moved = root_ + L"-moved";
  {
    const auto listing = platform_.OpenListing(dir_, L"DSP????.tmp");
    ASSERT_NE(listing, nullptr);
    EXPECT_FALSE(::MoveFileW(root_.c_str(), moved.c_str()));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  }
  EXPECT_FALSE(platform_.IsDirectory(dir_ + L"DSP1.tmp"));
  EXPECT_TRUE(::MoveFileW(root_.c_str(), moved.c_str()) && platform_.IsDirectory(moved));
  const String longest = dir_ + String(258 - dir_.size(), L'a');
  for (const String& tmp : {longest, longest + L"b"}) {
    String path = L"untouched";
    ::SetEnvironmentVariableW(L"TMP", tmp.c_str());
    EXPECT_EQ(platform_.GetFolder(FolderSource::UserTemp, path), tmp == longest);
    EXPECT_EQ(path, tmp == longest ? tmp + L"\\" : L"untouched");
  }
}

}  // namespace
}  // namespace qor
