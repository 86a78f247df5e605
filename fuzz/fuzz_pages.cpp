// The decoders of SCSI VPD pages 0x00 and 0xD0 and of the NVMe log page 0xC0, over pages
// filled from the input (the rest zero, as a device that sent less).
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "array/array.h"

using namespace morvel::array;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    unsigned char page[DISK_PAGE_BUF_SIZE] = {};
    std::memcpy(page, data, size < INQ_DXFER_LEN ? size : INQ_DXFER_LEN);
    char list[PAGE_LIST_MAX][PAGE_LIST_TEXT] = {};
    unsigned int count = 0;
    if (decode_page_00(page, list, PAGE_LIST_MAX, &count) == 0 && count > PAGE_LIST_MAX) std::abort();

    char name[VDISK_NAME_SIZE] = {};
    size_t n = decode_page_d0(page, name, sizeof name);
    if (n != std::strlen(name) || n >= sizeof name) std::abort();
    sanitize_vdisk_name(name, "fuzz");
    for (const char *p = name; *p; ++p)
        if (static_cast<unsigned char>(*p) < 0x20 || *p == 0x7F) std::abort();

    unsigned char log[NVME_LOG_VDISK_LEN] = {};
    std::memcpy(log, data, size < sizeof log ? size : sizeof log);
    char nvmeName[VDISK_NAME_SIZE] = {};
    n = decode_log_c0(log, nvmeName, sizeof nvmeName);
    if (n != std::strlen(nvmeName) || n >= NVME_LOG_VDISK_LEN) std::abort();
    return 0;
}
