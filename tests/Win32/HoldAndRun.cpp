// For the end-to-end run under Wine: holds files open as another Windows program would, starts
// QOR_DelTmp.exe as a Windows parent does, and prints its exit status whole (a Linux parent of
// Wine sees only the low 8 bits).
//   HoldAndRun OUT [SHARE:PATH | NAME=VALUE...] -- EXE [ARGUMENTS...]
// SHARE is the FILE_SHARE_* mask (0 to 7) PATH is held open with; NAME=VALUE is set in EXE's
// environment; EXE's output goes to OUT. When EXE cannot be started, HoldAndRun says why on
// standard error and exits with 125: EXE has not run.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

int wmain(int argc, wchar_t** argv) {
  int i = 2;
  for (; i < argc && std::wstring(argv[i]) != L"--"; ++i) {
    if (argv[i][1] == L':') {
      // Held until HoldAndRun ends, after the tool.
      const DWORD share = argv[i][0] - L'0';
      ::CreateFileW(argv[i] + 2, GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr);
    } else if (wchar_t* const equals = std::wcschr(argv[i], L'=')) {
      *equals = L'\0';
      ::SetEnvironmentVariableW(argv[i], equals + 1);
    }
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
    std::fprintf(stderr, "HoldAndRun: CreateProcessW %ls failed, GetLastError %lu\n",
                 commandLine.c_str(), ::GetLastError());
    return 125;
  }
  ::WaitForSingleObject(child.hProcess, INFINITE);
  DWORD status = 0;
  ::GetExitCodeProcess(child.hProcess, &status);
  std::printf("%lu\n", status);
  return 0;
}
