// The query report: layout, vdisk-name sources, transport line, failed devices, and the
// whole `query` command against a fake multipath, golden file compared byte for byte.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "array/array.h"
#include "cli/cli_exe.h"
#include "common/comm_util.h"
#include "struct/query_report.h"
#include "struct/s_morvel.h"
#include "unit/array_test_util.h"

using namespace morvel::structs;
using morvel::common::copyField;
using morvel::testutil::LogTail;
using morvel::testutil::readFile;
using morvel::testutil::writeFile;

namespace {

const std::string kTestsDir = [] {
    std::string f = __FILE__;  // .../tests/unit/query_report_test.cpp
    return f.substr(0, f.rfind("/unit/"));
}();
const std::string kDash = std::string(130, '-') + "\n";

struct PathSpec {
    const char *name;
    const char *status = "active";   // path_status
    const char *checker = "ready";   // checker_status
    const char *state = "running";   // morvel_status
    const char *group = "active";    // path_group_status
    const char *hostInterface = "fc";
    const char *targetPort = "0x2200aabbccdd0003";
};

class Report : public ::testing::Test {
protected:
    void SetUp() override { mkdir("/dumps", 0700); }

    s_morvel *addDevice(const char *alias, const char *wwid, const char *number,
                        std::vector<PathSpec> paths) {
        s_morvel *d = getOrMallocNextMorvel(last_);
        copyField(d->path_alias, alias);
        copyField(d->wwid, wwid);
        copyField(d->device_number, number);
        copyField(d->vendor, "KELDOR");
        copyField(d->product_type, "ZRN");
        copyField(d->lun_size, "10G");
        if (!paths.empty()) {
            if (d->pdev == nullptr) d->pdev = mallocPathDev<s_path_dev>();
            s_path_dev *prev = d->pdev;
            int n = 0;
            for (const PathSpec &s : paths) {
                s_path_dev *p = getOrMallocNextPathDev(prev);
                std::string id = "8:" + std::to_string(16 * ++n);
                copyField(p->dev_id, id.c_str());
                copyField(p->dev_name, s.name);
                copyField(p->dev_node, "1:0:0:1");
                copyField(p->path_group_policy, "service-time 0");
                copyField(p->path_group_priority, "50");
                copyField(p->path_group_status, s.group);
                copyField(p->path_status, s.status);
                copyField(p->checker_status, s.checker);
                copyField(p->morvel_status, s.state);
                copyField(p->host_interface, s.hostInterface);
                copyField(p->target_port, s.targetPort);
                prev->is_last = 0;
                prev = p;
            }
        }
        last_->is_last = 0;
        last_ = d;
        return d;
    }
    s_morvel *first() { return list_.anchor()->is_last ? nullptr : list_.anchor()->next; }
    std::string printAll() {
        testing::internal::CaptureStdout();
        printMorvel(first());
        fflush(stdout);
        return testing::internal::GetCapturedStdout();
    }
    std::string printOne(s_morvel *d) {
        testing::internal::CaptureStdout();
        _printOneMorvel(d);
        fflush(stdout);
        return testing::internal::GetCapturedStdout();
    }
    static void remember(const char *wwid, const char *name) {
        morvel::array::store_wwid_vdiskname(morvel::array::STORAGE_CONFIG_FILE, wwid, name);
    }

    MorvelList<> list_;
    s_morvel *last_ = list_.anchor();
};

bool has(const std::string &text, const std::string &s) { return text.find(s) != std::string::npos; }

}  // namespace

TEST_F(Report, EmptyListIsTwoSeparators) { EXPECT_EQ(kDash + kDash, printAll()); }

TEST_F(Report, DevicesSeparatedByOneEmptyLineAndStaleNodesHidden) {
    addDevice("mpatha", "wwa", "2", {});
    addDevice("mpathb", "wwb", "3", {});
    s_morvel *stale = addDevice("mpathc", "wwc", "4", {});
    // Cut the list after mpathb: the third node stays allocated behind the end.
    for (s_morvel *d = first(); d != stale; d = d->next)
        if (d->next == stale) d->is_last = 1;
    std::string out = printAll();
    std::string a = "path_alias: mpatha\nwwid: wwa\ndevice_number: 2\nvendor: KELDOR\n"
                    "product_type: ZRN\nlun_size: 10G\n";
    std::string b = "path_alias: mpathb\nwwid: wwb\ndevice_number: 3\nvendor: KELDOR\n"
                    "product_type: ZRN\nlun_size: 10G\n";
    EXPECT_EQ(kDash + a + "\n" + b + kDash, out);
}

// All names are looked up, and every reason logged, device by device, before the report is
// formatted; the formatting itself neither logs nor reads. The live devices are read side
// by side, yet each one's lines come in its turn, as read one after another.
TEST_F(Report, NamesResolvedInReportOrderBeforeFormatting) {
    remember("w_second", "vd_second");
    addDevice("mpatha", "w_first", "2", {{.name = "sdb", .state = "offline"}});
    addDevice("mpathl", "w_live1", "404", {{.name = "sdd"}});  // no /dev/dm-404 here: the reads fail
    addDevice("mpathm", "w_live2", "405", {{.name = "sde"}});
    addDevice("mpathb", "w_second", "3", {{.name = "sdc", .state = "offline", .hostInterface = "ib"}});
    LogTail log;
    morvel::array::StoreCache store;
    resolveVdiskNames(first(), store);
    const std::string text = log.text();
    std::string seen;  // function and message of each line
    for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
        std::istringstream line(text.substr(at, end - at));
        std::string stamp, time, level, source, func, number, message;
        if (line >> stamp >> time >> level >> source >> func >> number && std::getline(line, message))
            seen += func + message + "\n";
    }
    auto live = [](const std::string &w) {
        return "get_disk_00_page Open scsi device failed, fd = -1.\nget_vdisk_name Get 00 page of device failed.\n"
               "displayVdiskname Devcie (" + w + "), unable to get vdisk name using in-band channel, we try to get vdisk "
               "name from file.\n_printOneMorvel This device (" + w + "), the vdisk name we obtained is NULL.\n";
    };
    EXPECT_EQ(seen, "isFailedDevice This device (w_first) is a failed device.\n"
                    "_printOneMorvel This device (w_first) is a failed device, we can not get the vdisk name.\n" +
                        live("w_live1") + live("w_live2") +
                        "isFailedDevice This device (w_second) is a failed device.\n"
                        "_printOneMorvel This device (w_second), the transport we obtained is not fc/iscsi/fc-nvme.\n");
    EXPECT_STREQ("vd_second", first()->next->next->next->vdisk_name);

    const std::string report = formatMorvel(first());
    EXPECT_EQ(text, log.text());
    EXPECT_TRUE(has(report, " \n\npath_alias: mpathb\n"));
    EXPECT_TRUE(has(report, "vdisk_name: vd_second\n=====")) << "no transport line for ib";
    EXPECT_EQ(kDash + report + kDash, printAll());
}

TEST_F(Report, FailedDeviceJudgement) {
    uint32_t failed = 9;
    LogTail log;
    isFailedDevice(addDevice("m0", "w_nopath", "1", {}), &failed);
    EXPECT_EQ(1u, failed);
    EXPECT_FALSE(log.has("is a failed device"));  // no paths: failed, nothing logged

    // Each condition alone makes a path failed.
    std::vector<PathSpec> bad = {{.name = "sdb", .checker = "faulty"},
                                 {.name = "sdc", .status = "failed"},
                                 {.name = "sdd", .state = "offline"},
                                 {.name = "sde", .group = "failed"}};
    isFailedDevice(addDevice("m1", "w_allbad", "2", bad), &failed);
    EXPECT_EQ(1u, failed);
    EXPECT_TRUE(log.has("This device (w_allbad) is a failed device."));

    bad.push_back({.name = "sdf"});
    isFailedDevice(addDevice("m2", "w_onegood", "3", bad), &failed);
    EXPECT_EQ(0u, failed);
    // Comparisons are exact: "offline-ish" or "Faulty" is not failed.
    isFailedDevice(addDevice("m3", "w_exact", "4", {{.name = "sdg", .checker = "Faulty", .state = "offlined"}}),
                   &failed);
    EXPECT_EQ(0u, failed);
}

TEST_F(Report, TransportLineAndNvmeJudgement) {
    struct Case {
        std::vector<const char *> transports;
        const char *line;  // nullptr: no line
        uint32_t nvme;
    } cases[] = {
        {{"fc-nvme", "fc"}, "host_interface: fc-nvme\n", 1},
        {{"fc", "fc-nvme"}, "host_interface: fc\n", 1},
        {{"iscsi"}, "host_interface: iscsi\n", 0},
        {{"sas"}, "host_interface: sas\n", 0},
        {{"", "fc"}, nullptr, 0},
    };
    int n = 0;
    for (const Case &c : cases) {
        std::vector<PathSpec> paths;
        for (const char *t : c.transports) paths.push_back({.name = "sdb", .hostInterface = t});
        std::string wwid = "w_t" + std::to_string(n);
        s_morvel *d = addDevice("m", wwid.c_str(), "404", paths);
        uint32_t nvme = 9;
        isNVMeDevice(d, &nvme);
        EXPECT_EQ(c.nvme, nvme) << n;
        LogTail log;
        std::string out = printOne(d);
        if (c.line) {
            EXPECT_TRUE(has(out, c.line)) << n;
        } else {
            EXPECT_FALSE(has(out, "host_interface:"));
            EXPECT_TRUE(log.has("This device (" + wwid + "), the transport we obtained is not fc/iscsi/fc-nvme."));
        }
        ++n;
    }
}

TEST_F(Report, DeviceWithoutPathsShowsStoredNameOnly) {
    remember("w_nopath", "vd_kept");
    s_morvel *d = addDevice("mpathz", "w_nopath", "7", {});
    std::string out = printOne(d);
    EXPECT_EQ("path_alias: mpathz\nwwid: w_nopath\ndevice_number: 7\nvendor: KELDOR\n"
              "product_type: ZRN\nlun_size: 10G\nvdisk_name: vd_kept\n",
              out);
}

// A failed device is never asked over the device node; its name comes from the store.
TEST_F(Report, FailedDeviceNameSources) {
    std::vector<PathSpec> offline = {{.name = "sdb", .state = "offline"}, {.name = "sdc", .state = "offline"}};
    s_morvel *d = addDevice("mpatha", "w_failed", "404", offline);

    LogTail noStore;
    EXPECT_FALSE(has(printOne(d), "vdisk_name:"));
    EXPECT_TRUE(noStore.has("This device (w_failed) is a failed device, we can not get the vdisk name."));
    EXPECT_FALSE(noStore.has("Error can't open file"));  // the missing store is not even opened

    remember("w_other", "vd_other");
    LogTail noEntry;
    EXPECT_FALSE(has(printOne(d), "vdisk_name:"));
    EXPECT_TRUE(noEntry.has("This device (w_failed) is a failed device, we can not get the vdisk name."));

    remember("w_failed", "vd_failed");
    LogTail found;
    EXPECT_TRUE(has(printOne(d), "vdisk_name: vd_failed\n"));
    EXPECT_STREQ("vd_failed", d->vdisk_name);
    EXPECT_FALSE(found.has("in-band"));
    EXPECT_FALSE(found.has("Open scsi device failed"));

    writeFile(morvel::array::STORAGE_CONFIG_FILE, "{\"disk\":[{\"wwid\":\"w_failed\",\"vdisk_name\":\"\"}]}");
    LogTail empty;
    EXPECT_FALSE(has(printOne(d), "vdisk_name:"));
    EXPECT_TRUE(empty.has("This device (w_failed) is a failed device, we get the vdisk name from file is NULL."));
}

TEST_F(Report, LiveDeviceWithoutAnyName) {
    s_morvel *d = addDevice("mpatha", "w_live", "404", {{.name = "sdb"}});
    LogTail log;
    std::string out = printOne(d);
    EXPECT_FALSE(has(out, "vdisk_name:"));
    EXPECT_TRUE(log.has("Devcie (w_live), unable to get vdisk name using in-band channel"));
    EXPECT_TRUE(log.has("ERROR struct/s_morvel _printOneMorvel "));  // the report's function, in every form
    EXPECT_TRUE(log.has("This device (w_live), the vdisk name we obtained is NULL."));
}

TEST_F(Report, ColumnsWidenToTheLongestCell) {
    s_morvel *d = addDevice("m", "w", "404", {{.name = "sdb", .targetPort = "192.168.10.20:3260"},
                                              {.name = "sdaaa", .targetPort = ""}});
    std::string out = printOne(d);
    EXPECT_TRUE(has(out, "\ndev_id dev_name dev_node path_group_policy path_group_priority path_group_status "
                         "path_status morvel_status target_port        \n"));
    EXPECT_TRUE(has(out, "\n8:32   sdaaa    1:0:0:1  service-time 0    50                  active            "
                         "active      running       " + std::string(19, ' ') + "\n"));
}

// ---- the whole command against a fake multipath and a fake by-path tree ----

class QueryCommand : public ::testing::Test {
protected:
    void SetUp() override {
        mkdir("/dumps", 0700);
        mkdir("/usr/local/sbin", 0755);  // first in the commands' fixed PATH
        std::string script = "#!/bin/sh\n"
                             "if [ \"$1\" != -ll ]; then exit 1; fi\n"
                             "if [ -n \"$2\" ] && [ \"$2\" != mpatha ]; then exit 1; fi\n"
                             "cat '" + kTestsDir + "/fixtures/mpath/worked-example.multipath-ll'\n";
        writeFile("/usr/local/sbin/multipath", script);
        chmod("/usr/local/sbin/multipath", 0755);
        const char *links[][2] = {{"pci-0000:5e:00.0-fc-0x2200aabbccdd0003-lun-1", "sdb"},
                                  {"pci-0000:5e:00.1-fc-0x2200aabbccdd0004-lun-1", "sdd"},
                                  {"pci-0000:5e:00.0-fc-0x2200aabbccdd0005-lun-1", "sdc"},
                                  {"pci-0000:5e:00.1-fc-0x2200aabbccdd0006-lun-1", "sde"}};
        for (auto &l : links)
            symlink((std::string("../../") + l[1]).c_str(), (std::string("/dev/disk/by-path/") + l[0]).c_str());
    }
    std::string run(morvel::common::EcItem *(*cmd)(), morvel::common::EcItem **result) {
        testing::internal::CaptureStdout();
        *result = cmd();
        fflush(stdout);
        return testing::internal::GetCapturedStdout();
    }
};

TEST_F(QueryCommand, WorkedExampleMatchesGolden) {
    morvel::array::store_wwid_vdiskname(morvel::array::STORAGE_CONFIG_FILE,
                                        "36000aabbccdd0000000000000000001a", "vd_sales_01");
    const std::string golden = readFile(kTestsDir + "/golden/query_worked_example.out");
    ASSERT_FALSE(golden.empty());
    morvel::common::EcItem *r = nullptr;
    EXPECT_EQ(golden, run(morvel::cli::query, &r));
    EXPECT_EQ(&morvel::common::EC_info_ok, r);
    EXPECT_EQ(golden, run([] { return morvel::cli::querySingleDevice("mpatha"); }, &r));
    EXPECT_EQ(&morvel::common::EC_info_ok, r);
}

TEST_F(QueryCommand, UnknownDevicePrintsNothing) {
    morvel::common::EcItem *r = nullptr;
    EXPECT_EQ("", run([] { return morvel::cli::querySingleDevice("mpathq"); }, &r));
    EXPECT_EQ(&morvel::common::EC_no_this_device, r);
}

TEST_F(QueryCommand, NoArrayDeviceIsTwoSeparators) {
    writeFile("/usr/local/sbin/multipath", "#!/bin/sh\necho 'mpathx (3600) dm-9 OTHER,DISK'\n");
    morvel::common::EcItem *r = nullptr;
    EXPECT_EQ(kDash + kDash, run(morvel::cli::query, &r));
    EXPECT_EQ(0, r->code);
}
