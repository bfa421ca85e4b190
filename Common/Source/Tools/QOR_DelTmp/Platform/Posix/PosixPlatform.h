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
// value, and back. Narrowing fails on a character above U+00FF.
String WidenBytes(std::string_view bytes);
bool NarrowToBytes(StringView text, std::string& out);

// The print spooler's spool root from the text of cups-files.conf: the last
// RequestRoot directive (name in any case, '#' starts a comment), or
// /var/spool/cups when the file has none.
std::string ParseCupsRequestRoot(std::string_view configText);

class PosixPlatform : public Platform {
 public:
  // `cupsConfig` is the file that names the spool root; when it cannot be
  // read there is no spooler and that source is skipped.
  explicit PosixPlatform(std::string cupsConfig = "/etc/cups/cups-files.conf");
  ~PosixPlatform() override;
  PosixPlatform(const PosixPlatform&) = delete;
  PosixPlatform& operator=(const PosixPlatform&) = delete;

  // Replaces the hooks (and forgets the process table read so far); the
  // hooks' sweepWorkers replaces the number of workers.
  void SetDeleteHooks(PosixDeleteHooks hooks);

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
  std::string cupsConfig_;
  std::unique_ptr<PosixDeleteContext> deleteContext_;
  unsigned sweepWorkers_;
};

}  // namespace qor
