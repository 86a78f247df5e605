// Small helpers of the logging and runner tests. These tests write /dumps: they refuse to
// run outside the throw-away root of tests/sandbox/run-in-sandbox.sh.
#pragma once
#include <gtest/gtest.h>
#include <regex.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "test_files.h"

namespace runtime_test {

using morvel::testfiles::inSandbox;

#define REQUIRE_SANDBOX() \
    ASSERT_TRUE(runtime_test::inSandbox()) << "run through ctest or tests/sandbox/run-in-sandbox.sh"

inline const char kCliLog[] = "/dumps/morvel_cli.log";
inline const char kCliBk[] = "/dumps/morvel_cli_bk.log";
inline const char kMonLog[] = "/dumps/morvel_monitor.log";
inline const char kMonBk[] = "/dumps/morvel_monitor_bk.log";

inline std::string slurp(const char *path) { return morvel::testfiles::readFile(path); }

inline std::vector<std::string> linesOf(const char *path) {
    std::vector<std::string> out;
    std::ifstream in(path, std::ios::binary);
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

// A POSIX extended regular expression that must match a whole text; match() fills the
// sub-matches (0 is the whole text).
class Ere {
public:
    explicit Ere(const std::string &pattern) { ok_ = regcomp(&re_, ("^" + pattern + "$").c_str(), REG_EXTENDED) == 0; }
    ~Ere() {
        if (ok_) regfree(&re_);
    }
    Ere(const Ere &) = delete;
    Ere &operator=(const Ere &) = delete;
    bool match(const std::string &text, std::vector<std::string> *groups = nullptr) const {
        regmatch_t m[10];
        if (!ok_ || regexec(&re_, text.c_str(), 10, m, 0) != 0) return false;
        if (groups != nullptr) {
            groups->clear();
            for (size_t i = 0; i <= re_.re_nsub && i < 10; ++i)
                groups->push_back(m[i].rm_so < 0 ? "" : text.substr(m[i].rm_so, m[i].rm_eo - m[i].rm_so));
        }
        return true;
    }

private:
    regex_t re_{};
    bool ok_ = false;
};

inline bool ereMatch(const std::string &pattern, const std::string &text) { return Ere(pattern).match(text); }

}  // namespace runtime_test
