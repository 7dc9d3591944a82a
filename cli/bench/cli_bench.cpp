// Figures for quorvel-cli, printed, never asserted:
//   - start-up: the wall time of "quorvel-cli ports" (parse, port table, udev
//     enumeration, exit), the median of N runs;
//   - peak memory: the maximum resident set size of a whole firmware update against the
//     in-process simulated ESC, as the kernel counts it for the child (wait4).
//
//   cli_bench [runs] [baud]      (defaults: 21 runs, 19200 baud)
// Build without sanitizers (the release preset) for figures that mean something.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern char** environ;

namespace {

struct SRun {
    double seconds = 0;
    long maxRssKiB = 0;
    int exitCode = -1;
};

SRun Run(std::vector<std::string> args) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    SRun r;
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
        posix_spawn_file_actions_destroy(&actions);
        return r;
    }
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    r.maxRssKiB = usage.ru_maxrss;
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 21;
    const std::string baud = argc > 2 ? argv[2] : "19200";
    const std::string cli = QUORVEL_CLI_PATH;

    std::vector<double> times;
    long portsRss = 0;
    for (int i = 0; i < runs; ++i) {
        const SRun r = Run({cli, "ports"});
        times.push_back(r.seconds * 1e3);
        portsRss = std::max(portsRss, r.maxRssKiB);
    }
    std::sort(times.begin(), times.end());
    std::printf(
        "quorvel-cli ports: start-up median %.2f ms over %d runs (min %.2f, max %.2f), "
        "peak RSS %ld KiB\n",
        times[times.size() / 2], runs, times.front(), times.back(), portsRss);

    const SRun flash = Run({cli, "flash", "--sim", "--baud", baud, "--quiet"});
    std::printf("quorvel-cli flash --sim at %s baud: exit %d after %.1f s, peak RSS %ld KiB\n",
                baud.c_str(), flash.exitCode, flash.seconds, flash.maxRssKiB);
    return 0;
}
