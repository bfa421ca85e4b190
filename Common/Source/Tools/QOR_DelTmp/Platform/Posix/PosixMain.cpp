// Process entry on POSIX: arguments arrive as bytes and are widened one
// byte to one character, so a refused argument is echoed unchanged.
#include <vector>

#include "Platform/Posix/PosixPlatform.h"
#include "RunTool.h"

int main(int argc, char** argv) {
  std::vector<qor::String> arguments;
  arguments.reserve(static_cast<std::size_t>(argc));
  for (int i = 0; i < argc; ++i) arguments.push_back(qor::WidenBytes(argv[i]));
  std::vector<const qor::Char*> pointers;
  pointers.reserve(arguments.size());
  for (const qor::String& argument : arguments) pointers.push_back(argument.c_str());

  qor::PosixPlatform platform;
  return qor::RunTool(platform, pointers);
}
