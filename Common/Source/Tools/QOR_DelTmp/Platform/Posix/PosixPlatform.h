// The POSIX (Linux) body of the platform layer.
// Only generic POSIX and Linux calls belong here; no rule of the tool does.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "Platform/Platform.h"

namespace qor {

// Names and arguments are bytes: each byte becomes the character of the same
// value, and back. Narrowing fails on a character above U+00FF.
String WidenBytes(std::string_view bytes);
bool NarrowToBytes(StringView text, std::string& out);

// The print spooler's spool root from the text of cups-files.conf: the last
// RequestRoot directive (name in any case, '#' starts a comment), or
// /var/spool/cups when the file has none.
std::string ParseCupsRequestRoot(std::string_view configText);

// Points where a test can act between a listing and a deletion, and faults
// it can force. The tool itself never sets them.
struct PosixDeleteHooks {
  // Called with the entry's name just before it is opened to be deleted.
  std::function<void(std::string_view name)> beforeOpen;
  // Called with the entry's name just before it is unlinked.
  std::function<void(std::string_view name)> beforeUnlink;
  // When nonzero, no lease is asked for and this errno stands for the refusal.
  int leaseError = 0;
  // Where the process table is read when a lease cannot decide.
  std::string procRoot = "/proc";
  // How many cursors over one listing delete at once while these hooks are
  // set (SweepWorkers). With one, the hooks are never called concurrently.
  unsigned sweepWorkers = 1;
};

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

  // What every listing of one run shares when it deletes: the hooks and the
  // process table, read at most once per run.
  struct DeleteContext;

 private:
  std::string cupsConfig_;
  std::unique_ptr<DeleteContext> deleteContext_;
  unsigned sweepWorkers_;
};

}  // namespace qor
