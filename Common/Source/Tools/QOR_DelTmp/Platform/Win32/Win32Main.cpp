// Process entry on Windows: the CRT splits the command line into wide
// arguments (linked with -municode, so the entry point is wmain).
#include <span>

#include "Platform/Win32/Win32Platform.h"
#include "RunTool.h"

int wmain(int argc, wchar_t** argv) {
  qor::Win32Platform platform;
  const std::span<const qor::Char* const> args(argv, static_cast<std::size_t>(argc));
  return qor::RunTool(platform, args);
}
