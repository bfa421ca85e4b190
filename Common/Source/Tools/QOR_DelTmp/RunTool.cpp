// The entry flow: options, then both passes over every folder, then the
// result line and the exit status.
#include "RunTool.h"

#include "Options.h"
#include "RunControl.h"
#include "Sweep.h"

namespace qor {

int RunTool(Platform& platform, std::span<const Char* const> args) {
  bool deleteAll = false;
  platform.InstallInterruptHandler(OnInterrupt);
  if (!ParseOptions(platform, args, deleteAll)) return 0;
  const int total = SweepTempDirs(platform, deleteAll);
  PrintMessage(platform, L"SUCCESS(%d)\n", {total});
  return platform.ExitStatus(total);
}

}  // namespace qor
