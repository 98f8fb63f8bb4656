// Runs one program and reports what it cost, for bench/compare:
//
//   trestan-bench-measure REPORT PROGRAM [ARGUMENT...]
//
// writes "seconds= cpuSeconds= peakKiB= faults= exit=" to the file REPORT; the program's own
// standard streams are left as they are. A small launcher of its own, because Linux carries the
// peak resident set of the process that forks into the child's across exec: a child of the Python
// script would report the script's memory as its own.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

double secondsOf(const timeval& value) {
    return static_cast<double>(value.tv_sec) + static_cast<double>(value.tv_usec) * 1e-6;
}

double now() {
    timespec time{};
    clock_gettime(CLOCK_MONOTONIC, &time);
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_nsec) * 1e-9;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: trestan-bench-measure REPORT PROGRAM [ARGUMENT...]\n");
        return 2;
    }
    std::FILE* report = std::fopen(argv[1], "w");
    if (report == nullptr) {
        std::fprintf(stderr, "trestan-bench-measure: %s: %s\n", argv[1], std::strerror(errno));
        return 2;
    }
    const double start = now();
    const pid_t child = fork();
    if (child < 0) {
        std::fprintf(stderr, "trestan-bench-measure: fork: %s\n", std::strerror(errno));
        return 2;
    }
    if (child == 0) {
        execvp(argv[2], argv + 2);
        std::fprintf(stderr, "trestan-bench-measure: %s: %s\n", argv[2], std::strerror(errno));
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    while (wait4(child, &status, 0, &usage) < 0) {
        if (errno != EINTR) {
            std::fprintf(stderr, "trestan-bench-measure: wait4: %s\n", std::strerror(errno));
            return 2;
        }
    }
    const double seconds = now() - start;
    const int exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::fprintf(report, "seconds=%.6f cpuSeconds=%.6f peakKiB=%ld faults=%ld exit=%d\n", seconds,
                 secondsOf(usage.ru_utime) + secondsOf(usage.ru_stime), usage.ru_maxrss,
                 usage.ru_minflt + usage.ru_majflt, exitCode);
    std::fclose(report);
    return 0;
}
