// Shell command runner: runs a command line through the shell, stderr joined to stdout,
// and captures the whole output.
#pragma once

#include <cstdlib>

namespace morvel::common {

constexpr int kOutBufSize = 2097152;   // 2 MiB capture buffer used by every wrapper
constexpr int kCmdBufSize = 1024;      // command-line buffer

// Runs cmd with cleaning (every character outside the allowed set becomes '%').
// -1: could not start, or the command line ("cmd 2>&1") is longer than 1023 characters
// (it is then not run at all); -2: out of memory; otherwise the exit status (0..255, a
// command killed by a signal gives 128 + the signal). *out points at buf or at a malloc'ed
// buffer; *grown is set to 1 whenever *out is a heap buffer (the caller frees it with
// free()), to 0 on success with the output in buf, and is left alone otherwise.
// On -1/-2, *out is buf.
int exe_cmd(const char *cmd, char *buf, int size, char **out, int *grown);

// Runs cmd unchanged under a deadline (milliseconds; <= 0: none). The command runs in its
// own process group with stdin on /dev/null; at the deadline the whole group is killed and
// reaped. Returns/stores: -1 start failure or non-zero exit, -2 out of memory, -9 timeout,
// 1 success with heap output, 0 success with output in buf. After a non-zero exit *out
// holds the output, possibly in a heap buffer: the caller frees *out when it is not buf.
// After -2 and -9, *out is buf.
int exe_cmd_nonblocking(const char *cmd, char *buf, int size, char **out, int *state,
                        int timeout_ms = 0);

// morvel_monitor's runner: no cleaning; a command line ("cmd 2>&1") longer than 1023
// characters is not run (-1).
// 0 success (output in buf), 1 success (output in *out, caller frees), -1 failure (*out is
// buf), -2 OOM (*out is buf).
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
