// The POSIX platform body on real scratch folders.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "Platform/Posix/PosixPlatform.h"
#include "RunControl.h"
#include "Sweep.h"

namespace qor {
namespace {

namespace fs = std::filesystem;

constexpr FileTime OneSecond = 10'000'000;
constexpr FileTime UnixEpoch = 116'444'736'000'000'000ULL;  // 1970-01-01 as a FileTime

class PosixPlatformTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/qor-posix-test-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    RunFlag.store(true);
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Creates `name` with `size` bytes, last written `unixSeconds` + `nanos`.
  void MakeFile(const std::string& name, std::size_t size = 0, std::time_t unixSeconds = 0,
                long nanos = 0) {
    std::ofstream(dir_ / name, std::ios::binary) << std::string(size, 'x');
    if (unixSeconds != 0) SetTime(name, unixSeconds, nanos);
  }
  void SetTime(const std::string& name, std::time_t unixSeconds, long nanos = 0) {
    const timespec times[2] = {{unixSeconds, nanos}, {unixSeconds, nanos}};
    ASSERT_EQ(::utimensat(AT_FDCWD, (dir_ / name).c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
  }
  String Folder() const { return WidenBytes(dir_.string() + "/"); }

  std::set<std::string> List(PosixPlatform& platform, const wchar_t* pattern) {
    std::set<std::string> names;
    auto listing = platform.OpenListing(Folder(), pattern);
    if (!listing) return names;
    do {
      std::string bytes;
      EXPECT_TRUE(NarrowToBytes(listing->Name(), bytes));
      EXPECT_TRUE(names.insert(bytes).second) << "listed twice: " << bytes;
    } while (listing->Next());
    return names;
  }

  // Long names that fill the listing buffer many times over, and among them
  // every `every`-th of 6,000 hex names with ".tmp". @returns those.
  std::set<std::string> FillBeyondOneRead(int every) {
    std::set<std::string> matching;
    const std::string padding(200, 'p');
    for (int i = 0; i < 6000; ++i) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "%04X", i);
      MakeFile(padding + hex);
      if (i % every == 0) {
        MakeFile(std::string(hex) + ".tmp");
        matching.insert(std::string(hex) + ".tmp");
      }
    }
    return matching;
  }

  fs::path dir_;
  PosixPlatform platform_{"/nonexistent/cups-files.conf"};
};

TEST_F(PosixPlatformTest, ListingMatchesPatternsLikeTheWindowsListing) {
  for (const char* name : {"1A2B.tmp", "12.tmp", ".tmp", "1a2b.TMP", "12345.tmp", "DSP1.tmp",
                           "dsp00FF.tmp", "x.tmpx", "1A2B.tmp.bak", "\xE9\xFF.tmp"}) {
    MakeFile(name);
  }
  EXPECT_EQ(List(platform_, L"????.tmp"),
            (std::set<std::string>{"1A2B.tmp", "12.tmp", ".tmp", "1a2b.TMP", "DSP1.tmp",
                                   "\xE9\xFF.tmp"}));
  EXPECT_EQ(List(platform_, L"DSP????.tmp"), (std::set<std::string>{"DSP1.tmp", "dsp00FF.tmp"}));
  EXPECT_EQ(platform_.OpenListing(Folder(), L"ZZZ????.tmp"), nullptr);
  EXPECT_EQ(platform_.OpenListing(WidenBytes(dir_.string() + "/missing/"), L"????.tmp"), nullptr);
}

TEST_F(PosixPlatformTest, ListingOfAFolderLargerThanOneReadSeesEveryNameOnce) {
  EXPECT_EQ(List(platform_, L"????.tmp"), FillBeyondOneRead(10));
}

// Cursors in several threads share one read of the folder, which is read in
// parts while they take entries: between them they must see each name once.
TEST_F(PosixPlatformTest, CursorsInThreadsTogetherSeeEveryNameOnce) {
  const std::set<std::string> matching = FillBeyondOneRead(3);
  const std::multiset<std::string> expected(matching.begin(), matching.end());
  std::vector<std::unique_ptr<Listing>> cursors;
  cursors.push_back(platform_.OpenListing(Folder(), L"????.tmp"));
  ASSERT_NE(cursors.front(), nullptr);
  for (int i = 0; i < 3; ++i) {
    cursors.push_back(cursors.front()->Fork());
    ASSERT_NE(cursors.back(), nullptr);
  }
  std::vector<std::vector<std::string>> seen(cursors.size());
  std::vector<std::thread> threads;
  for (std::size_t c = 0; c < cursors.size(); ++c) {
    threads.emplace_back([&, c] {
      do {
        std::string bytes;
        NarrowToBytes(cursors[c]->Name(), bytes);
        seen[c].push_back(bytes);
      } while (cursors[c]->Next());
    });
  }
  for (std::thread& thread : threads) thread.join();
  std::multiset<std::string> all;
  for (const auto& names : seen) all.insert(names.begin(), names.end());
  EXPECT_EQ(all, expected);
  EXPECT_EQ(cursors.front()->Fork(), nullptr) << "a cursor after the end";
}

TEST_F(PosixPlatformTest, ExamineReportsKindSizeAndTimeOfTheEntryItself) {
  MakeFile("0001.tmp", 3, 1'300'000'000, 123'456'789);
  fs::create_directory(dir_ / "0002.tmp");
  fs::create_symlink(dir_ / "0001.tmp", dir_ / "0003.tmp");
  ASSERT_EQ(::mkfifo((dir_ / "0004.tmp").c_str(), 0600), 0);
  SetTime("0003.tmp", 1'400'000'000);

  std::map<std::string, EntryInfo> seen;
  auto listing = platform_.OpenListing(Folder(), L"????.tmp");
  ASSERT_NE(listing, nullptr);
  do {
    std::string name;
    ASSERT_TRUE(NarrowToBytes(listing->Name(), name));
    ASSERT_TRUE(listing->Examine(seen[name]));
  } while (listing->Next());

  ASSERT_EQ(seen.size(), 4U);
  EXPECT_EQ(seen["0001.tmp"].kind, EntryKind::File);
  EXPECT_EQ(seen["0001.tmp"].size, 3U);
  EXPECT_EQ(seen["0001.tmp"].lastWrite, UnixEpoch + 1'300'000'000 * OneSecond + 1'234'567);
  EXPECT_EQ(seen["0002.tmp"].kind, EntryKind::Directory);
  EXPECT_EQ(seen["0003.tmp"].kind, EntryKind::File);  // the link, not its target
  EXPECT_EQ(seen["0003.tmp"].size, (dir_ / "0001.tmp").string().size());
  EXPECT_EQ(seen["0003.tmp"].lastWrite, UnixEpoch + 1'400'000'000 * OneSecond);
  EXPECT_EQ(seen["0004.tmp"].kind, EntryKind::Other);
}

TEST_F(PosixPlatformTest, SweepDeletesQualifyingFilesAndLinksButNeverTargets) {
  const std::time_t tenDaysAgo = std::time(nullptr) - 10 * 86'400;
  fs::create_directory(dir_ / "outside");
  std::ofstream(dir_ / "outside" / "precious");
  MakeFile("1A2B.tmp", 0, tenDaysAgo);
  MakeFile("3C4D.tmp", 0, std::time(nullptr) - 3 * 86'400);  // too recent
  MakeFile("5E6F.tmp", 1, tenDaysAgo);                       // not empty
  MakeFile("DSP00FF.tmp", 100);
  fs::create_symlink(dir_ / "outside" / "precious", dir_ / "DSP0001.tmp");
  fs::create_directory(dir_ / "ABCD.tmp");
  SetTime("ABCD.tmp", tenDaysAgo);

  int deleted = 0;
  SweepDirectory(platform_, Folder(), HexPass(false), deleted);
  SweepDirectory(platform_, Folder(), DspPass(), deleted);
  EXPECT_EQ(deleted, 3);
  for (const char* gone : {"1A2B.tmp", "DSP00FF.tmp", "DSP0001.tmp"}) {
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir_ / gone))) << gone;
  }
  for (const char* kept : {"3C4D.tmp", "5E6F.tmp", "ABCD.tmp", "outside/precious"}) {
    EXPECT_TRUE(fs::exists(dir_ / kept)) << kept;
  }
}

TEST_F(PosixPlatformTest, LocalToUtcFollowsTheZone) {
  const char* saved = std::getenv("TZ");
  const std::string restore = saved != nullptr ? saved : "";
  FileTime utc = 0;
  ::setenv("TZ", "UTC0", 1);
  ::tzset();
  ASSERT_TRUE(platform_.LocalToUtc(AgeFloorLocal, utc));
  EXPECT_EQ(utc, 129'409'920'000'000'000ULL);
  // POSIX TZ strings need no time-zone database: JST-9 is nine hours ahead.
  ::setenv("TZ", "JST-9", 1);
  ::tzset();
  ASSERT_TRUE(platform_.LocalToUtc(AgeFloorLocal, utc));
  EXPECT_EQ(utc, 129'409'920'000'000'000ULL - 9 * 3600 * OneSecond);
  if (saved != nullptr) {
    ::setenv("TZ", restore.c_str(), 1);
  } else {
    ::unsetenv("TZ");
  }
  ::tzset();
}

TEST_F(PosixPlatformTest, NowUtcAgreesWithTheSystemClock) {
  const FileTime before = UnixEpoch + static_cast<FileTime>(std::time(nullptr)) * OneSecond;
  const FileTime now = platform_.NowUtc();
  EXPECT_GE(now, before);
  EXPECT_LT(now, before + 5 * OneSecond);
}

TEST_F(PosixPlatformTest, FolderSources) {
  String out;
  EXPECT_TRUE(platform_.GetFolder(FolderSource::SystemTemp, out));
  EXPECT_EQ(out, L"/var/tmp");
  EXPECT_TRUE(platform_.GetFolder(FolderSource::CommonAppData, out));
  EXPECT_EQ(out, L"/var/lib");
  EXPECT_FALSE(platform_.GetFolder(FolderSource::SpoolDir, out));  // no cups-files.conf

  std::ofstream(dir_ / "cups-files.conf")
      << "# RequestRoot /commented\nrequestroot /srv/spool # x\n";
  PosixPlatform withCups((dir_ / "cups-files.conf").string());
  EXPECT_TRUE(withCups.GetFolder(FolderSource::SpoolDir, out));
  EXPECT_EQ(out, L"/srv/spool");

  const char* saved = std::getenv("TMPDIR");
  const std::string restore = saved != nullptr ? saved : "";
  for (const auto& [tmpdir, expected] :
       {std::pair<const char*, const wchar_t*>{"/scratch", L"/scratch/"},
        {"/scratch/", L"/scratch/"},
        {"", L"/tmp/"},
        {nullptr, L"/tmp/"}}) {
    if (tmpdir != nullptr) {
      ::setenv("TMPDIR", tmpdir, 1);
    } else {
      ::unsetenv("TMPDIR");
    }
    EXPECT_TRUE(platform_.GetFolder(FolderSource::UserTemp, out));
    EXPECT_EQ(out, expected);
  }
  ::setenv("TMPDIR", std::string(PATH_MAX, 'x').c_str(), 1);
  EXPECT_FALSE(platform_.GetFolder(FolderSource::UserTemp, out));  // does not fit
  if (saved != nullptr) {
    ::setenv("TMPDIR", restore.c_str(), 1);
  } else {
    ::unsetenv("TMPDIR");
  }
}

TEST(CupsRequestRootTest, DirectiveNameAnyCaseCommentsAndDefault) {
  EXPECT_EQ(ParseCupsRequestRoot(""), "/var/spool/cups");
  EXPECT_EQ(ParseCupsRequestRoot("LogLevel warn\n#RequestRoot /a\n"), "/var/spool/cups");
  EXPECT_EQ(ParseCupsRequestRoot("  REQUESTROOT\t/a/b  \r\n"), "/a/b");
  EXPECT_EQ(ParseCupsRequestRoot("RequestRoot /a\nRequestRoot /b\n"), "/b");
  EXPECT_EQ(ParseCupsRequestRoot("RequestRootX /a\nRequestRoot\n"), "/var/spool/cups");
}

TEST_F(PosixPlatformTest, IsDirectoryFollowsTheExactPath) {
  MakeFile("temp");
  fs::create_directory(dir_ / "folder");
  fs::create_directory_symlink(dir_ / "folder", dir_ / "link");
  EXPECT_TRUE(platform_.IsDirectory(WidenBytes((dir_ / "folder").string())));
  EXPECT_TRUE(platform_.IsDirectory(WidenBytes((dir_ / "link").string())));
  EXPECT_FALSE(platform_.IsDirectory(WidenBytes((dir_ / "temp").string())));
  EXPECT_FALSE(platform_.IsDirectory(WidenBytes((dir_ / "missing").string())));
  EXPECT_FALSE(platform_.IsDirectory(L"/\u0100"));  // no byte form: cannot exist
}

TEST_F(PosixPlatformTest, ExitStatusIsCappedAt255) {
  EXPECT_EQ(platform_.ExitStatus(0), 0);
  EXPECT_EQ(platform_.ExitStatus(255), 255);
  EXPECT_EQ(platform_.ExitStatus(256), 255);
  EXPECT_EQ(platform_.ExitStatus(300), 255);
}

TEST_F(PosixPlatformTest, WritingToAClosedPipeNeitherFailsNorKillsTheRun) {
  platform_.InstallInterruptHandler(OnInterrupt);
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ::close(fds[0]);
  const int saved = ::dup(STDOUT_FILENO);
  ::dup2(fds[1], STDOUT_FILENO);
  platform_.WriteOutput("SUCCESS(1)\n");  // EPIPE, not SIGPIPE
  ::dup2(saved, STDOUT_FILENO);
  ::close(saved);
  ::close(fds[1]);

  // The handler is one-shot: it clears RunFlag, and SIGINT is default again.
  ::raise(SIGINT);
  EXPECT_FALSE(RunFlag.load());
  struct sigaction current {};
  ::sigaction(SIGINT, nullptr, &current);
  EXPECT_EQ(current.sa_handler, SIG_DFL);
  RunFlag.store(true);
}

}  // namespace
}  // namespace qor
