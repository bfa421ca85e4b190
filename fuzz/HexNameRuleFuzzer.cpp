// Feeds arbitrary names to HexNameRule. A name it accepts is uppercase hex
// digits and ".tmp" in any case; one of up to eight characters is also one
// the "????.tmp" listing would have shown, so listing and rule agree.
#include <algorithm>

#include "FuzzInput.h"
#include "Sweep.h"
#include "WildcardMatch.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace qor;
  const String name = fuzz::Widen(data, size);
  if (!HexNameRule(name)) return 0;

  fuzz::Require(name.size() >= 4);
  const StringView digits = StringView(name).substr(0, name.size() - 4);
  fuzz::Require(digits.find_first_not_of(L"0123456789ABCDEF") == StringView::npos);
  String extension = name.substr(name.size() - 4);
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](Char c) { return FoldAsciiCase(c); });
  fuzz::Require(extension == L".TMP");
  if (name.size() <= 8) fuzz::Require(WildcardMatch(StringView(L"????.tmp"), StringView(name)));
  return 0;
}
