// LUN-path records: the monitor's flat view of the topology, one record per (LUN, path)
// pair, held in the same reusable singly linked list scheme as the device records.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/ec_items.h"
#include "struct/s_morvel.h"

namespace morvel::structs {

struct s_lunPath {
    char lun_alias[31];          // map name of the LUN
    char lun_wwid[66];           // WWID of the LUN
    char path_dev_id[31];        // major:minor of the path
    char path_dev_name[31];      // kernel name of the path (sdb, ...): the key of a path
    char path_status[31];        // path checker state (ready, faulty, ...)
    char path_group_status[31];  // state of the path's group
    char morvel_status[31];      // kernel device state (running, offline, ...)
    uint8_t is_last;
    s_lunPath *next;
};

// Compared widths of the two keys.
inline constexpr size_t kLunWwidKeyLen = 65;
inline constexpr size_t kDevNameKeyLen = 30;

s_lunPath *mallocLunpath();
void _initLunpath(s_lunPath *rec);
void initLunpath(s_lunPath *anchor);
s_lunPath *getOrMallocNextLunpath(s_lunPath *prev);
void _freeLunpath(s_lunPath *rec);
void freeLunpath(s_lunPath *first);
using LunPathTail = ListTail<s_lunPath, getOrMallocNextLunpath>;

// Flattens the monitor's device list into LUN-path records (EC_ok, EC_invalid_input,
// EC_molloc_failed).
common::EcItem *cvtMorvelToLunpath(mon::s_morvel *devices, s_lunPath *lunpaths);
// Makes dst an exact copy of src, reusing dst's nodes.
common::EcItem *cpyLunpath(const s_lunPath *src, s_lunPath *dst);

// First valid record with that WWID (65 characters) / device name (30 characters), or null.
s_lunPath *findLunpathByLunId(s_lunPath *anchor, const char *wwid);
s_lunPath *findLunpathByDevName(s_lunPath *anchor, const char *dev_name);

// Number of valid records behind the anchor.
size_t countLunpath(const s_lunPath *anchor);

// Hash index over one key of a list, answering exactly as findLunpathByLunId /
// findLunpathByDevName (the first record in list order wins) in constant time. Rebuilt
// per cycle; its table is reused and only grows when a list outgrows every earlier one.
class LunPathIndex {
public:
    enum class Key { Wwid, DevName };
    explicit LunPathIndex(Key key) : key_(key) {}

    void build(s_lunPath *anchor);
    s_lunPath *find(const char *key) const;
    size_t capacity() const { return slots_.size(); }

private:
    const char *keyOf(const s_lunPath *r) const {
        return key_ == Key::Wwid ? r->lun_wwid : r->path_dev_name;
    }
    size_t keyLen() const { return key_ == Key::Wwid ? kLunWwidKeyLen : kDevNameKeyLen; }
    // The slot that holds key, or the free slot where it would go.
    size_t probe(const char *key, size_t hash) const;

    struct Slot {
        size_t hash;
        s_lunPath *rec;  // null: free
    };
    Key key_;
    std::vector<Slot> slots_;
};

// A LUN-path list, freed through freeLunpath.
using LunPathList = ListOwner<s_lunPath, mallocLunpath, freeLunpath>;

}  // namespace morvel::structs
