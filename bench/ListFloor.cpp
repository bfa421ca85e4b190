// The listing floor: reads every entry of one folder with getdents64 into a
// large buffer and does nothing else, so its time is what the kernel needs to
// hand over the folder's names. Prints the number of entries.
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>

namespace {

constexpr std::size_t BufferSize = 1024 * 1024;
alignas(8) char Buffer[BufferSize];

// linux_dirent64: inode (8 bytes), offset (8), record length (2), ...
constexpr std::size_t ReclenOffset = 16;

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: qor_bench_list FOLDER\n", stderr);
    return 2;
  }
  const int fd = ::open(argv[1], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    std::perror(argv[1]);
    return 1;
  }
  unsigned long entries = 0;
  for (;;) {
    const long got = ::syscall(SYS_getdents64, fd, Buffer, BufferSize);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      std::perror("getdents64");
      return 1;
    }
    if (got == 0) break;
    for (long offset = 0; offset < got;) {
      unsigned short length = 0;
      std::memcpy(&length, Buffer + offset + ReclenOffset, sizeof length);
      offset += length;
      ++entries;
    }
  }
  ::close(fd);
  std::printf("%lu\n", entries);
  return 0;
}
