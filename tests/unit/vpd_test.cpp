// SCSI INQUIRY vendor pages: request building, page decoding and the vdisk-name lookup.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <string>

#include "array/array.h"
#include "unit/array_test_util.h"

using namespace morvel::array;
using morvel::testutil::LogTail;

namespace {

struct Page {
    unsigned char b[DISK_PAGE_BUF_SIZE] = {};
};

Page page00(std::initializer_list<unsigned char> codes, int declared = -1) {
    Page p;
    p.b[1] = 0x00;
    p.b[3] = static_cast<unsigned char>(declared >= 0 ? declared : codes.size());
    int i = 4;
    for (unsigned char c : codes) p.b[i++] = c;
    return p;
}

Page pageD0(const std::string &name, int declared = -1) {
    Page p;
    p.b[1] = 0xD0;
    p.b[2] = static_cast<unsigned char>(declared >= 0 ? declared : name.size());
    std::memcpy(p.b + 3, name.data(), name.size());
    return p;
}

// A device that answers the two pages from memory.
struct FakeDevice {
    Page p00, pd0;
    int ret00 = 0, retd0 = 0;
    int calls00 = 0, callsd0 = 0;
} g_dev;

int fakeReader(int fd, unsigned char code, unsigned char *page) {
    EXPECT_GE(fd, 0);
    std::memset(page, 0, INQ_DXFER_LEN);
    if (code == 0x00) {
        ++g_dev.calls00;
        std::memcpy(page, g_dev.p00.b, INQ_DXFER_LEN);
        return g_dev.ret00;
    }
    ++g_dev.callsd0;
    std::memcpy(page, g_dev.pd0.b, INQ_DXFER_LEN);
    return g_dev.retd0;
}

}  // namespace

TEST(InquiryRequest, CdbAndHeader) {
    unsigned char cdb[6];
    build_inquiry_cdb(cdb, 0xD0);
    const unsigned char want[6] = {0x12, 0x01, 0xD0, 0x00, 0xFF, 0x00};
    EXPECT_EQ(0, std::memcmp(cdb, want, 6));

    unsigned char page[DISK_PAGE_BUF_SIZE];
    unsigned char sense[INQ_SENSE_LEN];
    std::memset(sense, 0xAA, sizeof(sense));
    sg_io_hdr_t h;
    std::memset(&h, 0x5A, sizeof(h));
    build_inquiry_hdr(&h, cdb, page, sense);
    EXPECT_EQ('S', h.interface_id);
    EXPECT_EQ(SG_DXFER_FROM_DEV, h.dxfer_direction);
    EXPECT_EQ(6, h.cmd_len);
    EXPECT_EQ(64, h.mx_sb_len);
    EXPECT_EQ(256u, h.dxfer_len);
    EXPECT_EQ(page, h.dxferp);
    EXPECT_EQ(cdb, h.cmdp);
    EXPECT_EQ(sense, h.sbp);
    EXPECT_EQ(5000u, h.timeout);
    EXPECT_EQ(0, h.iovec_count);
    EXPECT_EQ(0u, h.flags);
    EXPECT_EQ(0, sense[0]);
    EXPECT_EQ(0, sense[63]);
}

TEST(BinaryToAscii, BoundsAndFormat) {
    const unsigned char src[] = {0x00, 0xD0, 0x0a, 0xff};
    char out[16];
    EXPECT_EQ(0, binary_to_ascii(out, sizeof(out), src, 1, 3));
    EXPECT_STREQ("d00aff", out);
    EXPECT_EQ(0, binary_to_ascii(out, 7, src, 1, 3));   // exactly fits with its terminator
    std::memset(out, 'x', sizeof(out));
    EXPECT_EQ(-1, binary_to_ascii(out, 6, src, 1, 3));  // one byte short: nothing written
    EXPECT_EQ('x', out[0]);
    EXPECT_EQ(-1, binary_to_ascii(out, 0, src, 0, 1));
    EXPECT_EQ(-1, binary_to_ascii(out, sizeof(out), nullptr, 0, 1));
    EXPECT_EQ(-1, binary_to_ascii(out, sizeof(out), src, -1, 1));
}

TEST(Page00Decode, PageLengths) {
    // Room for one entry more than the list may use, to see that it is never written.
    char list[PAGE_LIST_MAX + 1][PAGE_LIST_TEXT];
    for (unsigned int n : {0u, 1u, 32u, 33u, 255u}) {
        SCOPED_TRACE(n);
        std::memset(list, '#', sizeof(list));
        Page p;
        p.b[3] = static_cast<unsigned char>(n);
        for (unsigned int i = 0; i < n; ++i) p.b[4 + i] = static_cast<unsigned char>(i + 0xB0);
        unsigned int count = 99;
        int ret = decode_page_00(p.b, list, PAGE_LIST_MAX, &count);
        if (n == 0) {
            EXPECT_EQ(-1, ret);
            EXPECT_EQ(0u, count);
            continue;
        }
        EXPECT_EQ(0, ret);
        EXPECT_EQ(n < PAGE_LIST_MAX ? n : PAGE_LIST_MAX, count);
        EXPECT_STREQ("b0", list[0]);
        EXPECT_STREQ(count == 32 ? "cf" : "b0", list[count - 1]);
        EXPECT_EQ('#', list[PAGE_LIST_MAX][0]);
    }
}

TEST(Page00Decode, SupportedPageLookup) {
    char list[PAGE_LIST_MAX][PAGE_LIST_TEXT] = {};
    unsigned int count = 0;
    Page p = page00({0x00, 0x80, 0x83, 0xD0});
    ASSERT_EQ(0, decode_page_00(p.b, list, PAGE_LIST_MAX, &count));
    EXPECT_EQ(0, is_support_xx_page("d0", list, &count));
    EXPECT_EQ(-1, is_support_xx_page("D0", list, &count));  // lower-case hex only
    unsigned int three = 3;
    EXPECT_EQ(-1, is_support_xx_page("d0", list, &three));  // only the first count entries
    EXPECT_EQ(-1, is_support_xx_page("d", list, &count));
}

TEST(PageD0Decode, NameLengths) {
    char name[VDISK_NAME_SIZE + 8];
    for (int len : {0, 1, 127, 128, 255}) {
        SCOPED_TRACE(len);
        std::memset(name, '#', sizeof(name));
        std::string text(len, 'n');
        Page p = pageD0(text);
        size_t got = decode_page_d0(p.b, name, VDISK_NAME_SIZE);
        size_t want = len < 127 ? len : 127;
        EXPECT_EQ(want, got);
        EXPECT_EQ(text.substr(0, want), std::string(name));
        EXPECT_EQ('#', name[VDISK_NAME_SIZE]);  // the 128-byte field is never overrun
    }
}

TEST(PageD0Decode, NameEndsAtNulOrDeclaredLength) {
    char name[VDISK_NAME_SIZE];
    Page p = pageD0(std::string("vd_a\0tail", 9));
    EXPECT_EQ(4u, decode_page_d0(p.b, name, sizeof(name)));
    EXPECT_STREQ("vd_a", name);
    p = pageD0(std::string("\0abc", 4));
    EXPECT_EQ(0u, decode_page_d0(p.b, name, sizeof(name)));
    p = pageD0("vd_sales_01_extra", 11);  // bytes beyond the declared length are not the name
    EXPECT_EQ(11u, decode_page_d0(p.b, name, sizeof(name)));
    EXPECT_STREQ("vd_sales_01", name);
}

void resetDevice() { g_dev = FakeDevice{}; }
class VdiskLookup : public morvel::testutil::FakeDeviceTest<resetDevice> {
protected:
    VdiskLookup() : FakeDeviceTest("/tmp/fake-dm-2") {}
};

TEST_F(VdiskLookup, ReadsNameWhenD0Listed) {
    g_dev.p00 = page00({0x00, 0x80, 0x83, 0xD0});
    g_dev.pd0 = pageD0("vd_sales_01");
    EXPECT_EQ(0, get_vdisk_name(path_.c_str(), name_, fakeReader));
    EXPECT_STREQ("vd_sales_01", name_);
    EXPECT_EQ(1, g_dev.calls00);
    EXPECT_EQ(1, g_dev.callsd0);
}

// An escape sequence in the name never reaches the terminal; the log says the name changed.
TEST_F(VdiskLookup, ControlCharactersInTheNameAreReplaced) {
    LogTail log;
    g_dev.p00 = page00({0x00, 0xD0});
    g_dev.pd0 = pageD0("vd\x1b[2J\x1b[H\tx\x7f");
    EXPECT_EQ(0, get_vdisk_name(path_.c_str(), name_, fakeReader));
    EXPECT_STREQ("vd?[2J?[H?x?", name_);
    EXPECT_TRUE(log.has("The vdisk name of device (/tmp/fake-dm-2) holds 4 control characters, each is shown as '?'."));
}

TEST_F(VdiskLookup, NoD0RequestWhenNotListed) {
    LogTail log;
    g_dev.p00 = page00({0x00, 0x80, 0x83});
    EXPECT_EQ(-1, get_vdisk_name(path_.c_str(), name_, fakeReader));
    EXPECT_EQ(0, g_dev.callsd0);
    EXPECT_TRUE(log.has("Get D0 page of device failed, maybe it is not support D0 page."));
}

TEST_F(VdiskLookup, D0BeyondThe32ndListedCodeIsNotSeen) {
    Page p;
    p.b[3] = 40;
    for (int i = 0; i < 40; ++i) p.b[4 + i] = static_cast<unsigned char>(0xB0 + i);  // d0 at #33
    g_dev.p00 = p;
    EXPECT_EQ(-1, get_vdisk_name(path_.c_str(), name_, fakeReader));
    EXPECT_EQ(0, g_dev.callsd0);
}

TEST_F(VdiskLookup, EmptyPageListFailsWithBothReasons) {
    LogTail log;
    g_dev.p00 = page00({});
    EXPECT_EQ(-1, get_vdisk_name(path_.c_str(), name_, fakeReader));
    EXPECT_TRUE(log.inOrder("Page length error, page len 0.", "Get 00 page of device failed."));
}

TEST_F(VdiskLookup, EmptyD0NameFails) {
    g_dev.p00 = page00({0xD0});
    for (const std::string &d0 : {std::string(), std::string("\0x", 2)}) {
        LogTail log;
        g_dev.pd0 = pageD0(d0);
        EXPECT_EQ(-1, get_vdisk_name(path_.c_str(), name_, fakeReader));
        EXPECT_TRUE(log.has("Devcie (" + path_ + "),Get Disk D0 Page failed, vdisk name is NULL."));
        EXPECT_TRUE(log.has("Get D0 page of device failed.\n"));
    }
}

TEST_F(VdiskLookup, ReaderFailuresAreReported) {
    LogTail log;
    g_dev.p00 = page00({0xD0});
    g_dev.retd0 = -1;
    EXPECT_EQ(-1, get_vdisk_name(path_.c_str(), name_, fakeReader));
    EXPECT_TRUE(log.has("Get Disk D0 Page failed, iRet = -1."));
    g_dev.ret00 = -1;
    EXPECT_EQ(-1, get_vdisk_name(path_.c_str(), name_, fakeReader));
    EXPECT_TRUE(log.has("Get Disk 00Page failed, iRet = -1."));
}

TEST_F(VdiskLookup, MissingDeviceNodeIsAnOpenFailure) {
    LogTail log;
    EXPECT_EQ(-1, get_vdisk_name("/dev/dm-404", name_));
    EXPECT_TRUE(log.has("Open scsi device failed, fd = -1."));
    EXPECT_TRUE(log.has("Get 00 page of device failed."));
}

// A node that cannot be opened read-write (here a folder: EISDIR) is opened read-only and
// asked; SG_IO is then refused by the kernel (ENOTTY), which is the reported failure.
TEST_F(VdiskLookup, ReadOnlyFallbackReachesTheIoctl) {
    LogTail log;
    mkdir("/tmp/ro-node", 0755);
    EXPECT_EQ(-1, get_vdisk_name("/tmp/ro-node", name_));
    EXPECT_FALSE(log.has("Open scsi device failed"));
    EXPECT_TRUE(log.has("get disk page ioctl failed, ret = -1, io_status is 0."));
    EXPECT_TRUE(log.has("Get Disk 00Page failed, iRet = -1."));
}
