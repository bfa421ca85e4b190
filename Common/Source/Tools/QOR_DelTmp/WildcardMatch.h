// ASCII case folding, and the name matching of a Windows directory listing,
// as portable code.
// Used by every platform body so that a listing yields the same names
// everywhere; header-only so it works on bytes (POSIX names) and on wide
// characters alike.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string_view>

namespace qor {

template <typename CharT>
constexpr CharT FoldAsciiCase(CharT c) {
  return (c >= CharT('a') && c <= CharT('z')) ? CharT(c - CharT('a') + CharT('A')) : c;
}

// True when `a` and `b` are the same but for the case of ASCII letters. Only
// ASCII folds: a looser fold would let odd names and words through.
template <typename CharT>
constexpr bool EqualsIgnoringAsciiCase(std::basic_string_view<CharT> a,
                                       std::basic_string_view<CharT> b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [](CharT x, CharT y) { return FoldAsciiCase(x) == FoldAsciiCase(y); });
}

// True when `name` matches `pattern`, where the pattern holds literal
// characters and '?':
// - a literal matches the same character without regard to ASCII case (only
//   ASCII folds: a looser fold would let odd names through the prefix);
// - '?' matches any one character other than '.';
// - on meeting a '.' or the end of the name, the rest of a run of '?' matches
//   nothing, so "????.tmp" also matches "12.tmp" and ".tmp".
// This is how Windows' FindFirstFile treats '?' (its DOS_QM).
template <typename CharT>
constexpr bool WildcardMatch(std::basic_string_view<CharT> pattern,
                             std::basic_string_view<CharT> name) {
  std::size_t p = 0;
  std::size_t n = 0;
  while (p < pattern.size()) {
    const CharT want = pattern[p];
    if (want == CharT('?')) {
      if (n == name.size() || name[n] == CharT('.')) {
        while (p < pattern.size() && pattern[p] == CharT('?')) ++p;
        continue;
      }
      ++p;
      ++n;
      continue;
    }
    if (n == name.size() || FoldAsciiCase(name[n]) != FoldAsciiCase(want)) return false;
    ++p;
    ++n;
  }
  return n == name.size();
}

}  // namespace qor
