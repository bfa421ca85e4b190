// The pieces every part of the tool shares: the flags, the interrupt handler
// and the message writer.
#include "RunControl.h"

#include <string>
#include <type_traits>

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
    ++i;  // "%s" or "%d": the value decides how it is written
    if (next == args.end()) continue;
    if (next->IsText()) {
      AppendNarrowed(out, next->Text());
    } else {
      out += std::to_string(next->Number());
    }
    ++next;
  }
  platform.WriteOutput(out);
}

}  // namespace qor
