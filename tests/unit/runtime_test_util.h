// Small helpers of the logging and runner tests. These tests write /dumps: they refuse to
// run outside the throw-away root of tests/sandbox/run-in-sandbox.sh.
#pragma once
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace runtime_test {

inline bool inSandbox() {
    const char *v = std::getenv("MORVEL_SANDBOX_INNER");
    return v != nullptr && std::strcmp(v, "1") == 0;
}

#define REQUIRE_SANDBOX() \
    ASSERT_TRUE(runtime_test::inSandbox()) << "run through ctest or tests/sandbox/run-in-sandbox.sh"

inline const char kCliLog[] = "/dumps/morvel_cli.log";
inline const char kCliBk[] = "/dumps/morvel_cli_bk.log";
inline const char kMonLog[] = "/dumps/morvel_monitor.log";
inline const char kMonBk[] = "/dumps/morvel_monitor_bk.log";

inline std::string slurp(const char *path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline std::vector<std::string> linesOf(const char *path) {
    std::vector<std::string> out;
    std::ifstream in(path, std::ios::binary);
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

}  // namespace runtime_test
