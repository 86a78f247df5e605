// Native NVMe multipathing: the sysfs reader over real captures of the test VM (both ports
// optimized, one port's ANA group inaccessible, one port dropping every packet), the report
// and the monitor records made of them, and the decisions behind their columns.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "common/comm_util.h"
#include "struct/nvme_native.h"
#include "struct/query_report.h"
#include "struct/s_lunPath.h"
#include "test_files.h"

using namespace morvel::structs;
using morvel::testfiles::readFile;
using morvel::testfiles::writeFile;

namespace {

const std::string kTestsDir = [] {
    std::string f = __FILE__;  // .../tests/unit/nvme_native_test.cpp
    return f.substr(0, f.rfind("/unit/"));
}();

std::string capture(const std::string &state) { return kTestsDir + "/fixtures/nvme-native/" + state; }

// The monitor's records of a capture: "dev_name path_status group_status morvel_status" each.
std::vector<std::string> monitorRecords(const std::vector<NativeNamespaceAttrs> &all) {
    MorvelList<mon::s_morvel> devs;
    LunPathList recs;
    EXPECT_EQ(appendNativeNamespaces(all, devs.anchor()), 1);
    cvtMorvelToLunpath(devs.anchor(), recs.anchor());
    std::vector<std::string> out;
    for (s_lunPath *r = firstValid(recs.anchor()); r != nullptr; r = nextValid(r))
        out.push_back(std::string(r->lun_alias) + " " + r->lun_wwid + " " + r->path_dev_name + " " + r->path_status +
                      " " + r->path_group_status + " " + r->morvel_status);
    return out;
}

struct CaptureCase {
    const char *state;
    std::vector<std::string> monitor;
};

TEST(NativeCaptures, ReportAndMonitorRecords) {
    const std::string ns = "nvme0n1 uuid.4b454c44-4f52-5a52-4e00-00000000000a ";
    const std::vector<CaptureCase> cases = {
        {"optimized", {ns + "nvme0c0n1 ready optimized live", ns + "nvme0c1n1 ready optimized live"}},
        {"inaccessible", {ns + "nvme0c0n1 ready optimized live", ns + "nvme0c1n1 ghost inaccessible live"}},
        {"dropping", {ns + "nvme0c0n1 ready optimized live", ns + "nvme0c1n1 faulty optimized connecting"}},
    };
    for (const CaptureCase &c : cases) {
        SCOPED_TRACE(c.state);
        const std::vector<NativeNamespaceAttrs> all = readNativeNamespaces((capture(c.state) + "/sys").c_str());
        ASSERT_EQ(all.size(), 1u);
        MorvelList<> devs;
        ASSERT_EQ(appendNativeNamespaces(all, devs.anchor()), 1);
        const std::string golden = readFile(kTestsDir + "/golden/nvme_native_" + c.state + ".out");
        ASSERT_FALSE(golden.empty());
        EXPECT_EQ(formatMorvel(firstValid(devs.anchor())), golden);
        EXPECT_EQ(monitorRecords(all), c.monitor);

        // by head device and WWID, and nothing by another name
        EXPECT_NE(findNativeNamespace(all, "nvme0n1"), nullptr);
        EXPECT_NE(findNativeNamespace(all, "uuid.4b454c44-4f52-5a52-4e00-00000000000a"), nullptr);
        EXPECT_EQ(findNativeNamespace(all, "nvme0c0n1"), nullptr);
        MorvelList<> one;
        EXPECT_EQ(appendNativeNamespaces(all, one.anchor(), "mpatha"), 0);
    }
}

// Namespaces are appended behind the maps already in the list; only the array's count, in
// subsystem and head order, paths in controller order.
TEST(NativeCaptures, ArrayNamespacesInOrderBehindTheMaps) {
    std::vector<NativeNamespaceAttrs> all = readNativeNamespaces((capture("optimized") + "/sys").c_str());
    NativeNamespaceAttrs other = all[0], second = all[0];
    other.model = "Linux", other.head = "nvme1n1";
    second.subsys = "nvme-subsys10", second.head = "nvme10n2", second.wwid = "uuid.b";
    std::swap(second.paths[0], second.paths[1]);
    all = {second, other, all[0]};
    MorvelList<> devs;
    s_morvel *map = getOrMallocNextMorvel(devs.anchor());
    morvel::common::copyField(map->path_alias, "mpatha");
    devs.anchor()->is_last = 0;
    ASSERT_EQ(appendNativeNamespaces(all, devs.anchor()), 2);
    std::string order;
    for (s_morvel *d = firstValid(devs.anchor()); d != nullptr; d = nextValid(d)) {
        order += std::string(d->path_alias) + (d->native_nvme ? "*" : "") + ":";
        for (s_path_dev *p = firstValid(d->pdev); p != nullptr; p = nextValid(p)) order += std::string(p->dev_name) + ",";
        order += " ";
    }
    EXPECT_EQ(order, "mpatha: nvme0n1*:nvme0c0n1,nvme0c1n1, nvme10n2*:nvme0c0n1,nvme0c1n1, ");
}

// A host whose subsystems have no namespace heads (nvme_core.multipath=N) or no NVMe at all.
TEST(NativeReader, NoHeadsNoNamespaces) {
    EXPECT_TRUE(readNativeNamespaces("/nonexistent").empty());
    const std::string root = "/tmp/nvme-native-noheads";
    mkdir(root.c_str(), 0755);
    for (const char *d : {"/class", "/class/nvme-subsystem", "/class/nvme-subsystem/nvme-subsys0",
                          "/class/nvme-subsystem/nvme-subsys0/nvme0", "/class/nvme-subsystem/nvme-subsys0/nvme0/nvme0n1"})
        mkdir((root + d).c_str(), 0755);
    writeFile(root + "/class/nvme-subsystem/nvme-subsys0/model", "KELDORZRN\n");
    EXPECT_TRUE(readNativeNamespaces(root.c_str()).empty());
}

TEST(NativeDecisions, SizeTargetPortAndPathState) {
    const std::vector<std::pair<const char *, const char *>> sizes = {
        {"32768", "16M"}, {"16384", "8.0M"}, {"41943040", "20G"}, {"10485760", "5.0G"}, {"1", "0.0K"}, {"", ""}, {"12a", ""}};
    for (const auto &[sectors, text] : sizes) EXPECT_EQ(sizeText(sectors), text) << sectors;

    const std::vector<std::pair<const char *, const char *>> ports = {
        {"traddr=127.0.0.1,trsvcid=4420,src_addr=127.0.0.1", "127.0.0.1:4420"},
        {"traddr=nn-0x2000aabbccdd0001:pn-0x2100aabbccdd0002,host_traddr=nn-0x1:pn-0x2", "0x2100aabbccdd0002"},
        {"traddr=10.0.0.5", "10.0.0.5"},
        {"", ""}};
    for (const auto &[address, port] : ports) EXPECT_EQ(nativeTargetPort(address), port) << address;

    NativePathAttrs p;
    p.ctrlState = "live";
    for (const char *usable : {"optimized", "non-optimized", ""}) {
        p.anaState = usable;
        EXPECT_TRUE(nativePathUsable(p)) << usable;
    }
    for (const char *not_usable : {"inaccessible", "persistent-loss", "change"}) {
        p.anaState = not_usable;
        EXPECT_FALSE(nativePathUsable(p)) << not_usable;
        EXPECT_STREQ(anaPriority(not_usable), "0");
    }
    p.anaState = "optimized";
    p.ctrlState = "connecting";
    EXPECT_FALSE(nativePathUsable(p));
}

}  // namespace
