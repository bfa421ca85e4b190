// For the end-to-end run under Wine: holds files open as another Windows program would, starts
// QOR_DelTmp.exe as a Windows parent does, and prints its exit status whole (a Linux parent of
// Wine sees only the low 8 bits).
//   HoldAndRun OUT [SHARE:PATH...] -- EXE [ARGUMENTS...]
// SHARE is the FILE_SHARE_* mask (0 to 7) PATH is held open with; EXE's output goes to OUT.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

int wmain(int argc, wchar_t** argv) {
  std::vector<HANDLE> held;
  int i = 2;
  for (; i < argc && std::wstring(argv[i]) != L"--"; ++i) {
    const DWORD share = argv[i][0] - L'0';
    held.push_back(
        ::CreateFileW(argv[i] + 2, GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr));
  }
  std::wstring commandLine;
  for (++i; i < argc; ++i) {
    commandLine += L"\"" + std::wstring(argv[i]) + L"\" ";
  }
  SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput =
      ::CreateFileW(argv[1], GENERIC_WRITE, 0, &inherited, CREATE_ALWAYS, 0, nullptr);
  PROCESS_INFORMATION child{};
  if (!::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &startup, &child)) {
    return 1;
  }
  ::WaitForSingleObject(child.hProcess, INFINITE);
  DWORD status = 0;
  ::GetExitCodeProcess(child.hProcess, &status);
  std::printf("%lu\n", status);
  return 0;
}
