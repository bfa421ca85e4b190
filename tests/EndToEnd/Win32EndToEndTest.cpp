// QOR_DelTmp.exe end to end: started as a child process with its output on a
// pipe, sweeping the real four folders of the machine it runs on. Under Wine
// that is the build's scratch prefix, cut off from the Linux file system.
// Usage: qor_win32_e2e_tests PATH-TO-QOR_DelTmp.exe

// clang-format off
#include <windows.h>
// clang-format on

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "Platform/Win32/Win32Platform.h"

namespace qor {
namespace {

String g_exe;

constexpr FileTime OneDay = 864'000'000'000ULL;

struct RunResult {
  std::string output;
  DWORD status = 0;
};

// Starts the tool with `arguments` (already quoted as needed) and collects
// its standard output and its exit status.
RunResult RunExe(const String& arguments) {
  RunResult result;
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE readEnd = nullptr;
  HANDLE writeEnd = nullptr;
  EXPECT_TRUE(::CreatePipe(&readEnd, &writeEnd, &inherit, 0));
  ::SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = writeEnd;
  startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
  String commandLine = L"\"" + g_exe + L"\" " + arguments;
  // Start in the Windows folder: under Wine the test's own working folder is
  // a Linux path that the child could not enter.
  wchar_t folder[MAX_PATH] = {};
  ::GetWindowsDirectoryW(folder, MAX_PATH);
  PROCESS_INFORMATION process{};
  const BOOL started = ::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0,
                                        nullptr, folder, &startup, &process);
  ::CloseHandle(writeEnd);
  EXPECT_TRUE(started) << "CreateProcessW failed: " << ::GetLastError();
  if (started) {
    char chunk[4096];
    DWORD got = 0;
    while (::ReadFile(readEnd, chunk, sizeof chunk, &got, nullptr) && got > 0) {
      result.output.append(chunk, got);
    }
    ::WaitForSingleObject(process.hProcess, INFINITE);
    ::GetExitCodeProcess(process.hProcess, &result.status);
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
  }
  ::CloseHandle(readEnd);
  return result;
}

bool Exists(const String& path) {
  return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

String WithSeparator(String folder) {
  if (folder.back() != L'\\') folder.push_back(L'\\');
  return folder;
}

void MakeFile(const String& path, std::uint64_t size, FileTime lastWrite) {
  const HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE) << ::GetLastError();
  const std::string bytes(size, 'x');
  DWORD written = 0;
  ASSERT_TRUE(::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
  const FILETIME ft{static_cast<DWORD>(lastWrite & 0xFFFFFFFFU),
                    static_cast<DWORD>(lastWrite >> 32)};
  ASSERT_TRUE(::SetFileTime(file, nullptr, nullptr, &ft));
  ::CloseHandle(file);
}

// The four folders the tool sweeps here, each ending in '\', QORTemp made.
class SweepEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(g_exe.empty()) << "pass the path of QOR_DelTmp.exe";
    String path;
    ASSERT_TRUE(platform_.GetFolder(FolderSource::SystemTemp, path));
    windowsTemp_ = WithSeparator(path);
    ASSERT_TRUE(platform_.GetFolder(FolderSource::CommonAppData, path));
    qorTemp_ = WithSeparator(path + L"\\QORTemp");
    ::CreateDirectoryW(qorTemp_.c_str(), nullptr);
    ASSERT_TRUE(platform_.IsDirectory(path + L"\\QORTemp"));
    ASSERT_TRUE(platform_.GetFolder(FolderSource::SpoolDir, path));
    spool_ = WithSeparator(path);
    ASSERT_TRUE(platform_.GetFolder(FolderSource::UserTemp, path));
    userTemp_ = WithSeparator(path);
    ::CreateDirectoryW(userTemp_.c_str(), nullptr);
    // Leftovers of earlier runs (or of Wine itself) would be counted too.
    RunExe(L"/s /a");
  }

  Win32Platform platform_;
  String windowsTemp_, qorTemp_, spool_, userTemp_;
};

TEST_F(SweepEndToEnd, DeletesAcrossTheFourFoldersAndReportsTheCount) {
  const FileTime now = platform_.NowUtc();
  const FileTime tenDaysAgo = now - 10 * OneDay;
  const std::vector<String> doomed = {
      windowsTemp_ + L"1A2B.tmp",  // empty, old enough
      qorTemp_ + L"DSP00FF.tmp",   // any size and age
      spool_ + L"dsp1.TMP",
      userTemp_ + L"12.tmp",  // a name Wine's own "????.tmp" would miss
  };
  const String recent = windowsTemp_ + L"3C4D.tmp";
  const std::vector<String> kept = {
      recent,
      windowsTemp_ + L"5E6F.tmp",  // not empty
      windowsTemp_ + L"1a2c.tmp",  // lowercase hex (names differ in more than case:
                                   // the file system ignores case)
      userTemp_ + L"12345.tmp",    // five digits
      userTemp_ + L"7A8B.tmp",     // before 2011-02-01
      qorTemp_ + L"DSP00fe.tmp",   // lowercase hex after the prefix
  };
  for (const String& path : doomed)
    MakeFile(path, path.find(L"DSP") != String::npos ? 3 : 0, tenDaysAgo);
  MakeFile(recent, 0, now - OneDay);
  MakeFile(windowsTemp_ + L"5E6F.tmp", 1, tenDaysAgo);
  MakeFile(windowsTemp_ + L"1a2c.tmp", 0, tenDaysAgo);
  MakeFile(userTemp_ + L"12345.tmp", 0, tenDaysAgo);
  MakeFile(userTemp_ + L"7A8B.tmp", 0, 129'400'000'000'000'000ULL);  // 2011-01-20
  MakeFile(qorTemp_ + L"DSP00fe.tmp", 0, tenDaysAgo);

  const RunResult run = RunExe(L"");
  EXPECT_EQ(run.output, "SUCCESS(4)\r\n");
  EXPECT_EQ(run.status, 4U);
  for (const String& path : doomed) EXPECT_FALSE(Exists(path)) << path.size();
  for (const String& path : kept) EXPECT_TRUE(Exists(path)) << path.size();

  // Option a lifts the age window (the recent and the pre-2011 file go);
  // option s silences the line but not the status.
  const RunResult silent = RunExe(L"/s -A");
  EXPECT_EQ(silent.output, "");
  EXPECT_EQ(silent.status, 2U);
  EXPECT_FALSE(Exists(recent));
  EXPECT_FALSE(Exists(userTemp_ + L"7A8B.tmp"));
  for (const wchar_t* name : {L"5E6F.tmp", L"1a2c.tmp"}) EXPECT_TRUE(Exists(windowsTemp_ + name));
}

// The exit status carries the whole count. (A Linux parent of Wine 8 sees
// only the low 8 bits, 300 as 44; between Windows processes, here, all 32
// bits arrive.)
TEST_F(SweepEndToEnd, ExitStatusCarriesCountsAbove255) {
  for (int i = 0; i < 300; ++i) {
    wchar_t name[16];
    ::swprintf(name, 16, L"DSP%04X.tmp", i);
    MakeFile(userTemp_ + name, 0, platform_.NowUtc());
  }
  const RunResult run = RunExe(L"");
  EXPECT_EQ(run.output, "SUCCESS(300)\r\n");
  EXPECT_EQ(run.status, 300U);
}

TEST(OptionsEndToEnd, UsageTextByteForByte) {
  const RunResult run = RunExe(L"/?");
  EXPECT_EQ(run.output,
            "Usage: QOR_DelTmp [/s][/a]\r\n"
            "  Deletes temporary files created by\r\n"
            "    GetTempFileName(TempPath, prefix, 0, tmpfile).\r\n"
            "  Retruns deleted file count.\r\n"
            "  Options:\r\n"
            "    /s : to suppress all messages. (Silent)\r\n"
            "    /a : to delete All TmpFile\r\n"
            "    /? : to show usage.\r\n"
            "Type Ctrl+C to abort execution.\r\n");
  EXPECT_EQ(run.status, 0U);
}

// Characters up to U+00FF go out as that byte, any other as '?', and the
// line goes on after it.
TEST(OptionsEndToEnd, RefusedArgumentIsEchoedAsSingleByteText) {
  const RunResult run = RunExe(L"/x\u00E9\u0100y");
  EXPECT_EQ(run.output, "Invalid parameter ignored: /x\xE9?y\r\n");
  EXPECT_EQ(run.status, 0U);
  const RunResult silent = RunExe(L"/s /x");
  EXPECT_EQ(silent.output, "");
  EXPECT_EQ(silent.status, 0U);
}

// What Windows reads before starting the exe: the manifest resource (ID 1)
// must demand administrator rights, without UI access; the version block
// names the product.
TEST(ResourcesEndToEnd, ManifestRequiresAdministratorAndVersionNamesTheProduct) {
  const HMODULE image = ::LoadLibraryExW(g_exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(image, nullptr) << ::GetLastError();
  const HRSRC found = ::FindResourceW(image, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
  ASSERT_NE(found, nullptr) << "no RT_MANIFEST resource 1";
  const HGLOBAL loaded = ::LoadResource(image, found);
  ASSERT_NE(loaded, nullptr);
  const std::string manifest(static_cast<const char*>(::LockResource(loaded)),
                             ::SizeofResource(image, found));
  ::FreeLibrary(image);
  EXPECT_NE(manifest.find("<requestedExecutionLevel level=\"requireAdministrator\" "
                          "uiAccess=\"false\"/>"),
            std::string::npos)
      << manifest;

  DWORD ignored = 0;
  const DWORD size = ::GetFileVersionInfoSizeW(g_exe.c_str(), &ignored);
  ASSERT_GT(size, 0U);
  std::vector<char> block(size);
  ASSERT_TRUE(::GetFileVersionInfoW(g_exe.c_str(), 0, size, block.data()));
  struct Field {
    const wchar_t* key;
    StringView expected;
  };
  const Field fields[] = {{L"\\StringFileInfo\\040904B0\\ProductName", L"QOR_DelTmp"},
                          {L"\\StringFileInfo\\040904B0\\OriginalFilename", L"QOR_DelTmp.exe"}};
  for (const Field& field : fields) {
    wchar_t* value = nullptr;
    UINT size = 0;
    ASSERT_TRUE(::VerQueryValueW(block.data(), field.key, reinterpret_cast<void**>(&value), &size));
    EXPECT_EQ(StringView(value), field.expected);
  }
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(::VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDU);
  EXPECT_NE(fixed->dwFileVersionMS | fixed->dwFileVersionLS, 0U);
}

}  // namespace
}  // namespace qor

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (argc > 1) {
    // Under Wine the path arrives in Linux form; \\?\unix\ reaches it
    // without a drive mapped to the Linux root.
    const std::string path = argv[1];
    qor::String wide(path.begin(), path.end());
    if (!wide.empty() && wide.front() == L'/') {
      for (wchar_t& c : wide) c = c == L'/' ? L'\\' : c;
      wide = L"\\\\?\\unix" + wide;
    }
    qor::g_exe = wide;
  }
  return RUN_ALL_TESTS();
}
