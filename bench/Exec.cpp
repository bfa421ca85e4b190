// Times one whole process: fork, exec, wait4. Appends one line to a results
// file: wall seconds, peak resident memory in KiB (from wait4's rusage), the
// child's exit status, and its CPU seconds (user + system), which leave out
// the time spent waiting for the disk. Written without iostreams and linked statically so
// that its own pages, which the kernel counts into the child's peak RSS, stay
// few.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fputs("usage: qor_bench_exec RESULTS-FILE PROGRAM [ARGUMENT...]\n", stderr);
    return 2;
  }
  timespec start{};
  ::clock_gettime(CLOCK_MONOTONIC, &start);
  const pid_t child = ::fork();
  if (child < 0) {
    std::perror("fork");
    return 2;
  }
  if (child == 0) {
    ::execv(argv[2], argv + 2);
    std::perror(argv[2]);
    ::_exit(127);
  }
  int status = 0;
  rusage usage{};
  pid_t waited = 0;
  do {
    waited = ::wait4(child, &status, 0, &usage);
  } while (waited < 0 && errno == EINTR);
  timespec end{};
  ::clock_gettime(CLOCK_MONOTONIC, &end);
  if (waited < 0) {
    std::perror("wait4");
    return 2;
  }
  const double seconds = static_cast<double>(end.tv_sec - start.tv_sec) +
                         static_cast<double>(end.tv_nsec - start.tv_nsec) / 1e9;
  // A child killed by a signal is reported as 128 + the signal, as shells do.
  const int exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);

  std::FILE* results = std::fopen(argv[1], "a");
  if (results == nullptr) {
    std::perror(argv[1]);
    return 2;
  }
  const double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                     static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  std::fprintf(results, "%.6f %ld %d %.6f\n", seconds, usage.ru_maxrss, exitStatus, cpu);
  std::fclose(results);
  return WIFEXITED(status) ? 0 : 1;
}
