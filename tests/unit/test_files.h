// File helpers shared by the unit tests, and the check that a test runs inside the
// throw-away root of tests/sandbox/run-in-sandbox.sh (tests that write /dumps, /dev, /sys
// or /usr/bin run only there).
#pragma once
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

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

}  // namespace morvel::testfiles
