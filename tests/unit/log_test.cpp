// Logging: line formats of both files, both programs' rules, creation modes, rotation and
// many processes appending and rotating at the same time.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <thread>

#include "common/log.h"
#include "unit/runtime_test_util.h"

using namespace morvel::common;
using namespace runtime_test;
namespace fs = std::filesystem;

namespace {

const std::string kStamp = R"(\[[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3}\])";

class LogTest : public ::testing::Test {
protected:
    void SetUp() override {
        REQUIRE_SANDBOX();
        set_log_variant(LogVariant::Cli);
        fs::remove_all("/dumps");
    }
    void TearDown() override { set_log_variant(LogVariant::Cli); }
};

mode_t modeOf(const char *path) {
    struct stat st{};
    EXPECT_EQ(stat(path, &st), 0) << path;
    return st.st_mode & 07777;
}

TEST_F(LogTest, CliLineFormatLevelsAndEscaping) {
    morvel_log(0, "cli/cli_exe", 96, "exeLiunxTaskCmd", "msg %d;x\n", 5);
    EXPECT_EQ(modeOf("/dumps"), 0700u);
    EXPECT_EQ(modeOf(kCliLog), 0600u);
    EXPECT_FALSE(fs::exists(kMonLog));

    morvel_log(2, "struct/s_morvel", 7, "f", "a;%s", "b;c");  // arguments are not escaped
    morvel_log(3, "s", 1, "g", "debug");
    morvel_log(7, "s", 1, "g", "seven");
    morvel_log(1, "s", 1, "g", "one");
    morvel_log(12345678, "s", 1, "g", "eight digits");
    morvel_log(0, "s", 1, "g", nullptr);  // dropped

    auto lines = linesOf(kCliLog);
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_TRUE(ereMatch(kStamp + R"( ERROR cli/cli_exe exeLiunxTaskCmd 96 msg 5\\;x)", lines[0]))
        << lines[0];
    EXPECT_EQ(lines[1], "");  // the message's own newline
    EXPECT_EQ(lines[2].substr(26), "INFO  struct/s_morvel f 7 a\\;b;c");
    EXPECT_EQ(lines[3].substr(26), "DEBUG s g 1 debug");
    EXPECT_EQ(lines[4].substr(26), "LEVEL[7] s g 1 seven");
    EXPECT_EQ(lines[5].substr(26), "LEVEL[1] s g 1 one");
    EXPECT_EQ(lines[6].substr(26), "LEVEL[12345678] s g 1 eight digits");
}

TEST_F(LogTest, LevelFourIsAShortRecordInTheMonitorLog) {
    morvel_log(4, "monitor/monitor", 3, "loop", "path %s changed;", "sdb");
    EXPECT_FALSE(fs::exists(kCliLog));
    auto lines = linesOf(kMonLog);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(ereMatch(kStamp + R"( path sdb changed\\;)", lines[0])) << lines[0];
    EXPECT_EQ(modeOf(kMonLog), 0600u);
}

TEST_F(LogTest, MonitorRulesNameWarnAndKeepSemicolons) {
    set_log_variant(LogVariant::Monitor);
    morvel_log(1, "monitor/monitor", 5, "f", "w;%d", 1);
    morvel_log(4, "monitor/monitor", 5, "f", "rec;");
    EXPECT_EQ(modeOf("/dumps"), 0700u);
    auto cli = linesOf(kCliLog);
    ASSERT_EQ(cli.size(), 1u);
    EXPECT_EQ(cli[0].substr(26), "WARN  monitor/monitor f 5 w;1");
    auto mon = linesOf(kMonLog);
    ASSERT_EQ(mon.size(), 1u);
    EXPECT_EQ(mon[0].substr(26), "rec;");
}

// Lines held by a thread (for both programs' rules) are written later exactly as they
// would have been then, timestamps aside; the thread writes nothing meanwhile.
TEST_F(LogTest, HeldLinesAreWrittenLaterAsTheyWouldHaveBeen) {
    std::string big(3000, 'x');
    for (LogVariant v : {LogVariant::Cli, LogVariant::Monitor}) {
        set_log_variant(v);
        fs::remove_all("/dumps");
        auto lines = [&] {
            morvel_log(0, "array/array", 7, "get_disk_page", "ret = %d;%s\n", -1, "a;b");
            morvel_log(4, "", 0, "", "rec;");
            morvel_log(0, "s", 1, "f", "%s", big.c_str());
        };
        lines();
        const std::string cli = slurp(kCliLog), mon = slurp(kMonLog);
        std::vector<HeldLine> held;
        std::thread([&] {
            LogHold hold(held);
            lines();
        }).join();
        EXPECT_EQ(held.size(), 3u);
        EXPECT_EQ(slurp(kCliLog) + slurp(kMonLog), cli + mon);  // nothing written meanwhile
        for (const HeldLine &l : held) logHeldLine(l);
        for (const char *log : {kCliLog, kMonLog}) {
            auto all = linesOf(log);
            ASSERT_EQ(all.size() % 2, 0u) << log;
            auto noStamp = [](const std::string &l) { return l.substr(std::min<size_t>(26, l.size())); };
            for (size_t i = 0; i < all.size() / 2; ++i)
                EXPECT_EQ(noStamp(all[i]), noStamp(all[i + all.size() / 2])) << log << " " << i;
        }
    }
}

TEST_F(LogTest, OverlongMessageIsCutButTheLineStaysWhole) {
    std::string big(3000, 'x');
    morvel_log(0, "s", 1, "f", "%s", big.c_str());
    morvel_log(0, "s", 2, "f", "next");
    std::string text = slurp(kCliLog);
    auto nl = text.find('\n');
    EXPECT_EQ(nl, 1022u);  // 1023 characters with the newline
    EXPECT_EQ(text.substr(nl + 1 + 26), "ERROR s f 2 next\n");
}

TEST_F(LogTest, UnusableDirectoryDropsLinesSilently) {
    std::ofstream("/dumps") << "not a directory";
    morvel_log(0, "s", 1, "f", "lost");
    EXPECT_EQ(slurp("/dumps"), "not a directory");
}

// /dumps opened up to others: a link planted as a log file is not followed, and the run
// says once that the folder is open.
TEST_F(LogTest, PlantedLinksAreNotFollowedAndAnOpenFolderIsReported) {
    fs::create_directories("/dumps");
    chmod("/dumps", 01777);
    std::ofstream("/tmp/victim") << "keep";
    symlink("/tmp/victim", "/dumps/morvel_monitor.log");
    morvel_log(4, "", 0, "", "change");
    morvel_log(0, "s", 1, "f", "second");
    EXPECT_EQ(slurp("/tmp/victim"), "keep");
    std::string cli = slurp("/dumps/morvel_cli.log");
    const std::string warning =
        "Directory /dumps/ is not owned by root or is writable by group or others (owner 0, mode 1777).";
    EXPECT_NE(cli.find(warning), std::string::npos) << cli;
    EXPECT_EQ(cli.find(warning), cli.rfind(warning)) << cli;
    EXPECT_NE(cli.find("ERROR s f 1 second"), std::string::npos);
    EXPECT_EQ(cli.find("change"), std::string::npos) << "the monitor's line stays out of the CLI log";
    // a hard link to another file under the name is not written either
    fs::remove("/dumps/morvel_cli.log");
    std::ofstream("/dumps/other") << "keep";
    ASSERT_EQ(link("/dumps/other", "/dumps/morvel_cli.log"), 0);
    morvel_log(0, "s", 1, "f", "third");
    EXPECT_EQ(slurp("/dumps/other"), "keep");
}

TEST_F(LogTest, InDebugPrintsNothing) {
    testing::internal::CaptureStdout();
    inDebug("trace %d;", 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

// Grows a log with one long line of filler to size bytes (the file ends with a line feed,
// as every log file does).
void padTo(const char *path, long size) {
    const long have = get_file_size(path);
    std::ofstream(path, std::ios::app) << std::string(static_cast<size_t>(size - have - 1), 'x') << '\n';
}

// Both files under both programs' rules: a file of exactly 10 MiB stays, one byte more is
// moved over the old backup, and the next line starts a new file.
TEST_F(LogTest, RotationPastTenMebibytes) {
    for (auto variant : {LogVariant::Cli, LogVariant::Monitor}) {
        for (int level : {0, 4}) {
            SCOPED_TRACE(testing::Message() << "monitor rules " << (variant == LogVariant::Monitor) << " level " << level);
            fs::remove_all("/dumps");
            set_log_variant(variant);
            const char *log = level == 4 ? kMonLog : kCliLog;
            const char *bk = level == 4 ? kMonBk : kCliBk;
            morvel_log(level, "s", 1, "f", "rotation probe");
            const long L = get_file_size(log);
            ASSERT_GT(L, 0);
            // a folder in the way of the rotation is moved aside (the CLI log); a file is replaced
            if (level == 0) fs::create_directories(std::string(bk) + "/in-the-way");
            else std::ofstream(bk) << "old backup";
            padTo(log, 10485760 - L);
            morvel_log(level, "s", 1, "f", "rotation probe");
            EXPECT_EQ(get_file_size(log), 10485760);
            if (level != 0) {
                EXPECT_EQ(slurp(bk), "old backup");
            }
            morvel_log(level, "s", 1, "f", "rotation probe");
            EXPECT_FALSE(fs::exists(log));
            EXPECT_EQ(get_file_size(bk), 10485760 + L);
            EXPECT_EQ(level == 0, fs::exists(std::string(bk) + ".moved-aside/in-the-way"));
            morvel_log(level, "s", 1, "f", "rotation probe");
            EXPECT_EQ(get_file_size(log), L);
            EXPECT_EQ(modeOf(log), 0600u);
        }
    }
    EXPECT_EQ(get_file_size("/dumps/none"), -1);
}

// Lines written one by one rotate right after the line that crosses the limit; a batch's
// lines go out together, in one write, and the file is rotated after them. While a batch
// collects its lines no lock is held: another process's line goes out at once, before them.
// A write that fails (a full disk) is cut back whole and the batch says so; a fragment that
// an earlier writer left is cut back before the next line.
TEST_F(LogTest, BatchWritesItsLinesTogetherAndCutsBackFailedWrites) {
    auto unstamped = [](const char *f) {
        std::string t = slurp(f), out;
        for (size_t i = 0; i < t.size(); ++i) {
            if (t[i] == '[' && (i == 0 || t[i - 1] == '\n' || t[i - 1] == '\0')) i += 24;
            else out += t[i];
        }
        return out;
    };
    for (bool batched : {false, true}) {
        fs::remove_all("/dumps");
        morvel_log(0, "s", 1, "f", "line %d", 0);
        const long L = get_file_size(kCliLog);
        padTo(kCliLog, 10485760 - 2 * L);
        std::optional<LogBatch> batch;
        if (batched) batch.emplace();
        for (int i = 1; i <= 5; ++i) morvel_log(0, "s", 1, "f", "line %d", i);
        batch.reset();
        EXPECT_EQ(get_file_size(kCliBk), 10485760 + (batched ? 3 : 1) * L);
        EXPECT_EQ(unstamped(kCliLog), batched ? "" : " ERROR s f 1 line 4\n ERROR s f 1 line 5\n");
    }

    fs::remove_all("/dumps");
    {
        LogBatch batch;
        morvel_log(0, "s", 1, "f", "first");
        EXPECT_TRUE(morvel::testfiles::inChildren(1, [](int) { morvel_log(0, "s", 2, "f", "other"); }));
        morvel_log(0, "s", 3, "f", "last");
        batch.finish();
        EXPECT_TRUE(batch.complete());
    }
    EXPECT_EQ(unstamped(kCliLog), " ERROR s f 2 other\n ERROR s f 1 first\n ERROR s f 3 last\n");

    // a /dumps of 8 KiB, filled up to a few bytes
    fs::remove_all("/dumps");
    fs::create_directories("/dumps");
    ASSERT_EQ(mount("tmpfs", "/dumps", "tmpfs", 0, "size=8k,mode=0700"), 0);
    morvel_log(0, "s", 1, "f", "before");
    const std::string before = slurp(kCliLog);
    morvel::testfiles::writeFile("/dumps/filler", std::string(8192 - 4096 - 10, 'x'));
    {
        LogBatch batch;
        for (int i = 0; i < 200; ++i) morvel_log(0, "s", 5, "f", "line %d of a batch that does not fit", i);
        batch.finish();
        EXPECT_FALSE(batch.complete());
    }
    EXPECT_EQ(slurp(kCliLog), before);  // nothing half-written
    // a fragment left by a writer that died mid-line is cut back before the next line
    std::remove("/dumps/filler");
    morvel::testfiles::writeFile(kCliLog, before + "[2026-01-01 00:00:00.000] ERROR s f 9 half a li");
    morvel_log(0, "s", 4, "f", "after");
    EXPECT_EQ(unstamped(kCliLog), " ERROR s f 1 before\n ERROR s f 4 after\n");
    umount2("/dumps", MNT_DETACH);
}

// A writer that opened the file before another process moved it to the backup must not
// write into the moved file once it gets the lock.
TEST_F(LogTest, WriterWaitingForTheLockFollowsARotation) {
    morvel_log(0, "s", 1, "f", "first");
    int fd = open(kCliLog, O_RDWR);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX), 0);
    pid_t pid = fork();
    if (pid == 0) {
        morvel_log(0, "s", 2, "f", "second");
        _exit(0);
    }
    // wait until the child is blocked on our lock
    bool waiting = false;
    for (int i = 0; i < 1000 && !waiting; ++i) {
        waiting = slurp("/proc/locks").find("-> FLOCK") != std::string::npos;
        if (!waiting) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_TRUE(waiting);
    ASSERT_EQ(rename(kCliLog, kCliBk), 0);  // as a rotation by another process would
    flock(fd, LOCK_UN);
    close(fd);
    int st = 0;
    waitpid(pid, &st, 0);
    EXPECT_EQ(linesOf(kCliBk).size(), 1u);
    auto now = linesOf(kCliLog);
    ASSERT_EQ(now.size(), 1u);
    EXPECT_EQ(now[0].substr(26), "ERROR s f 2 second");
}

// Eight processes, 20,000 lines of ~150 bytes each (about 24 MB: two rotations on the way),
// half of them in batches of 50 lines.
// Every line in the log and its backup is whole and unique, and for every writer the lines
// kept form one unbroken run up to its last line: only the overwritten first generation is
// missing.
TEST_F(LogTest, ConcurrentWritersAcrossRotations) {
    constexpr int kProcs = 8, kLines = 20000;
    EXPECT_TRUE(morvel::testfiles::inChildren(kProcs, [](int p) {
        std::string pad(100, static_cast<char>('a' + p));
        for (int i = 0; i < kLines; i += 50) {
            std::optional<LogBatch> batch;
            if (p % 2 == 1) batch.emplace();
            for (int j = i; j < i + 50; ++j) morvel_log(2, "t", p, "w", "p%d n%06d %s end", p, j, pad.c_str());
        }
    }));
    const long bkSize = get_file_size(kCliBk);
    EXPECT_GT(bkSize, 10485760);
    EXPECT_LE(bkSize, 10485760 + 50 * 200);  // rotated right after the line or batch that crossed the limit
    EXPECT_LE(get_file_size(kCliLog), 10485760);

    const Ere line(kStamp + R"( INFO  t w ([0-9]) p([0-9]) n([0-9]{6}) ([a-h]{100}) end)");
    std::map<int, std::set<int>> seen;
    size_t total = 0;
    for (const char *f : {kCliBk, kCliLog}) {
        for (const auto &l : linesOf(f)) {
            std::vector<std::string> m;
            ASSERT_TRUE(line.match(l, &m)) << f << ": " << l;
            int p = std::stoi(m[2]);
            ASSERT_EQ(std::stoi(m[1]), p);
            ASSERT_EQ(m[4], std::string(100, static_cast<char>('a' + p)));
            ASSERT_TRUE(seen[p].insert(std::stoi(m[3])).second) << "duplicate " << l;
            ++total;
        }
    }
    // (a batched writer, being quicker, may have ended in the overwritten first generation)
    for (int p = 0; p < kProcs; p += 2) ASSERT_EQ(seen.count(p), 1u) << "writer " << p;
    for (auto &[p, nums] : seen) {
        EXPECT_EQ(*nums.rbegin(), kLines - 1) << "writer " << p;
        EXPECT_EQ(static_cast<size_t>(*nums.rbegin() - *nums.begin() + 1), nums.size()) << "gap for writer " << p;
    }
    EXPECT_LT(total, static_cast<size_t>(kProcs * kLines));  // the first generation was overwritten
}

}  // namespace
