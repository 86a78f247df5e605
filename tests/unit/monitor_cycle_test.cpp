// The monitor cycle over sequences of `multipath -ll` outputs (a fake `multipath` first in
// PATH), the change lines in /dumps/morvel_monitor.log, the snapshot across restarts, and
// the pacing of the loop.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstring>
#include <map>
#include <tuple>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <string>
#include <vector>

#include "common/log.h"
#include "monitor/monitor.h"
#include "monitor/health.h"
#include "monitor_test_util.h"

// Counts the C++ allocations of the whole program, to check that a steady cycle makes none.
// The replacement pairs malloc with free; the compiler cannot see that once it inlines it.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
std::atomic<long> g_news{0};
void *operator new(size_t n) {
    ++g_news;
    if (void *p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void *operator new(size_t n, const std::nothrow_t &) noexcept {
    ++g_news;
    return std::malloc(n ? n : 1);
}
void operator delete(void *p) noexcept { std::free(p); }
void operator delete(void *p, size_t) noexcept { std::free(p); }
void operator delete(void *p, const std::nothrow_t &) noexcept { std::free(p); }

namespace {

using namespace morvel;
namespace fs = std::filesystem;
using Lines = std::vector<std::string>;
using testutil::readFile;
using testutil::writeFile;

const std::string kFixtures = fs::path(__FILE__).parent_path().parent_path() / "fixtures" / "mpath";
const std::string kSnapshot = "/dumps/data.morvel";

struct Group {
    std::string status;
    Lines paths;  // "2:0:0:0 sdc 8:32 active ready running"
};

// One LUN of the array as multipath -ll prints it.
std::string lun(const std::string &alias, const std::string &wwid, int dm, const std::vector<Group> &groups) {
    std::string s = alias + " (" + wwid + ") dm-" + std::to_string(dm) + " KELDOR,ZRN\n";
    s += "size=16M features='0' hwhandler='1 alua' wp=rw\n";
    for (size_t g = 0; g < groups.size(); ++g) {
        const bool lastGroup = g + 1 == groups.size();
        s += std::string(lastGroup ? "`-+- " : "|-+- ") + "policy='service-time 0' prio=50 status=" +
             groups[g].status + "\n";
        for (size_t p = 0; p < groups[g].paths.size(); ++p) {
            const bool lastPath = p + 1 == groups[g].paths.size();
            s += std::string(lastGroup ? "  " : "| ") + (lastPath ? "`- " : "|- ") + groups[g].paths[p] + "\n";
        }
    }
    return s;
}

std::string lunDeleted(const std::string &a, const std::string &w) {
    return "The lun is deleted, the properties are [ path_alias: " + a + ", wwid: " + w + " ].";
}
std::string lunCreated(const std::string &a, const std::string &w) {
    return "The lun is created, the properties are [ path_alias: " + a + ", wwid: " + w + " ].";
}
std::string pathLine(const char *what, const std::string &a, const std::string &w, const std::string &n,
                     const std::string &st = "ready", const std::string &grp = "active",
                     const std::string &state = "running") {
    return std::string("The path is ") + what + ", the properties are [ path_alias: " + a + ", wwid: " + w +
           ", dev_name: " + n + ", path_status: " + st + ", path_group_status: " + grp +
           ", morvel_status:" + state + " ].";
}
std::string changed(const char *what, const std::string &from, const std::string &to, const std::string &n) {
    return std::string("The ") + what + " is changed from [" + from + "] to [" + to +
           "] for the path [ dev_name: " + n + " ].";
}

const std::string kA = "3600140500000000000000000000000a1";
const std::string kB = "3600140500000000000000000000000b2";
const std::string kC = "3600140500000000000000000000000c3";
const std::string lunA = lun("mpatha", kA, 0, {{"active", {"2:0:0:0 sdc 8:32 active ready running",
                                                           "3:0:0:0 sdd 8:48 active ready running"}}});
const std::string lunB = lun("mpathb", kB, 1, {{"active", {"0:0:0:1 sda 8:0  active ready running",
                                                           "1:0:0:1 sdb 8:16 active ready running"}}});
const std::string lunC = lun("mpathc", kC, 2, {{"active", {"4:0:0:2 sde 8:64 active ready running",
                                                           "5:0:0:2 sdf 8:80 active ready running"}}});

// A monitor-log line begins with its timestamp alone: "[2024-05-06 07:08:09.045] ".
bool hasStamp(const std::string &l) {
    const std::string form = "[dddd-dd-dd dd:dd:dd.ddd] ";
    if (l.size() < form.size()) return false;
    for (size_t i = 0; i < form.size(); ++i) {
        if (form[i] == 'd' ? !std::isdigit(static_cast<unsigned char>(l[i])) : l[i] != form[i]) return false;
    }
    return true;
}

class MonitorCycleTest : public testutil::MonitorSandboxTest {
protected:
    void SetUp() override {
        MonitorSandboxTest::SetUp();
        if (IsSkipped()) return;
        fs::remove_all("/dumps");
        // commands run with a fixed PATH: the fake sits first in it (the sandbox's root)
        fs::create_directories("/usr/local/sbin");
        writeFile("/usr/local/sbin/multipath",
                  "#!/bin/sh\ncat /tmp/fake-topology\nexit $(cat /tmp/fake-rc)\n");
        fs::permissions("/usr/local/sbin/multipath", fs::perms::owner_all);
        setTopology("");
        monitor::initMonitor();
    }

    void setTopology(const std::string &text, int rc = 0) {
        writeFile("/tmp/fake-topology", text);
        writeFile("/tmp/fake-rc", std::to_string(rc) + "\n");
    }
    // Runs one cycle and returns the change lines it logged, without their timestamps. Every
    // line has its event for the journal, with the line as its message.
    Lines cycle() {
        monitor::oneMonitor(state_);
        const Lines lines = newMonitorLines();
        Lines messages;
        for (const monitor::ChangeEvent &e : state_.events) messages.push_back(e.message);
        EXPECT_EQ(messages, lines);
        return lines;
    }
    Lines newMonitorLines() {
        const std::string all = readFile("/dumps/morvel_monitor.log");
        const std::string fresh = all.substr(std::min(seen_, all.size()));
        seen_ = all.size();
        Lines out;
        for (const auto &l : testutil::splitLines(fresh)) {
            EXPECT_TRUE(hasStamp(l)) << l;
            out.push_back(hasStamp(l) ? l.substr(26) : l);
        }
        return out;
    }
    Lines snapshotLines() { return testutil::splitLines(readFile(kSnapshot)); }
    ino_t snapshotInode() {
        struct stat st {};
        return ::stat(kSnapshot.c_str(), &st) == 0 ? st.st_ino : 0;
    }

    size_t seen_ = 0;
    monitor::CycleState state_;
};

TEST_F(MonitorCycleTest, FirstStartReportsEverythingThenStaysQuiet) {
    setTopology(readFile(kFixtures + "/scsi-debug-2-luns.multipath-ll"));
    EXPECT_EQ(cycle(), (Lines{lunCreated("mpatha", "333333330000007d0"),
                              lunCreated("mpathb", "333333330000007d1"),
                              pathLine("created", "mpatha", "333333330000007d0", "sda"),
                              pathLine("created", "mpatha", "333333330000007d0", "sdc"),
                              pathLine("created", "mpathb", "333333330000007d1", "sdb"),
                              pathLine("created", "mpathb", "333333330000007d1", "sdd")}));
    EXPECT_EQ(snapshotLines(), (Lines{"mpatha,333333330000007d0,8:0,sda,ready,active,running,",
                                      "mpatha,333333330000007d0,8:32,sdc,ready,active,running,",
                                      "mpathb,333333330000007d1,8:16,sdb,ready,active,running,",
                                      "mpathb,333333330000007d1,8:48,sdd,ready,active,running,"}));
    const ino_t ino = snapshotInode();
    EXPECT_EQ(cycle(), Lines{});
    EXPECT_EQ(snapshotInode(), ino) << "an unchanged topology rewrote the snapshot";
}

// Real captures. A snapshot of a monitor that did not recognise NVMe namespaces holds the
// SCSI LUNs only: the first cycle reports the NVMe LUN and its paths as created, once, and
// nothing for the SCSI LUNs. An NVMe path's checker state is watched like a SCSI path's; the
// device-mapper state (4th word) of neither is.
TEST_F(MonitorCycleTest, NvmeNamespacesAreWatchedFromTheFirstCycleAfterAnUpgrade) {
    const std::string is = "360014050123abcd456789ef012345678", sd = "333333330000007d0";
    const std::string nv = "uuid.4b454c44-4f52-5a52-4e00-000000000001";
    const Lines scsiOnly{"mpatha," + is + ",8:32,sdc,ready,active,running,",
                         "mpatha," + is + ",8:48,sdd,ready,active,running,",
                         "mpathb," + sd + ",8:0,sda,ready,active,running,",
                         "mpathb," + sd + ",8:16,sdb,ready,active,running,"};
    std::string old;
    for (const auto &l : scsiOnly) old += l + "\n";
    writeFile(kSnapshot, old);
    monitor::initMonitor();
    const std::string topo = readFile(kFixtures + "/mixed-3-maps.multipath-ll");
    setTopology(topo);
    EXPECT_EQ(cycle(), (Lines{lunCreated("mpathc", nv), pathLine("created", "mpathc", nv, "nvme0n1"),
                              pathLine("created", "mpathc", nv, "nvme1n1")}));
    Lines all = scsiOnly;
    all.push_back("mpathc," + nv + ",259:0,nvme0n1,ready,active,running,");
    all.push_back("mpathc," + nv + ",259:1,nvme1n1,ready,active,running,");
    EXPECT_EQ(snapshotLines(), all);

    setTopology(readFile(kFixtures + "/mixed-3-maps-one-path-failed-each.multipath-ll"));
    EXPECT_EQ(cycle(), Lines{});
    std::string faulty = topo;
    const std::string ready = "nvme1n1 259:1 active ready running";
    faulty.replace(faulty.find(ready), ready.size(), "nvme1n1 259:1 failed faulty running");
    setTopology(faulty);
    EXPECT_EQ(cycle(), Lines{changed("path status", "ready", "faulty", "nvme1n1")});
    setTopology(topo);
    EXPECT_EQ(cycle(), Lines{changed("path status", "faulty", "ready", "nvme1n1")});
    monitor::initMonitor();
    EXPECT_EQ(cycle(), Lines{});
}

TEST_F(MonitorCycleTest, PathStateChangesGiveOneLineEachInFieldOrder) {
    setTopology(lunA + lunB);
    cycle();
    setTopology(lunA + lun("mpathb", kB, 1, {{"active", {"0:0:0:1 sda 8:0  failed faulty running",
                                                         "1:0:0:1 sdb 8:16 active ready running"}}}));
    EXPECT_EQ(cycle(), Lines{changed("path status", "ready", "faulty", "sda")});
    EXPECT_EQ(snapshotLines()[2], "mpathb," + kB + ",8:0,sda,faulty,active,running,");

    // Checker, group and kernel state of one path change together: status, group, morvel.
    setTopology(lunA + lun("mpathb", kB, 1, {{"enabled", {"0:0:0:1 sda 8:0  failed ghost offline",
                                                          "1:0:0:1 sdb 8:16 active ready running"}}}));
    EXPECT_EQ(cycle(), (Lines{changed("path status", "faulty", "ghost", "sda"),
                              changed("group status", "active", "enabled", "sda"),
                              changed("morvel status", "running", "offline", "sda"),
                              changed("group status", "active", "enabled", "sdb")}));

    // A path that moves to another map: alias and WWID change lines for it, nothing else.
    setTopology(lunA + lun("mpathb", kB, 1, {{"enabled", {"0:0:0:1 sda 8:0  failed ghost offline"}}}) +
                lun("mpathc", kC, 2, {{"active", {"1:0:0:1 sdb 8:16 active ready running"}}}));
    EXPECT_EQ(cycle(), (Lines{lunCreated("mpathc", kC), changed("path alias", "mpathb", "mpathc", "sdb"),
                              changed("lun wwid", kB, kC, "sdb"),
                              changed("group status", "enabled", "active", "sdb")}));
}

TEST_F(MonitorCycleTest, LunWithTwoPathsDisappearsAndComesBack) {
    setTopology(lunA + lunB + lunC);
    cycle();
    setTopology(lunA + lunC);
    EXPECT_EQ(cycle(), (Lines{lunDeleted("mpathb", kB), pathLine("deleted", "mpathb", kB, "sda"),
                              pathLine("deleted", "mpathb", kB, "sdb")}));
    EXPECT_EQ(snapshotLines().size(), 4u);
    setTopology(lunA + lunB + lunC);
    EXPECT_EQ(cycle(), (Lines{lunCreated("mpathb", kB), pathLine("created", "mpathb", kB, "sda"),
                              pathLine("created", "mpathb", kB, "sdb")}));
}

TEST_F(MonitorCycleTest, LunThatLosesAllItsPathsKeepsOnePathlessRecord) {
    setTopology(lunA + lunB);
    cycle();
    setTopology(lunA + lun("mpathb", kB, 1, {}));
    EXPECT_EQ(cycle(), (Lines{pathLine("deleted", "mpathb", kB, "sda"), pathLine("deleted", "mpathb", kB, "sdb"),
                              pathLine("created", "mpathb", kB, "", "", "", "")}));
    EXPECT_EQ(snapshotLines().back(), "mpathb," + kB + ",,,,,,");
}

// Once its paths are all gone, multipathd shows the map without vendor and product. It stays
// the array's LUN, known from the previous records or the snapshot, with its pathless record,
// until the map itself is gone.
TEST_F(MonitorCycleTest, MapThatLostItsPathsStaysUntilItIsGone) {
    const std::string bare = "size=16M features='0' hwhandler='0' wp=rw\n";
    const std::string bareB = "mpathb (" + kB + ") dm-1 ##,##\n" + bare;
    setTopology(lunA + lunB);
    cycle();
    setTopology(lunA + bareB + "mpathz (3600z) dm-9 ##,##\n" + bare);  // mpathz: never seen
    EXPECT_EQ(cycle(), (Lines{pathLine("deleted", "mpathb", kB, "sda"), pathLine("deleted", "mpathb", kB, "sdb"),
                              pathLine("created", "mpathb", kB, "", "", "", "")}));
    setTopology(lunA + "mpathb (" + kB + ") dm-1\n" + bare);  // older multipath-tools
    EXPECT_EQ(cycle(), Lines{});
    structs::initLunpath(monitor::g_pOldLunPath);  // no previous records: the snapshot knows it
    EXPECT_EQ(cycle().size(), 5u);
    EXPECT_EQ(snapshotLines().back(), "mpathb," + kB + ",,,,,,");
    setTopology(lunA);
    EXPECT_EQ(cycle(), (Lines{lunDeleted("mpathb", kB), pathLine("deleted", "mpathb", kB, "", "", "", "")}));
}

TEST_F(MonitorCycleTest, FailedQueryReportsNothingUntilItRecovers) {
    setTopology(lunA + lunB);
    cycle();
    const Lines before = snapshotLines();
    setTopology(lunA, 1);  // multipath fails while mpathb goes away
    EXPECT_EQ(cycle(), Lines{});
    EXPECT_EQ(cycle(), Lines{});
    EXPECT_EQ(snapshotLines(), before);
    const std::string cli = readFile("/dumps/morvel_cli.log");
    EXPECT_NE(cli.find("Query Morvel infomation failed. Error message: Error(0003): Execute system command failed."),
              std::string::npos);
    EXPECT_NE(cli.find("Get lun and path information failed. Error message: Error(0003): Execute system command "
                       "failed."),
              std::string::npos);

    setTopology(lunA);  // recovered: the change is reported against the last good records
    EXPECT_EQ(cycle(), (Lines{lunDeleted("mpathb", kB), pathLine("deleted", "mpathb", kB, "sda"),
                              pathLine("deleted", "mpathb", kB, "sdb")}));
}

// Once every LUN is gone the snapshot is emptied, so a restart neither repeats the
// deletions nor misses LUNs that come back.
TEST_F(MonitorCycleTest, AllLunsGoneEmptiesTheSnapshot) {
    setTopology(lunA + lunB);
    cycle();
    setTopology("");
    EXPECT_EQ(cycle().size(), 6u);
    EXPECT_TRUE(fs::exists(kSnapshot));
    EXPECT_EQ(readFile(kSnapshot), "");

    monitor::initMonitor();  // restart
    EXPECT_EQ(cycle(), Lines{});
    setTopology(lunB);
    EXPECT_EQ(cycle(), (Lines{lunCreated("mpathb", kB), pathLine("created", "mpathb", kB, "sda"),
                              pathLine("created", "mpathb", kB, "sdb")}));
}

TEST_F(MonitorCycleTest, RestartReportsChangesMadeWhileDown) {
    setTopology(lunA + lunB);
    cycle();
    monitor::initMonitor();
    EXPECT_EQ(cycle(), Lines{});  // same topology after a restart: nothing

    monitor::initMonitor();
    setTopology(lunB + lunC);  // while down: mpatha went, mpathc came
    EXPECT_EQ(cycle(), (Lines{lunDeleted("mpatha", kA), lunCreated("mpathc", kC),
                              pathLine("deleted", "mpatha", kA, "sdc"), pathLine("deleted", "mpatha", kA, "sdd"),
                              pathLine("created", "mpathc", kC, "sde"), pathLine("created", "mpathc", kC, "sdf")}));
}

TEST_F(MonitorCycleTest, MalformedSnapshotLineKeepsTheLinesBeforeIt) {
    fs::create_directories("/dumps");
    writeFile(kSnapshot, "mpatha," + kA + ",8:32,sdc,ready,active,running,\n"
                         "mpatha," + kA + ",8:48,sdd,ready,active\n");
    monitor::initMonitor();
    setTopology(lunA);
    EXPECT_EQ(cycle(), Lines{pathLine("created", "mpatha", kA, "sdd")});
    EXPECT_EQ(snapshotLines().size(), 2u);
    EXPECT_NE(readFile("/dumps/morvel_cli.log").find("Read lunpath field failed form string [active?]."),
              std::string::npos);
}

// A snapshot that could not be written is written by the next cycle, even without change,
// so a restart does not report the same changes again.
TEST_F(MonitorCycleTest, FailedSnapshotWriteIsRetried) {
    setTopology(lunA);
    cycle();
    fs::create_directories(kSnapshot + ".tmp");  // blocks the writer
    setTopology(lunA + lunB);
    EXPECT_EQ(cycle().size(), 3u);
    EXPECT_EQ(snapshotLines().size(), 2u);
    fs::remove(kSnapshot + ".tmp");
    EXPECT_EQ(cycle(), Lines{});
    EXPECT_EQ(snapshotLines().size(), 4u);
    monitor::initMonitor();
    EXPECT_EQ(cycle(), Lines{});
}

// Change lines that cannot reach the log (a full /dumps, a planted link) are not lost: the
// snapshot and the previous records stay, and the next cycle logs the same changes again.
TEST_F(MonitorCycleTest, ChangeLinesThatCannotBeWrittenAreLoggedAgain) {
    setTopology(lunA);
    cycle();
    const Lines before = snapshotLines();
    fs::rename("/dumps/morvel_monitor.log", "/dumps/kept.log");
    ASSERT_EQ(::symlink("/nowhere", "/dumps/morvel_monitor.log"), 0);  // never followed: no log
    setTopology(lunA + lunB);
    monitor::oneMonitor(state_);
    EXPECT_EQ(snapshotLines(), before);
    fs::remove("/dumps/morvel_monitor.log");
    fs::rename("/dumps/kept.log", "/dumps/morvel_monitor.log");
    EXPECT_EQ(cycle().size(), 3u);  // the LUN and its two paths, now
    EXPECT_EQ(snapshotLines().size(), 4u);
}

// A journald stand-in: a datagram socket at path whose datagrams are read back as fields.
struct JournalReader {
    explicit JournalReader(const std::string &path) : path(path) {
        ::unlink(path.c_str());
        fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::memcpy(addr.sun_path, path.data(), path.size());
        EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    }
    ~JournalReader() { ::close(fd); }
    // The next datagram's KEY=value fields, empty when none is waiting.
    std::map<std::string, std::string> next() {
        char buf[4096];
        const ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        std::map<std::string, std::string> fields;
        for (const auto &l : testutil::splitLines(std::string(buf, n > 0 ? static_cast<size_t>(n) : 0)))
            fields[l.substr(0, l.find('='))] = l.substr(l.find('=') + 1);
        return fields;
    }
    std::string path;
    int fd;
};

// The events of a path that fails and recovers reach the journal socket with their fields and
// priorities; a missing socket sends nothing, a full one never blocks the sender.
TEST_F(MonitorCycleTest, ChangeEventsReachTheJournal) {
    setTopology(lunA + lunB);
    cycle();
    monitor::Journal journal("/tmp/journal.sock");
    EXPECT_EQ(journal.send(state_.events, {}), 0u);  // no socket: nothing sent, nothing lost
    JournalReader reader("/tmp/journal.sock");
    const std::map<std::string, std::string> names{{kB, "vd_sales_01"}};
    for (const auto &[state, priority, old] : {std::tuple{"failed faulty running", "4", "ready"},
                                              std::tuple{"active ready running", "5", "faulty"}}) {
        setTopology(lunA + lun("mpathb", kB, 1, {{"active", {std::string("0:0:0:1 sda 8:0  ") + state,
                                                             "1:0:0:1 sdb 8:16 active ready running"}}}));
        cycle();
        EXPECT_EQ(journal.send(state_.events, names), 0u);
        auto f = reader.next();
        EXPECT_EQ(f["MESSAGE_ID"], monitor::journalMessageId(monitor::ChangeKind::PathStateChanged));
        EXPECT_EQ(f["MESSAGE"], state_.events[0].message);
        EXPECT_EQ(f["PRIORITY"], priority);
        EXPECT_EQ(f["SYSLOG_IDENTIFIER"], "morvel_monitor");
        EXPECT_EQ(f["MORVEL_WWID"], kB);
        EXPECT_EQ(f["MORVEL_ALIAS"], "mpathb");
        EXPECT_EQ(f["MORVEL_VDISK"], "vd_sales_01");
        EXPECT_EQ(f["MORVEL_PATH"], "sda");
        EXPECT_EQ(f["MORVEL_FIELD"], "path_status");
        EXPECT_EQ(f["MORVEL_OLD_STATE"], old);
        EXPECT_TRUE(reader.next().empty());
    }
    // A LUN without a known name carries no MORVEL_VDISK; nobody reads: the socket fills up.
    setTopology(lunA);
    cycle();
    ASSERT_EQ(state_.events.size(), 3u);
    std::vector<monitor::ChangeEvent> many;
    for (int i = 0; i < 2000; ++i) many.push_back(state_.events[0]);
    EXPECT_GT(journal.send(many, {}), 0u);
    auto f = reader.next();
    EXPECT_EQ(f["MESSAGE_ID"], monitor::journalMessageId(monitor::ChangeKind::LunDeleted));
    EXPECT_EQ(f.count("MORVEL_VDISK"), 0u);
    EXPECT_EQ(f.count("MORVEL_PATH"), 0u);
}

TEST(MonitorJournal, ValuesWithALineFeedTakeTheBinaryForm) {
    EXPECT_EQ(monitor::journalDatagram({{"MESSAGE", "a=b"}, {"MORVEL_VDISK", "x\ny"}}),
              std::string("MESSAGE=a=b\nMORVEL_VDISK\n\x03\0\0\0\0\0\0\0x\ny\n", 37));
}

// The textfile: HELP and TYPE for every metric, one series per LUN, per LUN and state, per
// path; label values escaped; replaced whole, readable by the collector's user.
TEST_F(MonitorCycleTest, MetricsDescribeTheTopologyWithItsNames) {
    setTopology(lunA + lun("mpathb", kB, 1, {{"active", {"0:0:0:1 sda 8:0  failed faulty running",
                                                         "1:0:0:1 sdb 8:16 active ready running"}}}));
    cycle();
    const std::map<std::string, std::string> names{{kB, "vd \"x\"\\1\n"}};
    monitor::CycleFacts facts{true, structs::firstValid(monitor::g_pMorvel), monitor::g_pLunPath, &names, 1700000000.5, 0.25};
    const std::string text = monitor::formatMetrics(facts);
    for (const std::string &line : Lines{"# TYPE morvel_lun_info gauge",
          "morvel_lun_info{wwid=\"" + kB + "\",alias=\"mpathb\",vdisk=\"vd \\\"x\\\"\\\\1\\n\",vendor=\"KELDOR\",product=\"ZRN\"} 1",
          "morvel_lun_info{wwid=\"" + kA + "\",alias=\"mpatha\",vdisk=\"\",vendor=\"KELDOR\",product=\"ZRN\"} 1",
          "morvel_lun_paths{wwid=\"" + kB + "\",state=\"usable\"} 1",
          "morvel_lun_paths{wwid=\"" + kB + "\",state=\"failed\"} 1",
          "morvel_path_state{wwid=\"" + kB + "\",path=\"sda\",dm_state=\"failed\",checker_state=\"faulty\",kernel_state=\"running\"} 1",
          "morvel_monitor_last_cycle_timestamp_seconds 1700000000.500000", "morvel_monitor_cycle_duration_seconds 0.250000",
          "morvel_monitor_topology_read 1"})
        EXPECT_NE(text.find("\n" + line + "\n"), std::string::npos) << line << "\n" << text;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 8 * 2 + 2 + 4 + 4 + 3);
    const monitor::HealthTracker health;  // with path health: each path's count and verdict
    facts.health = &health;
    const std::string withHealth = monitor::formatMetrics(facts);
    EXPECT_NE(withHealth.find("\n# TYPE morvel_path_failures_total counter\nmorvel_path_failures_total{wwid=\"" + kA +
                              "\",path=\"sdc\"} 0\n"), std::string::npos) << withHealth;
    EXPECT_EQ(std::count(withHealth.begin(), withHealth.end(), '\n'), 8 * 2 + 2 + 4 + 4 + 4 + 4 + 3);
    facts.health = nullptr;
    facts.topologyRead = false;  // a failed query: the monitor's own metrics only
    EXPECT_EQ(monitor::formatMetrics(facts).find("wwid="), std::string::npos);

    ::setenv("MORVEL_TEXTFILE_DIR", "/tmp/textfile/sub", 1);
    EXPECT_EQ(monitor::textfileDir(), "/tmp/textfile/sub");
    ::unsetenv("MORVEL_TEXTFILE_DIR");
    ::umask(077);
    ASSERT_TRUE(monitor::writeMetricsFile("/tmp/textfile/sub", text));
    ASSERT_TRUE(monitor::writeMetricsFile("/tmp/textfile/sub", "x 1\n"));
    ::umask(022);
    EXPECT_EQ(readFile("/tmp/textfile/sub/morvel.prom"), "x 1\n");
    EXPECT_FALSE(fs::exists("/tmp/textfile/sub/morvel.prom.tmp"));
    EXPECT_EQ(fs::status("/tmp/textfile/sub/morvel.prom").permissions(), fs::perms(0644));
}

// The service manager hears the monitor over $NOTIFY_SOCKET (a path or an abstract name).
TEST(MonitorNotify, DatagramsReachTheNotifySocket) {
    for (std::string where : {"/tmp/notify.sock", "@morvel-notify-test"}) {
        int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::memcpy(addr.sun_path, where.data(), where.size());
        if (where[0] == '@') addr.sun_path[0] = '\0';
        ::unlink(where.c_str());
        ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr *>(&addr),
                         static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + where.size())), 0);
        ::setenv("NOTIFY_SOCKET", where.c_str(), 1);
        EXPECT_TRUE(monitor::notifyServiceManager("WATCHDOG=1"));
        char got[32] = {};
        EXPECT_EQ(::recv(fd, got, sizeof got, MSG_DONTWAIT), 10);
        EXPECT_STREQ(got, "WATCHDOG=1");
        ::close(fd);
    }
    ::unsetenv("NOTIFY_SOCKET");
    EXPECT_FALSE(monitor::notifyServiceManager("WATCHDOG=1"));
}

// Once the lists and look-up tables have grown to the topology, a cycle without change
// (flatten, compare, keep) allocates nothing.
TEST_F(MonitorCycleTest, SteadyCycleAllocatesNothing) {
    std::vector<testutil::DevSpec> devs;
    for (int l = 0; l < 300; ++l) {
        testutil::DevSpec d{"mpath" + std::to_string(l), "3600" + std::to_string(l), {}};
        for (int p = 0; p < 4; ++p) {
            d.paths.push_back({"sd" + std::to_string(l * 4 + p), "8:" + std::to_string(p), "ready", "active", "running"});
        }
        devs.push_back(d);
    }
    testutil::fillDevices(monitor::g_pMorvel, devs);
    for (int round = 0; round < 3; ++round) {
        const long before = g_news;
        ASSERT_EQ(structs::cvtMorvelToLunpath(monitor::g_pMorvel, monitor::g_pLunPath), &common::EC_ok);
        const int changes = monitor::cmpAndLog(state_);
        ASSERT_EQ(structs::cpyLunpath(monitor::g_pLunPath, monitor::g_pOldLunPath), &common::EC_ok);
        EXPECT_EQ(changes, round == 0 ? 300 + 300 * 4 : 0);
        // Round 1 is the first with full previous records: its look-up table grows then.
        if (round == 2) {
            EXPECT_EQ(g_news - before, 0);
        }
    }
}

TEST(MonitorPacing, PauseFollowsTheCycleLength) {
    EXPECT_EQ(monitor::pauseAfterCycle(0), 10u);
    EXPECT_EQ(monitor::pauseAfterCycle(3), 7u);
    EXPECT_EQ(monitor::pauseAfterCycle(3.9), 7u);  // whole seconds, truncated
    EXPECT_EQ(monitor::pauseAfterCycle(9.99), 1u);
    EXPECT_EQ(monitor::pauseAfterCycle(10), 1u);
    EXPECT_EQ(monitor::pauseAfterCycle(12), 1u);
    EXPECT_EQ(monitor::pauseAfterCycle(3600), 1u);
    // A clock stepped back during the cycle: the pause grows, by one period at most.
    EXPECT_EQ(monitor::pauseAfterCycle(-0.5), 10u);
    EXPECT_EQ(monitor::pauseAfterCycle(-4), 14u);
    EXPECT_EQ(monitor::pauseAfterCycle(-86400), 20u);
}

TEST(MonitorPacing, LoopPacesCyclesWithTheGivenClock) {
    // Each cycle: its duration in seconds and a step of the wall clock during it.
    struct Step {
        long work, clockStep;
    };
    const std::vector<Step> cycles = {{3, 0}, {12, 0}, {0, 15}, {2, -5}, {0, 0}};
    time_t clock = 1700000000;
    size_t done = 0;
    std::vector<unsigned> pauses;
    monitor::paceCycles([&] { return clock; },
                        [&](unsigned s) {
                            pauses.push_back(s);
                            clock += s;
                        },
                        [&] {
                            if (done == cycles.size()) return false;
                            clock += cycles[done].work + cycles[done].clockStep;
                            ++done;
                            return true;
                        });
    EXPECT_EQ(pauses, (std::vector<unsigned>{7, 1, 1, 13, 10}));
}

}  // namespace
