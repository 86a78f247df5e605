// vdisk name of an FC-NVMe namespace from the array's vendor log page 0xC0, read with the
// NVMe admin pass-through.
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "array/array.h"
#include "common/log.h"

namespace morvel::array {

using common::LOG_ERROR;

void build_get_log_cmd(struct nvme_admin_cmd *cmd, unsigned int nsid, unsigned char log_id,
                       unsigned int data_len, void *data) {
    std::memset(cmd, 0, sizeof(*cmd));
    // Number of dwords to transfer, zero-based, split into a low and a high half.
    uint32_t numd = (data_len >> 2) - 1;
    cmd->opcode = NVME_ADMIN_GET_LOG_PAGE;
    cmd->nsid = nsid;
    cmd->addr = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(data));
    cmd->data_len = data_len;
    cmd->cdw10 = log_id | ((numd & 0xFFFF) << 16);
    cmd->cdw11 = numd >> 16;
    cmd->timeout_ms = NVME_ADMIN_TIMEOUT_MS;
}

size_t decode_log_c0(const unsigned char *log, char *name, size_t name_size) {
    // The last byte of the page is the terminator: at most 63 characters.
    return copy_vdisk_name(log, NVME_LOG_VDISK_LEN - 1, name, name_size);
}

int nvme_submit_admin_passthru(int fd, struct nvme_admin_cmd *cmd) {
    return ioctl(fd, NVME_IOCTL_ADMIN_CMD, cmd);
}

int nvme_get_nsid(int fd) {
    struct stat st;
    int ret = fstat(fd, &st);
    if (ret < 0) return ret;
    if (!S_ISBLK(st.st_mode)) return -ENOTBLK;
    return ioctl(fd, NVME_IOCTL_ID);
}

int nvme_get_log_c0(int fd, unsigned int nsid, unsigned char log_id, unsigned int data_len,
                    void *data, const NvmeOps &ops) {
    struct nvme_admin_cmd cmd;
    build_get_log_cmd(&cmd, nsid, log_id, data_len, data);
    return ops.submit(fd, &cmd);
}

int get_vdisk_info(int fd, unsigned int nsid, char *name, const NvmeOps &ops, size_t name_size) {
    unsigned char log[NVME_LOG_VDISK_LEN] = {};
    if (nvme_get_log_c0(fd, nsid, NVME_LOG_VDISK, NVME_LOG_VDISK_LEN, log, ops) != 0) {
        MLOG(LOG_ERROR, kLogSrc, "Get FC-NVMe C0 Page failed.\n");
        return -1;
    }
    if (decode_log_c0(log, name, name_size) == 0) {
        MLOG(LOG_ERROR, kLogSrc, "Get Disk C0 Page failed, vdisk name is NULL.\n");
        return -1;
    }
    return 0;
}

int get_nvme_vdisk_name(const char *device_path, char *name, const NvmeOps &ops,
                        size_t name_size) {
    DeviceFd fd(device_path);
    if (fd.get() < 0) {
        MLOG(LOG_ERROR, kLogSrc, "Open fc-nvme device failed, fd = %d.\n", fd.get());
        return -1;
    }
    // A negative result is a failure as well: it must not reach the device as a namespace id.
    int nsid = ops.get_nsid(fd.get());
    if (nsid <= 0) {
        MLOG(LOG_ERROR, kLogSrc, "Can not get namespace id, fd = %d.\n", fd.get());
        return -1;
    }
    if (get_vdisk_info(fd.get(), static_cast<unsigned int>(nsid), name, ops, name_size) != 0) {
        MLOG(LOG_ERROR, kLogSrc, "Get C0 page of fc-nvme device failed.\n");
        return -1;
    }
    sanitize_vdisk_name(name, device_path);
    return 0;
}

}  // namespace morvel::array
