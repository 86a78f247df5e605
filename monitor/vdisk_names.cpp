// The vdisk names of the monitor's LUNs. A LUN first seen alive is asked in band once, with
// the query's bounded side-by-side reads, after its cycle's lines are written and within
// what is left of the cycle's period; a LUN first seen failed, or whose read gave nothing,
// takes the name remembered in the vdisk-name store.
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <set>

#include "array/array.h"
#include "array/vdisk_reads.h"
#include "common/log.h"
#include "monitor/exports.h"

namespace morvel::monitor {

namespace {
constexpr const char kSrc[] = "monitor/vdisk_names";
constexpr int kMinBudgetMs = 1000;

bool deviceAlive(const structs::mon::s_morvel &device) {
    for (const structs::mon::s_path_dev *p = structs::firstValid(device.pdev); p != nullptr; p = structs::nextValid(p)) {
        if (pathUsable(*p)) return true;
    }
    return false;
}

std::string storedName(const std::string &wwid, array::StoreCache &store) {
    struct stat st;
    if (stat(array::STORAGE_CONFIG_FILE, &st) != 0) return {};
    char name[array::VDISK_NAME_SIZE] = {};
    unsigned int found = 0;
    array::getStoredVdiskname(array::STORAGE_CONFIG_FILE, wwid.c_str(), name, &found, &store);
    return found ? std::string(name) : std::string();
}
}  // namespace

bool pathUsable(const structs::mon::s_path_dev &p) {
    return std::strcmp(p.path_status, "faulty") != 0 && std::strcmp(p.dm_status, "failed") != 0 &&
           std::strcmp(p.morvel_status, "offline") != 0 && std::strcmp(p.path_group_status, "failed") != 0;
}

std::string VdiskNames::nameOf(const std::string &wwid) const {
    const auto it = names_.find(wwid);
    return it != names_.end() ? it->second : std::string();
}

void VdiskNames::learn(const structs::mon::s_morvel *first, int budgetMs) {
    std::set<std::string> seen;
    std::vector<std::string> toRead;
    std::vector<array::VdiskRead> reads;
    array::StoreCache store;
    for (const structs::mon::s_morvel *d = first; d != nullptr; d = structs::nextValid(d)) {
        const std::string wwid = d->wwid;
        if (!seen.insert(wwid).second) continue;
        const bool alive = deviceAlive(*d);
        if (alive && !read_[wwid] && budgetMs >= kMinBudgetMs) {
            toRead.push_back(wwid);
            reads.push_back({std::string("/dev/dm-") + d->device_number, std::strcmp(d->vendor, "NVME") == 0});
        } else if (names_.find(wwid) == names_.end()) {
            names_[wwid] = storedName(wwid, store);
        }
    }
    // LUNs that went away are forgotten: one that comes back is asked again.
    std::erase_if(names_, [&](const auto &entry) { return !seen.count(entry.first); });
    std::erase_if(read_, [&](const auto &entry) { return !seen.count(entry.first); });
    if (reads.empty()) return;

    array::ReadLimits limits;
    limits.allReadsMs = budgetMs;
    limits.perReadMs = std::min(limits.perReadMs, budgetMs);
    const std::vector<array::VdiskReadResult> results = array::readVdiskNames(reads, limits);
    for (size_t i = 0; i < toRead.size() && i < results.size(); ++i) {
        const array::VdiskReadResult &r = results[i];
        for (const common::HeldLine &l : r.lines) common::logHeldLine(l);
        read_[toRead[i]] = true;
        if (r.outcome == array::ReadOutcome::Read && r.name[0] != '\0') {
            names_[toRead[i]] = r.name;
            continue;
        }
        if (r.outcome == array::ReadOutcome::TimedOut || r.outcome == array::ReadOutcome::NotStarted)
            MLOG(common::LOG_ERROR, kSrc, "Device (%s), the in-band read of the vdisk name timed out.",
                 toRead[i].c_str());
        names_[toRead[i]] = storedName(toRead[i], store);
    }
}

}  // namespace morvel::monitor
