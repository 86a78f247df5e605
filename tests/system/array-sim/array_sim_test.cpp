// The simulated array's answers, byte for byte, and read back through morvel's own page
// decoders: what the system tests prove on a real kernel path starts from these bytes.
#include <gtest/gtest.h>

#include <cstring>
#include <map>

#include "array/array.h"
#include "tests/system/array-sim/scsi_lun.h"

namespace keldorsim {
namespace marr = morvel::array;
namespace {

class MemBacking : public Backing {
public:
    explicit MemBacking(size_t size) : data(size, 0) {}
    bool read(uint64_t offset, std::span<uint8_t> out) override {
        std::memcpy(out.data(), data.data() + offset, out.size());
        return true;
    }
    bool write(uint64_t offset, std::span<const uint8_t> in) override {
        std::memcpy(data.data() + offset, in.data(), in.size());
        return true;
    }
    bool flush() override { return true; }
    std::vector<uint8_t> data;
};

class ArraySim : public ::testing::Test {
protected:
    ArraySim() : backing(64 * 1024) {
        id.wwid = "36000aabbccdd00000000000000000a01";
        id.serial = "KLD0000A01";
        id.size_bytes = 64 * 1024;
        sw.vdisk_name = "vd_sales_01";
    }
    Reply run(std::vector<uint8_t> cdb, size_t room = 255, std::vector<uint8_t> out = {}) {
        return execute(id, sw, counters, backing, cdb, out, room);
    }
    // INQUIRY with EVPD as morvel builds it, answer copied into a page buffer of morvel's size
    Reply vpd(uint8_t page, unsigned char buf[marr::DISK_PAGE_BUF_SIZE]) {
        unsigned char cdb[6];
        marr::build_inquiry_cdb(cdb, page);
        Reply r = run(std::vector<uint8_t>(cdb, cdb + 6), marr::INQ_DXFER_LEN);
        std::memset(buf, 0, marr::DISK_PAGE_BUF_SIZE);
        if (!r.data_in.empty()) std::memcpy(buf, r.data_in.data(), r.data_in.size());
        return r;
    }
    // Page 0x00 as morvel reads it: the number of pages listed, and whether 0xD0 is one of them.
    struct Listing {
        unsigned int count = 0;
        bool has_d0 = false;
    };
    Listing listing() {
        unsigned char page[marr::DISK_PAGE_BUF_SIZE];
        EXPECT_EQ(kStatusGood, vpd(0x00, page).status);
        char list[32][marr::PAGE_LIST_TEXT];
        Listing l;
        EXPECT_EQ(0, marr::decode_page_00(page, list, 32, &l.count));
        l.has_d0 = marr::is_support_xx_page("d0", list, &l.count) == 0;
        return l;
    }
    static void expect_illegal(const Reply& r, uint8_t asc) {
        EXPECT_EQ(kStatusCheckCondition, r.status);
        ASSERT_EQ(18u, r.sense.size());
        EXPECT_EQ(0x70, r.sense[0]);
        EXPECT_EQ(0x05, r.sense[2]);  // ILLEGAL REQUEST
        EXPECT_EQ(asc, r.sense[12]);
    }

    LunIdentity id;
    LunSwitches sw;
    LunCounters counters;
    MemBacking backing;
};

TEST(Wwid, NaaSixOfThirtyThreeCharactersOnly) {
    const auto naa = wwid_to_naa("36000aabbccdd00000000000000000a01");
    ASSERT_EQ(16u, naa.size());
    EXPECT_EQ(0x60, naa[0]);
    EXPECT_EQ(0x01, naa[15]);
    EXPECT_TRUE(wwid_to_naa("36000aabbccdd00000000000000000a0").empty());    // 32 characters
    EXPECT_TRUE(wwid_to_naa("36000aabbccdd00000000000000000a012").empty());  // 34
    EXPECT_TRUE(wwid_to_naa("35000aabbccdd00000000000000000a01").empty());   // NAA-5
    EXPECT_TRUE(wwid_to_naa("36000aabbccdd0000000000000000za01").empty());
}

TEST_F(ArraySim, VdiskNameReadsBackThroughMorvelsDecoders) {
    EXPECT_TRUE(listing().has_d0);

    unsigned char page[marr::DISK_PAGE_BUF_SIZE];
    ASSERT_EQ(kStatusGood, vpd(0xD0, page).status);
    char name[128];
    EXPECT_EQ(11u, marr::decode_page_d0(page, name, sizeof name));
    EXPECT_STREQ("vd_sales_01", name);
    EXPECT_EQ(1u, counters.inquiry_vpd_00);
    EXPECT_EQ(1u, counters.inquiry_vpd_d0);

    sw.vdisk_name = "vd_sales_renamed";
    vpd(0xD0, page);
    marr::decode_page_d0(page, name, sizeof name);
    EXPECT_STREQ("vd_sales_renamed", name);
}

TEST_F(ArraySim, PageD0RefusedIsListedButEndsInCheckCondition) {
    sw.page_d0 = PageD0::refused;
    EXPECT_TRUE(listing().has_d0);
    unsigned char page[marr::DISK_PAGE_BUF_SIZE];
    expect_illegal(vpd(0xD0, page), 0x24);
}

// The latency and hang switches keep back page 0xD0 requests only: the path checkers' and the
// disk driver's commands are answered at once.
TEST_F(ArraySim, OnlyPageD0WaitsForTheLatencyAndHangSwitches) {
    const std::vector<uint8_t> d0 = {0x12, 0x01, 0xD0, 0x00, 0xFF, 0x00}, p00 = {0x12, 0x01, 0x00, 0x00, 0xFF, 0x00},
                               tur = {0x00, 0, 0, 0, 0, 0}, std_inq = {0x12, 0x00, 0xD0, 0x00, 0xFF, 0x00};
    EXPECT_FALSE(held_back(sw, d0));
    LunSwitches delayed = sw, hung = sw;
    delayed.d0_delay_ms = 200;
    hung.d0_hang = true;
    for (const LunSwitches &w : {delayed, hung}) {
        EXPECT_TRUE(held_back(w, d0));
        for (const auto &cdb : {p00, tur, std_inq}) EXPECT_FALSE(held_back(w, cdb));
    }
}

TEST_F(ArraySim, PageD0SwitchedOffIsNeitherListedNorAnswered) {
    sw.page_d0 = PageD0::unlisted;
    const Listing l = listing();
    EXPECT_EQ(6u, l.count);
    EXPECT_FALSE(l.has_d0);
    unsigned char page[marr::DISK_PAGE_BUF_SIZE];
    expect_illegal(vpd(0xD0, page), 0x24);
    EXPECT_EQ(1u, counters.inquiry_vpd_d0);  // counted even when refused
}

TEST_F(ArraySim, IdentityPagesCarryTheWwidAndSerial) {
    Reply std_inq = run({0x12, 0, 0, 0, 96, 0});
    ASSERT_EQ(36u, std_inq.data_in.size());
    EXPECT_EQ("KELDOR  ZRN             0001", std::string(std_inq.data_in.begin() + 8, std_inq.data_in.end()));
    EXPECT_EQ(0, std_inq.data_in[5] & 0x30);  // no ALUA

    Reply p83 = run({0x12, 1, 0x83, 0, 255, 0});
    ASSERT_GE(p83.data_in.size(), 24u);
    EXPECT_EQ(0x01, p83.data_in[4]);  // binary
    EXPECT_EQ(0x03, p83.data_in[5]);  // NAA, associated with the LUN
    EXPECT_EQ(16, p83.data_in[7]);
    EXPECT_EQ(wwid_to_naa(id.wwid), std::vector<uint8_t>(p83.data_in.begin() + 8, p83.data_in.begin() + 24));
    EXPECT_EQ(p83.data_in.size() - 4, static_cast<size_t>(p83.data_in[2] << 8 | p83.data_in[3]));

    Reply p80 = run({0x12, 1, 0x80, 0, 255, 0});
    EXPECT_EQ("KLD0000A01", std::string(p80.data_in.begin() + 4, p80.data_in.end()));
}

TEST_F(ArraySim, AllocationLengthCutsTheAnswer) {
    EXPECT_EQ(4u, run({0x12, 1, 0x00, 0, 4, 0}).data_in.size());
    EXPECT_EQ(5u, run({0x12, 0, 0, 0, 96, 0}, 5).data_in.size());  // room given by the transport
}

TEST_F(ArraySim, RefusedCommandsGetIllegalRequest) {
    expect_illegal(run({0xA3, 0x0C, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0}), 0x20);  // REPORT SUPPORTED OPCODES
    expect_illegal(run({0x12, 1, 0xC7, 0, 255, 0}), 0x24);                 // unknown VPD page
    expect_illegal(run({0x12, 0, 0x83, 0, 255, 0}), 0x24);                 // page without EVPD
    expect_illegal(run({0x1A, 0, 0x1C, 0, 255, 0}), 0x24);                 // unknown mode page
    expect_illegal(run({0x28}), 0x20);                                     // CDB cut short
    EXPECT_EQ(5u, counters.check_conditions);
}

TEST_F(ArraySim, CapacityAndModePages) {
    Reply rc10 = run({0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 8);
    EXPECT_EQ((std::vector<uint8_t>{0, 0, 0, 127, 0, 0, 2, 0}), rc10.data_in);  // 128 blocks of 512
    std::vector<uint8_t> rc16_cdb(16, 0);
    rc16_cdb[0] = 0x9E;
    rc16_cdb[1] = 0x10;
    rc16_cdb[13] = 32;
    Reply rc16 = run(rc16_cdb, 32);
    ASSERT_EQ(32u, rc16.data_in.size());
    EXPECT_EQ(127, rc16.data_in[7]);
    EXPECT_EQ(2, rc16.data_in[10]);

    Reply all = run({0x1A, 0, 0x3F, 0, 255, 0});
    ASSERT_EQ(4u + 20 + 12, all.data_in.size());
    EXPECT_EQ(all.data_in.size() - 1, all.data_in[0]);
    EXPECT_EQ(0, all.data_in[2] & 0x80);  // not write-protected
    EXPECT_EQ(0x08, all.data_in[4]);
    EXPECT_EQ(0x0A, all.data_in[24]);
    Reply ten = run({0x5A, 0, 0x08, 0, 0, 0, 0, 0, 255, 0});
    ASSERT_EQ(8u + 20, ten.data_in.size());
    EXPECT_EQ(26, ten.data_in[1]);
}

TEST_F(ArraySim, WritesAreReadBackAndBoundsChecked) {
    std::vector<uint8_t> block(512);
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 7);
    EXPECT_EQ(kStatusGood, run({0x2A, 0, 0, 0, 0, 5, 0, 0, 1, 0}, 0, block).status);
    Reply r = run({0x28, 0, 0, 0, 0, 5, 0, 0, 1, 0}, 512);
    EXPECT_EQ(block, r.data_in);
    Reply r6 = run({0x08, 0, 0, 5, 1, 0}, 512);
    EXPECT_EQ(block, r6.data_in);
    EXPECT_EQ(kStatusGood, run({0x28, 0, 0, 0, 0, 127, 0, 0, 1, 0}, 512).status);  // last block
    const Reply past = run({0x28, 0, 0, 0, 0, 127, 0, 0, 2, 0}, 1024);
    EXPECT_EQ(kStatusCheckCondition, past.status);
    EXPECT_EQ(0x21, past.sense[12]);
}

TEST(CdbLength, ByOperationCodeGroup) {
    const std::map<uint8_t, size_t> want{{0x00, 6}, {0x12, 6}, {0x28, 10}, {0x5A, 10}, {0x88, 16}, {0x9E, 16}, {0xA8, 12}};
    for (const auto& [op, len] : want) EXPECT_EQ(len, cdb_length(op)) << std::hex << int(op);
}

}  // namespace
}  // namespace keldorsim
