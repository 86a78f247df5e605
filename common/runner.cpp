// Shell command runner: runs "/bin/sh -c <line> 2>&1" in a process group of its own under a
// deadline, captures the whole output into the caller's buffer (moving it to a larger heap
// buffer when it does not fit) and reports the exit status. The three entry points share
// the spawning, reading and growing code.
#include "common/runner.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "common/comm_util.h"
#include "common/log.h"

extern char **environ;

namespace morvel::common {

namespace {

constexpr const char *kSrc = "common/comm_util";
constexpr int kChunk = 20480;           // read chunk and growth step of morvel's runners
constexpr int kMonitorChunk = 1024;     // the same for morvel_monitor's runner
constexpr int kLongLineMax = 20480;     // command line of exe_cmd_nonblocking
constexpr int kTimedOut = -9;

using Clock = std::chrono::steady_clock;

// ---------------------------------------------------------------- output buffer

// The output as it is collected: the caller's buffer first, then heap buffers of this run.
// Growth: when a piece does not fit, the buffer grows by ceil(len / step) steps, to
// steps * step + capacity + 1 bytes; the heap memory under it is zero-filled and grows at
// least twofold. Sizes are size_t throughout, and the output never grows past
// kCaptureMax: a command that writes more is stopped rather than let it fill the memory.
class Capture {
public:
    enum class Added { Ok, NoMemory, TooLarge };

    Capture(char *buf, int size, int minChunk)
        : buf_(buf), cur_(buf), capacity_(static_cast<size_t>(size - 1)),
          chunk_(std::max(std::min(size - 1, minChunk), 2)),  // room for at least one character per read
          step_(std::max(capacity_, static_cast<size_t>(minChunk))) {
        buf_[0] = '\0';
    }
    ~Capture() {
        if (heap() && !released_) std::free(cur_);
    }
    Capture(const Capture &) = delete;
    Capture &operator=(const Capture &) = delete;

    int chunk() const { return chunk_; }
    bool heap() const { return cur_ != buf_; }
    char *data() const { return cur_; }
    size_t held() const { return held_; }
    // The caller takes over the heap buffer.
    char *release() {
        released_ = true;
        return cur_;
    }

    // Appends len characters. NoMemory: a larger buffer could not be had (*asked holds the
    // size asked for); TooLarge: the output would pass kCaptureMax. Either way the heap
    // buffer of this run is freed and the caller's buffer emptied.
    Added append(const char *piece, size_t len, size_t *asked) {
        if (held_ + len > capacity_) {
            if (held_ + len > kCaptureMax) return drop(Added::TooLarge);
            const size_t steps = (len + step_ - 1) / step_;
            const size_t newSize = steps * step_ + capacity_ + 1;
            if (newSize > allocated_) {
                // The buffer grows by whole steps; the memory under it at least doubles, so
                // that a long output is not copied over and over (multipath -ll of a large
                // host in every monitor cycle).
                size_t want = std::max(newSize, 2 * allocated_);
                char *bigger = static_cast<char *>(std::calloc(want, 1));
                if (bigger == nullptr && want > newSize) {
                    want = newSize;
                    bigger = static_cast<char *>(std::calloc(want, 1));
                }
                if (bigger == nullptr) {
                    *asked = newSize;
                    return drop(Added::NoMemory);
                }
                std::memcpy(bigger, cur_, held_);
                if (heap()) std::free(cur_);
                cur_ = bigger;
                allocated_ = want;
            }
            capacity_ += steps * step_;
        }
        std::memcpy(cur_ + held_, piece, len);
        held_ += len;
        cur_[held_] = '\0';
        return Added::Ok;
    }

private:
    Added drop(Added why) {
        if (heap()) std::free(cur_);
        cur_ = buf_;
        held_ = 0;
        allocated_ = 0;
        buf_[0] = '\0';
        return why;
    }

    char *buf_;
    char *cur_;
    size_t capacity_;
    int chunk_;
    size_t step_;
    size_t allocated_ = 0;  // bytes of the heap buffer (0: still the caller's buffer)
    size_t held_ = 0;
    bool released_ = false;
};

// ---------------------------------------------------------------- child process

// A stop signal (Ctrl-C at the terminal, systemctl stop) that arrived while a command ran:
// the command's group is killed first, then the signal takes its usual course.
volatile sig_atomic_t g_stopSignal = 0;
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
extern "C" void noteStopSignal(int sig) { g_stopSignal = sig; }

struct Child {
    pid_t pid = -1;
    int fd = -1;  // read end of the output pipe
};

// Starts /bin/sh -c line with stdout on a pipe (the line itself joins stderr to it). The
// shell leads a new process group and reads /dev/null, so the whole group can be killed at
// a deadline and a terminal never stops it.
bool spawnShell(const char *line, Child *child) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return false;
    // keep the write end off 0..2 so that dup2 onto stdout always clears close-on-exec
    if (fds[1] <= 2) {
        int moved = fcntl(fds[1], F_DUPFD_CLOEXEC, 3);
        close(fds[1]);
        if (moved < 0) {
            close(fds[0]);
            return false;
        }
        fds[1] = moved;
    }

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawnattr_setpgroup(&attr, 0);
    // the stop signals that the run holds back are the child's to take as usual
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int sig : kStopSignals) sigaddset(&defaults, sig);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF);
    char *argv[] = {const_cast<char *>("sh"), const_cast<char *>("-c"), const_cast<char *>(line), nullptr};
    std::vector<std::string> env = childEnvironment(environ);
    std::vector<char *> envp;
    for (std::string &e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, "/bin/sh", &actions, &attr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    close(fds[1]);
    if (rc != 0) {
        close(fds[0]);
        return false;
    }
    child->pid = pid;
    child->fd = fds[0];
    return true;
}

// Exit status as the shell reports it: 0..255, or 128 + signal for a killed command.
int exitStatus(int wstatus) {
    if (WIFEXITED(wstatus)) return WEXITSTATUS(wstatus);
    if (WIFSIGNALED(wstatus)) return 128 + WTERMSIG(wstatus);
    return 255;
}

// The children of this process that are not in its own process group: what a command left
// behind and was re-parented to us. Our own fork()ed children are left alone. Calls
// visit(pid, state) for each.
template <class Visit>
void forEachForeignChild(Visit &&visit) {
    DIR *proc = opendir("/proc");
    if (proc == nullptr) return;
    const long self = getpid(), ownGroup = getpgrp();
    while (const dirent *e = readdir(proc)) {
        if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
        char path[300];
        std::snprintf(path, sizeof path, "/proc/%s/stat", e->d_name);
        FILE *f = std::fopen(path, "re");
        if (f == nullptr) continue;
        char buf[512] = {0};
        size_t n = std::fread(buf, 1, sizeof buf - 1, f);
        std::fclose(f);
        buf[n] = '\0';
        // "pid (comm) state ppid pgrp ...": the name may hold blanks and brackets
        const char *close = std::strrchr(buf, ')');
        if (close == nullptr) continue;
        char state = 0;
        long ppid = 0, pgrp = 0;
        if (std::sscanf(close + 1, " %c %ld %ld", &state, &ppid, &pgrp) != 3) continue;
        if (ppid != self || pgrp == ownGroup) continue;
        visit(static_cast<pid_t>(std::atol(e->d_name)), state);
    }
    closedir(proc);
}

// While a command runs in its own group, this process is the child subreaper: whatever the
// shell leaves behind is re-parented to us, not to init, so a killed group can be reaped
// completely before the runner returns. The previous setting is restored afterwards, stop
// signals are held back until the command's group is gone, and whatever a command left
// behind that has ended since is reaped, so a long-running monitor gathers no zombies.
class RunScope {
public:
    RunScope() {
        int was = 0;
        if (prctl(PR_GET_CHILD_SUBREAPER, &was) == 0) wasSubreaper_ = was != 0;
        if (!wasSubreaper_) prctl(PR_SET_CHILD_SUBREAPER, 1);
        g_stopSignal = 0;
        struct sigaction note{};
        note.sa_handler = noteStopSignal;
        sigemptyset(&note.sa_mask);
        for (size_t i = 0; i < std::size(kStopSignals); ++i) {
            // a signal the program handles or ignores itself is left to it
            if (sigaction(kStopSignals[i], nullptr, &old_[i]) != 0 || old_[i].sa_handler != SIG_DFL) continue;
            taken_[i] = sigaction(kStopSignals[i], &note, nullptr) == 0;
        }
    }
    ~RunScope() {
        if (!wasSubreaper_) prctl(PR_SET_CHILD_SUBREAPER, 0);
        reapLeftovers();
        for (size_t i = 0; i < std::size(kStopSignals); ++i)
            if (taken_[i]) sigaction(kStopSignals[i], &old_[i], nullptr);
        if (g_stopSignal != 0) raise(g_stopSignal);
    }
    RunScope(const RunScope &) = delete;
    RunScope &operator=(const RunScope &) = delete;

private:
    bool wasSubreaper_ = false;
    struct sigaction old_[std::size(kStopSignals)]{};
    bool taken_[std::size(kStopSignals)]{};
};

constexpr auto kReapGrace = std::chrono::milliseconds(1000);

// Kills every process that a command left with us (what setsid() took out of the group
// was re-parented to us, the subreaper, once its parent died). True when one was found.
bool killOwnChildren() {
    bool any = false;
    forEachForeignChild([&any](pid_t pid, char state) {
        if (state == 'Z') return;
        kill(pid, SIGKILL);
        any = true;
    });
    return any;
}

// Kills the shell's whole process group and everything the command left in sessions of
// its own, and reaps them. A process stuck in uninterruptible sleep (I/O on a hung map)
// cannot die: after a short grace the runner stops waiting for it rather than hold the
// command past its deadline.
void killGroup(pid_t pgid) {
    const Clock::time_point giveUp = Clock::now() + kReapGrace;
    for (;;) {
        kill(-pgid, SIGKILL);
        bool groupGone = kill(-pgid, 0) != 0 && errno == ESRCH;
        bool left = killOwnChildren();
        forEachForeignChild([](pid_t pid, char state) {
            if (state == 'Z') waitpid(pid, nullptr, WNOHANG);
        });
        while (waitpid(-pgid, nullptr, WNOHANG) > 0) {
        }
        // A group member that has fully ended has handed its children to us: once the
        // group is gone and no child is alive, nothing of the command is left.
        if (groupGone && !left) return;
        if (Clock::now() >= giveUp) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// Reaps members of the group that have already ended, without waiting for the others.
void reapEnded(pid_t pgid) {
    int wstatus = 0;
    while (waitpid(-pgid, &wstatus, WNOHANG) > 0) {
    }
}

// Reads the pipe piece by piece as a line reader would: each piece ends after a newline,
// after chunk - 1 characters, or at end of file.
class PieceReader {
public:
    PieceReader(int fd, Clock::time_point deadline) : fd_(fd), deadline_(deadline) {}

    // >0 piece length, 0 end of file, -1 read error, kTimedOut deadline passed
    long next(char *piece, int chunk) {
        size_t max = static_cast<size_t>(chunk - 1);
        size_t n = 0;
        while (n < max) {
            if (pos_ == len_) {
                int r = fill();
                if (r == kTimedOut) return kTimedOut;
                if (r <= 0) {
                    if (n > 0) break;  // the last piece before end of file
                    return r;
                }
            }
            // what is staged, up to and with the next newline, as far as the piece has room
            const size_t take = std::min(max - n, len_ - pos_);
            const char *from = stage_ + pos_;
            const void *nl = std::memchr(from, '\n', take);
            const size_t len = nl ? static_cast<size_t>(static_cast<const char *>(nl) - from) + 1 : take;
            std::memcpy(piece + n, from, len);
            pos_ += len;
            n += len;
            if (nl) break;
        }
        // a NUL byte would end the text for every reader after us: it is shown as '?'
        for (char *z = static_cast<char *>(std::memchr(piece, '\0', n)); z != nullptr;
             z = static_cast<char *>(std::memchr(z + 1, '\0', n - static_cast<size_t>(z + 1 - piece))))
            *z = '?';
        piece[n] = '\0';
        return static_cast<long>(n);
    }

private:
    int fill() {
        for (;;) {
            {
                auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - Clock::now()).count();
                if (left <= 0 || g_stopSignal != 0) return kTimedOut;
                // short waits: a stop signal that comes just before poll() is seen soon
                struct pollfd p{fd_, POLLIN, 0};
                int pr = poll(&p, 1, static_cast<int>(std::min<long long>(left, 250)));
                if (pr < 0 && errno == EINTR) continue;
                if (pr == 0) continue;
                if (pr < 0) return -1;
            }
            ssize_t r = read(fd_, stage_, sizeof(stage_));
            if (r < 0 && errno == EINTR) continue;
            if (r < 0) return -1;
            pos_ = 0;
            len_ = static_cast<size_t>(r);
            return r > 0 ? 1 : 0;
        }
    }

    int fd_;
    Clock::time_point deadline_;
    char stage_[65536];
    size_t pos_ = 0;
    size_t len_ = 0;
};

enum class RunEnd { Done, StartFailed, NoMemory, TooLarge, TimedOut };

struct RunResult {
    RunEnd end = RunEnd::Done;
    int status = 0;     // exit status when Done
    size_t asked = 0;   // size asked for when NoMemory
};

// Runs line in its own process group and collects its output into cap; at the deadline
// (timeoutMs from now) or at a stop signal the whole group is killed.
RunResult runShell(const char *line, Capture &cap, int timeoutMs) {
    RunResult res;
    RunScope scope;
    Child child;
    if (!spawnShell(line, &child)) {
        res.end = RunEnd::StartFailed;
        return res;
    }
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    auto abandon = [&](RunEnd end) {
        close(child.fd);  // a command still writing gets SIGPIPE
        killGroup(child.pid);
        res.end = end;
        return res;
    };

    auto piece = std::make_unique<char[]>(static_cast<size_t>(cap.chunk()));
    auto reader = std::make_unique<PieceReader>(child.fd, deadline);
    for (;;) {
        long n = reader->next(piece.get(), cap.chunk());
        if (n == kTimedOut) return abandon(RunEnd::TimedOut);
        if (n <= 0) break;  // end of file (or a read error: take what we have)
        switch (cap.append(piece.get(), static_cast<size_t>(n), &res.asked)) {
            case Capture::Added::Ok: break;
            case Capture::Added::NoMemory: return abandon(RunEnd::NoMemory);
            case Capture::Added::TooLarge: return abandon(RunEnd::TooLarge);
        }
    }
    close(child.fd);

    // the command may have closed its output and still be running: it is waited for up to
    // the deadline
    for (;;) {
        int wstatus = 0;
        pid_t w = waitpid(child.pid, &wstatus, WNOHANG);
        if (w == child.pid) {
            res.status = exitStatus(wstatus);
            reapEnded(child.pid);
            return res;
        }
        if (w < 0 && errno != EINTR) {
            res.status = 255;
            return res;
        }
        if (Clock::now() >= deadline || g_stopSignal != 0) {
            killGroup(child.pid);
            res.end = RunEnd::TimedOut;
            return res;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// How an entry point runs its commands, and the function name its log lines carry.
struct Mode {
    const char *func;
    size_t maxLine;  // the longest command line ("cmd 2>&1") that is run
    bool clean;      // every character outside the allowed set becomes '%'
    int timeoutMs;   // the caller's deadline; <= 0: the command's own (commandDeadlineMs)
    int minChunk;
};

#define RUNNER_LOG(level, ...) morvel_log((level), kSrc, __LINE__, mode.func, __VA_ARGS__)

// Runs cmd as mode says and logs the outcome the same way for every entry point.
// -1: bad arguments, a line too long, or no start; -2: out of memory or an output past
// kCaptureMax; kTimedOut; otherwise the exit status, with *out the output (buf, or a heap
// buffer when it is not buf).
int runLogged(const Mode &mode, const char *cmd, char *buf, int size, char **out) {
    if (cmd == nullptr || buf == nullptr || size < 1 || out == nullptr) {
        RUNNER_LOG(LOG_ERROR, "Popen command [%s] failed\n", cmd ? cmd : "");
        return -1;
    }
    *out = buf;
    buf[0] = '\0';
    std::string line = std::string(cmd) + " 2>&1";
    // A longer line does not fit the command buffer; cutting it would run a different
    // command, so it is not run at all.
    if (line.size() > mode.maxLine) {
        RUNNER_LOG(LOG_ERROR, "Command [%.256s...] is too long (%zu characters), it is not executed.\n",
                   line.c_str(), line.size());
        return -1;
    }
    char clean[kCmdBufSize] = {0};
    if (mode.clean) cleanString(clean, line.c_str());

    Capture cap(buf, size, mode.minChunk);
    const int timeoutMs = mode.timeoutMs > 0 ? mode.timeoutMs : commandDeadlineMs(cmd);
    RunResult res = runShell(mode.clean ? clean : line.c_str(), cap, timeoutMs);
    switch (res.end) {
        case RunEnd::StartFailed:
            RUNNER_LOG(LOG_ERROR, "Popen command [%s] failed\n", line.c_str());
            return -1;
        case RunEnd::NoMemory:
            RUNNER_LOG(LOG_ERROR, "Malloc %zu byte space failed.\n", res.asked);
            return -2;
        case RunEnd::TooLarge:
            RUNNER_LOG(LOG_ERROR, "Command [%s] wrote more than %zu bytes, it was stopped and its output dropped.\n",
                       line.c_str(), kCaptureMax);
            return -2;
        case RunEnd::TimedOut:
            // a caller with a deadline of its own says what the time-out means to it
            if (mode.timeoutMs <= 0)
                RUNNER_LOG(LOG_ERROR, "Command [%s] did not end within %d s, its processes were killed.\n",
                           line.c_str(), timeoutMs / 1000);
            return kTimedOut;
        case RunEnd::Done: break;
    }
    // What a command writes is made harmless before anyone parses, shows or logs it.
    makeHarmless(cap.data(), cap.held(), "\t\n");
    if (res.status != 0) {
        RUNNER_LOG(LOG_ERROR, "Execute command [%s] failed, exit code [%d]\n", line.c_str(), res.status);
        // one log line per line of the output
        std::string_view text(cap.data(), cap.held());
        while (!text.empty()) {
            const size_t nl = std::min(text.find('\n'), text.size());
            RUNNER_LOG(LOG_ERROR, "Error message: %.*s", static_cast<int>(nl), text.data());
            text.remove_prefix(std::min(nl + 1, text.size()));
        }
    } else {
        RUNNER_LOG(LOG_DEBUG, "Execute command [%s] successfully.\n", line.c_str());
    }
    *out = cap.heap() ? cap.release() : buf;
    return res.status;
}

#undef RUNNER_LOG

}  // namespace

void reapLeftovers() {
    // a cheap look first: most of the time no child has ended
    siginfo_t info{};
    if (waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid == 0) return;
    forEachForeignChild([](pid_t pid, char state) {
        if (state == 'Z') waitpid(pid, nullptr, WNOHANG);
    });
}

int exe_cmd(const char *cmd, char *buf, int size, char **out, int *grown) {
    const int status = runLogged({"exe_cmd", kCmdBufSize - 1, true, 0, kChunk}, cmd, buf, size, out);
    if (status < 0 || grown == nullptr) return status;
    // a heap buffer is the caller's to free whatever the status
    if (*out != buf) {
        *grown = 1;
    } else if (status == 0) {
        *grown = 0;
    }
    return status;
}

int exe_cmd_nonblocking(const char *cmd, char *buf, int size, char **out, int *state, int timeout_ms) {
    int status =
        runLogged({"exe_cmd_nonblocking", kLongLineMax, false, timeout_ms, kChunk}, cmd, buf, size, out);
    // After a non-zero exit the output stays readable; a heap buffer is freed by the caller
    // when *out != buf.
    if (status > 0) {
        status = -1;
    } else if (status == 0) {
        status = *out != buf ? 1 : 0;
    }
    if (state != nullptr) *state = status;
    return status;
}

int exe_cmd_monitor(const char *cmd, char *buf, int size, char **out) {
    const int status = runLogged({"exe_cmd", kCmdBufSize - 1, false, 0, kMonitorChunk}, cmd, buf, size, out);
    if (status < 0) return status;
    if (status == 0) return *out != buf ? 1 : 0;
    // -1 tells the caller nothing about a heap buffer: none is handed out
    if (*out != buf) {
        std::free(*out);
        *out = buf;
        buf[0] = '\0';
    }
    return -1;
}

}  // namespace morvel::common
