// The entry flow and the pieces every part of the tool shares.
#include "RunControl.h"

#include <string>
#include <type_traits>

#include "Options.h"
#include "Sweep.h"

namespace qor {

std::atomic<bool> RunFlag{true};
bool SilentFlag = false;

void OnInterrupt(int /*signalNumber*/) {
  RunFlag.store(false);
}

namespace {

// Console text is single-byte: characters beyond U+00FF have no byte.
void AppendNarrowed(std::string& out, StringView text) {
  for (const Char c : text) {
    const auto code = static_cast<std::make_unsigned_t<Char>>(c);
    out.push_back(code <= 0xFFU ? static_cast<char>(code) : '?');
  }
}

}  // namespace

void PrintMessage(Platform& platform, StringView format, std::initializer_list<MessageArg> args) {
  if (SilentFlag) return;
  std::string out;
  out.reserve(format.size() + 16);
  const auto* next = args.begin();
  for (std::size_t i = 0; i < format.size(); ++i) {
    const Char c = format[i];
    if (c != L'%' || i + 1 == format.size()) {
      AppendNarrowed(out, StringView(&format[i], 1));
      continue;
    }
    const Char directive = format[i + 1];
    if (directive == L'%') {
      out.push_back('%');
      ++i;
    } else if (directive == L's' || directive == L'd') {
      ++i;
      if (next == args.end()) continue;
      if (next->IsText()) {
        AppendNarrowed(out, next->Text());
      } else {
        out += std::to_string(next->Number());
      }
      ++next;
    } else {
      out.push_back('%');
    }
  }
  platform.WriteOutput(out);
}

int RunTool(Platform& platform, std::span<const Char* const> args) {
  bool deleteAll = false;
  int total = 0;
  platform.InstallInterruptHandler(OnInterrupt);
  if (!ParseOptions(platform, args, deleteAll)) return 0;
  SweepTempDirs(platform, total, deleteAll);
  PrintMessage(platform, L"SUCCESS(%d)\n", {total});
  return platform.ExitStatus(total);
}

}  // namespace qor
