// The `query` command and its report.
#include "struct/query_report.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>

#include "array/array.h"
#include "cli/cli_exe.h"
#include "cli/ec_items.h"
#include "common/comm_util.h"
#include "common/log.h"
#include "struct/mpath_parser.h"

namespace morvel::structs {

using common::LOG_ERROR;

namespace {
constexpr const char kSrc[] = "struct/s_morvel";
constexpr int kColumns = 9;
const char *const kHeaders[kColumns] = {"dev_id",          "dev_name",          "dev_node",
                                        "path_group_policy", "path_group_priority",
                                        "path_group_status", "path_status",
                                        "morvel_status",     "target_port"};

char *cell(s_path_dev *p, int column) {
    switch (column) {
        case 0: return p->dev_id;
        case 1: return p->dev_name;
        case 2: return p->dev_node;
        case 3: return p->path_group_policy;
        case 4: return p->path_group_priority;
        case 5: return p->path_group_status;
        case 6: return p->path_status;
        case 7: return p->morvel_status;
        default: return p->target_port;
    }
}

// First valid path of the device, or none when it has no paths.
s_path_dev *firstPath(const s_morvel *device) { return firstValid(device->pdev); }

// Calls f on every valid path of the device.
template <class F>
void forEachPath(const s_morvel *device, F f) {
    for (s_path_dev *p = firstPath(device); p != nullptr; p = nextValid(p)) f(p);
}

void printPathTable(const s_morvel *device) {
    int width[kColumns];
    for (int c = 0; c < kColumns; ++c) width[c] = static_cast<int>(std::strlen(kHeaders[c]));
    forEachPath(device, [&](s_path_dev *p) {
        for (int c = 0; c < kColumns; ++c) {
            int len = static_cast<int>(std::strlen(cell(p, c)));
            if (len > width[c]) width[c] = len;
        }
    });
    for (int i = 0; i < 130; ++i) std::fputc('=', stdout);
    std::fputc('\n', stdout);
    for (int c = 0; c < kColumns; ++c) {
        char header[32];
        std::snprintf(header, sizeof(header), "%s", kHeaders[c]);
        common::printWidth(header, width[c] + 1);
    }
    std::fputc('\n', stdout);
    forEachPath(device, [&](s_path_dev *p) {
        for (int c = 0; c < kColumns; ++c) common::printWidth(cell(p, c), width[c] + 1);
        std::fputc('\n', stdout);
    });
}

void printVdiskName(s_morvel *device, uint32_t nvme, uint32_t failed) {
    char *name = device->vdisk_name;
    name[0] = '\0';
    if (!failed) {
        char devicePath[128];
        std::snprintf(devicePath, sizeof(devicePath), "/dev/dm-%s", device->device_number);
        unsigned int found = 0;
        if (nvme)
            array::displayNvmeVdiskname(devicePath, device->wwid, name, &found);
        else
            array::displayVdiskname(devicePath, device->wwid, name, &found);
        if (name[0] != '\0')
            std::printf("vdisk_name: %s\n", name);
        else
            MLOG(LOG_ERROR, kSrc, "This device (%s), the vdisk name we obtained is NULL.\n",
                 device->wwid);
        return;
    }
    // A failed device cannot be asked: show the name remembered for it.
    unsigned int found = 0;
    struct stat st;
    if (stat(array::STORAGE_CONFIG_FILE, &st) == 0)
        array::getStoredVdiskname(array::STORAGE_CONFIG_FILE, device->wwid, name, &found);
    if (!found)
        MLOG(LOG_ERROR, kSrc, "This device (%s) is a failed device, we can not get the vdisk name.\n",
             device->wwid);
    else if (name[0] != '\0')
        std::printf("vdisk_name: %s\n", name);
    else
        MLOG(LOG_ERROR, kSrc,
             "This device (%s) is a failed device, we get the vdisk name from file is NULL.\n",
             device->wwid);
}

const char *transportLine(const char *hostInterface) {
    if (std::strstr(hostInterface, "iscsi")) return "host_interface: iscsi";
    if (std::strstr(hostInterface, "fc-nvme")) return "host_interface: fc-nvme";
    if (std::strstr(hostInterface, "fc")) return "host_interface: fc";
    if (std::strstr(hostInterface, "sas")) return "host_interface: sas";
    return nullptr;
}
}  // namespace

void isNVMeDevice(const s_morvel *device, uint32_t *out) {
    *out = 0;
    if (device == nullptr) return;
    forEachPath(device, [&](s_path_dev *p) {
        if (std::strcmp(p->host_interface, "fc-nvme") == 0) *out = 1;
    });
}

void isFailedDevice(const s_morvel *device, uint32_t *out) {
    *out = 0;
    if (device == nullptr) return;
    if (firstPath(device) == nullptr) {
        *out = 1;
        return;
    }
    int total = 0;
    int failed = 0;
    forEachPath(device, [&](s_path_dev *p) {
        ++total;
        if (std::strcmp(p->checker_status, "faulty") == 0 ||
            std::strcmp(p->path_status, "failed") == 0 ||
            std::strcmp(p->morvel_status, "offline") == 0 ||
            std::strcmp(p->path_group_status, "failed") == 0)
            ++failed;
    });
    if (failed == total) {
        *out = 1;
        MLOG(LOG_ERROR, kSrc, "This device (%s) is a failed device.\n", device->wwid);
    }
}

void _printOneMorvel(s_morvel *device) {
    if (device == nullptr) return;
    std::printf("path_alias: %s\n", device->path_alias);
    std::printf("wwid: %s\n", device->wwid);
    std::printf("device_number: %s\n", device->device_number);
    std::printf("vendor: %s\n", device->vendor);
    std::printf("product_type: %s\n", device->product_type);
    std::printf("lun_size: %s\n", device->lun_size);

    uint32_t nvme = 0;
    uint32_t failed = 0;
    isNVMeDevice(device, &nvme);
    isFailedDevice(device, &failed);
    printVdiskName(device, nvme, failed);

    s_path_dev *first = firstPath(device);
    if (first == nullptr) return;
    const char *transport = transportLine(first->host_interface);
    if (transport != nullptr)
        std::printf("%s\n", transport);
    else
        MLOG(LOG_ERROR, kSrc, "This device (%s), the transport we obtained is not fc/iscsi/fc-nvme.\n",
             device->wwid);
    printPathTable(device);
}

void printMorvel(s_morvel *first) {
    cli::print__();
    for (s_morvel *d = first; d != nullptr; d = d->next) {
        _printOneMorvel(d);
        if (d->is_last == 1 || d->next == nullptr) break;
        std::fputc('\n', stdout);
    }
    cli::print__();
}

}  // namespace morvel::structs

namespace morvel::cli {

namespace {
template <class Fill>
EcItem *runQuery(Fill fill) {
    structs::MorvelList<> list;
    if (!list) return &EC_molloc_failed;
    EcItem *result = fill(list.anchor());
    if (result->code != 0) return result;
    structs::s_morvel *anchor = list.anchor();
    structs::printMorvel(structs::firstValid(anchor));
    std::fflush(stdout);
    return result;
}
}  // namespace

EcItem *query() {
    return runQuery([](structs::s_morvel *anchor) { return structs::queryMorvelInfo(anchor); });
}

EcItem *querySingleDevice(const char *name) {
    return runQuery([name](structs::s_morvel *anchor) {
        return structs::querySingleMorvelInfo(anchor, name);
    });
}

}  // namespace morvel::cli
