// The Windows body of the platform layer: a thin wrapper over the Win32 calls
// the seam names. Windows types (HANDLE, WIN32_FIND_DATAW, ...) stay in the
// .cpp; nothing here needs <windows.h>.
#pragma once

#include "Platform/Platform.h"

namespace qor {

class Win32Platform : public Platform {
 public:
  // MAX_PATH, terminator included.
  [[nodiscard]] std::size_t PathCapacity() const override { return 260; }
  [[nodiscard]] Char Separator() const override { return L'\\'; }

  // SystemTemp: GetWindowsDirectoryW + "\temp". CommonAppData:
  // SHGetSpecialFolderPathW(CSIDL_COMMON_APPDATA), never created. SpoolDir:
  // the print server's "DefaultSpoolDirectory". UserTemp: GetTempPathW, with
  // its trailing '\'. A length that does not fit 260 characters is a failure.
  bool GetFolder(FolderSource source, String& out) override;

  // True for an existing folder that is not itself a reparse point: a
  // junction or symbolic link could send the sweep anywhere.
  bool IsDirectory(StringView path) override;

  // Holds `folder` open (no delete sharing) for the life of the listing, so
  // it cannot be renamed or replaced while its entries are opened by path.
  // @returns nullptr when the folder cannot be held, is a reparse point, or
  // has no matching entry.
  std::unique_ptr<Listing> OpenListing(StringView folder, StringView namePattern) override;

  // One: the listing and deletion calls have not been measured side by
  // side on Windows, so each pass stays a single loop there.
  [[nodiscard]] unsigned SweepWorkers() const override { return 1; }
  FileTime NowUtc() override;
  bool LocalToUtc(const CivilTime& local, FileTime& out) override;
  void InstallInterruptHandler(void (*handler)(int)) override;
  void WriteOutput(std::string_view bytes) override;
  [[nodiscard]] int ExitStatus(int count) const override { return count; }
};

}  // namespace qor
