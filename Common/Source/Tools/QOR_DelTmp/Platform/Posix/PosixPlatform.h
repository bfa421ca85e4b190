// The POSIX (Linux) body of the platform layer.
// Only generic POSIX and Linux calls belong here; no rule of the tool does.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "Platform/Platform.h"
#include "Platform/Posix/PosixListing.h"

namespace qor {

// Names and arguments are bytes: each byte becomes the character of the same
// value (and back, in the body, for a character up to U+00FF).
String WidenBytes(std::string_view bytes);

class PosixPlatform : public Platform {
 public:
  PosixPlatform();
  ~PosixPlatform() override = default;
  PosixPlatform(const PosixPlatform&) = delete;
  PosixPlatform& operator=(const PosixPlatform&) = delete;

  [[nodiscard]] std::size_t PathCapacity() const override;
  [[nodiscard]] Char Separator() const override { return L'/'; }
  bool GetFolder(FolderSource source, String& out) override;
  bool IsDirectory(StringView path) override;
  std::unique_ptr<Listing> OpenListing(StringView folder, StringView namePattern) override;
  [[nodiscard]] unsigned SweepWorkers() const override { return sweepWorkers_; }
  FileTime NowUtc() override;
  bool LocalToUtc(const CivilTime& local, FileTime& out) override;
  void InstallInterruptHandler(void (*handler)(int)) override;
  void WriteOutput(std::string_view bytes) override;
  [[nodiscard]] int ExitStatus(int count) const override;

 private:
  PosixDeleteContext deleteContext_;
  // Read once: the processors a run may use do not change while it runs.
  const unsigned sweepWorkers_;
};

}  // namespace qor
