// The snapshot file: its format, the reader's handling of damaged files, and the writer's
// guarantees (whole old or whole new content after a crash, a failed write or a race
// between two writers).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/log.h"
#include "monitor/monitor.h"
#include "monitor_test_util.h"

namespace {

using namespace morvel;
namespace fs = std::filesystem;
using monitor::readLunPathToFile;
using monitor::writeLunPathToFile;
using testutil::readFile;
using testutil::recordLines;
using testutil::writeFile;

std::vector<std::string> bigTopology(const std::string &tag, int n) {
    std::vector<std::string> lines;
    for (int i = 0; i < n; ++i) {
        lines.push_back("mpath" + tag + std::to_string(i / 4) + ",36000" + tag + std::to_string(i / 4) +
                        ",8:" + std::to_string(i) + ",sd" + tag + std::to_string(i) + ",ready,active,running,");
    }
    return lines;
}

std::string asFile(const std::vector<std::string> &lines) {
    std::string s;
    for (const auto &l : lines) s += l + "\n";
    return s;
}

class SnapshotTest : public testutil::MonitorSandboxTest {
protected:
    void SetUp() override {
        MonitorSandboxTest::SetUp();
        if (IsSkipped()) return;
        dir = "/tmp/snapshot-test";
        fs::remove_all(dir);
        fs::create_directories(dir);
        path = dir + "/data.morvel";
    }
    std::string cliLog() { return readFile("/dumps/morvel_cli.log"); }

    std::string dir, path;
    structs::LunPathList list;
};

TEST_F(SnapshotTest, WritesOneCommaTerminatedLinePerRecordWithOwnerOnlyMode) {
    testutil::fillRecords(list.anchor(), {"A,W,,D,ready,active,running,", "mpathb,3600b,,,,,,",
                                          "mpathc,3600c,8:16,sdb,faulty,enabled,offline,"});
    ASSERT_TRUE(writeLunPathToFile(list.anchor(), path.c_str()));
    EXPECT_EQ(readFile(path), "A,W,,D,ready,active,running,\n"
                              "mpathb,3600b,,,,,,\n"
                              "mpathc,3600c,8:16,sdb,faulty,enabled,offline,\n");
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_FALSE(fs::exists(path + ".tmp"));
    EXPECT_NE(cliLog().find("Write lun path infomation to file successfully."), std::string::npos);
}

TEST_F(SnapshotTest, ReadingBackGivesTheSameRecordsAtFullWidth) {
    const std::string a30(30, 'a'), w65(65, 'w'), n30(30, 'n');
    std::vector<std::string> lines = bigTopology("x", 9);
    lines.push_back(a30 + "," + w65 + "," + n30 + "," + n30 + "," + n30 + "," + n30 + "," + n30 + ",");
    lines.push_back("p,w9,,,,,,");
    testutil::fillRecords(list.anchor(), lines);
    ASSERT_TRUE(writeLunPathToFile(list.anchor(), path.c_str()));

    structs::LunPathList back;
    testutil::fillRecords(back.anchor(), bigTopology("old", 30));  // longer list before reading
    ASSERT_TRUE(readLunPathToFile(back.anchor(), path.c_str()));
    EXPECT_EQ(recordLines(back.anchor()), lines);
}

// Commas and backslashes inside a field are escaped, so such a record reads back whole.
TEST_F(SnapshotTest, SeparatorInAFieldIsEscapedAndReadBack) {
    testutil::fillRecords(list.anchor(), {"a,w1,8:0,sda,ready,active,running,"});
    structs::s_lunPath *r = list.anchor()->next;
    std::strcpy(r->lun_alias, "a,b,c");
    std::strcpy(r->path_status, "x\\y\\");
    ASSERT_TRUE(writeLunPathToFile(list.anchor(), path.c_str()));
    EXPECT_EQ(readFile(path), "a\\,b\\,c,w1,8:0,sda,x\\\\y\\\\,active,running,\n");
    structs::LunPathList back;
    ASSERT_TRUE(readLunPathToFile(back.anchor(), path.c_str()));
    EXPECT_STREQ(back.anchor()->next->lun_alias, "a,b,c");
    EXPECT_STREQ(back.anchor()->next->path_status, "x\\y\\");
    EXPECT_STREQ(back.anchor()->next->morvel_status, "running");
}

// Deleting every LUN must be remembered: the empty topology is written as an empty file,
// which reads back as an empty list.
TEST_F(SnapshotTest, EmptyListReplacesTheSnapshotWithAnEmptyFile) {
    testutil::fillRecords(list.anchor(), {"a,w,1:1,sda,ready,active,running,"});
    ASSERT_TRUE(writeLunPathToFile(list.anchor(), path.c_str()));
    structs::initLunpath(list.anchor());
    ASSERT_TRUE(writeLunPathToFile(list.anchor(), path.c_str()));
    EXPECT_EQ(readFile(path), "");
    structs::LunPathList back;
    testutil::fillRecords(back.anchor(), {"x,y,,,,,,"});
    EXPECT_TRUE(readLunPathToFile(back.anchor(), path.c_str()));
    EXPECT_EQ(structs::countLunpath(back.anchor()), 0u);
}

TEST_F(SnapshotTest, ReaderStopsAtDamageKeepingEarlierLines) {
    // A line with six commas: false, earlier lines kept, the rest of the line logged.
    writeFile(path, "a,w1,8:0,sda,ready,active,running,\n"
                    "b,w2,8:16,sdb,ready,active,running\n"
                    "c,w3,8:32,sdc,ready,active,running,\n");
    EXPECT_FALSE(readLunPathToFile(list.anchor(), path.c_str()));
    EXPECT_EQ(recordLines(list.anchor()), std::vector<std::string>{"a,w1,8:0,sda,ready,active,running,"});
    EXPECT_NE(cliLog().find("Read lunpath field failed form string [running?]."), std::string::npos);

    // An empty line ends the reading successfully; what follows is not read.
    writeFile(path, "a,w1,8:0,sda,ready,active,running,\n\nc,w3,8:32,sdc,ready,active,running,\n");
    EXPECT_TRUE(readLunPathToFile(list.anchor(), path.c_str()));
    EXPECT_EQ(structs::countLunpath(list.anchor()), 1u);

    // Over-long fields are cut; a last line without its line feed still counts.
    writeFile(path, std::string(40, 'L') + ",w1," + std::string(40, 'i') + ",sda,ready,active,running,\n"
                    "b,w2,,,,,,");
    EXPECT_TRUE(readLunPathToFile(list.anchor(), path.c_str()));
    EXPECT_EQ(recordLines(list.anchor()),
              (std::vector<std::string>{std::string(30, 'L') + ",w1," + std::string(30, 'i') +
                                            ",sda,ready,active,running,",
                                        "b,w2,,,,,,"}));

    // No file: false, and the list keeps what it held.
    fs::remove(path);
    EXPECT_FALSE(readLunPathToFile(list.anchor(), path.c_str()));
    EXPECT_EQ(structs::countLunpath(list.anchor()), 2u);
    EXPECT_NE(cliLog().find("Open file failed. file: " + path + "."), std::string::npos);
}

TEST_F(SnapshotTest, FieldReaderSplitsAtCommas) {
    char text[] = "abc,,rest";
    char field[31];
    char *p = monitor::readFieldFromStr(text, field);
    ASSERT_NE(p, nullptr);
    EXPECT_STREQ(field, "abc");
    p = monitor::readFieldFromStr1(p, field, 30);
    ASSERT_NE(p, nullptr);
    EXPECT_STREQ(field, "");
    EXPECT_EQ(monitor::readFieldFromStr(p, field), nullptr);
    char shortText[] = "abcdef,";
    char narrow[4];
    ASSERT_NE(monitor::readFieldFromStr1(shortText, narrow, 3), nullptr);
    EXPECT_STREQ(narrow, "abc");
}

// A write that fails half-way (here: the file system is full) leaves the old snapshot
// whole and no temporary file behind.
TEST_F(SnapshotTest, FailedWriteKeepsThePreviousSnapshot) {
    const std::string small = dir + "/small";
    fs::create_directories(small);
    ASSERT_EQ(::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=64k"), 0) << "needs the sandbox (root)";
    const std::string p = small + "/data.morvel";
    testutil::fillRecords(list.anchor(), bigTopology("a", 10));
    ASSERT_TRUE(writeLunPathToFile(list.anchor(), p.c_str()));
    const std::string before = readFile(p);

    testutil::fillRecords(list.anchor(), bigTopology("b", 2000));  // about 100 KiB
    EXPECT_FALSE(writeLunPathToFile(list.anchor(), p.c_str()));
    EXPECT_EQ(readFile(p), before);
    EXPECT_FALSE(fs::exists(p + ".tmp"));
    EXPECT_NE(cliLog().find("to file failed. Expected write"), std::string::npos);
    ::umount(small.c_str());

    // A path whose directory does not exist.
    EXPECT_FALSE(writeLunPathToFile(list.anchor(), (dir + "/missing/data.morvel").c_str()));
    EXPECT_NE(cliLog().find("Open file failed. file: " + dir + "/missing/data.morvel.tmp."), std::string::npos);
}

// A second writer waits while the first holds the lock; a leftover temporary file of a
// crashed writer does not leak into the snapshot.
TEST_F(SnapshotTest, SecondWriterWaitsForTheLock) {
    writeFile(path + ".tmp", "garbage left by a crash\n");
    int held = ::open((path + ".lock").c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_GE(held, 0);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);
    testutil::fillRecords(list.anchor(), {"a,w1,8:0,sda,ready,active,running,"});
    pid_t child = ::fork();
    if (child == 0) _exit(writeLunPathToFile(list.anchor(), path.c_str()) ? 0 : 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    int status = 0;
    EXPECT_EQ(::waitpid(child, &status, WNOHANG), 0) << "the writer did not wait for the lock";
    EXPECT_FALSE(fs::exists(path));
    ::flock(held, LOCK_UN);
    ::close(held);
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(readFile(path), "a,w1,8:0,sda,ready,active,running,\n");
    EXPECT_FALSE(fs::exists(path + ".tmp"));
}

// A file linked in under the temporary name (hard or symbolic) is replaced, never written.
TEST_F(SnapshotTest, PlantedTemporaryLinkIsNotFollowed) {
    const std::string victim = dir + "/victim";
    writeFile(victim, "keep\n");
    ::chmod(victim.c_str(), 0644);
    testutil::fillRecords(list.anchor(), {"a,w1,8:0,sda,ready,active,running,"});
    for (bool hard : {true, false}) {
        ASSERT_EQ(hard ? ::link(victim.c_str(), (path + ".tmp").c_str())
                       : ::symlink(victim.c_str(), (path + ".tmp").c_str()), 0);
        ASSERT_TRUE(writeLunPathToFile(list.anchor(), path.c_str()));
        EXPECT_EQ(readFile(victim), "keep\n");
        EXPECT_EQ(fs::status(victim).permissions(), fs::perms(0644));
        EXPECT_EQ(readFile(path), "a,w1,8:0,sda,ready,active,running,\n");
    }
}

// Two writers racing while a reader keeps reading: every read sees one whole snapshot.
TEST_F(SnapshotTest, RacingWritersNeverExposeAPartialSnapshot) {
    const auto a = bigTopology("a", 1500), b = bigTopology("b", 1500);
    const std::string fa = asFile(a), fb = asFile(b);
    testutil::fillRecords(list.anchor(), a);
    ASSERT_TRUE(writeLunPathToFile(list.anchor(), path.c_str()));
    pid_t kids[2];
    for (int k = 0; k < 2; ++k) {
        kids[k] = ::fork();
        if (kids[k] == 0) {
            structs::LunPathList mine;
            testutil::fillRecords(mine.anchor(), k == 0 ? a : b);
            bool ok = true;
            for (int i = 0; i < 150; ++i) ok = writeLunPathToFile(mine.anchor(), path.c_str()) && ok;
            _exit(ok ? 0 : 1);
        }
    }
    int reads = 0, running = 2;
    while (running > 0) {
        const std::string got = readFile(path);
        ASSERT_TRUE(got == fa || got == fb) << "torn snapshot of " << got.size() << " bytes";
        ++reads;
        for (pid_t &k : kids) {
            int status = 0;
            if (k > 0 && ::waitpid(k, &status, WNOHANG) == k) {
                EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
                k = -1;
                --running;
            }
        }
    }
    EXPECT_GT(reads, 0);  // at least one look while both writers ran (fewer on a loaded machine)
}

// A writer killed at random moments (most of them in the middle of a write) always leaves
// either the previous or the new snapshot, never a mix.
TEST_F(SnapshotTest, KillDuringWriteLeavesAWholeSnapshot) {
    const auto a = bigTopology("a", 3000), b = bigTopology("b", 2500);
    const std::string fa = asFile(a), fb = asFile(b);
    structs::LunPathList la, lb;
    testutil::fillRecords(la.anchor(), a);
    testutil::fillRecords(lb.anchor(), b);
    ASSERT_TRUE(writeLunPathToFile(la.anchor(), path.c_str()));

    // the kills spread over about twice what a child takes to start and write a pair, in
    // this build on this machine (a sanitizer build under load forks slowly)
    const auto t0 = std::chrono::steady_clock::now();
    if (pid_t c = ::fork(); c == 0) {
        writeLunPathToFile(lb.anchor(), path.c_str());
        writeLunPathToFile(la.anchor(), path.c_str());
        ::_exit(0);
    } else {
        ::waitpid(c, nullptr, 0);
    }
    const auto pairUs = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0);
    const unsigned spreadUs = std::max<unsigned>(4000, 2 * static_cast<unsigned>(pairUs.count()));
    std::mt19937 rng(12345);
    int midWrite = 0, seenA = 0, seenB = 0;
    for (int round = 0; round < 220; ++round) {
        pid_t child = ::fork();
        if (child == 0) {
            for (;;) {
                writeLunPathToFile(lb.anchor(), path.c_str());
                writeLunPathToFile(la.anchor(), path.c_str());
            }
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200 + rng() % spreadUs));
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
        if (fs::exists(path + ".tmp")) ++midWrite;
        const std::string got = readFile(path);
        ASSERT_TRUE(got == fa || got == fb) << "round " << round << ": torn snapshot of " << got.size()
                                            << " bytes";
        (got == fa ? seenA : seenB)++;
        structs::LunPathList back;
        ASSERT_TRUE(readLunPathToFile(back.anchor(), path.c_str()));
        ASSERT_EQ(structs::countLunpath(back.anchor()), got == fa ? a.size() : b.size());
    }
    EXPECT_GT(midWrite, 20) << "the kills did not land in the middle of writes";
    EXPECT_GT(seenA, 0);
    EXPECT_GT(seenB, 0);
}

}  // namespace
