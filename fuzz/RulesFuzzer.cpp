// Feeds arbitrary input to the pure rules and checks what each promises. The first byte is the
// length of a wildcard pattern, then come the pattern and a text: a name, and a command line whose
// arguments a zero byte separates. Each byte is the character of that value, but 0xFF and the two
// bytes after it make one character, so characters beyond U+00FF come too.
#include <cstdlib>
#include <span>
#include <string_view>
#include <vector>

#include "Fake/FakePlatform.h"
#include "Options.h"
#include "RunControl.h"
#include "Sweep.h"
#include "WildcardMatch.h"

namespace qor {
namespace {

// A broken promise is a crash, so libFuzzer keeps the input that shows it.
void Require(bool holds) {
  if (!holds) std::abort();
}

String Widen(std::string_view bytes) {
  String out;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const auto byte = static_cast<unsigned char>(bytes[i]);
    if (byte != 0xFF || i + 2 >= bytes.size()) {
      out.push_back(byte);
      continue;
    }
    out.push_back(static_cast<Char>(static_cast<unsigned char>(bytes[i + 1]) << 8 |
                                    static_cast<unsigned char>(bytes[i + 2])));
    i += 2;
  }
  return out;
}

bool EqualsFolded(StringView a, StringView b) {
  return EqualsIgnoringAsciiCase(a, b);
}

// The same match on bytes, where a name is bytes, as on wide characters; the sweep's patterns let
// through only names of their shape: the prefix, up to four characters other than '.', then ".tmp".
void CheckWildcardMatch(std::string_view patternBytes, std::string_view nameBytes) {
  const String pattern = Widen(patternBytes);
  const String name = Widen(nameBytes);
  const bool matches = WildcardMatch(StringView(pattern), StringView(name));
  if ((patternBytes.find('\xFF') == std::string_view::npos) &&
      (nameBytes.find('\xFF') == std::string_view::npos)) {
    Require(WildcardMatch(patternBytes, nameBytes) == matches);
  }
  for (const StringView prefix : {StringView(L""), StringView(L"DSP")}) {
    if (!WildcardMatch(StringView(String(prefix) + L"????.tmp"), StringView(name))) continue;
    const StringView middle =
        StringView(name).substr(prefix.size(), name.size() - prefix.size() - 4);
    Require(EqualsFolded(StringView(name).substr(0, prefix.size()), prefix));
    Require(middle.size() <= 4 && middle.find(L'.') == StringView::npos);
    Require(EqualsFolded(StringView(name).substr(name.size() - 4), L".tmp"));
  }
}

// A name the rule accepts is uppercase hex digits, then ".tmp" in any case.
void CheckHexNameRule(const String& name) {
  if (!HexNameRule(name)) return;
  Require(name.size() >= 4);
  Require(name.find_first_not_of(L"0123456789ABCDEF") == name.size() - 4);
  Require(EqualsFolded(StringView(name).substr(name.size() - 4), L".tmp"));
}

// An accepted command line prints nothing and holds only switches of s, a and separators, none
// longer than the working copy.
void CheckParseOptions(const String& text) {
  std::vector<String> arguments{L"QOR_DelTmp"};
  for (std::size_t start = 0; start <= text.size();) {
    const std::size_t end = std::min(text.find(L'\0', start), text.size());
    arguments.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  std::vector<const Char*> argv;
  for (const String& argument : arguments) argv.push_back(argument.c_str());
  SilentFlag = false;
  testing::FakePlatform platform;
  bool deleteAll = false;
  if (!ParseOptions(platform, argv, deleteAll)) return;
  Require(platform.output.empty());
  for (std::size_t i = 1; i < arguments.size(); ++i) {
    Require(arguments[i].find_first_not_of(L"/-sSaA") == String::npos);
    Require(arguments[i].starts_with(L'/') || arguments[i].starts_with(L'-'));
    Require(arguments[i].size() <= MaxArgumentLength);
  }
}

}  // namespace
}  // namespace qor

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::string_view pattern = input.substr(0, std::min<std::size_t>(data[0], input.size()));
  const std::string_view text = input.substr(pattern.size());
  qor::CheckWildcardMatch(pattern, text);
  qor::CheckHexNameRule(qor::Widen(text));
  qor::CheckParseOptions(qor::Widen(text));
  return 0;
}
