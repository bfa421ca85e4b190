// The deletion floor: unlinks, relative to the open folder, exactly the names
// listed in a file (one per line), with no listing and no check. Its time is
// what the kernel needs for the deletions alone. Prints the number removed.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fputs("usage: qor_bench_unlink FOLDER NAMES-FILE\n", stderr);
    return 2;
  }
  const int listFd = ::open(argv[2], O_RDONLY | O_CLOEXEC);
  struct stat st {};
  if (listFd < 0 || ::fstat(listFd, &st) != 0) {
    std::perror(argv[2]);
    return 1;
  }
  const auto size = static_cast<std::size_t>(st.st_size);
  auto* names = static_cast<char*>(std::malloc(size + 1));
  std::size_t have = 0;
  while (names != nullptr && have < size) {
    const ssize_t got = ::read(listFd, names + have, size - have);
    if (got <= 0) break;
    have += static_cast<std::size_t>(got);
  }
  ::close(listFd);
  if (names == nullptr || have != size) {
    std::fputs("cannot read the names\n", stderr);
    return 1;
  }
  names[size] = '\n';

  const int folderFd = ::open(argv[1], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folderFd < 0) {
    std::perror(argv[1]);
    return 1;
  }
  unsigned long removed = 0;
  for (char* name = names; name < names + size;) {
    char* end = static_cast<char*>(
        std::memchr(name, '\n', size + 1 - static_cast<std::size_t>(name - names)));
    *end = '\0';
    if (end != name && ::unlinkat(folderFd, name, 0) == 0) ++removed;
    name = end + 1;
  }
  ::close(folderFd);
  std::free(names);
  std::printf("%lu\n", removed);
  return 0;
}
