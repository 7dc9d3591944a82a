// esc-sim as a process on a real pseudo-terminal: probed by hand with the line's bytes.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

// The deadlines only keep a broken run from hanging; nothing is asserted about time.
constexpr auto kPatience = std::chrono::seconds(10);

class CEscSimProcess {
  public:
    explicit CEscSimProcess(std::vector<std::string> args) {
        int out[2];
        if (pipe(out) != 0) {
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        args.insert(args.begin(), ESC_SIM_PATH);
        std::vector<char*> argv;
        for (auto& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, ESC_SIM_PATH, &actions, nullptr, argv.data(), environ) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        stdout_ = out[0];
    }

    ~CEscSimProcess() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (stdout_ >= 0) {
            close(stdout_);
        }
    }

    bool Started() const { return pid_ > 0; }

    // The first line the process prints.
    std::string FirstLine() {
        std::string line;
        const auto end = Clock::now() + kPatience;
        char c = 0;
        while (Clock::now() < end) {
            pollfd p{stdout_, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) {
                continue;
            }
            if (read(stdout_, &c, 1) != 1 || c == '\n') {
                break;
            }
            line += c;
        }
        return line;
    }

    // The exit status once it has ended, or -1 if it does not end in time.
    int WaitExit() {
        const auto end = Clock::now() + kPatience;
        while (Clock::now() < end) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return -1;
    }

    void Signal(int sig) { kill(pid_, sig); }

  private:
    pid_t pid_ = -1;
    int stdout_ = -1;
};

int OpenRaw(const std::string& path) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
    if (fd >= 0) {
        termios t{};
        tcgetattr(fd, &t);
        cfmakeraw(&t);
        tcsetattr(fd, TCSANOW, &t);
    }
    return fd;
}

Bytes ReadCount(int fd, std::size_t count) {
    Bytes got;
    const auto end = Clock::now() + kPatience;
    while (got.size() < count && Clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) {
            continue;
        }
        uint8_t buf[256];
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) {
            break;
        }
        got.insert(got.end(), buf, buf + n);
    }
    return got;
}

const Bytes kWakeUpProbe = {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                            0x0D, 'Q',  'Z',  '3',  '2',  'S',  'Z',  0x47, 0xCC};

Bytes Expected(const std::string& id) {
    Bytes b = kWakeUpProbe;
    b.insert(b.end(), id.begin(), id.end());
    return b;
}

TEST(EscSimPty, AnswersTheProbeAndEndsCleanlyOnSigint) {
    CEscSimProcess sim({});
    ASSERT_TRUE(sim.Started());
    const std::string path = sim.FirstLine();
    ASSERT_EQ(path.rfind("/dev/pts/", 0), 0u) << path;
    const int fd = OpenRaw(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, kWakeUpProbe.data(), kWakeUpProbe.size()), 18);
    EXPECT_EQ(ReadCount(fd, 27), Expected("CPU-F0510"));
    sim.Signal(SIGINT);
    EXPECT_EQ(sim.WaitExit(), 0);
    close(fd);
}

TEST(EscSimPty, EndsWhenThePeerClosesAndHonoursItsOptions) {
    CEscSimProcess sim({"--id-text", "CPU-F0511", "--processing-ms", "2"});
    ASSERT_TRUE(sim.Started());
    const std::string path = sim.FirstLine();
    const int fd = OpenRaw(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, kWakeUpProbe.data(), kWakeUpProbe.size()), 18);
    EXPECT_EQ(ReadCount(fd, 27), Expected("CPU-F0511"));
    close(fd);
    EXPECT_EQ(sim.WaitExit(), 0);
}

TEST(EscSimPty, StopsOnSigtermBeforeAnyPeerCame) {
    CEscSimProcess sim({"--no-esc"});
    ASSERT_TRUE(sim.Started());
    ASSERT_FALSE(sim.FirstLine().empty());
    sim.Signal(SIGTERM);
    EXPECT_EQ(sim.WaitExit(), 0);
}

TEST(EscSimPty, RefusesAMalformedFault) {
    CEscSimProcess sim({"--fault", "keep-alive:sometimes"});
    ASSERT_TRUE(sim.Started());
    EXPECT_EQ(sim.WaitExit(), 2);
}

}  // namespace
