// The Win32 platform body on real folders. Under Wine these live inside the
// build's scratch prefix (C:\qor-it-<pid>-<n>), never in the four swept
// folders.

// clang-format off
#include <windows.h>
#include <shlobj.h>
// clang-format on

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <set>
#include <string>
#include <vector>

#include "Platform/Win32/Win32Platform.h"
#include "Sweep.h"

namespace qor {
namespace {

constexpr FileTime OneSecond = 10'000'000;
constexpr FileTime OneDay = 86'400 * OneSecond;
// 2020-01-01 00:00 UTC.
constexpr FileTime SomeTime = 132'223'104'000'000'000ULL;

FILETIME ToFiletime(FileTime t) {
  return {static_cast<DWORD>(t & 0xFFFFFFFFU), static_cast<DWORD>(t >> 32)};
}

bool Exists(const String& path) {
  return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool EndsWithIgnoringCase(StringView text, StringView tail) {
  if (text.size() < tail.size()) return false;
  const String a(text.substr(text.size() - tail.size()));
  const String b(tail);
  return ::lstrcmpiW(a.c_str(), b.c_str()) == 0;
}

class Win32PlatformTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static int counter = 0;
    root_ = L"C:\\qor-it-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
            std::to_wstring(++counter);
    ASSERT_TRUE(::CreateDirectoryW(root_.c_str(), nullptr)) << ::GetLastError();
    folder_ = root_ + L"\\";
  }
  void TearDown() override { RemoveTree(root_); }

  static void RemoveTree(const String& path) {
    WIN32_FIND_DATAW data{};
    const HANDLE find = ::FindFirstFileW((path + L"\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
      do {
        const String name = data.cFileName;
        if (name == L"." || name == L"..") continue;
        const String child = path + L"\\" + name;
        ::SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
        if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
          RemoveTree(child);
        } else {
          ::DeleteFileW(child.c_str());
        }
      } while (::FindNextFileW(find, &data) == 1);
      ::FindClose(find);
    }
    ::RemoveDirectoryW(path.c_str());
  }

  // Creates `name` in the test folder with `size` bytes (sparse beyond the
  // first few) and, if given, that last-write time.
  void MakeFile(const String& name, std::uint64_t size = 0, FileTime lastWrite = 0,
                DWORD attributes = FILE_ATTRIBUTE_NORMAL) {
    const String path = folder_ + name;
    const HANDLE file =
        ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, attributes, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << "creating " << ::GetLastError();
    LARGE_INTEGER end{};
    end.QuadPart = static_cast<LONGLONG>(size);
    ASSERT_TRUE(::SetFilePointerEx(file, end, nullptr, FILE_BEGIN));
    ASSERT_TRUE(::SetEndOfFile(file));
    if (lastWrite != 0) {
      const FILETIME ft = ToFiletime(lastWrite);
      ASSERT_TRUE(::SetFileTime(file, nullptr, nullptr, &ft)) << ::GetLastError();
    }
    ::CloseHandle(file);
  }

  void MakeFolder(const String& name) {
    ASSERT_TRUE(::CreateDirectoryW((folder_ + name).c_str(), nullptr)) << ::GetLastError();
  }

  std::set<String> ListNames(StringView pattern) {
    std::set<String> names;
    const auto listing = platform_.OpenListing(folder_, pattern);
    if (!listing) return names;
    do {
      EXPECT_TRUE(names.emplace(listing->Name()).second) << "listed twice";
    } while (listing->Next());
    return names;
  }

  Win32Platform platform_;
  String root_;
  String folder_;  // root_ with its trailing separator
};

// The listing must give exactly the names Windows' own "?" rules give:
// Wine's native "????.tmp" returns none of 12.tmp, .tmp or DSP.tmp, and its
// "*.tmp" also returns ab.tmpl through the short name AB~~~2CX.TMP, as
// Windows does through AB~1.TMP.
TEST_F(Win32PlatformTest, ListingYieldsTheNamesThePatternMatches) {
  for (const wchar_t* name : {L"1A2B.tmp", L"12.tmp", L".tmp", L"DSP.tmp", L"DSP00FF.tmp",
                              L"dsp1.TMP", L"abcde.tmp", L"ab.tmpl", L"1A2B.tmp.bak", L"x.txt"}) {
    MakeFile(name);
  }
  MakeFolder(L"ABCD.tmp");

  struct Case {
    const wchar_t* pattern;
    std::set<String> expected;
  };
  const Case cases[] = {
      {L"????.tmp", {L"1A2B.tmp", L"12.tmp", L".tmp", L"DSP.tmp", L"dsp1.TMP", L"ABCD.tmp"}},
      {L"DSP????.tmp", {L"DSP.tmp", L"DSP00FF.tmp", L"dsp1.TMP"}},
      {L"????.txt", {L"x.txt"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ListNames(c.pattern), c.expected) << "pattern " << String(c.pattern).size();
  }
}

TEST_F(Win32PlatformTest, ListingFailsWithoutAFolderOrAMatch) {
  MakeFile(L"plain.txt");
  EXPECT_EQ(platform_.OpenListing(folder_ + L"missing\\", L"????.tmp"), nullptr);
  EXPECT_EQ(platform_.OpenListing(folder_ + L"plain.txt\\", L"????.tmp"), nullptr);
  EXPECT_EQ(platform_.OpenListing(folder_, L"????.tmp"), nullptr);
}

TEST_F(Win32PlatformTest, ExamineReadsKindSizeAndLastWrite) {
  constexpr std::uint64_t Big = 0x1'0000'0005ULL;  // both size halves in use
  MakeFile(L"DSP0001.tmp", 5, SomeTime);
  MakeFile(L"DSP0002.tmp", Big, SomeTime + 1);
  MakeFolder(L"DSP0003.tmp");

  std::vector<std::pair<String, EntryInfo>> seen;
  const auto listing = platform_.OpenListing(folder_, L"DSP????.tmp");
  ASSERT_NE(listing, nullptr);
  do {
    EntryInfo info;
    ASSERT_TRUE(listing->Examine(info));
    seen.emplace_back(String(listing->Name()), info);
  } while (listing->Next());
  std::sort(seen.begin(), seen.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });

  ASSERT_EQ(seen.size(), 3U);
  EXPECT_EQ(seen[0].second.kind, EntryKind::File);
  EXPECT_EQ(seen[0].second.size, 5U);
  EXPECT_EQ(seen[0].second.lastWrite, SomeTime);
  EXPECT_EQ(seen[1].second.kind, EntryKind::File);
  EXPECT_EQ(seen[1].second.size, Big);
  EXPECT_EQ(seen[1].second.lastWrite, SomeTime + 1);
  EXPECT_EQ(seen[2].second.kind, EntryKind::Directory);
}

// A real pass over a real folder: what qualifies goes, a file in use or
// read-only stays uncounted, and the pass carries on past them.
TEST_F(Win32PlatformTest, PassDeletesWhatQualifiesAndCountsOnlyRealDeletions) {
  const FileTime tenDaysAgo = platform_.NowUtc() - 10 * OneDay;
  MakeFile(L"1A2B.tmp", 0, tenDaysAgo);  // deleted
  MakeFile(L"12.tmp", 0, tenDaysAgo);    // deleted: short hex name
  MakeFile(L"3C4D.tmp", 0, tenDaysAgo);  // held open below
  MakeFile(L"5E6F.tmp", 0, tenDaysAgo, FILE_ATTRIBUTE_READONLY);
  MakeFile(L"7A8B.tmp", 1, tenDaysAgo);                   // not empty
  MakeFile(L"9C0D.tmp", 0, platform_.NowUtc() - OneDay);  // too recent
  MakeFile(L"1a2c.tmp", 0, tenDaysAgo);                   // lowercase hex
  MakeFile(L"ab.tmpl", 0, tenDaysAgo);                    // only its short name matches
  MakeFolder(L"ABCD.tmp");

  const HANDLE inUse = ::CreateFileW((folder_ + L"3C4D.tmp").c_str(), GENERIC_READ,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(inUse, INVALID_HANDLE_VALUE);
  int deleted = 0;
  SweepDirectory(platform_, root_, HexPass(false), deleted);
  ::CloseHandle(inUse);

  EXPECT_EQ(deleted, 2);
  for (const wchar_t* gone : {L"1A2B.tmp", L"12.tmp"}) EXPECT_FALSE(Exists(folder_ + gone)) << gone;
  for (const wchar_t* kept :
       {L"3C4D.tmp", L"5E6F.tmp", L"7A8B.tmp", L"9C0D.tmp", L"1a2c.tmp", L"ab.tmpl", L"ABCD.tmp"}) {
    EXPECT_TRUE(Exists(folder_ + kept)) << String(kept).size();
  }

  // Once nobody holds it, the next pass takes the file that was in use.
  SweepDirectory(platform_, root_, HexPass(false), deleted);
  EXPECT_EQ(deleted, 3);
  EXPECT_FALSE(Exists(folder_ + L"3C4D.tmp"));
}

// The listing holds its folder without delete sharing, so the folder cannot
// be moved away (and replaced by a link) while entries are deleted by path.
TEST_F(Win32PlatformTest, ListingHoldsItsFolderAgainstRenaming) {
  MakeFolder(L"held");
  const String held = folder_ + L"held";
  const String moved = folder_ + L"moved";
  ASSERT_TRUE(::CreateDirectoryW((held + L"\\DSP0001.tmp").c_str(), nullptr));
  {
    const auto listing = platform_.OpenListing(held + L"\\", L"DSP????.tmp");
    ASSERT_NE(listing, nullptr);
    EXPECT_FALSE(::MoveFileW(held.c_str(), moved.c_str()));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_TRUE(Exists(held));
  }
  EXPECT_TRUE(::MoveFileW(held.c_str(), moved.c_str())) << "released with the listing";
}

TEST_F(Win32PlatformTest, IsDirectoryAcceptsOnlyAnExistingPlainFolder) {
  MakeFolder(L"sub");
  MakeFile(L"temp");
  EXPECT_TRUE(platform_.IsDirectory(folder_ + L"sub"));
  EXPECT_TRUE(platform_.IsDirectory(root_));
  EXPECT_FALSE(platform_.IsDirectory(folder_ + L"temp")) << "a file named like the folder";
  EXPECT_FALSE(platform_.IsDirectory(folder_ + L"missing"));
  EXPECT_FALSE(platform_.IsDirectory(folder_ + L"s?b")) << "wildcards are not a folder";
}

// Windows: a junction (mount point reparse point) shows
// FILE_ATTRIBUTE_REPARSE_POINT in its own find data, and IsDirectory and
// OpenListing refuse it. Wine 8 answers FSCTL_SET_REPARSE_POINT with
// ERROR_INVALID_PARAMETER and CreateSymbolicLinkW with a success that makes
// nothing, so the case can only be run where links can be made.
TEST_F(Win32PlatformTest, JunctionDoesNotCountAsAFolder) {
  MakeFolder(L"target");
  MakeFolder(L"QORTemp");
  const String link = folder_ + L"QORTemp";
  const String substitute = L"\\??\\" + folder_ + L"target";
  bool made = false;
  {
    const HANDLE dir =
        ::CreateFileW(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    ASSERT_NE(dir, INVALID_HANDLE_VALUE);
    // REPARSE_DATA_BUFFER for a mount point: tag, data length, reserved, then
    // substitute-name offset/length and print-name offset/length, then names.
    std::vector<BYTE> buffer(1024);
    const auto nameBytes = static_cast<WORD>(substitute.size() * sizeof(wchar_t));
    const auto put16 = [&](std::size_t at, WORD v) { std::memcpy(&buffer[at], &v, 2); };
    const DWORD tag = IO_REPARSE_TAG_MOUNT_POINT;
    std::memcpy(&buffer[0], &tag, 4);
    const auto dataLength = static_cast<WORD>(8 + nameBytes + 2 + 2);
    put16(4, dataLength);
    put16(8, 0);
    put16(10, nameBytes);
    put16(12, static_cast<WORD>(nameBytes + 2));
    put16(14, 0);
    std::memcpy(&buffer[16], substitute.c_str(), nameBytes);
    DWORD returned = 0;
    made = ::DeviceIoControl(dir, FSCTL_SET_REPARSE_POINT, buffer.data(), 8U + dataLength, nullptr,
                             0, &returned, nullptr) != 0;
    ::CloseHandle(dir);
  }
  const DWORD attributes = ::GetFileAttributesW(link.c_str());
  if (!made || attributes == INVALID_FILE_ATTRIBUTES ||
      (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    GTEST_SKIP() << "this system cannot make a junction (Wine 8 refuses FSCTL_SET_REPARSE_POINT "
                    "with ERROR_INVALID_PARAMETER); on Windows a junction must not count";
  }
  ASSERT_TRUE(::CreateDirectoryW((folder_ + L"target\\DSP0001.tmp").c_str(), nullptr));
  EXPECT_FALSE(platform_.IsDirectory(link));
  EXPECT_EQ(platform_.OpenListing(link + L"\\", L"DSP????.tmp"), nullptr);
}

TEST_F(Win32PlatformTest, FoldersOfTheFourSources) {
  String path;
  ASSERT_TRUE(platform_.GetFolder(FolderSource::SystemTemp, path));
  EXPECT_TRUE(EndsWithIgnoringCase(path, L"\\temp")) << path.size();
  wchar_t windows[MAX_PATH] = {};
  ASSERT_NE(::GetSystemWindowsDirectoryW(windows, MAX_PATH), 0U);
  EXPECT_EQ(::lstrcmpiW(path.substr(0, path.size() - 5).c_str(), windows), 0);

  ASSERT_TRUE(platform_.GetFolder(FolderSource::CommonAppData, path));
  PWSTR known = nullptr;
  ASSERT_EQ(::SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, &known), S_OK);
  EXPECT_EQ(::lstrcmpiW(path.c_str(), known), 0);
  ::CoTaskMemFree(known);
  EXPECT_TRUE(platform_.IsDirectory(path));

  ASSERT_TRUE(platform_.GetFolder(FolderSource::SpoolDir, path)) << "print spooler not reachable";
  EXPECT_TRUE(EndsWithIgnoringCase(path, L"\\spool\\printers")) << path.size();
  EXPECT_TRUE(platform_.IsDirectory(path));
}

// The user's temp folder follows TMP, keeps GetTempPathW's trailing '\', and
// a path that would not fit 260 characters fails rather than being cut.
// (Windows reports the size it would need, Wine 8 returns 0: both fail.)
TEST_F(Win32PlatformTest, UserTempFollowsTmpAndMustFit) {
  wchar_t saved[32767] = {};
  const DWORD savedLength = ::GetEnvironmentVariableW(L"TMP", saved, 32767);

  String path;
  const String named = folder_ + L"user temp";
  MakeFolder(L"user temp");
  ASSERT_TRUE(::SetEnvironmentVariableW(L"TMP", named.c_str()));
  EXPECT_TRUE(platform_.GetFolder(FolderSource::UserTemp, path));
  EXPECT_EQ(path, named + L"\\");

  // 259 characters with the separator: the longest that fits with its
  // terminator. One more does not.
  const String longest = folder_ + String(258 - folder_.size(), L'a');
  ASSERT_TRUE(::SetEnvironmentVariableW(L"TMP", longest.c_str()));
  EXPECT_TRUE(platform_.GetFolder(FolderSource::UserTemp, path));
  EXPECT_EQ(path.size(), 259U);
  ASSERT_TRUE(::SetEnvironmentVariableW(L"TMP", (longest + L"b").c_str()));
  path = L"untouched";
  EXPECT_FALSE(platform_.GetFolder(FolderSource::UserTemp, path));
  EXPECT_EQ(path, L"untouched");

  ::SetEnvironmentVariableW(L"TMP", savedLength != 0 ? saved : nullptr);
}

TEST_F(Win32PlatformTest, ClockReadsUtcInFileTimeUnits) {
  // Seconds from 1601-01-01 to 1970-01-01.
  constexpr FileTime EpochDifference = 11'644'473'600ULL * OneSecond;
  const FileTime before = static_cast<FileTime>(std::time(nullptr)) * OneSecond + EpochDifference;
  const FileTime now = platform_.NowUtc();
  const FileTime after = static_cast<FileTime>(std::time(nullptr)) * OneSecond + EpochDifference;
  EXPECT_GE(now, before);
  EXPECT_LT(now, after + OneSecond);
}

// Run with TZ=Europe/Berlin (see tests/CMakeLists.txt): one hour ahead of
// UTC in winter and two in summer, so the conversion must use the rules for
// the date converted, not today's offset.
TEST_F(Win32PlatformTest, LocalToUtcUsesTheZoneRulesOfThatDate) {
  TIME_ZONE_INFORMATION zone{};
  ::GetTimeZoneInformation(&zone);
  if (zone.Bias != -60 || zone.DaylightBias != -60) {
    GTEST_SKIP() << "needs the zone Europe/Berlin (TZ=Europe/Berlin); this process has bias "
                 << zone.Bias;
  }
  constexpr FileTime FloorInUtc = 129'409'920'000'000'000ULL;  // 2011-02-01 00:00 UTC
  struct Case {
    CivilTime local;
    FileTime expected;
  };
  const Case cases[] = {
      {{2011, 2, 1, 0, 0, 0, 0}, FloorInUtc - 3600 * OneSecond},
      {{2011, 7, 1, 0, 0, 0, 0}, FloorInUtc + 150 * OneDay - 2 * 3600 * OneSecond},
      {{2011, 2, 1, 0, 0, 0, 7}, FloorInUtc - 3600 * OneSecond + 70'000},
  };
  for (const Case& c : cases) {
    FileTime out = 0;
    ASSERT_TRUE(platform_.LocalToUtc(c.local, out)) << c.local.month;
    EXPECT_EQ(out, c.expected) << c.local.month;
  }
  FileTime untouched = 42;
  EXPECT_FALSE(platform_.LocalToUtc({2011, 2, 30, 0, 0, 0, 0}, untouched));
  EXPECT_FALSE(platform_.LocalToUtc({-1, 2, 1, 0, 0, 0, 0}, untouched));
  EXPECT_EQ(untouched, 42U);
}

}  // namespace
}  // namespace qor
