// vdisk name of a SCSI LUN from the array's vendor VPD page 0xD0, read with INQUIRY (EVPD)
// through the SCSI generic pass-through.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "array/array.h"
#include "common/comm_util.h"
#include "common/log.h"

namespace morvel::array {

using common::LOG_ERROR;

namespace {
inline constexpr unsigned char INQUIRY_OPCODE = 0x12;
inline constexpr unsigned char PAGE_SUPPORTED = 0x00;
inline constexpr unsigned char PAGE_VDISK = 0xD0;

// Opens the device and reads one VPD page into page; -1 on failure, logged for func with
// label naming the page.
int readDevicePage(const char *func, const char *label, const char *device_path, unsigned char page_code,
                   unsigned char *page, VpdReader reader) {
    DeviceFd fd(device_path);
    if (fd.get() < 0) {
        common::morvel_log(LOG_ERROR, kLogSrc, __LINE__, func, "Open scsi device failed, fd = %d.\n", fd.get());
        return -1;
    }
    int ret = reader(fd.get(), page_code, page);
    if (ret != 0) {
        common::morvel_log(LOG_ERROR, kLogSrc, __LINE__, func, "Get Disk %s failed, iRet = %d.\n", label, ret);
        return -1;
    }
    return 0;
}

}  // namespace

int open_device(const char *device_path) {
    if (device_path == nullptr) return -1;
    int fd = open(device_path, O_RDWR | O_NONBLOCK | O_CLOEXEC);
    // read-only may be allowed where read-write is not; a node that is not there is not
    if (fd < 0 && errno != ENOENT) fd = open(device_path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    return fd;
}

void build_inquiry_cdb(unsigned char cdb[6], unsigned char page_code) {
    cdb[0] = INQUIRY_OPCODE;
    cdb[1] = 0x01;  // EVPD
    cdb[2] = page_code;
    cdb[3] = (INQ_ALLOC_LEN >> 8) & 0xFF;
    cdb[4] = INQ_ALLOC_LEN & 0xFF;
    cdb[5] = 0x00;
}

void build_inquiry_hdr(sg_io_hdr_t *hdr, unsigned char cdb[6], unsigned char *page,
                       unsigned char sense[INQ_SENSE_LEN]) {
    std::memset(hdr, 0, sizeof(*hdr));
    std::memset(sense, 0, INQ_SENSE_LEN);
    hdr->interface_id = 'S';
    hdr->dxfer_direction = SG_DXFER_FROM_DEV;
    hdr->cmd_len = 6;
    hdr->mx_sb_len = INQ_SENSE_LEN;
    hdr->dxfer_len = INQ_DXFER_LEN;
    hdr->dxferp = page;
    hdr->cmdp = cdb;
    hdr->sbp = sense;
    hdr->timeout = INQ_TIMEOUT_MS;
}

int binary_to_ascii(char *dst, unsigned int dst_size, const unsigned char *src, int offset,
                    int count) {
    if (src == nullptr || dst == nullptr || offset < 0 || count < 0) return -1;
    if (static_cast<long long>(dst_size) - 1 < 2LL * count) return -1;
    static const char hex[] = "0123456789abcdef";
    for (int i = 0; i < count; ++i) {
        unsigned char b = src[offset + i];
        dst[2 * i] = hex[b >> 4];
        dst[2 * i + 1] = hex[b & 0x0F];
    }
    dst[2 * count] = '\0';
    return 0;
}

int decode_page_00(const unsigned char *page, char list[][PAGE_LIST_TEXT], unsigned int max,
                   unsigned int *count) {
    unsigned int n = page[3];
    *count = 0;
    if (n == 0) return -1;
    // A device may list up to 255 pages; the list keeps the first max of them.
    if (n > max) n = max;
    for (unsigned int i = 0; i < n; ++i) {
        if (binary_to_ascii(list[i], 3, page, static_cast<int>(4 + i), 1) != 0) return -2;
    }
    *count = n;
    return 0;
}

size_t copy_vdisk_name(const unsigned char *text, size_t len, char *name, size_t name_size) {
    if (name_size == 0) return 0;
    size_t n = 0;
    while (n < len && n + 1 < name_size && text[n] != '\0') {
        name[n] = static_cast<char>(text[n]);
        ++n;
    }
    name[n] = '\0';
    return n;
}

size_t decode_page_d0(const unsigned char *page, char *name, size_t name_size) {
    return copy_vdisk_name(page + 3, page[2], name, name_size);
}

int get_disk_page(int fd, unsigned char page_code, unsigned char *page) {
    unsigned char cdb[6];
    unsigned char sense[INQ_SENSE_LEN];
    sg_io_hdr_t hdr;
    std::memset(page, 0, INQ_DXFER_LEN);
    build_inquiry_cdb(cdb, page_code);
    build_inquiry_hdr(&hdr, cdb, page, sense);
    int ret = ioctl(fd, SG_IO, &hdr);
    if (ret != 0 || hdr.status != 0) {
        MLOG(LOG_ERROR, kLogSrc, "get disk page ioctl failed, ret = %d, io_status is %d.\n", ret,
             static_cast<int>(hdr.status));
        return -1;
    }
    return 0;
}

int get_disk_00_page(const char *device_path, char list[][PAGE_LIST_TEXT], unsigned int *count,
                     VpdReader reader) {
    unsigned char page[DISK_PAGE_BUF_SIZE] = {};
    if (readDevicePage(__func__, "00Page", device_path, PAGE_SUPPORTED, page, reader) != 0) return -1;
    int ret = decode_page_00(page, list, PAGE_LIST_MAX, count);
    if (ret == -1)
        MLOG(LOG_ERROR, kLogSrc, "Page length error, page len %u.\n", 0U);
    else if (ret != 0)
        MLOG(LOG_ERROR, kLogSrc, "Binary to ascii failed, ret %d.\n", -1);
    return ret == 0 ? 0 : -1;
}

int is_support_xx_page(const char *code_text, const char list[][PAGE_LIST_TEXT],
                       const unsigned int *count) {
    if (code_text == nullptr || list == nullptr || count == nullptr) return -1;
    unsigned int n = *count < PAGE_LIST_MAX ? *count : PAGE_LIST_MAX;
    for (unsigned int i = 0; i < n; ++i) {
        if (std::strcmp(code_text, list[i]) == 0) return 0;
    }
    return -1;
}

int get_disk_d0_page(const char *device_path, char *name, VpdReader reader, size_t name_size) {
    unsigned char page[DISK_PAGE_BUF_SIZE] = {};
    if (readDevicePage(__func__, "D0 Page", device_path, PAGE_VDISK, page, reader) != 0) return -1;
    if (decode_page_d0(page, name, name_size) == 0) {
        MLOG(LOG_ERROR, kLogSrc, "Devcie (%s),Get Disk D0 Page failed, vdisk name is NULL.\n",
             device_path);
        return -1;
    }
    sanitize_vdisk_name(name, device_path);
    return 0;
}

size_t sanitize_vdisk_name(char *name, const char *device) {
    if (name == nullptr) return 0;
    const size_t n = common::makeHarmless(name, std::strlen(name));
    if (n > 0)
        MLOG(LOG_ERROR, kLogSrc, "The vdisk name of device (%s) holds %zu control characters, each is shown as '?'.\n",
             device ? device : "", n);
    return n;
}

int get_vdisk_name(const char *device_path, char *name, VpdReader reader, size_t name_size) {
    char list[PAGE_LIST_MAX][PAGE_LIST_TEXT] = {};
    unsigned int count = 0;
    if (get_disk_00_page(device_path, list, &count, reader) != 0) {
        MLOG(LOG_ERROR, kLogSrc, "Get 00 page of device failed.\n");
        return -1;
    }
    if (is_support_xx_page("d0", list, &count) != 0) {
        MLOG(LOG_ERROR, kLogSrc, "Get D0 page of device failed, maybe it is not support D0 page.\n");
        return -1;
    }
    if (get_disk_d0_page(device_path, name, reader, name_size) != 0) {
        MLOG(LOG_ERROR, kLogSrc, "Get D0 page of device failed.\n");
        return -1;
    }
    return 0;
}

}  // namespace morvel::array
