// Shell command runner: runs a command line through the shell, stderr joined to stdout,
// and captures the whole output.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <string>
#include <vector>

namespace morvel::common {

constexpr int kOutBufSize = 2097152;   // 2 MiB capture buffer used by every wrapper
constexpr int kCmdBufSize = 1024;      // command-line buffer
// The most output a command may give: one that writes more is stopped and its output
// dropped (the runners return -2), so an endless writer cannot take the memory.
constexpr size_t kCaptureMax = size_t{256} << 20;

// Every command runs in its own process group, with stdin on /dev/null, under a deadline:
// the caller's, or else this one, fitted to what the command does (milliseconds). At the
// deadline the whole group, and whatever left it, is killed and reaped. A stop signal
// (SIGINT, SIGTERM, SIGHUP, SIGQUIT) that comes while a command runs kills its group first
// and then takes its usual course.
int commandDeadlineMs(const char *cmd);

// Reaps what commands left running and has ended since (children re-parented to us while
// a command ran); our own fork()ed children are left alone. The runner does this after
// every command; a long-lived caller also does it while it waits.
void reapLeftovers();

// The environment a command runs with: the caller's, less what would change how the shell
// and the helper scripts behave (BASH_ENV, ENV, TMPDIR, CDPATH, SHELLOPTS, BASHOPTS,
// GLOBIGNORE, IFS, exported functions), and with the fixed PATH kChildPath.
inline constexpr const char kChildPath[] = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";
std::vector<std::string> childEnvironment(char *const *env);

// Runs cmd with cleaning (every character outside the allowed set becomes '%').
// -1: could not start, or the command line ("cmd 2>&1") is longer than 1023 characters
// (it is then not run at all); -2: out of memory; otherwise the exit status (0..255, a
// command killed by a signal gives 128 + the signal), -9 when it did not end within its
// deadline (logged). *out points at buf or at a malloc'ed
// buffer; *grown is set to 1 whenever *out is a heap buffer (the caller frees it with
// free()), to 0 on success with the output in buf, and is left alone otherwise.
// On -1/-2, *out is buf.
int exe_cmd(const char *cmd, char *buf, int size, char **out, int *grown);

// Runs cmd unchanged under a deadline (milliseconds; <= 0: the command's own). Returns/stores: -1 start failure or non-zero exit, -2 out of memory, -9 timeout,
// 1 success with heap output, 0 success with output in buf. After a non-zero exit *out
// holds the output, possibly in a heap buffer: the caller frees *out when it is not buf.
// After -2 and -9, *out is buf.
int exe_cmd_nonblocking(const char *cmd, char *buf, int size, char **out, int *state,
                        int timeout_ms = 0);

// morvel_monitor's runner: no cleaning; a command line ("cmd 2>&1") longer than 1023
// characters is not run (-1).
// 0 success (output in buf), 1 success (output in *out, caller frees), -1 failure (*out is
// buf), -2 OOM (*out is buf), -9 no end within the deadline (logged; *out is buf).
int exe_cmd_monitor(const char *cmd, char *buf, int size, char **out);

// The output pointer of a runner call: frees the heap buffer that the runner handed out in
// place of the caller's buffer, when it goes out of scope.
class RunnerOutput {
public:
    explicit RunnerOutput(const char *buf) : buf_(buf) {}
    RunnerOutput(const RunnerOutput &) = delete;
    RunnerOutput &operator=(const RunnerOutput &) = delete;
    ~RunnerOutput() {
        if (out != nullptr && out != buf_) std::free(out);
    }
    char *out = nullptr;

private:
    const char *buf_;
};

}  // namespace morvel::common
