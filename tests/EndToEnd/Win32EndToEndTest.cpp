// QOR_DelTmp.exe started by a Windows parent, sweeping the real folders of
// the machine: under Wine the build's scratch prefix, cut off from Linux.
// Usage: qor_win32_e2e_tests PATH-TO-QOR_DelTmp.exe
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "Platform/Win32/Win32Platform.h"

namespace qor {
namespace {

String g_exe;

// The tool's standard output and exit status.
std::pair<std::string, DWORD> RunExe(String arguments) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE readEnd = nullptr, writeEnd = nullptr;
  EXPECT_TRUE(::CreatePipe(&readEnd, &writeEnd, &inherit, 0));
  ::SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = writeEnd;
  String line = L"\"" + g_exe + L"\" " + arguments;
  wchar_t folder[MAX_PATH] = {};  // the test's own folder is a Linux path under Wine
  ::GetWindowsDirectoryW(folder, MAX_PATH);
  PROCESS_INFORMATION child{};
  EXPECT_TRUE(::CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, folder,
                               &startup, &child));
  ::CloseHandle(writeEnd);
  std::pair<std::string, DWORD> result;
  char chunk[4096];
  for (DWORD got = 0; ::ReadFile(readEnd, chunk, sizeof chunk, &got, nullptr) && got > 0;) {
    result.first.append(chunk, got);
  }
  ::WaitForSingleObject(child.hProcess, INFINITE);
  ::GetExitCodeProcess(child.hProcess, &result.second);
  for (const HANDLE h : {child.hProcess, child.hThread, readEnd}) ::CloseHandle(h);
  return result;
}

HANDLE Open(const String& path, DWORD share, DWORD disposition = OPEN_EXISTING) {
  return ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, share, nullptr, disposition,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Files held open by this process, in each share mode, are in use: kept and
// not counted, whatever sharing their holder allowed, and taken by the next
// run once free. The count goes out as CR LF text and as the whole 32-bit
// exit status (a Linux parent of Wine would see only its low 8 bits).
TEST(EndToEnd, FilesInUseAreKeptAndTheCountReachesAWindowsParent) {
  Win32Platform platform;
  String windowsTemp, userTemp;
  ASSERT_TRUE(platform.GetFolder(FolderSource::SystemTemp, windowsTemp));
  ASSERT_TRUE(platform.GetFolder(FolderSource::UserTemp, userTemp));
  ::CreateDirectoryW(userTemp.c_str(), nullptr);
  RunExe(L"/s /a");  // leftovers of earlier runs, or of Wine itself
  for (int i = 0; i < 300; ++i) {
    ::CloseHandle(Open(userTemp + L"DSP" + std::to_wstring(1000 + i) + L".tmp", 0, CREATE_NEW));
  }
  const DWORD shares[] = {0, FILE_SHARE_READ | FILE_SHARE_WRITE,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE};
  std::vector<HANDLE> held;
  for (const DWORD share : shares) {
    held.push_back(
        Open(windowsTemp + L"\\DSP" + std::to_wstring(share) + L".tmp", share, CREATE_NEW));
    ASSERT_NE(held.back(), INVALID_HANDLE_VALUE);
  }
  EXPECT_EQ(RunExe(L""), std::make_pair(std::string("SUCCESS(300)\r\n"), DWORD{300}));
  for (const HANDLE h : held) ::CloseHandle(h);
  for (const DWORD share : shares) {
    const HANDLE h = Open(windowsTemp + L"\\DSP" + std::to_wstring(share) + L".tmp", 0);
    EXPECT_NE(h, INVALID_HANDLE_VALUE) << "share mode " << share;
    ::CloseHandle(h);
  }
  EXPECT_EQ(RunExe(L""), std::make_pair(std::string("SUCCESS(3)\r\n"), DWORD{3}));
}

// What Windows reads before starting the exe: the manifest (resource 1)
// demands administrator rights, without UI access.
TEST(EndToEnd, ManifestRequiresAdministrator) {
  const HMODULE image = ::LoadLibraryExW(g_exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  const HRSRC found = ::FindResourceW(image, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
  ASSERT_NE(found, nullptr) << "no RT_MANIFEST resource 1";
  const std::string manifest(static_cast<const char*>(::LockResource(::LoadResource(image, found))),
                             ::SizeofResource(image, found));
  EXPECT_NE(manifest.find(R"(<requestedExecutionLevel level="requireAdministrator" )"
                          R"(uiAccess="false"/>)"),
            std::string::npos)
      << manifest;
}

}  // namespace
}  // namespace qor

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // Under Wine the path arrives in Linux form; \\?\unix\ reaches it without
  // a drive mapped to the Linux root.
  for (const char c : std::string(argc > 1 ? argv[1] : ""))
    qor::g_exe.push_back(c == '/' ? '\\' : c);
  if (!qor::g_exe.empty() && qor::g_exe.front() == L'\\') qor::g_exe = L"\\\\?\\unix" + qor::g_exe;
  return RUN_ALL_TESTS();
}
