// The query report.
#include "struct/query_report.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "array/array.h"
#include "array/vdisk_reads.h"
#include "common/comm_util.h"
#include "common/ec_items.h"
#include "common/log.h"
#include "struct/query_columns.h"

namespace morvel::structs {

using common::LOG_ERROR;

namespace {
constexpr const char kSrc[] = "struct/s_morvel";
// The report's lines about one device belong to the function that prints it.
constexpr const char kPrintOne[] = "_printOneMorvel";
constexpr size_t kRuleWidth = 130;

// First valid path of the device, or none when it has no paths.
s_path_dev *firstPath(const s_morvel *device) { return firstValid(device->pdev); }

// Calls f on every valid path of the device.
template <class F>
void forEachPath(const s_morvel *device, F f) {
    for (s_path_dev *p = firstPath(device); p != nullptr; p = nextValid(p)) f(p);
}

// Calls f on every device of the report from first on (on first alone with one = true).
template <class M, class F>
void forEachDevice(M *first, bool one, F f) {
    for (M *d = first; d != nullptr; d = one ? nullptr : nextValid(d)) f(d);
}

void appendPathTable(std::string &out, const s_morvel *device) {
    std::vector<const PathColumn *> columns;
    std::vector<size_t> width;
    for (const PathColumn &c : kPathColumns) {
        if (!c.inTextTable) continue;
        columns.push_back(&c);
        width.push_back(std::strlen(c.key));
    }
    forEachPath(device, [&](const s_path_dev *p) {
        for (size_t c = 0; c < columns.size(); ++c) width[c] = std::max(width[c], std::strlen(columns[c]->cell(*p)));
    });
    out.append(kRuleWidth, '=');
    out += '\n';
    for (size_t c = 0; c < columns.size(); ++c) common::appendWidth(out, columns[c]->key, width[c] + 1);
    out += '\n';
    forEachPath(device, [&](const s_path_dev *p) {
        for (size_t c = 0; c < columns.size(); ++c) common::appendWidth(out, columns[c]->cell(*p), width[c] + 1);
        out += '\n';
    });
}

// Fills the device's vdisk_name: from its in-band read (remembered in the store) for a live
// device, taken from the store for a failed one (read: none).
void resolveVdiskName(s_morvel *device, uint32_t nvme, const array::VdiskReadResult *read,
                      array::StoreCache &store) {
    char *name = device->vdisk_name;
    name[0] = '\0';
    if (read != nullptr) {
        unsigned int found = 0;
        array::settleVdiskname(*read, nvme != 0, device->wwid, name, &found, &store);
        if (name[0] == '\0')
            MLOG_AS(LOG_ERROR, kSrc, kPrintOne, "This device (%s), the vdisk name we obtained is NULL.\n",
                 device->wwid);
        return;
    }
    // A failed device cannot be asked: show the name remembered for it.
    unsigned int found = 0;
    struct stat st;
    if (stat(array::STORAGE_CONFIG_FILE, &st) == 0)
        array::getStoredVdiskname(array::STORAGE_CONFIG_FILE, device->wwid, name, &found, &store);
    if (!found) {
        name[0] = '\0';
        MLOG_AS(LOG_ERROR, kSrc, kPrintOne, "This device (%s) is a failed device, we can not get the vdisk name.\n",
             device->wwid);
    } else if (name[0] == '\0') {
        MLOG_AS(LOG_ERROR, kSrc, kPrintOne,
                "This device (%s) is a failed device, we get the vdisk name from file is NULL.\n",
             device->wwid);
    }
}

void appendField(std::string &out, const char *key, const char *value) {
    out += key;
    out += ": ";
    out += value;
    out += '\n';
}

void appendOne(std::string &out, const s_morvel *device) {
    for (const LunField &f : kLunFields) appendField(out, f.key, f.value(*device));
    if (device->vdisk_name[0] != '\0') appendField(out, "vdisk_name", device->vdisk_name);
    const s_path_dev *first = firstPath(device);
    if (first == nullptr) return;
    if (const char *transport = transportOf(first->host_interface)) appendField(out, "host_interface", transport);
    appendPathTable(out, device);
}
}  // namespace

const char *transportOf(const char *hostInterface) {
    for (const char *transport : {"iscsi", "fc-nvme", "fc", "sas"}) {
        if (std::strstr(hostInterface, transport)) return transport;
    }
    return nullptr;
}

void isNVMeDevice(const s_morvel *device, uint32_t *out) {
    *out = 0;
    if (device == nullptr) return;
    forEachPath(device, [&](s_path_dev *p) {
        if (std::strcmp(p->host_interface, "fc-nvme") == 0) *out = 1;
    });
}

namespace {
enum class Failed { No, NoPaths, AllPaths };

// Whether the device counts as failed, and why; nothing logged.
Failed failedState(const s_morvel *device) {
    if (firstPath(device) == nullptr) return Failed::NoPaths;
    bool allFailed = true;
    forEachPath(device, [&](s_path_dev *p) {
        allFailed = allFailed && (std::strcmp(p->checker_status, "faulty") == 0 ||
                                  std::strcmp(p->path_status, "failed") == 0 ||
                                  std::strcmp(p->morvel_status, "offline") == 0 ||
                                  std::strcmp(p->path_group_status, "failed") == 0);
    });
    return allFailed ? Failed::AllPaths : Failed::No;
}
}  // namespace

bool deviceFailed(const s_morvel *device) { return device != nullptr && failedState(device) != Failed::No; }

void isFailedDevice(const s_morvel *device, uint32_t *out) {
    *out = 0;
    if (device == nullptr) return;
    const Failed state = failedState(device);
    *out = state != Failed::No;
    if (state == Failed::AllPaths) MLOG(LOG_ERROR, kSrc, "This device (%s) is a failed device.\n", device->wwid);
}

void resolveVdiskNames(s_morvel *first, array::StoreCache &store, bool one) {
    // The live devices are asked side by side first; then, device by device in report order,
    // the lines come as if each had been asked in its turn.
    std::vector<array::VdiskRead> reads;
    forEachDevice(first, one, [&](const s_morvel *device) {
        if (failedState(device) != Failed::No) return;
        uint32_t nvme = 0;
        isNVMeDevice(device, &nvme);
        // a native namespace is read through its head device
        reads.push_back({device->native_nvme ? std::string("/dev/") + device->path_alias
                                             : std::string("/dev/dm-") + device->device_number,
                         nvme != 0});
    });
    const std::vector<array::VdiskReadResult> results = array::readVdiskNames(reads);
    size_t next = 0;
    common::LogBatch batch;  // the lines of all LUNs share one lock
    forEachDevice(first, one, [&](s_morvel *device) {
        uint32_t nvme = 0, failed = 0;
        isNVMeDevice(device, &nvme);
        isFailedDevice(device, &failed);
        resolveVdiskName(device, nvme, failed ? nullptr : &results[next++], store);
        const s_path_dev *path = firstPath(device);
        if (path != nullptr && transportOf(path->host_interface) == nullptr)
            MLOG_AS(LOG_ERROR, kSrc, kPrintOne, "This device (%s), the transport we obtained is not fc/iscsi/fc-nvme.\n",
                 device->wwid);
    });
}

namespace {
// Appends each device's text to out, a blank line ahead of all but the first, and hands out
// to after once each device is in.
template <class After>
void appendDevices(std::string &out, const s_morvel *first, bool one, After after) {
    forEachDevice(first, one, [&](const s_morvel *device) {
        if (device != first) out += '\n';
        appendOne(out, device);
        after(out);
    });
}

void putOut(const std::string &text) { std::fwrite(text.data(), 1, text.size(), stdout); }
}  // namespace

std::string formatMorvel(const s_morvel *first, bool one) {
    std::string out;
    appendDevices(out, first, one, [](const std::string &) {});
    return out;
}

void _printOneMorvel(s_morvel *device) {
    if (device == nullptr) return;
    array::StoreCache store;
    resolveVdiskNames(device, store, true);
    std::fputs(formatMorvel(device, true).c_str(), stdout);
}

void printMorvel(s_morvel *first) {
    array::StoreCache store;
    resolveVdiskNames(first, store);
    const std::string frame = std::string(kRuleWidth, '-') + '\n';
    // The report goes out in blocks of 64 KiB or more as it is made: a large host's report
    // is never held whole, nor written in stdio's small pieces.
    std::string block = frame;
    appendDevices(block, first, false, [](std::string &text) {
        if (text.size() < 65536) return;
        putOut(text);
        text.clear();
    });
    putOut(block + frame);
}

}  // namespace morvel::structs
