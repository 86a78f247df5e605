// Path health: the kernel's path states and counts and its uevents, over captures from the
// test VM, and the tracker's lines over a sequence of cycles.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "monitor/health.h"
#include "monitor_test_util.h"

namespace {

using namespace morvel;
using monitor::HealthTracker;
using monitor::KernelPaths;
using Lines = std::vector<std::string>;

const std::string kCaptures =
    std::filesystem::path(__FILE__).parent_path().parent_path() / "system" / "captures" / "";

KernelPaths kernel(const std::string &capture) {
    KernelPaths k;
    EXPECT_TRUE(monitor::parseMultipathStatus(testutil::readFile(kCaptures + capture), k)) << capture;
    return k;
}

TEST(PathHealth, DmsetupStatusGivesEveryPathsStateAndCount) {
    struct Row {
        const char *capture, *dev, *map;
        bool failed;
        unsigned long failures;
    } rows[] = {
        {"dmsetup-status-multipath.out", "8:80", "mpathc", false, 0},
        {"dmsetup-status-multipath.out", "259:1", "mpathd", false, 0},  // two paths in one group
        {"dmsetup-status-multipath-path-failed.out", "8:80", "mpathc", true, 1},
        {"dmsetup-status-multipath-path-failed.out", "8:64", "mpathc", false, 0},
        {"dmsetup-status-multipath-flapped.out", "8:80", "mpathc", false, 2},
    };
    for (const Row &r : rows) {
        const KernelPaths k = kernel(r.capture);
        EXPECT_EQ(k.size(), 12u) << r.capture;
        ASSERT_TRUE(k.count(r.dev)) << r.capture << " " << r.dev;
        EXPECT_EQ(k.at(r.dev).map, r.map);
        EXPECT_EQ(k.at(r.dev).failed, r.failed) << r.capture << " " << r.dev;
        EXPECT_EQ(k.at(r.dev).failures, r.failures) << r.capture << " " << r.dev;
    }
    KernelPaths k;
    EXPECT_TRUE(monitor::parseMultipathStatus("No devices found\n", k));
    EXPECT_TRUE(k.empty());
    for (const char *bad : {"mpathc: 0 32768 multipath 2 0 1 0 2 1 A 0 1 2 8:64 A 0\n",  // cut short
                            "mpathc: 0 32768 multipath 2 0 1 0 1 1 A 0 1 0 8:64 X 0\n",  // no A or F
                            "vg-root: 0 2048 linear \n", "garbage\n"})
        EXPECT_FALSE(monitor::parseMultipathStatus(bad, k)) << bad;
}

// The uevents of the capture, as the kernel sends them: "action@devpath", then the
// properties, each ended by a NUL.
std::vector<std::string> uevents() {
    std::vector<std::string> out;
    std::string head, props;
    auto flush = [&] {
        if (!head.empty()) out.push_back(head + '\0' + props);
        head.clear();
        props.clear();
    };
    for (const std::string &l : testutil::splitLines(testutil::readFile(kCaptures + "udevadm-monitor-kernel-path-events.out"))) {
        if (l.empty()) {
            flush();
        } else if (l.starts_with("KERNEL[")) {
            std::istringstream in(l);
            std::string when, action, devpath;
            in >> when >> action >> devpath;
            head = action + '@' + devpath;
        } else {
            props += l + '\0';
        }
    }
    flush();
    return out;
}

TEST(PathHealth, OnlyPathAndNvmeControllerEventsAskForACycle) {
    const std::vector<std::string> events = uevents();
    ASSERT_EQ(events.size(), 9u);
    std::string wanted;
    for (const std::string &e : events) wanted += monitor::isHealthEvent(e.data(), e.size()) ? 'y' : 'n';
    EXPECT_EQ(wanted, "yyyynnnyy");  // four of 8:80, three modules of tc, two of the NVMe path
    using namespace std::string_literals;
    const std::string libudev = "libudev\0DM_ACTION=PATH_FAILED\0"s;
    const std::string nvme = "change@/devices/virtual/nvme-fabrics/ctl/nvme1\0ACTION=change\0SUBSYSTEM=nvme\0"s;
    EXPECT_FALSE(monitor::isHealthEvent(libudev.data(), libudev.size()));
    EXPECT_TRUE(monitor::isHealthEvent(nvme.data(), nvme.size()));
    std::string devts;
    for (const std::string &e : events) {
        monitor::PathEvent pe;
        if (monitor::parsePathEvent(e.data(), e.size(), pe)) devts += pe.devt + (pe.failed ? "-" : "+") + " ";
    }
    EXPECT_EQ(devts, "8:80- 8:80+ 8:80- 8:80+ 259:1- 259:1+ ");
}

TEST(PathHealth, SettingsComeFromTheEnvironmentOrStayDefault) {
    struct Row {
        const char *failures, *minutes;
        unsigned k, w;
        bool complaint;
    } rows[] = {
        {nullptr, nullptr, 3, 30, false}, {"2", "1", 2, 1, false},     {"0", "30", 3, 30, true},
        {"5x", "60", 3, 60, true},        {"4", "10081", 4, 30, true}, {"-1", "", 3, 30, true},
    };
    for (const Row &r : rows) {
        std::string why;
        const monitor::HealthSettings s = monitor::healthSettingsFrom(r.failures, r.minutes, &why);
        EXPECT_EQ(s.failures, r.k);
        EXPECT_EQ(s.minutes, r.w);
        EXPECT_EQ(!why.empty(), r.complaint) << why;
    }
}

// The iSCSI LUN of the captures: sde (8:64) and sdf (8:80).
void records(structs::s_lunPath *anchor, const char *sdf, bool both = true) {
    Lines l = {"mpathc,36001405d0c0ffee0123456789abcdef0,8:64,sde,ready,active,running,"};
    if (both) l.push_back(std::string("mpathc,36001405d0c0ffee0123456789abcdef0,8:80,sdf,") + sdf + ",enabled,running,");
    testutil::fillRecords(anchor, l);
}

TEST(PathHealth, TrackerLogsFailuresIntermittentPathsAndRedundancy) {
    const std::string p = "path_alias: mpathc, wwid: 36001405d0c0ffee0123456789abcdef0";
    const std::string sdf = p + ", dev_name: sdf";
    struct Step {
        const char *checker;  // of sdf; null: sdf is gone
        const char *kernel;   // capture of dmsetup status; null: not read
        int64_t now;
        Lines lines;
    } steps[] = {
        {"ready", "dmsetup-status-multipath.out", 0, {}},
        {"faulty", "dmsetup-status-multipath-path-failed.out", 5,
         {"The path is failed, the properties are [ " + sdf + ", failures: 1 ].",
          "The lun is below its path baseline, the properties are [ " + p + ", usable_paths: 1, baseline_paths: 2 ].",
          "The lun has one usable path left, the properties are [ " + p + ", usable_paths: 1, baseline_paths: 2 ]."}},
        {"ready", nullptr, 6, {}},  // the kernel's word holds until it is read again
        {"ready", "dmsetup-status-multipath-flapped.out", 8,
         {"The path failed and recovered since the last cycle, the properties are [ " + sdf + ", times: 1, failures: 2 ].",
          "The path is reinstated, the properties are [ " + sdf + ", failures: 2 ].",
          "The path is intermittent, the properties are [ " + sdf + ", failures: 2, minutes: 1 ].",
          "The lun is whole again, the properties are [ " + p + ", usable_paths: 2, baseline_paths: 2 ]."}},
        {"ready", "dmsetup-status-multipath-flapped.out", 64, {}},
        {"ready", "dmsetup-status-multipath-flapped.out", 68,
         {"The path is steady again, the properties are [ " + sdf + ", minutes: 1 ]."}},
        {nullptr, "dmsetup-status-multipath.out", 80,
         {"The lun is below its path baseline, the properties are [ " + p + ", usable_paths: 1, baseline_paths: 2 ].",
          "The lun has one usable path left, the properties are [ " + p + ", usable_paths: 1, baseline_paths: 2 ]."}},
        {nullptr, "dmsetup-status-multipath.out", 5000, {}},  // gone for long: still missing
    };
    structs::s_lunPath *anchor = structs::mallocLunpath();
    HealthTracker t({2, 1});
    for (const Step &s : steps) {
        records(anchor, s.checker ? s.checker : "", s.checker != nullptr);
        const KernelPaths k = s.kernel ? kernel(s.kernel) : KernelPaths{};
        EXPECT_EQ(t.cycle(anchor, s.kernel ? &k : nullptr, s.now), s.lines) << "at " << s.now;
    }
    EXPECT_EQ(monitor::formatBaselines(t.baselines()), "36001405d0c0ffee0123456789abcdef0 2\n");
    EXPECT_EQ(t.pathFailures("sde"), 0u);

    // The administrator removes the LUN's line: the count it has now is its baseline.
    t.setBaselines(monitor::parseBaselines("36000aabbccdd00000000000000000a01 4\nbad line\n"), true);
    const KernelPaths k = kernel("dmsetup-status-multipath.out");
    EXPECT_EQ(t.cycle(anchor, &k, 5010),
              Lines{"The lun path baseline is accepted, the properties are [ " + p + ", baseline_paths: 1 ]."});
    EXPECT_EQ(t.cycle(anchor, &k, 5020), Lines{});
    records(anchor, "ready");  // the path is back: the baseline grows without a line
    EXPECT_EQ(t.cycle(anchor, &k, 5030), Lines{});
    EXPECT_EQ(monitor::formatBaselines(t.baselines()),
              "36000aabbccdd00000000000000000a01 4\n36001405d0c0ffee0123456789abcdef0 2\n");
    structs::freeLunpath(anchor);
}

TEST(PathHealth, EventsTellFailuresAtOnceAndTheCountOnlyWhatTheyMissed) {
    const std::string p = "path_alias: mpathc, wwid: 36001405d0c0ffee0123456789abcdef0";
    const std::string sdf = p + ", dev_name: sdf";
    std::vector<monitor::PathEvent> ev;  // the captured events of 8:80: failed, back, failed, back
    for (const std::string &e : uevents()) {
        monitor::PathEvent pe;
        if (monitor::parsePathEvent(e.data(), e.size(), pe) && pe.devt == "8:80") ev.push_back(pe);
    }
    ASSERT_EQ(ev.size(), 4u);
    structs::s_lunPath *anchor = structs::mallocLunpath();
    const KernelPaths clean = kernel("dmsetup-status-multipath.out"), failed = kernel("dmsetup-status-multipath-path-failed.out"),
                      flapped = kernel("dmsetup-status-multipath-flapped.out");
    HealthTracker t({2, 1});
    records(anchor, "ready");
    EXPECT_EQ(t.cycle(anchor, &clean, 0, true), Lines{});
    EXPECT_EQ(t.events({ev[0]}, anchor, 1), Lines{"The path is failed, the properties are [ " + sdf + ", failures: 1 ]."});
    records(anchor, "faulty");
    EXPECT_EQ(t.cycle(anchor, &failed, 1, true),  // the count agrees: only the LUN's lines
              (Lines{"The lun is below its path baseline, the properties are [ " + p + ", usable_paths: 1, baseline_paths: 2 ].",
                     "The lun has one usable path left, the properties are [ " + p + ", usable_paths: 1, baseline_paths: 2 ]."}));
    EXPECT_EQ(t.events({ev[0], ev[1]}, anchor, 2),  // the failure again (the count saw it) and the return
              Lines{"The path is reinstated, the properties are [ " + sdf + ", failures: 1 ]."});
    EXPECT_EQ(t.events({ev[2], ev[3]}, anchor, 3),  // a flap within one burst
              (Lines{"The path failed and recovered since the last cycle, the properties are [ " + sdf + ", times: 1, failures: 2 ].",
                     "The path is intermittent, the properties are [ " + sdf + ", failures: 2, minutes: 1 ]."}));
    records(anchor, "ready");
    EXPECT_EQ(t.cycle(anchor, &flapped, 4, true),
              Lines{"The lun is whole again, the properties are [ " + p + ", usable_paths: 2, baseline_paths: 2 ]."});

    // Events lost: a count ahead of them waits one cycle, then tells.
    HealthTracker u({3, 30});
    EXPECT_EQ(u.cycle(anchor, &clean, 0, true), Lines{});
    EXPECT_EQ(u.cycle(anchor, &flapped, 10, true), Lines{});
    EXPECT_EQ(u.cycle(anchor, &flapped, 20, true),
              Lines{"The path failed and recovered since the last cycle, the properties are [ " + sdf + ", times: 2, failures: 2 ]."});
    EXPECT_EQ(u.pathFailures("sdf"), 2u);
    structs::freeLunpath(anchor);
}

// Every health line goes to the journal as its own kind, with the LUN and the path it names.
TEST(PathHealth, EveryLineIsAJournalEventOfItsKind) {
    using K = monitor::ChangeKind;
    const std::string lun = "[ path_alias: mpathc, wwid: 36001405d0c0ffee0123456789abcdef0";
    const std::pair<std::string, K> lines[] = {
        {"The path failed and recovered since the last cycle, the properties are " + lun + ", dev_name: sdf, times: 1, failures: 2 ].", K::PathFlapped},
        {"The path is failed, the properties are " + lun + ", dev_name: sdf, failures: 1 ].", K::PathFailed},
        {"The path is reinstated, the properties are " + lun + ", dev_name: sdf, failures: 1 ].", K::PathReinstated},
        {"The path is intermittent, the properties are " + lun + ", dev_name: sdf, failures: 2, minutes: 1 ].", K::PathIntermittent},
        {"The path is steady again, the properties are " + lun + ", dev_name: sdf, minutes: 1 ].", K::PathSteady},
        {"The lun is below its path baseline, the properties are " + lun + ", usable_paths: 1, baseline_paths: 2 ].", K::LunBelowBaseline},
        {"The lun has one usable path left, the properties are " + lun + ", usable_paths: 1, baseline_paths: 2 ].", K::LunOnePathLeft},
        {"The lun is whole again, the properties are " + lun + ", usable_paths: 2, baseline_paths: 2 ].", K::LunWhole},
        {"The lun path baseline is accepted, the properties are " + lun + ", baseline_paths: 1 ].", K::LunBaselineAccepted},
    };
    for (const auto &[line, kind] : lines) {
        monitor::ChangeEvent e;
        ASSERT_TRUE(monitor::healthEventOf(line, &e)) << line;
        EXPECT_EQ(e.kind, kind) << line;
        EXPECT_EQ(e.message, line);
        EXPECT_EQ(e.alias + " " + e.wwid, "mpathc 36001405d0c0ffee0123456789abcdef0");
        EXPECT_EQ(e.path, line.find("dev_name") != std::string::npos ? "sdf" : "") << line;
        EXPECT_STRNE(monitor::journalMessageId(kind), monitor::journalMessageId(K::LunCreated));
    }
    monitor::ChangeEvent e;
    EXPECT_FALSE(monitor::healthEventOf("The lun is created, the properties are " + lun + " ].", &e));
}

}  // namespace
