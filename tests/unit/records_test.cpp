// Reusable device and path lists (both record layouts) and the look-ups.
#include <gtest/gtest.h>

#include <cstring>
#include <type_traits>
#include <string>
#include <vector>

#include "common/comm_util.h"
#include "struct/s_morvel.h"

namespace morvel::structs {
namespace {

template <class M>
struct Layout {
    using Device = M;
    using Path = std::remove_pointer_t<decltype(M::pdev)>;
};
using Layouts = ::testing::Types<Layout<s_morvel>, Layout<mon::s_morvel>>;

template <class T>
class ListTest : public ::testing::Test {
protected:
    using Device = typename T::Device;
    using Path = typename T::Path;

    // The producers' fill pattern: empty the list, then append with get-or-allocate. Each
    // device gets `paths` paths named <alias>-p<k>.
    std::vector<Device *> fill(Device *anchor, const std::vector<std::string> &aliases, int paths = 1) {
        std::vector<Device *> nodes;
        initMorvel(anchor);
        Device *prev = anchor;
        for (const std::string &alias : aliases) {
            Device *dev = getOrMallocNextMorvel(prev);
            EXPECT_NE(dev, nullptr);
            common::copyField(dev->path_alias, alias.c_str());
            if (!dev->pdev) dev->pdev = mallocPathDev<Path>();
            initPathDev(dev->pdev);
            Path *pprev = dev->pdev;
            for (int k = 0; k < paths; ++k) {
                Path *p = getOrMallocNextPathDev(pprev);
                common::copyField(p->dev_name, (alias + "-p" + std::to_string(k)).c_str());
                pprev->is_last = 0;
                pprev = p;
            }
            prev->is_last = 0;
            prev = dev;
            nodes.push_back(dev);
        }
        return nodes;
    }

    // The valid devices as a reader sees them.
    static std::vector<std::string> visible(Device *anchor) {
        std::vector<std::string> out;
        if (anchor->is_last == 1) return out;
        for (Device *d = anchor->next; d; d = d->next) {
            out.push_back(d->path_alias);
            if (d->is_last == 1) break;
        }
        return out;
    }
};
TYPED_TEST_SUITE(ListTest, Layouts);

TYPED_TEST(ListTest, RefillingWithFewerDevicesReusesNodesAndHidesTheRest) {
    using Device = typename TestFixture::Device;
    MorvelList<Device> list;
    Device *anchor = list.anchor();
    auto three = this->fill(anchor, {"mpatha", "mpathb", "mpathc"}, 2);

    auto one = this->fill(anchor, {"mpathz"});
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0], three[0]);
    EXPECT_EQ(one[0]->is_last, 1);
    EXPECT_EQ(one[0]->next, three[1]) << "stale nodes stay allocated behind the last valid one";
    EXPECT_EQ(three[1]->next, three[2]);
    EXPECT_EQ(this->visible(anchor), std::vector<std::string>{"mpathz"});
    // the reused device's path list was emptied and refilled with one path, on the old node
    EXPECT_EQ(one[0]->pdev->next->is_last, 1);
    EXPECT_STREQ(one[0]->pdev->next->dev_name, "mpathz-p0");

    auto again = this->fill(anchor, {"a", "b", "c"});
    EXPECT_EQ(again, three) << "a refill up to the largest size seen allocates nothing";
    EXPECT_EQ(this->visible(anchor), (std::vector<std::string>{"a", "b", "c"}));
}

TYPED_TEST(ListTest, EmptiedAnchorShowsNoDevicesWhateverItsNextHolds) {
    using Device = typename TestFixture::Device;
    MorvelList<Device> list;
    this->fill(list.anchor(), {"mpatha", "mpathb"});
    initMorvel(list.anchor());
    EXPECT_EQ(list.anchor()->is_last, 1);
    EXPECT_NE(list.anchor()->next, nullptr);
    EXPECT_TRUE(this->visible(list.anchor()).empty());
}

TYPED_TEST(ListTest, InitKeepsLinksAndEmptiesThePathList) {
    using Device = typename TestFixture::Device;
    using Path = typename TestFixture::Path;
    MorvelList<Device> list;
    auto devs = this->fill(list.anchor(), {"mpatha", "mpathb"}, 3);
    Device *dev = devs[0];
    Path *pathAnchor = dev->pdev;
    Path *firstPath = pathAnchor->next;

    _initMorvel(dev);
    EXPECT_EQ(dev->path_alias[0], '\0');
    EXPECT_EQ(dev->is_last, 1);
    EXPECT_EQ(dev->next, devs[1]);
    EXPECT_EQ(dev->pdev, pathAnchor);
    EXPECT_EQ(pathAnchor->is_last, 1);
    EXPECT_EQ(pathAnchor->next, firstPath) << "path nodes are kept for reuse";

    Path *reused = getOrMallocNextPathDev(pathAnchor);
    EXPECT_EQ(reused, firstPath);
    EXPECT_EQ(reused->dev_name[0], '\0') << "a reused node comes back cleared";
    EXPECT_EQ(reused->is_last, 1);
}

TYPED_TEST(ListTest, NullArgumentsAreIgnored) {
    using Device = typename TestFixture::Device;
    using Path = typename TestFixture::Path;
    EXPECT_EQ(getOrMallocNextMorvel<Device>(nullptr), nullptr);
    EXPECT_EQ(getOrMallocNextPathDev<Path>(nullptr), nullptr);
    initMorvel<Device>(nullptr);
    _initPathDev<Path>(nullptr);
    freeMorvel<Device>(nullptr);
    freePathDev<Path>(nullptr);
    Path *p = mallocPathDev<Path>();
    EXPECT_EQ(p->is_last, 1);
    EXPECT_EQ(p->next, nullptr);
    freePathDev(p);
}

// Run under the Asan build: the leak checker fails this test if stale nodes are not freed.
TYPED_TEST(ListTest, FreeReleasesStaleDevicesAndPaths) {
    using Device = typename TestFixture::Device;
    Device *anchor = mallocMorvel<Device>();
    this->fill(anchor, {"a", "b", "c", "d"}, 4);
    this->fill(anchor, {"a"}, 1);
    freeMorvel(anchor);

    MorvelList<Device> owner;
    this->fill(owner.anchor(), {"x", "y"}, 2);
    MorvelList<Device> moved(std::move(owner));
    EXPECT_FALSE(owner);
    moved = MorvelList<Device>();  // frees the two devices it held
    EXPECT_TRUE(this->visible(moved.anchor()).empty());
}

// ---- look-ups (morvel's layout) ----

class LookupTest : public ListTest<Layout<s_morvel>> {};

TEST_F(LookupTest, FindsByAliasWithinSixtyFiveCharacters) {
    MorvelList<> list;
    std::string longAlias(65, 'a');
    auto devs = fill(list.anchor(), {"mpatha", longAlias + "X"});
    EXPECT_EQ(findMorvelByPathAlias(list.anchor(), "mpatha"), devs[0]);
    EXPECT_EQ(findMorvelByPathAlias(list.anchor(), (longAlias + "Y").c_str()), devs[1]);
    EXPECT_EQ(findMorvelByPathAlias_noMemoryLeak(list.anchor(), longAlias.c_str()), devs[1]);
    EXPECT_EQ(findMorvelByPathAlias(list.anchor(), longAlias.substr(1).c_str()), nullptr);
    EXPECT_EQ(findMorvelByPathAlias(list.anchor(), "mpath"), nullptr);
    EXPECT_EQ(findMorvelByPathAlias(list.anchor(), nullptr), nullptr);
    EXPECT_EQ(findMorvelByPathAlias(nullptr, "mpatha"), nullptr);
}

TEST_F(LookupTest, StaleDevicesAreNotFound) {
    MorvelList<> list;
    fill(list.anchor(), {"mpatha", "mpathb", "mpathc"});
    fill(list.anchor(), {"mpathx"});
    EXPECT_EQ(findMorvelByPathAlias(list.anchor(), "mpathb"), nullptr);
    EXPECT_EQ(findMorvelByDeviceName(list.anchor(), "mpathb", "mpathb-p0"), nullptr);
    fill(list.anchor(), {});
    EXPECT_EQ(findMorvelByPathAlias(list.anchor(), "mpathx"), nullptr);
}

TEST_F(LookupTest, FindsPathOnlyUnderItsOwnDevice) {
    MorvelList<> list;
    auto devs = fill(list.anchor(), {"mpatha", "mpathb"}, 2);
    s_path_dev *p = findMorvelByDeviceName(list.anchor(), "mpathb", "mpathb-p1");
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p, devs[1]->pdev->next->next);
    EXPECT_EQ(findMorvelByDeviceName(list.anchor(), "mpatha", "mpathb-p1"), nullptr);
    EXPECT_EQ(findMorvelByDeviceName(list.anchor(), "mpathq", "mpathb-p1"), nullptr);
    EXPECT_EQ(findMorvelByDeviceName(list.anchor(), "mpatha", nullptr), nullptr);

    // a device whose path list was emptied has no paths to find
    initPathDev(devs[0]->pdev);
    EXPECT_EQ(findMorvelByDeviceName(list.anchor(), "mpatha", "mpatha-p0"), nullptr);
}

}  // namespace
}  // namespace morvel::structs
