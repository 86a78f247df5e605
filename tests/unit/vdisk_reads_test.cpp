// The in-band reads of a query side by side: results in order with their log lines, the
// limit of reads at a time, reads that never return, a helper that dies, and the lines
// and store look-ups of each result afterwards.
#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include "array/vdisk_reads.h"
#include "unit/array_test_util.h"

namespace morvel::array {
namespace {

using testutil::LogTail;

// Paths tell the fake reader what to do: "/hang" never returns, "/exit" ends the helper,
// "/fail" fails with a log line; any other read takes 30 ms and names the number of reads
// running when it began ("n3") after the path.
int fakeReader(const VdiskRead &read, char *name) {
    static std::atomic<int> running{0};
    if (read.devicePath == "/hang") pause();
    if (read.devicePath == "/exit") _exit(3);
    if (read.devicePath == "/fail") {
        MLOG(common::LOG_ERROR, "array/array", "Open scsi device failed, fd = %d;\n", -1);
        return -1;
    }
    const int now = ++running;
    usleep(30000);
    std::snprintf(name, VDISK_NAME_SIZE, "%s n%d", read.devicePath.c_str() + 1, now);
    --running;
    return 0;
}

std::vector<VdiskRead> paths(std::vector<std::string> ps) {
    std::vector<VdiskRead> out;
    for (std::string &p : ps) out.push_back({p, false});
    return out;
}

int threadCount() {
    int n = 0;
    if (DIR *d = opendir("/proc/self/task")) {
        while (const dirent *e = readdir(d)) n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}

TEST(VdiskReads, ResultsInOrderAtMostAtOnceReadsAtATime) {
    std::vector<std::string> ps;
    for (int i = 0; i < 12; ++i) ps.push_back("/vd" + std::to_string(i));
    ps[5] = "/fail";
    const auto results = readVdiskNames(paths(ps), {3, 5000, 20000}, fakeReader);
    ASSERT_EQ(results.size(), 12u);
    int most = 0;
    for (size_t i = 0; i < results.size(); ++i) {
        SCOPED_TRACE(ps[i]);
        if (i == 5) {
            EXPECT_EQ(results[i].outcome, ReadOutcome::Failed);
            EXPECT_STREQ(results[i].name, "");
            ASSERT_EQ(results[i].lines.size(), 1u);  // held with its place, escaped as it would be written
            EXPECT_EQ(results[i].lines[0].message, "Open scsi device failed, fd = -1\\;\n");
            EXPECT_EQ(results[i].lines[0].function, "fakeReader");
            continue;
        }
        EXPECT_EQ(results[i].outcome, ReadOutcome::Read);
        const std::string name = results[i].name;
        EXPECT_EQ(name.substr(0, name.find(' ')), ps[i].substr(1));
        most = std::max(most, std::stoi(name.substr(name.find(" n") + 2)));
        EXPECT_TRUE(results[i].lines.empty());
    }
    EXPECT_EQ(most, 3);
}

// A read that never returns is given up at its own limit and the others still come in; a
// reader stuck in every place ends all at the limit of all reads. Either way this process
// keeps no thread of the reads, and the helper is gone.
TEST(VdiskReads, ReadsThatNeverReturnAreGivenUp) {
    auto results = readVdiskNames(paths({"/a", "/hang", "/b", "/c"}), {2, 300, 5000}, fakeReader);
    EXPECT_EQ(results[1].outcome, ReadOutcome::TimedOut);
    for (size_t i : {0, 2, 3}) EXPECT_EQ(results[i].outcome, ReadOutcome::Read) << i;
    EXPECT_EQ(threadCount(), 1);

    results = readVdiskNames(paths({"/hang", "/hang", "/a", "/b"}), {2, 5000, 300}, fakeReader);
    EXPECT_EQ(results[0].outcome, ReadOutcome::TimedOut);
    EXPECT_EQ(results[1].outcome, ReadOutcome::TimedOut);
    EXPECT_EQ(results[2].outcome, ReadOutcome::NotStarted);
    EXPECT_EQ(results[3].outcome, ReadOutcome::NotStarted);
    EXPECT_EQ(threadCount(), 1);

    // a helper that dies leaves its unanswered reads failed
    results = readVdiskNames(paths({"/exit", "/a"}), {1, 5000, 5000}, fakeReader);
    EXPECT_EQ(results[0].outcome, ReadOutcome::Failed);
    EXPECT_EQ(results[1].outcome, ReadOutcome::Failed);
}

// A message is taken only once it is whole; one that does not read right ends the talk.
TEST(VdiskReads, PartAndBrokenMessages) {
    VdiskReadResult r, got;
    r.outcome = ReadOutcome::Failed;
    std::string inbox = encodeReadDone(9, r);
    inbox.pop_back();
    uint32_t index = 0;
    bool done = false, bad = false;
    EXPECT_FALSE(decodeReadMessage(inbox, index, done, got, bad));
    EXPECT_FALSE(bad);
    inbox = encodeReadDone(9, r);
    inbox[9] = 9;  // no such outcome (behind length, kind and index)
    EXPECT_FALSE(decodeReadMessage(inbox, index, done, got, bad));
    EXPECT_TRUE(bad);
}

// Afterwards each result gives the lines a read in turn would have given, in that order.
TEST(VdiskReads, SettlingLogsTheReadsLinesThenTheFallback) {
    mkdir("/dumps", 0700);
    unlink(STORAGE_CONFIG_FILE);
    store_wwid_vdiskname(STORAGE_CONFIG_FILE, "w_late", "vd_stored");
    VdiskReadResult late;
    late.outcome = ReadOutcome::TimedOut;
    late.lines.push_back({0, "array/array", "get_disk_00_page", 1, "held line\n"});
    LogTail log;
    char name[VDISK_NAME_SIZE] = "x";
    unsigned int found = 0;
    StoreCache cache;
    settleVdiskname(late, true, "w_late", name, &found, &cache);
    EXPECT_STREQ(name, "vd_stored");
    EXPECT_EQ(found, 1u);
    EXPECT_TRUE(log.inOrder("ERROR array/array get_disk_00_page 1 held line\n",
                            "Device (w_late), the in-band read of the vdisk name timed out after 5000 ms."));
    EXPECT_TRUE(log.inOrder("timed out after 5000 ms.", "Devcie (w_late), unable to get vdisk name using in-band"));
    EXPECT_TRUE(log.has("ERROR array/array displayNvmeVdiskname "));

    VdiskReadResult read;
    read.outcome = ReadOutcome::Read;
    std::snprintf(read.name, sizeof read.name, "vd_new");
    settleVdiskname(read, false, "w_late", name, &found, &cache);
    EXPECT_STREQ(name, "vd_new");
    EXPECT_TRUE(log.has("device (w_late), vdisk name change from (vd_stored) to (vd_new)."));
}

}  // namespace
}  // namespace morvel::array
