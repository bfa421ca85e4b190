// The Win32 body on real folders, and QOR_DelTmp.exe started by a Windows parent, all inside
// Wine's scratch prefix (C:\qor-<pid>-<n> are left there). Usage: qor_win32_tests PATH-TO-EXE
#include <gtest/gtest.h>
#include <windows.h>

#include <fstream>
#include <set>

#include "Platform/Win32/Win32Platform.h"
#include "Sweep.h"

namespace qor {
namespace {

String g_exe;
constexpr FileTime OneDay = 864'000'000'000ULL, Hour = OneDay / 24;

struct Win32Test : ::testing::Test {
  void SetUp() override {
    static int n = 0;
    dir_ = L"C:\\qor-" + std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(++n);
    ASSERT_TRUE(::CreateDirectoryW(dir_.c_str(), nullptr));
    dir_ += L"\\";
  }
  bool Exists(const String& name) { return ::GetFileAttributesW((dir_ + name).c_str()) != ~0U; }
  // A file ten days old unless told otherwise, kept open with `share` if that is not ~0.
  HANDLE Make(const String& name, LONGLONG size = 0, FileTime t = 0, DWORD attributes = 0,
              DWORD share = ~0U) {
    const HANDLE f = ::CreateFileW((dir_ + name).c_str(), GENERIC_READ | GENERIC_WRITE, share & 7,
                                   nullptr, CREATE_NEW, attributes, nullptr);
    const FileTime at = t != 0 ? t : platform_.NowUtc() - 10 * OneDay;
    const FILETIME ft{static_cast<DWORD>(at), static_cast<DWORD>(at >> 32)};
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = size;
    EXPECT_TRUE(::SetFileInformationByHandle(f, FileEndOfFileInfo, &end, sizeof end) &&
                ::SetFileTime(f, nullptr, nullptr, &ft));
    return share == ~0U && ::CloseHandle(f) ? nullptr : f;
  }
  Win32Platform platform_;
  String dir_;
};

// Output and exit status of the exe run from C:\ with `userTemp` as its user temp folder.
std::pair<std::string, DWORD> RunExe(const String& userTemp, String arguments) {
  ::SetEnvironmentVariableW(L"TMP", userTemp.c_str());
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  const String out = userTemp + L"stdout";
  startup.hStdOutput = ::CreateFileW(out.c_str(), GENERIC_WRITE, 0, &inherit, CREATE_ALWAYS, 0, 0);
  arguments = L"\"" + g_exe + L"\" " + arguments;
  PROCESS_INFORMATION child{};
  EXPECT_TRUE(::CreateProcessW(nullptr, arguments.data(), nullptr, nullptr, TRUE, 0, nullptr,
                               L"C:\\", &startup, &child));
  DWORD status = ::WaitForSingleObject(child.hProcess, INFINITE);
  ::GetExitCodeProcess(child.hProcess, &status);
  for (const HANDLE h : {child.hProcess, child.hThread, startup.hStdOutput}) ::CloseHandle(h);
  std::ifstream output(out.c_str(), std::ios::binary);
  return {std::string(std::istreambuf_iterator<char>(output), {}), status};
}

// Wine's native "????.tmp" misses 12.tmp, .tmp and DSP.tmp, and "*.tmp"
// returns ab.tmpl through its 8.3 name, as Windows does through AB~1.TMP.
TEST_F(Win32Test, ListingYieldsExactlyTheNamesThePatternMatches) {
  for (const wchar_t* name : {L"1A2B.tmp", L"12.tmp", L".tmp", L"DSP.tmp", L"DSP00FF.tmp",
                              L"dsp1.TMP", L"abcde.tmp", L"ab.tmpl"})
    Make(name);
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

// The listings stand on their entries when the files change; Delete sees it.
TEST_F(Win32Test, DeleteJudgesTheFileAgainOnItsOwnHandle) {
  struct Rule final : EntryRule {
    AgeWindow window;
    bool Holds(const EntryInfo& info) const override {
      return EntryQualifies(HexPass(false), window, info);
    }
  } rule;
  const HANDLE written = Make(L"2.tmp", 0, 0, 0, 7);
  std::unique_ptr<Listing> at[3];
  for (int i = 0; i < 3; ++i) {
    if (i != 1) Make(std::to_wstring(i + 1) + L".tmp");
    at[i] = platform_.OpenListing(dir_, std::to_wstring(i + 1) + L".tmp");
  }
  DWORD count = 0;
  ASSERT_TRUE(ComputeAgeWindow(platform_, rule.window) && at[0] && at[1] && at[2]);
  EXPECT_TRUE(::WriteFile(written, "x", 1, &count, nullptr) && ::CloseHandle(written) &&
              ::DeleteFileW((dir_ + L"3.tmp").c_str()) &&  // replaced by a folder
              ::CreateDirectoryW((dir_ + L"3.tmp").c_str(), nullptr));
  EXPECT_TRUE(at[0]->Delete(rule) && !Exists(L"1.tmp"));  // unchanged
  EXPECT_FALSE(at[1]->Delete(rule) || at[2]->Delete(rule) || !Exists(L"2.tmp") ||
               !Exists(L"3.tmp"));
}

// Held without delete sharing, the folder cannot be moved away (and replaced
// by a link) while its entries are opened by path. A file is no folder, and
// the user's temp folder (TMP, with a '\' added) must fit MAX_PATH.
TEST_F(Win32Test, FoldersAreHeldMustBeFoldersAndMustFit) {
  Make(L"DSP1.tmp");
  const String folder = dir_.substr(0, dir_.size() - 1), moved = folder + L"-moved";
  {
    const auto listing = platform_.OpenListing(dir_, L"DSP????.tmp");
    ASSERT_NE(listing, nullptr);
    EXPECT_FALSE(::MoveFileW(folder.c_str(), moved.c_str()));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  }
  EXPECT_TRUE(::MoveFileW(folder.c_str(), moved.c_str()) && platform_.IsDirectory(moved) &&
              !platform_.IsDirectory(moved + L"\\DSP1.tmp"));
  const String longest = dir_ + String(258 - dir_.size(), L'a');
  String path;
  ::SetEnvironmentVariableW(L"TMP", longest.c_str());
  EXPECT_TRUE(platform_.GetFolder(FolderSource::UserTemp, path) && path == longest + L"\\");
  ::SetEnvironmentVariableW(L"TMP", (longest + L"b").c_str());
  EXPECT_FALSE(platform_.GetFolder(FolderSource::UserTemp, path));
}

// Files held open here are in use whatever their sharing: kept, uncounted, taken by the next run.
// Size, time and kind come from the listing and the deleting handle; a read-only file refuses. In
// Berlin the floor, local 2011-02-01, is an hour earlier in UTC. The count goes out as a CR LF line
// and as the whole exit status (a Linux parent of Wine would see 8 bits).
TEST_F(Win32Test, ExeRunKeepsFilesInUseAndReportsTheCountToAWindowsParent) {
  RunExe(dir_, L"/s /a");  // leftovers in the other folders, of earlier runs or of Wine
  constexpr FileTime Floor = 129'409'920'000'000'000ULL - Hour;
  const std::tuple<const wchar_t*, LONGLONG, FileTime, DWORD, bool> files[] = {
      {L"0001.tmp", 0, 0, 0, false},
      {L"0002.tmp", 1LL << 32, 0, 0, true},
      {L"0003.tmp", 0, Floor, 0, false},
      {L"0004.tmp", 0, Floor - 10'000'000, 0, true},
      {L"DSP0005.tmp", 0, 0, FILE_ATTRIBUTE_READONLY, true}};
  for (const auto& [name, size, t, attributes, stays] : files) Make(name, size, t, attributes);
  ASSERT_TRUE(::CreateDirectoryW((dir_ + L"ABCD.tmp").c_str(), nullptr));
  for (int i = 0; i < 300; ++i) Make(L"DSP" + std::to_wstring(1000 + i) + L".tmp");
  std::vector<HANDLE> held;  // sharing none; read+write; read+write+delete
  for (const DWORD share : {0, 3, 7})
    held.push_back(Make(L"DSP" + std::to_wstring(share) + L".tmp", 0, 0, 0, share));
  EXPECT_EQ(RunExe(dir_, L""), std::make_pair(std::string("SUCCESS(302)\r\n"), DWORD{302}));
  for (const auto& [name, size, t, attributes, stays] : files) EXPECT_EQ(Exists(name), stays);
  for (const HANDLE h : held) ::CloseHandle(h);
  EXPECT_EQ(RunExe(dir_, L""), std::make_pair(std::string("SUCCESS(3)\r\n"), DWORD{3}));
  EXPECT_TRUE(Exists(L"ABCD.tmp") && Exists(L"DSP0005.tmp"));
}

}  // namespace
}  // namespace qor

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // Under Wine the path comes in Linux form: \\?\unix\ reaches it with no drive mapped to /.
  for (const char c : std::string(argc > 1 ? argv[1] : "")) qor::g_exe += c == '/' ? '\\' : c;
  if (qor::g_exe.starts_with(L"\\")) qor::g_exe.insert(0, L"\\\\?\\unix");
  return RUN_ALL_TESTS();
}
