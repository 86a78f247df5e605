// LUN-path records and their reusable list.
#include "struct/s_lunPath.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "common/comm_util.h"
#include "common/log.h"

namespace morvel::structs {

namespace {

constexpr const char *kSrc = "struct/s_lunPath";

size_t hashKey(const char *key, size_t maxLen) {
    size_t h = 1469598103934665603ULL;
    for (size_t i = 0; i < maxLen && key[i] != '\0'; ++i) {
        h ^= static_cast<unsigned char>(key[i]);
        h *= 1099511628211ULL;
    }
    // The table is indexed by the low bits: fold the well-mixed high bits into them.
    h ^= h >> 32;
    h *= 0xbf58476d1ce4e5b9ULL;
    h ^= h >> 29;
    return h;
}

}  // namespace

s_lunPath *mallocLunpath() {
    MLOG(common::LOG_INFO, kSrc, "Malloc struct s_lunPath.");
    common::inDebug("Malloc struct s_lunPath.");
    return newRecord<s_lunPath>();
}

void _initLunpath(s_lunPath *rec) { clearRecord(rec); }

void initLunpath(s_lunPath *anchor) { _initLunpath(anchor); }

s_lunPath *getOrMallocNextLunpath(s_lunPath *prev) { return nextOrNew(prev, mallocLunpath, _initLunpath); }

void _freeLunpath(s_lunPath *rec) { delete rec; }

void freeLunpath(s_lunPath *first) { freeChain(first, _freeLunpath); }

common::EcItem *cvtMorvelToLunpath(mon::s_morvel *devices, s_lunPath *lunpaths) {
    if (devices == nullptr || lunpaths == nullptr) return &common::EC_invalid_input;
    initLunpath(lunpaths);
    LunPathTail tail(lunpaths);
    for (mon::s_morvel *d = firstValid(devices); d != nullptr; d = nextValid(d)) {
        mon::s_path_dev *q = firstValid(d->pdev);
        // A LUN without paths gives one record with empty path fields.
        do {
            s_lunPath *r = tail.take();
            if (r == nullptr) return &common::EC_molloc_failed;
            common::copyField(r->lun_alias, d->path_alias);
            common::copyField(r->lun_wwid, d->wwid);
            if (q != nullptr) {
                common::copyField(r->path_dev_id, q->dev_id);
                common::copyField(r->path_dev_name, q->dev_name);
                // In the monitor's path layout path_status holds the path checker state.
                common::copyField(r->path_status, q->path_status);
                common::copyField(r->path_group_status, q->path_group_status);
                common::copyField(r->morvel_status, q->morvel_status);
            }
            tail.keep(r);
        } while (q != nullptr && (q = nextValid(q)) != nullptr);
    }
    return &common::EC_ok;
}

common::EcItem *cpyLunpath(const s_lunPath *src, s_lunPath *dst) {
    if (src == nullptr || dst == nullptr) return &common::EC_invalid_input;
    if (src == dst) return &common::EC_ok;
    initLunpath(dst);
    LunPathTail tail(dst);
    for (const s_lunPath *s = firstValid(src); s != nullptr; s = nextValid(s)) {
        s_lunPath *r = tail.take();
        if (r == nullptr) return &common::EC_molloc_failed;
        s_lunPath *next = r->next;
        *r = *s;  // every text field is terminated within its width
        r->next = next;
        r->is_last = 1;
        tail.keep(r);
    }
    return &common::EC_ok;
}

s_lunPath *findLunpathByLunId(s_lunPath *anchor, const char *wwid) {
    if (wwid == nullptr) return nullptr;
    return findValid(anchor, [&](const s_lunPath *r) { return std::strncmp(r->lun_wwid, wwid, kLunWwidKeyLen) == 0; });
}

s_lunPath *findLunpathByDevName(s_lunPath *anchor, const char *dev_name) {
    if (dev_name == nullptr) return nullptr;
    return findValid(anchor,
                     [&](const s_lunPath *r) { return std::strncmp(r->path_dev_name, dev_name, kDevNameKeyLen) == 0; });
}

size_t countLunpath(const s_lunPath *anchor) {
    size_t n = 0;
    for (const s_lunPath *r = firstValid(anchor); r != nullptr; r = nextValid(r)) ++n;
    return n;
}

void LunPathIndex::build(s_lunPath *anchor) {
    // a power of two, at least 64 and twice the records; a larger table of an earlier cycle stays
    const size_t need = std::max<size_t>(64, std::bit_ceil(2 * countLunpath(anchor)));
    slots_.assign(std::max(need, slots_.size()), Slot{0, nullptr});
    for (s_lunPath *r = firstValid(anchor); r != nullptr; r = nextValid(r)) {
        const size_t h = hashKey(keyOf(r), keyLen());
        Slot &slot = slots_[probe(keyOf(r), h)];
        if (slot.rec == nullptr) slot = Slot{h, r};  // the first record of a key stays
    }
}

s_lunPath *LunPathIndex::find(const char *key) const {
    if (key == nullptr || slots_.empty()) return nullptr;
    return slots_[probe(key, hashKey(key, keyLen()))].rec;
}

size_t LunPathIndex::probe(const char *key, size_t hash) const {
    const size_t mask = slots_.size() - 1;
    size_t i = hash & mask;
    while (slots_[i].rec != nullptr &&
           !(slots_[i].hash == hash && std::strncmp(keyOf(slots_[i].rec), key, keyLen()) == 0))
        i = (i + 1) & mask;
    return i;
}

}  // namespace morvel::structs
