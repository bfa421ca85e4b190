// Option parsing. An argument is a switch only if it starts with '/' or '-';
// inside it both characters separate one-letter tokens, so "/s/a" and "-s-a"
// carry two options while "/sa" is one unknown token.
#include "Options.h"

#include "RunControl.h"
#include "WildcardMatch.h"

namespace qor {

namespace {

constexpr StringView UsageLines[] = {
    L"Usage: QOR_DelTmp [/s][/a]\n",
    L"  Deletes temporary files created by\n",
    L"    GetTempFileName(TempPath, prefix, 0, tmpfile).\n",
    // "Retruns" is the tool's own text, typo and all, and scripts may match
    // it: do not correct it.
    L"  Retruns deleted file count.\n",
    L"  Options:\n",
    L"    /s : to suppress all messages. (Silent)\n",
    L"    /a : to delete All TmpFile\n",
    L"    /? : to show usage.\n",
    L"Type Ctrl+C to abort execution.\n",
};

bool IsDelimiter(Char c) {
  return c == L'/' || c == L'-';
}

bool Refuse(Platform& platform, StringView argument) {
  // The argument is only ever an inserted value, never the format.
  PrintMessage(platform, L"Invalid parameter ignored: %s\n", {argument});
  return false;
}

// One token of `argument`, in effect at once.
// @returns false when it ends the run: the usage text, or a refusal.
bool ApplyToken(Platform& platform, StringView token, StringView argument, bool& deleteAll) {
  if (token == L"?") {
    for (const StringView line : UsageLines) PrintMessage(platform, line);
    return false;
  }
  if (EqualsIgnoringAsciiCase(token, StringView(L"s"))) {
    SilentFlag = true;
  } else if (EqualsIgnoringAsciiCase(token, StringView(L"a"))) {
    deleteAll = true;
  } else {
    return Refuse(platform, argument);
  }
  return true;
}

}  // namespace

bool ParseOptions(Platform& platform, std::span<const Char* const> args, bool& deleteAll) {
  for (std::size_t i = 1; i < args.size(); ++i) {
    const StringView argument = args[i] != nullptr ? StringView(args[i]) : StringView();
    if (argument.empty() || !IsDelimiter(argument.front())) return Refuse(platform, argument);
    // Cutting a long argument to fit could turn it into a valid one.
    if (argument.size() > MaxArgumentLength) return Refuse(platform, argument);

    std::size_t pos = 0;
    while (pos < argument.size()) {
      if (IsDelimiter(argument[pos])) {
        ++pos;
        continue;
      }
      std::size_t end = pos;
      while (end < argument.size() && !IsDelimiter(argument[end])) ++end;
      const StringView token = argument.substr(pos, end - pos);
      pos = end;
      if (!ApplyToken(platform, token, argument, deleteAll)) return false;
    }
  }
  return true;
}

}  // namespace qor
