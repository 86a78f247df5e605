// Helpers of the array and query-report tests: the CLI log written since a mark, scratch
// folders and the count of open descriptors.
#pragma once
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "array/array.h"
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
    // True when both lines were logged, first before then.
    bool inOrder(const std::string &first, const std::string &then) const {
        const std::string t = text();
        const size_t a = t.find(first), b = t.find(then);
        return a != std::string::npos && b != std::string::npos && a < b;
    }
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

// A fake device file for the in-band name look-ups; no descriptor may stay open after a
// case. Reset is called before each case (the fake answering the ioctls).
template <void (*Reset)()>
class FakeDeviceTest : public ::testing::Test {
protected:
    explicit FakeDeviceTest(const char *path) : path_(path) {}
    void SetUp() override {
        Reset();
        writeFile(path_, "");
        fds_ = openFdCount();
    }
    void TearDown() override { EXPECT_EQ(fds_, openFdCount()); }
    const std::string path_;
    char name_[array::VDISK_NAME_SIZE] = {};
    int fds_ = 0;
};

}  // namespace morvel::testutil
