// Feeds arbitrary command lines to ParseOptions. Arguments are separated by
// zero bytes. Besides memory errors it checks what the parser promises: an
// accepted command line holds only switches made of s, a and separators,
// and prints nothing; a refused one says so unless it was silenced first.
#include <span>
#include <vector>

#include "Fake/FakePlatform.h"
#include "FuzzInput.h"
#include "Options.h"
#include "RunControl.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace qor;
  std::vector<String> arguments{L"QOR_DelTmp"};
  std::size_t start = 0;
  for (std::size_t i = 0; i <= size; ++i) {
    if (i == size || data[i] == 0) {
      arguments.push_back(fuzz::Widen(data + start, i - start));
      start = i + 1;
    }
  }
  std::vector<const Char*> argv;
  for (const String& argument : arguments) argv.push_back(argument.c_str());

  SilentFlag = false;
  testing::FakePlatform platform;
  bool deleteAll = false;
  const bool accepted = ParseOptions(platform, std::span<const Char* const>(argv), deleteAll);

  if (accepted) {
    fuzz::Require(platform.output.empty());
    for (std::size_t i = 1; i < arguments.size(); ++i) {
      const String& argument = arguments[i];
      fuzz::Require(!argument.empty() && (argument[0] == L'/' || argument[0] == L'-'));
      fuzz::Require(argument.size() <= MaxArgumentLength);
      fuzz::Require(argument.find_first_not_of(L"/-sSaA") == String::npos);
    }
  } else if (!SilentFlag) {
    fuzz::Require(!platform.output.empty() && platform.output.back() == '\n');
  }
  // Silence can only come before anything that would print.
  if (SilentFlag) fuzz::Require(platform.output.empty());
  return 0;
}
