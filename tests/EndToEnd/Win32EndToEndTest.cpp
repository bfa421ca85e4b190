// QOR_DelTmp.exe started by a Windows parent, sweeping the real folders of
// the machine: under Wine the build's scratch prefix, cut off from Linux.
// Usage: qor_win32_e2e_tests PATH-TO-QOR_DelTmp.exe
#include <gtest/gtest.h>
#include <windows.h>

#include "Platform/Win32/Win32Platform.h"

namespace qor {
namespace {

String g_exe;

// The tool's standard output and exit status.
std::pair<std::string, DWORD> RunExe(String arguments) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE readEnd = nullptr;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  EXPECT_TRUE(::CreatePipe(&readEnd, &startup.hStdOutput, &inherit, 0));
  ::SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  String line = L"\"" + g_exe + L"\" " + arguments;
  PROCESS_INFORMATION child{};  // started in C:\, as Wine cannot enter the test's Linux folder
  EXPECT_TRUE(::CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, L"C:\\",
                               &startup, &child));
  ::CloseHandle(startup.hStdOutput);
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

// Files this process holds open are in use, whatever sharing it allowed:
// kept, not counted, and taken by the next run once free. The count goes out
// as a CR LF line and as the whole 32-bit exit status (a Linux parent of
// Wine would see only its low 8 bits).
TEST(EndToEnd, FilesInUseAreKeptAndTheCountReachesAWindowsParent) {
  Win32Platform platform;
  String windowsTemp, userTemp;
  ASSERT_TRUE(platform.GetFolder(FolderSource::SystemTemp, windowsTemp) &&
              platform.GetFolder(FolderSource::UserTemp, userTemp));
  ::CreateDirectoryW(userTemp.c_str(), nullptr);
  RunExe(L"/s /a");  // leftovers of earlier runs, or of Wine itself
  for (int i = 0; i < 300; ++i) {
    ::CloseHandle(Open(userTemp + L"DSP" + std::to_wstring(1000 + i) + L".tmp", 0, CREATE_NEW));
  }
  std::vector<String> paths;
  std::vector<HANDLE> held;
  for (const DWORD share : {0, 3, 7}) {  // none; read+write; read+write+delete
    paths.push_back(windowsTemp + L"\\DSP" + std::to_wstring(share) + L".tmp");
    held.push_back(Open(paths.back(), share, CREATE_NEW));
  }
  EXPECT_EQ(RunExe(L""), std::make_pair(std::string("SUCCESS(300)\r\n"), DWORD{300}));
  for (const HANDLE h : held) ::CloseHandle(h);
  for (const String& path : paths) EXPECT_NE(::GetFileAttributesW(path.c_str()), ~0U);
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
  EXPECT_NE(manifest.find(R"(level="requireAdministrator" uiAccess="false")"), std::string::npos);
}

}  // namespace
}  // namespace qor

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // Under Wine the path arrives in Linux form; \\?\unix\ reaches it without
  // a drive mapped to the Linux root.
  for (const char c : std::string(argc > 1 ? argv[1] : "")) qor::g_exe += c == '/' ? '\\' : c;
  if (qor::g_exe.starts_with(L"\\")) qor::g_exe.insert(0, L"\\\\?\\unix");
  return RUN_ALL_TESTS();
}
