// Array identification: the vdisk name of a LUN read in band from the array (SCSI INQUIRY
// vendor page 0xD0, NVMe vendor log page 0xC0) and the vdisk-name store, a JSON file that
// remembers every name read so that it can be shown when the array cannot be asked.
#pragma once
#include <cstddef>
#include <memory>

#include <linux/nvme_ioctl.h>
#include <scsi/sg.h>
#include <unistd.h>

#include "common/log.h"

struct cJSON;

namespace morvel::array {

inline constexpr const char kLogSrc[] = "array/array";

// Size of the vdisk-name field of a device record; every name is cut to 127 characters.
inline constexpr size_t VDISK_NAME_SIZE = 128;
// Fixed path of the vdisk-name store.
inline constexpr const char STORAGE_CONFIG_FILE[] = "/dumps/storage_config.json";

// ---- SCSI INQUIRY vendor pages ----
inline constexpr unsigned int PAGE_LIST_MAX = 32;        // entries of a supported-page list
inline constexpr unsigned int PAGE_LIST_TEXT = 128;      // bytes of one entry
inline constexpr unsigned int INQ_ALLOC_LEN = 255;       // allocation length in the CDB
inline constexpr unsigned int INQ_DXFER_LEN = 256;       // transfer length of the request
inline constexpr unsigned int INQ_SENSE_LEN = 64;
inline constexpr unsigned int INQ_TIMEOUT_MS = 5000;
// Page buffers hold more than the transfer so that the decoders never reach past them:
// a page-0x00 list of up to 255 codes starts at byte 4, a page-0xD0 name of up to 255
// bytes at byte 3.
inline constexpr size_t DISK_PAGE_BUF_SIZE = 260;

// Builds the 6-byte INQUIRY (EVPD) command for a page code.
void build_inquiry_cdb(unsigned char cdb[6], unsigned char page_code);
// Fills a zeroed SCSI generic request header that reads INQ_DXFER_LEN bytes into page.
void build_inquiry_hdr(sg_io_hdr_t *hdr, unsigned char cdb[6], unsigned char *page,
                       unsigned char sense[INQ_SENSE_LEN]);

// Page 0x00 (page DISK_PAGE_BUF_SIZE bytes) -> supported-page list of at most max entries
// ("%02x" each). Codes beyond max are not read. 0 ok; -1 page length 0; -2 conversion error.
int decode_page_00(const unsigned char *page, char list[][PAGE_LIST_TEXT], unsigned int max,
                   unsigned int *count);
// A vdisk name is shown on the administrator's terminal: control characters (below 0x20,
// and 0x7F) in it are replaced by '?', and the log says that the name of `device` was
// altered. Returns the number replaced.
size_t sanitize_vdisk_name(char *name, const char *device);

// The name in text: at most len bytes, ended by its first NUL, cut to name_size - 1
// characters. Returns the name's length.
size_t copy_vdisk_name(const unsigned char *text, size_t len, char *name, size_t name_size);
// Page 0xD0 (page DISK_PAGE_BUF_SIZE bytes) -> vdisk name, cut to name_size - 1 characters
// and ended by the first NUL of the name. Returns the name's length.
size_t decode_page_d0(const unsigned char *page, char *name, size_t name_size);

// Reads one VPD page of an open device into page (at least DISK_PAGE_BUF_SIZE bytes).
using VpdReader = int (*)(int fd, unsigned char page_code, unsigned char *page);

// One INQUIRY (EVPD) through SG_IO. 0 on success (ioctl 0 and SCSI status GOOD), else -1.
int get_disk_page(int fd, unsigned char page_code, unsigned char *page);
int get_disk_00_page(const char *device_path, char list[][PAGE_LIST_TEXT], unsigned int *count,
                     VpdReader reader = get_disk_page);
// 0 if code_text is one of the first *count entries, else -1.
int is_support_xx_page(const char *code_text, const char list[][PAGE_LIST_TEXT],
                       const unsigned int *count);
// name: at least name_size bytes (the 128-byte vdisk-name field by default).
int get_disk_d0_page(const char *device_path, char *name, VpdReader reader = get_disk_page,
                     size_t name_size = VDISK_NAME_SIZE);
int get_vdisk_name(const char *device_path, char *name, VpdReader reader = get_disk_page,
                   size_t name_size = VDISK_NAME_SIZE);
// count bytes of src from offset as "%02x" pairs into dst; -1 (nothing written) when src
// or dst is null, offset or count is negative, or dst cannot hold them and a terminator.
int binary_to_ascii(char *dst, unsigned int dst_size, const unsigned char *src, int offset,
                    int count);

// ---- NVMe admin commands ----
inline constexpr unsigned char NVME_LOG_VDISK = 0xC0;
inline constexpr unsigned int NVME_LOG_VDISK_LEN = 64;
inline constexpr unsigned char NVME_ADMIN_GET_LOG_PAGE = 0x02;
// The command's own limit, as the INQUIRY's: the driver's default admin timeout is 60 s.
inline constexpr unsigned int NVME_ADMIN_TIMEOUT_MS = 5000;

// Fills a zeroed Get Log Page command (data_len a multiple of 4) with its time limit.
void build_get_log_cmd(struct nvme_admin_cmd *cmd, unsigned int nsid, unsigned char log_id,
                       unsigned int data_len, void *data);
// Log page 0xC0 (NVME_LOG_VDISK_LEN bytes) -> vdisk name (at most 63 characters, cut to
// name_size - 1). Returns the name's length.
size_t decode_log_c0(const unsigned char *log, char *name, size_t name_size);

// ioctl(NVME_IOCTL_ADMIN_CMD): 0, a positive NVMe status, or negative on a system error.
int nvme_submit_admin_passthru(int fd, struct nvme_admin_cmd *cmd);
// Namespace id of an open block device; negative on failure (-ENOTBLK: not a block device).
int nvme_get_nsid(int fd);

// The two device operations of an NVMe lookup.
struct NvmeOps {
    int (*get_nsid)(int fd);
    int (*submit)(int fd, struct nvme_admin_cmd *cmd);
};
inline constexpr NvmeOps kNvmeDeviceOps{nvme_get_nsid, nvme_submit_admin_passthru};

int nvme_get_log_c0(int fd, unsigned int nsid, unsigned char log_id, unsigned int data_len,
                    void *data, const NvmeOps &ops = kNvmeDeviceOps);
int get_vdisk_info(int fd, unsigned int nsid, char *name, const NvmeOps &ops = kNvmeDeviceOps,
                   size_t name_size = VDISK_NAME_SIZE);
int get_nvme_vdisk_name(const char *device_path, char *name,
                        const NvmeOps &ops = kNvmeDeviceOps, size_t name_size = VDISK_NAME_SIZE);

// Opens a device node read-write, falling back to read-only; the descriptor or negative.
int open_device(const char *device_path);

// A device opened with open_device, closed on every way out of a lookup.
class DeviceFd {
public:
    explicit DeviceFd(const char *path) : fd_(open_device(path)) {}
    DeviceFd(const DeviceFd &) = delete;
    DeviceFd &operator=(const DeviceFd &) = delete;
    ~DeviceFd() {
        if (fd_ >= 0) close(fd_);
    }
    int get() const { return fd_; }

private:
    int fd_ = -1;
};

// ---- vdisk-name store ----
// The store as one run of look-ups sees it (one query report): the document last read or
// written, kept with the text and the file it came from, so that it is parsed once and not
// again for every LUN while the file stays the same. Owned by the caller; the functions
// below take one as their `cache`, and without one they read the file afresh.
class StoreCache {
public:
    StoreCache();
    ~StoreCache();
    StoreCache(const StoreCache &) = delete;
    StoreCache &operator=(const StoreCache &) = delete;
    struct State;
    State &state() { return *state_; }

private:
    std::unique_ptr<State> state_;
};

// name: the caller's cleared 128-byte vdisk-name field. *found: 1 when a name was read in
// band or the WWID is in the store.
void displayVdiskname(const char *device_path, const char *wwid, char *name, unsigned int *found,
                      StoreCache *cache = nullptr);
void displayNvmeVdiskname(const char *device_path, const char *wwid, char *name,
                          unsigned int *found, StoreCache *cache = nullptr);
// The part of displayVdiskname / displayNvmeVdiskname (func) after the in-band read: a name
// read (read true, in name) is remembered in the store; else the log says so and the
// stored name is taken.
void useInBandName(const char *func, bool read, const char *wwid, char *name, unsigned int *found,
                   StoreCache *cache);
// Looks wwid up; sets *found to 1 when present (never to 0) and copies a string name into
// name (cut to name_size - 1 characters).
void getStoredVdiskname(const char *store_path, const char *wwid, char *name, unsigned int *found,
                        StoreCache *cache = nullptr, size_t name_size = VDISK_NAME_SIZE);
// True when the store holds an entry for wwid: the array's LUN was seen on this host. Quiet.
bool storeHoldsWwid(const char *store_path, const char *wwid, StoreCache *cache = nullptr);
// Remembers a name read in band. Concurrent callers (other processes too) are serialised by
// an exclusive lock on "<store_path>.lock"; the file is replaced atomically.
void store_wwid_vdiskname(const char *store_path, const char *wwid, const char *name,
                          StoreCache *cache = nullptr);
// The in-memory update step; always 0.
int update_wwid_vdiskname(cJSON *document, const char *wwid, cJSON *new_name_item,
                          unsigned int *found, unsigned int *changed, unsigned int *index);
// Writes a fresh store holding one entry. 1 written, 0 not.
int make_disk_json(const char *wwid, const char *name, const char *store_path);
// Builds (does not write) the fresh one-entry document.
cJSON *new_disk_document(const char *wwid, const char *name);

bool isJsonString(const cJSON *item);
bool isJsonObject(const cJSON *item);
bool isJsonArray(const cJSON *item);

}  // namespace morvel::array
