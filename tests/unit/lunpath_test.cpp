// LUN-path records: flattening of the monitor's device list, copies, look-ups and the
// reuse of list nodes.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "common/log.h"
#include "monitor_test_util.h"
#include "struct/s_lunPath.h"

namespace {

using namespace morvel;
using structs::LunPathIndex;
using structs::s_lunPath;
using testutil::DevSpec;
using testutil::recordLines;

class LunPathTest : public ::testing::Test {
protected:
    void SetUp() override { common::set_log_variant(common::LogVariant::Monitor); }
    structs::MorvelList<structs::mon::s_morvel> devs;
    structs::LunPathList list;
};

TEST_F(LunPathTest, FlattensDevicesInOutputOrderWithCheckerState) {
    testutil::fillDevices(devs.anchor(),
                          {{"mpatha", "3600a1",
                            {{"sdb", "8:16", "ready", "active", "running"},
                             {"sdd", "8:48", "ready", "active", "running"},
                             {"sdc", "8:32", "ready", "enabled", "running"},
                             {"sde", "8:64", "faulty", "enabled", "offline"}}},
                           {"mpathb", "3600a2", {}},
                           {"mpathc", "3600a3", {{"sdf", "8:80", "ghost", "active", "running"}}}});
    ASSERT_EQ(structs::cvtMorvelToLunpath(devs.anchor(), list.anchor()), &common::EC_ok);
    EXPECT_EQ(recordLines(list.anchor()), (std::vector<std::string>{
                                              "mpatha,3600a1,8:16,sdb,ready,active,running,",
                                              "mpatha,3600a1,8:48,sdd,ready,active,running,",
                                              "mpatha,3600a1,8:32,sdc,ready,enabled,running,",
                                              "mpatha,3600a1,8:64,sde,faulty,enabled,offline,",
                                              "mpathb,3600a2,,,,,,",  // a LUN without paths
                                              "mpathc,3600a3,8:80,sdf,ghost,active,running,",
                                          }));
}

TEST_F(LunPathTest, EmptyAndStaleDeviceListsGiveNoRecords) {
    ASSERT_EQ(structs::cvtMorvelToLunpath(devs.anchor(), list.anchor()), &common::EC_ok);
    EXPECT_TRUE(recordLines(list.anchor()).empty());

    // A refill that found nothing leaves stale devices behind the anchor: not records.
    testutil::fillDevices(devs.anchor(), {{"mpatha", "w1", {{"sda", "8:0", "ready", "active", "running"}}}});
    ASSERT_EQ(structs::cvtMorvelToLunpath(devs.anchor(), list.anchor()), &common::EC_ok);
    ASSERT_EQ(structs::countLunpath(list.anchor()), 1u);
    testutil::fillDevices(devs.anchor(), {});
    ASSERT_EQ(structs::cvtMorvelToLunpath(devs.anchor(), list.anchor()), &common::EC_ok);
    EXPECT_EQ(structs::countLunpath(list.anchor()), 0u);
    EXPECT_EQ(structs::findLunpathByDevName(list.anchor(), "sda"), nullptr);

    // A device whose path list was emptied (stale path nodes) counts as pathless.
    testutil::fillDevices(devs.anchor(), {{"mpatha", "w1", {{"sda", "8:0", "ready", "active", "running"}}}});
    testutil::fillDevices(devs.anchor(), {{"mpatha", "w1", {}}});
    ASSERT_EQ(structs::cvtMorvelToLunpath(devs.anchor(), list.anchor()), &common::EC_ok);
    EXPECT_EQ(recordLines(list.anchor()), std::vector<std::string>{"mpatha,w1,,,,,,"});

    EXPECT_EQ(structs::cvtMorvelToLunpath(nullptr, list.anchor()), &common::EC_invalid_input);
    EXPECT_EQ(structs::cvtMorvelToLunpath(devs.anchor(), nullptr), &common::EC_invalid_input);
    EXPECT_EQ(structs::cpyLunpath(nullptr, list.anchor()), &common::EC_invalid_input);
}

TEST_F(LunPathTest, LongTextsAreCutToTheFieldWidth) {
    const std::string alias40(40, 'a');
    const std::string wwid65 = std::string(64, '3') + "f";
    testutil::fillDevices(devs.anchor(), {{alias40, wwid65, {{std::string(30, 's'), "8:0", "ready", "active",
                                                               "running"}}}});
    ASSERT_EQ(structs::cvtMorvelToLunpath(devs.anchor(), list.anchor()), &common::EC_ok);
    const s_lunPath *r = list.anchor()->next;
    EXPECT_EQ(std::string(r->lun_alias), std::string(30, 'a'));
    EXPECT_EQ(std::string(r->lun_wwid), wwid65);
    EXPECT_EQ(std::string(r->path_dev_name), std::string(30, 's'));
    EXPECT_EQ(structs::findLunpathByLunId(list.anchor(), wwid65.c_str()), r);
    // Look-ups compare at most the field width.
    EXPECT_EQ(structs::findLunpathByLunId(list.anchor(), (wwid65 + "XYZ").c_str()), r);
    EXPECT_EQ(structs::findLunpathByDevName(list.anchor(), (std::string(30, 's') + "t").c_str()), r);
    EXPECT_EQ(structs::findLunpathByLunId(list.anchor(), wwid65.substr(0, 64).c_str()), nullptr);
}

TEST_F(LunPathTest, RefillReusesNodesAndHidesSurplusRecords) {
    auto three = std::vector<DevSpec>{{"m1", "w1", {{"sda", "8:0", "ready", "active", "running"},
                                                    {"sdb", "8:16", "ready", "active", "running"}}},
                                      {"m2", "w2", {{"sdc", "8:32", "ready", "active", "running"}}}};
    testutil::fillDevices(devs.anchor(), three);
    ASSERT_EQ(structs::cvtMorvelToLunpath(devs.anchor(), list.anchor()), &common::EC_ok);
    std::vector<s_lunPath *> nodes;
    for (s_lunPath *n = list.anchor()->next; n != nullptr; n = n->next) nodes.push_back(n);
    ASSERT_EQ(nodes.size(), 3u);

    testutil::fillDevices(devs.anchor(), {{"m2", "w2", {{"sdc", "8:32", "faulty", "active", "running"}}}});
    ASSERT_EQ(structs::cvtMorvelToLunpath(devs.anchor(), list.anchor()), &common::EC_ok);
    EXPECT_EQ(list.anchor()->next, nodes[0]);
    EXPECT_EQ(nodes[0]->is_last, 1);
    EXPECT_EQ(nodes[0]->next, nodes[1]);  // surplus nodes stay linked for reuse
    EXPECT_EQ(recordLines(list.anchor()), std::vector<std::string>{"m2,w2,8:32,sdc,faulty,active,running,"});
    // The stale records (sda, sdb, LUN w1) are invisible to every reader.
    EXPECT_EQ(structs::findLunpathByDevName(list.anchor(), "sdb"), nullptr);
    EXPECT_EQ(structs::findLunpathByLunId(list.anchor(), "w1"), nullptr);
    structs::LunPathList copy;
    ASSERT_EQ(structs::cpyLunpath(list.anchor(), copy.anchor()), &common::EC_ok);
    EXPECT_EQ(recordLines(copy.anchor()), recordLines(list.anchor()));
    LunPathIndex idx(LunPathIndex::Key::DevName);
    idx.build(list.anchor());
    EXPECT_EQ(idx.find("sdb"), nullptr);

    // Growing back to three records reuses all three nodes; a fourth is appended.
    three[1].paths.push_back({"sdd", "8:48", "ready", "active", "running"});
    testutil::fillDevices(devs.anchor(), three);
    ASSERT_EQ(structs::cvtMorvelToLunpath(devs.anchor(), list.anchor()), &common::EC_ok);
    std::vector<s_lunPath *> after;
    for (s_lunPath *n = list.anchor()->next; n != nullptr; n = n->next) after.push_back(n);
    ASSERT_EQ(after.size(), 4u);
    EXPECT_TRUE(std::equal(nodes.begin(), nodes.end(), after.begin()));
    EXPECT_EQ(structs::countLunpath(list.anchor()), 4u);
}

TEST_F(LunPathTest, CopyMakesAnExactIndependentCopy) {
    testutil::fillRecords(list.anchor(), {"a,w1,8:0,sda,ready,active,running,", "b,w2,,,,,,",
                                          "c,w3,8:16,sdb,faulty,enabled,offline,"});
    structs::LunPathList dst;
    testutil::fillRecords(dst.anchor(), {"x,x,x,x,x,x,x,", "y,y,y,y,y,y,y,", "z,z,z,z,z,z,z,",
                                         "q,q,q,q,q,q,q,"});
    ASSERT_EQ(structs::cpyLunpath(list.anchor(), dst.anchor()), &common::EC_ok);
    EXPECT_EQ(recordLines(dst.anchor()), recordLines(list.anchor()));
    common::copyField(list.anchor()->next->path_status, "faulty");
    EXPECT_EQ(std::string(dst.anchor()->next->path_status), "ready");

    // Copying an empty list empties the destination; copying a list onto itself keeps it.
    structs::LunPathList empty;
    ASSERT_EQ(structs::cpyLunpath(empty.anchor(), dst.anchor()), &common::EC_ok);
    EXPECT_EQ(structs::countLunpath(dst.anchor()), 0u);
    ASSERT_EQ(structs::cpyLunpath(list.anchor(), list.anchor()), &common::EC_ok);
    EXPECT_EQ(structs::countLunpath(list.anchor()), 3u);
}

TEST_F(LunPathTest, LookupsReturnTheFirstMatchAndEmptyNameFindsPathlessLun) {
    testutil::fillRecords(list.anchor(), {"a,w1,8:0,sda,ready,active,running,", "b,w2,,,,,,",
                                          "a,w1,8:16,sdb,ready,active,running,", "c,w3,,,,,,"});
    s_lunPath *first = list.anchor()->next;
    EXPECT_EQ(structs::findLunpathByLunId(list.anchor(), "w1"), first);
    EXPECT_EQ(structs::findLunpathByDevName(list.anchor(), "sdb"), first->next->next);
    EXPECT_EQ(structs::findLunpathByDevName(list.anchor(), ""), first->next);
    EXPECT_EQ(structs::findLunpathByDevName(list.anchor(), "sdz"), nullptr);
    EXPECT_EQ(structs::findLunpathByDevName(list.anchor(), nullptr), nullptr);
    EXPECT_EQ(structs::findLunpathByLunId(nullptr, "w1"), nullptr);
}

// The index must answer exactly like the linear look-ups, duplicates and stale nodes
// included, and must not reallocate its table while the list does not grow.
TEST_F(LunPathTest, IndexAgreesWithLinearLookups) {
    std::mt19937 rng(7);
    LunPathIndex byWwid(LunPathIndex::Key::Wwid), byName(LunPathIndex::Key::DevName);
    size_t capW = 0, capN = 0;
    for (int round = 0; round < 20; ++round) {
        std::vector<std::string> lines;
        const int n = round == 0 ? 400 : static_cast<int>(rng() % 400);
        for (int i = 0; i < n; ++i) {
            const std::string w = std::string("w").append(std::to_string(rng() % 150));
            const std::string name = (rng() % 10 == 0) ? "" : "sd" + std::to_string(rng() % 300);
            lines.push_back("a," + w + ",1:1," + name + ",ready,active,running,");
        }
        testutil::fillRecords(list.anchor(), lines);
        byWwid.build(list.anchor());
        byName.build(list.anchor());
        if (round == 0) {
            capW = byWwid.capacity();
            capN = byName.capacity();
        }
        EXPECT_EQ(byWwid.capacity(), capW);
        EXPECT_EQ(byName.capacity(), capN);
        for (int k = 0; k < 160; ++k) {
            const std::string w = std::string("w").append(std::to_string(k));
            EXPECT_EQ(byWwid.find(w.c_str()), structs::findLunpathByLunId(list.anchor(), w.c_str()));
        }
        for (int k = 0; k < 310; ++k) {
            const std::string name = "sd" + std::to_string(k);
            EXPECT_EQ(byName.find(name.c_str()), structs::findLunpathByDevName(list.anchor(), name.c_str()));
        }
        EXPECT_EQ(byName.find(""), structs::findLunpathByDevName(list.anchor(), ""));
        EXPECT_EQ(byName.find(nullptr), nullptr);
    }
}

}  // namespace
