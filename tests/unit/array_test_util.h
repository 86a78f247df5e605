// Helpers of the array and query-report tests: the CLI log written since a mark, scratch
// folders and the count of open descriptors.
#pragma once
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "test_files.h"

namespace morvel::testutil {

inline const char kCliLog[] = "/dumps/morvel_cli.log";

using testfiles::readFile;
using testfiles::writeFile;

// What the CLI log received after the mark was taken.
class LogTail {
public:
    LogTail() : start_(readFile(kCliLog).size()) {}
    std::string text() const {
        std::string all = readFile(kCliLog);
        return all.size() >= start_ ? all.substr(start_) : all;
    }
    bool has(const std::string &s) const { return text().find(s) != std::string::npos; }
    size_t count(const std::string &s) const {
        std::string t = text();
        size_t n = 0;
        for (size_t p = t.find(s); p != std::string::npos; p = t.find(s, p + 1)) ++n;
        return n;
    }

private:
    size_t start_;
};

// (The log file, which stays open from one line to the next, is not counted.)
inline int openFdCount() {
    int n = 0;
    if (DIR *d = opendir("/proc/self/fd")) {
        while (const dirent *e = readdir(d)) {
            char target[256];
            ssize_t len = readlinkat(dirfd(d), e->d_name, target, sizeof target - 1);
            std::string t(target, len > 0 ? static_cast<size_t>(len) : 0);
            if (!t.starts_with("/dumps/morvel_") || !t.ends_with(".log")) ++n;
        }
        closedir(d);
    }
    return n;
}

}  // namespace morvel::testutil
