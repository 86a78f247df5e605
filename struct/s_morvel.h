// Device and path records of the multipath topology, in the reusable lists of
// struct/record_list.h.
#pragma once
#include <cstdint>

#include "common/log.h"
#include "struct/record_list.h"

namespace morvel::structs {

// Layout used by morvel.
struct s_path_dev {
    char dev_id[31];
    char dev_name[31];
    char dev_node[31];
    char path_group_policy[31];
    char path_group_priority[31];
    char path_group_status[31];
    char path_status[31];      // device-mapper state (4th word)
    char checker_status[31];   // path checker state (5th word)
    char morvel_status[31];    // kernel device state (6th word)
    char host_interface[31];
    char target_port[129];
    uint8_t is_last;
    s_path_dev *next;
};

struct s_morvel {
    char path_alias[66];
    char wwid[66];
    char device_number[31];
    char vendor[31];
    char product_type[31];
    char lun_size[31];
    char vdisk_name[128];
    uint8_t native_nvme;  // a namespace of native NVMe multipathing, read from sysfs
    s_path_dev *pdev;
    uint8_t is_last;
    s_morvel *next;
};

// Older layout used by morvel_monitor.
namespace mon {
struct s_path_dev {
    char dev_id[31];
    char dev_name[31];
    char dev_node[31];
    char path_group_policy[31];
    char path_group_priority[31];
    char path_group_status[31];
    char path_status[31];     // path checker state (5th word)
    char morvel_status[31];   // kernel device state (6th word)
    char dm_status[31];       // device-mapper state (4th word; not compared, not in the records)
    uint8_t is_last;
    s_path_dev *next;
};

struct s_morvel {
    char path_alias[66];
    char wwid[66];
    char device_number[31];
    char vendor[31];
    char product_type[31];
    char lun_size[31];
    s_path_dev *pdev;
    uint8_t is_last;
    s_morvel *next;
};
}  // namespace mon

// List functions, for both layouts (s_morvel/s_path_dev and mon::s_morvel/mon::s_path_dev).
inline constexpr char kRecordsLogSrc[] = "struct/s_morvel";

// ---- path records ----

template <class P = s_path_dev>
P *mallocPathDev() {
    MLOG(common::LOG_INFO, kRecordsLogSrc, "Malloc struct s_path_dev.");
    return newRecord<P>();
}

template <class P>
void _initPathDev(P *node) {
    clearRecord(node);
}

template <class P>
void initPathDev(P *anchor) {
    _initPathDev(anchor);
}

template <class P>
P *getOrMallocNextPathDev(P *prev) {
    return nextOrNew(prev, mallocPathDev<P>, _initPathDev<P>);
}

template <class P>
void _freePathDev(P *node) {
    delete node;
}

template <class P>
void freePathDev(P *first) {
    freeChain(first, _freePathDev<P>);
}

// ---- device records ----

template <class M = s_morvel>
M *mallocMorvel() {
    MLOG(common::LOG_INFO, kRecordsLogSrc, "Malloc struct s_morvel.");
    return newRecord<M>();
}

// The device's path list stays with it, emptied.
template <class M>
void _initMorvel(M *node) {
    if (!node) return;
    auto *pdev = node->pdev;
    clearRecord(node);
    node->pdev = pdev;
    initPathDev(node->pdev);
}

template <class M>
void initMorvel(M *anchor) {
    _initMorvel(anchor);
}

template <class M>
M *getOrMallocNextMorvel(M *prev) {
    return nextOrNew(prev, mallocMorvel<M>, _initMorvel<M>);
}

template <class M>
void _freeMorvel(M *node) {
    if (!node) return;
    freePathDev(node->pdev);
    delete node;
}

template <class M>
void freeMorvel(M *first) {
    freeChain(first, _freeMorvel<M>);
}

// Refilling cursors of the two lists (see ListTail).
template <class P = s_path_dev>
using PathTail = ListTail<P, getOrMallocNextPathDev<P>>;
template <class M = s_morvel>
using MorvelTail = ListTail<M, getOrMallocNextMorvel<M>>;

// Look-ups over morvel's layout.
s_morvel *findMorvelByPathAlias(s_morvel *anchor, const char *alias);
s_morvel *findMorvelByPathAlias_noMemoryLeak(s_morvel *anchor, const char *alias);
s_path_dev *findMorvelByDeviceName(s_morvel *anchor, const char *alias, const char *name);

// A device list, freed through freeMorvel.
template <class M = s_morvel>
using MorvelList = ListOwner<M, mallocMorvel<M>, freeMorvel<M>>;

}  // namespace morvel::structs
