// Feeds arbitrary patterns and names to WildcardMatch in both its byte and
// its wide form. The first byte gives the pattern's length; the rest of the
// input is pattern, then name. Checks that both forms agree, that a pattern
// without '?' is a plain comparison ignoring ASCII case, and that the
// patterns the sweep uses only ever let through names of their shape.
#include <string_view>

#include "FuzzInput.h"
#include "WildcardMatch.h"

namespace {

using qor::FoldAsciiCase;
using qor::String;
using qor::StringView;

bool EqualsFolded(StringView a, StringView b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (FoldAsciiCase(a[i]) != FoldAsciiCase(b[i])) return false;
  }
  return true;
}

// What "<prefix>????.tmp" may match: the prefix, up to four characters other
// than '.', then ".tmp", all without regard to case.
bool HasSweepShape(StringView prefix, StringView name) {
  if (name.size() < prefix.size() + 4 || name.size() > prefix.size() + 8) return false;
  const StringView middle = name.substr(prefix.size(), name.size() - prefix.size() - 4);
  return EqualsFolded(name.substr(0, prefix.size()), prefix) &&
         middle.find(L'.') == StringView::npos &&
         EqualsFolded(name.substr(name.size() - 4), L".tmp");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t patternSize = data[0] % size;
  const std::string_view patternBytes(reinterpret_cast<const char*>(data + 1), patternSize);
  const std::string_view nameBytes(reinterpret_cast<const char*>(data + 1 + patternSize),
                                   size - 1 - patternSize);
  const String pattern(qor::fuzz::Widen(data + 1, patternSize));
  const String name = qor::fuzz::Widen(data + 1 + patternSize, size - 1 - patternSize);

  const bool wide = qor::WildcardMatch(StringView(pattern), StringView(name));
  if (patternBytes.find('\xFF') == std::string_view::npos &&
      nameBytes.find('\xFF') == std::string_view::npos) {
    qor::fuzz::Require(qor::WildcardMatch(patternBytes, nameBytes) == wide);
  }
  if (pattern.find(L'?') == String::npos) qor::fuzz::Require(wide == EqualsFolded(pattern, name));
  if (name.find(L'?') == String::npos) {
    qor::fuzz::Require(qor::WildcardMatch(StringView(name), StringView(name)));
  }
  for (const StringView prefix : {StringView(L""), StringView(L"DSP")}) {
    String sweepPattern(prefix);
    sweepPattern += L"????.tmp";
    if (qor::WildcardMatch(StringView(sweepPattern), StringView(name))) {
      qor::fuzz::Require(HasSweepShape(prefix, name));
    }
  }
  return 0;
}
