// Transport and target-port detection (pure decisions, resolvers, the live-host reader in the
// sandbox) and the port command.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "cli/cli_exe.h"
#include "common/comm_util.h"
#include "common/script_cmds.h"
#include "struct/mpath_parser.h"
#include "struct/target_port.h"
#include "topology_test_util.h"

namespace morvel::structs {
namespace {

struct Transport {
    std::string hostInterface, targetPort;
    bool operator==(const Transport &) const = default;
};
void PrintTo(const Transport &t, std::ostream *os) { *os << "{" << t.hostInterface << ", " << t.targetPort << "}"; }

Transport scsi(const std::string &listing) {
    HostInterfaceField hi{};
    TargetPortField tp{};
    decideScsiTransport(listing, hi, tp);
    return {hi, tp};
}

Transport resolveWith(PortResolver &r, const char *dev, common::EcItem **result = nullptr) {
    HostInterfaceField hi{};
    TargetPortField tp{};
    common::EcItem *res = r.resolve(dev, hi, tp);
    if (result) *result = res;
    return {hi, tp};
}

const char kFcLun1[] = "pci-0000:5e:00.0-fc-0x2200aabbccdd0003-lun-1";

TEST(ScsiDecision, ByPathNames) {
    const std::string fc1 = std::string(kFcLun1) + "\n";
    const struct {
        std::string links;
        Transport want;
    } cases[] = {
        {fc1, {"fc", "0x2200aabbccdd0003"}},
        // a partition link as well: two FC names, the port comes from the second line
        {fc1 + kFcLun1 + "-part1\n", {"fc", "0x2200aabbccdd0003"}},
        {fc1 + "pci-0000:5e:00.1-fc-0x2200aabbccdd0004-lun-1\n", {"fc", "0x2200aabbccdd0004"}},
        // several FC names but no "pci" from the second line on: no port
        {fc1 + "x-fc-0x1-lun-1\n", {"fc", ""}},
        // a name in a form without the port at the 4th piece
        {"fc-0x2200aabbccdd0003-lun-1\n", {"", ""}},
        {"pci-0000:5e:00.0-fc-lun-1\n", {"fc", ""}},
        // a port name ending in fc is still one FC link
        {"pci-0000:5e:00.0-fc-0x20000090fa0000fc-lun-1\n", {"fc", "0x20000090fa0000fc"}},
        {"ip-192.168.10.20:3260-iscsi-iqn.2001-05.com.keldor:tgt-lun-1\n", {"iscsi", "192.168.10.20:3260"}},
        {"ip-192.168.10.20:3261-iscsi-iqn.2001-05.com.keldor:tgt-lun-1\n", {"iscsi", ""}},
        {"pci-0000:00:17.0-scsi-0:0:1:0\n", {"sas", ""}},
        {"pci-0000:00:1f.2-ata-1\n", {"", ""}},
        {"", {"", ""}},
    };
    for (const auto &c : cases) EXPECT_EQ(scsi(c.links), c.want) << c.links;
}

TEST(ByPathLinks, OnlyTheDiskAndItsPartitionsBelongToIt) {
    EXPECT_TRUE(isOwnByPathLink("sdb", "sdb"));
    EXPECT_TRUE(isOwnByPathLink("sdb12", "sdb"));
    EXPECT_FALSE(isOwnByPathLink("sdba", "sdb"));
    EXPECT_FALSE(isOwnByPathLink("sdba1", "sdb"));
    EXPECT_FALSE(isOwnByPathLink("sd", "sdb"));
    EXPECT_FALSE(isOwnByPathLink("sdb", ""));

    std::vector<ByPathLink> links = {{"a-lun-1", "sdb"}, {"a-lun-1-part1", "sdb1"}, {"b-lun-2", "sdba"},
                                     {"c-lun-3", "sdab"}, {"d-lun-9", "sdb"}};
    EXPECT_EQ(byPathListing(links, "sdb"), "a-lun-1\na-lun-1-part1\nd-lun-9\n");
    EXPECT_EQ(byPathListing(links, "sdba"), "b-lun-2\n");
    EXPECT_EQ(byPathListing(links, "sdq"), "");

    std::vector<ByPathLink> many(100, {std::string(40, 'x'), "sdb"});
    EXPECT_EQ(byPathListing(many, "sdb").size(), 1023u) << "the listing is captured into 1,024 bytes";
}

TEST(NvmeDecision, PortNameOfAFibreChannelAddress) {
    auto port = [](const std::string &file) {
        TargetPortField tp{};
        decideNvmeTargetPort(addressFirstItems(file), tp);
        return std::string(tp);
    };
    EXPECT_EQ(addressFirstItems("traddr=nn-0x2000aabbccdd0001:pn-0x2100aabbccdd0002,host_traddr=nn-0x1:pn-0x2\n"),
              "traddr=nn-0x2000aabbccdd0001:pn-0x2100aabbccdd0002\n");
    EXPECT_EQ(port("traddr=nn-0x2000aabbccdd0001:pn-0x2100aabbccdd0002,host_traddr=nn-0x1:pn-0x2\n"),
              "0x2100aabbccdd0002");
    EXPECT_EQ(port("traddr=127.0.0.1,trsvcid=4420,src_addr=127.0.0.1\n"), "") << "TCP: no port name";
    EXPECT_EQ(port("0000:01:00.0\n"), "") << "PCIe: no traddr=";
    EXPECT_EQ(port("traddr=nn-0x2000aabbccdd0001:pn-zz\n"), "");
    EXPECT_EQ(port(""), "");
}

// A resolver over given data that counts how often it reads the by-path links.
class CountingResolver : public PortResolver {
public:
    std::vector<ByPathLink> links;
    int scans = 0;

protected:
    std::vector<ByPathLink> readByPathLinks() override {
        ++scans;
        return links;
    }
    bool readNvmeAddress(const std::string &, std::string &) override { return false; }
};

TEST(Resolver, PathsOfLongerDiskNamesKeepTheirOwnPorts) {
    CountingResolver r;
    r.links = {{"pci-0000:5e:00.1-fc-0x2200aabbccdd0009-lun-7", "sdba"},
               {"pci-0000:5e:00.0-fc-0x2200aabbccdd0003-lun-1", "sdb"},
               {"pci-0000:5e:00.0-fc-0x2200aabbccdd0004-lun-2", "sdbb"}};
    EXPECT_EQ(resolveWith(r, "sdb"), (Transport{"fc", "0x2200aabbccdd0003"}));
    EXPECT_EQ(resolveWith(r, "sdba"), (Transport{"fc", "0x2200aabbccdd0009"}));
    EXPECT_EQ(resolveWith(r, "sdbb"), (Transport{"fc", "0x2200aabbccdd0004"}));
    EXPECT_EQ(resolveWith(r, "sdbc"), (Transport{"", ""}));
    EXPECT_EQ(r.scans, 1);
}

TEST(Resolver, OtherDeviceNames) {
    CountingResolver r;
    common::EcItem *res = &common::EC_ok;
    EXPECT_EQ(resolveWith(r, "vda", &res), (Transport{"", ""}));
    EXPECT_EQ(res, nullptr);
    EXPECT_EQ(resolveWith(r, "nvme1n1", &res), (Transport{"fc-nvme", ""})) << "address not readable";
    EXPECT_EQ(res, &common::EC_exe_cmd_failed);
    EXPECT_EQ(resolveWith(r, "nvme0n1/../../x", &res), (Transport{"fc-nvme", ""}));
    EXPECT_EQ(res, nullptr);
    EXPECT_EQ(r.scans, 0) << "no SCSI path, no scan";
}

TEST(Resolver, OneScanServesAWholeParse) {
    CountingResolver r;
    std::string text;
    for (int lun = 0; lun < 64; ++lun) {
        text += "mpath" + std::to_string(lun) + " (3600" + std::to_string(lun) + ") dm-" + std::to_string(lun) +
                " KELDOR,ZRN\nsize=1G\n`-+- policy='service-time 0' prio=50 status=active\n";
        for (int p = 0; p < 4; ++p) {
            std::string dev = "sd" + std::string(1, char('a' + p)) + std::string(1, char('a' + lun % 26)) +
                              std::string(1, char('a' + lun / 26));
            text += std::string(p == 3 ? "  `- " : "  |- ") + "1:0:0:" + std::to_string(lun) + " " + dev +
                    " 8:0 active ready running\n";
            r.links.push_back({"pci-0000:5e:00." + std::to_string(p) + "-fc-0x22000000000000" +
                                   std::to_string(10 + p) + "-lun-" + std::to_string(lun),
                               dev});
        }
    }
    MorvelList<s_morvel> list;
    ASSERT_EQ(parseQueryCmdResultList(text.c_str(), list.anchor(), r), &common::EC_info_ok);
    EXPECT_EQ(r.scans, 1);
    s_path_dev *p = findMorvelByDeviceName(list.anchor(), "mpath63", "sddlc");
    ASSERT_NE(p, nullptr);
    EXPECT_STREQ(p->target_port, "0x2200000000000013");
}

// ---- the live-host reader, over fake trees inside the sandbox ----

class HostTree : public ::testing::Test {
protected:
    void SetUp() override {
        TOPO_REQUIRE_SANDBOX();
        link("pci-0000:5e:00.0-fc-0x2200aabbccdd0003-lun-1", "sdb");
        link("pci-0000:5e:00.0-fc-0x2200aabbccdd0003-lun-1-part1", "sdb1");
        link("pci-0000:5e:00.1-fc-0x2200aabbccdd0009-lun-7", "sdba");
        link("ip-10.0.0.1:3260-iscsi-iqn.2001-05.com.keldor:t1-lun-3", "sdc");
        link("pci-0000:00:17.0-scsi-0:0:1:0", "sdd");
        link(".hidden-fc-0x1-lun-0", "sde");
        mkdirs("/sys/block/nvme0n1/device");
        topotest::writeFile("/sys/block/nvme0n1/device/address",
                            "traddr=nn-0x2000aabbccdd0001:pn-0x2100aabbccdd0002,host_traddr=nn-0x1:pn-0x2\n");
    }
    static void mkdirs(const std::string &path) {
        for (size_t i = 1; i <= path.size(); ++i)
            if (i == path.size() || path[i] == '/') mkdir(path.substr(0, i).c_str(), 0755);
    }
    static void link(const std::string &name, const std::string &dev) {
        mkdirs(BY_PATH_DIR);
        ASSERT_EQ(symlink(("../../" + dev).c_str(), (std::string(BY_PATH_DIR) + name).c_str()), 0) << name;
    }
    static Transport get(const char *dev, common::EcItem **result = nullptr) {
        HostInterfaceField hi{};
        TargetPortField tp{};
        common::EcItem *r = getTargetPort(dev, hi, tp);
        if (result) *result = r;
        return {hi, tp};
    }
};

TEST_F(HostTree, GetTargetPortReadsByPathLinksAndSysfs) {
    common::EcItem *r = nullptr;
    EXPECT_EQ(get("sdb", &r), (Transport{"fc", "0x2200aabbccdd0003"}));
    EXPECT_EQ(r, &common::EC_info_ok);
    EXPECT_EQ(get("sdba"), (Transport{"fc", "0x2200aabbccdd0009"}));
    EXPECT_EQ(get("sdc"), (Transport{"iscsi", "10.0.0.1:3260"}));
    EXPECT_EQ(get("sdd"), (Transport{"sas", ""}));
    EXPECT_EQ(get("sde"), (Transport{"", ""})) << "hidden names are not listed";
    EXPECT_EQ(get("nvme0n1", &r), (Transport{"fc-nvme", "0x2100aabbccdd0002"}));
    EXPECT_EQ(r, &common::EC_info_ok);
    EXPECT_EQ(get("nvme1n1", &r), (Transport{"fc-nvme", ""}));
    EXPECT_EQ(r, &common::EC_exe_cmd_failed);
}

TEST_F(HostTree, DefaultParseUsesTheHost) {
    std::string text =
        "mpatha (3600a) dm-2 KELDOR,ZRN\nsize=1G\n`-+- policy='service-time 0' prio=50 status=active\n"
        "  |- 1:0:0:1 sdb 8:16 active ready running\n  `- 2:0:0:1 sdba 67:32 active ready running\n"
        "mpathn (uuid.1) dm-3 NVME,KELDORZRN   \nsize=1G\n`-+- policy='service-time 0' prio=50 status=active\n"
        "  `- 0:1:1:1 nvme0n1 259:0 active ready running\n";
    MorvelList<s_morvel> list;
    ASSERT_EQ(parseQueryCmdResultList(text.c_str(), list.anchor()), &common::EC_info_ok);
    EXPECT_STREQ(findMorvelByDeviceName(list.anchor(), "mpatha", "sdb")->target_port, "0x2200aabbccdd0003");
    EXPECT_STREQ(findMorvelByDeviceName(list.anchor(), "mpatha", "sdba")->target_port, "0x2200aabbccdd0009");
    s_path_dev *n = findMorvelByDeviceName(list.anchor(), "mpathn", "nvme0n1");
    EXPECT_STREQ(n->host_interface, "fc-nvme");
    EXPECT_STREQ(n->target_port, "0x2100aabbccdd0002");
}

// ---- the port command ----

class PortCommand : public ::testing::Test {
protected:
    void SetUp() override {
        TOPO_REQUIRE_SANDBOX();
        mkdir(common::SCRIPT_DIR, 0755);
    }
    static void script(const std::string &body) {
        topotest::writeFile(common::SH_fcport, "#!/bin/bash\n" + body);
    }
    static std::string frame() { return std::string(130, '-') + "\n"; }
};

TEST_F(PortCommand, ShowsTheScriptOutputUnchangedBetweenFrameLines) {
    script("printf 'Port 1: 0x2100aabbccdd0001 Online\\nPort 2: 0x2100aabbccdd0002  Linkdown\\n'\n");
    testing::internal::CaptureStdout();
    common::EcItem *r = cli::lsport();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(r, &common::EC_info_ok);
    EXPECT_EQ(out, frame() + "Port 1: 0x2100aabbccdd0001 Online\nPort 2: 0x2100aabbccdd0002  Linkdown\n" + frame());

    script("printf 'no final newline'\n");
    testing::internal::CaptureStdout();
    cli::lsport();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), frame() + "no final newline" + frame());
}

TEST_F(PortCommand, FailingScriptShowsNothing) {
    script("echo 'half a report'\nexit 2\n");
    testing::internal::CaptureStdout();
    common::EcItem *r = cli::lsport();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(r, &common::EC_exe_cmd_failed);

    unlink(common::SH_fcport);
    testing::internal::CaptureStdout();
    EXPECT_EQ(cli::lsport(), &common::EC_exe_cmd_failed) << "a missing script fails too";
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

}  // namespace
}  // namespace morvel::structs
