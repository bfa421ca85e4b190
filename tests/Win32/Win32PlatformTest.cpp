// The Win32 body on real folders, and QOR_DelTmp.exe started by a Windows parent, inside Wine's
// scratch prefix (the folders C:\qor-<pid>-<n> are left there). Usage: qor_win32_tests EXE
#include <gtest/gtest.h>
#include <windows.h>

#include <fstream>

#include "Platform/Win32/Win32Platform.h"
#include "Sweep.h"

namespace qor {
namespace {

String g_exe;
constexpr FileTime Day = 864'000'000'000;

class Win32Test : public ::testing::Test {
 protected:
  // A new folder C:\qor-<pid>-<n>\. Wine gives the same process ids again from run to run, so
  // a name an earlier run left is passed over.
  void SetUp() override {
    static int folders = 0;
    do {
      ++folders;
      folder_ = L"C:\\qor-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                std::to_wstring(folders) + L"\\";
    } while (!::CreateDirectoryW(folder_.c_str(), nullptr) &&
             ::GetLastError() == ERROR_ALREADY_EXISTS);
    ASSERT_TRUE(Exists(L""));
  }

  bool Exists(const String& name) const {
    return ::GetFileAttributesW((folder_ + name).c_str()) != INVALID_FILE_ATTRIBUTES;
  }

  // Makes `name` with this size and last write (0: ten days ago) and these attributes, and
  // returns it open with this sharing; or closed when `share` is Closed.
  static constexpr DWORD Closed = ~0U;
  HANDLE Make(const String& name, LONGLONG size = 0, FileTime lastWrite = 0, DWORD attributes = 0,
              DWORD share = Closed) {
    const HANDLE file = ::CreateFileW((folder_ + name).c_str(), GENERIC_READ | GENERIC_WRITE,
                                      share & 7, nullptr, CREATE_NEW, attributes, nullptr);
    if (lastWrite == 0) lastWrite = platform_.NowUtc() - 10 * Day;
    const FILETIME time{static_cast<DWORD>(lastWrite), static_cast<DWORD>(lastWrite >> 32)};
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = size;
    EXPECT_TRUE(::SetFileInformationByHandle(file, FileEndOfFileInfo, &end, sizeof end));
    EXPECT_TRUE(::SetFileTime(file, nullptr, nullptr, &time));
    if (share != Closed) return file;
    ::CloseHandle(file);
    return nullptr;
  }

  Win32Platform platform_;
  String folder_;
};

struct ExeRun {
  std::string printed;
  DWORD status = 0;
};

// Runs the exe from C:\ with `userTemp` as its user's temp folder (TMP).
ExeRun RunExe(const String& userTemp, const String& arguments) {
  ::SetEnvironmentVariableW(L"TMP", userTemp.c_str());
  SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
  const String out = userTemp + L"stdout";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput =
      ::CreateFileW(out.c_str(), GENERIC_WRITE, 0, &inherited, CREATE_ALWAYS, 0, nullptr);
  String commandLine = L"\"" + g_exe + L"\" " + arguments;
  PROCESS_INFORMATION child{};
  EXPECT_TRUE(::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                               L"C:\\", &startup, &child));
  ::WaitForSingleObject(child.hProcess, INFINITE);
  ExeRun run;
  ::GetExitCodeProcess(child.hProcess, &run.status);
  ::CloseHandle(child.hProcess);
  ::CloseHandle(child.hThread);
  ::CloseHandle(startup.hStdOutput);
  std::ifstream printed(out.c_str(), std::ios::binary);
  run.printed.assign(std::istreambuf_iterator<char>(printed), {});
  return run;
}

// Delete opens the file sharing nothing and judges it again on that handle: a file written to,
// or replaced by a folder, since it was listed is kept; an unchanged one goes.
TEST_F(Win32Test, DeleteJudgesTheFileAgainOnItsOwnHandle) {
  struct EmptyAndOld final : EntryRule {
    AgeWindow window;
    bool Holds(const EntryInfo& info) const override {
      return EntryQualifies(HexPass(false), window, info);
    }
  } rule;
  ASSERT_TRUE(ComputeAgeWindow(platform_, rule.window));
  const HANDLE writer = Make(L"2.tmp", 0, 0, 0, FILE_SHARE_READ | FILE_SHARE_WRITE);
  Make(L"1.tmp");
  Make(L"3.tmp");
  const auto unchanged = platform_.OpenListing(folder_, L"1.tmp");
  const auto written = platform_.OpenListing(folder_, L"2.tmp");
  const auto replaced = platform_.OpenListing(folder_, L"3.tmp");
  DWORD count = 0;
  EXPECT_TRUE(::WriteFile(writer, "x", 1, &count, nullptr));
  ::CloseHandle(writer);
  EXPECT_TRUE(::DeleteFileW((folder_ + L"3.tmp").c_str()));
  EXPECT_TRUE(::CreateDirectoryW((folder_ + L"3.tmp").c_str(), nullptr));
  EXPECT_TRUE(unchanged->Delete(rule));
  EXPECT_FALSE(written->Delete(rule));
  EXPECT_FALSE(replaced->Delete(rule));
  EXPECT_FALSE(Exists(L"1.tmp"));
  EXPECT_TRUE(Exists(L"2.tmp"));
  EXPECT_TRUE(Exists(L"3.tmp"));
}

// While a listing holds its folder (no delete sharing), the folder cannot be moved away and a link
// put in its place. A file is no folder. The user's temp folder (TMP, '\' added) must fit MAX_PATH.
TEST_F(Win32Test, FoldersAreHeldMustBeFoldersAndMustFit) {
  Make(L"DSP1.tmp");
  const String folder = folder_.substr(0, folder_.size() - 1);
  const String moved = folder + L"-moved";
  {
    const auto listing = platform_.OpenListing(folder_, L"DSP????.tmp");
    ASSERT_NE(listing, nullptr);
    EXPECT_FALSE(::MoveFileW(folder.c_str(), moved.c_str()));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  }
  EXPECT_TRUE(::MoveFileW(folder.c_str(), moved.c_str()));
  EXPECT_TRUE(platform_.IsDirectory(moved));
  EXPECT_FALSE(platform_.IsDirectory(moved + L"\\DSP1.tmp"));
  const String longest = folder_ + String(258 - folder_.size(), L'a');
  String found;
  ::SetEnvironmentVariableW(L"TMP", longest.c_str());
  EXPECT_TRUE(platform_.GetFolder(FolderSource::UserTemp, found));
  EXPECT_EQ(found, longest + L"\\");
  ::SetEnvironmentVariableW(L"TMP", (longest + L"b").c_str());
  EXPECT_FALSE(platform_.GetFolder(FolderSource::UserTemp, found));
}

// The exe sweeps the user's temp folder. Files this test holds open are in use, whatever sharing
// it allowed: they are kept, not counted, and go with the next run. Size and time come from the
// listing and the deleting handle; a read-only file refuses. Names with fewer than four digits
// are listed too (Wine's own '?' matches exactly one character). In Berlin (TZ) the floor, local
// 2011-02-01 00:00, is an hour earlier in UTC. The count goes out as a CR LF line and as the
// whole exit status (a Linux parent of Wine would see 8 bits).
TEST_F(Win32Test, ExeKeepsFilesInUseAndReportsTheWholeCount) {
  RunExe(folder_, L"/s /a");  // what earlier runs or Wine left in the other folders
  constexpr FileTime BerlinFloor = 129'409'920'000'000'000 - Day / 24;
  struct Row {
    const wchar_t* name;
    LONGLONG size = 0;
    FileTime lastWrite = 0;
    DWORD attributes = 0;
    bool stays;
  };
  const Row rows[] = {
      {.name = L"0001.tmp", .stays = false},
      {.name = L"0002.tmp", .size = LONGLONG{1} << 32, .stays = true},
      {.name = L"0003.tmp", .lastWrite = BerlinFloor, .stays = false},
      {.name = L"0004.tmp", .lastWrite = BerlinFloor - 10'000'000, .stays = true},
      {.name = L"DSP0005.tmp", .attributes = FILE_ATTRIBUTE_READONLY, .stays = true},
      {.name = L"12.tmp", .stays = false},
      {.name = L".tmp", .stays = false},
      {.name = L"DSP.tmp", .stays = false},
      {.name = L"abcde.tmp", .stays = true},
  };
  for (const Row& row : rows) Make(row.name, row.size, row.lastWrite, row.attributes);
  ASSERT_TRUE(::CreateDirectoryW((folder_ + L"ABCD.tmp").c_str(), nullptr));
  for (int i = 1000; i < 1300; ++i) Make(L"DSP" + std::to_wstring(i) + L".tmp");
  std::vector<HANDLE> held;
  for (const DWORD share : {0, FILE_SHARE_READ | FILE_SHARE_WRITE, 7}) {
    held.push_back(Make(L"DSP" + std::to_wstring(share) + L".tmp", 0, 0, 0, share));
  }
  const ExeRun first = RunExe(folder_, L"");
  EXPECT_EQ(first.printed, "SUCCESS(305)\r\n");
  EXPECT_EQ(first.status, 305U);
  for (const Row& row : rows) EXPECT_EQ(Exists(row.name), row.stays) << row.name;
  for (const HANDLE file : held) ::CloseHandle(file);
  const ExeRun second = RunExe(folder_, L"");
  EXPECT_EQ(second.printed, "SUCCESS(3)\r\n");
  EXPECT_EQ(second.status, 3U);
  EXPECT_TRUE(Exists(L"ABCD.tmp"));
  EXPECT_TRUE(Exists(L"DSP0005.tmp"));
}

}  // namespace
}  // namespace qor

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // Under Wine the path comes in Linux form: \\?\unix\ reaches it with no drive mapped to /.
  if (argc > 1) {
    for (const char c : std::string(argv[1])) qor::g_exe += (c == '/') ? L'\\' : c;
  }
  if (qor::g_exe.starts_with(L"\\")) qor::g_exe.insert(0, L"\\\\?\\unix");
  return RUN_ALL_TESTS();
}
