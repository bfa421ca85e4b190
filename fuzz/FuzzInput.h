// Turns a fuzzer's bytes into the tool's wide strings, for the targets in
// this folder. (Output is collected by the unit tests' in-memory platform.)
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "Platform/Platform.h"

namespace qor::fuzz {

// Each byte is the character of the same value, as on POSIX, except that
// 0xFF followed by two bytes makes one character from them (big-endian), so
// characters beyond U+00FF are reached too.
inline String Widen(const std::uint8_t* data, std::size_t size) {
  String out;
  out.reserve(size);
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == 0xFF && i + 2 < size) {
      out.push_back(static_cast<Char>((data[i + 1] << 8) | data[i + 2]));
      i += 2;
    } else {
      out.push_back(static_cast<Char>(data[i]));
    }
  }
  return out;
}

// A broken property is a crash, so libFuzzer keeps the input that shows it.
inline void Require(bool holds) {
  if (!holds) std::abort();
}

}  // namespace qor::fuzz
