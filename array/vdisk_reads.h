// The in-band vdisk-name reads of one query, side by side and bounded in time.
//
// A read that the array never answers blocks its thread inside the kernel (SG_IO and the NVMe
// admin pass-through wait uninterruptibly until the command completes or the driver's error
// handling gives it up), and such a thread keeps its process from ending: the process is
// not reaped, and its descriptors (the caller's pipe on standard output) stay open, until
// the command comes back. So the reads run in threads of a helper process of their own,
// which holds nothing of the caller's: the caller collects the names that come in time,
// gives up the others at their limits, kills the helper and goes on without waiting for it.
#pragma once
#include <string>
#include <vector>

#include "array/array.h"
#include "common/log.h"

namespace morvel::array {

// How many reads run at a time, the limit of each (from its start) and of all of them
// together (from when the reads begin). A read past its limit keeps its place until it returns:
// an array that hangs never has more than atOnce commands of ours stuck in it.
struct ReadLimits {
    unsigned atOnce = 8;
    int perReadMs = 5000;
    int allReadsMs = 8000;
};
inline constexpr ReadLimits kVdiskReadLimits{};

// One LUN to ask: its multipath device node ("/dev/dm-N") and whether it is an NVMe namespace.
struct VdiskRead {
    std::string devicePath;
    bool nvme = false;
};

enum class ReadOutcome {
    Read,        // the name came in band
    Failed,      // the read ended without a name (its lines say why)
    TimedOut,    // no answer within the read's own limit
    NotStarted,  // the limit of all reads had passed before its turn came
};

struct VdiskReadResult {
    ReadOutcome outcome = ReadOutcome::NotStarted;
    char name[VDISK_NAME_SIZE] = {};
    std::vector<common::HeldLine> lines;  // what the read logged, to be written in report order
};

// Reads one name into name (VDISK_NAME_SIZE bytes); 0 on success, else -1 (reasons logged).
using VdiskNameReader = int (*)(const VdiskRead &read, char *name);
// get_vdisk_name or get_nvme_vdisk_name on the device node.
int readVdiskName(const VdiskRead &read, char *name);

// Reads every name, at most limits.atOnce at a time, and returns the results in the order of
// reads, each read's log lines held in its result. Returns within limits.allReadsMs (and a
// little) whatever the device does. When no helper process can be started the reads run
// here, one after another, unbounded, and the log says so.
std::vector<VdiskReadResult> readVdiskNames(const std::vector<VdiskRead> &reads,
                                            const ReadLimits &limits = kVdiskReadLimits,
                                            VdiskNameReader reader = readVdiskName);

// What displayVdiskname (displayNvmeVdiskname when nvme) does after its in-band read, for a
// read made by readVdiskNames: the read's lines are logged, a lost read is logged as timed
// out, and the name read is remembered in the store, or the stored name taken.
void settleVdiskname(const VdiskReadResult &read, bool nvme, const char *wwid, char *name, unsigned int *found,
                     StoreCache *cache, const ReadLimits &limits = kVdiskReadLimits);

// ---- the helper's messages (exposed for tests) ----
// Encodes "read index started", or its result.
std::string encodeReadStarted(uint32_t index);
std::string encodeReadDone(uint32_t index, const VdiskReadResult &result);
// Takes one whole message off the front of inbox: true when there was one. done tells
// which kind; result is filled for a done message. False also for a malformed message
// (bad set true), which ends the conversation.
bool decodeReadMessage(std::string &inbox, uint32_t &index, bool &done, VdiskReadResult &result, bool &bad);

}  // namespace morvel::array
