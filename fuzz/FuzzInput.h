// Turns a fuzzer's bytes into the tool's wide strings, and a platform that
// does nothing but collect output, for the targets in this folder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
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

class NullPlatform final : public Platform {
 public:
  std::string output;

  [[nodiscard]] std::size_t PathCapacity() const override { return 260; }
  [[nodiscard]] Char Separator() const override { return L'\\'; }
  bool GetFolder(FolderSource /*source*/, String& /*out*/) override { return false; }
  bool IsDirectory(StringView /*path*/) override { return false; }
  std::unique_ptr<Listing> OpenListing(StringView /*folder*/, StringView /*pattern*/) override {
    return nullptr;
  }
  [[nodiscard]] unsigned SweepWorkers() const override { return 1; }
  FileTime NowUtc() override { return 0; }
  bool LocalToUtc(const CivilTime& /*local*/, FileTime& /*out*/) override { return false; }
  void InstallInterruptHandler(void (* /*handler*/)(int)) override {}
  void WriteOutput(std::string_view bytes) override { output.append(bytes); }
  [[nodiscard]] int ExitStatus(int count) const override { return count; }
};

}  // namespace qor::fuzz
