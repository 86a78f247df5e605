// NVMe admin commands: the Get Log Page request, log page 0xC0 decoding and the lookup.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "array/array.h"
#include "unit/array_test_util.h"

using namespace morvel::array;
using morvel::testutil::LogTail;

namespace {

struct FakeController {
    int nsid = 1;
    int status = 0;
    unsigned char log[NVME_LOG_VDISK_LEN] = {};
    struct nvme_admin_cmd last {};
    int submits = 0;
} g_ctrl;

int fakeNsid(int) { return g_ctrl.nsid; }
int fakeSubmit(int fd, struct nvme_admin_cmd *cmd) {
    EXPECT_GE(fd, 0);
    ++g_ctrl.submits;
    g_ctrl.last = *cmd;
    if (g_ctrl.status == 0)
        std::memcpy(reinterpret_cast<void *>(static_cast<uintptr_t>(cmd->addr)), g_ctrl.log,
                    cmd->data_len);
    return g_ctrl.status;
}
constexpr NvmeOps kFake{fakeNsid, fakeSubmit};

void setLog(const std::string &bytes) {
    std::memset(g_ctrl.log, 0, sizeof(g_ctrl.log));
    std::memcpy(g_ctrl.log, bytes.data(), bytes.size());
}

}  // namespace

TEST(NvmeRequest, GetLogPageCommand) {
    unsigned char buf[64];
    struct nvme_admin_cmd cmd;
    std::memset(&cmd, 0x5A, sizeof(cmd));
    build_get_log_cmd(&cmd, 7, 0xC0, 64, buf);
    EXPECT_EQ(0x02, cmd.opcode);
    EXPECT_EQ(7u, cmd.nsid);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(buf), cmd.addr);
    EXPECT_EQ(64u, cmd.data_len);
    EXPECT_EQ(0x000F00C0u, cmd.cdw10);
    EXPECT_EQ(0u, cmd.cdw11);
    EXPECT_EQ(0u, cmd.flags);
    EXPECT_EQ(0u, cmd.metadata_len);
    EXPECT_EQ(5000u, cmd.timeout_ms);  // its own limit, not the driver's 60 s
    // NUMD above 16 bits spills into cdw11.
    build_get_log_cmd(&cmd, 1, 0x02, 0x40000 * 4 + 4, buf);
    EXPECT_EQ(0x00000002u, cmd.cdw10);
    EXPECT_EQ(0x4u, cmd.cdw11);
    EXPECT_EQ(0xC0484E41ul, static_cast<unsigned long>(NVME_IOCTL_ADMIN_CMD));
    EXPECT_EQ(0x4E40ul, static_cast<unsigned long>(NVME_IOCTL_ID));
}

TEST(NvmeLogDecode, NameBounds) {
    unsigned char log[NVME_LOG_VDISK_LEN];
    char name[VDISK_NAME_SIZE];
    std::memset(log, 'x', sizeof(log));  // 64 non-NUL bytes: the last one is the terminator
    EXPECT_EQ(63u, decode_log_c0(log, name, sizeof(name)));
    EXPECT_EQ(std::string(63, 'x'), name);
    char small[8];
    EXPECT_EQ(7u, decode_log_c0(log, small, sizeof(small)));
    log[5] = '\0';
    EXPECT_EQ(5u, decode_log_c0(log, name, sizeof(name)));
    log[0] = '\0';
    EXPECT_EQ(0u, decode_log_c0(log, name, sizeof(name)));
    EXPECT_STREQ("", name);
}

TEST(NvmeNsid, NotABlockDevice) {
    int fd = open("/dev/null", O_RDONLY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(-ENOTBLK, nvme_get_nsid(fd));
    close(fd);
    EXPECT_EQ(-1, nvme_get_nsid(-1));  // fstat failure comes back as it is
}

void resetController() { g_ctrl = FakeController{}; }
class NvmeLookup : public morvel::testutil::FakeDeviceTest<resetController> {
protected:
    NvmeLookup() : FakeDeviceTest("/tmp/fake-nvme-dm") {}
};

TEST_F(NvmeLookup, ReadsNameFromLogPage) {
    setLog("vd_nvme_07");
    g_ctrl.nsid = 3;
    EXPECT_EQ(0, get_nvme_vdisk_name(path_.c_str(), name_, kFake));
    EXPECT_STREQ("vd_nvme_07", name_);
    EXPECT_EQ(3u, g_ctrl.last.nsid);
    EXPECT_EQ(0x000F00C0u, g_ctrl.last.cdw10);
}

TEST_F(NvmeLookup, RejectedLogPage) {
    LogTail log;
    g_ctrl.status = 0x4002;  // positive NVMe status: invalid log page
    EXPECT_EQ(-1, get_nvme_vdisk_name(path_.c_str(), name_, kFake));
    EXPECT_TRUE(log.inOrder("Get FC-NVMe C0 Page failed.", "Get C0 page of fc-nvme device failed."));
}

TEST_F(NvmeLookup, EmptyName) {
    LogTail log;
    setLog(std::string("\0vd", 3));
    EXPECT_EQ(-1, get_nvme_vdisk_name(path_.c_str(), name_, kFake));
    EXPECT_TRUE(log.has("Get Disk C0 Page failed, vdisk name is NULL."));
}

TEST_F(NvmeLookup, NoNamespaceIdMeansNoCommand) {
    for (int nsid : {0, -1, -ENOTBLK}) {
        LogTail log;
        g_ctrl.nsid = nsid;
        EXPECT_EQ(-1, get_nvme_vdisk_name(path_.c_str(), name_, kFake));
        EXPECT_TRUE(log.has("Can not get namespace id, fd = "));
    }
    EXPECT_EQ(0, g_ctrl.submits);
}

// The real operations on a regular file: not a block device, so no namespace id.
TEST_F(NvmeLookup, RegularFileOnTheHost) {
    LogTail log;
    EXPECT_EQ(-1, get_nvme_vdisk_name(path_.c_str(), name_));
    EXPECT_TRUE(log.has("Can not get namespace id, fd = "));
    EXPECT_EQ(-1, get_nvme_vdisk_name("/dev/dm-404", name_));
    EXPECT_TRUE(log.has("Open fc-nvme device failed, fd = -1."));
}

// A node that only opens read-only (a folder: EISDIR for read-write) is still examined.
TEST_F(NvmeLookup, ReadOnlyFallback) {
    LogTail log;
    mkdir("/tmp/ro-nvme", 0755);
    EXPECT_EQ(-1, get_nvme_vdisk_name("/tmp/ro-nvme", name_));
    EXPECT_FALSE(log.has("Open fc-nvme device failed"));
    EXPECT_TRUE(log.has("Can not get namespace id, fd = "));
}
