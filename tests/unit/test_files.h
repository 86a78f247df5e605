// File helpers shared by the unit tests, and the check that a test runs inside the
// throw-away root of tests/sandbox/run-in-sandbox.sh (tests that write /dumps, /dev, /sys
// or /usr/bin run only there).
#pragma once
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace morvel::testfiles {

inline bool inSandbox() {
    const char *v = std::getenv("MORVEL_SANDBOX_INNER");
    return v != nullptr && std::strcmp(v, "1") == 0;
}

// The whole file, or "" when it cannot be read.
inline std::string readFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void writeFile(const std::string &path, const std::string &text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// Runs body(i) for i in [0, n) in n processes at once and waits for them all; true when
// every one was started and exited with status 0.
template <class Body>
bool inChildren(int n, Body body) {
    std::vector<pid_t> kids;
    for (int i = 0; i < n; ++i) {
        pid_t pid = ::fork();
        if (pid < 0) break;
        if (pid == 0) {
            body(i);
            ::_exit(0);
        }
        kids.push_back(pid);
    }
    bool ok = static_cast<int>(kids.size()) == n;
    for (pid_t k : kids) {
        int status = 0;
        ok = ::waitpid(k, &status, 0) == k && WIFEXITED(status) && WEXITSTATUS(status) == 0 && ok;
    }
    return ok;
}

}  // namespace morvel::testfiles
