// Runner wrappers used by the command implementations: they run a command through the
// runner with a 2 MiB capture buffer and turn the outcome into a result item.
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "cli/cli_exe.h"
#include "common/log.h"
#include "common/runner.h"

namespace morvel::cli {

namespace {

constexpr const char *kSrc = "cli/cli_exe";
constexpr int kTimeoutMs = 5000;
constexpr int kTimedOut = -9;  // exe_cmd_nonblocking's time-out

using CBuf = std::unique_ptr<char, decltype([](char *p) { std::free(p); })>;

// A zeroed 2 MiB capture buffer (calloc: pages come zeroed from the kernel). When there is
// no memory for it, the failure is logged in the caller's name and the command not run.
CBuf captureBuffer(const char *cmd, const char *caller, int line) {
    CBuf buf(static_cast<char *>(std::calloc(common::kOutBufSize, 1)));
    if (!buf) {
        common::morvel_log(common::LOG_ERROR, kSrc, line, caller, "Malloc %d byte space failed.\n",
                           common::kOutBufSize);
        common::morvel_log(common::LOG_ERROR, kSrc, line, caller, "Execute command [%s] failed\n", cmd);
    }
    return buf;
}

void copyOut(char *outBuf, int outSize, const char *out) {
    if (outBuf == nullptr || outSize <= 0 || out == nullptr) return;
    std::snprintf(outBuf, static_cast<size_t>(outSize), "%s", out);
}

// One run of a command into a fresh capture buffer, under a deadline when timeoutMs > 0.
// When it could not be run, timed out or (under a deadline) exited non-zero, that is logged
// in the caller's name and ran() is false; otherwise status is its exit status and
// output.out its output.
struct CapturedRun {
    CapturedRun(const char *cmd, const char *caller, int line, int timeoutMs = 0)
        : buf(captureBuffer(cmd, caller, line)), output(buf.get()) {
        if (!buf) return;
        if (timeoutMs > 0) {
            status = common::exe_cmd_nonblocking(cmd, buf.get(), common::kOutBufSize, &output.out, nullptr, timeoutMs);
            if (status > 0) status = 0;  // the output is in a heap buffer
        } else {
            status = common::exe_cmd(cmd, buf.get(), common::kOutBufSize, &output.out, nullptr);
        }
        if (status == kTimedOut) {
            common::morvel_log(common::LOG_ERROR, kSrc, line, caller, "Execute command [%s] timeout\n", cmd);
        } else if (status < 0 || output.out == nullptr) {
            status = -1;
            common::morvel_log(common::LOG_ERROR, kSrc, line, caller, "Execute command [%s] failed\n", cmd);
        }
    }
    bool ran() const { return status >= 0; }

    CBuf buf;
    common::RunnerOutput output;
    int status = -1;
};

// Shared part of exeLiunxTaskCmd and exeLiunxTaskCmdStrict.
EcItem *taskCmd(const char *cmd, bool strict, const char *caller, int line) {
    CapturedRun run(cmd, caller, line);
    if (!run.ran()) return &EC_exe_cmd_failed;
    // a non-zero exit is already in the log (exe_cmd)
    if (strict && run.status != 0) return &EC_exe_cmd_failed;
    return &EC_ok;
}

}  // namespace

EcItem *exeLiunxTaskCmd(const char *cmd) { return taskCmd(cmd, false, __func__, __LINE__); }

EcItem *exeLiunxTaskCmdStrict(const char *cmd) { return taskCmd(cmd, true, __func__, __LINE__); }

EcItem *exeLiunxInfoCmd(const char *cmd, char *outBuf, int outSize) {
    CapturedRun run(cmd, __func__, __LINE__);
    if (!run.ran()) return &EC_exe_cmd_failed;
    copyOut(outBuf, outSize, run.output.out);
    if (run.status == 0) return &EC_info_ok;
    MLOG(common::LOG_ERROR, kSrc, "Command [%s] failed, exitcode:[%d]\n", cmd, run.status);
    return &EC_exe_cmd_failed;
}

// Runs the command in its own process group under a 5-second deadline; at the deadline
// the whole group is killed and reaped. No signal handler or interval timer is involved,
// so the caller's SIGALRM disposition and ITIMER_REAL are never touched.
EcItem *exeLiunxInfoCmd_nonblocking(const char *cmd, char *outBuf, int outSize) {
    CapturedRun run(cmd, __func__, __LINE__, kTimeoutMs);
    if (run.status == kTimedOut) return &EC_exe_cmd_timeout;
    copyOut(outBuf, outSize, run.output.out);  // after a failure: what was read so far
    return run.ran() ? &EC_info_ok : &EC_exe_cmd_failed;
}

sigfunc my_signal(int signo, sigfunc handler) {
    struct sigaction act{}, old{};
    act.sa_handler = handler;
    sigemptyset(&act.sa_mask);
    // SIGALRM interrupts a system call instead of restarting it (the historical
    // SA_INTERRUPT, which is the absence of SA_RESTART); every other signal restarts.
    act.sa_flags = (signo == SIGALRM) ? 0 : SA_RESTART;
    if (sigaction(signo, &act, &old) < 0) return SIG_ERR;
    return old.sa_handler;
}

}  // namespace morvel::cli
