// Shell command runner: runs a command line through the shell, stderr joined to stdout,
// and captures the whole output.
#pragma once

namespace morvel::common {

constexpr int kOutBufSize = 2097152;   // 2 MiB capture buffer used by every wrapper
constexpr int kCmdBufSize = 1024;      // command-line buffer

// Runs cmd with cleaning. -1: could not start (or command line too long), -2: out of
// memory, otherwise the exit status. *out points at buf or at a malloc'ed buffer that the
// caller frees with free() when *grown is 1.
int exe_cmd(const char *cmd, char *buf, int size, char **out, int *grown);

// Runs cmd unchanged under a deadline (milliseconds; <= 0: none). The command runs in its
// own process group; at the deadline the whole group is killed and reaped.
// Returns/stores: -1 start failure or non-zero exit, -2 out of memory, -9 timeout,
// 1 success with heap output, 0 success with output in buf.
int exe_cmd_nonblocking(const char *cmd, char *buf, int size, char **out, int *state,
                        int timeout_ms = 0);

// morvel_monitor's runner: no cleaning, command line cut to 1023 characters.
// 0 success (output in buf), 1 success (output in *out, caller frees), -1 failure, -2 OOM.
int exe_cmd_monitor(const char *cmd, char *buf, int size, char **out);

}  // namespace morvel::common
