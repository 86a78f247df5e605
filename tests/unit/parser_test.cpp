// The multipath -ll parser: both variants over real captures, the edge cases of the grammar,
// and the query functions over a fake multipath.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <csignal>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "array/array.h"
#include "struct/mpath_parser.h"
#include "struct/target_port.h"
#include "topology_test_util.h"

namespace morvel::structs {
namespace {

using topotest::fixture;

// ---- expected records ----

struct ExpPath {
    std::string id, name, node, policy, prio, groupStatus, dmState, checker, devState, hostInterface,
        targetPort;
};
struct ExpDevice {
    std::string alias, wwid, number, vendor, product, size;
    std::vector<ExpPath> paths;
};

// One text line per record, so that a mismatch shows as a readable diff.
std::string dump(const std::vector<ExpDevice> &devs, bool monitor) {
    std::string out;
    for (const ExpDevice &d : devs) {
        out += d.alias + "|" + d.wwid + "|" + d.number + "|" + d.vendor + "|" + d.product + "|" + d.size + "\n";
        for (const ExpPath &p : d.paths) {
            out += "  " + p.id + "|" + p.name + "|" + p.node + "|" + p.policy + "|" + p.prio + "|" +
                   p.groupStatus + "|";
            if (monitor)
                out += p.checker + "|" + p.devState + "\n";
            else
                out += p.dmState + "|" + p.checker + "|" + p.devState + "|" + p.hostInterface + "|" +
                       p.targetPort + "\n";
        }
    }
    return out;
}

template <class M>
std::string dumpList(M *anchor) {
    std::vector<ExpDevice> devs;
    constexpr bool monitor = std::is_same_v<M, mon::s_morvel>;
    if (anchor->is_last == 1) return "";
    for (M *d = anchor->next; d; d = d->next) {
        ExpDevice e{d->path_alias, d->wwid, d->device_number, d->vendor, d->product_type, d->lun_size, {}};
        if (d->pdev && d->pdev->is_last == 0) {
            for (auto *p = d->pdev->next; p; p = p->next) {
                ExpPath q;
                q.id = p->dev_id, q.name = p->dev_name, q.node = p->dev_node;
                q.policy = p->path_group_policy, q.prio = p->path_group_priority;
                q.groupStatus = p->path_group_status;
                if constexpr (monitor) {
                    q.checker = p->path_status, q.devState = p->morvel_status;
                } else {
                    q.dmState = p->path_status, q.checker = p->checker_status, q.devState = p->morvel_status;
                    q.hostInterface = p->host_interface, q.targetPort = p->target_port;
                }
                e.paths.push_back(q);
                if (p->is_last == 1) break;
            }
        }
        devs.push_back(e);
        if (d->is_last == 1) break;
    }
    return dump(devs, monitor);
}

struct Parsed {
    common::EcItem *result;
    std::string records;
};

Parsed parseCli(const std::string &text, PortResolver &resolver, const KnownWwid &known = {}) {
    MorvelList<s_morvel> list;
    common::EcItem *r = parseQueryCmdResultList(text.c_str(), list.anchor(), resolver, known);
    return {r, dumpList(list.anchor())};
}
Parsed parseCli(const std::string &text, const KnownWwid &known = {}) {
    FixedPortResolver none;
    return parseCli(text, none, known);
}
Parsed parseMon(const std::string &text, const KnownWwid &known = {}) {
    MorvelList<mon::s_morvel> list;
    std::string copy = text;
    common::EcItem *r = parseQueryCmdResult(copy.data(), list.anchor(), known);
    return {r, dumpList(list.anchor())};
}

const ExpPath kSvc{"", "", "", "service-time 0", "", "active", "active", "ready", "running", "", ""};
ExpPath path(const char *id, const char *name, const char *node, const char *prio, const char *hi = "",
             const char *tp = "", const char *dmState = "active") {
    ExpPath p = kSvc;
    p.id = id, p.name = name, p.node = node, p.prio = prio, p.hostInterface = hi, p.targetPort = tp;
    p.dmState = dmState;
    return p;
}

// ---- the worked example and the real captures, through both variants ----

struct FixtureCase {
    const char *name;
    const char *lsByPath;      // ls -l capture of /dev/disk/by-path, or none
    const char *addresses;     // NVMe controller addresses, or none
    std::vector<ByPathLink> extraLinks;
    std::vector<ExpDevice> cli;
    std::vector<std::string> known = {};  // WWIDs seen before as the array's
};

std::vector<FixtureCase> fixtureCases() {
    ExpDevice mpathaIscsi{"mpatha", "360014050123abcd456789ef012345678", "0", "KELDOR", "ZRN", "16M", {}};
    ExpDevice scsiDebug{"mpathb", "333333330000007d0", "1", "KELDOR", "ZRN", "8.0M",
                        {path("8:0", "sda", "0:0:0:0", "30"), path("8:16", "sdb", "1:0:0:0", "30")}};
    ExpDevice nvme{"mpathc", "uuid.4b454c44-4f52-5a52-4e00-000000000001", "2", "NVME", "KELDORZRN", "16M",
                   {path("259:0", "nvme0n1", "0:1:1:1", "50", "fc-nvme"),
                    path("259:1", "nvme1n1", "1:2:1:1", "50", "fc-nvme")}};

    std::vector<FixtureCase> cases;

    ExpDevice worked{"mpatha", "36000aabbccdd0000000000000000001a", "2", "KELDOR", "ZRN", "20G",
                     {path("8:16", "sdb", "1:0:0:1", "50", "fc", "0x2200aabbccdd0003"),
                      path("8:48", "sdd", "2:0:0:1", "50", "fc", "0x2200aabbccdd0004"),
                      path("8:32", "sdc", "1:0:1:1", "10", "fc", "0x2200aabbccdd0005"),
                      path("8:64", "sde", "2:0:1:1", "10", "fc", "0x2200aabbccdd0006", "failed")}};
    worked.paths[2].groupStatus = worked.paths[3].groupStatus = "enabled";
    worked.paths[3].checker = "faulty";
    worked.paths[3].devState = "offline";
    cases.push_back({"worked-example.multipath-ll", nullptr, nullptr,
                     {{"pci-0000:5e:00.0-fc-0x2200aabbccdd0003-lun-1", "sdb"},
                      {"pci-0000:5e:00.1-fc-0x2200aabbccdd0004-lun-1", "sdd"},
                      {"pci-0000:5e:00.0-fc-0x2200aabbccdd0005-lun-1", "sdc"},
                      {"pci-0000:5e:00.1-fc-0x2200aabbccdd0006-lun-1", "sde"},
                      {"pci-0000:5e:00.0-fc-0x2200aabbccdd0003-lun-2", "sdf"}},
                     {worked}});

    cases.push_back({"scsi-debug-2-luns.multipath-ll", nullptr, nullptr, {},
                     {{"mpatha", "333333330000007d0", "0", "KELDOR", "ZRN", "8.0M",
                       {path("8:0", "sda", "0:0:0:0", "30"), path("8:32", "sdc", "1:0:0:0", "30")}},
                      {"mpathb", "333333330000007d1", "1", "KELDOR", "ZRN", "8.0M",
                       {path("8:16", "sdb", "0:0:0:1", "30"), path("8:48", "sdd", "1:0:0:1", "30")}}}});

    ExpDevice iscsi = mpathaIscsi;
    iscsi.paths = {path("8:0", "sda", "2:0:0:0", "50", "iscsi", "127.0.0.1:3260"),
                   path("8:16", "sdb", "3:0:0:0", "50", "iscsi", "127.0.0.2:3260")};
    cases.push_back({"iscsi-2-portals.multipath-ll", "iscsi-2-portals.ls-by-path", nullptr, {}, {iscsi}});

    ExpDevice nvmeOnly = nvme;
    nvmeOnly.alias = "mpatha", nvmeOnly.number = "0";
    cases.push_back({"nvme-tcp-2-paths.multipath-ll", nullptr, "nvme-tcp-2-paths.device-address", {}, {nvmeOnly}});

    ExpDevice mixedIscsi = mpathaIscsi;
    mixedIscsi.paths = {path("8:32", "sdc", "2:0:0:0", "50", "iscsi", "127.0.0.1:3260"),
                        path("8:48", "sdd", "3:0:0:0", "50", "iscsi", "127.0.0.2:3260")};
    cases.push_back({"mixed-3-maps.multipath-ll", "mixed-3-maps.ls-by-path", "nvme-tcp-2-paths.device-address",
                     {}, {mixedIscsi, scsiDebug, nvme}});

    ExpDevice failedIscsi = mixedIscsi;
    failedIscsi.paths[0].dmState = "failed";
    ExpDevice failedNvme = nvme;
    failedNvme.paths[1].dmState = "failed";
    cases.push_back({"mixed-3-maps-one-path-failed-each.multipath-ll", "mixed-3-maps.ls-by-path",
                     "nvme-tcp-2-paths.device-address", {}, {failedIscsi, scsiDebug, failedNvme}});
    // With the SCSI and NVMe device blocks in two "devices" sections, multipath-tools warns on
    // standard error ahead of the maps: the warning line is no device.
    auto rr = [](ExpPath p, const char *groupStatus) {
        p.policy = "round-robin 0";
        p.groupStatus = groupStatus;
        return p;
    };
    cases.push_back({"vm-two-device-sections.multipath-ll", nullptr, nullptr, {},
                     {{"mpatha", "333333330000007d0", "0", "KELDOR", "ZRN", "8.0M",
                       {rr(path("8:0", "sda", "0:0:0:0", "50"), "active"),
                        rr(path("8:32", "sdc", "1:0:0:0", "10"), "enabled")}},
                      {"mpathb", "333333330000007d1", "1", "KELDOR", "ZRN", "8.0M",
                       {rr(path("8:16", "sdb", "0:0:0:1", "50"), "active"),
                        rr(path("8:48", "sdd", "1:0:0:1", "10"), "enabled")}},
                      {"mpathc", "36001405d0c0ffee0123456789abcdef0", "2", "KELDOR", "ZRN", "16M",
                       {rr(path("8:64", "sde", "2:0:0:0", "50"), "active"),
                        rr(path("8:80", "sdf", "3:0:0:0", "50"), "enabled")}},
                      {"mpathd", "eui.4b454c444f525a524e0000000000000a", "3", "NVME", "KELDORZRN", "16M",
                       {rr(path("259:0", "nvme0n1", "0:1:1:1", "50", "fc-nvme"), "active"),
                        rr(path("259:1", "nvme1n1", "1:2:1:1", "50", "fc-nvme"), "enabled")}}}});
    // A map left without paths shows "##,##" for vendor and product: it is the array's only
    // when its WWID was seen as the array's before.
    cases.push_back({"vm-pathless-map.multipath-ll", nullptr, nullptr, {}, {}, {"333333330000007d0"}});
    cases.push_back({"vm-pathless-map.multipath-ll", nullptr, nullptr, {},
                     {{"mpathb", "333333330000007d1", "1", "KELDOR", "ZRN", "8.0M", {}}}, {"333333330000007d1"}});
    return cases;
}

TEST(ParserFixtures, BothVariantsGiveTheExpectedRecords) {
    for (const FixtureCase &c : fixtureCases()) {
        SCOPED_TRACE(c.name);
        std::string text = fixture(c.name);
        std::vector<ByPathLink> links = c.extraLinks;
        if (c.lsByPath) {
            auto more = topotest::linksFromLsListing(fixture(c.lsByPath));
            links.insert(links.end(), more.begin(), more.end());
        }
        std::unordered_map<std::string, std::string> addresses;
        if (c.addresses) addresses = topotest::addressesFromGrep(fixture(c.addresses));
        FixedPortResolver resolver(links, addresses);

        const KnownWwid known = [&c](const char *w) { return std::count(c.known.begin(), c.known.end(), w) > 0; };
        Parsed cli = parseCli(text, resolver, known);
        EXPECT_EQ(cli.result, &common::EC_info_ok);
        EXPECT_EQ(cli.records, dump(c.cli, false));

        // The monitor keeps the same devices, SCSI and NVMe, in its own layout.
        Parsed mon = parseMon(text, known);
        EXPECT_EQ(mon.result, &common::EC_info_ok);
        EXPECT_EQ(mon.records, dump(c.cli, true));
    }
}

// With enable_foreign "nvme" multipath-tools lists a native namespace in a form of its own
// (captured in the VM): no record of it, in either variant; morvel reads it from sysfs.
TEST(ParserFixtures, ForeignNvmeNamespaceIsNoMap) {
    for (const char *state : {"optimized", "inaccessible", "dropping"}) {
        SCOPED_TRACE(state);
        const std::string dir = std::string("../nvme-native/") + state;
        const std::string foreign = fixture(dir + "/multipath-ll-foreign.out"), plain = fixture(dir + "/multipath-ll.out");
        ASSERT_NE(foreign.find("[nvme]:nvme0n1 NVMe,KELDORZRN"), std::string::npos);
        EXPECT_EQ(parseCli(foreign).records, parseCli(plain).records);
        EXPECT_EQ(parseMon(foreign).records, parseMon(plain).records);
    }
}

// The VM's open map whose path devices were all deleted, as all three listings show it: kept,
// in both variants, only when its WWID is known.
TEST(ParserFixtures, OpenMapWithoutPathsFromTheVm) {
    const KnownWwid known = [](const char *w) { return std::string(w) == "36000aabbccdd00000000000000000a02"; };
    const std::string mpathf = "mpathf|36000aabbccdd00000000000000000a02|5|KELDOR|ZRN|16M\n";
    for (const char *f : {"vm-open-pathless-map.multipath-ll", "vm-open-pathless-map.multipathd-show-topology",
                          "vm-open-pathless-map.multipathd-show-map"}) {
        SCOPED_TRACE(f);
        const std::string text = fixture(f);
        EXPECT_EQ(parseCli(text, known).records, parseCli(text).records + mpathf);
        EXPECT_EQ(parseMon(text, known).records, parseMon(text).records + mpathf);
    }
}

TEST(ParserFixtures, MonitorKeepsCheckerAndDeviceStateOfTheWorkedExample) {
    MorvelList<mon::s_morvel> list;
    std::string text = fixture("worked-example.multipath-ll");
    ASSERT_EQ(parseQueryCmdResult(text.data(), list.anchor()), &common::EC_info_ok);
    mon::s_morvel *dev = list.anchor()->next;
    ASSERT_NE(dev, nullptr);
    EXPECT_EQ(dev->is_last, 1);
    std::vector<std::string> states;
    for (mon::s_path_dev *p = dev->pdev->next; p; p = p->is_last ? nullptr : p->next)
        states.push_back(std::string(p->dev_name) + ":" + p->path_status + "/" + p->morvel_status);
    EXPECT_EQ(states, (std::vector<std::string>{"sdb:ready/running", "sdd:ready/running", "sdc:ready/running",
                                                "sde:faulty/offline"}));
}

// ---- grammar edge cases ----

const char kHdr[] = "mpatha (36000aabbccdd0000000000000000001a) dm-2 KELDOR  ,ZRN      ";
const char kSize[] = "size=20G features='0' hwhandler='0' wp=rw";
const char kGroup[] = "`-+- policy='service-time 0' prio=50 status=active";
const char kPath1[] = "  |- 1:0:0:1 sdb 8:16 active ready running";
const char kPath2[] = "  `- 2:0:0:1 sdd 8:48 active ready running";

std::string lines(std::initializer_list<std::string> ls, bool finalNewline = true) {
    std::string out;
    for (const std::string &l : ls) out += l + "\n";
    if (!finalNewline && !out.empty()) out.pop_back();
    return out;
}

TEST(ParserEdges, NoDeviceOfTheArrayGivesAnEmptyList) {
    std::string text = lines({"36000aabbccdd0000000000000000001b dm-3 OTHER   ,DISK    ", kSize, kGroup, kPath1,
                              "1234.5678 | sdz: failed to get udev uid"});
    EXPECT_EQ(parseCli(text).result, &common::EC_info_ok);
    EXPECT_EQ(parseCli(text).records, "");
    EXPECT_EQ(parseMon(text).records, "");
    EXPECT_EQ(parseCli("").result, &common::EC_info_ok);
    EXPECT_EQ(parseMon("").result, &common::EC_info_ok);
}

TEST(ParserEdges, HeaderForms) {
    // no map name: the WWID is both names
    Parsed p = parseCli(lines({"36000aabbccdd0000000000000000001a dm-2 KELDOR  ,ZRN   ", kSize}));
    EXPECT_EQ(p.records, "36000aabbccdd0000000000000000001a|36000aabbccdd0000000000000000001a|2|KELDOR|ZRN|20G\n");
    // no " dm-": no device number, names from the whole line
    p = parseCli(lines({"mpatha (3600a) KELDOR,ZRN", kSize}));
    EXPECT_EQ(p.records, "mpatha|3600a||KELDOR|ZRN|20G\n");
    // NVMe namespace of the array, padded model as multipath prints it
    p = parseCli(lines({"mpathn (uuid.1) dm-7 NVME,KELDORZRN                               ", kSize}));
    EXPECT_EQ(p.records, "mpathn|uuid.1|7|NVME|KELDORZRN|20G\n");
    EXPECT_EQ(parseMon(lines({"mpathn (uuid.1) dm-7 NVME,KELDORZRN  ", kSize})).records,
              "mpathn|uuid.1|7|NVME|KELDORZRN|20G\n");
    // multipathd's mark of a map it created itself comes off the names, in both variants
    p = parseCli(lines({"create: mpatha (3600a) dm-2 KELDOR,ZRN", kSize}));
    EXPECT_EQ(p.records, "mpatha|3600a|2|KELDOR|ZRN|20G\n");
    EXPECT_EQ(parseMon(lines({"create: 3600a dm-2 KELDOR,ZRN", kSize})).records, "3600a|3600a|2|KELDOR|ZRN|20G\n");
    for (const char *mark : {"reload: ", "switchpg: ", "rename: "}) {
        EXPECT_EQ(parseCli(lines({std::string(mark) + "mpatha (3600a) dm-2 KELDOR,ZRN", kSize})).records,
                  "mpatha|3600a|2|KELDOR|ZRN|20G\n") << mark;
        EXPECT_EQ(parseMon(lines({std::string(mark) + "3600a dm-2 KELDOR,ZRN", kSize})).records,
                  "3600a|3600a|2|KELDOR|ZRN|20G\n") << mark;
    }
    // other vendors and lines that only mention the array are not headers
    EXPECT_EQ(parseCli(lines({"mpathx (3600b) dm-1 KELDOR,ZRNX", kSize})).records, "");
    EXPECT_EQ(parseCli(lines({"mpathx (3600b) dm-1 XKELDOR,ZRN", kSize})).records, "");
}

// Headers without vendor and product: maps that lost all their paths. Kept, in both variants,
// only when the WWID is one seen before; the WWID's form tells an NVMe namespace.
TEST(ParserEdges, BareHeadersOfMapsThatLostTheirPaths) {
    const KnownWwid known = [](const char *w) { return std::string(w) == "3600a" || std::string(w) == "eui.4b"; };
    struct Case {
        const char *header;
        const char *records;  // "" when the map is not kept
    } cases[] = {
        {"mpathf (3600a) dm-5 ##,##", "mpathf|3600a|5|KELDOR|ZRN|20G\n"},
        {"mpathf (3600a) dm-5", "mpathf|3600a|5|KELDOR|ZRN|20G\n"},
        {"mpathf (3600a) dm-5 ", "mpathf|3600a|5|KELDOR|ZRN|20G\n"},
        {"3600a dm-5 ##,##  ", "3600a|3600a|5|KELDOR|ZRN|20G\n"},
        {"reload: mpathf (3600a) dm-5 ##,##", "mpathf|3600a|5|KELDOR|ZRN|20G\n"},
        {"mpathn (eui.4b) dm-6 ##,##", "mpathn|eui.4b|6|NVME|KELDORZRN|20G\n"},
        {"mpathg (3600b) dm-6 ##,##", ""},            // never seen
        {"mpathf (3600a) dm-5 ##,## x", ""},          // something after the vendor's place
        {"mpathf (3600a) dm-5 OTHER,DISK", ""},       // another vendor's map
        {"mpathf 3600a dm-5 ##,##", ""},              // the WWID is not in parentheses
        {"mpathf (3600a) x dm-5 ##,##", ""},          // three names
        {"mpathf (3600a) dm-x ##,##", ""},
        {" dm-5 ##,##", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.header);
        const std::string text = lines({c.header, kSize});
        EXPECT_EQ(parseCli(text, known).records, c.records);
        EXPECT_EQ(parseMon(text, known).records, c.records);
        EXPECT_EQ(parseCli(text).records, "");
    }
    // a known map whose header lost vendor and product while it still lists paths keeps them
    Parsed p = parseCli(lines({"mpathf (3600a) dm-5 ##,##", kSize, kGroup, kPath1}), known);
    EXPECT_EQ(p.records, "mpathf|3600a|5|KELDOR|ZRN|20G\n  8:16|sdb|1:0:0:1|service-time 0|50|active|active|ready|running||\n");
}

TEST(ParserEdges, MapNameContainingNvmeOnTheScsiArrayStaysScsi) {
    Parsed p = parseCli(lines({"NVME_backup (3600c) dm-4 KELDOR,ZRN", kSize, kGroup, kPath1}));
    EXPECT_EQ(p.records.substr(0, p.records.find('\n')), "NVME_backup|3600c|4|KELDOR|ZRN|20G");
}

TEST(ParserEdges, LongValuesAreCutToTheFieldLimits) {
    std::string alias(80, 'a'), number(40, '7'), size(40, '9');
    std::string word(40, 'w');
    std::string text = lines({alias + " (" + alias + ") dm-" + number + " KELDOR,ZRN", "size=" + size,
                              "`-+- policy='" + word + "' prio=" + word + " status=" + word,
                              "  `- " + word + " " + word + " " + word + " " + word + " " + word + " " + word});
    MorvelList<s_morvel> cli;
    FixedPortResolver none;
    ASSERT_EQ(parseQueryCmdResultList(text.c_str(), cli.anchor(), none), &common::EC_info_ok);
    s_morvel *d = cli.anchor()->next;
    EXPECT_EQ(std::string(d->path_alias), alias.substr(0, 65));
    EXPECT_EQ(std::string(d->wwid), alias.substr(0, 65));
    EXPECT_EQ(std::string(d->device_number), number.substr(0, 30));
    EXPECT_EQ(std::string(d->lun_size), size.substr(0, 30));
    s_path_dev *p = d->pdev->next;
    for (const char *f : {p->path_group_policy, p->path_group_priority, p->path_group_status, p->dev_node,
                          p->dev_name, p->dev_id, p->path_status, p->checker_status, p->morvel_status})
        EXPECT_EQ(std::string(f), word.substr(0, 30));

    MorvelList<mon::s_morvel> mon;
    std::string copy = text;
    ASSERT_EQ(parseQueryCmdResult(copy.data(), mon.anchor()), &common::EC_info_ok);
    mon::s_morvel *m = mon.anchor()->next;
    EXPECT_EQ(std::string(m->path_alias), alias.substr(0, 64));
    EXPECT_EQ(std::string(m->wwid), alias.substr(0, 64));
    EXPECT_EQ(std::string(m->device_number), number.substr(0, 29));
    EXPECT_EQ(std::string(m->lun_size), size.substr(0, 29));
    EXPECT_EQ(std::string(m->pdev->next->morvel_status), word.substr(0, 30));
}

TEST(ParserEdges, SizeLineRules) {
    // a size line without "size=" is still consumed; the block starts after it
    Parsed p = parseCli(lines({kHdr, "features='0' hwhandler='0' wp=rw", kGroup, kPath1}));
    EXPECT_EQ(p.result, &common::EC_info_ok);
    EXPECT_NE(p.records.find("|ZRN|\n  8:16|sdb|"), std::string::npos) << p.records;
    // a group line in the size line's place: the path line after it has no "policy="
    p = parseCli(lines({kHdr, kGroup, kPath1}));
    EXPECT_EQ(p.result, &common::EC_parse_cmd_out);
    EXPECT_EQ(parseMon(lines({kHdr, kGroup, kPath1})).result, &common::EC_parse_cmd_out);
}

TEST(ParserEdges, DeviceWithoutPathGroupsIsFollowedByTheNextHeader) {
    std::string text = lines({kHdr, kSize, "mpathb (3600b) dm-3 KELDOR,ZRN", kSize, kGroup, kPath1, kPath2});
    for (const Parsed &p : {parseCli(text), parseMon(text)}) {
        EXPECT_EQ(p.result, &common::EC_info_ok);
        std::string first = p.records.substr(0, p.records.find('\n') + 1);
        EXPECT_EQ(first, "mpatha|36000aabbccdd0000000000000000001a|2|KELDOR|ZRN|20G\n");
        EXPECT_NE(p.records.find("\nmpathb|3600b|3|KELDOR|ZRN|20G\n  8:16|sdb"), std::string::npos);
    }
}

TEST(ParserEdges, HeaderAtTheEndOfTheText) {
    // CLI: with a final newline the empty last line is the size line: an empty path list
    Parsed p = parseCli(lines({kHdr, kSize, kGroup, kPath1, "mpathb (3600b) dm-3 KELDOR,ZRN"}));
    EXPECT_EQ(p.result, &common::EC_info_ok);
    EXPECT_NE(p.records.find("\nmpathb|3600b|3|KELDOR|ZRN|\n"), std::string::npos);
    // without it the size line is missing: line 5 cannot be parsed, mpatha stays in the list
    p = parseCli(lines({kHdr, kSize, kGroup, kPath1, "mpathb (3600b) dm-3 KELDOR,ZRN"}, false));
    EXPECT_EQ(p.result, &common::EC_parse_cmd_out);
    EXPECT_EQ(p.records.find("mpathb"), std::string::npos);
    EXPECT_EQ(p.records.substr(0, 7), "mpatha|");
    // monitor: empty lines do not count, so a final newline does not help
    p = parseMon(lines({kHdr, kSize, kGroup, kPath1, "mpathb (3600b) dm-3 KELDOR,ZRN"}));
    EXPECT_EQ(p.result, &common::EC_parse_cmd_out);
    EXPECT_EQ(p.records.find("mpathb"), std::string::npos);
    // CLI: a final newline after the size line leaves an empty line that ends the block
    EXPECT_EQ(parseCli(lines({kHdr, kSize})).result, &common::EC_info_ok);
}

TEST(ParserEdges, BlockLineErrorsStopTheParse) {
    // block line shorter than six characters
    EXPECT_EQ(parseCli(lines({kHdr, kSize, kGroup, kPath1, "  `-"})).result, &common::EC_parse_cmd_out);
    // first block line without "policy="
    EXPECT_EQ(parseCli(lines({kHdr, kSize, kPath1, kPath2})).result, &common::EC_parse_cmd_out);
    // path line with five words
    EXPECT_EQ(parseCli(lines({kHdr, kSize, kGroup, "  `- 1:0:0:1 sdb 8:16 active ready"})).result,
              &common::EC_parse_cmd_out);
    EXPECT_EQ(parseMon(lines({kHdr, kSize, kGroup, "  `- 1:0:0:1 sdb 8:16 active ready"})).result,
              &common::EC_parse_cmd_out);
    // the device being parsed is not linked in; earlier devices stay
    Parsed p = parseCli(lines({"mpathb (3600b) dm-3 KELDOR,ZRN", kSize, kGroup, kPath1, kHdr, kSize, kGroup,
                               "  `- 1:0:0:1 sdb"}));
    EXPECT_EQ(p.result, &common::EC_parse_cmd_out);
    EXPECT_EQ(p.records, "mpathb|3600b|3|KELDOR|ZRN|20G\n  8:16|sdb|1:0:0:1|service-time 0|50|active|active|ready|running||\n");
}

// The device number and the path names go into command lines and sysfs paths: anything
// but digits after " dm-", or a path name that is not one plain component, is malformed.
TEST(ParserEdges, HostileDeviceNumberAndPathNameAreParseErrors) {
    const std::string hostile[] = {
        lines({"mpatha (3600a) dm-0;touch${IFS}/tmp/x KELDOR,ZRN", kSize, kGroup, kPath1}),
        lines({"mpatha (3600a) dm- KELDOR,ZRN", kSize}),
        lines({kHdr, kSize, kGroup, "  `- 1:0:0:1 ../../tmp/victim 8:16 active ready running"}),
        lines({kHdr, kSize, kGroup, "  `- 1:0:0:1 .. 8:16 active ready running"}),
    };
    for (const std::string &text : hostile) {
        SCOPED_TRACE(text);
        Parsed cli = parseCli(text), mon = parseMon(text);
        EXPECT_EQ(cli.result, &common::EC_parse_cmd_out);
        EXPECT_EQ(cli.records, "");
        EXPECT_EQ(mon.result, &common::EC_parse_cmd_out);
    }
}

TEST(ParserEdges, ParseErrorIsLoggedWithTheLineNumber) {
    std::string log = "/dumps/morvel_cli.log";
    size_t before = topotest::readFile(log).size();
    // line 0 other vendor, 1 empty, 2 header, 3 size, 4 group, 5 short path line
    parseCli(lines({"x dm-1 OTHER,DISK", "", kHdr, kSize, kGroup, "  `- 1:0:0:1 sdb 8:16"}));
    std::string tail = topotest::readFile(log).substr(before);
    EXPECT_NE(tail.find("ERROR cli/cli_exe processPathInfo "), std::string::npos) << tail;
    EXPECT_NE(tail.find("Parse 5th line in 'multipath -ll' output failed."), std::string::npos) << tail;
    // the monitor drops the empty line: the same path line is its 4th
    before = topotest::readFile(log).size();
    parseMon(lines({"x dm-1 OTHER,DISK", "", kHdr, kSize, kGroup, "  `- 1:0:0:1 sdb 8:16"}));
    tail = topotest::readFile(log).substr(before);
    EXPECT_NE(tail.find("Parse 4th line in 'multipath -ll' output failed."), std::string::npos) << tail;
    // a missing size line is the whole parse's error
    before = topotest::readFile(log).size();
    parseCli(lines({kHdr}, false));
    parseMon(lines({kHdr}));
    tail = topotest::readFile(log).substr(before);
    EXPECT_NE(tail.find(" parseQueryCmdResultList "), std::string::npos) << tail;
    EXPECT_NE(tail.find(" parseQueryCmdResult "), std::string::npos) << tail;
}

TEST(ParserEdges, PathLineWords) {
    // aligned columns (runs of blanks) and a seventh word, which joins the sixth
    Parsed p = parseCli(lines({kHdr, kSize, kGroup, "  `- 2:0:0:0 sda 8:0  active ready running extra"}));
    EXPECT_NE(p.records.find("  8:0|sda|2:0:0:0|service-time 0|50|active|active|ready|running extra||"),
              std::string::npos)
        << p.records;
    p = parseMon(lines({kHdr, kSize, kGroup, "  `- 2:0:0:0 sda 8:0  active ready running extra"}));
    EXPECT_NE(p.records.find("|ready|running extra\n"), std::string::npos) << p.records;
    // multipathd pads the last column to the widest state of all its paths
    const char *padded = "  `- 2:0:0:0 sda     8:0   active ready  running          ";
    EXPECT_NE(parseCli(lines({kHdr, kSize, kGroup, padded})).records.find("|ready|running||"), std::string::npos);
    EXPECT_NE(parseMon(lines({kHdr, kSize, kGroup, padded})).records.find("|ready|running\n"), std::string::npos);
}

TEST(ParserEdges, GroupLineVariants) {
    auto group = [](const std::string &g) {
        Parsed p = parseCli(lines({kHdr, kSize, g, kPath1}));
        EXPECT_EQ(p.result, &common::EC_info_ok) << g;
        size_t at = p.records.find("  8:16|sdb|1:0:0:1|");
        std::string rest = at == std::string::npos ? "" : p.records.substr(at + 19);
        return rest.substr(0, rest.find("|active|ready"));
    };
    EXPECT_EQ(group("`-+- policy='round-robin 0' prio=1 status=enabled"), "round-robin 0|1|enabled");
    EXPECT_EQ(group("`-+- policy='service-time 0' status=active"), "service-time 0||active");
    EXPECT_EQ(group("`-+- policy='service-time 0 prio=50 status=active"), "service-time 0 prio=50 status=||");
    EXPECT_EQ(group("`-+- policy='queue-length 0' prio=0 status=undef"), "queue-length 0|0|undef");
    EXPECT_EQ(group("`-+- policy="), "||");
    // a group line starts a new group: later paths carry its values
    Parsed p = parseCli(lines({kHdr, kSize, "|-+- policy='a' prio=1 status=active", kPath1,
                               "`-+- policy='b' prio=2 status=enabled", kPath2}));
    EXPECT_NE(p.records.find("sdb|1:0:0:1|a|1|active|"), std::string::npos);
    EXPECT_NE(p.records.find("sdd|2:0:0:1|b|2|enabled|"), std::string::npos);
}

TEST(ParserEdges, ProcessPathInfoOverASplitBlock) {
    std::string g = kGroup, a = kPath1, b = kPath2;
    char *block[] = {g.data(), a.data(), b.data()};
    s_path_dev *anchor = mallocPathDev();
    FixedPortResolver none;
    EXPECT_EQ(processPathInfo(block, 0, 3, anchor, none), &common::EC_info_ok);
    EXPECT_STREQ(anchor->next->next->dev_name, "sdd");
    EXPECT_EQ(anchor->next->next->is_last, 1);
    // an empty range leaves the list empty
    initPathDev(anchor);
    EXPECT_EQ(processPathInfo(block, 2, 2, anchor, none), &common::EC_info_ok);
    EXPECT_EQ(anchor->is_last, 1);
    freePathDev(anchor);

    mon::s_path_dev *monAnchor = mallocPathDev<mon::s_path_dev>();
    EXPECT_EQ(processPathInfo(block, 0, 2, monAnchor), &common::EC_info_ok);
    EXPECT_STREQ(monAnchor->next->path_status, "ready");
    freePathDev(monAnchor);
}

TEST(ParserEdges, ReparseIntoTheSameListReusesIt) {
    MorvelList<mon::s_morvel> list;
    std::string three = fixture("mixed-3-maps.multipath-ll");
    ASSERT_EQ(parseQueryCmdResult(three.data(), list.anchor()), &common::EC_info_ok);
    mon::s_morvel *first = list.anchor()->next, *second = first->next;
    initMorvel(list.anchor());
    std::string one = lines({kHdr, kSize, kGroup, kPath1});
    ASSERT_EQ(parseQueryCmdResult(one.data(), list.anchor()), &common::EC_info_ok);
    EXPECT_EQ(list.anchor()->next, first);
    EXPECT_EQ(first->is_last, 1);
    EXPECT_EQ(first->next, second);
    EXPECT_EQ(dumpList(list.anchor()).find("mpathb"), std::string::npos);
}

// ---- the query functions over a fake multipath ----

class QueryTest : public ::testing::Test {
protected:
    void SetUp() override {
        TOPO_REQUIRE_SANDBOX();
        mkdir(kBin, 0755);
        // commands run with a fixed PATH: the fake sits first in it (the sandbox's root)
        mkdir("/usr/local/sbin", 0755);
        topotest::writeFile("/usr/local/sbin/multipath",
                            "#!/bin/sh\necho \"$@\" >> /tmp/fakebin/args\ncat /tmp/fakebin/out\n"
                            "exit $(cat /tmp/fakebin/rc 2>/dev/null || echo 0)\n");
        chmod("/usr/local/sbin/multipath", 0755);
        answer("", 0);
        unlink((std::string(kBin) + "/args").c_str());
    }
    void answer(const std::string &out, int rc) {
        topotest::writeFile(std::string(kBin) + "/out", out);
        topotest::writeFile(std::string(kBin) + "/rc", std::to_string(rc) + "\n");
    }
    std::string args() { return topotest::readFile(std::string(kBin) + "/args"); }

    static constexpr const char *kBin = "/tmp/fakebin";
};

TEST_F(QueryTest, CliParsesWhateverMultipathPrintsEvenOnANonZeroExit) {
    answer(fixture("scsi-debug-2-luns.multipath-ll"), 1);
    MorvelList<s_morvel> list;
    EXPECT_EQ(queryMorvelInfo(list.anchor()), &common::EC_info_ok);
    EXPECT_EQ(args(), "-ll\n");
    ASSERT_NE(findMorvelByPathAlias(list.anchor(), "mpathb"), nullptr);
    EXPECT_NE(findMorvelByDeviceName(list.anchor(), "mpathb", "sdd"), nullptr);
}

TEST_F(QueryTest, SingleDeviceQuery) {
    MorvelList<s_morvel> list;
    answer(fixture("iscsi-2-portals.multipath-ll"), 0);
    EXPECT_EQ(querySingleMorvelInfo(list.anchor(), "mpatha"), &common::EC_info_ok);
    EXPECT_EQ(args(), "-ll mpatha\n");
    EXPECT_NE(findMorvelByPathAlias(list.anchor(), "mpatha"), nullptr);

    // unknown to multipath: no such device, and the list is left empty
    answer("", 0);
    EXPECT_EQ(querySingleMorvelInfo(list.anchor(), "mpathq"), &common::EC_no_this_device);
    EXPECT_STREQ(common::EC_no_this_device.param1, "mpathq");
    EXPECT_EQ(firstValid(list.anchor()), nullptr);
    answer("36000aabbccdd0000000000000000001b dm-3 OTHER,DISK\n", 0);
    EXPECT_EQ(querySingleMorvelInfo(list.anchor(), "mpathz"), &common::EC_no_this_device);
    // "KELDOR" in the text but no header of the array: multipath-tools' listing of a namespace
    // under the kernel's own NVMe multipathing
    answer(lines({"uuid.4b454c44-4f52-5a52-4e00-00000000000a [nvme]:nvme0n1 NVMe,KELDORZRN,6.1.0",
                  "size=32768 features='n/a' hwhandler='ANA' wp=rw", "`-+- policy='n/a' prio=50 status=optimized",
                  "  `- 0:1:1 nvme0c0n1 0:0 n/a optimized live"}),
           0);
    EXPECT_EQ(querySingleMorvelInfo(list.anchor(), "nvme0n1"), &common::EC_no_this_device);
    // the map that holds a path given as the name answers to another name
    answer(fixture("iscsi-2-portals.multipath-ll"), 0);
    EXPECT_EQ(querySingleMorvelInfo(list.anchor(), "sda"), &common::EC_no_this_device);

    // a map that lost its paths is the array's when the vdisk-name store knows its WWID
    const std::string pathless = fixture("vm-pathless-map.multipath-ll");
    answer(pathless, 0);
    unlink(array::STORAGE_CONFIG_FILE);
    EXPECT_EQ(querySingleMorvelInfo(list.anchor(), "mpathb"), &common::EC_no_this_device);
    mkdir("/dumps", 0700);
    array::store_wwid_vdiskname(array::STORAGE_CONFIG_FILE, "333333330000007d1", "vd_b");
    for (const char *name : {"mpathb", "333333330000007d1"}) {
        EXPECT_EQ(querySingleMorvelInfo(list.anchor(), name), &common::EC_info_ok);
        EXPECT_EQ(dumpList(list.anchor()), "mpathb|333333330000007d1|1|KELDOR|ZRN|8.0M\n");
    }
    unlink(array::STORAGE_CONFIG_FILE);

    // a name that is no plain device name never reaches the command line
    EXPECT_EQ(querySingleMorvelInfo(list.anchor(), "mpatha;touch /tmp/x"), &common::EC_no_this_device);
    EXPECT_EQ(querySingleMorvelInfo(list.anchor(), "-v3"), &common::EC_no_this_device);
    EXPECT_EQ(args(), "-ll mpatha\n-ll mpathq\n-ll mpathz\n-ll nvme0n1\n-ll sda\n-ll mpathb\n-ll mpathb\n"
                      "-ll 333333330000007d1\n");
}

TEST_F(QueryTest, MonitorKeepsThePreviousRecordsWhenMultipathFails) {
    MorvelList<mon::s_morvel> list;
    answer(fixture("mixed-3-maps.multipath-ll"), 0);
    ASSERT_EQ(queryMorvelInfo(list.anchor()), &common::EC_info_ok);
    std::string before = dumpList(list.anchor());
    EXPECT_NE(before.find("mpathb|333333330000007d0"), std::string::npos);
    EXPECT_NE(before.find("mpathc|uuid."), std::string::npos);

    answer("", 1);
    EXPECT_EQ(queryMorvelInfo(list.anchor()), &common::EC_exe_cmd_failed);
    EXPECT_EQ(dumpList(list.anchor()), before);
}

TEST_F(QueryTest, LargeOutputsGrowBeyondTheStartBuffers) {
    std::string big;
    for (int i = 0; i < 200; ++i)
        big += "mpath" + std::to_string(i) + " (3600" + std::to_string(i) + ") dm-" + std::to_string(i) +
               " KELDOR,ZRN\n" + kSize + "\n" + kGroup + "\n" + kPath1 + "\n";
    answer(big, 0);
    MorvelList<mon::s_morvel> mon;
    ASSERT_EQ(queryMorvelInfo(mon.anchor()), &common::EC_info_ok);
    int n = 0;
    for (auto *d = mon.anchor()->next; d; d = d->is_last ? nullptr : d->next) ++n;
    EXPECT_EQ(n, 200);
    MorvelList<s_morvel> cli;
    ASSERT_EQ(queryMorvelInfo(cli.anchor()), &common::EC_info_ok);
    EXPECT_NE(findMorvelByPathAlias(cli.anchor(), "mpath199"), nullptr);
}


// ---- the running multipathd first, multipath -ll behind it ----

// A multipathd that morvel takes for running: a process called multipathd, named by
// /run/multipathd.pid. The same script answers client calls from dout/drc.
class DaemonQueryTest : public QueryTest {
protected:
    void SetUp() override {
        QueryTest::SetUp();
        std::string bin = "/usr/local/sbin/multipathd";  // first in the commands' fixed PATH
        topotest::writeFile(bin, "#!/bin/sh\n[ \"$1\" = daemon ] && while :; do sleep 1; done\n"
                                 "echo \"$@\" >> /tmp/fakebin/dargs\ncat /tmp/fakebin/dout\n"
                                 "exit $(cat /tmp/fakebin/drc)\n");
        chmod(bin.c_str(), 0755);
        unlink((std::string(kBin) + "/dargs").c_str());
        reply("", 0);
        pid_ = fork();
        if (pid_ == 0) {
            execl(bin.c_str(), bin.c_str(), "daemon", static_cast<char *>(nullptr));
            _exit(127);
        }
        for (int i = 0; i < 100 && topotest::readFile("/proc/" + std::to_string(pid_) + "/comm") != "multipathd\n"; ++i)
            usleep(10000);
        pretendRunning(pid_);
    }
    void TearDown() override {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        unlink("/run/multipathd.pid");
        QueryTest::TearDown();
    }
    void pretendRunning(pid_t pid) { topotest::writeFile("/run/multipathd.pid", std::to_string(pid) + "\n"); }
    void reply(const std::string &out, int rc) {
        topotest::writeFile(std::string(kBin) + "/dout", out);
        topotest::writeFile(std::string(kBin) + "/drc", std::to_string(rc) + "\n");
    }
    std::string daemonArgs() { return topotest::readFile(std::string(kBin) + "/dargs"); }
    static std::string log() { return topotest::readFile("/dumps/morvel_cli.log"); }
    pid_t pid_ = -1;
};

// One quiet moment of the VM from both sources: the daemon lists the maps in the order it
// learned them and pads its columns over all paths; the lists must come out the same.
TEST_F(DaemonQueryTest, BothSourcesGiveTheSameListsAndTheDaemonIsAskedFirst) {
    reply(fixture("vm-offline-path.multipathd-show-topology"), 0);
    answer(fixture("vm-offline-path.multipath-ll"), 0);
    MorvelList<s_morvel> fromDaemon, fromLl;
    MorvelList<mon::s_morvel> monDaemon, monLl;
    ASSERT_EQ(queryMorvelInfo(fromDaemon.anchor()), &common::EC_info_ok);
    ASSERT_EQ(queryMorvelInfo(monDaemon.anchor()), &common::EC_info_ok);
    EXPECT_EQ(daemonArgs(), "show topology\nshow topology\n");
    EXPECT_EQ(args(), "");
    unlink("/run/multipathd.pid");
    ASSERT_EQ(queryMorvelInfo(fromLl.anchor()), &common::EC_info_ok);
    ASSERT_EQ(queryMorvelInfo(monLl.anchor()), &common::EC_info_ok);
    EXPECT_EQ(dumpList(fromDaemon.anchor()), dumpList(fromLl.anchor()));
    EXPECT_EQ(dumpList(monDaemon.anchor()), dumpList(monLl.anchor()));
    EXPECT_NE(dumpList(fromDaemon.anchor()).find("|sdb|1:0:0:0|round-robin 0|0|enabled|failed|faulty|offline"),
              std::string::npos);
    EXPECT_NE(log().find("multipathd is not running, reading the topology with [multipath -ll]."), std::string::npos);

    // a pid file that names another program: not running, and the daemon is not called
    pretendRunning(getpid());
    ASSERT_EQ(queryMorvelInfo(fromLl.anchor()), &common::EC_info_ok);
    EXPECT_EQ(daemonArgs(), "show topology\nshow topology\n");
    // with the monitor's memory of the last cycle, a stopped daemon is reported once
    const auto said = [] {
        const std::string text = log(), what = "is not running, reading";
        size_t n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
        return n;
    };
    const size_t before = said();
    for (int ran = -1, i = 0; i < 3; ++i) ASSERT_EQ(queryMorvelInfo(monLl.anchor(), &ran), &common::EC_info_ok);
    EXPECT_EQ(said(), before + 1);
}


TEST_F(DaemonQueryTest, UnusableDaemonRepliesFallBackToMultipath) {
    const std::string ll = fixture("vm-offline-path.multipath-ll");
    answer(ll, 0);
    const std::string expected = [&] {
        MorvelList<s_morvel> l;
        parseQueryCmdResultList(ll.c_str(), l.anchor());
        return dumpList(l.anchor());
    }();
    struct Case {
        std::string out;
        int rc;
        const char *why;
    } cases[] = {
        {"fail\n", 1, "it failed"},
        {"mpatha (3600a) dm-0 KELDOR,ZRN\n" + std::string(kSize) + "\n| x\n", 0, "its text could not be parsed"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.why);
        reply(c.out, c.rc);
        MorvelList<s_morvel> cliList;
        MorvelList<mon::s_morvel> monList;
        ASSERT_EQ(queryMorvelInfo(cliList.anchor()), &common::EC_info_ok);
        EXPECT_EQ(dumpList(cliList.anchor()), expected);
        ASSERT_EQ(queryMorvelInfo(monList.anchor()), &common::EC_info_ok);
        EXPECT_NE(dumpList(monList.anchor()).find("|36000aabbccdd00000000000000000a01|"), std::string::npos);
        EXPECT_NE(log().find("[multipathd show topology] gave no usable topology (" + std::string(c.why) +
                             "), reading it with [multipath -ll]."),
                  std::string::npos);
    }
    EXPECT_EQ(args(), "-ll\n-ll\n-ll\n-ll\n");
}

TEST_F(DaemonQueryTest, SingleNameFromTheDaemonOnlyWhenItShowsThatMap) {
    const std::string mapA = lines({"mpatha (36000aabbccdd0000000000000000001a) dm-0 KELDOR,ZRN", kSize,
                                    "`-+- policy='service-time 0' prio=50 status=active", kPath1});
    answer(mapA, 0);
    MorvelList<s_morvel> list;
    reply(mapA, 0);
    EXPECT_EQ(querySingleMorvelInfo(list.anchor(), "mpatha"), &common::EC_info_ok);
    EXPECT_EQ(daemonArgs(), "show map mpatha topology\n");
    EXPECT_EQ(args(), "");
    // a WWID: the daemon says "fail", multipath -ll answers
    reply("fail\n", 1);
    EXPECT_EQ(querySingleMorvelInfo(list.anchor(), "36000aabbccdd0000000000000000001a"), &common::EC_info_ok);
    EXPECT_NE(findMorvelByPathAlias(list.anchor(), "mpatha"), nullptr);
    // the daemon answers for dm-0, multipath -ll knows no map of that name
    reply(mapA, 0);
    answer("", 0);
    EXPECT_EQ(querySingleMorvelInfo(list.anchor(), "dm-0"), &common::EC_no_this_device);
    EXPECT_NE(log().find("[multipathd show map dm-0 topology] gave no usable topology (it shows another map)"),
              std::string::npos);
    // another vendor's map
    reply("mpathq (3600q) dm-5 OTHER,DISK\n", 0);
    EXPECT_EQ(querySingleMorvelInfo(list.anchor(), "mpathq"), &common::EC_no_this_device);
    EXPECT_EQ(daemonArgs(), "show map mpatha topology\nshow map 36000aabbccdd0000000000000000001a topology\nshow map dm-0 topology\n"
                            "show map mpathq topology\n");
    EXPECT_EQ(args(), "-ll 36000aabbccdd0000000000000000001a\n-ll dm-0\n-ll mpathq\n");
}
}  // namespace
}  // namespace morvel::structs
